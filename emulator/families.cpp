// Which family serves each object type. A family of its own replaces the
// plain store here, one case per object type; the core is not touched.
#include "family.h"
#include "families.h"

namespace uemu {

std::unique_ptr<Family> MakeFamily(uint8_t objectType) {
    switch (objectType) {
    case 0: return MakeVersionFamily();
    case 1: return MakeGpoFamily();
    case 2: return MakeGpiFamily();
    case 3: return MakeTagSelectorFamily();
    case 4: return MakeGen2ProtocolFamily();
    case 5: return MakeInventoryFamily();
    case 6: return MakeTagFilterFamily();
    case 7: return MakeAccessFamily();
    case 8: return MakeAntennaFamily();
    case 9: return MakeResetFamily();
    case 10: return MakeCtiFamily();
    case 11: return MakeScheduleFamily();
    case 12: return MakeRadioFamily();
    case 13: return MakeTextLogFamily();
    case 15: return MakeTimestampFamily();
    case 17: return MakeAntennaPairFamily();
    case 18: return MakeGen2ParmSetFamily();
    case 19: return MakeRfSurveyFamily();
    case 22: return MakeAlarmFamily();
    case 24: return MakeRtcFamily();
    default: return std::make_unique<StoreFamily>();
    }
}

}  // namespace uemu
