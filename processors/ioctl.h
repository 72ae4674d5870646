// processors/ioctl.h - the IoctlProcessor record. Not exported.
#pragma once

#include <cstdint>

#include "processors/client.h"

struct IoctlProcessor {
    Transport *transport;
    Session *session;  // with the processor's reference: valid even after an unrequested end
    char name[17];     // at most 16 characters and a terminator
    uint8_t processorId;
    ulmot::processors::CallbackSlot<ulmot_IoctlCallback> ioctl;
};
