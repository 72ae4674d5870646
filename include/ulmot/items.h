/*
 * ulmot/items.h - DTP items: the typed items that make up every message body.
 *
 * An item is a header byte (item id in the high nibble, type code in the low
 * nibble; 15 in a nibble means the value follows in an extension byte, id
 * first) and then its value, big-endian:
 *
 *   0 Int8  1 Int16  2 Int32  3 ObjectReference (object type, instance)
 *   4 ByteArray  5 List  6 TagFilter  7 TagData  - from 4 up a 16-bit length
 *   prefixes the value, so readers skip types they do not know.
 *
 * Item 255 carries the result code (Int16) of every response, item 254 the
 * time stamp (Int32) of every event and inbound request.
 *
 * Writers append at writePtr and first check that the whole item fits; when
 * it does not they write nothing, log one line and return -1. Readers search
 * the bytes from readPtr to writePtr of one block, change nothing and log
 * nothing; they never read past writePtr, whatever the lengths claim.
 * Pointers returned by readers point into the block and stay valid until the
 * block is released.
 */
#ifndef ULMOT_ITEMS_H
#define ULMOT_ITEMS_H

#include <stdint.h>

#include "buffers.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Item type codes. */
#define ULMOT_DTP_INT8 0u
#define ULMOT_DTP_INT16 1u
#define ULMOT_DTP_INT32 2u
#define ULMOT_DTP_OBJECT_REFERENCE 3u
#define ULMOT_DTP_BYTE_ARRAY 4u
#define ULMOT_DTP_LIST 5u
#define ULMOT_DTP_TAG_FILTER 6u
#define ULMOT_DTP_TAG_DATA 7u

/* Item ids with a meaning fixed by the session. */
#define ULMOT_ITEM_RESULT 255u    /* Int16 result code of a response */
#define ULMOT_ITEM_TIMESTAMP 254u /* Int32 time stamp of an event or request */

/* A tag report, as read from a tag report event. The pointers point into the
 * event's block and are valid only while it is held (during the callback). */
typedef struct TagReport {
    uint8_t tagDataHeaderByte;  /* byte 0 of the tag data (item 4) */
    uint32_t tagDataHeaderWord; /* bytes 1 to 4 of the tag data */
    uint16_t pcWord;            /* Gen2 PC word (format 517 only, else 0) */
    uint16_t xpcWord1;          /* first XPC word (PC bit 0x0200), else 0 */
    uint16_t xpcWord2;          /* second XPC word (XPC1 bit 0x8000), else 0 */
    const uint8_t *data;        /* tag bits (format 517: the EPC) */
    uint32_t dataLength;        /* bit count after the parse; bytes after the handler */
    uint16_t crc;               /* 16 bits after the EPC (format 517 only) */
    uint8_t item20;             /* Int8 item 20 */
    uint8_t item9Instance;      /* instance of object reference item 9 */
    uint16_t format;            /* Int16 item 0 */
    uint32_t item18;            /* Int32 item 18 */
    uint16_t item10;
    uint16_t item13;
    uint16_t item16;
    uint16_t item6;
    uint16_t item7;
    uint16_t item8;
    uint16_t item14;
    const uint8_t *item22Data; /* data of byte-array item 22 */
    uint32_t item22Length;     /* its length in bytes */
} TagReport;

/* A tag filter, as written by ulmot_BufferWriteDTPTagFilter. */
typedef struct TagFilter {
    uint8_t filterByte;
    uint32_t filterWord;
    uint8_t flags;
    uint16_t dataLengthBits;
    uint16_t maskLengthBytes;
    const uint8_t *data; /* (dataLengthBits + 7) / 8 bytes */
    const uint8_t *mask; /* maskLengthBytes bytes */
} TagFilter;

/* ---- Fixed-size items ---------------------------------------------------- */

/* Writers use the low 8 bits of the item id and cut values to the type's
 * width. 0, or -1 with a line when the tail room is too small. */
ULMOT_API int32_t ulmot_BufferWriteDTPInt8(MessageBlock *block, uint32_t itemId, uint32_t value);
ULMOT_API int32_t ulmot_BufferWriteDTPInt16(MessageBlock *block, uint32_t itemId, uint32_t value);
ULMOT_API int32_t ulmot_BufferWriteDTPInt32(MessageBlock *block, uint32_t itemId, uint32_t value);
ULMOT_API int32_t ulmot_BufferWriteDTPObjectReference(MessageBlock *block, uint32_t itemId,
                                                      uint32_t objectType, uint32_t instance);

/* Readers: 0 and the value (host order), or -8 with the output zeroed. A null
 * output only asks whether the item is there. */
ULMOT_API int32_t ulmot_BufferReadDTPInt8(MessageBlock *block, uint32_t itemId, uint8_t *value);
ULMOT_API int32_t ulmot_BufferReadDTPInt8WithIndex(MessageBlock *block, uint32_t itemId,
                                                   uint16_t index, uint8_t *value);
ULMOT_API int32_t ulmot_BufferReadDTPInt16(MessageBlock *block, uint32_t itemId, uint16_t *value);
ULMOT_API int32_t ulmot_BufferReadDTPInt32(MessageBlock *block, uint32_t itemId, uint32_t *value);
/* Delivers the instance (second value byte) of the index-th reference. */
ULMOT_API int32_t ulmot_BufferReadDTPObjectReference(MessageBlock *block, uint32_t itemId,
                                                     uint16_t index, uint8_t *instance);

/* ---- Variable-length items ----------------------------------------------- */

/* `length` bytes from `source` (null only for 0) as a ByteArray. A length
 * above 65,535 never fits a block: -1 and the no-room line. */
ULMOT_API int32_t ulmot_BufferWriteDTPByteArray(MessageBlock *block, uint32_t itemId,
                                                const void *source, uint32_t length);
/* A list of `count` Int8 elements (1 to 255); -5 and a line otherwise. */
ULMOT_API int32_t ulmot_BufferWriteDTPInt8List(MessageBlock *block, uint32_t itemId,
                                               const uint8_t *values, uint32_t count);
/* A list of `count` ObjectReference elements of one object type; -5 and a
 * line for a null pointer or a count of 0. */
ULMOT_API int32_t ulmot_BufferWriteDTPObjectReferenceList(MessageBlock *block, uint32_t itemId,
                                                          uint32_t objectType,
                                                          const uint8_t *instances, uint8_t count);
/* Note the order: flags come first here but travel after the filter word.
 * `data` holds (dataLengthBits + 7) / 8 bytes, `mask` maskLengthBytes bytes;
 * either may be null when its size is 0. */
ULMOT_API int32_t ulmot_BufferWriteDTPTagFilter(MessageBlock *block, uint32_t itemId, uint8_t flags,
                                                uint8_t filterByte, uint32_t filterWord,
                                                uint16_t dataLengthBits, uint16_t maskLengthBytes,
                                                const uint8_t *data, const uint8_t *mask);
/* Turns the `length` bytes in front of which it writes (normally the whole
 * body) into a list of `count` elements: a List header goes in front of
 * readPtr, which moves back. */
ULMOT_API int32_t ulmot_BufferPrependListInfo(MessageBlock *block, uint32_t itemId, uint32_t count,
                                              uint32_t length);

/* 0 with a pointer to the bytes (inside the block) and their length; -8 no
 * such ByteArray; -4 its length does not fit the block. Outputs are written
 * only on success; both may be null. */
ULMOT_API int32_t ulmot_BufferPeekDTPByteArray(MessageBlock *block, uint32_t itemId, uint16_t index,
                                               const uint8_t **data, uint16_t *length);
/* As the peek, then -3 when the array exceeds `capacity` (the length is
 * stored all the same); else copies it to `destination` (if given).
 * `length` is required: null is refused with -5. */
ULMOT_API int32_t ulmot_BufferReadDTPByteArray(MessageBlock *block, uint32_t itemId, uint16_t index,
                                               void *destination, uint16_t capacity,
                                               uint16_t *length);
/* Reads a ByteArray as text into `destination` and terminates it; capacity
 * counts the terminator. A capacity of 0 is refused with -5, writing nothing. */
ULMOT_API int32_t ulmot_BufferReadDTPString(MessageBlock *block, uint32_t itemId, uint16_t index,
                                            char *destination, uint16_t capacity);
/* Fills the header byte, header word, data pointer and bit count of `record`
 * (other fields untouched). -8 not found; -4 malformed. */
ULMOT_API int32_t ulmot_BufferReadDTPTagData(MessageBlock *block, uint32_t itemId, uint16_t index,
                                             TagReport *record);
/* The value of the element-index-th Int8 element of a List; -8 otherwise. */
ULMOT_API int32_t ulmot_BufferReadDTPListInt8(MessageBlock *block, uint32_t itemId, uint16_t index,
                                              uint8_t elementIndex, uint8_t *value);

#ifdef __cplusplus
}
#endif

#endif /* ULMOT_ITEMS_H */
