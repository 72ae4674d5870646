// Schedule specifications (object type 11): creation, LBT parameters and
// priority, start (after the platform's radio access check) and stop, and
// their start and stop events.
#include <mutex>

#include "objects/family.h"

namespace ulmot::objects {

namespace {

constexpr uint32_t kItemEntries = 0;
constexpr uint32_t kItemStartFlag = 1;
constexpr uint32_t kItemStopReason = 2;
constexpr uint32_t kItemLbtValue = 3;
constexpr uint32_t kItemLbtFlag = 4;
constexpr uint32_t kItemPriority = 5;
constexpr uint32_t kItemStopStatus = 6;

constexpr uint32_t kEntryBytes = 10;  // room reserved per entry
constexpr uint32_t kLbtRequestSize = 28;
constexpr uint32_t kStartRequestSize = 18;
constexpr uint32_t kStartHeadRoom = 18;
constexpr uint8_t kNoStopReason = 255;

constexpr uint32_t kStartEvent = 1u << 0;
constexpr uint32_t kStopEvent = 1u << 1;

// ---- The radio access check ---------------------------------------------------

// The device's platform-support library answers whether radio access is
// blocked (for instance for want of power). It is looked for once per
// process, by the first start, whatever the outcome, and never released:
// `g_radioAccessLoad` lets one thread load it while any other start waits
// for the answer, and publishes `g_radioAccessIsBlocked` to all of them.
constexpr char kPlatformLibrary[] = "vyrplatsupp";
constexpr char kRadioAccessExport[] = "PLATFORM_RadioAccessIsBlocked";
using RadioAccessIsBlockedFn = int (*)();

std::once_flag g_radioAccessLoad;
RadioAccessIsBlockedFn g_radioAccessIsBlocked = nullptr;  // null: library or export missing

void LoadRadioAccessCheck() {
    plat::Library *library = plat::LoadLibrary(kPlatformLibrary);
    if (library == nullptr) {
        ulmot_Debug("ulmot_StartScheduleSpecification - Failed to load library '%s'", kPlatformLibrary);
        return;
    }
    // Procedure is void (*)(), which converts to any function type.
    g_radioAccessIsBlocked =
        reinterpret_cast<RadioAccessIsBlockedFn>(plat::GetProcedure(library, kRadioAccessExport));
}

// Asked before every start; without the library or its export the radio
// counts as free.
bool RadioAccessIsBlocked() {
    std::call_once(g_radioAccessLoad, LoadRadioAccessCheck);
    return g_radioAccessIsBlocked != nullptr && g_radioAccessIsBlocked() != 0;
}

// ---- Requests -------------------------------------------------------------------

// Appends one entry as an item with id 0: 0, or -1 for a missing entry, an
// unknown kind or no room.
int32_t WriteEntry(MessageBlock *b, const ScheduleEntry *e) {
    if (e == nullptr) return -1;
    switch (e->kind) {
        case ULMOT_SCHEDULE_ENTRY_OBJECT:
            return ulmot_BufferWriteDTPObjectReference(b, kItemEntries, e->firstValue & 0xFFu,
                                                       e->secondValue & 0xFFu);
        case ULMOT_SCHEDULE_ENTRY_VALUE: return ulmot_BufferWriteDTPInt32(b, kItemEntries, e->secondValue);
        case ULMOT_SCHEDULE_ENTRY_PAIR:
            return ulmot_BufferWriteDTPInt32(b, kItemEntries,
                                             uint32_t{e->firstValue} << 16 | (e->secondValue & 0xFFFFu));
        default: return -1;
    }
}

// The entries as one list item with id 0 spanning the whole body.
int32_t WriteEntries(MessageBlock *b, ScheduleEntry *const *entries, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        if (WriteEntry(b, entries[i]) != 0) return -1;
    }
    return ulmot_BufferPrependListInfo(b, kItemEntries, count,
                                       static_cast<uint32_t>(b->writePtr - b->readPtr));
}

}  // namespace

}  // namespace ulmot::objects

using namespace ulmot::objects;

extern "C" {

int32_t ulmot_AddScheduleSpecification(ClientProcessor *client, uint8_t *scheduleId,
                                       ScheduleEntry *const *entries, uint32_t count,
                                       uint8_t startEvents, uint8_t stopEvents) {
    // A larger schedule needs a block larger than any pool has: asking for
    // one would wait for ever.
    if (count > ULMOT_SCHEDULE_MAX_ENTRIES) {
        ulmot_Debug("ulmot_AddScheduleSpecification: Too many entries (%u, at most %u)", count,
                    ULMOT_SCHEDULE_MAX_ENTRIES);
        return -5;
    }
    if (entries == nullptr && count > 0) {
        ulmot_Debug("ulmot_AddScheduleSpecification: Invalid parameter");
        return -5;
    }
    MessageBlock *b = ulmot_BufferAllocate(count * kEntryBytes + kListRequestHeadRoom, kListRequestHeadRoom);
    if (b == nullptr) {
        ulmot_Debug("ulmot_AddScheduleSpecification: Message allocation failed");
        return -7;
    }
    if (WriteEntries(b, entries, count) != 0) {
        ulmot_Debug("ulmot_AddScheduleSpecification: Failed to build request");
        freeb(b);
        return -1;
    }
    uint8_t id = 0;
    const int32_t result = SendRequest(client, "ulmot_AddScheduleSpecification", ULMOT_OBJ_SCHEDULE,
                                       ULMOT_CMD_ADD, 0, b, nullptr, &id);
    if (scheduleId != nullptr) *scheduleId = id;
    if (result != 0) {
        ulmot_Debug("ulmot_AddScheduleSpecification: Failed (result %d)", result);
        return result;
    }
    const uint32_t enable = (startEvents ? kStartEvent : 0u) | (stopEvents ? kStopEvent : 0u);
    const int32_t registration = RegisterEvents(client, "ulmot_AddScheduleSpecification", ULMOT_OBJ_SCHEDULE,
                                                id, kStartEvent | kStopEvent, enable);
    if (registration != 0) {
        ulmot_Debug("ulmot_AddScheduleSpecification: Failed to register start and/or stop events for "
                    "schedule ID %u (result %d)",
                    id, registration);
    }
    return 0;  // the schedule exists either way
}

int32_t ulmot_SetScheduleLBTParameters(ClientProcessor *client, int32_t scheduleId, int32_t lbtValue,
                                       int32_t lbtFlag) {
    MessageBlock *b = ulmot_BufferAllocate(kLbtRequestSize, ULMOT_HEADER_SIZE);
    if (b == nullptr) {
        ulmot_Debug("ulmot_SetScheduleLBTParameters: Message allocation failed");
        return -7;
    }
    if (ulmot_BufferWriteDTPInt8(b, kItemLbtValue, static_cast<uint32_t>(lbtValue)) != 0 ||
        ulmot_BufferWriteDTPInt8(b, kItemLbtFlag, lbtFlag == 1 ? 1u : 0u) != 0) {
        ulmot_Debug("ulmot_SetScheduleLBTParameters: Failed to build messsage");
        freeb(b);
        return -1;
    }
    const int32_t result = SendRequest(client, "ulmot_SetScheduleLBTParameters", ULMOT_OBJ_SCHEDULE,
                                       ULMOT_CMD_SET_PROPERTIES, static_cast<uint8_t>(scheduleId), b);
    if (result != 0) ulmot_Debug("ulmot_SetScheduleLBTParameters: Failed (result %d)", result);
    return result;
}

int32_t ulmot_SetSchedulePriority(ClientProcessor *client, uint32_t scheduleId, uint32_t priority) {
    const uint8_t value = static_cast<uint8_t>(priority);
    return ulmot_SetObjectProperties(client, ULMOT_OBJ_SCHEDULE, static_cast<uint8_t>(scheduleId),
                                     ULMOT_PROP_INT8, kItemPriority, &value, ULMOT_PROP_END);
}

int32_t ulmot_StartScheduleSpecification(ClientProcessor *client, int32_t scheduleId, int32_t startFlag) {
    if (RadioAccessIsBlocked()) {
        ulmot_Debug("ulmot_StartScheduleSpecification: Radio is blocked (insufficient power?)");
        return -1;
    }
    MessageBlock *b = ulmot_BufferAllocate(kStartRequestSize, kStartHeadRoom);
    if (b == nullptr) {
        ulmot_Debug("ulmot_StartScheduleSpecification: Allocation failed");
        return -7;
    }
    if (ulmot_BufferWriteDTPInt8(b, kItemStartFlag, startFlag == 1 ? 1u : 0u) != 0) {
        ulmot_Debug("ulmot_StartScheduleSpecification: Failed to build request");
        freeb(b);
        return -1;
    }
    const int32_t result = SendRequest(client, "ulmot_StartScheduleSpecification", ULMOT_OBJ_SCHEDULE,
                                       ULMOT_CMD_OBJECT_SPECIFIC, static_cast<uint8_t>(scheduleId), b);
    if (result != 0) ulmot_Debug("ulmot_StartScheduleSpecification: Failed (result %d)", result);
    return result;
}

int32_t ulmot_StopScheduleSpecification(ClientProcessor *client, int32_t scheduleId, uint8_t *stopStatus) {
    MessageBlock *b = ulmot_BufferAllocate(ULMOT_HEADER_SIZE, ULMOT_HEADER_SIZE);
    if (b == nullptr) {
        ulmot_Debug("ulmot_StopScheduleSpecification: Allocation failed");
        return -7;
    }
    MessageBlock *response = nullptr;
    int32_t result = SendRequest(client, "ulmot_StopScheduleSpecification", ULMOT_OBJ_SCHEDULE,
                                 ULMOT_CMD_OBJECT_SPECIFIC_2, static_cast<uint8_t>(scheduleId), b, &response);
    if (result != 0) {
        ulmot_Debug("ulmot_StopScheduleSpecification: Failed (result %d)", result);
    } else if (stopStatus != nullptr && ulmot_BufferReadDTPInt8(response, kItemStopStatus, stopStatus) != 0) {
        ulmot_Debug("ulmot_StopScheduleSpecification: Failed to find stop status in response");
        result = -1;  // the reader has set the status to 0
    }
    if (response != nullptr) freeb(response);
    return result;
}

int32_t ulmot_RegisterScheduleEvents(ClientProcessor *client, ulmot_ScheduleStartCallback start,
                                     ulmot_ScheduleStopCallback stop, void *context) {
    client->families.schedule.Set({start, stop, context});
    const uint32_t enable = (start ? kStartEvent : 0u) | (stop ? kStopEvent : 0u);
    return RegisterEvents(client, "ulmot_RegisterScheduleEvents", ULMOT_OBJ_SCHEDULE, 0, 0xFFFFFFFFu, enable);
}

void ulmot_ClientHandleScheduleStart(ClientProcessor *client, uint8_t instance, uint32_t timestamp,
                                     MessageBlock *) {
    const ulmot::processors::ScheduleCallbacks cb = client->families.schedule.Get();
    if (cb.start) cb.start(cb.context, timestamp, instance);
}

void ulmot_ClientHandleScheduleStop(ClientProcessor *client, uint8_t instance, uint32_t timestamp,
                                    MessageBlock *block) {
    const ulmot::processors::ScheduleCallbacks cb = client->families.schedule.Get();
    if (!cb.stop) return;
    uint8_t reason = kNoStopReason;
    if (ulmot_BufferReadDTPInt8(block, kItemStopReason, &reason) != 0) {
        ulmot_Debug("ulmot_ClientHandleScheduleStop: Failed to find stop reason in event");
        reason = kNoStopReason;
    }
    cb.stop(cb.context, timestamp, instance, reason);
}

}  // extern "C"
