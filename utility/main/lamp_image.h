// The two lamp images of the buffer indicators, drawn pixel by pixel in the 16 colours of the
// original bitmaps: a filled disc on a light grey square with a one-pixel black border.
#pragma once

#include <array>
#include <cstdint>

#include "utility/main/dialog_template.h"

namespace k5320::utility {

inline constexpr int kLampSize = 13;
inline constexpr uint32_t kLampBackground = 0xC0C0C0;  // RGB
inline constexpr uint32_t kLampBorder = 0x000000;
inline constexpr uint32_t kLampGreen = 0x00FF00;
inline constexpr uint32_t kLampRed = 0xFF0000;

// Row by row, 0xRRGGBB per pixel.
using LampPixels = std::array<uint32_t, kLampSize * kLampSize>;

// GreenLamp or RedLamp; None gives the plain bordered square.
LampPixels lamp_pixels(BitmapImage image);

}  // namespace k5320::utility
