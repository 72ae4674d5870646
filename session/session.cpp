// Sessions: creation, handlers, the two ways a session ends, and its
// reference-counted lifetime (see session_internal.h).
#include <new>

#include "session/session_internal.h"

namespace ulmot::session {

namespace {

// Frees everything a session holds. Runs once, on whichever thread drops the
// last reference; no thread of the session runs any more by then.
void Destroy(Session *s) {
    DeinitializeMessageLists(s);
    ReleaseMessageQueue(s);
    delete s;
}

// Takes the session out of the running state; false when another end
// (destroy or unrequested termination) came first.
bool BeginEnd(Session *s, Life next) {
    Life expected = Life::kRunning;
    return s->life.compare_exchange_strong(expected, next);
}

thread_local Session *t_endingSession = nullptr;

}  // namespace

Session *EndingSession() { return t_endingSession; }

bool IsRunning(const Session *s) { return s->life.load() == Life::kRunning; }

void Retain(Session *s) { s->references.fetch_add(1, std::memory_order_relaxed); }

void Release(Session *s) {
    if (s->references.fetch_sub(1, std::memory_order_acq_rel) == 1) Destroy(s);
}

void TerminateUnrequested(Session *s, uint32_t failures) {
    ulmot_Debug("ulmot_SessionReceiveThread(%s): Session terminated (unrequested, rx fail count: %u)",
                s->transport->name, failures);
    if (!BeginEnd(s, Life::kTerminating)) return;  // being destroyed: the destroyer ends it
    ulmot_SessionTerminationHandler handler;
    void *context;
    {
        plat::Lock lock(s->lock);
        handler = s->terminationHandler;
        context = s->terminationContext;
    }
    AbortWaitingCallers(s);
    DeinitializeMessageQueue(s);
    s->receiveThread.Detach();  // this thread: it ends right after the handler
    s->terminationRunning.fetch_add(1);
    Release(s);  // the session's own life; this thread still holds its own
    if (handler != nullptr && !s->handlersOff.load()) {
        t_endingSession = s;
        handler(context);
        t_endingSession = nullptr;
    }
    s->terminationRunning.fetch_sub(1);
}

void StopQueueHandlers(Session *s) {
    s->handlersOff.store(true);
    while (s->queueHandlersRunning.load() != 0) plat::SleepMs(1);
}

void StopHandlers(Session *s) {
    StopQueueHandlers(s);
    while (s->terminationRunning.load() != 0) plat::SleepMs(1);
}

}  // namespace ulmot::session

using namespace ulmot::session;

extern "C" {

Session *ulmot_CreateSession(Transport *transport, uint32_t outstandingRequests) {
    if (outstandingRequests > kSlotCount) {
        ulmot_Debug("ulmot_CreateSession: Request for too many outstanding messages");
        return nullptr;
    }
    Session *s = new (std::nothrow) Session();
    if (s == nullptr) {
        ulmot_Debug("ulmot_CreateSession: Failed to allocate session context");
        return nullptr;
    }
    s->transport = transport;
    s->references.store(1);
    s->life.store(Life::kRunning);
    if (!InitializeMessageQueue(s)) {
        Release(s);
        return nullptr;
    }
    const char *failure = nullptr;
    if (!InitializeMessageLists(s)) {
        failure = "ulmot_CreateSession: Failed to initialize message lists";
    } else {
        s->stopRequested.store(0);
        Retain(s);  // the receive thread's reference
        if (!s->receiveThread.Start(ReceiveThread, s)) {
            Release(s);
            failure = "ulmot_CreateSession: Failed to create receive thread";
        }
    }
    if (failure != nullptr) {
        ulmot_Debug("%s", failure);
        s->life.store(Life::kStopping);
        DeinitializeMessageQueue(s);
        Release(s);
        return nullptr;
    }
    return s;
}

void ulmot_DestroySession(Session *s) {
    // Every session handed out has its receive thread; whether it still runs
    // is not looked at here: an unrequested end detaches it at any moment,
    // and `life` already says which end came first.
    if (s == nullptr || s->stopRequested.load() != 0) return;
    if (!BeginEnd(s, Life::kStopping)) return;  // ending on its own: it releases itself
    s->stopRequested.store(1);
    AbortWaitingCallers(s);
    if (s->receiveThread.Join(kReceiveThreadJoinMs) != ulmot::plat::kWaitSignaled) {
        // The thread still runs (a transport that does not return): it sees
        // the flag when it does and drops its own reference then.
        ulmot_Debug("ulmot_DestroySession: Failed waiting for session recv thread");
        s->receiveThread.Detach();
    }
    DeinitializeMessageQueue(s);
    Release(s);
}

int32_t ulmot_SessionRegisterEventHandler(Session *s, ulmot_SessionEventHandler handler, void *context) {
    s->eventHandler.Store({handler, context});
    return 0;
}

int32_t ulmot_SessionRegisterRequestHandler(Session *s, ulmot_SessionRequestHandler handler, void *context) {
    s->requestHandler.Store({handler, context});
    return 0;
}

int32_t ulmot_SessionRegisterTerminationHandler(Session *s, ulmot_SessionTerminationHandler handler,
                                                void *context) {
    ulmot::plat::Lock lock(s->lock);
    s->terminationHandler = handler;
    s->terminationContext = context;
    return 0;
}

}  // extern "C"
