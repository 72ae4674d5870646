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

/* ==== end of the tag path ==== */

/* ==== Reader: Gen2, GPI/GPO, radio, reset and RF survey, clock and versions,
 * CTI, alarms, text log ======================================================= */

/* ==== end of the reader ==== */

#ifdef __cplusplus
}
#endif

#endif /* ULMOT_OBJECTS_H */
