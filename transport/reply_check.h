// What the transports check of a reply before the engine reads it: that it is
// the answer to the query that went out (identifier, reply flag, the one
// question), and for DNS over HTTPS (RFC 8484 4.2.1, 6) that the server said
// 200 and application/dns-message.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace varnell {

// True when reply carries query's identifier, the QR bit and exactly the
// query's question (names compared without letter case: RFC 4343).
bool IsAnswerTo(std::span<const std::uint8_t> query, std::span<const std::uint8_t> reply);

// True for "application/dns-message", in any letter case, with or without
// parameters after a ';'.
bool IsDnsMessageType(std::string_view contentType);

// 0 when an HTTP response is a usable answer to query; else the result code
// (kResultHttpStatus, kResultContentType, kResultNotTheAnswer) with failure
// saying what came instead.
int CheckHttpsReply(long status, std::string_view contentType, std::span<const std::uint8_t> body,
                    std::span<const std::uint8_t> query, std::string& failure);

} // namespace varnell
