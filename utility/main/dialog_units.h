// Dialog units to pixels, the way a dialog manager sizes a template: a horizontal unit is a
// quarter of the font's average character width, a vertical unit an eighth of its height.
#pragma once

#include "utility/main/dialog_template.h"

namespace k5320::utility {

struct DialogBaseUnits {
    int x = 0;  // average character width in pixels
    int y = 0;  // character height in pixels
};

// The letters whose mean width is the font's average character width.
inline constexpr std::string_view kAverageWidthSample =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// sample_width: the width in pixels of kAverageWidthSample; height: the font's line height.
DialogBaseUnits base_units_of(int sample_width, int height);

// Rounded to the nearest pixel.
DialogRect to_pixels(const DialogRect& units, DialogBaseUnits base);

}  // namespace k5320::utility
