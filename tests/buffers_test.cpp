// Message blocks and pools, chains, cursors, ulmot_Debug, and the platform
// services the library relies on (events, semaphores, threads, SeqLocked).
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <random>

#include "platform/fetch_once.h"
#include "platform/platform.h"
#include "platform/seqlock.h"
#include "support.h"

namespace {

using namespace ulmot::test;
using ulmot::pools::FreeCount;
using ulmot::pools::kElementCount;
using ulmot::pools::PoolOfDescriptor;
namespace plat = ulmot::plat;

// A block of a pool for `size` bytes, holding `text` from `offset` in its buffer.
MessageBlock *TextBlock(const std::string &text, uint32_t size = 64, uint32_t offset = 0) {
    MessageBlock *b = allocb(size, 1);
    b->readPtr = b->writePtr = b->dataBlock->base + offset;
    for (char c : text) *b->writePtr++ = static_cast<uint8_t>(c);
    return b;
}

MessageBlock *Chain(std::initializer_list<MessageBlock *> blocks) {
    for (auto b = blocks.begin() + 1; b < blocks.end(); ++b) linkb(*blocks.begin(), *b);
    return *blocks.begin();
}

std::string Text(const MessageBlock *m) { return m == nullptr ? "" : std::string(m->readPtr, m->writePtr) + Text(m->cont); }
size_t BlockCount(const MessageBlock *m) { return m == nullptr ? 0 : 1 + BlockCount(m->cont); }
uint32_t FreeTotal() { return ulmot_PoolFreeCount(0) + ulmot_PoolFreeCount(1) + ulmot_PoolFreeCount(2) + ulmot_PoolFreeCount(3); }

// Every block that allocb(size) hands out until it hands out none.
std::vector<MessageBlock *> Hog(uint32_t size) {
    std::vector<MessageBlock *> held;
    for (MessageBlock *b; (b = allocb(size, 1)) != nullptr;) held.push_back(b);
    return held;
}

void FreeAll(const std::vector<MessageBlock *> &blocks) {
    for (MessageBlock *b : blocks) freeb(b);
}

using Pools = PoolTest;

TEST_F(Pools, SizeChoosesTheFirstPoolLargeEnoughAndLargerOnesWhenItIsEmpty) {
    const struct { uint32_t size; int pool; } rows[] = {{0, 0}, {128, 0}, {129, 1}, {384, 1}, {385, 2}, {2048, 2}, {2049, -1}, {UINT32_MAX, -1}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.size);
        Block b = Own(allocb(r.size, 1));
        EXPECT_EQ(PoolOfDescriptor(b.get()), r.pool);
        if (r.pool < 0) continue;
        EXPECT_EQ(b->dataBlock->limit - b->dataBlock->base, (std::array<int, 3>{128, 384, 2048}[r.pool]));
        EXPECT_TRUE(b->readPtr == b->dataBlock->base && b->writePtr == b->readPtr && b->cont == nullptr && b->inUse == 0x80);
        EXPECT_TRUE(b->dataBlock->refCount == 1 && b->dataBlock->poolIndex == r.pool);
        streams_buf_init();  // a second layout would take back the block that is out
    }
    std::vector<MessageBlock *> held;
    for (int pool = 0; pool < 3; ++pool) {
        for (uint32_t i = 0; i < kElementCount[pool]; ++i) held.push_back(allocb(8, 1));
        EXPECT_EQ(PoolOfDescriptor(held.back()), pool);
        EXPECT_EQ(PoolOfDescriptor(held[held.size() - kElementCount[pool]]), pool);
    }
    EXPECT_EQ(allocb(8, 1), nullptr);
    EXPECT_EQ(FreeTotal(), kElementCount[3]) << "pool 3 has no buffers";
    EXPECT_EQ(ulmot_PoolFreeCount(4), 0u);
    freeb(held.front());  // a 128-byte block: larger sizes never fall back to it
    EXPECT_EQ(allocb(129, 1), nullptr);
    held.front() = allocb(128, 1);
    EXPECT_EQ(PoolOfDescriptor(held.front()), 0);
    FreeAll(held);
}

TEST_F(Pools, ADuplicateSharesTheBufferUntilTheLastReferenceGoes) {
    MessageBlock *b = TextBlock("0123456789", 100, 8), *d = dupb(b);
    DataBlock *shared = b->dataBlock;
    EXPECT_TRUE(PoolOfDescriptor(d) == 3 && d->dataBlock == shared && d->readPtr == b->readPtr && d->writePtr == b->writePtr && !d->cont);
    EXPECT_EQ(shared->refCount, 2);
    freeb(b);
    EXPECT_TRUE(FreeCount(0) == kElementCount[0] - 1 && shared->refCount == 1 && Text(d) == "0123456789") << "the buffer is still used";
    freeb(d);
    EXPECT_TRUE(b->inUse == 0 && b->readPtr == shared->base && b->writePtr == shared->base && shared->refCount == 1);
    EXPECT_EQ(d->dataBlock->poolIndex, 3) << "a duplicate goes back with its own data block";
    freeb(b), freeb(nullptr), freemsg(nullptr);  // a block already free is passed over
}

TEST_F(Pools, DuplicatesStopAt255ReferencesAndWhenPoolThreeRunsOut) {
    MessageBlock *b = allocb(8, 1), *c = allocb(8, 1);
    std::vector<MessageBlock *> dups;
    for (int i = 0; i < 254; ++i) dups.push_back(dupb(b));
    EXPECT_TRUE(b->dataBlock->refCount == 255 && dupb(b) == nullptr);
    EXPECT_EQ(dupb(dups[7]), nullptr) << "a duplicate of a duplicate shares the count";
    EXPECT_EQ(FreeCount(3), kElementCount[3] - 254) << "a refused duplicate takes no descriptor";
    while (dups.size() < kElementCount[3]) dups.push_back(dupb(c));
    EXPECT_TRUE(std::count(dups.begin(), dups.end(), nullptr) == 0 && dupb(c) == nullptr);
    dups.push_back(b), dups.push_back(c);
    FreeAll(dups);
}

using Chains = PoolTest;

TEST_F(Chains, LinkUnlinkRemoveAndSize) {
    MessageBlock *a = TextBlock("abc"), *b = TextBlock("de"), *c = TextBlock(""), *other = TextBlock("o");
    MessageBlock *m = Chain({a, b, c});
    EXPECT_TRUE(BlockCount(m) == 3 && msgdsize(m) == 5 && msgdsize(nullptr) == 0);
    EXPECT_EQ(rmvb(m, other), reinterpret_cast<MessageBlock *>(~uintptr_t{0}));
    EXPECT_EQ(rmvb(m, b), a);
    EXPECT_TRUE(Text(m) == "abc" && BlockCount(m) == 2 && b->cont == nullptr);
    EXPECT_TRUE(rmvb(m, a) == c && a->cont == nullptr) << "removing the head gives the rest";
    EXPECT_EQ(rmvb(c, c), nullptr);
    linkb(a, b);
    EXPECT_TRUE(unlinkb(a) == b && unlinkb(a) == nullptr);
    FreeAll({a, b, c, other});
}

TEST_F(Chains, DuplicatesAndCopiesOfWholeMessagesOrNothing) {
    MessageBlock *m = Chain({TextBlock("ab", 8, 5), TextBlock("cd", 300), TextBlock("ef", 1000)});
    Block d = Own(dupmsg(m));
    EXPECT_TRUE(Text(d.get()) == "abcdef" && d->dataBlock == m->dataBlock && d->cont->cont->dataBlock == m->cont->cont->dataBlock);
    std::vector<MessageBlock *> hog;
    while (FreeCount(3) > 2) hog.push_back(dupb(hog.size() % 2 ? m->cont : m->cont->cont));
    EXPECT_TRUE(dupmsg(m) == nullptr && FreeCount(3) == 2) << "the duplicates made before the failure went back";
    FreeAll(hog);
    hog = Hog(8);  // every pool empty; then copies come from pool 2 only
    auto give = [&](int count) {
        for (int i = 0; i < count; ++i) freeb(hog.back()), hog.pop_back();
    };
    give(3);
    Block c = Own(copymsg(m));
    EXPECT_TRUE(Text(c.get()) == "abcdef" && BlockCount(c.get()) == 3 && PoolOfDescriptor(c.get()) == 2 && c->readPtr - c->dataBlock->base == 5);
    EXPECT_EQ(0, std::memcmp(c->dataBlock->base, m->dataBlock->base, 128)) << "the whole buffer is copied";
    give(2);
    EXPECT_TRUE(copymsg(m) == nullptr && FreeCount(2) == 2) << "the copies made before the failure went back";
    EXPECT_EQ(copymsg(nullptr), nullptr);
    FreeAll(hog);
    freemsg(m);
}

TEST_F(Chains, AdjmsgTrimsHeadOrTailAndReleasesEmptiedBlocks) {
    const struct { int32_t length, result; const char *left; uint32_t released; } rows[] = {
        {0, 0, "0123456789abcdefghij", 0}, {1, 1, "123456789abcdefghij", 0}, {4, 1, "456789abcdefghij", 0}, {9, 1, "9abcdefghij", 0},
        {-3, 1, "0123456789abcdefg", 0}, {10, 1, "abcdefghij", 1}, {-10, 1, "0123456789", 1}, {-11, 1, "012345678", 1}, {15, 1, "fghij", 1},
        {-15, 1, "01234", 1}, {20, 1, "", 1}, {-20, 1, "", 1}, {21, 0, "0123456789abcdefghij", 0}, {-21, 0, "0123456789abcdefghij", 0}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.length);
        MessageBlock *m = Chain({TextBlock("0123456789"), TextBlock("abcdefghij")});
        const uint32_t before = FreeTotal();
        EXPECT_EQ(adjmsg(m, r.length), r.result);
        EXPECT_EQ(Text(m), r.left);
        EXPECT_EQ(BlockCount(m), 2 - r.released);
        EXPECT_EQ(FreeTotal() - before, r.released);
        freemsg(m);
    }
    MessageBlock *one = TextBlock("hello");
    EXPECT_TRUE(adjmsg(one, 2) == 1 && adjmsg(one, -1) == 1 && Text(one) == "ll");
    EXPECT_TRUE(adjmsg(one, 3) == 0 && adjmsg(one, -2) == 1 && Text(one).empty() && adjmsg(nullptr, 1) == 0);
    freeb(one);
}

TEST_F(Chains, AHeadTrimAcrossBlocksKeepsTheCallersPointerAndEveryPoolSound) {
    // Blocks of three pools, a duplicate of a block held elsewhere and one of the first block.
    MessageBlock *outside = TextBlock("OUT"), *first = TextBlock("aaaa");
    MessageBlock *m = Chain({first, TextBlock("bbbb", 300), dupb(outside), dupb(first), TextBlock("cccc", 1000), TextBlock("dd")});
    const uint32_t free0 = FreeCount(0), free1 = FreeCount(1), free3 = FreeCount(3);
    EXPECT_TRUE(adjmsg(m, 16) == 1 && m == first && Text(m) == "cccdd" && BlockCount(m) == 2);
    EXPECT_TRUE(FreeCount(0) == free0 + 1 && FreeCount(1) == free1 + 1 && FreeCount(3) == free3 + 2);
    EXPECT_EQ(outside->dataBlock->refCount, 1);
    Block d = Own(dupmsg(m)), c = Own(copymsg(m));
    EXPECT_TRUE(Text(d.get()) == "cccdd" && Text(c.get()) == "cccdd");
    freemsg(m), freeb(outside);
}

// A cursor call on block `b` (of 128 bytes, whose base and limit are at hand)
// and what it gave: results and outputs, pointers as offsets from the base.
using Results = std::vector<long>;
#define CALL(...)                                                                                                 \
    [](MessageBlock *b) {                                                                                        \
        [[maybe_unused]] uint8_t *base = b->dataBlock->base, *limit = b->dataBlock->limit, v = 99;                \
        [[maybe_unused]] uint32_t n = 99;                                                                        \
        return Results{__VA_ARGS__};                                                                             \
    }
long At(const MessageBlock *b, const uint8_t *p) { return p == nullptr ? -1 : p - b->dataBlock->base; }
const uint8_t kSource[128] = {};

using Cursors = PoolTest;

TEST_F(Cursors, EveryOperationUpToItsBoundAndOnePast) {
    const char *kTail = "ulmot_BufferAppend: Insufficient tail space", *kHead = "ulmot_BufferPrepend: Insufficient header space";
    const char *kTailChunk = "ulmot_BufferWriteTailChunk: Insufficient tail space";
    const char *kHeadChunk = "ulmot_BufferWriteHeadChunk: Insufficient header space";
    // The data bytes are 1, 2, 3...; readPtr and writePtr after the calls as offsets. A call one past
    // a bound comes before the one exactly at it, so that a failed call must have moved nothing.
    const struct { uint32_t head, data; std::function<Results(MessageBlock *)> call; Results results; long read, write; const char *line; } rows[] = {
        {8, 4, CALL(ulmot_BufferAppend(b, kSource, 117), ulmot_BufferAppend(b, kSource, 116)), {-1, 0}, 8, 128, kTail},
        {0, 128, CALL(ulmot_BufferAppend(b, nullptr, 0)), {0}, 0, 128, nullptr},
        {8, 4, CALL(ulmot_BufferPrepend(b, kSource, 9), ulmot_BufferPrepend(b, kSource, 8)), {-1, 0}, 0, 12, kHead},
        {8, 4, CALL(ulmot_BufferPrepend(b, kSource, -1)), {-1}, 8, 12, kHead},
        {0, 4, CALL(ulmot_BufferPrepend(b, nullptr, 0)), {0}, 0, 4, nullptr},
        {8, 4, CALL(At(b, ulmot_BufferReserveTailChunk(b, 117)), At(b, ulmot_BufferReserveTailChunk(b, 116))), {-1, 12}, 8, 128, kTailChunk},
        {8, 4, CALL(At(b, ulmot_BufferReserveHeadChunk(b, 9)), At(b, ulmot_BufferReserveHeadChunk(b, 8))), {-1, 0}, 0, 12, kHeadChunk},
        {8, 4, CALL(At(b, ulmot_BufferReserveHeadChunk(b, -1))), {-1}, 8, 12, kHeadChunk},
        {8, 4, CALL(At(b, ulmot_BufferPeekWriteTail(b, &n)), n, At(b, ulmot_BufferPeekWriteTail(b, nullptr))), {12, 116, 12}, 8, 12, nullptr},
        {8, 4, CALL(At(b, ulmot_BufferPeek(b, &n)), n, At(b, ulmot_BufferPeek(b, nullptr))), {8, 4, 8}, 8, 12, nullptr},
        {8, 4, CALL(At(b, ulmot_BufferRead(b, 3, &n)), n), {8, 3}, 11, 12, nullptr},
        {8, 4, CALL(At(b, ulmot_BufferRead(b, 10, &n)), n, At(b, ulmot_BufferRead(b, 1, nullptr))), {8, 4, 12}, 12, 12, nullptr},
        {8, 4, CALL(ulmot_BufferReadSkip(b, 5), ulmot_BufferReadSkip(b, 4)), {-3, 0}, 12, 12, nullptr},
        {8, 4, CALL(ulmot_BufferBackupRead(b, 9), ulmot_BufferBackupRead(b, 8)), {-4, 0}, 0, 12, nullptr},
        {8, 4, CALL(ulmot_BufferSetWriteHead(b, base - 1), ulmot_BufferSetWriteHead(b, base)), {-4, 0}, 0, 12, nullptr},
        {8, 4, CALL(ulmot_BufferSetWriteHead(b, limit + 1), ulmot_BufferSetWriteHead(b, limit)), {-3, 0}, 128, 12, nullptr},
        {8, 4, CALL(ulmot_BufferSetTotalWriteLength(b, 121), ulmot_BufferSetTotalWriteLength(b, 120)), {-3, 0}, 8, 128, nullptr},
        {8, 4, CALL(ulmot_BufferSetTotalWriteLength(b, 0)), {0}, 8, 8, nullptr},
        {8, 4, CALL(ulmot_BufferIsContained(b, base), ulmot_BufferIsContained(b, limit), ulmot_BufferIsContained(b, base - 1),
                    ulmot_BufferIsContained(b, limit + 1)), {0, 0, -4, -3}, 8, 12, nullptr},
        {0, 127, CALL(ulmot_BufferWriteInt8(b, 0x1A7), b->writePtr[-1], ulmot_BufferWriteInt8(b, 1)), {0, 0xA7, -1}, 0, 128,
         "ulmot_BufferWriteInt8: Insufficient tail space"},
        {8, 1, CALL(ulmot_BufferReadInt8(b, nullptr), ulmot_BufferReadInt8(b, &v), v), {0, 0, 1}, 9, 9, nullptr},
        {8, 0, CALL(ulmot_BufferReadInt8(b, &v), v), {-1, 99}, 8, 8, "ulmot_BufferReadInt8: Read overflow"},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(Format("row %zu", i));
        const auto &r = rows[i];
        Block b = Own(allocb(128, 1));
        b->readPtr = b->writePtr = b->dataBlock->base + r.head;
        for (uint32_t k = 1; k <= r.data; ++k) *b->writePtr++ = static_cast<uint8_t>(k);
        LogCapture log;
        EXPECT_EQ(r.call(b.get()), r.results);
        EXPECT_EQ(At(b.get(), b->readPtr), r.read);
        EXPECT_EQ(At(b.get(), b->writePtr), r.write);
        EXPECT_EQ(log.Lines(), r.line ? std::vector<std::string>{r.line} : std::vector<std::string>{});
    }
}

using Allocate = PoolTest;

TEST_F(Allocate, RefusesSizesNoPoolCanServe) {
    LogCapture log;
    EXPECT_EQ(ulmot_BufferAllocate(2049, 8), nullptr);
    MessageBlock *b = ulmot_BufferAllocate(2048, 5);
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"ulmot_BufferAllocate: Size 2049 exceeds the largest block (2048)"});
    EXPECT_TRUE(b->readPtr == b->dataBlock->base + 5 && b->writePtr == b->readPtr && PoolOfDescriptor(b) == 2);
    freeb(b);
}

TEST_F(Allocate, WaitsForABlockReleasedByAnotherThread) {
    std::vector<MessageBlock *> hog = Hog(8);
    std::atomic<MessageBlock *> got{nullptr};
    std::thread waiter([&] { got = ulmot_BufferAllocate(8, 8); });
    plat::SleepMs(150);  // longer than one 100 ms retry: that it waits is the subject
    EXPECT_EQ(got.load(), nullptr) << "returned while every pool was empty";
    freeb(hog.back());
    waiter.join();
    EXPECT_EQ(got.load(), hog.back());
    hog.back() = got;
    FreeAll(hog);
}

TEST_F(Allocate, ThreadsShareThePoolsWithoutLosingOrSharingABlock) {
    // Each thread stamps its blocks with its id and checks the stamp before releasing them.
    std::atomic<int> wrong{0};
    auto churn = [&wrong](uint8_t id) {
        std::mt19937 rng(id);
        std::vector<MessageBlock *> held;
        for (int round = 0; round < 5000; ++round) {
            MessageBlock *b = held.empty() || rng() % 2 ? allocb(rng() % 600, 1) : (rng() % 2 ? dupb : copyb)(held[rng() % held.size()]);
            if (b != nullptr && b->writePtr == b->readPtr) *b->writePtr++ = id;
            if (b != nullptr) held.push_back(b);
            for (; !held.empty() && (rng() % 3 == 0 || held.size() > 100); held.pop_back()) wrong += *held.back()->readPtr != id, freeb(held.back());
        }
        FreeAll(held);
    };
    std::thread a(churn, 1), b(churn, 2), c(churn, 3), d(churn, 4);
    a.join(), b.join(), c.join(), d.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(Debug, OneLineWithThreadAndTickCutAt199Characters) {
    const uint32_t before = plat::TickCountMs();
    LogCapture log;
    ulmot_Debug("ulmot_Test: value %d and %s", -5, "text");
    ulmot_Debug("%s", std::string(300, 'x').c_str());
    ulmot_Debug("%s", std::string(199, 'y').c_str());
    unsigned long thread = 0, ms = 0;
    EXPECT_EQ(std::sscanf(log.Text().c_str(), "[%lu:%lu]", &thread, &ms), 2);
    EXPECT_EQ(thread, static_cast<unsigned long>(syscall(SYS_gettid)));
    EXPECT_TRUE(ms >= before && ms <= plat::TickCountMs()) << ms;
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"ulmot_Test: value -5 and text", std::string(199, 'x'), std::string(199, 'y')}));
}

// In the platform tests, the other thread pauses so that its Set or Release
// comes while the wait is under way; the first waits on a group must be
// woken by it.
using Waits = std::vector<uint32_t>;

TEST(Platform, EventsAreAutoResetAndWaitOnTwo) {
    plat::EventGroup group;
    plat::Event e, a(group), b(group);
    std::thread setter([&] { plat::SleepMs(20), b.Set(), plat::SleepMs(20), e.Set(); });
    EXPECT_EQ((Waits{plat::Event::WaitAny(a, b, 5000), e.Wait(5000)}), (Waits{plat::kWaitSignaledSecond, plat::kWaitSignaled}));
    setter.join();
    e.Set(), e.Set();
    EXPECT_EQ((Waits{e.Wait(0), e.Wait(10)}), (Waits{plat::kWaitSignaled, plat::kWaitTimeout})) << "two Sets let one wait through";
    e.Set(), e.Reset(), a.Set(), b.Set();
    EXPECT_EQ((Waits{e.Wait(0), plat::Event::WaitAny(a, b, 0), plat::Event::WaitAny(a, b, 0), plat::Event::WaitAny(a, b, 10), plat::Event::WaitAny(a, e, 0)}),
              (Waits{plat::kWaitTimeout, plat::kWaitSignaled, plat::kWaitSignaledSecond, plat::kWaitTimeout, plat::kWaitFailed}));
}

// Threads that ask while a fetch runs wait for it and take its outcome; the
// value is kept only after a fetch that succeeds and says so, so the call
// after a failed or unkept fetch fetches again.
TEST(Platform, FetchOnceSharesAFetchWithThreadsAskingMeanwhile) {
    struct Row { int32_t result; bool keep; };
    for (const Row row : {Row{0, true}, Row{-9, true}, Row{0, false}}) {
        SCOPED_TRACE(Format("fetch outcome %d, keep %d", row.result, row.keep));
        using Once = plat::FetchOnce<int>;
        Once once;
        constexpr int kThreads = 4;
        std::atomic<int> entered{0}, fetches{0};
        std::vector<int32_t> results(kThreads, 99);
        std::vector<int> seen(kThreads, -1);
        const auto fetch = [&](int &value) {
            if (++fetches == 1) WaitUntil([&] { return entered == kThreads; });
            value = 40 + fetches;
            return Once::Outcome{row.result, row.keep};
        };
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([&, i] {
                ++entered;
                results[size_t(i)] = once.Get(fetch, [&](const int &v) { seen[size_t(i)] = v; });
            });
        }
        for (std::thread &t : threads) t.join();
        EXPECT_EQ(results, std::vector<int32_t>(kThreads, row.result));
        if (row.result == 0 && row.keep) {
            EXPECT_EQ(fetches, 1) << "threads that came while the value was fetched or kept fetched again";
            EXPECT_EQ(seen, std::vector<int>(kThreads, 41));
        }
        const int before = fetches;
        int later = -1;
        EXPECT_EQ(once.Get(fetch, [&](const int &v) { later = v; }), row.result);
        EXPECT_EQ(fetches - before, row.result == 0 && row.keep ? 0 : 1);
        EXPECT_EQ(later, row.result == 0 ? (row.keep ? 41 : before + 41) : -1);
    }
}

TEST(Platform, SemaphoreCountsUpToItsMaximum) {
    plat::Semaphore s(1, 2);
    EXPECT_EQ((Waits{s.Wait(0), s.Wait(10), s.Release(3), s.Release(2), s.Release(1), s.Wait(0), s.Wait(0), s.Wait(0)}),
              (Waits{plat::kWaitSignaled, plat::kWaitTimeout, false, true, false, plat::kWaitSignaled, plat::kWaitSignaled, plat::kWaitTimeout}));
    std::thread releaser([&] { plat::SleepMs(20), s.Release(); });
    EXPECT_EQ(s.Wait(plat::kInfinite), plat::kWaitSignaled);
    releaser.join();
    EXPECT_TRUE(s.Release());
    s.Shutdown();
    EXPECT_EQ(s.Wait(plat::kInfinite), plat::kWaitFailed) << "even with a count left";
}

// A sleep ends after its time: an EINTR that an earlier call left in errno
// does not make it sleep again.
TEST(Platform, SleepEndsAfterItsTimeWhateverErrnoHeld) {
    static std::atomic<long long> took{-1};
    std::thread([] {
        errno = EINTR;
        const auto start = Clock::now();
        plat::SleepMs(20);
        took = MsSince(start);
    }).detach();  // a sleep that never ends must not hold the test up
    ASSERT_TRUE(WaitUntil([] { return took >= 0; })) << "the sleep did not end";
    EXPECT_GE(took, 20);
}

TEST(Platform, ThreadJoinTimesOutWhileTheThreadRuns) {
    plat::Thread never, t;
    struct Context { plat::Event go; plat::Thread *self; bool current = false; } context{{}, &t};
    ASSERT_TRUE(t.Start([](void *p) {
        auto *c = static_cast<Context *>(p);
        c->go.Wait(plat::kInfinite), c->current = c->self->IsCurrent();
    }, &context));
    EXPECT_TRUE(never.Join(0) == plat::kWaitFailed && t.Running() && !t.IsCurrent() && t.Join(10) == plat::kWaitTimeout);
    context.go.Set();
    EXPECT_EQ(t.Join(plat::kInfinite), plat::kWaitSignaled);
    EXPECT_TRUE(context.current && !t.Running() && t.Join(0) == plat::kWaitFailed);
}

TEST(Platform, LibrariesAreLoadedAndSearchedOnlyByName) {
    EXPECT_EQ(plat::LoadLibrary(nullptr), nullptr);
    EXPECT_EQ(plat::LoadLibrary(std::string(plat::kLibraryNameMax + 1, 'c').c_str()), nullptr);
    EXPECT_EQ(plat::GetProcedure(nullptr, "malloc"), nullptr) << "a null library is not the global scope";
}

TEST(Platform, SeqLockedReadersNeverSeeHalfOfOneWriteAndHalfOfAnother) {
    struct Four { uint64_t a, b, c, d; };
    auto same = [](const Four &f) { return f.a == f.b && f.b == f.c && f.c == f.d; };
    plat::SeqLocked<Four> value;
    value.Update([](Four f) { return f.b = 20, f; });
    const Four f = value.Load();
    EXPECT_TRUE(f.a == 0 && f.b == 20 && f.c == 0 && f.d == 0) << "Update changes one field and keeps the others";
    value.Store(Four{});
    std::atomic<bool> stop{false};
    auto write = [&](uint64_t k) {
        for (; !stop; k += 2) value.Store(Four{k, k, k, k});
    };
    std::thread odd(write, 1), even(write, 2);
    int torn = 0;
    for (int i = 0; i < 200000; ++i) torn += !same(value.Load());
    stop = true;
    odd.join(), even.join();
    EXPECT_EQ(torn, 0);
}

}  // namespace
