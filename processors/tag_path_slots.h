// processors/tag_path_slots.h - the callback slots and caches that the object
// families of inventory, access, antennas, tag filters, schedules and tag selectors keep in the ClientProcessor. Not exported.
#pragma once

#include "processors/slots.h"
#include "ulmot/objects.h"

namespace ulmot::processors {

struct TagPathSlots {
};

}  // namespace ulmot::processors
