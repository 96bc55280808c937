// The main dialog's template: size, font and every control with its kind, text and position in
// dialog units. The widget layer builds the window from this table alone, so what the dialog
// shows is data, kept in one place.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "utility/main/dialog_ids.h"

namespace k5320::utility {

struct DialogRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

enum class ControlKind {
    kLabel,
    kGroupFrame,
    kButton,
    kEdit,
    kDropDownList,
    kRadioButton,
    kCheckBox,
    kBitmap,
    kReportList,
};

enum class BitmapImage { kNone, kGreenLamp, kRedLamp };

// Style bits a control may carry beside its kind.
enum ControlStyle : unsigned {
    kStyleNone = 0,
    kStyleFirstOfGroup = 1u << 0,  // radio button that starts an exclusive group
    kStyleAlignRight = 1u << 1,
    kStyleAlignCenter = 1u << 2,
    kStyleDigitsOnly = 1u << 3,
};

struct DialogItem {
    ControlId id;
    ControlKind kind;
    std::string_view text;
    DialogRect rect;
    unsigned style = kStyleNone;
    BitmapImage image = BitmapImage::kNone;
};

struct DialogTemplate {
    int width;
    int height;
    std::string_view font_family;
    int font_point_size;
    std::span<const DialogItem> items;
};

const DialogTemplate& main_dialog_template();

// The first (template) part of the window caption; Initialize appends filter and bit rate.
inline constexpr std::string_view kProgramTitle = "K-5320W Utility Ver 1.05";

// Bit-rate choices of the Baud list. The list index is the bit-rate code the library takes;
// kbps 0 marks the user-defined entry, whose rate comes from BT0 and BT1.
struct BaudChoice {
    std::string_view text;
    int kbps;
};
inline constexpr std::array<BaudChoice, 9> kBaudChoices{{
    {"User defined", 0},
    {"   10K bps  ", 10},
    {"   20K bps  ", 20},
    {"   50K bps  ", 50},
    {"  125K bps  ", 125},
    {"  250K bps  ", 250},
    {"  500K bps  ", 500},
    {"  800K bps  ", 800},
    {" 1000K bps  ", 1000},
}};
inline constexpr int kUserDefinedBaud = 0;
inline constexpr int kDefaultBaud = 4;  // 125 kbit/s, the rate of the default emulated bus

inline constexpr int kFirstSlot = 1;
inline constexpr int kLastSlot = 7;

// Columns of the message list: template widths in pixels, and the widest text a cell of the
// column holds, so that a window with a larger font can widen the column to fit it.
struct ListColumn {
    std::string_view heading;
    int width;
    std::string_view widest;
};
// A time stamp of twelve digits: more than three years of 100 us units.
inline constexpr std::string_view kWidestTimeStamp = "888888888888";
inline constexpr std::string_view kWidestDataCell = "888";
inline constexpr std::array<ListColumn, 14> kMessageListColumns{{
    {"No", 30, "888"},
    {"Mode", 42, "2.0B"},
    {"ID", 75, "1FFFFFFF"},
    {"RTR", 34, "Y"},
    {"L", 19, "8"},
    {"D0", 28, kWidestDataCell},
    {"D1", 28, kWidestDataCell},
    {"D2", 28, kWidestDataCell},
    {"D3", 28, kWidestDataCell},
    {"D4", 28, kWidestDataCell},
    {"D5", 28, kWidestDataCell},
    {"D6", 28, kWidestDataCell},
    {"D7", 28, kWidestDataCell},
    {"Time(100us)", 82, kWidestTimeStamp},
}};
}  // namespace k5320::utility
