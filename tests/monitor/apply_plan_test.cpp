#include <gtest/gtest.h>

#include "config/settings.h"
#include "items/answer_eval.h"
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
        ResetAnswerStates();
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
                                                               "new,n.test,NAPTR,127.0.0.1,,,\n",
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

// Conditions are columns like the others: shown in the plan, written with the
// item, and a file that gives an item conditions it has no room for changes
// nothing at all.
TEST_F(ApplyPlanTest, ConditionsArePlannedAndWrittenOnlyWhereTheyFit)
{
    const std::string header = "name,domain,type,server,timeout_ms,expect_mode,expect,expect_rcode\n";
    const std::uint32_t web = LockItems()->rowToSlot[0];
    const std::uint32_t mail = LockItems()->rowToSlot[1];
    AnswerOf(mail).digest = "kept";
    const std::string file = header + "web,w.test,A,127.0.0.1,2000,contains,\"192.0.2.1\n192.0.2.2\",\n"
                                      "mail,m.test,MX,127.0.0.1,2500,,,\n";
    const std::vector<std::string> plan = {"~ web: expect_mode \"\" \u2192 contains",
                                           "~ web: expect \"\" \u2192 \"192.0.2.1\n192.0.2.2\"",
                                           "~ mail: timeout_ms 2000 \u2192 2500"};
    EXPECT_EQ(ApplyItemsCsv(file, false, true).plan, plan);
    EXPECT_EQ(AnswerOf(web).conditions.mode, ExpectMode::None) << "a dry run set the conditions";
    EXPECT_EQ(ApplyItemsCsv(file, false, false).plan, plan);
    EXPECT_EQ(AnswerOf(web).conditions.mode, ExpectMode::Contains);
    EXPECT_EQ(AnswerOf(web).conditions.values, (std::vector<std::string>{"192.0.2.1", "192.0.2.2"}));
    EXPECT_EQ(Item(0).reservedTextCount, 2u);
    EXPECT_EQ(AnswerOf(mail).digest, "kept") << "an item whose conditions stayed lost its answer digest";
    EXPECT_TRUE(ApplyItemsCsv(file, false, false).plan.empty()) << "a second apply planned more";

    // The item's texts full but for the two its conditions hold now: a third
    // does not fit, and the other row's change is not made either.
    {
        const LockedItems t = LockItems();
        for (std::uint32_t k = 2; k < kReservedTexts; ++k)
            t->blocks[web].reservedTexts[k] = "note=" + std::to_string(k);
        t->items[web].reservedTextCount = kReservedTexts;
    }
    const ApplyResult full = ApplyItemsCsv(header + "web,w.test,A,127.0.0.1,2000,contains,192.0.2.1,NXDOMAIN\n"
                                                    "mail,m.test,MX,127.0.0.1,3000,,,\n",
                                           false, false);
    ASSERT_EQ(full.problems.size(), 1u);
    EXPECT_EQ(full.problems[0].line, 2u);
    EXPECT_EQ(full.problems[0].reason, "the item \"web\" has no room left for these conditions");
    EXPECT_FALSE(full.changed);
    EXPECT_EQ(Item(1).timeout, 2500u);
    EXPECT_EQ(AnswerOf(web).conditions.rcode, ExpectRcode::Default);
    // Fewer values in the room the old ones free do fit.
    EXPECT_TRUE(ApplyItemsCsv(header + "web,w.test,A,127.0.0.1,2000,contains,192.0.2.1,\n", false, false).changed);
    EXPECT_EQ(AnswerOf(web).conditions.values, std::vector<std::string>{"192.0.2.1"});
}
