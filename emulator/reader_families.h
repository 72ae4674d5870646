// emulator/reader_families.h - the reader's own objects: version information,
// GPO and GPI lines, Gen2 protocol specifications and parameter sets, reset
// and RF survey specifications, CTI objects, the radio, the text log, the
// timestamp, alarm specifications and the real-time clock.
//
// Each family keeps its dynamic state in its objects (Object::state, which
// points back to the family), so a uemu_ call or another family reaches it
// through the store: Services::WithStore or a hook's Context, then
// Context::Table(type). Families that act on their own time (GPI patterns,
// the radio's hops and duty cycle, delayed resets, RF surveys) run one
// Ticker each.
//
// Entry points for other families (all to be called with the store locked,
// from a hook or inside Services::WithStore):
//   ScheduleRunning  a schedule starts or stops transmitting: the radio hops
//                    and keeps its duty cycle while any schedule runs, and
//                    the text log reports the start and the stop
//   TextLog          a line of the reader's text log
//   UnixTime         the real-time clock, seconds since 1970
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string_view>
#include <thread>

#include "emulator/family.h"
#include "emulator/wire.h"
#include "uemu.h"

namespace uemu {

// ---- the families, for MakeFamily (families.cpp) ------------------------------

std::unique_ptr<Family> MakeVersionFamily();        // 0, clock_family.cpp
std::unique_ptr<Family> MakeGpoFamily();            // 1, gpio_family.cpp
std::unique_ptr<Family> MakeGpiFamily();            // 2, gpio_family.cpp
std::unique_ptr<Family> MakeGen2ProtocolFamily();   // 4, gen2_family.cpp
std::unique_ptr<Family> MakeResetFamily();          // 9, reset_survey_family.cpp
std::unique_ptr<Family> MakeCtiFamily();            // 10, cti_family.cpp
std::unique_ptr<Family> MakeRadioFamily();          // 12, radio_family.cpp
std::unique_ptr<Family> MakeTextLogFamily();        // 13, text_log_family.cpp
std::unique_ptr<Family> MakeTimestampFamily();      // 15, clock_family.cpp
std::unique_ptr<Family> MakeGen2ParmSetFamily();    // 18, gen2_family.cpp
std::unique_ptr<Family> MakeRfSurveyFamily();       // 19, reset_survey_family.cpp
std::unique_ptr<Family> MakeAlarmFamily();          // 22, alarm_family.cpp
std::unique_ptr<Family> MakeRtcFamily();            // 24, clock_family.cpp

// The reader block of uemu_Config as uemu_ConfigInit fills it.
void ReaderConfigDefaults(uemu_Config &config);

// ---- entry points for other families (store locked) -----------------------------

void ScheduleRunning(Context &context, uint8_t schedule, bool running);
void TextLog(Context &context, std::string_view line);
uint32_t UnixTime(Context &context);

// What a reset specification does to the objects it names (the GPO lines go
// low, the radio goes back to its first channel and a full duty cycle).
void ResetGpo(Context &context, uint8_t line);
void ResetRadio(Context &context);

// ---- object types, items and results shared by the families --------------------

inline constexpr uint8_t kVersionType = 0;
inline constexpr uint8_t kGpoType = 1;
inline constexpr uint8_t kGpiType = 2;
inline constexpr uint8_t kAntennaType = 8;
inline constexpr uint8_t kRadioType = 12;
inline constexpr uint8_t kTextLogType = 13;
inline constexpr uint8_t kAntennaPairType = 17;
inline constexpr uint8_t kGen2ParmSetType = 18;
inline constexpr uint8_t kRtcType = 24;

inline constexpr uint8_t kRadioInstance = 1;  // the radio, the clock...
inline constexpr uint8_t kObjectSpecific = 100;
inline constexpr uint8_t kFirstEvent = 0;     // the event type of the one-event families

// The value of a fixed-size item: Int8, Int16, Int32 as a number, an object
// reference as type << 8 | instance. Nothing for the other types.
std::optional<uint32_t> FixedValue(const ItemView &item);

// The first item with `id` in a request, when it has `type`: `value` holds it
// (nothing when the item is absent). False when the first item with `id` has
// another type.
bool ReadTyped(const Items &items, uint8_t id, uint8_t type, std::optional<uint32_t> &value);

// The stored item `id` of a property set as a number (fixed-size types) or
// as its bytes (byte arrays).
std::optional<uint32_t> StoredValue(const PropertySet &properties, uint8_t id);
std::optional<Bytes> StoredBytes(const PropertySet &properties, uint8_t id);

// Merges every item of `items` but those of `skip` into `into` (ids 254 and
// 255 are never kept); UEMU_RESULT_EXHAUSTED (nothing changed) when the
// properties would no longer fit a get response.
int16_t MergeItems(PropertySet &into, const Items &items, std::initializer_list<uint8_t> skip = {});

// A one-item event body.
Bytes Int8Body(uint8_t id, uint8_t value);

// Objects that only the reader makes (the version information, the clock,
// the lines, the parameter sets): add and set are refused; remove refuses
// preset instances, as every family does.
class ReaderOwnedFamily : public Family {
public:
    int16_t Add(Context &, const Request &, Object &, Reply &) override { return UEMU_RESULT_REFUSED; }
    int16_t SetProperties(Context &, const Request &, Object &) override { return UEMU_RESULT_REFUSED; }
};

// The state of `object` as the family's type, or null.
template <typename State>
State *StateOf(Object *object) {
    return object == nullptr ? nullptr : dynamic_cast<State *>(object->state.get());
}

// `now` is at or after `due` on the reader's wrapping millisecond clock.
inline bool Reached(uint32_t now, uint32_t due) { return static_cast<int32_t>(now - due) >= 0; }

// A family's own thread. It runs `tick` with the store locked whenever it is
// woken or the time that the last tick asked for has passed; `tick` returns
// the milliseconds until it wants to run again, or kIdle to sleep until
// woken. Wake may be called from anywhere, the store locked or not (the
// ticker's own lock is taken after the store's, never before). Stop ends the
// thread for good; Wake afterwards does nothing.
class Ticker {
public:
    static constexpr uint32_t kIdle = UINT32_MAX;
    using Tick = std::function<uint32_t(Context &)>;

    Ticker() = default;
    ~Ticker() { Stop(); }
    Ticker(const Ticker &) = delete;
    Ticker &operator=(const Ticker &) = delete;

    void Start(Services &services, Tick tick);
    void Wake();
    void Stop();

private:
    void Run();

    Services *services_ = nullptr;
    Tick tick_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool woken_ = false;
    bool stop_ = false;
    std::thread thread_;
};

// Runs `work` for a uemu_ call: an exception becomes a result code, so none
// crosses the C interface.
template <typename Work>
int32_t GuardedCall(Work &&work) {
    try {
        return work();
    } catch (const std::bad_alloc &) {
        return UEMU_ERR_NO_MEMORY;
    } catch (...) {
        return UEMU_ERR_FAILED;
    }
}

}  // namespace uemu
