"""The python-can plugin against the emulated backplane, through Debian's python-can.

Slots 1 and 2 share a paced bus (tests/link/backplane.conf); the backplane runs in this process.
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time
import unittest

import can

from can_k5320.bus import bit_timing

SENDER, RECEIVER = 1, 2
RATE = 500000
WAIT_S = 2.0


def frames_of_every_kind():
    for extended in (False, True):
        identifier = 0x1ABCDE01 if extended else 0x5A5
        for length in range(9):
            yield can.Message(arbitration_id=identifier + length, is_extended_id=extended,
                              data=bytes(range(0xA0, 0xA0 + length)))
            yield can.Message(arbitration_id=identifier + length, is_extended_id=extended,
                              is_remote_frame=True, dlc=length)


def same_frame(a, b):
    return (a.arbitration_id, a.is_extended_id, a.is_remote_frame, a.dlc, bytes(a.data)) == (
        b.arbitration_id, b.is_extended_id, b.is_remote_frame, b.dlc, bytes(b.data))


class Counter(can.Listener):
    def __init__(self):
        self.count = 0

    def on_message_received(self, msg):
        self.count += 1


class TwoSlots(unittest.TestCase):
    def open(self, slot, **options):
        bus = can.Bus(interface="k5320", channel=slot, bitrate=RATE, **options)
        self.addCleanup(bus.shutdown)
        return bus

    def receive_all(self, bus, count):
        received = []
        while len(received) < count:
            message = bus.recv(WAIT_S)
            self.assertIsNotNone(message, f"only {len(received)} of {count} frames arrived")
            received.append(message)
        return received

    def test_frames_of_every_kind_cross_exactly_both_ways(self):
        a, b = self.open(SENDER), self.open(RECEIVER)
        sent = list(frames_of_every_kind())
        for sender, receiver in ((a, b), (b, a)):
            before = time.time()
            for message in sent:
                sender.send(message, timeout=WAIT_S)
            received = self.receive_all(receiver, len(sent))
            for want, got in zip(sent, received):
                self.assertTrue(same_frame(want, got), f"sent {want}, received {got}")
                self.assertTrue(before - 1 <= got.timestamp <= time.time() + 1, got.timestamp)
        self.assertEqual(a.state, can.BusState.ACTIVE)

    def test_logger_files_read_back_identical(self):
        a, b = self.open(SENDER), self.open(RECEIVER)
        sent = list(frames_of_every_kind())
        with tempfile.TemporaryDirectory() as folder:
            paths = [os.path.join(folder, "trace.asc"), os.path.join(folder, "trace.blf")]
            loggers = [can.Logger(path) for path in paths]
            counter = Counter()
            notifier = can.Notifier(b, [*loggers, counter])
            for message in sent:
                a.send(message, timeout=WAIT_S)
            deadline = time.monotonic() + WAIT_S * 5
            while counter.count < len(sent) and time.monotonic() < deadline:
                time.sleep(0.05)
            notifier.stop()  # stops the loggers too, which close their files
            for path in paths:
                read = [m for m in can.LogReader(path) if not m.is_error_frame]
                self.assertEqual(len(read), len(sent), path)
                for want, got in zip(sent, read):
                    self.assertTrue(same_frame(want, got), f"{path}: sent {want}, read {got}")


    def test_module_cyclic_frames_keep_their_period_and_stop(self):
        a, b = self.open(SENDER), self.open(RECEIVER)
        period = 0.010
        task = a.send_periodic(can.Message(arbitration_id=0x77, data=b"\x01"), period)
        stamps = [m.timestamp for m in self.receive_all(b, 30)]
        task.stop()
        gaps = [later - earlier for earlier, later in zip(stamps, stamps[1:])]
        self.assertLess(abs(statistics.median(gaps) - period), 0.0002, gaps)
        while b.recv(period * 5) is not None:  # what was on its way when the task stopped
            pass
        self.assertIsNone(b.recv(period * 10), "frames still come after stop")

    def test_filters_in_the_controller_and_in_software(self):
        # Identifiers 0x100..0x107 pass the SJA1000: ACR0 holds the identifier's top 8 bits and
        # everything else is a don't care.
        a = self.open(SENDER)
        b = self.open(RECEIVER, acceptance_code=0x20000000, acceptance_mask=0x00FFFFFF)
        for identifier in (0x0FF, 0x100, 0x107, 0x108, 0x200):
            a.send(can.Message(arbitration_id=identifier, is_extended_id=False), timeout=WAIT_S)
        self.assertEqual([m.arbitration_id for m in self.receive_all(b, 2)], [0x100, 0x107])
        self.assertIsNone(b.recv(0.2))
        b.set_filters([{"can_id": 0x107, "can_mask": 0x7FF, "extended": False}])
        for identifier in (0x100, 0x107):
            a.send(can.Message(arbitration_id=identifier, is_extended_id=False), timeout=WAIT_S)
        self.assertEqual(b.recv(WAIT_S).arbitration_id, 0x107)
        self.assertIsNone(b.recv(0.2))

    def test_a_slot_owned_by_another_process_is_refused_clearly(self):
        holder = subprocess.Popen(
            [sys.executable, "-c",
             "import can, sys; b = can.Bus(interface='k5320', channel=1);"
             " print('open', flush=True);"
             " sys.stdin.read(); b.shutdown()"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.addCleanup(holder.wait)
        self.addCleanup(holder.stdin.close)
        self.assertEqual(holder.stdout.readline().strip(), "open")
        with self.assertRaises(can.CanInitializationError) as refused:
            can.Bus(interface="k5320", channel=1)
        self.assertIn("in use by another process", str(refused.exception))


class BitTiming(unittest.TestCase):
    def test_rates_outside_the_table_get_the_usual_sja1000_values(self):
        self.assertEqual(bit_timing(100000), (0x04, 0x1C))
        self.assertEqual(bit_timing(1000000), (0x00, 0x14))
        with self.assertRaises(ValueError):
            bit_timing(33333)


if __name__ == "__main__":
    unittest.main()
