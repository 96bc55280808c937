// Helper process for loader tests: reports the mode a module boots into ("mode RESULT MODE") and
// the firmware record it holds ("RESULT NAME SIZE CRC", then the start's result), as a new
// process on a new backplane sees them. Usage: firmware_info_probe TABLE SLOT
#include <cstdio>
#include <cstdlib>

#include "driver/frame/slot_ownership.h"
#include "k5320.h"
#include "platform/named_event.h"

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    k5320::driver::ownership::use_table_for_test(argv[1]);
    k5320::platform::NamedEvent::use_namespace_for_test(argv[1]);
    const auto slot = static_cast<uint8_t>(std::atoi(argv[2]));
    if (int rc = K5320_Init(slot); rc != K5320_SUCCESS) {
        std::printf("init %d\n", rc);
        k5320::driver::ownership::remove_test_table();
        return 1;
    }
    uint8_t mode = 0xFF;
    const int mode_rc = K5320_Check186Mode(slot, &mode);
    std::printf("mode %d %u\n", mode_rc, mode);
    if (int rc = K5320_Load_Init(slot); rc != K5320_SUCCESS) {
        std::printf("load %d\n", rc);
        k5320::driver::ownership::remove_test_table();
        return 1;
    }
    FirmwareInfo info{};
    const int rc = K5320_Load_GetFirmwareInfo(slot, &info);
    std::printf("%d %.13s %u %u\n", rc, info.fileName, info.size, info.crc);
    std::printf("start %d\n", K5320_Load_RunProgram(slot));
    K5320_RestoreK5320(slot);
    k5320::driver::ownership::remove_test_table();
    return 0;
}
