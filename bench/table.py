#!/usr/bin/env python3
"""Turns Google Benchmark's JSON (make bench writes build-bench/bench.json)
into the Markdown table of docs/PERFORMANCE.md: each case beside its floor
(the benchmark of the same name ending in _Baseline or _HeaderWalk) and the
ratio, with the counters each case reports.

Usage: bench/table.py [build-bench/bench.json]
With repetitions, the median aggregate is used."""
import json
import sys

FLOOR_SUFFIXES = ("_HeaderWalk", "_Baseline")
# Cases whose floor has another name: the tag report read walks the same
# bytes as the parse.
FLOOR_OF = {"BM_ReadTagReport": "BM_ParseTagReport_HeaderWalk"}


def pick(benchmarks):
    """One entry per run name: the median when there are aggregates."""
    runs = {}
    for b in benchmarks:
        name = b.get("run_name", b["name"])
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") == "median":
                runs[name] = b
        elif name not in runs:
            runs[name] = b
    return runs


def split(name):
    head, _, rest = name.partition("/")
    return head, rest


def floor_of(name, runs):
    """The floor run with the same options (arguments, time, threads)."""
    head, rest = split(name)
    heads = [FLOOR_OF[head]] if head in FLOOR_OF else [head + suffix for suffix in FLOOR_SUFFIXES]
    for floor_head in heads:
        candidate = floor_head + ("/" + rest if rest else "")
        if candidate in runs:
            return candidate
    return None


# Cases whose figure is a counter, not the time: the ratio compares that.
RATIO_COUNTER = {"BM_TagReportsEndToEnd": "client_cpu_pct", "BM_TagReportsOverSocket": "client_cpu_pct"}


def ratio(name, b, f):
    counter = RATIO_COUNTER.get(split(name)[0])
    if counter and counter in b and counter in f and f[counter] > 0:
        return "%.2f× (%s)" % (b[counter] / f[counter], counter)
    return "%.2f×" % (ns(b) / ns(f)) if ns(f) > 0 else "—"


def time_of(b):
    return "%.1f %s" % (b["real_time"], b["time_unit"])


def ns(b):
    scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b["time_unit"]]
    return b["real_time"] * scale


SKIP = {"name", "run_name", "run_type", "repetitions", "repetition_index", "threads", "iterations",
        "real_time", "cpu_time", "time_unit", "family_index", "per_family_instance_index",
        "aggregate_name", "aggregate_unit", "label", "error_occurred", "error_message"}


def counters(b):
    out = []
    for key, value in b.items():
        if key in SKIP or not isinstance(value, (int, float)):
            continue
        out.append("%s %s" % (key, ("%.3g" % value) if isinstance(value, float) else value))
    return ", ".join(out)


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else "build-bench/bench.json"
    with open(path) as f:
        data = json.load(f)
    runs = pick(data["benchmarks"])
    context = data.get("context", {})
    print("Machine: %s CPUs at %s MHz; run %s." % (context.get("num_cpus"), context.get("mhz_per_cpu"),
                                                   context.get("date", "?")))
    print()
    print("| case | time | floor | floor time | ratio | counters |")
    print("|---|---|---|---|---|---|")
    for name, b in runs.items():
        if any(split(name)[0].endswith(s) for s in FLOOR_SUFFIXES):
            continue
        floor = floor_of(name, runs)
        if floor:
            f = runs[floor]
            print("| %s | %s | %s | %s | %s | %s |" % (name, time_of(b), split(floor)[0], time_of(f),
                                                     ratio(name, b, f), counters(b)))
        else:
            print("| %s | %s | — | — | — | %s |" % (name, time_of(b), counters(b)))


if __name__ == "__main__":
    main()
