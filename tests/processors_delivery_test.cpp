// Requests to the delivery processor, as the far end receives them.
#include <gmock/gmock.h>

#include "session_support.h"

namespace {

using namespace ulmot::test;
using testing::HasSubstr;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

using Delivery = SessionTest;

TEST_F(Delivery, RegistrationSendsTheObjectTypesThenTheName) {
    const uint32_t types[] = {16, 23, 0x1FF};
    uint8_t id = 0;
    int32_t result = 99;
    std::thread t([&] { result = ulmot_DeliveryProcessorRegistration(session_, "app", types, 3, &id); });
    const Bytes req = peer_->Receive();
    EXPECT_EQ(req, (Bytes{0x00, 0x00, 0x08, 0x01, 0x0E, 0x00, 0x00, 0x10,  // header
                          0x15, 0x00, 0x07, 0x03, 0x00, 0x10, 0x00, 0x17, 0x00, 0xFF,  // Int8 list 16, 23, 255
                          0x04, 0x00, 0x03, 'a', 'p', 'p'}));                            // name
    peer_->Respond(req, ResultBody(0), 42);
    t.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(id, 42);
}

TEST_F(Delivery, NameLengthIsOneTo254) {
    const uint32_t types[] = {16};
    CaptureStderr();
    EXPECT_EQ(ulmot_DeliveryProcessorRegistration(session_, "", types, 1, nullptr), -5);
    EXPECT_EQ(ulmot_DeliveryProcessorRegistration(session_, std::string(255, 'n').c_str(), types, 1, nullptr), -5);
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2);
    EXPECT_THAT(err, HasSubstr("]ulmot_DeliveryProcessorRegistration: Improper processor name length\n"));
    EXPECT_TRUE(peer_->Receive(100).empty()) << "nothing is sent";

    const std::string longest(254, 'n');
    int32_t result = 99;
    std::thread t([&] { result = ulmot_DeliveryProcessorRegistration(session_, longest.c_str(), types, 1, nullptr); });
    const Bytes req = peer_->Receive();
    EXPECT_EQ(req.size(), 8u + 6 + 3 + 254);
    if (req.size() == 271) {
        EXPECT_EQ(req[8 + 6 + 1], 0x00);
        EXPECT_EQ(req[8 + 6 + 2], 0xFE);
    }
    peer_->Respond(req, ResultBody(0), 3);
    t.join();
    EXPECT_EQ(result, 0);
}

TEST_F(Delivery, DeregistrationCarriesTheIdAsSourceAndInstance) {
    int32_t result = 99;
    std::thread t([&] { result = ulmot_DeliveryProcessorDeregistration(session_, 0x105); });
    const Bytes req = peer_->Receive();
    EXPECT_EQ(req, (Bytes{0x00, 0x05, 0x08, 0x02, 0x0E, 0x05, 0x00, 0x00}));
    peer_->Respond(req, ResultBody(-2));
    t.join();
    EXPECT_EQ(result, -2);
}

struct SearchCase {
    const char *name;
    uint32_t objectType;
    Bytes expected;  // the whole request
};

class Search : public SessionTest, public ::testing::WithParamInterface<SearchCase> {};

TEST_P(Search, BuildsItsBodyAndReadsItem3) {
    const SearchCase &c = GetParam();
    uint8_t id = 0;
    int32_t result = 99;
    std::thread t([&] { result = ulmot_FindProcessorByName(session_, 9, c.name, c.objectType, &id, 1); });
    const Bytes req = peer_->Receive();
    EXPECT_EQ(req, c.expected);
    peer_->Respond(req, ResultBody(0, {0x33, 0x0E, 0x04}));
    t.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(id, 4);
}

INSTANTIATE_TEST_SUITE_P(
    Delivery, Search,
    ::testing::Values(
        // By name with object type 199: the name alone.
        SearchCase{"rdr", 199, {0x00, 0x09, 0x08, 0x64, 0x0E, 0x00, 0x00, 0x08, 0x04, 0x00, 0x03, 'r', 'd', 'r', 0x50, 0x01}},
        // By name and object type.
        SearchCase{"rdr", 0x105, {0x00, 0x09, 0x08, 0x64, 0x0E, 0x00, 0x00, 0x0A, 0x04, 0x00, 0x03, 'r', 'd', 'r', 0x20, 0x05, 0x50, 0x01}},
        // By object type; 199 without a name is just a type.
        SearchCase{nullptr, 199, {0x00, 0x09, 0x08, 0x65, 0x0E, 0x00, 0x00, 0x04, 0x20, 0xC7, 0x50, 0x01}},
        SearchCase{nullptr, 5, {0x00, 0x09, 0x08, 0x65, 0x0E, 0x00, 0x00, 0x04, 0x20, 0x05, 0x50, 0x01}}));

TEST_F(Delivery, SearchWithoutItem3GivesZeroAndOneLine) {
    uint8_t id = 77;
    int32_t result = 99;
    CaptureStderr();
    std::thread t([&] { result = ulmot_FindProcessorByName(session_, 9, nullptr, 5, &id, 0); });
    peer_->Respond(peer_->Receive(), ResultBody(0));
    t.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(id, 0);
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("]ulmot_FindProcessorByName: Failed to find processor ID in response\n"));
}

TEST_F(Delivery, RefusedOrTimedOutSearchLeavesTheOutUntouched) {
    uint8_t id = 77;
    int32_t result = 99;
    std::thread t([&] { result = ulmot_FindProcessorByName(session_, 9, "x", 5, &id, 0); });
    peer_->Respond(peer_->Receive(), ResultBody(-3, {0x33, 0x0E, 0x04}));
    t.join();
    EXPECT_EQ(result, -3);
    EXPECT_EQ(id, 77);

    CaptureStderr();
    t = std::thread([&] { result = ulmot_FindProcessorByName(session_, 9, "x", 5, &id, 0); });
    ASSERT_FALSE(peer_->Receive().empty());
    t.join();
    GetCapturedStderr();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(id, 77);
}

}  // namespace
