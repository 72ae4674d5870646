#!/usr/bin/env python3
"""Reads per second into a Python ``for`` loop, beside the floor of the hand-off alone.

    bench/python_handoff.py BUILD_DIR [--seconds S] [--repeat N] [--rates R,R...] [--json FILE]

For each rate, the embedded emulated reader (5,000 tags, repeating inventory
over the in-memory pair) reports to ``Reader.inventory`` and a ``for`` loop
counts the TagRead objects it gets, for S seconds; lost (gaps in the report
numbers), dropped (refused by the full hand-off) and the process's CPU are
recorded. "Lost unread" is the same inventory with nobody reading in Python
(a hand-off large enough for every read): what the library and the
emulated reader lose by themselves at that rate. The floor, in the same run: a C thread (bench/handoff_feeder.cpp)
pushes the same count of synthetic reports at the same rate through the
same callback into the same inbox, and Python drains it with the package's
own record parsing, with no reader, transport or session behind it. Medians
of N repetitions. ULMOT_BENCH_SMOKE=1 makes it a short run of two rates.
"""
import argparse
import ctypes
import json
import os
import statistics
import sys
import time


def measure_reader(ulmot, rate, seconds):
    with ulmot.Reader(rate=rate, tags=5000, seed=7) as reader:
        run = reader.inventory(duration=seconds)
        cpu, wall, count = time.process_time(), time.monotonic(), 0
        for _read in run:
            count += 1
        wall, cpu = time.monotonic() - wall, time.process_time() - cpu
        return {"delivered": count / wall, "lost": run.lost, "dropped": run.dropped, "cpu": cpu / wall}


def measure_unread(ulmot, rate, seconds):
    """The same inventory with nobody reading in Python: what the library and the reader lose alone."""
    with ulmot.Reader(rate=rate, tags=5000, seed=7, queue=int(rate * seconds * 2)) as reader:
        inventory = reader.inventory(duration=seconds)
        run = inventory._run
        run.start()
        time.sleep(seconds)
        dropped, lost = run.counts()
        inventory.close()
        return {"lost": lost, "dropped": dropped}


def measure_floor(handoff, feeder, rate, seconds):
    inbox = handoff.Inbox(100_000)
    count = int(rate * seconds)
    cpu, wall, got = time.process_time(), time.monotonic(), 0
    feed = feeder.uho_bench_Feed(inbox.handle, rate, count)
    deadline = time.monotonic() + seconds + 5
    while got < count and time.monotonic() < deadline:
        data = inbox.take(50)
        for kind, offset, _reader_time, _wall in handoff.records(data):
            if kind == handoff.TAG:
                _instance, _read = handoff.tag_read(data, offset)
                got += 1
    feeder.uho_bench_Join(feed, 1)
    wall, cpu = time.monotonic() - wall, time.process_time() - cpu
    dropped, _lost, _last = inbox.tag_counts(1)
    inbox.destroy()
    return {"delivered": got / wall, "lost": 0, "dropped": dropped, "cpu": cpu / wall}


def median_of(runs):
    return {key: statistics.median(r[key] for r in runs) for key in runs[0]}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build")
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--rates", default="1500,10000,25000,50000,75000,100000")
    parser.add_argument("--json")
    args = parser.parse_args()
    rates = [int(r) for r in args.rates.split(",")]
    if os.environ.get("ULMOT_BENCH_SMOKE"):
        rates, args.seconds, args.repeat = [1500, 50000], 0.3, 1
    build = os.path.abspath(args.build)
    os.environ["ULMOT_LIBRARY_PATH"] = build
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
    import ulmot
    from ulmot import _handoff
    feeder = ctypes.CDLL(os.path.join(build, "libulmot_handoff_feeder.so"))
    feeder.uho_bench_Feed.restype = ctypes.c_void_p
    feeder.uho_bench_Feed.argtypes = [ctypes.c_void_p, ctypes.c_uint32, ctypes.c_uint64]
    feeder.uho_bench_Join.argtypes = [ctypes.c_void_p, ctypes.c_int]

    rows = []
    print("| rate asked | into Python | lost | dropped | process CPU | lost unread | floor | floor dropped | floor CPU "
          "| ratio |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for rate in rates:
        library = median_of([measure_reader(ulmot, rate, args.seconds) for _ in range(args.repeat)])
        unread = median_of([measure_unread(ulmot, rate, args.seconds) for _ in range(args.repeat)])
        floor = median_of([measure_floor(_handoff, feeder, rate, args.seconds) for _ in range(args.repeat)])
        ratio = library["delivered"] / floor["delivered"]
        rows.append({"rate": rate, "library": library, "unread": unread, "floor": floor, "ratio": ratio})
        print("| {:,}/s | {:,.0f}/s | {:.0f} | {:.0f} | {:.0%} | {:.0f} | {:,.0f}/s | {:.0f} | {:.0%} | {:.2f}× |".format(
            rate, library["delivered"], library["lost"], library["dropped"], library["cpu"], unread["lost"],
            floor["delivered"], floor["dropped"], floor["cpu"], ratio), flush=True)
    if args.json:
        with open(args.json, "w") as out:
            json.dump(rows, out, indent=1)


if __name__ == "__main__":
    main()
