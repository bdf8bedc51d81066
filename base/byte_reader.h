// The one reader for untrusted bytes: DNS replies, stored settings, SMTP and SMB
// replies. Every read checks the remaining length first and assembles integers
// byte by byte, so no caller ever casts packet memory to a struct or reads past
// the end. A failed read leaves the position unchanged and returns false.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

namespace varnell {

class ByteReader {
public:
    ByteReader() = default;
    explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    ByteReader(const void* data, std::size_t size)
        : bytes_(static_cast<const std::uint8_t*>(data), size) {}

    std::size_t Size() const { return bytes_.size(); }
    std::size_t Position() const { return pos_; }
    std::size_t Remaining() const { return bytes_.size() - pos_; }
    std::span<const std::uint8_t> Bytes() const { return bytes_; }

    bool Seek(std::size_t pos)
    {
        if (pos > bytes_.size())
            return false;
        pos_ = pos;
        return true;
    }
    bool Skip(std::size_t n)
    {
        if (n > Remaining())
            return false;
        pos_ += n;
        return true;
    }

    bool ReadU8(std::uint8_t& out)
    {
        if (Remaining() < 1)
            return false;
        out = bytes_[pos_++];
        return true;
    }
    bool ReadU16BE(std::uint16_t& out)
    {
        if (Remaining() < 2)
            return false;
        out = static_cast<std::uint16_t>((bytes_[pos_] << 8) | bytes_[pos_ + 1]);
        pos_ += 2;
        return true;
    }
    bool ReadU16LE(std::uint16_t& out)
    {
        if (Remaining() < 2)
            return false;
        out = static_cast<std::uint16_t>(bytes_[pos_] | (bytes_[pos_ + 1] << 8));
        pos_ += 2;
        return true;
    }
    bool ReadU32BE(std::uint32_t& out)
    {
        if (Remaining() < 4)
            return false;
        out = (std::uint32_t{bytes_[pos_]} << 24) | (std::uint32_t{bytes_[pos_ + 1]} << 16) |
              (std::uint32_t{bytes_[pos_ + 2]} << 8) | std::uint32_t{bytes_[pos_ + 3]};
        pos_ += 4;
        return true;
    }
    bool ReadU32LE(std::uint32_t& out)
    {
        if (Remaining() < 4)
            return false;
        out = std::uint32_t{bytes_[pos_]} | (std::uint32_t{bytes_[pos_ + 1]} << 8) |
              (std::uint32_t{bytes_[pos_ + 2]} << 16) | (std::uint32_t{bytes_[pos_ + 3]} << 24);
        pos_ += 4;
        return true;
    }
    bool ReadI32LE(std::int32_t& out)
    {
        std::uint32_t u = 0;
        if (!ReadU32LE(u))
            return false;
        out = static_cast<std::int32_t>(u);
        return true;
    }
    bool ReadBytes(void* out, std::size_t n)
    {
        if (n > Remaining())
            return false;
        if (n != 0)
            std::memcpy(out, bytes_.data() + pos_, n);
        pos_ += n;
        return true;
    }
    // A zero-terminated text. Takes at most `limit` characters into out and skips
    // the rest; fails (position unchanged) when no terminator lies before the end.
    bool ReadCString(std::string& out, std::size_t limit = SIZE_MAX)
    {
        const void* nul = std::memchr(bytes_.data() + pos_, 0, Remaining());
        if (nul == nullptr)
            return false;
        std::size_t len = static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - (bytes_.data() + pos_));
        out.assign(reinterpret_cast<const char*>(bytes_.data() + pos_), len < limit ? len : limit);
        pos_ += len + 1;
        return true;
    }
    // Peek without moving; false when out of range.
    bool PeekU8(std::size_t at, std::uint8_t& out) const
    {
        if (at >= bytes_.size())
            return false;
        out = bytes_[at];
        return true;
    }

private:
    std::span<const std::uint8_t> bytes_{};
    std::size_t pos_ = 0;
};

// Little-endian stores for building stored records and datagrams.
inline void StoreU16LE(std::uint8_t* p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void StoreU32LE(std::uint8_t* p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline std::uint32_t LoadU32LE(const std::uint8_t* p)
{
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}
inline std::uint16_t LoadU16LE(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

} // namespace varnell
