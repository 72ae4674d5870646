// transports/ring.h - the fixed ring behind every queue of the transports.
//
// Storage is taken once, at creation of the transport that owns the ring;
// pushing and popping never allocate. Not thread-safe: the owner's lock
// guards it.
#pragma once

#include <cstdint>
#include <memory>
#include <new>

namespace utr::detail {

template <typename T>
class Ring {
public:
    // False when the storage cannot be had.
    bool Init(uint32_t capacity) {
        slots_.reset(new (std::nothrow) T[capacity]);
        capacity_ = slots_ ? capacity : 0;
        head_ = 0;
        count_ = 0;
        return slots_ != nullptr;
    }

    // False, changing nothing, when the ring is full.
    bool Push(const T &value) {
        if (count_ == capacity_) return false;
        slots_[(head_ + count_) % capacity_] = value;
        ++count_;
        return true;
    }

    // False when the ring is empty.
    bool Pop(T &value) {
        if (count_ == 0) return false;
        value = slots_[head_];
        head_ = (head_ + 1) % capacity_;
        --count_;
        return true;
    }

    // The oldest element; only while not empty.
    const T &Front() const { return slots_[head_]; }

    bool Empty() const { return count_ == 0; }
    uint32_t Size() const { return count_; }

private:
    std::unique_ptr<T[]> slots_;
    uint32_t capacity_ = 0;
    uint32_t head_ = 0;
    uint32_t count_ = 0;
};

}  // namespace utr::detail
