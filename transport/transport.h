// What an item's query travels over, and what comes back from the transports
// other than UDP: the question handed to the transport thread and its answer,
// a whole DNS message or a named failure.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dns/peer_address.h"

namespace varnell {

// Stored as the item's "transport=" text by name; the numbers are not stored.
enum class Transport : std::uint8_t { kUdp = 0, kTcp = 1, kTls = 2, kHttps = 3 };

inline constexpr std::uint16_t kDotPort = 853;  // RFC 7858 3.1
inline constexpr std::uint16_t kHttpsPort = 443;

// "udp", "tcp", "tls", "https".
std::string_view TransportName(Transport transport);
// The name as the CSV column and varnellctl take it: empty means UDP; letter
// case does not matter. False for any other text.
bool ParseTransport(std::string_view text, Transport& transport);

// Result codes of the transports, beside the reply's RCODE and the engine's
// own (16 to 20). Each says which part of the road failed; the failure text
// that comes with it gives the detail (OpenSSL's reason, the HTTP status, the
// certificate's date).
// A query that went out on an open connection and had no reply in time ends
// as an unanswered datagram does, with the engine's "Request timeout".
inline constexpr int kTransportReplyTimeout = 16;

enum TransportResultCode : int {
    kResultConnectRefused = 28,
    kResultTlsHandshakeFailed = 29,
    kResultCertificateExpired = 30,
    kResultCertificateNameMismatch = 31,
    kResultCertificateUntrusted = 32,
    kResultPinMismatch = 33,
    kResultHttpStatus = 34,
    kResultContentType = 35,
    kResultNotTheAnswer = 36,
    kResultConnectTimeout = 37,
    kResultCertificateExpiresSoon = 38,
    kResultConnectionFailed = 39,
};
inline constexpr int kFirstTransportResult = kResultConnectRefused;
inline constexpr int kLastTransportResult = kResultConnectionFailed;
// "Error code 30: Certificate expired"; empty for a code outside 28 to 39.
std::string_view TransportResultText(int code);

// One question for the transport thread. The message is a whole DNS query;
// its identifier is what the reply is matched by on a pipelined connection.
struct TransportQuery {
    std::uint64_t token = 0;  // the caller's, handed back with the answer
    Transport transport = Transport::kTls;
    PeerAddress server{};     // where the connection goes, port included
    std::string tlsName;      // TLS: the name the certificate must carry (empty: the address)
    std::string url;          // HTTPS: the URL, whose host the certificate must carry
    std::string pin;          // empty, or "sha256/<base64>"
    std::string caFile;       // empty: the system's trust store
    std::uint32_t certWarnDays = 0; // 0: no warning before the certificate's end
    std::uint32_t timeoutMs = 0;    // from hand-over to answer
    std::vector<std::uint8_t> message;
};

struct TransportAnswer {
    std::uint64_t token = 0;
    int code = 0;              // 0: reply holds the answer; else a code above or 16 (time-out)
    std::string failure;       // the detail of a failure, for the operator
    std::vector<std::uint8_t> reply;
    std::uint32_t roundTripMs = 0;      // from sending on an open connection to the reply
    std::int64_t handshakeUs = -1;      // the connection's TLS handshake, when this query opened it
    std::int64_t certNotAfter = 0;      // the server certificate's end (seconds since 1970), 0 unknown
};

// The server's address as text ("127.0.0.1", "::1"), and the failure text of
// a connection it refused or that could not reach it (errno e).
std::string PeerAddressText(const PeerAddress& server);
std::string ConnectFailureText(const PeerAddress& server, int e);

// The certificate warning: a reply that came over a certificate ending fewer
// than warnDays days after now (seconds since 1970) fails with
// kResultCertificateExpiresSoon and the date; the reply itself is kept.
// Returns whether it did.
bool ApplyCertificateWarning(TransportAnswer& answer, std::uint32_t warnDays, std::int64_t now);

} // namespace varnell
