#!/usr/bin/env python3
"""Writes the seed corpus of driver_fuzz (fuzz/corpus/driver_fuzz/) in the input layout that
driver_fuzz.cpp and fuzz_backplane.h describe. Run it again after changing that layout."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus", "driver_fuzz")

# The operations, in the order of driver_fuzz.cpp's Op.
OPS = ["Init", "Configure", "RxMsgCount", "ReceiveWithoutStruct", "ReceiveMsg", "ReceiveCmd",
       "SendReceiveCmd", "SendCmd", "ClearReceiveCmd", "LoadInit", "GetFirmwareInfo",
       "LoadRunProgram", "DownloadData", "Status", "IsTxTimeout", "ReadMultiByte", "InputByte",
       "Check186Mode", "Cyclic", "ClearRxSoftBuffer", "Send", "HardwareReset", "RawCommand",
       "RestoreK5320", "OtherSlot", "LoaderOther", "ModuleOther", "RawAccess", "CyclicEntry",
       "ConfigureStruct", "SendMsg"]
TYPES = ["5320", "5323", "5324", "5325", "5321"]

RX_BANK0, RX_BANK1 = 0x0000, 0x0540
RX_BANK0_COUNT, RX_BANK1_COUNT = 0x1882, 0x1883
IN_CMD_LENGTH, IN_CMD_DATA = 0x1B58, 0x1B5A
CAN_STATUS = 0x1F7F


def op(name, *args):
    return bytes([OPS.index(name)]) + bytes(args)


def word(v):
    return struct.pack("<H", v)


def patch(address, data):
    assert len(data) < 256
    return word(address) + bytes([len(data)]) + data


def answers(*values):
    """Posts without patches: a control byte 0, then the answer."""
    return b"".join(bytes([0, v]) for v in values)


def answer_with_patches(value, *patches):
    return bytes([len(patches)]) + b"".join(patches) + bytes([value])


def rx_record(info, id_bytes, data, stamp_high, stamp_low):
    record = bytes([info]) + id_bytes + data
    record += bytes(13 - len(record))
    return record + struct.pack("<II", stamp_high, stamp_low)


def seed(name, ops, patches=(), firmware=b"", slot=0, type_index=0, flags=0):
    body = bytes([slot, type_index, flags, len(ops)]) + ops
    body += bytes([len(patches)]) + b"".join(patches) + firmware
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(body)


CONFIGURE = op("Configure", 3, 0, 0, *word(0), *word(0xFFFF))
CONFIGURED = answers(247, 214, 218)  # config applied, CAN started, buffer status cleared

os.makedirs(OUT, exist_ok=True)

# Three frames in bank 0: an 11-bit data frame, a 29-bit data frame, an 11-bit remote frame.
bank0 = (rx_record(0x08, bytes([0x7F, 0xE0]), bytes(range(1, 9)), 0, 12345)
         + rx_record(0x84, bytes([0xFF, 0xFF, 0xFF, 0xF8]), bytes([0xAA] * 4), 1, 2)
         + rx_record(0x42, bytes([0x12, 0x20]), b"", 0, 99))
seed("receive_bank0",
     CONFIGURE + op("RxMsgCount") + op("ReceiveWithoutStruct") + op("ReceiveMsg")
     + op("ReceiveWithoutStruct") + op("RxMsgCount"),
     patches=[patch(RX_BANK0_COUNT, b"\x03"), patch(RX_BANK0, bank0[:255]),
              patch(RX_BANK0 + 255, bank0[255:])],
     firmware=CONFIGURED + answers(209, 219, 213))

# Bank 1 with overflow and a full count; then a bank whose count it cannot hold.
seed("receive_bank1_overflow",
     CONFIGURE + op("ReceiveMsg") + op("ReceiveMsg") + op("ClearRxSoftBuffer")
     + op("RxMsgCount") + op("ReceiveWithoutStruct"),
     patches=[patch(RX_BANK1_COUNT, b"\x40"), patch(RX_BANK1, bank0[:21] * 3)],
     firmware=CONFIGURED + answers(212, 221)
     + answer_with_patches(209, patch(RX_BANK0_COUNT, b"\xC8")),
     slot=3, type_index=1)

# A command record answered with the largest record, one fetched after a stray announcement,
# and one whose length the incoming area cannot hold.
seed("command_records",
     op("SendReceiveCmd", 1, *word(4), 5, 0x5A) + op("ReceiveCmd")
     + op("SendCmd", *word(512), 0x11) + op("ReceiveCmd")
     + op("SendReceiveCmd", 0, *word(1), 0, 0x22) + op("SendReceiveCmd", 0, *word(1), 0, 0x22),
     patches=[patch(IN_CMD_LENGTH, word(512)), patch(IN_CMD_DATA, bytes(range(200)))],
     firmware=answers(249)
     + answer_with_patches(249, patch(IN_CMD_LENGTH, word(513)))
     + answers(0x30) + answers(249),
     slot=6, type_index=3)

# Download mode: the firmware information record, then back to the program.
info = b"K5320FW.BIN\0\0" + bytes([44, 3, 15, 12, 30, 0]) + struct.pack("<HI", 0xBEEF, 131072)
seed("loader_info",
     op("LoadInit") + op("GetFirmwareInfo") + op("DownloadData", *word(1), 16, 0x77)
     + op("GetFirmwareInfo") + op("LoadRunProgram"),
     patches=[patch(0x0000, word(25) + info)],
     firmware=answers(241, 231, 228)
     + answer_with_patches(231, patch(0x0000, word(26))) + answers(232, 240),
     slot=2, type_index=2)

# The rest of the operations with the firmware's plain answers, stray answers first (a system
# message, a command record announcement, a user value), an unread answer at the start and the
# tick count about to wrap.
seed("mixed_plain_answers",
     op("HardwareReset") + op("Check186Mode") + CONFIGURE
     + op("Cyclic", 1, *word(0x1234), 8, 0x99, 10, 3)
     + op("Send", 0, *word(0x7FF), 0, 8, 0x55) + op("Status") + op("IsTxTimeout")
     + op("ReadMultiByte", *word(6990), *word(10)) + op("ReadMultiByte", *word(6990), *word(11))
     + op("InputByte", 2) + op("RawCommand", 17) + op("OtherSlot", 0)
     + op("OtherSlot", 8) + op("ClearReceiveCmd") + op("RestoreK5320") + op("Init"),
     patches=[patch(CAN_STATUS, bytes([0x0C, 0xF3]))],
     firmware=answers(0xC5, 249, 17),
     slot=4, flags=0x03)

# The other loader, module, raw DPRAM and cyclic entry calls, with the plain answers.
seed("other_calls",
     op("LoadInit") + op("LoaderOther", 1) + op("LoaderOther", 2, *info) + op("LoaderOther", 3)
     + op("LoaderOther", 0) + op("LoadRunProgram") + CONFIGURE
     + b"".join(op("ModuleOther", call, 1) + (b"\x55" if call == 6 else b"")
                for call in range(12))
     + op("ModuleOther", 12, 0x0C, *word(0), *word(0), 0x31, 0x1C)
     + b"".join(op("RawAccess", call, *word(6995), 0xA5) + (word(5) if call in (3, 4) else b"")
                for call in range(8))
     + op("RawAccess", 3, *word(6995), 0xA5, *word(6)) + op("CyclicEntry", 0, 3)
     + op("CyclicEntry", 1, 3) + op("CyclicEntry", 2, 3),
     slot=5)

# The calls that take structures, with stray answers before the plain ones.
can_config = bytes([0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 12, 0x31, 0x1C])
can_msg = struct.pack("<QBxxxIBB8s", 0, 1, 0x1ABCDEF, 0, 8, bytes(range(8))) + bytes(6)
seed("structures",
     op("ConfigureStruct", *can_config) + op("SendMsg", *can_msg) + op("SendMsg", *can_msg),
     firmware=answers(0x80, 247) + answers(214, 218) + answers(0xC4, 215), slot=2)

# A module of a type the library does not drive.
seed("foreign_module", op("RxMsgCount"), type_index=4)
