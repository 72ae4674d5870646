// The radio (object type 12, instance 1).
//
// Its properties are kept current in the store, so a get reads what the
// radio is doing: channel (item 0, 1 to N of the plan, 0 with no plan), the
// duty cycle's time left (1, ms), the radio state (2), the temperature state
// (3) and temperature (4, tenths of a degree Celsius), hopping (7), the
// channel plan in kHz (8), fixed descriptions (9 to 13), the country code
// and its text (16, 17).
//
// Writing item 16 selects supported country code number "selector" (0 up,
// in uemu_Config.countryCodes order): code, text and channel plan change and
// the channel goes back to the first. A selector past the list selects no
// code: item 16 reads 0, item 17 and the plan are empty. Other items a
// client sets are kept as given (a test may plant the values it wants to
// read) until the radio changes them.
//
// The radio transmits while a schedule runs (ScheduleRunning) or
// uemu_RadioTransmit asks it to: it hops to the next channel of the plan
// every hop interval (event 0), and with a duty cycle it transmits for the
// on-time, pauses for the off-time and starts again (event 2 at each change
// of state, event 1 with the time left at each hop, pause and restart).
// uemu_SetRadioTemperature raises event 3.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "reader.h"
#include "families.h"

namespace uemu {

namespace {

constexpr uint8_t kChannelItem = 0;
constexpr uint8_t kCycleLeftItem = 1;
constexpr uint8_t kStateItem = 2;
constexpr uint8_t kTemperatureStateItem = 3;
constexpr uint8_t kTemperatureItem = 4;
constexpr uint8_t kHoppingItem = 7;
constexpr uint8_t kChannelPlanItem = 8;
constexpr uint8_t kModuleItem = 9;
constexpr uint8_t kMaxPowerItem = 10;
constexpr uint8_t kMinPowerItem = 11;
constexpr uint8_t kAntennaPortsItem = 12;
constexpr uint8_t kSerialItem = 13;
constexpr uint8_t kCountryCodeItem = 16;
constexpr uint8_t kCountryTextItem = 17;

constexpr uint8_t kChannelEvent = 0;
constexpr uint8_t kCycleLeftEvent = 1;
constexpr uint8_t kStateEvent = 2;
constexpr uint8_t kTemperatureEvent = 3;

constexpr uint32_t kDefaultHopMs = 200;
constexpr uint16_t kWarmFrom = 600;  // tenths of a degree Celsius
constexpr uint16_t kHotFrom = 750;
constexpr uint32_t kMaxPower = 3000;  // 0.01 dBm
constexpr uint32_t kMinPower = 1000;
constexpr const char *kModule = "uemu-radio";
constexpr const char *kSerial = "R-000001";

struct Plan {
    uint16_t code = 0;
    std::string text;
    std::vector<uint32_t> channels;  // kHz
};

uint8_t TemperatureState(uint16_t t) {
    return t >= kHotFrom ? UEMU_TEMPERATURE_HOT : t >= kWarmFrom ? UEMU_TEMPERATURE_WARM : UEMU_TEMPERATURE_NORMAL;
}

ByteView Text(const std::string &s) { return ByteView(reinterpret_cast<const uint8_t *>(s.data()), s.size()); }

class RadioFamily;

struct Radio final : FamilyState {
    explicit Radio(RadioFamily *f) : family(f) {}
    RadioFamily *family;
    std::set<uint8_t> schedules;  // running schedules that transmit
    bool manual = false;          // uemu_RadioTransmit
    uint8_t state = UEMU_RADIO_IDLE;
    uint8_t channel = 0;
    size_t channels = 0;          // of the plan in force
    uint32_t onLeft = 0;          // of the duty cycle, ms
    uint32_t last = 0;            // when onLeft was last counted down
    uint32_t nextHop = 0;
    uint32_t pauseUntil = 0;
};

class RadioFamily final : public Family {
public:
    void Populate(ObjectTable &table, uint8_t count) override {
        Family::Populate(table, count);
        if (Object *radio = table.Find(kRadioInstance)) radio->state = std::make_unique<Radio>(this);
    }

    void Start(Services &services) override {
        const uemu_Config &config = services.Config();
        const unsigned count = std::min<unsigned>(config.countryCodeCount, UEMU_MAX_COUNTRY_CODES);
        for (unsigned i = 0; i < count; ++i) {
            const uemu_CountryCode &c = config.countryCodes[i];
            Plan plan;
            plan.code = c.code;
            plan.text.assign(c.text, strnlen(c.text, sizeof c.text - 1));
            const unsigned n = std::clamp<unsigned>(c.channelCount, 1, UEMU_MAX_CHANNELS);
            for (unsigned k = 0; k < n; ++k) plan.channels.push_back(c.firstChannelKHz + k * c.channelSpacingKHz);
            plans_.push_back(std::move(plan));
        }
        hopMs_ = config.hopIntervalMs != 0 ? config.hopIntervalMs : kDefaultHopMs;
        onMs_ = config.dutyCycleOnMs;
        offMs_ = config.dutyCycleOffMs;
        const uint8_t antennas = config.presetInstances[kAntennaType];
        const uint16_t temperature = config.radioTemperature;
        const uint8_t selected = config.countryCodeSelected;
        services.WithStore([&](Context &context) {
            Object *radio = Find(context);
            if (radio == nullptr) return;
            PropertySet &p = radio->properties;
            p.PutInt8(kChannelItem, 0);
            p.PutInt32(kCycleLeftItem, onMs_);
            p.PutInt8(kStateItem, UEMU_RADIO_IDLE);
            p.PutInt8(kTemperatureStateItem, TemperatureState(temperature));
            p.PutInt16(kTemperatureItem, temperature);
            p.PutByteArray(kModuleItem, Text(kModule));
            p.PutInt32(kMaxPowerItem, kMaxPower);
            p.PutInt32(kMinPowerItem, kMinPower);
            p.PutInt8(kAntennaPortsItem, antennas);
            p.PutByteArray(kSerialItem, Text(kSerial));
            Select(context, *radio, selected, false);
        });
        ticker_.Start(services, [this](Context &context) { return Tick(context); });
    }

    void Stop() override { ticker_.Stop(); }

    int16_t Add(Context &, const Request &, Object &, Reply &) override { return UEMU_RESULT_REFUSED; }

    int16_t SetProperties(Context &context, const Request &request, Object &object) override {
        if (StateOf<Radio>(&object) == nullptr) return Family::SetProperties(context, request, object);
        std::optional<uint32_t> selector;
        if (!ReadTyped(request.items, kCountryCodeItem, kInt16, selector)) return UEMU_RESULT_MALFORMED;
        if (const int16_t r = MergeItems(object.properties, request.items, {kCountryCodeItem}); r != UEMU_RESULT_OK) {
            return r;
        }
        if (selector) Select(context, object, *selector, true);
        return UEMU_RESULT_OK;
    }

    static Object *Find(Context &context) {
        ObjectTable *table = context.Table(kRadioType);
        return table != nullptr ? table->Find(kRadioInstance) : nullptr;
    }

    void Wake() { ticker_.Wake(); }

    // Back to the first channel and a whole duty cycle.
    void Reset(Context &context, Object &object) {
        Radio &r = *StateOf<Radio>(&object);
        SetChannel(context, object, r.channels > 0 ? 1 : 0);
        if (onMs_ > 0) {
            r.onLeft = onMs_;
            r.last = context.Now();
            ReportCycle(context, object);
        }
        ticker_.Wake();
    }

    static void SetTemperature(Context &context, Object &object, uint16_t temperature) {
        const uint8_t state = TemperatureState(temperature);
        object.properties.PutInt16(kTemperatureItem, temperature);
        object.properties.PutInt8(kTemperatureStateItem, state);
        Bytes body;
        ItemWriter(body).Int16(kTemperatureItem, temperature);
        ItemWriter(body).Int8(kTemperatureStateItem, state);
        context.RaiseEvent(kRadioType, kTemperatureEvent, kRadioInstance, body);
    }

private:
    void Select(Context &context, Object &object, uint32_t selector, bool announce) {
        Radio &r = *StateOf<Radio>(&object);
        PropertySet &p = object.properties;
        const Plan *plan = selector < plans_.size() ? &plans_[selector] : nullptr;
        Bytes frequencies;
        if (plan != nullptr) {
            for (uint32_t khz : plan->channels) {
                for (int shift = 24; shift >= 0; shift -= 8) frequencies.push_back(static_cast<uint8_t>(khz >> shift));
            }
        }
        p.PutInt16(kCountryCodeItem, plan != nullptr ? plan->code : 0);
        p.PutByteArray(kCountryTextItem, plan != nullptr ? Text(plan->text) : ByteView{});
        p.PutByteArray(kChannelPlanItem, frequencies);
        r.channels = plan != nullptr ? plan->channels.size() : 0;
        p.PutInt8(kHoppingItem, r.channels > 1 ? 1 : 0);
        SetChannel(context, object, r.channels > 0 ? 1 : 0, !announce);
        if (!announce) return;
        char line[128];
        if (plan != nullptr) {
            std::snprintf(line, sizeof line, "radio: country code %u selected (%s)", plan->code, plan->text.c_str());
        } else {
            std::snprintf(line, sizeof line, "radio: selector %u names no country code", selector);
        }
        TextLog(context, line);
    }

    static void SetChannel(Context &context, Object &object, uint8_t channel, bool quiet = false) {
        Radio &r = *StateOf<Radio>(&object);
        if (channel == r.channel) return;
        r.channel = channel;
        object.properties.PutInt8(kChannelItem, channel);
        if (!quiet) context.RaiseEvent(kRadioType, kChannelEvent, kRadioInstance, Int8Body(kChannelItem, channel));
    }

    static void SetState(Context &context, Object &object, uint8_t state) {
        Radio &r = *StateOf<Radio>(&object);
        if (state == r.state) return;
        r.state = state;
        object.properties.PutInt8(kStateItem, state);
        context.RaiseEvent(kRadioType, kStateEvent, kRadioInstance, Int8Body(kStateItem, state));
    }

    static void ReportCycle(Context &context, Object &object) {
        const Radio &r = *StateOf<Radio>(&object);
        object.properties.PutInt32(kCycleLeftItem, r.onLeft);
        Bytes body;
        ItemWriter(body).Int32(kCycleLeftItem, r.onLeft);
        context.RaiseEvent(kRadioType, kCycleLeftEvent, kRadioInstance, body);
    }

    void Hop(Context &context, Object &object) {
        const Radio &r = *StateOf<Radio>(&object);
        if (r.channels > 1) SetChannel(context, object, static_cast<uint8_t>(r.channel % r.channels + 1));
        if (onMs_ > 0) ReportCycle(context, object);
    }

    // Starts (or restarts after a pause) a transmit period.
    void Transmit(Context &context, Object &object, uint32_t now) {
        Radio &r = *StateOf<Radio>(&object);
        SetState(context, object, UEMU_RADIO_TRANSMITTING);
        r.onLeft = onMs_;
        r.last = now;
        r.nextHop = now + hopMs_;
        if (onMs_ > 0) ReportCycle(context, object);
    }

    uint32_t Tick(Context &context) {
        Object *object = Find(context);
        Radio *r = StateOf<Radio>(object);
        if (r == nullptr) return Ticker::kIdle;
        const uint32_t now = context.Now();
        if (r->schedules.empty() && !r->manual) {
            SetState(context, *object, UEMU_RADIO_IDLE);
            return Ticker::kIdle;
        }
        switch (r->state) {
        case UEMU_RADIO_IDLE:
            Transmit(context, *object, now);
            break;
        case UEMU_RADIO_PAUSED:
            if (!Reached(now, r->pauseUntil)) return r->pauseUntil - now;
            Transmit(context, *object, now);
            Hop(context, *object);
            break;
        default:
            if (onMs_ > 0) {
                r->onLeft -= std::min(now - r->last, r->onLeft);
                r->last = now;
                if (r->onLeft == 0) {
                    SetState(context, *object, UEMU_RADIO_PAUSED);
                    ReportCycle(context, *object);
                    r->pauseUntil = now + offMs_;
                    return std::max<uint32_t>(offMs_, 1);
                }
            }
            if (Reached(now, r->nextHop)) {
                Hop(context, *object);
                r->nextHop = now + hopMs_;
            }
            break;
        }
        uint32_t wait = r->nextHop - now;
        if (onMs_ > 0) wait = std::min(wait, r->onLeft);
        return std::max<uint32_t>(wait, 1);
    }

    std::vector<Plan> plans_;
    uint32_t hopMs_ = kDefaultHopMs;
    uint32_t onMs_ = 0;
    uint32_t offMs_ = 0;
    Ticker ticker_;
};

// Runs `work` on the radio with the store locked.
template <typename Work>
int32_t OnRadio(uemu_Reader *reader, Work &&work) {
    if (reader == nullptr) return UEMU_ERR_INVALID;
    return GuardedCall([&] {
        int32_t result = UEMU_ERR_NOT_FOUND;
        reader->reader.WithStore([&](Context &context) {
            Object *object = RadioFamily::Find(context);
            Radio *r = StateOf<Radio>(object);
            if (r == nullptr) return;
            work(context, *object, *r);
            result = UEMU_OK;
        });
        return result;
    });
}

}  // namespace

void ScheduleRunning(Context &context, uint8_t schedule, bool running) {
    Radio *r = StateOf<Radio>(RadioFamily::Find(context));
    if (r != nullptr) {
        const bool changed = running ? r->schedules.insert(schedule).second : r->schedules.erase(schedule) > 0;
        if (!changed) return;
        r->family->Wake();
    }
    char line[48];
    std::snprintf(line, sizeof line, "schedule %u %s", schedule, running ? "started" : "stopped");
    TextLog(context, line);
}

void ResetRadio(Context &context) {
    Object *object = RadioFamily::Find(context);
    if (Radio *r = StateOf<Radio>(object)) r->family->Reset(context, *object);
}

std::unique_ptr<Family> MakeRadioFamily() { return std::make_unique<RadioFamily>(); }

}  // namespace uemu

extern "C" {

int32_t uemu_RadioTransmit(uemu_Reader *reader, uint8_t on) {
    return uemu::OnRadio(reader, [&](uemu::Context &, uemu::Object &, uemu::Radio &r) {
        r.manual = on != 0;
        r.family->Wake();
    });
}

int32_t uemu_SetRadioTemperature(uemu_Reader *reader, uint16_t temperature) {
    return uemu::OnRadio(reader, [&](uemu::Context &context, uemu::Object &object, uemu::Radio &) {
        uemu::RadioFamily::SetTemperature(context, object, temperature);
    });
}

}  // extern "C"
