// Reset specifications (object type 9) and RF survey specifications (object
// type 19): created by one request each, reporting back by events.
#include "objects/family.h"

namespace ulmot::objects {

namespace {

constexpr uint32_t kResetRequestSize = 38;
constexpr uint32_t kResetHeadRoom = 8;
constexpr uint32_t kSurveyRequestSize = 525;
constexpr uint32_t kSurveyHeadRoom = 13;

constexpr uint32_t kItemCurrentChannel = 2;
constexpr uint32_t kItemAverageRssi = 3;
constexpr uint32_t kItemValue4 = 4;
constexpr uint32_t kItemValue5 = 5;
constexpr uint32_t kItemObjectMeasured = 6;

// A 16-bit item read as a signed value, widened with its sign.
int32_t Signed16(uint16_t value) { return static_cast<int16_t>(value); }

}  // namespace




void ClientHandleResetDone(ClientProcessor *c, uint8_t instance, uint32_t timestamp, MessageBlock *) {
    const auto slot = c->families.resetDone.Get();
    if (slot.callback != nullptr) slot.callback(slot.context, timestamp, instance);
}

void ClientHandleRFSurveyEvent0(ClientProcessor *c, uint8_t instance, uint32_t timestamp, MessageBlock *) {
    const RFSurveyCallbacks r = c->families.rfSurvey.Get();
    if (r.rfSurveyCallback0 != nullptr) r.rfSurveyCallback0(r.rfSurveyCallbackContext, timestamp, instance);
}

void ClientHandleRFSurveyEvent1(ClientProcessor *c, uint8_t instance, uint32_t timestamp, MessageBlock *) {
    const RFSurveyCallbacks r = c->families.rfSurvey.Get();
    if (r.rfSurveyCallback1 != nullptr) r.rfSurveyCallback1(r.rfSurveyCallbackContext, timestamp, instance);
}

void ClientHandleRFSurveyMeasurement(ClientProcessor *c, uint8_t instance, uint32_t timestamp,
                                     MessageBlock *block) {
    const RFSurveyCallbacks r = c->families.rfSurvey.Get();
    if (r.rfSurveyMeasurementCallback == nullptr) return;
    uint32_t channel = 0;
    uint16_t rssi = 0, value4 = 0, value5 = 0;
    uint8_t measured = 0;
    if (ulmot_BufferReadDTPInt32(block, kItemCurrentChannel, &channel) != 0) {
        ulmot_Debug("ulmot_ClientHandleRFSurveyMeasurement: Failed to find current channel in event");
    }
    if (ulmot_BufferReadDTPInt16(block, kItemAverageRssi, &rssi) != 0) {
        ulmot_Debug("ulmot_ClientHandleRFSurveyMeasurement: Failed to find average RSSI in event");
    }
    // Items 4 to 6 are optional: a missing one is 0, without a line.
    ulmot_BufferReadDTPInt16(block, kItemValue4, &value4);
    ulmot_BufferReadDTPInt16(block, kItemValue5, &value5);
    ulmot_BufferReadDTPObjectReference(block, kItemObjectMeasured, 0, &measured);
    r.rfSurveyMeasurementCallback(r.rfSurveyCallbackContext, timestamp, instance, channel, Signed16(rssi),
                                  Signed16(value4), value5, measured);
}

}  // namespace ulmot::objects

using namespace ulmot::objects;
using ulmot::processors::RFSurveyCallbacks;

extern "C" {

int32_t ulmot_AddResetSpecification(ClientProcessor *c, uint8_t *instance, uint32_t value, uint32_t objectType,
                                    uint8_t objectInstance, uint8_t flag) {
    MessageBlock *b = ulmot_BufferAllocate(kResetRequestSize, kResetHeadRoom);
    if (b == nullptr) {
        ulmot_Debug("ulmot_AddResetSpecification: Message allocation failed");
        return -7;
    }
    int32_t result;
    if (ulmot_BufferWriteDTPInt16(b, 0, value & 0xFFFFu) != 0 ||
        ulmot_BufferWriteDTPObjectReference(b, 1, objectType & 0xFFu, objectInstance) != 0 ||
        ulmot_BufferWriteDTPInt8(b, 2, flag) != 0) {
        ulmot_Debug("ulmot_AddResetSpecification: Failed to build message");
        freeb(b);
        result = -1;
    } else {
        result = SendRequest(c, "ulmot_AddResetSpecification", ULMOT_OBJ_RESET, ULMOT_CMD_ADD, 0, b, nullptr,
                             instance);
    }
    if (result != 0) ulmot_Debug("ulmot_AddResetSpecification: Failed (result %d)", result);
    return result;
}

int32_t ulmot_RegisterResetDone(ClientProcessor *c, ulmot_ResetDoneCallback callback, void *context,
                                uint32_t enable) {
    // All or nothing: disabling forgets the context as well.
    if (enable != 0) {
        c->families.resetDone.Set(callback, context);
    } else {
        c->families.resetDone.Set(nullptr, nullptr);
    }
    return RegisterEvents(c, "ulmot_RegisterResetDone", ULMOT_OBJ_RESET, 0, kEventType0, EnableMask(enable != 0));
}

int32_t ulmot_AddRFSurveySpecification(ClientProcessor *c, uint8_t *instance, uint32_t parameter0,
                                       uint32_t parameter1) {
    MessageBlock *b = ulmot_BufferAllocate(kSurveyRequestSize, kSurveyHeadRoom);
    if (b == nullptr) {
        ulmot_Debug("ulmot_AddRFSurveySpecification: Message allocation failed");
        return -7;
    }
    if (ulmot_BufferWriteDTPInt32(b, 0, parameter0) != 0 || ulmot_BufferWriteDTPInt32(b, 1, parameter1) != 0) {
        ulmot_Debug("ulmot_AddRFSurveySpecification: Failed to build request");
        freeb(b);
        return -1;
    }
    const int32_t result = SendRequest(c, "ulmot_AddRFSurveySpecification", ULMOT_OBJ_RF_SURVEY, ULMOT_CMD_ADD, 0,
                                       b, nullptr, instance);
    if (result != 0) ulmot_Debug("ulmot_AddRFSurveySpecification: Failed (result %d)", result);
    return result;
}

int32_t ulmot_RegisterRFSurveyEvents(ClientProcessor *c, ulmot_RFSurveyCallback callback0,
                                     ulmot_RFSurveyCallback callback1,
                                     ulmot_RFSurveyMeasurementCallback measurementCallback, void *context) {
    c->families.rfSurvey.Set(RFSurveyCallbacks{callback0, callback1, measurementCallback, context});
    return RegisterEvents(c, "ulmot_RegisterRFSurveyEvents", ULMOT_OBJ_RF_SURVEY, 0, kAllEventTypes,
                          MaskOf({callback0 != nullptr, callback1 != nullptr, measurementCallback != nullptr}));
}

}  // extern "C"
