// What the main dialog's behaviour needs of its window, and the one way it shows message boxes.
// The widget layer implements both; tests implement them with plain records.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "utility/main/dialog_ids.h"
#include "utility/main/dialog_template.h"
#include "utility/main/identifier_table.h"
#include "utility/main/message_list.h"

namespace k5320::utility {

// The lines the window shows beside its template: the settings the caption carries (a window
// manager may cut the caption), the bus's health and where the log goes.
enum class StatusField { kSettings, kBusHealth, kLogFile };

class MainView {
  public:
    virtual ~MainView() = default;

    virtual std::string text(ControlId id) const = 0;
    virtual void set_text(ControlId id, std::string_view text) = 0;
    virtual void set_text_limit(ControlId id, int characters) = 0;
    virtual void set_enabled(ControlId id, bool enabled) = 0;
    virtual bool is_checked(ControlId id) const = 0;
    virtual void set_checked(ControlId id, bool checked) = 0;
    virtual void set_tool_tip(ControlId id, std::string_view text) = 0;

    // Drop-down lists: the entries, and the index of the selected one.
    virtual void set_choices(ControlId id, std::span<const std::string_view> entries) = 0;
    virtual int selected_index(ControlId id) const = 0;
    virtual void select_index(ControlId id, int index) = 0;

    // A lamp shows the green or the red image, or nothing (BitmapImage::kNone); it is repainted
    // at once.
    virtual void show_lamp(ControlId id, BitmapImage image) = 0;

    virtual void set_caption(std::string_view caption) = 0;
    virtual void set_status_text(StatusField field, std::string_view text) = 0;
    virtual void set_list_columns(std::span<const ListColumn> columns) = 0;
    // The message list shows the rows of list, which announces each change to the view; the
    // list outlives the view's use of it.
    virtual void show_message_list(MessageList& list) = 0;
    // The view per identifier shows the rows of table, which announces each change; the table
    // outlives the view's use of it.
    virtual void show_identifier_table(IdentifierTable& table) = 0;
    // Scrolls the message list so that the row is in view.
    virtual void scroll_list_to(int row) = 0;

    // The 1 ms polling timer; each tick calls UtilityDialog::poll_tick.
    virtual void start_polling_timer() = 0;
    virtual void stop_polling_timer() = 0;

    // The platform's on-screen keyboard, where the desktop has one.
    virtual bool input_panel_available() = 0;
    virtual void set_input_panel_visible(bool visible) = 0;

    // Runs task from the window's event loop once the current handler has returned. A box shown
    // this way lets the polling timer go on ticking while it is open.
    virtual void run_later(std::function<void()> task) = 0;
};

// Every box the dialog shows is modal with a single OK button; show returns once it is closed.
class MessageBoxes {
  public:
    virtual ~MessageBoxes() = default;
    virtual void show(std::string_view caption, std::string_view text) = 0;
};

}  // namespace k5320::utility
