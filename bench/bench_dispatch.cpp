// How long DispatchEvent holds the user-interface thread for one event with
// every channel on: the syslog datagram and the log line done inline, five
// queue posts (two network messages) with their string copies and wake-ups.
// The workers are made but not run, so only the caller's side is measured;
// 2000 events stay below the 2047-entry rings.
//
// usage: bench_dispatch [events]   (at most 2000)
#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "alerts/dispatch.h"
#include "alerts/log_file.h"
#include "alerts/syslog.h"
#include "base/headless_ui_channel.h"
#include "config/settings.h"

using namespace varnell;

int main(int argc, char** argv)
{
    int events = argc > 1 ? std::atoi(argv[1]) : 2000;
    events = std::clamp(events, 1, 2000);

    HeadlessUiChannel desktop;
    SetUiChannel(&desktop);

    // A loopback sink for the syslog datagrams, drained by nobody: the socket
    // buffer takes them.
    int sink = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = inet_addr("127.0.0.1");
    ::bind(sink, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(sink, reinterpret_cast<sockaddr*>(&a), &len);
    OpenSyslogSocket();
    SetSyslogPort(ntohs(a.sin_port));

    char dir[] = "/tmp/varnell-bench-XXXXXX";
    if (::mkdtemp(dir) == nullptr)
        return 1;
    std::string logPath = std::string(dir) + "/bench.log";

    Settings& s = CurrentSettings();
    s.general.SetFlags(kGenExecute | kGenMail | kGenPopup | kGenNetMessage | kGenSound | kGenLog | kGenSyslog |
                       kGenBeep);
    s.general.texts[kTextExecPath] = "/bin/true";
    s.general.texts[kTextLogPath] = logPath;
    s.mail.server = "127.0.0.1";
    s.mail.receivers = {"ops@example.test", "noc@example.test", "oncall@example.test"};
    s.messenger.receivers = {inet_addr("127.0.0.1"), inet_addr("127.0.0.2")};
    s.syslog.servers = {inet_addr("127.0.0.1")};
    OpenLogFile();
    StartAlertWorkers(false);

    DnsItem item{};
    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(events));
    for (int i = 0; i < events; ++i) {
        std::string text = "the ip of host" + std::to_string(i) + ".example.test is changed to 192.0.2.1; 192.0.2.2; ";
        auto t0 = std::chrono::steady_clock::now();
        DispatchEvent(item, text, "2026-12-08 03:00:00");
        auto t1 = std::chrono::steady_clock::now();
        us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    std::sort(us.begin(), us.end());
    std::printf("events %d: median %.1f us, p99 %.1f us, max %.1f us per DispatchEvent\n", events,
                us[us.size() / 2], us[us.size() * 99 / 100], us.back());

    StopAlertWorkers();
    s.general.texts[kTextLogPath] = "";
    ReopenLogFile();
    ::unlink(logPath.c_str());
    ::rmdir(dir);
    ::close(sink);
    return 0;
}
