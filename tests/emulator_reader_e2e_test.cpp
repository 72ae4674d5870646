// The reader's own objects end to end: a client processor uses the library's
// family operations against the emulated reader over the in-memory pair:
// GPI and GPO lines, the radio, the clock and timestamp, versions, Gen2,
// CTI, reset and RF survey specifications, alarms and the text log.
#include <gmock/gmock.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "emulator_support.h"
#include "ulmot/objects.h"

namespace {

using namespace ulmot::test;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

constexpr uint32_t kNewYear2026 = 1767225600;

// What the callbacks saw, one line each, in order.
class Recorder {
public:
    void Add(std::string line) {
        std::lock_guard<std::mutex> guard(mu_);
        lines_.push_back(std::move(line));
    }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> guard(mu_);
        return lines_;
    }
    // Waits for `n` lines (a generous bound) and returns what came.
    std::vector<std::string> WaitFor(size_t n) {
        WaitUntil([&] { return Lines().size() >= n; });
        return Lines();
    }
    // Waits for a line equal to `line`.
    bool WaitForLine(const std::string &line) {
        return WaitUntil([&] {
            const auto all = Lines();
            return std::find(all.begin(), all.end(), line) != all.end();
        });
    }

private:
    std::mutex mu_;
    std::vector<std::string> lines_;
};

Recorder &Of(void *context) { return *static_cast<Recorder *>(context); }
std::string Line(const char *what, long a, long b = -1) {
    std::string s = std::string(what) + " " + std::to_string(a);
    if (b >= 0) s += " " + std::to_string(b);
    return s;
}

class ReaderEndToEnd : public PoolTest {
protected:
    void SetUp() override {
        PoolTest::SetUp();
        uemu_ConfigInit(&config_);
        config_.rtcHeld = 1;
        config_.rtcStartSeconds = kNewYear2026;
        config_.countryCodeCount = 2;
        config_.countryCodes[0] = uemu_CountryCode{840, 3, 902750, 500, "US test plan"};
        config_.countryCodes[1] = uemu_CountryCode{276, 1, 865700, 600, "EU one channel"};
    }
    void TearDown() override {
        if (client_ != nullptr) ulmot_DestroyClientProcessor(client_);
        uemu_Destroy(reader_);
        if (pair_ != nullptr) utr_MemoryPairDestroy(pair_);
        PoolTest::TearDown();
    }

    // The reader (configured by config_ as it is now) and a client attached
    // to every object type of these families.
    void Start() {
        reader_ = uemu_Create(&config_);
        ASSERT_NE(reader_, nullptr);
        pair_ = utr_MemoryPairCreate("client", "reader", 0);
        utr_MemorySetReceiveSlice(pair_, 10);  // destroys need not wait out an 800 ms receive
        ASSERT_EQ(uemu_Attach(reader_, utr_MemoryEndpoint(pair_, UTR_SIDE_B), nullptr, nullptr), UEMU_OK);
        ASSERT_EQ(ulmot_CreateClientProcessor(utr_MemoryEndpoint(pair_, UTR_SIDE_A), "families", &client_), 0);
        for (uint32_t type : {ULMOT_OBJ_VERSION, ULMOT_OBJ_GPO, ULMOT_OBJ_GPI, ULMOT_OBJ_GEN2_PROTOCOL,
                              ULMOT_OBJ_RESET, ULMOT_OBJ_CTI, ULMOT_OBJ_RADIO, ULMOT_OBJ_TEXT_LOG,
                              ULMOT_OBJ_TIMESTAMP, ULMOT_OBJ_GEN2_PARM_SET, ULMOT_OBJ_RF_SURVEY,
                              ULMOT_OBJ_NXP_ALARM, ULMOT_OBJ_RTC}) {
            ASSERT_EQ(ulmot_AttachDefaultObjectProcessor(client_, type, 0, 0), 0) << "type " << type;
        }
    }

    uemu_Config config_{};
    uemu_Reader *reader_ = nullptr;
    utr_MemoryPair *pair_ = nullptr;
    ClientProcessor *client_ = nullptr;
    Recorder seen_;
};

void OnGpi(void *c, uint32_t, uint8_t line, uint8_t state) { Of(c).Add(Line("gpi", line, state)); }
void OnGpo(void *c, uint32_t, uint8_t line, uint8_t state) { Of(c).Add(Line("gpo", line, state)); }

TEST_F(ReaderEndToEnd, GpiLinesAreCountedReadAndWatched) {
    Start();
    uint8_t count = 0;
    ASSERT_EQ(ulmot_GetGPICount(client_, &count), 0);
    EXPECT_EQ(count, 4);
    ASSERT_EQ(ulmot_RegisterGPIEvent(client_, 2, OnGpi, &seen_, 1), 0);
    ASSERT_EQ(uemu_SetGpi(reader_, 2, 1), UEMU_OK);
    EXPECT_EQ(seen_.WaitFor(1), (std::vector<std::string>{"gpi 2 1"}));
    uint8_t state = 9;
    EXPECT_EQ(ulmot_ReadGPI(client_, 2, &state), 0);
    EXPECT_EQ(state, 1);

    // A threshold above the level takes the line low.
    ASSERT_EQ(ulmot_SetGPIThreshold(client_, 2, 100), 0);
    uint8_t threshold = 0;
    EXPECT_EQ(ulmot_GetGPIThreshold(client_, 2, &threshold), 0);
    EXPECT_EQ(threshold, 100);
    EXPECT_EQ(seen_.WaitFor(2), (std::vector<std::string>{"gpi 2 1", "gpi 2 0"}));

    // Line 2 disabled: its change does not come; line 3's, raised after it, does.
    ASSERT_EQ(ulmot_EnableGPIEvent(client_, 2, 0), 0);
    ASSERT_EQ(uemu_SetGpi(reader_, 2, 200), UEMU_OK);
    ASSERT_EQ(ulmot_EnableGPIEvent(client_, 3, 1), 0);
    ASSERT_EQ(uemu_SetGpi(reader_, 3, 1), UEMU_OK);
    ASSERT_EQ(ulmot_WriteGPI(client_, 3, 0), 0);
    EXPECT_EQ(seen_.WaitFor(4), (std::vector<std::string>{"gpi 2 1", "gpi 2 0", "gpi 3 1", "gpi 3 0"}));
    EXPECT_EQ(ulmot_ReadGPI(client_, 3, &state), 0);
    EXPECT_EQ(state, 0);
    EXPECT_EQ(ulmot_ReadGPI(client_, 2, &state), 0);
    EXPECT_EQ(state, 1) << "level 200 reaches threshold 100";
}

TEST_F(ReaderEndToEnd, AllGposAreWrittenAtOnceAndReadBack) {
    Start();
    uint8_t count = 0;
    ASSERT_EQ(ulmot_GetGPOCount(client_, &count), 0);
    ASSERT_EQ(count, 4);
    for (uint8_t line = 1; line <= 4; ++line) ASSERT_EQ(ulmot_RegisterGPOEvent(client_, line, OnGpo, &seen_, 1), 0);

    const uint8_t outputs[] = {1, 1, 2, 0, 3, 1, 4, 1};
    ASSERT_EQ(ulmot_WriteAllGPO(client_, outputs, 4), 0);
    const uint8_t expected[] = {1, 0, 1, 1};
    for (uint8_t line = 1; line <= 4; ++line) {
        uint8_t state = 9;
        EXPECT_EQ(ulmot_ReadGPO(client_, line, &state), 0);
        EXPECT_EQ(state, expected[line - 1]) << "line " << int(line);
    }
    ASSERT_EQ(ulmot_WriteGPO(client_, 3, 0), 0);
    uint8_t state = 9;
    EXPECT_EQ(ulmot_ReadGPO(client_, 3, &state), 0);
    EXPECT_EQ(state, 0);
    EXPECT_EQ(seen_.WaitFor(4), (std::vector<std::string>{"gpo 1 1", "gpo 3 1", "gpo 4 1", "gpo 3 0"}));

    CaptureStderr();
    const uint8_t unknown[] = {9, 1};
    EXPECT_EQ(ulmot_WriteAllGPO(client_, unknown, 1), UEMU_RESULT_UNKNOWN_INSTANCE);
    EXPECT_THAT(GetCapturedStderr(), testing::HasSubstr("ulmot_WriteAllGPO: Failed (result 2)"));
}

TEST_F(ReaderEndToEnd, RadioRecordAndCountryCodes) {
    Start();
    RadioProperties p;
    std::memset(&p, 0xAB, sizeof p);
    ASSERT_EQ(ulmot_GetRadioProperties(client_, &p), 0);
    EXPECT_EQ(p.channel, 1);
    EXPECT_EQ(p.cycleTimeLeft, 0u);
    EXPECT_EQ(p.radioState, UEMU_RADIO_IDLE);
    EXPECT_EQ(p.temperatureState, UEMU_TEMPERATURE_NORMAL);
    EXPECT_EQ(p.temperature, 350);
    EXPECT_EQ(p.property10, 3000u);
    EXPECT_EQ(p.property11, 1000u);
    EXPECT_EQ(p.property12, 4);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(p.property13), p.property13Length), "R-000001");
    ASSERT_EQ(p.property8Count, 3);
    EXPECT_EQ(std::vector<uint32_t>(p.property8, p.property8 + 3), (std::vector<uint32_t>{902750, 903250, 903750}));
    EXPECT_EQ(p.property7, 1);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(p.property9), p.property9Length), "uemu-radio");

    ASSERT_EQ(ulmot_RegisterTextLogMessage(
                  client_, [](void *c, uint32_t, const char *text) { Of(c).Add(text); }, &seen_, 1),
              0);
    uint16_t code = 0;
    char text[80] = {};
    ASSERT_EQ(ulmot_GetRadioSupportedCountryCode(client_, 1, &code, text), 0);
    EXPECT_EQ(code, 276);
    EXPECT_EQ(std::string(text, strnlen(text, sizeof text)), "EU one channel");
    ASSERT_EQ(ulmot_GetRadioProperties(client_, &p), 0);
    EXPECT_EQ(p.property8Count, 1) << "the selection stays in force";
    EXPECT_EQ(p.property8[0], 865700u);
    EXPECT_EQ(p.property7, 0);
    EXPECT_TRUE(seen_.WaitForLine("radio: country code 276 selected (EU one channel)"));

    std::memset(text, 0, sizeof text);
    EXPECT_EQ(ulmot_GetRadioSupportedCountryCode(client_, 5, &code, text), -1) << "no such country code";
    EXPECT_EQ(code, 0);
    ASSERT_EQ(ulmot_GetRadioSupportedCountryCode(client_, 0, &code, text), 0);
    EXPECT_EQ(code, 840);
}

TEST_F(ReaderEndToEnd, RadioEventsReachTheirCallbacksWhileItTransmits) {
    config_.hopIntervalMs = 10;
    config_.dutyCycleOnMs = 30;
    config_.dutyCycleOffMs = 20;
    Start();
    ASSERT_EQ(ulmot_RegisterRadioEvents(
                  client_, [](void *c, uint32_t, uint8_t channel) { Of(c).Add(Line("channel", channel)); },
                  [](void *c, uint32_t, uint32_t left) { Of(c).Add(Line("left", left)); },
                  [](void *c, uint32_t, uint8_t state) { Of(c).Add(Line("state", state)); },
                  [](void *c, uint32_t, uint16_t t, uint8_t state) { Of(c).Add(Line("temperature", t, state)); },
                  &seen_),
              0);
    ASSERT_EQ(uemu_RadioTransmit(reader_, 1), UEMU_OK);
    EXPECT_TRUE(seen_.WaitForLine("channel 2"));
    EXPECT_TRUE(seen_.WaitForLine("state 2")) << "the duty cycle pauses";
    EXPECT_TRUE(seen_.WaitForLine("left 0"));
    ASSERT_EQ(uemu_RadioTransmit(reader_, 0), UEMU_OK);
    EXPECT_TRUE(seen_.WaitForLine("state 0"));
    const auto lines = seen_.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "state 1");
    EXPECT_EQ(lines[1], "left 30");
    ASSERT_EQ(uemu_SetRadioTemperature(reader_, 612), UEMU_OK);
    EXPECT_TRUE(seen_.WaitForLine("temperature 612 1"));
}

TEST_F(ReaderEndToEnd, ClockIsSetAndReadBackAndTheTimestampFollowsIt) {
    Start();
    uint8_t f[7] = {};
    ASSERT_EQ(ulmot_GetRTC(client_, &f[0], &f[1], &f[2], &f[3], &f[4], &f[5], &f[6]), 0);
    EXPECT_EQ(std::vector<uint8_t>(f, f + 7), (std::vector<uint8_t>{0, 0, 0, 1, 1, 26, 4}));

    const uint8_t set[7] = {58, 59, 23, 29, 2, 24, 0};
    ASSERT_EQ(ulmot_SetRTC(client_, &set[0], &set[1], &set[2], &set[3], &set[4], &set[5], &set[6]), 0);
    ASSERT_EQ(ulmot_GetRTC(client_, &f[0], &f[1], &f[2], &f[3], &f[4], &f[5], &f[6]), 0);
    EXPECT_EQ(std::vector<uint8_t>(f, f + 7), (std::vector<uint8_t>{58, 59, 23, 29, 2, 24, 4}))
        << "the week day follows from the date";
    uint8_t hour = 0;
    ASSERT_EQ(ulmot_GetRTC(client_, nullptr, nullptr, &hour, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(hour, 23);

    CaptureStderr();
    const uint8_t year2025 = 25;  // no February 29
    EXPECT_EQ(ulmot_SetRTC(client_, nullptr, nullptr, nullptr, nullptr, nullptr, &year2025, nullptr),
              UEMU_RESULT_OUT_OF_RANGE);
    EXPECT_THAT(GetCapturedStderr(), testing::HasSubstr("ulmot_SetRTC: Failed (result 20)"));

    uint32_t seconds = 0, milliseconds = 0;
    const uint32_t before = uemu_Now(reader_);
    ASSERT_EQ(ulmot_GetTimestamp(client_, &seconds, &milliseconds), 0);
    EXPECT_EQ(seconds, 1709251198u) << "2024-02-29 23:59:58";
    EXPECT_GE(milliseconds, before);
    EXPECT_LE(milliseconds, uemu_Now(reader_));
}

TEST_F(ReaderEndToEnd, VersionsAreFetchedOnceAndCached) {
    std::snprintf(config_.versions[3], sizeof config_.versions[3], "%s", "board X");
    config_.radioModel = 0x0A0B;
    Start();
    char text[100];
    ASSERT_EQ(ulmot_GetVersion(client_, 0, text, sizeof text), 0);
    EXPECT_STREQ(text, "uemu reader 1.0.0");
    // From now on type 0 goes to the io processor, which does not serve it:
    // only the cache can answer.
    ASSERT_EQ(ulmot_AttachTargetProcessor(client_, ULMOT_OBJ_VERSION, UEMU_IO_PROCESSOR_ID), 0);
    CaptureStderr();
    EXPECT_EQ(ulmot_GetPropertyString(client_, ULMOT_OBJ_VERSION, 1, 3, text, sizeof text), -1);
    GetCapturedStderr();
    ASSERT_EQ(ulmot_GetVersion(client_, 3, text, sizeof text), 0);
    EXPECT_STREQ(text, "board X");
    ASSERT_EQ(ulmot_GetVersion(client_, 9, text, sizeof text), 0);
    EXPECT_STREQ(text, "2026-01-01");
    uint16_t model = 0;
    ASSERT_EQ(ulmot_GetRadioModel(client_, &model), 0);
    EXPECT_EQ(model, 0x0A0B);
    EXPECT_EQ(ulmot_GetVersion(client_, 10, text, sizeof text), -5);
    EXPECT_STREQ(text, "UNKNOWN");
}

TEST_F(ReaderEndToEnd, Gen2SpecificationsAndParameterSets) {
    Start();
    ProtocolParameter session{1, 2}, parmSet{8, 3}, dwell{13, 500};
    ProtocolParameter *const parameters[] = {&session, &parmSet, &dwell};
    uint8_t instance = 0;
    ASSERT_EQ(ulmot_AddGen2ProtocolSpecification(client_, &instance, parameters, 3, 1), 0);
    EXPECT_EQ(instance, 1);
    uint8_t i1, i2, i3, i4, i5, i6, i11, i10;
    uint16_t i8, i9, i12;
    ASSERT_EQ(ulmot_GetGen2ProtocolSpecification(client_, instance, &i1, &i2, &i3, &i4, &i5, &i6, &i11, &i8, &i9,
                                                 &i10, &i12),
              0);
    EXPECT_EQ((std::vector<int>{i1, i2, i3, i4, i5, i6, i11, i8, i9, i10, i12}),
              (std::vector<int>{2, 0, 4, 0, 15, 0, 1, 3, 16, 1, 0}));
    uint32_t utc = 0;
    ASSERT_EQ(ulmot_GetGen2ProtocolSpecificationUTCTime(client_, instance, &utc), 0);
    EXPECT_EQ(utc, kNewYear2026);

    ProtocolParameter badSession{1, 4};
    ProtocolParameter *const bad[] = {&badSession};
    CaptureStderr();
    EXPECT_EQ(ulmot_SetPropertiesGen2ProtocolSpecification(client_, instance, bad, 1), UEMU_RESULT_OUT_OF_RANGE);
    GetCapturedStderr();

    uint8_t sets = 0;
    ASSERT_EQ(ulmot_GetGen2ParmSetCount(client_, &sets), 0);
    EXPECT_EQ(sets, 4);
    Gen2ParmSet set;
    std::memset(&set, 0, sizeof set);
    ASSERT_EQ(ulmot_GetGen2ParmSet(client_, 2, &set), 0);
    EXPECT_EQ(set.item0, 2);
    EXPECT_EQ(set.item1, 320000u);
    EXPECT_EQ((std::vector<int>{set.item2, set.item3, set.item4, set.item5, set.item6, set.item11, set.item9,
                                set.item10, set.item12, set.item13}),
              (std::vector<int>{2, 50, 1, 200, 160, 90, 1, 2, 2, 0}));
}

TEST_F(ReaderEndToEnd, CtiEchoRoundTrip) {
    Start();
    uint8_t instance = 0;
    ASSERT_EQ(ulmot_AddCTIObject(client_, &instance), 0);
    const uint8_t ping[] = {'p', 'i', 'n', 'g'};
    uint16_t status = 99;
    uint8_t response[8];
    uint16_t length = sizeof response;
    ASSERT_EQ(ulmot_CTIRequest(client_, instance, UEMU_CTI_ECHO, ping, sizeof ping, &status, response, &length), 0);
    EXPECT_EQ(status, UEMU_CTI_DONE);
    EXPECT_EQ(Bytes(response, response + length), (Bytes{'p', 'i', 'n', 'g'}));

    length = sizeof response;
    ASSERT_EQ(ulmot_CTIRequest(client_, instance, 77, nullptr, 0, &status, response, &length), 0);
    EXPECT_EQ(status, UEMU_CTI_UNKNOWN_REQUEST);
    EXPECT_EQ(length, 0);

    const uint8_t ten[] = {0x00, 0x0A};
    length = sizeof response;
    CaptureStderr();
    EXPECT_EQ(ulmot_CTIRequest(client_, instance, UEMU_CTI_FILL, ten, sizeof ten, &status, response, &length), -3);
    EXPECT_THAT(GetCapturedStderr(), testing::HasSubstr("ulmot_CTIRequest: Failed to find data in response"));
    EXPECT_EQ(length, 10) << "the length the answer needs";
}

TEST_F(ReaderEndToEnd, ResetAndSurveyEventsReachTheirCallbacks) {
    Start();
    ASSERT_EQ(ulmot_RegisterResetDone(
                  client_, [](void *c, uint32_t, uint8_t spec) { Of(c).Add(Line("reset", spec)); }, &seen_, 1),
              0);
    uint8_t instance = 0;
    ASSERT_EQ(ulmot_AddResetSpecification(client_, &instance, 0, ULMOT_OBJ_GPO, 0, 0), 0);
    EXPECT_EQ(seen_.WaitFor(1), (std::vector<std::string>{Line("reset", instance)}));

    ASSERT_EQ(ulmot_RegisterRFSurveyEvents(
                  client_, [](void *c, uint32_t, uint8_t spec) { Of(c).Add(Line("survey started", spec)); },
                  [](void *c, uint32_t, uint8_t spec) { Of(c).Add(Line("survey done", spec)); },
                  [](void *c, uint32_t, uint8_t, uint32_t channel, int32_t rssi, int32_t peak, uint16_t samples,
                     uint8_t antenna) {
                      Of(c).Add("measured " + std::to_string(channel) + " " + std::to_string(rssi) + " " +
                                std::to_string(peak) + " " + std::to_string(samples) + " " +
                                std::to_string(antenna));
                  },
                  &seen_),
              0);
    uint8_t survey = 0;
    ASSERT_EQ(ulmot_AddRFSurveySpecification(client_, &survey, 2, 0), 0);
    EXPECT_EQ(seen_.WaitFor(6), (std::vector<std::string>{Line("reset", instance), Line("survey started", survey),
                                                          "measured 902750 -700 -640 1 2",
                                                          "measured 903250 -710 -650 1 2",
                                                          "measured 903750 -720 -660 1 2", Line("survey done", survey)}));
}

TEST_F(ReaderEndToEnd, AlarmAndTextLogEventsReachTheirCallbacks) {
    Start();
    uint8_t watchesTwo = 0, watchesAll = 0;
    ASSERT_EQ(ulmot_AddNxpAlarmSpecification(client_, &watchesTwo, ULMOT_OBJ_ANTENNA_PAIR, 2), 0);
    ASSERT_EQ(ulmot_AddNxpAlarmSpecification(client_, &watchesAll, ULMOT_OBJ_ANTENNA_PAIR, 0), 0);
    ASSERT_EQ(ulmot_RegisterNxpAlarmEvent(
                  client_, [](void *c, uint32_t, uint8_t spec, uint8_t pair) { Of(c).Add(Line("alarm", spec, pair)); },
                  &seen_, 1),
              0);
    ASSERT_EQ(ulmot_RegisterTextLogMessage(
                  client_, [](void *c, uint32_t, const char *text) { Of(c).Add(text); }, &seen_, 1),
              0);
    EXPECT_EQ(uemu_RaiseAlarm(reader_, 3), 1);
    EXPECT_EQ(uemu_RaiseAlarm(reader_, 2), 2);
    EXPECT_EQ(uemu_Log(reader_, "hello"), 1);
    const uint8_t day = 2;
    ASSERT_EQ(ulmot_SetRTC(client_, nullptr, nullptr, nullptr, &day, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(seen_.WaitFor(5),
              (std::vector<std::string>{Line("alarm", watchesAll, 3), Line("alarm", watchesTwo, 2),
                                        Line("alarm", watchesAll, 2), "hello", "clock set to 2026-01-02 00:00:00"}));

    // Disabled: the reader sends nothing more, and the callbacks are gone.
    ASSERT_EQ(ulmot_RegisterTextLogMessage(client_, nullptr, nullptr, 0), 0);
    EXPECT_EQ(uemu_Log(reader_, "unheard"), 0);
    ASSERT_EQ(ulmot_RegisterNxpAlarmEvent(client_, nullptr, nullptr, 0), 0);
    EXPECT_EQ(uemu_RaiseAlarm(reader_, 2), 2) << "both specifications still raise";
    EXPECT_EQ(uemu_Log(reader_, "still unheard"), 0);
    EXPECT_EQ(seen_.Lines().size(), 5u);
}

TEST_F(ReaderEndToEnd, ARunningScheduleMakesTheRadioHopAndIsLogged) {
    config_.hopIntervalMs = 10;
    Start();
    for (uint32_t type : {ULMOT_OBJ_INVENTORY, ULMOT_OBJ_SCHEDULE, ULMOT_OBJ_ANTENNA}) {
        ASSERT_EQ(ulmot_AttachDefaultObjectProcessor(client_, type, 0, 0), 0) << "type " << type;
    }
    ASSERT_EQ(ulmot_RegisterRadioEvents(
                  client_, [](void *c, uint32_t, uint8_t channel) { Of(c).Add(Line("channel", channel)); }, nullptr,
                  [](void *c, uint32_t, uint8_t state) { Of(c).Add(Line("state", state)); }, nullptr, &seen_),
              0);
    ASSERT_EQ(ulmot_RegisterTextLogMessage(
                  client_, [](void *c, uint32_t, const char *text) { Of(c).Add(text); }, &seen_, 1),
              0);
    uint8_t inventory = 0;
    ASSERT_EQ(ulmot_AddInventorySpecification(client_, &inventory, 517, 0, 0, 0, nullptr, 0), 0);
    ScheduleEntry entry{0, ULMOT_OBJ_INVENTORY, inventory};
    ScheduleEntry *const entries[] = {&entry};
    uint8_t schedule = 0;
    ASSERT_EQ(ulmot_AddScheduleSpecification(client_, &schedule, entries, 1, 0, 0), 0);

    ASSERT_EQ(ulmot_StartScheduleSpecification(client_, schedule, 1), 0);
    EXPECT_TRUE(seen_.WaitForLine(Line("schedule", schedule) + " started"));
    EXPECT_TRUE(seen_.WaitForLine("state 1"));
    EXPECT_TRUE(seen_.WaitForLine("channel 3")) << "hops while the schedule runs";
    uint8_t status = 9;
    ASSERT_EQ(ulmot_StopScheduleSpecification(client_, schedule, &status), 0);
    EXPECT_TRUE(seen_.WaitForLine(Line("schedule", schedule) + " stopped"));
    EXPECT_TRUE(seen_.WaitForLine("state 0")) << "idle once no schedule runs";
}

}  // namespace
