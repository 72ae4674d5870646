// Writers and readers of the length-prefixed items: ByteArray (and strings),
// List, TagFilter and TagData.
#include <cstring>

#include "items/dtp.h"

namespace {

constexpr uint32_t kLengthFieldSize = 2;
constexpr uint32_t kMaxListElements = 255;  // the count field is one byte

// TagData value: length, header byte, header word, bit count, then the bits.
constexpr uint32_t kTagDataHeaderByte = 2;
constexpr uint32_t kTagDataHeaderWord = 3;
constexpr uint32_t kTagDataBitCount = 7;
constexpr uint32_t kTagDataBits = 9;
constexpr uint32_t kTagDataFixedLength = kTagDataBits - kLengthFieldSize;  // counted in L

// List elements that the writers produce: Int8 is 00 and the value,
// ObjectReference 03, the object type and the instance.
constexpr uint32_t kInt8ElementSize = 2;
constexpr uint32_t kReferenceElementSize = 3;

uint32_t BytesForBits(uint32_t bits) { return (bits + 7) / 8; }

size_t BytesBetween(const uint8_t *from, const uint8_t *to) { return static_cast<size_t>(to - from); }

// memcpy with a source that may be null when nothing is copied.
uint8_t *CopyBytes(uint8_t *to, const void *from, uint32_t count) {
    if (count > 0) std::memcpy(to, from, count);
    return to + count;
}

// The list header (length and count) in front of `count` elements of
// `elementSize` bytes each; returns where the first element goes.
uint8_t *PutListHeader(uint8_t *v, uint32_t count, uint32_t elementSize) {
    v = DtpStore16(v, count * elementSize + 1);
    *v++ = static_cast<uint8_t>(count);
    return v;
}

}  // namespace

bool DtpTagDataIsSound(const uint8_t *value, size_t available) {
    const uint32_t length = DtpLoad16(value);
    if (length > available - kLengthFieldSize) return false;
    // The bit count lies inside the value only from a length of 7 on.
    if (length < kTagDataFixedLength) return false;
    return length - kTagDataFixedLength >= BytesForBits(DtpLoad16(value + kTagDataBitCount));
}

void DtpTakeTagData(const uint8_t *value, TagReport *record) {
    record->tagDataHeaderByte = value[kTagDataHeaderByte];
    record->tagDataHeaderWord = DtpLoad32(value + kTagDataHeaderWord);
    record->data = value + kTagDataBits;
    record->dataLength = DtpLoad16(value + kTagDataBitCount);
}

extern "C" {

int32_t ulmot_BufferWriteDTPByteArray(MessageBlock *block, uint32_t itemId, const void *source,
                                      uint32_t length) {
    // A length above 65,535 does not fit any block, so the room check refuses it.
    uint8_t *v = DtpBeginItem(block, itemId, ULMOT_DTP_BYTE_ARRAY, uint64_t{kLengthFieldSize} + length,
                              "ulmot_BufferWriteDTPBitArray: Insufficient tail space");
    if (v == nullptr) return ULMOT_ERR_FAILED;
    CopyBytes(DtpStore16(v, length), source, length);
    return ULMOT_OK;
}

int32_t ulmot_BufferWriteDTPInt8List(MessageBlock *block, uint32_t itemId, const uint8_t *values,
                                     uint32_t count) {
    if (values == nullptr || count == 0 || count > kMaxListElements) {
        ulmot_Debug("ulmot_BufferWriteDTPInt8List: Invalid parameter");
        return ULMOT_ERR_INVALID;
    }
    uint8_t *v = DtpBeginItem(block, itemId, ULMOT_DTP_LIST,
                              kLengthFieldSize + 1 + count * kInt8ElementSize,
                              "ulmot_BufferWriteDTPInt8List: Insufficient tail space");
    if (v == nullptr) return ULMOT_ERR_FAILED;
    v = PutListHeader(v, count, kInt8ElementSize);
    for (uint32_t i = 0; i < count; ++i) {
        v = DtpPutHeader(v, 0, ULMOT_DTP_INT8);
        *v++ = values[i];
    }
    return ULMOT_OK;
}

int32_t ulmot_BufferWriteDTPObjectReferenceList(MessageBlock *block, uint32_t itemId,
                                                uint32_t objectType, const uint8_t *instances,
                                                uint8_t count) {
    if (instances == nullptr || count == 0) {
        ulmot_Debug("ulmot_BufferWriteDTPObjectReferenceList: Invalid parameter");
        return ULMOT_ERR_INVALID;
    }
    uint8_t *v = DtpBeginItem(block, itemId, ULMOT_DTP_LIST,
                              kLengthFieldSize + 1 + uint32_t{count} * kReferenceElementSize,
                              "ulmot_BufferWriteDTPObjectReferenceList: Insufficient tail space");
    if (v == nullptr) return ULMOT_ERR_FAILED;
    v = PutListHeader(v, count, kReferenceElementSize);
    for (uint32_t i = 0; i < count; ++i) {
        v = DtpPutHeader(v, 0, ULMOT_DTP_OBJECT_REFERENCE);
        *v++ = static_cast<uint8_t>(objectType);
        *v++ = instances[i];
    }
    return ULMOT_OK;
}

int32_t ulmot_BufferWriteDTPTagFilter(MessageBlock *block, uint32_t itemId, uint8_t flags,
                                      uint8_t filterByte, uint32_t filterWord,
                                      uint16_t dataLengthBits, uint16_t maskLengthBytes,
                                      const uint8_t *data, const uint8_t *mask) {
    // Filter byte, filter word, flags, bit count and mask length come before
    // data and mask. 10 + 8192 + 65,535 is more than a block holds, but the
    // sum itself cannot wrap in 32 bits.
    const uint32_t dataBytes = BytesForBits(dataLengthBits);
    const uint32_t length = 10 + dataBytes + maskLengthBytes;
    uint8_t *v = DtpBeginItem(block, itemId, ULMOT_DTP_TAG_FILTER, kLengthFieldSize + length,
                              "ulmot_BufferWriteDTPTagFilter: Insufficient tail space");
    if (v == nullptr) return ULMOT_ERR_FAILED;
    v = DtpStore16(v, length);
    *v++ = filterByte;
    v = DtpStore32(v, filterWord);
    *v++ = flags;
    v = DtpStore16(v, dataLengthBits);
    v = DtpStore16(v, maskLengthBytes);
    CopyBytes(CopyBytes(v, data, dataBytes), mask, maskLengthBytes);
    return ULMOT_OK;
}

int32_t ulmot_BufferPrependListInfo(MessageBlock *block, uint32_t itemId, uint32_t count,
                                    uint32_t length) {
    const uint8_t id = static_cast<uint8_t>(itemId);
    const uint32_t headerSize = DtpHeaderSize(id) + kLengthFieldSize + 1;
    if (BytesBetween(block->dataBlock->base, block->readPtr) < headerSize) {
        ulmot_Debug("ulmot_BufferPrependListInfo: Insufficient head space");
        return ULMOT_ERR_FAILED;
    }
    block->readPtr -= headerSize;
    uint8_t *v = DtpPutHeader(block->readPtr, id, ULMOT_DTP_LIST);
    v = DtpStore16(v, length + 1);  // the count byte is part of the list's length
    *v = static_cast<uint8_t>(count);
    return ULMOT_OK;
}

int32_t ulmot_BufferPeekDTPByteArray(MessageBlock *block, uint32_t itemId, uint16_t index,
                                     const uint8_t **data, uint16_t *length) {
    const uint8_t *v = DtpFindItem(block, static_cast<uint8_t>(itemId), index, ULMOT_DTP_BYTE_ARRAY,
                                   kLengthFieldSize);
    if (v == nullptr) return ULMOT_ERR_NOT_FOUND;
    const uint16_t arrayLength = DtpLoad16(v);
    if (arrayLength > BytesBetween(v, block->writePtr) - kLengthFieldSize) return ULMOT_ERR_BEFORE_START;
    if (data != nullptr) *data = v + kLengthFieldSize;
    if (length != nullptr) *length = arrayLength;
    return ULMOT_OK;
}

int32_t ulmot_BufferReadDTPByteArray(MessageBlock *block, uint32_t itemId, uint16_t index,
                                     void *destination, uint16_t capacity, uint16_t *length) {
    if (length == nullptr) return ULMOT_ERR_INVALID;
    const uint8_t *data;
    uint16_t arrayLength;
    const int32_t rc = ulmot_BufferPeekDTPByteArray(block, itemId, index, &data, &arrayLength);
    if (rc != ULMOT_OK) return rc;
    // The caller learns the size it needs even when its buffer is too small.
    *length = arrayLength;
    if (arrayLength > capacity) return ULMOT_ERR_BEYOND_END;
    if (destination != nullptr) CopyBytes(static_cast<uint8_t *>(destination), data, arrayLength);
    return ULMOT_OK;
}

int32_t ulmot_BufferReadDTPString(MessageBlock *block, uint32_t itemId, uint16_t index,
                                  char *destination, uint16_t capacity) {
    // The capacity counts the terminator, so 0 cannot hold even an empty string.
    if (capacity == 0) return ULMOT_ERR_INVALID;
    uint16_t length;
    const int32_t rc = ulmot_BufferReadDTPByteArray(block, itemId, index, destination,
                                                    static_cast<uint16_t>(capacity - 1), &length);
    if (rc == ULMOT_OK && destination != nullptr) destination[length] = '\0';
    return rc;
}

int32_t ulmot_BufferReadDTPTagData(MessageBlock *block, uint32_t itemId, uint16_t index,
                                   TagReport *record) {
    const uint8_t *v = DtpFindItem(block, static_cast<uint8_t>(itemId), index, ULMOT_DTP_TAG_DATA,
                                   kLengthFieldSize);
    if (v == nullptr) return ULMOT_ERR_NOT_FOUND;
    if (!DtpTagDataIsSound(v, BytesBetween(v, block->writePtr))) return ULMOT_ERR_BEFORE_START;
    if (record != nullptr) DtpTakeTagData(v, record);
    return ULMOT_OK;
}

int32_t ulmot_BufferReadDTPListInt8(MessageBlock *block, uint32_t itemId, uint16_t index,
                                    uint8_t elementIndex, uint8_t *value) {
    const uint8_t *v =
        DtpFindListElement(block, static_cast<uint8_t>(itemId), index, ULMOT_DTP_INT8, elementIndex, 1);
    if (v == nullptr) return ULMOT_ERR_NOT_FOUND;
    if (value != nullptr) *value = v[0];
    return ULMOT_OK;
}

}  // extern "C"
