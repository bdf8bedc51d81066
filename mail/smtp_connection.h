// The mail client's SMTP session over one TCP connection (IPv4): RFC 5321
// (greeting, HELO/EHLO, MAIL, RCPT, DATA, QUIT; reply lines of section 4.2),
// SMTP authentication (RFC 4954) with the LOGIN mechanism or PLAIN (RFC 4616),
// whose lines are Base64 (RFC 4648), and TLS (mail/smtp_tls.h): STARTTLS
// (RFC 3207) or implicit TLS (RFC 8314). With a TLS mode chosen nothing but
// EHLO and STARTTLS is ever sent before the server's certificate is verified.
//
// Every call blocks its thread: the mail worker runs one session per mail.
// Failures are values: each operation returns 1 or 0 and leaves GetLastError()
// and, for a refused or cut-off reply, GetLastCommandResponse().
//
// Credentials never leave this file except Base64-encoded on the socket; the
// client writes no log of its own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/net/line_buffer.h"
#include "base/net/socket_wait.h"
#include "mail/smtp_message.h"
#include "mail/smtp_tls.h"

namespace varnell {

// The client's own last-error values, the same on every platform. Socket
// failures that are none of these leave the platform's errno value.
inline constexpr int kSmtpErrCommandRefused = 22;      // a refused MAIL/RCPT/DATA/end of data, or QUIT not 221
inline constexpr int kSmtpErrInvalidArgument = 10022;  // host name not resolvable, credentials too long
inline constexpr int kSmtpErrUnexpectedReply = 10043;  // greeting, HELO, EHLO or logon answered with another code
inline constexpr int kSmtpErrTimedOut = 10060;         // no complete reply in time
inline constexpr int kSmtpErrStopped = 20001;          // the owner asked the session to stop
inline constexpr int kSmtpErrTls = 20002;              // TLS could not be set up or verified (see GetFailureReason)
inline constexpr int kSmtpErrNoStartTls = 20003;       // STARTTLS chosen, the server does not offer it

// Session states. Only SetState() changes them.
//   kClosed     no socket
//   kSocketOpen socket created, not connected yet
//   kConnected  TCP connection up; QUIT is owed before closing
//   kBroken     the peer closed or the socket failed; closing without QUIT
enum class SmtpState { kClosed, kSocketOpen, kConnected, kBroken };

// A recipient the server would not take, and its reply on one line.
struct RefusedRecipient {
    std::string address;
    std::string reply;
};

// "a@example.org (550 no such user), b@example.org (451 try later)".
std::string DescribeRefused(const std::vector<RefusedRecipient>& refused);

class CSMTPConnection {
public:
    CSMTPConnection() = default;
    CSMTPConnection(const CSMTPConnection&) = delete;
    CSMTPConnection& operator=(const CSMTPConnection&) = delete;
    // Ends a session still open with QUIT, then closes the socket.
    virtual ~CSMTPConnection();

    // Connects to a dotted IPv4 address or host name and greets with HELO.
    int Connect(const std::string& server, std::uint16_t port = 25);
    // Connects, greets with EHLO and logs on: AUTH LOGIN when the server
    // offers it or names no mechanism, AUTH PLAIN when it offers only PLAIN.
    int ConnectWithLogon(const std::string& server, std::uint16_t port, const std::string& user,
                         const std::string& password);
    // Sends one message over the open session; high priority adds the priority
    // lines. Recipients answered 250 or 251 get it; the others are left out and
    // listed by GetRefusedRecipients. Fails when nobody was accepted.
    int SendMail(const CSMTPMessage& message, bool highPriority);
    // QUIT when connected, then closes the socket. 1 only when QUIT got 221.
    int Disconnect();

    // Takes over a socket already connected to a server whose greeting has
    // not been read (a transport set up elsewhere; the fuzz target uses a
    // socket pair). The connection owns and closes it from then on.
    int AdoptConnectedSocket(int fd);

    std::string GetLastCommandResponse() const { return lastResponse_; }
    // Why the last operation failed, in words for the operator: the TLS or
    // certificate problem, the time-out, or the server's refusing reply.
    // Never holds a credential.
    std::string GetFailureReason() const;
    int GetLastError() const { return lastError_; }
    // Whether the failed operation may work later: a 4xx reply (to every
    // recipient, when all were refused), a refused, broken or timed-out
    // connection. A 5xx reply, a TLS or name problem is final.
    bool FailureIsTemporary() const;
    // The recipients the last SendMail left out.
    const std::vector<RefusedRecipient>& GetRefusedRecipients() const { return refused_; }
    // Whether this session sent a user name and password without TLS.
    bool LogonSentInClear() const { return clearLogon_; }
    int GetLastReplyCode() const { return lastReplyCode_; }
    bool IsConnected() const { return state_ == SmtpState::kConnected; }
    SmtpState GetState() const { return state_; }

    // Reads one complete reply (all its lines) and compares its code with
    // `expected`: 1 when equal; otherwise 0 with last error 10043 and the reply
    // kept as the last response.
    int ReadCommandResponse(int expected);
    // As ReadCommandResponse, but whole replies coded 250 are passed over
    // first (an EHLO answer may still be arriving when AUTH LOGIN is sent).
    int ReadResponseSkipping250(int expected);

    // Give up on a reply when nothing arrived for this long (also bounds the
    // connect and every send).
    std::uint32_t replyTimeoutMs = 18000;
    // Longest single wait for the socket before the time-out is checked again.
    std::uint32_t pollWaitMs = 8000;
    // Looked at during every wait: a stopping worker abandons the session
    // (closed without QUIT) within kStopSliceMs.
    StopCheck stopRequested;
    // Set before connecting. The CA file (PEM) replaces the system trust
    // store when not empty.
    SmtpSecurity security = SmtpSecurity::kPlain;
    std::string caFile;

    // Reply buffer: a reply line of more than kReplyBufferSize - 1 bytes with
    // its line end never completes and ends in the time-out.
    static constexpr std::size_t kReplyBufferSize = 1000;
    // A reply with more lines than this is handled like an over-long line, so a
    // server cannot keep the client reading forever.
    static constexpr int kMaxReplyLines = 100;
    // Replies coded 250 passed over while waiting for another code.
    static constexpr int kMaxSkippedReplies = 100;

private:
    enum class ReadStatus { kComplete, kTimedOut, kSocketError };

    void SetState(SmtpState next);
    int OpenSession(const std::string& server, std::uint16_t port);
    int FailAndQuit();
    int FailTls(int error, std::string reason);
    bool StartTls();
    int Ehlo();
    int Logon(const std::string& user, const std::string& password);
    bool SendText(std::string_view text);
    int StepError(const IoStep& step);
    ReadStatus ReadReply(std::string& text);
    // alternative: a second code that counts as success (0: none).
    int CheckReply(ReadStatus status, const std::string& text, int expected, int alternative = 0);
    int ReadExpecting(int expected, int alternative);
    int Transaction(const std::string& line, int expected, int alternative = 0);

    int socket_ = -1;
    SmtpState state_ = SmtpState::kClosed;
    std::string lastResponse_;
    int lastError_ = 0;
    int lastReplyCode_ = 0;
    // The last error of the step that failed the greeting or logon, which the
    // QUIT after it overwrites.
    int failedStepError_ = 0;
    std::vector<RefusedRecipient> refused_;
    bool everyRecipientRefused_ = false;
    bool clearLogon_ = false;
    std::string localHost_;
    std::string server_;
    // The EHLO reply lines (capabilities); emptied by the TLS handshake.
    std::string ehloReply_;
    std::string lastReplyText_; // the whole last reply, accepted or not
    std::string tlsReason_;
    TlsChannel tls_;
    // Bytes received after the end of the last reply; read first by the next one.
    LineBuffer pending_{"\r\n", kReplyBufferSize - 2};
};

// The code of one reply line: its first three characters as a decimal number
// ("2501" gives 250), 0 when they are not three digits.
int ParseReplyCode(std::string_view line);
// True when the line ends its reply: every line but the last carries a "-"
// right after the code (RFC 5321 section 4.2.1).
bool IsFinalReplyLine(std::string_view line);
// Whether an EHLO reply announces keyword ("STARTTLS", "AUTH") as the first
// word of one of its lines; case does not matter.
bool EhloOffers(std::string_view reply, std::string_view keyword);
// Whether an EHLO reply's AUTH line (or the older "AUTH=" form) lists mechanism.
bool EhloOffersAuth(std::string_view reply, std::string_view mechanism);

} // namespace varnell
