// The tag field of the emulated reader: a seeded, reproducible Gen2
// population whose PC words, CRCs and memory banks are what a real tag
// would hold, and the configuration checks that refuse a field out of range.
#include "emulator_tagpath_support.h"

namespace {

using namespace ulmot::test;

using Field = TagPathTest;

TEST(Gen2Crc, TheTestsOwnCrcMatchesTheCheckValue) {
    const Bytes digits = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Gen2Crc(digits), 0xD64E);
    EXPECT_EQ(Gen2Crc({}), 0x0000);
}

TEST_F(Field, EveryTagCarriesAConsistentPcAndCrcForEachEpcLength) {
    struct Case {
        uint16_t epcBits;
        uint8_t xpcPercent;
        uint16_t userWords;
    };
    for (const Case k : {Case{96, 0, 32}, Case{16, 0, 0}, Case{128, 100, 8}, Case{496, 50, 512}}) {
        config_.epcBits = k.epcBits;
        config_.xpcPercent = k.xpcPercent;
        config_.userWords = k.userWords;
        uemu_Reader *reader = uemu_Create(&config_);
        ASSERT_NE(reader, nullptr) << k.epcBits;
        const auto tags = TagsOf(reader);
        ASSERT_EQ(tags.size(), 40u);
        int withXpc = 0;
        for (const uemu_Tag &t : tags) {
            SCOPED_TRACE("EPC bits " + std::to_string(k.epcBits));
            EXPECT_EQ(t.epcLength * 8, k.epcBits);
            EXPECT_EQ(t.pc >> 11, k.epcBits / 16) << "the PC's length field counts EPC words";
            EXPECT_EQ((t.pc & 0x0400) != 0, k.userWords > 0) << "user memory indicator";
            EXPECT_EQ((t.pc & 0x0200) != 0, t.xpcCount > 0) << "XPC indicator";
            EXPECT_EQ(t.pc & 0x01FF, 0);
            if (t.xpcCount > 0) {
                ++withXpc;
                EXPECT_EQ((t.xpc[0] & 0x8000) != 0, t.xpcCount == 2) << "XPC word 1 announces word 2";
            }
            const Bytes all = Backscatter(t);
            const Bytes sent(all.begin(), all.end() - 2);
            EXPECT_EQ(t.crc, Gen2Crc(sent)) << "CRC over PC, XPC words and EPC";
            // The EPC bank: stored CRC over PC and EPC, PC, EPC.
            Bytes stored;
            PutBe(stored, t.pc, 2);
            Append(stored, EpcOf(t));
            Bytes bank;
            PutBe(bank, Gen2Crc(stored), 2);
            Append(bank, stored);
            const uint32_t index = static_cast<uint32_t>(&t - tags.data());
            EXPECT_EQ(Memory(reader, index, UEMU_BANK_EPC), bank);
            EXPECT_EQ(Memory(reader, index, UEMU_BANK_USER).size(), 2u * k.userWords);
            EXPECT_EQ(Memory(reader, index, UEMU_BANK_RESERVED), Bytes(8, 0));
        }
        if (k.xpcPercent == 0) {
            EXPECT_EQ(withXpc, 0);
        }
        if (k.xpcPercent == 100) {
            EXPECT_EQ(withXpc, 40);
        }
        if (k.xpcPercent == 50) {
            EXPECT_GT(withXpc, 5);
            EXPECT_LT(withXpc, 35);
        }
        uemu_Destroy(reader);
    }
}

TEST_F(Field, TheSameSeedGivesTheSamePopulationAndAnotherSeedAnother) {
    auto snapshot = [&](uint32_t seed) {
        config_.tagSeed = seed;
        uemu_Reader *reader = uemu_Create(&config_);
        EXPECT_NE(reader, nullptr);
        std::vector<Bytes> all;
        for (uint32_t i = 0; i < 40; ++i) {
            uemu_Tag t{};
            EXPECT_EQ(uemu_GetTag(reader, i, &t), UEMU_OK);
            Bytes b = Backscatter(t);
            Append(b, Memory(reader, i, UEMU_BANK_TID));
            Append(b, Memory(reader, i, UEMU_BANK_USER));
            PutBe(b, t.antennas, 4);
            for (int16_t r : t.rssi) PutBe(b, static_cast<uint16_t>(r), 2);
            all.push_back(b);
        }
        uemu_Destroy(reader);
        return all;
    };
    const auto first = snapshot(7);
    EXPECT_EQ(snapshot(7), first);
    const auto other = snapshot(8);
    ASSERT_EQ(other.size(), first.size());
    for (size_t i = 0; i < first.size(); ++i) EXPECT_NE(other[i], first[i]) << "tag " << i;
    std::set<Bytes> epcs(first.begin(), first.end());
    EXPECT_EQ(epcs.size(), first.size());
}

TEST_F(Field, TidBanksAndVisibilityFollowTheConfiguration) {
    config_.tidWords = 8;
    config_.visibilityPercent = 30;
    config_.presetInstances[8] = 3;
    const auto tags = TagsOf(Reader());
    std::set<Bytes> serials;
    int inFieldOf[3] = {};
    for (uint32_t i = 0; i < tags.size(); ++i) {
        const Bytes tid = Memory(Reader(), i, UEMU_BANK_TID);
        ASSERT_EQ(tid.size(), 16u);
        EXPECT_EQ(Bytes(tid.begin(), tid.begin() + 4), (Bytes{0xE2, 0x00, 0x00, 0x01}));
        serials.insert(Bytes(tid.begin() + 4, tid.end()));
        EXPECT_EQ(tags[i].tidWords, 8);
        EXPECT_NE(tags[i].antennas, 0u) << "every tag is in one field at least";
        EXPECT_EQ(tags[i].antennas & ~7u, 0u) << "three antennas";
        for (int a = 0; a < 32; ++a) {
            const bool in = ((tags[i].antennas >> a) & 1) != 0;
            if (in) {
                ++inFieldOf[a];
                EXPECT_GE(tags[i].rssi[a], -700);
                EXPECT_LE(tags[i].rssi[a], -301);
            } else {
                EXPECT_EQ(tags[i].rssi[a], 0);
            }
        }
    }
    EXPECT_EQ(serials.size(), tags.size());
    for (int n : inFieldOf) {
        EXPECT_GT(n, 2) << "30 % of 40 tags, roughly";
        EXPECT_LT(n, 30);
    }
}

TEST_F(Field, ShortEpcsStayDistinctInALargeField) {
    config_.epcBits = 16;
    config_.tagCount = 3000;
    const auto tags = TagsOf(Reader());
    std::set<Bytes> epcs;
    for (const uemu_Tag &t : tags) epcs.insert(EpcOf(t));
    EXPECT_EQ(epcs.size(), 3000u);
}

TEST_F(Field, ReadTagMemoryChecksItsArguments) {
    Reader();
    Bytes out(64);
    uint32_t length = 0;
    EXPECT_EQ(uemu_ReadTagMemory(Reader(), 0, 4, 0, 0, out.data(), 64, &length), UEMU_ERR_INVALID);
    EXPECT_EQ(uemu_ReadTagMemory(Reader(), 0, 2, 0, 0, out.data(), 64, nullptr), UEMU_ERR_INVALID);
    EXPECT_EQ(uemu_ReadTagMemory(Reader(), 40, 2, 0, 0, out.data(), 64, &length), UEMU_ERR_NOT_FOUND);
    EXPECT_EQ(uemu_ReadTagMemory(Reader(), 0, 2, 5, 2, out.data(), 64, &length), UEMU_ERR_NOT_FOUND)
        << "words 5 and 6 of a 6-word TID";
    EXPECT_EQ(uemu_ReadTagMemory(Reader(), 0, 2, 4, 2, out.data(), 64, &length), UEMU_OK);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(uemu_ReadTagMemory(Reader(), 0, 2, 6, 0, out.data(), 64, &length), UEMU_OK) << "empty, at the end";
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(uemu_ReadTagMemory(Reader(), 0, 3, 0, 0, out.data(), 63, &length), UEMU_ERR_TOO_SMALL);
    EXPECT_EQ(length, 64u);
    uemu_Tag t{};
    EXPECT_EQ(uemu_GetTag(Reader(), 40, &t), UEMU_ERR_NOT_FOUND);
    EXPECT_EQ(uemu_GetTag(Reader(), 0, nullptr), UEMU_ERR_INVALID);
    EXPECT_EQ(uemu_GetTagCount(nullptr, nullptr), UEMU_ERR_INVALID);
}

TEST_F(Field, CreationRefusesAFieldOutOfRange) {
    struct Case {
        const char *what;
        void (*change)(uemu_Config &);
    };
    const Case cases[] = {
        {"EPC of 17 bits", [](uemu_Config &c) { c.epcBits = 17; }},
        {"EPC of 512 bits", [](uemu_Config &c) { c.epcBits = 512; }},
        {"too many tags", [](uemu_Config &c) { c.tagCount = UEMU_MAX_TAGS + 1; }},
        {"TID of one word", [](uemu_Config &c) { c.tidWords = 1; }},
        {"TID of 33 words", [](uemu_Config &c) { c.tidWords = 33; }},
        {"user bank of 513 words", [](uemu_Config &c) { c.userWords = 513; }},
        {"XPC share of 101 %", [](uemu_Config &c) { c.xpcPercent = 101; }},
        {"visibility of 101 %", [](uemu_Config &c) { c.visibilityPercent = 101; }},
        {"tag rate above 100000", [](uemu_Config &c) { c.tagRate = 100001; }},
    };
    for (const Case &k : cases) {
        uemu_Config c = config_;
        k.change(c);
        uemu_Reader *r = uemu_Create(&c);
        EXPECT_EQ(r, nullptr) << k.what;
        uemu_Destroy(r);
    }
    // Zero where the block allows it takes the default; the largest values pass.
    uemu_Config zero = config_;
    zero.epcBits = 0;
    zero.tidWords = 0;
    zero.visibilityPercent = 0;
    zero.tagRate = 0;
    zero.tagCount = UEMU_MAX_TAGS;
    zero.userWords = 512;
    uemu_Reader *r = uemu_Create(&zero);
    ASSERT_NE(r, nullptr);
    uemu_Tag t{};
    EXPECT_EQ(uemu_GetTag(r, UEMU_MAX_TAGS - 1, &t), UEMU_OK);
    EXPECT_EQ(t.epcLength, 12);
    EXPECT_EQ(t.tidWords, 6);
    EXPECT_EQ(t.antennas, 0xFu);
    uemu_Destroy(r);
}

}  // namespace
