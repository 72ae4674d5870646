"""Streams of events: what an inventory, a GPIO watch and the log share.

A run makes what it needs on the reader (objects, callback registrations),
takes its events from the reader's hand-off inbox, and undoes everything in
``finish``, however it ends: the loop breaks, a limit or the duration is
reached, the reader ends it, an exception (``KeyboardInterrupt`` too) goes
through it, or the reader is closed. The iterators here drive a run, sync or
under asyncio.
"""
from __future__ import annotations

import asyncio
import contextlib
import signal
import threading
import time
from typing import (TYPE_CHECKING, Any, AsyncIterator, Callable, Generic, Iterator, List, Optional, Tuple,
                    TypeVar)

from . import _handoff
from .errors import LinkLost

if TYPE_CHECKING:
    from .reader import Reader

T = TypeVar("T")
# How often a waiting iterator looks at the link, the duration and Ctrl-C.
TICK_MS = 50


@contextlib.contextmanager
def interrupts_deferred() -> Iterator[None]:
    """Holds back Ctrl-C (on the main thread) until the block is done, then raises it."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    caught: List[int] = []
    try:
        previous = signal.signal(signal.SIGINT, lambda number, frame: caught.append(number))
    except ValueError:  # not the main interpreter
        yield
        return
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
        if caught and previous is signal.default_int_handler:
            raise KeyboardInterrupt


class Run(Generic[T]):
    """What one stream made and registered, its inbox, and how to undo it."""

    purpose = ""  # the reader's inbox that the run takes (one run at a time for each)
    # A run of a schedule of its own takes no event before that schedule's
    # start: the reader numbers a new object with the numbers of removed
    # ones, so the reports and the stop of an earlier run, still on their
    # way, carry the same instance and schedule, and all come before it.
    scheduled = False

    def __init__(self, reader: "Reader") -> None:
        self.reader = reader
        self.inbox = reader._claim_inbox(self.purpose, self)
        self.made: List[Tuple[int, int]] = []  # (object type, instance), removed in reverse
        self.undo: List[Callable[[], Any]] = []  # registrations to take back, in reverse
        self.ended: Optional[str] = None  # why the reader ended the run, when it did
        self.schedule = -1  # the run's schedule, for a scheduled run
        self._schedule_started = False
        self.abandoned = False  # its iterator is gone; the run is ending on a thread of its own
        self._lock = threading.Lock()
        self._started = False
        self._finished = False

    # What each kind of run says.
    def begin(self) -> None:
        """Makes the objects and registers the callbacks (``self.made``, ``self.undo``)."""
        raise NotImplementedError

    def handle(self, kind: int, data: bytes, offset: int, reader_time: int, wall: int, out: List[T]) -> None:
        """Turns one record into what the iterator yields (appended to ``out``)."""
        raise NotImplementedError

    def closing(self) -> None:
        """Called once no callback can reach the inbox any more, before it is emptied."""

    def wind_down(self) -> List[T]:
        """Ends the run at the duration; returns what still belongs to it."""
        return []

    def settle(self) -> None:
        """Called when the iterator has yielded its limit: lets the run come to its own end."""

    # The same for every run.
    def start(self) -> None:
        with self._lock:
            if self._finished:
                raise LinkLost("the reader is closed")
            self._started = True
            self.inbox.reset()
            self.begin()

    def poll(self, timeout_ms: int) -> List[T]:
        """What arrived, after waiting up to ``timeout_ms`` for the first record."""
        data = self.inbox.take(timeout_ms)
        out: List[T] = []
        for kind, offset, reader_time, wall in _handoff.records(data):
            if self.scheduled and not self._schedule_started:
                if kind == _handoff.SCHEDULE_START:
                    schedule, _ = _handoff.SCHEDULE_BODY.unpack_from(data, offset + _handoff.HEADER.size)
                    self._schedule_started = schedule == self.schedule
                continue
            self.handle(kind, data, offset, reader_time, wall, out)
        return out

    def check_link(self) -> None:
        if self._finished:
            raise LinkLost("the reader was closed while the run went on")
        if not self.reader.link_up:
            raise LinkLost("lost the link to %s" % self.reader.describe())

    @property
    def finished(self) -> bool:
        return self._finished

    def finish(self) -> None:
        """Takes every registration back and removes every object made (once; Ctrl-C waits for it)."""
        with interrupts_deferred(), self._lock:
            if self._finished:
                return
            self._finished = True
            link = self.reader.link_up
            for undo in reversed(self.undo):
                if link:
                    undo()
            for object_type, instance in reversed(self.made):
                if link:
                    self.reader._remove(object_type, instance)
            self.undo.clear()
            self.made.clear()
            self.closing()
            self.inbox.reset()
            self.reader._release_inbox(self.purpose, self)


def _iterate(run: Run[T], duration: Optional[float], limit: Optional[int]) -> Iterator[T]:
    try:
        run.start()
        deadline = None if duration is None else time.monotonic() + duration
        count = 0
        while True:
            for item in run.poll(TICK_MS):
                yield item
                count += 1
                if limit is not None and count >= limit:
                    run.settle()
                    return
            if run.ended is not None:
                return
            if deadline is not None and time.monotonic() >= deadline:
                for item in run.wind_down():
                    if limit is not None and count >= limit:
                        return
                    yield item
                    count += 1
                return
            run.check_link()
    finally:
        run.finish()


async def _readable(fd: int, timeout: float) -> None:
    loop = asyncio.get_running_loop()
    ready = loop.create_future()
    loop.add_reader(fd, lambda: ready.done() or ready.set_result(None))
    try:
        await asyncio.wait_for(ready, timeout)
    except asyncio.TimeoutError:
        pass
    finally:
        loop.remove_reader(fd)


async def _aiterate(run: Run[T], duration: Optional[float], limit: Optional[int]) -> AsyncIterator[T]:
    try:
        # Requests wait for the reader's answer: on a thread, never on the loop.
        await asyncio.to_thread(run.start)
        fd = run.inbox.fd()
        deadline = None if duration is None else time.monotonic() + duration
        count = 0
        while True:
            batch = run.poll(0)
            for item in batch:
                yield item
                count += 1
                if limit is not None and count >= limit:
                    await asyncio.to_thread(run.settle)
                    return
            if run.ended is not None:
                return
            if deadline is not None and time.monotonic() >= deadline:
                for item in await asyncio.to_thread(run.wind_down):
                    if limit is not None and count >= limit:
                        return
                    yield item
                    count += 1
                return
            if not batch:
                run.check_link()
                await _readable(fd, TICK_MS / 1000.0)
    finally:
        await asyncio.to_thread(run.finish)


class Stream(Generic[T]):
    """An iterator over the events of one run.

    Use it in a ``for`` loop (leaving the loop ends the run), or as a context
    manager (``with reader.log() as lines:``) to end it at the end of the block
    even when a reference is kept; ``close()`` ends it at once.
    """

    def __init__(self, run: Run[T], duration: Optional[float] = None, limit: Optional[int] = None) -> None:
        self._run = run
        self._items = _iterate(run, duration, limit)

    def __iter__(self) -> "Stream[T]":
        return self

    def __next__(self) -> T:
        return next(self._items)

    def close(self) -> None:
        """Ends the run and releases what it made (a run never started makes nothing)."""
        self._items.close()
        self._run.finish()  # for a run never started, it gives the inbox back

    def __enter__(self) -> "Stream[T]":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __del__(self) -> None:
        with contextlib.suppress(Exception):
            self.close()


class AsyncStream(Generic[T]):
    """The asyncio form of :class:`Stream`: ``async for``, ``async with``, ``await aclose()``.

    Waiting for events never blocks the event loop: the iterator waits on the
    inbox's descriptor, and the requests that start and end the run go to a
    thread.
    """

    def __init__(self, run: Run[T], duration: Optional[float] = None, limit: Optional[int] = None) -> None:
        self._run = run
        self._items = _aiterate(run, duration, limit)

    def __aiter__(self) -> "AsyncStream[T]":
        return self

    async def __anext__(self) -> T:
        return await self._items.__anext__()

    async def aclose(self) -> None:
        """Ends the run and releases what it made."""
        await self._items.aclose()
        if not self._run.finished:
            await asyncio.to_thread(self._run.finish)

    async def __aenter__(self) -> "AsyncStream[T]":
        return self

    async def __aexit__(self, *exc: Any) -> None:
        await self.aclose()

    def __del__(self) -> None:
        # Left without aclose (a loop that broke): the event loop closes the
        # iterator later, but the run ends now, on a thread of its own.
        if not self._run.finished:
            self._run.abandoned = True
            threading.Thread(target=self._run.finish, name="ulmot-finish", daemon=True).start()
