// Domain name encoding and decoding (RFC 1035 2.3.4, 3.1, 4.1.4).
#include "dns/dns_name.h"

#include "base/byte_reader.h"

namespace varnell {

namespace {

// A name of at most 255 octets has at most 127 labels; a longer chain of
// pointers than that cannot belong to a valid name and is taken as a loop.
constexpr int kMaxPointerHops = 128;

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string_view WithoutFinalDot(std::string_view name)
{
    if (!name.empty() && name.back() == '.')
        name.remove_suffix(1);
    return name;
}

} // namespace

std::size_t EncodeName(std::string_view name, std::span<std::uint8_t> out)
{
    name = WithoutFinalDot(name);
    // Work out the whole length first: a name that does not fit leaves out untouched.
    std::size_t total = 1;
    if (!name.empty()) {
        std::size_t labelStart = 0;
        for (std::size_t i = 0; i <= name.size(); ++i) {
            if (i < name.size() && name[i] != '.')
                continue;
            const std::size_t label = i - labelStart;
            // An empty label inside the name would put a 0 byte inside the question and
            // silently ask for a shorter name; a label over 63 octets is not a label.
            if (label == 0 || label > kMaxLabel)
                return 0;
            total += label + 1;
            if (total > kMaxNameOctets)
                return 0;
            labelStart = i + 1;
        }
    }
    if (total > out.size())
        return 0;

    std::size_t pos = 0;
    std::size_t labelStart = 0;
    for (std::size_t i = 0; !name.empty() && i <= name.size(); ++i) {
        if (i < name.size() && name[i] != '.')
            continue;
        out[pos++] = static_cast<std::uint8_t>(i - labelStart);
        for (std::size_t k = labelStart; k < i; ++k)
            out[pos++] = static_cast<std::uint8_t>(name[k]);
        labelStart = i + 1;
    }
    out[pos++] = 0;
    return pos;
}

bool ValidDomainName(std::string_view name)
{
    std::uint8_t scratch[kMaxNameOctets];
    return !WithoutFinalDot(name).empty() && EncodeName(name, scratch) != 0;
}

DecodedName DecodeName(std::span<const std::uint8_t> message, std::size_t at, std::span<char> out)
{
    DecodedName result;
    if (out.empty()) {
        result.status = NameStatus::NoRoom;
        return result;
    }
    out[0] = '\0';
    ByteReader reader(message);
    std::size_t pos = at;
    std::size_t segmentStart = at; // where the labels since the last pointer begin
    bool jumped = false;
    int hops = 0;
    std::size_t octets = 1; // the final 0 byte
    std::size_t written = 0;

    for (;;) {
        std::uint8_t len = 0;
        if (!reader.PeekU8(pos, len))
            return result; // ran past the message
        if (len == 0) {
            if (!jumped)
                result.consumed = pos - at + 1;
            result.status = NameStatus::Ok;
            break;
        }
        if ((len & 0xC0) == 0xC0) {
            // RFC 1035 4.1.4: "the first two bits are ones. This allows a pointer to be
            // distinguished from a label, since the label must begin with two zero bits
            // because labels are restricted to 63 octets or less." A pointer replaces
            // "a list of labels at the end of a domain name" with "a pointer to a prior
            // occurance of the same name": any offset before the labels just read,
            // however far into a large answer (1232 bytes over UDP, 64 KiB over TCP).
            // A pointer into those labels or beyond them is no prior occurrence and
            // could loop; so each hop goes further back, hops are limited as well and
            // every decoded octet counts against the 255-octet maximum.
            std::uint8_t low = 0;
            if (!reader.PeekU8(pos + 1, low))
                return result;
            if (!jumped)
                result.consumed = pos - at + 2;
            jumped = true;
            const std::size_t offset = (static_cast<std::size_t>(len & 0x3F) << 8) | low;
            if (offset >= segmentStart || ++hops > kMaxPointerHops)
                return result;
            pos = segmentStart = offset;
            continue;
        }
        if ((len & 0xC0) != 0)
            return result; // the reserved 01 and 10 label types
        octets += std::size_t{len} + 1;
        if (octets > kMaxNameOctets)
            return result;
        const std::size_t dot = written == 0 ? 0 : 1;
        if (out.size() - written <= dot + len) { // room for dot, label and terminator
            result.status = NameStatus::NoRoom;
            break;
        }
        if (!reader.Seek(pos + 1) || !reader.ReadBytes(out.data() + written + dot, len))
            return result;
        if (dot != 0)
            out[written] = '.';
        written += dot + len;
        out[written] = '\0';
        result.length = written;
        pos += std::size_t{len} + 1;
    }
    return result;
}

std::size_t SkipName(std::span<const std::uint8_t> message, std::size_t at)
{
    ByteReader reader(message);
    std::size_t pos = at;
    for (;;) {
        std::uint8_t len = 0;
        if (!reader.PeekU8(pos, len))
            return 0;
        if (len == 0)
            return pos - at + 1;
        if ((len & 0xC0) == 0xC0)
            return reader.PeekU8(pos + 1, len) ? pos - at + 2 : 0;
        if ((len & 0xC0) != 0)
            return 0;
        pos += std::size_t{len} + 1;
    }
}

bool SameName(std::string_view a, std::string_view b)
{
    a = WithoutFinalDot(a);
    b = WithoutFinalDot(b);
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    }
    return true;
}

} // namespace varnell
