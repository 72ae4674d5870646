// The emulated delivery processor: registration and its ids, deregistration,
// the directory commands, searches by name and by object type with the find
// flag, and the processor added and removed events.
#include "emulator_support.h"

namespace {

using namespace ulmot::test;

// `frame` with the 4 time stamp bytes of item 254 (at `at`) cut out, and the
// time stamp itself.
std::pair<Bytes, uint32_t> CutTimestamp(const Bytes &frame, size_t at) {
    Bytes rest(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(at));
    uint32_t ts = 0;
    for (size_t i = at; i < at + 4 && i < frame.size(); ++i) ts = ts << 8 | frame[i];
    for (size_t i = at + 4; i < frame.size(); ++i) rest.push_back(frame[i]);
    return {rest, ts};
}

using Registration = EmulatorTest;

TEST_F(Registration, WireBytesOfResponsesAndProcessorEvents) {
    // A raw far end: every byte the reader sends is checked.
    utr_MemoryPair *pair = utr_MemoryPairCreate("raw", "raw-reader", 0);
    utr_MemorySetReceiveSlice(pair, 10);  // destroys need not wait out an 800 ms receive
    ASSERT_EQ(uemu_Attach(Reader(), utr_MemoryEndpoint(pair, UTR_SIDE_B), nullptr, nullptr), UEMU_OK);
    Peer peer(utr_MemoryEndpoint(pair, UTR_SIDE_A));

    Frame reg;
    reg.type = ULMOT_MSG_REQUEST;
    reg.id = 8;
    reg.command = 1;
    reg.objectType = 14;
    reg.body = {0x15, 0x00, 0x05, 0x02, 0x00, 0x10, 0x00, 0x17, 0x04, 0x00, 0x03, 'a', 'p', 'p'};
    peer.Send(reg);
    EXPECT_EQ(peer.Receive(), (Bytes{0x00, 0x00, 0x48, 0x01, 0x0E, 0x03, 0x00, 0x04, 0xF1, 0xFF, 0x00, 0x00}));

    reg.id = 7;
    reg.body = {0x15, 0x00, 0x03, 0x01, 0x00, 0x05, 0x04, 0x00, 0x03, 't', 'w', 'o'};
    peer.Send(reg);
    EXPECT_EQ(peer.Receive(), (Bytes{0x00, 0x00, 0x47, 0x01, 0x0E, 0x04, 0x00, 0x04, 0xF1, 0xFF, 0x00, 0x00}));
    // Processor 3 hears of processor 4: event type 1, instance 4, its type as Int8 item 2.
    auto [added, addedAt] = CutTimestamp(peer.Receive(), 10);
    EXPECT_EQ(added, (Bytes{0x03, 0x00, 0x80, 0x01, 0x0E, 0x04, 0x00, 0x08, 0xF2, 0xFE, 0x20, 0x05}));

    Frame dereg;
    dereg.source = 3;
    dereg.type = ULMOT_MSG_REQUEST;
    dereg.id = 6;
    dereg.command = 2;
    dereg.objectType = 14;
    dereg.instance = 3;
    peer.Send(dereg);
    EXPECT_EQ(peer.Receive(), (Bytes{0x03, 0x00, 0x46, 0x02, 0x0E, 0x03, 0x00, 0x04, 0xF1, 0xFF, 0x00, 0x00}));
    auto [removed, removedAt] = CutTimestamp(peer.Receive(), 10);
    EXPECT_EQ(removed, (Bytes{0x04, 0x00, 0x80, 0x00, 0x0E, 0x03, 0x00, 0x06, 0xF2, 0xFE}));
    EXPECT_LE(addedAt, removedAt);
    EXPECT_LE(removedAt, uemu_Now(Reader()));

    uemu_Destroy(reader_);
    reader_ = nullptr;
    utr_MemoryPairDestroy(pair);
}

TEST_F(Registration, IdsGoUpFromThreeAndAreNotHandedOutAgain) {
    Client &a = NewClient("a");
    Client &b = NewClient("b");
    EXPECT_EQ(a.id, 3);
    EXPECT_EQ(b.id, 4);
    EXPECT_EQ(a.Deregister(), 0);
    EXPECT_EQ(a.Register("a-again", {5, 7, 11}), 0);
    EXPECT_EQ(a.id, 5) << "id 3 is free but not handed out again";

    const auto ps = Processors();
    ASSERT_EQ(ps.size(), 4u);
    EXPECT_EQ(ps[0].id, 1);
    EXPECT_STREQ(ps[0].name, "reader");
    EXPECT_EQ(ps[0].internal, 1);
    EXPECT_EQ(ps[1].id, 2);
    EXPECT_STREQ(ps[1].name, "io");
    EXPECT_EQ(Bytes(ps[1].objectTypes, ps[1].objectTypes + ps[1].objectTypeCount), (Bytes{1, 2}));
    EXPECT_EQ(ps[2].id, 4);
    EXPECT_EQ(ps[3].id, 5);
    EXPECT_STREQ(ps[3].name, "a-again");
    EXPECT_EQ(ps[3].internal, 0);
    EXPECT_EQ(Bytes(ps[3].objectTypes, ps[3].objectTypes + ps[3].objectTypeCount), (Bytes{5, 7, 11}));
}

TEST_F(Registration, RefusesMalformedRequests) {
    Client &c = NewClient("c", false);
    struct Case {
        const char *what;
        std::function<void(Body &)> build;
        uint8_t objectType;
        uint8_t command;
        int32_t result;
    };
    const std::string longest(254, 'n');
    const Case cases[] = {
        {"no name", [](Body &b) { b.List(1, {16}); }, 14, 1, UEMU_RESULT_MALFORMED},
        {"empty name", [](Body &b) { b.Text(0, ""); }, 14, 1, UEMU_RESULT_MALFORMED},
        {"255-byte name", [](Body &b) { b.Text(0, std::string(255, 'n')); }, 14, 1, UEMU_RESULT_MALFORMED},
        {"types not a list", [](Body &b) { b.Int8(1, 16).Text(0, "x"); }, 14, 1, UEMU_RESULT_MALFORMED},
        {"list element not Int8",
         [](Body &b) { b.Raw({0x15, 0x00, 0x04, 0x01, 0x01, 0x00, 0x10}).Text(0, "x"); }, 14, 1,
         UEMU_RESULT_MALFORMED},
        {"list count wrong", [](Body &b) { b.Raw({0x15, 0x00, 0x03, 0x02, 0x00, 0x10}).Text(0, "x"); },
         14, 1, UEMU_RESULT_MALFORMED},
        {"name runs past the body", [](Body &b) { b.Raw({0x04, 0x00, 0x09, 'x'}); }, 14, 1,
         UEMU_RESULT_MALFORMED},
        {"unknown command", [](Body &b) { b.Text(0, "x"); }, 14, 7, UEMU_RESULT_UNKNOWN_COMMAND},
        {"not the directory's type", [](Body &b) { b.Text(0, "x"); }, 5, 1, UEMU_RESULT_TYPE_NOT_SERVED},
        {"254-byte name", [&](Body &b) { b.Text(0, longest); }, 14, 1, UEMU_RESULT_OK},
    };
    for (const Case &k : cases) {
        Body b;
        k.build(b);
        const Answer a = c.Request(0, k.objectType, k.command, 0, b, 0);
        EXPECT_EQ(a.result, k.result) << k.what;
        EXPECT_EQ(a.body, Result(static_cast<int16_t>(k.result))) << k.what;
    }
    const auto ps = Processors();
    ASSERT_EQ(ps.size(), 3u) << "only the 254-byte name was registered";
    EXPECT_EQ(std::string(ps[2].name), longest);
    EXPECT_EQ(ps[2].objectTypeCount, 0);
}

TEST_F(Registration, DeregistrationOnlyOfOwnProcessorsOverOwnLink) {
    Client &a = NewClient("a");
    Client &b = NewClient("b");
    EXPECT_EQ(b.Request(0, 14, 2, a.id).result, UEMU_RESULT_UNKNOWN_INSTANCE) << "another link's";
    EXPECT_EQ(a.Request(0, 14, 2, UEMU_READER_PROCESSOR_ID).result, UEMU_RESULT_UNKNOWN_INSTANCE);
    EXPECT_EQ(a.Request(0, 14, 2, 99).result, UEMU_RESULT_UNKNOWN_INSTANCE);
    EXPECT_TRUE(IsRegistered(a.id));
    const Answer ok = a.Request(0, 14, 2, a.id);
    EXPECT_EQ(ok.result, 0);
    EXPECT_EQ(ok.instance, a.id);
    EXPECT_FALSE(IsRegistered(a.id));
    EXPECT_EQ(a.Request(0, 14, 2, a.id).result, UEMU_RESULT_UNKNOWN_INSTANCE) << "twice";
    EXPECT_TRUE(IsRegistered(b.id));
}

using Directory = EmulatorTest;

TEST_F(Directory, ListsAndDescribesProcessors) {
    Client &a = NewClient("app");
    EXPECT_EQ(a.Request(0, 14, 0).body, Result(0, {0x03, 0x0E, 0x01, 0x03, 0x0E, 0x02, 0x03, 0x0E, 0x03}));
    EXPECT_EQ(a.Request(0, 14, 4, 3).body,
              Result(0, {0x04, 0x00, 0x03, 'a', 'p', 'p', 0x15, 0x00, 0x05, 0x02, 0x00, 0x10, 0x00, 0x17}));
    EXPECT_EQ(a.Request(0, 14, 4, 2).body,
              Result(0, {0x04, 0x00, 0x02, 'i', 'o', 0x15, 0x00, 0x05, 0x02, 0x00, 0x01, 0x00, 0x02}));
    EXPECT_EQ(a.Request(0, 14, 4, 9).result, UEMU_RESULT_UNKNOWN_INSTANCE);
}

TEST_F(Directory, SearchesByNameAndByObjectType) {
    Client &c = NewClient("app");
    struct Case {
        const char *what;
        std::optional<std::string> name;
        std::optional<uint8_t> type;
        uint8_t flag;
        int16_t result;
        uint8_t found;
    };
    const Case cases[] = {
        {"name alone", "reader", std::nullopt, 0, 0, 1},
        {"name and a type it owns", "io", 2, 0, 0, 2},
        {"name and a type it does not own", "reader", 1, 0, UEMU_RESULT_NOT_FOUND, 0},
        {"name with type 199 matches any type", "io", 199, 0, 0, 2},
        {"unknown name", "nobody", std::nullopt, 0, UEMU_RESULT_NOT_FOUND, 0},
        {"name is compared whole", "read", std::nullopt, 0, UEMU_RESULT_NOT_FOUND, 0},
        {"type of the reader processor", std::nullopt, 8, 0, 0, 1},
        {"type of the io processor", std::nullopt, 1, 0, 0, 2},
        {"type a client provides", std::nullopt, 23, 0, 0, 3},
        {"type 199 by type is a type", std::nullopt, 199, 0, UEMU_RESULT_NOT_FOUND, 0},
        {"type nobody provides", std::nullopt, 20, 0, UEMU_RESULT_NOT_FOUND, 0},
        {"the directory is not in itself", std::nullopt, 14, 0, UEMU_RESULT_NOT_FOUND, 0},
    };
    for (const Case &k : cases) {
        Body b;
        if (k.name) b.Text(0, *k.name);
        if (k.type) b.Int8(2, *k.type);
        b.Int8(5, k.flag);
        const Answer a = c.Request(0, 14, k.name ? 100 : 101, 0, b);
        EXPECT_EQ(a.result, k.result) << k.what;
        // Found: the result, then item 3, a reference to (14, the processor).
        const Bytes expected = k.result == 0 ? Result(0, {0x33, 0x0E, k.found}) : Result(k.result);
        EXPECT_EQ(a.body, expected) << k.what;
    }
    Body noType;
    noType.Int8(5, 0);
    EXPECT_EQ(c.Request(0, 14, 101, 0, noType).result, UEMU_RESULT_MALFORMED) << "by type without one";
    Body noName;
    noName.Int8(2, 8).Int8(5, 0);
    EXPECT_EQ(c.Request(0, 14, 100, 0, noName).result, UEMU_RESULT_MALFORMED) << "by name without one";
    Body wideType;
    wideType.Int16(2, 8);
    EXPECT_EQ(c.Request(0, 14, 101, 0, wideType).result, UEMU_RESULT_MALFORMED) << "type not an Int8";
    Body noFlag;
    noFlag.Int8(2, 8);
    EXPECT_EQ(c.Request(0, 14, 101, 0, noFlag).body, Result(0, {0x33, 0x0E, 0x01})) << "flag left out";
}

TEST_F(Directory, FindFlagPicksTheEarliestOrTheLatestRegistration) {
    Client &first = NewClient("twin");
    Client &second = NewClient("twin");
    Client &third = NewClient("twin");
    auto find = [&](bool byName, uint8_t flag) {
        Body b;
        if (byName) b.Text(0, "twin");
        else b.Int8(2, 16);
        b.Int8(5, flag);
        const Answer a = first.Request(0, 14, byName ? 100 : 101, 0, b);
        EXPECT_EQ(a.result, 0);
        return a.body.size() == 7 ? a.body[6] : 0;
    };
    EXPECT_EQ(find(true, 0), first.id);
    EXPECT_EQ(find(true, 1), third.id);
    EXPECT_EQ(find(true, 7), third.id) << "any non-zero flag is the latest";
    EXPECT_EQ(find(false, 0), first.id);
    EXPECT_EQ(find(false, 1), third.id);
    EXPECT_EQ(third.Deregister(), 0);
    EXPECT_EQ(find(true, 1), second.id);
    EXPECT_EQ(second.Deregister(), 0);
    EXPECT_EQ(second.Register("twin"), 0) << "registering again makes it the latest";
    EXPECT_EQ(find(false, 1), second.id);
    EXPECT_EQ(find(false, 0), first.id);
}

using ProcessorEvents = EmulatorTest;

TEST_F(ProcessorEvents, ReachEveryOtherClientButNotTheSubject) {
    Client &a = NewClient("a");
    Client &b = NewClient("b");
    const std::optional<Received> first = a.NextEvent();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->header, (Bytes{a.id, 0x00, 0x80, 0x01, 0x0E, b.id, 0x00, 0x0A}));

    Client &c = NewClient("c", false);
    ASSERT_EQ(c.Register("c", {16, 23, 5}), 0);
    for (Client *other : {&a, &b}) {
        const std::optional<Received> e = other->NextEvent();
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(e->header, (Bytes{other->id, 0x00, 0x80, 0x01, 0x0E, c.id, 0x00, 0x0C}));
        ASSERT_EQ(e->body.size(), 12u);
        EXPECT_EQ(Bytes(e->body.begin(), e->body.begin() + 2), (Bytes{0xF2, 0xFE}));
        EXPECT_EQ(Bytes(e->body.begin() + 6, e->body.end()), (Bytes{0x20, 0x10, 0x20, 0x17, 0x20, 0x05}));
        // The session hands over the time stamp of item 254.
        EXPECT_EQ(e->timestamp, uint32_t{e->body[2]} << 24 | uint32_t{e->body[3]} << 16 |
                                    uint32_t{e->body[4]} << 8 | e->body[5]);
        EXPECT_LE(e->timestamp, uemu_Now(Reader()));
    }
    c.ExpectNoEvent("the subject of an added event does not receive it");

    ASSERT_EQ(c.Deregister(), 0);
    for (Client *other : {&a, &b}) {
        const std::optional<Received> e = other->NextEvent();
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(e->header, (Bytes{other->id, 0x00, 0x80, 0x00, 0x0E, c.id, 0x00, 0x06}));
        EXPECT_EQ(e->body.size(), 6u) << "a removed event carries the time stamp alone";
        other->ExpectNoEvent("one event per change");
    }
}

}  // namespace
