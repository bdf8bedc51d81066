// One Varnell per user and store: a second start of the window program asks the
// running one to show its window and leaves, so the first one's edits are the
// ones that are saved; the windowless program leaves with a status its service
// does not restart on; and without the store's lock the window does not start.
#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>

#include "monitor/instance.h"
#include "tests/support/process.h"

using namespace varnell::test;
using namespace std::chrono_literals;

namespace {

TEST(SingleInstance, SecondStartShowsTheFirstWindowAndEditsSurviveBothExits)
{
    TempDir dir;
    mkdir(dir.File("run").c_str(), 0700);
    const std::vector<std::string> env = {"XDG_CONFIG_HOME=" + dir.Path(), "XDG_RUNTIME_DIR=" + dir.File("run"),
                                          "QT_QPA_PLATFORM=offscreen"};
    const auto ctl = [&](std::vector<std::string> args) {
        args.insert(args.begin(), BinaryDir() + "/varnellctl");
        return RunProgram(args, env);
    };

    ChildProcess first;
    ASSERT_TRUE(first.Start({BinaryDir() + "/varnell"}, env, "", dir.File("first.err")));
    // status answers 3 until an instance answers.
    ASSERT_TRUE(WaitFor([&] { return ctl({"status"}).status != 3; }, 20s)) << ReadFile(dir.File("first.err"));
    ASSERT_EQ(ctl({"add", "before", "before.test", "A", "127.0.0.1", "suspended=1"}).status, 0);

    const FinishedProgram second = RunProgram({BinaryDir() + "/varnell"}, env, 20s);
    EXPECT_EQ(second.status, 0) << second.err;
    EXPECT_NE(second.err.find("shows its window"), std::string::npos) << second.err;
    EXPECT_TRUE(first.Running());
    const FinishedProgram monitor = RunProgram({BinaryDir() + "/varnell-monitor"}, env, 20s);
    EXPECT_EQ(monitor.status, varnell::kExitWindowHoldsStore) << monitor.err;
    EXPECT_NE(ReadFile(SourceDir() + "/packaging/varnell.service")
                  .find("RestartPreventExitStatus=" + std::to_string(varnell::kExitWindowHoldsStore)),
              std::string::npos);

    ASSERT_EQ(ctl({"add", "after", "after.test", "MX", "127.0.0.1", "suspended=1"}).status, 0);
    const int status = first.Stop(SIGTERM, 15s);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);

    const FinishedProgram list = ctl({"list"});
    EXPECT_NE(list.out.find("before.test"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("after.test"), std::string::npos) << list.out;
}

TEST(SingleInstance, WindowDoesNotStartWithoutTheStoreLock)
{
    TempDir dir;
    // A lock file that cannot be locked, as on a file system without flock.
    ASSERT_EQ(mkdir(dir.File("varnell").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(dir.File("varnell/registry.lock").c_str(), 0700), 0);
    const FinishedProgram run =
        RunProgram({BinaryDir() + "/varnell"}, {"XDG_CONFIG_HOME=" + dir.Path(), "QT_QPA_PLATFORM=offscreen"}, 20s);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot be locked"), std::string::npos) << run.err;
}

} // namespace
