#include "items/item_entry.h"

#include <arpa/inet.h>

#include <algorithm>
#include <mutex>

#include "dns/dns_name.h"
#include "items/address6.h"

namespace varnell {

namespace {

// The store keeps texts zero-terminated: a zero byte inside one would end it
// early on the next load and shift every field after it.
bool HasZeroByte(std::string_view s) { return s.find('\0') != std::string_view::npos; }

} // namespace

std::string_view TrimSpace(std::string_view s)
{
    constexpr std::string_view kSpace = " \t\r\n\v\f";
    const std::size_t first = s.find_first_not_of(kSpace);
    if (first == std::string_view::npos)
        return {};
    return s.substr(first, s.find_last_not_of(kSpace) - first + 1);
}

std::string CheckDomainName(std::string_view name)
{
    if (name.empty() || name == ".")
        return {};
    std::string_view rest(name);
    if (rest.back() == '.')
        rest.remove_suffix(1);
    std::size_t encoded = 1; // the final zero octet
    while (true) {
        const std::size_t dot = rest.find('.');
        const std::string_view label = rest.substr(0, dot);
        if (label.empty())
            return "The domain name has an empty label (a dot at the start or two dots in a row).";
        if (label.size() > kMaxLabel)
            return "The domain name has a label longer than 63 characters.";
        encoded += label.size() + 1;
        if (dot == std::string_view::npos)
            break;
        rest.remove_prefix(dot + 1);
    }
    if (encoded > kMaxNameOctets)
        return "The domain name is too long: it must fit in 255 octets.";
    // The query encoder has the last word, so no way in accepts a name that
    // the probe could not send.
    if (!ValidDomainName(name))
        return "The domain name cannot be put into a query.";
    return {};
}

int RecordTypeIndex(std::string_view name)
{
    name = TrimSpace(name);
    for (std::uint32_t i = 0; i < kRecordTypeCount; ++i) {
        const std::string_view entry = RecordTypeName(i);
        if (std::ranges::equal(entry, name, [](char a, char b) {
                auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
                return lower(a) == lower(b);
            }))
            return static_cast<int>(i);
    }
    return -1;
}

std::size_t FreeItemSlots()
{
    const LockedItems locked = LockItems();
    const ItemTable& t = *locked;
    // The same slots NewItemSlot hands out: the never-used ones above the
    // high-water mark, and deleted ones no request refers to any more.
    std::size_t free = kItemSlots - std::min(t.highWater, kItemSlots);
    for (std::uint32_t i = 0; i < t.highWater && i < kItemSlots; ++i) {
        const DnsItem& item = t.items[i];
        if ((item.flags & kFlagDeleted) != 0 && Outstanding(item) == 0 && item.rowPosition < 0)
            ++free;
    }
    const std::size_t rowsLeft = kItemSlots - std::min(t.liveCount, kItemSlots);
    return std::min(free, rowsLeft);
}

bool ItemNameTaken(std::string_view name, int exceptSlot)
{
    if (name.empty())
        return false;
    const LockedItems locked = LockItems();
    const ItemTable& t = *locked;
    for (std::uint32_t i = 0; i < t.highWater && i < kItemSlots; ++i) {
        if (static_cast<int>(i) == exceptSlot || (t.items[i].flags & kFlagDeleted) != 0)
            continue;
        if (t.blocks[i].name == name)
            return true;
    }
    return false;
}

std::string CheckItemEntry(const ItemEntry& entry, const EntryTarget& target, ItemEdit& out)
{
    // The address as the query will use it. All zeros and all ones are no server;
    // a colon is found in every IPv6 text and in no IPv4 one.
    const std::string server(TrimSpace(entry.server));
    in_addr parsed{};
    Address6 parsed6{};
    const bool server6 = server.find(':') != std::string::npos;
    if (server6) {
        if (std::string problem = ParseServer6(server, parsed6); !problem.empty())
            return problem;
    } else if (inet_pton(AF_INET, server.c_str(), &parsed) != 1 || parsed.s_addr == 0 || parsed.s_addr == 0xFFFFFFFFu) {
        return "error dns server ip address !";
    }
    const std::string_view domain = TrimSpace(entry.domain);
    if (std::string problem = CheckDomainName(domain); !problem.empty())
        return problem;
    if (entry.name.size() > kItemNameLimit)
        return "The item name is longer than 255 bytes.";
    if (HasZeroByte(entry.name) || HasZeroByte(entry.description))
        return "The item name and description cannot hold a zero byte.";
    if (ItemNameTaken(entry.name, target.updateSlot) ||
        (target.pendingNames != nullptr && target.pendingNames->contains(entry.name)))
        return "An item named \"" + entry.name + "\" already exists.";
    // The count keeps six bits ("70" is 6). One that keeps none would wait for
    // the counter to wrap: down only after 65 failures in a row.
    const std::uint32_t lostCount = static_cast<std::uint32_t>(entry.lostCount) & 0x3Fu;
    if (lostCount == 0)
        return std::string(kLostCountZeroMessage);
    if (target.updateSlot < 0 && FreeItemSlots() <= target.pendingNew)
        return std::string(kTableFullMessage);

    out.name = entry.name;
    out.description = entry.description;
    out.serverBE = parsed.s_addr;
    out.server6 = server6;
    out.server6Address = parsed6;
    out.domain = std::string(domain);
    // Below the minimum, a negative entry included, the interval becomes the
    // minimum; a negative timeout would keep a request pending for weeks and
    // stop the item's probes, so it becomes 0 (every request then times out,
    // which the item list shows).
    out.interval = entry.interval < static_cast<std::int32_t>(kMinInterval) ? kMinInterval
                                                                            : static_cast<std::uint32_t>(entry.interval);
    out.timeout = entry.timeout < 0 ? 0u : static_cast<std::uint32_t>(entry.timeout);
    out.mailGroup = entry.mailGroup;
    out.lostCount = lostCount;
    out.typeIndex = entry.typeIndex < kRecordTypeCount ? entry.typeIndex : 0;
    out.notifyDown = entry.notifyDown;
    out.notifyUp = entry.notifyUp;
    out.notifyChange = entry.notifyChange;
    out.recursionDesired = entry.recursionDesired;
    out.recursionAvailable = entry.recursionAvailable;
    out.highPriorityMail = entry.highPriorityMail;
    return {};
}

} // namespace varnell
