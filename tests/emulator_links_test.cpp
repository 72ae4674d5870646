// The emulated reader's links: IOCTL requests it sends to clients, messages
// it passes between clients, lost and restored links, detaching, teardown
// with clients attached, and several clients at once.
#include "emulator_support.h"

namespace {

using namespace ulmot::test;
using std::chrono::milliseconds;

constexpr uint8_t kReader = UEMU_READER_PROCESSOR_ID;

// Byte array item 1 of a request as a client's handler received it.
Bytes RequestData(const Received &r) {
    MessageBlock *b = ulmot_BufferAllocate(static_cast<uint32_t>(r.body.size()), 0);
    ulmot_BufferAppend(b, r.body.data(), static_cast<uint32_t>(r.body.size()));
    uint8_t data[2048];
    uint16_t length = 0;
    const int32_t found = ulmot_BufferReadDTPByteArray(b, 1, 0, data, sizeof data, &length);
    freemsg(b);
    return found == 0 ? Bytes(data, data + length) : Bytes{};
}

Bytes Reversed(Bytes b) {
    std::reverse(b.begin(), b.end());
    return b;
}

// Counts requests that reached a handler, for tests that wait for one.
struct Arrivals {
    std::atomic<int> count{0};
    bool WaitFor(int n) {
        return WaitUntil([&] { return count.load() >= n; });
    }
};

using Ioctl = EmulatorTest;

TEST_F(Ioctl, RoundTripThroughAClientsRequestHandler) {
    Client &a = NewClient("a");
    std::mutex m;
    std::vector<Received> seen;
    // The client answers with the request reversed and its first byte as status.
    a.SetRequestHandler([&](Client &c, const Received &r) {
        {
            std::lock_guard<std::mutex> guard(m);
            seen.push_back(r);
        }
        const Bytes data = RequestData(r);
        c.AnswerIoctl(r, data.empty() ? 0 : data[0], Reversed(data));
    });
    uint8_t out[16] = {};
    uint16_t length = 0;
    uint8_t status = 0;
    const uint8_t request[] = {7, 2, 3};
    ASSERT_EQ(uemu_SendIoctl(Reader(), a.id, 100, request, 3, out, sizeof out, &length, &status, 5000),
              UEMU_OK);
    EXPECT_EQ(status, 7);
    EXPECT_EQ(Bytes(out, out + length), (Bytes{3, 2, 7}));

    EXPECT_EQ(uemu_SendIoctl(Reader(), a.id, 101, request + 1, 2, out, 1, &length, &status, 5000),
              UEMU_ERR_TOO_SMALL);
    EXPECT_EQ(length, 2) << "the size needed";
    EXPECT_EQ(status, 2);
    EXPECT_EQ(uemu_SendIoctl(Reader(), a.id, 100, nullptr, 0, nullptr, 0, &length, &status, 5000), UEMU_OK);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(status, 0);

    std::lock_guard<std::mutex> guard(m);
    ASSERT_EQ(seen.size(), 3u);
    // From the reader processor, object type 23, message ids 1, 2, 3.
    EXPECT_EQ(seen[0].header, (Bytes{a.id, kReader, 0x01, 100, 23, 0x00, 0x00, 0x0C}));
    EXPECT_EQ(Bytes(seen[0].body.begin(), seen[0].body.begin() + 2), (Bytes{0xF2, 0xFE}));
    EXPECT_EQ(Bytes(seen[0].body.begin() + 6, seen[0].body.end()), (Bytes{0x14, 0x00, 0x03, 7, 2, 3}));
    EXPECT_EQ(seen[1].header, (Bytes{a.id, kReader, 0x02, 101, 23, 0x00, 0x00, 0x0B}));
    EXPECT_EQ(seen[2].header, (Bytes{a.id, kReader, 0x03, 100, 23, 0x00, 0x00, 0x09}));
    EXPECT_EQ(Bytes(seen[2].body.begin() + 6, seen[2].body.end()), (Bytes{0x14, 0x00, 0x00}));
}

TEST_F(Ioctl, AnswerWithoutStatusIsMalformed) {
    Client &a = NewClient("a");
    a.SetRequestHandler([](Client &c, const Received &r) { c.AnswerIoctl(r, 0, {1, 2}, false); });
    uint8_t out[4];
    uint16_t length = 0;
    uint8_t status = 99;
    EXPECT_EQ(uemu_SendIoctl(Reader(), a.id, 100, nullptr, 0, out, sizeof out, &length, &status, 5000),
              UEMU_ERR_MALFORMED);
    EXPECT_EQ(status, 99);
}

TEST_F(Ioctl, TimeOutAndALateAnswerIsNotTakenForTheNextRequest) {
    Client &a = NewClient("a");
    a.SetRequestHandler([](Client &c, const Received &r) {
        const Bytes data = RequestData(r);
        if (data == Bytes{0xFF}) return;  // never answered
        if (data == Bytes{0xFE}) std::this_thread::sleep_for(milliseconds(400));
        c.AnswerIoctl(r, data[0], data);
    });
    uint8_t out[4];
    uint16_t length = 0;
    uint8_t status = 0;
    const uint8_t never[] = {0xFF}, late[] = {0xFE}, next[] = {0x01, 0x02};
    const auto start = Clock::now();
    EXPECT_EQ(uemu_SendIoctl(Reader(), a.id, 100, never, 1, out, sizeof out, &length, &status, 200),
              UEMU_ERR_TIMEOUT);
    EXPECT_LT(MsSince(start), 5000);
    EXPECT_EQ(uemu_SendIoctl(Reader(), a.id, 100, late, 1, out, sizeof out, &length, &status, 50),
              UEMU_ERR_TIMEOUT);
    // The answer to `late` arrives while this one waits; it must not be taken.
    EXPECT_EQ(uemu_SendIoctl(Reader(), a.id, 100, next, 2, out, sizeof out, &length, &status, 5000),
              UEMU_OK);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(Bytes(out, out + length), (Bytes{1, 2}));
    EXPECT_NE(Log().find("a-reader): no request waits for response id 2"), std::string::npos) << Log();
}

TEST_F(Ioctl, RefusesUnknownTargetsAndReturnsWhenTheLinkIsLost) {
    Client &a = NewClient("a");
    Arrivals arrived;
    a.SetRequestHandler([&](Client &, const Received &) { arrived.count++; });
    uint8_t out[4];
    uint16_t length = 0;
    uint8_t status = 0;
    EXPECT_EQ(uemu_SendIoctl(Reader(), 99, 100, nullptr, 0, out, 4, &length, &status, 100), UEMU_ERR_NOT_FOUND);
    EXPECT_EQ(uemu_SendIoctl(Reader(), kReader, 100, nullptr, 0, out, 4, &length, &status, 100),
              UEMU_ERR_NOT_FOUND);
    EXPECT_EQ(uemu_SendIoctl(Reader(), a.id, 100, nullptr, 0, out, 4, nullptr, &status, 100), UEMU_ERR_INVALID);
    EXPECT_EQ(uemu_SendIoctl(Reader(), a.id, 100, nullptr, 0, out, 4, &length, nullptr, 100), UEMU_ERR_INVALID);
    const Bytes tooLong(2032, 0);
    EXPECT_EQ(uemu_SendIoctl(Reader(), a.id, 100, tooLong.data(), 2032, out, 4, &length, &status, 100),
              UEMU_ERR_INVALID);

    std::atomic<int32_t> result{12345};
    std::thread waiter([&] {
        uint8_t o[4];
        uint16_t l = 0;
        uint8_t s = 0;
        result = uemu_SendIoctl(Reader(), a.id, 100, nullptr, 0, o, 4, &l, &s, 20000);
    });
    ASSERT_TRUE(arrived.WaitFor(1));
    const auto start = Clock::now();
    ASSERT_EQ(utr_MemoryLinkDown(a.pair()), 0);
    waiter.join();
    EXPECT_EQ(result, UEMU_ERR_LINK_LOST);
    EXPECT_LT(MsSince(start), 5000);
    EXPECT_TRUE(a.WaitTerminated());
}

using Forwarding = EmulatorTest;

TEST_F(Forwarding, MessagesBetweenClientsPassThroughUnchanged) {
    Client &a = NewClient("a");
    Client &b = NewClient("b");
    std::mutex m;
    std::vector<Received> seen;
    b.SetRequestHandler([&](Client &c, const Received &r) {
        {
            std::lock_guard<std::mutex> guard(m);
            seen.push_back(r);
        }
        MessageBlock *answer = ulmot_BufferAllocate(64, 8);
        ulmot_BufferWriteDTPInt16(answer, 255, 0);
        const Bytes data = RequestData(r);
        ulmot_BufferWriteDTPByteArray(answer, 2, data.data(), static_cast<uint32_t>(data.size()));
        ulmot_SendSessionMessage(c.session(), ULMOT_MSG_RESPONSE, c.id, r.header[ULMOT_HEADER_SOURCE],
                                 r.header[ULMOT_HEADER_TYPE_ID] & 63, 16, r.header[ULMOT_HEADER_COMMAND], 9,
                                 answer, nullptr, nullptr);
    });
    Body request;
    request.Array(1, {4, 5});
    const Answer r = a.Request(b.id, 16, 100, 0, request);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.instance, 9);
    EXPECT_EQ(r.body, Result(0, {0x24, 0x00, 0x02, 4, 5}));
    {
        std::lock_guard<std::mutex> guard(m);
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].header, (Bytes{b.id, a.id, 0x08, 100, 16, 0x00, 0x00, 0x05}));
        EXPECT_EQ(seen[0].body, (Bytes{0x14, 0x00, 0x02, 4, 5}));
    }
    // An event addressed to another client reaches it as sent.
    MessageBlock *event = ulmot_BufferAllocate(32, 8);
    ulmot_BufferWriteDTPInt32(event, 254, 77);
    ASSERT_EQ(ulmot_SendSessionMessage(a.session(), ULMOT_MSG_EVENT, a.id, b.id, 0, 13, 0, 6, event,
                                       nullptr, nullptr),
              0);
    const std::optional<Received> e = b.NextEvent();
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->header, (Bytes{b.id, a.id, 0x80, 0x00, 0x0D, 0x06, 0x00, 0x06}));
    EXPECT_EQ(e->timestamp, 77u);
}

using Links = EmulatorTest;

TEST_F(Links, LostLinkDeregistersAndTheRestoredLinkServesANewSession) {
    Client &a = NewClient("a");
    Client &b = NewClient("b");
    ASSERT_TRUE(a.NextEvent().has_value());  // b was added
    ASSERT_EQ(a.Enable(kReader, 12, 0, 0xFFFFFFFF, 1), 0);
    const uint8_t lost = a.id;

    ASSERT_EQ(utr_MemoryLinkDown(a.pair()), 0);
    std::optional<Received> e = b.NextEvent();
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->header, (Bytes{b.id, 0x00, 0x80, 0x00, 0x0E, lost, 0x00, 0x06}));
    ASSERT_TRUE(a.WaitTerminated());
    EXPECT_FALSE(IsRegistered(lost));
    EXPECT_TRUE(Registrations().empty()) << "its event registrations went with it";
    EXPECT_EQ(uemu_LinkIsServing(Reader(), a.link()), 0);
    EXPECT_EQ(uemu_FindLink(Reader(), lost), nullptr);
    // The line follows the removal events that the link's thread sends first.
    EXPECT_TRUE(WaitUntil(
        [&] { return Log().find("a-reader): link terminated; deregistered processors: 3") != std::string::npos; }))
        << Log();

    ASSERT_EQ(utr_MemoryRestore(a.pair()), 0);
    EXPECT_TRUE(WaitUntil([&] { return uemu_LinkIsServing(Reader(), a.link()) == 1; }));
    a.OpenSession();
    ASSERT_EQ(a.Register("a"), 0);
    EXPECT_EQ(a.id, 5) << "a new id, not the lost one";
    EXPECT_EQ(uemu_FindLink(Reader(), a.id), a.link());
    e = b.NextEvent();
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->header[ULMOT_HEADER_COMMAND], 1);
    EXPECT_EQ(e->header[ULMOT_HEADER_INSTANCE], a.id);
    EXPECT_EQ(a.Request(kReader, 12, 0).body, Result(0, {0x03, 0x0C, 0x01}));
}

TEST_F(Links, DropAndRestoreThroughTheHostsHooks) {
    Client &a = NewClient("a");
    Client &b = NewClient("b");
    EXPECT_EQ(uemu_FindLink(Reader(), a.id), a.link());
    EXPECT_EQ(uemu_FindLink(Reader(), kReader), nullptr);
    EXPECT_EQ(uemu_DropLink(Reader(), a.link()), UEMU_OK);
    const std::optional<Received> e = b.NextEvent();
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->header[ULMOT_HEADER_INSTANCE], a.id);
    ASSERT_TRUE(a.WaitTerminated());
    EXPECT_EQ(uemu_RestoreLink(Reader(), a.link()), UEMU_OK);
    a.OpenSession();
    EXPECT_EQ(a.Register("a"), 0);

    // A link attached without hooks cannot be dropped by the reader.
    utr_MemoryPair *pair = utr_MemoryPairCreate(nullptr, nullptr, 0);
    utr_MemorySetReceiveSlice(pair, 10);  // destroys need not wait out an 800 ms receive
    uemu_Link *bare = nullptr;
    ASSERT_EQ(uemu_Attach(Reader(), utr_MemoryEndpoint(pair, UTR_SIDE_B), nullptr, &bare), UEMU_OK);
    EXPECT_EQ(uemu_DropLink(Reader(), bare), UEMU_ERR_INVALID);
    EXPECT_EQ(uemu_Detach(Reader(), bare), UEMU_OK);
    EXPECT_EQ(uemu_Detach(Reader(), bare), UEMU_ERR_NOT_FOUND);
    EXPECT_EQ(uemu_DropLink(Reader(), bare), UEMU_ERR_NOT_FOUND);
    utr_MemoryPairDestroy(pair);

    Transport incomplete{};
    EXPECT_EQ(uemu_Attach(Reader(), &incomplete, nullptr, nullptr), UEMU_ERR_INVALID);
    EXPECT_EQ(uemu_Attach(Reader(), nullptr, nullptr, nullptr), UEMU_ERR_INVALID);
}

TEST_F(Links, DetachDeregistersEveryProcessorOfTheLink) {
    Client &a = NewClient("a");
    Client &b = NewClient("b");
    Body second;
    second.Text(0, "a-io");
    const Answer r = a.Request(0, 14, 1, 0, second, 0);
    ASSERT_EQ(r.result, 0);
    const uint8_t other = r.instance;
    std::optional<Received> e = b.NextEvent();
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->header[ULMOT_HEADER_INSTANCE], other);

    ASSERT_EQ(uemu_Detach(Reader(), a.link()), UEMU_OK);
    Bytes removed;
    for (int i = 0; i < 2; ++i) {
        e = b.NextEvent();
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(e->header[ULMOT_HEADER_COMMAND], 0);
        removed.push_back(e->header[ULMOT_HEADER_INSTANCE]);
    }
    EXPECT_EQ(removed, (Bytes{a.id, other}));
    const auto ps = Processors();
    ASSERT_EQ(ps.size(), 3u);
    EXPECT_EQ(ps[2].id, b.id);
    EXPECT_EQ(uemu_LinkIsServing(Reader(), a.link()), UEMU_ERR_NOT_FOUND);
    b.ExpectNoEvent("two removed events, no more");
}

using Lifecycle = EmulatorTest;

TEST_F(Lifecycle, DestroyWithClientsAttachedReleasesAWaitingCaller) {
    Client &a = NewClient("a");
    Client &b = NewClient("b");
    Arrivals arrived;
    a.SetRequestHandler([&](Client &, const Received &) { arrived.count++; });
    ASSERT_EQ(a.Enable(kReader, 5, 0, 0xFFFFFFFF, 7), 0);
    Body add;
    add.Int8(2, 1);
    ASSERT_EQ(b.Request(kReader, 5, 1, 0, add).result, 0);
    std::atomic<int32_t> result{12345};
    std::thread waiter([&] {
        uint8_t o[4];
        uint16_t l = 0;
        uint8_t s = 0;
        result = uemu_SendIoctl(reader_, a.id, 100, nullptr, 0, o, 4, &l, &s, 20000);
    });
    ASSERT_TRUE(arrived.WaitFor(1));
    EXPECT_GE(uemu_SendEvent(reader_, 5, 2, 1, nullptr, 0), 1);
    const auto start = Clock::now();
    uemu_Destroy(reader_);
    reader_ = nullptr;
    EXPECT_LT(MsSince(start), 5000);
    waiter.join();
    EXPECT_EQ(result, UEMU_ERR_LINK_LOST);
    // The sessions, the pairs and every block go in TearDown; the fixture
    // checks that every pool is full again.
}

using Concurrency = EmulatorTest;

TEST_F(Concurrency, ClientsWorkTheStoreWhileEventsAndRegistrationsGoOn) {
    constexpr int kClients = 4;
    constexpr int kRounds = 30;
    std::vector<Client *> workers;
    for (int i = 0; i < kClients; ++i) {
        workers.push_back(&NewClient("worker" + std::to_string(i)));
        ASSERT_EQ(workers.back()->Enable(kReader, 5, 0, 0xFFFFFFFF, 0x4), 0);
    }
    Client &churn = NewClient("churn", false);
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};

    std::thread raiser([&] {
        const uint8_t report[] = {0x00, 0x01};
        while (!stop) {
            if (uemu_SendEvent(reader_, 5, 2, 1, report, 2) < 0) failures++;
            std::this_thread::sleep_for(milliseconds(1));
        }
    });
    std::thread churner([&] {
        for (int i = 0; i < 20; ++i) {
            if (churn.Register("churn") != 0 || churn.Deregister() != 0) failures++;
        }
    });
    std::vector<std::thread> threads;
    for (int w = 0; w < kClients; ++w) {
        threads.emplace_back([&, w] {
            Client &c = *workers[static_cast<size_t>(w)];
            for (int r = 0; r < kRounds; ++r) {
                const auto tag = static_cast<uint16_t>(w << 8 | r);
                Body add;
                add.Int16(0, tag);
                const Answer added = c.Request(kReader, 5, 1, 0, add);
                Body set;
                set.Int8(21, static_cast<uint32_t>(r));
                const Answer changed = c.Request(kReader, 5, 3, added.instance, set);
                const Answer got = c.Request(kReader, 5, 4, added.instance);
                const Bytes expected = Result(0, {0x01, static_cast<uint8_t>(tag >> 8), static_cast<uint8_t>(tag),
                                                  0xF0, 0x15, static_cast<uint8_t>(r)});
                const Answer removed = c.Request(kReader, 5, 2, added.instance);
                if (added.result != 0 || changed.result != 0 || got.body != expected || removed.result != 0) {
                    failures++;
                }
            }
        });
    }
    for (auto &t : threads) t.join();
    churner.join();
    stop = true;
    raiser.join();
    EXPECT_EQ(failures.load(), 0);
    uint32_t n = 99;
    EXPECT_EQ(uemu_GetInstances(reader_, 5, nullptr, 0, &n), UEMU_OK);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(Processors().size(), 2u + kClients);
}

}  // namespace
