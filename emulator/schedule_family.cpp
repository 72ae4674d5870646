// emulator/schedule_family.cpp - the schedule family's requests: the add
// and set of a schedule (its entries read and checked against the objects
// they name), start and stop, and removal, with the announcement of a run's
// end that a stop, a removal or the engine makes. The engine that runs what
// is started is in schedule_engine.cpp, the tag field's side of a run in
// schedule_field.cpp (schedule.h joins them).
//
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
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "schedule.h"

namespace uemu {

namespace schedules {

namespace {

constexpr uint8_t kStartCommand = 100;
constexpr uint8_t kAccessStopEvent = 2;

// Stop status (Int8 item 6 of the stop response).
constexpr uint8_t kWasRunning = 0;
constexpr uint8_t kWasNotRunning = 1;

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

}  // namespace

ReadState ScheduleFamily::reader() { return ReadSchedule; }

int16_t ScheduleFamily::Remove(Context &context, const Request &, Object &object) {
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

int16_t ScheduleFamily::ObjectCommand(Context &context, const Request &request, ObjectTable &table,
                                      Reply &reply) {
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

int16_t ScheduleFamily::StartRun(Context &context, uint8_t schedule, const ScheduleState &plan,
                                 uint8_t priority, bool continuous) {
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

void ScheduleFamily::Finish(Context &context, uint8_t reason) {
    const Ending e = run_->End(reason);
    run_.reset();
    Announce(context, e);
}

void ScheduleFamily::AnnouncePending(Context &context) {
    for (const Ending &e : pending_) Announce(context, e);
    pending_.clear();
}

void ScheduleFamily::Announce(Context &context, const Ending &e) {
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

}  // namespace schedules

std::unique_ptr<Family> MakeScheduleFamily() { return std::make_unique<schedules::ScheduleFamily>(); }

}  // namespace uemu
