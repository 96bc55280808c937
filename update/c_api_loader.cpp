#include "k5320.h"
#include "update/update_services.h"

namespace k5320::update {

int CApiLoader::init(uint8_t slot) {
    return K5320_Init(slot);
}

int CApiLoader::loadInit(uint8_t slot) {
    return K5320_Load_Init(slot);
}

int CApiLoader::getFirmwareInfo(uint8_t slot, FirmwareInfo& info) {
    return K5320_Load_GetFirmwareInfo(slot, &info);
}

uint16_t CApiLoader::calculatedCrc(const uint8_t* data, uint32_t length) {
    return K5320_Load_CalculatedCRC(data, length);
}

int CApiLoader::intoDownloadMode(uint8_t slot) {
    return K5320_Load_IntoDownloadMode(slot);
}

int CApiLoader::deleteFirmware(uint8_t slot) {
    return K5320_Load_DeleteFirmware(slot);
}

int CApiLoader::downloadInfo(uint8_t slot, const FirmwareInfo& info) {
    return K5320_Load_DownloadInfo(slot, info);
}

int CApiLoader::downloadData(uint8_t slot, uint16_t blockNumber, const uint8_t* data,
                             uint16_t length) {
    return K5320_Load_DownloadData(slot, blockNumber, data, length);
}

int CApiLoader::adjustDateTime(uint8_t slot) {
    return K5320_AdjustDateTime(slot);
}

int CApiLoader::runProgram(uint8_t slot) {
    return K5320_Load_RunProgram(slot);
}

int CApiLoader::restore(uint8_t slot) {
    return K5320_RestoreK5320(slot);
}

int CApiLoader::release(uint8_t slot) {
    return K5320_RemoveIrq(slot);
}

}  // namespace k5320::update
