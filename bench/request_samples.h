// Two typical request bodies, built by the library's own builders: an access
// specification add (read 6 TID words through two inventories on two
// antennas) and a descriptor-list set-properties (an antenna's power, its
// receive list and two settings). Shared by the benchmarks and the
// instruction counts.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "objects/family.h"
#include "processors/client.h"

namespace ulmot::bench {

inline MessageBlock *TypicalAccessAddBody() {
    static const uint8_t inventories[] = {1, 2};
    static const uint8_t antennas[] = {1, 2};
    static const uint8_t password[] = {0, 0, 0, 0};
    const objects::AccessAddRequest request{inventories, 2, 1, 0, 2, 0, 6, 0, nullptr, 4, password, antennas, 2, 0};
    int32_t failure = 0;
    return objects::BuildAccessAddBody(request, &failure);
}

inline MessageBlock *SetPropertiesBody(int32_t *failure, ...) {
    va_list descriptors;
    va_start(descriptors, failure);
    MessageBlock *b = processors::BuildSetPropertiesBody(descriptors, failure);
    va_end(descriptors);
    return b;
}

inline MessageBlock *TypicalSetPropertiesBody() {
    static const uint16_t power = 3000;
    static const uint8_t receiveList[] = {1, 2, 3};
    static const uint8_t mode = 1;
    static const uint32_t dwell = 200;
    int32_t failure = 0;
    return SetPropertiesBody(&failure, ULMOT_PROP_INT16, 5u, &power, ULMOT_PROP_INT8_LIST, 3u, receiveList,
                             uint32_t{3}, ULMOT_PROP_INT8, 6u, &mode, ULMOT_PROP_INT32, 7u, &dwell, ULMOT_PROP_END);
}

}  // namespace ulmot::bench
