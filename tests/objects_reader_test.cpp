// The reader's own families (GPI and GPO lines, the radio, the clock, time
// stamp and versions, Gen2 specifications and parameter sets, CTI, reset and
// RF survey specifications, alarms, the text log) against the emulated
// reader: values set are read back, the world outside the reader raises
// events, and hand-made events reach the callbacks decoded.
#include <cstring>

#include "support.h"

namespace {

using namespace ulmot::test;

void OnGpi(void *c, uint32_t, uint8_t line, uint8_t state) { Of(c).Add(Format("gpi %u %u", line, state)); }
void OnGpo(void *c, uint32_t, uint8_t line, uint8_t state) { Of(c).Add(Format("gpo %u %u", line, state)); }
void OnChannel(void *c, uint32_t, uint8_t channel) { Of(c).Add(Format("channel %u", channel)); }
void OnLeft(void *c, uint32_t, uint32_t left) { Of(c).Add(Format("left %u", left)); }
void OnState(void *c, uint32_t, uint8_t state) { Of(c).Add(Format("state %u", state)); }
void OnTemperature(void *c, uint32_t, uint16_t t, uint8_t state) { Of(c).Add(Format("temperature %u %u", t, state)); }
void OnReset(void *c, uint32_t, uint8_t spec) { Of(c).Add(Format("reset %u", spec)); }
void OnSurvey0(void *c, uint32_t, uint8_t spec) { Of(c).Add(Format("survey started %u", spec)); }
void OnSurvey1(void *c, uint32_t, uint8_t spec) { Of(c).Add(Format("survey done %u", spec)); }
void OnMeasured(void *c, uint32_t, uint8_t spec, uint32_t channel, int32_t rssi, int32_t peak, uint16_t samples,
                uint8_t antenna) {
    Of(c).Add(Format("measured %u: %u %d %d %u %u", spec, channel, rssi, peak, samples, antenna));
}
void OnAlarm(void *c, uint32_t, uint8_t spec, uint8_t pair) { Of(c).Add(Format("alarm %u %u", spec, pair)); }
void OnLog(void *c, uint32_t, const char *text) { Of(c).Add(Format("log %s", text)); }

constexpr uint32_t kNewYear2026 = 1767225600;

// Three GPI and five GPO lines, twenty Gen2 parameter sets, a held clock at
// the start of 2026, three country codes and a radio that hops every 10 ms
// with a duty cycle of 30 ms on, 20 ms off.
class ReaderFamilies : public ObjectsTest {
protected:
    void SetUp() override {
        ObjectsTest::SetUp();
        config_.presetInstances[1] = 5;
        config_.presetInstances[2] = 3;
        config_.presetInstances[18] = 20;
        config_.rtcHeld = 1;
        config_.rtcStartSeconds = kNewYear2026;
        config_.countryCodeCount = 3;
        config_.countryCodes[0] = uemu_CountryCode{840, 3, 902750, 500, "US test plan"};
        config_.countryCodes[1] = uemu_CountryCode{276, 1, 865700, 600, "X"};
        config_.countryCodes[2] = uemu_CountryCode{392, 2, 916800, 1200, "JP"};
        config_.hopIntervalMs = 10;
        config_.dutyCycleOnMs = 30;
        config_.dutyCycleOffMs = 20;
        config_.radioModel = 0x0A0B;
        std::snprintf(config_.versions[3], sizeof config_.versions[3], "board X");
        c_ = Client();
    }
    bool WaitForLine(const std::string &line) {
        return WaitUntil([&] {
            const Lines l = seen_.WaitFor(0, 0);
            return std::find(l.begin(), l.end(), line) != l.end();
        });
    }
    ClientProcessor *c_ = nullptr;
};

TEST_F(ReaderFamilies, GpiAndGpoLines) {
    uint8_t gpi = 0, gpo = 0;
    EXPECT_EQ(ulmot_GetGPICount(c_, &gpi) | ulmot_GetGPOCount(c_, &gpo), 0);
    EXPECT_EQ(std::make_pair(gpi, gpo), std::make_pair(uint8_t{3}, uint8_t{5}));
    // One callback serves every line: line 2, registered disabled, keeps it.
    ASSERT_EQ(ulmot_RegisterGPIEvent(c_, 1, OnGpi, &seen_, 1), 0);
    ASSERT_EQ(ulmot_RegisterGPIEvent(c_, 2, OnGpi, &seen_, 0), 0);
    ASSERT_EQ(uemu_SetGpi(reader_, 2, 1) | uemu_SetGpi(reader_, 1, 1), UEMU_OK);
    uint8_t threshold = 0, low = 9, high = 9;
    ASSERT_EQ(ulmot_SetGPIThreshold(c_, 1, 100) | ulmot_GetGPIThreshold(c_, 1, &threshold) | ulmot_ReadGPI(c_, 1, &low), 0);
    ASSERT_EQ(ulmot_WriteGPI(c_, 1, 1) | ulmot_ReadGPI(c_, 1, &high), 0);
    EXPECT_EQ(Bytes({threshold, low, high}), Bytes({100, 0, 1})) << "level 1 is below the threshold; written high";
    ASSERT_EQ(ulmot_EnableGPIEvent(c_, 2, 1), 0);
    ASSERT_EQ(uemu_SetGpi(reader_, 2, 0), UEMU_OK);
    EXPECT_EQ(seen_.WaitFor(4), (Lines{"gpi 1 1", "gpi 1 0", "gpi 1 1", "gpi 2 0"}));
    Recorder other;
    ASSERT_EQ(ulmot_SetGPIEventHandler(c_, OnGpi, &other), 0);
    ASSERT_EQ(uemu_SetGpi(reader_, 2, 1), UEMU_OK);
    EXPECT_EQ(other.WaitFor(1), Lines{"gpi 2 1"});

    seen_.Take();
    ASSERT_EQ(ulmot_RegisterGPOEvent(c_, 0, OnGpo, &seen_, 1), 0);
    const uint8_t pairs[] = {1, 1, 2, 0, 5, 1}, unknown[] = {9, 1};
    ASSERT_EQ(ulmot_WriteAllGPO(c_, pairs, 3), 0);
    ASSERT_EQ(ulmot_WriteGPO(c_, 5, 0), 0);
    Bytes states(5);
    for (uint8_t line = 1; line <= 5; ++line) EXPECT_EQ(ulmot_ReadGPO(c_, line, &states[line - 1u]), 0);
    EXPECT_EQ(states, (Bytes{1, 0, 0, 0, 0}));
    EXPECT_EQ(seen_.WaitFor(3), (Lines{"gpo 1 1", "gpo 5 1", "gpo 5 0"}));
    EXPECT_EQ(ulmot_WriteAllGPO(c_, pairs, 0), 0);
    EXPECT_EQ(Outcome(ulmot_WriteAllGPO(c_, unknown, 1)), "2 | ulmot_WriteAllGPO: Failed (result 2)");
    EXPECT_EQ(Outcome(ulmot_WriteAllGPO(c_, nullptr, 1)), "-5 | ulmot_WriteAllGPO: No output values");
    // Without a processor for the type there are no lines, and no request.
    ASSERT_EQ(ulmot_AttachTargetProcessor(c_, ULMOT_OBJ_GPI, 0), 0);
    EXPECT_EQ(ulmot_GetGPICount(c_, &gpi), 0);
    EXPECT_EQ(gpi, 0);
}

TEST_F(ReaderFamilies, RadioPropertiesCountryCodesAndEvents) {
    RadioProperties p;
    std::memset(&p, 0xAB, sizeof p);
    ASSERT_EQ(ulmot_GetRadioProperties(c_, &p), 0);
    EXPECT_EQ(std::vector<long>({p.channel, p.cycleTimeLeft, p.radioState, p.temperatureState, p.temperature,
                                 p.property10, p.property11, p.property12, p.property7, p.property8Count}),
              std::vector<long>({1, 30, UEMU_RADIO_IDLE, UEMU_TEMPERATURE_NORMAL, 350, 3000, 1000, 4, 1, 3}));
    EXPECT_EQ(std::vector<uint32_t>(p.property8, p.property8 + 4), (std::vector<uint32_t>{902750, 903250, 903750, 0}));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(p.property9), p.property9Length), "uemu-radio");
    EXPECT_EQ(std::string(reinterpret_cast<char *>(p.property13), p.property13Length), "R-000001");
    // Item 8 planted in the radio: 400 bytes are 100 values, 401 none.
    const Bytes values(401, 0x5A);
    for (uint32_t length : {400u, 401u}) {
        ASSERT_EQ(ulmot_SetObjectProperties(c_, 12, 1, ULMOT_PROP_BYTE_ARRAY, 8, values.data(), length, ULMOT_PROP_END), 0);
        ASSERT_EQ(ulmot_GetRadioProperties(c_, &p), 0);
        EXPECT_EQ(Format("%u %08X", p.property8Count, p.property8[99]), length == 400 ? "100 5A5A5A5A" : "0 00000000");
    }

    ASSERT_EQ(ulmot_RegisterRadioEvents(c_, OnChannel, OnLeft, OnState, OnTemperature, &seen_), 0);
    ASSERT_EQ(uemu_RadioTransmit(reader_, 1), UEMU_OK);
    EXPECT_TRUE(WaitForLine("channel 2") && WaitForLine("state 2") && WaitForLine("left 0")) << "hops, then pauses";
    ASSERT_EQ(uemu_RadioTransmit(reader_, 0) | uemu_SetRadioTemperature(reader_, 612), UEMU_OK);
    EXPECT_TRUE(WaitForLine("state 0") && WaitForLine("temperature 612 1"));
    const Lines radio = seen_.Take();
    EXPECT_EQ(Lines(radio.begin(), radio.begin() + 2), (Lines{"state 1", "left 30"}));
    ASSERT_EQ(ulmot_GetRadioProperties(c_, &p), 0);
    EXPECT_EQ(std::vector<long>({p.temperatureState, p.temperature}), std::vector<long>({UEMU_TEMPERATURE_WARM, 612}));

    uint16_t code = 0;
    char text[96];
    std::memset(text, '#', sizeof text);
    EXPECT_EQ(ulmot_GetRadioSupportedCountryCode(c_, 0x10002, &code, text), 0);
    EXPECT_EQ(code, 392);
    EXPECT_EQ(std::string(text, 3), "JP#") << "copied as received, not terminated";
    EXPECT_EQ(ulmot_GetRadioSupportedCountryCode(c_, 1, &code, text), -1) << "a text of one byte";
    EXPECT_EQ(code, 276);
    EXPECT_EQ(ulmot_GetRadioSupportedCountryCode(c_, 7, &code, text), -1) << "no country code";
    EXPECT_EQ(code, 0);
}

TEST_F(ReaderFamilies, ClockTimestampAndVersions) {
    uint8_t f[7] = {};
    auto rtc = [&] { return ulmot_GetRTC(c_, &f[0], &f[1], &f[2], &f[3], &f[4], &f[5], &f[6]); };
    ASSERT_EQ(rtc(), 0);
    EXPECT_EQ(Bytes(f, f + 7), (Bytes{0, 0, 0, 1, 1, 26, 4}));
    const uint8_t set[7] = {58, 59, 23, 29, 2, 24, 0}, year2025 = 25, hour = 5;
    ASSERT_EQ(ulmot_SetRTC(c_, &set[0], &set[1], &set[2], &set[3], &set[4], &set[5], &set[6]), 0);
    ASSERT_EQ(ulmot_SetRTC(c_, nullptr, nullptr, &hour, nullptr, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(rtc(), 0);
    EXPECT_EQ(Bytes(f, f + 7), (Bytes{58, 59, 5, 29, 2, 24, 4})) << "the week day follows from the date";
    EXPECT_EQ(Outcome(ulmot_SetRTC(c_, nullptr, nullptr, nullptr, nullptr, nullptr, &year2025, nullptr)),
              "20 | ulmot_SetRTC: Failed (result 20)");
    uint32_t seconds = 0, milliseconds = 0;
    const uint32_t before = uemu_Now(reader_);
    ASSERT_EQ(ulmot_GetTimestamp(c_, &seconds, &milliseconds), 0);
    EXPECT_EQ(seconds, 1709186398u) << "2024-02-29 05:59:58";
    EXPECT_TRUE(milliseconds >= before && milliseconds <= uemu_Now(reader_));

    char text[32];
    ASSERT_EQ(ulmot_GetVersion(c_, 0, text, sizeof text), 0);
    // Fetched once: from now on the processor attached to type 0 does not
    // serve it, so only the kept information can answer.
    ASSERT_EQ(ulmot_AttachTargetProcessor(c_, ULMOT_OBJ_VERSION, UEMU_IO_PROCESSOR_ID), 0);
    const struct {
        uint32_t which, length;
        int32_t result;
        const char *text;
    } rows[] = {{0, 24, 0, "uemu reader 1.0.0"}, {0, 18, 0, "uemu reader 1.0.0"}, {0, 17, 0, "uemu reader 1.0."},
                {0, 1, 0, ""}, {3, 24, 0, "board X"}, {9, 24, 0, "2026-01-01"}, {10, 24, -5, "UNKNOWN"},
                {10, 5, -5, "UNKN"}, {0xFFFFFFFF, 8, -5, "UNKNOWN"}};
    for (const auto &row : rows) {
        std::memset(text, '#', sizeof text);
        EXPECT_EQ(ulmot_GetVersion(c_, row.which, text, row.length), row.result) << row.which;
        EXPECT_EQ(std::string(text, row.length + 1), row.text + std::string(row.length - strlen(row.text), '\0') + "#");
    }
    uint16_t model = 0;
    EXPECT_EQ(ulmot_GetRadioModel(c_, &model), 0);
    EXPECT_EQ(model, 0x0A0B);
    text[0] = '#';
    EXPECT_EQ(Outcome(ulmot_GetVersion(c_, 0, text, 0)), "-5 | ulmot_GetVersion: No room in a buffer of length 0");
    EXPECT_EQ(Outcome(ulmot_GetVersion(c_, 0, nullptr, 8)), "-5 | ulmot_GetVersion: No room in a buffer of length 0");
    EXPECT_EQ(text[0], '#');
}

TEST_F(ReaderFamilies, Gen2SpecificationsAndParameterSets) {
    // Each id with the item type it calls for, values cut to its width.
    ProtocolParameter add[] = {{1, 0x103}, {7, 5}, {8, 0x10003}, {9, 0x10020}, {11, 0}, {12, 0x10064}, {13, 500},
                               {14, 1234567}},
                      change[] = {{3, 0x105}, {10, 2}}, badSession = {1, 4};
    ProtocolParameter *list[8], *changes[] = {&change[0], &change[1]}, *bad[] = {&badSession},
                                *holes[] = {&change[0], nullptr};
    for (int i = 0; i < 8; ++i) list[i] = &add[i];
    uint8_t spec = 0, u8[8] = {};
    uint16_t u16[3] = {};
    uint32_t utc = 0;
    auto get = [&] {
        return ulmot_GetGen2ProtocolSpecification(c_, spec, &u8[1], &u8[2], &u8[3], &u8[4], &u8[5], &u8[6], &u8[7],
                                                  &u16[0], &u16[1], &u8[0], &u16[2]);
    };
    ASSERT_EQ(ulmot_AddGen2ProtocolSpecification(c_, &spec, list, 8, 1), 0);
    ASSERT_EQ(get(), 0);
    EXPECT_EQ(Bytes(u8, u8 + 8), (Bytes{1, 3, 0, 4, 0, 15, 0, 0}));
    EXPECT_EQ(std::vector<int>(u16, u16 + 3), std::vector<int>({3, 32, 100}));
    ASSERT_EQ(ulmot_GetGen2ProtocolSpecificationUTCTime(c_, spec, &utc), 0);
    EXPECT_EQ(utc, 1234567u);
    ASSERT_EQ(ulmot_SetPropertiesGen2ProtocolSpecification(c_, spec, changes, 2), 0);
    ASSERT_EQ(get(), 0);
    EXPECT_EQ(Bytes(u8, u8 + 4), (Bytes{2, 3, 0, 5}));
    ASSERT_EQ(ulmot_GetGen2ProtocolSpecificationUTCTime(c_, spec, &utc), 0);
    EXPECT_EQ(utc, kNewYear2026) << "set by the reader's clock";
    const std::string set = "ulmot_SetPropertiesGen2ProtocolSpecification: ",
                      adding = "ulmot_AddGen2ProtocolSpecification: ";
    EXPECT_EQ(Outcome(ulmot_SetPropertiesGen2ProtocolSpecification(c_, spec, bad, 1)), "20 | " + set + "Failed (result 20)");
    EXPECT_EQ(Outcome(ulmot_SetPropertiesGen2ProtocolSpecification(c_, spec, holes, 2)),
              "-5 | " + set + "Failed to build request message");
    EXPECT_EQ(Outcome(ulmot_AddGen2ProtocolSpecification(c_, nullptr, nullptr, 1, 1)),
              "-5 | " + adding + "Failed to build request message | " + adding + "Failed (result -5)");

    uint8_t sets = 0;
    ASSERT_EQ(ulmot_GetGen2ParmSetCount(c_, &sets), 0);
    EXPECT_EQ(sets, 20);
    const std::vector<long> rows[] = {{1, 640000, 1, 25, 1, 150, 640, 90, 1, 0, 1, 1},
                                      {2, 320000, 2, 50, 1, 200, 160, 90, 1, 2, 2, 0},
                                      {19, 250000, 4, 100, 1, 200, 62, 100, 1, 2, 3, 0}};
    for (const std::vector<long> &row : rows) {
        Gen2ParmSet s;
        std::memset(&s, 0xEE, sizeof s);
        ASSERT_EQ(ulmot_GetGen2ParmSet(c_, int32_t(row[0]), &s), 0);
        EXPECT_EQ(std::vector<long>({s.item0, s.item1, s.item2, s.item3, s.item4, s.item5, s.item6, s.item11, s.item9,
                                     s.item10, s.item12, s.item13}),
                  row);
    }
    // Kept: from now on type 18 goes to a processor that does not serve it.
    ASSERT_EQ(ulmot_AttachTargetProcessor(c_, ULMOT_OBJ_GEN2_PARM_SET, UEMU_IO_PROCESSOR_ID), 0);
    EXPECT_EQ(ulmot_GetGen2ParmSetCount(c_, &sets) + ulmot_GetGen2ParmSet(c_, 1, nullptr), 0) << "item 12 of set 1 is 1";
    EXPECT_EQ(Outcome(ulmot_GetGen2ParmSet(c_, 0, nullptr)), "-1 | ulmot_GetObjectProperties: Failed") << "never fetched";
    EXPECT_EQ(Outcome(ulmot_GetGen2ParmSet(c_, -1, nullptr)), "-5 | ulmot_GetGen2ParmSet: Index (-1) out of range");
    EXPECT_EQ(Outcome(ulmot_GetGen2ParmSet(c_, 20, nullptr)), "-5 | ulmot_GetGen2ParmSet: Index (20) out of range");
}

TEST_F(ReaderFamilies, CtiRequests) {
    uint8_t cti = 0, response[8] = {};
    uint16_t status = 99, length = 8;
    auto reply = [&] { return Format("%u %u %s", status, length, Hex(response, length ? 8 : 0).c_str()); };
    ASSERT_EQ(ulmot_AddCTIObject(c_, &cti), 0);
    const uint8_t ping[] = {'p', 'i', 'n', 'g'}, ten[] = {0x00, 0x0A};
    ASSERT_EQ(ulmot_CTIRequest(c_, cti, UEMU_CTI_ECHO, ping, 4, &status, response, &length), 0);
    EXPECT_EQ(reply(), "0 4 70 69 6E 67 00 00 00 00");
    ASSERT_EQ(ulmot_CTIRequest(c_, cti, 77, nullptr, 0, &status, response, &(length = 8)), 0);
    EXPECT_EQ(reply(), "1 0 ") << "an unknown request";
    ASSERT_EQ(ulmot_CTIRequest(c_, cti, UEMU_CTI_REQUEST_COUNT, nullptr, 0, &status, response, &(length = 8)), 0);
    EXPECT_EQ(reply(), "0 4 00 00 00 03 00 00 00 00");
    const std::string noData = " | ulmot_CTIRequest: Failed to find data in response",
                      invalid = "-5 | ulmot_CTIRequest: Invalid parameter";
    EXPECT_EQ(Outcome(ulmot_CTIRequest(c_, cti, UEMU_CTI_FILL, ten, 2, &status, response, &(length = 8))), "-3" + noData);
    EXPECT_EQ(reply(), "0 10 00 00 00 03 00 00 00 00") << "the length it needs; nothing copied";
    // The largest request that fits a block, and one byte more.
    Bytes big(2021, 0x42), echo(2021);
    EXPECT_EQ(ulmot_CTIRequest(c_, cti, UEMU_CTI_ECHO, big.data(), 2020, &status, echo.data(), &(length = 2021)), 0);
    EXPECT_EQ(length, 2020);
    EXPECT_EQ(Outcome(ulmot_CTIRequest(c_, cti, UEMU_CTI_ECHO, big.data(), 2021, &status, echo.data(), &length)),
              "-7 | ulmot_BufferAllocate: Size 2049 exceeds the largest block (2048) | ulmot_CTIRequest: Allocation failed");
    EXPECT_EQ(Outcome(ulmot_CTIRequest(c_, cti, UEMU_CTI_ECHO, nullptr, 3, &status, response, &length)), invalid);
    EXPECT_EQ(Outcome(ulmot_CTIRequest(c_, cti, UEMU_CTI_ECHO, ping, 4, &status, response, nullptr)), invalid);
    EXPECT_EQ(Outcome(ulmot_CTIRequest(c_, 9, UEMU_CTI_ECHO, ping, 4, &status, response, &length)),
              "2 | ulmot_CTIRequest: Failed (result 2)");
}

TEST_F(ReaderFamilies, ResetsSurveysAlarmsAndTheTextLog) {
    ASSERT_EQ(ulmot_RegisterResetDone(c_, OnReset, &seen_, 1), 0);
    ASSERT_EQ(ulmot_WriteGPO(c_, 1, 1), 0);
    uint8_t reset = 0, survey = 0, two = 0, all = 0, state = 9;
    ASSERT_EQ(ulmot_AddResetSpecification(c_, &reset, 0x10005, 0x101, 1, 0), 0) << "delay 5 ms and GPO line 1";
    EXPECT_EQ(Kept(9, reset), "01 00 05 13 01 01 20 00");
    EXPECT_EQ(seen_.WaitFor(1), Lines{Format("reset %u", reset)});
    EXPECT_EQ(ulmot_ReadGPO(c_, 1, &state), 0);
    EXPECT_EQ(state, 0) << "reset low";
    ASSERT_EQ(ulmot_RegisterRFSurveyEvents(c_, OnSurvey0, OnSurvey1, OnMeasured, &seen_), 0);
    ASSERT_EQ(ulmot_AddRFSurveySpecification(c_, &survey, 2, 30), 0) << "antenna 2, 30 ms per channel";
    EXPECT_EQ(seen_.WaitFor(6), (Lines{Format("reset %u", reset), Format("survey started %u", survey),
                                       Format("measured %u: 902750 -700 -640 4 2", survey),
                                       Format("measured %u: 903250 -710 -650 4 2", survey),
                                       Format("measured %u: 903750 -720 -660 4 2", survey),
                                       Format("survey done %u", survey)}));
    seen_.Take();
    ASSERT_EQ(ulmot_AddNxpAlarmSpecification(c_, &two, 0x111, 0x102), 0) << "antenna pair 2, cut to 8 bits";
    ASSERT_EQ(ulmot_AddNxpAlarmSpecification(c_, &all, ULMOT_OBJ_ANTENNA_PAIR, 0x100), 0) << "every pair";
    EXPECT_EQ(Kept(22, two), "03 11 02");
    ASSERT_EQ(ulmot_RegisterNxpAlarmEvent(c_, OnAlarm, &seen_, 1), 0);
    ASSERT_EQ(ulmot_RegisterTextLogMessage(c_, OnLog, &seen_, 1), 0);
    EXPECT_EQ(uemu_RaiseAlarm(reader_, 3), 1);
    EXPECT_EQ(uemu_RaiseAlarm(reader_, 2), 2);
    const std::string longest(128, 'L');
    for (const std::string &text : {std::string("hello"), std::string(), longest + "cut"}) uemu_Log(reader_, text.c_str());
    EXPECT_EQ(seen_.WaitFor(6), (Lines{Format("alarm %u 3", all), Format("alarm %u 2", two), Format("alarm %u 2", all),
                                       "log hello", "log ", "log " + longest}));
    ASSERT_EQ(ulmot_RegisterTextLogMessage(c_, OnLog, &seen_, 0), 0);
    EXPECT_EQ(uemu_Log(reader_, "unheard"), 0);
}

// Events with items missing or of another type, and values the reader never
// sends (the well-formed ones reach their callbacks in the tests above).
TEST_F(ReaderFamilies, EventsAsTheReaderNeverSendsThemReachTheirCallbacks) {
    ASSERT_EQ(ulmot_SetGPIEventHandler(c_, OnGpi, &seen_), 0);
    ASSERT_EQ(ulmot_RegisterGPOEvent(c_, 0, OnGpo, &seen_, 1), 0);
    ASSERT_EQ(ulmot_RegisterResetDone(c_, OnReset, &seen_, 1), 0);
    ASSERT_EQ(ulmot_RegisterRadioEvents(c_, OnChannel, OnLeft, OnState, OnTemperature, &seen_), 0);
    ASSERT_EQ(ulmot_RegisterRFSurveyEvents(c_, OnSurvey0, OnSurvey1, OnMeasured, &seen_), 0);
    ASSERT_EQ(ulmot_RegisterNxpAlarmEvent(c_, OnAlarm, &seen_, 1), 0);
    ASSERT_EQ(ulmot_RegisterTextLogMessage(c_, OnLog, &seen_, 1), 0);
    const Event marker{2, 0, 99, {0x00, 0x01}, {"gpi 99 1"}, {}};
    const std::string duty = "ulmot_ClientHandleDutyCycleState: Failed to find ",
                      survey = "ulmot_ClientHandleRFSurveyMeasurement: Failed to find ",
                      noText = "ulmot_ClientHandleTextLogMessage: Failed to find message in event";
    ExpectEvents({{2, 0, 3, {0x10, 1}, {}, {"ulmot_ClientHandleGPI: Failed to extract GPI 3 state from event"}},
                  {1, 0, 4, {}, {"gpo 4 0"}, {}},
                  {12, 0, 1, {}, {"channel 0"}, {"ulmot_ClientHandleChannelChange: Failed to find channel in event"}},
                  {12, 1, 1, {0x11, 0, 1}, {"left 0"}, {duty + "cycle time left in event"}},
                  {12, 2, 1, {0x30, 3}, {"state 0"}, {duty + "radio state in event"}},
                  {12, 3, 1, {0x30, 2}, {"temperature 0 2"}, {duty + "temperature in event"}},
                  {12, 3, 1, {0x41, 0xFF, 0xFE}, {"temperature 65534 0"}, {duty + "temperature state in event"}},
                  {13, 0, 0, Sized(0, 4, Bytes(129, 'x')), {}, {noText}},
                  {13, 0, 0, {0x14, 0, 1, 'x'}, {}, {noText}},
                  {19, 2, 4, {0x22, 0, 0, 0, 5, 0x31, 0xFF, 0x38, 0x41, 0x80, 0, 0x51, 0xFF, 0xFF, 0x63, 0x11, 4},
                   {"measured 4: 5 -200 -32768 65535 4"}, {}},
                  {19, 2, 4, {0x41, 0, 1}, {"measured 4: 0 0 1 0 0"},
                   {survey + "current channel in event", survey + "average RSSI in event"}},
                  {22, 0, 3, {0x13, 0x11, 5, 0x13, 0x11, 6}, {"alarm 3 5"}, {}},
                  {22, 0, 3, {0x10, 2}, {"alarm 3 0"}, {"ulmot_ClientHandleNxpAlarmEvent: Failed to find antenna pair"}}},
                 marker);
    // Disabled, or registered without callbacks: events sent all the same reach nothing.
    ASSERT_EQ(ulmot_RegisterGPOEvent(c_, 0, OnGpo, &seen_, 0) | ulmot_RegisterResetDone(c_, OnReset, &seen_, 0) |
                  ulmot_RegisterRadioEvents(c_, nullptr, nullptr, nullptr, nullptr, &seen_) |
                  ulmot_RegisterRFSurveyEvents(c_, nullptr, nullptr, nullptr, &seen_) |
                  ulmot_RegisterNxpAlarmEvent(c_, OnAlarm, &seen_, 0) | ulmot_RegisterTextLogMessage(c_, OnLog, &seen_, 0),
              0);
    ExpectEvents({{1, 0, 4, {0x00, 1}, {}, {}}, {9, 0, 5, {}, {}, {}}, {12, 0, 1, {}, {}, {}}, {12, 1, 1, {}, {}, {}},
                  {12, 2, 1, {}, {}, {}}, {12, 3, 1, {}, {}, {}}, {19, 0, 4, {}, {}, {}}, {19, 1, 4, {}, {}, {}},
                  {19, 2, 4, {}, {}, {}}, {22, 0, 3, {}, {}, {}}, {13, 0, 0, {0x04, 0, 1, 'x'}, {}, {}}},
                 marker);
}

}  // namespace
