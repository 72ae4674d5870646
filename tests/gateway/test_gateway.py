"""ulmot-gateway against a broker of its own: every read exactly once, commands and answers, the Last Will,
a broker and a reader that go away and come back, and a broker that asks for TLS and a password."""
import json
import os
import signal
import subprocess
import time

import paho.mqtt.client as mqtt
import pytest

from conftest import GATEWAY, READERD, TOOL, Broker, Subscriber, free_port, wait_for

SEED, TAGS = 7, 20


def population():
    out = subprocess.run([TOOL, "inventory", "--json", "--reads", str(TAGS), "--seed", str(SEED), "--tags", str(TAGS)],
                         capture_output=True, text=True, timeout=60, check=True).stdout
    return {json.loads(line)["epc"] for line in out.splitlines()}


def status(sub, reader="reader"):
    states = sub.on("ulmot/%s/status" % reader)
    return states[-1] if states else {}


def test_every_read_arrives_exactly_once_and_offline_comes_last(broker, processes):
    sub = Subscriber(broker)
    gw = processes(GATEWAY, "--broker", broker.url, "--seed", str(SEED), "--tags", str(TAGS), "--rate", "2000",
                   "--batch", "50")
    wait_for(lambda: len(sub.reads()) >= 400, what="400 reads")
    assert gw.stop() == 0
    wait_for(lambda: status(sub).get("state") == "offline", what="offline")
    reads = sub.reads()
    assert [r["seq"] for r in reads] == list(range(1, len(reads) + 1))  # none twice, none missing, in order
    assert {r["epc"] for r in reads} == population()
    final = status(sub)
    assert (final["published"], final["dropped"], final["lost"], final["inventory"]) == (len(reads), 0, 0, "stopped")
    assert all(len(b["reads"]) <= 50 for b in sub.on("ulmot/reader/reads"))
    events = [e["event"] for e in sub.on("ulmot/reader/events")]
    assert events[0] == "schedule started" and "schedule stopped" in events
    sub.close()


def command(sub, broker, payload, answers):
    client = mqtt.Client()
    client.connect("127.0.0.1", broker.port)
    client.loop_start()
    client.publish("ulmot/reader/cmd", payload, qos=1).wait_for_publish()
    client.loop_stop()
    client.disconnect()
    wait_for(lambda: len(sub.on("ulmot/reader/resp")) > answers, what="the answer to " + payload)
    return sub.on("ulmot/reader/resp")[answers]


def test_commands_are_answered_with_their_id_and_bad_ones_change_nothing(broker, processes):
    sub = Subscriber(broker)
    gw = processes(GATEWAY, "--broker", broker.url, "--rate", "200")
    wait_for(lambda: status(sub).get("state") == "online" and sub.reads(), what="the gateway")
    rows = [
        ('{"id": 1, "command": "info"}', lambda a: a["result"] == 0 and len(a["data"]["versions"]) == 10
         and a["data"]["gpo"] == 4),
        ('{"id": "g", "command": "gpo", "line": 2, "state": 1}', lambda a: a["data"] == {"line": 2, "state": 1}),
        ('{"id": 3, "command": "gpo", "line": 9, "state": 1}', lambda a: a["result"] != 0),
        ('{"id": 4, "command": "gpo", "line": 2}', lambda a: a["result"] == -5 and "state" in a["error"]),
        ('{"id": 5, "command": "launch"}', lambda a: a["result"] == -5 and "unknown command" in a["error"]),
        ('not json', lambda a: a["id"] is None and a["result"] == -5),
        ('{"command": "stop"}', lambda a: a["id"] is None and a["result"] == -5),
        ('{"id": 6, "command": "start"}', lambda a: a["result"] == -5),  # it runs already
        ('{"id": "r", "command": "read", "epc": "F597", "bank": "tid"}',
         lambda a: a["result"] == 0 and [t["epc"][:4] for t in a["data"]["tags"]] == ["F597"]
         and len(a["data"]["tags"][0]["data"]) == 24),
        ('{"id": "u", "command": "read", "epc": "F597", "bank": "user", "offset": 65000, "words": 2}',
         lambda a: a["result"] == 0 and a["data"]["tags"][0]["error"] == 3),
        ('{"id": "x", "command": "read", "epc": "XYZ"}', lambda a: a["result"] == -5 and "hex" in a["error"]),
        ('{"id": 7, "command": "stop"}', lambda a: a["result"] == 0),
        ('{"id": 8, "command": "stop"}', lambda a: a["result"] == -5),
        ('{"id": 9, "command": "start"}', lambda a: a["result"] == 0),
    ]
    for n, (payload, check) in enumerate(rows):
        answer = command(sub, broker, payload, n)
        assert check(answer), (payload, answer)
        if '"id"' in payload:
            assert answer["id"] == json.loads(payload)["id"]
        if n == 10:  # the malformed commands and the reads before did not stop the run for good
            assert status(sub)["inventory"] == "running"
    events = [e["event"] for e in sub.on("ulmot/reader/events")]
    # The inventory's own schedule: the first start, a pause and a start again around each read, the stop
    # command and the start command.
    assert events.count("schedule started") == 1 + 2 + 1 and events.count("schedule stopped") == 2 + 1
    assert gw.stop() == 0


def test_a_killed_gateway_shows_offline_through_its_last_will(broker, processes):
    sub = Subscriber(broker)
    gw = processes(GATEWAY, "--broker", broker.url)
    wait_for(lambda: status(sub).get("state") == "online", what="online")
    gw.stop(signal.SIGKILL)
    wait_for(lambda: status(sub).get("state") == "offline", what="the Last Will")
    assert status(sub)["reason"] == "the gateway went away"


def test_a_broker_away_keeps_the_buffer_and_counts_exactly_what_overflowed(broker, processes):
    sub = Subscriber(broker)
    gw = processes(GATEWAY, "--broker", broker.url, "--rate", "1000", "--buffer", "300", "--batch", "20")
    wait_for(lambda: len(sub.reads()) >= 200, what="reads before the broker goes")
    broker.stop()
    time.sleep(1.5)  # about 1,500 reads while the broker is away: 300 wait, the rest overflow
    broker.start()
    wait_for(lambda: status(sub).get("dropped", 0) > 0 and len(sub.reads()) > 600, what="the status after")
    assert gw.stop() == 0
    wait_for(lambda: status(sub).get("state") == "offline", what="offline")
    reads, final = sub.reads(), status(sub)
    # QoS 1 across a broker's restart: a batch in flight may come twice, but nothing is silently lost:
    # every report number was published or counted as dropped.
    sequences = {r["seq"] for r in reads}
    assert len(sequences) + final["dropped"] == max(sequences) and final["lost"] == 0
    assert 300 <= final["dropped"] <= 10000  # overflowed while away, not a handful
    sub.close()


def test_a_reader_that_goes_and_comes_back_is_resumed_and_the_gap_reported(broker, processes, tmp_path):
    path, ready = str(tmp_path / "reader.sock"), str(tmp_path / "addresses")
    readerd = [READERD, "--unix", path, "--rate", "500", "--port-file", ready]
    daemon = processes(*readerd)
    wait_for(lambda: os.path.exists(ready), what="the daemon")  # written once it listens
    sub = Subscriber(broker)
    gw = processes(GATEWAY, "--broker", broker.url, "--reader", "dock=unix:" + path)
    wait_for(lambda: len(sub.reads("dock")) > 20, what="reads from the daemon")
    daemon.stop(signal.SIGKILL)
    wait_for(lambda: status(sub, "dock").get("link") == "down", what="the loss in the status")
    before = len(sub.reads("dock"))
    daemon = processes(*readerd)
    wait_for(lambda: status(sub, "dock").get("resumes") == 1, 30, "the resumption")
    wait_for(lambda: len(sub.reads("dock")) > before + 20, what="reads after the resumption")
    events = [e["event"] for e in sub.on("ulmot/dock/events")]
    assert events.index("reader link lost") < events.index("reader link resumed")
    (gap,) = status(sub, "dock")["gaps"]
    assert gap["from"] < gap["to"]
    # The new run numbers its reports from 1 again.
    assert sub.reads("dock")[before]["seq"] == 1
    assert gw.stop() == 0


@pytest.fixture
def tls_broker(tmp_path):
    d = str(tmp_path)
    def openssl(*args):
        subprocess.run(["openssl", *args], check=True, capture_output=True, cwd=d)
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=test-ca", "-keyout", "ca.key",
            "-out", "ca.crt")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout", "server.key", "-out",
            "server.csr")
    with open(os.path.join(d, "san.ext"), "w") as f:
        f.write("subjectAltName=IP:127.0.0.1\n")
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-CAcreateserial", "-days", "2",
            "-extfile", "san.ext", "-out", "server.crt")
    subprocess.run(["mosquitto_passwd", "-b", "-c", os.path.join(d, "passwords"), "gateway", "s3cret"], check=True)
    with open(os.path.join(d, "password"), "w") as f:
        f.write("s3cret\n")
    with open(os.path.join(d, "wrong"), "w") as f:
        f.write("guess\n")
    tls_port = free_port()
    b = Broker(d, "allow_anonymous false\npassword_file %s/passwords\nlistener %d 127.0.0.1\n"
                  "cafile %s/ca.crt\ncertfile %s/server.crt\nkeyfile %s/server.key\n" % (d, tls_port, d, d, d))
    b.tls_port, b.dir = tls_port, d
    yield b
    b.stop()


def test_tls_and_a_password_let_the_right_gateway_in_and_refuse_a_wrong_one_once(tls_broker, processes):
    d, url = tls_broker.dir, "mqtts://127.0.0.1:%d" % tls_broker.tls_port
    good = processes(GATEWAY, "--broker", url, "--ca-file", d + "/ca.crt", "--username", "gateway",
                     "--password-file", d + "/password")
    log = os.path.join(d, "broker.log")
    wait_for(lambda: "ulmot-gateway-reader" in open(log).read() and "as ulmot-gateway-reader" in open(log).read(),
             what="the gateway's connection")
    assert good.stop() == 0
    connections = open(log).read().count("New client connected")
    bad = processes(GATEWAY, "--broker", url, "--ca-file", d + "/ca.crt", "--username", "gateway",
                    "--password-file", d + "/wrong")
    assert bad.process.wait(20) == 4
    assert bad.stop() == 4 and "refused" in bad.stderr and "not authori" in bad.stderr
    time.sleep(1.5)  # a retry would come within a second
    assert open(log).read().count("New client connected") == connections  # the refused one never got in
    assert open(log).read().count("ulmot-gateway-reader") - 0 >= 1


def test_a_config_file_names_several_readers_and_the_command_line_wins(broker, processes, tmp_path):
    path, ready = str(tmp_path / "reader.sock"), str(tmp_path / "addresses")
    processes(READERD, "--unix", path, "--rate", "300", "--port-file", ready)
    wait_for(lambda: os.path.exists(ready), what="the daemon")  # written once it listens
    config = tmp_path / "gateway.toml"
    config.write_text('broker = "mqtt://127.0.0.1:1"\nbatch = 5\nantennas = "2"\n\n[[reader]]\nid = "front"\n\n'
                      '[[reader]]\nid = "back"\naddress = "unix:%s"\n' % path)
    sub = Subscriber(broker)
    capture = str(tmp_path / "gateway.pcapng")
    gw = processes(GATEWAY, "--config", str(config), "--broker", broker.url, "--capture", capture)
    wait_for(lambda: len(sub.reads("front")) > 10 and len(sub.reads("back")) > 10, what="both readers' reads")
    assert all(len(b["reads"]) <= 5 for b in sub.on("ulmot/back/reads"))
    assert {r["antenna"] for r in sub.reads("front") + sub.reads("back")} == {2}
    assert status(sub, "front")["reader"] == "embedded" and status(sub, "back")["reader"] == "unix:" + path
    assert gw.stop() == 0
    interfaces = subprocess.run(["tshark", "-r", capture, "-T", "fields", "-e", "frame.interface_name"],
                                capture_output=True, text=True, timeout=60).stdout.split("\n")
    assert {"front", "back unix:" + path} == set(interfaces) - {""}


@pytest.mark.parametrize("argv,message", [
    (["--broker", "http://127.0.0.1:1883"], "--broker must be mqtt://"),
    (["--reader", "noaddress", "--broker", "mqtt://127.0.0.1:1"], "--reader takes ID=ADDR"),
    (["--reader", "a/b=embedded", "--broker", "mqtt://127.0.0.1:1"], "cannot hold"),
    (["--filter", "XYZ", "--broker", "mqtt://127.0.0.1:1"], "--filter must be hex"),
    ([], "--broker is needed"),
])
def test_bad_options_exit_2_with_a_message(argv, message):
    result = subprocess.run([GATEWAY, *argv], capture_output=True, text=True, timeout=30)
    assert result.returncode == 2 and message in result.stderr, result.stderr


def test_a_reader_that_is_not_there_at_start_is_exit_3():
    result = subprocess.run([GATEWAY, "--broker", "mqtt://127.0.0.1:1", "--reader", "x=unix:/nonexistent/sock"],
                            capture_output=True, text=True, timeout=30)
    assert result.returncode == 3 and "x: no reader at unix:/nonexistent/sock" in result.stderr
