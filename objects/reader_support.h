// objects/reader_support.h - what the reader families (Gen2, GPI/GPO, radio,
// reset and RF survey, clock and versions, CTI, alarms, text log) share: a
// request of the client to the processor of an object type, and the event
// registrations. Not exported.
#pragma once

#include <initializer_list>

#include "processors/client.h"
#include "ulmot/items.h"

namespace ulmot::objects {

using processors::ClientSession;
using processors::Destination;

inline constexpr uint32_t kAllEventTypes = 0xFFFFFFFFu;
inline constexpr uint32_t kEventType0 = 1u;

// The enable mask of a family's single event (event type 0).
constexpr uint32_t EnableMask(bool enable) { return enable ? 0xFFFFFFFFu : 0u; }

// Sends `body` as a request of `client` for `objectType` to the processor
// attached to that type. The block is the session's from here on, on every
// path: without a session (the client reconnects) it is released and the
// result is -1, with a line naming `operation`.
inline int32_t SendRequest(ClientProcessor *client, const char *operation, uint32_t objectType,
                           uint8_t command, uint8_t instance, MessageBlock *body,
                           MessageBlock **response = nullptr, uint8_t *responseInstance = nullptr) {
    ClientSession s(client, operation);
    if (!s) {
        freeb(body);
        return -1;
    }
    return ulmot_SendSessionMessage(s.get(), ULMOT_MSG_REQUEST, client->processorId.load(),
                                    Destination(client, objectType), 0, objectType, command,
                                    instance, body, response, responseInstance);
}

// An event registration of `client` for `objectType` (command 5).
inline int32_t RegisterEvents(ClientProcessor *client, const char *operation, uint32_t objectType,
                              uint8_t instance, uint32_t selectionMask, uint32_t enableMask) {
    ClientSession s(client, operation);
    if (!s) return -1;
    return ulmot_EventRegistration(s.get(), client->processorId.load(),
                                   Destination(client, objectType), objectType, instance,
                                   selectionMask, enableMask);
}

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

}  // namespace ulmot::objects
