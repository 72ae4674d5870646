// Which family serves each object type. A family of its own replaces the
// plain store here, one case per object type; the core is not touched.
#include "emulator/family.h"

namespace uemu {

std::unique_ptr<Family> MakeFamily(uint8_t /*objectType*/) {
    return std::make_unique<StoreFamily>();
}

}  // namespace uemu
