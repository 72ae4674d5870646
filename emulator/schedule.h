// emulator/schedule.h - the schedule family inside: the run of a schedule
// and the round of an inventory as the engine keeps them, the family's class
// with its engine thread, and the stop reasons and events its three files
// share. The family's requests are in schedule_family.cpp, the engine's
// thread and pacing in schedule_engine.cpp, the field model (rounds, ports,
// tag reports, access runs, statistics) in schedule_field.cpp. Nothing
// outside these files includes it: the rest of the emulator reaches the
// family through MakeScheduleFamily and ScheduleRunning (families.h).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "families.h"

namespace uemu::schedules {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kStartEvent = 0;
constexpr uint8_t kStopEvent = 1;

// Stop reasons (Int8 item 2 of the stop event).
constexpr uint8_t kStoppedByRequest = 0;
constexpr uint8_t kDurationElapsed = 1;
constexpr uint8_t kReportLimitReached = 2;
constexpr uint8_t kEntriesDone = 3;
constexpr uint8_t kDistinctLimitReached = 4;
constexpr uint8_t kPreempted = 5;
constexpr uint8_t kRemoved = 6;

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
class ScheduleFamily final : public StatefulFamily {
public:
    ~ScheduleFamily() override;

    // The engine (schedule_engine.cpp).
    void Start(Services &services) override;
    void Stop() override;

    // The requests (schedule_family.cpp).
    int16_t Remove(Context &context, const Request &, Object &object) override;
    int16_t ObjectCommand(Context &context, const Request &request, ObjectTable &table,
                          Reply &reply) override;

protected:
    ReadState reader() override;

private:
    // ---- the requests: a run's start and its end (schedule_family.cpp) ----

    int16_t StartRun(Context &context, uint8_t schedule, const ScheduleState &plan, uint8_t priority,
                     bool continuous);
    void Finish(Context &context, uint8_t reason);
    void AnnouncePending(Context &context);
    void Announce(Context &context, const Ending &e);

    // ---- the engine (schedule_engine.cpp) ----

    void Kick();
    // Whether the smallest pool still has a block: a client that does not
    // receive must not make the reports take the process's last blocks.
    static bool PoolHasRoom();
    void Loop();
    // One step of the engine, the store locked: announces ended runs, starts
    // the run asked for, and does what is due of it. Returns when to look
    // again (nothing: when kicked).
    std::optional<Clock::time_point> Step(Context &context, Clock::time_point now, bool room);
    // One action of the run: an entry, a tag report, the end of a round or of
    // a pass. Returns the time it takes. May end the run.
    Clock::duration Advance(Context &context, Run &run);

    // ---- the field model (schedule_field.cpp) ----

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

}  // namespace uemu::schedules
