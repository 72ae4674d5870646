// emulator/families.h - what the object families share, and the entry
// points by which one family reaches another.
//
// The reader's own objects: version information, GPO and GPI lines, Gen2
// protocol specifications and parameter sets, reset and RF survey
// specifications, CTI objects, the radio, the text log, the timestamp, alarm
// specifications and the real-time clock. Each keeps its dynamic state in its
// objects (Object::state, which points back to the family), so a uemu_ call
// or another family reaches it through the store: Services::WithStore or a
// hook's Context, then Context::Table(type). Families that act on their own
// time (GPI patterns, the radio's hops and duty cycle, delayed resets, RF
// surveys) run one Ticker each.
//
// The tag path: tag selectors (3), inventory specifications (5), tag filter
// specifications (6), access specifications (7), antennas (8), schedules (11)
// and antenna pairs (17). Each checks the items of an add or a set as a whole
// (the object's kept items with the request's merged in), and keeps what it
// read from them as the object's state: a selector's filters, an inventory's
// report format and selectors, an access specification's operation. A family
// that needs another type's objects (an inventory naming its selectors, a
// schedule its inventories) reads their state through the store, so
// references are looked up when they are used and an object removed in the
// meantime is simply not found. The schedule family runs the tag field: its
// thread (the engine) reports the tags that running schedules find, through
// Services::WithStore, so the tag field, the objects and their state are all
// guarded by the reader's lock. docs/PROTOCOL.md describes each family's
// items and events.
//
// Entry points for other families (all to be called with the store locked,
// from a hook or inside Services::WithStore):
//   ScheduleRunning  a schedule starts or stops transmitting: the radio hops
//                    and keeps its duty cycle while any schedule runs, and
//                    the text log reports the start and the stop
//   TextLog          a line of the reader's text log
//   UnixTime         the real-time clock, seconds since 1970
//   RunAccess, AccessApplies   what the engine asks of the access family
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
#include <vector>

#include "family.h"
#include "tag_field.h"
#include "wire.h"
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

// ---- the tag path ----------------------------------------------------------------

// The tag path families, for MakeFamily (families.cpp).
std::unique_ptr<Family> MakeTagSelectorFamily();   // 3, filter_family.cpp
std::unique_ptr<Family> MakeInventoryFamily();     // 5, inventory_family.cpp
std::unique_ptr<Family> MakeTagFilterFamily();     // 6, filter_family.cpp
std::unique_ptr<Family> MakeAccessFamily();        // 7, access_family.cpp
std::unique_ptr<Family> MakeAntennaFamily();       // 8, antenna_family.cpp
std::unique_ptr<Family> MakeScheduleFamily();      // 11, schedule_family.cpp
std::unique_ptr<Family> MakeAntennaPairFamily();   // 17, antenna_family.cpp


inline constexpr uint8_t kSelectorType = 3;
inline constexpr uint8_t kInventoryType = 5;
inline constexpr uint8_t kFilterType = 6;
inline constexpr uint8_t kAccessType = 7;
inline constexpr uint8_t kScheduleType = 11;
inline constexpr uint8_t kPairType = 17;

inline constexpr uint8_t kTagFilter = 6;  // item type of a tag filter
inline constexpr uint8_t kTagData = 7;    // item type of tag data

// Result codes of the checks (item 255).
inline constexpr int16_t kMalformed = UEMU_RESULT_MALFORMED;           // an item of the wrong type or shape
inline constexpr int16_t kNoSuchObject = UEMU_RESULT_UNKNOWN_INSTANCE;  // a reference to an object not there
inline constexpr int16_t kOutOfRange = UEMU_RESULT_OUT_OF_RANGE;        // a value outside its range
inline constexpr int16_t kRefused = UEMU_RESULT_REFUSED;

// ---- the tag field of one reader -------------------------------------------------

// Guarded by the reader's lock: reach it inside a hook or Services::WithStore.
struct TagPath {
    explicit TagPath(const FieldConfig &config) : field(config) {}
    TagField field;
};

// The reader's tag path, made from its configuration on first use. Throws
// std::invalid_argument when the tag field block is out of range (so that
// uemu_Create fails).
std::shared_ptr<TagPath> TagPathOf(Services &services);

// ---- reading items ----------------------------------------------------------------

struct Ref {
    uint8_t type = 0;
    uint8_t instance = 0;
};

// The kept item `id`, viewed in place (valid while `properties` is unchanged).
std::optional<ItemView> StoredItem(const PropertySet &properties, uint8_t id);

// The value of an Int8, Int16 or Int32 item.
std::optional<uint32_t> Number(const ItemView &item);
std::optional<Ref> Reference(const ItemView &item);

// Kept item `id` read as `read` does: nothing when absent; `bad` set when it
// is there with another type.
std::optional<uint32_t> StoredNumber(const PropertySet &properties, uint8_t id, bool &bad);
std::optional<Ref> StoredReference(const PropertySet &properties, uint8_t id, bool &bad);

// The elements of a List item (count byte, then items); nothing when the
// count does not match the elements.
std::optional<std::vector<ItemView>> ListElements(const ItemView &list);

// The instances of a list of object references to `type`, each of which must
// exist in `table` (null: not checked). 0 or the result code.
int16_t ReferenceList(const ItemView &list, uint8_t type, const ObjectTable *table, Bytes &instances);

// A TagData item: header byte, header word, bit count, the bits.
void PutTagData(Bytes &out, uint8_t id, uint8_t headerByte, uint32_t headerWord, ByteView bits);

// ---- tag filters --------------------------------------------------------------------
//
// A tag filter compares `bits` bits of `data` with the tag's memory bank
// `bank` (the filter byte) from bit `pointer` (the filter word); a mask bit
// of 0 leaves its data bit out of the comparison, and data bits past the
// mask's end are compared. The low 3 bits of the flags say what a match and
// a non-match do to the tag's selected flag, as a Gen2 Select's action.

struct TagFilterRule {
    uint8_t bank = 0;
    uint32_t pointer = 0;
    uint8_t flags = 0;
    uint16_t bits = 0;
    Bytes data;
    Bytes mask;

    bool Matches(const Tag &tag) const;
    // The selected flag after this filter, from `selected` before it.
    bool Apply(const Tag &tag, bool selected) const;
};

// A selector's or tag filter specification's list in order: tag filters, and
// Int8 values that set every tag's selected flag (0: not selected, else
// selected) before the filters that follow. A list with no element selects
// every tag; otherwise the flag starts cleared.
class FilterProgram {
public:
    // 0, or the result code for a list that is not one.
    int16_t Parse(const ItemView &list);
    bool Selects(const Tag &tag) const;
    size_t size() const { return steps_.size(); }

private:
    struct Step {
        std::optional<bool> preset;
        TagFilterRule rule;
    };
    std::vector<Step> steps_;
};

// ---- what each family keeps in Object::state ---------------------------------------

struct FilterState : FamilyState {
    FilterProgram program;
};

struct InventoryState : FamilyState {
    uint16_t format = 517;       // item 0: 1 asks for the EPC alone
    uint8_t session = 0;         // item 2: 0 reports a tag every round
    std::optional<Ref> antenna;  // item 1, when it names an antenna or a pair
    Bytes selectors;             // item 3
    bool hasSelectors = false;
    uint8_t accessGroup = 0;     // item 21
    uint8_t inventoryType = 0;   // item 23: 1 adds the TID (item 22)
    // Statistics (items 5 to 11), which the engine keeps and a set keeps too.
    uint32_t reports = 0;      // since creation
    uint32_t rounds = 0;       // since creation
    uint16_t distinct = 0;     // tags reported in the current or last run
    uint16_t leftOut = 0;      // tags its selectors left out in the last round
    uint8_t lastAntenna = 0;   // of the last report
    int16_t lastRssi = 0;
};

inline constexpr uint16_t kFormatGen2 = 517;  // PC, XPC words, EPC, CRC
inline constexpr uint16_t kFormatEpc = 1;     // the EPC alone

struct AccessState : FamilyState {
    bool enabled = false;               // item 0 not 0
    std::optional<Bytes> inventories;   // item 1
    std::optional<Bytes> antennas;      // item 2
    uint8_t filter = 0;                 // item 3 (0: none)
    uint8_t operation = 0;              // item 4: 0 read, 1 write
    uint32_t pointer = 0;               // item 5: first word
    uint8_t bank = UEMU_BANK_USER;      // item 6
    uint8_t count = 0;                  // item 13: words to read (0: to the end)
    std::optional<Bytes> data;          // item 7, cut to item 8
    uint8_t group = 0;                  // item 14 (0: any inventory)
};

inline constexpr uint8_t kAccessRead = 0;
inline constexpr uint8_t kAccessWrite = 1;

struct PairState : FamilyState {
    uint8_t transmit = 0;  // item 0
    uint8_t receive = 0;   // item 1 (0: the transmit antenna)
    uint16_t power = 0;    // item 2 (0: the transmit antenna's default)
    Bytes more;            // item 3: further receive antennas
};

// One entry of a schedule as the engine runs it.
struct ScheduleStep {
    enum class Kind { kAntenna, kPair, kInventory } kind;
    uint8_t instance;
};

struct ScheduleState : FamilyState {
    std::vector<ScheduleStep> steps;
    uint32_t durationMs = 0;     // value code 0
    uint32_t reportLimit = 0;    // code 1
    uint32_t passLimit = 0;      // code 2
    uint32_t distinctLimit = 0;  // code 3
};

// Value entries of a schedule: the high 16 bits say what the low 16 bits are.
inline constexpr uint32_t kValueDuration = 0;
inline constexpr uint32_t kValueReports = 1;
inline constexpr uint32_t kValuePasses = 2;
inline constexpr uint32_t kValueDistinct = 3;

template <typename State>
State *StateOf(Context &context, uint8_t type, uint8_t instance) {
    ObjectTable *table = context.Table(type);
    return table == nullptr ? nullptr : StateOf<State>(table->Find(instance));
}

// Add and set of a family that keeps state: the kept items with `items`
// merged in are read by `read` into a new state; only when it returns 0 do
// items and state change. `read` gets the merged items and the old state
// (null at an add).
using ReadState = std::function<int16_t(Context &, const PropertySet &, const FamilyState *,
                                        std::unique_ptr<FamilyState> &)>;
int16_t MergeAndRead(Context &context, const Items &items, Object &object, const ReadState &read);

// A tag path family that keeps state read from its items.
class StatefulFamily : public Family {
public:
    int16_t Add(Context &context, const Request &request, Object &created, Reply &) override {
        return MergeAndRead(context, request.items, created, reader());
    }
    int16_t SetProperties(Context &context, const Request &request, Object &object) override {
        return MergeAndRead(context, request.items, object, reader());
    }

protected:
    virtual ReadState reader() = 0;
};

// ---- what the engine asks of the access family (access_family.cpp) ---------------------

// Where and how a tag was seen.
struct Sighting {
    uint32_t tag = 0;          // index in the field
    uint8_t inventory = 0;
    uint8_t accessGroup = 0;   // the inventory's
    uint8_t antenna = 0;       // the receiving antenna
};

// Runs `access` (instance `instance`) on the tag of `seen` and raises its
// data complete (read) or complete (write) event.
void RunAccess(Context &context, TagField &field, uint8_t instance, const AccessState &access,
               const Sighting &seen);
// Whether `access` applies to the tag of `seen`.
bool AccessApplies(Context &context, const TagField &field, const AccessState &access,
                   const Sighting &seen);

}  // namespace uemu
