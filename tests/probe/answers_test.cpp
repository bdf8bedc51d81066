// Answers that mean something, through the whole engine against real servers:
// content types read as dig prints them, expected values in any record order,
// a name that must not exist, and DNSSEC through a validating resolver with a
// zone signed for a few days.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include "dns/record_text.h"
#include "items/answer_eval.h"
#include "items/reply_detail.h"
#include "tests/probe/engine_fixture.h"
#include "tests/probe/scripted_responder.h"
#include "tests/support/answer_zone.h"

using namespace varnell;
using namespace std::chrono_literals;
using varnell::test::EngineAgainstServer;
using varnell::test::WaitFor;

namespace {

std::uint32_t TypeIndex(const char* name)
{
    for (std::uint32_t t = 0; t < kRecordTypeCount; ++t)
        if (std::string(RecordTypeName(t)) == name)
            return t;
    ADD_FAILURE() << name;
    return 0;
}

class Answers : public EngineAgainstServer {
protected:
    std::uint32_t AddWith(const std::string& name, const std::string& domain, const char* type, std::uint16_t port,
                          const ConditionFields& c = {}, std::uint32_t lost = 1)
    {
        const std::uint32_t slot = Add(name, domain, TypeIndex(type), port, 1500, lost, 500);
        AnswerConditions conditions;
        EXPECT_EQ(ReadConditionFields(c, conditions), "");
        std::lock_guard lock(EngineLock());
        EXPECT_TRUE(SetItemConditions(LockItems()->items[slot], conditions));
        return slot;
    }
    // The latest result as evaluated, conditions applied (-1 before the first).
    int LastCode(std::uint32_t slot)
    {
        std::lock_guard lock(EngineLock());
        return AnswerOf(slot).lastCode;
    }
    std::string Detail(std::uint32_t slot)
    {
        std::lock_guard lock(EngineLock());
        return AnswerOf(slot).detail;
    }
    bool Down(std::uint32_t slot) { return HasEvent(LockItems()->blocks[slot].name + " is down"); }
};

TEST_F(Answers, ContentTypesReadAsDigPrintsThemAndChangeAsSets)
{
    test::UnboundPeer server;
    ASSERT_TRUE(server.Start({{"answers", test::kAnswerZone}})) << server.Log();
    const std::uint16_t p = server.Port();
    const struct {
        const char* name;
        const char* type;
    } asked[] = {{"answers", "TXT"},   {"sel._domainkey.answers", "TXT"}, {"_sip._udp.answers", "SRV"},
                 {"answers", "CAA"},   {"www.answers", "HTTPS"},          {"answers", "DNSKEY"},
                 {"child.answers", "DS"}};
    std::vector<std::uint32_t> slots;
    for (const auto& a : asked)
        slots.push_back(AddWith(std::string(a.type) + " " + a.name, a.name, a.type, p));
    StartEngine();
    ASSERT_TRUE(WaitFor([&] { return std::all_of(slots.begin(), slots.end(), [&](auto s) { return LastCode(s) == 0; }); },
                        15s));
    for (std::size_t i = 0; i < slots.size(); ++i) {
        std::vector<std::string> ours;
        {
            std::lock_guard lock(EngineLock());
            ours = AnswerDisplayTexts(LockItems()->items[slots[i]], LockItems()->blocks[slots[i]]);
        }
        std::sort(ours.begin(), ours.end());
        EXPECT_EQ(ours, test::DigShort(p, asked[i].name, asked[i].type)) << asked[i].name;
        const std::string detail = DetailPlainText(ReplyDetailOf(LockItems()->items[slots[i]]));
        for (const std::string& text : ours)
            EXPECT_NE(detail.find(text), std::string::npos) << detail;
    }
    // SRV targets have their addresses gathered; each set's change is one event.
    EXPECT_EQ(ResultsOf(slots[2]).back().answers, (std::vector<std::string>{"192.0.2.11", "192.0.2.12", "192.0.2.13"}));
    EXPECT_TRUE(HasEvent("the answer of CAA answers is changed to 0 issue \"ca.example\"; 0 issuewild \";\"; 128 iodef "
                         "\"mailto:security@answers.example\"; "));
    ASSERT_TRUE(WaitFor([&] { return ResultsOf(slots[3]).size() >= 3; }, 10s));
    int changes = 0;
    for (const auto& e : hooks.Events())
        changes += e.text.starts_with("the answer of CAA answers") ? 1 : 0;
    EXPECT_EQ(changes, 1);
}

TEST_F(Answers, CaaExpectationHoldsInAnyOrderAndFailsWhenTheRecordGoes)
{
    std::atomic<bool> dropped{false};
    std::atomic<unsigned> turn{0};
    const std::vector<std::vector<std::uint8_t>> caa = {
        {0, 5, 'i', 's', 's', 'u', 'e', 'c', 'a', '.', 'e', 'x', 'a', 'm', 'p', 'l', 'e'},
        {0, 9, 'i', 's', 's', 'u', 'e', 'w', 'i', 'l', 'd', ';'},
        {128, 5, 'i', 'o', 'd', 'e', 'f', 'm', 'a', 'i', 'l', 't', 'o', ':', 'x', '@', 'y'},
    };
    test::ScriptedResponder responder(
        test::ScriptedResponder::Udp::Answer, test::ScriptedResponder::Tcp::Refuse, 0, 0ms,
        [&](std::uint16_t id, const std::string& name, std::uint16_t type) {
            test::DnsReplyBuilder b(id);
            b.Question(name, type);
            std::vector<int> order = {0, 1, 2};
            for (unsigned k = turn.fetch_add(1) % 6; k > 0; --k)
                std::next_permutation(order.begin(), order.end());
            for (const int r : order)
                if (!(dropped.load() && r == 0))
                    b.Record(test::Section::Answer, name, kTypeCaa, caa[static_cast<std::size_t>(r)]);
            return b.Bytes();
        });
    ASSERT_TRUE(responder.Ready());
    std::vector<std::uint32_t> slots;
    for (int i = 0; i < 10; ++i)
        slots.push_back(AddWith("caa" + std::to_string(i), "shop.example", "CAA", responder.Port(),
                                {"contains", "0 issue \"ca.example\"", "", "", ""}, 2));
    StartEngine();
    ASSERT_TRUE(WaitFor([&] { return ResultCount() >= 50; }, 20s));
    {
        std::lock_guard lock(mutex);
        for (const auto& r : results)
            EXPECT_EQ(r.code, 0);
    }
    dropped = true;
    ASSERT_TRUE(WaitFor([&] { return Down(slots[0]); }, 15s));
    EXPECT_EQ(LastCode(slots[0]), kResultAnswerDiffers);
    EXPECT_EQ(Detail(slots[0]), "expected 0 issue \"ca.example\"; got 0 issuewild \";\"; 128 iodef \"mailto:x@y\"");
}

TEST_F(Answers, NameThatMustNotExistIsUpUntilItIsAdded)
{
    test::UnboundPeer server;
    ASSERT_TRUE(server.Start({{"answers", test::kAnswerZone}})) << server.Log();
    const std::uint32_t gone = AddWith("gone", "old.answers", "A", server.Port(), {"", "", "NXDOMAIN", "", ""});
    StartEngine();
    ASSERT_TRUE(WaitFor([&] { return LastCode(gone) == 0; }, 10s));
    ASSERT_TRUE(server.Restart({{"answers", test::kAnswerZone + "old IN A 192.0.2.99\n"}})) << server.Log();
    ASSERT_TRUE(WaitFor([&] { return Down(gone); }, 15s));
    EXPECT_EQ(LastCode(gone), kResultRcodeDiffers);
    EXPECT_EQ(Detail(gone), "expected NXDOMAIN; got NOERROR");
}

// A zone signed for a number of days, served by unbound, and a validating
// unbound in front of it with the zone's key as its trust anchor.
class SignedZone {
public:
    bool Sign(int days, const std::string& broken = "")
    {
        std::vector<std::string> argv = {"bash", test::SourceDir() + "/scripts/peers/sign-zone.sh", zones_.Path(),
                                         "signed", source_, std::to_string(days * 86400)};
        if (!broken.empty())
            argv.push_back(broken);
        return test::RunProgram(argv).status == 0;
    }
    bool Start(int days)
    {
        test::WriteFile(source_, test::ZoneText("signed.", "www IN A 192.0.2.80\n"));
        if (!Sign(days))
            return false;
        authPort_ = test::FreePort(true);
        if (!auth_.Start({"bash", test::SourceDir() + "/scripts/peers/unbound.sh", zones_.Path(),
                          std::to_string(authPort_), "127.0.0.1"}))
            return false;
        validatorPort_ = test::FreePort(true);
        return test::DnsAnswers("127.0.0.1", authPort_, 15s) &&
               validator_.Start({"bash", test::SourceDir() + "/scripts/peers/validator.sh", resolver_.Path(),
                                 std::to_string(validatorPort_), "127.0.0.1", "signed", std::to_string(authPort_),
                                 zones_.File("signed.anchor")}) &&
               test::DnsAnswers("127.0.0.1", validatorPort_, 15s);
    }
    // Signs again and restarts the authoritative server on its port.
    bool Resign(int days, const std::string& broken = "")
    {
        auth_.Stop();
        return Sign(days, broken) &&
               auth_.Start({"bash", test::SourceDir() + "/scripts/peers/unbound.sh", zones_.Path(),
                            std::to_string(authPort_), "127.0.0.1"}) &&
               test::DnsAnswers("127.0.0.1", authPort_, 15s);
    }
    std::uint16_t AuthPort() const { return authPort_; }
    std::uint16_t ValidatorPort() const { return validatorPort_; }

private:
    test::TempDir zones_, resolver_, work_;
    std::string source_ = work_.File("signed.src");
    test::ChildProcess auth_, validator_;
    std::uint16_t authPort_ = 0, validatorPort_ = 0;
};

TEST_F(Answers, ValidationAndSignatureExpiry)
{
    SignedZone zone;
    ASSERT_TRUE(zone.Start(3));
    const std::uint32_t validated = AddWith("validated", "www.signed", "A", zone.ValidatorPort(), {"", "", "", "validated", ""});
    const std::uint32_t plain = AddWith("plain", "www.signed", "A", zone.AuthPort(), {"", "", "", "validated", ""});
    const std::uint32_t week = AddWith("week", "www.signed", "A", zone.AuthPort(), {"", "", "", "", "7"});
    StartEngine();
    ASSERT_TRUE(WaitFor([&] { return Down(plain) && Down(week) && LastCode(validated) == 0; }, 20s));
    EXPECT_EQ(LastCode(plain), kResultNotValidated);
    EXPECT_EQ(Detail(plain), "answer not validated");
    EXPECT_EQ(LastCode(week), kResultSignatureExpiring);
    {
        std::lock_guard lock(EngineLock());
        const std::int64_t expiry = AnswerOf(week).signatureExpiry;
        // dnssec-signzone counts the three days from its start time, an hour ago.
        EXPECT_NEAR(static_cast<double>(expiry - std::time(nullptr)), 3 * 86400.0 - 3600.0, 600.0) << expiry;
        EXPECT_EQ(Detail(week), "signature expires " + UtcTimeText(expiry, "%Y-%m-%d %H:%M UTC"));
    }

    ASSERT_TRUE(zone.Resign(30));
    ASSERT_TRUE(WaitFor([&] { return HasEvent("week is up"); }, 20s));
    ASSERT_TRUE(zone.Resign(30, "www.signed."));
    ASSERT_TRUE(WaitFor([&] { return Down(validated); }, 20s));
    EXPECT_EQ(LastCode(validated), 2); // the validator's SERVFAIL for a bogus answer
}

} // namespace
