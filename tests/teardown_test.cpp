// Teardown under fire: clients, IOCTL processors and sessions destroyed while
// their callbacks run, while requests wait, while the link is down and the
// client reconnects, and from several threads at once, against the emulated
// reader. Each case ends with every pool full (PoolTest) and checks that no
// destroy hangs: "returns" bounds are hang detectors with seconds of margin,
// not speed checks.
//
// What the API allows, and what these cases therefore do:
// - a client (or IOCTL processor, or session) is destroyed once, by one
//   thread, and no call on it starts once its destroy has begun;
// - a callback of the client may be running, or blocked in a request of its
//   own, when the client is destroyed (destroy waits for it / releases it);
// - threads may be waiting in ulmot_SendSessionMessage on a session while
//   it is destroyed (they return -1 at once);
// - any number of different clients may be created, used and destroyed by
//   different threads at the same time;
// - a Session pointer read with ulmot_GetClientSession may be used after the
//   client has reconnected (calls return -1), until the client is destroyed.
#include <gmock/gmock.h>

#include <functional>
#include <memory>

#include "processors/client.h"
#include "processors/ioctl.h"
#include "session_support.h"
#include "uemu.h"

namespace {

using namespace ulmot::test;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// Generous bounds, in ms: a destroy waits at most one receive time-out for
// its receive thread and one queue stop; anything near these is a hang.
constexpr long long kDestroyBoundMs = 9000;
constexpr long long kPromptMs = 4000;  // "at once": well under one 5000 ms time-out

bool WaitFor(const std::function<bool()> &done, int ms = 10000) {
    const auto start = Clock::now();
    while (!done()) {
        if (MsSince(start) > ms) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// One client connection to the emulated reader over an in-memory pair, with
// the drop and restore hooks of the pair.
struct Connection {
    utr_MemoryPair *pair = nullptr;
    uemu_Link *link = nullptr;

    Connection(uemu_Reader *reader, const std::string &name) {
        pair = utr_MemoryPairCreate((name + "-client").c_str(), (name + "-reader").c_str(), 0);
        utr_MemorySetReceiveSlice(pair, 10);  // destroys need not wait out an 800 ms receive
        uemu_LinkHooks hooks{[](void *p) { return utr_MemoryLinkDown(static_cast<utr_MemoryPair *>(p)); },
                             [](void *p) { return utr_MemoryRestore(static_cast<utr_MemoryPair *>(p)); }, pair};
        EXPECT_EQ(uemu_Attach(reader, utr_MemoryEndpoint(pair, UTR_SIDE_B), &hooks, &link), UEMU_OK);
    }
    Transport *ClientSide() { return utr_MemoryEndpoint(pair, UTR_SIDE_A); }
};

class Teardown : public PoolTest {
protected:
    void SetUp() override {
        PoolTest::SetUp();
        uemu_Config config;
        uemu_ConfigInit(&config);
        config.tagCount = 30;
        config.tagRate = 5000;
        reader_ = uemu_Create(&config);
        ASSERT_NE(reader_, nullptr);
    }
    void TearDown() override {
        uemu_Destroy(reader_);
        for (auto &c : connections_) utr_MemoryPairDestroy(c->pair);
        PoolTest::TearDown();
    }
    Connection &Connect(const std::string &name) {
        connections_.push_back(std::make_unique<Connection>(reader_, name));
        return *connections_.back();
    }
    // A client over a new connection, attached to the reader's processors.
    ClientProcessor *NewClient(const std::string &name, Connection **connection = nullptr) {
        Connection &c = Connect(name);
        if (connection != nullptr) *connection = &c;
        ClientProcessor *client = nullptr;
        EXPECT_EQ(ulmot_CreateClientProcessor(c.ClientSide(), name.c_str(), &client), 0);
        if (client == nullptr) return nullptr;
        for (uint32_t type : {ULMOT_OBJ_INVENTORY, ULMOT_OBJ_ANTENNA, ULMOT_OBJ_SCHEDULE, ULMOT_OBJ_RADIO,
                              ULMOT_OBJ_TEXT_LOG, ULMOT_OBJ_VERSION, ULMOT_OBJ_CTI}) {
            EXPECT_EQ(ulmot_AttachDefaultObjectProcessor(client, type, 0, 0), 0);
        }
        EXPECT_EQ(ulmot_AttachProcessorByName(client, UEMU_IO_PROCESSOR_NAME, ULMOT_OBJ_GPI, 0), 0);
        return client;
    }
    // A schedule that repeats one inventory of every tag until stopped, with
    // the tag reports enabled for `client`.
    void Flood(ClientProcessor *client, ulmot_TagReportCallback onReport, void *context) {
        uint8_t inventory = 0, schedule = 0;
        ASSERT_EQ(ulmot_AddInventorySpecification(client, &inventory, 517, 0, 0, 0, nullptr, 0), 0);
        ASSERT_EQ(ulmot_RegisterInventoryEvents(client, nullptr, nullptr, onReport, context), 0);
        ScheduleEntry entry{ULMOT_SCHEDULE_ENTRY_OBJECT, ULMOT_OBJ_INVENTORY, inventory};
        ScheduleEntry *entries[] = {&entry};
        ASSERT_EQ(ulmot_AddScheduleSpecification(client, &schedule, entries, 1, 0, 0), 0);
        ASSERT_EQ(ulmot_StartScheduleSpecification(client, schedule, 1), 0);
    }
    // Destroys `client` on this thread; how long it took.
    static long long TimedDestroy(ClientProcessor *client) {
        const auto start = Clock::now();
        ulmot_DestroyClientProcessor(client);
        return MsSince(start);
    }

    uemu_Reader *reader_ = nullptr;
    std::vector<std::unique_ptr<Connection>> connections_;
};

// ---- A stale session pointer --------------------------------------------------

TEST_F(Teardown, SessionPointerReadBeforeAReconnectionFailsCleanlyAfterIt) {
    Connection *link = nullptr;
    ClientProcessor *c = NewClient("stale", &link);
    ASSERT_NE(c, nullptr);
    Session *old = ulmot_GetClientSession(c);
    const uint8_t oldId = ulmot_GetClientProcessorID(c);
    ASSERT_NE(old, nullptr);
    CaptureStderr();
    ASSERT_EQ(uemu_DropLink(reader_, link->link), UEMU_OK);
    ASSERT_TRUE(WaitFor([&] { return ulmot_GetClientSession(c) == nullptr; }));
    ASSERT_EQ(uemu_RestoreLink(reader_, link->link), UEMU_OK);
    ASSERT_TRUE(WaitFor([&] { return ulmot_GetClientSession(c) != nullptr; }));
    // Let the ended session's receive thread (which ran the reconnection)
    // finish and drop its last reference.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    uint8_t count = 0;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(ulmot_GetInstanceCount(old, oldId, UEMU_READER_PROCESSOR_ID, ULMOT_OBJ_ANTENNA, 1, &count), -1);
        EXPECT_EQ(ulmot_EventRegistration(old, oldId, UEMU_READER_PROCESSOR_ID, ULMOT_OBJ_ANTENNA, 0, 1, 1), -1);
    }
    GetCapturedStderr();
    EXPECT_EQ(ulmot_GetInstanceCount(ulmot_GetClientSession(c), ulmot_GetClientProcessorID(c),
                                     UEMU_READER_PROCESSOR_ID, ULMOT_OBJ_ANTENNA, 1, &count),
              0);
    EXPECT_EQ(count, 4);
    EXPECT_LT(TimedDestroy(c), kDestroyBoundMs);
}


// ---- Destroying a client ----------------------------------------------------------

// A callback that sends a request of its own (allowed) and is blocked in it
// when the client is destroyed: the request is released with -1 at once,
// the callback returns, and only then is the client freed.
TEST_F(Teardown, ClientDestroyedWhileACallbackWaitsInARequestOfItsOwn) {
    Connection &link = Connect("blocked");
    Transport *fault = utr_FaultCreate(link.ClientSide(), "blocked");
    ClientProcessor *c = nullptr;
    ASSERT_EQ(ulmot_CreateClientProcessor(fault, "blocked", &c), 0);
    ASSERT_EQ(ulmot_AttachDefaultObjectProcessor(c, ULMOT_OBJ_ANTENNA, 0, 0), 0);
    ASSERT_EQ(ulmot_AttachProcessorByName(c, UEMU_IO_PROCESSOR_NAME, ULMOT_OBJ_GPI, 0), 0);
    struct Ctx {
        ClientProcessor *client;
        std::atomic<int> calls{0};
        std::atomic<bool> asking{false}, returned{false};
        std::atomic<int32_t> result{12345};
    } ctx{c};
    ASSERT_EQ(ulmot_RegisterGPIEvent(
                  c, 1,
                  [](void *p, uint32_t, uint8_t, uint8_t) {
                      auto *x = static_cast<Ctx *>(p);
                      if (x->calls.fetch_add(1) != 0) return;  // the first event only
                      uint8_t n = 0;
                      x->asking = true;
                      x->result = ulmot_GetAntennaCount(x->client, &n);
                      x->returned = true;
                  },
                  &ctx, 1),
              0);
    // The next response (the callback's) is held back far beyond its time-out.
    utr_FaultDelay(fault, UTR_INBOUND, 1, 60000, UTR_MATCH_RESPONSE);
    ASSERT_EQ(uemu_SetGpi(reader_, 1, 255), UEMU_OK);
    ASSERT_TRUE(WaitFor([&] { return ctx.asking.load(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    CaptureStderr();
    const long long took = TimedDestroy(c);
    GetCapturedStderr();
    EXPECT_LT(took, kPromptMs) << "the callback's request is released, not waited for";
    EXPECT_TRUE(ctx.returned.load()) << "destroy returned while the callback still ran";
    EXPECT_EQ(ctx.result.load(), -1);
    utr_FaultDestroy(fault);
}

// The reconnect loop is waiting for the answer to its registration (held
// back by the transport) when the client is destroyed: the destroy does not
// wait out the registration's time-out, and no session survives it.
TEST_F(Teardown, ClientDestroyedWhileItsReconnectionAwaitsRegistration) {
    Connection &link = Connect("registering");
    Transport *fault = utr_FaultCreate(link.ClientSide(), "registering");
    ClientProcessor *c = nullptr;
    ASSERT_EQ(ulmot_CreateClientProcessor(fault, "registering", &c), 0);
    CaptureStderr();
    ASSERT_EQ(uemu_DropLink(reader_, link.link), UEMU_OK);
    ASSERT_TRUE(WaitFor([&] { return ulmot_GetClientSession(c) == nullptr; }));
    utr_FaultDelay(fault, UTR_INBOUND, 1, 60000, UTR_MATCH_RESPONSE);
    ASSERT_EQ(uemu_RestoreLink(reader_, link.link), UEMU_OK);
    // The reader has registered the new processor; its answer is held back.
    ASSERT_TRUE(WaitFor([&] {
        uint32_t n = 0;
        uemu_GetProcessors(reader_, nullptr, 0, &n);
        return n == 3;
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const long long took = TimedDestroy(c);
    GetCapturedStderr();
    EXPECT_LT(took, kPromptMs) << "destroy waited for the registration's time-out";
    utr_FaultDestroy(fault);
}

// Four clients, each with two request threads and tag reports flowing; one
// has its link down and is reconnecting, one is inside a slow callback. Each
// client is destroyed by a thread of its own, at the same time, while the
// other clients' threads go on with their requests. Three rounds.
TEST_F(Teardown, ClientsDestroyedAtOnceByTheirOwnThreadsUnderTraffic) {
    CaptureStderr();
    for (int round = 0; round < 3; ++round) {
        struct App {
            ClientProcessor *client = nullptr;
            Connection *link = nullptr;
            std::atomic<bool> stop{false};
            std::atomic<uint64_t> reports{0};
            std::atomic<bool> slow{false}, inSlow{false};
            std::vector<std::thread> threads;
        };
        std::vector<std::unique_ptr<App>> apps;
        for (int i = 0; i < 4; ++i) {
            apps.push_back(std::make_unique<App>());
            App &a = *apps.back();
            a.client = NewClient("app" + std::to_string(round) + std::to_string(i), &a.link);
            ASSERT_NE(a.client, nullptr);
            ASSERT_EQ(ulmot_RegisterInventoryEvents(
                          a.client, nullptr, nullptr,
                          [](void *p, uint32_t, uint8_t, const TagReport *) {
                              auto *x = static_cast<App *>(p);
                              x->reports.fetch_add(1);
                              if (x->slow.load()) {
                                  x->inSlow = true;
                                  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
                                  x->slow = false;
                              }
                          },
                          &a),
                      0);
        }
        // One schedule floods every client that enabled reports.
        uint8_t inventory = 0, schedule = 0;
        ASSERT_EQ(ulmot_AddInventorySpecification(apps[0]->client, &inventory, 517, 0, 0, 0, nullptr, 0), 0);
        ScheduleEntry entry{ULMOT_SCHEDULE_ENTRY_OBJECT, ULMOT_OBJ_INVENTORY, inventory};
        ScheduleEntry *entries[] = {&entry};
        ASSERT_EQ(ulmot_AddScheduleSpecification(apps[0]->client, &schedule, entries, 1, 0, 0), 0);
        const int32_t started = ulmot_StartScheduleSpecification(apps[0]->client, schedule, 1);
        ASSERT_TRUE(started == 0 || started == UEMU_RESULT_REFUSED) << started;
        for (auto &a : apps) {
            for (int t = 0; t < 2; ++t) {
                a->threads.emplace_back([app = a.get(), t] {
                    uint32_t k = 0;
                    while (!app->stop.load()) {
                        uint8_t n = 0;
                        uint16_t power = 0;
                        char text[32];
                        const int32_t r = (++k + static_cast<uint32_t>(t)) % 3 == 0
                                              ? ulmot_GetAntennaCount(app->client, &n)
                                          : k % 3 == 1 ? ulmot_GetPropertyInt16(app->client, ULMOT_OBJ_RADIO, 1, 4, &power)
                                                       : ulmot_GetVersion(app->client, k % 10, text, sizeof text);
                        EXPECT_TRUE(r == 0 || r == -1 || (r > 0 && r <= 20)) << r;
                        if (r != 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    }
                });
            }
        }
        ASSERT_TRUE(WaitFor([&] {
            for (auto &a : apps) {
                if (a->reports.load() == 0) return false;
            }
            return true;
        })) << "reports reach every client";
        ASSERT_EQ(uemu_DropLink(reader_, apps[1]->link->link), UEMU_OK);  // app 1 reconnects
        apps[2]->slow = true;                                            // app 2 sits in a callback
        ASSERT_TRUE(WaitFor([&] { return apps[2]->inSlow.load(); }));
        ASSERT_TRUE(WaitFor([&] { return ulmot_GetClientSession(apps[1]->client) == nullptr; }));
        std::atomic<int> go{0};
        std::vector<std::thread> destroyers;
        std::vector<long long> took(apps.size(), 0);
        for (size_t i = 0; i < apps.size(); ++i) {
            destroyers.emplace_back([&, i] {
                go.fetch_add(1);
                while (go.load() < static_cast<int>(apps.size())) std::this_thread::yield();
                std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(i) * 7 % 20));
                const auto start = Clock::now();
                App &a = *apps[i];
                a.stop = true;  // the application's own threads leave before its destroy
                for (auto &t : a.threads) t.join();
                ulmot_DestroyClientProcessor(a.client);
                took[i] = MsSince(start);
            });
        }
        for (auto &d : destroyers) d.join();
        ASSERT_EQ(uemu_RestoreLink(reader_, apps[1]->link->link), UEMU_OK);
        for (size_t i = 0; i < apps.size(); ++i) {
            EXPECT_LT(took[i], kDestroyBoundMs + 2 * 5000) << "client " << i << " (its threads' last requests included)";
        }
        EXPECT_FALSE(apps[2]->slow.load()) << "the slow callback finished before its client went";
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        uint32_t n = 0;
        uemu_GetProcessors(reader_, nullptr, 0, &n);
        EXPECT_EQ(n, 2u) << "no client processor is left registered, none came back after its destroy";
    }
    GetCapturedStderr();
}

// ---- Destroying an IOCTL processor ----------------------------------------------------

// Its callback is running (the reader waits for the answer) when it is
// destroyed: the destroy waits for the callback, the answer cannot go out,
// and the reader's request ends; nothing leaks.
TEST_F(Teardown, IoctlProcessorDestroyedWhileItsCallbackRuns) {
    Connection &link = Connect("ioctl");
    IoctlProcessor *p = nullptr;
    ASSERT_EQ(ulmot_CreateIOCTLProcessor(link.ClientSide(), "ioctl", &p), 0);
    struct Ctx {
        std::atomic<bool> inside{false}, done{false};
    } ctx;
    ulmot_RegisterIOCTLProcessorCallback(
        p,
        [](void *c, const uint8_t *, uint16_t, uint8_t *, uint32_t, uint16_t *length) -> int32_t {
            auto *x = static_cast<Ctx *>(c);
            x->inside = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            *length = 0;
            x->done = true;
            return 0;
        },
        &ctx);
    const uint8_t id = p->processorId;
    std::atomic<int32_t> sent{12345};
    std::thread requester([&] {
        const uint8_t request[] = {1};
        uint8_t response[8];
        uint16_t length = 0;
        uint8_t status = 0;
        sent = uemu_SendIoctl(reader_, id, 100, request, 1, response, sizeof response, &length, &status, 3000);
    });
    ASSERT_TRUE(WaitFor([&] { return ctx.inside.load(); }));
    CaptureStderr();
    const auto start = Clock::now();
    EXPECT_EQ(ulmot_DestroyIOCTLProcessor(p), 0);
    const long long took = MsSince(start);
    GetCapturedStderr();
    EXPECT_TRUE(ctx.done.load()) << "the processor outlives its callback";
    EXPECT_LT(took, kDestroyBoundMs);
    requester.join();
    EXPECT_TRUE(sent == UEMU_ERR_TIMEOUT || sent == UEMU_ERR_LINK_LOST || sent == UEMU_OK) << sent;
}

// ---- Destroying a raw session ---------------------------------------------------------

// Callers from several threads keep sending on a session (with requests the
// reader answers) while its event handler floods and the session is
// destroyed: every caller that was inside returns, none hangs. The callers
// hold a reference across the destroy, as the client does for its own.
TEST_F(Teardown, SessionDestroyedWhileCallersAndItsHandlerRun) {
    for (int round = 0; round < 5; ++round) {
        Connection &link = Connect("raw" + std::to_string(round));
        Session *s = ulmot_CreateSession(link.ClientSide(), 5);
        ASSERT_NE(s, nullptr);
        std::atomic<uint64_t> events{0};
        ulmot_SessionRegisterEventHandler(
            s,
            [](void *c, const uint8_t *, uint16_t, uint32_t, MessageBlock *b) -> int32_t {
                static_cast<std::atomic<uint64_t> *>(c)->fetch_add(1);
                freemsg(b);
                return 0;
            },
            &events);
        uint8_t id = 0;
        const uint32_t types[] = {16};
        ASSERT_EQ(ulmot_DeliveryProcessorRegistration(s, "raw", types, 1, &id), 0);
        ASSERT_EQ(ulmot_EventRegistration(s, id, UEMU_READER_PROCESSOR_ID, ULMOT_OBJ_TEXT_LOG, 0, 1, 1), 0);
        ulmot::session::Retain(s);
        std::atomic<bool> stop{false};
        std::atomic<int> afterDestroy{0};
        std::vector<std::thread> callers;
        for (int t = 0; t < 6; ++t) {
            callers.emplace_back([&] {
                while (!stop.load()) {
                    uint8_t n = 0;
                    const int32_t r = ulmot_GetInstanceCount(s, id, UEMU_READER_PROCESSOR_ID, ULMOT_OBJ_ANTENNA, 1, &n);
                    EXPECT_TRUE(r == 0 || r == -1) << r;
                    if (r == -1) afterDestroy.fetch_add(1);
                }
            });
        }
        std::thread logger([&] {
            while (!stop.load()) {
                uemu_Log(reader_, "flood");
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        ASSERT_TRUE(WaitFor([&] { return events.load() > 20; }));
        CaptureStderr();
        const auto start = Clock::now();
        ulmot_DestroySession(s);
        const long long took = MsSince(start);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        stop = true;
        for (auto &t : callers) t.join();
        logger.join();
        GetCapturedStderr();
        EXPECT_LT(took, kDestroyBoundMs);
        EXPECT_GT(afterDestroy.load(), 0) << "callers saw the session end";
        ulmot::session::Release(s);
        // Nobody receives on this link any more: without the detach, the
        // reader's log events to its processor would pile up in the pair
        // until the pools ran dry.
        EXPECT_EQ(uemu_Detach(reader_, link.link), UEMU_OK);
    }
}

}  // namespace
