// Record data texts: against a real server, each type's text equals what dig
// prints for the same answer; then the data a server must not send.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/byte_reader.h"
#include "dns/dns_name.h"
#include "dns/record_text.h"
#include "tests/support/answer_zone.h"

using namespace varnell;

namespace {

// Asks name/type of 127.0.0.1:port (with an OPT record for 1232 bytes) and
// returns the texts of the answer records of that type.
std::vector<std::string> Ask(std::uint16_t port, const std::string& name, std::uint16_t type)
{
    std::vector<std::uint8_t> q = {0x12, 0x34, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1};
    std::uint8_t encoded[kMaxNameOctets];
    const std::size_t n = EncodeName(name, encoded);
    q.insert(q.end(), encoded, encoded + n);
    q.insert(q.end(), {static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type), 0, 1});
    q.insert(q.end(), {0, 0, 41, 0x04, 0xD0, 0, 0, 0, 0, 0, 0});
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    sendto(fd, q.data(), q.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    std::uint8_t reply[4096];
    const ssize_t got = recv(fd, reply, sizeof reply, 0);
    close(fd);
    std::vector<std::string> texts;
    if (got < 12)
        return texts;
    const std::span<const std::uint8_t> message(reply, static_cast<std::size_t>(got));
    ByteReader reader(message);
    std::uint16_t answers = 0;
    reader.Seek(6);
    reader.ReadU16BE(answers);
    reader.Seek(12);
    reader.Skip(SkipName(message, 12) + 4);
    for (std::uint16_t a = 0; a < answers; ++a) {
        std::uint16_t rtype = 0, length = 0;
        reader.Skip(SkipName(message, reader.Position()));
        reader.ReadU16BE(rtype);
        reader.Skip(6);
        reader.ReadU16BE(length);
        if (rtype == type) {
            std::uint8_t data[2048];
            const std::size_t size = ExpandRecordData(type, message, reader.Position(), length, data);
            EXPECT_NE(size, 0u) << name;
            texts.push_back(RecordDataText(type, std::span<const std::uint8_t>(data, size)));
        }
        reader.Skip(length);
    }
    std::sort(texts.begin(), texts.end());
    return texts;
}

TEST(RecordText, EachTypeReadsAsDigPrintsIt)
{
    test::UnboundPeer server;
    ASSERT_TRUE(server.Start({{"answers", test::kAnswerZone}})) << server.Log();
    const struct {
        const char* name;
        std::uint16_t type;
        const char* mnemonic;
        std::size_t records;
    } cases[] = {
        {"answers", kTypeTxt, "TXT", 1},           {"sel._domainkey.answers", kTypeTxt, "TXT", 1},
        {"odd.answers", kTypeTxt, "TXT", 1},       {"_sip._udp.answers", kTypeSrv, "SRV", 3},
        {"answers", kTypeCaa, "CAA", 3},           {"answers", kTypeHttps, "HTTPS", 1},
        {"svc.answers", kTypeHttps, "HTTPS", 1},   {"www.answers", kTypeHttps, "HTTPS", 1},
        {"child.answers", kTypeDs, "DS", 1},       {"answers", kTypeDnskey, "DNSKEY", 2},
    };
    for (const auto& c : cases) {
        const auto ours = Ask(server.Port(), c.name, c.type);
        EXPECT_EQ(ours.size(), c.records) << c.name << " " << c.mnemonic;
        EXPECT_EQ(ours, test::DigShort(server.Port(), c.name, c.mnemonic)) << c.name << " " << c.mnemonic;
    }
}

std::string Text(std::uint16_t type, const std::vector<std::uint8_t>& data, bool pieces = true)
{
    return RecordDataText(type, data, pieces);
}

TEST(RecordText, DataThatDoesNotReadAsItsTypeIsShownRaw)
{
    // A character-string longer than what is left, and an SRV without its target.
    EXPECT_EQ(Text(kTypeTxt, {5, 'a', 'b'}), "\\# 3 056162");
    EXPECT_EQ(Text(kTypeSrv, {0, 1, 0, 2}), "\\# 4 00010002");
    EXPECT_EQ(Text(kTypeHttps, {0, 1, 0, 0, 3, 0, 2}), "\\# 7 00010000030002"); // port value cut short
    const std::vector<std::uint8_t> message = {0, 1, 0, 2, 0, 3, 0xC0, 0x06};   // a pointer to itself
    std::uint8_t out[64];
    EXPECT_EQ(ExpandRecordData(kTypeSrv, message, 0, message.size(), out), 0u);
    EXPECT_EQ(ExpandRecordData(kTypeSrv, message, 0, message.size() + 1, out), 0u);
    EXPECT_EQ(ExpandRecordData(kTypeCaa, std::vector<std::uint8_t>{0, 0}, 0, 2, out), 0u); // empty tag
}

TEST(RecordText, NamesInDataAreExpandedFromTheMessage)
{
    // "sip.answers" written at 0, then SRV data whose target is "x" + a pointer to it.
    const std::vector<std::uint8_t> message = {3, 's', 'i', 'p', 7, 'a', 'n', 's', 'w', 'e', 'r', 's', 0,
                                               0, 1, 0, 2, 0, 3, 1, 'x', 0xC0, 0x00};
    std::uint8_t out[64];
    const std::size_t size = ExpandRecordData(kTypeSrv, message, 13, 10, out);
    ASSERT_EQ(size, 6u + 1 + 1 + 13);
    EXPECT_EQ(RecordDataText(kTypeSrv, std::span<const std::uint8_t>(out, size)), "1 2 3 x.sip.answers.");
    // No room: refused rather than cut.
    EXPECT_EQ(ExpandRecordData(kTypeSrv, message, 13, 10, std::span<std::uint8_t>(out, 12)), 0u);
}

TEST(RecordText, SignatureTimesAndKeyTag)
{
    // RRSIG over A, algorithm 13, 2 labels, TTL 300, expiring 2026-12-11 12:00:00,
    // made 2026-12-08 11:00:00, key tag 2371, signer "answers".
    std::vector<std::uint8_t> rrsig = {0, 1, 13, 2, 0, 0, 1, 0x2C};
    const std::uint32_t expiration = 1796990400u, inception = 1796727600u;
    for (const std::uint32_t t : {expiration, inception})
        for (int s = 24; s >= 0; s -= 8)
            rrsig.push_back(static_cast<std::uint8_t>(t >> s));
    rrsig.insert(rrsig.end(), {0x09, 0x43, 7, 'a', 'n', 's', 'w', 'e', 'r', 's', 0, 0xAB, 0xCD});
    SignatureTimes times;
    ASSERT_TRUE(ReadSignatureTimes(rrsig, 1796700000, times));
    EXPECT_EQ(times.typeCovered, 1);
    EXPECT_EQ(times.expiration, 1796990400);
    EXPECT_EQ(times.inception, 1796727600);
    EXPECT_EQ(Text(kTypeRrsig, rrsig), "A 13 2 300 20261211120000 20261208110000 2371 answers. q80=");
    // Past 2106 the 32-bit field wraps; the window nearest to now is taken.
    ASSERT_TRUE(ReadSignatureTimes(rrsig, 1796700000 + 0x100000000ll, times));
    EXPECT_EQ(times.expiration, 1796990400 + 0x100000000ll);
    EXPECT_FALSE(ReadSignatureTimes(std::vector<std::uint8_t>(11, 0), 0, times));
    // RFC 4034 appendix B over the flags, protocol, algorithm and key.
    EXPECT_EQ(DnskeyKeyTag(std::vector<std::uint8_t>{1, 1, 3, 13, 0xAA, 0xBB, 0xCC}), 0x7ACAu);
    // Unsplit form for comparing.
    const std::vector<std::uint8_t> ds(4 + 32, 0xAB);
    EXPECT_EQ(Text(kTypeDs, ds, false).find(' ', 15), std::string::npos);
    EXPECT_NE(Text(kTypeDs, ds, true).find(' ', 15), std::string::npos);
}

} // namespace
