// The dialog's layout data: the template's controls, dialog units in pixels, the lamp images.
#include <gtest/gtest.h>

#include <set>

#include "utility/main/dialog_template.h"
#include "utility/main/dialog_units.h"
#include "utility/main/lamp_image.h"

namespace k5320::utility {
namespace {

TEST(DialogLayout, EveryControlIdAppearsOnceAndInsideTheDialog) {
    const DialogTemplate& dialog = main_dialog_template();
    std::set<ControlId> seen;
    for (const DialogItem& item : dialog.items) {
        if (item.id != ControlId::kLabel) {
            EXPECT_TRUE(seen.insert(item.id).second) << static_cast<int>(item.id);
        }
        // Drop-down heights include the opened list and may reach below the dialog.
        if (item.kind == ControlKind::kDropDownList) continue;
        EXPECT_LE(item.rect.x + item.rect.width, dialog.width) << item.text;
        EXPECT_LE(item.rect.y + item.rect.height, dialog.height) << item.text;
    }
    EXPECT_EQ(seen.size(), 32u);
}

TEST(DialogLayout, DialogUnitsScaleWithTheFontAndRoundToTheNearestPixel) {
    // Average width 6 px (312 / 52), height 13 px.
    const DialogBaseUnits base = base_units_of(312, 13);
    EXPECT_EQ(base.x, 6);
    EXPECT_EQ(base.y, 13);
    const DialogRect dialog = to_pixels({0, 0, 294, 188}, base);
    EXPECT_EQ(dialog.width, 441);   // 294 * 6 / 4
    EXPECT_EQ(dialog.height, 306);  // 188 * 13 / 8 = 305.5
    const DialogRect edit = to_pixels({106, 11, 42, 12}, base);
    EXPECT_EQ(edit.x, 159);
    EXPECT_EQ(edit.y, 18);  // 17.875
    EXPECT_EQ(edit.width, 63);
    EXPECT_EQ(edit.height, 20);  // 19.5

    // A sample 337 px wide averages 6.48 px: rounded to 6.
    EXPECT_EQ(base_units_of(337, 13).x, 6);
    EXPECT_EQ(base_units_of(338, 13).x, 7);
}

TEST(DialogLayout, LampsAreDiscsOnABorderedGreySquare) {
    for (const auto& [image, disc] : {std::pair{BitmapImage::kGreenLamp, kLampGreen},
                                      std::pair{BitmapImage::kRedLamp, kLampRed}}) {
        const LampPixels pixels = lamp_pixels(image);
        const auto at = [&](int x, int y) { return pixels[static_cast<std::size_t>(y * 13 + x)]; };
        for (int i = 0; i < kLampSize; ++i) {
            EXPECT_EQ(at(i, 0), kLampBorder);
            EXPECT_EQ(at(i, 12), kLampBorder);
            EXPECT_EQ(at(0, i), kLampBorder);
            EXPECT_EQ(at(12, i), kLampBorder);
        }
        EXPECT_EQ(at(6, 6), disc);
        EXPECT_EQ(at(2, 6), disc);
        EXPECT_EQ(at(10, 6), disc);
        EXPECT_EQ(at(1, 6), kLampBackground);  // grey between disc and border
        EXPECT_EQ(at(2, 2), kLampBackground);  // the disc is round, not square
        int discPixels = 0;
        for (const uint32_t p : pixels) discPixels += p == disc ? 1 : 0;
        EXPECT_GT(discPixels, 60);  // a disc of radius 4.5 covers about 64 pixels
        EXPECT_LT(discPixels, 70);
    }
}

}  // namespace
}  // namespace k5320::utility
