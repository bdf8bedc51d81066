// The history file: a restart brings every item's history back by what the item
// asks, and a damaged file is moved aside instead of stopping the start.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fstream>
#include <sqlite3.h>

#include "base/folders.h"
#include "config/history_file.h"
#include "config/registry.h"
#include "items/history.h"
#include "tests/config/store_fixture.h"
#include "tests/support/process.h"

namespace varnell::test {
namespace {

constexpr std::int64_t kNow = 1796688000;

// The keys of the file's rows, read as another process would.
std::vector<std::string> KeysIn(const std::string& path)
{
    std::vector<std::string> keys;
    sqlite3* db = nullptr;
    sqlite3_stmt* select = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "SELECT key FROM history", -1, &select, nullptr) == SQLITE_OK)
        while (sqlite3_step(select) == SQLITE_ROW)
            keys.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(select, 0)));
    sqlite3_finalize(select);
    sqlite3_close_v2(db);
    return keys;
}

class HistoryFileTest : public StoreTest {
protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        setenv("XDG_STATE_HOME", Dir().c_str(), 1);
        ClearAllHistory();
    }
    void TearDown() override
    {
        ClearAllHistory();
        StoreTest::TearDown();
    }
    std::vector<std::string> Files() const
    {
        std::vector<std::string> names;
        DIR* d = opendir((Dir() + "/varnell").c_str());
        while (dirent* e = d ? readdir(d) : nullptr)
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        if (d)
            closedir(d);
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(HistoryFileTest, RestartRestoresEachItemsHistoryByWhatItAsks)
{
    EXPECT_EQ(HistoryPath(), Dir() + "/varnell/history.db");
    const std::uint32_t a = AddItem("alpha");
    const std::uint32_t b = AddItem("beta");
    for (std::int64_t s = 0; s < 1800; s += 5) {
        RecordResult(a, kNow - s, 0, 20, 0);
        RecordResult(b, kNow - s, s < 300 ? 16 : 0, s < 300 ? -1 : 40, s < 300 ? kHistoryDown : 0);
    }
    const auto before = EncodeHistory(*HistoryOf(b), kNow);
    ASSERT_TRUE(WriteHistoryFile(HistoryPath(), CollectHistoryRows(kNow)));

    // The next run: the items come back in other slots, one of them changed to
    // ask another server, which makes it another item.
    ClearAllHistory();
    InitItemTable();
    const std::uint32_t b2 = AddItem("beta");
    const std::uint32_t a2 = AddItem("alpha", 0x0300007F);
    ASSERT_NE(b2, b);
    // Loaded as at start-up: before the item list has given the items rows.
    LockItems()->rowCount = 0;
    EXPECT_EQ(LoadHistoryFile(HistoryPath()), HistoryLoad::kLoaded);
    ASSERT_NE(HistoryOf(b2), nullptr);
    EXPECT_EQ(EncodeHistory(*HistoryOf(b2), kNow), before);
    EXPECT_EQ(HistoryOf(a2), nullptr);

    // Written again, the file holds only what the live items have.
    ASSERT_TRUE(WriteHistoryFile(HistoryPath(), CollectHistoryRows(kNow)));
    ClearAllHistory();
    EXPECT_EQ(LoadHistoryFile(HistoryPath()), HistoryLoad::kLoaded);
    EXPECT_NE(HistoryOf(b2), nullptr);
    EXPECT_EQ(Files(), std::vector<std::string>{"history.db"});

    // Kept by a running monitor: a periodic save in the background while results
    // go on, then the last save at the stop, which holds everything.
    ClearAllHistory();
    InitItemTable();
    const std::uint32_t c = AddItem("gamma");
    EXPECT_EQ(StartHistoryKeeping(HistoryPath()), HistoryLoad::kLoaded);
    const std::int64_t now = HistoryNow();
    RecordResult(c, now, 0, 7, 0);
    KeepHistory(now + kHistorySaveSeconds);
    for (int i = 1; i < 100; ++i)
        RecordResult(c, now + i, 0, 9, 0);
    // The periodic save replaced the file's rows with the live items' only.
    const std::vector<std::string> gamma = {HistoryKey(LockItems()->items[c])};
    EXPECT_TRUE(WaitFor([&] { return KeysIn(HistoryPath()) == gamma; }, std::chrono::seconds(10)));
    EXPECT_TRUE(StopHistoryKeeping());
    EXPECT_FALSE(StopHistoryKeeping());
    ClearAllHistory();
    EXPECT_EQ(LoadHistoryFile(HistoryPath()), HistoryLoad::kLoaded);
    ASSERT_NE(HistoryOf(c), nullptr);
    EXPECT_EQ(HistoryOf(c)->probeCount, 100u);
}

TEST_F(HistoryFileTest, DamagedFilesAreMovedAsideAndTheHistoryStartsEmpty)
{
    const std::uint32_t a = AddItem("alpha");
    EXPECT_EQ(LoadHistoryFile(HistoryPath()), HistoryLoad::kAbsent);

    // Not a database at all.
    ASSERT_TRUE(MakeFolderFor(HistoryPath()));
    std::ofstream(HistoryPath()) << "garbage that is no database, long enough to have a header";
    EXPECT_EQ(LoadHistoryFile(HistoryPath()), HistoryLoad::kMovedAside);
    EXPECT_EQ(HistoryOf(a), nullptr);
    EXPECT_EQ(Files().size(), 1u);

    // A database whose pages were damaged after the header.
    RecordResult(a, kNow, 0, 5, 0);
    std::vector<HistoryRow> rows;
    for (int i = 0; i < 200; ++i)
        rows.push_back({"item" + std::to_string(i), std::vector<std::uint8_t>(3000, 0x55)});
    ASSERT_TRUE(WriteHistoryFile(HistoryPath(), rows));
    {
        std::fstream f(HistoryPath(), std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(4096);
        const std::string junk(8192, '\xA5');
        f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
    }
    ClearAllHistory();
    EXPECT_EQ(LoadHistoryFile(HistoryPath()), HistoryLoad::kMovedAside);
    EXPECT_EQ(Files().size(), 2u);
    for (const std::string& name : Files())
        EXPECT_EQ(name.rfind("history.db.unreadable-", 0), 0u) << name;

    // A row whose bytes are no history is skipped; the rest of the file loads.
    RecordResult(a, kNow, 0, 5, 0);
    auto good = CollectHistoryRows(kNow);
    const std::uint32_t b = AddItem("beta");
    good.push_back({HistoryKey(LockItems()->items[b]), {1, 0xFF, 0xFF}});
    ASSERT_TRUE(WriteHistoryFile(HistoryPath(), good));
    ClearAllHistory();
    EXPECT_EQ(LoadHistoryFile(HistoryPath()), HistoryLoad::kLoaded);
    EXPECT_NE(HistoryOf(a), nullptr);
    EXPECT_EQ(HistoryOf(b), nullptr);
}

} // namespace
} // namespace varnell::test
