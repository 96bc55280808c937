// k5320-probe: initialises one slot of the backplane and tells what it found.
//
// Usage: k5320-probe [SLOT]        (SLOT 1..7, default 1)
// Examples:
//   k5320-probe                    probe slot 1 of the default emulated backplane
//   TARN_BACKPLANE_CONFIG=my.conf k5320-probe 3
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/sdk/tarn_sdk.h"
#include "k5320.h"
#include "k5320/dpram_map.h"

namespace {

void usage() {
    std::fprintf(stderr,
                 "usage: k5320-probe [SLOT]\n"
                 "  Initialises SLOT (1..7, default 1), prints the module type, the library\n"
                 "  version and the module's last answer byte, then releases the slot.\n");
}

}  // namespace

int main(int argc, char** argv) {
    long slot = 1;
    if (argc > 2) {
        usage();
        return 2;
    }
    if (argc == 2) {
        char* end = nullptr;
        slot = std::strtol(argv[1], &end, 10);
        if (*argv[1] == '\0' || *end != '\0' || slot < 1 || slot > 7) {
            usage();
            return 2;
        }
    }
    const auto s = static_cast<uint8_t>(slot);

    char type[TRN_MODULE_NAME_SIZE] = {};
    trn_GetModuleName(s, type);
    std::printf("slot %d: module type \"%s\"\n", s, type);
    std::printf("library version: %u\n", K5320_GetDllVersion());

    const int rc = K5320_Init(s);
    if (rc != K5320_SUCCESS) {
        std::printf("K5320_Init: error %d\n", rc);
        return 1;
    }
    std::printf("K5320_Init: ok\n");

    // The answer byte is outside the raw DPRAM window: read it the way the interrupt service does.
    namespace dp = k5320::dpram;
    _trn_slot_outp(s, dp::kPortPageRegister, dp::page_of(dp::kAnswerByte));
    std::printf("DPRAM answer byte (0x1FFE): %d\n",
                _trn_slot_inp(s, dp::window_port_of(dp::kAnswerByte)));

    uint8_t first[16] = {};
    K5320_DPRAMReadMultiByte(s, 0, first, sizeof first);
    std::printf("DPRAM 0x0000..0x000F:");
    for (uint8_t b : first) std::printf(" %02x", b);
    std::printf("\n");

    K5320_RemoveIrq(s);
    return 0;
}
