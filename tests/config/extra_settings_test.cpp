// Values kept beside the blob: absent in older stores, written with the blob.
#include "config/extra_settings.h"
#include "config/fixed_texts.h"
#include "config/registry.h"
#include "tests/config/store_fixture.h"

namespace varnell::test {
namespace {

class ExtraSettingsStore : public StoreTest {};

std::vector<std::uint8_t> StoredBlob()
{
    std::vector<std::uint8_t> blob;
    EXPECT_GT(ReadSettingsBlob(blob), 0);
    return blob;
}

TEST_F(ExtraSettingsStore, OldStoreLoadsDefaultsAndSaveKeepsTheBlobBytes)
{
    // A store written without the extra values, as earlier versions did.
    SaveSettings();
    const auto saved = StoredBlob();
    ASSERT_EQ(WriteSettingsBlob(saved.data(), saved.size()), 1);
    {
        Registry reg;
        ASSERT_EQ(OpenRegistry(RegistryPath(), false, reg), RegistryOpen::kOpened);
        ASSERT_TRUE(BeginWrite(reg));
        for (const NamedValue& v : EncodeExtraSettings(ExtraSettings{}))
            ASSERT_TRUE(DeleteValuesAfter(reg, FixedTextValue(FixedText::kSettingsKey), v.name, ""));
        ASSERT_TRUE(CommitWrite(reg));
    }
    CurrentSettings().extra.queryEdns = 7;
    CurrentSettings().extra.mailCaFile = "stale";
    ASSERT_EQ(LoadSettings(), 0);
    const ExtraSettings defaults;
    EXPECT_EQ(CurrentSettings().extra.queryEdns, 7u) << "missing values leave what was there";
    EXPECT_EQ(CurrentSettings().extra.mailCaFile, "stale");

    CurrentSettings().extra = defaults;
    CurrentSettings().extra.mailSecurity = kMailStartTls;
    CurrentSettings().extra.mailCaFile = "/etc/ssl/ca.pem";
    CurrentSettings().extra.metricsListen = "127.0.0.1:9353";
    CurrentSettings().extra.alertNotification = 1;
    CurrentSettings().extra.queryEdns = 0;
    CurrentSettings().extra.dnsCaFile = "/etc/varnell/dns-ca.pem";
    SaveSettings();
    EXPECT_TRUE(StoredBlob() == saved) << "the blob is byte for byte what it was";

    CurrentSettings().extra = defaults;
    ASSERT_EQ(LoadSettings(), 0);
    const ExtraSettings& e = CurrentSettings().extra;
    EXPECT_EQ(e.mailSecurity, kMailStartTls);
    EXPECT_EQ(e.mailCaFile, "/etc/ssl/ca.pem");
    EXPECT_EQ(e.metricsListen, "127.0.0.1:9353");
    EXPECT_EQ(e.alertNotification, 1u);
    EXPECT_EQ(e.queryEdns, 0u);
    EXPECT_EQ(e.dnsCaFile, "/etc/varnell/dns-ca.pem");
}

TEST(ExtraSettingsValues, WrongSizesAndUnknownNamesAreIgnored)
{
    ExtraSettings e;
    const std::uint8_t three[3] = {1, 2, 3};
    EXPECT_FALSE(ApplyExtraSetting(e, "QueryEdns", three, 3));
    EXPECT_EQ(e.queryEdns, kDefaultQueryEdns);
    EXPECT_FALSE(ApplyExtraSetting(e, "NoSuchValue", three, 3));
    const std::uint8_t withNul[5] = {'a', 'b', 0, 'c', 'd'};
    EXPECT_TRUE(ApplyExtraSetting(e, "MailCaFile", withNul, 5));
    EXPECT_EQ(e.mailCaFile, "ab");
    std::vector<std::uint8_t> huge(kMaxExtraTextBytes + 1, 'x');
    EXPECT_FALSE(ApplyExtraSetting(e, "MetricsListen", huge.data(), huge.size()));
    EXPECT_TRUE(e.metricsListen.empty());
}

} // namespace
} // namespace varnell::test
