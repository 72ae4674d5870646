"""Inventories: the reads against the seeded population and the C tool, limits, filters, and every way a
run can end, with nothing left on the reader or in the pools."""
import _thread
import asyncio
import json
import subprocess
import threading
import time

import pytest

import ulmot
from conftest import NOTHING, objects_made

SEED, TAGS = 7, 20


def tool_reads(tool, count, *extra):
    out = subprocess.run([tool, "inventory", "--json", "--reads", str(count), *extra],
                         capture_output=True, text=True, timeout=60, check=True).stdout
    return [json.loads(line) for line in out.splitlines()]


def as_tool_fields(read):
    return {"epc": read.epc, "pc": "%04X" % read.pc, "antenna": read.antenna, "rssi": read.rssi,
            "channel": read.channel, "phase": read.phase, "round": read.round, "seq": read.sequence}


@pytest.mark.parametrize("where", ["embedded", "daemon"])
def test_every_field_matches_what_the_tool_reports_for_the_same_seed(tool, daemon, where):
    count = 2 * TAGS  # two rounds: every tag of the population, twice
    if where == "embedded":
        expected = tool_reads(tool, count, "--seed", str(SEED), "--tags", str(TAGS))
        reader = ulmot.Reader(seed=SEED, tags=TAGS)
    else:
        # A fresh reader for each: the field's noise goes on from run to run.
        expected = tool_reads(tool, count, "--connect", daemon("--seed", str(SEED), "--tags", str(TAGS)).address)
        reader = ulmot.Reader(daemon("--seed", str(SEED), "--tags", str(TAGS)).address)
    with reader:
        reads = reader.inventory(reads=count)
        got = list(reads)
        assert reads.end == "read limit reached" and reads.lost == 0 and reads.dropped == 0
    assert len(got) == count
    assert [as_tool_fields(r) for r in got] == [{k: e[k] for k in as_tool_fields(got[0])} for e in expected]
    assert len({r.epc for r in got}) == TAGS
    for r in got:
        assert r.crc != 0 and r.xpc == () and r.reader_time > 0 and abs(r.timestamp - time.time()) < 60


def test_xpc_words_are_those_the_pc_announces():
    with ulmot.Reader(tags=40, xpc_percent=100, seed=3) as reader:
        reads = list(reader.inventory(reads=40))
    assert reads and all(r.pc & 0x0200 for r in reads)
    assert all(len(r.xpc) == (2 if r.xpc[0] & 0x8000 else 1) for r in reads)


@pytest.mark.parametrize("antennas,prefix", [([2], None), ([1, 3], None), (None, "F"), ([4], "C1")])
def test_antennas_and_prefix_narrow_the_reads(antennas, prefix):
    with ulmot.Reader(seed=1, tags=TAGS) as reader:
        everything = {r.epc for r in reader.inventory(reads=TAGS)}
        reads = list(reader.inventory(reads=2 * TAGS, antennas=antennas, epc_prefix=prefix, duration=2))
    assert reads
    assert all(r.antenna in (antennas or [1, 2, 3, 4]) for r in reads)
    assert {r.epc for r in reads} == {e for e in everything if e.startswith(prefix or "")}


def test_duration_ends_the_run_with_every_read_up_to_the_stop():
    with ulmot.Reader(rate=2000) as reader:
        started = time.monotonic()
        run = reader.inventory(duration=0.5)
        reads = list(run)
        took = time.monotonic() - started
        assert run.end == "stopped" and run.lost == 0
        # The reads are numbered from 1 without a gap up to the reader's stop.
        assert [r.sequence for r in reads] == list(range(1, len(reads) + 1))
        assert 0.5 <= took < 5


def test_breaking_out_stops_the_run_and_removes_what_it_made():
    with ulmot.Reader(rate=5000) as reader:
        for _ in range(3):  # a schedule left running would refuse the next start
            for n, _read in enumerate(reader.inventory(), 1):
                if n == 10:
                    break
        kept = reader.inventory(epc_prefix="0")
        next(kept)
        assert objects_made(reader) == {"selectors": 1, "inventories": 1, "accesses": 0, "schedules": 1}
        kept.close()
        assert objects_made(reader) == NOTHING
        assert len(list(reader.inventory(reads=5))) == 5


def test_ctrl_c_in_the_loop_body_or_in_the_wait_ends_the_run_cleanly():
    with ulmot.Reader(rate=200) as reader:
        with pytest.raises(KeyboardInterrupt):
            for _read in reader.inventory():
                raise KeyboardInterrupt
        # Ctrl-C while the iterator waits for the next read (the reader has no tag in the field).
        with ulmot.Reader(tags=0) as empty:
            threading.Timer(0.3, _thread.interrupt_main).start()
            with pytest.raises(KeyboardInterrupt):
                list(empty.inventory())
            assert objects_made(empty) == NOTHING
        assert objects_made(reader) == NOTHING
        assert len(list(reader.inventory(reads=3))) == 3


def test_one_inventory_at_a_time_and_an_unstarted_one_holds_nothing():
    with ulmot.Reader() as reader:
        first = reader.inventory()
        with pytest.raises(RuntimeError, match="another tags run"):
            reader.inventory()
        del first  # never iterated: nothing was made, the hand-off is free again
        assert len(list(reader.inventory(reads=2))) == 2


def test_closing_the_reader_ends_a_run_left_open():
    reader = ulmot.Reader(rate=1000)
    run = reader.inventory()
    next(run)
    reader.close()
    with pytest.raises(ulmot.LinkLost):
        for _read in run:
            pass
    reader.close()


def test_a_full_hand_off_drops_and_counts_every_read_it_refuses():
    with ulmot.Reader(rate=20000, tags=500, queue=100) as reader:
        run = reader.inventory(reads=5000)
        first = next(run)
        time.sleep(0.6)  # Python falls behind: the run ends while the hand-off holds 100 reads' worth
        reads = [first] + list(run)
    assert run.dropped > 0
    # The stop event still came (it has room of its own), and nothing was silently lost:
    # every report number is a read, a drop or a gap.
    assert run.end == "read limit reached"
    assert len(reads) + run.dropped + run.lost == 5000


def test_async_iteration_never_blocks_the_event_loop():
    async def main():
        ticks = 0

        async def ticker():
            nonlocal ticks
            while True:
                await asyncio.sleep(0.01)
                ticks += 1

        with ulmot.Reader(rate=100, tags=5) as reader:
            beat = asyncio.create_task(ticker())
            reads = []
            async with reader.inventory_async(reads=30) as run:
                async for read in run:
                    reads.append(read)
            async for read in reader.inventory_async(duration=2):
                break  # the loop breaks; aclose by hand, as an abandoned async iterator is closed later
            beat.cancel()
            assert len(list(reader.inventory(reads=2))) == 2
            assert objects_made(reader) == NOTHING
        return reads, ticks

    reads, ticks = asyncio.run(main())
    assert [r.sequence for r in reads] == list(range(1, 31))
    # 30 reads at 100/s take 0.3 s: the loop went on ticking meanwhile.
    assert ticks >= 15
