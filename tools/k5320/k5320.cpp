// k5320: every function of the K5320 module from the shell, in the text formats of the Linux CAN
// tools (cansend frames, candump logs), on whatever backplane the SDK reaches (by default the
// user's backplane service, shared with every other program).
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "backplane/fault_request.h"
#include "backplane/problems.h"
#include "can/frame_length.h"
#include "can/text.h"
#include "driver/sdk/tarn_sdk.h"
#include "k5320.h"
#include "k5320/baud_codes.h"
#include "k5320/dpram_map.h"
#include "k5320/sja1000_registers.h"
#include "update/firmware_update.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace can = k5320::can;
namespace sja = k5320::sja1000;
namespace text = k5320::cantext;
using k5320::backplane::FaultKind;
using k5320::backplane::FaultRequest;

constexpr const char* kProgram = "k5320";
constexpr int kExitUsage = 2;    // bad command line or frame text; no library result is 2
constexpr int kExitFailure = 1;  // a failure outside the library (a file, a signal)
constexpr uint32_t kDefaultBitRate = 125'000;
constexpr uint32_t kAcceptAll = 0xFFFFFFFF;
constexpr uint8_t kFirstSlot = 1;
constexpr uint8_t kLastSlot = 7;
constexpr auto kIdlePoll = 1ms;
constexpr auto kSendDrainMargin = 20ms;
constexpr uint64_t kMicrosecondsPerStampUnit = 100;  // module time stamps count 0.1 ms
constexpr uint16_t kMailboxTimeoutMs = 5000;
constexpr int kProgressWidth = 40;
// What a module in its resident loader lacks, and the way out.
constexpr const char* kNoFirmware = "no firmware: run k5320 flash";

constexpr const char* kUsage =
    "usage: k5320 COMMAND [ARGS]\n"
    "  list                              slots, module types, modes and firmware records\n"
    "  dump SLOT [-b RATE] [-f ID:MASK] [-l FILE] [-n COUNT] [-t SECONDS]\n"
    "                                    print received frames as candump -L does; -l also\n"
    "                                    writes them to a candump log file; a summary at the end\n"
    "  send SLOT [-b RATE] FRAME...      send frames in cansend syntax\n"
    "  status SLOT                       the status byte, decoded, and the error counters\n"
    "  cyclic SLOT [-b RATE] FRAME --every MS [--count N]\n"
    "                                    send FRAME every MS milliseconds, N times (0 or none:\n"
    "                                    until Ctrl-C), from the module's own clock\n"
    "  mailbox SLOT HEX...               send a command record to the user program, print the\n"
    "                                    answer record\n"
    "  flash SLOT FILE                   download FILE as the module's firmware\n"
    "  fault SLOT FAULT                  make the slot's emulated module fail, to test how an\n"
    "                                    application handles it (until 'clear' or a restart of\n"
    "                                    the backplane service):\n"
    "      silence CMD         execute CMD, never answer it\n"
    "      drop CMD            neither execute nor answer CMD\n"
    "      answer CMD VALUE    answer CMD with VALUE\n"
    "      repeats CMD N       answer CMD only at the Nth repeat request\n"
    "      stray CMD VALUE     write the answer VALUE just before CMD's own\n"
    "      lose N              the next N answers raise no interrupt\n"
    "      freeze-status       the CAN status pair is no longer written\n"
    "      flash-fail          every flash write fails\n"
    "      seen CMD            print how many CMDs the module has taken\n"
    "      clear               end every fault of the slot\n"
    "    CMD and VALUE are bytes, decimal or 0x hexadecimal (commands: see k5320/commands.h)\n"
    "RATE: 10k 20k 50k 125k (default) 250k 500k 800k 1M. FRAME: <id>#<data>, 3 hex digits for a\n"
    "standard id, 8 for an extended one; <id>#R or <id>#R<len> for a remote frame.\n"
    "Filters (-f, repeatable): <id>:<mask> accepts received & mask == id & mask; <id>~<mask> the\n"
    "rest. Exit status: 0 on success, the library's result code on its failures (3..44, 239),\n"
    "1 for other failures, 2 for a bad command line.\n"
    "Examples:\n"
    "  k5320 dump 2 -b 500k -l trace.log      # Ctrl-C ends it\n"
    "  k5320 send 1 -b 500k 123#DEADBEEF 12345678#R 7FF#01.02.03\n"
    "  k5320 cyclic 1 100#00FF --every 10 --count 50\n"
    "  k5320 mailbox 1 01 02 03\n"
    "  k5320 fault 1 silence 209; k5320 send 1 123#00; k5320 fault 1 clear\n";

volatile sig_atomic_t g_stop = 0;
void request_stop(int) {
    g_stop = 1;
}

void catch_stop_signals() {
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int usage_error(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n(k5320 --help shows the usage)\n", kProgram, message.c_str());
    return kExitUsage;
}

int library_failure(const char* call, int rc) {
    std::fprintf(stderr, "%s: %s failed with result %d\n", kProgram, call, rc);
    return rc;
}

bool parse_slot(const char* arg, uint8_t* slot) {
    char* end = nullptr;
    const long value = std::strtol(arg, &end, 10);
    if (end == arg || *end != '\0' || value < kFirstSlot || value > kLastSlot) return false;
    *slot = static_cast<uint8_t>(value);
    return true;
}

bool parse_count(const char* arg, uint64_t* value) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(arg, &end, 10);
    if (end == arg || *end != '\0' || errno != 0 || arg[0] == '-') return false;
    *value = v;
    return true;
}

// Initialises the slot and starts its channel at the rate, accepting every frame.
int open_channel(uint8_t slot, uint32_t bit_rate) {
    const uint8_t index = k5320::baud::index_for_bit_rate(bit_rate);
    if (index == 0) return usage_error("the module runs 10k 20k 50k 125k 250k 500k 800k or 1M");
    if (int rc = K5320_Init(slot); rc != K5320_SUCCESS) return library_failure("K5320_Init", rc);
    if (int rc = K5320_ConfigWithoutStruct(slot, 0, kAcceptAll, index, 0, 0); rc != K5320_SUCCESS) {
        K5320_RemoveIrq(slot);
        return library_failure("K5320_ConfigWithoutStruct", rc);
    }
    return K5320_SUCCESS;
}

// The arguments after the slot: options with a value, and the rest in order.
struct Arguments {
    uint32_t bit_rate = kDefaultBitRate;
    std::vector<text::Filter> filters;
    std::string log_file;
    uint64_t count = 0;
    uint64_t seconds = 0;
    uint64_t every_ms = 0;
    std::vector<std::string> rest;
};

int parse_arguments(int argc, char** argv, int first, Arguments* out) {
    for (int i = first; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool has_value = i + 1 < argc;
        text::ParseError error;
        if (arg == "-b" || arg == "-f" || arg == "-l" || arg == "-n" || arg == "-t" ||
            arg == "--every" || arg == "--count") {
            if (!has_value) return usage_error(std::string(arg) + " needs a value");
            const char* value = argv[++i];
            bool ok = true;
            if (arg == "-b") {
                ok = text::parse_bit_rate(value, &out->bit_rate, &error);
            } else if (arg == "-f") {
                text::Filter filter;
                ok = text::parse_filter(value, &filter, &error);
                out->filters.push_back(filter);
            } else if (arg == "-l") {
                out->log_file = value;
            } else if (arg == "-n" || arg == "--count") {
                ok = parse_count(value, &out->count);
                error.message = "a count is a whole number";
            } else if (arg == "-t") {
                ok = parse_count(value, &out->seconds);
                error.message = "a time is whole seconds";
            } else {
                ok = parse_count(value, &out->every_ms) && out->every_ms > 0;
                error.message = "--every takes milliseconds above 0";
            }
            if (!ok) return usage_error(std::string(value) + ": " + error.message);
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usage_error("unknown option " + std::string(arg));
        } else {
            out->rest.emplace_back(arg);
        }
    }
    return K5320_SUCCESS;
}

bool parse_frames(const std::vector<std::string>& texts, std::vector<can::Frame>* frames,
                  std::string* message) {
    for (const std::string& t : texts) {
        can::Frame frame;
        text::ParseError error;
        if (!text::parse_frame(t, &frame, &error)) {
            *message = t + ": " + error.message;
            return false;
        }
        frames->push_back(frame);
    }
    return true;
}

std::string record_text(const FirmwareInfo& info) {
    return k5320::update::firmware_name_text(info) + ", " + k5320::update::modified_text(info) +
           ", " + k5320::update::size_text(info.size);
}

int list() {
    // A refused configuration, say, would otherwise show only as empty slots.
    const std::string problems = k5320::backplane::backplane_problems();
    for (std::size_t at = 0, end = 0; (end = problems.find('\n', at)) != std::string::npos;
         at = end + 1)
        std::fprintf(stderr, "%s: %.*s\n", kProgram, static_cast<int>(end - at), &problems[at]);
    for (uint8_t slot = kFirstSlot; slot <= kLastSlot; ++slot) {
        char name[TRN_MODULE_NAME_SIZE] = {};
        if (trn_GetModuleName(slot, name) != 0 || name[0] == '\0') {
            std::printf("slot %u: empty\n", slot);
            continue;
        }
        std::printf("slot %u: %s", slot, name);
        const int init = K5320_Init(slot);
        if (init == K5320_ERR_ALREADY_REGISTERED) {
            std::printf(", in use by another process\n");
            continue;
        }
        if (init != K5320_SUCCESS) {
            std::printf(", not usable (K5320_Init %d)\n", init);
            continue;
        }
        uint8_t mode = 0;
        const int rc = K5320_Check186Mode(slot, &mode);
        // Mode 1: the firmware runs; mode 0: the resident loader has the module.
        std::printf(", %s", rc != K5320_SUCCESS ? "mode unknown"
                            : mode != 0         ? "firmware running"
                                                : kNoFirmware);
        // The record is kept by the resident loader: a short visit there reads it.
        FirmwareInfo info{};
        int load = K5320_Load_Init(slot);
        if (load == K5320_SUCCESS) load = K5320_Load_GetFirmwareInfo(slot, &info);
        if (load == K5320_SUCCESS) {
            std::printf(", firmware %s\n", record_text(info).c_str());
        } else {
            std::printf(", no firmware record (%d)\n", load);
        }
        K5320_Load_RunProgram(slot);
        K5320_RestoreK5320(slot);
    }
    return problems.empty() ? K5320_SUCCESS : kExitFailure;
}

// Receives until stopped; prints each accepted frame and logs it.
int dump(uint8_t slot, const Arguments& args) {
    std::ofstream log;
    if (!args.log_file.empty()) {
        log.open(args.log_file, std::ios::out | std::ios::trunc);
        if (!log) {
            std::fprintf(stderr, "%s: cannot create %s: %s\n", kProgram, args.log_file.c_str(),
                         std::strerror(errno));
            return kExitFailure;
        }
    }
    if (int rc = open_channel(slot, args.bit_rate); rc != K5320_SUCCESS) return rc;
    catch_stop_signals();
    const std::string channel = "k5320-" + std::to_string(slot);
    const auto started = Clock::now();
    const auto deadline = started + std::chrono::seconds(args.seconds);
    uint64_t frames = 0;
    uint64_t bits = 0;
    uint64_t overruns = 0;
    int result = K5320_SUCCESS;
    while (!g_stop && (args.count == 0 || frames < args.count) &&
           (args.seconds == 0 || Clock::now() < deadline)) {
        uint16_t waiting = 0;
        if (int rc = K5320_RxMsgCount(slot, &waiting); rc != K5320_SUCCESS) {
            result = library_failure("K5320_RxMsgCount", rc);
            break;
        }
        if (waiting == 0) {
            std::this_thread::sleep_for(kIdlePoll);
            continue;
        }
        CanMsg msg{};
        const int rc = K5320_ReceiveMsg(slot, &msg);
        if (rc == K5320_ERR_TX_REFUSED) {
            ++overruns;  // delivered, but frames were lost before it
        } else if (rc != K5320_SUCCESS) {
            continue;
        }
        can::Frame frame;
        frame.id = msg.MsgID;
        frame.extended = msg.Mode != 0;
        frame.remote = msg.RTR != 0;
        frame.length = can::clamp_length(msg.DataLen);
        std::memcpy(frame.data.data(), msg.Data, sizeof msg.Data);
        bits += k5320::can::frame_bit_length(frame);
        bool accepted = args.filters.empty();
        for (const text::Filter& f : args.filters) accepted = accepted || f.accepts(frame.id);
        if (!accepted) continue;
        ++frames;
        const std::string line =
            text::format_log_line(msg.TimeStamp * kMicrosecondsPerStampUnit, channel, frame);
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
        if (log.is_open() && !(log << line << '\n')) {
            std::fprintf(stderr, "%s: writing %s failed; logging stopped\n", kProgram,
                         args.log_file.c_str());
            log.close();
            result = kExitFailure;
        }
    }
    K5320_RemoveIrq(slot);
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    std::fprintf(stderr, "%" PRIu64 " frames in %.1f s (%.1f frames/s), bus load %.1f %%%s\n",
                 frames, seconds, seconds > 0 ? frames / seconds : 0.0,
                 seconds > 0 ? 100.0 * bits / (seconds * args.bit_rate) : 0.0,
                 overruns ? ", frames lost while the receive buffer was full" : "");
    if (log.is_open()) log.flush();
    return result;
}

int send(uint8_t slot, const Arguments& args) {
    std::vector<can::Frame> frames;
    std::string message;
    if (args.rest.empty()) return usage_error("send needs at least one frame");
    if (!parse_frames(args.rest, &frames, &message)) return usage_error(message);
    if (int rc = open_channel(slot, args.bit_rate); rc != K5320_SUCCESS) return rc;
    uint64_t bits = 0;
    int result = K5320_SUCCESS;
    for (const can::Frame& f : frames) {
        int rc = K5320_SendWithoutStruct(slot, f.extended, f.id, f.remote, f.length, f.data.data());
        // The module's transmit buffer is bounded: wait for room rather than drop a frame.
        const auto give_up = Clock::now() + 1s;
        while (rc == K5320_ERR_TX_REFUSED && Clock::now() < give_up) {
            std::this_thread::sleep_for(kIdlePoll);
            rc = K5320_SendWithoutStruct(slot, f.extended, f.id, f.remote, f.length, f.data.data());
        }
        if (rc != K5320_SUCCESS) {
            result = library_failure("K5320_SendWithoutStruct", rc);
            break;
        }
        bits += k5320::can::frame_bit_length(f);
    }
    // Released only once the queued frames have had their time on the bus: a backplane that
    // lives in this process ends with it.
    std::this_thread::sleep_for(std::chrono::microseconds(bits * 1'000'000 / args.bit_rate) +
                                kSendDrainMargin);
    uint8_t timed_out = 0;
    if (result == K5320_SUCCESS && K5320_IsTxTimeout(slot, &timed_out) == K5320_SUCCESS &&
        timed_out != 0)
        std::fprintf(stderr, "%s: a frame was not acknowledged on the bus\n", kProgram);
    K5320_RemoveIrq(slot);
    return result;
}

int status(uint8_t slot) {
    if (int rc = K5320_Init(slot); rc != K5320_SUCCESS) return library_failure("K5320_Init", rc);
    if (uint8_t mode = 1; K5320_Check186Mode(slot, &mode) == K5320_SUCCESS && mode == 0) {
        K5320_RemoveIrq(slot);
        std::fprintf(stderr, "%s: slot %u: %s\n", kProgram, slot, kNoFirmware);
        return kExitFailure;
    }
    uint8_t value = 0;
    int rc = K5320_Status(slot, &value);
    if (rc != K5320_SUCCESS) {
        K5320_RemoveIrq(slot);
        return library_failure("K5320_Status", rc);
    }
    struct Bit {
        uint8_t mask;
        const char* name;
    };
    static constexpr std::array<Bit, 8> kBits{{{sja::SR_BS, "bus-off"},
                                               {sja::SR_ES, "error-warning"},
                                               {sja::SR_TS, "transmitting"},
                                               {sja::SR_RS, "receiving"},
                                               {sja::SR_TCS, "transmission-complete"},
                                               {sja::SR_TBS, "transmit-buffer-free"},
                                               {sja::SR_DOS, "data-overrun"},
                                               {sja::SR_RBS, "receive-buffer-full"}}};
    std::printf("status 0x%02X:", value);
    for (const Bit& b : kBits)
        if (value & b.mask) std::printf(" %s", b.name);
    std::printf("\n");
    uint8_t rx_errors = 0;
    uint8_t tx_errors = 0;
    rc = K5320_InputByte(slot, sja::SJA1000_RXERR, &rx_errors);
    if (rc == K5320_SUCCESS) rc = K5320_InputByte(slot, sja::SJA1000_TXERR, &tx_errors);
    if (rc == K5320_SUCCESS)
        std::printf("receive errors %u, transmit errors %u\n", rx_errors, tx_errors);
    K5320_RemoveIrq(slot);
    return rc == K5320_SUCCESS ? K5320_SUCCESS : library_failure("K5320_InputByte", rc);
}

int cyclic(uint8_t slot, const Arguments& args) {
    std::vector<can::Frame> frames;
    std::string message;
    if (args.rest.size() != 1) return usage_error("cyclic takes one frame");
    if (args.every_ms == 0) return usage_error("cyclic needs --every MS");
    if (args.every_ms > UINT32_MAX || args.count > UINT32_MAX)
        return usage_error("--every and --count take at most 4294967295");
    if (!parse_frames(args.rest, &frames, &message)) return usage_error(message);
    if (int rc = open_channel(slot, args.bit_rate); rc != K5320_SUCCESS) return rc;
    catch_stop_signals();
    const can::Frame& f = frames.front();
    uint8_t handle = 0xFF;
    int rc = K5320_AddCyclicTxMsg(slot, f.extended, f.id, f.remote, f.length, f.data.data(),
                                  static_cast<uint32_t>(args.every_ms),
                                  static_cast<uint32_t>(args.count), &handle);
    if (rc != K5320_SUCCESS) {
        K5320_RemoveIrq(slot);
        return library_failure("K5320_AddCyclicTxMsg", rc);
    }
    // The module sends on its own clock; this stays until the count is used up, since the
    // channel belongs to this process.
    uint32_t rest = 1;
    while (!g_stop && (args.count == 0 || rest != 0)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(args.every_ms));
        if (args.count != 0 && (rc = K5320_CheckCyclicTxRestMsg(slot, handle, &rest)) != 0) break;
    }
    K5320_DeleteCyclicTxMsg(slot, handle);
    K5320_RemoveIrq(slot);
    return rc == K5320_SUCCESS ? K5320_SUCCESS : library_failure("K5320_CheckCyclicTxRestMsg", rc);
}

int mailbox(uint8_t slot, const std::vector<std::string>& hex) {
    std::string bytes;
    for (const std::string& h : hex) {
        std::string part;
        text::ParseError error;
        if (!text::parse_hex_bytes(h, &part, &error)) return usage_error(h + ": " + error.message);
        bytes += part;
    }
    if (bytes.empty() || bytes.size() > k5320::dpram::kCmdRecordMax)
        return usage_error("a command record is 1 to 512 bytes");
    if (int rc = K5320_Init(slot); rc != K5320_SUCCESS) return library_failure("K5320_Init", rc);
    std::array<uint8_t, k5320::dpram::kCmdRecordMax> answer{};
    uint16_t length = 0;
    const int rc = K5320_SendReceiveCmd(slot, 1, reinterpret_cast<const uint8_t*>(bytes.data()),
                                        static_cast<uint16_t>(bytes.size()), answer.data(), &length,
                                        kMailboxTimeoutMs);
    K5320_RemoveIrq(slot);
    if (rc != K5320_SUCCESS) return library_failure("K5320_SendReceiveCmd", rc);
    for (uint16_t i = 0; i < length && i < answer.size(); ++i)
        std::printf("%s%02X", i ? " " : "", answer[i]);
    std::printf("\n");
    return K5320_SUCCESS;
}

// The download's progress: a bar drawn in place on a terminal, a line per block otherwise.
class TerminalProgress final : public k5320::update::DownloadProgress {
  public:
    TerminalProgress() : tty_(isatty(STDOUT_FILENO)) {}
    ~TerminalProgress() override {
        if (tty_ && count_ > 0) std::printf("\n");
    }
    void blocks(int count) override { count_ = count; }
    void block(int index) override {
        const int filled = (index + 1) * kProgressWidth / count_;
        if (tty_)
            std::printf("\r[%-*s] %d/%d", kProgressWidth, std::string(filled, '#').c_str(),
                        index + 1, count_);
        else
            std::printf("block %d of %d\n", index + 1, count_);
        std::fflush(stdout);
    }
    void pause() override {}

  private:
    bool tty_;
    int count_ = 0;
};

// The utility's firmware update on a terminal: the record the module holds, the download, the
// record it holds afterwards. The module's firmware is started again unless a download step
// failed (it may be gone: the module then waits in its loader for another flash).
int flash(uint8_t slot, const std::string& file) {
    namespace update = k5320::update;
    update::CApiLoader loader;
    update::UpdateSystem& system = update::system_update_services();
    const update::OpenOutcome opened = update::open_loader(loader, slot);
    if (opened.step != update::OpenStep::kOpened) {
        std::fprintf(stderr, "%s: %s\n", kProgram, update::open_failure_text(opened).c_str());
        if (opened.step == update::OpenStep::kLoadInitFailed) K5320_RemoveIrq(slot);
        return opened.result;
    }
    if (FirmwareInfo held{}; loader.get_firmware_info(slot, held) == K5320_SUCCESS)
        std::printf("module holds %s\n", record_text(held).c_str());

    std::variant<update::FirmwareImage, update::UpdateOutcome> image =
        update::read_firmware_image(system, loader, file);
    update::UpdateOutcome outcome;
    if (const auto* refused = std::get_if<update::UpdateOutcome>(&image)) {
        outcome = *refused;
    } else {
        TerminalProgress progress;
        const update::DownloadResult result = update::download_firmware(
            loader, system, slot, std::move(std::get<update::FirmwareImage>(image)), progress);
        outcome = result.outcome;
        if (result.stored) std::printf("module holds %s\n", record_text(*result.stored).c_str());
    }
    update::close_loader(loader, slot, update::download_step_failed(outcome));
    if (outcome == update::UpdateOutcome::kDownloaded) {
        std::printf("%s\n", update::outcome_text(outcome, file).c_str());
        return K5320_SUCCESS;
    }
    std::fprintf(stderr, "%s: %s\n", kProgram, update::outcome_text(outcome, file).c_str());
    return kExitFailure;
}

// A byte of the fault command line: decimal, or hexadecimal after 0x.
bool parse_fault_byte(const std::string& arg, int32_t* value) {
    const bool hex = arg.size() > 2 && arg[0] == '0' && (arg[1] == 'x' || arg[1] == 'X');
    const char* digits = arg.c_str() + (hex ? 2 : 0);
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(digits, &end, hex ? 16 : 10);
    if (end == digits || *end != '\0' || errno != 0 || digits[0] == '-' || v > UINT8_MAX)
        return false;
    *value = static_cast<int32_t>(v);
    return true;
}

struct FaultForm {
    const char* name;
    FaultKind kind;
    bool takes_command;
    bool takes_value;
    int32_t fixed_value;  // the value of a form that takes none
};

constexpr int32_t kFaultOn = 1;
constexpr FaultForm kFaultForms[] = {
    {"silence", FaultKind::kSilence, true, false, kFaultOn},
    {"drop", FaultKind::kDrop, true, false, kFaultOn},
    {"answer", FaultKind::kOverrideAnswer, true, true, 0},
    {"repeats", FaultKind::kAnswerAfterRepeats, true, true, 0},
    {"stray", FaultKind::kStrayBefore, true, true, 0},
    {"lose", FaultKind::kLoseInterrupts, false, true, 0},
    {"freeze-status", FaultKind::kFreezeStatusPair, false, false, kFaultOn},
    {"flash-fail", FaultKind::kFailFlashWrites, false, false, kFaultOn},
    {"seen", FaultKind::kCommandsSeen, true, false, 0},
    {"clear", FaultKind::kClear, false, false, 0},
};

int fault(uint8_t slot, const std::vector<std::string>& words) {
    if (words.empty())
        return usage_error(
            "fault needs a fault: silence drop answer repeats stray "
            "lose freeze-status flash-fail seen clear");
    const FaultForm* form = nullptr;
    for (const FaultForm& f : kFaultForms)
        if (words.front() == f.name) form = &f;
    if (form == nullptr) return usage_error("unknown fault " + words.front());
    const size_t expected = 1 + (form->takes_command ? 1 : 0) + (form->takes_value ? 1 : 0);
    if (words.size() != expected) return usage_error(words.front() + ": wrong number of arguments");

    FaultRequest request{form->kind, slot, 0, form->fixed_value};
    size_t next = 1;
    int32_t command = 0;
    if (form->takes_command && !parse_fault_byte(words[next++], &command))
        return usage_error(words[next - 1] + ": a command is a byte (0..255 or 0x00..0xFF)");
    request.command = static_cast<uint32_t>(command);
    if (form->takes_value) {
        const std::string& arg = words[next];
        uint64_t count = 0;
        // lose counts answers; the others take a byte.
        const bool ok = form->kind == FaultKind::kLoseInterrupts
                            ? parse_count(arg.c_str(), &count) && count <= INT32_MAX
                            : parse_fault_byte(arg, &request.value);
        if (!ok) return usage_error(arg + ": not a valid value for " + words.front());
        if (form->kind == FaultKind::kLoseInterrupts) request.value = static_cast<int32_t>(count);
    }
    const std::optional<uint64_t> result = k5320::backplane::inject_fault(request);
    if (!result) {
        std::fprintf(stderr, "%s: slot %u: no module took the fault (an empty slot?)\n", kProgram,
                     slot);
        return kExitFailure;
    }
    if (form->kind == FaultKind::kCommandsSeen) std::printf("%" PRIu64 "\n", *result);
    return K5320_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage_error("no command");
    const std::string_view command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, stdout);
        return K5320_SUCCESS;
    }
    if (command == "list") return argc == 2 ? list() : usage_error("list takes no arguments");
    uint8_t slot = 0;
    if (argc < 3 || !parse_slot(argv[2], &slot)) return usage_error("a slot is 1 to 7");
    Arguments args;
    if (int rc = parse_arguments(argc, argv, 3, &args); rc != K5320_SUCCESS) return rc;
    if (command == "dump")
        return args.rest.empty() ? dump(slot, args) : usage_error("dump takes options only");
    if (command == "send") return send(slot, args);
    if (command == "status")
        return args.rest.empty() ? status(slot) : usage_error("status takes a slot only");
    if (command == "cyclic") return cyclic(slot, args);
    if (command == "mailbox") return mailbox(slot, args.rest);
    if (command == "fault") return fault(slot, args.rest);
    if (command == "flash")
        return args.rest.size() == 1 ? flash(slot, args.rest.front())
                                     : usage_error("flash takes one file");
    return usage_error("unknown command " + std::string(command));
}
