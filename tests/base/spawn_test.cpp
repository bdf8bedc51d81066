#include "base/spawn.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/process.h"

using namespace varnell;
using namespace std::chrono_literals;

// A child must not inherit our descriptors or the signals we ignore, and its end
// reaches the caller without anyone waiting for it.
TEST(Spawn, ChildStartsCleanAndItsEndIsReported)
{
    test::TempDir dir;
    const std::string script = dir.File("report");
    test::WriteFile(script, "#!/bin/sh\n"
                            "ls /proc/$$/fd > \"$1.part\"\n"
                            "grep '^SigIgn' /proc/$$/status >> \"$1.part\"\n"
                            "mv \"$1.part\" \"$1\"\n"
                            "exit 7\n");
    ::chmod(script.c_str(), 0755);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::dup2(fds[0], 57), 57); // no close-on-exec
    struct sigaction ignore {}, saved {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGINT, &ignore, &saved);

    std::atomic<int> status{-2};
    const std::string out = dir.File("out");
    const SpawnResult r = Spawn({script, out}, [&](int s) { status = s; });
    sigaction(SIGINT, &saved, nullptr);
    ::close(57);
    ::close(fds[0]);
    ::close(fds[1]);
    ASSERT_TRUE(r.Started()) << r.error;
    ASSERT_TRUE(test::WaitFor([&] { return status.load() != -2; }, 5s));
    EXPECT_EQ(status.load(), 7);

    const std::string report = test::ReadFile(out);
    EXPECT_EQ(report.find("\n57\n"), std::string::npos) << report;
    const auto ign = report.find("SigIgn:");
    ASSERT_NE(ign, std::string::npos);
    const unsigned long long mask = std::stoull(report.substr(ign + 7), nullptr, 16);
    EXPECT_EQ(mask & (1ull << (SIGINT - 1)), 0u) << report;

    // A name without '/' is looked up on PATH; a missing one is an error value.
    std::atomic<int> shStatus{-2};
    EXPECT_TRUE(Spawn({"sh", script, dir.File("out2")}, [&](int s) { shStatus = s; }).Started());
    ASSERT_TRUE(test::WaitFor([&] { return shStatus.load() != -2; }, 5s));
    EXPECT_EQ(shStatus.load(), 7);
    bool called = false;
    const SpawnResult missing = Spawn({dir.File("missing")}, [&](int) { called = true; });
    EXPECT_FALSE(missing.Started());
    EXPECT_EQ(missing.error, ENOENT);
    EXPECT_EQ(Spawn({}).error, ENOENT);
    EXPECT_FALSE(called);
}
