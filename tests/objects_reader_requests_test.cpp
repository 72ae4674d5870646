// The reader families' requests as the reader receives them (header and body
// bytes, routed to the processor attached to the object type), and how
// their responses are read.
#include "objects_reader_support.h"

namespace {

using namespace ulmot::test;

// One operation that sends exactly one request.
struct RequestCase {
    const char *name;
    std::function<int32_t(ClientProcessor *)> call;
    Bytes request;         // as RequestBytes builds it
    Bytes answer;          // the response body
    uint8_t answerInstance;
    int32_t result;
    const char *line;      // a line that must be written, or null for none
    std::function<void()> check;  // what the outputs must hold afterwards
};

// Outputs of the operations, checked after each case.
struct Outputs {
    uint8_t instance = 0xAA, u8[11] = {}, count = 0xAA;
    uint16_t u16[4] = {}, code = 0xAAAA, status = 0xAAAA, responseLength = 0;
    uint32_t u32[2] = {};
    uint8_t response[16] = {};
    char text[16] = {};
};

class ReaderRequests : public ReaderObjectsTest {
protected:
    void Run(const std::vector<RequestCase> &cases) {
        for (const RequestCase &c : cases) {
            SCOPED_TRACE(c.name);
            Bytes request;
            CaptureStderr();
            const int32_t result = Exchange([&] { return c.call(client_); }, &request, c.answer, c.answerInstance);
            const std::string err = GetCapturedStderr();
            EXPECT_EQ(WithoutMessageId(request), c.request);
            EXPECT_EQ(result, c.result);
            if (c.line != nullptr) {
                EXPECT_THAT(err, HasSubstr(c.line));
            } else {
                EXPECT_EQ(err, "");
            }
            if (c.check) c.check();
        }
        EXPECT_TRUE(reader_->NextRequest(100).empty()) << "one request per operation";
    }
    Outputs o;
};

ProtocolParameter P(uint8_t id, uint32_t value) { return ProtocolParameter{id, value}; }

TEST_F(ReaderRequests, Gen2ProtocolSpecification) {
    static ProtocolParameter p1 = P(8, 0x12345), p2 = P(14, 7), p3 = P(3, 0x1FF), p4 = P(12, 0x10002), p5 = P(20, 0x1234),
                             p6 = P(13, 0xBEEF), p7 = P(9, 0x0102);
    static ProtocolParameter *const addList[] = {&p1, &p2, &p3};
    static ProtocolParameter *const setList[] = {&p4, &p5, &p6, &p7};
    const Bytes allItems = {0x10, 1, 0x20, 2, 0x30, 3, 0x40, 4, 0x50, 5, 0x60, 6, 0xB0, 11, 0x81, 0x08, 0x08,
                            0x91, 0x09, 0x09, 0xA0, 10, 0xC1, 0x12, 0x12};
    Run({
        {"add: item 10 first, then the list with the item type of each id",
         [&](ClientProcessor *c) { return ulmot_AddGen2ProtocolSpecification(c, &o.instance, addList, 3, 0x55); },
         RequestBytes(4, 1, 0, {0xA0, 0x55, 0x81, 0x23, 0x45, 0xE2, 0, 0, 0, 7, 0x30, 0xFF}), ResultBody(0), 3, 0,
         nullptr, [&] { EXPECT_EQ(o.instance, 3); }},
        {"add with no parameters sends item 10 alone",
         [&](ClientProcessor *c) { return ulmot_AddGen2ProtocolSpecification(c, &o.instance, nullptr, 0, 1); },
         RequestBytes(4, 1, 0, {0xA0, 0x01}), ResultBody(-20), 9, -20,
         "]ulmot_AddGen2ProtocolSpecification: Failed (result -20)\n", nullptr},
        {"set: Int16 for 12, 13 and 9, Int8 with an id extension for 20",
         [&](ClientProcessor *c) { return ulmot_SetPropertiesGen2ProtocolSpecification(c, 2, setList, 4); },
         RequestBytes(4, 3, 2, {0xC1, 0x00, 0x02, 0xF0, 0x14, 0x34, 0xD1, 0xBE, 0xEF, 0x91, 0x01, 0x02}),
         ResultBody(0), 0, 0, nullptr, nullptr},
        {"set refused by the reader",
         [&](ClientProcessor *c) { return ulmot_SetPropertiesGen2ProtocolSpecification(c, 2, setList, 1); },
         RequestBytes(4, 3, 2, {0xC1, 0x00, 0x02}), ResultBody(-3), 0, -3,
         "]ulmot_SetPropertiesGen2ProtocolSpecification: Failed (result -3)\n", nullptr},
        {"get reads every item",
         [&](ClientProcessor *c) {
             return ulmot_GetGen2ProtocolSpecification(c, 5, &o.u8[1], &o.u8[2], &o.u8[3], &o.u8[4], &o.u8[5], &o.u8[6],
                                                       &o.u8[7], &o.u16[0], &o.u16[1], &o.u8[8], &o.u16[2]);
         },
         RequestBytes(4, 4, 5, {}), ResultBody(0, allItems), 0, 0, nullptr,
         [&] {
             EXPECT_EQ(Bytes(o.u8 + 1, o.u8 + 9), (Bytes{1, 2, 3, 4, 5, 6, 11, 10}));
             EXPECT_EQ(o.u16[0], 0x0808);
             EXPECT_EQ(o.u16[1], 0x0909);
             EXPECT_EQ(o.u16[2], 0x1212);
         }},
        {"get stops at a missing item 11; the outputs after it stay",
         [&](ClientProcessor *c) {
             o.u16[0] = o.u16[1] = o.u16[2] = 0x7777;
             o.u8[8] = 0x77;
             return ulmot_GetGen2ProtocolSpecification(c, 5, &o.u8[1], &o.u8[2], &o.u8[3], &o.u8[4], &o.u8[5], &o.u8[6],
                                                       &o.u8[7], &o.u16[0], &o.u16[1], &o.u8[8], &o.u16[2]);
         },
         RequestBytes(4, 4, 5, {}),
         ResultBody(0, {0x10, 1, 0x20, 2, 0x30, 3, 0x40, 4, 0x50, 5, 0x60, 6, 0x81, 0x08, 0x08, 0x91, 0x09, 0x09, 0xA0,
                        10, 0xC1, 0x12, 0x12}),
         0, -1, nullptr,
         [&] {
             EXPECT_EQ(o.u16[0], 0x7777);
             EXPECT_EQ(o.u16[1], 0x7777);
             EXPECT_EQ(o.u8[8], 0x77);
             EXPECT_EQ(o.u16[2], 0x7777);
         }},
        {"UTC time is Int32 item 14",
         [&](ClientProcessor *c) { return ulmot_GetGen2ProtocolSpecificationUTCTime(c, 6, &o.u32[0]); },
         RequestBytes(4, 4, 6, {}), ResultBody(0, {0xE2, 0x61, 0x00, 0x00, 0x01}), 0, 0, nullptr,
         [&] { EXPECT_EQ(o.u32[0], 0x61000001u); }},
        {"UTC time missing",
         [&](ClientProcessor *c) { return ulmot_GetGen2ProtocolSpecificationUTCTime(c, 6, &o.u32[0]); },
         RequestBytes(4, 4, 6, {}), ResultBody(0, {0xE0, 0x01}), 0, -1,
         "]ulmot_GetGen2ProtocolSpecificationUTCTime: Failed to find UTCTime property in response\n", nullptr},
    });
}

TEST_F(ReaderRequests, Gen2ParameterListThatCannotBeBuiltSendsNothing) {
    // The longest list (255 Int32 items of 5 bytes) fits the request; what
    // cannot be sent is a list with a missing entry.
    static ProtocolParameter utc = P(14, 1);
    ProtocolParameter *holes[] = {&utc, nullptr};
    CaptureStderr();
    EXPECT_EQ(ulmot_AddGen2ProtocolSpecification(client_, nullptr, nullptr, 1, 0), -5);
    EXPECT_EQ(ulmot_SetPropertiesGen2ProtocolSpecification(client_, 1, holes, 2), -5);
    const std::string err = GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("]ulmot_AddGen2ProtocolSpecification: Failed to build request message\n"));
    EXPECT_THAT(err, HasSubstr("]ulmot_AddGen2ProtocolSpecification: Failed (result -5)\n"));
    EXPECT_THAT(err, HasSubstr("]ulmot_SetPropertiesGen2ProtocolSpecification: Failed to build request message\n"));
    EXPECT_THAT(err, testing::Not(HasSubstr("ulmot_SetPropertiesGen2ProtocolSpecification: Failed (result")));
    EXPECT_TRUE(reader_->NextRequest(100).empty());
}

TEST_F(ReaderRequests, GpiAndGpo) {
    static const uint8_t outputs[] = {1, 2, 3, 4, 5, 6, 7, 8};
    const Bytes three = {0x03, 0x02, 0x01, 0x03, 0x02, 0x02, 0x03, 0x02, 0x03};
    Run({
        {"GPI count, numbering checked", [&](ClientProcessor *c) { return ulmot_GetGPICount(c, &o.count); },
         RequestBytes(2, 0, 0, {}), ResultBody(0, three), 0, 0, nullptr, [&] { EXPECT_EQ(o.count, 3); }},
        {"GPI count with a gap", [&](ClientProcessor *c) { return ulmot_GetGPICount(c, &o.count); },
         RequestBytes(2, 0, 0, {}), ResultBody(0, {0x03, 0x02, 0x01, 0x03, 0x02, 0x04}), 0, -1,
         "]ulmot_GetInstanceCount: ID/count mismatch (count: 2, max ID: 4)\n", nullptr},
        {"read GPI", [&](ClientProcessor *c) { return ulmot_ReadGPI(c, 3, &o.u8[0]); }, RequestBytes(2, 4, 3, {}),
         ResultBody(0, {0x10, 0x09, 0x00, 0x01}), 0, 0, nullptr, [&] { EXPECT_EQ(o.u8[0], 1); }},
        {"write GPI", [&](ClientProcessor *c) { return ulmot_WriteGPI(c, 3, 1); }, RequestBytes(2, 3, 3, {0x00, 0x01}),
         ResultBody(0), 0, 0, nullptr, nullptr},
        {"set GPI threshold", [&](ClientProcessor *c) { return ulmot_SetGPIThreshold(c, 3, 9); },
         RequestBytes(2, 3, 3, {0x10, 0x09}), ResultBody(0), 0, 0, nullptr, nullptr},
        {"get GPI threshold", [&](ClientProcessor *c) { return ulmot_GetGPIThreshold(c, 3, &o.u8[1]); },
         RequestBytes(2, 4, 3, {}), ResultBody(0, {0x00, 0x01, 0x10, 0x0C}), 0, 0, nullptr,
         [&] { EXPECT_EQ(o.u8[1], 12); }},
        {"register a GPI event", [&](ClientProcessor *c) { return ulmot_RegisterGPIEvent(c, 2, OnGpi, kContext, 1); },
         RequestBytes(2, 5, 2, MaskBody(1, 0xFFFFFFFF)), ResultBody(0), 0, 0, nullptr, nullptr},
        {"disable a GPI event", [&](ClientProcessor *c) { return ulmot_EnableGPIEvent(c, 2, 0); },
         RequestBytes(2, 5, 2, MaskBody(1, 0)), ResultBody(0), 0, 0, nullptr, nullptr},
        {"enable a GPI event", [&](ClientProcessor *c) { return ulmot_EnableGPIEvent(c, 1, 7); },
         RequestBytes(2, 5, 1, MaskBody(1, 0xFFFFFFFF)), ResultBody(-2), 0, -2,
         "]ulmot_EventRegistration: Request failed (result -2)\n", nullptr},
        {"GPO count", [&](ClientProcessor *c) { return ulmot_GetGPOCount(c, &o.count); }, RequestBytes(1, 0, 0, {}),
         ResultBody(0, {0x03, 0x01, 0x01}), 0, 0, nullptr, [&] { EXPECT_EQ(o.count, 1); }},
        {"read GPO", [&](ClientProcessor *c) { return ulmot_ReadGPO(c, 1, &o.u8[2]); }, RequestBytes(1, 4, 1, {}),
         ResultBody(0, {0x00, 0x00}), 0, 0, nullptr, [&] { EXPECT_EQ(o.u8[2], 0); }},
        {"read GPO without its state", [&](ClientProcessor *c) { return ulmot_ReadGPO(c, 1, &o.u8[2]); },
         RequestBytes(1, 4, 1, {}), ResultBody(0, {0x10, 0x01}), 0, -1,
         "]ulmot_GetPropertyInt8: Failed to find property in response\n", nullptr},
        {"write GPO", [&](ClientProcessor *c) { return ulmot_WriteGPO(c, 1, 0xFE); },
         RequestBytes(1, 3, 1, {0x00, 0xFE}), ResultBody(0), 0, 0, nullptr, nullptr},
        {"write all four GPOs: 8 bytes", [&](ClientProcessor *c) { return ulmot_WriteAllGPO(c, outputs, 4); },
         RequestBytes(1, 100, 0, {0x14, 0x00, 0x08, 1, 2, 3, 4, 5, 6, 7, 8}), ResultBody(0), 0, 0, nullptr, nullptr},
        {"write all refused", [&](ClientProcessor *c) { return ulmot_WriteAllGPO(c, outputs, 1); },
         RequestBytes(1, 100, 0, {0x14, 0x00, 0x02, 1, 2}), ResultBody(-6), 0, -6,
         "]ulmot_WriteAllGPO: Failed (result -6)\n", nullptr},
        {"register a GPO event", [&](ClientProcessor *c) { return ulmot_RegisterGPOEvent(c, 4, OnGpo, kContext, 1); },
         RequestBytes(1, 5, 4, MaskBody(1, 0xFFFFFFFF)), ResultBody(0), 0, 0, nullptr, nullptr},
        {"disable a GPO event", [&](ClientProcessor *c) { return ulmot_RegisterGPOEvent(c, 4, OnGpo, kContext, 0); },
         RequestBytes(1, 5, 4, MaskBody(1, 0)), ResultBody(0), 0, 0, nullptr, nullptr},
    });
}

TEST_F(ReaderRequests, LineCountsWithoutAProcessorSendNothing) {
    ulmot_AttachTargetProcessor(client_, ULMOT_OBJ_GPI, 0);
    ulmot_AttachTargetProcessor(client_, ULMOT_OBJ_GPO, 0);
    uint8_t count = 9;
    EXPECT_EQ(ulmot_GetGPICount(client_, &count), 0);
    EXPECT_EQ(count, 0);
    count = 9;
    EXPECT_EQ(ulmot_GetGPOCount(client_, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(ulmot_GetGPOCount(client_, nullptr), 0);
    EXPECT_TRUE(reader_->NextRequest(100).empty());
}

TEST_F(ReaderRequests, WriteAllGpoOutOfReach) {
    CaptureStderr();
    EXPECT_EQ(ulmot_WriteAllGPO(client_, nullptr, 2), -5);
    // 2 x (1021 + 4) bytes pass the largest block; a count near 2^31 must not
    // wrap around to a small size.
    static const uint8_t big[2 * 1021] = {};
    EXPECT_EQ(ulmot_WriteAllGPO(client_, big, 1021), -1);
    EXPECT_EQ(ulmot_WriteAllGPO(client_, big, 0x80000000u), -1);
    const std::string err = GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("]ulmot_WriteAllGPO: No output values\n"));
    EXPECT_THAT(err, HasSubstr("]ulmot_WriteAllGPO: Failed to allocate message\n"));
    EXPECT_TRUE(reader_->NextRequest(100).empty());
}

TEST_F(ReaderRequests, RegistrationsOfEveryFamily) {
    Run({
        {"radio: only the temperature callback enables event 3",
         [](ClientProcessor *c) { return ulmot_RegisterRadioEvents(c, nullptr, nullptr, nullptr, OnTemperature, kContext); },
         RequestBytes(12, 5, 0, MaskBody(0xFFFFFFFF, 8)), ResultBody(0), 0, 0, nullptr, nullptr},
        {"radio: all four",
         [](ClientProcessor *c) {
             return ulmot_RegisterRadioEvents(c, OnChannel, OnCycleTimeLeft, OnRadioState, OnTemperature, kContext);
         },
         RequestBytes(12, 5, 0, MaskBody(0xFFFFFFFF, 15)), ResultBody(0), 0, 0, nullptr, nullptr},
        {"radio: channel and radio state",
         [](ClientProcessor *c) { return ulmot_RegisterRadioEvents(c, OnChannel, nullptr, OnRadioState, nullptr, kContext); },
         RequestBytes(12, 5, 0, MaskBody(0xFFFFFFFF, 5)), ResultBody(0), 0, 0, nullptr, nullptr},
        {"reset done enabled", [](ClientProcessor *c) { return ulmot_RegisterResetDone(c, OnResetDone, kContext, 1); },
         RequestBytes(9, 5, 0, MaskBody(1, 0xFFFFFFFF)), ResultBody(0), 0, 0, nullptr, nullptr},
        {"reset done disabled", [](ClientProcessor *c) { return ulmot_RegisterResetDone(c, OnResetDone, kContext, 0); },
         RequestBytes(9, 5, 0, MaskBody(1, 0)), ResultBody(0), 0, 0, nullptr, nullptr},
        {"RF survey: only the measurement callback enables event 2",
         [](ClientProcessor *c) { return ulmot_RegisterRFSurveyEvents(c, nullptr, nullptr, OnMeasurement, kContext); },
         RequestBytes(19, 5, 0, MaskBody(0xFFFFFFFF, 4)), ResultBody(0), 0, 0, nullptr, nullptr},
        {"RF survey: events 0 and 1",
         [](ClientProcessor *c) { return ulmot_RegisterRFSurveyEvents(c, OnSurvey0, OnSurvey1, nullptr, kContext); },
         RequestBytes(19, 5, 0, MaskBody(0xFFFFFFFF, 3)), ResultBody(0), 0, 0, nullptr, nullptr},
        {"alarm enabled", [](ClientProcessor *c) { return ulmot_RegisterNxpAlarmEvent(c, OnAlarm, kContext, 2); },
         RequestBytes(22, 5, 0, MaskBody(1, 0xFFFFFFFF)), ResultBody(0), 0, 0, nullptr, nullptr},
        {"alarm disabled", [](ClientProcessor *c) { return ulmot_RegisterNxpAlarmEvent(c, OnAlarm, kContext, 0); },
         RequestBytes(22, 5, 0, MaskBody(1, 0)), ResultBody(0), 0, 0, nullptr, nullptr},
        {"text log enabled", [](ClientProcessor *c) { return ulmot_RegisterTextLogMessage(c, OnTextLog, kContext, 1); },
         RequestBytes(13, 5, 0, MaskBody(1, 0xFFFFFFFF)), ResultBody(0), 0, 0, nullptr, nullptr},
        {"text log disabled", [](ClientProcessor *c) { return ulmot_RegisterTextLogMessage(c, OnTextLog, kContext, 0); },
         RequestBytes(13, 5, 0, MaskBody(1, 0)), ResultBody(-1), 0, -1,
         "]ulmot_EventRegistration: Request failed (result -1)\n", nullptr},
    });
}

TEST_F(ReaderRequests, ObjectCreation) {
    Run({
        {"reset specification", [&](ClientProcessor *c) { return ulmot_AddResetSpecification(c, &o.instance, 0x1234, 5, 2, 1); },
         RequestBytes(9, 1, 0, {0x01, 0x12, 0x34, 0x13, 0x05, 0x02, 0x20, 0x01}), ResultBody(0), 4, 0, nullptr,
         [&] { EXPECT_EQ(o.instance, 4); }},
        {"reset specification takes the low bits",
         [&](ClientProcessor *c) { return ulmot_AddResetSpecification(c, nullptr, 0xABCDEF01, 0x1FF, 0, 0); },
         RequestBytes(9, 1, 0, {0x01, 0xEF, 0x01, 0x13, 0xFF, 0x00, 0x20, 0x00}), ResultBody(-12), 0, -12,
         "]ulmot_AddResetSpecification: Failed (result -12)\n", nullptr},
        {"RF survey specification",
         [&](ClientProcessor *c) { return ulmot_AddRFSurveySpecification(c, &o.instance, 100, 1000); },
         RequestBytes(19, 1, 0, {0x02, 0, 0, 0, 0x64, 0x12, 0, 0, 0x03, 0xE8}), ResultBody(0), 6, 0, nullptr,
         [&] { EXPECT_EQ(o.instance, 6); }},
        {"RF survey refused", [&](ClientProcessor *c) { return ulmot_AddRFSurveySpecification(c, nullptr, 0, 0xFFFFFFFF); },
         RequestBytes(19, 1, 0, {0x02, 0, 0, 0, 0, 0x12, 0xFF, 0xFF, 0xFF, 0xFF}), ResultBody(-30), 0, -30,
         "]ulmot_AddRFSurveySpecification: Failed (result -30)\n", nullptr},
        {"alarm specification", [&](ClientProcessor *c) { return ulmot_AddNxpAlarmSpecification(c, &o.instance, 17, 1); },
         RequestBytes(22, 1, 0, {0x03, 0x11, 0x01}), ResultBody(0), 2, 0, nullptr, [&] { EXPECT_EQ(o.instance, 2); }},
        {"alarm specification refused",
         [&](ClientProcessor *c) { return ulmot_AddNxpAlarmSpecification(c, nullptr, 0x111, 0x302); },
         RequestBytes(22, 1, 0, {0x03, 0x11, 0x02}), ResultBody(-5), 0, -5,
         "]ulmot_AddNxpAlarmSpecification: Failed (result -5)\n", nullptr},
        {"CTI object", [&](ClientProcessor *c) { return ulmot_AddCTIObject(c, &o.instance); }, RequestBytes(10, 1, 0, {}),
         ResultBody(0), 8, 0, nullptr, [&] { EXPECT_EQ(o.instance, 8); }},
        {"CTI object refused", [&](ClientProcessor *c) { return ulmot_AddCTIObject(c, nullptr); },
         RequestBytes(10, 1, 0, {}), ResultBody(-1), 0, -1, "]ulmot_AddCTIObject: Failed (result -1)\n", nullptr},
    });
}

TEST_F(ReaderRequests, CtiRequests) {
    static const uint8_t data[] = {1, 2, 3};
    Run({
        {"request and its response",
         [&](ClientProcessor *c) {
             o.responseLength = sizeof o.response;
             return ulmot_CTIRequest(c, 2, 7, data, 3, &o.status, o.response, &o.responseLength);
         },
         RequestBytes(10, 100, 2, {0x00, 0x07, 0x14, 0x00, 0x03, 1, 2, 3}),
         ResultBody(0, {0x21, 0x12, 0x34, 0x34, 0x00, 0x02, 0xAB, 0xCD}), 0, 0, nullptr,
         [&] {
             EXPECT_EQ(o.status, 0x1234);
             EXPECT_EQ(o.responseLength, 2);
             EXPECT_EQ(Bytes(o.response, o.response + 2), (Bytes{0xAB, 0xCD}));
         }},
        {"request of length 0 sends an empty item 1",
         [&](ClientProcessor *c) {
             o.responseLength = sizeof o.response;
             return ulmot_CTIRequest(c, 1, 0xFF, nullptr, 0, &o.status, o.response, &o.responseLength);
         },
         RequestBytes(10, 100, 1, {0x00, 0xFF, 0x14, 0x00, 0x00}), ResultBody(0, {0x21, 0x00, 0x00, 0x34, 0x00, 0x00}), 0,
         0, nullptr, [&] { EXPECT_EQ(o.responseLength, 0); }},
        {"a response of 10 bytes for a buffer of 8",
         [&](ClientProcessor *c) {
             o.responseLength = 8;
             std::memset(o.response, 0x55, sizeof o.response);
             return ulmot_CTIRequest(c, 1, 1, data, 1, &o.status, o.response, &o.responseLength);
         },
         RequestBytes(10, 100, 1, {0x00, 0x01, 0x14, 0x00, 0x01, 1}),
         ResultBody(0, {0x21, 0x00, 0x01, 0x34, 0x00, 0x0A, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9}), 0, -3,
         "]ulmot_CTIRequest: Failed to find data in response\n",
         [&] {
             EXPECT_EQ(o.responseLength, 10);
             EXPECT_EQ(o.response[0], 0x55) << "nothing is copied";
         }},
        {"no status: the data is not read",
         [&](ClientProcessor *c) {
             o.responseLength = 8;
             return ulmot_CTIRequest(c, 1, 1, data, 1, &o.status, o.response, &o.responseLength);
         },
         RequestBytes(10, 100, 1, {0x00, 0x01, 0x14, 0x00, 0x01, 1}), ResultBody(0, {0x34, 0x00, 0x01, 0x99}), 0, -8,
         "]ulmot_CTIRequest: Failed to find data in response\n", [&] { EXPECT_EQ(o.responseLength, 8); }},
        {"no data", [&](ClientProcessor *c) {
             o.responseLength = 8;
             return ulmot_CTIRequest(c, 1, 1, data, 1, &o.status, o.response, &o.responseLength);
         },
         RequestBytes(10, 100, 1, {0x00, 0x01, 0x14, 0x00, 0x01, 1}), ResultBody(0, {0x21, 0x00, 0x01}), 0, -8,
         "]ulmot_CTIRequest: Failed to find data in response\n", nullptr},
        {"refused by the reader: no response is read", [&](ClientProcessor *c) {
             o.responseLength = 8;
             o.status = 0xAAAA;
             return ulmot_CTIRequest(c, 1, 1, data, 1, &o.status, o.response, &o.responseLength);
         },
         RequestBytes(10, 100, 1, {0x00, 0x01, 0x14, 0x00, 0x01, 1}), ResultBody(-40, {0x21, 0x00, 0x01}), 0, -40,
         "]ulmot_CTIRequest: Failed (result -40)\n", [&] { EXPECT_EQ(o.status, 0xAAAA); }},
    });
}

TEST_F(ReaderRequests, CtiRequestThatCannotBeSent) {
    static uint8_t big[2100] = {};
    uint16_t length = 4;
    CaptureStderr();
    EXPECT_EQ(ulmot_CTIRequest(client_, 1, 1, nullptr, 3, nullptr, nullptr, &length), -5);
    EXPECT_EQ(ulmot_CTIRequest(client_, 1, 1, big, 3, nullptr, nullptr, nullptr), -5);
    EXPECT_EQ(ulmot_CTIRequest(client_, 1, 1, big, sizeof big, nullptr, nullptr, &length), -7);
    const std::string err = GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("]ulmot_CTIRequest: Invalid parameter\n"));
    EXPECT_THAT(err, HasSubstr("]ulmot_CTIRequest: Allocation failed\n"));
    EXPECT_TRUE(reader_->NextRequest(100).empty());
}

TEST_F(ReaderRequests, TimestampAndClock) {
    static const uint8_t a = 0xA1, b = 0xB2, c2 = 9, d = 0xD4, e = 0xE5, f = 0xF6, g = 0x07;
    Run({
        {"both timestamp words", [&](ClientProcessor *c) { return ulmot_GetTimestamp(c, &o.u32[0], &o.u32[1]); },
         RequestBytes(15, 4, 1, {}), ResultBody(0, {0x12, 0, 0, 0, 2, 0x02, 0, 0, 0x01, 0x01}), 0, 0, nullptr,
         [&] {
             EXPECT_EQ(o.u32[0], 0x101u);
             EXPECT_EQ(o.u32[1], 2u);
         }},
        {"only the first word", [&](ClientProcessor *c) { return ulmot_GetTimestamp(c, &o.u32[0], &o.u32[1]); },
         RequestBytes(15, 4, 1, {}), ResultBody(0, {0x02, 0, 0, 0, 5}), 0, -1, nullptr,
         [&] {
             EXPECT_EQ(o.u32[0], 5u);
             EXPECT_EQ(o.u32[1], 0u);
         }},
        {"clock fields, null outputs skipped, missing ones 0",
         [&](ClientProcessor *c) {
             std::memset(o.u8, 0xEE, sizeof o.u8);
             return ulmot_GetRTC(c, &o.u8[0], &o.u8[1], nullptr, &o.u8[3], &o.u8[4], &o.u8[5], &o.u8[6]);
         },
         RequestBytes(24, 4, 1, {}), ResultBody(0, {0x00, 24, 0x10, 12, 0x20, 31, 0x30, 59, 0x50, 1}), 0, 0, nullptr,
         [&] {
             EXPECT_EQ(Bytes(o.u8, o.u8 + 7), (Bytes{24, 12, 0xEE, 59, 0, 1, 0}));
         }},
        {"set clock field 2 alone",
         [&](ClientProcessor *c) { return ulmot_SetRTC(c, nullptr, nullptr, &c2, nullptr, nullptr, nullptr, nullptr); },
         RequestBytes(24, 3, 1, {0x20, 0x09}), ResultBody(0), 0, 0, nullptr, nullptr},
        {"set every clock field", [&](ClientProcessor *c) { return ulmot_SetRTC(c, &a, &b, &c2, &d, &e, &f, &g); },
         RequestBytes(24, 3, 1, {0x00, a, 0x10, b, 0x20, c2, 0x30, d, 0x40, e, 0x50, f, 0x60, g}), ResultBody(-2), 0,
         -2, "]ulmot_SetRTC: Failed (result -2)\n", nullptr},
        {"set no clock field: an empty body",
         [&](ClientProcessor *c) { return ulmot_SetRTC(c, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr); },
         RequestBytes(24, 3, 1, {}), ResultBody(0), 0, 0, nullptr, nullptr},
    });
}

TEST_F(ReaderRequests, RefusedPropertiesLeaveOutputsAlone) {
    RadioProperties radio;
    std::memset(&radio, 0x5A, sizeof radio);
    uint32_t first = 3, second = 4;
    uint8_t field = 0x42;
    Gen2ParmSet set;
    std::memset(&set, 0x6B, sizeof set);
    Run({
        {"timestamp", [&](ClientProcessor *c) { return ulmot_GetTimestamp(c, &first, &second); }, RequestBytes(15, 4, 1, {}),
         ResultBody(-9), 0, -1, "]ulmot_GetObjectProperties: Failed\n", [&] { EXPECT_EQ(first + second, 7u); }},
        {"clock", [&](ClientProcessor *c) { return ulmot_GetRTC(c, &field, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr); },
         RequestBytes(24, 4, 1, {}), ResultBody(-9), 0, -1, "]ulmot_GetObjectProperties: Failed\n",
         [&] { EXPECT_EQ(field, 0x42); }},
        {"radio", [&](ClientProcessor *c) { return ulmot_GetRadioProperties(c, &radio); }, RequestBytes(12, 4, 1, {}),
         ResultBody(-9), 0, -1, "]ulmot_GetObjectProperties: Failed\n", [&] { EXPECT_EQ(radio.channel, 0x5A); }},
        {"Gen2 protocol", [&](ClientProcessor *c) {
             return ulmot_GetGen2ProtocolSpecification(c, 1, &field, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                       nullptr, nullptr, nullptr, nullptr);
         },
         RequestBytes(4, 4, 1, {}), ResultBody(-9), 0, -1, "]ulmot_GetObjectProperties: Failed\n",
         [&] { EXPECT_EQ(field, 0x42); }},
        {"Gen2 parameter set", [&](ClientProcessor *c) { return ulmot_GetGen2ParmSet(c, 0, &set); },
         RequestBytes(18, 4, 0, {}), ResultBody(-9), 0, -1, "]ulmot_GetObjectProperties: Failed\n",
         [&] { EXPECT_EQ(set.item12, 0x6B); }},
    });
}

// Radio property responses: item 8 as 32-bit values, items 9 and 13 as byte
// arrays of at most 100 bytes whose lengths never claim more than is there.
struct RadioCase {
    const char *name;
    Bytes items;
    uint16_t count8, length9, length13;
};

Bytes ByteArrayItem(uint8_t id, uint16_t length, uint8_t fill, uint16_t declared) {
    Bytes b = {static_cast<uint8_t>(id << 4 | 4), static_cast<uint8_t>(declared >> 8), static_cast<uint8_t>(declared)};
    for (uint16_t i = 0; i < length; ++i) b.push_back(static_cast<uint8_t>(fill + i));
    return b;
}

TEST_F(ReaderRequests, RadioPropertiesRecord) {
    const Bytes scalars = {0x00, 0x05, 0x12, 0, 0, 0x10, 0, 0x20, 2, 0x30, 3, 0x41, 0x01, 0x2C, 0x70, 0x77,
                           0xA2, 0, 0, 0, 10, 0xB2, 0, 0, 0, 11, 0xC0, 12};
    Bytes full = ByteArrayItem(8, 400, 0, 400);
    Append(full, ByteArrayItem(9, 100, 1, 100));
    Append(full, ByteArrayItem(13, 100, 2, 100));
    Bytes tooLong = ByteArrayItem(8, 404, 0, 404);
    Append(tooLong, ByteArrayItem(9, 101, 1, 101));
    Append(tooLong, ByteArrayItem(13, 200, 2, 200));
    // Declared lengths that run past the end of the message.
    Bytes cutShort = ByteArrayItem(9, 3, 1, 4);
    const RadioCase cases[] = {
        {"all present", full, 100, 100, 100},
        {"item 8 of 10 bytes: two values", ByteArrayItem(8, 10, 0, 10), 2, 0, 0},
        {"none present", {}, 0, 0, 0},
        {"longer than the fields", tooLong, 0, 0, 0},
        {"cut short by the message", cutShort, 0, 0, 0},
        {"empty arrays", {0x84, 0, 0, 0x94, 0, 0, 0xD4, 0, 0}, 0, 0, 0},
    };
    for (const RadioCase &c : cases) {
        SCOPED_TRACE(c.name);
        RadioProperties p;
        std::memset(&p, 0xA5, sizeof p);
        int32_t result = 99;
        std::thread t([&] { result = ulmot_GetRadioProperties(client_, &p); });
        const Bytes req = reader_->NextRequest();
        EXPECT_EQ(WithoutMessageId(req), RequestBytes(12, 4, 1, {}));
        Bytes body = scalars;
        Append(body, c.items);
        reader_->Respond(req, ResultBody(0, body));
        t.join();
        EXPECT_EQ(result, 0);
        EXPECT_EQ(p.channel, 5);
        EXPECT_EQ(p.cycleTimeLeft, 0x1000u);
        EXPECT_EQ(p.radioState, 2);
        EXPECT_EQ(p.temperatureState, 3);
        EXPECT_EQ(p.temperature, 300);
        EXPECT_EQ(p.property7, 0x77);
        EXPECT_EQ(p.property10, 10u);
        EXPECT_EQ(p.property11, 11u);
        EXPECT_EQ(p.property12, 12);
        EXPECT_EQ(p.property8Count, c.count8);
        EXPECT_EQ(p.property9Length, c.length9);
        EXPECT_EQ(p.property13Length, c.length13);
        for (uint16_t i = 0; i < c.count8; ++i) {
            const uint32_t b0 = static_cast<uint8_t>(4 * i);
            const uint32_t expected = b0 << 24 | ((b0 + 1) & 0xFF) << 16 | ((b0 + 2) & 0xFF) << 8 | ((b0 + 3) & 0xFF);
            ASSERT_EQ(p.property8[i], expected) << "value " << i;
        }
        for (uint16_t i = c.count8; i < ULMOT_RADIO_VALUES_MAX; ++i) ASSERT_EQ(p.property8[i], 0u);
        for (uint16_t i = 0; i < ULMOT_RADIO_BYTES_MAX; ++i) {
            ASSERT_EQ(p.property9[i], i < c.length9 ? static_cast<uint8_t>(1 + i) : 0);
            ASSERT_EQ(p.property13[i], i < c.length13 ? static_cast<uint8_t>(2 + i) : 0);
        }
    }
}

struct CountryCase {
    const char *name;
    Bytes items;
    int32_t result;
    uint16_t code;
    Bytes text;  // the first bytes of the text buffer afterwards
};

TEST_F(ReaderRequests, SupportedCountryCode) {
    Bytes eighty = {0xF1, 0x10, 0x00, 0x00, 0xF4, 0x11, 0x00, 0x50};
    for (int i = 0; i < 80; ++i) eighty.push_back(static_cast<uint8_t>('A' + i % 26));
    Bytes eightyOne = {0xF1, 0x10, 0x00, 0x00, 0xF4, 0x11, 0x00, 0x51};
    for (int i = 0; i < 81; ++i) eightyOne.push_back('x');
    const CountryCase cases[] = {
        {"code and text", {0xF1, 0x10, 0x03, 0x48, 0xF4, 0x11, 0x00, 0x02, 'U', 'S'}, 0, 0x348, {'U', 'S', '#'}},
        {"a text of one byte: no such code", {0xF1, 0x10, 0x00, 0x01, 0xF4, 0x11, 0x00, 0x01, 'Z'}, -1, 1, {'Z', '#'}},
        {"an empty text", {0xF1, 0x10, 0x00, 0x01, 0xF4, 0x11, 0x00, 0x00}, -1, 1, {'#'}},
        {"no code", {0xF4, 0x11, 0x00, 0x02, 'U', 'S'}, -8, 0, {'#'}},
        {"no text", {0xF1, 0x10, 0x00, 0x07}, -8, 7, {'#'}},
        {"a text of 80 bytes fits", eighty, 0, 0, {'A', 'B', 'C'}},
        {"a text of 81 bytes does not", eightyOne, -3, 0, {'#'}},
        {"a text cut short", {0xF1, 0x10, 0x00, 0x02, 0xF4, 0x11, 0x00, 0x09, 'U'}, -4, 2, {'#'}},
    };
    for (const CountryCase &c : cases) {
        SCOPED_TRACE(c.name);
        char text[96];
        std::memset(text, '#', sizeof text);
        uint16_t code = 0xAAAA;
        int32_t result = 99;
        std::thread t([&] { result = ulmot_GetRadioSupportedCountryCode(client_, 0x10003, &code, text); });
        Bytes req = reader_->NextRequest();
        EXPECT_EQ(WithoutMessageId(req), RequestBytes(12, 3, 1, {0xF1, 0x10, 0x00, 0x03}));
        reader_->Respond(req, ResultBody(0));
        req = reader_->NextRequest();
        EXPECT_EQ(WithoutMessageId(req), RequestBytes(12, 4, 1, {}));
        reader_->Respond(req, ResultBody(0, c.items));
        t.join();
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(Bytes(text, text + c.text.size()), c.text);
        EXPECT_EQ(text[80], '#') << "no byte past 80 is written";
    }
    // A refused selection is returned at once, without the second request.
    uint16_t code = 0;
    char text[80];
    int32_t result = 99;
    CaptureStderr();
    std::thread t([&] { result = ulmot_GetRadioSupportedCountryCode(client_, 1, &code, text); });
    reader_->Respond(reader_->NextRequest(), ResultBody(-14));
    t.join();
    GetCapturedStderr();
    EXPECT_EQ(result, -14);
    EXPECT_TRUE(reader_->NextRequest(100).empty());
}

TEST_F(ReaderRequests, WithoutASessionNothingIsSentAndNoBlockIsKept) {
    // The client loses its session: each operation fails with -1 and its
    // request block goes back to its pool (checked by the fixture).
    {
        ulmot::plat::Lock l(client_->lock);
        client_->state = ulmot::processors::ClientState::kReconnecting;
    }
    static ProtocolParameter p = P(1, 1);
    static ProtocolParameter *const list[] = {&p};
    static const uint8_t one = 1;
    uint16_t length = 4;
    uint8_t count = 0;
    char text[8];
    CaptureStderr();
    const int32_t results[] = {
        ulmot_AddGen2ProtocolSpecification(client_, nullptr, list, 1, 0),
        ulmot_SetPropertiesGen2ProtocolSpecification(client_, 1, list, 1),
        ulmot_GetGen2ParmSetCount(client_, &count),
        ulmot_GetGen2ParmSet(client_, 1, nullptr),
        ulmot_GetGPICount(client_, &count),
        ulmot_RegisterGPIEvent(client_, 1, OnGpi, kContext, 1),
        ulmot_EnableGPIEvent(client_, 1, 1),
        ulmot_WriteAllGPO(client_, &one, 0),
        ulmot_RegisterGPOEvent(client_, 1, OnGpo, kContext, 1),
        ulmot_RegisterRadioEvents(client_, OnChannel, nullptr, nullptr, nullptr, kContext),
        ulmot_AddResetSpecification(client_, nullptr, 1, 1, 1, 1),
        ulmot_RegisterResetDone(client_, OnResetDone, kContext, 1),
        ulmot_AddRFSurveySpecification(client_, nullptr, 1, 1),
        ulmot_RegisterRFSurveyEvents(client_, OnSurvey0, nullptr, nullptr, kContext),
        ulmot_GetVersion(client_, 0, text, sizeof text),
        ulmot_SetRTC(client_, &one, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
        ulmot_AddCTIObject(client_, nullptr),
        ulmot_CTIRequest(client_, 1, 1, &one, 1, nullptr, nullptr, &length),
        ulmot_AddNxpAlarmSpecification(client_, nullptr, 1, 1),
        ulmot_RegisterNxpAlarmEvent(client_, OnAlarm, kContext, 1),
        ulmot_RegisterTextLogMessage(client_, OnTextLog, kContext, 1),
    };
    const std::string err = GetCapturedStderr();
    for (size_t i = 0; i < std::size(results); ++i) EXPECT_EQ(results[i], -1) << "operation " << i;
    for (const char *name : {"ulmot_CTIRequest", "ulmot_RegisterTextLogMessage", "ulmot_GetGen2ParmSetCount",
                             "ulmot_SetRTC", "ulmot_WriteAllGPO"}) {
        EXPECT_THAT(err, HasSubstr(std::string("]") + name + ": No session (the client is reconnecting)\n"));
    }
    EXPECT_TRUE(reader_->NextRequest(100).empty());
    {
        ulmot::plat::Lock l(client_->lock);
        client_->state = ulmot::processors::ClientState::kConnected;
    }
}

}  // namespace
