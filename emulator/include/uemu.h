/*
 * uemu.h - the reader emulator: the reader's side of the message system.
 *
 * An emulated reader plays, over any Transport (ulmot/session.h), what the
 * processors inside the reader answer: the delivery processor (processor id
 * 0, object type 14), which registers processors, hands out their ids and
 * finds them by name or by object type, and the reader's object processors,
 * which keep the reader objects (inventory and access specifications,
 * antennas, GPI and GPO lines, the radio...) and serve the generic commands
 * 0 to 6 on them. docs/PROTOCOL.md describes the emulated reader in full.
 *
 * Each client connection is a link: uemu_Attach() takes the reader's end of
 * a transport and starts one thread for it, which receives with a time-out,
 * routes each message by its destination processor id and answers it. A
 * client registers one or more processors over its link. When the link's
 * receive reports the link terminated (-11), every processor registered over
 * it is deregistered (the others are told with a processor removed event)
 * and the link waits, probing the transport every 200 ms, until it can serve
 * again: a client that reconnects over the same endpoint is served as a new
 * processor.
 *
 * The emulator is a library of its own beside libulmot: the blocks it moves
 * come from libulmot's pools and it uses libulmot's public API only, so the
 * program links exactly one copy of libulmot, shared or static, and calls
 * streams_buf_init() before creating a reader. It writes nothing to stderr;
 * its lines go to the optional log hook of its configuration.
 *
 * Threads: every function may be called from any thread, except that no
 * function may be called with a reader that uemu_Destroy() has begun to
 * destroy (uemu_SendIoctl() calls already waiting are woken and return), and
 * none from inside the log hook.
 *
 * Results of the uemu_ functions: UEMU_OK (0) or one of the negative codes
 * below. Result codes that the emulated reader puts in its responses (item
 * 255) are the UEMU_RESULT_ values.
 */
#ifndef UEMU_H
#define UEMU_H

#include <stdint.h>

#include "ulmot/session.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Processors and object types ------------------------------------------ */

/* The processors that exist from creation on. Clients get ids from
 * UEMU_FIRST_CLIENT_ID up. */
#define UEMU_DELIVERY_PROCESSOR_ID 0u /* the directory: object type 14 */
#define UEMU_READER_PROCESSOR_ID 1u   /* "reader": every reader object type but 1, 2 */
#define UEMU_IO_PROCESSOR_ID 2u       /* "io": GPO (1) and GPI (2) */
#define UEMU_FIRST_CLIENT_ID 3u

#define UEMU_READER_PROCESSOR_NAME "reader"
#define UEMU_IO_PROCESSOR_NAME "io"

/* Object types 0 to 24 name the reader's objects. */
#define UEMU_OBJECT_TYPE_COUNT 25u
#define UEMU_DELIVERY_OBJECT_TYPE 14u
#define UEMU_IOCTL_OBJECT_TYPE 23u

/* In a search by name, this object type (or none) matches every type. */
#define UEMU_ANY_OBJECT_TYPE 199u

/* Find flag of a search: which of several matching processors is found. */
#define UEMU_FIND_FIRST 0u  /* the earliest registration still present */
#define UEMU_FIND_LATEST 1u /* the latest registration (any non-zero flag) */

/* ---- Result codes in the reader's responses (Int16 item 255) --------------- */

#define UEMU_RESULT_OK 0
#define UEMU_RESULT_UNKNOWN_COMMAND 1   /* the command is not served for this object type */
#define UEMU_RESULT_UNKNOWN_INSTANCE 2  /* no such instance (or processor, for type 14) */
#define UEMU_RESULT_MALFORMED 3         /* body items run past the body, or required items are missing */
#define UEMU_RESULT_TYPE_NOT_SERVED 4   /* the addressed processor does not own the object type */
#define UEMU_RESULT_NOT_FOUND 5         /* a search matched no processor */
#define UEMU_RESULT_EXHAUSTED 6         /* no free instance or processor id, or no room for the properties */
#define UEMU_RESULT_REFUSED 7           /* the object's family refused (e.g. removing a preset instance) */
#define UEMU_RESULT_NO_SUCH_PROCESSOR 8 /* the destination processor id is not registered */
#define UEMU_RESULT_NOT_REGISTERED 9    /* the source is not a processor registered over this link */

/* ---- Results of the uemu_ functions ---------------------------------------- */

#define UEMU_OK 0
#define UEMU_ERR_FAILED (-1)    /* the transport refused a send */
#define UEMU_ERR_TIMEOUT (-2)   /* no answer within the time-out */
#define UEMU_ERR_TOO_SMALL (-3) /* the caller's buffer is too small; the size needed is stored */
#define UEMU_ERR_MALFORMED (-4) /* the answer lacks a required item */
#define UEMU_ERR_INVALID (-5)   /* a null or unknown handle, or an argument out of range */
#define UEMU_ERR_LINK_LOST (-6) /* the link went down, or was detached, while waiting */
#define UEMU_ERR_NO_MEMORY (-7) /* memory or a thread could not be had */
#define UEMU_ERR_NOT_FOUND (-8) /* no such processor, instance or link */

/* ---- Creation --------------------------------------------------------------- */

/* Receives the emulator's log lines (no trailing newline). Called on the
 * thread that hit the condition, with no lock of the emulator held; it must
 * not call uemu_ functions. */
typedef void (*uemu_LogFn)(void *context, const char *line);

typedef struct uemu_Config {
    uemu_LogFn log;     /* null: no log */
    void *logContext;   /* passed to `log` */
    /* Instances 1..N of each object type that exist from creation on and
     * cannot be removed (antennas, GPI and GPO lines, the radio...). */
    uint8_t presetInstances[UEMU_OBJECT_TYPE_COUNT];
} uemu_Config;

/* Fills `config` with the defaults: no log; one instance of the version
 * information (0), the radio (12), the timestamp (15) and the clock (24);
 * four GPO lines (1), four GPI lines (2) and four antennas (8). */
void uemu_ConfigInit(uemu_Config *config);

typedef struct uemu_Reader uemu_Reader;

/* A reader with its delivery processor and its processors "reader" (id 1)
 * and "io" (id 2) registered, configured by `config` (null: the defaults of
 * uemu_ConfigInit). Null when memory cannot be had. */
uemu_Reader *uemu_Create(const uemu_Config *config);

/* Detaches every link (as uemu_Detach does), wakes uemu_SendIoctl callers
 * (they return UEMU_ERR_LINK_LOST) and waits for them to leave, then
 * releases the reader. Every block the reader held goes back to its pool.
 * Null does nothing. */
void uemu_Destroy(uemu_Reader *reader);

/* Milliseconds since the reader was created, as its events carry them in
 * item 254 (wraps at 2^32). */
uint32_t uemu_Now(uemu_Reader *reader);

/* ---- Links ------------------------------------------------------------------ */

typedef struct uemu_Link uemu_Link;

/* How the host takes a link down and brings it back, for uemu_DropLink and
 * uemu_RestoreLink. Either function may be null. Each returns 0 on success. */
typedef struct uemu_LinkHooks {
    int32_t (*drop)(void *context);
    int32_t (*restore)(void *context);
    void *context;
} uemu_LinkHooks;

/* Serves the client connection whose reader-side end is `endpoint`: starts
 * the link's thread. The host keeps `endpoint` alive until uemu_Detach (or
 * uemu_Destroy) returns; nothing else may receive on it meanwhile. `hooks`
 * (copied; may be null) and `link` (may be null) are optional. UEMU_OK,
 * UEMU_ERR_INVALID for a null reader or endpoint, or an endpoint that lacks
 * send, receive or probe; UEMU_ERR_NO_MEMORY. */
int32_t uemu_Attach(uemu_Reader *reader, Transport *endpoint, const uemu_LinkHooks *hooks,
                    uemu_Link **link);

/* Stops serving `link`: its thread ends (within one receive time-out, 200 ms),
 * its processors are deregistered (processor removed events go to the
 * others), uemu_SendIoctl callers waiting on it return UEMU_ERR_LINK_LOST,
 * and no send on its endpoint runs any more when this returns. The handle is
 * then gone. UEMU_ERR_NOT_FOUND for a link that is not attached to `reader`. */
int32_t uemu_Detach(uemu_Reader *reader, uemu_Link *link);

/* The link over which processor `processorId` registered, or null (internal
 * processors and unknown ids). Valid until that link is detached. */
uemu_Link *uemu_FindLink(uemu_Reader *reader, uint8_t processorId);

/* Calls the link's drop hook, which takes the host's link down: the link's
 * thread then sees receive report -11 and deregisters the link's processors.
 * UEMU_ERR_NOT_FOUND (unknown link), UEMU_ERR_INVALID (no drop hook), or
 * UEMU_ERR_FAILED when the hook returns non-zero. */
int32_t uemu_DropLink(uemu_Reader *reader, uemu_Link *link);

/* Calls the link's restore hook; the link serves again once its probe
 * succeeds (within 200 ms). Results as uemu_DropLink. */
int32_t uemu_RestoreLink(uemu_Reader *reader, uemu_Link *link);

/* 1 while the link serves, 0 while it waits for the transport to come back
 * (after -11), UEMU_ERR_NOT_FOUND for an unknown link. */
int32_t uemu_LinkIsServing(uemu_Reader *reader, uemu_Link *link);

/* ---- Events and IOCTL requests ------------------------------------------------ */

/* Raises event `eventType` (0 to 31) of object `objectType`/`instance` as the
 * object's processor does: an EVENT whose body is item 254 (the time stamp)
 * followed by the `length` bytes of `body` (items; not checked) and the
 * properties the recipient registered with command 6. It goes to every client
 * processor that enabled the event type for that object type, for instance 0
 * (type-wide) or for `instance` (an instance's own choice wins; see
 * docs/PROTOCOL.md). Events of object type 14 go to every client processor.
 * Returns the number of processors the event was sent to, or
 * UEMU_ERR_INVALID (no processor of the reader owns the object type, event
 * type above 31, body too long or null with a length). */
int32_t uemu_SendEvent(uemu_Reader *reader, uint8_t objectType, uint8_t eventType,
                       uint8_t instance, const uint8_t *body, uint16_t length);

/* As uemu_SendEvent, but to processor `processorId` alone and whatever it
 * registered (its registered properties are still attached). UEMU_OK,
 * UEMU_ERR_NOT_FOUND (not a client processor), UEMU_ERR_INVALID,
 * UEMU_ERR_FAILED (the send failed). */
int32_t uemu_SendEventTo(uemu_Reader *reader, uint8_t processorId, uint8_t objectType,
                         uint8_t eventType, uint8_t instance, const uint8_t *body,
                         uint16_t length);

/* Sends an IOCTL request from the "reader" processor to client processor
 * `processorId` (object type 23, `command`, instance 0; body: item 254 the
 * time stamp, byte array item 1 the `length` request bytes) and waits up to
 * `timeoutMs` for its response. On UEMU_OK, byte array item 2 of the response
 * (none: 0 bytes) is copied to `response` and its length stored through
 * `responseLength`, and Int8 item 3 is stored through `status`.
 * UEMU_ERR_TOO_SMALL: item 2 exceeds `capacity` (its length is stored,
 * nothing copied, the status is stored). UEMU_ERR_MALFORMED: no item 3.
 * UEMU_ERR_TIMEOUT, UEMU_ERR_LINK_LOST, UEMU_ERR_FAILED (send refused, or 63
 * requests already outstanding on that link), UEMU_ERR_NOT_FOUND (not a
 * client processor), UEMU_ERR_INVALID (null outputs, a request over 2031
 * bytes). */
int32_t uemu_SendIoctl(uemu_Reader *reader, uint8_t processorId, uint8_t command,
                       const uint8_t *request, uint16_t length, uint8_t *response,
                       uint32_t capacity, uint16_t *responseLength, uint8_t *status,
                       uint32_t timeoutMs);

/* ---- Queries ------------------------------------------------------------------ */

typedef struct uemu_ProcessorInfo {
    uint8_t id;
    uint8_t internal;          /* 1 for the reader's own processors */
    uint8_t objectTypeCount;
    uint8_t objectTypes[255];  /* in registration order */
    char name[255];            /* NUL-terminated, at most 254 characters */
} uemu_ProcessorInfo;

/* The registered processors in ascending id order (the delivery processor is
 * not one of them): up to `capacity` records are written, and the total count
 * stored through `count` (may exceed capacity). UEMU_OK or UEMU_ERR_INVALID. */
int32_t uemu_GetProcessors(uemu_Reader *reader, uemu_ProcessorInfo *processors,
                           uint32_t capacity, uint32_t *count);

typedef struct uemu_EventRegistration {
    uint8_t processorId;
    uint8_t objectType;
    uint8_t instance;       /* 0: every instance of the type */
    uint32_t selectedMask;  /* event types this registration has decided */
    uint32_t enabledMask;   /* of those, the enabled ones */
    uint16_t propertyCount; /* properties attached to these events (command 6) */
    uint8_t propertyIds[256];
} uemu_EventRegistration;

/* Every event registration, ordered by processor, object type and instance;
 * counting as uemu_GetProcessors. */
int32_t uemu_GetEventRegistrations(uemu_Reader *reader, uemu_EventRegistration *registrations,
                                   uint32_t capacity, uint32_t *count);

/* The instances of `objectType` in ascending order, counted as above.
 * UEMU_ERR_INVALID when no processor of the reader owns the type. */
int32_t uemu_GetInstances(uemu_Reader *reader, uint8_t objectType, uint8_t *instances,
                          uint32_t capacity, uint32_t *count);

/* The stored property items of an object, as they travel (ascending item
 * id), into `items`; their byte count is stored through `length`.
 * UEMU_ERR_TOO_SMALL (the length is stored), UEMU_ERR_NOT_FOUND,
 * UEMU_ERR_INVALID. */
int32_t uemu_GetObjectProperties(uemu_Reader *reader, uint8_t objectType, uint8_t instance,
                                 uint8_t *items, uint32_t capacity, uint32_t *length);

#ifdef __cplusplus
}
#endif

#endif /* UEMU_H */
