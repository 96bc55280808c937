// The firmware's command dispatch. Commands it does not serve yet are taken (and counted) but
// not answered, as a firmware without that feature would behave.
#include "emulator/module.h"

namespace k5320::emulator {

uint8_t Module::mode_answer() const {
    return static_cast<uint8_t>(firmware_.mode);
}

void Module::execute(uint8_t command) {
    if (command == cmd::kRepeatRequest) {
        repeat_answer();
        return;
    }
    // A new command: an answer to an earlier one must not be repeated for it.
    firmware_.answer_to_repeat.reset();
    firmware_.withheld_answer.reset();
    std::optional<uint8_t> value = serve(command);
    // An injected answer stands in even for a command this firmware leaves unanswered.
    if (!value) value = faults_.answer_overrides[command];
    if (value) reply(command, *value);
}

std::optional<uint8_t> Module::serve(uint8_t command) {
    switch (command) {
        case cmd::kModeQuery:
            return mode_answer();
        case cmd::kProgramMode:
            // Without a valid firmware the loader stays in charge and says so.
            if (firmware_.has_valid_firmware) firmware_.mode = Mode::kProgram;
            return mode_answer();
        case cmd::kLoaderMode:
            firmware_.mode = Mode::kLoader;
            return mode_answer();
        default:
            return std::nullopt;
    }
}

void Module::repeat_answer() {
    if (firmware_.withheld_answer) {
        if (--firmware_.repeats_until_answer > 0) return;
        firmware_.answer_to_repeat = firmware_.withheld_answer;
        firmware_.withheld_answer.reset();
        answer_queue_.push_back(*firmware_.answer_to_repeat);
        return;
    }
    if (!firmware_.answer_to_repeat) return;
    const std::optional<uint8_t> value =
        faults_.filter(cmd::kRepeatRequest, *firmware_.answer_to_repeat);
    if (!value) return;

    const uint32_t mailbox = ram_.answer_mailbox.load(std::memory_order_acquire);
    if ((mailbox & DualPortRam::kAnswerUnread) != 0) {
        // An answer sits unread, so the host missed the line: raise it again. The byte is not
        // rewritten; an unread answer is never replaced.
        if (faults_.raise_line()) ram_.raise_line();
        if ((mailbox & DualPortRam::kByteMask) == *value) return;
    }
    // The host has read the answer, or another one is in front of it: signal it again after
    // whatever is unread (once, however often the host asks).
    for (const uint8_t waiting : answer_queue_) {
        if (waiting == *value) return;
    }
    answer_queue_.push_back(*value);
}

}  // namespace k5320::emulator
