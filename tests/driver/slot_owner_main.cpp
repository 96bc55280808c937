// Helper process for ownership tests: initialises a slot, reports the result on stdout, then
// holds the slot until it is killed (or releases it and exits when asked to).
// Usage: slot_owner TABLE SLOT [hold|release]
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/frame/slot_ownership.h"
#include "k5320.h"

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    k5320::driver::ownership::use_table_for_test(argv[1]);
    const auto slot = static_cast<uint8_t>(std::atoi(argv[2]));
    const bool hold = argc < 4 || std::strcmp(argv[3], "hold") == 0;
    std::printf("%d\n", K5320_Init(slot));
    std::fflush(stdout);
    if (!hold) return 0;  // the library's unload releases the slot
    for (;;) pause();
}
