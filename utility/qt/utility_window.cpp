#include "utility/qt/utility_window.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QInputMethod>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QTableView>

#include "utility/main/dialog_units.h"
#include "utility/main/lamp_image.h"
#include "utility/qt/images.h"

namespace k5320::utility {
namespace {

constexpr int kPollingPeriodMs = 1;
// Space above and below a list row's text.
constexpr int kRowPadding = 4;
// How often received rows and the count are brought to the screen: about as often as a display
// shows a new picture, far less often than the 1 ms ticks.
constexpr int kViewRefreshMs = 20;

QString fromView(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

template <typename Widget>
Widget* as(QWidget* widget) {
    return qobject_cast<Widget*>(widget);
}

Qt::Alignment editAlignment(unsigned style) {
    if ((style & kStyleAlignRight) != 0) return Qt::AlignRight | Qt::AlignVCenter;
    if ((style & kStyleAlignCenter) != 0) return Qt::AlignCenter;
    return Qt::AlignLeft | Qt::AlignVCenter;
}

}  // namespace

UtilityWindow::UtilityWindow(ModuleApi& api, MessageBoxes* boxes, QWidget* parent)
    : QDialog(parent),
      ownBoxes_(boxes == nullptr ? std::make_unique<QtMessageBoxes>(this) : nullptr),
      dialog_(*this, api, boxes == nullptr ? *ownBoxes_ : *boxes) {
    setWindowIcon(mainIcon());
    buildControls();
    pollTimer_.setInterval(kPollingPeriodMs);
    // A coarse timer may let a 1 ms period slip by up to 5 %, and on a busy bus every tick
    // counts.
    pollTimer_.setTimerType(Qt::PreciseTimer);
    refreshTimer_.setInterval(kViewRefreshMs);
    bindHandlers();
    centreOnScreen();
    dialog_.start();
}

UtilityWindow::~UtilityWindow() {
    dialog_.destroyed();
    // The list view outlives the members: it must not read the model, or the model the
    // dialog's rows, once they are gone.
    list_->setModel(nullptr);
    listModel_.bind(nullptr);
}

QWidget* UtilityWindow::control(ControlId id) const {
    const auto found = controls_.find(id);
    return found == controls_.end() ? nullptr : found->second;
}

void UtilityWindow::keyPressEvent(QKeyEvent* event) {
    // The dialog has no OK button of its own: Enter ends it, as Escape does, unless a button
    // has the focus and takes the key itself.
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && qobject_cast<QPushButton*>(focusWidget()) == nullptr) {
        accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void UtilityWindow::buildControls() {
    const DialogTemplate& dialog = main_dialog_template();
    QFont font(fromView(dialog.font_family), dialog.font_point_size);
    setFont(font);
    const QFontMetrics metrics(font);
    const DialogBaseUnits base =
        base_units_of(metrics.horizontalAdvance(fromView(kAverageWidthSample)), metrics.height());
    const DialogRect size = to_pixels({0, 0, dialog.width, dialog.height}, base);
    setFixedSize(size.width, size.height);

    greenLamp_ = lampPixmap(BitmapImage::kGreenLamp);
    redLamp_ = lampPixmap(BitmapImage::kRedLamp);

    QButtonGroup* radioGroup = nullptr;
    for (const DialogItem& item : dialog.items) {
        DialogRect place = to_pixels(item.rect, base);
        const QString text = fromView(item.text);
        QWidget* widget = nullptr;
        switch (item.kind) {
            case ControlKind::kLabel: {
                auto* label = new QLabel(text, this);
                label->setTextFormat(Qt::PlainText);
                widget = label;
                break;
            }
            case ControlKind::kGroupFrame: {
                // A group frame is a plain line around its area with the title set into the
                // top line, as dialog templates draw it; the style's own frame is often too
                // faint to see.
                auto* frame = new QGroupBox(text, this);
                frame->setStyleSheet(
                    QStringLiteral(
                        "QGroupBox { border: 1px solid palette(dark); margin-top: %1px; }"
                        "QGroupBox::title { subcontrol-origin: margin; left: 4px;"
                        " padding: 0 2px; }")
                        .arg(metrics.height() / 2));
                widget = frame;
                break;
            }
            case ControlKind::kButton:
                widget = new QPushButton(text, this);
                break;
            case ControlKind::kEdit: {
                auto* edit = new QLineEdit(text, this);
                edit->setAlignment(editAlignment(item.style));
                if ((item.style & kStyleDigitsOnly) != 0) {
                    edit->setValidator(new QRegularExpressionValidator(
                        QRegularExpression(QStringLiteral("[0-9]*")), edit));
                }
                widget = edit;
                break;
            }
            case ControlKind::kDropDownList: {
                // The template's height includes the opened list; closed, the box is as high
                // as its font needs.
                auto* combo = new QComboBox(this);
                place.height = combo->sizeHint().height();
                widget = combo;
                break;
            }
            case ControlKind::kRadioButton: {
                auto* radio = new QRadioButton(text, this);
                if ((item.style & kStyleFirstOfGroup) != 0 || radioGroup == nullptr)
                    radioGroup = new QButtonGroup(this);
                radioGroup->addButton(radio);
                widget = radio;
                break;
            }
            case ControlKind::kCheckBox:
                widget = new QCheckBox(text, this);
                break;
            case ControlKind::kBitmap: {
                // A bitmap control takes the size of its image.
                auto* lamp = new QLabel(this);
                lamp->setPixmap(lampPixmap(item.image));
                place.width = kLampSize;
                place.height = kLampSize;
                widget = lamp;
                break;
            }
            case ControlKind::kReportList: {
                list_ = new MessageListView(this);
                list_->setModel(&listModel_);
                list_->verticalHeader()->hide();
                list_->horizontalHeader()->setDefaultAlignment(Qt::AlignCenter);
                list_->horizontalHeader()->setHighlightSections(false);
                list_->setSelectionBehavior(QAbstractItemView::SelectRows);
                list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
                list_->setWordWrap(false);
                list_->setShowGrid(false);
                // Rows of one height: the view places a row without measuring the others.
                list_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
                list_->verticalHeader()->setDefaultSectionSize(metrics.height() + kRowPadding);
                widget = list_;
                break;
            }
        }
        widget->setGeometry(place.x, place.y, place.width, place.height);
        if (item.id != ControlId::kLabel) {
            widget->setObjectName(QStringLiteral("control%1").arg(static_cast<int>(item.id)));
            controls_[item.id] = widget;
        }
    }
}

void UtilityWindow::bindHandlers() {
    const auto onClick = [this](ControlId id, auto handler) {
        connect(as<QAbstractButton>(control(id)), &QAbstractButton::clicked, this, handler);
    };
    onClick(ControlId::kInitialize, [this] { dialog_.initialize(); });
    onClick(ControlId::kClearStatus, [this] { dialog_.clear_status(); });
    onClick(ControlId::kEnableSysMsg, [this] { dialog_.system_messages(true); });
    onClick(ControlId::kDisableSysMsg, [this] { dialog_.system_messages(false); });
    onClick(ControlId::kResetCounter, [this] { dialog_.reset_counter(); });
    onClick(ControlId::kSoftKeyboard, [this] { dialog_.soft_keyboard_clicked(); });
    onClick(ControlId::kStandardId, [this] { dialog_.standard_id_chosen(); });
    onClick(ControlId::kExtendedId, [this] { dialog_.extended_id_chosen(); });
    onClick(ControlId::kRtr, [this] { dialog_.rtr_clicked(); });
    onClick(ControlId::kSend, [this] { dialog_.send(); });
    onClick(ControlId::kPause, [this] { dialog_.pause(); });
    onClick(ControlId::kClear, [this] { dialog_.clear_list(); });
    onClick(ControlId::kFormatHex, [this] { dialog_.format_chosen(DisplayMode::kHex); });
    onClick(ControlId::kFormatDec, [this] { dialog_.format_chosen(DisplayMode::kDec); });
    onClick(ControlId::kFormatAscii, [this] { dialog_.format_chosen(DisplayMode::kAscii); });
    onClick(ControlId::kShowOnList, [this] { dialog_.show_on_list_clicked(); });
    onClick(ControlId::kSaveToFile, [this] { dialog_.save_to_file_clicked(); });
    onClick(ControlId::kUpdateFirmware, [this] { openFirmwareUpdate(); });
    connect(as<QComboBox>(control(ControlId::kSlot)), &QComboBox::activated, this,
            [this] { dialog_.slot_chosen(); });
    connect(&pollTimer_, &QTimer::timeout, this, [this] { dialog_.poll_tick(); });
    connect(&refreshTimer_, &QTimer::timeout, this, [this] { dialog_.refresh_view(); });
    refreshTimer_.start();
}

void UtilityWindow::centreOnScreen() {
    if (const QScreen* display = screen(); display != nullptr)
        move(display->availableGeometry().center() - rect().center());
}

void UtilityWindow::openFirmwareUpdate() {
    if (updateParts_.loader == nullptr) return;
    dialog_.update_firmware([this](uint16_t slot) {
        UpdateWindow update(slot, updateParts_, this);
        update.run();
    });
}

std::string UtilityWindow::text(ControlId id) const {
    QWidget* widget = control(id);
    if (auto* edit = as<QLineEdit>(widget)) return edit->text().toStdString();
    if (auto* label = as<QLabel>(widget)) return label->text().toStdString();
    if (auto* button = as<QAbstractButton>(widget)) return button->text().toStdString();
    if (auto* combo = as<QComboBox>(widget)) return combo->currentText().toStdString();
    return {};
}

void UtilityWindow::set_text(ControlId id, std::string_view text) {
    QWidget* widget = control(id);
    if (auto* edit = as<QLineEdit>(widget)) edit->setText(fromView(text));
    if (auto* label = as<QLabel>(widget)) label->setText(fromView(text));
    if (auto* button = as<QAbstractButton>(widget)) button->setText(fromView(text));
}

void UtilityWindow::set_text_limit(ControlId id, int characters) {
    if (auto* edit = as<QLineEdit>(control(id))) edit->setMaxLength(characters);
}

void UtilityWindow::set_enabled(ControlId id, bool enabled) {
    if (QWidget* widget = control(id)) widget->setEnabled(enabled);
}

bool UtilityWindow::is_checked(ControlId id) const {
    const auto* button = as<QAbstractButton>(control(id));
    return button != nullptr && button->isChecked();
}

void UtilityWindow::set_checked(ControlId id, bool checked) {
    if (auto* button = as<QAbstractButton>(control(id))) button->setChecked(checked);
}

void UtilityWindow::set_choices(ControlId id, std::span<const std::string_view> entries) {
    auto* combo = as<QComboBox>(control(id));
    if (combo == nullptr) return;
    combo->clear();
    for (const std::string_view entry : entries) combo->addItem(fromView(entry));
}

int UtilityWindow::selected_index(ControlId id) const {
    const auto* combo = as<QComboBox>(control(id));
    return combo == nullptr ? -1 : combo->currentIndex();
}

void UtilityWindow::select_index(ControlId id, int index) {
    if (auto* combo = as<QComboBox>(control(id))) combo->setCurrentIndex(index);
}

void UtilityWindow::show_lamp(ControlId id, BitmapImage image) {
    auto* lamp = as<QLabel>(control(id));
    if (lamp == nullptr) return;
    if (image == BitmapImage::kGreenLamp)
        lamp->setPixmap(greenLamp_);
    else if (image == BitmapImage::kRedLamp)
        lamp->setPixmap(redLamp_);
    else
        lamp->clear();
    lamp->repaint();
}

void UtilityWindow::set_caption(std::string_view caption) {
    setWindowTitle(fromView(caption));
}

void UtilityWindow::set_list_columns(std::span<const ListColumn> columns) {
    listModel_.setColumns(columns);
    for (std::size_t i = 0; i < columns.size(); ++i)
        list_->setColumnWidth(static_cast<int>(i), columns[i].width);
}

void UtilityWindow::show_message_list(MessageList& list) {
    listModel_.bind(&list);
}

void UtilityWindow::scroll_list_to(int row) {
    list_->showRow(row);
}

void UtilityWindow::start_polling_timer() {
    pollTimer_.start();
}

void UtilityWindow::stop_polling_timer() {
    pollTimer_.stop();
}

void UtilityWindow::set_input_panel_visible(bool visible) {
    QGuiApplication::inputMethod()->setVisible(visible);
}

void UtilityWindow::run_later(std::function<void()> task) {
    // Dropped with the window if it is destroyed first.
    QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
}

}  // namespace k5320::utility
