// The syslog sender: one UDP datagram per event and server in the BSD syslog
// format of RFC 3164 (section 4.1.1 PRI), "<PRI>SEQ:  MESSAGE", with
// PRI = facility * 8 + severity. There is no header timestamp or host name:
// the sequence number identifies the datagram to the operator.
//
// The socket, the sequence counter and the destination port are process-wide
// and touched only on the user-interface thread (the dispatch and the Syslog
// page's test button).
#pragma once

#include <cstdint>
#include <string>

namespace varnell {

inline constexpr std::uint16_t kSyslogPort = 514;
// The datagram with a terminator fits in this many bytes; longer texts are cut.
inline constexpr std::size_t kSyslogDatagramLimit = 2888;
inline constexpr int kSyslogTestFacility = 10; // "auth"
inline constexpr int kSyslogTestSeverity = 5;  // "Notice"

// Creates the syslog socket: IPv4 UDP, broadcast allowed, bound to any address
// and a port the system picks, 131072-byte send and receive buffers. Returns
// 0, or -1 when no socket could be made, -2 when it could not be bound (the
// socket is still kept: the first send binds it).
int OpenSyslogSocket();
void CloseSyslogSocket();
int SyslogSocket();

// Destination port of every datagram (tests point it at a free port).
void SetSyslogPort(std::uint16_t port);
std::uint16_t SyslogPort();

// "<PRI>SEQ:  text", cut to kSyslogDatagramLimit - 1 bytes.
std::string FormatSyslogDatagram(int facility, int severity, int sequence, const std::string& message);

// Sends one datagram to addressBE:port. timeText is accepted for the callers'
// sake and not sent. Returns the send's result (bytes sent or -1); callers
// ignore it.
long SendSyslog(int socket, int facility, int severity, int sequence, const std::string& timeText,
                const std::string& message, std::uint32_t addressBE, std::uint16_t port);

// The sequence counter starts at 1; each datagram takes the current value.
int NextSyslogSequence();
void ResetSyslogSequence(); // back to 1 (tests)

// The event send: one datagram to each configured server, in list order,
// with the facility and severity of the General flags.
void SendSyslogEvent(const std::string& text, const std::string& timeText);
// The Syslog page's test: facility 10, severity 5, to the given servers.
void SendSyslogTest(const std::string& text, const std::uint32_t* serversBE, std::size_t count);

} // namespace varnell
