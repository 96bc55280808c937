// k5320: every function of the K5320 module from the shell, with the options, output and log
// files of the Linux CAN tools its users know (candump, cansend, canplayer, cangen,
// canbusload), on whatever backplane the SDK reaches (by default the user's backplane service,
// shared with every other program).
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "backplane/bus_tap.h"
#include "backplane/fault_request.h"
#include "backplane/problems.h"
#include "backplane/remote_links.h"
#include "backplane/slot_holder.h"
#include "can/frame_length.h"
#include "can/text.h"
#include "driver/sdk/tarn_sdk.h"
#include "k5320.h"
#include "k5320/baud_codes.h"
#include "k5320/dpram_map.h"
#include "k5320/receive_policy.h"
#include "k5320/sja1000_registers.h"
#include "k5320_result_text.h"
#include "update/firmware_update.h"

#ifndef K5320_VERSION
#define K5320_VERSION "unknown"
#endif

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace can = k5320::can;
namespace sja = k5320::sja1000;
namespace text = k5320::cantext;
namespace backplane = k5320::backplane;
using backplane::FaultKind;
using backplane::FaultRequest;

constexpr const char* kProgram = "k5320";
constexpr int kExitUsage = 2;    // bad command line or frame text; no library result is 2
constexpr int kExitFailure = 1;  // a failure outside the library (a file, the bus, a signal)
constexpr uint32_t kDefaultBitRate = 125'000;
constexpr uint32_t kAcceptAll = 0xFFFFFFFF;
constexpr uint8_t kFirstSlot = 1;
constexpr uint8_t kLastSlot = 7;
constexpr uint64_t kMicrosecondsPerStampUnit = 100;  // module time stamps count 0.1 ms
constexpr uint64_t kMicrosecondsPerSecond = 1'000'000;
constexpr uint16_t kMailboxTimeoutMs = 5000;
constexpr int kProgressWidth = 40;
// What a module in its resident loader lacks, and the way out.
constexpr const char* kNoFirmware = "no firmware: run k5320 flash";

// How a receiver polls its module: there is no frame interrupt.
namespace policy = k5320::receive_policy;
constexpr std::chrono::milliseconds kBusyPoll{policy::kBusyPollMs};
constexpr std::chrono::milliseconds kIdlePollLimit{policy::kIdlePollMs};
constexpr std::chrono::milliseconds kBackoffStep{policy::kBackoffStepMs};
constexpr std::chrono::milliseconds kQuietBeforeBackoff{policy::kQuietBeforeBackoffMs};

// Paces a receiver's polls. A poll that found frames is followed by the next 1 ms after it began,
// so a busy bus costs one fetch per millisecond rather than one per frame; a poll that filled a
// whole bank is followed at once, since more frames may be waiting.
class PollPace {
  public:
    // After a poll that found `frames`: sleeps until the next poll is due.
    void wait_after(uint16_t frames) {
        const auto now = Clock::now();
        if (frames > 0) {
            last_frame_ = now;
            interval_ = kBusyPoll;
        } else if (now - last_frame_ >= kQuietBeforeBackoff) {
            interval_ = std::min(interval_ + kBackoffStep, kIdlePollLimit);
        }
        if (frames < k5320::dpram::kRxBankRecords)
            std::this_thread::sleep_until(began_ + interval_);
        began_ = Clock::now();
    }

  private:
    std::chrono::milliseconds interval_ = kBusyPoll;
    Clock::time_point last_frame_ = Clock::now();
    Clock::time_point began_ = Clock::now();
};

// send, play and gen wait for their frames: a frame nobody acknowledges sets the module's
// transmit time-out flag after 200 ms; a queue that does not empty ends the wait after this.
constexpr auto kDrainSlack = 2s;
constexpr auto kStableDone = 3ms;  // the status must say "all sent" this long

// --- Signals ---------------------------------------------------------------------------------

volatile sig_atomic_t g_stop = 0;
void request_stop(int) {
    g_stop = 1;
}

// Ctrl-C and SIGTERM end a command in order; a wait in the kernel ends with EINTR.
void catch_stop_signals() {
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// --- Messages ----------------------------------------------------------------------------------

int usage_error(std::string_view command, const std::string& message) {
    if (command.empty()) {
        std::fprintf(stderr, "%s: %s\n(k5320 --help shows the usage)\n", kProgram,
                     message.c_str());
    } else {
        std::fprintf(stderr, "%s %.*s: %s\n(k5320 %.*s --help shows its usage)\n", kProgram,
                     static_cast<int>(command.size()), command.data(), message.c_str(),
                     static_cast<int>(command.size()), command.data());
    }
    return kExitUsage;
}

int failure(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
    return kExitFailure;
}

// "k5320 dump" for a process of the user; empty when it cannot be read.
std::string program_of(uint32_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::string first;
    std::string second;
    if (!std::getline(file, first, '\0')) return {};
    std::getline(file, second, '\0');
    first = first.substr(first.rfind('/') + 1);
    return second.empty() ? first : first + " " + second;
}

// A failed library call, in words from the one table of result meanings, with what the tool
// knows beside it (who holds the slot, what the slot holds). Returns the result code.
int library_failure(uint8_t slot, const char* call, int rc) {
    std::string message;
    if (rc == K5320_ERR_ALREADY_REGISTERED) {
        if (const uint32_t holder = backplane::slot_holder(slot);
            holder != 0 && holder != static_cast<uint32_t>(getpid())) {
            const std::string program = program_of(holder);
            message = "slot " + std::to_string(slot) + " is in use by process " +
                      std::to_string(holder) + (program.empty() ? "" : " (" + program + ")");
        }
    } else if (rc == K5320_ERR_BAD_SLOT) {
        char name[TRN_MODULE_NAME_SIZE] = {};
        if (trn_GetModuleName(slot, name) != 0 || name[0] == '\0')
            message = "no module in slot " + std::to_string(slot);
        else
            message = "slot " + std::to_string(slot) + " holds a '" + name +
                      "' module, which the library does not drive";
    }
    if (message.empty())
        message = "slot " + std::to_string(slot) + ": " + k5320_result_meaning(rc);
    std::fprintf(stderr, "%s: %s (%s returned %d)\n", kProgram, message.c_str(), call, rc);
    return rc;
}

// --- Usage ---------------------------------------------------------------------------------------

constexpr const char* kRates = "10k 20k 50k 125k (default) 250k 500k 800k 1M";

constexpr const char* kMainUsage =
    "usage: k5320 COMMAND [OPTIONS] [ARGS]     k5320 COMMAND --help   k5320 --version\n"
    "The K5320 module from the shell, with the options and text forms of the Linux CAN tools.\n"
    "\n"
    "  list                      slots, module types, modes and firmware records\n"
    "  dump SLOT|BUS[,FILTER]... received frames, as candump prints and logs them\n"
    "  send SLOT FRAME...        send frames in cansend syntax, wait for their acknowledgement\n"
    "  play SLOT[=CHANNEL]       replay a candump log with its timing (canplayer)\n"
    "  gen SLOT                  generate frames (cangen)\n"
    "  busload IF@RATE...        bus load in percent each second (canbusload)\n"
    "  status SLOT               the status byte, decoded, and the error counters\n"
    "  cyclic SLOT FRAME         send a frame on the module's own clock\n"
    "  mailbox SLOT HEX...       a command record to the user program, and its answer\n"
    "  flash SLOT FILE           download FILE as the module's firmware\n"
    "  fault SLOT FAULT          make the slot's emulated module fail (k5320 fault --help)\n"
    "\n"
    "SLOT is 1 to 7; BUS a bus of the backplane (can0), tapped listen-only. RATE: 10k 20k 50k\n"
    "125k (default) 250k 500k 800k 1M. FRAME: <id>#<data>, 3 hex digits for a standard id, 8 for\n"
    "an extended one; <id>#R or <id>#R<len> for a remote frame.\n"
    "Exit status: 0 on success, the library's result code when a call fails (3..44, 239; for\n"
    "example 44: another process holds the slot), 1 for other failures (a file, a frame nobody\n"
    "acknowledged, a stopped download), 2 for a bad command line.\n"
    "\n"
    "Examples:\n"
    "  k5320 dump 2 -b 500k                    # candump's columns; Ctrl-C ends it\n"
    "  k5320 dump can0 -ta                     # tap bus can0, absolute time stamps\n"
    "  k5320 dump 2,123:7FF,200~700 -l         # filters; log to candump-<date>_<time>.log\n"
    "  k5320 send 1 -b 500k 123#DEADBEEF 12345678#R3 7FF#01.02.03\n"
    "  k5320 play 1 -I candump-2024-03-09_070503.log\n"
    "  k5320 gen 1 -g 0 -I i -L 8              # as fast as the bus takes them\n"
    "  k5320 busload can0@125000\n"
    "  k5320 flash 1 firmware.exe\n";

struct CommandHelp {
    const char* name;
    const char* usage;
};

constexpr CommandHelp kHelp[] = {
    {"list",
     "usage: k5320 list\n"
     "Lists the slots: module type, whether its firmware runs, and the firmware record its\n"
     "loader keeps (a free module is briefly taken into its loader for it; slots another\n"
     "process holds are left alone), then each bus's link to a remote socketcand server: its\n"
     "state (connecting, up, down), the frames it sent and received, those it dropped either way\n"
     "and how often it connected. Exit status 1 when the backplane is not as configured.\n"
     "Example:\n"
     "  k5320 list\n"},
    {"dump",
     "usage: k5320 dump SLOT|BUS[,FILTER]... [OPTIONS]\n"
     "Prints the frames a slot's module receives, or (BUS, a bus name such as can0) every frame\n"
     "on a virtual bus through a listen-only tap that needs no slot and acknowledges nothing.\n"
     "Output as candump's: ' k5320-2  123   [4]  DE AD BE EF'.\n"
     "  -t a|d|z|A        time stamps: absolute, delta, from zero, absolute with the date\n"
     "  -L                candump's log form on stdout: (seconds.micros) k5320-2 123#DEADBEEF\n"
     "  -l                log to candump-YYYY-MM-DD_hhmmss.log here (sets -s 2)\n"
     "  -o, --output=FILE log to FILE (sets -s 2)\n"
     "  -s 0|1|2          silent: 0 prints (default), 1 a spinner, 2 nothing\n"
     "  -n COUNT          end after COUNT frames\n"
     "  -T MS             end after MS milliseconds without a frame\n"
     "  -e                error frames: a slot's system messages and status changes (bus state,\n"
     "                    overrun, arbitration lost) as SocketCAN error frames; on a bus tap\n"
     "                    the bus errors it sees\n"
     "  -x                extra details (RX and the frame's flags, as candump)\n"
     "  -b, --bitrate=RATE  the slot's bit rate (default 125k); a tap's (default: the bus's)\n"
     "  -f ID:MASK        a filter, as after the comma (kept from earlier versions)\n"
     "      --module-time stamps are the module's (seconds since it started), not wall clock\n"
     "FILTER: <id>:<mask> takes a frame when id & mask == received & mask, <id>~<mask> the\n"
     "rest, 8 digits make an extended id; j joins the filters (all must take a frame);\n"
     "#<mask> shows the error classes of mask. Without filters every frame is shown.\n"
     "Log stamps are wall-clock seconds: the module's stamps, anchored when the first frame\n"
     "after the configuration is read. A summary goes to stderr at the end; a log that cannot\n"
     "be written to the end makes the exit status 1.\n"
     "Examples:\n"
     "  k5320 dump 2 -b 500k -ta\n"
     "  k5320 dump 2,100:7F0 -n 10 -T 5000\n"
     "  k5320 dump can0 -l                       # every frame of bus can0, logged\n"
     "  k5320 dump 2 -L | tee trace.log\n"},
    {"send",
     "usage: k5320 send SLOT [-b RATE] FRAME...\n"
     "Sends the frames in cansend syntax and waits until the module has sent them all, or\n"
     "reports that nobody acknowledged one (exit status 1, within a few seconds).\n"
     "  -b, --bitrate=RATE  bit rate (default 125k)\n"
     "Examples:\n"
     "  k5320 send 1 123#DEADBEEF\n"
     "  k5320 send 1 -b500k 12345678#R3 7FF#01.02.03 000#\n"},
    {"play",
     "usage: k5320 play SLOT[=CHANNEL] [OPTIONS]\n"
     "Replays a candump log onto a slot with the log's timing, as canplayer does: every frame\n"
     "of the log, or only those logged from CHANNEL (k5320-2, can0). Error frames are skipped.\n"
     "  -I FILE           the log (default: standard input)\n"
     "  -l N|i            play it N times, or without end (i)\n"
     "  -t                ignore the time stamps: a frame every -g milliseconds\n"
     "  -g MS             gap for -t (default 1)\n"
     "  -s SECONDS        shorten gaps longer than SECONDS to nothing\n"
     "  -v                print each frame as it is sent\n"
     "  -b, --bitrate=RATE  bit rate (default 125k)\n"
     "Examples:\n"
     "  k5320 play 1 -I candump-2024-03-09_070503.log\n"
     "  k5320 play 1=k5320-2 -b 500k -l 3 < trace.log\n"},
    {"gen",
     "usage: k5320 gen SLOT [OPTIONS]\n"
     "Generates frames, as cangen does.\n"
     "  -g MS             gap between frames (default 200; 0: as fast as the bus takes them)\n"
     "  -e                extended (29-bit) ids\n"
     "  -R                remote frames\n"
     "  -m                mix 11-bit, 29-bit and remote frames\n"
     "  -I r|i|ID         ids: random (default), incrementing, or this hex id\n"
     "  -L r|i|LEN        lengths: random (default), incrementing, or LEN (0..8)\n"
     "  -D r|i|HEX        data: random (default), an incrementing counter, or these bytes\n"
     "  -n COUNT          end after COUNT frames (default: Ctrl-C)\n"
     "  -v                print each frame sent\n"
     "  -b, --bitrate=RATE  bit rate (default 125k)\n"
     "Examples:\n"
     "  k5320 gen 1 -g 4 -I 42A -L 1 -D i -v\n"
     "  k5320 gen 1 -g 0 -b 1M -n 10000          # saturates the bus\n"},
    {"busload",
     "usage: k5320 busload IF@RATE... [-t] [-r] [-n COUNT]\n"
     "Shows each second, per interface, the frames of that second, the bits they took on the\n"
     "wire (exact lengths, stuff bits included), their payload bits and the load in percent of\n"
     "RATE with a bar of 5 % steps, as canbusload does. IF is a bus (can0: a listen-only tap;\n"
     "@RATE may be left out, the bus's rate is then taken) or a slot (2@500000: its module\n"
     "receives at that rate).\n"
     "  -t                the time on a first line\n"
     "  -r                redraw the screen each second (as top)\n"
     "  -n COUNT          end after COUNT seconds\n"
     "Examples:\n"
     "  k5320 busload can0\n"
     "  k5320 busload can0@125000 2@125000 -r -t\n"},
    {"status",
     "usage: k5320 status SLOT\n"
     "Prints the CAN status byte, its bits by name, and the receive and transmit error counters.\n"
     "Example:\n"
     "  k5320 status 1\n"},
    {"cyclic",
     "usage: k5320 cyclic SLOT FRAME --every MS [--count N] [-b RATE]\n"
     "Has the module send FRAME every MS milliseconds from its own clock, N times (0 or none:\n"
     "until Ctrl-C); the slot stays in use meanwhile.\n"
     "Example:\n"
     "  k5320 cyclic 1 100#00FF --every 10 --count 50\n"},
    {"mailbox",
     "usage: k5320 mailbox SLOT HEX...\n"
     "Sends a command record (1 to 512 bytes) to the module's user program and prints the\n"
     "answer record.\n"
     "Example:\n"
     "  k5320 mailbox 1 01 02 0304\n"},
    {"flash",
     "usage: k5320 flash SLOT FILE\n"
     "Downloads FILE (at most 393152 bytes) as the module's firmware, block by block, and starts\n"
     "it. Ctrl-C or SIGTERM waits for the block on its way and stops before the next: the module\n"
     "is then left in its loader (run k5320 flash again), and the exit status is 1.\n"
     "Example:\n"
     "  k5320 flash 1 firmware.exe\n"},
    {"fault",
     "usage: k5320 fault SLOT FAULT\n"
     "       k5320 fault BUS WIRE-FAULT\n"
     "Makes the slot's emulated module, or the wire of the bus named BUS, fail, to test how an\n"
     "application handles it (until 'clear' or a restart of the backplane service):\n"
     "  silence CMD         execute CMD, never answer it\n"
     "  drop CMD            neither execute nor answer CMD\n"
     "  answer CMD VALUE    answer CMD with VALUE\n"
     "  repeats CMD N       answer CMD only at the Nth repeat request\n"
     "  stray CMD VALUE     write the answer VALUE just before CMD's own\n"
     "  lose N              the next N answers raise no interrupt\n"
     "  freeze-status       the CAN status pair is no longer written\n"
     "  flash-fail          every flash write fails\n"
     "  seen CMD            print how many CMDs the module has taken\n"
     "  clear               end every fault of the slot\n"
     "Faults on a bus's wire (BUS: its name in the backplane configuration, such as can0):\n"
     "  stuck-dominant      every transmission meets a bit error: senders go bus-off\n"
     "  bit-errors PERCENT [SEED]  that share of transmissions is destroyed by an error frame;\n"
     "                      the same SEED destroys the same ones\n"
     "  disconnect SLOT     the module in SLOT is off the wire: it hears nothing, nobody hears it\n"
     "  connect SLOT        it is back on the wire\n"
     "  clear               end every fault on the wire\n"
     "CMD and VALUE are bytes, decimal or 0x hexadecimal (commands: see k5320/commands.h).\n"
     "Examples:\n"
     "  k5320 fault 1 silence 209; k5320 send 1 123#00; k5320 fault 1 clear\n"
     "  k5320 fault can0 stuck-dominant; k5320 send 1 123#00; k5320 status 1; k5320 fault can0 "
     "clear\n"
     "  k5320 fault can0 bit-errors 1 42\n"},
};

const char* help_of(std::string_view command) {
    for (const CommandHelp& h : kHelp)
        if (command == h.name) return h.usage;
    return nullptr;
}

// --- Option parsing ---------------------------------------------------------------------------

constexpr int kOptionHelp = 'h';
constexpr int kOptionModuleTime = 1000;
constexpr int kOptionEvery = 1001;
constexpr int kOptionCount = 1002;

// getopt_long over a command's arguments (argv[0] is the command), with the command's own
// messages for unknown options and missing values. handle returns 0 to go on, else the exit
// status. Positional arguments end up in rest, in order. Returns -1 when all went well, else
// the exit status (0 after --help).
int parse_options(int argc, char** argv, const char* short_options, const option* long_options,
                  const std::function<int(int, const char*)>& handle,
                  std::vector<std::string>* rest) {
    const std::string_view command = argv[0];
    opterr = 0;
    optind = 0;  // GNU: start over, options may follow the arguments
    // ':' first (after a '+', which stops at the first argument): missing values come back
    // as ':' for this function's own message.
    const std::string_view given = short_options;
    const std::string shorts = given.starts_with('+')
                                   ? "+:" + std::string(given.substr(1)) + "h"
                                   : ":" + std::string(given) + "h";
    for (;;) {
        const int option = getopt_long(argc, argv, shorts.c_str(), long_options, nullptr);
        if (option == -1) break;
        if (option == kOptionHelp) {
            std::fputs(help_of(command), stdout);
            return 0;
        }
        if (option == '?') {
            if (optopt != 0)
                return usage_error(command, std::string("unknown option -") +
                                                static_cast<char>(optopt));
            return usage_error(command, std::string("unknown option ") + argv[optind - 1]);
        }
        if (option == ':') {
            if (optopt != 0 && optopt < 256)
                return usage_error(command, std::string("-") + static_cast<char>(optopt) +
                                                " needs a value");
            return usage_error(command, std::string(argv[optind - 1]) + " needs a value");
        }
        if (const int rc = handle(option, optarg); rc != 0) return rc;
    }
    for (int i = optind; i < argc; ++i) rest->emplace_back(argv[i]);
    return -1;
}

bool parse_slot(std::string_view arg, uint8_t* slot) {
    if (arg.size() != 1 || arg[0] < '0' + kFirstSlot || arg[0] > '0' + kLastSlot) return false;
    *slot = static_cast<uint8_t>(arg[0] - '0');
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

// Milliseconds with an optional fraction ("0", "4", "0.5"), as cangen's and canplayer's -g.
bool parse_milliseconds(const char* arg, double* value) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(arg, &end);
    if (end == arg || *end != '\0' || errno != 0 || !(v >= 0) || v > 1e9) return false;
    *value = v;
    return true;
}

bool parse_rate_option(std::string_view command, const char* value, uint32_t* rate, int* rc) {
    text::ParseError error;
    if (!text::parse_bit_rate(value, rate, &error)) {
        *rc = usage_error(command, std::string(value) + ": " + error.message);
        return false;
    }
    return true;
}

// --- Slots ------------------------------------------------------------------------------------

// Initialises the slot and starts its channel at the rate, accepting every frame.
int open_channel(std::string_view command, uint8_t slot, uint32_t bit_rate) {
    const uint8_t index = k5320::baud::index_for_bit_rate(bit_rate);
    if (index == 0)
        return usage_error(command, std::to_string(bit_rate) + " bit/s: the module runs " + kRates);
    if (int rc = K5320_Init(slot); rc != K5320_SUCCESS) return library_failure(slot, "K5320_Init", rc);
    if (int rc = K5320_ConfigWithoutStruct(slot, 0, kAcceptAll, index, 0, 0); rc != K5320_SUCCESS) {
        K5320_RemoveIrq(slot);
        return library_failure(slot, "K5320_ConfigWithoutStruct", rc);
    }
    return K5320_SUCCESS;
}

bool parse_frames(const std::vector<std::string>& texts, std::size_t first,
                  std::vector<can::Frame>* frames, std::string* message) {
    for (std::size_t i = first; i < texts.size(); ++i) {
        can::Frame frame;
        text::ParseError error;
        if (!text::parse_frame(texts[i], &frame, &error)) {
            *message = texts[i] + ": " + error.message;
            return false;
        }
        frames->push_back(frame);
    }
    return true;
}

uint64_t wall_microseconds() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

// Sending: a frame into the module's transmit buffer, waiting for room while it is full; and
// the wait until every frame taken has been sent, or one was not acknowledged.
class Sender {
  public:
    Sender(uint8_t slot, uint32_t bit_rate) : slot_(slot), bit_rate_(bit_rate) {}

    // 0, the library's result, or kExitFailure when nobody acknowledges (said on stderr).
    int send(const can::Frame& f) {
        int rc = K5320_SendWithoutStruct(slot_, f.extended, f.id, f.remote, f.length, f.data.data());
        // The transmit buffer is bounded: wait for room rather than drop a frame.
        const auto give_up = Clock::now() + 1s;
        while (rc == K5320_ERR_TX_REFUSED && Clock::now() < give_up && !g_stop) {
            if (not_acknowledged()) return report_not_acknowledged();
            std::this_thread::sleep_for(kBusyPoll);
            rc = K5320_SendWithoutStruct(slot_, f.extended, f.id, f.remote, f.length, f.data.data());
        }
        if (rc == K5320_ERR_TX_REFUSED && g_stop) return K5320_SUCCESS;
        if (rc != K5320_SUCCESS) return library_failure(slot_, "K5320_SendWithoutStruct", rc);
        queued_bits_ += can::frame_bit_length(f);
        ++sent_;
        return K5320_SUCCESS;
    }

    // Waits until the module has sent every frame taken: its status says the transmit buffer is
    // free and the last transmission complete, for a moment, and the frames have had their time
    // on the bus. Reports a transmit time-out (exit 1) and a queue that does not empty.
    int drain() {
        if (sent_ == 0) return K5320_SUCCESS;
        const auto bus_time = std::chrono::microseconds(queued_bits_ * kMicrosecondsPerSecond /
                                                        bit_rate_);
        const auto earliest = Clock::now();
        const auto deadline = earliest + 2 * bus_time + kDrainSlack;
        // When the status last turned idle; the epoch while it is not.
        Clock::time_point done_since{};
        while (Clock::now() < deadline && !g_stop) {
            if (not_acknowledged()) return report_not_acknowledged();
            uint8_t status = 0;
            if (K5320_Status(slot_, &status) == K5320_SUCCESS &&
                (status & (sja::SR_TBS | sja::SR_TCS | sja::SR_TS)) ==
                    (sja::SR_TBS | sja::SR_TCS)) {
                if (done_since == Clock::time_point{}) done_since = Clock::now();
                if (Clock::now() - done_since >= kStableDone) return K5320_SUCCESS;
            } else {
                done_since = {};
            }
            std::this_thread::sleep_for(kBusyPoll);
        }
        if (g_stop) return K5320_SUCCESS;
        K5320_ClearTxSoftBuffer(slot_);
        return failure("slot " + std::to_string(slot_) + ": frames still waiting to be sent after " +
                       std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          Clock::now() - earliest)
                                          .count()) +
                       " ms (a bus full of frames that win arbitration?)");
    }

    uint64_t sent() const { return sent_; }

  private:
    bool not_acknowledged() const {
        uint8_t flag = 0;
        return K5320_IsTxTimeout(slot_, &flag) == K5320_SUCCESS && flag != 0;
    }
    int report_not_acknowledged() {
        // The controller would retry without end: the frames go.
        K5320_ClearTxSoftBuffer(slot_);
        if (uint8_t status = 0; K5320_Status(slot_, &status) == K5320_SUCCESS &&
                                (status & sja::SR_BS) != 0)
            return failure("slot " + std::to_string(slot_) +
                           ": the controller went bus-off (errors on the wire); it stays off the "
                           "bus until the slot is configured again");
        return failure("slot " + std::to_string(slot_) +
                       ": nobody acknowledged a frame on the bus (the module's transmit time-out; "
                       "is another node running at " +
                       std::to_string(bit_rate_) + " bit/s?)");
    }

    uint8_t slot_;
    uint32_t bit_rate_;
    uint64_t queued_bits_ = 0;
    uint64_t sent_ = 0;
};

// --- list ----------------------------------------------------------------------------------------

std::string record_text(const FirmwareInfo& info) {
    return k5320::update::firmware_name_text(info) + ", " + k5320::update::modified_text(info) +
           ", " + k5320::update::size_text(info.size);
}

int list_command(int argc, char** argv) {
    std::vector<std::string> rest;
    static const option kLong[] = {{"help", no_argument, nullptr, 'h'}, {}};
    if (int rc = parse_options(argc, argv, "", kLong, [](int, const char*) { return 0; }, &rest);
        rc >= 0)
        return rc;
    if (!rest.empty()) return usage_error("list", "list takes no arguments");
    // A refused configuration, say, would otherwise show only as empty slots.
    const std::string problems = backplane::backplane_problems();
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
            const uint32_t holder = backplane::slot_holder(slot);
            const std::string program = holder != 0 ? program_of(holder) : std::string();
            if (holder != 0)
                std::printf(", in use by process %u%s\n", holder,
                            program.empty() ? "" : (" (" + program + ")").c_str());
            else
                std::printf(", in use by another process\n");
            continue;
        }
        if (init != K5320_SUCCESS) {
            std::printf(", not usable: %s (K5320_Init returned %d)\n", k5320_result_meaning(init),
                        init);
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
            std::printf(", no firmware record (%s)\n", k5320_result_meaning(load));
        }
        K5320_Load_RunProgram(slot);
        K5320_RestoreK5320(slot);
    }
    for (const backplane::RemoteLinkReport& link : backplane::remote_links()) {
        std::printf("link %s: %s, frames out %" PRIu64 ", in %" PRIu64 ", dropped out %" PRIu64
                    ", in %" PRIu64 ", connections %" PRIu64 "\n",
                    link.name.c_str(), link.state.c_str(), link.to_remote, link.from_remote,
                    link.dropped_to_remote, link.dropped_from_remote, link.connections);
    }
    return problems.empty() ? K5320_SUCCESS : kExitFailure;
}

// --- dump ------------------------------------------------------------------------------------------

enum class StampMode { kNone, kAbsolute, kDelta, kZero, kDate };

struct DumpOptions {
    uint32_t bit_rate = 0;  // 0: a slot's default, a tap's bus rate
    StampMode stamps = StampMode::kNone;
    bool log_form = false;
    bool log_named = false;  // -l
    std::string log_file;    // -o
    int silent = -1;         // -1: as the logging options imply
    uint64_t count = 0;
    uint64_t silence_ms = 0;
    bool errors = false;
    bool extra = false;
    bool module_time = false;
    text::FilterSet filters;
};

// A frame or an error frame, with its stamp in microseconds (wall clock, or the module's).
struct Event {
    uint64_t micros = 0;
    bool error = false;
    can::Frame frame;
    text::ErrorFrame error_frame;
};

// Writes each event to the terminal and the log, in candump's forms, and keeps the counts of
// the summary.
class DumpOutput {
  public:
    DumpOutput(const DumpOptions& options, std::string channel, uint32_t bit_rate)
        : options_(options), channel_(std::move(channel)), bit_rate_(bit_rate) {}
    ~DumpOutput() {
        if (log_ != nullptr) std::fclose(log_);
    }

    bool open_log() {
        std::string path = options_.log_file;
        if (options_.log_named) {
            path = text::candump_log_name(static_cast<int64_t>(std::time(nullptr)));
            std::fprintf(stderr, "\nEnabling Logfile '%s'\n\n", path.c_str());
        }
        if (path.empty()) return true;
        log_path_ = path;
        log_ = std::fopen(path.c_str(), "w");
        if (log_ == nullptr) {
            failure("cannot create " + path + ": " + std::strerror(errno));
            return false;
        }
        return true;
    }

    int silent() const {
        if (options_.silent >= 0) return options_.silent;
        return options_.log_named || !options_.log_file.empty() ? 2 : 0;
    }

    void write(const Event& event) {
        if (!event.error) {
            ++frames_;
            bits_ += can::frame_bit_length(event.frame);
        }
        const int silence = silent();
        std::string log_line;
        if ((log_ != nullptr && !log_failed_) || (silence == 0 && options_.log_form))
            log_line = event.error
                           ? text::format_log_line(event.micros, channel_, event.error_frame)
                           : text::format_log_line(event.micros, channel_, event.frame);
        if (log_ != nullptr && !log_failed_ && std::fprintf(log_, "%s\n", log_line.c_str()) < 0)
            log_write_failed();
        switch (silence) {
            case 0:
                print(event, log_line);
                break;
            case 1: {
                static constexpr char kSpinner[] = "|/-\\";
                std::printf("%c\b", kSpinner[spin_++ % 4]);
                break;
            }
            default:
                break;
        }
    }

    // Shows what was written: called once per batch of events, not per line, since a saturated
    // bus would otherwise cost a write to the terminal or pipe per frame.
    void flush() { std::fflush(stdout); }

    // Flushes and closes the log; false (said on stderr) when its end could not be written.
    bool close_log() {
        if (log_ == nullptr) return !log_failed_;
        const bool flushed = std::fflush(log_) == 0 && fsync(fileno(log_)) == 0;
        const int saved = errno;
        const bool closed = std::fclose(log_) == 0;
        log_ = nullptr;
        if ((!flushed || !closed) && !log_failed_) {
            errno = saved;
            log_write_failed();
        }
        return !log_failed_;
    }

    uint64_t frames() const { return frames_; }
    uint64_t bits() const { return bits_; }
    uint32_t bit_rate() const { return bit_rate_; }

  private:
    void log_write_failed() {
        log_failed_ = true;
        std::fprintf(stderr, "%s: writing %s failed: %s; its end is lost\n", kProgram,
                     log_path_.c_str(), std::strerror(errno));
    }

    void print(const Event& event, const std::string& log_line) {
        if (options_.log_form) {
            std::printf("%s\n", log_line.c_str());
            return;
        }
        std::string line = " ";
        switch (options_.stamps) {
            case StampMode::kNone:
                break;
            case StampMode::kAbsolute:
                line += text::format_absolute_stamp(event.micros);
                break;
            case StampMode::kDate:
                line += text::format_date_stamp(event.micros);
                break;
            case StampMode::kDelta:
            case StampMode::kZero:
                if (!first_) first_ = event.micros;
                line += text::format_relative_stamp(event.micros - std::min(event.micros, *first_));
                if (options_.stamps == StampMode::kDelta) first_ = event.micros;
                break;
        }
        line += " " + channel_;
        if (options_.extra) line += "  RX - -";
        line += "  ";
        if (event.error) {
            line += text::format_columns(event.error_frame);
            if (options_.errors) line += "\n\t" + text::describe_error_frame(event.error_frame);
        } else {
            line += text::format_columns(event.frame);
        }
        std::printf("%s\n", line.c_str());
    }

    const DumpOptions& options_;
    const std::string channel_;
    const uint32_t bit_rate_;
    std::FILE* log_ = nullptr;
    std::string log_path_;
    bool log_failed_ = false;
    std::optional<uint64_t> first_;
    uint64_t frames_ = 0;
    uint64_t bits_ = 0;
    unsigned spin_ = 0;
};

// Ends a dump: -n, -T and the signals.
class DumpEnd {
  public:
    explicit DumpEnd(const DumpOptions& options) : options_(options), last_(Clock::now()) {}
    void frame() { last_ = Clock::now(); }
    bool reached(uint64_t frames) const {
        if (g_stop) return true;
        if (options_.count != 0 && frames >= options_.count) return true;
        return options_.silence_ms != 0 &&
               Clock::now() - last_ >= std::chrono::milliseconds(options_.silence_ms);
    }
    // How long a wait may last before -T ends the dump; -1 for without end.
    int wait_limit_ms() const {
        if (options_.silence_ms == 0) return -1;
        const auto left = std::chrono::milliseconds(options_.silence_ms) -
                          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - last_);
        return static_cast<int>(std::max<int64_t>(0, left.count()) + 1);
    }

  private:
    const DumpOptions& options_;
    Clock::time_point last_;
};

// The user routine's values for -e (system messages), collected on its own thread.
// A message that finds the queue full is dropped: the dump reads it every 10 ms at least.
constexpr std::size_t kSystemQueue = 256;
std::mutex g_system_mutex;
std::array<uint8_t, kSystemQueue> g_system_messages{};
std::size_t g_system_count = 0;
uint8_t g_system_slot = 0;
void collect_system_message() {
    // Static: only the user routine's thread calls this (and gcc 12 takes a local's address
    // for a dangling pointer here).
    static uint8_t type = 0;
    if (K5320_ReadUserInttType(g_system_slot, &type) != K5320_SUCCESS) return;
    std::lock_guard lock(g_system_mutex);
    if (g_system_count < kSystemQueue) g_system_messages[g_system_count++] = type;
}
std::vector<uint8_t> take_system_messages() {
    std::lock_guard lock(g_system_mutex);
    std::vector<uint8_t> taken(g_system_messages.begin(),
                               g_system_messages.begin() + static_cast<std::ptrdiff_t>(g_system_count));
    g_system_count = 0;
    return taken;
}

// The error counters into an error frame, and the warning and passive bits they imply.
void add_counters(uint8_t slot, text::ErrorFrame* error, bool warning, bool passive) {
    uint8_t rx = 0;
    uint8_t tx = 0;
    if (K5320_InputByte(slot, sja::SJA1000_RXERR, &rx) != K5320_SUCCESS ||
        K5320_InputByte(slot, sja::SJA1000_TXERR, &tx) != K5320_SUCCESS)
        return;
    constexpr uint8_t kWarningLimit = 96;
    constexpr uint8_t kPassiveLimit = 128;
    error->classes |= text::error_class::kCounters;
    error->data[6] = tx;
    error->data[7] = rx;
    if (warning) {
        if (tx >= kWarningLimit) error->data[1] |= text::controller::kTxWarning;
        if (rx >= kWarningLimit) error->data[1] |= text::controller::kRxWarning;
    }
    if (passive) {
        if (tx >= kPassiveLimit) error->data[1] |= text::controller::kTxPassive;
        if (rx >= kPassiveLimit) error->data[1] |= text::controller::kRxPassive;
    }
}

// A system message of the module as the SocketCAN error frame that says the same.
std::optional<text::ErrorFrame> error_frame_of(uint8_t slot, uint8_t message) {
    namespace ec = text::error_class;
    namespace ctl = text::controller;
    text::ErrorFrame error;
    switch (message) {
        case 0xC0:  // error warning
            error.classes = ec::kController;
            add_counters(slot, &error, true, false);
            if (error.data[1] == 0) error.data[1] = ctl::kRxWarning | ctl::kTxWarning;
            return error;
        case 0xC2:  // error passive
            error.classes = ec::kController;
            add_counters(slot, &error, false, true);
            if (error.data[1] == 0) error.data[1] = ctl::kRxPassive | ctl::kTxPassive;
            return error;
        case 0xC1:  // error warning gone
        case 0xC3:  // error active again
            error.classes = ec::kController;
            error.data[1] = ctl::kActive;
            add_counters(slot, &error, false, false);
            return error;
        case 0xC4:
            error.classes = ec::kBusOff;
            add_counters(slot, &error, false, false);
            return error;
        case 0xC5:
            error.classes = ec::kController;
            error.data[1] = ctl::kRxOverflow;
            return error;
        case 0xC6:
            error.classes = ec::kLostArbitration;  // the bit is not reported
            return error;
        default:
            return std::nullopt;  // a value of the user program, not an error
    }
}

void print_summary(const DumpOutput& output, Clock::time_point started, bool lost) {
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    const double rate = output.bit_rate();
    std::fprintf(stderr, "%" PRIu64 " frames in %.1f s (%.1f frames/s), bus load %.1f %%%s\n",
                 output.frames(), seconds, seconds > 0 ? output.frames() / seconds : 0.0,
                 seconds > 0 && rate > 0 ? 100.0 * output.bits() / (seconds * rate) : 0.0,
                 lost ? ", frames lost while the receive buffer was full" : "");
}

// Receives on a slot until the end, polling as PollPace paces it.
int dump_slot(uint8_t slot, const DumpOptions& options) {
    const uint32_t rate = options.bit_rate != 0 ? options.bit_rate : kDefaultBitRate;
    DumpOutput output(options, "k5320-" + std::to_string(slot), rate);
    if (!output.open_log()) return kExitFailure;
    if (int rc = open_channel("dump", slot, rate); rc != K5320_SUCCESS) return rc;
    catch_stop_signals();
    const bool show_errors = options.errors || options.filters.error_mask != 0;
    const uint32_t error_mask = options.errors ? text::error_class::kAll : options.filters.error_mask;
    if (show_errors) {
        g_system_slot = slot;
        int rc = K5320_InstallUserISR(slot, collect_system_message);
        if (rc == K5320_SUCCESS) rc = K5320_SetSystemMsg(slot, 1);
        if (rc != K5320_SUCCESS) {
            K5320_RemoveIrq(slot);
            return library_failure(slot, "K5320_SetSystemMsg", rc);
        }
    }
    const auto started = Clock::now();
    DumpEnd end(options);
    std::optional<int64_t> offset;  // wall clock less module stamp, in microseconds
    PollPace pace;
    uint8_t last_status = 0;
    bool status_known = false;
    bool lost = false;
    int result = K5320_SUCCESS;
    const auto now_micros = [&] {
        // Error events have no module stamp: the wall clock, or the module's clock as far as
        // the anchor tells it.
        const uint64_t wall = wall_microseconds();
        if (!options.module_time) return wall;
        return offset ? wall - static_cast<uint64_t>(*offset) : uint64_t{0};
    };
    const auto emit_error = [&](const text::ErrorFrame& error) {
        if ((error.classes & error_mask) == 0) return;
        output.write({.micros = now_micros(), .error = true, .frame = {}, .error_frame = error});
    };
    while (!end.reached(output.frames())) {
        if (show_errors) {
            for (uint8_t m : take_system_messages())
                if (auto error = error_frame_of(slot, m)) emit_error(*error);
            uint8_t status = 0;
            constexpr uint8_t kStateBits = sja::SR_BS | sja::SR_ES;
            if (K5320_Status(slot, &status) == K5320_SUCCESS) {
                if (status_known && (status & kStateBits) != (last_status & kStateBits)) {
                    text::ErrorFrame error;
                    error.classes = text::error_class::kController;
                    if (status & sja::SR_BS) error.classes |= text::error_class::kBusOff;
                    if ((status & kStateBits) == 0) error.data[1] = text::controller::kActive;
                    add_counters(slot, &error, (status & sja::SR_ES) != 0, true);
                    emit_error(error);
                }
                last_status = status;
                status_known = true;
            }
        }
        uint16_t waiting = 0;
        if (int rc = K5320_RxMsgCount(slot, &waiting); rc != K5320_SUCCESS) {
            result = library_failure(slot, "K5320_RxMsgCount", rc);
            break;
        }
        // A bank at a time (at most 64 frames), so that the anchor can take its newest frame.
        std::vector<CanMsg> batch;
        for (uint16_t i = 0; i < waiting; ++i) {
            CanMsg msg{};
            const int rc = K5320_ReceiveMsg(slot, &msg);
            if (rc == K5320_RX_DELIVERED_AFTER_OVERFLOW) {
                lost = true;  // delivered, but frames were lost before it
            } else if (rc != K5320_SUCCESS) {
                break;
            }
            batch.push_back(msg);
        }
        // The anchor: the first frames after the configuration, read just now; the newest of
        // them waited least. The module's stamps keep their spacing; the wall clock gives their
        // origin.
        if (!offset && !batch.empty())
            offset = static_cast<int64_t>(wall_microseconds()) -
                     static_cast<int64_t>(batch.back().TimeStamp * kMicrosecondsPerStampUnit);
        for (const CanMsg& msg : batch) {
            if (end.reached(output.frames())) break;
            Event event;
            event.frame.id = msg.MsgID;
            event.frame.extended = msg.Mode != 0;
            event.frame.remote = msg.RTR != 0;
            event.frame.length = can::clamp_length(msg.DataLen);
            std::memcpy(event.frame.data.data(), msg.Data, sizeof msg.Data);
            const uint64_t module_micros = msg.TimeStamp * kMicrosecondsPerStampUnit;
            event.micros = options.module_time
                               ? module_micros
                               : static_cast<uint64_t>(static_cast<int64_t>(module_micros) + *offset);
            if (!options.filters.accepts(event.frame)) continue;
            output.write(event);
            end.frame();
        }
        output.flush();
        pace.wait_after(waiting);
    }
    if (show_errors) K5320_SetSystemMsg(slot, 0);
    K5320_RemoveIrq(slot);
    print_summary(output, started, lost);
    if (!output.close_log() && result == K5320_SUCCESS) result = kExitFailure;
    return result;
}

// Receives from a bus tap until the end: blocked in the kernel while the bus is quiet.
int dump_bus(const std::string& bus, const DumpOptions& options) {
    std::string error;
    std::unique_ptr<backplane::BusTap> tap = backplane::open_bus_tap(bus, options.bit_rate, &error);
    if (tap == nullptr) return failure(error);
    DumpOutput output(options, bus, tap->bit_rate());
    if (!output.open_log()) return kExitFailure;
    catch_stop_signals();
    const bool show_errors = options.errors || options.filters.error_mask != 0;
    const uint32_t error_mask = options.errors ? text::error_class::kAll : options.filters.error_mask;
    const auto started = Clock::now();
    DumpEnd end(options);
    uint64_t lost = 0;
    int result = K5320_SUCCESS;
    std::optional<uint64_t> first_wall;
    while (!end.reached(output.frames())) {
        if (!tap->holds_events()) output.flush();
        backplane::TapEvent tapped;
        const backplane::BusTap::Read read = tap->next(&tapped, end.wait_limit_ms());
        if (read == backplane::BusTap::Read::kTimeout) continue;
        if (read == backplane::BusTap::Read::kClosed) {
            result = failure("bus " + bus + ": the backplane service went away");
            break;
        }
        lost += tapped.lost;
        Event event;
        const uint64_t wall = tapped.wall_ns / 1000;
        if (!first_wall) first_wall = wall;
        // A tap has no module: --module-time counts from the tap's first event.
        event.micros = options.module_time ? wall - *first_wall : wall;
        if (tapped.kind == backplane::TapEvent::Kind::kBusError) {
            if (!show_errors) continue;
            event.error = true;
            event.error_frame.classes = text::error_class::kProtocol | text::error_class::kBusError;
            const bool stuff = tapped.error_kind == backplane::TapEvent::ErrorKind::kStuff;
            event.error_frame.data[2] = stuff ? text::protocol::kStuff : text::protocol::kForm;
            event.error_frame.data[3] = stuff ? 0 : text::protocol::kLocationAckDelimiter;
            if ((event.error_frame.classes & error_mask) == 0) continue;
            output.write(event);
            continue;
        }
        event.frame.id = tapped.id;
        event.frame.extended = tapped.extended != 0;
        event.frame.remote = tapped.remote != 0;
        event.frame.length = can::clamp_length(tapped.length);
        std::memcpy(event.frame.data.data(), tapped.data, sizeof tapped.data);
        if (!options.filters.accepts(event.frame)) continue;
        output.write(event);
        end.frame();
    }
    print_summary(output, started, lost != 0);
    if (lost != 0)
        std::fprintf(stderr, "%s: %" PRIu64 " events of bus %s lost: the output was too slow\n",
                     kProgram, lost, bus.c_str());
    if (!output.close_log() && result == K5320_SUCCESS) result = kExitFailure;
    return result;
}

// "2", "2,123:7FF,200~700", "can0", "can0,#FFFFFFFF": a slot or a bus, and its filters.
struct Interface {
    uint8_t slot = 0;  // 0: a bus
    std::string bus;
};
bool parse_interface(std::string_view arg, Interface* iface, text::FilterSet* filters,
                     std::string* message) {
    const std::size_t comma = arg.find(',');
    const std::string_view name = arg.substr(0, comma);
    if (name.empty()) {
        *message = "a slot (1 to 7) or a bus name is needed before the filters";
        return false;
    }
    if (!parse_slot(name, &iface->slot)) {
        if (name.find_first_not_of("0123456789") == std::string_view::npos) {
            *message = std::string(name) + ": a slot is 1 to 7";
            return false;
        }
        iface->bus = std::string(name);
    }
    if (comma != std::string_view::npos) {
        text::ParseError error;
        if (!text::parse_filter_list(arg.substr(comma + 1), filters, &error)) {
            *message = std::string(arg.substr(comma + 1)) + ": " + error.message;
            return false;
        }
    }
    return true;
}

int dump_command(int argc, char** argv) {
    DumpOptions options;
    static const option kLong[] = {{"timestamp", required_argument, nullptr, 't'},
                                   {"log-format", no_argument, nullptr, 'L'},
                                   {"log", no_argument, nullptr, 'l'},
                                   {"output", required_argument, nullptr, 'o'},
                                   {"silent", required_argument, nullptr, 's'},
                                   {"count", required_argument, nullptr, 'n'},
                                   {"timeout", required_argument, nullptr, 'T'},
                                   {"errors", no_argument, nullptr, 'e'},
                                   {"extra", no_argument, nullptr, 'x'},
                                   {"bitrate", required_argument, nullptr, 'b'},
                                   {"filter", required_argument, nullptr, 'f'},
                                   {"module-time", no_argument, nullptr, kOptionModuleTime},
                                   {"help", no_argument, nullptr, 'h'},
                                   {}};
    const auto handle = [&](int option, const char* value) -> int {
        text::ParseError error;
        switch (option) {
            case 't':
                if (std::string_view(value) == "a") options.stamps = StampMode::kAbsolute;
                else if (std::string_view(value) == "d") options.stamps = StampMode::kDelta;
                else if (std::string_view(value) == "z") options.stamps = StampMode::kZero;
                else if (std::string_view(value) == "A") options.stamps = StampMode::kDate;
                else if (std::strspn(value, "0123456789") == std::strlen(value))
                    return usage_error("dump", std::string("-t ") + value +
                                                   ": -t is candump's time-stamp type now (a, d, "
                                                   "z or A); -T MS ends after a silence");
                else
                    return usage_error("dump", std::string("-t ") + value +
                                                   ": the time-stamp type is a, d, z or A");
                return 0;
            case 'L': options.log_form = true; return 0;
            case 'l': options.log_named = true; return 0;
            case 'o': options.log_file = value; return 0;
            case 's':
                if (std::string_view(value) != "0" && std::string_view(value) != "1" &&
                    std::string_view(value) != "2")
                    return usage_error("dump", std::string("-s ") + value + ": silent is 0, 1 or 2");
                options.silent = value[0] - '0';
                return 0;
            case 'n':
                if (!parse_count(value, &options.count))
                    return usage_error("dump", std::string(value) + ": a count is a whole number");
                return 0;
            case 'T':
                if (!parse_count(value, &options.silence_ms))
                    return usage_error("dump",
                                       std::string(value) + ": -T takes whole milliseconds");
                return 0;
            case 'e': options.errors = true; return 0;
            case 'x': options.extra = true; return 0;
            case 'b': {
                int rc = 0;
                return parse_rate_option("dump", value, &options.bit_rate, &rc) ? 0 : rc;
            }
            case 'f': {
                text::Filter filter;
                if (!text::parse_filter(value, &filter, &error))
                    return usage_error("dump", std::string(value) + ": " + error.message);
                options.filters.filters.push_back(filter);
                return 0;
            }
            case kOptionModuleTime: options.module_time = true; return 0;
            default: return usage_error("dump", "unknown option");
        }
    };
    std::vector<std::string> rest;
    if (int rc = parse_options(argc, argv, "t:Llo:s:n:T:exb:f:", kLong, handle, &rest); rc >= 0)
        return rc;
    if (rest.empty()) return usage_error("dump", "dump needs a slot (1 to 7) or a bus name");
    if (rest.size() > 1) {
        if (options.log_named)
            return usage_error("dump", "-l names its own file (candump-<date>_<time>.log) as "
                                       "candump does; -o " + rest[1] + " logs to a file you name");
        return usage_error("dump", "dump takes one slot or bus (and its filters): " + rest[1] +
                                       " is one too many");
    }
    if (options.log_named && !options.log_file.empty())
        return usage_error("dump", "-l and -o both name the log: take one");
    Interface iface;
    std::string message;
    if (!parse_interface(rest[0], &iface, &options.filters, &message))
        return usage_error("dump", message);
    return iface.slot != 0 ? dump_slot(iface.slot, options) : dump_bus(iface.bus, options);
}

// --- send -----------------------------------------------------------------------------------------

int send_command(int argc, char** argv) {
    uint32_t rate = kDefaultBitRate;
    static const option kLong[] = {{"bitrate", required_argument, nullptr, 'b'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {}};
    std::vector<std::string> rest;
    const auto handle = [&](int option, const char* value) -> int {
        int rc = 0;
        if (option == 'b') return parse_rate_option("send", value, &rate, &rc) ? 0 : rc;
        return usage_error("send", "unknown option");
    };
    if (int rc = parse_options(argc, argv, "b:", kLong, handle, &rest); rc >= 0) return rc;
    uint8_t slot = 0;
    if (rest.empty() || !parse_slot(rest[0], &slot)) return usage_error("send", "a slot is 1 to 7");
    if (rest.size() < 2) return usage_error("send", "send needs at least one frame");
    std::vector<can::Frame> frames;
    std::string message;
    if (!parse_frames(rest, 1, &frames, &message)) return usage_error("send", message);
    if (int rc = open_channel("send", slot, rate); rc != K5320_SUCCESS) return rc;
    catch_stop_signals();
    Sender sender(slot, rate);
    int result = K5320_SUCCESS;
    for (const can::Frame& f : frames) {
        if (g_stop || (result = sender.send(f)) != K5320_SUCCESS) break;
    }
    if (result == K5320_SUCCESS) result = sender.drain();
    K5320_RemoveIrq(slot);
    return result;
}

// --- play -------------------------------------------------------------------------------------------

int play_command(int argc, char** argv) {
    uint32_t rate = kDefaultBitRate;
    std::string input;
    uint64_t loops = 1;  // 0: without end
    bool ignore_stamps = false;
    double gap_ms = 1;
    std::optional<double> skip_seconds;
    bool verbose = false;
    static const option kLong[] = {{"bitrate", required_argument, nullptr, 'b'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {}};
    const auto handle = [&](int option, const char* value) -> int {
        int rc = 0;
        switch (option) {
            case 'b': return parse_rate_option("play", value, &rate, &rc) ? 0 : rc;
            case 'I': input = value; return 0;
            case 'l':
                if (std::string_view(value) == "i") loops = 0;
                else if (!parse_count(value, &loops) || loops == 0)
                    return usage_error("play", std::string(value) + ": -l takes a count or i");
                return 0;
            case 't': ignore_stamps = true; return 0;
            case 'g':
                if (!parse_milliseconds(value, &gap_ms))
                    return usage_error("play", std::string(value) + ": a gap is milliseconds");
                return 0;
            case 's': {
                double s = 0;
                if (!parse_milliseconds(value, &s))
                    return usage_error("play", std::string(value) + ": -s takes seconds");
                skip_seconds = s;
                return 0;
            }
            case 'v': verbose = true; return 0;
            default: return usage_error("play", "unknown option");
        }
    };
    std::vector<std::string> rest;
    if (int rc = parse_options(argc, argv, "b:I:l:tg:s:v", kLong, handle, &rest); rc >= 0)
        return rc;
    if (rest.size() != 1) return usage_error("play", "play takes one SLOT[=CHANNEL]");
    const std::size_t equals = rest[0].find('=');
    uint8_t slot = 0;
    if (!parse_slot(std::string_view(rest[0]).substr(0, equals), &slot))
        return usage_error("play", "a slot is 1 to 7");
    const std::string channel = equals == std::string::npos ? "" : rest[0].substr(equals + 1);

    // The log is read whole first: a loop plays it again, and a slow disk must not stretch gaps.
    std::vector<text::LogLine> lines;
    {
        std::FILE* file = input.empty() ? stdin : std::fopen(input.c_str(), "r");
        if (file == nullptr) return failure("cannot open " + input + ": " + std::strerror(errno));
        char buffer[512];
        int number = 0;
        while (std::fgets(buffer, sizeof buffer, file) != nullptr) {
            ++number;
            // As canplayer: lines that do not start with a stamp are comments.
            if (buffer[0] != '(') continue;
            text::LogLine line;
            text::ParseError error;
            if (!text::parse_log_line(buffer, &line, &error)) {
                if (file != stdin) std::fclose(file);
                return failure((input.empty() ? std::string("stdin") : input) + ": line " +
                               std::to_string(number) + ": " + error.message);
            }
            if (line.error || (!channel.empty() && line.channel != channel)) continue;
            lines.push_back(std::move(line));
        }
        if (file != stdin) std::fclose(file);
    }
    if (int rc = open_channel("play", slot, rate); rc != K5320_SUCCESS) return rc;
    catch_stop_signals();
    Sender sender(slot, rate);
    int result = K5320_SUCCESS;
    const std::string name = "k5320-" + std::to_string(slot);
    for (uint64_t round = 0; (loops == 0 || round < loops) && !g_stop && result == 0; ++round) {
        auto due = Clock::now();
        for (std::size_t i = 0; i < lines.size() && !g_stop; ++i) {
            if (i > 0) {
                std::chrono::microseconds gap{0};
                if (ignore_stamps) {
                    gap = std::chrono::microseconds(static_cast<int64_t>(gap_ms * 1000));
                } else if (lines[i].microseconds > lines[i - 1].microseconds) {
                    gap = std::chrono::microseconds(lines[i].microseconds -
                                                    lines[i - 1].microseconds);
                    if (skip_seconds && gap > std::chrono::microseconds(
                                                  static_cast<int64_t>(*skip_seconds * 1e6)))
                        gap = {};
                }
                // Each frame is due at its time from the first: late wake-ups do not add up.
                due += gap;
                std::this_thread::sleep_until(due);
            }
            if ((result = sender.send(lines[i].frame)) != K5320_SUCCESS) break;
            if (verbose)
                std::printf(" %s  %s\n", name.c_str(), text::format_columns(lines[i].frame).c_str());
        }
    }
    if (result == K5320_SUCCESS) result = sender.drain();
    K5320_RemoveIrq(slot);
    return result;
}

// --- gen ---------------------------------------------------------------------------------------------

struct GenMode {
    enum Kind { kRandom, kIncrement, kFixed } kind = kRandom;
    uint32_t value = 0;
    std::string bytes;
};

bool parse_gen_mode(std::string_view text_value, GenMode* mode, bool data) {
    if (text_value == "r") {
        mode->kind = GenMode::kRandom;
        return true;
    }
    if (text_value == "i") {
        mode->kind = GenMode::kIncrement;
        return true;
    }
    mode->kind = GenMode::kFixed;
    text::ParseError error;
    if (data) return text::parse_hex_bytes(text_value, &mode->bytes, &error) &&
                     mode->bytes.size() <= can::kMaxDataLength;
    char* end = nullptr;
    const std::string s(text_value);
    errno = 0;
    const unsigned long v = std::strtoul(s.c_str(), &end, 16);
    if (s.empty() || *end != '\0' || errno != 0 || v > can::kExtendedIdMask) return false;
    mode->value = static_cast<uint32_t>(v);
    return true;
}

int gen_command(int argc, char** argv) {
    uint32_t rate = kDefaultBitRate;
    double gap_ms = 200;
    bool extended = false;
    bool remote = false;
    bool mix = false;
    GenMode ids;
    GenMode lengths;
    GenMode data;
    uint64_t count = 0;
    bool verbose = false;
    static const option kLong[] = {{"bitrate", required_argument, nullptr, 'b'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {}};
    const auto handle = [&](int option, const char* value) -> int {
        int rc = 0;
        switch (option) {
            case 'b': return parse_rate_option("gen", value, &rate, &rc) ? 0 : rc;
            case 'g':
                if (!parse_milliseconds(value, &gap_ms))
                    return usage_error("gen", std::string(value) + ": a gap is milliseconds");
                return 0;
            case 'e': extended = true; return 0;
            case 'R': remote = true; return 0;
            case 'm': mix = true; return 0;
            case 'I':
                if (!parse_gen_mode(value, &ids, false))
                    return usage_error("gen", std::string(value) + ": -I takes r, i or a hex id");
                return 0;
            case 'L':
                if (std::string_view(value) == "r" || std::string_view(value) == "i") {
                    parse_gen_mode(value, &lengths, false);
                } else {
                    uint64_t n = 0;
                    if (!parse_count(value, &n) || n > can::kMaxDataLength)
                        return usage_error("gen", std::string(value) + ": -L takes r, i or 0..8");
                    lengths.kind = GenMode::kFixed;
                    lengths.value = static_cast<uint32_t>(n);
                }
                return 0;
            case 'D':
                if (!parse_gen_mode(value, &data, true))
                    return usage_error("gen", std::string(value) +
                                                  ": -D takes r, i or up to 8 hex bytes");
                return 0;
            case 'n':
                if (!parse_count(value, &count))
                    return usage_error("gen", std::string(value) + ": a count is a whole number");
                return 0;
            case 'v': verbose = true; return 0;
            default: return usage_error("gen", "unknown option");
        }
    };
    std::vector<std::string> rest;
    if (int rc = parse_options(argc, argv, "b:g:eRmI:L:D:n:v", kLong, handle, &rest); rc >= 0)
        return rc;
    uint8_t slot = 0;
    if (rest.size() != 1 || !parse_slot(rest[0], &slot)) return usage_error("gen", "gen takes one slot (1 to 7)");
    if (ids.kind == GenMode::kFixed && !extended && !mix && ids.value > can::kStandardIdMask)
        extended = true;  // as cangen: an id above 7FF is an extended one
    if (data.kind == GenMode::kFixed && lengths.kind == GenMode::kRandom) {
        lengths.kind = GenMode::kFixed;
        lengths.value = static_cast<uint32_t>(data.bytes.size());
    }
    if (int rc = open_channel("gen", slot, rate); rc != K5320_SUCCESS) return rc;
    catch_stop_signals();
    Sender sender(slot, rate);
    std::mt19937_64 random(std::random_device{}());
    uint32_t next_id = 0;
    uint8_t next_length = 0;
    uint64_t counter = 0;
    const auto gap = std::chrono::microseconds(static_cast<int64_t>(gap_ms * 1000));
    const std::string name = "k5320-" + std::to_string(slot);
    int result = K5320_SUCCESS;
    auto due = Clock::now();
    for (uint64_t n = 0; (count == 0 || n < count) && !g_stop; ++n) {
        can::Frame f;
        f.extended = mix ? (random() & 1) != 0 : extended;
        f.remote = mix ? (random() % 4) == 0 : remote;
        const uint32_t id_mask = f.extended ? can::kExtendedIdMask : can::kStandardIdMask;
        switch (ids.kind) {
            case GenMode::kRandom: f.id = static_cast<uint32_t>(random()) & id_mask; break;
            case GenMode::kIncrement: f.id = next_id++ & id_mask; break;
            case GenMode::kFixed: f.id = ids.value & id_mask; break;
        }
        switch (lengths.kind) {
            case GenMode::kRandom: f.length = static_cast<uint8_t>(random() % 9); break;
            case GenMode::kIncrement: f.length = next_length++ % 9; break;
            case GenMode::kFixed: f.length = static_cast<uint8_t>(lengths.value); break;
        }
        switch (data.kind) {
            case GenMode::kRandom: {
                const uint64_t r = random();
                for (int i = 0; i < can::kMaxDataLength; ++i) f.data[i] = static_cast<uint8_t>(r >> (8 * i));
                break;
            }
            case GenMode::kIncrement:
                // As cangen: a counter in the bytes, least significant first, at least one.
                if (f.length == 0 && !f.remote) f.length = 1;
                ++counter;
                for (int i = 0; i < can::kMaxDataLength; ++i) f.data[i] = static_cast<uint8_t>(counter >> (8 * i));
                break;
            case GenMode::kFixed:
                std::memcpy(f.data.data(), data.bytes.data(), data.bytes.size());
                break;
        }
        if (f.remote) f.data = {};
        for (uint8_t i = f.remote ? 0 : f.length; i < can::kMaxDataLength; ++i) f.data[i] = 0;
        if ((result = sender.send(f)) != K5320_SUCCESS) break;
        if (verbose) std::printf(" %s  %s\n", name.c_str(), text::format_columns(f).c_str());
        if (gap.count() > 0) {
            due += gap;
            std::this_thread::sleep_until(due);
        }
    }
    if (result == K5320_SUCCESS) result = sender.drain();
    K5320_RemoveIrq(slot);
    return result;
}

// --- busload -----------------------------------------------------------------------------------------

// The counts of one interface, added to by its receiving thread, taken each second.
struct LoadCounter {
    std::string name;
    uint32_t bit_rate = 0;
    uint8_t slot = 0;
    std::unique_ptr<backplane::BusTap> tap;
    std::atomic<int> failed{0};  // a library result that ended the thread

    struct Totals {
        uint64_t frames = 0;
        uint64_t bits = 0;
        uint64_t payload_bits = 0;
    };
    // Counted by the tap's thread, taken by the printer: one lock, so that a line's frames, bits
    // and payload always describe the same frames.
    void add(const can::Frame& frame) {
        const unsigned frame_bits = can::frame_bit_length(frame);
        std::lock_guard lock(mutex_);
        ++totals_.frames;
        totals_.bits += frame_bits;
        totals_.payload_bits += frame.remote ? 0u : 8u * frame.length;
    }
    Totals take() {
        std::lock_guard lock(mutex_);
        return std::exchange(totals_, Totals{});
    }

  private:
    std::mutex mutex_;
    Totals totals_;
};

void count_tap(LoadCounter& counter, const std::atomic<bool>& stop) {
    while (!stop.load()) {
        backplane::TapEvent event;
        const auto read = counter.tap->next(&event, 100);
        if (read == backplane::BusTap::Read::kClosed) {
            counter.failed = kExitFailure;
            return;
        }
        if (read != backplane::BusTap::Read::kEvent ||
            event.kind != backplane::TapEvent::Kind::kFrame)
            continue;
        can::Frame frame;
        frame.id = event.id;
        frame.extended = event.extended != 0;
        frame.remote = event.remote != 0;
        frame.length = can::clamp_length(event.length);
        std::memcpy(frame.data.data(), event.data, sizeof event.data);
        counter.add(frame);
    }
}

void count_slot(LoadCounter& counter, const std::atomic<bool>& stop) {
    PollPace pace;
    while (!stop.load()) {
        uint16_t waiting = 0;
        if (int rc = K5320_RxMsgCount(counter.slot, &waiting); rc != K5320_SUCCESS) {
            counter.failed = rc;
            return;
        }
        for (uint16_t i = 0; i < waiting; ++i) {
            CanMsg msg{};
            const int rc = K5320_ReceiveMsg(counter.slot, &msg);
            if (rc != K5320_SUCCESS && rc != K5320_RX_DELIVERED_AFTER_OVERFLOW) break;
            can::Frame frame;
            frame.id = msg.MsgID;
            frame.extended = msg.Mode != 0;
            frame.remote = msg.RTR != 0;
            frame.length = can::clamp_length(msg.DataLen);
            std::memcpy(frame.data.data(), msg.Data, sizeof msg.Data);
            counter.add(frame);
        }
        pace.wait_after(waiting);
    }
}

int busload_command(int argc, char** argv) {
    bool show_time = false;
    bool redraw = false;
    uint64_t seconds = 0;
    static const option kLong[] = {{"help", no_argument, nullptr, 'h'}, {}};
    const auto handle = [&](int option, const char* value) -> int {
        switch (option) {
            case 't': show_time = true; return 0;
            case 'r': redraw = true; return 0;
            case 'b': return 0;  // canbusload's bar: always drawn
            case 'e': return 0;  // canbusload's exact count: always
            case 'n':
                if (!parse_count(value, &seconds) || seconds == 0)
                    return usage_error("busload", std::string(value) + ": -n takes seconds");
                return 0;
            default: return usage_error("busload", "unknown option");
        }
    };
    std::vector<std::string> rest;
    if (int rc = parse_options(argc, argv, "trben:", kLong, handle, &rest); rc >= 0) return rc;
    if (rest.empty()) return usage_error("busload", "busload needs at least one IF@RATE");
    std::vector<std::unique_ptr<LoadCounter>> counters;
    for (const std::string& arg : rest) {
        auto counter = std::make_unique<LoadCounter>();
        const std::size_t at = arg.find('@');
        counter->name = arg.substr(0, at);
        if (at != std::string::npos) {
            int rc = 0;
            if (!parse_rate_option("busload", arg.c_str() + at + 1, &counter->bit_rate, &rc))
                return rc;
        }
        if (parse_slot(counter->name, &counter->slot)) {
            if (at == std::string::npos)
                return usage_error("busload", arg + ": a slot needs its rate (" + arg + "@125000)");
            counter->name = "k5320-" + counter->name;
        }
        counters.push_back(std::move(counter));
    }
    for (auto& counter : counters) {
        if (counter->slot != 0) {
            if (int rc = open_channel("busload", counter->slot, counter->bit_rate); rc != 0)
                return rc;
            continue;
        }
        std::string error;
        counter->tap = backplane::open_bus_tap(counter->name, counter->bit_rate, &error);
        if (counter->tap == nullptr) return failure(error);
        counter->bit_rate = counter->tap->bit_rate();
    }
    catch_stop_signals();
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (auto& counter : counters) {
        LoadCounter& c = *counter;
        threads.emplace_back([&c, &stop] { c.slot != 0 ? count_slot(c, stop) : count_tap(c, stop); });
    }
    std::size_t width = 0;
    for (const auto& counter : counters) width = std::max(width, counter->name.size());
    int result = K5320_SUCCESS;
    auto next = Clock::now() + 1s;
    for (uint64_t shown = 0; !g_stop && (seconds == 0 || shown < seconds);) {
        std::this_thread::sleep_until(std::min(next, Clock::now() + 100ms));
        if (Clock::now() < next) continue;
        next += 1s;
        ++shown;
        if (redraw) std::printf("\033[H\033[2J");
        if (show_time) {
            char stamp[32];
            const std::time_t now = std::time(nullptr);
            std::tm local{};
            localtime_r(&now, &local);
            std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
            std::printf("\nk5320 busload %s (exact bitstuffing)\n", stamp);
        }
        for (auto& counter : counters) {
            std::string name = counter->name;
            name.insert(0, width - name.size(), ' ');
            const LoadCounter::Totals totals = counter->take();
            std::printf("%s\n", text::format_busload_line(name, counter->bit_rate, totals.frames,
                                                          totals.bits, totals.payload_bits, true)
                                    .c_str());
            if (int failed = counter->failed.load(); failed != 0 && result == 0) result = failed;
        }
        if (!show_time && counters.size() > 1 && !redraw) std::printf("\n");
        std::fflush(stdout);
        if (result != 0) break;
    }
    stop = true;
    for (std::thread& t : threads) t.join();
    for (auto& counter : counters)
        if (counter->slot != 0) K5320_RemoveIrq(counter->slot);
    if (result != 0) {
        for (auto& counter : counters)
            if (counter->failed != 0 && counter->slot != 0)
                return library_failure(counter->slot, "K5320_RxMsgCount", counter->failed);
        return failure("a bus tap ended: the backplane service went away");
    }
    return K5320_SUCCESS;
}

// --- status, cyclic, mailbox ------------------------------------------------------------------

// Commands that take a slot and words, with no options of their own but --help.
int slot_and_words(int argc, char** argv, uint8_t* slot, std::vector<std::string>* words) {
    static const option kLong[] = {{"help", no_argument, nullptr, 'h'}, {}};
    std::vector<std::string> rest;
    // '+': stop at the first word, so that words like -1 are not options.
    if (int rc = parse_options(argc, argv, "+", kLong, [](int, const char*) { return 0; }, &rest);
        rc >= 0)
        return rc;
    if (rest.empty() || !parse_slot(rest[0], slot)) return usage_error(argv[0], "a slot is 1 to 7");
    words->assign(rest.begin() + 1, rest.end());
    return -1;
}

int status_command(int argc, char** argv) {
    uint8_t slot = 0;
    std::vector<std::string> words;
    if (int rc = slot_and_words(argc, argv, &slot, &words); rc >= 0) return rc;
    if (!words.empty()) return usage_error("status", "status takes a slot only");
    if (int rc = K5320_Init(slot); rc != K5320_SUCCESS) return library_failure(slot, "K5320_Init", rc);
    if (uint8_t mode = 1; K5320_Check186Mode(slot, &mode) == K5320_SUCCESS && mode == 0) {
        K5320_RemoveIrq(slot);
        return failure("slot " + std::to_string(slot) + ": " + kNoFirmware);
    }
    uint8_t value = 0;
    int rc = K5320_Status(slot, &value);
    if (rc != K5320_SUCCESS) {
        K5320_RemoveIrq(slot);
        return library_failure(slot, "K5320_Status", rc);
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
    return rc == K5320_SUCCESS ? K5320_SUCCESS : library_failure(slot, "K5320_InputByte", rc);
}

int cyclic_command(int argc, char** argv) {
    uint32_t rate = kDefaultBitRate;
    uint64_t every_ms = 0;
    uint64_t count = 0;
    static const option kLong[] = {{"bitrate", required_argument, nullptr, 'b'},
                                   {"every", required_argument, nullptr, kOptionEvery},
                                   {"count", required_argument, nullptr, kOptionCount},
                                   {"help", no_argument, nullptr, 'h'},
                                   {}};
    const auto handle = [&](int option, const char* value) -> int {
        int rc = 0;
        switch (option) {
            case 'b': return parse_rate_option("cyclic", value, &rate, &rc) ? 0 : rc;
            case kOptionEvery:
                if (!parse_count(value, &every_ms) || every_ms == 0)
                    return usage_error("cyclic", std::string(value) +
                                                     ": --every takes milliseconds above 0");
                return 0;
            case 'n':
            case kOptionCount:
                if (!parse_count(value, &count))
                    return usage_error("cyclic", std::string(value) + ": a count is a whole number");
                return 0;
            default: return usage_error("cyclic", "unknown option");
        }
    };
    std::vector<std::string> rest;
    if (int rc = parse_options(argc, argv, "b:n:", kLong, handle, &rest); rc >= 0) return rc;
    uint8_t slot = 0;
    if (rest.empty() || !parse_slot(rest[0], &slot)) return usage_error("cyclic", "a slot is 1 to 7");
    if (rest.size() != 2) return usage_error("cyclic", "cyclic takes one frame");
    if (every_ms == 0) return usage_error("cyclic", "cyclic needs --every MS");
    if (every_ms > UINT32_MAX || count > UINT32_MAX)
        return usage_error("cyclic", "--every and --count take at most 4294967295");
    std::vector<can::Frame> frames;
    std::string message;
    if (!parse_frames(rest, 1, &frames, &message)) return usage_error("cyclic", message);
    if (int rc = open_channel("cyclic", slot, rate); rc != K5320_SUCCESS) return rc;
    catch_stop_signals();
    const can::Frame& f = frames.front();
    uint8_t handle_id = 0xFF;
    int rc = K5320_AddCyclicTxMsg(slot, f.extended, f.id, f.remote, f.length, f.data.data(),
                                  static_cast<uint32_t>(every_ms), static_cast<uint32_t>(count),
                                  &handle_id);
    if (rc != K5320_SUCCESS) {
        K5320_RemoveIrq(slot);
        return library_failure(slot, "K5320_AddCyclicTxMsg", rc);
    }
    // The module sends on its own clock; this stays until the count is used up, since the
    // channel belongs to this process.
    uint32_t left = 1;
    while (!g_stop && (count == 0 || left != 0)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(every_ms));
        if (count != 0 && (rc = K5320_CheckCyclicTxRestMsg(slot, handle_id, &left)) != 0) break;
    }
    K5320_DeleteCyclicTxMsg(slot, handle_id);
    K5320_RemoveIrq(slot);
    return rc == K5320_SUCCESS ? K5320_SUCCESS
                               : library_failure(slot, "K5320_CheckCyclicTxRestMsg", rc);
}

int mailbox_command(int argc, char** argv) {
    uint8_t slot = 0;
    std::vector<std::string> hex;
    if (int rc = slot_and_words(argc, argv, &slot, &hex); rc >= 0) return rc;
    std::string bytes;
    for (const std::string& h : hex) {
        std::string part;
        text::ParseError error;
        if (!text::parse_hex_bytes(h, &part, &error))
            return usage_error("mailbox", h + ": " + error.message);
        bytes += part;
    }
    if (bytes.empty() || bytes.size() > k5320::dpram::kCmdRecordMax)
        return usage_error("mailbox", "a command record is 1 to 512 bytes");
    if (int rc = K5320_Init(slot); rc != K5320_SUCCESS) return library_failure(slot, "K5320_Init", rc);
    std::array<uint8_t, k5320::dpram::kCmdRecordMax> answer{};
    uint16_t length = 0;
    const int rc = K5320_SendReceiveCmd(slot, 1, reinterpret_cast<const uint8_t*>(bytes.data()),
                                        static_cast<uint16_t>(bytes.size()), answer.data(), &length,
                                        kMailboxTimeoutMs);
    K5320_RemoveIrq(slot);
    if (rc != K5320_SUCCESS) return library_failure(slot, "K5320_SendReceiveCmd", rc);
    for (uint16_t i = 0; i < length && i < answer.size(); ++i)
        std::printf("%s%02X", i ? " " : "", answer[i]);
    std::printf("\n");
    return K5320_SUCCESS;
}

// --- flash ------------------------------------------------------------------------------------------

// SIGINT and SIGTERM held back for the whole download (every thread inherits the mask: it is
// set before the library starts any), and looked at between blocks only.
class HeldStopSignals {
  public:
    HeldStopSignals() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set_, &old_);
    }
    ~HeldStopSignals() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
    HeldStopSignals(const HeldStopSignals&) = delete;
    HeldStopSignals& operator=(const HeldStopSignals&) = delete;

    // Whether a stop signal has come (taken, so it does not end the process afterwards).
    bool arrived() {
        if (signal_ != 0) return true;
        const timespec now{0, 0};
        const int signal = sigtimedwait(&set_, nullptr, &now);
        if (signal > 0) signal_ = signal;
        return signal_ != 0;
    }

  private:
    sigset_t set_;
    sigset_t old_;
    int signal_ = 0;
};

// The download's progress: a bar drawn in place on a terminal, a line per block otherwise.
class TerminalProgress final : public k5320::update::DownloadProgress {
  public:
    explicit TerminalProgress(HeldStopSignals& signals)
        : signals_(signals), tty_(isatty(STDOUT_FILENO)) {}
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
    bool stop_requested() override { return signals_.arrived(); }

  private:
    HeldStopSignals& signals_;
    bool tty_;
    int count_ = 0;
};

// The utility's firmware update on a terminal: the record the module holds, the download, the
// record it holds afterwards. The module's firmware is started again unless a download step
// failed or the download was stopped (the module then waits in its loader for another flash).
int flash_command(int argc, char** argv) {
    uint8_t slot = 0;
    std::vector<std::string> words;
    if (int rc = slot_and_words(argc, argv, &slot, &words); rc >= 0) return rc;
    if (words.size() != 1) return usage_error("flash", "flash takes one file");
    const std::string& file = words.front();
    namespace update = k5320::update;
    HeldStopSignals signals;  // before the library starts its threads
    update::CApiLoader loader;
    update::UpdateSystem& system = update::system_update_services();
    const update::OpenOutcome opened = update::open_loader(loader, slot);
    if (opened.step != update::OpenStep::kOpened) {
        if (opened.step == update::OpenStep::kLoadInitFailed) K5320_RemoveIrq(slot);
        if (opened.step == update::OpenStep::kInitFailed)
            return library_failure(slot, "K5320_Init", opened.result);
        std::fprintf(stderr, "%s: %s\n", kProgram, update::open_failure_text(opened).c_str());
        return library_failure(slot, "K5320_Load_Init", opened.result);
    }
    if (FirmwareInfo held{}; loader.get_firmware_info(slot, held) == K5320_SUCCESS)
        std::printf("module holds %s\n", record_text(held).c_str());

    std::variant<update::FirmwareImage, update::UpdateOutcome> image =
        update::read_firmware_image(system, loader, file);
    update::UpdateOutcome outcome;
    bool untouched = false;  // stopped before the old firmware was deleted
    if (const auto* refused = std::get_if<update::UpdateOutcome>(&image)) {
        outcome = *refused;
    } else if (signals.arrived()) {
        outcome = update::UpdateOutcome::kStopped;
        untouched = true;
    } else {
        TerminalProgress progress(signals);
        const update::DownloadResult result = update::download_firmware(
            loader, system, slot, std::move(std::get<update::FirmwareImage>(image)), progress);
        outcome = result.outcome;
        if (result.stored) std::printf("module holds %s\n", record_text(*result.stored).c_str());
    }
    update::close_loader(loader, slot, !untouched && update::download_step_failed(outcome));
    if (outcome == update::UpdateOutcome::kDownloaded) {
        std::printf("%s\n", update::outcome_text(outcome, file).c_str());
        return K5320_SUCCESS;
    }
    if (outcome == update::UpdateOutcome::kStopped) {
        return failure(untouched ? "stopped before the download: the module keeps its firmware"
                                 : "stopped between two blocks: module left in its loader: run "
                                   "k5320 flash again");
    }
    std::fprintf(stderr, "%s: %s\n", kProgram, update::outcome_text(outcome, file).c_str());
    if (update::download_step_failed(outcome))
        std::fprintf(stderr, "%s: module left in its loader: run k5320 flash again\n", kProgram);
    return kExitFailure;
}

// --- fault ------------------------------------------------------------------------------------------

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

// A fault on a bus's wire: `words` after the bus's name.
int bus_fault_command(const std::string& bus, const std::vector<std::string>& words) {
    if (bus.empty() || bus.size() >= backplane::kBusNameCapacity)
        return usage_error("fault", "a slot is 1 to 7, a bus is named by 1..15 characters");
    if (words.empty())
        return usage_error("fault",
                           "a bus fault is stuck-dominant, bit-errors, disconnect, connect or clear");
    FaultRequest request{FaultKind::kBusClear, 0, 0, 0, {}};
    std::memcpy(request.bus, bus.data(), bus.size());
    const std::string& name = words.front();
    uint64_t number = 0;
    constexpr uint64_t kAllPercent = 100;
    if (name == "stuck-dominant" && words.size() == 1) {
        request.kind = FaultKind::kBusStuckDominant;
        request.value = kFaultOn;
    } else if (name == "bit-errors" && (words.size() == 2 || words.size() == 3)) {
        request.kind = FaultKind::kBusBitErrors;
        if (!parse_count(words[1].c_str(), &number) || number > kAllPercent)
            return usage_error("fault", words[1] + ": a share is 0..100 percent");
        request.value = static_cast<int32_t>(number);
        if (words.size() == 3) {
            if (!parse_count(words[2].c_str(), &number) || number > UINT32_MAX)
                return usage_error("fault", words[2] + ": a seed is 0..4294967295");
            request.command = static_cast<uint32_t>(number);
        }
    } else if ((name == "disconnect" || name == "connect") && words.size() == 2) {
        uint8_t slot = 0;
        if (!parse_slot(words[1], &slot)) return usage_error("fault", "a slot is 1 to 7");
        request.kind = FaultKind::kBusDisconnect;
        request.slot = slot;
        request.value = name == "disconnect" ? kFaultOn : 0;
    } else if (name == "clear" && words.size() == 1) {
        request.kind = FaultKind::kBusClear;
    } else {
        return usage_error("fault", "unknown bus fault or wrong arguments: " + name);
    }
    if (!backplane::inject_fault(request))
        return failure("bus " + bus + ": the fault was not taken (no such bus, or the slot is not "
                       "wired to it)");
    return K5320_SUCCESS;
}

int fault_command(int argc, char** argv) {
    static const option kLong[] = {{"help", no_argument, nullptr, 'h'}, {}};
    std::vector<std::string> rest;
    if (int rc = parse_options(argc, argv, "+", kLong, [](int, const char*) { return 0; }, &rest);
        rc >= 0)
        return rc;
    if (rest.empty()) return usage_error("fault", "fault needs a slot or a bus");
    uint8_t slot = 0;
    if (!parse_slot(rest[0], &slot))
        return bus_fault_command(rest[0], std::vector<std::string>(rest.begin() + 1, rest.end()));
    const std::vector<std::string> words(rest.begin() + 1, rest.end());
    if (words.empty())
        return usage_error("fault",
                           "fault needs a fault: silence drop answer repeats stray "
                           "lose freeze-status flash-fail seen clear");
    const FaultForm* form = nullptr;
    for (const FaultForm& f : kFaultForms)
        if (words.front() == f.name) form = &f;
    if (form == nullptr) return usage_error("fault", "unknown fault " + words.front());
    const size_t expected = 1 + (form->takes_command ? 1 : 0) + (form->takes_value ? 1 : 0);
    if (words.size() != expected)
        return usage_error("fault", words.front() + ": wrong number of arguments");

    FaultRequest request{form->kind, slot, 0, form->fixed_value, {}};
    size_t next = 1;
    int32_t command = 0;
    if (form->takes_command && !parse_fault_byte(words[next++], &command))
        return usage_error("fault", words[next - 1] + ": a command is a byte (0..255 or 0x00..0xFF)");
    request.command = static_cast<uint32_t>(command);
    if (form->takes_value) {
        const std::string& arg = words[next];
        uint64_t count = 0;
        // lose counts answers; the others take a byte.
        const bool ok = form->kind == FaultKind::kLoseInterrupts
                            ? parse_count(arg.c_str(), &count) && count <= INT32_MAX
                            : parse_fault_byte(arg, &request.value);
        if (!ok) return usage_error("fault", arg + ": not a valid value for " + words.front());
        if (form->kind == FaultKind::kLoseInterrupts) request.value = static_cast<int32_t>(count);
    }
    const std::optional<uint64_t> result = backplane::inject_fault(request);
    if (!result)
        return failure("slot " + std::to_string(slot) +
                       ": no module took the fault (an empty slot?)");
    if (form->kind == FaultKind::kCommandsSeen) std::printf("%" PRIu64 "\n", *result);
    return K5320_SUCCESS;
}

// --- main -------------------------------------------------------------------------------------------

struct Command {
    const char* name;
    int (*run)(int argc, char** argv);
};

constexpr Command kCommands[] = {
    {"list", list_command},       {"dump", dump_command},       {"send", send_command},
    {"play", play_command},       {"gen", gen_command},         {"busload", busload_command},
    {"status", status_command},   {"cyclic", cyclic_command},   {"mailbox", mailbox_command},
    {"flash", flash_command},     {"fault", fault_command},
};

int version() {
    const uint16_t library = K5320_GetDllVersion();
    std::printf("k5320 %s (libK5320 %u.%u.%u)\n", K5320_VERSION, library / 100, library / 10 % 10,
                library % 10);
    return K5320_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage_error("", "no command");
    const std::string_view command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        if (argc > 2) {
            if (const char* usage = help_of(argv[2])) {
                std::fputs(usage, stdout);
                return K5320_SUCCESS;
            }
            return usage_error("", std::string("no command ") + argv[2]);
        }
        std::fputs(kMainUsage, stdout);
        return K5320_SUCCESS;
    }
    if (command == "--version" || command == "-V" || command == "version") return version();
    for (const Command& c : kCommands)
        if (command == c.name) return c.run(argc - 1, argv + 1);
    if (!command.empty() && command[0] == '-')
        return usage_error("", "unknown option " + std::string(command));
    return usage_error("", "unknown command " + std::string(command));
}
