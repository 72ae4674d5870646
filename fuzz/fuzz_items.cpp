// Fuzz target: every item reader and the list and tag data readers on an
// arbitrary body, with arbitrary id, index, element index and capacity.
//
// Input: id (1 byte; a first byte of 0xFF takes a 32-bit id instead), index
// (2), element index (1), capacity (2), then the body. Each reader runs on
// the body in an exact heap buffer (AddressSanitizer reports a read at or
// past writePtr) and in a pool block with other bytes behind writePtr (which
// must not change any result), and its result is compared with a model of the
// item format written here from the format's rules:
//   - an item is a header (id and type nibbles; a nibble of 15 takes the
//     value from an extension byte, id first), then the value: 1, 2, 4 or 2
//     bytes for types 0 to 3, a 16-bit length and that many bytes otherwise;
//   - a lookup counts the items with the id, whatever their type; the
//     index-th one decides, and it must have the type and its value must lie
//     in the body; the walk stops at the first item that is cut off;
//   - a List's elements are counted while they start inside the list (its
//     length counts the count byte and the elements); the element found is
//     read up to the end of the body, like any item.
#include <vector>

#include "fuzz/fuzz_support.h"

namespace {

using namespace ulmot::fuzz;

// ---- The model --------------------------------------------------------------

struct Header {
    uint8_t id, type;
    size_t size;
};

// Decodes the header at `at`; false when it does not fit before `end`.
bool ModelHeader(const uint8_t *body, size_t at, size_t end, Header *h) {
    if (at >= end) return false;
    h->id = static_cast<uint8_t>(body[at] >> 4);
    h->type = static_cast<uint8_t>(body[at] & 15);
    h->size = 1;
    if (h->id == 15) {
        if (at + h->size >= end) return false;
        h->id = body[at + h->size++];
    }
    if (h->type == 15) {
        if (at + h->size >= end) return false;
        h->type = body[at + h->size++];
    }
    return true;
}

// The whole size of the item at `at`, or 0 when it is cut off before `end`.
size_t ModelItemSize(const uint8_t *body, size_t at, size_t end) {
    Header h;
    if (!ModelHeader(body, at, end, &h)) return 0;
    size_t size;
    if (h.type < 4) {
        static const size_t kFixed[4] = {1, 2, 4, 2};
        size = h.size + kFixed[h.type];
    } else {
        if (at + h.size + 2 > end) return 0;
        size = h.size + 2 + (size_t{body[at + h.size]} << 8 | body[at + h.size + 1]);
    }
    return at + size <= end ? size : 0;
}

// Offset of the value of the index-th item with `id` in body[0, end), if it
// has `type` and `minValue` bytes of value before `end`; -1 otherwise.
long ModelFind(const uint8_t *body, size_t end, uint8_t id, uint16_t index, uint8_t type, size_t minValue) {
    size_t at = 0;
    uint32_t seen = 0;
    while (at < end) {
        Header h;
        if (!ModelHeader(body, at, end, &h)) return -1;
        if (h.id == id) {
            if (seen == index) {
                if (h.type != type || end - at - h.size < minValue) return -1;
                return static_cast<long>(at + h.size);
            }
            ++seen;
        }
        const size_t size = ModelItemSize(body, at, end);
        if (size == 0) return -1;
        at += size;
    }
    return -1;
}

uint16_t Load16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// The value offset of the element-index-th Int8 element of the index-th List
// with `id`; -1 otherwise. An element counts when it starts before the list's
// end; its header, length field and value are read up to `end`, like any
// item's; the walk stops when the next element would start at or after the
// list's end.
long ModelListInt8(const uint8_t *body, size_t end, uint8_t id, uint16_t index, uint8_t elementIndex) {
    const long list = ModelFind(body, end, id, index, ULMOT_DTP_LIST, 2);
    if (list < 0) return -1;
    const size_t length = Load16(body + list);
    const size_t listEnd = static_cast<size_t>(list) + 2 + length;
    if (listEnd > end || length < 2) return -1;
    size_t at = static_cast<size_t>(list) + 3;  // after the count byte
    uint32_t seen = 0;
    for (;;) {
        Header h;
        if (!ModelHeader(body, at, end, &h)) return -1;
        if (h.type == ULMOT_DTP_INT8) {
            if (seen == elementIndex) return at + h.size < end ? static_cast<long>(at + h.size) : -1;
            ++seen;
        }
        size_t size = h.size + 2;  // types 1 and 3
        if (h.type == 0) size = h.size + 1;
        if (h.type == 2) size = h.size + 4;
        if (h.type >= 4) {
            if (at + h.size + 2 > end) return -1;
            size = h.size + 2 + Load16(body + at + h.size);
        }
        if (at + size >= listEnd) return -1;
        at += size;
    }
}

// ---- The readers against the model ------------------------------------------

struct Params {
    uint32_t id;
    uint16_t index;
    uint8_t elementIndex;
    uint16_t capacity;
};

// What every reader returned, for comparing the two blocks.
struct Results {
    std::vector<long> values;
    void Add(long v) { values.push_back(v); }
};

// Runs every reader on `b`, whose data is body[0, size) (a copy of it);
// checks each against the model and records what it returned.
void RunReaders(MessageBlock *b, const uint8_t *body, size_t size, const Params &p, Results *out) {
    const uint8_t *start = b->readPtr;
    const uint8_t *end = b->writePtr;
    const uint8_t id8 = static_cast<uint8_t>(p.id);
    auto offset = [&](const uint8_t *at) { return static_cast<long>(at - start); };

    {
        uint8_t v = 0xA5;
        const int32_t rc = ulmot_BufferReadDTPInt8(b, p.id, &v);
        const long m = ModelFind(body, size, id8, 0, ULMOT_DTP_INT8, 1);
        Check(rc == (m < 0 ? ULMOT_ERR_NOT_FOUND : ULMOT_OK), "Int8: result differs from the model");
        Check(v == (m < 0 ? 0 : body[m]), "Int8: value differs from the model (or not zeroed)");
        Check(ulmot_BufferReadDTPInt8(b, p.id, nullptr) == rc, "Int8: null output changes the result");
        out->Add(rc), out->Add(v);
    }
    {
        uint8_t v = 0xA5;
        const int32_t rc = ulmot_BufferReadDTPInt8WithIndex(b, p.id, p.index, &v);
        const long m = ModelFind(body, size, id8, p.index, ULMOT_DTP_INT8, 1);
        Check(rc == (m < 0 ? ULMOT_ERR_NOT_FOUND : ULMOT_OK), "Int8WithIndex: result differs from the model");
        Check(v == (m < 0 ? 0 : body[m]), "Int8WithIndex: value differs from the model");
        out->Add(rc), out->Add(v);
    }
    {
        uint16_t v = 0xA5A5;
        const int32_t rc = ulmot_BufferReadDTPInt16(b, p.id, &v);
        const long m = ModelFind(body, size, id8, 0, ULMOT_DTP_INT16, 2);
        Check(rc == (m < 0 ? ULMOT_ERR_NOT_FOUND : ULMOT_OK), "Int16: result differs from the model");
        Check(v == (m < 0 ? 0 : Load16(body + m)), "Int16: value differs from the model");
        out->Add(rc), out->Add(v);
    }
    {
        uint32_t v = 0xA5A5A5A5;
        const int32_t rc = ulmot_BufferReadDTPInt32(b, p.id, &v);
        const long m = ModelFind(body, size, id8, 0, ULMOT_DTP_INT32, 4);
        Check(rc == (m < 0 ? ULMOT_ERR_NOT_FOUND : ULMOT_OK), "Int32: result differs from the model");
        Check(v == (m < 0 ? 0u : static_cast<uint32_t>(Load16(body + m)) << 16 | Load16(body + m + 2)),
              "Int32: value differs from the model");
        out->Add(rc), out->Add(static_cast<long>(v));
    }
    {
        uint8_t v = 0xA5;
        const int32_t rc = ulmot_BufferReadDTPObjectReference(b, p.id, p.index, &v);
        const long m = ModelFind(body, size, id8, p.index, ULMOT_DTP_OBJECT_REFERENCE, 2);
        Check(rc == (m < 0 ? ULMOT_ERR_NOT_FOUND : ULMOT_OK), "ObjectReference: result differs from the model");
        Check(v == (m < 0 ? 0 : body[m + 1]), "ObjectReference: instance differs from the model");
        out->Add(rc), out->Add(v);
    }

    // ByteArray: found, and its length within the body.
    const long array = ModelFind(body, size, id8, p.index, ULMOT_DTP_BYTE_ARRAY, 2);
    const long arrayLength = array < 0 ? -1 : Load16(body + array);
    const int32_t arrayRc = array < 0                                               ? ULMOT_ERR_NOT_FOUND
                            : static_cast<size_t>(array) + 2 + arrayLength > size ? ULMOT_ERR_BEFORE_START
                                                                                     : ULMOT_OK;
    {
        const uint8_t *data = nullptr;
        uint16_t length = 0xA5A5;
        const int32_t rc = ulmot_BufferPeekDTPByteArray(b, p.id, p.index, &data, &length);
        Check(rc == arrayRc, "PeekByteArray: result differs from the model");
        if (rc == ULMOT_OK) {
            Check(data == start + array + 2 && length == arrayLength, "PeekByteArray: wrong bytes");
            Check(Inside(data, length, start, end), "PeekByteArray: bytes outside the data");
            out->Add(Touch(data, length));
        } else {
            Check(data == nullptr && length == 0xA5A5, "PeekByteArray: outputs written on failure");
        }
        Check(ulmot_BufferPeekDTPByteArray(b, p.id, p.index, nullptr, nullptr) == rc,
              "PeekByteArray: null outputs change the result");
        out->Add(rc);
    }
    {
        // The destination is a heap buffer of exactly the capacity.
        std::unique_ptr<uint8_t[]> destination(new uint8_t[p.capacity + 1u]);
        uint16_t length = 0xA5A5;
        const int32_t rc = ulmot_BufferReadDTPByteArray(b, p.id, p.index, destination.get(), p.capacity, &length);
        const int32_t expected = arrayRc == ULMOT_OK && arrayLength > p.capacity ? ULMOT_ERR_BEYOND_END : arrayRc;
        Check(rc == expected, "ReadByteArray: result differs from the model");
        if (rc == ULMOT_OK || rc == ULMOT_ERR_BEYOND_END) {
            Check(length == arrayLength, "ReadByteArray: length differs from the model");
        } else {
            Check(length == 0xA5A5, "ReadByteArray: length written on failure");
        }
        if (rc == ULMOT_OK) {
            Check(std::memcmp(destination.get(), body + array + 2, length) == 0, "ReadByteArray: wrong bytes");
        }
        Check(ulmot_BufferReadDTPByteArray(b, p.id, p.index, destination.get(), p.capacity, nullptr) ==
                  ULMOT_ERR_INVALID,
              "ReadByteArray: a null length is not refused");
        out->Add(rc);
    }
    {
        // Exactly `capacity` bytes (at least one, for the capacity-0 case).
        std::unique_ptr<char[]> text(new char[p.capacity == 0 ? 1u : p.capacity]);
        text[0] = 'x';
        const int32_t rc = ulmot_BufferReadDTPString(b, p.id, p.index, text.get(), p.capacity);
        int32_t expected = arrayRc;
        if (p.capacity == 0) {
            expected = ULMOT_ERR_INVALID;
        } else if (arrayRc == ULMOT_OK && arrayLength > p.capacity - 1) {
            expected = ULMOT_ERR_BEYOND_END;
        }
        Check(rc == expected, "ReadString: result differs from the model");
        if (rc == ULMOT_OK) {
            Check(text[arrayLength] == '\0' && std::memcmp(text.get(), body + array + 2, arrayLength) == 0,
                  "ReadString: wrong text or no terminator");
        } else if (p.capacity == 0) {
            Check(text[0] == 'x', "ReadString: capacity 0 wrote");
        }
        out->Add(rc);
    }
    {
        TagReport record;
        std::memset(&record, 0x5A, sizeof record);
        const TagReport untouched = record;
        const int32_t rc = ulmot_BufferReadDTPTagData(b, p.id, p.index, &record);
        const long v = ModelFind(body, size, id8, p.index, ULMOT_DTP_TAG_DATA, 2);
        int32_t expected = ULMOT_ERR_NOT_FOUND;
        if (v >= 0) {
            const size_t length = Load16(body + v);
            const bool sound = static_cast<size_t>(v) + 2 + length <= size && length >= 7 &&
                               length - 7 >= (Load16(body + v + 7) + 7u) / 8;
            expected = sound ? ULMOT_OK : ULMOT_ERR_BEFORE_START;
        }
        Check(rc == expected, "ReadTagData: result differs from the model");
        if (rc == ULMOT_OK) {
            Check(record.tagDataHeaderByte == body[v + 2] &&
                      record.tagDataHeaderWord ==
                          (static_cast<uint32_t>(Load16(body + v + 3)) << 16 | Load16(body + v + 5)) &&
                      record.dataLength == Load16(body + v + 7) && record.data == start + v + 9,
                  "ReadTagData: record differs from the model");
            Check(Inside(record.data, (record.dataLength + 7u) / 8, start, end), "ReadTagData: bits outside the data");
            out->Add(Touch(record.data, (record.dataLength + 7u) / 8));
            // Only those four fields are filled.
            record.tagDataHeaderByte = untouched.tagDataHeaderByte;
            record.tagDataHeaderWord = untouched.tagDataHeaderWord;
            record.data = untouched.data;
            record.dataLength = untouched.dataLength;
        }
        Check(std::memcmp(&record, &untouched, sizeof record) == 0, "ReadTagData: other fields written");
        Check(ulmot_BufferReadDTPTagData(b, p.id, p.index, nullptr) == rc, "ReadTagData: null record changes the result");
        out->Add(rc);
    }
    {
        uint8_t v = 0xA5;
        const int32_t rc = ulmot_BufferReadDTPListInt8(b, p.id, p.index, p.elementIndex, &v);
        const long m = ModelListInt8(body, size, id8, p.index, p.elementIndex);
        Check(rc == (m < 0 ? ULMOT_ERR_NOT_FOUND : ULMOT_OK), "ListInt8: result differs from the model");
        if (m >= 0) Check(v == body[m], "ListInt8: value differs from the model");
        out->Add(rc), out->Add(v);
    }
    Check(b->readPtr == start && b->writePtr == end, "a reader moved the block's pointers");
    Check(std::memcmp(start, body, size) == 0, "a reader changed the body");
    (void)offset;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    streams_buf_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in(data, size);
    Params p;
    const uint8_t first = in.U8();
    p.id = first == 0xFF ? in.U32() : first;
    p.index = in.U16();
    // Indexes beyond a few occurrences all behave alike; keep most small.
    if (p.index & 0x8000) p.index &= 7;
    p.elementIndex = in.U8();
    p.capacity = in.U16();
    if (p.capacity & 0x8000) p.capacity &= 0x3F;
    const uint8_t *body = in.rest();
    const size_t bodySize = in.left() < ULMOT_MAX_BLOCK_SIZE ? in.left() : ULMOT_MAX_BLOCK_SIZE;

    Results exact, pooled;
    {
        ExactBlock b(body, bodySize);
        RunReaders(b.get(), b.begin(), bodySize, p, &exact);
    }
    {
        // The same body in a pool block whose bytes behind writePtr would
        // complete any item cut off at the end.
        MessageBlock *b = allocb(ULMOT_MAX_BLOCK_SIZE, 0);
        Check(b != nullptr, "no pool block");
        std::memset(b->dataBlock->base, 0x00, ULMOT_MAX_BLOCK_SIZE);
        if (bodySize != 0) std::memcpy(b->writePtr, body, bodySize);
        b->writePtr += bodySize;
        for (uint8_t *q = b->writePtr; q < b->dataBlock->limit; ++q) *q = 0x11;  // Int8 items of id 1, and so on
        RunReaders(b, b->readPtr, bodySize, p, &pooled);
        freeb(b);
    }
    Check(exact.values.size() == pooled.values.size(), "readers ran differently");
    for (size_t i = 0; i < exact.values.size(); ++i) {
        Check(exact.values[i] == pooled.values[i], "bytes behind writePtr changed a result");
    }
    CheckPoolsFull("after the input");
    return 0;
}
