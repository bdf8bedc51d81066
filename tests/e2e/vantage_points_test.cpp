// Many monitors, one Prometheus and one Alertmanager, with the shipped rules and
// the shipped Alertmanager example: three varnell-monitor instances on stores of
// their own (three vantage points, each with its metrics port and its own
// unbound), scraped with a "vantage" label; Alertmanager notifies a webhook of
// the test's own.
// - Every vantage point loses the server: the quorum alert arrives, grouped by
//   item, and the single vantage points' alerts are inhibited; the server comes
//   back: the quorum alert is resolved.
// - One vantage point loses its server: its own alert arrives, no quorum fires.
//
// The three vantage points reach one service, but on one machine each needs an
// unbound of its own to lose alone; the scrape gives their items the one server
// label the field would (metric_relabel_configs). For a quick run the rules'
// waits are shortened by documented substitutions: the quorum's to 1 s (and its
// keeping on after the recovery to 5 s), the single alert's to 6 s (still the
// longer, as shipped); the Alertmanager
// example's group waits become 1 s and its webhook URL the test's receiver.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cmath>
#include <sys/stat.h>
#include <unistd.h>

#include "config/settings.h"
#include "config/settings_store.h"
#include "items/item_table.h"
#include "probe/engine.h"
#include "tests/support/monitoring_peers.h"
#include "tests/support/process.h"
#include "tests/support/unbound_peer.h"

using namespace varnell;
using namespace varnell::test;
using namespace std::chrono_literals;

namespace {

constexpr int kVantagePoints = 3;
const char* const kVantage[kVantagePoints] = {"dc1", "dc2", "branch"};
constexpr const char* kServerLabel = "192.0.2.53";

std::string Replaced(std::string text, const std::string& from, const std::string& to)
{
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// Never on the privileged DNS port, which the unbounds hold.
std::vector<std::string> Unprivileged(std::vector<std::string> argv)
{
    if (geteuid() == 0)
        argv.insert(argv.begin(), {"setpriv", "--inh-caps=-net_bind_service", "--bounding-set=-net_bind_service", "--"});
    return argv;
}

struct VantagePoint {
    std::string store, address;
    std::uint16_t metricsPort = 0;
    UnboundPeer unbound;
    ChildProcess monitor;
};

class VantagePoints : public ::testing::Test {
protected:
    void SetUp() override
    {
        mkdir(dir_.File("run").c_str(), 0700);
        env_ = {"XDG_RUNTIME_DIR=" + dir_.File("run"), "XDG_STATE_HOME=" + dir_.File("state"), "DISPLAY=",
                "WAYLAND_DISPLAY="};
        const std::string base = "127.29." + std::to_string(getpid() % 250 + 1) + ".";
        for (int i = 0; i < kVantagePoints; ++i) {
            VantagePoint& v = points_[i];
            v.store = dir_.File(kVantage[i]);
            v.address = base + std::to_string(i + 1);
            v.metricsPort = FreePort(false);
            WriteStore(v);
        }
    }
    void TearDown() override { SetStoreFolder(""); }

    // A store that serves metrics and writes its events to a log of its own.
    void WriteStore(const VantagePoint& v)
    {
        SetStoreFolder(v.store);
        Settings s = DefaultSettings(LookUpLocalAddress());
        s.general.SetFlags(kGenLog);
        s.general.texts[kTextLogPath] = v.store + ".log";
        CurrentSettings() = s;
        InitItemTable();
        ASSERT_TRUE(SaveSettings());
        // The endpoint as an operator sets it on a server, checked before it is saved.
        const std::string listen = "127.0.0.1:" + std::to_string(v.metricsPort);
        const FinishedProgram refused = Ctl(v, {"metrics", listen, dir_.File("missing.yml")});
        EXPECT_EQ(refused.status, 1);
        EXPECT_NE(refused.err.find("missing.yml: No such file"), std::string::npos) << refused.err;
        const FinishedProgram set = Ctl(v, {"metrics", listen});
        EXPECT_EQ(set.status, 0) << set.err;
        EXPECT_EQ(set.out, "metrics at " + listen + "\n");
    }
    FinishedProgram Ctl(const VantagePoint& v, std::vector<std::string> args)
    {
        args.insert(args.begin(), {BinaryDir() + "/varnellctl", "--store", v.store});
        return RunProgram(args, env_);
    }

    ::testing::AssertionResult StartPoint(VantagePoint& v)
    {
        if (!v.unbound.Start({{"test", Zone()}}, {v.address}, 53))
            return ::testing::AssertionFailure() << v.unbound.Log();
        if (!v.monitor.Start(Unprivileged({BinaryDir() + "/varnell-monitor", "--store", v.store}), env_, "",
                             v.store + ".err") ||
            !WaitFor([&] { return TcpPortOpen(v.metricsPort); }, 15s))
            return ::testing::AssertionFailure() << ReadFile(v.store + ".err");
        WriteFile(v.store + ".csv", "name,domain,type,server,interval_ms,timeout_ms,continuous_lost\n"
                                    "web,web.test,A," +
                                        v.address + ",500,400,1\n");
        const FinishedProgram applied = Ctl(v, {"apply", v.store + ".csv"});
        if (applied.status != 0 || applied.out != "+ web\n")
            return ::testing::AssertionFailure() << applied.out << applied.err;
        return ::testing::AssertionSuccess();
    }
    static std::string Zone() { return ZoneText("test.", "ns IN A 127.0.0.1\nweb IN A 192.0.2.7\n"); }

    std::string PrometheusConfig(std::uint16_t alertmanagerPort, const std::string& rules) const
    {
        std::string targets;
        for (int i = 0; i < kVantagePoints; ++i)
            targets += "      - targets: [\"127.0.0.1:" + std::to_string(points_[i].metricsPort) +
                       "\"]\n        labels:\n          vantage: " + kVantage[i] + "\n";
        return "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\nrule_files: [\"" + rules +
               "\"]\nalerting:\n  alertmanagers:\n    - static_configs:\n        - targets: [\"127.0.0.1:" +
               std::to_string(alertmanagerPort) + "\"]\nscrape_configs:\n  - job_name: varnell\n    static_configs:\n" +
               targets +
               "    metric_relabel_configs:\n      - source_labels: [__name__]\n        regex: varnell_item_.*\n"
               "        target_label: server\n        replacement: \"" +
               kServerLabel + "\"\n";
    }

    // The query of a panel of the shipped dashboard, every variable at "All".
    static std::string DashboardQuery(const std::string& title)
    {
        const nlohmann::json dashboard =
            nlohmann::json::parse(ReadFile(SourceDir() + "/packaging/grafana/varnell-dashboard.json"), nullptr, false);
        for (const auto& panel : dashboard.value("panels", nlohmann::json::array()))
            if (panel["title"] == title) {
                std::string expr = panel["targets"][0]["expr"];
                for (const char* variable : {"$instance", "$vantage"})
                    for (std::size_t at; (at = expr.find(variable)) != std::string::npos;)
                        expr.replace(at, std::string(variable).size(), ".*");
                return expr;
            }
        ADD_FAILURE() << "no panel " << title;
        return {};
    }

    // The notifications so far that hold an alert of this name in this state.
    std::vector<nlohmann::json> Notified(const std::string& alertname, const std::string& status)
    {
        std::vector<nlohmann::json> out;
        for (const nlohmann::json& n : webhook_.Notifications())
            for (const auto& a : n.value("alerts", nlohmann::json::array()))
                if (a["labels"]["alertname"] == alertname && a["status"] == status)
                    out.push_back(n);
        return out;
    }
    // Alertmanager's alerts of this name that are held back by another.
    std::size_t Inhibited(const std::string& alertname)
    {
        std::size_t count = 0;
        const nlohmann::json alerts = GetJson(alertmanager_.Port(), "/api/v2/alerts");
        if (alerts.is_array())
            for (const auto& a : alerts)
                if (a["labels"]["alertname"] == alertname && !a["status"]["inhibitedBy"].empty())
                    ++count;
        return count;
    }

    TempDir dir_;
    std::vector<std::string> env_;
    VantagePoint points_[kVantagePoints];
    WebhookReceiver webhook_;
    AlertmanagerPeer alertmanager_;
    PrometheusPeer prometheus_;
};

} // namespace

TEST_F(VantagePoints, QuorumPagesOnceForAnOutageSeenEverywhereAndNotForOneVantagePoint)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: the unbounds of the vantage points serve port 53";
    for (VantagePoint& v : points_)
        ASSERT_TRUE(StartPoint(v));

    ASSERT_TRUE(webhook_.Start());
    std::string routes = ReadFile(SourceDir() + "/packaging/alertmanager/varnell.yml");
    routes = Replaced(routes, "http://127.0.0.1:5001/varnell", webhook_.Url());
    routes = Replaced(routes, "group_wait: 30s", "group_wait: 1s");
    routes = Replaced(routes, "group_interval: 5m", "group_interval: 1s");
    ASSERT_TRUE(alertmanager_.Start(routes)) << alertmanager_.Log();

    std::string rules = ReadFile(SourceDir() + "/packaging/prometheus/varnell-rules.yml");
    rules = Replaced(rules, "for: 2m", "for: 6s"); // VarnellItemDown
    rules = Replaced(rules, "for: 1m", "for: 1s"); // VarnellItemDownQuorum
    rules = Replaced(rules, "keep_firing_for: 1m", "keep_firing_for: 5s");
    WriteFile(dir_.File("rules.yml"), rules);
    ASSERT_TRUE(prometheus_.Start(PrometheusConfig(alertmanager_.Port(), dir_.File("rules.yml")))) << prometheus_.Log();
    const std::string up = "count(varnell_item_up{item=\"web\",server=\"" + std::string(kServerLabel) + "\"} == 1)";
    ASSERT_TRUE(WaitFor([&] { return prometheus_.Value(up) == kVantagePoints; }, 20s, 200ms)) << prometheus_.Log();

    // The server is gone for every vantage point.
    for (VantagePoint& v : points_)
        v.unbound.Stop();
    ASSERT_TRUE(WaitFor([&] { return !Notified("VarnellItemDownQuorum", "firing").empty(); }, 30s, 200ms))
        << alertmanager_.Log();
    const nlohmann::json page = Notified("VarnellItemDownQuorum", "firing").front();
    EXPECT_EQ(page["groupLabels"],
              (nlohmann::json{{"item", "web"}, {"domain", "web.test"}, {"type", "A"}, {"server", kServerLabel}}));
    // The single vantage points' alerts fire too, and are held back.
    EXPECT_TRUE(WaitFor([&] { return Inhibited("VarnellItemDown") == kVantagePoints; }, 20s, 200ms))
        << GetJson(alertmanager_.Port(), "/api/v2/alerts").dump();
    EXPECT_TRUE(Notified("VarnellItemDown", "firing").empty()) << webhook_.Notifications().back().dump();
    // The dashboard's panel counts them, with every Varnell and vantage point chosen.
    EXPECT_EQ(prometheus_.Value(DashboardQuery("Down from how many vantage points")), kVantagePoints);

    for (VantagePoint& v : points_)
        ASSERT_TRUE(v.unbound.Restart({{"test", Zone()}})) << v.unbound.Log();
    EXPECT_TRUE(WaitFor([&] { return !Notified("VarnellItemDownQuorum", "resolved").empty(); }, 30s, 200ms));
    EXPECT_TRUE(Notified("VarnellItemDown", "firing").empty());

    // One vantage point loses its own server: its alert pages, no quorum.
    const std::size_t quorumPages = Notified("VarnellItemDownQuorum", "firing").size();
    points_[0].unbound.Stop();
    ASSERT_TRUE(WaitFor([&] { return !Notified("VarnellItemDown", "firing").empty(); }, 30s, 200ms));
    const nlohmann::json single = Notified("VarnellItemDown", "firing").back();
    std::vector<std::string> from;
    for (const auto& a : single["alerts"])
        if (a["labels"]["alertname"] == "VarnellItemDown" && a["status"] == "firing")
            from.push_back(a["labels"]["vantage"].get<std::string>());
    EXPECT_EQ(from, std::vector<std::string>{"dc1"});
    EXPECT_EQ(Notified("VarnellItemDownQuorum", "firing").size(), quorumPages);
    EXPECT_TRUE(std::isnan(prometheus_.Value("ALERTS{alertname=\"VarnellItemDownQuorum\"}")))
        << "the quorum alert is pending or firing with one vantage point down";
}
