// tests/items_support.h - blocks shaped for item tests: exact tail room,
// bytes hidden beyond writePtr, and bodies that end exactly where their heap
// buffer ends (so that AddressSanitizer reports any read at or past writePtr).
#pragma once

#include <algorithm>
#include <functional>
#include <memory>
#include <cstring>
#include <string>
#include <vector>

#include "pool_fixture.h"

namespace ulmot::test {

using Bytes = std::vector<uint8_t>;

// A pool block released when it goes out of scope, so a failed ASSERT leaks nothing.
using Block = std::unique_ptr<MessageBlock, decltype(&freeb)>;

inline Block Own(MessageBlock *b) { return Block(b, &freeb); }

// The message part of one captured ulmot_Debug line ("[thread:ms]message\n"),
// after checking its form.
inline std::string DebugMessage(const std::string &captured) {
    const std::string bad = "<not one debug line: " + captured + ">";
    const size_t colon = captured.find(':'), close = captured.find(']');
    if (captured.empty() || captured[0] != '[' || colon == std::string::npos || close == std::string::npos ||
        colon < 2 || close < colon + 2 || captured.back() != '\n' ||
        captured.find('\n') != captured.size() - 1)
        return bad;
    auto digits = [&](size_t from, size_t to) {
        return std::all_of(captured.begin() + static_cast<long>(from), captured.begin() + static_cast<long>(to),
                           [](char c) { return c >= '0' && c <= '9'; });
    };
    if (!digits(1, colon) || !digits(colon + 1, close)) return bad;
    return captured.substr(close + 1, captured.size() - close - 2);
}

inline constexpr uint8_t kUnwritten = 0xEE;

// An empty pool-0 block (128-byte buffer) with exactly `tailRoom` bytes behind
// writePtr and the rest in front; every byte of the buffer is kUnwritten.
inline Block WithTailRoom(uint32_t tailRoom) {
    Block b = Own(ulmot_BufferAllocate(128, 0));
    std::fill(b->dataBlock->base, b->dataBlock->limit, kUnwritten);
    b->readPtr = b->writePtr = b->dataBlock->limit - tailRoom;
    return b;
}

// True when no byte behind writePtr was touched.
inline bool TailUnwritten(const MessageBlock *b) {
    return std::all_of(b->writePtr, b->dataBlock->limit, [](uint8_t v) { return v == kUnwritten; });
}

// A pool block whose data is `body`, followed in the buffer (beyond writePtr)
// by `hidden`: bytes that would complete a cut item if a reader looked past
// the end of the data.
inline Block WithHidden(const Bytes &body, const Bytes &hidden) {
    Block b = Own(ulmot_BufferAllocate(static_cast<uint32_t>(body.size() + hidden.size()) + 8, 8));
    b->writePtr = std::copy(body.begin(), body.end(), b->writePtr);
    std::copy(hidden.begin(), hidden.end(), b->writePtr);
    return b;
}

// A block over a heap buffer of exactly the body's size, outside the pools:
// for readers only. Under AddressSanitizer a read at writePtr is a fault.
class ExactBlock {
public:
    explicit ExactBlock(const Bytes &body) : bytes_(new uint8_t[body.size()]) {
        if (!body.empty()) std::memcpy(bytes_.get(), body.data(), body.size());
        uint8_t *end = bytes_.get() + body.size();
        data_ = DataBlock{bytes_.get(), end, 1, 0};
        block_ = MessageBlock{nullptr, nullptr, bytes_.get(), end, &data_, 0x80};
    }
    MessageBlock *get() { return &block_; }

private:
    std::unique_ptr<uint8_t[]> bytes_;
    DataBlock data_{};
    MessageBlock block_{};
};

// Runs `check` on `body` twice: in a pool block with `hidden` right behind
// writePtr, and in an exact heap buffer. A reader that looks past writePtr
// then either sees the hidden bytes (and gives itself away) or trips ASan.
inline void OnBothEnds(const Bytes &body, const Bytes &hidden,
                       const std::function<void(MessageBlock *, const char *)> &check) {
    Block pooled = WithHidden(body, hidden);
    check(pooled.get(), "pool block with hidden bytes");
    ExactBlock exact(body);
    check(exact.get(), "exact heap buffer");
}

}  // namespace ulmot::test
