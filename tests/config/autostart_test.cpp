// The automatic start-up entry in the XDG autostart folder.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>

#include "config/autostart.h"
#include "tests/config/store_fixture.h"

using namespace varnell;
using namespace varnell::test;
namespace fs = std::filesystem;

namespace {

std::string SelfPath()
{
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

using AutoStart = StoreTest;

} // namespace

TEST_F(AutoStart, FirstRunRegistersThePlainProgram)
{
    // No stored settings: start-up reacts to the negative result by registering.
    ASSERT_LT(LoadSettings(), 0);
    EXPECT_EQ(QueryAutoStart(), 0);
    ASSERT_FALSE(fs::exists(Dir() + "/autostart"));
    ASSERT_EQ(RegisterAutoStart(1), 1);

    EXPECT_EQ(AutoStartPath(), Dir() + "/autostart/varnell.desktop");
    const std::string self = SelfPath();
    ASSERT_FALSE(self.empty());
    EXPECT_EQ(ReadFile(AutoStartPath()), "[Desktop Entry]\n"
                                         "Type=Application\n"
                                         "Name=Varnell\n"
                                         "Exec=" + DesktopExecValue(self, 1) + "\n"
                                         "X-GNOME-Autostart-enabled=true\n");
    EXPECT_EQ(QueryAutoStart(), 1);
    struct stat st{};
    ASSERT_EQ(stat(AutoStartPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    ASSERT_EQ(RegisterAutoStart(2), 1);
    EXPECT_NE(ReadFile(AutoStartPath()).find("Exec=" + DesktopExecValue(self, 2) + "\n"), std::string::npos);
    EXPECT_EQ(QueryAutoStart(), 2);
    ASSERT_EQ(RegisterAutoStart(1), 1);
    EXPECT_EQ(QueryAutoStart(), 1);

    EXPECT_EQ(UnregisterAutoStart(), 1);
    EXPECT_FALSE(fs::exists(AutoStartPath()));
    EXPECT_EQ(QueryAutoStart(), 0);
    EXPECT_EQ(UnregisterAutoStart(), 0);
    // Nothing but the entry itself is left in the folder (no temporary files).
    EXPECT_TRUE(fs::is_empty(Dir() + "/autostart"));
}

TEST_F(AutoStart, ExecValuesAreQuotedAndEscaped)
{
    EXPECT_EQ(DesktopExecValue("/usr/bin/varnell", 1), "/usr/bin/varnell");
    EXPECT_EQ(DesktopExecValue("/opt/My Tools/varnell", 1), "\"/opt/My Tools/varnell\"");
    EXPECT_EQ(DesktopExecValue("/opt/My Tools/varnell", 2), "\"/opt/My Tools/varnell\" ICON");
    // Inside quotes " ` $ \ get a backslash; then every backslash is doubled
    // for the file's own string escapes, and % is doubled for field codes.
    EXPECT_EQ(DesktopExecValue("/a\\b$c", 1), "\"/a\\\\\\\\b\\\\$c\"");
    EXPECT_EQ(DesktopExecValue("/x/\"q\"/`t`", 1), "\"/x/\\\\\"q\\\\\"/\\\\`t\\\\`\"");
    EXPECT_EQ(DesktopExecValue("/srv/100%/varnell", 1), "/srv/100%%/varnell");
    EXPECT_EQ(DesktopExecValue("/tmp/new\nline", 1), "\"/tmp/new\\nline\"");

    EXPECT_FALSE(ExecHasIconArgument("\"/opt/A ICON folder/varnell\""));
    EXPECT_TRUE(ExecHasIconArgument("\"/opt/A ICON folder/varnell\" ICON"));
    EXPECT_TRUE(ExecHasIconArgument("/usr/bin/varnell ICON"));
    EXPECT_FALSE(ExecHasIconArgument("/usr/bin/varnell ICONS"));
    EXPECT_FALSE(ExecHasIconArgument("/usr/bin/varnell"));
    EXPECT_FALSE(ExecHasIconArgument(""));
}

TEST_F(AutoStart, QueryReadsWhatTheDesktopWouldDo)
{
    fs::create_directories(Dir() + "/autostart");
    WriteFile(AutoStartPath(), "[Desktop Entry]\nType=Application\nExec=/usr/bin/varnell ICON\nHidden = true\n");
    EXPECT_EQ(QueryAutoStart(), 0) << "a hidden entry does not start anything";
    WriteFile(AutoStartPath(), "[Other Group]\nExec=/x ICON\n[Desktop Entry]\r\nExec=/usr/bin/varnell\r\n");
    EXPECT_EQ(QueryAutoStart(), 1);
    WriteFile(AutoStartPath(), "[Desktop Entry]\nExec = /usr/bin/varnell ICON\nExec=/usr/bin/varnell\n");
    EXPECT_EQ(QueryAutoStart(), 2) << "the first Exec counts";
    WriteFile(AutoStartPath(), "[Desktop Entry]\nName=Varnell\n");
    EXPECT_EQ(QueryAutoStart(), 1);
    fs::remove(AutoStartPath());
    fs::create_directories(AutoStartPath());
    EXPECT_EQ(QueryAutoStart(), 0) << "unreadable";
}

TEST_F(AutoStart, RegisteringFailsCleanlyWhenTheFolderCannotBeMade)
{
    WriteFile(Dir() + "/autostart", "a file where the folder should be");
    EXPECT_EQ(RegisterAutoStart(1), 0);
    EXPECT_EQ(QueryAutoStart(), 0);
    EXPECT_EQ(UnregisterAutoStart(), 0);
}
