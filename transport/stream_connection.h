// One pipelined DNS connection over TCP (RFC 7766 6.2.1.1) or TLS (RFC 7858)
// to one server: many queries in flight at once, each reply matched to its
// query by the identifier, in whatever order the server sends them. Queries
// given while the connection opens wait for it; their round trip starts when
// they are written to the open connection, so the connect and the handshake
// are not counted in it (the handshake is measured apart).
//
// Owned and driven by the transport thread alone: it asks Events() what to
// poll for, hands the poll result to OnEvents() and calls Expire() every turn.
// A failure of the connection fails every query on it with the same code and
// text, and leaves the connection Closed(): the owner drops it, and the next
// query opens a new one.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "transport/stream_frames.h"
#include "transport/transport.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace varnell {

using TransportClock = std::chrono::steady_clock;

class StreamConnection {
public:
    explicit StreamConnection(const TransportQuery& first);
    StreamConnection(const StreamConnection&) = delete;
    StreamConnection& operator=(const StreamConnection&) = delete;
    ~StreamConnection();

    // Whether query may travel on this connection: same transport, server,
    // expected name, pin and trust.
    bool Serves(const TransportQuery& query) const;
    // Takes the query; opens the connection on first use.
    void Add(TransportQuery&& query, TransportClock::time_point now, std::vector<TransportAnswer>& answers);

    int Fd() const { return fd_; }
    short Events() const;
    void OnEvents(short revents, TransportClock::time_point now, std::vector<TransportAnswer>& answers);
    // Ends the queries whose time is up; a connection that never opened is
    // given up with them.
    void Expire(TransportClock::time_point now, std::vector<TransportAnswer>& answers);
    // The earliest deadline of a query on it, or max() when none waits.
    TransportClock::time_point NextDeadline() const;

    bool Closed() const { return state_ == State::kClosed; }
    bool Open() const { return state_ == State::kOpen; }
    // Open with nothing in flight since idleSince.
    bool IdleSince(TransportClock::time_point& since) const;
    void Close();

private:
    enum class State { kConnecting, kHandshaking, kOpen, kClosed };
    struct Waiting {
        TransportQuery query;
        TransportClock::time_point deadline;
        TransportClock::time_point sent; // set once written
    };

    void Connect(TransportClock::time_point now, std::vector<TransportAnswer>& answers);
    void Handshake(TransportClock::time_point now, std::vector<TransportAnswer>& answers);
    void Opened(TransportClock::time_point now);
    void WriteOut(TransportClock::time_point now, std::vector<TransportAnswer>& answers);
    void ReadIn(TransportClock::time_point now, std::vector<TransportAnswer>& answers);
    void Deliver(const std::vector<std::uint8_t>& message, TransportClock::time_point now,
                 std::vector<TransportAnswer>& answers);
    // Moves queued queries whose identifier is free into the output.
    void Queue(TransportClock::time_point now);
    void Fail(int code, const std::string& text, std::vector<TransportAnswer>& answers);
    TransportAnswer AnswerFor(const Waiting& w) const;

    TransportQuery key_; // transport, server, name, pin and trust of the connection (no message)
    State state_ = State::kConnecting;
    int fd_ = -1;
    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
    short tlsWait_ = 0;
    std::string tlsFailure_;
    TransportClock::time_point handshakeStart_{};
    std::int64_t handshakeUs_ = -1;
    std::int64_t notAfter_ = 0;
    std::deque<Waiting> queued_;                 // not yet written
    std::map<std::uint16_t, Waiting> inFlight_;  // written, by identifier
    std::vector<std::uint8_t> out_;
    std::size_t outSent_ = 0;
    StreamFrames frames_;
    TransportClock::time_point idleSince_{};
};

} // namespace varnell
