// Antennas (object type 8) and antenna pairs (object type 17).
//
// Antennas 1 to N exist from creation on: default, minimum and maximum
// power (items 0 to 2, tenths of a dBm), the receive antenna list (item 3,
// the antennas that listen while this one transmits: itself) and the last
// VSWR status (item 4, 0 good), which uemu_SetAntennaVswr changes. An
// antenna whose status is not 0 does not transmit. The library reads them
// only; a set may change them within their order (minimum <= default <=
// maximum).
//
// An antenna pair names a transmit antenna (item 0), a receive antenna
// (item 1, 0: the transmit antenna), a power level (item 2, tenths of a dBm
// within the transmit antenna's limits; 0: its default) and further receive
// antennas (item 3). The schedule engine raises its activation event when a
// running schedule turns to it.
#include "families.h"

namespace uemu {

namespace {


constexpr uint16_t kDefaultPower = 300;  // 30.0 dBm
constexpr uint16_t kMinPower = 100;
constexpr uint16_t kMaxPower = 315;

bool IsAntenna(Context &context, uint32_t antenna) {
    ObjectTable *antennas = context.Table(kAntennaType);
    return antenna >= 1 && antenna <= 255 && antennas != nullptr &&
           antennas->Find(static_cast<uint8_t>(antenna)) != nullptr;
}

int16_t ReadAntenna(Context &context, const PropertySet &items, const FamilyState *,
                    std::unique_ptr<FamilyState> &) {
    bool bad = false;
    const uint32_t power = StoredNumber(items, 0, bad).value_or(kDefaultPower);
    const uint32_t low = StoredNumber(items, 1, bad).value_or(kMinPower);
    const uint32_t high = StoredNumber(items, 2, bad).value_or(kMaxPower);
    StoredNumber(items, 4, bad);
    const std::optional<ItemView> receive = StoredItem(items, 3);
    if (bad || (receive && receive->type != kByteArray)) return kMalformed;
    if (low > power || power > high) return kOutOfRange;
    if (receive) {
        for (uint8_t a : receive->value) {
            if (!IsAntenna(context, a)) return kOutOfRange;
        }
    }
    return UEMU_RESULT_OK;
}

class AntennaFamily final : public Family {
public:
    void Populate(ObjectTable &table, uint8_t count) override {
        for (unsigned i = 1; i <= count; ++i) {
            const auto instance = static_cast<uint8_t>(i);
            Object &o = table.Insert(instance, true);
            o.properties.PutInt16(0, kDefaultPower);
            o.properties.PutInt16(1, kMinPower);
            o.properties.PutInt16(2, kMaxPower);
            o.properties.PutByteArray(3, Bytes{instance});
            o.properties.PutInt8(4, 0);
        }
    }
    // Antennas are the reader's ports: none can be added.
    int16_t Add(Context &, const Request &, Object &, Reply &) override { return kRefused; }
    // A set may change the power limits (a test's reader with other ports):
    // they must stay in order, the receive list must name antennas.
    int16_t SetProperties(Context &context, const Request &request, Object &object) override {
        return MergeAndRead(context, request.items, object, ReadAntenna);
    }
    // The tag field comes with the antennas: a block out of range fails the
    // reader's creation here.
    void Start(Services &services) override { path_ = TagPathOf(services); }

private:
    std::shared_ptr<TagPath> path_;
};


int16_t ReadPair(Context &context, const PropertySet &items, const FamilyState *,
                 std::unique_ptr<FamilyState> &out) {
    auto s = std::make_unique<PairState>();
    bool bad = false;
    const auto transmit = StoredNumber(items, 0, bad);
    const auto receive = StoredNumber(items, 1, bad);
    const auto power = StoredNumber(items, 2, bad);
    if (bad || !transmit) return kMalformed;
    if (!IsAntenna(context, *transmit)) return kOutOfRange;
    s->transmit = static_cast<uint8_t>(*transmit);
    if (receive && *receive != 0) {
        if (!IsAntenna(context, *receive)) return kOutOfRange;
        s->receive = static_cast<uint8_t>(*receive);
    }
    if (power && *power != 0) {
        const PropertySet &limits = context.Table(kAntennaType)->Find(s->transmit)->properties;
        bool unused = false;
        const uint32_t low = StoredNumber(limits, 1, unused).value_or(kMinPower);
        const uint32_t high = StoredNumber(limits, 2, unused).value_or(kMaxPower);
        if (*power < low || *power > high) return kOutOfRange;
        s->power = static_cast<uint16_t>(*power);
    }
    // Item 3: an Int8 list; a single Int8 names one antenna.
    if (const auto more = StoredItem(items, 3)) {
        if (more->type == kInt8) {
            s->more.push_back(more->value[0]);
        } else {
            const auto elements = ListElements(*more);
            if (!elements) return kMalformed;
            for (const ItemView &e : *elements) {
                if (e.type != kInt8) return kMalformed;
                s->more.push_back(e.value[0]);
            }
        }
        for (uint8_t a : s->more) {
            if (!IsAntenna(context, a)) return kOutOfRange;
        }
    }
    out = std::move(s);
    return UEMU_RESULT_OK;
}

class AntennaPairFamily final : public StatefulFamily {
protected:
    ReadState reader() override { return ReadPair; }
};

}  // namespace

std::unique_ptr<Family> MakeAntennaFamily() { return std::make_unique<AntennaFamily>(); }
std::unique_ptr<Family> MakeAntennaPairFamily() { return std::make_unique<AntennaPairFamily>(); }

}  // namespace uemu
