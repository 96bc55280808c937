// The main dialog's widgets: built from the dialog template, bound to UtilityDialog, which does
// all the deciding. This class only moves texts, states and clicks between the two.
//
// At its smallest the window is the template with a status line below it: every control where
// the template puts it. Grown, the message list takes the extra room; the controls below the list
// keep their distance to the window's bottom, the others their place.
#pragma once

#include <QAbstractButton>
#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QPixmap>
#include <QTableView>
#include <QTimer>
#include <array>
#include <map>
#include <memory>
#include <vector>

#include "utility/main/main_view.h"
#include "utility/main/module_api.h"
#include "utility/main/utility_dialog.h"
#include "utility/qt/identifier_model.h"
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

    QString statusText(StatusField field) const;
    // The view per identifier, which the toggle below the list shows in the list's place.
    QTableView* identifierView() const { return identifierView_; }
    QAbstractButton* identifierToggle() const { return identifierToggle_; }

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    // A control and where the template puts it, in pixels.
    struct Placement {
        QWidget* widget;
        QRect place;
    };

    void buildControls();
    void buildStatusLine();
    void buildIdentifierView(const QFontMetrics& metrics);
    void showIdentifierView(bool shown);
    void placeControls();
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
    void set_tool_tip(ControlId id, std::string_view text) override;
    void set_choices(ControlId id, std::span<const std::string_view> entries) override;
    int selected_index(ControlId id) const override;
    void select_index(ControlId id, int index) override;
    void show_lamp(ControlId id, BitmapImage image) override;
    void set_caption(std::string_view caption) override;
    void set_status_text(StatusField field, std::string_view text) override;
    void set_list_columns(std::span<const ListColumn> columns) override;
    void show_message_list(MessageList& list) override;
    void show_identifier_table(IdentifierTable& table) override;
    void scroll_list_to(int row) override;
    void start_polling_timer() override;
    void stop_polling_timer() override;
    bool input_panel_available() override;
    void set_input_panel_visible(bool visible) override;
    void run_later(std::function<void()> task) override;

    std::unique_ptr<QtMessageBoxes> ownBoxes_;
    std::map<ControlId, QWidget*> controls_;
    MessageListModel listModel_;
    MessageListView* list_ = nullptr;
    IdentifierModel identifierModel_;
    QTableView* identifierView_ = nullptr;
    QAbstractButton* identifierToggle_ = nullptr;
    std::vector<Placement> placements_;
    QSize templateSize_;
    int listTop_ = 0;  // where the template puts the list's top; below it, controls move down
    QWidget* statusLine_ = nullptr;
    std::array<QLabel*, 3> statusFields_{};
    QPixmap greenLamp_;
    QPixmap redLamp_;
    QTimer pollTimer_;
    QTimer refreshTimer_;
    QTimer healthTimer_;
    QElapsedTimer sinceHealth_;
    UpdateDialogParts updateParts_;
    UtilityDialog dialog_;
};

}  // namespace k5320::utility
