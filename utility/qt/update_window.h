// The firmware update dialog's widgets, bound to UpdateDialog, which does all the deciding: a
// progress bar, the Update button and a three-pane status bar.
#pragma once

#include <QDialog>
#include <QString>
#include <array>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "utility/main/main_view.h"
#include "utility/qt/qt_message_boxes.h"
#include "utility/update/update_dialog.h"
#include "utility/update/update_parts.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace k5320::utility {

// Returns the chosen file's full path, empty when cancelled; filter as UpdateView::choose_file.
using FileChooser = std::function<std::string(std::string_view filter)>;

// What the dialog is opened with besides its slot.
struct UpdateDialogParts {
    LoaderApi* loader = nullptr;     // required
    MessageBoxes* boxes = nullptr;   // none: the dialog's own modal boxes
    FileChooser choose_file;         // none: the platform's file-open dialog
    UpdateSystem* system = nullptr;  // none: the system's files, time zone and sleep
};

class UpdateWindow final : public QDialog, private UpdateView {
  public:
    UpdateWindow(uint16_t slot, const UpdateDialogParts& parts, QWidget* parent = nullptr);
    // Starts the firmware the module holds and releases the slot.
    ~UpdateWindow() override;

    // Runs the dialog's start-up and then, unless that ended the dialog, shows it modally.
    // Returns once the dialog has closed.
    void run();

    QString paneText(int pane) const;
    const QLabel* paneLabel(int pane) const { return panes_.at(static_cast<std::size_t>(pane)); }
    QProgressBar* progressBar() const { return progress_; }
    QPushButton* updateButton() const { return updateButton_; }
    const UpdateDialog& behaviour() const { return dialog_; }

  private:
    // UpdateView
    bool create_status_bar(std::span<const int> pane_widths) override;
    void set_pane_text(int pane, std::string_view text) override;
    void set_progress_range(int lowest, int highest) override;
    void set_progress_position(int position) override;
    std::string choose_file(std::string_view filter) override;
    void handle_one_pending_message() override;
    void end_dialog() override;

    std::unique_ptr<QtMessageBoxes> ownBoxes_;
    FileChooser chooser_;
    QProgressBar* progress_ = nullptr;
    QPushButton* updateButton_ = nullptr;
    // Widens the dialog where the panes, widened to their texts, need more than its template.
    void fitStatusBar();

    std::array<QLabel*, kUpdateStatusPaneWidths.size()> panes_{};
    std::array<int, kUpdateStatusPaneWidths.size()> paneWidths_{};
    QWidget* statusBar_ = nullptr;
    int templateWidth_ = 0;
    bool ended_ = false;  // closed before it was shown
    UpdateDialog dialog_;
};

}  // namespace k5320::utility
