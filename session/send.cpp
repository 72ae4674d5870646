// Sending: the message header and send-and-wait over a request slot.
#include "session/session_internal.h"
#include "ulmot/items.h"

namespace {

using ulmot::session::RequestSlot;

uint32_t RequestTimeout(uint32_t objectType, uint8_t command) {
    return objectType == 10 && command == 100 ? ulmot::session::kLongRequestTimeoutMs
                                              : ulmot::session::kRequestTimeoutMs;
}

// Holds a reference for the duration of a call, so that a session ending
// meanwhile stays in memory until the caller has left it.
class CallerReference {
public:
    explicit CallerReference(Session *s) : s_(s) { ulmot::session::Retain(s_); }
    ~CallerReference() { ulmot::session::Release(s_); }
    CallerReference(const CallerReference &) = delete;
    CallerReference &operator=(const CallerReference &) = delete;

private:
    Session *s_;
};

// Waits for the response of `slot` and takes its result. The slot is
// returned (or put aside) on every path.
int32_t AwaitResponse(Session *s, RequestSlot *slot, uint32_t timeout, uint8_t source,
                      uint8_t destination, uint32_t objectType, uint8_t command, uint8_t instance,
                      MessageBlock **response, uint8_t *responseInstance) {
    const uint32_t wait = slot->completionEvent.Wait(timeout);
    if (s->closing.load()) {
        ulmot::session::FreeMessage(s, slot);
        return -1;
    }
    if (wait != ulmot::plat::kWaitSignaled) {
        ulmot_Debug(
            "ulmot_SendSessionMessage: Response timeout (result %lu, ID %p-%u, timeout %u, %s, "
            "src %u, dst %u, objtype %u, cmd %u, instance %u)",
            static_cast<unsigned long>(wait), static_cast<void *>(s),
            ulmot::session::MessageId(s, slot), timeout, "REQUEST", source, destination,
            objectType, command, instance);
        ulmot::session::QuarantineMessage(s, slot, timeout);
        return -1;
    }
    // Taken out under the session's lock: a duplicate of this response may
    // be arriving on the receive thread right now.
    uint8_t answeredInstance = 0;
    MessageBlock *answer = ulmot::session::TakeResponseAndFree(s, slot, &answeredInstance);
    uint16_t result = 0;
    if (answer == nullptr || ulmot_BufferReadDTPInt16(answer, ULMOT_ITEM_RESULT, &result) != 0) {
        ulmot_Debug("ulmot_SendSessionMessage: Failed to read result");
        if (answer != nullptr) freemsg(answer);
        return -1;
    }
    if (response != nullptr) {
        *response = answer;
    } else {
        freemsg(answer);
    }
    if (responseInstance != nullptr) *responseInstance = answeredInstance;
    return static_cast<int16_t>(result);
}

}  // namespace

extern "C" {

int32_t ulmot_MessageAddHeader(MessageBlock *block, uint32_t messageType, uint8_t sourceId,
                               uint8_t destinationId, uint16_t messageId, uint32_t objectType,
                               uint8_t command, uint8_t instance, uint16_t bodyLength) {
    uint8_t *h = ulmot_BufferReserveHeadChunk(block, ULMOT_HEADER_SIZE);
    if (h == nullptr) {
        ulmot_Debug("ulmot_AddMessageHeader: Insufficient buffer header space");
        return -1;
    }
    h[ULMOT_HEADER_DESTINATION] = destinationId;
    h[ULMOT_HEADER_SOURCE] = sourceId;
    h[ULMOT_HEADER_TYPE_ID] = static_cast<uint8_t>((messageId & 63u) | (messageType << 6));
    h[ULMOT_HEADER_COMMAND] = command;
    h[ULMOT_HEADER_OBJECT_TYPE] = static_cast<uint8_t>(objectType);
    h[ULMOT_HEADER_INSTANCE] = instance;
    h[ULMOT_HEADER_LENGTH] = static_cast<uint8_t>(bodyLength >> 8);
    h[ULMOT_HEADER_LENGTH + 1] = static_cast<uint8_t>(bodyLength & 0xFFu);
    return 0;
}

int32_t ulmot_SendSessionMessage(Session *s, uint32_t messageType, uint8_t sourceId,
                                 uint8_t destinationId, uint16_t messageId, uint32_t objectType,
                                 uint8_t command, uint8_t instance, MessageBlock *block,
                                 MessageBlock **response, uint8_t *responseInstance) {
    CallerReference reference(s);
    if (s->closing.load()) {
        freemsg(block);
        return -1;
    }
    const uint32_t timeout = RequestTimeout(objectType, command);
    const bool request = messageType == ULMOT_MSG_REQUEST;
    RequestSlot *slot = nullptr;
    if (request) {
        slot = ulmot::session::AllocateMessage(s, timeout);
        if (slot == nullptr) {
            ulmot_Debug("ulmot_SendSessionMessage: Failed to allocate session message");
            freemsg(block);
            return -1;
        }
        messageId = static_cast<uint16_t>(ulmot::session::MessageId(s, slot));
        slot->ownerProcessorId.store(sourceId, std::memory_order_relaxed);
    }
    const auto bodyLength = static_cast<uintptr_t>(block->writePtr - block->readPtr);
    const char *failure = nullptr;
    if (bodyLength > ULMOT_MAX_BODY) {
        failure = "ulmot_SendSessionMessage: Message data overflow";
    } else if (ulmot_MessageAddHeader(block, messageType, sourceId, destinationId, messageId,
                                      objectType, command, instance,
                                      static_cast<uint16_t>(bodyLength)) != 0) {
        failure = "ulmot_SendSessionMessage: Failed to add header";
    }
    if (failure != nullptr) {
        ulmot_Debug("%s", failure);
        if (slot) ulmot::session::FreeMessage(s, slot);
        freemsg(block);
        return -1;
    }
    if (s->transport->send(s->transport, block, 0) != 0) {
        ulmot_Debug("ulmot_SendSessionMessage: Failed to send message");
        if (slot) ulmot::session::FreeMessage(s, slot);
        return -1;
    }
    if (!request) return 0;
    return AwaitResponse(s, slot, timeout, sourceId, destinationId, objectType, command, instance,
                         response, responseInstance);
}

}  // extern "C"
