// Requests to the delivery processor (processor id 0, object type 14):
// registration, deregistration and the search for a processor.
#include <cstring>

#include "ulmot/items.h"
#include "ulmot/processors.h"

namespace {

constexpr uint8_t kDelivery = ULMOT_OBJ_DELIVERY;
constexpr uint8_t kRegister = 1;
constexpr uint8_t kDeregister = 2;
constexpr uint8_t kFindByName = 100;
constexpr uint8_t kFindByType = 101;
constexpr size_t kNameMax = 254;
constexpr uint32_t kMaxListed = 255;  // an Int8 list holds at most 255 values

// Item ids of these bodies.
constexpr uint32_t kItemName = 0;
constexpr uint32_t kItemObjectTypes = 1;
constexpr uint32_t kItemObjectType = 2;
constexpr uint32_t kItemFound = 3;
constexpr uint32_t kItemFindFlag = 5;

// A request to the delivery processor (processor 0, object type 14).
int32_t DeliveryRequest(Session *session, uint8_t source, uint8_t command, uint8_t instance,
                        MessageBlock *body, MessageBlock **response, uint8_t *responseInstance) {
    return ulmot_SendSessionMessage(session, ULMOT_MSG_REQUEST, source, 0, 0, kDelivery, command,
                                    instance, body, response, responseInstance);
}

}  // namespace

extern "C" {

int32_t ulmot_DeliveryProcessorRegistration(Session *session, const char *name,
                                            const uint32_t *objectTypes, uint32_t count,
                                            uint8_t *processorId) {
    const size_t length = name ? std::strlen(name) : 0;
    if (length == 0 || length > kNameMax) {
        ulmot_Debug("ulmot_DeliveryProcessorRegistration: Improper processor name length");
        return -5;
    }
    const uint32_t size = static_cast<uint32_t>(length) + 4 * count + 25;
    MessageBlock *b = ulmot_BufferAllocate(size, 11);
    uint8_t types[kMaxListed];
    bool built = b != nullptr && count <= kMaxListed;
    if (built) {
        for (uint32_t i = 0; i < count; ++i) types[i] = static_cast<uint8_t>(objectTypes[i]);
        built = ulmot_BufferWriteDTPInt8List(b, kItemObjectTypes, types, count) == 0 &&
                ulmot_BufferWriteDTPByteArray(b, kItemName, name, static_cast<uint16_t>(length)) == 0;
    }
    if (!built) {
        ulmot_Debug("ulmot_DeliveryProcessorRegistration: Failed to build message");
        if (b) freeb(b);
        return -1;
    }
    return DeliveryRequest(session, 0, kRegister, 0, b, nullptr, processorId);
}

int32_t ulmot_DeliveryProcessorDeregistration(Session *session, uint32_t processorId) {
    const auto id = static_cast<uint8_t>(processorId);
    return DeliveryRequest(session, id, kDeregister, id, ulmot_BufferAllocate(8, 8), nullptr, nullptr);
}

int32_t ulmot_FindProcessorByName(Session *session, uint32_t ownProcessorId, const char *name,
                                  uint32_t objectType, uint8_t *processorId, uint8_t findFlag) {
    const size_t length = name ? std::strlen(name) : 0;
    const uint32_t size = (name ? static_cast<uint32_t>(length) + 33 : 13) + 8;
    MessageBlock *b = ulmot_BufferAllocate(size, 8);
    const char *failure = nullptr;
    if (b == nullptr) {
        failure = "ulmot_FindProcessorByName: Failed to build request";
    } else if (name && ulmot_BufferWriteDTPByteArray(b, kItemName, name, static_cast<uint16_t>(length)) != 0) {
        failure = "ulmot_FindProcessorByName: Failed to build request";
    } else if (!(name && objectType == ULMOT_ANY_OBJECT_TYPE) &&
               ulmot_BufferWriteDTPInt8(b, kItemObjectType, objectType) != 0) {
        failure = "ulmot_FindPreferredProcessorByName: Failed to build request";
    } else if (ulmot_BufferWriteDTPInt8(b, kItemFindFlag, findFlag) != 0) {
        failure = "ulmot_FindProcessorByname: Failed to build request";
    }
    if (failure != nullptr) {
        ulmot_Debug("%s", failure);
        if (b) freeb(b);
        return -1;
    }
    MessageBlock *response = nullptr;
    const int32_t result = DeliveryRequest(session, static_cast<uint8_t>(ownProcessorId),
                                           name ? kFindByName : kFindByType, 0, b, &response, nullptr);
    if (result == 0 && processorId != nullptr &&
        ulmot_BufferReadDTPObjectReference(response, kItemFound, 0, processorId) != 0) {
        ulmot_Debug("ulmot_FindProcessorByName: Failed to find processor ID in response");
    }
    if (response) freeb(response);
    return result;
}

}  // extern "C"
