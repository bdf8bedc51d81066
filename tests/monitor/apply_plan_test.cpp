#include <gtest/gtest.h>

#include "config/settings.h"
#include "items/item_table.h"
#include "monitor/apply_plan.h"

using namespace varnell;

namespace {

constexpr const char* kHeader = "name,domain,type,server,timeout_ms,suspended,description\n";

class ApplyPlanTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        InitItemTable();
        std::vector<CsvProblem> problems;
        ASSERT_EQ(ImportItemsCsv(std::string(kHeader) + "web,w.test,A,127.0.0.1,2000,0,\n"
                                                        "mail,m.test,MX,127.0.0.1,2000,0,\n",
                                 problems),
                  2);
    }
    static const DnsItem& Item(std::uint32_t row) { return LockItems()->items[LockItems()->rowToSlot[row]]; }
};

} // namespace

// Several columns of one item, a suspension alone, an empty description: each a
// line of its own; the item keeps its slot (and so its counters and identity).
TEST_F(ApplyPlanTest, ChangedColumnsAreOneLineEachAndTheItemIsRewrittenInPlace)
{
    const std::uint32_t slot = LockItems()->rowToSlot[0];
    const std::string file = std::string(kHeader) + "web,www.test,AAAA,127.0.0.1,2000,0,front door\n"
                                                    "mail,m.test,MX,127.0.0.1,2000,1,\n";
    const ApplyResult dry = ApplyItemsCsv(file, false, true);
    const std::vector<std::string> plan = {"~ web: domain w.test \u2192 www.test", "~ web: type A \u2192 AAAA",
                                           "~ web: description \"\" \u2192 front door",
                                           "~ mail: suspended 0 \u2192 1"};
    EXPECT_EQ(dry.plan, plan);
    EXPECT_FALSE(dry.changed);
    EXPECT_EQ(Item(0).typeIndex, 0u) << "a dry run changed the item";

    const ApplyResult done = ApplyItemsCsv(file, false, false);
    EXPECT_EQ(done.plan, plan);
    EXPECT_TRUE(done.changed);
    EXPECT_EQ(LockItems()->rowToSlot[0], slot);
    EXPECT_EQ(LockItems()->blocks[slot].domain, "www.test");
    EXPECT_NE(Item(1).flags & kFlagSuspended, 0u);
    EXPECT_TRUE(ApplyItemsCsv(file, true, false).plan.empty()) << "a second apply planned more";
}

// Rows that cannot be matched to one item are refused with their lines, and
// nothing is changed, not even by prune.
TEST_F(ApplyPlanTest, RowsThatMatchNoSingleItemChangeNothing)
{
    const ApplyResult r = ApplyItemsCsv(std::string(kHeader) + "web,w.test,A,127.0.0.1,2500,0,\n"
                                                               ",n.test,A,127.0.0.1,,,\n"
                                                               "web,w.test,A,127.0.0.1,,,\n"
                                                               "new,n.test,TXT,127.0.0.1,,,\n",
                                        true, false);
    ASSERT_EQ(r.problems.size(), 3u);
    EXPECT_EQ(r.problems[0].line, 3u);
    EXPECT_EQ(r.problems[1].line, 4u);
    EXPECT_EQ(r.problems[1].reason, "the name \"web\" is on line 2 already");
    EXPECT_EQ(r.problems[2].line, 5u);
    EXPECT_TRUE(r.plan.empty());
    EXPECT_FALSE(r.changed);
    EXPECT_EQ(LockItems()->liveCount, 2u);
    EXPECT_EQ(Item(0).timeout, 2000u);

    // Two items of one name: the file cannot say which it means.
    std::vector<CsvProblem> problems;
    ASSERT_EQ(ImportItemsCsv(std::string(kHeader) + ",x.test,A,127.0.0.1,,,\n,y.test,A,127.0.0.1,,,\n", problems), 2);
    LockItems()->blocks[LockItems()->rowToSlot[2]].name = "web";
    const ApplyResult twice = ApplyItemsCsv(std::string(kHeader) + "web,w.test,A,127.0.0.1,2000,0,\n", false, true);
    ASSERT_EQ(twice.problems.size(), 1u);
    EXPECT_EQ(twice.problems[0].reason, "2 items are named \"web\"; rename or delete all but one first");
}
