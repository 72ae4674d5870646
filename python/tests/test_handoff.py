"""The hand-off inbox on its own, fed through its callbacks as the library feeds it: bounds, counts,
order, whole records, waking."""
import ctypes
import threading
import time

import pytest

from ulmot import _handoff, _native

CAPACITY = 4096  # the smallest inbox: 4,096 bytes of tag records


def push_tag(inbox, sequence, instance=1, epc=b"\xE2\x80\x11\x60\x60\x00\x00\x00\x00\x00\x00\x01"):
    data = (ctypes.c_uint8 * len(epc)).from_buffer_copy(epc)
    report = _native.TagReport(pcWord=0x3000, data=data, dataLength=len(epc), crc=0xBEEF, item9Instance=2,
                               item18=sequence, item6=(-612) & 0xFFFF, item7=5, item13=300, item14=9, format=517)
    _native.handoff.uho_OnTagReport.argtypes = [ctypes.c_void_p, ctypes.c_uint32, ctypes.c_uint8,
                                                ctypes.POINTER(_native.TagReport)]
    _native.handoff.uho_OnTagReport(inbox.handle, 1234, instance, ctypes.byref(report))


def push_stop(inbox, schedule, reason):
    _native.handoff.uho_OnScheduleStop.argtypes = [ctypes.c_void_p, ctypes.c_uint32, ctypes.c_uint32, ctypes.c_uint8]
    _native.handoff.uho_OnScheduleStop(inbox.handle, 99, schedule, reason)


def tags_of(data):
    return [_handoff.tag_read(data, off) for kind, off, _, _ in _handoff.records(data) if kind == _handoff.TAG]


@pytest.fixture
def inbox():
    box = _handoff.Inbox(CAPACITY // _handoff.BYTES_PER_READ)
    yield box
    box.destroy()


def test_a_full_inbox_refuses_reads_counts_them_and_keeps_room_for_the_end_of_a_run(inbox):
    sent = 0
    while _native.handoff.uho_Dropped(inbox.handle, _handoff.TAG) == 0:
        sent += 1
        push_tag(inbox, sent)
    kept = sent - 1
    assert kept * 53 <= CAPACITY < sent * 53  # a 96-bit EPC's record is 53 bytes
    for _ in range(10):
        push_stop(inbox, 3, 2)  # beyond the reads' bound, in the room of their own
    push_tag(inbox, sent + 5, instance=4)  # another inventory: refused, and its gap counted
    assert inbox.tag_counts(1) == (1, 0, sent) and inbox.tag_counts(4) == (1, sent + 4, sent + 5)
    taken, data = [], inbox.take(0)
    while data:
        taken.append(data)
        data = inbox.take(0)
    records = [kind for chunk in taken for kind, _, _, _ in _handoff.records(chunk)]
    assert records == [_handoff.TAG] * kept + [_handoff.SCHEDULE_STOP] * 10
    while _native.handoff.uho_Dropped(inbox.handle, _handoff.SCHEDULE_STOP) == 0:
        push_stop(inbox, 3, 2)  # the other records are bounded too
    inbox.reset()
    assert inbox.tag_counts(1) == (0, 0, 0) and inbox.take(0) == b""


@pytest.mark.parametrize("sequences,lost", [([1, 2, 3], 0), ([2, 3], 1), ([1, 5, 6, 9], 5), ([3, 2, 4], 2),
                                            ([1, 1, 2], 0)])
def test_gaps_in_report_numbers_are_counted_as_lost(inbox, sequences, lost):
    for s in sequences:
        push_tag(inbox, s)
    assert inbox.tag_counts(1) == (0, lost, max(sequences))
    assert [r.sequence for _, r in tags_of(inbox.take(0))] == sequences


def test_takes_copy_whole_records_in_order_and_move_through_the_room(inbox):
    seen = []
    for round_ in range(20):  # many times the capacity through the same room
        for s in range(1, 31):
            push_tag(inbox, round_ * 30 + s)
        data = inbox.take(0)
        seen += [r.sequence for _, r in tags_of(data)]
    assert seen == list(range(1, 601)) and inbox.tag_counts(1) == (0, 0, 600)
    push_tag(inbox, 601)
    small = ctypes.create_string_buffer(64)
    assert _native.handoff.uho_Take(inbox.handle, small, 40, 0) == 0  # a record never comes in part
    assert _native.handoff.uho_Take(inbox.handle, small, 64, 0) == 53


def test_a_waiting_take_returns_with_the_first_record_or_when_woken(inbox):
    threading.Timer(0.1, push_tag, (inbox, 1)).start()
    started = time.monotonic()
    assert len(tags_of(inbox.take(5000))) == 1 and time.monotonic() - started < 4
    threading.Timer(0.1, inbox.wake).start()
    started = time.monotonic()
    assert inbox.take(5000) == b"" and time.monotonic() - started < 4


def test_the_descriptor_is_readable_exactly_while_records_wait(inbox):
    import select
    fd = inbox.fd()
    assert select.select([fd], [], [], 0)[0] == []
    push_tag(inbox, 1)
    push_tag(inbox, 2)
    assert select.select([fd], [], [], 1)[0] == [fd]
    inbox.take(0)
    assert select.select([fd], [], [], 0)[0] == []
