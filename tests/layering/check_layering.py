#!/usr/bin/env python3
"""Fails when a part of the tree includes a part it must not use.

Each quoted include is resolved to the file it names (beside the including file, then from the
top of the tree, then from include/), so the verdict does not depend on how the include is
spelled. The rules below are the one place the allowed directions are written down; the
README's Layout shows the same order.

Usage: check_layering.py [TREE]   (default: the tree this script lies in)
"""
import os
import re
import sys

# Every part of the tree, lowest first, with the parts it may include besides itself. A part is
# a folder or a single file; a file belongs to the longest part its path starts with.
LAYERS = [
    ("include", []),  # the C API and the module facts driver and emulator share
    ("platform", ["include"]),
    ("can", []),  # the CAN facts: frame and record codec, exact length, text forms
    ("emulator", ["include", "platform", "can"]),
    ("bridges", ["include", "platform", "can", "emulator"]),
    ("driver/sdk", []),
    # The one upward edge: the stand-in backplane includes the SDK declarations only so that the
    # compiler checks its definitions against them.
    ("backplane", ["include", "platform", "can", "emulator", "bridges", "driver/sdk"]),
    ("driver", ["include", "platform", "can", "driver/sdk"]),
    ("update", ["include"]),  # the firmware update over the C API
    ("utility", ["include", "platform", "can", "update"]),
    ("tools", [
        "include", "platform", "can", "driver/sdk", "update",
        # the backplane's public requests
        "backplane/fault_request.h", "backplane/problems.h", "backplane/bus_tap.h",
        "backplane/slot_holder.h", "backplane/remote_links.h",
    ]),
]

# Inside driver/, files in this order, lowest first; a file may include files of its own rank
# or below. Files not listed are exported functions, the top.
DRIVER_RANKS = [
    ("slot state", ["driver/frame/slot_state", "driver/frame/slot_ownership"]),
    ("port access", ["driver/dpram/dpram_io"]),
    ("interrupt service and recovery", ["driver/irq/"]),
    ("command exchange", ["driver/dpram/handshake"]),
]
DRIVER_EXPORTS = "exported functions"
DRIVER_TOP_EXCEPTIONS = ["driver/irq/remove_irq.cpp"]  # an exported function in irq/

SOURCE_SUFFIXES = (".h", ".hpp", ".c", ".cc", ".cpp")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)


def part_of(path):
    best = None
    for name, _ in LAYERS:
        if path == name or path.startswith(name.rstrip("/") + "/"):
            if best is None or len(name) > len(best):
                best = name
    return best


def driver_rank(path):
    if path in DRIVER_TOP_EXCEPTIONS:
        return len(DRIVER_RANKS), DRIVER_EXPORTS
    for rank, (name, prefixes) in enumerate(DRIVER_RANKS):
        if any(path.startswith(p) for p in prefixes):
            return rank, name
    return len(DRIVER_RANKS), DRIVER_EXPORTS


def resolve(tree, including, spelled):
    for base in (os.path.dirname(including), "", "include"):
        candidate = os.path.normpath(os.path.join(base, spelled))
        if os.path.isfile(os.path.join(tree, candidate)):
            return candidate
    return None


def allowed(user, used_path):
    if part_of(used_path) == user:
        return True
    for target in dict(LAYERS)[user]:
        if used_path == target or used_path.startswith(target.rstrip("/") + "/"):
            return True
    return False


def violations(tree):
    found = []
    for part, _ in LAYERS:
        top = os.path.join(tree, part)
        if not os.path.isdir(top):
            continue
        for folder, _, files in os.walk(top):
            for name in sorted(files):
                if not name.endswith(SOURCE_SUFFIXES):
                    continue
                path = os.path.relpath(os.path.join(folder, name), tree)
                user = part_of(path)
                with open(os.path.join(tree, path), encoding="utf-8", errors="replace") as f:
                    text = f.read()
                for spelled in INCLUDE.findall(text):
                    used = resolve(tree, path, spelled)
                    if used is None:
                        continue  # a generated or system header: nothing of ours
                    if not allowed(user, used):
                        found.append(f"{path}: {user} may not include {used}")
                    elif user == "driver" and part_of(used) == "driver":
                        (mine, my_name), (theirs, their_name) = driver_rank(path), driver_rank(used)
                        if theirs > mine:
                            found.append(f"{path} ({my_name}) may not include {used} ({their_name})")
    return found


def main():
    tree = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..")
    found = violations(os.path.abspath(tree))
    for line in found:
        print(line)
    print(f"layering: {len(found)} include(s) against the direction of the layers")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
