"""The reader: a client of the reader's message system, over a socket or to the embedded emulated reader."""
from __future__ import annotations

import datetime
import signal
import threading
from ctypes import byref, c_uint8, c_uint16, c_uint32, c_void_p, create_string_buffer
from typing import Any, Dict, List, Optional, Sequence, Union

from . import _handoff, _native
from ._runs import Run
from .access import AccessRun, bank_number, check_access_args
from .errors import LinkLost, ReaderError, Timeout
from .gpio import Gpio
from .inventory import (AsyncInventory, Inventory, InventoryRun, check_antennas, check_duration, check_reads,
                        epc_prefix_bits)
from .log import LogRun
from .types import Antenna, LogLine, Radio, ReaderInfo, TagMemory, TagWrite
from ._runs import Stream

OBJ_VERSION, OBJ_GPO, OBJ_GPI, OBJ_ANTENNA, OBJ_RADIO, OBJ_TIMESTAMP, OBJ_RTC = 0, 1, 2, 8, 12, 15, 24
VERSION_STRINGS, VERSION_SIZE = 10, 100
MAX_TAGS = 10000
EMBEDDED_RECEIVE_SLICE_MS = 10  # so that closing never waits a whole receive on a quiet link
RADIO_STATES = ("idle", "transmitting", "paused")


def _check_int(value: Any, name: str, low: int, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an int, not %s" % (name, type(value).__name__))
    if not low <= value <= high:
        raise ValueError("%s must be from %d to %d, not %d" % (name, low, high, value))
    return value


def _check_address(connect: str) -> None:
    hint = " (expected tcp:HOST:PORT or unix:/path)"
    if not isinstance(connect, str):
        raise TypeError("connect must be a str such as 'tcp:127.0.0.1:5088', not %s" % type(connect).__name__)
    if connect.startswith("unix:"):
        if len(connect) == 5:
            raise ValueError("%r names no socket path%s" % (connect, hint))
        return
    host, _, port = connect[4:].rpartition(":")
    if not connect.startswith("tcp:") or not host:
        raise ValueError("cannot use address %r%s" % (connect, hint))
    if not port.isdigit() or not 1 <= int(port) <= 65535:
        raise ValueError("the port of %r must be from 1 to 65535%s" % (connect, hint))


class Reader:
    """A reader, as a context manager.

    ``Reader()`` starts the embedded emulated reader (``tags``, ``seed``,
    ``rate``, ``epc_bits`` and ``xpc_percent`` shape its tag field);
    ``Reader("tcp:HOST:PORT")`` or ``Reader("unix:/path")`` connects to a reader
    (or ``ulmot-readerd``), waiting up to ``timeout`` seconds for it. ``queue``
    is how many reads the hand-off keeps while Python is busy; beyond, reads
    are dropped and counted (``Inventory.dropped``).

    Closing (the end of the ``with`` block, or ``close()``) ends every run
    still going, removes what it made on the reader, and frees the client.
    """

    def __init__(self, connect: Optional[str] = None, timeout: float = 3.0, *, tags: Optional[int] = None,
                 seed: Optional[int] = None, rate: Optional[int] = None, epc_bits: Optional[int] = None,
                 xpc_percent: Optional[int] = None, queue: int = 100_000) -> None:
        check_duration(timeout, "timeout")
        _check_int(queue, "queue", 1, 10_000_000)
        embedded_options = dict(tags=tags, seed=seed, rate=rate, epc_bits=epc_bits, xpc_percent=xpc_percent)
        if connect is not None:
            _check_address(connect)
            given = [name for name, value in embedded_options.items() if value is not None]
            if given:
                raise ValueError("%s set up the embedded reader; they cannot go with connect" % ", ".join(given))
        self._address = connect
        self._queue = queue
        self._client: Optional[int] = None
        self._emulator: Optional[int] = None
        self._pair: Optional[int] = None
        self._socket: Optional[int] = None
        self._attached: set = set()
        self._inboxes: Dict[str, _handoff.Inbox] = {}
        self._runs: Dict[str, Run[Any]] = {}
        self._lock = threading.Lock()
        self._closed = False
        self._gpio: Optional[Gpio] = None
        config = self._embedded_config(**embedded_options) if connect is None else None
        with _signals_blocked():
            try:
                self._open(config, timeout)
            except BaseException:
                self.close()
                raise

    # ---- Opening and closing ---------------------------------------------------

    @staticmethod
    def _embedded_config(tags: Optional[int], seed: Optional[int], rate: Optional[int], epc_bits: Optional[int],
                         xpc_percent: Optional[int]) -> _native.EmulatorConfig:
        config = _native.EmulatorConfig()
        _native.emulator.uemu_ConfigInit(byref(config))
        if tags is not None:
            config.tagCount = _check_int(tags, "tags", 0, MAX_TAGS)
        if seed is not None:
            config.tagSeed = _check_int(seed, "seed", 0, 0xFFFFFFFF)
        if rate is not None:
            config.tagRate = _check_int(rate, "rate", 1, 100_000)
        if epc_bits is not None:
            if _check_int(epc_bits, "epc_bits", 16, 496) % 16:
                raise ValueError("epc_bits must be a multiple of 16, not %d" % epc_bits)
            config.epcBits = epc_bits
        if xpc_percent is not None:
            config.xpcPercent = _check_int(xpc_percent, "xpc_percent", 0, 100)
        return config

    def _open(self, config: Optional[_native.EmulatorConfig], timeout: float) -> None:
        client = c_void_p()
        if config is None:
            assert self._address is not None
            self._socket = _native.transports.utr_SocketConnect(self._address.encode(), int(timeout * 1000))
            if not self._socket:
                reason = (_native.transports.utr_SocketLastError() or b"").decode(errors="replace")
                raise LinkLost("no reader at %s: %s" % (self._address, reason))
            transport = self._socket
        else:
            self._tags, self._seed = config.tagCount, config.tagSeed
            self._emulator = _native.emulator.uemu_Create(byref(config))
            if not self._emulator:
                raise ValueError("the embedded reader refused its configuration")
            self._pair = _native.transports.utr_MemoryPairCreate(b"ulmot-py", b"embedded-reader", 0)
            if not self._pair:
                raise MemoryError("ulmot: cannot create the link to the embedded reader")
            _native.transports.utr_MemorySetReceiveSlice(self._pair, EMBEDDED_RECEIVE_SLICE_MS)
            if _native.emulator.uemu_Attach(self._emulator, _native.transports.utr_MemoryEndpoint(self._pair, 1),
                                            None, None) != 0:
                raise MemoryError("ulmot: cannot attach the embedded reader to its link")
            transport = _native.transports.utr_MemoryEndpoint(self._pair, 0)
        result = _native.core.ulmot_CreateClientProcessor(transport, b"ulmot-py", byref(client))
        if result != 0:
            if result == -7:
                raise ReaderError("registering with the reader", result)
            raise LinkLost("connected to %s, but no reader answered the registration (result %d)"
                           % (self.describe(), result))
        self._client = client.value

    def close(self) -> None:
        """Ends every run, removes what they made, and frees the client and the link (again: nothing)."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
            runs = list(self._runs.values())
        for run in runs:
            run.finish()
            for inbox in self._inboxes.values():
                inbox.wake()
        # The client's end waits for a callback that still runs; only then
        # can the inboxes go.
        if self._client:
            _native.core.ulmot_DestroyClientProcessor(self._client)
            self._client = None
        if self._emulator:
            _native.emulator.uemu_Destroy(self._emulator)
            self._emulator = None
        if self._pair:
            _native.transports.utr_MemoryPairDestroy(self._pair)
            self._pair = None
        if self._socket:
            _native.transports.utr_SocketDestroy(self._socket)
            self._socket = None
        # No callback runs any more: the inboxes can go.
        for inbox in self._inboxes.values():
            inbox.destroy()

    def __enter__(self) -> "Reader":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    # ---- State -----------------------------------------------------------------

    @property
    def closed(self) -> bool:
        """True once the reader is closed."""
        return self._closed

    @property
    def embedded(self) -> bool:
        """True for the embedded emulated reader."""
        return self._address is None

    @property
    def link_up(self) -> bool:
        """True while the client has its session with the reader (False while it reconnects, or once closed)."""
        client = self._client
        return bool(client) and not self._closed and bool(_native.core.ulmot_GetClientSession(client))

    def describe(self) -> str:
        """"embedded reader (50 tags, seed 1)" or the address."""
        if self._address is None:
            return "embedded reader (%d tags, seed %d)" % (getattr(self, "_tags", 0), getattr(self, "_seed", 0))
        return self._address

    def __repr__(self) -> str:
        return "<ulmot.Reader %s%s>" % (self.describe(), ", closed" if self._closed else "")

    # ---- What the runs and families share -----------------------------------------

    def _live_client(self) -> int:
        if self._closed or not self._client:
            raise LinkLost("the reader is closed")
        return self._client

    def _check(self, result: int, what: str) -> None:
        """Raises for a request's result other than 0: LinkLost, Timeout or ReaderError."""
        if result == 0:
            return
        if not self.link_up:
            raise LinkLost("%s: lost the link to %s" % (what, self.describe()))
        if result == -1:
            raise Timeout(what)
        raise ReaderError(what, result)

    def _attach(self, *object_types: int) -> None:
        client = self._live_client()
        for object_type in object_types:
            if object_type in self._attached:
                continue
            result = _native.core.ulmot_AttachDefaultObjectProcessor(client, object_type, 0, 0)
            if result != 0:
                self._check(result, "finding the reader's processor for object type %d" % object_type)
            self._attached.add(object_type)

    def _remove(self, object_type: int, instance: int) -> None:
        if self._client:
            _native.core.ulmot_RemoveObject(self._client, object_type, instance)

    def _claim_inbox(self, purpose: str, run: Run[Any]) -> _handoff.Inbox:
        previous = self._runs.get(purpose)
        if previous is not None and previous.abandoned:
            previous.finish()  # waits for the thread that ends it
        with self._lock:
            if self._closed:
                raise LinkLost("the reader is closed")
            if purpose in self._runs:
                raise RuntimeError("another %s run is going on this reader: end it (leave its loop or close() it) "
                                   "first" % purpose)
            inbox = self._inboxes.get(purpose)
            if inbox is None:
                inbox = self._inboxes[purpose] = _handoff.Inbox(self._queue)
            self._runs[purpose] = run
            return inbox

    def _release_inbox(self, purpose: str, run: Run[Any]) -> None:
        with self._lock:
            if self._runs.get(purpose) is run:
                del self._runs[purpose]

    def _register_tag_events(self, run: Run[Any], with_access: bool) -> None:
        """Tag reports and schedule events (and access events) go to the run's inbox until it ends."""
        c, core, inbox = self._client, _native.core, run.inbox.handle
        self._check(core.ulmot_RegisterInventoryEvents(c, None, None, _native.callback("uho_OnTagReport"), inbox),
                    "registering for tag reports")
        run.undo.append(lambda: core.ulmot_RegisterInventoryEvents(c, None, None, None, None))
        self._check(core.ulmot_RegisterScheduleEvents(c, _native.callback("uho_OnScheduleStart"),
                                                      _native.callback("uho_OnScheduleStop"), inbox),
                    "registering for schedule events")
        run.undo.append(lambda: core.ulmot_RegisterScheduleEvents(c, None, None, None))
        if with_access:
            self._check(core.ulmot_RegisterAccessEvents(c, None, _native.callback("uho_OnAccessComplete"),
                                                        _native.callback("uho_OnAccessData"), None, None, inbox),
                        "registering for access events")
            run.undo.append(lambda: core.ulmot_RegisterAccessEvents(c, None, None, None, None, None, None))

    # ---- Information -----------------------------------------------------------

    def info(self) -> ReaderInfo:
        """Versions, radio, antennas with their power limits, GPIO line counts, clock and timestamp."""
        c = self._live_client()
        core = _native.core
        self._attach(OBJ_VERSION, OBJ_GPO, OBJ_GPI, OBJ_ANTENNA, OBJ_RADIO, OBJ_TIMESTAMP, OBJ_RTC)
        versions = []
        for i in range(VERSION_STRINGS):
            text = create_string_buffer(VERSION_SIZE)
            self._check(core.ulmot_GetVersion(c, i, text, VERSION_SIZE), "reading version string %d" % i)
            versions.append(text.value.decode(errors="replace"))
        model = c_uint16()
        self._check(core.ulmot_GetRadioModel(c, byref(model)), "reading the radio model")
        props = _native.RadioProperties()
        self._check(core.ulmot_GetRadioProperties(c, byref(props)), "reading the radio's properties")
        count = c_uint8()
        self._check(core.ulmot_GetAntennaCount(c, byref(count)), "counting the antennas")
        antennas = []
        for a in range(1, count.value + 1):
            high, low, default, length = c_uint16(), c_uint16(), c_uint16(), c_uint16()
            receive = (c_uint8 * 255)()
            self._check(core.ulmot_GetAntennaAttributes(c, a, byref(high), byref(low), byref(default), receive, 255,
                                                        byref(length)), "reading antenna %d" % a)
            antennas.append(Antenna(a, default.value / 10.0, low.value / 10.0, high.value / 10.0,
                                    list(receive[:length.value])))
        gpi, gpo = c_uint8(), c_uint8()
        self._check(core.ulmot_GetGPICount(c, byref(gpi)), "counting the GPI lines")
        self._check(core.ulmot_GetGPOCount(c, byref(gpo)), "counting the GPO lines")
        f = [c_uint8() for _ in range(7)]
        self._check(core.ulmot_GetRTC(c, *[byref(x) for x in f]), "reading the clock")
        second, minute, hour, day, month, year = (x.value for x in f[:6])
        seconds, millis = c_uint32(), c_uint32()
        self._check(core.ulmot_GetTimestamp(c, byref(seconds), byref(millis)), "reading the timestamp")

        def text(raw: Any, length: int) -> str:
            return bytes(raw[:length]).split(b"\0", 1)[0].decode(errors="replace")

        state = RADIO_STATES[props.radioState] if props.radioState < 3 else str(props.radioState)
        radio = Radio(model.value, text(props.property9, props.property9Length),
                      text(props.property13, props.property13Length), props.channel, state,
                      props.temperature / 10.0)
        try:
            clock = datetime.datetime(2000 + year, month, day, hour, minute, second, tzinfo=datetime.timezone.utc)
        except ValueError:
            raise ReaderError("reading the clock (it holds no date: %r)" % ([x.value for x in f],), -8) from None
        return ReaderInfo(versions, radio, antennas, gpi.value, gpo.value, clock, seconds.value, millis.value)

    # ---- Inventory ---------------------------------------------------------------

    def _inventory_run(self, duration: Optional[float], reads: Optional[int], antennas: Optional[Sequence[int]],
                       epc_prefix: Union[str, bytes, None]) -> InventoryRun:
        check_duration(duration)
        check_reads(reads)
        chosen = check_antennas(antennas)
        prefix = None if epc_prefix is None else epc_prefix_bits(epc_prefix)
        if chosen:
            self._attach(OBJ_ANTENNA)
            count = c_uint8()
            self._check(_native.core.ulmot_GetAntennaCount(self._live_client(), byref(count)),
                        "counting the reader's antennas")
            for a in chosen:
                if a > count.value:
                    raise ValueError("antenna %d does not exist: the reader has %d" % (a, count.value))
        return InventoryRun(self, chosen, prefix, reads)

    def inventory(self, duration: Optional[float] = None, reads: Optional[int] = None,
                  antennas: Optional[Sequence[int]] = None,
                  epc_prefix: Union[str, bytes, None] = None) -> Inventory:
        """The tags the reader reads, as :class:`TagRead` objects, until the loop breaks, ``duration``
        seconds pass, ``reads`` reads came, or Ctrl-C.

        ``antennas`` (say ``[1, 3]``) are read in turn, every antenna when None;
        ``epc_prefix`` (hex digits) keeps the tags whose EPC starts with it.
        The run starts with the first step of the loop.
        """
        run = self._inventory_run(duration, reads, antennas, epc_prefix)
        return Inventory(run, duration, reads)

    def inventory_async(self, duration: Optional[float] = None, reads: Optional[int] = None,
                        antennas: Optional[Sequence[int]] = None,
                        epc_prefix: Union[str, bytes, None] = None) -> AsyncInventory:
        """:meth:`inventory` for asyncio: ``async for read in reader.inventory_async(...)``."""
        run = self._inventory_run(duration, reads, antennas, epc_prefix)
        return AsyncInventory(run, duration, reads)

    # ---- Tag memory --------------------------------------------------------------

    def read(self, epc_prefix: Union[str, bytes], bank: Union[str, int] = "tid", offset: int = 0,
             words: int = 0) -> List[TagMemory]:
        """Reads ``words`` words (0: the whole bank) from ``offset`` of a memory bank ("reserved", "epc",
        "tid" or "user") of every tag whose EPC starts with ``epc_prefix``; one result per tag that
        answered (an empty list when none did)."""
        prefix = epc_prefix_bits(epc_prefix)
        number = bank_number(bank)
        check_access_args(offset, words, b"")
        run = AccessRun(self, prefix, 0, number, offset, words, b"")
        return [TagMemory(r.epc, r.antenna, ("reserved", "epc", "tid", "user")[number], offset, r.data,
                          None if r.success else r.code) for r in run.results()]

    def write_user(self, epc_prefix: Union[str, bytes], offset: int, data: Union[bytes, str],
                   verify: bool = False) -> List[TagWrite]:
        """Writes ``data`` (whole 16-bit words, bytes or hex) to the user bank from word ``offset`` of every
        tag whose EPC starts with ``epc_prefix``; with ``verify``, reads the words back and compares."""
        prefix = epc_prefix_bits(epc_prefix)
        if isinstance(data, str):
            try:
                data = bytes.fromhex(data.replace(" ", "").replace(":", ""))
            except ValueError:
                raise ValueError("data must be hex digits or bytes, not %r" % data) from None
        if not isinstance(data, (bytes, bytearray)):
            raise TypeError("data must be bytes or a str of hex digits, not %s" % type(data).__name__)
        if not data or len(data) % 2:
            raise ValueError("data must be whole 16-bit words (an even, non-zero number of bytes)")
        check_access_args(offset, 0, bytes(data))
        words = len(data) // 2
        written = AccessRun(self, prefix, 1, 3, offset, 0, bytes(data)).results()
        back: Dict[str, bytes] = {}
        if verify and words <= 255:
            back = {r.epc: r.data for r in AccessRun(self, prefix, 0, 3, offset, words, b"").results() if r.success}
        out = []
        for w in written:
            verified = None if not verify or not w.success else back.get(w.epc) == bytes(data)
            out.append(TagWrite(w.epc, w.antenna, offset, words, None if w.success else w.code, verified))
        return out

    # ---- GPIO and the log -----------------------------------------------------------

    @property
    def gpio(self) -> Gpio:
        """The reader's GPI and GPO lines: ``get``, ``set`` and ``watch``."""
        if self._gpio is None:
            self._gpio = Gpio(self)
        return self._gpio

    def log(self, duration: Optional[float] = None) -> Stream[LogLine]:
        """The reader's text log as :class:`LogLine` objects, until the loop breaks or ``duration`` seconds."""
        check_duration(duration)
        return Stream(LogRun(self), duration)

    def emulator_log(self, text: str) -> None:
        """Makes the embedded reader write ``text`` to its text log (for trying :meth:`log`)."""
        if self._emulator is None:
            raise RuntimeError("only the embedded reader can be told what to log")
        if not isinstance(text, str):
            raise TypeError("text must be a str")
        _native.emulator.uemu_Log(self._emulator, text.encode())

    def emulator_input_pattern(self, line: int, levels: Sequence[int], interval: float) -> None:
        """Makes input ``line`` of the embedded reader step through ``levels`` (0 or 255), one every
        ``interval`` seconds, over and over; an empty ``levels`` stops it."""
        if self._emulator is None:
            raise RuntimeError("only the embedded reader's inputs can be moved")
        values = (c_uint8 * max(1, len(levels)))(*[_check_int(v, "level", 0, 255) for v in levels])
        result = _native.emulator.uemu_SetGpiPattern(self._emulator, _check_int(line, "line", 1, 255),
                                                     values if levels else None, len(levels),
                                                     int(interval * 1000) if levels else 0)
        if result != 0:
            raise ValueError("the embedded reader has no input %d (or the pattern is empty)" % line)


class _signals_blocked:
    """Blocks SIGINT and SIGTERM in the calling thread while the library's threads are created, so that
    they inherit the block and Ctrl-C always reaches Python's main thread."""

    SIGNALS = {signal.SIGINT, signal.SIGTERM}

    def __enter__(self) -> None:
        self._previous = signal.pthread_sigmask(signal.SIG_BLOCK, self.SIGNALS)

    def __exit__(self, *exc: Any) -> None:
        signal.pthread_sigmask(signal.SIG_SETMASK, self._previous)
