// Pools: layout, pool choice and fallback, exhaustion, reference counting.
#include <vector>

#include "pool_fixture.h"

namespace {

using ulmot::pools::FreeCount;
using ulmot::pools::kElementCount;
using ulmot::pools::PoolOfDescriptor;
using ulmot::test::PoolTest;

uint32_t BufferSize(const MessageBlock *b) {
    return static_cast<uint32_t>(b->dataBlock->limit - b->dataBlock->base);
}

// Holds blocks and releases them at the end of a test.
struct Held {
    std::vector<MessageBlock *> blocks;
    ~Held() {
        for (MessageBlock *b : blocks) freeb(b);
    }
    MessageBlock *Take(uint32_t size) {
        MessageBlock *b = allocb(size, 1);
        if (b) blocks.push_back(b);
        return b;
    }
    void Exhaust(uint32_t size, uint32_t count) {
        for (uint32_t i = 0; i < count; ++i) ASSERT_NE(Take(size), nullptr) << i;
    }
};

using PoolLayout = PoolTest;

TEST_F(PoolLayout, SizeChoosesTheFirstPoolLargeEnough) {
    struct Case {
        uint32_t size;
        int pool;
        uint32_t bufferSize;
    } cases[] = {{0, 0, 128}, {8, 0, 128}, {128, 0, 128}, {129, 1, 384},
                 {384, 1, 384}, {385, 2, 2048}, {525, 2, 2048}, {2048, 2, 2048}};
    for (const Case &c : cases) {
        MessageBlock *b = allocb(c.size, 1);
        ASSERT_NE(b, nullptr) << c.size;
        EXPECT_EQ(PoolOfDescriptor(b), c.pool) << c.size;
        EXPECT_EQ(BufferSize(b), c.bufferSize) << c.size;
        EXPECT_EQ(b->readPtr, b->dataBlock->base);
        EXPECT_EQ(b->writePtr, b->dataBlock->base);
        EXPECT_EQ(b->cont, nullptr);
        EXPECT_EQ(b->inUse, 0x80);
        EXPECT_EQ(b->dataBlock->refCount, 1);
        EXPECT_EQ(b->dataBlock->poolIndex, c.pool);
        freeb(b);
    }
    EXPECT_EQ(allocb(2049, 1), nullptr);
    EXPECT_EQ(allocb(UINT32_MAX, 1), nullptr);
}

TEST_F(PoolLayout, BlocksComeFromTheEndOfStorageAndReturnLastInFirstOut) {
    MessageBlock *first = allocb(8, 1);
    MessageBlock *second = allocb(8, 1);
    // The free list is a stack laid out in storage order, so the head is the
    // last element and each next one sits just before it.
    EXPECT_EQ(second, first - 1);
    EXPECT_EQ(second->dataBlock->base, first->dataBlock->base - 128);
    freeb(second);
    freeb(first);
    EXPECT_EQ(allocb(8, 1), first);
    freeb(first);
}

TEST_F(PoolLayout, SecondInitChangesNothingWhileBlocksAreOut) {
    MessageBlock *b = allocb(8, 1);
    b->writePtr += 5;
    streams_buf_init();
    EXPECT_EQ(FreeCount(0), kElementCount[0] - 1);
    EXPECT_EQ(b->inUse, 0x80);
    EXPECT_EQ(b->writePtr - b->readPtr, 5);
    freeb(b);
}

TEST_F(PoolLayout, ExhaustedPoolsFallBackToLargerOnesThenFail) {
    Held held;
    held.Exhaust(8, kElementCount[0]);
    MessageBlock *b = held.Take(8);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(PoolOfDescriptor(b), 1);
    EXPECT_EQ(BufferSize(b), 384u);
    held.Exhaust(8, kElementCount[1] - 1);
    b = held.Take(8);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(PoolOfDescriptor(b), 2);
    held.Exhaust(8, kElementCount[2] - 1);
    EXPECT_EQ(allocb(8, 1), nullptr);
    EXPECT_EQ(allocb(2048, 1), nullptr);
    // Pool 3 holds no buffers: it never serves allocb.
    EXPECT_EQ(FreeCount(3), kElementCount[3]);
}

TEST_F(PoolLayout, LargeRequestsNeverFallBackToSmallerPools) {
    Held held;
    held.Exhaust(2048, kElementCount[2]);
    EXPECT_EQ(allocb(385, 1), nullptr);
    MessageBlock *small = held.Take(384);
    ASSERT_NE(small, nullptr);
    EXPECT_EQ(PoolOfDescriptor(small), 1);
}

using Duplicates = PoolTest;

TEST_F(Duplicates, ElementReturnsOnlyWithTheLastReference) {
    MessageBlock *b = ulmot_BufferAllocate(100, 8);
    b->writePtr += 10;
    MessageBlock *d = dupb(b);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(PoolOfDescriptor(d), 3);
    EXPECT_EQ(d->dataBlock, b->dataBlock);
    EXPECT_EQ(d->readPtr, b->readPtr);
    EXPECT_EQ(d->writePtr, b->writePtr);
    EXPECT_EQ(d->cont, nullptr);
    EXPECT_EQ(b->dataBlock->refCount, 2);
    EXPECT_EQ(FreeCount(3), kElementCount[3] - 1);

    DataBlock *shared = b->dataBlock;
    freeb(b);
    EXPECT_EQ(FreeCount(0), kElementCount[0] - 1) << "the buffer is still referenced";
    EXPECT_EQ(shared->refCount, 1);
    freeb(d);
    EXPECT_EQ(FreeCount(0), kElementCount[0]);
    EXPECT_EQ(FreeCount(3), kElementCount[3]);
    // The released element is clean again.
    EXPECT_EQ(b->inUse, 0);
    EXPECT_EQ(b->readPtr, shared->base);
    EXPECT_EQ(b->writePtr, shared->base);
    EXPECT_EQ(shared->refCount, 1);
    EXPECT_EQ(d->dataBlock->poolIndex, 3) << "a duplicate goes back to its own data block";
}

TEST_F(Duplicates, PoolThreeRunsOutAfter400EvenWithBuffersLeft) {
    MessageBlock *blocks[2] = {allocb(8, 1), allocb(8, 1)};
    std::vector<MessageBlock *> dups;
    for (uint32_t i = 0; i < kElementCount[3]; ++i) {
        MessageBlock *d = dupb(blocks[i % 2]);
        ASSERT_NE(d, nullptr) << i;
        dups.push_back(d);
    }
    EXPECT_EQ(dupb(blocks[0]), nullptr);
    EXPECT_NE(FreeCount(0), 0u);
    for (MessageBlock *d : dups) freeb(d);
    freeb(blocks[0]);
    freeb(blocks[1]);
}

TEST_F(Duplicates, RefusesTheReferenceThatWouldWrapTheCount) {
    MessageBlock *b = allocb(8, 1);
    std::vector<MessageBlock *> dups;
    for (int i = 0; i < 254; ++i) {
        MessageBlock *d = dupb(b);
        ASSERT_NE(d, nullptr) << i;
        dups.push_back(d);
    }
    EXPECT_EQ(b->dataBlock->refCount, 255);
    const uint32_t pool3Free = FreeCount(3);
    EXPECT_EQ(dupb(b), nullptr);
    EXPECT_EQ(dupb(dups[7]), nullptr) << "a duplicate of a duplicate shares the same count";
    EXPECT_EQ(FreeCount(3), pool3Free) << "a refused duplicate takes no descriptor";
    EXPECT_EQ(b->dataBlock->refCount, 255);
    freeb(b);
    for (MessageBlock *d : dups) freeb(d);
}

TEST_F(Duplicates, ReleasingAFreeBlockAgainIsPassedOver) {
    MessageBlock *b = allocb(8, 1);
    freeb(b);
    const uint32_t before = FreeCount(0);
    freeb(b);
    EXPECT_EQ(FreeCount(0), before);
    freeb(nullptr);
    freemsg(nullptr);
}

}  // namespace
