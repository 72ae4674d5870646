// General-purpose inputs (object type 2) and outputs (object type 1): one
// instance per line, numbered 1 to N, and their line events.
#include "objects/family.h"

namespace ulmot::objects {

namespace {

constexpr uint32_t kItemState = 0;
constexpr uint32_t kItemThreshold = 1;
constexpr uint32_t kItemAllOutputs = 1;
constexpr uint32_t kBytesPerOutput = 2;

// The line count of object type `objectType`; 0 without a request when no
// processor is attached to it.
int32_t LineCount(ClientProcessor *c, const char *operation, uint32_t objectType, uint8_t *count) {
    const uint8_t destination = Destination(c, objectType);
    if (destination == 0) {
        if (count != nullptr) *count = 0;
        return 0;
    }
    ClientSession s(c, operation);
    if (!s) return -1;
    return ulmot_GetInstanceCount(s.get(), c->processorId.load(), destination, objectType, 1, count);
}

}  // namespace



void ClientHandleGPI(ClientProcessor *c, uint8_t instance, uint32_t timestamp, MessageBlock *block) {
    const auto slot = c->families.gpiEvent.Get();
    if (slot.callback == nullptr) return;
    uint8_t state = 0;
    if (ulmot_BufferReadDTPInt8(block, objects::kItemState, &state) != 0) {
        ulmot_Debug("ulmot_ClientHandleGPI: Failed to extract GPI %u state from event", instance);
        return;
    }
    slot.callback(slot.context, timestamp, instance, state);
}

void ClientHandleGPO(ClientProcessor *c, uint8_t instance, uint32_t timestamp, MessageBlock *block) {
    const auto slot = c->families.gpoEvent.Get();
    if (slot.callback == nullptr) return;
    uint8_t state = 0;  // a missing item is state 0
    ulmot_BufferReadDTPInt8(block, objects::kItemState, &state);
    slot.callback(slot.context, timestamp, instance, state);
}

}  // namespace ulmot::objects

using namespace ulmot::objects;

extern "C" {

int32_t ulmot_GetGPICount(ClientProcessor *c, uint8_t *count) {
    return LineCount(c, "ulmot_GetGPICount", ULMOT_OBJ_GPI, count);
}

int32_t ulmot_ReadGPI(ClientProcessor *c, uint8_t instance, uint8_t *state) {
    return ulmot_GetPropertyInt8(c, ULMOT_OBJ_GPI, instance, kItemState, state);
}

int32_t ulmot_WriteGPI(ClientProcessor *c, uint8_t instance, uint8_t state) {
    return ulmot_SetObjectProperties(c, ULMOT_OBJ_GPI, instance, ULMOT_PROP_INT8, kItemState, &state,
                                     ULMOT_PROP_END);
}

int32_t ulmot_SetGPIThreshold(ClientProcessor *c, uint8_t instance, uint8_t threshold) {
    return ulmot_SetObjectProperties(c, ULMOT_OBJ_GPI, instance, ULMOT_PROP_INT8, kItemThreshold, &threshold,
                                     ULMOT_PROP_END);
}

int32_t ulmot_GetGPIThreshold(ClientProcessor *c, uint8_t instance, uint8_t *threshold) {
    return ulmot_GetPropertyInt8(c, ULMOT_OBJ_GPI, instance, kItemThreshold, threshold);
}

int32_t ulmot_RegisterGPIEvent(ClientProcessor *c, uint8_t instance, ulmot_GPIEventCallback callback,
                               void *context, uint8_t enable) {
    // One callback serves every line: disabling one line must not take it
    // from the others, so it is stored whatever `enable` says.
    c->families.gpiEvent.Set(callback, context);
    return RegisterEvents(c, "ulmot_RegisterGPIEvent", ULMOT_OBJ_GPI, instance, kEventType0,
                          EnableMask(enable != 0));
}

int32_t ulmot_EnableGPIEvent(ClientProcessor *c, uint8_t instance, uint8_t enable) {
    return RegisterEvents(c, "ulmot_EnableGPIEvent", ULMOT_OBJ_GPI, instance, kEventType0,
                          EnableMask(enable != 0));
}

int32_t ulmot_SetGPIEventHandler(ClientProcessor *c, ulmot_GPIEventCallback callback, void *context) {
    c->families.gpiEvent.Set(callback, context);
    return 0;
}

int32_t ulmot_GetGPOCount(ClientProcessor *c, uint8_t *count) {
    return LineCount(c, "ulmot_GetGPOCount", ULMOT_OBJ_GPO, count);
}

int32_t ulmot_ReadGPO(ClientProcessor *c, uint8_t instance, uint8_t *state) {
    return ulmot_GetPropertyInt8(c, ULMOT_OBJ_GPO, instance, kItemState, state);
}

int32_t ulmot_WriteGPO(ClientProcessor *c, uint8_t instance, uint8_t state) {
    return ulmot_SetObjectProperties(c, ULMOT_OBJ_GPO, instance, ULMOT_PROP_INT8, kItemState, &state,
                                     ULMOT_PROP_END);
}

int32_t ulmot_WriteAllGPO(ClientProcessor *c, const uint8_t *outputs, uint32_t count) {
    if (outputs == nullptr && count != 0) {
        ulmot_Debug("ulmot_WriteAllGPO: No output values");
        return -5;
    }
    // 2 x (count + 4) bytes; a count whose size passes the largest block is
    // refused by the allocation.
    const uint64_t size = uint64_t{kBytesPerOutput} * (uint64_t{count} + 4);
    MessageBlock *b = ulmot_BufferAllocate(size > ULMOT_MAX_BLOCK_SIZE ? ULMOT_MAX_BLOCK_SIZE + 1
                                                                       : static_cast<uint32_t>(size),
                                           8);
    if (b == nullptr) {
        ulmot_Debug("ulmot_WriteAllGPO: Failed to allocate message");
        return -1;
    }
    const uint32_t length = static_cast<uint32_t>(uint64_t{kBytesPerOutput} * count) & 0xFFFFu;
    if (ulmot_BufferWriteDTPByteArray(b, kItemAllOutputs, outputs, length) != 0) {
        ulmot_Debug("ulmot_WriteAllGPO: Failed to build request");
        freeb(b);
        return -1;
    }
    const int32_t result = SendRequest(c, "ulmot_WriteAllGPO", ULMOT_OBJ_GPO, ULMOT_CMD_OBJECT_SPECIFIC, 0, b);
    if (result != 0) ulmot_Debug("ulmot_WriteAllGPO: Failed (result %d)", result);
    return result;
}

int32_t ulmot_RegisterGPOEvent(ClientProcessor *c, uint8_t instance, ulmot_GPOEventCallback callback,
                               void *context, uint8_t enable) {
    if (enable != 0) {
        c->families.gpoEvent.Set(callback, context);
    } else {
        c->families.gpoEvent.Set(nullptr, nullptr);
    }
    return RegisterEvents(c, "ulmot_RegisterGPOEvent", ULMOT_OBJ_GPO, instance, kEventType0,
                          EnableMask(enable != 0));
}

}  // extern "C"
