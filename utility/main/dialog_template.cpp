#include "utility/main/dialog_template.h"

namespace k5320::utility {
namespace {

using enum ControlKind;
using C = ControlId;

constexpr DialogItem kItems[] = {
    {C::Label, Label, "Slot NO.", {2, 4, 28, 8}},
    {C::Slot, DropDownList, "", {30, 3, 40, 83}},
    {C::Initialize, Button, "Initialize", {2, 18, 68, 11}},
    {C::UpdateFirmware, Button, "Update Firmware", {2, 30, 68, 11}},
    {C::EnableSysMsg, Button, "Enable Sys Msg", {2, 42, 68, 10}},
    {C::DisableSysMsg, Button, "Disable Sys Msg", {2, 53, 68, 10}},
    {C::Pause, Button, "Pause", {2, 64, 32, 11}},
    {C::Clear, Button, "Clear", {38, 64, 32, 11}},
    {C::Label, GroupFrame, "Filter Setting (Hex)", {71, 1, 79, 40}},
    {C::Label, Label, "Acc Code", {74, 12, 31, 8}},
    {C::AccCode, Edit, "", {106, 11, 42, 12}},
    {C::Label, Label, "Acc Mask", {74, 27, 30, 8}},
    {C::AccMask, Edit, "", {106, 26, 42, 12}},
    {C::Label, GroupFrame, "Baud Setting (Hex)", {151, 1, 76, 40}},
    {C::Label, Label, "Baud", {153, 13, 17, 8}},
    {C::Baud, DropDownList, "", {170, 11, 55, 105}},
    {C::Label, Label, "BT0", {153, 27, 15, 8}},
    {C::Bt0, Edit, "", {170, 26, 16, 12}},
    {C::Label, Label, "BT1", {193, 28, 13, 8}},
    {C::Bt1, Edit, "", {208, 26, 16, 12}},
    {C::Label, GroupFrame, "Msg Format", {228, 1, 63, 40}},
    {C::FormatHex, RadioButton, "Hex", {232, 12, 26, 11}, kStyleFirstOfGroup},
    {C::FormatDec, RadioButton, "Dec", {262, 12, 26, 11}},
    {C::FormatAscii, RadioButton, "ASCII", {232, 26, 32, 11}},
    {C::Label, GroupFrame, "CAN Status", {71, 41, 156, 35}},
    {C::Label, Label, "CAN Status (Hex) :", {74, 51, 62, 8}},
    {C::StatusDisplay, Label, "0x00", {139, 51, 17, 8}},
    {C::ClearStatus, Button, "Clear Status", {160, 48, 63, 12}},
    {C::Label, Label, "Rx Msg Cnt:", {74, 63, 40, 9}},
    {C::CounterDisplay, Label, "0000000000", {115, 63, 41, 8}},
    {C::ResetCounter, Button, "Reset Counter", {160, 61, 63, 12}},
    {C::Label, Label, "Rx Msg Buffer:", {231, 46, 48, 8}},
    {C::RxLamp, Bitmap, "", {280, 47, 9, 8}, kStyleNone, BitmapImage::GreenLamp},
    {C::Label, Label, "Tx Msg Buffer:", {231, 56, 48, 8}},
    {C::TxLamp, Bitmap, "", {280, 57, 9, 8}, kStyleNone, BitmapImage::RedLamp},
    {C::SoftKeyboard, CheckBox, "Soft Keyboard", {231, 66, 60, 10}},
    {C::MessageList, ReportList, "", {2, 77, 291, 65}},
    {C::ShowOnList, CheckBox, "Show message on the list", {129, 141, 99, 12}},
    {C::SaveToFile, CheckBox, "SaveToFile", {231, 141, 49, 13}},
    {C::Label, GroupFrame, "Send CAN Message", {2, 152, 291, 34}},
    {C::StandardId, RadioButton, "11-bit ID", {6, 161, 42, 11}, kStyleFirstOfGroup},
    {C::ExtendedId, RadioButton, "29-bit ID", {6, 172, 41, 12}},
    {C::Label, Label, "ID (Hex)", {56, 159, 29, 8}},
    {C::Id, Edit, "", {49, 168, 42, 14}, kStyleAlignRight},
    {C::Rtr, CheckBox, "RTR", {94, 173, 26, 10}},
    {C::Label, Label, "Len", {124, 159, 16, 8}},
    {C::Length, Edit, "", {122, 168, 16, 14}, kStyleAlignCenter | kStyleDigitsOnly},
    {C::Label, Label, "Data (Hex)(separated by space)", {144, 159, 105, 8}},
    {C::Data, Edit, "", {140, 168, 110, 14}},
    {C::Send, Button, "Send", {252, 169, 28, 12}},
};

constexpr DialogTemplate kMainDialog{
    .width = 294,
    .height = 188,
    .fontFamily = "System",
    .fontPointSize = 8,
    .items = kItems,
};

}  // namespace

const DialogTemplate& mainDialogTemplate() {
    return kMainDialog;
}

}  // namespace k5320::utility
