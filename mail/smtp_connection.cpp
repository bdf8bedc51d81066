// SMTP session: RFC 5321, AUTH LOGIN after RFC 4954, Base64 after RFC 4648.
#include "mail/smtp_connection.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/byte_reader.h"
#include "mail/base64.h"

namespace varnell {

namespace {

using Clock = std::chrono::steady_clock;

std::uint32_t MsSince(Clock::time_point t)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
    return ms < 0 ? 0u : ms > 0xFFFFFFFFll ? 0xFFFFFFFFu : static_cast<std::uint32_t>(ms);
}

// The first IPv4 address of a dotted address or host name.
bool ResolveIPv4(const std::string& server, in_addr& out)
{
    if (::inet_pton(AF_INET, server.c_str(), &out) == 1)
        return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (server.empty() || ::getaddrinfo(server.c_str(), nullptr, &hints, &list) != 0 || list == nullptr)
        return false;
    bool found = false;
    for (addrinfo* ai = list; ai != nullptr && !found; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
            sockaddr_in sin{};
            std::memcpy(&sin, ai->ai_addr, sizeof(sin));
            out = sin.sin_addr;
            found = true;
        }
    }
    ::freeaddrinfo(list);
    return found;
}

// The name HELO/EHLO announces; a 100-byte buffer as the session always had.
std::string LocalHostName()
{
    char buf[100] = {};
    if (::gethostname(buf, sizeof(buf) - 1) != 0)
        buf[0] = '\0';
    std::string name = StripLineBreaks(buf);
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

CSMTPConnection::~CSMTPConnection()
{
    Disconnect();
}

void CSMTPConnection::SetState(SmtpState next)
{
    if (next == SmtpState::kClosed && socket_ >= 0) {
        ::close(socket_);
        socket_ = -1;
        pending_.clear();
    }
    state_ = next;
}

int CSMTPConnection::OpenSession(const std::string& server, std::uint16_t port)
{
    if (state_ != SmtpState::kClosed) {
        lastError_ = EISCONN;
        return 0;
    }
    socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (socket_ < 0) {
        lastError_ = errno;
        return 0;
    }
    SetState(SmtpState::kSocketOpen);

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (!ResolveIPv4(server, addr.sin_addr)) {
        lastError_ = kSmtpErrInvalidArgument;
        SetState(SmtpState::kClosed);
        return 0;
    }
    // Non-blocking connect bounded by the reply time-out: an unanswered SYN
    // would otherwise hold the mail worker for minutes.
    if (::connect(socket_, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
        if (errno != EINPROGRESS) {
            lastError_ = errno;
            SetState(SmtpState::kClosed);
            return 0;
        }
        const SocketWait ready = WaitForSocket(socket_, POLLOUT, replyTimeoutMs, stopRequested);
        int soError = 0;
        socklen_t len = sizeof(soError);
        if (ready != SocketWait::kReady) {
            lastError_ = WaitError(ready);
            SetState(SmtpState::kClosed);
            return 0;
        }
        if (::getsockopt(socket_, SOL_SOCKET, SO_ERROR, &soError, &len) != 0 || soError != 0) {
            lastError_ = soError != 0 ? soError : errno;
            SetState(SmtpState::kClosed);
            return 0;
        }
    }
    SetState(SmtpState::kConnected);

    if (!ReadCommandResponse(220))
        return FailAndQuit();
    localHost_ = LocalHostName();
    return 1;
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
    const std::string failedReply = lastResponse_;
    Disconnect();
    lastResponse_ = failedReply;
    return 0;
}

int CSMTPConnection::Connect(const std::string& server, std::uint16_t port)
{
    if (!OpenSession(server, port))
        return 0;
    if (!SendText("HELO " + localHost_ + "\r\n") || !ReadCommandResponse(250))
        return FailAndQuit();
    return 1;
}

int CSMTPConnection::ConnectWithLogon(const std::string& server, std::uint16_t port, const std::string& user,
                                      const std::string& password)
{
    if (!OpenSession(server, port))
        return 0;
    if (!SendText("EHLO " + localHost_ + "\r\n") || !ReadCommandResponse(250))
        return FailAndQuit();
    if (!SendText("AUTH LOGIN\r\n") || !ReadResponseSkipping250(334))
        return FailAndQuit();
    // The 334 challenges are not decoded: servers word them differently and
    // the order (user name, then password) is fixed by the mechanism.
    for (const std::string* secret : {&user, &password}) {
        std::string line = Base64Encode(*secret);
        if (line.size() > kMaxCredentialLine) {
            lastError_ = kSmtpErrInvalidArgument;
            return FailAndQuit();
        }
        line += "\r\n";
        if (!SendText(line) || !ReadCommandResponse(secret == &user ? 334 : 235))
            return FailAndQuit();
    }
    return 1;
}

int CSMTPConnection::SendMail(const CSMTPMessage& message, bool highPriority)
{
    if (state_ != SmtpState::kConnected) {
        lastError_ = ENOTCONN;
        return 0;
    }
    // Envelope addresses come from the settings: a line break in one would
    // smuggle in a command of its own.
    if (!Transaction("MAIL FROM:<" + StripLineBreaks(message.from.emailAddress) + ">\r\n", 250))
        return 0;
    for (int i = 0; i < message.GetNumberOfRecipients(); ++i) {
        if (!Transaction("RCPT TO:<" + StripLineBreaks(message.GetRecipient(i).emailAddress) + ">\r\n", 250))
            return 0;
    }
    if (!Transaction("DATA\r\n", 354))
        return 0;
    if (!SendText(message.GetHeader(highPriority)) || !SendText(message.GetContent()))
        return 0;
    return Transaction("\r\n.\r\n", 250);
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
int CSMTPConnection::Transaction(const std::string& line, int expected)
{
    if (!SendText(line))
        return 0;
    if (ReadCommandResponse(expected))
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
        const ssize_t n = ::send(socket_, text.data(), text.size(), MSG_NOSIGNAL);
        if (n > 0) {
            text.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const SocketWait ready = WaitForSocket(socket_, POLLOUT, replyTimeoutMs, stopRequested);
            if (ready == SocketWait::kReady)
                continue;
            lastError_ = WaitError(ready);
            SetState(SmtpState::kBroken);
            return false;
        }
        lastError_ = n < 0 ? errno : EPIPE;
        SetState(SmtpState::kBroken);
        return false;
    }
    return true;
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
        std::size_t end;
        while (!overflow && (end = pending_.find("\r\n")) != std::string::npos) {
            const std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 2);
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
        if (pending_.size() >= kReplyBufferSize - 1)
            overflow = true;

        const std::uint32_t idle = MsSince(lastActivity);
        if (idle >= replyTimeoutMs) {
            if (!pending_.empty())
                text += (text.empty() ? "" : "\r\n") + pending_;
            pending_.clear();
            lastError_ = kSmtpErrTimedOut;
            return ReadStatus::kTimedOut;
        }
        const std::uint32_t wait = std::min(pollWaitMs, replyTimeoutMs - idle);
        // Nothing more can be taken in after an overflow; the reply ends in the
        // time-out as if the server had gone silent (poll ignores fd -1).
        const SocketWait ready = WaitForSocket(overflow ? -1 : socket_, POLLIN, wait, stopRequested);
        if (ready == SocketWait::kStopped || ready == SocketWait::kError) {
            lastError_ = WaitError(ready);
            break;
        }
        if (ready != SocketWait::kReady || overflow)
            continue;
        char buf[kReplyBufferSize];
        const std::size_t room = kReplyBufferSize - 1 - pending_.size();
        const ssize_t n = ::recv(socket_, buf, room, 0);
        if (n > 0) {
            pending_.append(buf, static_cast<std::size_t>(n));
            lastActivity = Clock::now();
            continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        // The peer closed in the middle of a reply: no more bytes will come.
        lastError_ = n == 0 ? ECONNRESET : errno;
        break;
    }
    if (!pending_.empty())
        text += (text.empty() ? "" : "\r\n") + pending_;
    pending_.clear();
    SetState(SmtpState::kBroken);
    return ReadStatus::kSocketError;
}

int CSMTPConnection::CheckReply(ReadStatus status, const std::string& text, int expected)
{
    if (status != ReadStatus::kComplete) {
        lastResponse_ = text;
        return 0;
    }
    if (lastReplyCode_ == expected)
        return 1;
    lastError_ = kSmtpErrUnexpectedReply;
    lastResponse_ = text;
    return 0;
}

int CSMTPConnection::ReadCommandResponse(int expected)
{
    if (socket_ < 0 || state_ == SmtpState::kBroken) {
        lastError_ = ENOTCONN;
        return 0;
    }
    std::string text;
    const ReadStatus status = ReadReply(text);
    return CheckReply(status, text, expected);
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
