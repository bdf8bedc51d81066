#include "items/item_health.h"

#include "items/item_table.h"
#include "items/result_hooks.h"

namespace varnell {

const char* HealthText(ItemHealth health)
{
    switch (health) {
    case ItemHealth::kUp: return "up";
    case ItemHealth::kFailing: return "failing";
    case ItemHealth::kDown: return "down";
    case ItemHealth::kSuspended: return "suspended";
    case ItemHealth::kNotProbed: break;
    }
    return "not yet probed";
}

ItemHealth HealthOf(bool suspended, std::uint32_t state, bool answered)
{
    if (suspended)
        return ItemHealth::kSuspended;
    if ((state & kStateDownReported) != 0)
        return ItemHealth::kDown;
    if ((state & (kStateFailing | kStateReserved10)) != 0)
        return ItemHealth::kFailing;
    return answered ? ItemHealth::kUp : ItemHealth::kNotProbed;
}

ItemHealth HealthOfRowImage(bool suspended, int image)
{
    if (suspended)
        return ItemHealth::kSuspended;
    switch (image) {
    case kImageUp: return ItemHealth::kUp;
    case kImageDown: return ItemHealth::kDown;
    default: return ItemHealth::kFailing;
    }
}

} // namespace varnell
