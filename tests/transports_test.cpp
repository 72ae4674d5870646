// Host transports: the in-memory pair (ownership moves, order, time-outs,
// link down and restore, several senders) and the fault wrapper (each action
// with exact counts, in both directions, termination, teardown with messages
// held). Every test ends with every pool element back in its pool.
#include <atomic>
#include <chrono>
#include <map>
#include <thread>
#include <vector>

#include "pool_fixture.h"
#include "utr.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using ulmot::test::PoolTest;

constexpr uint32_t kRequest = 0, kResponse = 1, kEvent = 2;

// A message of header and a 4-byte sequence number; header byte 2 carries
// `type` in bits 7-6.
MessageBlock *Message(uint32_t seq, uint32_t type = kRequest) {
    MessageBlock *b = ulmot_BufferAllocate(12, 0);
    const uint8_t bytes[12] = {1, 2, static_cast<uint8_t>(type << 6), 0, 0, 0, 0, 4,
                               static_cast<uint8_t>(seq >> 24), static_cast<uint8_t>(seq >> 16),
                               static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq)};
    ulmot_BufferAppend(b, bytes, sizeof bytes);
    return b;
}

uint32_t SeqOf(const MessageBlock *b) {
    const uint8_t *p = b->readPtr + 8;
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

// Receives one message and returns its sequence number, releasing it; -1
// when receive did not deliver within `timeoutMs`.
int64_t TakeSeq(Transport *t, uint32_t timeoutMs = 2000) {
    MessageBlock *b = nullptr;
    if (t->receive(t, &b, timeoutMs) != ULMOT_OK) return -1;
    const uint32_t seq = SeqOf(b);
    freemsg(b);
    return seq;
}

std::vector<int64_t> TakeSeqs(Transport *t, size_t n) {
    std::vector<int64_t> seqs;
    for (size_t i = 0; i < n; ++i) seqs.push_back(TakeSeq(t));
    return seqs;
}

// ---- In-memory pair --------------------------------------------------------

class MemoryPair : public PoolTest {
protected:
    void SetUp() override {
        PoolTest::SetUp();
        pair_ = utr_MemoryPairCreate("near", "far", 0);
        ASSERT_NE(pair_, nullptr);
        a_ = utr_MemoryEndpoint(pair_, UTR_SIDE_A);
        b_ = utr_MemoryEndpoint(pair_, UTR_SIDE_B);
    }
    void TearDown() override {
        utr_MemoryPairDestroy(pair_);
        PoolTest::TearDown();
    }
    utr_MemoryPair *pair_ = nullptr;
    Transport *a_ = nullptr;
    Transport *b_ = nullptr;
};

TEST_F(MemoryPair, MovesTheSameBlockEachWayInSendingOrder) {
    EXPECT_STREQ(a_->name, "near");
    EXPECT_STREQ(b_->name, "far");
    for (auto [from, to] : {std::pair{a_, b_}, std::pair{b_, a_}}) {
        std::vector<MessageBlock *> sent;
        for (uint32_t i = 0; i < 50; ++i) {
            sent.push_back(Message(i));
            ASSERT_EQ(from->send(from, sent.back(), 0), ULMOT_OK);
        }
        EXPECT_EQ(utr_MemoryQueued(to), 50u);
        EXPECT_EQ(utr_MemoryQueued(from), 0u);
        for (uint32_t i = 0; i < 50; ++i) {
            MessageBlock *got = nullptr;
            ASSERT_EQ(to->receive(to, &got, 0), ULMOT_OK);
            EXPECT_EQ(got, sent[i]) << "message " << i << " was copied or reordered";
            freeb(got);
        }
    }
}

TEST_F(MemoryPair, ReceiveWaitsItsTimeOutOnAQuietLink) {
    MessageBlock *b = nullptr;
    EXPECT_EQ(a_->receive(a_, &b, 0), ULMOT_TRANSPORT_TIMEOUT);
    const auto start = Clock::now();
    EXPECT_EQ(a_->receive(a_, &b, 100), ULMOT_TRANSPORT_TIMEOUT);
    EXPECT_GE(MsSince(start), 100);
    EXPECT_LT(MsSince(start), 1000);
    EXPECT_EQ(b, nullptr);
}

TEST_F(MemoryPair, ClosingEitherSideTerminatesBothAndReleasesQueuedBlocks) {
    for (Transport *closer : {a_, b_}) {
        for (uint32_t i = 0; i < 3; ++i) ASSERT_EQ(a_->send(a_, Message(i), 0), ULMOT_OK);
        std::atomic<int32_t> result{0};
        std::thread waiter([&] {
            MessageBlock *b = nullptr;
            const auto start = Clock::now();
            result = a_->receive(a_, &b, 10000);  // nothing is sent to A
            EXPECT_LT(MsSince(start), 5000) << "the waiting receiver was not woken";
        });
        std::this_thread::sleep_for(milliseconds(50));
        ASSERT_EQ(utr_MemoryClose(closer), ULMOT_OK);
        waiter.join();
        EXPECT_EQ(result.load(), ULMOT_TRANSPORT_TERMINATED);
        EXPECT_EQ(utr_MemoryQueued(b_), 0u);  // released: the fixture counts them back
        MessageBlock *b = nullptr;
        EXPECT_EQ(a_->receive(a_, &b, 0), ULMOT_TRANSPORT_TERMINATED);
        EXPECT_EQ(b_->receive(b_, &b, 0), ULMOT_TRANSPORT_TERMINATED);
        ASSERT_EQ(utr_MemoryRestore(pair_), ULMOT_OK);
    }
}

TEST_F(MemoryPair, AReceiverThatSleptThroughDownAndRestoreStillSeesTheEnd) {
    std::atomic<int32_t> result{0};
    std::atomic<bool> started{false};
    std::thread waiter([&] {
        MessageBlock *b = nullptr;
        started = true;
        result = a_->receive(a_, &b, 3000);
        if (result == ULMOT_OK) freeb(b);
    });
    while (!started) std::this_thread::yield();
    std::this_thread::sleep_for(milliseconds(50));
    utr_MemoryLinkDown(pair_);
    utr_MemoryRestore(pair_);
    waiter.join();
    EXPECT_EQ(result.load(), ULMOT_TRANSPORT_TERMINATED);
}

TEST_F(MemoryPair, SendOnADownLinkFailsReleasesTheBlockAndRestoreRecovers) {
    EXPECT_EQ(a_->probe(a_), ULMOT_OK);
    EXPECT_EQ(b_->probe(b_), ULMOT_OK);
    utr_MemoryLinkDown(pair_);
    EXPECT_NE(a_->probe(a_), ULMOT_OK);
    EXPECT_NE(b_->probe(b_), ULMOT_OK);
    const uint32_t freeBefore = ulmot::pools::FreeCount(0);
    EXPECT_NE(a_->send(a_, Message(1), 0), ULMOT_OK);
    EXPECT_EQ(ulmot::pools::FreeCount(0), freeBefore) << "the refused block was not released";
    utr_MemoryRestore(pair_);
    EXPECT_EQ(a_->probe(a_), ULMOT_OK);
    EXPECT_EQ(b_->probe(b_), ULMOT_OK);
    ASSERT_EQ(a_->send(a_, Message(2), 0), ULMOT_OK);
    EXPECT_EQ(TakeSeq(b_), 2);
}

TEST_F(MemoryPair, FullRingRefusesAndReleasesTheBlock) {
    utr_MemoryPair *small = utr_MemoryPairCreate(nullptr, nullptr, 2);
    Transport *x = utr_MemoryEndpoint(small, UTR_SIDE_A);
    Transport *y = utr_MemoryEndpoint(small, UTR_SIDE_B);
    EXPECT_STREQ(x->name, "memory-a");
    EXPECT_EQ(x->send(x, Message(1), 0), ULMOT_OK);
    EXPECT_EQ(x->send(x, Message(2), 0), ULMOT_OK);
    EXPECT_NE(x->send(x, Message(3), 0), ULMOT_OK);
    EXPECT_EQ(TakeSeq(y), 1);
    EXPECT_EQ(x->send(x, Message(4), 0), ULMOT_OK);
    EXPECT_EQ(TakeSeqs(y, 2), (std::vector<int64_t>{2, 4}));
    utr_MemoryPairDestroy(small);
}

TEST_F(MemoryPair, RefusesBadArgumentsAndForeignHandles) {
    MessageBlock *b = nullptr;
    EXPECT_NE(a_->send(a_, nullptr, 0), ULMOT_OK);
    EXPECT_EQ(a_->receive(a_, nullptr, 0), ULMOT_ERR_INVALID);
    EXPECT_EQ(utr_MemoryEndpoint(pair_, 2), nullptr);
    Transport *fault = utr_FaultCreate(a_, nullptr);
    EXPECT_EQ(utr_MemoryClose(fault), ULMOT_ERR_INVALID);
    EXPECT_EQ(utr_FaultDrop(a_, UTR_OUTBOUND, 1, UTR_MATCH_ANY), ULMOT_ERR_INVALID);
    EXPECT_EQ(utr_FaultDrop(fault, 2, 1, UTR_MATCH_ANY), ULMOT_ERR_INVALID);
    EXPECT_EQ(utr_FaultDrop(fault, UTR_OUTBOUND, 1, 4), ULMOT_ERR_INVALID);
    EXPECT_STREQ(fault->name, "near");
    utr_FaultDestroy(fault);
    EXPECT_EQ(a_->probe(a_), ULMOT_OK);
    EXPECT_EQ(a_->receive(a_, &b, 0), ULMOT_TRANSPORT_TIMEOUT);
}

TEST_F(MemoryPair, SeveralSendersDeliverEveryMessageOnceInEachSendersOrder) {
    constexpr uint32_t kSenders = 4, kEach = 1000;
    std::vector<std::thread> senders;
    for (uint32_t s = 0; s < kSenders; ++s) {
        senders.emplace_back([this, s] {
            for (uint32_t i = 0; i < kEach; ++i) ASSERT_EQ(a_->send(a_, Message(s << 16 | i), 0), ULMOT_OK);
        });
    }
    std::vector<uint32_t> next(kSenders, 0);
    uint32_t wrong = 0;
    for (uint32_t n = 0; n < kSenders * kEach; ++n) {
        const int64_t seq = TakeSeq(b_);
        ASSERT_GE(seq, 0) << "message " << n << " never arrived";
        const auto s = static_cast<uint32_t>(seq >> 16);
        if (s >= kSenders || static_cast<uint32_t>(seq & 0xFFFF) != next[s]++) ++wrong;
    }
    for (auto &t : senders) t.join();
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(utr_MemoryQueued(b_), 0u);
}

TEST_F(MemoryPair, DestroyReleasesQueuedMessagesAndChains) {
    utr_MemoryPair *other = utr_MemoryPairCreate("x", "y", 0);
    Transport *x = utr_MemoryEndpoint(other, UTR_SIDE_A);
    Transport *y = utr_MemoryEndpoint(other, UTR_SIDE_B);
    for (uint32_t i = 0; i < 5; ++i) {
        x->send(x, Message(i), 0);
        y->send(y, Message(i), 0);
    }
    MessageBlock *chain = Message(7);
    linkb(chain, allocb(2048, 0));
    x->send(x, chain, 0);
    EXPECT_EQ(utr_MemoryQueued(y), 6u);
    utr_MemoryPairDestroy(other);  // the fixture's pool check catches a leak
}

// ---- Fault wrapper ---------------------------------------------------------

// The wrapper sits on endpoint A. Outbound tests send through the wrapper and
// receive at B; inbound tests send from B and receive through the wrapper.
class FaultWrapper : public PoolTest {
protected:
    void SetUp() override {
        PoolTest::SetUp();
        pair_ = utr_MemoryPairCreate("client", "reader", 0);
        far_ = utr_MemoryEndpoint(pair_, UTR_SIDE_B);
        fault_ = utr_FaultCreate(utr_MemoryEndpoint(pair_, UTR_SIDE_A), "faulty");
        ASSERT_NE(fault_, nullptr);
        EXPECT_STREQ(fault_->name, "faulty");
    }
    void TearDown() override {
        utr_FaultDestroy(fault_);
        utr_MemoryPairDestroy(pair_);
        PoolTest::TearDown();
    }
    utr_FaultStats Stats(uint32_t dir) const {
        utr_FaultStats s{};
        EXPECT_EQ(utr_FaultGetStats(fault_, dir, &s), ULMOT_OK);
        return s;
    }

    utr_MemoryPair *pair_ = nullptr;
    Transport *far_ = nullptr;
    Transport *fault_ = nullptr;
};

class FaultLink : public FaultWrapper, public testing::WithParamInterface<uint32_t> {
protected:
    uint32_t Dir() const { return GetParam(); }
    Transport *From() const { return Dir() == UTR_OUTBOUND ? fault_ : far_; }
    Transport *To() const { return Dir() == UTR_OUTBOUND ? far_ : fault_; }
    void Send(uint32_t seq, uint32_t type = kRequest) {
        ASSERT_EQ(From()->send(From(), Message(seq, type), 0), ULMOT_OK);
    }
    using FaultWrapper::Stats;
    // The tested direction's counts; the other direction must have seen
    // nothing.
    utr_FaultStats Stats() const {
        const utr_FaultStats other = Stats(1 - Dir());
        EXPECT_EQ(other.forwarded + other.dropped + other.delayed + other.duplicated +
                      other.reordered + other.failed + other.discarded,
                  0u);
        return Stats(Dir());
    }
    bool Quiet() const { return TakeSeq(To(), 30) == -1; }
};

INSTANTIATE_TEST_SUITE_P(BothDirections, FaultLink, testing::Values(UTR_OUTBOUND, UTR_INBOUND),
                         [](const auto &param) {
                             return std::string(param.param == UTR_OUTBOUND ? "Outbound" : "Inbound");
                         });

TEST_P(FaultLink, DropsExactlyTheNextCount) {
    ASSERT_EQ(utr_FaultDrop(fault_, Dir(), 2, UTR_MATCH_ANY), ULMOT_OK);
    for (uint32_t i = 1; i <= 5; ++i) Send(i);
    EXPECT_EQ(TakeSeqs(To(), 3), (std::vector<int64_t>{3, 4, 5}));
    EXPECT_TRUE(Quiet());
    const utr_FaultStats s = Stats();
    EXPECT_EQ(s.dropped, 2u);
    EXPECT_EQ(s.forwarded, 3u);
}

TEST_P(FaultLink, DuplicatesIntoADistinctBlockWithEqualBytes) {
    ASSERT_EQ(utr_FaultDuplicate(fault_, Dir(), 1, UTR_MATCH_ANY), ULMOT_OK);
    Send(1);
    Send(2);
    MessageBlock *first = nullptr, *copy = nullptr;
    ASSERT_EQ(To()->receive(To(), &first, 2000), ULMOT_OK);
    ASSERT_EQ(To()->receive(To(), &copy, 2000), ULMOT_OK);
    EXPECT_NE(first, copy);
    EXPECT_NE(first->dataBlock, copy->dataBlock) << "a copy must not share the buffer";
    EXPECT_EQ(ulmot::test::DataOf(first), ulmot::test::DataOf(copy));
    EXPECT_EQ(SeqOf(first), 1u);
    freeb(first);
    freeb(copy);
    EXPECT_EQ(TakeSeq(To()), 2);
    EXPECT_TRUE(Quiet());
    const utr_FaultStats s = Stats();
    EXPECT_EQ(s.duplicated, 1u);
    EXPECT_EQ(s.forwarded, 1u);
}

TEST_P(FaultLink, ReorderDeliversEachHeldMessageAfterItsSuccessor) {
    ASSERT_EQ(utr_FaultReorder(fault_, Dir(), 2, UTR_MATCH_ANY), ULMOT_OK);
    for (uint32_t i = 1; i <= 5; ++i) Send(i);
    EXPECT_EQ(TakeSeqs(To(), 5), (std::vector<int64_t>{2, 1, 4, 3, 5}));
    const utr_FaultStats s = Stats();
    EXPECT_EQ(s.reordered, 2u);
    EXPECT_EQ(s.forwarded, 3u);
    EXPECT_EQ(s.held, 0u);
}

TEST_P(FaultLink, DelayKeepsOrderWaitsAtLeastTheDelayAndLetsOthersOvertake) {
    constexpr int64_t kDelay = 150;
    ASSERT_EQ(utr_FaultDelay(fault_, Dir(), 3, kDelay, UTR_MATCH_ANY), ULMOT_OK);
    const auto start = Clock::now();
    for (uint32_t i = 1; i <= 4; ++i) Send(i);
    std::vector<int64_t> order;
    for (int n = 0; n < 4; ++n) {
        order.push_back(TakeSeq(To()));
        if (order.back() != 4) {
            EXPECT_GE(MsSince(start), kDelay) << "message " << order.back();
        }
    }
    EXPECT_EQ(order, (std::vector<int64_t>{4, 1, 2, 3}));
    const utr_FaultStats s = Stats();
    EXPECT_EQ(s.delayed, 3u);
    EXPECT_EQ(s.forwarded, 1u);
}

TEST_P(FaultLink, ActionsCountOnlyMatchingMessagesAndOneActionPerMessage) {
    ASSERT_EQ(utr_FaultDrop(fault_, Dir(), 1, UTR_MATCH_RESPONSE), ULMOT_OK);
    ASSERT_EQ(utr_FaultDuplicate(fault_, Dir(), 2, UTR_MATCH_ANY), ULMOT_OK);
    Send(1, kRequest);   // duplicated (first of two)
    Send(2, kResponse);  // dropped: drop comes first, so the duplicate count stays
    Send(3, kEvent);     // duplicated (second)
    Send(4, kResponse);  // drop used up: forwarded
    EXPECT_EQ(TakeSeqs(To(), 5), (std::vector<int64_t>{1, 1, 3, 3, 4}));
    // A message too short to carry a type matches only UTR_MATCH_ANY.
    ASSERT_EQ(utr_FaultDrop(fault_, Dir(), 1, UTR_MATCH_REQUEST), ULMOT_OK);
    MessageBlock *tiny = allocb(2, 0);
    *tiny->writePtr++ = 0;
    *tiny->writePtr++ = 0;
    ASSERT_EQ(From()->send(From(), tiny, 0), ULMOT_OK);
    MessageBlock *b = nullptr;
    ASSERT_EQ(To()->receive(To(), &b, 2000), ULMOT_OK);
    EXPECT_EQ(b->writePtr - b->readPtr, 2);
    freeb(b);
    const utr_FaultStats s = Stats();
    EXPECT_EQ(s.duplicated, 2u);
    EXPECT_EQ(s.dropped, 1u);
    EXPECT_EQ(s.forwarded, 2u);
    // Clear cancels what is left of the drop of requests.
    ASSERT_EQ(utr_FaultClear(fault_), ULMOT_OK);
    Send(5, kRequest);
    EXPECT_EQ(TakeSeq(To()), 5);
}

TEST_P(FaultLink, TerminateDiscardsHeldMessagesAndRestoreResumes) {
    ASSERT_EQ(utr_FaultDelay(fault_, Dir(), 1, 10000, UTR_MATCH_ANY), ULMOT_OK);
    ASSERT_EQ(utr_FaultReorder(fault_, Dir(), 1, UTR_MATCH_ANY), ULMOT_OK);
    Send(1);  // delayed
    Send(2);  // held for reordering
    if (Dir() == UTR_INBOUND) {
        EXPECT_EQ(TakeSeq(To(), 50), -1);  // pulls both into the wrapper
    }
    EXPECT_EQ(Stats().held, 2u);
    ASSERT_EQ(utr_FaultTerminate(fault_), ULMOT_OK);
    utr_FaultStats s = Stats();
    EXPECT_EQ(s.discarded, 2u);
    EXPECT_EQ(s.held, 0u);
    ASSERT_EQ(utr_FaultRestore(fault_), ULMOT_OK);
    Send(3);
    EXPECT_EQ(TakeSeq(To()), 3);
}

TEST_P(FaultLink, DestroyReleasesEveryHeldBlock) {
    ASSERT_EQ(utr_FaultDuplicate(fault_, Dir(), 1, UTR_MATCH_ANY), ULMOT_OK);
    Send(1);
    EXPECT_EQ(TakeSeq(To()), 1);  // inbound, the copy now waits inside the wrapper
    ASSERT_EQ(utr_FaultDelay(fault_, Dir(), 2, 10000, UTR_MATCH_ANY), ULMOT_OK);
    ASSERT_EQ(utr_FaultReorder(fault_, Dir(), 1, UTR_MATCH_ANY), ULMOT_OK);
    for (uint32_t i = 2; i <= 4; ++i) Send(i);
    if (Dir() == UTR_INBOUND) {
        MessageBlock *copy = nullptr;
        ASSERT_EQ(fault_->receive(fault_, &copy, 0), ULMOT_OK);
        freeb(copy);
        EXPECT_EQ(TakeSeq(To(), 50), -1);  // 2 and 3 delayed, 4 held
        utr_FaultDuplicate(fault_, Dir(), 1, UTR_MATCH_ANY);
        ASSERT_EQ(far_->send(far_, Message(5), 0), ULMOT_OK);
        EXPECT_EQ(TakeSeq(To(), 50), 5);  // releases 4; a copy of 5 waits too
        EXPECT_EQ(Stats().held, 4u);
    } else {
        EXPECT_EQ(Stats().held, 3u);
    }
    utr_FaultDestroy(fault_);  // the fixture's pool check catches a leak
    fault_ = nullptr;
}

TEST_F(FaultWrapper, FailedSendsReleaseTheBlockAndReturnMinusOne) {
    ASSERT_EQ(utr_FaultFailSends(fault_, 2, UTR_MATCH_ANY), ULMOT_OK);
    const uint32_t freeBefore = ulmot::pools::FreeCount(0);
    EXPECT_EQ(fault_->send(fault_, Message(1), 0), ULMOT_ERR_FAILED);
    EXPECT_EQ(fault_->send(fault_, Message(2), 0), ULMOT_ERR_FAILED);
    EXPECT_EQ(ulmot::pools::FreeCount(0), freeBefore);
    EXPECT_EQ(fault_->send(fault_, Message(3), 0), ULMOT_OK);
    EXPECT_EQ(TakeSeq(far_), 3);
    EXPECT_EQ(TakeSeq(far_, 30), -1);
    const utr_FaultStats s = Stats(UTR_OUTBOUND);
    EXPECT_EQ(s.failed, 2u);
    EXPECT_EQ(s.forwarded, 1u);
}

TEST_F(FaultWrapper, FailedReceivesConsumeNothing) {
    Transport *near = utr_MemoryEndpoint(pair_, UTR_SIDE_A);
    ASSERT_EQ(far_->send(far_, Message(1), 0), ULMOT_OK);
    ASSERT_EQ(utr_FaultFailReceives(fault_, 2, 0), ULMOT_OK);
    MessageBlock *b = nullptr;
    EXPECT_EQ(fault_->receive(fault_, &b, 1000), ULMOT_ERR_FAILED);
    ASSERT_EQ(utr_FaultFailReceives(fault_, 1, -7), ULMOT_OK);
    EXPECT_EQ(fault_->receive(fault_, &b, 1000), -7);
    EXPECT_EQ(utr_MemoryQueued(near), 1u);
    EXPECT_EQ(TakeSeq(fault_), 1);
    const utr_FaultStats s = Stats(UTR_INBOUND);
    EXPECT_EQ(s.failed, 2u);
    EXPECT_EQ(s.forwarded, 1u);
}

TEST_F(FaultWrapper, TerminatedLinkRefusesEverythingAndWakesAWaitingReceiver) {
    std::atomic<int32_t> result{0};
    std::thread waiter([&] {
        MessageBlock *b = nullptr;
        const auto start = Clock::now();
        result = fault_->receive(fault_, &b, 10000);
        EXPECT_LT(MsSince(start), 5000) << "the waiting receiver was not woken";
    });
    std::this_thread::sleep_for(milliseconds(50));
    ASSERT_EQ(utr_FaultTerminate(fault_), ULMOT_OK);
    waiter.join();
    EXPECT_EQ(result.load(), ULMOT_TRANSPORT_TERMINATED);
    EXPECT_NE(fault_->probe(fault_), ULMOT_OK);
    EXPECT_EQ(fault_->send(fault_, Message(1), 0), ULMOT_ERR_FAILED);
    EXPECT_EQ(utr_MemoryQueued(far_), 0u);
    ASSERT_EQ(utr_FaultRestore(fault_), ULMOT_OK);
    EXPECT_EQ(fault_->probe(fault_), ULMOT_OK);
    // The inner link's own state shows through.
    utr_MemoryLinkDown(pair_);
    EXPECT_NE(fault_->probe(fault_), ULMOT_OK);
    MessageBlock *b = nullptr;
    EXPECT_EQ(fault_->receive(fault_, &b, 100), ULMOT_TRANSPORT_TERMINATED);
    utr_MemoryRestore(pair_);
    const auto start = Clock::now();
    EXPECT_EQ(fault_->receive(fault_, &b, 100), ULMOT_TRANSPORT_TIMEOUT);
    EXPECT_GE(MsSince(start), 100);
    EXPECT_LT(MsSince(start), 1000);
}

TEST_F(FaultWrapper, DelayedSendReturnsBeforeTheMessageLeaves) {
    constexpr int64_t kDelay = 300;
    ASSERT_EQ(utr_FaultDelay(fault_, UTR_OUTBOUND, 1, kDelay, UTR_MATCH_ANY), ULMOT_OK);
    const auto start = Clock::now();
    ASSERT_EQ(fault_->send(fault_, Message(1), 0), ULMOT_OK);
    const uint32_t queued = utr_MemoryQueued(far_);
    // A sender that slept through the delay itself would find it queued.
    if (MsSince(start) < kDelay) {
        EXPECT_EQ(queued, 0u);
    }
    EXPECT_EQ(TakeSeq(far_), 1);
    EXPECT_GE(MsSince(start), kDelay);
}

TEST_F(FaultWrapper, SeveralSendersAndOneReceiverThroughActiveScripts) {
    // Few enough messages that every one and every copy can hold a block at
    // once: a copy refused for want of blocks would pass as forwarded.
    constexpr uint32_t kSenders = 4, kEach = 150, kTotal = kSenders * kEach;
    constexpr uint32_t kDrop = 50, kDelay = 25, kDuplicate = 50, kReorder = 50;
    constexpr uint32_t kExpected = kTotal - kDrop + kDuplicate;
    for (uint32_t dir : {UTR_OUTBOUND, UTR_INBOUND}) {
        utr_FaultDrop(fault_, dir, kDrop, UTR_MATCH_ANY);
        utr_FaultDelay(fault_, dir, kDelay, 5, UTR_MATCH_ANY);
        utr_FaultDuplicate(fault_, dir, kDuplicate, UTR_MATCH_ANY);
        utr_FaultReorder(fault_, dir, kReorder, UTR_MATCH_ANY);
    }
    auto run = [&](Transport *from, Transport *to) {
        std::vector<std::thread> senders;
        for (uint32_t s = 0; s < kSenders; ++s) {
            senders.emplace_back([from, s] {
                for (uint32_t i = 0; i < kEach; ++i) from->send(from, Message(s << 16 | i), 0);
            });
        }
        std::map<int64_t, int> seen;
        for (uint32_t n = 0; n < kExpected; ++n) {
            const int64_t seq = TakeSeq(to);
            if (seq < 0) {
                ADD_FAILURE() << "only " << n << " of " << kExpected << " arrived";
                break;
            }
            ++seen[seq];
        }
        for (auto &t : senders) t.join();
        EXPECT_EQ(TakeSeq(to, 50), -1);
        size_t twice = 0;
        for (auto [seq, count] : seen) twice += count == 2;
        EXPECT_EQ(seen.size(), kTotal - kDrop);
        EXPECT_EQ(twice, kDuplicate);
    };
    run(fault_, far_);
    run(far_, fault_);
    for (uint32_t dir : {UTR_OUTBOUND, UTR_INBOUND}) {
        const utr_FaultStats s = Stats(dir);
        EXPECT_EQ(s.dropped, kDrop);
        EXPECT_EQ(s.delayed, kDelay);
        EXPECT_EQ(s.duplicated, kDuplicate);
        EXPECT_EQ(s.reordered, kReorder);
        EXPECT_EQ(s.forwarded + s.dropped + s.delayed + s.duplicated + s.reordered, kTotal);
        EXPECT_EQ(s.held, 0u);
    }
}

}  // namespace
