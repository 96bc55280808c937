#include "utility/main/dialog_units.h"

namespace k5320::utility {
namespace {

constexpr int kHorizontalPerChar = 4;
constexpr int kVerticalPerChar = 8;

// value * numerator / denominator, rounded half away from zero (all values here are >= 0).
int scale_rounded(int value, int numerator, int denominator) {
    return (value * numerator * 2 + denominator) / (denominator * 2);
}

}  // namespace

DialogBaseUnits base_units_of(int sample_width, int height) {
    const int letters = static_cast<int>(kAverageWidthSample.size());
    return {.x = scale_rounded(sample_width, 1, letters), .y = height};
}

DialogRect to_pixels(const DialogRect& units, DialogBaseUnits base) {
    return {.x = scale_rounded(units.x, base.x, kHorizontalPerChar),
            .y = scale_rounded(units.y, base.y, kVerticalPerChar),
            .width = scale_rounded(units.width, base.x, kHorizontalPerChar),
            .height = scale_rounded(units.height, base.y, kVerticalPerChar)};
}

}  // namespace k5320::utility
