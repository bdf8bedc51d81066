// The receiver's own queue of received datagrams: a fixed byte ring between the
// thread that reads the probe sockets and the thread that processes replies.
//
// Why it exists: processing a reply needs the engine lock and then waits until
// the user-interface thread has evaluated the result. A pass that probes a few
// thousand items gets all their replies within milliseconds from a local server,
// far more than the kernel keeps for an unprivileged socket (net.core.rmem_max is
// commonly 212992, about 400 small datagrams). Whatever the socket cannot hold is
// dropped and later reported as a timeout: a healthy item shown down. So one
// thread does nothing but move datagrams from the socket into this ring, and the
// ring, not the socket, absorbs the burst.
//
// Who touches what: one producer (WriteSpace/Commit) and one consumer
// (WaitFront/Pop); the positions are guarded by the queue's mutex. A datagram's
// bytes are written before Commit publishes them and read before Pop releases
// them, so neither side touches the other's bytes.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>

#include "dns/peer_address.h"

namespace varnell {

struct QueuedReply {
    std::span<const std::uint8_t> bytes;
    PeerAddress from;
    std::uint32_t received;   // tick ms when it arrived
    std::uint64_t receivedNs; // monotonic ns when the kernel took it in (0: not stamped)
};

struct ReplyQueueCounters {
    std::uint64_t queued = 0;
    std::uint64_t fullWaits = 0;  // times the reader found no room and waited
    std::size_t peakBytes = 0;    // most bytes held at once
};

class ReplyQueue {
public:
    static constexpr std::size_t kMaxDatagram = 6888;
    static constexpr std::size_t kDefaultCapacity = std::size_t{1} << 21;

    // capacity: a multiple of 8 that holds at least two of the largest records.
    explicit ReplyQueue(std::size_t capacity = kDefaultCapacity);

    // Producer: room for one datagram of up to kMaxDatagram bytes, or nullptr
    // when the ring is full. Nothing is published until Commit.
    std::uint8_t* WriteSpace();
    // Producer: true when count datagrams of any size will fit, one after another.
    bool HasRoomFor(std::size_t count);
    // Producer: waits up to ms for room for count datagrams; false when still
    // full or stopped.
    bool WaitForSpace(std::uint32_t ms, std::size_t count = 1);
    // Producer: publishes the datagram written into the last WriteSpace.
    // stampNs: the kernel's receive stamp on the monotonic clock, 0 when none.
    void Commit(std::size_t length, const PeerAddress& from, std::uint32_t tick, std::uint64_t stampNs = 0);

    // Consumer: waits up to ms for the oldest datagram; false when none came or
    // the queue was stopped and is empty. The bytes stay valid until Pop.
    bool WaitFront(QueuedReply& out, std::uint32_t ms);
    void Pop();
    // Consumer: waits up to ms without looking at what arrives meanwhile; false
    // once the queue is stopped. Datagrams published meanwhile do not wake it.
    bool Pause(std::uint32_t ms);

    // Ends every wait; the consumer still gets what was queued before.
    void Stop();
    bool Stopped();
    // Empties the queue and clears the stop (tests, and a restart of the receiver).
    void Reset();

    ReplyQueueCounters Counters();

private:
    struct Header {
        std::uint32_t length; // kWrapMarker: the rest up to the ring's end is unused
        std::uint32_t tick;
        std::uint64_t stampNs;
        PeerAddress from;
    };
    static constexpr std::uint32_t kWrapMarker = 0xFFFFFFFFu;
    static constexpr std::size_t kHeaderSize = 48;
    // Records start at multiples of 8.
    static std::size_t RecordSize(std::size_t length) { return (kHeaderSize + length + 7) & ~std::size_t{7}; }
    static constexpr std::size_t kMaxRecord = (kHeaderSize + kMaxDatagram + 7) & ~std::size_t{7};

    std::uint8_t* SpaceLocked();
    bool RoomLocked(std::size_t count) const;
    bool FrontLocked(QueuedReply& out);

    const std::size_t capacity_;
    std::unique_ptr<std::uint8_t[]> ring_;
    std::mutex mutex_;
    std::condition_variable readable_;
    std::condition_variable writable_;
    std::condition_variable stopping_;
    std::uint64_t write_ = 0; // positions grow without bound; the offset is position % capacity
    std::uint64_t read_ = 0;
    bool stopped_ = false;
    ReplyQueueCounters counters_;
};

} // namespace varnell
