// A real unbound on loopback for the engine's integration tests: zone files are
// written into a temporary folder and scripts/peers/unbound.sh serves each of
// them on the given addresses and a free port.
#pragma once

#include <arpa/inet.h>
#include <chrono>
#include <map>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "tests/support/process.h"

namespace varnell::test {

// A zone file for origin ("test."): the SOA and NS records every zone needs,
// then the records of the test.
inline std::string ZoneText(const std::string& origin, const std::string& records)
{
    return "$ORIGIN " + origin + "\n$TTL 300\n@ IN SOA ns." + origin + " hostmaster." + origin +
           " 1 3600 600 86400 300\n@ IN NS ns." + origin + "\n" + records;
}

// A query for "ns.test A" with the given id, as bytes.
inline std::vector<std::uint8_t> ProbeQuery(std::uint16_t id)
{
    std::vector<std::uint8_t> q = {static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id), 0, 0, 0, 1, 0,
                                   0, 0, 0, 0, 0, 2, 'n', 's', 4, 't', 'e', 's', 't', 0, 0, 1, 0, 1};
    return q;
}

// True when this machine has the IPv6 loopback address (::1) to serve and
// probe on; the tests that need it are skipped without it.
inline bool HaveIpv6Loopback()
{
    const int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    const bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (fd >= 0)
        close(fd);
    return ok;
}
inline constexpr const char* kNoIpv6Loopback = "no IPv6 loopback address (::1) on this machine";

// True once addr:port (IPv4 or IPv6) answers a query within the time limit.
inline bool DnsAnswers(const std::string& addr, std::uint16_t port, std::chrono::milliseconds limit)
{
    sockaddr_in6 to6{};
    sockaddr_in to4{};
    const bool v6 = inet_pton(AF_INET6, addr.c_str(), &to6.sin6_addr) == 1;
    to6.sin6_family = AF_INET6;
    to6.sin6_port = htons(port);
    to4.sin_family = AF_INET;
    to4.sin_port = htons(port);
    inet_pton(AF_INET, addr.c_str(), &to4.sin_addr);
    const auto* to = v6 ? reinterpret_cast<const sockaddr*>(&to6) : reinterpret_cast<const sockaddr*>(&to4);
    const socklen_t toLength = v6 ? sizeof to6 : sizeof to4;
    const int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    timeval tv{0, 100000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::uint16_t id = 0x5A00;
    const bool ok = WaitFor(
        [&] {
            const auto q = ProbeQuery(++id);
            sendto(fd, q.data(), q.size(), 0, to, toLength);
            std::uint8_t reply[512];
            return recv(fd, reply, sizeof reply, 0) >= 12;
        },
        limit, std::chrono::milliseconds(10));
    close(fd);
    return ok;
}

class UnboundPeer {
public:
    // zones: zone name (without the final dot) -> zone file text.
    bool Start(const std::map<std::string, std::string>& zones, std::vector<std::string> addresses = {"127.0.0.1"},
               std::uint16_t port = 0)
    {
        for (const auto& [name, text] : zones)
            WriteFile(dir_.File(name + ".zone"), text);
        addresses_ = addresses;
        // A port chosen here may still be taken by someone else before
        // unbound binds it; unbound then exits at once, and another port is tried.
        const bool ourPick = port == 0;
        for (int attempt = 0; attempt < 3; ++attempt) {
            port_ = ourPick ? FreePort(true) : port;
            if (RunOnPort())
                return true;
            if (!ourPick || child_.Running())
                return false;
        }
        return false;
    }
    // Rewrites zones and starts again on the same port.
    bool Restart(const std::map<std::string, std::string>& zones)
    {
        Stop();
        return Start(zones, addresses_, port_);
    }
    void Stop() { child_.Stop(); }
    std::uint16_t Port() const { return port_; }
    std::string Log() { return ReadFile(dir_.File("unbound.log")); }

private:
    bool RunOnPort()
    {
        std::vector<std::string> argv = {"bash", SourceDir() + "/scripts/peers/unbound.sh", dir_.Path(),
                                         std::to_string(port_)};
        for (const auto& a : addresses_)
            argv.push_back(a);
        if (!child_.Start(argv, {}, "", dir_.File("unbound.log")))
            return false;
        for (const auto& a : addresses_)
            if (!WaitFor([&] { return !child_.Running() || DnsAnswers(a, port_, std::chrono::milliseconds(300)); },
                         std::chrono::seconds(15)) ||
                !child_.Running())
                return false;
        return true;
    }

    TempDir dir_;
    ChildProcess child_;
    std::uint16_t port_ = 0;
    std::vector<std::string> addresses_;
};

} // namespace varnell::test
