// Sending: header bytes, message ids of the request slots, body limits,
// response matching and time-outs, as the far end sees them.
#include <gmock/gmock.h>

#include <algorithm>

#include "session_support.h"

namespace {

using namespace ulmot::test;
using testing::HasSubstr;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

using Header = PoolTest;

TEST_F(Header, WritesTheEightBytesInFrontOfTheBody) {
    MessageBlock *b = ulmot_BufferAllocate(300, 8);
    ulmot_BufferWriteDTPInt16(b, 255, 0);
    ASSERT_EQ(ulmot_MessageAddHeader(b, ULMOT_MSG_EVENT, 0x11, 0x22, 0x1FF, 0x133, 4, 9, 0x0104), 0);
    EXPECT_EQ(DataOf(b), (Bytes{0x22, 0x11, 0xBF, 0x04, 0x33, 0x09, 0x01, 0x04, 0xF1, 0xFF, 0x00, 0x00}));
    CaptureStderr();
    EXPECT_EQ(ulmot_MessageAddHeader(b, 0, 0, 0, 0, 0, 0, 0, 0), -1);
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("]ulmot_AddMessageHeader: Insufficient buffer header space\n"));
    freeb(b);
}

using Send = SessionTest;

TEST_F(Send, RequestCarriesSlotIdAndWaitsForItsResponse) {
    AsyncRequest r;
    r.Start(session_, 0x21, 0x05, 8, 0, true);
    const Bytes req = peer_->Receive();
    ASSERT_EQ(req.size(), 10u);
    EXPECT_EQ(req, (Bytes{0x05, 0x21, 0x08, 0x00, 0x08, 0x00, 0x00, 0x02, 0x10, 0x00}));
    peer_->Respond(req, ResultBody(-5, {0x03, 0x08, 0x02}), 7);
    r.Join();
    EXPECT_EQ(r.result, -5);
    EXPECT_EQ(r.instance, 7);
}

TEST_F(Send, ResponseBlockGoesToTheCallerAtTheBody) {
    AsyncRequest r;
    MessageBlock *response = nullptr;
    std::thread t([&] {
        r.result = ulmot_SendSessionMessage(session_, ULMOT_MSG_REQUEST, 1, 0, 0, 8, 0, 0, RequestBody(),
                                            &response, nullptr);
    });
    peer_->Respond(peer_->Receive(), ResultBody(0, {0x03, 0x08, 0x02}));
    t.join();
    ASSERT_EQ(r.result, 0);
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(DataOf(response), (Bytes{0xF1, 0xFF, 0x00, 0x00, 0x03, 0x08, 0x02}));
    freemsg(response);
}

TEST_F(Send, IdsAreEightFirstAndEightAgainAfterCompletion) {
    for (int round = 0; round < 3; ++round) {
        AsyncRequest r;
        r.Start(session_, 1, 0, 8, 0);
        const Bytes req = peer_->Receive();
        ASSERT_FALSE(req.empty());
        EXPECT_EQ(req[ULMOT_HEADER_TYPE_ID], 8) << round;
        peer_->Respond(req, ResultBody(0));
        r.Join();
        EXPECT_EQ(r.result, 0);
    }
}

TEST_F(Send, OutstandingRequestsTakeEightThenSevenAndANinthWaitsForASlot) {
    AsyncRequest r[9];
    std::vector<Bytes> requests;
    for (int i = 0; i < 8; ++i) {
        r[i].Start(session_, 1, 0, 8, 0);
        requests.push_back(peer_->Receive());
        ASSERT_EQ(requests.back()[ULMOT_HEADER_TYPE_ID], 8 - i) << i;
    }
    r[8].Start(session_, 1, 0, 8, 0);
    EXPECT_TRUE(peer_->Receive(300).empty()) << "all 8 slots are taken";
    peer_->Respond(requests[3], ResultBody(3));  // frees slot 5
    const Bytes ninth = peer_->Receive();
    ASSERT_FALSE(ninth.empty());
    EXPECT_EQ(ninth[ULMOT_HEADER_TYPE_ID], 5) << "the slot just freed is taken next";
    peer_->Respond(ninth, ResultBody(9));
    for (int i = 0; i < 8; ++i) {
        if (i != 3) peer_->Respond(requests[static_cast<size_t>(i)], ResultBody(static_cast<int16_t>(i)));
    }
    for (int i = 0; i < 9; ++i) {
        r[i].Join();
        EXPECT_EQ(r[i].result, i == 8 ? 9 : i) << i;
    }
}

TEST_F(Send, NonRequestsUseTheGivenIdAndDoNotWait) {
    MessageBlock *b = RequestBody();
    EXPECT_EQ(ulmot_SendSessionMessage(session_, ULMOT_MSG_RESPONSE, 3, 4, 0x25, 23, 6, 2, b, nullptr, nullptr), 0);
    EXPECT_EQ(peer_->Receive(), (Bytes{0x04, 0x03, 0x65, 0x06, 0x17, 0x02, 0x00, 0x02, 0x10, 0x00}));
}

// A block outside the pools, large enough for bodies the pools cannot hold.
// It is marked free, so releasing it changes nothing.
struct LargeBlock {
    uint8_t buffer[4096];
    DataBlock data{buffer, buffer + sizeof buffer, 1, 0};
    MessageBlock block{};

    MessageBlock *WithBody(uint32_t bodyLength) {
        block.readPtr = buffer + 8;
        block.writePtr = block.readPtr + bodyLength;
        block.dataBlock = &data;
        block.inUse = 0;
        std::memset(block.readPtr, 0x5A, bodyLength);
        return &block;
    }
};

TEST_F(Send, BodyOf2048IsSentAnd2049Refused) {
    static LargeBlock large;
    EXPECT_EQ(ulmot_SendSessionMessage(session_, ULMOT_MSG_EVENT, 1, 0, 0, 2, 0, 0, large.WithBody(2048),
                                       nullptr, nullptr),
              0);
    const Bytes sent = peer_->Receive();
    ASSERT_EQ(sent.size(), 2056u);
    EXPECT_EQ(sent[6], 0x08);
    EXPECT_EQ(sent[7], 0x00);

    for (uint32_t type : {ULMOT_MSG_REQUEST, ULMOT_MSG_EVENT}) {
        CaptureStderr();
        EXPECT_EQ(ulmot_SendSessionMessage(session_, type, 1, 0, 0, 2, 0, 0, large.WithBody(2049), nullptr,
                                           nullptr),
                  -1);
        EXPECT_THAT(GetCapturedStderr(), HasSubstr("]ulmot_SendSessionMessage: Message data overflow\n"));
    }
    EXPECT_TRUE(peer_->Receive(100).empty());
    // The request's slot was given back: 8 requests can still be outstanding.
    AsyncRequest r[8];
    for (auto &one : r) {
        one.Start(session_, 1, 0, 8, 0);
        ASSERT_FALSE(peer_->Receive().empty());
    }
    for (auto &one : r) one.Join();
}

TEST_F(Send, MissingHeadRoomReleasesTheBlock) {
    MessageBlock *b = ulmot_BufferAllocate(64, 4);
    CaptureStderr();
    EXPECT_EQ(ulmot_SendSessionMessage(session_, ULMOT_MSG_REQUEST, 1, 0, 0, 8, 0, 0, b, nullptr, nullptr), -1);
    const std::string err = GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("]ulmot_AddMessageHeader: Insufficient buffer header space\n"));
    EXPECT_THAT(err, HasSubstr("]ulmot_SendSessionMessage: Failed to add header\n"));
}

using Responses = SessionTest;

TEST_F(Responses, DestinationZeroCompletesAnySourceAndAnotherDestinationIsDropped) {
    AsyncRequest r;
    r.Start(session_, 0x21, 0, 8, 0);
    Bytes req = peer_->Receive();
    Frame wrong;
    wrong.destination = 0x22;
    wrong.id = 8;
    wrong.body = ResultBody(1);
    CaptureStderr();
    peer_->Send(wrong);
    Frame any = wrong;
    any.destination = 0;
    any.body = ResultBody(2);
    peer_->Send(any);
    r.Join();
    EXPECT_EQ(r.result, 2);
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("]ulmot_SessionHandleResponse: Invalid processor ID\n"));
}

TEST_F(Responses, ResultIsSignExtendedAndFFFFReadsAsMinusOne) {
    for (int16_t result : {int16_t{-32768}, int16_t{32767}, int16_t{-1}, int16_t{-7}}) {
        AsyncRequest r;
        r.Start(session_, 1, 0, 8, 0);
        peer_->Respond(peer_->Receive(), ResultBody(result));
        r.Join();
        EXPECT_EQ(r.result, result);
    }
}

TEST_F(Responses, MissingResultIsMinusOneAndTheBlockIsReleasedAnyway) {
    MessageBlock *response = nullptr;
    int32_t result = 0;
    std::thread t([&] {
        result = ulmot_SendSessionMessage(session_, ULMOT_MSG_REQUEST, 1, 0, 0, 8, 0, 0, RequestBody(), &response,
                                          nullptr);
    });
    CaptureStderr();
    peer_->Respond(peer_->Receive(), {0x03, 0x08, 0x02});
    t.join();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(response, nullptr) << "the response out is left untouched";
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("]ulmot_SendSessionMessage: Failed to read result\n"));
}

TEST_F(Responses, InvalidIdsAreDroppedAndTheRequestTimesOut) {
    AsyncRequest r;
    r.Start(session_, 1, 0, 8, 0);
    const Bytes req = peer_->Receive();
    CaptureStderr();
    for (uint8_t id : {uint8_t{0}, uint8_t{9}, uint8_t{63}}) {
        Frame f;
        f.id = id;
        f.body = ResultBody(0);
        peer_->Send(f);
    }
    r.Join();
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(r.result, -1);
    EXPECT_GE(r.elapsedMs, 5000);
    EXPECT_LT(r.elapsedMs, 7000);
    for (const char *id : {"-0 received", "-9 received", "-63 received"}) EXPECT_THAT(err, HasSubstr(id));
    EXPECT_THAT(err, HasSubstr("ulmot_SendSessionMessage: Response timeout (result 258, ID "));
    EXPECT_THAT(err, HasSubstr("-8, timeout 5000, REQUEST, src 1, dst 0, objtype 8, cmd 0, instance 0)\n"));
}

TEST_F(Responses, CtiRequestWaitsTwentySeconds) {
    AsyncRequest cti, other;
    cti.Start(session_, 1, 0, 10, 100);
    other.Start(session_, 1, 0, 10, 99);
    CaptureStderr();
    cti.Join();
    other.Join();
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(cti.result, -1);
    EXPECT_GE(cti.elapsedMs, 20000);
    EXPECT_LT(cti.elapsedMs, 22000);
    EXPECT_EQ(other.result, -1);
    EXPECT_LT(other.elapsedMs, 7000);
    EXPECT_THAT(err, HasSubstr("timeout 20000, REQUEST, src 1, dst 0, objtype 10, cmd 100,"));
}

TEST_F(Responses, LateResponseNeverCompletesALaterRequest) {
    AsyncRequest first;
    first.Start(session_, 1, 0, 8, 0);
    const Bytes stale = peer_->Receive();
    first.Join();
    EXPECT_EQ(first.result, -1);

    // Slot 8 is set aside until its late response comes: the next request
    // takes another slot, and the late response does not complete it.
    AsyncRequest second;
    second.Start(session_, 1, 0, 8, 1);
    const Bytes fresh = peer_->Receive();
    EXPECT_EQ(fresh[ULMOT_HEADER_TYPE_ID], 7);
    peer_->Respond(stale, ResultBody(111));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(second.done);
    peer_->Respond(fresh, ResultBody(222));
    second.Join();
    EXPECT_EQ(second.result, 222);

    // Every slot is usable again: 8 requests outstanding at once, ids 8..1.
    AsyncRequest r[8];
    std::vector<Bytes> requests;
    for (auto &one : r) {
        one.Start(session_, 1, 0, 8, 0);
        requests.push_back(peer_->Receive());
        ASSERT_FALSE(requests.back().empty());
    }
    std::vector<int> ids;
    for (const Bytes &req : requests) ids.push_back(req[ULMOT_HEADER_TYPE_ID]);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8}));
    for (const Bytes &req : requests) peer_->Respond(req, ResultBody(0));
    for (auto &one : r) {
        one.Join();
        EXPECT_EQ(one.result, 0);
    }
}

TEST_F(Responses, DuplicateResponseIsReleasedNotKept) {
    AsyncRequest r;
    r.Start(session_, 1, 0, 8, 0);
    const Bytes req = peer_->Receive();
    peer_->Respond(req, ResultBody(5));
    peer_->Respond(req, ResultBody(6));
    r.Join();
    EXPECT_EQ(r.result, 5);
    // The second copy finds no request waiting on its slot and is released.
    // (Had a new request already taken the slot, the copy could not be told
    // from its response: give the receive thread time to see the copy.)
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    AsyncRequest next;
    next.Start(session_, 1, 0, 8, 0);
    const Bytes req2 = peer_->Receive();
    peer_->Respond(req2, ResultBody(7));
    next.Join();
    EXPECT_EQ(next.result, 7);
}

// A duplicate arriving while the caller takes the first copy out of its
// slot: the receive thread and the caller meet on the slot, which only the
// session's lock may arbitrate (ThreadSanitizer saw them race before). Each
// caller gets its own result and its own response block, every time.
TEST_F(Responses, DuplicateArrivingWhileTheCallerTakesTheResponseIsDropped) {
    CaptureStderr();  // copies that find their slot free are logged
    for (int i = 0; i < 200; ++i) {
        AsyncRequest r;
        r.Start(session_, 1, 0, 8, 0, true);
        const Bytes req = peer_->Receive();
        ASSERT_FALSE(req.empty());
        peer_->Respond(req, ResultBody(static_cast<int16_t>(i), {0x20, 0x01, static_cast<uint8_t>(i)}));
        peer_->Respond(req, ResultBody(static_cast<int16_t>(i + 1000)));
        r.thread.join();
        EXPECT_EQ(r.result, i);
        ASSERT_NE(r.response, nullptr);
        EXPECT_EQ(DataOf(r.response), ResultBody(static_cast<int16_t>(i), {0x20, 0x01, static_cast<uint8_t>(i)}));
        r.Join();
        // The copy must have been seen before a new request takes the slot.
        while (utr_MemoryQueued(SessionSide()) != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    GetCapturedStderr();
}

}  // namespace
