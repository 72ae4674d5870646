// The item format: header decoding and encoding, item sizes, the lookup of an
// item by id and occurrence, the lookup of a list element, and the room check
// that every writer goes through.
//
// Positions are carried as a pointer plus the count of bytes left before the
// end, so no pointer is ever formed past the end and no length field, however
// large, can wrap a position around to a small step.
#include "items/dtp.h"

namespace {

constexpr uint32_t kLengthFieldSize = kDtpLengthFieldSize;

size_t BytesBetween(const uint8_t *from, const uint8_t *to) { return static_cast<size_t>(to - from); }

}  // namespace

const uint8_t *DtpFindItem(const MessageBlock *block, uint8_t itemId, uint16_t index,
                           uint8_t typeCode, uint32_t minValueSize) {
    const uint8_t *item = block->readPtr;
    size_t left = BytesBetween(block->readPtr, block->writePtr);
    uint32_t seen = 0;  // earlier items with this id, whatever their type
    while (left > 0) {
        DtpHeader h;
        if (!DtpDecodeHeader(item, left, &h)) return nullptr;
        if (h.id == itemId) {
            if (seen == index) {
                // The index-th occurrence decides: a later item of the right
                // type with the same id is not looked for.
                if (h.type != typeCode || left - h.size < minValueSize) return nullptr;
                return item + h.size;
            }
            ++seen;
        }
        const uint32_t size = DtpItemSizeAfterHeader(h, item, left);
        if (size == 0 || size > left) return nullptr;
        item += size;
        left -= size;
    }
    return nullptr;
}

const uint8_t *DtpFindListElement(const MessageBlock *block, uint8_t itemId, uint16_t index,
                                  uint8_t typeCode, uint8_t elementIndex, uint32_t minValueSize) {
    const uint8_t *list = DtpFindItem(block, itemId, index, ULMOT_DTP_LIST, kLengthFieldSize);
    if (list == nullptr) return nullptr;
    const uint32_t length = DtpLoad16(list);
    // The length counts the count byte and the elements; a list needs both.
    if (length > BytesBetween(list, block->writePtr) - kLengthFieldSize || length < 2) return nullptr;

    // The count byte is not consulted: the elements run to the list's end.
    // An element counts when it starts before the list's end; like any item,
    // its header and value are read up to writePtr, not up to the list's end
    // (a peer reading the same bytes finds the same value). The list ends at
    // or before writePtr, so an element that would start at or after the
    // list's end also ends the walk at writePtr.
    const uint8_t *element = list + kLengthFieldSize + 1;
    size_t inList = length - 1;                             // bytes up to the list's end
    size_t left = BytesBetween(element, block->writePtr);  // bytes up to writePtr
    uint32_t seen = 0;                                      // earlier elements of the type
    for (;;) {
        DtpHeader h;
        if (!DtpDecodeHeader(element, left, &h)) return nullptr;
        if (h.type == typeCode) {
            if (seen == elementIndex) return left - h.size >= minValueSize ? element + h.size : nullptr;
            ++seen;
        }
        const uint32_t size = DtpItemSizeAfterHeader(h, element, left);
        if (size == 0 || size >= inList) return nullptr;
        element += size;
        inList -= size;
        left -= size;
    }
}

uint32_t DtpHeaderSize(uint8_t itemId) { return itemId < kDtpExtension ? 1u : 2u; }

uint8_t *DtpPutHeader(uint8_t *at, uint8_t itemId, uint8_t typeCode) {
    if (itemId < kDtpExtension) {
        *at++ = static_cast<uint8_t>(itemId << 4 | typeCode);
    } else {
        *at++ = static_cast<uint8_t>(kDtpExtension << 4 | typeCode);
        *at++ = itemId;
    }
    return at;
}

uint8_t *DtpBeginItem(MessageBlock *block, uint32_t itemId, uint8_t typeCode, uint64_t valueSize,
                      const char *noRoomLine) {
    const uint8_t id = static_cast<uint8_t>(itemId);
    const uint64_t itemSize = DtpHeaderSize(id) + valueSize;
    const uint64_t tailRoom = BytesBetween(block->writePtr, block->dataBlock->limit);
    if (itemSize > tailRoom) {
        ulmot_Debug("%s", noRoomLine);
        return nullptr;
    }
    uint8_t *value = DtpPutHeader(block->writePtr, id, typeCode);
    block->writePtr += itemSize;
    return value;
}
