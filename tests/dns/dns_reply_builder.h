// Builds DNS replies byte by byte for the reply tests, including broken ones:
// the header counts can be overridden and raw bytes appended anywhere.
#pragma once

#include <arpa/inet.h>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

namespace varnell::test {

enum class Section { Answer, Authority, Additional };

class DnsReplyBuilder {
public:
    // flags1: QR set, RD set; flags2: RA set, RCODE in the low 4 bits.
    explicit DnsReplyBuilder(std::uint16_t id, std::uint8_t rcode = 0, std::uint8_t flags1 = 0x81)
    {
        bytes_ = {static_cast<std::uint8_t>(id & 0xFF), static_cast<std::uint8_t>(id >> 8), flags1,
                  static_cast<std::uint8_t>(0x80 | rcode), 0, 0, 0, 0, 0, 0, 0, 0};
    }

    DnsReplyBuilder& Question(const std::string& name, std::uint16_t type)
    {
        Name(name);
        U16(type);
        U16(1);
        ++counts_[0];
        return *this;
    }
    DnsReplyBuilder& Record(Section section, const std::string& owner, std::uint16_t type,
                            const std::vector<std::uint8_t>& data, std::uint32_t ttl = 300)
    {
        Name(owner);
        RecordTail(section, type, data, ttl);
        return *this;
    }
    // A record whose owner is a compression pointer to `offset`.
    DnsReplyBuilder& RecordAt(Section section, std::uint16_t offset, std::uint16_t type,
                              const std::vector<std::uint8_t>& data)
    {
        Pointer(offset);
        RecordTail(section, type, data, 300);
        return *this;
    }
    DnsReplyBuilder& A(Section section, const std::string& owner, const char* dotted)
    {
        in_addr addr{};
        inet_pton(AF_INET, dotted, &addr);
        const auto* p = reinterpret_cast<const std::uint8_t*>(&addr.s_addr);
        return Record(section, owner, 1, {p[0], p[1], p[2], p[3]});
    }
    DnsReplyBuilder& Cname(Section section, const std::string& owner, const std::string& target)
    {
        return NameRecord(section, owner, 5, {}, target);
    }
    DnsReplyBuilder& Ns(Section section, const std::string& owner, const std::string& host)
    {
        return NameRecord(section, owner, 2, {}, host);
    }
    DnsReplyBuilder& Ptr(Section section, const std::string& owner, const std::string& host)
    {
        return NameRecord(section, owner, 12, {}, host);
    }
    DnsReplyBuilder& Mx(Section section, const std::string& owner, std::uint16_t preference,
                        const std::string& exchange)
    {
        return NameRecord(section, owner, 15,
                          {static_cast<std::uint8_t>(preference >> 8), static_cast<std::uint8_t>(preference)},
                          exchange);
    }

    // From here on every name is compressed as a server does: the longest
    // suffix already written becomes a pointer to where it was written.
    DnsReplyBuilder& Compress()
    {
        compress_ = true;
        return *this;
    }

    // Raw bytes and header overrides, for broken replies.
    DnsReplyBuilder& Raw(std::initializer_list<std::uint8_t> raw)
    {
        bytes_.insert(bytes_.end(), raw);
        return *this;
    }
    DnsReplyBuilder& Name(const std::string& name)
    {
        const auto encoded = Encoded(name);
        if (!compress_) {
            bytes_.insert(bytes_.end(), encoded.begin(), encoded.end());
            return *this;
        }
        for (std::size_t at = 0; encoded[at] != 0; at += encoded[at] + 1u) {
            const std::string suffix(encoded.begin() + static_cast<std::ptrdiff_t>(at), encoded.end());
            if (const auto seen = written_.find(suffix); seen != written_.end())
                return Pointer(seen->second);
            if (bytes_.size() < 0x4000)
                written_.emplace(suffix, static_cast<std::uint16_t>(bytes_.size()));
            bytes_.insert(bytes_.end(), encoded.begin() + static_cast<std::ptrdiff_t>(at),
                          encoded.begin() + static_cast<std::ptrdiff_t>(at + encoded[at] + 1u));
        }
        bytes_.push_back(0);
        return *this;
    }
    DnsReplyBuilder& Pointer(std::uint16_t offset) { return U16(static_cast<std::uint16_t>(0xC000 | offset)); }
    DnsReplyBuilder& U16(std::uint16_t v)
    {
        bytes_.push_back(static_cast<std::uint8_t>(v >> 8));
        bytes_.push_back(static_cast<std::uint8_t>(v));
        return *this;
    }
    DnsReplyBuilder& Counts(std::uint16_t qd, std::uint16_t an, std::uint16_t ns, std::uint16_t ar)
    {
        counts_[0] = qd;
        counts_[1] = an;
        counts_[2] = ns;
        counts_[3] = ar;
        return *this;
    }
    std::size_t Size() const { return bytes_.size(); }

    std::vector<std::uint8_t> Bytes() const
    {
        std::vector<std::uint8_t> out = bytes_;
        for (int i = 0; i < 4; ++i) {
            out[static_cast<std::size_t>(4 + 2 * i)] = static_cast<std::uint8_t>(counts_[i] >> 8);
            out[static_cast<std::size_t>(5 + 2 * i)] = static_cast<std::uint8_t>(counts_[i]);
        }
        return out;
    }

    static std::vector<std::uint8_t> Encoded(const std::string& name)
    {
        std::vector<std::uint8_t> out;
        std::size_t start = 0;
        while (start < name.size()) {
            std::size_t dot = name.find('.', start);
            if (dot == std::string::npos)
                dot = name.size();
            out.push_back(static_cast<std::uint8_t>(dot - start));
            out.insert(out.end(), name.begin() + static_cast<std::ptrdiff_t>(start),
                       name.begin() + static_cast<std::ptrdiff_t>(dot));
            start = dot + 1;
        }
        out.push_back(0);
        return out;
    }

private:
    // A record whose data is `lead` then a name, compressed when asked.
    DnsReplyBuilder& NameRecord(Section section, const std::string& owner, std::uint16_t type,
                                const std::vector<std::uint8_t>& lead, const std::string& name)
    {
        Name(owner);
        RecordTail(section, type, lead, 300);
        const std::size_t lengthAt = bytes_.size() - lead.size() - 2;
        Name(name);
        const std::size_t length = bytes_.size() - lengthAt - 2;
        bytes_[lengthAt] = static_cast<std::uint8_t>(length >> 8);
        bytes_[lengthAt + 1] = static_cast<std::uint8_t>(length);
        return *this;
    }

    void RecordTail(Section section, std::uint16_t type, const std::vector<std::uint8_t>& data,
                    std::uint32_t ttl)
    {
        U16(type);
        U16(1);
        U16(static_cast<std::uint16_t>(ttl >> 16));
        U16(static_cast<std::uint16_t>(ttl));
        U16(static_cast<std::uint16_t>(data.size()));
        bytes_.insert(bytes_.end(), data.begin(), data.end());
        ++counts_[1 + static_cast<int>(section)];
    }

    std::vector<std::uint8_t> bytes_;
    std::uint16_t counts_[4] = {};
    bool compress_ = false;
    std::map<std::string, std::uint16_t> written_; // label form of each suffix written -> its offset
};

} // namespace varnell::test
