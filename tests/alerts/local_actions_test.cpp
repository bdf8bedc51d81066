#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "alerts/box_thread.h"
#include "alerts/exec_thread.h"
#include "base/opener.h"
#include "tests/alerts/reply_window_fixture.h"
#include "tests/support/process.h"

using namespace varnell;
using namespace std::chrono_literals;

namespace {

bool Exists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// A program that writes each argument it gets on a line of argv.txt beside it.
std::string MakeArgvRecorder(const test::TempDir& dir)
{
    std::string script = dir.File("record-args");
    test::WriteFile(script, "#!/bin/sh\n"
                            "out=\"$(dirname \"$0\")/argv.txt\"\n"
                            "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$out.part\"\n"
                            "mv \"$out.part\" \"$out\"\n");
    ::chmod(script.c_str(), 0755);
    return script;
}

class LocalActionsTest : public test::ReplyWindowTest {
protected:
    test::TempDir dir_;
};

TEST_F(LocalActionsTest, EventTextReachesTheProgramAsWords)
{
    std::string script = MakeArgvRecorder(dir_);
    ASSERT_EQ(cexecthread::Launch(script, "  www.example.test   is\tdown "), 1);
    ASSERT_TRUE(test::WaitFor([&] { return Exists(dir_.File("argv.txt")); }, 5s));
    EXPECT_EQ(test::ReadFile(dir_.File("argv.txt")), "www.example.test\nis\ndown\n");
}

TEST_F(LocalActionsTest, NothingInAnItemNameRunsAsACommand)
{
    std::string script = MakeArgvRecorder(dir_);
    std::string pwned = dir_.File("pwned");
    std::string text = "x;touch " + pwned + " $(touch " + pwned + ") `touch " + pwned + "`|touch " + pwned +
                       " is down";
    ASSERT_EQ(cexecthread::Launch(script, text), 1);
    ASSERT_TRUE(test::WaitFor([&] { return Exists(dir_.File("argv.txt")); }, 5s));
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(Exists(pwned));
    std::string argv = test::ReadFile(dir_.File("argv.txt"));
    EXPECT_EQ(argv.substr(0, 3), "x;t") << argv;
    EXPECT_NE(argv.find("$(touch"), std::string::npos);
}

TEST_F(LocalActionsTest, DocumentsGoToTheDesktopAndEmptyPathsNowhere)
{
    std::string doc = dir_.File("notes.txt");
    test::WriteFile(doc, "not a program\n");
    EXPECT_EQ(cexecthread::Launch(doc, "a b"), 1);
    EXPECT_EQ(cexecthread::Launch("", "a b"), 0);
    EXPECT_EQ(desktop_.Opened(), std::vector<std::string>{doc});
}

TEST_F(LocalActionsTest, LaunchedProgramsAreReaped)
{
    std::string script = dir_.File("quick");
    test::WriteFile(script, "#!/bin/sh\nexit 3\n");
    ::chmod(script.c_str(), 0755);
    pid_t pid = StartProgram(script, {});
    ASSERT_GT(pid, 0);
    // A zombie keeps its /proc entry; a reaped child loses it.
    std::string proc = "/proc/" + std::to_string(pid);
    EXPECT_TRUE(test::WaitFor([&] { return !Exists(proc); }, 5s));
    EXPECT_EQ(StartProgram(dir_.File("missing"), {}), -1);
}

TEST_F(LocalActionsTest, ProgramSearchAndWordSplitting)
{
    EXPECT_EQ(FindExecutable("sh").empty(), false);
    EXPECT_EQ(FindExecutable("no-such-program-here"), "");
    std::string doc = dir_.File("plain");
    test::WriteFile(doc, "x");
    EXPECT_EQ(FindExecutable(doc), ""); // not executable
    EXPECT_EQ(FindExecutable(dir_.Path()), ""); // a folder
    EXPECT_TRUE(SplitWords(" \t ").empty());
    EXPECT_EQ(SplitWords("the ip of a is changed to 1.2.3.4; "),
              (std::vector<std::string>{"the", "ip", "of", "a", "is", "changed", "to", "1.2.3.4;"}));
}

TEST_F(LocalActionsTest, ExecWorkerReportsEachLaunch)
{
    std::string script = MakeArgvRecorder(dir_);
    cexecthread worker;
    worker.Resume();
    ASSERT_EQ(worker.Post(window_, script, "one"), 0);
    ASSERT_EQ(worker.Post(window_, "", "two"), 0);
    ASSERT_EQ(worker.Post(kNoWindow, script, "three"), 0);
    ASSERT_TRUE(test::WaitFor([&] { return Done().size() == 2 && worker.Pending() == 0; }, 5s));
    auto done = Done();
    EXPECT_EQ(done[0].id, WM_ACTION_DONE);
    EXPECT_EQ(done[0].wparam, 1u);
    EXPECT_EQ(done[0].lparam, 1); // launched
    EXPECT_EQ(done[1].wparam, 2u);
    EXPECT_EQ(done[1].lparam, 0); // empty program: not launched
}

TEST_F(LocalActionsTest, BoxesAppearOneAfterAnother)
{
    desktop_.HoldBoxes(true);
    cboxthread worker;
    worker.Resume();
    ASSERT_EQ(worker.Post(window_, "caption 1", "first", 0), 0);
    ASSERT_EQ(worker.Post(window_, "caption 2", "second", 1), 0);
    ASSERT_EQ(worker.Post(kNoWindow, "third", "third", kBoxIconError), 0);
    ASSERT_TRUE(test::WaitFor([&] { return desktop_.Boxes().size() == 1; }, 5s));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(desktop_.Boxes().size(), 1u); // the second waits for the first
    EXPECT_TRUE(Done().empty());
    desktop_.CloseBoxes();
    ASSERT_TRUE(test::WaitFor([&] { return desktop_.Boxes().size() == 2; }, 5s));
    desktop_.CloseBoxes();
    ASSERT_TRUE(test::WaitFor([&] { return desktop_.Boxes().size() == 3; }, 5s));
    desktop_.CloseBoxes();
    ASSERT_TRUE(test::WaitFor([&] { return worker.Pending() == 0; }, 5s));

    auto boxes = desktop_.Boxes();
    EXPECT_EQ(boxes[0].text, "first");
    EXPECT_EQ(boxes[0].caption, "caption 1");
    EXPECT_EQ(boxes[0].icon, BoxIcon::Information);
    EXPECT_EQ(boxes[1].icon, BoxIcon::Warning);
    EXPECT_EQ(boxes[2].icon, BoxIcon::Error);
    auto done = Done();
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(done[1].wparam, 2u);
    EXPECT_EQ(done[1].lparam, 0);
}

TEST_F(LocalActionsTest, OpenBoxIsReleasedAtShutdown)
{
    desktop_.HoldBoxes(true);
    cboxthread worker;
    worker.Resume();
    ASSERT_EQ(worker.Post(kNoWindow, "c", "open", 2), 0);
    ASSERT_EQ(worker.Post(kNoWindow, "c", "never shown", 2), 0);
    ASSERT_TRUE(test::WaitFor([&] { return desktop_.Boxes().size() == 1; }, 5s));
    worker.RequestStop();
    desktop_.ReleaseWaiters();
    EXPECT_EQ(worker.StopAndJoin(), 1);
    EXPECT_EQ(desktop_.Boxes().size(), 1u);
}

} // namespace
