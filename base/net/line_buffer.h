// Bytes of a line protocol as they come off a socket, handed out as complete
// lines. Every socket protocol reads its lines through this one buffer; each
// keeps its own way of waiting for bytes and its own limit. A line that grows
// past the limit without its end is refused, never cut: the caller decides what
// the peer is told.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace varnell {

class LineBuffer {
public:
    // end: what ends a line ("\n", "\r\n"). limit: the most bytes held without a
    // complete line that are still taken for the start of one.
    LineBuffer(std::string_view end, std::size_t limit) : end_(end), limit_(limit) {}

    void Append(const char* bytes, std::size_t n) { pending_.append(bytes, n); }

    // Moves the next complete line, without its end, into line. false: none yet.
    bool Next(std::string& line)
    {
        const std::size_t at = pending_.find(end_);
        if (at == std::string::npos)
            return false;
        line.assign(pending_, 0, at);
        pending_.erase(0, at + end_.size());
        return true;
    }
    bool HasLine() const { return pending_.find(end_) != std::string::npos; }
    // More is held than the limit allows: what has no end yet never gets one in time.
    bool Overlong() const { return pending_.size() > limit_; }
    // How many more bytes may be taken before the buffer is overlong, the byte
    // that proves it included (0 once it is).
    std::size_t Room() const { return pending_.size() > limit_ ? 0 : limit_ + 1 - pending_.size(); }

    bool Empty() const { return pending_.empty(); }
    // What is held, complete lines or not; the buffer is empty afterwards.
    std::string TakeRest()
    {
        std::string rest;
        rest.swap(pending_);
        return rest;
    }
    void Clear() { pending_.clear(); }

private:
    std::string end_;
    std::size_t limit_;
    std::string pending_;
};

} // namespace varnell
