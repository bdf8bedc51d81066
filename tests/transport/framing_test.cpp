// The checks the transports make before a reply reaches the engine: stream
// framing, the reply's match to its query, DoH's status and type, pins, the
// certificate warning.
#include <gtest/gtest.h>

#include "tests/support/unbound_peer.h"
#include "tls/tls_client.h"
#include "transport/https_client.h"
#include "transport/reply_check.h"
#include "transport/stream_frames.h"
#include "transport/transport.h"

using namespace varnell;
using namespace varnell::test;

namespace {

std::vector<std::uint8_t> ReplyTo(std::vector<std::uint8_t> query)
{
    query[2] |= 0x80;
    return query;
}

} // namespace

TEST(StreamFrames, RepliesCutAnywhereAndBackToBackComeOutWhole)
{
    std::vector<std::uint8_t> wire;
    const auto a = ProbeQuery(1), b = ProbeQuery(2);
    ASSERT_TRUE(AppendFramed(wire, a));
    ASSERT_TRUE(AppendFramed(wire, b));
    // Every cut of the stream, fed one piece at a time, gives the same two messages.
    for (std::size_t cut = 0; cut <= wire.size(); ++cut) {
        StreamFrames frames;
        std::vector<std::vector<std::uint8_t>> got;
        std::vector<std::uint8_t> m;
        frames.Append(std::span(wire).first(cut));
        while (frames.Next(m) == FrameRead::kMessage)
            got.push_back(m);
        frames.Append(std::span(wire).subspan(cut));
        while (frames.Next(m) == FrameRead::kMessage)
            got.push_back(m);
        ASSERT_EQ(got.size(), 2u) << cut;
        EXPECT_EQ(got[0], a);
        EXPECT_EQ(got[1], b);
        EXPECT_EQ(frames.Pending(), 0u);
    }
}

TEST(StreamFrames, ALengthShorterThanAHeaderPutsTheStreamOutOfStep)
{
    StreamFrames frames;
    const std::uint8_t bad[] = {0, 11, 1, 2, 3};
    frames.Append(bad);
    std::vector<std::uint8_t> m;
    EXPECT_EQ(frames.Next(m), FrameRead::kInvalid);
    std::vector<std::uint8_t> out;
    EXPECT_FALSE(AppendFramed(out, std::vector<std::uint8_t>(65536, 0)));
    EXPECT_TRUE(out.empty());
}

TEST(ReplyCheck, OnlyTheAnswerToTheQuestionAskedIsTaken)
{
    const auto q = ProbeQuery(0x1234);
    auto r = ReplyTo(q);
    EXPECT_TRUE(IsAnswerTo(q, r));
    r[13] = 'N'; // "ns.test" in another case is the same question
    EXPECT_TRUE(IsAnswerTo(q, r));
    EXPECT_FALSE(IsAnswerTo(q, q)) << "no reply flag";
    auto other = ReplyTo(ProbeQuery(0x1235));
    EXPECT_FALSE(IsAnswerTo(q, other)) << "another identifier";
    other = r;
    other[14] = 'x';
    EXPECT_FALSE(IsAnswerTo(q, other)) << "another name";
    other = r;
    other[5] = 2;
    EXPECT_FALSE(IsAnswerTo(q, other)) << "two questions";
    EXPECT_FALSE(IsAnswerTo(q, std::span(r).first(20))) << "cut short";
}

TEST(ReplyCheck, HttpsStatusTypeAndBodyEachHaveTheirCode)
{
    const auto q = ProbeQuery(7);
    const auto r = ReplyTo(q);
    std::string why;
    EXPECT_EQ(CheckHttpsReply(200, "application/dns-message", r, q, why), 0);
    EXPECT_EQ(CheckHttpsReply(200, "Application/DNS-Message; charset=x", r, q, why), 0);
    EXPECT_EQ(CheckHttpsReply(500, "application/dns-message", r, q, why), kResultHttpStatus);
    EXPECT_EQ(why, "the HTTPS server answered with status 500");
    EXPECT_EQ(CheckHttpsReply(200, "text/html\x01", r, q, why), kResultContentType);
    EXPECT_EQ(why, "the HTTPS server sent content of type text/html?");
    EXPECT_EQ(CheckHttpsReply(200, "application/dns-messages", r, q, why), kResultContentType);
    EXPECT_EQ(CheckHttpsReply(200, "application/dns-message", q, q, why), kResultNotTheAnswer);
}

TEST(TransportNames, ParseTakesTheColumnValuesAndNothingElse)
{
    Transport t = Transport::kTls;
    EXPECT_TRUE(ParseTransport("", t));
    EXPECT_EQ(t, Transport::kUdp);
    EXPECT_TRUE(ParseTransport("HTTPS", t));
    EXPECT_EQ(t, Transport::kHttps);
    EXPECT_EQ(TransportName(t), "https");
    EXPECT_FALSE(ParseTransport("quic", t));
    EXPECT_FALSE(ParseTransport("tl", t));
    EXPECT_EQ(TransportResultText(kResultCertificateExpired), "Error code 30: Certificate expired");
    EXPECT_EQ(TransportResultText(27), "");
    EXPECT_EQ(TransportResultText(40), "");
}

TEST(SpkiPins, OneSpellingPerDigestAndCurlsFormFromIt)
{
    SpkiDigest d{};
    for (std::size_t i = 0; i < d.size(); ++i)
        d[i] = static_cast<std::uint8_t>(i * 7);
    const std::string pin = SpkiPinText(d);
    SpkiDigest back{};
    ASSERT_TRUE(ParseSpkiPin(pin, back));
    EXPECT_EQ(back, d);
    EXPECT_EQ(CurlPin(pin), "sha256//" + pin.substr(7));
    EXPECT_FALSE(ParseSpkiPin("sha1/" + pin.substr(7), back));
    EXPECT_FALSE(ParseSpkiPin(pin.substr(0, pin.size() - 2) + "==", back));
    EXPECT_EQ(CurlPin("sha256/short"), "");
}

TEST(CertificateWarning, FailsWithTheDateInsideTheWindowOnly)
{
    TransportAnswer a;
    a.reply = {1, 2, 3};
    a.certNotAfter = 1893456000; // 2030-01-01 00:00:00 UTC
    EXPECT_FALSE(ApplyCertificateWarning(a, 10, 1893456000 - 10 * 86400));
    EXPECT_FALSE(ApplyCertificateWarning(a, 0, 1893456000));
    EXPECT_TRUE(ApplyCertificateWarning(a, 10, 1893456000 - 10 * 86400 + 1));
    EXPECT_EQ(a.code, kResultCertificateExpiresSoon);
    EXPECT_EQ(a.failure, "the server's certificate expires on 2030-01-01 00:00:00 UTC, in fewer than 10 days");
    EXPECT_EQ(a.reply.size(), 3u);
    EXPECT_EQ(ParseCurlExpireDate("Expire date:Jan  1 00:00:00 2030 GMT"), 1893456000);
    EXPECT_EQ(ParseCurlExpireDate("Start date:Jan  1 00:00:00 2030 GMT"), 0);
    EXPECT_EQ(ParseCurlExpireDate("Expire date:soon"), 0);
}
