// Reply checks of the transports: RFC 5452 9.1, RFC 4343, RFC 8484.
#include "transport/reply_check.h"

#include "base/byte_reader.h"
#include "transport/transport.h"

namespace varnell {

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The question of an uncompressed message at offset 12: its bytes, name and
// type and class. Empty when it cannot be read or is not alone.
std::span<const std::uint8_t> Question(std::span<const std::uint8_t> message)
{
    ByteReader r(message);
    std::uint16_t qdcount = 0;
    if (!r.Seek(4) || !r.ReadU16BE(qdcount) || qdcount != 1 || !r.Seek(12))
        return {};
    // A name of labels ending in the root; a pointer cannot occur, since
    // nothing comes before the question to point to.
    for (;;) {
        std::uint8_t length = 0;
        if (!r.ReadU8(length) || length > 63)
            return {};
        if (length == 0)
            break;
        if (!r.Skip(length))
            return {};
    }
    if (!r.Skip(4))
        return {};
    return message.subspan(12, r.Position() - 12);
}

} // namespace

bool IsAnswerTo(std::span<const std::uint8_t> query, std::span<const std::uint8_t> reply)
{
    if (query.size() < 12 || reply.size() < 12)
        return false;
    if (query[0] != reply[0] || query[1] != reply[1] || (reply[2] & 0x80) == 0)
        return false;
    const auto asked = Question(query);
    const auto answered = Question(reply);
    if (asked.empty() || asked.size() != answered.size())
        return false;
    for (std::size_t i = 0; i < asked.size(); ++i)
        if (Lower(static_cast<char>(asked[i])) != Lower(static_cast<char>(answered[i])))
            return false;
    return true;
}

bool IsDnsMessageType(std::string_view contentType)
{
    constexpr std::string_view kType = "application/dns-message";
    const auto semicolon = contentType.find(';');
    std::string_view type = contentType.substr(0, semicolon);
    while (!type.empty() && (type.back() == ' ' || type.back() == '\t'))
        type.remove_suffix(1);
    while (!type.empty() && (type.front() == ' ' || type.front() == '\t'))
        type.remove_prefix(1);
    if (type.size() != kType.size())
        return false;
    for (std::size_t i = 0; i < type.size(); ++i)
        if (Lower(type[i]) != kType[i])
            return false;
    return true;
}

int CheckHttpsReply(long status, std::string_view contentType, std::span<const std::uint8_t> body,
                    std::span<const std::uint8_t> query, std::string& failure)
{
    if (status != 200) {
        failure = "the HTTPS server answered with status " + std::to_string(status);
        return kResultHttpStatus;
    }
    if (!IsDnsMessageType(contentType)) {
        // The server's words are untrusted: only printable ASCII of a bounded length is shown.
        std::string shown;
        for (char c : contentType.substr(0, 80))
            shown += c >= 0x20 && c < 0x7F ? c : '?';
        failure = contentType.empty() ? "the HTTPS server sent no content type"
                                      : "the HTTPS server sent content of type " + shown;
        return kResultContentType;
    }
    if (!IsAnswerTo(query, body)) {
        failure = "the HTTPS server sent " + std::to_string(body.size()) + " bytes that do not answer the query";
        return kResultNotTheAnswer;
    }
    return 0;
}

} // namespace varnell
