// A bounded ring between two threads, guarded by the platform's mutex and
// signalled with its auto-reset event: the floors' stand-in for a hand-off
// between threads. A put into a full ring waits for room. With
// kWakeEveryPut the event is set on every put; without it only for an item
// put into an empty ring (the taker empties the ring before it waits), as
// the session's inbound queue does.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "platform/platform.h"

namespace ulmot::bench {

template <uint64_t kSize, bool kWakeEveryPut>
class Handoff {
public:
    void Put(uint64_t v) {
        bool wake = kWakeEveryPut;
        for (;;) {
            {
                plat::Lock lock(m_);
                if (w_ - r_ < kSize) {
                    wake = wake || r_ == w_;
                    items_[w_++ % kSize] = v;
                    break;
                }
            }
            std::this_thread::yield();
        }
        if (wake) ready_.Set();
    }
    // False once `stop` is set and the ring is empty.
    bool Take(uint64_t &v, const std::atomic<bool> &stop) {
        for (;;) {
            {
                plat::Lock lock(m_);
                if (r_ != w_) {
                    v = items_[r_++ % kSize];
                    return true;
                }
            }
            if (stop) return false;
            ready_.Wait(20);
        }
    }

private:
    plat::Mutex m_;
    plat::Event ready_;
    uint64_t items_[kSize] = {};
    uint64_t w_ = 0, r_ = 0;
};

}  // namespace ulmot::bench
