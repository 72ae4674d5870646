/*
 * ulmot/session.h - sessions over a host transport.
 *
 * A Session frames every outgoing message with the 8-byte message header,
 * hands it to the host's Transport and, for a request, blocks the caller
 * until the matching response arrives (5000 ms; 20000 ms for object type 10
 * command 100). At most 8 requests are outstanding per session; a ninth
 * caller waits for a free slot within its time-out.
 *
 * Each session runs two threads. The receive thread is the only caller of the
 * transport's receive: it completes waiting requests with their responses and
 * puts inbound requests and events in the session's inbound queue (at most
 * 127 messages; when full, a priority decides which message is lost). The
 * queue thread takes them out in order and calls the registered request or
 * event handler, one at a time. Handlers may send requests (responses never
 * pass through the queue) but must not destroy their own session.
 *
 * Ownership: the block passed to ulmot_SendSessionMessage is the session's
 * from the call on, on every path, and the transport's once its send is
 * called. A response handed out through `response` is the caller's. A block
 * passed to a handler is the handler's, which releases it.
 */
#ifndef ULMOT_SESSION_H
#define ULMOT_SESSION_H

#include <stdint.h>

#include "buffers.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The message header: 8 bytes in front of every body. */
#define ULMOT_HEADER_SIZE 8u
#define ULMOT_HEADER_DESTINATION 0u /* destination processor id */
#define ULMOT_HEADER_SOURCE 1u      /* source processor id */
#define ULMOT_HEADER_TYPE_ID 2u     /* message type (bits 7-6), message id (bits 5-0) */
#define ULMOT_HEADER_COMMAND 3u     /* command; the event type in an event */
#define ULMOT_HEADER_OBJECT_TYPE 4u
#define ULMOT_HEADER_INSTANCE 5u
#define ULMOT_HEADER_LENGTH 6u /* body length, 16 bits big-endian */

/* Message types. */
#define ULMOT_MSG_REQUEST 0u
#define ULMOT_MSG_RESPONSE 1u
#define ULMOT_MSG_EVENT 2u

/* The largest body a message may carry. */
#define ULMOT_MAX_BODY 2048u

/* Results of a transport's receive besides 0 (a message arrived). */
#define ULMOT_TRANSPORT_TIMEOUT (-12)    /* nothing within the time-out */
#define ULMOT_TRANSPORT_TERMINATED (-11) /* the link is gone: the session ends */

typedef struct Transport Transport;

/* Hands over `block` (the whole message, header and body). The transport owns
 * the block from the call on, whatever it returns. 0: sent. `reserved` is 0. */
typedef int32_t (*ulmot_TransportSendFn)(Transport *transport, MessageBlock *block,
                                         uintptr_t reserved);
/* Waits up to `timeoutMs` for a message: 0 and the block (readPtr at the
 * header) stored through `block`; -12 nothing arrived; -11 link terminated;
 * anything else a receive failure. Called by one thread at a time. */
typedef int32_t (*ulmot_TransportReceiveFn)(Transport *transport, MessageBlock **block,
                                            uint32_t timeoutMs);
/* 0 when the link can be used again. */
typedef int32_t (*ulmot_TransportProbeFn)(Transport *transport);

/* The host's table of operations: eight pointer-sized slots, of which the
 * library reads 0, 1, 3 and 7. The host owns it and keeps it alive for as
 * long as any session uses it; a host usually embeds it at the start of its
 * own transport state, since every operation receives the table's address.
 * `send` may be called by several threads at once. */
struct Transport {
    ulmot_TransportSendFn send;       /* slot 0 */
    ulmot_TransportReceiveFn receive; /* slot 1 */
    void *reserved2;                  /* slot 2 */
    ulmot_TransportProbeFn probe;     /* slot 3 */
    void *reserved4;                  /* slot 4 */
    void *reserved5;                  /* slot 5 */
    void *reserved6;                  /* slot 6 */
    const char *name;                 /* slot 7: printed in log lines */
};

typedef struct Session Session;

/* Handlers; their results are ignored. `header` points at the 8 header bytes
 * inside `block`, whose readPtr stands at the body. The handler owns `block`
 * and must release it. */
typedef int32_t (*ulmot_SessionEventHandler)(void *context, const uint8_t *header,
                                             uint16_t bodyLength, uint32_t timestamp,
                                             MessageBlock *block);
typedef int32_t (*ulmot_SessionRequestHandler)(void *context, const uint8_t *header,
                                               uint16_t bodyLength, MessageBlock *block);
/* Called once, on the receive thread, after the session ended on its own
 * (link terminated, or 50 receive failures in a row) and released itself. */
typedef void (*ulmot_SessionTerminationHandler)(void *context);

/* A running session over `transport`, or null. `outstandingRequests` above 8
 * is refused; the session always has 8 request slots. */
ULMOT_API Session *ulmot_CreateSession(Transport *transport, uint32_t outstandingRequests);

/* Stops both threads and releases the session. Callers still waiting for a
 * response return -1. Never call it from the session's own handlers, nor on a
 * session that ended on its own. */
ULMOT_API void ulmot_DestroySession(Session *session);

/* Register (or, with a null handler, switch off) a handler. 0. */
ULMOT_API int32_t ulmot_SessionRegisterEventHandler(Session *session,
                                                    ulmot_SessionEventHandler handler,
                                                    void *context);
ULMOT_API int32_t ulmot_SessionRegisterRequestHandler(Session *session,
                                                      ulmot_SessionRequestHandler handler,
                                                      void *context);
ULMOT_API int32_t ulmot_SessionRegisterTerminationHandler(Session *session,
                                                          ulmot_SessionTerminationHandler handler,
                                                          void *context);

/* Sends `block` (the body; at least 8 bytes of head room) with a header.
 * For a REQUEST the message id is the request slot's and the call waits for
 * the response: the result is the responder's code (item 255, sign-extended),
 * or -1 for any local failure, time-out or response without a result. The
 * response block is stored through `response` (if given) whenever the result
 * could be read; `responseInstance` receives header byte 5 of the response.
 * Other types return 0 once sent. The session owns `block` from the call on. */
ULMOT_API int32_t ulmot_SendSessionMessage(Session *session, uint32_t messageType,
                                           uint8_t sourceId, uint8_t destinationId,
                                           uint16_t messageId, uint32_t objectType,
                                           uint8_t command, uint8_t instance, MessageBlock *block,
                                           MessageBlock **response, uint8_t *responseInstance);

/* Writes the 8 header bytes in front of readPtr. 0, or -1 and a line when the
 * head room is under 8 bytes. */
ULMOT_API int32_t ulmot_MessageAddHeader(MessageBlock *block, uint32_t messageType,
                                         uint8_t sourceId, uint8_t destinationId,
                                         uint16_t messageId, uint32_t objectType, uint8_t command,
                                         uint8_t instance, uint16_t bodyLength);

#ifdef __cplusplus
}
#endif

#endif /* ULMOT_SESSION_H */
