// TLS clients on OpenSSL 3 for every protocol of the program: the mail session
// (RFC 8314, RFC 3207) and DNS over TLS (RFC 7858). Certificate checks after
// RFC 6125: the chain against the system trust store or the operator's CA
// file, and the expected host name or IP address against the certificate; SNI
// (RFC 6066) for names; TLS 1.2 at least; optionally the SPKI pin of RFC 7858's
// pinned profile (RFC 7469's sha256 of the SubjectPublicKeyInfo).
//
// Verification cannot be switched off. The failure of a handshake is told
// apart by kind (expired, name, untrusted, pin) so that callers can count and
// name them; the text always comes from here, so the mail session and the DNS
// transports describe one certificate problem in the same words.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct x509_st X509;

namespace varnell {

// One step of non-blocking I/O: bytes > 0 moved; bytes == 0 the peer closed;
// bytes < 0 and wait != 0: wait for that poll event and try again; bytes < 0
// and wait == 0: failed (errno, or a TLS failure when tls is set).
struct IoStep {
    long bytes = 0;
    short wait = 0;
    bool tls = false;
};

enum class TlsFailure : std::uint8_t {
    kNone,
    kSetup,        // the context, the CA file or the name could not be set up
    kExpired,      // a certificate of the chain is past its end (or not yet valid)
    kNameMismatch, // the certificate is not for the expected name or address
    kUntrusted,    // the chain does not lead to a trusted CA
    kPinMismatch,  // the chain is fine but the server's key is not the pinned one
    kHandshake,    // any other refusal of the handshake (protocol, ALPN, alert)
    kClosed,       // the server closed or reset during the handshake
};

// A client context: peer verification on, TLS 1.2 at least, trust from caFile
// or (empty) the system store, the ALPN protocol offered when alpn is not
// empty ("dot", "h2"). nullptr with reason on failure.
SSL_CTX* NewTlsClientContext(const std::string& caFile, const std::string& alpn, std::string& reason);

// A session on ctx over the connected non-blocking socket fd that will check
// the certificate against expected (a host name, or an IPv4/IPv6 address in
// text form) and send it as SNI when it is a name. Writes never raise SIGPIPE.
// nullptr with reason when the name cannot be checked.
SSL* NewTlsClientSession(SSL_CTX* ctx, int fd, const std::string& expected, std::string& reason);

// Ends a session: close_notify when notify is set (one attempt, the socket
// being non-blocking), then frees the session and its context and sets both to
// nullptr. The socket stays open for its owner.
void EndTlsSession(SSL*& ssl, SSL_CTX*& ctx, bool notify);

// The outcome of an SSL_connect/read/write return value rc. Empties OpenSSL's
// error queue so that a stale error cannot be blamed on the next call; the
// first error of a failed call is kept in failure.
IoStep TlsStep(SSL* ssl, int rc, std::string& failure);

// Why a handshake step that neither succeeded nor asked to wait failed, and
// the operator's text for it ("the server's certificate is not accepted:
// certificate has expired").
TlsFailure HandshakeFailure(SSL* ssl, const IoStep& step, const std::string& failure, std::string& text);

// The failure kind of an X509 verification result (X509_V_ERR_...).
TlsFailure VerifyFailure(long verifyResult);
// The text of a refused certificate, as HandshakeFailure words it.
std::string VerifyFailureText(long verifyResult);

// SPKI pins: "sha256/" followed by the Base64 of 32 bytes.
using SpkiDigest = std::array<std::uint8_t, 32>;
bool ParseSpkiPin(const std::string& text, SpkiDigest& digest);
std::string SpkiPinText(const SpkiDigest& digest);
// The digest of cert's SubjectPublicKeyInfo; false when it cannot be encoded.
bool SpkiDigestOf(X509* cert, SpkiDigest& digest);
// After a finished handshake: whether the server's certificate carries the
// pinned key (an empty pin always matches). text says why not.
bool PeerMatchesPin(SSL* ssl, const std::string& pin, std::string& text);

// The server certificate's end of validity in seconds since 1970 (UTC); 0 when
// there is no certificate.
std::int64_t PeerCertificateNotAfter(SSL* ssl);

} // namespace varnell
