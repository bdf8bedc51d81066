// Window titles as a window manager shows them: the program runs on its own
// X server with a real window manager, and the titles of the dialogs that the
// shortcuts open are read back from the server. Skips when no X server or
// window manager can be started here.
#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/process.h"

using namespace varnell::test;
using namespace std::chrono_literals;

namespace {

std::string Trimmed(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

class WindowTitles : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (::access("/usr/bin/Xvfb", X_OK) != 0 || ::access("/usr/bin/openbox", X_OK) != 0 ||
            ::access("/usr/bin/xdotool", X_OK) != 0 || ::access("/usr/bin/xprop", X_OK) != 0)
            GTEST_SKIP() << "Xvfb, openbox, xdotool or xprop is not installed";
        // A display number of our own that no other run is using.
        for (int n = 100 + getpid() % 400; display_.empty() && n < 1000; ++n)
            if (::access(("/tmp/.X11-unix/X" + std::to_string(n)).c_str(), F_OK) != 0 &&
                ::access(("/tmp/.X" + std::to_string(n) + "-lock").c_str(), F_OK) != 0)
                display_ = ":" + std::to_string(n);
        env_ = {"DISPLAY=" + display_, "QT_QPA_PLATFORM=xcb", "XDG_CONFIG_HOME=" + dir_.Path(),
                "XDG_RUNTIME_DIR=" + dir_.File("run")};
        ::mkdir(dir_.File("run").c_str(), 0700);
        // Ready once a client gets an answer from it.
        if (display_.empty() ||
            !xvfb_.Start({"/usr/bin/Xvfb", display_, "-nolisten", "tcp", "-screen", "0", "1024x768x24"}) ||
            !WaitFor([&] { return RunProgram({"/usr/bin/xprop", "-root", "WM_NAME"}, env_, 5s).status == 0; }, 5s))
            GTEST_SKIP() << "Xvfb could not start";
        // The window manager is up once it has announced itself on the root window;
        // should it leave at once (it did now and then before the server was ready),
        // it gets three tries.
        auto announced = [&] {
            return X({"xprop", "-root", "_NET_SUPPORTING_WM_CHECK"}).find("window id") != std::string::npos;
        };
        bool up = false;
        for (int attempt = 0; attempt < 3 && !up; ++attempt) {
            ASSERT_TRUE(wm_.Start({"/usr/bin/openbox"}, env_));
            up = WaitFor([&] { return announced() || !wm_.Running(); }, 5s) && announced();
        }
        if (!up)
            GTEST_SKIP() << "openbox did not start";
    }

    std::string X(std::vector<std::string> argv)
    {
        argv[0] = "/usr/bin/" + argv[0];
        return Trimmed(RunProgram(argv, env_, 10s).out);
    }
    // The id of the one visible window whose title holds text, or "".
    std::string FindWindow(const std::string& text)
    {
        std::string id;
        WaitFor([&] { return !(id = X({"xdotool", "search", "--onlyvisible", "--name", text})).empty(); }, 10s, 50ms);
        return id.substr(0, id.find('\n'));
    }
    // The title as the window manager reads it: the EWMH name, else the ICCCM one.
    std::string Title(const std::string& id) { return X({"xprop", "-id", id, "_NET_WM_NAME"}); }

    TempDir dir_;
    std::string display_;
    std::vector<std::string> env_;
    ChildProcess xvfb_, wm_;
};

TEST_F(WindowTitles, ShortcutsOpenWindowsTitledExactlyWithTheirCaptions)
{
    ChildProcess program;
    ASSERT_TRUE(program.Start({BinaryDir() + "/varnell"}, env_, "", dir_.File("varnell.err")));
    const std::string main = FindWindow("Varnell");
    ASSERT_FALSE(main.empty()) << ReadFile(dir_.File("varnell.err"));
    struct Shortcut {
        std::string key, caption;
    };
    for (const Shortcut& shortcut : {Shortcut{"ctrl+a", "Add DNS"}, Shortcut{"ctrl+s", "Setup"}}) {
        SCOPED_TRACE(shortcut.caption);
        X({"xdotool", "windowactivate", "--sync", main});
        X({"xdotool", "key", shortcut.key});
        const std::string dialog = FindWindow(shortcut.caption);
        ASSERT_FALSE(dialog.empty());
        EXPECT_EQ(Title(dialog), "_NET_WM_NAME(UTF8_STRING) = \"" + shortcut.caption + "\"");
        X({"xdotool", "key", "Escape"});
        ASSERT_TRUE(
            WaitFor([&] { return X({"xdotool", "search", "--onlyvisible", "--name", shortcut.caption}).empty(); }, 5s));
    }
    const int status = program.Stop(SIGTERM, 10s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

} // namespace
