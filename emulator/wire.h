// emulator/wire.h - the message header and DTP items as the emulated reader
// reads and writes them.
//
// The emulator has its own item decoder and encoder rather than libulmot's:
// it is the library's peer, and a peer that shared the library's codec would
// agree with it on every mistake. Bodies are read in place (views into the
// received block, valid while the block is held) and built in byte vectors,
// which go into a pool block only when the frame is sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "ulmot/session.h"

namespace uemu {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

// One block holds a whole message, so a frame is at most 2048 bytes and a
// body at most 2040 (the session would accept 2048, but no block can carry
// a 2048-byte body behind its header).
inline constexpr uint32_t kHeaderSize = ULMOT_HEADER_SIZE;
inline constexpr uint32_t kMaxFrame = 2048;
inline constexpr uint32_t kMaxBody = kMaxFrame - kHeaderSize;

// Item types and the ids fixed by the session.
inline constexpr uint8_t kInt8 = 0;
inline constexpr uint8_t kInt16 = 1;
inline constexpr uint8_t kInt32 = 2;
inline constexpr uint8_t kObjectReference = 3;
inline constexpr uint8_t kByteArray = 4;
inline constexpr uint8_t kList = 5;
inline constexpr uint8_t kResultItem = 255;
inline constexpr uint8_t kTimestampItem = 254;

// Sizes of the items the emulator writes most.
inline constexpr uint32_t kResultItemSize = 4;     // F1 FF and 16 bits
inline constexpr uint32_t kTimestampItemSize = 6;  // F2 FE and 32 bits

// The 8-byte message header, decoded.
struct Header {
    uint8_t destination = 0;
    uint8_t source = 0;
    uint8_t type = 0;  // bits 7-6 of byte 2
    uint8_t id = 0;    // bits 5-0 of byte 2
    uint8_t command = 0;
    uint8_t objectType = 0;
    uint8_t instance = 0;
    uint16_t length = 0;

    static Header Decode(const uint8_t *bytes);
    void EncodeTo(uint8_t *bytes) const;
};

// A frame: `header` (its length field taken from `body`) and `body`.
Bytes MakeFrame(Header header, ByteView body);

// One item of a body: its id and type, the whole item, and its value (for
// the length-prefixed types, the bytes after the length).
struct ItemView {
    uint8_t id = 0;
    uint8_t type = 0;
    ByteView bytes;
    ByteView value;
};

// The items of a body, in order. Parse refuses a body in which an item's
// header, length field or value runs past the end.
class Items {
public:
    bool Parse(ByteView body);

    const std::vector<ItemView> &all() const { return items_; }
    bool empty() const { return items_.empty(); }

    // The occurrence-th item with `id` (counted over every type), or null.
    const ItemView *Find(uint8_t id, size_t occurrence = 0) const;
    // The occurrence-th item with `id` and `type`, or null.
    const ItemView *FindTyped(uint8_t id, uint8_t type, size_t occurrence = 0) const;

    // The first item with `id`, when it has the type asked for.
    std::optional<uint8_t> Int8(uint8_t id) const;
    std::optional<uint32_t> Int32(uint8_t id, size_t occurrence = 0) const;
    std::optional<ByteView> ByteArray(uint8_t id) const;

private:
    std::vector<ItemView> items_;
};

// The Int8 values of a List item's value (count byte, then Int8 elements of
// any id); nothing when an element is not an Int8 or the count is wrong.
std::optional<Bytes> ListOfInt8(const ItemView &list);

// Appends items to a byte vector. Ids from 15 up take the extension byte.
class ItemWriter {
public:
    explicit ItemWriter(Bytes &out) : out_(out) {}

    void Int8(uint8_t id, uint8_t value);
    void Int16(uint8_t id, uint16_t value);
    void Int32(uint8_t id, uint32_t value);
    void ObjectReference(uint8_t id, uint8_t objectType, uint8_t instance);
    void ByteArray(uint8_t id, ByteView bytes);
    void Int8List(uint8_t id, ByteView values);
    void Raw(ByteView item);

    // The header size of an item with `id`.
    static uint32_t HeaderSize(uint8_t id) { return id >= 15 ? 2u : 1u; }

private:
    void Head(uint8_t id, uint8_t type);
    void Put16(uint32_t value);

    Bytes &out_;
};

// A pool block holding `frame` (readPtr at its first byte). Waits for a free
// block as ulmot_BufferAllocate does; frames are never above 2048 bytes.
MessageBlock *ToBlock(const Bytes &frame);

}  // namespace uemu
