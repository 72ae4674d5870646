// Items: the exact bytes of every writer and its room check, the readers'
// lookups and result codes, and the tag report walk. Bodies are given as
// literal bytes; a reader must never look at or past writePtr.
#include <functional>

#include "items/dtp.h"
#include "support.h"

// Records and rows name only the fields they need; the others are zero.
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
struct ExactBlock {
    explicit ExactBlock(const Bytes &body)
        : bytes(body), data{bytes.data(), bytes.data() + bytes.size(), 1, 0}, block{nullptr, nullptr, data.base, data.limit, &data, 0x80} {}
    Bytes bytes;  // a copy holds exactly its size
    DataBlock data;
    MessageBlock block;
};

// Runs `check` on `body` in a pool block with `hidden` right behind writePtr
// (bytes that would complete a cut item), then in an exact heap buffer.
void OnBothEnds(const Bytes &body, const Bytes &hidden, const std::function<void(MessageBlock *)> &check) {
    Block pooled = Own(BlockWith(Concat({body, hidden})));
    pooled->writePtr -= hidden.size();
    check(pooled.get());
    ExactBlock exact(body);
    check(&exact.block);
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
    const struct { std::string fn; std::function<int32_t(MessageBlock *)> write; std::string item; int32_t rc; } rows[] = {
        {WRITE(ulmot_BufferWriteDTPInt8, 3, 7), "30 07", 0},
        {WRITE(ulmot_BufferWriteDTPInt8, 14, 7), "E0 07", 0},
        {WRITE(ulmot_BufferWriteDTPInt8, 15, 7), "F0 0F 07", 0},
        {WRITE(ulmot_BufferWriteDTPInt8, 0x1FE, 0x1FF), "F0 FE FF", 0},
        {WRITE(ulmot_BufferWriteDTPInt16, 255, uint32_t(-5)), "F1 FF FF FB", 0},
        {WRITE(ulmot_BufferWriteDTPInt16, 14, 0xABCD1234), "E1 12 34", 0},
        {WRITE(ulmot_BufferWriteDTPInt32, 254, 0x01020304), "F2 FE 01 02 03 04", 0},
        {WRITE(ulmot_BufferWriteDTPObjectReference, 200, 0x108, 0x2FF), "F3 C8 08 FF", 0},
        {WRITE(ulmot_BufferWriteDTPByteArray, 2, g_values + 1, 3), "24 00 03 01 02 03", 0},
        {WRITE(ulmot_BufferWriteDTPByteArray, 22, nullptr, 0), "F4 16 00 00", 0},
        {WRITE(ulmot_BufferWriteDTPByteArray, 0, g_values, 0xFFFFFFFD), "", -1},
        {WRITE(ulmot_BufferWriteDTPInt8List, 3, g_values + 5, 2), "35 00 05 02 00 05 00 06", 0},
        {WRITE(ulmot_BufferWriteDTPInt8List, 15, g_values + 5, 1), "F5 0F 00 03 01 00 05", 0},
        {WRITE(ulmot_BufferWriteDTPInt8List, 1, g_values, 255), "15 01 FF FF " + Hex(Repeat(255, [](uint8_t i) { return I8(0, i); })), 0},
        {WRITE(ulmot_BufferWriteDTPInt8List, 3, g_values, 256), "", -5},
        {WRITE(ulmot_BufferWriteDTPInt8List, 3, g_values, 0), "", -5},
        {WRITE(ulmot_BufferWriteDTPInt8List, 3, nullptr, 2), "", -5},
        {WRITE(ulmot_BufferWriteDTPObjectReferenceList, 3, 0x103, g_values + 1, 2), "35 00 07 02 03 03 01 03 03 02", 0},
        {WRITE(ulmot_BufferWriteDTPObjectReferenceList, 20, 9, g_values, 255), "F5 14 02 FE FF " + Hex(Repeat(255, [](uint8_t i) { return Ref(0, 9, i); })), 0},
        {WRITE(ulmot_BufferWriteDTPObjectReferenceList, 3, 1, g_values, 0), "", -5},
        {WRITE(ulmot_BufferWriteDTPObjectReferenceList, 3, 1, nullptr, 2), "", -5},
        // Flags come first among the arguments and after the filter word on the wire.
        {WRITE(ulmot_BufferWriteDTPTagFilter, 16, 0x5A, 0x01, 0x11223344, 9, 1, kAABB, kFF), "F6 10 00 0D 01 11 22 33 44 5A 00 09 00 01 AA BB FF", 0},
        {WRITE(ulmot_BufferWriteDTPTagFilter, 1, 3, 7, 0, 0, 0, nullptr, nullptr), "16 00 0A 07 00 00 00 00 03 00 00 00 00", 0},
        {WRITE(ulmot_BufferWriteDTPTagFilter, 0, 0, 0, 0, 0xFFFF, 0xFFFF, g_values, g_values), "", -1},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.fn + " " + r.item);
        const uint32_t size = static_cast<uint32_t>(r.item.size() + 1) / 3;
        for (uint32_t extra = 0; size > 0 && extra <= 2; extra += 2) {  // exactly enough room, then more: nothing written past the item
            Block fits = WithTailRoom(size + extra);
            EXPECT_EQ(r.write(fits.get()), 0);
            EXPECT_EQ(Hex(DataOf(fits.get())), "EE " + r.item);
            EXPECT_TRUE(fits->writePtr == fits->dataBlock->limit - extra && Unwritten(fits->writePtr, fits->dataBlock->limit));
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
    // "result: data" after the call, on two Int8 elements with that much head room.
    const struct { uint32_t id, count, length, headRoom; const char *expected; } rows[] = {
        {0, 2, 4, 4, "0: 05 00 05 02 00 05 00 06"},
        {0, 2, 4, 3, "-1: 00 05 00 06"},
        {15, 0x102, 4, 5, "0: F5 0F 00 05 02 00 05 00 06"},  // the count is cut to 8 bits
        {15, 1, 4, 4, "-1: 00 05 00 06"},
        {0x1FF, 0, 0, 6, "0: F5 FF 00 01 00 00 05 00 06"},
    };
    for (const auto &r : rows) {
        Block b = Own(BlockWith({0x00, 0x05, 0x00, 0x06}, r.headRoom));
        LogCapture log;
        const int32_t rc = ulmot_BufferPrependListInfo(b.get(), r.id, r.count, r.length);
        EXPECT_EQ(Format("%d: %s", rc, Hex(DataOf(b.get())).c_str()), r.expected);
        EXPECT_EQ(log.Lines(), rc ? std::vector<std::string>{"ulmot_BufferPrependListInfo: Insufficient head space"} : std::vector<std::string>{});
    }
}

// A reader's call on block `b`, rendered as text: result codes and outputs.
using Render = std::function<std::string(MessageBlock *)>;

// What a reader gives for a body (and the same body cut by writePtr, with
// `hidden` bytes behind it; then in an exact heap buffer).
struct Row { const char *name; Bytes body, hidden; std::string expected; Render read = nullptr; };

void ExpectRows(const std::vector<Row> &rows, const Render &read = nullptr) {
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        OnBothEnds(r.body, r.hidden, [&](MessageBlock *b) { EXPECT_EQ((r.read ? r.read : read)(b), r.expected); });
    }
}

// A fixed-size reader: "result with a null output, result, value" (the
// output is preset to all ones, and zeroed when the item is not found).
#define FIXED(T, fn, ...)                                                                \
    [](MessageBlock *b) {                                                                \
        T v = T(~0u);                                                                    \
        const int32_t asked = fn(b, __VA_ARGS__, nullptr), rc = fn(b, __VA_ARGS__, &v); \
        return Format("%d %d %u", asked, rc, unsigned(v));                               \
    }

using ItemsScalar = PoolTest;

TEST_F(ItemsScalar, ReadersFindByIdOccurrenceAndType) {
    ExpectRows({
        {"first of two", {0x02, 0, 0, 0, 1, 0x02, 0, 0, 0, 2}, {}, "0 0 1", FIXED(uint32_t, ulmot_BufferReadDTPInt32, 0)},
        {"index 0", {0x30, 0x07, 0x31, 0x00, 0x08}, {}, "0 0 7", FIXED(uint8_t, ulmot_BufferReadDTPInt8WithIndex, 3, 0)},
        {"index 1 is an Int16", {0x30, 0x07, 0x31, 0x00, 0x08}, {}, "-8 -8 0", FIXED(uint8_t, ulmot_BufferReadDTPInt8WithIndex, 3, 1)},
        {"occurrences count every type", {0x31, 0x00, 0x01, 0x30, 0x07}, {}, "0 0 7", FIXED(uint8_t, ulmot_BufferReadDTPInt8WithIndex, 3, 1)},
        {"wrong type ends the search", {0x30, 0x07, 0x31, 0x12, 0x34}, {}, "-8 -8 0", FIXED(uint16_t, ulmot_BufferReadDTPInt16, 3)},
        {"unknown type skipped", {0x19, 0x00, 0x03, 0xAA, 0xBB, 0xCC, 0xF1, 0xFF, 0x00, 0x00}, {}, "0 0 0", FIXED(uint16_t, ulmot_BufferReadDTPInt16, 255)},
        {"unknown type by extension", {0x1F, 0x09, 0x00, 0x02, 0xAA, 0xBB, 0x30, 0x07}, {}, "0 0 7", FIXED(uint8_t, ulmot_BufferReadDTPInt8, 3)},
        {"type 200, empty", {0x1F, 0xC8, 0x00, 0x00, 0x31, 0x12, 0x34}, {}, "0 0 4660", FIXED(uint16_t, ulmot_BufferReadDTPInt16, 3)},
        {"type extension", {0x0F, 0x01, 0x00, 0x05}, {}, "0 0 5", FIXED(uint16_t, ulmot_BufferReadDTPInt16, 0)},
        {"both extensions", {0xFF, 0xFF, 0x01, 0xFF, 0xFB}, {}, "0 0 65531", FIXED(uint16_t, ulmot_BufferReadDTPInt16, 255)},
        {"id 14 without extension", {0xE1, 0x00, 0x09, 0x0E, 0x00}, {}, "0 0 9", FIXED(uint16_t, ulmot_BufferReadDTPInt16, 14)},
        {"id cut to 8 bits", {0xF1, 0xFF, 0x00, 0x09}, {}, "0 0 9", FIXED(uint16_t, ulmot_BufferReadDTPInt16, 0x1FF)},
        {"reference instance", {0x03, 0x08, 0x02}, {}, "0 0 2", FIXED(uint8_t, ulmot_BufferReadDTPObjectReference, 0, 0)},
        {"object type not compared", {0x03, 0x08, 0x01, 0x03, 0x08, 0x02, 0x03, 0x09, 0x07}, {}, "0 0 7", FIXED(uint8_t, ulmot_BufferReadDTPObjectReference, 0, 2)},
        {"absent index", {0x03, 0x08, 0x01}, {}, "-8 -8 0", FIXED(uint8_t, ulmot_BufferReadDTPObjectReference, 0, 1)},
        {"length 65535 does not wrap", {0x19, 0xFF, 0xFF, 0xAA, 0x30, 0x07}, {}, "-8 -8 0", FIXED(uint8_t, ulmot_BufferReadDTPInt8, 3)},
        // 3 + 2 + 65535 taken modulo 2^16 would step to the FF at offset 4.
        {"length 65535 does not wrap to 4", {0xFF, 0x00, 0x08, 0xFF, 0xFF, 0x03, 0x00, 0x12}, {}, "-8 -8 0", FIXED(uint8_t, ulmot_BufferReadDTPInt8, 3)},
    });
}

TEST_F(ItemsScalar, ItemsCutByWritePtrAreNotFound) {
    // Each body is cut inside an item; the hidden bytes would complete it.
    ExpectRows({
        {"Int16 value", {0xF1, 0xFF, 0x00}, {0x00}, "-8 -8 0", FIXED(uint16_t, ulmot_BufferReadDTPInt16, 255)},
        {"Int32 value", {0x30, 0x07, 0x02, 0x00, 0x00, 0x01}, {0x02}, "-8 -8 0", FIXED(uint32_t, ulmot_BufferReadDTPInt32, 0)},
        {"reference", {0x03, 0x08}, {0x02}, "-8 -8 0", FIXED(uint8_t, ulmot_BufferReadDTPObjectReference, 0, 0)},
        {"Int8 value", {0x00}, {0x07}, "-8 -8 0", FIXED(uint8_t, ulmot_BufferReadDTPInt8, 0)},
        {"id extension", {0xF1}, {0xFF, 0x00, 0x00}, "-8 -8 0", FIXED(uint16_t, ulmot_BufferReadDTPInt16, 255)},
        {"type extension", {0x0F}, {0x01, 0x00, 0x05}, "-8 -8 0", FIXED(uint16_t, ulmot_BufferReadDTPInt16, 0)},
        {"both extensions", {0xFF, 0xFF}, {0x01, 0x00, 0x05}, "-8 -8 0", FIXED(uint16_t, ulmot_BufferReadDTPInt16, 255)},
        {"length field of a skipped item", {0x19, 0x00}, {0x01, 0xAA, 0x30, 0x07}, "-8 -8 0", FIXED(uint8_t, ulmot_BufferReadDTPInt8, 3)},
        {"skipped item", {0x19, 0x00, 0x02, 0xAA}, {0xBB, 0x30, 0x07}, "-8 -8 0", FIXED(uint8_t, ulmot_BufferReadDTPInt8, 3)},
        {"empty body", {}, {0x30, 0x07}, "-8 -8 0", FIXED(uint8_t, ulmot_BufferReadDTPInt8, 3)},
    });
}

// The three byte array readers on the index-th item 2, each given every
// output: "peek: result, length, offset of the data from readPtr | read:
// result, length, data | string: result, text", with | for a terminator and
// # for what was left untouched; after each the result with null outputs.
Render ByteArray(uint16_t index, uint16_t capacity) {
    return [=](MessageBlock *b) {
        const uint8_t *data = nullptr;
        uint16_t length[2] = {99, 99};
        char text[2][8] = {"#######", "#######"};
        const int32_t rc[] = {ulmot_BufferPeekDTPByteArray(b, 2, index, &data, &length[0]), ulmot_BufferPeekDTPByteArray(b, 2, index, nullptr, nullptr),
                              ulmot_BufferReadDTPByteArray(b, 2, index, text[0], capacity, &length[1]),
                              ulmot_BufferReadDTPByteArray(b, 2, index, nullptr, capacity, &length[1]),
                              ulmot_BufferReadDTPString(b, 2, index, text[1], capacity), ulmot_BufferReadDTPString(b, 2, index, nullptr, capacity)};
        std::replace(text[0], text[0] + 14, '\0', '|');
        return Format("%d %u %ld %d | %d %u %s %d | %d %s %d", rc[0], length[0], data ? data - b->readPtr : -1, rc[1], rc[2], length[1],
                      std::string(text[0], 7).c_str(), rc[3], rc[4], std::string(text[1], 7).c_str(), rc[5]);
    };
}

using ItemsVariable = PoolTest;

TEST_F(ItemsVariable, ByteArraysAndStringsWithinTheCapacity) {
    // An Int16 item 1, then two arrays of item 2: "hello" and an empty one. A string's capacity counts its terminator.
    const Bytes kHello = {0x11, 0x00, 0x07, 0x24, 0x00, 0x05, 'h', 'e', 'l', 'l', 'o', 0x24, 0x00, 0x00};
    ExpectRows({
        {"one byte short", kHello, {}, "0 5 6 0 | -3 5 ####### -3 | -3 ####### -3", ByteArray(0, 4)},
        {"an array exactly, a string one byte short", kHello, {}, "0 5 6 0 | 0 5 hello## 0 | -3 ####### -3", ByteArray(0, 5)},
        {"a string exactly", kHello, {}, "0 5 6 0 | 0 5 hello## 0 | 0 hello|# 0", ByteArray(0, 6)},
        {"an empty array that ends the body", kHello, {}, "0 0 14 0 | 0 0 ####### 0 | -5 ####### -5", ByteArray(1, 0)},
        {"an empty string", kHello, {}, "0 0 14 0 | 0 0 ####### 0 | 0 |###### 0", ByteArray(1, 1)},
        {"past the last", kHello, {}, "-8 99 -1 -8 | -8 99 ####### -8 | -8 ####### -8", ByteArray(2, 9)},
        {"an Int16 is no array", {0x11, 0x00, 0x07}, {}, "-8 99 -1 -8 | -8 99 ####### -8 | -8 ####### -8", ByteArray(0, 9)},
    });
    ExactBlock b(kHello);
    EXPECT_EQ(ulmot_BufferReadDTPByteArray(&b.block, 2, 0, nullptr, 8, nullptr), -5) << "the length is required";
}

TEST_F(ItemsVariable, ArrayLengthsThatDoNotFitAreRefused) {
    const std::string kRefused = "-4 99 -1 -4 | -4 99 ####### -4 | -4 ####### -4", kNotFound = "-8 99 -1 -8 | -8 99 ####### -8 | -8 ####### -8";
    ExpectRows({
        {"10 bytes, 4 there", {0x24, 0x00, 0x0A, 1, 2, 3, 4}, {5, 6, 7, 8, 9, 10}, kRefused},
        {"one byte short", {0x24, 0x00, 0x05, 'h', 'e', 'l', 'l'}, {'o'}, kRefused},
        {"65535 bytes", {0x24, 0xFF, 0xFF, 1}, {}, kRefused},
        {"length field cut", {0x24, 0x00}, {0x00}, kNotFound},
        {"header only", {0x24}, {0x00, 0x00}, kNotFound},
        {"behind a cut item", {0x19, 0x00, 0x03, 1, 2}, {3, 0x24, 0x00, 0x00}, kNotFound},
    }, ByteArray(0, 7));
}

TEST_F(ItemsVariable, TagDataIsTakenOnlyWhenItsLengthsAgree) {
    // "result, result with a null record: header byte, header word, bit count, data offset"; a
    // record that was not written keeps 99 bits and no data, and its PC word always.
    const Render read = [](MessageBlock *b) {
        TagReport t{.pcWord = 0x1234, .dataLength = 99};
        const int32_t rc = ulmot_BufferReadDTPTagData(b, 4, 0, &t);
        return Format("%d %d: %u %X %u %ld %X", rc, ulmot_BufferReadDTPTagData(b, 4, 0, nullptr), t.tagDataHeaderByte, t.tagDataHeaderWord,
                      t.dataLength, t.data ? t.data - b->readPtr : -1, t.pcWord);
    };
    ExpectRows({
        {"16 bits", {0x47, 0x00, 0x09, 0x01, 0, 0, 0, 0, 0x00, 0x10, 0xAA, 0xBB}, {}, "0 0: 1 0 16 10 1234"},
        {"header fields", {0x30, 0x01, 0x47, 0x00, 0x08, 0x30, 1, 2, 3, 4, 0x00, 0x08, 0xCC}, {}, "0 0: 48 1020304 8 12 1234"},
        {"type extension, no bits", {0x4F, 0x07, 0x00, 0x07, 0x02, 0, 0, 0, 9, 0x00, 0x00}, {}, "0 0: 2 9 0 11 1234"},
        {"17 bits in 2 bytes", {0x47, 0x00, 0x09, 0x01, 0, 0, 0, 0, 0x00, 0x11, 0xAA, 0xBB}, {0xCC}, "-4 -4: 0 0 99 -1 1234"},
        {"1 bit in 0 bytes", {0x47, 0x00, 0x07, 0x01, 0, 0, 0, 0, 0x00, 0x01}, {0xCC}, "-4 -4: 0 0 99 -1 1234"},
        {"65535 bits", {0x47, 0x00, 0x09, 0x01, 0, 0, 0, 0, 0xFF, 0xFF, 0xAA, 0xBB}, {}, "-4 -4: 0 0 99 -1 1234"},
        {"length below 7", {0x47, 0x00, 0x06, 0x01, 0, 0, 0, 0, 0x00}, {0x00}, "-4 -4: 0 0 99 -1 1234"},
        {"length 0", {0x47, 0x00, 0x00}, {0x01, 0, 0, 0, 0, 0, 0}, "-4 -4: 0 0 99 -1 1234"},
        {"length past writePtr", {0x47, 0x00, 0x09, 0x01, 0, 0, 0, 0, 0x00, 0x10, 0xAA}, {0xBB}, "-4 -4: 0 0 99 -1 1234"},
        {"length field cut", {0x47, 0x00}, {0x07, 0x01, 0, 0, 0, 0, 0, 0}, "-8 -8: 0 0 99 -1 1234"},
        {"other type", {0x44, 0x00, 0x07, 0x01, 0, 0, 0, 0, 0x00, 0x00}, {}, "-8 -8: 0 0 99 -1 1234"},
        {"other id", {0x57, 0x00, 0x07, 0x01, 0, 0, 0, 0, 0x00, 0x00}, {}, "-8 -8: 0 0 99 -1 1234"},
    }, read);
}

// The element-th Int8 element of the index-th list of item 3: "result value,
// result with a null output" (the value stays 238 when not found).
Render ListInt8(uint16_t index, uint8_t element) {
    return [=](MessageBlock *b) {
        uint8_t v = 0xEE;
        const int32_t rc = ulmot_BufferReadDTPListInt8(b, 3, index, element, &v);
        return Format("%d %u %d", rc, v, ulmot_BufferReadDTPListInt8(b, 3, index, element, nullptr));
    };
}

TEST_F(ItemsVariable, ListInt8ElementsCountOnlyInt8ElementsOfTheirList) {
    const Bytes kFiveSix = {0x35, 0x00, 0x05, 0x02, 0x00, 0x05, 0x00, 0x06};
    ExpectRows({
        {"element 0", kFiveSix, {}, "0 5 0", ListInt8(0, 0)},
        {"element 1", kFiveSix, {}, "0 6 0", ListInt8(0, 1)},
        {"element 2", kFiveSix, {}, "-8 238 -8", ListInt8(0, 2)},
        {"no second list", kFiveSix, {}, "-8 238 -8", ListInt8(1, 0)},
        {"second list", Concat({List(3, {I8(0, 5)}), List(3, {I8(0, 9)})}), {}, "0 9 0", ListInt8(1, 0)},
        {"element 254 of 255", Concat({{0x35, 0x01, 0xFF, 0xFF}, Repeat(255, [](uint8_t i) { return I8(0, i); })}), {}, "0 254 0", ListInt8(0, 254)},
        {"only Int8 elements count", List(3, {I16(0, 0x1234), I8(0, 5), I8(0, 6)}), {}, "0 6 0", ListInt8(0, 1)},
        {"element ids and extensions", {0x35, 0x00, 0x07, 0x02, 0xFF, 0x2A, 0x00, 0x07, 0x10, 0x08}, {}, "0 8 0", ListInt8(0, 1)},
        {"unknown element skipped", List(3, {Sized(1, 9, {0xAA, 0xBB}), I8(0, 5)}), {}, "0 5 0", ListInt8(0, 0)},
        {"count not consulted", {0x35, 0x00, 0x05, 0x00, 0x00, 0x05, 0x00, 0x06}, {}, "0 6 0", ListInt8(0, 1)},
        {"count larger than the list", {0x35, 0x00, 0x05, 0x09, 0x00, 0x05, 0x00, 0x06}, {0x00, 0x07}, "-8 238 -8", ListInt8(0, 2)},
        {"element after the list", {0x35, 0x00, 0x03, 0x01, 0x00, 0x05, 0x00, 0x06}, {}, "-8 238 -8", ListInt8(0, 1)},
        {"count only", {0x35, 0x00, 0x01, 0x00}, {0x00, 0x05}, "-8 238 -8", ListInt8(0, 0)},
        {"an element's length cut at the list's end", {0x35, 0x00, 0x03, 0x01, 0x19, 0x00}, {0x02, 0x00, 0x05}, "-8 238 -8", ListInt8(0, 0)},
        {"an element's value past the list's end, read up to writePtr", {0x35, 0x00, 0x02, 0x01, 0x00, 0x07}, {}, "0 7 0", ListInt8(0, 0)},
        {"an element's value past writePtr", {0x35, 0x00, 0x02, 0x01, 0x00}, {0x07}, "-8 238 -8", ListInt8(0, 0)},
        {"length field cut", {0x35, 0x00}, {0x03, 0x01, 0x00, 0x05}, "-8 238 -8", ListInt8(0, 0)},
        {"not a list", Array(3, {0x01, 0x00, 0x05}), {}, "-8 238 -8", ListInt8(0, 0)},
    });
}

// ---- the tag report walk ----------------------------------------------------

// The fields of the report parsed from `b` that are not 0 (pointers as
// offsets from readPtr); a field the parse left unset shows its 0xAB bytes.
std::string Walk(MessageBlock *b) {
    TagReport r;
    std::memset(&r, 0xAB, sizeof r);
    ParseTagReportItems(&r, b);
    std::string s;
    auto put = [&](const char *name, long v) { s += v ? Format(" %s=%ld", name, v) : ""; };
    auto at = [&](const char *name, const uint8_t *p) { s += p ? Format(" %s@%ld", name, p - b->readPtr) : ""; };
    put("byte", r.tagDataHeaderByte), put("word", r.tagDataHeaderWord), put("pc", r.pcWord), put("xpc1", r.xpcWord1), put("xpc2", r.xpcWord2);
    at("data", r.data), put("bits", r.dataLength), put("crc", r.crc), put("item20", r.item20), put("instance", r.item9Instance);
    put("format", r.format), put("item18", r.item18), put("item10", r.item10), put("item13", r.item13), put("item16", r.item16);
    put("item6", r.item6), put("item7", r.item7), put("item8", r.item8), put("item14", r.item14), at("item22", r.item22Data);
    put("item22Length", r.item22Length);
    return s;
}

using ItemsTagReport = PoolTest;

TEST_F(ItemsTagReport, EveryFieldByIdWhateverTheType) {
    ExpectRows({
        // Tag data of 128 bits (PC, EPC, CRC): the data points at the PC, which the tag report handler splits.
        {"every field", Concat({I32(254, 123456), I16(0, 517), Ref(9, 8, 2),
                                Sized(4, 7, {0, 0, 0, 0, 0, 0x00, 0x80, 0x30, 0x00, 0xE2, 0x00, 0x00, 0x17, 0x22, 0x0B, 0x01, 0x23, 0x45, 0x67, 0x89,
                                             0xAB, 0x5C, 0x3A}),
                                I16(10, 0xFFC4), I16(13, 7), I16(14, 2), I16(16, 1000), I16(6, 1), I16(7, 2), I16(8, 3), I32(18, 12345),
                                I8(20, 1), Sized(1, 9, {0x55, 0x66}), Array(22, {0xDE, 0xAD, 0xBE, 0xEF})}),
         {}, " data@22 bits=128 item20=1 instance=2 format=517 item18=12345 item10=65476 item13=7 item16=1000 item6=1 item7=2 item8=3 item14=2"
         " item22@78 item22Length=4"},
        // By id alone: the first bytes of a wider item, the second byte of id 9, a length and a byte of id 22.
        {"an Int32 at the end", Concat({I16(6, 1), I32(18, 7)}), {}, " item18=7 item6=1"},
        {"by id", {0x02, 0x02, 0x05, 0xFF, 0xFF, 0xF1, 0x14, 0x07, 0x08, 0x91, 0xAB, 0x03, 0xF2, 0x16, 0x00, 0x01, 0x09, 0xAA,
                   0x47, 0x00, 0x07, 0x05, 0x01, 0x02, 0x03, 0x04, 0x00, 0x00},
         {}, " byte=5 word=16909060 data@28 item20=7 instance=3 format=517 item22@16 item22Length=1"},
    }, Walk);
}

TEST_F(ItemsTagReport, LaterItemsWin) {
    ExpectRows({{"later items", Concat({I16(6, 1), I16(0, 1), Sized(4, 7, {0x01, 0, 0, 0, 1, 0x00, 0x10, 0xAA, 0xBB}), I16(6, 2),
                                        Sized(4, 7, {0x02, 0, 0, 0, 2, 0x00, 0x08, 0xCC}),
                                        Sized(4, 7, {0x03, 0, 0, 0, 3, 0xFF, 0xFF, 0xDD}),  // unsound: the second stays
                                        {0x0F, 0xC8, 0x00, 0x00}, I8(20, 4), I8(20, 5)}),  // id 0 of type 200: its value is its length
                 {}, " byte=2 word=2 data@31 bits=8 item20=5 item6=2"}}, Walk);
}

TEST_F(ItemsTagReport, LengthsThatDisagreeAreIgnoredAndTheWalkGoesOn) {
    const Bytes kItem6 = I16(6, 42);
    ExpectRows({
        {"item 22 as Int16: 5 bytes?", Concat({{0xF1, 0x16, 0x00, 0x05}, kItem6}), {}, " item6=42"},
        {"tag data shorter than its fields", Concat({{0x44, 0x00, 0x05, 0x01, 0, 0, 0, 0}, kItem6}), {}, " item6=42"},
        {"tag data of length 0", Concat({{0x44, 0x00, 0x00}, kItem6}), {}, " item6=42"},
        {"17 bits in 2 bytes", Concat({{0x44, 0x00, 0x09, 0x01, 0, 0, 0, 0, 0x00, 0x11, 0xAA, 0xBB}, kItem6}), {}, " item6=42"},
    }, Walk);
}

TEST_F(ItemsTagReport, AnItemReachingPastWritePtrEndsTheWalk) {
    const Bytes kItem6 = I16(6, 1);
    ExpectRows({
        {"length 65535", Concat({kItem6, {0x19, 0xFF, 0xFF, 0x71, 0x00, 0x02}}), {}, " item6=1"},
        {"tag data cut", Concat({kItem6, {0x44, 0x00, 0x09, 0x01, 0, 0, 0, 0, 0x00, 0x10, 0xAA}}), {0xBB}, " item6=1"},
        {"item 22 cut", Concat({kItem6, {0xF4, 0x16, 0x00, 0x03, 0xAA}}), {0xBB, 0xCC}, " item6=1"},
        {"Int16 cut", Concat({kItem6, {0x71, 0x00}}), {0x02}, " item6=1"},
        {"id extension cut", Concat({kItem6, {0xF1}}), {0x10, 0x00, 0x02}, " item6=1"},
        {"type extension cut", Concat({kItem6, {0x7F}}), {0x01, 0x00, 0x02}, " item6=1"},
        {"length field cut", Concat({kItem6, {0x19, 0x00}}), {0x00, 0x71, 0x00, 0x02}, " item6=1"},
        // Sized as Int8, but read wider by id: the read would pass writePtr (every such id below).
        {"id 4 as Int8, tag data hidden", Concat({kItem6, {0x40, 0x00}}), {0x07, 0x01, 0, 0, 0, 0, 0, 0}, " item6=1"},
        {"id 0 as Int32, readable but not whole", Concat({kItem6, {0x02, 0x02, 0x05}}), {0x00, 0x00}, " item6=1"},
        {"id 18 as an array of one byte", Concat({kItem6, {0xF4, 0x12, 0x00, 0x01, 0xAA}}), {0xBB}, " item6=1"},
    }, Walk);
    for (uint8_t id : {0, 4, 6, 7, 8, 9, 10, 13, 14, 16, 18, 22}) {  // every id the walk reads, sized as an Int8
        ExpectRows({{"read wider than an Int8", Concat({kItem6, I8(id, 0x05)}), {0x02, 0x03, 0x04}, " item6=1"}}, Walk);
    }
}

}  // namespace
