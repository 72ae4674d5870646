// Tag selector specifications (object type 3) and tag filter specifications
// (object type 6): a list (item 0) of tag filters and Int8 values, read into
// a FilterProgram that inventories (through their selectors) and access
// specifications (through their filter) ask which tags it selects.
#include "families.h"

namespace uemu {

namespace {


class FilterListFamily final : public StatefulFamily {
protected:
    ReadState reader() override {
        return [](Context &, const PropertySet &items, const FamilyState *, std::unique_ptr<FamilyState> &out) {
            const std::optional<ItemView> list = StoredItem(items, 0);
            if (!list) return kMalformed;
            auto state = std::make_unique<FilterState>();
            const int16_t r = state->program.Parse(*list);
            if (r != UEMU_RESULT_OK) return r;
            out = std::move(state);
            return static_cast<int16_t>(UEMU_RESULT_OK);
        };
    }
};

}  // namespace

std::unique_ptr<Family> MakeTagSelectorFamily() { return std::make_unique<FilterListFamily>(); }
std::unique_ptr<Family> MakeTagFilterFamily() { return std::make_unique<FilterListFamily>(); }

}  // namespace uemu
