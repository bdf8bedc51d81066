// Record data and its presentation (RFC 1035 3.3.14 and 5.1, RFC 2782, RFC 3597,
// RFC 4034 2-5 and appendix B, RFC 8659 4.1, RFC 9460 2.1 and 7).
#include "dns/record_text.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/byte_reader.h"
#include "dns/dns_name.h"
#include "dns/dns_wire.h"

namespace varnell {

namespace {

constexpr std::size_t kPieceWidth = 56;

// Appends one byte of a character-string or label: printable ASCII as it is,
// the characters in `special` behind a backslash, anything else as \DDD.
void AppendEscaped(std::string& out, std::uint8_t c, std::string_view special)
{
    if (c < 0x20 || c >= 0x7F) {
        char code[8];
        std::snprintf(code, sizeof code, "\\%03u", static_cast<unsigned>(c));
        out += code;
        return;
    }
    if (special.find(static_cast<char>(c)) != std::string_view::npos)
        out += '\\';
    out += static_cast<char>(c);
}

void AppendQuoted(std::string& out, std::span<const std::uint8_t> bytes)
{
    out += '"';
    for (const std::uint8_t c : bytes)
        AppendEscaped(out, c, "\"\\");
    out += '"';
}

void AppendPieces(std::string& out, const std::string& text, bool pieces)
{
    for (std::size_t i = 0; i < text.size(); i += kPieceWidth) {
        if (i != 0 && pieces)
            out += ' ';
        out += text.substr(i, kPieceWidth);
    }
}

std::string Base64(std::span<const std::uint8_t> bytes)
{
    static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
        std::uint32_t v = std::uint32_t{bytes[i]} << 16;
        if (n > 1)
            v |= std::uint32_t{bytes[i + 1]} << 8;
        if (n > 2)
            v |= bytes[i + 2];
        out += kDigits[(v >> 18) & 63];
        out += kDigits[(v >> 12) & 63];
        out += n > 1 ? kDigits[(v >> 6) & 63] : '=';
        out += n > 2 ? kDigits[v & 63] : '=';
    }
    return out;
}

std::string Hex(std::span<const std::uint8_t> bytes)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const std::uint8_t b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

std::string TypeMnemonic(std::uint16_t type)
{
    switch (type) {
    case kTypeA: return "A";
    case kTypeNs: return "NS";
    case kTypeCname: return "CNAME";
    case kTypeSoa: return "SOA";
    case kTypePtr: return "PTR";
    case kTypeMx: return "MX";
    case kTypeTxt: return "TXT";
    case kTypeAaaa: return "AAAA";
    case kTypeSrv: return "SRV";
    case kTypeDs: return "DS";
    case kTypeRrsig: return "RRSIG";
    case 47: return "NSEC";
    case kTypeDnskey: return "DNSKEY";
    case 50: return "NSEC3";
    case 51: return "NSEC3PARAM";
    case 64: return "SVCB";
    case kTypeHttps: return "HTTPS";
    case kTypeCaa: return "CAA";
    default: return "TYPE" + std::to_string(type);
    }
}

std::string TimeText(std::int64_t seconds) { return UtcTimeText(seconds, "%Y%m%d%H%M%S"); }

// RFC 1982 serial arithmetic: the 32-bit time closest to now.
std::int64_t NearestTime(std::uint32_t serial, std::int64_t now)
{
    const std::int64_t base = now - (now & 0xFFFFFFFFll);
    std::int64_t best = base + serial;
    for (const std::int64_t candidate : {best - 0x100000000ll, best + 0x100000000ll}) {
        if ((candidate > now ? candidate - now : now - candidate) < (best > now ? best - now : now - best))
            best = candidate;
    }
    return best;
}

// One character-string (RFC 1035 3.3): a length byte and that many bytes.
bool ReadCharacterString(ByteReader& reader, std::span<const std::uint8_t>& out)
{
    std::uint8_t length = 0;
    if (!reader.ReadU8(length) || length > reader.Remaining())
        return false;
    out = reader.Bytes().subspan(reader.Position(), length);
    return reader.Skip(length);
}

// Copies an expanded name from message[at] into out at pos; the message may use pointers.
bool CopyName(std::span<const std::uint8_t> message, std::size_t at, std::size_t& consumed,
              std::span<std::uint8_t> out, std::size_t& pos)
{
    char text[kMaxNameText];
    const DecodedName name = DecodeName(message, at, text);
    if (name.status != NameStatus::Ok)
        return false;
    consumed = name.consumed;
    // The decoded labels are put back into label form; a label holding a "." cannot
    // be told apart from two, so the wire labels are copied instead.
    ByteReader reader(message);
    std::size_t p = at;
    int hops = 0;
    for (;;) {
        std::uint8_t len = 0;
        if (!reader.PeekU8(p, len))
            return false;
        if ((len & 0xC0) == 0xC0) {
            std::uint8_t low = 0;
            if (!reader.PeekU8(p + 1, low) || ++hops > 128)
                return false;
            p = (static_cast<std::size_t>(len & 0x3F) << 8) | low;
            continue;
        }
        if (out.size() - pos < std::size_t{len} + 1)
            return false;
        out[pos++] = len;
        if (len == 0)
            return true;
        if (!reader.Seek(p + 1) || !reader.ReadBytes(out.data() + pos, len))
            return false;
        pos += len;
        p += std::size_t{len} + 1;
    }
}

void AppendSvcParams(std::string& out, ByteReader& reader)
{
    while (reader.Remaining() > 0) {
        std::uint16_t key = 0, length = 0;
        reader.ReadU16BE(key);
        reader.ReadU16BE(length);
        const auto value = reader.Bytes().subspan(reader.Position(), length);
        reader.Skip(length);
        out += ' ';
        static constexpr const char* kKeys[] = {"mandatory", "alpn", "no-default-alpn", "port",
                                                "ipv4hint",  "ech",  "ipv6hint",        "dohpath"};
        const std::string name = key < 8 ? kKeys[key] : "key" + std::to_string(key);
        out += name;
        if (length == 0)
            continue;
        out += '=';
        ByteReader v(value);
        switch (key) {
        case 0: // mandatory: key names
            for (std::uint16_t k = 0; v.ReadU16BE(k);) {
                out += k < 8 ? kKeys[k] : "key" + std::to_string(k);
                if (v.Remaining() != 0)
                    out += ',';
            }
            break;
        case 1: { // alpn: comma-separated ids, a comma inside one escaped
            out += '"';
            std::span<const std::uint8_t> id;
            while (ReadCharacterString(v, id)) {
                // A comma or backslash inside an id is escaped for the list, and
                // that backslash again for the quoted string.
                for (const std::uint8_t c : id) {
                    if (c == ',')
                        out += "\\\\,";
                    else if (c == '\\')
                        out += "\\\\\\\\";
                    else
                        AppendEscaped(out, c, "\"");
                }
                if (v.Remaining() != 0)
                    out += ',';
            }
            out += '"';
            break;
        }
        case 3: {
            std::uint16_t port = 0;
            v.ReadU16BE(port);
            out += std::to_string(port);
            break;
        }
        case 4:
        case 6: {
            const std::size_t size = key == 4 ? 4 : 16;
            char text[INET6_ADDRSTRLEN];
            for (std::size_t i = 0; i + size <= value.size(); i += size) {
                inet_ntop(key == 4 ? AF_INET : AF_INET6, value.data() + i, text, sizeof text);
                out += i == 0 ? "" : ",";
                out += text;
            }
            break;
        }
        case 5:
            out += Base64(value);
            break;
        default:
            AppendQuoted(out, value);
            break;
        }
    }
}

// Checks the SvcParams of HTTPS data: each key with its whole value, keys in
// strictly increasing order (RFC 9460 2.2), and the fixed-size values sized right.
bool SvcParamsValid(ByteReader reader)
{
    int last = -1;
    while (reader.Remaining() > 0) {
        std::uint16_t key = 0, length = 0;
        if (!reader.ReadU16BE(key) || !reader.ReadU16BE(length) || length > reader.Remaining())
            return false;
        if (static_cast<int>(key) <= last)
            return false;
        last = key;
        const bool sized = key == 0   ? length % 2 == 0
                           : key == 2 ? length == 0
                           : key == 3 ? length == 2
                           : key == 4 ? length % 4 == 0 && length != 0
                           : key == 6 ? length % 16 == 0 && length != 0
                                      : true;
        if (!sized)
            return false;
        if (key == 1) {
            ByteReader ids(reader.Bytes().subspan(reader.Position(), length));
            std::span<const std::uint8_t> id;
            while (ids.Remaining() > 0)
                if (!ReadCharacterString(ids, id) || id.empty())
                    return false;
        }
        reader.Skip(length);
    }
    return true;
}

std::string UnknownText(std::span<const std::uint8_t> data)
{
    return "\\# " + std::to_string(data.size()) + (data.empty() ? "" : " " + Hex(data));
}

} // namespace

std::string UtcTimeText(std::int64_t seconds, const char* format)
{
    const auto t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[64];
    return std::strftime(text, sizeof text, format, &tm) != 0 ? text : "";
}

bool HasContentData(std::uint16_t type)
{
    switch (type) {
    case kTypeTxt:
    case kTypeSrv:
    case kTypeCaa:
    case kTypeHttps:
    case kTypeDnskey:
    case kTypeDs:
    case kTypeRrsig:
        return true;
    default:
        return false;
    }
}

std::string WireNameText(std::span<const std::uint8_t> data, std::size_t at, std::size_t& consumed)
{
    consumed = 0;
    ByteReader reader(data);
    if (!reader.Seek(at))
        return {};
    std::string out;
    for (;;) {
        std::uint8_t len = 0;
        if (!reader.ReadU8(len) || (len & 0xC0) != 0 || len > reader.Remaining())
            return {};
        if (len == 0)
            break;
        for (std::uint8_t i = 0; i < len; ++i) {
            std::uint8_t c = 0;
            reader.ReadU8(c);
            AppendEscaped(out, c, ".;\\\"()@$");
        }
        out += '.';
    }
    consumed = reader.Position() - at;
    return out.empty() ? "." : out;
}

std::size_t ExpandRecordData(std::uint16_t type, std::span<const std::uint8_t> message, std::size_t at,
                             std::size_t length, std::span<std::uint8_t> out)
{
    if (at > message.size() || length > message.size() - at || length == 0)
        return 0;
    const std::span<const std::uint8_t> data = message.subspan(at, length);
    // Fixed part before the name, and whether the data ends with it.
    std::size_t before = 0;
    switch (type) {
    case kTypeSrv: before = 6; break;
    case kTypeHttps: before = 2; break;
    case kTypeRrsig: before = 18; break;
    default: {
        if (length > out.size())
            return 0;
        ByteReader reader(data);
        if (type == kTypeTxt) {
            std::span<const std::uint8_t> piece;
            while (reader.Remaining() > 0)
                if (!ReadCharacterString(reader, piece))
                    return 0;
        } else if (type == kTypeCaa) {
            std::uint8_t flags = 0;
            std::span<const std::uint8_t> tag;
            if (!reader.ReadU8(flags) || !ReadCharacterString(reader, tag) || tag.empty())
                return 0;
        } else if (type == kTypeDnskey) {
            if (length < 5)
                return 0;
        } else if (type == kTypeDs) {
            if (length < 5)
                return 0;
        }
        std::memcpy(out.data(), data.data(), length);
        return length;
    }
    }
    if (length <= before || out.size() < before)
        return 0;
    std::memcpy(out.data(), data.data(), before);
    std::size_t pos = before;
    std::size_t consumed = 0;
    if (!CopyName(message, at + before, consumed, out, pos) || consumed > length - before)
        return 0;
    const std::size_t rest = length - before - consumed;
    if (type == kTypeSrv && rest != 0)
        return 0;
    if (type == kTypeHttps && !SvcParamsValid(ByteReader(data.subspan(before + consumed))))
        return 0;
    if (type == kTypeRrsig && rest == 0)
        return 0;
    if (rest > out.size() - pos)
        return 0;
    std::memcpy(out.data() + pos, data.data() + before + consumed, rest);
    return pos + rest;
}

std::uint16_t DnskeyKeyTag(std::span<const std::uint8_t> data)
{
    // RFC 4034 appendix B; algorithm 1 (RSA/MD5) is obsolete and not treated apart.
    std::uint32_t ac = 0;
    for (std::size_t i = 0; i < data.size(); ++i)
        ac += (i & 1) ? data[i] : std::uint32_t{data[i]} << 8;
    ac += (ac >> 16) & 0xFFFF;
    return static_cast<std::uint16_t>(ac & 0xFFFF);
}

bool ReadSignatureTimes(std::span<const std::uint8_t> data, std::int64_t now, SignatureTimes& out)
{
    ByteReader reader(data);
    std::uint32_t expiration = 0, inception = 0;
    if (!reader.ReadU16BE(out.typeCovered) || !reader.Skip(6) || !reader.ReadU32BE(expiration) ||
        !reader.ReadU32BE(inception))
        return false;
    out.expiration = NearestTime(expiration, now);
    out.inception = NearestTime(inception, now);
    return true;
}

std::string RecordDataText(std::uint16_t type, std::span<const std::uint8_t> data, bool pieces)
{
    ByteReader reader(data);
    std::string out;
    switch (type) {
    case kTypeTxt: {
        std::span<const std::uint8_t> piece;
        while (reader.Remaining() > 0) {
            if (!ReadCharacterString(reader, piece))
                return UnknownText(data);
            if (!out.empty())
                out += ' ';
            AppendQuoted(out, piece);
        }
        return out.empty() ? UnknownText(data) : out;
    }
    case kTypeSrv: {
        std::uint16_t priority = 0, weight = 0, port = 0;
        std::size_t consumed = 0;
        if (!reader.ReadU16BE(priority) || !reader.ReadU16BE(weight) || !reader.ReadU16BE(port))
            return UnknownText(data);
        const std::string target = WireNameText(data, 6, consumed);
        if (consumed == 0)
            return UnknownText(data);
        return std::to_string(priority) + ' ' + std::to_string(weight) + ' ' + std::to_string(port) + ' ' + target;
    }
    case kTypeCaa: {
        std::uint8_t flags = 0;
        std::span<const std::uint8_t> tag;
        if (!reader.ReadU8(flags) || !ReadCharacterString(reader, tag))
            return UnknownText(data);
        out = std::to_string(flags) + ' ';
        for (const std::uint8_t c : tag)
            AppendEscaped(out, c, "");
        out += ' ';
        AppendQuoted(out, data.subspan(reader.Position()));
        return out;
    }
    case kTypeHttps: {
        std::uint16_t priority = 0;
        std::size_t consumed = 0;
        if (!reader.ReadU16BE(priority))
            return UnknownText(data);
        const std::string target = WireNameText(data, 2, consumed);
        if (consumed == 0 || !reader.Skip(consumed) || !SvcParamsValid(reader))
            return UnknownText(data);
        out = std::to_string(priority) + ' ' + target;
        AppendSvcParams(out, reader);
        return out;
    }
    case kTypeDnskey: {
        std::uint16_t flags = 0;
        std::uint8_t protocol = 0, algorithm = 0;
        if (!reader.ReadU16BE(flags) || !reader.ReadU8(protocol) || !reader.ReadU8(algorithm))
            return UnknownText(data);
        out = std::to_string(flags) + ' ' + std::to_string(protocol) + ' ' + std::to_string(algorithm) + ' ';
        AppendPieces(out, Base64(data.subspan(4)), pieces);
        return out;
    }
    case kTypeDs: {
        std::uint16_t tag = 0;
        std::uint8_t algorithm = 0, digestType = 0;
        if (!reader.ReadU16BE(tag) || !reader.ReadU8(algorithm) || !reader.ReadU8(digestType))
            return UnknownText(data);
        out = std::to_string(tag) + ' ' + std::to_string(algorithm) + ' ' + std::to_string(digestType) + ' ';
        AppendPieces(out, Hex(data.subspan(4)), pieces);
        return out;
    }
    case kTypeRrsig: {
        std::uint16_t covered = 0, tag = 0;
        std::uint8_t algorithm = 0, labels = 0;
        std::uint32_t ttl = 0, expiration = 0, inception = 0;
        if (!reader.ReadU16BE(covered) || !reader.ReadU8(algorithm) || !reader.ReadU8(labels) ||
            !reader.ReadU32BE(ttl) || !reader.ReadU32BE(expiration) || !reader.ReadU32BE(inception) ||
            !reader.ReadU16BE(tag))
            return UnknownText(data);
        std::size_t consumed = 0;
        const std::string signer = WireNameText(data, 18, consumed);
        if (consumed == 0)
            return UnknownText(data);
        const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
        out = TypeMnemonic(covered) + ' ' + std::to_string(algorithm) + ' ' + std::to_string(labels) + ' ' +
              std::to_string(ttl) + ' ' + TimeText(NearestTime(expiration, now)) + ' ' +
              TimeText(NearestTime(inception, now)) + ' ' + std::to_string(tag) + ' ' + signer + ' ';
        AppendPieces(out, Base64(data.subspan(18 + consumed)), pieces);
        return out;
    }
    default:
        return UnknownText(data);
    }
}

bool StoreContentData(std::uint16_t type, std::span<const std::uint8_t> message, std::size_t at, std::size_t length,
                      std::span<char> names, std::uint32_t& cursor, std::uint16_t& storedLength)
{
    if (cursor >= names.size() || at > message.size() || length > message.size() - at)
        return false;
    const std::span<std::uint8_t> room(reinterpret_cast<std::uint8_t*>(names.data()) + cursor, names.size() - cursor);
    // One name expanded from a two-byte pointer grows by at most 253 bytes.
    constexpr std::size_t kGrowth = kMaxNameOctets;
    std::size_t size = ExpandRecordData(type, message, at, length, room);
    if (size == 0) {
        if (room.size() <= length + kGrowth)
            return false; // perhaps only too little room: refused, as a full area is
        std::memcpy(room.data(), message.data() + at, length);
        size = length;
    }
    if (size >= room.size())
        return false;
    room[size] = 0;
    std::uint32_t next = cursor + static_cast<std::uint32_t>(size) + 1;
    if (type == kTypeSrv) {
        // As every gathered name is kept: dotted, without escapes or the final ".".
        if (next >= names.size())
            return false;
        const DecodedName target = DecodeName(room.first(size), 6, names.subspan(next));
        if (target.status == NameStatus::NoRoom)
            return false;
        next += static_cast<std::uint32_t>(target.length) + 1;
    }
    storedLength = static_cast<std::uint16_t>(size);
    cursor = next;
    return true;
}

std::string RecordDetailLine(std::uint16_t type, std::span<const std::uint8_t> data)
{
    std::string line = "     " + TypeMnemonic(type);
    if (type == kTypeDnskey)
        line += " (key tag " + std::to_string(DnskeyKeyTag(data)) + ")";
    return line + " : " + RecordDataText(type, data) + "\r\n";
}

} // namespace varnell
