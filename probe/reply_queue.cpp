#include "probe/reply_queue.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace varnell {

ReplyQueue::ReplyQueue(std::size_t capacity)
    : capacity_(std::max(capacity & ~std::size_t{7}, 2 * kMaxRecord)), ring_(new std::uint8_t[capacity_])
{
    static_assert(sizeof(Header) == kHeaderSize);
}

std::uint8_t* ReplyQueue::SpaceLocked()
{
    std::size_t used = static_cast<std::size_t>(write_ - read_);
    std::size_t offset = static_cast<std::size_t>(write_ % capacity_);
    const std::size_t tail = capacity_ - offset;
    if (tail < kMaxRecord) {
        // A record is always contiguous: leave the tail unused and start again at
        // the ring's start. Offsets are multiples of 8, so the marker always fits.
        if (used + tail > capacity_)
            return nullptr;
        const std::uint32_t marker = kWrapMarker;
        std::memcpy(ring_.get() + offset, &marker, sizeof marker);
        write_ += tail;
        used += tail;
        offset = 0;
    }
    if (capacity_ - used < kMaxRecord)
        return nullptr;
    return ring_.get() + offset + sizeof(Header);
}

std::uint8_t* ReplyQueue::WriteSpace()
{
    std::lock_guard lock(mutex_);
    std::uint8_t* space = SpaceLocked();
    if (space == nullptr)
        ++counters_.fullWaits;
    return space;
}

bool ReplyQueue::WaitForSpace(std::uint32_t ms)
{
    std::unique_lock lock(mutex_);
    return writable_.wait_for(lock, std::chrono::milliseconds(ms),
                              [this] { return stopped_ || SpaceLocked() != nullptr; }) &&
           !stopped_;
}

void ReplyQueue::Commit(std::size_t length, const PeerAddress& from, std::uint32_t tick)
{
    length = std::min(length, kMaxDatagram);
    {
        std::lock_guard lock(mutex_);
        const Header header{static_cast<std::uint32_t>(length), tick, from};
        std::memcpy(ring_.get() + write_ % capacity_, &header, sizeof header);
        write_ += RecordSize(length);
        ++counters_.queued;
        counters_.peakBytes = std::max(counters_.peakBytes, static_cast<std::size_t>(write_ - read_));
    }
    readable_.notify_one();
}

bool ReplyQueue::FrontLocked(QueuedReply& out)
{
    while (read_ != write_) {
        const std::size_t offset = static_cast<std::size_t>(read_ % capacity_);
        Header header;
        std::memcpy(&header, ring_.get() + offset, sizeof header);
        if (header.length == kWrapMarker) {
            read_ += capacity_ - offset;
            continue;
        }
        out.bytes = std::span<const std::uint8_t>(ring_.get() + offset + sizeof(Header), header.length);
        out.from = header.from;
        out.received = header.tick;
        return true;
    }
    return false;
}

bool ReplyQueue::WaitFront(QueuedReply& out, std::uint32_t ms)
{
    std::unique_lock lock(mutex_);
    readable_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopped_ || read_ != write_; });
    return FrontLocked(out);
}

void ReplyQueue::Pop()
{
    {
        std::lock_guard lock(mutex_);
        QueuedReply front;
        if (!FrontLocked(front))
            return;
        read_ += RecordSize(front.bytes.size());
    }
    writable_.notify_one();
}

void ReplyQueue::Stop()
{
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    readable_.notify_all();
    writable_.notify_all();
}

bool ReplyQueue::Stopped()
{
    std::lock_guard lock(mutex_);
    return stopped_;
}

void ReplyQueue::Reset()
{
    std::lock_guard lock(mutex_);
    read_ = write_;
    stopped_ = false;
}

ReplyQueueCounters ReplyQueue::Counters()
{
    std::lock_guard lock(mutex_);
    return counters_;
}

} // namespace varnell
