"""The K5320 C API through ctypes: the functions the plugin calls, with their argument types.

The library is the one of the tree or installation this package belongs to (_location, written by
the build), so a program never picks up another copy by accident.
"""
import ctypes

from . import _facts, _location


class CanMsg(ctypes.Structure):
    _fields_ = [
        ("TimeStamp", ctypes.c_uint64),
        ("Mode", ctypes.c_uint8),
        ("MsgID", ctypes.c_uint32),
        ("RTR", ctypes.c_uint8),
        ("DataLen", ctypes.c_uint8),
        ("Data", ctypes.c_uint8 * 8),
    ]


_u8, _u16, _u32 = ctypes.c_uint8, ctypes.c_uint16, ctypes.c_uint32
_P = ctypes.POINTER

# name: argument types; every function returns an int result code.
_SIGNATURES = {
    "K5320_Init": [_u8],
    "K5320_RemoveIrq": [_u8],
    "K5320_ConfigWithoutStruct": [_u8, _u32, _u32, _u8, _u8, _u8],
    "K5320_SendWithoutStruct": [_u8, _u8, _u32, _u8, _u8, _P(_u8)],
    "K5320_ReceiveMsg": [_u8, _P(CanMsg)],
    "K5320_RxMsgCount": [_u8, _P(_u16)],
    "K5320_IsTxTimeout": [_u8, _P(_u8)],
    "K5320_Status": [_u8, _P(_u8)],
    "K5320_InputByte": [_u8, _u8, _P(_u8)],
    "K5320_ClearTxSoftBuffer": [_u8],
    "K5320_AddCyclicTxMsg": [_u8, _u8, _u32, _u8, _u8, _P(_u8), _u32, _u32, _P(_u8)],
    "K5320_DeleteCyclicTxMsg": [_u8, _u8],
}


def _load():
    library = ctypes.CDLL(_location.LIBRARY)
    for name, arguments in _SIGNATURES.items():
        function = getattr(library, name)
        function.argtypes = arguments
        function.restype = ctypes.c_int
    return library


api = _load()


def meaning(result):
    """The result code's meaning as the C header states it."""
    if result in _facts.RESULT_MEANINGS:
        return _facts.RESULT_MEANINGS[result]
    names = [n for n, v in vars(_facts).items() if n.startswith("K5320_") and v == result]
    return names[0] if names else "unknown result"
