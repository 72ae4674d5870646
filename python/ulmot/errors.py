"""The exceptions of the package.

Every failure of the reader or of the link is an :class:`Error`:

- :class:`ReaderError`: the reader refused a request (its result code in
  ``code``), or the library did (a negative code);
- :class:`Timeout`: no answer came in time (also a ``TimeoutError``);
- :class:`LinkLost`: the link to the reader went away, or there was none to
  begin with (also a ``ConnectionError``).

Bad arguments raise ``ValueError`` or ``TypeError`` before anything is sent.
"""
from __future__ import annotations

# The reader's own result codes (item 255 of its responses), and the library's.
RESULT_NAMES = {
    1: "unknown command",
    2: "no such instance",
    3: "malformed request",
    4: "object type not served",
    5: "not found",
    6: "exhausted",
    7: "refused",
    8: "no such processor",
    9: "not registered",
    20: "value out of range",
    -1: "time-out or local failure",
    -3: "larger than the buffer",
    -5: "invalid parameter",
    -7: "no message block",
    -8: "item missing from the response",
}


class Error(Exception):
    """Anything that went wrong with the reader or the link to it."""


class ReaderError(Error):
    """A request that the reader (or the library) refused.

    ``code`` is the reader's result code (positive) or the library's (negative),
    ``what`` the request, and the message says both in words.
    """

    def __init__(self, what: str, code: int) -> None:
        self.what = what
        self.code = code
        name = RESULT_NAMES.get(code)
        super().__init__("%s: result %d%s" % (what, code, " (%s)" % name if name else ""))


class Timeout(Error, TimeoutError):
    """No answer within the time allowed (``what`` says to what)."""

    def __init__(self, what: str) -> None:
        self.what = what
        super().__init__("%s: no answer in time" % what)


class LinkLost(Error, ConnectionError):
    """The link to the reader is gone (or could not be made)."""
