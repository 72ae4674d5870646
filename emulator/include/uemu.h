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
#define UEMU_RESULT_OUT_OF_RANGE 20     /* reader objects: a property value outside its range */

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

/* ---- The reader's own objects: configuration records ------------------------ */

#define UEMU_VERSION_STRINGS 10u      /* version information, items 0 to 9 */
#define UEMU_VERSION_SIZE 100u        /* 99 characters and the terminator */
#define UEMU_MAX_COUNTRY_CODES 8u
#define UEMU_MAX_CHANNELS 100u        /* channels of one country code */
#define UEMU_COUNTRY_TEXT_SIZE 80u    /* 79 characters and the terminator */

/* A country code the radio supports: the code (radio item 16), its text
 * (item 17) and its channel plan (items 7 and 8): `channelCount` channels
 * (1 to 100) from `firstChannelKHz` up, `channelSpacingKHz` apart. */
typedef struct uemu_CountryCode {
    uint16_t code;
    uint8_t channelCount;
    uint32_t firstChannelKHz;
    uint32_t channelSpacingKHz;
    char text[UEMU_COUNTRY_TEXT_SIZE]; /* NUL-terminated */
} uemu_CountryCode;

typedef struct uemu_Config {
    uemu_LogFn log;     /* null: no log */
    void *logContext;   /* passed to `log` */
    /* Instances 1..N of each object type that exist from creation on and
     * cannot be removed (antennas, GPI and GPO lines, the radio...). */
    uint8_t presetInstances[UEMU_OBJECT_TYPE_COUNT];

    /* ---- reader: what the reader's own objects report and how they behave
     * (docs/PROTOCOL.md, "The reader's own objects"). uemu_ConfigInit fills
     * these; the counts of GPO lines, GPI lines and Gen2 parameter sets are
     * presetInstances[1], [2] and [18]. ---- */
    char versions[UEMU_VERSION_STRINGS][UEMU_VERSION_SIZE]; /* type 0, items 0 to 9, NUL-terminated */
    uint16_t radioModel;               /* type 0, item 10 */
    uemu_CountryCode countryCodes[UEMU_MAX_COUNTRY_CODES]; /* supported, in selector order */
    uint8_t countryCodeCount;          /* entries of countryCodes in use (0 to 8) */
    uint8_t countryCodeSelected;       /* selector in force at creation */
    uint32_t hopIntervalMs;            /* time on one channel while transmitting (0: 200) */
    uint32_t dutyCycleOnMs;            /* transmit time of a duty cycle; 0: no duty cycle */
    uint32_t dutyCycleOffMs;           /* pause that follows the transmit time */
    uint16_t radioTemperature;         /* at creation, tenths of a degree Celsius */
    uint8_t gpiThreshold;              /* threshold of every GPI line at creation */
    uint8_t rtcHeld;                   /* 1: the clock keeps the time it was set to */
    uint32_t rtcStartSeconds;          /* clock at creation, seconds since 1970 (UTC); 0: the host's */

    /* ---- tag field: the Gen2 tags in front of the antennas and how fast a
     * running schedule reports them (docs/PROTOCOL.md, "The tag field").
     * uemu_ConfigInit fills these; uemu_Create refuses values out of range.
     * The antennas are presetInstances[8]; tags are seen through antennas 1
     * to UEMU_TAG_FIELD_ANTENNAS. ---- */
    uint32_t tagCount;          /* tags in the field, 0 to UEMU_MAX_TAGS (default 50) */
    uint32_t tagSeed;           /* the population, its signal and the noise follow from it (default 1) */
    uint16_t epcBits;           /* EPC length: 16 to 496, a multiple of 16 (default 96; 0: 96) */
    uint8_t xpcPercent;         /* share of tags that carry XPC words, 0 to 100 (default 0) */
    uint8_t visibilityPercent;  /* chance that a tag is in the field of each antenna, 1 to 100
                                 * (default 100; 0: 100); every tag is in the field of one at least */
    uint16_t tidWords;          /* TID bank, 2 to 32 words (default 6; 0: 6) */
    uint16_t userWords;         /* user bank, 0 to 512 words (default 32) */
    uint32_t tagRate;           /* tag reports per second of a running schedule, 1 to 100000
                                 * (default 500; 0: 500) */
} uemu_Config;

/* Fills `config` with the defaults: no log; one instance of the version
 * information (0), the radio (12), the timestamp (15) and the clock (24);
 * four GPO lines (1), four GPI lines (2) and four antennas (8); four Gen2
 * parameter sets (18); and the reader block's defaults, listed in
 * docs/PROTOCOL.md. */
void uemu_ConfigInit(uemu_Config *config);

typedef struct uemu_Reader uemu_Reader;

/* A reader with its delivery processor and its processors "reader" (id 1)
 * and "io" (id 2) registered, configured by `config` (null: the defaults of
 * uemu_ConfigInit). Null when memory cannot be had, or when the tag field
 * block is out of range. */
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

/* ---- The reader's own objects: what a test or a tool makes happen ------------
 *
 * GPI lines, the radio, alarm specifications and the text log react to the
 * calls below as they would to the world outside the reader. Events they
 * raise follow the rules of uemu_SendEvent (only processors that enabled
 * them receive them). docs/PROTOCOL.md says what each family answers. */

/* Radio states (radio item 2, event 2) and temperature states (item 3). */
#define UEMU_RADIO_IDLE 0u
#define UEMU_RADIO_TRANSMITTING 1u
#define UEMU_RADIO_PAUSED 2u /* the duty cycle's pause */
#define UEMU_TEMPERATURE_NORMAL 0u
#define UEMU_TEMPERATURE_WARM 1u /* from 60.0 degrees Celsius */
#define UEMU_TEMPERATURE_HOT 2u  /* from 75.0 degrees Celsius */

/* CTI request codes (CTI item 0) and statuses (item 2). */
#define UEMU_CTI_ECHO 0u          /* answers the request data unchanged */
#define UEMU_CTI_READER_STATUS 1u /* a 12-byte record of the reader's state */
#define UEMU_CTI_REQUEST_COUNT 2u /* requests this CTI object has served, 32 bits */
#define UEMU_CTI_FILL 3u          /* data: 16-bit length, optional first byte */
#define UEMU_CTI_DONE 0u
#define UEMU_CTI_UNKNOWN_REQUEST 1u
#define UEMU_CTI_BAD_DATA 2u

/* Sets the input level of GPI line `line` (0 to 255): the line's state is 1
 * when the level reaches its threshold (item 1), else 0, and a change of
 * state raises the line's event. Ends a pattern running on the line.
 * UEMU_OK, UEMU_ERR_NOT_FOUND (no such line), UEMU_ERR_INVALID. */
int32_t uemu_SetGpi(uemu_Reader *reader, uint8_t line, uint8_t level);

/* Plays `count` levels on GPI line `line`, one every `intervalMs` (at least
 * 1), the first at once, over and over until the next uemu_SetGpi or
 * uemu_SetGpiPattern of the line. The reader's own thread plays every step,
 * the first too, so the line's events stay in order. A count of 0 ends the
 * pattern (the level stays). UEMU_OK, UEMU_ERR_NOT_FOUND, UEMU_ERR_INVALID
 * (null levels with a count, interval 0 with a count). */
int32_t uemu_SetGpiPattern(uemu_Reader *reader, uint8_t line, const uint8_t *levels,
                           uint8_t count, uint32_t intervalMs);

/* Makes the radio transmit (1) or not (0) as it does while a schedule runs:
 * it hops channels and keeps its duty cycle, raising its events, while this
 * or any running schedule asks it to. UEMU_OK, UEMU_ERR_NOT_FOUND (no radio). */
int32_t uemu_RadioTransmit(uemu_Reader *reader, uint8_t on);

/* Sets the radio's temperature (tenths of a degree Celsius; its state
 * follows) and raises the temperature event (event 3).
 * UEMU_OK, UEMU_ERR_NOT_FOUND (no radio). */
int32_t uemu_SetRadioTemperature(uemu_Reader *reader, uint16_t temperature);

/* An alarm seen on antenna pair `antennaPair`: every alarm specification that
 * watches that pair raises its alarm event. Returns the number of
 * specifications that raised one, or UEMU_ERR_INVALID. */
int32_t uemu_RaiseAlarm(uemu_Reader *reader, uint8_t antennaPair);

/* Sends `text` (cut at 128 bytes) as a text log message. Returns the number
 * of processors it went to, or UEMU_ERR_INVALID (null text). */
int32_t uemu_Log(uemu_Reader *reader, const char *text);

/* ---- The tag field: what a test compares reports and access results with ---
 *
 * The population follows from the tag field block of uemu_Config alone, so
 * two readers created with the same block hold the same tags. Access
 * specifications that write user memory change it; these calls show the
 * tags as they are now. */

#define UEMU_MAX_TAGS 10000u
#define UEMU_MAX_EPC_BYTES 62u       /* 496 bits: the PC's length field counts 31 words */
#define UEMU_TAG_FIELD_ANTENNAS 32u  /* tags are seen through antennas 1 to 32 */

/* Memory banks (a tag filter's filter byte, an access specification's item 6). */
#define UEMU_BANK_RESERVED 0u /* kill and access passwords: 4 words, all 0 */
#define UEMU_BANK_EPC 1u      /* word 0 stored CRC, word 1 PC, from word 2 the EPC */
#define UEMU_BANK_TID 2u
#define UEMU_BANK_USER 3u

typedef struct uemu_Tag {
    uint16_t pc;        /* bits 15-11: EPC length in words; 0x0400: user memory;
                         * 0x0200: an XPC word 1 follows */
    uint16_t xpc[2];    /* XPC words 1 and 2, 0 when absent */
    uint8_t xpcCount;   /* 0, 1 or 2 */
    uint8_t epcLength;  /* bytes of `epc` in use */
    uint8_t epc[UEMU_MAX_EPC_BYTES];
    uint16_t crc;       /* the CRC-16 the tag sends after its EPC: over the PC,
                         * the XPC words and the EPC */
    uint16_t tidWords;
    uint16_t userWords;
    uint32_t antennas;  /* bit n-1 set: the tag is in the field of antenna n */
    int16_t rssi[UEMU_TAG_FIELD_ANTENNAS]; /* signal strength at antenna n (index n-1)
                                            * before noise, dBm x 10; 0 out of its field */
} uemu_Tag;

/* The number of tags in the field. UEMU_OK or UEMU_ERR_INVALID. */
int32_t uemu_GetTagCount(uemu_Reader *reader, uint32_t *count);

/* Tag `index` (0 to count - 1). UEMU_OK, UEMU_ERR_NOT_FOUND (no such tag),
 * UEMU_ERR_INVALID (null reader or record). */
int32_t uemu_GetTag(uemu_Reader *reader, uint32_t index, uemu_Tag *tag);

/* Copies `wordCount` words (0: up to the end of the bank) of bank `bank`
 * from word `wordPointer` of tag `index`, two bytes a word, high byte first,
 * into `out`; the byte count is stored through `length`. UEMU_OK,
 * UEMU_ERR_TOO_SMALL (the byte count is stored), UEMU_ERR_NOT_FOUND (no such
 * tag, or words past the end of the bank), UEMU_ERR_INVALID (bank above 3,
 * null length, null out with a capacity). */
int32_t uemu_ReadTagMemory(uemu_Reader *reader, uint32_t index, uint8_t bank,
                           uint16_t wordPointer, uint16_t wordCount, uint8_t *out,
                           uint32_t capacity, uint32_t *length);

/* Makes antenna `antenna` measure a VSWR status of `status` (0: good; any
 * other value: the antenna does not transmit, and tags in its field are no
 * longer seen through it). When the status differs from the antenna's last
 * one (item 4), item 4 takes it and the antenna raises its VSWR status event
 * (event 0, Int8 item 4). UEMU_OK, UEMU_ERR_NOT_FOUND (no such antenna),
 * UEMU_ERR_INVALID. */
int32_t uemu_SetAntennaVswr(uemu_Reader *reader, uint8_t antenna, uint8_t status);

#ifdef __cplusplus
}
#endif

#endif /* UEMU_H */
