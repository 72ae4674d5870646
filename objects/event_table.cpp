// The client's event dispatch table: [object type 0-23][event type 0-4] of
// family handlers; empty where the library handles no such event.
#include "objects/family.h"

namespace ulmot::processors {

using namespace objects;

namespace {
constexpr ClientEventHandler kNone = nullptr;
}

const ClientEventHandler kClientEventTable[kEventObjectTypes][kEventTypes] = {
    /* 0 version */ {kNone, kNone, kNone, kNone, kNone},
    /* 1 GPO */ {ClientHandleGPO, kNone, kNone, kNone, kNone},
    /* 2 GPI */ {ClientHandleGPI, kNone, kNone, kNone, kNone},
    /* 3 tag selector */ {kNone, kNone, kNone, kNone, kNone},
    /* 4 Gen2 protocol */ {kNone, kNone, kNone, kNone, kNone},
    /* 5 inventory */ {ClientHandleInventoryEvent0, ClientHandleInventoryEvent1,
                       ClientHandleTagReport, kNone, kNone},
    /* 6 tag filter */ {kNone, kNone, kNone, kNone, kNone},
    /* 7 access */ {ClientHandleAccessDataComplete, ClientHandleAccessComplete,
                    ClientHandleAccessStop, ClientHandleAccessClientRequest,
                    ClientHandleAccessClientRequestComplete},
    /* 8 antenna */ {ClientHandleTxAntennaVSWRStatus, kNone, kNone, kNone, kNone},
    /* 9 reset */ {ClientHandleResetDone, kNone, kNone, kNone, kNone},
    /* 10 CTI */ {kNone, kNone, kNone, kNone, kNone},
    /* 11 schedule */ {ulmot_ClientHandleScheduleStart, ulmot_ClientHandleScheduleStop, kNone, kNone, kNone},
    /* 12 radio */ {ClientHandleChannelChange, ClientHandleDutyCycleTimeLeft, ClientHandleDutyCycleRadioState,
                    ClientHandleDutyCycleTemperature, kNone},
    /* 13 text log */ {ClientHandleTextLogMessage, kNone, kNone, kNone, kNone},
    /* 14 delivery processor */ {ClientHandleProcessorRemoved, ClientHandleProcessorAdded, kNone, kNone, kNone},
    /* 15 timestamp */ {kNone, kNone, kNone, kNone, kNone},
    /* 16 client */ {kNone, kNone, kNone, kNone, kNone},
    /* 17 antenna pair */ {ClientHandleAntennaPairActivation, kNone, kNone, kNone, kNone},
    /* 18 Gen2 parameter set */ {kNone, kNone, kNone, kNone, kNone},
    /* 19 RF survey */ {ClientHandleRFSurveyEvent0, ClientHandleRFSurveyEvent1, ClientHandleRFSurveyMeasurement, kNone,
                        kNone},
    /* 20 */ {kNone, kNone, kNone, kNone, kNone},
    /* 21 */ {kNone, kNone, kNone, kNone, kNone},
    /* 22 alarm */ {ClientHandleNxpAlarmEvent, kNone, kNone, kNone, kNone},
    /* 23 IOCTL */ {kNone, kNone, kNone, kNone, kNone},
};

}  // namespace ulmot::processors
