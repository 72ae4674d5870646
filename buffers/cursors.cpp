// Buffer cursors: build and read inside one block. No locks: a block belongs
// to one thread at a time. Every room test happens before a byte is written.
#include <cstring>

#include "platform/platform.h"
#include "ulmot/buffers.h"

namespace {

constexpr uint32_t kAllocateRetryMs = 100;

uintptr_t HeadRoom(const MessageBlock *b) {
    return static_cast<uintptr_t>(b->readPtr - b->dataBlock->base);
}
uintptr_t TailRoom(const MessageBlock *b) {
    return static_cast<uintptr_t>(b->dataBlock->limit - b->writePtr);
}
uintptr_t DataLength(const MessageBlock *b) { return static_cast<uintptr_t>(b->writePtr - b->readPtr); }

}  // namespace

extern "C" {

MessageBlock *ulmot_BufferAllocate(uint32_t size, uint32_t headRoom) {
    if (size > ULMOT_MAX_BLOCK_SIZE) {
        // No pool can ever serve this: waiting would never end.
        ulmot_Debug("ulmot_BufferAllocate: Size %u exceeds the largest block (%u)", size,
                    ULMOT_MAX_BLOCK_SIZE);
        return nullptr;
    }
    MessageBlock *b;
    while ((b = allocb(size, 1)) == nullptr) ulmot::plat::SleepMs(kAllocateRetryMs);
    b->readPtr += headRoom;
    b->writePtr += headRoom;
    return b;
}

int32_t ulmot_BufferPrepend(MessageBlock *block, const void *source, int32_t length) {
    if (length < 0 || static_cast<intptr_t>(HeadRoom(block)) < length) {
        ulmot_Debug("ulmot_BufferPrepend: Insufficient header space");
        return -1;
    }
    block->readPtr -= length;
    if (length > 0) std::memcpy(block->readPtr, source, static_cast<size_t>(length));
    return 0;
}

int32_t ulmot_BufferAppend(MessageBlock *block, const void *source, uint32_t length) {
    if (TailRoom(block) < length) {
        ulmot_Debug("ulmot_BufferAppend: Insufficient tail space");
        return -1;
    }
    if (length > 0) std::memcpy(block->writePtr, source, length);
    block->writePtr += length;
    return 0;
}

uint8_t *ulmot_BufferReserveTailChunk(MessageBlock *block, uint32_t length) {
    if (TailRoom(block) < length) {
        ulmot_Debug("ulmot_BufferWriteTailChunk: Insufficient tail space");
        return nullptr;
    }
    uint8_t *chunk = block->writePtr;
    block->writePtr += length;
    return chunk;
}

uint8_t *ulmot_BufferReserveHeadChunk(MessageBlock *block, int32_t length) {
    if (length < 0 || static_cast<intptr_t>(HeadRoom(block)) < length) {
        ulmot_Debug("ulmot_BufferWriteHeadChunk: Insufficient header space");
        return nullptr;
    }
    block->readPtr -= length;
    return block->readPtr;
}

uint8_t *ulmot_BufferPeekWriteTail(MessageBlock *block, uint32_t *tailRoom) {
    if (tailRoom) *tailRoom = static_cast<uint32_t>(TailRoom(block));
    return block->writePtr;
}

uint8_t *ulmot_BufferRead(MessageBlock *block, uint32_t length, uint32_t *count) {
    const uintptr_t available = DataLength(block);
    const uint32_t n = available < length ? static_cast<uint32_t>(available) : length;
    uint8_t *start = block->readPtr;
    block->readPtr += n;
    if (count) *count = n;
    return start;
}

uint8_t *ulmot_BufferPeek(MessageBlock *block, uint32_t *dataLength) {
    if (dataLength) *dataLength = static_cast<uint32_t>(DataLength(block));
    return block->readPtr;
}

int32_t ulmot_BufferReadSkip(MessageBlock *block, uint32_t length) {
    if (DataLength(block) < length) return -3;
    block->readPtr += length;
    return 0;
}

int32_t ulmot_BufferSetWriteHead(MessageBlock *block, uint8_t *position) {
    const int32_t where = ulmot_BufferIsContained(block, position);
    if (where == 0) block->readPtr = position;
    return where;
}

int32_t ulmot_BufferBackupRead(MessageBlock *block, uint32_t length) {
    if (HeadRoom(block) < length) return -4;
    block->readPtr -= length;
    return 0;
}

int32_t ulmot_BufferSetTotalWriteLength(MessageBlock *block, uint32_t length) {
    if (static_cast<uintptr_t>(block->dataBlock->limit - block->readPtr) < length) return -3;
    block->writePtr = block->readPtr + length;
    return 0;
}

int32_t ulmot_BufferIsContained(MessageBlock *block, const uint8_t *position) {
    // Compared as addresses: the position may lie outside the buffer.
    const auto at = reinterpret_cast<uintptr_t>(position);
    if (at < reinterpret_cast<uintptr_t>(block->dataBlock->base)) return -4;
    if (at > reinterpret_cast<uintptr_t>(block->dataBlock->limit)) return -3;
    return 0;
}

int32_t ulmot_BufferWriteInt8(MessageBlock *block, uint32_t value) {
    if (TailRoom(block) < 1) {
        ulmot_Debug("ulmot_BufferWriteInt8: Insufficient tail space");
        return -1;
    }
    *block->writePtr++ = static_cast<uint8_t>(value);
    return 0;
}

int32_t ulmot_BufferReadInt8(MessageBlock *block, uint8_t *value) {
    if (value == nullptr) return 0;
    if (DataLength(block) < 1) {
        ulmot_Debug("ulmot_BufferReadInt8: Read overflow");
        return -1;
    }
    *value = *block->readPtr++;
    return 0;
}

}  // extern "C"
