// Control identifiers of the main dialog. The view interface addresses controls by these ids, so
// the behaviour and its tests speak of the same controls the dialog template lays out.
#pragma once

#include <cstdint>

namespace k5320::utility {

enum class ControlId : uint16_t {
    Label = 65535,  // plain labels and group frames: never addressed
    StatusDisplay = 1000,
    Slot = 1001,
    RxLamp = 1002,
    TxLamp = 1003,
    Baud = 1004,
    StandardId = 1005,
    ExtendedId = 1006,
    Rtr = 1007,
    AccCode = 1008,
    AccMask = 1009,
    Id = 1010,
    Bt0 = 1011,
    Bt1 = 1012,
    Data = 1013,
    Send = 1014,
    Pause = 1015,
    Initialize = 1017,
    ClearStatus = 1018,
    Clear = 1019,
    EnableSysMsg = 1022,
    DisableSysMsg = 1023,
    Length = 1037,
    MessageList = 1042,
    FormatHex = 1043,
    FormatDec = 1044,
    FormatAscii = 1045,
    ResetCounter = 1048,
    CounterDisplay = 1049,
    UpdateFirmware = 1051,
    SaveToFile = 1057,
    ShowOnList = 1058,
    SoftKeyboard = 1059,
};

}  // namespace k5320::utility
