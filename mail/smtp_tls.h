// TLS for the mail session: implicit TLS (RFC 8314, the handshake right after
// connect, usually port 465) and STARTTLS (RFC 3207, the handshake after the
// server's 220 to STARTTLS). Set-up, certificate checks and failure texts are
// the ones every TLS client of the program shares (tls/tls_client.h).
//
// Verification cannot be switched off: a session that cannot prove the server
// ends before any credential or message is sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/net/socket_wait.h"
#include "tls/tls_client.h"

namespace varnell {

// The stored values of the "MailSecurity" setting.
enum class SmtpSecurity : std::uint32_t { kPlain = 0, kStartTls = 1, kImplicitTls = 2 };

// Plain socket I/O in the same shape (no SIGPIPE).
IoStep PlainSend(int fd, const char* data, std::size_t size);
IoStep PlainRecv(int fd, char* data, std::size_t size);

class TlsChannel {
public:
    TlsChannel() = default;
    TlsChannel(const TlsChannel&) = delete;
    TlsChannel& operator=(const TlsChannel&) = delete;
    ~TlsChannel();

    // Handshake and verification over a connected non-blocking socket, bounded
    // by timeoutMs and by stop. On failure returns false with reason an
    // operator-readable text (the certificate problem by name, an unreadable
    // CA file, the time-out) and the channel inactive.
    bool Start(int fd, const std::string& server, const std::string& caFile, std::uint32_t timeoutMs,
               const StopCheck& stop, std::string& reason);
    bool Active() const { return ssl_ != nullptr; }
    // OpenSSL's own words for the last failed step ("wrong version number").
    const std::string& Failure() const { return failure_; }

    IoStep Send(const char* data, std::size_t size);
    IoStep Recv(char* data, std::size_t size);
    // Sends close_notify when it goes out at once, and frees the session; the
    // socket stays open for its owner.
    void Close();

private:
    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
    std::string failure_;
};

} // namespace varnell
