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
    void setText(ControlId id, std::string_view text) override;
    void setTextLimit(ControlId id, int characters) override;
    void setEnabled(ControlId id, bool enabled) override;
    bool isChecked(ControlId id) const override;
    void setChecked(ControlId id, bool checked) override;
    void setChoices(ControlId id, std::span<const std::string_view> entries) override;
    int selectedIndex(ControlId id) const override;
    void selectIndex(ControlId id, int index) override;
    void showLamp(ControlId id, BitmapImage image) override;
    void setCaption(std::string_view caption) override;
    void setListColumns(std::span<const ListColumn> columns) override;
    void showMessageList(MessageList& list) override;
    void scrollListTo(int row) override;
    void startPollingTimer() override;
    void stopPollingTimer() override;
    void setInputPanelVisible(bool visible) override;
    void runLater(std::function<void()> task) override;

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
