"""The reader's GPI (input) and GPO (output) lines.

Lines are named as the ``ulmot`` tool names them: "in1", "out2", or a bare
number (an input for ``get``, an output for ``set``).
"""
from __future__ import annotations

from ctypes import byref, c_uint8
from typing import TYPE_CHECKING, Dict, List, Optional, Tuple, Union

from . import _handoff, _native
from ._runs import Run, Stream
from .inventory import check_duration
from .types import GpioChange

if TYPE_CHECKING:
    from .reader import Reader

OBJ_GPO, OBJ_GPI = 1, 2
WATCH_TOGGLE_S = 0.5  # the embedded reader's input 1 toggles this often while watched

Line = Union[str, int]


def parse_line(line: Line, bare_is_input: bool) -> Tuple[bool, int]:
    """(is an input, number) of "in3", "out2" or a bare number."""
    if isinstance(line, bool) or not isinstance(line, (str, int)):
        raise TypeError("a line is \"in1\", \"out2\" or a number, not %r" % (line,))
    is_input, digits = bare_is_input, str(line)
    if isinstance(line, str) and line.startswith("in"):
        is_input, digits = True, line[2:]
    elif isinstance(line, str) and line.startswith("out"):
        is_input, digits = False, line[3:]
    if not digits.isdigit() or not 1 <= int(digits) <= 255:
        raise ValueError("the line %r must be in1..in255, out1..out255 or 1..255" % (line,))
    return is_input, int(digits)


class WatchRun(Run[GpioChange]):
    purpose = "gpio"

    def begin(self) -> None:
        r, g, c = self.reader, self.reader.gpio, self.reader._client
        core, inbox = _native.core, self.inbox.handle
        for number in range(1, g.inputs + 1):
            r._check(core.ulmot_RegisterGPIEvent(c, number, _native.callback("uho_OnGpi"), inbox, 1),
                     "watching input %d" % number)
            self.undo.append(lambda n=number: core.ulmot_RegisterGPIEvent(c, n, None, None, 0))
        for number in range(1, g.outputs + 1):
            r._check(core.ulmot_RegisterGPOEvent(c, number, _native.callback("uho_OnGpo"), inbox, 1),
                     "watching output %d" % number)
            self.undo.append(lambda n=number: core.ulmot_RegisterGPOEvent(c, n, None, None, 0))
        if r.embedded and g.inputs > 0:
            # Nothing outside moves the embedded reader's inputs: input 1
            # toggles so that there is something to watch.
            r.emulator_input_pattern(1, [255, 0], WATCH_TOGGLE_S)
            self.undo.insert(0, lambda: r.emulator_input_pattern(1, [], 0))

    def handle(self, kind: int, data: bytes, offset: int, reader_time: int, wall: int,
               out: List[GpioChange]) -> None:
        if kind in (_handoff.GPI, _handoff.GPO):
            number, state = _handoff.LINE_BODY.unpack_from(data, offset + _handoff.HEADER.size)
            is_input = kind == _handoff.GPI
            out.append(GpioChange("%s%d" % ("in" if is_input else "out", number), is_input, number, state,
                                  reader_time, wall / 1e9))


class Gpio:
    """``reader.gpio``: line counts, ``get``, ``set`` and ``watch``."""

    def __init__(self, reader: "Reader") -> None:
        self._reader = reader
        self._counts: Optional[Tuple[int, int]] = None

    def _count(self) -> Tuple[int, int]:
        if self._counts is None:
            r = self._reader
            r._attach(OBJ_GPI, OBJ_GPO)
            gpi, gpo = c_uint8(), c_uint8()
            r._check(_native.core.ulmot_GetGPICount(r._live_client(), byref(gpi)), "counting the GPI lines")
            r._check(_native.core.ulmot_GetGPOCount(r._live_client(), byref(gpo)), "counting the GPO lines")
            self._counts = (gpi.value, gpo.value)
        return self._counts

    @property
    def inputs(self) -> int:
        """How many GPI lines the reader has."""
        return self._count()[0]

    @property
    def outputs(self) -> int:
        """How many GPO lines the reader has."""
        return self._count()[1]

    def _line(self, line: Line, bare_is_input: bool) -> Tuple[bool, int]:
        is_input, number = parse_line(line, bare_is_input)
        count = self.inputs if is_input else self.outputs
        if number > count:
            raise ValueError("%s line %d does not exist: the reader has %d"
                             % ("input" if is_input else "output", number, count))
        return is_input, number

    def _read(self, is_input: bool, number: int) -> int:
        r, state = self._reader, c_uint8()
        read = _native.core.ulmot_ReadGPI if is_input else _native.core.ulmot_ReadGPO
        r._check(read(r._live_client(), number, byref(state)),
                 "reading %s %d" % ("input" if is_input else "output", number))
        return state.value

    def get(self, line: Optional[Line] = None) -> Union[int, Dict[str, int]]:
        """The state of one line ("in2", "out1", or a number for an input), or of every line as a dict."""
        if line is not None:
            return self._read(*self._line(line, True))
        states = {"in%d" % n: self._read(True, n) for n in range(1, self.inputs + 1)}
        states.update({"out%d" % n: self._read(False, n) for n in range(1, self.outputs + 1)})
        return states

    def set(self, line: Line, value: int) -> int:
        """Sets output ``line`` ("out2" or 2) to ``value`` (0 or 1); returns what the reader says it is now."""
        if isinstance(value, bool):
            value = int(value)
        if not isinstance(value, int):
            raise TypeError("value must be 0 or 1, not %r" % (value,))
        if value not in (0, 1):
            raise ValueError("value must be 0 or 1, not %d" % value)
        is_input, number = self._line(line, False)
        if is_input:
            raise ValueError("only outputs can be set, not %r" % (line,))
        r = self._reader
        r._check(_native.core.ulmot_WriteGPO(r._live_client(), number, value), "writing output %d" % number)
        return self._read(False, number)

    def watch(self, duration: Optional[float] = None) -> Stream[GpioChange]:
        """Every change of every line, as :class:`GpioChange` objects, until the loop breaks or ``duration``
        seconds (on the embedded reader, input 1 toggles every half second meanwhile)."""
        check_duration(duration)
        self._count()
        return Stream(WatchRun(self._reader), duration)
