// The control socket between the programs of one user: the client's trust in
// the folder and the peer, a change never sent twice, and the server's guards
// against clients that do not read, idle, half-close or fall behind the events.
#include <gtest/gtest.h>

#include <algorithm>
#include <grp.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "tests/support/recording_ui_channel.h"
#include "monitor/control_commands.h"
#include "monitor/control_server.h"
#include "monitor/instance.h"
#include "monitor/item_status.h"
#include "monitor/monitor.h"
#include "tests/support/process.h"

using namespace varnell;
using namespace varnell::test;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

constexpr uid_t kNobody = 65534;

// A socket bound at path, listening unless told otherwise (non-blocking).
int Bind(const std::string& path, bool listening = true)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || (listening && listen(fd, 4) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

class ControlSocket : public ::testing::Test {
protected:
    void SetUp() override
    {
        mkdir(dir_.File("run").c_str(), 0700);
        setenv("XDG_CONFIG_HOME", dir_.Path().c_str(), 1);
        setenv("XDG_RUNTIME_DIR", dir_.File("run").c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("XDG_CONFIG_HOME");
        unsetenv("XDG_RUNTIME_DIR");
    }
    TempDir dir_;
};

TEST_F(ControlSocket, ClientSendsOnlyThroughAPrivateFolderOfItsOwnUser)
{
    const std::string path = ControlSocketCandidates().front(), folder = dir_.File("run/varnell");
    ASSERT_EQ(path.rfind(folder + "/control-", 0), 0u) << path;
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    const int server = Bind(path);
    ASSERT_GE(server, 0);
    const auto refused = [&](const char* what) {
        std::string reply, refusal;
        EXPECT_EQ(AskInstance(R"({"cmd":"status"})", reply, 2000, &refusal), Asked::kUnreached) << what;
        EXPECT_NE(refusal.find("not a private folder"), std::string::npos) << what << ": " << refusal;
        EXPECT_LT(accept4(server, nullptr, nullptr, SOCK_CLOEXEC), 0) << what << ": it connected";
    };
    refused("mode 0755");
    chmod(folder.c_str(), 0700);
    rename(folder.c_str(), dir_.File("run/real").c_str());
    symlink("real", folder.c_str());
    refused("a link");
    unlink(folder.c_str());
    rename(dir_.File("run/real").c_str(), folder.c_str());
    if (geteuid() == 0 && chown(folder.c_str(), kNobody, kNobody) == 0) {
        refused("another user's folder");
        ASSERT_EQ(chown(folder.c_str(), 0, 0), 0);
    }
    const int fd = ConnectControl(path);
    EXPECT_GE(fd, 0) << "not used though private";
    close(fd);
    close(server);
}

TEST_F(ControlSocket, ClientRefusesAServerOfAnotherUser)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "a server of another user needs root to switch to nobody";
    std::string skipped, refusal;
    const std::string path = ControlSocketPath(skipped);
    const int server = Bind(path, false);
    ASSERT_GE(server, 0) << path;
    const pid_t child = fork();
    if (child == 0) {
        // The peer's credentials are those of whoever listens: nobody here.
        if (setgroups(0, nullptr) == 0 && setresgid(kNobody, kNobody, kNobody) == 0 &&
            setresuid(kNobody, kNobody, kNobody) == 0 && listen(server, 4) == 0)
            pause();
        _exit(1);
    }
    EXPECT_TRUE(WaitFor([&] {
        close(ConnectControl(path, &refusal));
        return !refusal.empty();
    }, 10s));
    EXPECT_NE(refusal.find("another user"), std::string::npos) << refusal;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(server);
}

TEST_F(ControlSocket, ChangeThatWentOutUnansweredIsNeverSentAgain)
{
    StoreLock holder, mine;
    std::string error, skipped, reply;
    ASSERT_EQ(TryLockStore(holder, error), LockResult::kLocked) << error;
    // An instance that takes requests (the system queues them) and never answers.
    const int server = Bind(ControlSocketPath(skipped));
    ASSERT_GE(server, 0);
    EXPECT_EQ(ClaimStore(mine, R"({"cmd":"add"})", reply, error, false, 1000), Claim::kUnanswered);
    std::string taken;
    char buffer[4096];
    for (int fd; (fd = accept4(server, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; close(fd))
        for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
            taken.append(buffer, static_cast<std::size_t>(n));
    EXPECT_EQ(taken, "{\"cmd\":\"add\"}\n");
    close(server);
}

// The server of a monitor core in this process.
class ControlServing : public ControlSocket {
protected:
    void Serve(std::chrono::milliseconds idleLimit)
    {
        SetUiChannel(&desktop_);
        StartMonitor(EngineOnlyOptions(), {}, false);
        std::string skipped, error;
        path_ = ControlSocketPath(skipped);
        ASSERT_TRUE(StartControlServer(path_, error, idleLimit)) << error;
    }
    void TearDown() override
    {
        StopMonitor();
        RemoveResultWindows();
        SetUiChannel(nullptr);
        ControlSocket::TearDown();
    }
    int Connect() { return ConnectControl(path_); }
    // The next reply line on fd, or "" at the end or after 10 s.
    static std::string Line(int fd, ControlLines& pending)
    {
        std::string line;
        return ReadControlLine(fd, pending, line, 10000) ? line : std::string();
    }
    std::string Ask(const std::string& request)
    {
        const int fd = Connect();
        ControlLines pending;
        const std::string reply = SendControlLine(fd, request) ? Line(fd, pending) : "";
        close(fd);
        return reply;
    }
    RecordingUiChannel desktop_;
    std::string path_;
};

TEST_F(ControlServing, HalfClosedRequestIsAnsweredAndPingNamesTheStore)
{
    ASSERT_NO_FATAL_FAILURE(Serve(kControlIdleLimit));
    for (const std::string request : {"{\"cmd\":\"ping\"}\n", "{\"cmd\":\"ping\"}"}) {
        const int fd = Connect();
        ASSERT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
        shutdown(fd, SHUT_WR);
        ControlLines pending;
        const json reply = json::parse(Line(fd, pending), nullptr, false);
        ASSERT_TRUE(reply.is_object()) << request;
        EXPECT_EQ(reply.value("ok", false), true) << request;
        EXPECT_EQ(reply.value("store", ""), StoreFolder());
        close(fd);
    }
}

TEST_F(ControlServing, OneSlotIsKeptForStatusAndUnreadRepliesHoldTheReading)
{
    ASSERT_NO_FATAL_FAILURE(Serve(kControlIdleLimit));
    std::vector<int> idle;
    for (int i = 0; i + 1 < kControlClients; ++i)
        idle.push_back(Connect());
    EXPECT_NE(Ask(R"({"cmd":"list"})").find("busy"), std::string::npos);
    EXPECT_EQ(json::parse(Ask(R"({"cmd":"status"})"), nullptr, false).value("ok", false), true);
    for (int fd : idle)
        close(fd);
    ASSERT_TRUE(WaitFor([&] { return Ask(R"({"cmd":"ping"})").find("busy") == std::string::npos; }, 10s));

    // Each events reply is about 150 KB: a client that asks without reading
    // must stall in its sends, neither growing the server's memory nor cut off.
    for (std::size_t i = 0; i < kRecordedEvents; ++i)
        RecordEvent("2001-02-03 04:05:06", std::string(100, 'e'), 1);
    const int greedy = Connect();
    const int room = 1; // the least the system allows: a few requests wait in the socket
    setsockopt(greedy, SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    const std::string request = "{\"cmd\":\"events\"}\n";
    std::size_t asked = 0, before = 1, quiet = 0, answered = 0;
    ASSERT_TRUE(WaitFor([&] {
        while (send(greedy, request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT) > 0)
            ++asked;
        quiet = asked == before ? quiet + 1 : 0;
        before = asked;
        return quiet >= 3;
    }, 20s, 500ms));
    EXPECT_LT(asked, 100u) << "the server read on";
    EXPECT_TRUE(WaitFor([&] {
        char buffer[65536];
        for (ssize_t n; (n = recv(greedy, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
            answered += static_cast<std::size_t>(std::count(buffer, buffer + n, '\n'));
        return answered >= asked;
    }, 30s));
    EXPECT_EQ(answered, asked) << "cut off";
    close(greedy);
}

TEST_F(ControlServing, IdleClientsAreDroppedAndFollowersStay)
{
    ASSERT_NO_FATAL_FAILURE(Serve(300ms));
    const int idle = Connect(), follower = Connect();
    ControlLines pending;
    ASSERT_TRUE(SendControlLine(follower, R"({"cmd":"events","follow":true})"));
    ASSERT_FALSE(Line(follower, pending).empty());
    EXPECT_TRUE(WaitFor([&] {
        char byte = 0;
        return recv(idle, &byte, 1, MSG_DONTWAIT) == 0;
    }, 10s));
    std::this_thread::sleep_for(1s);
    RecordEvent("2001-02-03 04:05:06", "still followed", 0);
    EXPECT_NE(Line(follower, pending).find("still followed"), std::string::npos);
    close(idle);
    close(follower);
}

TEST_F(ControlServing, FollowerIsToldWhatItMissedAndGetsTheLastEventsAtShutdown)
{
    ASSERT_NO_FATAL_FAILURE(Serve(kControlIdleLimit));
    const int follower = Connect();
    ControlLines pending;
    ASSERT_TRUE(SendControlLine(follower, R"({"cmd":"events","follow":true})"));
    ASSERT_FALSE(Line(follower, pending).empty());
    std::uint64_t seen = EventsAfter(0).empty() ? 0 : EventsAfter(0).back().sequence, missed = 0;
    // Far more than the record holds, faster than a follower is given them.
    for (int i = 0; i < 20000; ++i)
        RecordEvent("2001-02-03 04:05:06", "burst " + std::to_string(i), 1);
    while (seen < EventsAfter(0).back().sequence) {
        const json reply = json::parse(Line(follower, pending), nullptr, false);
        ASSERT_TRUE(reply.is_object() && reply.contains("events"));
        const auto gap = reply.value("missed", std::uint64_t{0});
        missed += gap;
        std::uint64_t next = seen + gap + 1;
        for (const json& e : reply["events"])
            ASSERT_EQ(e["seq"].get<std::uint64_t>(), next++);
        seen = next - 1;
    }
    EXPECT_GT(missed, 0u);

    RecordEvent("2001-02-03 04:05:06", "last words", 0);
    StopControlServer();
    EXPECT_NE(Line(follower, pending).find("last words"), std::string::npos);
    close(follower);
}

} // namespace
