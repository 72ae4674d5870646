// Message blocks: the four static pools and the block and message operations.
//
// An element is a descriptor (MessageBlock) plus its own DataBlock (and, in
// pools 0 to 2, a buffer). Descriptors and data blocks live in two parallel
// static arrays; element i is descriptor i with data block i until a head
// trim of adjmsg exchanges two descriptors (see ExchangeDescriptors), so the
// pairing is kept in two small tables instead of being implied by position.
#include <cstring>

#include "buffers/pools.h"
#include "platform/platform.h"

namespace {

using ulmot::pools::kBufferSize;
using ulmot::pools::kElementCount;
using ulmot::pools::kInUse;
using ulmot::pools::kPoolCount;
using ulmot::pools::kTotalElements;

constexpr uint32_t kFirstElement[kPoolCount + 1] = {
    0, kElementCount[0], kElementCount[0] + kElementCount[1],
    kElementCount[0] + kElementCount[1] + kElementCount[2], kTotalElements};

alignas(64) uint8_t g_buffers0[kElementCount[0] * kBufferSize[0]];
alignas(64) uint8_t g_buffers1[kElementCount[1] * kBufferSize[1]];
alignas(64) uint8_t g_buffers2[kElementCount[2] * kBufferSize[2]];
uint8_t *const g_bufferArea[kPoolCount] = {g_buffers0, g_buffers1, g_buffers2, nullptr};

MessageBlock g_descriptors[kTotalElements];
DataBlock g_dataBlocks[kTotalElements];
// The data block each descriptor calls its own, and the descriptor that owns
// each data block. Inverse of each other; identity until an exchange.
DataBlock *g_ownData[kTotalElements];
MessageBlock *g_owner[kTotalElements];

struct BufferPool {
    uint32_t bufferSize;
    MessageBlock *freeHead;
    uint32_t freeCount;  // accounting for tests and statistics
};
BufferPool g_pools[kPoolCount];

// Guards every free list, every reference count and the ownership tables.
ulmot::plat::Mutex g_poolLock;
bool g_laidOut = false;

uint32_t IndexOf(const MessageBlock *b) { return static_cast<uint32_t>(b - g_descriptors); }
uint32_t IndexOf(const DataBlock *d) { return static_cast<uint32_t>(d - g_dataBlocks); }

// Called with the pool lock held.
void PushFree(int pool, MessageBlock *b) {
    b->inUse = 0;
    b->nextFree = g_pools[pool].freeHead;
    g_pools[pool].freeHead = b;
    ++g_pools[pool].freeCount;
}

void LayOutPool(int pool) {
    MessageBlock *previous = nullptr;
    for (uint32_t i = kFirstElement[pool]; i < kFirstElement[pool + 1]; ++i) {
        DataBlock &d = g_dataBlocks[i];
        MessageBlock &b = g_descriptors[i];
        const uint32_t slot = i - kFirstElement[pool];
        d.base = g_bufferArea[pool] ? g_bufferArea[pool] + slot * kBufferSize[pool] : nullptr;
        d.limit = d.base ? d.base + kBufferSize[pool] : nullptr;
        d.refCount = 1;
        d.poolIndex = static_cast<uint8_t>(pool);
        b.nextFree = previous;
        b.cont = nullptr;
        b.readPtr = b.writePtr = d.base;
        b.dataBlock = &d;
        b.inUse = 0;
        g_ownData[i] = &d;
        g_owner[i] = &b;
        previous = &b;
    }
    g_pools[pool] = BufferPool{kBufferSize[pool], previous, kElementCount[pool]};
}

// Takes the first free element from `firstPool` up to `lastPool`. For a
// duplicate, `source` is the block whose buffer the new descriptor shares.
MessageBlock *TakeBlock(int firstPool, int lastPool, MessageBlock *source) {
    MessageBlock *b = nullptr;
    for (int pool = firstPool; pool <= lastPool && b == nullptr; ++pool) {
        ulmot::plat::Lock lock(g_poolLock);
        BufferPool &p = g_pools[pool];
        if (p.freeHead == nullptr) continue;
        if (source != nullptr && source->dataBlock->refCount == UINT8_MAX) return nullptr;
        b = p.freeHead;
        p.freeHead = b->nextFree;
        --p.freeCount;
        b->inUse = kInUse;
        if (source != nullptr) {
            ++source->dataBlock->refCount;
            b->dataBlock = source->dataBlock;
            b->readPtr = source->readPtr;
            b->writePtr = source->writePtr;
        }
    }
    if (b != nullptr) b->cont = nullptr;
    return b;
}

// Releases one block; false when the walk must stop (the data block's owning
// descriptor is already free). Called with the pool lock held.
bool ReleaseLocked(MessageBlock *b) {
    DataBlock *d = b->dataBlock;
    if (b->inUse == 0 || d->refCount == 0) return true;
    DataBlock *own = g_ownData[IndexOf(b)];
    if (d != own) {
        b->dataBlock = own;
        PushFree(own->poolIndex, b);
    }
    if (--d->refCount > 0) return true;
    MessageBlock *owner = g_owner[IndexOf(d)];
    if (owner->inUse == 0) return false;
    d->refCount = 1;
    owner->readPtr = owner->writePtr = d->base;
    PushFree(d->poolIndex, owner);
    return true;
}

// Exchanges the contents of two descriptors together with the data blocks
// they own, so that `a` now stands where `b` stood and the other way round.
// Used by the head trim of adjmsg, whose caller's pointer must go on
// designating the first block that keeps data.
void ExchangeDescriptors(MessageBlock *a, MessageBlock *b) {
    ulmot::plat::Lock lock(g_poolLock);
    const MessageBlock saved = *a;
    *a = *b;
    *b = saved;
    const uint32_t ia = IndexOf(a), ib = IndexOf(b);
    DataBlock *ownA = g_ownData[ia];
    g_ownData[ia] = g_ownData[ib];
    g_ownData[ib] = ownA;
    g_owner[IndexOf(g_ownData[ia])] = a;
    g_owner[IndexOf(g_ownData[ib])] = b;
}

uint32_t BlockSize(const MessageBlock *b) { return static_cast<uint32_t>(b->writePtr - b->readPtr); }

// Head trim of n bytes over more than one block (the first holds n or fewer).
void TrimHeadAcrossBlocks(MessageBlock *message, uint32_t n) {
    uint32_t sum = 0;
    MessageBlock *previous = nullptr;
    MessageBlock *survivor = message;
    while (sum + BlockSize(survivor) <= n) {
        sum += BlockSize(survivor);
        previous = survivor;
        survivor = survivor->cont;
    }
    sum += BlockSize(survivor);
    // Detach the survivor, then exchange it with the first block: `message`
    // now heads what remains and `survivor` heads the emptied blocks.
    previous->cont = nullptr;
    ExchangeDescriptors(message, survivor);
    freemsg(survivor);
    message->readPtr = message->writePtr - (sum - n);
}

void TrimTail(MessageBlock *message, uint32_t keep) {
    uint32_t sum = 0;
    MessageBlock *last = message;
    for (;;) {
        sum += BlockSize(last);
        if (sum >= keep) break;
        last = last->cont;
    }
    freemsg(last->cont);
    last->cont = nullptr;
    last->writePtr -= sum - keep;
}

}  // namespace

namespace ulmot::pools {

uint32_t FreeCount(int pool) {
    plat::Lock lock(g_poolLock);
    return g_pools[pool].freeCount;
}

}  // namespace ulmot::pools

uint32_t ulmot_PoolFreeCount(uint32_t pool) {
    return pool < static_cast<uint32_t>(ulmot::pools::kPoolCount) ? ulmot::pools::FreeCount(static_cast<int>(pool)) : 0;
}

namespace ulmot::pools {

bool AllPoolsFull() {
    for (int p = 0; p < kPoolCount; ++p) {
        if (FreeCount(p) != kElementCount[p]) return false;
    }
    return true;
}

int PoolOfDescriptor(const MessageBlock *block) {
    if (block < g_descriptors || block >= g_descriptors + kTotalElements) return -1;
    plat::Lock lock(g_poolLock);
    return g_ownData[IndexOf(block)]->poolIndex;
}

}  // namespace ulmot::pools

extern "C" {

void streams_buf_init(void) {
    ulmot::plat::Lock lock(g_poolLock);
    if (g_laidOut) return;
    for (int pool = 0; pool < kPoolCount; ++pool) LayOutPool(pool);
    g_laidOut = true;
}

MessageBlock *allocb(uint32_t size, uint32_t /*priority*/) {
    for (int pool = 0; pool < kPoolCount - 1; ++pool) {
        if (size <= kBufferSize[pool]) return TakeBlock(pool, kPoolCount - 2, nullptr);
    }
    return nullptr;
}

MessageBlock *dupb(MessageBlock *block) { return TakeBlock(kPoolCount - 1, kPoolCount - 1, block); }

void freeb(MessageBlock *block) {
    if (block == nullptr) return;
    block->cont = nullptr;
    freemsg(block);
}

void freemsg(MessageBlock *message) {
    ulmot::plat::Lock lock(g_poolLock);
    for (MessageBlock *b = message; b != nullptr;) {
        MessageBlock *next = b->cont;
        if (!ReleaseLocked(b)) break;
        b = next;
    }
}

void linkb(MessageBlock *message, MessageBlock *block) {
    while (message->cont != nullptr) message = message->cont;
    message->cont = block;
}

MessageBlock *unlinkb(MessageBlock *message) {
    MessageBlock *rest = message->cont;
    message->cont = nullptr;
    return rest;
}

MessageBlock *rmvb(MessageBlock *message, MessageBlock *block) {
    MessageBlock *previous = nullptr;
    for (MessageBlock *b = message; b != nullptr; previous = b, b = b->cont) {
        if (b != block) continue;
        MessageBlock *head = previous ? message : b->cont;
        if (previous) previous->cont = b->cont;
        b->cont = nullptr;
        return head;
    }
    return reinterpret_cast<MessageBlock *>(~static_cast<uintptr_t>(0));
}

MessageBlock *dupmsg(MessageBlock *message) {
    MessageBlock *head = nullptr;
    MessageBlock *tail = nullptr;
    for (MessageBlock *b = message; b != nullptr; b = b->cont) {
        MessageBlock *copy = dupb(b);
        if (copy == nullptr) {
            freemsg(head);
            return nullptr;
        }
        if (tail) tail->cont = copy; else head = copy;
        tail = copy;
    }
    return head;
}

MessageBlock *copyb(MessageBlock *block) {
    const DataBlock *d = block->dataBlock;
    const uint32_t size = static_cast<uint32_t>(d->limit - d->base);
    MessageBlock *copy = allocb(size, 1);
    if (copy == nullptr) return nullptr;
    uint8_t *base = copy->dataBlock->base;
    std::memcpy(base, d->base, size);
    copy->readPtr = base + (block->readPtr - d->base);
    copy->writePtr = base + (block->writePtr - d->base);
    return copy;
}

MessageBlock *copymsg(MessageBlock *message) {
    if (message == nullptr) return nullptr;
    MessageBlock *head = nullptr;
    for (MessageBlock *b = message; b != nullptr; b = b->cont) {
        MessageBlock *copy = copyb(b);
        if (copy == nullptr) {
            freemsg(head);
            return nullptr;
        }
        if (head) linkb(head, copy); else head = copy;
    }
    return head;
}

uint32_t msgdsize(MessageBlock *message) {
    uint32_t total = 0;
    for (MessageBlock *b = message; b != nullptr; b = b->cont) total += BlockSize(b);
    return total;
}

int32_t adjmsg(MessageBlock *message, int32_t length) {
    if (length == 0 || message == nullptr) return 0;
    const uint32_t n = length > 0 ? static_cast<uint32_t>(length) : 0u - static_cast<uint32_t>(length);
    const uint32_t total = msgdsize(message);
    if (total < n) return 0;
    const bool head = length > 0;
    if (BlockSize(message) == total) {
        if (head) message->readPtr += n; else message->writePtr -= n;
    } else if (total == n) {
        if (head) message->readPtr = message->writePtr; else message->writePtr = message->readPtr;
        freemsg(message->cont);
        message->cont = nullptr;
    } else if (!head) {
        TrimTail(message, total - n);
    } else if (BlockSize(message) > n) {
        message->readPtr += n;
    } else {
        TrimHeadAcrossBlocks(message, n);
    }
    return 1;
}

}  // extern "C"
