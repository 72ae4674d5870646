// Sessions against their far end, byte by byte: the header and the request
// slots, response matching, routing and the inbound queue, and the two ways a
// session ends. The real time-outs are waited out in session_timeouts_test.cpp;
// every request here is answered.
#include "session/session_internal.h"  // the queue's droppedCount; a reference across an end
#include "support.h"

namespace {

using namespace ulmot::test;
using Lines = std::vector<std::string>;

int32_t Call(Session *s, uint32_t type = ULMOT_MSG_REQUEST, MessageBlock *body = BlockWith(I8(1, 0))) {
    return ulmot_SendSessionMessage(s, type, 1, 0, 0, 8, 0, 0, body, nullptr, nullptr);
}

// A request answered by the far end: the message id it took (its slot).
uint8_t RoundTrip(Session *s, Peer &peer) {
    const Exchange x = Answer(peer, [&] { return Call(s); }, {Ok()});
    EXPECT_EQ(x.result, 0);
    return x.requests.empty() ? 0 : x.requests[0][ULMOT_HEADER_TYPE_ID];
}

// A send refused before it reaches the far end: -1, `lines`, and its slot is
// back at once (the next request takes slot 8 again).
void ExpectRefused(Session *s, Peer &peer, uint32_t type, MessageBlock *block, const Lines &lines) {
    LogCapture log;
    EXPECT_EQ(Call(s, type, block), -1);
    EXPECT_EQ(log.Lines(), lines);
    EXPECT_EQ(RoundTrip(s, peer), 8);
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

using Header = PoolTest;

TEST_F(Header, EightBytesInFrontOfTheBodyOrMinusOneWithoutHeadRoom) {
    Block b = Own(BlockWith(ResultBody(0)));
    ASSERT_EQ(ulmot_MessageAddHeader(b.get(), ULMOT_MSG_EVENT, 0x11, 0x22, 0x1FF, 0x133, 4, 9, 0x0105), 0);
    EXPECT_EQ(DataOf(b.get()), Concat({{0x22, 0x11, 0xBF, 0x04, 0x33, 0x09, 0x01, 0x05}, ResultBody(0)}));
    LogCapture log;
    EXPECT_EQ(ulmot_MessageAddHeader(b.get(), 0, 0, 0, 0, 0, 0, 0, 0), -1);
    EXPECT_EQ(log.Lines(), (Lines{"ulmot_BufferWriteHeadChunk: Insufficient header space",
                                  "ulmot_AddMessageHeader: Insufficient buffer header space"}));
}

TEST_F(Header, SessionRefusesMoreThanEightOutstanding) {
    utr_MemoryPair *pair = QuickPair("create");
    LogCapture log;
    EXPECT_EQ(ulmot_CreateSession(utr_MemoryEndpoint(pair, UTR_SIDE_A), 9), nullptr);
    Session *s = ulmot_CreateSession(utr_MemoryEndpoint(pair, UTR_SIDE_A), 8);
    EXPECT_NE(s, nullptr);
    ulmot_DestroySession(s);
    utr_MemoryPairDestroy(pair);
    EXPECT_EQ(log.Lines(), Lines{"ulmot_CreateSession: Request for too many outstanding messages"});
}

using Send = SessionTest;

// Eight requests of different processors take slots 8 down to 1, and each
// gets its own response block, result (sign-extended) and instance. A ninth
// waits for a slot and takes the one returned last.
TEST_F(Send, OutstandingRequestsTakeEightThenSevenAndANinthWaitsForASlot) {
    const int16_t results[9] = {-32768, -1, 0, 32767, 5, 6, 7, 8, 9};
    AsyncRequest r[9];
    std::vector<Bytes> requests;
    for (uint8_t i = 0; i < 9; ++i) {
        r[i].Start(session_, 0x21 + i, 5 + i, 0x108 + i, i, true);
        requests.push_back(Await(*peer_, i < 8 ? 6000 : 100));
        EXPECT_EQ(requests[i], (i == 8 ? Bytes{} : Bytes{uint8_t(5 + i), uint8_t(0x21 + i), uint8_t(8 - i), i, uint8_t(8 + i), 0, 0, 2, 0x10, 0}))
            << "the ninth waits: all 8 slots are taken";
    }
    peer_->Respond(requests[3], ResultBody(results[3], I8(2, 3)), 3);
    requests[8] = Await(*peer_);
    ASSERT_EQ(requests[8].size(), 10u);
    EXPECT_EQ(requests[8][ULMOT_HEADER_TYPE_ID], 5) << "the slot returned last is taken first";
    for (uint8_t i = 0; i < 9; ++i) {
        if (i != 3) peer_->Respond(requests[i], ResultBody(results[i], I8(2, i)), i);
    }
    for (uint8_t i = 0; i < 9; ++i) {
        r[i].thread.join();
        EXPECT_EQ(r[i].result, results[i]);
        EXPECT_EQ(r[i].instance, i);
        EXPECT_EQ(Hex(r[i].response ? DataOf(r[i].response) : Bytes{}), Hex(ResultBody(results[i], I8(2, i))));
        r[i].Join();
    }
}

TEST_F(Send, BodyOf2048IsSentAnd2049Refused) {
    EXPECT_EQ(ulmot_SendSessionMessage(session_, ULMOT_MSG_EVENT, 3, 4, 0x25, 2, 6, 9, LargeBody(2048), nullptr, nullptr), 0);
    const Bytes sent = Await(*peer_);
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

// A request of processor 0x21 (slot 8) to which the far end sends `frames`:
// its result and the lines.
std::pair<int32_t, Lines> Answered(Session *s, Peer &peer, const std::vector<Frame> &frames) {
    AsyncRequest r;
    r.Start(s, 0x21, 0, 8, 0);
    Await(peer);
    LogCapture log;
    for (const Frame &f : frames) peer.Send(f);
    r.Join();
    return {r.result, log.Lines()};
}
Frame Response(uint8_t id, uint8_t destination, const Bytes &body) {
    return {.destination = destination, .id = id, .body = body};
}

using Responses = SessionTest;

TEST_F(Responses, InvalidIdsAreDroppedAndTheRightOneCompletesTheRequest) {
    const auto [result, lines] = Answered(session_, *peer_, {Response(0, 0, ResultBody(1)), Response(9, 0, ResultBody(1)),
                                                              Response(63, 0, ResultBody(1)), Response(7, 0, ResultBody(1)),
                                                              Response(8, 0x21, ResultBody(2))});
    EXPECT_EQ(result, 2);
    void *s = session_;
    const char *invalid = "ulmot_SessionHandleResponse: Invalid message ID %p-%d received in response";
    EXPECT_EQ(lines, (Lines{Format(invalid, s, 0), Format(invalid, s, 9), Format(invalid, s, 63),
                            Format("ulmot_SessionHandleResponse: No request waits for ID %p-7", s)}));
}

TEST_F(Responses, DestinationZeroCompletesAnySourceAndAnotherDestinationIsDropped) {
    const auto [result, lines] = Answered(session_, *peer_, {Response(8, 0x22, ResultBody(1)), Response(8, 0, ResultBody(2))});
    EXPECT_EQ(result, 2);
    EXPECT_EQ(lines, Lines{"ulmot_SessionHandleResponse: Invalid processor ID"});
}

TEST_F(Responses, MissingResultIsMinusOneAndTheBlockIsReleasedAnyway) {
    const auto [result, lines] = Answered(session_, *peer_, {Response(8, 0x21, Ref(3, 8, 2))});
    EXPECT_EQ(result, -1);
    EXPECT_EQ(lines, Lines{"ulmot_SendSessionMessage: Failed to read result"});
}

// A duplicate arriving while the caller takes the first copy out of its slot:
// only the session's lock may arbitrate between the receive thread and the
// caller. The first copy counts; the second is released, never kept for a
// later request of the same slot. An event sent after the copy is handled
// once the copy is gone.
TEST_F(Responses, DuplicateArrivingWhileTheCallerTakesTheResponseIsDropped) {
    Recorder marks;
    ulmot_SessionRegisterEventHandler(session_, [](void *m, const uint8_t *, uint16_t, uint32_t, MessageBlock *b) -> int32_t {
        freemsg(b);
        Of(m).Add("mark");
        return 0;
    }, &marks);
    LogCapture log;
    for (size_t i = 0; i < 200; ++i) {
        AsyncRequest r;
        r.Start(session_, 1, 0, 8, 0, true);
        const Bytes request = Await(*peer_), first = ResultBody(int16_t(i), I8(2, uint8_t(i)));
        peer_->Respond(request, first);
        peer_->Respond(request, ResultBody(int16_t(i + 1000)));
        peer_->SendEvent(0, 0, TimestampBody(0));
        r.thread.join();
        EXPECT_EQ(r.result, int32_t(i));
        EXPECT_EQ(Hex(r.response ? DataOf(r.response) : Bytes{}), Hex(first));
        r.Join();
        ASSERT_EQ(marks.WaitFor(i + 1).size(), i + 1);
    }
    EXPECT_THAT(log.Lines(), testing::Each(Format("ulmot_SessionHandleResponse: No request waits for ID %p-8", session_)));
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
        static_cast<Deliveries *>(d)->Add("e" + std::to_string(timestamp));
        return 0;
    }
    static int32_t OnRequest(void *d, const uint8_t *header, uint16_t, MessageBlock *b) {
        const std::string what = "r" + std::to_string(header[ULMOT_HEADER_INSTANCE]);
        freemsg(b);
        static_cast<Deliveries *>(d)->Add(what);
        return 0;
    }
};

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
    void Event(uint8_t objectType, uint32_t seq, uint8_t type = 0) { peer_->SendEvent(objectType, type, TimestampBody(seq)); }
    void Request(uint8_t instance) { peer_->Send({.type = ULMOT_MSG_REQUEST, .objectType = 23, .instance = instance, .body = {}}); }
    // Holds the queue thread in the handler of "e0".
    void Hold() {
        d_.gated = true;
        Event(0, 0);
        ASSERT_EQ(d_.seen.WaitFor(1).size(), 1u);
    }
    uint32_t Dropped() { return ulmot::session::DroppedCount(session_); }
    static Lines Events(uint32_t from, uint32_t to) {
        Lines out;
        for (uint32_t i = from; i <= to; ++i) out.push_back("e" + std::to_string(i));
        return out;
    }

    Deliveries d_;
};

TEST_F(InboundQueue, NullHandlersReleaseAndHandlersTakeTheRestInOrder) {
    ulmot_SessionRegisterEventHandler(session_, nullptr, nullptr);
    Event(0, 1), Request(2), Event(0, 3), Request(4);
    ASSERT_EQ(d_.seen.WaitFor(2).size(), 2u);
    ulmot_SessionRegisterEventHandler(session_, Deliveries::OnEvent, &d_);
    ulmot_SessionRegisterRequestHandler(session_, nullptr, nullptr);
    Event(0, 5), Request(6), Event(0, 7);
    EXPECT_EQ(d_.seen.WaitFor(4), (Lines{"r2", "r4", "e5", "e7"}));
}

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
    const std::map<int, int> urgent = {{5, 0b11}, {7, 0b11111}, {9, 1}, {11, 0b11}, {14, 0b11}, {17, 1}, {19, 0b11}, {22, 1}};
    Hold();
    for (uint32_t i = 1; i <= 127; ++i) Event(0, i);
    Lines expected = Events(0, 111);
    for (uint8_t t = 0; t < 24; ++t) {
        for (uint8_t e = 0; e < 5; ++e) {
            Event(t, 1000 + t * 5u + e, e);
            if (urgent.count(t) != 0 && (urgent.at(t) >> e & 1) != 0) expected.push_back(Format("e%u", 1000 + t * 5u + e));
        }
    }
    ASSERT_TRUE(WaitUntil([&] { return Dropped() == 120; }, 10000)) << Dropped();
    d_.open = true;
    EXPECT_EQ(d_.seen.WaitFor(128), expected);
}

TEST_F(InboundQueue, RequestThenUrgentEventReplaceTheNewestLessUrgent) {
    Hold();
    Event(0, 1), Event(0, 2);
    for (uint32_t i = 3; i <= 127; ++i) Event(5, i);  // urgent
    const auto start = Clock::now();
    Request(200);  // waits 10 x 15 ms for room, then replaces e2
    ASSERT_TRUE(WaitUntil([&] { return Dropped() == 1; }));
    EXPECT_GE(MsSince(start), 150);
    Event(5, 300);  // replaces r200, newer than e1
    Request(201);   // replaces e1
    Request(202);   // finds nothing less urgent: lost
    Event(0, 500);  // lost at once
    ASSERT_TRUE(WaitUntil([&] { return Dropped() == 5; }));
    d_.open = true;
    Lines expected = Events(3, 127);
    expected.insert(expected.begin(), "e0");
    expected.insert(expected.end(), {"e300", "r201"});
    EXPECT_EQ(d_.seen.WaitFor(128), expected);
}

// Each bad frame is logged and released; bytes past the declared body are
// cut and a body shorter than declared is handed on as it is.
TEST_F(InboundQueue, MalformedFramesAreLoggedAndReleasedAndTheSessionGoesOn) {
    ulmot_SessionRegisterEventHandler(session_, [](void *r, const uint8_t *, uint16_t length, uint32_t, MessageBlock *b) -> int32_t {
        Of(r).Add(std::to_string(length) + ": " + Hex(DataOf(b)));
        freemsg(b);
        return 0;
    }, &d_.seen);
    LogCapture log;
    peer_->SendBytes({0x00, 0x00, 0x80});
    for (const Frame &bad : {Frame{.type = 2, .objectType = 24, .body = {}}, Frame{.type = 2, .command = 5, .objectType = 5, .body = {}}, Frame{.type = 3, .body = {}}}) {
        peer_->Send(bad);
    }
    const Bytes event = Frame{.type = ULMOT_MSG_EVENT, .body = TimestampBody(77)}.Wire();
    peer_->SendBytes(Concat({event, Bytes(40, 0xEE)}));
    Bytes cut = event;
    cut[ULMOT_HEADER_LENGTH + 1] = 10;
    peer_->SendBytes(cut);
    EXPECT_EQ(d_.seen.WaitFor(2), (Lines{"6: F2 FE 00 00 00 4D", "10: F2 FE 00 00 00 4D"}));
    EXPECT_EQ(log.Lines(), (Lines{"ulmot_SessionReceiveThread(session-near): Failed to read session header, length=3",
                                  "ulmot_SessionReceiveThread - Unsupported event (objtype 24, event type 0)",
                                  "ulmot_SessionReceiveThread - Unsupported event (objtype 5, event type 5)",
                                  "ulmot_SessionReceiveThread: Unhandled message type (3)"}));
    EXPECT_EQ(RoundTrip(session_, *peer_), 8);
}

class Destroy : public SessionTest {
protected:
    void DestroyNow() {
        ulmot_DestroySession(session_);
        session_ = nullptr;
    }
};

TEST_F(Destroy, ReleasesWaitingCallersPromptly) {
    AsyncRequest r[9];
    for (int i = 0; i < 8; ++i) {
        r[i].Start(session_, 1, 0, 8, 0);
        ASSERT_FALSE(Await(*peer_).empty());
    }
    r[8].Start(session_, 1, 0, 8, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the ninth enters its wait: nothing shows it
    LogCapture log;
    DestroyNow();
    for (auto &one : r) {
        one.Join();
        EXPECT_EQ(one.result, -1);
    }
    EXPECT_TRUE(peer_->Receive(0).empty()) << "the ninth caller sent nothing";
    EXPECT_EQ(log.Lines(), (Lines{"AllocateMessage: Timeout waiting for an avialable message",
                                  "ulmot_SendSessionMessage: Failed to allocate session message"}));
}

TEST_F(Destroy, HandlerMaySendRequestsAndDestroyReleasesOneStillWaiting) {
    struct Context {
        Session *s;
        Recorder results;
    } c{session_, {}};
    ulmot_SessionRegisterEventHandler(session_, [](void *x, const uint8_t *, uint16_t, uint32_t, MessageBlock *b) -> int32_t {
        freemsg(b);
        static_cast<Context *>(x)->results.Add(std::to_string(Call(static_cast<Context *>(x)->s)));
        return 0;
    }, &c);
    peer_->SendEvent(2, 0, TimestampBody(1));
    peer_->Respond(Await(*peer_), ResultBody(42));
    ASSERT_EQ(c.results.WaitFor(1).size(), 1u);
    peer_->SendEvent(2, 0, TimestampBody(2));
    ASSERT_FALSE(Await(*peer_).empty());  // never answered
    LogCapture log;
    DestroyNow();
    EXPECT_EQ(c.results.Take(), (Lines{"42", "-1"}));
    EXPECT_EQ(log.Lines(), Lines{}) << "the queue thread stopped in time";
}

TEST_F(Destroy, QueueThreadStuckInAHandlerIsLeftToFinishSafely) {
    Deliveries d;
    d.gated = true;
    ulmot_SessionRegisterEventHandler(session_, Deliveries::OnEvent, &d);
    for (uint32_t i = 0; i < 5; ++i) peer_->SendEvent(2, 0, TimestampBody(i));
    ASSERT_EQ(d.seen.WaitFor(1).size(), 1u);
    EXPECT_EQ(RoundTrip(session_, *peer_), 8);  // answered after the events: they are all queued
    LogCapture log;
    const auto start = Clock::now();
    DestroyNow();
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
TEST(SessionEnd, CallersRacingAnUnrequestedEndAllReturn) {
    streams_buf_init();
    for (int round = 0; round < 20; ++round) {
        utr_MemoryPair *pair = QuickPair("racing");
        Session *s = ulmot_CreateSession(utr_MemoryEndpoint(pair, UTR_SIDE_A), 5);
        Recorder ends;
        ulmot_SessionRegisterTerminationHandler(s, [](void *e) { Of(e).Add("ended"); }, &ends);
        ulmot::session::Retain(s);
        std::atomic<int> failed{0};
        std::vector<std::thread> callers;
        LogCapture log;
        for (int t = 0; t < 4; ++t) callers.emplace_back([&] { failed += (Call(s) == -1) + (Call(s) == -1) + (Call(s) == -1); });
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 5));  // the link goes at varying moments
        utr_MemoryLinkDown(pair);
        for (auto &c : callers) c.join();
        EXPECT_EQ(failed.load(), 12);
        EXPECT_EQ(ends.WaitFor(1), Lines{"ended"});
        log.Lines();
        LogCapture after;
        EXPECT_EQ(Call(s, ULMOT_MSG_EVENT), -1);
        EXPECT_EQ(after.Lines(), Lines{});
        ulmot::session::Release(s);
        utr_MemoryPairDestroy(pair);
        ASSERT_TRUE(WaitUntil(ulmot::pools::AllPoolsFull)) << round;
    }
}

using Unrequested = FaultySessionTest;

const std::string kTerminated = "ulmot_SessionReceiveThread(faulty): Session terminated (unrequested, rx fail count: 0)";

TEST_F(Unrequested, LinkTerminationEndsTheSessionAndCallsTheHandlerOnceOnTheReceiveThread) {
    AsyncRequest waiting;
    waiting.Start(session_, 1, 0, 8, 0);
    ASSERT_FALSE(Await(*peer_).empty());
    LogCapture log;
    utr_FaultTerminate(fault_);
    waiting.Join();
    EXPECT_EQ(waiting.result, -1);
    ASSERT_EQ(ends_.WaitFor(1).size(), 1u);
    const std::string text = log.Text();
    EXPECT_EQ(log.Lines(), (Lines{kTerminated, "ended"})) << "the waiting caller did not wait out its time-out";
    EXPECT_EQ(ThreadOf(text, "ended"), ThreadOf(text, "Session terminated"));
}

TEST_F(Unrequested, QueuedEventsAreHandledOrReleasedWhenTheLinkGoes) {
    Deliveries d;
    d.gated = true;
    ulmot_SessionRegisterEventHandler(session_, Deliveries::OnEvent, &d);
    for (uint32_t i = 0; i < 10; ++i) peer_->SendEvent(2, 0, TimestampBody(i));
    ASSERT_EQ(d.seen.WaitFor(1).size(), 1u);
    EXPECT_EQ(RoundTrip(session_, *peer_), 8);  // answered after the events: they are all queued
    LogCapture log;
    utr_FaultTerminate(fault_);
    d.open = true;
    ASSERT_EQ(ends_.WaitFor(1).size(), 1u);
    EXPECT_EQ(d.seen.Take(), (Lines{"e0", "e1", "e2", "e3", "e4", "e5", "e6", "e7", "e8", "e9"}))
        << "the queue is drained before the handler is called";
    EXPECT_EQ(log.Lines(), (Lines{kTerminated, "ended"}));
}

TEST_F(Unrequested, RefusedSendIsMinusOneAndLeavesTheSessionWorking) {
    utr_FaultFailSends(fault_, 1, UTR_MATCH_ANY);
    ExpectRefused(session_, *peer_, ULMOT_MSG_REQUEST, BlockWith(I8(1, 0)), {"ulmot_SendSessionMessage: Failed to send message"});
}

}  // namespace
