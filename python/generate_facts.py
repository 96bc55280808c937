#!/usr/bin/env python3
"""Writes the facts the python-can plugin shares with the C library, read from the C headers.

The result codes and their meanings, the module's standard bit rates (in the order of the rate
index), the SJA1000 registers and status bits the plugin reads, the frames a receive bank holds
and the receiving policy's pace are defined once, in the headers; this script turns them into a
Python module at build time.

Usage: generate_facts.py INCLUDE_DIR OUTPUT_FILE
"""
import re
import sys

RESULT = re.compile(
    r"^[ \t]*(K5320_\w+)[ \t]*=[ \t]*(\w+)[ \t]*,?[ \t]*(?:/\*[ \t]*(.*?)[ \t]*\*/)?", re.M
)
BIT_RATES = re.compile(r"kStandardBitRates\[\]\s*=\s*\{([^}]*)\}", re.S)
BYTE_CONSTANT = r"inline constexpr uint8_t {}\s*=\s*(0x[0-9A-Fa-f]+|\d+)\s*;"
REGISTERS = ["SJA1000_RXERR", "SJA1000_TXERR", "SR_BS", "SR_ES"]
BANK_RECORDS = re.compile(r"inline constexpr uint16_t kRxBankRecords\s*=\s*(\d+)\s*;")
# kBusyPollMs -> BUSY_POLL_MS
POLICY = re.compile(r"inline constexpr uint32_t k(\w+)Ms\s*=\s*(\d+)\s*;")


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def results(text):
    codes, meanings = {}, {}
    for name, value, meaning in RESULT.findall(text):
        value = codes[value] if value in codes else int(value, 0)
        codes[name] = value
        if meaning and value not in meanings:
            meanings[value] = meaning
    return codes, meanings


def main():
    include, output = sys.argv[1], sys.argv[2]
    codes, meanings = results(read(f"{include}/k5320_result.h"))
    rates_text = BIT_RATES.search(read(f"{include}/k5320/baud_codes.h")).group(1)
    rates = [int(r.replace("'", "")) for r in rates_text.replace("\n", " ").split(",") if r.strip()]
    registers_text = read(f"{include}/k5320/sja1000_registers.h")
    registers = {
        name: int(re.search(BYTE_CONSTANT.format(name), registers_text).group(1), 0)
        for name in REGISTERS
    }
    lines = ['"""Generated from the C headers at build time: do not edit."""', ""]
    lines += [f"{name} = {value}" for name, value in codes.items()]
    lines += ["", "RESULT_MEANINGS = {"]
    lines += [f"    {value}: {meaning!r}," for value, meaning in sorted(meanings.items())]
    lines += ["}", "", f"STANDARD_BIT_RATES = {rates!r}", ""]
    lines += [f"{name} = 0x{value:02X}" for name, value in registers.items()]
    bank_records = int(BANK_RECORDS.search(read(f"{include}/k5320/dpram_map.h")).group(1))
    lines += ["", f"RX_BANK_RECORDS = {bank_records}", ""]
    for name, value in POLICY.findall(read(f"{include}/k5320/receive_policy.h")):
        lines += [f"{re.sub(r'(?<!^)(?=[A-Z])', '_', name).upper()}_MS = {value}"]
    with open(output, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
