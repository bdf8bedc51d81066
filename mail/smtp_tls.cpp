// TLS for the mail session: RFC 8314, RFC 3207 over the shared TLS client.
#include "mail/smtp_tls.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>

namespace varnell {

IoStep PlainSend(int fd, const char* data, std::size_t size)
{
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    IoStep step{static_cast<long>(n), 0, false};
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        step.wait = POLLOUT;
    else if (n == 0)
        step.bytes = -1; // send never returns 0 for a non-empty buffer
    return step;
}

IoStep PlainRecv(int fd, char* data, std::size_t size)
{
    const ssize_t n = ::recv(fd, data, size, 0);
    IoStep step{static_cast<long>(n), 0, false};
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        step.wait = POLLIN;
    return step;
}

TlsChannel::~TlsChannel() { Close(); }

bool TlsChannel::Start(int fd, const std::string& server, const std::string& caFile, std::uint32_t timeoutMs,
                       const StopCheck& stop, std::string& reason)
{
    Close();
    failure_.clear();
    ctx_ = NewTlsClientContext(caFile, "", reason);
    if (ctx_ == nullptr)
        return false;
    ssl_ = NewTlsClientSession(ctx_, fd, server, reason);
    if (ssl_ == nullptr) {
        Close();
        return false;
    }

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        ERR_clear_error();
        errno = 0;
        const int rc = SSL_connect(ssl_);
        if (rc == 1)
            return true;
        const IoStep step = TlsStep(ssl_, rc, failure_);
        if (step.wait != 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            const SocketWait w = left <= 0 ? SocketWait::kTimedOut
                                           : WaitForSocket(fd, step.wait, static_cast<std::uint32_t>(left), stop);
            if (w == SocketWait::kReady)
                continue;
            reason = w == SocketWait::kTimedOut  ? "the TLS handshake did not finish in time"
                     : w == SocketWait::kStopped ? "stopped during the TLS handshake"
                                                 : std::string("the TLS handshake failed: ") + std::strerror(errno);
        } else {
            HandshakeFailure(ssl_, step, failure_, reason);
        }
        EndTlsSession(ssl_, ctx_, false);
        return false;
    }
}

IoStep TlsChannel::Send(const char* data, std::size_t size)
{
    ERR_clear_error();
    errno = 0;
    const int n = size > INT_MAX ? INT_MAX : static_cast<int>(size);
    return TlsStep(ssl_, SSL_write(ssl_, data, n), failure_);
}

IoStep TlsChannel::Recv(char* data, std::size_t size)
{
    ERR_clear_error();
    errno = 0;
    const int n = size > INT_MAX ? INT_MAX : static_cast<int>(size);
    return TlsStep(ssl_, SSL_read(ssl_, data, n), failure_);
}

void TlsChannel::Close() { EndTlsSession(ssl_, ctx_, true); }

} // namespace varnell
