// varnell-monitor and varnellctl end to end, without any display and without
// Qt: a store with syslog and log alerts, a full table imported against a real
// unbound, an outage and the recovery seen by `status`, the export read back,
// a stop and a restart; the control socket's guards against other users,
// garbage and clients that go away. Then, as any user may run them: two stores
// side by side, one without a runtime folder, and the command line refusing
// what it could not send faithfully.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <climits>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "alerts/log_file.h"
#include "config/history_file.h"
#include "config/settings.h"
#include "config/settings_store.h"
#include "items/item_table.h"
#include "monitor/control_commands.h"
#include "monitor/instance.h"
#include "probe/engine.h"
#include "tests/config/read_only_store.h"
#include "tests/support/process.h"
#include "tests/support/unbound_peer.h"

using namespace varnell;
using namespace varnell::test;
using namespace std::chrono_literals;

namespace {

constexpr std::uint32_t kRows = 2048;

// The programs on a store, a runtime and a state folder of their own.
// Never on the privileged DNS port, which root would take from the DNS servers
// of other tests: the monitor probes from a port of its own.
std::vector<std::string> Unprivileged(std::vector<std::string> argv)
{
    if (geteuid() == 0)
        argv.insert(argv.begin(), {"setpriv", "--inh-caps=-net_bind_service", "--bounding-set=-net_bind_service", "--"});
    return argv;
}

class ProgramsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string base = "127.10." + std::to_string(getpid() % 250 + 1) + ".";
        dns_ = base + "1";
        syslog_ = base + "2";
        mkdir(dir_.File("run").c_str(), 0700);
        env_ = {"XDG_CONFIG_HOME=" + dir_.Path(), "XDG_RUNTIME_DIR=" + dir_.File("run"),
                "XDG_STATE_HOME=" + dir_.File("state"), "DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="};
        setenv("XDG_CONFIG_HOME", dir_.Path().c_str(), 1);
        setenv("XDG_RUNTIME_DIR", dir_.File("run").c_str(), 1);
        setenv("XDG_STATE_HOME", dir_.File("state").c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("XDG_CONFIG_HOME");
        unsetenv("XDG_RUNTIME_DIR");
        unsetenv("XDG_STATE_HOME");
    }

    // Syslog and log alerts on (and the message box, which has no window here).
    void WriteStore()
    {
        Settings s = DefaultSettings(LookUpLocalAddress());
        std::uint32_t flags = s.general.Flags() & ~(kGenExecute | kGenMail | kGenNetMessage | kGenSound);
        s.general.SetFlags(flags | kGenLog | kGenSyslog | kGenPopup);
        s.general.texts[kTextLogPath] = dir_.File("events.log");
        in_addr a{};
        inet_pton(AF_INET, syslog_.c_str(), &a);
        s.syslog.servers = {a.s_addr};
        CurrentSettings() = s;
        InitItemTable();
        SaveSettings();
    }

    FinishedProgram Ctl(std::vector<std::string> args)
    {
        args.insert(args.begin(), BinaryDir() + "/varnellctl");
        return RunProgram(args, env_);
    }
    bool StartMonitor()
    {
        return monitor_.Start(Unprivileged({BinaryDir() + "/varnell-monitor"}), env_, "", dir_.File("monitor.err")) &&
               WaitFor([&] { return Ctl({"status"}).status != 3; }, 10s);
    }
    // SIGKILL, so nothing is saved on the way out, and a new instance.
    bool KillAndRestart()
    {
        monitor_.Stop(SIGKILL);
        return StartMonitor();
    }
    // Waits until `status --json` exits with code and shows every item in state.
    ::testing::AssertionResult StatusBecomes(int code, const char* state, std::chrono::seconds limit)
    {
        FinishedProgram run;
        std::string why;
        const auto reached = [&] {
            run = Ctl({"status", "--json"});
            const nlohmann::json reply = nlohmann::json::parse(run.out, nullptr, false);
            if (run.status != code || !reply.is_object() || !reply["items"].is_array() ||
                reply["items"].size() != kRows) {
                why = "status " + std::to_string(run.status) + ": " + run.err + run.out.substr(0, 300);
                return false;
            }
            for (const auto& item : reply["items"])
                if (item["state"] != state) {
                    why = item.dump();
                    return false;
                }
            return true;
        };
        if (WaitFor(reached, limit, 200ms))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << why;
    }

    TempDir dir_;
    std::string dns_, syslog_;
    std::vector<std::string> env_;
    ChildProcess monitor_;
};

class MonitorPrograms : public ProgramsTest {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root: imported items probe port 53 and syslog goes to port 514";
        ProgramsTest::SetUp();
    }
};

std::string Zone()
{
    std::string zone = "$TTL 300\n@ IN SOA ns.test. hostmaster.test. 1 3600 600 86400 300\nns IN A 127.0.0.1\n";
    for (std::uint32_t i = 0; i < kRows; ++i)
        zone += "h" + std::to_string(i) + " IN A 10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256) + "\n";
    return zone;
}

// As the export writes it, so the export must give back these very bytes.
std::string ImportFile(const std::string& server)
{
    std::string csv = "name,domain,type,server,interval_ms,timeout_ms,continuous_lost,notify_down,notify_up,"
                      "notify_change,recursion_desired,high_priority,suspended,description,recursion_available,"
                      "expect_mode,expect,expect_rcode,dnssec,sig_warn_days,"
                      "transport,tls_name,url,tls_pin,cert_warn_days\r\n";
    // In the export's order: by name.
    std::vector<std::uint32_t> order(kRows);
    for (std::uint32_t i = 0; i < kRows; ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(), [](auto a, auto b) { return std::to_string(a) < std::to_string(b); });
    for (const std::uint32_t i : order) {
        const std::string n = "h" + std::to_string(i);
        csv += n + "," + n + ".test,A," + server + ",1000,800,1,1,1,1,1,0,0," + (i == 7 ? "\"seven, \"\"quoted\"\"\"" : "") +
               ",1,,,,,,udp,,,,\r\n";
    }
    return csv;
}

// True once a datagram holding text arrives on fd within the time limit.
bool SyslogGets(int fd, const std::string& text, std::chrono::seconds limit)
{
    return WaitFor(
        [&] {
            char buffer[2048];
            ssize_t n = 0;
            while ((n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
                if (std::string(buffer, static_cast<std::size_t>(n)).find(text) != std::string::npos)
                    return true;
            return false;
        },
        limit);
}

TEST_F(MonitorPrograms, ImportOutageRecoveryExportAndRestart)
{
    const int syslogFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(514);
    inet_pton(AF_INET, syslog_.c_str(), &at.sin_addr);
    ASSERT_EQ(bind(syslogFd, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    const int room = 16 << 20; // every event of the run, read only at the end
    setsockopt(syslogFd, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room);

    UnboundPeer unbound;
    // Started before the monitor, which then finds port 53 taken and probes from another.
    ASSERT_TRUE(unbound.Start({{"test", Zone()}}, {dns_}, 53)) << unbound.Log();
    ASSERT_NO_FATAL_FAILURE(WriteStore());
    ASSERT_TRUE(StartMonitor()) << ReadFile(dir_.File("monitor.err"));

    // One instance per user and store.
    const FinishedProgram second = RunProgram({BinaryDir() + "/varnell-monitor"}, env_, 15s);
    EXPECT_NE(second.status, 0);
    EXPECT_NE(second.err.find("already runs"), std::string::npos) << second.err;
    struct stat st {};
    ASSERT_EQ(stat(dir_.File("run/varnell").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(ControlSocketCandidates().front().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    const std::string csv = ImportFile(dns_);
    WriteFile(dir_.File("items.csv"), csv);
    const FinishedProgram imported = Ctl({"import", dir_.File("items.csv")});
    ASSERT_EQ(imported.status, 0) << imported.err;
    EXPECT_EQ(imported.out, "imported 2048 items\n");
    EXPECT_TRUE(StatusBecomes(0, "up", 10s));
    // No sound was made (the sound alert is off): the media library is not even mapped.
    EXPECT_EQ(ReadFile("/proc/" + std::to_string(monitor_.Pid()) + "/maps").find("gstreamer"), std::string::npos);

    unbound.Stop();
    EXPECT_TRUE(StatusBecomes(2, "down", 15s));
    EXPECT_TRUE(SyslogGets(syslogFd, "h2047 is down", 5s));
    ASSERT_TRUE(unbound.Start({{"test", Zone()}}, {dns_}, 53)) << unbound.Log();
    EXPECT_TRUE(StatusBecomes(0, "up", 15s));
    const FinishedProgram events = Ctl({"events"});
    EXPECT_NE(events.out.find("h2047 is up"), std::string::npos);

    const FinishedProgram exported = Ctl({"export"});
    ASSERT_EQ(exported.status, 0) << exported.err;
    EXPECT_TRUE(exported.out == csv) << "export differs from the imported file";

    ASSERT_EQ(monitor_.Stop(SIGTERM, 10s), 0);
    const std::string log = ReadFile(dir_.File("events.log"));
    EXPECT_NE(log.find("h0 is down\r\n"), std::string::npos);
    EXPECT_NE(log.find("h0 is up\r\n"), std::string::npos);
    const std::string err = ReadFile(dir_.File("monitor.err"));
    const auto box = err.find("message box alert needs a window");
    EXPECT_NE(box, std::string::npos) << err;
    EXPECT_EQ(err.find("message box alert needs a window", box + 1), std::string::npos) << "said more than once";

    // With no instance, the command line works on the store itself.
    const FinishedProgram offline = Ctl({"status"});
    EXPECT_EQ(offline.status, 3);
    EXPECT_EQ(Ctl({"export"}).out, csv);
    ASSERT_TRUE(StartMonitor());
    EXPECT_EQ(Ctl({"export"}).out, csv) << "items lost across the restart";
    EXPECT_TRUE(StatusBecomes(0, "up", 10s));
    close(syslogFd);
}

// What an instance or the command line acknowledges is in the store at once:
// it survives a SIGKILL right after the answer. A save that fails is answered
// as a failure, never as done.
TEST_F(ProgramsTest, AcknowledgedChangesSurviveAKillAndFailedSavesAreNotAcknowledged)
{
    ASSERT_TRUE(StartMonitor()) << ReadFile(dir_.File("monitor.err"));
    ASSERT_EQ(Ctl({"add", "one", "one.test", "A", "127.0.0.1", "suspended=1"}).status, 0);
    ASSERT_TRUE(KillAndRestart()) << ReadFile(dir_.File("monitor.err"));
    EXPECT_NE(Ctl({"export"}).out.find("\none,one.test,A,"), std::string::npos);

    WriteFile(dir_.File("items.csv"), "name,domain,type,server,suspended\ntwo,two.test,A,127.0.0.1,1\n"
                                      "three,,NS,127.0.0.1,1\n");
    ASSERT_EQ(Ctl({"import", dir_.File("items.csv")}).status, 0);
    ASSERT_EQ(Ctl({"delete", "one"}).status, 0);
    ASSERT_TRUE(KillAndRestart()) << ReadFile(dir_.File("monitor.err"));
    std::string exported = Ctl({"export"}).out;
    EXPECT_EQ(exported.find("\none,"), std::string::npos) << exported;
    EXPECT_NE(exported.find("\ntwo,two.test,A,"), std::string::npos) << exported;
    EXPECT_NE(exported.find("\nthree,,NS,"), std::string::npos) << exported;

    // The store takes no more writes (a full or read-only file system).
    ASSERT_NO_FATAL_FAILURE(MakeStoreReadOnly(RegistryPath()));
    const FinishedProgram refused = Ctl({"add", "four", "four.test", "A", "127.0.0.1", "suspended=1"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("could not be saved (attempt to write a readonly database)"), std::string::npos)
        << refused.err;
    ASSERT_EQ(monitor_.Stop(SIGTERM, 10s), 0);
    EXPECT_NE(ReadFile(dir_.File("monitor.err")).find("were not saved: attempt to write a readonly database"),
              std::string::npos);
    // With no instance the command line checks its own save.
    WriteFile(dir_.File("five.csv"), "name,domain,type,server\nfive,five.test,A,127.0.0.1\n");
    const FinishedProgram alone = Ctl({"import", dir_.File("five.csv")});
    EXPECT_EQ(alone.status, 1);
    EXPECT_EQ(alone.out, "");
    EXPECT_NE(alone.err.find("attempt to write a readonly database"), std::string::npos) << alone.err;
}

// A store that cannot be read is never taken for an empty one: the command line
// stops, an instance keeps a copy, says so and saves nothing over it until the
// operator moves the store away.
// An item list kept as a file: a store of its own (--store), 300 of its 320
// items named in a file of 500, 100 of them changed. The plan is exactly the
// differences, the change survives a SIGKILL right after the answer, a second
// apply changes nothing, and a file with one bad row changes nothing.
TEST_F(ProgramsTest, ApplyMakesTheListMatchAFileAndSavesItBeforeItAnswers)
{
    const std::string store = dir_.File("dc1");
    const auto ctl = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"--store", store});
        return Ctl(args);
    };
    const auto start = [&] {
        return monitor_.Start(Unprivileged({BinaryDir() + "/varnell-monitor", "--store", store}), env_, "",
                              dir_.File("monitor.err")) &&
               WaitFor([&] { return ctl({"status"}).status != 3; }, 10s);
    };
    // Nothing answers on this address: the items only need to exist.
    const auto row = [](const std::string& name, int timeout) {
        return name + "," + name + ".test,A,127.29.0.1,1000," + std::to_string(timeout) + "\n";
    };
    std::string before = "name,domain,type,server,interval_ms,timeout_ms\n";
    std::string after = before;
    std::vector<std::string> expected;
    for (int i = 0; i < 320; ++i)
        before += row((i < 300 ? "n" : "x") + std::to_string(i), 800);
    for (int i = 0; i < 500; ++i) {
        const std::string name = "n" + std::to_string(i);
        after += row(name, i < 100 ? 900 : 800);
        if (i < 100)
            expected.push_back("~ " + name + ": timeout_ms 800 \u2192 900");
        else if (i >= 300)
            expected.push_back("+ " + name);
    }
    for (int i = 300; i < 320; ++i)
        expected.push_back("- x" + std::to_string(i));
    WriteFile(dir_.File("before.csv"), before);
    WriteFile(dir_.File("after.csv"), after);

    ASSERT_TRUE(start()) << ReadFile(dir_.File("monitor.err"));
    ASSERT_EQ(ctl({"import", dir_.File("before.csv")}).status, 0);
    const FinishedProgram drift = ctl({"apply", dir_.File("after.csv"), "--dry-run", "--prune"});
    EXPECT_EQ(drift.status, 2) << drift.err;
    const FinishedProgram applied = ctl({"apply", dir_.File("after.csv"), "--prune"});
    ASSERT_EQ(applied.status, 0) << applied.err;
    std::vector<std::string> plan;
    for (std::size_t at = 0, end; (end = applied.out.find('\n', at)) != std::string::npos; at = end + 1)
        plan.push_back(applied.out.substr(at, end - at));
    EXPECT_EQ(plan, expected);
    EXPECT_EQ(drift.out, applied.out) << "the dry run planned something else";

    monitor_.Stop(SIGKILL);
    ASSERT_TRUE(start()) << ReadFile(dir_.File("monitor.err"));
    const std::string exported = ctl({"export"}).out;
    EXPECT_EQ(std::count(exported.begin(), exported.end(), '\n'), 501);
    for (const char* name : {"\nn0,n0.test,A,127.29.0.1,1000,900,", "\nn499,", "\nn150,n150.test,A,127.29.0.1,1000,800,"})
        EXPECT_NE(exported.find(name), std::string::npos) << name;
    EXPECT_EQ(exported.find("\nx310,"), std::string::npos);

    for (const auto& args : {std::vector<std::string>{"apply", dir_.File("after.csv"), "--prune"},
                             std::vector<std::string>{"apply", dir_.File("after.csv"), "--dry-run"}}) {
        const FinishedProgram again = ctl(args);
        EXPECT_EQ(again.status, 0) << again.err;
        EXPECT_EQ(again.out, "no changes\n");
    }

    std::string bad = after;
    bad.replace(bad.find("n57.test,A,127.29.0.1"), 21, "n57.test,A,127.29.0.256");
    bad.replace(bad.find(",800\n"), 5, ",801\n");
    WriteFile(dir_.File("bad.csv"), bad);
    const FinishedProgram refused = ctl({"apply", dir_.File("bad.csv"), "--prune"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find(dir_.File("bad.csv") + ":59: error dns server ip address"), std::string::npos)
        << refused.err;
    EXPECT_EQ(ctl({"export"}).out, exported) << "a refused file changed the list";
}

TEST_F(ProgramsTest, AnUnreadableStoreIsNeitherLoadedAsDefaultsNorSavedOver)
{
    mkdir(dir_.File("varnell").c_str(), 0700);
    std::string garbage;
    while (garbage.size() < 4096)
        garbage += "this is no settings store. ";
    WriteFile(RegistryPath(), garbage);
    ASSERT_TRUE(WriteHistoryFile(HistoryPath(), {{"one", {1, 2, 3}}}));
    const std::string history = ReadFile(HistoryPath());
    const FinishedProgram list = Ctl({"list"});
    EXPECT_EQ(list.status, 1);
    EXPECT_NE(list.err.find("cannot be read (the file is not a database)"), std::string::npos) << list.err;

    ASSERT_TRUE(StartMonitor()) << ReadFile(dir_.File("monitor.err"));
    const FinishedProgram add = Ctl({"add", "one", "one.test", "A", "127.0.0.1", "suspended=1"});
    EXPECT_EQ(add.status, 1);
    EXPECT_NE(add.err.find("Nothing is saved over it until it is moved away"), std::string::npos) << add.err;
    ASSERT_EQ(monitor_.Stop(SIGTERM, 10s), 0);
    EXPECT_TRUE(ReadFile(RegistryPath()) == garbage) << "saved over";
    EXPECT_TRUE(ReadFile(HistoryPath()) == history) << "the items' round-trip history was written away";
    const std::string err = ReadFile(dir_.File("monitor.err"));
    const auto copyAt = err.find(RegistryPath() + ".broken-");
    ASSERT_NE(copyAt, std::string::npos) << err;
    const std::string copy = err.substr(copyAt, err.find_first_of(". ", copyAt + RegistryPath().size() + 1) - copyAt);
    EXPECT_TRUE(ReadFile(copy) == garbage) << copy;

    // The operator moves it away: from then on the running instance saves.
    ASSERT_TRUE(StartMonitor()) << ReadFile(dir_.File("monitor.err"));
    ASSERT_EQ(rename(RegistryPath().c_str(), dir_.File("broken.db").c_str()), 0);
    const FinishedProgram again = Ctl({"add", "one", "one.test", "A", "127.0.0.1", "suspended=1"});
    ASSERT_EQ(again.status, 0) << again.err;
    ASSERT_TRUE(KillAndRestart());
    EXPECT_NE(Ctl({"export"}).out.find("\none,one.test,A,"), std::string::npos);
}

// A request as raw bytes; the reply line, or "" when none came.
std::string Exchange(const std::string& bytes, bool wait = true)
{
    const int fd = ConnectInstance();
    if (fd < 0)
        return "no socket";
    send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    ControlLines pending;
    std::string line;
    if (wait)
        ReadControlLine(fd, pending, line, 5000);
    close(fd);
    return line;
}

TEST_F(MonitorPrograms, ControlSocketRefusesStrangersAndShrugsOffBadClients)
{
    ASSERT_NO_FATAL_FAILURE(WriteStore());
    ASSERT_TRUE(StartMonitor()) << ReadFile(dir_.File("monitor.err"));
    ASSERT_EQ(Ctl({"add", "one", "one.test", "A", "127.0.0.1", "suspended=1"}).status, 0);

    // Another user, who could reach the socket file, does not trust a folder of ours.
    std::vector<std::string> asNobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                         "--inh-caps=+dac_override", "--ambient-caps=+dac_override",
                                         BinaryDir() + "/varnellctl", "list"};
    const FinishedProgram stranger = RunProgram(asNobody, env_);
    if (stranger.err.find("setpriv") != std::string::npos) {
        GTEST_LOG_(INFO) << "cannot run as nobody here: " << stranger.err;
    } else {
        EXPECT_NE(stranger.status, 0);
        EXPECT_NE(stranger.err.find("not a private folder"), std::string::npos) << stranger.err;
        EXPECT_EQ(stranger.out.find("one.test"), std::string::npos);
    }

    // Garbage, wrong shapes, a deep tower, a half line and a line too long.
    for (const std::string& bad : {std::string("}{ not json\n"), std::string("[1,2]\n"), std::string("{\"cmd\":7}\n"),
                                   std::string("{\"cmd\":\"delete\",\"name\":[\"one\"]}\n"),
                                   std::string(100000, '[') + "\n", std::string("\xff\xfe\n")}) {
        const nlohmann::json reply = nlohmann::json::parse(Exchange(bad), nullptr, false);
        ASSERT_TRUE(reply.is_object()) << bad.substr(0, 40);
        EXPECT_EQ(reply["ok"], false) << bad.substr(0, 40);
    }
    Exchange("{\"cmd\":\"list\"", false);
    Exchange("{\"cmd\":\"import\",\"csv\":\"", false);
    EXPECT_NE(Exchange(std::string(kControlLineLimit + 10, 'x')).find("too long"), std::string::npos);
    // More clients than are served at once: the extra ones are told so, the
    // others still get answers.
    std::vector<int> idle;
    for (int i = 0; i < kControlClients + 2; ++i)
        idle.push_back(ConnectInstance());
    std::this_thread::sleep_for(300ms);
    for (int fd : idle)
        close(fd);

    const FinishedProgram list = Ctl({"list"});
    EXPECT_EQ(list.status, 0);
    EXPECT_NE(list.out.find("one.test"), std::string::npos);
    EXPECT_TRUE(monitor_.Running());
    EXPECT_EQ(Ctl({"delete", "nosuch"}).status, 1);
    EXPECT_EQ(Ctl({"frobnicate"}).status, 64);
    EXPECT_EQ(Ctl({"status", "--help"}).status, 0);
    ASSERT_EQ(monitor_.Stop(SIGTERM, 10s), 0);
}

FinishedProgram CtlIn(const std::vector<std::string>& env, std::vector<std::string> args)
{
    args.insert(args.begin(), BinaryDir() + "/varnellctl");
    return RunProgram(args, env);
}

// One user, two stores: A with a runtime folder, B without one (cron, sudo -u).
TEST(MonitorStores, TwoInstancesSideBySideEachAnswerForTheirOwnStore)
{
    TempDir dir;
    mkdir(dir.File("run").c_str(), 0700);
    const std::vector<std::string> a = {"XDG_CONFIG_HOME=" + dir.File("a"), "XDG_RUNTIME_DIR=" + dir.File("run")};
    const std::vector<std::string> b = {"XDG_CONFIG_HOME=" + dir.File("b"), "XDG_RUNTIME_DIR"};
    ChildProcess monitorA, monitorB;
    ASSERT_TRUE(monitorA.Start(Unprivileged({BinaryDir() + "/varnell-monitor"}), a, "", dir.File("a.err")));
    ASSERT_TRUE(monitorB.Start(Unprivileged({BinaryDir() + "/varnell-monitor"}), b, "", dir.File("b.err")));
    char base[PATH_MAX];
    ASSERT_NE(realpath(dir.Path().c_str(), base), nullptr);
    const auto serves = [&](const std::vector<std::string>& env, const char* store) {
        const nlohmann::json reply = nlohmann::json::parse(CtlIn(env, {"status", "--json"}).out, nullptr, false);
        return reply.is_object() && reply.value("running", false) &&
               reply.value("store", "") == std::string(base) + store;
    };
    ASSERT_TRUE(WaitFor([&] { return serves(a, "/a/varnell"); }, 20s)) << ReadFile(dir.File("a.err"));
    ASSERT_TRUE(WaitFor([&] { return serves(b, "/b/varnell"); }, 20s)) << ReadFile(dir.File("b.err"));
    ASSERT_EQ(CtlIn(a, {"add", "only-a", "a.test", "A", "127.0.0.1", "suspended=1"}).status, 0);
    ASSERT_EQ(CtlIn(b, {"add", "only-b", "b.test", "A", "127.0.0.1", "suspended=1"}).status, 0);
    const std::string listA = CtlIn(a, {"list"}).out, listB = CtlIn(b, {"list"}).out;
    EXPECT_NE(listA.find("only-a"), std::string::npos) << listA;
    EXPECT_EQ(listA.find("only-b"), std::string::npos) << listA;
    EXPECT_NE(listB.find("only-b"), std::string::npos) << listB;
    EXPECT_EQ(listB.find("only-a"), std::string::npos) << listB;
    EXPECT_EQ(monitorA.Stop(SIGTERM, 15s), 0);
    EXPECT_EQ(monitorB.Stop(SIGTERM, 15s), 0);
}

TEST(MonitorStores, CommandLineRefusesWhatItCouldNotSendFaithfully)
{
    TempDir dir;
    const std::vector<std::string> env = {"XDG_CONFIG_HOME=" + dir.Path(), "XDG_RUNTIME_DIR"};
    WriteFile(dir.File("items.csv"),
              "name,domain,type,server\r\nfine,fine.test,A,127.0.0.1\r\ncaf\xe9,cafe.test,A,127.0.0.1\r\n");
    const FinishedProgram import = CtlIn(env, {"import", dir.File("items.csv")});
    EXPECT_EQ(import.status, 1);
    EXPECT_NE(import.err.find("items.csv:3: not valid UTF-8"), std::string::npos) << import.err;
    const FinishedProgram add = CtlIn(env, {"add", "web1", "web.test", "A", "127.0.0.1", "name=web2"});
    EXPECT_EQ(add.status, 64);
    EXPECT_NE(add.err.find("name is given twice"), std::string::npos) << add.err;
    EXPECT_EQ(CtlIn(env, {"list"}).out.find(".test"), std::string::npos) << "something was added";
}

} // namespace
