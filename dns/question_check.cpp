// Question matching (RFC 1035 4.1.2; RFC 4343 2: ASCII case-insensitive
// comparison of labels).
#include "dns/question_check.h"

#include "base/byte_reader.h"
#include "dns/dns_name.h"
#include "dns/dns_wire.h"

namespace varnell {

namespace {

constexpr std::size_t kQuestionTail = 4; // QTYPE and QCLASS

std::uint8_t Lower(std::uint8_t c) { return c >= 'A' && c <= 'Z' ? static_cast<std::uint8_t>(c | 0x20u) : c; }

} // namespace

QuestionMatch MatchQuestion(std::span<const std::uint8_t> query, std::span<const std::uint8_t> reply)
{
    const std::size_t nameLength = SkipName(query, kDnsHeaderSize);
    if (nameLength == 0 || query.size() - kDnsHeaderSize - nameLength < kQuestionTail)
        return QuestionMatch::Different;
    const std::size_t length = nameLength + kQuestionTail;
    ByteReader header(reply);
    std::uint16_t questions = 0;
    if (reply.size() < kDnsHeaderSize || reply.size() - kDnsHeaderSize < length || !header.Skip(4) ||
        !header.ReadU16BE(questions) || questions != 1)
        return QuestionMatch::Different;
    const auto asked = query.subspan(kDnsHeaderSize, length);
    const auto echoed = reply.subspan(kDnsHeaderSize, length);
    bool caseDiffers = false;
    for (std::size_t i = 0; i < length; ++i) {
        if (asked[i] == echoed[i])
            continue;
        // Length bytes are below 64 and so never letters: only letters fold.
        if (Lower(asked[i]) != Lower(echoed[i]))
            return QuestionMatch::Different;
        caseDiffers = true;
    }
    return caseDiffers ? QuestionMatch::CaseDiffers : QuestionMatch::Same;
}

} // namespace varnell
