// Gen2 protocol specifications (object type 4) and the table of Gen2 link
// parameter sets (object type 18).
//
// A protocol specification keeps items 1 to 14; an add fills the ones it
// does not give with defaults, so a get always answers every item. Items 8,
// 9, 12 and 13 are Int16, 14 (the time of the last change, seconds since
// 1970 by the reader's clock, set by the reader unless the request gives
// it) Int32, every other item Int8. Checked: the types, session (1) up to 3,
// target (2) up to 2, Q values (3 initial, 4 minimum, 5 maximum) up to 15
// with minimum <= initial <= maximum, and the parameter set (8) 0 (the
// reader's choice) or an existing set.
//
// The parameter sets are preset instances 1 to N (uemu_Config
// presetInstances[18]) taken from a built-in table of eight, read-only.
#include <iterator>

#include "families.h"

namespace uemu {

namespace {

// ---- protocol specifications --------------------------------------------------------

enum Gen2Item : uint8_t {
    kSession = 1,
    kTarget = 2,
    kInitialQ = 3,
    kMinimumQ = 4,
    kMaximumQ = 5,
    kSelect = 6,
    kAccessRetries = 7,
    kParmSet = 8,
    kPopulation = 9,
    kSearchMode = 10,
    kQAlgorithm = 11,
    kRoundTimeout = 12,
    kAntennaDwell = 13,
    kChangedAt = 14,
};

uint8_t TypeOf(uint8_t id) {
    switch (id) {
    case kParmSet:
    case kPopulation:
    case kRoundTimeout:
    case kAntennaDwell:
        return kInt16;
    case kChangedAt:
        return kInt32;
    default:
        return kInt8;
    }
}

struct Default {
    uint8_t id;
    uint32_t value;
};
constexpr Default kDefaults[] = {
    {kSession, 1},     {kTarget, 0},       {kInitialQ, 4},     {kMinimumQ, 0},   {kMaximumQ, 15},
    {kSelect, 0},      {kAccessRetries, 3}, {kParmSet, 0},     {kPopulation, 16}, {kSearchMode, 0},
    {kQAlgorithm, 1},  {kRoundTimeout, 0},  {kAntennaDwell, 0},
};

void PutTyped(PropertySet &p, uint8_t id, uint32_t value) {
    switch (TypeOf(id)) {
    case kInt16:
        p.PutInt16(id, static_cast<uint16_t>(value));
        break;
    case kInt32:
        p.PutInt32(id, value);
        break;
    default:
        p.PutInt8(id, static_cast<uint8_t>(value));
        break;
    }
}

class Gen2ProtocolFamily final : public Family {
public:
    int16_t Add(Context &context, const Request &request, Object &created, Reply &) override {
        for (const Default &d : kDefaults) PutTyped(created.properties, d.id, d.value);
        return Apply(context, request, created.properties);
    }

    int16_t SetProperties(Context &context, const Request &request, Object &object) override {
        return Apply(context, request, object.properties);
    }

private:
    // Merges the request into `properties` when every item and the result
    // check out; `properties` is unchanged otherwise.
    static int16_t Apply(Context &context, const Request &request, PropertySet &properties) {
        for (const ItemView &item : request.items.all()) {
            if (item.id == kResultItem || item.id == kTimestampItem) continue;
            if (item.type != TypeOf(item.id)) return UEMU_RESULT_MALFORMED;
        }
        PropertySet merged = properties;
        if (const int16_t r = MergeItems(merged, request.items); r != UEMU_RESULT_OK) return r;
        auto value = [&](uint8_t id) { return StoredValue(merged, id).value_or(0); };
        if (value(kSession) > 3 || value(kTarget) > 2 || value(kInitialQ) > 15 || value(kMaximumQ) > 15 ||
            value(kMinimumQ) > value(kInitialQ) || value(kInitialQ) > value(kMaximumQ)) {
            return UEMU_RESULT_OUT_OF_RANGE;
        }
        if (const uint32_t set = value(kParmSet); set != 0) {
            ObjectTable *sets = context.Table(kGen2ParmSetType);
            if (sets == nullptr || set > 255 || sets->Find(static_cast<uint8_t>(set)) == nullptr) {
                return UEMU_RESULT_OUT_OF_RANGE;
            }
        }
        if (request.items.Find(kChangedAt) == nullptr) merged.PutInt32(kChangedAt, UnixTime(context));
        properties = std::move(merged);
        return UEMU_RESULT_OK;
    }
};

// ---- parameter sets ---------------------------------------------------------------------

// Items of a parameter set.
enum ParmSetItem : uint8_t {
    kSetNumber = 0,       // Int8, the instance
    kLinkFrequency = 1,   // Int32, backscatter link frequency, Hz
    kMiller = 2,          // Int8, 1 (FM0), 2, 4, 8
    kTari = 3,            // Int8, quarter microseconds (25: 6.25 us)
    kDivideRatio = 4,     // Int8, 0: 8, 1: 64/3
    kPieRatio = 5,        // Int16, PIE ratio x 100
    kDataRate = 6,        // Int16, tag data rate, kbit/s
    kHagConformant = 9,   // Int8, 1: conforms
    kModulation = 10,     // Int8, 0 DSB-ASK, 1 SSB-ASK, 2 PR-ASK
    kDepth = 11,          // Int8, modulation depth, percent
    kSpectralMask = 12,   // Int8, 1 single, 2 multi, 3 dense reader (never 0)
    kPreferred = 13,      // Int8, 1 for the reader's preferred set
};

struct ParmSetRow {
    uint32_t frequency;
    uint8_t miller, tari, divideRatio;
    uint16_t pie, rate;
    uint8_t hag, modulation, depth, mask, preferred;
};

constexpr ParmSetRow kParmSets[] = {
    {640000, 1, 25, 1, 150, 640, 1, 0, 90, 1, 1},
    {320000, 2, 50, 1, 200, 160, 1, 2, 90, 2, 0},
    {250000, 4, 100, 1, 200, 62, 1, 2, 100, 3, 0},
    {160000, 8, 100, 0, 200, 20, 1, 2, 100, 3, 0},
    {320000, 4, 50, 1, 200, 80, 1, 2, 90, 2, 0},
    {640000, 2, 25, 1, 150, 320, 1, 0, 90, 1, 0},
    {250000, 2, 50, 1, 200, 125, 1, 1, 90, 2, 0},
    {40000, 1, 100, 0, 200, 40, 1, 0, 100, 1, 0},
};

class Gen2ParmSetFamily final : public ReaderOwnedFamily {
public:
    void Populate(ObjectTable &table, uint8_t count) override {
        Family::Populate(table, count);
        for (auto &[instance, set] : table.objects()) {
            // Sets past the table repeat it, each under its own number.
            const ParmSetRow &row = kParmSets[(instance - 1u) % std::size(kParmSets)];
            PropertySet &p = set.properties;
            p.PutInt8(kSetNumber, instance);
            p.PutInt32(kLinkFrequency, row.frequency);
            p.PutInt8(kMiller, row.miller);
            p.PutInt8(kTari, row.tari);
            p.PutInt8(kDivideRatio, row.divideRatio);
            p.PutInt16(kPieRatio, row.pie);
            p.PutInt16(kDataRate, row.rate);
            p.PutInt8(kHagConformant, row.hag);
            p.PutInt8(kModulation, row.modulation);
            p.PutInt8(kDepth, row.depth);
            p.PutInt8(kSpectralMask, row.mask);
            p.PutInt8(kPreferred, row.preferred);
        }
    }
};

}  // namespace

std::unique_ptr<Family> MakeGen2ProtocolFamily() { return std::make_unique<Gen2ProtocolFamily>(); }
std::unique_ptr<Family> MakeGen2ParmSetFamily() { return std::make_unique<Gen2ParmSetFamily>(); }

}  // namespace uemu
