#include "utility/main/utility_dialog.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "k5320_result.h"
#include "utility/main/send_parser.h"

namespace k5320::utility {
namespace {

using C = ControlId;

// Enabled only while a module is initialised.
constexpr std::array kModuleControls{
    C::ClearStatus, C::StandardId, C::ExtendedId,    C::Id,           C::Rtr,          C::Length,
    C::Data,        C::Send,       C::DisableSysMsg, C::EnableSysMsg, C::ResetCounter, C::Pause,
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

bool isSlot(int slot) {
    return slot >= kFirstSlot && slot <= kLastSlot;
}

uint8_t lowByte(uint32_t value) {
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
    resetModuleView();

    view_.setChoices(C::Slot, kSlotChoices);
    view_.selectIndex(C::Slot, 0);
    view_.setChecked(C::StandardId, true);
    view_.setChecked(C::FormatHex, true);
    state_.displayMode = DisplayMode::Hex;

    std::array<std::string_view, kBaudChoices.size()> baudTexts{};
    for (std::size_t i = 0; i < kBaudChoices.size(); ++i) baudTexts[i] = kBaudChoices[i].text;
    view_.setChoices(C::Baud, baudTexts);
    view_.selectIndex(C::Baud, kDefaultBaud);

    view_.setTextLimit(C::AccCode, kAccTextLimit);
    view_.setText(C::AccCode, "00000000");
    view_.setTextLimit(C::AccMask, kAccTextLimit);
    view_.setText(C::AccMask, "FFFFFFFF");
    view_.setTextLimit(C::Bt0, kBusTimingTextLimit);
    view_.setText(C::Bt0, "FF");
    view_.setTextLimit(C::Bt1, kBusTimingTextLimit);
    view_.setText(C::Bt1, "FF");
    view_.setTextLimit(C::Length, kLengthTextLimit);
    view_.setText(C::Length, "8");
    view_.setTextLimit(C::Data, kDataTextLimit);
    view_.setText(C::Data, "FF FF FF FF FF FF FF FF");
    view_.setTextLimit(C::Id, kStandardIdTextLimit);
    view_.setText(C::Id, kStandardIdText);

    view_.setText(C::StatusDisplay, kStatusPlaceholder);
    view_.setText(C::CounterDisplay, kCounterPlaceholder);
    view_.setListColumns(kMessageListColumns);
    view_.showMessageList(messages_);

    state_.logOpen = false;
    view_.setChecked(C::ShowOnList, true);
    state_.showOnList = true;

    api_.dllVersion();  // only to load and greet the library; the value is not shown
}

void UtilityDialog::destroyed() {
    // With no module active this passes slot 255, which the library refuses harmlessly.
    api_.restore(activeSlotByte());
    log_.close();
    state_.logOpen = false;
    stopPolling();
}

void UtilityDialog::resetModuleView() {
    view_.showLamp(C::RxLamp, BitmapImage::None);
    view_.showLamp(C::TxLamp, BitmapImage::None);
    setModuleControlsEnabled(false);
    view_.setText(C::StatusDisplay, kStatusPlaceholder);
    displayedStatus_.reset();
    view_.setText(C::CounterDisplay, kCounterPlaceholder);
    counterStale_ = false;
    stopPolling();
    state_.rxCount = 0;
    flushRows();
    state_.rowCount = 0;
    messages_.startRun();
    view_.setCaption(kProgramTitle);
}

void UtilityDialog::initialize() {
    const int slotNumber = selectedSlot();
    // A module initialised again is released first, or the library would refuse it as taken.
    if (slotNumber == state_.activeSlot && isSlot(state_.activeSlot))
        api_.restore(activeSlotByte());

    const uint32_t accCode = hexPrefix(view_.text(C::AccCode));
    const uint32_t accMask = hexPrefix(view_.text(C::AccMask));
    const int baudIndex = view_.selectedIndex(C::Baud);
    uint8_t bt0 = 0;
    uint8_t bt1 = 0;
    if (baudIndex == kUserDefinedBaud) {
        bt0 = lowByte(hexPrefix(view_.text(C::Bt0)));
        bt1 = lowByte(hexPrefix(view_.text(C::Bt1)));
    }
    const auto slot = lowByte(static_cast<uint32_t>(slotNumber));

    std::string_view failed = kInitError;
    int result = api_.init(slot);
    if (result == K5320_SUCCESS) {
        failed = kResetError;
        result = api_.hardwareReset(slot);
    }
    if (result == K5320_SUCCESS) {
        failed = kConfigError;
        result = api_.configure(slot, accCode, accMask, lowByte(static_cast<uint32_t>(baudIndex)),
                                bt0, bt1);
    }
    if (result != K5320_SUCCESS) {
        resetModuleView();
        reportError(failed, result);
        api_.restore(slot);
        return;
    }

    state_.activeSlot = static_cast<uint16_t>(slotNumber);
    setBothLamps(BitmapImage::GreenLamp);
    state_.bufferAlarm = 0;
    setModuleControlsEnabled(true);
    view_.setText(C::StatusDisplay, formatted("0x%02X", kIdleCanStatus));
    displayedStatus_ = kIdleCanStatus;
    state_.rxCount = 0;
    view_.setText(C::CounterDisplay, kCounterZero);
    counterStale_ = false;
    startPolling();
    setCaptionFor(accCode, accMask, baudIndex);
}

void UtilityDialog::slotChosen() {
    if (selectedSlot() == state_.activeSlot) return;
    resetModuleView();
    if (isSlot(state_.activeSlot)) api_.restore(activeSlotByte());
}

void UtilityDialog::clearStatus() {
    const uint8_t slot = activeSlotByte();
    uint8_t status = 0;
    int result = api_.clearBufferStatus(slot);
    if (result == K5320_SUCCESS) result = api_.clearSoftBuffer(slot);
    if (result == K5320_SUCCESS) result = api_.status(slot, &status);
    if (result != K5320_SUCCESS) {
        resetModuleView();
        reportError(kStatusError, result);
        return;
    }
    showStatus(status);
    setBothLamps(BitmapImage::GreenLamp);
    state_.bufferAlarm = 0;
    startPolling();
}

void UtilityDialog::systemMessages(bool on) {
    const int result = api_.setSystemMsg(activeSlotByte(), on ? 1 : 0);
    if (result == K5320_SUCCESS) return;
    resetModuleView();
    reportError(kSystemMsgError, result);
}

void UtilityDialog::resetCounter() {
    state_.rxCount = 0;
    view_.setText(C::CounterDisplay, kCounterZero);
    counterStale_ = false;
    startPolling();
}

void UtilityDialog::softKeyboardClicked() {
    view_.setInputPanelVisible(view_.isChecked(C::SoftKeyboard));
}

void UtilityDialog::updateFirmware(const std::function<void(uint16_t slot)>& showUpdateDialog) {
    stopPolling();
    if (isSlot(state_.activeSlot)) {
        api_.restore(activeSlotByte());
        state_.activeSlot = kNoSlot;
    }
    // The slot chosen in the list, whether or not it is the one initialised.
    showUpdateDialog(static_cast<uint16_t>(selectedSlot()));
    resetModuleView();
}

void UtilityDialog::standardIdChosen() {
    view_.setTextLimit(C::Id, kStandardIdTextLimit);
    view_.setText(C::Id, kStandardIdText);
}

void UtilityDialog::extendedIdChosen() {
    view_.setTextLimit(C::Id, kExtendedIdTextLimit);
    view_.setText(C::Id, kExtendedIdText);
}

void UtilityDialog::rtrClicked() {
    view_.setEnabled(C::Data, !view_.isChecked(C::Rtr));
}

void UtilityDialog::send() {
    // The Data box is parsed even when RTR disables it; the library sends no data then.
    const OutgoingMessage message =
        outgoingMessage(!view_.isChecked(C::StandardId), view_.text(C::Id), view_.isChecked(C::Rtr),
                        view_.text(C::Length), view_.text(C::Data));
    uint8_t alarm = state_.bufferAlarm;
    const int result = api_.send(activeSlotByte(), message.mode, message.id, message.rtr,
                                 message.length, message.data.data());
    if (result == K5320_SUCCESS) {
        alarm &= static_cast<uint8_t>(~kTxBufferAlarm);
    } else if (result == K5320_ERR_TX_REFUSED) {
        alarm |= kTxBufferAlarm;
    } else {
        // The window stays initialised: a failed send says nothing about the module's set-up.
        reportError(kSendError, result);
    }
    applyBufferAlarm(alarm);
}

void UtilityDialog::pause() {
    if (state_.pollingActive) {
        view_.setText(C::Pause, kGoCaption);
        stopPolling();
    } else {
        view_.setText(C::Pause, kPauseCaption);
        startPolling();
    }
}

void UtilityDialog::clearList() {
    pendingRows_.clear();
    messages_.clear();
    state_.rowCount = 0;
    startPolling();
}

void UtilityDialog::formatChosen(DisplayMode target) {
    if (target == state_.displayMode) return;
    flushRows();
    messages_.convertCurrentRun(state_.displayMode, target);
    state_.displayMode = target;
}

void UtilityDialog::showOnListClicked() {
    state_.showOnList = view_.isChecked(C::ShowOnList);
}

void UtilityDialog::saveToFileClicked() {
    if (!view_.isChecked(C::SaveToFile)) {
        log_.close();
        state_.logOpen = false;
        return;
    }
    if (state_.logOpen) return;
    // A file that cannot be created leaves the box checked and nothing logged until it is
    // unchecked and checked again.
    if (!log_.open()) {
        boxes_.show(applicationName(), kCannotCreateLog);
        return;
    }
    state_.logOpen = true;
}

void UtilityDialog::pollTick() {
    const uint8_t slot = activeSlotByte();
    uint8_t alarm = state_.bufferAlarm;

    uint8_t status = 0;
    int result = api_.status(slot, &status);
    if (result != K5320_SUCCESS) {
        failPoll(kStatusError, result);
        return;
    }
    showStatus(status);

    uint8_t txTimeout = 0;
    result = api_.isTxTimeout(slot, &txTimeout);
    if (result != K5320_SUCCESS) {
        failPoll(kTxStatusError, result);
        return;
    }
    if (txTimeout != state_.lastTxTimeout) {
        state_.lastTxTimeout = txTimeout;
        // Shown from the event loop, after this tick: polling goes on while it is open, and the
        // stored flag keeps later ticks from showing a second one.
        if (txTimeout != 0) view_.runLater([this] { boxes_.show(kErrorCaption, kTransmitFailed); });
    }

    uint16_t count = 0;
    result = api_.rxMsgCount(slot, &count);
    if (result != K5320_SUCCESS) {
        failPoll(kCountError, result);
        return;
    }

    for (uint16_t i = 0; i < count; ++i) {
        ReceivedMessage message;
        result = api_.receive(slot, message);
        if (result == kReceivedAfterOverflow) {
            // Not listed, logged or counted: the lamp tells that messages were lost.
            alarm |= kRxBufferAlarm;
        } else if (result != K5320_SUCCESS) {
            // The rest of the bank stays in the library; Pause, Clear, Reset Counter or Clear
            // Status polls again. What the tick gathered is shown before the box.
            refreshView();
            stopPolling();
            boxes_.show(applicationName(),
                        formatted("Test fail, Ret=%d", static_cast<uint16_t>(result)));
            return;
        } else {
            alarm &= static_cast<uint8_t>(~kRxBufferAlarm);
            if (state_.showOnList) addRow(message);
            if (state_.logOpen) logMessage(message);
            ++state_.rxCount;
            counterStale_ = true;
        }
        applyBufferAlarm(alarm);
    }
}

void UtilityDialog::refreshView() {
    flushRows();
    if (!counterStale_) return;
    // Unsigned: the count must not turn negative past 2^31 messages.
    view_.setText(C::CounterDisplay, formatted("%010u", state_.rxCount));
    counterStale_ = false;
}

void UtilityDialog::applyBufferAlarm(uint8_t flags) {
    if (flags == state_.bufferAlarm) return;
    view_.showLamp(C::RxLamp,
                   (flags & kRxBufferAlarm) != 0 ? BitmapImage::RedLamp : BitmapImage::GreenLamp);
    view_.showLamp(C::TxLamp,
                   (flags & kTxBufferAlarm) != 0 ? BitmapImage::RedLamp : BitmapImage::GreenLamp);
    state_.bufferAlarm = flags;
}

void UtilityDialog::showStatus(uint8_t status) {
    if (status == state_.lastStatus && displayedStatus_ == status) return;
    view_.setText(C::StatusDisplay, formatted("0x%02X", status));
    state_.lastStatus = status;
    displayedStatus_ = status;
}

void UtilityDialog::startPolling() {
    if (!state_.pollingActive) view_.startPollingTimer();
    state_.pollingActive = true;
}

void UtilityDialog::stopPolling() {
    if (state_.pollingActive) view_.stopPollingTimer();
    state_.pollingActive = false;
}

int UtilityDialog::selectedSlot() const {
    return view_.selectedIndex(C::Slot) + kFirstSlot;
}

uint8_t UtilityDialog::activeSlotByte() const {
    return lowByte(state_.activeSlot);
}

void UtilityDialog::setModuleControlsEnabled(bool enabled) {
    for (const ControlId id : kModuleControls) view_.setEnabled(id, enabled);
}

void UtilityDialog::setBothLamps(BitmapImage image) {
    view_.showLamp(C::RxLamp, image);
    view_.showLamp(C::TxLamp, image);
}

void UtilityDialog::setCaptionFor(uint32_t accCode, uint32_t accMask, int baudIndex) {
    const std::string title(kProgramTitle);
    const int kbps = kBaudChoices.at(static_cast<std::size_t>(baudIndex)).kbps;
    if (baudIndex == kUserDefinedBaud) {
        view_.setCaption(
            formatted("%s, Filter[%X,%X], Baud:User-defined", title.c_str(), accCode, accMask));
    } else {
        view_.setCaption(
            formatted("%s, Filter[%X,%X], Baud:%d kbps", title.c_str(), accCode, accMask, kbps));
    }
}

void UtilityDialog::failPoll(std::string_view operation, int result) {
    resetModuleView();
    reportError(operation, result);
}

std::string UtilityDialog::applicationName() {
    return std::string(applicationNameOf(files_.programPath()));
}

void UtilityDialog::addRow(const ReceivedMessage& message) {
    pendingRows_.push_back(listRow(message, state_.rowCount, state_.displayMode));
    ++state_.rowCount;
    if (state_.rowCount >= kMessageListCapacity) {
        // The 1000th row empties the list; the next row is 000 again.
        pendingRows_.clear();
        messages_.clear();
        state_.rowCount = 0;
    }
}

void UtilityDialog::logMessage(const ReceivedMessage& message) {
    if (log_.write(logLine(message, state_.displayMode).view())) return;
    // A file that has lost a line is closed rather than written on with a gap. Said once: the
    // box stays checked and logging starts a new file when it is unchecked and checked again.
    log_.close();
    state_.logOpen = false;
    view_.runLater([this] { boxes_.show(applicationName(), kCannotWriteLog); });
}

void UtilityDialog::flushRows() {
    if (pendingRows_.empty()) return;
    messages_.append(pendingRows_);
    pendingRows_.clear();
    view_.scrollListTo(state_.rowCount - 1);
}

void UtilityDialog::reportError(std::string_view operation, int result) {
    // Result codes are read as unsigned 16-bit numbers.
    boxes_.show(kErrorCaption, formatted("%.*s, Error Code=%d", static_cast<int>(operation.size()),
                                         operation.data(), static_cast<uint16_t>(result)));
}

}  // namespace k5320::utility
