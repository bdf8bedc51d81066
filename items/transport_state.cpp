#include "items/transport_state.h"

#include <algorithm>
#include <array>
#include <vector>

namespace varnell {

namespace {

std::array<TransportState, kItemSlots>& States()
{
    // Made once and kept for the life of the process, as the item table is.
    static auto* states = new std::array<TransportState, kItemSlots>();
    return *states;
}

bool IsTransportText(std::string_view text)
{
    for (const std::string_view prefix : {kTransportPrefix, kTlsNamePrefix, kUrlPrefix, kTlsPinPrefix, kCertWarnPrefix})
        if (text.starts_with(prefix))
            return true;
    return false;
}

} // namespace

TransportState& TransportOf(std::uint32_t slot) { return States()[slot < kItemSlots ? slot : 0]; }

void ResetTransportStates()
{
    for (TransportState& s : States())
        s = TransportState{};
}

bool SetItemTransport(DnsItem& item, const ItemTransport& t)
{
    if (!ReplaceItemTexts(item, BlockOf(item), IsTransportText, ItemTransportTexts(t)))
        return false;
    TransportState& state = TransportOf(item);
    state = TransportState{};
    state.settings = t;
    return true;
}

void LoadItemTransport(const DnsItem& item, const ItemBlock& block)
{
    TransportState& state = TransportOf(item);
    state = TransportState{};
    const std::uint32_t n = std::min(item.reservedTextCount, kReservedTexts);
    for (std::uint32_t k = 0; k < n; ++k)
        ReadItemTransportText(state.settings, block.reservedTexts[k]);
}

} // namespace varnell
