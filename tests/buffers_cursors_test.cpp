// Cursors and ulmot_Debug: room checks, exact results and failure lines.
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cctype>
#include <thread>
#include <string>

#include "pool_fixture.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using ulmot::pools::PoolOfDescriptor;
using ulmot::test::DataOf;
using ulmot::test::PoolTest;

using Bytes = std::vector<uint8_t>;

// The message part of one ulmot_Debug line "[digits:digits]message\n", or a
// marker when `line` is not exactly one such line.
std::string DebugMessage(const std::string &line) {
    const std::string bad = "<not one debug line: " + line + ">";
    size_t i = 0;
    auto digits = [&] {
        const size_t start = i;
        while (i < line.size() && std::isdigit(static_cast<unsigned char>(line[i]))) ++i;
        return i > start;
    };
    if (line.empty() || line[i++] != '[' || !digits() || i >= line.size() || line[i++] != ':' ||
        !digits() || i >= line.size() || line[i++] != ']' || line.back() != '\n') {
        return bad;
    }
    const std::string message = line.substr(i, line.size() - i - 1);
    return message.find('\n') == std::string::npos ? message : bad;
}

uint32_t HeadRoom(const MessageBlock *b) { return static_cast<uint32_t>(b->readPtr - b->dataBlock->base); }
uint32_t TailRoom(const MessageBlock *b) { return static_cast<uint32_t>(b->dataBlock->limit - b->writePtr); }

using Allocate = PoolTest;

TEST_F(Allocate, SizeChoosesThePoolAndHeadRoomMovesBothPointers) {
    MessageBlock *b = ulmot_BufferAllocate(8, 8);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(PoolOfDescriptor(b), 0);
    EXPECT_EQ(HeadRoom(b), 8u);
    EXPECT_EQ(b->writePtr, b->readPtr);
    EXPECT_EQ(TailRoom(b), 120u);
    EXPECT_NE(ulmot_BufferReserveHeadChunk(b, 8), nullptr);
    CaptureStderr();
    EXPECT_EQ(ulmot_BufferReserveHeadChunk(b, 8), nullptr);
    EXPECT_EQ(DebugMessage(GetCapturedStderr()), "ulmot_BufferWriteHeadChunk: Insufficient header space");
    freeb(b);
}

TEST_F(Allocate, RefusesSizesNoPoolCanServe) {
    CaptureStderr();
    EXPECT_EQ(ulmot_BufferAllocate(2049, 8), nullptr);
    EXPECT_EQ(DebugMessage(GetCapturedStderr()), "ulmot_BufferAllocate: Size 2049 exceeds the largest block (2048)");
    MessageBlock *b = ulmot_BufferAllocate(2048, 0);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(TailRoom(b), 2048u);
    freeb(b);
}

TEST_F(Allocate, WaitsForABlockReleasedByAnotherThread) {
    std::vector<MessageBlock *> hog;
    for (MessageBlock *h; (h = allocb(8, 1)) != nullptr;) hog.push_back(h);
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        freeb(hog.back());
    });
    MessageBlock *b = ulmot_BufferAllocate(8, 8);
    releaser.join();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b, hog.back()) << "the block released by the other thread";
    hog.pop_back();
    freeb(b);
    for (MessageBlock *h : hog) freeb(h);
}

using Cursors = PoolTest;

TEST_F(Cursors, AppendAndPrependCheckRoomBeforeWriting) {
    MessageBlock *b = ulmot_BufferAllocate(128, 3);
    const uint8_t abc[] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(ulmot_BufferAppend(b, abc, 2), 0);
    EXPECT_EQ(ulmot_BufferPrepend(b, abc + 2, 2), 0);
    EXPECT_EQ(DataOf(b), (Bytes{'c', 'd', 'a', 'b'}));

    CaptureStderr();
    EXPECT_EQ(ulmot_BufferPrepend(b, abc, 2), -1);
    EXPECT_EQ(DebugMessage(GetCapturedStderr()), "ulmot_BufferPrepend: Insufficient header space");
    EXPECT_EQ(ulmot_BufferPrepend(b, abc, 1), 0);
    CaptureStderr();
    EXPECT_EQ(ulmot_BufferPrepend(b, abc, -1), -1) << "a negative length is never room";
    GetCapturedStderr();

    ASSERT_EQ(ulmot_BufferSetTotalWriteLength(b, 128), 0);  // fill to the limit
    CaptureStderr();
    EXPECT_EQ(ulmot_BufferAppend(b, abc, 1), -1);
    EXPECT_EQ(DebugMessage(GetCapturedStderr()), "ulmot_BufferAppend: Insufficient tail space");
    EXPECT_EQ(ulmot_BufferAppend(b, abc, 0), 0);
    freeb(b);
}

TEST_F(Cursors, ChunksReserveExactlyTheRoomThereIs) {
    MessageBlock *b = ulmot_BufferAllocate(128, 4);
    uint8_t *tail = ulmot_BufferReserveTailChunk(b, 124);
    EXPECT_EQ(tail, b->dataBlock->base + 4);
    EXPECT_EQ(b->writePtr, b->dataBlock->limit);
    CaptureStderr();
    EXPECT_EQ(ulmot_BufferReserveTailChunk(b, 1), nullptr);
    EXPECT_EQ(DebugMessage(GetCapturedStderr()), "ulmot_BufferWriteTailChunk: Insufficient tail space");
    EXPECT_EQ(ulmot_BufferReserveHeadChunk(b, 4), b->dataBlock->base);
    CaptureStderr();
    EXPECT_EQ(ulmot_BufferReserveHeadChunk(b, 1), nullptr);
    GetCapturedStderr();
    freeb(b);
}

TEST_F(Cursors, ReadPeekSkipAndBackup) {
    MessageBlock *b = ulmot::test::BlockWith({1, 2, 3, 4}, 6);
    uint32_t n = 99;
    EXPECT_EQ(ulmot_BufferPeek(b, &n), b->readPtr);
    EXPECT_EQ(n, 4u);
    uint8_t *start = b->readPtr;
    EXPECT_EQ(ulmot_BufferRead(b, 10, &n), start);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(b->readPtr, b->writePtr);
    EXPECT_EQ(ulmot_BufferRead(b, 1, nullptr), b->writePtr);

    EXPECT_EQ(ulmot_BufferBackupRead(b, 10), 0);  // 6 head room + 4 read
    EXPECT_EQ(b->readPtr, b->dataBlock->base);
    EXPECT_EQ(ulmot_BufferBackupRead(b, 1), -4);
    EXPECT_EQ(ulmot_BufferReadSkip(b, 6), 0);
    EXPECT_EQ(ulmot_BufferReadSkip(b, 5), -3);
    EXPECT_EQ(b->readPtr, start) << "a failed skip moves nothing";
    EXPECT_EQ(ulmot_BufferReadSkip(b, 4), 0);
    EXPECT_EQ(ulmot_BufferReadSkip(b, 1), -3);

    uint32_t room = 0;
    EXPECT_EQ(ulmot_BufferPeekWriteTail(b, &room), b->writePtr);
    EXPECT_EQ(room, 118u);
    EXPECT_EQ(ulmot_BufferPeekWriteTail(b, nullptr), b->writePtr);
    freeb(b);
}

TEST_F(Cursors, PositionChecksAgainstBaseAndLimit) {
    MessageBlock *b = ulmot_BufferAllocate(128, 8);
    uint8_t *base = b->dataBlock->base;
    uint8_t *limit = b->dataBlock->limit;
    EXPECT_EQ(ulmot_BufferIsContained(b, base), 0);
    EXPECT_EQ(ulmot_BufferIsContained(b, limit), 0);
    EXPECT_EQ(ulmot_BufferIsContained(b, base - 1), -4);
    EXPECT_EQ(ulmot_BufferIsContained(b, limit + 1), -3);

    EXPECT_EQ(ulmot_BufferSetWriteHead(b, limit), 0);
    EXPECT_EQ(b->readPtr, limit);
    EXPECT_EQ(ulmot_BufferSetWriteHead(b, limit + 1), -3);
    EXPECT_EQ(ulmot_BufferSetWriteHead(b, base - 1), -4);
    EXPECT_EQ(b->readPtr, limit);
    EXPECT_EQ(ulmot_BufferSetWriteHead(b, base + 8), 0);

    EXPECT_EQ(ulmot_BufferSetTotalWriteLength(b, 120), 0);
    EXPECT_EQ(b->writePtr, limit);
    EXPECT_EQ(ulmot_BufferSetTotalWriteLength(b, 121), -3);
    EXPECT_EQ(b->writePtr, limit);
    EXPECT_EQ(ulmot_BufferSetTotalWriteLength(b, 0), 0);
    EXPECT_EQ(b->writePtr, b->readPtr);
    freeb(b);
}

TEST_F(Cursors, Int8WriteAndRead) {
    MessageBlock *b = ulmot_BufferAllocate(128, 126);
    EXPECT_EQ(ulmot_BufferWriteInt8(b, 0x1A7), 0);
    EXPECT_EQ(ulmot_BufferWriteInt8(b, 0x42), 0);
    EXPECT_EQ(DataOf(b), (Bytes{0xA7, 0x42}));
    CaptureStderr();
    EXPECT_EQ(ulmot_BufferWriteInt8(b, 1), -1);
    EXPECT_EQ(DebugMessage(GetCapturedStderr()), "ulmot_BufferWriteInt8: Insufficient tail space");

    EXPECT_EQ(ulmot_BufferReadInt8(b, nullptr), 0);
    EXPECT_EQ(DataOf(b).size(), 2u) << "a null output consumes nothing";
    uint8_t v = 0;
    EXPECT_EQ(ulmot_BufferReadInt8(b, &v), 0);
    EXPECT_EQ(v, 0xA7);
    EXPECT_EQ(ulmot_BufferReadInt8(b, &v), 0);
    EXPECT_EQ(v, 0x42);
    v = 7;
    CaptureStderr();
    EXPECT_EQ(ulmot_BufferReadInt8(b, &v), -1);
    EXPECT_EQ(DebugMessage(GetCapturedStderr()), "ulmot_BufferReadInt8: Read overflow");
    EXPECT_EQ(v, 7);
    freeb(b);
}

TEST(Debug, WritesOneLineWithThreadTickAndMessage) {
    CaptureStderr();
    ulmot_Debug("ulmot_Test: value %d and %s", -5, "text");
    const std::string out = GetCapturedStderr();
    EXPECT_EQ(DebugMessage(out), "ulmot_Test: value -5 and text");
    EXPECT_EQ(out.find("[" + std::to_string(syscall(SYS_gettid)) + ":"), 0u) << out;
}

TEST(Debug, CutsTheMessageAt199Characters) {
    const std::string longText(300, 'x');
    CaptureStderr();
    ulmot_Debug("%s", longText.c_str());
    EXPECT_EQ(DebugMessage(GetCapturedStderr()), std::string(199, 'x'));
    CaptureStderr();
    ulmot_Debug("%s", std::string(199, 'y').c_str());
    EXPECT_EQ(DebugMessage(GetCapturedStderr()), std::string(199, 'y'));
}

TEST(Debug, LinesOfConcurrentThreadsNeverInterleave) {
    CaptureStderr();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) ulmot_Debug("thread%d:%s", t, std::string(150, 'a' + t).c_str());
        });
    }
    for (auto &th : threads) th.join();
    const std::string out = GetCapturedStderr();
    size_t lines = 0;
    for (size_t start = 0; start < out.size();) {
        const size_t end = out.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        const std::string message = DebugMessage(out.substr(start, end - start + 1));
        ASSERT_EQ(message.rfind("thread", 0), 0u) << message;
        const char mark = static_cast<char>('a' + (message[6] - '0'));
        EXPECT_EQ(message, "thread" + std::string(1, message[6]) + ":" + std::string(150, mark));
        ++lines;
        start = end + 1;
    }
    EXPECT_EQ(lines, 800u);
}

}  // namespace
