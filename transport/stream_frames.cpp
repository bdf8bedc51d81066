// DNS message framing on streams: RFC 1035 4.2.2, RFC 7766 8.
#include "transport/stream_frames.h"

#include "base/byte_reader.h"

namespace varnell {

void StreamFrames::Append(std::span<const std::uint8_t> bytes)
{
    // Whole messages have been given out in front: drop them before growing,
    // so a long-lived connection's buffer stays the size of one burst.
    if (used_ != 0 && used_ == buffer_.size()) {
        buffer_.clear();
        used_ = 0;
    } else if (used_ > 65536) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(used_));
        used_ = 0;
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

FrameRead StreamFrames::Next(std::vector<std::uint8_t>& message)
{
    ByteReader reader(std::span<const std::uint8_t>(buffer_).subspan(used_));
    std::uint16_t length = 0;
    if (!reader.ReadU16BE(length))
        return FrameRead::kNeedMore;
    if (length < kMinStreamMessage)
        return FrameRead::kInvalid;
    if (reader.Remaining() < length)
        return FrameRead::kNeedMore;
    message.resize(length);
    reader.ReadBytes(message.data(), length);
    used_ += reader.Position();
    return FrameRead::kMessage;
}

void StreamFrames::Clear()
{
    buffer_.clear();
    used_ = 0;
}

bool AppendFramed(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> query)
{
    if (query.empty() || query.size() > 0xFFFF)
        return false;
    out.push_back(static_cast<std::uint8_t>(query.size() >> 8));
    out.push_back(static_cast<std::uint8_t>(query.size()));
    out.insert(out.end(), query.begin(), query.end());
    return true;
}

} // namespace varnell
