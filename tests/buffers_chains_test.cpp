// Chains: linkb, unlinkb, rmvb, dupmsg, copyb, copymsg, msgdsize, adjmsg.
#include <cstring>
#include <string>
#include <vector>

#include "pool_fixture.h"

namespace {

using ulmot::pools::FreeCount;
using ulmot::pools::kElementCount;
using ulmot::pools::PoolOfDescriptor;
using ulmot::test::PoolTest;

// A block of `size` bytes whose data are `text`, at `offset` in the buffer.
MessageBlock *TextBlock(const std::string &text, uint32_t size = 64, uint32_t offset = 0) {
    MessageBlock *b = allocb(size, 1);
    b->readPtr = b->writePtr = b->dataBlock->base + offset;
    std::memcpy(b->writePtr, text.data(), text.size());
    b->writePtr += text.size();
    return b;
}

MessageBlock *Chain(std::initializer_list<MessageBlock *> blocks) {
    MessageBlock *head = nullptr;
    for (MessageBlock *b : blocks) {
        if (head) linkb(head, b); else head = b;
    }
    return head;
}

std::string Text(const MessageBlock *m) {
    std::string s;
    for (const MessageBlock *b = m; b; b = b->cont) s.append(b->readPtr, b->writePtr);
    return s;
}

size_t Length(const MessageBlock *m) {
    size_t n = 0;
    for (; m; m = m->cont) ++n;
    return n;
}

uint32_t FreeTotal() {
    uint32_t n = 0;
    for (int p = 0; p < ulmot::pools::kPoolCount; ++p) n += FreeCount(p);
    return n;
}

MessageBlock *const kNotInChain = reinterpret_cast<MessageBlock *>(~uintptr_t{0});

using Chains = PoolTest;

TEST_F(Chains, LinkUnlinkAndSize) {
    MessageBlock *m = Chain({TextBlock("abc"), TextBlock("de"), TextBlock("")});
    EXPECT_EQ(Length(m), 3u);
    EXPECT_EQ(msgdsize(m), 5u);
    EXPECT_EQ(msgdsize(nullptr), 0u);
    MessageBlock *rest = unlinkb(m);
    EXPECT_EQ(m->cont, nullptr);
    EXPECT_EQ(Text(rest), "de");
    EXPECT_EQ(unlinkb(m), nullptr);
    freemsg(m);
    freemsg(rest);
}

TEST_F(Chains, RemoveBlock) {
    MessageBlock *only = TextBlock("x");
    EXPECT_EQ(rmvb(only, only), nullptr);
    freeb(only);

    MessageBlock *a = TextBlock("a"), *b = TextBlock("b"), *c = TextBlock("c");
    MessageBlock *m = Chain({a, b, c});
    EXPECT_EQ(rmvb(m, b), a);
    EXPECT_EQ(Text(m), "ac");
    EXPECT_EQ(b->cont, nullptr);
    EXPECT_EQ(rmvb(m, a), c) << "removing the head gives its continuation";
    EXPECT_EQ(a->cont, nullptr);

    MessageBlock *other = TextBlock("o");
    EXPECT_EQ(rmvb(c, other), kNotInChain);
    EXPECT_EQ(Text(c), "c");
    freemsg(c);
    freeb(a);
    freeb(b);
    freeb(other);
}

TEST_F(Chains, DupmsgSharesEveryBufferInOrder) {
    MessageBlock *m = Chain({TextBlock("ab"), TextBlock("cd", 300)});
    MessageBlock *d = dupmsg(m);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(Text(d), "abcd");
    EXPECT_EQ(d->dataBlock, m->dataBlock);
    EXPECT_EQ(d->cont->dataBlock, m->cont->dataBlock);
    EXPECT_EQ(FreeCount(3), kElementCount[3] - 2);
    freemsg(m);
    EXPECT_EQ(Text(d), "abcd") << "buffers live as long as a duplicate does";
    freemsg(d);
}

TEST_F(Chains, DupmsgKeepsNothingWhenPoolThreeRunsOut) {
    MessageBlock *m = Chain({TextBlock("a"), TextBlock("b"), TextBlock("c")});
    MessageBlock *others[2] = {TextBlock("o"), TextBlock("p")};
    std::vector<MessageBlock *> hog;
    while (FreeCount(3) > 2) hog.push_back(dupb(others[hog.size() % 2]));
    EXPECT_EQ(dupmsg(m), nullptr);
    EXPECT_EQ(FreeCount(3), 2u);
    EXPECT_EQ(m->dataBlock->refCount, 1);
    EXPECT_EQ(m->cont->dataBlock->refCount, 1);
    for (MessageBlock *h : hog) freeb(h);
    freeb(others[0]);
    freeb(others[1]);
    freemsg(m);
}

TEST_F(Chains, CopybCopiesTheWholeBufferAndOffsets) {
    MessageBlock *b = allocb(100, 1);
    for (int i = 0; i < 128; ++i) b->dataBlock->base[i] = static_cast<uint8_t>(i);
    b->readPtr = b->dataBlock->base + 8;
    b->writePtr = b->dataBlock->base + 20;
    MessageBlock *c = copyb(b);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(PoolOfDescriptor(c), 0);
    EXPECT_NE(c->dataBlock, b->dataBlock);
    EXPECT_EQ(0, std::memcmp(c->dataBlock->base, b->dataBlock->base, 128));
    EXPECT_EQ(c->readPtr - c->dataBlock->base, 8);
    EXPECT_EQ(c->writePtr - c->dataBlock->base, 20);
    freeb(b);
    freeb(c);
}

TEST_F(Chains, CopybOfADuplicateAndWithPoolZeroFull) {
    std::vector<MessageBlock *> hog;
    while (FreeCount(0) > 1) hog.push_back(allocb(8, 1));
    MessageBlock *b = TextBlock("xyz", 8, 5);
    MessageBlock *d = dupb(b);
    MessageBlock *c = copyb(d);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(PoolOfDescriptor(c), 1) << "a copy may come from a larger pool";
    EXPECT_EQ(Text(c), "xyz");
    EXPECT_EQ(c->readPtr - c->dataBlock->base, 5);
    for (MessageBlock *h : hog) freeb(h);
    freeb(b);
    freeb(d);
    freeb(c);
}

TEST_F(Chains, CopymsgCopiesEveryBlockOrNothing) {
    EXPECT_EQ(copymsg(nullptr), nullptr);
    MessageBlock *m = Chain({TextBlock("ab"), TextBlock("cd", 300), TextBlock("ef", 1000)});
    MessageBlock *c = copymsg(m);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(Text(c), "abcdef");
    EXPECT_EQ(Length(c), 3u);
    freemsg(c);

    std::vector<MessageBlock *> hog;
    for (MessageBlock *h; (h = allocb(2048, 1)) != nullptr;) hog.push_back(h);
    const uint32_t before = FreeTotal();
    EXPECT_EQ(copymsg(m), nullptr) << "the third copy needs a 2048-byte buffer";
    EXPECT_EQ(FreeTotal(), before) << "copies made before the failure are released";
    for (MessageBlock *h : hog) freeb(h);
    freemsg(m);
}

// adjmsg over a two-block message of 10 + 10 bytes.
struct TrimCase {
    int32_t length;
    int32_t result;
    std::string remaining;
    size_t blocks;
    int elementsReturned;
};

class TwoBlockTrim : public PoolTest, public ::testing::WithParamInterface<TrimCase> {};

TEST_P(TwoBlockTrim, TrimsAndReleasesEmptiedBlocks) {
    const TrimCase &c = GetParam();
    MessageBlock *m = Chain({TextBlock("0123456789"), TextBlock("abcdefghij")});
    const uint32_t before = FreeTotal();
    EXPECT_EQ(adjmsg(m, c.length), c.result);
    EXPECT_EQ(Text(m), c.remaining);
    EXPECT_EQ(Length(m), c.blocks);
    EXPECT_EQ(FreeTotal() - before, static_cast<uint32_t>(c.elementsReturned));
    freemsg(m);
}

INSTANTIATE_TEST_SUITE_P(
    Adjmsg, TwoBlockTrim,
    ::testing::Values(TrimCase{15, 1, "fghij", 1, 1}, TrimCase{-15, 1, "01234", 1, 1},
                      TrimCase{20, 1, "", 1, 1}, TrimCase{-20, 1, "", 1, 1},
                      TrimCase{21, 0, "0123456789abcdefghij", 2, 0},
                      TrimCase{-21, 0, "0123456789abcdefghij", 2, 0},
                      TrimCase{0, 0, "0123456789abcdefghij", 2, 0},
                      TrimCase{4, 1, "456789abcdefghij", 2, 0},
                      TrimCase{10, 1, "abcdefghij", 1, 1}, TrimCase{-10, 1, "0123456789", 1, 1},
                      TrimCase{-3, 1, "0123456789abcdefg", 2, 0}));

using HeadTrim = PoolTest;

TEST_F(HeadTrim, OneBlockMessage) {
    MessageBlock *m = TextBlock("hello");
    EXPECT_EQ(adjmsg(m, 2), 1);
    EXPECT_EQ(Text(m), "llo");
    EXPECT_EQ(adjmsg(m, -1), 1);
    EXPECT_EQ(Text(m), "ll");
    EXPECT_EQ(adjmsg(m, 3), 0);
    freeb(m);
}

TEST_F(HeadTrim, AcrossBlocksOfEveryPoolKeepsTheCallersPointer) {
    MessageBlock *first = TextBlock("aaaa", 64);
    MessageBlock *m = Chain({first, TextBlock("bbbb", 300), TextBlock("cccc", 1000), TextBlock("dd", 64)});
    const uint32_t free0 = FreeCount(0), free1 = FreeCount(1), free2 = FreeCount(2);
    EXPECT_EQ(adjmsg(m, 9), 1);
    EXPECT_EQ(m, first);
    EXPECT_EQ(Text(m), "ccc" "dd");
    EXPECT_EQ(Length(m), 2u);
    // The emptied blocks came from pools 0 and 1: one element each goes back.
    EXPECT_EQ(FreeCount(0), free0 + 1);
    EXPECT_EQ(FreeCount(1), free1 + 1);
    EXPECT_EQ(FreeCount(2), free2);
    // What remains is still a sound message: it can be duplicated, copied,
    // extended and released.
    MessageBlock *d = dupmsg(m);
    MessageBlock *c = copymsg(m);
    EXPECT_EQ(Text(d), "cccdd");
    EXPECT_EQ(Text(c), "cccdd");
    freemsg(d);
    freemsg(c);
    freemsg(m);
}

TEST_F(HeadTrim, AcrossDuplicatesKeepsEveryPoolConsistent) {
    // A chain that holds a duplicate of its own first block and of a block
    // held elsewhere: the trim must return exactly the references it drops.
    MessageBlock *outside = TextBlock("OUTSIDE");
    MessageBlock *first = TextBlock("12345");
    MessageBlock *m = Chain({first, dupb(outside), dupb(first), TextBlock("tail")});
    EXPECT_EQ(Text(m), "12345OUTSIDE12345tail");
    EXPECT_EQ(adjmsg(m, 14), 1);
    EXPECT_EQ(m, first);
    EXPECT_EQ(Text(m), "345tail");
    EXPECT_EQ(outside->dataBlock->refCount, 1) << "the duplicate of `outside` was released";
    freemsg(m);
    EXPECT_EQ(Text(outside), "OUTSIDE");
    freeb(outside);
}

TEST_F(HeadTrim, RepeatedTrimsAndReuseStayConsistent) {
    // Exchanged descriptors must behave like any other element afterwards.
    for (int round = 0; round < 50; ++round) {
        MessageBlock *held = TextBlock("skip");
        MessageBlock *m = Chain({TextBlock("ab", 8), dupb(held), TextBlock("cd", 500)});
        ASSERT_EQ(adjmsg(m, 7), 1);
        ASSERT_EQ(Text(m), "d");
        freemsg(m);
        freeb(held);
        ASSERT_TRUE(ulmot::pools::AllPoolsFull()) << round;
    }
}

}  // namespace
