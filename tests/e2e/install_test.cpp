// What `cmake --install` leaves for a desktop to find: the program, its menu
// entry, the icon at every size the theme looks for, and metainfo that the
// software centres accept.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>

#include "tests/support/process.h"

using namespace varnell::test;
using namespace std::chrono_literals;

namespace {

bool IsExecutable(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IXOTH) != 0;
}

bool Available(const std::string& program)
{
    return IsExecutable("/usr/bin/" + program);
}

// Width and height from a PNG's header chunk; 0 when it is not a PNG.
std::pair<std::uint32_t, std::uint32_t> PngSize(const std::string& bytes)
{
    if (bytes.size() < 24 || bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0 || bytes.compare(12, 4, "IHDR") != 0)
        return {0, 0};
    auto be32 = [&](std::size_t at) {
        return static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[at]) << 24 |
                                          static_cast<std::uint8_t>(bytes[at + 1]) << 16 |
                                          static_cast<std::uint8_t>(bytes[at + 2]) << 8 |
                                          static_cast<std::uint8_t>(bytes[at + 3]));
    };
    return {be32(16), be32(20)};
}

int RunTool(const std::vector<std::string>& argv, const std::string& output)
{
    ChildProcess child;
    if (!child.Start(argv, {}, output, output))
        return -1;
    const int status = child.Wait(60s);
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST(Install, PutsTheProgramEntryIconsAndMetainfoInTheirXdgPlaces)
{
    TempDir dir;
    const std::string prefix = dir.File("usr");
    ASSERT_EQ(RunTool({"cmake", "--install", BinaryDir(), "--prefix", prefix}, dir.File("install.txt")), 0)
        << ReadFile(dir.File("install.txt"));

    EXPECT_TRUE(IsExecutable(prefix + "/bin/varnell"));
    // The windowless program and the command line, and the user service that runs
    // the first; neither loads Qt.
    for (const char* program : {"varnell-monitor", "varnellctl"}) {
        ASSERT_TRUE(IsExecutable(prefix + "/bin/" + program)) << program;
        ASSERT_EQ(RunTool({"ldd", prefix + "/bin/" + program}, dir.File("ldd.txt")), 0);
        EXPECT_EQ(ReadFile(dir.File("ldd.txt")).find("libQt"), std::string::npos) << program;
    }
    EXPECT_NE(ReadFile(prefix + "/share/doc/varnell/examples/varnell.service").find("\nExecStart=/usr/bin/varnell-monitor\n"),
              std::string::npos);

    // The entry starts the installed program by name and names the themed icon.
    const std::string entry = ReadFile(prefix + "/share/applications/varnell.desktop");
    EXPECT_EQ(entry.rfind("[Desktop Entry]\n", 0), 0u);
    for (const char* line : {"\nType=Application\n", "\nName=Varnell\n", "\nExec=varnell\n", "\nIcon=varnell\n"})
        EXPECT_NE(entry.find(line), std::string::npos) << line;

    for (std::uint32_t size : {16u, 22u, 24u, 32u, 48u, 64u, 128u, 256u}) {
        const std::string s = std::to_string(size);
        const auto [w, h] = PngSize(ReadFile(prefix + "/share/icons/hicolor/" + s + "x" + s + "/apps/varnell.png"));
        EXPECT_EQ(w, size);
        EXPECT_EQ(h, size);
    }

    const std::string metainfo = prefix + "/share/metainfo/net.varnell.Varnell.metainfo.xml";
    EXPECT_NE(ReadFile(metainfo).find("<launchable type=\"desktop-id\">varnell.desktop</launchable>"),
              std::string::npos);
    if (Available("appstreamcli")) {
        EXPECT_EQ(RunTool({"appstreamcli", "validate", "--no-net", metainfo}, dir.File("validate.txt")), 0)
            << ReadFile(dir.File("validate.txt"));
    }
    if (Available("desktop-file-validate")) {
        EXPECT_EQ(RunTool({"desktop-file-validate", prefix + "/share/applications/varnell.desktop"},
                      dir.File("entry.txt")),
                  0)
            << ReadFile(dir.File("entry.txt"));
    }
}

// Both units pass systemd's own check. The units name the installed program;
// the check wants it to exist, so the copies checked name this build's.
TEST(Install, SystemdUnitsPassVerify)
{
    if (!Available("systemd-analyze"))
        GTEST_SKIP() << "systemd-analyze is not installed (no systemd on this machine)";
    TempDir dir;
    for (const char* unit : {"varnell.service", "varnell-monitor@.service"}) {
        std::string text = ReadFile(SourceDir() + "/packaging/" + unit);
        for (std::size_t at; (at = text.find("/usr/bin/varnell-monitor")) != std::string::npos;)
            text.replace(at, 24, BinaryDir() + "/varnell-monitor");
        WriteFile(dir.File(unit), text);
        EXPECT_EQ(RunTool({"systemd-analyze", "verify", dir.File(unit)}, dir.File("verify.txt")), 0) << unit;
        EXPECT_EQ(ReadFile(dir.File("verify.txt")), "") << unit;
    }
}

// What the package holds for a server: both units (enabled by nobody), the
// service's user, and the examples a fleet behind Prometheus starts from.
TEST(Install, DebianPackageHoldsTheUnitsAndTheAlertmanagerExample)
{
    if (!Available("cpack") || !Available("dpkg-deb"))
        GTEST_SKIP() << "cpack or dpkg-deb is not installed";
    TempDir dir;
    ASSERT_EQ(RunTool({"cpack", "-G", "DEB", "-B", dir.Path(), "--config", BinaryDir() + "/CPackConfig.cmake"},
                      dir.File("cpack.txt")),
              0)
        << ReadFile(dir.File("cpack.txt"));
    const std::string deb = dir.File("varnell_" VARNELL_VERSION "_amd64.deb");
    ASSERT_EQ(RunTool({"dpkg-deb", "--contents", deb}, dir.File("contents.txt")), 0);
    const std::string contents = ReadFile(dir.File("contents.txt"));
    for (const char* path : {"./usr/lib/systemd/system/varnell-monitor@.service", "./usr/lib/systemd/user/varnell.service",
                             "./usr/lib/sysusers.d/varnell.conf", "./usr/share/doc/varnell/examples/varnell.yml",
                             "./usr/share/doc/varnell/examples/varnell-rules.yml", "./usr/share/doc/varnell/deploy.md"})
        EXPECT_NE(contents.find(std::string(path) + "\n"), std::string::npos) << path;
    ASSERT_EQ(RunTool({"dpkg-deb", "--info", deb, "postinst"}, dir.File("postinst.txt")), 0);
    const std::string postinst = ReadFile(dir.File("postinst.txt"));
    EXPECT_NE(postinst.find("systemd-sysusers varnell.conf"), std::string::npos) << postinst;
    EXPECT_EQ(postinst.find("systemctl enable"), std::string::npos) << "the units are installed, not enabled";
}
