// The tag path end to end: an application drives the library's tag path
// functions against the emulated reader over the in-memory pair, and
// compares what its callbacks receive with the reader's seeded tag field.
#include <gmock/gmock.h>

#include <map>
#include <set>
#include <utility>

#include "session_support.h"
#include "uemu.h"
#include "ulmot.h"

namespace {

using namespace ulmot::test;

// The Gen2 CRC-16 of the tests (polynomial 0x1021, preset 0xFFFF, inverted).
uint16_t Gen2Crc(const Bytes &bytes) {
    uint32_t crc = 0xFFFF;
    for (uint8_t byte : bytes) {
        crc ^= uint32_t{byte} << 8;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) != 0 ? ((crc << 1) ^ 0x1021) & 0xFFFF : (crc << 1) & 0xFFFF;
    }
    return static_cast<uint16_t>(~crc & 0xFFFF);
}

// One tag report as the application copies it out of the callback.
struct Seen {
    uint8_t inventory = 0;
    uint16_t pc = 0, xpc1 = 0, xpc2 = 0, crc = 0, format = 0;
    Bytes epc;
    uint8_t antenna = 0;
    uint32_t sequence = 0;
    uint8_t schedule = 0;
};

struct AccessSeen {
    uint8_t access = 0;
    uint8_t event = 0;  // 0 data complete, 1 complete, 2 stop
    uint8_t success = 0;
    uint8_t code = 0;
    Bytes data;
};

// What the callbacks saw, across the client's queue thread and the test's.
struct Recorder {
    std::mutex mu;
    std::vector<Seen> reports;
    std::vector<AccessSeen> accesses;
    std::vector<std::pair<uint8_t, int>> schedules;  // instance, -1 start or the stop reason
    std::vector<std::pair<uint8_t, std::optional<AntennaPairActivation>>> activations;
    std::vector<std::pair<uint8_t, uint8_t>> vswr;
    int markers = 0;
    std::vector<std::string> order;  // "report", "stop", "marker"

    template <typename F>
    auto With(F &&f) {
        std::lock_guard<std::mutex> g(mu);
        return f();
    }
    bool Wait(const std::function<bool()> &done, int ms = 20000) {
        const auto start = Clock::now();
        while (!With(done)) {
            if (MsSince(start) > ms) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }
    bool Stopped(uint8_t schedule) {
        return Wait([&] {
            return std::any_of(schedules.begin(), schedules.end(),
                               [&](const auto &s) { return s.first == schedule && s.second >= 0; });
        });
    }
};

void OnReport(void *ctx, uint32_t, uint8_t instance, const TagReport *r) {
    auto *rec = static_cast<Recorder *>(ctx);
    Seen s;
    s.inventory = instance;
    s.pc = r->pcWord;
    s.xpc1 = r->xpcWord1;
    s.xpc2 = r->xpcWord2;
    s.crc = r->crc;
    s.format = r->format;
    if (r->data != nullptr) s.epc.assign(r->data, r->data + r->dataLength);
    s.antenna = r->item9Instance;
    s.sequence = r->item18;
    s.schedule = r->item20;
    rec->With([&] {
        rec->reports.push_back(std::move(s));
        rec->order.push_back("report");
        return 0;
    });
}
void OnMarker(void *ctx, uint32_t, uint8_t) {
    auto *rec = static_cast<Recorder *>(ctx);
    rec->With([&] {
        ++rec->markers;
        rec->order.push_back("marker");
        return 0;
    });
}
void OnStart(void *ctx, uint32_t, uint32_t id) {
    auto *rec = static_cast<Recorder *>(ctx);
    rec->With([&] {
        rec->schedules.emplace_back(static_cast<uint8_t>(id), -1);
        return 0;
    });
}
void OnStop(void *ctx, uint32_t, uint32_t id, uint8_t reason) {
    auto *rec = static_cast<Recorder *>(ctx);
    rec->With([&] {
        rec->schedules.emplace_back(static_cast<uint8_t>(id), reason);
        rec->order.push_back("stop");
        return 0;
    });
}
void OnAccessStop(void *ctx, uint32_t, uint8_t instance) {
    auto *rec = static_cast<Recorder *>(ctx);
    rec->With([&] {
        rec->accesses.push_back({instance, 2, 0, 0, {}});
        return 0;
    });
}
void OnAccessComplete(void *ctx, uint32_t, uint8_t instance, uint8_t success, uint8_t code) {
    auto *rec = static_cast<Recorder *>(ctx);
    rec->With([&] {
        rec->accesses.push_back({instance, 1, success, code, {}});
        return 0;
    });
}
void OnAccessData(void *ctx, uint32_t, uint8_t instance, uint8_t success, uint8_t code, uint16_t length,
                  const uint8_t *data) {
    auto *rec = static_cast<Recorder *>(ctx);
    rec->With([&] {
        rec->accesses.push_back({instance, 0, success, code, data == nullptr ? Bytes{} : Bytes(data, data + length)});
        return 0;
    });
}
void OnActivation(void *ctx, uint32_t, uint8_t pair, const AntennaPairActivation *a) {
    auto *rec = static_cast<Recorder *>(ctx);
    rec->With([&] {
        rec->activations.emplace_back(pair, a == nullptr ? std::nullopt : std::optional<AntennaPairActivation>(*a));
        return 0;
    });
}
void OnVswr(void *ctx, uint32_t, uint8_t antenna, uint8_t status) {
    auto *rec = static_cast<Recorder *>(ctx);
    rec->With([&] {
        rec->vswr.emplace_back(antenna, status);
        return 0;
    });
}

struct Connection {
    utr_MemoryPair *pair = utr_MemoryPairCreate("client", "reader", 0);
    explicit Connection(uemu_Reader *reader) {
        utr_MemorySetReceiveSlice(pair, 10);  // destroys need not wait out an 800 ms receive
        EXPECT_EQ(uemu_Attach(reader, utr_MemoryEndpoint(pair, UTR_SIDE_B), nullptr, nullptr), UEMU_OK);
    }
    Transport *ClientSide() { return utr_MemoryEndpoint(pair, UTR_SIDE_A); }
};

class TagPathEndToEnd : public PoolTest {
protected:
    void SetUp() override {
        PoolTest::SetUp();
        uemu_ConfigInit(&config_);
        config_.tagCount = 40;
        config_.tagSeed = 11;
        config_.tagRate = 2000;
        config_.xpcPercent = 40;
    }
    void TearDown() override {
        for (ClientProcessor *c : clients_) ulmot_DestroyClientProcessor(c);
        uemu_Destroy(reader_);
        for (auto &c : connections_) utr_MemoryPairDestroy(c->pair);
        PoolTest::TearDown();
    }
    // A client attached to the reader for every tag path type.
    ClientProcessor *NewClient(const char *name) {
        if (reader_ == nullptr) reader_ = uemu_Create(&config_);
        EXPECT_NE(reader_, nullptr);
        connections_.push_back(std::make_unique<Connection>(reader_));
        ClientProcessor *c = nullptr;
        EXPECT_EQ(ulmot_CreateClientProcessor(connections_.back()->ClientSide(), name, &c), 0);
        for (uint32_t type : {ULMOT_OBJ_TAG_SELECTOR, ULMOT_OBJ_INVENTORY, ULMOT_OBJ_TAG_FILTER, ULMOT_OBJ_ACCESS,
                              ULMOT_OBJ_ANTENNA, ULMOT_OBJ_SCHEDULE, ULMOT_OBJ_ANTENNA_PAIR}) {
            EXPECT_EQ(ulmot_AttachDefaultObjectProcessor(c, type, 0, 0), 0);
        }
        clients_.push_back(c);
        return c;
    }
    std::vector<uemu_Tag> Tags() {
        uint32_t n = 0;
        EXPECT_EQ(uemu_GetTagCount(reader_, &n), UEMU_OK);
        std::vector<uemu_Tag> tags(n);
        for (uint32_t i = 0; i < n; ++i) EXPECT_EQ(uemu_GetTag(reader_, i, &tags[i]), UEMU_OK);
        return tags;
    }
    Bytes Memory(uint32_t index, uint8_t bank, uint16_t pointer, uint16_t count) {
        Bytes out(1100);
        uint32_t length = 0;
        EXPECT_EQ(uemu_ReadTagMemory(reader_, index, bank, pointer, count, out.data(), 1100, &length), UEMU_OK);
        out.resize(length);
        return out;
    }
    // A schedule of `entries` (object references and values), with its start
    // and stop events.
    uint8_t Schedule(ClientProcessor *c, std::vector<ScheduleEntry> entries) {
        std::vector<ScheduleEntry *> pointers;
        for (ScheduleEntry &e : entries) pointers.push_back(&e);
        uint8_t id = 0;
        EXPECT_EQ(ulmot_AddScheduleSpecification(c, &id, pointers.data(), static_cast<uint32_t>(pointers.size()), 1, 1),
                  0);
        return id;
    }
    // Runs `schedule` for one pass and waits for its stop.
    void RunOnce(ClientProcessor *c, uint8_t schedule) {
        ASSERT_EQ(ulmot_StartScheduleSpecification(c, schedule, 0), 0);
        ASSERT_TRUE(rec_.Stopped(schedule));
    }
    static ScheduleEntry Object(uint16_t type, uint8_t instance) { return ScheduleEntry{0, type, instance}; }

    uemu_Config config_{};
    uemu_Reader *reader_ = nullptr;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::vector<ClientProcessor *> clients_;
    Recorder rec_;
};

TEST_F(TagPathEndToEnd, AnInventoryReadsEverySeededTagWithItsPcEpcAndCrc) {
    ClientProcessor *c = NewClient("app");
    uint8_t selector = 0;
    ASSERT_EQ(ulmot_AddTagSelectorSpecification(c, &selector, nullptr, 0), 0) << "no filter: every tag";
    uint8_t inventory = 0;
    ASSERT_EQ(ulmot_AddInventorySpecification(c, &inventory, 517, ULMOT_OBJ_ANTENNA, 1, 1, &selector, 1), 0);
    ASSERT_EQ(ulmot_RegisterInventoryEvents(c, nullptr, nullptr, OnReport, &rec_), 0);
    ASSERT_EQ(ulmot_RegisterScheduleEvents(c, OnStart, OnStop, &rec_), 0);
    const uint8_t schedule = Schedule(c, {Object(ULMOT_OBJ_INVENTORY, inventory)});
    RunOnce(c, schedule);

    const auto tags = Tags();
    const auto reports = rec_.With([&] { return rec_.reports; });
    EXPECT_EQ(rec_.With([&] { return rec_.schedules; }),
              (std::vector<std::pair<uint8_t, int>>{{schedule, -1}, {schedule, 3}}));
    ASSERT_EQ(reports.size(), tags.size());
    std::set<size_t> found;
    int withXpc = 0;
    for (size_t n = 0; n < reports.size(); ++n) {
        const Seen &s = reports[n];
        auto t = std::find_if(tags.begin(), tags.end(),
                              [&](const uemu_Tag &x) { return Bytes(x.epc, x.epc + x.epcLength) == s.epc; });
        ASSERT_NE(t, tags.end()) << "report " << n << " names no tag of the field";
        EXPECT_TRUE(found.insert(static_cast<size_t>(t - tags.begin())).second) << "a tag reported twice";
        EXPECT_EQ(s.inventory, inventory);
        EXPECT_EQ(s.format, 517);
        EXPECT_EQ(s.pc, t->pc);
        EXPECT_EQ(s.xpc1, t->xpcCount > 0 ? t->xpc[0] : 0);
        EXPECT_EQ(s.xpc2, t->xpcCount > 1 ? t->xpc[1] : 0);
        withXpc += t->xpcCount > 0;
        Bytes covered = {static_cast<uint8_t>(s.pc >> 8), static_cast<uint8_t>(s.pc)};
        if (t->xpcCount > 0) Append(covered, {static_cast<uint8_t>(s.xpc1 >> 8), static_cast<uint8_t>(s.xpc1)});
        if (t->xpcCount > 1) Append(covered, {static_cast<uint8_t>(s.xpc2 >> 8), static_cast<uint8_t>(s.xpc2)});
        Append(covered, s.epc);
        EXPECT_EQ(s.crc, Gen2Crc(covered)) << "the CRC over PC, XPC words and EPC";
        EXPECT_EQ(s.crc, t->crc);
        EXPECT_EQ(s.antenna, 1);
        EXPECT_EQ(s.sequence, n + 1);
        EXPECT_EQ(s.schedule, schedule);
    }
    EXPECT_GT(withXpc, 0) << "the library split XPC words off some EPCs";
    EXPECT_EQ(found.size(), tags.size());

    uint8_t item5 = 9, item9 = 0;
    uint16_t item6 = 0, item7 = 0, item8 = 0, item10 = 0, item11 = 9;
    EXPECT_EQ(ulmot_GetInventoryStats(c, inventory, &item5, &item6, &item7, &item8, &item9, &item10, &item11), 0);
    EXPECT_EQ(item5, 0);
    EXPECT_EQ(item6, 40);
    EXPECT_EQ(item7, 40);
    EXPECT_EQ(item8, 1);
    EXPECT_EQ(item9, 1);
    EXPECT_EQ(item11, 0);
    uint8_t status = 9;
    EXPECT_EQ(ulmot_StopScheduleSpecification(c, schedule, &status), 0);
    EXPECT_EQ(status, 1) << "it had stopped by itself";
}

TEST_F(TagPathEndToEnd, FiltersNarrowWhatSelectorsAndAccessSpecificationsSee) {
    ClientProcessor *c = NewClient("app");
    const auto tags = Tags();
    const uint8_t x = tags[2].epc[0];
    TagFilter match{}, miss{};
    ulmot_SetTagFilterC1G2(&match, 1, 32, 4, 0, 8, &x, 0);  // EPC byte 0 is x: select (action 0)
    ulmot_SetTagFilter(&miss, 1, 32, 4, 8, 0, &x, nullptr);  // EPC byte 0 is not x (action 4)
    std::set<Bytes> withX, withoutX;
    for (const uemu_Tag &t : tags) {
        (t.epc[0] == x ? withX : withoutX).insert(Bytes(t.epc, t.epc + t.epcLength));
    }
    ASSERT_FALSE(withoutX.empty());
    ASSERT_EQ(ulmot_RegisterInventoryEvents(c, nullptr, nullptr, OnReport, &rec_), 0);
    ASSERT_EQ(ulmot_RegisterScheduleEvents(c, OnStart, OnStop, &rec_), 0);
    ASSERT_EQ(ulmot_RegisterAccessEvents(c, OnAccessStop, OnAccessComplete, OnAccessData, nullptr, nullptr, &rec_), 0);

    for (TagFilter *f : {&match, &miss}) {
        TagFilter *filters[] = {f};
        uint8_t selector = 0, inventory = 0;
        ASSERT_EQ(ulmot_AddTagSelectorSpecification(c, &selector, filters, 1), 0);
        ASSERT_EQ(ulmot_AddInventorySpecification(c, &inventory, 517, ULMOT_OBJ_ANTENNA, 1, 1, &selector, 1), 0);
        RunOnce(c, Schedule(c, {Object(ULMOT_OBJ_INVENTORY, inventory)}));
        std::set<Bytes> seen;
        rec_.With([&] {
            for (const Seen &s : rec_.reports) seen.insert(s.epc);
            rec_.reports.clear();
            return 0;
        });
        EXPECT_EQ(seen, f == &match ? withX : withoutX);
    }

    // A tag filter specification narrows an access specification the same way.
    TagFilterElement elements[] = {{ULMOT_FILTER_ELEMENT_TAG_FILTER, reinterpret_cast<uintptr_t>(&match)}};
    uint8_t filter = 0, inventory = 0, access = 0;
    ASSERT_EQ(ulmot_AddTagFilterSpecification(c, &filter, elements, 1), 0);
    ASSERT_EQ(ulmot_AddInventorySpecification(c, &inventory, 517, ULMOT_OBJ_ANTENNA, 1, 1, nullptr, 0), 0);
    ASSERT_EQ(ulmot_AddAccessSpecification(c, &access, &inventory, 1, 1, 2, 0, UEMU_BANK_EPC, 2, 0, nullptr, 0,
                                           nullptr, nullptr, 0, filter),
              0)
        << "read EPC words 2 and 3";
    RunOnce(c, Schedule(c, {Object(ULMOT_OBJ_INVENTORY, inventory)}));
    std::set<Bytes> read;
    rec_.With([&] {
        for (const AccessSeen &a : rec_.accesses) {
            if (a.event != 0) continue;
            EXPECT_EQ(a.access, access);
            EXPECT_EQ(a.success, 1);
            read.insert(a.data);
        }
        return 0;
    });
    std::set<Bytes> expected;
    for (const Bytes &epc : withX) expected.insert(Bytes(epc.begin(), epc.begin() + 4));
    EXPECT_EQ(read, expected);
}

TEST_F(TagPathEndToEnd, AccessReadsTidAndUserMemoryAndWritesUserMemory) {
    ClientProcessor *c = NewClient("app");
    uint8_t inventory = 0, tid = 0, user = 0, write = 0;
    ASSERT_EQ(ulmot_AddInventorySpecification(c, &inventory, 517, ULMOT_OBJ_ANTENNA, 1, 1, nullptr, 0), 0);
    ASSERT_EQ(ulmot_AddAccessSpecification(c, &tid, &inventory, 1, 1, 0, 0, UEMU_BANK_TID, 0, 0, nullptr, 0,
                                           nullptr, nullptr, 0, 0),
              0);
    ASSERT_EQ(ulmot_AddAccessSpecification(c, &user, &inventory, 1, 1, 4, 0, UEMU_BANK_USER, 0, 0, nullptr, 0,
                                           nullptr, nullptr, 0, 0),
              0);
    const uint8_t words[] = {0xCA, 0xFE, 0xF0, 0x0D};
    const uint8_t antennas[] = {1};
    ASSERT_EQ(ulmot_AddAccessSpecification(c, &write, &inventory, 1, 1, 0, 1, UEMU_BANK_USER, 8, 4, words, 0,
                                           nullptr, antennas, 1, 0),
              0);
    ASSERT_EQ(ulmot_RegisterScheduleEvents(c, OnStart, OnStop, &rec_), 0);
    ASSERT_EQ(ulmot_RegisterAccessEvents(c, OnAccessStop, OnAccessComplete, OnAccessData, nullptr, nullptr, &rec_), 0);
    const auto tags = Tags();
    std::multiset<Bytes> tids, users;
    for (uint32_t i = 0; i < tags.size(); ++i) {
        tids.insert(Memory(i, UEMU_BANK_TID, 0, 0));
        users.insert(Memory(i, UEMU_BANK_USER, 0, 4));
    }
    RunOnce(c, Schedule(c, {Object(ULMOT_OBJ_INVENTORY, inventory)}));

    std::multiset<Bytes> readTids, readUsers;
    std::map<uint8_t, int> stops, completes;
    rec_.With([&] {
        for (const AccessSeen &a : rec_.accesses) {
            if (a.event == 2) {
                ++stops[a.access];
            } else if (a.event == 1) {
                EXPECT_EQ(a.access, write);
                EXPECT_EQ(a.success, 1);
                EXPECT_EQ(a.code, 0);
                ++completes[a.access];
            } else {
                EXPECT_EQ(a.success, 1);
                (a.access == tid ? readTids : readUsers).insert(a.data);
            }
        }
        return 0;
    });
    EXPECT_EQ(readTids, tids) << "every tag's TID, as the reader holds it";
    EXPECT_EQ(readUsers, users) << "user words 0 to 3 of every tag";
    EXPECT_EQ(completes[write], 40);
    EXPECT_EQ(stops, (std::map<uint8_t, int>{{tid, 1}, {user, 1}, {write, 1}}));
    for (uint32_t i = 0; i < tags.size(); ++i) {
        EXPECT_EQ(Memory(i, UEMU_BANK_USER, 8, 2), Bytes(words, words + 4)) << "tag " << i;
    }
}

TEST_F(TagPathEndToEnd, AntennasAndPairsAnswerAndActivationCarriesItsExtraInfo) {
    ClientProcessor *c = NewClient("app");
    uint8_t count = 0;
    EXPECT_EQ(ulmot_GetAntennaCount(c, &count), 0);
    EXPECT_EQ(count, 4);
    uint16_t maxPower = 0, minPower = 0, defaultPower = 0, listLength = 0;
    uint8_t list[8] = {};
    EXPECT_EQ(ulmot_GetAntennaAttributes(c, 3, &maxPower, &minPower, &defaultPower, list, sizeof list, &listLength), 0);
    EXPECT_EQ(maxPower, 315);
    EXPECT_EQ(minPower, 100);
    EXPECT_EQ(defaultPower, 300);
    EXPECT_EQ(Bytes(list, list + listLength), Bytes{3});

    ASSERT_EQ(ulmot_RegisterTxAntennaVSWRStatus(c, OnVswr, &rec_, 1), 0);
    ASSERT_EQ(uemu_SetAntennaVswr(reader_, 3, 1), UEMU_OK);
    ASSERT_TRUE(rec_.Wait([&] { return !rec_.vswr.empty(); }));
    uint8_t status = 0;
    EXPECT_EQ(ulmot_GetAntennaLastVSWRStatus(c, 3, &status), 0);
    EXPECT_EQ(status, 1);
    rec_.With([&] {
        EXPECT_EQ(rec_.vswr, (std::vector<std::pair<uint8_t, uint8_t>>{{3, 1}}));
        return 0;
    });

    uint8_t pair = 0, inventory = 0;
    ASSERT_EQ(ulmot_AddAntennaPair(c, &pair, 1, 2, 300), 0);
    EXPECT_EQ(ulmot_SetAntennaPower(c, pair, 250), 0);
    uint16_t power = 0;
    EXPECT_EQ(ulmot_GetAntennaPower(c, pair, &power), 0);
    EXPECT_EQ(power, 250);
    const uint8_t receivers[] = {4};
    EXPECT_EQ(ulmot_SetReceiveAntennaList(c, pair, receivers, 1), 0);
    ASSERT_EQ(ulmot_AddInventorySpecification(c, &inventory, 517, 0, 0, 1, nullptr, 0), 0);
    ASSERT_EQ(ulmot_RegisterAntennaPairActivation(c, OnActivation, &rec_, 1), 0);
    ASSERT_EQ(ulmot_EnableAntennaPairEventExtraInfo(c, 1), 0);
    ASSERT_EQ(ulmot_RegisterInventoryEvents(c, nullptr, nullptr, OnReport, &rec_), 0);
    ASSERT_EQ(ulmot_RegisterScheduleEvents(c, OnStart, OnStop, &rec_), 0);
    const uint8_t schedule = Schedule(c, {Object(ULMOT_OBJ_ANTENNA_PAIR, pair), Object(ULMOT_OBJ_INVENTORY, inventory)});
    RunOnce(c, schedule);
    auto activations = rec_.With([&] { return std::exchange(rec_.activations, {}); });
    ASSERT_EQ(activations.size(), 1u);
    EXPECT_EQ(activations[0].first, pair);
    ASSERT_TRUE(activations[0].second.has_value());
    EXPECT_EQ(activations[0].second->item0, 1);
    EXPECT_EQ(activations[0].second->item1, 2);
    EXPECT_EQ(activations[0].second->item2, 250);
    const auto reports = rec_.With([&] { return rec_.reports; });
    EXPECT_EQ(reports.size(), 40u) << "every tag is in the fields of antennas 1 and 2";
    for (const Seen &s : reports) EXPECT_EQ(s.antenna, 2) << "received on the pair's antenna 2";

    // Without the extra information the activation arrives without a record.
    ASSERT_EQ(ulmot_EnableAntennaPairEventExtraInfo(c, 0), 0);
    rec_.With([&] {
        rec_.schedules.clear();
        return 0;
    });
    RunOnce(c, schedule);
    activations = rec_.With([&] { return rec_.activations; });
    ASSERT_EQ(activations.size(), 1u);
    EXPECT_FALSE(activations[0].second.has_value());
}

TEST_F(TagPathEndToEnd, StoppingARunningScheduleEndsItsReports) {
    ClientProcessor *c = NewClient("app");
    uint8_t inventory = 0;
    ASSERT_EQ(ulmot_AddInventorySpecification(c, &inventory, 517, 0, 0, 0, nullptr, 0), 0);
    ASSERT_EQ(ulmot_RegisterInventoryEvents(c, OnMarker, nullptr, OnReport, &rec_), 0);
    ASSERT_EQ(ulmot_ManageInventoryEvents(c, inventory, 0, 0), 0) << "round events stay off; markers come by hand";
    ASSERT_EQ(ulmot_RegisterScheduleEvents(c, OnStart, OnStop, &rec_), 0);
    const uint8_t schedule = Schedule(c, {Object(ULMOT_OBJ_INVENTORY, inventory)});
    for (int run = 1; run <= 2; ++run) {
        ASSERT_EQ(ulmot_StartScheduleSpecification(c, schedule, 1), 0);
        ASSERT_TRUE(rec_.Wait([&] { return rec_.reports.size() >= 100u * static_cast<size_t>(run); }));
        uint8_t status = 9;
        EXPECT_EQ(ulmot_StopScheduleSpecification(c, schedule, &status), 0);
        EXPECT_EQ(status, 0) << "it was running";
        ASSERT_TRUE(rec_.Stopped(schedule));
        // A marker event sent after the stop arrives after everything of the run.
        ASSERT_EQ(uemu_SendEventTo(reader_, ulmot_GetClientProcessorID(c), ULMOT_OBJ_INVENTORY, 0, inventory, nullptr, 0),
                  UEMU_OK);
        ASSERT_TRUE(rec_.Wait([&] { return rec_.markers == run; }));
        rec_.With([&] {
            const auto stop = std::find(rec_.order.rbegin(), rec_.order.rend(), "stop");
            EXPECT_EQ(std::find(rec_.order.rbegin(), stop, "report"), stop) << "no report after the stop";
            rec_.schedules.clear();
            return 0;
        });
    }
}

TEST_F(TagPathEndToEnd, TwoApplicationsReceiveTheSameRunAndOneLeavesWhileItRuns) {
    ClientProcessor *a = NewClient("a");
    ClientProcessor *b = NewClient("b");
    Recorder other;
    uint8_t inventory = 0;
    ASSERT_EQ(ulmot_AddInventorySpecification(a, &inventory, 517, ULMOT_OBJ_ANTENNA, 2, 0, nullptr, 0), 0);
    ASSERT_EQ(ulmot_RegisterInventoryEvents(a, nullptr, nullptr, OnReport, &rec_), 0);
    ASSERT_EQ(ulmot_RegisterInventoryEvents(b, nullptr, nullptr, OnReport, &other), 0);
    ASSERT_EQ(ulmot_RegisterScheduleEvents(a, OnStart, OnStop, &rec_), 0);
    ASSERT_EQ(ulmot_RegisterScheduleEvents(b, OnStart, OnStop, &other), 0);
    ScheduleEntry passes{2, 2, 3};  // three passes
    const uint8_t schedule = Schedule(a, {Object(ULMOT_OBJ_INVENTORY, inventory), passes});
    ASSERT_EQ(ulmot_StartScheduleSpecification(a, schedule, 1), 0);
    ASSERT_TRUE(rec_.Stopped(schedule));
    ASSERT_TRUE(other.Stopped(schedule));
    auto sequences = [](Recorder &r) {
        return r.With([&] {
            std::vector<uint32_t> s;
            for (const Seen &x : r.reports) s.push_back(x.sequence);
            return s;
        });
    };
    const auto seenByA = sequences(rec_);
    EXPECT_EQ(seenByA.size(), 120u);
    EXPECT_EQ(sequences(other), seenByA) << "both in the same order, none lost";

    // b leaves in the middle of a run; a goes on receiving.
    rec_.With([&] {
        rec_.schedules.clear();
        return 0;
    });
    ASSERT_EQ(ulmot_StartScheduleSpecification(a, schedule, 1), 0);
    ASSERT_TRUE(rec_.Wait([&] { return rec_.reports.size() > 130u; }));
    ulmot_DestroyClientProcessor(b);
    clients_.erase(std::find(clients_.begin(), clients_.end(), b));
    ASSERT_TRUE(rec_.Stopped(schedule));
    EXPECT_EQ(sequences(rec_).size(), 240u);
}

}  // namespace
