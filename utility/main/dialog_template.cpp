#include "utility/main/dialog_template.h"

namespace k5320::utility {
namespace {

using enum ControlKind;
using C = ControlId;

constexpr DialogItem kItems[] = {
    {C::kLabel, kLabel, "Slot NO.", {2, 4, 28, 8}},
    {C::kSlot, kDropDownList, "", {30, 3, 40, 83}},
    {C::kInitialize, kButton, "Initialize", {2, 18, 68, 11}},
    {C::kUpdateFirmware, kButton, "Update Firmware", {2, 30, 68, 11}},
    {C::kEnableSysMsg, kButton, "Enable Sys Msg", {2, 42, 68, 10}},
    {C::kDisableSysMsg, kButton, "Disable Sys Msg", {2, 53, 68, 10}},
    {C::kPause, kButton, "Pause", {2, 64, 32, 11}},
    {C::kClear, kButton, "Clear", {38, 64, 32, 11}},
    {C::kLabel, kGroupFrame, "Filter Setting (Hex)", {71, 1, 79, 40}},
    {C::kLabel, kLabel, "Acc Code", {74, 12, 31, 8}},
    {C::kAccCode, kEdit, "", {106, 11, 42, 12}},
    {C::kLabel, kLabel, "Acc Mask", {74, 27, 30, 8}},
    {C::kAccMask, kEdit, "", {106, 26, 42, 12}},
    {C::kLabel, kGroupFrame, "Baud Setting (Hex)", {151, 1, 76, 40}},
    {C::kLabel, kLabel, "Baud", {153, 13, 17, 8}},
    {C::kBaud, kDropDownList, "", {170, 11, 55, 105}},
    {C::kLabel, kLabel, "BT0", {153, 27, 15, 8}},
    {C::kBt0, kEdit, "", {170, 26, 16, 12}},
    {C::kLabel, kLabel, "BT1", {193, 28, 13, 8}},
    {C::kBt1, kEdit, "", {208, 26, 16, 12}},
    {C::kLabel, kGroupFrame, "Msg Format", {228, 1, 63, 40}},
    {C::kFormatHex, kRadioButton, "Hex", {232, 12, 26, 11}, kStyleFirstOfGroup},
    {C::kFormatDec, kRadioButton, "Dec", {262, 12, 26, 11}},
    {C::kFormatAscii, kRadioButton, "ASCII", {232, 26, 32, 11}},
    {C::kLabel, kGroupFrame, "CAN Status", {71, 41, 156, 35}},
    {C::kLabel, kLabel, "CAN Status (Hex) :", {74, 51, 62, 8}},
    {C::kStatusDisplay, kLabel, "0x00", {139, 51, 17, 8}},
    {C::kClearStatus, kButton, "Clear Status", {160, 48, 63, 12}},
    {C::kLabel, kLabel, "Rx Msg Cnt:", {74, 63, 40, 9}},
    {C::kCounterDisplay, kLabel, "0000000000", {115, 63, 41, 8}},
    {C::kResetCounter, kButton, "Reset Counter", {160, 61, 63, 12}},
    {C::kLabel, kLabel, "Rx Msg Buffer:", {231, 46, 48, 8}},
    {C::kRxLamp, kBitmap, "", {280, 47, 9, 8}, kStyleNone, BitmapImage::kGreenLamp},
    {C::kLabel, kLabel, "Tx Msg Buffer:", {231, 56, 48, 8}},
    {C::kTxLamp, kBitmap, "", {280, 57, 9, 8}, kStyleNone, BitmapImage::kRedLamp},
    {C::kSoftKeyboard, kCheckBox, "Soft Keyboard", {231, 66, 60, 10}},
    {C::kMessageList, kReportList, "", {2, 77, 291, 65}},
    {C::kShowOnList, kCheckBox, "Show message on the list", {129, 141, 99, 12}},
    {C::kSaveToFile, kCheckBox, "SaveToFile", {231, 141, 49, 13}},
    {C::kLabel, kGroupFrame, "Send CAN Message", {2, 152, 291, 34}},
    {C::kStandardId, kRadioButton, "11-bit ID", {6, 161, 42, 11}, kStyleFirstOfGroup},
    {C::kExtendedId, kRadioButton, "29-bit ID", {6, 172, 41, 12}},
    {C::kLabel, kLabel, "ID (Hex)", {56, 159, 29, 8}},
    {C::kId, kEdit, "", {49, 168, 42, 14}, kStyleAlignRight},
    {C::kRtr, kCheckBox, "RTR", {94, 173, 26, 10}},
    {C::kLabel, kLabel, "Len", {124, 159, 16, 8}},
    {C::kLength, kEdit, "", {122, 168, 16, 14}, kStyleAlignCenter | kStyleDigitsOnly},
    {C::kLabel, kLabel, "Data (Hex)(separated by space)", {144, 159, 105, 8}},
    {C::kData, kEdit, "", {140, 168, 110, 14}},
    {C::kSend, kButton, "Send", {252, 169, 28, 12}},
};

constexpr DialogTemplate kMainDialog{
    .width = 294,
    .height = 188,
    .font_family = "System",
    .font_point_size = 8,
    .items = kItems,
};

}  // namespace

const DialogTemplate& main_dialog_template() {
    return kMainDialog;
}

}  // namespace k5320::utility
