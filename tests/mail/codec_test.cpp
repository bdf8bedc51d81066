#include <gtest/gtest.h>

#include <random>

#include "mail/base64.h"

using namespace varnell;

namespace {

std::string Encode(int direction, int algorithm, const std::string& in)
{
    return CMimeString(direction, algorithm, in).Output();
}

std::string RandomBytes(std::mt19937& rng, std::size_t n)
{
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(rng() & 0xFF);
    return s;
}

} // namespace

TEST(Base64, MatchesTheRfc4648VectorsBothWays)
{
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(Encode(0, 1, plain), encoded) << plain;
        EXPECT_EQ(Encode(1, 1, encoded), plain) << encoded;
    }
    // Every byte value and both high bits, as the logon would send a password.
    EXPECT_EQ(Base64Encode(std::string("\x00\xff\xfe", 3)), "AP/+");
    EXPECT_EQ(Base64Encode("User Name"), "VXNlciBOYW1l");
}

TEST(Base64, LongInputStaysOnOneLine)
{
    const std::string encoded = Encode(0, 1, std::string(100, 'x'));
    EXPECT_EQ(encoded.size(), 136u);
    EXPECT_EQ(encoded.find_first_of("\r\n"), std::string::npos);
}

TEST(Base64, DecodeIgnoresPartialGroupsAndNeverUnderflows)
{
    // Six characters: the last two are not a whole group.
    EXPECT_EQ(Encode(1, 1, "Zm9vYm"), "foo");
    EXPECT_EQ(Encode(1, 1, "Zg=="), "f");
    // Characters outside the alphabet count as zero bits.
    EXPECT_EQ(Encode(1, 1, "A*A*"), std::string(3, '\0'));
    // Padding only ever removes what one group can carry.
    EXPECT_EQ(Encode(1, 1, "===="), std::string(1, '\0'));
    EXPECT_EQ(Encode(1, 1, "========"), std::string(4, '\0'));
    EXPECT_EQ(Encode(1, 1, "="), "");
}

TEST(Base64, RandomBytesRoundTrip)
{
    std::mt19937 rng(4648);
    for (std::size_t n = 0; n < 200; ++n) {
        const std::string in = RandomBytes(rng, n);
        const std::string enc = Encode(0, 1, in);
        ASSERT_EQ(enc.size(), 4 * ((n + 2) / 3));
        ASSERT_EQ(Encode(1, 1, enc), in) << n;
    }
}

TEST(PackingCodec, PinnedLayoutOfGroupsAndLowBits)
{
    // One byte: its high six bits, then the low-bits character.
    EXPECT_EQ(Encode(0, 0, "\xff"), std::string({char(127), char(97)}));
    // A full group: three data characters, then low bits 00 01 10.
    EXPECT_EQ(Encode(0, 0, std::string("\x00\x01\x02", 3)), std::string({1, 1, 1, 13}));
    // Two bytes: data, data, low bits of both.
    EXPECT_EQ(Encode(0, 0, std::string("\x07\x0b", 2)), std::string({3, 5, char(0x60 | 0x18 | 1)}));
}

TEST(PackingCodec, AnyInputRoundTripsAsOddSevenBitText)
{
    std::mt19937 rng(2045);
    for (std::size_t n = 0; n < 100; ++n) {
        const std::string in = RandomBytes(rng, n);
        const std::string enc = Encode(0, 0, in);
        ASSERT_EQ(enc.size(), 4 * (n / 3) + n % 3 + (n % 3 != 0 ? 1 : 0));
        for (char c : enc) {
            const auto u = static_cast<unsigned char>(c);
            ASSERT_TRUE(u % 2 == 1 && u <= 127) << n;
        }
        ASSERT_EQ(Encode(1, 0, enc), in) << n;
    }
    // Truncated packed text decodes without reading past its end.
    EXPECT_EQ(Encode(1, 0, std::string(1, 'A')), "");
}

TEST(MimeString, UnknownDirectionOrAlgorithmGivesNoCodecAndEmptyOutput)
{
    for (auto [dir, alg] : {std::pair{0, 2}, std::pair{2, 1}, std::pair{-1, 0}}) {
        CMimeString s(dir, alg, "abc");
        EXPECT_FALSE(s.HasCodec());
        EXPECT_EQ(s.Output(), "");
        EXPECT_EQ(s.OutputLength(), 0);
    }
}
