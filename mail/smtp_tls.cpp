// TLS for the mail session: RFC 8314, RFC 3207, RFC 6125 name checks, RFC 6066 SNI.
#include "mail/smtp_tls.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <cstdio>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

namespace varnell {

namespace {

int BioFd(BIO* b) { return static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(b))); }

// OpenSSL's own socket BIO writes with write(): a server that hangs up would
// raise SIGPIPE and end the program. This one sends with MSG_NOSIGNAL.
int BioWrite(BIO* b, const char* data, int size)
{
    BIO_clear_retry_flags(b);
    const ssize_t n = ::send(BioFd(b), data, static_cast<std::size_t>(size), MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        BIO_set_retry_write(b);
    return static_cast<int>(n);
}

int BioRead(BIO* b, char* data, int size)
{
    BIO_clear_retry_flags(b);
    const ssize_t n = ::recv(BioFd(b), data, static_cast<std::size_t>(size), 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        BIO_set_retry_read(b);
    return static_cast<int>(n);
}

long BioCtrl(BIO*, int cmd, long, void*) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

int BioCreate(BIO* b)
{
    BIO_set_init(b, 1);
    return 1;
}

const BIO_METHOD* SocketMethod()
{
    // Made once and kept for the life of the process.
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "varnell smtp socket");
        if (m != nullptr) {
            BIO_meth_set_write(m, BioWrite);
            BIO_meth_set_read(m, BioRead);
            BIO_meth_set_ctrl(m, BioCtrl);
            BIO_meth_set_create(m, BioCreate);
        }
        return m;
    }();
    return method;
}

bool IsAddress(const std::string& server)
{
    unsigned char buf[sizeof(in6_addr)];
    return ::inet_pton(AF_INET, server.c_str(), buf) == 1 || ::inet_pton(AF_INET6, server.c_str(), buf) == 1;
}

// The first queued OpenSSL error as text ("wrong version number"); empties the queue.
std::string OpenSslReason()
{
    const unsigned long e = ERR_get_error();
    ERR_clear_error();
    if (e == 0)
        return "no reason given";
    const char* reason = ERR_reason_error_string(e);
    return reason != nullptr ? reason : "error " + std::to_string(ERR_GET_REASON(e));
}

// The queue is emptied after every call so that a stale error cannot be
// blamed on the next one; the first error of a failed call is kept in
// failure first, since it names the cause and whoever reports comes later.
IoStep Step(SSL* ssl, int rc, std::string& failure)
{
    IoStep step;
    if (rc > 0) {
        step.bytes = rc;
        return step;
    }
    step.bytes = -1;
    switch (SSL_get_error(ssl, rc)) {
    case SSL_ERROR_WANT_READ:
        step.wait = POLLIN;
        break;
    case SSL_ERROR_WANT_WRITE:
        step.wait = POLLOUT;
        break;
    case SSL_ERROR_ZERO_RETURN:
        step.bytes = 0;
        break;
    case SSL_ERROR_SYSCALL:
        // errno tells; no errno means the peer closed without close_notify.
        if (errno == 0)
            step.bytes = 0;
        break;
    default:
        step.tls = true;
        break;
    }
    if (step.tls)
        failure = OpenSslReason();
    ERR_clear_error();
    return step;
}

} // namespace

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
    ERR_clear_error();
    failure_.clear();
    ctx_ = SSL_CTX_new(TLS_client_method());
    if (ctx_ == nullptr) {
        reason = "TLS cannot be set up: " + OpenSslReason();
        return false;
    }
    SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
    if (caFile.empty()) {
        if (SSL_CTX_set_default_verify_paths(ctx_) != 1) {
            reason = "the system's trusted certificates cannot be read";
            Close();
            return false;
        }
    } else {
        // Told apart from a file that holds no certificate: the operator has
        // to know whether to fix the path or the file.
        if (std::FILE* f = std::fopen(caFile.c_str(), "rb"); f != nullptr) {
            std::fclose(f);
        } else {
            reason = "the CA file " + caFile + " cannot be read";
            Close();
            return false;
        }
        if (SSL_CTX_load_verify_locations(ctx_, caFile.c_str(), nullptr) != 1) {
            reason = "the CA file " + caFile + " holds no usable certificate";
            ERR_clear_error();
            Close();
            return false;
        }
    }

    ssl_ = SSL_new(ctx_);
    BIO* bio = SocketMethod() != nullptr ? BIO_new(SocketMethod()) : nullptr;
    if (ssl_ == nullptr || bio == nullptr) {
        BIO_free(bio);
        reason = "TLS cannot be set up: " + OpenSslReason();
        Close();
        return false;
    }
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
    SSL_set_bio(ssl_, bio, bio);
    // A name OpenSSL does not take would leave the certificate's name unchecked:
    // the session must end instead. The whole text is handed over, so a NUL
    // inside it cannot shorten the name that is checked.
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl_);
    bool named = false;
    if (IsAddress(server)) {
        named = X509_VERIFY_PARAM_set1_ip_asc(param, server.c_str()) == 1;
    } else {
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        named = X509_VERIFY_PARAM_set1_host(param, server.data(), server.size()) == 1 &&
                SSL_set_tlsext_host_name(ssl_, server.c_str()) == 1;
    }
    if (!named) {
        reason = "the server name cannot be checked against its certificate";
        ERR_clear_error();
        Close();
        return false;
    }

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        errno = 0;
        const int rc = SSL_connect(ssl_);
        if (rc == 1)
            return true;
        const long verify = SSL_get_verify_result(ssl_);
        const IoStep step = Step(ssl_, rc, failure_);
        if (step.wait != 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            const SocketWait w = left <= 0 ? SocketWait::kTimedOut
                                           : WaitForSocket(fd, step.wait, static_cast<std::uint32_t>(left), stop);
            if (w == SocketWait::kReady)
                continue;
            reason = w == SocketWait::kTimedOut  ? "the TLS handshake did not finish in time"
                     : w == SocketWait::kStopped ? "stopped during the TLS handshake"
                                                 : std::string("the TLS handshake failed: ") + std::strerror(errno);
        } else if (verify != X509_V_OK) {
            reason = std::string("the server's certificate is not accepted: ") +
                     X509_verify_cert_error_string(verify);
        } else if (step.tls) {
            reason = "the TLS handshake failed: " + failure_;
        } else if (step.bytes == 0) {
            reason = "the server closed the connection during the TLS handshake";
        } else {
            reason = std::string("the TLS handshake failed: ") + std::strerror(errno);
        }
        ERR_clear_error();
        SSL_free(ssl_);
        ssl_ = nullptr;
        Close();
        return false;
    }
}

IoStep TlsChannel::Send(const char* data, std::size_t size)
{
    ERR_clear_error();
    errno = 0;
    const int n = size > INT_MAX ? INT_MAX : static_cast<int>(size);
    return Step(ssl_, SSL_write(ssl_, data, n), failure_);
}

IoStep TlsChannel::Recv(char* data, std::size_t size)
{
    ERR_clear_error();
    errno = 0;
    const int n = size > INT_MAX ? INT_MAX : static_cast<int>(size);
    return Step(ssl_, SSL_read(ssl_, data, n), failure_);
}

void TlsChannel::Close()
{
    if (ssl_ != nullptr) {
        // One attempt: the socket is non-blocking and the session is ending.
        SSL_shutdown(ssl_);
        ERR_clear_error();
        SSL_free(ssl_);
        ssl_ = nullptr;
    }
    if (ctx_ != nullptr) {
        SSL_CTX_free(ctx_);
        ctx_ = nullptr;
    }
}

} // namespace varnell
