// The General page's "Use EDNS (large answers)" box: what it shows of the
// stored size and what Apply writes to the settings and hands to the engine.
#include "probe/edns.h"
#include "tests/ui/setup/setup_test_support.h"
#include "ui/setup/page_general.h"

using namespace varnell;

namespace {

class GeneralEdnsTest : public test::SetupTest {
protected:
    void TearDown() override
    {
        SetQueryEdnsSize(0);
        SetupTest::TearDown();
    }
};

TEST_F(GeneralEdnsTest, BoxTurnsTheOptRecordOffAndOnAndKeepsAStoredSize)
{
    std::uint32_t& size = CurrentSettings().extra.queryEdns;
    // size stored -> box shown, size after unticking, size after ticking again
    struct Case {
        std::uint32_t stored;
        bool shown;
    };
    for (const Case c : {Case{kDefaultQueryEdns, true}, Case{4096, true}, Case{0, false}}) {
        SCOPED_TRACE(c.stored);
        size = c.stored;
        CDlgGen page;
        EXPECT_EQ(page.useEdns->text(), "Use EDNS (large answers)");
        EXPECT_EQ(page.useEdns->isChecked(), c.shown);

        page.useEdns->setChecked(false);
        ASSERT_EQ(page.Apply(), 0);
        EXPECT_EQ(size, 0u);
        EXPECT_EQ(QueryEdnsSize(), 0u);

        page.useEdns->setChecked(true);
        ASSERT_EQ(page.Apply(), 0);
        const std::uint32_t expected = c.stored != 0 ? c.stored : kDefaultQueryEdns;
        EXPECT_EQ(size, expected) << "ticked again: the size it had, or the default";
        EXPECT_EQ(QueryEdnsSize(), expected);
    }
}

} // namespace
