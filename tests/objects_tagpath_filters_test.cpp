// Tag filters, tag filter and tag selector specifications, access
// specifications: the records, every request byte for byte, refusals.
#include "objects_tagpath_support.h"

namespace {

using namespace ulmot::test;

using TagFilters = TagPathRequestTest;
using TagSelectors = TagPathRequestTest;
using Access = TagPathRequestTest;

auto Fields(const TagFilter &f) {
    return std::make_tuple(f.filterByte, f.filterWord, f.flags, f.dataLengthBits, f.maskLengthBytes,
                           static_cast<const void *>(f.data), static_cast<const void *>(f.mask));
}

TagFilterElement Value(uint8_t v) { return TagFilterElement{ULMOT_FILTER_ELEMENT_INT8, v}; }
TagFilterElement Filter(const TagFilter *f) {
    return TagFilterElement{ULMOT_FILTER_ELEMENT_TAG_FILTER, reinterpret_cast<uintptr_t>(f)};
}

void NoAccessEvent(void *, uint32_t, uint8_t) {}
void NoComplete(void *, uint32_t, uint8_t, uint8_t, uint8_t) {}
void NoDataComplete(void *, uint32_t, uint8_t, uint8_t, uint8_t, uint16_t, const uint8_t *) {}

// ---- The records --------------------------------------------------------------

TEST(TagFilterRecord, SetTagFilterKeepsFieldsAndTheMaskInWholeBytes) {
    static const uint8_t data[2] = {1, 2}, mask[2] = {3, 4};
    struct Case {
        uint16_t maskBits;
        uint16_t maskBytes;
    } cases[] = {{16, 2}, {15, 1}, {7, 0}, {0xFFFF, 0x1FFF}};
    for (const Case &c : cases) {
        TagFilter f;
        std::memset(&f, 0xAB, sizeof f);
        ulmot_SetTagFilter(&f, 9, 0xA1B2C3D4, 0x5A, 13, c.maskBits, data, mask);
        EXPECT_EQ(Fields(f), std::make_tuple(uint8_t{9}, uint32_t{0xA1B2C3D4}, uint8_t{0x5A}, uint16_t{13},
                                             c.maskBytes, static_cast<const void *>(data),
                                             static_cast<const void *>(mask)))
            << c.maskBits;
    }
    ulmot_SetTagFilter(nullptr, 1, 2, 3, 4, 5, data, mask);  // nothing to fill
}

TEST(TagFilterRecord, C1G2ComposesFlagsAndAMaskOfOnesAsLongAsTheData) {
    static const uint8_t data[146] = {};
    struct Case {
        uint8_t fieldA, fieldB, flag;
        uint16_t bits;
        uint8_t flags;
        uint16_t maskBytes;
    } cases[] = {
        {5, 1, 1, 96, 0xE9, 12}, {5, 1, 0, 96, 0x69, 12}, {0, 0, 0, 1, 0x40, 1},
        {0xFF, 0, 2, 8, 0xF8, 1},  // field A keeps its low 3 bits; any non-zero flag sets bit 7
        {0, 0x3F, 0, 0, 0x7F, 0},  // field B is OR-ed in whole
        {1, 0, 0, 1168, 0x48, 146},
    };
    for (const Case &c : cases) {
        TagFilter f;
        std::memset(&f, 0xAB, sizeof f);
        ulmot_SetTagFilterC1G2(&f, 7, 0x11223344, c.fieldA, c.fieldB, c.bits, data, c.flag);
        EXPECT_EQ(f.filterByte, 7);
        EXPECT_EQ(f.filterWord, 0x11223344u);
        EXPECT_EQ(f.flags, c.flags) << c.bits;
        EXPECT_EQ(f.dataLengthBits, c.bits);
        EXPECT_EQ(f.maskLengthBytes, c.maskBytes) << c.bits;
        EXPECT_EQ(f.data, data);
        ASSERT_NE(f.mask, nullptr);
        for (uint16_t i = 0; i < f.maskLengthBytes; ++i) ASSERT_EQ(f.mask[i], 0xFF) << i;
    }
}

TEST(TagFilterRecord, C1G2RefusesDataLongerThanItsMask) {
    static const uint8_t data[200] = {};
    for (uint16_t bits : {uint16_t{1169}, uint16_t{1176}, uint16_t{0xFFFF}}) {
        TagFilter f;
        std::memset(&f, 0xAB, sizeof f);
        testing::internal::CaptureStderr();
        ulmot_SetTagFilterC1G2(&f, 7, 1, 0, 0, bits, data, 0);
        EXPECT_EQ(LogLines(testing::internal::GetCapturedStderr()),
                  std::vector<std::string>{Format("ulmot_SetTagFilterC1G2: Data of %u bits exceeds the mask's 1168 bits",
                                                  unsigned{bits})});
        EXPECT_EQ(Fields(f), std::make_tuple(uint8_t{7}, uint32_t{1}, uint8_t{0x40}, bits, uint16_t{0},
                                             static_cast<const void *>(nullptr), static_cast<const void *>(nullptr)));
    }
}

// ---- Tag filter specifications ---------------------------------------------------

TEST_F(TagFilters, ElementsBecomeOneListInArrayOrder) {
    static const uint8_t data1[] = {0xAA, 0xBB}, mask1[] = {0xFF, 0xFF}, data2[] = {0xE2};
    TagFilter f1, f2;
    ulmot_SetTagFilter(&f1, 1, 32, 0, 16, 16, data1, mask1);
    ulmot_SetTagFilterC1G2(&f2, 2, 0, 5, 1, 8, data2, 1);
    const TagFilterElement three[] = {Filter(&f1), Value(7), Filter(&f2)};
    const TagFilterElement unknown[] = {{9, 0x55}, Value(7)};
    uint8_t instance = 0;
    CheckAll({
        {"filter, value, filter", [&](ClientProcessor *c) { return ulmot_AddTagFilterSpecification(c, &instance, three, 3); },
         {RequestBytes(6, 1, 0,
                       {0x05, 0x00, 0x23, 0x03,                                                        // list of 3
                        0x06, 0x00, 0x0E, 0x01, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x10, 0x00, 0x02,  // filter 1
                        0xAA, 0xBB, 0xFF, 0xFF,                                                        //
                        0x00, 0x07,                                                                    // Int8 7
                        0x06, 0x00, 0x0C, 0x02, 0x00, 0x00, 0x00, 0x00, 0xE9, 0x00, 0x08, 0x00, 0x01,  // filter 2
                        0xE2, 0xFF})},
         {Ok({}, 3)}, 0, {}},
        {"no elements", [](ClientProcessor *c) { return ulmot_AddTagFilterSpecification(c, nullptr, nullptr, 0); },
         {RequestBytes(6, 1, 0, {0x05, 0x00, 0x01, 0x00})}, {Ok()}, 0, {}},
        {"an unknown type writes nothing but counts", [&](ClientProcessor *c) {
             return ulmot_AddTagFilterSpecification(c, nullptr, unknown, 2);
         },
         {RequestBytes(6, 1, 0, {0x05, 0x00, 0x03, 0x02, 0x00, 0x07})}, {{ResultBody(-13)}}, -13,
         {"ulmot_AddFilterSpecification: Unknown filter item type (9)",
          "ulmot_AddFilterSpecification: Failed (result -13)"}},
    });
    EXPECT_EQ(instance, 3);
}

TEST_F(TagFilters, C1G2FilterOf1168BitsSendsTheWholeMask) {
    uint8_t data[146];
    for (int i = 0; i < 146; ++i) data[i] = static_cast<uint8_t>(i);
    TagFilter f;
    ulmot_SetTagFilterC1G2(&f, 1, 2, 0, 0, 1168, data, 0);
    const TagFilterElement one[] = {Filter(&f)};
    Bytes body = {0x05, 0x01, 0x32, 0x01, 0x06, 0x01, 0x2E, 0x01, 0x00, 0x00, 0x00, 0x02, 0x40, 0x04, 0x90, 0x00, 0x92};
    for (int i = 0; i < 146; ++i) body.push_back(static_cast<uint8_t>(i));
    for (int i = 0; i < 146; ++i) body.push_back(0xFF);
    Check({"1168 bits", [&](ClientProcessor *c) { return ulmot_AddTagFilterSpecification(c, nullptr, one, 1); },
           {RequestBytes(6, 1, 0, body)}, {Ok()}, 0, {}});
}

TEST_F(TagFilters, UnusableFiltersAreRefusedUnsent) {
    static const uint8_t data[200] = {}, mask[4] = {};
    TagFilter tooLong, noMask, noData, big;
    ulmot_SetTagFilterC1G2(&tooLong, 1, 2, 0, 0, 1169, data, 0);  // logs; checked above
    ulmot_SetTagFilter(&noMask, 1, 2, 0, 8, 16, data, nullptr);
    ulmot_SetTagFilter(&noData, 1, 2, 0, 8, 16, nullptr, mask);
    ulmot_SetTagFilter(&big, 1, 2, 0, 1600, 0, data, nullptr);  // 213 bytes as an item
    const TagFilterElement refused[] = {Value(1), Filter(&tooLong)};
    const TagFilterElement withoutMask[] = {Filter(&noMask)};
    const TagFilterElement withoutData[] = {Filter(&noData)};
    const TagFilterElement null[] = {Value(1), Value(2), Filter(nullptr)};
    // The request's buffer holds 2035 bytes behind its head room: 9 x 213 fit.
    const std::vector<TagFilterElement> ten(10, Filter(&big));
    CheckAll({
        {"refused C1G2 filter", [&](ClientProcessor *c) { return ulmot_AddTagFilterSpecification(c, nullptr, refused, 2); },
         {}, {}, -5,
         {"ulmot_AddFilterSpecification: Invalid tag filter (element 1)",
          "ulmot_AddFilterSpecification: Failed to build request"}},
        {"mask missing", [&](ClientProcessor *c) { return ulmot_AddTagFilterSpecification(c, nullptr, withoutMask, 1); },
         {}, {}, -5,
         {"ulmot_AddFilterSpecification: Invalid tag filter (element 0)",
          "ulmot_AddFilterSpecification: Failed to build request"}},
        {"data missing", [&](ClientProcessor *c) { return ulmot_AddTagFilterSpecification(c, nullptr, withoutData, 1); },
         {}, {}, -5,
         {"ulmot_AddFilterSpecification: Invalid tag filter (element 0)",
          "ulmot_AddFilterSpecification: Failed to build request"}},
        {"null filter", [&](ClientProcessor *c) { return ulmot_AddTagFilterSpecification(c, nullptr, null, 3); }, {}, {},
         -5,
         {"ulmot_AddFilterSpecification: Invalid tag filter (element 2)",
          "ulmot_AddFilterSpecification: Failed to build request"}},
        {"null array", [&](ClientProcessor *c) { return ulmot_AddTagFilterSpecification(c, nullptr, nullptr, 1); }, {},
         {}, -5, {"ulmot_AddFilterSpecification: Invalid parameter"}},
        {"too large for the block", [&](ClientProcessor *c) { return ulmot_AddTagFilterSpecification(c, nullptr, ten.data(), 10); },
         {}, {}, -1,
         {"ulmot_BufferWriteDTPTagFilter: Insufficient tail space",
          "ulmot_AddFilterSpecification: Failed to build request"}},
    });
}

// ---- Tag selector specifications ----------------------------------------------------

TEST_F(TagSelectors, FiltersBecomeOneListInArrayOrder) {
    uint8_t data[12], mask[12];
    for (int i = 0; i < 12; ++i) {
        data[i] = static_cast<uint8_t>(0xD0 + i);
        mask[i] = static_cast<uint8_t>(0xA0 + i);
    }
    TagFilter with, without;
    ulmot_SetTagFilter(&with, 3, 0x01020304, 0x40, 96, 96, data, mask);
    ulmot_SetTagFilter(&without, 4, 0, 0, 0, 0, nullptr, nullptr);
    TagFilter *two[] = {&with, &without};
    Bytes body = {0x05, 0x00, 0x33, 0x02, 0x06, 0x00, 0x22, 0x03, 0x01, 0x02, 0x03, 0x04, 0x40, 0x00, 0x60, 0x00, 0x0C};
    Append(body, Bytes(data, data + 12));
    Append(body, Bytes(mask, mask + 12));
    Append(body, {0x06, 0x00, 0x0A, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    uint8_t instance = 0;
    CheckAll({
        {"two filters", [&](ClientProcessor *c) { return ulmot_AddTagSelectorSpecification(c, &instance, two, 2); },
         {RequestBytes(3, 1, 0, body)}, {Ok({}, 5)}, 0, {}},
    });
    EXPECT_EQ(instance, 5);
    CheckAll({
        {"no filters", [&](ClientProcessor *c) { return ulmot_AddTagSelectorSpecification(c, &instance, nullptr, 0); },
         {RequestBytes(3, 1, 0, {0x05, 0x00, 0x01, 0x00})}, {Ok({}, 6)}, 0, {}},
        {"refused", [&](ClientProcessor *c) { return ulmot_AddTagSelectorSpecification(c, nullptr, two, 2); },
         {RequestBytes(3, 1, 0, body)}, {{ResultBody(-20)}}, -20,
         {"ulmot_AddSelectorSpecification: Failed (result -20)"}},
    });
    EXPECT_EQ(instance, 6);
}

TEST_F(TagSelectors, FiltersThatDoNotFitOrCannotBeWrittenAreRefusedUnsent) {
    static const uint8_t data[12] = {}, mask[12] = {};
    TagFilter f, refused;
    ulmot_SetTagFilter(&f, 3, 0, 0, 96, 96, data, mask);  // 37 bytes as an item
    ulmot_SetTagFilterC1G2(&refused, 1, 2, 0, 0, 2000, data, 0);
    // The request's buffer holds 2035 bytes behind its head room: 55 x 37.
    std::vector<TagFilter *> full(55, &f), oneMore(56, &f);
    TagFilter *withRefused[] = {&f, &refused};
    TagFilter *withNull[] = {nullptr};
    Bytes fullBody = {0x05, 0x07, 0xF4, 0x37};  // 55 x 37 + 1 = 2036
    for (int i = 0; i < 55; ++i) {
        Append(fullBody, {0x06, 0x00, 0x22, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x60, 0x00, 0x0C});
        Append(fullBody, Bytes(24, 0x00));
    }
    CheckAll({
        {"55 filters fill the block", [&](ClientProcessor *c) {
             return ulmot_AddTagSelectorSpecification(c, nullptr, full.data(), 55);
         },
         {RequestBytes(3, 1, 0, fullBody)}, {Ok()}, 0, {}},
        {"the 56th does not fit", [&](ClientProcessor *c) {
             return ulmot_AddTagSelectorSpecification(c, nullptr, oneMore.data(), 56);
         },
         {}, {}, -1,
         {"ulmot_BufferWriteDTPTagFilter: Insufficient tail space",
          "ulmot_AddSelectorSpecification: Failed to build request"}},
        {"refused C1G2 filter", [&](ClientProcessor *c) { return ulmot_AddTagSelectorSpecification(c, nullptr, withRefused, 2); },
         {}, {}, -5,
         {"ulmot_AddSelectorSpecification: Invalid tag filter (filter 1)",
          "ulmot_AddSelectorSpecification: Failed to build request"}},
        {"null filter", [&](ClientProcessor *c) { return ulmot_AddTagSelectorSpecification(c, nullptr, withNull, 1); }, {},
         {}, -5,
         {"ulmot_AddSelectorSpecification: Invalid tag filter (filter 0)",
          "ulmot_AddSelectorSpecification: Failed to build request"}},
        {"null array", [&](ClientProcessor *c) { return ulmot_AddTagSelectorSpecification(c, nullptr, nullptr, 2); }, {},
         {}, -5, {"ulmot_AddSelectorSpecification: Invalid parameter"}},
    });
}

// ---- Access specifications ---------------------------------------------------------

TEST_F(Access, AddWritesItemsInOrderAndOnlyThoseGiven) {
    static const uint8_t inventories[] = {1, 2}, antennas[] = {1}, accessData[] = {0xAA, 0xBB}, second[] = {0xCC};
    const Bytes fixed = {0x01, 0x00, 0x01, 0xD0, 0x0D, 0x40, 0x04, 0x60, 0x06, 0x52, 0x01, 0x02, 0x03, 0x04};
    Bytes full = fixed;
    Append(full, {0x81, 0x00, 0x02, 0x33, 0x06, 0x03, 0x74, 0x00, 0x02, 0xAA, 0xBB, 0x94, 0x00, 0x01, 0xCC, 0x15, 0x00,
                  0x07, 0x02, 0x03, 0x05, 0x01, 0x03, 0x05, 0x02, 0x25, 0x00, 0x04, 0x01, 0x03, 0x08, 0x01});
    Bytes bare = fixed;
    Append(bare, {0x81, 0x00, 0x00});
    Bytes lengthOnly = fixed;
    Append(lengthOnly, {0x81, 0x00, 0x03});
    uint8_t instance = 0;
    CheckAll({
        {"everything", [&](ClientProcessor *c) {
             return ulmot_AddAccessSpecification(c, &instance, inventories, 2, 1, 0x0D, 4, 6, 0x01020304, 2, accessData,
                                                 1, second, antennas, 1, 3);
         },
         {RequestBytes(7, 1, 0, full)}, {Ok({}, 5)}, 0, {}},
        {"filter 0, no data, lists without count", [&](ClientProcessor *c) {
             return ulmot_AddAccessSpecification(c, nullptr, inventories, 0, 1, 0x0D, 4, 6, 0x01020304, 0, accessData,
                                                 0, second, antennas, 0, 0);
         },
         {RequestBytes(7, 1, 0, bare)}, {Ok()}, 0, {}},
        {"a length without data, counts without arrays", [&](ClientProcessor *c) {
             return ulmot_AddAccessSpecification(c, nullptr, nullptr, 2, 1, 0x0D, 4, 6, 0x01020304, 3, nullptr, 1,
                                                 nullptr, nullptr, 1, 0);
         },
         {RequestBytes(7, 1, 0, lengthOnly)}, {{ResultBody(-2)}}, -2, {}},
    });
    EXPECT_EQ(instance, 5);
}

TEST_F(Access, AddThatCannotFitIsRefusedUnsent) {
    static const uint8_t big[2100] = {};  // the request's buffer holds 2040 bytes
    Check({"2100 bytes of access data", [&](ClientProcessor *c) {
               return ulmot_AddAccessSpecification(c, nullptr, nullptr, 0, 1, 0, 0, 0, 0, 2100, big, 0, nullptr, nullptr,
                                                   0, 0);
           },
           {}, {}, -1,
           {"ulmot_BufferWriteDTPBitArray: Insufficient tail space",
            "ulmot_AddAccessSpecification: Failed to build request"}});
}

TEST_F(Access, SettersSendOneItem) {
    static const uint8_t password[] = {1, 2, 3, 4}, inventories[] = {1, 2};
    CheckAll({
        {"password", [](ClientProcessor *c) { return ulmot_SetAccessPassword(c, 5, password, 4); },
         {RequestBytes(7, 3, 5, {0xC4, 0x00, 0x04, 0x01, 0x02, 0x03, 0x04})}, {Ok()}, 0, {}},
        {"empty password", [](ClientProcessor *c) { return ulmot_SetAccessPassword(c, 5, nullptr, 0); },
         {RequestBytes(7, 3, 5, {0xC4, 0x00, 0x00})}, {Ok()}, 0, {}},
        {"null password with a length", [](ClientProcessor *c) { return ulmot_SetAccessPassword(c, 5, nullptr, 4); }, {},
         {}, -5, {"ulmot_SetAccessPassword: Invalid parameter"}},
        {"filter", [](ClientProcessor *c) { return ulmot_SetAccessFilter(c, 5, 3); },
         {RequestBytes(7, 3, 5, {0x33, 0x06, 0x03})}, {Ok()}, 0, {}},
        {"group", [](ClientProcessor *c) { return ulmot_SetAccessGroup(c, 5, 2); },
         {RequestBytes(7, 3, 5, {0xE0, 0x02})}, {Ok()}, 0, {}},
        {"enable", [](ClientProcessor *c) { return ulmot_EnableAccessSpecification(c, 5, 0x0102); },
         {RequestBytes(7, 3, 5, {0x01, 0x01, 0x02})}, {{ResultBody(-3)}}, -3, {}},
        {"inventory list", [](ClientProcessor *c) { return ulmot_SetAccessInventoryList(c, 5, inventories, 2); },
         {RequestBytes(7, 3, 5, {0x15, 0x00, 0x07, 0x02, 0x03, 0x05, 0x01, 0x03, 0x05, 0x02})}, {Ok()}, 0, {}},
        {"empty inventory list", [](ClientProcessor *c) { return ulmot_SetAccessInventoryList(c, 5, inventories, 0); },
         {}, {}, -1,
         {"ulmot_BufferWriteDTPObjectReferenceList: Invalid parameter",
          "ulmot_SetAccessInventoryList: Failed to add 0 inventories to request"}},
        {"no inventory array", [](ClientProcessor *c) { return ulmot_SetAccessInventoryList(c, 5, nullptr, 3); }, {}, {},
         -1,
         {"ulmot_BufferWriteDTPObjectReferenceList: Invalid parameter",
          "ulmot_SetAccessInventoryList: Failed to add 3 inventories to request"}},
    });
}

TEST_F(Access, RegistrationEnablesExactlyTheTypesWithACallback) {
    CheckAll({
        {"stop and data complete", [](ClientProcessor *c) {
             return ulmot_RegisterAccessEvents(c, NoAccessEvent, nullptr, NoDataComplete, nullptr, nullptr, nullptr);
         },
         {RequestBytes(7, 5, 0, RegistrationBody(0xFFFFFFFF, 5))}, {Ok()}, 0, {}},
        {"both client requests", [](ClientProcessor *c) {
             return ulmot_RegisterAccessEvents(c, nullptr, nullptr, nullptr, NoAccessEvent, NoAccessEvent, nullptr);
         },
         {RequestBytes(7, 5, 0, RegistrationBody(0xFFFFFFFF, 24))}, {Ok()}, 0, {}},
        {"complete only", [](ClientProcessor *c) {
             return ulmot_RegisterAccessEvents(c, nullptr, NoComplete, nullptr, nullptr, nullptr, nullptr);
         },
         {RequestBytes(7, 5, 0, RegistrationBody(0xFFFFFFFF, 2))}, {Ok()}, 0, {}},
        {"all five", [](ClientProcessor *c) {
             return ulmot_RegisterAccessEvents(c, NoAccessEvent, NoComplete, NoDataComplete, NoAccessEvent,
                                               NoAccessEvent, nullptr);
         },
         {RequestBytes(7, 5, 0, RegistrationBody(0xFFFFFFFF, 31))}, {Ok()}, 0, {}},
    });
}

}  // namespace
