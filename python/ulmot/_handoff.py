"""The Python side of the hand-off inbox (python/native/uho.h).

The library's callbacks, registered as the native uho_On... functions, copy
each event into a bounded inbox on the library's thread; no Python code runs
there. Python takes whole records in batches, with the GIL released while it
waits, and turns them into the package's dataclasses here.
"""
from __future__ import annotations

import ctypes
import struct
import threading
from typing import Iterator, Tuple

from . import _native
from .types import TagRead

TAG, SCHEDULE_START, SCHEDULE_STOP, GPI, GPO, TEXT, ACCESS = 1, 2, 3, 4, 5, 6, 7

HEADER = struct.Struct("=HBxIQ")
TAG_RECORD = struct.Struct("=HBxIQIHHHHhHHHHBBB")
SCHEDULE_BODY = struct.Struct("=IB")
LINE_BODY = struct.Struct("=BB")
ACCESS_BODY = struct.Struct("=BBB")
assert HEADER.size == 16 and TAG_RECORD.size == 41

# A record is 64 bytes or so (a 96-bit EPC takes 53): capacities are given in
# reads and turned into bytes with this.
BYTES_PER_READ = 64
TAKE_BYTES = 256 * 1024


class Inbox:
    """One bounded inbox and the buffer its records are taken into."""

    def __init__(self, reads: int) -> None:
        handle = _native.handoff.uho_Create(max(1, reads) * BYTES_PER_READ)
        if not handle:
            raise MemoryError("ulmot: no memory for the hand-off inbox")
        self.handle: int = handle
        self._buffer = ctypes.create_string_buffer(TAKE_BYTES)
        self._in_use = threading.Lock()  # held while a take waits, so that destroy waits for it

    def take(self, timeout_ms: int) -> bytes:
        """Every record that waits (up to 256 KiB of them), after waiting up to ``timeout_ms`` for one."""
        with self._in_use:
            if not self.handle:
                return b""
            n = _native.handoff.uho_Take(self.handle, self._buffer, TAKE_BYTES, timeout_ms)
            return ctypes.string_at(self._buffer, n) if n else b""

    def reset(self) -> None:
        """Drops what waits and sets the counts back to 0."""
        _native.handoff.uho_Reset(self.handle)

    def wake(self) -> None:
        _native.handoff.uho_Wake(self.handle)

    def fd(self) -> int:
        return int(_native.handoff.uho_Fd(self.handle))

    def tag_counts(self, instance: int) -> Tuple[int, int, int]:
        """(dropped, lost, last report number) of the tag reports of inventory ``instance``."""
        dropped, lost, last = ctypes.c_uint64(), ctypes.c_uint64(), ctypes.c_uint32()
        _native.handoff.uho_TagCounts(self.handle, instance, ctypes.byref(dropped), ctypes.byref(lost),
                                      ctypes.byref(last))
        return dropped.value, lost.value, last.value

    def destroy(self) -> None:
        """Frees the inbox once a take in progress has returned; takes then find nothing.

        The reader calls it after its client's end, which waits for a callback
        that still runs: no callback can reach the inbox any more.
        """
        if self.handle:
            _native.handoff.uho_Wake(self.handle)
        with self._in_use:
            if self.handle:
                _native.handoff.uho_Destroy(self.handle)
                self.handle = 0


def records(data: bytes) -> Iterator[Tuple[int, int, int, int]]:
    """(kind, offset, reader time, host time in ns) of each record of a batch."""
    offset, end = 0, len(data)
    unpack = HEADER.unpack_from
    while offset < end:
        size, kind, reader_time, wall = unpack(data, offset)
        yield kind, offset, reader_time, wall
        offset += size


def tag_read(data: bytes, offset: int) -> Tuple[int, TagRead]:
    """The inventory instance and the TagRead of the tag record at ``offset``."""
    (_, _, reader_time, wall, sequence, pc, xpc1, xpc2, crc, rssi, channel, phase, round_, _format, antenna,
     instance, length) = TAG_RECORD.unpack_from(data, offset)
    start = offset + 41
    xpc: Tuple[int, ...] = ()
    if pc & 0x0200:
        xpc = (xpc1, xpc2) if xpc1 & 0x8000 else (xpc1,)
    epc = data[start:start + length].hex().upper()
    return instance, TagRead(epc, pc, xpc, crc, antenna, rssi / 10.0, channel, phase, round_, sequence,
                             reader_time, wall / 1e9)


def body(data: bytes, offset: int) -> bytes:
    """The body of the record at ``offset`` (what follows its header)."""
    (size,) = struct.unpack_from("=H", data, offset)
    return data[offset + HEADER.size:offset + size]
