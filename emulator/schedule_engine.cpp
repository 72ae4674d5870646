// emulator/schedule_engine.cpp - the schedule family's engine: its thread
// (started and stopped with the reader), the wake-ups by which requests ask
// it to look again, and the pacing of a run: each step takes the reader's
// lock once, does what is due (a batch of reports at most), holds back while
// the smallest pool is out of blocks, and sleeps until the next action is
// due. What an action does to the tag field is in schedule_field.cpp.
#include <algorithm>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "schedule.h"

namespace uemu::schedules {

namespace {

constexpr Clock::duration kRoundTime = std::chrono::milliseconds(5);
constexpr Clock::duration kMaxLag = std::chrono::milliseconds(50);
constexpr Clock::duration kHoldBack = std::chrono::milliseconds(10);
constexpr uint32_t kBatch = 32;   // reports per step at most
constexpr int kMaxActions = 4096; // actions per step, reports or not
constexpr uint32_t kProbeSize = ULMOT_POOL0_BUFFER_SIZE;  // the smallest pool's blocks

}  // namespace

ScheduleFamily::~ScheduleFamily() { Stop(); }

void ScheduleFamily::Start(Services &services) {
    services_ = &services;
    path_ = TagPathOf(services);
    const FieldConfig &config = path_->field.config();
    reportTime_ = std::chrono::nanoseconds(1000000000LL / config.tagRate);
    rng_ = Rng(config.seed ^ 0x5CEDu);
    thread_ = std::thread(&ScheduleFamily::Loop, this);
}

void ScheduleFamily::Stop() {
    {
        std::lock_guard<std::mutex> guard(wakeMu_);
        quit_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void ScheduleFamily::Kick() {
    {
        std::lock_guard<std::mutex> guard(wakeMu_);
        ++kicks_;
    }
    wake_.notify_all();
}

bool ScheduleFamily::PoolHasRoom() {
    MessageBlock *probe = allocb(kProbeSize, 1);
    const bool room = probe != nullptr && probe->dataBlock->poolIndex == 0;
    freeb(probe);
    return room;
}

void ScheduleFamily::Loop() {
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

std::optional<Clock::time_point> ScheduleFamily::Step(Context &context, Clock::time_point now, bool room) {
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

Clock::duration ScheduleFamily::Advance(Context &context, Run &run) {
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

}  // namespace uemu::schedules
