#include "utility/main/dialog_units.h"

namespace k5320::utility {
namespace {

constexpr int kHorizontalPerChar = 4;
constexpr int kVerticalPerChar = 8;

// value * numerator / denominator, rounded half away from zero (all values here are >= 0).
int scaleRounded(int value, int numerator, int denominator) {
    return (value * numerator * 2 + denominator) / (denominator * 2);
}

}  // namespace

DialogBaseUnits baseUnitsOf(int sampleWidth, int height) {
    const int letters = static_cast<int>(kAverageWidthSample.size());
    return {.x = scaleRounded(sampleWidth, 1, letters), .y = height};
}

DialogRect toPixels(const DialogRect& units, DialogBaseUnits base) {
    return {.x = scaleRounded(units.x, base.x, kHorizontalPerChar),
            .y = scaleRounded(units.y, base.y, kVerticalPerChar),
            .width = scaleRounded(units.width, base.x, kHorizontalPerChar),
            .height = scaleRounded(units.height, base.y, kVerticalPerChar)};
}

}  // namespace k5320::utility
