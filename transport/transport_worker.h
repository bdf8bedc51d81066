// The transport thread: every query that does not go over UDP travels here,
// so a slow or silent TLS or HTTPS server holds only its own queries and
// never the probe scheduler or the UDP receiver.
//
// Connections are pooled: one per server and transport (and expected name,
// pin and trust), many queries in flight on each; one closes after
// kIdleCloseMs without a query, and one that fails is dropped and opened
// again by the next query.
//
// Who touches what: Submit (any thread) appends to the inbox under inboxLock_
// and wakes the thread; the connections, the HTTPS client and the counters'
// sources belong to the transport thread. Answers are handed to the deliver
// function on the transport thread, with no lock of the worker held.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "transport/transport.h"

namespace varnell {

inline constexpr std::uint32_t kIdleCloseMs = 30000;
inline constexpr std::size_t kMaxTransportInbox = 8192;

struct TransportCounters {
    std::uint64_t submitted = 0;
    std::uint64_t answered = 0;        // code 0
    std::uint64_t failed = 0;          // any other code
    std::uint64_t streamConnections = 0; // TCP and TLS connections opened
    std::uint64_t httpsConnections = 0;  // HTTPS connections libcurl opened
    std::uint64_t http2Transfers = 0;    // HTTPS queries that went over HTTP/2
    std::uint64_t openStreams = 0;       // TCP and TLS connections open now
};

class TransportWorker {
public:
    using Deliver = std::function<void(TransportAnswer&&)>;

    TransportWorker() = default;
    TransportWorker(const TransportWorker&) = delete;
    TransportWorker& operator=(const TransportWorker&) = delete;
    ~TransportWorker();

    // Starts the thread; answers go to deliver. False when it cannot start.
    bool Start(Deliver deliver, std::uint32_t idleCloseMs = kIdleCloseMs);
    // Queues query. False when the worker does not run or the inbox is full:
    // the caller's request then ends at its own time-out.
    bool Submit(TransportQuery&& query);
    // Ends the thread at once; queries still open are dropped unanswered and
    // every connection is closed.
    void Stop();
    TransportCounters Counters() const;

private:
    void Run(std::uint32_t idleCloseMs);

    Deliver deliver_;
    std::thread thread_;
    mutable std::mutex inboxLock_;
    std::vector<TransportQuery> inbox_; // under inboxLock_
    bool running_ = false;              // under inboxLock_
    bool stop_ = false;                 // under inboxLock_
    void* multi_ = nullptr;             // the HTTPS client's, for curl_multi_wakeup; under inboxLock_
    std::atomic<std::uint64_t> submitted_{0}, answered_{0}, failed_{0}, streamConnections_{0}, http2Transfers_{0},
        httpsConnections_{0}, openStreams_{0};
    std::mutex startLock_;
    std::condition_variable started_;
    bool startDone_ = false;
};

} // namespace varnell
