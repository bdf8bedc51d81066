// A plain HTTP/1.1 client for the metrics tests: one request on one connection
// to a loopback address, the whole answer read until the server closes.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "base/write_all.h"

namespace varnell::test {

// A connected TCP socket to addr:port, or -1.
inline int ConnectTcp(std::uint16_t port, const char* addr = "127.0.0.1")
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, addr, &to.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends request as it is (the server may stop reading early) and returns all
// that came back; empty when nothing did.
inline std::string HttpExchange(std::uint16_t port, const std::string& request, const char* addr = "127.0.0.1")
{
    const int fd = ConnectTcp(port, addr);
    if (fd < 0)
        return {};
    SendAll(fd, request);
    std::string answer;
    char buffer[65536];
    for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
        answer.append(buffer, static_cast<std::size_t>(n));
    close(fd);
    return answer;
}

inline std::string HttpRequest(std::uint16_t port, const std::string& method, const std::string& path,
                               const char* addr = "127.0.0.1")
{
    return HttpExchange(port, method + " " + path + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n", addr);
}

// The body of a 200 answer to GET path, or empty.
inline std::string HttpGetBody(std::uint16_t port, const std::string& path, const char* addr = "127.0.0.1")
{
    const std::string answer = HttpRequest(port, "GET", path, addr);
    const std::size_t end = answer.find("\r\n\r\n");
    if (answer.rfind("HTTP/1.1 200", 0) != 0 || end == std::string::npos)
        return {};
    return answer.substr(end + 4);
}

} // namespace varnell::test
