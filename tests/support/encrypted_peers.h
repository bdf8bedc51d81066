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

// What the two encrypted servers share: a folder with the zone files and a
// plain, a TLS and an HTTPS port on 127.0.0.1.
class EncryptedPeer {
public:
    std::uint16_t Port() const { return port_; }
    std::uint16_t TlsPort() const { return tlsPort_; }
    std::uint16_t HttpsPort() const { return httpsPort_; }
    pid_t Pid() const { return child_.Pid(); }

protected:
    void Prepare(const std::map<std::string, std::string>& zones)
    {
        for (const auto& [name, text] : zones)
            WriteFile(dir_.File(name + ".zone"), text);
        port_ = FreePort(true);
        tlsPort_ = FreePort(false);
        httpsPort_ = FreePort(false);
    }
    bool Launch(const std::vector<std::string>& argv, const std::string& logName)
    {
        return child_.Start(argv, {}, "", dir_.File(logName)) && ServesAll(port_, tlsPort_, httpsPort_);
    }

    TempDir dir_;
    ChildProcess child_;
    std::uint16_t port_ = 0, tlsPort_ = 0, httpsPort_ = 0;
};

class EncryptedUnbound : public EncryptedPeer {
public:
    // cert: the server's certificate and key. Serves zones on 127.0.0.1 over
    // UDP/TCP, TLS and HTTPS, each on a port of its own.
    bool Start(const std::map<std::string, std::string>& zones, const CertFiles& cert)
    {
        Prepare(zones);
        return Launch({"bash", SourceDir() + "/scripts/peers/unbound.sh", "--tls", std::to_string(tlsPort_), "--https",
                       std::to_string(httpsPort_), "--cert", cert.cert, cert.key, dir_.Path(), std::to_string(port_),
                       "127.0.0.1"},
                      "unbound.log");
    }
    std::string Log() { return ReadFile(dir_.File("unbound.log")); }
};

// bind9's named with its "tls" and "http" statements (scripts/peers/named.sh).
class EncryptedNamed : public EncryptedPeer {
public:
    bool Start(const std::map<std::string, std::string>& zones, const CertFiles& cert)
    {
        Prepare(zones);
        return Launch({"bash", SourceDir() + "/scripts/peers/named.sh", dir_.Path(), std::to_string(port_),
                       std::to_string(tlsPort_), std::to_string(httpsPort_), cert.cert, cert.key},
                      "named.log");
    }
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

// Established TCP connections from this machine to 127.0.0.1:port, as ss sees them.
inline int ConnectionsTo(std::uint16_t port)
{
    const auto r = RunProgram({"ss", "-Htn", "state", "established", "dst", "127.0.0.1:" + std::to_string(port)});
    int lines = 0;
    for (char c : r.out)
        lines += c == '\n';
    return lines;
}

// Listens on 127.0.0.1 and never accepts: the kernel completes the TCP
// handshake, and a TLS client then waits for a ServerHello that never comes.
class SilentTcpPort {
public:
    SilentTcpPort() { fd_ = ListenOnLoopback(64, port_); }
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
