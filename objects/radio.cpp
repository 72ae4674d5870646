// The radio (object type 12, instance 1): its properties, its supported
// country codes and its four events.
#include <cstring>

#include "objects/family.h"

namespace ulmot::objects {

namespace {

constexpr uint8_t kRadioInstance = 1;
constexpr uint32_t kItemChannel = 0;
constexpr uint32_t kItemCycleTimeLeft = 1;
constexpr uint32_t kItemRadioState = 2;
constexpr uint32_t kItemTemperatureState = 3;
constexpr uint32_t kItemTemperature = 4;
constexpr uint32_t kItemProperty7 = 7;
constexpr uint32_t kItemProperty8 = 8;
constexpr uint32_t kItemProperty9 = 9;
constexpr uint32_t kItemProperty10 = 10;
constexpr uint32_t kItemProperty11 = 11;
constexpr uint32_t kItemProperty12 = 12;
constexpr uint32_t kItemProperty13 = 13;
constexpr uint32_t kItemCountryCode = 16;
constexpr uint32_t kItemCountryText = 17;
constexpr uint16_t kCountryTextMax = 80;
constexpr uint16_t kProperty8BytesMax = ULMOT_RADIO_VALUES_MAX * 4;

// Copies a byte-array item of at most ULMOT_RADIO_BYTES_MAX bytes into its
// field. An item that is missing, cut short by the message or longer than
// the field gives length 0 (the reader then leaves the field as zeroed by
// the caller), so a length never claims bytes that are not there.
uint16_t ReadBytes(MessageBlock *b, uint32_t itemId, uint8_t (&field)[ULMOT_RADIO_BYTES_MAX]) {
    uint16_t length = 0;
    if (ulmot_BufferReadDTPByteArray(b, itemId, 0, field, ULMOT_RADIO_BYTES_MAX, &length) != 0) return 0;
    return length;
}

// Item 8: up to 100 values of 4 bytes, most significant first. The count is
// the whole groups in it; a missing item, or one over 400 bytes, gives none.
uint16_t ReadValues(MessageBlock *b, uint32_t (&values)[ULMOT_RADIO_VALUES_MAX]) {
    uint8_t bytes[kProperty8BytesMax];
    uint16_t length = 0;
    if (ulmot_BufferReadDTPByteArray(b, kItemProperty8, 0, bytes, kProperty8BytesMax, &length) != 0) return 0;
    const uint16_t count = static_cast<uint16_t>(length / 4);
    for (uint16_t i = 0; i < count; ++i) {
        const uint8_t *v = bytes + 4 * i;
        values[i] = uint32_t{v[0]} << 24 | uint32_t{v[1]} << 16 | uint32_t{v[2]} << 8 | uint32_t{v[3]};
    }
    return count;
}

}  // namespace




// Each radio handler reads the four callbacks and their context as one
// registration, logs a missing item and still calls with 0 in its place.

void ClientHandleChannelChange(ClientProcessor *c, uint8_t, uint32_t timestamp, MessageBlock *block) {
    const RadioCallbacks r = c->families.radio.Get();
    if (r.channelChangeCallback == nullptr) return;
    uint8_t channel = 0;
    if (ulmot_BufferReadDTPInt8(block, kItemChannel, &channel) != 0) {
        ulmot_Debug("ulmot_ClientHandleChannelChange: Failed to find channel in event");
    }
    r.channelChangeCallback(r.radioCallbackContext, timestamp, channel);
}

void ClientHandleDutyCycleTimeLeft(ClientProcessor *c, uint8_t, uint32_t timestamp, MessageBlock *block) {
    const RadioCallbacks r = c->families.radio.Get();
    if (r.cycleTimeLeftCallback == nullptr) return;
    uint32_t left = 0;
    if (ulmot_BufferReadDTPInt32(block, kItemCycleTimeLeft, &left) != 0) {
        ulmot_Debug("ulmot_ClientHandleDutyCycleState: Failed to find cycle time left in event");
    }
    r.cycleTimeLeftCallback(r.radioCallbackContext, timestamp, left);
}

void ClientHandleDutyCycleRadioState(ClientProcessor *c, uint8_t, uint32_t timestamp, MessageBlock *block) {
    const RadioCallbacks r = c->families.radio.Get();
    if (r.radioStateCallback == nullptr) return;
    uint8_t state = 0;
    if (ulmot_BufferReadDTPInt8(block, kItemRadioState, &state) != 0) {
        ulmot_Debug("ulmot_ClientHandleDutyCycleState: Failed to find radio state in event");
    }
    r.radioStateCallback(r.radioCallbackContext, timestamp, state);
}

void ClientHandleDutyCycleTemperature(ClientProcessor *c, uint8_t, uint32_t timestamp, MessageBlock *block) {
    const RadioCallbacks r = c->families.radio.Get();
    if (r.temperatureCallback == nullptr) return;
    uint16_t temperature = 0;
    uint8_t state = 0;
    if (ulmot_BufferReadDTPInt16(block, kItemTemperature, &temperature) != 0) {
        ulmot_Debug("ulmot_ClientHandleDutyCycleState: Failed to find temperature in event");
    }
    if (ulmot_BufferReadDTPInt8(block, kItemTemperatureState, &state) != 0) {
        ulmot_Debug("ulmot_ClientHandleDutyCycleState: Failed to find temperature state in event");
    }
    r.temperatureCallback(r.radioCallbackContext, timestamp, temperature, state);
}

}  // namespace ulmot::objects

using namespace ulmot::objects;
using ulmot::processors::GetObjectProperties;
using ulmot::processors::RadioCallbacks;

extern "C" {

int32_t ulmot_GetRadioProperties(ClientProcessor *c, RadioProperties *p) {
    MessageBlock *b = GetObjectProperties(c, ULMOT_OBJ_RADIO, kRadioInstance);
    if (b == nullptr) return -1;
    if (p != nullptr) {
        // Every field is filled from this response: nothing of an earlier
        // content survives, missing items included.
        std::memset(p, 0, sizeof *p);
        ulmot_BufferReadDTPInt8(b, kItemChannel, &p->channel);
        ulmot_BufferReadDTPInt32(b, kItemCycleTimeLeft, &p->cycleTimeLeft);
        ulmot_BufferReadDTPInt8(b, kItemRadioState, &p->radioState);
        ulmot_BufferReadDTPInt8(b, kItemTemperatureState, &p->temperatureState);
        ulmot_BufferReadDTPInt16(b, kItemTemperature, &p->temperature);
        ulmot_BufferReadDTPInt32(b, kItemProperty10, &p->property10);
        ulmot_BufferReadDTPInt32(b, kItemProperty11, &p->property11);
        ulmot_BufferReadDTPInt8(b, kItemProperty12, &p->property12);
        p->property13Length = ReadBytes(b, kItemProperty13, p->property13);
        p->property8Count = ReadValues(b, p->property8);
        ulmot_BufferReadDTPInt8(b, kItemProperty7, &p->property7);
        p->property9Length = ReadBytes(b, kItemProperty9, p->property9);
    }
    freeb(b);
    return 0;
}

int32_t ulmot_GetRadioSupportedCountryCode(ClientProcessor *c, uint32_t selector, uint16_t *code, char *text) {
    const uint16_t selected = static_cast<uint16_t>(selector & 0xFFFFu);
    const int32_t set = ulmot_SetObjectProperties(c, ULMOT_OBJ_RADIO, kRadioInstance, ULMOT_PROP_INT16,
                                                  kItemCountryCode, &selected, ULMOT_PROP_END);
    if (set != 0) return set;
    MessageBlock *b = GetObjectProperties(c, ULMOT_OBJ_RADIO, kRadioInstance);
    if (b == nullptr) return -1;
    uint16_t length = 0;
    int32_t result = ulmot_BufferReadDTPInt16(b, kItemCountryCode, code);
    if (result == 0) result = ulmot_BufferReadDTPByteArray(b, kItemCountryText, 0, text, kCountryTextMax, &length);
    // A text of at most one byte: the reader has no country code there.
    if (result == 0 && length <= 1) result = -1;
    freeb(b);
    return result;
}

int32_t ulmot_RegisterRadioEvents(ClientProcessor *c, ulmot_ChannelChangeCallback channelChange,
                                  ulmot_CycleTimeLeftCallback cycleTimeLeft, ulmot_RadioStateCallback radioState,
                                  ulmot_TemperatureCallback temperature, void *context) {
    c->families.radio.Set(RadioCallbacks{channelChange, cycleTimeLeft, radioState, temperature, context});
    return RegisterEvents(c, "ulmot_RegisterRadioEvents", ULMOT_OBJ_RADIO, 0, kAllEventTypes,
                          MaskOf({channelChange != nullptr, cycleTimeLeft != nullptr, radioState != nullptr,
                                  temperature != nullptr}));
}

}  // extern "C"
