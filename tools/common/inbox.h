// tools/common/inbox.h - how the tools' callbacks hand what they receive
// to the main thread. A callback runs on the client's queue thread: it copies
// what it needs (never a pointer into the event block) into an inbox and
// returns at once; the main thread takes everything pushed so far in one go
// and prints it. So a slow terminal or pipe never holds up the library,
// nothing is printed from a callback, and one thread writes the output. An
// inbox may be capped: what arrives while it is full is counted as dropped
// rather than kept without bound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <mutex>
#include <utility>
#include <vector>

namespace tools {

template <typename T>
class Inbox {
public:
    explicit Inbox(size_t cap = std::numeric_limits<size_t>::max()) : cap_(cap) {}
    Inbox(const Inbox &) = delete;
    Inbox &operator=(const Inbox &) = delete;

    // From a callback. False when `cap` items wait already: the item is then
    // counted as dropped.
    bool Push(T item) {
        std::lock_guard<std::mutex> lock(mu_);
        if (items_.size() >= cap_) {
            ++dropped_;
            return false;
        }
        items_.push_back(std::move(item));
        return true;
    }

    // From the main thread: every item pushed since the last take, oldest
    // first.
    std::vector<T> Take() {
        std::vector<T> taken;
        std::lock_guard<std::mutex> lock(mu_);
        taken.swap(items_);
        // The callbacks go on filling room of the same size, without growing
        // the list again from nothing.
        items_.reserve(taken.capacity());
        return taken;
    }

    // Items that arrived while the inbox was full.
    uint64_t Dropped() const {
        std::lock_guard<std::mutex> lock(mu_);
        return dropped_;
    }

private:
    mutable std::mutex mu_;
    std::vector<T> items_;
    const size_t cap_;
    uint64_t dropped_ = 0;
};

}  // namespace tools
