// ParseTagReportItems: one walk by item id, later items win, tag data taken
// only when its lengths agree, and nothing read at or past writePtr.
#include <cstring>
#include <tuple>

#include "items/dtp.h"
#include "items_support.h"

namespace {

using namespace ulmot::test;

using ItemsTagReport = PoolTest;

auto Fields(const TagReport &r) {
    return std::make_tuple(r.tagDataHeaderByte, r.tagDataHeaderWord, r.pcWord, r.xpcWord1, r.xpcWord2,
                           static_cast<const void *>(r.data), r.dataLength, r.crc, r.item20, r.item9Instance,
                           r.format, r.item18, r.item10, r.item13, r.item16, r.item6, r.item7, r.item8,
                           r.item14, static_cast<const void *>(r.item22Data), r.item22Length);
}

TagReport Parse(const MessageBlock *b) {
    TagReport r;
    std::memset(&r, 0xAB, sizeof r);  // every field must be set by the parse
    ParseTagReportItems(&r, b);
    return r;
}

TEST_F(ItemsTagReport, FormatAndTagDataOnly) {
    ExactBlock b({0x01, 0x02, 0x05, 0x44, 0x00, 0x09, 0x01, 0, 0, 0, 0, 0x00, 0x10, 0xAA, 0xBB});
    TagReport expected{};
    expected.format = 517;
    expected.tagDataHeaderByte = 1;
    expected.dataLength = 16;
    expected.data = b.get()->writePtr - 2;
    EXPECT_EQ(Fields(Parse(b.get())), Fields(expected));
}

TEST_F(ItemsTagReport, Format517ReportWithEveryField) {
    Block b = Own(BlockWith({
        0xF2, 0xFE, 0x00, 0x01, 0xE2, 0x40,                    // time stamp (not a report field)
        0x01, 0x02, 0x05,                                      // format 517
        0x93, 0x08, 0x02,                                      // antenna: object type 8, instance 2
        0x47, 0x00, 0x17, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80,  // tag data, 128 bits
        0x30, 0x00,                                            //   PC
        0xE2, 0x00, 0x00, 0x17, 0x22, 0x0B, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB,  // EPC
        0x5C, 0x3A,                                            //   CRC
        0xA1, 0xFF, 0xC4,                                      // item 10 (RSSI -60)
        0xD1, 0x00, 0x07, 0xE1, 0x00, 0x02, 0xF1, 0x10, 0x03, 0xE8,  // items 13, 14, 16
        0x61, 0x00, 0x01, 0x71, 0x00, 0x02, 0x81, 0x00, 0x03,  // items 6, 7, 8
        0xF2, 0x12, 0x00, 0x00, 0x30, 0x39,                    // item 18
        0xF0, 0x14, 0x01,                                      // item 20
        0x19, 0x00, 0x02, 0x55, 0x66,                          // unknown id and type
        0xF4, 0x16, 0x00, 0x04, 0xDE, 0xAD, 0xBE, 0xEF,        // item 22
    }));
    TagReport expected{};
    expected.format = 517;
    expected.item9Instance = 2;
    expected.data = b->readPtr + 22;  // at the PC: splitting it is the tag report handler's work
    expected.dataLength = 128;
    expected.item10 = 0xFFC4;
    expected.item13 = 7;
    expected.item14 = 2;
    expected.item16 = 1000;
    expected.item6 = 1;
    expected.item7 = 2;
    expected.item8 = 3;
    expected.item18 = 12345;
    expected.item20 = 1;
    expected.item22Data = b->writePtr - 4;
    expected.item22Length = 4;
    EXPECT_EQ(Fields(Parse(b.get())), Fields(expected));
}

TEST_F(ItemsTagReport, ItemsAreTakenByIdWhateverTheirType) {
    ExactBlock b({0x02, 0x02, 0x05, 0xFF, 0xFF,  // id 0 as Int32: its first two bytes
                  0xF1, 0x14, 0x07, 0x08,                      // id 20 as Int16: its first byte
                  0x91, 0xAB, 0x03,                            // id 9 as Int16: its second byte
                  0xF2, 0x16, 0x00, 0x01, 0x09, 0xAA,          // id 22 as Int32: a length and a byte
                  0x0F, 0xC8, 0x00, 0x00,                      // id 0 again, type 200, length 0
                  0xF0, 0x14, 0x09});                          // id 20 again, last, one byte
    TagReport expected{};
    expected.format = 0x0000;  // the later id 0 wins: its value starts with its length 00 00
    expected.item20 = 9;
    expected.item9Instance = 3;
    expected.item22Data = b.get()->readPtr + 16;
    expected.item22Length = 1;
    EXPECT_EQ(Fields(Parse(b.get())), Fields(expected));
}

TEST_F(ItemsTagReport, LaterItemsWin) {
    const Bytes kTag1 = {0x47, 0x00, 0x09, 0x01, 0, 0, 0, 1, 0x00, 0x10, 0xAA, 0xBB};
    const Bytes kTag2 = {0x47, 0x00, 0x08, 0x02, 0, 0, 0, 2, 0x00, 0x08, 0xCC};
    const Bytes kUnsound = {0x47, 0x00, 0x08, 0x03, 0, 0, 0, 3, 0xFF, 0xFF, 0xDD};
    Bytes body = {0x61, 0x00, 0x01, 0x61, 0x00, 0x02};
    body.insert(body.end(), kTag1.begin(), kTag1.end());
    body.insert(body.end(), kTag2.begin(), kTag2.end());
    body.insert(body.end(), kUnsound.begin(), kUnsound.end());  // ignored: the second stays
    ExactBlock b(body);
    const TagReport r = Parse(b.get());
    EXPECT_EQ(r.item6, 2);
    EXPECT_EQ(r.tagDataHeaderByte, 2);
    EXPECT_EQ(r.tagDataHeaderWord, 2u);
    EXPECT_EQ(r.dataLength, 8u);
    EXPECT_EQ(r.data, b.get()->readPtr + 6 + kTag1.size() + 10);
}

TEST_F(ItemsTagReport, LengthsThatDisagreeAreIgnoredAndTheWalkGoesOn) {
    const Bytes cases[] = {
        {0xF1, 0x16, 0x00, 0x05},                                       // item 22 as Int16: 5 bytes?
        {0x44, 0x00, 0x05, 0x01, 0, 0, 0, 0},                          // shorter than its fields
        {0x44, 0x00, 0x00},
        {0x44, 0x00, 0x07, 0x01, 0, 0, 0, 0, 0x00, 0x01},              // 1 bit, no byte
        {0x44, 0x00, 0x09, 0x01, 0, 0, 0, 0, 0x00, 0x11, 0xAA, 0xBB},  // 17 bits
        {0x44, 0x00, 0x09, 0x01, 0, 0, 0, 0, 0xFF, 0xFF, 0xAA, 0xBB},  // 65535 bits
        {0x44, 0x00, 0x09, 0x01, 0, 0, 0, 0, 0xFF, 0xF9, 0xAA, 0xBB},  // 65529 bits
    };
    for (const Bytes &item : cases) {
        Bytes body = item;
        body.insert(body.end(), {0x61, 0x00, 0x2A});
        ExactBlock b(body);
        TagReport expected{};
        expected.item6 = 42;
        EXPECT_EQ(Fields(Parse(b.get())), Fields(expected)) << testing::PrintToString(item);
    }
}

TEST_F(ItemsTagReport, AnItemReachingPastWritePtrEndsTheWalk) {
    const struct {
        const char *what;
        Bytes body, hidden;
    } cases[] = {
        {"length 65535", {0x61, 0x00, 0x01, 0x19, 0xFF, 0xFF, 0x71, 0x00, 0x02}, {}},
        {"tag data cut", {0x61, 0x00, 0x01, 0x44, 0x00, 0x09, 0x01, 0, 0, 0, 0, 0x00, 0x10, 0xAA}, {0xBB}},
        {"item 22 cut", {0x61, 0x00, 0x01, 0xF4, 0x16, 0x00, 0x03, 0xAA}, {0xBB, 0xCC}},
        {"Int16 cut", {0x61, 0x00, 0x01, 0x71, 0x00}, {0x02}},
        {"id extension cut", {0x61, 0x00, 0x01, 0xF1}, {0x10, 0x00, 0x02}},
        {"length field cut", {0x61, 0x00, 0x01, 0x19, 0x00}, {0x00, 0x71, 0x00, 0x02}},
        // Sized as Int8, but read wider by id: the read would pass writePtr.
        {"id 18 as Int8", {0x61, 0x00, 0x01, 0xF0, 0x12, 0x05}, {0x00, 0x00, 0x00}},
        {"id 0 as Int8", {0x61, 0x00, 0x01, 0x00, 0x05}, {0x02}},
        {"id 4 as Int8", {0x61, 0x00, 0x01, 0x40, 0x00}, {0x07, 0x01, 0, 0, 0, 0, 0, 0}},
        {"id 9 as Int8", {0x61, 0x00, 0x01, 0x90, 0x08}, {0x02}},
        {"id 0 as Int32 cut", {0x61, 0x00, 0x01, 0x02, 0x02, 0x05}, {0x00, 0x00}},  // readable, not whole
    };
    for (const auto &c : cases) {
        OnBothEnds(c.body, c.hidden, [&](MessageBlock *b, const char *where) {
            TagReport expected{};
            expected.item6 = 1;
            EXPECT_EQ(Fields(Parse(b)), Fields(expected)) << c.what << ", " << where;
        });
    }
}

TEST_F(ItemsTagReport, OnlyTheBodyBetweenReadPtrAndWritePtrCounts) {
    Block b = Own(BlockWith({0x61, 0x00, 0x09, 0xF4, 0x16, 0x00, 0x00, 0x71, 0x00, 0x05}));
    b->readPtr += 3;
    b->writePtr -= 3;
    TagReport expected{};
    expected.item22Data = b->writePtr;  // an empty array at the very end
    EXPECT_EQ(Fields(Parse(b.get())), Fields(expected));
    b->readPtr = b->writePtr;
    EXPECT_EQ(Fields(Parse(b.get())), Fields(TagReport{}));
}

}  // namespace
