// TLS clients: RFC 6125 name checks, RFC 6066 SNI, RFC 7301 ALPN, RFC 7858 pins.
#include "tls/tls_client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
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
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "varnell socket");
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

constexpr char kPinPrefix[] = "sha256/";
constexpr std::size_t kPinPrefixLength = sizeof kPinPrefix - 1;

} // namespace

SSL_CTX* NewTlsClientContext(const std::string& caFile, const std::string& alpn, std::string& reason)
{
    ERR_clear_error();
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (ctx == nullptr) {
        reason = "TLS cannot be set up: " + OpenSslReason();
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    bool ok = true;
    if (caFile.empty()) {
        if (SSL_CTX_set_default_verify_paths(ctx) != 1) {
            reason = "the system's trusted certificates cannot be read";
            ok = false;
        }
    } else if (std::FILE* f = std::fopen(caFile.c_str(), "rb"); f == nullptr) {
        // Told apart from a file that holds no certificate: the operator has
        // to know whether to fix the path or the file.
        reason = "the CA file " + caFile + " cannot be read";
        ok = false;
    } else {
        std::fclose(f);
        if (SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr) != 1) {
            reason = "the CA file " + caFile + " holds no usable certificate";
            ok = false;
        }
    }
    if (ok && !alpn.empty()) {
        // RFC 7301 3.1: a list of length-prefixed names.
        if (alpn.size() > 255) {
            reason = "TLS cannot be set up: the ALPN name is too long";
            ok = false;
        } else {
            std::string wire(1, static_cast<char>(alpn.size()));
            wire += alpn;
            // SSL_CTX_set_alpn_protos returns 0 on success.
            if (SSL_CTX_set_alpn_protos(ctx, reinterpret_cast<const unsigned char*>(wire.data()),
                                        static_cast<unsigned>(wire.size())) != 0) {
                reason = "TLS cannot be set up: " + OpenSslReason();
                ok = false;
            }
        }
    }
    ERR_clear_error();
    if (!ok) {
        SSL_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

SSL* NewTlsClientSession(SSL_CTX* ctx, int fd, const std::string& expected, std::string& reason)
{
    SSL* ssl = SSL_new(ctx);
    BIO* bio = SocketMethod() != nullptr ? BIO_new(SocketMethod()) : nullptr;
    if (ssl == nullptr || bio == nullptr) {
        BIO_free(bio);
        SSL_free(ssl);
        reason = "TLS cannot be set up: " + OpenSslReason();
        return nullptr;
    }
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
    SSL_set_bio(ssl, bio, bio);
    // A name OpenSSL does not take would leave the certificate's name unchecked:
    // the session must end instead. The whole text is handed over, so a NUL
    // inside it cannot shorten the name that is checked.
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    bool named = false;
    if (IsAddress(expected)) {
        named = X509_VERIFY_PARAM_set1_ip_asc(param, expected.c_str()) == 1;
    } else if (!expected.empty()) {
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        named = X509_VERIFY_PARAM_set1_host(param, expected.data(), expected.size()) == 1 &&
                SSL_set_tlsext_host_name(ssl, expected.c_str()) == 1;
    }
    ERR_clear_error();
    if (!named) {
        reason = "the server name cannot be checked against its certificate";
        SSL_free(ssl);
        return nullptr;
    }
    return ssl;
}

void EndTlsSession(SSL*& ssl, SSL_CTX*& ctx, bool notify)
{
    if (ssl != nullptr) {
        if (notify)
            SSL_shutdown(ssl);
        ERR_clear_error();
        SSL_free(ssl);
        ssl = nullptr;
    }
    if (ctx != nullptr) {
        SSL_CTX_free(ctx);
        ctx = nullptr;
    }
}

IoStep TlsStep(SSL* ssl, int rc, std::string& failure)
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

TlsFailure VerifyFailure(long verifyResult)
{
    switch (verifyResult) {
    case X509_V_OK:
        return TlsFailure::kNone;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_CRL_HAS_EXPIRED:
        return TlsFailure::kExpired;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
    case X509_V_ERR_EMAIL_MISMATCH:
        return TlsFailure::kNameMismatch;
    default:
        return TlsFailure::kUntrusted;
    }
}

std::string VerifyFailureText(long verifyResult)
{
    return std::string("the server's certificate is not accepted: ") + X509_verify_cert_error_string(verifyResult);
}

TlsFailure HandshakeFailure(SSL* ssl, const IoStep& step, const std::string& failure, std::string& text)
{
    const long verify = SSL_get_verify_result(ssl);
    if (verify != X509_V_OK) {
        text = VerifyFailureText(verify);
        return VerifyFailure(verify);
    }
    if (step.tls) {
        text = "the TLS handshake failed: " + failure;
        return TlsFailure::kHandshake;
    }
    if (step.bytes == 0) {
        text = "the server closed the connection during the TLS handshake";
        return TlsFailure::kClosed;
    }
    text = std::string("the TLS handshake failed: ") + std::strerror(errno);
    return TlsFailure::kClosed;
}

bool ParseSpkiPin(const std::string& text, SpkiDigest& digest)
{
    if (text.size() <= kPinPrefixLength || text.compare(0, kPinPrefixLength, kPinPrefix) != 0)
        return false;
    const std::string b64 = text.substr(kPinPrefixLength);
    // 32 bytes are 44 Base64 characters with one '=' of padding.
    if (b64.size() != 44 || b64[43] != '=' || b64[42] == '=')
        return false;
    unsigned char out[33] = {};
    if (EVP_DecodeBlock(out, reinterpret_cast<const unsigned char*>(b64.data()), 44) != 33)
        return false;
    std::memcpy(digest.data(), out, digest.size());
    // The padding bits must be zero: each pin has exactly one spelling.
    return SpkiPinText(digest) == text;
}

std::string SpkiPinText(const SpkiDigest& digest)
{
    unsigned char out[45] = {};
    EVP_EncodeBlock(out, digest.data(), static_cast<int>(digest.size()));
    return std::string(kPinPrefix) + reinterpret_cast<const char*>(out);
}

bool SpkiDigestOf(X509* cert, SpkiDigest& digest)
{
    unsigned char* der = nullptr;
    const int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(cert), &der);
    if (length <= 0)
        return false;
    unsigned int size = 0;
    const bool ok = EVP_Digest(der, static_cast<std::size_t>(length), digest.data(), &size, EVP_sha256(), nullptr) == 1 &&
                    size == digest.size();
    OPENSSL_free(der);
    return ok;
}

bool PeerMatchesPin(SSL* ssl, const std::string& pin, std::string& text)
{
    if (pin.empty())
        return true;
    SpkiDigest want{};
    if (!ParseSpkiPin(pin, want)) {
        text = "the pin " + pin + " is not of the form sha256/<base64>";
        return false;
    }
    X509* cert = SSL_get1_peer_certificate(ssl);
    SpkiDigest got{};
    const bool read = cert != nullptr && SpkiDigestOf(cert, got);
    X509_free(cert);
    if (!read) {
        text = "the server's key cannot be read for its pin";
        return false;
    }
    if (got != want) {
        text = "the server's key does not match the pin: it is " + SpkiPinText(got);
        return false;
    }
    return true;
}

std::int64_t PeerCertificateNotAfter(SSL* ssl)
{
    const X509* cert = SSL_get0_peer_certificate(ssl);
    if (cert == nullptr)
        return 0;
    std::tm tm{};
    if (ASN1_TIME_to_tm(X509_get0_notAfter(cert), &tm) != 1)
        return 0;
    return static_cast<std::int64_t>(timegm(&tm));
}

} // namespace varnell
