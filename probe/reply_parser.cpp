// Reply processing (RFC 1035 4.1: header, question and resource record formats;
// 4.1.4: compression; 3.3.9, 3.3.11, 3.4.1: MX, NS and A data; RFC 3596 2.2:
// AAAA data).
//
// How each unusual datagram is handled:
// - Shorter than 12 bytes, QR bit clear, an identifier whose slot holds no
//   request (never used, answered, timed out or dropped), a sender other than
//   the address and port the query went to, or a question section other than
//   the one question asked (dns/question_check.h): dropped before the slot
//   is touched. Forged replies end here: they must guess a random identifier
//   and the random letter case of the name.
// - A question that differs from the one asked in letter case alone, from a
//   server not known to change case: asked again over TCP (verdict Diverted).
// - A reply whose round trip exceeds the item's time-out: the request ends as
//   if nothing had come (EndUnanswered), whenever it arrives.
// - A header, question or record that runs past the datagram, or an owner name
//   with a compression pointer that does not point back, a reserved label type
//   or more than 255 octets: dropped the same way (verdict Malformed), so the
//   request ends by its timeout (16, or 18 for a follow-up query) as if nothing
//   had arrived. Pointers reach the whole message, past byte 512 too.
// - Record data that does not decode as a name (any type other than A and MX is
//   decoded as one) keeps the labels decoded before the fault.
// - An A record whose data is not 4 bytes, or an AAAA record whose data is not
//   16, is stored but never taken as an address.
// - Too many records: QDCOUNT + ANCOUNT + NSCOUNT + ARCOUNT of 63 or more gives 19
//   for a primary reply; for a follow-up reply the records already stored for the
//   probe count as well, so the record area of 64 is never overrun, and it gives
//   20. A reply whose names and data do not fit the 2888-byte names area is
//   refused the same way. The refused reply's records are not stored; a refused
//   follow-up reply leaves the probe's earlier records as they were.
// - CNAME and NS loops: one gathering visits each name once and descends at most
//   kMaxGatherDepth levels; ResolveName follows at most kReplyRecords aliases.
// - At most kMaxFollowUps follow-up queries per probe, and each name asked of
//   each server once per probe, so a server answering every follow-up with
//   nothing cannot keep the item asking in a tight loop.
// - A follow-up that fails (an error RCODE, no answer in time, a send that
//   failed, too many records) is listed in the block for the reply text; the
//   probe's result is its primary reply's code all the same.
#include "probe/reply_parser.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <mutex>

#include "base/tick.h"
#include "dns/dns_wire.h"
#include "dns/question_check.h"
#include "dns/record_reader.h"
#include "dns/record_text.h"
#include "items/address6.h"
#include "items/answer_eval.h"
#include "items/result_eval.h"
#include "probe/case_memory.h"
#include "probe/edns.h"
#include "probe/request_table.h"
#include "probe/tcp_query.h"

namespace varnell {

namespace {

constexpr std::uint32_t kRefuseAtRecords = 63;
constexpr std::uint32_t kMaxOutstandingForGathering = 8;
constexpr std::uint32_t kMaxFollowUps = 32;
constexpr int kMaxGatherDepth = 32;
constexpr std::uint32_t kMaxVisited = 2 * kReplyRecords + 1;
constexpr std::uint16_t kDnsPort = 53;

std::uint16_t TypeOf(const ReplyRecord& record) { return ntohs(record.typeBE); }

// addressType: kTypeA or kTypeAaaa, the records an item gathers its addresses from.
bool IsAddress(const ReplyRecord& record, std::uint16_t addressType = kTypeA)
{
    const std::uint32_t size = addressType == kTypeAaaa ? 16 : 4;
    return TypeOf(record) == addressType && ntohs(record.dataLengthBE) == size && record.data <= kNamesArea - size;
}

Address6 Address6Of(const ItemBlock& block, const ReplyRecord& record)
{
    Address6 address{};
    std::memcpy(address.bytes, block.names + record.data, sizeof address.bytes);
    return address;
}

std::uint32_t AddressOf(const ItemBlock& block, const ReplyRecord& record)
{
    std::uint32_t addrBE = 0;
    std::memcpy(&addrBE, block.names + record.data, 4);
    return addrBE;
}

// Of the types read for their content only SRV names a host whose addresses
// are gathered, as an MX record does.
bool Follows(const ReplyRecord& record, std::uint16_t type)
{
    const std::uint16_t t = TypeOf(record);
    return t == kTypeCname ||
           (t == type && type != kTypeA && type != kTypeAaaa && (type == kTypeSrv || !HasContentData(type)));
}

// The name a followed record points at: its data, or an SRV record's target.
const char* FollowedName(const ItemBlock& block, const ReplyRecord& record)
{
    if (TypeOf(record) == kTypeSrv)
        return NamesText(block, SrvTargetOffset(record.data, ntohs(record.dataLengthBE)));
    return NamesText(block, record.data);
}

std::uint32_t StoredRecords(const ItemBlock& block)
{
    return block.answerRecords + block.authorityRecords + block.additionalRecords + block.externalRecords;
}

// The records of the item's latest probe, where a reply's records are stored.
RecordStore StoreOf(ItemBlock& block) { return {block.records, block.names, block.namesCursor}; }

struct Gathering {
    DnsItem& item;
    ItemBlock& block;
    std::uint32_t count;
    std::uint16_t qtype;
    std::uint32_t now;
    bool ask = true; // follow-up queries may be sent
    const char* visited[kMaxVisited] = {};
    std::uint32_t visitedCount = 0;
};

void NoteFollowUpFailure(ItemBlock& block, std::string_view name, int code)
{
    const std::uint32_t n = block.followUpFailureCount;
    if (n < kMaxFollowUps)
        block.followUpFailureCount = n + 1;
    if (n >= kFollowUpFailures)
        return;
    std::uint32_t offset = kNamesArea; // no room: shown without its name
    if (block.namesCursor < kNamesArea && name.size() < kNamesArea - block.namesCursor) {
        offset = block.namesCursor;
        std::memcpy(block.names + offset, name.data(), name.size());
        block.names[offset + name.size()] = '\0';
        block.namesCursor += static_cast<std::uint32_t>(name.size() + 1);
    }
    block.followUpFailures[n] = FollowUpFailure{offset, code};
}

// The follow-up query of slot has failed with code. Its name is shown without
// the random case it was sent in.
void NoteFollowUpFailure(ItemBlock& block, const RequestSlot& slot, int code)
{
    char name[kMaxNameText];
    DecodeName(SentQuery(slot), kDnsHeaderSize, name);
    for (char& c : name)
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    NoteFollowUpFailure(block, name, code);
}

// Takes a slot and sends an address query (AAAA for an AAAA item, else A) for
// qname to `to`. 2 when no slot is free; 0 when this probe has asked that
// already, or the query could not be sent (noted as failed; nothing is armed,
// so nothing is counted or will time out); 3 when it was sent.
int SendFollowUp(Gathering& g, const char* qname, const PeerAddress& to)
{
    const int s = AllocRequestSlot();
    if (s < 0)
        return 2;
    if (!NoteFollowUpName(g.item, qname, to))
        return 0; // the slot stays free: nothing was armed
    const auto slotIndex = static_cast<std::uint32_t>(s);
    RequestSlot& slot = LockRequests()[slotIndex];
    slot.destination = to;
    slot.limit = g.item.flags & kFlagSendLimitMask;
    slot.queryTypeBE = htons(RecordQueryType(g.item.typeIndex));
    slot.itemSlot = SlotOf(g.item);
    const std::uint32_t length = BuildAndSendQuery(slotIndex, g.item, false, false, qname);
    if (length == 0) {
        ReleaseRequestSlot(slot);
        NoteFollowUpFailure(g.block, qname, kResultSendFailed);
        return 0;
    }
    g.item.requestId = slotIndex;
    slot.queryLength = length;
    RaiseOutstanding(g.item);
    ArmRequestSlot(slot, TickCount(), g.item.timeout); // stamped as it left, for its round trip
    return 3;
}

bool MayAskMore(const Gathering& g)
{
    return g.ask && Outstanding(g.item) <= kMaxOutstandingForGathering && FollowUpCount(g.item) < kMaxFollowUps;
}

int Collect(Gathering& g, const char* name, int depth)
{
    if (depth > kMaxGatherDepth)
        return 0;
    // A name already gathered in this pass adds nothing, and is how alias loops end.
    for (std::uint32_t v = 0; v < g.visitedCount; ++v) {
        if (SameName(g.visited[v], name))
            return 0;
    }
    if (g.visitedCount == kMaxVisited)
        return 0;
    g.visited[g.visitedCount++] = name;

    ItemBlock& block = g.block;
    const std::uint16_t addressType = g.qtype == kTypeAaaa ? kTypeAaaa : kTypeA;
    std::uint32_t addresses = 0;
    for (std::uint32_t r = 0; r < g.count; ++r) {
        const ReplyRecord& record = block.records[r];
        if (IsAddress(record, addressType) && SameName(NamesText(block, record.owner), name)) {
            if (addressType == kTypeAaaa)
                AddUniqueAddress6(block, Address6Of(block, record));
            else
                AddUniqueAddress(block, AddressOf(block, record));
            ++addresses;
        }
    }
    std::uint32_t aliases = 0;
    for (std::uint32_t r = 0; r < g.count; ++r) {
        const ReplyRecord& record = block.records[r];
        if (Follows(record, g.qtype) && SameName(NamesText(block, record.owner), name)) {
            Collect(g, FollowedName(block, record), depth + 1);
            ++aliases;
        }
    }
    // The root has no address to ask for: an MX of "." says the domain takes no mail.
    if (addresses != 0 || aliases != 0 || SameName(name, ""))
        return 0;
    if (!MayAskMore(g))
        return 1;
    if (!SameName(name, block.domain))
        return SendFollowUp(g, name, ServerPeer(g.item));

    // The domain itself is unresolved: ask its name servers whose addresses the
    // records give.
    for (std::uint32_t r = 0; r < g.count; ++r) {
        const ReplyRecord& record = block.records[r];
        if (TypeOf(record) != kTypeNs || !SameName(NamesText(block, record.owner), name))
            continue;
        const std::uint32_t serverBE = ResolveName(block, g.count, NamesText(block, record.data), kTypeNs);
        if (serverBE == 0)
            continue;
        if (!MayAskMore(g))
            return 1;
        if (SendFollowUp(g, block.domain.c_str(), Ipv4Peer(serverBE, htons(kDnsPort))) == 2)
            return 2;
    }
    return 0;
}

} // namespace

const char* NamesText(const ItemBlock& block, std::uint32_t offset)
{
    // Every write into the names area ends with a 0 byte inside the area, so any
    // offset inside it starts a terminated text.
    return offset < kNamesArea ? block.names + offset : "";
}

int CollectAnswers(DnsItem& item, ItemBlock& block, std::uint32_t count, const char* name,
                   std::uint16_t qtype, std::uint32_t now)
{
    Gathering g{item, block, std::min(count, kReplyRecords), qtype, now};
    return Collect(g, name ? name : "", 0);
}

namespace {

// The item's addresses from every record its probe has stored, sorted; ask:
// names left unresolved may be asked by follow-up queries.
void GatherAnswers(DnsItem& item, ItemBlock& block, std::uint32_t now, bool ask)
{
    block.answerCount = 0;
    const std::uint16_t qtype = RecordQueryType(item.typeIndex);
    // A TXT, CAA, HTTPS, DNSKEY or DS answer names no host: nothing to gather
    // (items/answer_eval.h reads its records).
    if (qtype != kTypeSrv && HasContentData(qtype))
        return;
    Gathering g{item, block, std::min(StoredRecords(block), kReplyRecords), qtype, now, ask};
    Collect(g, block.domain.c_str(), 0);
    if (IsAaaaItem(item))
        SortAnswers6(block);
    else
        SortAnswers(block);
}

} // namespace

int EndUnanswered(ItemTable& items, RequestSlot& slot, std::uint32_t now)
{
    const std::uint32_t itemSlot = slot.itemSlot;
    const bool primary = (slot.flags & kSlotPrimary) != 0;
    ReleaseRequestSlot(slot);
    if (itemSlot >= kItemSlots)
        return -1;
    DnsItem& item = items.items[itemSlot];
    ItemBlock& block = items.blocks[itemSlot];
    if (!primary)
        NoteFollowUpFailure(block, slot, kResultTimeout);
    LowerOutstanding(item);
    if (Outstanding(item) != 0)
        return -1; // the item's other requests decide
    GatherAnswers(item, block, now, !primary);
    if (Outstanding(item) != 0)
        return -1; // names asked now: their answers end the probe
    return primary ? kResultTimeout : block.primaryCode;
}

ReplyOutcome EndIfTimedOut(std::uint16_t id, std::uint32_t now)
{
    ReplyOutcome outcome;
    outcome.verdict = ReplyVerdict::NoRequest;
    const LockedItems items = LockItems();
    const LockedRequests requests = LockRequests();
    const int found = SlotOfIdentifier(id);
    if (found < 0)
        return outcome;
    RequestSlot& slot = requests[static_cast<std::uint32_t>(found)];
    if (slot.sendTime == 0 || slot.expiry == 0 || !TickReached(now, slot.expiry))
        return outcome;
    outcome.itemSlot = slot.itemSlot;
    const int code = EndUnanswered(*items, slot, now);
    outcome.deliver = code >= 0 && outcome.itemSlot < kItemSlots;
    outcome.code = code;
    return outcome;
}

std::uint32_t ResolveName(const ItemBlock& block, std::uint32_t count, const char* name, std::uint16_t type)
{
    count = std::min(count, kReplyRecords);
    const char* current = name ? name : "";
    // An alias chain longer than the records can hold is a loop.
    for (std::uint32_t hop = 0; hop <= kReplyRecords; ++hop) {
        const char* next = nullptr;
        for (std::uint32_t r = 0; r < count; ++r) {
            const ReplyRecord& record = block.records[r];
            if (IsAddress(record) && SameName(NamesText(block, record.owner), current))
                return AddressOf(block, record);
        }
        for (std::uint32_t r = 0; r < count && next == nullptr; ++r) {
            const ReplyRecord& record = block.records[r];
            if (Follows(record, type) && SameName(NamesText(block, record.owner), current))
                next = FollowedName(block, record);
        }
        if (next == nullptr)
            return 0;
        current = next;
    }
    return 0;
}

void AddUniqueAddress(ItemBlock& block, std::uint32_t addrBE)
{
    const std::uint32_t n = std::min(block.answerCount, kAnswerAddresses);
    for (std::uint32_t i = 0; i < n; ++i) {
        if (block.answers[i].addrBE == addrBE)
            return;
    }
    if (n == kAnswerAddresses)
        return;
    block.answers[n] = AddressEntry{addrBE, 0};
    block.answerCount = n + 1;
}

void SortAnswers(ItemBlock& block)
{
    // Addresses are held in network byte order on a little-endian host, so the
    // integer's least significant byte is the first octet. This order is what the
    // event texts and the known-address comparison have always shown; keep it.
    const std::uint32_t n = std::min(block.answerCount, kAnswerAddresses);
    std::sort(block.answers, block.answers + n, [](const AddressEntry& a, const AddressEntry& b) {
        return static_cast<std::int32_t>(a.addrBE) < static_cast<std::int32_t>(b.addrBE);
    });
}

ReplyOutcome ProcessReply(std::span<const std::uint8_t> datagram, const PeerAddress& from, std::uint32_t now,
                          bool viaTcp, std::uint64_t receivedNs)
{
    ReplyOutcome outcome;
    ByteReader reader(datagram);
    std::uint16_t id = 0, questions = 0, answers = 0, authorities = 0, additionals = 0;
    std::uint8_t flags1 = 0, flags2 = 0;
    if (!reader.ReadU16LE(id) || !reader.ReadU8(flags1) || !reader.ReadU8(flags2) ||
        !reader.ReadU16BE(questions) || !reader.ReadU16BE(answers) || !reader.ReadU16BE(authorities) ||
        !reader.ReadU16BE(additionals)) {
        outcome.verdict = ReplyVerdict::TooShort;
        return outcome;
    }
    if ((flags1 & 0x80) == 0) {
        outcome.verdict = ReplyVerdict::NotResponse;
        return outcome;
    }

    const LockedItems items = LockItems();
    const LockedRequests requests = LockRequests();
    const int found = SlotOfIdentifier(id);
    if (found < 0) {
        outcome.verdict = ReplyVerdict::NoRequest;
        return outcome;
    }
    const auto slotIndex = static_cast<std::uint32_t>(found);
    RequestSlot& slot = requests[slotIndex];
    if (slot.identifier != id || slot.sendTime == 0 || slot.expiry == 0 || slot.itemSlot >= kItemSlots) {
        outcome.verdict = ReplyVerdict::NoRequest;
        return outcome;
    }
    if (from != slot.destination) {
        outcome.verdict = ReplyVerdict::WrongSender;
        return outcome;
    }
    switch (MatchQuestion(SentQuery(slot), datagram)) {
    case QuestionMatch::Same:
        if (viaTcp)
            NoteCaseSeen(slot.destination, false, now);
        break;
    case QuestionMatch::CaseDiffers:
        // Over TCP the reply is the server's own: learn that it changes case.
        // Over UDP it may be a forger's that guessed the identifier but not the
        // case; only a server known to change case is believed.
        if (viaTcp) {
            NoteCaseSeen(slot.destination, true, now);
        } else if (!ChangesCase(slot.destination, now)) {
            if ((slot.flags & kSlotCaseAsked) == 0) {
                slot.flags |= kSlotCaseAsked;
                AskOverTcp(slotIndex);
            }
            outcome.verdict = ReplyVerdict::Diverted;
            return outcome;
        }
        break;
    case QuestionMatch::Different:
        outcome.verdict = ReplyVerdict::WrongQuestion;
        return outcome;
    }
    DnsItem& item = items->items[slot.itemSlot];
    ItemBlock& block = items->blocks[slot.itemSlot];
    outcome.itemSlot = slot.itemSlot;
    const auto rtt = static_cast<std::int32_t>(now - slot.sendTime);
    if (rtt > 0 && static_cast<std::uint32_t>(rtt) > item.timeout) {
        outcome.verdict = ReplyVerdict::Late;
        const int code = EndUnanswered(*items, slot, now);
        outcome.deliver = code >= 0;
        outcome.code = code;
        return outcome;
    }
    const bool primary = (slot.flags & kSlotPrimary) != 0;
    const std::uint32_t records = std::uint32_t{answers} + authorities + additionals;
    const std::uint32_t alreadyStored = primary ? 0 : StoredRecords(block);
    bool tooMany = alreadyStored + questions + records >= kRefuseAtRecords;
    const bool wellFormed = tooMany || RecordsWellFormed(datagram, questions, records);
    // Large answers (probe/edns.h): a truncated reply goes to TCP, a server that
    // cannot take OPT is asked again without it; the request keeps waiting.
    switch (DivertReply(slotIndex, slot, datagram, wellFormed, viaTcp)) {
    case Diversion::None:
        break;
    case Diversion::OverTcp:
        AskOverTcp(slotIndex); // no room for another connection: the request runs to its timeout
        [[fallthrough]];
    case Diversion::Held:
        outcome.verdict = ReplyVerdict::Diverted;
        return outcome;
    }
    if (!wellFormed) {
        outcome.verdict = ReplyVerdict::Malformed;
        return outcome;
    }

    const std::uint32_t sentAt = slot.sendTime;
    const std::uint64_t sentNs = slot.sentNs;
    ReleaseRequestSlot(slot);
    LowerOutstanding(item);
    const int rcode = flags2 & 0x0F;

    if (!tooMany) {
        reader.Seek(kDnsHeaderSize);
        for (std::uint32_t q = 0; q < questions; ++q)
            reader.Skip(SkipName(datagram, reader.Position()) + 4);
    }
    if (primary) {
        // A new probe: its round trip is this query's, and its code this reply's.
        block.sendTime = sentAt;
        block.receiveTime = now;
        block.sendNs = receivedNs != 0 ? sentNs : 0;
        block.receiveNs = receivedNs;
        block.primaryCode = rcode;
        block.followUpFailureCount = 0;
        if (AnswerState& answer = AnswerOf(item); answer.conditions.validated)
            answer.replyFlags = flags2;
        block.namesCursor = 0;
        block.answerRecords = block.authorityRecords = block.additionalRecords = block.externalRecords = 0;
        block.answerStart = 0;
        if (!tooMany) {
            const RecordStore store = StoreOf(block);
            bool stored = ParseRecords(store, reader, answers, block.answerRecords, 0) == ParseStatus::Ok;
            block.authorityStart = block.answerStart + block.answerRecords;
            stored = stored && ParseRecords(store, reader, authorities, block.authorityRecords,
                                            block.authorityStart) == ParseStatus::Ok;
            block.additionalStart = block.authorityStart + block.authorityRecords;
            stored = stored && ParseRecords(store, reader, additionals, block.additionalRecords,
                                            block.additionalStart) == ParseStatus::Ok;
            block.nextFree = block.additionalStart + block.additionalRecords;
            if (!stored) {
                block.namesCursor = 0;
                block.answerRecords = block.authorityRecords = block.additionalRecords = 0;
                tooMany = true;
            }
        }
        if (tooMany) {
            block.authorityStart = block.additionalStart = block.nextFree = 0;
            block.primaryCode = kCodeTooManyRecords;
            // Nothing stored to gather from; the previous answers stay.
            if (Outstanding(item) == 0) {
                ++block.replies;
                outcome.deliver = true;
                outcome.code = kCodeTooManyRecords;
            }
            return outcome;
        }
    } else if (!tooMany) {
        const std::uint32_t savedExternal = block.externalRecords;
        const std::uint32_t savedNames = block.namesCursor;
        const std::uint32_t savedNext = block.nextFree;
        const RecordStore store = StoreOf(block);
        for (const std::uint16_t batch : {answers, authorities, additionals}) {
            if (ParseRecords(store, reader, batch, block.externalRecords, block.nextFree) != ParseStatus::Ok) {
                tooMany = true;
                break;
            }
            block.nextFree = block.additionalStart + block.additionalRecords + block.externalRecords;
        }
        if (tooMany) {
            block.externalRecords = savedExternal;
            block.namesCursor = savedNames;
            block.nextFree = savedNext;
        }
    }
    // A follow-up's failure shows in the reply text; the probe's code stays its
    // primary reply's.
    if (!primary && (tooMany || rcode != 0))
        NoteFollowUpFailure(block, slot, tooMany ? kCodeTooManyFollowUpRecords : rcode);

    if (Outstanding(item) == 0)
        GatherAnswers(item, block, now, true);
    if (Outstanding(item) == 0) {
        ++block.replies;
        outcome.deliver = true;
        outcome.code = block.primaryCode;
    }
    return outcome;
}

} // namespace varnell
