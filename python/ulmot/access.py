"""Reading and writing tag memory: one run of one access specification.

A tag selector narrows the inventory to the tags whose EPC starts with the
prefix; the inventory (session 1) reports each once; the access
specification acts on each right after its report; one pass of a schedule
runs it. The access events carry no EPC, so each is paired with the tag
report that came right before it on the same queue. Everything made is
removed again, however the run ends.
"""
from __future__ import annotations

import time
from ctypes import byref, c_uint8
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, List, Tuple, Union

from . import _handoff, _native
from ._runs import Run
from .errors import Timeout
from .inventory import (ENTRY_OBJECT, OBJ_ACCESS, OBJ_INVENTORY, OBJ_SCHEDULE, OBJ_TAG_SELECTOR, make_inventory,
                        make_schedule, make_selector)

if TYPE_CHECKING:
    from .reader import Reader

BANKS = {"reserved": 0, "epc": 1, "tid": 2, "user": 3}
ACCESS_RUN_S = 30.0  # a run over a selector reports the matching tags only; even a large field passes well within


def bank_number(bank: Union[str, int]) -> int:
    if isinstance(bank, str):
        if bank.lower() not in BANKS:
            raise ValueError("bank must be reserved, epc, tid or user, not %r" % bank)
        return BANKS[bank.lower()]
    if isinstance(bank, bool) or not isinstance(bank, int):
        raise TypeError("bank must be a name (\"tid\") or a number (0 to 3)")
    if not 0 <= bank <= 3:
        raise ValueError("bank must be 0 to 3, not %d" % bank)
    return bank


def check_access_args(offset: Any, words: Any, data: bytes) -> None:
    for name, value, high in (("offset", offset, 0xFFFF), ("words", words, 255)):
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError("%s must be an int, not %s" % (name, type(value).__name__))
        if not 0 <= value <= high:
            raise ValueError("%s must be from 0 to %d, not %d" % (name, high, value))
    if len(data) > 1024:
        raise ValueError("data is longer than a user bank can be (512 words)")


@dataclass
class AccessResult:
    epc: str
    antenna: int
    success: bool
    code: int
    data: bytes


class AccessRun(Run[AccessResult]):
    """One pass of one access operation (0 read, 1 write) over the tags of a prefix."""

    purpose = "tags"
    scheduled = True

    def __init__(self, reader: "Reader", prefix: Tuple[bytes, int], operation: int, bank: int, offset: int,
                 words: int, data: bytes) -> None:
        super().__init__(reader)
        self.prefix, self.operation, self.bank = prefix, operation, bank
        self.offset, self.words, self.data = offset, words, data
        self.inventory = self.access = -1
        self.last: Tuple[str, int] = ("", 0)

    def begin(self) -> None:
        r = self.reader
        r._attach(OBJ_TAG_SELECTOR, OBJ_INVENTORY, OBJ_ACCESS, OBJ_SCHEDULE)
        selector = make_selector(r, self, *self.prefix)
        self.inventory = make_inventory(r, self, selector, 1)
        inventories = (c_uint8 * 1)(self.inventory)
        access = c_uint8()
        data = (c_uint8 * max(1, len(self.data))).from_buffer_copy(self.data or b"\0")
        r._check(_native.core.ulmot_AddAccessSpecification(
            r._client, byref(access), inventories, 1, 1, self.words, self.operation, self.bank, self.offset,
            len(self.data), data if self.data else None, 0, None, None, 0, 0), "adding the access specification")
        self.made.append((OBJ_ACCESS, access.value))
        self.access = access.value
        self.schedule = make_schedule(r, self, [(ENTRY_OBJECT, OBJ_INVENTORY, self.inventory)])
        r._register_tag_events(self, with_access=True)
        # Start flag 0: one pass.
        r._check(_native.core.ulmot_StartScheduleSpecification(r._client, self.schedule, 0),
                 "starting the schedule (is another schedule running on the reader?)")

    def handle(self, kind: int, data: bytes, offset: int, reader_time: int, wall: int,
               out: List[AccessResult]) -> None:
        if kind == _handoff.TAG:
            instance, read = _handoff.tag_read(data, offset)
            if instance == self.inventory:
                self.last = (read.epc, read.antenna)
        elif kind == _handoff.ACCESS:
            body = _handoff.body(data, offset)
            instance, success, code = _handoff.ACCESS_BODY.unpack_from(body)
            if instance == self.access:
                out.append(AccessResult(self.last[0], self.last[1], success != 0, code, bytes(body[3:])))
        elif kind == _handoff.SCHEDULE_STOP:
            schedule, _ = _handoff.SCHEDULE_BODY.unpack_from(data, offset + _handoff.HEADER.size)
            if schedule == self.schedule:
                self.ended = "done"

    def results(self) -> List[AccessResult]:
        """Runs the pass to its end and returns one result for each tag that answered."""
        out: List[AccessResult] = []
        try:
            self.start()
            deadline = time.monotonic() + ACCESS_RUN_S
            while self.ended is None:
                out += self.poll(20)
                if self.ended is None:
                    self.check_link()
                    if time.monotonic() > deadline:
                        raise Timeout("the access run (the reader did not end it within %d s)" % ACCESS_RUN_S)
        finally:
            if self.ended is None and self.schedule >= 0 and self.reader.link_up:
                _native.core.ulmot_StopScheduleSpecification(self.reader._client, self.schedule, None)
            self.finish()
        return out
