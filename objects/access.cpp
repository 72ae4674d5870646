// Access specifications (object type 7): creation and settings, and the five
// access events.
#include "objects/family.h"

namespace ulmot::objects {

namespace {

constexpr uint32_t kAccessRequestSize = 520;

constexpr uint32_t kItemEnabled = 0;
constexpr uint32_t kItemInventories = 1;
constexpr uint32_t kItemAntennas = 2;
constexpr uint32_t kItemTagFilter = 3;
constexpr uint32_t kItem4 = 4;
constexpr uint32_t kItem5 = 5;
constexpr uint32_t kItem6 = 6;
constexpr uint32_t kItemAccessData = 7;
constexpr uint32_t kItemAccessDataLength = 8;
constexpr uint32_t kItem9 = 9;
constexpr uint32_t kItemResult = 10;
constexpr uint32_t kItemEngineCode = 11;
constexpr uint32_t kItemPassword = 12;
constexpr uint32_t kItem13 = 13;
constexpr uint32_t kItemGroup = 14;

constexpr uint32_t kDataCompleteEvent = 1u << 0;
constexpr uint32_t kCompleteEvent = 1u << 1;
constexpr uint32_t kStopEvent = 1u << 2;
constexpr uint32_t kClientRequestEvent = 1u << 3;
constexpr uint32_t kClientRequestCompleteEvent = 1u << 4;

// A byte array item, when both its length and its bytes are given.
int32_t WriteOptionalBytes(MessageBlock *b, uint32_t itemId, const uint8_t *bytes, uint16_t length) {
    if (bytes == nullptr || length == 0) return 0;
    return ulmot_BufferWriteDTPByteArray(b, itemId, bytes, length);
}

// An object reference list item, when both its instances and count are given.
int32_t WriteOptionalList(MessageBlock *b, uint32_t itemId, uint32_t objectType, const uint8_t *instances,
                          uint8_t count) {
    if (instances == nullptr || count == 0) return 0;
    return ulmot_BufferWriteDTPObjectReferenceList(b, itemId, objectType, instances, count);
}

// The result and engine code of an access event; each missing one is logged
// (`missingResult`, `missingEngineCode`) and read as 0.
void ReadOutcome(MessageBlock *block, const char *missingResult, const char *missingEngineCode,
                 uint8_t *success, uint8_t *engineCode) {
    uint8_t result = 0;
    if (ulmot_BufferReadDTPInt8(block, kItemResult, &result) != 0) {
        ulmot_Debug("%s", missingResult);
        result = 0;
    }
    if (ulmot_BufferReadDTPInt8(block, kItemEngineCode, engineCode) != 0) {
        ulmot_Debug("%s", missingEngineCode);
        *engineCode = 0;
    }
    *success = result == 0 ? 1 : 0;
}

}  // namespace

MessageBlock *BuildAccessAddBody(const AccessAddRequest &r, int32_t *failure) {
    MessageBlock *b = ulmot_BufferAllocate(kAccessRequestSize, ULMOT_HEADER_SIZE);
    if (b == nullptr) {
        ulmot_Debug("ulmot_AddAccessSpecification: Allocation failed");
        *failure = -7;
        return nullptr;
    }
    const bool built =
        ulmot_BufferWriteDTPInt16(b, kItemEnabled, r.enabled) == 0 &&
        ulmot_BufferWriteDTPInt8(b, kItem13, r.item13) == 0 && ulmot_BufferWriteDTPInt8(b, kItem4, r.item4) == 0 &&
        ulmot_BufferWriteDTPInt8(b, kItem6, r.item6) == 0 && ulmot_BufferWriteDTPInt32(b, kItem5, r.item5) == 0 &&
        ulmot_BufferWriteDTPInt16(b, kItemAccessDataLength, r.accessDataLength) == 0 &&
        (r.tagFilter == 0 ||
         ulmot_BufferWriteDTPObjectReference(b, kItemTagFilter, ULMOT_OBJ_TAG_FILTER, r.tagFilter) == 0) &&
        WriteOptionalBytes(b, kItemAccessData, r.accessData, r.accessDataLength) == 0 &&
        WriteOptionalBytes(b, kItem9, r.item9Data, r.item9Length) == 0 &&
        WriteOptionalList(b, kItemInventories, ULMOT_OBJ_INVENTORY, r.inventories, r.inventoryCount) == 0 &&
        WriteOptionalList(b, kItemAntennas, ULMOT_OBJ_ANTENNA, r.antennas, r.antennaCount) == 0;
    if (!built) {
        ulmot_Debug("ulmot_AddAccessSpecification: Failed to build request");
        freeb(b);
        *failure = -1;
        return nullptr;
    }
    return b;
}

}  // namespace ulmot::objects

using namespace ulmot::objects;
using ulmot::processors::AccessCallbacks;

extern "C" {

int32_t ulmot_AddAccessSpecification(ClientProcessor *client, uint8_t *instance, const uint8_t *inventories,
                                     uint8_t inventoryCount, uint16_t enabled, uint8_t item13, uint8_t item4,
                                     uint8_t item6, uint32_t item5, uint16_t accessDataLength,
                                     const uint8_t *accessData, uint16_t item9Length, const uint8_t *item9Data,
                                     const uint8_t *antennas, uint8_t antennaCount, uint8_t tagFilter) {
    const AccessAddRequest request{inventories, inventoryCount, enabled, item13, item4,
                                   item6, item5, accessDataLength, accessData,
                                   item9Length, item9Data, antennas, antennaCount, tagFilter};
    int32_t failure = 0;
    MessageBlock *b = BuildAccessAddBody(request, &failure);
    if (b == nullptr) return failure;
    return SendRequest(client, "ulmot_AddAccessSpecification", ULMOT_OBJ_ACCESS, ULMOT_CMD_ADD, 0, b, nullptr,
                       instance);
}

int32_t ulmot_SetAccessPassword(ClientProcessor *client, uint8_t instance, const uint8_t *password,
                                uint16_t length) {
    if (password == nullptr && length != 0) {
        ulmot_Debug("ulmot_SetAccessPassword: Invalid parameter");
        return -5;
    }
    return ulmot_SetObjectProperties(client, ULMOT_OBJ_ACCESS, instance, ULMOT_PROP_BYTE_ARRAY, kItemPassword,
                                     password, uint32_t{length}, ULMOT_PROP_END);
}

int32_t ulmot_SetAccessFilter(ClientProcessor *client, uint8_t instance, uint8_t tagFilter) {
    const PropertyObjectReference filter{ULMOT_OBJ_TAG_FILTER, tagFilter};
    return ulmot_SetObjectProperties(client, ULMOT_OBJ_ACCESS, instance, ULMOT_PROP_OBJECT_REF, kItemTagFilter,
                                     &filter, ULMOT_PROP_END);
}

int32_t ulmot_SetAccessGroup(ClientProcessor *client, uint8_t instance, uint8_t group) {
    return ulmot_SetObjectProperties(client, ULMOT_OBJ_ACCESS, instance, ULMOT_PROP_INT8, kItemGroup, &group,
                                     ULMOT_PROP_END);
}

int32_t ulmot_EnableAccessSpecification(ClientProcessor *client, uint8_t instance, uint16_t enabled) {
    return ulmot_SetObjectProperties(client, ULMOT_OBJ_ACCESS, instance, ULMOT_PROP_INT16, kItemEnabled, &enabled,
                                     ULMOT_PROP_END);
}

int32_t ulmot_SetAccessInventoryList(ClientProcessor *client, uint8_t instance, const uint8_t *inventories,
                                     uint8_t count) {
    MessageBlock *b = ulmot_BufferAllocate(4u * count + 38u, ULMOT_HEADER_SIZE);
    if (b == nullptr) {
        ulmot_Debug("ulmot_SetAccessInventoryList: Failed to build message");
        return -7;
    }
    if (ulmot_BufferWriteDTPObjectReferenceList(b, kItemInventories, ULMOT_OBJ_INVENTORY, inventories, count) != 0) {
        ulmot_Debug("ulmot_SetAccessInventoryList: Failed to add %u inventories to request", count);
        freeb(b);
        return -1;
    }
    return SendRequest(client, "ulmot_SetAccessInventoryList", ULMOT_OBJ_ACCESS, ULMOT_CMD_SET_PROPERTIES, instance,
                       b);
}

int32_t ulmot_RegisterAccessEvents(ClientProcessor *client, ulmot_AccessEventCallback stop,
                                   ulmot_AccessCompleteCallback complete,
                                   ulmot_AccessDataCompleteCallback dataComplete,
                                   ulmot_AccessEventCallback clientRequest,
                                   ulmot_AccessEventCallback clientRequestComplete, void *context) {
    client->families.access.Set({stop, complete, dataComplete, clientRequest, clientRequestComplete, context});
    const uint32_t enable = (stop ? kStopEvent : 0u) | (complete ? kCompleteEvent : 0u) |
                            (dataComplete ? kDataCompleteEvent : 0u) | (clientRequest ? kClientRequestEvent : 0u) |
                            (clientRequestComplete ? kClientRequestCompleteEvent : 0u);
    return RegisterEvents(client, "ulmot_RegisterAccessEvents", ULMOT_OBJ_ACCESS, 0, 0xFFFFFFFFu, enable);
}

}  // extern "C"

namespace ulmot::objects {

void ClientHandleAccessDataComplete(ClientProcessor *client, uint8_t instance, uint32_t timestamp,
                                          MessageBlock *block) {
    const AccessCallbacks cb = client->families.access.Get();
    if (!cb.dataComplete) return;
    uint8_t success = 0, engineCode = 0;
    ReadOutcome(block, "ulmot_ClientHandleAccessDataComplete: Failed to find result in event",
                "ulmot_ClientHandleAccessDataComplete: Failed to find engine code in result", &success, &engineCode);
    const uint8_t *data = nullptr;
    uint16_t length = 0;
    if (ulmot_BufferPeekDTPByteArray(block, kItemAccessData, 0, &data, &length) != 0) {
        ulmot_Debug("ulmot_ClientHandleAccessDataComplete: Failed to find data in result");
        data = nullptr;
        length = 0;
    }
    if (length == 0) data = nullptr;
    cb.dataComplete(cb.context, timestamp, instance, success, engineCode, length, data);
}

void ClientHandleAccessComplete(ClientProcessor *client, uint8_t instance, uint32_t timestamp,
                                      MessageBlock *block) {
    const AccessCallbacks cb = client->families.access.Get();
    if (!cb.complete) return;
    uint8_t success = 0, engineCode = 0;
    ReadOutcome(block, "ulmot_ClientHandleAccessComplete: Failed to find result in event",
                "ulmot_ClientHandleAccessComplete: Failed to find engine code in result", &success, &engineCode);
    cb.complete(cb.context, timestamp, instance, success, engineCode);
}

void ClientHandleAccessStop(ClientProcessor *client, uint8_t instance, uint32_t timestamp, MessageBlock *) {
    const AccessCallbacks cb = client->families.access.Get();
    if (cb.stop) cb.stop(cb.context, timestamp, instance);
}

void ClientHandleAccessClientRequest(ClientProcessor *client, uint8_t instance, uint32_t timestamp,
                                           MessageBlock *) {
    const AccessCallbacks cb = client->families.access.Get();
    if (cb.clientRequest) cb.clientRequest(cb.context, timestamp, instance);
}

void ClientHandleAccessClientRequestComplete(ClientProcessor *client, uint8_t instance, uint32_t timestamp,
                                                   MessageBlock *) {
    const AccessCallbacks cb = client->families.access.Get();
    if (cb.clientRequestComplete) cb.clientRequestComplete(cb.context, timestamp, instance);
}

}  // namespace ulmot::objects
