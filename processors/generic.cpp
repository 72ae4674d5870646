// The generic object operations: instances, properties, event registration
// and removal, shared by every object family.
#include <cstdarg>
#include <cstring>

#include "processors/client.h"
#include "ulmot/items.h"

namespace ulmot::processors {

namespace {

constexpr uint32_t kMaxEventProperties = 253;
constexpr uint32_t kMaxInstances = 255;  // the count and the item index are 8 bits

int32_t Request(Session *s, uint8_t source, uint8_t destination, uint32_t objectType, uint8_t command,
                uint8_t instance, MessageBlock *body, MessageBlock **response = nullptr,
                uint8_t *responseInstance = nullptr) {
    return ulmot_SendSessionMessage(s, ULMOT_MSG_REQUEST, source, destination, 0, objectType, command,
                                    instance, body, response, responseInstance);
}

// One descriptor group of a set-properties list, read from the arguments.
struct Descriptor {
    uint32_t code;
    uint32_t itemId;
    const void *value;
    uint32_t length;
};

// Reads the next group. The end group (8, 0, 0) is three integers: its
// third argument is never read as a pointer.
Descriptor NextDescriptor(va_list *args) {
    Descriptor d{};
    d.code = va_arg(*args, uint32_t);
    d.itemId = va_arg(*args, uint32_t);
    if (d.code == ULMOT_PROP_END_CODE) {
        (void)va_arg(*args, uint32_t);
        return d;
    }
    d.value = va_arg(*args, const void *);
    if (d.code >= ULMOT_PROP_BYTE_ARRAY && d.code <= 7) d.length = va_arg(*args, uint32_t);
    return d;
}

// Bytes an item of the group takes in the request.
uint32_t EncodedSize(const Descriptor &d) {
    switch (d.code) {
        case ULMOT_PROP_INT8: return 4;
        case ULMOT_PROP_INT16:
        case ULMOT_PROP_OBJECT_REF: return 5;
        case ULMOT_PROP_INT32: return 7;
        case ULMOT_PROP_BYTE_ARRAY: return 4 + (d.length & 0xFFFFu);
        case ULMOT_PROP_INT8_LIST: return 5 + 2 * (d.length & 0xFFu);
        default: return 0;
    }
}

// Writes the item of one group: 0, -7 for a writer failure, -5 for the
// refused type codes 6 and 7; codes above 8 write nothing.
int32_t WriteDescriptor(MessageBlock *b, const Descriptor &d) {
    int32_t r = 0;
    switch (d.code) {
        case ULMOT_PROP_INT8: r = ulmot_BufferWriteDTPInt8(b, d.itemId, *static_cast<const uint8_t *>(d.value)); break;
        case ULMOT_PROP_INT16: r = ulmot_BufferWriteDTPInt16(b, d.itemId, *static_cast<const uint16_t *>(d.value)); break;
        case ULMOT_PROP_INT32: r = ulmot_BufferWriteDTPInt32(b, d.itemId, *static_cast<const uint32_t *>(d.value)); break;
        case ULMOT_PROP_OBJECT_REF: {
            uint32_t objectType;
            std::memcpy(&objectType, d.value, sizeof objectType);
            const uint8_t instance = static_cast<const uint8_t *>(d.value)[sizeof objectType];
            r = ulmot_BufferWriteDTPObjectReference(b, d.itemId, objectType, instance);
            break;
        }
        case ULMOT_PROP_BYTE_ARRAY: r = ulmot_BufferWriteDTPByteArray(b, d.itemId, d.value, d.length & 0xFFFFu); break;
        case ULMOT_PROP_INT8_LIST:
            r = ulmot_BufferWriteDTPInt8List(b, d.itemId, static_cast<const uint8_t *>(d.value), d.length & 0xFFu);
            break;
        case 6:
        case 7: ulmot_Debug("ulmot_SetProperties: Unsupported data type"); return -5;
        default: return 0;
    }
    return r == 0 ? 0 : -7;
}

}  // namespace

MessageBlock *BuildSetPropertiesBody(va_list args, int32_t *failure) {
    va_list sizing;
    va_copy(sizing, args);
    uint32_t size = 8;
    for (Descriptor d = NextDescriptor(&sizing); d.code != ULMOT_PROP_END_CODE; d = NextDescriptor(&sizing)) {
        size += EncodedSize(d);
    }
    va_end(sizing);
    MessageBlock *b = ulmot_BufferAllocate(size, 8);
    if (b == nullptr) {
        ulmot_Debug("ulmot_SetProperties: Message allocation failed");
        *failure = -7;
        return nullptr;
    }
    va_list writing;
    va_copy(writing, args);
    int32_t failed = 0;
    for (Descriptor d = NextDescriptor(&writing); d.code != ULMOT_PROP_END_CODE && failed == 0;
         d = NextDescriptor(&writing)) {
        failed = WriteDescriptor(b, d);
    }
    va_end(writing);
    if (failed != 0) {
        ulmot_Debug("ulmot_SetProperties: Failed to add message data");
        freeb(b);
        *failure = failed;
        return nullptr;
    }
    return b;
}

namespace {

int32_t SetProperties(ClientProcessor *c, uint32_t objectType, uint8_t instance, va_list args) {
    int32_t failure = 0;
    MessageBlock *b = BuildSetPropertiesBody(args, &failure);
    if (b == nullptr) return failure;
    return SendRequest(c, "ulmot_SetProperties", objectType, ULMOT_CMD_SET_PROPERTIES, instance, b);
}

// Counts the instance references of a get-instances response and finds the
// largest instance number.
void CountInstances(MessageBlock *response, uint8_t *count, uint8_t *largest) {
    *count = 0;
    *largest = 0;
    for (uint32_t index = 0; index < kMaxInstances; ++index) {
        uint8_t instance = 0;
        if (ulmot_BufferReadDTPObjectReference(response, 0, static_cast<uint16_t>(index), &instance) != 0) break;
        ++*count;
        if (instance > *largest) *largest = instance;
    }
}

}  // namespace

int32_t SendRequest(ClientProcessor *client, const char *operation, uint32_t objectType, uint8_t command,
                    uint8_t instance, MessageBlock *body, MessageBlock **response, uint8_t *responseInstance) {
    ClientSession s(client, operation);
    if (!s) {
        freeb(body);
        return -1;
    }
    return Request(s.get(), client->processorId.load(), Destination(client, objectType), objectType, command, instance,
                   body, response, responseInstance);
}

int32_t RegisterEvents(ClientProcessor *client, const char *operation, uint32_t objectType, uint8_t instance,
                       uint32_t selectionMask, uint32_t enableMask) {
    ClientSession s(client, operation);
    if (!s) return -1;
    return ulmot_EventRegistration(s.get(), client->processorId.load(), Destination(client, objectType),
                                   objectType, instance, selectionMask, enableMask);
}

MessageBlock *GetObjectProperties(ClientProcessor *c, uint32_t objectType, uint8_t instance) {
    MessageBlock *b = ulmot_BufferAllocate(8, 8);
    ClientSession s(c, "ulmot_GetObjectProperties");
    if (!s) {  // the session check said why: no "Failed" after it
        freeb(b);
        return nullptr;
    }
    MessageBlock *response = nullptr;
    if (Request(s.get(), c->processorId.load(), Destination(c, objectType), objectType, ULMOT_CMD_GET_PROPERTIES,
                instance, b, &response) != 0) {
        ulmot_Debug("ulmot_GetObjectProperties: Failed");
        if (response) freeb(response);
        return nullptr;
    }
    return response;
}

}  // namespace ulmot::processors

using namespace ulmot::processors;

extern "C" {

int32_t ulmot_EventRegistration(Session *s, uint8_t source, uint8_t destination, uint32_t objectType,
                                uint8_t instance, uint32_t selectionMask, uint32_t enableMask) {
    MessageBlock *b = ulmot_BufferAllocate(20, 8);
    if (b == nullptr) {
        ulmot_Debug("ulmot_EventRegistration: Failed to allocate request");
        return -7;
    }
    if (ulmot_BufferWriteDTPInt32(b, 0, selectionMask) != 0 || ulmot_BufferWriteDTPInt32(b, 0, enableMask) != 0) {
        ulmot_Debug("ulmot_EventRegistration: Failed to create message");
        freeb(b);
        return -1;
    }
    const int32_t result = Request(s, source, destination, objectType, ULMOT_CMD_EVENT_REGISTRATION, instance, b);
    if (result != 0) ulmot_Debug("ulmot_EventRegistration: Request failed (result %d)", result);
    return result;
}

int32_t ulmot_RegisterEventProperties(Session *s, uint32_t attach, uint8_t source, uint8_t destination,
                                      uint32_t objectType, uint8_t instance, const uint8_t *propertyIds,
                                      uint8_t propertyCount) {
    if (propertyCount > kMaxEventProperties) {
        ulmot_Debug("ulmot_RegisterEventProperties: Property count overflow (%u)", propertyCount);
        return -5;
    }
    MessageBlock *b = ulmot_BufferAllocate(static_cast<uint32_t>(propertyCount) + 13, 8);
    if (b == nullptr) {
        ulmot_Debug("ulmot_RegisterEventProperties: Message allocation failed");
        return -7;
    }
    const uint8_t head[] = {0x04, 0x00, static_cast<uint8_t>(propertyCount + 2), instance,
                            static_cast<uint8_t>(attach != 0 ? 1 : 0)};
    if (ulmot_BufferAppend(b, head, sizeof head) != 0 ||
        (propertyCount > 0 && ulmot_BufferAppend(b, propertyIds, propertyCount) != 0)) {
        ulmot_Debug("ulmot_RegisterEventProperties: Failed to build request");
        freeb(b);
        return -1;
    }
    return Request(s, source, destination, objectType, ULMOT_CMD_EVENT_PROPERTIES, 0, b);
}

int32_t ulmot_GetPropertyInt8(ClientProcessor *c, uint32_t objectType, uint8_t instance, uint32_t itemId,
                              uint8_t *value) {
    MessageBlock *response = GetObjectProperties(c, objectType, instance);
    if (response == nullptr) return -1;
    const int32_t r = ulmot_BufferReadDTPInt8(response, itemId, value);
    freeb(response);
    if (r == 0) return 0;
    ulmot_Debug("ulmot_GetPropertyInt8: Failed to find property in response");
    return -1;
}

int32_t ulmot_GetPropertyInt16(ClientProcessor *c, uint32_t objectType, uint8_t instance, uint32_t itemId,
                               uint16_t *value) {
    MessageBlock *response = GetObjectProperties(c, objectType, instance);
    if (response == nullptr) return -1;
    const int32_t r = ulmot_BufferReadDTPInt16(response, itemId, value);
    freeb(response);
    if (r == 0) return 0;
    ulmot_Debug("ulmot_GetPropertyInt16: Failed to find property in response");
    return -1;
}

int32_t ulmot_GetPropertyString(ClientProcessor *c, uint32_t objectType, uint8_t instance, uint32_t itemId,
                                char *buffer, uint8_t size) {
    if (size == 0) {
        ulmot_Debug("ulmot_GetPropertyString: No room in a buffer of size 0");
        return -5;
    }
    MessageBlock *response = GetObjectProperties(c, objectType, instance);
    if (response == nullptr) return -1;
    const int32_t r = ulmot_BufferReadDTPString(response, itemId, 0, buffer, size);
    freeb(response);
    if (r == 0) return 0;
    ulmot_Debug("ulmot_GetPropertyString: Failed to obtain property in response");
    return -1;
}

// The documented signature puts a uint8_t right before the variable
// arguments. Clang warns that va_start after a parameter that undergoes
// promotion is not portable C++; on the ABIs we support (x86-64 and AArch64
// System V) va_start only needs the count of named register arguments, which
// the type does not change, and the signature is part of the interface.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wvarargs"
#endif
int32_t ulmot_SetObjectProperties(ClientProcessor *c, uint32_t objectType, uint8_t instance, ...) {
    va_list args;
    va_start(args, instance);
    const int32_t result = SetProperties(c, objectType, instance, args);
    va_end(args);
    return result;
}
#if defined(__clang__)
#pragma clang diagnostic pop
#endif

int32_t ulmot_GetInstanceCount(Session *s, uint8_t source, uint8_t destination, uint32_t objectType, uint8_t check,
                               uint8_t *count) {
    MessageBlock *b = ulmot_BufferAllocate(8, 8);
    if (b == nullptr) {
        ulmot_Debug("ulmot_GetInstanceCount: Allocation failed");
        return -7;
    }
    MessageBlock *response = nullptr;
    int32_t result = Request(s, source, destination, objectType, ULMOT_CMD_GET_INSTANCES, 0, b, &response);
    if (result == 0 && count != nullptr) {
        uint8_t largest = 0;
        CountInstances(response, count, &largest);
        if (check != 0 && largest != *count) {
            ulmot_Debug("ulmot_GetInstanceCount: ID/count mismatch (count: %u, max ID: %u)", *count, largest);
            result = -1;
        }
    }
    if (response) freeb(response);
    return result;
}

int32_t ulmot_RemoveObject(ClientProcessor *c, uint32_t objectType, uint8_t instance) {
    MessageBlock *b = ulmot_BufferAllocate(8, 8);
    if (b == nullptr) {
        ulmot_Debug("ulmot_RemoveObject: Allocation failed");
        return -7;
    }
    return SendRequest(c, "ulmot_RemoveObject", objectType, ULMOT_CMD_REMOVE, instance, b);
}

}  // extern "C"
