// The pending-request table and the query bytes (RFC 1035 4.1.1 header, 4.1.2
// question). Every query is recorded in a slot, taken in turn from a cursor,
// and goes out with a DNS identifier drawn at random (RFC 5452 9.2); the table
// maps each identifier in use to its slot, so a reply finds its request
// directly. The slot keeps the query as sent, whose question a reply must echo.
// Slots taken in turn keep a pass's requests close together in memory, and
// from a window that widens only when all of it waits, so an idle table's
// pages are never touched; the
// identifiers are what a forger would have to guess.
//
// Who touches what: the scheduler (probes, timeouts, retransmissions) and the
// receiver (replies, follow-up queries) read and write slots, the identifier
// map and the allocation cursor, always under EngineLock(). Tests reset the
// table while no engine thread runs.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <span>
#include <string_view>
#include <sys/types.h>

#include "dns/dns_name.h"
#include "dns/peer_address.h"
#include "items/item_table.h"

namespace varnell {

inline constexpr std::uint32_t kRequestSlots = 65536;
inline constexpr std::size_t kOwnQueryBuffer = 588;

enum SlotFlags : std::uint32_t {
    kSlotOwnBuffer = 0x1u, // the query lies in the slot's own buffer (never used by this program)
    kSlotPrimary = 0x2u,   // the scheduler's probe query; clear for a follow-up query
    kSlotCaseAsked = 0x4u, // asked again over TCP to learn whether the server keeps case
    kSlotTransport = 0x8u, // handed to the transport thread (probe/transport_probe.h)
};

struct RequestSlot {
    std::uint32_t sendTime;      // tick ms of the last send; 0: no request to accept replies for
    std::uint32_t expiry;        // tick ms; 0: not waiting (free when the send time is 0 too)
    std::uint32_t transmissions; // made so far
    std::uint32_t limit;         // transmissions allowed, from the item's flags bits 0-7
    std::uint32_t queryTypeBE;   // the item's query type, u16 in network byte order; reference only
    std::uint32_t itemSlot;      // item the request belongs to
    std::uint32_t flags;         // SlotFlags
    std::uint32_t identifier;    // the DNS identifier of its query, while the slot holds it
    PeerAddress destination;     // where the query went; a reply must come from here
    std::uint32_t queryLength;
    const std::uint8_t* query;   // the item's query buffer, or ownBuffer
    std::uint64_t sentNs;        // monotonic ns of the last send, for a round trip finer than the tick
    // The query as this slot sent it, whichever buffer it was built in: later
    // queries of the item overwrite the item's buffer, not this.
    std::uint8_t ownBuffer[kOwnQueryBuffer];
};

using RequestSlots = std::array<RequestSlot, kRequestSlots>;
// The table, reachable only through an accessor that holds the engine lock
// (items/item_table.h) while it lives. Take one per pass or batch.
using LockedRequests = Guarded<RequestSlots>::Access;
LockedRequests LockRequests();
// The allocation cursor (starts at 0).
std::uint32_t& RequestCursor();
// Zeroes every slot, the identifier map and the cursor (start-up and tests; no
// engine thread running).
void ResetRequestTable();

// A free slot (expiry 0), searching from the cursor and leaving it on the slot
// found; the search keeps to the slots below a window (1024 at first) and
// doubles it when every slot in it waits. -1 when all 65536 are taken. Caller
// holds EngineLock().
int AllocRequestSlot();

// The slot whose query went out with DNS identifier id, or -1 when no slot
// holds it (never used, or its request has ended). Caller holds EngineLock().
int SlotOfIdentifier(std::uint16_t id);

// Builds the query for slot in the item's query buffer (or the slot's own buffer)
// and sends it to the slot's destination. name == nullptr: the primary query for
// the item's domain and record type; otherwise an A query for name. The
// query gets an identifier no other slot holds, drawn at random, and its
// name's letters a random case (probe/query_entropy.h); the slot's own buffer
// keeps the query. Returns the
// bytes sent, or 0 when the name is refused or the send fails (nothing is sent
// then). The caller fills destination, limit, queryTypeBE and itemSlot first,
// holds EngineLock(), and afterwards stores the length and arms the slot.
std::uint32_t BuildAndSendQuery(std::uint32_t slot, DnsItem& item, bool ownBuffer, bool primary,
                                const char* name = nullptr);
// The same query, built but not sent: its length, or 0 when the name is refused.
std::uint32_t BuildQuery(std::uint32_t slot, DnsItem& item, bool ownBuffer, bool primary,
                         const char* name = nullptr);

// Marks a slot as waiting: send time `sent` and expiry expiryFrom + timeout,
// both kept off 0 (0 means "no request" / "free"), and notes it among the armed
// slots, and among its item's. The scheduler sends in the rhythm of its passes
// and counts a probe's time-out from its pass (expiryFrom), so that the pass
// one time-out later finds it expired; the round trip is still measured from
// the moment the datagram left (sent).
// sentNs: the monotonic reading of the send (0: now, for a slot armed right
// after its send).
void ArmRequestSlot(RequestSlot& slot, std::uint32_t sent, std::uint32_t timeout, std::uint32_t expiryFrom,
                    std::uint64_t sentNs = 0);
inline void ArmRequestSlot(RequestSlot& slot, std::uint32_t now, std::uint32_t timeout)
{
    ArmRequestSlot(slot, now, timeout, now);
}

// Ends the slot's request, or gives back a slot whose query was not sent: no
// reply is taken for it any more, its identifier is free again, and so is the
// slot. Under EngineLock().
void ReleaseRequestSlot(RequestSlot& slot);

// The query the slot sent, as kept in its own buffer: what MatchQuestion
// compares a reply with.
std::span<const std::uint8_t> SentQuery(const RequestSlot& slot);

// Calls visit(id, slot) for every slot armed since the last visit that found it
// no longer waiting (expiry 0): a superset of the waiting slots, which the
// timeout scan walks instead of all 65536. A slot that visit leaves with expiry
// 0 is forgotten until it is armed again. Under EngineLock().
template <typename Visit> void ForEachArmedSlot(RequestSlots& table, Visit&& visit);

// Follow-up queries built for the item since its last primary query. The
// gathering stops asking past a fixed number per probe, so a server that keeps
// answering with nothing cannot keep the item asking forever. Under EngineLock().
std::uint32_t FollowUpCount(const DnsItem& item);

// Notes that the gathering asks name (letter case and a final dot aside) of
// `to` for the item's current probe. False when that was asked already in this
// probe, or when the probe has asked as many names as are noted: the answer
// that came (or its timeout) is all this probe gets for the name, so a name a
// server keeps leaving without address costs one query, not one per gathering.
// Reset by the item's next primary query. Under EngineLock().
bool NoteFollowUpName(const DnsItem& item, std::string_view name, const PeerAddress& to);

// Ends every request of the item in slot itemSlot at once (a deleted or edited
// item): its timeout reports nothing and a late reply finds no request, so
// neither a new item in the same slot nor the item's new settings inherit
// them. Walks only the slots armed for the item. Clears the outstanding count.
// Under EngineLock().
void DropItemRequests(std::uint32_t itemSlot);

// One bit per request slot, set by ArmRequestSlot. Under EngineLock().
std::array<std::uint64_t, kRequestSlots / 64>& ArmedSlotBits();

template <typename Visit> void ForEachArmedSlot(RequestSlots& table, Visit&& visit)
{
    auto& words = ArmedSlotBits();
    for (std::uint32_t w = 0; w < words.size(); ++w) {
        for (std::uint64_t bits = words[w]; bits != 0; bits &= bits - 1) {
            const std::uint32_t id = w * 64 + static_cast<std::uint32_t>(std::countr_zero(bits));
            RequestSlot& slot = table[id];
            if (slot.expiry != 0)
                visit(id, slot);
            if (slot.expiry == 0)
                words[w] &= ~(std::uint64_t{1} << (id % 64));
        }
    }
}

// Raises the item's outstanding-request count, saturating at 63.
void RaiseOutstanding(DnsItem& item);
// Lowers it unless it is 0.
void LowerOutstanding(DnsItem& item);

// Sends one datagram on the probe socket of to's family (or through the test
// hook). Returns the bytes sent or -1: also when that family has no socket (a
// machine without IPv6) or to is the unspecified IPv6 address (an IPv6-server
// item whose stored address could not be read), which would reach this host.
ssize_t SendQueryBytes(const std::uint8_t* bytes, std::size_t length, const PeerAddress& to);

// One datagram of SendQueries, and what became of it.
struct OutgoingQuery {
    const std::uint8_t* bytes = nullptr;
    std::size_t length = 0;
    const PeerAddress* to = nullptr;
    ssize_t sent = -1;          // the bytes sent, or -1 as SendQueryBytes gives it
    std::uint32_t sentTick = 0; // read right before the system call that sent it (never late)
    std::uint64_t sentNs = 0;   // the same moment on the monotonic clock in ns
};
// Sends every query as SendQueryBytes would, with one sendmmsg per socket for
// many datagrams (the test hook still gets them one by one).
void SendQueries(std::span<OutgoingQuery> queries);

// Tests and the fuzz target capture queries here instead of a socket; nullptr
// restores sending on the probe sockets. Set only while no engine thread runs.
using QuerySendHook = ssize_t (*)(const std::uint8_t* bytes, std::size_t length, const PeerAddress& to);
void SetQuerySendHook(QuerySendHook hook);

} // namespace varnell
