// The fault wrapper: forwards to an inner transport and applies the scripted
// faults of each direction to the messages that pass.
//
// One lock guards the scripts, the counts and every held message. It is never
// held while the inner transport is called, so a slow inner send or a long
// inner receive stalls nobody else. The receiver waits on the inner transport
// in short slices: between two slices it delivers delayed messages that came
// due and notices a termination, which an inner receive cannot be woken for.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>

#include "face.h"
#include "ring.h"
#include "utr.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint32_t kFaultMagic = 0x75746631u;  // "utf1"

// Longest single wait on the inner receive: how late a receiver already
// waiting may learn of a termination or a delayed message that came due.
constexpr milliseconds kReceiveSlice{10};

struct FaultState;
using FaultFace = utr::detail::Face<FaultState, kFaultMagic>;

// One scripted action: how many more matching messages it takes.
struct Action {
    uint32_t remaining = 0;
    uint32_t match = UTR_MATCH_ANY;
    uint32_t delayMs = 0;
};

struct Held {
    MessageBlock *block = nullptr;
    Clock::time_point due{};
};

struct Direction {
    Action fail;  // outbound only
    Action drop;
    Action delay;
    Action duplicate;
    Action reorder;
    utr_FaultStats stats{};
    utr::detail::Ring<Held> delayed;       // in order of entry; due times never decrease per delay
    MessageBlock *reorderHeld = nullptr;  // waits for the next message passed on at once
};

enum class Fate { Forward, Fail, Drop, Delay, Duplicate, Reorder };

struct FaultState {
    FaultFace face{};
    Transport *inner = nullptr;
    std::string name;
    std::mutex lock;
    std::condition_variable workerWake;
    std::thread worker;
    bool stopping = false;
    bool terminated = false;
    uint32_t failReceives = 0;
    int32_t failResult = ULMOT_ERR_FAILED;
    Direction dir[2];
    // Inbound messages to return before anything else: copies of duplicated
    // messages and reordered messages released by their successor.
    utr::detail::Ring<MessageBlock *> ready;
};

FaultState *StateOf(Transport *transport) { return FaultFace::StateOf(transport); }

// The UTR_MATCH_ value a message's type answers to; messages too short to
// have a type answer only to UTR_MATCH_ANY.
uint32_t TypeOf(const MessageBlock *block) {
    if (block->writePtr - block->readPtr < 3) return 0xFFu;
    return static_cast<uint32_t>(block->readPtr[ULMOT_HEADER_TYPE_ID] >> 6) + 1u;
}

bool Take(Action &action, uint32_t type) {
    if (action.remaining == 0) return false;
    if (action.match != UTR_MATCH_ANY && action.match != type) return false;
    --action.remaining;
    return true;
}

// Which action applies to `block`, counting it off that action's script.
// Caller holds the lock.
Fate Decide(Direction &d, const MessageBlock *block, bool outbound, uint32_t &delayMs) {
    const uint32_t type = TypeOf(block);
    if (outbound && Take(d.fail, type)) return Fate::Fail;
    if (Take(d.drop, type)) return Fate::Drop;
    if (Take(d.delay, type)) {
        delayMs = d.delay.delayMs;
        return Fate::Delay;
    }
    if (Take(d.duplicate, type)) return Fate::Duplicate;
    // While a message is held its successor must pass: that is what releases it.
    if (d.reorderHeld == nullptr && Take(d.reorder, type)) return Fate::Reorder;
    return Fate::Forward;
}

// Releases every held message of both directions, counting them as
// discarded. Caller holds the lock.
void DiscardHeld(FaultState *s) {
    for (auto &d : s->dir) {
        Held h;
        while (d.delayed.Pop(h)) {
            freemsg(h.block);
            ++d.stats.discarded;
        }
        if (d.reorderHeld != nullptr) {
            freemsg(d.reorderHeld);
            d.reorderHeld = nullptr;
            ++d.stats.discarded;
        }
    }
    MessageBlock *b = nullptr;
    while (s->ready.Pop(b)) {
        freemsg(b);
        ++s->dir[UTR_INBOUND].stats.discarded;
    }
}

// Sends delayed outbound messages when they come due, in order of entry.
void Worker(FaultState *s) {
    std::unique_lock<std::mutex> guard(s->lock);
    Direction &out = s->dir[UTR_OUTBOUND];
    while (!s->stopping) {
        if (out.delayed.Empty()) {
            s->workerWake.wait(guard);
            continue;
        }
        const Clock::time_point due = out.delayed.Front().due;
        if (Clock::now() < due) {
            s->workerWake.wait_until(guard, due);
            continue;
        }
        Held h;
        out.delayed.Pop(h);
        guard.unlock();
        s->inner->send(s->inner, h.block, 0);
        guard.lock();
    }
}

int32_t FaultSend(Transport *transport, MessageBlock *block, uintptr_t reserved) {
    FaultState *s = StateOf(transport);
    if (block == nullptr) return ULMOT_ERR_FAILED;
    if (s == nullptr) {
        freemsg(block);
        return ULMOT_ERR_FAILED;
    }
    Direction &d = s->dir[UTR_OUTBOUND];
    Fate fate = Fate::Forward;
    MessageBlock *copy = nullptr;
    MessageBlock *released = nullptr;
    {
        std::lock_guard<std::mutex> guard(s->lock);
        uint32_t delayMs = 0;
        fate = s->terminated ? Fate::Fail : Decide(d, block, true, delayMs);
        switch (fate) {
        case Fate::Fail:
            ++d.stats.failed;
            break;
        case Fate::Drop:
            ++d.stats.dropped;
            break;
        case Fate::Delay:
            if (d.delayed.Push(Held{block, Clock::now() + milliseconds(delayMs)})) {
                ++d.stats.delayed;
            } else {
                fate = Fate::Forward;
            }
            break;
        case Fate::Duplicate:
            copy = copymsg(block);
            if (copy == nullptr) fate = Fate::Forward;
            break;
        case Fate::Reorder:
            d.reorderHeld = block;
            ++d.stats.reordered;
            break;
        case Fate::Forward:
            break;
        }
        if (fate == Fate::Forward) ++d.stats.forwarded;
        if (fate == Fate::Duplicate) ++d.stats.duplicated;
        if (fate == Fate::Forward || fate == Fate::Duplicate) {
            released = d.reorderHeld;
            d.reorderHeld = nullptr;
        }
    }
    switch (fate) {
    case Fate::Fail:
        freemsg(block);
        return ULMOT_ERR_FAILED;
    case Fate::Drop:
        freemsg(block);
        return ULMOT_OK;
    case Fate::Delay:
        s->workerWake.notify_one();
        return ULMOT_OK;
    case Fate::Reorder:
        return ULMOT_OK;
    case Fate::Forward:
    case Fate::Duplicate:
        break;
    }
    const int32_t result = s->inner->send(s->inner, block, reserved);
    if (copy != nullptr) s->inner->send(s->inner, copy, reserved);
    if (released != nullptr) s->inner->send(s->inner, released, reserved);
    return result;
}

// Applies the inbound script to `block`, just received from the inner
// transport. True when `block` is to be returned now; otherwise the wrapper
// has taken it (held or released). Caller holds the lock.
bool ScriptInbound(FaultState *s, MessageBlock *block) {
    Direction &d = s->dir[UTR_INBOUND];
    uint32_t delayMs = 0;
    Fate fate = Decide(d, block, false, delayMs);
    switch (fate) {
    case Fate::Fail:  // outbound only; not reached
    case Fate::Drop:
        ++d.stats.dropped;
        freemsg(block);
        return false;
    case Fate::Delay:
        if (d.delayed.Push(Held{block, Clock::now() + milliseconds(delayMs)})) {
            ++d.stats.delayed;
            return false;
        }
        fate = Fate::Forward;
        break;
    case Fate::Reorder:
        d.reorderHeld = block;
        ++d.stats.reordered;
        return false;
    case Fate::Duplicate: {
        MessageBlock *copy = copymsg(block);
        if (copy != nullptr && s->ready.Push(copy)) {
            ++d.stats.duplicated;
        } else {
            if (copy != nullptr) freemsg(copy);
            fate = Fate::Forward;
        }
        break;
    }
    case Fate::Forward:
        break;
    }
    if (fate == Fate::Forward) ++d.stats.forwarded;
    if (d.reorderHeld != nullptr && s->ready.Push(d.reorderHeld)) d.reorderHeld = nullptr;
    return true;
}

int32_t FaultReceive(Transport *transport, MessageBlock **block, uint32_t timeoutMs) {
    FaultState *s = StateOf(transport);
    if (s == nullptr || block == nullptr) return ULMOT_ERR_INVALID;
    Direction &d = s->dir[UTR_INBOUND];
    const Clock::time_point deadline = Clock::now() + milliseconds(timeoutMs);
    bool polled = false;
    for (;;) {
        Clock::time_point nextDue = Clock::time_point::max();
        {
            std::lock_guard<std::mutex> guard(s->lock);
            if (s->terminated) return ULMOT_TRANSPORT_TERMINATED;
            if (s->failReceives > 0) {
                --s->failReceives;
                ++d.stats.failed;
                return s->failResult;
            }
            MessageBlock *b = nullptr;
            if (s->ready.Pop(b)) {
                *block = b;
                return ULMOT_OK;
            }
            if (!d.delayed.Empty()) {
                nextDue = d.delayed.Front().due;
                if (nextDue <= Clock::now()) {
                    Held h;
                    d.delayed.Pop(h);
                    *block = h.block;
                    return ULMOT_OK;
                }
            }
        }
        const Clock::time_point now = Clock::now();
        if (polled && now >= deadline) return ULMOT_TRANSPORT_TIMEOUT;
        // A time-out of 0 still asks the inner transport once.
        const Clock::time_point until = std::min({deadline, nextDue, now + kReceiveSlice});
        const auto slice = std::chrono::ceil<milliseconds>(std::max(until - now, Clock::duration::zero()));
        MessageBlock *b = nullptr;
        const int32_t result = s->inner->receive(s->inner, &b, static_cast<uint32_t>(slice.count()));
        polled = true;
        if (result == ULMOT_TRANSPORT_TIMEOUT) continue;
        if (result != ULMOT_OK) return result;
        std::lock_guard<std::mutex> guard(s->lock);
        if (s->terminated) {
            // Arrived on a link that is down as far as our users know.
            freemsg(b);
            ++d.stats.discarded;
            return ULMOT_TRANSPORT_TERMINATED;
        }
        if (ScriptInbound(s, b)) {
            *block = b;
            return ULMOT_OK;
        }
    }
}

int32_t FaultProbe(Transport *transport) {
    FaultState *s = StateOf(transport);
    if (s == nullptr) return ULMOT_ERR_INVALID;
    {
        std::lock_guard<std::mutex> guard(s->lock);
        if (s->terminated) return ULMOT_ERR_FAILED;
    }
    return s->inner->probe != nullptr ? s->inner->probe(s->inner) : ULMOT_OK;
}

bool ValidDirection(uint32_t direction) { return direction == UTR_OUTBOUND || direction == UTR_INBOUND; }
bool ValidMatch(uint32_t match) { return match <= UTR_MATCH_EVENT; }

// Sets one action of `direction` under the lock.
int32_t Script(Transport *fault, uint32_t direction, uint32_t match, Action Direction::*which,
               uint32_t count, uint32_t delayMs = 0) {
    FaultState *s = StateOf(fault);
    if (s == nullptr || !ValidDirection(direction) || !ValidMatch(match)) return ULMOT_ERR_INVALID;
    std::lock_guard<std::mutex> guard(s->lock);
    s->dir[direction].*which = Action{count, match, delayMs};
    return ULMOT_OK;
}

}  // namespace

extern "C" {

Transport *utr_FaultCreate(Transport *inner, const char *name) {
    if (inner == nullptr || inner->send == nullptr || inner->receive == nullptr) return nullptr;
    FaultState *s = nullptr;
    try {
        s = new FaultState();
        s->inner = inner;
        s->name = name != nullptr ? name : (inner->name != nullptr ? inner->name : "fault");
        for (auto &d : s->dir) {
            if (!d.delayed.Init(UTR_FAULT_HOLD_CAPACITY)) throw std::bad_alloc();
        }
        if (!s->ready.Init(UTR_FAULT_HOLD_CAPACITY)) throw std::bad_alloc();
        s->face.Bind(s, FaultSend, FaultReceive, FaultProbe, s->name.c_str());
        s->worker = std::thread(Worker, s);
        return &s->face.table;
    } catch (...) {
        delete s;
        return nullptr;
    }
}

void utr_FaultDestroy(Transport *fault) {
    FaultState *s = StateOf(fault);
    if (s == nullptr) return;
    {
        std::lock_guard<std::mutex> guard(s->lock);
        s->stopping = true;
    }
    s->workerWake.notify_all();
    s->worker.join();
    {
        std::lock_guard<std::mutex> guard(s->lock);
        DiscardHeld(s);
    }
    delete s;
}

int32_t utr_FaultDrop(Transport *fault, uint32_t direction, uint32_t count, uint32_t match) {
    return Script(fault, direction, match, &Direction::drop, count);
}

int32_t utr_FaultDelay(Transport *fault, uint32_t direction, uint32_t count, uint32_t delayMs,
                       uint32_t match) {
    return Script(fault, direction, match, &Direction::delay, count, delayMs);
}

int32_t utr_FaultDuplicate(Transport *fault, uint32_t direction, uint32_t count, uint32_t match) {
    return Script(fault, direction, match, &Direction::duplicate, count);
}

int32_t utr_FaultReorder(Transport *fault, uint32_t direction, uint32_t count, uint32_t match) {
    return Script(fault, direction, match, &Direction::reorder, count);
}

int32_t utr_FaultFailSends(Transport *fault, uint32_t count, uint32_t match) {
    return Script(fault, UTR_OUTBOUND, match, &Direction::fail, count);
}

int32_t utr_FaultFailReceives(Transport *fault, uint32_t count, int32_t result) {
    FaultState *s = StateOf(fault);
    if (s == nullptr) return ULMOT_ERR_INVALID;
    std::lock_guard<std::mutex> guard(s->lock);
    s->failReceives = count;
    s->failResult = result != 0 ? result : ULMOT_ERR_FAILED;
    return ULMOT_OK;
}

int32_t utr_FaultTerminate(Transport *fault) {
    FaultState *s = StateOf(fault);
    if (s == nullptr) return ULMOT_ERR_INVALID;
    std::lock_guard<std::mutex> guard(s->lock);
    s->terminated = true;
    DiscardHeld(s);
    return ULMOT_OK;
}

int32_t utr_FaultRestore(Transport *fault) {
    FaultState *s = StateOf(fault);
    if (s == nullptr) return ULMOT_ERR_INVALID;
    std::lock_guard<std::mutex> guard(s->lock);
    s->terminated = false;
    return ULMOT_OK;
}

int32_t utr_FaultClear(Transport *fault) {
    FaultState *s = StateOf(fault);
    if (s == nullptr) return ULMOT_ERR_INVALID;
    std::lock_guard<std::mutex> guard(s->lock);
    for (auto &d : s->dir) d.fail = d.drop = d.delay = d.duplicate = d.reorder = Action{};
    s->failReceives = 0;
    return ULMOT_OK;
}

int32_t utr_FaultGetStats(Transport *fault, uint32_t direction, utr_FaultStats *stats) {
    FaultState *s = StateOf(fault);
    if (s == nullptr || stats == nullptr || !ValidDirection(direction)) return ULMOT_ERR_INVALID;
    std::lock_guard<std::mutex> guard(s->lock);
    const Direction &d = s->dir[direction];
    *stats = d.stats;
    stats->held = d.delayed.Size() + (d.reorderHeld != nullptr ? 1u : 0u) +
                  (direction == UTR_INBOUND ? s->ready.Size() : 0u);
    return ULMOT_OK;
}

}  // extern "C"
