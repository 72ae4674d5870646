// The real time-outs of a session, each waited out once in the whole suite:
// the 5,000 ms response time-out, the 20 s time-out of the CTI request, and 49
// and 50 receive failures in a row with their 100 ms pauses. A suite of its own
// whose cases ctest starts first, so that they run beside the quick ones.
#include <algorithm>

#include "support.h"

namespace {

using namespace ulmot::test;
using Lines = std::vector<std::string>;

std::string TimeoutLine(Session *s, int id, int timeout, int objectType, int command) {
    return Format("ulmot_SendSessionMessage: Response timeout (result 258, ID %p-%d, timeout %d, REQUEST, src 1, dst 0, "
                  "objtype %d, cmd %d, instance 0)",
                  static_cast<void *>(s), id, timeout, objectType, command);
}

// Sends requests until `count` are outstanding; their message ids, sorted.
std::vector<int> Outstanding(Session *s, Peer &peer, AsyncRequest *r, int count, std::vector<Bytes> &requests) {
    std::vector<int> ids;
    for (int i = 0; i < count; ++i) {
        r[i].Start(s, 1, 0, 8, 0);
        requests.push_back(Await(peer));
        if (requests.back().empty()) break;
        ids.push_back(requests.back()[ULMOT_HEADER_TYPE_ID]);
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

using Responses = SessionTest;

TEST_F(Responses, LateResponseNeverCompletesALaterRequest) {
    LogCapture log;
    AsyncRequest first;
    first.Start(session_, 1, 0, 8, 0);
    const Bytes late = Await(*peer_);
    first.Join();
    EXPECT_EQ(first.result, -1);
    EXPECT_GE(first.elapsedMs, 5000);
    // Slot 8 is kept aside until its late response comes: the next request
    // takes slot 7, and the late response does not complete it.
    AsyncRequest second;
    second.Start(session_, 1, 0, 8, 0);
    const Bytes fresh = Await(*peer_);
    ASSERT_FALSE(fresh.empty());
    EXPECT_EQ(fresh[ULMOT_HEADER_TYPE_ID], 7);
    peer_->Respond(late, ResultBody(111));
    peer_->Respond(fresh, ResultBody(222));
    second.Join();
    EXPECT_EQ(second.result, 222);
    // The late response gave slot 8 back: eight requests are outstanding again.
    AsyncRequest r[8];
    std::vector<Bytes> requests;
    EXPECT_EQ(Outstanding(session_, *peer_, r, 8, requests), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8}));
    for (const Bytes &request : requests) peer_->Respond(request, ResultBody(0));
    for (auto &one : r) {
        one.Join();
        EXPECT_EQ(one.result, 0);
    }
    EXPECT_EQ(log.Lines(), Lines{TimeoutLine(session_, 8, 5000, 8, 0)});
}

TEST_F(Responses, CtiRequestWaitsTwentySeconds) {
    LogCapture log;
    AsyncRequest cti, other;
    cti.Start(session_, 1, 0, 10, 100);
    ASSERT_FALSE(Await(*peer_).empty());
    other.Start(session_, 1, 0, 10, 99);  // another command of the same object: 5 s
    ASSERT_FALSE(Await(*peer_).empty());
    other.Join();
    EXPECT_EQ(other.result, -1);
    EXPECT_LT(other.elapsedMs, 10000);
    // The slot of the other request, never answered, is kept aside for as
    // long as its time-out; then the seven slots beside the CTI request are
    // all usable.
    std::this_thread::sleep_for(std::chrono::milliseconds(5300));
    AsyncRequest r[7];
    std::vector<Bytes> requests;
    EXPECT_EQ(Outstanding(session_, *peer_, r, 7, requests), (std::vector<int>{1, 2, 3, 4, 5, 6, 7}));
    for (const Bytes &request : requests) peer_->Respond(request, ResultBody(0));
    for (auto &one : r) one.Join();
    cti.Join();
    EXPECT_EQ(cti.result, -1);
    EXPECT_GE(cti.elapsedMs, 20000);
    EXPECT_EQ(log.Lines(), (Lines{TimeoutLine(session_, 7, 5000, 10, 99), TimeoutLine(session_, 8, 20000, 10, 100)}));
}

using Unrequested = FaultySessionTest;

const std::string kFailure = "ulmot_SessionReceiveThread(faulty): receive failure";

TEST_F(Unrequested, FortyNineFailuresInARowKeepTheSession) {
    LogCapture log;
    const auto start = Clock::now();
    utr_FaultFailReceives(fault_, 49, 0);
    utr_FaultStats stats{};
    ASSERT_TRUE(WaitUntil([&] { return utr_FaultGetStats(fault_, UTR_INBOUND, &stats), stats.failed == 49; }, 10000));
    EXPECT_GE(MsSince(start), 4800) << "100 ms after each failure";
    // A message starts the count again: the failure after it is the first.
    AsyncRequest r;
    r.Start(session_, 1, 0, 8, 0);
    peer_->Respond(Await(*peer_), ResultBody(1));
    r.Join();
    EXPECT_EQ(r.result, 1);
    utr_FaultFailReceives(fault_, 1, 0);
    ASSERT_TRUE(WaitUntil([&] { return utr_FaultGetStats(fault_, UTR_INBOUND, &stats), stats.failed == 50; }));
    AsyncRequest after;
    after.Start(session_, 1, 0, 8, 0);
    peer_->Respond(Await(*peer_), ResultBody(2));
    after.Join();
    EXPECT_EQ(after.result, 2);
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
