/*
 * ulmot/buffers.h - message blocks, pools, buffer cursors and diagnostic output.
 *
 * Every message lives in one MessageBlock: a descriptor with a read pointer and
 * a write pointer into a fixed-size buffer. Buffers and descriptors come from
 * four static pools that are laid out once by streams_buf_init() and never grow
 * (their geometry: ULMOT_POOL* below): pools 0 to 2 hold buffers of three
 * sizes, pool 3 descriptors without a buffer, used by dupb only. The largest
 * buffer (ULMOT_POOL2_BUFFER_SIZE, 2048 bytes) bounds every block. Nothing here touches
 * the heap. A block belongs to one owner at a time, who releases it exactly
 * once with freeb() (one block) or freemsg() (a whole chain). One process-wide
 * lock guards the free lists and the reference counts; every other operation
 * works on blocks that the calling thread owns and takes no lock.
 *
 * The cursor operations (ulmot_Buffer...) build and read inside one block and
 * never follow `cont`. Failures that return -1 write one line with
 * ulmot_Debug(); the pointer operations returning -3 (beyond the end) or -4
 * (before the start) write none.
 */
#ifndef ULMOT_BUFFERS_H
#define ULMOT_BUFFERS_H

#include <stdint.h>

#if defined(ULMOT_BUILDING_LIBRARY)
#define ULMOT_API __attribute__((visibility("default")))
#else
#define ULMOT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The pools' geometry, as streams_buf_init() lays them out. */
#define ULMOT_POOL0_BUFFER_SIZE 128u
#define ULMOT_POOL0_BUFFERS 600u
#define ULMOT_POOL1_BUFFER_SIZE 384u
#define ULMOT_POOL1_BUFFERS 170u
#define ULMOT_POOL2_BUFFER_SIZE 2048u
#define ULMOT_POOL2_BUFFERS 42u
#define ULMOT_POOL3_DESCRIPTORS 400u

/* Result codes shared by every layer of the library. */
#define ULMOT_OK 0
#define ULMOT_ERR_FAILED (-1)       /* local, transport or time-out failure */
#define ULMOT_ERR_BEYOND_END (-3)   /* past the end, or larger than the capacity */
#define ULMOT_ERR_BEFORE_START (-4) /* before the start, or a length that does not fit */
#define ULMOT_ERR_INVALID (-5)      /* invalid parameter */
#define ULMOT_ERR_NO_MEMORY (-7)    /* allocation refused */
#define ULMOT_ERR_NOT_FOUND (-8)    /* item not found */

/* The largest buffer of any pool, and so the largest message block. */
#define ULMOT_MAX_BLOCK_SIZE 2048u

/* A buffer and the number of descriptors that use it. */
typedef struct DataBlock {
    uint8_t *base;     /* first byte of the buffer (null in pool 3) */
    uint8_t *limit;    /* one past the last byte (null in pool 3) */
    uint8_t refCount;  /* descriptors using this buffer; 1 while free */
    uint8_t poolIndex; /* the pool (0 to 3) the element belongs to */
} DataBlock;

/* The descriptor that callers hold. */
typedef struct MessageBlock {
    struct MessageBlock *nextFree; /* free-list link while the element is free */
    struct MessageBlock *cont;     /* next block of the same message, or null */
    uint8_t *readPtr;              /* head: first byte not yet consumed */
    uint8_t *writePtr;             /* tail: one past the last byte written */
    DataBlock *dataBlock;          /* buffer in use (another's for a duplicate) */
    uint8_t inUse;                 /* 0x80 while handed out, 0 while free */
} MessageBlock;

/* ---- Blocks and messages ------------------------------------------------ */

/* Lays out the four pools. Only the first call does anything; the host calls
 * it once before anything else. Until then every pool is empty. */
ULMOT_API void streams_buf_init(void);

/* A block whose buffer holds at least `size` bytes, from the first pool large
 * enough (falling back to larger pools), with both pointers at `base`. Null
 * when size exceeds 2048 or no pool can serve. `priority` is ignored. */
ULMOT_API MessageBlock *allocb(uint32_t size, uint32_t priority);

/* A pool-3 descriptor sharing `block`'s buffer and pointers. Null when pool 3
 * is empty or the buffer already has 255 references (254 duplicates). */
ULMOT_API MessageBlock *dupb(MessageBlock *block);

/* Releases one block (its `cont` is cleared first). */
ULMOT_API void freeb(MessageBlock *block);

/* Releases every block of the chain. Blocks already free are passed over. */
ULMOT_API void freemsg(MessageBlock *message);

/* Appends `block` after the last block of `message`. */
ULMOT_API void linkb(MessageBlock *message, MessageBlock *block);

/* Detaches and returns the rest of the chain after the first block. */
ULMOT_API MessageBlock *unlinkb(MessageBlock *message);

/* Removes `block` from the chain and returns the new head. Returns the
 * all-ones pointer, changing nothing, when `block` is not in the chain. */
ULMOT_API MessageBlock *rmvb(MessageBlock *message, MessageBlock *block);

/* Duplicates every block of the chain with dupb; null (nothing kept) on failure. */
ULMOT_API MessageBlock *dupmsg(MessageBlock *message);

/* A new block with a copy of the whole buffer and the same pointer offsets. */
ULMOT_API MessageBlock *copyb(MessageBlock *block);

/* Copies every block of the chain with copyb; null (nothing kept) on failure. */
ULMOT_API MessageBlock *copymsg(MessageBlock *message);

/* Total data bytes of the chain; 0 for null. */
ULMOT_API uint32_t msgdsize(MessageBlock *message);

/* Trims |length| bytes from the head (length > 0) or tail (length < 0). Blocks
 * emptied by the trim go back to their pools; `message` keeps designating the
 * first block of what remains. 1 when trimmed, 0 when length is 0 or larger
 * than the message (nothing changes). */
ULMOT_API int32_t adjmsg(MessageBlock *message, int32_t length);

/* ---- Cursors ------------------------------------------------------------- */

/* A block with `headRoom` bytes in front of its (empty) data. Waits in steps
 * of 100 ms while the pools are exhausted, so it never returns null for a
 * size the pools can serve. A size above 2048 can never be served: it is
 * refused at once with null and a line. */
ULMOT_API MessageBlock *ulmot_BufferAllocate(uint32_t size, uint32_t headRoom);

/* The cursors of one block: data runs from readPtr to writePtr, head room lies
 * between the buffer's base and readPtr, tail room between writePtr and its
 * limit. None of them follows b_cont. */

/* Copies `length` bytes in front of the data (readPtr moves back). The length
 * is signed: a negative one, or one beyond the head room, is refused with -1
 * and "ulmot_BufferPrepend: Insufficient header space"; 0 changes nothing. */
ULMOT_API int32_t ulmot_BufferPrepend(MessageBlock *block, const void *source, int32_t length);

/* Copies `length` bytes after the data (writePtr moves on); -1 and
 * "ulmot_BufferAppend: Insufficient tail space" when the tail room is short. */
ULMOT_API int32_t ulmot_BufferAppend(MessageBlock *block, const void *source, uint32_t length);

/* Claims `length` bytes of tail room for the caller to fill: their start
 * (writePtr moves past them), or null and "ulmot_BufferWriteTailChunk:
 * Insufficient tail space". */
ULMOT_API uint8_t *ulmot_BufferReserveTailChunk(MessageBlock *block, uint32_t length);

/* Claims `length` bytes of head room in front of the data: their start, the new
 * readPtr. Null and "ulmot_BufferWriteHeadChunk: Insufficient header space"
 * for a negative length or one beyond the head room. */
ULMOT_API uint8_t *ulmot_BufferReserveHeadChunk(MessageBlock *block, int32_t length);

/* writePtr, and the tail room behind it in *tailRoom (when not null). */
ULMOT_API uint8_t *ulmot_BufferPeekWriteTail(MessageBlock *block, uint32_t *tailRoom);

/* Consumes up to `length` bytes of data: where they start (the old readPtr),
 * and how many there were in *count (when not null), fewer when the data is
 * shorter. Never fails. */
ULMOT_API uint8_t *ulmot_BufferRead(MessageBlock *block, uint32_t length, uint32_t *count);

/* readPtr, and the data length in *dataLength (when not null). Moves nothing. */
ULMOT_API uint8_t *ulmot_BufferPeek(MessageBlock *block, uint32_t *dataLength);

/* Consumes `length` bytes of data without reading them; -3 (nothing moves)
 * when the data is shorter. */
ULMOT_API int32_t ulmot_BufferReadSkip(MessageBlock *block, uint32_t length);

/* Moves readPtr to `position` when ulmot_BufferIsContained accepts it (0);
 * otherwise returns that function's -4 or -3 and moves nothing. writePtr is
 * not checked: the caller keeps readPtr at or before it. */
ULMOT_API int32_t ulmot_BufferSetWriteHead(MessageBlock *block, uint8_t *position);

/* Un-reads `length` bytes: readPtr moves back into the head room, so bytes
 * already consumed (or a header in front of the data) are data again. -4
 * (nothing moves) when the head room is shorter than `length`. */
ULMOT_API int32_t ulmot_BufferBackupRead(MessageBlock *block, uint32_t length);

/* Sets the data length to `length`: writePtr = readPtr + length, which may
 * shorten the data or take in tail-room bytes as they are. -3 (nothing moves)
 * when readPtr + length would pass the buffer's limit. */
ULMOT_API int32_t ulmot_BufferSetTotalWriteLength(MessageBlock *block, uint32_t length);

/* Whether `position` lies within the block's buffer, compared as addresses
 * (any pointer may be passed): 0 from its base up to and including its limit,
 * -4 before the base, -3 past the limit. */
ULMOT_API int32_t ulmot_BufferIsContained(MessageBlock *block, const uint8_t *position);

/* Appends one byte, the low 8 bits of `value`; -1 and
 * "ulmot_BufferWriteInt8: Insufficient tail space" without tail room. */
ULMOT_API int32_t ulmot_BufferWriteInt8(MessageBlock *block, uint32_t value);

/* Consumes one byte into *value; -1 and "ulmot_BufferReadInt8: Read overflow"
 * when there is no data. A null `value` returns 0 and consumes nothing. */
ULMOT_API int32_t ulmot_BufferReadInt8(MessageBlock *block, uint8_t *value);

/* ---- Pool statistics ---------------------------------------------------- */

/* The elements of pool `pool` (0 to 3) that are free right now; 0 for any
 * other pool. With nothing outstanding it is the pool's size (ULMOT_POOL*):
 * an application can check that it holds no block it has forgotten. */
ULMOT_API uint32_t ulmot_PoolFreeCount(uint32_t pool);

/* ---- Diagnostics --------------------------------------------------------- */

/* Writes "[thread:milliseconds]message\n" to stderr in one write; the message
 * is formatted printf-style and cut at 199 characters. */
ULMOT_API void ulmot_Debug(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

#ifdef __cplusplus
}
#endif

#endif /* ULMOT_BUFFERS_H */
