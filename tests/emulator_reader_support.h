// tests/emulator_reader_support.h - the reader's own objects (lines, radio,
// clock, Gen2, CTI, alarms, text log, reset and RF survey) as raw clients
// see them: a reader configured for literal answers (a held clock, a short
// channel plan) and helpers to read events.
#pragma once

#include <string>
#include <vector>

#include "emulator_support.h"

namespace ulmot::test {

inline constexpr uint8_t kReaderId = UEMU_READER_PROCESSOR_ID;
inline constexpr uint8_t kIoId = UEMU_IO_PROCESSOR_ID;

// 2026-01-01 00:00:00 UTC, a Thursday.
inline constexpr uint32_t kNewYear2026 = 1767225600;

// Every event of a type (type-wide registration, all event types).
inline constexpr uint32_t kAllEvents = 0xFFFFFFFF;

inline Bytes Text(const std::string &s) { return Bytes(s.begin(), s.end()); }

// What an event carries after its time stamp (item 254, 6 bytes).
inline Bytes AfterTimestamp(const Received &e) {
    return e.body.size() < 6 ? Bytes{} : Bytes(e.body.begin() + 6, e.body.end());
}

inline uint8_t EventType(const Received &e) { return e.header[ULMOT_HEADER_COMMAND]; }
inline uint8_t EventObject(const Received &e) { return e.header[ULMOT_HEADER_OBJECT_TYPE]; }
inline uint8_t EventInstance(const Received &e) { return e.header[ULMOT_HEADER_INSTANCE]; }

// A byte array item as it travels (ids below 15).
inline Bytes ArrayItem(uint8_t id, const Bytes &data) {
    Bytes b = {static_cast<uint8_t>(id << 4 | 4), static_cast<uint8_t>(data.size() >> 8),
               static_cast<uint8_t>(data.size())};
    Append(b, data);
    return b;
}

class ReaderFamilies : public EmulatorTest {
protected:
    void SetUp() override {
        EmulatorTest::SetUp();
        config_.rtcHeld = 1;
        config_.rtcStartSeconds = kNewYear2026;
        // Two short plans: three channels 500 kHz apart, and one channel.
        config_.countryCodeCount = 2;
        config_.countryCodes[0] = uemu_CountryCode{840, 3, 902750, 500, "US test plan"};
        config_.countryCodes[1] = uemu_CountryCode{276, 1, 865700, 600, "EU one channel"};
        config_.countryCodeSelected = 0;
    }

    // Events until one of `type`/`eventType` arrives (those before it are
    // dropped); nothing when none comes within the time-out.
    static std::optional<Received> NextOf(Client &c, uint8_t type, uint8_t eventType) {
        for (;;) {
            std::optional<Received> e = c.NextEvent();
            if (!e || (EventObject(*e) == type && EventType(*e) == eventType)) return e;
        }
    }

    // The stored properties of an object, as uemu_GetObjectProperties gives them.
    Bytes Stored(uint8_t type, uint8_t instance) {
        uint8_t items[2048];
        uint32_t length = 0;
        EXPECT_EQ(uemu_GetObjectProperties(Reader(), type, instance, items, sizeof items, &length), UEMU_OK);
        return Bytes(items, items + length);
    }

    // Takes the events that are still on their way (a family thread's
    // events are sent after its lock is released), then proves none follows.
    static void Settle(Client &c, const char *why) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        while (c.NextEvent(100).has_value()) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        c.ExpectNoEvent(why);
    }
};

}  // namespace ulmot::test
