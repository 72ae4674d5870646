// processors/reader_slots.h - the callback slots and caches that the object
// families of Gen2, GPI/GPO, radio, reset and RF survey, clock and versions, CTI, alarms and the text log keep in the ClientProcessor. Not exported.
#pragma once

#include "processors/slots.h"
#include "ulmot/objects.h"

namespace ulmot::processors {

struct ReaderSlots {
};

}  // namespace ulmot::processors
