// objects/family.h - what the object families share: requests and event
// registrations through the client (processors/client.h), masks, tag
// filters and tag reports, and the families' event handlers, which the
// client's event dispatch table (event_table.cpp) names. Not exported.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "processors/client.h"
#include "ulmot/items.h"
#include "ulmot/objects.h"

namespace ulmot::objects {

using processors::ClientSession;
using processors::Destination;
using processors::RegisterEvents;
using processors::SendRequest;
// The families' callback groups (processors/family_slots.h).
using processors::AccessCallbacks;
using processors::InventoryCallbacks;
using processors::RadioCallbacks;
using processors::RFSurveyCallbacks;
using processors::ScheduleCallbacks;
using processors::VersionInfo;

inline constexpr uint32_t kAllEventTypes = 0xFFFFFFFFu;
inline constexpr uint32_t kEventType0 = 1u;

// The enable mask of a family's single event (event type 0).
constexpr uint32_t EnableMask(bool enable) { return enable ? 0xFFFFFFFFu : 0u; }

// Bit n set when the callback of event type n is given.
inline uint32_t MaskOf(std::initializer_list<bool> given) {
    uint32_t mask = 0;
    uint32_t bit = 1;
    for (bool g : given) {
        if (g) mask |= bit;
        bit <<= 1;
    }
    return mask;
}

// The tag report of an event body as the callback receives it: the items
// parsed, then a format-517 report split into PC word, XPC words, EPC and CRC
// (other formats: the tag data's whole bytes). Pointers point into `block`.
void ReadTagReport(TagReport *report, MessageBlock *block);

// The arguments of ulmot_AddAccessSpecification that go into its body.
struct AccessAddRequest {
    const uint8_t *inventories;
    uint8_t inventoryCount;
    uint16_t enabled;
    uint8_t item13, item4, item6;
    uint32_t item5;
    uint16_t accessDataLength;
    const uint8_t *accessData;
    uint16_t item9Length;
    const uint8_t *item9Data;
    const uint8_t *antennas;
    uint8_t antennaCount;
    uint8_t tagFilter;
};

// The body of an access specification add: the block, or null with -7 (no
// block) or -1 (an item did not fit) in `failure`.
MessageBlock *BuildAccessAddBody(const AccessAddRequest &request, int32_t *failure);

// Whether a tag filter record can be written: not null, and its data and
// mask are there whenever their sizes are not 0 (a filter refused by
// ulmot_SetTagFilterC1G2 has a bit count but no data).
inline bool TagFilterIsUsable(const TagFilter *f) {
    return f != nullptr && (f->dataLengthBits == 0 || f->data != nullptr) &&
           (f->maskLengthBytes == 0 || f->mask != nullptr);
}

// Writes a tag filter item with item id 0 from a usable record: 0 or the
// writer's -1.
inline int32_t WriteTagFilter(MessageBlock *b, const TagFilter *f) {
    return ulmot_BufferWriteDTPTagFilter(b, 0, f->flags, f->filterByte, f->filterWord,
                                         f->dataLengthBits, f->maskLengthBytes, f->data, f->mask);
}

// Head room of a request whose body becomes one list: the message header and
// the list item's header (header byte, length, count) put in front afterwards.
inline constexpr uint32_t kListRequestHeadRoom = ULMOT_HEADER_SIZE + 5;

// The families' event handlers of the client's dispatch table: (client,
// instance from the event header, time stamp, event block). They read the
// block, which stays the dispatcher's. Schedule start and stop are exported
// (ulmot/objects.h).
using Handler = void(ClientProcessor *client, uint8_t instance, uint32_t timestamp, MessageBlock *block);
Handler ClientHandleInventoryEvent0, ClientHandleInventoryEvent1, ClientHandleTagReport;
Handler ClientHandleAccessDataComplete, ClientHandleAccessComplete, ClientHandleAccessStop,
    ClientHandleAccessClientRequest, ClientHandleAccessClientRequestComplete;
Handler ClientHandleTxAntennaVSWRStatus, ClientHandleAntennaPairActivation;
Handler ClientHandleGPO, ClientHandleGPI;
Handler ClientHandleResetDone, ClientHandleRFSurveyEvent0, ClientHandleRFSurveyEvent1,
    ClientHandleRFSurveyMeasurement;
Handler ClientHandleChannelChange, ClientHandleDutyCycleTimeLeft, ClientHandleDutyCycleRadioState,
    ClientHandleDutyCycleTemperature;
Handler ClientHandleTextLogMessage, ClientHandleNxpAlarmEvent;

}  // namespace ulmot::objects
