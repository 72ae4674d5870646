// The inbound queue: order, overflow and priorities, time stamps, handlers
// on the queue thread, and draining at the stop.
#include <condition_variable>
#include <mutex>

#include "session_support.h"

namespace {

using namespace ulmot::test;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

constexpr uint8_t kRoutineObject = 0;  // object type 0, event 0: mode 1, priority 15
constexpr uint8_t kUrgentObject = 5;   // object type 5, event 0: mode 2, priority 0

// What the handlers saw, in order: "e<timestamp>" for events, "r<instance>"
// for requests. The first delivery can be held at a gate so that the queue
// fills behind it.
class Recorder {
public:
    void HoldFirst() { holding_ = true; }
    void Open() {
        {
            std::lock_guard<std::mutex> l(m_);
            holding_ = false;
        }
        cv_.notify_all();
    }
    void Add(std::string what) {
        std::unique_lock<std::mutex> l(m_);
        seen_.push_back(std::move(what));
        cv_.notify_all();
        cv_.wait(l, [this] { return !holding_; });
    }
    bool WaitFor(size_t n, int ms = 5000) {
        std::unique_lock<std::mutex> l(m_);
        return cv_.wait_for(l, std::chrono::milliseconds(ms), [&] { return seen_.size() >= n; });
    }
    std::vector<std::string> Seen() {
        std::lock_guard<std::mutex> l(m_);
        return seen_;
    }

    static int32_t OnEvent(void *ctx, const uint8_t *, uint16_t, uint32_t ts, MessageBlock *b) {
        freemsg(b);
        static_cast<Recorder *>(ctx)->Add("e" + std::to_string(ts));
        return 0;
    }
    static int32_t OnRequest(void *ctx, const uint8_t *h, uint16_t, MessageBlock *b) {
        const uint8_t instance = h[ULMOT_HEADER_INSTANCE];
        freemsg(b);
        static_cast<Recorder *>(ctx)->Add("r" + std::to_string(instance));
        return 0;
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<std::string> seen_;
    bool holding_ = false;
};

uint32_t Queued(Session *s) {
    return (s->queueWrite.load() + ulmot::session::kQueueEntries - s->queueRead.load()) %
           ulmot::session::kQueueEntries;
}

bool WaitUntil(const std::function<bool()> &done, int ms = 5000) {
    const auto start = Clock::now();
    while (!done()) {
        if (MsSince(start) > ms) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class InboundQueue : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        ulmot_SessionRegisterEventHandler(session_, Recorder::OnEvent, &rec_);
        ulmot_SessionRegisterRequestHandler(session_, Recorder::OnRequest, &rec_);
    }
    void TearDown() override {
        rec_.Open();
        SessionTest::TearDown();
    }
    void Event(uint8_t objectType, uint32_t seq) { peer_->SendEvent(objectType, 0, TimestampBody(seq)); }
    void Request(uint8_t instance) {
        Frame f;
        f.type = ULMOT_MSG_REQUEST;
        f.objectType = 23;
        f.instance = instance;
        f.body = TimestampBody(0);
        peer_->Send(f);
    }
    // Holds the queue thread in the handler of event 0 and fills the ring
    // with `fill` more messages sent by `send(i)`.
    void FillBehindGate(uint32_t fill, const std::function<void(uint32_t)> &send) {
        rec_.HoldFirst();
        Event(kRoutineObject, 0);
        ASSERT_TRUE(rec_.WaitFor(1));
        for (uint32_t i = 1; i <= fill; ++i) send(i);
        ASSERT_TRUE(WaitUntil([&] { return Queued(session_) == fill; })) << Queued(session_);
    }

    Recorder rec_;
};

TEST_F(InboundQueue, DeliversInArrivalOrderWithTimestamps) {
    for (uint32_t i = 1; i <= 20; ++i) {
        if (i % 5 == 0) Request(static_cast<uint8_t>(i)); else Event(static_cast<uint8_t>(i % 24), i);
    }
    ASSERT_TRUE(rec_.WaitFor(20));
    std::vector<std::string> expected;
    for (uint32_t i = 1; i <= 20; ++i) expected.push_back((i % 5 == 0 ? "r" : "e") + std::to_string(i));
    EXPECT_EQ(rec_.Seen(), expected);
    EXPECT_EQ(ulmot::session::DroppedCount(session_), 0u);
}

TEST_F(InboundQueue, HoldsAtMost127AndLosesARoutineEventAtOnce) {
    FillBehindGate(127, [&](uint32_t i) { Event(kRoutineObject, i); });
    const auto start = Clock::now();
    Event(kRoutineObject, 999);
    ASSERT_TRUE(WaitUntil([&] { return ulmot::session::DroppedCount(session_) == 1; }));
    EXPECT_LT(MsSince(start), 140) << "a priority-15 event does not wait for room";
    EXPECT_EQ(Queued(session_), 127u);
    rec_.Open();
    ASSERT_TRUE(rec_.WaitFor(128));
    const auto seen = rec_.Seen();
    EXPECT_EQ(seen.front(), "e0");
    EXPECT_EQ(seen.back(), "e127");
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "e999"), 0);
}

TEST_F(InboundQueue, RequestThenUrgentEventReplaceTheNewestLessUrgent) {
    FillBehindGate(127, [&](uint32_t i) { Event(kRoutineObject, i); });
    const auto start = Clock::now();
    Request(200);
    ASSERT_TRUE(WaitUntil([&] { return ulmot::session::DroppedCount(session_) == 1; }));
    EXPECT_GE(MsSince(start), 140) << "a request waits up to 10 x 15 ms for room";
    Event(kUrgentObject, 300);
    ASSERT_TRUE(WaitUntil([&] { return ulmot::session::DroppedCount(session_) == 2; }));
    EXPECT_EQ(Queued(session_), 127u);
    rec_.Open();
    ASSERT_TRUE(rec_.WaitFor(128));
    const auto seen = rec_.Seen();
    ASSERT_EQ(seen.size(), 128u);
    // e127 gave way to the request, which gave way to the urgent event.
    EXPECT_EQ(seen[126], "e126");
    EXPECT_EQ(seen[127], "e300");
}

TEST_F(InboundQueue, VictimInTheMiddleKeepsTheOrderOfNewerEntries) {
    // 120 routine events, then 7 urgent ones: a request must replace e120,
    // the newest routine event, and go behind the urgent ones.
    FillBehindGate(127, [&](uint32_t i) { Event(i <= 120 ? kRoutineObject : kUrgentObject, i); });
    Request(77);
    ASSERT_TRUE(WaitUntil([&] { return ulmot::session::DroppedCount(session_) == 1; }));
    rec_.Open();
    ASSERT_TRUE(rec_.WaitFor(128));
    const auto seen = rec_.Seen();
    ASSERT_EQ(seen.size(), 128u);
    EXPECT_EQ(seen[119], "e119");
    for (uint32_t i = 121; i <= 127; ++i) EXPECT_EQ(seen[i - 1], "e" + std::to_string(i));
    EXPECT_EQ(seen[127], "r77");
}

TEST_F(InboundQueue, EqualOrMoreUrgentEntriesAreNeverReplaced) {
    FillBehindGate(127, [&](uint32_t i) { Request(static_cast<uint8_t>(i)); });
    Event(kUrgentObject, 500);  // replaces the newest request after its waits
    ASSERT_TRUE(WaitUntil([&] { return ulmot::session::DroppedCount(session_) == 1; }));
    const auto start = Clock::now();
    Request(250);  // nothing less urgent than a request is left: lost
    ASSERT_TRUE(WaitUntil([&] { return ulmot::session::DroppedCount(session_) == 2; }));
    EXPECT_GE(MsSince(start), 140);
    Event(kRoutineObject, 600);  // lost at once
    ASSERT_TRUE(WaitUntil([&] { return ulmot::session::DroppedCount(session_) == 3; }));
    rec_.Open();
    ASSERT_TRUE(rec_.WaitFor(128));
    const auto seen = rec_.Seen();
    EXPECT_EQ(seen[126], "r126");
    EXPECT_EQ(seen[127], "e500");
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "r250"), 0);
}

TEST_F(InboundQueue, FullOfUrgentEventsLosesEveryNewcomer) {
    FillBehindGate(127, [&](uint32_t i) { Event(kUrgentObject, i); });
    Event(kUrgentObject, 900);
    Request(9);
    Event(kRoutineObject, 901);
    ASSERT_TRUE(WaitUntil([&] { return ulmot::session::DroppedCount(session_) == 3; }));
    rec_.Open();
    ASSERT_TRUE(rec_.WaitFor(128));
    EXPECT_EQ(rec_.Seen().back(), "e127");
}

TEST_F(InboundQueue, MissingTimestampGivesZeroAndOneLine) {
    CaptureStderr();
    peer_->SendEvent(3, 1, {0x10, 0x07});
    ASSERT_TRUE(rec_.WaitFor(1));
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(rec_.Seen(), std::vector<std::string>{"e0"});
    EXPECT_NE(err.find("]ulmot_SessionHandleQueuedMessage: Failed to read timestamp\n"), std::string::npos) << err;
}

TEST_F(InboundQueue, StopHandsOverEverythingQueuedFirst) {
    FillBehindGate(10, [&](uint32_t i) { Event(kRoutineObject, i); });
    std::thread opener([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        rec_.Open();
    });
    ulmot_DestroySession(session_);
    session_ = nullptr;
    opener.join();
    EXPECT_EQ(rec_.Seen().size(), 11u);
}

TEST_F(InboundQueue, WithoutHandlersMessagesAreReleased) {
    ulmot_SessionRegisterEventHandler(session_, nullptr, nullptr);
    ulmot_SessionRegisterRequestHandler(session_, nullptr, nullptr);
    for (uint32_t i = 0; i < 50; ++i) {
        Event(kRoutineObject, i);
        Request(1);
    }
    ASSERT_TRUE(WaitUntil([&] { return utr_MemoryQueued(SessionSide()) == 0 && Queued(session_) == 0; }));
    EXPECT_TRUE(rec_.Seen().empty());
}

// Malformed and unsupported frames as the receive thread routes them: each
// is logged with its line and released, the ones after it still arrive, and
// bytes beyond a declared body never reach a handler.
TEST_F(InboundQueue, MalformedFramesAreLoggedAndReleasedAndTheSessionGoesOn) {
    struct Bad {
        Frame frame;
        uint32_t cutTo;  // 0: send the whole frame, else only its first bytes
        const char *line;
    };
    Frame unsupportedType, unsupportedEvent, typeThree, shortHeader;
    unsupportedType.type = unsupportedEvent.type = ULMOT_MSG_EVENT;
    unsupportedType.objectType = 24;
    unsupportedEvent.objectType = 5;
    unsupportedEvent.command = 5;
    typeThree.type = 3;
    shortHeader.type = ULMOT_MSG_EVENT;
    const Bad bad[] = {
        {shortHeader, 3, "]ulmot_SessionReceiveThread(session-side): Failed to read session header, length=3\n"},
        {unsupportedType, 0, "]ulmot_SessionReceiveThread - Unsupported event (objtype 24, event type 0)\n"},
        {unsupportedEvent, 0, "]ulmot_SessionReceiveThread - Unsupported event (objtype 5, event type 5)\n"},
        {typeThree, 0, "]ulmot_SessionReceiveThread: Unhandled message type (3)\n"},
    };
    struct Ctx {
        std::mutex m;
        std::vector<Bytes> bodies;
    } ctx;
    ulmot_SessionRegisterEventHandler(
        session_,
        [](void *c, const uint8_t *, uint16_t length, uint32_t, MessageBlock *b) -> int32_t {
            auto *x = static_cast<Ctx *>(c);
            std::lock_guard<std::mutex> l(x->m);
            x->bodies.push_back(Bytes(b->readPtr, b->writePtr));
            EXPECT_EQ(b->writePtr - b->readPtr, length) << "the handler sees the declared body only";
            freemsg(b);
            return 0;
        },
        &ctx);
    CaptureStderr();
    for (const Bad &one : bad) {
        Bytes wire = one.frame.Wire();
        if (one.cutTo != 0) wire.resize(one.cutTo);
        MessageBlock *b = ulmot_BufferAllocate(static_cast<uint32_t>(wire.size()), 0);
        ulmot_BufferAppend(b, wire.data(), static_cast<uint32_t>(wire.size()));
        ASSERT_EQ(utr_MemoryEndpoint(pair_, UTR_SIDE_B)->send(utr_MemoryEndpoint(pair_, UTR_SIDE_B), b, 0), 0);
    }
    Frame padded;
    padded.type = ULMOT_MSG_EVENT;
    padded.body = TimestampBody(77);
    padded.extraBytes = 40;  // junk after the message
    peer_->Send(padded);
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> l(ctx.m);
        return !ctx.bodies.empty();
    }));
    const std::string err = GetCapturedStderr();
    for (const Bad &one : bad) EXPECT_NE(err.find(one.line), std::string::npos) << one.line;
    {
        std::lock_guard<std::mutex> l(ctx.m);
        ASSERT_EQ(ctx.bodies.size(), 1u) << "only the well-formed event reaches the handler";
        EXPECT_EQ(ctx.bodies[0], TimestampBody(77)) << "the junk after the declared body is cut";
    }
    AsyncRequest r;
    r.Start(session_, 1, 0, 8, 0);
    peer_->Respond(peer_->Receive(), ResultBody(3));
    r.Join();
    EXPECT_EQ(r.result, 3) << "the session goes on";
}

}  // namespace
