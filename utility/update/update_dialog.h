// Behaviour of the firmware update dialog: on opening it initialises the slot, puts the module
// into download mode and shows the firmware the module holds; Update reads a chosen file and
// downloads it block by block; closing starts the module's firmware and releases the slot. It
// knows no widgets: the widget layer forwards the dialog's events to it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "k5320.h"
#include "update/firmware_update.h"
#include "utility/main/main_view.h"
#include "utility/update/update_parts.h"

namespace k5320::utility {

inline constexpr std::array<int, 3> kUpdateStatusPaneWidths{140, 180, 140};
inline constexpr int kPaneName = 0;
inline constexpr int kPaneModified = 1;
inline constexpr int kPaneSize = 2;

// The dialog's template, in dialog units.
inline constexpr std::string_view kUpdateTitle = "Update";
inline constexpr int kUpdateDialogWidth = 235;
inline constexpr int kUpdateDialogHeight = 36;
inline constexpr std::string_view kUpdateFontFamily = "System";
inline constexpr int kUpdateFontPointSize = 10;
inline constexpr int kProgressBarId = 1052;
inline constexpr DialogRect kProgressBarRect{1, 7, 195, 13};
inline constexpr int kUpdateButtonId = 1053;
inline constexpr DialogRect kUpdateButtonRect{198, 7, 34, 12};
inline constexpr std::string_view kUpdateButtonText = "Update";

inline constexpr std::string_view kFirmwareFileFilter = "Execution Files (*.exe)|*.exe";

class UpdateDialog {
  public:
    // slot: the main dialog's choice, 1 to 7. program_name: the caption of the dialog's boxes
    // other than the two start-up errors.
    UpdateDialog(UpdateView& view, LoaderApi& loader, MessageBoxes& boxes, UpdateSystem& system,
                 uint16_t slot, std::string program_name);

    // After the dialog's controls exist, before it is shown.
    void start();
    // The Update button.
    void update();
    // The dialog is being destroyed, however it was closed.
    void destroyed();

    // The slot every library call goes to; kNoSlot once a download step has failed.
    uint16_t slot() const { return slot_; }
    bool downloading() const { return downloading_; }

  private:
    uint8_t slot_byte() const { return static_cast<uint8_t>(slot_); }
    void run_update();
    void fail_download_step(std::string_view message);
    void show_record(const FirmwareInfo& info, uint32_t size);
    void show_unknown(std::string_view name_text);

    UpdateView& view_;
    LoaderApi& loader_;
    MessageBoxes& boxes_;
    UpdateSystem& system_;
    uint16_t slot_;
    // The slot the dialog was opened on, which it gives up at the end whatever happened.
    const uint16_t openedSlot_;
    std::string program_name_;
    // Set while the Update handler runs: a click that the block loop's message handling lets
    // through must not start a second update on the same module.
    bool downloading_ = false;
};

}  // namespace k5320::utility
