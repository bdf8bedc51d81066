// The program as the operator runs it: started with an empty or a prepared
// configuration folder, ended with SIGTERM, and judged by what it leaves in the
// settings store.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <functional>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "config/settings.h"
#include "config/settings_blob.h"
#include "config/settings_store.h"
#include "items/item_entry.h"
#include "items/item_table.h"
#include "items/transport_state.h"
#include "probe/engine.h"
#include "tests/support/encrypted_peers.h"
#include "tests/support/process.h"

using namespace varnell;
using namespace varnell::test;
using namespace std::chrono_literals;

namespace {

bool Exists(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// The blob up to the item table record (records 1 to 8).
std::vector<std::uint8_t> SettingsPart(const std::vector<std::uint8_t>& blob)
{
    std::size_t pos = 0;
    while (pos + kRecordHeaderSize <= blob.size()) {
        std::int32_t type = 0, length = 0;
        std::memcpy(&type, &blob[pos + 4], 4);
        std::memcpy(&length, &blob[pos + 8], 4);
        if (type == kRecordItems || length < 0)
            break;
        pos += kRecordHeaderSize + static_cast<std::size_t>(length);
    }
    return {blob.begin(), blob.begin() + static_cast<std::ptrdiff_t>(std::min(pos, blob.size()))};
}

class ProgramRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The store functions of this process read the same folder as the program.
        setenv("XDG_CONFIG_HOME", dir_.Path().c_str(), 1);
        // The default log file name is relative: the program runs in the temporary
        // folder, so its log lands there too.
        char cwd[4096] = {};
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        savedCwd_ = cwd;
        ASSERT_EQ(chdir(dir_.Path().c_str()), 0);
    }
    void TearDown() override
    {
        unsetenv("XDG_CONFIG_HOME");
        [[maybe_unused]] int rc = chdir(savedCwd_.c_str());
    }

    // Starts the program, waits until it is up, ends it with SIGTERM and returns
    // how long the end took.
    // ready: what must hold before SIGTERM, beside start-up having finished.
    std::chrono::milliseconds RunAndTerminate(ChildProcess& child, int& status, const std::string& logName = "varnell.log",
                                              const std::function<bool()>& ready = {})
    {
        const std::string log = dir_.File("varnell.out");
        EXPECT_TRUE(child.Start({BinaryDir() + "/varnell"},
                                {"XDG_CONFIG_HOME=" + dir_.Path(), "QT_QPA_PLATFORM=offscreen"}, log, log));
        // The event log file appears once start-up has loaded the settings; give
        // the rest of start-up a moment more.
        EXPECT_TRUE(WaitFor([&] { return Exists(dir_.File(logName)); }, 5s));
        std::this_thread::sleep_for(500ms);
        if (ready) {
            EXPECT_TRUE(WaitFor(ready, 10s));
        }
        EXPECT_TRUE(child.Running()) << ReadFile(log);
        const auto start = std::chrono::steady_clock::now();
        status = child.Stop(SIGTERM, 7s);
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    }

    TempDir dir_;
    std::string savedCwd_;
};

} // namespace

TEST_F(ProgramRun, FirstStartEndedBySigtermSavesTheDefaultsAndRegistersAutostart)
{
    ChildProcess child;
    int status = -1;
    const auto took = RunAndTerminate(child, status);
    ASSERT_NE(status, -1) << "still running seven seconds after SIGTERM";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_LT(took.count(), 7000);

    EXPECT_TRUE(Exists(dir_.File("varnell/registry.db")));
    EXPECT_EQ(QueryAutoStart(), 1);
    std::vector<std::uint8_t> saved;
    ASSERT_GT(ReadSettingsBlob(saved), 0);

    Settings defaults = DefaultSettings(LookUpLocalAddress());
    InitItemTable();
    std::vector<std::uint8_t> expected;
    BuildSettingsBlob(defaults, *LockItems(), expected);
    EXPECT_EQ(saved, expected);
}

TEST_F(ProgramRun, StoredItemsComeBackAsTheyWereWritten)
{
    // A store prepared with the program's own functions: three items, two of
    // them suspended, and a changed setting.
    Settings settings = DefaultSettings(LookUpLocalAddress());
    settings.general.texts[kTextLogPath] = dir_.File("events.log");
    settings.syslog.messageTemplate = "prepared by the test";
    CurrentSettings() = settings;
    InitItemTable();
    const char* names[3] = {"alpha", "beta", "gamma"};
    for (int i = 0; i < 3; ++i) {
        ItemEdit e;
        e.interval = 60000;
        e.timeout = 1500 + static_cast<std::uint32_t>(i);
        e.serverBE = htonl(INADDR_LOOPBACK);
        e.typeIndex = static_cast<std::uint32_t>(i);
        e.lostCount = 3;
        e.notifyUp = i != 1;
        e.name = names[i];
        e.description = std::string("item ") + names[i];
        e.domain = std::string(names[i]) + ".example.test";
        const int slot = NewItemSlot();
        ASSERT_GE(slot, 0);
        ASSERT_TRUE(CommitNewItem(static_cast<std::uint32_t>(slot), e));
        if (i > 0)
            SuspendItem(static_cast<std::uint32_t>(slot));
    }
    std::array<DnsItem, 3> written{};
    for (int i = 0; i < 3; ++i)
        written[static_cast<std::size_t>(i)] = LockItems()->items[static_cast<std::size_t>(i)];
    std::vector<std::uint8_t> blob;
    BuildSettingsBlob(settings, *LockItems(), blob);
    ASSERT_EQ(WriteSettingsBlob(blob.data(), blob.size()), 1);

    ChildProcess child;
    int status = -1;
    RunAndTerminate(child, status, "events.log");
    ASSERT_NE(status, -1);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    // Not a first run: no autostart entry was made.
    EXPECT_EQ(QueryAutoStart(), 0);

    std::vector<std::uint8_t> saved;
    ASSERT_GT(ReadSettingsBlob(saved), 0);
    EXPECT_EQ(SettingsPart(saved), SettingsPart(blob));

    Settings back;
    InitItemTable();
    ApplySettingsBlob(saved, back, *LockItems());
    ASSERT_EQ(LockItems()->liveCount, 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        const DnsItem& a = written[i];
        const DnsItem& b = LockItems()->items[i];
        // Loading clears the deleted and outstanding bits and the due time, and
        // the list and the scheduler own row, request and due fields at run time.
        const std::uint32_t runBits = kFlagDeleted | kFlagOutstandingMask;
        EXPECT_EQ(a.flags & ~runBits, b.flags & ~runBits) << i;
        EXPECT_EQ(a.interval, b.interval);
        EXPECT_EQ(a.timeout, b.timeout);
        EXPECT_EQ(0, std::memcmp(&a.server, &b.server, sizeof a.server));
        EXPECT_EQ(a.typeIndex, b.typeIndex);
        EXPECT_EQ(a.mailGroup, b.mailGroup);
        EXPECT_EQ(a.knownCount, b.knownCount);
        EXPECT_EQ(0, std::memcmp(a.reserved1, b.reserved1, sizeof a.reserved1));
        EXPECT_EQ(LockItems()->blocks[i].name, names[i]);
        EXPECT_EQ(LockItems()->blocks[i].description, std::string("item ") + names[i]);
        EXPECT_EQ(LockItems()->blocks[i].domain, std::string(names[i]) + ".example.test");
    }
}

TEST_F(ProgramRun, SigintIsAnOrderlyExitToo)
{
    ChildProcess child;
    const std::string log = dir_.File("varnell.out");
    ASSERT_TRUE(child.Start({BinaryDir() + "/varnell"},
                            {"XDG_CONFIG_HOME=" + dir_.Path(), "QT_QPA_PLATFORM=offscreen"}, log, log));
    WaitFor([&] { return Exists(dir_.File("varnell.log")); }, 5s);
    std::this_thread::sleep_for(300ms);
    const int status = child.Stop(SIGINT, 7s);
    ASSERT_NE(status, -1);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::vector<std::uint8_t> saved;
    EXPECT_GT(ReadSettingsBlob(saved), 0);
}


TEST_F(ProgramRun, ASilentTlsServerDoesNotHoldTheExit)
{
    // Items over TLS and HTTPS whose server accepts the connection and never
    // says a word: their handshakes are under way when SIGTERM comes.
    SilentTcpPort silent;
    ASSERT_NE(silent.Port(), 0);
    CurrentSettings() = DefaultSettings(LookUpLocalAddress());
    InitItemTable();
    for (const Transport transport : {Transport::kTls, Transport::kHttps}) {
        ItemEdit e;
        e.interval = 1000;
        e.timeout = 60000;
        e.serverBE = htonl(INADDR_LOOPBACK);
        e.name = std::string(TransportName(transport));
        e.domain = "www.example.test";
        const int slot = NewItemSlot();
        ASSERT_GE(slot, 0);
        ASSERT_TRUE(CommitNewItem(static_cast<std::uint32_t>(slot), e));
        ItemTransport t;
        t.transport = transport;
        if (transport == Transport::kHttps)
            t.url = "https://127.0.0.1:" + std::to_string(silent.Port()) + "/dns-query";
        std::lock_guard lock(EngineLock());
        DnsItem& item = LockItems()->items[static_cast<std::uint32_t>(slot)];
        item.server.portBE = htons(silent.Port());
        ASSERT_TRUE(SetItemTransport(item, t));
    }
    std::vector<std::uint8_t> blob;
    BuildSettingsBlob(CurrentSettings(), *LockItems(), blob);
    ASSERT_EQ(WriteSettingsBlob(blob.data(), blob.size()), 1);

    ChildProcess child;
    int status = -1;
    // SIGTERM comes once both handshakes wait on the silent port.
    const auto took = RunAndTerminate(child, status, "varnell.log", [&] { return ConnectionsTo(silent.Port()) >= 2; });
    ASSERT_NE(status, -1) << "still running seven seconds after SIGTERM";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_LT(took.count(), 6500);
    // The transports came back from the store and went into it again.
    std::vector<std::uint8_t> saved;
    ASSERT_GT(ReadSettingsBlob(saved), 0);
    Settings back;
    InitItemTable();
    ApplySettingsBlob(saved, back, *LockItems());
    std::lock_guard lock(EngineLock());
    EXPECT_EQ(TransportOf(1).settings.url, "https://127.0.0.1:" + std::to_string(silent.Port()) + "/dns-query");
    EXPECT_EQ(TransportOf(0).settings.transport, Transport::kTls);
}
