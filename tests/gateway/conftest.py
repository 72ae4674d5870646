"""A broker of the test's own (mosquitto on a free port, its config in a temporary directory, stopped by its
process id), an MQTT subscriber that keeps every message, and the gateway and daemon as processes."""
import getpass
import json
import os
import signal
import socket
import subprocess
import threading
import time

import paho.mqtt.client as mqtt
import pytest

GATEWAY = os.environ.get("ULMOT_GATEWAY", "")
READERD = os.environ.get("ULMOT_READERD", "")
TOOL = os.environ.get("ULMOT_TOOL", "")


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(condition, timeout=20.0, what="the condition"):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "timed out waiting for " + what
        time.sleep(0.02)


class Broker:
    def __init__(self, directory, extra=""):
        self.port = free_port()
        self.dir = directory
        self.extra = extra
        self.process = None
        self.start()

    def start(self):
        conf = os.path.join(self.dir, "mosquitto.conf")
        with open(conf, "w") as f:
            # As the user the tests run as (started by root, the broker would switch to its own user,
            # who cannot read the test's temporary directory).
            f.write("user %s\nlistener %d 127.0.0.1\npersistence true\npersistence_location %s/\nlog_dest stderr\n"
                    "log_type all\n%s" % (getpass.getuser(), self.port, self.dir, self.extra or "allow_anonymous true\n"))
        self.log = open(os.path.join(self.dir, "broker.log"), "a")
        self.process = subprocess.Popen(["mosquitto", "-c", conf], stderr=self.log, stdout=self.log)
        def listening():
            with socket.socket() as s:
                return s.connect_ex(("127.0.0.1", self.port)) == 0
        wait_for(listening, 10, "the broker to listen")

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)  # persistence is written on the way out
            self.process.wait(10)
        self.process = None

    @property
    def url(self):
        return "mqtt://127.0.0.1:%d" % self.port


class Subscriber:
    """Keeps every message under ulmot/# (QoS 1, a persistent session: what the broker holds for it survives
    a restart of the broker)."""

    def __init__(self, broker, client_id="test-subscriber", **tls):
        self.messages = []
        self.lock = threading.Lock()
        self.client = mqtt.Client(client_id=client_id, clean_session=False)
        self.client.on_connect = lambda c, u, f, rc: c.subscribe("ulmot/#", qos=1)
        self.client.on_message = self._on_message
        self.client.reconnect_delay_set(0.1, 0.5)
        self.client.connect("127.0.0.1", broker.port)
        self.client.loop_start()
        wait_for(lambda: self.client.is_connected(), 10, "the subscriber to connect")
        time.sleep(0.2)  # the subscription's acknowledgement

    def _on_message(self, client, userdata, message):
        with self.lock:
            self.messages.append((message.topic, message.payload.decode(), message.retain))

    def on(self, topic):
        with self.lock:
            return [json.loads(p) for t, p, _ in self.messages if t == topic]

    def reads(self, reader="reader"):
        return [r for batch in self.on("ulmot/%s/reads" % reader) for r in batch["reads"]]

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


class Process:
    def __init__(self, *argv):
        self.stderr = ""
        self.process = subprocess.Popen(list(argv), stderr=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def stop(self, sig=signal.SIGTERM, timeout=20):
        if self.process.poll() is None:
            self.process.send_signal(sig)
        out, err = self.process.communicate(timeout=timeout)
        self.stderr = err
        return self.process.returncode


@pytest.fixture
def broker(tmp_path):
    b = Broker(str(tmp_path))
    yield b
    b.stop()


@pytest.fixture
def processes():
    started = []

    def start(*argv):
        p = Process(*argv)
        started.append(p)
        return p

    yield start
    for p in started:
        if p.process.poll() is None:
            p.process.kill()
            p.process.wait()


@pytest.fixture(autouse=True)
def built():
    if not (GATEWAY and READERD and TOOL):
        pytest.skip("ULMOT_GATEWAY, ULMOT_READERD and ULMOT_TOOL name the built programs")
