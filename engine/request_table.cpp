// Pending-request table and query encoding (RFC 1035 4.1.1, 4.1.2).
#include "engine/request_table.h"

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <sys/socket.h>

#include "engine/dns_wire.h"
#include "engine/edns.h"
#include "engine/engine.h"

namespace varnell {

namespace {

constexpr std::size_t kQuestionTail = 4; // QTYPE and QCLASS

static_assert(kDnsHeaderSize + kMaxNameOctets + kQuestionTail <= kQueryBuffer);
static_assert(kDnsHeaderSize + kMaxNameOctets + kQuestionTail <= kOwnQueryBuffer);

std::atomic<QuerySendHook> g_sendHook{nullptr};

// Follow-up queries per item since its last primary query; under EngineLock().
std::array<std::uint32_t, kItemSlots>& FollowUps()
{
    static std::array<std::uint32_t, kItemSlots> counts{};
    return counts;
}

void PutU16BE(std::uint8_t* p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

} // namespace

std::array<RequestSlot, kRequestSlots>& RequestTable()
{
    // About 42 MB; allocated once and never freed, like the item table.
    static auto* table = new std::array<RequestSlot, kRequestSlots>();
    return *table;
}

std::uint32_t& RequestCursor()
{
    static std::uint32_t cursor = 0;
    return cursor;
}

void ResetRequestTable()
{
    std::lock_guard lock(EngineLock());
    std::memset(static_cast<void*>(RequestTable().data()), 0, sizeof(RequestSlot) * kRequestSlots);
    RequestCursor() = 0;
    FollowUps().fill(0);
}

int AllocRequestSlot()
{
    auto& table = RequestTable();
    std::uint32_t& cursor = RequestCursor();
    cursor &= kRequestSlots - 1;
    if (table[cursor].expiry == 0)
        return static_cast<int>(cursor);
    for (std::uint32_t step = 0; step < kRequestSlots - 1; ++step) {
        cursor = (cursor + 1) & (kRequestSlots - 1);
        if (table[cursor].expiry == 0)
            return static_cast<int>(cursor);
    }
    return -1;
}

sockaddr_in EndpointAddress(const ItemEndpoint& endpoint)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = endpoint.portBE;
    addr.sin_addr.s_addr = endpoint.addrBE;
    return addr;
}

std::uint32_t BuildAndSendQuery(std::uint32_t slotIndex, DnsItem& item, bool ownBuffer, bool primary,
                                const char* name)
{
    if (slotIndex >= kRequestSlots)
        return 0;
    RequestSlot& slot = RequestTable()[slotIndex];
    ItemBlock& block = BlockOf(item);
    std::uint32_t& followUps = FollowUps()[SlotOf(item)];
    followUps = primary ? 0 : followUps + 1;
    std::uint8_t* buffer = ownBuffer ? slot.ownBuffer : block.queryBuffer;
    slot.query = buffer;
    slot.flags = (slot.flags & ~(kSlotOwnBuffer | kSlotPrimary)) | (ownBuffer ? kSlotOwnBuffer : 0u) |
                 (primary ? kSlotPrimary : 0u);

    // The whole datagram is built aside and copied into the buffer only once it is
    // complete, so a refused name never leaves a half-written query to be resent.
    std::uint8_t query[kMaxQueryBytes] = {}; // room for the OPT record (engine/edns.h)
    query[0] = static_cast<std::uint8_t>(slotIndex & 0xFF); // the identifier goes out low byte first
    query[1] = static_cast<std::uint8_t>(slotIndex >> 8);
    query[2] = static_cast<std::uint8_t>((item.flags & kFlagRecursionDesired) ? 0x01 : 0x00);
    query[3] = static_cast<std::uint8_t>((item.flags & kFlagRecursionAvailable) ? 0x80 : 0x00);
    PutU16BE(query + 4, 1);
    const std::string_view qname = primary ? std::string_view(block.domain) : std::string_view(name ? name : "");
    const std::size_t nameLength =
        EncodeName(qname, std::span<std::uint8_t>(query + kDnsHeaderSize, kMaxNameOctets));
    if (nameLength == 0)
        return 0;
    const std::uint16_t qtype = primary ? RecordQueryType(item.typeIndex) : kTypeA;
    PutU16BE(query + kDnsHeaderSize + nameLength, qtype);
    PutU16BE(query + kDnsHeaderSize + nameLength + 2, kClassIn);
    // Large answers: the OPT record when due, and a copy kept for a retry.
    const std::size_t length = PrepareQuery(slotIndex, item, query, kDnsHeaderSize + nameLength + kQuestionTail);
    std::memcpy(buffer, query, length);

    if (SendQueryBytes(buffer, length, slot.destination) != static_cast<ssize_t>(length))
        return 0;
    slot.transmissions = 1;
    return static_cast<std::uint32_t>(length);
}

void ArmRequestSlot(RequestSlot& slot, std::uint32_t now, std::uint32_t timeout)
{
    // 0 means "no request" for the send time and "free" for the expiry; a tick of
    // exactly 0 must not make a waiting slot look free.
    slot.sendTime = now != 0 ? now : 1;
    const std::uint32_t expiry = now + timeout;
    slot.expiry = expiry != 0 ? expiry : 1;
}

std::uint32_t FollowUpCount(const DnsItem& item) { return FollowUps()[SlotOf(item)]; }

void RaiseOutstanding(DnsItem& item)
{
    const std::uint32_t n = Outstanding(item);
    if (n < 63)
        SetOutstanding(item, n + 1);
}

void LowerOutstanding(DnsItem& item)
{
    const std::uint32_t n = Outstanding(item);
    if (n != 0)
        SetOutstanding(item, n - 1);
}

ssize_t SendQueryBytes(const std::uint8_t* bytes, std::size_t length, const sockaddr_in& to)
{
    if (QuerySendHook hook = g_sendHook.load(std::memory_order_acquire))
        return hook(bytes, length, to);
    const int sock = Engine().probeSocket.load();
    if (sock < 0)
        return -1;
    return ::sendto(sock, bytes, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

void SetQuerySendHook(QuerySendHook hook) { g_sendHook.store(hook, std::memory_order_release); }

} // namespace varnell
