// Helper process for the backplane service tests: one process of the several that meet at the
// user's backplane. Prints its results on stdout, one line per step.
// Usage: backplane_client TABLE COMMAND SLOT [ARG]
//   hold SLOT            K5320_Init, print the result, then keep the slot until killed
//   init SLOT            K5320_Init and K5320_ConfigWithoutStruct, print both, release
//   send SLOT COUNT      start the channel, send COUNT frames (ids 0x100..), print "sent N"
//   receive SLOT COUNT   start the channel, print "ready", then print the ids of the first
//                        COUNT frames (or of those that came within the time-out)
//   download SLOT NAME   download a small firmware named NAME, print its record
//   info SLOT            print the firmware record the module reports
//   fault SLOT           silence the transmit-buffer clear through the backplane, print the clear's
//                        result and the repeat requests the module saw; lift the fault, clear
//                        again and print that result: "<silenced> <repeats> <lifted>"
// Records are printed as "<result> <name> <size> <crc> service=<pid>".
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "backplane/inspect.h"
#include "driver/frame/slot_ownership.h"
#include "k5320.h"
#include "k5320/commands.h"
#include "platform/named_event.h"

namespace {

using namespace std::chrono_literals;
constexpr uint8_t kBaud125k = 4;
constexpr uint32_t kAcceptAll = 0xFFFFFFFF;
constexpr uint32_t kFirstId = 0x100;
constexpr auto kReceiveTimeout = 20s;
constexpr std::size_t kImageSize = 3000;
constexpr int kUsage = 2;

unsigned service_pid() {
    return k5320::backplane::host().service_pid();
}

int start_channel(uint8_t slot) {
    if (const int rc = K5320_Init(slot); rc != K5320_SUCCESS) return rc;
    return K5320_ConfigWithoutStruct(slot, 0, kAcceptAll, kBaud125k, 0, 0);
}

void print_record(int rc, const FirmwareInfo& info) {
    std::printf("%d %.13s %u %u service=%u\n", rc, info.fileName, info.size, info.crc,
                service_pid());
}

int download(uint8_t slot, const char* name) {
    std::vector<uint8_t> image(kImageSize);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
    FirmwareInfo info{};
    std::snprintf(info.fileName, sizeof info.fileName, "%s", name);
    info.month = 1;
    info.day = 1;
    info.crc = K5320_Load_CalculatedCRC(image.data(), kImageSize);
    info.size = kImageSize;
    int rc = K5320_Init(slot);
    if (rc == K5320_SUCCESS) rc = K5320_Load_Init(slot);
    if (rc == K5320_SUCCESS) rc = K5320_Load_IntoDownloadMode(slot);
    if (rc == K5320_SUCCESS) rc = K5320_Load_DeleteFirmware(slot);
    if (rc == K5320_SUCCESS) rc = K5320_Load_DownloadInfo(slot, info);
    if (rc == K5320_SUCCESS)
        rc = K5320_Load_DownloadData(slot, 1, image.data(), static_cast<uint16_t>(kImageSize));
    FirmwareInfo back{};
    if (rc == K5320_SUCCESS) rc = K5320_Load_GetFirmwareInfo(slot, &back);
    print_record(rc, back);
    K5320_Load_RunProgram(slot);
    K5320_RestoreK5320(slot);
    return rc == K5320_SUCCESS ? 0 : 1;
}

int info(uint8_t slot) {
    FirmwareInfo back{};
    int rc = K5320_Init(slot);
    if (rc == K5320_SUCCESS) rc = K5320_Load_Init(slot);
    if (rc == K5320_SUCCESS) rc = K5320_Load_GetFirmwareInfo(slot, &back);
    print_record(rc, back);
    K5320_Load_RunProgram(slot);
    K5320_RestoreK5320(slot);
    return rc == K5320_SUCCESS ? 0 : 1;
}

int send(uint8_t slot, int count) {
    int rc = start_channel(slot);
    int sent = 0;
    for (; rc == K5320_SUCCESS && sent < count; ++sent) {
        const uint8_t data[2] = {static_cast<uint8_t>(sent), 0xA5};
        rc = K5320_SendWithoutStruct(slot, 0, kFirstId + static_cast<uint32_t>(sent), 0,
                                     sizeof data, data);
        // The firmware's transmit buffer is bounded: wait for room rather than lose frames.
        while (rc == K5320_ERR_TX_REFUSED) {
            std::this_thread::sleep_for(1ms);
            rc = K5320_SendWithoutStruct(slot, 0, kFirstId + static_cast<uint32_t>(sent), 0,
                                         sizeof data, data);
        }
    }
    std::printf("sent %d rc %d\n", rc == K5320_SUCCESS ? sent : sent - 1, rc);
    std::fflush(stdout);
    // Stay until the frames are on the bus: the channel stops with the release.
    std::this_thread::sleep_for(500ms);
    K5320_RestoreK5320(slot);
    return rc == K5320_SUCCESS ? 0 : 1;
}

int receive(uint8_t slot, int count) {
    const int rc = start_channel(slot);
    std::printf("ready %d\n", rc);
    std::fflush(stdout);
    if (rc != K5320_SUCCESS) return 1;
    const auto deadline = std::chrono::steady_clock::now() + kReceiveTimeout;
    int received = 0;
    while (received < count && std::chrono::steady_clock::now() < deadline) {
        uint16_t waiting = 0;
        if (K5320_RxMsgCount(slot, &waiting) != K5320_SUCCESS || waiting == 0) {
            std::this_thread::sleep_for(1ms);
            continue;
        }
        uint8_t extended = 0, remote = 0, length = 0;
        uint8_t data[8] = {};
        uint32_t id = 0, high = 0, low = 0;
        const int got =
            K5320_ReceiveWithoutStruct(slot, &extended, &id, &remote, &length, data, &high, &low);
        if (got != K5320_SUCCESS && got != K5320_ERR_TX_REFUSED) continue;
        std::printf("%x\n", id);
        ++received;
    }
    std::printf("end %d\n", received);
    std::fflush(stdout);
    K5320_RestoreK5320(slot);
    return 0;
}

// A fault request of the kind, through whichever backplane the process has; -1 when refused.
long long inject(uint8_t slot, k5320::backplane::FaultKind kind, uint8_t command, int32_t value) {
    const auto result = k5320::backplane::host().inject({kind, slot, command, value});
    return result ? static_cast<long long>(*result) : -1;
}

int fault(uint8_t slot) {
    using k5320::backplane::FaultKind;
    if (const int rc = start_channel(slot); rc != K5320_SUCCESS) {
        std::printf("start %d\n", rc);
        return 1;
    }
    const long long repeats_before =
        inject(slot, FaultKind::kCommandsSeen, k5320::cmd::kRepeatRequest, 0);
    inject(slot, FaultKind::kSilence, k5320::cmd::kClearTxSoftBuffer, 1);
    const int silenced = K5320_ClearTxSoftBuffer(slot);
    const long long repeats =
        inject(slot, FaultKind::kCommandsSeen, k5320::cmd::kRepeatRequest, 0) - repeats_before;
    inject(slot, FaultKind::kSilence, k5320::cmd::kClearTxSoftBuffer, 0);
    const int lifted = K5320_ClearTxSoftBuffer(slot);
    std::printf("%d %lld %d\n", silenced, repeats, lifted);
    K5320_RestoreK5320(slot);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return kUsage;
    k5320::driver::ownership::use_table_for_test(argv[1]);
    k5320::platform::NamedEvent::use_namespace_for_test(argv[1]);
    const std::string command = argv[2];
    const auto slot = static_cast<uint8_t>(std::atoi(argv[3]));
    const char* arg = argc > 4 ? argv[4] : "";
    if (command == "hold") {
        std::printf("%d\n", K5320_Init(slot));
        std::fflush(stdout);
        for (;;) pause();
    }
    if (command == "init") {
        const int init = K5320_Init(slot);
        const int config = init == K5320_SUCCESS
                               ? K5320_ConfigWithoutStruct(slot, 0, kAcceptAll, kBaud125k, 0, 0)
                               : -1;
        std::printf("%d %d service=%u\n", init, config, service_pid());
        if (init == K5320_SUCCESS) K5320_RestoreK5320(slot);
        return 0;
    }
    if (command == "send") return send(slot, std::atoi(arg));
    if (command == "receive") return receive(slot, std::atoi(arg));
    if (command == "download") return download(slot, arg);
    if (command == "info") return info(slot);
    if (command == "fault") return fault(slot);
    return kUsage;
}
