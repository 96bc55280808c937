#include "utility/main/utility_dialog.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "k5320/sja1000_registers.h"
#include "k5320_result.h"
#include "k5320_result_text.h"
#include "utility/main/send_parser.h"

namespace k5320::utility {
namespace {

using C = ControlId;
namespace sja = sja1000;

// Enabled only while a module is initialised.
constexpr std::array kModuleControls{
    C::kClearStatus,   C::kStandardId,   C::kExtendedId,   C::kId,
    C::kRtr,           C::kLength,       C::kData,         C::kSend,
    C::kDisableSysMsg, C::kEnableSysMsg, C::kResetCounter, C::kPause,
};

constexpr std::array<std::string_view, kLastSlot - kFirstSlot + 1> kSlotChoices{
    " Slot 1", " Slot 2", " Slot 3", " Slot 4", " Slot 5", " Slot 6", " Slot 7",
};

constexpr std::string_view kErrorCaption = "Error";
constexpr std::string_view kStatusPlaceholder = "****";
constexpr std::string_view kCounterPlaceholder = "**********";
constexpr std::string_view kCounterZero = "0000000000";
// What the controller reports once it runs and has sent nothing: transmit buffer free, last
// transmission complete. Shown right after a successful Initialize.
constexpr uint8_t kIdleCanStatus = 0x0C;

constexpr int kAccTextLimit = 8;
constexpr int kBusTimingTextLimit = 2;
constexpr int kLengthTextLimit = 1;
constexpr int kDataTextLimit = 23;
constexpr int kStandardIdTextLimit = 3;
constexpr int kExtendedIdTextLimit = 8;
constexpr std::string_view kStandardIdText = "3FF";
constexpr std::string_view kExtendedIdText = "1FFFFFFF";

constexpr std::string_view kInitError = "Initiate Error";
constexpr std::string_view kResetError = "Hardware reset Error";
constexpr std::string_view kConfigError = "Configure Error";
constexpr std::string_view kStatusError = "Get Status Error";
constexpr std::string_view kSystemMsgError = "Set SystemMsg Error";
constexpr std::string_view kSendError = "Send CAN Message Error";
constexpr std::string_view kTxStatusError = "Get Tx status Error";
constexpr std::string_view kCountError = "Get Message Count Error";
constexpr std::string_view kTransmitFailed = "Transmit message fail.";
constexpr std::string_view kCannotCreateLog = "Can not create a new file";
constexpr std::string_view kCannotWriteLog = "Can not write to the log file";
constexpr std::string_view kNoInputPanel = "This desktop has no on-screen keyboard";
constexpr std::string_view kNotInitialised = "Not initialised";
constexpr std::string_view kLoggingTo = "Log: ";
constexpr std::string_view kCountersUnreadable = "error counters not readable: ";
constexpr uint32_t kBitsPerKbit = 1000;
constexpr std::string_view kPauseCaption = "Pause";
constexpr std::string_view kGoCaption = "Go";

// On a receive, the library's 22 means: a message was delivered, but the firmware's receive
// buffer overflowed since the flag was last cleared.
constexpr int kReceivedAfterOverflow = K5320_RX_DELIVERED_AFTER_OVERFLOW;

__attribute__((format(printf, 1, 2))) std::string formatted(const char* format, ...) {
    std::array<char, 256> buffer{};
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    va_end(args);
    return buffer.data();
}

bool is_slot(int slot) {
    return slot >= kFirstSlot && slot <= kLastSlot;
}

uint8_t low_byte(uint32_t value) {
    return static_cast<uint8_t>(value);
}

}  // namespace

UtilityDialog::UtilityDialog(MainView& view, ModuleApi& api, MessageBoxes& boxes,
                             FileServices& files)
    : view_(view), api_(api), boxes_(boxes), files_(files), log_(files) {
    // Rows wait for the view at most until the 1000th, which empties the list and them.
    pendingRows_.reserve(kMessageListCapacity);
}

void UtilityDialog::start() {
    reset_module_view();

    view_.set_choices(C::kSlot, kSlotChoices);
    view_.select_index(C::kSlot, 0);
    view_.set_checked(C::kStandardId, true);
    view_.set_checked(C::kFormatHex, true);
    state_.display_mode = DisplayMode::kHex;

    std::array<std::string_view, kBaudChoices.size()> baud_texts{};
    for (std::size_t i = 0; i < kBaudChoices.size(); ++i) baud_texts[i] = kBaudChoices[i].text;
    view_.set_choices(C::kBaud, baud_texts);
    view_.select_index(C::kBaud, kDefaultBaud);

    view_.set_text_limit(C::kAccCode, kAccTextLimit);
    view_.set_text(C::kAccCode, "00000000");
    view_.set_text_limit(C::kAccMask, kAccTextLimit);
    view_.set_text(C::kAccMask, "FFFFFFFF");
    view_.set_text_limit(C::kBt0, kBusTimingTextLimit);
    view_.set_text(C::kBt0, "FF");
    view_.set_text_limit(C::kBt1, kBusTimingTextLimit);
    view_.set_text(C::kBt1, "FF");
    view_.set_text_limit(C::kLength, kLengthTextLimit);
    view_.set_text(C::kLength, "8");
    view_.set_text_limit(C::kData, kDataTextLimit);
    view_.set_text(C::kData, "FF FF FF FF FF FF FF FF");
    view_.set_text_limit(C::kId, kStandardIdTextLimit);
    view_.set_text(C::kId, kStandardIdText);

    view_.set_text(C::kStatusDisplay, kStatusPlaceholder);
    view_.set_text(C::kCounterDisplay, kCounterPlaceholder);
    view_.set_list_columns(kMessageListColumns);
    view_.show_message_list(messages_);
    view_.show_identifier_table(identifiers_);

    state_.log_open = false;
    view_.set_checked(C::kShowOnList, true);
    state_.show_on_list = true;
    if (!view_.input_panel_available()) {
        // A box that would do nothing says why instead.
        view_.set_enabled(C::kSoftKeyboard, false);
        view_.set_tool_tip(C::kSoftKeyboard, kNoInputPanel);
    }

    api_.dll_version();  // only to load and greet the library; the value is not shown
}

void UtilityDialog::destroyed() {
    // With no module active this passes slot 255, which the library refuses harmlessly.
    api_.restore(active_slot_byte());
    log_.close();
    state_.log_open = false;
    stop_polling();
}

void UtilityDialog::reset_module_view() {
    view_.show_lamp(C::kRxLamp, BitmapImage::kNone);
    view_.show_lamp(C::kTxLamp, BitmapImage::kNone);
    set_module_controls_enabled(false);
    view_.set_text(C::kStatusDisplay, kStatusPlaceholder);
    displayedStatus_.reset();
    view_.set_text(C::kCounterDisplay, kCounterPlaceholder);
    counterStale_ = false;
    stop_polling();
    state_.rx_count = 0;
    flush_rows();
    state_.row_count = 0;
    messages_.start_run();
    view_.set_caption(kProgramTitle);
    view_.set_status_text(StatusField::kSettings, kNotInitialised);
    view_.set_status_text(StatusField::kBusHealth, {});
}

void UtilityDialog::initialize() {
    const int slot_number = selected_slot();
    // A module initialised again is released first, or the library would refuse it as taken.
    if (slot_number == state_.active_slot && is_slot(state_.active_slot))
        api_.restore(active_slot_byte());

    const uint32_t acc_code = hex_prefix(view_.text(C::kAccCode));
    const uint32_t acc_mask = hex_prefix(view_.text(C::kAccMask));
    const int baud_index = view_.selected_index(C::kBaud);
    uint8_t bt0 = 0;
    uint8_t bt1 = 0;
    if (baud_index == kUserDefinedBaud) {
        bt0 = low_byte(hex_prefix(view_.text(C::kBt0)));
        bt1 = low_byte(hex_prefix(view_.text(C::kBt1)));
    }
    const auto slot = low_byte(static_cast<uint32_t>(slot_number));

    std::string_view failed = kInitError;
    int result = api_.init(slot);
    if (result == K5320_SUCCESS) {
        failed = kResetError;
        result = api_.hardware_reset(slot);
    }
    if (result == K5320_SUCCESS) {
        failed = kConfigError;
        result = api_.configure(slot, acc_code, acc_mask,
                                low_byte(static_cast<uint32_t>(baud_index)), bt0, bt1);
    }
    if (result != K5320_SUCCESS) {
        reset_module_view();
        report_error(failed, result);
        api_.restore(slot);
        return;
    }

    state_.active_slot = static_cast<uint16_t>(slot_number);
    set_both_lamps(BitmapImage::kGreenLamp);
    state_.buffer_alarm = 0;
    set_module_controls_enabled(true);
    view_.set_text(C::kStatusDisplay, formatted("0x%02X", kIdleCanStatus));
    displayedStatus_ = kIdleCanStatus;
    state_.rx_count = 0;
    view_.set_text(C::kCounterDisplay, kCounterZero);
    counterStale_ = false;
    start_polling();
    set_caption_for(acc_code, acc_mask, baud_index);
    clear_identifiers();
    bitRate_ = static_cast<uint32_t>(kBaudChoices.at(static_cast<std::size_t>(baud_index)).kbps) *
               kBitsPerKbit;
    busMeter_.take();
}

void UtilityDialog::slot_chosen() {
    if (selected_slot() == state_.active_slot) return;
    reset_module_view();
    if (is_slot(state_.active_slot)) api_.restore(active_slot_byte());
}

void UtilityDialog::clear_status() {
    const uint8_t slot = active_slot_byte();
    uint8_t status = 0;
    int result = api_.clear_buffer_status(slot);
    if (result == K5320_SUCCESS) result = api_.clear_soft_buffer(slot);
    if (result == K5320_SUCCESS) result = api_.status(slot, &status);
    if (result != K5320_SUCCESS) {
        reset_module_view();
        report_error(kStatusError, result);
        return;
    }
    show_status(status);
    set_both_lamps(BitmapImage::kGreenLamp);
    state_.buffer_alarm = 0;
    start_polling();
}

void UtilityDialog::system_messages(bool on) {
    const int result = api_.set_system_msg(active_slot_byte(), on ? 1 : 0);
    if (result == K5320_SUCCESS) return;
    reset_module_view();
    report_error(kSystemMsgError, result);
}

void UtilityDialog::reset_counter() {
    state_.rx_count = 0;
    view_.set_text(C::kCounterDisplay, kCounterZero);
    counterStale_ = false;
    start_polling();
}

void UtilityDialog::soft_keyboard_clicked() {
    view_.set_input_panel_visible(view_.is_checked(C::kSoftKeyboard));
}

void UtilityDialog::update_firmware(const std::function<void(uint16_t slot)>& show_update_dialog) {
    stop_polling();
    if (is_slot(state_.active_slot)) {
        api_.restore(active_slot_byte());
        state_.active_slot = kNoSlot;
    }
    // The slot chosen in the list, whether or not it is the one initialised.
    show_update_dialog(static_cast<uint16_t>(selected_slot()));
    reset_module_view();
}

void UtilityDialog::standard_id_chosen() {
    view_.set_text_limit(C::kId, kStandardIdTextLimit);
    view_.set_text(C::kId, kStandardIdText);
}

void UtilityDialog::extended_id_chosen() {
    view_.set_text_limit(C::kId, kExtendedIdTextLimit);
    view_.set_text(C::kId, kExtendedIdText);
}

void UtilityDialog::rtr_clicked() {
    view_.set_enabled(C::kData, !view_.is_checked(C::kRtr));
}

void UtilityDialog::send() {
    // The Data box is parsed even when RTR disables it; the library sends no data then.
    const OutgoingMessage message =
        outgoing_message(!view_.is_checked(C::kStandardId), view_.text(C::kId),
                         view_.is_checked(C::kRtr), view_.text(C::kLength), view_.text(C::kData));
    uint8_t alarm = state_.buffer_alarm;
    const int result = api_.send(active_slot_byte(), message.mode, message.id, message.rtr,
                                 message.length, message.data.data());
    if (result == K5320_SUCCESS) {
        alarm &= static_cast<uint8_t>(~kTxBufferAlarm);
    } else if (result == K5320_ERR_TX_REFUSED) {
        alarm |= kTxBufferAlarm;
    } else {
        // The window stays initialised: a failed send says nothing about the module's set-up.
        report_error(kSendError, result);
    }
    apply_buffer_alarm(alarm);
}

void UtilityDialog::pause() {
    if (state_.polling_active) {
        view_.set_text(C::kPause, kGoCaption);
        stop_polling();
    } else {
        view_.set_text(C::kPause, kPauseCaption);
        start_polling();
    }
}

void UtilityDialog::clear_list() {
    pendingRows_.clear();
    messages_.clear();
    clear_identifiers();
    state_.row_count = 0;
    start_polling();
}

void UtilityDialog::clear_identifiers() {
    pendingFrames_.clear();
    identifiers_.clear();
}

void UtilityDialog::format_chosen(DisplayMode target) {
    if (target == state_.display_mode) return;
    flush_rows();
    messages_.convert_current_run(state_.display_mode, target);
    state_.display_mode = target;
}

void UtilityDialog::show_on_list_clicked() {
    state_.show_on_list = view_.is_checked(C::kShowOnList);
}

void UtilityDialog::save_to_file_clicked() {
    if (!view_.is_checked(C::kSaveToFile)) {
        close_log();
        return;
    }
    if (state_.log_open) return;
    // A file that cannot be created leaves the box checked and nothing logged until it is
    // unchecked and checked again. The box names every place tried, so the user can mend one.
    if (!log_.open()) {
        std::string text(kCannotCreateLog);
        for (const std::string& path : log_.tried()) text += "\n" + path;
        boxes_.show(application_name(), text);
        return;
    }
    state_.log_open = true;
    view_.set_status_text(StatusField::kLogFile, std::string(kLoggingTo) + log_.path());
}

void UtilityDialog::close_log() {
    log_.close();
    state_.log_open = false;
    view_.set_status_text(StatusField::kLogFile, {});
}

void UtilityDialog::poll_tick() {
    const uint8_t slot = active_slot_byte();
    uint8_t alarm = state_.buffer_alarm;

    uint8_t status = 0;
    int result = api_.status(slot, &status);
    if (result != K5320_SUCCESS) {
        fail_poll(kStatusError, result);
        return;
    }
    show_status(status);

    uint8_t tx_timeout = 0;
    result = api_.is_tx_timeout(slot, &tx_timeout);
    if (result != K5320_SUCCESS) {
        fail_poll(kTxStatusError, result);
        return;
    }
    if (tx_timeout != state_.last_tx_timeout) {
        state_.last_tx_timeout = tx_timeout;
        // Shown from the event loop, after this tick: polling goes on while it is open, and the
        // stored flag keeps later ticks from showing a second one. Once polling has stopped
        // (a later read of this tick failed, the module is lost) the flag says nothing more.
        if (tx_timeout != 0) {
            view_.run_later([this, run = pollingRun_] {
                if (state_.polling_active && run == pollingRun_)
                    boxes_.show(kErrorCaption, kTransmitFailed);
            });
        }
    }

    uint16_t count = 0;
    result = api_.rx_msg_count(slot, &count);
    if (result != K5320_SUCCESS) {
        fail_poll(kCountError, result);
        return;
    }

    for (uint16_t i = 0; i < count; ++i) {
        ReceivedMessage message;
        result = api_.receive(slot, message);
        if (result == kReceivedAfterOverflow) {
            // Not listed, logged or counted: the lamp tells that messages were lost. The frame
            // was on the bus all the same.
            busMeter_.count(message);
            alarm |= kRxBufferAlarm;
        } else if (result != K5320_SUCCESS) {
            // The rest of the bank stays in the library; Pause, Clear, Reset Counter or Clear
            // Status polls again. What the tick gathered is shown before the box.
            refresh_view();
            stop_polling();
            boxes_.show(application_name(),
                        formatted("Test fail, Ret=%d", static_cast<uint16_t>(result)));
            return;
        } else {
            alarm &= static_cast<uint8_t>(~kRxBufferAlarm);
            busMeter_.count(message);
            pendingFrames_.push_back(message);
            if (state_.show_on_list) add_row(message);
            if (state_.log_open) log_message(message);
            ++state_.rx_count;
            counterStale_ = true;
        }
        apply_buffer_alarm(alarm);
    }
}

void UtilityDialog::refresh_view() {
    flush_rows();
    identifiers_.add(pendingFrames_);
    pendingFrames_.clear();
    if (!counterStale_) return;
    // Unsigned: the count must not turn negative past 2^31 messages.
    view_.set_text(C::kCounterDisplay, formatted("%010u", state_.rx_count));
    counterStale_ = false;
}

void UtilityDialog::update_bus_health(double seconds) {
    if (!state_.polling_active) return;
    const uint8_t slot = active_slot_byte();
    uint8_t rx_errors = 0;
    uint8_t tx_errors = 0;
    int result = api_.read_register(slot, sja::SJA1000_RXERR, &rx_errors);
    if (result == K5320_SUCCESS) result = api_.read_register(slot, sja::SJA1000_TXERR, &tx_errors);
    const BusMeter::Tally tally = busMeter_.take();
    if (result != K5320_SUCCESS) {
        // Only the health line says so: the monitor itself still works.
        const auto code = static_cast<uint16_t>(result);
        view_.set_status_text(StatusField::kBusHealth,
                              std::string(kCountersUnreadable) + k5320_result_meaning(code) +
                                  " (result " + std::to_string(code) + ")");
        return;
    }
    const bool bus_off = (state_.last_status & sja::SR_BS) != 0;
    view_.set_status_text(
        StatusField::kBusHealth,
        bus_health_text(bus_health(bus_off, rx_errors, tx_errors, tally, seconds, bitRate_)));
}

void UtilityDialog::apply_buffer_alarm(uint8_t flags) {
    if (flags == state_.buffer_alarm) return;
    view_.show_lamp(C::kRxLamp, (flags & kRxBufferAlarm) != 0 ? BitmapImage::kRedLamp
                                                              : BitmapImage::kGreenLamp);
    view_.show_lamp(C::kTxLamp, (flags & kTxBufferAlarm) != 0 ? BitmapImage::kRedLamp
                                                              : BitmapImage::kGreenLamp);
    state_.buffer_alarm = flags;
}

void UtilityDialog::show_status(uint8_t status) {
    if (status == state_.last_status && displayedStatus_ == status) return;
    view_.set_text(C::kStatusDisplay, formatted("0x%02X", status));
    state_.last_status = status;
    displayedStatus_ = status;
}

void UtilityDialog::start_polling() {
    if (!state_.polling_active) view_.start_polling_timer();
    state_.polling_active = true;
}

void UtilityDialog::stop_polling() {
    if (state_.polling_active) view_.stop_polling_timer();
    state_.polling_active = false;
    ++pollingRun_;
}

int UtilityDialog::selected_slot() const {
    return view_.selected_index(C::kSlot) + kFirstSlot;
}

uint8_t UtilityDialog::active_slot_byte() const {
    return low_byte(state_.active_slot);
}

void UtilityDialog::set_module_controls_enabled(bool enabled) {
    for (const ControlId id : kModuleControls) view_.set_enabled(id, enabled);
}

void UtilityDialog::set_both_lamps(BitmapImage image) {
    view_.show_lamp(C::kRxLamp, image);
    view_.show_lamp(C::kTxLamp, image);
}

void UtilityDialog::set_caption_for(uint32_t acc_code, uint32_t acc_mask, int baud_index) {
    const int kbps = kBaudChoices.at(static_cast<std::size_t>(baud_index)).kbps;
    const std::string settings =
        baud_index == kUserDefinedBaud
            ? formatted("Filter[%X,%X], Baud:User-defined", acc_code, acc_mask)
            : formatted("Filter[%X,%X], Baud:%d kbps", acc_code, acc_mask, kbps);
    view_.set_caption(std::string(kProgramTitle) + ", " + settings);
    // A window manager cuts a long caption; the window's own line shows the settings whole.
    view_.set_status_text(StatusField::kSettings, settings);
}

void UtilityDialog::fail_poll(std::string_view operation, int result) {
    reset_module_view();
    report_error(operation, result);
}

std::string UtilityDialog::application_name() {
    return std::string(application_name_of(files_.program_path()));
}

void UtilityDialog::add_row(const ReceivedMessage& message) {
    pendingRows_.push_back(list_row(message, state_.row_count, state_.display_mode));
    ++state_.row_count;
    if (state_.row_count >= kMessageListCapacity) {
        // The 1000th row empties the list; the next row is 000 again.
        pendingRows_.clear();
        messages_.clear();
        state_.row_count = 0;
    }
}

void UtilityDialog::log_message(const ReceivedMessage& message) {
    if (log_.write(log_line(message, state_.display_mode).view())) return;
    // A file that has lost a line is closed rather than written on with a gap. Said once: the
    // box stays checked and logging starts a new file when it is unchecked and checked again.
    close_log();
    view_.run_later([this] { boxes_.show(application_name(), kCannotWriteLog); });
}

void UtilityDialog::flush_rows() {
    if (pendingRows_.empty()) return;
    messages_.append(pendingRows_);
    pendingRows_.clear();
    view_.scroll_list_to(state_.row_count - 1);
}

void UtilityDialog::report_error(std::string_view operation, int result) {
    // Result codes are read as unsigned 16-bit numbers.
    boxes_.show(kErrorCaption, formatted("%.*s, Error Code=%d", static_cast<int>(operation.size()),
                                         operation.data(), static_cast<uint16_t>(result)));
}

}  // namespace k5320::utility
