#include "engine/address6.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>

#include "engine/result_eval.h"

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

std::string Address6Text(const Address6& address)
{
    char text[INET6_ADDRSTRLEN] = {};
    in6_addr a{};
    std::memcpy(&a, address.bytes, sizeof address.bytes);
    inet_ntop(AF_INET6, &a, text, sizeof text);
    return text;
}

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

int Known6TextIndex(const DnsItem& item, const ItemBlock& block)
{
    const std::uint32_t n = std::min(item.reservedTextCount, kReservedTexts);
    for (std::uint32_t k = 0; k < n; ++k) {
        if (block.reservedTexts[k].starts_with(kKnown6Prefix))
            return static_cast<int>(k);
    }
    return -1;
}

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
        char text[INET6_ADDRSTRLEN] = {};
        in6_addr a{};
        if (piece.empty() || piece.size() >= sizeof text || count == kReplyRecords)
            return false;
        std::memcpy(text, piece.data(), piece.size());
        if (inet_pton(AF_INET6, text, &a) != 1)
            return false;
        std::memcpy(block.known6[count].bytes, &a, sizeof a);
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
    const int k = Known6TextIndex(item, block);
    if (k >= 0) {
        block.reservedTexts[static_cast<std::size_t>(k)] = std::move(text);
        return true;
    }
    if (item.reservedTextCount >= kReservedTexts)
        return false;
    block.reservedTexts[item.reservedTextCount++] = std::move(text);
    return true;
}

std::string FirstKnownAddressText(const DnsItem& item)
{
    if (!IsAaaaItem(item))
        return DottedAddress(item.knownCount > 0 ? item.known[0].addrBE : 0);
    const ItemBlock& block = BlockOf(item);
    return block.known6Count > 0 ? Address6Text(block.known6[0]) : Address6Text(Address6{});
}

} // namespace varnell
