// Running schedules against the seeded tag field, seen from a raw client:
// every tag reported with its exact PC, EPC and CRC; the schedule's own
// limits and stops, in order; selectors that narrow the population exactly
// as their filters say; antennas, pairs, power and VSWR faults; inventory
// round events and statistics.
#include "emulator_tagpath_support.h"

namespace {

using namespace ulmot::test;

using Schedules = TagPathTest;

// Enables tag reports (and the round events when asked) for every inventory
// and the start and stop events of every schedule.
void Listen(Client &c, bool rounds = false) {
    EXPECT_EQ(c.Enable(UEMU_READER_PROCESSOR_ID, kInventoryType, 0, 0xFFFFFFFF, rounds ? 7 : 4), 0);
    EXPECT_EQ(c.Enable(UEMU_READER_PROCESSOR_ID, kScheduleType, 0, 0xFFFFFFFF, 3), 0);
}

std::set<int> IndexesIn(const std::vector<uemu_Tag> &tags, const std::vector<Report> &reports) {
    std::set<int> seen;
    for (const Report &r : reports) {
        const int i = IndexOf(tags, r.bits);
        EXPECT_GE(i, 0) << "a report of a tag that is not in the field";
        EXPECT_TRUE(seen.insert(i).second) << "tag " << i << " reported twice";
    }
    return seen;
}

TEST_F(Schedules, OnePassReportsEveryTagOnceWithItsPcEpcAndCrc) {
    config_.xpcPercent = 40;
    Client &c = NewClient("app");
    Listen(c);
    const uint8_t inventory = AddInventory(c, 1);
    const uint8_t schedule = AddSchedule(c, {Ref(0, kInventoryType, inventory)});
    ASSERT_EQ(Start(c, schedule), 0);
    const auto events = UntilStopped(c, schedule);
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events.front().header, (Bytes{c.id, kReader, 0x80, 0x00, kScheduleType, schedule, 0x00, 0x06}))
        << "the start event comes first";
    EXPECT_EQ(Bytes(events.back().body.begin() + 6, events.back().body.end()), (Bytes{0x20, 0x03}))
        << "stopped after its one pass (reason 3)";

    const auto tags = TagsOf(Reader());
    const auto reports = ReportsIn(events);
    ASSERT_EQ(reports.size(), 40u);
    ASSERT_EQ(events.size(), 42u) << "start, the reports, stop";
    EXPECT_EQ(IndexesIn(tags, reports).size(), 40u);
    int withXpc = 0;
    for (size_t n = 0; n < reports.size(); ++n) {
        const Report &r = reports[n];
        const Received &e = events[n + 1];
        EXPECT_EQ(Bytes(e.header.begin(), e.header.begin() + 6),
                  (Bytes{c.id, kReader, 0x80, kTagReport, kInventoryType, inventory}));
        const int i = IndexOf(tags, r.bits);
        ASSERT_GE(i, 0);
        const uemu_Tag &t = tags[static_cast<size_t>(i)];
        withXpc += t.xpcCount > 0;
        EXPECT_EQ(e.body.size(), 69u + 2u * t.xpcCount) << "item 254 and the report's items, nothing else";
        EXPECT_EQ(r.format, 517);
        EXPECT_EQ(r.headerByte, UEMU_BANK_EPC);
        EXPECT_EQ(r.headerWord, 0x10u) << "the bits start at the PC word";
        EXPECT_EQ(r.bitCount, r.bits.size() * 8);
        // The CRC the tests compute over everything before it.
        ASSERT_GE(r.bits.size(), 4u);
        const Bytes covered(r.bits.begin(), r.bits.end() - 2);
        EXPECT_EQ(Number(Bytes(r.bits.end() - 2, r.bits.end())), Gen2Crc(covered));
        EXPECT_EQ(r.antennaType, kAntennaType);
        EXPECT_EQ(r.antenna, 1) << "every antenna in turn; session 1 reports a tag on the first";
        EXPECT_GE(r.rssi, t.rssi[0] - 20);
        EXPECT_LE(r.rssi, t.rssi[0] + 20);
        EXPECT_LT(r.phase, 360);
        EXPECT_GE(r.channel, 1) << "the radio's channel";
        EXPECT_LE(r.channel, config_.countryCodes[config_.countryCodeSelected].channelCount);
        EXPECT_EQ(r.seen, 1);
        EXPECT_EQ(r.round, 1);
        EXPECT_EQ(r.pair, 0);
        EXPECT_EQ(r.power, 300);
        EXPECT_EQ(r.sequence, n + 1) << "reports are numbered in order, without gaps";
        EXPECT_EQ(r.schedule, schedule);
        EXPECT_FALSE(r.tid.has_value());
    }
    EXPECT_GT(withXpc, 0);
    EXPECT_LT(withXpc, 40);
    c.ExpectNoEvent("the stop event is the last");
}

TEST_F(Schedules, StopsByItselfWhenItsEntriesSaySo) {
    struct Case {
        const char *what;
        Bytes limit;
        uint8_t startFlag;
        int reason;
        size_t reports;  // 0: some
    };
    const Case cases[] = {
        {"25 tag reports", I32(0, 0x00010019), 1, 2, 25},
        {"three passes", I32(0, 0x00020003), 1, 3, 120},
        {"one pass (start flag 0)", {}, 0, 3, 40},
        {"ten distinct tags", I32(0, 0x0003000A), 1, 4, 10},
        {"300 ms", I32(0, 300), 1, 1, 0},
    };
    Client &c = NewClient("app");
    Listen(c);
    const uint8_t inventory = AddInventory(c, 0);
    const auto tags = TagsOf(Reader());
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        std::vector<Bytes> entries = {Ref(0, kAntennaType, 1), Ref(0, kInventoryType, inventory)};
        if (!k.limit.empty()) entries.push_back(k.limit);
        const uint8_t schedule = AddSchedule(c, entries);
        ASSERT_EQ(Start(c, schedule, k.startFlag), 0);
        const auto events = UntilStopped(c, schedule);
        EXPECT_EQ(StopReason(events), k.reason);
        const auto reports = ReportsIn(events);
        if (k.reports != 0) {
            EXPECT_EQ(reports.size(), k.reports);
        } else {
            EXPECT_GT(reports.size(), 0u);
        }
        // Session 0: a tag comes back each round, its seen count rising.
        std::map<int, uint16_t> seen;
        for (const Report &r : reports) {
            const int i = IndexOf(tags, r.bits);
            EXPECT_EQ(r.seen, ++seen[i]) << "tag " << i;
            EXPECT_EQ(r.round, r.seen) << "one round a pass";
        }
        EXPECT_EQ(c.Request(kReader, kScheduleType, 2, schedule).result, 0);
    }
}

TEST_F(Schedules, AStopRequestEndsTheRunAndItsStopEventIsTheLast) {
    Client &c = NewClient("app");
    Listen(c);
    const uint8_t inventory = AddInventory(c, 0);
    const uint8_t schedule = AddSchedule(c, {Ref(0, kInventoryType, inventory)});
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(Start(c, schedule, 1), 0);
        std::optional<Received> e = c.NextEvent();
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(e->header[ULMOT_HEADER_OBJECT_TYPE], kScheduleType);
        EXPECT_EQ(e->header[ULMOT_HEADER_COMMAND], 0) << "start event";
        for (int i = 0; i < 5; ++i) ASSERT_TRUE(c.NextEvent().has_value());
        EXPECT_EQ(Stop(c, schedule), 0) << "it was running";
        const auto events = UntilStopped(c, schedule);
        EXPECT_EQ(StopReason(events), 0) << "stopped by request";
        for (size_t i = 0; i + 1 < events.size(); ++i) {
            EXPECT_EQ(events[i].header[ULMOT_HEADER_OBJECT_TYPE], kInventoryType) << "only reports before the stop";
        }
        c.ExpectNoEvent("nothing after the stop event");
        EXPECT_EQ(Stop(c, schedule), 1) << "no longer running";
    }
}

TEST_F(Schedules, AHigherPriorityStartTakesOverAndARemovalStops) {
    Client &c = NewClient("app");
    Listen(c);
    const uint8_t inventory = AddInventory(c, 0);
    const uint8_t first = AddSchedule(c, {Ref(0, kInventoryType, inventory)});
    const uint8_t second = AddSchedule(c, {Ref(0, kInventoryType, inventory)});
    ASSERT_EQ(Start(c, first, 1), 0);
    EXPECT_EQ(Start(c, second, 1), UEMU_RESULT_REFUSED) << "equal priority";
    ASSERT_EQ(Set(c, kScheduleType, second, I8(5, 4)), 0);
    ASSERT_EQ(Start(c, second, 1), 0);
    auto events = UntilStopped(c, first);
    EXPECT_EQ(StopReason(events), 5) << "taken over";
    std::optional<Received> e;
    do {
        e = c.NextEvent();
        ASSERT_TRUE(e.has_value());
    } while (e->header[ULMOT_HEADER_OBJECT_TYPE] != kScheduleType);
    EXPECT_EQ(e->header[ULMOT_HEADER_INSTANCE], second);
    EXPECT_EQ(e->header[ULMOT_HEADER_COMMAND], 0) << "the second starts after the first stopped";
    // Its own registration goes with it, the type-wide one still reports.
    EXPECT_EQ(c.Enable(kReader, kScheduleType, second, 3, 3), 0);
    EXPECT_EQ(c.Request(kReader, kScheduleType, 2, second).result, 0);
    events = UntilStopped(c, second);
    EXPECT_EQ(StopReason(events), 6) << "removed";
    for (const auto &r : Registrations()) EXPECT_FALSE(r.objectType == kScheduleType && r.instance == second);
}

// The tags a selector made of `filters` selects, as the tests evaluate the
// filters themselves over the tags' memory (Gen2 Select actions).
struct FilterSpec {
    uint8_t bank;
    uint32_t pointer;
    uint8_t action;
    Bytes data;
    uint16_t bits;
    Bytes mask;
};

bool Matches(uemu_Reader *reader, uint32_t index, const FilterSpec &f) {
    const Bytes bank = Memory(reader, index, f.bank);
    if (f.pointer + f.bits > bank.size() * 8) return false;
    for (uint32_t i = 0; i < f.bits; ++i) {
        const bool counts = i / 8 >= f.mask.size() || ((f.mask[i / 8] >> (7 - i % 8)) & 1) != 0;
        const uint32_t b = f.pointer + i;
        const bool have = ((bank[b / 8] >> (7 - b % 8)) & 1) != 0;
        const bool want = ((f.data[i / 8] >> (7 - i % 8)) & 1) != 0;
        if (counts && have != want) return false;
    }
    return true;
}

bool Selects(uemu_Reader *reader, uint32_t index, const std::vector<FilterSpec> &filters) {
    if (filters.empty()) return true;
    bool selected = false;
    for (const FilterSpec &f : filters) {
        const bool m = Matches(reader, index, f);
        switch (f.action) {
        case 0: selected = m; break;
        case 1: selected = m || selected; break;
        case 2: selected = m && selected; break;
        case 4: selected = !m; break;
        case 5: selected = !m && selected; break;
        default: ADD_FAILURE() << "action not modelled"; break;
        }
    }
    return selected;
}

TEST_F(Schedules, SelectorsNarrowThePopulationAsTheirFiltersSay) {
    config_.tagCount = 80;
    Client &c = NewClient("app");
    Listen(c);
    const auto tags = TagsOf(Reader());
    const uint8_t x = tags[3].epc[0];
    const Bytes tid5 = Memory(Reader(), 5, UEMU_BANK_TID, 2, 1);
    const Bytes user9 = {Memory(Reader(), 9, UEMU_BANK_USER, 0, 1)[0]};
    struct Case {
        const char *what;
        std::vector<std::vector<FilterSpec>> selectors;  // each a selector of the inventory
        bool narrows;
    };
    const std::vector<Case> cases = {
        {"EPC byte 0 matches", {{{1, 32, 0, {x}, 8, {0xFF}}}}, true},
        {"EPC byte 0 does not match", {{{1, 32, 4, {x}, 8, {}}}}, true},
        {"the high nibble of EPC byte 0", {{{1, 32, 0, {x}, 8, {0xF0}}}}, true},
        {"high bits of EPC bytes 0 and 1 (and)", {{{1, 32, 0, {0x80}, 1, {}}, {1, 40, 2, {0x80}, 1, {}}}}, true},
        {"one selector or another (or)", {{{1, 32, 0, {x}, 8, {}}}, {{1, 32, 0, {tags[4].epc[0]}, 8, {}}}}, true},
        {"a TID serial word", {{{2, 32, 0, tid5, 16, {}}}}, true},
        {"the first user byte", {{{3, 0, 0, user9, 8, {}}}}, true},
        {"the PC's length field", {{{1, 16, 0, {0x30}, 5, {}}}}, false},
        {"bits past the end of the TID", {{{2, 90, 0, {0xFF}, 8, {}}}}, true},
        {"no data: every tag", {{{3, 0, 0, {}, 0, {}}}}, false},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        Bytes instances;
        std::set<int> expected;
        for (uint32_t i = 0; i < tags.size(); ++i) {
            bool any = false;
            for (const auto &s : k.selectors) any = any || Selects(Reader(), i, s);
            if (any) expected.insert(static_cast<int>(i));
        }
        if (k.narrows) {
            EXPECT_LT(expected.size(), tags.size());
        } else {
            EXPECT_EQ(expected.size(), tags.size());
        }
        for (const auto &s : k.selectors) {
            std::vector<Bytes> filters;
            for (const FilterSpec &f : s) filters.push_back(Filter(f.bank, f.pointer, f.action, f.bits, f.data, f.mask));
            instances.push_back(AddSelector(c, filters));
        }
        const uint8_t inventory = AddInventory(c, 1, instances);
        const uint8_t schedule = AddSchedule(c, {Ref(0, kAntennaType, 1), Ref(0, kInventoryType, inventory)});
        ASSERT_EQ(Start(c, schedule), 0);
        const auto events = UntilStopped(c, schedule);
        EXPECT_EQ(IndexesIn(tags, ReportsIn(events)), expected);
        // Statistics item 11: the tags the selectors left out.
        const Answer stats = c.Request(kReader, kInventoryType, 4, inventory);
        const auto items = ItemsById(Bytes(stats.body.begin() + 4, stats.body.end()));
        ASSERT_EQ(items.count(11), 1u);
        EXPECT_EQ(Number(items.at(11).value), tags.size() - expected.size());
    }
    // An Int8 element sets every tag's flag before the filters after it.
    const uint8_t preset = AddSelector(c, {I8(0, 1), Filter(1, 32, 5, 8, {x})});
    const uint8_t inventory = AddInventory(c, 1, {preset});
    const uint8_t schedule = AddSchedule(c, {Ref(0, kAntennaType, 1), Ref(0, kInventoryType, inventory)});
    ASSERT_EQ(Start(c, schedule), 0);
    std::set<int> others;
    for (uint32_t i = 0; i < tags.size(); ++i) {
        if (tags[i].epc[0] != x) others.insert(static_cast<int>(i));
    }
    EXPECT_EQ(IndexesIn(tags, ReportsIn(UntilStopped(c, schedule))), others);
}

TEST_F(Schedules, ReportFormatAndTidFollowTheInventory) {
    Client &c = NewClient("app");
    Listen(c);
    const auto tags = TagsOf(Reader());
    const uint8_t inventory = Add(c, kInventoryType, Cat({I8(2, 1), I16(0, 1), I8(23, 1), Ref(1, kAntennaType, 2)}));
    const uint8_t schedule = AddSchedule(c, {Ref(0, kAntennaType, 1), Ref(0, kInventoryType, inventory)});
    ASSERT_EQ(Start(c, schedule), 0);
    const auto reports = ReportsIn(UntilStopped(c, schedule));
    ASSERT_EQ(reports.size(), tags.size());
    std::set<Bytes> epcs;
    for (const Report &r : reports) {
        EXPECT_EQ(r.format, 1);
        EXPECT_EQ(r.headerWord, 0x20u) << "the EPC alone, from word 2";
        EXPECT_EQ(r.bitCount, 96);
        EXPECT_EQ(r.antenna, 2) << "the inventory's own antenna wins over the schedule's";
        auto t = std::find_if(tags.begin(), tags.end(), [&](const uemu_Tag &x) { return EpcOf(x) == r.bits; });
        ASSERT_NE(t, tags.end());
        ASSERT_TRUE(r.tid.has_value());
        EXPECT_EQ(*r.tid, Memory(Reader(), static_cast<uint32_t>(t - tags.begin()), UEMU_BANK_TID));
        epcs.insert(r.bits);
    }
    EXPECT_EQ(epcs.size(), tags.size());
}

TEST_F(Schedules, AntennasPairsPowerAndVswrDecideWhichTagsAreHeard) {
    config_.visibilityPercent = 50;
    Client &c = NewClient("app");
    Listen(c);
    EXPECT_EQ(c.Enable(kReader, kPairType, 0, 1, 0xFFFFFFFF), 0);
    const auto tags = TagsOf(Reader());
    const uint8_t inventory = AddInventory(c, 1);
    auto run = [&](const std::vector<Bytes> &entries) {
        const uint8_t schedule = AddSchedule(c, entries);
        EXPECT_EQ(Start(c, schedule), 0);
        auto events = UntilStopped(c, schedule);
        EXPECT_EQ(c.Request(kReader, kScheduleType, 2, schedule).result, 0);
        return events;
    };
    auto inField = [&](auto &&pred) {
        std::set<int> s;
        for (size_t i = 0; i < tags.size(); ++i) {
            if (pred(tags[i])) s.insert(static_cast<int>(i));
        }
        return s;
    };

    // Antenna 2 alone hears the tags in its field.
    auto reports = ReportsIn(run({Ref(0, kAntennaType, 2), Ref(0, kInventoryType, inventory)}));
    const auto ofTwo = inField([](const uemu_Tag &t) { return (t.antennas & 2) != 0; });
    EXPECT_LT(ofTwo.size(), tags.size());
    EXPECT_EQ(IndexesIn(tags, reports), ofTwo);
    for (const Report &r : reports) EXPECT_EQ(r.antenna, 2);

    // A pair transmits on 1 and listens on 2: tags in both fields; its
    // activation event carries the pair's items once asked for.
    const uint8_t pair = Add(c, kPairType, Cat({I8(0, 1), I8(1, 2), I16(2, 300)}));
    Body props;
    props.Raw({0x04, 0x00, 0x05, 0x00, 0x01, 0x00, 0x01, 0x02});
    ASSERT_EQ(c.Request(kReader, kPairType, 6, 0, props).result, 0);
    auto events = run({Ref(0, kPairType, pair), Ref(0, kInventoryType, inventory)});
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(Bytes(events[1].header.begin(), events[1].header.begin() + 6),
              (Bytes{c.id, kReader, 0x80, 0x00, kPairType, pair}));
    EXPECT_EQ(Bytes(events[1].body.begin() + 6, events[1].body.end()),
              (Bytes{0x00, 0x01, 0x10, 0x02, 0x21, 0x01, 0x2C}));
    reports = ReportsIn(events);
    EXPECT_EQ(IndexesIn(tags, reports), inField([](const uemu_Tag &t) { return (t.antennas & 3) == 3; }));
    for (const Report &r : reports) {
        EXPECT_EQ(r.antenna, 2);
        EXPECT_EQ(r.pair, pair);
        EXPECT_EQ(r.power, 300);
    }

    // At 10.0 dBm only tags 20 dB above the reader's sensitivity answer.
    const uint8_t quiet = Add(c, kPairType, Cat({I8(0, 1), I16(2, 100)}));
    reports = ReportsIn(run({Ref(0, kPairType, quiet), Ref(0, kInventoryType, inventory)}));
    const auto loud = inField([](const uemu_Tag &t) { return (t.antennas & 1) != 0 && t.rssi[0] - 200 >= -750; });
    EXPECT_LT(loud.size(), inField([](const uemu_Tag &t) { return (t.antennas & 1) != 0; }).size());
    EXPECT_EQ(IndexesIn(tags, reports), loud);
    for (const Report &r : reports) EXPECT_EQ(r.power, 100);

    // An antenna with a bad VSWR does not transmit.
    ASSERT_EQ(uemu_SetAntennaVswr(Reader(), 2, 1), UEMU_OK);
    events = run({Ref(0, kAntennaType, 2), Ref(0, kInventoryType, inventory)});
    EXPECT_TRUE(ReportsIn(events).empty());
    EXPECT_EQ(StopReason(events), 3);
}

TEST_F(Schedules, RoundEventsAndStatisticsCountWhatHappened) {
    Client &c = NewClient("app");
    Listen(c, true);
    const uint8_t selector = AddSelector(c, {Filter(1, 32, 0, 1, {0x80})});
    const uint8_t inventory = AddInventory(c, 0, {selector});
    const uint8_t schedule =
        AddSchedule(c, {Ref(0, kAntennaType, 3), Ref(0, kInventoryType, inventory), I32(0, 0x00020002)});
    ASSERT_EQ(Start(c, schedule, 1), 0);
    const auto events = UntilStopped(c, schedule);
    const auto tags = TagsOf(Reader());
    const size_t selected = static_cast<size_t>(
        std::count_if(tags.begin(), tags.end(), [](const uemu_Tag &t) { return (t.epc[0] & 0x80) != 0; }));
    std::vector<Bytes> rounds;
    size_t reports = 0;
    for (const Received &e : events) {
        if (e.header[ULMOT_HEADER_OBJECT_TYPE] != kInventoryType) continue;
        if (e.header[ULMOT_HEADER_COMMAND] == kTagReport) {
            ++reports;
        } else {
            rounds.push_back(Bytes(e.body.begin() + 6, e.body.end()));
        }
    }
    EXPECT_EQ(reports, 2 * selected);
    const auto s = static_cast<uint16_t>(selected);
    const auto out = static_cast<uint16_t>(tags.size() - selected);
    ASSERT_EQ(rounds.size(), 4u);
    EXPECT_EQ(rounds[0], I16(14, 1));
    EXPECT_EQ(rounds[1], Cat({I16(14, 1), I16(8, s), I16(11, out)}));
    EXPECT_EQ(rounds[2], I16(14, 2));
    EXPECT_EQ(rounds[3], Cat({I16(14, 2), I16(8, s), I16(11, out)}));

    const Answer got = c.Request(kReader, kInventoryType, 4, inventory);
    const auto items = ItemsById(Bytes(got.body.begin() + 4, got.body.end()));
    const std::vector<Report> all = ReportsIn(events);
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(items.at(5).value, Bytes{0}) << "not running";
    EXPECT_EQ(Number(items.at(6).value), 2 * selected) << "reports";
    EXPECT_EQ(Number(items.at(7).value), selected) << "distinct tags";
    EXPECT_EQ(Number(items.at(8).value), 2u) << "rounds";
    EXPECT_EQ(items.at(9).value, (Bytes{kAntennaType, 3})) << "antenna of the last report";
    EXPECT_EQ(static_cast<int16_t>(Number(items.at(10).value)), all.back().rssi);
    EXPECT_EQ(Number(items.at(11).value), out) << "left out";
}

TEST_F(Schedules, ReportsStopGoingToAClientThatDisabledThem) {
    Client &a = NewClient("a");
    Client &b = NewClient("b");
    ASSERT_TRUE(a.NextEvent().has_value());  // b was added
    Listen(a);
    Listen(b);
    const uint8_t inventory = AddInventory(a, 1);
    ASSERT_EQ(b.Enable(kReader, kInventoryType, inventory, 1u << 2, 0), 0);
    const uint8_t schedule = AddSchedule(a, {Ref(0, kAntennaType, 1), Ref(0, kInventoryType, inventory)});
    ASSERT_EQ(Start(a, schedule), 0);
    EXPECT_EQ(ReportsIn(UntilStopped(a, schedule)).size(), 40u);
    const auto seenByB = UntilStopped(b, schedule);
    EXPECT_TRUE(ReportsIn(seenByB).empty());
    EXPECT_EQ(seenByB.size(), 2u) << "start and stop only";
}

}  // namespace
