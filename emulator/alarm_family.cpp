// Alarm specifications (object type 22). An add carries what the
// specification watches (object reference item 0, required): an antenna
// pair (object type 17; instance 0 for every pair), or any other object,
// which watches every pair. uemu_RaiseAlarm(reader, pair) stands for an
// alarm seen on antenna pair `pair`: every specification that watches it
// raises its event 0 with object reference item 1 = (17, pair).
#include "reader.h"
#include "families.h"

namespace uemu {

namespace {

constexpr uint8_t kAlarmType = 22;
constexpr uint8_t kWatchedItem = 0;
constexpr uint8_t kPairItem = 1;

class AlarmFamily final : public Family {
public:
    int16_t Add(Context &context, const Request &request, Object &created, Reply &reply) override {
        std::optional<uint32_t> watched;
        if (!ReadTyped(request.items, kWatchedItem, kObjectReference, watched) || !watched) {
            return UEMU_RESULT_MALFORMED;
        }
        return Family::Add(context, request, created, reply);
    }
};

bool Watches(const Object &spec, uint8_t pair) {
    const std::optional<uint32_t> watched = StoredValue(spec.properties, kWatchedItem);
    if (!watched || (*watched >> 8) != kAntennaPairType) return true;
    const auto instance = static_cast<uint8_t>(*watched);
    return instance == 0 || instance == pair;
}

}  // namespace

std::unique_ptr<Family> MakeAlarmFamily() { return std::make_unique<AlarmFamily>(); }

}  // namespace uemu

extern "C" int32_t uemu_RaiseAlarm(uemu_Reader *reader, uint8_t antennaPair) {
    if (reader == nullptr) return UEMU_ERR_INVALID;
    return uemu::GuardedCall([&] {
        int32_t raised = 0;
        reader->reader.WithStore([&](uemu::Context &context) {
            uemu::ObjectTable *table = context.Table(uemu::kAlarmType);
            if (table == nullptr) return;
            uemu::Bytes body;
            uemu::ItemWriter(body).ObjectReference(uemu::kPairItem, uemu::kAntennaPairType, antennaPair);
            for (const auto &[instance, spec] : table->objects()) {
                if (!uemu::Watches(spec, antennaPair)) continue;
                context.RaiseEvent(uemu::kAlarmType, uemu::kFirstEvent, instance, body);
                ++raised;
            }
        });
        return raised;
    });
}
