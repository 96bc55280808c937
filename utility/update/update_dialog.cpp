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
        view_.setProgressRange(0, count - 1);
        view_.setProgressPosition(0);
    }
    void block(int index) override { view_.setProgressPosition(index); }
    void pause() override { view_.handleOnePendingMessage(); }

  private:
    UpdateView& view_;
};

}  // namespace

UpdateDialog::UpdateDialog(UpdateView& view, LoaderApi& loader, MessageBoxes& boxes,
                           UpdateSystem& system, uint16_t slot, std::string programName)
    : view_(view),
      loader_(loader),
      boxes_(boxes),
      system_(system),
      slot_(slot),
      openedSlot_(slot),
      programName_(std::move(programName)) {}

void UpdateDialog::start() {
    if (!view_.createStatusBar(kUpdateStatusPaneWidths)) {
        boxes_.show(programName_, kStatusBarFailed);
        view_.endDialog();
        return;
    }
    if (const update::OpenOutcome opened = update::open_loader(loader_, slotByte());
        opened.step != update::OpenStep::kOpened) {
        boxes_.show(kErrorCaption, update::open_failure_text(opened));
        view_.endDialog();
        return;
    }
    FirmwareInfo stored{};
    if (loader_.getFirmwareInfo(slotByte(), stored) == K5320_SUCCESS)
        showRecord(stored, stored.size);
    else
        showUnknown(kUnknownAtStart);
}

void UpdateDialog::update() {
    if (downloading_) return;
    struct Running {
        bool& flag;
        explicit Running(bool& f) : flag(f) { flag = true; }
        ~Running() { flag = false; }
    } running(downloading_);
    runUpdate();
}

void UpdateDialog::destroyed() {
    const bool failed = slot_ == kNoSlot;
    update::close_loader(loader_, static_cast<uint8_t>(failed ? openedSlot_ : slot_), failed);
}

void UpdateDialog::runUpdate() {
    const std::string path = view_.chooseFile(kFirmwareFileFilter);
    if (path.empty()) return;
    std::variant<update::FirmwareImage, update::UpdateOutcome> image =
        update::read_firmware_image(system_, loader_, path);
    if (const auto* refused = std::get_if<update::UpdateOutcome>(&image)) {
        boxes_.show(programName_, update::outcome_text(*refused, path));
        return;
    }
    BarProgress progress(view_);
    const uint32_t size = std::get<update::FirmwareImage>(image).info.size;
    const update::DownloadResult result = update::download_firmware(
        loader_, system_, slotByte(), std::move(std::get<update::FirmwareImage>(image)), progress);
    if (update::download_step_failed(result.outcome)) {
        failDownloadStep(update::outcome_text(result.outcome, path));
        return;
    }
    if (result.stored)
        showRecord(*result.stored, size);
    else
        showUnknown(kUnknownAfterDownload);
    boxes_.show(programName_, update::outcome_text(result.outcome, path));
    view_.setProgressPosition(0);
    view_.endDialog();
}

void UpdateDialog::failDownloadStep(std::string_view message) {
    boxes_.show(programName_, message);
    view_.setProgressPosition(0);
    system_.sleepMs(kStepPauseMs);
    // Every later call of this dialog is refused by the library, so a module whose firmware
    // may be gone is not told to start it.
    slot_ = kNoSlot;
}

void UpdateDialog::showRecord(const FirmwareInfo& info, uint32_t size) {
    view_.setPaneText(kPaneName, update::firmware_name_text(info));
    view_.setPaneText(kPaneModified, update::modified_text(info));
    view_.setPaneText(kPaneSize, update::size_text(size));
}

void UpdateDialog::showUnknown(std::string_view nameText) {
    view_.setPaneText(kPaneName, nameText);
    view_.setPaneText(kPaneModified, kModifiedUnknown);
    view_.setPaneText(kPaneSize, kSizeUnknown);
}

}  // namespace k5320::utility
