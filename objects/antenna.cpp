// Antennas (object type 8, read-only here) and antenna pairs (object type
// 17): properties, the VSWR status and activation events.
#include "objects/family.h"

namespace ulmot::objects {

namespace {

// Antenna items.
constexpr uint32_t kItemDefaultPower = 0;
constexpr uint32_t kItemMinPower = 1;
constexpr uint32_t kItemMaxPower = 2;
constexpr uint32_t kItemReceiveList = 3;
constexpr uint32_t kItemVswrStatus = 4;
constexpr uint8_t kNoVswrStatus = 255;

// Antenna pair items.
constexpr uint32_t kItemPair0 = 0;
constexpr uint32_t kItemPair1 = 1;
constexpr uint32_t kItemPairPower = 2;
constexpr uint32_t kItemPairReceiveList = 3;
constexpr uint32_t kAntennaPairRequestSize = 28;
constexpr uint8_t kActivationProperties[] = {kItemPair0, kItemPair1, kItemPairPower};

// Reads one Int16 property of an antenna attributes response when asked for;
// false (after `line`) when it is asked for and missing.
bool ReadPower(MessageBlock *r, uint32_t itemId, uint16_t *out, const char *line) {
    if (out == nullptr || ulmot_BufferReadDTPInt16(r, itemId, out) == 0) return true;
    ulmot_Debug("%s", line);
    return false;
}

}  // namespace

}  // namespace ulmot::objects

using namespace ulmot::objects;

extern "C" {

int32_t ulmot_GetAntennaCount(ClientProcessor *client, uint8_t *count) {
    ulmot::processors::ClientSession s(client, "ulmot_GetAntennaCount");
    if (!s) return -1;
    return ulmot_GetInstanceCount(s.get(), client->processorId.load(),
                                  ulmot::processors::Destination(client, ULMOT_OBJ_ANTENNA), ULMOT_OBJ_ANTENNA, 1,
                                  count);
}

int32_t ulmot_GetAntennaDefaultPower(ClientProcessor *client, uint8_t antenna, uint16_t *power) {
    return ulmot_GetPropertyInt16(client, ULMOT_OBJ_ANTENNA, antenna, kItemDefaultPower, power);
}

int32_t ulmot_GetAntennaMinPower(ClientProcessor *client, uint8_t antenna, uint16_t *power) {
    return ulmot_GetPropertyInt16(client, ULMOT_OBJ_ANTENNA, antenna, kItemMinPower, power);
}

int32_t ulmot_GetAntennaMaxPower(ClientProcessor *client, uint8_t antenna, uint16_t *power) {
    return ulmot_GetPropertyInt16(client, ULMOT_OBJ_ANTENNA, antenna, kItemMaxPower, power);
}

int32_t ulmot_GetAntennaLastVSWRStatus(ClientProcessor *client, uint8_t antenna, uint8_t *status) {
    return ulmot_GetPropertyInt8(client, ULMOT_OBJ_ANTENNA, antenna, kItemVswrStatus, status);
}

int32_t ulmot_GetAntennaAttributes(ClientProcessor *client, uint8_t antenna, uint16_t *maxPower,
                                   uint16_t *minPower, uint16_t *defaultPower, uint8_t *receiveList,
                                   uint16_t bufferSize, uint16_t *listLength) {
    MessageBlock *r = ulmot::processors::GetObjectProperties(client, ULMOT_OBJ_ANTENNA, antenna);
    if (r == nullptr) return -1;
    // Every read asked for runs, whatever the ones before it gave.
    bool ok = ReadPower(r, kItemMaxPower, maxPower,
                        "ulmot_GetAntennaAttributes: Failed to find max power level in response");
    ok = ReadPower(r, kItemMinPower, minPower,
                   "ulmot_GetAntennaAttributes: Failed to find min power level in response") && ok;
    ok = ReadPower(r, kItemDefaultPower, defaultPower,
                   "ulmot_GetAntennaAttributes: Failed to find default power level in response") && ok;
    if (receiveList != nullptr && listLength != nullptr &&
        ulmot_BufferReadDTPByteArray(r, kItemReceiveList, 0, receiveList, bufferSize, listLength) != 0) {
        ulmot_Debug("ulmot_GetAntennaAttributes: Failed to find receive antenna list in response");
        ok = false;
    }
    freeb(r);
    return ok ? 0 : -1;
}

int32_t ulmot_RegisterTxAntennaVSWRStatus(ClientProcessor *client, ulmot_TxAntennaVSWRStatusCallback callback,
                                          void *context, uint32_t enable) {
    if (enable) {
        client->families.txAntennaVSWRStatus.Set(callback, context);
    } else {
        client->families.txAntennaVSWRStatus.Set(nullptr, nullptr);
    }
    return RegisterEvents(client, "ulmot_RegisterTxAntennaVSWRStatus", ULMOT_OBJ_ANTENNA, 0, 1,
                          enable ? 0xFFFFFFFFu : 0u);
}

int32_t ulmot_AddAntennaPair(ClientProcessor *client, uint8_t *instance, uint8_t item0, uint8_t item1,
                             uint16_t powerLevel) {
    MessageBlock *b = ulmot_BufferAllocate(kAntennaPairRequestSize, ULMOT_HEADER_SIZE);
    if (b == nullptr) {
        ulmot_Debug("ulmot_AddAntennaPair: Allocation failed");
        return -7;
    }
    int32_t result;
    if (ulmot_BufferWriteDTPInt8(b, kItemPair0, item0) != 0 || ulmot_BufferWriteDTPInt8(b, kItemPair1, item1) != 0 ||
        ulmot_BufferWriteDTPInt16(b, kItemPairPower, powerLevel) != 0) {
        ulmot_Debug("ulmot_AddAntennaPair: Failed to build message");
        freeb(b);
        result = -1;
    } else {
        result = SendRequest(client, "ulmot_AddAntennaPair", ULMOT_OBJ_ANTENNA_PAIR, ULMOT_CMD_ADD, 0, b, nullptr,
                             instance);
    }
    if (result != 0) ulmot_Debug("ulmot_AddAntennaPair: Failed (result %d)", result);
    return result;
}

int32_t ulmot_SetAntennaPower(ClientProcessor *client, uint8_t pair, uint16_t powerLevel) {
    return ulmot_SetObjectProperties(client, ULMOT_OBJ_ANTENNA_PAIR, pair, ULMOT_PROP_INT16, kItemPairPower,
                                     &powerLevel, ULMOT_PROP_END);
}

int32_t ulmot_GetAntennaPower(ClientProcessor *client, uint8_t pair, uint16_t *powerLevel) {
    return ulmot_GetPropertyInt16(client, ULMOT_OBJ_ANTENNA_PAIR, pair, kItemPairPower, powerLevel);
}

int32_t ulmot_SetReceiveAntennaList(ClientProcessor *client, uint8_t pair, const uint8_t *antennas,
                                    uint8_t count) {
    return ulmot_SetObjectProperties(client, ULMOT_OBJ_ANTENNA_PAIR, pair, ULMOT_PROP_INT8_LIST,
                                     kItemPairReceiveList, antennas, uint32_t{count}, ULMOT_PROP_END);
}

int32_t ulmot_RegisterAntennaPairActivation(ClientProcessor *client, ulmot_AntennaPairActivationCallback callback,
                                            void *context, uint32_t enable) {
    if (enable) {
        client->families.antennaPairActivation.Set(callback, context);
    } else {
        client->families.antennaPairActivation.Set(nullptr, nullptr);
    }
    return RegisterEvents(client, "ulmot_RegisterAntennaPairActivation", ULMOT_OBJ_ANTENNA_PAIR, 0, 1,
                          enable ? 0xFFFFFFFFu : 0u);
}

int32_t ulmot_EnableAntennaPairEventExtraInfo(ClientProcessor *client, uint32_t enable) {
    ulmot::processors::ClientSession s(client, "ulmot_EnableAntennaPairEventExtraInfo");
    if (!s) return -1;
    return ulmot_RegisterEventProperties(s.get(), enable, client->processorId.load(),
                                         ulmot::processors::Destination(client, ULMOT_OBJ_ANTENNA_PAIR),
                                         ULMOT_OBJ_ANTENNA_PAIR, 0, kActivationProperties,
                                         sizeof kActivationProperties);
}

}  // extern "C"

namespace ulmot::objects {

void ClientHandleTxAntennaVSWRStatus(ClientProcessor *client, uint8_t instance, uint32_t timestamp,
                                           MessageBlock *block) {
    const auto slot = client->families.txAntennaVSWRStatus.Get();
    if (!slot.callback) return;
    uint8_t status = kNoVswrStatus;
    if (ulmot_BufferReadDTPInt8(block, kItemVswrStatus, &status) != 0) status = kNoVswrStatus;
    slot.callback(slot.context, timestamp, instance, status);
}

void ClientHandleAntennaPairActivation(ClientProcessor *client, uint8_t instance, uint32_t timestamp,
                                             MessageBlock *block) {
    const auto slot = client->families.antennaPairActivation.Get();
    if (!slot.callback) return;
    AntennaPairActivation a{};
    const bool complete = ulmot_BufferReadDTPInt8(block, kItemPair0, &a.item0) == 0 &&
                          ulmot_BufferReadDTPInt8(block, kItemPair1, &a.item1) == 0 &&
                          ulmot_BufferReadDTPInt16(block, kItemPairPower, &a.item2) == 0;
    slot.callback(slot.context, timestamp, instance, complete ? &a : nullptr);
}

}  // namespace ulmot::objects
