#include "utility/qt/utility_window.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputMethod>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QResizeEvent>
#include <QScreen>
#include <QTableView>
#include <algorithm>

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
constexpr int kBusHealthPeriodMs = 1000;
constexpr double kMsPerSecond = 1000;
// Room beside a header's or a cell's text: the section's margins and its sort indicator's place.
constexpr int kColumnTextPadding = 12;
// Share of the status line's width each field takes: settings, bus health, log file.
constexpr std::array<int, 3> kStatusFieldStretch{2, 3, 3};
constexpr int kStatusMargin = 2;

QString fromView(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The template's widths, widened where the font in use needs more for the heading or the widest
// value. With stretch_last, the last column takes what room is left.
void fitColumns(QTableView* view, std::span<const ListColumn> columns, bool stretch_last) {
    const QFontMetrics cells(view->font());
    const QFontMetrics headings(view->horizontalHeader()->font());
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const int needed = std::max(headings.horizontalAdvance(fromView(columns[i].heading)),
                                    cells.horizontalAdvance(fromView(columns[i].widest))) +
                           kColumnTextPadding;
        view->setColumnWidth(static_cast<int>(i), std::max(columns[i].width, needed));
    }
    view->horizontalHeader()->setStretchLastSection(stretch_last);
}

// A table view set up as the message list is: centred headings, whole rows selected, rows of one
// height (the view places a row without measuring the others).
void setUpTable(QTableView* view, const QFontMetrics& metrics) {
    view->verticalHeader()->hide();
    view->horizontalHeader()->setDefaultAlignment(Qt::AlignCenter);
    view->horizontalHeader()->setHighlightSections(false);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setWordWrap(false);
    view->setShowGrid(false);
    view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view->verticalHeader()->setDefaultSectionSize(metrics.height() + kRowPadding);
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
    buildStatusLine();
    pollTimer_.setInterval(kPollingPeriodMs);
    // A coarse timer may let a 1 ms period slip by up to 5 %, and on a busy bus every tick
    // counts.
    pollTimer_.setTimerType(Qt::PreciseTimer);
    refreshTimer_.setInterval(kViewRefreshMs);
    healthTimer_.setInterval(kBusHealthPeriodMs);
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
    identifierView_->setModel(nullptr);
    identifierModel_.bind(nullptr);
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
    templateSize_ = QSize(size.width, size.height);

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
                setUpTable(list_, metrics);
                widget = list_;
                break;
            }
        }
        widget->setGeometry(place.x, place.y, place.width, place.height);
        placements_.push_back({widget, widget->geometry()});
        if (item.kind == ControlKind::kReportList) {
            listTop_ = widget->geometry().top();
            buildIdentifierView(metrics);
        }
        if (item.id != ControlId::kLabel) {
            widget->setObjectName(QStringLiteral("control%1").arg(static_cast<int>(item.id)));
            controls_[item.id] = widget;
        }
    }
}

void UtilityWindow::buildIdentifierView(const QFontMetrics& metrics) {
    identifierView_ = new QTableView(this);
    identifierView_->setObjectName(QStringLiteral("identifierView"));
    identifierView_->setModel(&identifierModel_);
    setUpTable(identifierView_, metrics);
    identifierModel_.setColumns(identifier_columns());
    // Its last column is a data byte: stretched, it would stand apart from the others.
    fitColumns(identifierView_, identifier_columns(), false);
    identifierView_->setGeometry(list_->geometry());
    identifierView_->hide();
    placements_.push_back({identifierView_, list_->geometry()});
}

void UtilityWindow::showIdentifierView(bool shown) {
    identifierView_->setVisible(shown);
    list_->setVisible(!shown);
}

void UtilityWindow::buildStatusLine() {
    statusLine_ = new QWidget(this);
    statusLine_->setObjectName(QStringLiteral("statusLine"));
    auto* layout = new QHBoxLayout(statusLine_);
    layout->setContentsMargins(kStatusMargin, kStatusMargin, kStatusMargin, kStatusMargin);
    auto* toggle = new QCheckBox(QStringLiteral("Per ID"), statusLine_);
    toggle->setObjectName(QStringLiteral("identifierToggle"));
    toggle->setToolTip(QStringLiteral("One row per identifier in the list's place"));
    connect(toggle, &QCheckBox::toggled, this, [this](bool on) { showIdentifierView(on); });
    identifierToggle_ = toggle;
    layout->addWidget(toggle);
    for (std::size_t i = 0; i < statusFields_.size(); ++i) {
        auto* field = new QLabel(statusLine_);
        field->setTextFormat(Qt::PlainText);
        field->setFrameShape(QFrame::Panel);
        field->setFrameShadow(QFrame::Sunken);
        // A field never widens the window: a long text is cut, and its tip shows it whole.
        field->setMinimumWidth(0);
        field->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        layout->addWidget(field, kStatusFieldStretch[i]);
        statusFields_[i] = field;
    }
    const int lineHeight = statusLine_->sizeHint().height();
    setMinimumSize(templateSize_.width(), templateSize_.height() + lineHeight);
    resize(minimumSize());
}

void UtilityWindow::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    placeControls();
}

void UtilityWindow::placeControls() {
    if (statusLine_ == nullptr) return;
    const int lineHeight = minimumHeight() - templateSize_.height();
    const int grownWidth = width() - templateSize_.width();
    const int grownHeight = height() - minimumHeight();
    for (const Placement& placement : placements_) {
        QRect place = placement.place;
        if (placement.widget == list_ || placement.widget == identifierView_)
            place.adjust(0, 0, grownWidth, grownHeight);
        else if (place.top() > listTop_)
            place.translate(0, grownHeight);
        placement.widget->setGeometry(place);
    }
    statusLine_->setGeometry(0, height() - lineHeight, width(), lineHeight);
}

QString UtilityWindow::statusText(StatusField field) const {
    return statusFields_.at(static_cast<std::size_t>(field))->text();
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
    // The rates are over the time that really passed: a busy window's timer comes late.
    connect(&healthTimer_, &QTimer::timeout, this, [this] {
        dialog_.update_bus_health(static_cast<double>(sinceHealth_.restart()) / kMsPerSecond);
    });
    healthTimer_.start();
    sinceHealth_.start();
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

void UtilityWindow::set_tool_tip(ControlId id, std::string_view text) {
    if (QWidget* widget = control(id)) widget->setToolTip(fromView(text));
}

void UtilityWindow::set_caption(std::string_view caption) {
    setWindowTitle(fromView(caption));
}

void UtilityWindow::set_status_text(StatusField field, std::string_view text) {
    QLabel* label = statusFields_.at(static_cast<std::size_t>(field));
    label->setText(fromView(text));
    label->setToolTip(label->text());
}

void UtilityWindow::set_list_columns(std::span<const ListColumn> columns) {
    listModel_.setColumns(columns);
    fitColumns(list_, columns, true);
}

void UtilityWindow::show_message_list(MessageList& list) {
    listModel_.bind(&list);
}

void UtilityWindow::show_identifier_table(IdentifierTable& table) {
    identifierModel_.bind(&table);
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

bool UtilityWindow::input_panel_available() {
    // Qt tells no more than whether a panel it asked for is showing: a desktop without one
    // never shows it.
    QInputMethod* panel = QGuiApplication::inputMethod();
    if (panel->isVisible()) return true;
    panel->show();
    const bool shown = panel->isVisible();
    panel->hide();
    return shown;
}

void UtilityWindow::set_input_panel_visible(bool visible) {
    QGuiApplication::inputMethod()->setVisible(visible);
}

void UtilityWindow::run_later(std::function<void()> task) {
    // Dropped with the window if it is destroyed first.
    QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
}

}  // namespace k5320::utility
