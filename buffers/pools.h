// buffers/pools.h - pool geometry and accounting, for the library and its tests.
// Not exported.
#pragma once

#include <cstdint>

#include "ulmot/buffers.h"

namespace ulmot::pools {

inline constexpr int kPoolCount = 4;
inline constexpr uint32_t kBufferSize[kPoolCount] = {ULMOT_POOL0_BUFFER_SIZE, ULMOT_POOL1_BUFFER_SIZE,
                                                      ULMOT_POOL2_BUFFER_SIZE, 0};
inline constexpr uint32_t kElementCount[kPoolCount] = {ULMOT_POOL0_BUFFERS, ULMOT_POOL1_BUFFERS, ULMOT_POOL2_BUFFERS,
                                                        ULMOT_POOL3_DESCRIPTORS};
inline constexpr uint32_t kTotalElements = kElementCount[0] + kElementCount[1] + kElementCount[2] + kElementCount[3];
inline constexpr uint8_t kInUse = 0x80;

// Number of free elements of `pool` right now (taken under the pool lock).
uint32_t FreeCount(int pool);

// True when every pool holds all of its elements (nothing is outstanding).
bool AllPoolsFull();

// The pool whose storage holds `block`'s descriptor, or -1 when `block` is
// not one of ours.
int PoolOfDescriptor(const MessageBlock *block);

}  // namespace ulmot::pools
