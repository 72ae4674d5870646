// fuzz/fuzz_support.h - what every fuzz target shares: reading parameters
// off the front of an input, blocks over exact heap buffers (so that
// AddressSanitizer reports any read at or past writePtr), and the pool check
// that turns a leaked or doubly released block into a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "buffers/pools.h"
#include "ulmot.h"

namespace ulmot::fuzz {

// Fails the run: libFuzzer keeps the input that got here.
[[noreturn]] inline void Fail(const char *what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

inline void Check(bool ok, const char *what) {
    if (!ok) Fail(what);
}

// Every pool must hold all of its elements whenever nothing is outstanding:
// after each input, a block that is missing was leaked, and a pool that holds
// more than it has had one released twice.
inline void CheckPoolsFull(const char *when) {
    for (int p = 0; p < ulmot::pools::kPoolCount; ++p) {
        const uint32_t free = ulmot::pools::FreeCount(p);
        if (free != ulmot::pools::kElementCount[p]) {
            std::fprintf(stderr, "fuzz check failed: pool %d holds %u of %u elements %s\n", p,
                         static_cast<unsigned>(free), static_cast<unsigned>(ulmot::pools::kElementCount[p]), when);
            std::abort();
        }
    }
}

// Takes parameters off the front of the input; what is left is the payload.
// Past the end every value reads as 0, so any input is usable.
class Input {
public:
    Input(const uint8_t *data, size_t size) : p_(data), left_(size) {}

    uint8_t U8() {
        if (left_ == 0) return 0;
        --left_;
        return *p_++;
    }
    uint16_t U16() { return static_cast<uint16_t>(U8() << 8 | U8()); }
    uint32_t U32() { return static_cast<uint32_t>(U16()) << 16 | U16(); }
    bool Bool() { return (U8() & 1) != 0; }

    // Up to `n` bytes (fewer at the end of the input).
    const uint8_t *Take(size_t n, size_t *got) {
        *got = n < left_ ? n : left_;
        const uint8_t *at = p_;
        p_ += *got;
        left_ -= *got;
        return at;
    }
    const uint8_t *rest() const { return p_; }
    size_t left() const { return left_; }

private:
    const uint8_t *p_;
    size_t left_;
};

// A block over a heap buffer of exactly `size` bytes, outside the pools, for
// readers only: under AddressSanitizer a read at writePtr is a fault.
class ExactBlock {
public:
    ExactBlock(const uint8_t *bytes, size_t size) : bytes_(new uint8_t[size == 0 ? 1 : size]) {
        // An empty body still gets a buffer of its own, but the block's
        // limit is its base: nothing may be read.
        if (size != 0) std::memcpy(bytes_.get(), bytes, size);
        uint8_t *end = bytes_.get() + size;
        data_ = DataBlock{bytes_.get(), end, 1, 0};
        block_ = MessageBlock{nullptr, nullptr, bytes_.get(), end, &data_, 0x80};
    }
    MessageBlock *get() { return &block_; }
    const uint8_t *begin() const { return bytes_.get(); }
    const uint8_t *end() const { return block_.writePtr; }

private:
    std::unique_ptr<uint8_t[]> bytes_;
    DataBlock data_{};
    MessageBlock block_{};
};

// Reads every byte of [data, data + length): under AddressSanitizer a range
// that reaches outside its buffer is reported. Returns a sum so that the
// reads are not optimised away.
inline uint32_t Touch(const uint8_t *data, size_t length) {
    uint32_t sum = 0;
    for (size_t i = 0; i < length; ++i) sum += data[i];
    return sum;
}

// Whether [at, at + length) lies inside [begin, end).
inline bool Inside(const uint8_t *at, size_t length, const uint8_t *begin, const uint8_t *end) {
    return at >= begin && at <= end && length <= static_cast<size_t>(end - at);
}

}  // namespace ulmot::fuzz
