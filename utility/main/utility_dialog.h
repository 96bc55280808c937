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

#include "utility/main/bus_health.h"
#include "utility/main/identifier_table.h"
#include "utility/main/main_view.h"
#include "utility/main/message_format.h"
#include "utility/main/message_list.h"
#include "utility/main/module_api.h"
#include "utility/main/receive_log.h"

namespace k5320::utility {

inline constexpr uint16_t kNoSlot = 0xFFFF;

// Bits of DialogState::buffer_alarm; each drives one lamp.
inline constexpr uint8_t kRxBufferAlarm = 1u << 0;
inline constexpr uint8_t kTxBufferAlarm = 1u << 1;

// State the dialog keeps beside its controls, shared with the receive monitor.
struct DialogState {
    uint16_t active_slot = kNoSlot;  // slot initialised last; the library always gets the low byte
    bool polling_active = false;
    uint32_t rx_count = 0;
    uint16_t row_count = 0;
    DisplayMode display_mode = DisplayMode::kHex;
    uint8_t buffer_alarm = 0;
    uint8_t last_status = 0;  // status byte last written into the display by a status read
    uint8_t last_tx_timeout = 0;
    bool show_on_list = false;
    bool log_open = false;
};

class UtilityDialog {
  public:
    UtilityDialog(MainView& view, ModuleApi& api, MessageBoxes& boxes,
                  FileServices& files = system_file_services());

    // After the window and its controls exist: lists, start-up texts and limits, the
    // not-initialised view.
    void start();
    // The window is being destroyed: release the module, close the log file and stop polling.
    void destroyed();

    // Control handlers.
    void initialize();
    void slot_chosen();
    void clear_status();
    void system_messages(bool on);
    void reset_counter();
    void soft_keyboard_clicked();
    // Update Firmware: stops polling, releases the active module and runs the firmware update
    // dialog for the selected slot (show_update_dialog returns once that dialog has closed), then
    // returns the window to the not-initialised view.
    void update_firmware(const std::function<void(uint16_t slot)>& show_update_dialog);
    void standard_id_chosen();
    void extended_id_chosen();
    void rtr_clicked();
    void send();
    void pause();
    void clear_list();
    void format_chosen(DisplayMode target);
    void show_on_list_clicked();
    void save_to_file_clicked();

    // One tick of the polling timer: the CAN status, the transmit time-out flag, and every
    // message waiting in the library, each listed, logged and counted. The rows and the count
    // reach the window with the next refresh_view.
    void poll_tick();
    // Shows what the ticks since the last refresh gathered: their rows in one insertion with
    // the newest in view, and the message count. The window calls it a few dozen times a
    // second: a saturated bus then costs one repaint of the list per refresh, not one per tick.
    void refresh_view();
    // Shows the bus's health over the seconds since the last call: the error state and
    // counters read from the module now, frames per second and bus load from the messages the
    // ticks received meanwhile. The window calls it once a second; nothing is read while
    // polling is stopped.
    void update_bus_health(double seconds);

    // Returns the window to the not-initialised view and stops polling. The list keeps its rows;
    // the next row goes to its top, numbered 000.
    void reset_module_view();
    // The lamp rule: repaints both lamps when flags differ from buffer_alarm, then stores them.
    void apply_buffer_alarm(uint8_t flags);
    // Writes a status byte read from the module into the status display when it changed.
    void show_status(uint8_t status);
    void start_polling();
    void stop_polling();

    const DialogState& state() const { return state_; }
    const MessageList& messages() const { return messages_; }
    const IdentifierTable& identifiers() const { return identifiers_; }
    // Where the log file is (or was last opened).
    const std::string& log_path() const { return log_.path(); }

  private:
    int selected_slot() const;
    uint8_t active_slot_byte() const;
    void set_module_controls_enabled(bool enabled);
    void set_both_lamps(BitmapImage image);
    void set_caption_for(uint32_t acc_code, uint32_t acc_mask, int baud_index);
    void report_error(std::string_view operation, int result);
    // A failing status, transmit-status or count read: the window goes back to the
    // not-initialised view, then the failure is reported.
    void fail_poll(std::string_view operation, int result);
    std::string application_name();
    void close_log();
    void clear_identifiers();
    void add_row(const ReceivedMessage& message);
    void log_message(const ReceivedMessage& message);
    // Puts the rows gathered so far into the list in one insertion and shows the newest.
    void flush_rows();

    MainView& view_;
    ModuleApi& api_;
    MessageBoxes& boxes_;
    FileServices& files_;
    DialogState state_;
    MessageList messages_;
    // Rows gathered by ticks since the last refresh, not yet in the list.
    std::vector<MessageRow> pendingRows_;
    IdentifierTable identifiers_;
    // Frames received by ticks since the last refresh, not yet in the view per identifier.
    std::vector<ReceivedMessage> pendingFrames_;
    // The count changed since the counter display was last written.
    bool counterStale_ = false;
    ReceiveLog log_;
    // The status byte the display shows, none while it shows a placeholder. Initialize and
    // ResetModuleView write the display without a status read, so last_status alone cannot tell
    // whether the display is current.
    std::optional<uint8_t> displayedStatus_;
    // Counts the stops of polling: a box a tick left for the event loop is shown only while
    // polling still runs as it did in that tick.
    unsigned pollingRun_ = 0;
    BusMeter busMeter_;
    // The bit rate set by the last Initialize, in bits per second; 0 for a user-defined timing.
    uint32_t bitRate_ = 0;
};

}  // namespace k5320::utility
