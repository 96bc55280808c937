#include "k5320.h"
#include "utility/main/module_api.h"

namespace k5320::utility {

uint16_t CApiModule::dllVersion() {
    return K5320_GetDllVersion();
}

int CApiModule::init(uint8_t slot) {
    return K5320_Init(slot);
}

int CApiModule::hardwareReset(uint8_t slot) {
    return K5320_HardwareReset(slot);
}

int CApiModule::configure(uint8_t slot, uint32_t accCode, uint32_t accMask, uint8_t baudIndex,
                          uint8_t bt0, uint8_t bt1) {
    return K5320_ConfigWithoutStruct(slot, accCode, accMask, baudIndex, bt0, bt1);
}

int CApiModule::restore(uint8_t slot) {
    return K5320_RestoreK5320(slot);
}

int CApiModule::clearBufferStatus(uint8_t slot) {
    return K5320_ClearBufferStatus(slot);
}

int CApiModule::clearSoftBuffer(uint8_t slot) {
    return K5320_ClearSoftBuffer(slot);
}

int CApiModule::status(uint8_t slot, uint8_t* status) {
    return K5320_Status(slot, status);
}

int CApiModule::setSystemMsg(uint8_t slot, uint8_t enable) {
    return K5320_SetSystemMsg(slot, enable);
}

int CApiModule::send(uint8_t slot, uint8_t mode, uint32_t id, uint8_t rtr, uint8_t length,
                     const uint8_t* data) {
    return K5320_SendWithoutStruct(slot, mode, id, rtr, length, data);
}

int CApiModule::isTxTimeout(uint8_t slot, uint8_t* flag) {
    return K5320_IsTxTimeout(slot, flag);
}

int CApiModule::rxMsgCount(uint8_t slot, uint16_t* count) {
    return K5320_RxMsgCount(slot, count);
}

int CApiModule::receive(uint8_t slot, ReceivedMessage& message) {
    return K5320_ReceiveWithoutStruct(slot, &message.mode, &message.id, &message.rtr,
                                      &message.length, message.data.data(), &message.timeHigh,
                                      &message.timeLow);
}

}  // namespace k5320::utility
