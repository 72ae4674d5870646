// The reader's version information (object type 0), its timestamp (15) and
// its real-time clock (24).
//
// The clock counts seconds since 1970 (UTC) from the time it was created or
// last set, on the reader's millisecond clock; with uemu_Config.rtcHeld it
// keeps the time it was set to, so that a test reads back exactly what it
// wrote. The timestamp's first word is the clock's seconds, its second the
// reader's milliseconds (what item 254 of every event carries).
#include <chrono>
#include <cstdio>
#include <cstring>

#include "families.h"

namespace uemu {

namespace {

// ---- civil dates (proleptic Gregorian, days since 1970-01-01) -----------------------

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

struct Civil {
    int64_t year;
    unsigned month, day;
};

Civil CivilFromDays(int64_t z) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    Civil c;
    c.day = doy - (153 * mp + 2) / 5 + 1;
    c.month = mp < 10 ? mp + 3 : mp - 9;
    c.year = static_cast<int64_t>(yoe) + era * 400 + (c.month <= 2 ? 1 : 0);
    return c;
}

unsigned DaysInMonth(int64_t year, unsigned month) {
    static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// The seven clock fields (items 0 to 6).
enum Field { kSecond, kMinute, kHour, kDay, kMonth, kYear, kWeekday, kFieldCount };
constexpr int64_t kFirstYear = 2000;  // field 5 counts from here, 0 to 99

struct Fields {
    uint8_t v[kFieldCount];
};

Fields Split(uint32_t seconds) {
    const int64_t days = seconds / 86400;
    const uint32_t inDay = seconds % 86400;
    const Civil c = CivilFromDays(days);
    Fields f{};
    f.v[kSecond] = static_cast<uint8_t>(inDay % 60);
    f.v[kMinute] = static_cast<uint8_t>(inDay / 60 % 60);
    f.v[kHour] = static_cast<uint8_t>(inDay / 3600);
    f.v[kDay] = static_cast<uint8_t>(c.day);
    f.v[kMonth] = static_cast<uint8_t>(c.month);
    f.v[kYear] = static_cast<uint8_t>(c.year - kFirstYear);
    f.v[kWeekday] = static_cast<uint8_t>((days + 4) % 7);  // 1970-01-01 was a Thursday
    return f;
}

// The seconds of `f`, or nothing when a field is out of its range. The week
// day is not part of the time: it follows from the date.
std::optional<uint32_t> Join(const Fields &f) {
    if (f.v[kSecond] > 59 || f.v[kMinute] > 59 || f.v[kHour] > 23 || f.v[kMonth] < 1 ||
        f.v[kMonth] > 12 || f.v[kYear] > 99 || f.v[kWeekday] > 6) {
        return std::nullopt;
    }
    const int64_t year = kFirstYear + f.v[kYear];
    if (f.v[kDay] < 1 || f.v[kDay] > DaysInMonth(year, f.v[kMonth])) return std::nullopt;
    const int64_t days = DaysFromCivil(year, f.v[kMonth], f.v[kDay]);
    return static_cast<uint32_t>(days * 86400 + f.v[kHour] * 3600 + f.v[kMinute] * 60 + f.v[kSecond]);
}

uint32_t HostSeconds() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::seconds>(since).count());
}

// ---- the real-time clock -------------------------------------------------------------

struct Clock final : FamilyState {
    uint32_t base = 0;  // seconds at `at`
    uint32_t at = 0;    // reader milliseconds when set
    bool held = false;

    uint32_t Seconds(uint32_t now) const { return held ? base : base + (now - at) / 1000; }
};

class RtcFamily final : public Family {
public:
    void Populate(ObjectTable &table, uint8_t count) override {
        Family::Populate(table, count);
        for (auto &[instance, object] : table.objects()) object.state = std::make_unique<Clock>();
    }

    void Start(Services &services) override {
        const uemu_Config &config = services.Config();
        const uint32_t start = config.rtcStartSeconds != 0 ? config.rtcStartSeconds : HostSeconds();
        const bool held = config.rtcHeld != 0;
        services.WithStore([&](Context &context) {
            ObjectTable *table = context.Table(kRtcType);
            if (table == nullptr) return;
            for (auto &[instance, object] : table->objects()) {
                if (Clock *clock = StateOf<Clock>(&object)) {
                    clock->base = start;
                    clock->at = context.Now();
                    clock->held = held;
                }
            }
        });
    }

    int16_t Add(Context &, const Request &, Object &, Reply &) override { return UEMU_RESULT_REFUSED; }

    int16_t SetProperties(Context &context, const Request &request, Object &object) override {
        Clock *clock = StateOf<Clock>(&object);
        if (clock == nullptr) return UEMU_RESULT_REFUSED;
        const uint32_t now = context.Now();
        Fields f = Split(clock->Seconds(now));
        for (const ItemView &item : request.items.all()) {
            if (item.id >= kFieldCount || item.type != kInt8) return UEMU_RESULT_MALFORMED;
            f.v[item.id] = item.value[0];
        }
        const std::optional<uint32_t> seconds = Join(f);
        if (!seconds) return UEMU_RESULT_OUT_OF_RANGE;
        if (request.items.empty()) return UEMU_RESULT_OK;
        clock->base = *seconds;
        clock->at = now;
        const Fields set = Split(*seconds);
        char line[64];
        std::snprintf(line, sizeof line, "clock set to %04u-%02u-%02u %02u:%02u:%02u",
                      static_cast<unsigned>(kFirstYear + set.v[kYear]), set.v[kMonth], set.v[kDay],
                      set.v[kHour], set.v[kMinute], set.v[kSecond]);
        TextLog(context, line);
        return UEMU_RESULT_OK;
    }

    int16_t GetProperties(Context &context, const Request &request, const Object &object,
                          Reply &reply) override {
        const Clock *clock = dynamic_cast<const Clock *>(object.state.get());
        if (clock == nullptr) return Family::GetProperties(context, request, object, reply);
        const Fields f = Split(clock->Seconds(context.Now()));
        for (uint8_t id = 0; id < kFieldCount; ++id) reply.Items().Int8(id, f.v[id]);
        return UEMU_RESULT_OK;
    }
};

// ---- the timestamp ---------------------------------------------------------------------

class TimestampFamily final : public ReaderOwnedFamily {
public:
    int16_t GetProperties(Context &context, const Request &, const Object &, Reply &reply) override {
        reply.Items().Int32(0, UnixTime(context));
        reply.Items().Int32(1, context.Now());
        return UEMU_RESULT_OK;
    }
};

// ---- the version information -----------------------------------------------------------

constexpr uint8_t kRadioModelItem = 10;

class VersionFamily final : public ReaderOwnedFamily {
public:
    void Start(Services &services) override {
        const uemu_Config &config = services.Config();
        services.WithStore([&](Context &context) {
            ObjectTable *table = context.Table(kVersionType);
            if (table == nullptr) return;
            for (auto &[instance, object] : table->objects()) {
                for (uint8_t i = 0; i < UEMU_VERSION_STRINGS; ++i) {
                    const char *text = config.versions[i];
                    const size_t length = strnlen(text, UEMU_VERSION_SIZE - 1);
                    object.properties.PutByteArray(i, ByteView(reinterpret_cast<const uint8_t *>(text), length));
                }
                object.properties.PutInt16(kRadioModelItem, config.radioModel);
            }
        });
    }
};

}  // namespace

uint32_t UnixTime(Context &context) {
    ObjectTable *table = context.Table(kRtcType);
    const Clock *clock = table != nullptr ? StateOf<Clock>(table->Find(kRadioInstance)) : nullptr;
    return clock != nullptr ? clock->Seconds(context.Now()) : HostSeconds();
}

std::unique_ptr<Family> MakeVersionFamily() { return std::make_unique<VersionFamily>(); }
std::unique_ptr<Family> MakeTimestampFamily() { return std::make_unique<TimestampFamily>(); }
std::unique_ptr<Family> MakeRtcFamily() { return std::make_unique<RtcFamily>(); }

}  // namespace uemu
