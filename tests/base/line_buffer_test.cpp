#include <gtest/gtest.h>

#include <string>

#include "base/net/line_buffer.h"

namespace varnell {
namespace {

// Lines come out whole however the bytes were split, and what has no end stays.
TEST(LineBuffer, HandsOutCompleteLinesAcrossPieces)
{
    LineBuffer buffer("\r\n", 100);
    std::string line;
    buffer.Append("250-one\r", 8);
    EXPECT_FALSE(buffer.Next(line));
    buffer.Append("\n250 two\r\n25", 12);
    ASSERT_TRUE(buffer.Next(line));
    EXPECT_EQ(line, "250-one");
    ASSERT_TRUE(buffer.Next(line));
    EXPECT_EQ(line, "250 two");
    EXPECT_FALSE(buffer.Next(line));
    EXPECT_FALSE(buffer.HasLine());
    EXPECT_EQ(buffer.TakeRest(), "25");
    EXPECT_TRUE(buffer.Empty());
}

// A line that outgrows the limit is refused, not cut: it is never handed out,
// and Room says how many bytes prove it.
TEST(LineBuffer, RefusesALineOverItsLimit)
{
    LineBuffer buffer("\n", 4);
    EXPECT_EQ(buffer.Room(), 5u);
    buffer.Append("abcd", 4);
    EXPECT_FALSE(buffer.Overlong());
    EXPECT_EQ(buffer.Room(), 1u);
    buffer.Append("e", 1);
    EXPECT_TRUE(buffer.Overlong());
    EXPECT_EQ(buffer.Room(), 0u);
    std::string line;
    EXPECT_FALSE(buffer.Next(line));
}

} // namespace
} // namespace varnell
