// Request slots: eight per session, a last-in first-out free list counted by
// a semaphore. A slot's number (1 to 8) is the message id of its request.
#include "session/session_internal.h"

namespace ulmot::session {

namespace {

// Pushes a slot on the free list and lets one waiting caller take it.
// Called with the session's lock held; the semaphore is released by the
// caller after leaving the lock.
void PushFreeLocked(Session *s, RequestSlot *slot) {
    if (slot->response != nullptr) {
        freemsg(slot->response);
        slot->response = nullptr;
    }
    slot->state = SlotState::kFree;
    slot->next = s->freeSlots;
    s->freeSlots = slot;
}

}  // namespace

bool InitializeMessageLists(Session *s) {
    // The slot semaphore and events are members of the session: their
    // creation cannot fail here.
    s->freeSlots = nullptr;
    for (uint32_t i = 0; i < kSlotCount; ++i) {
        RequestSlot *slot = &s->slots[i];
        slot->completionEvent.Reset();
        slot->response = nullptr;
        slot->state = SlotState::kFree;
        slot->next = s->freeSlots;
        s->freeSlots = slot;
    }
    return true;
}

void DeinitializeMessageLists(Session *s) {
    plat::Lock lock(s->lock);
    s->freeSlots = nullptr;
    for (RequestSlot &slot : s->slots) {
        if (slot.response != nullptr) {
            freemsg(slot.response);
            slot.response = nullptr;
        }
    }
}

RequestSlot *AllocateMessage(Session *s, uint32_t timeoutMs) {
    if (s->slotSemaphore.Wait(timeoutMs) != plat::kWaitSignaled) {
        ulmot_Debug("AllocateMessage: Timeout waiting for an avialable message");
        return nullptr;
    }
    plat::Lock lock(s->lock);
    RequestSlot *slot = s->freeSlots;
    if (slot == nullptr) {
        ulmot_Debug("AllocateMessage: Failed to allocate message");
        return nullptr;
    }
    s->freeSlots = slot->next;
    slot->next = kSlotTaken;
    slot->state = SlotState::kWaiting;
    slot->completionEvent.Reset();
    return slot;
}

void FreeMessage(Session *s, RequestSlot *slot) {
    if (slot->next != kSlotTaken) {
        ulmot_Debug("FreeMessage: Invalid free, double free?");
        return;
    }
    {
        plat::Lock lock(s->lock);
        PushFreeLocked(s, slot);
    }
    s->slotSemaphore.Release(1);
}

void QuarantineMessage(Session *s, RequestSlot *slot, uint32_t quarantineMs) {
    plat::Lock lock(s->lock);
    if (slot->state != SlotState::kWaiting || slot->response != nullptr) {
        // The response arrived between the time-out and now: nothing late
        // can follow, the slot is usable at once.
        PushFreeLocked(s, slot);
        s->slotSemaphore.Release(1);
        return;
    }
    slot->state = SlotState::kQuarantined;
    slot->quarantineEndMs = plat::TickCountMs() + quarantineMs;
    ++s->quarantinedSlots;
}

void ReclaimQuarantinedSlots(Session *s) {
    // A slot quarantined after this look is reclaimed by the next one: the
    // receive thread looks after every receive, at most 200 ms apart.
    if (s->quarantinedSlots.load(std::memory_order_relaxed) == 0) return;
    uint32_t reclaimed = 0;
    {
        plat::Lock lock(s->lock);
        const uint32_t now = plat::TickCountMs();
        for (RequestSlot &slot : s->slots) {
            if (slot.state != SlotState::kQuarantined) continue;
            if (static_cast<int32_t>(now - slot.quarantineEndMs) < 0) continue;
            --s->quarantinedSlots;
            PushFreeLocked(s, &slot);
            ++reclaimed;
        }
    }
    if (reclaimed > 0) s->slotSemaphore.Release(reclaimed);
}

MessageBlock *TakeResponseAndFree(Session *s, RequestSlot *slot, uint8_t *instance) {
    MessageBlock *response;
    {
        plat::Lock lock(s->lock);
        response = slot->response;
        slot->response = nullptr;
        *instance = slot->responseInstance;
        PushFreeLocked(s, slot);
    }
    s->slotSemaphore.Release(1);
    return response;
}

void AbortWaitingCallers(Session *s) {
    s->closing.store(true);
    s->slotSemaphore.Shutdown();
    for (RequestSlot &slot : s->slots) slot.completionEvent.Set();
}

}  // namespace ulmot::session
