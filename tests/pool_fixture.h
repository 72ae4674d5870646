// tests/pool_fixture.h - every test that touches blocks derives from
// PoolTest: the pools are laid out before it and must all be full again
// after it, so a leaked or doubly released block fails the test that did it.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "buffers/pools.h"
#include "ulmot.h"

namespace ulmot::test {

inline std::string PoolCounts() {
    std::string s;
    for (int p = 0; p < ulmot::pools::kPoolCount; ++p) {
        s += "pool " + std::to_string(p) + ": " + std::to_string(ulmot::pools::FreeCount(p)) +
             "/" + std::to_string(ulmot::pools::kElementCount[p]) + "  ";
    }
    return s;
}

class PoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        streams_buf_init();
        ASSERT_TRUE(ulmot::pools::AllPoolsFull()) << "blocks outstanding before the test: " << PoolCounts();
    }
    void TearDown() override {
        EXPECT_TRUE(ulmot::pools::AllPoolsFull()) << "blocks leaked by the test: " << PoolCounts();
    }
};

// Builds a block holding exactly `bytes` as its data, with `headRoom` bytes in
// front. The caller releases it.
inline MessageBlock *BlockWith(std::initializer_list<uint8_t> bytes, uint32_t headRoom = 8) {
    MessageBlock *b = ulmot_BufferAllocate(static_cast<uint32_t>(bytes.size()) + headRoom, headRoom);
    for (uint8_t v : bytes) *b->writePtr++ = v;
    return b;
}

// The data of a block (readPtr to writePtr) as a vector, for comparing with
// literal byte strings.
inline std::vector<uint8_t> DataOf(const MessageBlock *b) {
    return std::vector<uint8_t>(b->readPtr, b->writePtr);
}

}  // namespace ulmot::test
