// Property sets, object tables and the default behaviour of a family: a
// plain store of typed items.
#include "family.h"

namespace uemu {

bool PropertySet::Put(const ItemView &item) {
    if (item.id == kResultItem || item.id == kTimestampItem) return false;
    items_[item.id] = Bytes(item.bytes.begin(), item.bytes.end());
    return true;
}

void PropertySet::PutInt8(uint8_t id, uint8_t value) {
    Bytes b;
    ItemWriter(b).Int8(id, value);
    items_[id] = std::move(b);
}

void PropertySet::PutInt16(uint8_t id, uint16_t value) {
    Bytes b;
    ItemWriter(b).Int16(id, value);
    items_[id] = std::move(b);
}

void PropertySet::PutInt32(uint8_t id, uint32_t value) {
    Bytes b;
    ItemWriter(b).Int32(id, value);
    items_[id] = std::move(b);
}

void PropertySet::PutByteArray(uint8_t id, ByteView bytes) {
    Bytes b;
    ItemWriter(b).ByteArray(id, bytes);
    items_[id] = std::move(b);
}

const Bytes *PropertySet::Get(uint8_t id) const {
    auto it = items_.find(id);
    return it == items_.end() ? nullptr : &it->second;
}

bool PropertySet::Erase(uint8_t id) { return items_.erase(id) != 0; }

uint32_t PropertySet::EncodedSize() const {
    uint32_t n = 0;
    for (const auto &[id, item] : items_) n += static_cast<uint32_t>(item.size());
    return n;
}

void PropertySet::AppendTo(Bytes &out) const {
    for (const auto &[id, item] : items_) ItemWriter(out).Raw(item);
}

Object *ObjectTable::Find(uint8_t instance) {
    auto it = objects_.find(instance);
    return it == objects_.end() ? nullptr : &it->second;
}

const Object *ObjectTable::Find(uint8_t instance) const {
    auto it = objects_.find(instance);
    return it == objects_.end() ? nullptr : &it->second;
}

uint8_t ObjectTable::LowestFree() const {
    for (unsigned i = 1; i <= 255; ++i) {
        if (objects_.find(static_cast<uint8_t>(i)) == objects_.end()) return static_cast<uint8_t>(i);
    }
    return 0;
}

Object &ObjectTable::Insert(uint8_t instance, bool preset) {
    Object &o = objects_[instance];
    o.instance = instance;
    o.preset = preset;
    return o;
}

bool ObjectTable::Erase(uint8_t instance) { return objects_.erase(instance) != 0; }

void Family::Populate(ObjectTable &table, uint8_t count) {
    for (unsigned i = 1; i <= count; ++i) table.Insert(static_cast<uint8_t>(i), true);
}

namespace {

// Merges `items` into `into`, refusing the whole set when the result would
// not fit a get response. `into` is unchanged on refusal.
int16_t Merge(PropertySet &into, const Items &items) {
    PropertySet merged = into;
    for (const ItemView &item : items.all()) merged.Put(item);
    if (merged.EncodedSize() > kMaxPropertyBytes) return UEMU_RESULT_EXHAUSTED;
    into = std::move(merged);
    return UEMU_RESULT_OK;
}

}  // namespace

int16_t Family::Add(Context &, const Request &request, Object &created, Reply &) {
    return Merge(created.properties, request.items);
}

int16_t Family::Remove(Context &, const Request &, Object &object) {
    return object.preset ? UEMU_RESULT_REFUSED : UEMU_RESULT_OK;
}

int16_t Family::SetProperties(Context &, const Request &request, Object &object) {
    return Merge(object.properties, request.items);
}

int16_t Family::GetProperties(Context &, const Request &, const Object &object, Reply &reply) {
    object.properties.AppendTo(reply.body());
    return UEMU_RESULT_OK;
}

int16_t Family::ObjectCommand(Context &, const Request &, ObjectTable &, Reply &) {
    return UEMU_RESULT_UNKNOWN_COMMAND;
}

void Family::Start(Services &) {}
void Family::Stop() {}

}  // namespace uemu
