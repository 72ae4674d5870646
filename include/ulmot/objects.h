/*
 * ulmot/objects.h - the reader object families.
 *
 * Each family is a thin layer over the generic object operations of
 * ulmot/processors.h: it chooses the object type, the items of its requests
 * and its callbacks. Requests of object type T go to the processor of the
 * client's attach entry T. Callbacks run on the client's queue thread, one at
 * a time; pointers they receive point into the event's block and are valid
 * only during the call.
 */
#ifndef ULMOT_OBJECTS_H
#define ULMOT_OBJECTS_H

#include <stdint.h>

#include "buffers.h"
#include "items.h"
#include "processors.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ==== Tag path: inventory, schedules, antennas, tag filters, access, tag
 * selectors ================================================================= */

/* Requests of each family go to the processor of the client's attach entry
 * for its object type. Results: 0, -1 (local failure, time-out, or no
 * session while the client reconnects), -5 (invalid parameter), -7 (no
 * message block), or the reader's own result code. Callbacks receive the
 * context given at registration, the event's time stamp and the instance of
 * the object the event is about (header byte 5); registering again replaces
 * callbacks and context together, so a callback never sees another
 * registration's context. */

/* ---- Inventory specifications (object type 5) ---------------------------- */

/* Event type 0. */
typedef void (*ulmot_InventoryEvent0Callback)(void *context, uint32_t timestamp, uint8_t instance);
/* Event type 1. `event` is the whole event block, readable with the item
 * readers during the call; it is released when the callback returns. */
typedef void (*ulmot_InventoryEvent1Callback)(void *context, uint32_t timestamp, uint8_t instance,
                                              MessageBlock *event);
/* Event type 2. The report and the bytes it points to are valid only during
 * the call; dataLength is in bytes. Format 517 splits the tag bits into PC
 * word, XPC words (when the PC and XPC word 1 announce them), EPC and CRC; a
 * report whose bits are too short for what they announce arrives with no
 * data (null, length 0, PC, XPC words and CRC 0). Other formats carry
 * bit count / 8 bytes (rounded down) and no PC, XPC or CRC. */
typedef void (*ulmot_TagReportCallback)(void *context, uint32_t timestamp, uint8_t instance,
                                        const TagReport *report);

/* Creates an inventory specification: item 2, item 0, the object reference
 * item 1 (objectType, objectInstance) and, when `selectors` and
 * `selectorCount` are both given, the tag selector list item 3. The reader's
 * new instance goes to `instance` (may be null). */
ULMOT_API int32_t ulmot_AddInventorySpecification(ClientProcessor *client, uint8_t *instance,
                                                  uint16_t item0, uint32_t objectType,
                                                  uint8_t objectInstance, uint8_t item2,
                                                  const uint8_t *selectors, uint8_t selectorCount);
/* Replaces the tag selectors (an empty request when none are given). */
ULMOT_API int32_t ulmot_SetInventorySelector(ClientProcessor *client, uint8_t instance,
                                             const uint8_t *selectors, uint8_t count);
/* Sets the inventory's access group (Int8 item 21). */
ULMOT_API int32_t ulmot_SetInventoryAccessGroup(ClientProcessor *client, uint8_t instance,
                                                uint8_t accessGroup);
/* Sets the inventory's type (Int8 item 23). */
ULMOT_API int32_t ulmot_SetInventoryType(ClientProcessor *client, uint8_t instance,
                                         uint8_t inventoryType);
/* Reads the statistics items 5 to 11; each output may be null, and a missing
 * item reads as 0. -1 when no response came back. */
ULMOT_API int32_t ulmot_GetInventoryStats(ClientProcessor *client, uint8_t instance,
                                          uint8_t *item5, uint16_t *item6, uint16_t *item7,
                                          uint16_t *item8, uint8_t *item9Instance,
                                          uint16_t *item10, uint16_t *item11);
/* Stores the three callbacks (null empties one) and their context, then
 * enables for every inventory specification exactly the event types that
 * have a callback. */
ULMOT_API int32_t ulmot_RegisterInventoryEvents(ClientProcessor *client,
                                                ulmot_InventoryEvent0Callback event0,
                                                ulmot_InventoryEvent1Callback event1,
                                                ulmot_TagReportCallback tagReport, void *context);
/* Enables (enable != 0) or disables one event type of one inventory
 * specification. Event types above 31 have no bit in the mask: -5. */
ULMOT_API int32_t ulmot_ManageInventoryEvents(ClientProcessor *client, uint8_t instance,
                                              uint32_t eventType, uint32_t enable);

/* ---- Schedule specifications (object type 11) ---------------------------- */

/* One entry of a schedule. */
typedef struct ScheduleEntry {
    uint8_t kind;         /* ULMOT_SCHEDULE_ENTRY_... */
    uint16_t firstValue;  /* object type (reference), high half (pair) */
    uint32_t secondValue; /* instance in the low 8 bits (reference), the value
                             (value), low half in the low 16 bits (pair) */
} ScheduleEntry;

#define ULMOT_SCHEDULE_ENTRY_OBJECT 0u /* an object reference */
#define ULMOT_SCHEDULE_ENTRY_VALUE 1u  /* a 32-bit value */
#define ULMOT_SCHEDULE_ENTRY_PAIR 2u   /* two 16-bit values in one 32-bit value */
/* A schedule travels in one block: count x 10 + 13 bytes at most 2048. */
#define ULMOT_SCHEDULE_MAX_ENTRIES 203u

typedef void (*ulmot_ScheduleStartCallback)(void *context, uint32_t timestamp,
                                            uint32_t scheduleId);
/* `reason` is 255 when the event carries none. */
typedef void (*ulmot_ScheduleStopCallback)(void *context, uint32_t timestamp, uint32_t scheduleId,
                                           uint8_t reason);

/* Creates a schedule of `count` entries (in this order) and registers its
 * start and stop events as the two flags ask. The new schedule id goes to
 * `scheduleId` (may be null). More than ULMOT_SCHEDULE_MAX_ENTRIES entries
 * are refused with -5 (nothing sent); an entry of an unknown kind makes -1.
 * A failed event registration is logged; the result is still 0. */
ULMOT_API int32_t ulmot_AddScheduleSpecification(ClientProcessor *client, uint8_t *scheduleId,
                                                 ScheduleEntry *const *entries, uint32_t count,
                                                 uint8_t startEvents, uint8_t stopEvents);
/* LBT value (low 8 bits) and flag (sent as 1 only when it is 1). */
ULMOT_API int32_t ulmot_SetScheduleLBTParameters(ClientProcessor *client, int32_t scheduleId,
                                                 int32_t lbtValue, int32_t lbtFlag);
/* Sets the schedule's priority (low 8 bits, Int8 item 5). */
ULMOT_API int32_t ulmot_SetSchedulePriority(ClientProcessor *client, uint32_t scheduleId,
                                            uint32_t priority);
/* Starts a schedule (start flag sent as 1 only when it is 1). First asks the
 * platform library vyrplatsupp (loaded once per process, on the first start;
 * on Linux libvyrplatsupp.so) whether radio access is blocked: when its
 * PLATFORM_RadioAccessIsBlocked() returns non-zero the start is refused
 * with -1 and nothing is sent. Without the library or its export, starts
 * go ahead. The emulated device's library is installed beside libulmot,
 * which finds it there, and answers from ULMOT_RADIO_BLOCKED_FILE. */
ULMOT_API int32_t ulmot_StartScheduleSpecification(ClientProcessor *client, int32_t scheduleId,
                                                   int32_t startFlag);
/* Stops a schedule; its stop status goes to `stopStatus` when given (-1 and
 * 0 when the response carries none). */
ULMOT_API int32_t ulmot_StopScheduleSpecification(ClientProcessor *client, int32_t scheduleId,
                                                  uint8_t *stopStatus);
/* Stores both callbacks (null disables one) and their context, then enables
 * for every schedule the event types that have a callback. */
ULMOT_API int32_t ulmot_RegisterScheduleEvents(ClientProcessor *client,
                                               ulmot_ScheduleStartCallback start,
                                               ulmot_ScheduleStopCallback stop, void *context);
/* The client's handlers of schedule start (event 0) and stop (event 1). They
 * read the event in `block` (which stays the caller's) and call the
 * registered callback, if any. */
ULMOT_API void ulmot_ClientHandleScheduleStart(ClientProcessor *client, uint8_t instance,
                                               uint32_t timestamp, MessageBlock *block);
ULMOT_API void ulmot_ClientHandleScheduleStop(ClientProcessor *client, uint8_t instance,
                                              uint32_t timestamp, MessageBlock *block);

/* ---- Antennas (object type 8) and antenna pairs (object type 17) --------- */

/* What an activation event of an antenna pair carries once
 * ulmot_EnableAntennaPairEventExtraInfo asked for it. */
typedef struct AntennaPairActivation {
    uint8_t item0;  /* first antenna value */
    uint8_t item1;  /* second antenna value */
    uint16_t item2; /* power level */
} AntennaPairActivation;

/* `activation` is null when the event lacks one of its three items. */
typedef void (*ulmot_AntennaPairActivationCallback)(void *context, uint32_t timestamp,
                                                    uint8_t instance,
                                                    const AntennaPairActivation *activation);
/* `status` is 255 when the event carries none. */
typedef void (*ulmot_TxAntennaVSWRStatusCallback)(void *context, uint32_t timestamp,
                                                  uint8_t instance, uint8_t status);

/* Antennas are numbered 1 to N: any other numbering is -1. */
ULMOT_API int32_t ulmot_GetAntennaCount(ClientProcessor *client, uint8_t *count);
/* One get-properties request each: the antenna's default, minimum and maximum
 * power (Int16 items 0, 1, 2) and its last VSWR status (Int8 item 4). -1 when
 * the request fails or the item is missing. */
ULMOT_API int32_t ulmot_GetAntennaDefaultPower(ClientProcessor *client, uint8_t antenna,
                                               uint16_t *power);
ULMOT_API int32_t ulmot_GetAntennaMinPower(ClientProcessor *client, uint8_t antenna,
                                           uint16_t *power);
ULMOT_API int32_t ulmot_GetAntennaMaxPower(ClientProcessor *client, uint8_t antenna,
                                           uint16_t *power);
ULMOT_API int32_t ulmot_GetAntennaLastVSWRStatus(ClientProcessor *client, uint8_t antenna,
                                                 uint8_t *status);
/* One request; reads what is asked for (null outputs are skipped; the
 * receive list only when both `receiveList` and `listLength` are given, and
 * a list longer than `bufferSize` fails). -1 when any read asked for fails. */
ULMOT_API int32_t ulmot_GetAntennaAttributes(ClientProcessor *client, uint8_t antenna,
                                             uint16_t *maxPower, uint16_t *minPower,
                                             uint16_t *defaultPower, uint8_t *receiveList,
                                             uint16_t bufferSize, uint16_t *listLength);
/* enable != 0 stores callback and context and enables the event; 0 empties
 * both and disables it. */
ULMOT_API int32_t ulmot_RegisterTxAntennaVSWRStatus(ClientProcessor *client,
                                                    ulmot_TxAntennaVSWRStatusCallback callback,
                                                    void *context, uint32_t enable);

/* Adds an antenna pair of the two antenna values (items 0 and 1) and a power
 * level (item 2); the reader's new instance goes to `instance` (may be null).
 * -7 when no block can be had. */
ULMOT_API int32_t ulmot_AddAntennaPair(ClientProcessor *client, uint8_t *instance, uint8_t item0,
                                       uint8_t item1, uint16_t powerLevel);
/* Sets or reads a pair's power level (Int16 item 2). */
ULMOT_API int32_t ulmot_SetAntennaPower(ClientProcessor *client, uint8_t pair, uint16_t powerLevel);
ULMOT_API int32_t ulmot_GetAntennaPower(ClientProcessor *client, uint8_t pair,
                                        uint16_t *powerLevel);
/* Replaces a pair's receive antennas (Int8 list item 3 of `count` values). */
ULMOT_API int32_t ulmot_SetReceiveAntennaList(ClientProcessor *client, uint8_t pair,
                                              const uint8_t *antennas, uint8_t count);
/* enable != 0 stores callback and context and enables the activation event
 * of every pair; 0 empties both and disables it. */
ULMOT_API int32_t ulmot_RegisterAntennaPairActivation(ClientProcessor *client,
                                                      ulmot_AntennaPairActivationCallback callback,
                                                      void *context, uint32_t enable);
/* Makes activation events carry (enable != 0) or stop carrying the pair's
 * items 0, 1 and 2. */
ULMOT_API int32_t ulmot_EnableAntennaPairEventExtraInfo(ClientProcessor *client, uint32_t enable);

/* ---- Tag filters and tag filter specifications (object type 6) ----------- */

/* One entry of a tag filter specification. */
typedef struct TagFilterElement {
    uint8_t type;    /* ULMOT_FILTER_ELEMENT_... */
    uintptr_t value; /* an 8-bit value in the low byte, or a (const TagFilter *) */
} TagFilterElement;

#define ULMOT_FILTER_ELEMENT_INT8 0u
#define ULMOT_FILTER_ELEMENT_TAG_FILTER 1u

/* The mask of ulmot_SetTagFilterC1G2 is a constant array of 146 bytes of
 * 0xFF: it covers data of at most 1168 bits. */
#define ULMOT_C1G2_MASK_BYTES 146u
#define ULMOT_C1G2_MAX_DATA_BITS 1168u

/* Fills `filter`; the mask length is given in bits and kept in whole bytes
 * (rounded down). `data` and `mask` are kept by pointer: they must stay
 * valid until the filter has been sent. */
ULMOT_API void ulmot_SetTagFilter(TagFilter *filter, uint8_t filterByte, uint32_t filterWord,
                                  uint8_t flags, uint16_t dataLengthBits, uint16_t maskLengthBits,
                                  const uint8_t *data, const uint8_t *mask);
/* Fills `filter` for a Gen2 tag: every data bit counts (the mask is all
 * ones); flags = 0x80 when `flag` is set, | 0x40, | fieldA (3 bits) << 3,
 * | fieldB. Data of more than ULMOT_C1G2_MAX_DATA_BITS bits is refused: a
 * line is logged and the filter is left without data and mask (bit count
 * kept), which every add refuses with -5. */
ULMOT_API void ulmot_SetTagFilterC1G2(TagFilter *filter, uint8_t filterByte, uint32_t filterWord,
                                      uint8_t fieldA, uint8_t fieldB, uint16_t dataLengthBits,
                                      const uint8_t *data, uint8_t flag);
/* Creates a tag filter specification of `count` elements, in this order.
 * A null filter, or one whose data or mask is null while its size is not 0,
 * is refused with -5; nothing is sent. */
ULMOT_API int32_t ulmot_AddTagFilterSpecification(ClientProcessor *client, uint8_t *instance,
                                                  const TagFilterElement *elements,
                                                  uint32_t count);

/* ---- Access specifications (object type 7) ------------------------------- */

/* Events 2 (stop), 3 (client request) and 4 (client request complete). */
typedef void (*ulmot_AccessEventCallback)(void *context, uint32_t timestamp, uint8_t instance);
/* Event 1. `success` is 1 when the result item is 0 (or missing). */
typedef void (*ulmot_AccessCompleteCallback)(void *context, uint32_t timestamp, uint8_t instance,
                                             uint8_t success, uint8_t engineCode);
/* Event 0. `data` (null when `length` is 0) points into the event and is
 * valid only during the call. */
typedef void (*ulmot_AccessDataCompleteCallback)(void *context, uint32_t timestamp,
                                                 uint8_t instance, uint8_t success,
                                                 uint8_t engineCode, uint16_t length,
                                                 const uint8_t *data);

/* Creates an access specification. Item 3 (the tag filter specification) is
 * sent only for a filter instance other than 0; the access data (item 7) and
 * the second byte string (item 9) only when both length and bytes are given;
 * the inventory (item 1) and antenna (item 2) lists only when both array and
 * count are given. Item 8 always carries `accessDataLength`. */
ULMOT_API int32_t ulmot_AddAccessSpecification(
    ClientProcessor *client, uint8_t *instance, const uint8_t *inventories, uint8_t inventoryCount,
    uint16_t enabled, uint8_t item13, uint8_t item4, uint8_t item6, uint32_t item5,
    uint16_t accessDataLength, const uint8_t *accessData, uint16_t item9Length,
    const uint8_t *item9Data, const uint8_t *antennas, uint8_t antennaCount, uint8_t tagFilter);
/* A null password with a length other than 0 is refused with -5. */
ULMOT_API int32_t ulmot_SetAccessPassword(ClientProcessor *client, uint8_t instance,
                                          const uint8_t *password, uint16_t length);
/* Sets the tag filter this access object uses (a reference to object type 7,
 * item 3). */
ULMOT_API int32_t ulmot_SetAccessFilter(ClientProcessor *client, uint8_t instance,
                                        uint8_t tagFilter);
/* Sets the access group (Int8 item 14). */
ULMOT_API int32_t ulmot_SetAccessGroup(ClientProcessor *client, uint8_t instance, uint8_t group);
/* Sets the enabled value (Int16 item 0) as given. */
ULMOT_API int32_t ulmot_EnableAccessSpecification(ClientProcessor *client, uint8_t instance,
                                                  uint16_t enabled);
/* An empty list (no array or count 0) is -1; nothing is sent. */
ULMOT_API int32_t ulmot_SetAccessInventoryList(ClientProcessor *client, uint8_t instance,
                                               const uint8_t *inventories, uint8_t count);
/* Stores the five callbacks (null empties one) and their context, then
 * enables for every access specification exactly the event types that have
 * a callback. */
ULMOT_API int32_t ulmot_RegisterAccessEvents(ClientProcessor *client, ulmot_AccessEventCallback stop,
                                             ulmot_AccessCompleteCallback complete,
                                             ulmot_AccessDataCompleteCallback dataComplete,
                                             ulmot_AccessEventCallback clientRequest,
                                             ulmot_AccessEventCallback clientRequestComplete,
                                             void *context);

/* ---- Tag selector specifications (object type 3) ------------------------- */

/* Creates a tag selector specification of `count` filters, in this order.
 * Invalid filters are refused as by ulmot_AddTagFilterSpecification. */
ULMOT_API int32_t ulmot_AddTagSelectorSpecification(ClientProcessor *client, uint8_t *instance,
                                                    TagFilter *const *filters, uint32_t count);

/* ==== end of the tag path ==== */

/* ==== Reader: Gen2, GPI/GPO, radio, reset and RF survey, clock and versions,
 * CTI, alarms, text log ======================================================= */

/* ---- Gen2 protocol specifications (object type 4) and Gen2 parameter sets
 * (object type 18) ---------------------------------------------------------- */

/* One entry of a parameter list. Items 8, 9, 12 and 13 travel as Int16 (low
 * 16 bits of the value), item 14 (UTC time) as Int32, every other item as
 * Int8 (low 8 bits). */
typedef struct ProtocolParameter {
    uint8_t itemId;
    uint32_t value;
} ProtocolParameter;

/* One Gen2 link parameter set; each field is the item of that id. */
typedef struct Gen2ParmSet {
    uint8_t item0;
    uint32_t item1;
    uint8_t item2;
    uint8_t item3;
    uint8_t item4;
    uint16_t item5;
    uint16_t item6;
    uint8_t item11;
    uint8_t item9;
    uint8_t item10;
    uint8_t item12;
    uint8_t item13;
} Gen2ParmSet;

/* The number of parameter sets the client keeps (set numbers 0 to 19). */
#define ULMOT_GEN2_PARM_SETS 20u

/* Creates a specification from Int8 item 10 (`item10`) and the `count`
 * parameters that `parameters` points to (every pointer must be valid); the
 * new instance goes to `instance` (may be null). A list that does not fit the
 * request (520 bytes) is refused with the writer's code. */
ULMOT_API int32_t ulmot_AddGen2ProtocolSpecification(ClientProcessor *client, uint8_t *instance,
                                                     ProtocolParameter *const *parameters,
                                                     uint8_t count, uint8_t item10);
/* Sets the given parameters of an existing Gen2 protocol object, written as
 * ulmot_AddGen2ProtocolSpecification writes them. */
ULMOT_API int32_t ulmot_SetPropertiesGen2ProtocolSpecification(ClientProcessor *client,
                                                               uint8_t instance,
                                                               ProtocolParameter *const *parameters,
                                                               uint8_t count);
/* Reads the items in argument order and stops at the first one missing (-1;
 * the outputs after it are left as they were). Outputs may be null. */
ULMOT_API int32_t ulmot_GetGen2ProtocolSpecification(
    ClientProcessor *client, uint8_t instance, uint8_t *item1, uint8_t *item2, uint8_t *item3,
    uint8_t *item4, uint8_t *item5, uint8_t *item6, uint8_t *item11, uint16_t *item8,
    uint16_t *item9, uint8_t *item10, uint16_t *item12);
/* The Gen2 protocol object's UTC time (Int32 item 14); -1 when the request fails or
 * the item is missing. */
ULMOT_API int32_t ulmot_GetGen2ProtocolSpecificationUTCTime(ClientProcessor *client,
                                                            uint8_t instance, uint32_t *utcTime);
/* The number of parameter sets, fetched once per client (a count of 0 is
 * fetched again at the next call). Threads that ask while it is being
 * fetched wait for that fetch and share its outcome; a failed fetch is tried
 * again by the next call. */
ULMOT_API int32_t ulmot_GetGen2ParmSetCount(ClientProcessor *client, uint8_t *count);
/* Parameter set `setNumber` (0 to 19; -5 otherwise), fetched once per client
 * and kept once its item 12 is not 0; first uses from several threads share
 * one fetch, as with the count. `set` may be null. */
ULMOT_API int32_t ulmot_GetGen2ParmSet(ClientProcessor *client, int32_t setNumber,
                                       Gen2ParmSet *set);

/* ---- GPI (object type 2) and GPO (object type 1) ------------------------- */

/* A line changed: the line's instance and its state (Int8 item 0). */
typedef void (*ulmot_GPIEventCallback)(void *context, uint32_t timestamp, uint8_t instance,
                                       uint8_t state);
typedef void (*ulmot_GPOEventCallback)(void *context, uint32_t timestamp, uint8_t instance,
                                       uint8_t state);

/* 0 and a count of 0, without a request, when no processor is attached to
 * object type 2; else the instance count (lines numbered 1 to N, checked). */
ULMOT_API int32_t ulmot_GetGPICount(ClientProcessor *client, uint8_t *count);
/* A line's state (Int8 item 0) read or written, and its threshold (Int8 item
 * 1) set or read; one request each. */
ULMOT_API int32_t ulmot_ReadGPI(ClientProcessor *client, uint8_t instance, uint8_t *state);
ULMOT_API int32_t ulmot_WriteGPI(ClientProcessor *client, uint8_t instance, uint8_t state);
ULMOT_API int32_t ulmot_SetGPIThreshold(ClientProcessor *client, uint8_t instance,
                                        uint8_t threshold);
ULMOT_API int32_t ulmot_GetGPIThreshold(ClientProcessor *client, uint8_t instance,
                                        uint8_t *threshold);
/* Stores the one GPI callback (whatever `enable` says: disabling one line
 * keeps it for the others), then enables or disables the line's event. */
ULMOT_API int32_t ulmot_RegisterGPIEvent(ClientProcessor *client, uint8_t instance,
                                         ulmot_GPIEventCallback callback, void *context,
                                         uint8_t enable);
/* Enables or disables one line's event; the callback stays as it is. */
ULMOT_API int32_t ulmot_EnableGPIEvent(ClientProcessor *client, uint8_t instance, uint8_t enable);
/* Stores the GPI callback only; nothing is sent. */
ULMOT_API int32_t ulmot_SetGPIEventHandler(ClientProcessor *client,
                                           ulmot_GPIEventCallback callback, void *context);

/* As ulmot_GetGPICount, for object type 3. Then an output's state (Int8 item
 * 0) read or written. */
ULMOT_API int32_t ulmot_GetGPOCount(ClientProcessor *client, uint8_t *count);
ULMOT_API int32_t ulmot_ReadGPO(ClientProcessor *client, uint8_t instance, uint8_t *state);
ULMOT_API int32_t ulmot_WriteGPO(ClientProcessor *client, uint8_t instance, uint8_t state);
/* Writes every output at once: `outputs` holds two bytes per output, sent
 * unchanged. -5 for a null `outputs` with a count. */
ULMOT_API int32_t ulmot_WriteAllGPO(ClientProcessor *client, const uint8_t *outputs,
                                    uint32_t count);
/* Enable non-zero stores callback and context, 0 empties the GPO callback;
 * then enables or disables the line's event. */
ULMOT_API int32_t ulmot_RegisterGPOEvent(ClientProcessor *client, uint8_t instance,
                                         ulmot_GPOEventCallback callback, void *context,
                                         uint8_t enable);

/* ---- Radio (object type 12, instance 1) ----------------------------------- */

#define ULMOT_RADIO_BYTES_MAX 100u  /* items 9 and 13 */
#define ULMOT_RADIO_VALUES_MAX 100u /* item 8, 32-bit values */

/* The radio's properties. A byte-array field whose item is missing, longer
 * than its field, or cut short by the message has length 0 and zero bytes;
 * the lengths never exceed 100. */
typedef struct RadioProperties {
    uint8_t channel;           /* item 0 */
    uint32_t cycleTimeLeft;    /* item 1 */
    uint8_t radioState;        /* item 2 */
    uint8_t temperatureState;  /* item 3 */
    uint16_t temperature;      /* item 4 */
    uint32_t property10;       /* item 10 */
    uint32_t property11;       /* item 11 */
    uint8_t property12;        /* item 12 */
    uint8_t property13[ULMOT_RADIO_BYTES_MAX];
    uint16_t property13Length; /* bytes of item 13 */
    uint32_t property8[ULMOT_RADIO_VALUES_MAX];
    uint16_t property8Count;   /* values of item 8 (its length / 4) */
    uint8_t property7;         /* item 7 */
    uint8_t property9[ULMOT_RADIO_BYTES_MAX];
    uint16_t property9Length;  /* bytes of item 9 */
} RadioProperties;

typedef void (*ulmot_ChannelChangeCallback)(void *context, uint32_t timestamp, uint8_t channel);
typedef void (*ulmot_CycleTimeLeftCallback)(void *context, uint32_t timestamp,
                                            uint32_t cycleTimeLeft);
typedef void (*ulmot_RadioStateCallback)(void *context, uint32_t timestamp, uint8_t radioState);
typedef void (*ulmot_TemperatureCallback)(void *context, uint32_t timestamp, uint16_t temperature,
                                          uint8_t temperatureState);

/* Fills the whole record (missing scalars are 0). -1 only when the
 * properties could not be fetched (the record is then untouched). */
ULMOT_API int32_t ulmot_GetRadioProperties(ClientProcessor *client, RadioProperties *properties);
/* Selects supported country code `selector` (a property change that stays in
 * force), then reads the code and its text (at most 80 bytes, copied as
 * received, not terminated, into `text` of at least 80 bytes). -1 when the
 * text holds at most one byte (no such country code). */
ULMOT_API int32_t ulmot_GetRadioSupportedCountryCode(ClientProcessor *client, uint32_t selector,
                                                     uint16_t *code, char *text);
/* Replaces the four radio callbacks and their context as a set (a null
 * callback disables its event) and enables the events that have one. */
ULMOT_API int32_t ulmot_RegisterRadioEvents(ClientProcessor *client,
                                            ulmot_ChannelChangeCallback channelChangeCallback,
                                            ulmot_CycleTimeLeftCallback cycleTimeLeftCallback,
                                            ulmot_RadioStateCallback radioStateCallback,
                                            ulmot_TemperatureCallback temperatureCallback,
                                            void *context);

/* ---- Reset (object type 9) and RF survey (object type 19) specifications -- */

/* A reset is done; `instance` is the reset specification that reports. */
typedef void (*ulmot_ResetDoneCallback)(void *context, uint32_t timestamp, uint8_t instance);
/* RF survey events 0 and 1. */
typedef void (*ulmot_RFSurveyCallback)(void *context, uint32_t timestamp, uint8_t instance);
/* A measurement; the signed values are sign-extended from 16 bits. */
typedef void (*ulmot_RFSurveyMeasurementCallback)(void *context, uint32_t timestamp,
                                                  uint8_t instance, uint32_t currentChannel,
                                                  int32_t averageRssi, int32_t value4,
                                                  uint16_t value5, uint8_t objectInstance);

/* Adds a reset specification: the value's low 16 bits (item 0), the object it
 * resets (reference item 1) and the flag (item 2); the new instance goes to
 * `instance` (may be null). */
ULMOT_API int32_t ulmot_AddResetSpecification(ClientProcessor *client, uint8_t *instance,
                                              uint32_t value, uint32_t objectType,
                                              uint8_t objectInstance, uint8_t flag);
/* Enable non-zero stores callback and context, 0 clears both. */
ULMOT_API int32_t ulmot_RegisterResetDone(ClientProcessor *client,
                                          ulmot_ResetDoneCallback callback, void *context,
                                          uint32_t enable);
/* Adds an RF survey specification of two Int32 parameters (items 0 and 1);
 * the new instance goes to `instance` (may be null). */
ULMOT_API int32_t ulmot_AddRFSurveySpecification(ClientProcessor *client, uint8_t *instance,
                                                 uint32_t parameter0, uint32_t parameter1);
/* Replaces the three callbacks and their context as a set (null disables
 * that event) and enables the events that have one. */
ULMOT_API int32_t ulmot_RegisterRFSurveyEvents(ClientProcessor *client,
                                               ulmot_RFSurveyCallback callback0,
                                               ulmot_RFSurveyCallback callback1,
                                               ulmot_RFSurveyMeasurementCallback measurementCallback,
                                               void *context);

/* ---- Timestamp (type 15), version information (type 0), RTC (type 24) ---- */

#define ULMOT_VERSION_STRINGS 10u
#define ULMOT_VERSION_STRING_SIZE 100u /* 99 characters and the terminator */

/* The two timestamp words; -1 when either item is missing (its output 0). */
ULMOT_API int32_t ulmot_GetTimestamp(ClientProcessor *client, uint32_t *first, uint32_t *second);
/* Version string `which` (0 to 9) into `text`: at most `length` - 1
 * characters, the rest of the buffer zero-filled. Another selector gives
 * "UNKNOWN" and -5. A `length` of 0 (or a null `text`) writes nothing and
 * gives -5. The version information is fetched once per client; threads that
 * ask while it is being fetched wait for that fetch and share its outcome; a
 * failed fetch (-1, buffer untouched) is tried again by the next call. */
ULMOT_API int32_t ulmot_GetVersion(ClientProcessor *client, uint32_t which, char *text,
                                   uint32_t length);
/* The radio model from the version information (fetched as above). */
ULMOT_API int32_t ulmot_GetRadioModel(ClientProcessor *client, uint16_t *model);
/* The seven clock fields; any output may be null, a missing item gives 0. */
ULMOT_API int32_t ulmot_GetRTC(ClientProcessor *client, uint8_t *field0, uint8_t *field1,
                               uint8_t *field2, uint8_t *field3, uint8_t *field4,
                               uint8_t *field5, uint8_t *field6);
/* Sets the clock fields whose pointers are not null. */
ULMOT_API int32_t ulmot_SetRTC(ClientProcessor *client, const uint8_t *field0,
                               const uint8_t *field1, const uint8_t *field2,
                               const uint8_t *field3, const uint8_t *field4,
                               const uint8_t *field5, const uint8_t *field6);

/* ---- CTI objects (object type 10) ----------------------------------------- */

ULMOT_API int32_t ulmot_AddCTIObject(ClientProcessor *client, uint8_t *instance);
/* Sends request `code` with `length` bytes of `data` (waits up to 20000 ms).
 * On 0: the status and the response bytes; `responseLength` gives the
 * buffer's size on entry and holds the response's length on return (also
 * when the response is too long for the buffer: -3, nothing copied).
 * `responseLength` is required, and `data` when `length` is not 0 (-5). */
ULMOT_API int32_t ulmot_CTIRequest(ClientProcessor *client, uint8_t instance, uint8_t code,
                                   const uint8_t *data, uint16_t length, uint16_t *status,
                                   uint8_t *response, uint16_t *responseLength);

/* ---- NXP alarm specifications (object type 22) ---------------------------- */

/* An alarm of specification `instance`, seen on antenna pair
 * `antennaPairInstance` (0 when the event does not name it). */
typedef void (*ulmot_NxpAlarmCallback)(void *context, uint32_t timestamp, uint8_t instance,
                                       uint8_t antennaPairInstance);

/* Adds an alarm specification watching the object (reference item 0, low 8
 * bits of type and instance); the new instance goes to `instance` (may be
 * null). */
ULMOT_API int32_t ulmot_AddNxpAlarmSpecification(ClientProcessor *client, uint8_t *instance,
                                                 uint32_t objectType, uint32_t objectInstance);
/* Enable non-zero stores callback and context, 0 clears both. */
ULMOT_API int32_t ulmot_RegisterNxpAlarmEvent(ClientProcessor *client,
                                              ulmot_NxpAlarmCallback callback, void *context,
                                              uint32_t enable);

/* ---- Text log (object type 13) -------------------------------------------- */

#define ULMOT_TEXT_LOG_MAX 128u

/* One log message: `text` holds the bytes as received (at most 128) followed
 * by a terminating zero, so it can be read as a string; valid only during
 * the call. */
typedef void (*ulmot_TextLogCallback)(void *context, uint32_t timestamp, const char *text);

/* Enable non-zero stores callback and context, 0 clears both. */
ULMOT_API int32_t ulmot_RegisterTextLogMessage(ClientProcessor *client,
                                               ulmot_TextLogCallback callback, void *context,
                                               uint32_t enable);

/* ==== end of the reader ==== */

#ifdef __cplusplus
}
#endif

#endif /* ULMOT_OBJECTS_H */
