// Control identifiers of the main dialog. The view interface addresses controls by these ids, so
// the behaviour and its tests speak of the same controls the dialog template lays out.
#pragma once

#include <cstdint>

namespace k5320::utility {

enum class ControlId : uint16_t {
    kLabel = 65535,  // plain labels and group frames: never addressed
    kStatusDisplay = 1000,
    kSlot = 1001,
    kRxLamp = 1002,
    kTxLamp = 1003,
    kBaud = 1004,
    kStandardId = 1005,
    kExtendedId = 1006,
    kRtr = 1007,
    kAccCode = 1008,
    kAccMask = 1009,
    kId = 1010,
    kBt0 = 1011,
    kBt1 = 1012,
    kData = 1013,
    kSend = 1014,
    kPause = 1015,
    kInitialize = 1017,
    kClearStatus = 1018,
    kClear = 1019,
    kEnableSysMsg = 1022,
    kDisableSysMsg = 1023,
    kLength = 1037,
    kMessageList = 1042,
    kFormatHex = 1043,
    kFormatDec = 1044,
    kFormatAscii = 1045,
    kResetCounter = 1048,
    kCounterDisplay = 1049,
    kUpdateFirmware = 1051,
    kSaveToFile = 1057,
    kShowOnList = 1058,
    kSoftKeyboard = 1059,
};

}  // namespace k5320::utility
