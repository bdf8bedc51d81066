#include "probe/reply_queue.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>

namespace varnell {

ReplyQueue::ReplyQueue(std::size_t capacity)
    : capacity_(std::max(capacity & ~std::size_t{7}, 2 * kMaxRecord)), ring_(new std::uint8_t[capacity_])
{
    static_assert(sizeof(Header) == kHeaderSize);
    static_assert(offsetof(Header, length) == 0, "a wrap marker is the length alone");
}

std::uint8_t* ReplyQueue::SpaceLocked()
{
    // An empty ring starts again at its front, so only as many of its pages are
    // ever touched as the largest backlog needed, not all of them once it has
    // wrapped. Done by the producer, whose space this is: the consumer holds
    // nothing of an empty ring.
    if (read_ == write_)
        read_ = write_ = 0;
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

bool ReplyQueue::RoomLocked(std::size_t count) const
{
    // One record's worth more for the tail a wrap may leave unused; a ring too
    // small for count is asked for what it can ever hold.
    count = std::clamp<std::size_t>(count, 1, capacity_ / kMaxRecord - 1);
    const auto used = static_cast<std::size_t>(write_ - read_);
    return used <= capacity_ && capacity_ - used >= (count + 1) * kMaxRecord;
}

bool ReplyQueue::HasRoomFor(std::size_t count)
{
    std::lock_guard lock(mutex_);
    const bool room = RoomLocked(count);
    if (!room)
        ++counters_.fullWaits;
    return room;
}

bool ReplyQueue::WaitForSpace(std::uint32_t ms, std::size_t count)
{
    std::unique_lock lock(mutex_);
    return writable_.wait_for(lock, std::chrono::milliseconds(ms), [this, count] { return stopped_ || RoomLocked(count); }) &&
           !stopped_;
}

void ReplyQueue::Commit(std::size_t length, const PeerAddress& from, std::uint32_t tick, std::uint64_t stampNs)
{
    length = std::min(length, kMaxDatagram);
    {
        std::lock_guard lock(mutex_);
        const Header header{static_cast<std::uint32_t>(length), tick, stampNs, from};
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
        // A wrap marker may stand in fewer bytes than a header: read its length alone.
        std::uint32_t length = 0;
        std::memcpy(&length, ring_.get() + offset, sizeof length);
        if (length == kWrapMarker) {
            read_ += capacity_ - offset;
            continue;
        }
        Header header;
        std::memcpy(&header, ring_.get() + offset, sizeof header);
        out.bytes = std::span<const std::uint8_t>(ring_.get() + offset + sizeof(Header), header.length);
        out.from = header.from;
        out.received = header.tick;
        out.receivedNs = header.stampNs;
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

bool ReplyQueue::Pause(std::uint32_t ms)
{
    std::unique_lock lock(mutex_);
    return !stopping_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopped_; });
}

void ReplyQueue::Stop()
{
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    readable_.notify_all();
    writable_.notify_all();
    stopping_.notify_all();
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
