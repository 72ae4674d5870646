"""The Wireshark dissector (tools/wireshark/ulmot.lua) under tshark.

Three sources of frames, each decoded by tshark with the dissector (two passes, PDML):
- a capture that a client of the library wrote with utr_SocketCapture while it used the emulated reader
  over TCP (tests/wireshark/capture_writer.cpp), beside what its calls returned and its callbacks were given:
  the decoded fields must say the same;
- the same frames as a TCP stream on the dissector's port, cut into segments in several ways: the
  reassembled messages must be the ones of the capture;
- frames built here byte by byte, sound and malformed: each field as expected, each fault an expert warning
  on its item, and never a Lua error.

Standard library only; tshark from Debian (tools/deps.sh, group wireshark)."""
import json
import os
import struct
import subprocess
import xml.etree.ElementTree as ET

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
DISSECTOR = os.environ.get("ULMOT_DISSECTOR", os.path.join(ROOT, "tools", "wireshark", "ulmot.lua"))
WRITER = os.environ.get("ULMOT_CAPTURE_WRITER", "")
DEFAULT_PORT = 5088

REQUEST, RESPONSE, EVENT = 0, 1, 2


# ---- pcapng files ----------------------------------------------------------------------------------------

def pcapng_block(kind, body):
    body += b"\0" * (-len(body) % 4)
    return struct.pack("<II", kind, len(body) + 12) + body + struct.pack("<I", len(body) + 12)


def write_pcapng(path, link_type, records):
    """A pcapng file as the library writes it; a record is its data, or (interface, data) for one of several."""
    records = [r if isinstance(r, tuple) else (0, r) for r in records]
    blocks = [pcapng_block(0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1))]
    blocks += [pcapng_block(1, struct.pack("<HHI", link_type, 0, 65535))] * (1 + max(i for i, _ in records))
    for n, (interface, data) in enumerate(records):
        micros = 1700000000000000 + n * 1000
        blocks.append(pcapng_block(6, struct.pack("<IIIII", interface, micros >> 32, micros & 0xFFFFFFFF, len(data),
                                                  len(data)) + data))
    with open(path, "wb") as f:
        f.write(b"".join(blocks))


def read_pcapng(path):
    """The records of a pcapng file, as (interface, data), read in the byte order that the section header's
    byte-order magic announces (the writing machine's)."""
    with open(path, "rb") as f:
        data = f.read()
    order = "<" if data[8:12] == bytes([0x4D, 0x3C, 0x2B, 0x1A]) else ">"
    assert struct.unpack_from(order + "I", data, 8)[0] == 0x1A2B3C4D, "the byte-order magic"
    records, off = [], 0
    while off < len(data):
        kind, length = struct.unpack_from(order + "II", data, off)
        if kind == 1:
            assert struct.unpack_from(order + "H", data, off + 8)[0] == 147, "link type USER0"
        elif kind == 6:
            interface = struct.unpack_from(order + "I", data, off + 8)[0]
            caplen = struct.unpack_from(order + "I", data, off + 20)[0]
            records.append((interface, data[off + 28:off + 28 + caplen]))
        off += length
    return records


def read_records(path):
    return [record for _, record in read_pcapng(path)]


# ---- tshark and its PDML -------------------------------------------------------------------------------------

class Item:
    """One DTP item of a decoded message: its id, type and every field below it."""

    def __init__(self, element):
        self.element = element
        self.fields = collect(element)
        ids, types = self.fields.get("ulmot.item.id"), self.fields.get("ulmot.item.type")
        self.id = int(ids[0][0]) if ids else None  # None: its header is cut short
        self.type = int(types[0][0]) if types else None

    def show(self, name):
        return [s for s, _ in self.fields.get(name, [])]

    def raw(self, name):
        return [v for _, v in self.fields.get(name, [])]


def collect(element):
    """Every field below `element`: name -> [(show, value)] in document order."""
    out = {}
    for f in element.iter("field"):
        out.setdefault(f.get("name"), []).append((f.get("show"), f.get("value")))
    return out


class Message:
    """One ulmot message of a decoded frame."""

    def __init__(self, frame, element):
        self.frame = frame
        self.element = element
        self.fields = collect(element)
        body = [f for f in element if f.get("name") == "ulmot.body"]
        self.items = [Item(i) for i in body[0] if i.get("name") == "ulmot.item"] if body else []
        self.experts = [(e.get("name"), m) for e in element.iter("field") if e.get("name", "").startswith("ulmot.")
                        for m in [expert_message(e)] if m is not None]

    def int(self, name, default=None):
        values = self.fields.get(name)
        return int(values[0][0], 0) if values else default

    def show(self, name):
        return [s for s, _ in self.fields.get(name, [])]

    def raw(self, name):
        return [v for _, v in self.fields.get(name, [])]

    def item(self, item_id):
        found = [i for i in self.items if i.id == item_id]
        assert len(found) == 1, "one item %d in frame %d, found %d" % (item_id, self.frame, len(found))
        return found[0]

    def warnings(self, expert="ulmot.malformed"):
        return [m for name, m in self.experts if name == expert]

    @property
    def kind(self):
        return self.int("ulmot.type")

    def key(self):
        """What the message says, independent of where and how it travelled."""
        return (self.int("ulmot.type"), self.int("ulmot.msg_id"), self.int("ulmot.src"), self.int("ulmot.dst"),
                self.int("ulmot.obj_type"), self.int("ulmot.cmd"), self.int("ulmot.instance"),
                self.int("ulmot.body_len"), tuple(self.raw("ulmot.epc")), tuple(self.show("ulmot.result")))


def expert_message(element):
    """The text of an expert item: the _ws.expert.message beside an expert field of ours."""
    parent = element.get("name")
    if parent not in ("ulmot.malformed", "ulmot.unanswered", "ulmot.refused", "ulmot.crc.bad"):
        return None
    return element.get("showname") or ""


class Decoded:
    def __init__(self, stdout, stderr):
        self.stdout, self.stderr = stdout, stderr
        self.messages = []
        root = ET.fromstring(stdout)
        for packet in root.iter("packet"):
            frame = int([f for f in packet.iter("field") if f.get("name") == "num"][0].get("show"))
            for proto in packet.iter("proto"):
                if proto.get("name") == "ulmot":
                    self.messages.append(Message(frame, proto))

    def in_frame(self, frame):
        return [m for m in self.messages if m.frame == frame]

    def at(self, frame):
        found = self.in_frame(frame)
        assert len(found) == 1, "one message in frame %d" % frame
        return found[0]


def tshark(path, *options):
    """Decodes `path` with the dissector in two passes (so requests learn of their responses)."""
    run = subprocess.run(["tshark", "-X", "lua_script:" + DISSECTOR, "-r", path, "-2", "-T", "pdml"] + list(options),
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    decoded = Decoded(run.stdout, run.stderr)
    # A Lua error shows in the tree ("Lua Error") or on stderr; neither may appear.
    assert "Lua Error" not in run.stdout and "Lua" not in run.stderr, run.stderr
    assert "could not decode" not in run.stdout
    return decoded


# ---- the session that the client wrote -------------------------------------------------------------------------

@pytest.fixture(scope="module")
def session(tmp_path_factory):
    if not WRITER:
        pytest.skip("ULMOT_CAPTURE_WRITER names the capture writer (set by ctest)")
    directory = str(tmp_path_factory.mktemp("session"))
    run = subprocess.run([WRITER, directory], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    with open(os.path.join(directory, "session.json")) as f:
        expected = json.load(f)
    pcap = os.path.join(directory, "session.pcapng")
    return {"dir": directory, "pcap": pcap, "expected": expected, "decoded": tshark(pcap)}


def of(decoded, kind, obj_type, cmd, direction=None, instance=None):
    return [m for m in decoded.messages
            if m.kind == kind and m.int("ulmot.obj_type") == obj_type and m.int("ulmot.cmd") == cmd
            and (direction is None or m.int("ulmot.direction") == direction)
            and (instance is None or m.int("ulmot.instance") == instance)]


def test_every_frame_of_the_session_decodes_whole_with_no_warning(session):
    decoded, records = session["decoded"], read_records(session["pcap"])
    assert len(decoded.messages) == len(records) > 50
    for m, record in zip(decoded.messages, records):
        assert m.int("ulmot.direction") == record[0]
        assert m.int("ulmot.body_len") == len(record) - 13, "frame %d" % m.frame
        assert m.warnings() == [] and m.warnings("ulmot.unanswered") == [] and m.warnings("ulmot.crc.bad") == [], \
            (m.frame, m.experts)
    assert [m.kind for m in decoded.messages if m.int("ulmot.direction") == 0] == \
        [REQUEST] * len([r for r in records if r[0] == 0]), "the client sends requests only"


def test_every_request_is_paired_with_its_response_by_message_id_and_processor_ids(session):
    decoded = session["decoded"]
    requests = [m for m in decoded.messages if m.kind == REQUEST]
    responses = [m for m in decoded.messages if m.kind == RESPONSE]
    assert len(requests) == len(responses) > 10
    for request in requests:
        (answer,) = [int(f) for f in request.show("ulmot.response_in")]
        response = decoded.at(answer)
        assert answer > request.frame
        assert response.kind == RESPONSE
        assert int(response.show("ulmot.response_to")[0]) == request.frame
        assert response.int("ulmot.msg_id") == request.int("ulmot.msg_id")
        assert (response.int("ulmot.src"), response.int("ulmot.dst")) == \
            (request.int("ulmot.dst"), request.int("ulmot.src"))
        assert (response.int("ulmot.obj_type"), response.int("ulmot.cmd")) == \
            (request.int("ulmot.obj_type"), request.int("ulmot.cmd"))
        assert float(response.show("ulmot.time")[0]) >= 0


REPORT_COLUMNS = [
    # (what, the dissector's field, how to read it, the callback's key)
    ("EPC", "ulmot.epc", lambda v: v.upper(), "epc"),
    ("PC word", "ulmot.pc", lambda v: int(v, 16), "pc"),
    ("XPC word 1", "ulmot.xpc1", lambda v: int(v, 16), "xpc1"),
    ("XPC word 2", "ulmot.xpc2", lambda v: int(v, 16), "xpc2"),
    ("CRC", "ulmot.crc", lambda v: int(v, 16), "crc"),
]


@pytest.mark.parametrize("what,field,read,key", REPORT_COLUMNS, ids=[r[0] for r in REPORT_COLUMNS])
def test_tag_reports_say_what_the_clients_callback_got(session, what, field, read, key):
    decoded, reports = session["decoded"], session["expected"]["reports"]
    events = of(decoded, EVENT, 5, 2)
    assert len(events) == len(reports) == 24, "12 tags, two runs"
    got = []
    for m in events:
        tag = m.item(4)
        values = [read(v) for v in tag.raw(field)]
        got.append(values[0] if values else 0)  # the callback reads an absent XPC word as 0
        assert tag.show("ulmot.crc.status") == ["good"]
    assert got == [r[key] for r in reports]
    assert any(r["xpc1"] for r in reports) and any(r["xpc2"] for r in reports) and \
        any(not r["xpc1"] for r in reports), "plain PC words and one and two XPC words"


def test_access_reads_carry_the_words_the_callback_got_and_the_tag_they_came_from(session):
    decoded, expected = session["decoded"], session["expected"]
    events = of(decoded, EVENT, 7, 0)
    reads = expected["access_reads"]
    assert len(events) == len(reads) == 12
    reported = {e.upper() for m in of(decoded, EVENT, 5, 2) for e in m.raw("ulmot.epc")}
    for m, read in zip(events, reads):
        assert m.int("ulmot.instance") == read["access"] == expected["access"]
        assert [v.upper() for v in m.item(7).raw("ulmot.item.bytes")] == [read["data"]]
        assert len(read["data"]) == 8, "two words"
        assert m.item(10).show("ulmot.item.int8") == ["0"] and read["success"] == 1
        assert [e.upper() for e in m.item(4).raw("ulmot.epc")][0] in reported
    stops = of(decoded, EVENT, 7, 2)
    assert [(m.int("ulmot.instance"), int(m.item(254).show("ulmot.timestamp")[0])) for m in stops] == \
        [(s["access"], s["timestamp"]) for s in expected["access_stops"]]
    assert len(stops) == 1, "the access stop event of the second run"


def test_schedule_start_and_stop_events_frame_each_run(session):
    decoded, expected = session["decoded"], session["expected"]
    events = of(decoded, EVENT, 11, 0) + of(decoded, EVENT, 11, 1)
    events.sort(key=lambda m: m.frame)
    got = []
    for m in events:
        row = {"event": "start" if m.int("ulmot.cmd") == 0 else "stop", "schedule": m.int("ulmot.instance"),
               "timestamp": int(m.item(254).show("ulmot.timestamp")[0])}
        if row["event"] == "stop":
            row["reason"] = int(m.item(2).show("ulmot.item.int8")[0])
            assert "passes done" in m.item(2).element.get("showname")
        got.append(row)
    assert got == expected["schedule_events"]
    reports = [m.frame for m in of(decoded, EVENT, 5, 2)]
    starts, stops = [m.frame for m in events[0::2]], [m.frame for m in events[1::2]]
    for start, stop in zip(starts, stops):
        run = [f for f in reports if start < f < stop]
        assert len(run) == 12, "each run's reports between its start and its stop"


def request_of(decoded, obj_type, cmd, instance):
    (request,) = of(decoded, REQUEST, obj_type, cmd, direction=0, instance=instance)
    return request, decoded.at(int(request.show("ulmot.response_in")[0]))


REQUESTS = [
    # (what, object type, command, instance or key of the expectations, expectations key, item checked)
    ("GPI line read", 2, 4, 1, "gpi", ("response", 0, "ulmot.item.int8", "state")),
    ("GPO line written", 1, 3, 2, "gpo_write", ("request", 0, "ulmot.item.int8", "state")),
    ("GPO line read back", 1, 4, 2, "gpo_read", ("response", 0, "ulmot.item.int8", "state")),
    ("refused: no such GPI line", 2, 3, 99, "refused_gpi", ("request", 0, "ulmot.item.int8", "state")),
    ("refused: GPO state out of range", 1, 3, 3, "refused_gpo", ("request", 0, "ulmot.item.int8", "state")),
    ("stop of a schedule that no longer runs", 11, 101, "schedule", "stop_schedule",
     ("response", 6, "ulmot.item.int8", "status")),
]


@pytest.mark.parametrize("what,obj_type,cmd,instance,key,item", REQUESTS, ids=[r[0] for r in REQUESTS])
def test_requests_and_their_results_say_what_the_call_returned(session, what, obj_type, cmd, instance, key, item):
    decoded, expected = session["decoded"], session["expected"]
    if isinstance(instance, str):
        instance = expected[instance]
    request, response = request_of(decoded, obj_type, cmd, instance)
    result = expected[key]["result"]
    assert response.show("ulmot.result") == [str(result)]
    assert response.item(255).show("ulmot.result") == [str(result)]
    refusals = response.warnings("ulmot.refused")
    if result == 0:
        assert refusals == []
    else:
        assert len(refusals) == 1 and "refused: %d" % result in refusals[0]
        assert result in (2, 20), "unknown instance, or a value out of range"
    if item is not None:
        side, item_id, field, value_key = item
        message = request if side == "request" else response
        assert message.item(item_id).show(field) == [str(expected[key][value_key])]


# ---- the same frames over TCP ---------------------------------------------------------------------------------

CLIENT, SERVER = ("127.0.0.1", 41000), ("127.0.0.1", DEFAULT_PORT)


def tcp_records(records, cut, port):
    """The capture's frames as one TCP connection (raw IPv4, link type 101): the handshake, then each
    direction's bytes in the capture's order, cut into segments by `cut`."""
    server = (SERVER[0], port)
    seq = {0: 1000, 1: 50000}  # 0: the client's stream, 1: the server's
    out = []

    def segment(direction, flags, payload=b""):
        src, dst = (CLIENT, server) if direction == 0 else (server, CLIENT)
        tcp = struct.pack(">HHIIBBHHH", src[1], dst[1], seq[direction], seq[1 - direction], 5 << 4, flags, 65535, 0, 0)
        ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(tcp) + len(payload), 0, 0x4000, 64, 6, 0,
                         bytes(map(int, src[0].split("."))), bytes(map(int, dst[0].split("."))))
        out.append(ip + tcp + payload)
        seq[direction] += len(payload) + (1 if flags & 0x02 else 0)

    segment(0, 0x02)
    segment(1, 0x12)
    segment(0, 0x10)
    pending = []  # frames of one direction not yet sent
    for record in records + [None]:
        if pending and (record is None or record[0] != pending[0][0]):
            for piece in cut(b"".join(r[5:] for r in pending), [len(r) - 5 for r in pending]):
                segment(pending[0][0], 0x18, piece)
            pending = []
        if record is not None:
            pending.append(record)
    return out


def pieces_of(size):
    def cut(stream, lengths):
        return [stream[i:i + size] for i in range(0, len(stream), size)]
    return cut


SEGMENTATIONS = [
    # (what, how each direction's byte stream is cut, port, tshark options)
    ("5-byte segments: every header split", pieces_of(5), DEFAULT_PORT, []),
    ("1400-byte segments of several frames", pieces_of(1400), DEFAULT_PORT, []),
    ("another port set in the preferences", pieces_of(1400), 6001, ["-o", "ulmot.tcp_port:6001"]),
]


@pytest.mark.parametrize("what,cut,port,options", SEGMENTATIONS, ids=[r[0] for r in SEGMENTATIONS])
def test_tcp_segments_reassemble_into_the_captured_messages(session, tmp_path, what, cut, port, options):
    records = read_records(session["pcap"])
    path = str(tmp_path / "tcp.pcapng")
    write_pcapng(path, 101, tcp_records(records, cut, port))
    decoded = tshark(path, *options)
    assert [m.key() for m in decoded.messages] == [m.key() for m in session["decoded"].messages]
    for m in decoded.messages:
        assert m.warnings() == [] and m.warnings("ulmot.unanswered") == [], (m.frame, m.experts)
    requests = [m for m in decoded.messages if m.kind == REQUEST]
    assert all(len(m.show("ulmot.response_in")) == 1 for m in requests), "paired over TCP too"


def head(item_id, type_code):
    if item_id >= 15:
        return bytes([0xF0 | type_code, item_id])
    return bytes([item_id << 4 | type_code])


def i8(i, v): return head(i, 0) + bytes([v])
def i16(i, v): return head(i, 1) + struct.pack(">H", v & 0xFFFF)
def i32(i, v): return head(i, 2) + struct.pack(">I", v)
def sized(i, t, value, length=None): return head(i, t) + struct.pack(">H", len(value) if length is None else length) + value
def array(i, value, length=None): return sized(i, 4, value, length)
def lst(i, elements, count=None, length=None):
    return sized(i, 5, bytes([len(elements) if count is None else count]) + b"".join(elements), length)


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) & 0xFFFF if crc & 0x8000 else (crc << 1) & 0xFFFF
    return crc ^ 0xFFFF


def gen2_bits(pc, xpc, epc, crc=None):
    words = struct.pack(">H", pc) + b"".join(struct.pack(">H", x) for x in xpc) + epc
    return words + struct.pack(">H", crc16(words) if crc is None else crc)


def tag_data(i, bits, bank=1, word=0x10, bit_count=None, length=None):
    value = bytes([bank]) + struct.pack(">IH", word, len(bits) * 8 if bit_count is None else bit_count) + bits
    return sized(i, 7, value, length)


def tag_filter(i, bank, pointer, flags, bits, data, mask, length=None):
    value = bytes([bank]) + struct.pack(">IBHH", pointer, flags, bits, len(mask)) + data + mask
    return sized(i, 6, value, length)


def message(kind, body, msg_id=0, src=1, dst=3, cmd=2, obj=5, instance=1, declared=None, direction=1, connection=0):
    length = len(body) if declared is None else declared
    return bytes([direction]) + struct.pack(">I", connection) + bytes([dst, src, (kind << 6) | msg_id, cmd, obj,
                                                                       instance]) + struct.pack(">H", length) + body


def event(body, **header):
    return message(EVENT, i32(254, 1000) + body, **header)


EPC = bytes.fromhex("E2801160600002066D2BA1F1")

# (what, records, fields of the row's first record, expert warnings on it: text fragments)
HANDMADE = [
    ("ids and types in extension bytes", [event(b"\xFF\x14\x01\x01\x02")],
     {"ulmot.item.id": ["254", "20"], "ulmot.item.type": ["2", "1"], "ulmot.item.int16": ["258"]}, []),
    ("a tag filter", [event(tag_filter(0, 1, 0x20, 4, 16, b"\xAA\xBB", b"\xFF\xFF"), obj=6, cmd=0)],
     {"ulmot.filter.bank": ["1"], "ulmot.filter.pointer": ["0x00000020"], "ulmot.filter.action": ["4"],
      "ulmot.filter.bits": ["16"], "ulmot.filter.data": ["aabb"], "ulmot.filter.mask": ["ffff"]}, []),
    ("format 517 with two XPC words", [event(i16(0, 517) + tag_data(4, gen2_bits(0x3200, [0x8001, 0x0042], EPC)))],
     {"ulmot.pc": ["0x3200"], "ulmot.xpc1": ["0x8001"], "ulmot.xpc2": ["0x0042"], "ulmot.epc": [EPC.hex()],
      "ulmot.crc.status": ["good"]}, []),
    ("a body shorter than declared", [event(i8(1, 1), declared=40)],
     {"ulmot.item.int8": ["1"]}, ["declares 40 body bytes, the frame holds 8"]),
    ("a record too short for its direction and connection", [b"\x01\x00\x00"], {}, ["a capture record of 3 bytes"]),
    ("an Int32 cut short", [event(b"\x02\x00\x00")], {"ulmot.timestamp": ["1000"]}, ["needs 4 bytes, 2 left"]),
    ("a byte array past the body, then nothing more", [event(array(1, b"\x01\x02", length=16) + i8(2, 2))],
     {"ulmot.item.int8": []}, ["length 16 runs past the end of its body (4 bytes left)"]),
    ("a list whose count disagrees", [event(lst(0, [i8(0, 5), i8(0, 6)], count=3))],
     {"ulmot.item.int8": ["5", "6"]}, ["count says 3 elements, the list holds 2"]),
    ("an element past its list", [event(lst(0, [i8(0, 5), i16(0, 6)], length=4) + i8(3, 3))],
     {"ulmot.item.int8": ["5", "6", "3"]}, ["needs 2 bytes, 0 left", "count says 2 elements, the list holds 1"]),
    ("a tag filter whose length disagrees", [event(tag_filter(0, 1, 0x20, 0, 16, b"\xAA\xBB", b"\xFF", length=14)
                                                   + b"\x00")],
     {"ulmot.filter.data": ["aabb"]}, ["length 14, fields say 13"]),
    ("tag data with more bits than bytes", [event(tag_data(4, b"\xAA\xBB", bit_count=17))],
     {"ulmot.tag.bits": ["17"], "ulmot.epc": []}, ["17 bits need 3 bytes, the item holds 2"]),
    ("format 517 bits too short for the XPC word the PC announces", [event(
        i16(0, 517) + tag_data(4, struct.pack(">HH", 0x0200, 0)))],
     {"ulmot.pc": ["0x0200"], "ulmot.epc": []}, ["too few for the XPC word"]),
]


@pytest.fixture(scope="module")
def handmade(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("handmade") / "handmade.pcapng")
    records, first = [], {}
    for what, rows, _, _ in HANDMADE:
        first[what] = len(records) + 1
        records.extend(rows)
    write_pcapng(path, 147, records)
    return first, tshark(path)


@pytest.mark.parametrize("what,records,fields,warnings", HANDMADE, ids=[r[0] for r in HANDMADE])
def test_frames_made_by_hand(handmade, what, records, fields, warnings):
    first, decoded = handmade
    (m,) = decoded.in_frame(first[what])
    for name, values in fields.items():
        got = m.raw(name) if name in ("ulmot.item.bytes", "ulmot.epc", "ulmot.trailing", "ulmot.header_cut",
                                      "ulmot.filter.data", "ulmot.filter.mask") else m.show(name)
        assert got == values, name
    found = m.warnings() + m.warnings("ulmot.crc.bad")
    for fragment in warnings:
        assert any(fragment in w for w in found), (fragment, found)
    if not warnings:
        assert found == []
    assert (len(found) > 0) == (len(warnings) > 0)


# ---- captures the tools write ---------------------------------------------------------------------------------

TOOL = os.environ.get("ULMOT_TOOL", "")


def tools_built():
    if not TOOL:
        pytest.skip("ULMOT_TOOL names the built ulmot tool (set by ctest)")


def inventory(*options):
    run = subprocess.run([TOOL, "inventory", "--json", "--duration", "1", *options],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    return [json.loads(line)["epc"] for line in run.stdout.splitlines()], run.stderr


def test_the_tools_capture_shows_every_tag_report_it_printed(tmp_path):
    tools_built()
    path = str(tmp_path / "inv.pcapng")
    epcs, _ = inventory("--capture", path)
    decoded = tshark(path, "-Y", "ulmot.obj_type == 5 && ulmot.type == %d" % EVENT)
    assert [m.raw("ulmot.epc")[0].upper() for m in decoded.messages if m.show("ulmot.epc")] == epcs
    assert len(epcs) > 100


def test_a_capture_that_cannot_be_written_is_said_once_and_the_command_goes_on(tmp_path):
    tools_built()
    epcs, stderr = inventory("--capture", str(tmp_path / "no" / "such.pcapng"))
    assert len(epcs) > 100 and stderr.count("cannot write the capture to") == 1, stderr


def test_requests_pair_with_responses_of_their_own_connection(tmp_path):
    # Two readers' links in one file: the same processors and message ids on each.
    def request(n): return n, message(REQUEST, b"", src=3, dst=1, direction=0, connection=n)
    def response(n): return n, message(RESPONSE, i16(255, 0), connection=n)
    path = str(tmp_path / "two.pcapng")
    write_pcapng(path, 147, [request(0), request(1), response(1), response(0)])
    decoded = tshark(path)
    assert [m.show("ulmot.response_in") for m in decoded.messages[:2]] == [["4"], ["3"]]
    assert [m.show("ulmot.response_to") for m in decoded.messages[2:]] == [["2"], ["1"]]
