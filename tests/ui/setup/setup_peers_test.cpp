// The settings pages' test buttons against real peers on loopback: a test mail
// to aiosmtpd, a syslog test to rsyslogd, a messenger test to smbd. Each uses
// the page's unsaved values and leaves the stored settings alone.
#include "alerts/dispatch.h"
#include "alerts/smb/netsend.h"
#include "alerts/syslog.h"
#include "config/settings_store.h"
#include "tests/support/peers.h"
#include "tests/ui/setup/setup_test_support.h"
#include "ui/setup/page_mail.h"
#include "ui/setup/page_messenger.h"
#include "ui/setup/page_syslog.h"
#include "ui/setup/setup_dlg.h"

#include <QRegularExpression>

using namespace varnell;
using namespace varnell::test;
using namespace std::chrono_literals;

namespace {

class PeerButtonsTest : public SetupTest {
protected:
    void SetUp() override
    {
        SetupTest::SetUp();
        StartAlertWorkers();
    }
    void TearDown() override
    {
        GetUiChannel().ReleaseWaiters();
        StopAlertWorkers();
        SetupTest::TearDown();
    }
    bool WaitForBoxes(std::size_t n, int ms = 30000)
    {
        return ProcessUntil([&] { return boxes_.size() >= n; }, ms);
    }
};

} // namespace

TEST_F(PeerButtonsTest, TestMailUsesTheUnsavedPageAndReachesTheServer)
{
    SmtpPeer peer;
    ASSERT_TRUE(peer.Start({"watcher", "s3cret"})) << "aiosmtpd did not start";
    SaveSettings();
    std::vector<std::uint8_t> stored;
    ASSERT_GT(ReadSettingsBlob(stored), 0);

    CSetupDlg dialog;
    CDlgMail* page = dialog.Mail();
    page->server->setText("127.0.0.1");
    page->port->setText(QString::number(peer.Port()));
    page->fromAddress->setText("varnell@example.test");
    page->needLogon->setChecked(true);
    page->user->setText("watcher");
    page->password->setText("s3cret");
    page->subject->setText("trying the new server");
    page->highPriority->setChecked(true);
    AppendRow(page->receivers, "ops@example.test");
    AppendRow(page->receivers, "noc@example.test");
    page->testButton->click();
    EXPECT_TRUE(page->TestRunning());
    page->testButton->click();
    ASSERT_TRUE(WaitForBoxes(2));
    EXPECT_EQ(boxes_[0].text, "Now it is in mail testing!");
    EXPECT_EQ(boxes_[0].icon, BoxIcon::Error);
    EXPECT_EQ(boxes_[1].text, "Send mail OK!");
    EXPECT_EQ(boxes_[1].caption, "Varnell");
    EXPECT_FALSE(page->TestRunning());

    const std::string mail = peer.Message(1);
    EXPECT_NE(mail.find("auth: watcher\n"), std::string::npos) << mail;
    EXPECT_NE(mail.find("to: ops@example.test\nto: noc@example.test\n"), std::string::npos) << mail;
    EXPECT_NE(mail.find("Subject: trying the new server\r\n"), std::string::npos) << mail;
    EXPECT_NE(mail.find("\r\n\r\ntrying the new server"), std::string::npos) << mail; // the body too
    EXPECT_NE(mail.find("X-Priority: 1\r\n"), std::string::npos) << mail;
    EXPECT_EQ(peer.Message(2), "");

    // Cancelled afterwards: nothing of it was kept.
    dialog.reject();
    EXPECT_TRUE(CurrentSettings().mail.server.empty());
    EXPECT_TRUE(CurrentSettings().mail.receivers.empty());
    std::vector<std::uint8_t> after;
    ASSERT_GT(ReadSettingsBlob(after), 0);
    EXPECT_EQ(after, stored);

    // A server that refuses the connection is reported as a failure.
    CDlgMail again;
    again.server->setText("127.0.0.1");
    again.port->setText(QString::number(FreePort(false)));
    AppendRow(again.receivers, "ops@example.test");
    again.testButton->click();
    ASSERT_TRUE(WaitForBoxes(3));
    EXPECT_EQ(boxes_[2].text, "Send mail failed!\nConnection refused"); // and why
}

TEST_F(PeerButtonsTest, SyslogTestGoesOutAsPriority85WhateverIsChecked)
{
    RsyslogPeer peer;
    const std::uint16_t port = FreePort(true);
    ASSERT_TRUE(peer.Start("127.0.0.1", port)) << "rsyslogd did not start";
    if (SyslogSocket() < 0) {
        ASSERT_EQ(OpenSyslogSocket(), 0);
    }
    SetSyslogPort(port);

    CDlgSyslog page;
    page.Facility(0)->setChecked(true);  // kernel
    page.Severity(0)->setChecked(true);  // Emergency
    page.testMessage->setText("syslog page test");
    AppendRow(page.servers, "127.0.0.1");
    page.testButton->click();
    ASSERT_TRUE(WaitFor([&] { return !peer.Lines().empty(); }, 10s));
    const std::string line = peer.Lines()[0];
    EXPECT_EQ(line.rfind("85|authpriv|notice|<85>", 0), 0u) << line;
    EXPECT_TRUE(line.ends_with(":  syslog page test")) << line;
    EXPECT_TRUE(boxes_.empty());
    EXPECT_TRUE(CurrentSettings().syslog.servers.empty());
    SetSyslogPort(kSyslogPort);
}

TEST_F(PeerButtonsTest, MessengerTestReportsOneSentAndOneFailedReceiver)
{
    SmbdPeer smbd(true);
    if (!smbd.Started())
        GTEST_SKIP() << "smbd did not start on loopback:\n" << smbd.Log();
    NetSendOptions options;
    options.port = smbd.Port();
    options.connectTimeoutMs = 2000;
    options.replyTimeoutMs = 4000;
    SetNetSendOptions(options);

    CDlgMessenger page;
    page.receivers->clear();
    AppendRow(page.receivers, "127.0.0.1");
    AppendRow(page.receivers, "not-a-host");
    page.senderName->setText("pagetest");
    page.testMessage->setText("messenger page test");
    page.testButton->click();
    ASSERT_TRUE(page.TestRunning());
    ASSERT_TRUE(WaitForBoxes(1));
    EXPECT_EQ(boxes_[0].caption, "Test Send");
    EXPECT_EQ(boxes_[0].icon, BoxIcon::Information);
    const QRegularExpression report(QStringLiteral(
        "^The test result is:\\r\\n127\\.0\\.0\\.1 had been sent\\r\\nnot-a-host  error code is [1-9][0-9]*\\r\\n$"));
    EXPECT_TRUE(report.match(boxes_[0].text).hasMatch()) << boxes_[0].text.toStdString();
    EXPECT_TRUE(WaitFor([&] { return smbd.Messages().find("messenger page test") != std::string::npos; }, 10s))
        << smbd.Messages();
    EXPECT_NE(smbd.Messages().find("from=pagetest"), std::string::npos) << smbd.Messages();
    // The page's rows were tried; the stored list was not touched.
    EXPECT_EQ(CurrentSettings().messenger.receivers, std::vector<std::uint32_t>{0x0100007Fu});
    SetNetSendOptions(NetSendOptions{});
}
