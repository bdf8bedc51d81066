// The EDNS(0) OPT pseudo-record on the wire (RFC 6891 6.1.2 layout, 6.1.3
// extended RCODE, 6.2.5 payload size): appended to a query, cut off again for a
// plain retry, and read from a reply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace varnell {

// Root owner, TYPE, CLASS (the payload size), TTL (extended RCODE, version, DO),
// RDLENGTH: 11 bytes.
inline constexpr std::size_t kOptRecordSize = 11;
inline constexpr std::uint16_t kTypeOpt = 41;
// Below this RFC 6891 6.2.5 says "MUST be treated as equal to 512".
inline constexpr std::uint32_t kMinEdnsSize = 512;
// Largest query the engine builds: header, the longest name, QTYPE/QCLASS, OPT.
inline constexpr std::size_t kMaxQueryBytes = 12 + 255 + 4 + kOptRecordSize;

// Appends an OPT record advertising payloadSize (version 0, DO clear, no
// options) to the query in message[0, length), as its only additional record.
// Returns the new length, or 0 when message has no room for it or length is
// no whole header; nothing is written then.
std::size_t AppendOptRecord(std::span<std::uint8_t> message, std::size_t length, std::uint16_t payloadSize);

// The query in message without the OPT record AppendOptRecord put last: its
// length, and ARCOUNT cleared; 0 when message is too short to hold one.
std::size_t StripOptRecord(std::span<std::uint8_t> message);

// What a reply's OPT record says (RFC 6891 6.1.3): that the server speaks
// EDNS, and the upper eight bits of the 12-bit RCODE.
struct ReplyOpt {
    bool present = false;
    std::uint8_t extendedRcode = 0;
};

// The first OPT record of the additional section; none when the reply cannot
// be walked that far.
ReplyOpt ReadReplyOpt(std::span<const std::uint8_t> reply);

} // namespace varnell
