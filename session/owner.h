// session/owner.h - what an owner of sessions (a client, an IOCTL processor)
// may do with a Session beyond the public interface. Not exported.
//
// A session's memory is reference-counted (session_internal.h): an owner
// that keeps using its Session pointer after the session may have ended on
// its own holds a reference of its own.
#pragma once

#include "ulmot/session.h"

namespace ulmot::session {

// Takes and drops a reference; the last one frees the session.
void Retain(Session *session);
void Release(Session *session);

// Wakes every caller waiting for a slot or a response; they return -1.
void AbortWaitingCallers(Session *session);

// Switches handler calls off and waits until no handler of the session runs:
// after it the owner may release what its handlers use. The caller holds a
// reference. StopQueueHandlers waits for the queue thread's handlers only,
// so the termination handler may call it on its own session.
void StopHandlers(Session *session);
void StopQueueHandlers(Session *session);

// Inside a termination handler: the session that ended (null elsewhere).
Session *EndingSession();
// False once the session has begun to end, by destroy or on its own.
bool IsRunning(const Session *session);

}  // namespace ulmot::session
