"""The reader outside inventories: info, tag memory, GPIO, the log, errors and exceptions, and where the
libraries are loaded from."""
import os
import re
import subprocess
import sys
import threading
import time

import pytest

import ulmot
from conftest import NOTHING, objects_made


def test_info_describes_the_embedded_reader(tool):
    with ulmot.Reader() as reader:
        info = reader.info()
    assert len(info.versions) == 10 and all(isinstance(v, str) and v for v in info.versions)
    assert (info.gpi, info.gpo, len(info.antennas)) == (4, 4, 4)
    for n, a in enumerate(info.antennas, 1):
        assert a.number == n and a.min_power <= a.default_power <= a.max_power and a.receive == [n]
    assert info.radio.state == "idle" and info.radio.module
    assert abs(info.clock.timestamp() - time.time()) < 120 and abs(info.time - time.time()) < 120


def test_memory_write_then_read_back_and_errors_per_tag():
    with ulmot.Reader(seed=5, tags=10) as reader:
        epc = next(iter(reader.inventory(reads=1))).epc
        written = reader.write_user(epc, 2, "CAFE0102", verify=True)
        assert [(w.epc, w.words, w.ok, w.verified) for w in written] == [(epc, 2, True, True)]
        (user,) = reader.read(epc, "user", 2, 2)
        assert (user.data, user.ok, user.bank, user.offset) == (bytes.fromhex("CAFE0102"), True, "user", 2)
        (tid,) = reader.read(epc)  # the TID, whole
        assert tid.ok and tid.bank == "tid" and len(tid.data) == 12
        (past,) = reader.read(epc, "user", 0xFFF0, 4)  # words past the end of the bank
        assert (past.ok, past.error, past.error_text) == (False, 3, "memory overrun (words past the end of the bank)")
        assert reader.read("0123456789ABCDEF0123") == []  # no tag with that EPC
        assert reader.read(epc, 2, 1, 2)[0].data == tid.data[2:6]
        assert objects_made(reader) == NOTHING


def test_gpio_get_set_and_watch():
    with ulmot.Reader() as reader:
        g = reader.gpio
        assert (g.inputs, g.outputs) == (4, 4)
        assert g.set("out2", 1) == 1 and g.get("out2") == 1 and g.get(2) == 0  # a bare number reads an input
        assert g.set(3, True) == 1
        assert g.get() == {"in1": 0, "in2": 0, "in3": 0, "in4": 0, "out1": 0, "out2": 1, "out3": 1, "out4": 0}
        changes = []
        with g.watch(duration=5) as watch:
            for change in watch:
                changes.append(change)
                if len(changes) == 1:
                    g.set("out4", 1)  # from the loop, while the watch runs
                if len(changes) == 3:
                    break
        inputs = [c for c in changes if c.input]
        assert [c.state for c in inputs][:2] in ([1, 0], [0, 1]) and all(c.line == "in1" for c in inputs)
        assert [(c.line, c.number, c.state) for c in changes if not c.input] == [("out4", 4, 1)]


def test_log_lines_arrive_in_order():
    with ulmot.Reader() as reader:
        lines = reader.log(duration=3)
        texts = []
        threading.Timer(0.2, lambda: [reader.emulator_log("line %d" % i) for i in range(3)]).start()
        for line in lines:
            texts.append(line.text)
            if len(texts) == 3:
                break
        assert texts == ["line 0", "line 1", "line 2"]


@pytest.mark.parametrize("call,error", [
    (lambda r: r.inventory(duration=0), ValueError),
    (lambda r: r.inventory(duration="2"), TypeError),
    (lambda r: r.inventory(reads=0), ValueError),
    (lambda r: r.inventory(antennas=[0]), ValueError),
    (lambda r: r.inventory(antennas=[1, 1]), ValueError),
    (lambda r: r.inventory(epc_prefix="G1"), ValueError),
    (lambda r: r.inventory(epc_prefix="A" * 125), ValueError),
    (lambda r: r.read("E2", bank="flash"), ValueError),
    (lambda r: r.read("E2", words=256), ValueError),
    (lambda r: r.read("", bank="tid"), ValueError),
    (lambda r: r.write_user("E2", 0, "ABC"), ValueError),
    (lambda r: r.write_user("E2", 0, 1234), TypeError),
    (lambda r: r.gpio.set("in1", 1), ValueError),
    (lambda r: r.gpio.set("out1", 2), ValueError),
    (lambda r: r.gpio.watch(duration=-1), ValueError),
    (lambda r: r.log(duration=[]), TypeError),
])
def test_bad_arguments_are_refused_before_anything_is_sent(daemon, call, error):
    # The link is gone: a call that sent anything would fail with LinkLost instead.
    d = daemon()
    with ulmot.Reader(d.address) as reader:
        reader.gpio.inputs  # the line counts are known (read before the link went)
        d.stop()
        while reader.link_up:
            time.sleep(0.01)
        with pytest.raises(error):
            call(reader)


@pytest.mark.parametrize("kwargs,error", [
    (dict(connect="tcp:localhost"), ValueError),
    (dict(connect="tcp:127.0.0.1:70000"), ValueError),
    (dict(connect=5088), TypeError),
    (dict(tags=10001), ValueError),
    (dict(epc_bits=100), ValueError),
    (dict(connect="tcp:127.0.0.1:1", seed=3), ValueError),
    (dict(timeout=0), ValueError),
])
def test_bad_reader_options(kwargs, error):
    with pytest.raises(error):
        ulmot.Reader(**kwargs)


def test_no_reader_at_the_address_is_link_lost():
    with pytest.raises(ulmot.LinkLost, match="no reader at tcp:127.0.0.1:1"):
        ulmot.Reader("tcp:127.0.0.1:1", timeout=1)


def test_the_reader_refusing_a_request_is_a_reader_error_with_its_code(daemon):
    d = daemon()
    with ulmot.Reader(d.address) as first, ulmot.Reader(d.address) as second:
        running = first.inventory()
        next(running)
        with pytest.raises(ulmot.ReaderError) as refused:
            next(iter(second.inventory()))
        assert refused.value.code > 0 and "starting the schedule" in str(refused.value)
        running.close()
        assert len(list(second.inventory(reads=2))) == 2


def test_losing_the_link_mid_inventory_raises_link_lost(daemon):
    d = daemon("--rate", "200")
    with ulmot.Reader(d.address) as reader:
        reads = reader.inventory()
        next(reads)
        d.stop()
        with pytest.raises(ulmot.LinkLost):
            for _read in reads:
                pass


@pytest.mark.parametrize("result,link,error", [
    (-1, True, ulmot.Timeout),       # the library's time-out (waited out in its own suite)
    (-7, True, ulmot.ReaderError),   # no message block
    (20, True, ulmot.ReaderError),   # the reader's "value out of range"
    (-1, False, ulmot.LinkLost),     # a failure while the link is down is the link's
    (20, False, ulmot.LinkLost),
])
def test_a_failed_request_becomes_the_exception_that_names_its_cause(daemon, result, link, error):
    d = daemon()
    with ulmot.Reader(d.address) as reader:
        if not link:
            d.stop()
            while reader.link_up:
                time.sleep(0.01)
        with pytest.raises(error) as raised:
            reader._check(result, "reading the clock")
        assert str(raised.value).startswith("reading the clock")
        if error is ulmot.ReaderError:
            assert raised.value.code == result
        reader._check(0, "nothing to say")


def test_a_missing_library_says_where_it_looked(tmp_path):
    env = dict(os.environ, ULMOT_LIBRARY_PATH=str(tmp_path), LD_LIBRARY_PATH="")
    here = os.path.dirname(os.path.dirname(os.path.abspath(ulmot.__file__)))
    result = subprocess.run([sys.executable, "-c", "import ulmot"], cwd=here, env=env, capture_output=True,
                            text=True)
    assert result.returncode != 0 and "ImportError" in result.stderr
    assert str(tmp_path / "libulmot.so.0") in result.stderr and "ULMOT_LIBRARY_PATH" in result.stderr


@pytest.mark.parametrize("example,line", [
    ("inventory_csv.py", r"^[0-9A-F]{24},13312,\(\),\d+,[1-4],-\d+\.\d,"),
    ("read_tid.py", r"^[0-9A-F]{24} E2[0-9A-F]{22}$"),
    ("gpio_watch.py", r"^in1 [01] \d+$"),
])
def test_examples_run_against_the_embedded_reader(example, line):
    here = os.path.dirname(os.path.abspath(__file__))
    result = subprocess.run([sys.executable, os.path.join(here, "..", "examples", example)], capture_output=True,
                            text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len([x for x in lines if re.match(line, x)]) >= (1 if example == "read_tid.py" else 3), lines[:5]
