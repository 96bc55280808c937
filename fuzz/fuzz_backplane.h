// A backplane SDK for fuzzing the driver (the functions of driver/sdk/tarn_sdk.h): one module
// whose DPRAM image and firmware answers come from the fuzz input, with the port semantics of
// the stand-in backplane (page register, 1 KB data window, an interrupt line raised by each
// answer and lowered by the host's read of the answer byte or by trn_InterruptDone).
//
// The firmware answers every command byte the host writes at once, on the writing thread: the
// registered slot routine runs synchronously, as the backplane's interrupt thread would run it.
// It posts answers taken from the input until one of them is an answer the module gives to that
// command; when the input runs out, or after a few answers, it posts that command's plain answer.
// So every handshake of the driver ends with the command that started it and a run takes no
// polling time, while any answer value, stray or out of turn, still reaches the interrupt
// service. Only the answer to a command record (a record of the user program's own) comes from
// the input alone: the host waits for it with its caller's time-out, which costs virtual time.
//
// Any port access outside the DPRAM (page beyond the last, a port that is neither the page
// register nor the data window, a slot number outside 1..7, a controller port outside the
// interrupt registers) aborts the run: the driver must never make one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace k5320::fuzz {

// The fuzz input, read front to back. Reads past the end give 0 (empty() tells).
class ByteStream {
  public:
    ByteStream() = default;
    ByteStream(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return size_ == 0; }
    size_t size() const { return size_; }
    uint8_t byte();
    uint16_t word();  // least significant byte first
    // Up to n bytes (fewer when the input ends first).
    std::span<const uint8_t> take(size_t n);
    // The next n bytes (fewer at the end) as a stream of their own.
    ByteStream split(size_t n);

  private:
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

// A DPRAM patch in the input: address (word), length (byte), that many bytes. Bytes that would
// fall beyond the DPRAM's end are dropped.
inline constexpr size_t kPatchHeaderSize = 3;

struct RunSetup {
    int slot = 1;                // the slot that holds the module; the others are empty
    std::string module_name;     // what trn_GetModuleName reports for it
    bool answer_unread = false;  // an answer from before the run waits, its line raised
};

// Starts a run: all slots empty but the module's; its DPRAM zeroed, then `patch_count` patches
// read from `input`; what is left of `input` feeds the firmware's answers.
void start_run(const RunSetup& setup, size_t patch_count, ByteStream input);

// The module's DPRAM as it is now, to compare what the driver read with it.
std::span<const uint8_t> module_ram();

// Ends a run: aborts if the driver left a slot routine registered (callers remove the slot
// first), then forgets the run's input.
void end_run();

}  // namespace k5320::fuzz
