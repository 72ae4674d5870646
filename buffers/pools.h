// buffers/pools.h - pool geometry and accounting, for the library and its tests.
// Not exported.
#pragma once

#include <cstdint>

#include "ulmot/buffers.h"

namespace ulmot::pools {

inline constexpr int kPoolCount = 4;
inline constexpr uint32_t kBufferSize[kPoolCount] = {128, 384, 2048, 0};
inline constexpr uint32_t kElementCount[kPoolCount] = {600, 170, 42, 400};
inline constexpr uint8_t kInUse = 0x80;

// Number of free elements of `pool` right now (taken under the pool lock).
uint32_t FreeCount(int pool);

// True when every pool holds all of its elements (nothing is outstanding).
bool AllPoolsFull();

// The pool whose storage holds `block`'s descriptor, or -1 when `block` is
// not one of ours.
int PoolOfDescriptor(const MessageBlock *block);

}  // namespace ulmot::pools
