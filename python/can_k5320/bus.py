"""A K5320 slot as a python-can bus: can.Bus(interface="k5320", channel=SLOT, bitrate=...)."""
import collections
import ctypes
import logging
import math
import threading
import time

import can
from can.broadcastmanager import (
    LimitedDurationCyclicSendTaskABC,
    ModifiableCyclicTaskABC,
    RestartableCyclicTaskABC,
)

from . import _facts
from .library import CanMsg, api, meaning

log = logging.getLogger("can.k5320")

FIRST_SLOT, LAST_SLOT = 1, 7
MAX_DATA_LENGTH = 8
ACCEPT_ALL_MASK = 0xFFFFFFFF  # a mask bit 1 is a don't care
USER_TIMING_INDEX = 0  # the rate index that takes BT0/BT1 as given
STAMP_SECONDS = 1e-4  # the module stamps frames in 0.1 ms
CRYSTAL_HZ = 16_000_000  # the module's SJA1000 runs on a 16 MHz crystal
ERROR_PASSIVE_LIMIT = 128

# The receiving policy, as the C headers give it: poll every millisecond while frames arrive;
# after a silence slow down step by step to one poll every 10 ms.
FAST_POLL_S = _facts.BUSY_POLL_MS / 1000
SLOWEST_POLL_S = _facts.IDLE_POLL_MS / 1000
POLL_BACKOFF_STEP_S = _facts.BACKOFF_STEP_MS / 1000
QUIET_BEFORE_BACKOFF_S = _facts.QUIET_BEFORE_BACKOFF_MS / 1000
SEND_RETRY_S = 0.001  # how often a full transmit buffer is tried again


def _failure(error_class, what, slot, result):
    return error_class(f"slot {slot}: {what} gave {result}: {meaning(result)}", error_code=result)


def bit_timing(bitrate, crystal_hz=CRYSTAL_HZ):
    """BTR0/BTR1 for a rate outside the module's table: 8 to 25 time quanta per bit, sample point
    near 87.5 %, SJW 1. Raises ValueError when the crystal cannot make the rate exactly."""
    quanta_clock = crystal_hz // 2  # the prescaler counts in two crystal cycles
    for quanta in range(16, 7, -1):
        prescaler, rest = divmod(quanta_clock, bitrate * quanta)
        if rest or not 1 <= prescaler <= 64:
            continue
        phase2 = max(2, round(quanta / 8))
        phase1 = quanta - 1 - phase2
        if phase1 > 16:
            continue
        return prescaler - 1, ((phase2 - 1) << 4) | (phase1 - 1)
    raise ValueError(f"bit rate {bitrate} cannot be made from the module's {crystal_hz} Hz crystal")


class K5320Bus(can.BusABC):
    """One slot of the backplane. channel: the slot, 1 to 7. bitrate: one of the module's rates or
    any rate its crystal makes; btr0/btr1 give the timing directly. acceptance_code/mask: the
    SJA1000's single filter (mask bit 1 = don't care); can_filters apply on top, in software."""

    def __init__(
        self,
        channel,
        can_filters=None,
        bitrate=500000,
        btr0=None,
        btr1=None,
        acceptance_code=0,
        acceptance_mask=ACCEPT_ALL_MASK,
        receive_own_messages=False,
        **kwargs,
    ):
        self.slot = int(channel)
        if not FIRST_SLOT <= self.slot <= LAST_SLOT:
            raise can.CanInitializationError(
                f"channel {channel}: a slot is {FIRST_SLOT} to {LAST_SLOT}")
        self.channel_info = f"K5320 slot {self.slot}"
        self._receive_own = receive_own_messages
        self._waiting = collections.deque()
        self._stamp_offset = math.inf
        self._last_frame_at = 0.0
        self._poll_s = FAST_POLL_S
        self._next_poll_at = 0.0  # monotonic time of the next fetch from the module
        self._count = ctypes.c_uint16()
        self._count_ref = ctypes.byref(self._count)
        self._open = False
        # One command at a time per slot: a Notifier's thread receives while others send, and two
        # commands in flight on one slot can cost one of them its answer.
        self._lock = threading.Lock()
        self._open_slot(bitrate, btr0, btr1, acceptance_code, acceptance_mask)
        super().__init__(channel=channel, can_filters=can_filters, **kwargs)

    # --- opening and closing ---

    def _open_slot(self, bitrate, btr0, btr1, code, mask):
        index, bt0, bt1 = self._rate_settings(bitrate, btr0, btr1)
        result = self._call(api.K5320_Init)
        if result == _facts.K5320_ERR_ALREADY_REGISTERED:
            raise can.CanInitializationError(
                f"slot {self.slot} is in use by another process (or already open in this one)",
                error_code=result)
        if result != _facts.K5320_SUCCESS:
            raise _failure(can.CanInitializationError, "K5320_Init", self.slot, result)
        self._open = True
        result = self._call(api.K5320_ConfigWithoutStruct, code, mask, index, bt0, bt1)
        if result != _facts.K5320_SUCCESS:
            self._close_slot()
            raise _failure(
                can.CanInitializationError, "K5320_ConfigWithoutStruct", self.slot, result)

    @staticmethod
    def _rate_settings(bitrate, btr0, btr1):
        if (btr0 is None) != (btr1 is None):
            raise ValueError("btr0 and btr1 go together")
        if btr0 is not None:
            return USER_TIMING_INDEX, int(btr0), int(btr1)
        bitrate = int(bitrate)
        if bitrate in _facts.STANDARD_BIT_RATES:
            return _facts.STANDARD_BIT_RATES.index(bitrate) + 1, 0, 0
        return (USER_TIMING_INDEX, *bit_timing(bitrate))

    def _call(self, function, *arguments):
        with self._lock:
            return function(self.slot, *arguments)

    def _close_slot(self):
        if self._open:
            self._open = False
            self._call(api.K5320_RemoveIrq)

    def shutdown(self):
        super().shutdown()
        self._close_slot()

    # --- receiving ---

    def _recv_internal(self, timeout):
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            now = time.monotonic()
            if not self._waiting and now >= self._next_poll_at:
                self._fetch(now)
            if self._waiting:
                return self._waiting.popleft(), False
            now = time.monotonic()
            if deadline is not None and now >= deadline:
                return None, False
            pause = max(0.0, self._next_poll_at - now)
            time.sleep(pause if deadline is None else min(pause, deadline - now))

    def _next_poll_interval(self, now):
        if now - self._last_frame_at < QUIET_BEFORE_BACKOFF_S:
            self._poll_s = FAST_POLL_S
        else:
            self._poll_s = min(SLOWEST_POLL_S, self._poll_s + POLL_BACKOFF_STEP_S)
        return self._poll_s

    def _fetch(self, began):
        """Reads every frame waiting on the module into the local queue, and sets the next poll:
        a busy bus costs one fetch per millisecond, not one per frame; after a full bank more may
        wait, so the next poll may come at once."""
        # A waiting receiver does nothing else a hundred times a second: nothing is made anew.
        count = self._count
        result = self._call(api.K5320_RxMsgCount, self._count_ref)
        if result != _facts.K5320_SUCCESS:
            raise _failure(can.CanOperationError, "K5320_RxMsgCount", self.slot, result)
        found = count.value
        if found:
            self._last_frame_at = began
        self._next_poll_at = began
        if found < _facts.RX_BANK_RECORDS:
            self._next_poll_at += self._next_poll_interval(began)
        if found == 0:
            return
        record = CanMsg()
        for _ in range(found):
            result = self._call(api.K5320_ReceiveMsg, ctypes.byref(record))
            if result == _facts.K5320_ERR_NO_MESSAGE:
                break
            if result == _facts.K5320_RX_DELIVERED_AFTER_OVERFLOW:
                log.warning("slot %d: frames were lost before this one (overflow)", self.slot)
            elif result != _facts.K5320_SUCCESS:
                raise _failure(can.CanOperationError, "K5320_ReceiveMsg", self.slot, result)
            self._waiting.append(self._message_of(record))

    def _message_of(self, record):
        # The module's clock has its own origin; the wall clock of the earliest read is the best
        # estimate of when stamp 0 was, since every frame is read after it arrived.
        stamp = record.TimeStamp * STAMP_SECONDS
        self._stamp_offset = min(self._stamp_offset, time.time() - stamp)
        remote = bool(record.RTR)
        length = min(record.DataLen, MAX_DATA_LENGTH)
        return can.Message(
            timestamp=stamp + self._stamp_offset,
            arbitration_id=record.MsgID,
            is_extended_id=bool(record.Mode),
            is_remote_frame=remote,
            dlc=length,
            data=b"" if remote else bytes(record.Data[:length]),
            channel=self.slot,
            is_rx=True,
        )

    # --- sending ---

    def send(self, msg, timeout=None):
        data = (ctypes.c_uint8 * MAX_DATA_LENGTH)(*msg.data[:MAX_DATA_LENGTH])
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            result = self._call(
                api.K5320_SendWithoutStruct, int(msg.is_extended_id), msg.arbitration_id,
                int(msg.is_remote_frame), msg.dlc, data)
            if result == _facts.K5320_SUCCESS:
                break
            if result != _facts.K5320_ERR_TX_REFUSED:
                raise _failure(can.CanOperationError, "K5320_SendWithoutStruct", self.slot, result)
            if deadline is not None and time.monotonic() >= deadline:
                raise can.CanOperationError(
                    f"slot {self.slot}: the transmit buffer stayed full", error_code=result)
            time.sleep(SEND_RETRY_S)
        if self._receive_own:
            own = msg.__copy__()
            own.timestamp, own.is_rx, own.channel = time.time(), False, self.slot
            self._waiting.append(own)

    def flush_tx_buffer(self):
        result = self._call(api.K5320_ClearTxSoftBuffer)
        if result != _facts.K5320_SUCCESS:
            raise _failure(can.CanOperationError, "K5320_ClearTxSoftBuffer", self.slot, result)

    def _send_periodic_internal(self, msgs, period, duration=None):
        cycle_ms = period * 1000
        if len(msgs) == 1 and cycle_ms >= 1 and cycle_ms == int(cycle_ms):
            task = ModuleCyclicTask(self, msgs, period, duration)
            if task.start_on_module():
                return task
            log.info("slot %d: cyclic table full, sending from Python", self.slot)
        return super()._send_periodic_internal(msgs, period, duration)

    # --- bus health ---

    def _register(self, address):
        value = ctypes.c_uint8()
        result = self._call(api.K5320_InputByte, address, ctypes.byref(value))
        if result != _facts.K5320_SUCCESS:
            raise _failure(can.CanOperationError, "K5320_InputByte", self.slot, result)
        return value.value

    @property
    def transmit_error_counter(self):
        return self._register(_facts.SJA1000_TXERR)

    @property
    def receive_error_counter(self):
        return self._register(_facts.SJA1000_RXERR)

    @property
    def state(self):
        status = ctypes.c_uint8()
        result = self._call(api.K5320_Status, ctypes.byref(status))
        if result != _facts.K5320_SUCCESS:
            raise _failure(can.CanOperationError, "K5320_Status", self.slot, result)
        if status.value & _facts.SR_BS:
            return can.BusState.ERROR
        counters = (self.transmit_error_counter, self.receive_error_counter)
        return can.BusState.PASSIVE if max(counters) >= ERROR_PASSIVE_LIMIT else can.BusState.ACTIVE

    @state.setter
    def state(self, new_state):
        raise NotImplementedError("the module's controller has no listen-only mode through the API")


class ModuleCyclicTask(
    LimitedDurationCyclicSendTaskABC, ModifiableCyclicTaskABC, RestartableCyclicTaskABC
):
    """A periodic frame in the module's own cyclic table: sent by the firmware on its grid of
    cycle times, with no Python thread involved."""

    def __init__(self, bus, messages, period, duration):
        super().__init__(messages, period, duration)
        self._bus = bus
        self._handle = None

    def start_on_module(self):
        """True when the module took the entry, False when its table is full."""
        msg = self.messages[0]
        cycle_ms = round(self.period * 1000)
        count = 0 if self.duration is None else max(1, math.ceil(self.duration / self.period))
        data = (ctypes.c_uint8 * MAX_DATA_LENGTH)(*msg.data[:MAX_DATA_LENGTH])
        handle = ctypes.c_uint8()
        result = self._bus._call(
            api.K5320_AddCyclicTxMsg, int(msg.is_extended_id), msg.arbitration_id,
            int(msg.is_remote_frame), msg.dlc, data, cycle_ms, count, ctypes.byref(handle))
        if result == _facts.K5320_ERR_CYCLIC_REFUSED:
            return False
        if result != _facts.K5320_SUCCESS:
            raise _failure(can.CanOperationError, "K5320_AddCyclicTxMsg", self._bus.slot, result)
        self._handle = handle.value
        return True

    def start(self):
        if self._handle is None and not self.start_on_module():
            raise can.CanOperationError(f"slot {self._bus.slot}: the cyclic table is full")

    def stop(self):
        if self._handle is None:
            return
        handle, self._handle = self._handle, None
        result = self._bus._call(api.K5320_DeleteCyclicTxMsg, handle)
        if result != _facts.K5320_SUCCESS and self._bus._open:
            raise _failure(can.CanOperationError, "K5320_DeleteCyclicTxMsg", self._bus.slot, result)

    def modify_data(self, messages):
        # An entry of the table cannot be changed in place: the new data replaces it.
        super().modify_data(messages)
        self.stop()
        self.start()
