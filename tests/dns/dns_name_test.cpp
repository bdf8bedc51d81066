#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dns/dns_name.h"
#include "dns_reply_builder.h"

namespace varnell {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Encode(const std::string& name, std::size_t room = 300)
{
    Bytes out(room, 0xEE);
    out.resize(EncodeName(name, out));
    return out;
}

std::string Label(std::size_t n, char c = 'a') { return std::string(n, c); }

TEST(DnsNameEncode, GivesLabelFormWithOrWithoutFinalDot)
{
    const Bytes expected = {7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 3, 'c', 'o', 'm', 0};
    EXPECT_EQ(Encode("example.com"), expected);
    EXPECT_EQ(Encode("example.com."), expected);
    EXPECT_EQ(Encode(""), Bytes{0});
    EXPECT_EQ(Encode("."), Bytes{0});
}

TEST(DnsNameEncode, RefusesWhatIsNoDomainName)
{
    // 255 octets in label form is the most a name may have; one more is refused.
    const std::string longest = Label(63) + "." + Label(63) + "." + Label(63) + "." + Label(61);
    EXPECT_EQ(Encode(longest).size(), 255u);
    EXPECT_TRUE(Encode(longest + "x").empty());
    EXPECT_EQ(Encode(Label(63) + ".com").size(), 69u);
    EXPECT_TRUE(Encode(Label(64) + ".com").empty());
    EXPECT_TRUE(Encode("a..b").empty()); // would cut the question at "a"
    EXPECT_TRUE(Encode(".com").empty());
    EXPECT_TRUE(Encode("com..").empty());
    // Too small an output refuses rather than cutting the name.
    EXPECT_TRUE(Encode("example.com", 12).empty());
    EXPECT_EQ(Encode("example.com", 13).size(), 13u);

    EXPECT_TRUE(ValidDomainName("example.com"));
    EXPECT_TRUE(ValidDomainName("Example.COM."));
    EXPECT_FALSE(ValidDomainName(""));
    EXPECT_FALSE(ValidDomainName("."));
    EXPECT_FALSE(ValidDomainName(longest + "x"));
    EXPECT_FALSE(ValidDomainName(Label(64)));
}

struct Decoded {
    NameStatus status;
    std::size_t consumed;
    std::string text;
};

Decoded Decode(const Bytes& message, std::size_t at, std::size_t room = kMaxNameText)
{
    std::vector<char> out(room, 'X');
    const DecodedName d = DecodeName(message, at, out);
    std::string text = room != 0 ? std::string(out.data()) : std::string();
    EXPECT_EQ(text.size(), d.length);
    return {d.status, d.consumed, text};
}

TEST(DnsNameDecode, FollowsPointersAndCountsBytesAtTheSource)
{
    // Header-sized filler, then "example.com" at 12, then "www" + pointer to 12,
    // then a bare pointer, then the root name.
    Bytes m(12, 0);
    const Bytes example = test::DnsReplyBuilder::Encoded("example.com");
    m.insert(m.end(), example.begin(), example.end());
    const std::size_t www = m.size();
    m.insert(m.end(), {3, 'w', 'w', 'w', 0xC0, 12});
    const std::size_t bare = m.size();
    m.insert(m.end(), {0xC0, static_cast<std::uint8_t>(www)});
    const std::size_t root = m.size();
    m.push_back(0);

    Decoded d = Decode(m, 12);
    EXPECT_EQ(d.status, NameStatus::Ok);
    EXPECT_EQ(d.text, "example.com");
    EXPECT_EQ(d.consumed, 13u);
    d = Decode(m, www);
    EXPECT_EQ(d.text, "www.example.com");
    EXPECT_EQ(d.consumed, 6u);
    d = Decode(m, bare);
    EXPECT_EQ(d.status, NameStatus::Ok);
    EXPECT_EQ(d.text, "www.example.com");
    EXPECT_EQ(d.consumed, 2u);
    d = Decode(m, root);
    EXPECT_EQ(d.status, NameStatus::Ok);
    EXPECT_EQ(d.text, "");
    EXPECT_EQ(d.consumed, 1u);
}

TEST(DnsNameDecode, HostileNamesEndAndStayTerminated)
{
    Bytes self(12, 0);
    self.insert(self.end(), {3, 'a', 'b', 'c', 0xC0, 12}); // label then a pointer back to itself
    Decoded d = Decode(self, 12);
    EXPECT_EQ(d.status, NameStatus::Malformed);
    EXPECT_LE(d.text.size(), 253u);

    Bytes pingPong(12, 0);
    pingPong.insert(pingPong.end(), {0xC0, 14, 0xC0, 12}); // two pointers to each other
    EXPECT_EQ(Decode(pingPong, 12).status, NameStatus::Malformed);

    Bytes pastEnd(12, 0);
    pastEnd.insert(pastEnd.end(), {3, 'a', 'b', 'c', 0xC0, 40});
    d = Decode(pastEnd, 12);
    EXPECT_EQ(d.status, NameStatus::Malformed);
    EXPECT_EQ(d.text, "abc");

    Bytes cutLabel(12, 0);
    cutLabel.insert(cutLabel.end(), {3, 'a', 'b', 'c', 5, 'd', 'e'});
    d = Decode(cutLabel, 12);
    EXPECT_EQ(d.status, NameStatus::Malformed);
    EXPECT_EQ(d.text, "abc");

    Bytes halfPointer(12, 0);
    halfPointer.push_back(0xC0);
    EXPECT_EQ(Decode(halfPointer, 12).status, NameStatus::Malformed);
    EXPECT_EQ(Decode(halfPointer, 13).status, NameStatus::Malformed); // starts past the end

    Bytes reserved(12, 0);
    reserved.insert(reserved.end(), {0x41, 'a', 0});
    EXPECT_EQ(Decode(reserved, 12).status, NameStatus::Malformed);
}

// A pointer reaches any earlier offset, past 512 too, and only an earlier one.
TEST(DnsNameDecode, PointersReachBackPastByte511AndNeverForward)
{
    Bytes m(600, 0);
    const Bytes far = test::DnsReplyBuilder::Encoded("example.net");
    m.insert(m.end(), far.begin(), far.end());
    const std::size_t at = m.size();
    m.insert(m.end(), {4, 'm', 'a', 'i', 'l', 0xC2, 0x58}); // then a pointer to 600
    Decoded d = Decode(m, at);
    EXPECT_EQ(d.status, NameStatus::Ok);
    EXPECT_EQ(d.text, "mail.example.net");
    EXPECT_EQ(d.consumed, 7u);

    Bytes forward(12, 0);
    forward.insert(forward.end(), {4, 'm', 'a', 'i', 'l', 0xC0, 19, 1, 'x', 0}); // "x" lies after the pointer
    d = Decode(forward, 12);
    EXPECT_EQ(d.status, NameStatus::Malformed);
    EXPECT_EQ(d.text, "mail");
}

TEST(DnsNameDecode, OutputAreaIsNeverOverrun)
{
    Bytes m(12, 0);
    const Bytes example = test::DnsReplyBuilder::Encoded("example.com");
    m.insert(m.end(), example.begin(), example.end());
    EXPECT_EQ(Decode(m, 12, 12).status, NameStatus::Ok); // 11 characters and the terminator
    const Decoded d = Decode(m, 12, 11);
    EXPECT_EQ(d.status, NameStatus::NoRoom);
    EXPECT_EQ(d.text, "example");
    std::vector<char> none;
    EXPECT_EQ(DecodeName(m, 12, none).status, NameStatus::NoRoom);
}

TEST(DnsNameCompare, IgnoresCaseAndOneFinalDot)
{
    EXPECT_TRUE(SameName("Mail.Example.COM", "mail.example.com."));
    EXPECT_FALSE(SameName("mail.example.com", "mail.example.co"));
    EXPECT_FALSE(SameName("a", "a.."));
    EXPECT_TRUE(SameName("", "."));
}

} // namespace
} // namespace varnell
