// Writers and readers of the fixed-size items: Int8, Int16, Int32 and
// ObjectReference.
#include "items/dtp.h"

namespace {

uint8_t Low8(uint32_t v) { return static_cast<uint8_t>(v); }

// Looks up a fixed-size item and hands its value to `take`; on a miss the
// output gets the zero of its type. A null output only asks whether the item
// is there.
template <typename T, typename Take>
int32_t ReadFixed(const MessageBlock *block, uint32_t itemId, uint16_t index, uint8_t typeCode,
                  uint32_t valueSize, T *out, Take take) {
    const uint8_t *value = DtpFindItem(block, Low8(itemId), index, typeCode, valueSize);
    if (out != nullptr) *out = value != nullptr ? take(value) : T{0};
    return value != nullptr ? ULMOT_OK : ULMOT_ERR_NOT_FOUND;
}

uint8_t TakeByte(const uint8_t *v) { return v[0]; }
uint8_t TakeInstance(const uint8_t *v) { return v[1]; }  // the object type byte is not delivered

}  // namespace

extern "C" {

int32_t ulmot_BufferWriteDTPInt8(MessageBlock *block, uint32_t itemId, uint32_t value) {
    uint8_t *v = DtpBeginItem(block, itemId, ULMOT_DTP_INT8, 1,
                              "ulmot_BufferWriteDTPInt8: Insufficient tail space");
    if (v == nullptr) return ULMOT_ERR_FAILED;
    v[0] = Low8(value);
    return ULMOT_OK;
}

int32_t ulmot_BufferWriteDTPInt16(MessageBlock *block, uint32_t itemId, uint32_t value) {
    uint8_t *v = DtpBeginItem(block, itemId, ULMOT_DTP_INT16, 2,
                              "ulmot_BufferWriteDTPInt16: Insufficient tail space");
    if (v == nullptr) return ULMOT_ERR_FAILED;
    DtpStore16(v, value);
    return ULMOT_OK;
}

int32_t ulmot_BufferWriteDTPInt32(MessageBlock *block, uint32_t itemId, uint32_t value) {
    uint8_t *v = DtpBeginItem(block, itemId, ULMOT_DTP_INT32, 4,
                              "ulmot_BufferWriteDTPInt32: Insufficient tail space");
    if (v == nullptr) return ULMOT_ERR_FAILED;
    DtpStore32(v, value);
    return ULMOT_OK;
}

int32_t ulmot_BufferWriteDTPObjectReference(MessageBlock *block, uint32_t itemId,
                                                      uint32_t objectType, uint32_t instance) {
    uint8_t *v = DtpBeginItem(block, itemId, ULMOT_DTP_OBJECT_REFERENCE, 2,
                              "ulmot_BufferWriteDTPObjectReference: Insufficient tail space");
    if (v == nullptr) return ULMOT_ERR_FAILED;
    v[0] = Low8(objectType);
    v[1] = Low8(instance);
    return ULMOT_OK;
}

int32_t ulmot_BufferReadDTPInt8(MessageBlock *block, uint32_t itemId, uint8_t *value) {
    return ReadFixed(block, itemId, 0, ULMOT_DTP_INT8, 1, value, TakeByte);
}

int32_t ulmot_BufferReadDTPInt8WithIndex(MessageBlock *block, uint32_t itemId,
                                                   uint16_t index, uint8_t *value) {
    return ReadFixed(block, itemId, index, ULMOT_DTP_INT8, 1, value, TakeByte);
}

int32_t ulmot_BufferReadDTPInt16(MessageBlock *block, uint32_t itemId, uint16_t *value) {
    return ReadFixed(block, itemId, 0, ULMOT_DTP_INT16, 2, value, DtpLoad16);
}

int32_t ulmot_BufferReadDTPInt32(MessageBlock *block, uint32_t itemId, uint32_t *value) {
    return ReadFixed(block, itemId, 0, ULMOT_DTP_INT32, 4, value, DtpLoad32);
}

int32_t ulmot_BufferReadDTPObjectReference(MessageBlock *block, uint32_t itemId,
                                                     uint16_t index, uint8_t *instance) {
    return ReadFixed(block, itemId, index, ULMOT_DTP_OBJECT_REFERENCE, 2, instance, TakeInstance);
}

}  // extern "C"
