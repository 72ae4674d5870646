// The emulated radio, reset specifications and RF survey specifications as
// a raw client sees them: the radio's properties as literal bytes, country
// code selection, hops and the duty cycle while it transmits, temperature,
// resets and their done events, survey measurements.
#include <algorithm>

#include "emulator/reader.h"
#include "emulator/reader_families.h"
#include "emulator_reader_support.h"

namespace {

using namespace ulmot::test;

constexpr uint8_t kRadio = 12;
constexpr uint8_t kTextLog = 13;
constexpr uint8_t kReset = 9;
constexpr uint8_t kSurvey = 19;
constexpr uint8_t kGpo = 1;

using Radio = ReaderFamilies;

// The three channels of the test plan, as item 8 carries them.
const Bytes kTestPlan = {0x00, 0x0D, 0xC6, 0x5E, 0x00, 0x0D, 0xC8, 0x52, 0x00, 0x0D, 0xCA, 0x46};

bool Contains(const Bytes &all, const Bytes &part) {
    return std::search(all.begin(), all.end(), part.begin(), part.end()) != all.end();
}

Bytes RadioItems(const Bytes &channel, const Bytes &plan, const Bytes &code, const std::string &text,
                 uint8_t hopping) {
    Bytes b;
    Append(b, channel);                                  // 0 channel
    Append(b, {0x12, 0x00, 0x00, 0x00, 0x00});           // 1 cycle time left (no duty cycle)
    Append(b, {0x20, 0x00});                             // 2 idle
    Append(b, {0x30, 0x00});                             // 3 normal temperature
    Append(b, {0x41, 0x01, 0x5E});                       // 4 35.0 degrees
    Append(b, {0x70, hopping});                          // 7 hopping
    Append(b, ArrayItem(8, plan));                       // 8 channel plan, kHz
    Append(b, ArrayItem(9, Text("uemu-radio")));         // 9 module
    Append(b, {0xA2, 0x00, 0x00, 0x0B, 0xB8});           // 10 maximum power, 30.00 dBm
    Append(b, {0xB2, 0x00, 0x00, 0x03, 0xE8});           // 11 minimum power, 10.00 dBm
    Append(b, {0xC0, 0x04});                             // 12 antenna ports
    Append(b, ArrayItem(13, Text("R-000001")));          // 13 serial
    Append(b, {0xF1, 0x10});                             // 16 country code
    Append(b, code);
    Append(b, {0xF4, 0x11, 0x00, static_cast<uint8_t>(text.size())});  // 17 its text
    Append(b, Text(text));
    return b;
}

TEST_F(Radio, PropertiesDescribeTheRadioAndTheCountryCodeInForce) {
    Client &c = NewClient("app");
    EXPECT_EQ(c.Request(kReaderId, kRadio, 4, 1).body,
              Result(0, RadioItems({0x00, 0x01}, kTestPlan, {0x03, 0x48}, "US test plan", 1)));
}

TEST_F(Radio, SelectingACountryCodeChangesThePlanAndIsLogged) {
    Client &c = NewClient("app");
    ASSERT_EQ(c.Enable(kReaderId, kRadio, 0, kAllEvents, kAllEvents), 0);
    ASSERT_EQ(c.Enable(kReaderId, kTextLog, 0, 1, kAllEvents), 0);

    Body one;
    one.Int16(16, 1);
    EXPECT_EQ(c.Request(kReaderId, kRadio, 3, 1, one).body, Result(0));
    EXPECT_EQ(c.Request(kReaderId, kRadio, 4, 1).body,
              Result(0, RadioItems({0x00, 0x01}, {0x00, 0x0D, 0x35, 0xA4}, {0x01, 0x14}, "EU one channel", 0)));
    const std::string selected = "radio: country code 276 selected (EU one channel)";
    std::optional<Received> e = c.NextEvent();
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->header, (Bytes{c.id, kReaderId, 0x80, 0x00, kTextLog, 0x00, 0x00,
                                static_cast<uint8_t>(6 + 3 + selected.size())}));
    EXPECT_EQ(AfterTimestamp(*e), ArrayItem(0, Text(selected)));
    c.ExpectNoEvent("channel 1 of either plan: no channel change");

    // A selector past the list: no code, no text, no channels.
    Body past;
    past.Int16(16, 2);
    EXPECT_EQ(c.Request(kReaderId, kRadio, 3, 1, past).body, Result(0));
    EXPECT_EQ(c.Request(kReaderId, kRadio, 4, 1).body, Result(0, RadioItems({0x00, 0x00}, {}, {0x00, 0x00}, "", 0)));
    e = c.NextEvent();
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->header[ULMOT_HEADER_OBJECT_TYPE], kRadio);
    EXPECT_EQ(EventType(*e), 0) << "channel change";
    EXPECT_EQ(AfterTimestamp(*e), (Bytes{0x00, 0x00}));
    e = c.NextEvent();
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(AfterTimestamp(*e), ArrayItem(0, Text("radio: selector 2 names no country code")));

    Body narrow;
    narrow.Int8(16, 0);
    EXPECT_EQ(c.Request(kReaderId, kRadio, 3, 1, narrow).result, UEMU_RESULT_MALFORMED);
    // Other items are kept as given, so a test may plant values, until the
    // radio changes them.
    Body planted;
    planted.Int8(7, 9).Text(20, "x");
    EXPECT_EQ(c.Request(kReaderId, kRadio, 3, 1, planted).result, 0);
    EXPECT_TRUE(Contains(Stored(kRadio, 1), {0x70, 0x09}));
    EXPECT_TRUE(Contains(Stored(kRadio, 1), {0xF4, 0x14, 0x00, 0x01, 'x'}));
    Body back;
    back.Int16(16, 0);
    EXPECT_EQ(c.Request(kReaderId, kRadio, 3, 1, back).result, 0);
    EXPECT_TRUE(Contains(Stored(kRadio, 1), {0x70, 0x01})) << "hopping again: three channels";
    EXPECT_TRUE(Contains(Stored(kRadio, 1), {0xF4, 0x14, 0x00, 0x01, 'x'}));
    EXPECT_EQ(c.Request(kReaderId, kRadio, 1, 0).result, UEMU_RESULT_REFUSED);
}

TEST_F(Radio, TransmittingHopsThroughThePlanAndGoesBackToIdle) {
    config_.hopIntervalMs = 10;
    Client &c = NewClient("app");
    ASSERT_EQ(c.Enable(kReaderId, kRadio, 0, kAllEvents, kAllEvents), 0);
    ASSERT_EQ(uemu_RadioTransmit(Reader(), 1), UEMU_OK);
    std::optional<Received> e = c.NextEvent();
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->header, (Bytes{c.id, kReaderId, 0x80, 0x02, kRadio, 0x01, 0x00, 0x08}));
    EXPECT_EQ(AfterTimestamp(*e), (Bytes{0x20, UEMU_RADIO_TRANSMITTING}));
    // Channels 2, 3, 1, 2 of the three-channel plan, one per hop.
    for (uint8_t channel : {2, 3, 1, 2}) {
        e = c.NextEvent();
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(EventType(*e), 0);
        EXPECT_EQ(AfterTimestamp(*e), (Bytes{0x00, channel}));
    }
    ASSERT_EQ(uemu_RadioTransmit(Reader(), 0), UEMU_OK);
    e = NextOf(c, kRadio, 2);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(AfterTimestamp(*e), (Bytes{0x20, UEMU_RADIO_IDLE}));
    Settle(c, "an idle radio does not hop");
    const Bytes stored = Stored(kRadio, 1);
    EXPECT_EQ(Bytes(stored.begin() + 7, stored.begin() + 9), (Bytes{0x20, 0x00})) << "item 2 reads idle";
    EXPECT_EQ(uemu_RadioTransmit(nullptr, 1), UEMU_ERR_INVALID);
}

// What the schedule family calls when a run starts and ends.
void ScheduleRunning(uemu_Reader *reader, uint8_t schedule, bool running) {
    reader->reader.WithStore([&](uemu::Context &context) { uemu::ScheduleRunning(context, schedule, running); });
}

TEST_F(Radio, RunningSchedulesMakeItTransmitAndAreLogged) {
    config_.hopIntervalMs = 10;
    Client &c = NewClient("app");
    ASSERT_EQ(c.Enable(kReaderId, kRadio, 0, kAllEvents, 0x4), 0);  // radio state
    ASSERT_EQ(c.Enable(kReaderId, kTextLog, 0, 1, kAllEvents), 0);
    auto expectLine = [&](const std::string &line) {
        const std::optional<Received> e = NextOf(c, kTextLog, 0);
        ASSERT_TRUE(e.has_value()) << line;
        EXPECT_EQ(AfterTimestamp(*e), ArrayItem(0, Text(line)));
    };
    auto expectState = [&](uint8_t state) {
        const std::optional<Received> e = NextOf(c, kRadio, 2);
        ASSERT_TRUE(e.has_value()) << int(state);
        EXPECT_EQ(AfterTimestamp(*e), (Bytes{0x20, state}));
    };
    ScheduleRunning(Reader(), 3, true);
    // The log line comes from the caller's thread, the radio's state from the
    // radio's: either may come first.
    std::vector<Bytes> first;
    for (int i = 0; i < 2; ++i) {
        const std::optional<Received> e = c.NextEvent();
        ASSERT_TRUE(e.has_value()) << i;
        first.push_back(AfterTimestamp(*e));
    }
    std::sort(first.begin(), first.end());
    EXPECT_EQ(first, (std::vector<Bytes>{ArrayItem(0, Text("schedule 3 started")), {0x20, UEMU_RADIO_TRANSMITTING}}));
    ScheduleRunning(Reader(), 3, true);
    ScheduleRunning(Reader(), 4, true);
    expectLine("schedule 4 started");
    c.ExpectNoEvent("a schedule already running is not logged again; the radio transmits on");
    ScheduleRunning(Reader(), 3, false);
    expectLine("schedule 3 stopped");
    c.ExpectNoEvent("schedule 4 still runs");
    ASSERT_EQ(uemu_RadioTransmit(Reader(), 1), UEMU_OK);
    ScheduleRunning(Reader(), 4, false);
    expectLine("schedule 4 stopped");
    c.ExpectNoEvent("uemu_RadioTransmit still asks the radio to transmit");
    ASSERT_EQ(uemu_RadioTransmit(Reader(), 0), UEMU_OK);
    expectState(UEMU_RADIO_IDLE);
    ScheduleRunning(Reader(), 4, false);
    c.ExpectNoEvent("a schedule that is not running is not logged");
}

TEST_F(Radio, DutyCycleAlternatesTransmitAndPauseWithTheTimeLeft) {
    config_.hopIntervalMs = 10;
    config_.dutyCycleOnMs = 40;
    config_.dutyCycleOffMs = 30;
    Client &c = NewClient("app");
    ASSERT_EQ(c.Enable(kReaderId, kRadio, 0, kAllEvents, 0x6), 0);  // cycle time left, radio state
    const Bytes before = Stored(kRadio, 1);
    EXPECT_EQ(Bytes(before.begin() + 2, before.begin() + 7), (Bytes{0x12, 0x00, 0x00, 0x00, 0x28}))
        << "a whole cycle left";
    ASSERT_EQ(uemu_RadioTransmit(Reader(), 1), UEMU_OK);
    // Each start (state 1) reports the whole on-time, each pause (state 2)
    // 0 left; in between the time left only goes down.
    std::vector<std::pair<uint8_t, uint32_t>> seen;  // (event type, value)
    int pauses = 0;
    while (pauses < 2) {
        const std::optional<Received> e = c.NextEvent();
        ASSERT_TRUE(e.has_value()) << "after " << seen.size() << " events";
        const Bytes v = AfterTimestamp(*e);
        if (EventType(*e) == 2) {
            ASSERT_EQ(v.size(), 2u);
            seen.emplace_back(2, v[1]);
            if (v[1] == UEMU_RADIO_PAUSED) ++pauses;
        } else {
            ASSERT_EQ(EventType(*e), 1);
            ASSERT_EQ(v.size(), 5u);
            EXPECT_EQ(v[0], 0x12);
            seen.emplace_back(1, uint32_t{v[1]} << 24 | uint32_t{v[2]} << 16 | uint32_t{v[3]} << 8 | v[4]);
        }
    }
    ASSERT_EQ(uemu_RadioTransmit(Reader(), 0), UEMU_OK);
    ASSERT_GE(seen.size(), 6u);
    EXPECT_EQ(seen[0], (std::pair<uint8_t, uint32_t>{2, UEMU_RADIO_TRANSMITTING}));
    uint32_t left = 0;
    for (size_t i = 0; i + 1 < seen.size(); ++i) {
        if (seen[i] == std::pair<uint8_t, uint32_t>{2, UEMU_RADIO_TRANSMITTING}) {
            EXPECT_EQ(seen[i + 1], (std::pair<uint8_t, uint32_t>{1, 40})) << "at " << i;
        }
        if (seen[i] == std::pair<uint8_t, uint32_t>{2, UEMU_RADIO_PAUSED}) {
            EXPECT_EQ(seen[i + 1], (std::pair<uint8_t, uint32_t>{1, 0})) << "at " << i;
        }
        if (seen[i].first == 1 && i > 0 && seen[i - 1].first == 1) {
            EXPECT_LE(seen[i].second, left) << "at " << i;
        }
        if (seen[i].first == 1) left = seen[i].second;
    }
    EXPECT_EQ(seen.back(), (std::pair<uint8_t, uint32_t>{2, UEMU_RADIO_PAUSED}));
}

TEST_F(Radio, TemperatureIsReportedWithItsState) {
    Client &c = NewClient("app");
    ASSERT_EQ(c.Enable(kReaderId, kRadio, 0, kAllEvents, 0x8), 0);
    struct Case {
        uint16_t temperature;
        uint8_t state;
    };
    for (const Case k : {Case{599, UEMU_TEMPERATURE_NORMAL}, Case{600, UEMU_TEMPERATURE_WARM},
                         Case{749, UEMU_TEMPERATURE_WARM}, Case{750, UEMU_TEMPERATURE_HOT}}) {
        ASSERT_EQ(uemu_SetRadioTemperature(Reader(), k.temperature), UEMU_OK);
        const std::optional<Received> e = c.NextEvent();
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(EventType(*e), 3);
        EXPECT_EQ(AfterTimestamp(*e), (Bytes{0x41, static_cast<uint8_t>(k.temperature >> 8),
                                             static_cast<uint8_t>(k.temperature), 0x30, k.state}))
            << k.temperature;
    }
    const Bytes stored = Stored(kRadio, 1);
    EXPECT_EQ(Bytes(stored.begin() + 9, stored.begin() + 14), (Bytes{0x30, 0x02, 0x41, 0x02, 0xEE}));
}

using Resets = ReaderFamilies;

TEST_F(Resets, AResetSetsItsObjectBackThenReportsDone) {
    Client &c = NewClient("app");
    ASSERT_EQ(c.Enable(kReaderId, kReset, 0, 1, kAllEvents), 0);
    ASSERT_EQ(c.Enable(kIoId, kGpo, 0, 1, kAllEvents), 0);
    Body high;
    high.Array(1, {2, 1, 4, 1});
    ASSERT_EQ(c.Request(kIoId, kGpo, 100, 0, high).result, 0);
    ASSERT_TRUE(c.NextEvent().has_value());
    ASSERT_TRUE(c.NextEvent().has_value());

    // Every GPO line, at once, once.
    Body add;
    add.Int16(0, 0).Ref(1, kGpo, 0).Int8(2, 0);
    const Answer added = c.Request(kReaderId, kReset, 1, 0, add);
    EXPECT_EQ(added.body, Result(0));
    EXPECT_EQ(added.instance, 1);
    for (uint8_t line : {2, 4}) {
        const std::optional<Received> e = c.NextEvent();
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(EventObject(*e), kGpo);
        EXPECT_EQ(EventInstance(*e), line);
        EXPECT_EQ(AfterTimestamp(*e), (Bytes{0x00, 0x00}));
    }
    const std::optional<Received> done = c.NextEvent();
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->header, (Bytes{c.id, kReaderId, 0x80, 0x00, kReset, 0x01, 0x00, 0x06}));
    Settle(c, "a reset without repeat is done once");
    EXPECT_EQ(c.Request(kReaderId, kReset, 4, 1).body, Result(0, {0x01, 0x00, 0x00, 0x13, 0x01, 0x00, 0x20, 0x00}));

    struct Case {
        const char *what;
        Bytes body;
        int16_t result;
    };
    const Case refused[] = {
        {"no object", {0x01, 0x00, 0x00}, UEMU_RESULT_MALFORMED},
        {"delay as Int8", {0x00, 0x05, 0x13, 0x01, 0x00}, UEMU_RESULT_MALFORMED},
        {"repeat as Int16", {0x13, 0x01, 0x00, 0x21, 0x00, 0x01}, UEMU_RESULT_MALFORMED},
        {"object as Int8", {0x10, 0x01}, UEMU_RESULT_MALFORMED},
        {"GPO line 9", {0x13, 0x01, 0x09}, UEMU_RESULT_UNKNOWN_INSTANCE},
        {"a type nobody serves", {0x13, 0x14, 0x00}, UEMU_RESULT_UNKNOWN_INSTANCE},
    };
    for (const Case &k : refused) {
        Body b;
        b.Raw(k.body);
        EXPECT_EQ(c.Request(kReaderId, kReset, 1, 0, b).body, Result(k.result)) << k.what;
    }
    EXPECT_EQ(c.Request(kReaderId, kReset, 0).body, Result(0, {0x03, 0x09, 0x01})) << "none was added";
}

TEST_F(Resets, ARepeatingResetRunsUntilItIsRemoved) {
    config_.hopIntervalMs = 10;
    config_.countryCodes[0].channelCount = 100;  // far from wrapping back to 1
    Client &c = NewClient("app");
    ASSERT_EQ(c.Enable(kReaderId, kReset, 0, 1, kAllEvents), 0);
    ASSERT_EQ(c.Enable(kReaderId, kRadio, 0, 1, kAllEvents), 0);
    // The radio hops away from channel 1 and is reset back to it.
    ASSERT_EQ(uemu_RadioTransmit(Reader(), 1), UEMU_OK);
    std::optional<Received> e = NextOf(c, kRadio, 0);
    ASSERT_TRUE(e.has_value());
    ASSERT_EQ(uemu_RadioTransmit(Reader(), 0), UEMU_OK);
    Settle(c, "the radio stopped");
    ASSERT_GE(Stored(kRadio, 1)[1], 2) << "the radio left channel 1";

    Body add;
    add.Int16(0, 20).Ref(1, kRadio, 1).Int8(2, 1);
    ASSERT_EQ(c.Request(kReaderId, kReset, 1, 0, add).instance, 1);
    e = c.NextEvent();
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(EventObject(*e), kRadio);
    EXPECT_EQ(AfterTimestamp(*e), (Bytes{0x00, 0x01})) << "back to channel 1";
    uint32_t last = e->timestamp;
    for (int i = 0; i < 3; ++i) {
        e = NextOf(c, kReset, 0);
        ASSERT_TRUE(e.has_value()) << "reset " << i;
        EXPECT_EQ(EventInstance(*e), 1);
        EXPECT_GE(e->timestamp, last);
        last = e->timestamp;
    }
    EXPECT_EQ(c.Request(kReaderId, kReset, 2, 1).result, 0);
    Settle(c, "removed: no more resets");
}

using Surveys = ReaderFamilies;

TEST_F(Surveys, ASurveyMeasuresEveryChannelOfThePlanBetweenStartAndDone) {
    Client &c = NewClient("app");
    ASSERT_EQ(c.Enable(kReaderId, kSurvey, 0, kAllEvents, kAllEvents), 0);
    Body add;
    add.Int32(0, 2).Int32(1, 0);
    const Answer added = c.Request(kReaderId, kSurvey, 1, 0, add);
    EXPECT_EQ(added.body, Result(0));
    ASSERT_EQ(added.instance, 1);

    std::optional<Received> e = c.NextEvent();
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->header, (Bytes{c.id, kReaderId, 0x80, 0x00, kSurvey, 0x01, 0x00, 0x06})) << "started";
    const Bytes expected[] = {
        {0x22, 0x00, 0x0D, 0xC6, 0x5E, 0x31, 0xFD, 0x44, 0x41, 0xFD, 0x80, 0x51, 0x00, 0x01, 0x63, 0x08, 0x02},
        {0x22, 0x00, 0x0D, 0xC8, 0x52, 0x31, 0xFD, 0x3A, 0x41, 0xFD, 0x76, 0x51, 0x00, 0x01, 0x63, 0x08, 0x02},
        {0x22, 0x00, 0x0D, 0xCA, 0x46, 0x31, 0xFD, 0x30, 0x41, 0xFD, 0x6C, 0x51, 0x00, 0x01, 0x63, 0x08, 0x02},
    };
    for (const Bytes &measurement : expected) {
        e = c.NextEvent();
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(EventType(*e), 2);
        EXPECT_EQ(EventInstance(*e), 1);
        EXPECT_EQ(AfterTimestamp(*e), measurement);
    }
    e = c.NextEvent();
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->header, (Bytes{c.id, kReaderId, 0x80, 0x01, kSurvey, 0x01, 0x00, 0x06})) << "done";
    c.ExpectNoEvent("a survey runs once");

    struct Case {
        const char *what;
        Bytes body;
        int16_t result;
    };
    const Case refused[] = {
        {"antenna 5", {0x02, 0x00, 0x00, 0x00, 0x05}, UEMU_RESULT_UNKNOWN_INSTANCE},
        {"antenna 256", {0x02, 0x00, 0x00, 0x01, 0x00}, UEMU_RESULT_UNKNOWN_INSTANCE},
        {"antenna as Int16", {0x01, 0x00, 0x01}, UEMU_RESULT_MALFORMED},
        {"dwell as Int8", {0x10, 0x01}, UEMU_RESULT_MALFORMED},
    };
    for (const Case &k : refused) {
        Body b;
        b.Raw(k.body);
        EXPECT_EQ(c.Request(kReaderId, kSurvey, 1, 0, b).body, Result(k.result)) << k.what;
    }
}

TEST_F(Surveys, ADwellSpacesTheMeasurementsAndRemovalStopsThem) {
    config_.countryCodes[0].channelCount = 100;
    Client &c = NewClient("app");
    ASSERT_EQ(c.Enable(kReaderId, kSurvey, 0, kAllEvents, kAllEvents), 0);
    Body add;
    add.Int32(1, 20);  // antenna 1, 20 ms per channel
    ASSERT_EQ(c.Request(kReaderId, kSurvey, 1, 0, add).instance, 1);
    std::optional<Received> e = c.NextEvent();
    ASSERT_TRUE(e.has_value());
    ASSERT_EQ(EventType(*e), 0);
    uint32_t last = e->timestamp;
    for (int i = 0; i < 3; ++i) {
        e = c.NextEvent();
        ASSERT_TRUE(e.has_value());
        ASSERT_EQ(EventType(*e), 2);
        const Bytes v = AfterTimestamp(*e);
        EXPECT_EQ(Bytes(v.end() - 6, v.end()), (Bytes{0x51, 0x00, 0x03, 0x63, 0x08, 0x01}))
            << "three samples of 10 ms, on antenna 1";
        EXPECT_GE(e->timestamp, last);
        last = e->timestamp;
    }
    EXPECT_EQ(c.Request(kReaderId, kSurvey, 2, 1).result, 0);
    Settle(c, "a removed survey stops");
}

}  // namespace
