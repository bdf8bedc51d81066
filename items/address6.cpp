#include "items/address6.h"

#include <algorithm>
#include <cstring>

#include "base/net/address_text.h"
#include "items/result_eval.h"

namespace varnell {

namespace {

bool Less(const Address6& a, const Address6& b) { return std::memcmp(a.bytes, b.bytes, sizeof a.bytes) < 0; }
bool Same(const Address6& a, const Address6& b) { return std::memcmp(a.bytes, b.bytes, sizeof a.bytes) == 0; }

std::string_view Trimmed(std::string_view s)
{
    while (!s.empty() && s.front() == ' ')
        s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ')
        s.remove_suffix(1);
    return s;
}

} // namespace

void AddUniqueAddress6(ItemBlock& block, const Address6& address)
{
    const std::uint32_t n = std::min(block.answerCount, kReplyRecords);
    for (std::uint32_t i = 0; i < n; ++i) {
        if (Same(block.answers6[i], address))
            return;
    }
    if (n == kReplyRecords)
        return;
    block.answers6[n] = address;
    block.answerCount = n + 1;
}

void SortAnswers6(ItemBlock& block)
{
    const std::uint32_t n = std::min(block.answerCount, kReplyRecords);
    std::sort(block.answers6, block.answers6 + n, Less);
}

int Known6TextIndex(const DnsItem& item, const ItemBlock& block) { return ItemTextIndex(item, block, kKnown6Prefix); }

bool LoadKnown6(const DnsItem& item, ItemBlock& block)
{
    block.known6Count = 0;
    const int k = Known6TextIndex(item, block);
    if (k < 0)
        return true;
    std::string_view rest = std::string_view(block.reservedTexts[static_cast<std::size_t>(k)]).substr(kKnown6Prefix.size());
    std::uint32_t count = 0;
    while (!rest.empty()) {
        const std::size_t cut = rest.find(';');
        const std::string_view piece = Trimmed(rest.substr(0, cut));
        rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
        // "; " after the last address, as the event texts write it, is no address.
        if (piece.empty() && count > 0 && Trimmed(rest).empty())
            break;
        if (count == kReplyRecords || !ReadAddress6(piece, block.known6[count]))
            return false;
        ++count;
    }
    block.known6Count = count;
    return true;
}

bool StoreKnown6(DnsItem& item, ItemBlock& block)
{
    std::string text(kKnown6Prefix);
    const std::uint32_t n = std::min(block.known6Count, kReplyRecords);
    for (std::uint32_t i = 0; i < n; ++i)
        text += (i == 0 ? "" : "; ") + Address6Text(block.known6[i]);
    return StoreItemText(item, block, kKnown6Prefix, std::move(text));
}

bool IsServer6Item(const DnsItem& item) { return item.server.family == kEndpointFamily6; }

PeerAddress ServerPeer(const DnsItem& item)
{
    if (item.server.family == kEndpointFamily6)
        return Ipv6Peer(BlockOf(item).server6, item.server.portBE);
    return Ipv4Peer(item.server.addrBE, item.server.portBE);
}

std::string ServerAddressText(const DnsItem& item)
{
    return IsServer6Item(item) ? Address6Text(BlockOf(item).server6) : DottedAddress(item.server.addrBE);
}

std::string ParseServer6(std::string_view text, Address6& address)
{
    Address6 a{};
    if (!ReadAddress6(text, a))
        return "error dns server ip address !";
    static constexpr std::uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (Same(a, Address6{}))
        return "The DNS server address :: names no computer: a reply never comes from it.";
    if (a.bytes[0] == 0xFF)
        return "The DNS server address is an IPv6 multicast address (ff00::/8): a reply never comes from it.";
    if (std::memcmp(a.bytes, kMappedPrefix, sizeof kMappedPrefix) == 0)
        return "The DNS server address is an IPv4 address written as IPv6 (::ffff:0:0/96): enter the IPv4 address itself.";
    // A link-local address means nothing without the interface it is on, and
    // an item has no place to name one: every query would fail to go out.
    if (a.bytes[0] == 0xFE && (a.bytes[1] & 0xC0) == 0x80)
        return "The DNS server address is an IPv6 link-local address (fe80::/10), which needs an interface an item cannot name.";
    address = a;
    return {};
}

bool LoadServer6(const DnsItem& item, ItemBlock& block)
{
    block.server6 = Address6{};
    const int k = ItemTextIndex(item, block, kServer6Prefix);
    if (!IsServer6Item(item))
        return k < 0;
    if (k < 0)
        return false;
    const std::string_view text =
        std::string_view(block.reservedTexts[static_cast<std::size_t>(k)]).substr(kServer6Prefix.size());
    Address6 a{};
    if (!ParseServer6(text, a).empty())
        return false;
    block.server6 = a;
    return true;
}

bool StoreServer6(DnsItem& item, ItemBlock& block)
{
    return StoreItemText(item, block, kServer6Prefix, std::string(kServer6Prefix) + Address6Text(block.server6));
}

void RemoveServer6(DnsItem& item, ItemBlock& block)
{
    const int k = ItemTextIndex(item, block, kServer6Prefix);
    if (k < 0)
        return;
    const std::uint32_t n = std::min(item.reservedTextCount, kReservedTexts);
    for (std::uint32_t i = static_cast<std::uint32_t>(k); i + 1 < n; ++i)
        block.reservedTexts[i] = std::move(block.reservedTexts[i + 1]);
    block.reservedTexts[n - 1].clear();
    item.reservedTextCount = n - 1;
}

std::string FirstKnownAddressText(const DnsItem& item)
{
    if (!IsAaaaItem(item))
        return DottedAddress(item.knownCount > 0 ? item.known[0].addrBE : 0);
    const ItemBlock& block = BlockOf(item);
    return block.known6Count > 0 ? Address6Text(block.known6[0]) : Address6Text(Address6{});
}

} // namespace varnell
