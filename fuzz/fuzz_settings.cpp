// Fuzz target: the settings loader on arbitrary blobs. The stored settings are
// a file any program of the user can write; loading must stay inside every
// record and never allocate what a count claims.
#include <cstddef>
#include <cstdint>
#include <span>

#include "base/net/address_text.h"
#include "config/settings_blob.h"
#include "items/address6.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > (1u << 20))
        return 0;
    using namespace varnell;
    CurrentSettings() = DefaultSettings(0x0100007F);
    ApplySettingsBlob(std::span<const std::uint8_t>(data, size), CurrentSettings(), *LockItems());
    const LockedItems locked = LockItems();
    const ItemTable& t = *locked;
    if (t.highWater > kItemSlots || t.liveCount != t.highWater)
        __builtin_trap();
    for (std::uint32_t i = 0; i < t.highWater; ++i) {
        if (t.items[i].knownCount > kKnownAddresses || t.items[i].reservedTextCount > kReservedTexts ||
            t.items[i].reservedIntCount > kReservedInts)
            __builtin_trap();
        // An IPv6-server item that may probe has an address to probe: one that
        // could not be read suspends it.
        Address6 checked{};
        if (IsServer6Item(t.items[i]) && (t.items[i].flags & kFlagSuspended) == 0 &&
            !ParseServer6(Address6Text(t.blocks[i].server6), checked).empty())
            __builtin_trap();
    }
    return 0;
}
