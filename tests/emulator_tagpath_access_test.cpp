// Access specifications acting on the tags that running inventories find:
// reads of TID, EPC and user memory that return the tag's bytes, writes that
// change the user bank, Gen2 error codes, and the conditions that narrow the
// tags an access specification applies to.
#include "emulator_tagpath_support.h"

namespace {

using namespace ulmot::test;

using Access = TagPathTest;

constexpr uint8_t kDataComplete = 0;
constexpr uint8_t kComplete = 1;
constexpr uint8_t kAccessStop = 2;

// One access event as the tests read it.
struct Result {
    uint8_t access = 0;
    uint8_t event = 0;
    uint8_t result = 0xFF;
    uint8_t code = 0xFF;
    std::optional<Bytes> data;
    Bytes bits;  // item 4: the tag's PC, EPC and CRC
    uint8_t antenna = 0;
};

std::vector<Result> AccessEvents(const std::vector<Received> &events, uint8_t event) {
    std::vector<Result> out;
    for (const Received &e : events) {
        if (e.header[ULMOT_HEADER_OBJECT_TYPE] != kAccessType || e.header[ULMOT_HEADER_COMMAND] != event) continue;
        Result r;
        r.access = e.header[ULMOT_HEADER_INSTANCE];
        r.event = event;
        auto items = ItemsById(Bytes(e.body.begin() + 6, e.body.end()));
        if (event != kAccessStop) {
            r.result = items.at(10).value.at(0);
            r.code = items.at(11).value.at(0);
            if (items.count(7) != 0) r.data = items.at(7).value;
            const Bytes &td = items.at(4).value;
            EXPECT_EQ(items.at(4).type, 7);
            EXPECT_EQ(Bytes(td.begin(), td.begin() + 5), (Bytes{0x01, 0x00, 0x00, 0x00, 0x10}));
            r.bits.assign(td.begin() + 7, td.end());
            r.antenna = items.at(9).value.at(1);
        }
        out.push_back(r);
    }
    return out;
}

class AccessRun : public Access {
protected:
    void SetUp() override {
        Access::SetUp();
        client_ = &NewClient("app");
        EXPECT_EQ(client_->Enable(kReader, kInventoryType, 0, 0xFFFFFFFF, 4), 0);
        EXPECT_EQ(client_->Enable(kReader, kScheduleType, 0, 0xFFFFFFFF, 3), 0);
        EXPECT_EQ(client_->Enable(kReader, kAccessType, 0, 0xFFFFFFFF, 7), 0);
        inventory_ = AddInventory(*client_, 0);
        tags_ = TagsOf(Reader());
    }
    // Runs antenna 1 and the inventory for `passes` passes.
    std::vector<Received> RunPasses(uint16_t passes, uint8_t inventory = 0) {
        const uint8_t schedule = AddSchedule(
            *client_, {Ref(0, kAntennaType, 1), Ref(0, kInventoryType, inventory != 0 ? inventory : inventory_),
                       I32(0, 0x00020000u | passes)});
        EXPECT_EQ(Start(*client_, schedule, 1), 0);
        auto events = UntilStopped(*client_, schedule);
        EXPECT_EQ(StopReason(events), 3);
        EXPECT_EQ(client_->Request(kReader, kScheduleType, 2, schedule).result, 0);
        return events;
    }
    int Index(const Bytes &bits) { return IndexOf(tags_, bits); }

    Client *client_ = nullptr;
    uint8_t inventory_ = 0;
    std::vector<uemu_Tag> tags_;
};

TEST_F(AccessRun, ReadsReturnEachTagsMemoryOnceARunAndThenStop) {
    struct Case {
        const char *what;
        uint8_t bank;
        uint32_t pointer;
        uint8_t count;
    };
    for (const Case k : {Case{"the whole TID", UEMU_BANK_TID, 0, 0}, Case{"user words 3 to 6", UEMU_BANK_USER, 3, 4},
                         Case{"the EPC bank's PC and EPC", UEMU_BANK_EPC, 1, 7}}) {
        SCOPED_TRACE(k.what);
        const uint8_t access = Add(*client_, kAccessType,
                                   Cat({I16(0, 1), I8(4, 0), I8(6, k.bank), I32(5, k.pointer), I8(13, k.count),
                                        List(1, {Ref(0, kInventoryType, inventory_)})}));
        const auto events = RunPasses(2);
        EXPECT_EQ(ReportsIn(events).size(), 80u) << "two rounds";
        const auto reads = AccessEvents(events, kDataComplete);
        ASSERT_EQ(reads.size(), 40u) << "one read a tag and run";
        std::set<int> read;
        for (const Result &r : reads) {
            const int i = Index(r.bits);
            ASSERT_GE(i, 0);
            read.insert(i);
            EXPECT_EQ(r.access, access);
            EXPECT_EQ(r.result, 0);
            EXPECT_EQ(r.code, 0);
            EXPECT_EQ(r.antenna, 1);
            ASSERT_TRUE(r.data.has_value());
            EXPECT_EQ(*r.data, Memory(Reader(), static_cast<uint32_t>(i), k.bank, static_cast<uint16_t>(k.pointer), k.count));
        }
        EXPECT_EQ(read.size(), 40u);
        // Each read follows its tag's first report; the access stop event
        // comes just before the schedule's.
        for (size_t n = 1; n < events.size(); ++n) {
            if (events[n].header[ULMOT_HEADER_OBJECT_TYPE] == kAccessType &&
                events[n].header[ULMOT_HEADER_COMMAND] == kDataComplete) {
                EXPECT_EQ(events[n - 1].header[ULMOT_HEADER_OBJECT_TYPE], kInventoryType);
            }
        }
        ASSERT_GE(events.size(), 2u);
        const Received &last = events[events.size() - 2];
        EXPECT_EQ(Bytes(last.header.begin(), last.header.begin() + 8),
                  (Bytes{client_->id, kReader, 0x80, kAccessStop, kAccessType, access, 0x00, 0x06}));
        EXPECT_EQ(AccessEvents(events, kAccessStop).size(), 1u);
        EXPECT_EQ(client_->Request(kReader, kAccessType, 2, access).result, 0);
    }
}

TEST_F(AccessRun, WritesChangeTheUserBankAndFailWhereATagWould) {
    std::vector<Bytes> before;
    for (uint32_t i = 0; i < tags_.size(); ++i) before.push_back(Memory(Reader(), i, UEMU_BANK_USER));
    const uint8_t write = Add(*client_, kAccessType,
                              Cat({I16(0, 1), I8(4, 1), I8(6, 3), I32(5, 1), I16(8, 4), Array(7, {0xBE, 0xEF, 0x12, 0x34})}));
    auto events = RunPasses(1);
    auto writes = AccessEvents(events, kComplete);
    ASSERT_EQ(writes.size(), 40u);
    for (const Result &r : writes) {
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(r.code, 0);
        EXPECT_FALSE(r.data.has_value()) << "a write carries no data";
    }
    for (uint32_t i = 0; i < tags_.size(); ++i) {
        Bytes expected = before[i];
        std::copy_n(Bytes{0xBE, 0xEF, 0x12, 0x34}.begin(), 4, expected.begin() + 2);
        EXPECT_EQ(Memory(Reader(), i, UEMU_BANK_USER), expected) << "tag " << i;
    }
    EXPECT_EQ(Set(*client_, kAccessType, write, I16(0, 0)), 0) << "disabled";

    struct Case {
        const char *what;
        Bytes items;
        uint8_t event;
        uint8_t code;
    };
    const Case cases[] = {
        {"a write to the TID", Cat({I8(4, 1), I8(6, 2), I16(8, 2), Array(7, {1, 2})}), kComplete, 4},
        {"a write past the user bank", Cat({I8(4, 1), I8(6, 3), I32(5, 31), I16(8, 4), Array(7, {1, 2, 3, 4})}),
         kComplete, 3},
        {"a read past the TID", Cat({I8(4, 0), I8(6, 2), I32(5, 5), I8(13, 2)}), kDataComplete, 3},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        const uint8_t access = Add(*client_, kAccessType, Cat({I16(0, 1), k.items}));
        events = RunPasses(1);
        EXPECT_TRUE(AccessEvents(events, k.event == kComplete ? kDataComplete : kComplete).empty());
        const auto results = AccessEvents(events, k.event);
        ASSERT_EQ(results.size(), 40u);
        for (const Result &r : results) {
            EXPECT_EQ(r.result, 1) << "the tag answered with an error";
            EXPECT_EQ(r.code, k.code);
            if (k.event == kDataComplete) {
                EXPECT_EQ(r.data, Bytes{});
            }
        }
        EXPECT_EQ(Set(*client_, kAccessType, access, I16(0, 0)), 0);
    }
    for (uint32_t i = 0; i < tags_.size(); ++i) {
        EXPECT_EQ(Memory(Reader(), i, UEMU_BANK_TID).size(), 12u);
        EXPECT_EQ(Memory(Reader(), i, UEMU_BANK_USER, 31, 1), Bytes(before[i].end() - 2, before[i].end()))
            << "a failed write changes nothing";
    }
}

TEST_F(AccessRun, OnlyTheTagsItsConditionsAdmitAreAccessed) {
    const uint8_t x = tags_[0].epc[0];
    const uint8_t filter = Add(*client_, kFilterType, List(0, {Filter(1, 32, 0, 8, {x})}));
    const uint8_t other = AddInventory(*client_, 0);
    const uint8_t grouped = AddInventory(*client_, 0, {}, I8(21, 3));
    std::set<int> withX;
    for (size_t i = 0; i < tags_.size(); ++i) {
        if (tags_[i].epc[0] == x) withX.insert(static_cast<int>(i));
    }
    std::set<int> all;
    for (int i = 0; i < 40; ++i) all.insert(i);
    struct Case {
        const char *what;
        Bytes conditions;
        uint8_t inventory;  // 0: the fixture's
        std::set<int> expected;
    };
    const std::vector<Case> cases = {
        {"no condition", {}, 0, all},
        {"its inventory", List(1, {Ref(0, kInventoryType, inventory_)}), 0, all},
        {"another inventory", List(1, {Ref(0, kInventoryType, other)}), 0, {}},
        {"a filter specification", Ref(3, kFilterType, filter), 0, withX},
        {"antenna 1", List(2, {Ref(0, kAntennaType, 1)}), 0, all},
        {"antenna 2 only", List(2, {Ref(0, kAntennaType, 2)}), 0, {}},
        {"access group 3, inventory of group 0", I8(14, 3), 0, {}},
        {"access group 3, inventory of group 3", I8(14, 3), grouped, all},
        {"disabled", I16(0, 0), 0, {}},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        const uint8_t access = Add(*client_, kAccessType, Cat({I16(0, 1), I8(4, 0), I8(6, 2), I8(13, 2), k.conditions}));
        const auto events = RunPasses(1, k.inventory);
        std::set<int> accessed;
        for (const Result &r : AccessEvents(events, kDataComplete)) accessed.insert(Index(r.bits));
        EXPECT_EQ(accessed, k.expected);
        EXPECT_EQ(AccessEvents(events, kAccessStop).size(), k.expected.empty() ? 0u : 1u)
            << "a stop event only for an access specification that ran";
        EXPECT_EQ(client_->Request(kReader, kAccessType, 2, access).result, 0);
    }
}

}  // namespace
