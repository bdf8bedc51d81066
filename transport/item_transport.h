// An item's transport settings as the operator gives them (item dialog, CSV
// columns, varnellctl add) and as they are stored: extra texts of the item,
// one per setting that differs from its default ("transport=tls",
// "tls_name=dns.example", "url=https://dns.example/dns-query",
// "tls_pin=sha256/...", "cert_warn=14"). An item over UDP with nothing else set
// keeps no text, so a store without them saves byte for byte as before.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "transport/transport.h"

namespace varnell {

inline constexpr std::string_view kTransportPrefix = "transport=";
inline constexpr std::string_view kTlsNamePrefix = "tls_name=";
inline constexpr std::string_view kUrlPrefix = "url=";
inline constexpr std::string_view kTlsPinPrefix = "tls_pin=";
inline constexpr std::string_view kCertWarnPrefix = "cert_warn=";
inline constexpr std::uint32_t kMaxCertWarnDays = 3650;
inline constexpr std::size_t kMaxUrlLength = 240; // an extra text holds 255 bytes

struct ItemTransport {
    Transport transport = Transport::kUdp;
    std::string tlsName;  // TLS: the name the certificate must carry; empty = the server address
    std::string url;      // HTTPS: required
    std::string pin;      // empty or "sha256/<base64>"
    std::uint32_t certWarnDays = 0; // 0 = no warning

    bool operator==(const ItemTransport&) const = default;
};

// Empty when the settings can be used; else what is wrong, naming the field
// as the CSV column does ("url: an https URL is needed for transport https").
std::string CheckItemTransport(const ItemTransport& t);

// Takes one setting by its column name ("transport", "tls_name", "url",
// "tls_pin", "cert_warn_days"). false: not one of them, or a value that
// cannot be read (why says which).
bool SetItemTransportField(ItemTransport& t, std::string_view column, std::string_view value, std::string& why);

// The extra texts that store t (only those that differ from the default), and
// back. Reading skips texts of other prefixes and values that cannot be read.
std::vector<std::string> ItemTransportTexts(const ItemTransport& t);
void ReadItemTransportText(ItemTransport& t, std::string_view text);

// The port an item's server is reached on, given the port of its record
// (itemPort, 53 unless a test or a tool set another): UDP and TCP that one,
// TLS 853 unless the record gives another than 53, HTTPS the URL's (443
// unless the URL gives one).
std::uint16_t TransportPort(const ItemTransport& t, std::uint16_t itemPort);

} // namespace varnell
