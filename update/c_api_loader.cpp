#include "k5320.h"
#include "update/update_services.h"

namespace k5320::update {

int CApiLoader::init(uint8_t slot) {
    return K5320_Init(slot);
}

int CApiLoader::load_init(uint8_t slot) {
    return K5320_Load_Init(slot);
}

int CApiLoader::get_firmware_info(uint8_t slot, FirmwareInfo& info) {
    return K5320_Load_GetFirmwareInfo(slot, &info);
}

uint16_t CApiLoader::calculated_crc(const uint8_t* data, uint32_t length) {
    return K5320_Load_CalculatedCRC(data, length);
}

int CApiLoader::into_download_mode(uint8_t slot) {
    return K5320_Load_IntoDownloadMode(slot);
}

int CApiLoader::delete_firmware(uint8_t slot) {
    return K5320_Load_DeleteFirmware(slot);
}

int CApiLoader::download_info(uint8_t slot, const FirmwareInfo& info) {
    return K5320_Load_DownloadInfo(slot, info);
}

int CApiLoader::download_data(uint8_t slot, uint16_t block_number, const uint8_t* data,
                              uint16_t length) {
    return K5320_Load_DownloadData(slot, block_number, data, length);
}

int CApiLoader::adjust_date_time(uint8_t slot) {
    return K5320_AdjustDateTime(slot);
}

int CApiLoader::run_program(uint8_t slot) {
    return K5320_Load_RunProgram(slot);
}

int CApiLoader::restore(uint8_t slot) {
    return K5320_RestoreK5320(slot);
}

int CApiLoader::release(uint8_t slot) {
    return K5320_RemoveIrq(slot);
}

}  // namespace k5320::update
