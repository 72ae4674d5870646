// GPO lines (object type 1) and GPI lines (object type 2), one preset
// instance per line, served by the "io" processor.
//
// A GPO line keeps its state (Int8 item 0, 0 low or 1 high); a client sets
// it line by line (command 3) or all at once (command 100: byte-array item 1
// of (line, state) pairs). Every change of state raises the line's event 0
// with item 0.
//
// A GPI line has an input level (0 to 255) that the world outside sets
// (uemu_SetGpi, uemu_SetGpiPattern) and a threshold (Int8 item 1): its state
// (item 0) is 1 while the level reaches the threshold. A client may write
// the state as well (level 255 for 1, 0 for 0) and the threshold; every
// change of state raises the line's event 0 with item 0.
#include <algorithm>

#include "reader.h"
#include "families.h"

namespace uemu {

namespace {

constexpr uint8_t kStateItem = 0;
constexpr uint8_t kThresholdItem = 1;
constexpr uint8_t kAllOutputsItem = 1;
constexpr uint8_t kHighLevel = 255;

// The last Int8 item `id` of a request (the one a merge keeps) into `value`.
// MALFORMED when one of them is not an Int8, OUT_OF_RANGE when one is above
// `max`.
int16_t LastInt8(const Items &items, uint8_t id, uint8_t max, std::optional<uint8_t> &value) {
    value.reset();
    for (const ItemView &item : items.all()) {
        if (item.id != id) continue;
        if (item.type != kInt8) return UEMU_RESULT_MALFORMED;
        if (item.value[0] > max) return UEMU_RESULT_OUT_OF_RANGE;
        value = item.value[0];
    }
    return UEMU_RESULT_OK;
}

uint8_t StateOfLine(const Object &line) {
    return static_cast<uint8_t>(StoredValue(line.properties, kStateItem).value_or(0));
}

// Stores a line's state; a change raises the line's event.
void PutState(Context &context, uint8_t type, Object &line, uint8_t state, uint8_t before) {
    line.properties.PutInt8(kStateItem, state);
    if (state != before) context.RaiseEvent(type, kFirstEvent, line.instance, Int8Body(kStateItem, state));
}

// ---- GPO --------------------------------------------------------------------------------

class GpoFamily final : public Family {
public:
    void Populate(ObjectTable &table, uint8_t count) override {
        Family::Populate(table, count);
        for (auto &[instance, line] : table.objects()) line.properties.PutInt8(kStateItem, 0);
    }

    int16_t Add(Context &, const Request &, Object &, Reply &) override { return UEMU_RESULT_REFUSED; }

    int16_t SetProperties(Context &context, const Request &request, Object &line) override {
        std::optional<uint8_t> state;
        if (const int16_t r = LastInt8(request.items, kStateItem, 1, state); r != UEMU_RESULT_OK) return r;
        const uint8_t before = StateOfLine(line);
        if (const int16_t r = MergeItems(line.properties, request.items); r != UEMU_RESULT_OK) return r;
        if (state) PutState(context, kGpoType, line, *state, before);
        return UEMU_RESULT_OK;
    }

    // Command 100: byte-array item 1, two bytes per output: the line, then
    // its state. Checked whole before any line changes.
    int16_t ObjectCommand(Context &context, const Request &request, ObjectTable &table,
                          Reply &) override {
        if (request.command != kObjectSpecific) return UEMU_RESULT_UNKNOWN_COMMAND;
        const ItemView *item = request.items.Find(kAllOutputsItem);
        if (item == nullptr || item->type != kByteArray || item->value.size() % 2 != 0) {
            return UEMU_RESULT_MALFORMED;
        }
        const ByteView pairs = item->value;
        for (size_t i = 0; i < pairs.size(); i += 2) {
            if (table.Find(pairs[i]) == nullptr) return UEMU_RESULT_UNKNOWN_INSTANCE;
            if (pairs[i + 1] > 1) return UEMU_RESULT_OUT_OF_RANGE;
        }
        for (size_t i = 0; i < pairs.size(); i += 2) {
            Object &line = *table.Find(pairs[i]);
            PutState(context, kGpoType, line, pairs[i + 1], StateOfLine(line));
        }
        return UEMU_RESULT_OK;
    }
};

// ---- GPI --------------------------------------------------------------------------------

class GpiFamily;

struct GpiLine final : FamilyState {
    explicit GpiLine(GpiFamily *f) : family(f) {}
    GpiFamily *family;
    uint8_t level = 0;
    Bytes pattern;  // levels played over and over, empty: none
    size_t next = 0;
    uint32_t interval = 0;
    uint32_t due = 0;
};

class GpiFamily final : public Family {
public:
    void Populate(ObjectTable &table, uint8_t count) override {
        Family::Populate(table, count);
        for (auto &[instance, line] : table.objects()) {
            line.state = std::make_unique<GpiLine>(this);
            line.properties.PutInt8(kStateItem, 0);
            line.properties.PutInt8(kThresholdItem, threshold_);
        }
    }

    void Start(Services &services) override {
        threshold_ = services.Config().gpiThreshold;
        services.WithStore([&](Context &context) {
            ObjectTable *table = context.Table(kGpiType);
            if (table == nullptr) return;
            for (auto &[instance, line] : table->objects()) {
                line.properties.PutInt8(kThresholdItem, threshold_);
                Evaluate(context, line, StateOfLine(line));
            }
        });
        ticker_.Start(services, [this](Context &context) { return Tick(context); });
    }

    void Stop() override { ticker_.Stop(); }

    int16_t Add(Context &, const Request &, Object &, Reply &) override { return UEMU_RESULT_REFUSED; }

    int16_t SetProperties(Context &context, const Request &request, Object &line) override {
        std::optional<uint8_t> state, threshold;
        if (const int16_t r = LastInt8(request.items, kStateItem, 1, state); r != UEMU_RESULT_OK) return r;
        if (const int16_t r = LastInt8(request.items, kThresholdItem, 255, threshold); r != UEMU_RESULT_OK) {
            return r;
        }
        const uint8_t before = StateOfLine(line);
        // Item 0 is the reader's to compute: it is stored by Evaluate.
        if (const int16_t r = MergeItems(line.properties, request.items, {kStateItem}); r != UEMU_RESULT_OK) {
            return r;
        }
        if (state) {
            if (GpiLine *l = StateOf<GpiLine>(&line)) {
                l->pattern.clear();
                l->level = *state != 0 ? kHighLevel : 0;
            }
        }
        Evaluate(context, line, before);
        return UEMU_RESULT_OK;
    }

    // A level from outside; ends the line's pattern.
    static void SetLevel(Context &context, Object &line, uint8_t level) {
        GpiLine *l = StateOf<GpiLine>(&line);
        if (l == nullptr) return;
        l->pattern.clear();
        Apply(context, line, level);
    }

    // Plays `levels` on the line from now on, one every `interval` ms, the
    // first at once; no levels end the pattern.
    void SetPattern(Context &context, Object &line, ByteView levels, uint32_t interval) {
        GpiLine *l = StateOf<GpiLine>(&line);
        if (l == nullptr) return;
        // Every step, the first too, is the ticker's, so the line's events
        // leave from one thread, in order.
        l->pattern.assign(levels.begin(), levels.end());
        l->next = 0;
        l->interval = interval;
        l->due = context.Now();
        if (!l->pattern.empty()) ticker_.Wake();
    }

private:
    static void Apply(Context &context, Object &line, uint8_t level) {
        const uint8_t before = StateOfLine(line);
        StateOf<GpiLine>(&line)->level = level;
        Evaluate(context, line, before);
    }

    static void Evaluate(Context &context, Object &line, uint8_t before) {
        const GpiLine *l = StateOf<GpiLine>(&line);
        const uint32_t threshold = StoredValue(line.properties, kThresholdItem).value_or(1);
        const uint8_t state = l != nullptr && l->level >= threshold ? 1 : 0;
        PutState(context, kGpiType, line, state, before);
    }

    uint32_t Tick(Context &context) {
        ObjectTable *table = context.Table(kGpiType);
        if (table == nullptr) return Ticker::kIdle;
        const uint32_t now = context.Now();
        uint32_t wait = Ticker::kIdle;
        for (auto &[instance, line] : table->objects()) {
            GpiLine *l = StateOf<GpiLine>(&line);
            if (l == nullptr || l->pattern.empty()) continue;
            if (Reached(now, l->due)) {
                const uint8_t level = l->pattern[l->next];
                l->next = (l->next + 1) % l->pattern.size();
                l->due += l->interval;
                // A ticker that fell behind does not replay what it missed.
                if (Reached(now, l->due)) l->due = now + l->interval;
                Apply(context, line, level);
            }
            wait = std::min(wait, l->due - now);
        }
        return wait;
    }

    uint8_t threshold_ = 1;
    Ticker ticker_;
};

// Runs `work` on GPI line `line` with the store locked.
template <typename Work>
int32_t OnGpiLine(uemu_Reader *reader, uint8_t line, Work &&work) {
    if (reader == nullptr) return UEMU_ERR_INVALID;
    return GuardedCall([&] {
        int32_t result = UEMU_ERR_NOT_FOUND;
        reader->reader.WithStore([&](Context &context) {
            ObjectTable *table = context.Table(kGpiType);
            Object *object = table != nullptr ? table->Find(line) : nullptr;
            GpiLine *l = StateOf<GpiLine>(object);
            if (l == nullptr) return;
            work(context, *object, *l->family);
            result = UEMU_OK;
        });
        return result;
    });
}

}  // namespace

void ResetGpo(Context &context, uint8_t line) {
    ObjectTable *table = context.Table(kGpoType);
    if (table == nullptr) return;
    for (auto &[instance, object] : table->objects()) {
        if (line == 0 || line == instance) PutState(context, kGpoType, object, 0, StateOfLine(object));
    }
}

std::unique_ptr<Family> MakeGpoFamily() { return std::make_unique<GpoFamily>(); }
std::unique_ptr<Family> MakeGpiFamily() { return std::make_unique<GpiFamily>(); }

}  // namespace uemu

extern "C" {

int32_t uemu_SetGpi(uemu_Reader *reader, uint8_t line, uint8_t level) {
    return uemu::OnGpiLine(reader, line, [&](uemu::Context &context, uemu::Object &object, uemu::GpiFamily &) {
        uemu::GpiFamily::SetLevel(context, object, level);
    });
}

int32_t uemu_SetGpiPattern(uemu_Reader *reader, uint8_t line, const uint8_t *levels, uint8_t count,
                           uint32_t intervalMs) {
    if (count > 0 && (levels == nullptr || intervalMs == 0)) return UEMU_ERR_INVALID;
    const uemu::ByteView pattern = count == 0 ? uemu::ByteView{} : uemu::ByteView(levels, count);
    return uemu::OnGpiLine(reader, line,
                           [&](uemu::Context &context, uemu::Object &object, uemu::GpiFamily &family) {
                               family.SetPattern(context, object, pattern, intervalMs);
                           });
}

}  // extern "C"
