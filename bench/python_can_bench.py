#!/usr/bin/env python3
"""python-can through the K5320 plugin beside python-can's virtual bus, measured in one run.

For each: frames per second from a sender to a receiver on a saturated bus, the receiving
process's CPU per frame, and the CPU of a receiver that waits with nothing arriving. K5320 runs
through a backplane service of the bench's own, with the sender in another process, so the
receiving process holds only python-can, the plugin and the library. The K5320 bus runs at
1 Mbit/s, paced, and its limit is computed from the frame length.

Usage: PYTHONPATH=build/python K5320_BACKPLANED=build/backplane/k5320-backplaned \
         [K5320_IDLE_FLOOR=build/bench/bench_idle_floor] python_can_bench.py [SECONDS]
  (it sets up a backplane service of its own, and stops it at the end)
"""
import os
import subprocess
import sys
import tempfile
import threading
import time

BIT_RATE = 1_000_000
DATA = bytes([0x55] * 8)  # alternating bits: no stuff bits in the data field
IDENTIFIER = 0x555
# An 11-bit data frame: 44 bits of frame around the data, 3 bits of intermission (stuff bits
# aside, which this identifier and data avoid as far as the header allows).
FRAME_BITS = 44 + 8 * len(DATA) + 3
IDLE_SECONDS = 5.0
# Longer than the receiving policy takes to back off to its idle pace (100 ms, then 10 steps).
BACKED_OFF_SECONDS = 0.3
SERVICE = os.environ.get("K5320_BACKPLANED", "k5320-backplaned")
# The bare cost of the idle pace on this machine (bench_idle_floor): when given, measured over
# the same seconds as the plugin's waiting receiver and printed beside it.
IDLE_FLOOR = os.environ.get("K5320_IDLE_FLOOR")


SENDER_PROGRAM = """
import can, sys, time
bus = can.Bus(interface="k5320", channel=1, bitrate=int(sys.argv[1]))
message = can.Message(arbitration_id=int(sys.argv[2]), is_extended_id=False,
                      data=bytes.fromhex(sys.argv[3]))
print("open", flush=True)
end = time.monotonic() + float(sys.argv[4])
sent = 0
while time.monotonic() < end:
    try:
        bus.send(message, timeout=0.1)
        sent += 1
    except can.CanOperationError:
        pass
time.sleep(0.1)  # the module's queue empties onto the bus before the slot is released
bus.shutdown()
print(sent, flush=True)
"""


def backplane(folder):
    config = os.path.join(folder, "backplane.conf")
    with open(config, "w", encoding="ascii") as f:
        f.write(f"bus bench rate={BIT_RATE}\nslot 1 5320 bus=bench\nslot 2 5320 bus=bench\n")
    os.environ.update(TARN_BACKPLANE="service", TARN_BACKPLANE_CONFIG=config,
                      TARN_BACKPLANE_RUNTIME=os.path.join(folder, "run"),
                      TARN_BACKPLANE_STATE=os.path.join(folder, "state"))


def through_service(can, seconds):
    receiver = can.Bus(interface="k5320", channel=2, bitrate=BIT_RATE)
    sender = subprocess.Popen(
        [sys.executable, "-c", SENDER_PROGRAM, str(BIT_RATE), str(IDENTIFIER), DATA.hex(),
         str(seconds)], stdout=subprocess.PIPE, text=True)
    try:
        sender.stdout.readline()
        received, cpu = 0, time.process_time()
        while sender.poll() is None:
            if receiver.recv(0.1) is not None:
                received += 1
        cpu_per_frame = (time.process_time() - cpu) / max(received, 1)
        while receiver.recv(BACKED_OFF_SECONDS) is not None:
            received += 1
        sent = int(sender.stdout.readline())
        # The sender sent for exactly `seconds`; what its module still held then is counted too,
        # a bank's worth at most.
        rate = received / seconds
        floor = floor_alongside()
        idle = idle_cpu(receiver)
    finally:
        sender.wait()
        receiver.shutdown()
    report("k5320 svc", rate, cpu_per_frame, idle)
    print(f"k5320 svc  received {received} of the {sent} frames sent", flush=True)
    if floor is not None:
        print(floor.communicate()[0], end="", flush=True)
    return rate


def saturate(can, sender, receiver, seconds):
    stop = threading.Event()
    message = can.Message(arbitration_id=IDENTIFIER, is_extended_id=False, data=DATA)

    def send():
        while not stop.is_set():
            try:
                sender.send(message, timeout=0.1)
            except can.CanOperationError:
                pass  # the buffer stayed full: the bus is saturated

    thread = threading.Thread(target=send)
    received = 0
    cpu, wall = time.process_time(), time.monotonic()
    thread.start()
    while time.monotonic() - wall < seconds:
        if receiver.recv(0.1) is not None:
            received += 1
    stop.set()
    thread.join()
    return received / (time.monotonic() - wall), (time.process_time() - cpu) / max(received, 1)


def floor_alongside():
    """Starts the floor measurement, if one was given, to run while the receiver waits."""
    if not IDLE_FLOOR:
        return None
    return subprocess.Popen([IDLE_FLOOR, str(IDLE_SECONDS)], stdout=subprocess.PIPE, text=True)


def idle_cpu(receiver):
    """The CPU share of a receiver waiting with nothing arriving, once what is left is read and
    its polls have backed off to their idle pace."""
    while receiver.recv(BACKED_OFF_SECONDS) is not None:
        pass
    cpu, wall = time.process_time(), time.monotonic()
    receiver.recv(IDLE_SECONDS)
    return (time.process_time() - cpu) / (time.monotonic() - wall)


def measure(can, name, open_bus, seconds):
    sender, receiver = open_bus(1), open_bus(2)
    try:
        rate, cpu_per_frame = saturate(can, sender, receiver, seconds)
        idle = idle_cpu(receiver)
    finally:
        sender.shutdown()
        receiver.shutdown()
    report(name, rate, cpu_per_frame, idle)
    return rate


def report(name, rate, cpu_per_frame, idle):
    print(f"{name:10s} {rate:10.0f} frames/s  {cpu_per_frame * 1e6:8.1f} us CPU/frame"
          f"  idle recv {idle * 100:5.2f} % of a core", flush=True)


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 5.0
    import can

    limit = BIT_RATE / FRAME_BITS
    print(f"bus limit at {BIT_RATE} bit/s: {limit:.0f} frames/s ({FRAME_BITS} bits a frame)")
    with tempfile.TemporaryDirectory() as folder:
        backplane(folder)
        service = through_service(can, seconds)
        subprocess.run([SERVICE, "--stop"], check=False, capture_output=True)
    measure(can, "virtual", lambda slot: can.Bus(
        interface="virtual", channel="bench", receive_own_messages=False), seconds)
    print(f"k5320 through the service received {service / limit:.3f} of the bus limit")


if __name__ == "__main__":
    main()
