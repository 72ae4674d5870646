// The reader families' events: each handler entered through the client's
// event dispatch table over hand-built event bodies (items present, missing,
// of another type, oversized or cut short), and the registrations seen from
// the reader's side of a session.
#include <atomic>

#include "objects_reader_support.h"

namespace {

using namespace ulmot::test;
using ulmot::processors::kClientEventTable;

MessageBlock *BlockOf(const Bytes &bytes) {
    MessageBlock *b = ulmot_BufferAllocate(static_cast<uint32_t>(bytes.size()) + 8, 8);
    for (uint8_t v : bytes) *b->writePtr++ = v;
    return b;
}

Bytes Text(uint16_t length, char fill = 'a') {
    Bytes b = {0x04, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
    for (uint16_t i = 0; i < length; ++i) b.push_back(static_cast<uint8_t>(fill + i % 26));
    return b;
}

// A client with no session, whose handlers are entered straight from the
// dispatch table as the queue thread enters them.
class ReaderEvents : public PoolTest {
protected:
    void SetUp() override {
        PoolTest::SetUp();
        client_ = std::make_unique<ClientProcessor>();
        Calls().Take();
    }
    void TearDown() override {
        Calls().Take();
        PoolTest::TearDown();
    }
    void RegisterAll() {
        auto &r = client_->reader;
        r.gpiEvent.Set(OnGpi, kContext);
        r.gpoEvent.Set(OnGpo, kContext);
        r.radio.Set({OnChannel, OnCycleTimeLeft, OnRadioState, OnTemperature, kContext});
        r.resetDone.Set(OnResetDone, kContext);
        r.rfSurvey.Set({OnSurvey0, OnSurvey1, OnMeasurement, kContext});
        r.nxpAlarm.Set(OnAlarm, kContext);
        r.textLog.Set(OnTextLog, kContext);
    }
    // Enters the table's handler and releases the block as the dispatcher
    // does; false when the table has no handler there.
    bool Dispatch(uint8_t objectType, uint8_t eventType, uint8_t instance, uint32_t timestamp, const Bytes &body) {
        const auto handler = kClientEventTable[objectType][eventType];
        if (handler == nullptr) return false;
        MessageBlock *b = BlockOf(body);
        const Bytes before = DataOf(b);
        handler(client_.get(), instance, timestamp, b);
        EXPECT_EQ(DataOf(b), before) << "a handler reads the event without changing it";
        freeb(b);
        return true;
    }
    std::unique_ptr<ClientProcessor> client_;
};

struct EventCase {
    const char *name;
    uint8_t objectType, eventType, instance;
    Bytes body;
    std::vector<std::string> calls;
    std::vector<std::string> lines;  // every line written, in order
};

TEST_F(ReaderEvents, EachHandlerOverItsItems) {
    RegisterAll();
    Bytes text128 = Text(128);
    Bytes text129 = Text(129);
    std::string letters128;
    for (int i = 0; i < 128; ++i) letters128 += static_cast<char>('a' + i % 26);
    const EventCase cases[] = {
        {"GPI state", 2, 0, 3, {0x00, 0x01}, {"gpi(1000,3,1)"}, {}},
        {"GPI without its state", 2, 0, 3, {0x10, 0x01}, {}, {"ulmot_ClientHandleGPI: Failed to extract GPI 3 state from event"}},
        {"GPI state of another type", 2, 0, 200, {0x01, 0x00, 0x01}, {},
         {"ulmot_ClientHandleGPI: Failed to extract GPI 200 state from event"}},
        {"GPI state cut short", 2, 0, 1, {0x00}, {}, {"ulmot_ClientHandleGPI: Failed to extract GPI 1 state from event"}},
        {"GPO state", 1, 0, 4, {0x00, 0x07}, {"gpo(1000,4,7)"}, {}},
        {"GPO without its state: 0", 1, 0, 4, {}, {"gpo(1000,4,0)"}, {}},
        {"reset done", 9, 0, 5, {0x00, 0x01}, {"reset(1000,5)"}, {}},
        {"channel", 12, 0, 1, {0x00, 0x2A}, {"channel(1000,42)"}, {}},
        {"channel missing", 12, 0, 1, {}, {"channel(1000,0)"},
         {"ulmot_ClientHandleChannelChange: Failed to find channel in event"}},
        {"cycle time left", 12, 1, 1, {0x12, 0x00, 0x01, 0x00, 0x00}, {"cycle(1000,65536)"}, {}},
        {"cycle time left of another type", 12, 1, 1, {0x11, 0x00, 0x01}, {"cycle(1000,0)"},
         {"ulmot_ClientHandleDutyCycleState: Failed to find cycle time left in event"}},
        {"radio state", 12, 2, 1, {0x20, 0x03}, {"radiostate(1000,3)"}, {}},
        {"radio state missing", 12, 2, 1, {0x30, 0x03}, {"radiostate(1000,0)"},
         {"ulmot_ClientHandleDutyCycleState: Failed to find radio state in event"}},
        {"temperature", 12, 3, 1, {0x30, 0x02, 0x41, 0xFF, 0xFE}, {"temperature(1000,65534,2)"}, {}},
        {"temperature without item 4", 12, 3, 1, {0x30, 0x02}, {"temperature(1000,0,2)"},
         {"ulmot_ClientHandleDutyCycleState: Failed to find temperature in event"}},
        {"temperature without either", 12, 3, 1, {}, {"temperature(1000,0,0)"},
         {"ulmot_ClientHandleDutyCycleState: Failed to find temperature in event",
          "ulmot_ClientHandleDutyCycleState: Failed to find temperature state in event"}},
        {"text", 13, 0, 0, {0x04, 0x00, 0x05, 'h', 'e', 'l', 'l', 'o'}, {"textlog(1000,5)", "hello"}, {}},
        {"empty text", 13, 0, 0, Text(0), {"textlog(1000,0)", ""}, {}},
        {"text of 128 bytes", 13, 0, 0, text128, {"textlog(1000,128)", letters128}, {}},
        {"text of 129 bytes is dropped", 13, 0, 0, text129, {},
         {"ulmot_ClientHandleTextLogMessage: Failed to find message in event"}},
        {"no text", 13, 0, 0, {0x14, 0x00, 0x01, 'x'}, {},
         {"ulmot_ClientHandleTextLogMessage: Failed to find message in event"}},
        {"text cut short", 13, 0, 0, {0x04, 0x00, 0x0A, 'a', 'b', 'c'}, {},
         {"ulmot_ClientHandleTextLogMessage: Failed to find message in event"}},
        {"RF survey event 0", 19, 0, 2, {}, {"survey0(1000,2)"}, {}},
        {"RF survey event 1", 19, 1, 3, {}, {"survey1(1000,3)"}, {}},
        {"measurement", 19, 2, 4,
         {0x22, 0, 0, 0, 5, 0x31, 0xFF, 0x38, 0x41, 0x80, 0x00, 0x51, 0xFF, 0xFF, 0x63, 0x11, 0x04},
         {"measurement(1000,4,5,-200,-32768,65535,4)"}, {}},
        {"measurement without items 4 to 6", 19, 2, 4, {0x22, 0, 0, 0, 5, 0x31, 0x00, 0x7F},
         {"measurement(1000,4,5,127,0,0,0)"}, {}},
        {"measurement without channel and RSSI", 19, 2, 4, {0x41, 0x00, 0x01, 0x51, 0x00, 0x02, 0x63, 0x11, 0x09},
         {"measurement(1000,4,0,0,1,2,9)"},
         {"ulmot_ClientHandleRFSurveyMeasurement: Failed to find current channel in event",
          "ulmot_ClientHandleRFSurveyMeasurement: Failed to find average RSSI in event"}},
        {"alarm", 22, 0, 3, {0x13, 0x11, 0x02}, {"alarm(1000,3,2)"}, {}},
        {"alarm takes the first antenna pair", 22, 0, 3, {0x13, 0x11, 0x05, 0x13, 0x11, 0x06}, {"alarm(1000,3,5)"}, {}},
        {"alarm without an antenna pair", 22, 0, 3, {0x10, 0x02}, {"alarm(1000,3,0)"},
         {"ulmot_ClientHandleNxpAlarmEvent: Failed to find antenna pair"}},
    };
    for (const EventCase &c : cases) {
        SCOPED_TRACE(c.name);
        CaptureStderr();
        EXPECT_TRUE(Dispatch(c.objectType, c.eventType, c.instance, 1000, c.body));
        const std::string err = GetCapturedStderr();
        EXPECT_EQ(Calls().Take(), c.calls);
        size_t from = 0;
        for (const std::string &line : c.lines) {
            const size_t at = err.find("]" + line + "\n", from);
            EXPECT_NE(at, std::string::npos) << "missing, or out of order: " << line;
            if (at != std::string::npos) from = at + line.size();
        }
        EXPECT_EQ(static_cast<size_t>(std::count(err.begin(), err.end(), '\n')), c.lines.size()) << err;
    }
}

// Every handler of these families, with no callback registered: nothing is
// called and nothing is written, whatever the event holds.
TEST_F(ReaderEvents, EmptySlotsTakeNoAction) {
    const std::pair<uint8_t, uint8_t> rows[] = {{1, 0},  {2, 0},  {9, 0},  {12, 0}, {12, 1}, {12, 2},
                                                {12, 3}, {13, 0}, {19, 0}, {19, 1}, {19, 2}, {22, 0}};
    for (auto [type, event] : rows) {
        SCOPED_TRACE(std::to_string(type) + "/" + std::to_string(event));
        CaptureStderr();
        EXPECT_TRUE(Dispatch(type, event, 1, 5, {}));
        EXPECT_EQ(GetCapturedStderr(), "");
        EXPECT_TRUE(Calls().Take().empty());
    }
}

// A callback slot is read whole: while one thread keeps re-registering, a
// handler never pairs one registration's callback with another's context.
void *const kContextA = reinterpret_cast<void *>(uintptr_t{0xA});
void *const kContextB = reinterpret_cast<void *>(uintptr_t{0xB});
std::atomic<int> torn{0}, calledA{0}, calledB{0};

void GpiA(void *c, uint32_t, uint8_t, uint8_t) { c == kContextA ? ++calledA : ++torn; }
void GpiB(void *c, uint32_t, uint8_t, uint8_t) { c == kContextB ? ++calledB : ++torn; }
void ChannelA(void *c, uint32_t, uint8_t) { c == kContextA ? ++calledA : ++torn; }
void TemperatureB(void *c, uint32_t, uint16_t, uint8_t) { c == kContextB ? ++calledB : ++torn; }
void MeasurementA(void *c, uint32_t, uint8_t, uint32_t, int32_t, int32_t, uint16_t, uint8_t) {
    c == kContextA ? ++calledA : ++torn;
}
void Survey0B(void *c, uint32_t, uint8_t) { c == kContextB ? ++calledB : ++torn; }

TEST_F(ReaderEvents, SlotsAreReadWholeWhileReRegistering) {
    torn = calledA = calledB = 0;
    std::atomic<bool> stop{false};
    std::atomic<int> rounds{0};
    ClientProcessor *c = client_.get();
    std::thread registrar([&] {
        for (int i = 0; !stop; ++i) {
            if (i % 2 == 0) {
                ulmot_SetGPIEventHandler(c, GpiA, kContextA);
                c->reader.radio.Set({ChannelA, nullptr, nullptr, nullptr, kContextA});
                c->reader.rfSurvey.Set({nullptr, nullptr, MeasurementA, kContextA});
            } else {
                ulmot_SetGPIEventHandler(c, GpiB, kContextB);
                c->reader.radio.Set({nullptr, nullptr, nullptr, TemperatureB, kContextB});
                c->reader.rfSurvey.Set({Survey0B, nullptr, nullptr, kContextB});
            }
            ++rounds;
        }
    });
    while (rounds.load() == 0) std::this_thread::yield();
    const Bytes measurement = {0x22, 0, 0, 0, 5, 0x31, 0x00, 0x01, 0x41, 0, 0, 0x51, 0, 0};
    // Until both registrations have been seen many times (or 3 s passed).
    const auto start = Clock::now();
    while ((calledA.load() < 500 || calledB.load() < 500) && MsSince(start) < 3000) {
        Dispatch(2, 0, 1, 1, {0x00, 0x01});
        Dispatch(12, 0, 1, 1, {0x00, 0x01});
        Dispatch(12, 3, 1, 1, {0x30, 0x01, 0x41, 0x00, 0x01});
        Dispatch(19, 0, 1, 1, {});
        Dispatch(19, 2, 1, 1, measurement);
    }
    stop = true;
    registrar.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(calledA.load(), 0);
    EXPECT_GT(calledB.load(), 0);
}

// Registrations seen through a session: the events the reader sends after
// them reach (or do not reach) the callbacks.
class ReaderEventsOverASession : public ReaderObjectsTest {
protected:
    void Register(const std::function<int32_t()> &call, const Bytes &expected) {
        Bytes request;
        EXPECT_EQ(Exchange(call, &request, ResultBody(0)), 0);
        EXPECT_EQ(WithoutMessageId(request), expected);
    }
    // Sends a GPI event as a marker: once its callback ran, every earlier
    // event has been handled.
    std::vector<std::string> CallsUpToMarker() {
        ulmot_SetGPIEventHandler(client_, OnGpi, kContext);
        SendEvent(2, 0, 99, 1, {0x00, 0x63});
        std::vector<std::string> seen;
        for (int i = 0; i < 300; ++i) {
            for (std::string &s : Calls().Take()) seen.push_back(std::move(s));
            if (!seen.empty() && seen.back() == "gpi(1,99,99)") {
                seen.pop_back();
                return seen;
            }
            Calls().WaitFor(1, 20);
        }
        ADD_FAILURE() << "the marker event never arrived";
        return seen;
    }
};

TEST_F(ReaderEventsOverASession, DisablingOneGpiLineKeepsTheCallbackForTheOthers) {
    Register([&] { return ulmot_RegisterGPIEvent(client_, 1, OnGpi, kContext, 1); }, RequestBytes(2, 5, 1, MaskBody(1, ~0u)));
    Register([&] { return ulmot_RegisterGPIEvent(client_, 2, OnGpi, kContext, 0); }, RequestBytes(2, 5, 2, MaskBody(1, 0)));
    SendEvent(2, 0, 1, 4242, {0x00, 0x01});
    EXPECT_EQ(CallsUpToMarker(), (std::vector<std::string>{"gpi(4242,1,1)"}));
}

TEST_F(ReaderEventsOverASession, DisabledRegistrationsDropTheirEvents) {
    Register([&] { return ulmot_RegisterGPOEvent(client_, 1, OnGpo, kContext, 1); }, RequestBytes(1, 5, 1, MaskBody(1, ~0u)));
    Register([&] { return ulmot_RegisterResetDone(client_, OnResetDone, kContext, 1); }, RequestBytes(9, 5, 0, MaskBody(1, ~0u)));
    Register([&] { return ulmot_RegisterNxpAlarmEvent(client_, OnAlarm, kContext, 1); },
             RequestBytes(22, 5, 0, MaskBody(1, ~0u)));
    Register([&] { return ulmot_RegisterTextLogMessage(client_, OnTextLog, kContext, 1); },
             RequestBytes(13, 5, 0, MaskBody(1, ~0u)));
    SendEvent(1, 0, 1, 10, {0x00, 0x01});
    SendEvent(9, 0, 2, 11, {});
    SendEvent(22, 0, 3, 12, {0x13, 0x11, 0x01});
    SendEvent(13, 0, 0, 13, {0x04, 0x00, 0x02, 'o', 'k'});
    EXPECT_EQ(CallsUpToMarker(),
              (std::vector<std::string>{"gpo(10,1,1)", "reset(11,2)", "alarm(12,3,1)", "textlog(13,2)", "ok"}));

    // Disabled with a callback given: the slots are emptied all the same.
    Register([&] { return ulmot_RegisterGPOEvent(client_, 1, OnGpo, kContext, 0); }, RequestBytes(1, 5, 1, MaskBody(1, 0)));
    Register([&] { return ulmot_RegisterResetDone(client_, OnResetDone, kContext, 0); }, RequestBytes(9, 5, 0, MaskBody(1, 0)));
    Register([&] { return ulmot_RegisterNxpAlarmEvent(client_, OnAlarm, kContext, 0); }, RequestBytes(22, 5, 0, MaskBody(1, 0)));
    Register([&] { return ulmot_RegisterTextLogMessage(client_, OnTextLog, kContext, 0); }, RequestBytes(13, 5, 0, MaskBody(1, 0)));
    SendEvent(1, 0, 1, 20, {0x00, 0x01});
    SendEvent(9, 0, 2, 21, {});
    SendEvent(22, 0, 3, 22, {0x13, 0x11, 0x01});
    SendEvent(13, 0, 0, 23, {0x04, 0x00, 0x02, 'n', 'o'});
    EXPECT_TRUE(CallsUpToMarker().empty());
}

TEST_F(ReaderEventsOverASession, RadioAndSurveyCallbacksAreReplacedAsASet) {
    Register([&] { return ulmot_RegisterRadioEvents(client_, OnChannel, OnCycleTimeLeft, OnRadioState, OnTemperature, kContext); },
             RequestBytes(12, 5, 0, MaskBody(~0u, 15)));
    Register([&] { return ulmot_RegisterRFSurveyEvents(client_, OnSurvey0, OnSurvey1, OnMeasurement, kContext); },
             RequestBytes(19, 5, 0, MaskBody(~0u, 7)));
    SendEvent(12, 0, 1, 1, {0x00, 0x05});
    SendEvent(12, 1, 1, 2, {0x12, 0, 0, 0, 9});
    SendEvent(12, 2, 1, 3, {0x20, 0x01});
    SendEvent(12, 3, 1, 4, {0x41, 0x00, 0x20, 0x30, 0x01});
    SendEvent(19, 0, 6, 5, {});
    SendEvent(19, 1, 6, 6, {});
    SendEvent(19, 2, 6, 7, {0x22, 0, 0, 0, 3, 0x31, 0xFF, 0xFF});
    EXPECT_EQ(CallsUpToMarker(),
              (std::vector<std::string>{"channel(1,5)", "cycle(2,9)", "radiostate(3,1)", "temperature(4,32,1)",
                                        "survey0(5,6)", "survey1(6,6)", "measurement(7,6,3,-1,0,0,0)"}));

    Register([&] { return ulmot_RegisterRadioEvents(client_, nullptr, nullptr, nullptr, OnTemperature, kContext); },
             RequestBytes(12, 5, 0, MaskBody(~0u, 8)));
    Register([&] { return ulmot_RegisterRFSurveyEvents(client_, nullptr, OnSurvey1, nullptr, kContext); },
             RequestBytes(19, 5, 0, MaskBody(~0u, 2)));
    SendEvent(12, 0, 1, 1, {0x00, 0x05});
    SendEvent(12, 3, 1, 4, {0x41, 0x00, 0x20, 0x30, 0x01});
    SendEvent(19, 0, 6, 5, {});
    SendEvent(19, 1, 6, 6, {});
    SendEvent(19, 2, 6, 7, {0x22, 0, 0, 0, 3, 0x31, 0xFF, 0xFF});
    EXPECT_EQ(CallsUpToMarker(), (std::vector<std::string>{"temperature(4,32,1)", "survey1(6,6)"}));
}

}  // namespace
