// The tag report handler over hand-built reports: format 517 split into PC,
// XPC words, EPC and CRC; other formats in whole bytes; and reports whose bit
// counts, PC or XPC words claim more than the tag data holds, which arrive
// with no data. The tag data item ends each body, and every case runs in an
// exact heap buffer (a read past the body trips AddressSanitizer) and in a
// pool block with bytes behind the body that would show in the result.
#include "objects_tagpath_support.h"

namespace {

using namespace ulmot::test;

// What the callback saw, with the data as an offset from the first tag bit
// (-1 for null) and its bytes.
struct Seen {
    int calls = 0;
    uint32_t timestamp = 0;
    uint8_t instance = 0;
    TagReport report{};
    long dataOffset = -2;
    std::string bytes;
    const uint8_t *firstBit = nullptr;
};

void Capture(void *context, uint32_t timestamp, uint8_t instance, const TagReport *r) {
    auto *s = static_cast<Seen *>(context);
    ++s->calls;
    s->timestamp = timestamp;
    s->instance = instance;
    s->report = *r;
    s->dataOffset = r->data == nullptr ? -1 : static_cast<long>(r->data - s->firstBit);
    s->bytes = Hex(r->data, r->dataLength);
}

// An Int16 format item (id 0), then a tag data item (id 4) with header byte
// 1, header word 2, `bits` as the bit count and `tagBits`; its length field
// says 7 + the bytes given unless `length` is set.
Bytes Report(uint16_t format, uint16_t bits, const Bytes &tagBits, int length = -1) {
    const auto l = static_cast<uint16_t>(length >= 0 ? length : static_cast<int>(7 + tagBits.size()));
    Bytes b = {0x01, static_cast<uint8_t>(format >> 8), static_cast<uint8_t>(format), 0x47,
               static_cast<uint8_t>(l >> 8), static_cast<uint8_t>(l), 0x01, 0x00, 0x00, 0x00, 0x02,
               static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits)};
    Append(b, tagBits);
    return b;
}

const Bytes kEpc12 = {0xE2, 0x00, 0x00, 0x17, 0x22, 0x0B, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB};

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts) Append(out, p);
    return out;
}

struct ReportCase {
    const char *name;
    Bytes body;
    size_t tagBitsSize;  // bytes from the first tag bit to the end of the body
    uint16_t pc, xpc1, xpc2;
    long dataOffset;  // -1: no data
    uint32_t dataLength;
    uint16_t crc;
    bool tagDataTaken;  // header byte 1 and word 2 were read
};

class TagReportHandler : public PoolTest {
protected:
    void SetUp() override {
        PoolTest::SetUp();
        client_ = std::make_unique<ClientProcessor>();
        client_->tagPath.inventory.Set({nullptr, nullptr, Capture, &seen_});
    }
    void Run(const ReportCase &c) {
        OnBothEnds(c.body, {0xC0, 0xC0, 0xC0, 0xC0}, [&](MessageBlock *b, const char *where) {
            SCOPED_TRACE(std::string(c.name) + ", " + where);
            seen_ = Seen{};
            seen_.firstBit = b->writePtr - c.tagBitsSize;
            ulmot_ClientHandleTagReport(client_.get(), 9, 1234, b);
            ASSERT_EQ(seen_.calls, 1);
            EXPECT_EQ(seen_.timestamp, 1234u);
            EXPECT_EQ(seen_.instance, 9);
            const TagReport &r = seen_.report;
            EXPECT_EQ(std::make_tuple(r.pcWord, r.xpcWord1, r.xpcWord2, seen_.dataOffset, r.dataLength, r.crc),
                      std::make_tuple(c.pc, c.xpc1, c.xpc2, c.dataOffset, c.dataLength, c.crc));
            EXPECT_EQ(std::make_pair(r.tagDataHeaderByte, r.tagDataHeaderWord),
                      c.tagDataTaken ? std::make_pair(uint8_t{1}, uint32_t{2}) : std::make_pair(uint8_t{0}, uint32_t{0}));
            if (c.dataOffset >= 0) {
                // The EPC and the CRC after it lie inside the tag bits.
                const size_t crcBytes = r.format == 517 ? 2 : 0;
                EXPECT_LE(static_cast<size_t>(c.dataOffset) + r.dataLength + crcBytes, c.tagBitsSize);
            }
        });
    }

    std::unique_ptr<ClientProcessor> client_;
    Seen seen_;
};

TEST_F(TagReportHandler, Format517SplitsPcXpcEpcAndCrc) {
    const Bytes crc = {0x5C, 0x3A};
    const ReportCase cases[] = {
        {"PC without XPC, 96-bit EPC", Report(517, 128, Cat({{0x30, 0x00}, kEpc12, crc})), 16, 0x3000, 0, 0, 2, 12,
         0x5C3A, true},
        {"XPC word 1 below 0x8000", Report(517, 128, Cat({{0x32, 0x00, 0x12, 0x34}, Bytes(kEpc12.begin(), kEpc12.begin() + 10), crc})),
         16, 0x3200, 0x1234, 0, 4, 10, 0x5C3A, true},
        {"XPC word 1 announces XPC word 2",
         Report(517, 128, Cat({{0x32, 0x00, 0x80, 0x01, 0x00, 0x02}, Bytes(kEpc12.begin(), kEpc12.begin() + 8), crc})), 16,
         0x3200, 0x8001, 0x0002, 6, 8, 0x5C3A, true},
        {"XPC bit 0x8000 without PC bit 0x0200 is EPC", Report(517, 64, {0x30, 0x00, 0x80, 0x01, 0xAA, 0xBB, 0x5C, 0x3A}),
         8, 0x3000, 0, 0, 2, 4, 0x5C3A, true},
        {"PC and CRC only: empty EPC", Report(517, 32, {0x30, 0x00, 0x5C, 0x3A}), 4, 0x3000, 0, 0, 2, 0, 0x5C3A, true},
        {"odd bit count: whole bytes only", Report(517, 130, Cat({{0x30, 0x00}, kEpc12, crc, {0x80}})), 17, 0x3000, 0, 0,
         2, 12, 0x5C3A, true},
        {"bytes beyond the bit count are not tag bits", Report(517, 64, Cat({{0x30, 0x00, 1, 2, 3, 4}, crc, {0xC1, 0xC2}})),
         10, 0x3000, 0, 0, 2, 4, 0x5C3A, true},
    };
    for (const ReportCase &c : cases) Run(c);
}

TEST_F(TagReportHandler, Format517TooShortForWhatItAnnouncesHasNoData) {
    const ReportCase cases[] = {
        {"no tag data item", {0x01, 0x02, 0x05}, 0, 0, 0, 0, -1, 0, 0, false},
        {"0 bits", Report(517, 0, {}), 0, 0, 0, 0, -1, 0, 0, true},
        {"8 bits: half a PC", Report(517, 8, {0x30}), 1, 0, 0, 0, -1, 0, 0, true},
        {"15 bits: still no whole PC", Report(517, 15, {0x30, 0x00}), 2, 0, 0, 0, -1, 0, 0, true},
        {"24 bits: PC and half a CRC", Report(517, 24, {0x30, 0x00, 0x5C}), 3, 0, 0, 0, -1, 0, 0, true},
        {"PC announces XPC: no room for the CRC", Report(517, 32, {0x32, 0x00, 0x12, 0x34}), 4, 0, 0, 0, -1, 0, 0, true},
        {"PC announces XPC: not even XPC word 1", Report(517, 24, {0x32, 0x00, 0x12}), 3, 0, 0, 0, -1, 0, 0, true},
        {"XPC word 2 announced and absent", Report(517, 32, {0x32, 0x00, 0x80, 0x00}), 4, 0, 0, 0, -1, 0, 0, true},
        {"XPC word 2 present, CRC only behind the bit count",
         Report(517, 48, {0x32, 0x00, 0x80, 0x00, 0x00, 0x01, 0x5C, 0x3A}), 8, 0, 0, 0, -1, 0, 0, true},
        {"bit count beyond the item: the item is not taken", Report(517, 0xFFFF, Cat({{0x30, 0x00}, kEpc12, {0x5C, 0x3A}})),
         16, 0, 0, 0, -1, 0, 0, false},
        {"one bit more than the item holds", Report(517, 129, Cat({{0x30, 0x00}, kEpc12, {0x5C, 0x3A}})), 16, 0, 0, 0, -1, 0,
         0, false},
        {"length field beyond the block", Report(517, 32, {0x30, 0x00, 0x5C, 0x3A}, 0x00FF), 4, 0, 0, 0, -1, 0, 0, false},
        {"length field below the tag data header", Report(517, 0, {0x30, 0x00, 0x5C, 0x3A}, 3), 4, 0, 0, 0, -1, 0, 0,
         false},
    };
    for (const ReportCase &c : cases) Run(c);
}

TEST_F(TagReportHandler, OtherFormatsCarryWholeBytesAndNoPcXpcOrCrc) {
    Bytes hundredBits = Cat({{0x32, 0x00, 0x80, 0x00}, Bytes(kEpc12.begin(), kEpc12.begin() + 9)});  // 13 bytes
    const ReportCase cases[] = {
        {"100 bits: 12 bytes", Report(1, 100, hundredBits), 13, 0, 0, 0, 0, 12, 0, true},
        {"7 bits: 0 bytes", Report(1, 7, {0xFF}), 1, 0, 0, 0, 0, 0, 0, true},
        {"no format item: format 0", Cat({{0x47, 0x00, 0x09, 0x01, 0, 0, 0, 0x02, 0x00, 0x10, 0xAA, 0xBB}}), 2, 0, 0, 0,
         0, 2, 0, true},
        {"format 0x0204", Report(0x0204, 32, {0x30, 0x00, 0x5C, 0x3A}), 4, 0, 0, 0, 0, 4, 0, true},
        {"no tag data item", {0x01, 0x00, 0x01, 0x30, 0x07}, 0, 0, 0, 0, -1, 0, 0, false},
        {"bit count beyond the item", Report(1, 200, {1, 2, 3}), 3, 0, 0, 0, -1, 0, 0, false},
    };
    for (const ReportCase &c : cases) Run(c);
}

TEST_F(TagReportHandler, OtherItemsPassThroughAndTheLastOneWins) {
    const Bytes body = Cat({{0x01, 0x02, 0x05, 0x93, 0x08, 0x02, 0xA1, 0xFF, 0xC4, 0xF0, 0x14, 0x01, 0x61, 0x00, 0x01,
                             0x61, 0x00, 0x02, 0xF4, 0x16, 0x00, 0x02, 0xDE, 0xAD},
                            Report(517, 64, {0x30, 0x00, 0x11, 0x22, 0x33, 0x44, 0x5C, 0x3A})});
    ExactBlock b(body);
    seen_.firstBit = b.get()->writePtr - 8;
    ulmot_ClientHandleTagReport(client_.get(), 1, 2, b.get());
    const TagReport &r = seen_.report;
    EXPECT_EQ(std::make_tuple(r.format, r.item9Instance, r.item10, r.item20, r.item6, r.item22Length),
              std::make_tuple(uint16_t{517}, uint8_t{2}, uint16_t{0xFFC4}, uint8_t{1}, uint16_t{2}, uint32_t{2}));
    EXPECT_EQ(Hex(r.item22Data, r.item22Length), "DE AD");
    EXPECT_EQ(seen_.bytes, "11 22 33 44");
    EXPECT_EQ(r.crc, 0x5C3A);
}

TEST_F(TagReportHandler, NothingHappensWithoutACallback) {
    client_->tagPath.inventory.Set({nullptr, nullptr, nullptr, &seen_});
    ExactBlock b(Report(517, 32, {0x30, 0x00, 0x5C, 0x3A}));
    ulmot_ClientHandleTagReport(client_.get(), 1, 2, b.get());
    EXPECT_EQ(seen_.calls, 0);
}

}  // namespace
