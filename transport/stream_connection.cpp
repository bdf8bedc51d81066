// Pipelined DNS over TCP and TLS: RFC 7766 6.2.1.1, RFC 7858 3.
#include "transport/stream_connection.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/net/ip_address.h"
#include "tls/tls_client.h"
#include "transport/reply_check.h"

namespace varnell {

namespace {


int CodeOf(TlsFailure failure)
{
    switch (failure) {
    case TlsFailure::kExpired:
        return kResultCertificateExpired;
    case TlsFailure::kNameMismatch:
        return kResultCertificateNameMismatch;
    case TlsFailure::kUntrusted:
        return kResultCertificateUntrusted;
    case TlsFailure::kPinMismatch:
        return kResultPinMismatch;
    case TlsFailure::kClosed:
        return kResultConnectionFailed;
    default:
        return kResultTlsHandshakeFailed;
    }
}

} // namespace

StreamConnection::StreamConnection(const TransportQuery& first)
{
    key_ = first;
    key_.message.clear();
    key_.token = 0;
}

StreamConnection::~StreamConnection() { Close(); }

bool StreamConnection::Serves(const TransportQuery& q) const
{
    return q.transport == key_.transport && q.server == key_.server && q.tlsName == key_.tlsName &&
           q.pin == key_.pin && q.caFile == key_.caFile;
}

void StreamConnection::Add(TransportQuery&& query, TransportClock::time_point now,
                           std::vector<TransportAnswer>& answers)
{
    Waiting w;
    w.deadline = now + std::chrono::milliseconds(query.timeoutMs);
    w.query = std::move(query);
    if (w.query.message.size() < kMinStreamMessage || w.query.message.size() > 0xFFFF) {
        TransportAnswer a = AnswerFor(w);
        a.code = kResultConnectionFailed;
        a.failure = "the query cannot be sent on a stream";
        answers.push_back(std::move(a));
        return;
    }
    queued_.push_back(std::move(w));
    if (fd_ < 0 && state_ == State::kConnecting)
        Connect(now, answers);
    else if (state_ == State::kOpen)
        Queue(now);
}

void StreamConnection::Connect(TransportClock::time_point now, std::vector<TransportAnswer>& answers)
{
    const int family = key_.server.Family() == AF_INET6 ? AF_INET6 : AF_INET;
    fd_ = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        Fail(kResultConnectionFailed, std::string("no socket for the connection: ") + std::strerror(errno), answers);
        return;
    }
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    handshakeStart_ = now;
    if (::connect(fd_, key_.server.Address(), key_.server.Length()) != 0 && errno != EINPROGRESS) {
        const int e = errno;
        Fail(e == ECONNREFUSED ? kResultConnectRefused : kResultConnectionFailed, ConnectFailureText(key_.server, e),
             answers);
    }
}

short StreamConnection::Events() const
{
    switch (state_) {
    case State::kConnecting:
        return POLLOUT;
    case State::kHandshaking:
        return tlsWait_ != 0 ? tlsWait_ : POLLIN;
    case State::kOpen:
        // Always read: a server may close an idle connection (RFC 7766 6.2.3).
        return static_cast<short>(POLLIN | (outSent_ < out_.size() ? POLLOUT : 0));
    default:
        return 0;
    }
}

void StreamConnection::OnEvents(short revents, TransportClock::time_point now, std::vector<TransportAnswer>& answers)
{
    if (revents == 0 || state_ == State::kClosed)
        return;
    if (state_ == State::kConnecting) {
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) {
            Fail(error == ECONNREFUSED ? kResultConnectRefused : kResultConnectionFailed,
                 ConnectFailureText(key_.server, error), answers);
            return;
        }
        if (key_.transport != Transport::kTls) {
            Opened(now);
            Queue(now);
            WriteOut(now, answers);
            return;
        }
        std::string reason;
        ctx_ = NewTlsClientContext(key_.caFile, "dot", reason);
        const std::string expected = key_.tlsName.empty() ? PeerAddressText(key_.server) : key_.tlsName;
        ssl_ = ctx_ != nullptr ? NewTlsClientSession(ctx_, fd_, expected, reason) : nullptr;
        if (ssl_ == nullptr) {
            Fail(kResultTlsHandshakeFailed, reason, answers);
            return;
        }
        SSL_set_mode(ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        state_ = State::kHandshaking;
        Handshake(now, answers);
        return;
    }
    if (state_ == State::kHandshaking) {
        Handshake(now, answers);
        return;
    }
    if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0)
        ReadIn(now, answers);
    if (state_ == State::kOpen && (revents & POLLOUT) != 0)
        WriteOut(now, answers);
}

void StreamConnection::Handshake(TransportClock::time_point now, std::vector<TransportAnswer>& answers)
{
    ERR_clear_error();
    errno = 0;
    const int rc = SSL_connect(ssl_);
    if (rc == 1) {
        std::string text;
        if (!PeerMatchesPin(ssl_, key_.pin, text)) {
            Fail(kResultPinMismatch, text, answers);
            return;
        }
        handshakeUs_ = std::chrono::duration_cast<std::chrono::microseconds>(now - handshakeStart_).count();
        notAfter_ = PeerCertificateNotAfter(ssl_);
        Opened(now);
        Queue(now);
        WriteOut(now, answers);
        return;
    }
    const IoStep step = TlsStep(ssl_, rc, tlsFailure_);
    if (step.wait != 0) {
        tlsWait_ = step.wait;
        return;
    }
    std::string text;
    const TlsFailure failure = HandshakeFailure(ssl_, step, tlsFailure_, text);
    Fail(CodeOf(failure), text, answers);
}

void StreamConnection::Opened(TransportClock::time_point now)
{
    state_ = State::kOpen;
    idleSince_ = now;
}

void StreamConnection::Queue(TransportClock::time_point now)
{
    // Identifiers are unique among a connection's queries in flight (RFC 7766
    // 6.2.1.1): a query whose identifier is taken waits for the earlier one.
    for (auto it = queued_.begin(); it != queued_.end();) {
        const std::uint16_t id = static_cast<std::uint16_t>((it->query.message[0] << 8) | it->query.message[1]);
        if (inFlight_.count(id) != 0) {
            ++it;
            continue;
        }
        AppendFramed(out_, it->query.message);
        it->sent = now;
        inFlight_.emplace(id, std::move(*it));
        it = queued_.erase(it);
    }
}

void StreamConnection::WriteOut(TransportClock::time_point now, std::vector<TransportAnswer>& answers)
{
    (void)now;
    while (state_ == State::kOpen && outSent_ < out_.size()) {
        const std::size_t left = out_.size() - outSent_;
        IoStep step;
        if (ssl_ != nullptr) {
            ERR_clear_error();
            errno = 0;
            const int n = left > INT_MAX ? INT_MAX : static_cast<int>(left);
            step = TlsStep(ssl_, SSL_write(ssl_, out_.data() + outSent_, n), tlsFailure_);
        } else {
            const ssize_t n = ::send(fd_, out_.data() + outSent_, left, MSG_NOSIGNAL);
            step.bytes = n;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                step.wait = POLLOUT;
        }
        if (step.bytes > 0) {
            outSent_ += static_cast<std::size_t>(step.bytes);
            continue;
        }
        if (step.wait != 0)
            return;
        Fail(kResultConnectionFailed,
             step.tls ? "the TLS connection failed: " + tlsFailure_
                      : std::string("the connection failed while sending: ") + std::strerror(errno),
             answers);
        return;
    }
    if (outSent_ == out_.size()) {
        out_.clear();
        outSent_ = 0;
    }
}

void StreamConnection::ReadIn(TransportClock::time_point now, std::vector<TransportAnswer>& answers)
{
    std::uint8_t buffer[16384];
    for (;;) {
        IoStep step;
        if (ssl_ != nullptr) {
            ERR_clear_error();
            errno = 0;
            step = TlsStep(ssl_, SSL_read(ssl_, buffer, sizeof buffer), tlsFailure_);
        } else {
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            step.bytes = n;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                step.wait = POLLIN;
        }
        if (step.bytes > 0) {
            frames_.Append(std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(step.bytes)));
            std::vector<std::uint8_t> message;
            for (;;) {
                const FrameRead read = frames_.Next(message);
                if (read == FrameRead::kNeedMore)
                    break;
                if (read == FrameRead::kInvalid) {
                    Fail(kResultNotTheAnswer, "the server sent a message too short for a DNS reply", answers);
                    return;
                }
                Deliver(message, now, answers);
                if (state_ == State::kClosed)
                    return;
            }
            continue;
        }
        if (step.wait != 0)
            return;
        // The server closed (or reset) the connection: what was in flight is
        // lost and is given up now rather than at its time-out (RFC 7766 6.2.3).
        if (step.bytes == 0 && inFlight_.empty() && queued_.empty()) {
            Close();
            return;
        }
        Fail(kResultConnectionFailed,
             step.bytes == 0 ? std::string("the server closed the connection before it answered")
             : step.tls      ? "the TLS connection failed: " + tlsFailure_
                             : std::string("the connection failed: ") + std::strerror(errno),
             answers);
        return;
    }
}

void StreamConnection::Deliver(const std::vector<std::uint8_t>& message, TransportClock::time_point now,
                               std::vector<TransportAnswer>& answers)
{
    const std::uint16_t id = static_cast<std::uint16_t>((message[0] << 8) | message[1]);
    const auto it = inFlight_.find(id);
    // A reply to no query of ours (one given up at its time-out, or a server's
    // mistake) is dropped: the query it might belong to ends at its own time.
    if (it == inFlight_.end())
        return;
    TransportAnswer a = AnswerFor(it->second);
    a.roundTripMs = static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now - it->second.sent).count());
    if (IsAnswerTo(it->second.query.message, message)) {
        a.reply = message;
        ApplyCertificateWarning(a, it->second.query.certWarnDays, std::time(nullptr));
    } else {
        a.code = kResultNotTheAnswer;
        a.failure = "the server's reply with identifier " + std::to_string(id) + " does not answer the query";
    }
    answers.push_back(std::move(a));
    inFlight_.erase(it);
    if (inFlight_.empty())
        idleSince_ = now;
    Queue(now);
    WriteOut(now, answers);
}

void StreamConnection::Expire(TransportClock::time_point now, std::vector<TransportAnswer>& answers)
{
    if (state_ == State::kClosed)
        return;
    const bool open = state_ == State::kOpen;
    const char* notOpen = state_ == State::kConnecting ? "the server did not accept the connection in time"
                                                       : "the TLS handshake did not finish in time";
    auto expire = [&](Waiting& w) {
        TransportAnswer a = AnswerFor(w);
        if (open && w.sent != TransportClock::time_point{}) {
            a.code = kTransportReplyTimeout;
            a.failure = "no reply on the open connection in time";
        } else if (open) {
            a.code = kTransportReplyTimeout;
            a.failure = "the query waited in vain for its turn on the connection";
        } else {
            a.code = kResultConnectTimeout;
            a.failure = notOpen;
        }
        answers.push_back(std::move(a));
    };
    for (auto it = inFlight_.begin(); it != inFlight_.end();) {
        if (now >= it->second.deadline) {
            expire(it->second);
            it = inFlight_.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = queued_.begin(); it != queued_.end();) {
        if (now >= it->deadline) {
            expire(*it);
            it = queued_.erase(it);
        } else {
            ++it;
        }
    }
    // A connection that never opened is not kept for the next query: it
    // starts again from the connect, so a server that recovers is seen at once.
    if (!open && queued_.empty())
        Close();
}

TransportClock::time_point StreamConnection::NextDeadline() const
{
    auto next = TransportClock::time_point::max();
    for (const auto& [id, w] : inFlight_)
        next = std::min(next, w.deadline);
    for (const auto& w : queued_)
        next = std::min(next, w.deadline);
    return next;
}

bool StreamConnection::IdleSince(TransportClock::time_point& since) const
{
    if (state_ != State::kOpen || !inFlight_.empty() || !queued_.empty())
        return false;
    since = idleSince_;
    return true;
}

void StreamConnection::Fail(int code, const std::string& text, std::vector<TransportAnswer>& answers)
{
    for (auto& [id, w] : inFlight_) {
        TransportAnswer a = AnswerFor(w);
        a.code = code;
        a.failure = text;
        answers.push_back(std::move(a));
    }
    for (auto& w : queued_) {
        TransportAnswer a = AnswerFor(w);
        a.code = code;
        a.failure = text;
        answers.push_back(std::move(a));
    }
    inFlight_.clear();
    queued_.clear();
    Close();
}

TransportAnswer StreamConnection::AnswerFor(const Waiting& w) const
{
    TransportAnswer a;
    a.token = w.query.token;
    a.handshakeUs = handshakeUs_;
    a.certNotAfter = notAfter_;
    return a;
}

void StreamConnection::Close()
{
    EndTlsSession(ssl_, ctx_, state_ == State::kOpen);
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    state_ = State::kClosed;
    out_.clear();
    outSent_ = 0;
    frames_.Clear();
}

} // namespace varnell
