// The exit while alert workers are stuck on peers that never answer: an SMTP
// server and a network-message receiver that accept the connection and then
// stay silent. The workers must give up when told to stop, so that the real
// program ends promptly, cleanly and with its settings saved.
//
// The program calls port 139 of each receiver, which only root may listen on;
// the test skips itself otherwise.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <netinet/in.h>
#include <poll.h>
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
#include "tests/e2e/blob_parts.h"
#include "tests/support/process.h"

using namespace varnell;
using namespace varnell::test;
using namespace std::chrono_literals;

namespace {

std::uint32_t Ipv4(const std::string& dotted)
{
    in_addr a{};
    inet_pton(AF_INET, dotted.c_str(), &a);
    return a.s_addr;
}

// Listens and never accepts: the kernel completes every connection, and what
// the client sends is never answered.
class SilentListener {
public:
    SilentListener(const std::string& address, std::uint16_t port)
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = Ipv4(address);
        socklen_t len = sizeof sa;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&sa), len) == 0 && listen(fd_, 16) == 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len) == 0)
            port_ = ntohs(sa.sin_port);
    }
    ~SilentListener() { close(fd_); }
    std::uint16_t Port() const { return port_; }
    // A client has connected (its connection waits, never accepted).
    bool Called() const
    {
        pollfd p{fd_, POLLIN, 0};
        return poll(&p, 1, 0) == 1;
    }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

} // namespace

TEST(StalledAlerts, ExitEndsPromptlyWhileMailAndNetworkMessageWaitOnSilentPeers)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: the program calls port 139 of its receivers";
    TempDir dir;
    setenv("XDG_CONFIG_HOME", dir.Path().c_str(), 1);
    // Addresses of this run's own: nothing answers DNS there, so the item goes down.
    const std::string base = "127.9." + std::to_string(getpid() % 250 + 1) + ".";
    SilentListener smtp(base + "3", 0);
    SilentListener receiver(base + "4", 139);
    ASSERT_NE(smtp.Port(), 0);
    ASSERT_NE(receiver.Port(), 0) << "port 139 of " << base << "4 is taken";

    Settings s = DefaultSettings(LookUpLocalAddress());
    std::uint32_t flags = s.general.Flags() & ~(kGenPopup | kGenSound | kGenExecute | kGenSyslog);
    s.general.SetFlags(flags | kGenMail | kGenNetMessage);
    s.messenger.receivers = {Ipv4(base + "4")};
    s.mail.server = base + "3";
    s.mail.port = smtp.Port();
    s.mail.receivers = {"oncall@stall.example"};
    CurrentSettings() = s;
    InitItemTable();
    ItemEdit e;
    e.name = "stall";
    e.domain = "stall.example";
    e.interval = 300;
    e.timeout = 300;
    e.lostCount = 1;
    e.serverBE = Ipv4(base + "1");
    const int slot = NewItemSlot();
    ASSERT_GE(slot, 0);
    ASSERT_TRUE(CommitNewItem(static_cast<std::uint32_t>(slot), e));
    std::vector<std::uint8_t> blob;
    BuildSettingsBlob(s, *LockItems(), blob);
    ASSERT_EQ(WriteSettingsBlob(blob.data(), blob.size()), 1); // no extra values: the exit's save adds them

    ChildProcess program;
    const std::string out = dir.File("varnell.out");
    ASSERT_TRUE(program.Start({BinaryDir() + "/varnell"},
                              {"XDG_CONFIG_HOME=" + dir.Path(), "QT_QPA_PLATFORM=offscreen"}, out, out));
    // The down event's mail and network message reach their peers, and both
    // workers then wait for replies that never come.
    ASSERT_TRUE(WaitFor([&] { return smtp.Called() && receiver.Called(); }, 10s)) << ReadFile(out);
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(program.Running()) << ReadFile(out);

    const auto start = std::chrono::steady_clock::now();
    const int status = program.Stop(SIGTERM, 10s);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    ASSERT_NE(status, -1) << "still running ten seconds after SIGTERM";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << ReadFile(out);
    EXPECT_LT(took.count(), 6500);
    // A sanitizer build reports into the program's output.
    EXPECT_EQ(ReadFile(out).find("Sanitizer"), std::string::npos) << ReadFile(out);

    std::vector<std::uint8_t> saved;
    ASSERT_GT(ReadSettingsBlob(saved), 0);
    EXPECT_EQ(SettingsRecords(saved), SettingsRecords(blob));
    ExtraSettings extra;
    extra.queryEdns = 0; // only the exit's save can have stored the real value
    ASSERT_TRUE(ReadExtraSettings(extra));
    EXPECT_EQ(extra.queryEdns, ExtraSettings{}.queryEdns);
    unsetenv("XDG_CONFIG_HOME");
}
