// DNS messages on a byte stream (RFC 1035 4.2.2, RFC 7766 8, RFC 7858 3.3):
// each message is preceded by its length, two bytes in network byte order.
// Replies to pipelined queries arrive back to back and in any order, and TLS
// hands them over in records that cut them anywhere: the reader keeps what it
// has not yet used and gives out whole messages only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace varnell {

// The shortest message a reply can be: a DNS header.
inline constexpr std::size_t kMinStreamMessage = 12;

enum class FrameRead { kNeedMore, kMessage, kInvalid };

class StreamFrames {
public:
    void Append(std::span<const std::uint8_t> bytes);
    // The next whole message into message. kInvalid when a length cannot hold
    // a DNS header: the stream is out of step and the connection must close.
    FrameRead Next(std::vector<std::uint8_t>& message);
    // Bytes received and not yet given out.
    std::size_t Pending() const { return buffer_.size() - used_; }
    void Clear();

private:
    std::vector<std::uint8_t> buffer_;
    std::size_t used_ = 0;
};

// Appends query to out with its length in front. False (out unchanged) when
// the message is empty or longer than a length can say.
bool AppendFramed(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> query);

} // namespace varnell
