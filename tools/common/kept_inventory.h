// tools/common/kept_inventory.h - one inventory kept running on a client,
// across losses of the link: what `ulmot inventory` and `ulmot-gateway` share.
//
// Start() makes a tag selector (for an EPC prefix), an inventory
// specification (format 517, session 0) and a schedule over the chosen
// antennas on the reader, registers for tag reports and schedule events and
// starts the schedule. The callbacks copy each report into a capped Inbox
// (inbox.h) and count the gaps in the reader's report numbers. The owner
// calls Watch() from its loop: when the client has lost its session, the
// run is marked lost; once the client has reconnected (a new session), the
// objects are made again on the new session, the callbacks registered again
// and the schedule restarted, and the gap (from, to) is reported. Stop()
// stops the schedule, waits for its stop event, takes the callbacks back
// and removes everything it made.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "inbox.h"
#include "ulmot.h"

namespace tools {

inline constexpr uint32_t kMaxEpcBytes = 62;

// One tag report, copied out of the callback.
struct TagRead {
    uint8_t epc[kMaxEpcBytes];
    uint8_t epcLength;
    uint16_t pc;
    uint8_t antenna;
    int16_t rssi;  // tenths of a dBm
    uint16_t channel, phase, round;
    uint32_t sequence;
    uint32_t timestamp;  // the reader's milliseconds
    std::chrono::steady_clock::time_point seenAt;
    std::chrono::system_clock::time_point seenWall;
};

struct InventoryPlan {
    std::vector<uint8_t> antennas;  // empty: every antenna in turn
    std::vector<uint8_t> filter;    // EPC prefix; empty: every tag
    uint32_t filterBits = 0;
    uint32_t readLimit = 0;  // the reader stops after this many reports (0: no limit, at most 65535)
};

// A time without the link: when it went, when the run went on again.
struct Gap {
    std::chrono::system_clock::time_point from, to;
};

class KeptInventory {
public:
    // `maxPending`: reads waiting for the owner at most; beyond, they are dropped and counted.
    KeptInventory(ClientProcessor *client, InventoryPlan plan, size_t maxPending);
    ~KeptInventory();
    KeptInventory(const KeptInventory &) = delete;
    KeptInventory &operator=(const KeptInventory &) = delete;

    // Called on the client's queue thread for the run's schedule start
    // (stop = false) and stop events (reason: the reader's stop reason). Set
    // it before Start; it must only copy what it needs and return.
    using ScheduleObserver = std::function<void(bool stop, uint32_t timestamp, uint8_t reason)>;
    void ObserveSchedule(ScheduleObserver observer) { observer_ = std::move(observer); }

    // Makes the objects, registers the callbacks and starts the schedule. 0,
    // or the failing request's result with `*what` saying which step failed.
    int32_t Start(std::string *what);

    // What Watch() saw since its last call.
    enum class Change { kNone, kLinkLost, kResumed, kResumeFailed };
    // Call it from the owner's loop (every tick). kLinkLost once when the
    // client lost its session; kResumed once the run goes on again on the new
    // session (LastGap() says when); kResumeFailed when making the run again
    // failed (`*what` says why; Watch tries again on its next call).
    Change Watch(std::string *what);
    bool LinkUp() const;
    Gap LastGap() const;
    uint32_t Resumes() const;

    // Every read that arrived since the last take, oldest first.
    std::vector<TagRead> Take() { return pending_.Take(); }
    // Reads that arrived while `maxPending` waited (dropped), and gaps in the
    // reader's report numbers (lost on the way to the callback).
    uint64_t Dropped() const { return pending_.Dropped(); }
    uint64_t Lost() const;
    // True once the reader ended the run itself (its read limit); `reason`
    // is the reader's stop reason.
    bool Ended(uint8_t *reason = nullptr) const;

    // Stops the schedule (waiting up to `waitMs` for its stop event, the last
    // event of a run), takes the callbacks back and removes what Start made.
    // Nothing is sent while the link is down. Idempotent.
    void Stop(uint32_t waitMs);

private:
    int32_t Make(std::string *what);
    void Remove();
    void Unregister();
    static void OnTagReport(void *context, uint32_t timestamp, uint8_t instance, const TagReport *report);
    static void OnScheduleStart(void *context, uint32_t timestamp, uint32_t scheduleId);
    static void OnScheduleStop(void *context, uint32_t timestamp, uint32_t scheduleId, uint8_t reason);

    ClientProcessor *client_;
    const InventoryPlan plan_;
    Inbox<TagRead> pending_;
    ScheduleObserver observer_;
    std::vector<std::pair<uint32_t, uint8_t>> made_;  // type, instance; removed in reverse
    Session *session_ = nullptr;  // the session the run was made on
    bool running_ = false;        // made and started on session_
    bool lost_ = false;           // the link went; the run waits for the reconnection
    uint32_t resumes_ = 0;
    Gap gap_{};

    mutable std::mutex mu_;  // what the callbacks share with the owner
    uint8_t inventory_ = 0, schedule_ = 0;
    uint32_t nextSequence_ = 1;
    uint64_t lost_reads_ = 0;
    bool ended_ = false;
    uint8_t reason_ = 255;
};

}  // namespace tools
