#include "utility/main/lamp_image.h"

namespace k5320::utility {
namespace {

// Disc centred in the square; radius 4.5 leaves one grey pixel between disc and border.
constexpr int kCentre = kLampSize / 2;
constexpr int kRadiusSquaredTimes4 = 81;  // (2 * 4.5)^2, kept in integers

}  // namespace

LampPixels lamp_pixels(BitmapImage image) {
    const uint32_t disc = image == BitmapImage::kGreenLamp ? kLampGreen
                          : image == BitmapImage::kRedLamp ? kLampRed
                                                           : kLampBackground;
    LampPixels pixels{};
    for (int y = 0; y < kLampSize; ++y) {
        for (int x = 0; x < kLampSize; ++x) {
            const bool edge = x == 0 || y == 0 || x == kLampSize - 1 || y == kLampSize - 1;
            const int dx = 2 * (x - kCentre);
            const int dy = 2 * (y - kCentre);
            uint32_t colour = kLampBackground;
            if (edge)
                colour = kLampBorder;
            else if (dx * dx + dy * dy <= kRadiusSquaredTimes4)
                colour = disc;
            pixels[static_cast<std::size_t>(y * kLampSize + x)] = colour;
        }
    }
    return pixels;
}

}  // namespace k5320::utility
