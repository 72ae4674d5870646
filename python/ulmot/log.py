"""The reader's text log, as a stream of lines."""
from __future__ import annotations

from typing import List

from . import _handoff, _native
from ._runs import Run
from .types import LogLine

OBJ_TEXT_LOG = 13


class LogRun(Run[LogLine]):
    purpose = "log"

    def begin(self) -> None:
        r, core, c = self.reader, _native.core, self.reader._client
        r._attach(OBJ_TEXT_LOG)
        r._check(core.ulmot_RegisterTextLogMessage(c, _native.callback("uho_OnText"), self.inbox.handle, 1),
                 "registering for the text log")
        self.undo.append(lambda: core.ulmot_RegisterTextLogMessage(c, None, None, 0))

    def handle(self, kind: int, data: bytes, offset: int, reader_time: int, wall: int, out: List[LogLine]) -> None:
        if kind == _handoff.TEXT:
            out.append(LogLine(_handoff.body(data, offset).decode(errors="replace"), reader_time, wall / 1e9))
