// A client against the emulated reader, end to end over the in-memory pair:
// registration, attachment, generic operations, processor events, IOCTL in
// both roles, reconnection and teardown.
#include <gmock/gmock.h>

#include "processors/ioctl.h"
#include "session_support.h"
#include "uemu.h"

namespace {

using namespace ulmot::test;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// One client connection to the emulated reader: a pair whose far end the
// emulator serves, with hooks that take the pair's link down and up.
struct Connection {
    utr_MemoryPair *pair = utr_MemoryPairCreate("client", "reader", 0);
    uemu_Link *link = nullptr;

    explicit Connection(uemu_Reader *reader) {
        utr_MemorySetReceiveSlice(pair, 10);  // destroys need not wait out an 800 ms receive
        uemu_LinkHooks hooks{[](void *p) { return utr_MemoryLinkDown(static_cast<utr_MemoryPair *>(p)); },
                             [](void *p) { return utr_MemoryRestore(static_cast<utr_MemoryPair *>(p)); }, pair};
        EXPECT_EQ(uemu_Attach(reader, utr_MemoryEndpoint(pair, UTR_SIDE_B), &hooks, &link), UEMU_OK);
    }
    Transport *ClientSide() { return utr_MemoryEndpoint(pair, UTR_SIDE_A); }
};

class EndToEnd : public PoolTest {
protected:
    void SetUp() override {
        PoolTest::SetUp();
        reader_ = uemu_Create(nullptr);
        ASSERT_NE(reader_, nullptr);
        main_ = std::make_unique<Connection>(reader_);
        ASSERT_EQ(ulmot_CreateClientProcessor(main_->ClientSide(), "e2e", &client_), 0);
    }
    void TearDown() override {
        if (client_) ulmot_DestroyClientProcessor(client_);
        uemu_Destroy(reader_);
        for (auto *c : {main_.get(), second_.get()}) {
            if (c) utr_MemoryPairDestroy(c->pair);
        }
        PoolTest::TearDown();
    }
    bool WaitFor(const std::function<bool()> &done, int ms = 5000) {
        const auto start = Clock::now();
        while (!done()) {
            if (MsSince(start) > ms) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }
    std::vector<uemu_ProcessorInfo> Processors() {
        std::vector<uemu_ProcessorInfo> all(16);
        uint32_t count = 0;
        uemu_GetProcessors(reader_, all.data(), 16, &count);
        all.resize(std::min<uint32_t>(count, 16));
        return all;
    }

    uemu_Reader *reader_ = nullptr;
    std::unique_ptr<Connection> main_, second_;
    ClientProcessor *client_ = nullptr;
};

TEST_F(EndToEnd, ClientRegistersAndAttachesByTypeAndByName) {
    EXPECT_EQ(ulmot_GetClientProcessorID(client_), UEMU_FIRST_CLIENT_ID);
    const auto processors = Processors();
    ASSERT_EQ(processors.size(), 3u);
    EXPECT_STREQ(processors[2].name, "e2e");
    EXPECT_EQ(Bytes(processors[2].objectTypes, processors[2].objectTypes + processors[2].objectTypeCount),
              (Bytes{16, 23}));

    EXPECT_EQ(ulmot_AttachDefaultObjectProcessor(client_, ULMOT_OBJ_ANTENNA, 0, 0), 0);
    EXPECT_EQ(ulmot_GetAssignedProcessorFromObject(client_, ULMOT_OBJ_ANTENNA), UEMU_READER_PROCESSOR_ID);
    EXPECT_EQ(ulmot_AttachProcessorByName(client_, "io", ULMOT_OBJ_GPI, 1), 0);
    EXPECT_EQ(ulmot_GetAssignedProcessorFromObject(client_, ULMOT_OBJ_GPI), UEMU_IO_PROCESSOR_ID);
    CaptureStderr();
    EXPECT_EQ(ulmot_AttachProcessorByName(client_, "nobody", ULMOT_OBJ_GPI, 1), -1);
    GetCapturedStderr();
    EXPECT_EQ(ulmot_GetAssignedProcessorFromObject(client_, ULMOT_OBJ_GPI), UEMU_IO_PROCESSOR_ID);
}

TEST_F(EndToEnd, GenericOperationsOnTheObjectStore) {
    ASSERT_EQ(ulmot_AttachDefaultObjectProcessor(client_, ULMOT_OBJ_ANTENNA, 0, 0), 0);
    ASSERT_EQ(ulmot_AttachDefaultObjectProcessor(client_, ULMOT_OBJ_RADIO, 0, 0), 0);
    Session *s = ulmot_GetClientSession(client_);
    const uint8_t id = ulmot_GetClientProcessorID(client_);
    uint8_t count = 0;
    EXPECT_EQ(ulmot_GetInstanceCount(s, id, UEMU_READER_PROCESSOR_ID, ULMOT_OBJ_ANTENNA, 1, &count), 0);
    EXPECT_EQ(count, 4);

    const uint16_t power = 0x0BB8;
    const uint8_t name[] = {'r', 'a', 'd'};
    EXPECT_EQ(ulmot_SetObjectProperties(client_, ULMOT_OBJ_RADIO, 1, ULMOT_PROP_INT16, 3u, &power,
                                        ULMOT_PROP_BYTE_ARRAY, 20u, name, 3u, ULMOT_PROP_END),
              0);
    uint16_t read = 0;
    char text[8] = {};
    EXPECT_EQ(ulmot_GetPropertyInt16(client_, ULMOT_OBJ_RADIO, 1, 3, &read), 0);
    EXPECT_EQ(read, 0x0BB8);
    EXPECT_EQ(ulmot_GetPropertyString(client_, ULMOT_OBJ_RADIO, 1, 20, text, sizeof text), 0);
    EXPECT_STREQ(text, "rad");

    // A preset antenna cannot be removed; an unknown instance is refused too.
    CaptureStderr();
    EXPECT_EQ(ulmot_RemoveObject(client_, ULMOT_OBJ_ANTENNA, 2), UEMU_RESULT_REFUSED);
    EXPECT_EQ(ulmot_GetPropertyInt16(client_, ULMOT_OBJ_RADIO, 9, 3, &read), -1);
    GetCapturedStderr();

    EXPECT_EQ(ulmot_EventRegistration(s, id, UEMU_READER_PROCESSOR_ID, ULMOT_OBJ_ANTENNA, 0, 1, 1), 0);
    std::vector<uemu_EventRegistration> regs(4);
    uint32_t n = 0;
    ASSERT_EQ(uemu_GetEventRegistrations(reader_, regs.data(), 4, &n), UEMU_OK);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(regs[0].processorId, id);
    EXPECT_EQ(regs[0].objectType, ULMOT_OBJ_ANTENNA);
    EXPECT_EQ(regs[0].enabledMask & 1u, 1u);
}

struct ProcessorEvents {
    std::mutex m;
    std::vector<std::string> seen;
    void Add(std::string s) {
        std::lock_guard<std::mutex> l(m);
        seen.push_back(std::move(s));
    }
    std::vector<std::string> Get() {
        std::lock_guard<std::mutex> l(m);
        return seen;
    }
};

TEST_F(EndToEnd, ProcessorEventsAndTheAttachedRemovedRule) {
    ProcessorEvents events;
    ulmot_RegisterProcessorAddedEvent(
        client_,
        [](void *c, uint32_t, uint8_t id, const uint32_t *types, uint32_t n) {
            std::string s = "added " + std::to_string(id) + ":";
            for (uint32_t i = 0; i < n; ++i) s += " " + std::to_string(types[i]);
            static_cast<ProcessorEvents *>(c)->Add(s);
        },
        &events, 1);
    ulmot_RegisterProcessorRemovedEvent(
        client_, [](void *c, uint32_t, uint8_t id) { static_cast<ProcessorEvents *>(c)->Add("removed " + std::to_string(id)); },
        &events, 1);
    ulmot_RegisterAttachedProcessorRemovedEvent(
        client_,
        [](void *c, uint32_t, uint32_t type, uint8_t id) {
            static_cast<ProcessorEvents *>(c)->Add("attached " + std::to_string(type) + " " + std::to_string(id));
        },
        &events, 1);

    second_ = std::make_unique<Connection>(reader_);
    ClientProcessor *other = nullptr;
    ASSERT_EQ(ulmot_CreateClientProcessor(second_->ClientSide(), "other", &other), 0);
    const uint8_t otherId = ulmot_GetClientProcessorID(other);
    ASSERT_TRUE(WaitFor([&] { return events.Get().size() >= 1; }));
    // Attach the client object type to the other client, asking to be told.
    EXPECT_EQ(ulmot_AttachProcessorByName(client_, "other", ULMOT_OBJ_CLIENT, 1), 0);
    EXPECT_EQ(ulmot_GetAssignedProcessorFromObject(client_, ULMOT_OBJ_CLIENT), otherId);
    ulmot_DestroyClientProcessor(other);
    ASSERT_TRUE(WaitFor([&] { return events.Get().size() >= 3; }));
    const std::string id = std::to_string(otherId);
    EXPECT_EQ(events.Get(), (std::vector<std::string>{"added " + id + ": 16 23", "removed " + id, "attached 16 " + id}));
    EXPECT_EQ(client_->attachTable[ULMOT_OBJ_CLIENT].attached.load(), 0);
}

// Answers with the request reversed; status 0x42.
int32_t Reverse(void *, const uint8_t *req, uint16_t len, uint8_t *resp, uint32_t, uint16_t *out) {
    for (uint16_t i = 0; i < len; ++i) resp[i] = req[len - 1 - i];
    *out = len;
    return 0x42;
}

TEST_F(EndToEnd, IoctlAnsweredByAClientAndByAnIoctlProcessor) {
    const uint8_t request[] = {1, 2, 3, 4};
    uint8_t response[16];
    uint16_t length = 0;
    uint8_t status = 0;
    ASSERT_EQ(uemu_SendIoctl(reader_, ulmot_GetClientProcessorID(client_), 100, request, 4, response,
                             sizeof response, &length, &status, 3000),
              UEMU_OK);
    EXPECT_EQ(status, 1) << "no callback yet";
    EXPECT_EQ(length, 0);
    ulmot_RegisterIOCTL(client_, Reverse, nullptr, 1);
    ASSERT_EQ(uemu_SendIoctl(reader_, ulmot_GetClientProcessorID(client_), 100, request, 4, response,
                             sizeof response, &length, &status, 3000),
              UEMU_OK);
    EXPECT_EQ(status, 0x42);
    EXPECT_EQ(Bytes(response, response + length), (Bytes{4, 3, 2, 1}));

    second_ = std::make_unique<Connection>(reader_);
    IoctlProcessor *ioctl = nullptr;
    ASSERT_EQ(ulmot_CreateIOCTLProcessor(second_->ClientSide(), "ioctl", &ioctl), 0);
    ulmot_RegisterIOCTLProcessorCallback(ioctl, Reverse, nullptr);
    ASSERT_EQ(uemu_SendIoctl(reader_, ioctl->processorId, 100, request, 3, response, sizeof response, &length,
                             &status, 3000),
              UEMU_OK);
    EXPECT_EQ(status, 0x42);
    EXPECT_EQ(Bytes(response, response + length), (Bytes{3, 2, 1}));
    ASSERT_EQ(uemu_SendIoctl(reader_, ioctl->processorId, 101, request, 3, response, sizeof response, &length,
                             &status, 3000),
              UEMU_OK);
    EXPECT_EQ(status, 2);
    ulmot_DestroyIOCTLProcessor(ioctl);
}

TEST_F(EndToEnd, ReconnectsWithANewIdAndKeepsItsAttachTable) {
    ASSERT_EQ(ulmot_AttachDefaultObjectProcessor(client_, ULMOT_OBJ_ANTENNA, 0, 0), 0);
    const uint8_t firstId = ulmot_GetClientProcessorID(client_);
    CaptureStderr();
    ASSERT_EQ(uemu_DropLink(reader_, main_->link), UEMU_OK);
    ASSERT_TRUE(WaitFor([&] { return ulmot_GetClientSession(client_) == nullptr; }));
    // The emulator deregistered the client's processor.
    ASSERT_TRUE(WaitFor([&] { return Processors().size() == 2; }));
    ASSERT_EQ(uemu_RestoreLink(reader_, main_->link), UEMU_OK);
    ASSERT_TRUE(WaitFor([&] { return ulmot_GetClientSession(client_) != nullptr; }));
    GetCapturedStderr();
    EXPECT_NE(ulmot_GetClientProcessorID(client_), firstId);
    EXPECT_EQ(ulmot_GetAssignedProcessorFromObject(client_, ULMOT_OBJ_ANTENNA), UEMU_READER_PROCESSOR_ID);
    uint8_t count = 0;
    EXPECT_EQ(ulmot_GetInstanceCount(ulmot_GetClientSession(client_), ulmot_GetClientProcessorID(client_),
                                     UEMU_READER_PROCESSOR_ID, ULMOT_OBJ_ANTENNA, 1, &count),
              0);
    EXPECT_EQ(count, 4);
}

TEST_F(EndToEnd, DestroyDuringReconnectionAndWhileACallbackRuns) {
    std::atomic<bool> inside{false}, done{false};
    struct Flags {
        std::atomic<bool> *inside, *done;
    } flags{&inside, &done};
    // A second client whose removal keeps our callback busy for a while.
    ulmot_RegisterProcessorRemovedEvent(
        client_,
        [](void *c, uint32_t, uint8_t) {
            auto *f = static_cast<Flags *>(c);
            *f->inside = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1200));
            *f->done = true;
        },
        &flags, 1);
    second_ = std::make_unique<Connection>(reader_);
    ClientProcessor *other = nullptr;
    ASSERT_EQ(ulmot_CreateClientProcessor(second_->ClientSide(), "other", &other), 0);
    ulmot_DestroyClientProcessor(other);
    ASSERT_TRUE(WaitFor([&] { return inside.load(); }));
    CaptureStderr();
    ulmot_DestroyClientProcessor(client_);
    client_ = nullptr;
    EXPECT_TRUE(done.load()) << "destroy waited for the callback";

    // A client whose link is down and that is reconnecting.
    ClientProcessor *third = nullptr;
    ASSERT_EQ(ulmot_CreateClientProcessor(second_->ClientSide(), "third", &third), 0);
    ASSERT_EQ(uemu_DropLink(reader_, second_->link), UEMU_OK);
    ASSERT_TRUE(WaitFor([&] { return ulmot_GetClientSession(third) == nullptr; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    const auto start = Clock::now();
    ulmot_DestroyClientProcessor(third);
    EXPECT_LT(MsSince(start), 1500);
    GetCapturedStderr();
    ASSERT_EQ(uemu_RestoreLink(reader_, second_->link), UEMU_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    for (const auto &p : Processors()) EXPECT_STRNE(p.name, "third") << "no session after the destroy";
}

}  // namespace
