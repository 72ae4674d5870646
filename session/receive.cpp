// The receive thread: the only caller of the transport's receive. It
// completes requests with their responses and queues everything else.
#include "session/session_internal.h"

namespace ulmot::session {

namespace {

uint8_t MessageType(const uint8_t *header) { return static_cast<uint8_t>(header[ULMOT_HEADER_TYPE_ID] >> 6); }

uint32_t BodyLength(const uint8_t *header) {
    return static_cast<uint32_t>(header[ULMOT_HEADER_LENGTH] << 8 | header[ULMOT_HEADER_LENGTH + 1]);
}

// Stores a response in its slot, or drops it when no request waits for it.
// Called with the session's lock held; returns the block to release, if any.
MessageBlock *CompleteSlotLocked(Session *s, RequestSlot *slot, const uint8_t *header,
                                 MessageBlock *block, uint32_t id) {
    switch (slot->state) {
        case SlotState::kWaiting:
            if (slot->response != nullptr) return block;  // a duplicate: the first one counts
            slot->responseInstance = header[ULMOT_HEADER_INSTANCE];
            slot->response = block;
            slot->completionEvent.Set();
            return nullptr;
        case SlotState::kQuarantined:
            // The late response of a request that timed out: the slot can be
            // used again now that nothing else can arrive for it.
            --s->quarantinedSlots;
            slot->state = SlotState::kFree;
            slot->next = s->freeSlots;
            s->freeSlots = slot;
            s->slotSemaphore.Release(1);
            return block;
        case SlotState::kFree:
            ulmot_Debug("ulmot_SessionHandleResponse: No request waits for ID %p-%lu",
                        static_cast<void *>(s), static_cast<unsigned long>(id));
            return block;
    }
    return block;
}

}  // namespace

void HandleResponse(Session *s, MessageBlock *block) {
    uint32_t got = 0;
    const uint8_t *header = ulmot_BufferRead(block, ULMOT_HEADER_SIZE, &got);
    if (got < ULMOT_HEADER_SIZE) {
        ulmot_Debug("ulmot_SessionHandleResponse: Failed to consume header from response");
        freemsg(block);
        return;
    }
    const uint32_t id = header[ULMOT_HEADER_TYPE_ID] & 63u;
    if (id == 0 || id > kSlotCount) {
        ulmot_Debug("ulmot_SessionHandleResponse: Invalid message ID %p-%lu received in response",
                    static_cast<void *>(s), static_cast<unsigned long>(id));
        freemsg(block);
        return;
    }
    RequestSlot *slot = &s->slots[id - 1];
    MessageBlock *dropped;
    {
        plat::Lock lock(s->lock);
        const uint8_t destination = header[ULMOT_HEADER_DESTINATION];
        if (destination != 0 && destination != slot->ownerProcessorId.load(std::memory_order_relaxed)) {
            dropped = block;
            ulmot_Debug("ulmot_SessionHandleResponse: Invalid processor ID");
        } else {
            dropped = CompleteSlotLocked(s, slot, header, block, id);
        }
    }
    if (dropped != nullptr) freemsg(dropped);
}

void RouteMessage(Session *s, MessageBlock *block) {
    uint32_t readable = 0;
    const uint8_t *header = ulmot_BufferPeek(block, &readable);
    if (readable < ULMOT_HEADER_SIZE) {
        ulmot_Debug("ulmot_SessionReceiveThread(%s): Failed to read session header, length=%lu",
                    s->transport->name, static_cast<unsigned long>(readable));
        freemsg(block);
        return;
    }
    const uint32_t declared = ULMOT_HEADER_SIZE + BodyLength(header);
    if (readable > declared) block->writePtr = block->readPtr + declared;

    const uint8_t objectType = header[ULMOT_HEADER_OBJECT_TYPE];
    const uint8_t eventType = header[ULMOT_HEADER_COMMAND];
    switch (MessageType(header)) {
        case ULMOT_MSG_REQUEST:
            QueueMessage(s, block, kRequestQueueMode, kRequestQueuePriority);
            return;
        case ULMOT_MSG_RESPONSE:
            HandleResponse(s, block);
            return;
        case ULMOT_MSG_EVENT:
            if (eventType < 5 && objectType < 24) {
                const uint8_t entry = EventPriority(objectType, eventType);
                QueueMessage(s, block, static_cast<uint8_t>(entry >> 4), entry & 0x0Fu);
            } else {
                ulmot_Debug("ulmot_SessionReceiveThread - Unsupported event (objtype %u, event type %u)",
                            objectType, eventType);
                freemsg(block);
            }
            return;
        default:
            ulmot_Debug("ulmot_SessionReceiveThread: Unhandled message type (%u)", MessageType(header));
            freemsg(block);
            return;
    }
}

void ReceiveThread(void *argument) {
    auto *s = static_cast<Session *>(argument);
    uint32_t failures = 0;
    bool terminated = false;
    while (s->stopRequested.load() == 0) {
        MessageBlock *block = nullptr;
        const int32_t r = s->transport->receive(s->transport, &block, kReceiveTimeoutMs);
        if (r == 0) {
            failures = 0;
            RouteMessage(s, block);
        } else if (r == ULMOT_TRANSPORT_TERMINATED) {
            terminated = true;
        } else if (r != ULMOT_TRANSPORT_TIMEOUT) {
            ulmot_Debug("ulmot_SessionReceiveThread(%s): receive failure", s->transport->name);
            terminated = ++failures >= kReceiveFailureLimit;
            if (!terminated) plat::SleepMs(kReceiveFailurePauseMs);
        }
        if (s->stopRequested.load() != 0) break;
        if (terminated) {
            TerminateUnrequested(s, failures);
            break;
        }
        ReclaimQuarantinedSlots(s);
    }
    Release(s);
}

}  // namespace ulmot::session
