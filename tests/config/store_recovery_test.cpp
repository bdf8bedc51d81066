// What survives when things go wrong: a save killed in the middle, and a
// store file that is not (or no longer) a readable store.
#include <sqlite3.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "tests/config/store_fixture.h"

using namespace varnell;
using namespace varnell::test;
namespace fs = std::filesystem;

namespace {

std::string g_marker;

[[noreturn]] void SignalAndHang()
{
    WriteFile(g_marker, "in transaction");
    for (;;)
        pause();
}

void HookThatHangs() { SignalAndHang(); }

// Kills the child and reaps it; true when it died of that signal.
bool KillChild(pid_t pid)
{
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

std::vector<fs::path> AsideFiles(const std::string& folder)
{
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().string().rfind("registry.db.unreadable-", 0) == 0)
            found.push_back(entry.path());
    }
    std::sort(found.begin(), found.end());
    return found;
}

void MakeDatabase(const std::string& path, const char* sql)
{
    fs::create_directories(fs::path(path).parent_path());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
}

using StoreRecovery = StoreTest;

} // namespace

TEST_F(StoreRecovery, SaveKilledInsideItsTransactionLeavesThePreviousSettings)
{
    CurrentSettings().general.texts[kTextExecPath] = "/usr/bin/previous";
    AddItem("first");
    AddItem("second");
    SaveSettings();
    std::vector<std::uint8_t> previous;
    ASSERT_GT(ReadSettingsBlob(previous), 0);

    g_marker = Dir() + "/marker";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A longer blob than the stored one: every piece gets rewritten and new
        // ones are added before the hook stops it short of the commit.
        CurrentSettings().general.texts[kTextExecPath] = "/usr/bin/next";
        for (int i = 0; i < 40; ++i)
            AddItem("later" + std::to_string(i));
        SetSaveTransactionHook(HookThatHangs);
        SaveSettings();
        _exit(3);
    }
    const bool reached = WaitFor([] { return fs::exists(g_marker); }, std::chrono::seconds(30));
    EXPECT_TRUE(KillChild(child));
    ASSERT_TRUE(reached) << "the child never got inside the transaction";

    std::vector<std::uint8_t> after;
    ASSERT_EQ(ReadSettingsBlob(after), static_cast<int>(previous.size()));
    EXPECT_TRUE(after == previous);
    InitItemTable();
    CurrentSettings() = DefaultSettings(0);
    ASSERT_EQ(LoadSettings(), 0);
    EXPECT_EQ(CurrentSettings().general.texts[kTextExecPath], "/usr/bin/previous");
    EXPECT_EQ(LockItems()->liveCount, 2u);
    EXPECT_EQ(LockItems()->blocks[1].name, "second");

    // The dead writer's lock and journal are gone: the next save goes through.
    CurrentSettings().general.texts[kTextExecPath] = "/usr/bin/third";
    SaveSettings();
    CurrentSettings() = DefaultSettings(0);
    ASSERT_EQ(LoadSettings(), 0);
    EXPECT_EQ(CurrentSettings().general.texts[kTextExecPath], "/usr/bin/third");
}

TEST_F(StoreRecovery, SavesKilledAtRandomMomentsLeaveOneWholeBlob)
{
    std::vector<std::uint8_t> a(3000), b(77777);
    for (std::size_t i = 0; i < a.size(); ++i)
        a[i] = static_cast<std::uint8_t>(i);
    for (std::size_t i = 0; i < b.size(); ++i)
        b[i] = static_cast<std::uint8_t>(255 - i % 251);
    ASSERT_EQ(WriteSettingsBlob(a.data(), a.size()), 1);

    std::mt19937 rng(7);
    for (int round = 0; round < 8; ++round) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (bool odd = false;; odd = !odd) {
                const auto& blob = odd ? b : a;
                WriteSettingsBlob(blob.data(), blob.size());
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 120));
        EXPECT_TRUE(KillChild(child));
        std::vector<std::uint8_t> back;
        const int n = ReadSettingsBlob(back);
        ASSERT_TRUE(n == 3000 || n == 77777) << "round " << round << " read " << n;
        EXPECT_TRUE(back == (n == 3000 ? a : b)) << "round " << round;
    }
}

TEST_F(StoreRecovery, UnreadableStoreIsHeldCopiedAndLetGoWhenMovedAway)
{
    const std::string folder = Dir() + "/varnell";
    fs::create_directories(folder);
    std::string garbage(8192, '\0');
    std::mt19937 rng(99);
    for (char& c : garbage)
        c = static_cast<char>(rng());
    WriteFile(RegistryPath(), garbage);
    WriteFile(RegistryPath() + "-journal", "stale journal of the broken file");

    CurrentSettings().general.texts[kTextLogPath] = "untouched.log";
    EXPECT_EQ(LoadSettings(), kSettingsUnreadable);
    EXPECT_EQ(CurrentSettings().general.texts[kTextLogPath], "untouched.log") << "defaults stay";
    ASSERT_NE(HeldStore(), nullptr);
    EXPECT_EQ(HeldStore()->reason, "the file is not a database");

    // No save goes over it, and nothing was moved.
    std::string why;
    EXPECT_FALSE(SaveSettings(&why));
    EXPECT_NE(why.find("cannot be read (the file is not a database)"), std::string::npos) << why;
    EXPECT_TRUE(ReadFile(RegistryPath()) == garbage) << "written over";
    EXPECT_TRUE(AsideFiles(folder).empty());

    // The copy: the bytes as found, as private as the store.
    ASSERT_TRUE(CopyHeldStore(why)) << why;
    const std::string copy = HeldStore()->copy;
    EXPECT_EQ(copy.rfind(RegistryPath() + ".broken-", 0), 0u) << copy;
    EXPECT_TRUE(ReadFile(copy) == garbage);
    EXPECT_EQ(fs::status(copy).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_NE(HeldStoreText(*HeldStore()).find(copy), std::string::npos);

    // The operator moves it away: the next save makes a new store, into which
    // the old file's journal is not played.
    fs::rename(RegistryPath(), Dir() + "/moved-away.db");
    EXPECT_EQ(HeldStore(), nullptr);
    ASSERT_TRUE(SaveSettings(&why)) << why;
    EXPECT_FALSE(fs::exists(RegistryPath() + "-journal"));
    ASSERT_EQ(AsideFiles(folder).size(), 1u);
    EXPECT_EQ(ReadFile(AsideFiles(folder)[0].string()), "stale journal of the broken file");
    CurrentSettings() = DefaultSettings(0);
    EXPECT_EQ(LoadSettings(), 0);
    EXPECT_EQ(CurrentSettings().general.texts[kTextLogPath], "untouched.log");
}

TEST_F(StoreRecovery, DatabaseOfAnotherShapeIsHeldByAReaderAndMovedAsideByAWriter)
{
    const std::string folder = Dir() + "/varnell";
    const std::uint8_t blob[3] = {1, 2, 3};
    for (const char* sql : {"CREATE TABLE registry_values(key TEXT, value BLOB)",
                            "CREATE TABLE registry_values(key TEXT NOT NULL, name TEXT NOT NULL, type INTEGER NOT NULL, "
                            "data BLOB NOT NULL, PRIMARY KEY(name, key))",
                            "CREATE TABLE notes(line TEXT)"}) {
        MakeDatabase(RegistryPath(), sql);
        const auto before = AsideFiles(folder).size();
        EXPECT_EQ(LoadSettings(), kSettingsUnreadable) << sql;
        EXPECT_TRUE(fs::exists(RegistryPath())) << sql;
        // A writer that never read it (and so holds nothing) keeps it aside.
        EXPECT_EQ(WriteSettingsBlob(blob, sizeof blob), 1) << sql;
        EXPECT_EQ(AsideFiles(folder).size(), before + 1) << sql;
        fs::remove(RegistryPath());
    }

    // The right shape written by someone else (whitespace, case) is ours.
    MakeDatabase(RegistryPath(), "create table registry_values (key text not null, name text not null, "
                                 "type integer not null, data blob not null, primary key (key, name))");
    EXPECT_EQ(WriteSettingsBlob(blob, sizeof blob), 1);
    std::vector<std::uint8_t> back;
    EXPECT_EQ(ReadSettingsBlob(back), 3);
    EXPECT_EQ(AsideFiles(folder).size(), 3u);
}

TEST_F(StoreRecovery, EmptyOrUnopenableStoreIsNotMovedAside)
{
    const std::string folder = Dir() + "/varnell";
    fs::create_directories(folder);
    WriteFile(RegistryPath(), "");
    EXPECT_EQ(LoadSettings(), kSettingsMissing);
    EXPECT_TRUE(fs::exists(RegistryPath())) << "an empty file is a new store, not a broken one";
    EXPECT_TRUE(SaveSettings());
    EXPECT_EQ(LoadSettings(), 0);

    // A folder where the file should be: nothing to read, move or save.
    fs::remove(RegistryPath());
    fs::create_directories(RegistryPath());
    EXPECT_EQ(LoadSettings(), kSettingsUnreadable);
    const std::uint8_t blob[1] = {7};
    std::string why;
    EXPECT_EQ(WriteSettingsBlob(blob, 1, {}, &why), 0);
    EXPECT_EQ(why, RegistryPath() + " is not a file");
    EXPECT_TRUE(AsideFiles(folder).empty());
}
