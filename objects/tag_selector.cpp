// Tag selector specifications (object type 3): an ordered list of tag
// filters. The library keeps no state for them and receives no events.
#include "objects/family.h"

namespace {
constexpr uint32_t kSelectorRequestSize = 525;
}

using namespace ulmot::objects;

extern "C" {

int32_t ulmot_AddTagSelectorSpecification(ClientProcessor *client, uint8_t *instance, TagFilter *const *filters,
                                          uint32_t count) {
    if (filters == nullptr && count > 0) {
        ulmot_Debug("ulmot_AddSelectorSpecification: Invalid parameter");
        return -5;
    }
    MessageBlock *b = ulmot_BufferAllocate(kSelectorRequestSize, kListRequestHeadRoom);
    if (b == nullptr) {
        ulmot_Debug("ulmot_AddSelectorSpecification: Message allocation failed");
        return -7;
    }
    int32_t failed = 0;
    for (uint32_t i = 0; i < count && failed == 0; ++i) {
        if (!TagFilterIsUsable(filters[i])) {
            ulmot_Debug("ulmot_AddSelectorSpecification: Invalid tag filter (filter %u)", i);
            failed = -5;
        } else {
            failed = WriteTagFilter(b, filters[i]);
        }
    }
    if (failed == 0) {
        failed = ulmot_BufferPrependListInfo(b, 0, count, static_cast<uint32_t>(b->writePtr - b->readPtr));
    }
    if (failed != 0) {
        ulmot_Debug("ulmot_AddSelectorSpecification: Failed to build request");
        freeb(b);
        return failed;
    }
    const int32_t result = SendRequest(client, "ulmot_AddSelectorSpecification", ULMOT_OBJ_TAG_SELECTOR,
                                       ULMOT_CMD_ADD, 0, b, nullptr, instance);
    if (result != 0) ulmot_Debug("ulmot_AddSelectorSpecification: Failed (result %d)", result);
    return result;
}

}  // extern "C"
