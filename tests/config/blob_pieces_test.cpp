// The blob as values of the per-user store: piece names and sizes, what
// reading answers when pieces are missing or do not add up, and two copies of
// the program sharing the store.
#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <map>
#include <thread>

#include "tests/config/store_fixture.h"

using namespace varnell;
using namespace varnell::test;

namespace {

const char* const kKey = "Software\\Varnell";

std::vector<std::uint8_t> Pattern(std::size_t n)
{
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<std::uint8_t>((i * 131u + 7u) ^ (i >> 8));
    return v;
}

std::map<std::string, std::vector<std::uint8_t>> StoredValues()
{
    std::map<std::string, std::vector<std::uint8_t>> values;
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(RegistryPath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, "SELECT name, type, data FROM registry_values WHERE key = ?1", -1, &st, nullptr),
              SQLITE_OK);
    sqlite3_bind_text(st, 1, kKey, -1, SQLITE_STATIC);
    while (sqlite3_step(st) == SQLITE_ROW) {
        EXPECT_EQ(sqlite3_column_int(st, 1), 3) << "every value is binary";
        const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(st, 2));
        const int n = sqlite3_column_bytes(st, 2);
        values[reinterpret_cast<const char*>(sqlite3_column_text(st, 0))].assign(p, p + n);
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return values;
}

void Sql(const std::string& sql)
{
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(RegistryPath().c_str(), &db), SQLITE_OK);
    char* err = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "");
    sqlite3_free(err);
    sqlite3_close(db);
}

std::uint32_t StoredMaxLength(const std::map<std::string, std::vector<std::uint8_t>>& values)
{
    const auto& v = values.at("MaxLength");
    EXPECT_EQ(v.size(), 4u);
    return v.size() == 4 ? LoadU32LE(v.data()) : 0;
}

using BlobPieces = StoreTest;

} // namespace

TEST_F(BlobPieces, ExactMultipleOfPieceSizeEndsWithAnEmptyPiece)
{
    const auto blob = Pattern(2000);
    ASSERT_EQ(WriteSettingsBlob(blob.data(), blob.size()), 1);
    const auto values = StoredValues();
    ASSERT_EQ(values.size(), 4u);
    EXPECT_EQ(values.at("item0").size(), 1000u);
    EXPECT_EQ(values.at("item1").size(), 1000u);
    EXPECT_EQ(values.at("item2").size(), 0u);
    EXPECT_EQ(StoredMaxLength(values), 2000u);

    std::vector<std::uint8_t> back;
    EXPECT_EQ(ReadSettingsBlob(back), 2000);
    EXPECT_EQ(back, blob);
}

TEST_F(BlobPieces, PieceNamesAreLowercaseHexadecimal)
{
    const auto blob = Pattern(10999);
    ASSERT_EQ(WriteSettingsBlob(blob.data(), blob.size()), 1);
    const auto values = StoredValues();
    ASSERT_EQ(values.size(), 12u);
    for (const char* name : {"item0", "item1", "item9"})
        EXPECT_EQ(values.at(name).size(), 1000u) << name;
    EXPECT_EQ(values.at("itema").size(), 999u);
    EXPECT_EQ(values.count("item10"), 0u);

    std::vector<std::uint8_t> back;
    EXPECT_EQ(ReadSettingsBlob(back), 10999);
    EXPECT_EQ(back, blob);

    // Past 15 pieces the names go on as item10, item11, ...
    const auto longer = Pattern(17500);
    ASSERT_EQ(WriteSettingsBlob(longer.data(), longer.size()), 1);
    const auto more = StoredValues();
    EXPECT_EQ(more.at("itemf").size(), 1000u);
    EXPECT_EQ(more.at("item10").size(), 1000u);
    EXPECT_EQ(more.at("item11").size(), 500u);
    EXPECT_EQ(ReadSettingsBlob(back), 17500);
    EXPECT_EQ(back, longer);
}

TEST_F(BlobPieces, EmptyBlobAndNoStore)
{
    std::vector<std::uint8_t> back{1, 2, 3};
    EXPECT_EQ(ReadSettingsBlob(back), kSettingsMissing) << "first run: no store at all";
    EXPECT_TRUE(back.empty());
    ASSERT_EQ(WriteSettingsBlob(nullptr, 0), 1);
    EXPECT_EQ(StoredValues().at("item0").size(), 0u);
    EXPECT_EQ(ReadSettingsBlob(back), 0);
}

TEST_F(BlobPieces, MissingPiecesAndMismatchedTotals)
{
    const auto blob = Pattern(2500);
    auto rewrite = [&] { ASSERT_EQ(WriteSettingsBlob(blob.data(), blob.size()), 1); };
    std::vector<std::uint8_t> back;

    // Only a store with nothing in it is missing; a store that lost part of
    // itself is broken, and is not a first run.
    rewrite();
    Sql("DELETE FROM registry_values");
    EXPECT_EQ(ReadSettingsBlob(back), kSettingsMissing) << "nothing stored";

    rewrite();
    Sql("DELETE FROM registry_values WHERE name = 'item1'");
    EXPECT_EQ(ReadSettingsBlob(back), kSettingsBroken) << "a piece in the middle is missing";

    rewrite();
    Sql("DELETE FROM registry_values WHERE name = 'item2'");
    EXPECT_EQ(ReadSettingsBlob(back), kSettingsBroken) << "the last piece is missing";

    rewrite();
    Sql("DELETE FROM registry_values WHERE name = 'MaxLength'");
    EXPECT_EQ(ReadSettingsBlob(back), kSettingsBroken) << "pieces without their length";

    rewrite();
    Sql("UPDATE registry_values SET data = x'C409' WHERE name = 'MaxLength'");
    EXPECT_EQ(ReadSettingsBlob(back), kSettingsBroken) << "a 2-byte length";

    rewrite();
    Sql("UPDATE registry_values SET data = x'b80b0000' WHERE name = 'MaxLength'"); // 3000
    EXPECT_EQ(ReadSettingsBlob(back), kSettingsBroken) << "pieces add up to less";

    rewrite();
    Sql("UPDATE registry_values SET data = x'd0070000' WHERE name = 'MaxLength'"); // 2000
    EXPECT_EQ(ReadSettingsBlob(back), kSettingsBroken) << "the last piece is larger than the room left";

    rewrite();
    Sql("UPDATE registry_values SET data = zeroblob(10) WHERE name = 'item0'");
    EXPECT_EQ(ReadSettingsBlob(back), kSettingsBroken) << "a short piece before the total is reached";

    rewrite();
    Sql("UPDATE registry_values SET data = x'ffffff7f' WHERE name = 'MaxLength'");
    EXPECT_EQ(ReadSettingsBlob(back), kSettingsBroken) << "a length no buffer is made for";
    Sql("UPDATE registry_values SET data = x'00000010' WHERE name = 'MaxLength'"); // 256 MiB
    EXPECT_EQ(ReadSettingsBlob(back), kSettingsBroken) << "a length the pieces do not reach";

    // LoadSettings passes the failure on, applies nothing, and no save goes
    // over what is left of the store.
    Sql("DELETE FROM registry_values WHERE name = 'MaxLength'");
    const auto before = StoredValues();
    CurrentSettings().general.texts[kTextExecPath] = "kept";
    EXPECT_EQ(LoadSettings(), kSettingsBroken);
    EXPECT_EQ(CurrentSettings().general.texts[kTextExecPath], "kept");
    std::string why;
    EXPECT_FALSE(SaveSettings(&why));
    EXPECT_NE(why.find(RegistryPath()), std::string::npos) << why;
    EXPECT_NE(why.find("no total length"), std::string::npos) << why;
    EXPECT_TRUE(StoredValues() == before);
}

TEST_F(BlobPieces, ShorterBlobDropsLeftoverPieces)
{
    const auto longBlob = Pattern(5200);
    const auto shortBlob = Pattern(1200);
    ASSERT_EQ(WriteSettingsBlob(longBlob.data(), longBlob.size()), 1);
    ASSERT_EQ(WriteSettingsBlob(shortBlob.data(), shortBlob.size()), 1);
    const auto values = StoredValues();
    EXPECT_EQ(values.size(), 3u);
    EXPECT_EQ(values.count("item5"), 0u);
    EXPECT_EQ(StoredMaxLength(values), 1200u);
    std::vector<std::uint8_t> back;
    EXPECT_EQ(ReadSettingsBlob(back), 1200);
    EXPECT_EQ(back, shortBlob);

    // Names this program never writes are no pieces.
    Sql("INSERT INTO registry_values VALUES('Software\\Varnell', 'item01', 3, zeroblob(1000)), "
        "('Software\\Varnell', 'itemx', 3, x'00'), ('Software\\Varnell', 'ITEM1', 3, x'00'), "
        "('Other', 'item1', 3, x'00')");
    EXPECT_EQ(ReadSettingsBlob(back), 1200);
    EXPECT_EQ(back, shortBlob);
}

TEST_F(BlobPieces, StoreIsPrivateToTheUser)
{
    const auto blob = Pattern(10);
    ASSERT_EQ(WriteSettingsBlob(blob.data(), blob.size()), 1);
    struct stat st{};
    ASSERT_EQ(stat(RegistryPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat((Dir() + "/varnell").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(RegistryPath(), Dir() + "/varnell/registry.db");

    // A store left readable by others is closed up on the next use.
    chmod(RegistryPath().c_str(), 0644);
    std::vector<std::uint8_t> back;
    EXPECT_EQ(ReadSettingsBlob(back), 10);
    ASSERT_EQ(stat(RegistryPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(BlobPieces, ConfigDirFollowsXdgConfigHome)
{
    EXPECT_EQ(ConfigDir(), Dir());
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("HOME", "/nonexistent-home", 1);
    setenv("XDG_CONFIG_HOME", "", 1);
    EXPECT_EQ(ConfigDir(), "/nonexistent-home/.config");
    setenv("XDG_CONFIG_HOME", "relative/path", 1);
    EXPECT_EQ(ConfigDir(), "/nonexistent-home/.config");
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(ConfigDir(), "/nonexistent-home/.config");
    setenv("HOME", home.c_str(), 1);
}

TEST_F(BlobPieces, SecondCopyWaitsForTheFirstOnesSave)
{
    const auto first = Pattern(3000);
    ASSERT_EQ(WriteSettingsBlob(first.data(), first.size()), 1);

    // Another copy holds the write lock for a moment.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(RegistryPath().c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    std::thread release([other] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    });
    const auto second = Pattern(4100);
    EXPECT_EQ(WriteSettingsBlob(second.data(), second.size()), 1);
    release.join();
    sqlite3_close(other);

    std::vector<std::uint8_t> back;
    EXPECT_EQ(ReadSettingsBlob(back), 4100);
    EXPECT_EQ(back, second);
}
