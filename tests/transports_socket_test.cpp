// The socket transport, over TCP loopback and Unix sockets alike: frames cut
// by the header however the bytes arrive, several senders whose frames never
// interleave, a peer that closes, a header that declares too much (failure,
// then the connection closed, then probe reconnects), time-outs, a server
// restarted on its address, names, addresses and their errors, and capture.
// A raw socket plays the far end where the test needs bytes exactly so.
#include <gmock/gmock.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <map>

#include "session_support.h"
#include "socket_support.h"

namespace {

using namespace ulmot::test;
using testing::HasSubstr;
using testing::StartsWith;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// A block holding exactly `bytes`.
MessageBlock *BlockOf(const Bytes &bytes) {
    MessageBlock *b = ulmot_BufferAllocate(static_cast<uint32_t>(bytes.size()), 0);
    ulmot_BufferAppend(b, bytes.data(), static_cast<uint32_t>(bytes.size()));
    return b;
}

// An event frame whose body is `length` bytes counting up from `first`.
Bytes EventFrame(uint16_t length, uint8_t first = 0) {
    Frame f;
    f.type = ULMOT_MSG_EVENT;
    f.objectType = 8;
    for (uint16_t i = 0; i < length; ++i) f.body.push_back(static_cast<uint8_t>(first + i));
    return f.Wire();
}

// Receives until something other than a time-out comes (a generous bound).
int32_t ReceiveSettled(Transport *t, MessageBlock **b) {
    int32_t r = ULMOT_TRANSPORT_TIMEOUT;
    for (int i = 0; i < 50 && r == ULMOT_TRANSPORT_TIMEOUT; ++i) r = t->receive(t, b, 200);
    return r;
}

// Polls `done` until it holds (a generous bound).
bool WaitUntilTrue(const std::function<bool()> &done) {
    for (int i = 0; i < 2500 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return done();
}

// The next frame as bytes (released), or empty.
Bytes ReceiveBytes(Transport *t) {
    MessageBlock *b = nullptr;
    if (ReceiveSettled(t, &b) != ULMOT_OK) return {};
    Bytes bytes = DataOf(b);
    freemsg(b);
    return bytes;
}

class SocketTransport : public PoolTest, public testing::WithParamInterface<std::string> {
protected:
    void SetUp() override {
        PoolTest::SetUp();
        listener_ = utr_SocketListen(ListenAddress().c_str());
        ASSERT_NE(listener_, nullptr) << utr_SocketLastError();
        char bound[128];
        ASSERT_EQ(utr_SocketListenerAddress(listener_, bound, sizeof bound), ULMOT_OK);
        address_ = bound;
    }
    void TearDown() override {
        for (Session *s : sessions_) ulmot_DestroySession(s);
        for (Transport *t : ends_) utr_SocketDestroy(t);
        for (int fd : fds_) close(fd);
        utr_SocketListenerDestroy(listener_);
        PoolTest::TearDown();
    }

    bool Tcp() const { return GetParam() == "tcp"; }
    std::string ListenAddress() const {
        return Tcp() ? "tcp:127.0.0.1:0" : "unix:" + dir_.Path() + "/reader.sock";
    }
    Transport *Own(Transport *t) {
        if (t != nullptr) ends_.push_back(t);
        return t;
    }
    int Own(int fd) {
        if (fd >= 0) fds_.push_back(fd);
        return fd;
    }
    Transport *Connect() { return Own(utr_SocketConnect(address_.c_str(), 2000)); }
    Transport *Accept() { return Own(utr_SocketAccept(listener_, 5000)); }
    // A raw client and the server end of its connection.
    int RawClient(Transport **serverEnd) {
        const int fd = Own(RawConnect(address_));
        *serverEnd = Accept();
        return fd;
    }

    TempDir dir_;
    utr_SocketListener *listener_ = nullptr;
    std::string address_;
    std::vector<Session *> sessions_;
    std::vector<Transport *> ends_;
    std::vector<int> fds_;
};

TEST_P(SocketTransport, AFrameArrivingInPiecesIsDeliveredWhole) {
    Transport *server = nullptr;
    const int raw = RawClient(&server);
    ASSERT_GE(raw, 0);
    ASSERT_NE(server, nullptr);
    MessageBlock *b = nullptr;

    // Byte by byte, with receives timing out in between: what came so far is
    // kept, and the frame is whole when its last byte comes.
    const Bytes small = EventFrame(40, 7);
    for (size_t i = 0; i + 1 < small.size(); ++i) {
        ASSERT_TRUE(WriteAll(raw, &small[i], 1));
        ASSERT_EQ(server->receive(server, &b, i < 20 ? 3 : 0), ULMOT_TRANSPORT_TIMEOUT) << "byte " << i;
    }
    ASSERT_TRUE(WriteAll(raw, &small.back(), 1));
    EXPECT_EQ(ReceiveBytes(server), small);

    // The largest frame a block holds, in chunks that cut the header too.
    const Bytes large = EventFrame(ULMOT_MAX_BLOCK_SIZE - ULMOT_HEADER_SIZE, 1);
    for (size_t at = 0; at < large.size();) {
        const size_t n = std::min<size_t>(at == 0 ? 5 : 300, large.size() - at);
        ASSERT_TRUE(WriteAll(raw, &large[at], n));
        at += n;
        if (at < large.size()) {
            ASSERT_EQ(server->receive(server, &b, 2), ULMOT_TRANSPORT_TIMEOUT);
        }
    }
    EXPECT_EQ(ReceiveBytes(server), large);

    // Several frames in one write come out one by one; an empty body too.
    Bytes three = EventFrame(0);
    Append(three, EventFrame(3, 0x30));
    Append(three, EventFrame(1, 0x40));
    ASSERT_TRUE(WriteAll(raw, three));
    EXPECT_EQ(ReceiveBytes(server), EventFrame(0));
    EXPECT_EQ(ReceiveBytes(server), EventFrame(3, 0x30));
    EXPECT_EQ(ReceiveBytes(server), EventFrame(1, 0x40));
}

TEST_P(SocketTransport, ASessionRequestCompletesFromAResponseWrittenByteByByte) {
    Transport *server = nullptr;
    const int raw = RawClient(&server);
    ASSERT_NE(server, nullptr);
    Session *s = ulmot_CreateSession(server, 5);
    ASSERT_NE(s, nullptr);
    sessions_.push_back(s);

    int32_t result = 12345;
    Bytes response;
    std::thread requester([&] {
        MessageBlock *reply = nullptr;
        uint8_t instance = 0;
        result = ulmot_SendSessionMessage(s, ULMOT_MSG_REQUEST, 3, 1, 0, 8, 2, 4, RequestBody(2), &reply,
                                          &instance);
        if (reply != nullptr) {
            response = DataOf(reply);
            freemsg(reply);
        }
    });
    const Bytes request = ReadFrame(raw);
    ASSERT_EQ(request.size(), 8u + 4u);  // two Int8 items
    EXPECT_EQ(request[ULMOT_HEADER_TYPE_ID] >> 6, ULMOT_MSG_REQUEST);
    EXPECT_EQ((Bytes{request[0], request[1], request[3], request[4], request[5], request[6], request[7]}),
              (Bytes{1, 3, 2, 8, 4, 0, 4}));
    Frame answer;
    answer.destination = 3;
    answer.source = 1;
    answer.type = ULMOT_MSG_RESPONSE;
    answer.id = request[ULMOT_HEADER_TYPE_ID] & 63;
    answer.command = 2;
    answer.objectType = 8;
    answer.body = ResultBody(0, {0xF1, 0x05, 0x12, 0x34});
    for (uint8_t byte : answer.Wire()) {
        ASSERT_TRUE(WriteAll(raw, &byte, 1));
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    requester.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(response, ResultBody(0, {0xF1, 0x05, 0x12, 0x34}));
}

TEST_P(SocketTransport, FramesOfSeveralSendersNeverInterleave) {
    Transport *server = nullptr;
    const int raw = RawClient(&server);
    ASSERT_NE(server, nullptr);
    Session *s = ulmot_CreateSession(server, 5);
    ASSERT_NE(s, nullptr);
    sessions_.push_back(s);

    // Each sender's events carry its sequence number and a body whose length
    // and every byte follow from (sender, sequence): a frame cut into by
    // another shows as a wrong length, a wrong byte or a sequence gap. Half
    // the senders go through the session (one block a frame); the others
    // hand the transport chains of 61 blocks, which take several writes.
    constexpr int kSenders = 4, kEach = 250, kPieces = 60;
    auto lengthOf = [](int sender, int seq) { return static_cast<uint32_t>(2 + (seq * 397 + sender * 101) % 2030); };
    auto byteOf = [](int sender, int seq) { return static_cast<uint8_t>(sender * 31 + seq); };
    std::vector<std::thread> senders;
    std::atomic<int> failures{0};
    std::atomic<bool> stop{false};
    std::atomic<int> running{kSenders};
    for (int sender = 0; sender < kSenders; ++sender) {
        senders.emplace_back([&, sender] {
            const auto source = static_cast<uint8_t>(10 + sender);
            for (int seq = 0; seq < kEach && !stop; ++seq) {
                const uint32_t n = lengthOf(sender, seq);
                Bytes body(n, byteOf(sender, seq));
                body[0] = static_cast<uint8_t>(seq);
                if (sender % 2 == 0) {
                    MessageBlock *b = ulmot_BufferAllocate(n + ULMOT_HEADER_SIZE, ULMOT_HEADER_SIZE);
                    ulmot_BufferAppend(b, body.data(), n);
                    if (ulmot_SendSessionMessage(s, ULMOT_MSG_EVENT, source, 9, 0, 8, 0, 0, b, nullptr,
                                                 nullptr) != 0) {
                        ++failures;
                    }
                    continue;
                }
                Frame f;
                f.destination = 9;
                f.source = source;
                f.type = ULMOT_MSG_EVENT;
                f.objectType = 8;
                f.body = body;
                const Bytes wire = f.Wire();
                MessageBlock *chain = BlockOf(Bytes(wire.begin(), wire.begin() + 8));
                const size_t piece = (n + kPieces - 1) / kPieces;
                for (size_t at = 8; at < wire.size(); at += piece) {
                    const size_t end = std::min(wire.size(), at + piece);
                    linkb(chain, BlockOf(Bytes(wire.begin() + static_cast<long>(at),
                                               wire.begin() + static_cast<long>(end))));
                }
                if (server->send(server, chain, 0) != 0) ++failures;
            }
            --running;
        });
    }
    std::map<int, int> next;
    auto readAll = [&] {
        for (int i = 0; i < kSenders * kEach; ++i) {
            // Pauses let the socket buffers fill, so that senders wait in the
            // middle of their frames.
            if (i % 200 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
            const Bytes f = ReadFrame(raw);
            ASSERT_FALSE(f.empty()) << "frame " << i;
            const int sender = f[ULMOT_HEADER_SOURCE] - 10;
            ASSERT_TRUE(sender >= 0 && sender < kSenders) << "frame " << i;
            const int seq = next[sender]++;
            ASSERT_EQ(f[8], static_cast<uint8_t>(seq)) << "sender " << sender;
            ASSERT_EQ(f.size(), 8 + lengthOf(sender, seq)) << "sender " << sender << " seq " << seq;
            for (size_t k = 9; k < f.size(); ++k) {
                ASSERT_EQ(f[k], byteOf(sender, seq)) << "sender " << sender << " seq " << seq << " byte " << k;
            }
        }
    };
    readAll();
    // After a failure the senders stop early; what they still send is read
    // past, so none waits on a full socket.
    stop = true;
    while (running > 0) {
        uint8_t sink[4096];
        pollfd p{raw, POLLIN, 0};
        if (poll(&p, 1, 10) > 0 && recv(raw, sink, sizeof sink, 0) <= 0) break;
    }
    for (auto &t : senders) t.join();
    EXPECT_EQ(failures.load(), 0);
    for (int sender = 0; sender < kSenders; ++sender) EXPECT_EQ(next[sender], kEach);
}

TEST_P(SocketTransport, APeerThatClosesEndsTheLinkWithTerminated) {
    // Closed between frames, inside a header, and inside a body (a block is
    // half filled then: it must go back to its pool).
    for (size_t cut : {size_t{0}, size_t{5}, size_t{60}}) {
        SCOPED_TRACE(cut);
        Transport *server = nullptr;
        const int raw = RawClient(&server);
        ASSERT_NE(server, nullptr);
        const Bytes frame = EventFrame(100);
        ASSERT_TRUE(WriteAll(raw, frame.data(), cut));
        shutdown(raw, SHUT_RDWR);
        MessageBlock *b = nullptr;
        EXPECT_EQ(ReceiveSettled(server, &b), ULMOT_TRANSPORT_TERMINATED);
        EXPECT_EQ(server->receive(server, &b, 0), ULMOT_TRANSPORT_TERMINATED);
        EXPECT_EQ(server->send(server, BlockOf(EventFrame(4)), 0), ULMOT_ERR_FAILED);
        EXPECT_NE(server->probe(server), 0) << "a server end never comes back";
    }

    // A session over a connection whose peer goes ends on its own.
    Transport *server = nullptr;
    const int raw = RawClient(&server);
    ASSERT_NE(server, nullptr);
    Session *s = ulmot_CreateSession(server, 5);
    ASSERT_NE(s, nullptr);
    std::atomic<bool> ended{false};
    ulmot_SessionRegisterTerminationHandler(
        s, [](void *flag) { static_cast<std::atomic<bool> *>(flag)->store(true); }, &ended);
    CaptureStderr();
    close(raw);
    fds_.pop_back();
    const bool terminated = WaitUntilTrue([&] { return ended.load(); });
    const std::string lines = GetCapturedStderr();
    EXPECT_TRUE(terminated);
    EXPECT_THAT(lines, HasSubstr("Session terminated"));
}

TEST_P(SocketTransport, AHeaderDeclaringTooMuchFailsClosesAndProbeReconnects) {
    RawListener far(Tcp() ? "tcp:127.0.0.1:0" : "unix:" + dir_.Path() + "/raw.sock");
    Transport *client = Own(utr_SocketConnect(far.Address().c_str(), 2000));
    ASSERT_NE(client, nullptr) << utr_SocketLastError();
    const int first = Own(far.Accept());
    ASSERT_GE(first, 0);
    MessageBlock *b = nullptr;

    // Bodies up to 2040 bytes fit a block with their header; 2041 to 2048
    // are legal but fit none: read past in full, so the next frame is intact.
    for (uint16_t body : {uint16_t{2041}, uint16_t{2048}}) {
        SCOPED_TRACE(body);
        ASSERT_TRUE(WriteAll(first, EventFrame(body)));
        ASSERT_TRUE(WriteAll(first, EventFrame(3, 0x50)));
        EXPECT_EQ(ReceiveSettled(client, &b), ULMOT_ERR_FAILED);
        EXPECT_EQ(ReceiveBytes(client), EventFrame(3, 0x50));
    }

    // 2049: nothing after it can be trusted. Failure, the connection is
    // closed (the peer sees it), then -11.
    Bytes lying = EventFrame(0);
    lying[ULMOT_HEADER_LENGTH] = 0x08;
    lying[ULMOT_HEADER_LENGTH + 1] = 0x01;
    Append(lying, EventFrame(3, 0x60));
    ASSERT_TRUE(WriteAll(first, lying));
    EXPECT_EQ(ReceiveSettled(client, &b), ULMOT_ERR_FAILED);
    EXPECT_EQ(client->receive(client, &b, 0), ULMOT_TRANSPORT_TERMINATED);
    EXPECT_TRUE(SeesEndOfStream(first));
    EXPECT_EQ(client->send(client, BlockOf(EventFrame(1)), 0), ULMOT_ERR_FAILED);

    // The client end reconnects to the same address and works both ways.
    ASSERT_EQ(client->probe(client), 0);
    const int second = Own(far.Accept());
    ASSERT_GE(second, 0);
    ASSERT_TRUE(WriteAll(second, EventFrame(5, 0x70)));
    EXPECT_EQ(ReceiveBytes(client), EventFrame(5, 0x70));
    ASSERT_EQ(client->send(client, BlockOf(EventFrame(6, 0x80)), 0), 0);
    EXPECT_EQ(ReadFrame(second), EventFrame(6, 0x80));
    EXPECT_EQ(client->probe(client), 0) << "a live link is left alone";
}

TEST_P(SocketTransport, ReceiveTimesOutOnAQuietLink) {
    Transport *client = Connect();
    ASSERT_NE(client, nullptr);
    Transport *server = Accept();
    ASSERT_NE(server, nullptr);
    for (Transport *t : {client, server}) {
        MessageBlock *b = nullptr;
        EXPECT_EQ(t->receive(t, &b, 0), ULMOT_TRANSPORT_TIMEOUT);
        EXPECT_EQ(t->receive(t, &b, 50), ULMOT_TRANSPORT_TIMEOUT);
        EXPECT_EQ(b, nullptr);
        EXPECT_EQ(t->probe(t), 0);
    }
    EXPECT_EQ(client->receive(client, nullptr, 0), ULMOT_ERR_INVALID);
}

TEST_P(SocketTransport, ProbeReconnectsOnceTheServerIsBackOnItsAddress) {
    Transport *client = Connect();
    ASSERT_NE(client, nullptr);
    Transport *server = utr_SocketAccept(listener_, 5000);
    ASSERT_NE(server, nullptr);
    ASSERT_EQ(server->send(server, BlockOf(EventFrame(2, 1)), 0), 0);
    EXPECT_EQ(ReceiveBytes(client), EventFrame(2, 1));

    // The server goes away altogether.
    utr_SocketDestroy(server);
    utr_SocketListenerDestroy(listener_);
    listener_ = nullptr;
    MessageBlock *b = nullptr;
    EXPECT_EQ(ReceiveSettled(client, &b), ULMOT_TRANSPORT_TERMINATED);
    EXPECT_NE(client->probe(client), 0) << "nobody listens yet";
    EXPECT_NE(client->probe(client), 0);
    EXPECT_EQ(client->receive(client, &b, 0), ULMOT_TRANSPORT_TERMINATED);

    // Back on the same address: probe reconnects, frames flow both ways.
    listener_ = utr_SocketListen(address_.c_str());
    ASSERT_NE(listener_, nullptr) << utr_SocketLastError();
    ASSERT_EQ(client->probe(client), 0);
    Transport *again = Accept();
    ASSERT_NE(again, nullptr);
    ASSERT_EQ(client->send(client, BlockOf(EventFrame(3, 2)), 0), 0);
    EXPECT_EQ(ReceiveBytes(again), EventFrame(3, 2));
    ASSERT_EQ(again->send(again, BlockOf(EventFrame(4, 3)), 0), 0);
    EXPECT_EQ(ReceiveBytes(client), EventFrame(4, 3));
}

TEST_P(SocketTransport, NamesAreTheAddressText) {
    EXPECT_THAT(address_, StartsWith(Tcp() ? "tcp:127.0.0.1:" : "unix:/tmp/ulmot-sock-"));
    EXPECT_NE(address_, "tcp:127.0.0.1:0") << "the bound port, not the one asked for";
    Transport *client = Connect();
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(std::string(client->name), address_);
    ASSERT_NE(Accept(), nullptr);
    Transport *server = nullptr;
    const int raw = RawClient(&server);
    ASSERT_NE(server, nullptr);
    if (Tcp()) {
        sockaddr_in local{};
        socklen_t size = sizeof local;
        getsockname(raw, reinterpret_cast<sockaddr *>(&local), &size);
        EXPECT_EQ(std::string(server->name), "tcp:127.0.0.1:" + std::to_string(ntohs(local.sin_port)));
    } else {
        EXPECT_EQ(std::string(server->name), address_);
    }

    std::vector<char> exact(address_.size() + 1);
    EXPECT_EQ(utr_SocketListenerAddress(listener_, exact.data(), static_cast<uint32_t>(exact.size())), 0);
    EXPECT_EQ(std::string(exact.data()), address_);
    EXPECT_EQ(utr_SocketListenerAddress(listener_, exact.data(), static_cast<uint32_t>(address_.size())),
              ULMOT_ERR_INVALID);
    EXPECT_EQ(utr_SocketListenerAddress(nullptr, exact.data(), 64), ULMOT_ERR_INVALID);
    EXPECT_EQ(utr_SocketListenerAddress(listener_, nullptr, 64), ULMOT_ERR_INVALID);
}

TEST_P(SocketTransport, SendPassesOnlyWholeFramesAndWritesChainsAsOne) {
    Transport *client = Connect();
    ASSERT_NE(client, nullptr);
    Transport *server = Accept();
    ASSERT_NE(server, nullptr);
    Bytes longer = EventFrame(4);
    longer.push_back(0xEE);  // junk after the declared body
    Bytes shorter = EventFrame(10);
    shorter.resize(14);
    for (const Bytes &bad : {Bytes{1, 2, 3, 4, 5}, longer, shorter}) {
        EXPECT_EQ(client->send(client, BlockOf(bad), 0), ULMOT_ERR_FAILED);
    }
    EXPECT_EQ(client->send(client, nullptr, 0), ULMOT_ERR_FAILED);

    // A header block and two body blocks go out as one frame.
    const Bytes whole = EventFrame(300, 9);
    MessageBlock *head = BlockOf(Bytes(whole.begin(), whole.begin() + 8));
    linkb(head, BlockOf(Bytes(whole.begin() + 8, whole.begin() + 100)));
    linkb(head, BlockOf(Bytes(whole.begin() + 100, whole.end())));
    ASSERT_EQ(client->send(client, head, 0), 0);
    EXPECT_EQ(ReceiveBytes(server), whole) << "the refused blocks must not have reached the peer";
}

TEST_P(SocketTransport, CaptureWritesEveryFrameBothWaysAsPcap) {
    Transport *client = Connect();
    ASSERT_NE(client, nullptr);
    Transport *server = Accept();
    ASSERT_NE(server, nullptr);
    const std::string path = dir_.Path() + "/wire.pcap";
    ASSERT_EQ(utr_SocketCapture(client, path.c_str()), 0);
    const Bytes out = EventFrame(4, 0xA0), in = EventFrame(2, 0xB0);
    ASSERT_EQ(client->send(client, BlockOf(out), 0), 0);
    ASSERT_EQ(server->send(server, BlockOf(in), 0), 0);
    EXPECT_EQ(ReceiveBytes(client), in);
    EXPECT_EQ(ReceiveBytes(server), out);
    ASSERT_EQ(utr_SocketCapture(client, nullptr), 0);
    ASSERT_EQ(client->send(client, BlockOf(EventFrame(1)), 0), 0);  // not captured
    EXPECT_EQ(ReceiveBytes(server), EventFrame(1));

    std::ifstream file(path, std::ios::binary);
    const Bytes pcap{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    // Little-endian host: magic, version 2.4, zone, accuracy, snap length 65535, link type 147.
    const Bytes global = {0xD4, 0xC3, 0xB2, 0xA1, 2, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                          0xFF, 0xFF, 0, 0, 147, 0, 0, 0};
    ASSERT_EQ(pcap.size(), 24u + (16 + 1 + out.size()) + (16 + 1 + in.size()));
    EXPECT_EQ(Bytes(pcap.begin(), pcap.begin() + 24), global);
    size_t at = 24;
    for (const auto &[direction, frame] : {std::pair{uint8_t{0}, out}, std::pair{uint8_t{1}, in}}) {
        const auto length = static_cast<uint8_t>(frame.size() + 1);
        EXPECT_EQ(Bytes(pcap.begin() + static_cast<long>(at) + 8, pcap.begin() + static_cast<long>(at) + 16),
                  (Bytes{length, 0, 0, 0, length, 0, 0, 0}));
        EXPECT_EQ(pcap[at + 16], direction);
        EXPECT_EQ(Bytes(pcap.begin() + static_cast<long>(at) + 17,
                        pcap.begin() + static_cast<long>(at) + 17 + static_cast<long>(frame.size())),
                  frame);
        at += 17 + frame.size();
    }

    EXPECT_EQ(utr_SocketCapture(client, (dir_.Path() + "/no/such/dir.pcap").c_str()), ULMOT_ERR_INVALID);
    EXPECT_EQ(utr_SocketCapture(nullptr, path.c_str()), ULMOT_ERR_INVALID);
}

TEST_P(SocketTransport, AcceptGivesUpOnTimeOutAndForGoodOnceWoken) {
    EXPECT_EQ(utr_SocketAccept(listener_, 0), nullptr);
    EXPECT_EQ(utr_SocketAccept(listener_, 20), nullptr);
    std::atomic<bool> returned{false};
    Transport *got = reinterpret_cast<Transport *>(1);
    std::thread waiter([&] {
        got = utr_SocketAccept(listener_, UTR_SOCKET_WAIT_FOREVER);
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    utr_SocketListenerWake(listener_);
    waiter.join();
    EXPECT_EQ(got, nullptr);
    // Woken for good: even with a client waiting to be accepted.
    ASSERT_GE(Own(RawConnect(address_)), 0);
    EXPECT_EQ(utr_SocketAccept(listener_, 2000), nullptr);
    EXPECT_EQ(utr_SocketAccept(nullptr, 0), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Loopback, SocketTransport, testing::Values("tcp", "unix"),
                         [](const testing::TestParamInfo<std::string> &p) { return p.param; });

// ---- Addresses and their errors --------------------------------------------------

class SocketAddresses : public PoolTest {
protected:
    TempDir dir_;
};

TEST_F(SocketAddresses, MalformedAddressesAreRefusedWithAReason) {
    const std::string longPath = "unix:/tmp/" + std::string(120, 'x');
    for (const char *bad : {"", "tcp:", "tcp:127.0.0.1", "tcp:127.0.0.1:0", "tcp:127.0.0.1:70000",
                            "tcp::5084", "tcp:127.0.0.1:50x4", "udp:127.0.0.1:5084", "unix:", "127.0.0.1:5084",
                            longPath.c_str()}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(utr_SocketConnect(bad, 100), nullptr);
        EXPECT_THAT(utr_SocketLastError(), HasSubstr("bad address"));
    }
    EXPECT_EQ(utr_SocketConnect(nullptr, 100), nullptr);
    EXPECT_THAT(utr_SocketLastError(), HasSubstr("bad address"));
    EXPECT_EQ(utr_SocketListen("tcp:127.0.0.1:99999"), nullptr);
    EXPECT_THAT(utr_SocketLastError(), HasSubstr("bad address"));
}

TEST_F(SocketAddresses, NothingListeningIsReportedAsSuch) {
    // A port that was free a moment ago.
    utr_SocketListener *l = utr_SocketListen("tcp:127.0.0.1:0");
    ASSERT_NE(l, nullptr);
    char bound[64];
    ASSERT_EQ(utr_SocketListenerAddress(l, bound, sizeof bound), 0);
    utr_SocketListenerDestroy(l);
    EXPECT_EQ(utr_SocketConnect(bound, 1000), nullptr);
    EXPECT_EQ(std::string(utr_SocketLastError()), std::string(bound) + ": connection refused");

    const std::string missing = "unix:" + dir_.Path() + "/nobody.sock";
    EXPECT_EQ(utr_SocketConnect(missing.c_str(), 1000), nullptr);
    EXPECT_EQ(std::string(utr_SocketLastError()), missing + ": no such socket file");

    EXPECT_EQ(utr_SocketConnect("tcp:no-such-host.invalid:5084", 1000), nullptr);
    EXPECT_THAT(utr_SocketLastError(), HasSubstr("cannot resolve host"));
}

TEST_F(SocketAddresses, AUnixListenerReplacesOnlyAStaleSocketFile) {
    const std::string path = dir_.Path() + "/reader.sock";
    const std::string address = "unix:" + path;
    struct stat st{};

    // A socket file nobody answers on (its server died without removing it).
    const int stale = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::strncpy(sa.sun_path, path.c_str(), sizeof sa.sun_path - 1);
    ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    close(stale);
    ASSERT_EQ(stat(path.c_str(), &st), 0);

    utr_SocketListener *live = utr_SocketListen(address.c_str());
    ASSERT_NE(live, nullptr) << utr_SocketLastError();
    // A live one is not taken over.
    EXPECT_EQ(utr_SocketListen(address.c_str()), nullptr);
    EXPECT_EQ(std::string(utr_SocketLastError()), address + ": address in use");
    Transport *c = utr_SocketConnect(address.c_str(), 1000);
    EXPECT_NE(c, nullptr) << "the first listener must still be reachable";
    utr_SocketDestroy(c);
    utr_SocketListenerDestroy(live);
    EXPECT_NE(stat(path.c_str(), &st), 0) << "the listener removes its socket file";

    // Anything that is not a socket stays.
    { std::ofstream(path) << "keep me"; }
    EXPECT_EQ(utr_SocketListen(address.c_str()), nullptr);
    EXPECT_THAT(utr_SocketLastError(), HasSubstr("not a socket"));
    std::ifstream kept(path);
    std::string text;
    std::getline(kept, text);
    EXPECT_EQ(text, "keep me");
}

}  // namespace
