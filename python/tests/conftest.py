"""What the tests share: the built tools, a reader daemon, and the checks that nothing is left behind.

The suite runs against a build: ULMOT_LIBRARY_PATH names its directory (the
ctest entry sets it, with ULMOT_TOOL and ULMOT_READERD for the tools).
"""
import os
import signal
import subprocess
import tempfile
import time

import pytest

import ulmot

FULL_POOLS = (600, 170, 42, 400)


def thread_count() -> int:
    return len(os.listdir("/proc/self/task"))


@pytest.fixture(autouse=True)
def nothing_left_behind():
    """Every test ends with every message block back in its pool and no thread of ours left."""
    threads = thread_count()
    yield
    deadline = time.monotonic() + 2.0  # a closed client's threads are joined; a pool refill is immediate
    while (ulmot.pool_free_counts() != FULL_POOLS or thread_count() > threads) and time.monotonic() < deadline:
        time.sleep(0.01)
    assert ulmot.pool_free_counts() == FULL_POOLS
    assert thread_count() <= threads


@pytest.fixture
def tool():
    path = os.environ.get("ULMOT_TOOL")
    if not path:
        pytest.skip("ULMOT_TOOL names no ulmot tool")
    return path


class Daemon:
    """ulmot-readerd on a Unix socket in a temporary directory."""

    def __init__(self, *options: str) -> None:
        path = os.environ.get("ULMOT_READERD")
        if not path:
            pytest.skip("ULMOT_READERD names no ulmot-readerd")
        self.dir = tempfile.mkdtemp(prefix="ulmot-py-")
        self.socket = os.path.join(self.dir, "reader.sock")
        self.address = "unix:" + self.socket
        ready = os.path.join(self.dir, "addresses")  # written once the daemon listens
        self.process = subprocess.Popen([path, "--unix", self.socket, "--port-file", ready, *options],
                                        stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not os.path.exists(ready):
            assert self.process.poll() is None, "ulmot-readerd ended at start"
            assert time.monotonic() < deadline, "ulmot-readerd did not listen"
            time.sleep(0.02)

    def pause(self) -> None:
        self.process.send_signal(signal.SIGSTOP)

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGCONT)
            self.process.kill()
            self.process.wait()


@pytest.fixture
def daemon():
    started = []

    def start(*options: str) -> Daemon:
        d = Daemon(*options)
        started.append(d)
        return d

    yield start
    for d in started:
        d.stop()


def objects_made(reader) -> dict:
    """How many tag selectors, inventories, access specifications and schedules the reader holds."""
    from ctypes import POINTER, byref, c_uint8, c_uint32, c_void_p
    core = ulmot._native.core
    core.ulmot_GetInstanceCount.argtypes = [c_void_p, c_uint8, c_uint8, c_uint32, c_uint8, POINTER(c_uint8)]
    core.ulmot_GetClientProcessorID.restype = c_uint8
    core.ulmot_GetAssignedProcessorFromObject.restype = c_uint8
    client = reader._client
    session = core.ulmot_GetClientSession(client)
    counts = {}
    for name, object_type in (("selectors", 3), ("inventories", 5), ("accesses", 7), ("schedules", 11)):
        owner = core.ulmot_GetAssignedProcessorFromObject(client, object_type)
        if owner == 0:  # never attached, so nothing of the type was made
            counts[name] = 0
            continue
        count = c_uint8()
        result = core.ulmot_GetInstanceCount(session, core.ulmot_GetClientProcessorID(client), owner, object_type, 0,
                                             byref(count))
        assert result == 0, "counting object type %d: %d" % (object_type, result)
        counts[name] = count.value
    return counts


NOTHING = {"selectors": 0, "inventories": 0, "accesses": 0, "schedules": 0}
