// Host transports: the in-memory pair (the block moves, refused sends release
// it, a full ring, time-outs and the receive slice, link down and restore),
// the fault wrapper (every scripted fault in each direction and per message
// type, with its counts; termination; failed sends and receives) and the
// stream sockets over TCP and Unix
// (framing however the bytes come, senders that never interleave, limits of
// a declared body, probe, addresses, accept) and the capture files that
// sockets and memory endpoints record into. Every test ends with
// every pool element back in its pool.
#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <bit>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "support.h"

namespace {

using namespace ulmot::test;

constexpr uint8_t kReq = ULMOT_MSG_REQUEST, kResp = ULMOT_MSG_RESPONSE, kEvent = ULMOT_MSG_EVENT;
constexpr int kShort2 = 10, kShort3 = 11;  // messages of 2 and 3 bytes (type request)
constexpr int64_t kNothing = -100;

// A message of `type` whose 4-byte body is `seq`; kShort2/kShort3 give the
// short ones.
MessageBlock *Message(uint32_t seq, int type = kReq) {
    if (type >= kShort2) return BlockWith(Bytes(type == kShort2 ? 2 : 3, 0), 0);
    Bytes b = {1, 2, static_cast<uint8_t>(type << 6), 0, 0, 0, 0, 4};
    PutBe(b, seq, 4);
    return BlockWith(b, 0);
}

// The sequence number of the next message (minus its length for a short
// one), or kNothing.
int64_t Take(Transport *t, uint32_t timeoutMs = 3000) {
    MessageBlock *b = nullptr;
    if (t->receive(t, &b, timeoutMs) != ULMOT_OK) return kNothing;
    const Bytes d = DataOf(b);
    freemsg(b);
    if (d.size() != 12) return -static_cast<int64_t>(d.size());
    return int64_t{d[8]} << 24 | d[9] << 16 | d[10] << 8 | d[11];
}

// True while thread `tid` sleeps in the kernel: a receiver parked in its wait.
bool Sleeping(pid_t tid) {
    std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/stat");
    const std::string s{std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
    const size_t close = s.rfind(')');
    return close != std::string::npos && close + 2 < s.size() && s[close + 2] == 'S';
}

// A call on a thread of its own, and its result.
struct Waiter {
    std::atomic<pid_t> tid{0};
    std::atomic<int32_t> result{12345};
    std::atomic<long long> ms{0};
    std::thread thread;
    explicit Waiter(std::function<int32_t()> call)
        : thread([this, call] {
              tid = gettid();
              const auto start = Clock::now();
              result = call();
              ms = MsSince(start);
          }) {}
    // Asleep at five looks in a row, a millisecond apart: in its wait, not on its way there.
    bool Parked() {
        int asleep = 0;
        return WaitUntil([&] { return (asleep = tid != 0 && Sleeping(tid) ? asleep + 1 : 0) >= 5; });
    }
    int32_t Join() {
        thread.join();
        return result;
    }
};

int32_t ReceiveAndRelease(Transport *t, uint32_t timeoutMs) {
    MessageBlock *b = nullptr;
    const int32_t r = t->receive(t, &b, timeoutMs);
    if (r == ULMOT_OK) freemsg(b);
    return r;
}

// ---- In-memory pair ------------------------------------------------------------

class MemoryPair : public PoolTest {
protected:
    void SetUp() override {
        PoolTest::SetUp();
        ASSERT_NE(pair_ = utr_MemoryPairCreate("near", "far", 0), nullptr);
        a_ = utr_MemoryEndpoint(pair_, UTR_SIDE_A);
        b_ = utr_MemoryEndpoint(pair_, UTR_SIDE_B);
    }
    void TearDown() override {
        utr_MemoryPairDestroy(pair_);
        PoolTest::TearDown();
    }
    utr_MemoryPair *pair_ = nullptr;
    Transport *a_ = nullptr, *b_ = nullptr;
};

TEST_F(MemoryPair, MovesTheSameBlockEachWayInOrderUntilTheRingIsFull) {
    EXPECT_STREQ(a_->name, "near");
    EXPECT_STREQ(b_->name, "far");
    for (auto [from, to] : {std::pair{a_, b_}, std::pair{b_, a_}}) {
        MessageBlock *first = Message(1), *second = Message(2), *got = nullptr;
        ASSERT_EQ(from->send(from, first, 0), ULMOT_OK);
        ASSERT_EQ(from->send(from, second, 0), ULMOT_OK);
        EXPECT_EQ(utr_MemoryQueued(to), 2u);
        EXPECT_EQ(utr_MemoryQueued(from), 0u);
        for (MessageBlock *expected : {first, second}) {
            ASSERT_EQ(to->receive(to, &got, 0), ULMOT_OK);
            EXPECT_EQ(got, expected) << "copied or reordered";
            freemsg(got);
        }
    }
    utr_MemoryPair *small = utr_MemoryPairCreate(nullptr, nullptr, 2);
    Transport *x = utr_MemoryEndpoint(small, UTR_SIDE_A), *y = utr_MemoryEndpoint(small, UTR_SIDE_B);
    EXPECT_STREQ(x->name, "memory-a");
    EXPECT_STREQ(y->name, "memory-b");
    // 1 2 fill the ring, 3 is refused (and released), 4 and 6 go round it.
    const int32_t results[] = {0, 0, -1, 0, -1};
    for (uint32_t seq = 1; seq <= 5; ++seq) {
        EXPECT_EQ(x->send(x, Message(seq), 0), results[seq - 1]) << seq;
        if (seq == 3) {
            EXPECT_EQ(Take(y), 1);
        }
    }
    EXPECT_EQ(Take(y), 2);
    EXPECT_EQ(x->send(x, Message(6), 0), ULMOT_OK);
    EXPECT_EQ(Take(y), 4);
    EXPECT_EQ(Take(y), 6);
    MessageBlock *chain = Message(7);
    linkb(chain, allocb(2048, 0));
    x->send(x, chain, 0);
    y->send(y, Message(8), 0);
    utr_MemoryPairDestroy(small);  // releases what is queued on both sides
}

TEST_F(MemoryPair, ReceiveTimesOutPollsAndWaitsAtMostOneSlice) {
    EXPECT_EQ(ReceiveAndRelease(a_, 0), ULMOT_TRANSPORT_TIMEOUT);
    for (uint32_t slice : {0u, 20u, 60000u}) {  // none, shorter and longer than the time-out
        ASSERT_EQ(utr_MemorySetReceiveSlice(pair_, slice), ULMOT_OK);
        const uint32_t timeout = slice == 20 ? 60000 : 100;
        const auto start = Clock::now();
        EXPECT_EQ(ReceiveAndRelease(a_, timeout), ULMOT_TRANSPORT_TIMEOUT);
        EXPECT_GE(MsSince(start), std::min(slice == 0 ? timeout : slice, timeout));
        EXPECT_LT(MsSince(start), Scaled(30000)) << "slice " << slice;
    }
    ASSERT_EQ(b_->send(b_, Message(9), 0), ULMOT_OK);
    EXPECT_EQ(Take(a_, 0), 9);
}

TEST_F(MemoryPair, TakingTheLinkDownWakesReceiversReleasesQueuedBlocksAndRestoreRecovers) {
    for (int how = 0; how < 3; ++how) {  // closed by A, closed by B, taken down
        SCOPED_TRACE(how);
        ASSERT_EQ(a_->send(a_, Message(1), 0), ULMOT_OK);
        Waiter waiter([&] { return ReceiveAndRelease(a_, 20000); });
        ASSERT_TRUE(waiter.Parked());
        ASSERT_EQ(how == 2 ? utr_MemoryLinkDown(pair_) : utr_MemoryClose(how == 0 ? a_ : b_), ULMOT_OK);
        EXPECT_EQ(waiter.Join(), ULMOT_TRANSPORT_TERMINATED);
        EXPECT_LT(waiter.ms, 10000) << "the waiting receiver was not woken";
        EXPECT_EQ(utr_MemoryQueued(b_), 0u);
        for (Transport *t : {a_, b_}) {
            EXPECT_EQ(ReceiveAndRelease(t, 0), ULMOT_TRANSPORT_TERMINATED);
            EXPECT_EQ(t->send(t, Message(3), 0), ULMOT_ERR_FAILED);
            EXPECT_EQ(t->probe(t), ULMOT_ERR_FAILED);
        }
        ASSERT_EQ(utr_MemoryRestore(pair_), ULMOT_OK);
        for (Transport *t : {a_, b_}) EXPECT_EQ(t->probe(t), ULMOT_OK);
        ASSERT_EQ(a_->send(a_, Message(4), 0), ULMOT_OK);
        EXPECT_EQ(Take(b_), 4);
    }
    // A receiver that sleeps through a down and a restore still learns of it.
    Waiter waiter([&] { return ReceiveAndRelease(a_, 2000); });
    ASSERT_TRUE(waiter.Parked());
    utr_MemoryLinkDown(pair_);
    utr_MemoryRestore(pair_);
    EXPECT_EQ(waiter.Join(), ULMOT_TRANSPORT_TERMINATED);
}

// ---- Fault wrapper ------------------------------------------------------------------

// The wrapper sits on A: outbound, the test sends through it and receives at
// B; inbound, it sends from B and receives through it.
class FaultTest : public MemoryPair, public testing::WithParamInterface<uint32_t> {
protected:
    void SetUp() override {
        MemoryPair::SetUp();
        ASSERT_NE(fault_ = utr_FaultCreate(a_, "faulty"), nullptr);
    }
    void TearDown() override {
        utr_FaultDestroy(fault_);
        MemoryPair::TearDown();
    }
    uint32_t Dir() const { return GetParam(); }
    Transport *From() const { return Dir() == UTR_OUTBOUND ? fault_ : b_; }
    Transport *To() const { return Dir() == UTR_OUTBOUND ? b_ : fault_; }
    // forwarded, dropped, delayed, duplicated, reordered, failed, discarded, held
    std::vector<uint32_t> Counts(uint32_t dir) const {
        utr_FaultStats s{};
        EXPECT_EQ(utr_FaultGetStats(fault_, dir, &s), ULMOT_OK);
        return {s.forwarded, s.dropped, s.delayed, s.duplicated, s.reordered, s.failed, s.discarded, s.held};
    }
    Transport *fault_ = nullptr;
};

INSTANTIATE_TEST_SUITE_P(Each, FaultTest, testing::Values(UTR_OUTBOUND, UTR_INBOUND),
                         [](const auto &p) { return std::string(p.param == UTR_OUTBOUND ? "Outbound" : "Inbound"); });

TEST_P(FaultTest, EachScriptAppliesToTheNextMatchingMessagesAndCountsThem) {
    struct Row {
        const char *name;
        std::function<void(Transport *, uint32_t)> script;
        std::vector<int> sent;  // the types of messages 1, 2, ...
        std::vector<int64_t> received;
        std::vector<uint32_t> counts;  // forwarded, dropped, delayed, duplicated, reordered
    };
    const std::vector<Row> rows = {
        {"drop two of any type, a short one too",
         [](Transport *f, uint32_t d) { utr_FaultDrop(f, d, 2, UTR_MATCH_ANY); },
         {kShort2, kReq, kReq, kReq}, {3, 4}, {2, 2}},
        {"drop a response", [](Transport *f, uint32_t d) { utr_FaultDrop(f, d, 1, UTR_MATCH_RESPONSE); },
         {kReq, kResp, kEvent, kResp}, {1, 3, 4}, {3, 1}},
        {"below 3 bytes a message has no type",
         [](Transport *f, uint32_t d) { utr_FaultDrop(f, d, 2, UTR_MATCH_REQUEST); },
         {kShort2, kShort3, kReq}, {-2}, {1, 2}},
        {"duplicate an event", [](Transport *f, uint32_t d) { utr_FaultDuplicate(f, d, 1, UTR_MATCH_EVENT); },
         {kReq, kEvent, kEvent}, {1, 2, 2, 3}, {2, 0, 0, 1}},
        {"reorder two", [](Transport *f, uint32_t d) { utr_FaultReorder(f, d, 2, UTR_MATCH_ANY); },
         {kReq, kReq, kReq, kReq, kReq}, {2, 1, 4, 3, 5}, {3, 0, 0, 0, 2}},
        {"a held request waits for the next message passed on, a duplicated one too",
         [](Transport *f, uint32_t d) {
             utr_FaultReorder(f, d, 1, UTR_MATCH_REQUEST), utr_FaultDuplicate(f, d, 1, UTR_MATCH_EVENT);
         },
         {kReq, kEvent, kResp}, {2, 2, 1, 3}, {1, 0, 0, 1, 1}},
        {"one action a message, drop before duplicate",
         [](Transport *f, uint32_t d) {
             utr_FaultDrop(f, d, 1, UTR_MATCH_RESPONSE), utr_FaultDuplicate(f, d, 2, UTR_MATCH_ANY);
         },
         {kReq, kResp, kEvent, kResp}, {1, 1, 3, 3, 4}, {1, 1, 0, 2}},
        {"delayed responses keep their order, others overtake them",
         [](Transport *f, uint32_t d) { utr_FaultDelay(f, d, 2, 100, UTR_MATCH_RESPONSE); },
         {kResp, kReq, kResp, kReq}, {2, 4, 1, 3}, {2, 0, 2}},
        {"a count of 0 cancels",
         [](Transport *f, uint32_t d) { utr_FaultDrop(f, d, 3, UTR_MATCH_ANY), utr_FaultDrop(f, d, 0, UTR_MATCH_ANY); },
         {kReq, kReq}, {1, 2}, {2}},
        {"clear cancels every script",
         [](Transport *f, uint32_t d) {
             utr_FaultDelay(f, d, 3, 5000, UTR_MATCH_ANY), utr_FaultDuplicate(f, d, 3, UTR_MATCH_ANY);
             utr_FaultReorder(f, d, 3, UTR_MATCH_ANY), utr_FaultFailSends(f, 3, UTR_MATCH_ANY);
             utr_FaultFailReceives(f, 3, 0), utr_FaultClear(f);
         },
         {kReq, kReq}, {1, 2}, {2}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        utr_FaultDestroy(fault_);
        row.script(fault_ = utr_FaultCreate(a_, "faulty"), Dir());
        const auto start = Clock::now();
        for (size_t i = 0; i < row.sent.size(); ++i) {
            ASSERT_EQ(From()->send(From(), Message(static_cast<uint32_t>(i + 1), row.sent[i]), 0), ULMOT_OK);
        }
        std::vector<int64_t> got;
        for (size_t i = 0; i < row.received.size(); ++i) got.push_back(Take(To()));
        EXPECT_GE(MsSince(start), row.counts.size() > 2 && row.counts[2] > 0 ? 100 : 0) << "delayed too little";
        EXPECT_EQ(Take(To(), 30), kNothing);
        EXPECT_EQ(got, row.received);
        std::vector<uint32_t> counts = row.counts;
        counts.resize(8);
        EXPECT_EQ(Counts(Dir()), counts);
        EXPECT_EQ(Counts(1 - Dir()), std::vector<uint32_t>(8));
    }
}

TEST_P(FaultTest, TerminateDiscardsHeldMessagesRefusesEverythingAndRestoreResumes) {
    ASSERT_EQ(utr_FaultDelay(fault_, Dir(), 1, 10000, UTR_MATCH_ANY), ULMOT_OK);
    ASSERT_EQ(utr_FaultReorder(fault_, Dir(), 1, UTR_MATCH_ANY), ULMOT_OK);
    ASSERT_EQ(From()->send(From(), Message(1), 0), ULMOT_OK);  // delayed
    ASSERT_EQ(From()->send(From(), Message(2), 0), ULMOT_OK);  // held for reordering
    if (Dir() == UTR_INBOUND) {
        EXPECT_EQ(Take(fault_, 50), kNothing);  // pulls both in
    }
    EXPECT_EQ(Counts(Dir())[7], 2u);
    Waiter waiter([&] { return ReceiveAndRelease(fault_, 5000); });
    ASSERT_TRUE(waiter.Parked());
    ASSERT_EQ(utr_FaultTerminate(fault_), ULMOT_OK);
    EXPECT_EQ(waiter.Join(), ULMOT_TRANSPORT_TERMINATED);
    EXPECT_EQ(Counts(Dir()), (std::vector<uint32_t>{0, 0, 1, 0, 1, 0, 2, 0}));
    EXPECT_EQ(fault_->probe(fault_), ULMOT_ERR_FAILED);
    EXPECT_EQ(fault_->send(fault_, Message(3), 0), ULMOT_ERR_FAILED);
    EXPECT_EQ(Counts(UTR_OUTBOUND)[5], 1u) << "a refused send counts as failed";
    ASSERT_EQ(b_->send(b_, Message(4), 0), ULMOT_OK);
    EXPECT_EQ(ReceiveAndRelease(fault_, 0), ULMOT_TRANSPORT_TERMINATED);
    EXPECT_EQ(utr_MemoryQueued(a_), 1u) << "the inner transport keeps what came meanwhile";
    ASSERT_EQ(utr_FaultRestore(fault_), ULMOT_OK);
    EXPECT_EQ(fault_->probe(fault_), ULMOT_OK);
    EXPECT_EQ(Take(fault_), 4);
    ASSERT_EQ(From()->send(From(), Message(5), 0), ULMOT_OK);
    EXPECT_EQ(Take(To()), 5);
}

TEST_F(FaultTest, FailedSendsAndReceivesAndWhatTheInnerTransportShows) {
    ASSERT_EQ(utr_FaultFailSends(fault_, 2, UTR_MATCH_RESPONSE), ULMOT_OK);
    const std::pair<int, int32_t> sends[] = {{kReq, 0}, {kResp, -1}, {kResp, -1}, {kResp, 0}};
    for (auto [type, result] : sends) EXPECT_EQ(fault_->send(fault_, Message(7, type), 0), result);
    EXPECT_EQ(utr_MemoryQueued(b_), 2u);
    EXPECT_EQ(Counts(UTR_OUTBOUND), (std::vector<uint32_t>{2, 0, 0, 0, 0, 2, 0, 0}));
    ASSERT_EQ(b_->send(b_, Message(1), 0), ULMOT_OK);
    ASSERT_EQ(utr_FaultFailReceives(fault_, 2, 0), ULMOT_OK);
    EXPECT_EQ(ReceiveAndRelease(fault_, 1000), ULMOT_ERR_FAILED);
    EXPECT_EQ(ReceiveAndRelease(fault_, 1000), ULMOT_ERR_FAILED);
    ASSERT_EQ(utr_FaultFailReceives(fault_, 1, ULMOT_TRANSPORT_TERMINATED), ULMOT_OK);
    EXPECT_EQ(ReceiveAndRelease(fault_, 1000), ULMOT_TRANSPORT_TERMINATED);
    EXPECT_EQ(utr_MemoryQueued(a_), 1u) << "a failed receive consumes nothing";
    EXPECT_EQ(Take(fault_, 0), 1) << "a time-out of 0 still asks the inner transport";
    EXPECT_EQ(Counts(UTR_INBOUND), (std::vector<uint32_t>{1, 0, 0, 0, 0, 3, 0, 0}));
    const auto start = Clock::now();
    EXPECT_EQ(ReceiveAndRelease(fault_, 100), ULMOT_TRANSPORT_TIMEOUT);
    EXPECT_GE(MsSince(start), 100);
    utr_MemoryLinkDown(pair_);
    EXPECT_EQ(fault_->probe(fault_), ULMOT_ERR_FAILED);
    EXPECT_EQ(ReceiveAndRelease(fault_, 100), ULMOT_TRANSPORT_TERMINATED);
}

// ---- Sockets ---------------------------------------------------------------------------

// An event frame whose body is `length` bytes counting up from `first`.
Bytes EventFrame(uint32_t length, uint8_t first = 0) {
    Bytes w = {0, 0, ULMOT_MSG_EVENT << 6, 0, 0, 0};
    PutBe(w, length, 2);
    for (uint32_t i = 0; i < length; ++i) w.push_back(static_cast<uint8_t>(first + i));
    return w;
}

// `bytes` from `from` in a chain of blocks of `piece` bytes.
MessageBlock *Chain(const Bytes &bytes, size_t piece, size_t from = 0) {
    MessageBlock *head = nullptr;
    for (size_t at = from; at < bytes.size(); at += piece) {
        const auto start = bytes.begin() + long(at);
        MessageBlock *b = BlockWith(Bytes(start, start + long(std::min(piece, bytes.size() - at))), 0);
        head == nullptr ? void(head = b) : linkb(head, b);
    }
    return head;
}

// Receives until something other than a time-out comes; the bytes in `out`.
int32_t Settle(Transport *t, Bytes *out = nullptr) {
    int32_t r = ULMOT_TRANSPORT_TIMEOUT;
    MessageBlock *b = nullptr;
    for (int i = 0; i < 50 && r == ULMOT_TRANSPORT_TIMEOUT; ++i) r = t->receive(t, &b, 200);
    if (r == ULMOT_OK && out != nullptr) *out = DataOf(b);
    if (r == ULMOT_OK) freemsg(b);
    return r;
}
Bytes Next(Transport *t) {
    Bytes got;
    Settle(t, &got);
    return got;
}

// Writes `bytes[from, from + count)` to a plain socket.
bool Write(int fd, const Bytes &bytes, size_t from = 0, size_t count = SIZE_MAX) {
    for (size_t at = from, end = std::min(bytes.size(), from + std::min(count, bytes.size())); at < end;) {
        const ssize_t n = send(fd, bytes.data() + at, end - at, MSG_NOSIGNAL);
        if (n <= 0) return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

class SocketTest : public PoolTest, public testing::WithParamInterface<std::string> {
protected:
    void SetUp() override {
        PoolTest::SetUp();
        char dir[] = "/tmp/ulmot-sock-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        listener_ = utr_SocketListen(Tcp() ? "tcp:127.0.0.1:0" : ("unix:" + dir_ + "/s.sock").c_str());
        ASSERT_NE(listener_, nullptr) << utr_SocketLastError();
        std::vector<char> bound(128);
        ASSERT_EQ(utr_SocketListenerAddress(listener_, bound.data(), 128), ULMOT_OK);
        address_ = bound.data();
    }
    void TearDown() override {
        for (Transport *t : ends_) utr_SocketDestroy(t);
        for (int fd : fds_) close(fd);
        utr_SocketListenerDestroy(listener_);
        std::filesystem::remove_all(dir_);
        PoolTest::TearDown();
    }
    bool Tcp() const { return GetParam() == "tcp"; }
    Transport *Keep(Transport *t) { return ends_.emplace_back(t); }
    Transport *Connect() { return Keep(utr_SocketConnect(address_.c_str(), 2000)); }
    Transport *Accept() { return Keep(utr_SocketAccept(listener_, 5000)); }
    // A plain client socket; the server end of its connection in `server`.
    int RawClient(Transport **server) {
        sockaddr_storage sa{};
        auto *in = reinterpret_cast<sockaddr_in *>(&sa);
        auto *un = reinterpret_cast<sockaddr_un *>(&sa);
        in->sin_family = Tcp() ? AF_INET : AF_UNIX;
        in->sin_port = Tcp() ? htons(uint16_t(std::stoi(address_.substr(address_.rfind(':') + 1)))) : 0;
        in->sin_addr.s_addr = Tcp() ? htonl(INADDR_LOOPBACK) : 0;
        if (!Tcp()) std::strncpy(un->sun_path, address_.c_str() + 5, sizeof un->sun_path - 1);
        const int fd = fds_.emplace_back(socket(in->sin_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&sa), Tcp() ? sizeof *in : sizeof *un), 0);
        *server = Accept();
        EXPECT_NE(*server, nullptr);
        return fd;
    }

    std::string dir_, address_;
    utr_SocketListener *listener_ = nullptr;
    std::vector<Transport *> ends_;
    std::vector<int> fds_;
};

INSTANTIATE_TEST_SUITE_P(Loopback, SocketTest, testing::Values("tcp", "unix"),
                         [](const testing::TestParamInfo<std::string> &p) { return p.param; });

TEST_P(SocketTest, TheHeaderCutsTheStreamIntoFramesHoweverTheBytesCome) {
    Transport *server = nullptr;
    const int raw = RawClient(&server);
    // The server end is named after its peer (TCP) or its listener (Unix).
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    getsockname(raw, reinterpret_cast<sockaddr *>(&peer), &size);
    EXPECT_EQ(server->name, Tcp() ? "tcp:127.0.0.1:" + std::to_string(ntohs(peer.sin_port)) : address_);
    // Byte by byte, receives timing out in between: what came so far is kept.
    const Bytes small = EventFrame(20, 7);
    for (size_t i = 0; i + 1 < small.size(); ++i) {
        ASSERT_TRUE(Write(raw, small, i, 1));
        ASSERT_EQ(ReceiveAndRelease(server, i < 10 ? 3 : 0), ULMOT_TRANSPORT_TIMEOUT) << "byte " << i;
    }
    ASSERT_TRUE(Write(raw, small, small.size() - 1));
    EXPECT_EQ(Next(server), small);
    // The largest frame a block holds, in pieces that cut the header too.
    const Bytes large = EventFrame(ULMOT_MAX_BLOCK_SIZE - ULMOT_HEADER_SIZE, 1);
    for (size_t at = 0, n = 5; at < large.size(); at += std::exchange(n, 700)) ASSERT_TRUE(Write(raw, large, at, n));
    EXPECT_EQ(Next(server), large);
    // Bodies of 2041 to 2048 bytes are legal but fit no block: read past in
    // full, so the frame after them is whole. Several frames in one write.
    const Bytes stream = Concat({EventFrame(2041), EventFrame(0), EventFrame(2048), EventFrame(3, 0x30)});
    ASSERT_TRUE(Write(raw, stream));
    EXPECT_EQ(Settle(server), ULMOT_ERR_FAILED);
    EXPECT_EQ(Next(server), EventFrame(0));
    EXPECT_EQ(Settle(server), ULMOT_ERR_FAILED);
    EXPECT_EQ(Next(server), EventFrame(3, 0x30));
    // 2049: nothing after it can be trusted; the connection is closed.
    Bytes lying = Concat({EventFrame(0), EventFrame(3)});
    lying[ULMOT_HEADER_LENGTH] = 0x08;
    lying[ULMOT_HEADER_LENGTH + 1] = 0x01;
    ASSERT_TRUE(Write(raw, lying));
    EXPECT_EQ(Settle(server), ULMOT_ERR_FAILED);
    EXPECT_EQ(ReceiveAndRelease(server, 0), ULMOT_TRANSPORT_TERMINATED);
    uint8_t byte = 0;
    EXPECT_EQ(recv(raw, &byte, 1, 0), 0) << "the peer sees the end";
}

TEST_P(SocketTest, APeerThatClosesEndsTheLinkAndAServerEndNeverComesBack) {
    for (size_t cut : {0, 5, 60}) {  // between frames, in a header, in a body
        SCOPED_TRACE(cut);
        Transport *server = nullptr;
        const int raw = RawClient(&server);
        ASSERT_TRUE(Write(raw, EventFrame(100), 0, cut));
        shutdown(raw, SHUT_RDWR);
        EXPECT_EQ(Settle(server), ULMOT_TRANSPORT_TERMINATED);
        EXPECT_EQ(ReceiveAndRelease(server, 0), ULMOT_TRANSPORT_TERMINATED);
        EXPECT_EQ(server->send(server, BlockWith(EventFrame(4), 0), 0), ULMOT_ERR_FAILED);
        EXPECT_EQ(server->probe(server), ULMOT_ERR_FAILED);
    }
}

TEST_P(SocketTest, SendPassesWholeFramesOnlyAndSeveralSendersNeverInterleave) {
    Transport *client = Connect(), *server = Accept();
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(client->name, address_);
    Bytes longer = Concat({EventFrame(4), {0xEE}}), shorter = EventFrame(10), over = Concat({EventFrame(2048), {0}});
    shorter.resize(14);
    over[ULMOT_HEADER_LENGTH + 1] = 1;  // 2049
    for (const Bytes &bad : {Bytes{1, 2, 3, 4, 5}, longer, shorter, over}) {
        EXPECT_EQ(client->send(client, Chain(bad, 1024), 0), ULMOT_ERR_FAILED);
    }
    EXPECT_EQ(client->send(client, nullptr, 0), ULMOT_ERR_FAILED);
    EXPECT_EQ(client->send(client, Chain(EventFrame(2048), 1024), 0), ULMOT_OK);
    EXPECT_EQ(Settle(server), ULMOT_ERR_FAILED) << "the largest body goes out, and is read past";
    // Each sender's frames carry its number and sequence, with a length and
    // bytes that follow from them: a frame cut into by another shows. Odd
    // senders send chains of 20 blocks, more than one write takes.
    constexpr int kSenders = 4, kEach = 200;
    auto length = [](int s, int q) { return static_cast<uint32_t>(2 + (q * 397 + s * 101) % 2000); };
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            for (int q = 0; q < kEach; ++q) {
                Frame f;
                f.source = static_cast<uint8_t>(s);
                f.body.assign(length(s, q), static_cast<uint8_t>(s * 31 + q));
                f.body[0] = static_cast<uint8_t>(q);
                const Bytes w = f.Wire();
                EXPECT_EQ(client->send(client, Chain(w, s % 2 == 0 ? w.size() : (w.size() + 19) / 20), 0), ULMOT_OK);
            }
        });
    }
    std::vector<int> next(kSenders, 0);
    for (int n = 0; n < kSenders * kEach; ++n) {
        const Bytes f = Next(server);
        ASSERT_GT(f.size(), 9u) << "frame " << n;
        const int s = f[ULMOT_HEADER_SOURCE] % kSenders, q = next[s]++;
        ASSERT_EQ(f.size(), ULMOT_HEADER_SIZE + length(s, q)) << "sender " << s << " frame " << q;
        ASSERT_EQ(f[8], static_cast<uint8_t>(q));
        for (size_t k = 9; k < f.size(); ++k) ASSERT_EQ(f[k], static_cast<uint8_t>(s * 31 + q)) << k;
    }
    for (auto &t : senders) t.join();
}

TEST_P(SocketTest, ReceiveTimesOutAndProbeReconnectsOnceTheServerIsBack) {
    Transport *client = Connect(), *server = utr_SocketAccept(listener_, 5000);
    ASSERT_NE(server, nullptr);
    for (Transport *t : {client, server}) {
        EXPECT_EQ(ReceiveAndRelease(t, 0), ULMOT_TRANSPORT_TIMEOUT);
        const auto start = Clock::now();
        EXPECT_EQ(ReceiveAndRelease(t, 50), ULMOT_TRANSPORT_TIMEOUT);
        EXPECT_GE(MsSince(start), 45);  // poll counts whole milliseconds
        EXPECT_EQ(t->probe(t), ULMOT_OK);
        EXPECT_EQ(t->receive(t, nullptr, 0), ULMOT_ERR_INVALID);
    }
    // A peer gone with a frame unread: the link stays up until it is read.
    ASSERT_EQ(server->send(server, BlockWith(EventFrame(2, 1), 0), 0), ULMOT_OK);
    utr_SocketDestroy(server);
    utr_SocketListenerDestroy(std::exchange(listener_, nullptr));
    EXPECT_EQ(client->probe(client), ULMOT_OK);
    EXPECT_EQ(Next(client), EventFrame(2, 1));
    EXPECT_EQ(Settle(client), ULMOT_TRANSPORT_TERMINATED);
    EXPECT_EQ(client->probe(client), ULMOT_ERR_FAILED) << "nobody listens";
    EXPECT_EQ(ReceiveAndRelease(client, 0), ULMOT_TRANSPORT_TERMINATED);
    ASSERT_NE(listener_ = utr_SocketListen(address_.c_str()), nullptr) << utr_SocketLastError();
    ASSERT_EQ(client->probe(client), ULMOT_OK);
    Transport *again = Accept();
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(client->probe(client), ULMOT_OK);
    EXPECT_EQ(utr_SocketAccept(listener_, 0), nullptr) << "a live link is left alone";
    ASSERT_EQ(client->send(client, BlockWith(EventFrame(3, 2), 0), 0), ULMOT_OK);
    EXPECT_EQ(Next(again), EventFrame(3, 2));
    ASSERT_EQ(again->send(again, BlockWith(EventFrame(4, 3), 0), 0), ULMOT_OK);
    EXPECT_EQ(Next(client), EventFrame(4, 3));
}

// A pcapng capture as this machine wrote it: its interfaces' names, and its
// records as Record() writes them. The file is in the writing machine's byte
// order, which the section header's byte-order magic (1A 2B 3C 4D read in
// that order) announces: the reader takes the order from the magic, as
// Wireshark does, and reads every field byte by byte in it.
struct Pcapng {
    std::vector<std::string> interfaces, records;
    bool whole = false;      // every block's two lengths agree and the file ends on one
    bool hostOrder = false;  // the magic announces this machine's byte order
};

// "interface direction data": the data after the direction byte, in hex.
std::string Record(uint8_t interface, uint8_t direction, const Bytes &frame) {
    return std::to_string(interface) + " " + std::to_string(direction) + " " + Hex(Concat({{0, 0, 0, interface}, frame}));
}

Pcapng ReadPcapng(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    const Bytes d{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    const bool big = d.size() >= 12 && d[8] == 0x1A;
    auto u16 = [&](size_t at) {
        return big ? uint32_t{d[at]} << 8 | d[at + 1] : uint32_t{d[at + 1]} << 8 | d[at];
    };
    auto u32 = [&](size_t at) { return big ? u16(at) << 16 | u16(at + 2) : u16(at + 2) << 16 | u16(at); };
    Pcapng p;
    size_t at = 0;
    for (; at + 12 <= d.size(); at += u32(at + 4)) {
        const uint32_t type = u32(at), length = u32(at + 4);
        if (length < 12 || length % 4 != 0 || at + length > d.size() || u32(at + length - 4) != length) return p;
        if (type == 1 && length > 24) {  // the name option comes first
            const uint32_t n = u16(at + 18);
            if (20 + n > length) return p;
            p.interfaces.emplace_back(d.begin() + long(at) + 20, d.begin() + long(at + 20 + n));
        }
        if (type == 6 && length >= 32) {
            const uint32_t captured = u32(at + 20);
            if (captured == 0 || 28 + captured > length) return p;
            const Bytes data(d.begin() + long(at) + 28, d.begin() + long(at + 28 + captured));
            p.records.push_back(std::to_string(u32(at + 8)) + " " + std::to_string(data[0]) + " " +
                                Hex(Bytes(data.begin() + 1, data.end())));
        }
    }
    p.whole = at == d.size() && d.size() >= 28 && u32(0) == 0x0A0D0D0Au && u32(8) == 0x1A2B3C4Du;
    p.hostOrder = big == (std::endian::native == std::endian::big);
    return p;
}

TEST_P(SocketTest, ACaptureFileRecordsEachTransportAsAnInterfaceOfItsOwnInWireOrder) {
    Transport *client = Connect(), *server = Accept();
    ASSERT_NE(server, nullptr);
    utr_MemoryPair *pair = utr_MemoryPairCreate("left", nullptr, 0);
    Transport *left = utr_MemoryEndpoint(pair, UTR_SIDE_A), *right = utr_MemoryEndpoint(pair, UTR_SIDE_B);
    const std::string path = dir_ + "/wire.pcapng";
    utr_CaptureFile *file = utr_CaptureOpen(path.c_str());
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(utr_CaptureAttach(client, file, nullptr), ULMOT_OK);
    ASSERT_EQ(utr_CaptureAttach(left, file, nullptr), ULMOT_OK);
    ASSERT_EQ(utr_CaptureAttach(right, file, "the other end"), ULMOT_OK);
    utr_CaptureClose(file);  // the transports keep it open
    const Bytes out = EventFrame(4, 0xA0), in = EventFrame(2, 0xB0), odd = EventFrame(1, 0xC0);
    ASSERT_EQ(client->send(client, BlockWith(out, 0), 0), ULMOT_OK);
    ASSERT_EQ(server->send(server, BlockWith(in, 0), 0), ULMOT_OK);
    EXPECT_EQ(Next(client), in);
    EXPECT_EQ(Next(server), out);
    ASSERT_EQ(left->send(left, BlockWith(odd, 0), 0), ULMOT_OK);
    EXPECT_EQ(Next(right), odd);
    ASSERT_EQ(utr_CaptureAttach(client, nullptr, nullptr), ULMOT_OK);
    ASSERT_EQ(client->send(client, BlockWith(EventFrame(1), 0), 0), ULMOT_OK);  // not captured
    EXPECT_EQ(Next(server), EventFrame(1));
    utr_MemoryPairDestroy(pair);  // its endpoints' holds go: the file closes

    const Pcapng p = ReadPcapng(path);
    EXPECT_TRUE(p.whole);
    EXPECT_TRUE(p.hostOrder);
    EXPECT_EQ(p.interfaces, (std::vector<std::string>{address_, "left", "the other end"}));
    EXPECT_EQ(p.records, (std::vector<std::string>{Record(0, 0, out), Record(0, 1, in), Record(1, 0, odd),
                                                   Record(2, 1, odd)}));
}

TEST_P(SocketTest, ACaptureThatCannotBeWrittenIsGivenUpAndTheTransportGoesOn) {
    Transport *client = Connect(), *server = Accept();
    ASSERT_NE(server, nullptr);
    errno = 0;
    EXPECT_EQ(utr_CaptureOpen((dir_ + "/no/such/dir.pcapng").c_str()), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(utr_SocketCapture(client, (dir_ + "/no/such/dir.pcapng").c_str()), ULMOT_ERR_INVALID);
    EXPECT_EQ(utr_CaptureOpen("/dev/full"), nullptr) << "the section header cannot be written";
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(utr_SocketCapture(nullptr, "/dev/null"), ULMOT_ERR_INVALID);
    utr_CaptureFile *file = utr_CaptureOpen((dir_ + "/c.pcapng").c_str());
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(utr_CaptureAttach(nullptr, file, nullptr), ULMOT_ERR_INVALID);
    int foreign[8] = {};
    EXPECT_EQ(utr_CaptureAttach(reinterpret_cast<Transport *>(foreign), file, nullptr), ULMOT_ERR_INVALID);
    EXPECT_EQ(utr_CaptureError(file), 0);
    EXPECT_EQ(utr_CaptureError(nullptr), ULMOT_ERR_INVALID);
    // A file that stops taking frames half-way through one: given up there,
    // and every frame still goes.
    ASSERT_EQ(utr_CaptureAttach(client, file, nullptr), ULMOT_OK);
    const off_t described = std::filesystem::file_size(dir_ + "/c.pcapng");
    rlimit was{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &was), 0);
    rlimit small = was;
    small.rlim_cur = static_cast<rlim_t>(described) + 52 + 20;  // one 12-byte frame's record, and some
    signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    for (uint8_t n = 1; n <= 3; ++n) ASSERT_EQ(client->send(client, BlockWith(EventFrame(n), 0), 0), ULMOT_OK);
    setrlimit(RLIMIT_FSIZE, &was);
    signal(SIGXFSZ, SIG_DFL);
    for (uint8_t n = 1; n <= 3; ++n) EXPECT_EQ(Next(server), EventFrame(n));
    EXPECT_NE(utr_CaptureError(file), 0);
    ASSERT_EQ(client->send(client, BlockWith(EventFrame(4), 0), 0), ULMOT_OK);
    EXPECT_EQ(Next(server), EventFrame(4));
    const Pcapng p = ReadPcapng(dir_ + "/c.pcapng");
    EXPECT_FALSE(p.whole) << "the second record is cut";
    EXPECT_EQ(p.records, std::vector<std::string>{Record(0, 0, EventFrame(1))});
    EXPECT_EQ(std::filesystem::file_size(dir_ + "/c.pcapng"), small.rlim_cur);
    utr_CaptureClose(file);
}

TEST_P(SocketTest, ListenerAddressAndAcceptThatGivesUpOnTimeOutAndForGoodOnceWoken) {
    EXPECT_EQ(address_.rfind(Tcp() ? "tcp:127.0.0.1:" : "unix:/tmp/ulmot-sock-", 0), 0u) << address_;
    EXPECT_NE(address_, "tcp:127.0.0.1:0") << "the bound port, not the one asked for";
    std::vector<char> exact(address_.size() + 1);
    EXPECT_EQ(utr_SocketListenerAddress(listener_, exact.data(), uint32_t(exact.size())), ULMOT_OK);
    EXPECT_EQ(utr_SocketListenerAddress(listener_, exact.data(), uint32_t(address_.size())), ULMOT_ERR_INVALID);
    EXPECT_EQ(utr_SocketListenerAddress(nullptr, exact.data(), 64), ULMOT_ERR_INVALID);
    EXPECT_EQ(utr_SocketListenerAddress(listener_, nullptr, 64), ULMOT_ERR_INVALID);
    EXPECT_EQ(utr_SocketAccept(listener_, 0), nullptr);
    EXPECT_EQ(utr_SocketAccept(nullptr, 0), nullptr);
    Waiter waiter([&] { return utr_SocketAccept(listener_, UTR_SOCKET_WAIT_FOREVER) == nullptr ? 0 : 1; });
    ASSERT_TRUE(waiter.Parked());
    utr_SocketListenerWake(listener_);
    EXPECT_EQ(waiter.Join(), 0);
    ASSERT_NE(Connect(), nullptr);
    EXPECT_EQ(utr_SocketAccept(listener_, 2000), nullptr) << "woken for good, even with a client waiting";
}

TEST(SocketAddresses, MalformedOrUnreachableAddressesAreRefusedWithAReason) {
    const std::string path107 = "/tmp/" + std::string(102, 'x');
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"", "bad address"}, {"tcp:", "bad address"}, {"tcp:127.0.0.1", "bad address"},
        {"tcp:127.0.0.1:0", "bad address"}, {"tcp:127.0.0.1:65536", "bad address"},
        {"tcp:127.0.0.1:099999", "bad address"}, {"tcp::5088", "bad address"}, {"tcp:[]:5088", "bad address"},
        {"tcp:127.0.0.1:50x4", "bad address"}, {"udp:127.0.0.1:5088", "bad address"}, {"unix:", "bad address"},
        {"unix:" + path107 + "x", "path longer than 107 bytes"},
        {"unix:" + path107, "unix:" + path107 + ": no such socket file"},
        {"tcp:127.0.0.1:65535", "tcp:127.0.0.1:65535: connection refused"},
        {"tcp:no-such-host.invalid:5088", "cannot resolve host"}};
    for (const auto &[address, says] : rows) {
        EXPECT_EQ(utr_SocketConnect(address.c_str(), 1000), nullptr) << address;
        EXPECT_THAT(utr_SocketLastError(), HasSubstr(says)) << address;
    }
    EXPECT_EQ(utr_SocketConnect(nullptr, 100), nullptr);
    EXPECT_THAT(utr_SocketLastError(), HasSubstr("bad address"));
    EXPECT_EQ(utr_SocketListen("tcp:127.0.0.1:65536"), nullptr);
    utr_SocketListener *v6 = utr_SocketListen("tcp:[::1]:0");
    ASSERT_NE(v6, nullptr) << utr_SocketLastError();
    char bound[64];
    ASSERT_EQ(utr_SocketListenerAddress(v6, bound, sizeof bound), ULMOT_OK);
    EXPECT_EQ(std::string(bound).rfind("tcp:[::1]:", 0), 0u) << bound;
    Transport *c = utr_SocketConnect(bound, 1000);
    EXPECT_NE(c, nullptr) << utr_SocketLastError();
    utr_SocketDestroy(c);
    utr_SocketListenerDestroy(v6);
}

TEST(SocketAddresses, AUnixListenerReplacesOnlyAStaleSocketFileAndRemovesOnlyItsOwn) {
    char dir[] = "/tmp/ulmot-sock-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/r.sock", address = "unix:" + path;
    // A socket file nobody answers on: its server died without removing it.
    sockaddr_un sa{AF_UNIX, {}};
    std::strncpy(sa.sun_path, path.c_str(), sizeof sa.sun_path - 1);
    const int stale = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    close(stale);
    utr_SocketListener *first = utr_SocketListen(address.c_str());
    ASSERT_NE(first, nullptr) << utr_SocketLastError();
    EXPECT_EQ(utr_SocketListen(address.c_str()), nullptr) << "a live one is not taken over";
    EXPECT_EQ(std::string(utr_SocketLastError()), address + ": address in use");
    unlink(path.c_str());  // replaced by a newer listener: the first leaves its file
    utr_SocketListener *second = utr_SocketListen(address.c_str());
    utr_SocketListenerDestroy(first);
    EXPECT_TRUE(std::filesystem::exists(path));
    utr_SocketListenerDestroy(second);
    EXPECT_FALSE(std::filesystem::exists(path)) << "a listener removes its own file";
    std::ofstream(path) << "keep me";
    EXPECT_EQ(utr_SocketListen(address.c_str()), nullptr);
    EXPECT_THAT(utr_SocketLastError(), HasSubstr("not a socket"));
    EXPECT_EQ(std::filesystem::file_size(path), 7u) << "a file that is not a socket stays";
    std::filesystem::remove_all(dir);
}

}  // namespace
