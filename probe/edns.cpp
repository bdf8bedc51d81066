// EDNS(0) in queries and the reply decisions that come before evaluation
// (RFC 6891 6.1.2 OPT layout, 6.1.3 extended RCODE and BADVERS, 6.2.3 payload
// size, 7 fallback on FORMERR; RFC 1035 4.1.1 TC bit; RFC 7766 5 TCP after
// truncation).
#include "probe/edns.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>

#include "base/byte_reader.h"
#include "base/tick.h"
#include "dns/dns_wire.h"
#include "items/reply_detail.h"
#include "probe/reply_queue.h"

namespace varnell {

namespace {

// Servers that answered a query with OPT by FORMERR, NOTIMP or garbage are
// asked plainly by that item for a while. Each item remembers a few: its own
// server, and the name servers a follow-up went to. The mark is the item's, not
// the slot's: editing or deleting the item forgets it, and so does time, since
// one reply (a forged one, or a server's bad minute) is no lasting verdict on a
// server that may be upgraded or fixed.
constexpr std::size_t kPlainServersPerItem = 4;
constexpr std::uint32_t kPlainMarkMs = 10 * 60 * 1000;

enum SlotTransport : std::uint8_t {
    kSentWithOpt = 0x1, // the query carries OPT
    kSentOverTcp = 0x2, // the question went to TCP after a truncated reply
};

struct ServerKey {
    PeerAddress server{};
    std::uint32_t since = 0; // tick when the server was found plain
    bool used = false;
};

// All under EngineLock(), see the header.
struct EdnsState {
    std::array<std::uint8_t, kRequestSlots> transport{};
    std::array<std::uint16_t, kRequestSlots> queryLength{};
    std::array<std::array<ServerKey, kPlainServersPerItem>, kItemSlots> plain{};
};

EdnsState& State()
{
    static auto* state = new EdnsState();
    return *state;
}

std::atomic<std::uint32_t> g_ednsSize{0};

bool IsPlain(std::uint32_t itemSlot, const PeerAddress& to)
{
    const std::uint32_t now = TickCount();
    for (ServerKey& k : State().plain[itemSlot]) {
        if (k.used && TickReached(now, k.since + kPlainMarkMs))
            k = ServerKey{};
        if (k.used && k.server == to)
            return true;
    }
    return false;
}

void RememberPlain(std::uint32_t itemSlot, const PeerAddress& to)
{
    if (IsPlain(itemSlot, to))
        return;
    auto& keys = State().plain[itemSlot];
    // Full: the oldest entry makes room (a server forgotten is only asked with OPT
    // once more, and falls back again).
    std::rotate(keys.begin(), keys.begin() + 1, keys.end());
    keys.back() = ServerKey{to, TickCount(), true};
}

// The query of slot without its OPT record: the record is always the last one
// and the only additional record, so it is cut off and ARCOUNT cleared.
bool StripOpt(std::uint32_t slot, RequestSlot& s)
{
    std::uint16_t& length = State().queryLength[slot];
    const std::size_t plain = StripOptRecord(std::span(s.ownBuffer, length));
    if (plain == 0)
        return false;
    length = static_cast<std::uint16_t>(plain);
    // A new attempt: its own truncated reply may go to TCP again, plainly.
    State().transport[slot] = 0;
    return true;
}

} // namespace

void SetQueryEdnsSize(std::uint32_t size)
{
    if (size != 0)
        size = std::clamp<std::uint32_t>(size, kMinEdnsSize, ReplyQueue::kMaxDatagram);
    g_ednsSize.store(size);
}

std::uint32_t QueryEdnsSize() { return g_ednsSize.load(); }

std::size_t PrepareQuery(std::uint32_t slot, RequestSlot& s, const DnsItem& item, std::span<std::uint8_t> query,
                         std::size_t length)
{
    static_assert(kMaxQueryBytes <= kOwnQueryBuffer && kMaxQueryBytes <= kQueryBuffer);
    if (slot >= kRequestSlots || length > query.size())
        return length;
    EdnsState& state = State();
    state.transport[slot] = 0;
    const std::uint32_t size = QueryEdnsSize();
    if (size != 0 && !IsPlain(SlotOf(item), s.destination)) {
        const std::size_t withOpt = AppendOptRecord(query, length, static_cast<std::uint16_t>(size));
        if (withOpt != 0) {
            length = withOpt;
            state.transport[slot] = kSentWithOpt;
        }
    }
    // The slot's own buffer is otherwise unused: it keeps this slot's question
    // for a retry, since later queries of the item overwrite the item's buffer.
    if (length <= kMaxQueryBytes && query.data() != s.ownBuffer) {
        std::memcpy(s.ownBuffer, query.data(), length);
        state.queryLength[slot] = static_cast<std::uint16_t>(length);
    } else if (query.data() == s.ownBuffer) {
        state.queryLength[slot] = static_cast<std::uint16_t>(length);
    } else {
        state.queryLength[slot] = 0;
    }
    return length;
}

std::span<const std::uint8_t> PreparedQuery(std::uint32_t slot)
{
    if (slot >= kRequestSlots)
        return {};
    return {LockRequests()[slot].ownBuffer, State().queryLength[slot]};
}

Diversion DivertReply(std::uint32_t slot, RequestSlot& s, std::span<const std::uint8_t> reply, bool wellFormed,
                      bool viaTcp)
{
    if (slot >= kRequestSlots)
        return Diversion::None;
    EdnsState& state = State();
    const std::uint32_t itemSlot = s.itemSlot;
    if (itemSlot >= kItemSlots)
        return Diversion::None;
    ByteReader reader(reply);
    std::uint8_t flags1 = 0, flags2 = 0;
    const bool header = reader.Skip(2) && reader.ReadU8(flags1) && reader.ReadU8(flags2);
    const bool primary = (s.flags & kSlotPrimary) != 0;

    if (!viaTcp && header && (flags1 & 0x02) != 0) {
        // RFC 1035 4.1.1 TC: the answer did not fit. What came is not evaluated,
        // whether empty or a partial set that would differ from probe to probe.
        if ((state.transport[slot] & kSentOverTcp) != 0)
            return Diversion::Held; // a duplicate of the truncated reply
        state.transport[slot] |= kSentOverTcp;
        return Diversion::OverTcp;
    }

    const std::uint8_t rcode = flags2 & 0x0F;
    const ReplyOpt opt = header && wellFormed ? ReadReplyOpt(reply) : ReplyOpt{};
    const bool sentOpt = (state.transport[slot] & kSentWithOpt) != 0;
    // RFC 6891 7: a responder without EDNS may answer FORMERR or NOTIMP, or
    // something unreadable; the query "SHOULD be retried without OPT". One that
    // put OPT in its answer speaks EDNS, and its FORMERR is about the question.
    const bool lacksEdns = !header || !wellFormed || ((rcode == 1 || rcode == 4) && !opt.present);
    // RFC 6891 6.1.3: the OPT record holds the upper eight bits of the RCODE.
    // BADVERS (16) says the server takes not even version 0, so only a plain
    // query is left to ask. Any other extended code (none is meant for a query
    // without cookies or signatures) is taken the same way, since the low four
    // bits alone would pass it off as another code, success included.
    if (opt.extendedRcode != 0 && !sentOpt)
        return Diversion::Held; // the request ends by its timeout
    if (sentOpt && (lacksEdns || opt.extendedRcode != 0)) {
        RememberPlain(itemSlot, s.destination);
        if (StripOpt(slot, s)) {
            const std::span<const std::uint8_t> bytes = PreparedQuery(slot);
            SendQueryBytes(bytes.data(), bytes.size(), s.destination);
        }
        // Sent or not, the request keeps its first send time and expiry: the
        // plain answer is measured from the first send, or the request times out.
        return Diversion::Held;
    }

    // Taken: note how the probe's answers travelled, for the reply detail.
    NoteAnswerTransport(itemSlot, primary, viaTcp);
    return Diversion::None;
}

void ForgetPlainServers(std::uint32_t itemSlot)
{
    if (itemSlot < kItemSlots)
        State().plain[itemSlot].fill(ServerKey{});
}

void ResetEdnsState()
{
    std::lock_guard lock(EngineLock());
    EdnsState& state = State();
    state.transport.fill(0);
    state.queryLength.fill(0);
    for (auto& keys : state.plain)
        keys.fill(ServerKey{});
    ResetAnswerTransports();
}

} // namespace varnell
