#include "items/reply_detail.h"

#include "items/transport_state.h"
#include "items/result_eval.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <span>
#include <string_view>

#include "base/net/address_text.h"
#include "dns/dns_wire.h"
#include "dns/record_text.h"
#include "items/address6.h"

namespace varnell {

namespace {

std::uint16_t FromBE16(std::uint16_t v) { return static_cast<std::uint16_t>((v >> 8) | (v << 8)); }
std::uint32_t FromBE32(std::uint32_t v)
{
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

// The zero-terminated text at offset of the names area. An offset outside the
// area gives "", and a text that runs to the end of the area without its zero is
// cut there rather than read past it.
std::string_view NameAt(const ItemBlock& block, std::uint32_t offset)
{
    if (offset >= kNamesArea)
        return {};
    const char* start = block.names + offset;
    const std::size_t room = kNamesArea - offset;
    const void* end = std::memchr(start, 0, room);
    const std::size_t length = end ? static_cast<std::size_t>(static_cast<const char*>(end) - start) : room;
    return {start, length};
}

// The four data bytes of an A record, as received. Bytes the record does not
// have (a short data length, or the end of the area) show as 0.
std::string RecordAddress(const ItemBlock& block, const ReplyRecord& record)
{
    std::uint8_t octets[4] = {};
    const std::uint32_t have = FromBE16(record.dataLengthBE);
    for (std::uint32_t i = 0; i < 4 && i < have; ++i) {
        if (record.data >= kNamesArea || i >= kNamesArea - record.data)
            break;
        octets[i] = static_cast<std::uint8_t>(block.names[record.data + i]);
    }
    std::uint32_t addressBE = 0;
    std::memcpy(&addressBE, octets, sizeof addressBE);
    return DottedAddress(addressBE);
}

// An AAAA record's 16 bytes as IPv6 text; data of another length shows as much
// of it as there is, zero-filled, as the IPv4 line does.
std::string RecordAddress6(const ItemBlock& block, const ReplyRecord& record)
{
    Address6 address{};
    const std::uint32_t have = FromBE16(record.dataLengthBE);
    for (std::uint32_t i = 0; i < sizeof address.bytes && i < have; ++i) {
        if (record.data >= kNamesArea || i >= kNamesArea - record.data)
            break;
        address.bytes[i] = static_cast<std::uint8_t>(block.names[record.data + i]);
    }
    return Address6Text(address);
}

// The stored data of a record read for its content; cut to the names area.
std::span<const std::uint8_t> ContentData(const ItemBlock& block, const ReplyRecord& record)
{
    if (record.data >= kNamesArea)
        return {};
    const std::uint32_t length = std::min<std::uint32_t>(FromBE16(record.dataLengthBE), kNamesArea - record.data);
    return {reinterpret_cast<const std::uint8_t*>(block.names) + record.data, length};
}

template <typename... Args>
std::string Format(const char* format, Args... args)
{
    char text[128];
    const int n = std::snprintf(text, sizeof text, format, args...);
    return n < 0 ? std::string() : std::string(text, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof text - 1));
}

class RunBuilder {
public:
    void Add(DetailColour colour, std::string text)
    {
        if (text.empty())
            return;
        if (!runs_.empty() && runs_.back().colour == colour)
            runs_.back().text += text;
        else
            runs_.push_back(DetailRun{colour, std::move(text)});
    }
    void Add(DetailColour colour, std::string_view a, std::string_view b, std::string_view c = {})
    {
        std::string text;
        text.reserve(a.size() + b.size() + c.size());
        text.append(a).append(b).append(c);
        Add(colour, std::move(text));
    }
    std::vector<DetailRun> Take() { return std::move(runs_); }

private:
    std::vector<DetailRun> runs_;
};

void AddSection(RunBuilder& out, const ItemBlock& block, const char* title, std::uint32_t start, std::uint32_t count)
{
    // Counts and starts come from the parser; keep them inside the record area
    // whatever they say.
    if (start > kReplyRecords)
        start = kReplyRecords;
    if (count > kReplyRecords - start)
        count = kReplyRecords - start;

    out.Add(DetailColour::Black, Format("\r\n%d %s:", static_cast<int>(count), title) + "\r\n");
    for (std::uint32_t i = 0; i < count; ++i) {
        const ReplyRecord& record = block.records[start + i];
        out.Add(DetailColour::Blue, Format("  %s %d: \r\n", title, static_cast<int>(i + 1)));
        out.Add(DetailColour::Grey, Format("     %s name : ", title), NameAt(block, record.owner));
        out.Add(DetailColour::Green,
                Format("     %s TTL : %d\r\n", title, static_cast<int>(FromBE32(record.ttlBE))));
        const std::string_view data = NameAt(block, record.data);
        switch (FromBE16(record.typeBE)) {
        case kTypeA:
            out.Add(DetailColour::Red, "     IPv4 address :  ", RecordAddress(block, record), "\r\n");
            break;
        case kTypeAaaa:
            out.Add(DetailColour::Red, "     IPv6 address :  ", RecordAddress6(block, record), "\r\n");
            break;
        case kTypeCname:
            out.Add(DetailColour::Red, "     alias name : ", data, "\r\n");
            break;
        case kTypeMx:
            out.Add(DetailColour::Red, Format("     MX preference %d, MX name : ", static_cast<int>(record.preference)),
                    data, "\r\n");
            break;
        case kTypePtr:
            out.Add(DetailColour::Red, "     PTR name : ", data, "\r\n");
            break;
        case kTypeNs:
            out.Add(DetailColour::Red, "     authoritative nameserver : ", data, "\r\n");
            break;
        case kTypeSoa:
            out.Add(DetailColour::Red, "     SOA name : ", data, "\r\n");
            break;
        default:
            if (HasContentData(FromBE16(record.typeBE)))
                out.Add(DetailColour::Red, RecordDetailLine(FromBE16(record.typeBE), ContentData(block, record)));
            break;
        }
    }
}

} // namespace

std::uint32_t DetailRgb(DetailColour colour)
{
    switch (colour) {
    case DetailColour::Black: return 0x000000u;
    case DetailColour::Red: return 0xFF0000u;
    case DetailColour::Blue: return 0x0000FFu;
    case DetailColour::Grey: return 0x808080u;
    case DetailColour::Green: return 0x008000u;
    }
    return 0x000000u;
}

std::vector<DetailRun> BuildReplyDetail(const ItemBlock& block, bool overTcp, bool ipv6)
{
    return BuildReplyDetail(block, overTcp, ipv6, overTcp ? Transport::kTcp : Transport::kUdp);
}

std::vector<DetailRun> BuildReplyDetail(const ItemBlock& block, bool overTcp, bool ipv6, Transport via)
{
    RunBuilder out;
    out.Add(DetailColour::Black, block.domain + "\r\n");

    const std::uint32_t room = ipv6 ? kReplyRecords : kAnswerAddresses;
    const std::uint32_t answers = block.answerCount < room ? block.answerCount : room;
    // An answer that came truncated over UDP and whole over TCP says so.
    // The transport an encrypted item's answers came over is named the same way.
    const char* format = via == Transport::kTls     ? "%d (TLS) Address:"
                         : via == Transport::kHttps ? "%d (HTTPS) Address:"
                         : overTcp || via == Transport::kTcp ? "%d (TCP) Address:"
                                                             : "%d Address:";
    out.Add(DetailColour::Red, Format(format, static_cast<int>(block.answerCount)));
    for (std::uint32_t i = 0; i < answers; ++i) {
        out.Add(DetailColour::Red, ipv6 ? Address6Text(block.answers6[i]) : DottedAddress(block.answers[i].addrBE));
        out.Add(DetailColour::Blue, "; ");
    }
    out.Add(DetailColour::Red, "\r\n");

    AddSection(out, block, "Answers", block.answerStart, block.answerRecords);
    AddSection(out, block, "Authoritative", block.authorityStart, block.authorityRecords);
    AddSection(out, block, "Additional", block.additionalStart, block.additionalRecords);
    // The external records (all records of follow-up replies) follow the
    // additional ones.
    const std::uint64_t externalStart = std::uint64_t{block.additionalStart} + block.additionalRecords;
    AddSection(out, block, "External",
               externalStart > kReplyRecords ? kReplyRecords : static_cast<std::uint32_t>(externalStart),
               block.externalRecords);
    // Follow-up queries that failed do not change the probe's result, so the
    // text is where they show.
    if (block.followUpFailureCount != 0) {
        out.Add(DetailColour::Black,
                Format("\r\n%d Follow-up failed:", static_cast<int>(block.followUpFailureCount)) + "\r\n");
        const std::uint32_t listed = std::min(block.followUpFailureCount, kFollowUpFailures);
        for (std::uint32_t i = 0; i < listed; ++i) {
            const FollowUpFailure& failure = block.followUpFailures[i];
            const char* text = ResultCodeText(failure.code);
            out.Add(DetailColour::Grey, "  ", NameAt(block, failure.name), " : ");
            out.Add(DetailColour::Red, text != nullptr ? text : "", "\r\n");
        }
    }
    return out.Take();
}

std::vector<DetailRun> ReplyDetailOf(const DnsItem& item)
{
    std::lock_guard lock(EngineLock());
    const TransportState& transport = TransportOf(item);
    if (transport.settings.transport == Transport::kUdp)
        return BuildReplyDetail(BlockOf(item), AnsweredOverTcp(SlotOf(item)), IsAaaaItem(item));
    std::vector<DetailRun> runs = BuildReplyDetail(BlockOf(item), false, IsAaaaItem(item), transport.settings.transport);
    if (transport.lastCode >= 0)
        runs.push_back({DetailColour::Red, "\r\n" + std::string(ResultCodeText(transport.lastCode)) + ": " +
                                               transport.failure + "\r\n"});
    return runs;
}

namespace {

std::array<std::atomic<std::uint8_t>, kItemSlots>& AnswerTransports()
{
    static auto* transports = new std::array<std::atomic<std::uint8_t>, kItemSlots>();
    return *transports;
}

} // namespace

void NoteAnswerTransport(std::uint32_t itemSlot, bool primary, bool viaTcp)
{
    if (itemSlot >= kItemSlots)
        return;
    if (primary)
        AnswerTransports()[itemSlot].store(viaTcp ? 1 : 0);
    else if (viaTcp)
        AnswerTransports()[itemSlot].store(1);
}

bool AnsweredOverTcp(std::uint32_t itemSlot)
{
    return itemSlot < kItemSlots && AnswerTransports()[itemSlot].load() != 0;
}

void ResetAnswerTransports()
{
    for (auto& t : AnswerTransports())
        t.store(0);
}

std::string DetailPlainText(const std::vector<DetailRun>& runs)
{
    std::string text;
    for (const DetailRun& run : runs)
        text += run.text;
    return text;
}

} // namespace varnell
