// SMB message client (RFC 1001/1002 session service, SMB core message commands).
// See netsend.h for the shape of the protocol.
#include "alerts/smb/netsend.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cctype>
#include <chrono>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/byte_reader.h"
#include "base/net/socket_helpers.h"

namespace varnell {

namespace {

// Session service packet types (RFC 1002 4.3.1).
constexpr std::uint8_t kSessionMessage = 0x00;
constexpr std::uint8_t kSessionRequest = 0x81;
constexpr std::uint8_t kSessionPositive = 0x82;
constexpr std::uint8_t kSessionKeepAlive = 0x85;

constexpr std::size_t kSmbHeaderSize = 32;
constexpr std::uint8_t kSmbFlagReply = 0x80;
// A message reply is a few dozen bytes; anything near the frame limit is hostile.
constexpr std::size_t kMaxReplyBody = 4096;

std::mutex g_mutex; // guards g_options and g_aliases
NetSendOptions g_options;
std::vector<std::string> g_aliases;

std::string CutName(const std::string& name)
{
    return name.substr(0, std::min(name.size(), kNetbiosNameLength));
}

void PutU16LE(std::vector<std::uint8_t>& out, std::uint16_t v)
{
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

// SMB header plus parameter words, for a request of command cmd; byte count and
// bytes follow. The 4-byte session header is filled in by Frame.
std::vector<std::uint8_t> StartRequest(std::uint8_t cmd, std::uint16_t mid, std::span<const std::uint16_t> words)
{
    std::vector<std::uint8_t> out(4, 0);
    out.reserve(128); // one allocation for header, words and the usual byte block
    for (std::uint8_t b : {std::uint8_t{0xFF}, std::uint8_t{'S'}, std::uint8_t{'M'}, std::uint8_t{'B'}})
        out.push_back(b);
    out.push_back(cmd);
    out.insert(out.end(), 4, 0);  // status
    out.push_back(0);             // flags: a request
    PutU16LE(out, 0);             // flags2: DOS error codes, OEM texts
    PutU16LE(out, 0);             // PID high
    out.insert(out.end(), 8, 0);  // signature
    PutU16LE(out, 0);             // reserved
    PutU16LE(out, 0);             // TID: messages need no tree
    PutU16LE(out, static_cast<std::uint16_t>(getpid()));
    PutU16LE(out, 0);             // UID
    PutU16LE(out, mid);
    out.push_back(static_cast<std::uint8_t>(words.size()));
    for (std::uint16_t w : words)
        PutU16LE(out, w);
    return out;
}

std::vector<std::uint8_t> Frame(std::vector<std::uint8_t> packet, std::span<const std::uint8_t> bytes)
{
    PutU16LE(packet, static_cast<std::uint16_t>(bytes.size()));
    packet.insert(packet.end(), bytes.begin(), bytes.end());
    std::size_t body = packet.size() - 4;
    packet[0] = kSessionMessage;
    packet[1] = static_cast<std::uint8_t>((body >> 16) & 1);
    packet[2] = static_cast<std::uint8_t>(body >> 8);
    packet[3] = static_cast<std::uint8_t>(body);
    return packet;
}

void AppendOemString(std::vector<std::uint8_t>& out, const std::string& text)
{
    out.push_back(0x04); // buffer format: a NUL-terminated OEM string
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
}

using Clock = std::chrono::steady_clock;

// One TCP connection with a deadline per operation; the fd is closed by the destructor.
class Connection {
public:
    ~Connection()
    {
        if (fd_ >= 0)
            close(fd_);
    }

    explicit Connection(const StopCheck& stop) : stop_(stop) {}
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    int Connect(std::uint32_t addrBE, std::uint16_t port, std::uint32_t timeoutMs)
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd_ < 0)
            return kNetSendBadNetPath;
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = addrBE;
        int error = 0;
        return ConnectWithin(fd_, sa, timeoutMs, stop_, error) == SocketWait::kReady ? kNetSendOk : kNetSendBadNetPath;
    }

    void SetDeadline(std::uint32_t timeoutMs) { deadline_ = Clock::now() + std::chrono::milliseconds(timeoutMs); }

    int SendAll(std::span<const std::uint8_t> bytes)
    {
        return Transfer(POLLOUT, bytes.size(), [&](std::size_t done) {
            return send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        });
    }

    int RecvAll(std::uint8_t* out, std::size_t size)
    {
        return Transfer(POLLIN, size, [&](std::size_t done) { return recv(fd_, out + done, size - done, 0); });
    }

    // Reads one session packet, skipping keep-alives. body is capped at kMaxReplyBody.
    int ReadPacket(std::uint8_t& type, std::vector<std::uint8_t>& body)
    {
        for (;;) {
            std::uint8_t head[4];
            if (int rc = RecvAll(head, sizeof head); rc != kNetSendOk)
                return rc;
            ByteReader r(head, sizeof head);
            std::uint8_t flags = 0;
            std::uint16_t len16 = 0;
            r.ReadU8(type);
            r.ReadU8(flags);
            r.ReadU16BE(len16);
            std::size_t len = (std::size_t{flags & 1u} << 16) | len16;
            if (len > kMaxReplyBody)
                return kNetSendUnexpected;
            body.assign(len, 0);
            if (int rc = RecvAll(body.data(), len); rc != kNetSendOk)
                return rc;
            if (type != kSessionKeepAlive)
                return kNetSendOk;
        }
    }

private:
    // Moves size bytes through io(bytes done so far), waiting for events before
    // each call. A zero count means the peer closed: send never returns it for
    // a non-empty buffer.
    template <typename Io>
    int Transfer(short events, std::size_t size, Io io)
    {
        std::size_t done = 0;
        while (done < size) {
            if (int rc = WaitFor(events); rc != kNetSendOk)
                return rc;
            const ssize_t n = io(done);
            if (n == 0)
                return kNetSendUnexpected;
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR)
                    continue;
                return kNetSendUnexpected;
            }
            done += static_cast<std::size_t>(n);
        }
        return kNetSendOk;
    }

    int WaitFor(short events)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
        if (left <= 0)
            return kNetSendTimeout;
        switch (WaitForSocket(fd_, events, static_cast<std::uint32_t>(left), stop_)) {
        case SocketWait::kReady:
            return kNetSendOk; // errors and hang-ups surface in the following recv/send
        case SocketWait::kTimedOut:
        case SocketWait::kStopped:
            return kNetSendTimeout;
        case SocketWait::kError:
            break;
        }
        return kNetSendUnexpected;
    }

    const StopCheck& stop_;
    int fd_ = -1;
    Clock::time_point deadline_{};
};

// Sends one SMB request and reads its reply; the reply must answer the same
// command and carry status 0.
int Exchange(Connection& conn, const std::vector<std::uint8_t>& request, std::uint8_t command, SmbReply& reply)
{
    if (int rc = conn.SendAll(request); rc != kNetSendOk)
        return rc;
    std::uint8_t type = 0;
    std::vector<std::uint8_t> body;
    if (int rc = conn.ReadPacket(type, body); rc != kNetSendOk)
        return rc;
    if (type != kSessionMessage || !ParseSmbReply(body, reply) || reply.command != command)
        return kNetSendUnexpected;
    return reply.status == 0 ? kNetSendOk : kNetSendNotAccepted;
}

} // namespace

void SetNetSendOptions(const NetSendOptions& options)
{
    std::lock_guard lock(g_mutex);
    g_options = options;
}

NetSendOptions GetNetSendOptions()
{
    std::lock_guard lock(g_mutex);
    return g_options;
}

int NetMessageNameAdd(const std::string& name)
{
    std::lock_guard lock(g_mutex);
    std::string cut = CutName(name);
    if (std::find(g_aliases.begin(), g_aliases.end(), cut) == g_aliases.end())
        g_aliases.push_back(cut);
    return 0;
}

int NetMessageNameDel(const std::string& name)
{
    std::lock_guard lock(g_mutex);
    std::erase(g_aliases, CutName(name));
    return 0;
}

std::vector<std::string> NetMessageNames()
{
    std::lock_guard lock(g_mutex);
    return g_aliases;
}

std::string LocalNetbiosName()
{
    std::string name = LocalHostName();
    if (name.empty())
        return "LOCALHOST";
    name = name.substr(0, name.find('.')); // the NetBIOS name is the first label
    return CutName(name);
}

std::vector<std::uint8_t> EncodeNetbiosName(const std::string& name, std::uint8_t suffix)
{
    std::uint8_t raw[16];
    std::fill(raw, raw + 15, static_cast<std::uint8_t>(' '));
    std::string cut = CutName(name);
    for (std::size_t i = 0; i < cut.size(); ++i)
        raw[i] = static_cast<std::uint8_t>(std::toupper(static_cast<unsigned char>(cut[i])));
    raw[15] = suffix;
    // RFC 1001 14.1 first-level encoding: each half-byte becomes 'A' + nibble.
    std::vector<std::uint8_t> out;
    out.reserve(34);
    out.push_back(32);
    for (std::uint8_t b : raw) {
        out.push_back(static_cast<std::uint8_t>('A' + (b >> 4)));
        out.push_back(static_cast<std::uint8_t>('A' + (b & 0x0F)));
    }
    out.push_back(0); // empty scope
    return out;
}

std::vector<std::uint8_t> BuildSessionRequest(const std::string& called, const std::string& calling)
{
    std::vector<std::uint8_t> out = {kSessionRequest, 0, 0, 68};
    auto a = EncodeNetbiosName(called, 0x03);
    auto b = EncodeNetbiosName(calling, 0x00);
    out.insert(out.end(), a.begin(), a.end());
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

std::vector<std::uint8_t> BuildSendStart(const std::string& from, const std::string& to, std::uint16_t mid)
{
    std::vector<std::uint8_t> bytes;
    AppendOemString(bytes, CutName(from));
    AppendOemString(bytes, CutName(to));
    return Frame(StartRequest(kSmbSendStart, mid, {}), bytes);
}

std::vector<std::uint8_t> BuildSendText(std::uint16_t group, std::span<const std::uint8_t> text, std::uint16_t mid)
{
    std::span<const std::uint8_t> block = text.first(std::min(text.size(), kSmbTextBlock));
    std::vector<std::uint8_t> bytes;
    bytes.push_back(0x01); // buffer format: a data block with a 16-bit length
    PutU16LE(bytes, static_cast<std::uint16_t>(block.size()));
    bytes.insert(bytes.end(), block.begin(), block.end());
    const std::uint16_t words[1] = {group};
    return Frame(StartRequest(kSmbSendText, mid, words), bytes);
}

std::vector<std::uint8_t> BuildSendEnd(std::uint16_t group, std::uint16_t mid)
{
    const std::uint16_t words[1] = {group};
    return Frame(StartRequest(kSmbSendEnd, mid, words), {});
}

bool ParseSmbReply(std::span<const std::uint8_t> bytes, SmbReply& reply)
{
    ByteReader r(bytes);
    std::uint8_t magic[4];
    std::uint8_t flags = 0;
    if (!r.ReadBytes(magic, 4) || magic[0] != 0xFF || magic[1] != 'S' || magic[2] != 'M' || magic[3] != 'B')
        return false;
    if (!r.ReadU8(reply.command) || !r.ReadU32LE(reply.status) || !r.ReadU8(flags) || (flags & kSmbFlagReply) == 0)
        return false;
    // flags2, PID high, signature, reserved, TID, PID low, UID: not needed.
    if (!r.Skip(2 + 2 + 8 + 2 + 2 + 2 + 2) || !r.ReadU16LE(reply.mid) || !r.ReadU8(reply.wordCount))
        return false;
    std::size_t wordBytes = std::size_t{reply.wordCount} * 2;
    if (wordBytes > r.Remaining())
        return false;
    reply.word0 = 0;
    if (reply.wordCount > 0)
        r.ReadU16LE(reply.word0);
    r.Seek(kSmbHeaderSize + 1 + wordBytes);
    std::uint16_t byteCount = 0;
    // An error reply may stop after the header words; one without an error must be whole.
    if (!r.ReadU16LE(byteCount))
        return reply.status != 0;
    return byteCount <= r.Remaining();
}

int NetMessageBufferSend(const std::string& receiver, const std::string* fromName, const std::string& message,
                         const StopCheck& stop)
{
    in_addr addr{};
    if (receiver.empty() || inet_pton(AF_INET, receiver.c_str(), &addr) != 1)
        return kNetSendInvalidParameter;
    NetSendOptions options = GetNetSendOptions();
    std::string local = LocalNetbiosName();
    std::string from = fromName != nullptr ? CutName(*fromName) : local;

    Connection conn(stop);
    if (conn.Connect(addr.s_addr, options.port, options.connectTimeoutMs) != kNetSendOk)
        return kNetSendBadNetPath;

    // One deadline for the whole conversation: a receiver that trickles its
    // replies cannot hold the worker longer than a silent one.
    conn.SetDeadline(options.replyTimeoutMs);
    // RFC 1002 4.3.2: the session request names the receiver by its text, suffix 0x03
    // (the messenger service), and this host, suffix 0x00.
    if (int rc = conn.SendAll(BuildSessionRequest(receiver, local)); rc != kNetSendOk)
        return rc;
    std::uint8_t type = 0;
    std::vector<std::uint8_t> body;
    if (int rc = conn.ReadPacket(type, body); rc != kNetSendOk)
        return rc;
    if (type != kSessionPositive)
        return kNetSendBadNetPath; // negative response or a retarget we do not follow

    std::uint16_t mid = 1;
    SmbReply reply;
    if (int rc = Exchange(conn, BuildSendStart(from, receiver, mid), kSmbSendStart, reply);
        rc != kNetSendOk)
        return rc;
    // Some receivers keep one message per session and answer without a group id.
    const std::uint16_t group = reply.wordCount > 0 ? reply.word0 : 0;

    std::span<const std::uint8_t> text(reinterpret_cast<const std::uint8_t*>(message.data()), message.size());
    while (!text.empty()) {
        std::size_t n = std::min(text.size(), kSmbTextBlock);
        ++mid;
        if (int rc = Exchange(conn, BuildSendText(group, text.first(n), mid), kSmbSendText,
                              reply);
            rc != kNetSendOk)
            return rc;
        text = text.subspan(n);
    }
    ++mid;
    return Exchange(conn, BuildSendEnd(group, mid), kSmbSendEnd, reply);
}

} // namespace varnell
