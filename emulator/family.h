// emulator/family.h - how an object family plugs into the emulated reader.
//
// The core (reader.cpp) owns the processors, the links, the event
// registrations and one ObjectTable per object type. It serves the generic
// commands 0 to 6 itself, and asks the type's Family at each step where a
// reader object can behave on its own:
//
//   Populate       the preset instances (antennas 1..N, radio 1, ...)
//   Add            check and fill a new object from the creation items
//   Remove         agree to a removal, stop what the object runs
//   SetProperties  take the items of a set (default: merge by item id)
//   GetProperties  answer a get (default: every stored item)
//   ObjectCommand  commands 100 and 101 of the type (start a schedule, a
//                  CTI request, write all GPOs...)
//   Start / Stop   a family thread's life (a running schedule reporting tags)
//
// Every hook but Start and Stop runs on a link thread with the reader's lock
// held: it must not block, wait, call a transport or take another lock that
// a family thread holds while calling Services. It raises events through its
// Context, which keeps them until the lock is released and the response has
// been sent, then sends each to the processors that enabled it (the same
// rules as uemu_SendEvent). Hooks return a result code for item 255
// (UEMU_RESULT_..., or a family's own positive code); anything but 0 leaves
// the store as it was before the request.
//
// A family thread (started by Start) reaches the store and raises events
// only through Services, which takes the lock for it.
//
// MakeFamily (families.cpp) says which Family serves each object type: the
// table that the families fill in, so the core never names one.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "wire.h"
#include "uemu.h"

namespace uemu {

// Properties of one object: typed items kept as they travel (header and
// value), one per item id. Item ids 254 and 255 (time stamp and result) are
// never kept.
class PropertySet {
public:
    // Keeps `item` under its id, replacing an item with the same id. Returns
    // false (keeping nothing) for ids 254 and 255.
    bool Put(const ItemView &item);
    void PutInt8(uint8_t id, uint8_t value);
    void PutInt16(uint8_t id, uint16_t value);
    void PutInt32(uint8_t id, uint32_t value);
    void PutByteArray(uint8_t id, ByteView bytes);

    // The item kept under `id` (header and value), or null.
    const Bytes *Get(uint8_t id) const;
    bool Erase(uint8_t id);

    // Bytes of every kept item together.
    uint32_t EncodedSize() const;
    // Appends every kept item, in ascending item id.
    void AppendTo(Bytes &out) const;

    const std::map<uint8_t, Bytes> &items() const { return items_; }

private:
    std::map<uint8_t, Bytes> items_;
};

// A family's own per-object state (a running inventory, a schedule's list).
struct FamilyState {
    virtual ~FamilyState() = default;
};

struct Object {
    uint8_t instance = 0;
    bool preset = false;  // exists from creation on
    PropertySet properties;
    std::unique_ptr<FamilyState> state;
};

// The objects of one type, by instance (1 to 255).
class ObjectTable {
public:
    explicit ObjectTable(uint8_t objectType) : type_(objectType) {}

    uint8_t type() const { return type_; }
    Object *Find(uint8_t instance);
    const Object *Find(uint8_t instance) const;
    // The lowest free instance number from 1, or 0 when all 255 are taken.
    uint8_t LowestFree() const;
    // Inserts an object under `instance` (which must be free) and returns it.
    Object &Insert(uint8_t instance, bool preset);
    bool Erase(uint8_t instance);

    const std::map<uint8_t, Object> &objects() const { return objects_; }
    std::map<uint8_t, Object> &objects() { return objects_; }

private:
    uint8_t type_;
    std::map<uint8_t, Object> objects_;
};

// A request as a hook sees it. `items` are views into the request block,
// valid during the hook only.
struct Request {
    uint8_t source = 0;  // requesting processor id
    uint8_t command = 0;
    uint8_t objectType = 0;
    uint8_t instance = 0;  // header instance
    const Items &items;
};

// What a hook adds to the response: items after the result item, and the
// header's instance byte.
class Reply {
public:
    explicit Reply(uint8_t instance) : instance_(instance) {}

    ItemWriter Items() { return ItemWriter(body_); }
    Bytes &body() { return body_; }
    void SetInstance(uint8_t instance) { instance_ = instance; }
    uint8_t instance() const { return instance_; }

private:
    Bytes body_;
    uint8_t instance_;
};

// What a hook may do besides answering. Valid during the hook only.
class Context {
public:
    virtual ~Context() = default;
    // The reader's clock (milliseconds, as item 254 carries it).
    virtual uint32_t Now() const = 0;
    // Raises an event (item 254 is put in front of `body`); it is sent after
    // the response, to the processors that enabled it.
    virtual void RaiseEvent(uint8_t objectType, uint8_t eventType, uint8_t instance,
                            ByteView body) = 0;
    // The objects of another type (null when the reader does not serve it),
    // e.g. to check that a referenced inventory specification exists.
    virtual ObjectTable *Table(uint8_t objectType) = 0;
    // A line for the log hook, written after the lock is released.
    virtual void Log(std::string line) = 0;
};

// What a family thread may do.
class Services {
public:
    virtual ~Services() = default;
    virtual uint32_t Now() const = 0;
    // Raises an event as uemu_SendEvent does; returns the number of
    // processors it went to. Takes the reader's lock: never call it from a hook.
    virtual int32_t RaiseEvent(uint8_t objectType, uint8_t eventType, uint8_t instance,
                               ByteView body) = 0;
    // Runs `work` with the reader's lock held; events it raises through the
    // Context are sent after the lock is released.
    virtual void WithStore(const std::function<void(Context &)> &work) = 0;
    virtual void Log(std::string line) = 0;
    // The configuration the reader was created with (a family copies what it
    // needs in Start, before any link is served).
    virtual const uemu_Config &Config() const = 0;
    // State that several families of this reader share (the tag field, which
    // the schedule, antenna and inventory families and the uemu_ queries all
    // reach): the object kept under `key`, made by `make` on the first call
    // and kept until the reader is released. Takes a lock of its own, never
    // the reader's, so a hook may call it too; what the object holds is
    // guarded as its family says.
    virtual std::shared_ptr<void> Shared(const std::string &key,
                                         const std::function<std::shared_ptr<void>()> &make) = 0;
};

class Family {
public:
    virtual ~Family() = default;

    // Creates the preset instances 1..`count` (default: empty properties).
    virtual void Populate(ObjectTable &table, uint8_t count);

    // `created` has its instance and no properties yet; default: keep every
    // creation item as a property. Non-zero: the object is not created.
    virtual int16_t Add(Context &context, const Request &request, Object &created, Reply &reply);

    // Default: refuses preset instances (UEMU_RESULT_REFUSED). Zero: the core
    // erases the object and the event registrations for it.
    virtual int16_t Remove(Context &context, const Request &request, Object &object);

    // Default: merges the items into the properties by item id.
    virtual int16_t SetProperties(Context &context, const Request &request, Object &object);

    // Default: every stored property item, ascending by item id.
    virtual int16_t GetProperties(Context &context, const Request &request, const Object &object,
                                  Reply &reply);

    // Commands 100 and 101, with the header's instance as given (the core does
    // not check it). Default: UEMU_RESULT_UNKNOWN_COMMAND.
    virtual int16_t ObjectCommand(Context &context, const Request &request, ObjectTable &table,
                                  Reply &reply);

    // Start is called once when the reader is created (after Populate), Stop
    // once when it is destroyed, before its links are detached (also when
    // creation failed before Start); no lock held. Stop must end every
    // thread that Start began: Services is gone afterwards.
    virtual void Start(Services &services);
    virtual void Stop();
};

// The plain store: every hook as the defaults above.
class StoreFamily : public Family {};

// The family that serves `objectType` (families.cpp).
std::unique_ptr<Family> MakeFamily(uint8_t objectType);

// Properties of one object are capped so that a get response (result item
// and every property) fits one block.
inline constexpr uint32_t kMaxPropertyBytes = kMaxBody - kResultItemSize;

}  // namespace uemu
