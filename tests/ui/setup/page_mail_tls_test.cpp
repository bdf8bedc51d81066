// The Mail page's security choice and CA file: the port rules, what apply
// stores beside the blob, and a test mail whose failure says why.
#include "alerts/dispatch.h"
#include "config/settings_store.h"
#include "tests/support/peers.h"
#include "tests/support/pki.h"
#include "tests/ui/setup/setup_test_support.h"
#include "ui/setup/page_mail.h"
#include "ui/setup/setup_dlg.h"

using namespace varnell;
using namespace varnell::test;

TEST_F(SetupTest, MailSecurityMovesOnlyTheUsualPortsAndIsStoredBesideTheBlob)
{
    CurrentSettings().extra.mailSecurity = kMailImplicitTls;
    CurrentSettings().extra.mailCaFile = "/etc/varnell/ca.pem";
    CSetupDlg dialog;
    CDlgMail* page = dialog.Mail();
    EXPECT_EQ(page->security->currentText(), "SSL/TLS");
    EXPECT_EQ(page->caFile->text(), "/etc/varnell/ca.pem");

    const struct {
        const char* portBefore;
        int from, to;
        const char* portAfter;
    } rules[] = {
        {"25", 0, 1, "587"},   {"25", 0, 2, "465"},     {"587", 1, 2, "465"}, {"2525", 0, 1, "2525"},
        {"2525", 0, 2, "2525"}, {"465", 2, 1, "465"},  {"587", 2, 0, "587"}, {"25", 2, 1, "587"},
    };
    for (const auto& r : rules) {
        SCOPED_TRACE(std::string(r.portBefore) + " " + std::to_string(r.from) + "->" + std::to_string(r.to));
        page->security->setCurrentIndex(r.from);
        page->port->setText(r.portBefore);
        page->security->setCurrentIndex(r.to);
        EXPECT_EQ(page->port->text(), r.portAfter);
        EXPECT_EQ(page->caFile->isEnabled(), r.to != 0);
    }

    page->security->setCurrentIndex(1);
    chosenFile_ = "/srv/pki/ca ü.pem";
    page->caChooseButton->click();
    EXPECT_EQ(page->caFile->text(), "/srv/pki/ca ü.pem");
    ASSERT_EQ(page->Apply(), 0);
    EXPECT_EQ(CurrentSettings().extra.mailSecurity, kMailStartTls);
    EXPECT_EQ(CurrentSettings().extra.mailCaFile, "/srv/pki/ca \xc3\xbc.pem"); // UTF-8
    SaveSettings();
    ExtraSettings stored;
    ASSERT_TRUE(ReadExtraSettings(stored));
    EXPECT_EQ(stored.mailSecurity, kMailStartTls);
    EXPECT_EQ(stored.mailCaFile, "/srv/pki/ca \xc3\xbc.pem");
}

TEST_F(SetupTest, TestMailOverStartTlsReportsWhyTheCertificateWasRefused)
{
    TempDir pki;
    const CertFiles ca = MakeCa(pki.Path(), "ca");
    const CertFiles other = MakeCa(pki.Path(), "other");
    const CertFiles server = MakeServerCert(pki.Path(), "server", ca, {"IP:127.0.0.1"});
    SmtpPeer peer;
    ASSERT_TRUE(peer.Start({"watcher", "s3cret", "--starttls", server.cert, server.key}));
    StartAlertWorkers();

    CSetupDlg dialog;
    CDlgMail* page = dialog.Mail();
    page->server->setText("127.0.0.1");
    page->port->setText(QString::number(peer.Port()));
    page->needLogon->setChecked(true);
    page->user->setText("watcher");
    page->password->setText("s3cret");
    AppendRow(page->receivers, "ops@example.test");
    page->security->setCurrentIndex(1);
    page->caFile->setText(QString::fromStdString(other.cert));
    page->testButton->click();
    ASSERT_TRUE(ProcessUntil([&] { return boxes_.size() >= 1; }, 15000));
    EXPECT_EQ(boxes_[0].text,
              "Send mail failed!\nthe server's certificate is not accepted: unable to get local issuer certificate");

    page->caFile->setText(QString::fromStdString(ca.cert));
    page->testButton->click();
    ASSERT_TRUE(ProcessUntil([&] { return boxes_.size() >= 2; }, 15000));
    EXPECT_EQ(boxes_[1].text, "Send mail OK!");
    EXPECT_NE(peer.Events().find("STARTTLS\n"), std::string::npos);
    EXPECT_NE(peer.Message(1).find("auth: watcher\n"), std::string::npos);
    GetUiChannel().ReleaseWaiters();
    StopAlertWorkers();
}

TEST_F(SetupTest, MailLogonWithoutTlsIsWarnedAboutUnderTheLogonFields)
{
    CurrentSettings().extra.mailSecurity = 0;
    CSetupDlg dialog;
    CDlgMail* page = dialog.Mail();
    QLabel* warning = page->clearLogonWarning;
    page->needLogon->setChecked(true);
    EXPECT_TRUE(warning->isVisibleTo(page) && warning->isEnabled());
    // Greyed with the fields it is about; gone while TLS is chosen.
    page->needLogon->setChecked(false);
    EXPECT_TRUE(warning->isVisibleTo(page) && !warning->isEnabled());
    for (int security : {1, 2, 0}) {
        page->security->setCurrentIndex(security);
        EXPECT_EQ(warning->isVisibleTo(page), security == 0);
    }
}
