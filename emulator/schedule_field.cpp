// emulator/schedule_field.cpp - the tag field as a running schedule sees
// it: the ports (antenna, antenna pair) a round listens through, the round of
// an inventory specification (who is heard, who its selectors select, in
// which shuffled order), each tag's report with the access specifications
// that act on it right after, the end of a round, and the statistics items
// (5 to 11) an inventory specification keeps. The engine
// (schedule_engine.cpp) and the requests call these with the reader's lock
// held.
#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "schedule.h"

namespace uemu::schedules {

namespace {

constexpr uint8_t kRoundBeginEvent = 0;
constexpr uint8_t kRoundEndEvent = 1;
constexpr uint8_t kTagReportEvent = 2;
constexpr uint8_t kActivationEvent = 0;
constexpr uint8_t kRadioChannelItem = 0;
constexpr int32_t kSignalNoise = 20;  // +-2.0 dB
constexpr int32_t kPhaseNoise = 5;    // degrees

uint16_t Saturated(uint32_t n) { return static_cast<uint16_t>(std::min<uint32_t>(n, 0xFFFF)); }

// The channel the radio is on (its item 0: 1 to N of its plan), 0 without one.
uint16_t RadioChannel(Context &context) {
    ObjectTable *radios = context.Table(kRadioType);
    const Object *radio = radios == nullptr ? nullptr : radios->Find(kRadioInstance);
    bool unused = false;
    return radio == nullptr ? 0 : static_cast<uint16_t>(StoredNumber(radio->properties, kRadioChannelItem, unused).value_or(0));
}

// Whether `tag` is heard through `port`: in the transmit antenna's field and
// loud enough at one of the receiving antennas (the first such one, and the
// signal there before noise, go to `antenna` and `signal`).
bool Hears(const Tag &tag, const Port &port, uint8_t &antenna, int32_t &signal) {
    if (!tag.InFieldOf(port.transmit)) return false;
    for (uint8_t rx : port.receive) {
        if (!tag.InFieldOf(rx)) continue;
        const int32_t s = tag.rssi[rx - 1] + (port.power - kReferencePower);
        if (s >= kSensitivity) {
            antenna = rx;
            signal = s;
            return true;
        }
    }
    return false;
}

}  // namespace

std::optional<Port> ScheduleFamily::AntennaPort(Context &context, uint8_t antenna) const {
    ObjectTable *antennas = context.Table(kAntennaType);
    const Object *o = antennas == nullptr ? nullptr : antennas->Find(antenna);
    if (o == nullptr) return std::nullopt;
    Port p;
    p.transmit = antenna;
    bool unused = false;
    p.power = static_cast<uint16_t>(StoredNumber(o->properties, 0, unused).value_or(kReferencePower));
    const std::optional<ItemView> receive = StoredItem(o->properties, 3);
    if (receive && receive->type == kByteArray) p.receive.assign(receive->value.begin(), receive->value.end());
    if (p.receive.empty()) p.receive = {antenna};
    return p;
}

std::optional<Port> ScheduleFamily::ActivatePair(Context &context, uint8_t pair) const {
    const auto *s = StateOf<PairState>(context, kPairType, pair);
    if (s == nullptr) return std::nullopt;
    std::optional<Port> p = AntennaPort(context, s->transmit);
    if (!p) return std::nullopt;
    p->pair = pair;
    if (s->power != 0) p->power = s->power;
    p->receive = {s->receive != 0 ? s->receive : s->transmit};
    p->receive.insert(p->receive.end(), s->more.begin(), s->more.end());
    context.RaiseEvent(kPairType, kActivationEvent, pair, {});
    return p;
}

bool ScheduleFamily::BeginRound(Context &context, Run &run, uint8_t inventory) {
    auto *inv = StateOf<InventoryState>(context, kInventoryType, inventory);
    if (inv == nullptr) return false;
    Round round;
    round.inventory = inventory;
    if (inv->antenna) {
        std::optional<Port> p = inv->antenna->type == kPairType ? ActivatePair(context, inv->antenna->instance)
                                                                 : AntennaPort(context, inv->antenna->instance);
        if (p) round.ports.push_back(*p);
    } else if (!run.current.empty()) {
        round.ports = run.current;
    } else if (ObjectTable *antennas = context.Table(kAntennaType)) {
        for (const auto &[antenna, object] : antennas->objects()) {
            if (std::optional<Port> p = AntennaPort(context, antenna)) round.ports.push_back(*p);
        }
    }
    const TagField &field = path_->field;
    std::vector<bool> leftOut(field.size(), false);
    for (size_t pi = 0; pi < round.ports.size(); ++pi) {
        const Port &port = round.ports[pi];
        const Object *transmitter = context.Table(kAntennaType)->Find(port.transmit);
        bool unused = false;
        if (StoredNumber(transmitter->properties, 4, unused).value_or(0) != 0) continue;  // VSWR fault
        std::vector<uint32_t> heard;
        for (uint32_t t = 0; t < field.size(); ++t) {
            uint8_t antenna = 0;
            int32_t signal = 0;
            if (!Hears(field.tag(t), port, antenna, signal)) continue;
            bool selected = !inv->hasSelectors;
            for (uint8_t selector : inv->selectors) {
                const auto *f = StateOf<FilterState>(context, kSelectorType, selector);
                if (f != nullptr && f->program.Selects(field.tag(t))) selected = true;
            }
            if (selected) {
                heard.push_back(t);
            } else {
                leftOut[t] = true;
            }
        }
        for (size_t i = heard.size(); i > 1; --i) std::swap(heard[i - 1], heard[rng_.Below(static_cast<uint32_t>(i))]);
        for (uint32_t t : heard) round.queue.emplace_back(t, pi);
    }
    inv->leftOut = Saturated(static_cast<uint32_t>(std::count(leftOut.begin(), leftOut.end(), true)));
    run.round = std::move(round);
    run.passWorked = true;
    run.roundNumber = static_cast<uint16_t>(run.roundNumber + 1);
    run.inventories.insert(inventory);
    if (run.seen[inventory].empty()) run.seen[inventory].assign(field.size(), 0);
    Bytes body;
    ItemWriter(body).Int16(14, run.roundNumber);
    context.RaiseEvent(kInventoryType, kRoundBeginEvent, inventory, body);
    return true;
}

Clock::duration ScheduleFamily::RoundStep(Context &context, Run &run) {
    Round &round = *run.round;
    auto *inv = StateOf<InventoryState>(context, kInventoryType, round.inventory);
    if (inv == nullptr) {
        run.round.reset();  // removed during its round
        return {};
    }
    std::vector<uint16_t> &seen = run.seen[round.inventory];
    while (round.at < round.queue.size()) {
        const auto [tag, port] = round.queue[round.at++];
        // Sessions 1 to 3 keep a tag quiet once it has been inventoried.
        if (inv->session != 0 && seen[tag] != 0) continue;
        if (Report(context, run, *inv, tag, round.ports[port])) return reportTime_;
    }
    EndRound(context, run, *inv);
    return {};
}

bool ScheduleFamily::Report(Context &context, Run &run, InventoryState &inventory, uint32_t index,
                            const Port &port) {
    Round &round = *run.round;
    const Tag &tag = path_->field.tag(index);
    uint8_t antenna = 0;
    int32_t signal = 0;
    if (!Hears(tag, port, antenna, signal)) return false;
    uint16_t &count = run.seen[round.inventory][index];
    count = static_cast<uint16_t>(std::min<uint32_t>(count + 1u, 0xFFFF));
    const auto rssi = static_cast<int16_t>(signal + rng_.Around(kSignalNoise));
    const auto phase = static_cast<uint16_t>((tag.phase[antenna - 1] + 360 + rng_.Around(kPhaseNoise)) % 360);
    ++run.sequence;
    ++run.reports;
    ++round.reports;
    if (!run.distinct[index]) {
        run.distinct[index] = true;
        ++run.distinctCount;
    }

    Bytes body;
    ItemWriter w(body);
    w.Int16(0, inventory.format);
    if (inventory.format == kFormatEpc) {
        PutTagData(body, 4, UEMU_BANK_EPC, 0x20, tag.epc);
    } else {
        PutTagData(body, 4, UEMU_BANK_EPC, 0x10, tag.Backscatter());
    }
    w.ObjectReference(9, kAntennaType, antenna);
    w.Int16(6, static_cast<uint16_t>(rssi));
    w.Int16(7, RadioChannel(context));
    w.Int16(8, count);
    w.Int16(10, port.pair);
    w.Int16(13, phase);
    w.Int16(14, run.roundNumber);
    w.Int16(16, port.power);
    w.Int32(18, run.sequence);
    w.Int8(20, run.schedule);
    if (inventory.inventoryType == 1) {
        const auto &tid = tag.banks[UEMU_BANK_TID];
        Bytes bytes;
        for (uint16_t word : tid) {
            bytes.push_back(static_cast<uint8_t>(word >> 8));
            bytes.push_back(static_cast<uint8_t>(word));
        }
        w.ByteArray(22, bytes);
    }
    context.RaiseEvent(kInventoryType, kTagReportEvent, round.inventory, body);
    ++inventory.reports;
    inventory.lastAntenna = antenna;
    inventory.lastRssi = rssi;

    // Access specifications act on the tag after its report, once a run.
    const Sighting sighting{index, round.inventory, inventory.accessGroup, antenna};
    if (ObjectTable *accesses = context.Table(kAccessType)) {
        for (auto &[instance, object] : accesses->objects()) {
            const auto *access = StateOf<AccessState>(&object);
            if (access == nullptr) continue;
            std::vector<bool> &done = run.accessed[instance];
            if (done.empty()) done.assign(path_->field.size(), false);
            if (done[index] || !AccessApplies(context, path_->field, *access, sighting)) continue;
            done[index] = true;
            run.accesses.insert(instance);
            RunAccess(context, path_->field, instance, *access, sighting);
        }
    }

    if (run.plan.reportLimit != 0 && run.reports >= run.plan.reportLimit) {
        Finish(context, kReportLimitReached);
    } else if (run.plan.distinctLimit != 0 && run.distinctCount >= run.plan.distinctLimit) {
        Finish(context, kDistinctLimitReached);
    }
    return true;
}

void ScheduleFamily::EndRound(Context &context, Run &run, InventoryState &inventory) {
    const Round &round = *run.round;
    ++inventory.rounds;
    const std::vector<uint16_t> &seen = run.seen[round.inventory];
    inventory.distinct = Saturated(static_cast<uint32_t>(
        std::count_if(seen.begin(), seen.end(), [](uint16_t n) { return n != 0; })));
    Bytes body;
    ItemWriter w(body);
    w.Int16(14, run.roundNumber);
    w.Int16(8, Saturated(round.reports));
    w.Int16(11, inventory.leftOut);
    context.RaiseEvent(kInventoryType, kRoundEndEvent, round.inventory, body);
    WriteStatistics(context, round.inventory, true);
    run.round.reset();
}

void ScheduleFamily::WriteStatistics(Context &context, uint8_t instance, bool running) {
    ObjectTable *inventories = context.Table(kInventoryType);
    Object *object = inventories == nullptr ? nullptr : inventories->Find(instance);
    const auto *s = StateOf<InventoryState>(object);
    if (s == nullptr) return;
    PropertySet updated = object->properties;
    updated.PutInt8(5, running ? 1 : 0);
    updated.PutInt16(6, Saturated(s->reports));
    updated.PutInt16(7, s->distinct);
    updated.PutInt16(8, Saturated(s->rounds));
    Bytes antenna;
    ItemWriter(antenna).ObjectReference(9, kAntennaType, s->lastAntenna);
    Items parsed;
    parsed.Parse(antenna);
    updated.Put(parsed.all().front());
    updated.PutInt16(10, static_cast<uint16_t>(s->lastRssi));
    updated.PutInt16(11, s->leftOut);
    // Statistics never push an object's items past a get response.
    if (updated.EncodedSize() <= kMaxPropertyBytes) object->properties = std::move(updated);
}

}  // namespace uemu::schedules
