// What the families that read and match tags share: the tag field, item readers,
// tag filters, and the merge-then-read of an add or a set.
#include "families.h"

#include <stdexcept>

namespace uemu {

namespace {

constexpr size_t kTagFilterFixed = 10;  // filter byte, word, flags, bit count, mask length

uint32_t Load(ByteView bytes, size_t at, size_t width) {
    uint32_t v = 0;
    for (size_t i = 0; i < width; ++i) v = v << 8 | bytes[at + i];
    return v;
}

bool DataBit(const Bytes &bytes, uint32_t bit) { return ((bytes[bit / 8] >> (7 - bit % 8)) & 1u) != 0; }

// A tag filter item's value, read into `rule`; false when its lengths
// disagree or its bank is not one of the four.
bool ReadRule(const ItemView &item, TagFilterRule &rule) {
    const ByteView v = item.value;
    if (v.size() < kTagFilterFixed) return false;
    rule.bank = v[0];
    rule.pointer = Load(v, 1, 4);
    rule.flags = v[5];
    rule.bits = static_cast<uint16_t>(Load(v, 6, 2));
    const size_t maskBytes = Load(v, 8, 2);
    const size_t dataBytes = (rule.bits + 7u) / 8u;
    if (v.size() != kTagFilterFixed + dataBytes + maskBytes) return false;
    rule.data.assign(v.begin() + kTagFilterFixed, v.begin() + static_cast<ptrdiff_t>(kTagFilterFixed + dataBytes));
    rule.mask.assign(v.begin() + static_cast<ptrdiff_t>(kTagFilterFixed + dataBytes), v.end());
    return rule.bank < kBankCount;
}

}  // namespace

std::shared_ptr<TagPath> TagPathOf(Services &services) {
    return std::static_pointer_cast<TagPath>(services.Shared("tag path", [&]() -> std::shared_ptr<void> {
        const std::optional<FieldConfig> config = ReadFieldConfig(services.Config());
        if (!config) throw std::invalid_argument("tag field block out of range");
        return std::make_shared<TagPath>(*config);
    }));
}

std::optional<ItemView> StoredItem(const PropertySet &properties, uint8_t id) {
    const Bytes *kept = properties.Get(id);
    if (kept == nullptr) return std::nullopt;
    Items items;
    if (!items.Parse(*kept) || items.all().size() != 1) return std::nullopt;
    return items.all().front();
}

std::optional<uint32_t> Number(const ItemView &item) {
    switch (item.type) {
    case kInt8:
        return Load(item.value, 0, 1);
    case kInt16:
        return Load(item.value, 0, 2);
    case kInt32:
        return Load(item.value, 0, 4);
    default:
        return std::nullopt;
    }
}

std::optional<Ref> Reference(const ItemView &item) {
    if (item.type != kObjectReference) return std::nullopt;
    return Ref{item.value[0], item.value[1]};
}

std::optional<uint32_t> StoredNumber(const PropertySet &properties, uint8_t id, bool &bad) {
    const std::optional<ItemView> item = StoredItem(properties, id);
    if (!item) return std::nullopt;
    const std::optional<uint32_t> n = Number(*item);
    if (!n) bad = true;
    return n;
}

std::optional<Ref> StoredReference(const PropertySet &properties, uint8_t id, bool &bad) {
    const std::optional<ItemView> item = StoredItem(properties, id);
    if (!item) return std::nullopt;
    const std::optional<Ref> r = Reference(*item);
    if (!r) bad = true;
    return r;
}

std::optional<std::vector<ItemView>> ListElements(const ItemView &list) {
    if (list.type != kList || list.value.empty()) return std::nullopt;
    Items elements;
    if (!elements.Parse(list.value.subspan(1)) || elements.all().size() != list.value[0]) {
        return std::nullopt;
    }
    return elements.all();
}

int16_t ReferenceList(const ItemView &list, uint8_t type, const ObjectTable *table, Bytes &instances) {
    const std::optional<std::vector<ItemView>> elements = ListElements(list);
    if (!elements) return kMalformed;
    instances.clear();
    for (const ItemView &e : *elements) {
        const std::optional<Ref> r = Reference(e);
        if (!r || r->type != type) return kMalformed;
        if (table != nullptr && table->Find(r->instance) == nullptr) return kNoSuchObject;
        instances.push_back(r->instance);
    }
    return UEMU_RESULT_OK;
}

void PutTagData(Bytes &out, uint8_t id, uint8_t headerByte, uint32_t headerWord, ByteView bits) {
    ItemWriter w(out);
    Bytes value = {headerByte,
                   static_cast<uint8_t>(headerWord >> 24),
                   static_cast<uint8_t>(headerWord >> 16),
                   static_cast<uint8_t>(headerWord >> 8),
                   static_cast<uint8_t>(headerWord),
                   static_cast<uint8_t>(bits.size() * 8 >> 8),
                   static_cast<uint8_t>(bits.size() * 8)};
    value.insert(value.end(), bits.begin(), bits.end());
    // The header is that of a byte array with the type code of tag data.
    const size_t start = out.size();
    w.ByteArray(id, value);
    out[start] = static_cast<uint8_t>((out[start] & 0xF0) | kTagData);
}

bool TagFilterRule::Matches(const Tag &tag) const {
    if (static_cast<uint64_t>(pointer) + bits > tag.BankBits(bank)) return false;
    for (uint32_t i = 0; i < bits; ++i) {
        const bool counts = i / 8 >= mask.size() || DataBit(mask, i);
        if (counts && *tag.Bit(bank, pointer + i) != DataBit(data, i)) return false;
    }
    return true;
}

bool TagFilterRule::Apply(const Tag &tag, bool selected) const {
    const bool match = Matches(tag);
    // Gen2 Select actions 0 to 7: what a match, then a non-match, does.
    switch (flags & 7) {
    case 0:
        return match;
    case 1:
        return match ? true : selected;
    case 2:
        return match ? selected : false;
    case 3:
        return match ? !selected : selected;
    case 4:
        return !match;
    case 5:
        return match ? false : selected;
    case 6:
        return match ? selected : true;
    default:
        return match ? selected : !selected;
    }
}

int16_t FilterProgram::Parse(const ItemView &list) {
    const std::optional<std::vector<ItemView>> elements = ListElements(list);
    if (!elements) return kMalformed;
    std::vector<Step> steps;
    for (const ItemView &e : *elements) {
        Step s;
        if (e.type == kInt8) {
            s.preset = e.value[0] != 0;
        } else if (e.type != kTagFilter || !ReadRule(e, s.rule)) {
            return kMalformed;
        }
        steps.push_back(std::move(s));
    }
    steps_ = std::move(steps);
    return UEMU_RESULT_OK;
}

bool FilterProgram::Selects(const Tag &tag) const {
    if (steps_.empty()) return true;
    bool selected = false;
    for (const Step &s : steps_) selected = s.preset ? *s.preset : s.rule.Apply(tag, selected);
    return selected;
}

int16_t MergeAndRead(Context &context, const Items &items, Object &object, const ReadState &read) {
    PropertySet merged = object.properties;
    for (const ItemView &item : items.all()) merged.Put(item);
    if (merged.EncodedSize() > kMaxPropertyBytes) return UEMU_RESULT_EXHAUSTED;
    std::unique_ptr<FamilyState> state;
    const int16_t r = read(context, merged, object.state.get(), state);
    if (r != UEMU_RESULT_OK) return r;
    object.properties = std::move(merged);
    object.state = std::move(state);
    return UEMU_RESULT_OK;
}

}  // namespace uemu
