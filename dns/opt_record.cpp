#include "dns/opt_record.h"

#include <cstring>

#include "base/byte_reader.h"
#include "dns/dns_name.h"
#include "dns/dns_wire.h"

namespace varnell {

namespace {

constexpr std::size_t kArcountAt = 10;

void PutU16BE(std::uint8_t* p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

} // namespace

std::size_t AppendOptRecord(std::span<std::uint8_t> message, std::size_t length, std::uint16_t payloadSize)
{
    if (length > message.size() || message.size() - length < kOptRecordSize || length < kDnsHeaderSize)
        return 0;
    std::uint8_t* opt = message.data() + length;
    opt[0] = 0; // root owner
    PutU16BE(opt + 1, kTypeOpt);
    PutU16BE(opt + 3, payloadSize);
    std::memset(opt + 5, 0, 6); // extended RCODE 0, version 0, DO clear, no options
    PutU16BE(message.data() + kArcountAt, 1);
    return length + kOptRecordSize;
}

std::size_t StripOptRecord(std::span<std::uint8_t> message)
{
    if (message.size() < kDnsHeaderSize + kOptRecordSize)
        return 0;
    PutU16BE(message.data() + kArcountAt, 0);
    return message.size() - kOptRecordSize;
}

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

} // namespace varnell
