// Inventory specifications (object type 5): which tags a round reports
// (its selectors), how (report format, session, TID) and through which
// antennas. The rounds themselves are run by the schedule engine
// (schedule_engine.cpp, schedule_field.cpp), which also keeps the statistics
// items 5 to 11.
#include "families.h"

namespace uemu {

namespace {


int16_t ReadInventory(Context &context, const PropertySet &items, const FamilyState *old,
                      std::unique_ptr<FamilyState> &out) {
    auto s = std::make_unique<InventoryState>();
    if (const auto *before = dynamic_cast<const InventoryState *>(old)) {
        s->reports = before->reports;
        s->rounds = before->rounds;
        s->distinct = before->distinct;
        s->leftOut = before->leftOut;
        s->lastAntenna = before->lastAntenna;
        s->lastRssi = before->lastRssi;
    }
    bool bad = false;
    if (const auto format = StoredNumber(items, 0, bad)) {
        s->format = *format == kFormatEpc ? kFormatEpc : kFormatGen2;
    }
    if (const auto session = StoredNumber(items, 2, bad)) s->session = static_cast<uint8_t>(*session);
    if (const auto group = StoredNumber(items, 21, bad)) s->accessGroup = static_cast<uint8_t>(*group);
    if (const auto type = StoredNumber(items, 23, bad)) s->inventoryType = static_cast<uint8_t>(*type);
    if (const auto ref = StoredReference(items, 1, bad)) {
        // An antenna or an antenna pair to run on; other objects (a Gen2
        // protocol specification...) are kept without effect.
        if (ref->type == kAntennaType || ref->type == kPairType) {
            ObjectTable *table = context.Table(ref->type);
            if (table == nullptr || table->Find(ref->instance) == nullptr) return kNoSuchObject;
            s->antenna = *ref;
        }
    }
    if (bad) return kMalformed;
    if (const auto list = StoredItem(items, 3)) {
        const int16_t r = ReferenceList(*list, kSelectorType, context.Table(kSelectorType), s->selectors);
        if (r != UEMU_RESULT_OK) return r;
        // An empty list leaves every tag to the inventory, as no list does.
        s->hasSelectors = !s->selectors.empty();
    }
    out = std::move(s);
    return UEMU_RESULT_OK;
}

class InventoryFamily final : public StatefulFamily {
protected:
    ReadState reader() override { return ReadInventory; }
};

}  // namespace

std::unique_ptr<Family> MakeInventoryFamily() { return std::make_unique<InventoryFamily>(); }

}  // namespace uemu
