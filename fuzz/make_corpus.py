#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Every seed is built from messages that our tests send or expect, byte for
byte (the test each comes from is named beside it), wrapped in the input
layout of its target (see the comment at the top of each fuzz_<target>.cpp).
Run it again after changing a layout; the files are committed.
"""
import hashlib
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus")


def u16(v):
    return struct.pack(">H", v & 0xFFFF)


def u32(v):
    return struct.pack(">I", v & 0xFFFFFFFF)


def timestamp(ts, more=b""):
    return bytes([0xF2, 0xFE]) + u32(ts) + bytes(more)


def result(code, more=b""):
    return bytes([0xF1, 0xFF]) + u16(code) + bytes(more)


def header(dest, src, mtype, mid, command, objtype, instance, body):
    return bytes([dest, src, (mtype << 6) | (mid & 63), command, objtype, instance]) + u16(len(body))


EPC12 = bytes([0xE2, 0x00, 0x00, 0x17, 0x22, 0x0B, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB])


def tag_report(fmt, bits, tag_bits, length=None):
    # a tag report's body: format, tag data (header 0x47), the rest
    l = 7 + len(tag_bits) if length is None else length
    return bytes([0x01]) + u16(fmt) + bytes([0x47]) + u16(l) + bytes([0x01, 0, 0, 0, 0x02]) + u16(bits) + bytes(tag_bits)


# ---- items: id, index (2), element index, capacity (2), body -----------------

def items_seed(item_id, index, element, capacity, body):
    first = bytes([item_id]) if item_id < 0xFF else bytes([0xFF]) + u32(item_id)
    return first + u16(index) + bytes([element]) + u16(capacity) + bytes(body)


ITEMS = {
    # the result and time stamp items
    "result": items_seed(255, 0, 0, 16, result(0, timestamp(42))),
    "timestamp": items_seed(254, 0, 0, 16, timestamp(0x01020304)),
    # Int8 lists: an element, a second list, id extensions, an unknown element
    "list-five-six": items_seed(3, 0, 1, 16, [0x35, 0x00, 0x05, 0x02, 0x00, 0x05, 0x00, 0x06]),
    "list-second": items_seed(3, 1, 0, 16, [0x35, 0x00, 0x03, 0x01, 0x00, 0x05, 0x35, 0x00, 0x03, 0x01, 0x00, 0x09]),
    "list-extensions": items_seed(3, 0, 1, 16, [0x35, 0x00, 0x07, 0x02, 0xFF, 0x2A, 0x00, 0x07, 0x10, 0x08]),
    "list-unknown-element": items_seed(3, 0, 0, 16, [0x35, 0x00, 0x08, 0x02, 0x19, 0x00, 0x02, 0xAA, 0xBB, 0x00, 0x05]),
    # tag data and access data
    "tag-data": items_seed(4, 0, 0, 16, [0x01, 0x00, 0x07, 0x47, 0x00, 0x09, 0x01, 0, 0, 0, 0, 0x00, 0x64, 0xAA, 0xBB]),
    "byte-array": items_seed(7, 0, 0, 3, [0xA0, 0x00, 0xB0, 0x09, 0x74, 0x00, 0x03, 0xAA, 0xBB, 0xCC]),
    "byte-array-cut": items_seed(7, 0, 0, 3, [0xA0, 0x00, 0xB0, 0x01, 0x74, 0x00, 0x10, 0xAA]),
    # a text log string, an alarm's object reference
    "string": items_seed(0, 0, 0, 3, [0x04, 0x00, 0x02, ord("o"), ord("k")]),
    "object-reference": items_seed(1, 0, 0, 0, [0x13, 0x11, 0x01]),
    "int32": items_seed(2, 0, 0, 0, [0x22, 0, 0, 0, 3, 0x31, 0xFF, 0xFF]),
    # a processor-added event (Int8 items 2, repeated)
    "int8-index": items_seed(2, 2, 0, 0, [0x20, 0x05, 0x20, 0x07, 0x21, 0x00, 0x09, 0x20, 0x08]),
    "extended-id": items_seed(42, 0, 0, 0, [0xFF, 0x2A, 0x00, 0x07]),
}

# ---- tag_report: header (8), body ---------------------------------------------

def event(body, instance=5):
    return header(0, 0x25, 2, 0, 2, 5, instance, body) + body


TAG_REPORT = {
    # tag reports
    "gen2-pc-epc-crc": event(tag_report(517, 128, bytes([0x30, 0x00]) + EPC12 + bytes([0x5C, 0x3A]))),
    "gen2-xpc1": event(tag_report(517, 128, bytes([0x32, 0x00, 0x12, 0x34]) + EPC12[:10] + bytes([0x5C, 0x3A]))),
    "gen2-xpc2": event(tag_report(517, 128, bytes([0x32, 0x00, 0x80, 0x01, 0x00, 0x02]) + EPC12[:8] + bytes([0x5C, 0x3A]))),
    "gen2-odd-bits": event(tag_report(517, 130, bytes([0x30, 0x00]) + EPC12 + bytes([0x5C, 0x3A, 0x80]))),
    "gen2-bits-beyond-item": event(tag_report(517, 0xFFFF, bytes([0x30, 0x00]) + EPC12 + bytes([0x5C, 0x3A]))),
    "gen2-length-beyond-block": event(tag_report(517, 32, bytes([0x30, 0x00, 0x5C, 0x3A]), 0x00FF)),
    "other-format-100-bits": event(tag_report(1, 100, bytes([0x32, 0x00, 0x80, 0x00]) + EPC12[:9])),
    "all-items": event(bytes([0x01, 0x02, 0x05, 0x93, 0x08, 0x02, 0xA1, 0xFF, 0xC4, 0xF0, 0x14, 0x01, 0x61, 0x00, 0x01,
                              0x61, 0x00, 0x02, 0xF4, 0x16, 0x00, 0x02, 0xDE, 0xAD])
                       + tag_report(517, 64, [0x30, 0x00, 0x11, 0x22, 0x33, 0x44, 0x5C, 0x3A])),
    "with-timestamp": event(timestamp(103, tag_report(517, 128, bytes([0x30, 0x00]) + EPC12 + bytes([0x5C, 0x3A])))),
}

# ---- frames: operations, IOCTL response length, frames --------------------------

def frame(control, message):
    return bytes([control]) + u16(len(message)) + message


def ev(objtype, evtype, instance, ts, items, dest=0):
    body = timestamp(ts, items)
    return header(dest, 0x25, 2, 0, evtype, objtype, instance, body) + body


def response_to(command, objtype, instance, body):
    # destination and id are set by the harness (control bits 1-2)
    return header(0, 0x20 + objtype, 1, 0, command, objtype, instance, body) + body


def ioctl_request(body, dest=7):
    # an IOCTL request from processor 5, message id 3
    return header(dest, 5, 0, 3, 100, 23, 0, body) + body


def frames_seed(ops, ioctl_length, frames):
    out = bytes([len(ops)])
    for op, args in ops:
        out += bytes([op]) + bytes(args)
    return out + u16(ioctl_length) + b"".join(frames)


FIX = 0x08  # write the real body length
FRAMES = {
    # events of the reader's own families
    "reader-events": frames_seed([], 0, [
        frame(FIX, ev(2, 0, 1, 4242, [0x00, 0x01])),
        frame(FIX, ev(1, 0, 1, 10, [0x00, 0x01])),
        frame(FIX, ev(9, 0, 2, 11, [])),
        frame(FIX, ev(22, 0, 3, 12, [0x13, 0x11, 0x01])),
        frame(FIX, ev(13, 0, 0, 13, [0x04, 0x00, 0x02, ord("o"), ord("k")])),
        frame(FIX, ev(12, 0, 1, 1, [0x00, 0x05])),
        frame(FIX, ev(12, 1, 1, 2, [0x12, 0, 0, 0, 9])),
        frame(FIX, ev(12, 2, 1, 3, [0x20, 0x01])),
        frame(FIX, ev(12, 3, 1, 4, [0x41, 0x00, 0x20, 0x30, 0x01])),
        frame(FIX, ev(19, 0, 6, 5, [])),
        frame(FIX, ev(19, 1, 6, 6, [])),
        frame(FIX, ev(19, 2, 6, 7, [0x22, 0, 0, 0, 3, 0x31, 0xFF, 0xFF])),
    ]),
    # events of inventories, access specifications, antennas, pairs and schedules
    "tagpath-events": frames_seed([], 0, [
        frame(FIX, ev(5, 0, 3, 100, [])),
        frame(FIX, ev(5, 1, 4, 101, [0x30, 0x2A])),
        frame(FIX, ev(5, 2, 6, 104, [0x01, 0x00, 0x07, 0x47, 0x00, 0x09, 0x01, 0, 0, 0, 0, 0x00, 0x64, 0xAA, 0xBB])),
        frame(FIX, ev(7, 0, 1, 10, [0xA0, 0x00, 0xB0, 0x09, 0x74, 0x00, 0x03, 0xAA, 0xBB, 0xCC])),
        frame(FIX, ev(7, 1, 3, 15, [0xA0, 0x00, 0xB0, 0x02])),
        frame(FIX, ev(7, 2, 4, 18, [0xA0, 0x05])),
        frame(FIX, ev(7, 3, 5, 19, [])),
        frame(FIX, ev(7, 4, 6, 20, [])),
        frame(FIX, ev(8, 0, 2, 30, [0x40, 0x03])),
        frame(FIX, ev(17, 0, 6, 32, [0x00, 0x01, 0x10, 0x02, 0x21, 0x01, 0x50])),
        frame(FIX, ev(11, 0, 9, 40, [])),
        frame(FIX, ev(11, 1, 9, 41, [0x30, 0x02])),
    ]),
    # processors added and removed
    "delivery-events": frames_seed([], 0, [
        frame(FIX, ev(14, 1, 9, 11, [0x20, 0x05, 0x20, 0x07, 0x21, 0x00, 0x09, 0x20, 0x08])),
        frame(FIX, ev(14, 1, 9, 12, [0x30, 0x05])),
        frame(FIX, ev(14, 0, 0x28, 1, [])),
    ]),
    # IOCTL requests to the client and to the IOCTL processor
    "ioctl-requests": frames_seed([], 3, [
        frame(FIX, ioctl_request(bytes([0x14, 0x00, 0x03, 1, 2, 3]))),
        frame(FIX | 1, ioctl_request(bytes([0x14, 0x00, 0x03, 1, 2, 3]))),
        frame(FIX, ioctl_request(bytes([0x14, 0x00, 0x00]))),
        frame(FIX | 1, header(7, 5, 0, 3, 99, 23, 0, b"")),
    ]),
    # responses to operations: a property (Int8 item 3 of antenna 1), the
    # antenna attributes, a version string, the radio properties
    "responses": frames_seed([(0, [1, 3, 8, 0]), (8, [1, 0, 16, 0]), (18, [0, 0, 1, 40])], 0, [
        frame(FIX | 2, response_to(4, 8, 1, result(0, [0x30, 0x2A]))),
        frame(FIX | 4, response_to(4, 8, 1, result(0, [0x11, 0x01, 0x00, 0x21, 0x00, 0x10, 0x31, 0x00, 0x20,
                                                       0x45, 0x00, 0x03, 0x01, 0x00, 0x02, 0x00, 0x03]))),
        frame(FIX | 6, response_to(4, 0, 0, result(0, [0x04, 0x00, 0x03, ord("1"), ord("."), ord("0"),
                                                       0x14, 0x00, 0x02, ord("o"), ord("k")]))),
    ]),
    "radio": frames_seed([(15, [1, 0, 0, 0])], 0, [
        frame(FIX | 2, response_to(4, 12, 1, result(0, [0x00, 0x05, 0x12, 0, 0, 0, 9, 0x20, 0x01, 0x30, 0x01,
                                                        0x41, 0x00, 0x20, 0x84, 0x00, 0x08, 0, 0, 0, 1, 0, 0, 0, 2,
                                                        0xD4, 0x00, 0x02, 0xAA, 0xBB]))),
    ]),
    "cti": frames_seed([(21, [1, 7, 3, 16])], 0, [
        frame(FIX | 2, response_to(100, 10, 1, result(0, [0x01, 0x00, 0x00, 0x14, 0x00, 0x02, 0xAA, 0xBB]))),
    ]),
    "short-and-junk": frames_seed([], 0, [
        frame(0, bytes([0x00, 0x25, 0x80])),
        frame(0, ev(13, 0, 0, 13, [0x04, 0x00, 0x02, ord("o"), ord("k")]) + bytes([0xEE] * 4)),
        frame(0, header(0, 0x25, 3, 0, 0, 0, 0, b"")),
        frame(0, header(0, 0x25, 1, 9, 4, 8, 1, result(0)) + result(0)),
    ]),
}

# ---- chains: operation lists (see fuzz_chains.cpp, Step) ---------------------------
# opcodes: 0 alloc (size pick, head room, length), 1 dupb, 2 dupmsg, 3 copymsg,
# 4 linkb, 5 rmvb, 6 unlinkb, 7 adjmsg, 8 freeb, 9 freemsg, 10 copyb, 11 dups.
def alloc(pick, head, length):
    return bytes([0, pick]) + u16(head) + u16(length)


CHAINS = {
    # three blocks linked, trimmed from the head
    # across blocks, from the tail, duplicated and copied
    "link-and-trim": alloc(3, 4, 20) + alloc(3, 0, 30) + alloc(8, 10, 100)
    + bytes([4, 0, 1, 4, 0, 1]) + bytes([7, 0, 200]) + u16(35) + bytes([7, 0, 201]) + u16(10),
    "dup-and-adjust": alloc(3, 0, 64) + alloc(9, 8, 200) + bytes([4, 0, 1]) + bytes([2, 0])
    + bytes([7, 1, 200]) + u16(70) + bytes([5, 0, 1, 1]) + bytes([9, 0]),
    "copy-and-remove": alloc(5, 0, 128) + alloc(12, 0, 2048) + bytes([4, 0, 1, 3, 0, 10, 0, 1])
    + bytes([6, 0]) + bytes([8, 0]),
    "dup-limit": alloc(1, 0, 1) + bytes([11, 0, 0, 255, 11, 0, 0, 10]),
    "whole-trims": alloc(3, 0, 10) + alloc(3, 0, 10) + bytes([4, 0, 1, 7, 0, 0, 7, 0, 65])
    + alloc(4, 0, 50) + bytes([7, 0, 64]),
    "exhaust-2048": b"".join(alloc(12, 0, 2048) for _ in range(45)) + bytes([3, 0, 2, 0]),
}


# ---- socket: chunk size, then a byte stream of messages --------------------------
# responses, events and an IOCTL request
STREAM = (ev(13, 0, 0, 13, [0x04, 0x00, 0x02, ord("o"), ord("k")])
          + header(7, 0, 1, 1, 1, 14, 7, result(0)) + result(0)
          + ioctl_request(bytes([0x14, 0x00, 0x03, 1, 2, 3]))
          + ev(5, 2, 6, 104, [0x01, 0x00, 0x07, 0x47, 0x00, 0x09, 0x01, 0, 0, 0, 0, 0x00, 0x64, 0xAA, 0xBB]))


def big(body_length):
    body = bytes((i * 7) & 0xFF for i in range(body_length))
    return header(0, 0x25, 2, 0, 0, 13, 0, body) + body


SOCKET = {
    "messages-whole": bytes([255]) + STREAM,
    "messages-byte-by-byte": bytes([0]) + STREAM,
    "messages-in-sevens": bytes([6]) + STREAM,
    "largest-block": bytes([127]) + big(2040) + STREAM,
    "too-large-for-a-block": bytes([127]) + big(2048) + STREAM,
    "declared-above-2048": bytes([31]) + STREAM + header(0, 0x25, 2, 0, 0, 13, 0, bytes(2049))[:8] + STREAM,
    "cut-in-the-body": bytes([15]) + STREAM + STREAM[:20],
    "cut-in-the-header": bytes([3]) + STREAM + STREAM[:5],
}


def write(target, seeds):
    directory = os.path.join(OUT, target)
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    for name, data in seeds.items():
        digest = hashlib.sha1(data).hexdigest()[:8]
        with open(os.path.join(directory, f"{name}-{digest}"), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    write("items", ITEMS)
    write("tag_report", TAG_REPORT)
    write("frames", FRAMES)
    write("chains", CHAINS)
    write("socket", SOCKET)
    print("seeds written to", OUT)
