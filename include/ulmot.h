/*
 * ulmot.h - the whole C interface of libulmot.
 *
 * Call streams_buf_init() once before anything else: until then every pool is
 * empty. Every operation returns a result code (0 success, -1 local failure,
 * -3/-4/-5/-7/-8 as documented, or the responder's own code); failures write
 * one line to stderr through ulmot_Debug().
 */
#ifndef ULMOT_H
#define ULMOT_H

#include "ulmot/buffers.h"
#include "ulmot/items.h"
#include "ulmot/session.h"
#include "ulmot/processors.h"
#include "ulmot/objects.h"

#endif /* ULMOT_H */
