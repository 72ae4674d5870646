"""Inventories: tag reads as a stream, sync or async.

An inventory makes, on the reader, a tag selector for the EPC prefix (when
one is given), an inventory specification (format 517: PC, EPC, CRC), and a
schedule that runs it on the chosen antennas in turn (or on every antenna),
with the read limit as the reader's own stop condition. The schedule starts
with the first step of the iterator and is stopped, and everything removed,
when the iteration ends.
"""
from __future__ import annotations

import time
from ctypes import POINTER, byref, c_uint8, pointer
from typing import TYPE_CHECKING, Any, List, Optional, Sequence, Tuple

from . import _handoff, _native
from ._runs import AsyncStream, Run, Stream
from .types import TagRead

if TYPE_CHECKING:
    from .reader import Reader

OBJ_TAG_SELECTOR, OBJ_INVENTORY, OBJ_ACCESS, OBJ_ANTENNA, OBJ_SCHEDULE = 3, 5, 7, 8, 11
ENTRY_OBJECT, ENTRY_VALUE = 0, 1
BANK_EPC = 1
MAX_EPC_BITS = 496
READER_READ_LIMIT = 65535  # the reader's limit entry holds 16 bits
STOP_WAIT_S = 5.0  # for the reader's stop event after a stop
STOP_REASONS = {0: "stopped", 1: "duration elapsed", 2: "read limit reached", 3: "passes done",
                4: "distinct tag limit reached", 5: "a schedule of higher priority started", 6: "removed"}


def epc_prefix_bits(prefix: Any, what: str = "epc_prefix") -> Tuple[bytes, int]:
    """The bytes and bit count of an EPC prefix given as hex digits (an odd count is a half byte) or bytes."""
    if isinstance(prefix, (bytes, bytearray)):
        data, bits = bytes(prefix), 8 * len(prefix)
    elif isinstance(prefix, str):
        digits = prefix.replace(" ", "").replace(":", "")
        if digits[:2].lower() == "0x":
            digits = digits[2:]
        try:
            data = bytes.fromhex(digits + ("0" if len(digits) % 2 else ""))
        except ValueError:
            raise ValueError("%s must be hex digits, not %r" % (what, prefix)) from None
        bits = 4 * len(digits)
    else:
        raise TypeError("%s must be a str of hex digits or bytes, not %s" % (what, type(prefix).__name__))
    if bits == 0:
        raise ValueError("%s must hold at least one hex digit" % what)
    if bits > MAX_EPC_BITS:
        raise ValueError("%s is longer than an EPC can be (%d bits)" % (what, MAX_EPC_BITS))
    return data, bits


def make_selector(reader: "Reader", run: Run[Any], data: bytes, bits: int) -> int:
    """A tag selector for the tags whose EPC starts with ``bits`` bits of ``data``: bank 1 from bit 0x20."""
    filt = _native.TagFilter()
    buffer = (c_uint8 * max(1, len(data))).from_buffer_copy(data or b"\0")
    _native.core.ulmot_SetTagFilterC1G2(byref(filt), BANK_EPC, 0x20, 0, 0, bits, buffer, 0)
    filters = (POINTER(_native.TagFilter) * 1)(pointer(filt))
    selector = c_uint8()
    reader._check(_native.core.ulmot_AddTagSelectorSpecification(reader._client, byref(selector),
                                                                  filters, 1), "adding the tag selector")
    run.made.append((OBJ_TAG_SELECTOR, selector.value))
    return selector.value


def make_inventory(reader: "Reader", run: Run[Any], selector: int, session: int) -> int:
    """An inventory specification with format 517 (PC, EPC, CRC), through ``selector`` when not 0."""
    selectors = (c_uint8 * 1)(selector)
    instance = c_uint8()
    reader._check(_native.core.ulmot_AddInventorySpecification(
        reader._client, byref(instance), 517, 0, 0, session, selectors if selector else None,
        1 if selector else 0), "adding the inventory specification")
    run.made.append((OBJ_INVENTORY, instance.value))
    return instance.value


def make_schedule(reader: "Reader", run: Run[Any], entries: Sequence[Tuple[int, int, int]]) -> int:
    """A schedule of ``entries`` (kind, first value, second value) that reports its start and stop."""
    records = [_native.ScheduleEntry(kind, first, second) for kind, first, second in entries]
    pointers = (POINTER(_native.ScheduleEntry) * len(records))(
        *[pointer(r) for r in records])
    schedule = c_uint8()
    reader._check(_native.core.ulmot_AddScheduleSpecification(reader._client, byref(schedule),
                                                               pointers, len(records), 1, 1), "adding the schedule")
    run.made.append((OBJ_SCHEDULE, schedule.value))
    return schedule.value


class InventoryRun(Run[TagRead]):
    """One inventory on the reader and the reads it reports."""

    purpose = "tags"
    scheduled = True

    def __init__(self, reader: "Reader", antennas: List[int], prefix: Optional[Tuple[bytes, int]],
                 reads: Optional[int]) -> None:
        super().__init__(reader)
        self.antennas = antennas
        self.prefix = prefix
        self.reads = reads
        self.inventory = -1
        self.stop_reason: Optional[int] = None
        self.count = 0
        self._final: Optional[Tuple[int, int]] = None  # (dropped, lost) once the run is over

    def begin(self) -> None:
        r = self.reader
        r._attach(OBJ_TAG_SELECTOR, OBJ_INVENTORY, OBJ_ANTENNA, OBJ_SCHEDULE)
        selector = make_selector(r, self, *self.prefix) if self.prefix else 0
        self.inventory = make_inventory(r, self, selector, 0)
        entries: List[Tuple[int, int, int]] = []
        for antenna in self.antennas:
            entries += [(ENTRY_OBJECT, OBJ_ANTENNA, antenna), (ENTRY_OBJECT, OBJ_INVENTORY, self.inventory)]
        if not self.antennas:
            entries.append((ENTRY_OBJECT, OBJ_INVENTORY, self.inventory))
        if self.reads is not None and self.reads <= READER_READ_LIMIT:
            entries.append((ENTRY_VALUE, 0, (1 << 16) | self.reads))  # code 1: tag reports
        self.schedule = make_schedule(r, self, entries)
        r._register_tag_events(self, with_access=False)
        # Start flag 1: the passes repeat until a stop (or the read limit).
        r._check(_native.core.ulmot_StartScheduleSpecification(r._client, self.schedule, 1),
                 "starting the schedule (is another schedule running on the reader?)")

    def handle(self, kind: int, data: bytes, offset: int, reader_time: int, wall: int, out: List[TagRead]) -> None:
        if kind == _handoff.TAG:
            instance, read = _handoff.tag_read(data, offset)
            if instance != self.inventory:
                return  # another client's inventory on the same reader
            self.count += 1
            out.append(read)
        elif kind == _handoff.SCHEDULE_STOP:
            schedule, reason = _handoff.SCHEDULE_BODY.unpack_from(data, offset + _handoff.HEADER.size)
            if schedule == self.schedule:
                self.stop_reason = reason
                self.ended = STOP_REASONS.get(reason, "the reader ended the run (reason %d)" % reason)

    def wind_down(self) -> List[TagRead]:
        """Stops the schedule and takes the reads up to its stop event, the last event of a run."""
        if self.ended is not None or not self.reader.link_up:
            return []
        status = c_uint8()
        result = _native.core.ulmot_StopScheduleSpecification(self.reader._client, self.schedule,
                                                              byref(status))
        out: List[TagRead] = []
        deadline = time.monotonic() + STOP_WAIT_S
        while result == 0 and self.ended is None and self.reader.link_up and time.monotonic() < deadline:
            out += self.poll(10)
        if self.ended is None:
            self.ended = "stopped"
        return out

    def settle(self) -> None:
        """At the read limit: the reader stops the run itself right after its last report (a limit it
        holds), so its stop event is waited for; a larger limit is the iterator's, and the run is stopped."""
        if self.reads is not None and self.reads <= READER_READ_LIMIT:
            deadline = time.monotonic() + STOP_WAIT_S
            while self.ended is None and self.reader.link_up and time.monotonic() < deadline:
                self.poll(10)  # nothing of this run follows its last report but the stop
            if self.ended is not None:
                return
        self.wind_down()

    def finish(self) -> None:
        if not self.finished and self.ended is None and self.schedule >= 0 and self.reader.link_up:
            _native.core.ulmot_StopScheduleSpecification(self.reader._client, self.schedule, None)
        super().finish()

    def closing(self) -> None:
        self._final = self.counts()

    def counts(self) -> Tuple[int, int]:
        """(dropped, lost) of this run's reads so far. A run the reader ended at its read limit had
        exactly that many reports: those after the last one seen never came, and are lost too."""
        if self._final is not None:
            return self._final
        if self.inventory < 0:
            return (0, 0)
        dropped, lost, last = self.inbox.tag_counts(self.inventory)
        if self.stop_reason == 2 and self.reads is not None and self.reads <= READER_READ_LIMIT and last < self.reads:
            lost += self.reads - last
        return (dropped, lost)


class _Counts:
    """The counts of an inventory, for both iterator forms."""

    _run: InventoryRun

    @property
    def lost(self) -> int:
        """Reports lost on the way: gaps in the reader's report numbers."""
        return self._run.counts()[1]

    @property
    def dropped(self) -> int:
        """Reads refused by the hand-off while Python fell behind (its bound was full)."""
        return self._run.counts()[0]

    @property
    def count(self) -> int:
        """Reads of this inventory handed to Python so far."""
        return self._run.count

    @property
    def end(self) -> Optional[str]:
        """Why the reader ended the run ("read limit reached"...), or None."""
        return self._run.ended


class Inventory(_Counts, Stream[TagRead]):
    """The reads of one inventory: iterate it; ``lost``, ``dropped`` and ``count`` say what became of them."""


class AsyncInventory(_Counts, AsyncStream[TagRead]):
    """The reads of one inventory under asyncio (``async for``)."""


def check_reads(reads: Optional[int]) -> None:
    if reads is None:
        return
    if isinstance(reads, bool) or not isinstance(reads, int):
        raise TypeError("reads must be an int, not %s" % type(reads).__name__)
    if reads < 1:
        raise ValueError("reads must be at least 1, not %d" % reads)


def check_antennas(antennas: Optional[Sequence[int]]) -> List[int]:
    if antennas is None:
        return []
    if isinstance(antennas, (str, bytes)) or not hasattr(antennas, "__iter__"):
        raise TypeError("antennas must be a list of antenna numbers")
    out: List[int] = []
    for a in antennas:
        if isinstance(a, bool) or not isinstance(a, int):
            raise TypeError("each antenna must be an int, not %r" % (a,))
        if not 1 <= a <= 255:
            raise ValueError("antenna %d is out of range (1 to 255)" % a)
        if a in out:
            raise ValueError("antenna %d is named twice" % a)
        out.append(a)
    if not out:
        raise ValueError("antennas must name at least one antenna (or be None for all)")
    return out


def check_duration(duration: Optional[float], what: str = "duration") -> None:
    if duration is None:
        return
    if isinstance(duration, bool) or not isinstance(duration, (int, float)):
        raise TypeError("%s must be seconds (a number), not %s" % (what, type(duration).__name__))
    if not duration > 0:
        raise ValueError("%s must be above 0 seconds, not %r" % (what, duration))

