// processors/slots.h - how callback slots of a client are kept: written by
// application threads, read by the queue thread, always whole.
#pragma once

#include "platform/seqlock.h"

namespace ulmot::processors {

// A callback function and its context, written by application threads and
// read by the queue thread: always read and written whole, so that a handler
// never sees one registration's function with another's context. Reads take
// no lock (see platform/seqlock.h).
template <typename Fn>
class CallbackSlot {
public:
    struct Pair {
        Fn callback;
        void *context;
    };
    void Set(Fn callback, void *context) { pair_.Store(Pair{callback, context}); }
    // Clears the callback only; the context stays.
    void ClearCallback() {
        pair_.Update([](Pair p) {
            p.callback = nullptr;
            return p;
        });
    }
    Pair Get() const { return pair_.Load(); }

private:
    plat::SeqLocked<Pair> pair_;
};

// A group of callbacks that share one context, written by application
// threads and read by the queue thread, always whole.
template <typename T>
class Guarded {
public:
    void Set(const T &value) { value_.Store(value); }
    T Get() const { return value_.Load(); }

private:
    plat::SeqLocked<T> value_;
};

}  // namespace ulmot::processors
