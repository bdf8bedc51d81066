// A real Prometheus on loopback scrapes the endpoint every second while the
// engine probes a local unbound and a responder that always waits 50 ms: the
// shipped "item down" rule (its two minutes shortened) fires when unbound stops
// and resolves when it is back, every probe of the silent server counts as a
// failure, and the round trip reads 50 ms.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cmath>
#include <nlohmann/json.hpp>

#include "config/settings.h"
#include "metrics/metrics_server.h"
#include "tests/metrics/bcrypt_hash.h"
#include "tests/probe/delayed_responder.h"
#include "tests/probe/engine_fixture.h"
#include "tests/support/http_client.h"
#include "tests/support/monitoring_peers.h"
#include "tests/support/pki.h"
#include "tests/support/unbound_peer.h"

using namespace varnell;
using namespace std::chrono_literals;
using namespace varnell::test;

namespace {

const char* kZone = "$ORIGIN test.\n$TTL 300\n@ IN SOA ns.test. hostmaster.test. 1 3600 600 86400 300\n"
                    "@ IN NS ns.test.\nns IN A 192.0.2.53\nhost IN A 192.0.2.7\n";

// The engine threads as the engine tests run them, with the endpoint beside them.
class AgainstPrometheus : public EngineAgainstServer {
protected:
    void TearDown() override
    {
        StopMetricsServer();
        EngineAgainstServer::TearDown();
    }

    std::string AlertState(const std::string& item)
    {
        const nlohmann::json alerts = GetJson(prometheus.Port(), "/api/v1/alerts");
        if (alerts.is_discarded())
            return "?";
        for (const auto& a : alerts["data"]["alerts"])
            if (a["labels"]["alertname"] == "VarnellItemDown" && a["labels"]["item"] == item)
                return a["state"];
        return "inactive";
    }
    double Value(const std::string& promql) { return prometheus.Value(promql); }

    PrometheusPeer prometheus;
};

} // namespace

TEST_F(AgainstPrometheus, ItemDownRuleFiresAndResolvesAndRoundTripIsMeasured)
{
    UnboundPeer unbound;
    ASSERT_TRUE(unbound.Start({{"test", kZone}})) << unbound.Log();
    DelayedResponder delayed(50ms);
    Add("resolver", "host.test", 0, unbound.Port(), 400, 1, 500);
    Add("delayed", "host.test", 0, ntohs(delayed.PortBE()), 400, 1, 500);
    // Started by the monitor core from the setting, where the core starts it.
    const std::uint16_t metricsPort = FreePort(false);
    CurrentSettings().extra.metricsListen = "127.0.0.1:" + std::to_string(metricsPort);
    StartEngine();
    ASSERT_EQ(ApplyMetricsSetting(CurrentSettings().extra.metricsListen), kMetricsListening);

    // The shipped rules, with the rule's two minutes cut to one second.
    std::string rules = ReadFile(SourceDir() + "/packaging/prometheus/varnell-rules.yml");
    const std::size_t wait = rules.find("for: 2m");
    ASSERT_NE(wait, std::string::npos);
    rules.replace(wait, 7, "for: 1s");
    WriteFile(prometheus.File("rules.yml"), rules);
    ASSERT_TRUE(prometheus.Start("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\nrule_files: [\"" +
                                 prometheus.File("rules.yml") +
                                 "\"]\nscrape_configs:\n  - job_name: varnell\n    static_configs:\n      - targets: "
                                 "[\"127.0.0.1:" +
                                 std::to_string(metricsPort) + "\"]\n"))
        << prometheus.Log();

    // The responder's fixed delay, as Prometheus stored it.
    double rtt = 0;
    ASSERT_TRUE(WaitFor([&] { return !std::isnan(rtt = Value("varnell_item_rtt_seconds{item=\"delayed\"}")); }, 15s,
                        200ms));
    // Never shorter than the delay; a loaded machine may add to it.
    EXPECT_GE(rtt, 0.049);
    EXPECT_LT(rtt, 0.150);

    EXPECT_EQ(AlertState("resolver"), "inactive");
    unbound.Stop();
    EXPECT_TRUE(WaitFor([&] { return AlertState("resolver") == "firing"; }, 20s, 250ms));
    // Each probe of the silent server is a failure: the requests not answered are
    // the failures, but for the one waiting for its time-out and the odd time-out
    // a loaded machine has not evaluated yet.
    const std::string resolver = "{item=\"resolver\"}";
    EXPECT_TRUE(WaitFor([&] { return Value("varnell_item_failures_total" + resolver) >= 3.0; }, 10s, 250ms));
    const double unaccounted = Value("varnell_item_requests_total" + resolver + " - varnell_item_replies_total" +
                                     resolver + " - varnell_item_failures_total" + resolver);
    EXPECT_GE(unaccounted, 0.0);
    EXPECT_LE(unaccounted, 3.0);
    EXPECT_EQ(Value("varnell_item_failures_total{item=\"delayed\"}"), 0.0);
    ASSERT_TRUE(unbound.Restart({{"test", kZone}})) << unbound.Log();
    EXPECT_TRUE(WaitFor([&] { return AlertState("resolver") == "inactive"; }, 20s, 250ms));
    EXPECT_EQ(AlertState("delayed"), "inactive");
    EXPECT_GE(EventCount(kEventDown), 1u);
}

// Scraped across the network: TLS with a CA made for the test, a logon checked
// against a bcrypt hash. Prometheus with the right password reads the items; a
// job with a wrong one is turned away with 401.
TEST(MetricsOverTls, PrometheusScrapesWithItsLogonAndAWrongPasswordGets401)
{
    InitItemTable();
    TempDir dir;
    const CertFiles ca = MakeCa(dir.Path(), "ca");
    MakeServerCert(dir.Path(), "server", ca, {"IP:127.0.0.1"});
    WriteFile(dir.File("web.yml"), "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n"
                                   "basic_auth_users:\n  prometheus: " +
                                       BcryptHash("scrape-me") + "\n");
    const std::uint16_t port = FreePort(false);
    SetMetricsWebConfig(dir.File("web.yml"));
    ASSERT_EQ(StartMetricsServer("127.0.0.1:" + std::to_string(port)), kMetricsListening);
    // Plain HTTP gets no answer from a TLS endpoint.
    EXPECT_EQ(HttpRequest(port, "GET", "/metrics").find("varnell_"), std::string::npos);

    const auto job = [&](const std::string& name, const std::string& password) {
        return "  - job_name: " + name + "\n    scheme: https\n    tls_config:\n      ca_file: " + ca.cert +
               "\n    basic_auth:\n      username: prometheus\n      password: " + password +
               "\n    static_configs:\n      - targets: [\"127.0.0.1:" + std::to_string(port) + "\"]\n";
    };
    PrometheusPeer prometheus;
    ASSERT_TRUE(prometheus.Start("global:\n  scrape_interval: 1s\nscrape_configs:\n" + job("right", "scrape-me") +
                                 job("wrong", "guessed")))
        << prometheus.Log();
    EXPECT_TRUE(WaitFor([&] { return prometheus.Value("varnell_build_info{job=\"right\"}") == 1.0; }, 20s, 200ms))
        << prometheus.Log();
    std::vector<std::pair<std::string, std::string>> wrong;
    EXPECT_TRUE(WaitFor(
        [&] {
            wrong = prometheus.Targets("wrong");
            return wrong.size() == 1 && wrong[0].first == "down";
        },
        20s, 200ms));
    ASSERT_EQ(wrong.size(), 1u);
    EXPECT_NE(wrong[0].second.find("401"), std::string::npos) << wrong[0].second;
    StopMetricsServer();
    SetMetricsWebConfig("");
}
