#!/usr/bin/python3
"""K5320_Load_CalculatedCRC agrees with an independent CRC-16/XMODEM over random buffers.

Loads libK5320.so through ctypes, as a Python user of the C API would.
Usage: crc_xmodem_check.py LIBRARY
"""
import ctypes
import random
import sys

import crcmod.predefined


def main() -> int:
    lib = ctypes.CDLL(sys.argv[1])
    lib.K5320_Load_CalculatedCRC.restype = ctypes.c_uint16
    lib.K5320_Load_CalculatedCRC.argtypes = [ctypes.c_char_p, ctypes.c_uint32]
    reference = crcmod.predefined.mkCrcFun("xmodem")
    rng = random.Random(5320)
    sizes = list(range(0, 64)) + [255, 256, 257, 1000, 8186, 8187, 65536, 393152]
    sizes += [rng.randrange(1, 400000) for _ in range(40)]
    failures = 0
    for size in sizes:
        data = bytes(rng.getrandbits(8) for _ in range(size))
        ours = lib.K5320_Load_CalculatedCRC(data, len(data))
        theirs = reference(data)
        if ours != theirs:
            failures += 1
            print(f"size {size}: library 0x{ours:04X}, reference 0x{theirs:04X}")
    print(f"{len(sizes) - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
