// The inbound queue: a 128-entry ring (at most 127 messages) between the
// receive thread, its one producer, and the queue thread, its one consumer.
// Priorities matter only when the ring is full: 0 is the most urgent, 15 the
// least; a full ring loses one message per overflow.
#include "session/session_internal.h"
#include "ulmot/items.h"

namespace ulmot::session {

namespace {

constexpr uint32_t Next(uint32_t i) { return (i + 1) % kQueueEntries; }
constexpr uint32_t Previous(uint32_t i) { return (i + kQueueEntries - 1) % kQueueEntries; }

// Event types of each object type that travel with mode 2 and priority 0;
// every other event has mode 1 (no waiting) and priority 15.
constexpr uint8_t kUrgentEvents[24] = {
    // bit n set: event type n is urgent
    0, 0, 0, 0, 0,
    0b00011,  // 5 inventory specification: 0, 1
    0,
    0b11111,  // 7 access specification: 0 to 4
    0,
    0b00001,  // 9 reset specification: 0
    0,
    0b00011,  // 11 schedule specification: 0, 1
    0, 0,
    0b00011,  // 14 delivery processor: processor removed, processor added
    0, 0,
    0b00001,  // 17 antenna pair: 0
    0,
    0b00011,  // 19 RF survey specification: 0, 1
    0, 0,
    0b00001,  // 22 alarm specification: 0
    0,
};
constexpr uint8_t kUrgent = 0x20;  // mode 2, priority 0
constexpr uint8_t kRoutine = 0x1F; // mode 1, priority 15

bool FullLocked(const Session *s) { return Next(s->queueWrite.load()) == s->queueRead.load(); }

void StoreLocked(Session *s, MessageBlock *block, uint8_t priority) {
    const uint32_t w = s->queueWrite.load();
    s->queueBlocks[w] = block;
    s->queuePriorities[w] = priority;
    s->queueWrite.store(Next(w));
}

// With the ring full: replaces the newest entry less urgent than `priority`
// by shifting the newer entries towards it and putting the new message at
// the newest end. Returns the victim's block, or null when there is none.
MessageBlock *ReplaceVictimLocked(Session *s, MessageBlock *block, uint8_t priority) {
    const uint32_t oldest = s->queueRead.load();
    const uint32_t newest = Previous(s->queueWrite.load());
    for (uint32_t i = newest;; i = Previous(i)) {
        if (s->queuePriorities[i] > priority) {
            MessageBlock *victim = s->queueBlocks[i];
            for (uint32_t j = i; j != newest; j = Next(j)) {
                s->queueBlocks[j] = s->queueBlocks[Next(j)];
                s->queuePriorities[j] = s->queuePriorities[Next(j)];
            }
            s->queueBlocks[newest] = block;
            s->queuePriorities[newest] = priority;
            return victim;
        }
        if (i == oldest) return nullptr;
    }
}

void QueueThread(void *argument) {
    auto *s = static_cast<Session *>(argument);
    for (;;) {
        while (s->queueRead.load() == s->queueWrite.load()) {
            const plat::WaitResult r = plat::Event::WaitAny(s->queueSignal, s->queueStop, plat::kInfinite);
            if (r == plat::kWaitSignaledSecond) {
                Release(s);
                return;
            }
            if (r != plat::kWaitSignaled) {
                ulmot_Debug("ulmot_SessionQueueThread: Invalid wait result (%lu)", static_cast<unsigned long>(r));
                plat::SleepMs(kQueueWaitFailurePauseMs);
            }
        }
        MessageBlock *block;
        {
            plat::Lock lock(s->queueLock);
            const uint32_t r = s->queueRead.load();
            block = s->queueBlocks[r];
            s->queueRead.store(Next(r));
        }
        s->queueHandlersRunning.fetch_add(1);
        if (s->handlersOff.load()) {
            freemsg(block);
        } else {
            HandleQueuedMessage(s, block);
        }
        s->queueHandlersRunning.fetch_sub(1);
    }
}

}  // namespace

uint8_t EventPriority(uint8_t objectType, uint8_t eventType) {
    return (kUrgentEvents[objectType] >> eventType) & 1u ? kUrgent : kRoutine;
}

uint32_t DroppedCount(Session *s) {
    plat::Lock lock(s->queueLock);
    return s->droppedCount;
}

void QueueMessage(Session *s, MessageBlock *block, uint8_t mode, uint8_t priority) {
    uint32_t waitsLeft = mode == kNoWaitQueueMode ? 0 : kQueueWaits;
    MessageBlock *lost = nullptr;
    bool wake = false;
    {
        plat::Lock lock(s->queueLock);
        while (FullLocked(s) && waitsLeft > 0) {
            --waitsLeft;
            s->queueLock.unlock();
            plat::SleepMs(kQueueWaitMs);
            s->queueLock.lock();
        }
        if (!FullLocked(s)) {
            // The queue thread empties the ring before it waits, so only a
            // message put into an empty ring needs to wake it.
            wake = s->queueRead.load() == s->queueWrite.load();
            StoreLocked(s, block, priority);
        } else {
            ++s->droppedCount;
            lost = priority == 15 ? block : ReplaceVictimLocked(s, block, priority);
            if (lost == nullptr) lost = block;
        }
    }
    if (lost != nullptr) freemsg(lost);
    if (wake) s->queueSignal.Set();
}

void HandleQueuedMessage(Session *s, MessageBlock *block) {
    uint32_t got = 0;
    const uint8_t *header = ulmot_BufferRead(block, ULMOT_HEADER_SIZE, &got);
    if (got < ULMOT_HEADER_SIZE) {
        ulmot_Debug("ulmot_SessionHandleQueuedMessage: Failed to read session header");
        freemsg(block);
        return;
    }
    const auto bodyLength = static_cast<uint16_t>(header[ULMOT_HEADER_LENGTH] << 8 | header[ULMOT_HEADER_LENGTH + 1]);
    const uint8_t type = static_cast<uint8_t>(header[ULMOT_HEADER_TYPE_ID] >> 6);
    if (type == ULMOT_MSG_REQUEST) {
        const RequestHandler h = s->requestHandler.Load();
        if (h.handler == nullptr) {
            freemsg(block);
        } else {
            h.handler(h.context, header, bodyLength, block);
        }
    } else if (type == ULMOT_MSG_EVENT) {
        const EventHandler h = s->eventHandler.Load();
        if (h.handler == nullptr) {
            freemsg(block);
            return;
        }
        uint32_t timestamp = 0;
        if (ulmot_BufferReadDTPInt32(block, ULMOT_ITEM_TIMESTAMP, &timestamp) != 0) {
            ulmot_Debug("ulmot_SessionHandleQueuedMessage: Failed to read timestamp");
        }
        h.handler(h.context, header, bodyLength, timestamp, block);
    } else {
        ulmot_Debug("ulmot_SessionHandleQueuedMessage: Unhandled message type (%u)", type);
        freemsg(block);
    }
}

bool InitializeMessageQueue(Session *s) {
    s->queueWrite.store(0);
    s->queueRead.store(0);
    Retain(s);  // the queue thread's reference
    if (!s->queueThread.Start(QueueThread, s)) {
        ulmot_Debug("ulmot_SessionInitializeMessageQueue: Failed to create thread");
        Release(s);
        return false;
    }
    return true;
}

bool DeinitializeMessageQueue(Session *s) {
    if (!s->queueThread.Running()) return true;
    s->queueStop.Set();
    if (s->queueThread.Join(kQueueThreadJoinMs) == plat::kWaitSignaled) return true;
    ulmot_Debug("ulmot_SessionDeinitializeMessageQueue: Failed to signal thread stop");
    ulmot_Debug("ulmot_SessionDeinitializeMessageQueue: Queue thread left running in a handler; "
                "it calls no more handlers and releases the session when it returns");
    s->handlersOff.store(true);
    s->queueThread.Detach();
    return false;
}

void ReleaseMessageQueue(Session *s) {
    plat::Lock lock(s->queueLock);
    while (s->queueRead.load() != s->queueWrite.load()) {
        const uint32_t r = s->queueRead.load();
        freemsg(s->queueBlocks[r]);
        s->queueRead.store(Next(r));
    }
}

}  // namespace ulmot::session
