#include "alerts/log_file.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include "tests/support/recording_ui_channel.h"
#include "config/settings.h"
#include "tests/support/process.h"

using namespace varnell;

namespace {

class LogFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetUiChannel(&desktop_);
        saved_ = CurrentSettings().general.texts[kTextLogPath];
    }
    void TearDown() override
    {
        SetLogName("");
        ReopenLogFile();
        CurrentSettings().general.texts[kTextLogPath] = saved_;
    }
    void SetLogName(const std::string& name) { CurrentSettings().general.texts[kTextLogPath] = name; }

    RecordingUiChannel desktop_;
    test::TempDir dir_;
    std::string saved_;
};

TEST_F(LogFileTest, EachRecordIsInTheFileAsSoonAsItIsWritten)
{
    std::string path = dir_.File("events.log");
    test::WriteFile(path, "earlier\r\n");
    SetLogName(path);
    OpenLogFile();
    ASSERT_TRUE(LogFileIsOpen());
    // Nothing waits in memory for a flush that a crash would never make.
    WriteLogRecord("a.test is down");
    EXPECT_EQ(test::ReadFile(path), "earlier\r\na.test is down\r\n");
    WriteLogRecord("a.test is up");
    WriteLogRecord("the ip of a.test is changed to 10.0.0.1; ");
    EXPECT_EQ(test::ReadFile(path), "earlier\r\na.test is down\r\na.test is up\r\n"
                                    "the ip of a.test is changed to 10.0.0.1; \r\n");
}

TEST_F(LogFileTest, ReopenMovesToTheNewNameAndEmptyNameStopsLogging)
{
    std::string first = dir_.File("first.log");
    std::string second = dir_.File("second.log");
    SetLogName(first);
    OpenLogFile();
    WriteLogRecord("one");

    SetLogName(second);
    ReopenLogFile();
    WriteLogRecord("two");
    EXPECT_EQ(test::ReadFile(first), "one\r\n");
    EXPECT_EQ(LogFileName(), second);

    // Viewing shows the file now in use.
    EXPECT_EQ(ViewLogFile(), 1);
    EXPECT_EQ(test::ReadFile(second), "two\r\n");
    EXPECT_EQ(desktop_.Opened(), std::vector<std::string>{second});

    SetLogName("");
    ReopenLogFile();
    EXPECT_FALSE(LogFileIsOpen());
    WriteLogRecord("three");
    EXPECT_EQ(ViewLogFile(), 0); // nothing open: nothing shown
    EXPECT_EQ(test::ReadFile(second), "two\r\n");
    EXPECT_EQ(desktop_.Opened().size(), 1u);
}

TEST_F(LogFileTest, UnopenableFileLeavesTheLogOff)
{
    SetLogName(dir_.File("no-such-folder/events.log"));
    OpenLogFile();
    EXPECT_FALSE(LogFileIsOpen());
    WriteLogRecord("lost"); // harmless
}

TEST_F(LogFileTest, RelativeNameIsShownByItsFullPath)
{
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(::chdir(dir_.Path().c_str()), 0);
    SetLogName("varnell.log");
    OpenLogFile();
    EXPECT_EQ(ViewLogFile(), 1);
    EXPECT_EQ(desktop_.Opened(), std::vector<std::string>{dir_.File("varnell.log")});
    SetLogName("");
    ReopenLogFile();
    ASSERT_EQ(::chdir(cwd), 0);
}

} // namespace
