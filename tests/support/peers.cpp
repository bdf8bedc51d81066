#include "tests/support/peers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <sstream>

namespace varnell::test {

using namespace std::chrono_literals;

bool SmtpPeer::Start(const std::vector<std::string>& logon)
{
    port_ = FreePort(false);
    std::vector<std::string> argv{"/usr/bin/python3", SourceDir() + "/scripts/peers/smtpd.py", std::to_string(port_),
                                  dir_.Path()};
    argv.insert(argv.end(), logon.begin(), logon.end());
    if (!child_.Start(argv, {}, "", dir_.File("stderr.txt")))
        return false;
    return WaitFor([&] { return TcpPortOpen(port_); }, 20s, 50ms);
}

std::string SmtpPeer::Message(int n) const { return ReadFile(dir_.File("message-" + std::to_string(n) + ".txt")); }
std::string SmtpPeer::Events() const { return ReadFile(dir_.File("events.log")); }

bool RsyslogPeer::Start(const std::string& addr, std::uint16_t port)
{
    const std::string script = SourceDir() + "/scripts/peers/rsyslog.sh";
    if (!child_.Start({"/bin/bash", script, dir_.Path(), std::to_string(port), addr}, {}, "",
                      dir_.File("stderr.txt")))
        return false;
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = inet_addr(addr.c_str());
    to.sin_port = htons(port);
    const bool ready = WaitFor(
        [&] {
            const char probe[] = "<13>0:  ready";
            ::sendto(fd, probe, sizeof probe - 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            return ReadFile(dir_.File("messages.log")).find("ready") != std::string::npos;
        },
        15s, 100ms);
    ::close(fd);
    return ready;
}

std::vector<std::string> RsyslogPeer::Lines() const
{
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(dir_.File("messages.log")));
    for (std::string line; std::getline(in, line);)
        if (line.find("ready") == std::string::npos)
            lines.push_back(line);
    return lines;
}

SmbdPeer::SmbdPeer(bool withMessages, std::uint16_t port) : port_(port != 0 ? port : FreePort(false))
{
    chmod(dir_.Path().c_str(), 0755); // smbd runs the message command as nobody
    const std::string msgs = dir_.File("msgs");
    mkdir(msgs.c_str(), 0777);
    chmod(msgs.c_str(), 0777);
    std::string conf = "[global]\n"
                       "  smb ports = " + std::to_string(port_) + "\n"
                       "  interfaces = 127.0.0.1/8\n"
                       "  bind interfaces only = yes\n"
                       "  disable netbios = yes\n"
                       "  server min protocol = NT1\n"
                       "  log level = 1\n";
    for (const std::string d : {"lock", "state", "cache", "pid", "private", "ncalrpc"}) {
        mkdir(dir_.File(d).c_str(), 0755);
        conf += "  " + (d == "private" ? std::string("private dir") : d + " directory") + " = " + dir_.File(d) + "\n";
    }
    if (withMessages)
        conf += "  message command = /bin/sh -c '{ echo \"from=%f\"; /bin/cat %s; echo; } >> " + msgs +
                "/msgs.txt; /bin/rm -f %s' &\n";
    WriteFile(dir_.File("smb.conf"), conf);
    started_ = child_.Start({"smbd", "--foreground", "--no-process-group", "--debug-stdout", "-s",
                             dir_.File("smb.conf")},
                            {}, dir_.File("smbd.log"), dir_.File("smbd.log")) &&
               WaitFor([this] { return TcpPortOpen(port_); }, 15s);
}

std::string SmbdPeer::Messages() const { return ReadFile(dir_.File("msgs/msgs.txt")); }
std::string SmbdPeer::Log() const { return ReadFile(dir_.File("smbd.log")); }

} // namespace varnell::test
