// An item's health as result evaluation leaves it: what its row image shows,
// what the control socket reports and what the metrics' up value derives from.
#pragma once

#include <cstdint>

namespace varnell {

enum class ItemHealth { kNotProbed, kUp, kFailing, kDown, kSuspended };
// "not yet probed", "up", "failing", "down", "suspended".
const char* HealthText(ItemHealth health);

// suspended: the item's suspended flag; state: its block's state word;
// answered: a reply has been accepted since the item was added.
ItemHealth HealthOf(bool suspended, std::uint32_t state, bool answered);

// The health a row shows by its image (a RowImage). A row without a result yet
// shows the failing image, so it reads as failing, never as not yet probed.
ItemHealth HealthOfRowImage(bool suspended, int image);

} // namespace varnell
