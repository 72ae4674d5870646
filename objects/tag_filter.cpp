// Tag filters (the TagFilter record and its Gen2 form) and tag filter
// specifications (object type 6).
#include <array>

#include "objects/family.h"

namespace ulmot::objects {

namespace {

constexpr uint32_t kFilterRequestSize = 525;

// Every data bit of a Gen2 filter counts: its mask is all ones, as long as
// the longest data it accepts.
constexpr std::array<uint8_t, ULMOT_C1G2_MASK_BYTES> MakeC1G2Mask() {
    std::array<uint8_t, ULMOT_C1G2_MASK_BYTES> mask{};
    for (uint8_t &byte : mask) byte = 0xFF;
    return mask;
}
constexpr std::array<uint8_t, ULMOT_C1G2_MASK_BYTES> kC1G2Mask = MakeC1G2Mask();
static_assert(kC1G2Mask.size() * 8 == ULMOT_C1G2_MAX_DATA_BITS);

constexpr uint8_t kC1G2FlagSet = 0x80;
constexpr uint8_t kC1G2Always = 0x40;
constexpr uint32_t kC1G2FieldAShift = 3;

// Appends one element as an item with id 0: 0, the writer's -1, or -5 for a
// filter that cannot be written (after its line). Unknown types write
// nothing.
int32_t WriteElement(MessageBlock *b, const TagFilterElement &e, uint32_t index) {
    switch (e.type) {
        case ULMOT_FILTER_ELEMENT_INT8: return ulmot_BufferWriteDTPInt8(b, 0, static_cast<uint8_t>(e.value));
        case ULMOT_FILTER_ELEMENT_TAG_FILTER: {
            const auto *f = reinterpret_cast<const TagFilter *>(e.value);
            if (!TagFilterIsUsable(f)) {
                ulmot_Debug("ulmot_AddFilterSpecification: Invalid tag filter (element %u)", index);
                return -5;
            }
            return WriteTagFilter(b, f);
        }
        default:
            ulmot_Debug("ulmot_AddFilterSpecification: Unknown filter item type (%u)", e.type);
            return 0;
    }
}

}  // namespace

}  // namespace ulmot::objects

using namespace ulmot::objects;

extern "C" {

void ulmot_SetTagFilter(TagFilter *filter, uint8_t filterByte, uint32_t filterWord, uint8_t flags,
                        uint16_t dataLengthBits, uint16_t maskLengthBits, const uint8_t *data,
                        const uint8_t *mask) {
    if (filter == nullptr) return;
    filter->filterByte = filterByte;
    filter->filterWord = filterWord;
    filter->flags = flags;
    filter->dataLengthBits = dataLengthBits;
    filter->maskLengthBytes = static_cast<uint16_t>(maskLengthBits / 8);
    filter->data = data;
    filter->mask = mask;
}

void ulmot_SetTagFilterC1G2(TagFilter *filter, uint8_t filterByte, uint32_t filterWord, uint8_t fieldA,
                            uint8_t fieldB, uint16_t dataLengthBits, const uint8_t *data, uint8_t flag) {
    if (filter == nullptr) return;
    filter->filterByte = filterByte;
    filter->filterWord = filterWord;
    filter->flags = static_cast<uint8_t>((flag != 0 ? kC1G2FlagSet : 0) | kC1G2Always |
                                         (fieldA & 0x07u) << kC1G2FieldAShift | fieldB);
    filter->dataLengthBits = dataLengthBits;
    if (dataLengthBits > ULMOT_C1G2_MAX_DATA_BITS) {
        // The mask would reach past the constant array. The filter keeps its
        // bit count but no data and no mask, which every add refuses.
        ulmot_Debug("ulmot_SetTagFilterC1G2: Data of %u bits exceeds the mask's %u bits", dataLengthBits,
                    ULMOT_C1G2_MAX_DATA_BITS);
        filter->maskLengthBytes = 0;
        filter->data = nullptr;
        filter->mask = nullptr;
        return;
    }
    filter->maskLengthBytes = static_cast<uint16_t>((dataLengthBits + 7u) / 8u);
    filter->data = data;
    filter->mask = kC1G2Mask.data();
}

int32_t ulmot_AddTagFilterSpecification(ClientProcessor *client, uint8_t *instance,
                                        const TagFilterElement *elements, uint32_t count) {
    if (elements == nullptr && count > 0) {
        ulmot_Debug("ulmot_AddFilterSpecification: Invalid parameter");
        return -5;
    }
    MessageBlock *b = ulmot_BufferAllocate(kFilterRequestSize, kListRequestHeadRoom);
    if (b == nullptr) {
        ulmot_Debug("ulmot_AddFilterSpecification: Message allocation failed");
        return -7;
    }
    int32_t failed = 0;
    for (uint32_t i = 0; i < count && failed == 0; ++i) failed = WriteElement(b, elements[i], i);
    if (failed == 0) {
        failed = ulmot_BufferPrependListInfo(b, 0, count, static_cast<uint32_t>(b->writePtr - b->readPtr));
    }
    if (failed != 0) {
        ulmot_Debug("ulmot_AddFilterSpecification: Failed to build request");
        freeb(b);
        return failed;
    }
    const int32_t result = SendRequest(client, "ulmot_AddFilterSpecification", ULMOT_OBJ_TAG_FILTER, ULMOT_CMD_ADD,
                                       0, b, nullptr, instance);
    if (result != 0) ulmot_Debug("ulmot_AddFilterSpecification: Failed (result %d)", result);
    return result;
}

}  // extern "C"
