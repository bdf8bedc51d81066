#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "items/reply_detail.h"

using namespace varnell;

namespace {

std::uint16_t BE16(std::uint16_t v) { return static_cast<std::uint16_t>((v >> 8) | (v << 8)); }
std::uint32_t BE32(std::uint32_t v)
{
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}
std::uint32_t Addr(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    const std::uint8_t octets[4] = {a, b, c, d};
    std::uint32_t be;
    std::memcpy(&be, octets, 4);
    return be;
}

// Lays records into a block the way the parser leaves them: names and data in
// the names area, records one after another.
struct BlockWriter {
    ItemBlock& block;
    std::uint32_t Text(const std::string& text)
    {
        const std::uint32_t at = block.namesCursor;
        std::memcpy(block.names + at, text.c_str(), text.size() + 1);
        block.namesCursor += static_cast<std::uint32_t>(text.size() + 1);
        return at;
    }
    ReplyRecord& Record(const std::string& owner, std::uint16_t type, std::uint32_t ttl)
    {
        ReplyRecord& r = block.records[block.nextFree++];
        r = ReplyRecord{};
        r.owner = Text(owner);
        r.typeBE = BE16(type);
        r.classBE = BE16(1);
        r.ttlBE = BE32(ttl);
        return r;
    }
    void Name(const std::string& owner, std::uint16_t type, std::uint32_t ttl, const std::string& data)
    {
        ReplyRecord& r = Record(owner, type, ttl);
        r.data = Text(data);
        r.dataLengthBE = BE16(static_cast<std::uint16_t>(data.size() + 2));
    }
    void A(const std::string& owner, std::uint32_t ttl, std::uint32_t addrBE)
    {
        ReplyRecord& r = Record(owner, 1, ttl);
        r.dataLengthBE = BE16(4);
        r.data = block.namesCursor;
        std::memcpy(block.names + block.namesCursor, &addrBE, 4);
        block.names[block.namesCursor + 4] = 0;
        block.namesCursor += 5;
    }
};

std::unique_ptr<ItemBlock> NewBlock(const std::string& domain)
{
    auto block = std::make_unique<ItemBlock>();
    block->domain = domain;
    return block;
}

std::string TextIn(const std::vector<DetailRun>& runs, DetailColour colour)
{
    std::string text;
    for (const DetailRun& run : runs)
        if (run.colour == colour)
            text += run.text;
    return text;
}

} // namespace

TEST(ReplyDetail, UnansweredItemShowsNameZeroAddressesAndFourEmptySections)
{
    auto block = NewBlock("www.example.test");
    EXPECT_EQ(DetailPlainText(BuildReplyDetail(*block)),
              "www.example.test\r\n0 Address:\r\n"
              "\r\n0 Answers:\r\n\r\n0 Authoritative:\r\n\r\n0 Additional:\r\n\r\n0 External:\r\n");
}

TEST(ReplyDetail, EveryRecordKindHasItsLineAndColour)
{
    auto block = NewBlock("mail.example.test");
    BlockWriter w{*block};
    // Answers: a CNAME and an MX; authority: NS and SOA; additional: an A and a
    // PTR; one external A from a follow-up reply; one record of another type.
    w.Name("mail.example.test", 5, 300, "mx.example.test");
    w.Name("mx.example.test", 15, 60, "mx1.example.test");
    block->records[1].preference = 10;
    block->answerStart = 0;
    block->answerRecords = 2;
    block->authorityStart = 2;
    w.Name("example.test", 2, 86400, "ns1.example.test");
    w.Name("example.test", 6, 3600, "ns1.example.test");
    block->authorityRecords = 2;
    block->additionalStart = 4;
    w.A("ns1.example.test", 120, Addr(192, 0, 2, 53));
    w.Name("1.2.0.192.in-addr.arpa", 12, 5, "host.example.test");
    block->additionalRecords = 2;
    w.A("mx1.example.test", 7, Addr(192, 0, 2, 25));
    w.Name("mx1.example.test", 13, 7, "some text"); // HINFO: a type with no line of its own
    block->externalRecords = 2;
    block->answerCount = 2;
    block->answers[0].addrBE = Addr(192, 0, 2, 25);
    block->answers[1].addrBE = Addr(198, 51, 100, 7);

    const auto runs = BuildReplyDetail(*block);
    EXPECT_EQ(DetailPlainText(runs),
              "mail.example.test\r\n"
              "2 Address:192.0.2.25; 198.51.100.7; \r\n"
              "\r\n2 Answers:\r\n"
              "  Answers 1: \r\n     Answers name : mail.example.test     Answers TTL : 300\r\n"
              "     alias name : mx.example.test\r\n"
              "  Answers 2: \r\n     Answers name : mx.example.test     Answers TTL : 60\r\n"
              "     MX preference 10, MX name : mx1.example.test\r\n"
              "\r\n2 Authoritative:\r\n"
              "  Authoritative 1: \r\n     Authoritative name : example.test     Authoritative TTL : 86400\r\n"
              "     authoritative nameserver : ns1.example.test\r\n"
              "  Authoritative 2: \r\n     Authoritative name : example.test     Authoritative TTL : 3600\r\n"
              "     SOA name : ns1.example.test\r\n"
              "\r\n2 Additional:\r\n"
              "  Additional 1: \r\n     Additional name : ns1.example.test     Additional TTL : 120\r\n"
              "     IPv4 address :  192.0.2.53\r\n"
              "  Additional 2: \r\n     Additional name : 1.2.0.192.in-addr.arpa     Additional TTL : 5\r\n"
              "     PTR name : host.example.test\r\n"
              "\r\n2 External:\r\n"
              "  External 1: \r\n     External name : mx1.example.test     External TTL : 7\r\n"
              "     IPv4 address :  192.0.2.25\r\n"
              "  External 2: \r\n     External name : mx1.example.test     External TTL : 7\r\n");

    // The owner line is grey and has no line end; the TTL that follows is green.
    EXPECT_NE(TextIn(runs, DetailColour::Grey).find("     Answers name : mail.example.test"), std::string::npos);
    EXPECT_EQ(TextIn(runs, DetailColour::Grey).find("\r\n"), std::string::npos);
    EXPECT_NE(TextIn(runs, DetailColour::Green).find("     Answers TTL : 300\r\n"), std::string::npos);
    EXPECT_EQ(TextIn(runs, DetailColour::Blue), "; ; " "  Answers 1: \r\n  Answers 2: \r\n"
                                                 "  Authoritative 1: \r\n  Authoritative 2: \r\n"
                                                 "  Additional 1: \r\n  Additional 2: \r\n"
                                                 "  External 1: \r\n  External 2: \r\n");
    const std::string red = TextIn(runs, DetailColour::Red);
    EXPECT_EQ(red.rfind("2 Address:192.0.2.25198.51.100.7\r\n", 0), 0u);
    EXPECT_NE(red.find("     MX preference 10, MX name : mx1.example.test\r\n"), std::string::npos);
    EXPECT_EQ(TextIn(runs, DetailColour::Black).rfind("mail.example.test\r\n\r\n2 Answers:\r\n", 0), 0u);

    EXPECT_EQ(DetailRgb(DetailColour::Grey), 0x808080u);
    EXPECT_EQ(DetailRgb(DetailColour::Green), 0x008000u);
    EXPECT_EQ(DetailRgb(DetailColour::Red), 0xFF0000u);
    EXPECT_EQ(DetailRgb(DetailColour::Blue), 0x0000FFu);
}

TEST(ReplyDetail, DamagedBlockNeverReadsOutsideItself)
{
    auto block = NewBlock("bad.test");
    // Offsets beyond the names area, a name that fills the area to its last byte
    // without a terminator, counts and starts beyond the record area.
    std::memset(block->names, 'x', kNamesArea);
    block->records[62].owner = kNamesArea + 10;
    block->records[62].typeBE = BE16(5);
    block->records[62].data = kNamesArea - 3;
    block->records[63].typeBE = BE16(1);
    block->records[63].dataLengthBE = BE16(4);
    block->records[63].data = kNamesArea - 2; // only two bytes left
    block->answerStart = 62;
    block->answerRecords = 1000;
    block->authorityStart = 5000;
    block->authorityRecords = 3;
    block->additionalStart = 60;
    block->additionalRecords = 10;
    block->externalRecords = 7;
    block->answerCount = 100000;

    const std::string text = DetailPlainText(BuildReplyDetail(*block));
    EXPECT_NE(text.find("\r\n2 Answers:\r\n"), std::string::npos);
    EXPECT_NE(text.find("     Answers name :      Answers TTL : 0\r\n     alias name : xxx\r\n"), std::string::npos);
    EXPECT_NE(text.find("     IPv4 address :  120.120.0.0\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\n0 Authoritative:\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\n4 Additional:\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\n0 External:\r\n"), std::string::npos);
    EXPECT_NE(text.find("100000 Address:"), std::string::npos);
}

TEST(ReplyDetail, ShortARecordShowsOnlyTheBytesItHas)
{
    auto block = NewBlock("short.test");
    BlockWriter w{*block};
    w.A("short.test", 1, Addr(10, 20, 30, 40));
    block->records[0].dataLengthBE = BE16(2);
    block->answerRecords = 1;
    EXPECT_NE(DetailPlainText(BuildReplyDetail(*block)).find("     IPv4 address :  10.20.0.0\r\n"), std::string::npos);
}
