#include "transport/item_transport.h"

#include <charconv>

#include "tls/tls_client.h"

namespace varnell {

namespace {

bool StartsWith(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

bool ReadDays(std::string_view text, std::uint32_t& days)
{
    if (text.empty()) {
        days = 0;
        return true;
    }
    std::uint32_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value > kMaxCertWarnDays)
        return false;
    days = value;
    return true;
}

// A host name of letters, digits, hyphens and dots (RFC 1123 2.1), at most 253.
bool IsHostName(std::string_view name)
{
    if (name.empty() || name.size() > 253 || name.front() == '.' || name.back() == '.')
        return false;
    for (char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.'))
            return false;
    return name.find("..") == std::string_view::npos;
}

// "https://HOST[:PORT]/PATH": the host and the port (443 when not given).
bool SplitHttpsUrl(std::string_view url, std::string_view& host, std::uint16_t& port)
{
    constexpr std::string_view kScheme = "https://";
    if (!StartsWith(url, kScheme) || url.size() > kMaxUrlLength)
        return false;
    for (char c : url)
        if (c <= ' ' || c >= 0x7F)
            return false;
    std::string_view rest = url.substr(kScheme.size());
    const auto slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    if (authority.find('@') != std::string_view::npos)
        return false; // no credentials in a probe's URL
    port = kHttpsPort;
    if (!authority.empty() && authority.front() == '[') {
        const auto close = authority.find(']');
        if (close == std::string_view::npos)
            return false;
        host = authority.substr(1, close - 1);
        authority.remove_prefix(close + 1);
        if (!authority.empty() && authority.front() != ':')
            return false;
    } else {
        const auto colon = authority.find(':');
        host = authority.substr(0, colon);
        authority = colon == std::string_view::npos ? std::string_view() : authority.substr(colon);
        if (!IsHostName(host))
            return false;
    }
    if (!authority.empty()) {
        std::uint32_t value = 0;
        const auto digits = authority.substr(1);
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || value == 0 || value > 65535)
            return false;
        port = static_cast<std::uint16_t>(value);
    }
    return !host.empty();
}

} // namespace

std::string CheckItemTransport(const ItemTransport& t)
{
    std::string_view host;
    std::uint16_t port = 0;
    if (t.transport == Transport::kHttps && !SplitHttpsUrl(t.url, host, port))
        return "url: an https URL such as https://dns.example/dns-query is needed for transport https";
    if (t.transport != Transport::kHttps && !t.url.empty())
        return "url: only transport https takes a URL";
    if (!t.tlsName.empty() && t.transport != Transport::kTls)
        return "tls_name: only transport tls takes a TLS name";
    if (!t.tlsName.empty() && !IsHostName(t.tlsName))
        return "tls_name: not a host name";
    const bool encrypted = t.transport == Transport::kTls || t.transport == Transport::kHttps;
    SpkiDigest digest{};
    if (!t.pin.empty() && !ParseSpkiPin(t.pin, digest))
        return "tls_pin: not of the form sha256/<base64 of 32 bytes>";
    if (!t.pin.empty() && !encrypted)
        return "tls_pin: only transports tls and https take a pin";
    if (t.certWarnDays > kMaxCertWarnDays)
        return "cert_warn_days: at most 3650";
    if (t.certWarnDays != 0 && !encrypted)
        return "cert_warn_days: only transports tls and https have a certificate";
    return {};
}

bool SetItemTransportField(ItemTransport& t, std::string_view column, std::string_view value, std::string& why)
{
    if (column == "transport") {
        if (!ParseTransport(value, t.transport)) {
            why = "transport: one of udp, tcp, tls, https";
            return false;
        }
    } else if (column == "tls_name") {
        t.tlsName = value;
    } else if (column == "url") {
        t.url = value;
    } else if (column == "tls_pin") {
        t.pin = value;
    } else if (column == "cert_warn_days") {
        if (!ReadDays(value, t.certWarnDays)) {
            why = "cert_warn_days: a whole number of days up to 3650";
            return false;
        }
    } else {
        return false;
    }
    return true;
}

std::vector<std::string> ItemTransportTexts(const ItemTransport& t)
{
    std::vector<std::string> texts;
    if (t.transport != Transport::kUdp)
        texts.push_back(std::string(kTransportPrefix) + std::string(TransportName(t.transport)));
    if (!t.tlsName.empty())
        texts.push_back(std::string(kTlsNamePrefix) + t.tlsName);
    if (!t.url.empty())
        texts.push_back(std::string(kUrlPrefix) + t.url);
    if (!t.pin.empty())
        texts.push_back(std::string(kTlsPinPrefix) + t.pin);
    if (t.certWarnDays != 0)
        texts.push_back(std::string(kCertWarnPrefix) + std::to_string(t.certWarnDays));
    return texts;
}

void ReadItemTransportText(ItemTransport& t, std::string_view text)
{
    if (StartsWith(text, kTransportPrefix))
        ParseTransport(text.substr(kTransportPrefix.size()), t.transport);
    else if (StartsWith(text, kTlsNamePrefix))
        t.tlsName = text.substr(kTlsNamePrefix.size());
    else if (StartsWith(text, kUrlPrefix))
        t.url = text.substr(kUrlPrefix.size());
    else if (StartsWith(text, kTlsPinPrefix))
        t.pin = text.substr(kTlsPinPrefix.size());
    else if (StartsWith(text, kCertWarnPrefix))
        ReadDays(text.substr(kCertWarnPrefix.size()), t.certWarnDays);
}

std::uint16_t TransportPort(const ItemTransport& t, std::uint16_t itemPort)
{
    switch (t.transport) {
    case Transport::kTls:
        return itemPort != 53 ? itemPort : kDotPort;
    case Transport::kHttps: {
        std::string_view host;
        std::uint16_t port = kHttpsPort;
        return SplitHttpsUrl(t.url, host, port) ? port : kHttpsPort;
    }
    default:
        return itemPort;
    }
}

} // namespace varnell
