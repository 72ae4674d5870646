// Events, semaphores and threads over the C++ standard library.
#include <chrono>
#include <thread>

#include "platform.h"

namespace ulmot::plat {

namespace {

// Waits on `cv` until `ready()` or the time-out; true when ready.
template <typename Ready>
bool WaitUntil(std::condition_variable &cv, std::unique_lock<std::mutex> &lock, uint32_t timeoutMs,
               Ready ready) {
    if (timeoutMs == kInfinite) {
        cv.wait(lock, ready);
        return true;
    }
    return cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
}

}  // namespace

// A set that sees no sleeper notifies nobody: a sleeper counts itself (under
// the group's lock) before it looks at the state, and the setter stores the
// state before it looks for sleepers, both sequentially consistent, so at
// least one of the two sees the other; a setter that sees a sleeper notifies
// under the lock, when the sleeper is either still looking or already waiting.
void Event::Set() {
    signaled_.store(true);
    if (group_->waiters_.load() == 0) return;
    std::lock_guard<std::mutex> lock(group_->m_);
    group_->cv_.notify_all();
}

void Event::Reset() { signaled_.store(false); }

bool Event::Take() { return signaled_.load() && signaled_.exchange(false); }

WaitResult Event::Wait(uint32_t timeoutMs) {
    if (Take()) return kWaitSignaled;
    std::unique_lock<std::mutex> lock(group_->m_);
    group_->waiters_.fetch_add(1);
    const bool signaled = WaitUntil(group_->cv_, lock, timeoutMs, [this] { return Take(); });
    group_->waiters_.fetch_sub(1);
    return signaled ? kWaitSignaled : kWaitTimeout;
}

WaitResult Event::WaitAny(Event &a, Event &b, uint32_t timeoutMs) {
    if (a.group_ != b.group_) return kWaitFailed;
    WaitResult which = kWaitTimeout;
    auto take = [&] {
        if (a.Take()) {
            which = kWaitSignaled;
        } else if (b.Take()) {
            which = kWaitSignaledSecond;
        }
        return which != kWaitTimeout;
    };
    if (take()) return which;
    std::unique_lock<std::mutex> lock(a.group_->m_);
    a.group_->waiters_.fetch_add(1);
    WaitUntil(a.group_->cv_, lock, timeoutMs, take);
    a.group_->waiters_.fetch_sub(1);
    return which;
}

bool Semaphore::TryTake() {
    uint32_t c = count_.load();
    while (c > 0) {
        if (count_.compare_exchange_weak(c, c - 1)) return true;
    }
    return false;
}

// A release that sees no sleeper notifies nobody: a sleeper counts itself
// (under the lock) before it looks at the count, and the releaser adds to
// the count before it looks for sleepers, both sequentially consistent, so
// at least one of the two sees the other; a releaser that sees a sleeper
// notifies under the lock, when the sleeper is either still looking (and
// will find the count) or already waiting.
WaitResult Semaphore::Wait(uint32_t timeoutMs) {
    if (shutdown_.load()) return kWaitFailed;
    if (TryTake()) return kWaitSignaled;
    std::unique_lock<std::mutex> lock(m_);
    sleepers_.fetch_add(1);
    bool took = false;
    const bool woken = WaitUntil(cv_, lock, timeoutMs, [this, &took] {
        if (shutdown_.load()) return true;
        took = TryTake();
        return took;
    });
    sleepers_.fetch_sub(1);
    if (!woken) return kWaitTimeout;
    if (!took) return kWaitFailed;  // shut down
    return kWaitSignaled;
}

bool Semaphore::Release(uint32_t count) {
    uint32_t c = count_.load();
    do {
        if (c + count > max_) return false;
    } while (!count_.compare_exchange_weak(c, c + count));
    if (sleepers_.load() > 0) {
        std::lock_guard<std::mutex> lock(m_);
        if (count == 1) {
            cv_.notify_one();
        } else {
            cv_.notify_all();
        }
    }
    return true;
}

void Semaphore::Shutdown() {
    shutdown_.store(true);
    std::lock_guard<std::mutex> lock(m_);
    cv_.notify_all();
}

// Shared by the Thread object and the running thread, so that the thread can
// report its end after its Thread object (and what holds it) is gone.
struct Thread::State {
    std::mutex m;
    std::condition_variable cv;
    bool ended = false;
    std::thread thread;
};

Thread::~Thread() { Detach(); }

bool Thread::Start(void (*entry)(void *), void *argument) {
    auto state = std::make_shared<State>();
    try {
        std::lock_guard<std::mutex> lock(state->m);
        state->thread = std::thread([state, entry, argument] {
            entry(argument);
            std::lock_guard<std::mutex> done(state->m);
            state->ended = true;
            state->cv.notify_all();
        });
    } catch (...) {
        return false;
    }
    state_ = std::move(state);
    return true;
}

WaitResult Thread::Join(uint32_t timeoutMs) {
    if (!state_) return kWaitFailed;
    {
        std::unique_lock<std::mutex> lock(state_->m);
        if (!WaitUntil(state_->cv, lock, timeoutMs, [this] { return state_->ended; })) {
            return kWaitTimeout;
        }
    }
    state_->thread.join();
    state_.reset();
    return kWaitSignaled;
}

void Thread::Detach() {
    if (!state_) return;
    if (state_->thread.joinable()) state_->thread.detach();
    state_.reset();
}

bool Thread::IsCurrent() const {
    return state_ && state_->thread.get_id() == std::this_thread::get_id();
}

}  // namespace ulmot::plat
