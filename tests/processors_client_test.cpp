// The client processor against a scripted reader: creation, attach table,
// processor events, event dispatch, reconnection and teardown.
#include <gmock/gmock.h>

#include "processors_support.h"

namespace {

using namespace ulmot::test;
using testing::HasSubstr;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

using Client = ClientTest;

TEST_F(Client, RegistersItsNameAndTypes16And23) {
    EXPECT_EQ(ulmot_GetClientProcessorID(client_), 7);
    EXPECT_EQ(BodyOf(reader_->lastRegistration()),
              (Bytes{0x15, 0x00, 0x05, 0x02, 0x00, 0x10, 0x00, 0x17, 0x04, 0x00, 0x0B, 't', 'e', 's', 't', '-', 'c',
                     'l', 'i', 'e', 'n', 't'}));
    EXPECT_NE(ulmot_GetClientSession(client_), nullptr);
}

TEST_F(Client, NameIsCutToThirtyCharacters) {
    // One client per endpoint: the fixture's goes first.
    ulmot_DestroyClientProcessor(client_);
    client_ = nullptr;
    ClientProcessor *other = nullptr;
    ASSERT_EQ(ulmot_CreateClientProcessor(utr_MemoryEndpoint(pair_, UTR_SIDE_A),
                                          "0123456789abcdefghij0123456789XYZ", &other),
              0);
    const Bytes body = BodyOf(reader_->lastRegistration());
    EXPECT_EQ(std::string(body.begin() + 11, body.end()), "0123456789abcdefghij0123456789");
    ulmot_DestroyClientProcessor(other);
}

TEST_F(Client, DestroyDeregistersWithItsId) {
    ulmot_DestroyClientProcessor(client_);
    client_ = nullptr;
    EXPECT_EQ(reader_->deregistrations(), 1);
}

TEST_F(Client, AttachTargetSetsOnlyTheProcessor) {
    CaptureStderr();
    EXPECT_EQ(ulmot_AttachTargetProcessor(client_, 25, 3), -5);
    EXPECT_EQ(ulmot_AttachTargetProcessor(client_, -1, 3), -5);
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("]ulmot_AttachTagProcessor: Invalid object type (25)\n"));
    client_->attachTable[24].notifyOnRemoval = 1;
    client_->attachTable[24].attached = 1;
    EXPECT_EQ(ulmot_AttachTargetProcessor(client_, 24, 9), 0);
    EXPECT_EQ(ulmot_GetAssignedProcessorFromObject(client_, 24), 9);
    EXPECT_EQ(client_->attachTable[24].notifyOnRemoval.load(), 1);
    EXPECT_EQ(client_->attachTable[24].attached.load(), 1);
    EXPECT_EQ(ulmot_GetAssignedProcessorFromObject(client_, 25), 0);
    EXPECT_EQ(ulmot_GetAssignedProcessorFromObject(client_, 1000), 0);
}

TEST_F(Client, AttachDefaultSearchesByTypeAndKeepsTheTableOnFailure) {
    int32_t result = 99;
    std::thread t([&] { result = ulmot_AttachDefaultObjectProcessor(client_, 5, 1, 2); });
    Bytes req = reader_->NextRequest();
    EXPECT_EQ(req, (Bytes{0x00, 0x07, 0x08, 0x65, 0x0E, 0x00, 0x00, 0x04, 0x20, 0x05, 0x50, 0x02}));
    reader_->Respond(req, ResultBody(0, {0x33, 0x0E, 0x03}));
    t.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ulmot_GetAssignedProcessorFromObject(client_, 5), 3);
    EXPECT_EQ(client_->attachTable[5].notifyOnRemoval.load(), 1);
    EXPECT_EQ(client_->attachTable[5].attached.load(), 1);

    // Not found (id 0) and refused: -1 and the entry stays.
    for (Bytes answer : {ResultBody(0, {0x33, 0x0E, 0x00}), ResultBody(-2)}) {
        t = std::thread([&] { result = ulmot_AttachDefaultObjectProcessor(client_, 5, 0, 0); });
        reader_->Respond(reader_->NextRequest(), answer);
        t.join();
        EXPECT_EQ(result, -1);
        EXPECT_EQ(ulmot_GetAssignedProcessorFromObject(client_, 5), 3);
    }
}

TEST_F(Client, ObjectTypesOf25AndMoreNeverReachTheTable) {
    CaptureStderr();
    EXPECT_EQ(ulmot_AttachDefaultObjectProcessor(client_, 25, 0, 0), -1);
    EXPECT_EQ(ulmot_AttachProcessorByName(client_, "x", 300, 0), -1);
    EXPECT_EQ(ulmot_AttachProcessorByName(client_, "x", 199, 0), -1) << "199 names no entry to attach";
    GetCapturedStderr();
    EXPECT_TRUE(reader_->NextRequest(100).empty()) << "nothing is asked for a type the table cannot hold";
}

TEST_F(Client, AttachByNameLogsTheNameWhenNotFound) {
    int32_t result = 99;
    std::thread t([&] { result = ulmot_AttachProcessorByName(client_, "gpio", 2, 0); });
    Bytes req = reader_->NextRequest();
    EXPECT_EQ(BodyOf(req), (Bytes{0x04, 0x00, 0x04, 'g', 'p', 'i', 'o', 0x20, 0x02, 0x50, 0x00}));
    CaptureStderr();
    reader_->Respond(req, ResultBody(0, {0x33, 0x0E, 0x00}));
    t.join();
    EXPECT_EQ(result, -1);
    EXPECT_THAT(GetCapturedStderr(),
                HasSubstr("]ulmot_AttachObjectProcessorByName: Failed to determine processor ID with name gpio\n"));

    t = std::thread([&] { result = ulmot_AttachProcessorByName(client_, "gpio", 2, 1); });
    reader_->Respond(reader_->NextRequest(), ResultBody(0, {0x33, 0x0E, 0x02}));
    t.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ulmot_GetAssignedProcessorFromObject(client_, 2), 2);
}

// Collects processor callbacks.
struct Seen {
    std::mutex m;
    std::vector<std::string> calls;
    void Add(std::string s) {
        std::lock_guard<std::mutex> l(m);
        calls.push_back(std::move(s));
    }
    std::vector<std::string> Get() {
        std::lock_guard<std::mutex> l(m);
        return calls;
    }
    bool WaitFor(size_t n) {
        for (int i = 0; i < 500; ++i) {
            if (Get().size() >= n) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    static void Added(void *c, uint32_t ts, uint8_t id, const uint32_t *types, uint32_t n) {
        std::string s = "added " + std::to_string(id) + " ts" + std::to_string(ts) + ":";
        for (uint32_t i = 0; i < n; ++i) s += " " + std::to_string(types[i]);
        static_cast<Seen *>(c)->Add(s);
    }
    static void Removed(void *c, uint32_t ts, uint8_t id) {
        static_cast<Seen *>(c)->Add("removed " + std::to_string(id) + " ts" + std::to_string(ts));
    }
    static void AttachedRemoved(void *c, uint32_t, uint32_t type, uint8_t id) {
        static_cast<Seen *>(c)->Add("attached-removed type " + std::to_string(type) + " id " + std::to_string(id));
    }
};

TEST_F(Client, ProcessorAddedCollectsInt8ItemsWithId2) {
    Seen seen;
    ulmot_RegisterProcessorAddedEvent(client_, Seen::Added, &seen, 1);
    // Items 2: Int8 5, Int8 7, Int16 9, Int8 8.
    reader_->peer().SendEvent(14, 1, TimestampBody(11, {0x20, 0x05, 0x20, 0x07, 0x21, 0x00, 0x09, 0x20, 0x08}));
    ASSERT_TRUE(seen.WaitFor(1));
    CaptureStderr();
    reader_->peer().SendEvent(14, 1, TimestampBody(12, {0x30, 0x05}));
    reader_->peer().SendEvent(14, 1, TimestampBody(13, {0x20, 0x06}));
    ASSERT_TRUE(seen.WaitFor(2));
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("]ulmot_ClientHandleProcessorAdded: processor provides no objects\n"));
    EXPECT_EQ(seen.Get(), (std::vector<std::string>{"added 0 ts11: 5 7 8", "added 0 ts13: 6"}));
}

TEST_F(Client, ProcessorRemovedNotifiesAttachedEntriesThatAskedForIt) {
    Seen seen;
    ulmot_AttachTargetProcessor(client_, 5, 4);
    ulmot_AttachTargetProcessor(client_, 7, 4);
    client_->attachTable[5].attached = 1;
    client_->attachTable[7].attached = 1;
    client_->attachTable[7].notifyOnRemoval = 1;
    ulmot_RegisterProcessorRemovedEvent(client_, Seen::Removed, &seen, 1);
    ulmot_RegisterAttachedProcessorRemovedEvent(client_, Seen::AttachedRemoved, &seen, 1);
    Frame f;
    f.type = ULMOT_MSG_EVENT;
    f.objectType = 14;
    f.command = 0;
    f.instance = 4;
    f.body = TimestampBody(21);
    reader_->peer().Send(f);
    ASSERT_TRUE(seen.WaitFor(2));
    EXPECT_EQ(seen.Get(), (std::vector<std::string>{"removed 4 ts21", "attached-removed type 7 id 4"}));
    EXPECT_EQ(client_->attachTable[5].attached.load(), 0);
    EXPECT_EQ(client_->attachTable[7].attached.load(), 0);
    EXPECT_EQ(ulmot_GetAssignedProcessorFromObject(client_, 7), 4) << "entries keep their processor";
}

TEST_F(Client, EventsForAnotherProcessorReachNoHandler) {
    Seen seen;
    ulmot_RegisterProcessorRemovedEvent(client_, Seen::Removed, &seen, 1);
    for (uint8_t destination : {uint8_t{8}, uint8_t{0}, uint8_t{7}}) {
        Frame f;
        f.destination = destination;
        f.type = ULMOT_MSG_EVENT;
        f.objectType = 14;
        f.instance = destination;
        f.body = TimestampBody(destination);
        reader_->peer().Send(f);
    }
    ASSERT_TRUE(seen.WaitFor(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(seen.Get(), (std::vector<std::string>{"removed 0 ts0", "removed 7 ts7"}));
}

TEST_F(Client, DisabledCallbackKeepsItsContext) {
    Seen seen;
    ulmot_RegisterProcessorRemovedEvent(client_, Seen::Removed, &seen, 1);
    ulmot_RegisterProcessorRemovedEvent(client_, nullptr, nullptr, 0);
    EXPECT_EQ(client_->processorRemoved.Get().context, &seen);
    EXPECT_EQ(client_->processorRemoved.Get().callback, nullptr);
}

using Reconnect = ClientTest;

TEST_F(Reconnect, NewSessionAndIdAfterTheLinkComesBack) {
    ulmot_AttachTargetProcessor(client_, 8, 3);
    Session *first = ulmot_GetClientSession(client_);
    CaptureStderr();
    utr_MemoryLinkDown(pair_);
    const auto start = Clock::now();
    while (ulmot_GetClientSession(client_) != nullptr && MsSince(start) < 3000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(ulmot_GetClientSession(client_), nullptr) << "no session while reconnecting";
    uint8_t count = 0;
    EXPECT_EQ(ulmot_GetPropertyInt8(client_, 8, 1, 1, &count), -1) << "operations fail at once";
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(reader_->registrations(), 1) << "nothing registers while the link is down";
    utr_MemoryRestore(pair_);
    while (ulmot_GetClientSession(client_) == nullptr && MsSince(start) < 5000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const std::string err = GetCapturedStderr();
    Session *second = ulmot_GetClientSession(client_);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first);
    EXPECT_EQ(ulmot_GetClientProcessorID(client_), 8);
    EXPECT_EQ(reader_->registrations(), 2);
    EXPECT_EQ(ulmot_GetAssignedProcessorFromObject(client_, 8), 3) << "the attach table is kept";
    EXPECT_THAT(err, HasSubstr("Session terminated (unrequested"));
    EXPECT_THAT(err, HasSubstr("]ulmot_GetObjectProperties: No session (the client is reconnecting)\n"));

    // And it works: a request reaches the reader from the new id.
    int32_t result = 99;
    std::thread t([&] { result = ulmot_RemoveObject(client_, 8, 2); });
    const Bytes req = reader_->NextRequest();
    EXPECT_EQ(req, (Bytes{0x03, 0x08, 0x08, 0x02, 0x08, 0x02, 0x00, 0x00}));
    reader_->Respond(req, ResultBody(0));
    t.join();
    EXPECT_EQ(result, 0);
}

TEST_F(Reconnect, DestroyWhileReconnectingStopsTheLoop) {
    CaptureStderr();
    utr_MemoryLinkDown(pair_);
    const auto start = Clock::now();
    while (ulmot_GetClientSession(client_) != nullptr && MsSince(start) < 3000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    const auto destroyStart = Clock::now();
    ulmot_DestroyClientProcessor(client_);
    client_ = nullptr;
    EXPECT_LT(MsSince(destroyStart), 1500);
    GetCapturedStderr();
    utr_MemoryRestore(pair_);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(reader_->registrations(), 1) << "no session is started after the destroy";
}

TEST_F(Reconnect, DestroyRacingTheEndOfTheLinkIsSafe) {
    // The link goes just as the client is destroyed, at varying moments.
    ulmot_DestroyClientProcessor(client_);
    client_ = nullptr;
    for (int round = 0; round < 10; ++round) {
        ClientProcessor *c = nullptr;
        utr_MemoryRestore(pair_);
        ASSERT_EQ(ulmot_CreateClientProcessor(utr_MemoryEndpoint(pair_, UTR_SIDE_A), "racer", &c), 0);
        CaptureStderr();
        std::thread dropper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(round));
            utr_MemoryLinkDown(pair_);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ulmot_DestroyClientProcessor(c);
        dropper.join();
        GetCapturedStderr();
    }
    utr_MemoryRestore(pair_);
}

TEST_F(Reconnect, DestroyWaitsForARunningCallback) {
    struct Slow {
        std::atomic<bool> inside{false}, done{false};
    } slow;
    ulmot_RegisterProcessorRemovedEvent(
        client_,
        [](void *c, uint32_t, uint8_t) {
            auto *s = static_cast<Slow *>(c);
            s->inside = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            s->done = true;
        },
        &slow, 1);
    reader_->peer().SendEvent(14, 0, TimestampBody(1));
    while (!slow.inside) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    CaptureStderr();
    ulmot_DestroyClientProcessor(client_);
    client_ = nullptr;
    GetCapturedStderr();
    EXPECT_TRUE(slow.done) << "the client outlives its callback";
}

}  // namespace
