// session/session_internal.h - the Session record and the session's internal
// routines. Not exported.
//
// Lifetime. A session's memory is reference-counted so that no thread ever
// touches a released session: the session's own life holds one reference
// (dropped by ulmot_DestroySession or by the unrequested termination,
// whichever comes first), each of its two threads holds one while it runs,
// each caller inside ulmot_SendSessionMessage holds one, and an owner that
// must keep using the pointer across an unrequested end (the client) may hold
// one through Retain/Release (session/owner.h: what owners may use). The last
// Release frees the slots, the queue and the memory.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"
#include "platform/seqlock.h"
#include "session/owner.h"
#include "ulmot/session.h"

namespace ulmot::session {

inline constexpr uint32_t kSlotCount = 8;
inline constexpr uint32_t kRequestTimeoutMs = 5000;
inline constexpr uint32_t kLongRequestTimeoutMs = 20000;  // object type 10, command 100
inline constexpr uint32_t kReceiveTimeoutMs = 800;
inline constexpr uint32_t kReceiveFailureLimit = 50;
inline constexpr uint32_t kReceiveFailurePauseMs = 100;
inline constexpr uint32_t kReceiveThreadJoinMs = 8000;

inline constexpr uint32_t kQueueEntries = 128;  // a ring: at most 127 messages
inline constexpr uint32_t kQueueWaits = 10;
inline constexpr uint32_t kQueueWaitMs = 15;
inline constexpr uint32_t kQueueThreadJoinMs = 1000;
inline constexpr uint32_t kQueueWaitFailurePauseMs = 500;
inline constexpr uint8_t kRequestQueueMode = 2;
inline constexpr uint8_t kRequestQueuePriority = 7;
inline constexpr uint8_t kNoWaitQueueMode = 1;

// Where a request slot stands.
enum class SlotState : uint8_t {
    kFree,         // in the free list
    kWaiting,      // taken; a response completes it
    kQuarantined,  // its request timed out; kept out of use until the late
                   // response arrives or the quarantine ends
};

struct RequestSlot {
    RequestSlot *next;  // next free slot; kSlotTaken while taken
    plat::Event completionEvent;
    uint8_t responseInstance;
    // Written by the sender when it takes the slot, read by the receive
    // thread for any response that names the slot (a late duplicate too).
    std::atomic<uint8_t> ownerProcessorId;
    MessageBlock *response;
    // Guarded by the session's lock, like `response`.
    SlotState state;
    uint32_t quarantineEndMs;  // tick at which a quarantined slot is free again
};

inline RequestSlot *const kSlotTaken = reinterpret_cast<RequestSlot *>(~uintptr_t{0});

enum class Life : uint8_t { kRunning, kStopping, kTerminating };

struct EventHandler {
    ulmot_SessionEventHandler handler;
    void *context;
};
struct RequestHandler {
    ulmot_SessionRequestHandler handler;
    void *context;
};

}  // namespace ulmot::session

// The record behind the opaque Session of the public header.
struct Session {
    Transport *transport;
    ulmot::plat::Mutex lock;
    ulmot_SessionTerminationHandler terminationHandler;
    void *terminationContext;
    // Read by the queue thread for every message without a lock.
    ulmot::plat::SeqLocked<ulmot::session::EventHandler> eventHandler;
    ulmot::plat::SeqLocked<ulmot::session::RequestHandler> requestHandler;
    ulmot::plat::Thread receiveThread;
    std::atomic<uint32_t> stopRequested;
    ulmot::session::RequestSlot slots[ulmot::session::kSlotCount];
    ulmot::session::RequestSlot *freeSlots;
    ulmot::plat::Semaphore slotSemaphore{ulmot::session::kSlotCount, ulmot::session::kSlotCount};

    // The inbound queue (queue.cpp).
    MessageBlock *queueBlocks[ulmot::session::kQueueEntries];
    uint8_t queuePriorities[ulmot::session::kQueueEntries];
    std::atomic<uint32_t> queueWrite;
    std::atomic<uint32_t> queueRead;
    uint32_t droppedCount;
    ulmot::plat::Mutex queueLock;
    ulmot::plat::Thread queueThread;
    ulmot::plat::EventGroup queueEvents;  // queueSignal and queueStop are waited on together
    ulmot::plat::Event queueSignal{queueEvents};
    ulmot::plat::Event queueStop{queueEvents};

    // Lifetime (see the file comment).
    std::atomic<uint32_t> references;
    std::atomic<ulmot::session::Life> life;
    // Set once the session ends: waiting callers return -1, new ones at once.
    std::atomic<bool> closing;
    // Changed under `lock`; read without it by the receive thread, which
    // skips the reclaim walk while it is 0.
    std::atomic<uint32_t> quarantinedSlots;
    // Once set, no handler is called any more (queued messages are released
    // instead). The counters say how many handler calls are under way; a call
    // counts itself before it looks at the flag, so after StopHandlers has
    // seen both at 0 no handler can start (see StopHandlers).
    std::atomic<bool> handlersOff;
    std::atomic<uint32_t> queueHandlersRunning;
    std::atomic<uint32_t> terminationRunning;
};

namespace ulmot::session {

// Request slots (slots.cpp).
bool InitializeMessageLists(Session *session);
void DeinitializeMessageLists(Session *session);
RequestSlot *AllocateMessage(Session *session, uint32_t timeoutMs);
void FreeMessage(Session *session, RequestSlot *slot);
// Puts a slot whose request timed out aside until its late response arrives
// or `quarantineMs` passes.
void QuarantineMessage(Session *session, RequestSlot *slot, uint32_t quarantineMs);
// Returns quarantined slots whose time is up to the free list.
void ReclaimQuarantinedSlots(Session *session);
// Takes the stored response (null when there is none) and its instance out
// of a slot whose completion event was set and frees the slot, in one hold of
// the session's lock: the receive thread may be storing a duplicate at that
// moment, which then finds the slot free and is dropped.
MessageBlock *TakeResponseAndFree(Session *session, RequestSlot *slot, uint8_t *instance);
inline uint32_t MessageId(const Session *session, const RequestSlot *slot) {
    return static_cast<uint32_t>(slot - session->slots) + 1;
}

// Receive side (receive.cpp).
void ReceiveThread(void *session);
void RouteMessage(Session *session, MessageBlock *block);
void HandleResponse(Session *session, MessageBlock *block);

// Inbound queue (queue.cpp).
bool InitializeMessageQueue(Session *session);
void QueueMessage(Session *session, MessageBlock *block, uint8_t mode, uint8_t priority);
void HandleQueuedMessage(Session *session, MessageBlock *block);
// Stops the queue thread (waiting up to 1000 ms); false when it was left
// running, in which case it releases its reference when it ends.
bool DeinitializeMessageQueue(Session *session);
void ReleaseMessageQueue(Session *session);
// Mode (high nibble) and priority (low nibble) of an event, by object type
// (below 24) and event type (below 5).
uint8_t EventPriority(uint8_t objectType, uint8_t eventType);
uint32_t DroppedCount(Session *session);

// The end of a session, by its owner or on its own (session.cpp).
void TerminateUnrequested(Session *session, uint32_t failures);

}  // namespace ulmot::session
