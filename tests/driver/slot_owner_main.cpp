// Helper process for ownership tests: initialises a slot, reports the result on stdout, then
// holds the slot until it is killed (or releases it and exits when asked to).
// Usage: slot_owner TABLE SLOT [hold|release|race|busy]
//   hold     initialise, report, hold until killed
//   release  initialise, report, exit (the library's unload releases the slot)
//   race     wait until stdin reaches its end (all racers start together), then as hold
//   busy     initialise, configure, install a user routine, then send frames and exchange
//            command records without end; each stage is reported once as "STAGE RESULT" when
//            it starts to be used, so a test can kill the process in the middle of any of them
// TABLE names both the slot table and the namespace of named events, so a test run and its
// helpers share them with nobody else.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/frame/slot_ownership.h"
#include "k5320.h"
#include "platform/named_event.h"

namespace {

constexpr uint8_t kBaudIndex125k = 4;
constexpr uint32_t kAcceptAll = 0xFFFFFFFF;

void report(const char* stage, int rc) {
    std::printf("%s %d\n", stage, rc);
    std::fflush(stdout);
}

void user_routine() {}

[[noreturn]] void run_busy(uint8_t slot) {
    const int init = K5320_Init(slot);
    report("init", init);
    if (init != K5320_SUCCESS) std::exit(1);
    report("configure", K5320_ConfigWithoutStruct(slot, 0, kAcceptAll, kBaudIndex125k, 0, 0));
    report("isr", K5320_InstallUserISR(slot, user_routine));
    uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t record[16] = {};
    uint8_t reply[512];
    uint16_t length = 0;
    bool reported = false;
    for (uint32_t round = 0;; ++round) {
        data[0] = static_cast<uint8_t>(round);
        const int sent = K5320_SendWithoutStruct(slot, 0, round & 0x7FF, 0, sizeof data, data);
        if (!reported) report("send", sent);
        record[0] = static_cast<uint8_t>(round);
        const int cmd = K5320_SendCmd(slot, record, sizeof record);
        K5320_ReceiveCmd(slot, reply, &length);
        if (!reported) report("mailbox", cmd);
        reported = true;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    k5320::driver::ownership::use_table_for_test(argv[1]);
    k5320::platform::NamedEvent::use_namespace_for_test(argv[1]);
    const auto slot = static_cast<uint8_t>(std::atoi(argv[2]));
    const char* mode = argc < 4 ? "hold" : argv[3];
    if (std::strcmp(mode, "busy") == 0) run_busy(slot);
    if (std::strcmp(mode, "race") == 0) {
        char byte;
        while (read(STDIN_FILENO, &byte, 1) > 0) {
        }
    }
    std::printf("%d\n", K5320_Init(slot));
    std::fflush(stdout);
    if (std::strcmp(mode, "release") == 0) return 0;  // the library's unload releases the slot
    for (;;) pause();
}
