// The Metrics page: off by default with the defaults ready, the link following
// the address, and confirming it starting, moving and stopping the endpoint.
#include <QCheckBox>

#include "metrics/metrics_server.h"
#include "tests/ui/setup/setup_test_support.h"
#include "ui/platform/hyperlink.h"
#include "ui/setup/page_metrics.h"

using namespace varnell;
using namespace varnell::test;

namespace {
class MetricsPageTest : public SetupTest {
protected:
    void TearDown() override
    {
        StopMetricsServer();
        SetupTest::TearDown();
    }
};
} // namespace

TEST_F(MetricsPageTest, OffByDefaultAndConfirmingStartsMovesAndStopsTheEndpoint)
{
    {
        CDlgMetrics page;
        EXPECT_FALSE(page.serve->isChecked());
        EXPECT_EQ(page.address->text(), "127.0.0.1");
        EXPECT_EQ(page.port->value(), 9353);
        EXPECT_EQ(page.link->URL(), "http://127.0.0.1:9353/metrics");
        page.address->setText(QStringLiteral("::1"));
        EXPECT_EQ(page.link->text(), "http://[::1]:9353/metrics");
        EXPECT_EQ(page.Apply(), 0);
        EXPECT_EQ(CurrentSettings().extra.metricsListen, "");
        EXPECT_EQ(MetricsPort(), 0);
    }

    const std::uint16_t port = FreePort(false);
    {
        CDlgMetrics page;
        page.serve->setChecked(true);
        page.port->setValue(port);
        EXPECT_EQ(page.Apply(), 0);
    }
    const std::string listen = "127.0.0.1:" + std::to_string(port);
    EXPECT_EQ(CurrentSettings().extra.metricsListen, listen);
    EXPECT_EQ(MetricsPort(), port);
    EXPECT_TRUE(TcpPortOpen(port));

    {
        // Read back as stored; a name instead of an address is refused and changes nothing.
        CDlgMetrics page;
        EXPECT_TRUE(page.serve->isChecked());
        EXPECT_EQ(page.port->value(), port);
        page.address->setText(QStringLiteral("localhost"));
        EXPECT_EQ(page.Apply(), 1);
        ASSERT_EQ(boxes_.size(), 1u);
        EXPECT_EQ(CurrentSettings().extra.metricsListen, listen);
        EXPECT_EQ(MetricsPort(), port);
        page.serve->setChecked(false);
        EXPECT_EQ(page.Apply(), 0);
    }
    EXPECT_EQ(CurrentSettings().extra.metricsListen, "");
    EXPECT_EQ(MetricsPort(), 0);
    EXPECT_FALSE(TcpPortOpen(port));
}
