// The tag path families' answers to raw requests: the antennas' preset items,
// the checks of every add and set (with their result codes), schedule start
// and stop answers, and the VSWR status event.
#include "emulator_tagpath_support.h"

namespace {

using namespace ulmot::test;

using Specs = TagPathTest;

struct AddCase {
    const char *what;
    Bytes body;
    int32_t result;
};

// Adds an object of `type` for each case and checks the result; what was
// added is removed again.
void ExpectAdds(Client &c, uint8_t type, const std::vector<AddCase> &cases) {
    for (const AddCase &k : cases) {
        Body b(2000);
        if (!k.body.empty()) b.Raw(k.body);
        const Answer a = c.Request(UEMU_READER_PROCESSOR_ID, type, 1, 0, b);
        EXPECT_EQ(a.result, k.result) << k.what;
        if (a.result == 0) {
            EXPECT_EQ(c.Request(UEMU_READER_PROCESSOR_ID, type, 2, a.instance).result, 0) << k.what;
        }
    }
}

TEST_F(Specs, AntennasArePresetWithPowerLimitsAndTakeOrderedSets) {
    Client &c = NewClient("app");
    for (uint8_t a = 1; a <= 4; ++a) {
        EXPECT_EQ(c.Request(kReader, kAntennaType, 4, a).body,
                  Result(0, {0x01, 0x01, 0x2C, 0x11, 0x00, 0x64, 0x21, 0x01, 0x3B, 0x34, 0x00, 0x01, a, 0x40, 0x00}))
            << "antenna " << int(a) << ": 30.0 dBm default, 10.0 to 31.5 dBm, receives itself, VSWR good";
    }
    EXPECT_EQ(Add(c, kAntennaType, I16(0, 300), UEMU_RESULT_REFUSED), 0);
    EXPECT_EQ(c.Request(kReader, kAntennaType, 2, 1).result, UEMU_RESULT_REFUSED);
    EXPECT_EQ(Set(c, kAntennaType, 2, I16(0, 320)), UEMU_RESULT_OUT_OF_RANGE) << "default above the maximum";
    EXPECT_EQ(Set(c, kAntennaType, 2, I16(1, 310)), UEMU_RESULT_OUT_OF_RANGE) << "minimum above the default";
    EXPECT_EQ(Set(c, kAntennaType, 2, Array(3, {1, 9})), UEMU_RESULT_OUT_OF_RANGE) << "no antenna 9";
    EXPECT_EQ(Set(c, kAntennaType, 2, I16(3, 1)), UEMU_RESULT_MALFORMED) << "receive list as a number";
    EXPECT_EQ(Set(c, kAntennaType, 2, Cat({I16(0, 250), Array(3, {2, 3})})), 0);
    EXPECT_EQ(c.Request(kReader, kAntennaType, 4, 2).body,
              Result(0, {0x01, 0x00, 0xFA, 0x11, 0x00, 0x64, 0x21, 0x01, 0x3B, 0x34, 0x00, 0x02, 2, 3, 0x40, 0x00}));
}

TEST_F(Specs, VswrStatusChangesRaiseTheAntennaEvent) {
    Client &c = NewClient("app");
    EXPECT_EQ(c.Enable(kReader, kAntennaType, 0, 1, 0xFFFFFFFF), 0);
    ASSERT_EQ(uemu_SetAntennaVswr(Reader(), 3, 2), UEMU_OK);
    std::optional<Received> e = c.NextEvent();
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->header, (Bytes{c.id, kReader, 0x80, 0x00, kAntennaType, 3, 0x00, 0x08}));
    EXPECT_EQ(Bytes(e->body.begin() + 6, e->body.end()), (Bytes{0x40, 0x02}));
    EXPECT_EQ(uemu_SetAntennaVswr(Reader(), 3, 2), UEMU_OK);
    c.ExpectNoEvent("the status did not change");
    EXPECT_EQ(c.Request(kReader, kAntennaType, 4, 3).body.back(), 2) << "item 4 keeps the last status";
    EXPECT_EQ(uemu_SetAntennaVswr(Reader(), 3, 0), UEMU_OK);
    e = c.NextEvent();
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(Bytes(e->body.begin() + 6, e->body.end()), (Bytes{0x40, 0x00}));
    EXPECT_EQ(uemu_SetAntennaVswr(Reader(), 5, 1), UEMU_ERR_NOT_FOUND);
    EXPECT_EQ(uemu_SetAntennaVswr(nullptr, 1, 1), UEMU_ERR_INVALID);
}

TEST_F(Specs, AntennaPairsCheckTheirAntennasAndPower) {
    Client &c = NewClient("app");
    ExpectAdds(c, kPairType,
               {
                   {"transmit 1, receive 2, 30.0 dBm", Cat({I8(0, 1), I8(1, 2), I16(2, 300)}), 0},
                   {"power 0: the antenna's default", Cat({I8(0, 4), I16(2, 0)}), 0},
                   {"further receivers as an Int8 list", Cat({I8(0, 1), List(3, {I8(0, 3), I8(0, 4)})}), 0},
                   {"one further receiver as an Int8", Cat({I8(0, 1), I8(3, 4)}), 0},
                   {"no transmit antenna", Cat({I8(1, 2), I16(2, 300)}), UEMU_RESULT_MALFORMED},
                   {"transmit antenna as a byte array", Array(0, {1}), UEMU_RESULT_MALFORMED},
                   {"no antenna 9", I8(0, 9), UEMU_RESULT_OUT_OF_RANGE},
                   {"transmit antenna 0", I8(0, 0), UEMU_RESULT_OUT_OF_RANGE},
                   {"no receive antenna 5", Cat({I8(0, 1), I8(1, 5)}), UEMU_RESULT_OUT_OF_RANGE},
                   {"power above 31.5 dBm", Cat({I8(0, 1), I16(2, 316)}), UEMU_RESULT_OUT_OF_RANGE},
                   {"power below 10.0 dBm", Cat({I8(0, 1), I16(2, 99)}), UEMU_RESULT_OUT_OF_RANGE},
                   {"a receiver that is not there", Cat({I8(0, 1), List(3, {I8(0, 3), I8(0, 7)})}),
                    UEMU_RESULT_OUT_OF_RANGE},
                   {"further receivers as references", Cat({I8(0, 1), List(3, {Ref(0, 8, 3)})}),
                    UEMU_RESULT_MALFORMED},
               });
    const uint8_t pair = Add(c, kPairType, Cat({I8(0, 1), I8(1, 2), I16(2, 300)}));
    EXPECT_EQ(Set(c, kPairType, pair, I16(2, 50)), UEMU_RESULT_OUT_OF_RANGE);
    EXPECT_EQ(Set(c, kPairType, pair, Cat({I16(2, 250), List(3, {I8(0, 4)})})), 0);
    EXPECT_EQ(c.Request(kReader, kPairType, 4, pair).body,
              Result(0, {0x00, 0x01, 0x10, 0x02, 0x21, 0x00, 0xFA, 0x35, 0x00, 0x03, 0x01, 0x00, 0x04}));
}

TEST_F(Specs, SelectorsAndFilterSpecificationsTakeOnlyWellFormedLists) {
    Client &c = NewClient("app");
    Bytes countTwoOneElement = List(0, {Filter(1, 32, 0, 8, {0x30})});
    countTwoOneElement[3] = 2;
    Bytes dataShort = Filter(1, 32, 0, 16, {0xAA, 0xBB});
    dataShort.pop_back();
    dataShort[2] = static_cast<uint8_t>(dataShort[2] - 1);  // the length says what is there
    const std::vector<AddCase> cases = {
        {"one EPC filter", List(0, {Filter(1, 32, 0, 8, {0x30}, {0xFF})}), 0},
        {"two filters and an Int8", List(0, {I8(0, 1), Filter(2, 0, 2, 8, {0xE2}), Filter(3, 0, 4, 0, {})}), 0},
        {"an empty list", List(0, {}), 0},
        {"no list", {}, UEMU_RESULT_MALFORMED},
        {"item 0 as an Int8", I8(0, 1), UEMU_RESULT_MALFORMED},
        {"bank 4", List(0, {Filter(4, 0, 0, 8, {0x30})}), UEMU_RESULT_MALFORMED},
        {"16 data bits, one data byte", List(0, {dataShort}), UEMU_RESULT_MALFORMED},
        {"count 2, one element", countTwoOneElement, UEMU_RESULT_MALFORMED},
        {"an Int16 element", List(0, {I16(0, 1)}), UEMU_RESULT_MALFORMED},
    };
    for (uint8_t type : {kSelectorType, kFilterType}) {
        SCOPED_TRACE("object type " + std::to_string(type));
        ExpectAdds(c, type, cases);
    }
    // A set replaces the list only with a well-formed one.
    const uint8_t selector = AddSelector(c, {Filter(1, 32, 0, 8, {0x30})});
    const Bytes before = c.Request(kReader, kSelectorType, 4, selector).body;
    EXPECT_EQ(Set(c, kSelectorType, selector, List(0, {I16(0, 1)})), UEMU_RESULT_MALFORMED);
    EXPECT_EQ(c.Request(kReader, kSelectorType, 4, selector).body, before);
    EXPECT_EQ(before, Result(0, List(0, {Filter(1, 32, 0, 8, {0x30})})));
}

TEST_F(Specs, InventoriesAccessAndSchedulesCheckWhatTheyReferTo) {
    Client &c = NewClient("app");
    const uint8_t selector = AddSelector(c, {});
    const uint8_t filter = Add(c, kFilterType, List(0, {}));
    const uint8_t inventory = AddInventory(c, 0);
    const uint8_t inventory2 = AddInventory(c, 1, {selector});
    ASSERT_EQ(inventory2, 2);
    SCOPED_TRACE("inventories");
    ExpectAdds(c, kInventoryType,
               {
                   {"a missing selector", List(3, {Ref(0, 3, selector), Ref(0, 3, 9)}), UEMU_RESULT_UNKNOWN_INSTANCE},
                   {"a filter specification as selector", List(3, {Ref(0, 6, filter)}), UEMU_RESULT_MALFORMED},
                   {"a missing pair", Ref(1, 17, 5), UEMU_RESULT_UNKNOWN_INSTANCE},
                   {"a missing antenna", Ref(1, 8, 9), UEMU_RESULT_UNKNOWN_INSTANCE},
                   {"a Gen2 protocol specification, kept", Ref(1, 4, 1), 0},
                   {"session as a byte array", Array(2, {1}), UEMU_RESULT_MALFORMED},
               });
    EXPECT_EQ(c.Request(kReader, kInventoryType, 4, inventory2).body,
              Result(0, Cat({I16(0, 517), I8(2, 1), List(3, {Ref(0, 3, selector)})})))
        << "kept as they travel, ascending by id";

    SCOPED_TRACE("access specifications");
    const Bytes read = Cat({I16(0, 1), I8(4, 0), I8(6, 2), I32(5, 0), I8(13, 2)});
    ExpectAdds(c, kAccessType,
               {
                   {"a read of two TID words", read, 0},
                   {"a write of one user word", Cat({I16(0, 1), I8(4, 1), I8(6, 3), I16(8, 2), Array(7, {1, 2})}), 0},
                   {"operation 2", Cat({read, I8(4, 2)}), UEMU_RESULT_OUT_OF_RANGE},
                   {"bank 4", Cat({read, I8(6, 4)}), UEMU_RESULT_OUT_OF_RANGE},
                   {"a write without data", Cat({I8(4, 1), I16(8, 2)}), UEMU_RESULT_MALFORMED},
                   {"a write of three bytes", Cat({I8(4, 1), I16(8, 3), Array(7, {1, 2, 3})}),
                    UEMU_RESULT_OUT_OF_RANGE},
                   {"a length beyond the data", Cat({I8(4, 1), I16(8, 4), Array(7, {1, 2})}), UEMU_RESULT_MALFORMED},
                   {"a missing filter", Cat({read, Ref(3, 6, 9)}), UEMU_RESULT_UNKNOWN_INSTANCE},
                   {"filter 0: none", Cat({read, Ref(3, 6, 0)}), 0},
                   {"an inventory as filter", Cat({read, Ref(3, 5, inventory)}), UEMU_RESULT_MALFORMED},
                   {"a missing inventory", Cat({read, List(1, {Ref(0, 5, inventory), Ref(0, 5, 7)})}),
                    UEMU_RESULT_UNKNOWN_INSTANCE},
                   {"a missing antenna", Cat({read, List(2, {Ref(0, 8, 5)})}), UEMU_RESULT_UNKNOWN_INSTANCE},
               });

    SCOPED_TRACE("schedules");
    ExpectAdds(c, kScheduleType,
               {
                   {"no list", I8(3, 1), UEMU_RESULT_MALFORMED},
                   {"an Int16 entry", List(0, {I16(0, 1)}), UEMU_RESULT_MALFORMED},
                   {"a radio entry", List(0, {Ref(0, 12, 1)}), UEMU_RESULT_MALFORMED},
                   {"a missing inventory", List(0, {Ref(0, 5, 9)}), UEMU_RESULT_UNKNOWN_INSTANCE},
                   {"a missing antenna", List(0, {Ref(0, 8, 5)}), UEMU_RESULT_UNKNOWN_INSTANCE},
                   {"value code 4", List(0, {I32(0, 0x00040001)}), UEMU_RESULT_OUT_OF_RANGE},
                   {"no entries", List(0, {}), 0},
               });
    // The add body of two entries: inventory 2, then a 1000 ms duration.
    Body add;
    add.Raw({0x05, 0x00, 0x09, 0x02, 0x03, 0x05, 0x02, 0x02, 0x00, 0x00, 0x03, 0xE8});
    const Answer added = c.Request(kReader, kScheduleType, 1, 0, add);
    ASSERT_EQ(added.result, 0);
    const uint8_t schedule = added.instance;
    EXPECT_EQ(Set(c, kScheduleType, schedule, Cat({I8(3, 5), I8(4, 1), I8(5, 7)})), 0) << "LBT and priority";
    EXPECT_EQ(Set(c, kScheduleType, schedule, Array(5, {7})), UEMU_RESULT_MALFORMED);

    // Start and stop answers, on a schedule that runs until stopped.
    const uint8_t endless = AddSchedule(c, {Ref(0, kInventoryType, inventory2)});
    EXPECT_EQ(Start(c, 9), UEMU_RESULT_UNKNOWN_INSTANCE);
    EXPECT_EQ(Start(c, 0), UEMU_RESULT_UNKNOWN_INSTANCE);
    Body wrongFlag;
    wrongFlag.Raw(I16(1, 1));
    EXPECT_EQ(c.Request(kReader, kScheduleType, 100, endless, wrongFlag).result, UEMU_RESULT_MALFORMED);
    EXPECT_EQ(Stop(c, endless), 1) << "not running";
    EXPECT_EQ(c.Request(kReader, kScheduleType, 101, endless).body, Result(0, {0x60, 0x01}));
    EXPECT_EQ(c.Request(kReader, kScheduleType, 101, 9).result, UEMU_RESULT_UNKNOWN_INSTANCE);
    EXPECT_EQ(Start(c, endless, 1), 0);
    EXPECT_EQ(Start(c, endless, 1), UEMU_RESULT_REFUSED) << "already running";
    EXPECT_EQ(c.Request(kReader, kScheduleType, 101, endless).body, Result(0, {0x60, 0x00}));
    EXPECT_EQ(Stop(c, endless), 1);
}

}  // namespace
