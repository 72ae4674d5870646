// The client processor: creation, its session and reconnection, attach
// table, callback registrations, event dispatch and inbound requests.
#include <cstring>
#include <new>

#include "processors/client.h"
#include "session/owner.h"
#include "ulmot/items.h"

namespace ulmot::processors {

namespace {

constexpr uint32_t kProvidedTypes[] = {ULMOT_OBJ_CLIENT, ULMOT_OBJ_IOCTL};
constexpr uint32_t kItemProvidedType = 2;

// Takes the session out of the client (null when there is none) and marks the
// new state; the caller owns the client's reference to the returned session.
Session *TakeSession(ClientProcessor *c, ClientState next) {
    plat::Lock l(c->lock);
    Session *s = c->session;
    c->session = nullptr;
    c->state = next;
    return s;
}

// Installs a new session (with the client's reference) unless the client is
// being destroyed; false then, and the caller ends the session.
bool InstallSession(ClientProcessor *c, Session *s) {
    plat::Lock l(c->lock);
    // A session that ended before it was installed is not the client's: its
    // termination handler found another session in place and let it be.
    if (c->state == ClientState::kDestroying || !session::IsRunning(s)) return false;
    c->session = s;
    c->state = ClientState::kConnected;
    return true;
}

// Registers the handlers of a new session and the client with the delivery
// processor. The failing step's line, or null.
const char *RegisterSession(ClientProcessor *c, Session *s, uint8_t *processorId) {
    if (ulmot_SessionRegisterEventHandler(s, ClientHandleEvent, c) != 0) {
        ulmot_Debug("ulmot_ClientStartSession: Failed to register session event handler");
    }
    if (ulmot_SessionRegisterRequestHandler(s, ClientHandleRequest, c) != 0) {
        return "ulmot_ClientStartSession: Failed to register session request handler";
    }
    if (ulmot_DeliveryProcessorRegistration(s, c->name, kProvidedTypes, 2, processorId) != 0) {
        return "ulmot_ClientStartSession: Failed to register with the delivery processor";
    }
    if (ulmot_SessionRegisterTerminationHandler(s, ClientHandleSessionTermination, c) != 0) {
        return "ulmot_ClientStartSession: Failed to register termination handler";
    }
    return nullptr;
}

// Ends a session the client holds a reference to, once none of its handlers
// (which use the client) can run any more.
void EndSession(Session *s) {
    ulmot_DestroySession(s);
    session::StopHandlers(s);
    session::Release(s);
}

// Keeps the client's reference to a session that ended on its own (see
// kRetiredSessions), letting go of the oldest one kept.
void RetireSession(ClientProcessor *c, Session *ended) {
    Session *oldest;
    {
        plat::Lock l(c->lock);
        oldest = c->retired[c->retiredNext];
        c->retired[c->retiredNext] = ended;
        c->retiredNext = (c->retiredNext + 1) % kRetiredSessions;
    }
    if (oldest != nullptr) session::Release(oldest);
}

void SetEntry(ClientProcessor *c, uint32_t objectType, uint8_t processorId, uint8_t notify) {
    AttachEntry &e = c->attachTable[objectType];
    e.processorId.store(processorId);
    e.notifyOnRemoval.store(notify);
    e.attached.store(1);
}

}  // namespace

ClientSession::ClientSession(ClientProcessor *client, const char *operation) : session_(nullptr) {
    {
        plat::Lock l(client->lock);
        if (client->state == ClientState::kConnected && client->session != nullptr) {
            session_ = client->session;
            session::Retain(session_);
        }
    }
    if (session_ == nullptr) ulmot_Debug("%s: No session (the client is reconnecting)", operation);
}

ClientSession::~ClientSession() {
    if (session_ != nullptr) session::Release(session_);
}

uint8_t Destination(ClientProcessor *client, uint32_t objectType) {
    return objectType < ULMOT_ATTACH_ENTRIES ? client->attachTable[objectType].processorId.load() : 0;
}

int32_t ClientStartSession(ClientProcessor *c) {
    Session *s = ulmot_CreateSession(c->transport, kClientOutstandingRequests);
    if (s == nullptr) {
        ulmot_Debug("ulmot_ClientStartSession: Failed to initiate session");
        return -1;
    }
    session::Retain(s);  // the client's reference
    {
        // Visible to a destroy from here on; one that came first makes the
        // registration below fail at once.
        plat::Lock l(c->lock);
        if (c->state == ClientState::kDestroying) session::AbortWaitingCallers(s);
        c->starting = s;
    }
    uint8_t processorId = 0;
    const char *failure = RegisterSession(c, s, &processorId);
    {
        plat::Lock l(c->lock);
        c->starting = nullptr;
    }
    if (failure != nullptr) {
        ulmot_Debug("%s", failure);
        EndSession(s);
        return -1;
    }
    c->processorId.store(processorId);
    if (!InstallSession(c, s)) {
        ulmot_DeliveryProcessorDeregistration(s, processorId);
        EndSession(s);
        return -1;
    }
    return 0;
}

int32_t ClientHandleEvent(void *context, const uint8_t *header, uint16_t, uint32_t timestamp,
                          MessageBlock *block) {
    auto *c = static_cast<ClientProcessor *>(context);
    const uint8_t destination = header[ULMOT_HEADER_DESTINATION];
    if (destination == 0 || destination == c->processorId.load()) {
        const uint8_t objectType = header[ULMOT_HEADER_OBJECT_TYPE];
        const uint8_t eventType = header[ULMOT_HEADER_COMMAND];
        if (objectType < kEventObjectTypes && eventType < kEventTypes) {
            if (ClientEventHandler handler = kClientEventTable[objectType][eventType]) {
                handler(c, header[ULMOT_HEADER_INSTANCE], timestamp, block);
            }
        }
    }
    freemsg(block);
    return 0;
}

int32_t ClientHandleRequest(void *context, const uint8_t *header, uint16_t, MessageBlock *block) {
    auto *c = static_cast<ClientProcessor *>(context);
    if (header[ULMOT_HEADER_OBJECT_TYPE] == ULMOT_OBJ_IOCTL) {
        ClientHandleIOCTL(c, header[ULMOT_HEADER_SOURCE], header[ULMOT_HEADER_TYPE_ID] & 63u,
                          header[ULMOT_HEADER_COMMAND], block);
    }
    freemsg(block);
    return 0;
}

void ClientHandleSessionTermination(void *context) {
    auto *c = static_cast<ClientProcessor *>(context);
    Session *ended;
    {
        plat::Lock l(c->lock);
        if (c->state == ClientState::kDestroying) return;  // the destroyer ends it
        // A session that ends before it was installed is left to the start
        // that made it; only the installed session's end reconnects.
        if (c->session != session::EndingSession()) return;
        ended = c->session;
        c->session = nullptr;
        c->state = ClientState::kReconnecting;
        c->reconnecting.store(true);
    }
    if (ended != nullptr) {
        // The ended session's queue thread may have been left running in a
        // callback: wait for it before the client can go away.
        session::StopQueueHandlers(ended);
        RetireSession(c, ended);
    }
    for (;;) {
        c->reconnectWake.Wait(kReconnectPauseMs);
        {
            plat::Lock l(c->lock);
            if (c->state == ClientState::kDestroying) break;
        }
        if (c->transport->probe(c->transport) != 0) continue;
        if (ClientStartSession(c) == 0) break;
    }
    c->reconnecting.store(false);
}

void ClientHandleProcessorAdded(ClientProcessor *c, uint8_t instance, uint32_t timestamp,
                                MessageBlock *block) {
    const auto added = c->processorAdded.Get();
    if (added.callback == nullptr) return;
    uint32_t types[ULMOT_ATTACH_ENTRIES];
    uint32_t count = 0;
    for (uint16_t index = 0; index < ULMOT_ATTACH_ENTRIES; ++index) {
        uint8_t type = 0;
        if (ulmot_BufferReadDTPInt8WithIndex(block, kItemProvidedType, index, &type) == 0) types[count++] = type;
    }
    if (count == 0) {
        ulmot_Debug("ulmot_ClientHandleProcessorAdded: processor provides no objects");
        return;
    }
    added.callback(added.context, timestamp, instance, types, count);
}

void ClientHandleProcessorRemoved(ClientProcessor *c, uint8_t instance, uint32_t timestamp,
                                  MessageBlock *) {
    const auto removed = c->processorRemoved.Get();
    if (removed.callback != nullptr) removed.callback(removed.context, timestamp, instance);
    const auto attached = c->attachedProcessorRemoved.Get();
    if (attached.callback == nullptr) return;
    for (uint32_t type = 0; type < ULMOT_ATTACH_ENTRIES; ++type) {
        AttachEntry &e = c->attachTable[type];
        if (e.processorId.load() != instance) continue;
        e.attached.store(0);
        if (e.notifyOnRemoval.load() != 0) attached.callback(attached.context, timestamp, type, instance);
    }
}

}  // namespace ulmot::processors

using namespace ulmot::processors;
namespace session = ulmot::session;

extern "C" {

int32_t ulmot_CreateClientProcessor(Transport *transport, const char *name, ClientProcessor **out) {
    auto *c = new (std::nothrow) ClientProcessor();
    if (c == nullptr) {
        ulmot_Debug("ulmot_CreateClientProcessor: Failed to allocate context");
        return -7;
    }
    c->transport = transport;
    std::strncpy(c->name, name ? name : "", kClientNameMax);
    c->name[kClientNameMax] = '\0';
    c->state = ClientState::kConnected;
    if (ClientStartSession(c) != 0) {
        ulmot_Debug("ulmot_CreateClientProcessor: Failed to start client session");
        delete c;
        return -1;
    }
    if (out != nullptr) *out = c;
    return 0;
}

void ulmot_DestroyClientProcessor(ClientProcessor *c) {
    if (c == nullptr) return;
    Session *s = TakeSession(c, ClientState::kDestroying);
    // A reconnect loop notices the state at its next step; wake it now, and
    // release its registration if one is under way.
    c->reconnectWake.Set();
    {
        ulmot::plat::Lock l(c->lock);
        if (c->starting != nullptr) session::AbortWaitingCallers(c->starting);
    }
    while (c->reconnecting.load()) ulmot::plat::SleepMs(1);
    if (s != nullptr) {
        ulmot_DeliveryProcessorDeregistration(s, c->processorId.load());
        EndSession(s);
    }
    for (Session *&retired : c->retired) {
        if (retired != nullptr) session::Release(retired);
        retired = nullptr;
    }
    delete c;
}

Session *ulmot_GetClientSession(ClientProcessor *c) {
    ulmot::plat::Lock l(c->lock);
    return c->state == ClientState::kConnected ? c->session : nullptr;
}

uint8_t ulmot_GetClientProcessorID(ClientProcessor *c) { return c->processorId.load(); }

int32_t ulmot_AttachTargetProcessor(ClientProcessor *c, int32_t objectType, uint8_t processorId) {
    if (objectType < 0 || objectType >= static_cast<int32_t>(ULMOT_ATTACH_ENTRIES)) {
        ulmot_Debug("ulmot_AttachTagProcessor: Invalid object type (%u)", static_cast<unsigned>(objectType));
        return -5;
    }
    c->attachTable[objectType].processorId.store(processorId);
    return 0;
}

int32_t ulmot_AttachDefaultObjectProcessor(ClientProcessor *c, uint32_t objectType, uint8_t notify,
                                           uint8_t findFlag) {
    if (objectType >= ULMOT_ATTACH_ENTRIES) {
        ulmot_Debug("ulmot_AttachDefaultObjectProcessor: Invalid object type (%u)", objectType);
        return -1;
    }
    ClientSession s(c, "ulmot_AttachDefaultObjectProcessor");
    if (!s) return -1;
    uint8_t found = 0;
    if (ulmot_FindProcessorByName(s.get(), c->processorId.load(), nullptr, objectType, &found, findFlag) != 0 ||
        found == 0) {
        return -1;
    }
    SetEntry(c, objectType, found, notify);
    return 0;
}

int32_t ulmot_AttachProcessorByName(ClientProcessor *c, const char *name, uint32_t objectType, uint8_t notify) {
    if (objectType >= ULMOT_ATTACH_ENTRIES) {
        ulmot_Debug("ulmot_AttachObjectProcessorByName: Invalid object type (%u)", objectType);
        return -1;
    }
    ClientSession s(c, "ulmot_AttachObjectProcessorByName");
    if (!s) return -1;
    uint8_t found = 0;
    if (ulmot_FindProcessorByName(s.get(), c->processorId.load(), name, objectType, &found, 0) != 0 ||
        found == 0) {
        ulmot_Debug("ulmot_AttachObjectProcessorByName: Failed to determine processor ID with name %s",
                    name ? name : "");
        return -1;
    }
    SetEntry(c, objectType, found, notify);
    return 0;
}

uint8_t ulmot_GetAssignedProcessorFromObject(ClientProcessor *c, uint32_t objectType) {
    return Destination(c, objectType);
}

int32_t ulmot_RegisterProcessorAddedEvent(ClientProcessor *c, ulmot_ProcessorAddedCallback callback,
                                          void *context, uint32_t enable) {
    if (enable) c->processorAdded.Set(callback, context); else c->processorAdded.ClearCallback();
    return 0;
}

int32_t ulmot_RegisterProcessorRemovedEvent(ClientProcessor *c, ulmot_ProcessorRemovedCallback callback,
                                            void *context, uint32_t enable) {
    if (enable) c->processorRemoved.Set(callback, context); else c->processorRemoved.ClearCallback();
    return 0;
}

int32_t ulmot_RegisterAttachedProcessorRemovedEvent(ClientProcessor *c,
                                                    ulmot_AttachedProcessorRemovedCallback callback,
                                                    void *context, uint32_t enable) {
    if (enable) {
        c->attachedProcessorRemoved.Set(callback, context);
    } else {
        c->attachedProcessorRemoved.ClearCallback();
    }
    return 0;
}

}  // extern "C"
