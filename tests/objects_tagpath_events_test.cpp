// Events of the tag path families through the client's dispatch table: each
// event built byte by byte, sent by the reader, and the callback it reaches
// recorded with every argument, plus the lines logged on the way.
#include "objects_tagpath_support.h"

namespace {

using namespace ulmot::test;

Recorder &Of(void *context) { return *static_cast<Recorder *>(context); }

void Event0(void *c, uint32_t ts, uint8_t inst) { Of(c).Add(Format("inventory0 ts%u #%u", ts, inst)); }
void Event1(void *c, uint32_t ts, uint8_t inst, MessageBlock *event) {
    uint8_t item3 = 0;
    const int32_t r = ulmot_BufferReadDTPInt8(event, 3, &item3);
    Of(c).Add(Format("inventory1 ts%u #%u item3 %d/%u", ts, inst, r, item3));
}
void Report(void *c, uint32_t ts, uint8_t inst, const TagReport *r) {
    Of(c).Add(Format("report ts%u #%u format %u pc %04X epc %s crc %04X antenna %u rssi %d", ts, inst, r->format,
                     r->pcWord, Hex(r->data, r->dataLength).c_str(), r->crc, r->item9Instance,
                     static_cast<int16_t>(r->item10)));
}
void AccessDataComplete(void *c, uint32_t ts, uint8_t inst, uint8_t success, uint8_t engine, uint16_t length,
                        const uint8_t *data) {
    Of(c).Add(Format("data-complete ts%u #%u success %u engine %u length %u data %s", ts, inst, success, engine,
                     length, Hex(data, length).c_str()));
}
void AccessComplete(void *c, uint32_t ts, uint8_t inst, uint8_t success, uint8_t engine) {
    Of(c).Add(Format("complete ts%u #%u success %u engine %u", ts, inst, success, engine));
}
void AccessStop(void *c, uint32_t ts, uint8_t inst) { Of(c).Add(Format("stop ts%u #%u", ts, inst)); }
void AccessClientRequest(void *c, uint32_t ts, uint8_t inst) { Of(c).Add(Format("client-request ts%u #%u", ts, inst)); }
void AccessClientRequestComplete(void *c, uint32_t ts, uint8_t inst) {
    Of(c).Add(Format("client-request-complete ts%u #%u", ts, inst));
}
void Vswr(void *c, uint32_t ts, uint8_t inst, uint8_t status) { Of(c).Add(Format("vswr ts%u #%u status %u", ts, inst, status)); }
void Activation(void *c, uint32_t ts, uint8_t inst, const AntennaPairActivation *a) {
    Of(c).Add(a ? Format("activation ts%u #%u %u %u %u", ts, inst, a->item0, a->item1, a->item2)
                : Format("activation ts%u #%u none", ts, inst));
}
void ScheduleStart(void *c, uint32_t ts, uint32_t id) { Of(c).Add(Format("schedule-start ts%u id %u", ts, id)); }
void ScheduleStop(void *c, uint32_t ts, uint32_t id, uint8_t reason) {
    Of(c).Add(Format("schedule-stop ts%u id %u reason %u", ts, id, reason));
}

struct EventCase {
    uint8_t objectType, eventType, instance;
    uint32_t timestamp;
    Bytes items;
    std::string callback;           // the one line the callback records
    std::vector<std::string> lines; // and every line logged on the way
};

class TagPathEvents : public TagPathTest {
protected:
    void Register(const std::function<int32_t()> &call) {
        const Exchange x = Run(call, {Ok()});
        ASSERT_EQ(x.result, 0);
        ASSERT_EQ(x.requests.size(), 1u);
    }
    void RegisterAll() {
        Register([&] { return ulmot_RegisterInventoryEvents(client_, Event0, Event1, Report, &seen_); });
        Register([&] {
            return ulmot_RegisterAccessEvents(client_, AccessStop, AccessComplete, AccessDataComplete, AccessClientRequest,
                                              AccessClientRequestComplete, &seen_);
        });
        Register([&] { return ulmot_RegisterTxAntennaVSWRStatus(client_, Vswr, &seen_, 1); });
        Register([&] { return ulmot_RegisterAntennaPairActivation(client_, Activation, &seen_, 1); });
        Register([&] { return ulmot_RegisterScheduleEvents(client_, ScheduleStart, ScheduleStop, &seen_); });
    }
    void Expect(const EventCase &c) {
        SCOPED_TRACE(c.callback);
        testing::internal::CaptureStderr();
        SendEvent(c.objectType, c.eventType, c.instance, c.timestamp, c.items);
        const bool arrived = seen_.WaitFor(1);
        const std::string log = testing::internal::GetCapturedStderr();
        ASSERT_TRUE(arrived);
        EXPECT_EQ(seen_.Take(), std::vector<std::string>{c.callback});
        EXPECT_EQ(LogLines(log), c.lines);
    }

    Recorder seen_;
};

TEST_F(TagPathEvents, InventoryEventsReachTheirCallbacks) {
    RegisterAll();
    const EventCase cases[] = {
        {5, 0, 3, 100, {}, "inventory0 ts100 #3", {}},
        {5, 1, 4, 101, {0x30, 0x2A}, "inventory1 ts101 #4 item3 0/42", {}},
        {5, 1, 4, 102, {}, "inventory1 ts102 #4 item3 -8/0", {}},
        {5, 2, 5, 103,
         {0x01, 0x02, 0x05, 0x93, 0x08, 0x02, 0xA1, 0xFF, 0xC4, 0x47, 0x00, 0x0F, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
          0x40, 0x30, 0x00, 0xE2, 0x00, 0x12, 0x34, 0x5C, 0x3A},
         "report ts103 #5 format 517 pc 3000 epc E2 00 12 34 crc 5C3A antenna 2 rssi -60", {}},
        {5, 2, 6, 104, {0x01, 0x00, 0x07, 0x47, 0x00, 0x09, 0x01, 0, 0, 0, 0, 0x00, 0x64, 0xAA, 0xBB},
         "report ts104 #6 format 7 pc 0000 epc null crc 0000 antenna 0 rssi 0", {}},  // 100 bits but 2 bytes: not taken
    };
    for (const EventCase &c : cases) Expect(c);
}

TEST_F(TagPathEvents, AccessEventsReadResultEngineCodeAndData) {
    RegisterAll();
    const EventCase cases[] = {
        {7, 0, 1, 10, {0xA0, 0x00, 0xB0, 0x09, 0x74, 0x00, 0x03, 0xAA, 0xBB, 0xCC},
         "data-complete ts10 #1 success 1 engine 9 length 3 data AA BB CC", {}},
        {7, 0, 1, 11, {0xA0, 0x03, 0xB0, 0x09}, "data-complete ts11 #1 success 0 engine 9 length 0 data null",
         {"ulmot_ClientHandleAccessDataComplete: Failed to find data in result"}},
        {7, 0, 2, 12, {}, "data-complete ts12 #2 success 1 engine 0 length 0 data null",
         {"ulmot_ClientHandleAccessDataComplete: Failed to find result in event",
          "ulmot_ClientHandleAccessDataComplete: Failed to find engine code in result",
          "ulmot_ClientHandleAccessDataComplete: Failed to find data in result"}},
        {7, 0, 2, 13, {0xA0, 0x00, 0xB0, 0x01, 0x74, 0x00, 0x10, 0xAA},
         "data-complete ts13 #2 success 1 engine 1 length 0 data null",
         {"ulmot_ClientHandleAccessDataComplete: Failed to find data in result"}},
        {7, 0, 2, 14, {0xA0, 0x00, 0xB0, 0x01, 0x74, 0x00, 0x00}, "data-complete ts14 #2 success 1 engine 1 length 0 data null",
         {}},
        {7, 1, 3, 15, {0xA0, 0x00, 0xB0, 0x02}, "complete ts15 #3 success 1 engine 2", {}},
        {7, 1, 3, 16, {0xA0, 0xFF}, "complete ts16 #3 success 0 engine 0",
         {"ulmot_ClientHandleAccessComplete: Failed to find engine code in result"}},
        {7, 1, 3, 17, {0xB0, 0x04}, "complete ts17 #3 success 1 engine 4",
         {"ulmot_ClientHandleAccessComplete: Failed to find result in event"}},
        {7, 2, 4, 18, {0xA0, 0x05}, "stop ts18 #4", {}},
        {7, 3, 5, 19, {}, "client-request ts19 #5", {}},
        {7, 4, 6, 20, {}, "client-request-complete ts20 #6", {}},
    };
    for (const EventCase &c : cases) Expect(c);
}

TEST_F(TagPathEvents, AntennaAndScheduleEvents) {
    RegisterAll();
    const EventCase cases[] = {
        {8, 0, 2, 30, {0x40, 0x03}, "vswr ts30 #2 status 3", {}},
        {8, 0, 2, 31, {0x41, 0x00, 0x03}, "vswr ts31 #2 status 255", {}},
        {17, 0, 6, 32, {0x00, 0x01, 0x10, 0x02, 0x21, 0x01, 0x50}, "activation ts32 #6 1 2 336", {}},
        {17, 0, 6, 33, {0x00, 0x01, 0x10, 0x02}, "activation ts33 #6 none", {}},
        {17, 0, 6, 34, {}, "activation ts34 #6 none", {}},
        {11, 0, 4, 35, {}, "schedule-start ts35 id 4", {}},
        {11, 1, 4, 36, {0x20, 0x02}, "schedule-stop ts36 id 4 reason 2", {}},
        {11, 1, 4, 37, {0x21, 0x00, 0x02}, "schedule-stop ts37 id 4 reason 255",
         {"ulmot_ClientHandleScheduleStop: Failed to find stop reason in event"}},
    };
    for (const EventCase &c : cases) Expect(c);
}

TEST_F(TagPathEvents, EmptySlotsCallNothingAndLogNothing) {
    // Only the schedule start callback is registered: every other event of
    // the families passes silently, even the ones with items missing.
    Register([&] { return ulmot_RegisterScheduleEvents(client_, ScheduleStart, nullptr, &seen_); });
    Register([&] { return ulmot_RegisterTxAntennaVSWRStatus(client_, Vswr, &seen_, 0); });
    testing::internal::CaptureStderr();
    for (uint8_t type = 0; type < 5; ++type) SendEvent(5, type, 1, 1, {});
    for (uint8_t type = 0; type < 5; ++type) SendEvent(7, type, 1, 1, {});
    SendEvent(8, 0, 1, 1, {});
    SendEvent(17, 0, 1, 1, {});
    SendEvent(11, 1, 1, 1, {});
    SendEvent(11, 0, 9, 40, {});  // the one that is registered, last in the queue
    const bool arrived = seen_.WaitFor(1);
    const std::string log = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(arrived);
    EXPECT_EQ(seen_.Take(), std::vector<std::string>{"schedule-start ts40 id 9"});
    EXPECT_EQ(LogLines(log), std::vector<std::string>{});
}

TEST_F(TagPathEvents, ExportedScheduleHandlersReadTheBlockTheyAreGiven) {
    client_->tagPath.schedule.Set({ScheduleStart, ScheduleStop, &seen_});
    Block stop = Own(BlockWith({0xF2, 0xFE, 0, 0, 0, 1, 0x20, 0x07}));
    ulmot_ClientHandleScheduleStart(client_, 3, 77, stop.get());
    ulmot_ClientHandleScheduleStop(client_, 3, 78, stop.get());
    EXPECT_EQ(seen_.Take(), (std::vector<std::string>{"schedule-start ts77 id 3", "schedule-stop ts78 id 3 reason 7"}));
    EXPECT_EQ(DataOf(stop.get()), (Bytes{0xF2, 0xFE, 0, 0, 0, 1, 0x20, 0x07})) << "the block is only read";
}

}  // namespace
