// Pieces the benchmarks share: starting the local unbound from
// scripts/peers/unbound.sh on a free port, the zone of one name per item, and
// waiting until the server answers.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace varnell::bench {

// Starts args (argv[0] looked up on PATH, never through a shell) with stdin
// from /dev/null and stdout and stderr into out (appended to when append is
// set, so a restarted server keeps its earlier log); -1 when it cannot start.
inline pid_t Spawn(const std::vector<std::string>& args, const std::string& out, bool append = false)
{
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC), 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// A port on 127.0.0.1 that nothing holds for sockets of socketType.
inline std::uint16_t FreeLoopbackPort(int socketType)
{
    const int fd = socket(AF_INET, socketType, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

inline std::uint16_t FreeUdpPort() { return FreeLoopbackPort(SOCK_DGRAM); }

// Asks addr:port for h0.test up to `tries` times, 100 ms apart; true once a
// reply at least as long as a DNS header comes back.
inline bool Answers(const std::string& addr, std::uint16_t port, int tries)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    timeval tv{0, 100000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, addr.c_str(), &to.sin_addr);
    const std::uint8_t q[] = {0x12, 0x34, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 2, 'h', '0', 4, 't', 'e', 's', 't', 0, 0, 1, 0, 1};
    bool ok = false;
    for (int i = 0; i < tries && !ok; ++i) {
        sendto(fd, q, sizeof q, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        std::uint8_t r[512];
        ok = recv(fd, r, sizeof r, 0) >= 12;
    }
    close(fd);
    return ok;
}

// The zone "test." with one name per item, h0 .. h(N-1), each with its own
// address, so every probe asks its own question.
inline void WriteTestZone(const std::string& path, std::uint32_t items)
{
    std::ofstream zone(path);
    zone << "$ORIGIN test.\n$TTL 300\n@ IN SOA ns.test. hostmaster.test. 1 3600 600 86400 300\n"
            "@ IN NS ns.test.\nns IN A 192.0.2.53\n";
    for (std::uint32_t i = 0; i < items; ++i)
        zone << "h" << i << " IN A 10.0." << (i >> 8) << "." << (i & 0xFF) << "\n";
}

// scripts/peers/unbound.sh of the source tree this benchmark was built from.
inline std::string UnboundScript()
{
    return std::filesystem::path(__FILE__).parent_path().parent_path() / "scripts/peers/unbound.sh";
}

} // namespace varnell::bench
