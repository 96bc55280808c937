#include "utility/qt/qt_message_boxes.h"

#include <QMessageBox>

namespace k5320::utility {
namespace {

QString fromView(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The window a box is centred over: its own window once that is on the screen, else the
// nearest one it was opened from that is. A dialog that fails while it starts is not shown
// yet, and a box over it would land in the screen's corner.
QWidget* shownWindowOf(QWidget* widget) {
    for (QWidget* window = widget; window != nullptr; window = window->parentWidget()) {
        window = window->window();
        if (window->isVisible()) return window;
    }
    return nullptr;
}

}  // namespace

void QtMessageBoxes::show(std::string_view caption, std::string_view text) {
    QMessageBox box(QMessageBox::NoIcon, fromView(caption), fromView(text), QMessageBox::Ok,
                    shownWindowOf(parent_));
    box.exec();
}

}  // namespace k5320::utility
