// tools/common/tag_access.cpp - the access run of tag_access.h.
#include "tag_access.h"

#include <chrono>
#include <thread>
#include <utility>

namespace tools {

namespace {

using SteadyClock = std::chrono::steady_clock;

// A run over a selector reports the matching tags only; even a large field
// passes well within this.
constexpr uint32_t kAccessRunMs = 30000;
constexpr uint8_t kBankEpc = 1;
constexpr uint32_t kEpcStartBit = 0x20;

void OnReport(void *context, uint32_t, uint8_t instance, const TagReport *report) {
    auto *s = static_cast<AccessShared *>(context);
    const std::string epc = report->data == nullptr ? std::string() : Hex(report->data, report->dataLength);
    std::lock_guard<std::mutex> lock(s->mu);
    if (instance != s->inventory) return;
    s->lastEpc = epc;
    s->lastAntenna = report->item9Instance;
}

void OnData(void *context, uint32_t, uint8_t instance, uint8_t success, uint8_t code, uint16_t length,
            const uint8_t *data) {
    auto *s = static_cast<AccessShared *>(context);
    AccessResult r;
    {
        std::lock_guard<std::mutex> lock(s->mu);
        if (instance != s->access) return;
        r = AccessResult{s->lastEpc, s->lastAntenna, success != 0, code, {}};
    }
    if (data != nullptr) r.data.assign(data, data + length);
    s->results.Push(std::move(r));
}

void OnComplete(void *context, uint32_t timestamp, uint8_t instance, uint8_t success, uint8_t code) {
    OnData(context, timestamp, instance, success, code, 0, nullptr);
}

void OnStop(void *context, uint32_t, uint32_t scheduleId, uint8_t) {
    auto *s = static_cast<AccessShared *>(context);
    std::lock_guard<std::mutex> lock(s->mu);
    if (scheduleId == s->schedule) s->stopped = true;
}

// Makes the objects and starts the pass; 0 or the failing result.
int32_t Begin(ClientProcessor *c, AccessShared &s, const AccessRequest &q,
              std::vector<std::pair<uint32_t, uint8_t>> &made, std::string *what) {
    auto step = [&](int32_t result, const char *text) {
        if (result != 0 && what != nullptr) *what = text;
        return result;
    };
    for (uint32_t type : {ULMOT_OBJ_TAG_SELECTOR, ULMOT_OBJ_INVENTORY, ULMOT_OBJ_ACCESS, ULMOT_OBJ_SCHEDULE}) {
        if (int32_t r = ulmot_AttachDefaultObjectProcessor(c, type, 0, 0); r != 0) {
            return step(r, "finding the reader's processor for its objects");
        }
    }
    TagFilter filter{};
    ulmot_SetTagFilterC1G2(&filter, kBankEpc, kEpcStartBit, 0, 0, static_cast<uint16_t>(q.epcBits), q.epc.data(), 0);
    TagFilter *filters[] = {&filter};
    uint8_t selector = 0, inventory = 0, access = 0, schedule = 0;
    if (int32_t r = ulmot_AddTagSelectorSpecification(c, &selector, filters, 1); r != 0) {
        return step(r, "adding the tag selector for the EPC");
    }
    made.emplace_back(ULMOT_OBJ_TAG_SELECTOR, selector);
    if (int32_t r = ulmot_AddInventorySpecification(c, &inventory, 517, 0, 0, 1, &selector, 1); r != 0) {
        return step(r, "adding the inventory specification");
    }
    made.emplace_back(ULMOT_OBJ_INVENTORY, inventory);
    if (int32_t r = ulmot_AddAccessSpecification(c, &access, &inventory, 1, 1, q.words, q.operation, q.bank, q.offset,
                                                 static_cast<uint16_t>(q.data.size()),
                                                 q.data.empty() ? nullptr : q.data.data(), 0, nullptr, nullptr, 0, 0);
        r != 0) {
        return step(r, "adding the access specification");
    }
    made.emplace_back(ULMOT_OBJ_ACCESS, access);
    ScheduleEntry entry{ULMOT_SCHEDULE_ENTRY_OBJECT, ULMOT_OBJ_INVENTORY, inventory};
    ScheduleEntry *entries[] = {&entry};
    if (int32_t r = ulmot_AddScheduleSpecification(c, &schedule, entries, 1, 1, 1); r != 0) {
        return step(r, "adding the schedule");
    }
    made.emplace_back(ULMOT_OBJ_SCHEDULE, schedule);
    {
        std::lock_guard<std::mutex> lock(s.mu);
        s.inventory = inventory;
        s.access = access;
        s.schedule = schedule;
    }
    if (int32_t r = ulmot_RegisterInventoryEvents(c, nullptr, nullptr, OnReport, &s); r != 0) {
        return step(r, "registering for tag reports");
    }
    if (int32_t r = ulmot_RegisterAccessEvents(c, nullptr, OnComplete, OnData, nullptr, nullptr, &s); r != 0) {
        return step(r, "registering for access events");
    }
    if (int32_t r = ulmot_RegisterScheduleEvents(c, nullptr, OnStop, &s); r != 0) {
        return step(r, "registering for schedule events");
    }
    // Start flag 0: one pass.
    return step(ulmot_StartScheduleSpecification(c, schedule, 0),
                "starting the schedule (is another schedule running on the reader?)");
}

}  // namespace

std::string TagErrorText(uint8_t code) {
    switch (code) {
    case 3: return "memory overrun (words past the end of the bank)";
    case 4: return "memory locked";
    case 11: return "insufficient power";
    default: return "tag error " + std::to_string(code);
    }
}

std::string Hex(const uint8_t *data, size_t length) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        s += kDigits[data[i] >> 4];
        s += kDigits[data[i] & 0x0F];
    }
    return s;
}

int32_t RunAccess(ClientProcessor *c, AccessShared &s, const AccessRequest &q, std::vector<AccessResult> *results,
                  std::string *what, const std::function<bool()> &interrupted) {
    {
        std::lock_guard<std::mutex> lock(s.mu);
        s.inventory = s.access = s.schedule = 0;
        s.lastEpc.clear();
        s.stopped = false;
    }
    s.results.Take();  // what an earlier run left
    std::vector<std::pair<uint32_t, uint8_t>> made;
    int32_t result = Begin(c, s, q, made, what);
    const auto started = SteadyClock::now();
    while (result == 0) {
        {
            std::lock_guard<std::mutex> lock(s.mu);
            if (s.stopped) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (ulmot_GetClientSession(c) == nullptr) {
            result = ULMOT_ERR_FAILED;
            if (what != nullptr) *what = "lost the link to the reader";
        } else if (interrupted && interrupted()) {
            result = kAccessInterrupted;
        } else if (SteadyClock::now() - started > std::chrono::milliseconds(kAccessRunMs)) {
            result = kAccessTimedOut;
        }
        if (result != 0 && ulmot_GetClientSession(c) != nullptr) {
            ulmot_StopScheduleSpecification(c, static_cast<int32_t>(s.schedule), nullptr);
        }
    }
    ulmot_RegisterInventoryEvents(c, nullptr, nullptr, nullptr, nullptr);
    ulmot_RegisterAccessEvents(c, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    ulmot_RegisterScheduleEvents(c, nullptr, nullptr, nullptr);
    if (ulmot_GetClientSession(c) != nullptr) {
        for (auto it = made.rbegin(); it != made.rend(); ++it) ulmot_RemoveObject(c, it->first, it->second);
    }
    // The callbacks are off: the results are the caller's now.
    if (results != nullptr) *results = s.results.Take();
    return result;
}

}  // namespace tools
