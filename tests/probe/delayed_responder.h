// A DNS responder on 127.0.0.1 for the tests that measure round trips: it
// holds every answer for a fixed time, so that a round trip has a known floor.
#pragma once

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <deque>
#include <iterator>
#include <map>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "base/tick.h"
#include "dns/dns_name.h"
#include "tests/support/process.h"

namespace varnell::test {

// Answers every query on 127.0.0.1 with the query itself turned into an empty
// NOERROR reply, or one with an A record of `answer` for the name asked,
// `delay` after it read the query. Notes, per name asked (in lower case), the
// ticks at which it read the query and sent the answer: identifiers are drawn
// at random, so two queries of a run may share one.
class DelayedResponder {
public:
    explicit DelayedResponder(std::chrono::milliseconds delay, const char* answer = nullptr) : delay_(delay)
    {
        if (answer != nullptr)
            inet_pton(AF_INET, answer, answer_.data());
        fd_ = test::OpenLoopbackUdp(port_);
        int size = 1 << 20;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        thread_ = std::thread([this] { Run(); });
    }
    ~DelayedResponder()
    {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    std::uint16_t PortBE() const { return port_; }
    // How long the answer to id was held here; -1 when it was not answered.
    int Held(const std::string& name)
    {
        std::lock_guard lock(mutex_);
        const auto it = ticks_.find(name);
        return it != ticks_.end() && it->second.second != 0 ? static_cast<int>(it->second.second - it->second.first)
                                                            : -1;
    }

private:
    struct Waiting {
        std::chrono::steady_clock::time_point due;
        std::vector<std::uint8_t> bytes;
        sockaddr_in to;
    };
    void Run()
    {
        std::deque<Waiting> queue; // one delay for all: due times in arrival order
        while (!stop_) {
            int wait = 20;
            if (!queue.empty())
                wait = static_cast<int>(std::max<std::int64_t>(
                    0, std::chrono::duration_cast<std::chrono::milliseconds>(queue.front().due -
                                                                             std::chrono::steady_clock::now())
                           .count()));
            pollfd p{fd_, POLLIN, 0};
            poll(&p, 1, wait);
            for (;;) {
                Waiting w;
                w.bytes.resize(512);
                socklen_t len = sizeof w.to;
                const ssize_t n = recvfrom(fd_, w.bytes.data(), w.bytes.size(), MSG_DONTWAIT,
                                           reinterpret_cast<sockaddr*>(&w.to), &len);
                if (n < 12)
                    break;
                const std::uint32_t tick = TickCount();
                w.due = std::chrono::steady_clock::now() + delay_;
                w.bytes.resize(static_cast<std::size_t>(n));
                w.bytes[2] |= 0x80; // QR: a reply
                if (answer_ != std::array<std::uint8_t, 4>{})
                    AddAnswer(w.bytes);
                {
                    std::lock_guard lock(mutex_);
                    ticks_[NameOf(w.bytes)].first = tick;
                }
                queue.push_back(std::move(w));
            }
            while (!queue.empty() && queue.front().due <= std::chrono::steady_clock::now()) {
                const Waiting& w = queue.front();
                // Stamped before the send: the reply may be read and stamped by
                // the program before this thread runs again after sendto.
                const std::uint32_t tick = TickCount();
                sendto(fd_, w.bytes.data(), w.bytes.size(), 0, reinterpret_cast<const sockaddr*>(&w.to), sizeof w.to);
                {
                    std::lock_guard lock(mutex_);
                    ticks_[NameOf(w.bytes)].second = tick != 0 ? tick : 1;
                }
                queue.pop_front();
            }
        }
    }

    static std::string NameOf(const std::vector<std::uint8_t>& bytes)
    {
        char name[kMaxNameText] = {};
        DecodeName(bytes, 12, name);
        for (char& c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return name;
    }

    // The question kept, anything after it (an OPT record) dropped, and one A
    // record owned by the question's name.
    void AddAnswer(std::vector<std::uint8_t>& bytes) const
    {
        const std::size_t name = SkipName(bytes, 12);
        if (name == 0 || bytes.size() < 12 + name + 4)
            return;
        bytes.resize(12 + name + 4);
        bytes[7] = 1;  // ANCOUNT
        bytes[11] = 0; // ARCOUNT
        const std::uint8_t record[] = {0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4};
        bytes.insert(bytes.end(), std::begin(record), std::end(record));
        bytes.insert(bytes.end(), answer_.begin(), answer_.end());
    }

    std::chrono::milliseconds delay_;
    std::array<std::uint8_t, 4> answer_{};
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::map<std::string, std::pair<std::uint32_t, std::uint32_t>> ticks_; // read, sent
    std::thread thread_;
};

} // namespace varnell::test
