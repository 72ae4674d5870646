// The C interface of the tag field: what a test compares reports and access
// results with, and the antennas' VSWR measurement.
#include <algorithm>
#include <cstring>

#include "reader.h"
#include "families.h"

namespace {

using namespace uemu;

constexpr uint8_t kVswrEvent = 0;
constexpr uint8_t kVswrItem = 4;

// Runs `work` on the reader's tag field with the store locked; the result of
// `work`, or a code for an exception (no C++ exception crosses the C
// interface).
template <typename Work>
int32_t WithField(uemu_Reader *reader, Work &&work) {
    try {
        int32_t result = UEMU_ERR_FAILED;
        std::shared_ptr<TagPath> path = TagPathOf(reader->reader);
        reader->reader.WithStore([&](Context &context) { result = work(context, path->field); });
        return result;
    } catch (const std::bad_alloc &) {
        return UEMU_ERR_NO_MEMORY;
    } catch (...) {
        return UEMU_ERR_FAILED;
    }
}

}  // namespace

extern "C" {

int32_t uemu_GetTagCount(uemu_Reader *reader, uint32_t *count) {
    if (reader == nullptr || count == nullptr) return UEMU_ERR_INVALID;
    return WithField(reader, [&](Context &, TagField &field) {
        *count = static_cast<uint32_t>(field.size());
        return UEMU_OK;
    });
}

int32_t uemu_GetTag(uemu_Reader *reader, uint32_t index, uemu_Tag *tag) {
    if (reader == nullptr || tag == nullptr) return UEMU_ERR_INVALID;
    return WithField(reader, [&](Context &, TagField &field) {
        if (index >= field.size()) return UEMU_ERR_NOT_FOUND;
        const Tag &t = field.tag(index);
        std::memset(tag, 0, sizeof *tag);
        tag->pc = t.pc;
        tag->xpc[0] = t.xpc[0];
        tag->xpc[1] = t.xpc[1];
        tag->xpcCount = t.xpcCount;
        tag->epcLength = static_cast<uint8_t>(t.epc.size());
        std::copy(t.epc.begin(), t.epc.end(), tag->epc);
        tag->crc = t.crc;
        tag->tidWords = static_cast<uint16_t>(t.banks[UEMU_BANK_TID].size());
        tag->userWords = static_cast<uint16_t>(t.banks[UEMU_BANK_USER].size());
        tag->antennas = t.antennas;
        std::copy(t.rssi.begin(), t.rssi.end(), tag->rssi);
        return UEMU_OK;
    });
}

int32_t uemu_ReadTagMemory(uemu_Reader *reader, uint32_t index, uint8_t bank, uint16_t wordPointer,
                           uint16_t wordCount, uint8_t *out, uint32_t capacity, uint32_t *length) {
    if (reader == nullptr || length == nullptr || bank >= kBankCount || (capacity > 0 && out == nullptr)) {
        return UEMU_ERR_INVALID;
    }
    return WithField(reader, [&](Context &, TagField &field) {
        if (index >= field.size()) return UEMU_ERR_NOT_FOUND;
        const std::optional<Bytes> words = field.tag(index).Read(bank, wordPointer, wordCount);
        if (!words) return UEMU_ERR_NOT_FOUND;
        *length = static_cast<uint32_t>(words->size());
        if (words->size() > capacity) return UEMU_ERR_TOO_SMALL;
        std::copy(words->begin(), words->end(), out);
        return UEMU_OK;
    });
}

int32_t uemu_SetAntennaVswr(uemu_Reader *reader, uint8_t antenna, uint8_t status) {
    if (reader == nullptr) return UEMU_ERR_INVALID;
    return WithField(reader, [&](Context &context, TagField &) {
        ObjectTable *antennas = context.Table(kAntennaType);
        Object *object = antennas == nullptr ? nullptr : antennas->Find(antenna);
        if (object == nullptr) return UEMU_ERR_NOT_FOUND;
        bool unused = false;
        if (StoredNumber(object->properties, kVswrItem, unused) != std::optional<uint32_t>(status)) {
            object->properties.PutInt8(kVswrItem, status);
            Bytes body;
            ItemWriter(body).Int8(kVswrItem, status);
            context.RaiseEvent(kAntennaType, kVswrEvent, antenna, body);
        }
        return UEMU_OK;
    });
}

}  // extern "C"
