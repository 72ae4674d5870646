// Access specifications (object type 7): an operation on the tags that
// inventories find. Item 4 says which (0 read, 1 write), item 6 the memory
// bank, item 5 the first word, item 13 the words to read (0: to the end of
// the bank), item 7 the data to write (item 8 bytes of it). Items 1, 2, 3
// and 14 narrow the tags it applies to: the inventories that found them,
// the antennas that heard them, a tag filter specification that selects
// them, the inventories' access group. The schedule engine runs it once per
// tag and schedule run (RunAccess), after the tag's report.
#include <algorithm>

#include "families.h"

namespace uemu {

namespace {


// Result item 10 of the access events, and the Gen2 error codes of item 11.
constexpr uint8_t kAccessDone = 0;
constexpr uint8_t kTagError = 1;
constexpr uint8_t kNoError = 0;
constexpr uint8_t kMemoryOverrun = 3;
constexpr uint8_t kMemoryLocked = 4;

constexpr uint8_t kDataCompleteEvent = 0;
constexpr uint8_t kCompleteEvent = 1;

int16_t ReadAccess(Context &context, const PropertySet &items, const FamilyState *,
                   std::unique_ptr<FamilyState> &out) {
    auto s = std::make_unique<AccessState>();
    bool bad = false;
    s->enabled = StoredNumber(items, 0, bad).value_or(0) != 0;
    const auto operation = StoredNumber(items, 4, bad);
    const auto pointer = StoredNumber(items, 5, bad);
    const auto bank = StoredNumber(items, 6, bad);
    const auto length = StoredNumber(items, 8, bad);
    const auto count = StoredNumber(items, 13, bad);
    const auto group = StoredNumber(items, 14, bad);
    const auto filter = StoredReference(items, 3, bad);
    if (bad) return kMalformed;
    s->operation = static_cast<uint8_t>(operation.value_or(kAccessRead));
    s->pointer = pointer.value_or(0);
    s->bank = static_cast<uint8_t>(bank.value_or(UEMU_BANK_USER));
    s->count = static_cast<uint8_t>(count.value_or(0));
    s->group = static_cast<uint8_t>(group.value_or(0));
    if (s->operation > kAccessWrite || s->bank >= kBankCount) return kOutOfRange;
    if (filter && filter->instance != 0) {
        if (filter->type != kFilterType) return kMalformed;
        ObjectTable *filters = context.Table(kFilterType);
        if (filters == nullptr || filters->Find(filter->instance) == nullptr) return kNoSuchObject;
        s->filter = filter->instance;
    }
    if (const auto data = StoredItem(items, 7)) {
        if (data->type != kByteArray) return kMalformed;
        const size_t n = length ? *length : data->value.size();
        if (n > data->value.size()) return kMalformed;
        s->data = Bytes(data->value.begin(), data->value.begin() + static_cast<ptrdiff_t>(n));
    }
    if (s->operation == kAccessWrite) {
        if (!s->data) return kMalformed;
        if (s->data->empty() || s->data->size() % 2 != 0) return kOutOfRange;
    }
    for (const auto &[id, type, into] : {std::tuple{uint8_t{1}, kInventoryType, &s->inventories},
                                         std::tuple{uint8_t{2}, kAntennaType, &s->antennas}}) {
        if (const auto list = StoredItem(items, id)) {
            Bytes instances;
            const int16_t r = ReferenceList(*list, type, context.Table(type), instances);
            if (r != UEMU_RESULT_OK) return r;
            *into = std::move(instances);
        }
    }
    out = std::move(s);
    return UEMU_RESULT_OK;
}

class AccessFamily final : public StatefulFamily {
protected:
    ReadState reader() override { return ReadAccess; }
};

bool Contains(const std::optional<Bytes> &list, uint8_t value) {
    return !list || std::find(list->begin(), list->end(), value) != list->end();
}

}  // namespace

std::unique_ptr<Family> MakeAccessFamily() { return std::make_unique<AccessFamily>(); }

bool AccessApplies(Context &context, const TagField &field, const AccessState &access,
                   const Sighting &seen) {
    if (!access.enabled || !Contains(access.inventories, seen.inventory) ||
        !Contains(access.antennas, seen.antenna) ||
        (access.group != 0 && access.group != seen.accessGroup)) {
        return false;
    }
    if (access.filter == 0) return true;
    const auto *filter = StateOf<FilterState>(context, kFilterType, access.filter);
    return filter != nullptr && filter->program.Selects(field.tag(seen.tag));
}

void RunAccess(Context &context, TagField &field, uint8_t instance, const AccessState &access,
               const Sighting &seen) {
    const Tag &tag = field.tag(seen.tag);
    uint8_t result = kAccessDone;
    uint8_t code = kNoError;
    Bytes data;
    if (access.operation == kAccessRead) {
        if (std::optional<Bytes> read = tag.Read(access.bank, access.pointer, access.count)) {
            data = std::move(*read);
        } else {
            result = kTagError;
            code = kMemoryOverrun;
        }
    } else if (access.bank != UEMU_BANK_USER) {
        result = kTagError;
        code = kMemoryLocked;
    } else if (!field.WriteUser(seen.tag, access.pointer, *access.data)) {
        result = kTagError;
        code = kMemoryOverrun;
    }
    Bytes body;
    ItemWriter w(body);
    w.Int8(10, result);
    w.Int8(11, code);
    if (access.operation == kAccessRead) w.ByteArray(7, data);
    PutTagData(body, 4, UEMU_BANK_EPC, 0x10, tag.Backscatter());
    w.ObjectReference(9, kAntennaType, seen.antenna);
    context.RaiseEvent(kAccessType, access.operation == kAccessRead ? kDataCompleteEvent : kCompleteEvent,
                       instance, body);
}

}  // namespace uemu
