// What the firmware update dialog's behaviour needs of the world, each behind a small interface:
// its window here, the library's loader calls, the firmware file and the clock in update/. The
// program uses the widget layer, the C API and the system's files; tests feed names, sizes,
// times and failures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "update/update_services.h"

namespace k5320::utility {

class UpdateView {
  public:
    virtual ~UpdateView() = default;

    // The status bar along the bottom edge with one pane per width (pixels); false when it
    // cannot be made.
    virtual bool create_status_bar(std::span<const int> pane_widths) = 0;
    virtual void set_pane_text(int pane, std::string_view text) = 0;
    virtual void set_progress_range(int lowest, int highest) = 0;
    virtual void set_progress_position(int position) = 0;
    // The platform's file-open dialog. filter: "Description|pattern" pairs. Returns the full
    // path of the chosen file, or an empty one when the operator cancels.
    virtual std::string choose_file(std::string_view filter) = 0;
    // Takes at most one waiting window message from the queue and handles it, so the window
    // stays painted while the download holds the thread.
    virtual void handle_one_pending_message() = 0;
    // Ends the dialog as if it had been cancelled.
    virtual void end_dialog() = 0;
};

// The firmware update's own parts, which the dialog shares with the command-line tool.
using update::CalendarTime;
using update::CApiLoader;
using update::FileStatus;
using update::FirmwareFile;
using update::LoaderApi;
using update::system_update_services;
using update::UpdateSystem;

}  // namespace k5320::utility
