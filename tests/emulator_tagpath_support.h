// tests/emulator_tagpath_support.h - the tag path of the emulated reader seen
// from raw clients: request bodies written as literal items, events decoded
// by the tests' own item reader, and the seeded tag field read back through
// uemu_GetTag and uemu_ReadTagMemory to compare with.
#pragma once

#include <algorithm>
#include <map>
#include <set>
#include <vector>

#include "emulator_support.h"

namespace ulmot::test {

// Object types and event types of the tag path.
inline constexpr uint8_t kSelectorType = 3;
inline constexpr uint8_t kInventoryType = 5;
inline constexpr uint8_t kFilterType = 6;
inline constexpr uint8_t kAccessType = 7;
inline constexpr uint8_t kAntennaType = 8;
inline constexpr uint8_t kScheduleType = 11;
inline constexpr uint8_t kPairType = 17;
inline constexpr uint8_t kTagReport = 2;

// The Gen2 CRC-16 (polynomial 0x1021, preset 0xFFFF, sent inverted), bit by
// bit: the tests' own, checked against the literal check value.
inline uint16_t Gen2Crc(const Bytes &bytes) {
    uint32_t crc = 0xFFFF;
    for (uint8_t byte : bytes) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool in = ((byte >> bit) & 1) != 0;
            const bool top = (crc & 0x8000) != 0;
            crc = (crc << 1) & 0xFFFF;
            if (in != top) crc ^= 0x1021;
        }
    }
    return static_cast<uint16_t>(~crc & 0xFFFF);
}

inline void PutBe(Bytes &out, uint32_t value, int width) {
    for (int i = width - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// ---- items as literal bytes (item ids below 15 unless said) -------------------------

inline Bytes Head(uint8_t id, uint8_t type) {
    if (id >= 15) return {static_cast<uint8_t>(0xF0 | type), id};
    return {static_cast<uint8_t>(id << 4 | type)};
}
inline Bytes I8(uint8_t id, uint8_t v) {
    Bytes b = Head(id, 0);
    b.push_back(v);
    return b;
}
inline Bytes I16(uint8_t id, uint16_t v) {
    Bytes b = Head(id, 1);
    PutBe(b, v, 2);
    return b;
}
inline Bytes I32(uint8_t id, uint32_t v) {
    Bytes b = Head(id, 2);
    PutBe(b, v, 4);
    return b;
}
inline Bytes Ref(uint8_t id, uint8_t type, uint8_t instance) {
    Bytes b = Head(id, 3);
    b.push_back(type);
    b.push_back(instance);
    return b;
}
inline Bytes Sized(uint8_t id, uint8_t type, const Bytes &value) {
    Bytes b = Head(id, type);
    PutBe(b, static_cast<uint32_t>(value.size()), 2);
    Append(b, value);
    return b;
}
inline Bytes Array(uint8_t id, const Bytes &value) { return Sized(id, 4, value); }
// A list item: count, then the elements.
inline Bytes List(uint8_t id, const std::vector<Bytes> &elements) {
    Bytes value = {static_cast<uint8_t>(elements.size())};
    for (const Bytes &e : elements) Append(value, e);
    return Sized(id, 5, value);
}
// A tag filter item 0: filter byte (bank), filter word (bit pointer), flags,
// data length in bits, mask length in bytes, data, mask.
inline Bytes Filter(uint8_t bank, uint32_t pointer, uint8_t flags, uint16_t bits, const Bytes &data,
                    const Bytes &mask = {}) {
    Bytes value = {bank};
    PutBe(value, pointer, 4);
    value.push_back(flags);
    PutBe(value, bits, 2);
    PutBe(value, static_cast<uint32_t>(mask.size()), 2);
    Append(value, data);
    Append(value, mask);
    return Sized(0, 6, value);
}
inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes &p : parts) Append(all, p);
    return all;
}

// ---- reading bodies ------------------------------------------------------------------

struct Item {
    uint8_t id = 0;
    uint8_t type = 0;
    Bytes value;  // after the length, for the sized types
};

// The items of a body; a malformed body fails the test and reads as empty.
inline std::vector<Item> ParseItems(const Bytes &body) {
    std::vector<Item> items;
    size_t at = 0;
    while (at < body.size()) {
        Item it;
        uint8_t first = body[at++];
        it.id = first >> 4;
        it.type = first & 0x0F;
        if (it.id == 15 && at < body.size()) it.id = body[at++];
        if (it.type == 15 && at < body.size()) it.type = body[at++];
        size_t size = it.type == 0 ? 1 : it.type == 1 ? 2 : it.type == 2 ? 4 : it.type == 3 ? 2 : 0;
        if (it.type > 3) {
            if (at + 2 > body.size()) {
                ADD_FAILURE() << "length field past the body";
                return {};
            }
            size = size_t{body[at]} << 8 | body[at + 1];
            at += 2;
        }
        if (at + size > body.size()) {
            ADD_FAILURE() << "item " << int(it.id) << " runs past the body";
            return {};
        }
        it.value.assign(body.begin() + static_cast<ptrdiff_t>(at), body.begin() + static_cast<ptrdiff_t>(at + size));
        at += size;
        items.push_back(std::move(it));
    }
    return items;
}

inline uint32_t Number(const Bytes &value) {
    uint32_t v = 0;
    for (uint8_t b : value) v = v << 8 | b;
    return v;
}

// The items of a received event, keyed by id (each id once: a repeated id
// fails the test).
inline std::map<uint8_t, Item> ItemsById(const Bytes &body) {
    std::map<uint8_t, Item> byId;
    for (Item &it : ParseItems(body)) {
        EXPECT_EQ(byId.count(it.id), 0u) << "item " << int(it.id) << " twice";
        byId[it.id] = std::move(it);
    }
    return byId;
}

// A tag report as the tests read it.
struct Report {
    uint8_t inventory = 0;
    uint16_t format = 0;
    uint8_t headerByte = 0;
    uint32_t headerWord = 0;
    uint16_t bitCount = 0;
    Bytes bits;
    uint8_t antennaType = 0;
    uint8_t antenna = 0;
    int16_t rssi = 0;
    uint16_t channel = 0, seen = 0, pair = 0, phase = 0, round = 0, power = 0;
    uint32_t sequence = 0;
    uint8_t schedule = 0;
    std::optional<Bytes> tid;
};

inline Report DecodeReport(const Received &e) {
    Report r;
    r.inventory = e.header[ULMOT_HEADER_INSTANCE];
    auto items = ItemsById(e.body);
    auto num = [&](uint8_t id, uint8_t type) -> uint32_t {
        auto it = items.find(id);
        if (it == items.end()) {
            ADD_FAILURE() << "tag report lacks item " << int(id);
            return 0;
        }
        EXPECT_EQ(it->second.type, type) << "item " << int(id);
        return Number(it->second.value);
    };
    r.format = static_cast<uint16_t>(num(0, 1));
    r.rssi = static_cast<int16_t>(num(6, 1));
    r.channel = static_cast<uint16_t>(num(7, 1));
    r.seen = static_cast<uint16_t>(num(8, 1));
    r.pair = static_cast<uint16_t>(num(10, 1));
    r.phase = static_cast<uint16_t>(num(13, 1));
    r.round = static_cast<uint16_t>(num(14, 1));
    r.power = static_cast<uint16_t>(num(16, 1));
    r.sequence = num(18, 2);
    r.schedule = static_cast<uint8_t>(num(20, 0));
    if (auto it = items.find(9); it != items.end() && it->second.type == 3) {
        r.antennaType = it->second.value[0];
        r.antenna = it->second.value[1];
    } else {
        ADD_FAILURE() << "tag report lacks its antenna (item 9)";
    }
    if (auto it = items.find(4); it != items.end() && it->second.type == 7 && it->second.value.size() >= 7) {
        const Bytes &v = it->second.value;
        r.headerByte = v[0];
        r.headerWord = Number(Bytes(v.begin() + 1, v.begin() + 5));
        r.bitCount = static_cast<uint16_t>(v[5] << 8 | v[6]);
        r.bits.assign(v.begin() + 7, v.end());
    } else {
        ADD_FAILURE() << "tag report lacks its tag data (item 4)";
    }
    if (auto it = items.find(22); it != items.end()) r.tid = it->second.value;
    return r;
}

// What a tag sends: PC, XPC words, EPC, CRC.
inline Bytes Backscatter(const uemu_Tag &t) {
    Bytes b;
    PutBe(b, t.pc, 2);
    for (uint8_t i = 0; i < t.xpcCount; ++i) PutBe(b, t.xpc[i], 2);
    b.insert(b.end(), t.epc, t.epc + t.epcLength);
    PutBe(b, t.crc, 2);
    return b;
}

inline Bytes EpcOf(const uemu_Tag &t) { return Bytes(t.epc, t.epc + t.epcLength); }

inline std::vector<uemu_Tag> TagsOf(uemu_Reader *reader) {
    uint32_t n = 0;
    EXPECT_EQ(uemu_GetTagCount(reader, &n), UEMU_OK);
    std::vector<uemu_Tag> tags(n);
    for (uint32_t i = 0; i < n; ++i) EXPECT_EQ(uemu_GetTag(reader, i, &tags[i]), UEMU_OK);
    return tags;
}

inline Bytes Memory(uemu_Reader *reader, uint32_t index, uint8_t bank, uint16_t pointer = 0, uint16_t count = 0) {
    Bytes out(1100);
    uint32_t length = 0;
    EXPECT_EQ(uemu_ReadTagMemory(reader, index, bank, pointer, count, out.data(),
                                 static_cast<uint32_t>(out.size()), &length),
              UEMU_OK);
    out.resize(length);
    return out;
}

inline std::vector<Report> ReportsIn(const std::vector<Received> &events) {
    std::vector<Report> reports;
    for (const Received &e : events) {
        if (e.header[ULMOT_HEADER_OBJECT_TYPE] == kInventoryType && e.header[ULMOT_HEADER_COMMAND] == kTagReport) {
            reports.push_back(DecodeReport(e));
        }
    }
    return reports;
}
// Stop reason of the last event (a schedule's stop event).
inline int StopReason(const std::vector<Received> &events) {
    if (events.empty()) return -1;
    const auto items = ItemsById(Bytes(events.back().body.begin() + 6, events.back().body.end()));
    auto it = items.find(2);
    return it == items.end() ? -1 : it->second.value[0];
}
// The indexes of the tags whose backscatter `bits` are, or -1.
inline int IndexOf(const std::vector<uemu_Tag> &tags, const Bytes &bits) {
    for (size_t i = 0; i < tags.size(); ++i) {
        if (Backscatter(tags[i]) == bits) return static_cast<int>(i);
    }
    return -1;
}

// A reader with a small, fast tag field.
class TagPathTest : public EmulatorTest {
protected:
    static constexpr uint8_t kReader = UEMU_READER_PROCESSOR_ID;

    void SetUp() override {
        EmulatorTest::SetUp();
        config_.tagCount = 40;
        config_.tagSeed = 7;
        config_.tagRate = 2000;
    }

    // Adds an object of `type` from `body`; the new instance, after checking
    // the result.
    uint8_t Add(Client &c, uint8_t type, const Bytes &body, int32_t expected = 0) {
        Body b(2000);
        if (!body.empty()) b.Raw(body);
        const Answer a = c.Request(kReader, type, 1, 0, b);
        EXPECT_EQ(a.result, expected) << "adding an object of type " << int(type);
        return a.result == 0 ? a.instance : 0;
    }
    int32_t Set(Client &c, uint8_t type, uint8_t instance, const Bytes &body) {
        Body b(2000);
        b.Raw(body);
        return c.Request(kReader, type, 3, instance, b).result;
    }
    uint8_t AddSelector(Client &c, const std::vector<Bytes> &filters) {
        return Add(c, kSelectorType, List(0, filters));
    }
    // An inventory with item 2 (session), item 0 (format) and its selectors.
    uint8_t AddInventory(Client &c, uint8_t session, const Bytes &selectors = {}, const Bytes &more = {}) {
        Bytes body = Cat({I8(2, session), I16(0, 517)});
        if (!selectors.empty()) {
            std::vector<Bytes> refs;
            for (uint8_t s : selectors) refs.push_back(Ref(0, kSelectorType, s));
            Append(body, List(3, refs));
        }
        Append(body, more);
        return Add(c, kInventoryType, body);
    }
    uint8_t AddSchedule(Client &c, const std::vector<Bytes> &entries) {
        return Add(c, kScheduleType, List(0, entries));
    }
    // Starts `schedule` (start flag 1: passes repeat; 0: one pass).
    int32_t Start(Client &c, uint8_t schedule, uint8_t flag = 0) {
        Body b;
        b.Raw(I8(1, flag));
        return c.Request(kReader, kScheduleType, 100, schedule, b).result;
    }
    // Stops `schedule`: the stop status, or -1 when the result is not 0.
    int Stop(Client &c, uint8_t schedule) {
        const Answer a = c.Request(kReader, kScheduleType, 101, schedule);
        if (a.result != 0) return -1;
        const auto items = ItemsById(Bytes(a.body.begin() + 4, a.body.end()));
        auto it = items.find(6);
        return it == items.end() ? -2 : it->second.value[0];
    }
    // Every event up to and including the stop event of `schedule`.
    std::vector<Received> UntilStopped(Client &c, uint8_t schedule, int ms = 20000) {
        std::vector<Received> events;
        const auto start = Clock::now();
        while (MsSince(start) < ms) {
            std::optional<Received> e = c.NextEvent(ms);
            if (!e) break;
            events.push_back(*e);
            if (e->header[ULMOT_HEADER_OBJECT_TYPE] == kScheduleType && e->header[ULMOT_HEADER_COMMAND] == 1 &&
                e->header[ULMOT_HEADER_INSTANCE] == schedule) {
                return events;
            }
        }
        ADD_FAILURE() << "schedule " << int(schedule) << " did not stop";
        return events;
    }
};

}  // namespace ulmot::test
