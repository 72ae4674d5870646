// The tag path families (inventories, schedules, antennas and pairs, tag
// filters and selectors, access) against the emulated reader: what a run
// reports is compared with the reader's seeded tag field, what an operation
// sends with what the reader keeps, and hand-made events reach the callbacks
// decoded.
#include <algorithm>

#include "support.h"

namespace {

using namespace ulmot::test;

void OnReport(void *c, uint32_t, uint8_t inventory, const TagReport *r) {
    Of(c).Add(Format("report %u %u/%X ant %u pc %04X xpc %04X %04X epc %s crc %04X", inventory, r->format,
                     r->tagDataHeaderWord, r->item9Instance, r->pcWord, r->xpcWord1, r->xpcWord2,
                     Hex(r->data, r->dataLength).c_str(), r->crc));
}
void OnRound(void *c, uint32_t, uint8_t inventory) { Of(c).Add(Format("round %u", inventory)); }
void OnRoundEnd(void *c, uint32_t, uint8_t inventory, MessageBlock *e) {
    Of(c).Add(Format("round-end %u %u", inventory, msgdsize(e)));
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
void OnVswr(void *c, uint32_t, uint8_t antenna, uint8_t status) { Of(c).Add(Format("vswr %u %u", antenna, status)); }
void OnActivation(void *c, uint32_t, uint8_t pair, const AntennaPairActivation *a) {
    Of(c).Add(a ? Format("activation %u %u %u %u", pair, a->item0, a->item1, a->item2)
                : Format("activation %u none", pair));
}

// The report line of a tag of the field, format 517 or (gen2 false) format 1.
std::string ReportOf(uint8_t inventory, uint8_t antenna, const uemu_Tag &t, bool gen2 = true) {
    return Format("report %u %s ant %u pc %04X xpc %04X %04X epc %s crc %04X", inventory, gen2 ? "517/10" : "1/20",
                  antenna, gen2 ? t.pc : 0, gen2 && t.xpcCount > 0 ? t.xpc[0] : 0, gen2 && t.xpcCount > 1 ? t.xpc[1] : 0,
                  Hex(t.epc, t.epcLength).c_str(), gen2 ? t.crc : 0);
}
Lines Sorted(Lines lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
}
// The lines that start with `prefix`, sorted.
Lines Starting(const Lines &lines, const std::string &prefix) {
    Lines out;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(out), [&](auto &l) { return l.rfind(prefix, 0) == 0; });
    return Sorted(out);
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
        for (uint32_t i = 0; i < 40; ++i) ASSERT_EQ(uemu_GetTag(reader_, i, &tags_[i]), UEMU_OK);
    }
    uint8_t Inventory(uint16_t format, uint8_t antenna, const uint8_t *selector = nullptr) {
        uint8_t id = 0;
        EXPECT_EQ(ulmot_AddInventorySpecification(c_, &id, format, ULMOT_OBJ_ANTENNA, antenna, 0, selector, 1), 0);
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
    void ExpectEvents(const std::vector<Event> &rows) {
        ObjectsTest::ExpectEvents(rows, {11, 0, 99, {}, {"start 99"}, {}});
    }

    ClientProcessor *c_ = nullptr;
    uemu_Tag tags_[40];
};

TEST_F(TagPath, AScheduleReportsEveryTagOncePerPassWithItsPcXpcEpcAndCrc) {
    int xpcCounts[3] = {};
    for (const uemu_Tag &t : tags_) ++xpcCounts[t.xpcCount];
    ASSERT_TRUE(xpcCounts[0] > 0 && xpcCounts[1] > 0 && xpcCounts[2] > 0) << "tags of every kind";
    const uint8_t gen2 = Inventory(517, 2), epcOnly = Inventory(1, 2);  // a count without selectors: no list
    EXPECT_EQ(Kept(5, gen2), "01 02 05 13 08 02 20 00");
    // Object types and instances keep their low 8 bits; a pair entry is
    // code 2 (passes) in the high half, limit 2 in the low 16 bits.
    const uint8_t s = Schedule({Object(0x105, 0x100u | gen2), Object(5, epcOnly), {2, 2, 0xABCC0002}});
    EXPECT_EQ(Kept(11, s), Format("05 00 0C 03 03 05 %02X 03 05 %02X 02 00 02 00 02", gen2, epcOnly));
    Lines run = RunSchedule(s, 1), expected = {Format("start %u", s), Format("stop %u reason 3", s)};
    for (int pass = 0; pass < 2; ++pass) {
        for (const uemu_Tag &t : tags_) {
            expected.push_back(ReportOf(gen2, 2, t));
            expected.push_back(ReportOf(epcOnly, 2, t, false));
        }
    }
    EXPECT_EQ(run.back(), Format("stop %u reason 3", s)) << "its passes are done";
    EXPECT_EQ(Sorted(run), Sorted(expected));

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
    const struct {
        std::vector<ScheduleEntry> entries;
        int32_t flag;
        size_t reports;  // 0: any number
        int reason;
    } rows[] = {{{Object(5, inventory), Limit(1, 25)}, 1, 25, 2},
                {{Object(5, inventory), Limit(3, 10)}, 1, 10, 4},
                {{Object(5, inventory), Limit(0, 30)}, 1, 0, 1},
                {{Object(5, inventory)}, 2, 40, 3}};  // flag 2 is sent as 0: one pass
    for (const auto &row : rows) {
        const uint8_t s = Schedule(row.entries);
        const Lines run = RunSchedule(s, row.flag);
        EXPECT_EQ(run.back(), Format("stop %u reason %d", s, row.reason));
        EXPECT_TRUE(row.reports == 0 || Starting(run, "report").size() == row.reports) << row.reason;
    }
    const uint8_t s = Schedule({Object(5, inventory)});
    ASSERT_EQ(ulmot_StartScheduleSpecification(c_, s, 1), 0);
    ASSERT_TRUE(WaitUntil([&] { return seen_.WaitFor(0, 0).size() > 2; }));
    uint8_t status = 9;
    EXPECT_EQ(ulmot_StopScheduleSpecification(c_, s, &status), 0);
    EXPECT_EQ(status, 0) << "it was running";
    const std::string stopped = Format("stop %u reason 0", s);
    EXPECT_TRUE(WaitUntil([&] { return Starting(seen_.WaitFor(0, 0), stopped).size() == 1; }));
    EXPECT_EQ(ulmot_StopScheduleSpecification(c_, s, nullptr), 0);
    // LBT and priority go to the schedule's id cut to 8 bits, values to their width.
    EXPECT_EQ(ulmot_SetScheduleLBTParameters(c_, 0x100 + s, 0x1FF, 1), 0);
    EXPECT_EQ(ulmot_SetSchedulePriority(c_, 0x100u + s, 0x107), 0);
    EXPECT_EQ(Kept(11, s), Format("05 00 04 01 03 05 %02X 30 FF 40 01 50 07", inventory));
    EXPECT_EQ(ulmot_SetScheduleLBTParameters(c_, s, 5, 2), 0);
    EXPECT_EQ(Kept(11, s), Format("05 00 04 01 03 05 %02X 30 05 40 00 50 07", inventory)) << "flag 2 is sent as 0";
}

TEST_F(TagPath, SelectorsAndFiltersNarrowWhatIsReportedAndAccessed) {
    const uint8_t x = tags_[0].epc[0], ff = 0xFF;
    TagFilter match, other;
    // Field B 0 selects the tags whose EPC begins with x (field A and the flag
    // only mark the record); action 4 those that do not.
    ulmot_SetTagFilterC1G2(&match, 1, 0x20, 5, 0, 8, &x, 1);
    ulmot_SetTagFilter(&other, 1, 0x20, 4, 8, 15, &x, &ff);
    TagFilter *m[] = {&match}, *o[] = {&other};
    uint8_t selectors[2] = {}, filter = 0, access = 0;
    ASSERT_EQ(ulmot_AddTagSelectorSpecification(c_, &selectors[0], m, 1), 0);
    ASSERT_EQ(ulmot_AddTagSelectorSpecification(c_, &selectors[1], o, 1), 0);
    EXPECT_EQ(Kept(3, selectors[0]), Format("05 00 10 01 06 00 0C 01 00 00 00 20 E8 00 08 00 01 %02X FF", x));
    EXPECT_EQ(Kept(3, selectors[1]), Format("05 00 10 01 06 00 0C 01 00 00 00 20 04 00 08 00 01 %02X FF", x));
    const uint8_t a = Inventory(517, 1, &selectors[0]), b = Inventory(517, 1, &selectors[1]), all = Inventory(517, 1);
    EXPECT_EQ(Kept(5, a), Format("01 02 05 13 08 01 20 00 35 00 04 01 03 03 %02X", selectors[0]));
    Lines withX, withoutX, reads;
    for (const uemu_Tag &t : tags_) {
        (t.epc[0] == x ? withX : withoutX).push_back(ReportOf(a, 1, t));
        if (t.epc[0] == x) reads.push_back(Format("access read 1 ok 1 code 0 %s", Hex(t.epc, 4).c_str()));
    }
    ASSERT_FALSE(withoutX.empty());
    const uint8_t s = Schedule({Object(5, a), Object(5, b)});
    Lines run = RunSchedule(s);
    EXPECT_EQ(Starting(run, Format("report %u ", a)), Sorted(withX));
    EXPECT_EQ(Starting(run, Format("report %u ", b)).size(), withoutX.size());
    uint16_t leftOut = 0;
    ASSERT_EQ(ulmot_GetInventoryStats(c_, a, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &leftOut), 0);
    EXPECT_EQ(leftOut, withoutX.size());
    ASSERT_EQ(ulmot_SetInventorySelector(c_, a, &selectors[1], 1), 0);
    EXPECT_EQ(Starting(RunSchedule(s), Format("report %u ", a)), Sorted(withoutX)) << "the other selector";

    // A filter specification (every tag cleared, then the matching ones
    // selected) narrows an access specification the same way.
    const TagFilterElement elements[] = {{ULMOT_FILTER_ELEMENT_INT8, 0x100},
                                         {ULMOT_FILTER_ELEMENT_TAG_FILTER, reinterpret_cast<uintptr_t>(&match)}};
    ASSERT_EQ(ulmot_AddTagFilterSpecification(c_, &filter, elements, 2), 0);
    EXPECT_EQ(Kept(6, filter), Format("05 00 12 02 00 00 06 00 0C 01 00 00 00 20 E8 00 08 00 01 %02X FF", x));
    ASSERT_EQ(ulmot_AddAccessSpecification(c_, &access, &all, 1, 1, 2, 0, 1, 2, 0, nullptr, 0, nullptr, nullptr, 0,
                                           filter),
              0);
    ASSERT_EQ(access, 1);
    EXPECT_EQ(Starting(RunSchedule(Schedule({Object(5, all)})), "access read"), Sorted(reads)) << "EPC words 2, 3";
}

TEST_F(TagPath, AccessSpecificationsReadAndWriteTagMemory) {
    const uint8_t inventory = Inventory(517, 1), words[] = {0xCA, 0xFE, 0xF0, 0x0D}, cc = 0xCC, one = 1;
    uint8_t tid = 0, user = 0, write = 0;
    // Every TID word; a length of 0 with data, a length without data and a
    // count without antennas send nothing.
    ASSERT_EQ(ulmot_AddAccessSpecification(c_, &tid, &inventory, 1, 1, 0, 0, 2, 0, 0, words, 2, nullptr, nullptr, 1, 0),
              0);
    EXPECT_EQ(Kept(7, tid), Format("01 00 01 15 00 04 01 03 05 %02X 40 00 52 00 00 00 00 60 02 81 00 00 D0 00",
                                   inventory));
    ASSERT_EQ(ulmot_AddAccessSpecification(c_, &user, &inventory, 0, 1, 4, 0, 3, 0, 0, nullptr, 0, nullptr, nullptr, 0,
                                           0),
              0);
    ASSERT_EQ(ulmot_AddAccessSpecification(c_, &write, &inventory, 1, 1, 0, 1, 3, 8, 4, words, 1, &cc, &one, 1, 0), 0);
    EXPECT_EQ(Kept(7, write), Format("01 00 01 15 00 04 01 03 05 %02X 25 00 04 01 03 08 01 40 01 52 00 00 00 08 60 03 "
                                     "74 00 04 CA FE F0 0D 81 00 04 94 00 01 CC D0 00",
                                     inventory));
    Lines expected;
    for (uint8_t a : {tid, user, write}) expected.push_back(Format("access stop %u", a));
    for (uint32_t i = 0; i < 40; ++i) {
        uint8_t memory[64];
        uint32_t length = 0;
        ASSERT_EQ(uemu_ReadTagMemory(reader_, i, UEMU_BANK_TID, 0, 0, memory, 64, &length), UEMU_OK);
        expected.push_back(Format("access read %u ok 1 code 0 %s", tid, Hex(memory, length).c_str()));
        ASSERT_EQ(uemu_ReadTagMemory(reader_, i, UEMU_BANK_USER, 0, 4, memory, 64, &length), UEMU_OK);
        expected.push_back(Format("access read %u ok 1 code 0 %s", user, Hex(memory, length).c_str()));
        expected.push_back(Format("access write %u ok 1 code 0", write));
    }
    EXPECT_EQ(Starting(RunSchedule(Schedule({Object(5, inventory)})), "access"), Sorted(expected));
    for (uint32_t i = 0; i < 40; ++i) {
        uint8_t memory[4];
        uint32_t length = 0;
        ASSERT_EQ(uemu_ReadTagMemory(reader_, i, UEMU_BANK_USER, 8, 2, memory, 4, &length), UEMU_OK);
        EXPECT_EQ(Hex(memory, length), "CA FE F0 0D") << "tag " << i;
    }
    // The setters replace one item each.
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
    uint8_t count = 0, status = 9, list[2] = {}, pair = 0, inventory = 0;
    uint16_t power[3] = {}, length = 0;
    EXPECT_EQ(ulmot_GetAntennaCount(c_, &count), 0);
    EXPECT_EQ(count, 4);
    EXPECT_EQ(ulmot_GetAntennaDefaultPower(c_, 3, &power[0]) | ulmot_GetAntennaMinPower(c_, 3, &power[1]) |
                  ulmot_GetAntennaMaxPower(c_, 3, &power[2]),
              0);
    EXPECT_EQ(std::vector<int>(power, power + 3), std::vector<int>({300, 100, 315}));
    EXPECT_EQ(ulmot_GetAntennaAttributes(c_, 3, &power[2], &power[1], &power[0], list, 2, &length), 0);
    EXPECT_EQ(std::vector<int>({power[2], power[1], power[0], length, list[0]}), std::vector<int>({315, 100, 300, 1, 3}));
    const uint8_t three[] = {3, 1, 2};
    ASSERT_EQ(ulmot_SetObjectProperties(c_, 8, 3, ULMOT_PROP_BYTE_ARRAY, 3, three, 3u, ULMOT_PROP_END), 0);
    EXPECT_EQ(Outcome(ulmot_GetAntennaAttributes(c_, 3, nullptr, nullptr, nullptr, list, 2, &length)),
              "-1 | ulmot_GetAntennaAttributes: Failed to find receive antenna list in response");
    ASSERT_EQ(ulmot_RegisterTxAntennaVSWRStatus(c_, OnVswr, &seen_, 1), 0);
    ASSERT_EQ(uemu_SetAntennaVswr(reader_, 3, 2), UEMU_OK);
    EXPECT_EQ(seen_.WaitFor(1), Lines{"vswr 3 2"});
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
    ASSERT_EQ(ulmot_AddInventorySpecification(c_, &inventory, 517, 0, 0, 0, nullptr, 0), 0);
    const uint8_t s = Schedule({Object(17, pair), Object(5, inventory)});
    seen_.Take();
    Lines run = RunSchedule(s), expected;
    EXPECT_EQ(run[1], Format("activation %u 1 2 310", pair));
    for (const uemu_Tag &t : tags_) expected.push_back(ReportOf(inventory, 2, t));
    EXPECT_EQ(Starting(run, "report"), Sorted(expected)) << "heard on the pair's receive antenna";
    ASSERT_EQ(ulmot_EnableAntennaPairEventExtraInfo(c_, 0), 0);
    EXPECT_EQ(RunSchedule(s)[1], Format("activation %u none", pair));
}

// Tag reports as the reader never sends them: the format item, then a tag
// data item of header byte 1, header word 2, `bits` and the tag bits.
Bytes Report(uint16_t format, uint16_t bits, const Bytes &tagBits) {
    return Concat({I16(0, format), Sized(4, 7, Concat({{1, 0, 0, 0, 2, uint8_t(bits >> 8), uint8_t(bits)}, tagBits}))});
}
const Bytes kEpc = {0xE2, 0x00, 0x00, 0x17, 0x22, 0x0B, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB}, kCrc = {0x5C, 0x3A};
std::string Seen(const char *pc, const char *xpc, const std::string &epc, const char *crc = "5C3A") {
    return Format("report 9 517/2 ant 0 pc %s xpc %s epc %s crc %s", pc, xpc, epc.c_str(), crc);
}
const std::string kNoData = Seen("0000", "0000 0000", "null", "0000");  // the other fields kept
using TagReportHandler = TagPath;

// How format 517 is split (PC, XPC words, EPC, CRC) and other formats kept
// whole is shown by the schedule runs over the reader's tag field.
TEST_F(TagReportHandler, Format517TooShortForWhatItAnnouncesHasNoData) {
    // Without a tag data item, or one whose bit count passes its end; then
    // the shortest that has data: a PC and a CRC, an empty EPC.
    const std::string untaken = "report 9 517/0 ant 0 pc 0000 xpc 0000 0000 epc null crc 0000";
    ExpectEvents({{5, 2, 9, I16(0, 517), {untaken}, {}},
                  {5, 2, 9, Report(517, 129, Concat({{0x30, 0}, kEpc, kCrc})), {untaken}, {}},
                  {5, 2, 9, Report(517, 32, {0x30, 0x01, 0x5C, 0x3A}), {Seen("3001", "0000 0000", "")}, {}}});
    const Bytes tooShort[] = {Report(517, 0, {}), Report(517, 8, {0x30}), Report(517, 15, {0x30, 0}),
                              Report(517, 24, {0x30, 0, 0x5C}), Report(517, 32, {0x32, 0, 0x12, 0x34}),
                              Report(517, 24, {0x32, 0, 0x12}), Report(517, 32, {0x32, 0, 0x80, 0}),
                              Report(517, 48, {0x32, 0, 0x80, 0, 0, 1, 0x5C, 0x3A})};
    for (const Bytes &body : tooShort) ExpectEvents({{5, 2, 9, body, {kNoData}, {}}});
}

// Events with items missing or of another type, and values the reader never
// sends (the well-formed ones reach their callbacks in the runs above).
TEST_F(TagPath, EventsAsTheReaderNeverSendsThemReachTheirCallbacks) {
    ASSERT_EQ(ulmot_RegisterInventoryEvents(c_, OnRound, OnRoundEnd, OnReport, &seen_), 0);
    ASSERT_EQ(ulmot_RegisterTxAntennaVSWRStatus(c_, OnVswr, &seen_, 1), 0);
    ASSERT_EQ(ulmot_RegisterAntennaPairActivation(c_, OnActivation, &seen_, 2), 0);
    const std::string data = "ulmot_ClientHandleAccessDataComplete: Failed to find ",
                      complete = "ulmot_ClientHandleAccessComplete: Failed to find ";
    ExpectEvents({
        {5, 0, 3, {}, {"round 3"}, {}},
        {5, 1, 4, I16(14, 7), {"round-end 4 9"}, {}},  // item 254 and the item given
        {7, 0, 1, {0xA0, 0, 0xB0, 9, 0x74, 0, 3, 0xAA, 0xBB, 0xCC}, {"access read 1 ok 1 code 9 AA BB CC"}, {}},
        {7, 0, 1, {0xA0, 3, 0xB0, 9}, {"access read 1 ok 0 code 9 null"}, {data + "data in result"}},
        {7, 0, 2, {}, {"access read 2 ok 1 code 0 null"},
         {data + "result in event", data + "engine code in result", data + "data in result"}},
        {7, 0, 2, {0xA0, 0, 0xB0, 1, 0x74, 0, 0}, {"access read 2 ok 1 code 1 null"}, {}},
        {7, 1, 3, {0xA0, 0, 0xB0, 2}, {"access write 3 ok 1 code 2"}, {}},
        {7, 1, 3, {0xA0, 0xFF}, {"access write 3 ok 0 code 0"}, {complete + "engine code in result"}},
        {7, 1, 3, {0xB0, 4}, {"access write 3 ok 1 code 4"}, {complete + "result in event"}},
        {7, 3, 5, {}, {"access request 5"}, {}},
        {7, 4, 6, {}, {"access request-done 6"}, {}},
        {8, 0, 2, {0x41, 0, 3}, {"vswr 2 255"}, {}},
        {17, 0, 6, {0x00, 1}, {"activation 6 none"}, {}},
        {17, 0, 6, {0x00, 1, 0x10, 2}, {"activation 6 none"}, {}},
        {11, 1, 4, {0x21, 0, 2}, {"stop 4 reason 255"},
         {"ulmot_ClientHandleScheduleStop: Failed to find stop reason in event"}},
    });
    // Disabled, or registered without callbacks: events sent all the same reach nothing.
    ASSERT_EQ(ulmot_RegisterTxAntennaVSWRStatus(c_, OnVswr, &seen_, 0), 0);
    ASSERT_EQ(ulmot_RegisterAntennaPairActivation(c_, OnActivation, &seen_, 0), 0);
    ASSERT_EQ(ulmot_RegisterInventoryEvents(c_, nullptr, nullptr, nullptr, &seen_), 0);
    ASSERT_EQ(ulmot_RegisterAccessEvents(c_, nullptr, nullptr, nullptr, nullptr, nullptr, &seen_), 0);
    ExpectEvents({{8, 0, 2, {0x40, 3}, {}, {}}, {17, 0, 6, {}, {}, {}}, {5, 2, 9, Report(517, 32, {0x30, 0, 0x5C}), {}, {}},
                  {5, 0, 1, {}, {}, {}}, {5, 1, 1, {}, {}, {}}, {7, 0, 3, {}, {}, {}}, {7, 1, 3, {}, {}, {}},
                  {7, 2, 3, {}, {}, {}}, {7, 3, 3, {}, {}, {}}, {7, 4, 3, {}, {}, {}}});
}

}  // namespace
