// Items: the exact bytes of every writer and its room check, the readers'
// lookups and result codes, and the tag report walk. Bodies are given as
// literal bytes; a reader must never look at or past writePtr.
#include <functional>
#include <tuple>

#include "items/dtp.h"
#include "support.h"

// Expected TagReport values name only the fields they expect; the others are 0.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using namespace ulmot::test;

constexpr uint8_t kUnwritten = 0xEE;

bool Unwritten(const uint8_t *from, const uint8_t *to) {
    return std::all_of(from, to, [](uint8_t v) { return v == kUnwritten; });
}

// A block whose data is one kUnwritten byte, with exactly `tailRoom` bytes
// behind writePtr; every byte of the buffer is kUnwritten.
Block WithTailRoom(uint32_t tailRoom) {
    Block b = Own(ulmot_BufferAllocate(tailRoom + 1, 0));
    std::fill(b->dataBlock->base, b->dataBlock->limit, kUnwritten);
    b->writePtr = b->dataBlock->limit - tailRoom;
    b->readPtr = b->writePtr - 1;
    return b;
}

// A block over a heap buffer of exactly the body's size, outside the pools:
// under AddressSanitizer a read at writePtr is a fault.
class ExactBlock {
public:
    explicit ExactBlock(const Bytes &body) : bytes_(new uint8_t[body.size()]) {
        std::copy(body.begin(), body.end(), bytes_.get());
        data_ = DataBlock{bytes_.get(), bytes_.get() + body.size(), 1, 0};
        block_ = MessageBlock{nullptr, nullptr, data_.base, data_.limit, &data_, 0x80};
    }
    MessageBlock *get() { return &block_; }

private:
    std::unique_ptr<uint8_t[]> bytes_;
    DataBlock data_{};
    MessageBlock block_{};
};

// Runs `check` on `body` in a pool block with `hidden` right behind writePtr
// (bytes that would complete a cut item), then in an exact heap buffer.
void OnBothEnds(const Bytes &body, const Bytes &hidden, const std::function<void(MessageBlock *)> &check) {
    Block pooled = Own(BlockWith(Concat({body, hidden})));
    pooled->writePtr -= hidden.size();
    check(pooled.get());
    ExactBlock exact(body);
    check(exact.get());
}

Bytes Repeat(int count, const std::function<Bytes(uint8_t)> &element) {
    Bytes all;
    for (int i = 0; i < count; ++i) Append(all, element(static_cast<uint8_t>(i)));
    return all;
}

// A writer's name and a call of it on block `b`, as a row of a table.
#define WRITE(fn, ...) #fn, [](MessageBlock *b) { return fn(b, __VA_ARGS__); }

uint8_t g_values[256];
const uint8_t kAABB[] = {0xAA, 0xBB}, kFF[] = {0xFF};

using ItemsWriters = PoolTest;

TEST_F(ItemsWriters, ExactBytesWithExactlyEnoughRoomAndRefusalsOneByteShort) {
    for (int i = 0; i < 256; ++i) g_values[i] = static_cast<uint8_t>(i);
    // An empty item: never fits (rc -1) or is refused (rc -5) whatever the room.
    const struct { std::string fn; std::function<int32_t(MessageBlock *)> write; Bytes item; int32_t rc; } rows[] = {
        {WRITE(ulmot_BufferWriteDTPInt8, 3, 7), {0x30, 0x07}, 0},
        {WRITE(ulmot_BufferWriteDTPInt8, 14, 7), {0xE0, 0x07}, 0},
        {WRITE(ulmot_BufferWriteDTPInt8, 15, 7), {0xF0, 0x0F, 0x07}, 0},
        {WRITE(ulmot_BufferWriteDTPInt8, 0x1FE, 0x1FF), {0xF0, 0xFE, 0xFF}, 0},
        {WRITE(ulmot_BufferWriteDTPInt8, 0x10E, 1), {0xE0, 0x01}, 0},
        {WRITE(ulmot_BufferWriteDTPInt16, 255, uint32_t(-5)), {0xF1, 0xFF, 0xFF, 0xFB}, 0},
        {WRITE(ulmot_BufferWriteDTPInt16, 14, 0xABCD1234), {0xE1, 0x12, 0x34}, 0},
        {WRITE(ulmot_BufferWriteDTPInt32, 254, 1000), {0xF2, 0xFE, 0x00, 0x00, 0x03, 0xE8}, 0},
        {WRITE(ulmot_BufferWriteDTPInt32, 0, 0x01020304), {0x02, 0x01, 0x02, 0x03, 0x04}, 0},
        {WRITE(ulmot_BufferWriteDTPObjectReference, 0, 8, 2), {0x03, 0x08, 0x02}, 0},
        {WRITE(ulmot_BufferWriteDTPObjectReference, 200, 0x108, 0x2FF), {0xF3, 0xC8, 0x08, 0xFF}, 0},
        {WRITE(ulmot_BufferWriteDTPByteArray, 2, g_values + 1, 3), {0x24, 0x00, 0x03, 0x01, 0x02, 0x03}, 0},
        {WRITE(ulmot_BufferWriteDTPByteArray, 22, nullptr, 0), {0xF4, 0x16, 0x00, 0x00}, 0},
        {WRITE(ulmot_BufferWriteDTPByteArray, 0, g_values, 0xFFFFFFFD), {}, -1},
        {WRITE(ulmot_BufferWriteDTPInt8List, 3, g_values + 5, 2), {0x35, 0x00, 0x05, 0x02, 0x00, 0x05, 0x00, 0x06}, 0},
        {WRITE(ulmot_BufferWriteDTPInt8List, 15, g_values + 5, 1), {0xF5, 0x0F, 0x00, 0x03, 0x01, 0x00, 0x05}, 0},
        {WRITE(ulmot_BufferWriteDTPInt8List, 1, g_values, 255), Concat({{0x15, 0x01, 0xFF, 0xFF}, Repeat(255, [](uint8_t i) { return I8(0, i); })}), 0},
        {WRITE(ulmot_BufferWriteDTPInt8List, 3, g_values, 256), {}, -5},
        {WRITE(ulmot_BufferWriteDTPInt8List, 3, g_values, 0), {}, -5},
        {WRITE(ulmot_BufferWriteDTPInt8List, 3, nullptr, 2), {}, -5},
        {WRITE(ulmot_BufferWriteDTPObjectReferenceList, 3, 0x103, g_values + 1, 2), {0x35, 0x00, 0x07, 0x02, 0x03, 0x03, 0x01, 0x03, 0x03, 0x02}, 0},
        {WRITE(ulmot_BufferWriteDTPObjectReferenceList, 20, 9, g_values, 255), Concat({{0xF5, 0x14, 0x02, 0xFE, 0xFF}, Repeat(255, [](uint8_t i) { return Ref(0, 9, i); })}), 0},
        {WRITE(ulmot_BufferWriteDTPObjectReferenceList, 3, 1, g_values, 0), {}, -5},
        {WRITE(ulmot_BufferWriteDTPObjectReferenceList, 3, 1, nullptr, 2), {}, -5},
        // Flags come first among the arguments and after the filter word on the wire.
        {WRITE(ulmot_BufferWriteDTPTagFilter, 16, 0x5A, 0x01, 0x11223344, 9, 1, kAABB, kFF), {0xF6, 0x10, 0x00, 0x0D, 0x01, 0x11, 0x22, 0x33, 0x44, 0x5A, 0x00, 0x09, 0x00, 0x01, 0xAA, 0xBB, 0xFF}, 0},
        {WRITE(ulmot_BufferWriteDTPTagFilter, 1, 3, 7, 0, 0, 0, nullptr, nullptr), {0x16, 0x00, 0x0A, 0x07, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00}, 0},
        {WRITE(ulmot_BufferWriteDTPTagFilter, 0, 0, 0, 0, 0xFFFF, 0xFFFF, g_values, g_values), {}, -1},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.fn + " " + Hex(r.item));
        const uint32_t size = static_cast<uint32_t>(r.item.size());
        if (size > 0) {
            Block fits = WithTailRoom(size);
            EXPECT_EQ(r.write(fits.get()), 0);
            EXPECT_EQ(DataOf(fits.get()), Concat({{kUnwritten}, r.item}));
            EXPECT_EQ(fits->writePtr, fits->dataBlock->limit);
        }
        Block tight = WithTailRoom(size > 0 ? size - 1 : 2000);
        uint8_t *before = tight->writePtr;
        LogCapture log;
        EXPECT_EQ(r.write(tight.get()), r.rc == 0 ? -1 : r.rc);
        // The byte array writer's line calls it a bit array.
        const std::string fn = r.fn == "ulmot_BufferWriteDTPByteArray" ? "ulmot_BufferWriteDTPBitArray" : r.fn;
        EXPECT_EQ(log.Lines(), std::vector<std::string>{fn + (r.rc == -5 ? ": Invalid parameter" : ": Insufficient tail space")});
        EXPECT_EQ(tight->writePtr, before);
        EXPECT_TRUE(Unwritten(before, tight->dataBlock->limit));
    }
}

TEST_F(ItemsWriters, PrependListInfoNeedsHeadRoomForTheWholeHeader) {
    const struct { uint32_t id, count, length, headRoom; Bytes header; } rows[] = {
        {0, 2, 4, 4, {0x05, 0x00, 0x05, 0x02}},
        {0, 2, 4, 3, {}},
        {15, 0x102, 4, 5, {0xF5, 0x0F, 0x00, 0x05, 0x02}},  // the count is cut to 8 bits
        {15, 1, 4, 4, {}},
        {0x1FF, 0, 0, 6, {0xF5, 0xFF, 0x00, 0x01, 0x00}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(Format("id %u, head room %u", r.id, r.headRoom));
        Block b = Own(BlockWith({0x00, 0x05, 0x00, 0x06}, r.headRoom));
        std::fill(b->dataBlock->base, b->readPtr, kUnwritten);
        uint8_t *readPtr = b->readPtr;
        LogCapture log;
        EXPECT_EQ(ulmot_BufferPrependListInfo(b.get(), r.id, r.count, r.length), r.header.empty() ? -1 : 0);
        EXPECT_EQ(DataOf(b.get()), Concat({r.header, {0x00, 0x05, 0x00, 0x06}}));
        EXPECT_EQ(b->readPtr, readPtr - r.header.size());
        EXPECT_TRUE(!r.header.empty() || Unwritten(b->dataBlock->base, readPtr));
        EXPECT_EQ(log.Lines(), r.header.empty() ? std::vector<std::string>{"ulmot_BufferPrependListInfo: Insufficient head space"}
                                                : std::vector<std::string>{});
    }
}

// Calls one fixed-size reader, first with a null output (whose result must be
// the same), then with an output preset to all ones; returns it widened.
enum Reader { kInt8, kInt8At, kInt16, kInt32, kReference };

int32_t Read(Reader r, MessageBlock *b, uint32_t id, uint16_t index, uint32_t *out) {
    uint8_t v8 = 0xFF;
    uint16_t v16 = 0xFFFF;
    uint32_t v32 = 0xFFFFFFFF;
    int32_t rc[2] = {};
    for (int withOutput = 0; withOutput < 2; ++withOutput) {
        uint8_t *p8 = withOutput ? &v8 : nullptr;
        switch (r) {
            case kInt8: rc[withOutput] = ulmot_BufferReadDTPInt8(b, id, p8); break;
            case kInt8At: rc[withOutput] = ulmot_BufferReadDTPInt8WithIndex(b, id, index, p8); break;
            case kInt16: rc[withOutput] = ulmot_BufferReadDTPInt16(b, id, withOutput ? &v16 : nullptr); break;
            case kInt32: rc[withOutput] = ulmot_BufferReadDTPInt32(b, id, withOutput ? &v32 : nullptr); break;
            case kReference: rc[withOutput] = ulmot_BufferReadDTPObjectReference(b, id, index, p8); break;
        }
    }
    EXPECT_EQ(rc[0], rc[1]) << "a null output changes the answer";
    *out = r == kInt16 ? v16 : r == kInt32 ? v32 : v8;
    return rc[1];
}

// A fixed-size reader's row: the value is 0 whenever rc is -8 (the output is zeroed).
struct ReadRow { const char *name; Bytes body, hidden; Reader reader; uint32_t id; uint16_t index; int32_t rc; uint32_t value; };

void ExpectReads(const std::vector<ReadRow> &rows) {
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        OnBothEnds(r.body, r.hidden, [&](MessageBlock *b) {
            uint32_t value = 12345;
            EXPECT_EQ(Read(r.reader, b, r.id, r.index, &value), r.rc);
            EXPECT_EQ(value, r.value);
        });
    }
}

using ItemsScalar = PoolTest;

TEST_F(ItemsScalar, ReadersFindByIdOccurrenceAndType) {
    ExpectReads({
        {"first of two", {0x02, 0, 0, 0, 1, 0x02, 0, 0, 0, 2}, {}, kInt32, 0, 0, 0, 1},
        {"index 0", {0x30, 0x07, 0x31, 0x00, 0x08}, {}, kInt8At, 3, 0, 0, 7},
        {"index 1 is an Int16", {0x30, 0x07, 0x31, 0x00, 0x08}, {}, kInt8At, 3, 1, -8, 0},
        {"occurrences count every type", {0x31, 0x00, 0x01, 0x30, 0x07}, {}, kInt8At, 3, 1, 0, 7},
        {"wrong type ends the search", {0x30, 0x07, 0x31, 0x12, 0x34}, {}, kInt16, 3, 0, -8, 0},
        {"unknown type skipped", {0x19, 0x00, 0x03, 0xAA, 0xBB, 0xCC, 0xF1, 0xFF, 0x00, 0x00}, {}, kInt16, 255, 0, 0, 0},
        {"unknown type by extension", {0x1F, 0x09, 0x00, 0x02, 0xAA, 0xBB, 0x30, 0x07}, {}, kInt8, 3, 0, 0, 7},
        {"type 200, empty", {0x1F, 0xC8, 0x00, 0x00, 0x31, 0x12, 0x34}, {}, kInt16, 3, 0, 0, 0x1234},
        {"type extension", {0x0F, 0x01, 0x00, 0x05}, {}, kInt16, 0, 0, 0, 5},
        {"both extensions", {0xFF, 0xFF, 0x01, 0xFF, 0xFB}, {}, kInt16, 255, 0, 0, 0xFFFB},
        {"id 14 without extension", {0xE1, 0x00, 0x09, 0x0E, 0x00}, {}, kInt16, 14, 0, 0, 9},
        {"time stamp", {0xF2, 0xFE, 0x00, 0x00, 0x03, 0xE8}, {}, kInt32, 254, 0, 0, 1000},
        {"id cut to 8 bits", {0xF1, 0xFF, 0x00, 0x09}, {}, kInt16, 0x1FF, 0, 0, 9},
        {"reference instance", {0x03, 0x08, 0x02}, {}, kReference, 0, 0, 0, 2},
        {"object type not compared", {0x03, 0x08, 0x01, 0x03, 0x08, 0x02, 0x03, 0x09, 0x07}, {}, kReference, 0, 2, 0, 7},
        {"absent index", {0x03, 0x08, 0x01}, {}, kReference, 0, 1, -8, 0},
        {"empty body", {}, {}, kInt8, 0, 0, -8, 0},
        {"length 65535 does not wrap", {0x19, 0xFF, 0xFF, 0xAA, 0x30, 0x07}, {}, kInt8, 3, 0, -8, 0},
        // 3 + 2 + 65535 taken modulo 2^16 would step to the FF at offset 4.
        {"length 65535 does not wrap to 4", {0xFF, 0x00, 0x08, 0xFF, 0xFF, 0x03, 0x00, 0x12}, {}, kInt8, 3, 0, -8, 0},
    });
}

TEST_F(ItemsScalar, ItemsCutByWritePtrAreNotFound) {
    // Each body is cut inside an item; the hidden bytes would complete it.
    ExpectReads({
        {"Int16 value", {0xF1, 0xFF, 0x00}, {0x00}, kInt16, 255, 0, -8, 0},
        {"Int32 value", {0x30, 0x07, 0x02, 0x00, 0x00, 0x01}, {0x02}, kInt32, 0, 0, -8, 0},
        {"reference", {0x03, 0x08}, {0x02}, kReference, 0, 0, -8, 0},
        {"Int8 value", {0x00}, {0x07}, kInt8, 0, 0, -8, 0},
        {"id extension", {0xF1}, {0xFF, 0x00, 0x00}, kInt16, 255, 0, -8, 0},
        {"type extension", {0x0F}, {0x01, 0x00, 0x05}, kInt16, 0, 0, -8, 0},
        {"both extensions", {0xFF, 0xFF}, {0x01, 0x00, 0x05}, kInt16, 255, 0, -8, 0},
        {"length field of a skipped item", {0x19, 0x00}, {0x01, 0xAA, 0x30, 0x07}, kInt8, 3, 0, -8, 0},
        {"skipped item", {0x19, 0x00, 0x02, 0xAA}, {0xBB, 0x30, 0x07}, kInt8, 3, 0, -8, 0},
        {"empty body", {}, {0x30, 0x07}, kInt8, 3, 0, -8, 0},
    });
}

using ItemsVariable = PoolTest;

TEST_F(ItemsVariable, ByteArraysAndStringsWithinTheCapacity) {
    // An Int16 item 1, then two arrays of item 2: "hello" and an empty one.
    ExactBlock b({0x11, 0x00, 0x07, 0x24, 0x00, 0x05, 'h', 'e', 'l', 'l', 'o', 0x24, 0x00, 0x00});
    enum Call { kPeek, kRead, kString };
    const struct { Call call; uint32_t id; uint16_t index, capacity; bool out; int32_t rc; const char *copied; uint16_t length; int offset; } rows[] = {
        {kPeek, 2, 0, 0, true, 0, "#######", 5, 6},
        {kPeek, 2, 1, 0, true, 0, "#######", 0, 14},  // an empty array that ends the body
        {kPeek, 2, 0, 0, false, 0, "#######", 99, -1},
        {kPeek, 2, 2, 0, true, -8, "#######", 99, -1},
        {kPeek, 1, 0, 0, true, -8, "#######", 99, -1},
        {kRead, 2, 0, 4, true, -3, "#######", 5, -1},
        {kRead, 2, 0, 5, true, 0, "hello##", 5, -1},
        {kRead, 2, 0, 5, false, 0, "#######", 5, -1},
        {kRead, 2, 1, 0, true, 0, "#######", 0, -1},
        {kRead, 2, 2, 9, true, -8, "#######", 99, -1},
        {kString, 2, 0, 6, true, 0, "hello\0#", 99, -1},
        {kString, 2, 0, 5, true, -3, "#######", 99, -1},
        {kString, 2, 0, 0, true, -5, "#######", 99, -1},
        {kString, 2, 1, 1, true, 0, "\0######", 99, -1},
        {kString, 2, 0, 6, false, 0, "#######", 99, -1},
        {kString, 2, 3, 6, true, -8, "#######", 99, -1},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(Format("call %d, index %u, capacity %u, output %d", r.call, r.index, r.capacity, r.out));
        char text[8] = "#######";
        uint16_t length = 99;
        const uint8_t *data = nullptr;
        int32_t rc = 0;
        switch (r.call) {
            case kPeek: rc = ulmot_BufferPeekDTPByteArray(b.get(), r.id, r.index, r.out ? &data : nullptr, r.out ? &length : nullptr); break;
            case kRead: rc = ulmot_BufferReadDTPByteArray(b.get(), r.id, r.index, r.out ? text : nullptr, r.capacity, &length); break;
            case kString: rc = ulmot_BufferReadDTPString(b.get(), r.id, r.index, r.out ? text : nullptr, r.capacity); break;
        }
        EXPECT_EQ(rc, r.rc);
        EXPECT_EQ(0, std::memcmp(text, r.copied, 8));
        EXPECT_EQ(length, r.length);
        EXPECT_EQ(data, r.offset < 0 ? nullptr : b.get()->readPtr + r.offset);
    }
    uint8_t text[8];
    EXPECT_EQ(ulmot_BufferReadDTPByteArray(b.get(), 2, 0, text, 8, nullptr), -5);
}

TEST_F(ItemsVariable, ArrayLengthsThatDoNotFitAreRefused) {
    const struct { Bytes body, hidden; int32_t rc; } rows[] = {
        {{0x24, 0x00, 0x0A, 1, 2, 3, 4}, {5, 6, 7, 8, 9, 10}, -4},
        {{0x24, 0x00, 0x05, 'h', 'e', 'l', 'l'}, {'o'}, -4},
        {{0x24, 0xFF, 0xFF, 1}, {}, -4},
        {{0x24, 0x00}, {0x00}, -8},  // the length field itself is cut
        {{0x24}, {0x00, 0x00}, -8},
        {{0x19, 0x00, 0x03, 1, 2}, {3, 0x24, 0x00, 0x00}, -8},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(Hex(r.body));
        OnBothEnds(r.body, r.hidden, [&](MessageBlock *b) {
            const uint8_t *data = nullptr;
            uint16_t length = 99;
            char text[16] = "untouched";
            EXPECT_EQ(ulmot_BufferPeekDTPByteArray(b, 2, 0, &data, &length), r.rc);
            EXPECT_EQ(ulmot_BufferReadDTPByteArray(b, 2, 0, text, 16, &length), r.rc);
            EXPECT_EQ(ulmot_BufferReadDTPString(b, 2, 0, text, 16), r.rc);
            EXPECT_EQ(data, nullptr);
            EXPECT_EQ(length, 99);
            EXPECT_STREQ(text, "untouched");
        });
    }
}

TEST_F(ItemsVariable, TagDataIsTakenOnlyWhenItsLengthsAgree) {
    const struct { const char *name; Bytes body, hidden; int32_t rc; uint8_t headerByte; uint32_t headerWord, bits, dataOffset; } rows[] = {
        {"16 bits", {0x47, 0x00, 0x09, 0x01, 0, 0, 0, 0, 0x00, 0x10, 0xAA, 0xBB}, {}, 0, 1, 0, 16, 10},
        {"header fields", {0x30, 0x01, 0x47, 0x00, 0x08, 0x30, 1, 2, 3, 4, 0x00, 0x08, 0xCC}, {}, 0, 0x30, 0x01020304, 8, 12},
        {"type extension, no bits", {0x4F, 0x07, 0x00, 0x07, 0x02, 0, 0, 0, 9, 0x00, 0x00}, {}, 0, 2, 9, 0, 11},
        {"17 bits in 2 bytes", {0x47, 0x00, 0x09, 0x01, 0, 0, 0, 0, 0x00, 0x11, 0xAA, 0xBB}, {0xCC}, -4, 0, 0, 0, 0},
        {"1 bit in 0 bytes", {0x47, 0x00, 0x07, 0x01, 0, 0, 0, 0, 0x00, 0x01}, {0xCC}, -4, 0, 0, 0, 0},
        {"65535 bits", {0x47, 0x00, 0x09, 0x01, 0, 0, 0, 0, 0xFF, 0xFF, 0xAA, 0xBB}, {}, -4, 0, 0, 0, 0},
        {"65529 bits", {0x47, 0x00, 0x09, 0x01, 0, 0, 0, 0, 0xFF, 0xF9, 0xAA, 0xBB}, {}, -4, 0, 0, 0, 0},
        {"length below 7", {0x47, 0x00, 0x06, 0x01, 0, 0, 0, 0, 0x00}, {0x00}, -4, 0, 0, 0, 0},
        {"length 0", {0x47, 0x00, 0x00}, {0x01, 0, 0, 0, 0, 0, 0}, -4, 0, 0, 0, 0},
        {"length past writePtr", {0x47, 0x00, 0x09, 0x01, 0, 0, 0, 0, 0x00, 0x10, 0xAA}, {0xBB}, -4, 0, 0, 0, 0},
        {"length field cut", {0x47, 0x00}, {0x07, 0x01, 0, 0, 0, 0, 0, 0}, -8, 0, 0, 0, 0},
        {"other type", {0x44, 0x00, 0x07, 0x01, 0, 0, 0, 0, 0x00, 0x00}, {}, -8, 0, 0, 0, 0},
        {"other id", {0x57, 0x00, 0x07, 0x01, 0, 0, 0, 0, 0x00, 0x00}, {}, -8, 0, 0, 0, 0},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        OnBothEnds(r.body, r.hidden, [&](MessageBlock *b) {
            TagReport t{};
            t.pcWord = 0x1234;
            t.dataLength = 99;
            EXPECT_EQ(ulmot_BufferReadDTPTagData(b, 4, 0, &t), r.rc);
            EXPECT_EQ(ulmot_BufferReadDTPTagData(b, 4, 0, nullptr), r.rc);
            EXPECT_EQ(t.tagDataHeaderByte, r.headerByte);
            EXPECT_EQ(t.tagDataHeaderWord, r.headerWord);
            EXPECT_EQ(t.dataLength, r.rc == 0 ? r.bits : 99u);
            EXPECT_EQ(t.data, r.rc == 0 ? b->readPtr + r.dataOffset : nullptr);
            EXPECT_EQ(t.pcWord, 0x1234) << "other fields are left alone";
        });
    }
}

TEST_F(ItemsVariable, ListInt8ElementsCountOnlyInt8ElementsOfTheirList) {
    const Bytes kFiveSix = {0x35, 0x00, 0x05, 0x02, 0x00, 0x05, 0x00, 0x06};
    const struct { const char *name; Bytes body, hidden; uint16_t index; uint8_t element; int32_t rc; uint8_t value; } rows[] = {
        {"element 0", kFiveSix, {}, 0, 0, 0, 5},
        {"element 1", kFiveSix, {}, 0, 1, 0, 6},
        {"element 2", kFiveSix, {}, 0, 2, -8, 0},
        {"second list", Concat({List(3, {I8(0, 5)}), List(3, {I8(0, 9)})}), {}, 1, 0, 0, 9},
        {"no second list", kFiveSix, {}, 1, 0, -8, 0},
        {"element 254 of 255", Concat({{0x35, 0x01, 0xFF, 0xFF}, Repeat(255, [](uint8_t i) { return I8(0, i); })}),
         {}, 0, 254, 0, 254},
        {"only Int8 elements count", List(3, {I16(0, 0x1234), I8(0, 5), I8(0, 6)}), {}, 0, 1, 0, 6},
        {"element ids and extensions", {0x35, 0x00, 0x07, 0x02, 0xFF, 0x2A, 0x00, 0x07, 0x10, 0x08}, {}, 0, 1, 0, 8},
        {"unknown element skipped", List(3, {Sized(1, 9, {0xAA, 0xBB}), I8(0, 5)}), {}, 0, 0, 0, 5},
        {"count not consulted", {0x35, 0x00, 0x05, 0x00, 0x00, 0x05, 0x00, 0x06}, {}, 0, 1, 0, 6},
        {"count larger than the list", {0x35, 0x00, 0x05, 0x09, 0x00, 0x05, 0x00, 0x06}, {0x00, 0x07}, 0, 2, -8, 0},
        {"element after the list", {0x35, 0x00, 0x03, 0x01, 0x00, 0x05, 0x00, 0x06}, {}, 0, 1, -8, 0},
        {"count only", {0x35, 0x00, 0x01, 0x00}, {0x00, 0x05}, 0, 0, -8, 0},
        {"length field cut", {0x35, 0x00}, {0x03, 0x01, 0x00, 0x05}, 0, 0, -8, 0},
        {"not a list", Array(3, {0x01, 0x00, 0x05}), {}, 0, 0, -8, 0},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        OnBothEnds(r.body, r.hidden, [&](MessageBlock *b) {
            uint8_t value = 0xEE;
            EXPECT_EQ(ulmot_BufferReadDTPListInt8(b, 3, r.index, r.element, &value), r.rc);
            EXPECT_EQ(value, r.rc == 0 ? r.value : 0xEE);
            EXPECT_EQ(ulmot_BufferReadDTPListInt8(b, 3, r.index, r.element, nullptr), r.rc);
        });
    }
}

// ---- the tag report walk ----------------------------------------------------

auto Fields(const TagReport &r) {
    return std::make_tuple(r.tagDataHeaderByte, r.tagDataHeaderWord, r.pcWord, r.xpcWord1, r.xpcWord2,
                           static_cast<const void *>(r.data), r.dataLength, r.crc, r.item20, r.item9Instance,
                           r.format, r.item18, r.item10, r.item13, r.item16, r.item6, r.item7, r.item8,
                           r.item14, static_cast<const void *>(r.item22Data), r.item22Length);
}

// Parses `body` (with `hidden` behind writePtr, and again in an exact buffer)
// and compares every field with what `expected` gives for the block.
void ExpectWalk(const Bytes &body, const Bytes &hidden, const std::function<TagReport(const MessageBlock *)> &expected) {
    OnBothEnds(body, hidden, [&](MessageBlock *b) {
        TagReport parsed;
        std::memset(&parsed, 0xAB, sizeof parsed);  // every field must be set by the parse
        ParseTagReportItems(&parsed, b);
        EXPECT_EQ(Fields(parsed), Fields(expected(b)));
    });
}

using ItemsTagReport = PoolTest;

TEST_F(ItemsTagReport, EveryFieldByIdWhateverTheType) {
    // Tag data of 128 bits (PC, EPC, CRC): the data points at the PC, which the tag report handler splits.
    ExpectWalk(Concat({I32(254, 123456), I16(0, 517), Ref(9, 8, 2),
                       Sized(4, 7, {0, 0, 0, 0, 0, 0x00, 0x80, 0x30, 0x00, 0xE2, 0x00, 0x00, 0x17, 0x22, 0x0B, 0x01, 0x23, 0x45, 0x67,
                                    0x89, 0xAB, 0x5C, 0x3A}),
                       I16(10, 0xFFC4), I16(13, 7), I16(14, 2), I16(16, 1000), I16(6, 1), I16(7, 2), I16(8, 3),
                       I32(18, 12345), I8(20, 1), Sized(1, 9, {0x55, 0x66}), Array(22, {0xDE, 0xAD, 0xBE, 0xEF})}),
               {}, [](const MessageBlock *b) {
                   return TagReport{.data = b->readPtr + 22, .dataLength = 128, .item20 = 1, .item9Instance = 2, .format = 517,
                                    .item18 = 12345, .item10 = 0xFFC4, .item13 = 7, .item16 = 1000, .item6 = 1, .item7 = 2,
                                    .item8 = 3, .item14 = 2, .item22Data = b->writePtr - 4, .item22Length = 4};
               });
    // Read by id alone: the first bytes of a wider item, the second byte of id 9, a length and a byte of id 22.
    ExpectWalk({0x02, 0x02, 0x05, 0xFF, 0xFF, 0xF1, 0x14, 0x07, 0x08, 0x91, 0xAB, 0x03,
                0xF2, 0x16, 0x00, 0x01, 0x09, 0xAA, 0x47, 0x00, 0x07, 0x05, 0x01, 0x02, 0x03, 0x04, 0x00, 0x00},
               {}, [](const MessageBlock *b) {
                   return TagReport{.tagDataHeaderByte = 5, .tagDataHeaderWord = 0x01020304, .data = b->writePtr, .item20 = 7,
                                    .item9Instance = 3, .format = 0x0205, .item22Data = b->readPtr + 16, .item22Length = 1};
               });
}

TEST_F(ItemsTagReport, LaterItemsWin) {
    ExpectWalk(Concat({I16(6, 1), I16(0, 1), Sized(4, 7, {0x01, 0, 0, 0, 1, 0x00, 0x10, 0xAA, 0xBB}), I16(6, 2),
                       Sized(4, 7, {0x02, 0, 0, 0, 2, 0x00, 0x08, 0xCC}),
                       Sized(4, 7, {0x03, 0, 0, 0, 3, 0xFF, 0xFF, 0xDD}),  // unsound: the second stays
                       {0x0F, 0xC8, 0x00, 0x00}, I8(20, 4), I8(20, 5)}),   // id 0 of type 200: its value is its length
               {}, [](const MessageBlock *b) {
                   return TagReport{.tagDataHeaderByte = 2, .tagDataHeaderWord = 2, .data = b->readPtr + 31, .dataLength = 8,
                                    .item20 = 5, .format = 0, .item6 = 2};
               });
}

TEST_F(ItemsTagReport, LengthsThatDisagreeAreIgnoredAndTheWalkGoesOn) {
    const Bytes rows[] = {
        {0xF1, 0x16, 0x00, 0x05},                                       // item 22 as Int16: 5 bytes?
        {0x44, 0x00, 0x05, 0x01, 0, 0, 0, 0},                           // shorter than its fields
        {0x44, 0x00, 0x06, 0x01, 0, 0, 0, 0, 0x00},
        {0x44, 0x00, 0x00},
        {0x44, 0x00, 0x07, 0x01, 0, 0, 0, 0, 0x00, 0x01},               // 1 bit, no byte
        {0x44, 0x00, 0x09, 0x01, 0, 0, 0, 0, 0x00, 0x11, 0xAA, 0xBB},   // 17 bits
        {0x44, 0x00, 0x09, 0x01, 0, 0, 0, 0, 0xFF, 0xF9, 0xAA, 0xBB},   // 65529 bits
    };
    for (const Bytes &item : rows) {
        SCOPED_TRACE(Hex(item));
        ExpectWalk(Concat({item, I16(6, 42)}), {}, [](const MessageBlock *) { return TagReport{.item6 = 42}; });
    }
}

TEST_F(ItemsTagReport, AnItemReachingPastWritePtrEndsTheWalk) {
    const struct { const char *name; Bytes item, hidden; } rows[] = {
        {"length 65535", {0x19, 0xFF, 0xFF, 0x71, 0x00, 0x02}, {}},
        {"tag data cut", {0x44, 0x00, 0x09, 0x01, 0, 0, 0, 0, 0x00, 0x10, 0xAA}, {0xBB}},
        {"item 22 cut", {0xF4, 0x16, 0x00, 0x03, 0xAA}, {0xBB, 0xCC}},
        {"Int16 cut", {0x71, 0x00}, {0x02}},
        {"id extension cut", {0xF1}, {0x10, 0x00, 0x02}},
        {"type extension cut", {0x7F}, {0x01, 0x00, 0x02}},
        {"length field cut", {0x19, 0x00}, {0x00, 0x71, 0x00, 0x02}},
        // Sized as Int8, but read wider by id: the read would pass writePtr.
        {"id 18 as Int8", {0xF0, 0x12, 0x05}, {0x00, 0x00, 0x00}},
        {"id 0 as Int8", {0x00, 0x05}, {0x02}},
        {"id 4 as Int8", {0x40, 0x00}, {0x07, 0x01, 0, 0, 0, 0, 0, 0}},
        {"id 9 as Int8", {0x90, 0x08}, {0x02}},
        {"id 0 as Int32 cut", {0x02, 0x02, 0x05}, {0x00, 0x00}},  // readable, not whole
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        ExpectWalk(Concat({I16(6, 1), r.item}), r.hidden, [](const MessageBlock *) { return TagReport{.item6 = 1}; });
    }
}

}  // namespace
