// platform/seqlock.h - a small value (callback pointers and their context)
// that writers replace under a mutex and readers copy whole without a lock.
//
// The value is kept as pointer-sized atomic words beside a sequence count that
// is odd while a write is under way; a reader copies the words and retries
// when the count changed meanwhile, so it never sees half of one write and
// half of another. Readers never wait for a lock: the queue thread reads a
// callback for every event while applications rarely change it.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>
#include <type_traits>

#include "platform/platform.h"

namespace ulmot::plat {

template <typename T>
class SeqLocked {
    static_assert(std::is_trivially_copyable_v<T>, "copied word by word");
    static constexpr size_t kWords = (sizeof(T) + sizeof(uintptr_t) - 1) / sizeof(uintptr_t);

public:
    SeqLocked() { Write(T{}); }
    SeqLocked(const SeqLocked &) = delete;
    SeqLocked &operator=(const SeqLocked &) = delete;

    T Load() const {
        for (unsigned tries = 0;; ++tries) {
            const uint32_t before = sequence_.load(std::memory_order_acquire);
            uintptr_t words[kWords];
            // Acquire loads keep the second look at the count after them; a
            // word of a later write brings that write's odd count with it.
            for (size_t i = 0; i < kWords; ++i) words[i] = words_[i].load(std::memory_order_acquire);
            if ((before & 1u) == 0 && sequence_.load(std::memory_order_relaxed) == before) {
                T value;
                std::memcpy(&value, words, sizeof value);
                return value;
            }
            if (tries > 16) std::this_thread::yield();  // the writer was interrupted mid-write
        }
    }

    void Store(const T &value) {
        Lock lock(writer_);
        Write(value);
    }

    // Replaces the value by change(current value), as one write.
    template <typename Change>
    void Update(Change &&change) {
        Lock lock(writer_);
        Write(change(Load()));
    }

private:
    void Write(const T &value) {
        uintptr_t words[kWords] = {};
        std::memcpy(words, &value, sizeof value);
        const uint32_t s = sequence_.load(std::memory_order_relaxed);
        sequence_.store(s + 1, std::memory_order_relaxed);
        // Release stores publish the odd count before each word.
        for (size_t i = 0; i < kWords; ++i) words_[i].store(words[i], std::memory_order_release);
        sequence_.store(s + 2, std::memory_order_release);
    }

    Mutex writer_;
    std::atomic<uint32_t> sequence_{0};
    std::atomic<uintptr_t> words_[kWords] = {};
};

}  // namespace ulmot::plat
