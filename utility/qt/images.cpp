#include "utility/qt/images.h"

#include <QImage>
#include <QPainter>
#include <QPainterPath>

#include "utility/main/lamp_image.h"

namespace k5320::utility {
namespace {

constexpr int kIconSizes[] = {16, 32, 48};
// Drawn on a 32-unit grid and scaled to each size.
constexpr qreal kIconGrid = 32.0;
const QColor kCardColour(0x1F, 0x4E, 0x9A);
const QColor kBusColour(0xF2, 0xC1, 0x2E);
const QColor kNodeColour(Qt::white);

QPixmap iconPixmap(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / kIconGrid, size / kIconGrid);

    painter.setPen(Qt::NoPen);
    painter.setBrush(kCardColour);
    painter.drawRoundedRect(QRectF(1, 1, 30, 30), 5, 5);

    QPen bus(kBusColour, 3, Qt::SolidLine, Qt::RoundCap);
    painter.setPen(bus);
    painter.drawLine(QPointF(5, 11), QPointF(27, 11));
    for (const qreal x : {8.0, 16.0, 24.0}) painter.drawLine(QPointF(x, 11), QPointF(x, 19));

    painter.setPen(Qt::NoPen);
    painter.setBrush(kNodeColour);
    for (const qreal x : {8.0, 16.0, 24.0}) painter.drawEllipse(QPointF(x, 23), 3.5, 3.5);
    return pixmap;
}

}  // namespace

QPixmap lampPixmap(BitmapImage image) {
    if (image == BitmapImage::kNone) return {};
    const LampPixels pixels = lamp_pixels(image);
    QImage picture(kLampSize, kLampSize, QImage::Format_RGB32);
    for (int y = 0; y < kLampSize; ++y) {
        for (int x = 0; x < kLampSize; ++x)
            picture.setPixel(x, y, pixels[static_cast<std::size_t>(y * kLampSize + x)]);
    }
    return QPixmap::fromImage(picture);
}

QIcon mainIcon() {
    QIcon icon;
    for (const int size : kIconSizes) icon.addPixmap(iconPixmap(size));
    return icon;
}

}  // namespace k5320::utility
