#include "transport/transport.h"

#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace varnell {

namespace {

constexpr std::array<std::string_view, 4> kNames = {"udp", "tcp", "tls", "https"};

// In code order, from kFirstTransportResult.
constexpr std::array<std::string_view, kLastTransportResult - kFirstTransportResult + 1> kTexts = {
    "Error code 28: Connection refused",
    "Error code 29: TLS handshake failed",
    "Error code 30: Certificate expired",
    "Error code 31: Certificate name mismatch",
    "Error code 32: Certificate not trusted",
    "Error code 33: Certificate pin mismatch",
    "Error code 34: HTTP status not 200",
    "Error code 35: Wrong content type",
    "Error code 36: Reply is not the answer to the query",
    "Error code 37: Connection timeout",
    "Error code 38: Certificate expires soon",
    "Error code 39: Connection failed",
};

} // namespace

std::string_view TransportName(Transport transport) { return kNames[static_cast<std::size_t>(transport)]; }

bool ParseTransport(std::string_view text, Transport& transport)
{
    if (text.empty()) {
        transport = Transport::kUdp;
        return true;
    }
    for (std::size_t i = 0; i < kNames.size(); ++i) {
        const std::string_view name = kNames[i];
        if (name.size() != text.size())
            continue;
        bool same = true;
        for (std::size_t k = 0; k < name.size() && same; ++k)
            same = (text[k] | 0x20) == name[k];
        if (same) {
            transport = static_cast<Transport>(i);
            return true;
        }
    }
    return false;
}

std::string_view TransportResultText(int code)
{
    if (code < kFirstTransportResult || code > kLastTransportResult)
        return {};
    return kTexts[static_cast<std::size_t>(code - kFirstTransportResult)];
}

std::string PeerAddressText(const PeerAddress& server)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (server.Family() == AF_INET6)
        inet_ntop(AF_INET6, &server.v6.sin6_addr, text, sizeof text);
    else
        inet_ntop(AF_INET, &server.v4.sin_addr, text, sizeof text);
    return text;
}

std::string ConnectFailureText(const PeerAddress& server, int e)
{
    const std::string where = "the server " + PeerAddressText(server) + " port " + std::to_string(ntohs(server.PortBE()));
    return e == ECONNREFUSED ? where + " refused the connection" : where + " cannot be reached: " + std::strerror(e);
}

bool ApplyCertificateWarning(TransportAnswer& answer, std::uint32_t warnDays, std::int64_t now)
{
    if (answer.code != 0 || warnDays == 0 || answer.certNotAfter == 0)
        return false;
    const std::int64_t left = answer.certNotAfter - now;
    if (left >= static_cast<std::int64_t>(warnDays) * 86400)
        return false;
    const std::time_t end = static_cast<std::time_t>(answer.certNotAfter);
    std::tm tm{};
    gmtime_r(&end, &tm);
    char date[64] = {};
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S UTC", &tm);
    answer.code = kResultCertificateExpiresSoon;
    answer.failure = std::string("the server's certificate expires on ") + date + ", in fewer than " +
                     std::to_string(warnDays) + " days";
    return true;
}

} // namespace varnell
