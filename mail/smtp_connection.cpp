// SMTP session: RFC 5321, AUTH LOGIN and PLAIN after RFC 4954 and RFC 4616,
// Base64 after RFC 4648, STARTTLS after RFC 3207, implicit TLS after RFC 8314.
#include "mail/smtp_connection.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "base/byte_reader.h"
#include "base/net/socket_helpers.h"
#include "mail/base64.h"

namespace varnell {

namespace {

using Clock = std::chrono::steady_clock;

std::uint32_t MsSince(Clock::time_point t)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
    return ms < 0 ? 0u : ms > 0xFFFFFFFFll ? 0xFFFFFFFFu : static_cast<std::uint32_t>(ms);
}

// The name HELO/EHLO announces.
std::string GreetingName()
{
    std::string name = StripLineBreaks(LocalHostName());
    return name.empty() ? std::string("localhost") : name;
}

// The last error a wait that did not end ready leaves.
int WaitError(SocketWait wait)
{
    return wait == SocketWait::kTimedOut ? kSmtpErrTimedOut : wait == SocketWait::kStopped ? kSmtpErrStopped : errno;
}

// Longest Base64 credential line the logon sends (a 1000-byte line buffer
// less the line end and terminator).
constexpr std::size_t kMaxCredentialLine = 997;

} // namespace

int ParseReplyCode(std::string_view line)
{
    ByteReader reader(line.data(), line.size());
    int code = 0;
    for (int i = 0; i < 3; ++i) {
        std::uint8_t c = 0;
        if (!reader.ReadU8(c) || c < '0' || c > '9')
            return 0;
        code = code * 10 + (c - '0');
    }
    return code;
}

bool IsFinalReplyLine(std::string_view line)
{
    ByteReader reader(line.data(), line.size());
    std::uint8_t c = 0;
    return !reader.PeekU8(3, c) || c != '-';
}

namespace {

bool SameWord(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
           });
}

// Calls f(words) for each line of the reply, the code and its separator cut off.
template <class F>
bool AnyLine(std::string_view reply, F f)
{
    while (!reply.empty()) {
        const std::size_t end = std::min(reply.find("\r\n"), reply.size());
        std::string_view line = reply.substr(0, end);
        reply.remove_prefix(std::min(end + 2, reply.size()));
        if (line.size() <= 4)
            continue;
        std::vector<std::string_view> words;
        line.remove_prefix(4);
        while (!line.empty()) {
            const std::size_t sp = std::min(line.find_first_of(" ="), line.size());
            if (sp > 0)
                words.push_back(line.substr(0, sp));
            line.remove_prefix(std::min(sp + 1, line.size()));
        }
        if (!words.empty() && f(words))
            return true;
    }
    return false;
}

} // namespace

bool EhloOffers(std::string_view reply, std::string_view keyword)
{
    return AnyLine(reply, [&](const std::vector<std::string_view>& words) { return SameWord(words[0], keyword); });
}

bool EhloOffersAuth(std::string_view reply, std::string_view mechanism)
{
    return AnyLine(reply, [&](const std::vector<std::string_view>& words) {
        return SameWord(words[0], "AUTH") &&
               std::any_of(words.begin() + 1, words.end(), [&](std::string_view w) { return SameWord(w, mechanism); });
    });
}

CSMTPConnection::~CSMTPConnection()
{
    Disconnect();
}

void CSMTPConnection::SetState(SmtpState next)
{
    if (next == SmtpState::kClosed && socket_ >= 0) {
        tls_.Close();
        ::close(socket_);
        socket_ = -1;
        pending_.Clear();
    }
    state_ = next;
}

int CSMTPConnection::OpenSession(const std::string& server, std::uint16_t port)
{
    if (state_ != SmtpState::kClosed) {
        lastError_ = EISCONN;
        return 0;
    }
    failedStepError_ = 0;
    clearLogon_ = false;
    socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (socket_ < 0) {
        lastError_ = errno;
        return 0;
    }
    SetState(SmtpState::kSocketOpen);

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (!LookUpIPv4(server, addr.sin_addr.s_addr)) {
        lastError_ = kSmtpErrInvalidArgument;
        SetState(SmtpState::kClosed);
        return 0;
    }
    int connectError = 0;
    const SocketWait connected = ConnectWithin(socket_, addr, replyTimeoutMs, stopRequested, connectError);
    if (connected != SocketWait::kReady) {
        lastError_ = connected == SocketWait::kError ? connectError : WaitError(connected);
        SetState(SmtpState::kClosed);
        return 0;
    }
    SetState(SmtpState::kConnected);
    server_ = server;
    ehloReply_.clear();

    if (security == SmtpSecurity::kImplicitTls && !StartTls())
        return 0;
    if (!ReadCommandResponse(220))
        return FailAndQuit();
    localHost_ = GreetingName();
    if (security == SmtpSecurity::kStartTls) {
        if (!Ehlo())
            return FailAndQuit();
        if (!EhloOffers(ehloReply_, "STARTTLS"))
            return FailTls(kSmtpErrNoStartTls, "the server does not offer STARTTLS");
        if (!SendText("STARTTLS\r\n") || !ReadCommandResponse(220))
            return FailAndQuit();
        // RFC 3207 section 4.2: what the server said in the clear is forgotten,
        // bytes already sent after its 220 included (they could only be an
        // injection by someone on the path).
        pending_.Clear();
        ehloReply_.clear();
        if (!StartTls())
            return 0;
    }
    return 1;
}

// The handshake on the connected socket. A failure leaves the stream in no
// state to carry SMTP: the session is closed without QUIT.
bool CSMTPConnection::StartTls()
{
    std::string reason;
    if (tls_.Start(socket_, server_, caFile, replyTimeoutMs, stopRequested, reason))
        return true;
    lastError_ = stopRequested && stopRequested() ? kSmtpErrStopped : kSmtpErrTls;
    tlsReason_ = std::move(reason);
    lastResponse_.clear();
    SetState(SmtpState::kClosed);
    return false;
}

// Ends a session that must not go on (no STARTTLS on offer): QUIT in the clear
// is harmless, and the reason stays what it was.
int CSMTPConnection::FailTls(int error, std::string reason)
{
    Disconnect();
    lastError_ = error;
    tlsReason_ = std::move(reason);
    return 0;
}

int CSMTPConnection::Ehlo()
{
    if (!SendText("EHLO " + localHost_ + "\r\n") || !ReadCommandResponse(250))
        return 0;
    ehloReply_ = lastReplyText_;
    return 1;
}

std::string CSMTPConnection::GetFailureReason() const
{
    switch (lastError_) {
    case 0:
        return {};
    case kSmtpErrTls:
    case kSmtpErrNoStartTls:
        return tlsReason_;
    case kSmtpErrStopped:
        return "stopped";
    case kSmtpErrTimedOut:
        return "the mail server did not answer in time";
    case kSmtpErrInvalidArgument:
        return "the mail server's name cannot be resolved, or the logon is too long";
    case kSmtpErrUnexpectedReply:
    case kSmtpErrCommandRefused:
        if (everyRecipientRefused_)
            return "the mail server refused every recipient: " + DescribeRefused(refused_);
        return "the mail server answered: " + StripLineBreaks(lastResponse_);
    default:
        return std::strerror(lastError_);
    }
}

int CSMTPConnection::AdoptConnectedSocket(int fd)
{
    if (state_ != SmtpState::kClosed || fd < 0) {
        lastError_ = fd < 0 ? EBADF : EISCONN;
        return 0;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        lastError_ = errno;
        return 0;
    }
    socket_ = fd;
    SetState(SmtpState::kConnected);
    return 1;
}

// A failure during the greeting or logon: QUIT (when the link still stands)
// and close. The last error is whatever the QUIT exchange leaves, but the last
// response stays the reply that failed: it is the one worth showing.
int CSMTPConnection::FailAndQuit()
{
    failedStepError_ = lastError_;
    const std::string failedReply = lastResponse_;
    Disconnect();
    lastResponse_ = failedReply;
    return 0;
}

int CSMTPConnection::Connect(const std::string& server, std::uint16_t port)
{
    if (!OpenSession(server, port))
        return 0;
    // After STARTTLS, RFC 3207 asks for EHLO again; HELO otherwise, as ever.
    const bool ok = security == SmtpSecurity::kStartTls ? Ehlo() != 0
                                                        : SendText("HELO " + localHost_ + "\r\n") && ReadCommandResponse(250);
    return ok ? 1 : FailAndQuit();
}

int CSMTPConnection::ConnectWithLogon(const std::string& server, std::uint16_t port, const std::string& user,
                                      const std::string& password)
{
    if (!OpenSession(server, port))
        return 0;
    if (!Ehlo())
        return FailAndQuit();
    return Logon(user, password);
}

int CSMTPConnection::Logon(const std::string& user, const std::string& password)
{
    // LOGIN wherever it may work (servers that list no mechanism took it
    // before); PLAIN only for a server that names PLAIN and not LOGIN.
    const bool plain = EhloOffersAuth(ehloReply_, "PLAIN") && !EhloOffersAuth(ehloReply_, "LOGIN");
    // Every line is built, and its length checked, before AUTH goes out: once
    // the server has asked for a line, anything else is read as that line.
    std::vector<std::string> lines;
    if (plain) {
        // RFC 4616: authorization identity (empty), NUL, user, NUL, password.
        lines.push_back("AUTH PLAIN " + Base64Encode(std::string(1, '\0') + user + std::string(1, '\0') + password));
    } else {
        lines = {"AUTH LOGIN", Base64Encode(user), Base64Encode(password)};
    }
    for (const std::string& line : lines) {
        if (line.size() > kMaxCredentialLine) {
            lastError_ = kSmtpErrInvalidArgument;
            return FailAndQuit();
        }
    }
    // The 334 challenges are not decoded: servers word them differently and
    // the order (user name, then password) is fixed by the mechanism.
    const int expected[] = {plain ? 235 : 334, 334, 235};
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (plain || i > 0)
            clearLogon_ = clearLogon_ || !tls_.Active(); // a secret goes out readable
        // The first reply may still be preceded by 250 lines of the EHLO answer.
        if (!SendText(lines[i] + "\r\n") ||
            !(i == 0 ? ReadResponseSkipping250(expected[i]) : ReadCommandResponse(expected[i])))
            return FailAndQuit();
    }
    return 1;
}

int CSMTPConnection::SendMail(const CSMTPMessage& message, bool highPriority)
{
    refused_.clear();
    everyRecipientRefused_ = false;
    failedStepError_ = 0;
    if (state_ != SmtpState::kConnected) {
        lastError_ = ENOTCONN;
        return 0;
    }
    // Envelope addresses come from the settings: a line break in one would
    // smuggle in a command of its own.
    if (!Transaction("MAIL FROM:<" + StripLineBreaks(message.from.emailAddress) + ">\r\n", 250))
        return 0;
    // RFC 5321 section 3.4: 251 (will forward) accepts as 250 does; a refused
    // recipient costs only that recipient the mail.
    int accepted = 0;
    std::string temporaryRefusal;
    for (int i = 0; i < message.GetNumberOfRecipients(); ++i) {
        const std::string address = StripLineBreaks(message.GetRecipient(i).emailAddress);
        if (Transaction("RCPT TO:<" + address + ">\r\n", 250, 251)) {
            ++accepted;
            continue;
        }
        if (lastError_ != kSmtpErrCommandRefused)
            return 0; // the link failed, not the recipient
        refused_.push_back({address, StripLineBreaks(lastResponse_)});
        if (temporaryRefusal.empty() && ParseReplyCode(lastResponse_) / 100 == 4)
            temporaryRefusal = lastResponse_;
    }
    if (accepted == 0 && !refused_.empty()) {
        // Worth another try when any refusal was temporary (greylisting).
        everyRecipientRefused_ = true;
        if (!temporaryRefusal.empty())
            lastResponse_ = temporaryRefusal;
        return 0;
    }
    if (!Transaction("DATA\r\n", 354))
        return 0;
    if (!SendText(message.GetHeader(highPriority)) || !SendText(message.GetContent()))
        return 0;
    return Transaction("\r\n.\r\n", 250);
}

bool CSMTPConnection::FailureIsTemporary() const
{
    const int error = failedStepError_ != 0 ? failedStepError_ : lastError_;
    switch (error) {
    case kSmtpErrUnexpectedReply:
    case kSmtpErrCommandRefused:
        return ParseReplyCode(lastResponse_) / 100 == 4;
    case kSmtpErrTimedOut:
    case ECONNREFUSED:
    case ECONNRESET:
    case ECONNABORTED:
    case EPIPE:
    case ETIMEDOUT:
    case EHOSTUNREACH:
    case ENETUNREACH:
        return true;
    default:
        return false;
    }
}

std::string DescribeRefused(const std::vector<RefusedRecipient>& refused)
{
    std::string text;
    for (const RefusedRecipient& r : refused)
        text += (text.empty() ? "" : ", ") + r.address + " (" + r.reply + ")";
    return text;
}

int CSMTPConnection::Disconnect()
{
    int ok = 0;
    if (state_ == SmtpState::kConnected) {
        if (SendText("QUIT\r\n")) {
            ok = ReadCommandResponse(221);
            if (!ok && lastError_ == kSmtpErrUnexpectedReply)
                lastError_ = kSmtpErrCommandRefused;
        }
    }
    SetState(SmtpState::kClosed);
    return ok;
}

// A command after the greeting phase: a refused reply leaves last error 22.
int CSMTPConnection::Transaction(const std::string& line, int expected, int alternative)
{
    if (!SendText(line))
        return 0;
    if (ReadExpecting(expected, alternative))
        return 1;
    if (lastError_ == kSmtpErrUnexpectedReply)
        lastError_ = kSmtpErrCommandRefused;
    return 0;
}

bool CSMTPConnection::SendText(std::string_view text)
{
    if (state_ != SmtpState::kConnected) {
        lastError_ = ENOTCONN;
        return false;
    }
    while (!text.empty()) {
        const IoStep step = tls_.Active() ? tls_.Send(text.data(), text.size())
                                          : PlainSend(socket_, text.data(), text.size());
        if (step.bytes > 0) {
            text.remove_prefix(static_cast<std::size_t>(step.bytes));
            continue;
        }
        if (step.wait != 0) {
            const SocketWait ready = WaitForSocket(socket_, step.wait, replyTimeoutMs, stopRequested);
            if (ready == SocketWait::kReady)
                continue;
            lastError_ = WaitError(ready);
            SetState(SmtpState::kBroken);
            return false;
        }
        lastError_ = StepError(step);
        SetState(SmtpState::kBroken);
        return false;
    }
    return true;
}

int CSMTPConnection::StepError(const IoStep& step)
{
    if (step.tls) {
        tlsReason_ = "the TLS session failed: " + tls_.Failure();
        return kSmtpErrTls;
    }
    return step.bytes == 0 ? ECONNRESET : errno != 0 ? errno : EPIPE;
}

// The one reader of server replies. Lines are collected from the pending
// bytes until a final line; a line longer than the buffer never completes.
CSMTPConnection::ReadStatus CSMTPConnection::ReadReply(std::string& text)
{
    text.clear();
    Clock::time_point lastActivity = Clock::now();
    int lines = 0;
    bool overflow = false;
    for (;;) {
        std::string line;
        while (!overflow && pending_.Next(line)) {
            if (!text.empty())
                text += "\r\n";
            text += line;
            if (IsFinalReplyLine(line)) {
                lastReplyCode_ = ParseReplyCode(line);
                return ReadStatus::kComplete;
            }
            if (++lines >= kMaxReplyLines)
                overflow = true;
        }
        if (pending_.Overlong())
            overflow = true;

        const std::uint32_t idle = MsSince(lastActivity);
        if (idle >= replyTimeoutMs) {
            if (!pending_.Empty())
                text += (text.empty() ? "" : "\r\n") + pending_.TakeRest();
            lastError_ = kSmtpErrTimedOut;
            return ReadStatus::kTimedOut;
        }
        // Read first: a TLS session may hold decrypted bytes that poll cannot see.
        short event = 0;
        if (!overflow) {
            char buf[kReplyBufferSize];
            const std::size_t room = pending_.Room();
            const IoStep step = tls_.Active() ? tls_.Recv(buf, room) : PlainRecv(socket_, buf, room);
            if (step.bytes > 0) {
                pending_.Append(buf, static_cast<std::size_t>(step.bytes));
                lastActivity = Clock::now();
                continue;
            }
            if (step.wait == 0) {
                // The peer closed in the middle of a reply, or the link failed.
                lastError_ = StepError(step);
                break;
            }
            event = step.wait;
        }
        const std::uint32_t wait = std::min(pollWaitMs, replyTimeoutMs - idle);
        // Nothing more can be taken in after an overflow; the reply ends in the
        // time-out as if the server had gone silent (poll ignores fd -1).
        const SocketWait ready = WaitForSocket(overflow ? -1 : socket_, event, wait, stopRequested);
        if (ready == SocketWait::kStopped || ready == SocketWait::kError) {
            lastError_ = WaitError(ready);
            break;
        }
    }
    if (!pending_.Empty())
        text += (text.empty() ? "" : "\r\n") + pending_.TakeRest();
    SetState(SmtpState::kBroken);
    return ReadStatus::kSocketError;
}

int CSMTPConnection::CheckReply(ReadStatus status, const std::string& text, int expected, int alternative)
{
    lastReplyText_ = text;
    if (status != ReadStatus::kComplete) {
        lastResponse_ = text;
        return 0;
    }
    if (lastReplyCode_ == expected || (alternative != 0 && lastReplyCode_ == alternative))
        return 1;
    lastError_ = kSmtpErrUnexpectedReply;
    lastResponse_ = text;
    return 0;
}

int CSMTPConnection::ReadCommandResponse(int expected)
{
    return ReadExpecting(expected, 0);
}

int CSMTPConnection::ReadExpecting(int expected, int alternative)
{
    if (socket_ < 0 || state_ == SmtpState::kBroken) {
        lastError_ = ENOTCONN;
        return 0;
    }
    std::string text;
    const ReadStatus status = ReadReply(text);
    return CheckReply(status, text, expected, alternative);
}

int CSMTPConnection::ReadResponseSkipping250(int expected)
{
    if (socket_ < 0 || state_ == SmtpState::kBroken) {
        lastError_ = ENOTCONN;
        return 0;
    }
    std::string text;
    ReadStatus status = ReadReply(text);
    for (int skipped = 0; status == ReadStatus::kComplete && lastReplyCode_ == 250 && expected != 250; ++skipped) {
        if (skipped >= kMaxSkippedReplies) {
            lastError_ = kSmtpErrUnexpectedReply;
            lastResponse_ = text;
            return 0;
        }
        status = ReadReply(text);
    }
    return CheckReply(status, text, expected);
}

} // namespace varnell
