"""What the reader hands back: plain dataclasses, with units in their names or docstrings."""
from __future__ import annotations

import datetime
from dataclasses import dataclass, field
from typing import List, Optional, Tuple


@dataclass(slots=True)
class TagRead:
    """One tag report of an inventory.

    ``rssi`` is in dBm (the reader sends tenths), ``reader_time`` the reader's
    clock in milliseconds, ``timestamp`` the host's time of arrival in seconds
    since 1970 (as ``time.time()``). ``xpc`` holds the XPC words the tag sent
    (none, one or two). ``sequence`` is the reader's report number: a gap in it
    is a report lost on the way.
    """
    epc: str
    pc: int
    xpc: Tuple[int, ...]
    crc: int
    antenna: int
    rssi: float
    channel: int
    phase: int
    round: int
    sequence: int
    reader_time: int
    timestamp: float


@dataclass(slots=True)
class Antenna:
    """One antenna: its transmit power range in dBm and the antennas it receives on."""
    number: int
    default_power: float
    min_power: float
    max_power: float
    receive: List[int] = field(default_factory=list)


@dataclass(slots=True)
class Radio:
    """The radio module: its name, serial number, channel, state and temperature (degrees Celsius)."""
    model: int
    module: str
    serial: str
    channel: int
    state: str
    temperature: float


@dataclass(slots=True)
class ReaderInfo:
    """What the reader says about itself.

    ``clock`` is its real-time clock (UTC); ``time`` its timestamp in seconds
    since 1970 and ``reader_time`` its millisecond clock.
    """
    versions: List[str]
    radio: Radio
    antennas: List[Antenna]
    gpi: int
    gpo: int
    clock: datetime.datetime
    time: int
    reader_time: int


@dataclass(slots=True)
class TagMemory:
    """The words read from one tag's memory bank, or the tag's error code."""
    epc: str
    antenna: int
    bank: str
    offset: int
    data: bytes
    error: Optional[int] = None

    @property
    def ok(self) -> bool:
        """True when the tag answered with its words."""
        return self.error is None

    @property
    def error_text(self) -> str:
        """The tag's error in words ("" when there is none)."""
        return "" if self.error is None else tag_error_text(self.error)


@dataclass(slots=True)
class TagWrite:
    """The outcome of a write to one tag's user memory (``verified``: None when not asked)."""
    epc: str
    antenna: int
    offset: int
    words: int
    error: Optional[int] = None
    verified: Optional[bool] = None

    @property
    def ok(self) -> bool:
        """True when the tag took the words (and, when asked, read back the same)."""
        return self.error is None and self.verified is not False


@dataclass(slots=True)
class GpioChange:
    """A GPI or GPO line that changed: ``line`` is "in1", "out2"..."""
    line: str
    input: bool
    number: int
    state: int
    reader_time: int
    timestamp: float


@dataclass(slots=True)
class LogLine:
    """One message of the reader's text log."""
    text: str
    reader_time: int
    timestamp: float


def tag_error_text(code: int) -> str:
    """A tag's error code in words."""
    return {3: "memory overrun (words past the end of the bank)", 4: "memory locked",
            11: "insufficient power"}.get(code, "tag error %d" % code)
