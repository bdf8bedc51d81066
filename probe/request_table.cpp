// Pending-request table and query encoding (RFC 1035 4.1.1, 4.1.2).
#include "probe/request_table.h"

#include "base/tick.h"
#include "items/address6.h"
#include "items/transport_state.h"
#include "probe/transport_probe.h"

#include <arpa/inet.h>
#include <array>
#include <atomic>
#include <cstring>
#include <cstdlib>
#include <new>
#include <sys/mman.h>
#include <sys/socket.h>
#include <type_traits>

#include "dns/dns_wire.h"
#include "probe/edns.h"
#include "probe/engine.h"
#include "probe/query_entropy.h"

namespace varnell {

namespace {
RequestSlots& Slots();
} // namespace

namespace {

constexpr std::size_t kQuestionTail = 4; // QTYPE and QCLASS

static_assert(kDnsHeaderSize + kMaxNameOctets + kQuestionTail <= kQueryBuffer);
static_assert(kDnsHeaderSize + kMaxNameOctets + kQuestionTail <= kOwnQueryBuffer);

std::atomic<QuerySendHook> g_sendHook{nullptr};

// Follow-up queries per item since its last primary query, and the names they
// asked (as keys); under EngineLock().
constexpr std::size_t kNotedNames = 32;
struct FollowUpLog {
    std::uint32_t count = 0;
    std::uint32_t noted = 0;
    std::uint64_t names[kNotedNames] = {};
};

std::array<FollowUpLog, kItemSlots>& FollowUps()
{
    static auto* logs = new std::array<FollowUpLog, kItemSlots>();
    return *logs;
}

// The slots armed for each item, so that dropping an item's requests looks at
// these rather than at all 65536. An entry may name a slot that has ended since
// (or that another item took): DropItemRequests checks each. Entries are
// pruned when the list fills; an item has far fewer requests waiting at once
// (its outstanding count is at most 63), but should a list still be full, the
// item's drop walks the armed slots of every item instead. Under EngineLock().
constexpr std::size_t kItemRequestSlots = 64;
struct ItemRequests {
    std::uint16_t slots[kItemRequestSlots] = {};
    std::uint32_t count = 0;
    bool overflowed = false;
};

// The slot of each identifier in use; kNoSlot for the others.
constexpr std::uint32_t kNoSlot = 0xFFFFFFFFu;
std::array<std::uint32_t, kRequestSlots>& SlotOfId()
{
    static auto* map = [] {
        auto* m = new std::array<std::uint32_t, kRequestSlots>();
        m->fill(kNoSlot);
        return m;
    }();
    return *map;
}

std::uint32_t IndexOf(const RequestSlot& slot)
{
    return static_cast<std::uint32_t>(&slot - Slots().data());
}

// Gives back the identifier slot holds, if any.
void FreeIdentifier(std::uint32_t slotIndex)
{
    auto& map = SlotOfId();
    const std::uint32_t id = Slots()[slotIndex].identifier & (kRequestSlots - 1);
    if (map[id] == slotIndex)
        map[id] = kNoSlot;
}

// An identifier that no other slot holds, now held by slotIndex: drawn at
// random (a few thousand of the 65536 are in use at full load, so the first
// draw nearly always serves), or the slot's own number when queries are not
// randomised. 0x10000 when every identifier is in use.
std::uint32_t TakeIdentifier(std::uint32_t slotIndex)
{
    FreeIdentifier(slotIndex);
    auto& map = SlotOfId();
    std::uint32_t id = slotIndex & (kRequestSlots - 1);
    const auto taken = [&map, slotIndex](std::uint32_t candidate) {
        return map[candidate] != kNoSlot && map[candidate] != slotIndex;
    };
    if (QueriesRandomised()) {
        id = RandomIdentifier();
        for (int draw = 0; draw < 4 && taken(id); ++draw)
            id = RandomIdentifier();
    }
    for (std::uint32_t step = 0; taken(id); id = (id + 1) & (kRequestSlots - 1))
        if (++step == kRequestSlots)
            return kRequestSlots;
    map[id] = slotIndex;
    Slots()[slotIndex].identifier = id;
    return id;
}

std::array<ItemRequests, kItemSlots>& ArmedOfItems()
{
    static auto* lists = new std::array<ItemRequests, kItemSlots>();
    return *lists;
}

bool WaitsFor(const RequestSlot& slot, std::uint32_t itemSlot)
{
    return slot.itemSlot == itemSlot && (slot.sendTime != 0 || slot.expiry != 0);
}

void NoteArmed(std::uint32_t itemSlot, std::uint32_t slotIndex)
{
    if (itemSlot >= kItemSlots)
        return;
    ItemRequests& list = ArmedOfItems()[itemSlot];
    if (list.count == kItemRequestSlots) {
        std::uint32_t kept = 0;
        for (std::uint32_t i = 0; i < list.count; ++i) {
            const std::uint16_t s = list.slots[i];
            bool seen = false;
            for (std::uint32_t k = 0; k < kept && !seen; ++k)
                seen = list.slots[k] == s;
            if (!seen && WaitsFor(Slots()[s], itemSlot))
                list.slots[kept++] = s;
        }
        list.count = kept;
    }
    if (list.count == kItemRequestSlots) {
        list.overflowed = true;
        return;
    }
    list.slots[list.count++] = static_cast<std::uint16_t>(slotIndex);
}

// FNV-1a over the name as DNS compares it (ASCII letter case folded, no final
// dot) and the destination. Two different questions sharing a key would have
// the second one not asked; at 64 bits that is not to be expected.
std::uint64_t QuestionKey(std::string_view name, const PeerAddress& to)
{
    if (!name.empty() && name.back() == '.')
        name.remove_suffix(1);
    std::uint64_t h = 0xcbf29ce484222325u;
    auto mix = [&h](std::uint8_t byte) {
        h ^= byte;
        h *= 0x100000001b3u;
    };
    for (const char c : name)
        mix(static_cast<std::uint8_t>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c));
    mix(0);
    return MixPeer(h, to);
}

void PutU16BE(std::uint8_t* p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

// An edited or deleted item: its requests end, and what it learnt of its
// servers is forgotten. Engine lock held.
void EndItemRequests(std::uint32_t itemSlot)
{
    DropItemRequests(itemSlot);
    ForgetPlainServers(itemSlot);
}

} // namespace

namespace {

// The table itself, for the operations here whose callers hold the engine lock.
// About 42 MB of address space, mapped once and never unmapped, like the item
// table; a page becomes resident only once a slot on it is used, and slots are
// taken from a window that widens only when every slot in it waits, so the
// memory follows the requests in flight rather than the table's size.
RequestSlots& Slots()
{
    static_assert(std::is_trivially_default_constructible_v<RequestSlot>, "the zero pages are the free slots");
    static auto* table = [] {
        SetItemRequestsEnder(&EndItemRequests);
        void* pages = mmap(nullptr, sizeof(RequestSlots), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (pages == MAP_FAILED)
            std::abort(); // at start-up, before any item is probed
        return new (pages) RequestSlots; // default-initialised: nothing is written
    }();
    return *table;
}

// The slots AllocRequestSlot searches: [0, window). A power of two; it widens
// when all its slots wait and narrows only at a reset.
constexpr std::uint32_t kFirstRequestWindow = 1024;
std::uint32_t& RequestWindow()
{
    static std::uint32_t window = kFirstRequestWindow;
    return window;
}

} // namespace

LockedRequests LockRequests()
{
    static Guarded<RequestSlots> guarded(EngineLock(), Slots());
    return guarded.Lock();
}

std::uint32_t& RequestCursor()
{
    static std::uint32_t cursor = 0;
    return cursor;
}

std::array<std::uint64_t, kRequestSlots / 64>& ArmedSlotBits()
{
    static std::array<std::uint64_t, kRequestSlots / 64> bits{};
    return bits;
}

void ResetRequestTable()
{
    std::lock_guard lock(EngineLock());
    // Giving the pages back zeroes them, and leaves them unresident until used.
    madvise(static_cast<void*>(Slots().data()), sizeof(RequestSlots), MADV_DONTNEED);
    ArmedSlotBits().fill(0);
    RequestCursor() = 0;
    RequestWindow() = kFirstRequestWindow;
    FollowUps().fill(FollowUpLog{});
    ArmedOfItems().fill(ItemRequests{});
    SlotOfId().fill(kNoSlot);
}

int AllocRequestSlot()
{
    auto& table = Slots();
    std::uint32_t& cursor = RequestCursor();
    std::uint32_t& window = RequestWindow();
    cursor &= kRequestSlots - 1;
    while (window <= cursor) // a cursor placed further on (tests) takes the window with it
        window *= 2;
    if (table[cursor].expiry == 0)
        return static_cast<int>(cursor);
    for (;;) {
        for (std::uint32_t step = 0; step < window - 1; ++step) {
            cursor = (cursor + 1) & (window - 1);
            if (table[cursor].expiry == 0)
                return static_cast<int>(cursor);
        }
        if (window == kRequestSlots)
            return -1; // the cursor is left on the last slot tested
        cursor = window - 1; // every slot of the window waits: search on into the new half first
        window *= 2;
    }
}

int SlotOfIdentifier(std::uint16_t id)
{
    const std::uint32_t slot = SlotOfId()[id];
    return slot < kRequestSlots ? static_cast<int>(slot) : -1;
}

std::uint32_t BuildAndSendQuery(std::uint32_t slotIndex, DnsItem& item, bool ownBuffer, bool primary,
                                const char* name)
{
    const std::uint32_t length = BuildQuery(slotIndex, item, ownBuffer, primary, name);
    if (length == 0)
        return 0;
    RequestSlot& slot = Slots()[slotIndex];
    // A follow-up to the item's own server goes the way its probe went.
    if (OverTransport(SlotOf(item)) && slot.destination == ServerPeer(item)) {
        slot.flags |= kSlotTransport;
        if (!SendOverTransport(item, slotIndex, slot, length))
            return 0;
    } else if (SendQueryBytes(slot.query, length, slot.destination) != static_cast<ssize_t>(length)) {
        return 0;
    }
    slot.transmissions = 1;
    return length;
}

std::uint32_t BuildQuery(std::uint32_t slotIndex, DnsItem& item, bool ownBuffer, bool primary, const char* name)
{
    if (slotIndex >= kRequestSlots)
        return 0;
    RequestSlot& slot = Slots()[slotIndex];
    ItemBlock& block = BlockOf(item);
    FollowUpLog& followUps = FollowUps()[SlotOf(item)];
    if (primary)
        followUps = FollowUpLog{};
    else
        ++followUps.count;
    std::uint8_t* buffer = ownBuffer ? slot.ownBuffer : block.queryBuffer;
    slot.query = buffer;
    slot.flags = (ownBuffer ? kSlotOwnBuffer : 0u) | (primary ? kSlotPrimary : 0u);

    // The whole datagram is built aside and copied into the buffer only once it is
    // complete, so a refused name never leaves a half-written query to be resent.
    std::uint8_t query[kMaxQueryBytes] = {}; // room for the OPT record (probe/edns.h)
    query[2] = static_cast<std::uint8_t>((item.flags & kFlagRecursionDesired) ? 0x01 : 0x00);
    query[3] = static_cast<std::uint8_t>((item.flags & kFlagRecursionAvailable) ? 0x80 : 0x00);
    PutU16BE(query + 4, 1);
    const std::string_view qname = primary ? std::string_view(block.domain) : std::string_view(name ? name : "");
    const std::size_t nameLength =
        EncodeName(qname, std::span<std::uint8_t>(query + kDnsHeaderSize, kMaxNameOctets));
    if (nameLength == 0)
        return 0;
    const std::uint32_t id = TakeIdentifier(slotIndex);
    if (id >= kRequestSlots)
        return 0;
    query[0] = static_cast<std::uint8_t>(id & 0xFF); // the identifier goes out low byte first
    query[1] = static_cast<std::uint8_t>(id >> 8);
    RandomiseCase(std::span<std::uint8_t>(query + kDnsHeaderSize, nameLength));
    // A follow-up asks for the addresses of the family the item gathers.
    const std::uint16_t qtype = primary ? RecordQueryType(item.typeIndex) : IsAaaaItem(item) ? kTypeAaaa : kTypeA;
    PutU16BE(query + kDnsHeaderSize + nameLength, qtype);
    PutU16BE(query + kDnsHeaderSize + nameLength + 2, kClassIn);
    // Large answers: the OPT record when due, and a copy kept for a retry.
    const std::size_t length = PrepareQuery(slotIndex, slot, item, query, kDnsHeaderSize + nameLength + kQuestionTail);
    std::memcpy(buffer, query, length);
    if (buffer != slot.ownBuffer)
        std::memcpy(slot.ownBuffer, query, length); // the question a reply must echo
    return static_cast<std::uint32_t>(length);
}

void ArmRequestSlot(RequestSlot& slot, std::uint32_t sent, std::uint32_t timeout, std::uint32_t expiryFrom,
                    std::uint64_t sentNs)
{
    slot.sentNs = sentNs != 0 ? sentNs : MonotonicNs();
    // 0 means "no request" for the send time and "free" for the expiry; a tick of
    // exactly 0 must not make a waiting slot look free.
    slot.sendTime = sent != 0 ? sent : 1;
    const std::uint32_t expiry = expiryFrom + timeout;
    slot.expiry = expiry != 0 ? expiry : 1;
    const std::uint32_t index = IndexOf(slot);
    if (index < kRequestSlots) {
        ArmedSlotBits()[index / 64] |= std::uint64_t{1} << (index % 64);
        NoteArmed(slot.itemSlot, index);
    }
}

void ReleaseRequestSlot(RequestSlot& slot)
{
    slot.sendTime = 0;
    slot.expiry = 0;
    if (const std::uint32_t index = IndexOf(slot); index < kRequestSlots)
        FreeIdentifier(index);
}

std::span<const std::uint8_t> SentQuery(const RequestSlot& slot) { return slot.ownBuffer; }

std::uint32_t FollowUpCount(const DnsItem& item) { return FollowUps()[SlotOf(item)].count; }

bool NoteFollowUpName(const DnsItem& item, std::string_view name, const PeerAddress& to)
{
    FollowUpLog& log = FollowUps()[SlotOf(item)];
    const std::uint64_t key = QuestionKey(name, to);
    for (std::uint32_t i = 0; i < log.noted; ++i) {
        if (log.names[i] == key)
            return false;
    }
    if (log.noted == kNotedNames)
        return false;
    log.names[log.noted++] = key;
    return true;
}

void DropItemRequests(std::uint32_t itemSlot)
{
    if (itemSlot >= kItemSlots)
        return;
    ItemRequests& list = ArmedOfItems()[itemSlot];
    for (std::uint32_t i = 0; i < list.count; ++i) {
        RequestSlot& slot = Slots()[list.slots[i]];
        if (WaitsFor(slot, itemSlot))
            ReleaseRequestSlot(slot);
    }
    if (list.overflowed) {
        ForEachArmedSlot(Slots(), [itemSlot](std::uint32_t, RequestSlot& slot) {
            if (WaitsFor(slot, itemSlot))
                ReleaseRequestSlot(slot);
        });
    }
    list = ItemRequests{};
    SetOutstanding(LockItems()->items[itemSlot], 0);
}

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

ssize_t SendQueryBytes(const std::uint8_t* bytes, std::size_t length, const PeerAddress& to)
{
    if (QuerySendHook hook = g_sendHook.load(std::memory_order_acquire))
        return hook(bytes, length, to);
    const bool v6 = to.Family() == AF_INET6;
    if (v6 && IN6_IS_ADDR_UNSPECIFIED(&to.v6.sin6_addr))
        return -1;
    const int sock = (v6 ? Engine().probeSocket6 : Engine().probeSocket).load();
    if (sock < 0)
        return -1;
    return ::sendto(sock, bytes, length, 0, to.Address(), to.Length());
}

void SendQueries(std::span<OutgoingQuery> queries)
{
    for (OutgoingQuery& q : queries)
        q.sent = -1;
    if (QuerySendHook hook = g_sendHook.load(std::memory_order_acquire)) {
        for (OutgoingQuery& q : queries) {
            q.sentTick = TickCount();
            q.sentNs = MonotonicNs();
            q.sent = hook(q.bytes, q.length, *q.to);
        }
        return;
    }
    constexpr std::size_t kPerCall = 64;
    std::array<mmsghdr, kPerCall> messages{};
    std::array<iovec, kPerCall> parts{};
    std::array<OutgoingQuery*, kPerCall> of{};
    for (const sa_family_t family : {sa_family_t{AF_INET}, sa_family_t{AF_INET6}}) {
        const int sock = (family == AF_INET6 ? Engine().probeSocket6 : Engine().probeSocket).load();
        std::size_t n = 0;
        const auto sendGathered = [&] {
            // sendmmsg stops at the first datagram it cannot send: that one fails
            // on its own, and the rest are sent again.
            for (std::size_t start = 0; start < n;) {
                // Before the call: a thread preempted once the datagrams left
                // would count round trips shorter than they were.
                const std::uint32_t tick = TickCount();
                const std::uint64_t ns = MonotonicNs();
                const int r = ::sendmmsg(sock, messages.data() + start, static_cast<unsigned>(n - start), 0);
                if (r <= 0) {
                    of[start]->sentTick = tick;
                    of[start]->sentNs = ns;
                    ++start;
                    continue;
                }
                for (std::size_t k = start; k < start + static_cast<std::size_t>(r); ++k) {
                    of[k]->sent = static_cast<ssize_t>(messages[k].msg_len);
                    of[k]->sentTick = tick;
                    of[k]->sentNs = ns;
                }
                start += static_cast<std::size_t>(r);
            }
            n = 0;
        };
        for (OutgoingQuery& q : queries) {
            if (q.to->Family() != family)
                continue;
            if (sock < 0 || (family == AF_INET6 && IN6_IS_ADDR_UNSPECIFIED(&q.to->v6.sin6_addr)))
                continue; // as SendQueryBytes: not sent
            parts[n] = iovec{const_cast<std::uint8_t*>(q.bytes), q.length};
            messages[n] = mmsghdr{};
            messages[n].msg_hdr.msg_name = const_cast<sockaddr*>(q.to->Address());
            messages[n].msg_hdr.msg_namelen = q.to->Length();
            messages[n].msg_hdr.msg_iov = &parts[n];
            messages[n].msg_hdr.msg_iovlen = 1;
            of[n] = &q;
            if (++n == kPerCall)
                sendGathered();
        }
        sendGathered();
    }
}

void SetQuerySendHook(QuerySendHook hook) { g_sendHook.store(hook, std::memory_order_release); }

} // namespace varnell
