// Peers for DNS over TLS and HTTPS, on loopback and free ports, with
// certificates from a CA made at test time (tests/support/pki.h): unbound
// serving plain DNS, DoT and DoH at once (scripts/peers/unbound.sh), a broken
// DoH front end (scripts/peers/doh_front.py), and a TCP port that accepts and
// never says a word.
#pragma once

#include <arpa/inet.h>
#include <chrono>
#include <map>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "tests/support/pki.h"
#include "tests/support/process.h"
#include "tests/support/unbound_peer.h"

namespace varnell::test {

// The name every test certificate of a good server carries beside 127.0.0.1.
inline constexpr const char* kDnsServerName = "dns.varnell.test";

// True once plain DNS answers on port and the TLS and HTTPS ports accept.
inline bool ServesAll(std::uint16_t port, std::uint16_t tlsPort, std::uint16_t httpsPort)
{
    return DnsAnswers("127.0.0.1", port, std::chrono::seconds(15)) &&
           WaitFor([&] { return TcpPortOpen(tlsPort) && TcpPortOpen(httpsPort); }, std::chrono::seconds(15));
}

class EncryptedUnbound {
public:
    // cert: the server's certificate and key. Serves zones on 127.0.0.1 over
    // UDP/TCP, TLS and HTTPS, each on a port of its own.
    bool Start(const std::map<std::string, std::string>& zones, const CertFiles& cert)
    {
        for (const auto& [name, text] : zones)
            WriteFile(dir_.File(name + ".zone"), text);
        port_ = FreePort(true);
        tlsPort_ = FreePort(false);
        httpsPort_ = FreePort(false);
        const std::vector<std::string> argv = {"bash",           SourceDir() + "/scripts/peers/unbound.sh",
                                               "--tls",          std::to_string(tlsPort_),
                                               "--https",        std::to_string(httpsPort_),
                                               "--cert",         cert.cert,
                                               cert.key,         dir_.Path(),
                                               std::to_string(port_), "127.0.0.1"};
        if (!child_.Start(argv, {}, "", dir_.File("unbound.log")))
            return false;
        return ServesAll(port_, tlsPort_, httpsPort_);
    }
    std::uint16_t Port() const { return port_; }
    std::uint16_t TlsPort() const { return tlsPort_; }
    std::uint16_t HttpsPort() const { return httpsPort_; }
    std::string Log() { return ReadFile(dir_.File("unbound.log")); }
    pid_t Pid() const { return child_.Pid(); }

private:
    TempDir dir_;
    ChildProcess child_;
    std::uint16_t port_ = 0, tlsPort_ = 0, httpsPort_ = 0;
};

// bind9's named with its "tls" and "http" statements (scripts/peers/named.sh).
class EncryptedNamed {
public:
    bool Start(const std::map<std::string, std::string>& zones, const CertFiles& cert)
    {
        for (const auto& [name, text] : zones)
            WriteFile(dir_.File(name + ".zone"), text);
        port_ = FreePort(true);
        tlsPort_ = FreePort(false);
        httpsPort_ = FreePort(false);
        if (!child_.Start({"bash", SourceDir() + "/scripts/peers/named.sh", dir_.Path(), std::to_string(port_),
                           std::to_string(tlsPort_), std::to_string(httpsPort_), cert.cert, cert.key},
                          {}, "", dir_.File("named.log")))
            return false;
        return ServesAll(port_, tlsPort_, httpsPort_);
    }
    std::uint16_t Port() const { return port_; }
    std::uint16_t TlsPort() const { return tlsPort_; }
    std::uint16_t HttpsPort() const { return httpsPort_; }

private:
    TempDir dir_;
    ChildProcess child_;
    std::uint16_t port_ = 0, tlsPort_ = 0, httpsPort_ = 0;
};

// mode: "status500", "wrongtype" or "notanswer" (scripts/peers/doh_front.py).
class DohFrontPeer {
public:
    bool Start(const CertFiles& cert, const std::string& mode)
    {
        port_ = FreePort(false);
        if (!child_.Start({"python3", SourceDir() + "/scripts/peers/doh_front.py", std::to_string(port_), cert.cert,
                           cert.key, mode}))
            return false;
        return WaitFor([&] { return TcpPortOpen(port_); }, std::chrono::seconds(15));
    }
    std::uint16_t Port() const { return port_; }

private:
    ChildProcess child_;
    std::uint16_t port_ = 0;
};

// Listens on 127.0.0.1 and never accepts: the kernel completes the TCP
// handshake, and a TLS client then waits for a ServerHello that never comes.
class SilentTcpPort {
public:
    SilentTcpPort()
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd_, 64) == 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length) == 0)
            port_ = ntohs(a.sin_port);
    }
    ~SilentTcpPort()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    std::uint16_t Port() const { return port_; }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

} // namespace varnell::test
