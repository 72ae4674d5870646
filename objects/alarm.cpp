// NXP alarm specifications (object type 22): created with one object
// reference; each alarm event names the antenna pair it was seen on.
#include "objects/family.h"

namespace ulmot::objects {

namespace {

constexpr uint32_t kRequestSize = 108;
constexpr uint32_t kHeadRoom = 8;
constexpr uint32_t kItemObject = 0;
constexpr uint32_t kItemAntennaPair = 1;

}  // namespace



void ClientHandleNxpAlarmEvent(ClientProcessor *c, uint8_t instance, uint32_t timestamp, MessageBlock *block) {
    const auto slot = c->families.nxpAlarm.Get();
    if (slot.callback == nullptr) return;
    uint8_t antennaPair = 0;
    if (ulmot_BufferReadDTPObjectReference(block, objects::kItemAntennaPair, 0, &antennaPair) != 0) {
        ulmot_Debug("ulmot_ClientHandleNxpAlarmEvent: Failed to find antenna pair");
    }
    slot.callback(slot.context, timestamp, instance, antennaPair);
}

}  // namespace ulmot::objects

using namespace ulmot::objects;

extern "C" {

int32_t ulmot_AddNxpAlarmSpecification(ClientProcessor *c, uint8_t *instance, uint32_t objectType,
                                       uint32_t objectInstance) {
    MessageBlock *b = ulmot_BufferAllocate(kRequestSize, kHeadRoom);
    if (b == nullptr) {
        ulmot_Debug("ulmot_AddNxpAlarmSpecification: Allocation failed");
        return -7;
    }
    int32_t result;
    if (ulmot_BufferWriteDTPObjectReference(b, kItemObject, objectType & 0xFFu, objectInstance & 0xFFu) != 0) {
        ulmot_Debug("ulmot_AddNxpAlarmSpecification: Failed to build message");
        freeb(b);
        result = -1;
    } else {
        result = SendRequest(c, "ulmot_AddNxpAlarmSpecification", ULMOT_OBJ_NXP_ALARM, ULMOT_CMD_ADD, 0, b, nullptr,
                             instance);
    }
    if (result != 0) ulmot_Debug("ulmot_AddNxpAlarmSpecification: Failed (result %d)", result);
    return result;
}

int32_t ulmot_RegisterNxpAlarmEvent(ClientProcessor *c, ulmot_NxpAlarmCallback callback, void *context,
                                    uint32_t enable) {
    if (enable != 0) {
        c->families.nxpAlarm.Set(callback, context);
    } else {
        c->families.nxpAlarm.Set(nullptr, nullptr);
    }
    return RegisterEvents(c, "ulmot_RegisterNxpAlarmEvent", ULMOT_OBJ_NXP_ALARM, 0, kEventType0,
                          EnableMask(enable != 0));
}

}  // extern "C"
