// objects/tag_path.h - what the tag path families (inventory, schedules,
// antennas, tag filters, access, tag selectors) share, and their event
// handlers that are not exported. Not exported.
#pragma once

#include <cstdint>

#include "processors/client.h"
#include "ulmot/items.h"
#include "ulmot/objects.h"

namespace ulmot::objects {

// Sends `body` as a request of `objectType` from the client to the processor
// of its attach entry, over the client's session borrowed for the call. The
// body is the session's from here on (released here when there is no
// session: -1 and a line naming `operation`).
inline int32_t SendRequest(ClientProcessor *client, const char *operation, uint32_t objectType,
                           uint8_t command, uint8_t instance, MessageBlock *body,
                           MessageBlock **response = nullptr, uint8_t *responseInstance = nullptr) {
    processors::ClientSession s(client, operation);
    if (!s) {
        freeb(body);
        return -1;
    }
    return ulmot_SendSessionMessage(s.get(), ULMOT_MSG_REQUEST, client->processorId.load(),
                                    processors::Destination(client, objectType), 0, objectType,
                                    command, instance, body, response, responseInstance);
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

// An event registration (command 5) from the client for `objectType`.
inline int32_t RegisterEvents(ClientProcessor *client, const char *operation, uint32_t objectType,
                              uint8_t instance, uint32_t selectionMask, uint32_t enableMask) {
    processors::ClientSession s(client, operation);
    if (!s) return -1;
    return ulmot_EventRegistration(s.get(), client->processorId.load(),
                                   processors::Destination(client, objectType), objectType,
                                   instance, selectionMask, enableMask);
}

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

}  // namespace ulmot::objects

// The event handlers of the client's dispatch table that are not exported:
// (client, instance from the event header, time stamp, event block). They
// read the block, which stays the dispatcher's.
extern "C" {
void ulmot_ClientHandleInventoryEvent0(ClientProcessor *client, uint8_t instance, uint32_t timestamp,
                                       MessageBlock *block);
void ulmot_ClientHandleInventoryEvent1(ClientProcessor *client, uint8_t instance, uint32_t timestamp,
                                       MessageBlock *block);
void ulmot_ClientHandleTagReport(ClientProcessor *client, uint8_t instance, uint32_t timestamp,
                                 MessageBlock *block);
void ulmot_ClientHandleAccessDataComplete(ClientProcessor *client, uint8_t instance,
                                          uint32_t timestamp, MessageBlock *block);
void ulmot_ClientHandleAccessComplete(ClientProcessor *client, uint8_t instance, uint32_t timestamp,
                                      MessageBlock *block);
void ulmot_ClientHandleAccessStop(ClientProcessor *client, uint8_t instance, uint32_t timestamp,
                                  MessageBlock *block);
void ulmot_ClientHandleAccessClientRequest(ClientProcessor *client, uint8_t instance,
                                           uint32_t timestamp, MessageBlock *block);
void ulmot_ClientHandleAccessClientRequestComplete(ClientProcessor *client, uint8_t instance,
                                                   uint32_t timestamp, MessageBlock *block);
void ulmot_ClientHandleTxAntennaVSWRStatus(ClientProcessor *client, uint8_t instance,
                                           uint32_t timestamp, MessageBlock *block);
void ulmot_ClientHandleAntennaPairActivation(ClientProcessor *client, uint8_t instance,
                                             uint32_t timestamp, MessageBlock *block);
}
