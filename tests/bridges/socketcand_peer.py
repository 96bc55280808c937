#!/usr/bin/python3
"""python-can's socketcand interface as the peer of the emulated backplane.

  socketcand_peer.py frames N                      N frames in cansend syntax, mixed formats
  socketcand_peer.py send PORT FILE                sends FILE's frames
  socketcand_peer.py recv PORT N OUT READY         writes the next N frames to OUT (touches READY
                                                   once the bus is open)
  socketcand_peer.py garbage PORT                  a raw client sending malformed lines: each
                                                   must be answered with an error
Frames are cansend text. python-can 4.1 reads a frame's identifier without its format, so the
extended frames here use identifiers above 0x7FF: three digits mean standard, eight extended.
"""
import logging
import pathlib
import socket
import sys
import time

import can

# python-can reports every receive that ends inside a frame as a warning; the frames themselves
# are checked here, so only its errors are of interest.
logging.getLogger("can.interfaces.socketcand").setLevel(logging.ERROR)

HOST = "127.0.0.1"
TIMEOUT_S = 60


def text_of(msg):
    ident = f"{msg.arbitration_id:08X}" if msg.arbitration_id > 0x7FF else f"{msg.arbitration_id:03X}"
    return ident + "#" + msg.data[: msg.dlc].hex().upper()


def message_of(text):
    ident, data = text.split("#")
    return can.Message(arbitration_id=int(ident, 16), is_extended_id=len(ident) == 8,
                       data=bytes.fromhex(data))


def frames(count):
    for i in range(count):
        length = i % 9
        data = bytes((i * 7 + k * 31) & 0xFF for k in range(length))
        ident = f"{(i * 0x35) & 0x7FF:03X}" if i % 3 else f"{0x800 + i * 0x1F3F1 & 0x1FFFFFFF:08X}"
        print(ident + "#" + data.hex().upper())


def bus(port):
    return can.Bus(interface="socketcand", host=HOST, port=port, channel="can0")


def send(port, path):
    with bus(port) as b:
        for line in pathlib.Path(path).read_text().split():
            b.send(message_of(line))
        time.sleep(0.5)  # let the server read everything before the connection goes


def recv(port, count, out, ready):
    got = []
    with bus(port) as b:
        pathlib.Path(ready).touch()
        end = time.monotonic() + TIMEOUT_S
        while len(got) < count and time.monotonic() < end:
            msg = b.recv(timeout=1)
            if msg is not None:
                got.append(text_of(msg))
    pathlib.Path(out).write_text("".join(line + "\n" for line in got))
    return 0 if len(got) == count else 1


def answer(sock):
    sock.settimeout(5)
    data = b""
    while not data.endswith(b">"):
        chunk = sock.recv(256)
        if not chunk:
            raise RuntimeError("server closed the connection")
        data += chunk
    return data.decode("ascii")


def garbage(port):
    failures = 0
    with socket.create_connection((HOST, port)) as sock:
        assert answer(sock) == "< hi >"
        for line in [b"< send 123 1 01 >", b"hello\n", b"< open can9 >", b"< rawmode >"]:
            sock.sendall(line)
            reply = answer(sock)
            if not reply.startswith("< error "):
                print(f"{line!r} answered {reply!r}, not an error")
                failures += 1
        sock.sendall(b"< open can0 >")
        assert answer(sock) == "< ok >"
        for line in [b"< send 123 9 1 2 3 4 5 6 7 8 9 >", b"< send 20000000 0  >", b"< send 1 1 >",
                     b"< open can0 >", b"< bcmmode >", b"< send 1 1 zz >", b"\x00\xff junk"]:
            sock.sendall(line)
            reply = answer(sock)
            if not reply.startswith("< error "):
                print(f"{line!r} answered {reply!r}, not an error")
                failures += 1
        # Still served: a good frame after all that goes onto the bus.
        sock.sendall(b"< send 321 2 ab cd >")
        sock.sendall(b"< echo >")
        if answer(sock) != "< echo >":
            print("no echo after the malformed lines")
            failures += 1
    # A client that goes away in the middle of a command.
    with socket.create_connection((HOST, port)) as sock:
        answer(sock)
        sock.sendall(b"< open can0 >< send 12")
    return failures


def main():
    mode = sys.argv[1]
    if mode == "frames":
        frames(int(sys.argv[2]))
        return 0
    port = int(sys.argv[2])
    if mode == "send":
        send(port, sys.argv[3])
        return 0
    if mode == "recv":
        return recv(port, int(sys.argv[3]), sys.argv[4], sys.argv[5])
    if mode == "garbage":
        return garbage(port)
    return 2


if __name__ == "__main__":
    sys.exit(main())
