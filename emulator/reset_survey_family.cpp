// Reset specifications (object type 9) and RF survey specifications (19).
//
// A reset specification names an object to reset (object reference item 1;
// instance 0: every instance of the type), a delay (Int16 item 0, ms) and a
// repeat flag (Int8 item 2). The delay after the add, the reader resets the
// object and raises the reset specification's event 0 (reset done); with the flag
// set and a delay it does so again every delay until the reset specification is
// removed. Resetting GPO lines sets them low, resetting the radio takes it
// back to its first channel and a whole duty cycle; other objects are
// left as they are (the event still comes).
//
// An RF survey specification names an antenna (Int32 item 0; 0: antenna 1)
// and a dwell (Int32 item 1, ms per channel). Once added it surveys every
// channel of the radio's plan in force: event 0 (started), then one
// measurement (event 2) per channel, each a dwell after the one before
// (all at once with a dwell of 0), then event 1 (done).
#include <algorithm>

#include "families.h"

namespace uemu {

namespace {

constexpr uint8_t kResetType = 9;
constexpr uint8_t kSurveyType = 19;

// ---- reset specifications ---------------------------------------------------------------

constexpr uint8_t kDelayItem = 0;
constexpr uint8_t kTargetItem = 1;
constexpr uint8_t kRepeatItem = 2;

struct ResetSpec final : FamilyState {
    uint8_t type = 0;
    uint8_t instance = 0;
    uint32_t delay = 0;
    bool repeat = false;
    bool pending = true;
    uint32_t due = 0;
};

class ResetFamily final : public Family {
public:
    void Start(Services &services) override {
        ticker_.Start(services, [this](Context &context) { return Tick(context); });
    }
    void Stop() override { ticker_.Stop(); }

    int16_t Add(Context &context, const Request &request, Object &created, Reply &) override {
        std::optional<uint32_t> delay, target, repeat;
        if (!ReadTyped(request.items, kDelayItem, kInt16, delay) ||
            !ReadTyped(request.items, kTargetItem, kObjectReference, target) ||
            !ReadTyped(request.items, kRepeatItem, kInt8, repeat) || !target) {
            return UEMU_RESULT_MALFORMED;
        }
        auto spec = std::make_unique<ResetSpec>();
        spec->type = static_cast<uint8_t>(*target >> 8);
        spec->instance = static_cast<uint8_t>(*target);
        ObjectTable *table = context.Table(spec->type);
        if (table == nullptr || (spec->instance != 0 && table->Find(spec->instance) == nullptr)) {
            return UEMU_RESULT_UNKNOWN_INSTANCE;
        }
        if (const int16_t r = MergeItems(created.properties, request.items); r != UEMU_RESULT_OK) return r;
        spec->delay = delay.value_or(0);
        spec->repeat = repeat.value_or(0) != 0;
        spec->due = context.Now() + spec->delay;
        created.state = std::move(spec);
        // The ticker runs after this request's lock is released, so the
        // reset is done after the add's response has gone.
        ticker_.Wake();
        return UEMU_RESULT_OK;
    }

private:
    static void Reset(Context &context, const ResetSpec &spec) {
        if (spec.type == kGpoType) ResetGpo(context, spec.instance);
        if (spec.type == kRadioType) ResetRadio(context);
    }

    uint32_t Tick(Context &context) {
        ObjectTable *table = context.Table(kResetType);
        if (table == nullptr) return Ticker::kIdle;
        const uint32_t now = context.Now();
        uint32_t wait = Ticker::kIdle;
        for (auto &[instance, object] : table->objects()) {
            ResetSpec *spec = StateOf<ResetSpec>(&object);
            if (spec == nullptr || !spec->pending) continue;
            if (Reached(now, spec->due)) {
                Reset(context, *spec);
                context.RaiseEvent(kResetType, kFirstEvent, instance, {});
                spec->pending = spec->repeat && spec->delay > 0;
                spec->due += spec->delay;
                if (Reached(now, spec->due)) spec->due = now + spec->delay;
            }
            if (spec->pending) wait = std::min(wait, spec->due - now);
        }
        return wait;
    }

    Ticker ticker_;
};

// ---- RF survey specifications -------------------------------------------------------------

constexpr uint8_t kAntennaItem = 0;
constexpr uint8_t kDwellItem = 1;
constexpr uint8_t kChannelItem = 2;
constexpr uint8_t kAverageItem = 3;
constexpr uint8_t kPeakItem = 4;
constexpr uint8_t kSamplesItem = 5;
constexpr uint8_t kMeasuredItem = 6;

constexpr uint8_t kStartedEvent = 0;
constexpr uint8_t kDoneEvent = 1;
constexpr uint8_t kMeasurementEvent = 2;

constexpr uint8_t kChannelPlanItem = 8;  // of the radio
constexpr uint32_t kMsPerSample = 10;

struct Survey final : FamilyState {
    uint8_t antenna = 1;
    uint32_t dwell = 0;
    bool started = false;
    bool done = false;
    std::vector<uint32_t> channels;  // kHz, the plan when the survey started
    size_t next = 0;
    uint32_t due = 0;
};

// The measurement of the k-th channel (from 0): an average RSSI from -70.0
// down to -77.0 dBm, in tenths of a dBm, the peak 6 dB above it.
Bytes Measurement(const Survey &s, size_t k) {
    const auto average = static_cast<int16_t>(-(700 + 10 * static_cast<int>(k % 8)));
    const auto peak = static_cast<int16_t>(average + 60);
    Bytes b;
    ItemWriter w(b);
    w.Int32(kChannelItem, s.channels[k]);
    w.Int16(kAverageItem, static_cast<uint16_t>(average));
    w.Int16(kPeakItem, static_cast<uint16_t>(peak));
    w.Int16(kSamplesItem, static_cast<uint16_t>(std::min<uint32_t>(s.dwell / kMsPerSample + 1, 0xFFFF)));
    w.ObjectReference(kMeasuredItem, kAntennaType, s.antenna);
    return b;
}

std::vector<uint32_t> RadioChannels(Context &context) {
    std::vector<uint32_t> channels;
    ObjectTable *radios = context.Table(kRadioType);
    const Object *radio = radios != nullptr ? radios->Find(kRadioInstance) : nullptr;
    if (radio == nullptr) return channels;
    const std::optional<Bytes> plan = StoredBytes(radio->properties, kChannelPlanItem);
    if (!plan) return channels;
    for (size_t i = 0; i + 4 <= plan->size(); i += 4) {
        const uint8_t *p = plan->data() + i;
        channels.push_back(static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
                           static_cast<uint32_t>(p[2]) << 8 | p[3]);
    }
    return channels;
}

class RfSurveyFamily final : public Family {
public:
    void Start(Services &services) override {
        ticker_.Start(services, [this](Context &context) { return Tick(context); });
    }
    void Stop() override { ticker_.Stop(); }

    int16_t Add(Context &context, const Request &request, Object &created, Reply &) override {
        std::optional<uint32_t> antenna, dwell;
        if (!ReadTyped(request.items, kAntennaItem, kInt32, antenna) ||
            !ReadTyped(request.items, kDwellItem, kInt32, dwell)) {
            return UEMU_RESULT_MALFORMED;
        }
        const uint32_t port = antenna.value_or(0) != 0 ? *antenna : 1;
        ObjectTable *antennas = context.Table(kAntennaType);
        if (port > 255 || antennas == nullptr || antennas->Find(static_cast<uint8_t>(port)) == nullptr) {
            return UEMU_RESULT_UNKNOWN_INSTANCE;
        }
        if (const int16_t r = MergeItems(created.properties, request.items); r != UEMU_RESULT_OK) return r;
        auto survey = std::make_unique<Survey>();
        survey->antenna = static_cast<uint8_t>(port);
        survey->dwell = dwell.value_or(0);
        created.state = std::move(survey);
        ticker_.Wake();
        return UEMU_RESULT_OK;
    }

private:
    uint32_t Tick(Context &context) {
        ObjectTable *table = context.Table(kSurveyType);
        if (table == nullptr) return Ticker::kIdle;
        const uint32_t now = context.Now();
        uint32_t wait = Ticker::kIdle;
        for (auto &[instance, object] : table->objects()) {
            Survey *s = StateOf<Survey>(&object);
            if (s == nullptr || s->done) continue;
            if (!s->started) {
                s->started = true;
                s->channels = RadioChannels(context);
                s->due = now + s->dwell;
                context.RaiseEvent(kSurveyType, kStartedEvent, instance, {});
            }
            while (s->next < s->channels.size() && Reached(now, s->due)) {
                context.RaiseEvent(kSurveyType, kMeasurementEvent, instance, Measurement(*s, s->next));
                ++s->next;
                s->due += s->dwell;
            }
            if (s->next == s->channels.size()) {
                s->done = true;
                context.RaiseEvent(kSurveyType, kDoneEvent, instance, {});
                continue;
            }
            wait = std::min(wait, s->due - now);
        }
        return wait;
    }

    Ticker ticker_;
};

}  // namespace

std::unique_ptr<Family> MakeResetFamily() { return std::make_unique<ResetFamily>(); }
std::unique_ptr<Family> MakeRfSurveyFamily() { return std::make_unique<RfSurveyFamily>(); }

}  // namespace uemu
