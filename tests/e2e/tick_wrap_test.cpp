// The real program with its 32-bit millisecond tick wrapping a few seconds
// after start (VARNELL_TICK_OFFSET_MS shifts its monotonic clock): it must go
// on probing every item across the wrap. Items on a server that is down before
// the wrap and comes back after it report "is up"; items on a server that stops
// after the wrap report "is down".
//
// The events are read from the program's syslog datagrams, which go to port
// 514: binding it needs root (as CI has); the test skips itself otherwise.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <set>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "config/settings.h"
#include "config/settings_blob.h"
#include "config/settings_store.h"
#include "items/item_table.h"
#include "probe/engine.h"
#include "tests/support/process.h"
#include "tests/support/unbound_peer.h"

using namespace varnell;
using namespace varnell::test;
using namespace std::chrono_literals;

namespace {

constexpr int kBackItems = 8;
constexpr int kGoneItems = 4;
constexpr auto kWrapAfter = 10s; // from the computation of the offset to the wrap

std::uint32_t Ipv4(const std::string& dotted)
{
    in_addr a{};
    inet_pton(AF_INET, dotted.c_str(), &a);
    return a.s_addr;
}

std::string Zone()
{
    return "$ORIGIN wrap.example.\n$TTL 60\n"
           "@ IN SOA ns.wrap.example. admin.wrap.example. 1 3600 600 86400 60\n"
           "@ IN NS ns.wrap.example.\n"
           "ns IN A 127.0.9.1\n"
           "www IN A 10.20.30.40\n";
}

// Collects the event texts of the syslog datagrams sent to address:514.
class SyslogSink {
public:
    bool Open(const std::string& address)
    {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(514);
        a.sin_addr.s_addr = Ipv4(address);
        timeval tv{0, 100000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        return fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~SyslogSink()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    // Reads what has come; true when every text in wanted has been seen.
    bool Seen(const std::set<std::string>& wanted)
    {
        char buffer[2048];
        for (ssize_t n; (n = recv(fd_, buffer, sizeof buffer, 0)) > 0;)
            text_.append(buffer, static_cast<std::size_t>(n)).push_back('\n');
        for (const std::string& w : wanted)
            if (text_.find(w) == std::string::npos)
                return false;
        return true;
    }
    const std::string& Text() const { return text_; }

private:
    int fd_ = -1;
    std::string text_;
};

std::set<std::string> Events(const char* prefix, int count, const char* what)
{
    std::set<std::string> out;
    for (int i = 0; i < count; ++i)
        out.insert(prefix + std::to_string(i) + what);
    return out;
}

TEST(TickWrap, ItemsKeepBeingProbedAcrossTheWrap)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: the program sends its syslog datagrams to port 514";
    // Addresses of this run's own, so another run on this machine cannot mix in.
    const std::string base = "127.11." + std::to_string(getpid() % 250 + 1) + ".";
    const std::string backAddress = base + "1", goneAddress = base + "2", syslogAddress = base + "3";
    TempDir dir;
    SyslogSink syslog;
    ASSERT_TRUE(syslog.Open(syslogAddress));
    UnboundPeer gone;
    ASSERT_TRUE(gone.Start({{"wrap.example", Zone()}}, {goneAddress})) << gone.Log();
    const std::uint16_t backPort = FreePort(true);

    setenv("XDG_CONFIG_HOME", dir.Path().c_str(), 1);
    Settings s = DefaultSettings(LookUpLocalAddress());
    s.general.SetFlags((s.general.Flags() & ~(kGenPopup | kGenSound)) | kGenSyslog);
    s.syslog.servers = {Ipv4(syslogAddress)};
    InitItemTable();
    // Whenever the last pass before the wrap comes, some request of the silent
    // server expires between it and the wrap (timeouts 50 ms apart modulo the
    // second), or the live server's next due times fall before the wrap.
    for (int i = 0; i < kBackItems + kGoneItems; ++i) {
        const bool back = i < kBackItems;
        const int n = back ? i : i - kBackItems;
        ItemEdit e;
        e.name = (back ? "back" : "gone") + std::to_string(n);
        e.domain = "www.wrap.example";
        e.interval = 500;
        e.timeout = back ? 1050 + 100 * static_cast<std::uint32_t>(n) : 1000;
        e.lostCount = 1;
        e.serverBE = Ipv4(back ? backAddress : goneAddress);
        const int slot = NewItemSlot();
        ASSERT_GE(slot, 0);
        ASSERT_TRUE(CommitNewItem(static_cast<std::uint32_t>(slot), e));
        LockItems()->items[static_cast<std::size_t>(slot)].server.portBE = htons(back ? backPort : gone.Port());
    }
    std::vector<std::uint8_t> blob;
    BuildSettingsBlob(s, *LockItems(), blob);
    ASSERT_EQ(WriteSettingsBlob(blob.data(), blob.size()), 1);
    unsetenv("XDG_CONFIG_HOME");

    // The program's tick is its monotonic clock in ms plus the offset; this
    // process reads the same clock.
    const auto wrapAt = std::chrono::steady_clock::now() + kWrapAfter;
    const auto nowMs = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
    const std::uint64_t wrapMs = nowMs + static_cast<std::uint64_t>(kWrapAfter / 1ms);
    const std::uint64_t offset = ((std::uint64_t{1} << 32) - (wrapMs & 0xFFFFFFFFu)) & 0xFFFFFFFFu;

    ChildProcess program;
    const std::string out = dir.File("varnell.out");
    ASSERT_TRUE(program.Start({BinaryDir() + "/varnell"},
                              {"XDG_CONFIG_HOME=" + dir.Path(), "QT_QPA_PLATFORM=offscreen",
                               "VARNELL_TICK_OFFSET_MS=" + std::to_string(offset)},
                              out, out));
    // Before the wrap: the items of the silent server go down.
    ASSERT_TRUE(WaitFor([&] { return syslog.Seen(Events("back", kBackItems, " is down")); }, kWrapAfter))
        << syslog.Text() << ReadFile(out);
    std::this_thread::sleep_until(wrapAt + 1500ms);

    // After it: one server comes back, the other goes away.
    UnboundPeer back;
    ASSERT_TRUE(back.Start({{"wrap.example", Zone()}}, {backAddress}, backPort)) << back.Log();
    gone.Stop();
    std::set<std::string> wanted = Events("back", kBackItems, " is up");
    wanted.merge(Events("gone", kGoneItems, " is down"));
    EXPECT_TRUE(WaitFor([&] { return syslog.Seen(wanted); }, 15s)) << syslog.Text();

    const int status = program.Stop(SIGTERM, 7s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << ReadFile(out);
}

} // namespace
