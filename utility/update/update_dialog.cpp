#include "utility/update/update_dialog.h"

#include <utility>
#include <variant>

#include "k5320_result.h"
#include "utility/main/utility_dialog.h"

namespace k5320::utility {
namespace {

constexpr std::string_view kErrorCaption = "Error";

// The loop sleeps this long after a failed step.
constexpr uint32_t kStepPauseMs = 1;

constexpr std::string_view kUnknownAtStart = "Firmware Unknown";
constexpr std::string_view kUnknownAfterDownload = "Firmware: Unknown";
constexpr std::string_view kModifiedUnknown = "Modified: --------";
constexpr std::string_view kSizeUnknown = "Size: --------";

constexpr std::string_view kStatusBarFailed = "Create status bar fail!";

// The download's progress on the dialog's bar, with the window's messages handled between steps.
class BarProgress final : public update::DownloadProgress {
  public:
    explicit BarProgress(UpdateView& view) : view_(view) {}
    void blocks(int count) override {
        view_.set_progress_range(0, count - 1);
        view_.set_progress_position(0);
    }
    void block(int index) override { view_.set_progress_position(index); }
    void pause() override { view_.handle_one_pending_message(); }

  private:
    UpdateView& view_;
};

}  // namespace

UpdateDialog::UpdateDialog(UpdateView& view, LoaderApi& loader, MessageBoxes& boxes,
                           UpdateSystem& system, uint16_t slot, std::string program_name)
    : view_(view),
      loader_(loader),
      boxes_(boxes),
      system_(system),
      slot_(slot),
      openedSlot_(slot),
      program_name_(std::move(program_name)) {}

void UpdateDialog::start() {
    if (!view_.create_status_bar(kUpdateStatusPaneWidths)) {
        boxes_.show(program_name_, kStatusBarFailed);
        view_.end_dialog();
        return;
    }
    if (const update::OpenOutcome opened = update::open_loader(loader_, slot_byte());
        opened.step != update::OpenStep::kOpened) {
        boxes_.show(kErrorCaption, update::open_failure_text(opened));
        view_.end_dialog();
        return;
    }
    FirmwareInfo stored{};
    if (loader_.get_firmware_info(slot_byte(), stored) == K5320_SUCCESS)
        show_record(stored, stored.size);
    else
        show_unknown(kUnknownAtStart);
}

void UpdateDialog::update() {
    if (downloading_) return;
    struct Running {
        bool& flag;
        explicit Running(bool& f) : flag(f) { flag = true; }
        ~Running() { flag = false; }
    } running(downloading_);
    run_update();
}

void UpdateDialog::destroyed() {
    const bool failed = slot_ == kNoSlot;
    update::close_loader(loader_, static_cast<uint8_t>(failed ? openedSlot_ : slot_), failed);
}

void UpdateDialog::run_update() {
    const std::string path = view_.choose_file(kFirmwareFileFilter);
    if (path.empty()) return;
    std::variant<update::FirmwareImage, update::UpdateOutcome> image =
        update::read_firmware_image(system_, loader_, path);
    if (const auto* refused = std::get_if<update::UpdateOutcome>(&image)) {
        boxes_.show(program_name_, update::outcome_text(*refused, path));
        return;
    }
    BarProgress progress(view_);
    const uint32_t size = std::get<update::FirmwareImage>(image).info.size;
    const update::DownloadResult result = update::download_firmware(
        loader_, system_, slot_byte(), std::move(std::get<update::FirmwareImage>(image)), progress);
    if (update::download_step_failed(result.outcome)) {
        fail_download_step(update::outcome_text(result.outcome, path));
        return;
    }
    if (result.stored)
        show_record(*result.stored, size);
    else
        show_unknown(kUnknownAfterDownload);
    boxes_.show(program_name_, update::outcome_text(result.outcome, path));
    view_.set_progress_position(0);
    view_.end_dialog();
}

void UpdateDialog::fail_download_step(std::string_view message) {
    boxes_.show(program_name_, message);
    view_.set_progress_position(0);
    system_.sleep_ms(kStepPauseMs);
    // Every later call of this dialog is refused by the library, so a module whose firmware
    // may be gone is not told to start it.
    slot_ = kNoSlot;
}

void UpdateDialog::show_record(const FirmwareInfo& info, uint32_t size) {
    view_.set_pane_text(kPaneName, update::firmware_name_text(info));
    view_.set_pane_text(kPaneModified, update::modified_text(info));
    view_.set_pane_text(kPaneSize, update::size_text(size));
}

void UpdateDialog::show_unknown(std::string_view name_text) {
    view_.set_pane_text(kPaneName, name_text);
    view_.set_pane_text(kPaneModified, kModifiedUnknown);
    view_.set_pane_text(kPaneSize, kSizeUnknown);
}

}  // namespace k5320::utility
