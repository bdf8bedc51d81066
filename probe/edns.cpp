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
#include "dns/dns_name.h"
#include "dns/dns_wire.h"
#include "items/reply_detail.h"
#include "probe/reply_queue.h"
#include "probe/tcp_query.h"

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

// What a reply's OPT record says (RFC 6891 6.1.3): that the server speaks
// EDNS, and the upper eight bits of the 12-bit RCODE.
struct ReplyOpt {
    bool present = false;
    std::uint8_t extendedRcode = 0;
};

// The first OPT record of the additional section; none when the reply cannot
// be walked that far.
ReplyOpt ReadReplyOpt(std::span<const std::uint8_t> reply)
{
    ReplyOpt opt;
    ByteReader reader(reply);
    std::uint16_t counts[4] = {};
    if (!reader.Skip(4))
        return opt;
    for (std::uint16_t& c : counts)
        if (!reader.ReadU16BE(c))
            return opt;
    auto skipName = [&] {
        const std::size_t length = SkipName(reply, reader.Position());
        return length != 0 && reader.Skip(length);
    };
    for (std::uint32_t q = 0; q < counts[0]; ++q)
        if (!skipName() || !reader.Skip(4))
            return opt;
    const std::uint32_t records = std::uint32_t{counts[1]} + counts[2] + counts[3];
    for (std::uint32_t r = 0; r < records; ++r) {
        std::uint16_t type = 0, klass = 0, dataLength = 0;
        std::uint32_t ttl = 0;
        if (!skipName() || !reader.ReadU16BE(type) || !reader.ReadU16BE(klass) || !reader.ReadU32BE(ttl) ||
            !reader.ReadU16BE(dataLength) || !reader.Skip(dataLength))
            return opt;
        if (type == kTypeOpt && r >= records - counts[3]) {
            opt.present = true;
            opt.extendedRcode = static_cast<std::uint8_t>(ttl >> 24);
            return opt;
        }
    }
    return opt;
}

void PutU16BE(std::uint8_t* p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

// The query of slot without its OPT record: the record is always the last one
// and the only additional record, so it is cut off and ARCOUNT cleared.
bool StripOpt(std::uint32_t slot)
{
    RequestSlot& s = RequestTable()[slot];
    std::uint16_t& length = State().queryLength[slot];
    if (length < kDnsHeaderSize + kOptRecordSize)
        return false;
    length = static_cast<std::uint16_t>(length - kOptRecordSize);
    PutU16BE(s.ownBuffer + 10, 0);
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

std::size_t PrepareQuery(std::uint32_t slot, const DnsItem& item, std::span<std::uint8_t> query, std::size_t length)
{
    static_assert(kMaxQueryBytes <= kOwnQueryBuffer && kMaxQueryBytes <= kQueryBuffer);
    if (slot >= kRequestSlots || length > query.size())
        return length;
    RequestSlot& s = RequestTable()[slot];
    EdnsState& state = State();
    state.transport[slot] = 0;
    const std::uint32_t size = QueryEdnsSize();
    if (size != 0 && !IsPlain(SlotOf(item), s.destination) && query.size() - length >= kOptRecordSize &&
        length >= kDnsHeaderSize) {
        std::uint8_t* opt = query.data() + length;
        opt[0] = 0; // root owner
        PutU16BE(opt + 1, kTypeOpt);
        PutU16BE(opt + 3, static_cast<std::uint16_t>(size));
        std::memset(opt + 5, 0, 6); // extended RCODE 0, version 0, DO clear, no options
        PutU16BE(query.data() + 10, 1); // ARCOUNT
        length += kOptRecordSize;
        state.transport[slot] = kSentWithOpt;
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
    return {RequestTable()[slot].ownBuffer, State().queryLength[slot]};
}

bool DivertReply(std::uint32_t slot, std::span<const std::uint8_t> reply, bool wellFormed, bool viaTcp)
{
    if (slot >= kRequestSlots)
        return false;
    RequestSlot& s = RequestTable()[slot];
    EdnsState& state = State();
    const std::uint32_t itemSlot = s.itemSlot;
    if (itemSlot >= kItemSlots)
        return false;
    ByteReader reader(reply);
    std::uint8_t flags1 = 0, flags2 = 0;
    const bool header = reader.Skip(2) && reader.ReadU8(flags1) && reader.ReadU8(flags2);
    const bool primary = (s.flags & kSlotPrimary) != 0;

    if (!viaTcp && header && (flags1 & 0x02) != 0) {
        // RFC 1035 4.1.1 TC: the answer did not fit. What came is not evaluated,
        // whether empty or a partial set that would differ from probe to probe.
        if ((state.transport[slot] & kSentOverTcp) != 0)
            return true; // a duplicate of the truncated reply
        state.transport[slot] |= kSentOverTcp;
        AskOverTcp(slot); // no room for another connection: the request runs to its timeout
        return true;
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
        return true; // the request ends by its timeout
    if (sentOpt && (lacksEdns || opt.extendedRcode != 0)) {
        RememberPlain(itemSlot, s.destination);
        if (StripOpt(slot)) {
            const std::span<const std::uint8_t> bytes = PreparedQuery(slot);
            SendQueryBytes(bytes.data(), bytes.size(), s.destination);
        }
        // Sent or not, the request keeps its first send time and expiry: the
        // plain answer is measured from the first send, or the request times out.
        return true;
    }

    // Taken: note how the probe's answers travelled, for the reply detail.
    NoteAnswerTransport(itemSlot, primary, viaTcp);
    return false;
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
