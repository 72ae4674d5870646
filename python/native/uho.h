/*
 * uho.h - the hand-off between the library's threads and a language runtime
 * (the Python package): a bounded inbox of records.
 *
 * The library calls its callbacks on the client's queue thread. A binding
 * registers the uho_On... functions below as those callbacks, with an inbox
 * as their context: each copies what the event carries into one record (never
 * a pointer into the event's block) and returns. No code of the runtime runs
 * on the library's thread, and nothing here calls back into the library. The
 * runtime's own thread takes whole records with uho_Take, in the order they
 * were pushed, waiting on a condition variable (or, for an event loop, on the
 * descriptor of uho_Fd).
 *
 * Bounded: tag reports are refused once `capacity` bytes of records wait, and
 * counted (uho_Dropped, uho_TagCounts); the other records (schedule, access, GPIO and log
 * events, a few in a run) have room of their own on top, an eighth of the
 * capacity more, so that the end of a run is never the record that is lost.
 *
 * Records are laid out in host byte order, one after the other, each a
 * header and a body:
 *   header (16 bytes): u16 size (header and body), u8 kind, u8 0,
 *                      u32 reader time (ms), u64 host time (ns since 1970)
 *   UHO_TAG:      u32 sequence, u16 pc, xpc1, xpc2, crc, i16 rssi (0.1 dBm),
 *                 u16 channel, phase, round, format, u8 antenna, instance,
 *                 epc bytes (n), then the n EPC bytes
 *   UHO_SCHEDULE_START/STOP: u32 schedule, u8 reason (0 for a start)
 *   UHO_GPI/UHO_GPO: u8 line, u8 state
 *   UHO_TEXT:     the text, without its terminator
 *   UHO_ACCESS:   u8 instance, u8 success, u8 code, then the data read
 */
#ifndef ULMOT_UHO_H
#define ULMOT_UHO_H

#include <stdint.h>

#include "ulmot.h"

#if defined(ULMOT_BUILDING_HANDOFF)
#define UHO_API __attribute__((visibility("default")))
#else
#define UHO_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define UHO_TAG 1u
#define UHO_SCHEDULE_START 2u
#define UHO_SCHEDULE_STOP 3u
#define UHO_GPI 4u
#define UHO_GPO 5u
#define UHO_TEXT 6u
#define UHO_ACCESS 7u
#define UHO_KINDS 8u

#define UHO_HEADER_SIZE 16u
#define UHO_TAG_BODY_SIZE 25u

typedef struct uho_Inbox uho_Inbox;

/* An inbox that keeps at most `capacity` bytes of tag records (at least
 * 4096). Null when memory cannot be had. */
UHO_API uho_Inbox *uho_Create(uint32_t capacity);
/* Frees the inbox. No callback may be running with it, nor registered. */
UHO_API void uho_Destroy(uho_Inbox *inbox);

/* Copies whole records, oldest first, into `out` (at most `size` bytes),
 * after waiting up to `timeoutMs` for the first one. The number of bytes
 * copied: 0 when nothing came in time or uho_Wake was called. A record larger
 * than `size` stays where it is (sizes of 65536 and more always do). */
UHO_API uint32_t uho_Take(uho_Inbox *inbox, uint8_t *out, uint32_t size, uint32_t timeoutMs);
/* Returns a waiting uho_Take at once (and the next one, if none waits). */
UHO_API void uho_Wake(uho_Inbox *inbox);
/* Drops every record that waits and sets every count back to 0 (before a
 * run: report numbers start again from 1). */
UHO_API void uho_Reset(uho_Inbox *inbox);
/* A descriptor that is readable while records wait (an eventfd, made on the
 * first call): for event loops. -1 when it cannot be made. */
UHO_API int uho_Fd(uho_Inbox *inbox);
/* Bytes of records waiting. */
UHO_API uint32_t uho_Pending(uho_Inbox *inbox);
/* Records of `kind` refused so far because the inbox was full. */
UHO_API uint64_t uho_Dropped(uho_Inbox *inbox, uint32_t kind);
/* For the tag reports of inventory `instance`: those refused because the
 * inbox was full (*dropped), the gaps in their report numbers (*lost:
 * reports that never reached the callback), and the highest report number
 * seen (*last: reports after it that never came show only against the
 * count the run was meant to have). Any pointer may be null. */
UHO_API void uho_TagCounts(uho_Inbox *inbox, uint8_t instance, uint64_t *dropped, uint64_t *lost, uint32_t *last);

/* The callbacks, with the library's signatures; `context` is the inbox. */
UHO_API void uho_OnTagReport(void *context, uint32_t timestamp, uint8_t instance, const TagReport *report);
UHO_API void uho_OnScheduleStart(void *context, uint32_t timestamp, uint32_t scheduleId);
UHO_API void uho_OnScheduleStop(void *context, uint32_t timestamp, uint32_t scheduleId, uint8_t reason);
UHO_API void uho_OnGpi(void *context, uint32_t timestamp, uint8_t line, uint8_t state);
UHO_API void uho_OnGpo(void *context, uint32_t timestamp, uint8_t line, uint8_t state);
UHO_API void uho_OnText(void *context, uint32_t timestamp, const char *text);
UHO_API void uho_OnAccessComplete(void *context, uint32_t timestamp, uint8_t instance, uint8_t success,
                                  uint8_t code);
UHO_API void uho_OnAccessData(void *context, uint32_t timestamp, uint8_t instance, uint8_t success,
                              uint8_t code, uint16_t length, const uint8_t *data);

#ifdef __cplusplus
}
#endif

#endif /* ULMOT_UHO_H */
