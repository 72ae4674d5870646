// processors/tag_path_slots.h - the callback slots that the object families
// of inventory, access, antennas, tag filters, schedules and tag selectors
// keep in the ClientProcessor. Not exported.
//
// A family whose callbacks share one context keeps them as one Guarded
// group: a registration replaces the whole group at once and a handler
// copies it whole, so it never calls one registration's function with
// another's context.
#pragma once

#include "processors/slots.h"
#include "ulmot/objects.h"

namespace ulmot::processors {

struct InventoryCallbacks {
    ulmot_InventoryEvent0Callback event0;
    ulmot_InventoryEvent1Callback event1;
    ulmot_TagReportCallback tagReport;
    void *context;
};

struct AccessCallbacks {
    ulmot_AccessEventCallback stop;
    ulmot_AccessCompleteCallback complete;
    ulmot_AccessDataCompleteCallback dataComplete;
    ulmot_AccessEventCallback clientRequest;
    ulmot_AccessEventCallback clientRequestComplete;
    void *context;
};

struct ScheduleCallbacks {
    ulmot_ScheduleStartCallback start;
    ulmot_ScheduleStopCallback stop;
    void *context;
};

struct TagPathSlots {
    Guarded<InventoryCallbacks> inventory;
    Guarded<AccessCallbacks> access;
    Guarded<ScheduleCallbacks> schedule;
    CallbackSlot<ulmot_AntennaPairActivationCallback> antennaPairActivation;
    CallbackSlot<ulmot_TxAntennaVSWRStatusCallback> txAntennaVSWRStatus;
};

}  // namespace ulmot::processors
