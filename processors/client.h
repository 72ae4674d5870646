// processors/client.h - the ClientProcessor record, its callback slots and
// the event dispatch table. Not exported.
//
// Lifetime and the session. The client keeps a reference to its current
// session (see session/owner.h), so the pointer stays valid even
// after the session ends on its own; the termination handler swaps it out
// under `lock` and moves that reference to the retired sessions, so that a
// pointer the application still holds stays valid across the reconnection.
// Operations borrow the session through ClientSession, which returns null
// while the client reconnects.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>

#include "platform/platform.h"
#include "processors/family_slots.h"
#include "processors/slots.h"
#include "ulmot/processors.h"

namespace ulmot::processors {

inline constexpr uint32_t kClientNameMax = 30;
inline constexpr uint32_t kEventObjectTypes = 24;
inline constexpr uint32_t kEventTypes = 5;
inline constexpr uint32_t kReconnectPauseMs = 500;
inline constexpr uint32_t kClientOutstandingRequests = 5;
// Sessions that ended on their own whose memory the client keeps, so that a
// Session pointer an application read with ulmot_GetClientSession before a
// reconnection still addresses a session (whose calls fail with -1) and not
// released memory. About 3 KB each.
inline constexpr uint32_t kRetiredSessions = 32;

struct AttachEntry {
    std::atomic<uint8_t> processorId;
    std::atomic<uint8_t> notifyOnRemoval;
    std::atomic<uint8_t> attached;
};

enum class ClientState : uint8_t {
    kConnected,
    kReconnecting,  // the session ended on its own; a new one is being made
    kDestroying,
};

}  // namespace ulmot::processors

struct ClientProcessor {
    Session *session;  // guarded by `lock`; null while reconnecting
    Transport *transport;
    char name[ulmot::processors::kClientNameMax + 1];
    std::atomic<uint8_t> processorId;
    ulmot::processors::AttachEntry attachTable[ULMOT_ATTACH_ENTRIES];

    ulmot::processors::CallbackSlot<ulmot_ProcessorAddedCallback> processorAdded;
    ulmot::processors::CallbackSlot<ulmot_ProcessorRemovedCallback> processorRemoved;
    ulmot::processors::CallbackSlot<ulmot_AttachedProcessorRemovedCallback> attachedProcessorRemoved;
    ulmot::processors::CallbackSlot<ulmot_IoctlCallback> ioctl;
    // The object families' callback slots and caches.
    ulmot::processors::FamilySlots families;

    // Session handover and the reconnect loop.
    ulmot::plat::Mutex lock;
    ulmot::processors::ClientState state;  // guarded by `lock`
    ulmot::plat::Event reconnectWake;      // cuts the reconnect pause short
    std::atomic<bool> reconnecting;        // a reconnect loop runs
    // A session being started (not yet installed), with the starter's
    // reference; guarded by `lock`. A destroy releases the callers waiting
    // on it, so it does not wait out the registration's time-out.
    Session *starting;
    // The last kRetiredSessions sessions that ended on their own, each with
    // the client's reference; guarded by `lock`, released by the destroy.
    Session *retired[ulmot::processors::kRetiredSessions];
    uint32_t retiredNext;  // the entry the next retired session takes
};

namespace ulmot::processors {

// A handler of the event dispatch table: (client, instance, time stamp,
// block). It reads the event body and must not release the block.
using ClientEventHandler = void (*)(ClientProcessor *client, uint8_t instance, uint32_t timestamp,
                                    MessageBlock *block);

// [object type 0-23][event type 0-4]; empty where no event is handled.
// Defined with the object families (objects/event_table.cpp).
extern const ClientEventHandler kClientEventTable[kEventObjectTypes][kEventTypes];

// The client's current session, borrowed for one operation: null while the
// client reconnects (the operation then fails with -1 and a line naming it).
class ClientSession {
public:
    ClientSession(ClientProcessor *client, const char *operation);
    ~ClientSession();
    ClientSession(const ClientSession &) = delete;
    ClientSession &operator=(const ClientSession &) = delete;

    Session *get() const { return session_; }
    explicit operator bool() const { return session_ != nullptr; }

private:
    Session *session_;
};

// The processor requests for `objectType` go to: its attach entry below 25,
// else 0.
uint8_t Destination(ClientProcessor *client, uint32_t objectType);

// Sends `body` as a request of `client` for `objectType` to the processor of
// its attach entry, over the client's session borrowed for the call. Every
// family operation and generic operation of a client sends this way. The
// body is the session's from here on, on every path: without a session (the
// client reconnects) it is released and the result is -1, with a line naming
// `operation`.
int32_t SendRequest(ClientProcessor *client, const char *operation, uint32_t objectType, uint8_t command,
                    uint8_t instance, MessageBlock *body, MessageBlock **response = nullptr,
                    uint8_t *responseInstance = nullptr);

// An event registration (command 5) of `client` for `objectType`, as
// ulmot_EventRegistration sends it, over the client's session.
int32_t RegisterEvents(ClientProcessor *client, const char *operation, uint32_t objectType, uint8_t instance,
                       uint32_t selectionMask, uint32_t enableMask);

int32_t ClientStartSession(ClientProcessor *client);
int32_t ClientHandleEvent(void *client, const uint8_t *header, uint16_t bodyLength,
                          uint32_t timestamp, MessageBlock *block);
int32_t ClientHandleRequest(void *client, const uint8_t *header, uint16_t bodyLength,
                            MessageBlock *block);
void ClientHandleSessionTermination(void *client);
void ClientHandleProcessorAdded(ClientProcessor *client, uint8_t instance, uint32_t timestamp,
                                MessageBlock *block);
void ClientHandleProcessorRemoved(ClientProcessor *client, uint8_t instance, uint32_t timestamp,
                                  MessageBlock *block);
void ClientHandleIOCTL(ClientProcessor *client, uint8_t requester, uint8_t messageId,
                       uint8_t command, MessageBlock *request);

// Fetches the properties of one object: the response block (the caller
// releases it), or null on any failure.
MessageBlock *GetObjectProperties(ClientProcessor *client, uint32_t objectType, uint8_t instance);

// The body of a set-properties request from a descriptor list (the groups
// of ulmot_SetObjectProperties, up to the end group): the block, or null with
// -7 (no block, or a writer failed) or -5 (a refused type code) in `failure`.
MessageBlock *BuildSetPropertiesBody(va_list descriptors, int32_t *failure);

}  // namespace ulmot::processors
