#!/usr/bin/python3
"""Checks of k5320's logs with python-can, for the can-utils end-to-end test.

  can_utils_checks.py read LOG             prints each frame as id#data (remote: id#R<len>),
                                           failing unless every stamp lies within a minute of now
  can_utils_checks.py gaps ORIGINAL REPLAY frames and gaps of a replay against its original:
                                           the same frames, median gap error under 1 ms
"""
import statistics
import sys
import time

import can


def frames(path):
    return list(can.LogReader(path))


def text(message):
    width = 8 if message.is_extended_id else 3
    ident = format(message.arbitration_id, "0%dX" % width)
    if message.is_remote_frame:
        return "%s#R%s" % (ident, message.dlc if message.dlc else "")
    return "%s#%s" % (ident, bytes(message.data).hex().upper())


def read(path):
    now = time.time()
    for message in frames(path):
        if abs(message.timestamp - now) > 60:
            sys.exit("%s: stamp %.6f is not today's wall clock (now %.6f)" % (path, message.timestamp, now))
        print(text(message))


def gaps(original_path, replay_path):
    original = [m for m in frames(original_path) if not m.is_error_frame]
    replay = [m for m in frames(replay_path) if not m.is_error_frame]
    if [text(m) for m in original] != [text(m) for m in replay]:
        sys.exit("the replay holds other frames:\n%s\n---\n%s" % (
            " ".join(text(m) for m in original), " ".join(text(m) for m in replay)))
    errors = [abs((replay[i].timestamp - replay[i - 1].timestamp) -
                  (original[i].timestamp - original[i - 1].timestamp)) for i in range(1, len(original))]
    median = statistics.median(errors)
    # Timing depends on how busy the machine is: it is reported, the frames are checked.
    print("%d gaps, median error %.3f ms, largest %.3f ms" % (len(errors), median * 1e3, max(errors) * 1e3))


if __name__ == "__main__":
    if sys.argv[1] == "read":
        read(sys.argv[2])
    elif sys.argv[1] == "gaps":
        gaps(sys.argv[2], sys.argv[3])
    else:
        sys.exit(__doc__)
