// A DNS responder on 127.0.0.1 whose UDP and TCP sides misbehave on purpose:
// FORMERR to any query with an OPT record, truncated answers, questions
// echoed in lower case (over UDP and TCP alike), and a TCP side
// that refuses, accepts and stays silent, sends a length prefix beyond what it
// sends, answers late, or answers. Every answer is `count` A records
// 192.0.2.1 ... for the name asked, or what `answerer` makes for the question.
#pragma once

#include <arpa/inet.h>
#include <atomic>
#include <cctype>
#include <chrono>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "dns/dns_name.h"
#include "tests/dns/dns_reply_builder.h"

namespace varnell::test {

class ScriptedResponder {
public:
    enum class Udp { Answer, FormErrToOpt, Truncate, LowerCase };
    enum class Tcp { Refuse, Silent, ShortBody, Answer }; // Answer waits `late` first
    // The whole answer to a question; called on the responder's thread.
    using Answerer = std::function<std::vector<std::uint8_t>(std::uint16_t id, const std::string& name,
                                                             std::uint16_t type)>;

    ScriptedResponder(Udp udp, Tcp tcp, int count = 3, std::chrono::milliseconds late = std::chrono::milliseconds(0),
                      Answerer answerer = {})
        : udpMode_(udp), tcpMode_(tcp), count_(count), late_(late), answerer_(std::move(answerer))
    {
        // The TCP side takes the UDP side's port number, as a DNS server does.
        for (int attempt = 0; attempt < 20 && !ready_; ++attempt) {
            Close();
            udp_ = Bound(SOCK_DGRAM, 0);
            if (udp_ < 0)
                continue;
            sockaddr_in a{};
            socklen_t len = sizeof a;
            getsockname(udp_, reinterpret_cast<sockaddr*>(&a), &len);
            port_ = ntohs(a.sin_port);
            if (tcpMode_ == Tcp::Refuse) {
                ready_ = true;
                break;
            }
            listen_ = Bound(SOCK_STREAM, port_);
            ready_ = listen_ >= 0 && listen(listen_, 64) == 0;
        }
        if (ready_)
            thread_ = std::thread([this] { Serve(); });
    }
    ~ScriptedResponder()
    {
        stop_.store(true);
        if (thread_.joinable())
            thread_.join();
        Close();
        for (auto& c : conns_)
            close(c.fd);
    }
    ScriptedResponder(const ScriptedResponder&) = delete;
    ScriptedResponder& operator=(const ScriptedResponder&) = delete;

    bool Ready() const { return ready_; }
    std::uint16_t Port() const { return port_; }
    int UdpQueries() const { return udpQueries_.load(); }
    int OptQueries() const { return optQueries_.load(); }
    int TcpQueries() const { return tcpQueries_.load(); }

private:
    struct Conn {
        int fd;
        std::vector<std::uint8_t> in;
        std::chrono::steady_clock::time_point answerAt{};
        bool asked = false;
        bool done = false;
    };

    static int Bound(int type, std::uint16_t port)
    {
        const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
        const int one = 1;
        if (type == SOCK_STREAM)
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
            return fd;
        if (fd >= 0)
            close(fd);
        return -1;
    }
    void Close()
    {
        if (udp_ >= 0)
            close(udp_);
        if (listen_ >= 0)
            close(listen_);
        udp_ = listen_ = -1;
    }

    std::vector<std::uint8_t> Reply(const std::vector<std::uint8_t>& q, std::uint8_t rcode, bool truncated) const
    {
        const auto id = static_cast<std::uint16_t>(q[0] | (q[1] << 8));
        std::vector<char> name(kMaxNameText);
        const DecodedName d = DecodeName(q, 12, name);
        if (udpMode_ == Udp::LowerCase)
            for (char& c : name)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const std::size_t at = 12 + d.consumed;
        const auto type = static_cast<std::uint16_t>(at + 1 < q.size() ? (q[at] << 8) | q[at + 1] : 1);
        if (answerer_ && rcode == 0 && !truncated)
            return answerer_(id, name.data(), type);
        DnsReplyBuilder b(id, rcode, truncated ? 0x83 : 0x81);
        b.Question(name.data(), type);
        for (int i = 1; rcode == 0 && !truncated && i <= count_; ++i)
            b.A(Section::Answer, name.data(), ("192.0.2." + std::to_string(i)).c_str());
        return b.Bytes();
    }

    void OnDatagram()
    {
        std::vector<std::uint8_t> q(4096);
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = recvfrom(udp_, q.data(), q.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 17)
            return;
        q.resize(static_cast<std::size_t>(n));
        udpQueries_.fetch_add(1);
        const bool opt = q[11] != 0; // ARCOUNT
        optQueries_.fetch_add(opt ? 1 : 0);
        std::vector<std::uint8_t> r;
        if (udpMode_ == Udp::FormErrToOpt && opt)
            r = Reply(q, 1, false);
        else
            r = Reply(q, 0, udpMode_ == Udp::Truncate);
        sendto(udp_, r.data(), r.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
    }

    void OnStream(Conn& c)
    {
        std::uint8_t buf[1024];
        const ssize_t n = recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0) {
            c.done = true;
            return;
        }
        c.in.insert(c.in.end(), buf, buf + n);
        if (c.asked || c.in.size() < 2 || c.in.size() < 2u + ((c.in[0] << 8) | c.in[1]))
            return;
        c.asked = true;
        tcpQueries_.fetch_add(1);
        c.answerAt = std::chrono::steady_clock::now() + late_;
    }

    void Answer(Conn& c)
    {
        const std::vector<std::uint8_t> q(c.in.begin() + 2, c.in.end());
        const std::vector<std::uint8_t> r = Reply(q, 0, false);
        std::vector<std::uint8_t> framed = {static_cast<std::uint8_t>(r.size() >> 8),
                                            static_cast<std::uint8_t>(r.size())};
        if (tcpMode_ == Tcp::ShortBody) {
            framed[0] = static_cast<std::uint8_t>((r.size() + 100) >> 8); // more than will come
            framed[1] = static_cast<std::uint8_t>(r.size() + 100);
        }
        framed.insert(framed.end(), r.begin(), r.end());
        send(c.fd, framed.data(), framed.size(), MSG_NOSIGNAL);
        if (tcpMode_ == Tcp::ShortBody)
            shutdown(c.fd, SHUT_WR); // closes mid-message
        c.asked = false;
        c.answerAt = {};
        c.in.clear();
    }

    void Serve()
    {
        while (!stop_.load()) {
            std::vector<pollfd> fds = {{udp_, POLLIN, 0}};
            if (listen_ >= 0)
                fds.push_back({listen_, POLLIN, 0});
            for (const Conn& c : conns_)
                fds.push_back({c.fd, POLLIN, 0});
            poll(fds.data(), fds.size(), 10);
            if ((fds[0].revents & POLLIN) != 0)
                OnDatagram();
            if (listen_ >= 0 && (fds[1].revents & POLLIN) != 0) {
                const int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0)
                    conns_.push_back({fd, {}, {}, false, false});
            }
            const std::size_t first = listen_ >= 0 ? 2 : 1;
            for (std::size_t i = first; i < fds.size(); ++i)
                if ((fds[i].revents & (POLLIN | POLLHUP)) != 0)
                    OnStream(conns_[i - first]);
            const auto now = std::chrono::steady_clock::now();
            for (Conn& c : conns_)
                if (c.asked && tcpMode_ != Tcp::Silent && now >= c.answerAt)
                    Answer(c);
            for (auto it = conns_.begin(); it != conns_.end();) {
                if (it->done) {
                    close(it->fd);
                    it = conns_.erase(it);
                } else {
                    ++it;
                }
            }
        }
    }

    Udp udpMode_;
    Tcp tcpMode_;
    int count_;
    std::chrono::milliseconds late_;
    Answerer answerer_;
    int udp_ = -1;
    int listen_ = -1;
    std::uint16_t port_ = 0;
    bool ready_ = false;
    std::vector<Conn> conns_;
    std::atomic<bool> stop_{false};
    std::atomic<int> udpQueries_{0}, optQueries_{0}, tcpQueries_{0};
    std::thread thread_;
};

} // namespace varnell::test
