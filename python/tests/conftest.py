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
        self.process = subprocess.Popen([path, "--unix", self.socket, *options], stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not os.path.exists(self.socket):
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
