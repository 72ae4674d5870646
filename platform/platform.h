// platform/platform.h - the operating-system services the library uses.
//
// The library was shaped around a small kernel's services (critical sections,
// auto-reset events, counting semaphores, threads, a millisecond tick,
// libraries loaded at run time). This header states the contract of each as
// the library relies on it; posix.cpp, sync.cpp and dynload.cpp implement it.
// Nothing above this folder touches pthreads, clocks or the dynamic linker.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace ulmot::plat {

// A critical section. Not recursive. Constant-initialised, so a Mutex with
// static storage is usable before any constructor runs and is never destroyed
// while the process lives. Lock and unlock never fail.
class Mutex {
public:
    constexpr Mutex() = default;
    Mutex(const Mutex &) = delete;
    Mutex &operator=(const Mutex &) = delete;

    void lock() { m_.lock(); }
    void unlock() { m_.unlock(); }

private:
    std::mutex m_;
};

// Holds a Mutex for the lifetime of the guard.
class Lock {
public:
    explicit Lock(Mutex &m) : m_(m) { m_.lock(); }
    ~Lock() { m_.unlock(); }
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;

private:
    Mutex &m_;
};

// Result of every wait, with the device kernel's values, so that log lines
// print what the device would print.
enum WaitResult : uint32_t {
    kWaitSignaled = 0,          // the (first) object was signalled
    kWaitSignaledSecond = 1,    // WaitAny: the second event was signalled
    kWaitTimeout = 0x102,       // the time-out passed first
    kWaitFailed = 0xFFFFFFFFu,  // the object was shut down or the wait failed
};

// Waits with this time-out never time out.
inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// What events wait on. Two events that are waited on together (WaitAny)
// must share one EventGroup; a lone event uses its own.
class EventGroup {
public:
    EventGroup() = default;
    EventGroup(const EventGroup &) = delete;
    EventGroup &operator=(const EventGroup &) = delete;

private:
    friend class Event;
    std::mutex m_;
    std::condition_variable cv_;
    std::atomic<uint32_t> waiters_{0};  // threads inside a slow wait; a Set without one notifies nobody
};

// An auto-reset event, created non-signalled: Set() lets exactly one wait
// through (the first waiter, or the next one to wait), then it is
// non-signalled again. Setting a signalled event changes nothing. A wait that
// finds the event set, a set that finds nobody waiting and a reset take no
// lock: the state is atomic, and the group's lock serves only sleepers.
class Event {
public:
    Event() : group_(&own_) {}
    explicit Event(EventGroup &group) : group_(&group) {}
    Event(const Event &) = delete;
    Event &operator=(const Event &) = delete;

    void Set();
    void Reset();
    // kWaitSignaled (and the event is reset) or kWaitTimeout.
    WaitResult Wait(uint32_t timeoutMs);
    // Waits for whichever of two events of one group is set first; resets
    // only that one. kWaitSignaled for `a`, kWaitSignaledSecond for `b`,
    // kWaitTimeout, or kWaitFailed when they are not of one group.
    static WaitResult WaitAny(Event &a, Event &b, uint32_t timeoutMs);

private:
    // Takes the signal when it is there; true when it was.
    bool Take();

    EventGroup own_;
    EventGroup *group_;
    std::atomic<bool> signaled_{false};
};

// A counting semaphore with a maximum. A wait that finds a count and a
// release that finds nobody waiting take no lock: the count is atomic, and
// the lock and condition variable serve only the threads that must sleep.
class Semaphore {
public:
    Semaphore(uint32_t initial, uint32_t maximum) : count_(initial), max_(maximum) {}
    Semaphore(const Semaphore &) = delete;
    Semaphore &operator=(const Semaphore &) = delete;

    // Takes one count: kWaitSignaled, kWaitTimeout, or kWaitFailed once the
    // semaphore has been shut down.
    WaitResult Wait(uint32_t timeoutMs);
    // Adds `count`; false (nothing added) when that would pass the maximum.
    bool Release(uint32_t count = 1);
    // Every wait, current and future, returns kWaitFailed.
    void Shutdown();

private:
    // Takes one count when there is one.
    bool TryTake();

    std::mutex m_;
    std::condition_variable cv_;
    std::atomic<uint32_t> count_;
    const uint32_t max_;
    std::atomic<uint32_t> sleepers_{0};  // threads inside the slow wait
    std::atomic<bool> shutdown_{false};
};

// A thread whose end can be awaited with a time-out. There is no forced
// termination: a thread that does not end in time can only be detached,
// and whatever it uses must then outlive it.
class Thread {
public:
    Thread() = default;
    ~Thread();
    Thread(const Thread &) = delete;
    Thread &operator=(const Thread &) = delete;

    // Runs entry(argument) on a new thread. False when none could be made.
    bool Start(void (*entry)(void *), void *argument);
    // kWaitSignaled once the thread has ended (it is then joined), or
    // kWaitTimeout. kWaitFailed when no thread was started.
    WaitResult Join(uint32_t timeoutMs);
    // Lets a running thread finish on its own.
    void Detach();
    bool Running() const { return state_ != nullptr; }
    // True on the thread itself.
    bool IsCurrent() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

// Suspends the calling thread for at least `ms` milliseconds. 0 yields.
void SleepMs(uint32_t ms);

// Milliseconds from an arbitrary fixed point, monotonic, wrapping at 2^32.
uint32_t TickCountMs();

// The kernel's identifier of the calling thread (as the line prefix of
// ulmot_Debug shows it).
unsigned long CurrentThreadId();

// ---- Dynamic libraries ---------------------------------------------------------

// A shared library loaded at run time (opaque).
struct Library;

// Loads the library known by the bare name `name` (on Linux the file
// "lib<name>.so", found the way the dynamic linker finds libraries for
// libulmot: LD_LIBRARY_PATH, libulmot's own RUNPATH (its directory), the
// cache, the default directories) with every symbol
// resolved at once and none made global. Null when it cannot be found or
// loaded, or when the name is longer than kLibraryNameMax; the reason is not
// reported. Loading a library that is already loaded returns the same
// library. Libraries are never unloaded: a Library and the procedures found
// in it stay valid for the life of the process. Safe from any thread.
inline constexpr uint32_t kLibraryNameMax = 200;
Library *LoadLibrary(const char *name);

// A procedure found in a library, as a generic function pointer: the caller
// converts it to the procedure's real type before calling it.
using Procedure = void (*)();

// The exported function `symbol` of `library`; null when the library exports
// no such name, or `library` is null. Safe from any thread.
Procedure GetProcedure(Library *library, const char *symbol);

}  // namespace ulmot::plat
