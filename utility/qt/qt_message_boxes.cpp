#include "utility/qt/qt_message_boxes.h"

#include <QMessageBox>

namespace k5320::utility {
namespace {

QString fromView(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

void QtMessageBoxes::show(std::string_view caption, std::string_view text) {
    QMessageBox box(QMessageBox::NoIcon, fromView(caption), fromView(text), QMessageBox::Ok,
                    parent_);
    box.exec();
}

}  // namespace k5320::utility
