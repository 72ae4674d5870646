// processors/family_slots.h - the callback slots and caches that the object
// families keep in the ClientProcessor. Not exported.
//
// A family whose callbacks share one context keeps them as one Guarded
// group: a registration replaces the whole group at once and a handler
// copies it whole, so it never calls one registration's function with
// another's context.
#pragma once

#include <cstdint>

#include "platform/fetch_once.h"
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

// The version information of object type 0, fetched once per client.
struct VersionInfo {
    char versionStrings[ULMOT_VERSION_STRINGS][ULMOT_VERSION_STRING_SIZE];
    uint16_t radioModel;
};

// The four radio callbacks share one context and are replaced together.
struct RadioCallbacks {
    ulmot_ChannelChangeCallback channelChangeCallback;
    ulmot_CycleTimeLeftCallback cycleTimeLeftCallback;
    ulmot_RadioStateCallback radioStateCallback;
    ulmot_TemperatureCallback temperatureCallback;
    void *radioCallbackContext;
};

// The three RF survey callbacks share one context and are replaced together.
struct RFSurveyCallbacks {
    ulmot_RFSurveyCallback rfSurveyCallback0;
    ulmot_RFSurveyCallback rfSurveyCallback1;
    ulmot_RFSurveyMeasurementCallback rfSurveyMeasurementCallback;
    void *rfSurveyCallbackContext;
};

struct FamilySlots {
    // Written by application threads, read whole by the queue thread.
    Guarded<InventoryCallbacks> inventory;
    Guarded<AccessCallbacks> access;
    Guarded<ScheduleCallbacks> schedule;
    CallbackSlot<ulmot_AntennaPairActivationCallback> antennaPairActivation;
    CallbackSlot<ulmot_TxAntennaVSWRStatusCallback> txAntennaVSWRStatus;
    CallbackSlot<ulmot_GPIEventCallback> gpiEvent;
    CallbackSlot<ulmot_GPOEventCallback> gpoEvent;
    Guarded<RadioCallbacks> radio;
    CallbackSlot<ulmot_ResetDoneCallback> resetDone;
    Guarded<RFSurveyCallbacks> rfSurvey;
    CallbackSlot<ulmot_NxpAlarmCallback> nxpAlarm;
    CallbackSlot<ulmot_TextLogCallback> textLog;

    // Caches, filled on application threads.
    plat::FetchOnce<uint8_t> gen2ParmSetCount;  // kept once it is not 0
    plat::FetchOnce<Gen2ParmSet> gen2ParmSets[ULMOT_GEN2_PARM_SETS];  // kept once item 12 is not 0
    plat::FetchOnce<VersionInfo> versionInfo;   // kept once fetched
};

}  // namespace ulmot::processors
