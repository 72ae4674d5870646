// ParseTagReportItems: reads the items of a tag report event into a TagReport
// in one walk over the body. Items are recognised by id alone; their type
// codes play no part.
#include "items/dtp.h"

namespace {

constexpr size_t kLengthFieldSize = 2;

size_t BytesBetween(const uint8_t *from, const uint8_t *to) { return static_cast<size_t>(to - from); }

// Bytes of its value that the walk reads for an item id; 0 for ids it ignores.
uint32_t ReadWidth(uint8_t id) {
    switch (id) {
        case 20: return 1;
        case 18: return 4;
        case 0: case 4: case 6: case 7: case 8: case 9:
        case 10: case 13: case 14: case 16: case 22: return 2;
        default: return 0;
    }
}

uint16_t *Int16Field(TagReport *r, uint8_t id) {
    switch (id) {
        case 0: return &r->format;
        case 6: return &r->item6;
        case 7: return &r->item7;
        case 8: return &r->item8;
        case 10: return &r->item10;
        case 13: return &r->item13;
        case 14: return &r->item14;
        case 16: return &r->item16;
        default: return nullptr;
    }
}

// Stores the value at `v` (with `available` bytes before writePtr, at least
// the id's read width) into its field. Tag data (4) and item 22 are taken
// only when their length fits, and tag data only when its bit count agrees.
void Take(TagReport *r, uint8_t id, const uint8_t *v, size_t available) {
    if (uint16_t *field = Int16Field(r, id)) {
        *field = DtpLoad16(v);
    } else if (id == 4) {
        if (DtpTagDataIsSound(v, available)) DtpTakeTagData(v, r);
    } else if (id == 9) {
        r->item9Instance = v[1];  // the instance of an object reference
    } else if (id == 18) {
        r->item18 = DtpLoad32(v);
    } else if (id == 20) {
        r->item20 = v[0];
    } else if (id == 22) {
        const uint16_t length = DtpLoad16(v);
        if (length <= available - kLengthFieldSize) {
            r->item22Data = v + kLengthFieldSize;
            r->item22Length = length;
        }
    }
}

}  // namespace

void ParseTagReportItems(TagReport *report, const MessageBlock *block) {
    *report = TagReport{};
    const uint8_t *item = block->readPtr;
    size_t left = BytesBetween(block->readPtr, block->writePtr);
    while (left > 0) {
        // An item that reaches past writePtr, or whose field would, ends the walk.
        const uint32_t size = DtpItemSize(item, item + left);
        if (size == 0 || size > left) return;
        DtpHeader h;
        DtpDecodeHeader(item, left, &h);  // cannot fail: DtpItemSize decoded it
        const size_t available = left - h.size;
        if (ReadWidth(h.id) > available) return;
        Take(report, h.id, item + h.size, available);
        item += size;
        left -= size;
    }
}
