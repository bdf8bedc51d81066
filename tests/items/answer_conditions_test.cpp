// Expected answers: the verdicts, the form values are compared in, the stored
// texts, the signature windows and the answer-set digest.
#include <gtest/gtest.h>

#include <algorithm>

#include "dns/dns_wire.h"
#include "dns/record_text.h"
#include "items/answer_conditions.h"
#include "items/result_eval.h"

using namespace varnell;

namespace {

AnswerConditions Conditions(ExpectMode mode, std::vector<std::string> values, ExpectRcode rcode = ExpectRcode::Default)
{
    AnswerConditions c;
    c.mode = mode;
    c.values = std::move(values);
    c.rcode = rcode;
    EXPECT_EQ(CompleteConditions(c), "");
    return c;
}

std::vector<std::string> Normalized(std::uint16_t type, std::vector<std::string> texts)
{
    for (auto& t : texts)
        t = NormalizeValue(type, t);
    return texts;
}

TEST(AnswerConditions, SetsCompareInAnyOrder)
{
    const auto caa = Conditions(ExpectMode::Contains, {"0 issue \"ca.example\""});
    std::vector<std::string> set = Normalized(
        kTypeCaa, {"0 issuewild \";\"", "128 iodef \"mailto:security@answers.example\"", "0 issue \"ca.example\""});
    std::string detail;
    std::sort(set.begin(), set.end());
    do {
        EXPECT_EQ(CheckAnswer(caa, kTypeCaa, 0, set, detail), 0) << detail;
    } while (std::next_permutation(set.begin(), set.end()));
    set.erase(std::find(set.begin(), set.end(), "0 issue \"ca.example\""));
    EXPECT_EQ(CheckAnswer(caa, kTypeCaa, 0, set, detail), kResultAnswerDiffers);
    EXPECT_EQ(detail, "expected 0 issue \"ca.example\"; got 0 issuewild \";\"; 128 iodef "
                      "\"mailto:security@answers.example\"");

    const auto a = Conditions(ExpectMode::Equals, {"192.0.2.1"});
    EXPECT_EQ(CheckAnswer(a, kTypeA, 0, Normalized(kTypeA, {"192.0.2.7"}), detail), kResultAnswerDiffers);
    EXPECT_EQ(detail, "expected 192.0.2.1; got 192.0.2.7");
    EXPECT_EQ(CheckAnswer(a, kTypeA, 0, Normalized(kTypeA, {"192.0.2.1", "192.0.2.1"}), detail), 0);
    EXPECT_EQ(CheckAnswer(a, kTypeA, 0, {}, detail), kResultAnswerDiffers);
    EXPECT_EQ(detail, "expected 192.0.2.1; got no records");

    const auto blocked = Conditions(ExpectMode::Excludes, {"0.0.0.0"});
    EXPECT_EQ(CheckAnswer(blocked, kTypeA, 0, Normalized(kTypeA, {"192.0.2.9"}), detail), 0);
    EXPECT_EQ(CheckAnswer(blocked, kTypeA, 0, Normalized(kTypeA, {"0.0.0.0", "192.0.2.9"}), detail),
              kResultAnswerDiffers);
    EXPECT_EQ(detail, "expected none of 0.0.0.0; got 0.0.0.0; 192.0.2.9");
}

TEST(AnswerConditions, PatternsAndResponseCodes)
{
    const auto spf = Conditions(ExpectMode::Matches, {"^\"v=spf1 .* -all\"$"});
    std::string detail;
    EXPECT_EQ(CheckAnswer(spf, kTypeTxt, 0, Normalized(kTypeTxt, {"\"v=spf1 ip4:192.0.2.0/24 -all\""}), detail), 0);
    EXPECT_EQ(CheckAnswer(spf, kTypeTxt, 0, Normalized(kTypeTxt, {"\"v=spf1 ~all\""}), detail), kResultAnswerDiffers);
    EXPECT_EQ(CheckAnswer(spf, kTypeTxt, 0, {}, detail), kResultAnswerDiffers);
    AnswerConditions bad;
    bad.mode = ExpectMode::Matches;
    bad.values = {"(unclosed"};
    EXPECT_NE(CompleteConditions(bad), "");
    bad.values = {"a", "b"};
    EXPECT_NE(CompleteConditions(bad), "");

    // A name that must not exist: up while it does not, down once it does.
    const auto gone = Conditions(ExpectMode::None, {}, ExpectRcode::NxDomain);
    EXPECT_EQ(CheckAnswer(gone, kTypeA, kResultNameError, {}, detail), 0);
    EXPECT_EQ(CheckAnswer(gone, kTypeA, 0, Normalized(kTypeA, {"192.0.2.1"}), detail), kResultRcodeDiffers);
    EXPECT_EQ(detail, "expected NXDOMAIN; got NOERROR");
    EXPECT_EQ(CheckAnswer(gone, kTypeA, 2, {}, detail), 2); // a server failure stays one
    const auto plain = Conditions(ExpectMode::None, {}, ExpectRcode::NoError);
    EXPECT_EQ(CheckAnswer(plain, kTypeA, kResultNameError, {}, detail), kResultRcodeDiffers);
}

TEST(AnswerConditions, ValuesCompareAfterNormalising)
{
    EXPECT_EQ(NormalizeValue(kTypeSrv, "  10 60   5060 SIP1.Answers. "), "10 60 5060 sip1.answers");
    EXPECT_EQ(NormalizeValue(kTypeSrv, "10 60 5060 sip1.answers"), "10 60 5060 sip1.answers");
    EXPECT_EQ(NormalizeValue(kTypeAaaa, "2001:DB8:0:0::1"), "2001:db8::1");
    EXPECT_EQ(NormalizeValue(kTypeMx, "0 ."), "0 .");
    // Quoted texts keep their case and spaces; an unquoted TXT value is one string.
    EXPECT_EQ(NormalizeValue(kTypeCaa, "0 ISSUE \"CA.Example  x\""), "0 issue \"CA.Example  x\"");
    EXPECT_EQ(NormalizeValue(kTypeTxt, "v=spf1 -all"), NormalizeValue(kTypeTxt, "\"v=spf1 -all\""));
    EXPECT_EQ(NormalizeValue(kTypeTxt, "say \"hi\""), "\"say \\\"hi\\\"\"");
    // Keys and digests as dig cuts them equal the same in one piece.
    EXPECT_EQ(NormalizeValue(kTypeDnskey, "257 3 13 mdsswUyr3DPW132m Oi8V9xESWE8jTo0d=="),
              NormalizeValue(kTypeDnskey, "257 3 13 mdsswUyr3DPW132mOi8V9xESWE8jTo0d=="));
    EXPECT_EQ(NormalizeValue(kTypeDs, "12345 13 2 C988EC42 3E3880EB"), "12345 13 2 c988ec423e3880eb");
}

TEST(AnswerConditions, StoredTextsRoundTripAndContinue)
{
    AnswerConditions c;
    c.mode = ExpectMode::Contains;
    for (int i = 0; i < 300; ++i)
        c.values.push_back("0 issue \"ca" + std::to_string(i) + ".example\"");
    c.rcode = ExpectRcode::NoError;
    c.validated = true;
    c.sigWarnDays = 7;
    const auto texts = ConditionTexts(c);
    EXPECT_GT(std::count_if(texts.begin(), texts.end(), [](const std::string& t) { return t.starts_with("expect="); }),
              5);
    for (const auto& t : texts) {
        EXPECT_LE(t.size(), kConditionTextLimit);
        EXPECT_TRUE(IsConditionText(t));
    }
    EXPECT_FALSE(IsConditionText("server6=::1"));
    AnswerConditions back;
    ASSERT_EQ(ReadConditionTexts(texts, back), "");
    EXPECT_EQ(back.values, c.values);
    EXPECT_EQ(ConditionTexts(back), texts);
    EXPECT_TRUE(back.WantsDnssec());

    EXPECT_TRUE(ConditionTexts(AnswerConditions{}).empty());
    const std::vector<std::string> broken = {"expect_mode=sometimes", "expect=x"};
    EXPECT_NE(ReadConditionTexts(broken, back), "");
    EXPECT_FALSE(back.Any());
    std::uint32_t days = 0;
    EXPECT_NE(ParseSigWarnDays("7d", days), "");
    EXPECT_NE(ParseSigWarnDays("0", days), "");
    EXPECT_EQ(ParseSigWarnDays("30", days), "");
    EXPECT_EQ(days, 30u);
}

TEST(AnswerConditions, SignatureWindows)
{
    const std::int64_t now = 1796727600; // 2026-12-08 11:00 UTC
    std::string detail;
    std::int64_t earliest = 0;
    EXPECT_EQ(CheckSignatures({}, 7, now, detail, earliest), kResultSignatureMissing);
    const SignatureWindow threeDays[] = {{now - 3600, now + 3 * 86400 + 3600}, {now - 3600, now + 40 * 86400}};
    EXPECT_EQ(CheckSignatures(threeDays, 7, now, detail, earliest), kResultSignatureExpiring);
    EXPECT_EQ(detail, "signature expires 2026-12-11 12:00 UTC");
    EXPECT_EQ(earliest, now + 3 * 86400 + 3600);
    EXPECT_EQ(CheckSignatures(threeDays, 3, now, detail, earliest), 0);
    const SignatureWindow future[] = {{now + 600, now + 30 * 86400}};
    EXPECT_EQ(CheckSignatures(future, 7, now, detail, earliest), kResultSignatureNotYetValid);
    const SignatureWindow past[] = {{now - 86400, now - 60}};
    EXPECT_EQ(CheckSignatures(past, 7, now, detail, earliest), kResultSignatureExpired);
}

TEST(AnswerConditions, DigestIgnoresOrderAndTellsSetsApart)
{
    const std::vector<std::string> a = {"10 60 5060 sip1.answers", "10 20 5060 sip2.answers"};
    const std::vector<std::string> b = {a[1], a[0], a[1]};
    EXPECT_EQ(AnswerDigest(a), AnswerDigest(b));
    EXPECT_NE(AnswerDigest(a), AnswerDigest(std::vector<std::string>{a[0]}));
    EXPECT_NE(AnswerDigest(std::vector<std::string>{"ab", "c"}), AnswerDigest(std::vector<std::string>{"a", "bc"}));
    EXPECT_EQ(Shortened(std::string(500, 'x')).size(), 400u);
}

} // namespace
