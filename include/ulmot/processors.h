/*
 * ulmot/processors.h - processors: registration with the delivery processor,
 * the client processor, the IOCTL processor and the generic object operations.
 *
 * A ClientProcessor is what an application holds to use the reader. Creating
 * one opens a session over the host's transport, registers the application's
 * name with the delivery processor (processor id 0, object type 14) and keeps
 * the processor id it is given. Its attach table records, for each object
 * type 0 to 24, which processor requests of that type go to (object types of
 * 25 or more go to processor 0). Events reaching the client are handed to the
 * family handlers, which call the application's callbacks on the session's
 * queue thread, one at a time. A callback may call the client's request
 * operations but must not destroy its own client.
 *
 * When the link goes without being asked to, the client reconnects by itself:
 * every 500 ms it probes the transport and, once the link is back, starts and
 * registers a new session (new processor id; attach table and callbacks
 * kept; event registrations are not repeated). While it reconnects, its
 * request operations return -1 at once and ulmot_GetClientSession returns
 * null.
 *
 * An IoctlProcessor is a processor of its own (object type 23 only) that
 * answers IOCTL requests of other processors through a callback.
 */
#ifndef ULMOT_PROCESSORS_H
#define ULMOT_PROCESSORS_H

#include <stdint.h>

#include "buffers.h"
#include "session.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Object types (one byte in the message header). */
#define ULMOT_OBJ_VERSION 0u
#define ULMOT_OBJ_GPO 1u
#define ULMOT_OBJ_GPI 2u
#define ULMOT_OBJ_TAG_SELECTOR 3u
#define ULMOT_OBJ_GEN2_PROTOCOL 4u
#define ULMOT_OBJ_INVENTORY 5u
#define ULMOT_OBJ_TAG_FILTER 6u
#define ULMOT_OBJ_ACCESS 7u
#define ULMOT_OBJ_ANTENNA 8u
#define ULMOT_OBJ_RESET 9u
#define ULMOT_OBJ_CTI 10u
#define ULMOT_OBJ_SCHEDULE 11u
#define ULMOT_OBJ_RADIO 12u
#define ULMOT_OBJ_TEXT_LOG 13u
#define ULMOT_OBJ_DELIVERY 14u
#define ULMOT_OBJ_TIMESTAMP 15u
#define ULMOT_OBJ_CLIENT 16u
#define ULMOT_OBJ_ANTENNA_PAIR 17u
#define ULMOT_OBJ_GEN2_PARM_SET 18u
#define ULMOT_OBJ_RF_SURVEY 19u
#define ULMOT_OBJ_NXP_ALARM 22u
#define ULMOT_OBJ_IOCTL 23u
#define ULMOT_OBJ_RTC 24u
#define ULMOT_ATTACH_ENTRIES 25u

/* Commands (one byte in the message header). */
#define ULMOT_CMD_GET_INSTANCES 0u
#define ULMOT_CMD_ADD 1u
#define ULMOT_CMD_REMOVE 2u
#define ULMOT_CMD_SET_PROPERTIES 3u
#define ULMOT_CMD_GET_PROPERTIES 4u
#define ULMOT_CMD_EVENT_REGISTRATION 5u
#define ULMOT_CMD_EVENT_PROPERTIES 6u
#define ULMOT_CMD_OBJECT_SPECIFIC 100u
#define ULMOT_CMD_OBJECT_SPECIFIC_2 101u

/* Search by name with this object type searches the name alone. */
#define ULMOT_ANY_OBJECT_TYPE 199u

typedef struct ClientProcessor ClientProcessor;
typedef struct IoctlProcessor IoctlProcessor;

/* ---- Delivery-processor requests ------------------------------------------ */

/* Registers `name` (1 to 254 bytes) as a processor providing `count` object
 * types (low 8 bits of each are sent). The assigned id goes to `processorId`
 * whenever a result code was read; it is meaningful when the result is 0.
 * -5 for an improper name (nothing sent). */
ULMOT_API int32_t ulmot_DeliveryProcessorRegistration(Session *session, const char *name,
                                                      const uint32_t *objectTypes, uint32_t count,
                                                      uint8_t *processorId);
/* Deregisters processor `processorId` (its low 8 bits, sent as the instance). */
ULMOT_API int32_t ulmot_DeliveryProcessorDeregistration(Session *session, uint32_t processorId);
/* Searches by name (command 100; object type 199 searches the name alone) or,
 * with a null name, by object type (command 101). On 0 the processor found is
 * stored (0: none named in the response). */
ULMOT_API int32_t ulmot_FindProcessorByName(Session *session, uint32_t ownProcessorId,
                                            const char *name, uint32_t objectType,
                                            uint8_t *processorId, uint8_t findFlag);

/* ---- Client processor -------------------------------------------------------- */

typedef void (*ulmot_ProcessorAddedCallback)(void *context, uint32_t timestamp, uint8_t processorId,
                                             const uint32_t *objectTypes, uint32_t count);
typedef void (*ulmot_ProcessorRemovedCallback)(void *context, uint32_t timestamp,
                                               uint8_t processorId);
typedef void (*ulmot_AttachedProcessorRemovedCallback)(void *context, uint32_t timestamp,
                                                       uint32_t objectType, uint8_t processorId);

/* 0 and the client (registered under the first 30 characters of `name`);
 * -7 when it cannot be allocated; -1 when the session cannot be started. */
ULMOT_API int32_t ulmot_CreateClientProcessor(Transport *transport, const char *name,
                                              ClientProcessor **client);
/* Deregisters, ends the session and releases the client; also stops a client
 * that is reconnecting. Waits for a callback that is running to return (a
 * request the callback is waiting on returns -1 at once). Call it once, from
 * one thread, when no other thread is in (or about to enter) an operation of
 * this client; never from one of its callbacks. */
ULMOT_API void ulmot_DestroyClientProcessor(ClientProcessor *client);
/* The current session, or null while the client reconnects. After the
 * session has ended (the client reconnected), calls made with the pointer
 * return -1; the pointer stays safe to use in this way until the client has
 * reconnected 32 more times or is destroyed. */
ULMOT_API Session *ulmot_GetClientSession(ClientProcessor *client);
/* The id the delivery processor assigned at the last registration (a new one
 * after each reconnection). */
ULMOT_API uint8_t ulmot_GetClientProcessorID(ClientProcessor *client);

/* Sets only the processor of the attach entry. -5 outside 0 to 24. */
ULMOT_API int32_t ulmot_AttachTargetProcessor(ClientProcessor *client, int32_t objectType,
                                              uint8_t processorId);
/* Attaches the processor that provides `objectType` (search by type). 0 or
 * -1 (not found, or an object type of 25 or more). */
ULMOT_API int32_t ulmot_AttachDefaultObjectProcessor(ClientProcessor *client, uint32_t objectType,
                                                     uint8_t notifyOnRemoval, uint8_t findFlag);
/* Attaches the processor named `name` to `objectType`. 0 or -1. */
ULMOT_API int32_t ulmot_AttachProcessorByName(ClientProcessor *client, const char *name,
                                              uint32_t objectType, uint8_t notifyOnRemoval);
/* The attach entry's processor id; 0 for object types of 25 or more. */
ULMOT_API uint8_t ulmot_GetAssignedProcessorFromObject(ClientProcessor *client,
                                                       uint32_t objectType);

/* Enable non-zero stores callback and context; 0 clears the callback only. */
ULMOT_API int32_t ulmot_RegisterProcessorAddedEvent(ClientProcessor *client,
                                                    ulmot_ProcessorAddedCallback callback,
                                                    void *context, uint32_t enable);
ULMOT_API int32_t ulmot_RegisterProcessorRemovedEvent(ClientProcessor *client,
                                                      ulmot_ProcessorRemovedCallback callback,
                                                      void *context, uint32_t enable);
ULMOT_API int32_t ulmot_RegisterAttachedProcessorRemovedEvent(
    ClientProcessor *client, ulmot_AttachedProcessorRemovedCallback callback, void *context,
    uint32_t enable);

/* ---- IOCTL ------------------------------------------------------------------ */

/* Answers one IOCTL request: writes at most `responseCapacity` (1000) bytes
 * to `response` and their count to `responseLength` (0 on entry). The result's
 * low 8 bits travel as the status. `request` is valid only during the call. */
typedef int32_t (*ulmot_IoctlCallback)(void *context, const uint8_t *request,
                                       uint16_t requestLength, uint8_t *response,
                                       uint32_t responseCapacity, uint16_t *responseLength);

/* A processor that serves IOCTL requests (object type 23) and nothing else: a
 * session over `transport`, registered under the first 16 characters of
 * `name` as providing type 23. Each request of command 100 goes to its
 * callback and is answered with the callback's bytes (item 2) and status
 * (item 3); its own statuses: 1 without a callback, 2 for another command, 3
 * when the request's data (item 1, at most 1000 bytes) cannot be read.
 * Requests of other object types are logged and dropped. It does not
 * reconnect. 0 and the processor in *processor; -7 when it cannot be
 * allocated, -1 when the session or the registration fails (with a line). */
ULMOT_API int32_t ulmot_CreateIOCTLProcessor(Transport *transport, const char *name,
                                             IoctlProcessor **processor);
/* Deregisters, ends the session and frees the processor; waits for a callback
 * that is running (its answer is not sent). Safe after the link has gone;
 * null does nothing. Call it once, never from its callback. Returns 0. */
ULMOT_API int32_t ulmot_DestroyIOCTLProcessor(IoctlProcessor *processor);
/* Stores the callback and its context (a null callback: requests are answered
 * with status 1). Returns 0. */
ULMOT_API int32_t ulmot_RegisterIOCTLProcessorCallback(IoctlProcessor *processor,
                                                       ulmot_IoctlCallback callback, void *context);
/* The client's IOCTL callback: enable non-zero stores both, 0 clears both. */
ULMOT_API int32_t ulmot_RegisterIOCTL(ClientProcessor *client, ulmot_IoctlCallback callback,
                                      void *context, uint32_t enable);

/* ---- Generic object operations -------------------------------------------------- */

/* Event masks: bit n stands for event type n. Selection: the types this
 * request changes; enable: 1 enables a selected type, 0 disables it. */
ULMOT_API int32_t ulmot_EventRegistration(Session *session, uint8_t sourceId, uint8_t destinationId,
                                          uint32_t objectType, uint8_t instance,
                                          uint32_t selectionMask, uint32_t enableMask);
/* Makes the events of `instance` carry (attach != 0) or stop carrying the
 * properties `propertyIds` (at most 253). */
ULMOT_API int32_t ulmot_RegisterEventProperties(Session *session, uint32_t attach, uint8_t sourceId,
                                                uint8_t destinationId, uint32_t objectType,
                                                uint8_t instance, const uint8_t *propertyIds,
                                                uint8_t propertyCount);
/* Get-properties request for the instance, then the first Int8 (Int16) item
 * `itemId` of the response into *value. -1 when the request fails or the
 * response lacks the item ("...: Failed to find property in response"). */
ULMOT_API int32_t ulmot_GetPropertyInt8(ClientProcessor *client, uint32_t objectType,
                                        uint8_t instance, uint32_t itemId, uint8_t *value);
ULMOT_API int32_t ulmot_GetPropertyInt16(ClientProcessor *client, uint32_t objectType,
                                         uint8_t instance, uint32_t itemId, uint16_t *value);
/* Reads a text property into `buffer` (at most size - 1 bytes and a zero).
 * A size of 0 writes nothing and returns -5. */
ULMOT_API int32_t ulmot_GetPropertyString(ClientProcessor *client, uint32_t objectType,
                                          uint8_t instance, uint32_t itemId, char *buffer,
                                          uint8_t size);

/* Property descriptor groups for ulmot_SetObjectProperties, one per item:
 * (type code, item id, pointer to the value[, length]), ended by
 * ULMOT_PROP_END. The value pointers are read while the call runs. */
#define ULMOT_PROP_INT8 0u       /* value: uint8_t */
#define ULMOT_PROP_INT16 1u      /* value: uint16_t */
#define ULMOT_PROP_INT32 2u      /* value: uint32_t */
#define ULMOT_PROP_OBJECT_REF 3u /* value: PropertyObjectReference */
#define ULMOT_PROP_BYTE_ARRAY 4u /* value: bytes; fourth argument: byte count */
#define ULMOT_PROP_INT8_LIST 5u  /* value: bytes; fourth argument: element count */
#define ULMOT_PROP_END_CODE 8u
/* The end group: three integer arguments, never read as a pointer. */
#define ULMOT_PROP_END ULMOT_PROP_END_CODE, 0u, 0u

/* The value of an object reference descriptor: object type, then instance. */
typedef struct PropertyObjectReference {
    uint32_t objectType;
    uint8_t instance;
} PropertyObjectReference;

/* Sends one set-properties request built from the descriptor list.
 * Example: ulmot_SetObjectProperties(c, 8, 1, ULMOT_PROP_INT16, 3, &power,
 *                                    ULMOT_PROP_END);
 * -5 for descriptor type codes 6 and 7, -7 when the request cannot be built. */
ULMOT_API int32_t ulmot_SetObjectProperties(ClientProcessor *client, uint32_t objectType,
                                            uint8_t instance, ...);
/* Counts the instances of `objectType` (into `count`, if given). With `check`
 * set, a largest instance number other than the count is -1 (instances are
 * then not numbered 1 to N). */
ULMOT_API int32_t ulmot_GetInstanceCount(Session *session, uint8_t sourceId, uint8_t destinationId,
                                         uint32_t objectType, uint8_t check, uint8_t *count);
/* Asks the processor attached to `objectType` to remove the instance: 0, the
 * reader's result code, -1 without a session or answer, -7 when no block can
 * be had. */
ULMOT_API int32_t ulmot_RemoveObject(ClientProcessor *client, uint32_t objectType,
                                     uint8_t instance);

#ifdef __cplusplus
}
#endif

#endif /* ULMOT_PROCESSORS_H */
