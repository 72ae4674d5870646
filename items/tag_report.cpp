// ParseTagReportItems: reads the items of a tag report event into a TagReport
// in one walk over the body. Items are recognised by id alone; their type
// codes play no part.
#include "items/dtp.h"

namespace {

constexpr size_t kLengthFieldSize = 2;

size_t BytesBetween(const uint8_t *from, const uint8_t *to) { return static_cast<size_t>(to - from); }

// Bytes of its value that the walk reads for an item id; 0 for ids it ignores.
constexpr uint8_t ReadWidth(uint8_t id) {
    switch (id) {
        case 20: return 1;
        case 18: return 4;
        case 0: case 4: case 6: case 7: case 8: case 9:
        case 10: case 13: case 14: case 16: case 22: return 2;
        default: return 0;
    }
}

// ReadWidth for every id, looked up once per item.
constexpr auto kReadWidths = [] {
    struct Table {
        uint8_t width[256];
    } t{};
    for (unsigned id = 0; id < 256; ++id) t.width[id] = ReadWidth(static_cast<uint8_t>(id));
    return t;
}();

// Stores the value at `v` (with `available` bytes before writePtr, at least
// the id's read width) into its field. Tag data (4) and item 22 are taken
// only when their length fits, and tag data only when its bit count agrees.
void Take(TagReport *r, uint8_t id, const uint8_t *v, size_t available) {
    switch (id) {
        case 0: r->format = DtpLoad16(v); break;
        case 6: r->item6 = DtpLoad16(v); break;
        case 7: r->item7 = DtpLoad16(v); break;
        case 8: r->item8 = DtpLoad16(v); break;
        case 10: r->item10 = DtpLoad16(v); break;
        case 13: r->item13 = DtpLoad16(v); break;
        case 14: r->item14 = DtpLoad16(v); break;
        case 16: r->item16 = DtpLoad16(v); break;
        case 4:
            if (DtpTagDataIsSound(v, available)) DtpTakeTagData(v, r);
            break;
        case 9: r->item9Instance = v[1]; break;  // the instance of an object reference
        case 18: r->item18 = DtpLoad32(v); break;
        case 20: r->item20 = v[0]; break;
        case 22: {
            const uint16_t length = DtpLoad16(v);
            if (length <= available - kLengthFieldSize) {
                r->item22Data = v + kLengthFieldSize;
                r->item22Length = length;
            }
            break;
        }
        default: break;
    }
}

}  // namespace

void ParseTagReportItems(TagReport *report, const MessageBlock *block) {
    *report = TagReport{};
    const uint8_t *item = block->readPtr;
    size_t left = BytesBetween(block->readPtr, block->writePtr);
    while (left > 0) {
        // An item that reaches past writePtr, or whose field would, ends the walk.
        DtpHeader h;
        if (!DtpDecodeHeader(item, left, &h)) return;
        const uint32_t size = DtpItemSizeAfterHeader(h, item, left);
        if (size == 0 || size > left) return;
        const size_t available = left - h.size;
        if (kReadWidths.width[h.id] > available) return;
        Take(report, h.id, item + h.size, available);
        item += size;
        left -= size;
    }
}
