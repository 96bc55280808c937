// Images the dialog draws for itself: the two lamps and the main icon. Nothing is loaded from
// files.
#pragma once

#include <QIcon>
#include <QPixmap>

#include "utility/main/dialog_template.h"

namespace k5320::utility {

// 13 x 13 pixels; BitmapImage::kNone gives a null pixmap.
QPixmap lampPixmap(BitmapImage image);

// A module on a bus: a blue card whose bus line joins three nodes, in 16, 32 and 48 pixels.
QIcon mainIcon();

}  // namespace k5320::utility
