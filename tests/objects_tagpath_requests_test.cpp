// Inventory, schedule and antenna operations: every request as the reader
// receives it, byte for byte, the answers read back, results and log lines.
#include "objects_tagpath_support.h"

namespace {

using namespace ulmot::test;

using Inventory = TagPathRequestTest;
using Schedule = TagPathRequestTest;
using Antenna = TagPathRequestTest;

void NoReport(void *, uint32_t, uint8_t, const TagReport *) {}
void NoEvent0(void *, uint32_t, uint8_t) {}
void NoEvent1(void *, uint32_t, uint8_t, MessageBlock *) {}
void NoStart(void *, uint32_t, uint32_t) {}
void NoStop(void *, uint32_t, uint32_t, uint8_t) {}
void NoVswr(void *, uint32_t, uint8_t, uint8_t) {}
void NoActivation(void *, uint32_t, uint8_t, const AntennaPairActivation *) {}

// ---- Inventory ----------------------------------------------------------------

TEST_F(Inventory, AddWritesItems2_0_1AndTheSelectorListInThisOrder) {
    static const uint8_t selectors[] = {1, 4};
    uint8_t instance = 0;
    const Bytes creation = {0x20, 0x03, 0x01, 0x01, 0x02, 0x13, 0x08, 0x02};
    Bytes withList = creation;
    Append(withList, {0x35, 0x00, 0x07, 0x02, 0x03, 0x03, 0x01, 0x03, 0x03, 0x04});
    CheckAll({
        {"with selectors",
         [&](ClientProcessor *c) { return ulmot_AddInventorySpecification(c, &instance, 0x0102, 8, 2, 3, selectors, 2); },
         {RequestBytes(5, 1, 0, withList)}, {Ok({}, 9)}, 0, {}},
        {"selector array with a count of 0",
         [](ClientProcessor *c) { return ulmot_AddInventorySpecification(c, nullptr, 0x0102, 8, 2, 3, selectors, 0); },
         {RequestBytes(5, 1, 0, creation)}, {Ok()}, 0, {}},
        {"a count without an array",
         [](ClientProcessor *c) { return ulmot_AddInventorySpecification(c, nullptr, 0x0102, 8, 2, 3, nullptr, 2); },
         {RequestBytes(5, 1, 0, creation)}, {{ResultBody(-12)}}, -12, {}},
    });
    EXPECT_EQ(instance, 9);
}

TEST_F(Inventory, AddThatCannotFitIsRefusedUnsent) {
    uint8_t selectors[255];
    for (int i = 0; i < 255; ++i) selectors[i] = static_cast<uint8_t>(i);
    Check({"255 selectors do not fit the 376 bytes behind the head room",
           [&](ClientProcessor *c) { return ulmot_AddInventorySpecification(c, nullptr, 1, 8, 2, 3, selectors, 255); },
           {}, {}, -1,
           {"ulmot_BufferWriteDTPObjectReferenceList: Insufficient tail space",
            "ulmot_AddInventorySpecification: Failed to build request"}});
}

TEST_F(Inventory, SettersSendOneItemToTheInstance) {
    static const uint8_t selector[] = {5};
    CheckAll({
        {"selector", [](ClientProcessor *c) { return ulmot_SetInventorySelector(c, 2, selector, 1); },
         {RequestBytes(5, 3, 2, {0x35, 0x00, 0x04, 0x01, 0x03, 0x03, 0x05})}, {Ok()}, 0, {}},
        {"no selector: empty body", [](ClientProcessor *c) { return ulmot_SetInventorySelector(c, 2, nullptr, 0); },
         {RequestBytes(5, 3, 2, {})}, {Ok()}, 0, {}},
        {"inventory type", [](ClientProcessor *c) { return ulmot_SetInventoryType(c, 2, 1); },
         {RequestBytes(5, 3, 2, {0xF0, 0x17, 0x01})}, {Ok()}, 0, {}},
        {"access group", [](ClientProcessor *c) { return ulmot_SetInventoryAccessGroup(c, 2, 3); },
         {RequestBytes(5, 3, 2, {0xF0, 0x15, 0x03})}, {{ResultBody(-2)}}, -2, {}},
    });
}

TEST_F(Inventory, RegistrationEnablesExactlyTheTypesWithACallback) {
    CheckAll({
        {"tag report only", [](ClientProcessor *c) { return ulmot_RegisterInventoryEvents(c, nullptr, nullptr, NoReport, nullptr); },
         {RequestBytes(5, 5, 0, RegistrationBody(0xFFFFFFFF, 4))}, {Ok()}, 0, {}},
        {"all three", [](ClientProcessor *c) { return ulmot_RegisterInventoryEvents(c, NoEvent0, NoEvent1, NoReport, nullptr); },
         {RequestBytes(5, 5, 0, RegistrationBody(0xFFFFFFFF, 7))}, {Ok()}, 0, {}},
        {"events 0 and 1", [](ClientProcessor *c) { return ulmot_RegisterInventoryEvents(c, NoEvent0, NoEvent1, nullptr, nullptr); },
         {RequestBytes(5, 5, 0, RegistrationBody(0xFFFFFFFF, 3))}, {Ok()}, 0, {}},
        {"none", [](ClientProcessor *c) { return ulmot_RegisterInventoryEvents(c, nullptr, nullptr, nullptr, nullptr); },
         {RequestBytes(5, 5, 0, RegistrationBody(0xFFFFFFFF, 0))}, {{ResultBody(-4)}}, -4,
         {"ulmot_EventRegistration: Request failed (result -4)"}},
    });
}

TEST_F(Inventory, ManageSelectsOneEventTypeOfOneSpecification) {
    CheckAll({
        {"disable type 2 of instance 3", [](ClientProcessor *c) { return ulmot_ManageInventoryEvents(c, 3, 2, 0); },
         {RequestBytes(5, 5, 3, RegistrationBody(4, 0))}, {Ok()}, 0, {}},
        {"enable type 0 of instance 1", [](ClientProcessor *c) { return ulmot_ManageInventoryEvents(c, 1, 0, 7); },
         {RequestBytes(5, 5, 1, RegistrationBody(1, 0xFFFFFFFF))}, {Ok()}, 0, {}},
        {"type 31 is the last bit", [](ClientProcessor *c) { return ulmot_ManageInventoryEvents(c, 1, 31, 1); },
         {RequestBytes(5, 5, 1, RegistrationBody(0x80000000, 0xFFFFFFFF))}, {Ok()}, 0, {}},
        {"refused by the reader", [](ClientProcessor *c) { return ulmot_ManageInventoryEvents(c, 3, 2, 0); },
         {RequestBytes(5, 5, 3, RegistrationBody(4, 0))}, {{ResultBody(-3)}}, -3,
         {"ulmot_EventRegistration: Request failed (result -3)",
          "ulmot_ManageInventoryEvents: Failed to disable event type 2 for inventory ID 3 (result -3)"}},
        {"enable refused", [](ClientProcessor *c) { return ulmot_ManageInventoryEvents(c, 4, 1, 1); },
         {RequestBytes(5, 5, 4, RegistrationBody(2, 0xFFFFFFFF))}, {{ResultBody(-3)}}, -3,
         {"ulmot_EventRegistration: Request failed (result -3)",
          "ulmot_ManageInventoryEvents: Failed to enable event type 1 for inventory ID 4 (result -3)"}},
        {"type 32 has no bit", [](ClientProcessor *c) { return ulmot_ManageInventoryEvents(c, 1, 32, 1); }, {}, {}, -5,
         {"ulmot_ManageInventoryEvents: Invalid event type (32)"}},
    });
}

TEST_F(Inventory, StatsReadSevenItemsAndZeroWhatIsMissing) {
    uint8_t i5 = 99, i9 = 99;
    uint16_t i6 = 99, i7 = 99, i8 = 99, i10 = 99, i11 = 99;
    Check({"all present",
           [&](ClientProcessor *c) { return ulmot_GetInventoryStats(c, 4, &i5, &i6, &i7, &i8, &i9, &i10, &i11); },
           {RequestBytes(5, 4, 4, {})},
           {Ok({0x50, 0x05, 0x61, 0x00, 0x06, 0x71, 0x00, 0x07, 0x81, 0x00, 0x08, 0x93, 0x0C, 0x09, 0xA1, 0x01,
                0x0A, 0xB1, 0x01, 0x0B})},
           0, {}});
    EXPECT_EQ(std::vector<int>({i5, i6, i7, i8, i9, i10, i11}), std::vector<int>({5, 6, 7, 8, 9, 0x10A, 0x10B}));

    Check({"only items 6 and 9; null outputs skipped",
           [&](ClientProcessor *c) { return ulmot_GetInventoryStats(c, 4, &i5, &i6, nullptr, &i8, &i9, nullptr, &i11); },
           {RequestBytes(5, 4, 4, {})}, {Ok({0x61, 0x12, 0x34, 0x93, 0x0C, 0x02})}, 0, {}});
    EXPECT_EQ(std::vector<int>({i5, i6, i7, i8, i9, i10, i11}), std::vector<int>({0, 0x1234, 7, 0, 2, 0x10A, 0}));

    Check({"refused: no response block",
           [&](ClientProcessor *c) { return ulmot_GetInventoryStats(c, 4, &i5, &i6, &i7, &i8, &i9, &i10, &i11); },
           {RequestBytes(5, 4, 4, {})}, {{ResultBody(-6)}}, -1, {"ulmot_GetObjectProperties: Failed"}});
}

// ---- Schedules ------------------------------------------------------------------

ScheduleEntry Entry(uint8_t kind, uint16_t first, uint32_t second) { return ScheduleEntry{kind, first, second}; }

TEST_F(Schedule, AddSendsOneListThenRegistersTheNewSchedulesEvents) {
    ScheduleEntry a = Entry(0, 5, 2), b = Entry(1, 0, 1000), pair = Entry(2, 0x0001, 0xABCD1234);
    ScheduleEntry *two[] = {&a, &b};
    ScheduleEntry *pairs[] = {&pair};
    uint8_t id = 0;
    CheckAll({
        {"reference and value",
         [&](ClientProcessor *c) { return ulmot_AddScheduleSpecification(c, &id, two, 2, 1, 1); },
         {RequestBytes(11, 1, 0, {0x05, 0x00, 0x09, 0x02, 0x03, 0x05, 0x02, 0x02, 0x00, 0x00, 0x03, 0xE8}),
          RequestBytes(11, 5, 4, RegistrationBody(3, 3))},
         {Ok({}, 4), Ok()}, 0, {}},
        {"pair of 16-bit values, start events only",
         [&](ClientProcessor *c) { return ulmot_AddScheduleSpecification(c, nullptr, pairs, 1, 9, 0); },
         {RequestBytes(11, 1, 0, {0x05, 0x00, 0x06, 0x01, 0x02, 0x00, 0x01, 0x12, 0x34}),
          RequestBytes(11, 5, 6, RegistrationBody(3, 1))},
         {Ok({}, 6), Ok()}, 0, {}},
        {"no entries, no events: still registered",
         [&](ClientProcessor *c) { return ulmot_AddScheduleSpecification(c, &id, nullptr, 0, 0, 0); },
         {RequestBytes(11, 1, 0, {0x05, 0x00, 0x01, 0x00}), RequestBytes(11, 5, 7, RegistrationBody(3, 0))},
         {Ok({}, 7), Ok()}, 0, {}},
        {"stop events only, registration refused: the schedule exists",
         [&](ClientProcessor *c) { return ulmot_AddScheduleSpecification(c, &id, pairs, 1, 0, 1); },
         {RequestBytes(11, 1, 0, {0x05, 0x00, 0x06, 0x01, 0x02, 0x00, 0x01, 0x12, 0x34}),
          RequestBytes(11, 5, 8, RegistrationBody(3, 2))},
         {Ok({}, 8), {ResultBody(-9)}}, 0,
         {"ulmot_EventRegistration: Request failed (result -9)",
          "ulmot_AddScheduleSpecification: Failed to register start and/or stop events for schedule ID 8 (result -9)"}},
        {"add refused: no registration",
         [&](ClientProcessor *c) { return ulmot_AddScheduleSpecification(c, nullptr, two, 2, 1, 1); },
         {RequestBytes(11, 1, 0, {0x05, 0x00, 0x09, 0x02, 0x03, 0x05, 0x02, 0x02, 0x00, 0x00, 0x03, 0xE8})},
         {{ResultBody(-10)}}, -10, {"ulmot_AddScheduleSpecification: Failed (result -10)"}},
    });
    EXPECT_EQ(id, 8);
}

TEST_F(Schedule, AddRefusesBadEntriesAndMoreThan203WithoutSending) {
    ScheduleEntry good = Entry(0, 5, 1), unknown = Entry(3, 0, 0);
    ScheduleEntry *withUnknown[] = {&good, &unknown, &good};
    ScheduleEntry *withNull[] = {&good, nullptr};
    std::vector<ScheduleEntry *> many(204, &good);
    CheckAll({
        {"kind 3", [&](ClientProcessor *c) { return ulmot_AddScheduleSpecification(c, nullptr, withUnknown, 3, 1, 1); },
         {}, {}, -1, {"ulmot_AddScheduleSpecification: Failed to build request"}},
        {"null entry", [&](ClientProcessor *c) { return ulmot_AddScheduleSpecification(c, nullptr, withNull, 2, 1, 1); },
         {}, {}, -1, {"ulmot_AddScheduleSpecification: Failed to build request"}},
        {"null array", [&](ClientProcessor *c) { return ulmot_AddScheduleSpecification(c, nullptr, nullptr, 1, 1, 1); },
         {}, {}, -5, {"ulmot_AddScheduleSpecification: Invalid parameter"}},
        {"204 entries", [&](ClientProcessor *c) { return ulmot_AddScheduleSpecification(c, nullptr, many.data(), 204, 1, 1); },
         {}, {}, -5, {"ulmot_AddScheduleSpecification: Too many entries (204, at most 203)"}},
        {"a count that would wrap the size",
         [&](ClientProcessor *c) { return ulmot_AddScheduleSpecification(c, nullptr, many.data(), 0x1999999A, 1, 1); },
         {}, {}, -5, {"ulmot_AddScheduleSpecification: Too many entries (429496730, at most 203)"}},
    });
}

TEST_F(Schedule, Add203EntriesFitsOneBlock) {
    ScheduleEntry value = Entry(1, 0, 0x01020304);
    std::vector<ScheduleEntry *> entries(203, &value);
    Bytes body = {0x05, 0x03, 0xF8, 0xCB};  // 203 Int32 items: 1015 bytes + the count
    for (int i = 0; i < 203; ++i) Append(body, {0x02, 0x01, 0x02, 0x03, 0x04});
    Check({"203 entries", [&](ClientProcessor *c) { return ulmot_AddScheduleSpecification(c, nullptr, entries.data(), 203, 1, 0); },
           {RequestBytes(11, 1, 0, body), RequestBytes(11, 5, 1, RegistrationBody(3, 1))}, {Ok({}, 1), Ok()}, 0, {}});
}

TEST_F(Schedule, LbtPriorityAndRegistration) {
    CheckAll({
        {"LBT 5, flag 1", [](ClientProcessor *c) { return ulmot_SetScheduleLBTParameters(c, 3, 5, 1); },
         {RequestBytes(11, 3, 3, {0x30, 0x05, 0x40, 0x01})}, {Ok()}, 0, {}},
        {"flag 2 is sent as 0, value and id cut to 8 bits",
         [](ClientProcessor *c) { return ulmot_SetScheduleLBTParameters(c, 0x103, 0x1FF, 2); },
         {RequestBytes(11, 3, 3, {0x30, 0xFF, 0x40, 0x00})}, {Ok()}, 0, {}},
        {"LBT refused", [](ClientProcessor *c) { return ulmot_SetScheduleLBTParameters(c, 3, 5, 0); },
         {RequestBytes(11, 3, 3, {0x30, 0x05, 0x40, 0x00})}, {{ResultBody(-2)}}, -2,
         {"ulmot_SetScheduleLBTParameters: Failed (result -2)"}},
        {"priority 7", [](ClientProcessor *c) { return ulmot_SetSchedulePriority(c, 3, 0x107); },
         {RequestBytes(11, 3, 3, {0x50, 0x07})}, {Ok()}, 0, {}},
        {"start only", [](ClientProcessor *c) { return ulmot_RegisterScheduleEvents(c, NoStart, nullptr, nullptr); },
         {RequestBytes(11, 5, 0, RegistrationBody(0xFFFFFFFF, 1))}, {Ok()}, 0, {}},
        {"both", [](ClientProcessor *c) { return ulmot_RegisterScheduleEvents(c, NoStart, NoStop, nullptr); },
         {RequestBytes(11, 5, 0, RegistrationBody(0xFFFFFFFF, 3))}, {Ok()}, 0, {}},
        {"stop only", [](ClientProcessor *c) { return ulmot_RegisterScheduleEvents(c, nullptr, NoStop, nullptr); },
         {RequestBytes(11, 5, 0, RegistrationBody(0xFFFFFFFF, 2))}, {Ok()}, 0, {}},
    });
}

TEST_F(Schedule, StopReadsItsStatusOnlyWhenAskedFor) {
    uint8_t status = 99;
    CheckAll({
        {"status 5", [&](ClientProcessor *c) { return ulmot_StopScheduleSpecification(c, 3, &status); },
         {RequestBytes(11, 101, 3, {})}, {Ok({0x60, 0x05})}, 0, {}},
    });
    EXPECT_EQ(status, 5);
    CheckAll({
        {"status missing", [&](ClientProcessor *c) { return ulmot_StopScheduleSpecification(c, 3, &status); },
         {RequestBytes(11, 101, 3, {})}, {Ok({0x61, 0x00, 0x05})}, -1,
         {"ulmot_StopScheduleSpecification: Failed to find stop status in response"}},
    });
    EXPECT_EQ(status, 0);
    status = 99;
    CheckAll({
        {"not asked for", [](ClientProcessor *c) { return ulmot_StopScheduleSpecification(c, 0x102, nullptr); },
         {RequestBytes(11, 101, 2, {})}, {Ok()}, 0, {}},
        {"refused", [&](ClientProcessor *c) { return ulmot_StopScheduleSpecification(c, 3, &status); },
         {RequestBytes(11, 101, 3, {})}, {{ResultBody(-2, {0x60, 0x05})}}, -2,
         {"ulmot_StopScheduleSpecification: Failed (result -2)"}},
    });
    EXPECT_EQ(status, 99) << "a refused stop leaves the status alone";
}

// ---- Antennas and antenna pairs ---------------------------------------------------

TEST_F(Antenna, CountChecksThatAntennasAreNumbered1ToN) {
    uint8_t count = 0;
    CheckAll({
        {"1, 2, 3", [&](ClientProcessor *c) { return ulmot_GetAntennaCount(c, &count); }, {RequestBytes(8, 0, 0, {})},
         {Ok({0x03, 0x08, 0x01, 0x03, 0x08, 0x02, 0x03, 0x08, 0x03})}, 0, {}},
    });
    EXPECT_EQ(count, 3);
    CheckAll({
        {"1, 3", [&](ClientProcessor *c) { return ulmot_GetAntennaCount(c, &count); }, {RequestBytes(8, 0, 0, {})},
         {Ok({0x03, 0x08, 0x01, 0x03, 0x08, 0x03})}, -1,
         {"ulmot_GetInstanceCount: ID/count mismatch (count: 2, max ID: 3)"}},
    });
    EXPECT_EQ(count, 2);
}

TEST_F(Antenna, PropertiesAreReadFromTheirItems) {
    uint16_t power = 0;
    uint8_t status = 0;
    const Bytes all = {0x01, 0x00, 0x64, 0x11, 0x00, 0x0A, 0x21, 0x01, 0x2C, 0x40, 0x03};
    CheckAll({
        {"default", [&](ClientProcessor *c) { return ulmot_GetAntennaDefaultPower(c, 2, &power); },
         {RequestBytes(8, 4, 2, {})}, {Ok(all)}, 0, {}},
    });
    EXPECT_EQ(power, 100);
    CheckAll({{"min", [&](ClientProcessor *c) { return ulmot_GetAntennaMinPower(c, 2, &power); },
               {RequestBytes(8, 4, 2, {})}, {Ok(all)}, 0, {}}});
    EXPECT_EQ(power, 10);
    CheckAll({{"max", [&](ClientProcessor *c) { return ulmot_GetAntennaMaxPower(c, 1, &power); },
               {RequestBytes(8, 4, 1, {})}, {Ok(all)}, 0, {}}});
    EXPECT_EQ(power, 300);
    CheckAll({{"VSWR", [&](ClientProcessor *c) { return ulmot_GetAntennaLastVSWRStatus(c, 1, &status); },
               {RequestBytes(8, 4, 1, {})}, {Ok(all)}, 0, {}},
              {"VSWR missing", [&](ClientProcessor *c) { return ulmot_GetAntennaLastVSWRStatus(c, 1, &status); },
               {RequestBytes(8, 4, 1, {})}, {Ok({0x41, 0x00, 0x03})}, -1,
               {"ulmot_GetPropertyInt8: Failed to find property in response"}}});
}

TEST_F(Antenna, AttributesReadWhatIsAskedAndEveryFailure) {
    uint16_t maxP = 0, minP = 0, defP = 0, length = 0;
    uint8_t list[4] = {};
    const Bytes all = {0x01, 0x00, 0x64, 0x11, 0x00, 0x0A, 0x21, 0x01, 0x2C, 0x34, 0x00, 0x03, 0x01, 0x02, 0x03};
    Check({"everything", [&](ClientProcessor *c) {
               return ulmot_GetAntennaAttributes(c, 1, &maxP, &minP, &defP, list, sizeof list, &length);
           },
           {RequestBytes(8, 4, 1, {})}, {Ok(all)}, 0, {}});
    EXPECT_EQ(std::vector<int>({maxP, minP, defP, length, list[0], list[1], list[2]}),
              std::vector<int>({300, 10, 100, 3, 1, 2, 3}));

    maxP = minP = defP = 0;
    Check({"maximum only: reads only item 2", [&](ClientProcessor *c) {
               return ulmot_GetAntennaAttributes(c, 1, &maxP, nullptr, nullptr, list, sizeof list, nullptr);
           },
           {RequestBytes(8, 4, 1, {})}, {Ok({0x21, 0x00, 0x07})}, 0, {}});
    EXPECT_EQ(maxP, 7);

    Check({"all missing: every line, all reads run", [&](ClientProcessor *c) {
               return ulmot_GetAntennaAttributes(c, 1, &maxP, &minP, &defP, list, sizeof list, &length);
           },
           {RequestBytes(8, 4, 1, {})}, {Ok({0x11, 0x00, 0x0B})}, -1,
           {"ulmot_GetAntennaAttributes: Failed to find max power level in response",
            "ulmot_GetAntennaAttributes: Failed to find default power level in response",
            "ulmot_GetAntennaAttributes: Failed to find receive antenna list in response"}});
    EXPECT_EQ(minP, 11) << "the read after a failed one still runs";

    Check({"list longer than the buffer", [&](ClientProcessor *c) {
               return ulmot_GetAntennaAttributes(c, 1, nullptr, nullptr, nullptr, list, 2, &length);
           },
           {RequestBytes(8, 4, 1, {})}, {Ok(all)}, -1,
           {"ulmot_GetAntennaAttributes: Failed to find receive antenna list in response"}});
    EXPECT_EQ(list[2], 3) << "nothing copied past the buffer size";

    Check({"no response block", [&](ClientProcessor *c) {
               return ulmot_GetAntennaAttributes(c, 1, &maxP, nullptr, nullptr, nullptr, 0, nullptr);
           },
           {RequestBytes(8, 4, 1, {})}, {{ResultBody(-3)}}, -1, {"ulmot_GetObjectProperties: Failed"}});
}

TEST_F(Antenna, PairRequests) {
    static const uint8_t receive[] = {1, 2};
    uint8_t instance = 0;
    uint16_t power = 0;
    CheckAll({
        {"add", [&](ClientProcessor *c) { return ulmot_AddAntennaPair(c, &instance, 1, 2, 0x0150); },
         {RequestBytes(17, 1, 0, {0x00, 0x01, 0x10, 0x02, 0x21, 0x01, 0x50})}, {Ok({}, 6)}, 0, {}},
        {"add refused", [&](ClientProcessor *c) { return ulmot_AddAntennaPair(c, nullptr, 3, 4, 5); },
         {RequestBytes(17, 1, 0, {0x00, 0x03, 0x10, 0x04, 0x21, 0x00, 0x05})}, {{ResultBody(-11)}}, -11,
         {"ulmot_AddAntennaPair: Failed (result -11)"}},
        {"set power", [](ClientProcessor *c) { return ulmot_SetAntennaPower(c, 6, 0x0150); },
         {RequestBytes(17, 3, 6, {0x21, 0x01, 0x50})}, {Ok()}, 0, {}},
        {"get power", [&](ClientProcessor *c) { return ulmot_GetAntennaPower(c, 6, &power); },
         {RequestBytes(17, 4, 6, {})}, {Ok({0x21, 0x01, 0x51})}, 0, {}},
        {"receive list", [](ClientProcessor *c) { return ulmot_SetReceiveAntennaList(c, 6, receive, 2); },
         {RequestBytes(17, 3, 6, {0x35, 0x00, 0x05, 0x02, 0x00, 0x01, 0x00, 0x02})}, {Ok()}, 0, {}},
        {"empty receive list", [](ClientProcessor *c) { return ulmot_SetReceiveAntennaList(c, 6, receive, 0); }, {}, {},
         -7,
         {"ulmot_BufferWriteDTPInt8List: Invalid parameter", "ulmot_SetProperties: Failed to add message data"}},
        {"extra info on", [](ClientProcessor *c) { return ulmot_EnableAntennaPairEventExtraInfo(c, 5); },
         {RequestBytes(17, 6, 0, {0x04, 0x00, 0x05, 0x00, 0x01, 0x00, 0x01, 0x02})}, {Ok()}, 0, {}},
        {"extra info off", [](ClientProcessor *c) { return ulmot_EnableAntennaPairEventExtraInfo(c, 0); },
         {RequestBytes(17, 6, 0, {0x04, 0x00, 0x05, 0x00, 0x00, 0x00, 0x01, 0x02})}, {Ok()}, 0, {}},
    });
    EXPECT_EQ(instance, 6);
    EXPECT_EQ(power, 0x0151);
}

TEST_F(Antenna, SingleEventRegistrationsSelectEventTypeZero) {
    int context = 0;
    CheckAll({
        {"VSWR on", [&](ClientProcessor *c) { return ulmot_RegisterTxAntennaVSWRStatus(c, NoVswr, &context, 1); },
         {RequestBytes(8, 5, 0, RegistrationBody(1, 0xFFFFFFFF))}, {Ok()}, 0, {}},
    });
    EXPECT_EQ(client_->tagPath.txAntennaVSWRStatus.Get().callback, NoVswr);
    EXPECT_EQ(client_->tagPath.txAntennaVSWRStatus.Get().context, &context);
    CheckAll({
        {"VSWR off", [&](ClientProcessor *c) { return ulmot_RegisterTxAntennaVSWRStatus(c, NoVswr, &context, 0); },
         {RequestBytes(8, 5, 0, RegistrationBody(1, 0))}, {Ok()}, 0, {}},
        {"activation on", [&](ClientProcessor *c) { return ulmot_RegisterAntennaPairActivation(c, NoActivation, &context, 2); },
         {RequestBytes(17, 5, 0, RegistrationBody(1, 0xFFFFFFFF))}, {Ok()}, 0, {}},
    });
    EXPECT_EQ(client_->tagPath.txAntennaVSWRStatus.Get().callback, nullptr);
    EXPECT_EQ(client_->tagPath.txAntennaVSWRStatus.Get().context, nullptr) << "disabling empties both";
    EXPECT_EQ(client_->tagPath.antennaPairActivation.Get().context, &context);
    CheckAll({
        {"activation off", [&](ClientProcessor *c) { return ulmot_RegisterAntennaPairActivation(c, NoActivation, &context, 0); },
         {RequestBytes(17, 5, 0, RegistrationBody(1, 0))}, {{ResultBody(-1)}}, -1,
         {"ulmot_EventRegistration: Request failed (result -1)"}},
    });
    EXPECT_EQ(client_->tagPath.antennaPairActivation.Get().callback, nullptr);
    EXPECT_EQ(client_->tagPath.antennaPairActivation.Get().context, nullptr);
}

}  // namespace

namespace {

using namespace ulmot::test;

// While the client reconnects it has no session: every operation fails with
// -1 at once, sends nothing and releases the request it had built.
class WithoutSession : public TagPathRequestTest {
protected:
    void SetState(ulmot::processors::ClientState state) {
        ulmot::plat::Lock l(client_->lock);
        client_->state = state;
    }
};

TEST_F(WithoutSession, OperationsFailAtOnceAndKeepNoBlock) {
    static const uint8_t one[] = {1};
    static const uint8_t data[] = {0xAA};
    ScheduleEntry entry{1, 0, 7};
    ScheduleEntry *entries[] = {&entry};
    TagFilter filter;
    ulmot_SetTagFilter(&filter, 1, 2, 0, 8, 8, data, data);
    TagFilter *filters[] = {&filter};
    const TagFilterElement elements[] = {{ULMOT_FILTER_ELEMENT_TAG_FILTER, reinterpret_cast<uintptr_t>(&filter)}};
    uint8_t count = 0, status = 0;
    const std::string none = ": No session (the client is reconnecting)";
    SetState(ulmot::processors::ClientState::kReconnecting);
    CheckAll({
        {"add inventory", [](ClientProcessor *c) { return ulmot_AddInventorySpecification(c, nullptr, 1, 8, 1, 2, one, 1); },
         {}, {}, -1, {"ulmot_AddInventorySpecification" + none}},
        {"inventory selector", [](ClientProcessor *c) { return ulmot_SetInventorySelector(c, 1, one, 1); }, {}, {}, -1,
         {"ulmot_SetInventorySelector" + none}},
        {"inventory type", [](ClientProcessor *c) { return ulmot_SetInventoryType(c, 1, 1); }, {}, {}, -1,
         {"ulmot_SetProperties" + none}},
        {"manage inventory events", [](ClientProcessor *c) { return ulmot_ManageInventoryEvents(c, 2, 1, 1); }, {}, {}, -1,
         {"ulmot_ManageInventoryEvents" + none,
          "ulmot_ManageInventoryEvents: Failed to enable event type 1 for inventory ID 2 (result -1)"}},
        {"inventory stats", [](ClientProcessor *c) { return ulmot_GetInventoryStats(c, 1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr); },
         {}, {}, -1, {"ulmot_GetObjectProperties" + none}},
        {"add schedule", [&](ClientProcessor *c) { return ulmot_AddScheduleSpecification(c, nullptr, entries, 1, 1, 1); },
         {}, {}, -1, {"ulmot_AddScheduleSpecification" + none, "ulmot_AddScheduleSpecification: Failed (result -1)"}},
        {"LBT", [](ClientProcessor *c) { return ulmot_SetScheduleLBTParameters(c, 1, 2, 1); }, {}, {}, -1,
         {"ulmot_SetScheduleLBTParameters" + none, "ulmot_SetScheduleLBTParameters: Failed (result -1)"}},
        {"stop schedule", [&](ClientProcessor *c) { return ulmot_StopScheduleSpecification(c, 1, &status); }, {}, {}, -1,
         {"ulmot_StopScheduleSpecification" + none, "ulmot_StopScheduleSpecification: Failed (result -1)"}},
        {"schedule events", [](ClientProcessor *c) { return ulmot_RegisterScheduleEvents(c, nullptr, nullptr, nullptr); },
         {}, {}, -1, {"ulmot_RegisterScheduleEvents" + none}},
        {"antenna count", [&](ClientProcessor *c) { return ulmot_GetAntennaCount(c, &count); }, {}, {}, -1,
         {"ulmot_GetAntennaCount" + none}},
        {"add antenna pair", [](ClientProcessor *c) { return ulmot_AddAntennaPair(c, nullptr, 1, 2, 3); }, {}, {}, -1,
         {"ulmot_AddAntennaPair" + none, "ulmot_AddAntennaPair: Failed (result -1)"}},
        {"extra info", [](ClientProcessor *c) { return ulmot_EnableAntennaPairEventExtraInfo(c, 1); }, {}, {}, -1,
         {"ulmot_EnableAntennaPairEventExtraInfo" + none}},
        {"VSWR events", [](ClientProcessor *c) { return ulmot_RegisterTxAntennaVSWRStatus(c, nullptr, nullptr, 0); }, {},
         {}, -1, {"ulmot_RegisterTxAntennaVSWRStatus" + none}},
        {"add tag filter", [&](ClientProcessor *c) { return ulmot_AddTagFilterSpecification(c, nullptr, elements, 1); },
         {}, {}, -1, {"ulmot_AddFilterSpecification" + none, "ulmot_AddFilterSpecification: Failed (result -1)"}},
        {"add tag selector", [&](ClientProcessor *c) { return ulmot_AddTagSelectorSpecification(c, nullptr, filters, 1); },
         {}, {}, -1, {"ulmot_AddSelectorSpecification" + none, "ulmot_AddSelectorSpecification: Failed (result -1)"}},
        {"add access", [](ClientProcessor *c) {
             return ulmot_AddAccessSpecification(c, nullptr, one, 1, 1, 0, 0, 0, 0, 1, data, 0, nullptr, one, 1, 1);
         },
         {}, {}, -1, {"ulmot_AddAccessSpecification" + none}},
        {"access inventories", [](ClientProcessor *c) { return ulmot_SetAccessInventoryList(c, 1, one, 1); }, {}, {}, -1,
         {"ulmot_SetAccessInventoryList" + none}},
        {"access events", [](ClientProcessor *c) { return ulmot_RegisterAccessEvents(c, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr); },
         {}, {}, -1, {"ulmot_RegisterAccessEvents" + none}},
    });
    SetState(ulmot::processors::ClientState::kConnected);
}

}  // namespace
