"""ulmot: an RFID reader from Python.

    import ulmot
    with ulmot.Reader() as reader:              # the embedded emulated reader
        for read in reader.inventory(duration=2):
            print(read.epc, read.antenna, read.rssi)

``Reader("tcp:HOST:PORT")`` talks to a reader (or ``ulmot-readerd``) instead.
The package loads the ulmot libraries with ctypes: see ``ulmot._native`` for
where it looks (``ULMOT_LIBRARY_PATH`` first).
"""
from . import _native
from .errors import Error, LinkLost, ReaderError, Timeout
from .inventory import AsyncInventory, Inventory
from .reader import Reader
from .types import Antenna, GpioChange, LogLine, Radio, ReaderInfo, TagMemory, TagRead, TagWrite, tag_error_text

__version__ = "0.1.0"


def pool_free_counts() -> tuple:
    """The free elements of the library's four message-block pools (all of them while nothing is held)."""
    return tuple(int(_native.core.ulmot_PoolFreeCount(p)) for p in range(4))


__all__ = ["Reader", "Inventory", "AsyncInventory", "TagRead", "ReaderInfo", "Antenna", "Radio", "TagMemory",
           "TagWrite", "GpioChange", "LogLine", "Error", "ReaderError", "LinkLost", "Timeout", "tag_error_text",
           "pool_free_counts"]
