// tools/common/kept_inventory.cpp - the inventory of kept_inventory.h: made,
// watched across link losses, made again on the new session, and removed.
#include "kept_inventory.h"

#include <algorithm>
#include <cstring>
#include <thread>
#include <utility>

namespace tools {

namespace {
constexpr uint8_t kBankEpc = 1;
constexpr uint32_t kEpcStartBit = 0x20;  // the EPC begins after the stored CRC and the PC
}  // namespace

KeptInventory::KeptInventory(ClientProcessor *client, InventoryPlan plan, size_t maxPending)
    : client_(client), plan_(std::move(plan)), pending_(maxPending) {}

// The callbacks may still hold `this` until the client is destroyed, so
// nothing here talks to the client: the owner calls Stop() before that.
KeptInventory::~KeptInventory() = default;

void KeptInventory::OnTagReport(void *context, uint32_t timestamp, uint8_t instance, const TagReport *report) {
    auto *self = static_cast<KeptInventory *>(context);
    TagRead r{};
    r.epcLength = static_cast<uint8_t>(std::min<uint32_t>(report->data == nullptr ? 0 : report->dataLength,
                                                          kMaxEpcBytes));
    if (r.epcLength != 0) std::memcpy(r.epc, report->data, r.epcLength);
    r.pc = report->pcWord;
    r.antenna = report->item9Instance;
    r.rssi = static_cast<int16_t>(report->item6);
    r.channel = report->item7;
    r.phase = report->item13;
    r.round = report->item14;
    r.sequence = report->item18;
    r.timestamp = timestamp;
    r.seenAt = std::chrono::steady_clock::now();
    r.seenWall = std::chrono::system_clock::now();
    {
        std::lock_guard<std::mutex> lock(self->mu_);
        // Inventories of other clients of the same reader report here too.
        if (instance != self->inventory_) return;
        if (r.sequence > self->nextSequence_) self->lost_reads_ += r.sequence - self->nextSequence_;
        if (r.sequence >= self->nextSequence_) self->nextSequence_ = r.sequence + 1;
    }
    self->pending_.Push(r);
}

void KeptInventory::OnScheduleStart(void *context, uint32_t timestamp, uint32_t scheduleId) {
    auto *self = static_cast<KeptInventory *>(context);
    {
        std::lock_guard<std::mutex> lock(self->mu_);
        if (scheduleId != self->schedule_) return;
    }
    if (self->observer_) self->observer_(false, timestamp, 0);
}

void KeptInventory::OnScheduleStop(void *context, uint32_t timestamp, uint32_t scheduleId, uint8_t reason) {
    auto *self = static_cast<KeptInventory *>(context);
    {
        std::lock_guard<std::mutex> lock(self->mu_);
        if (scheduleId != self->schedule_) return;
        self->ended_ = true;
        self->reason_ = reason;
    }
    if (self->observer_) self->observer_(true, timestamp, reason);
}

int32_t KeptInventory::Make(std::string *what) {
    ClientProcessor *c = client_;
    auto step = [&](int32_t result, const char *text) {
        if (result != 0 && what != nullptr) *what = text;
        return result;
    };
    for (uint32_t type : {ULMOT_OBJ_TAG_SELECTOR, ULMOT_OBJ_INVENTORY, ULMOT_OBJ_ANTENNA, ULMOT_OBJ_SCHEDULE}) {
        if (int32_t r = ulmot_AttachDefaultObjectProcessor(c, type, 0, 0); r != 0) {
            return step(r, "finding the reader's processor for its objects");
        }
    }
    uint8_t selector = 0;
    if (!plan_.filter.empty()) {
        TagFilter filter{};
        ulmot_SetTagFilterC1G2(&filter, kBankEpc, kEpcStartBit, 0, 0, static_cast<uint16_t>(plan_.filterBits),
                               plan_.filter.data(), 0);
        TagFilter *filters[] = {&filter};
        if (int32_t r = ulmot_AddTagSelectorSpecification(c, &selector, filters, 1); r != 0) {
            return step(r, "adding the tag selector for the filter");
        }
        made_.emplace_back(ULMOT_OBJ_TAG_SELECTOR, selector);
    }
    // Format 517 (PC, EPC, CRC), session 0: every tag in every round.
    uint8_t inventory = 0;
    if (int32_t r = ulmot_AddInventorySpecification(c, &inventory, 517, 0, 0, 0, selector != 0 ? &selector : nullptr,
                                                    selector != 0 ? 1 : 0);
        r != 0) {
        return step(r, "adding the inventory specification");
    }
    made_.emplace_back(ULMOT_OBJ_INVENTORY, inventory);
    // Each chosen antenna, then a round; without antennas the reader takes
    // every antenna in turn. A read limit is the reader's: code 1 (tag
    // reports) in the high half.
    std::vector<ScheduleEntry> entries;
    for (uint8_t a : plan_.antennas) {
        entries.push_back(ScheduleEntry{ULMOT_SCHEDULE_ENTRY_OBJECT, ULMOT_OBJ_ANTENNA, a});
        entries.push_back(ScheduleEntry{ULMOT_SCHEDULE_ENTRY_OBJECT, ULMOT_OBJ_INVENTORY, inventory});
    }
    if (plan_.antennas.empty()) entries.push_back(ScheduleEntry{ULMOT_SCHEDULE_ENTRY_OBJECT, ULMOT_OBJ_INVENTORY, inventory});
    if (plan_.readLimit != 0) entries.push_back(ScheduleEntry{ULMOT_SCHEDULE_ENTRY_VALUE, 0, (1u << 16) | plan_.readLimit});
    std::vector<ScheduleEntry *> pointers;
    for (ScheduleEntry &e : entries) pointers.push_back(&e);
    uint8_t schedule = 0;
    if (int32_t r = ulmot_AddScheduleSpecification(c, &schedule, pointers.data(), static_cast<uint32_t>(pointers.size()),
                                                   1, 1);
        r != 0) {
        return step(r, "adding the schedule");
    }
    made_.emplace_back(ULMOT_OBJ_SCHEDULE, schedule);
    {
        std::lock_guard<std::mutex> lock(mu_);
        inventory_ = inventory;
        schedule_ = schedule;
        nextSequence_ = 1;  // a new run numbers its reports from 1
        ended_ = false;
    }
    // Callbacks before the start, so that no report of the run is missed.
    if (int32_t r = ulmot_RegisterInventoryEvents(c, nullptr, nullptr, OnTagReport, this); r != 0) {
        return step(r, "registering for tag reports");
    }
    if (int32_t r = ulmot_RegisterScheduleEvents(c, OnScheduleStart, OnScheduleStop, this); r != 0) {
        return step(r, "registering for schedule events");
    }
    // Start flag 1: the passes repeat until a stop (or the read limit).
    return step(ulmot_StartScheduleSpecification(c, schedule, 1),
                "starting the schedule (is another schedule running on the reader?)");
}

int32_t KeptInventory::Start(std::string *what) {
    session_ = ulmot_GetClientSession(client_);
    const int32_t r = Make(what);
    running_ = r == 0;
    if (!running_) {
        Unregister();
        Remove();
    }
    return r;
}

KeptInventory::Change KeptInventory::Watch(std::string *what) {
    Session *now = ulmot_GetClientSession(client_);
    if (!lost_ && running_ && now != session_) {
        // The session ended (the client reconnects, or already has): what
        // was made on it went with it on the reader's side.
        lost_ = true;
        made_.clear();
        gap_ = Gap{std::chrono::system_clock::now(), {}};
        return Change::kLinkLost;
    }
    if (!lost_ || now == nullptr) return Change::kNone;
    session_ = now;
    const int32_t r = Make(what);
    if (r != 0) {
        if (ulmot_GetClientSession(client_) == now) {
            // The link is up but the run cannot be made again: take back
            // what was made; the next call tries again.
            Unregister();
            Remove();
            session_ = nullptr;
        }
        return Change::kResumeFailed;
    }
    lost_ = false;
    ++resumes_;
    gap_.to = std::chrono::system_clock::now();
    return Change::kResumed;
}

bool KeptInventory::LinkUp() const { return !lost_ && ulmot_GetClientSession(client_) != nullptr; }
Gap KeptInventory::LastGap() const { return gap_; }
uint32_t KeptInventory::Resumes() const { return resumes_; }

uint64_t KeptInventory::Lost() const {
    std::lock_guard<std::mutex> lock(mu_);
    return lost_reads_;
}

bool KeptInventory::Ended(uint8_t *reason) const {
    std::lock_guard<std::mutex> lock(mu_);
    if (reason != nullptr) *reason = reason_;
    return ended_;
}

void KeptInventory::Unregister() {
    // No callback is called once these return; one that is running finishes
    // before the client's destruction does.
    ulmot_RegisterInventoryEvents(client_, nullptr, nullptr, nullptr, nullptr);
    ulmot_RegisterScheduleEvents(client_, nullptr, nullptr, nullptr);
}

void KeptInventory::Remove() {
    if (ulmot_GetClientSession(client_) != nullptr) {
        for (auto it = made_.rbegin(); it != made_.rend(); ++it) ulmot_RemoveObject(client_, it->first, it->second);
    }
    made_.clear();
}

void KeptInventory::Stop(uint32_t waitMs) {
    if (!running_) return;
    running_ = false;
    uint8_t schedule = 0;
    {
        std::lock_guard<std::mutex> lock(mu_);
        schedule = schedule_;
    }
    const bool linked = !lost_ && ulmot_GetClientSession(client_) == session_ && session_ != nullptr;
    if (linked && !Ended()) {
        uint8_t status = 0;
        if (ulmot_StopScheduleSpecification(client_, schedule, &status) == 0) {
            // The stop event is the last event of a run: every report of the
            // run has then been handed over.
            const auto asked = std::chrono::steady_clock::now();
            while (!Ended() && ulmot_GetClientSession(client_) == session_ &&
                   std::chrono::steady_clock::now() - asked < std::chrono::milliseconds(waitMs)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
    }
    Unregister();
    if (linked) Remove();
    made_.clear();
}

}  // namespace tools
