// The emulator's item decoder and encoder and the message header.
#include "wire.h"

#include <cstring>

#include "ulmot/buffers.h"

namespace uemu {

namespace {

constexpr uint8_t kExtension = 0x0F;
constexpr uint32_t kFixedSize[] = {1, 2, 4, 2};  // Int8, Int16, Int32, ObjectReference
constexpr uint32_t kLengthField = 2;

uint16_t Load16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

}  // namespace

Header Header::Decode(const uint8_t *b) {
    Header h;
    h.destination = b[ULMOT_HEADER_DESTINATION];
    h.source = b[ULMOT_HEADER_SOURCE];
    h.type = static_cast<uint8_t>(b[ULMOT_HEADER_TYPE_ID] >> 6);
    h.id = static_cast<uint8_t>(b[ULMOT_HEADER_TYPE_ID] & 63);
    h.command = b[ULMOT_HEADER_COMMAND];
    h.objectType = b[ULMOT_HEADER_OBJECT_TYPE];
    h.instance = b[ULMOT_HEADER_INSTANCE];
    h.length = Load16(b + ULMOT_HEADER_LENGTH);
    return h;
}

void Header::EncodeTo(uint8_t *b) const {
    b[ULMOT_HEADER_DESTINATION] = destination;
    b[ULMOT_HEADER_SOURCE] = source;
    b[ULMOT_HEADER_TYPE_ID] = static_cast<uint8_t>(type << 6 | (id & 63));
    b[ULMOT_HEADER_COMMAND] = command;
    b[ULMOT_HEADER_OBJECT_TYPE] = objectType;
    b[ULMOT_HEADER_INSTANCE] = instance;
    b[ULMOT_HEADER_LENGTH] = static_cast<uint8_t>(length >> 8);
    b[ULMOT_HEADER_LENGTH + 1] = static_cast<uint8_t>(length);
}

Bytes MakeFrame(Header header, ByteView body) {
    Bytes frame(kHeaderSize + body.size());
    header.length = static_cast<uint16_t>(body.size());
    header.EncodeTo(frame.data());
    if (!body.empty()) std::memcpy(frame.data() + kHeaderSize, body.data(), body.size());
    return frame;
}

bool Items::Parse(ByteView body) {
    items_.clear();
    size_t at = 0;
    while (at < body.size()) {
        const size_t left = body.size() - at;
        const uint8_t *p = body.data() + at;
        size_t head = 1;
        uint8_t id = static_cast<uint8_t>(p[0] >> 4);
        uint8_t type = static_cast<uint8_t>(p[0] & 0x0F);
        // The id extension comes before the type extension.
        if (id == kExtension) {
            if (left <= head) return false;
            id = p[head++];
        }
        if (type == kExtension) {
            if (left <= head) return false;
            type = p[head++];
        }
        size_t valueAt = head;
        size_t valueSize = 0;
        if (type < std::size(kFixedSize)) {
            valueSize = kFixedSize[type];
        } else {
            // Every other type, known or not, carries its length.
            if (left - head < kLengthField) return false;
            valueSize = Load16(p + head);
            valueAt = head + kLengthField;
        }
        if (left - valueAt < valueSize) return false;
        ItemView v;
        v.id = id;
        v.type = type;
        v.bytes = body.subspan(at, valueAt + valueSize);
        v.value = body.subspan(at + valueAt, valueSize);
        items_.push_back(v);
        at += valueAt + valueSize;
    }
    return true;
}

const ItemView *Items::Find(uint8_t id, size_t occurrence) const {
    for (const ItemView &v : items_) {
        if (v.id == id && occurrence-- == 0) return &v;
    }
    return nullptr;
}

const ItemView *Items::FindTyped(uint8_t id, uint8_t type, size_t occurrence) const {
    for (const ItemView &v : items_) {
        if (v.id == id && v.type == type && occurrence-- == 0) return &v;
    }
    return nullptr;
}

std::optional<uint8_t> Items::Int8(uint8_t id) const {
    const ItemView *v = Find(id);
    if (v == nullptr || v->type != kInt8) return std::nullopt;
    return v->value[0];
}

std::optional<uint32_t> Items::Int32(uint8_t id, size_t occurrence) const {
    const ItemView *v = FindTyped(id, kInt32, occurrence);
    if (v == nullptr) return std::nullopt;
    const uint8_t *p = v->value.data();
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

std::optional<ByteView> Items::ByteArray(uint8_t id) const {
    const ItemView *v = Find(id);
    if (v == nullptr || v->type != kByteArray) return std::nullopt;
    return v->value;
}

std::optional<Bytes> ListOfInt8(const ItemView &list) {
    if (list.type != kList || list.value.empty()) return std::nullopt;
    Items elements;
    if (!elements.Parse(list.value.subspan(1))) return std::nullopt;
    if (elements.all().size() != list.value[0]) return std::nullopt;
    Bytes values;
    for (const ItemView &e : elements.all()) {
        if (e.type != kInt8) return std::nullopt;
        values.push_back(e.value[0]);
    }
    return values;
}

void ItemWriter::Head(uint8_t id, uint8_t type) {
    if (id >= kExtension) {
        out_.push_back(static_cast<uint8_t>(kExtension << 4 | type));
        out_.push_back(id);
    } else {
        out_.push_back(static_cast<uint8_t>(id << 4 | type));
    }
}

void ItemWriter::Put16(uint32_t value) {
    out_.push_back(static_cast<uint8_t>(value >> 8));
    out_.push_back(static_cast<uint8_t>(value));
}

void ItemWriter::Int8(uint8_t id, uint8_t value) {
    Head(id, kInt8);
    out_.push_back(value);
}

void ItemWriter::Int16(uint8_t id, uint16_t value) {
    Head(id, kInt16);
    Put16(value);
}

void ItemWriter::Int32(uint8_t id, uint32_t value) {
    Head(id, kInt32);
    Put16(value >> 16);
    Put16(value & 0xFFFF);
}

void ItemWriter::ObjectReference(uint8_t id, uint8_t objectType, uint8_t instance) {
    Head(id, kObjectReference);
    out_.push_back(objectType);
    out_.push_back(instance);
}

void ItemWriter::ByteArray(uint8_t id, ByteView bytes) {
    Head(id, kByteArray);
    Put16(static_cast<uint32_t>(bytes.size()));
    for (uint8_t b : bytes) out_.push_back(b);
}

void ItemWriter::Int8List(uint8_t id, ByteView values) {
    Head(id, kList);
    Put16(static_cast<uint32_t>(1 + 2 * values.size()));
    out_.push_back(static_cast<uint8_t>(values.size()));
    for (uint8_t v : values) {
        out_.push_back(kInt8);  // element: item id 0, Int8
        out_.push_back(v);
    }
}

void ItemWriter::Raw(ByteView item) {
    for (uint8_t b : item) out_.push_back(b);
}

MessageBlock *ToBlock(const Bytes &frame) {
    MessageBlock *b = ulmot_BufferAllocate(static_cast<uint32_t>(frame.size()), 0);
    if (b == nullptr) return nullptr;
    ulmot_BufferAppend(b, frame.data(), static_cast<uint32_t>(frame.size()));
    return b;
}

}  // namespace uemu
