// One Varnell per user and store: a second start of the window program asks the
// running one to show its window and leaves, so the first one's edits are the
// ones that are saved.
#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>

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

    ASSERT_EQ(ctl({"add", "after", "after.test", "MX", "127.0.0.1", "suspended=1"}).status, 0);
    const int status = first.Stop(SIGTERM, 15s);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);

    const FinishedProgram list = ctl({"list"});
    EXPECT_NE(list.out.find("before.test"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("after.test"), std::string::npos) << list.out;
}

} // namespace
