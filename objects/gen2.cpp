// Gen2 protocol specifications (object type 4) and the Gen2 parameter sets
// (object type 18), which the client fetches once and keeps.
#include "objects/family.h"

namespace ulmot::objects {

namespace {

constexpr uint32_t kRequestSize = 520;
constexpr uint32_t kHeadRoom = 8;
constexpr uint32_t kItemAddValue = 10;
constexpr uint32_t kItemUtcTime = 14;

// Writes one parameter with the item type its id calls for: Int16 for 8, 9,
// 12 and 13, Int32 for 14 (the UTC time), Int8 for every other id.
int32_t WriteParameter(MessageBlock *b, const ProtocolParameter &p) {
    switch (p.itemId) {
        case 8:
        case 9:
        case 12:
        case 13: return ulmot_BufferWriteDTPInt16(b, p.itemId, p.value & 0xFFFFu);
        case kItemUtcTime: return ulmot_BufferWriteDTPInt32(b, p.itemId, p.value);
        default: return ulmot_BufferWriteDTPInt8(b, p.itemId, p.value & 0xFFu);
    }
}

// Writes the list in order; the first failing write ends it and is the
// result. A missing list or entry cannot be sent: -5.
int32_t WriteParameters(MessageBlock *b, ProtocolParameter *const *parameters, uint8_t count) {
    if (count > 0 && parameters == nullptr) return -5;
    for (uint32_t i = 0; i < count; ++i) {
        if (parameters[i] == nullptr) return -5;
        if (const int32_t r = WriteParameter(b, *parameters[i]); r != 0) return r;
    }
    return 0;
}

// Reads the set's items into `set` in the order of the record's fields as
// the reader lists them; a missing item leaves 0.
void ReadParmSet(MessageBlock *b, Gen2ParmSet &set) {
    ulmot_BufferReadDTPInt8(b, 0, &set.item0);
    ulmot_BufferReadDTPInt32(b, 1, &set.item1);
    ulmot_BufferReadDTPInt8(b, 2, &set.item2);
    ulmot_BufferReadDTPInt8(b, 3, &set.item3);
    ulmot_BufferReadDTPInt8(b, 4, &set.item4);
    ulmot_BufferReadDTPInt16(b, 5, &set.item5);
    ulmot_BufferReadDTPInt16(b, 6, &set.item6);
    ulmot_BufferReadDTPInt8(b, 11, &set.item11);
    ulmot_BufferReadDTPInt8(b, 9, &set.item9);
    ulmot_BufferReadDTPInt8(b, 10, &set.item10);
    ulmot_BufferReadDTPInt8(b, 12, &set.item12);
    ulmot_BufferReadDTPInt8(b, 13, &set.item13);
}

}  // namespace

}  // namespace ulmot::objects

using namespace ulmot::objects;
using ulmot::plat::FetchOnce;
using ulmot::processors::GetObjectProperties;

extern "C" {

int32_t ulmot_AddGen2ProtocolSpecification(ClientProcessor *c, uint8_t *instance,
                                           ProtocolParameter *const *parameters, uint8_t count,
                                           uint8_t item10) {
    MessageBlock *b = ulmot_BufferAllocate(kRequestSize, kHeadRoom);
    if (b == nullptr) {
        ulmot_Debug("ulmot_AddGen2ProtocolSpecification: Message allocation failed");
        return -7;
    }
    int32_t result = ulmot_BufferWriteDTPInt8(b, kItemAddValue, item10);
    if (result == 0) result = WriteParameters(b, parameters, count);
    if (result != 0) {
        ulmot_Debug("ulmot_AddGen2ProtocolSpecification: Failed to build request message");
        freeb(b);
    } else {
        result = SendRequest(c, "ulmot_AddGen2ProtocolSpecification", ULMOT_OBJ_GEN2_PROTOCOL,
                             ULMOT_CMD_ADD, 0, b, nullptr, instance);
    }
    if (result != 0) ulmot_Debug("ulmot_AddGen2ProtocolSpecification: Failed (result %d)", result);
    return result;
}

int32_t ulmot_SetPropertiesGen2ProtocolSpecification(ClientProcessor *c, uint8_t instance,
                                                     ProtocolParameter *const *parameters,
                                                     uint8_t count) {
    MessageBlock *b = ulmot_BufferAllocate(kRequestSize, kHeadRoom);
    if (b == nullptr) {
        ulmot_Debug("ulmot_SetPropertiesGen2ProtocolSpecification: Message allocation failed");
        return -7;
    }
    if (const int32_t written = WriteParameters(b, parameters, count); written != 0) {
        ulmot_Debug("ulmot_SetPropertiesGen2ProtocolSpecification: Failed to build request message");
        freeb(b);
        return written;
    }
    const int32_t result = SendRequest(c, "ulmot_SetPropertiesGen2ProtocolSpecification",
                                       ULMOT_OBJ_GEN2_PROTOCOL, ULMOT_CMD_SET_PROPERTIES, instance, b);
    if (result != 0) {
        ulmot_Debug("ulmot_SetPropertiesGen2ProtocolSpecification: Failed (result %d)", result);
    }
    return result;
}

int32_t ulmot_GetGen2ProtocolSpecification(ClientProcessor *c, uint8_t instance, uint8_t *item1,
                                           uint8_t *item2, uint8_t *item3, uint8_t *item4,
                                           uint8_t *item5, uint8_t *item6, uint8_t *item11,
                                           uint16_t *item8, uint16_t *item9, uint8_t *item10,
                                           uint16_t *item12) {
    MessageBlock *b = GetObjectProperties(c, ULMOT_OBJ_GEN2_PROTOCOL, instance);
    if (b == nullptr) return -1;
    // In this order, up to the first missing item; the outputs after it stay.
    const bool all = ulmot_BufferReadDTPInt8(b, 1, item1) == 0 && ulmot_BufferReadDTPInt8(b, 2, item2) == 0 &&
                     ulmot_BufferReadDTPInt8(b, 3, item3) == 0 && ulmot_BufferReadDTPInt8(b, 4, item4) == 0 &&
                     ulmot_BufferReadDTPInt8(b, 5, item5) == 0 && ulmot_BufferReadDTPInt8(b, 6, item6) == 0 &&
                     ulmot_BufferReadDTPInt8(b, 11, item11) == 0 && ulmot_BufferReadDTPInt16(b, 8, item8) == 0 &&
                     ulmot_BufferReadDTPInt16(b, 9, item9) == 0 && ulmot_BufferReadDTPInt8(b, 10, item10) == 0 &&
                     ulmot_BufferReadDTPInt16(b, 12, item12) == 0;
    freeb(b);
    return all ? 0 : -1;
}

int32_t ulmot_GetGen2ProtocolSpecificationUTCTime(ClientProcessor *c, uint8_t instance, uint32_t *utcTime) {
    MessageBlock *b = GetObjectProperties(c, ULMOT_OBJ_GEN2_PROTOCOL, instance);
    if (b == nullptr) return -1;
    const int32_t r = ulmot_BufferReadDTPInt32(b, kItemUtcTime, utcTime);
    freeb(b);
    if (r == 0) return 0;
    ulmot_Debug("ulmot_GetGen2ProtocolSpecificationUTCTime: Failed to find UTCTime property in response");
    return -1;
}

int32_t ulmot_GetGen2ParmSetCount(ClientProcessor *c, uint8_t *count) {
    // A count is kept only when the fetch succeeded with at least one set:
    // a count read with a failed numbering check is not trusted, and 0 means
    // "not fetched" in the cache.
    const auto fetch = [c](uint8_t &cached) -> FetchOnce<uint8_t>::Outcome {
        ClientSession s(c, "ulmot_GetGen2ParmSetCount");
        if (!s) return {-1, false};
        const int32_t r = ulmot_GetInstanceCount(s.get(), c->processorId.load(),
                                                 Destination(c, ULMOT_OBJ_GEN2_PARM_SET),
                                                 ULMOT_OBJ_GEN2_PARM_SET, 1, &cached);
        return {r, cached != 0};
    };
    return c->families.gen2ParmSetCount.Get(fetch, [count](const uint8_t &cached) {
        if (count != nullptr) *count = cached;
    });
}

int32_t ulmot_GetGen2ParmSet(ClientProcessor *c, int32_t setNumber, Gen2ParmSet *set) {
    if (setNumber < 0 || setNumber >= static_cast<int32_t>(ULMOT_GEN2_PARM_SETS)) {
        ulmot_Debug("ulmot_GetGen2ParmSet: Index (%d) out of range", setNumber);
        return -5;
    }
    const auto number = static_cast<uint8_t>(setNumber);
    // A set is kept once its item 12 is not 0; until then every call asks.
    const auto fetch = [c, number](Gen2ParmSet &cached) -> FetchOnce<Gen2ParmSet>::Outcome {
        MessageBlock *b = GetObjectProperties(c, ULMOT_OBJ_GEN2_PARM_SET, number);
        if (b == nullptr) return {-1, false};
        ReadParmSet(b, cached);
        freeb(b);
        return {0, cached.item12 != 0};
    };
    return c->families.gen2ParmSets[number].Get(fetch, [set](const Gen2ParmSet &cached) {
        if (set != nullptr) *set = cached;
    });
}

}  // extern "C"
