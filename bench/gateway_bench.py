#!/usr/bin/env python3
"""Reads per second from the emulated reader through ulmot-gateway to a subscriber, beside a bare publisher.

    bench/gateway_bench.py BUILD_DIR [--seconds S] [--repeat N] [--rates R,R...] [--json FILE]

A mosquitto of its own on a free loopback port; a subscriber (paho-mqtt)
counts the reads it receives and the distinct report numbers. For each QoS
and rate: ulmot-gateway with its embedded reader (5,000 tags, --batch 500)
for S seconds, then its delivered reads/s, lost (report numbers never
received, counted or not), dropped (as its status says) and its CPU
(/proc). The floor in the same run: bench/mqtt_floor.cpp, a bare
libmosquitto publisher sending the same count of reads in the same batches
of the same JSON at the same rate, with the same 16 batches in flight at
most. Medians of N runs. ULMOT_BENCH_SMOKE=1 makes it one short run.
"""
import argparse
import json
import os
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import paho.mqtt.client as mqtt


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Counter:
    def __init__(self, port, topic):
        self.reads, self.sequences, self.lock = 0, set(), threading.Lock()
        self.client = mqtt.Client(client_id="bench-subscriber-%d" % os.getpid())
        self.client.on_connect = lambda c, u, f, rc: c.subscribe(topic, qos=1)
        self.client.on_message = self.on_message
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()
        time.sleep(0.3)

    def on_message(self, client, userdata, message):
        batch = json.loads(message.payload)["reads"]
        with self.lock:
            self.reads += len(batch)
            self.sequences.update(r["seq"] for r in batch)

    def wait_quiet(self):
        last = -1
        while last != self.reads:
            last = self.reads
            time.sleep(0.3)

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def gateway_run(build, port, qos, rate, seconds):
    counter = Counter(port, "ulmot/reader/reads")
    status = []
    watcher = mqtt.Client()
    watcher.on_connect = lambda c, u, f, rc: c.subscribe("ulmot/reader/status", qos=1)
    watcher.on_message = lambda c, u, m: status.append(json.loads(m.payload))
    watcher.connect("127.0.0.1", port)
    watcher.loop_start()
    gateway = subprocess.Popen([os.path.join(build, "tools/gateway/ulmot-gateway"), "--broker",
                                "mqtt://127.0.0.1:%d" % port, "--qos", str(qos), "--rate", str(rate), "--tags", "5000",
                                "--batch", "500"], stderr=subprocess.DEVNULL)
    time.sleep(seconds)
    cpu = cpu_seconds(gateway.pid)
    gateway.send_signal(signal.SIGTERM)
    gateway.wait(30)
    counter.wait_quiet()
    watcher.loop_stop()
    watcher.disconnect()
    counter.close()
    final = status[-1] if status else {}
    last = max(counter.sequences) if counter.sequences else 0
    return {"delivered": counter.reads / seconds, "reads": counter.reads, "lost": last - len(counter.sequences),
            "dropped": final.get("dropped", 0), "cpu": cpu / seconds}


def floor_run(build, port, qos, rate, reads):
    counter = Counter(port, "ulmot/floor/reads")
    out = subprocess.run([os.path.join(build, "bench/ulmot_mqtt_floor"), "127.0.0.1", str(port), str(qos), str(rate),
                          str(reads), "500"], capture_output=True, text=True, timeout=600, check=True).stdout
    seconds, cpu = (float(x) for x in out.split())
    counter.wait_quiet()
    counter.close()
    return {"delivered": counter.reads / seconds, "reads": counter.reads, "cpu": cpu / seconds}


def median_of(runs):
    return {key: statistics.median(r[key] for r in runs) for key in runs[0]}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build")
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--rates", default="10000,50000,100000")
    parser.add_argument("--json")
    args = parser.parse_args()
    rates = [int(r) for r in args.rates.split(",")]
    qoses = [0, 1]
    if os.environ.get("ULMOT_BENCH_SMOKE"):
        rates, qoses, args.seconds, args.repeat = [10000], [1], 1.0, 1
    work = tempfile.mkdtemp(prefix="ulmot-gateway-bench-")
    port = free_port()
    conf = os.path.join(work, "mosquitto.conf")
    with open(conf, "w") as f:
        f.write("user %s\nlistener %d 127.0.0.1\nallow_anonymous true\nmax_queued_messages 100000\n"
                % (os.environ.get("USER", "root"), port))
    broker = subprocess.Popen(["mosquitto", "-c", conf], stderr=subprocess.DEVNULL)
    time.sleep(0.5)
    rows = []
    print("| QoS | rate asked | through the gateway | lost | dropped | gateway CPU | floor | floor CPU | ratio |")
    print("|---|---|---|---|---|---|---|---|---|")
    try:
        for qos in qoses:
            for rate in rates:
                g = median_of([gateway_run(args.build, port, qos, rate, args.seconds) for _ in range(args.repeat)])
                f = median_of([floor_run(args.build, port, qos, rate, int(g["reads"])) for _ in range(args.repeat)])
                ratio = g["delivered"] / f["delivered"] if f["delivered"] else 0
                rows.append({"qos": qos, "rate": rate, "gateway": g, "floor": f, "ratio": ratio})
                print("| {} | {:,}/s | {:,.0f}/s | {:.0f} | {:.0f} | {:.0%} | {:,.0f}/s | {:.0%} | {:.2f}× |".format(
                    qos, rate, g["delivered"], g["lost"], g["dropped"], g["cpu"], f["delivered"], f["cpu"], ratio),
                    flush=True)
    finally:
        broker.send_signal(signal.SIGTERM)
        broker.wait(10)
    if args.json:
        with open(args.json, "w") as out:
            json.dump(rows, out, indent=1)


if __name__ == "__main__":
    sys.exit(main())
