// GPO and GPI lines of the emulated reader as a raw client sees them: states
// kept and read back, the write-all command checked whole, input levels
// against thresholds, patterns, and the line events each change raises.
#include "emulator_reader_support.h"

namespace {

using namespace ulmot::test;

constexpr uint8_t kGpo = 1;
constexpr uint8_t kGpi = 2;

using Lines = ReaderFamilies;

// A line event of `type`: header from the io processor, body item 0.
void ExpectLineEvent(Client &c, uint8_t type, uint8_t line, uint8_t state, const char *why) {
    const std::optional<Received> e = c.NextEvent();
    ASSERT_TRUE(e.has_value()) << why;
    EXPECT_EQ(e->header, (Bytes{c.id, kIoId, 0x80, 0x00, type, line, 0x00, 0x08})) << why;
    EXPECT_EQ(AfterTimestamp(*e), (Bytes{0x00, state})) << why;
}

TEST_F(Lines, GpoStatesAreSetOneByOneAndEachChangeRaisesAnEvent) {
    Client &c = NewClient("app");
    ASSERT_EQ(c.Enable(kIoId, kGpo, 0, 1, kAllEvents), 0);
    EXPECT_EQ(c.Request(kIoId, kGpo, 4, 2).body, Result(0, {0x00, 0x00})) << "lines start low";

    Body high;
    high.Int8(0, 1);
    EXPECT_EQ(c.Request(kIoId, kGpo, 3, 2, high).body, Result(0));
    ExpectLineEvent(c, kGpo, 2, 1, "line 2 went high");
    EXPECT_EQ(c.Request(kIoId, kGpo, 4, 2).body, Result(0, {0x00, 0x01}));
    Body again;
    again.Int8(0, 1);
    EXPECT_EQ(c.Request(kIoId, kGpo, 3, 2, again).result, 0);
    c.ExpectNoEvent("the same state again is no change");

    struct Case {
        const char *what;
        Bytes body;
        int16_t result;
    };
    const Case refused[] = {
        {"state 2", {0x00, 0x02}, UEMU_RESULT_OUT_OF_RANGE},
        {"state as Int16", {0x01, 0x00, 0x00}, UEMU_RESULT_MALFORMED},
        {"a valid state, then an invalid one", {0x00, 0x00, 0x00, 0x05}, UEMU_RESULT_OUT_OF_RANGE},
    };
    for (const Case &k : refused) {
        Body b;
        b.Raw(k.body);
        EXPECT_EQ(c.Request(kIoId, kGpo, 3, 2, b).body, Result(k.result)) << k.what;
    }
    EXPECT_EQ(Stored(kGpo, 2), (Bytes{0x00, 0x01})) << "refused sets change nothing";
    c.ExpectNoEvent("refused sets raise nothing");

    Body add;
    EXPECT_EQ(c.Request(kIoId, kGpo, 1, 0, add).result, UEMU_RESULT_REFUSED) << "lines are the reader's";
    EXPECT_EQ(c.Request(kIoId, kGpo, 2, 1).result, UEMU_RESULT_REFUSED);
}

TEST_F(Lines, WriteAllTakesLineStatePairsInOrderAndIsCheckedWhole) {
    Client &c = NewClient("app");
    ASSERT_EQ(c.Enable(kIoId, kGpo, 0, 1, kAllEvents), 0);
    struct Case {
        const char *what;
        Bytes body;
        int16_t result;
    };
    const Case refused[] = {
        {"no item 1", {}, UEMU_RESULT_MALFORMED},
        {"item 1 not a byte array", {0x10, 0x01}, UEMU_RESULT_MALFORMED},
        {"odd length", {0x14, 0x00, 0x03, 0x01, 0x01, 0x02}, UEMU_RESULT_MALFORMED},
        {"line 9 after a valid pair", {0x14, 0x00, 0x04, 0x01, 0x01, 0x09, 0x01}, UEMU_RESULT_UNKNOWN_INSTANCE},
        {"line 0", {0x14, 0x00, 0x02, 0x00, 0x01}, UEMU_RESULT_UNKNOWN_INSTANCE},
        {"state 3", {0x14, 0x00, 0x04, 0x01, 0x01, 0x02, 0x03}, UEMU_RESULT_OUT_OF_RANGE},
    };
    for (const Case &k : refused) {
        Body b;
        if (!k.body.empty()) b.Raw(k.body);
        EXPECT_EQ(c.Request(kIoId, kGpo, 100, 0, b).body, Result(k.result)) << k.what;
    }
    for (uint8_t line = 1; line <= 4; ++line) EXPECT_EQ(Stored(kGpo, line), (Bytes{0x00, 0x00})) << int(line);
    c.ExpectNoEvent("nothing was written");

    // Lines 1, 3 and 4 high, 2 low (no change); 1 again low at the end.
    Body all;
    all.Array(1, {1, 1, 2, 0, 3, 1, 4, 1, 1, 0});
    EXPECT_EQ(c.Request(kIoId, kGpo, 100, 0, all).body, Result(0));
    ExpectLineEvent(c, kGpo, 1, 1, "first pair");
    ExpectLineEvent(c, kGpo, 3, 1, "third pair");
    ExpectLineEvent(c, kGpo, 4, 1, "fourth pair");
    ExpectLineEvent(c, kGpo, 1, 0, "the later pair of line 1");
    c.ExpectNoEvent("line 2 did not change");
    const Bytes expected[] = {{0x00, 0x00}, {0x00, 0x00}, {0x00, 0x01}, {0x00, 0x01}};
    for (uint8_t line = 1; line <= 4; ++line) {
        EXPECT_EQ(c.Request(kIoId, kGpo, 4, line).body, Result(0, expected[line - 1])) << int(line);
    }
    Body empty;
    empty.Raw({0x14, 0x00, 0x00});
    EXPECT_EQ(c.Request(kIoId, kGpo, 100, 0, empty).result, 0) << "no outputs is no change";
    EXPECT_EQ(c.Request(kIoId, kGpo, 101, 0).result, UEMU_RESULT_UNKNOWN_COMMAND);
}

TEST_F(Lines, GpiStateFollowsTheLevelAgainstTheThreshold) {
    Client &c = NewClient("app");
    ASSERT_EQ(c.Enable(kIoId, kGpi, 0, 1, kAllEvents), 0);
    EXPECT_EQ(c.Request(kIoId, kGpi, 4, 1).body, Result(0, {0x00, 0x00, 0x10, 0x01})) << "low, threshold 1";

    EXPECT_EQ(uemu_SetGpi(Reader(), 1, 1), UEMU_OK);
    ExpectLineEvent(c, kGpi, 1, 1, "level 1 reaches threshold 1");
    // Raising the threshold above the level takes the line low.
    Body threshold;
    threshold.Int8(1, 128);
    EXPECT_EQ(c.Request(kIoId, kGpi, 3, 1, threshold).result, 0);
    ExpectLineEvent(c, kGpi, 1, 0, "level 1 is under threshold 128");
    EXPECT_EQ(c.Request(kIoId, kGpi, 4, 1).body, Result(0, {0x00, 0x00, 0x10, 0x80}));

    EXPECT_EQ(uemu_SetGpi(Reader(), 1, 127), UEMU_OK);
    EXPECT_EQ(uemu_SetGpi(Reader(), 1, 128), UEMU_OK);
    ExpectLineEvent(c, kGpi, 1, 1, "128 reaches 128, 127 did not");
    EXPECT_EQ(uemu_SetGpi(Reader(), 1, 255), UEMU_OK);
    c.ExpectNoEvent("a higher level is no change of state");

    // A client writes the state as a level: 0 for 0, 255 for 1.
    Body low;
    low.Int8(0, 0);
    EXPECT_EQ(c.Request(kIoId, kGpi, 3, 1, low).result, 0);
    ExpectLineEvent(c, kGpi, 1, 0, "written low");
    Body bad;
    bad.Int8(0, 2);
    EXPECT_EQ(c.Request(kIoId, kGpi, 3, 1, bad).result, UEMU_RESULT_OUT_OF_RANGE);
    Body wide;
    wide.Int16(1, 5);
    EXPECT_EQ(c.Request(kIoId, kGpi, 3, 1, wide).result, UEMU_RESULT_MALFORMED);
    EXPECT_EQ(Stored(kGpi, 1), (Bytes{0x00, 0x00, 0x10, 0x80}));

    // Threshold 0: every level reaches it.
    Body zero;
    zero.Int8(1, 0);
    EXPECT_EQ(c.Request(kIoId, kGpi, 3, 1, zero).result, 0);
    ExpectLineEvent(c, kGpi, 1, 1, "threshold 0");

    EXPECT_EQ(uemu_SetGpi(Reader(), 5, 1), UEMU_ERR_NOT_FOUND);
    EXPECT_EQ(uemu_SetGpi(Reader(), 0, 1), UEMU_ERR_NOT_FOUND);
    EXPECT_EQ(uemu_SetGpi(nullptr, 1, 1), UEMU_ERR_INVALID);
}

TEST_F(Lines, GpiEventsGoOnlyWhereALineIsEnabled) {
    config_.gpiThreshold = 10;
    Client &a = NewClient("a");
    Client &b = NewClient("b");
    ASSERT_TRUE(a.NextEvent().has_value());  // b was added
    ASSERT_EQ(a.Enable(kIoId, kGpi, 2, 1, kAllEvents), 0);
    ASSERT_EQ(b.Enable(kIoId, kGpi, 0, 1, kAllEvents), 0);
    ASSERT_EQ(b.Enable(kIoId, kGpi, 3, 1, 0), 0);
    EXPECT_EQ(Stored(kGpi, 4), (Bytes{0x00, 0x00, 0x10, 0x0A})) << "the configured threshold";

    for (uint8_t line = 1; line <= 4; ++line) ASSERT_EQ(uemu_SetGpi(Reader(), line, 10), UEMU_OK);
    ExpectLineEvent(a, kGpi, 2, 1, "a enabled line 2 only");
    a.ExpectNoEvent("a: no other line");
    ExpectLineEvent(b, kGpi, 1, 1, "b: every line...");
    ExpectLineEvent(b, kGpi, 2, 1, "b: every line...");
    ExpectLineEvent(b, kGpi, 4, 1, "...but line 3");
    b.ExpectNoEvent("b disabled line 3");
}

TEST_F(Lines, GpiPatternPlaysItsLevelsUntilItIsEnded) {
    Client &c = NewClient("app");
    ASSERT_EQ(c.Enable(kIoId, kGpi, 3, 1, kAllEvents), 0);
    const uint8_t levels[] = {1, 0, 0};
    ASSERT_EQ(uemu_SetGpiPattern(Reader(), 3, levels, 3, 10), UEMU_OK);
    // The first level at once, then one every 10 ms: high, low, (low), high...
    uint32_t last = 0;
    for (int i = 0; i < 6; ++i) {
        const std::optional<Received> e = c.NextEvent();
        ASSERT_TRUE(e.has_value()) << "event " << i;
        EXPECT_EQ(AfterTimestamp(*e), (Bytes{0x00, static_cast<uint8_t>(i % 2 == 0 ? 1 : 0)})) << "event " << i;
        EXPECT_GE(e->timestamp, last) << "event " << i;
        last = e->timestamp;
    }
    ASSERT_EQ(uemu_SetGpiPattern(Reader(), 3, nullptr, 0, 0), UEMU_OK);
    Settle(c, "the pattern ended");

    // uemu_SetGpi ends a pattern as well.
    ASSERT_EQ(uemu_SetGpiPattern(Reader(), 3, levels, 2, 10), UEMU_OK);
    ASSERT_TRUE(c.NextEvent().has_value());
    ASSERT_EQ(uemu_SetGpi(Reader(), 3, 200), UEMU_OK);
    Settle(c, "uemu_SetGpi ended the pattern");
    EXPECT_EQ(Stored(kGpi, 3), (Bytes{0x00, 0x01, 0x10, 0x01})) << "the level set last holds";

    EXPECT_EQ(uemu_SetGpiPattern(Reader(), 3, levels, 3, 0), UEMU_ERR_INVALID);
    EXPECT_EQ(uemu_SetGpiPattern(Reader(), 3, nullptr, 3, 10), UEMU_ERR_INVALID);
    EXPECT_EQ(uemu_SetGpiPattern(Reader(), 9, levels, 3, 10), UEMU_ERR_NOT_FOUND);
}

}  // namespace
