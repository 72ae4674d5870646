// The client's event dispatch table: [object type 0-23][event type 0-4] of
// family handlers; empty where the library handles no such event.
#include "processors/client.h"

namespace ulmot::processors {

namespace {
constexpr ClientEventHandler kNone = nullptr;
}

const ClientEventHandler kClientEventTable[kEventObjectTypes][kEventTypes] = {
    /* 0 version */ {kNone, kNone, kNone, kNone, kNone},
    /* 1 GPO */ {kNone, kNone, kNone, kNone, kNone},
    /* 2 GPI */ {kNone, kNone, kNone, kNone, kNone},
    /* 3 tag selector */ {kNone, kNone, kNone, kNone, kNone},
    /* 4 Gen2 protocol */ {kNone, kNone, kNone, kNone, kNone},
    /* 5 inventory */ {kNone, kNone, kNone, kNone, kNone},
    /* 6 tag filter */ {kNone, kNone, kNone, kNone, kNone},
    /* 7 access */ {kNone, kNone, kNone, kNone, kNone},
    /* 8 antenna */ {kNone, kNone, kNone, kNone, kNone},
    /* 9 reset */ {kNone, kNone, kNone, kNone, kNone},
    /* 10 CTI */ {kNone, kNone, kNone, kNone, kNone},
    /* 11 schedule */ {kNone, kNone, kNone, kNone, kNone},
    /* 12 radio */ {kNone, kNone, kNone, kNone, kNone},
    /* 13 text log */ {kNone, kNone, kNone, kNone, kNone},
    /* 14 delivery processor */ {ClientHandleProcessorRemoved, ClientHandleProcessorAdded, kNone, kNone, kNone},
    /* 15 timestamp */ {kNone, kNone, kNone, kNone, kNone},
    /* 16 client */ {kNone, kNone, kNone, kNone, kNone},
    /* 17 antenna pair */ {kNone, kNone, kNone, kNone, kNone},
    /* 18 Gen2 parameter set */ {kNone, kNone, kNone, kNone, kNone},
    /* 19 RF survey */ {kNone, kNone, kNone, kNone, kNone},
    /* 20 */ {kNone, kNone, kNone, kNone, kNone},
    /* 21 */ {kNone, kNone, kNone, kNone, kNone},
    /* 22 alarm */ {kNone, kNone, kNone, kNone, kNone},
    /* 23 IOCTL */ {kNone, kNone, kNone, kNone, kNone},
};

}  // namespace ulmot::processors
