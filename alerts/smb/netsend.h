// Network messages: a short text delivered to a pop-up on a receiver computer.
//
// Linux has no messenger service of its own, so the three messenger operations
// are built here on the SMB message protocol that desktop receivers accept:
//   RFC 1001 / RFC 1002  NetBIOS session service over TCP (session request with
//                        first-level encoded called and calling names);
//   SMB core protocol    SMBsendstrt (0xD5), SMBsendtxt (0xD7), SMBsendend (0xD6):
//                        a multi-block message of at most 127 text bytes a block.
// The alias operations are local bookkeeping: the message protocol carries the
// originator name in every message, so nothing has to be announced on the wire.
//
// Every reply byte is read through base/byte_reader.h.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base/net/socket_wait.h"

namespace varnell {

// Results of NetMessageBufferSend, in the messenger service's numbering.
enum NetSendStatus : int {
    kNetSendOk = 0,
    kNetSendBadNetPath = 53,        // receiver unreachable, refused the connection or the session
    kNetSendUnexpected = 59,        // the receiver broke the protocol or hung up
    kNetSendInvalidParameter = 87,  // receiver text is not an IPv4 address, or no text
    kNetSendTimeout = 121,          // no reply within the reply time-out
    kNetSendNotAccepted = 2273,     // the receiver does not accept messages (non-zero SMB status)
};

// Where and how long: the port is 139 in use; tests point it at their own server.
// A dead receiver costs at most the connect time-out, a silent or slow one at
// most the reply time-out, which covers every reply of one message.
struct NetSendOptions {
    std::uint16_t port = 139;
    std::uint32_t connectTimeoutMs = 3000;
    std::uint32_t replyTimeoutMs = 3000;
};
// Process-wide options used by NetMessageBufferSend (set before the worker starts).
void SetNetSendOptions(const NetSendOptions& options);
NetSendOptions GetNetSendOptions();

// Alias bookkeeping. Both return 0; removing an unknown name is not an error.
int NetMessageNameAdd(const std::string& name);
int NetMessageNameDel(const std::string& name);
std::vector<std::string> NetMessageNames();

// Delivers message to the computer whose IPv4 address is the dotted text
// receiver. fromName null: the message is signed with this host's name. Names are
// cut to their first 15 characters. Returns a NetSendStatus. Every wait looks at
// stop: a stopping worker gives up within kStopSliceMs (kNetSendTimeout).
int NetMessageBufferSend(const std::string& receiver, const std::string* fromName, const std::string& message,
                         const StopCheck& stop = {});

// ---- Protocol pieces, exposed for tests and the fuzz target ----

inline constexpr std::size_t kNetbiosNameLength = 15;
inline constexpr std::size_t kSmbTextBlock = 127;
inline constexpr std::uint8_t kSmbSendStart = 0xD5;
inline constexpr std::uint8_t kSmbSendEnd = 0xD6;
inline constexpr std::uint8_t kSmbSendText = 0xD7;

// This host's name as the session's calling name and the default originator.
std::string LocalNetbiosName();

// The 34-byte RFC 1002 encoded name (length 32, 32 letters, empty scope):
// upper-cased, cut to 15, padded with spaces, then the suffix byte.
std::vector<std::uint8_t> EncodeNetbiosName(const std::string& name, std::uint8_t suffix);

// The whole session request packet (type 0x81): called name suffix 0x03,
// calling name suffix 0x00.
std::vector<std::uint8_t> BuildSessionRequest(const std::string& called, const std::string& calling);

// SMB requests, each with its 4-byte session-message header.
std::vector<std::uint8_t> BuildSendStart(const std::string& from, const std::string& to, std::uint16_t mid);
std::vector<std::uint8_t> BuildSendText(std::uint16_t group, std::span<const std::uint8_t> text, std::uint16_t mid);
std::vector<std::uint8_t> BuildSendEnd(std::uint16_t group, std::uint16_t mid);

// A parsed SMB reply (the bytes after the 4-byte session-message header).
struct SmbReply {
    std::uint8_t command = 0;
    std::uint32_t status = 0;   // DOS class in the low byte, code in the upper 16 bits, or NT status
    std::uint16_t mid = 0;
    std::uint8_t wordCount = 0;
    std::uint16_t word0 = 0;    // first parameter word when wordCount > 0 (the message group)
};
// false when the bytes are not a well-formed SMB reply.
bool ParseSmbReply(std::span<const std::uint8_t> bytes, SmbReply& reply);

} // namespace varnell
