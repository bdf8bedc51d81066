// The reply receiver: reads every datagram of the probe sockets, has it processed
// (ProcessReply) and delivers the results to the user-interface thread with
// SendAll, waiting until they have been evaluated, in arrival order.
//
// It runs as two threads: a reader that only moves datagrams from both sockets
// into the receiver's own ring (reply_queue.h), in turns of up to 32 a call and
// with a short pause after a turn that took some (the kernel stamps each
// datagram's arrival, so the pause is no part of any round trip; a pass that
// needs the sockets drained sooner drains them itself), and the
// receiver proper, which processes them one by one and hands their results to
// the user-interface thread in one batch every 100 ms. The reader keeps the
// sockets empty while the receiver waits for the engine lock or for the
// user-interface thread, so a burst of replies is never dropped by the kernel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <sys/types.h>

#include "probe/reply_queue.h"

namespace varnell {

// Starts the receiver (and its reader) into Engine().receiver.
void StartReceiver();

// The receiver's thread body: starts the reader, processes and delivers replies
// until the exit flag is set or the probe sockets are shut down, then joins the
// reader. Returns 0.
int ReceiverLoop();

// Ends the reader's wait for datagrams, or its pause between turns, at exit;
// the exit flag is set first.
void WakeReceiver();

// True while a reply with this DNS identifier has been read from the socket and
// waits to be processed. The timeout scan leaves such a request alone.
bool ReplyWaiting(std::uint32_t id);

// Receive errors are reported as "WSA IO error code is %d", at most once a minute
// for each error code, so a persistent error cannot flood the event list.
struct ErrorPacer {
    static constexpr std::uint32_t kInterval = 60000;
    static constexpr int kCodes = 8;
    int code[kCodes] = {};
    std::uint32_t last[kCodes] = {};
    bool used[kCodes] = {};
    // True when an error with this code at tick now should be reported.
    bool ShouldReport(int errorCode, std::uint32_t now);
};

// Datagrams read from the probe sockets since the program started.
std::uint64_t DatagramsRead();

// Moves what the probe sockets hold into the receiver's ring on the calling
// thread, unless the receiver is not running. whole = false: one turn per
// socket, and nothing when the reader is at it (a pass held back by its window
// reads for itself rather than wake the reader from its pause and wait for
// it). whole = true: waits for a turn of the reader's in progress and takes
// all there is (the timeout scan, before it ends requests whose replies may
// have come during the reader's pause). Returns the datagrams taken.
std::size_t DrainProbeSockets(bool whole = false);

struct ReceiverCounters {
    std::uint64_t datagrams = 0; // read from the socket
    std::uint64_t delivered = 0; // results sent to the user-interface thread
    std::uint64_t handOvers = 0; // batches they went in
    std::uint64_t errors = 0;    // failed receives
    ReplyQueueCounters queue;
};
ReceiverCounters GetReceiverCounters();

// Tests replace the socket receive to inject errors; nullptr restores recvfrom.
// It has recvfrom's contract (and MSG_DONTWAIT: -1 with EAGAIN when nothing is
// there). Set only while the receiver is not running.
using ReceiveHook = ssize_t (*)(int fd, std::uint8_t* buffer, std::size_t size, PeerAddress& from);
void SetReceiveHook(ReceiveHook hook);

} // namespace varnell
