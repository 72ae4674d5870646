// IOCTL requests answered by a client and by an IoctlProcessor: statuses,
// item order, and the response reaching the requester's slot.
#include <gmock/gmock.h>

#include "processors/ioctl.h"
#include "processors_support.h"

namespace {

using namespace ulmot::test;
using testing::HasSubstr;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// Echoes the request reversed and returns `result`.
struct Echo {
    int32_t result = 0;
    std::atomic<int> calls{0};
    Bytes lastRequest;
    static int32_t Callback(void *c, const uint8_t *req, uint16_t len, uint8_t *resp, uint32_t cap, uint16_t *out) {
        auto *e = static_cast<Echo *>(c);
        e->lastRequest.assign(req, req + len);
        uint16_t n = 0;
        for (uint16_t i = len; i > 0 && n < cap && n < 8; --i) resp[n++] = req[i - 1];
        *out = n;
        e->calls.fetch_add(1);
        return e->result;
    }
};

// An IOCTL request from processor 5 with message id 3.
Frame IoctlRequest(uint8_t command, Bytes body, uint8_t destination) {
    Frame f;
    f.destination = destination;
    f.source = 5;
    f.type = ULMOT_MSG_REQUEST;
    f.id = 3;
    f.command = command;
    f.objectType = ULMOT_OBJ_IOCTL;
    f.body = std::move(body);
    return f;
}

Bytes ArrayItem1(size_t n, uint8_t fill = 0xAB) {
    Bytes b = {0x14, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
    for (size_t i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(fill + i));
    return b;
}

using ClientIoctl = ClientTest;

TEST_F(ClientIoctl, AnswersStatusFirstThenTheData) {
    Echo echo;
    ulmot_RegisterIOCTL(client_, Echo::Callback, &echo, 1);
    reader_->peer().Send(IoctlRequest(100, ArrayItem1(3, 1), 7));
    const Bytes resp = reader_->NextRequest();
    // RESPONSE to processor 5 with message id 3, from the client's id 7.
    EXPECT_EQ(resp, (Bytes{0x05, 0x07, 0x43, 0x64, 0x17, 0x00, 0x00, 0x08, 0x30, 0x00, 0x24, 0x00, 0x03, 3, 2, 1}));
    EXPECT_EQ(echo.lastRequest, (Bytes{1, 2, 3}));
}

TEST_F(ClientIoctl, StatusesOfItsOwn) {
    Echo echo;
    echo.result = 0x1FF;
    // No callback: status 1, silently.
    CaptureStderr();
    reader_->peer().Send(IoctlRequest(100, ArrayItem1(2), 7));
    EXPECT_EQ(BodyOf(reader_->NextRequest()), (Bytes{0x30, 0x01}));
    EXPECT_EQ(GetCapturedStderr(), "");
    ulmot_RegisterIOCTL(client_, Echo::Callback, &echo, 1);
    // Command 101: status 2, the callback is not called.
    reader_->peer().Send(IoctlRequest(101, ArrayItem1(2), 7));
    EXPECT_EQ(BodyOf(reader_->NextRequest()), (Bytes{0x30, 0x02}));
    EXPECT_EQ(echo.calls.load(), 0);
    // Without item 1 the callback gets an empty request; 0x1FF travels as FF.
    reader_->peer().Send(IoctlRequest(100, {0x30, 0x01}, 0));
    EXPECT_EQ(BodyOf(reader_->NextRequest()), (Bytes{0x30, 0xFF}));
    EXPECT_TRUE(echo.lastRequest.empty());
    // 1001 bytes are handed over whole.
    reader_->peer().Send(IoctlRequest(100, ArrayItem1(1001), 7));
    const Bytes body = BodyOf(reader_->NextRequest());
    EXPECT_EQ(echo.lastRequest.size(), 1001u);
    EXPECT_EQ(body.size(), 2u + 3 + 8);
    // Disabling clears the callback: status 1 again.
    ulmot_RegisterIOCTL(client_, Echo::Callback, &echo, 0);
    reader_->peer().Send(IoctlRequest(100, ArrayItem1(2), 7));
    EXPECT_EQ(BodyOf(reader_->NextRequest()), (Bytes{0x30, 0x01}));
}

TEST_F(ClientIoctl, RequestsOfOtherTypesAreDroppedSilently) {
    Frame f = IoctlRequest(100, ArrayItem1(2), 7);
    f.objectType = 16;
    CaptureStderr();
    reader_->peer().Send(f);
    EXPECT_TRUE(reader_->NextRequest(300).empty());
    EXPECT_EQ(GetCapturedStderr(), "");
}

class IoctlProcessorTest : public PoolTest {
protected:
    void SetUp() override {
        PoolTest::SetUp();
        pair_ = utr_MemoryPairCreate(nullptr, nullptr, 0);
        utr_MemorySetReceiveSlice(pair_, 10);  // destroys need not wait out an 800 ms receive
        reader_ = std::make_unique<ScriptedReader>(utr_MemoryEndpoint(pair_, UTR_SIDE_B));
        ASSERT_EQ(ulmot_CreateIOCTLProcessor(utr_MemoryEndpoint(pair_, UTR_SIDE_A), "ioctl-0123456789abcdef", &p_), 0);
    }
    void TearDown() override {
        if (p_) ulmot_DestroyIOCTLProcessor(p_);
        reader_.reset();
        utr_MemoryPairDestroy(pair_);
        PoolTest::TearDown();
    }
    utr_MemoryPair *pair_ = nullptr;
    std::unique_ptr<ScriptedReader> reader_;
    IoctlProcessor *p_ = nullptr;
};

TEST_F(IoctlProcessorTest, RegistersType23UnderSixteenCharacters) {
    EXPECT_EQ(BodyOf(reader_->lastRegistration()),
              (Bytes{0x15, 0x00, 0x03, 0x01, 0x00, 0x17, 0x04, 0x00, 0x10, 'i', 'o', 'c', 't', 'l', '-', '0', '1', '2',
                     '3', '4', '5', '6', '7', '8', '9'}));
    EXPECT_EQ(p_->processorId, 7);
}

TEST_F(IoctlProcessorTest, AnswersDataFirstThenTheStatus) {
    Echo echo;
    ulmot_RegisterIOCTLProcessorCallback(p_, Echo::Callback, &echo);
    reader_->peer().Send(IoctlRequest(100, ArrayItem1(3, 1), 7));
    EXPECT_EQ(reader_->NextRequest(),
              (Bytes{0x05, 0x07, 0x43, 0x64, 0x17, 0x00, 0x00, 0x08, 0x24, 0x00, 0x03, 3, 2, 1, 0x30, 0x00}));
    // A callback that answers nothing still gets an empty item 2.
    echo.result = 0;
    reader_->peer().Send(IoctlRequest(100, ArrayItem1(0), 7));
    EXPECT_EQ(BodyOf(reader_->NextRequest()), (Bytes{0x24, 0x00, 0x00, 0x30, 0x00}));
}

TEST_F(IoctlProcessorTest, StatusesOfItsOwn) {
    CaptureStderr();
    reader_->peer().Send(IoctlRequest(100, ArrayItem1(2), 7));
    EXPECT_EQ(BodyOf(reader_->NextRequest()), (Bytes{0x30, 0x01}));
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("]ulmot_IOCTLRequestHandler: no request handler defined\n"));

    Echo echo;
    ulmot_RegisterIOCTLProcessorCallback(p_, Echo::Callback, &echo);
    reader_->peer().Send(IoctlRequest(101, ArrayItem1(2), 7));
    EXPECT_EQ(BodyOf(reader_->NextRequest()), (Bytes{0x30, 0x02}));
    CaptureStderr();
    reader_->peer().Send(IoctlRequest(100, ArrayItem1(1001), 7));
    EXPECT_EQ(BodyOf(reader_->NextRequest()), (Bytes{0x30, 0x03}));
    reader_->peer().Send(IoctlRequest(100, {0x30, 0x01}, 7));
    EXPECT_EQ(BodyOf(reader_->NextRequest()), (Bytes{0x30, 0x03}));
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("]ulmot_IOCTLRequestHandler: failed to read request data\n"));
    EXPECT_EQ(echo.calls.load(), 0);

    // A request of another object type gets no answer at all.
    Frame f = IoctlRequest(100, ArrayItem1(2), 7);
    f.objectType = 16;
    CaptureStderr();
    reader_->peer().Send(f);
    EXPECT_TRUE(reader_->NextRequest(300).empty());
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("]ulmot_IOCTLRequestHandler: invalid object\n"));
}

TEST_F(IoctlProcessorTest, DestroyAfterTheLinkWentIsSafe) {
    CaptureStderr();
    utr_MemoryLinkDown(pair_);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ulmot_DestroyIOCTLProcessor(p_);
    p_ = nullptr;
    GetCapturedStderr();
}

}  // namespace
