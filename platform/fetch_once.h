// platform/fetch_once.h - a value fetched once and then kept, shared by the
// threads that ask for it at the same time.
//
// The first caller fetches; callers that arrive while that fetch runs wait
// for it and take its outcome, so two first uses at once cost one fetch. A
// fetch that fails, or whose value is not worth keeping, leaves the value
// unloaded: the next call fetches again. The fetch runs without the lock
// (it may send a request and wait for its answer); waiters wait as long as
// it takes, which the fetch bounds (a request's own time-outs).
//
// Built on the platform's Mutex and auto-reset Event. One Set lets one
// waiter through, so the waiters of a fetch wake one another in turn: the
// fetch that ends owes a wake-up to every thread waiting at that moment, and
// each thread woken passes one on while some are still owed. A thread that
// waits for a later fetch and takes a wake-up owed to another passes it on
// and waits again.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace ulmot::plat {

template <typename T>
class FetchOnce {
public:
    // What a fetch reports: its result code, and whether the value is kept.
    struct Outcome {
        int32_t result;
        bool keep;
    };

    // Runs `fetch(T &value)` (on a copy of the kept value, without the lock)
    // unless the value is loaded, then `read(const T &)` under the lock when
    // the outcome is 0. Returns the outcome's result code.
    template <typename Fetch, typename Read>
    int32_t Get(Fetch fetch, Read read) {
        Lock held(m_);
        if (state_ == State::kFetching) return AwaitFetch(read);
        if (state_ == State::kLoaded) {
            read(static_cast<const T &>(value_));
            return 0;
        }
        state_ = State::kFetching;
        T fetched = value_;
        m_.unlock();
        const Outcome outcome = fetch(fetched);
        m_.lock();
        ++completed_;
        lastResult_ = outcome.result;
        if (outcome.result == 0) value_ = fetched;
        state_ = outcome.result == 0 && outcome.keep ? State::kLoaded : State::kEmpty;
        owedWakeUps_ = waiters_;
        if (owedWakeUps_ > 0) done_.Set();
        if (outcome.result != 0) return outcome.result;
        read(static_cast<const T &>(value_));
        return 0;
    }

private:
    enum class State : uint8_t { kEmpty, kFetching, kLoaded };

    // Waits, the lock held on entry and on return, for the fetch under way to end.
    template <typename Read>
    int32_t AwaitFetch(Read read) {
        const uint32_t awaited = completed_;
        ++waiters_;
        for (;;) {
            m_.unlock();
            done_.Wait(kInfinite);
            m_.lock();
            const bool mine = completed_ != awaited;
            if (mine) {
                --waiters_;
                --owedWakeUps_;
            }
            if (owedWakeUps_ > 0) done_.Set();
            if (mine) break;
        }
        if (lastResult_ != 0) return lastResult_;
        read(static_cast<const T &>(value_));
        return 0;
    }

    Mutex m_;
    Event done_;
    State state_ = State::kEmpty;
    uint32_t completed_ = 0;     // fetches ended, so a waiter knows its fetch is over
    uint32_t waiters_ = 0;       // threads waiting for a fetch to end
    uint32_t owedWakeUps_ = 0;   // waiters of an ended fetch not yet woken
    int32_t lastResult_ = 0;
    T value_{};
};

}  // namespace ulmot::plat
