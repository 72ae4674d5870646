// The real time-outs of a session, each waited out once in the whole suite:
// the 5,000 ms response time-out, the 20 s time-out of the CTI request, and 49
// and 50 receive failures in a row with their 100 ms pauses. A suite of its own
// whose cases ctest starts first, so that they run beside the quick ones.
#include "support.h"

namespace {

using namespace ulmot::test;

std::string TimeoutLine(Session *s, int id, int timeout, int objectType, int command) {
    return Format("ulmot_SendSessionMessage: Response timeout (result 258, ID %p-%d, timeout %d, REQUEST, src 1, "
                  "dst 0, objtype %d, cmd %d, instance 0)", static_cast<void *>(s), id, timeout, objectType, command);
}

using Responses = SessionTest;

TEST_F(Responses, LateResponseNeverCompletesALaterRequest) {
    LogCapture log;
    AsyncRequest first, second;
    first.Start(session_, 1, 0, 8, 0);
    const Bytes late = peer_->Receive();
    first.Join();
    EXPECT_EQ(first.result, -1);
    EXPECT_GE(first.elapsedMs, 5000);
    // Slot 8 is kept aside for its late response: the next request takes
    // slot 7, and the late response does not complete it.
    second.Start(session_, 1, 0, 8, 0);
    const Bytes fresh = peer_->Receive();
    ASSERT_EQ(fresh.size(), 10u);
    peer_->Respond(late, ResultBody(111));
    peer_->Respond(fresh, ResultBody(222));
    second.Join();
    EXPECT_EQ(fresh[ULMOT_HEADER_TYPE_ID] * 1000 + second.result, 7222) << "slot 7, and its own result";
    EXPECT_EQ(AllAtOnce(session_, *peer_, 8), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8})) << "slot 8 is back";
    EXPECT_EQ(log.Lines(), Lines{TimeoutLine(session_, 8, 5000, 8, 0)});
}

TEST_F(Responses, CtiRequestWaitsTwentySeconds) {
    LogCapture log;
    AsyncRequest cti, other;
    cti.Start(session_, 1, 0, 10, 100);
    ASSERT_FALSE(peer_->Receive().empty());
    other.Start(session_, 1, 0, 10, 99);  // another command of the same object: 5 s
    ASSERT_FALSE(peer_->Receive().empty());
    other.Join();
    // The slot of the other request is kept aside for as long as its time-out,
    // in case its response comes late; then all seven beside the CTI request
    // are usable again.
    std::this_thread::sleep_for(std::chrono::milliseconds(5300));
    EXPECT_EQ(AllAtOnce(session_, *peer_, 7), (std::vector<int>{1, 2, 3, 4, 5, 6, 7}));
    cti.Join();
    EXPECT_EQ(cti.result + other.result, -2);
    EXPECT_GE(cti.elapsedMs, 20000);
    EXPECT_EQ(log.Lines(), (Lines{TimeoutLine(session_, 7, 5000, 10, 99), TimeoutLine(session_, 8, 20000, 10, 100)}));
}

using Unrequested = FaultySessionTest;

const std::string kFailure = "ulmot_SessionReceiveThread(faulty): receive failure";

TEST_F(Unrequested, FortyNineFailuresInARowKeepTheSession) {
    LogCapture log;
    const auto start = Clock::now();
    utr_FaultStats stats{};
    const auto failed = [&](uint32_t n) {
        return WaitUntil([&] { return utr_FaultGetStats(fault_, UTR_INBOUND, &stats), stats.failed == n; }, 10000);
    };
    utr_FaultFailReceives(fault_, 49, 0);
    ASSERT_TRUE(failed(49));
    EXPECT_GE(MsSince(start), 4800) << "100 ms after each failure";
    // A message starts the count again: the failure after it is the first.
    EXPECT_EQ(AllAtOnce(session_, *peer_, 1), std::vector<int>{8});
    utr_FaultFailReceives(fault_, 1, 0);
    ASSERT_TRUE(failed(50));
    EXPECT_EQ(AllAtOnce(session_, *peer_, 1), std::vector<int>{8});
    EXPECT_EQ(log.Lines(), Lines(50, kFailure));
}

TEST_F(Unrequested, FiftyFailuresInARowEndTheSession) {
    LogCapture log;
    utr_FaultFailReceives(fault_, 50, 0);
    ASSERT_EQ(ends_.WaitFor(1, 10000).size(), 1u);
    const std::string text = log.Text();
    Lines expected(50, kFailure);
    expected.push_back("ulmot_SessionReceiveThread(faulty): Session terminated (unrequested, rx fail count: 50)");
    expected.push_back("ended");
    EXPECT_EQ(log.Lines(), expected);
    EXPECT_EQ(ThreadOf(text, "ended"), ThreadOf(text, "receive failure"));
}

}  // namespace
