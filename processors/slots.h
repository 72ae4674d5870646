// processors/slots.h - how callback slots and caches of a client are kept:
// written by application threads, read by the queue thread, always whole.
#pragma once

#include "platform/platform.h"

namespace ulmot::processors {

// A callback function and its context, written by application threads and
// read by the queue thread: always read and written whole, under a small
// lock, so that a handler never sees one registration's function with
// another's context.
template <typename Fn>
class CallbackSlot {
public:
    struct Pair {
        Fn callback;
        void *context;
    };
    void Set(Fn callback, void *context) {
        plat::Lock l(m_);
        pair_ = {callback, context};
    }
    // Clears the callback only; the context stays.
    void ClearCallback() {
        plat::Lock l(m_);
        pair_.callback = nullptr;
    }
    Pair Get() {
        plat::Lock l(m_);
        return pair_;
    }

private:
    plat::Mutex m_;
    Pair pair_{};
};

// A value written by application threads and read by the queue thread, read
// and written whole under a small lock (a group of callbacks that share one
// context, a cache).
template <typename T>
class Guarded {
public:
    void Set(const T &value) {
        plat::Lock l(m_);
        value_ = value;
    }
    T Get() {
        plat::Lock l(m_);
        return value_;
    }

private:
    plat::Mutex m_;
    T value_{};
};

}  // namespace ulmot::processors
