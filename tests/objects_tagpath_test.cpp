// The tag path families (inventories, schedules, antennas and pairs, tag
// filters and selectors, access) against the emulated reader: what a run
// reports is compared with the reader's seeded tag field, what an operation
// sends with what the reader keeps, and hand-made events reach the callbacks
// decoded.
#include <algorithm>

#include "support.h"

namespace {

using namespace ulmot::test;
using Lines = std::vector<std::string>;

void OnReport(void *c, uint32_t, uint8_t inventory, const TagReport *r) {
    Of(c).Add(Format("report %u ant %u pc %04X xpc %04X %04X epc %s crc %04X", inventory, r->item9Instance,
                     r->pcWord, r->xpcWord1, r->xpcWord2, Hex(r->data, r->dataLength).c_str(), r->crc));
}
void OnRound(void *c, uint32_t, uint8_t inventory) { Of(c).Add(Format("round %u", inventory)); }
void OnRoundEnd(void *c, uint32_t, uint8_t inventory, MessageBlock *event) {
    uint16_t round = 0;
    const int32_t found = ulmot_BufferReadDTPInt16(event, 14, &round);
    Of(c).Add(Format("round-end %u %d %u", inventory, found, round));
}
void OnStart(void *c, uint32_t, uint32_t id) { Of(c).Add(Format("start %u", id)); }
void OnStop(void *c, uint32_t, uint32_t id, uint8_t reason) { Of(c).Add(Format("stop %u reason %u", id, reason)); }
void OnRead(void *c, uint32_t, uint8_t a, uint8_t ok, uint8_t code, uint16_t n, const uint8_t *data) {
    Of(c).Add(Format("access read %u ok %u code %u %s", a, ok, code, Hex(data, n).c_str()));
}
void OnWrite(void *c, uint32_t, uint8_t a, uint8_t ok, uint8_t code) {
    Of(c).Add(Format("access write %u ok %u code %u", a, ok, code));
}
void OnAccessStop(void *c, uint32_t, uint8_t a) { Of(c).Add(Format("access stop %u", a)); }
void OnRequest(void *c, uint32_t, uint8_t a) { Of(c).Add(Format("access request %u", a)); }
void OnRequestDone(void *c, uint32_t, uint8_t a) { Of(c).Add(Format("access request-done %u", a)); }
void OnVswr(void *c, uint32_t, uint8_t antenna, uint8_t status) {
    Of(c).Add(Format("vswr %u status %u", antenna, status));
}
void OnActivation(void *c, uint32_t, uint8_t pair, const AntennaPairActivation *a) {
    Of(c).Add(a ? Format("activation %u %u %u %u", pair, a->item0, a->item1, a->item2)
                : Format("activation %u none", pair));
}

// The report line of a tag of the field, format 517 or (gen2 false) format 1.
std::string ReportOf(uint8_t inventory, uint8_t antenna, const uemu_Tag &t, bool gen2 = true) {
    return Format("report %u ant %u pc %04X xpc %04X %04X epc %s crc %04X", inventory, antenna, gen2 ? t.pc : 0,
                  gen2 && t.xpcCount > 0 ? t.xpc[0] : 0, gen2 && t.xpcCount > 1 ? t.xpc[1] : 0,
                  Hex(t.epc, t.epcLength).c_str(), gen2 ? t.crc : 0);
}

Lines Sorted(Lines lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
}
Lines Starting(const Lines &lines, const std::string &prefix) {
    Lines out;
    for (const std::string &l : lines) {
        if (l.rfind(prefix, 0) == 0) out.push_back(l);
    }
    return out;
}

ScheduleEntry Object(uint16_t type, uint32_t instance) { return {ULMOT_SCHEDULE_ENTRY_OBJECT, type, instance}; }
ScheduleEntry Limit(uint16_t code, uint16_t limit) { return {ULMOT_SCHEDULE_ENTRY_VALUE, 0, uint32_t{code} << 16 | limit}; }

// 40 seeded tags, some with one XPC word, some with two, seen by every
// antenna; the client's report, schedule and access callbacks write to seen_.
class TagPath : public ObjectsTest {
protected:
    void SetUp() override {
        ObjectsTest::SetUp();
        config_.tagCount = 40;
        config_.tagSeed = 11;
        config_.xpcPercent = 40;
        config_.tagRate = 4000;
        c_ = Client();
        ASSERT_EQ(ulmot_RegisterInventoryEvents(c_, nullptr, nullptr, OnReport, &seen_), 0);
        ASSERT_EQ(ulmot_RegisterScheduleEvents(c_, OnStart, OnStop, &seen_), 0);
        ASSERT_EQ(ulmot_RegisterAccessEvents(c_, OnAccessStop, OnWrite, OnRead, OnRequest, OnRequestDone, &seen_), 0);
    }
    std::vector<uemu_Tag> Tags() {
        std::vector<uemu_Tag> tags(40);
        for (uint32_t i = 0; i < 40; ++i) EXPECT_EQ(uemu_GetTag(reader_, i, &tags[i]), UEMU_OK);
        return tags;
    }
    uint8_t Inventory(uint16_t format, uint8_t antenna, const uint8_t *selectors = nullptr, uint8_t count = 0) {
        uint8_t id = 0;
        EXPECT_EQ(ulmot_AddInventorySpecification(c_, &id, format, ULMOT_OBJ_ANTENNA, antenna, 0, selectors, count), 0);
        return id;
    }
    uint8_t Schedule(std::vector<ScheduleEntry> entries) {
        std::vector<ScheduleEntry *> p;
        for (ScheduleEntry &e : entries) p.push_back(&e);
        uint8_t id = 0;
        EXPECT_EQ(ulmot_AddScheduleSpecification(c_, &id, p.data(), static_cast<uint32_t>(p.size()), 1, 1), 0);
        return id;
    }
    // Starts a schedule and waits for its stop event: every line of the run,
    // its start first and its stop last.
    Lines RunSchedule(uint8_t id, int32_t flag = 0) {
        EXPECT_EQ(ulmot_StartScheduleSpecification(c_, id, flag), 0);
        const std::string stop = Format("stop %u", id);
        EXPECT_TRUE(WaitUntil([&] {
            const Lines l = seen_.WaitFor(0, 0);
            return !l.empty() && l.back().rfind(stop, 0) == 0;
        }, 20000));
        return seen_.Take();
    }
    // Sends each event to the client, then a marker event; per event, the
    // callbacks' lines before the marker's and the lines logged.
    struct Event {
        uint8_t type, event, instance;
        Bytes body;
        Lines calls, lines;
    };
    void ExpectEvents(const std::vector<Event> &rows) {
        for (const auto &[type, event, instance, body, calls, lines] : rows) {
            SCOPED_TRACE(Format("type %u event %u: %s", type, event, Hex(body).c_str()));
            const uint8_t id = ulmot_GetClientProcessorID(c_);
            EXPECT_EQ(uemu_SendEventTo(reader_, id, type, event, instance, body.data(), uint16_t(body.size())), 0);
            EXPECT_EQ(uemu_SendEventTo(reader_, id, 11, 0, 99, nullptr, 0), 0);
            seen_.WaitFor(calls.size() + 1);
            Lines expected = calls;
            expected.push_back("start 99");
            EXPECT_EQ(seen_.Take(), expected);
            EXPECT_EQ(Logged(), lines);
        }
    }

    ClientProcessor *c_ = nullptr;
    Recorder seen_;
};

TEST_F(TagPath, AScheduleReportsEveryTagOncePerPassWithItsPcXpcEpcAndCrc) {
    const auto tags = Tags();
    int xpcCounts[3] = {};
    for (const uemu_Tag &t : tags) ++xpcCounts[t.xpcCount];
    ASSERT_TRUE(xpcCounts[0] > 0 && xpcCounts[1] > 0 && xpcCounts[2] > 0) << "tags of every kind";
    uint8_t gen2 = 0;
    ASSERT_EQ(ulmot_AddInventorySpecification(c_, &gen2, 517, ULMOT_OBJ_ANTENNA, 2, 0, nullptr, 2), 0)
        << "a count without selectors sends no list";
    EXPECT_EQ(Kept(5, gen2), "01 02 05 13 08 02 20 00");
    const uint8_t epcOnly = Inventory(1, 2);
    // Object types and instances keep their low 8 bits; a pair entry is
    // code 2 (passes) in the high half, limit 2 in the low 16 bits.
    const uint8_t s = Schedule({Object(0x105, 0x100u | gen2), Object(5, epcOnly), {2, 2, 0xABCC0002}});
    EXPECT_EQ(Kept(11, s), Format("05 00 0C 03 03 05 %02X 03 05 %02X 02 00 02 00 02", gen2, epcOnly));

    const Lines run = RunSchedule(s, 1);
    Lines expected;
    for (int pass = 0; pass < 2; ++pass) {
        for (const uemu_Tag &t : tags) {
            expected.push_back(ReportOf(gen2, 2, t));
            expected.push_back(ReportOf(epcOnly, 2, t, false));
        }
    }
    ASSERT_EQ(run.size(), expected.size() + 2);
    EXPECT_EQ(run.front(), Format("start %u", s));
    EXPECT_EQ(run.back(), Format("stop %u reason 3", s)) << "its passes are done";
    EXPECT_EQ(Sorted(Lines(run.begin() + 1, run.end() - 1)), Sorted(expected));

    uint8_t running = 9, antenna = 0;
    uint16_t reports = 0, distinct = 0, rounds = 0, rssi = 0, leftOut = 9;
    ASSERT_EQ(ulmot_GetInventoryStats(c_, gen2, &running, &reports, &distinct, &rounds, &antenna, &rssi, &leftOut), 0);
    EXPECT_EQ(std::vector<int>({running, reports, distinct, rounds, antenna, leftOut}),
              std::vector<int>({0, 80, 40, 2, 2, 0}));
    EXPECT_LT(static_cast<int16_t>(rssi), -200) << "the last report's signal strength";
    uint8_t status = 9;
    EXPECT_EQ(ulmot_StopScheduleSpecification(c_, s, &status), 0);
    EXPECT_EQ(status, 1) << "it had stopped by itself";
}

TEST_F(TagPath, LimitsAndStopsEndARunWithTheirReason) {
    const uint8_t inventory = Inventory(517, 1);
    struct Row {
        const char *name;
        std::vector<ScheduleEntry> entries;
        int32_t flag;
        int reports;  // -1: any number
        int reason;
    } rows[] = {
        {"tag report limit", {Object(5, inventory), Limit(1, 25)}, 1, 25, 2},
        {"distinct tag limit", {Object(5, inventory), Limit(3, 10)}, 1, 10, 4},
        {"duration", {Object(5, inventory), Limit(0, 30)}, 1, -1, 1},
        {"start flag 2 is sent as 0: one pass", {Object(5, inventory)}, 2, 40, 3},
    };
    for (Row &row : rows) {
        SCOPED_TRACE(row.name);
        const uint8_t s = Schedule(row.entries);
        const Lines run = RunSchedule(s, row.flag);
        if (row.reports >= 0) {
            EXPECT_EQ(Starting(run, "report").size(), size_t(row.reports));
        }
        EXPECT_EQ(run.back(), Format("stop %u reason %d", s, row.reason));
    }
    // Stopped while it runs; LBT and priority are kept under the
    // schedule's id (cut to 8 bits), values to their width.
    const uint8_t s = Schedule({Object(5, inventory)});
    ASSERT_EQ(ulmot_StartScheduleSpecification(c_, s, 1), 0);
    ASSERT_TRUE(WaitUntil([&] { return seen_.size() > 2; }));
    uint8_t status = 9;
    EXPECT_EQ(ulmot_StopScheduleSpecification(c_, s, &status), 0);
    EXPECT_EQ(status, 0) << "it was running";
    EXPECT_TRUE(WaitUntil([&] {
        const Lines l = seen_.WaitFor(0, 0);
        return std::count(l.begin(), l.end(), Format("stop %u reason 0", s)) == 1;
    }));
    EXPECT_EQ(ulmot_StopScheduleSpecification(c_, s, nullptr), 0);
    EXPECT_EQ(ulmot_SetScheduleLBTParameters(c_, 0x100 + s, 0x1FF, 1), 0);
    EXPECT_EQ(ulmot_SetSchedulePriority(c_, 0x100u + s, 0x107), 0);
    EXPECT_EQ(Kept(11, s), Format("05 00 04 01 03 05 %02X 30 FF 40 01 50 07", inventory));
    EXPECT_EQ(ulmot_SetScheduleLBTParameters(c_, s, 5, 2), 0);
    EXPECT_EQ(Kept(11, s), Format("05 00 04 01 03 05 %02X 30 05 40 00 50 07", inventory)) << "flag 2 is sent as 0";
}

TEST_F(TagPath, SelectorsAndFiltersNarrowWhatIsReportedAndAccessed) {
    const auto tags = Tags();
    const uint8_t x = tags[0].epc[0], ff = 0xFF;
    TagFilter match, other;
    ulmot_SetTagFilterC1G2(&match, 1, 0x20, 0, 0, 8, &x, 0);  // field B 0: select the tags whose EPC begins with x
    ulmot_SetTagFilter(&other, 1, 0x20, 4, 8, 15, &x, &ff);  // action 4: select those that do not
    TagFilter *m[] = {&match}, *o[] = {&other};
    uint8_t selectors[2] = {};
    ASSERT_EQ(ulmot_AddTagSelectorSpecification(c_, &selectors[0], m, 1), 0);
    ASSERT_EQ(ulmot_AddTagSelectorSpecification(c_, &selectors[1], o, 1), 0);
    EXPECT_EQ(Kept(3, selectors[0]), Format("05 00 10 01 06 00 0C 01 00 00 00 20 40 00 08 00 01 %02X FF", x));
    EXPECT_EQ(Kept(3, selectors[1]), Format("05 00 10 01 06 00 0C 01 00 00 00 20 04 00 08 00 01 %02X FF", x));
    const uint8_t a = Inventory(517, 1, &selectors[0], 1), b = Inventory(517, 1, &selectors[1], 1);
    EXPECT_EQ(Kept(5, a), Format("01 02 05 13 08 01 20 00 35 00 04 01 03 03 %02X", selectors[0]));
    Lines withX, withoutX;
    for (const uemu_Tag &t : tags) {
        (t.epc[0] == x ? withX : withoutX).push_back(ReportOf(a, 1, t));
    }
    ASSERT_FALSE(withoutX.empty());

    const uint8_t s = Schedule({Object(5, a), Object(5, b)});
    Lines run = RunSchedule(s);
    EXPECT_EQ(Sorted(Starting(run, Format("report %u ", a))), Sorted(withX));
    EXPECT_EQ(Starting(run, Format("report %u ", b)).size(), withoutX.size());
    uint16_t leftOut = 0;
    ASSERT_EQ(ulmot_GetInventoryStats(c_, a, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &leftOut), 0);
    EXPECT_EQ(leftOut, withoutX.size());
    // The other selector in place of the first.
    ASSERT_EQ(ulmot_SetInventorySelector(c_, a, &selectors[1], 1), 0);
    run = RunSchedule(s);
    EXPECT_EQ(Sorted(Starting(run, Format("report %u ", a))), Sorted(withoutX));

    // A filter specification (clear every tag, then select the matching
    // ones) narrows an access specification the same way.
    const TagFilterElement elements[] = {{ULMOT_FILTER_ELEMENT_INT8, 0x100},
                                         {ULMOT_FILTER_ELEMENT_TAG_FILTER, reinterpret_cast<uintptr_t>(&match)}};
    uint8_t filter = 0, access = 0;
    ASSERT_EQ(ulmot_AddTagFilterSpecification(c_, &filter, elements, 2), 0);
    EXPECT_EQ(Kept(6, filter), Format("05 00 12 02 00 00 06 00 0C 01 00 00 00 20 40 00 08 00 01 %02X FF", x));
    const uint8_t all = Inventory(517, 1);
    ASSERT_EQ(ulmot_AddAccessSpecification(c_, &access, &all, 1, 1, 2, 0, UEMU_BANK_EPC, 2, 0, nullptr, 0, nullptr,
                                           nullptr, 0, filter),
              0);
    run = RunSchedule(Schedule({Object(5, all)}));
    Lines reads;
    for (const uemu_Tag &t : tags) {
        if (t.epc[0] == x) reads.push_back(Format("access read %u ok 1 code 0 %s", access, Hex(t.epc, 4).c_str()));
    }
    EXPECT_EQ(Sorted(Starting(run, "access read")), Sorted(reads)) << "EPC words 2 and 3 of the matching tags";
}

TEST_F(TagPath, AccessSpecificationsReadAndWriteTagMemory) {
    const uint8_t inventory = Inventory(517, 1), words[] = {0xCA, 0xFE, 0xF0, 0x0D}, cc = 0xCC, one = 1;
    uint8_t tid = 0, user = 0, write = 0, locked = 0, overrun = 0;
    // Read every TID word; data with a length of 0 and a length without
    // data send no item 7 or 9.
    ASSERT_EQ(ulmot_AddAccessSpecification(c_, &tid, &inventory, 1, 1, 0, 0, UEMU_BANK_TID, 0, 0, words, 2, nullptr,
                                           nullptr, 1, 0),
              0);
    EXPECT_EQ(Kept(7, tid), Format("01 00 01 15 00 04 01 03 05 %02X 40 00 52 00 00 00 00 60 02 81 00 00 D0 00",
                                   inventory));
    ASSERT_EQ(ulmot_AddAccessSpecification(c_, &user, &inventory, 0, 1, 4, 0, UEMU_BANK_USER, 0, 0, nullptr, 0,
                                           nullptr, nullptr, 0, 0),
              0);
    ASSERT_EQ(ulmot_AddAccessSpecification(c_, &write, &inventory, 1, 1, 0, 1, UEMU_BANK_USER, 8, 4, words, 1, &cc,
                                           &one, 1, 0),
              0);
    EXPECT_EQ(Kept(7, write), Format("01 00 01 15 00 04 01 03 05 %02X 25 00 04 01 03 08 01 40 01 52 00 00 00 08 60 03 "
                                     "74 00 04 CA FE F0 0D 81 00 04 94 00 01 CC D0 00",
                                     inventory));
    ASSERT_EQ(ulmot_AddAccessSpecification(c_, &locked, nullptr, 0, 1, 0, 1, UEMU_BANK_TID, 0, 2, words, 0, nullptr,
                                           nullptr, 0, 0),
              0);
    ASSERT_EQ(ulmot_AddAccessSpecification(c_, &overrun, nullptr, 0, 1, 4, 0, UEMU_BANK_USER, 30, 0, nullptr, 0,
                                           nullptr, nullptr, 0, 0),
              0);
    const auto tags = Tags();
    Lines expected;
    for (uint32_t i = 0; i < tags.size(); ++i) {
        Bytes memory(64);
        uint32_t length = 0;
        ASSERT_EQ(uemu_ReadTagMemory(reader_, i, UEMU_BANK_TID, 0, 0, memory.data(), 64, &length), UEMU_OK);
        expected.push_back(Format("access read %u ok 1 code 0 %s", tid, Hex(memory.data(), length).c_str()));
        ASSERT_EQ(uemu_ReadTagMemory(reader_, i, UEMU_BANK_USER, 0, 4, memory.data(), 64, &length), UEMU_OK);
        expected.push_back(Format("access read %u ok 1 code 0 %s", user, Hex(memory.data(), length).c_str()));
        expected.push_back(Format("access read %u ok 0 code 3 null", overrun));
        expected.push_back(Format("access write %u ok 1 code 0", write));
        expected.push_back(Format("access write %u ok 0 code 4", locked));
    }
    for (uint8_t a : {tid, user, write, locked, overrun}) expected.push_back(Format("access stop %u", a));
    Lines run = RunSchedule(Schedule({Object(5, inventory)}));
    EXPECT_EQ(Sorted(Starting(run, "access")), Sorted(expected));
    for (uint32_t i = 0; i < tags.size(); ++i) {
        uint8_t memory[4];
        uint32_t length = 0;
        ASSERT_EQ(uemu_ReadTagMemory(reader_, i, UEMU_BANK_USER, 8, 2, memory, 4, &length), UEMU_OK);
        EXPECT_EQ(Hex(memory, length), "CA FE F0 0D") << "tag " << i;
    }

    // The setters replace one item each; group and type take an id extension.
    const uint8_t password[] = {1, 2, 3, 4};
    EXPECT_EQ(ulmot_SetAccessPassword(c_, user, password, 4), 0);
    EXPECT_EQ(ulmot_SetAccessFilter(c_, user, 0), 0);
    EXPECT_EQ(ulmot_SetAccessGroup(c_, user, 2), 0);
    EXPECT_EQ(ulmot_EnableAccessSpecification(c_, user, 0x0102), 0);
    EXPECT_EQ(ulmot_SetAccessInventoryList(c_, user, &inventory, 1), 0);
    EXPECT_EQ(Kept(7, user), Format("01 01 02 15 00 04 01 03 05 %02X 33 06 00 40 00 52 00 00 00 00 60 03 81 00 00 "
                                    "C4 00 04 01 02 03 04 D0 04 E0 02",
                                    inventory));
    EXPECT_EQ(ulmot_SetInventoryAccessGroup(c_, inventory, 2), 0);
    EXPECT_EQ(ulmot_SetInventoryType(c_, inventory, 1), 0);
    EXPECT_THAT(Kept(5, inventory), testing::EndsWith(" F0 15 02 F0 17 01"));
}

TEST_F(TagPath, AntennasAndPairsChooseWhereTagsAreHeard) {
    uint8_t count = 0, status = 9, list[2] = {}, pair = 0;
    uint16_t power[3] = {}, length = 0;
    EXPECT_EQ(ulmot_GetAntennaCount(c_, &count), 0);
    EXPECT_EQ(count, 4);
    EXPECT_EQ(ulmot_GetAntennaDefaultPower(c_, 3, &power[0]), 0);
    EXPECT_EQ(ulmot_GetAntennaMinPower(c_, 3, &power[1]), 0);
    EXPECT_EQ(ulmot_GetAntennaMaxPower(c_, 3, &power[2]), 0);
    EXPECT_EQ(std::vector<int>(power, power + 3), std::vector<int>({300, 100, 315}));
    EXPECT_EQ(ulmot_GetAntennaAttributes(c_, 3, &power[2], &power[1], &power[0], list, 2, &length), 0);
    EXPECT_EQ(std::vector<int>({power[2], power[1], power[0], length, list[0]}), std::vector<int>({315, 100, 300, 1, 3}));
    const uint8_t three[] = {3, 1, 2};
    ASSERT_EQ(ulmot_SetObjectProperties(c_, 8, 3, ULMOT_PROP_BYTE_ARRAY, 3, three, 3u, ULMOT_PROP_END), 0);
    EXPECT_EQ(ulmot_GetAntennaAttributes(c_, 3, nullptr, nullptr, nullptr, list, 2, &length), -1);
    EXPECT_EQ(Logged(), Lines{"ulmot_GetAntennaAttributes: Failed to find receive antenna list in response"});

    ASSERT_EQ(ulmot_RegisterTxAntennaVSWRStatus(c_, OnVswr, &seen_, 1), 0);
    ASSERT_EQ(uemu_SetAntennaVswr(reader_, 3, 2), UEMU_OK);
    EXPECT_EQ(seen_.WaitFor(1), Lines{"vswr 3 status 2"});
    EXPECT_EQ(ulmot_GetAntennaLastVSWRStatus(c_, 3, &status), 0);
    EXPECT_EQ(status, 2);

    ASSERT_EQ(ulmot_AddAntennaPair(c_, &pair, 1, 2, 300), 0);
    EXPECT_EQ(ulmot_SetAntennaPower(c_, pair, 310), 0);
    EXPECT_EQ(ulmot_GetAntennaPower(c_, pair, &power[0]), 0);
    EXPECT_EQ(power[0], 310);
    EXPECT_EQ(ulmot_SetReceiveAntennaList(c_, pair, &three[0], 1), 0);
    EXPECT_EQ(Kept(17, pair), "00 01 10 02 21 01 36 35 00 03 01 00 03");
    ASSERT_EQ(ulmot_RegisterAntennaPairActivation(c_, OnActivation, &seen_, 1), 0);
    ASSERT_EQ(ulmot_EnableAntennaPairEventExtraInfo(c_, 1), 0);
    uint8_t inventory = 0;
    ASSERT_EQ(ulmot_AddInventorySpecification(c_, &inventory, 517, 0, 0, 0, nullptr, 0), 0);
    const uint8_t s = Schedule({Object(17, pair), Object(5, inventory)});
    seen_.Take();
    Lines run = RunSchedule(s);
    EXPECT_EQ(run[1], Format("activation %u 1 2 310", pair));
    const Lines reports = Starting(run, "report");
    EXPECT_EQ(reports.size(), 40u);
    EXPECT_EQ(std::count_if(reports.begin(), reports.end(),
                            [](const std::string &r) { return r.find(" ant 2 ") != std::string::npos; }),
              40)
        << "heard on the pair's receive antenna";
    ASSERT_EQ(ulmot_EnableAntennaPairEventExtraInfo(c_, 0), 0);
    run = RunSchedule(s);
    EXPECT_EQ(run[1], Format("activation %u none", pair));
}

// Tag reports as the reader never sends them: the format item, then a tag
// data item of header byte 1, header word 2, `bits` and the tag bits.
Bytes Report(uint16_t format, uint16_t bits, const Bytes &tagBits) {
    return Concat({I16(0, format), Sized(4, 7, Concat({{1, 0, 0, 0, 2}, {uint8_t(bits >> 8), uint8_t(bits)}, tagBits}))});
}
const Bytes kEpc = {0xE2, 0x00, 0x00, 0x17, 0x22, 0x0B, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB}, kCrc = {0x5C, 0x3A};
Bytes Epc(size_t n) { return Bytes(kEpc.begin(), kEpc.begin() + static_cast<long>(n)); }
std::string Seen(const char *pc, const char *xpc, const std::string &epc, const char *crc = "5C3A") {
    return Format("report 9 ant 0 pc %s xpc %s epc %s crc %s", pc, xpc, epc.c_str(), crc);
}
const std::string kNoData = Seen("0000", "0000 0000", "null", "0000");
using TagReportHandler = TagPath;

TEST_F(TagReportHandler, SplitsFormat517AndKeepsOtherFormatsWhole) {
    ExpectEvents({
        {5, 2, 9, Report(517, 128, Concat({{0x30, 0x00}, kEpc, kCrc})), {Seen("3000", "0000 0000", Hex(kEpc))}, {}},
        {5, 2, 9, Report(517, 128, Concat({{0x32, 0x00, 0x12, 0x35}, Epc(10), kCrc})),
         {Seen("3200", "1235 0000", Hex(Epc(10)))}, {}},
        {5, 2, 9, Report(517, 128, Concat({{0x32, 0x00, 0x80, 0x01, 0x00, 0x02}, Epc(8), kCrc})),
         {Seen("3200", "8001 0002", Hex(Epc(8)))}, {}},
        {5, 2, 9, Report(517, 64, {0x30, 0x00, 0x80, 0x01, 0xAA, 0xBB, 0x5C, 0x3A}),
         {Seen("3000", "0000 0000", "80 01 AA BB")}, {}},  // XPC bit set, PC bit not: EPC
        {5, 2, 9, Report(517, 32, {0x30, 0x01, 0x5C, 0x3A}), {Seen("3001", "0000 0000", "")}, {}},
        {5, 2, 9, Report(517, 135, Concat({{0x30, 0x00}, kEpc, kCrc, {0x80}})), {Seen("3000", "0000 0000", Hex(kEpc))},
         {}},
        {5, 2, 9, Report(517, 64, {0x30, 0x00, 1, 2, 3, 4, 0x5C, 0x3A, 0xC1, 0xC2}),
         {Seen("3000", "0000 0000", "01 02 03 04")}, {}},
        {5, 2, 9, Report(1, 100, Concat({{0x32, 0x00, 0x80, 0x00}, Epc(9)})),
         {Seen("0000", "0000 0000", "32 00 80 00 " + Hex(Epc(8)), "0000")}, {}},
        {5, 2, 9, Report(516, 32, {0x30, 0x00, 0x5C, 0x3A}), {Seen("0000", "0000 0000", "30 00 5C 3A", "0000")}, {}},
        {5, 2, 9, Sized(4, 7, {1, 0, 0, 0, 2, 0x00, 0x10, 0xAA, 0xBB}), {Seen("0000", "0000 0000", "AA BB", "0000")},
         {}},
    });
}

TEST_F(TagReportHandler, Format517TooShortForWhatItAnnouncesHasNoData) {
    ExpectEvents({
        {5, 2, 9, I16(0, 517), {kNoData}, {}},
        {5, 2, 9, Report(517, 0, {}), {kNoData}, {}},
        {5, 2, 9, Report(517, 8, {0x30}), {kNoData}, {}},
        {5, 2, 9, Report(517, 15, {0x30, 0x00}), {kNoData}, {}},
        {5, 2, 9, Report(517, 24, {0x30, 0x00, 0x5C}), {kNoData}, {}},
        {5, 2, 9, Report(517, 32, {0x32, 0x00, 0x12, 0x34}), {kNoData}, {}},
        {5, 2, 9, Report(517, 24, {0x32, 0x00, 0x12}), {kNoData}, {}},
        {5, 2, 9, Report(517, 32, {0x32, 0x00, 0x80, 0x00}), {kNoData}, {}},
        {5, 2, 9, Report(517, 48, {0x32, 0x00, 0x80, 0x00, 0x00, 0x01, 0x5C, 0x3A}), {kNoData}, {}},
        {5, 2, 9, Report(517, 129, Concat({{0x30, 0x00}, kEpc, kCrc})), {kNoData}, {}},
    });
}

TEST_F(TagPath, EventsAsTheReaderNeverSendsThemReachTheirCallbacks) {
    ASSERT_EQ(ulmot_RegisterInventoryEvents(c_, OnRound, OnRoundEnd, OnReport, &seen_), 0);
    ASSERT_EQ(ulmot_RegisterTxAntennaVSWRStatus(c_, OnVswr, &seen_, 1), 0);
    ASSERT_EQ(ulmot_RegisterAntennaPairActivation(c_, OnActivation, &seen_, 2), 0);
    const std::string dataComplete = "ulmot_ClientHandleAccessDataComplete: Failed to find ";
    ExpectEvents({
        {5, 0, 3, {}, {"round 3"}, {}},
        {5, 1, 4, I16(14, 7), {"round-end 4 0 7"}, {}},
        {7, 0, 1, {0xA0, 0x00, 0xB0, 0x09, 0x74, 0x00, 0x03, 0xAA, 0xBB, 0xCC}, {"access read 1 ok 1 code 9 AA BB CC"}, {}},
        {7, 0, 1, {0xA0, 0x03, 0xB0, 0x09}, {"access read 1 ok 0 code 9 null"}, {dataComplete + "data in result"}},
        {7, 0, 2, {}, {"access read 2 ok 1 code 0 null"},
         {dataComplete + "result in event", dataComplete + "engine code in result", dataComplete + "data in result"}},
        {7, 0, 2, {0xA0, 0x00, 0xB0, 0x01, 0x74, 0x00, 0x00}, {"access read 2 ok 1 code 1 null"}, {}},
        {7, 1, 3, {0xA0, 0x00, 0xB0, 0x02}, {"access write 3 ok 1 code 2"}, {}},
        {7, 1, 3, {0xA0, 0xFF}, {"access write 3 ok 0 code 0"},
         {"ulmot_ClientHandleAccessComplete: Failed to find engine code in result"}},
        {7, 1, 3, {0xB0, 0x04}, {"access write 3 ok 1 code 4"}, {"ulmot_ClientHandleAccessComplete: Failed to find result in event"}},
        {7, 2, 4, {}, {"access stop 4"}, {}},
        {7, 3, 5, {}, {"access request 5"}, {}},
        {7, 4, 6, {}, {"access request-done 6"}, {}},
        {8, 0, 2, {0x40, 0x03}, {"vswr 2 status 3"}, {}},
        {8, 0, 2, {0x41, 0x00, 0x03}, {"vswr 2 status 255"}, {}},
        {17, 0, 6, {0x00, 0x01, 0x10, 0x02, 0x21, 0x01, 0x50}, {"activation 6 1 2 336"}, {}},
        {17, 0, 6, {0x00, 0x01}, {"activation 6 none"}, {}},
        {17, 0, 6, {0x00, 0x01, 0x10, 0x02}, {"activation 6 none"}, {}},
        {11, 1, 4, {0x20, 0x02}, {"stop 4 reason 2"}, {}},
        {11, 1, 4, {0x21, 0x00, 0x02}, {"stop 4 reason 255"},
         {"ulmot_ClientHandleScheduleStop: Failed to find stop reason in event"}},
    });
    // Disabling forgets the callback: events the reader sends all the same
    // reach nothing.
    ASSERT_EQ(ulmot_RegisterTxAntennaVSWRStatus(c_, OnVswr, &seen_, 0), 0);
    ASSERT_EQ(ulmot_RegisterAntennaPairActivation(c_, OnActivation, &seen_, 0), 0);
    ASSERT_EQ(ulmot_RegisterInventoryEvents(c_, nullptr, nullptr, nullptr, &seen_), 0);
    ASSERT_EQ(ulmot_RegisterAccessEvents(c_, nullptr, nullptr, nullptr, nullptr, nullptr, &seen_), 0);
    ExpectEvents({{8, 0, 2, {0x40, 0x03}, {}, {}},
                  {17, 0, 6, {}, {}, {}},
                  {5, 2, 9, Report(517, 32, {0x30, 0x00, 0x5C, 0x3A}), {}, {}},
                  {5, 0, 1, {}, {}, {}},
                  {7, 1, 3, {}, {}, {}}});
}

}  // namespace
