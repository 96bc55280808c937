// Behaviour of the main dialog: module set-up, the small command buttons, the receive monitor
// with its message list and log file, and message sending. It knows no widgets: it reads and
// writes the window through MainView, calls the library through ModuleApi, shows boxes through
// MessageBoxes and reaches files through FileServices. The widget layer forwards each control
// notification to the matching handler here.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "utility/main/main_view.h"
#include "utility/main/message_format.h"
#include "utility/main/message_list.h"
#include "utility/main/module_api.h"
#include "utility/main/receive_log.h"

namespace k5320::utility {

inline constexpr uint16_t kNoSlot = 0xFFFF;

// Bits of DialogState::bufferAlarm; each drives one lamp.
inline constexpr uint8_t kRxBufferAlarm = 1u << 0;
inline constexpr uint8_t kTxBufferAlarm = 1u << 1;

// State the dialog keeps beside its controls, shared with the receive monitor.
struct DialogState {
    uint16_t activeSlot = kNoSlot;  // slot initialised last; the library always gets the low byte
    bool pollingActive = false;
    uint32_t rxCount = 0;
    uint16_t rowCount = 0;
    DisplayMode displayMode = DisplayMode::Hex;
    uint8_t bufferAlarm = 0;
    uint8_t lastStatus = 0;  // status byte last written into the display by a status read
    uint8_t lastTxTimeout = 0;
    bool showOnList = false;
    bool logOpen = false;
};

class UtilityDialog {
  public:
    UtilityDialog(MainView& view, ModuleApi& api, MessageBoxes& boxes,
                  FileServices& files = systemFileServices());

    // After the window and its controls exist: lists, start-up texts and limits, the
    // not-initialised view.
    void start();
    // The window is being destroyed: release the module, close the log file and stop polling.
    void destroyed();

    // Control handlers.
    void initialize();
    void slotChosen();
    void clearStatus();
    void systemMessages(bool on);
    void resetCounter();
    void softKeyboardClicked();
    // Update Firmware: stops polling, releases the active module and runs the firmware update
    // dialog for the selected slot (showUpdateDialog returns once that dialog has closed), then
    // returns the window to the not-initialised view.
    void updateFirmware(const std::function<void(uint16_t slot)>& showUpdateDialog);
    void standardIdChosen();
    void extendedIdChosen();
    void rtrClicked();
    void send();
    void pause();
    void clearList();
    void formatChosen(DisplayMode target);
    void showOnListClicked();
    void saveToFileClicked();

    // One tick of the polling timer: the CAN status, the transmit time-out flag, and every
    // message waiting in the library, each listed, logged and counted. The rows and the count
    // reach the window with the next refreshView.
    void pollTick();
    // Shows what the ticks since the last refresh gathered: their rows in one insertion with
    // the newest in view, and the message count. The window calls it a few dozen times a
    // second: a saturated bus then costs one repaint of the list per refresh, not one per tick.
    void refreshView();

    // Returns the window to the not-initialised view and stops polling. The list keeps its rows;
    // the next row goes to its top, numbered 000.
    void resetModuleView();
    // The lamp rule: repaints both lamps when flags differ from bufferAlarm, then stores them.
    void applyBufferAlarm(uint8_t flags);
    // Writes a status byte read from the module into the status display when it changed.
    void showStatus(uint8_t status);
    void startPolling();
    void stopPolling();

    const DialogState& state() const { return state_; }
    const MessageList& messages() const { return messages_; }
    // Where the log file is (or was last opened).
    const std::string& logPath() const { return log_.path(); }

  private:
    int selectedSlot() const;
    uint8_t activeSlotByte() const;
    void setModuleControlsEnabled(bool enabled);
    void setBothLamps(BitmapImage image);
    void setCaptionFor(uint32_t accCode, uint32_t accMask, int baudIndex);
    void reportError(std::string_view operation, int result);
    // A failing status, transmit-status or count read: the window goes back to the
    // not-initialised view, then the failure is reported.
    void failPoll(std::string_view operation, int result);
    std::string applicationName();
    void addRow(const ReceivedMessage& message);
    void logMessage(const ReceivedMessage& message);
    // Puts the rows gathered so far into the list in one insertion and shows the newest.
    void flushRows();

    MainView& view_;
    ModuleApi& api_;
    MessageBoxes& boxes_;
    FileServices& files_;
    DialogState state_;
    MessageList messages_;
    // Rows gathered by ticks since the last refresh, not yet in the list.
    std::vector<MessageRow> pendingRows_;
    // The count changed since the counter display was last written.
    bool counterStale_ = false;
    ReceiveLog log_;
    // The status byte the display shows, none while it shows a placeholder. Initialize and
    // ResetModuleView write the display without a status read, so lastStatus alone cannot tell
    // whether the display is current.
    std::optional<uint8_t> displayedStatus_;
};

}  // namespace k5320::utility
