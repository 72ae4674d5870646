// How sessions end: destroyed by their owner, or on their own when the link
// goes; callers still waiting, handlers still running, receive failures.
#include <gmock/gmock.h>

#include <sys/syscall.h>
#include <unistd.h>

#include "session_support.h"

namespace {

using namespace ulmot::test;
using testing::HasSubstr;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

long Tid() { return static_cast<long>(syscall(SYS_gettid)); }

// Counts termination handler calls and the thread they came on.
struct Termination {
    std::atomic<int> calls{0};
    std::atomic<long> thread{0};
    static void Handler(void *ctx) {
        auto *t = static_cast<Termination *>(ctx);
        t->thread = Tid();
        t->calls.fetch_add(1);
    }
    bool WaitForCall(int ms = 5000) {
        const auto start = Clock::now();
        while (calls.load() == 0 && MsSince(start) < ms) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return calls.load() > 0;
    }
};

// A transport that records the thread calling receive before forwarding.
struct WatchedTransport {
    Transport table{};
    Transport *inner;
    std::atomic<long> receiver{0};

    explicit WatchedTransport(Transport *wrapped) : inner(wrapped) {
        table.send = [](Transport *t, MessageBlock *b, uintptr_t r) {
            auto *w = reinterpret_cast<WatchedTransport *>(t);
            return w->inner->send(w->inner, b, r);
        };
        table.receive = [](Transport *t, MessageBlock **b, uint32_t ms) {
            auto *w = reinterpret_cast<WatchedTransport *>(t);
            w->receiver = Tid();
            return w->inner->receive(w->inner, b, ms);
        };
        table.probe = [](Transport *t) {
            auto *w = reinterpret_cast<WatchedTransport *>(t);
            return w->inner->probe(w->inner);
        };
        table.name = "watched";
    }
};

TEST(SessionCreate, RefusesMoreThanEightOutstanding) {
    streams_buf_init();
    utr_MemoryPair *pair = utr_MemoryPairCreate(nullptr, nullptr, 0);
    utr_MemorySetReceiveSlice(pair, 10);  // destroys need not wait out an 800 ms receive
    CaptureStderr();
    EXPECT_EQ(ulmot_CreateSession(utr_MemoryEndpoint(pair, UTR_SIDE_A), 9), nullptr);
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("]ulmot_CreateSession: Request for too many outstanding messages\n"));
    Session *s = ulmot_CreateSession(utr_MemoryEndpoint(pair, UTR_SIDE_A), 8);
    EXPECT_NE(s, nullptr);
    ulmot_DestroySession(s);
    utr_MemoryPairDestroy(pair);
    EXPECT_TRUE(ulmot::pools::AllPoolsFull());
}

using Destroy = SessionTest;

TEST_F(Destroy, ReleasesWaitingCallersPromptly) {
    AsyncRequest r[8];
    for (auto &one : r) {
        one.Start(session_, 1, 0, 8, 0);
        ASSERT_FALSE(peer_->Receive().empty());
    }
    AsyncRequest waitingForSlot;
    waitingForSlot.Start(session_, 1, 0, 8, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto start = Clock::now();
    ulmot_DestroySession(session_);
    session_ = nullptr;
    EXPECT_LT(MsSince(start), 2000);
    for (auto &one : r) {
        one.Join();
        EXPECT_EQ(one.result, -1);
        EXPECT_LT(one.elapsedMs, 3000);
    }
    waitingForSlot.Join();
    EXPECT_EQ(waitingForSlot.result, -1);
}

TEST_F(Destroy, HandlerMaySendRequestsAndDestroyReleasesOneStillWaiting) {
    struct Ctx {
        Session *s;
        std::atomic<int32_t> first{99}, second{99};
        std::atomic<int> events{0};
    } ctx{session_};
    ulmot_SessionRegisterEventHandler(
        session_,
        [](void *c, const uint8_t *, uint16_t, uint32_t, MessageBlock *b) -> int32_t {
            freemsg(b);
            auto *x = static_cast<Ctx *>(c);
            const int32_t r = ulmot_SendSessionMessage(x->s, ULMOT_MSG_REQUEST, 1, 0, 0, 8, 0, 0, RequestBody(),
                                                       nullptr, nullptr);
            (x->events.fetch_add(1) == 0 ? x->first : x->second) = r;
            return 0;
        },
        &ctx);
    peer_->SendEvent(2, 0, TimestampBody(1));
    peer_->Respond(peer_->Receive(), ResultBody(42));  // answered: the handler goes on
    peer_->SendEvent(2, 0, TimestampBody(2));
    ASSERT_FALSE(peer_->Receive().empty());  // never answered
    const auto start = Clock::now();
    ulmot_DestroySession(session_);
    session_ = nullptr;
    EXPECT_LT(MsSince(start), 2000) << "the handler's request is released, so the queue thread stops";
    EXPECT_EQ(ctx.first, 42);
    EXPECT_EQ(ctx.second, -1);
}

TEST_F(Destroy, QueueThreadStuckInAHandlerIsLeftToFinishSafely) {
    std::atomic<bool> entered{false}, left{false};
    struct Ctx {
        std::atomic<bool> *entered, *left;
    } ctx{&entered, &left};
    ulmot_SessionRegisterEventHandler(
        session_,
        [](void *c, const uint8_t *, uint16_t, uint32_t, MessageBlock *b) -> int32_t {
            auto *x = static_cast<Ctx *>(c);
            *x->entered = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2500));
            freemsg(b);
            *x->left = true;
            return 0;
        },
        &ctx);
    for (uint32_t i = 0; i < 5; ++i) peer_->SendEvent(2, 0, TimestampBody(i));
    while (!entered) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    CaptureStderr();
    const auto start = Clock::now();
    ulmot_DestroySession(session_);
    session_ = nullptr;
    const long long took = MsSince(start);
    const std::string err = GetCapturedStderr();
    EXPECT_GE(took, 1000);
    EXPECT_LT(took, 2400);
    EXPECT_FALSE(left) << "destroy returned while the handler still runs";
    EXPECT_THAT(err, HasSubstr("]ulmot_SessionDeinitializeMessageQueue: Failed to signal thread stop\n"));
    EXPECT_THAT(err, HasSubstr("left running"));
    // The handler returns later; the four queued events are released without
    // a handler call and the session's memory goes with the thread.
    while (!left) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const auto waitStart = Clock::now();
    while (!ulmot::pools::AllPoolsFull() && MsSince(waitStart) < 2000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

TEST(SessionEnd, CallersRacingAnUnrequestedEndAllReturn) {
    streams_buf_init();
    for (int round = 0; round < 30; ++round) {
        utr_MemoryPair *pair = utr_MemoryPairCreate(nullptr, nullptr, 0);
        utr_MemorySetReceiveSlice(pair, 10);  // destroys need not wait out an 800 ms receive
        Session *s = ulmot_CreateSession(utr_MemoryEndpoint(pair, UTR_SIDE_A), 5);
        ASSERT_NE(s, nullptr);
        Termination end;
        ulmot_SessionRegisterTerminationHandler(s, Termination::Handler, &end);
        // Callers may use the pointer across an unrequested end only while
        // someone holds a reference to the session, as the client does.
        ulmot::session::Retain(s);
        std::atomic<int> returned{0};
        std::vector<std::thread> callers;
        CaptureStderr();
        for (int t = 0; t < 4; ++t) {
            callers.emplace_back([&] {
                for (int i = 0; i < 3; ++i) {
                    // Only -1 is possible: nobody answers, the link goes.
                    if (ulmot_SendSessionMessage(s, ULMOT_MSG_REQUEST, 1, 0, 0, 8, 0, 0, RequestBody(), nullptr,
                                                 nullptr) == -1) {
                        returned.fetch_add(1);
                    }
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 5));
        utr_MemoryLinkDown(pair);
        for (auto &c : callers) c.join();
        ASSERT_TRUE(end.WaitForCall());
        GetCapturedStderr();
        EXPECT_EQ(returned.load(), 12);
        EXPECT_EQ(end.calls.load(), 1);
        ulmot::session::Release(s);
        // Give the receive thread the moment it needs to drop its reference.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        utr_MemoryPairDestroy(pair);
        ASSERT_TRUE(ulmot::pools::AllPoolsFull()) << round;
    }
}

class Unrequested : public PoolTest {
protected:
    void SetUp() override {
        PoolTest::SetUp();
        pair_ = utr_MemoryPairCreate("session-side", "peer-side", 0);
        utr_MemorySetReceiveSlice(pair_, 10);  // destroys need not wait out an 800 ms receive
        fault_ = utr_FaultCreate(utr_MemoryEndpoint(pair_, UTR_SIDE_A), "faulty");
        watched_ = std::make_unique<WatchedTransport>(fault_);
        session_ = ulmot_CreateSession(&watched_->table, 5);
        ASSERT_NE(session_, nullptr);
        ulmot_SessionRegisterTerminationHandler(session_, Termination::Handler, &end_);
        peer_ = std::make_unique<Peer>(utr_MemoryEndpoint(pair_, UTR_SIDE_B));
    }
    void TearDown() override {
        if (end_.calls.load() == 0) ulmot_DestroySession(session_);
        utr_FaultDestroy(fault_);
        utr_MemoryPairDestroy(pair_);
        PoolTest::TearDown();
    }

    utr_MemoryPair *pair_ = nullptr;
    Transport *fault_ = nullptr;
    std::unique_ptr<WatchedTransport> watched_;
    Session *session_ = nullptr;
    Termination end_;
    std::unique_ptr<Peer> peer_;
};

TEST_F(Unrequested, LinkTerminationEndsTheSessionAndCallsTheHandlerOnceOnTheReceiveThread) {
    AsyncRequest r;
    r.Start(session_, 1, 0, 8, 0);
    ASSERT_FALSE(peer_->Receive().empty());
    CaptureStderr();
    utr_MemoryLinkDown(pair_);
    ASSERT_TRUE(end_.WaitForCall());
    r.Join();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_THAT(GetCapturedStderr(),
                HasSubstr("]ulmot_SessionReceiveThread(watched): Session terminated (unrequested, rx fail count: 0)\n"));
    EXPECT_EQ(end_.calls.load(), 1);
    EXPECT_EQ(end_.thread.load(), watched_->receiver.load());
    EXPECT_EQ(r.result, -1);
    EXPECT_LT(r.elapsedMs, 3000);
}

TEST_F(Unrequested, FortyNineFailuresInARowKeepTheSession) {
    CaptureStderr();
    for (uint32_t round = 1; round <= 2; ++round) {
        // 49 failures in a row, then a message: the count starts again.
        utr_FaultFailReceives(fault_, 49, 0);
        utr_FaultStats stats{};
        const auto start = Clock::now();
        do {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            utr_FaultGetStats(fault_, UTR_INBOUND, &stats);
        } while (stats.failed < 49 * round && MsSince(start) < 10000);
        AsyncRequest r;
        r.Start(session_, 1, 0, 8, 0);
        peer_->Respond(peer_->Receive(), ResultBody(static_cast<int16_t>(round)));
        r.Join();
        EXPECT_EQ(r.result, static_cast<int32_t>(round));
    }
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(end_.calls.load(), 0);
    size_t lines = 0;
    for (size_t at = 0; (at = err.find("]ulmot_SessionReceiveThread(watched): receive failure\n", at)) != std::string::npos; ++at) ++lines;
    EXPECT_EQ(lines, 98u);
}

TEST_F(Unrequested, RefusedSendIsMinusOneAndLeavesTheSessionWorking) {
    utr_FaultFailSends(fault_, 1, UTR_MATCH_ANY);
    CaptureStderr();
    EXPECT_EQ(ulmot_SendSessionMessage(session_, ULMOT_MSG_REQUEST, 1, 0, 0, 8, 0, 0, RequestBody(), nullptr,
                                       nullptr),
              -1);
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("]ulmot_SendSessionMessage: Failed to send message\n"));
    AsyncRequest r;
    r.Start(session_, 1, 0, 8, 0);
    const Bytes req = peer_->Receive();
    ASSERT_FALSE(req.empty());
    EXPECT_EQ(req[ULMOT_HEADER_TYPE_ID], 8) << "the refused request gave its slot back";
    peer_->Respond(req, ResultBody(0));
    r.Join();
    EXPECT_EQ(r.result, 0);
}

TEST_F(Unrequested, FiftyFailuresInARowEndTheSession) {
    CaptureStderr();
    utr_FaultFailReceives(fault_, 50, 0);
    ASSERT_TRUE(end_.WaitForCall(10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_THAT(GetCapturedStderr(),
                HasSubstr("]ulmot_SessionReceiveThread(watched): Session terminated (unrequested, rx fail count: 50)\n"));
    EXPECT_EQ(end_.calls.load(), 1);
    EXPECT_EQ(end_.thread.load(), watched_->receiver.load());
}

TEST_F(Unrequested, QueuedEventsAreHandledOrReleasedWhenTheLinkGoes) {
    std::atomic<int> handled{0};
    ulmot_SessionRegisterEventHandler(
        session_,
        [](void *c, const uint8_t *, uint16_t, uint32_t, MessageBlock *b) -> int32_t {
            freemsg(b);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            static_cast<std::atomic<int> *>(c)->fetch_add(1);
            return 0;
        },
        &handled);
    for (uint32_t i = 0; i < 40; ++i) peer_->SendEvent(2, 0, TimestampBody(i));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    CaptureStderr();
    utr_FaultTerminate(fault_);
    ASSERT_TRUE(end_.WaitForCall());
    GetCapturedStderr();
    EXPECT_GT(handled.load(), 0);
}

}  // namespace
