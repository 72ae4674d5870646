// The emulated reader's object processors: preset instances, commands 0 to 6
// over the store with their result codes, and the event rules (registration
// gating, an instance's choice over the type's, attached properties).
#include "emulator_support.h"

namespace {

using namespace ulmot::test;

constexpr uint8_t kReader = UEMU_READER_PROCESSOR_ID;
constexpr uint8_t kIo = UEMU_IO_PROCESSOR_ID;
// The largest event body a caller gives: a block's 2040 body bytes less item 254.
constexpr size_t kMaxBodyForEvents = 2034;

using Store = EmulatorTest;

TEST_F(Store, PresetInstancesAndWhichProcessorOwnsWhichType) {
    config_.presetInstances[8] = 2;
    Client &c = NewClient("app");
    EXPECT_EQ(c.Request(kReader, 8, 0).body, Result(0, {0x03, 0x08, 0x01, 0x03, 0x08, 0x02}));
    EXPECT_EQ(c.Request(kIo, 2, 0).body,
              Result(0, {0x03, 0x02, 0x01, 0x03, 0x02, 0x02, 0x03, 0x02, 0x03, 0x03, 0x02, 0x04}));
    EXPECT_EQ(c.Request(kReader, 12, 0).body, Result(0, {0x03, 0x0C, 0x01}));
    EXPECT_EQ(c.Request(kReader, 5, 0).body, Result(0)) << "no inventory specification yet";
    struct Case {
        uint8_t processor, type;
    };
    for (const Case k : {Case{kReader, 2}, Case{kIo, 8}, Case{kReader, 16}, Case{kReader, 20},
                         Case{kReader, 23}, Case{kIo, 14}}) {
        EXPECT_EQ(c.Request(k.processor, k.type, 0).body, Result(UEMU_RESULT_TYPE_NOT_SERVED))
            << "type " << int(k.type) << " at processor " << int(k.processor);
    }
    const Answer nobody = c.Request(77, 8, 0);
    EXPECT_EQ(nobody.result, UEMU_RESULT_NO_SUCH_PROCESSOR);
    uint8_t instances[8];
    uint32_t n = 0;
    EXPECT_EQ(uemu_GetInstances(Reader(), 2, instances, 8, &n), UEMU_OK);
    EXPECT_EQ(Bytes(instances, instances + n), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(uemu_GetInstances(Reader(), 16, instances, 8, &n), UEMU_ERR_INVALID);
}

TEST_F(Store, AddKeepsCreationItemsAndNumbersFromOne) {
    Client &c = NewClient("app");
    auto add = [&](uint16_t value) {
        Body b;
        b.Int8(2, 1).Int16(0, value).Ref(1, 8, 1);
        return c.Request(kReader, 5, 1, 0, b);
    };
    const Answer first = add(0x0102);
    EXPECT_EQ(first.result, 0);
    EXPECT_EQ(first.instance, 1);
    EXPECT_EQ(first.body, Result(0));
    EXPECT_EQ(add(0x0304).instance, 2);
    // Kept as they travel, ascending by item id.
    EXPECT_EQ(c.Request(kReader, 5, 4, 1).body, Result(0, {0x01, 0x01, 0x02, 0x13, 0x08, 0x01, 0x20, 0x01}));
    EXPECT_EQ(c.Request(kReader, 5, 4, 2).body, Result(0, {0x01, 0x03, 0x04, 0x13, 0x08, 0x01, 0x20, 0x01}));
    EXPECT_EQ(c.Request(kReader, 5, 2, 1).result, 0);
    EXPECT_EQ(c.Request(kReader, 5, 0).body, Result(0, {0x03, 0x05, 0x02}));
    EXPECT_EQ(add(0x0506).instance, 1) << "the lowest free instance";
    EXPECT_EQ(c.Request(kReader, 5, 0).body, Result(0, {0x03, 0x05, 0x01, 0x03, 0x05, 0x02}));
    uint8_t items[16];
    uint32_t length = 0;
    EXPECT_EQ(uemu_GetObjectProperties(Reader(), 5, 1, items, sizeof items, &length), UEMU_OK);
    EXPECT_EQ(Bytes(items, items + length), (Bytes{0x01, 0x05, 0x06, 0x13, 0x08, 0x01, 0x20, 0x01}));
    EXPECT_EQ(uemu_GetObjectProperties(Reader(), 5, 1, items, 7, &length), UEMU_ERR_TOO_SMALL);
    EXPECT_EQ(length, 8u);
    EXPECT_EQ(uemu_GetObjectProperties(Reader(), 5, 3, items, sizeof items, &length), UEMU_ERR_NOT_FOUND);
}

TEST_F(Store, SetMergesItemsByIdAndTheLastOfAnIdWins) {
    // Items 254 and 255 (time stamp, result) are never kept.
    Client &c = NewClient("app");
    Body add;
    add.Int8(2, 1).Int16(0, 0x0102);
    ASSERT_EQ(c.Request(kReader, 5, 1, 0, add).instance, 1);
    Body set;
    set.Int8(2, 5).Int8(21, 3).Text(7, "ab").Text(7, "xyz").Int32(254, 1).Int16(255, 0);
    EXPECT_EQ(c.Request(kReader, 5, 3, 1, set).body, Result(0));
    EXPECT_EQ(c.Request(kReader, 5, 4, 1).body,
              Result(0, {0x01, 0x01, 0x02, 0x20, 0x05, 0x74, 0x00, 0x03, 'x', 'y', 'z', 0xF0, 0x15, 0x03}));
    // Preset objects take properties as well: antenna 4's maximum power
    // (item 2) among its preset items 0 to 4.
    Body power;
    power.Int16(2, 300);
    EXPECT_EQ(c.Request(kReader, 8, 3, 4, power).result, 0);
    EXPECT_EQ(c.Request(kReader, 8, 4, 4).body,
              Result(0, {0x01, 0x01, 0x2C, 0x11, 0x00, 0x64, 0x21, 0x01, 0x2C, 0x34, 0x00, 0x01, 0x04, 0x40, 0x00}));
    // A set that would outgrow a get response is refused whole.
    Body big(2048);
    big.Array(30, Bytes(1000, 0xAA)).Array(31, Bytes(1000, 0xBB));
    Body more(2048);
    more.Array(32, Bytes(100, 0xCC)).Int8(2, 9);
    EXPECT_EQ(c.Request(kReader, 5, 3, 1, big).result, 0);
    EXPECT_EQ(c.Request(kReader, 5, 3, 1, more).result, UEMU_RESULT_EXHAUSTED);
    const Answer after = c.Request(kReader, 5, 4, 1);
    ASSERT_GT(after.body.size(), 8u);
    EXPECT_EQ(Bytes(after.body.begin() + 4, after.body.begin() + 9), (Bytes{0x01, 0x01, 0x02, 0x20, 0x05}))
        << "item 2 kept its value";
    EXPECT_EQ(after.body.size(), 4u + 3 + 2 + 6 + 3 + 2 * (2 + 2 + 1000));
}

TEST_F(Store, ErrorsHaveTheirOwnResultCodes) {
    Client &c = NewClient("app");
    Client &unregistered = NewClient("none", false);
    Body add;
    add.Int8(2, 1);
    ASSERT_EQ(c.Request(kReader, 5, 1, 0, add).instance, 1);
    struct Case {
        const char *what;
        uint8_t type, command, instance;
        Bytes body;
        int16_t result;
    };
    const Case cases[] = {
        {"get an unknown instance", 5, 4, 9, {}, UEMU_RESULT_UNKNOWN_INSTANCE},
        {"get instance 0", 5, 4, 0, {}, UEMU_RESULT_UNKNOWN_INSTANCE},
        {"set an unknown instance", 5, 3, 9, {0x20, 0x01}, UEMU_RESULT_UNKNOWN_INSTANCE},
        {"remove an unknown instance", 5, 2, 9, {}, UEMU_RESULT_UNKNOWN_INSTANCE},
        {"register events of an unknown instance", 5, 5, 9,
         {0x02, 0, 0, 0, 1, 0x02, 0, 0, 0, 1}, UEMU_RESULT_UNKNOWN_INSTANCE},
        {"event properties of an unknown instance", 5, 6, 0, {0x04, 0x00, 0x03, 0x09, 0x01, 0x00},
         UEMU_RESULT_UNKNOWN_INSTANCE},
        {"command 7", 5, 7, 1, {}, UEMU_RESULT_UNKNOWN_COMMAND},
        {"command 99", 5, 99, 1, {}, UEMU_RESULT_UNKNOWN_COMMAND},
        {"command 100 of a plain store", 5, 100, 1, {}, UEMU_RESULT_UNKNOWN_COMMAND},
        {"an item runs past the body", 5, 3, 1, {0x04, 0x00, 0x09, 0x01}, UEMU_RESULT_MALFORMED},
        {"a header without its id byte", 5, 3, 1, {0x20, 0x01, 0xF0}, UEMU_RESULT_MALFORMED},
        {"event registration with one mask", 5, 5, 0, {0x02, 0, 0, 0, 1}, UEMU_RESULT_MALFORMED},
        {"event registration with Int16 masks", 5, 5, 0, {0x01, 0, 1, 0x01, 0, 1}, UEMU_RESULT_MALFORMED},
        {"event properties without attach flag", 5, 6, 0, {0x04, 0x00, 0x01, 0x00}, UEMU_RESULT_MALFORMED},
        {"removing a preset antenna", 8, 2, 1, {}, UEMU_RESULT_REFUSED},
    };
    for (const Case &k : cases) {
        Body b;
        if (!k.body.empty()) b.Raw(k.body);
        const Answer a = c.Request(kReader, k.type, k.command, k.instance, b);
        EXPECT_EQ(a.body, Result(k.result)) << k.what;
        EXPECT_EQ(a.instance, k.instance) << k.what << ": the response carries the request's instance";
    }
    EXPECT_EQ(unregistered.Enable(kReader, 5, 0, 1, 1), UEMU_RESULT_NOT_REGISTERED);
    EXPECT_EQ(unregistered.Properties(kReader, 5, 0, true, {1}), UEMU_RESULT_NOT_REGISTERED);
    // A processor registered over another link cannot be claimed as source.
    Body masks;
    masks.Int32(0, 1).Int32(0, 1);
    EXPECT_EQ(unregistered.Request(kReader, 5, 5, 0, masks, c.id).result, UEMU_RESULT_NOT_REGISTERED);
    EXPECT_TRUE(Registrations().empty());
    EXPECT_EQ(c.Request(kReader, 8, 0).body.size(), 4u + 4 * 3) << "all four antennas are still there";
    Body inventory;
    EXPECT_EQ(c.Request(kReader, 5, 4, 1, inventory).body, Result(0, {0x20, 0x01})) << "nothing changed";
}

using Events = EmulatorTest;

// Raises event `eventType` of type/instance with body `body` and returns
// the number of processors it went to.
int32_t Raise(uemu_Reader *r, uint8_t type, uint8_t eventType, uint8_t instance, const Bytes &body = {}) {
    return uemu_SendEvent(r, type, eventType, instance, body.empty() ? nullptr : body.data(),
                          static_cast<uint16_t>(body.size()));
}

TEST_F(Events, RegistrationDecidesWhoReceives) {
    Client &a = NewClient("a");
    Client &b = NewClient("b");
    ASSERT_TRUE(a.NextEvent().has_value());  // b was added
    EXPECT_EQ(a.Enable(kReader, 12, 0, 0xFFFFFFFF, 0x5), 0);  // event types 0 and 2

    EXPECT_EQ(Raise(Reader(), 12, 0, 1, {0x00, 0x07}), 1);
    std::optional<Received> e = a.NextEvent();
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->header, (Bytes{a.id, kReader, 0x80, 0x00, 0x0C, 0x01, 0x00, 0x08}));
    ASSERT_EQ(e->body.size(), 8u);
    EXPECT_EQ(Bytes(e->body.begin(), e->body.begin() + 2), (Bytes{0xF2, 0xFE}));
    EXPECT_EQ(Bytes(e->body.begin() + 6, e->body.end()), (Bytes{0x00, 0x07}));

    EXPECT_EQ(Raise(Reader(), 12, 1, 1), 0) << "event type 1 was not enabled";
    EXPECT_EQ(Raise(Reader(), 12, 2, 1), 1);
    e = a.NextEvent();
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->header[ULMOT_HEADER_COMMAND], 2);
    a.ExpectNoEvent("event type 1 stays away");
    b.ExpectNoEvent("b registered for nothing");

    // Selecting only event type 0 with enable 0 switches it off and keeps 2.
    EXPECT_EQ(a.Enable(kReader, 12, 0, 0x1, 0), 0);
    EXPECT_EQ(Raise(Reader(), 12, 0, 1), 0);
    EXPECT_EQ(Raise(Reader(), 12, 2, 1), 1);
    ASSERT_TRUE(a.NextEvent().has_value());
    const auto regs = Registrations();
    ASSERT_EQ(regs.size(), 1u);
    EXPECT_EQ(regs[0].processorId, a.id);
    EXPECT_EQ(regs[0].objectType, 12);
    EXPECT_EQ(regs[0].instance, 0);
    EXPECT_EQ(regs[0].selectedMask, 0xFFFFFFFFu);
    EXPECT_EQ(regs[0].enabledMask, 0x4u);

    // GPI lines are the io processor's: its id is the events' source.
    EXPECT_EQ(a.Enable(kIo, 2, 3, 1, 0xFFFFFFFF), 0);
    EXPECT_EQ(Raise(Reader(), 2, 0, 3, {0x00, 0x01}), 1);
    EXPECT_EQ(Raise(Reader(), 2, 0, 4, {0x00, 0x01}), 0) << "line 4 was not enabled";
    e = a.NextEvent();
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->header, (Bytes{a.id, kIo, 0x80, 0x00, 0x02, 0x03, 0x00, 0x08}));
}

TEST_F(Events, AnInstancesOwnChoiceWinsOverTheTypes) {
    Client &a = NewClient("a");
    Body add;
    add.Int8(2, 1);
    ASSERT_EQ(a.Request(kReader, 5, 1, 0, add).instance, 1);
    Body add2;
    add2.Int8(2, 2);
    ASSERT_EQ(a.Request(kReader, 5, 1, 0, add2).instance, 2);
    EXPECT_EQ(a.Enable(kReader, 5, 0, 0xFFFFFFFF, 0x7), 0);
    EXPECT_EQ(a.Enable(kReader, 5, 2, 1u << 2, 0), 0);  // no tag reports of instance 2
    EXPECT_EQ(Raise(Reader(), 5, 2, 1), 1);
    EXPECT_EQ(Raise(Reader(), 5, 2, 2), 0);
    EXPECT_EQ(Raise(Reader(), 5, 0, 2), 1) << "event type 0 is left to the type-wide choice";
    EXPECT_EQ(a.Enable(kReader, 5, 1, 1u << 1, 0), 0);
    EXPECT_EQ(Raise(Reader(), 5, 1, 1), 0);
    EXPECT_EQ(Raise(Reader(), 5, 1, 0), 1) << "an event of the type as a whole";
    // Disabling for the type does not undo an instance's own enable.
    EXPECT_EQ(a.Enable(kReader, 5, 2, 1u << 3, 0xFFFFFFFF), 0);
    EXPECT_EQ(a.Enable(kReader, 5, 0, 0xFFFFFFFF, 0), 0);
    EXPECT_EQ(Raise(Reader(), 5, 3, 2), 1);
    EXPECT_EQ(Raise(Reader(), 5, 3, 1), 0);
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(a.NextEvent().has_value());
    a.ExpectNoEvent("exactly four events passed");

    // Removing an instance drops what was registered for it.
    EXPECT_EQ(Registrations().size(), 3u);
    EXPECT_EQ(a.Request(kReader, 5, 2, 2).result, 0);
    const auto regs = Registrations();
    ASSERT_EQ(regs.size(), 2u);
    EXPECT_EQ(regs[0].instance, 0);
    EXPECT_EQ(regs[1].instance, 1);
    // And deregistering the processor drops the rest.
    EXPECT_EQ(a.Deregister(), 0);
    EXPECT_TRUE(Registrations().empty());
}

TEST_F(Events, CarryTheRegisteredPropertiesOfTheObject) {
    Client &a = NewClient("a");
    Client &b = NewClient("b");
    ASSERT_TRUE(a.NextEvent().has_value());
    Body pair;
    pair.Int8(0, 1).Int8(1, 2).Int16(2, 300).Int8(3, 4);
    ASSERT_EQ(a.Request(kReader, 17, 1, 0, pair).instance, 1);
    for (Client *c : {&a, &b}) EXPECT_EQ(c->Enable(kReader, 17, 0, 1, 0xFFFFFFFF), 0);
    // The body that the library sends for properties 0, 1 and 2 of every pair.
    Body props;
    props.Raw({0x04, 0x00, 0x05, 0x00, 0x01, 0x00, 0x01, 0x02});
    EXPECT_EQ(a.Request(kReader, 17, 6, 0, props).result, 0);

    auto bodyAfterTimestamp = [](const Received &e) { return Bytes(e.body.begin() + 6, e.body.end()); };
    EXPECT_EQ(Raise(Reader(), 17, 0, 1), 2);
    std::optional<Received> e = a.NextEvent();
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(bodyAfterTimestamp(*e), (Bytes{0x00, 0x01, 0x10, 0x02, 0x21, 0x01, 0x2C}));
    EXPECT_EQ(e->header[ULMOT_HEADER_LENGTH + 1], 13);
    e = b.NextEvent();
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->body.size(), 6u) << "b asked for no properties";

    // An item the event already carries is not added again; detached ones go.
    EXPECT_EQ(a.Properties(kReader, 17, 0, false, {1}), 0);
    EXPECT_EQ(Raise(Reader(), 17, 0, 1, {0x00, 0x09}), 2);
    e = a.NextEvent();
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(bodyAfterTimestamp(*e), (Bytes{0x00, 0x09, 0x21, 0x01, 0x2C}));
    ASSERT_TRUE(b.NextEvent().has_value());

    // Properties asked for one instance add to those of the type.
    EXPECT_EQ(a.Properties(kReader, 17, 1, true, {3, 2}), 0);
    EXPECT_EQ(Raise(Reader(), 17, 0, 1), 2);
    e = a.NextEvent();
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(bodyAfterTimestamp(*e), (Bytes{0x00, 0x01, 0x21, 0x01, 0x2C, 0x30, 0x04}));
    ASSERT_TRUE(b.NextEvent().has_value());
    const auto regs = Registrations();
    ASSERT_EQ(regs.size(), 3u);
    EXPECT_EQ(Bytes(regs[0].propertyIds, regs[0].propertyIds + regs[0].propertyCount), (Bytes{0, 2}));
    EXPECT_EQ(Bytes(regs[1].propertyIds, regs[1].propertyIds + regs[1].propertyCount), (Bytes{3, 2}));
}

TEST_F(Events, DirectEventsAndArgumentChecks) {
    Client &a = NewClient("a");
    Client &b = NewClient("b");
    ASSERT_TRUE(a.NextEvent().has_value());
    const Bytes text = {0x04, 0x00, 0x02, 'h', 'i'};
    EXPECT_EQ(uemu_SendEventTo(Reader(), b.id, 13, 0, 0, text.data(), 5), UEMU_OK);
    std::optional<Received> e = b.NextEvent();
    ASSERT_TRUE(e.has_value()) << "sent whatever b registered";
    EXPECT_EQ(e->header, (Bytes{b.id, kReader, 0x80, 0x00, 0x0D, 0x00, 0x00, 0x0B}));
    EXPECT_EQ(Bytes(e->body.begin() + 6, e->body.end()), text);
    a.ExpectNoEvent("only b");

    // Events of the delivery processor's type go to every client.
    EXPECT_EQ(Raise(Reader(), 14, 1, 200, {0x20, 0x05}), 2);
    for (Client *c : {&a, &b}) {
        e = c->NextEvent();
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(e->header, (Bytes{c->id, 0x00, 0x80, 0x01, 0x0E, 200, 0x00, 0x08}));
    }

    const Bytes tooLong(kMaxBodyForEvents + 1, 0);
    EXPECT_EQ(Raise(Reader(), 12, 32, 1), UEMU_ERR_INVALID) << "event type beyond the masks";
    EXPECT_EQ(Raise(Reader(), 16, 0, 1), UEMU_ERR_INVALID) << "a type the reader does not own";
    EXPECT_EQ(Raise(Reader(), 12, 0, 1, tooLong), UEMU_ERR_INVALID);
    EXPECT_EQ(uemu_SendEvent(Reader(), 12, 0, 1, nullptr, 3), UEMU_ERR_INVALID);
    EXPECT_EQ(uemu_SendEventTo(Reader(), 99, 12, 0, 1, nullptr, 0), UEMU_ERR_NOT_FOUND);
    EXPECT_EQ(uemu_SendEventTo(Reader(), kReader, 12, 0, 1, nullptr, 0), UEMU_ERR_NOT_FOUND);
    const Bytes longest(kMaxBodyForEvents, 0);
    EXPECT_EQ(uemu_SendEventTo(Reader(), a.id, 12, 0, 1, longest.data(), static_cast<uint16_t>(longest.size())),
              UEMU_OK);
    e = a.NextEvent();
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->body.size(), 2040u) << "the largest body a block carries";
}

}  // namespace
