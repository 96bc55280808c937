#!/usr/bin/python3
"""Reads a candump log with python-can and prints each frame as id#data (remote: id#R<len>),
so that the end-to-end test can compare what python-can understood with what was sent."""
import sys

import can

for message in can.LogReader(sys.argv[1]):
    width = 8 if message.is_extended_id else 3
    ident = format(message.arbitration_id, "0%dX" % width)
    if message.is_remote_frame:
        print("%s#R%s" % (ident, message.dlc if message.dlc else ""))
    else:
        print("%s#%s" % (ident, bytes(message.data).hex().upper()))
