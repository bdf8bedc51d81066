#include "alerts/syslog.h"

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "config/settings.h"

namespace varnell {

namespace {

constexpr int kSyslogBufferBytes = 131072;

// Atomics only so that a test thread and a stray caller cannot race; the
// system itself uses these from the user-interface thread alone.
std::atomic<int> gSocket{-1};
std::atomic<std::uint16_t> gPort{kSyslogPort};
std::atomic<std::uint32_t> gSequence{1};

} // namespace

int OpenSyslogSocket()
{
    if (gSocket.load() >= 0)
        return 0;
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (s < 0)
        return -1;
    int on = 1;
    int size = kSyslogBufferBytes;
    ::setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    ::setsockopt(s, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = 0;
    int rc = ::bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 ? 0 : -2;
    gSocket.store(s);
    return rc;
}

void CloseSyslogSocket()
{
    int s = gSocket.exchange(-1);
    if (s >= 0)
        ::close(s);
}

int SyslogSocket() { return gSocket.load(); }

void SetSyslogPort(std::uint16_t port) { gPort.store(port); }
std::uint16_t SyslogPort() { return gPort.load(); }

std::string FormatSyslogDatagram(int facility, int severity, int sequence, const std::string& message)
{
    char head[48];
    int n = std::snprintf(head, sizeof head, "<%d>%d:  ", facility * 8 + severity, sequence);
    std::string datagram(head, n > 0 ? static_cast<std::size_t>(n) : 0);
    // A long address-change text must not overrun the datagram: it is cut.
    std::size_t room = kSyslogDatagramLimit - 1 - datagram.size();
    datagram.append(message, 0, message.size() < room ? message.size() : room);
    return datagram;
}

long SendSyslog(int socket, int facility, int severity, int sequence, const std::string& /*timeText*/,
                const std::string& message, std::uint32_t addressBE, std::uint16_t port)
{
    std::string datagram = FormatSyslogDatagram(facility, severity, sequence, message);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = addressBE;
    to.sin_port = htons(port);
    return static_cast<long>(::sendto(socket, datagram.data(), datagram.size(), MSG_NOSIGNAL,
                                      reinterpret_cast<const sockaddr*>(&to), sizeof to));
}

int NextSyslogSequence()
{
    // Wraps like the 32-bit counter it is, without signed overflow.
    return static_cast<int>(gSequence.fetch_add(1));
}

void ResetSyslogSequence() { gSequence.store(1); }

void SendSyslogEvent(const std::string& text, const std::string& timeText)
{
    const Settings& s = CurrentSettings();
    int facility = static_cast<int>(s.general.Facility());
    int severity = static_cast<int>(s.general.Severity());
    for (std::uint32_t server : s.syslog.servers)
        SendSyslog(SyslogSocket(), facility, severity, NextSyslogSequence(), timeText, text, server, SyslogPort());
}

void SendSyslogTest(const std::string& text, const std::uint32_t* serversBE, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        SendSyslog(SyslogSocket(), kSyslogTestFacility, kSyslogTestSeverity, NextSyslogSequence(), "", text,
                   serversBE[i], SyslogPort());
}

} // namespace varnell
