// The main dialog's widgets: built from the dialog template, bound to UtilityDialog, which does
// all the deciding. This class only moves texts, states and clicks between the two.
#pragma once

#include <QDialog>
#include <QPixmap>
#include <QTimer>
#include <map>
#include <memory>

#include "utility/main/main_view.h"
#include "utility/main/module_api.h"
#include "utility/main/utility_dialog.h"
#include "utility/qt/message_list_model.h"
#include "utility/qt/qt_message_boxes.h"
#include "utility/qt/update_window.h"

namespace k5320::utility {

class UtilityWindow final : public QDialog, private MainView {
  public:
    // boxes: where message boxes go; without one the window shows its own modal boxes.
    explicit UtilityWindow(ModuleApi& api, MessageBoxes* boxes = nullptr,
                           QWidget* parent = nullptr);
    ~UtilityWindow() override;

    QWidget* control(ControlId id) const;
    const UtilityDialog& behaviour() const { return dialog_; }
    // Update Firmware opens the firmware update dialog with these parts; until they are set
    // the button does nothing.
    void setFirmwareUpdate(const UpdateDialogParts& parts) { updateParts_ = parts; }

  protected:
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void buildControls();
    void bindHandlers();
    void centreOnScreen();
    void openFirmwareUpdate();

    // MainView
    std::string text(ControlId id) const override;
    void set_text(ControlId id, std::string_view text) override;
    void set_text_limit(ControlId id, int characters) override;
    void set_enabled(ControlId id, bool enabled) override;
    bool is_checked(ControlId id) const override;
    void set_checked(ControlId id, bool checked) override;
    void set_choices(ControlId id, std::span<const std::string_view> entries) override;
    int selected_index(ControlId id) const override;
    void select_index(ControlId id, int index) override;
    void show_lamp(ControlId id, BitmapImage image) override;
    void set_caption(std::string_view caption) override;
    void set_list_columns(std::span<const ListColumn> columns) override;
    void show_message_list(MessageList& list) override;
    void scroll_list_to(int row) override;
    void start_polling_timer() override;
    void stop_polling_timer() override;
    void set_input_panel_visible(bool visible) override;
    void run_later(std::function<void()> task) override;

    std::unique_ptr<QtMessageBoxes> ownBoxes_;
    std::map<ControlId, QWidget*> controls_;
    MessageListModel listModel_;
    MessageListView* list_ = nullptr;
    QPixmap greenLamp_;
    QPixmap redLamp_;
    QTimer pollTimer_;
    QTimer refreshTimer_;
    UpdateDialogParts updateParts_;
    UtilityDialog dialog_;
};

}  // namespace k5320::utility
