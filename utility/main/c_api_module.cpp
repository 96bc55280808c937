#include "k5320.h"
#include "utility/main/module_api.h"

namespace k5320::utility {

uint16_t CApiModule::dll_version() {
    return K5320_GetDllVersion();
}

int CApiModule::init(uint8_t slot) {
    return K5320_Init(slot);
}

int CApiModule::hardware_reset(uint8_t slot) {
    return K5320_HardwareReset(slot);
}

int CApiModule::configure(uint8_t slot, uint32_t acc_code, uint32_t acc_mask, uint8_t baud_index,
                          uint8_t bt0, uint8_t bt1) {
    return K5320_ConfigWithoutStruct(slot, acc_code, acc_mask, baud_index, bt0, bt1);
}

int CApiModule::restore(uint8_t slot) {
    return K5320_RestoreK5320(slot);
}

int CApiModule::clear_buffer_status(uint8_t slot) {
    return K5320_ClearBufferStatus(slot);
}

int CApiModule::clear_soft_buffer(uint8_t slot) {
    return K5320_ClearSoftBuffer(slot);
}

int CApiModule::status(uint8_t slot, uint8_t* status) {
    return K5320_Status(slot, status);
}

int CApiModule::set_system_msg(uint8_t slot, uint8_t enable) {
    return K5320_SetSystemMsg(slot, enable);
}

int CApiModule::send(uint8_t slot, uint8_t mode, uint32_t id, uint8_t rtr, uint8_t length,
                     const uint8_t* data) {
    return K5320_SendWithoutStruct(slot, mode, id, rtr, length, data);
}

int CApiModule::is_tx_timeout(uint8_t slot, uint8_t* flag) {
    return K5320_IsTxTimeout(slot, flag);
}

int CApiModule::rx_msg_count(uint8_t slot, uint16_t* count) {
    return K5320_RxMsgCount(slot, count);
}

int CApiModule::receive(uint8_t slot, ReceivedMessage& message) {
    return K5320_ReceiveWithoutStruct(slot, &message.mode, &message.id, &message.rtr,
                                      &message.length, message.data.data(), &message.time_high,
                                      &message.time_low);
}

int CApiModule::read_register(uint8_t slot, uint8_t reg, uint8_t* value) {
    return K5320_InputByte(slot, reg, value);
}

}  // namespace k5320::utility
