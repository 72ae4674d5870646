// items/dtp.h - the item format's internals: header decoding and encoding,
// item sizes and the lookups that every reader builds on. Not exported.
//
// Every function here works with counts of bytes left before writePtr (or
// before the end it is given), never with pointers past the end, and reads
// no byte at or past that end.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ulmot/items.h"

// A nibble of 15 in the first header byte means the id or the type code
// follows in an extension byte.
inline constexpr uint8_t kDtpExtension = 0x0F;

// The largest value a 16-bit length field can carry.
inline constexpr uint32_t kDtpMaxLength = 0xFFFF;

// A decoded item header: id, type code and the header's size in bytes (1 to 3).
struct DtpHeader {
    uint8_t id;
    uint8_t type;
    uint32_t size;
};

// Value sizes of the fixed-size types 0 to 3 (Int8, Int16, Int32, ObjectReference);
// every other type code carries a 16-bit length in front of its value.
inline constexpr uint32_t kDtpFixedValueSize[] = {1, 2, 4, 2};
inline constexpr uint32_t kDtpFixedTypeCount = 4;
inline constexpr uint32_t kDtpLengthFieldSize = 2;

// Decodes the header of the item at `item`, of which `available` bytes may be
// read. False when the header (with its extension bytes) is longer than that.
inline bool DtpDecodeHeader(const uint8_t *item, size_t available, DtpHeader *header) {
    if (available == 0) return false;
    uint32_t size = 1;
    uint8_t id = static_cast<uint8_t>(item[0] >> 4);
    uint8_t type = static_cast<uint8_t>(item[0] & 0x0F);
    // The id extension comes first, then the type extension.
    if (id == kDtpExtension) {
        if (available <= size) return false;
        id = item[size++];
    }
    if (type == kDtpExtension) {
        if (available <= size) return false;
        type = item[size++];
    }
    *header = DtpHeader{id, type, size};
    return true;
}

// The size of the item at `item` whose header `h` is decoded, with
// `available` bytes from `item` on: 0 when its length field does not lie
// within them. The size is exact and never wraps: a length field of 65,535
// gives 65,535 + 2 + the header.
inline uint32_t DtpItemSizeAfterHeader(const DtpHeader &h, const uint8_t *item, size_t available) {
    if (h.type < kDtpFixedTypeCount) return h.size + kDtpFixedValueSize[h.type];
    if (available - h.size < kDtpLengthFieldSize) return 0;
    return h.size + kDtpLengthFieldSize + (uint32_t{item[h.size]} << 8 | item[h.size + 1]);
}

// Bytes from the start of the item at `item` to the start of the next one,
// when at least its header (and, for length-prefixed types, its length field)
// lies before `end`; 0 when they do not.
inline uint32_t DtpItemSize(const uint8_t *item, const uint8_t *end) {
    if (item >= end) return 0;
    const auto available = static_cast<size_t>(end - item);
    DtpHeader h;
    if (!DtpDecodeHeader(item, available, &h)) return 0;
    return DtpItemSizeAfterHeader(h, item, available);
}

// The value of the index-th item with `itemId` (counted over items of every
// type) in the block's data, provided that item has `typeCode` and at least
// `minValueSize` bytes of it lie before writePtr; null otherwise. The search
// stops at the first item that would reach past writePtr.
const uint8_t *DtpFindItem(const MessageBlock *block, uint8_t itemId, uint16_t index,
                           uint8_t typeCode, uint32_t minValueSize);

// The value of the element-index-th element of type `typeCode` inside the
// index-th List with `itemId`, with at least `minValueSize` bytes before
// writePtr; null otherwise.
const uint8_t *DtpFindListElement(const MessageBlock *block, uint8_t itemId, uint16_t index,
                                  uint8_t typeCode, uint8_t elementIndex, uint32_t minValueSize);

// Clears `report` and fills it from the items of the event body in `block`
// (one walk; a later item with the same id wins). Never fails: missing or
// malformed items leave their fields at 0 or null.
void ParseTagReportItems(TagReport *report, const MessageBlock *block);

// ---- Writing ----------------------------------------------------------------

// The header size that the writers use for `itemId`: 1, or 2 from id 15 up
// (writers never write a type extension).
uint32_t DtpHeaderSize(uint8_t itemId);

// Writes the header of an item (id extension when needed) at `at` and returns
// the position of its value.
uint8_t *DtpPutHeader(uint8_t *at, uint8_t itemId, uint8_t typeCode);

// Starts an item of `valueSize` bytes (length field included) at writePtr:
// when the tail room holds header and value, writes the header, moves
// writePtr past the whole item and returns the position of the value, which
// the caller fills. Otherwise changes nothing, logs `noRoomLine` and returns
// null. `valueSize` is 64-bit so that no size a caller can pass wraps.
uint8_t *DtpBeginItem(MessageBlock *block, uint32_t itemId, uint8_t typeCode, uint64_t valueSize,
                      const char *noRoomLine);

// ---- Big-endian numbers -----------------------------------------------------

inline uint16_t DtpLoad16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t DtpLoad32(const uint8_t *p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}
inline uint8_t *DtpStore16(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
    return p + 2;
}
inline uint8_t *DtpStore32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    return DtpStore16(p + 2, v);
}

// ---- Tag data ---------------------------------------------------------------

// Whether the TagData value at `value` (its length field first; `available`
// bytes before writePtr, at least 2) is sound: its length fits, covers the
// header byte, header word and bit count, and holds (bit count + 7) / 8 bytes.
bool DtpTagDataIsSound(const uint8_t *value, size_t available);

// Stores the header byte, header word, data pointer and bit count of a sound
// TagData value into `record`; its other fields are not touched.
void DtpTakeTagData(const uint8_t *value, TagReport *record);
