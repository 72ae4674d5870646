// Sessions against their far end, byte by byte: the header and the request
// slots, response matching, routing and the inbound queue, and the two ways a
// session ends. The real time-outs are waited out in session_timeouts_test.cpp;
// every request here is answered.
#include <utility>

#include "session/session_internal.h"  // the queue's droppedCount; a reference across an end
#include "support.h"

namespace {

using namespace ulmot::test;

int32_t Call(Session *s, uint32_t type = ULMOT_MSG_REQUEST, MessageBlock *body = BlockWith(I8(1, 0))) {
    return ulmot_SendSessionMessage(s, type, 1, 0, 0, 8, 0, 0, body, nullptr, nullptr);
}

// A send refused before it reaches the far end: -1, `lines`, and its slot is
// back at once (the next request takes slot 8 again).
void ExpectRefused(Session *s, Peer &peer, uint32_t type, MessageBlock *block, const Lines &lines) {
    LogCapture log;
    EXPECT_EQ(Call(s, type, block), -1);
    EXPECT_EQ(log.Lines(), lines);
    EXPECT_EQ(AllAtOnce(s, peer, 1), std::vector<int>{8});
}

// A block outside the pools (inUse 0: releasing it does nothing) with 8 bytes
// of head room, for bodies larger than a pool block holds.
MessageBlock *LargeBody(uint32_t length) {
    static uint8_t bytes[8 + 2049];
    static DataBlock data{bytes, bytes + sizeof bytes, 1, 0};
    static MessageBlock block;
    block = MessageBlock{nullptr, nullptr, bytes + 8, bytes + 8 + length, &data, 0};
    return &block;
}

TEST(Basics, NoSessionOfMoreThanEightSlots) {
    LogCapture log;
    EXPECT_EQ(ulmot_CreateSession(nullptr, 9), nullptr);
    EXPECT_EQ(log.Lines(), Lines{"ulmot_CreateSession: Request for too many outstanding messages"});
}

using Send = SessionTest;

// Eight requests of different processors take slots 8 down to 1, and each
// gets its own result (sign-extended) and instance. A ninth waits for a slot
// and takes the one returned last.
TEST_F(Send, OutstandingRequestsTakeEightThenSevenAndANinthWaitsForASlot) {
    const int16_t results[9] = {-32768, -1, 0, 32767, 5, 6, 7, 8, 9};
    AsyncRequest r[9];
    std::vector<Bytes> sent;
    for (uint8_t i = 0; i < 9; ++i) {
        r[i].Start(session_, 0x21 + i, 5 + i, 0x108 + i, i);
        sent.push_back(peer_->Receive(i < 8 ? 6000 : 100));
        const Bytes expected = {uint8_t(5 + i), uint8_t(0x21 + i), uint8_t(8 - i), i, uint8_t(8 + i), 0, 0, 2, 0x10, 0};
        EXPECT_EQ(sent[i], i < 8 ? expected : Bytes{}) << "the ninth waits: all 8 slots are taken";
    }
    peer_->Respond(sent[3], ResultBody(results[3]), 3);
    sent[8] = peer_->Receive();
    ASSERT_EQ(sent[8].size(), 10u);
    EXPECT_EQ(sent[8][ULMOT_HEADER_TYPE_ID], 5) << "the slot returned last is taken first";
    for (uint8_t i = 0; i < 9; ++i) {
        if (i != 3) peer_->Respond(sent[i], ResultBody(results[i]), i);
    }
    for (uint8_t i = 0; i < 9; ++i) {
        r[i].Join();
        EXPECT_EQ(r[i].result * 1000 + r[i].instance, results[i] * 1000 + i) << "result and instance";
    }
}

TEST_F(Send, BodyOf2048IsSentAnd2049Refused) {
    // Not a request: the id given (its low 6 bits) and no wait.
    EXPECT_EQ(ulmot_SendSessionMessage(session_, ULMOT_MSG_EVENT, 3, 4, 0x65, 0x102, 6, 9, LargeBody(2048), 0, 0), 0);
    const Bytes sent = peer_->Receive();
    ASSERT_EQ(sent.size(), 2056u);
    EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 8), (Bytes{0x04, 0x03, 0xA5, 0x06, 0x02, 0x09, 0x08, 0x00}));
    for (uint32_t type : {ULMOT_MSG_REQUEST, ULMOT_MSG_EVENT}) {
        ExpectRefused(session_, *peer_, type, LargeBody(2049), {"ulmot_SendSessionMessage: Message data overflow"});
    }
}

TEST_F(Send, MissingHeadRoomReleasesTheBlock) {
    ExpectRefused(session_, *peer_, ULMOT_MSG_REQUEST, BlockWith(I8(1, 0), 7),
                  {"ulmot_BufferWriteHeadChunk: Insufficient header space",
                   "ulmot_AddMessageHeader: Insufficient buffer header space",
                   "ulmot_SendSessionMessage: Failed to add header"});
}

// A request of processor 0x21 (slot 8) to which the far end sends responses
// of these ids, destinations and bodies: its result and the lines.
void ExpectAnswered(Session *s, Peer &peer, const std::vector<std::tuple<int, int, Bytes>> &responses, int32_t result,
                    const Lines &lines) {
    AsyncRequest r;
    r.Start(s, 0x21, 0, 8, 0);
    peer.Receive();
    LogCapture log;
    for (const auto &[id, to, b] : responses) peer.Send({.destination = uint8_t(to), .id = uint8_t(id), .body = b});
    r.Join();
    EXPECT_EQ(r.result, result);
    EXPECT_EQ(log.Lines(), lines);
}

using Responses = SessionTest;

// Before the response that completes the request: ids 0 and above 8, one
// that no request waits for, and one to another processor, each dropped.
TEST_F(Responses, DestinationZeroCompletesAnySourceAndAnotherDestinationIsDropped) {
    const Bytes one = ResultBody(1);
    void *s = session_;
    const char *invalid = "ulmot_SessionHandleResponse: Invalid message ID %p-%d received in response";
    ExpectAnswered(session_, *peer_,
                   {{0, 0, one}, {9, 0, one}, {63, 0, one}, {7, 0, one}, {8, 0x22, one}, {8, 0, ResultBody(2)}}, 2,
                   {Format(invalid, s, 0), Format(invalid, s, 9), Format(invalid, s, 63),
                    Format("ulmot_SessionHandleResponse: No request waits for ID %p-7", s),
                    "ulmot_SessionHandleResponse: Invalid processor ID"});
}

TEST_F(Responses, MissingResultIsMinusOneAndTheBlockIsReleasedAnyway) {
    ExpectAnswered(session_, *peer_, {{8, 0x21, Ref(3, 8, 2)}}, -1, {"ulmot_SendSessionMessage: Failed to read result"});
}

// Handlers that note each delivery as "e<time stamp>" (event) or
// "r<instance>" (request). With `gated` set, the first one waits until `open`,
// so that the inbound queue fills behind it.
struct Deliveries {
    Recorder seen;
    std::atomic<bool> gated{false}, open{false};

    void Add(const std::string &what) {
        seen.Add(what);
        if (gated.exchange(false)) WaitUntil([this] { return open.load(); }, 30000);
    }
    static int32_t OnEvent(void *d, const uint8_t *, uint16_t, uint32_t timestamp, MessageBlock *b) {
        freemsg(b);
        return static_cast<Deliveries *>(d)->Add("e" + std::to_string(timestamp)), 0;
    }
    static int32_t OnRequest(void *d, const uint8_t *header, uint16_t, MessageBlock *b) {
        const std::string what = "r" + std::to_string(header[ULMOT_HEADER_INSTANCE]);
        freemsg(b);
        return static_cast<Deliveries *>(d)->Add(what), 0;
    }
};

// Holds the first event at `d`'s gate, then queues `events` - 1 more and one
// request's answer behind it.
void QueueBehindTheGate(Session *s, Peer &peer, Deliveries &d, uint32_t events) {
    d.gated = true;
    ulmot_SessionRegisterEventHandler(s, Deliveries::OnEvent, &d);
    for (uint32_t i = 0; i < events; ++i) peer.SendEvent(2, 0, TimestampBody(i));
    ASSERT_EQ(d.seen.WaitFor(1).size(), 1u);
    EXPECT_EQ(AllAtOnce(s, peer, 1), std::vector<int>{8});  // answered after the events: they are all queued
}

Lines Events(uint32_t from, uint32_t to) {
    Lines out;
    for (uint32_t i = from; i <= to; ++i) out.push_back("e" + std::to_string(i));
    return out;
}

// A duplicate arriving while the caller takes the first copy out of its slot:
// only the session's lock may arbitrate between the receive thread and the
// caller. The first copy counts; the second is released, never kept for a
// later request of the same slot. An event sent after the copy is handled
// once the copy is gone.
TEST_F(Responses, DuplicateArrivingWhileTheCallerTakesTheResponseIsDropped) {
    Deliveries d;
    ulmot_SessionRegisterEventHandler(session_, Deliveries::OnEvent, &d);
    LogCapture log;
    for (size_t i = 0; i < 200; ++i) {
        AsyncRequest r;
        r.Start(session_, 1, 0, 8, 0, true);
        const Bytes request = peer_->Receive(), first = ResultBody(int16_t(i), I8(2, uint8_t(i)));
        peer_->Respond(request, first);
        peer_->Respond(request, ResultBody(int16_t(i + 1000)));
        peer_->SendEvent(0, 0, TimestampBody(0));
        r.thread.join();
        EXPECT_EQ(r.result, int32_t(i));
        EXPECT_EQ(Hex(r.response ? DataOf(r.response) : Bytes{}), Hex(first));
        r.Join();
        ASSERT_EQ(d.seen.WaitFor(i + 1).size(), i + 1);
    }
    const std::string late = Format("ulmot_SessionHandleResponse: No request waits for ID %p-8", session_);
    EXPECT_THAT(log.Lines(), testing::Each(late));
}

class InboundQueue : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        ulmot_SessionRegisterEventHandler(session_, Deliveries::OnEvent, &d_);
        ulmot_SessionRegisterRequestHandler(session_, Deliveries::OnRequest, &d_);
    }
    void TearDown() override {
        d_.open = true;
        SessionTest::TearDown();
    }
    void Event(uint8_t object, uint32_t seq, uint8_t type = 0) { peer_->SendEvent(object, type, TimestampBody(seq)); }
    void Request(uint8_t instance) { peer_->Send({.type = 0, .objectType = 23, .instance = instance, .body = {}}); }
    // Holds the queue thread in the handler of "e0" while `routine` routine
    // events, then urgent ones, fill the queue behind it (127 in all).
    void Fill(uint32_t routine) {
        d_.gated = true;
        Event(0, 0);
        ASSERT_EQ(d_.seen.WaitFor(1).size(), 1u);
        for (uint32_t i = 1; i <= 127; ++i) Event(i <= routine ? 0 : 5, i);
    }
    // Opens the gate: the 128 messages handled, in order, once `dropped` were lost.
    Lines Open(uint32_t dropped) {
        EXPECT_TRUE(WaitUntil([&] { return ulmot::session::DroppedCount(session_) == dropped; }, 10000));
        d_.open = true;
        return d_.seen.WaitFor(128);
    }
    Deliveries d_;
};

TEST_F(InboundQueue, MissingTimestampGivesZeroAndOneLine) {
    LogCapture log;
    peer_->SendEvent(3, 1, {});        // the header alone
    peer_->SendEvent(3, 1, I8(1, 7));  // a body without the time stamp item
    EXPECT_EQ(d_.seen.WaitFor(2), (Lines{"e0", "e0"}));
    EXPECT_EQ(log.Lines(), Lines(2, "ulmot_SessionHandleQueuedMessage: Failed to read timestamp"));
}

// Urgent events (by object type, bit n for event type n) wait for room and
// replace routine ones; every other event is routine and lost at once when
// the queue is full. Had the 104 routine events below waited like the 16
// urgent ones, they would take 15 s.
TEST_F(InboundQueue, HoldsAtMost127AndLosesARoutineEventAtOnce) {
    const int urgent[24] = {0, 0, 0, 0, 0, 3, 0, 31, 0, 1, 0, 3, 0, 0, 3, 0, 0, 1, 0, 3, 0, 0, 1, 0};
    Fill(127);
    Lines expected = Events(0, 111);
    for (uint8_t t = 0; t < 24; ++t) {
        for (uint8_t e = 0; e < 5; ++e) {
            Event(t, 1000 + t * 5u + e, e);
            if ((urgent[t] >> e & 1) != 0) expected.push_back(Format("e%u", 1000 + t * 5 + e));
        }
    }
    EXPECT_EQ(Open(120), expected);
}

TEST_F(InboundQueue, RequestThenUrgentEventReplaceTheNewestLessUrgent) {
    Fill(2);
    const auto start = Clock::now();
    Request(200);  // waits 10 x 15 ms for room, then replaces e2
    ASSERT_TRUE(WaitUntil([&] { return ulmot::session::DroppedCount(session_) == 1; }));
    EXPECT_GE(MsSince(start), 150);
    Event(5, 300);  // replaces r200, newer than e1
    Request(201);   // replaces e1
    Request(202);   // finds nothing less urgent: lost
    Event(0, 500);  // lost at once
    Lines expected = Events(3, 127);
    expected.insert(expected.begin(), "e0");
    expected.insert(expected.end(), {"e300", "r201"});
    EXPECT_EQ(Open(5), expected);
}

// Each bad frame is logged and released; bytes past the declared body are
// cut and a body shorter than declared is handed on as it is.
TEST_F(InboundQueue, MalformedFramesAreLoggedAndReleasedAndTheSessionGoesOn) {
    ulmot_SessionRegisterEventHandler(session_, [](void *r, const uint8_t *, uint16_t n, uint32_t, MessageBlock *b) {
        Of(r).Add(std::to_string(n) + ": " + Hex(DataOf(b)));
        return freemsg(b), 0;
    }, &d_.seen);
    LogCapture log;
    peer_->SendBytes({0x00, 0x00, 0x80});
    peer_->Send({.type = 2, .objectType = 24, .body = {}});
    peer_->Send({.type = 3, .body = {}});
    peer_->Send({.type = 2, .command = 5, .objectType = 5, .body = {}});
    const Bytes event = Frame{.type = ULMOT_MSG_EVENT, .body = TimestampBody(77)}.Wire();
    peer_->SendBytes(Concat({event, Bytes(40, 0xEE)}));
    Bytes cut = event;
    cut[ULMOT_HEADER_LENGTH + 1] = 10;
    peer_->SendBytes(cut);
    EXPECT_EQ(d_.seen.WaitFor(2), (Lines{"6: F2 FE 00 00 00 4D", "10: F2 FE 00 00 00 4D"}));
    EXPECT_EQ(log.Lines(), (Lines{"ulmot_SessionReceiveThread(session-near): Failed to read session header, length=3",
                                  "ulmot_SessionReceiveThread - Unsupported event (objtype 24, event type 0)",
                                  "ulmot_SessionReceiveThread: Unhandled message type (3)",
                                  "ulmot_SessionReceiveThread - Unsupported event (objtype 5, event type 5)"}));
    EXPECT_EQ(AllAtOnce(session_, *peer_, 1), std::vector<int>{8});
}

using Destroy = SessionTest;

TEST_F(Destroy, QueueThreadStuckInAHandlerIsLeftToFinishSafely) {
    Deliveries d;
    QueueBehindTheGate(session_, *peer_, d, 5);
    if (HasFatalFailure()) return;
    LogCapture log;
    const auto start = Clock::now();
    ulmot_DestroySession(std::exchange(session_, nullptr));
    EXPECT_GE(MsSince(start), 1000);
    EXPECT_EQ(log.Lines(), (Lines{"ulmot_SessionDeinitializeMessageQueue: Failed to signal thread stop",
                                  "ulmot_SessionDeinitializeMessageQueue: Queue thread left running in a handler; it "
                                  "calls no more handlers and releases the session when it returns"}));
    d.open = true;  // the handler returns; what is still queued is released with the session
    EXPECT_TRUE(WaitUntil(ulmot::pools::AllPoolsFull));
    EXPECT_EQ(d.seen.Take(), Lines{"e0"});
}

// Callers may use a session across its unrequested end only while someone
// holds a reference to it, as the client does. Once it has ended, a call
// returns -1 at once and silently.
using SessionEnd = PoolTest;

TEST_F(SessionEnd, CallersRacingAnUnrequestedEndAllReturn) {
    for (int round = 0; round < 20; ++round) {
        utr_MemoryPair *pair = QuickPair("racing");
        Session *s = ulmot_CreateSession(utr_MemoryEndpoint(pair, UTR_SIDE_A), 5);
        Recorder ends;
        ulmot_SessionRegisterTerminationHandler(s, [](void *e) { Of(e).Add("ended"); }, &ends);
        ulmot::session::Retain(s);
        std::atomic<int> failed{0};
        std::vector<std::thread> callers;
        LogCapture log;
        for (int t = 0; t < 4; ++t) callers.emplace_back([&] { failed += (Call(s) == -1) + (Call(s) == -1); });
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 5));  // the link goes at varying moments
        utr_MemoryLinkDown(pair);
        for (auto &c : callers) c.join();
        EXPECT_EQ(ends.WaitFor(1), Lines{"ended"});
        log.Lines();
        LogCapture after;
        EXPECT_EQ(failed + (Call(s, ULMOT_MSG_EVENT) == -1), 9);
        EXPECT_EQ(after.Lines(), Lines{});
        ulmot::session::Release(s);
        utr_MemoryPairDestroy(pair);
    }
}

using Unrequested = FaultySessionTest;

// When the link goes, a waiting caller returns -1 at once, the queued events
// are handled, and then the handler is called, once, on the receive thread.
TEST_F(Unrequested, LinkTerminationEndsTheSessionAndCallsTheHandlerOnceOnTheReceiveThread) {
    Deliveries d;
    QueueBehindTheGate(session_, *peer_, d, 10);
    if (HasFatalFailure()) return;
    AsyncRequest waiting;
    waiting.Start(session_, 1, 0, 8, 0);
    ASSERT_FALSE(peer_->Receive().empty());
    LogCapture log;
    utr_FaultTerminate(fault_);
    waiting.Join();
    EXPECT_EQ(waiting.result, -1);
    d.open = true;
    ASSERT_EQ(ends_.WaitFor(1).size(), 1u);
    EXPECT_EQ(d.seen.Take(), Events(0, 9)) << "the queue is drained before the handler is called";
    const std::string text = log.Text();
    EXPECT_EQ(log.Lines(), (Lines{"ulmot_SessionReceiveThread(faulty): Session terminated (unrequested, rx fail count: 0)",
                                  "ended"}));
    EXPECT_EQ(ThreadOf(text, "ended"), ThreadOf(text, "Session terminated"));
}

TEST_F(Unrequested, RefusedSendIsMinusOneAndLeavesTheSessionWorking) {
    peer_->SendEvent(2, 0, TimestampBody(0));  // no handler: released
    peer_->Send({.type = 0, .body = {}});
    utr_FaultFailSends(fault_, 1, UTR_MATCH_ANY);
    ExpectRefused(session_, *peer_, 0, BlockWith(I8(1, 0)), {"ulmot_SendSessionMessage: Failed to send message"});
}

}  // namespace
