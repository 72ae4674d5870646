// What every family asks of the reader beyond its values: the event types it
// enables, what it refuses before sending anything, what it does without a
// session or when the reader refuses, how it reads responses that lack items,
// and the values it fetches once for threads that ask at once.
#include "support.h"

namespace {

using namespace ulmot::test;

// A callback of every family's signature that does nothing.
void Nop(void *, uint32_t, uint8_t) {}
void Nop(void *, uint32_t, uint8_t, MessageBlock *) {}
void Nop(void *, uint32_t, uint8_t, const TagReport *) {}
void Nop(void *, uint32_t, uint8_t, uint8_t, uint8_t) {}
void Nop(void *, uint32_t, uint8_t, uint8_t, uint8_t, uint16_t, const uint8_t *) {}
void Nop(void *, uint32_t, uint32_t) {}
void Nop(void *, uint32_t, uint32_t, uint8_t) {}
void Nop(void *, uint32_t, uint8_t, uint8_t) {}
void Nop(void *, uint32_t, uint8_t, const AntennaPairActivation *) {}
void Nop(void *, uint32_t, uint16_t, uint8_t) {}
void Nop(void *, uint32_t, uint8_t, uint32_t, int32_t, int32_t, uint16_t, uint8_t) {}
void Nop(void *, uint32_t, const char *) {}

using Requests = ObjectsTest;

TEST_F(Requests, EachRegistrationEnablesTheEventTypesThatHaveACallback) {
    ClientProcessor *c = Client();
    uint8_t inventory = 0, schedule = 0;
    ASSERT_EQ(ulmot_AddInventorySpecification(c, &inventory, 517, ULMOT_OBJ_ANTENNA, 1, 0, nullptr, 0), 0);
    ScheduleEntry entry{ULMOT_SCHEDULE_ENTRY_OBJECT, ULMOT_OBJ_INVENTORY, inventory}, *entries[] = {&entry};
    // The result, then what the reader keeps for type/instance.
    auto kept = [&](int32_t result, uint8_t type, uint8_t instance) {
        return std::to_string(result) + " " + Registered(type, instance);
    };
    EXPECT_EQ(kept(ulmot_RegisterInventoryEvents(c, Nop, nullptr, Nop, nullptr), 5, 0), "0 FFFFFFFF/00000005");
    EXPECT_EQ(kept(ulmot_RegisterInventoryEvents(c, nullptr, Nop, nullptr, nullptr), 5, 0), "0 FFFFFFFF/00000002");
    EXPECT_EQ(kept(ulmot_ManageInventoryEvents(c, inventory, 31, 7), 5, 1), "0 80000000/80000000");
    EXPECT_EQ(kept(ulmot_ManageInventoryEvents(c, inventory, 0, 1), 5, 1), "0 80000001/80000001");
    EXPECT_EQ(kept(ulmot_ManageInventoryEvents(c, inventory, 0, 0), 5, 1), "0 80000001/80000000");
    EXPECT_EQ(kept(ulmot_RegisterAccessEvents(c, Nop, 0, Nop, 0, Nop, 0), 7, 0), "0 FFFFFFFF/00000015");
    EXPECT_EQ(kept(ulmot_RegisterAccessEvents(c, 0, Nop, 0, Nop, 0, 0), 7, 0), "0 FFFFFFFF/0000000A");
    EXPECT_EQ(kept(ulmot_RegisterScheduleEvents(c, Nop, nullptr, nullptr), 11, 0), "0 FFFFFFFF/00000001");
    EXPECT_EQ(kept(ulmot_RegisterScheduleEvents(c, nullptr, Nop, nullptr), 11, 0), "0 FFFFFFFF/00000002");
    EXPECT_EQ(kept(ulmot_AddScheduleSpecification(c, &schedule, entries, 1, 1, 0), 11, 1), "0 00000003/00000001");
    EXPECT_EQ(kept(ulmot_AddScheduleSpecification(c, &schedule, entries, 1, 0, 1), 11, 2), "0 00000003/00000002");
    EXPECT_EQ(schedule, 2);
    EXPECT_EQ(kept(ulmot_RegisterTxAntennaVSWRStatus(c, Nop, nullptr, 1), 8, 0), "0 00000001/00000001");
    EXPECT_EQ(kept(ulmot_RegisterTxAntennaVSWRStatus(c, Nop, nullptr, 0), 8, 0), "0 00000001/00000000");
    EXPECT_EQ(kept(ulmot_RegisterAntennaPairActivation(c, Nop, nullptr, 2), 17, 0), "0 00000001/00000001");
    EXPECT_EQ(kept(ulmot_EnableAntennaPairEventExtraInfo(c, 3), 17, 0), "0 00000001/00000001 00 01 02");
    EXPECT_EQ(kept(ulmot_EnableAntennaPairEventExtraInfo(c, 0), 17, 0), "0 00000001/00000001");
    EXPECT_EQ(kept(ulmot_RegisterGPIEvent(c, 2, Nop, nullptr, 4), 2, 2), "0 00000001/00000001");
    EXPECT_EQ(kept(ulmot_EnableGPIEvent(c, 2, 0), 2, 2), "0 00000001/00000000");
    EXPECT_EQ(kept(ulmot_EnableGPIEvent(c, 3, 1), 2, 3), "0 00000001/00000001");
    EXPECT_EQ(kept(ulmot_RegisterGPOEvent(c, 3, Nop, nullptr, 5), 1, 3), "0 00000001/00000001");
    EXPECT_EQ(kept(ulmot_RegisterGPOEvent(c, 3, Nop, nullptr, 0), 1, 3), "0 00000001/00000000");
    EXPECT_EQ(kept(ulmot_RegisterRadioEvents(c, Nop, nullptr, Nop, nullptr, nullptr), 12, 0), "0 FFFFFFFF/00000005");
    EXPECT_EQ(kept(ulmot_RegisterRadioEvents(c, nullptr, Nop, nullptr, Nop, nullptr), 12, 0), "0 FFFFFFFF/0000000A");
    EXPECT_EQ(kept(ulmot_RegisterResetDone(c, Nop, nullptr, 1), 9, 0), "0 00000001/00000001");
    EXPECT_EQ(kept(ulmot_RegisterResetDone(c, Nop, nullptr, 0), 9, 0), "0 00000001/00000000");
    EXPECT_EQ(kept(ulmot_RegisterRFSurveyEvents(c, Nop, nullptr, Nop, nullptr), 19, 0), "0 FFFFFFFF/00000005");
    EXPECT_EQ(kept(ulmot_RegisterRFSurveyEvents(c, nullptr, Nop, nullptr, nullptr), 19, 0), "0 FFFFFFFF/00000002");
    EXPECT_EQ(kept(ulmot_RegisterNxpAlarmEvent(c, Nop, nullptr, 1), 22, 0), "0 00000001/00000001");
    EXPECT_EQ(kept(ulmot_RegisterNxpAlarmEvent(c, Nop, nullptr, 0), 22, 0), "0 00000001/00000000");
    EXPECT_EQ(kept(ulmot_RegisterTextLogMessage(c, Nop, nullptr, 1), 13, 0), "0 00000001/00000001");
    EXPECT_EQ(kept(ulmot_RegisterTextLogMessage(c, Nop, nullptr, 0), 13, 0), "0 00000001/00000000");
}

TEST_F(Requests, WithoutASessionEveryOperationFailsAtOnceAndKeepsNoBlock) {
    ClientProcessor *c = Client();
    ASSERT_EQ(uemu_DropLink(reader_, connections_.front()->link), UEMU_OK);
    ASSERT_TRUE(WaitUntil([&] { return ulmot_GetClientSession(c) == nullptr; }));
    EXPECT_THAT(Logged(), testing::ElementsAre(HasSubstr("Session terminated (unrequested")));
    const std::string none = ": No session (the client is reconnecting)";
    auto failed = [&](const std::string &operation) {
        return "-1 | " + operation + none + " | " + operation + ": Failed (result -1)";
    };
    uint8_t u8 = 0, list[2] = {1, 1};
    EXPECT_EQ(Outcome(ulmot_AddInventorySpecification(c, nullptr, 517, 8, 1, 0, list, 1)),
              "-1 | ulmot_AddInventorySpecification" + none);
    EXPECT_EQ(Outcome(ulmot_RegisterInventoryEvents(c, nullptr, nullptr, Nop, nullptr)),
              "-1 | ulmot_RegisterInventoryEvents" + none);
    EXPECT_EQ(Outcome(ulmot_GetAntennaCount(c, &u8)), "-1 | ulmot_GetAntennaCount" + none);
    EXPECT_EQ(Outcome(ulmot_EnableAntennaPairEventExtraInfo(c, 1)), "-1 | ulmot_EnableAntennaPairEventExtraInfo" + none);
    EXPECT_EQ(Outcome(ulmot_AddCTIObject(c, nullptr)), failed("ulmot_AddCTIObject"));
    EXPECT_EQ(Outcome(ulmot_AddNxpAlarmSpecification(c, nullptr, 17, 1)), failed("ulmot_AddNxpAlarmSpecification"));
    EXPECT_EQ(Outcome(ulmot_RegisterTextLogMessage(c, Nop, nullptr, 1)), "-1 | ulmot_RegisterTextLogMessage" + none);
    EXPECT_EQ(Outcome(ulmot_GetGPICount(c, &u8)), "-1 | ulmot_GetGPICount" + none);
    EXPECT_EQ(Outcome(ulmot_GetGen2ParmSetCount(c, &u8)), "-1 | ulmot_GetGen2ParmSetCount" + none);
    // Others, one of each kind (they share the request and registration
    // helpers): -1, and the line of the operation they are made of.
    uint16_t u16 = 0;
    uint32_t u32 = 0;
    const std::function<int32_t()> calls[] = {
        [&] { return ulmot_SetInventoryType(c, 1, 1); },
        [&] { return ulmot_AddAccessSpecification(c, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0); },
        [&] { return ulmot_GetAntennaAttributes(c, 1, &u16, &u16, &u16, list, 2, &u16); },
        [&] { return ulmot_RegisterScheduleEvents(c, Nop, Nop, nullptr); },
        [&] { return ulmot_WriteGPO(c, 1, 1); }, [&] { return ulmot_RegisterGPIEvent(c, 1, Nop, nullptr, 1); },
        [&] { return ulmot_GetRadioModel(c, &u16); }, [&] { return ulmot_GetTimestamp(c, &u32, &u32); },
        [&] { return ulmot_GetGen2ProtocolSpecificationUTCTime(c, 1, &u32); },
    };
    for (const auto &call : calls) EXPECT_EQ(call(), -1);
    for (const std::string &line : Logged()) EXPECT_THAT(line, testing::EndsWith(none));
}

TEST_F(Requests, WhatTheReaderRefusesComesBackWithItsResult) {
    ClientProcessor *c = Client();
    ScheduleEntry missing{ULMOT_SCHEDULE_ENTRY_OBJECT, 5, 99}, *entries[] = {&missing};
    auto failed = [](int result, const char *operation) {
        return Format("%d | %s: Failed (result %d)", result, operation, result);
    };
    EXPECT_EQ(Outcome(ulmot_AddAntennaPair(c, nullptr, 9, 0, 0)), failed(20, "ulmot_AddAntennaPair"));
    EXPECT_EQ(Outcome(ulmot_AddScheduleSpecification(c, 0, entries, 1, 1, 1)), failed(2, "ulmot_AddScheduleSpecification"));
    EXPECT_EQ(Outcome(ulmot_SetScheduleLBTParameters(c, 99, 1, 1)), failed(2, "ulmot_SetScheduleLBTParameters"));
    EXPECT_EQ(Outcome(ulmot_StartScheduleSpecification(c, 99, 1)), failed(2, "ulmot_StartScheduleSpecification"));
    EXPECT_EQ(Outcome(ulmot_StopScheduleSpecification(c, 99, nullptr)), failed(2, "ulmot_StopScheduleSpecification"));
    EXPECT_EQ(Outcome(ulmot_AddResetSpecification(c, nullptr, 0, 20, 1, 0)), failed(2, "ulmot_AddResetSpecification"));
    EXPECT_EQ(Outcome(ulmot_AddRFSurveySpecification(c, nullptr, 9, 0)), failed(2, "ulmot_AddRFSurveySpecification"));
    EXPECT_EQ(Outcome(ulmot_ManageInventoryEvents(c, 99, 2, 0)),
              "2 | ulmot_EventRegistration: Request failed (result 2) | "
              "ulmot_ManageInventoryEvents: Failed to disable event type 2 for inventory ID 99 (result 2)");
}

TEST_F(Requests, ArgumentsThatCannotBeSentAreRefusedBeforeSending) {
    ClientProcessor *c = Client();
    static const uint8_t data[2100] = {}, mask[12] = {};
    uint8_t selectors[255];
    for (int i = 0; i < 255; ++i) selectors[i] = static_cast<uint8_t>(i);
    ScheduleEntry good{ULMOT_SCHEDULE_ENTRY_OBJECT, 5, 1}, unknown{3, 0, 0}, pass{ULMOT_SCHEDULE_ENTRY_VALUE, 0, 0x20001};
    ScheduleEntry *withUnknown[] = {&good, &unknown}, *withNull[] = {&good, nullptr};
    std::vector<ScheduleEntry *> most(203, &pass), many(204, &good);
    TagFilter tooLong, noMask, noData, filter, empty;
    ulmot_SetTagFilterC1G2(&tooLong, 1, 2, 0, 0, 1169, data, 0);
    EXPECT_EQ(Logged(), Lines{"ulmot_SetTagFilterC1G2: Data of 1169 bits exceeds the mask's 1168 bits"});
    ulmot_SetTagFilter(&noMask, 1, 2, 0, 8, 16, data, nullptr);
    ulmot_SetTagFilter(&noData, 1, 2, 0, 8, 16, nullptr, mask);
    ulmot_SetTagFilter(&filter, 1, 0, 0, 96, 96, data, mask);  // 37 bytes as an item
    ulmot_SetTagFilter(&empty, 1, 0, 0, 0, 0, nullptr, nullptr);
    auto element = [](const TagFilter *t) {
        return TagFilterElement{ULMOT_FILTER_ELEMENT_TAG_FILTER, reinterpret_cast<uintptr_t>(t)};
    };
    const TagFilterElement refused[] = {{ULMOT_FILTER_ELEMENT_INT8, 1}, element(&tooLong)},
                           withoutMask[] = {element(&noMask)}, withoutData[] = {element(&noData)},
                           null[] = {element(&filter), element(nullptr)}, odd[] = {{9, 0x55}};
    TagFilter *withRefused[] = {&filter, &tooLong}, *nullFilter[] = {nullptr}, *nothing[] = {&empty};
    std::vector<TagFilter *> fits(55, &filter), tooMany(56, &filter);
    const std::string f = "ulmot_AddFilterSpecification: ", s = "ulmot_AddSelectorSpecification: ";
    // Nothing sent: the result, the check's or the writer's line, and the operation's.
    auto invalid = [](const std::string &operation, const char *what, int n) {
        return Format("-5 | %sInvalid tag filter (%s %d) | %sFailed to build request", operation.c_str(), what, n,
                      operation.c_str());
    };
    auto full = [](const char *writer, const std::string &operation) {
        return Format("-1 | ulmot_BufferWriteDTP%s: Insufficient tail space | %sFailed to build request", writer,
                      operation.c_str());
    };
    EXPECT_EQ(Outcome(ulmot_ManageInventoryEvents(c, 1, 32, 1)),
              "-5 | ulmot_ManageInventoryEvents: Invalid event type (32)");
    EXPECT_EQ(Outcome(ulmot_AddInventorySpecification(c, nullptr, 517, 8, 1, 0, selectors, 255)),
              full("ObjectReferenceList", "ulmot_AddInventorySpecification: "));
    EXPECT_EQ(Outcome(ulmot_SetInventorySelector(c, 1, selectors, 255)),
              full("ObjectReferenceList", "ulmot_SetInventorySelector: "));
    EXPECT_EQ(Outcome(ulmot_AddScheduleSpecification(c, nullptr, most.data(), 203, 0, 0)), "0");
    EXPECT_EQ(Outcome(ulmot_AddScheduleSpecification(c, nullptr, many.data(), 204, 1, 1)),
              "-5 | ulmot_AddScheduleSpecification: Too many entries (204, at most 203)");
    EXPECT_EQ(Outcome(ulmot_AddScheduleSpecification(c, nullptr, nullptr, 1, 1, 1)),
              "-5 | ulmot_AddScheduleSpecification: Invalid parameter");
    for (ScheduleEntry **entries : {withUnknown, withNull})
        EXPECT_EQ(Outcome(ulmot_AddScheduleSpecification(c, nullptr, entries, 2, 1, 1)),
                  "-1 | ulmot_AddScheduleSpecification: Failed to build request");
    EXPECT_EQ(Outcome(ulmot_AddTagFilterSpecification(c, nullptr, refused, 2)), invalid(f, "element", 1));
    EXPECT_EQ(Outcome(ulmot_AddTagFilterSpecification(c, nullptr, withoutMask, 1)), invalid(f, "element", 0));
    EXPECT_EQ(Outcome(ulmot_AddTagFilterSpecification(c, nullptr, withoutData, 1)), invalid(f, "element", 0));
    EXPECT_EQ(Outcome(ulmot_AddTagFilterSpecification(c, nullptr, null, 2)), invalid(f, "element", 1));
    EXPECT_EQ(Outcome(ulmot_AddTagFilterSpecification(c, nullptr, nullptr, 1)), "-5 | " + f + "Invalid parameter");
    EXPECT_EQ(Outcome(ulmot_AddTagFilterSpecification(c, nullptr, odd, 1)),  // sent with a count of 1
              "3 | " + f + "Unknown filter item type (9) | " + f + "Failed (result 3)");
    EXPECT_EQ(Outcome(ulmot_AddTagSelectorSpecification(c, nullptr, nothing, 1)), "0") << "no data and no mask";
    EXPECT_EQ(Outcome(ulmot_AddTagSelectorSpecification(c, nullptr, withRefused, 2)), invalid(s, "filter", 1));
    EXPECT_EQ(Outcome(ulmot_AddTagSelectorSpecification(c, nullptr, nullFilter, 1)), invalid(s, "filter", 0));
    EXPECT_EQ(Outcome(ulmot_AddTagSelectorSpecification(c, nullptr, nullptr, 2)), "-5 | " + s + "Invalid parameter");
    // 55 filters fill the request's block (2035 bytes behind its head room):
    // sent, and refused by the reader, which keeps 2036 bytes.
    EXPECT_EQ(Outcome(ulmot_AddTagSelectorSpecification(c, nullptr, fits.data(), 55)), "6 | " + s + "Failed (result 6)");
    EXPECT_EQ(Outcome(ulmot_AddTagSelectorSpecification(c, nullptr, tooMany.data(), 56)), full("TagFilter", s));
    EXPECT_EQ(Outcome(ulmot_AddAccessSpecification(c, 0, 0, 0, 1, 0, 0, 0, 0, 2100, data, 0, 0, 0, 0, 0)),
              full("BitArray", "ulmot_AddAccessSpecification: "));
    EXPECT_EQ(Outcome(ulmot_SetAccessPassword(c, 1, nullptr, 4)), "-5 | ulmot_SetAccessPassword: Invalid parameter");
    EXPECT_EQ(Outcome(ulmot_SetAccessInventoryList(c, 1, selectors, 0)),
              "-1 | ulmot_BufferWriteDTPObjectReferenceList: Invalid parameter | "
              "ulmot_SetAccessInventoryList: Failed to add 0 inventories to request");
    // 1020 outputs take the largest block, with no room for the item's
    // header; 1021 would need a larger one.
    EXPECT_EQ(Outcome(ulmot_WriteAllGPO(c, data, 1020)), full("BitArray", "ulmot_WriteAllGPO: "));
    EXPECT_EQ(Outcome(ulmot_WriteAllGPO(c, data, 1021)), "-1 | ulmot_BufferAllocate: Size 2049 exceeds the largest block "
                                                         "(2048) | ulmot_WriteAllGPO: Failed to allocate message");
    for (uint8_t type : {5, 6, 7}) {
        uint32_t count = 9;
        EXPECT_EQ(uemu_GetInstances(reader_, type, nullptr, 0, &count), UEMU_OK);
        EXPECT_EQ(count, 0u) << "type " << int(type);
    }
}

TEST(TagFilterRecords, FieldsFlagsAndMasks) {
    static const uint8_t data[2] = {1, 2}, mask[2] = {3, 4};
    TagFilter f;
    auto record = [&] {
        return Format("%02X %08X %02X %u %u", f.filterByte, f.filterWord, f.flags, f.dataLengthBits, f.maskLengthBytes) +
               (f.data == data ? "" : " data elsewhere");
    };
    // Gen2: 0x80 for a flag, 0x40, field A (3 bits) << 3, field B; a mask of
    // ones as long as the data.
    const std::pair<std::array<uint16_t, 4>, const char *> rows[] = {{{0xFF, 0, 2, 9}, "07 11223344 F8 9 2"},
                                                                     {{5, 1, 0, 8}, "07 11223344 69 8 1"},
                                                                     {{1, 4, 0, 1168}, "07 11223344 4C 1168 146"}};
    for (const auto &[in, out] : rows) {
        ulmot_SetTagFilterC1G2(&f, 7, 0x11223344, uint8_t(in[0]), uint8_t(in[1]), in[3], data, uint8_t(in[2]));
        EXPECT_EQ(record(), out);
        EXPECT_EQ(Bytes(f.mask, f.mask + f.maskLengthBytes), Bytes(f.maskLengthBytes, 0xFF));
    }
    for (uint16_t bits : {15, 16}) {
        ulmot_SetTagFilter(&f, 9, 0xA1B2C3D4, 0x5A, 13, bits, data, mask);
        EXPECT_EQ(record(), Format("09 A1B2C3D4 5A 13 %u", bits / 8));
        EXPECT_EQ(f.mask, mask);
    }
    ulmot_SetTagFilter(nullptr, 1, 2, 3, 4, 5, data, mask);
    ulmot_SetTagFilterC1G2(nullptr, 1, 2, 3, 4, 5, data, 1);
}

// Responses that lack items, as the emulated reader never sends them.
using Responses = ClientTest;

TEST_F(Responses, MissingItemsFailTheReadsThatNeedThem) {
    uint32_t first = 0, second = 0, utc = 0;
    uint16_t maxP = 7, minP = 0, defP = 0, length = 0, code = 0, u16 = 0x7777;
    uint8_t u8 = 0, status = 9, list[4];
    char text[96] = {};
    const std::string antenna = "ulmot_GetAntennaAttributes: Failed to find ";
    const Bytes gen2 = Concat({I8(1, 1), I8(2, 2), I8(3, 3), I8(4, 4), I8(5, 5), I8(6, 6), I16(8, 8), I16(9, 9)});
    const struct {
        std::function<int32_t()> call;
        std::vector<Reply> replies;
        int32_t result;
        Lines lines;
    } rows[] = {
        {[&] { return ulmot_GetTimestamp(client_, &first, &second); }, {Ok(I32(0, 5))}, -1, {}},
        {[&] { return ulmot_GetGen2ProtocolSpecification(client_, 1, &u8, &u8, &u8, &u8, &u8, &u8, &u8, &u16, &u16, 0, 0); },
         {Ok(gen2)}, -1, {}},  // no item 11: nothing read after it
        {[&] { return ulmot_GetGen2ProtocolSpecificationUTCTime(client_, 1, &utc); }, {Ok(I8(14, 1))}, -1,
         {"ulmot_GetGen2ProtocolSpecificationUTCTime: Failed to find UTCTime property in response"}},
        {[&] { return ulmot_GetAntennaAttributes(client_, 1, &maxP, &minP, &defP, list, 4, &length); }, {Ok(I16(1, 11))}, -1,
         {antenna + "max power level in response", antenna + "default power level in response",
          antenna + "receive antenna list in response"}},
        {[&] { return ulmot_GetAntennaAttributes(client_, 1, &maxP, &minP, &defP, nullptr, 4, &length); },
         {Ok(Concat({I16(0, 30), I16(1, 10)}))}, -1, {antenna + "max power level in response"}},
        {[&] { return ulmot_StopScheduleSpecification(client_, 1, &status); }, {Ok()}, -1,
         {"ulmot_StopScheduleSpecification: Failed to find stop status in response"}},
        {[&] { return ulmot_GetRadioSupportedCountryCode(client_, 1, &code, text); },
         {Ok(), Ok(Concat({I16(16, 1), Sized(17, 4, Bytes(80, 'A'))}))}, 0, {}},
        {[&] { return ulmot_GetRadioSupportedCountryCode(client_, 1, &code, text); },
         {Ok(), Ok(Concat({I16(16, 1), Sized(17, 4, Bytes(81, 'B'))}))}, -3, {}},
    };
    for (const auto &row : rows) {
        const Exchange x = Run(row.call, row.replies);
        EXPECT_EQ(std::make_tuple(x.requests.size(), x.result, x.lines),
                  std::make_tuple(row.replies.size(), row.result, row.lines));
    }
    EXPECT_EQ(std::vector<int>({int(first), int(second), u16, minP, defP, status}),
              std::vector<int>({5, 0, 0x7777, 10, 30, 0}));
    EXPECT_EQ(std::string(text, 81), std::string(80, 'A') + '\0');
}

// What no reader shows: an add (and a write of every output) goes to
// instance 0; a count checks that the instances are numbered 1 to N.
TEST_F(Responses, AddsGoToInstanceZeroAndCountsCheckTheNumbering) {
    const uint8_t one = 1;
    ScheduleEntry entry{ULMOT_SCHEDULE_ENTRY_VALUE, 0, 1}, *entries[] = {&entry};
    ProtocolParameter session{1, 1}, *parameters[] = {&session};
    const std::function<int32_t()> adds[] = {
        [&] { return ulmot_AddInventorySpecification(client_, 0, 517, 8, 1, 0, 0, 0); },
        [&] { return ulmot_AddAccessSpecification(client_, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0); },
        [&] { return ulmot_AddTagFilterSpecification(client_, nullptr, nullptr, 0); },
        [&] { return ulmot_AddTagSelectorSpecification(client_, nullptr, nullptr, 0); },
        [&] { return ulmot_AddAntennaPair(client_, nullptr, 1, 1, 1); },
        [&] { return ulmot_AddGen2ProtocolSpecification(client_, nullptr, parameters, 1, 0); },
        [&] { return ulmot_AddResetSpecification(client_, nullptr, 0, 1, 1, 0); },
        [&] { return ulmot_AddRFSurveySpecification(client_, nullptr, 1, 0); },
        [&] { return ulmot_AddCTIObject(client_, nullptr); },
        [&] { return ulmot_AddNxpAlarmSpecification(client_, nullptr, 17, 1); },
        [&] { return ulmot_WriteAllGPO(client_, &one, 0); },
    };
    for (const auto &add : adds) {
        const Exchange x = Run(add, {Ok({}, 9)});
        ASSERT_EQ(x.requests.size(), 1u);
        EXPECT_EQ(x.requests[0][ULMOT_HEADER_INSTANCE], 0) << Hex(x.requests[0]);
    }
    const Exchange schedule = Run([&] { return ulmot_AddScheduleSpecification(client_, 0, entries, 1, 1, 1); }, {Ok(), Ok()});
    EXPECT_EQ(schedule.requests.at(0)[ULMOT_HEADER_INSTANCE], 0);
    uint8_t count = 0;
    const Bytes gap = Concat({Ref(0, 8, 1), Ref(0, 8, 3)});
    for (const auto &get : std::vector<std::function<int32_t()>>{[&] { return ulmot_GetAntennaCount(client_, &count); },
                                                                 [&] { return ulmot_GetGPICount(client_, &count); },
                                                                 [&] { return ulmot_GetGen2ParmSetCount(client_, &count); }}) {
        const Exchange x = Run(get, {Ok(gap)});
        EXPECT_EQ(x.result, -1);
        EXPECT_EQ(x.lines, Lines{"ulmot_GetInstanceCount: ID/count mismatch (count: 2, max ID: 3)"});
    }
}

}  // namespace
