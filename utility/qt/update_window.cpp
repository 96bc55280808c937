#include "utility/qt/update_window.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileDialog>
#include <QFontMetrics>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QStringList>
#include <algorithm>

#include "utility/main/dialog_units.h"
#include "utility/qt/images.h"

namespace k5320::utility {
namespace {

QString fromView(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// "Description|pattern|..." pairs as Qt's "Description (pattern);;..." filters.
QString qtFilter(std::string_view filter) {
    const QStringList parts = fromView(filter).split(QLatin1Char('|'), Qt::SkipEmptyParts);
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString patterns = QLatin1Char('(') + parts[i + 1] + QLatin1Char(')');
        filters << (parts[i].contains(patterns) ? parts[i]
                                                : parts[i] + QLatin1Char(' ') + patterns);
    }
    return filters.join(QStringLiteral(";;"));
}

QWidget* placed(QWidget* widget, const DialogRect& units, DialogBaseUnits base, int id) {
    const DialogRect place = to_pixels(units, base);
    widget->setGeometry(place.x, place.y, place.width, place.height);
    widget->setObjectName(QStringLiteral("control%1").arg(id));
    return widget;
}

}  // namespace

UpdateWindow::UpdateWindow(uint16_t slot, const UpdateDialogParts& parts, QWidget* parent)
    : QDialog(parent),
      ownBoxes_(parts.boxes == nullptr ? std::make_unique<QtMessageBoxes>(this) : nullptr),
      chooser_(parts.choose_file),
      dialog_(*this, *parts.loader, parts.boxes == nullptr ? *ownBoxes_ : *parts.boxes,
              parts.system == nullptr ? system_update_services() : *parts.system, slot,
              QCoreApplication::applicationName().toStdString()) {
    setWindowTitle(fromView(kUpdateTitle));
    setWindowIcon(mainIcon());
    const QFont font(fromView(kUpdateFontFamily), kUpdateFontPointSize);
    setFont(font);
    const QFontMetrics metrics(font);
    const DialogBaseUnits base =
        base_units_of(metrics.horizontalAdvance(fromView(kAverageWidthSample)), metrics.height());
    const DialogRect size = to_pixels({0, 0, kUpdateDialogWidth, kUpdateDialogHeight}, base);
    setFixedSize(size.width, size.height);
    templateWidth_ = size.width;

    progress_ = new QProgressBar(this);
    progress_->setTextVisible(false);
    progress_->setValue(0);
    placed(progress_, kProgressBarRect, base, kProgressBarId);
    updateButton_ = new QPushButton(fromView(kUpdateButtonText), this);
    updateButton_->setAutoDefault(false);
    placed(updateButton_, kUpdateButtonRect, base, kUpdateButtonId);
    connect(updateButton_, &QPushButton::clicked, this, [this] { dialog_.update(); });
}

UpdateWindow::~UpdateWindow() {
    dialog_.destroyed();
}

void UpdateWindow::run() {
    dialog_.start();
    if (!ended_) exec();
}

QString UpdateWindow::paneText(int pane) const {
    if (pane < 0 || static_cast<std::size_t>(pane) >= panes_.size() || panes_[pane] == nullptr)
        return {};
    return panes_[pane]->text();
}

bool UpdateWindow::create_status_bar(std::span<const int> pane_widths) {
    auto* bar = new QStatusBar(this);
    bar->setSizeGripEnabled(false);
    for (std::size_t i = 0; i < pane_widths.size() && i < panes_.size(); ++i) {
        auto* pane = new QLabel(bar);
        pane->setTextFormat(Qt::PlainText);
        pane->setFixedWidth(pane_widths[i]);
        pane->setFrameShape(QFrame::Panel);
        pane->setFrameShadow(QFrame::Sunken);
        bar->addWidget(pane);
        panes_[i] = pane;
        paneWidths_[i] = pane_widths[i];
    }
    statusBar_ = bar;
    fitStatusBar();
    return true;
}

void UpdateWindow::fitStatusBar() {
    const int barHeight = statusBar_->sizeHint().height();
    setFixedSize(std::max(templateWidth_, statusBar_->sizeHint().width()), height());
    statusBar_->setGeometry(0, height() - barHeight, width(), barHeight);
}

void UpdateWindow::set_pane_text(int pane, std::string_view text) {
    if (pane < 0 || static_cast<std::size_t>(pane) >= panes_.size() || panes_[pane] == nullptr)
        return;
    const QString shown = QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
    QLabel* label = panes_[pane];
    label->setText(shown);
    // A pane keeps its template width unless the font in use needs more for its text.
    label->setFixedWidth(
        std::max(paneWidths_.at(static_cast<std::size_t>(pane)), label->sizeHint().width()));
    fitStatusBar();
}

void UpdateWindow::set_progress_range(int lowest, int highest) {
    progress_->setRange(lowest, highest);
}

void UpdateWindow::set_progress_position(int position) {
    progress_->setValue(position);
}

std::string UpdateWindow::choose_file(std::string_view filter) {
    if (chooser_) return chooser_(filter);
    const QString path = QFileDialog::getOpenFileName(this, QString(), QString(), qtFilter(filter));
    return QFile::encodeName(path).toStdString();
}

void UpdateWindow::handle_one_pending_message() {
    // Qt hands over the events waiting now rather than exactly one; an Update click among them
    // is ignored by the behaviour while the download runs.
    QCoreApplication::processEvents();
}

void UpdateWindow::end_dialog() {
    if (isVisible())
        reject();
    else
        ended_ = true;
}

}  // namespace k5320::utility
