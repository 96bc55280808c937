// The program's own message boxes: modal, one OK button, no icon.
#pragma once

#include <QPointer>
#include <QWidget>

#include "utility/main/main_view.h"

namespace k5320::utility {

class QtMessageBoxes final : public MessageBoxes {
  public:
    explicit QtMessageBoxes(QWidget* parent) : parent_(parent) {}
    void show(std::string_view caption, std::string_view text) override;

  private:
    QPointer<QWidget> parent_;
};

}  // namespace k5320::utility
