// The fixed texts are deciphered right and never stand in the library as they are.
#include <gtest/gtest.h>

#include "config/fixed_texts.h"
#include "tests/support/process.h"

using namespace varnell;

TEST(FixedTexts, DecipherOnUseAndStayOutOfTheLibrary)
{
    EXPECT_STREQ(FixedTextValue(FixedText::kSettingsKey), "Software\\Varnell");
    EXPECT_STREQ(FixedTextValue(FixedText::kAutoStartFolder), "autostart");
    EXPECT_STREQ(FixedTextValue(FixedText::kAutoStartFile), "varnell.desktop");
    EXPECT_STREQ(FixedTextValue(FixedText::kAppTitle), "Varnell");
    EXPECT_STREQ(FixedTextValue(FixedText::kCount), "");

    const std::string library = test::ReadFile(test::BinaryDir() + "/config/libvarnell_config.a");
    ASSERT_FALSE(library.empty());
    EXPECT_EQ(library.find("Software\\Varnell"), std::string::npos);
    EXPECT_EQ(library.find("varnell.desktop"), std::string::npos);
}
