// Feeds replies to an item waiting for its probe: the primary reply, then replies
// to the follow-up queries that the gathering sends, all from the right sender.
//
// Input: two setup bytes, then up to four datagrams separated by the marker
// F0 0D F0 0D. Setup bits 0-2: record type index (mod 7; 6 is AAAA); bits 3-4:
// which domain the item asks for; bit 5: RD and RA clear; bit 6: queries carry
// an OPT record and the primary reply comes truncated, so datagram 0 is instead
// the TCP stream that answers it (length-prefixed, read in pieces of 5 bytes; the
// message's identifier is written over); bit 7: finish with the timeout scan's
// gathering over the stored records. Second byte, bit 0: the item's server is
// IPv6, so its replies arrive with an IPv6 sender; bit 1: every datagram comes
// first from a near miss of its sender (bit 2: the other family with the same
// port and address bytes, else the next port), which must change nothing.
// Queries are not randomised: datagram 0 answers the primary query (its
// identifier picks the slot);
// datagram k answers the k-th query sent after the primary (a follow-up, or a
// plain retry), whose identifier is written over the datagram's first two bytes.
// Every datagram long enough to hold it gets the asked question written over
// its own, so that what follows the question check is reached.
#include <algorithm>
#include <arpa/inet.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <span>
#include <vector>

#include "items/address6.h"
#include "items/item_table.h"
#include "probe/edns.h"
#include "probe/query_entropy.h"
#include "probe/reply_parser.h"
#include "probe/request_table.h"
#include "probe/tcp_query.h"

namespace {

using namespace varnell;

constexpr std::uint32_t kItem = 0;
constexpr std::uint32_t kNow = 50000;
constexpr std::size_t kMaxInput = 4 * 6888;
constexpr std::uint8_t kMarker[4] = {0xF0, 0x0D, 0xF0, 0x0D};
constexpr const char* kDomains[4] = {"example.com", "a.example.com", "mail.example.org", "EXAMPLE.com."};

struct Sent {
    std::uint16_t id;
    PeerAddress to;
};
std::vector<Sent>& SentQueries()
{
    static std::vector<Sent> sent;
    return sent;
}

ssize_t Capture(const std::uint8_t* bytes, std::size_t length, const PeerAddress& to)
{
    if (length < 12)
        std::abort();
    SentQueries().push_back({static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8)), to});
    return static_cast<ssize_t>(length);
}

std::vector<TcpQuery>& TcpQueries()
{
    static std::vector<TcpQuery> asked;
    return asked;
}

bool CaptureTcp(const TcpQuery& query)
{
    TcpQueries().push_back(query);
    return true;
}

void Check(bool ok)
{
    if (!ok)
        std::abort();
}

void CheckBounds(const DnsItem& item, const ItemBlock& block)
{
    const std::uint64_t stored = std::uint64_t{block.answerRecords} + block.authorityRecords +
                                 block.additionalRecords + block.externalRecords;
    Check(stored <= kReplyRecords);
    Check(block.nextFree <= kReplyRecords);
    Check(block.additionalStart + block.additionalRecords + block.externalRecords <= kReplyRecords);
    Check(block.namesCursor <= kNamesArea);
    Check(block.answerCount <= kAnswerAddresses);
    Check(!IsAaaaItem(item) || block.answerCount <= kReplyRecords);
    Check(Outstanding(item) <= 63);
    for (std::uint64_t r = 0; r < stored; ++r) {
        Check(block.records[r].owner < kNamesArea);
        Check(block.records[r].data <= kNamesArea);
    }
}

// Slots a run can touch: the primary's and the follow-ups' taken after it.
void ClearSlots(std::uint32_t first)
{
    for (std::uint32_t i = 0; i < 2 * kReplyRecords; ++i) {
        RequestSlot& slot = LockRequests()[(first + i) & (kRequestSlots - 1)];
        ReleaseRequestSlot(slot); // and its identifier
        slot = RequestSlot{};
    }
    RequestCursor() = 0;
}

// The question slot asked, written over the datagram's when there is room.
void EchoQuestion(std::vector<std::uint8_t>& datagram, std::uint32_t slot)
{
    const std::span<const std::uint8_t> query = SentQuery(LockRequests()[slot & (kRequestSlots - 1)]);
    const std::size_t length = SkipName(query, 12) + 4;
    if (length > 4 && datagram.size() >= 12 + length)
        std::memcpy(datagram.data() + 12, query.data() + 12, length);
}

// Where a forger next to the real sender would send from: the other family
// with the same port and the same leading address bytes, or the next port.
PeerAddress NearMiss(const PeerAddress& from, bool otherFamily)
{
    if (!otherFamily) {
        PeerAddress next = from;
        next.v4.sin_port = static_cast<std::uint16_t>(from.PortBE() + 1);
        return next;
    }
    if (from.Family() == AF_INET6) {
        std::uint32_t first = 0;
        std::memcpy(&first, &from.v6.sin6_addr, sizeof first);
        return Ipv4Peer(first, from.PortBE());
    }
    Address6 a{};
    std::memcpy(a.bytes, &from.v4.sin_addr, 4);
    return Ipv6Peer(a, from.PortBE());
}

// A datagram as the receiver hands it over, after a near miss when asked.
void Reply(std::span<const std::uint8_t> datagram, const PeerAddress& from, std::uint32_t now, std::uint8_t options)
{
    if ((options & 0x02) != 0) {
        const std::uint32_t outstanding = Outstanding(LockItems()->items[kItem]);
        const ReplyOutcome forged = ProcessReply(datagram, NearMiss(from, (options & 0x04) != 0), now);
        Check(!forged.deliver && Outstanding(LockItems()->items[kItem]) == outstanding);
        Check(forged.verdict == ReplyVerdict::WrongSender || forged.verdict == ReplyVerdict::NoRequest ||
              forged.verdict == ReplyVerdict::NotResponse || forged.verdict == ReplyVerdict::TooShort);
    }
    ProcessReply(datagram, from, now);
}

bool Setup()
{
    InitItemTable();
    SetQueryRandomisation(false); // identifiers are the slots, names keep their case
    SetQuerySendHook(&Capture);
    SetTcpQueryHook(&CaptureTcp);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const bool ready = Setup();
    (void)ready;
    if (size < 2 || size > kMaxInput)
        return 0;
    const std::uint8_t setup = data[0];
    const std::uint8_t options = data[1];
    std::vector<std::span<const std::uint8_t>> datagrams;
    std::span<const std::uint8_t> rest(data + 2, size - 2);
    while (datagrams.size() < 4) {
        std::size_t cut = rest.size();
        for (std::size_t i = 0; i + sizeof kMarker <= rest.size(); ++i) {
            if (std::memcmp(rest.data() + i, kMarker, sizeof kMarker) == 0) {
                cut = i;
                break;
            }
        }
        datagrams.push_back(rest.first(cut));
        if (cut == rest.size())
            break;
        rest = rest.subspan(cut + sizeof kMarker);
    }

    std::lock_guard lock(EngineLock());
    DnsItem& item = LockItems()->items[kItem];
    ItemBlock& block = LockItems()->blocks[kItem];
    ResetItemBlock(block);
    block.domain = kDomains[(setup >> 3) & 3];
    item.typeIndex = (setup & 7u) % kRecordTypeCount;
    item.flags = kNeverUsedFlags;
    if (setup & 0x20)
        item.flags &= ~(kFlagRecursionDesired | kFlagRecursionAvailable);
    item.timeout = 2000;
    item.server.portBE = htons(53);
    if ((options & 0x01) != 0) {
        item.server.family = kEndpointFamily6;
        item.server.addrBE = 0;
        inet_pton(AF_INET6, "2001:db8::53", block.server6.bytes);
    } else {
        item.server.family = kEndpointFamily4;
        item.server.addrBE = htonl(0x7F000001u);
    }
    SentQueries().clear();
    TcpQueries().clear();
    ResetEdnsState();
    const bool overTcp = (setup & 0x40) != 0;
    SetQueryEdnsSize(overTcp ? 1232 : 0);

    // The primary query, sent as the scheduler sends it, from the slot the reply names.
    const std::span<const std::uint8_t> first = datagrams[0];
    const std::uint32_t id = first.size() >= 2 ? static_cast<std::uint32_t>(first[0] | (first[1] << 8)) : 0u;
    ClearSlots(id);
    RequestCursor() = id;
    const int s = AllocRequestSlot();
    Check(s == static_cast<int>(id));
    RequestSlot& slot = LockRequests()[id];
    slot.destination = ServerPeer(item);
    slot.limit = item.flags & kFlagSendLimitMask;
    slot.queryTypeBE = htons(RecordQueryType(item.typeIndex));
    slot.itemSlot = kItem;
    item.requestId = id;
    slot.queryLength = BuildAndSendQuery(id, item, false, true);
    Check(slot.queryLength != 0);
    RaiseOutstanding(item);
    ArmRequestSlot(slot, kNow, item.timeout);

    std::vector<std::uint8_t> patched(first.begin(), first.end());
    if (!overTcp) {
        EchoQuestion(patched, id);
        Reply(patched, slot.destination, kNow + 10, options);
    } else {
        std::vector<std::uint8_t> truncated = {static_cast<std::uint8_t>(id), static_cast<std::uint8_t>(id >> 8), 0x83,
                                               0x80, 0, 1, 0, 0, 0, 0, 0, 0};
        const std::span<const std::uint8_t> asked = SentQuery(slot);
        truncated.insert(truncated.end(), asked.begin() + 12, asked.begin() + 12 + SkipName(asked, 12) + 4);
        ProcessReply(truncated, slot.destination, kNow + 5);
        Check(TcpQueries().size() == 1 && TcpQueries()[0].slot == id);
        const std::span<const std::uint8_t> sent = PreparedQuery(id);
        Check(sent.size() == TcpQueries()[0].length &&
              std::memcmp(sent.data(), TcpQueries()[0].query, sent.size()) == 0);
        TcpFrame frame;
        FrameStatus status = FrameStatus::Partial;
        for (std::size_t at = 0; at < first.size() && status == FrameStatus::Partial;) {
            std::size_t used = 0;
            status = FeedFrame(frame, first.subspan(at, std::min<std::size_t>(5, first.size() - at)), used);
            Check(used <= 5 && frame.body.size() <= frame.expected);
            at += used;
        }
        if (status == FrameStatus::Complete) {
            frame.body[0] = static_cast<std::uint8_t>(id);
            frame.body[1] = static_cast<std::uint8_t>(id >> 8);
            EchoQuestion(frame.body, id);
            ProcessTcpReply(TcpQueries()[0], frame.body, slot.destination);
        }
    }
    CheckBounds(item, block);

    for (std::size_t k = 1; k < datagrams.size(); ++k) {
        if (SentQueries().size() <= k)
            break;
        const Sent followUp = SentQueries()[k];
        patched.assign(datagrams[k].begin(), datagrams[k].end());
        if (patched.size() >= 2) {
            patched[0] = static_cast<std::uint8_t>(followUp.id & 0xFF);
            patched[1] = static_cast<std::uint8_t>(followUp.id >> 8);
        }
        EchoQuestion(patched, followUp.id);
        Reply(patched, followUp.to, kNow + 10 + static_cast<std::uint32_t>(k), options);
        CheckBounds(item, block);
    }

    if (setup & 0x80) {
        block.answerCount = 0;
        const std::uint32_t stored =
            block.answerRecords + block.authorityRecords + block.additionalRecords + block.externalRecords;
        CollectAnswers(item, block, stored, block.domain.c_str(), RecordQueryType(item.typeIndex), kNow + 3000);
        if (IsAaaaItem(item))
            SortAnswers6(block);
        else
            SortAnswers(block);
        CheckBounds(item, block);
    }

    ClearSlots(id);
    SetOutstanding(item, 0);
    return 0;
}
