// The generic object operations: request bytes as the reader receives them,
// and how their responses are read.
#include <gmock/gmock.h>

#include "processors_support.h"

namespace {

using namespace ulmot::test;
using testing::HasSubstr;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

using Generic = ClientTest;

TEST_F(Generic, EventRegistrationBody) {
    Session *s = ulmot_GetClientSession(client_);
    int32_t result = 99;
    std::thread t([&] { result = ulmot_EventRegistration(s, 7, 3, 5, 2, 0xFFFFFFFF, 5); });
    const Bytes req = reader_->NextRequest();
    EXPECT_EQ(req, (Bytes{0x03, 0x07, 0x08, 0x05, 0x05, 0x02, 0x00, 0x0A, 0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00, 0x00,
                          0x00, 0x05}));
    CaptureStderr();
    reader_->Respond(req, ResultBody(-4));
    t.join();
    EXPECT_EQ(result, -4);
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("]ulmot_EventRegistration: Request failed (result -4)\n"));
}

TEST_F(Generic, RegisterEventPropertiesBody) {
    Session *s = ulmot_GetClientSession(client_);
    const uint8_t ids[] = {0, 1, 2};
    int32_t result = 99;
    std::thread t([&] { result = ulmot_RegisterEventProperties(s, 9, 7, 3, 17, 0, ids, 3); });
    Bytes req = reader_->NextRequest();
    EXPECT_EQ(req, (Bytes{0x03, 0x07, 0x08, 0x06, 0x11, 0x00, 0x00, 0x08, 0x04, 0x00, 0x05, 0x00, 0x01, 0x00, 0x01,
                          0x02}));
    reader_->Respond(req, ResultBody(0));
    t.join();
    EXPECT_EQ(result, 0);

    uint8_t many[254];
    for (int i = 0; i < 254; ++i) many[i] = static_cast<uint8_t>(i);
    t = std::thread([&] { result = ulmot_RegisterEventProperties(s, 0, 7, 3, 17, 4, many, 253); });
    req = reader_->NextRequest();
    ASSERT_EQ(req.size(), 8u + 258);
    EXPECT_EQ(req[5], 0x00) << "the instance travels in the body";
    EXPECT_EQ(Bytes(req.begin() + 8, req.begin() + 13), (Bytes{0x04, 0x00, 0xFF, 0x04, 0x00}));
    reader_->Respond(req, ResultBody(0));
    t.join();
    CaptureStderr();
    EXPECT_EQ(ulmot_RegisterEventProperties(s, 1, 7, 3, 17, 4, many, 254), -5);
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("]ulmot_RegisterEventProperties: Property count overflow (254)\n"));
    EXPECT_TRUE(reader_->NextRequest(100).empty());
}

struct DescriptorCase {
    std::function<int32_t(ClientProcessor *)> call;
    Bytes body;
};

TEST_F(Generic, SetPropertiesWritesOneItemPerDescriptor) {
    ulmot_AttachTargetProcessor(client_, 8, 3);
    static const uint8_t one = 1, two = 2;
    static const uint16_t power = 0x0102;
    static const uint32_t word = 0xA0B0C0D0;
    static const PropertyObjectReference ref{0x11E, 4};
    static const uint8_t bytes[] = {9, 8, 7};
    static const uint8_t list[] = {5, 6};
    const DescriptorCase cases[] = {
        {[](ClientProcessor *c) { return ulmot_SetObjectProperties(c, 8, 1, ULMOT_PROP_INT8, 23u, &one, ULMOT_PROP_END); },
         {0xF0, 0x17, 0x01}},
        {[](ClientProcessor *c) { return ulmot_SetObjectProperties(c, 8, 1, ULMOT_PROP_INT8, 14u, &two, ULMOT_PROP_END); },
         {0xE0, 0x02}},
        {[](ClientProcessor *c) { return ulmot_SetObjectProperties(c, 8, 1, ULMOT_PROP_END); }, {}},
        {[](ClientProcessor *c) {
             return ulmot_SetObjectProperties(c, 8, 1, ULMOT_PROP_INT16, 3u, &power, ULMOT_PROP_INT32, 0x104u, &word,
                                              ULMOT_PROP_OBJECT_REF, 2u, &ref, ULMOT_PROP_BYTE_ARRAY, 1u, bytes, 3u,
                                              ULMOT_PROP_INT8_LIST, 6u, list, 0x102u, ULMOT_PROP_END);
         },
         {0x31, 0x01, 0x02, 0x42, 0xA0, 0xB0, 0xC0, 0xD0, 0x23, 0x1E, 0x04, 0x14, 0x00, 0x03, 9, 8, 7, 0x65, 0x00,
          0x05, 0x02, 0x00, 0x05, 0x00, 0x06}},
    };
    for (const DescriptorCase &c : cases) {
        int32_t result = 99;
        std::thread t([&] { result = c.call(client_); });
        const Bytes req = reader_->NextRequest();
        ASSERT_GE(req.size(), 8u);
        EXPECT_EQ(Bytes(req.begin(), req.begin() + 6), (Bytes{0x03, 0x07, 0x08, 0x03, 0x08, 0x01}));
        EXPECT_EQ(BodyOf(req), c.body);
        reader_->Respond(req, ResultBody(0));
        t.join();
        EXPECT_EQ(result, 0);
    }
}

TEST_F(Generic, SetPropertiesRefusesTypeCodes6And7) {
    static const uint8_t one = 1;
    static const uint8_t data[] = {1};
    for (uint32_t code : {6u, 7u}) {
        CaptureStderr();
        EXPECT_EQ(ulmot_SetObjectProperties(client_, 8, 1, ULMOT_PROP_INT8, 1u, &one, code, 2u, data, 1u, ULMOT_PROP_END),
                  -5);
        const std::string err = GetCapturedStderr();
        EXPECT_THAT(err, HasSubstr("]ulmot_SetProperties: Unsupported data type\n"));
        EXPECT_THAT(err, HasSubstr("]ulmot_SetProperties: Failed to add message data\n"));
    }
    EXPECT_TRUE(reader_->NextRequest(100).empty()) << "nothing is sent";
}

TEST_F(Generic, SetPropertiesThatCannotFitIsRefused) {
    static const uint8_t big[3000] = {};
    CaptureStderr();
    EXPECT_EQ(ulmot_SetObjectProperties(client_, 8, 1, ULMOT_PROP_BYTE_ARRAY, 1u, big, 3000u, ULMOT_PROP_END), -7);
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("]ulmot_SetProperties: Message allocation failed\n"));
}

struct CountCase {
    Bytes instances;  // object reference items in the response
    uint8_t check;
    int32_t result;
    uint8_t count;
    const char *line;
};

TEST_F(Generic, InstanceCountAndItsCheck) {
    Session *s = ulmot_GetClientSession(client_);
    const CountCase cases[] = {
        {{0x03, 0x08, 0x01, 0x03, 0x08, 0x02, 0x03, 0x08, 0x03}, 1, 0, 3, nullptr},
        {{0x03, 0x08, 0x01, 0x03, 0x08, 0x02, 0x03, 0x08, 0x04}, 1, -1, 3,
         "]ulmot_GetInstanceCount: ID/count mismatch (count: 3, max ID: 4)\n"},
        {{0x03, 0x08, 0x01, 0x03, 0x08, 0x02, 0x03, 0x08, 0x04}, 0, 0, 3, nullptr},
        {{}, 1, 0, 0, nullptr},
    };
    for (const CountCase &c : cases) {
        uint8_t count = 99;
        int32_t result = 99;
        std::thread t([&] { result = ulmot_GetInstanceCount(s, 7, 3, 8, c.check, &count); });
        const Bytes req = reader_->NextRequest();
        EXPECT_EQ(req, (Bytes{0x03, 0x07, 0x08, 0x00, 0x08, 0x00, 0x00, 0x00}));
        CaptureStderr();
        reader_->Respond(req, ResultBody(0, c.instances));
        t.join();
        const std::string err = GetCapturedStderr();
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(count, c.count);
        if (c.line) {
            EXPECT_THAT(err, HasSubstr(c.line));
        }
    }
}

TEST_F(Generic, InstanceCountOfMoreThan255InstancesEnds) {
    Session *s = ulmot_GetClientSession(client_);
    Bytes many;
    for (int i = 0; i < 300; ++i) {
        many.push_back(0x03);
        many.push_back(0x08);
        many.push_back(static_cast<uint8_t>(i % 255 + 1));
    }
    uint8_t count = 0;
    int32_t result = 99;
    std::thread t([&] { result = ulmot_GetInstanceCount(s, 7, 3, 8, 0, &count); });
    reader_->Respond(reader_->NextRequest(), ResultBody(0, many));
    t.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(count, 255);
}

TEST_F(Generic, InstanceCountWithoutOutReturnsTheResult) {
    Session *s = ulmot_GetClientSession(client_);
    int32_t result = 99;
    std::thread t([&] { result = ulmot_GetInstanceCount(s, 7, 3, 8, 1, nullptr); });
    reader_->Respond(reader_->NextRequest(), ResultBody(12, {0x03, 0x08, 0x09}));
    t.join();
    EXPECT_EQ(result, 12);
}

TEST_F(Generic, GetPropertiesReadsTheFirstItemWithTheId) {
    ulmot_AttachTargetProcessor(client_, 12, 3);
    uint8_t v8 = 0;
    uint16_t v16 = 0;
    char text[8];
    int32_t result = 99;
    std::thread t([&] { result = ulmot_GetPropertyInt8(client_, 12, 1, 4, &v8); });
    Bytes req = reader_->NextRequest();
    EXPECT_EQ(req, (Bytes{0x03, 0x07, 0x08, 0x04, 0x0C, 0x01, 0x00, 0x00}));
    reader_->Respond(req, ResultBody(0, {0x40, 0x21, 0x40, 0x22}));
    t.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(v8, 0x21);

    t = std::thread([&] { result = ulmot_GetPropertyInt16(client_, 12, 1, 15, &v16); });
    reader_->Respond(reader_->NextRequest(), ResultBody(0, {0xF1, 0x0F, 0x12, 0x34}));
    t.join();
    EXPECT_EQ(v16, 0x1234);

    t = std::thread([&] { result = ulmot_GetPropertyString(client_, 12, 1, 2, text, 8); });
    reader_->Respond(reader_->NextRequest(), ResultBody(0, {0x24, 0x00, 0x03, 'a', 'b', 'c'}));
    t.join();
    EXPECT_EQ(result, 0);
    EXPECT_STREQ(text, "abc");

    // Too long for the buffer, or missing: -1 and the line.
    CaptureStderr();
    t = std::thread([&] { result = ulmot_GetPropertyString(client_, 12, 1, 2, text, 3); });
    reader_->Respond(reader_->NextRequest(), ResultBody(0, {0x24, 0x00, 0x03, 'x', 'y', 'z'}));
    t.join();
    EXPECT_EQ(result, -1);
    EXPECT_STREQ(text, "abc");
    t = std::thread([&] { result = ulmot_GetPropertyInt16(client_, 12, 1, 9, &v16); });
    reader_->Respond(reader_->NextRequest(), ResultBody(0, {0x90, 0x01}));
    t.join();
    EXPECT_EQ(result, -1);
    const std::string err = GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("]ulmot_GetPropertyString: Failed to obtain property in response\n"));
    EXPECT_THAT(err, HasSubstr("]ulmot_GetPropertyInt16: Failed to find property in response\n"));

    // A refused request: no block, the operation's own line is not written.
    CaptureStderr();
    t = std::thread([&] { result = ulmot_GetPropertyInt8(client_, 12, 1, 4, &v8); });
    reader_->Respond(reader_->NextRequest(), ResultBody(-9));
    t.join();
    EXPECT_EQ(result, -1);
    const std::string refused = GetCapturedStderr();
    EXPECT_THAT(refused, HasSubstr("]ulmot_GetObjectProperties: Failed\n"));
    EXPECT_THAT(refused, testing::Not(HasSubstr("GetPropertyInt8")));
}

TEST_F(Generic, GetPropertyStringIntoNoRoomWritesNothing) {
    char text[1] = {'Q'};
    CaptureStderr();
    EXPECT_EQ(ulmot_GetPropertyString(client_, 12, 1, 2, text, 0), -5);
    GetCapturedStderr();
    EXPECT_EQ(text[0], 'Q');
    EXPECT_TRUE(reader_->NextRequest(100).empty());
}

TEST_F(Generic, RemoveAndTypesFrom25GoToProcessorZero) {
    int32_t result = 99;
    std::thread t([&] { result = ulmot_RemoveObject(client_, 30, 4); });
    const Bytes req = reader_->NextRequest();
    EXPECT_EQ(req, (Bytes{0x00, 0x07, 0x08, 0x02, 0x1E, 0x04, 0x00, 0x00}));
    reader_->Respond(req, ResultBody(0));
    t.join();
    EXPECT_EQ(result, 0);
}

}  // namespace
