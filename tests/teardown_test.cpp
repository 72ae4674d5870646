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

}  // namespace
