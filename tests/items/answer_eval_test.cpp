// The answer set of a probe as its records left it, and the verdict on it:
// the end of the CNAME chain, signatures over the set, a changed set once.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>

#include "dns/record_text.h"
#include "items/answer_eval.h"
#include "items/item_table.h"
#include "items/result_eval.h"

using namespace varnell;

namespace {

class AnswerEval : public ::testing::Test {
protected:
    void SetUp() override
    {
        InitItemTable();
        ResetAnswerStates();
        ResetItemBlock(block());
        block().name = "caa";
        block().domain = "www.example";
        item().typeIndex = TypeIndex("CAA");
    }
    static std::uint32_t TypeIndex(const char* name)
    {
        for (std::uint32_t t = 0; t < kRecordTypeCount; ++t)
            if (std::strcmp(RecordTypeName(t), name) == 0)
                return t;
        ADD_FAILURE() << name;
        return 0;
    }
    DnsItem& item() { return LockItems()->items[0]; }
    ItemBlock& block() { return LockItems()->blocks[0]; }
    std::uint32_t Put(const void* bytes, std::size_t n)
    {
        ItemBlock& b = block();
        const std::uint32_t at = b.namesCursor;
        std::memcpy(b.names + at, bytes, n);
        b.names[at + n] = '\0';
        b.namesCursor += static_cast<std::uint32_t>(n + 1);
        return at;
    }
    // An answer-section record; name data for CNAME, wire data otherwise.
    void Answer(const std::string& owner, std::uint16_t type, const std::vector<std::uint8_t>& data)
    {
        ItemBlock& b = block();
        ReplyRecord& r = b.records[b.answerRecords++];
        r.owner = Put(owner.data(), owner.size());
        r.typeBE = htons(type);
        r.dataLengthBE = htons(static_cast<std::uint16_t>(data.size()));
        r.data = Put(data.data(), data.size());
    }
    static std::vector<std::uint8_t> Caa(std::uint8_t flags, const std::string& tag, const std::string& value)
    {
        std::vector<std::uint8_t> d = {flags, static_cast<std::uint8_t>(tag.size())};
        d.insert(d.end(), tag.begin(), tag.end());
        d.insert(d.end(), value.begin(), value.end());
        return d;
    }
    AnswerJudgement Judge(int code, std::int64_t now = 1796727600)
    {
        return JudgeAnswer(item(), block(), AnswerOf(0), code, now);
    }
};

TEST_F(AnswerEval, TheSetAtTheEndOfTheChainAndItsSignatures)
{
    const std::string target = "shop.example";
    Answer("WWW.example.", 5, std::vector<std::uint8_t>(target.begin(), target.end()));
    Answer("shop.example", kTypeCaa, Caa(0, "issue", "ca.example"));
    Answer("other.example", kTypeCaa, Caa(0, "issue", "elsewhere.example"));
    Answer("shop.example", kTypeCaa, Caa(128, "iodef", "mailto:x@y"));
    // RRSIG over CAA, expiring 2026-12-11 12:00, and one over another type.
    std::vector<std::uint8_t> sig = {1, 1, 13, 2, 0, 0, 1, 0x2C, 0x6B, 0x1B, 0xE5, 0xC0, 0x6B, 0x17, 0xE3, 0x30, 9, 0x43,
                                     0};
    Answer("shop.example", kTypeRrsig, sig);
    sig[0] = 0; // covers A
    Answer("shop.example", kTypeRrsig, sig);
    EXPECT_EQ(AnswerDisplayTexts(item(), block()),
              (std::vector<std::string>{"0 issue \"ca.example\"", "128 iodef \"mailto:x@y\""}));
    const auto windows = AnswerSignatures(item(), block(), 1796727600);
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_EQ(windows[0].expiration, 1796990400);

    AnswerConditions c;
    ASSERT_EQ(ReadConditionFields({"contains", "0 issue \"CA.example\"", "", "", "7"}, c), "");
    AnswerOf(0).conditions = c;
    // The values match ("CA" is in the quoted value: it does not); the signature
    // is three days away from a seven-day warning.
    EXPECT_EQ(Judge(kResultOk).code, kResultAnswerDiffers);
    ASSERT_EQ(ReadConditionFields({"contains", "0 issue \"ca.example\"", "", "", "7"}, c), "");
    AnswerOf(0).conditions = c;
    EXPECT_EQ(Judge(kResultOk).code, kResultSignatureExpiring);
    EXPECT_EQ(AnswerOf(0).detail, "signature expires 2026-12-11 12:00 UTC");
    EXPECT_EQ(AnswerOf(0).signatureExpiry, 1796990400);
    EXPECT_EQ(FailureDetail(item()), "signature expires 2026-12-11 12:00 UTC");
    EXPECT_EQ(Judge(kResultTimeout).code, kResultTimeout); // no reply: nothing to judge
    EXPECT_EQ(FailureDetail(item()), "Error code 16: Request timeout");
}

TEST_F(AnswerEval, AChangedSetIsReportedOnceWhateverItsOrder)
{
    Answer("www.example", kTypeCaa, Caa(0, "issue", "ca.example"));
    Answer("www.example", kTypeCaa, Caa(0, "issuewild", ";"));
    const AnswerJudgement first = Judge(kResultOk);
    EXPECT_EQ(first.code, kResultOk);
    EXPECT_EQ(first.changed, "the answer of caa is changed to 0 issue \"ca.example\"; 0 issuewild \";\"; ");
    std::swap(block().records[0], block().records[1]);
    EXPECT_EQ(Judge(kResultOk).changed, "");
    block().answerRecords = 1;
    EXPECT_NE(Judge(kResultOk).changed, "");
    EXPECT_EQ(Judge(kResultOk).changed, "");
    // A name that must not exist has no set, and is up while it does not.
    AnswerConditions gone;
    ASSERT_EQ(ReadConditionFields({"", "", "NXDOMAIN", "", ""}, gone), "");
    AnswerOf(0).conditions = gone;
    EXPECT_EQ(Judge(kResultNameError).code, kResultOk);
    EXPECT_EQ(AnswerOf(0).conditionOk, 1);
}

} // namespace
