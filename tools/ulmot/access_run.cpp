// tools/ulmot/access_run.cpp - the access run behind `ulmot read` and
// `ulmot write-user`: a tag selector for the EPC prefix, an inventory
// (session 1) that reports each such tag once, an access specification that
// acts on each right after its report, one pass of a schedule over them, and
// the objects removed again whatever happens. The callbacks note which tag
// the last report was and push each access result; the main thread waits for
// the schedule's stop event and takes the results.
#include <chrono>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "access_run.h"

namespace cli {
namespace {

using SteadyClock = std::chrono::steady_clock;

// An access run over a selector reports the matching tags only; even a large
// field passes well within this.
constexpr uint32_t kAccessRunMs = 30000;

void OnAccessReport(void *context, uint32_t, uint8_t instance, const TagReport *report) {
    auto *s = static_cast<AccessShared *>(context);
    const std::string epc = report->data == nullptr ? std::string() : Hex(report->data, report->dataLength);
    std::lock_guard<std::mutex> lock(s->mu);
    if (instance != s->inventory) return;
    s->lastEpc = epc;
    s->lastAntenna = report->item9Instance;
}

void OnAccessData(void *context, uint32_t, uint8_t instance, uint8_t success, uint8_t code, uint16_t length,
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

void OnAccessComplete(void *context, uint32_t timestamp, uint8_t instance, uint8_t success, uint8_t code) {
    OnAccessData(context, timestamp, instance, success, code, 0, nullptr);
}

void OnAccessStop(void *context, uint32_t, uint32_t scheduleId, uint8_t) {
    auto *s = static_cast<AccessShared *>(context);
    std::lock_guard<std::mutex> lock(s->mu);
    if (scheduleId == s->schedule) s->stopped = true;
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

std::vector<AccessResult> RunAccess(Reader &reader, AccessShared &state, const std::vector<uint8_t> &epc,
                                    uint32_t epcBits, uint8_t operation, uint8_t bank, uint32_t offset, uint8_t words,
                                    const std::vector<uint8_t> &data) {
    ClientProcessor *c = reader.client();
    AccessShared *shared = &state;
    {
        std::lock_guard<std::mutex> lock(shared->mu);
        shared->inventory = shared->access = shared->schedule = 0;
        shared->lastEpc.clear();
        shared->stopped = false;
    }
    shared->results.Take();  // what an earlier run left
    std::vector<std::pair<uint32_t, uint8_t>> made;
    auto removeAll = [&] {
        if (!reader.LinkUp()) return;
        for (auto it = made.rbegin(); it != made.rend(); ++it) ulmot_RemoveObject(c, it->first, it->second);
        made.clear();
    };
    try {
        TagFilter filter{};
        ulmot_SetTagFilterC1G2(&filter, UEMU_BANK_EPC, 0x20, 0, 0, static_cast<uint16_t>(epcBits), epc.data(), 0);
        TagFilter *filters[] = {&filter};
        uint8_t selector = 0, inventory = 0, access = 0, schedule = 0;
        Check(ulmot_AddTagSelectorSpecification(c, &selector, filters, 1), "adding the tag selector for --epc");
        made.emplace_back(ULMOT_OBJ_TAG_SELECTOR, selector);
        Check(ulmot_AddInventorySpecification(c, &inventory, 517, 0, 0, 1, &selector, 1),
              "adding the inventory specification");
        made.emplace_back(ULMOT_OBJ_INVENTORY, inventory);
        Check(ulmot_AddAccessSpecification(c, &access, &inventory, 1, 1, words, operation, bank, offset,
                                           static_cast<uint16_t>(data.size()), data.empty() ? nullptr : data.data(), 0,
                                           nullptr, nullptr, 0, 0),
              "adding the access specification");
        made.emplace_back(ULMOT_OBJ_ACCESS, access);
        ScheduleEntry entry{ULMOT_SCHEDULE_ENTRY_OBJECT, ULMOT_OBJ_INVENTORY, inventory};
        ScheduleEntry *entries[] = {&entry};
        Check(ulmot_AddScheduleSpecification(c, &schedule, entries, 1, 1, 1), "adding the schedule");
        made.emplace_back(ULMOT_OBJ_SCHEDULE, schedule);
        {
            std::lock_guard<std::mutex> lock(shared->mu);
            shared->inventory = inventory;
            shared->access = access;
            shared->schedule = schedule;
        }
        Check(ulmot_RegisterInventoryEvents(c, nullptr, nullptr, OnAccessReport, shared),
              "registering for tag reports");
        Check(ulmot_RegisterAccessEvents(c, nullptr, OnAccessComplete, OnAccessData, nullptr, nullptr, shared),
              "registering for access events");
        Check(ulmot_RegisterScheduleEvents(c, nullptr, OnAccessStop, shared), "registering for schedule events");
        // Start flag 0: one pass.
        Check(ulmot_StartScheduleSpecification(c, schedule, 0),
              "starting the schedule (is another schedule running on the reader?)");
        const auto started = SteadyClock::now();
        bool stopped = false;
        while (!stopped) {
            Nap(10);
            {
                std::lock_guard<std::mutex> lock(shared->mu);
                stopped = shared->stopped;
            }
            if (stopped) break;
            if (Interrupted()) {
                ulmot_StopScheduleSpecification(c, schedule, nullptr);
                Fail(kInterrupted, "interrupted before the tags answered");
            }
            if (!reader.LinkUp()) Fail(kNoReader, "lost the link to " + reader.Describe());
            if (SteadyClock::now() - started > std::chrono::milliseconds(kAccessRunMs)) {
                ulmot_StopScheduleSpecification(c, schedule, nullptr);
                Fail(kRefused, "the reader did not end the run within " + std::to_string(kAccessRunMs / 1000) + " s");
            }
        }
    } catch (const Failure &) {
        ulmot_RegisterInventoryEvents(c, nullptr, nullptr, nullptr, nullptr);
        ulmot_RegisterAccessEvents(c, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
        ulmot_RegisterScheduleEvents(c, nullptr, nullptr, nullptr);
        removeAll();
        throw;
    }
    ulmot_RegisterInventoryEvents(c, nullptr, nullptr, nullptr, nullptr);
    ulmot_RegisterAccessEvents(c, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    ulmot_RegisterScheduleEvents(c, nullptr, nullptr, nullptr);
    removeAll();
    // The callbacks are off: the results are the main thread's now.
    return shared->results.Take();
}

EpcArgument RequireEpc(const Options &options) {
    auto epc = options.Value("epc");
    if (!epc) Fail(kUsage, options.command + " needs --epc HEX (the EPC, or the first hex digits of it)");
    EpcArgument a;
    a.bytes = ParseHex(*epc, "--epc", &a.bits);
    if (a.bits > UEMU_MAX_EPC_BYTES * 8) Fail(kUsage, "--epc is longer than an EPC can be (496 bits)");
    a.text = *epc;
    return a;
}

}  // namespace cli
