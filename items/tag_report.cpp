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

// The walk's rule for an item: the bytes from the item's start that must lie
// before writePtr (its header and the larger of the id's read width and the
// type's fixed value or length field), the item's size for a fixed type (0:
// the length field gives it) and the id's rule.
struct ByteRule {
    uint8_t need;
    uint8_t fixedSize;
    IdRule rule;
};

constexpr uint8_t Max(uint8_t a, uint8_t b) { return a > b ? a : b; }

// The rule of an item with a header of `header` bytes, the id's `rule` and
// `type` (from 4 up: a length field).
constexpr ByteRule RuleOf(uint8_t header, IdRule rule, uint8_t type) {
    const bool fixed = type < kDtpFixedTypeCount;
    const auto value = static_cast<uint8_t>(fixed ? kDtpFixedValueSize[type] : kLengthFieldSize);
    return ByteRule{static_cast<uint8_t>(header + Max(rule.width, value)),
                    static_cast<uint8_t>(fixed ? header + value : 0), rule};
}

// By the item's first byte; need 0 when an extension byte follows.
constexpr auto kByteRules = [] {
    struct Table {
        ByteRule rule[256];
    } t{};
    for (unsigned b = 0; b < 256; ++b) {
        const auto id = static_cast<uint8_t>(b >> 4), type = static_cast<uint8_t>(b & 0x0F);
        if (id != kDtpExtension && type != kDtpExtension) t.rule[b] = RuleOf(1, kRules.rule[id], type);
    }
    return t;
}();

// For an id in an extension byte, by the type of the first byte: the rule of
// the header and the type (the id's part comes with the id).
constexpr auto kIdExtensionRules = [] {
    struct Table {
        ByteRule rule[16];
    } t{};
    for (unsigned type = 0; type < kDtpExtension; ++type) t.rule[type] = RuleOf(2, IdRule{0, 0}, static_cast<uint8_t>(type));
    return t;
}();

// The rule of an item whose first byte an extension byte follows, and its
// header size; need 0 when the header reaches past writePtr.
struct ExtendedHead {
    ByteRule rule;
    uint8_t size;
};

// A type extension, which writers never write, or a header cut short.
__attribute__((noinline)) ExtendedHead RareHead(const uint8_t *item, size_t left) {
    DtpHeader h;
    if (!DtpDecodeHeader(item, left, &h)) return ExtendedHead{};
    const auto size = static_cast<uint8_t>(h.size);
    return ExtendedHead{RuleOf(size, kRules.rule[h.id], h.type < kDtpExtension ? h.type : kDtpExtension), size};
}

inline ExtendedHead HeadWithExtension(const uint8_t *item, size_t left) {
    const auto type = static_cast<uint8_t>(item[0] & 0x0F);
    if (type == kDtpExtension || left < 2) return RareHead(item, left);
    ByteRule r = kIdExtensionRules.rule[type];
    r.rule = kRules.rule[item[1]];
    r.need = Max(r.need, static_cast<uint8_t>(2 + r.rule.width));
    return ExtendedHead{r, 2};
}

// The item's id, from its first byte or the id extension after it.
inline uint8_t IdOf(const uint8_t *item) {
    const auto id = static_cast<uint8_t>(item[0] >> 4);
    return id == kDtpExtension ? item[1] : id;
}

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
        ByteRule r = kByteRules.rule[item[0]];
        size_t headerSize = 1;
        if (r.need == 0) {
            const ExtendedHead head = HeadWithExtension(item, left);
            if (head.rule.need == 0) return;
            r = head.rule;
            headerSize = head.size;
        }
        if (r.need > left) return;  // for a fixed type the whole item lies inside
        const uint8_t *value = item + headerSize;
        size_t size = r.fixedSize;
        if (size == 0) {
            size = headerSize + kLengthFieldSize + DtpLoad16(value);
            if (size > left) return;
        }
        if (r.rule.int16Offset != 0) {
            const uint16_t v = DtpLoad16(value);
            std::memcpy(reinterpret_cast<uint8_t *>(report) + r.rule.int16Offset, &v, sizeof v);
        } else if (r.rule.width != 0) {
            Take(report, IdOf(item), value, left - headerSize);
        }
        item += size;
        left -= size;
    }
}
