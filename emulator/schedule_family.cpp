// Schedule specifications (object type 11) and the engine that runs them.
//
// A schedule's entries (item 0, a list) run in order, one pass after the
// other: an antenna (8) or an antenna pair (17) chooses where the following
// inventories look (an activated pair raises its activation event); an
// inventory specification (5) runs one round: every tag in the field of
// those antennas that its selectors select is reported once, in an order
// the seeded generator shuffles; a 32-bit value sets a limit (high 16 bits:
// 0 duration in ms, 1 tag reports, 2 passes, 3 distinct tags; low 16 bits:
// the limit). Start (command 100, Int8 item 1: 1 repeats the passes, 0 runs
// one) and stop (101, Int8 item 6 of the response: 0 it was running, 1 it
// was not) change what runs; one schedule runs at a time, and a start with a
// higher priority (item 5) than the running schedule's takes its place.
//
// The engine is the family's thread. Everything it reads or changes (runs,
// objects, the tag field) is guarded by the reader's lock, which it takes
// through Services::WithStore for each step; hooks ask it to look again
// (Kick) through a lock of its own, taken after the reader's, never before.
// Reports are paced at the tag rate of the configuration: each report takes
// 1/rate s and each round 5 ms. The engine raises a run's start event and
// its reports; a run's end is announced (the stop event) by the engine when
// the run ends by itself or is preempted, and by the request itself when a
// stop or a removal ends it, right behind its response, so a client that
// stops a run need not wait for the engine to see its stop event. The stop
// event is raised after every report of its run; only when a request ends
// the run may it overtake reports the engine has raised but not yet sent.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "families.h"

namespace uemu {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kStartCommand = 100;
constexpr uint8_t kStartEvent = 0;
constexpr uint8_t kStopEvent = 1;
constexpr uint8_t kRoundBeginEvent = 0;
constexpr uint8_t kRoundEndEvent = 1;
constexpr uint8_t kTagReportEvent = 2;
constexpr uint8_t kAccessStopEvent = 2;
constexpr uint8_t kActivationEvent = 0;

// Stop reasons (Int8 item 2 of the stop event).
constexpr uint8_t kStoppedByRequest = 0;
constexpr uint8_t kDurationElapsed = 1;
constexpr uint8_t kReportLimitReached = 2;
constexpr uint8_t kEntriesDone = 3;
constexpr uint8_t kDistinctLimitReached = 4;
constexpr uint8_t kPreempted = 5;
constexpr uint8_t kRemoved = 6;

// Stop status (Int8 item 6 of the stop response).
constexpr uint8_t kWasRunning = 0;
constexpr uint8_t kWasNotRunning = 1;

constexpr Clock::duration kRoundTime = std::chrono::milliseconds(5);
constexpr Clock::duration kMaxLag = std::chrono::milliseconds(50);
constexpr Clock::duration kHoldBack = std::chrono::milliseconds(10);
constexpr uint32_t kBatch = 32;   // reports per step at most
constexpr int kMaxActions = 4096; // actions per step, reports or not
constexpr uint8_t kRadioChannelItem = 0;
constexpr int32_t kSignalNoise = 20;  // +-2.0 dB
constexpr int32_t kPhaseNoise = 5;    // degrees
constexpr uint32_t kProbeSize = ULMOT_POOL0_BUFFER_SIZE;  // the smallest pool's blocks

uint16_t Saturated(uint32_t n) { return static_cast<uint16_t>(std::min<uint32_t>(n, 0xFFFF)); }

// The channel the radio is on (its item 0: 1 to N of its plan), 0 without one.
uint16_t RadioChannel(Context &context) {
    ObjectTable *radios = context.Table(kRadioType);
    const Object *radio = radios == nullptr ? nullptr : radios->Find(kRadioInstance);
    bool unused = false;
    return radio == nullptr ? 0 : static_cast<uint16_t>(StoredNumber(radio->properties, kRadioChannelItem, unused).value_or(0));
}

// Where a round listens: a transmit antenna, the antennas that receive, the
// pair that chose them (0: none) and the power.
struct Port {
    uint8_t transmit = 0;
    Bytes receive;
    uint8_t pair = 0;
    uint16_t power = kReferencePower;
};

struct Round {
    uint8_t inventory = 0;
    std::vector<Port> ports;
    std::vector<std::pair<uint32_t, size_t>> queue;  // tag, port
    size_t at = 0;
    uint32_t reports = 0;
};

// A run's end as the engine announces it.
struct Ending {
    uint8_t schedule = 0;
    uint8_t reason = 0;
    bool started = false;  // its start event went out
    std::set<uint8_t> accesses;
    std::set<uint8_t> inventories;
};

struct Run {
    uint8_t schedule = 0;
    uint8_t priority = 0;
    bool continuous = false;
    bool started = false;
    ScheduleState plan;
    size_t next = 0;
    std::vector<Port> current;  // empty: every antenna in turn
    bool passWorked = false;
    std::optional<Round> round;
    uint32_t reports = 0;
    uint32_t passes = 0;
    uint32_t distinctCount = 0;
    uint32_t sequence = 0;
    uint16_t roundNumber = 0;
    std::vector<bool> distinct;
    std::map<uint8_t, std::vector<uint16_t>> seen;      // per inventory, per tag
    std::map<uint8_t, std::vector<bool>> accessed;      // per access specification, per tag
    std::set<uint8_t> accesses;
    std::set<uint8_t> inventories;
    Clock::time_point begin;
    Clock::time_point due;

    Ending End(uint8_t reason) const { return Ending{schedule, reason, started, accesses, inventories}; }
};

int16_t ReadSchedule(Context &context, const PropertySet &items, const FamilyState *,
                     std::unique_ptr<FamilyState> &out) {
    auto s = std::make_unique<ScheduleState>();
    bool bad = false;
    for (const uint8_t id : {uint8_t{3}, uint8_t{4}, uint8_t{5}}) StoredNumber(items, id, bad);
    const std::optional<ItemView> list = StoredItem(items, 0);
    if (bad || !list) return kMalformed;
    const auto elements = ListElements(*list);
    if (!elements) return kMalformed;
    for (const ItemView &e : *elements) {
        if (const std::optional<Ref> r = Reference(e)) {
            ScheduleStep step{ScheduleStep::Kind::kInventory, r->instance};
            if (r->type == kAntennaType) {
                step.kind = ScheduleStep::Kind::kAntenna;
            } else if (r->type == kPairType) {
                step.kind = ScheduleStep::Kind::kPair;
            } else if (r->type != kInventoryType) {
                return kMalformed;
            }
            ObjectTable *table = context.Table(r->type);
            if (table == nullptr || table->Find(r->instance) == nullptr) return kNoSuchObject;
            s->steps.push_back(step);
        } else if (e.type == kInt32) {
            const uint32_t v = *Number(e);
            const uint32_t limit = v & 0xFFFF;
            switch (v >> 16) {
            case kValueDuration:
                s->durationMs = limit;
                break;
            case kValueReports:
                s->reportLimit = limit;
                break;
            case kValuePasses:
                s->passLimit = limit;
                break;
            case kValueDistinct:
                s->distinctLimit = limit;
                break;
            default:
                return kOutOfRange;
            }
        } else {
            return kMalformed;
        }
    }
    out = std::move(s);
    return UEMU_RESULT_OK;
}

class ScheduleFamily final : public StatefulFamily {
public:
    ~ScheduleFamily() override { Stop(); }

    void Start(Services &services) override {
        services_ = &services;
        path_ = TagPathOf(services);
        const FieldConfig &config = path_->field.config();
        reportTime_ = std::chrono::nanoseconds(1000000000LL / config.tagRate);
        rng_ = Rng(config.seed ^ 0x5CEDu);
        thread_ = std::thread(&ScheduleFamily::Loop, this);
    }

    void Stop() override {
        {
            std::lock_guard<std::mutex> guard(wakeMu_);
            quit_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

    int16_t Remove(Context &context, const Request &, Object &object) override {
        // The announcement goes out from here, while the schedule's own event
        // registrations are still there.
        std::vector<Ending> endings;
        std::erase_if(pending_, [&](const Ending &e) {
            if (e.schedule != object.instance) return false;
            endings.push_back(e);
            return true;
        });
        if (run_ && run_->schedule == object.instance) {
            endings.push_back(run_->End(kRemoved));
            run_.reset();
        }
        for (const Ending &e : endings) Announce(context, e);
        return UEMU_RESULT_OK;
    }

    int16_t ObjectCommand(Context &context, const Request &request, ObjectTable &table,
                          Reply &reply) override {
        Object *object = request.instance == 0 ? nullptr : table.Find(request.instance);
        const auto *plan = StateOf<ScheduleState>(object);
        if (plan == nullptr) return UEMU_RESULT_UNKNOWN_INSTANCE;
        if (request.command == kStartCommand) {
            const ItemView *flag = request.items.Find(1);
            if (flag != nullptr && flag->type != kInt8) return kMalformed;
            bool unused = false;
            const auto priority = static_cast<uint8_t>(StoredNumber(object->properties, 5, unused).value_or(0));
            return StartRun(context, request.instance, *plan, priority, flag != nullptr && flag->value[0] == 1);
        }
        uint8_t status = kWasNotRunning;
        if (run_ && run_->schedule == request.instance) {
            // Announced from here, right behind the response, with any end
            // the engine has not announced yet before it.
            const Ending stopped = run_->End(kStoppedByRequest);
            run_.reset();
            AnnouncePending(context);
            Announce(context, stopped);
            status = kWasRunning;
            Kick();
        }
        reply.Items().Int8(6, status);
        return UEMU_RESULT_OK;
    }

protected:
    ReadState reader() override { return ReadSchedule; }

private:
    int16_t StartRun(Context &context, uint8_t schedule, const ScheduleState &plan, uint8_t priority,
                     bool continuous) {
        if (run_) {
            if (run_->schedule == schedule) {
                context.Log("uemu: schedule " + std::to_string(schedule) + " is already running");
                return kRefused;
            }
            if (priority <= run_->priority) {
                context.Log("uemu: schedule " + std::to_string(schedule) + " not started: schedule " +
                            std::to_string(run_->schedule) + " runs with priority " +
                            std::to_string(run_->priority));
                return kRefused;
            }
            pending_.push_back(run_->End(kPreempted));
        }
        run_.emplace();
        run_->schedule = schedule;
        run_->priority = priority;
        run_->continuous = continuous;
        run_->plan = plan;
        run_->distinct.assign(path_->field.size(), false);
        Kick();
        return UEMU_RESULT_OK;
    }

    void Kick() {
        {
            std::lock_guard<std::mutex> guard(wakeMu_);
            ++kicks_;
        }
        wake_.notify_all();
    }

    // Whether the smallest pool still has a block: a client that does not
    // receive must not make the reports take the process's last blocks.
    static bool PoolHasRoom() {
        MessageBlock *probe = allocb(kProbeSize, 1);
        const bool room = probe != nullptr && probe->dataBlock->poolIndex == 0;
        freeb(probe);
        return room;
    }

    void Loop() {
        std::unique_lock<std::mutex> lock(wakeMu_);
        while (!quit_) {
            const uint64_t seen = kicks_;
            lock.unlock();
            const bool room = PoolHasRoom();
            std::optional<Clock::time_point> wake;
            services_->WithStore([&](Context &context) { wake = Step(context, Clock::now(), room); });
            lock.lock();
            auto woken = [&] { return quit_ || kicks_ != seen; };
            if (wake) {
                wake_.wait_until(lock, *wake, woken);
            } else {
                wake_.wait(lock, woken);
            }
        }
    }

    // One step of the engine, the store locked: announces ended runs, starts
    // the run asked for, and does what is due of it. Returns when to look
    // again (nothing: when kicked).
    std::optional<Clock::time_point> Step(Context &context, Clock::time_point now, bool room) {
        AnnouncePending(context);
        if (!run_) return std::nullopt;
        if (!run_->started) {
            run_->started = true;
            run_->begin = run_->due = now;
            context.RaiseEvent(kScheduleType, kStartEvent, run_->schedule, {});
            ScheduleRunning(context, run_->schedule, true);
            context.Log("uemu: schedule " + std::to_string(run_->schedule) + " started");
        }
        if (!room) return now + kHoldBack;
        const auto duration = std::chrono::milliseconds(run_->plan.durationMs);
        const uint32_t reportsBefore = run_->reports;
        for (int actions = 0; run_ && actions < kMaxActions; ++actions) {
            if (run_->plan.durationMs != 0 && now - run_->begin >= duration) {
                Finish(context, kDurationElapsed);
                break;
            }
            if (run_->due > now || run_->reports - reportsBefore >= kBatch) break;
            const Clock::duration cost = Advance(context, *run_);
            if (!run_) break;
            run_->due += cost;
        }
        if (!run_) return std::nullopt;
        if (run_->due + kMaxLag < now) run_->due = now;
        Clock::time_point wake = run_->due;
        if (run_->plan.durationMs != 0) wake = std::min(wake, run_->begin + duration);
        return wake;
    }

    // One action of the run: an entry, a tag report, the end of a round or of
    // a pass. Returns the time it takes. May end the run.
    Clock::duration Advance(Context &context, Run &run) {
        if (run.round) return RoundStep(context, run);
        if (run.next == run.plan.steps.size()) {
            ++run.passes;
            const bool worked = run.passWorked;
            run.passWorked = false;
            run.next = 0;
            if (!run.continuous || (run.plan.passLimit != 0 && run.passes >= run.plan.passLimit)) {
                Finish(context, kEntriesDone);
                return {};
            }
            return worked ? Clock::duration{} : kRoundTime;
        }
        const ScheduleStep step = run.plan.steps[run.next++];
        switch (step.kind) {
        case ScheduleStep::Kind::kAntenna:
            if (std::optional<Port> port = AntennaPort(context, step.instance)) run.current = {*port};
            return {};
        case ScheduleStep::Kind::kPair:
            if (std::optional<Port> port = ActivatePair(context, step.instance)) run.current = {*port};
            return {};
        default:
            return BeginRound(context, run, step.instance) ? kRoundTime : Clock::duration{};
        }
    }

    std::optional<Port> AntennaPort(Context &, uint8_t antenna) const;
    // The pair's port; raises the pair's activation event.
    std::optional<Port> ActivatePair(Context &context, uint8_t pair) const;
    bool BeginRound(Context &context, Run &run, uint8_t inventory);
    Clock::duration RoundStep(Context &context, Run &run);
    // Reports the tag (false when it is not heard through `port` after all).
    // May end the run.
    bool Report(Context &context, Run &run, InventoryState &inventory, uint32_t tag, const Port &port);
    void EndRound(Context &context, Run &run, InventoryState &inventory);
    void WriteStatistics(Context &context, uint8_t inventory, bool running);

    void Finish(Context &context, uint8_t reason) {
        const Ending e = run_->End(reason);
        run_.reset();
        Announce(context, e);
    }

    void AnnouncePending(Context &context) {
        for (const Ending &e : pending_) Announce(context, e);
        pending_.clear();
    }

    void Announce(Context &context, const Ending &e) {
        if (!e.started) context.RaiseEvent(kScheduleType, kStartEvent, e.schedule, {});
        ScheduleRunning(context, e.schedule, false);
        for (uint8_t access : e.accesses) context.RaiseEvent(kAccessType, kAccessStopEvent, access, {});
        for (uint8_t inventory : e.inventories) WriteStatistics(context, inventory, false);
        Bytes body;
        ItemWriter(body).Int8(2, e.reason);
        context.RaiseEvent(kScheduleType, kStopEvent, e.schedule, body);
        context.Log("uemu: schedule " + std::to_string(e.schedule) + " stopped (reason " +
                    std::to_string(e.reason) + ")");
    }

    Services *services_ = nullptr;
    std::shared_ptr<TagPath> path_;
    Clock::duration reportTime_{};
    std::thread thread_;

    // The engine's wake-up; taken after the reader's lock, never before.
    std::mutex wakeMu_;
    std::condition_variable wake_;
    bool quit_ = false;
    uint64_t kicks_ = 0;

    // Guarded by the reader's lock.
    std::optional<Run> run_;
    std::vector<Ending> pending_;  // ended by a hook, to be announced
    Rng rng_{0};
};

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

}  // namespace

std::unique_ptr<Family> MakeScheduleFamily() { return std::make_unique<ScheduleFamily>(); }

}  // namespace uemu
