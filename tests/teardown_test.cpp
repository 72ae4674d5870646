// Teardown under fire, against the emulated reader: clients, IOCTL
// processors and sessions destroyed while callbacks run, while requests
// wait, while the link is down and the client reconnects, and by several
// threads at once. Each case ends with every pool full; bounds on how long
// a destroy takes are hang detectors with seconds of margin.
//
// What the interface allows, and so what these cases do: a client, IOCTL
// processor or session is destroyed once, by one thread, and no call on it
// starts once its destroy has begun; its callbacks may be running, or
// blocked in a request of their own; other threads may wait in
// ulmot_SendSessionMessage on a session being destroyed.
#include <future>

#include "session/session_internal.h"
#include "support.h"

namespace {

using namespace ulmot::test;

// "At once": well under one 5000 ms time-out, so not scaled (TimeScale).
constexpr long long kPromptMs = 4000;
const long long kDestroyBoundMs = Scaled(9000);  // a hang

// A pair to the reader whose client side is wrapped by the fault transport;
// the link is detached before the pair goes.
struct FaultyLink {
    uemu_Reader *reader;
    utr_MemoryPair *pair = QuickPair("faulty");
    uemu_Link *link = nullptr;
    Transport *fault = utr_FaultCreate(utr_MemoryEndpoint(pair, UTR_SIDE_A), "faulty");

    explicit FaultyLink(uemu_Reader *r) : reader(r) {
        EXPECT_EQ(uemu_Attach(r, utr_MemoryEndpoint(pair, UTR_SIDE_B), nullptr, &link), UEMU_OK);
    }
    ~FaultyLink() {
        EXPECT_EQ(uemu_Detach(reader, link), UEMU_OK);
        utr_FaultDestroy(fault);
        utr_MemoryPairDestroy(pair);
    }
    // Holds back, far beyond its time-out, the next response the client
    // receives after `cause`; false when none came.
    bool HoldNextResponse(const std::function<void()> &cause) {
        utr_FaultStats stats{};
        utr_FaultDelay(fault, UTR_INBOUND, 1, 60000, UTR_MATCH_RESPONSE);
        cause();
        return WaitUntil([&] { return utr_FaultGetStats(fault, UTR_INBOUND, &stats) == 0 && stats.delayed == 1; });
    }
};

using Teardown = ReaderTest;

TEST_F(Teardown, SessionPointerReadBeforeAReconnectionFailsCleanlyAfterIt) {
    Connection &c = Connect("stale");
    Session *old = ulmot_GetClientSession(c.client);
    LogCapture log;
    ASSERT_EQ(uemu_DropLink(Reader(), c.link), UEMU_OK);
    ASSERT_TRUE(WaitUntil([&] { return ulmot_GetClientSession(c.client) == nullptr; }));
    ASSERT_EQ(uemu_RestoreLink(Reader(), c.link), UEMU_OK);
    ASSERT_TRUE(WaitUntil([&] { return ulmot_GetClientSession(c.client) != nullptr; }));
    // The ended session's receive thread ran the reconnection and lets go of
    // it right after: the old pointer is used while that happens and after.
    uint8_t count = 0;
    for (int i = 0; i < 20; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(15))) {
        EXPECT_EQ(ulmot_GetInstanceCount(old, 3, 1, ULMOT_OBJ_ANTENNA, 1, &count), -1);
        EXPECT_EQ(ulmot_EventRegistration(old, 3, 1, ULMOT_OBJ_ANTENNA, 0, 1, 1), -1);
    }
    EXPECT_EQ(ulmot_GetInstanceCount(ulmot_GetClientSession(c.client), 4, 1, ULMOT_OBJ_ANTENNA, 1, &count), 0);
    EXPECT_EQ(count, 4);
}

// The reconnect loop waits for its registration's answer (held back) when
// the client is destroyed: the destroy does not wait out the time-out.
TEST_F(Teardown, ClientDestroyedWhileItsReconnectionAwaitsRegistration) {
    FaultyLink f(Reader());
    ClientProcessor *c = nullptr;
    ASSERT_EQ(ulmot_CreateClientProcessor(f.fault, "registering", &c), 0);
    LogCapture log;
    ASSERT_EQ(utr_MemoryLinkDown(f.pair), 0);
    ASSERT_TRUE(WaitUntil([&] { return ulmot_GetClientSession(c) == nullptr; }));
    ASSERT_TRUE(f.HoldNextResponse([&] { EXPECT_EQ(utr_MemoryRestore(f.pair), 0); }));
    EXPECT_NE(uemu_FindLink(Reader(), 4), nullptr) << "the reader registered it";
    const auto start = Clock::now();
    ulmot_DestroyClientProcessor(c);
    EXPECT_LT(MsSince(start), kPromptMs);
}

// A callback blocked in a request of its own when its client is destroyed:
// the request returns -1 at once, the callback returns, then the client goes.
TEST_F(Teardown, ClientDestroyedWhileACallbackWaitsInARequestOfItsOwn) {
    FaultyLink f(Reader());
    static ClientProcessor *client;
    static std::atomic<int32_t> result;
    result = 12345;
    ASSERT_EQ(ulmot_CreateClientProcessor(f.fault, "blocked", &client), 0);
    ASSERT_EQ(ulmot_AttachDefaultObjectProcessor(client, ULMOT_OBJ_ANTENNA, 0, 0), 0);
    ASSERT_EQ(ulmot_AttachDefaultObjectProcessor(client, ULMOT_OBJ_GPI, 0, 0), 0);
    auto onGpi = [](void *, uint32_t, uint8_t, uint8_t) {
        uint8_t n = 0;
        if (result == 12345) result = ulmot_GetAntennaCount(client, &n);  // the first event's
    };
    ASSERT_EQ(ulmot_RegisterGPIEvent(client, 1, onGpi, nullptr, 1), 0);
    ASSERT_TRUE(f.HoldNextResponse([&] { EXPECT_EQ(uemu_SetGpi(Reader(), 1, 255), UEMU_OK); }));
    LogCapture log;
    const auto start = Clock::now();
    ulmot_DestroyClientProcessor(client);
    EXPECT_LT(MsSince(start), kPromptMs) << "the callback's request is released, not waited for";
    EXPECT_EQ(result.load(), -1) << "the callback returned before its client went";
}

// Its callback is running (the reader waits for the answer) when an IOCTL
// processor is destroyed: the destroy waits for it and the answer never goes.
TEST_F(Teardown, IoctlProcessorDestroyedWhileItsCallbackRuns) {
    FaultyLink f(Reader());
    IoctlProcessor *p = nullptr;
    ASSERT_EQ(ulmot_CreateIOCTLProcessor(f.fault, "ioctl", &p), 0);
    static std::atomic<int> stage;  // 1 inside the callback, 2 returned
    stage = 0;
    auto onRequest = [](void *, const uint8_t *, uint16_t, uint8_t *, uint32_t, uint16_t *) -> int32_t {
        stage = 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // past the 1000 ms the stop waits
        stage = 2;
        return 0;
    };
    ulmot_RegisterIOCTLProcessorCallback(p, onRequest, nullptr);
    auto requester = std::async(std::launch::async, [reader = Reader()] {
        uint8_t request = 1, response[8], status = 0;
        uint16_t length = 0;
        return uemu_SendIoctl(reader, 3, 100, &request, 1, response, 8, &length, &status, 2000);
    });
    ASSERT_TRUE(WaitUntil([&] { return stage == 1; }));
    LogCapture log;
    const auto start = Clock::now();
    EXPECT_EQ(ulmot_DestroyIOCTLProcessor(p), 0);
    EXPECT_LT(MsSince(start), kDestroyBoundMs);
    EXPECT_EQ(stage.load(), 2) << "the processor outlived its callback";
    EXPECT_EQ(requester.get(), UEMU_ERR_TIMEOUT);
}

// Callers on several threads keep sending on a session while its event
// handler floods and the session is destroyed: each returns, none hangs. The
// callers hold a reference across the destroy, as the client does.
TEST_F(Teardown, SessionDestroyedWhileCallersAndItsHandlerRun) {
    for (int round = 0; round < 2; ++round) {
        FaultyLink f(Reader());
        Session *s = ulmot_CreateSession(f.fault, 5);
        std::atomic<int> events{0}, failed{0};
        auto onEvent = [](void *c, const uint8_t *, uint16_t, uint32_t, MessageBlock *b) -> int32_t {
            ++*static_cast<std::atomic<int> *>(c);
            freemsg(b);
            return 0;
        };
        ulmot_SessionRegisterEventHandler(s, onEvent, &events);
        const uint32_t types[] = {16};
        uint8_t id = 0;
        ASSERT_EQ(ulmot_DeliveryProcessorRegistration(s, "raw", types, 1, &id), 0);
        ASSERT_EQ(ulmot_EventRegistration(s, id, 1, ULMOT_OBJ_TEXT_LOG, 0, 1, 1), 0);
        ulmot::session::Retain(s);
        std::atomic<bool> stop{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&] {
                for (uint8_t n = 0; !stop;) failed += ulmot_GetInstanceCount(s, id, 1, ULMOT_OBJ_ANTENNA, 1, &n) == -1;
            });
        }
        threads.emplace_back([&] {
            for (; !stop; std::this_thread::sleep_for(std::chrono::milliseconds(1))) uemu_Log(Reader(), "flood");
        });
        ASSERT_TRUE(WaitUntil([&] { return events > 20; }));
        LogCapture log;
        const auto start = Clock::now();
        ulmot_DestroySession(s);
        EXPECT_LT(MsSince(start), kDestroyBoundMs);
        EXPECT_TRUE(WaitUntil([&] { return failed > 0; })) << "callers see the session end (-1)";
        stop = true;
        for (auto &t : threads) t.join();
        ulmot::session::Release(s);
    }
}

// Clients with request threads of their own and tag reports flowing: one
// has its link down and is reconnecting, one is inside a slow callback.
// Each is destroyed by a thread of its own, at once, while the others'
// threads go on.
TEST_F(Teardown, ClientsDestroyedAtOnceByTheirOwnThreadsUnderTraffic) {
    config_.tagCount = 30;
    config_.tagRate = 5000;
    ClientProcessor *flood = Connect("flood").client;
    uint8_t inventory = 0, schedule = 0;
    ASSERT_EQ(ulmot_AddInventorySpecification(flood, &inventory, 517, 0, 0, 0, nullptr, 0), 0);
    ScheduleEntry entry{ULMOT_SCHEDULE_ENTRY_OBJECT, ULMOT_OBJ_INVENTORY, inventory}, *entries[] = {&entry};
    ASSERT_EQ(ulmot_AddScheduleSpecification(flood, &schedule, entries, 1, 0, 0), 0);
    ASSERT_EQ(ulmot_StartScheduleSpecification(flood, schedule, 1), 0);
    LogCapture log;
    for (int round = 0; round < 2; ++round) {
        struct App {
            Connection *connection = nullptr;
            std::atomic<bool> stop{false}, slow{false}, inSlow{false};
            std::atomic<int> reports{0};
            std::vector<std::thread> threads;
        } apps[3];
        auto onReport = [](void *p, uint32_t, uint8_t, const TagReport *) {
            auto *x = static_cast<App *>(p);
            ++x->reports;
            if (!x->slow) return;
            x->inSlow = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1000));
            x->slow = false;
        };
        for (App &a : apps) {
            a.connection = &Connect("app");
            ASSERT_EQ(ulmot_RegisterInventoryEvents(a.connection->client, nullptr, nullptr, onReport, &a), 0);
            for (int t = 0; t < 2; ++t) {
                a.threads.emplace_back([&a] {
                    for (uint8_t n = 0; !a.stop;) {
                        const int32_t r = ulmot_GetAntennaCount(a.connection->client, &n);
                        EXPECT_TRUE(r == 0 || r == -1) << r;
                        if (r != 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    }
                });
            }
        }
        ASSERT_TRUE(WaitUntil([&] { return apps[0].reports && apps[1].reports && apps[2].reports; }));
        ASSERT_EQ(uemu_DropLink(Reader(), apps[1].connection->link), UEMU_OK);
        apps[2].slow = true;
        ASSERT_TRUE(WaitUntil(
            [&] { return apps[2].inSlow && ulmot_GetClientSession(apps[1].connection->client) == nullptr; }));
        std::vector<std::thread> destroyers;
        for (App &a : apps) {
            destroyers.emplace_back([&a] {
                a.stop = true;  // the application's own threads leave before its destroy
                for (auto &t : a.threads) t.join();
                ulmot_DestroyClientProcessor(std::exchange(a.connection->client, nullptr));
            });
        }
        for (auto &d : destroyers) d.join();
        ASSERT_EQ(uemu_RestoreLink(Reader(), apps[1].connection->link), UEMU_OK);
        EXPECT_FALSE(apps[2].slow) << "the slow callback finished before its client went";
        // A reconnect loop that outlived its destroy would register again
        // within 500 ms of the link's return.
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        uint32_t n = 0;
        EXPECT_EQ(uemu_GetProcessors(Reader(), nullptr, 0, &n), UEMU_OK);
        EXPECT_EQ(n, 3u) << "the reader's two and the flood's";
    }
}

}  // namespace
