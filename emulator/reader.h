// emulator/reader.h - the emulated reader's core: processors, links, the
// object store, event registrations, and the routing of every message.
//
// One lock (`mu_`) guards everything the reader keeps: the directory of
// processors, the links' state, the object tables, the event registrations
// and the outstanding IOCTL requests. It is never held while a transport is
// called, a block is allocated, the log hook or a link hook runs, or a thread
// waits (condition variable waits release it). Work done under the lock puts
// what it has to send into an Outbox; the Outbox is flushed after the lock
// is released, responses first, then events, then log lines. Outboxes are
// flushed in the order they were filled, whichever thread fills and flushes
// them, so each link sees messages in the order the reader produced them
// (a stop request's stop event never overtakes the start event of the run
// that the engine begins after it).
//
// A link is kept from being released while anything may still call its
// transport: each entry put in an Outbox (and each hook call) counts as one
// `inflight` use of its link, and uemu_Detach waits for the count to reach 0
// after it has stopped new uses (`attached` false).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "family.h"
#include "wire.h"
#include "uemu.h"

namespace uemu {

// The link thread's receive time-out, which bounds how long a detach waits
// for the thread; the probing interval of a link that went down; receive
// failures in a row that count as a lost link, and the pause after each.
inline constexpr uint32_t kReceiveTimeoutMs = 200;
inline constexpr uint32_t kProbeIntervalMs = 200;
inline constexpr uint32_t kMaxReceiveFailures = 50;
inline constexpr uint32_t kFailurePauseMs = 100;

// Message ids of requests the reader sends (IOCTL) are 1 to 63 per link.
inline constexpr uint8_t kMaxRequestId = 63;

// The largest IOCTL request: the body also holds item 254 and item 1's
// header and length.
inline constexpr uint32_t kMaxIoctlRequest = kMaxBody - kTimestampItemSize - 3;

class Reader;

// A request the reader sent and waits for (uemu_SendIoctl).
struct PendingRequest {
    enum class State { kWaiting, kAnswered, kLost };
    uint8_t id = 0;
    State state = State::kWaiting;
    Bytes body;  // the response's body, once answered
};

}  // namespace uemu

// A link as the C interface hands it out.
struct uemu_Link {
    uemu::Reader *reader = nullptr;
    Transport *transport = nullptr;
    uemu_LinkHooks hooks{};
    std::string name;
    std::thread thread;
    // Guarded by the reader's lock.
    bool attached = true;  // false from uemu_Detach on: no new uses
    bool stop = false;     // asks the thread to end
    bool serving = true;   // false between a lost link and a successful probe
    int inflight = 0;      // uses of the transport or hooks in progress
    uint8_t nextRequestId = 1;
    std::map<uint8_t, uemu::PendingRequest *> pending;
};

namespace uemu {

struct Processor {
    uint8_t id = 0;
    std::string name;
    Bytes types;               // provided object types, in registration order
    uemu_Link *link = nullptr; // null for the reader's own processors
    uint64_t sequence = 0;     // registration order, for the find flag
};

// What one processor chose for one object type and instance (0: the type).
struct Registration {
    uint32_t selected = 0;  // event types decided by this registration
    uint32_t enabled = 0;   // of those, the enabled ones
    Bytes properties;       // property item ids attached to its events
};
using RegistrationKey = std::tuple<uint8_t, uint8_t, uint8_t>;  // processor, type, instance

// One object type the reader serves.
struct TypeSlot {
    uint8_t owner = 0;  // processor id
    std::unique_ptr<Family> family;
    ObjectTable table;
    TypeSlot(uint8_t ownerId, std::unique_ptr<Family> f, uint8_t type)
        : owner(ownerId), family(std::move(f)), table(type) {}
};

// What work under the lock has to send or log once the lock is released.
struct Outbox {
    struct Entry {
        uemu_Link *link = nullptr;
        Bytes frame;
        MessageBlock *block = nullptr;  // a forwarded message, sent as it came
    };
    std::vector<Entry> responses;
    std::vector<Entry> events;
    std::vector<std::string> lines;
    // Places in the reader's send order of the first and the last entry
    // queued (0: nothing to send).
    uint64_t first = 0;
    uint64_t last = 0;
};

class Reader final : public Services {
public:
    explicit Reader(const uemu_Config &config);
    ~Reader() override;
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    // Starts the families; called once after construction.
    void Start();

    int32_t Attach(Transport *endpoint, const uemu_LinkHooks *hooks, uemu_Link **out);
    int32_t Detach(uemu_Link *link);
    uemu_Link *FindLink(uint8_t processorId);
    int32_t CallHook(uemu_Link *link, bool drop);
    int32_t LinkIsServing(uemu_Link *link);

    int32_t SendEvent(uint8_t objectType, uint8_t eventType, uint8_t instance, ByteView body);
    int32_t SendEventTo(uint8_t processorId, uint8_t objectType, uint8_t eventType,
                        uint8_t instance, ByteView body);
    int32_t SendIoctl(uint8_t processorId, uint8_t command, ByteView request, uint8_t *response,
                      uint32_t capacity, uint16_t *responseLength, uint8_t *status,
                      uint32_t timeoutMs);

    int32_t GetProcessors(uemu_ProcessorInfo *out, uint32_t capacity, uint32_t *count);
    int32_t GetEventRegistrations(uemu_EventRegistration *out, uint32_t capacity, uint32_t *count);
    int32_t GetInstances(uint8_t objectType, uint8_t *out, uint32_t capacity, uint32_t *count);
    int32_t GetObjectProperties(uint8_t objectType, uint8_t instance, uint8_t *out,
                                uint32_t capacity, uint32_t *length);

    // Services (also what the C interface uses).
    uint32_t Now() const override;
    int32_t RaiseEvent(uint8_t objectType, uint8_t eventType, uint8_t instance,
                       ByteView body) override;
    void WithStore(const std::function<void(Context &)> &work) override;
    void Log(std::string line) override;
    const uemu_Config &Config() const override { return config_; }
    std::shared_ptr<void> Shared(const std::string &key,
                                 const std::function<std::shared_ptr<void>()> &make) override;

private:
    class HookContext;
    friend class HookContext;

    // ---- links (reader.cpp) ----
    void Serve(uemu_Link *link);
    void LinkLost(uemu_Link *link, const char *why);
    void Route(uemu_Link *link, MessageBlock *block);
    void HandleRequest(uemu_Link *link, const Header &h, ByteView body, MessageBlock *&block,
                       Outbox &out);
    void HandleResponse(uemu_Link *link, const Header &h, ByteView body, MessageBlock *&block,
                        Outbox &out);
    void Forward(const Header &h, MessageBlock *&block, Outbox &out);
    bool Queue(Outbox &out, std::vector<Outbox::Entry> Outbox::*lane, uemu_Link *link, Bytes frame);
    // Gives the entry being queued in `out` its place in the send order.
    void Stamp(Outbox &out);
    // Sends everything in `out`, after every Outbox filled before it;
    // returns the number of sends that failed.
    int Flush(Outbox &out);
    void WaitIdle(std::unique_lock<std::mutex> &lock, uemu_Link *link);
    bool IsLink(const uemu_Link *link) const;
    void Shutdown();

    // ---- the delivery processor (delivery.cpp) ----
    void DeliveryRequest(uemu_Link *link, const Header &h, ByteView body, Outbox &out);
    int16_t Register(uemu_Link *link, const Items &items, Reply &reply, Outbox &out);
    int16_t Deregister(uemu_Link *link, uint8_t id, Outbox &out);
    int16_t Search(const Items &items, bool byName, Reply &reply);
    int16_t DescribeProcessor(uint8_t id, Reply &reply);
    void RemoveProcessor(uint8_t id, Outbox &out);
    void ProcessorEvent(uint8_t eventType, const Processor &subject, Outbox &out);
    uint8_t NextProcessorId();
    void AddInternalProcessor(uint8_t id, const char *name, const Bytes &types);

    // ---- object processors and events (objects.cpp) ----
    void ObjectRequest(uemu_Link *link, const Header &h, ByteView body, Outbox &out);
    int16_t ObjectCommand(uemu_Link *link, const Header &h, ByteView body, Reply &reply,
                          Outbox &out);
    int16_t EventRegistration(uemu_Link *link, const Header &h, const Items &items,
                              ObjectTable &table);
    int16_t EventProperties(uemu_Link *link, const Header &h, const Items &items,
                            ObjectTable &table);
    bool Enabled(uint8_t processor, uint8_t type, uint8_t eventType, uint8_t instance) const;
    int RaiseLocked(uint8_t objectType, uint8_t eventType, uint8_t instance, ByteView body,
                    std::optional<uint8_t> only, Outbox &out);
    Bytes EventBody(uint8_t processor, uint8_t type, uint8_t instance, ByteView body) const;
    void DropRegistrations(std::optional<uint8_t> processor, std::optional<uint8_t> type,
                           std::optional<uint8_t> instance);

    void Respond(uemu_Link *link, const Header &request, int16_t result, Reply &reply,
                 Outbox &out);
    bool IsClientOn(uint8_t processor, const uemu_Link *link) const;
    TypeSlot *Slot(uint8_t objectType);

    uemu_Config config_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();

    mutable std::mutex mu_;
    std::condition_variable changed_;  // inflight, pending, stop, callers
    bool closing_ = false;
    int callers_ = 0;  // uemu_SendIoctl calls inside
    std::map<uint8_t, Processor> processors_;
    std::list<std::unique_ptr<uemu_Link>> links_;
    std::map<RegistrationKey, Registration> registrations_;
    std::map<uint8_t, std::unique_ptr<TypeSlot>> slots_;
    uint8_t nextId_ = UEMU_FIRST_CLIENT_ID;
    uint64_t sequence_ = 0;
    uint64_t stamped_ = 0;  // entries given a place in the send order
    // The send order: Outboxes leave in the order they were filled, whichever
    // thread flushes them. A leaf lock, never held with mu_.
    std::mutex orderMu_;
    std::condition_variable orderTurn_;
    uint64_t sentUpTo_ = 0;  // every place up to this one has been sent
    // What families share (Services::Shared); a leaf lock of its own.
    std::mutex sharedMu_;
    std::map<std::string, std::shared_ptr<void>> shared_;
};

// What a family hook reaches while the lock is held: events and log lines
// go to the Outbox of the request being handled.
class Reader::HookContext final : public Context {
public:
    HookContext(Reader &reader, Outbox &out) : r_(reader), out_(out) {}
    uint32_t Now() const override { return r_.Now(); }
    void RaiseEvent(uint8_t objectType, uint8_t eventType, uint8_t instance,
                    ByteView body) override {
        r_.RaiseLocked(objectType, eventType, instance, body, std::nullopt, out_);
    }
    ObjectTable *Table(uint8_t objectType) override {
        TypeSlot *s = r_.Slot(objectType);
        return s != nullptr ? &s->table : nullptr;
    }
    void Log(std::string line) override { out_.lines.push_back(std::move(line)); }

private:
    Reader &r_;
    Outbox &out_;
};

// A log line, printf-style, cut at 255 characters.
std::string Format(const char *format, ...) __attribute__((format(printf, 1, 2)));

// The object types each of the reader's processors owns.
const Bytes &ReaderProcessorTypes();
const Bytes &IoProcessorTypes();

}  // namespace uemu

struct uemu_Reader {
    explicit uemu_Reader(const uemu_Config &config) : reader(config) {}
    uemu::Reader reader;
};
