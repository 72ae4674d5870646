// Fixed-size items: exact bytes of the writers, their room checks and lines,
// and the lookup behind the readers (ids, occurrences, types, truncation).
#include <functional>

#include "items_support.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using namespace ulmot::test;

using ItemsScalar = PoolTest;

using Writer = std::function<int32_t(MessageBlock *, uint32_t id)>;

const Writer kInt8 = [](MessageBlock *b, uint32_t id) { return ulmot_BufferWriteDTPInt8(b, id, 7); };
const Writer kInt16 = [](MessageBlock *b, uint32_t id) { return ulmot_BufferWriteDTPInt16(b, id, 7); };
const Writer kInt32 = [](MessageBlock *b, uint32_t id) { return ulmot_BufferWriteDTPInt32(b, id, 7); };
const Writer kReference = [](MessageBlock *b, uint32_t id) {
    return ulmot_BufferWriteDTPObjectReference(b, id, 8, 2);
};

TEST_F(ItemsScalar, WritersAppendExactBytes) {
    struct Case {
        const char *what;
        std::function<int32_t(MessageBlock *)> write;
        Bytes item;
    };
    const Case cases[] = {
        {"result 0", [](MessageBlock *b) { return ulmot_BufferWriteDTPInt16(b, 255, 0); }, {0xF1, 0xFF, 0x00, 0x00}},
        {"result -5", [](MessageBlock *b) { return ulmot_BufferWriteDTPInt16(b, 255, uint32_t(-5)); }, {0xF1, 0xFF, 0xFF, 0xFB}},
        {"Int16 id 14", [](MessageBlock *b) { return ulmot_BufferWriteDTPInt16(b, 14, 0x0102); }, {0xE1, 0x01, 0x02}},
        {"Int16 cut to 16 bits", [](MessageBlock *b) { return ulmot_BufferWriteDTPInt16(b, 1, 0xABCD1234); }, {0x11, 0x12, 0x34}},
        {"Int8 id 3", [](MessageBlock *b) { return ulmot_BufferWriteDTPInt8(b, 3, 7); }, {0x30, 0x07}},
        {"Int8 id 15", [](MessageBlock *b) { return ulmot_BufferWriteDTPInt8(b, 15, 7); }, {0xF0, 0x0F, 0x07}},
        {"Int8 id and value cut", [](MessageBlock *b) { return ulmot_BufferWriteDTPInt8(b, 0x1FE, 0x1FF); }, {0xF0, 0xFE, 0xFF}},
        {"id 0x10E is 14", [](MessageBlock *b) { return ulmot_BufferWriteDTPInt8(b, 0x10E, 1); }, {0xE0, 0x01}},
        {"Int32 258", [](MessageBlock *b) { return ulmot_BufferWriteDTPInt32(b, 0, 258); }, {0x02, 0x00, 0x00, 0x01, 0x02}},
        {"timestamp", [](MessageBlock *b) { return ulmot_BufferWriteDTPInt32(b, 254, 1000); }, {0xF2, 0xFE, 0x00, 0x00, 0x03, 0xE8}},
        {"reference", [](MessageBlock *b) { return ulmot_BufferWriteDTPObjectReference(b, 0, 8, 2); }, {0x03, 0x08, 0x02}},
        {"reference cut", [](MessageBlock *b) { return ulmot_BufferWriteDTPObjectReference(b, 200, 0x108, 0x2FF); }, {0xF3, 0xC8, 0x08, 0xFF}},
    };
    for (const Case &c : cases) {
        Block b = Own(BlockWith({0xAA}));
        EXPECT_EQ(c.write(b.get()), 0) << c.what;
        Bytes expected{0xAA};
        expected.insert(expected.end(), c.item.begin(), c.item.end());
        EXPECT_EQ(DataOf(b.get()), expected) << c.what;
    }
}

TEST_F(ItemsScalar, IdExtensionNeedsOneMoreByteOfRoom) {
    struct Case {
        Writer write;
        uint32_t shortSize;  // the item's size with an id below 15
        const char *line;
    };
    const Case cases[] = {
        {kInt8, 2, "ulmot_BufferWriteDTPInt8: Insufficient tail space"},
        {kInt16, 3, "ulmot_BufferWriteDTPInt16: Insufficient tail space"},
        {kInt32, 5, "ulmot_BufferWriteDTPInt32: Insufficient tail space"},
        {kReference, 3, "ulmot_BufferWriteDTPObjectReference: Insufficient tail space"},
    };
    for (const Case &c : cases) {
        Block fits = WithTailRoom(c.shortSize);
        EXPECT_EQ(c.write(fits.get(), 14), 0) << c.line;
        EXPECT_EQ(fits->writePtr, fits->dataBlock->limit) << c.line;

        Block full = WithTailRoom(c.shortSize);
        uint8_t *before = full->writePtr;
        CaptureStderr();
        EXPECT_EQ(c.write(full.get(), 15), -1) << c.line;
        EXPECT_EQ(DebugMessage(GetCapturedStderr()), c.line);
        EXPECT_EQ(full->writePtr, before) << c.line;
        EXPECT_TRUE(TailUnwritten(full.get())) << c.line;

        Block extended = WithTailRoom(c.shortSize + 1);
        EXPECT_EQ(c.write(extended.get(), 15), 0) << c.line;
        EXPECT_EQ(extended->writePtr, extended->dataBlock->limit) << c.line;
    }
}

// Calls one reader with its output preset to all ones; returns the output
// widened, so that "zeroed" and "untouched" are told apart.
enum class Reader { Int8, Int8At, Int16, Int32, Reference };

int32_t Read(Reader r, MessageBlock *b, uint32_t id, uint16_t index, uint32_t *out) {
    uint8_t v8 = 0xFF;
    uint16_t v16 = 0xFFFF;
    uint32_t v32 = 0xFFFFFFFF;
    int32_t rc = 0;
    switch (r) {
        case Reader::Int8: rc = ulmot_BufferReadDTPInt8(b, id, &v8); *out = v8; break;
        case Reader::Int8At: rc = ulmot_BufferReadDTPInt8WithIndex(b, id, index, &v8); *out = v8; break;
        case Reader::Int16: rc = ulmot_BufferReadDTPInt16(b, id, &v16); *out = v16; break;
        case Reader::Int32: rc = ulmot_BufferReadDTPInt32(b, id, &v32); *out = v32; break;
        case Reader::Reference: rc = ulmot_BufferReadDTPObjectReference(b, id, index, &v8); *out = v8; break;
    }
    return rc;
}

struct ReadCase {
    const char *what;
    Bytes body;
    Reader reader;
    uint32_t id;
    uint16_t index;
    int32_t rc;
    uint32_t value;  // 0 whenever rc is -8
};

TEST_F(ItemsScalar, ReadersFindByIdOccurrenceAndType) {
    const ReadCase cases[] = {
        {"first of two Int32", {0x02, 0, 0, 0, 1, 0x02, 0, 0, 0, 2}, Reader::Int32, 0, 0, 0, 1},
        {"index 1 is an Int16", {0x30, 0x07, 0x31, 0x00, 0x08}, Reader::Int8At, 3, 1, -8, 0},
        {"index 0", {0x30, 0x07, 0x31, 0x00, 0x08}, Reader::Int8At, 3, 0, 0, 7},
        {"occurrences count every type", {0x31, 0x00, 0x01, 0x30, 0x07}, Reader::Int8At, 3, 1, 0, 7},
        {"wrong type ends the search", {0x30, 0x07, 0x31, 0x12, 0x34}, Reader::Int16, 3, 0, -8, 0},
        {"unknown type skipped", {0x19, 0x00, 0x03, 0xAA, 0xBB, 0xCC, 0xF1, 0xFF, 0x00, 0x00}, Reader::Int16, 255, 0, 0, 0},
        {"unknown type via extension", {0x1F, 0x09, 0x00, 0x02, 0xAA, 0xBB, 0x30, 0x07}, Reader::Int8, 3, 0, 0, 7},
        {"type 200, empty", {0x1F, 0xC8, 0x00, 0x00, 0x31, 0x12, 0x34}, Reader::Int16, 3, 0, 0, 0x1234},
        {"type extension accepted", {0x0F, 0x01, 0x00, 0x05}, Reader::Int16, 0, 0, 0, 5},
        {"both extensions", {0xFF, 0xFF, 0x01, 0xFF, 0xFB}, Reader::Int16, 255, 0, 0, 0xFFFB},
        {"timestamp", {0xF2, 0xFE, 0x00, 0x00, 0x03, 0xE8}, Reader::Int32, 254, 0, 0, 1000},
        {"reader id cut to 8 bits", {0xF1, 0xFF, 0x00, 0x09}, Reader::Int16, 0x1FF, 0, 0, 9},
        {"reference instance", {0x03, 0x08, 0x02}, Reader::Reference, 0, 0, 0, 2},
        {"object type not compared", {0x03, 0x08, 0x01, 0x03, 0x08, 0x02, 0x03, 0x09, 0x07}, Reader::Reference, 0, 2, 0, 7},
        {"absent index", {0x03, 0x08, 0x01}, Reader::Reference, 0, 1, -8, 0},
        {"empty body", {}, Reader::Int8, 0, 0, -8, 0},
        {"65535 does not wrap", {0x19, 0xFF, 0xFF, 0xAA, 0x30, 0x07}, Reader::Int8, 3, 0, -8, 0},
        // 3 + 2 + 65535 taken modulo 2^16 would step to the FF at offset 4.
        {"65535 does not wrap to 4", {0xFF, 0x00, 0x08, 0xFF, 0xFF, 0x03, 0x00, 0x12}, Reader::Int8, 3, 0, -8, 0},
    };
    for (const ReadCase &c : cases) {
        ExactBlock b(c.body);
        uint32_t value = 0;
        EXPECT_EQ(Read(c.reader, b.get(), c.id, c.index, &value), c.rc) << c.what;
        EXPECT_EQ(value, c.value) << c.what;
    }
}

TEST_F(ItemsScalar, ItemsCutByWritePtrAreNotFound) {
    // Each body is cut inside an item; the hidden bytes would complete it.
    const struct {
        Bytes body, hidden;
        Reader reader;
        uint32_t id;
    } cases[] = {
        {{0xF1, 0xFF, 0x00}, {0x00}, Reader::Int16, 255},
        {{0x30, 0x07, 0x02, 0x00, 0x00, 0x01}, {0x02}, Reader::Int32, 0},
        {{0x03, 0x08}, {0x02}, Reader::Reference, 0},
        {{0x00}, {0x07}, Reader::Int8, 0},
        {{0xF1}, {0xFF, 0x00, 0x00}, Reader::Int16, 255},    // id extension missing
        {{0x0F}, {0x01, 0x00, 0x05}, Reader::Int16, 0},      // type extension missing
        {{0xFF, 0xFF}, {0x01, 0x00, 0x05}, Reader::Int16, 255},
        {{0x19, 0x00}, {0x01, 0xAA, 0x30, 0x07}, Reader::Int8, 3},  // length field cut
        {{0x19, 0x00, 0x02, 0xAA}, {0xBB, 0x30, 0x07}, Reader::Int8, 3},  // skipped item cut
        {{}, {0x30, 0x07}, Reader::Int8, 3},
    };
    for (const auto &c : cases) {
        OnBothEnds(c.body, c.hidden, [&](MessageBlock *b, const char *where) {
            uint32_t value = 1;
            EXPECT_EQ(Read(c.reader, b, c.id, 0, &value), -8) << where << " " << testing::PrintToString(c.body);
            EXPECT_EQ(value, 0u) << where;
        });
    }
}

TEST_F(ItemsScalar, ReadersChangeNothingAndAcceptNullOutputs) {
    Block b = Own(BlockWith({0x19, 0x00, 0x01, 0xAA, 0x30, 0x07, 0x31, 0x00, 0x08, 0x03, 0x08, 0x02,
                             0xF2, 0xFE, 0x00, 0x00, 0x03, 0xE8}));
    const Bytes before = DataOf(b.get());
    uint8_t *readPtr = b->readPtr;
    for (int pass = 0; pass < 2; ++pass) {
        EXPECT_EQ(ulmot_BufferReadDTPInt8(b.get(), 3, nullptr), 0);
        EXPECT_EQ(ulmot_BufferReadDTPInt8(b.get(), 4, nullptr), -8);
        EXPECT_EQ(ulmot_BufferReadDTPInt8WithIndex(b.get(), 3, 1, nullptr), -8);
        EXPECT_EQ(ulmot_BufferReadDTPInt16(b.get(), 3, nullptr), -8);
        EXPECT_EQ(ulmot_BufferReadDTPInt32(b.get(), 254, nullptr), 0);
        EXPECT_EQ(ulmot_BufferReadDTPObjectReference(b.get(), 0, 0, nullptr), 0);
        uint32_t stamp = 0;
        EXPECT_EQ(ulmot_BufferReadDTPInt32(b.get(), 254, &stamp), 0);
        EXPECT_EQ(stamp, 1000u);
    }
    EXPECT_EQ(DataOf(b.get()), before);
    EXPECT_EQ(b->readPtr, readPtr);

    // Items in front of readPtr are not part of the body.
    b->readPtr += 4;
    EXPECT_EQ(ulmot_BufferReadDTPInt8(b.get(), 1, nullptr), -8);
    EXPECT_EQ(ulmot_BufferReadDTPInt8(b.get(), 3, nullptr), 0);
    b->readPtr = b->writePtr;
    EXPECT_EQ(ulmot_BufferReadDTPInt32(b.get(), 254, nullptr), -8);
}

TEST_F(ItemsScalar, NotFoundZeroesExactlyTheTypesWidth) {
    ExactBlock empty({});
    struct { uint8_t value, guard; } s8{0xAA, 0x55};
    struct { uint16_t value, guard; } s16{0xAAAA, 0x5555};
    EXPECT_EQ(ulmot_BufferReadDTPInt8(empty.get(), 0, &s8.value), -8);
    EXPECT_EQ(s8.value, 0);
    EXPECT_EQ(s8.guard, 0x55);
    s8.value = 0xAA;
    EXPECT_EQ(ulmot_BufferReadDTPObjectReference(empty.get(), 0, 0, &s8.value), -8);
    EXPECT_EQ(s8.value, 0);
    EXPECT_EQ(s8.guard, 0x55);
    EXPECT_EQ(ulmot_BufferReadDTPInt16(empty.get(), 0, &s16.value), -8);
    EXPECT_EQ(s16.value, 0);
    EXPECT_EQ(s16.guard, 0x5555);
}

}  // namespace
