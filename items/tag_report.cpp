// ParseTagReportItems: reads the items of a tag report event into a TagReport
// in one walk over the body. Items are recognised by id alone; their type
// codes play no part.
#include <cstddef>
#include <cstring>

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

// What the walk does with an item id: the bytes of its value it reads, and
// for an Int16 field the field's offset in the record (0: not one).
struct IdRule {
    uint8_t width;
    uint8_t int16Offset;
};

constexpr uint8_t Int16Offset(uint8_t id) {
    switch (id) {
        case 0: return offsetof(TagReport, format);
        case 6: return offsetof(TagReport, item6);
        case 7: return offsetof(TagReport, item7);
        case 8: return offsetof(TagReport, item8);
        case 10: return offsetof(TagReport, item10);
        case 13: return offsetof(TagReport, item13);
        case 14: return offsetof(TagReport, item14);
        case 16: return offsetof(TagReport, item16);
        default: return 0;
    }
}

constexpr auto kRules = [] {
    struct Table {
        IdRule rule[256];
    } t{};
    for (unsigned id = 0; id < 256; ++id) {
        t.rule[id] = IdRule{ReadWidth(static_cast<uint8_t>(id)), Int16Offset(static_cast<uint8_t>(id))};
    }
    return t;
}();
static_assert(offsetof(TagReport, format) != 0, "0 means no Int16 field");

// Stores the value at `v` (with `available` bytes before writePtr, at least
// the id's read width) into its field, for the ids that are not Int16
// fields. Tag data (4) and item 22 are taken only when their length fits,
// and tag data only when its bit count agrees.
void Take(TagReport *r, uint8_t id, const uint8_t *v, size_t available) {
    switch (id) {
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
    // An item that reaches past writePtr, or whose field would, ends the walk.
    while (left > 0) {
        DtpHeader h{static_cast<uint8_t>(item[0] >> 4), static_cast<uint8_t>(item[0] & 0x0F), 1};
        if (h.id == kDtpExtension || h.type == kDtpExtension) {
            if (!DtpDecodeHeader(item, left, &h)) return;
        }
        const IdRule rule = kRules.rule[h.id];
        const size_t available = left - h.size;
        if (rule.width > available) return;
        size_t size;
        if (h.type < kDtpFixedTypeCount) {
            if (kDtpFixedValueSize[h.type] > available) return;
            size = h.size + kDtpFixedValueSize[h.type];
        } else {
            if (available < kLengthFieldSize) return;
            size = h.size + kLengthFieldSize + DtpLoad16(item + h.size);
            if (size > left) return;
        }
        const uint8_t *value = item + h.size;
        if (rule.int16Offset != 0) {
            const uint16_t v = DtpLoad16(value);
            std::memcpy(reinterpret_cast<uint8_t *>(report) + rule.int16Offset, &v, sizeof v);
        } else if (rule.width != 0) {
            Take(report, h.id, value, available);
        }
        item += size;
        left -= size;
    }
}
