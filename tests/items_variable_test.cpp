// Length-prefixed items: byte arrays and strings, lists, tag filters, tag
// data and list headers - exact bytes, refusals, and lengths that lie.
#include <cstring>
#include <functional>

#include "items_support.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using namespace ulmot::test;

using ItemsVariable = PoolTest;
using Write = std::function<int32_t(MessageBlock *)>;

const uint8_t kAbc[] = {0x01, 0x02, 0x03};
const uint8_t kFiveSix[] = {5, 6};
const uint8_t kOneFour[] = {1, 4};
const uint8_t kAABB[] = {0xAA, 0xBB};
const uint8_t kFFFF[] = {0xFF, 0xFF};
const uint8_t kMany[256] = {};

TEST_F(ItemsVariable, WritersAppendExactBytes) {
    const struct {
        const char *what;
        Write write;
        Bytes item;
    } cases[] = {
        {"byte array", [](MessageBlock *b) { return ulmot_BufferWriteDTPByteArray(b, 2, kAbc, 3); },
         {0x24, 0x00, 0x03, 0x01, 0x02, 0x03}},
        {"byte array id 22", [](MessageBlock *b) { return ulmot_BufferWriteDTPByteArray(b, 22, "ab", 2); },
         {0xF4, 0x16, 0x00, 0x02, 0x61, 0x62}},
        {"empty byte array", [](MessageBlock *b) { return ulmot_BufferWriteDTPByteArray(b, 22, nullptr, 0); },
         {0xF4, 0x16, 0x00, 0x00}},
        {"Int8 list", [](MessageBlock *b) { return ulmot_BufferWriteDTPInt8List(b, 3, kFiveSix, 2); },
         {0x35, 0x00, 0x05, 0x02, 0x00, 0x05, 0x00, 0x06}},
        {"Int8 list id 15", [](MessageBlock *b) { return ulmot_BufferWriteDTPInt8List(b, 15, kFiveSix, 1); },
         {0xF5, 0x0F, 0x00, 0x03, 0x01, 0x00, 0x05}},
        {"reference list", [](MessageBlock *b) { return ulmot_BufferWriteDTPObjectReferenceList(b, 3, 3, kOneFour, 2); },
         {0x35, 0x00, 0x07, 0x02, 0x03, 0x03, 0x01, 0x03, 0x03, 0x04}},
        {"reference list type cut", [](MessageBlock *b) { return ulmot_BufferWriteDTPObjectReferenceList(b, 0, 0x1FF, kOneFour, 1); },
         {0x05, 0x00, 0x04, 0x01, 0x03, 0xFF, 0x01}},
        {"tag filter", [](MessageBlock *b) { return ulmot_BufferWriteDTPTagFilter(b, 0, 0, 1, 32, 16, 2, kAABB, kFFFF); },
         {0x06, 0x00, 0x0E, 0x01, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x10, 0x00, 0x02, 0xAA, 0xBB, 0xFF, 0xFF}},
        {"tag filter field order, 9 bits", [](MessageBlock *b) { return ulmot_BufferWriteDTPTagFilter(b, 16, 0x5A, 0x01, 0x11223344, 9, 1, kAABB, kFFFF); },
         {0xF6, 0x10, 0x00, 0x0D, 0x01, 0x11, 0x22, 0x33, 0x44, 0x5A, 0x00, 0x09, 0x00, 0x01, 0xAA, 0xBB, 0xFF}},
        {"tag filter without data or mask", [](MessageBlock *b) { return ulmot_BufferWriteDTPTagFilter(b, 1, 3, 7, 0, 0, 0, nullptr, nullptr); },
         {0x16, 0x00, 0x0A, 0x07, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00}},
    };
    for (const auto &c : cases) {
        Block b = Own(BlockWith({0xAA}));
        EXPECT_EQ(c.write(b.get()), 0) << c.what;
        Bytes expected{0xAA};
        expected.insert(expected.end(), c.item.begin(), c.item.end());
        EXPECT_EQ(DataOf(b.get()), expected) << c.what;
    }
}

TEST_F(ItemsVariable, ListsOf255Elements) {
    uint8_t values[255];
    for (int i = 0; i < 255; ++i) values[i] = static_cast<uint8_t>(i);
    Block b = Own(ulmot_BufferAllocate(2048, 0));
    ASSERT_EQ(ulmot_BufferWriteDTPInt8List(b.get(), 1, values, 255), 0);
    ASSERT_EQ(ulmot_BufferWriteDTPObjectReferenceList(b.get(), 2, 9, values, 255), 0);
    Bytes expected{0x15, 0x01, 0xFF, 0xFF};  // L = 2 * 255 + 1
    for (int i = 0; i < 255; ++i) expected.insert(expected.end(), {0x00, values[i]});
    expected.insert(expected.end(), {0x25, 0x02, 0xFE, 0xFF});  // L = 3 * 255 + 1
    for (int i = 0; i < 255; ++i) expected.insert(expected.end(), {0x03, 0x09, values[i]});
    EXPECT_EQ(DataOf(b.get()), expected);
    uint8_t last = 0;
    EXPECT_EQ(ulmot_BufferReadDTPListInt8(b.get(), 1, 0, 254, &last), 0);
    EXPECT_EQ(last, 254);
}

TEST_F(ItemsVariable, ListWritersRefuseInvalidParameters) {
    const struct {
        Write write;
        const char *line;
    } cases[] = {
        {[](MessageBlock *b) { return ulmot_BufferWriteDTPInt8List(b, 3, nullptr, 2); }, "ulmot_BufferWriteDTPInt8List: Invalid parameter"},
        {[](MessageBlock *b) { return ulmot_BufferWriteDTPInt8List(b, 3, kMany, 0); }, "ulmot_BufferWriteDTPInt8List: Invalid parameter"},
        {[](MessageBlock *b) { return ulmot_BufferWriteDTPInt8List(b, 3, kMany, 256); }, "ulmot_BufferWriteDTPInt8List: Invalid parameter"},
        {[](MessageBlock *b) { return ulmot_BufferWriteDTPObjectReferenceList(b, 3, 1, nullptr, 2); }, "ulmot_BufferWriteDTPObjectReferenceList: Invalid parameter"},
        {[](MessageBlock *b) { return ulmot_BufferWriteDTPObjectReferenceList(b, 3, 1, kMany, 0); }, "ulmot_BufferWriteDTPObjectReferenceList: Invalid parameter"},
    };
    for (const auto &c : cases) {
        Block b = WithTailRoom(100);
        CaptureStderr();
        EXPECT_EQ(c.write(b.get()), -5);
        EXPECT_EQ(DebugMessage(GetCapturedStderr()), c.line);
        EXPECT_EQ(b->writePtr, b->dataBlock->limit - 100);
        EXPECT_TRUE(TailUnwritten(b.get()));
    }
}

TEST_F(ItemsVariable, WritersNeedRoomForTheWholeItem) {
    constexpr const char *kArray = "ulmot_BufferWriteDTPBitArray: Insufficient tail space";
    constexpr const char *kFilter = "ulmot_BufferWriteDTPTagFilter: Insufficient tail space";
    const struct {
        const char *what;
        Write write;
        uint64_t size;  // of the whole item; above 128 it can never fit the test block
        const char *line;
    } cases[] = {
        {"array id 14", [](MessageBlock *b) { return ulmot_BufferWriteDTPByteArray(b, 14, kMany, 10); }, 13, kArray},
        {"array id 15", [](MessageBlock *b) { return ulmot_BufferWriteDTPByteArray(b, 15, kMany, 10); }, 14, kArray},
        {"Int8 list", [](MessageBlock *b) { return ulmot_BufferWriteDTPInt8List(b, 3, kMany, 4); }, 12,
         "ulmot_BufferWriteDTPInt8List: Insufficient tail space"},
        {"reference list", [](MessageBlock *b) { return ulmot_BufferWriteDTPObjectReferenceList(b, 20, 1, kMany, 4); }, 17,
         "ulmot_BufferWriteDTPObjectReferenceList: Insufficient tail space"},
        {"tag filter", [](MessageBlock *b) { return ulmot_BufferWriteDTPTagFilter(b, 0, 0, 1, 32, 16, 2, kAABB, kFFFF); }, 17, kFilter},
        // Lengths whose item size wraps in 32 bits, or does not fit 16 bits.
        {"array of 65536", [](MessageBlock *b) { return ulmot_BufferWriteDTPByteArray(b, 0, kMany, 65536); }, 65539, kArray},
        {"array of 2^32-3", [](MessageBlock *b) { return ulmot_BufferWriteDTPByteArray(b, 0, kMany, 0xFFFFFFFD); }, 1ull << 32, kArray},
        {"array of 2^32-4, id 15", [](MessageBlock *b) { return ulmot_BufferWriteDTPByteArray(b, 15, kMany, 0xFFFFFFFC); }, 1ull << 32, kArray},
        {"filter of 65536", [](MessageBlock *b) { return ulmot_BufferWriteDTPTagFilter(b, 0, 0, 0, 0, 0, 65526, kMany, kMany); }, 65539, kFilter},
        {"filter of 73737", [](MessageBlock *b) { return ulmot_BufferWriteDTPTagFilter(b, 0, 0, 0, 0, 0xFFFF, 0xFFFF, kMany, kMany); }, 73740, kFilter},
    };
    for (const auto &c : cases) {
        Block tight = WithTailRoom(static_cast<uint32_t>(std::min<uint64_t>(c.size - 1, 128)));
        uint8_t *before = tight->writePtr;
        CaptureStderr();
        EXPECT_EQ(c.write(tight.get()), -1) << c.what;
        EXPECT_EQ(DebugMessage(GetCapturedStderr()), c.line) << c.what;
        EXPECT_EQ(tight->writePtr, before) << c.what;
        EXPECT_TRUE(TailUnwritten(tight.get())) << c.what;
        if (c.size > 128) continue;
        Block exact = WithTailRoom(static_cast<uint32_t>(c.size));
        EXPECT_EQ(c.write(exact.get()), 0) << c.what;
        EXPECT_EQ(exact->writePtr, exact->dataBlock->limit) << c.what;
    }
}

TEST_F(ItemsVariable, PrependListInfoTurnsTheBodyIntoAList) {
    Block b = Own(ulmot_BufferAllocate(13 + 8, 13));
    for (uint32_t v = 1; v <= 4; ++v) ASSERT_EQ(ulmot_BufferWriteDTPInt8(b.get(), 0, v), 0);
    ASSERT_EQ(ulmot_BufferPrependListInfo(b.get(), 0, 4, 8), 0);
    EXPECT_EQ(DataOf(b.get()), (Bytes{0x05, 0x00, 0x09, 0x04, 0x00, 1, 0x00, 2, 0x00, 3, 0x00, 4}));
    EXPECT_EQ(b->readPtr, b->dataBlock->base + 9);

    const struct {
        uint32_t id, count, length;
        Bytes header;
    } cases[] = {
        {0, 2, 4, {0x05, 0x00, 0x05, 0x02}},
        {15, 0x102, 4, {0xF5, 0x0F, 0x00, 0x05, 0x02}},  // count cut to 8 bits
        {0x1FF, 0, 0, {0xF5, 0xFF, 0x00, 0x01, 0x00}},
    };
    for (const auto &c : cases) {
        Block list = Own(BlockWith({0x00, 0x05, 0x00, 0x06}, 5));
        ASSERT_EQ(ulmot_BufferPrependListInfo(list.get(), c.id, c.count, c.length), 0);
        Bytes expected = c.header;
        expected.insert(expected.end(), {0x00, 0x05, 0x00, 0x06});
        EXPECT_EQ(DataOf(list.get()), expected) << c.id;
    }
}

TEST_F(ItemsVariable, PrependListInfoNeedsHeadRoomForTheWholeHeader) {
    const struct {
        uint32_t id, headRoom;
        bool fits;
    } cases[] = {{0, 4, true}, {0, 3, false}, {15, 5, true}, {15, 4, false}};
    for (const auto &c : cases) {
        Block b = Own(BlockWith({0x00, 0x05}, c.headRoom));
        std::fill(b->dataBlock->base, b->readPtr, kUnwritten);
        uint8_t *readPtr = b->readPtr;
        CaptureStderr();
        const int32_t rc = ulmot_BufferPrependListInfo(b.get(), c.id, 1, 2);
        const std::string line = GetCapturedStderr();
        if (c.fits) {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(line, "");
            EXPECT_EQ(b->readPtr, b->dataBlock->base);
        } else {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(DebugMessage(line), "ulmot_BufferPrependListInfo: Insufficient head space");
            EXPECT_EQ(b->readPtr, readPtr);
            EXPECT_TRUE(std::all_of(b->dataBlock->base, readPtr, [](uint8_t v) { return v == kUnwritten; }));
        }
    }
}

const Bytes kHello = {0x11, 0x00, 0x07, 0x24, 0x00, 0x05, 'h', 'e', 'l', 'l', 'o', 0x24, 0x00, 0x00};

TEST_F(ItemsVariable, PeekPointsIntoTheBlock) {
    ExactBlock b(kHello);
    const uint8_t *data = nullptr;
    uint16_t length = 0;
    EXPECT_EQ(ulmot_BufferPeekDTPByteArray(b.get(), 2, 0, &data, &length), 0);
    EXPECT_EQ(data, b.get()->readPtr + 6);
    EXPECT_EQ(length, 5);
    EXPECT_EQ(ulmot_BufferPeekDTPByteArray(b.get(), 2, 1, &data, &length), 0);
    EXPECT_EQ(data, b.get()->writePtr) << "an empty array ends the body";
    EXPECT_EQ(length, 0);
    EXPECT_EQ(ulmot_BufferPeekDTPByteArray(b.get(), 2, 0, nullptr, nullptr), 0);

    data = nullptr;
    length = 77;
    EXPECT_EQ(ulmot_BufferPeekDTPByteArray(b.get(), 2, 2, &data, &length), -8);
    EXPECT_EQ(ulmot_BufferPeekDTPByteArray(b.get(), 1, 0, &data, &length), -8) << "id 1 is an Int16";
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(length, 77);
}

TEST_F(ItemsVariable, ReadByteArrayAndStringRespectTheCapacity) {
    ExactBlock b(kHello);
    const struct {
        bool string;
        uint16_t index, capacity;
        bool destination;
        int32_t rc;
        const char *copied;  // what the destination holds afterwards
        uint16_t length;     // 99: untouched
    } cases[] = {
        {false, 0, 4, true, -3, "#######", 5},
        {false, 0, 5, true, 0, "hello##", 5},
        {false, 0, 5, false, 0, "#######", 5},
        {false, 0, 0, false, -3, "#######", 5},
        {false, 1, 0, true, 0, "#######", 0},
        {false, 2, 9, true, -8, "#######", 99},
        {true, 0, 6, true, 0, "hello\0#", 99},
        {true, 0, 5, true, -3, "#######", 99},
        {true, 0, 0, true, -5, "#######", 99},
        {true, 1, 1, true, 0, "\0######", 99},
        {true, 0, 6, false, 0, "#######", 99},
        {true, 3, 6, true, -8, "#######", 99},
    };
    for (const auto &c : cases) {
        char out[8] = "#######";
        uint16_t length = 99;
        void *to = c.destination ? out : nullptr;
        const int32_t rc = c.string ? ulmot_BufferReadDTPString(b.get(), 2, c.index, static_cast<char *>(to), c.capacity)
                                    : ulmot_BufferReadDTPByteArray(b.get(), 2, c.index, to, c.capacity, &length);
        EXPECT_EQ(rc, c.rc) << c.string << " index " << c.index << " capacity " << c.capacity;
        EXPECT_EQ(0, std::memcmp(out, c.copied, 8)) << c.string << " capacity " << c.capacity;
        EXPECT_EQ(length, c.length) << c.string << " capacity " << c.capacity;
    }
    EXPECT_EQ(ulmot_BufferReadDTPByteArray(b.get(), 2, 0, nullptr, 9, nullptr), -5);
}

TEST_F(ItemsVariable, ArrayLengthsThatDoNotFitAreRefused) {
    const struct {
        Bytes body, hidden;
        int32_t rc;
    } cases[] = {
        {{0x24, 0x00, 0x0A, 1, 2, 3, 4}, {5, 6, 7, 8, 9, 10}, -4},
        {{0x24, 0x00, 0x05, 'h', 'e', 'l', 'l'}, {'o'}, -4},
        {{0x24, 0xFF, 0xFF, 1}, {}, -4},
        {{0x24, 0x00}, {0x00}, -8},  // the length field itself is cut
        {{0x24}, {0x00, 0x00}, -8},
        {{0x19, 0x00, 0x03, 1, 2}, {3, 0x24, 0x00, 0x00}, -8},
    };
    for (const auto &c : cases) {
        OnBothEnds(c.body, c.hidden, [&](MessageBlock *b, const char *where) {
            const uint8_t *data = nullptr;
            uint16_t length = 99;
            char text[16] = "untouched";
            EXPECT_EQ(ulmot_BufferPeekDTPByteArray(b, 2, 0, &data, &length), c.rc) << where;
            EXPECT_EQ(ulmot_BufferReadDTPByteArray(b, 2, 0, text, 16, &length), c.rc) << where;
            EXPECT_EQ(ulmot_BufferReadDTPString(b, 2, 0, text, 16), c.rc) << where;
            EXPECT_EQ(data, nullptr);
            EXPECT_EQ(length, 99);
            EXPECT_STREQ(text, "untouched");
        });
    }
}

TEST_F(ItemsVariable, ReadTagData) {
    const struct {
        const char *what;
        Bytes body, hidden;
        int32_t rc;
        uint8_t headerByte;
        uint32_t headerWord, bits, dataOffset;  // dataOffset from readPtr
    } cases[] = {
        {"16 bits", {0x47, 0x00, 0x09, 0x01, 0, 0, 0, 0, 0x00, 0x10, 0xAA, 0xBB}, {}, 0, 1, 0, 16, 10},
        {"header order", {0x30, 0x01, 0x47, 0x00, 0x08, 0x30, 1, 2, 3, 4, 0x00, 0x08, 0xCC}, {}, 0, 0x30, 0x01020304, 8, 12},
        {"type extension", {0x4F, 0x07, 0x00, 0x07, 0x02, 0, 0, 0, 9, 0x00, 0x00}, {}, 0, 2, 9, 0, 11},
        {"17 bits in 2 bytes", {0x47, 0x00, 0x09, 0x01, 0, 0, 0, 0, 0x00, 0x11, 0xAA, 0xBB}, {0xCC}, -4, 0, 0, 0, 0},
        {"1 bit in 0 bytes", {0x47, 0x00, 0x07, 0x01, 0, 0, 0, 0, 0x00, 0x01}, {0xCC}, -4, 0, 0, 0, 0},
        {"65535 bits", {0x47, 0x00, 0x09, 0x01, 0, 0, 0, 0, 0xFF, 0xFF, 0xAA, 0xBB}, {}, -4, 0, 0, 0, 0},
        {"65529 bits", {0x47, 0x00, 0x09, 0x01, 0, 0, 0, 0, 0xFF, 0xF9, 0xAA, 0xBB}, {}, -4, 0, 0, 0, 0},
        {"length below 7", {0x47, 0x00, 0x05, 0x01, 0, 0, 0, 0}, {0x00, 0x00}, -4, 0, 0, 0, 0},
        {"length 0", {0x47, 0x00, 0x00}, {0x01, 0, 0, 0, 0, 0, 0}, -4, 0, 0, 0, 0},
        {"length past writePtr", {0x47, 0x00, 0x09, 0x01, 0, 0, 0, 0, 0x00, 0x10, 0xAA}, {0xBB}, -4, 0, 0, 0, 0},
        {"length field cut", {0x47, 0x00}, {0x07, 0x01, 0, 0, 0, 0, 0, 0}, -8, 0, 0, 0, 0},
        {"other type", {0x44, 0x00, 0x07, 0x01, 0, 0, 0, 0, 0x00, 0x00}, {}, -8, 0, 0, 0, 0},
        {"absent", {0x57, 0x00, 0x07, 0x01, 0, 0, 0, 0, 0x00, 0x00}, {}, -8, 0, 0, 0, 0},
    };
    for (const auto &c : cases) {
        OnBothEnds(c.body, c.hidden, [&](MessageBlock *b, const char *where) {
            TagReport r{};
            r.pcWord = 0x1234;
            r.crc = 0x5678;
            r.format = 517;
            r.dataLength = 99;
            EXPECT_EQ(ulmot_BufferReadDTPTagData(b, 4, 0, &r), c.rc) << c.what << ", " << where;
            EXPECT_EQ(ulmot_BufferReadDTPTagData(b, 4, 0, nullptr), c.rc) << c.what;
            EXPECT_EQ(r.tagDataHeaderByte, c.headerByte) << c.what;
            EXPECT_EQ(r.tagDataHeaderWord, c.headerWord) << c.what;
            EXPECT_EQ(r.dataLength, c.rc == 0 ? c.bits : 99u) << c.what;
            EXPECT_EQ(r.data, c.rc == 0 ? b->readPtr + c.dataOffset : nullptr) << c.what;
            EXPECT_EQ(r.pcWord, 0x1234) << "other fields are left alone";
            EXPECT_EQ(r.crc, 0x5678);
            EXPECT_EQ(r.format, 517);
        });
    }
}

TEST_F(ItemsVariable, ReadListInt8) {
    const Bytes kFiveSixList = {0x35, 0x00, 0x05, 0x02, 0x00, 0x05, 0x00, 0x06};
    const struct {
        const char *what;
        Bytes body, hidden;
        uint16_t index;
        uint8_t element;
        int32_t rc;
        uint8_t value;
    } cases[] = {
        {"element 0", kFiveSixList, {}, 0, 0, 0, 5},
        {"element 1", kFiveSixList, {}, 0, 1, 0, 6},
        {"element 2", kFiveSixList, {}, 0, 2, -8, 0},
        {"second list", {0x35, 0x00, 0x03, 0x01, 0x00, 0x05, 0x35, 0x00, 0x03, 0x01, 0x00, 0x09}, {}, 1, 0, 0, 9},
        {"only Int8 elements count", {0x35, 0x00, 0x08, 0x02, 0x01, 0x12, 0x34, 0x00, 0x05, 0x00, 0x06}, {}, 0, 1, 0, 6},
        {"ids and extensions", {0x35, 0x00, 0x07, 0x02, 0xFF, 0x2A, 0x00, 0x07, 0x10, 0x08}, {}, 0, 1, 0, 8},
        {"unknown element skipped", {0x35, 0x00, 0x08, 0x02, 0x19, 0x00, 0x02, 0xAA, 0xBB, 0x00, 0x05}, {}, 0, 0, 0, 5},
        {"count not consulted", {0x35, 0x00, 0x05, 0x00, 0x00, 0x05, 0x00, 0x06}, {}, 0, 1, 0, 6},
        {"count larger than the list", {0x35, 0x00, 0x05, 0x09, 0x00, 0x05, 0x00, 0x06}, {0x00, 0x07}, 0, 2, -8, 0},
        {"element after the list", {0x35, 0x00, 0x03, 0x01, 0x00, 0x05, 0x00, 0x06}, {}, 0, 1, -8, 0},
        // An element must lie wholly inside its list, even when the bytes that
        // complete it follow in the body.
        {"element header runs past the list", {0x35, 0x00, 0x03, 0x01, 0xFF, 0x00, 0x00, 0x07}, {}, 0, 0, -8, 0},
        {"element value past the list", {0x35, 0x00, 0x02, 0x01, 0x00, 0x31, 0x07}, {}, 0, 0, -8, 0},
        {"second element value past the list", {0x35, 0x00, 0x04, 0x02, 0x00, 0x05, 0x00, 0x07}, {}, 0, 1, -8, 0},
        {"element of 65535 bytes", {0x35, 0x00, 0x08, 0x03, 0x19, 0xFF, 0xFF, 0x00, 0x05, 0x00, 0x06}, {}, 0, 0, -8, 0},
        {"count only", {0x35, 0x00, 0x01, 0x00}, {0x00, 0x05}, 0, 0, -8, 0},
        {"length 0", {0x35, 0x00, 0x00}, {0x01, 0x00, 0x05}, 0, 0, -8, 0},
        {"list past writePtr", {0x35, 0x00, 0x05, 0x02, 0x00, 0x05, 0x00}, {0x06}, 0, 0, -8, 0},
        {"length field cut", {0x35, 0x00}, {0x03, 0x01, 0x00, 0x05}, 0, 0, -8, 0},
        {"not a list", {0x34, 0x00, 0x03, 0x01, 0x00, 0x05}, {}, 0, 0, -8, 0},
    };
    for (const auto &c : cases) {
        OnBothEnds(c.body, c.hidden, [&](MessageBlock *b, const char *where) {
            uint8_t value = 0xEE;
            EXPECT_EQ(ulmot_BufferReadDTPListInt8(b, 3, c.index, c.element, &value), c.rc) << c.what << ", " << where;
            EXPECT_EQ(value, c.rc == 0 ? c.value : 0xEE) << c.what;
            EXPECT_EQ(ulmot_BufferReadDTPListInt8(b, 3, c.index, c.element, nullptr), c.rc) << c.what;
        });
    }
}

}  // namespace
