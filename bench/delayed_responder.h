// A DNS server on a free port of 127.0.0.1 that answers every query a fixed
// delay after the kernel received it, so a round trip the program measures to it
// should read exactly that delay. It keeps its own lateness (when each reply
// actually left against receive time + delay), which bounds how much of an
// error seen in the program's figure is the responder's own.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <deque>
#include <thread>
#include <vector>

#include "base/byte_reader.h"
#include "bench/bench_support.h"

namespace varnell::bench {

inline std::int64_t RealtimeNs()
{
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// The reply to one query: its id, flags and question, QR, AA and RA set, one A
// record 10.50.0.1 naming the question. False for anything but one question.
inline bool BuildDelayedReply(const std::uint8_t* query, std::size_t size, std::vector<std::uint8_t>& reply)
{
    ByteReader r(query, size);
    std::uint16_t questions = 0;
    if (!r.Skip(4) || !r.ReadU16BE(questions) || questions != 1 || !r.Skip(6))
        return false;
    for (std::uint8_t length = 1; length != 0;)
        if (!r.ReadU8(length) || length > 63 || !r.Skip(length))
            return false;
    if (!r.Skip(4)) // type and class
        return false;
    reply.assign(query, query + r.Position());
    reply[2] = static_cast<std::uint8_t>((query[2] & 0x79) | 0x84);
    reply[3] = 0x80;
    reply[6] = 0, reply[7] = 1;   // one answer
    std::fill(reply.begin() + 8, reply.begin() + 12, std::uint8_t{0});
    const std::uint8_t answer[] = {0xC0, 12, 0, 1, 0, 1, 0, 0, 1, 0x2C, 0, 4, 10, 50, 0, 1};
    reply.insert(reply.end(), std::begin(answer), std::end(answer));
    return true;
}

class DelayedResponder {
public:
    explicit DelayedResponder(std::int64_t delayNs) : delayNs_(delayNs)
    {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        port_ = BindLoopback(fd_);
        // The kernel's receive stamp: a query that waited in the socket while a
        // reply went out is still answered delay after it arrived.
        const int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
        thread_ = std::thread([this] { Run(); });
    }
    ~DelayedResponder() { Stop(); }

    std::uint16_t Port() const { return port_; }

    // Ends the thread; the lateness figures are final from then on.
    void Stop()
    {
        if (!thread_.joinable())
            return;
        stop_ = true;
        thread_.join();
        close(fd_);
    }

    // Written by the responder's thread: read them once Stop has returned.
    long replies = 0;
    double latenessSumMs = 0, latenessMinMs = 0, latenessMaxMs = 0;

private:
    struct Pending {
        std::int64_t due;
        sockaddr_in to;
        std::vector<std::uint8_t> reply;
    };

    void Run()
    {
        // The default 50 us timer slack would be part of every reply's lateness,
        // and so would waiting for a core behind the program under test; a
        // real-time thread (where allowed) takes one as soon as it wakes.
        prctl(PR_SET_TIMERSLACK, 1UL);
        const sched_param realTime{sched_get_priority_min(SCHED_FIFO)};
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &realTime);
        // The delay is the same for every query, so replies fall due in arrival order.
        std::deque<Pending> pending;
        while (!stop_) {
            const std::int64_t wait = pending.empty() ? 100000000
                                                      : std::max<std::int64_t>(0, pending.front().due - kSpinNs - RealtimeNs());
            const timespec timeout{static_cast<time_t>(wait / 1000000000), static_cast<long>(wait % 1000000000)};
            pollfd p{fd_, POLLIN, 0};
            if (ppoll(&p, 1, &timeout, nullptr) > 0)
                Receive(pending);
            while (!pending.empty() && pending.front().due - RealtimeNs() <= kSpinNs) {
                const Pending& r = pending.front();
                // A wake-up from a sleep comes tens of microseconds late on a busy
                // machine; the last stretch is waited out awake.
                while (RealtimeNs() < r.due) {
                }
                sendto(fd_, r.reply.data(), r.reply.size(), 0, reinterpret_cast<const sockaddr*>(&r.to), sizeof r.to);
                const double lateMs = static_cast<double>(RealtimeNs() - r.due) / 1e6;
                latenessMinMs = replies == 0 ? lateMs : std::min(latenessMinMs, lateMs);
                latenessMaxMs = replies == 0 ? lateMs : std::max(latenessMaxMs, lateMs);
                latenessSumMs += lateMs;
                ++replies;
                pending.pop_front();
            }
        }
    }

    void Receive(std::deque<Pending>& pending)
    {
        for (;;) {
            std::uint8_t query[512];
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
            Pending p{};
            iovec io{query, sizeof query};
            msghdr m{};
            m.msg_name = &p.to;
            m.msg_namelen = sizeof p.to;
            m.msg_iov = &io;
            m.msg_iovlen = 1;
            m.msg_control = control;
            m.msg_controllen = sizeof control;
            const ssize_t n = recvmsg(fd_, &m, MSG_DONTWAIT);
            if (n < 0)
                return;
            std::int64_t received = RealtimeNs();
            for (cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c))
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                    timespec t{};
                    std::memcpy(&t, CMSG_DATA(c), sizeof t);
                    received = static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
                }
            p.due = received + delayNs_;
            if (BuildDelayedReply(query, static_cast<std::size_t>(n), p.reply))
                pending.push_back(std::move(p));
        }
    }

    static constexpr std::int64_t kSpinNs = 300000;
    std::int64_t delayNs_;
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace varnell::bench
