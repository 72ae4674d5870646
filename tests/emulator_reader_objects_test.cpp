// The emulated reader's Gen2 protocol specifications and parameter sets,
// version information, timestamp, clock, CTI objects, alarm specifications
// and text log, as a raw client sees them: literal answers and events, and
// each refusal with its result code.
#include <cstdio>
#include <cstring>

#include "emulator_reader_support.h"

namespace {

using namespace ulmot::test;

constexpr uint8_t kVersion = 0;
constexpr uint8_t kGen2 = 4;
constexpr uint8_t kCti = 10;
constexpr uint8_t kTextLog = 13;
constexpr uint8_t kTimestamp = 15;
constexpr uint8_t kParmSet = 18;
constexpr uint8_t kAlarm = 22;
constexpr uint8_t kRtc = 24;

// The seconds of kNewYear2026 as an Int32 value.
const Bytes kNewYearBytes = {0x69, 0x55, 0xB9, 0x00};

Bytes Gen2Defaults(uint8_t item10) {
    Bytes b = {0x10, 0x01, 0x20, 0x00, 0x30, 0x04, 0x40, 0x00, 0x50, 0x0F, 0x60, 0x00, 0x70, 0x03,
               0x81, 0x00, 0x00, 0x91, 0x00, 0x10, 0xA0, item10, 0xB0, 0x01, 0xC1, 0x00, 0x00,
               0xD1, 0x00, 0x00, 0xE2};
    Append(b, kNewYearBytes);
    return b;
}

using Gen2 = ReaderFamilies;

TEST_F(Gen2, AnAddFillsEveryItemAndStampsTheTimeOfTheChange) {
    Client &c = NewClient("app");
    Body add;
    add.Int8(10, 2);
    const Answer added = c.Request(kReaderId, kGen2, 1, 0, add);
    EXPECT_EQ(added.body, Result(0));
    ASSERT_EQ(added.instance, 1);
    EXPECT_EQ(c.Request(kReaderId, kGen2, 4, 1).body, Result(0, Gen2Defaults(2)));

    // A set merges; the time of the change comes from the clock.
    Body clock;
    clock.Int8(4, 2);  // February: 2026-02-01 00:00:00 on the held clock
    ASSERT_EQ(c.Request(kReaderId, kRtc, 3, 1, clock).result, 0);
    Body set;
    set.Int8(1, 2).Int16(8, 3).Int16(13, 0x0102);
    EXPECT_EQ(c.Request(kReaderId, kGen2, 3, 1, set).result, 0);
    Bytes expected = Gen2Defaults(2);
    expected[1] = 0x02;
    expected[16] = 0x03;
    expected[28] = 0x01;
    expected[29] = 0x02;
    // 2026-02-01 00:00:00 is 31 days later: 1769904000 = 0x697E9780.
    expected[31] = 0x69, expected[32] = 0x7E, expected[33] = 0x97, expected[34] = 0x80;
    EXPECT_EQ(c.Request(kReaderId, kGen2, 4, 1).body, Result(0, expected));
    // A time given in the request is kept as given.
    Body stamped;
    stamped.Int32(14, 7);
    EXPECT_EQ(c.Request(kReaderId, kGen2, 3, 1, stamped).result, 0);
    const Bytes stored = Stored(kGen2, 1);
    EXPECT_EQ(Bytes(stored.end() - 5, stored.end()), (Bytes{0xE2, 0x00, 0x00, 0x00, 0x07}));
    EXPECT_EQ(c.Request(kReaderId, kGen2, 2, 1).result, 0) << "specifications are the client's to remove";
}

TEST_F(Gen2, ItemsOfTheWrongTypeOrOutOfRangeAreRefused) {
    Client &c = NewClient("app");
    Body add;
    add.Int8(10, 0);
    ASSERT_EQ(c.Request(kReaderId, kGen2, 1, 0, add).instance, 1);
    struct Case {
        const char *what;
        Bytes body;
        int16_t result;
    };
    const Case cases[] = {
        {"session 4", {0x10, 0x04}, UEMU_RESULT_OUT_OF_RANGE},
        {"target 3", {0x20, 0x03}, UEMU_RESULT_OUT_OF_RANGE},
        {"initial Q 16", {0x30, 0x10, 0x50, 0x10}, UEMU_RESULT_OUT_OF_RANGE},
        {"minimum Q above the initial", {0x40, 0x05}, UEMU_RESULT_OUT_OF_RANGE},
        {"initial Q above the maximum", {0x50, 0x03}, UEMU_RESULT_OUT_OF_RANGE},
        {"parameter set 5 of 4", {0x81, 0x00, 0x05}, UEMU_RESULT_OUT_OF_RANGE},
        {"session as Int16", {0x11, 0x00, 0x01}, UEMU_RESULT_MALFORMED},
        {"parameter set as Int8", {0x80, 0x01}, UEMU_RESULT_MALFORMED},
        {"time as Int16", {0xE1, 0x00, 0x01}, UEMU_RESULT_MALFORMED},
        {"an unknown id as Int16", {0xF1, 0x15, 0x00, 0x01}, UEMU_RESULT_MALFORMED},
    };
    for (const Case &k : cases) {
        Body b;
        b.Raw(k.body);
        EXPECT_EQ(c.Request(kReaderId, kGen2, 3, 1, b).body, Result(k.result)) << k.what;
        Body again;
        again.Raw(k.body);
        EXPECT_EQ(c.Request(kReaderId, kGen2, 1, 0, again).body, Result(k.result)) << "add: " << k.what;
    }
    EXPECT_EQ(Stored(kGen2, 1), Gen2Defaults(0)) << "refused sets change nothing";
    EXPECT_EQ(c.Request(kReaderId, kGen2, 0).body, Result(0, {0x03, 0x04, 0x01})) << "refused adds add nothing";
    Body valid;
    valid.Int16(8, 4).Int8(4, 4).Int8(3, 4).Int8(5, 4);
    EXPECT_EQ(c.Request(kReaderId, kGen2, 3, 1, valid).result, 0) << "set 4 exists; minimum = initial = maximum";
}

TEST_F(Gen2, ParameterSetsAreAReadOnlyTableNumberedFromOne) {
    config_.presetInstances[kParmSet] = 10;
    Client &c = NewClient("app");
    const Answer sets = c.Request(kReaderId, kParmSet, 0);
    ASSERT_EQ(sets.body.size(), 4u + 10 * 3);
    EXPECT_EQ(Bytes(sets.body.end() - 3, sets.body.end()), (Bytes{0x03, 0x12, 0x0A}));
    EXPECT_EQ(c.Request(kReaderId, kParmSet, 4, 2).body,
              Result(0, {0x00, 0x02, 0x12, 0x00, 0x04, 0xE2, 0x00, 0x20, 0x02, 0x30, 0x32, 0x40, 0x01, 0x51, 0x00,
                         0xC8, 0x61, 0x00, 0xA0, 0x90, 0x01, 0xA0, 0x02, 0xB0, 0x5A, 0xC0, 0x02, 0xD0, 0x00}));
    // Set 9 repeats set 1 under its own number.
    const Bytes first = Stored(kParmSet, 1);
    Bytes ninth = Stored(kParmSet, 9);
    ASSERT_EQ(ninth.size(), first.size());
    EXPECT_EQ(ninth[1], 9);
    ninth[1] = 1;
    EXPECT_EQ(ninth, first);
    EXPECT_EQ(first.back(), 1) << "set 1 is the preferred one";

    Body b;
    b.Int8(12, 0);
    EXPECT_EQ(c.Request(kReaderId, kParmSet, 3, 1, b).result, UEMU_RESULT_REFUSED);
    Body add;
    EXPECT_EQ(c.Request(kReaderId, kParmSet, 1, 0, add).result, UEMU_RESULT_REFUSED);
    EXPECT_EQ(c.Request(kReaderId, kParmSet, 2, 1).result, UEMU_RESULT_REFUSED);
}

using SystemObjects = ReaderFamilies;

TEST_F(SystemObjects, VersionInformationComesFromTheConfiguration) {
    std::snprintf(config_.versions[0], sizeof config_.versions[0], "%s", "main 7");
    config_.versions[1][0] = '\0';
    std::memset(config_.versions[9], 'v', sizeof config_.versions[9]);  // no terminator: 99 are taken
    config_.radioModel = 0x1234;
    Client &c = NewClient("app");
    const Answer a = c.Request(kReaderId, kVersion, 4, 1);
    ASSERT_EQ(a.result, 0);
    Bytes expected = ArrayItem(0, Text("main 7"));
    Append(expected, ArrayItem(1, {}));
    for (int i = 2; i < 9; ++i) Append(expected, ArrayItem(static_cast<uint8_t>(i), Text(config_.versions[i])));
    Append(expected, ArrayItem(9, Bytes(99, 'v')));
    Append(expected, {0xA1, 0x12, 0x34});
    EXPECT_EQ(a.body, Result(0, expected));

    Body set;
    set.Text(0, "other");
    EXPECT_EQ(c.Request(kReaderId, kVersion, 3, 1, set).result, UEMU_RESULT_REFUSED);
    EXPECT_EQ(c.Request(kReaderId, kVersion, 2, 1).result, UEMU_RESULT_REFUSED);
}

TEST_F(SystemObjects, TimestampIsTheClockAndTheReadersMilliseconds) {
    Client &c = NewClient("app");
    const uint32_t before = uemu_Now(Reader());
    const Answer a = c.Request(kReaderId, kTimestamp, 4, 1);
    const uint32_t after = uemu_Now(Reader());
    ASSERT_EQ(a.body.size(), 4u + 5 + 5);
    EXPECT_EQ(Bytes(a.body.begin() + 4, a.body.begin() + 9), (Bytes{0x02, 0x69, 0x55, 0xB9, 0x00}));
    EXPECT_EQ(a.body[9], 0x12);
    const uint32_t ms = uint32_t{a.body[10]} << 24 | uint32_t{a.body[11]} << 16 | uint32_t{a.body[12]} << 8 | a.body[13];
    EXPECT_GE(ms, before);
    EXPECT_LE(ms, after);
    Body set;
    set.Int32(0, 1);
    EXPECT_EQ(c.Request(kReaderId, kTimestamp, 3, 1, set).result, UEMU_RESULT_REFUSED);
}

TEST_F(SystemObjects, ClockIsSetFieldByFieldAndChecksTheDate) {
    Client &c = NewClient("app");
    ASSERT_EQ(c.Enable(kReaderId, kTextLog, 0, 1, kAllEvents), 0);
    // 2026-01-01 00:00:00, a Thursday (4).
    EXPECT_EQ(c.Request(kReaderId, kRtc, 4, 1).body,
              Result(0, {0x00, 0, 0x10, 0, 0x20, 0, 0x30, 1, 0x40, 1, 0x50, 26, 0x60, 4}));

    // 2024-02-29 23:59:58; the week day given is ignored: it follows from the date.
    Body set;
    set.Int8(0, 58).Int8(1, 59).Int8(2, 23).Int8(3, 29).Int8(4, 2).Int8(5, 24).Int8(6, 0);
    EXPECT_EQ(c.Request(kReaderId, kRtc, 3, 1, set).body, Result(0));
    const Bytes leapDay = {0x00, 58, 0x10, 59, 0x20, 23, 0x30, 29, 0x40, 2, 0x50, 24, 0x60, 4};
    EXPECT_EQ(c.Request(kReaderId, kRtc, 4, 1).body, Result(0, leapDay));
    const std::optional<Received> e = c.NextEvent();
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(AfterTimestamp(*e), ArrayItem(0, Text("clock set to 2024-02-29 23:59:58")));

    struct Case {
        const char *what;
        Bytes body;
        int16_t result;
    };
    const Case refused[] = {
        {"second 60", {0x00, 60}, UEMU_RESULT_OUT_OF_RANGE},
        {"minute 60", {0x10, 60}, UEMU_RESULT_OUT_OF_RANGE},
        {"hour 24", {0x20, 24}, UEMU_RESULT_OUT_OF_RANGE},
        {"day 0", {0x30, 0}, UEMU_RESULT_OUT_OF_RANGE},
        {"day 30 of February 2024", {0x30, 30}, UEMU_RESULT_OUT_OF_RANGE},
        {"February 29 of 2025", {0x50, 25}, UEMU_RESULT_OUT_OF_RANGE},
        {"April 31", {0x40, 4, 0x30, 31}, UEMU_RESULT_OUT_OF_RANGE},
        {"month 0", {0x40, 0}, UEMU_RESULT_OUT_OF_RANGE},
        {"month 13", {0x40, 13}, UEMU_RESULT_OUT_OF_RANGE},
        {"year 100", {0x50, 100}, UEMU_RESULT_OUT_OF_RANGE},
        {"week day 7", {0x60, 7}, UEMU_RESULT_OUT_OF_RANGE},
        {"a field as Int16", {0x01, 0x00, 0x05}, UEMU_RESULT_MALFORMED},
        {"item 7", {0x70, 0x01}, UEMU_RESULT_MALFORMED},
    };
    for (const Case &k : refused) {
        Body b;
        b.Raw(k.body);
        EXPECT_EQ(c.Request(kReaderId, kRtc, 3, 1, b).body, Result(k.result)) << k.what;
    }
    EXPECT_EQ(c.Request(kReaderId, kRtc, 4, 1).body, Result(0, leapDay)) << "refused sets change nothing";
    // A day and a month that are valid together, given in one request.
    Body together;
    together.Int8(3, 31).Int8(4, 3);
    EXPECT_EQ(c.Request(kReaderId, kRtc, 3, 1, together).result, 0);
    Body empty;
    EXPECT_EQ(c.Request(kReaderId, kRtc, 3, 1, empty).result, 0);
    const std::optional<Received> second = c.NextEvent();
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(AfterTimestamp(*second), ArrayItem(0, Text("clock set to 2024-03-31 23:59:58")));
    c.ExpectNoEvent("an empty set sets nothing");
}

TEST_F(SystemObjects, AClockThatIsNotHeldRuns) {
    config_.rtcHeld = 0;
    Client &c = NewClient("app");
    Body set;
    set.Int8(0, 0).Int8(1, 0).Int8(2, 12).Int8(3, 31).Int8(4, 12).Int8(5, 99);
    ASSERT_EQ(c.Request(kReaderId, kRtc, 3, 1, set).result, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    const Bytes now = c.Request(kReaderId, kRtc, 4, 1).body;
    ASSERT_EQ(now.size(), 4u + 14);
    EXPECT_GE(now[5], 1) << "at least one second later";
    EXPECT_EQ(Bytes(now.begin() + 6, now.end()),
              (Bytes{0x10, 0, 0x20, 12, 0x30, 31, 0x40, 12, 0x50, 99, 0x60, 4}))
        << "2099-12-31 is a Thursday";
}

using Cti = ReaderFamilies;

TEST_F(Cti, RequestsAnswerTheirStatusAndData) {
    Client &c = NewClient("app");
    Body add;
    const Answer added = c.Request(kReaderId, kCti, 1, 0, add);
    ASSERT_EQ(added.result, 0);
    ASSERT_EQ(added.instance, 1);
    auto request = [&](uint8_t code, const Bytes &data) {
        Body b;
        b.Int8(0, code).Raw(ArrayItem(1, data));
        return c.Request(kReaderId, kCti, 100, 1, b);
    };
    auto answer = [](uint16_t status, const Bytes &data) {
        Bytes b = {0x21, static_cast<uint8_t>(status >> 8), static_cast<uint8_t>(status)};
        Append(b, ArrayItem(3, data));
        return Result(0, b);
    };
    const Answer echo = request(UEMU_CTI_ECHO, Text("abc"));
    EXPECT_EQ(echo.body, answer(UEMU_CTI_DONE, Text("abc")));
    EXPECT_EQ(echo.instance, 1);
    EXPECT_EQ(request(UEMU_CTI_ECHO, {}).body, answer(UEMU_CTI_DONE, {}));
    EXPECT_EQ(request(UEMU_CTI_REQUEST_COUNT, {}).body, answer(UEMU_CTI_DONE, {0, 0, 0, 3}));
    EXPECT_EQ(request(UEMU_CTI_FILL, {0x00, 0x05, 0xFE}).body, answer(UEMU_CTI_DONE, {0xFE, 0xFF, 0x00, 0x01, 0x02}));
    EXPECT_EQ(request(UEMU_CTI_FILL, {0x00, 0x02}).body, answer(UEMU_CTI_DONE, {0x00, 0x01}));
    EXPECT_EQ(request(UEMU_CTI_FILL, {0x07}).body, answer(UEMU_CTI_BAD_DATA, {}));
    const Answer largest = request(UEMU_CTI_FILL, {0x07, 0xEE});  // 2030 bytes
    EXPECT_EQ(largest.body.size(), 2040u);
    EXPECT_EQ(request(UEMU_CTI_FILL, {0x07, 0xEF}).body, answer(UEMU_CTI_BAD_DATA, {})) << "2031: past a block";
    EXPECT_EQ(request(9, {1}).body, answer(UEMU_CTI_UNKNOWN_REQUEST, {}));

    // The reader's state: clock, radio idle on channel 1, GPI 1 and GPO 2 high.
    ASSERT_EQ(uemu_SetGpi(Reader(), 1, 1), UEMU_OK);
    Body high;
    high.Int8(0, 1);
    ASSERT_EQ(c.Request(kIoId, 1, 3, 2, high).result, 0);
    const uint32_t before = uemu_Now(Reader());
    const Answer status = request(UEMU_CTI_READER_STATUS, {});
    ASSERT_EQ(status.body.size(), 4u + 3 + 3 + 12);
    EXPECT_EQ(Bytes(status.body.begin(), status.body.begin() + 10), (Bytes{0xF1, 0xFF, 0, 0, 0x21, 0, 0, 0x34, 0, 12}));
    const Bytes record(status.body.begin() + 10, status.body.end());
    const uint32_t ms = uint32_t{record[0]} << 24 | uint32_t{record[1]} << 16 | uint32_t{record[2]} << 8 | record[3];
    EXPECT_GE(ms, before);
    EXPECT_EQ(Bytes(record.begin() + 4, record.end()), (Bytes{0x69, 0x55, 0xB9, 0x00, 0, 1, 0x01, 0x02}));

    struct Case {
        const char *what;
        uint8_t command, instance;
        Bytes body;
        int16_t result;
    };
    const Case refused[] = {
        {"no request code", 100, 1, {0x14, 0x00, 0x00}, UEMU_RESULT_MALFORMED},
        {"request code as Int16", 100, 1, {0x01, 0x00, 0x00}, UEMU_RESULT_MALFORMED},
        {"data not a byte array", 100, 1, {0x00, 0x00, 0x10, 0x01}, UEMU_RESULT_MALFORMED},
        {"an unknown object", 100, 7, {0x00, 0x00}, UEMU_RESULT_UNKNOWN_INSTANCE},
        {"command 101", 101, 1, {0x00, 0x00}, UEMU_RESULT_UNKNOWN_COMMAND},
    };
    for (const Case &k : refused) {
        Body b;
        b.Raw(k.body);
        EXPECT_EQ(c.Request(kReaderId, kCti, k.command, k.instance, b).body, Result(k.result)) << k.what;
    }
    // Each object counts its own requests.
    Body second;
    ASSERT_EQ(c.Request(kReaderId, kCti, 1, 0, second).instance, 2);
    Body count;
    count.Int8(0, UEMU_CTI_REQUEST_COUNT);
    EXPECT_EQ(c.Request(kReaderId, kCti, 100, 2, count).body, answer(UEMU_CTI_DONE, {0, 0, 0, 1}));
}

using Alarms = ReaderFamilies;

TEST_F(Alarms, AnAlarmReachesEverySpecificationWatchingItsPair) {
    Client &c = NewClient("app");
    ASSERT_EQ(c.Enable(kReaderId, kAlarm, 0, 1, kAllEvents), 0);
    EXPECT_EQ(uemu_RaiseAlarm(Reader(), 1), 0) << "no specification yet";
    Body none;
    EXPECT_EQ(c.Request(kReaderId, kAlarm, 1, 0, none).result, UEMU_RESULT_MALFORMED);
    Body wrong;
    wrong.Int8(0, 17);
    EXPECT_EQ(c.Request(kReaderId, kAlarm, 1, 0, wrong).result, UEMU_RESULT_MALFORMED);
    for (const Bytes &watched : {Bytes{0x03, 0x11, 0x02}, Bytes{0x03, 0x11, 0x00}, Bytes{0x03, 0x08, 0x01}}) {
        Body b;
        b.Raw(watched);
        ASSERT_EQ(c.Request(kReaderId, kAlarm, 1, 0, b).result, 0);
    }
    EXPECT_EQ(c.Request(kReaderId, kAlarm, 4, 1).body, Result(0, {0x03, 0x11, 0x02}));

    EXPECT_EQ(uemu_RaiseAlarm(Reader(), 2), 3) << "pair 2, every pair, anything else";
    for (uint8_t instance : {1, 2, 3}) {
        const std::optional<Received> e = c.NextEvent();
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(e->header, (Bytes{c.id, kReaderId, 0x80, 0x00, kAlarm, instance, 0x00, 0x09}));
        EXPECT_EQ(AfterTimestamp(*e), (Bytes{0x13, 0x11, 0x02}));
    }
    EXPECT_EQ(uemu_RaiseAlarm(Reader(), 5), 2) << "not the one watching pair 2";
    for (uint8_t instance : {2, 3}) {
        const std::optional<Received> e = c.NextEvent();
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(EventInstance(*e), instance);
        EXPECT_EQ(AfterTimestamp(*e), (Bytes{0x13, 0x11, 0x05}));
    }
    c.ExpectNoEvent("two alarms for pair 5");
    EXPECT_EQ(uemu_RaiseAlarm(nullptr, 1), UEMU_ERR_INVALID);
}

using TextLog = ReaderFamilies;

TEST_F(TextLog, LinesGoToTheProcessorsThatEnabledThem) {
    Client &a = NewClient("a");
    Client &b = NewClient("b");
    ASSERT_TRUE(a.NextEvent().has_value());  // b was added
    ASSERT_EQ(a.Enable(kReaderId, kTextLog, 0, 1, kAllEvents), 0);
    EXPECT_EQ(uemu_Log(Reader(), "hello"), 1);
    std::optional<Received> e = a.NextEvent();
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->header, (Bytes{a.id, kReaderId, 0x80, 0x00, kTextLog, 0x00, 0x00, 0x0E}));
    EXPECT_EQ(AfterTimestamp(*e), (Bytes{0x04, 0x00, 0x05, 'h', 'e', 'l', 'l', 'o'}));
    b.ExpectNoEvent("b did not enable the log");

    // Lines are cut at 128 bytes, what a client takes.
    const std::string longLine(200, 'x');
    EXPECT_EQ(uemu_Log(Reader(), longLine.c_str()), 1);
    e = a.NextEvent();
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(AfterTimestamp(*e), ArrayItem(0, Bytes(128, 'x')));
    EXPECT_EQ(uemu_Log(Reader(), ""), 1);
    e = a.NextEvent();
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(AfterTimestamp(*e), (Bytes{0x04, 0x00, 0x00}));

    ASSERT_EQ(a.Enable(kReaderId, kTextLog, 0, 1, 0), 0);
    EXPECT_EQ(uemu_Log(Reader(), "nobody"), 0);
    EXPECT_EQ(uemu_Log(Reader(), nullptr), UEMU_ERR_INVALID);
    Body add;
    EXPECT_EQ(a.Request(kReaderId, kTextLog, 1, 0, add).result, UEMU_RESULT_REFUSED);
}

}  // namespace
