// Each settings page on its own: what it shows from the settings, what its
// apply step writes back (and what it keeps), its list editing and the checks
// of its test button that need no peer.
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QTest>

#include <optional>

#include "alerts/dispatch.h"
#include "alerts/log_file.h"
#include "config/settings_store.h"
#include "tests/ui/setup/setup_test_support.h"
#include "ui/items/item_dialog.h"
#include "ui/setup/page_general.h"
#include "ui/setup/page_mail.h"
#include "ui/setup/page_messenger.h"
#include "ui/setup/page_syslog.h"
#include "ui/setup/sound_dlg.h"

using namespace varnell;
using namespace varnell::test;

namespace {

class PagesTest : public SetupTest {};

constexpr std::uint32_t Addr(int a, int b, int c, int d)
{
    return static_cast<std::uint32_t>(a | b << 8 | c << 16 | d << 24); // network byte order
}

} // namespace

// --- General -------------------------------------------------------------------------

TEST_F(PagesTest, GeneralShowsTheDefaults)
{
    CDlgGen page;
    for (QCheckBox* on : {page.startService, page.popup, page.netMessage, page.execute, page.sound, page.sendMail,
                          page.log})
        EXPECT_TRUE(on->isChecked()) << on->text().toStdString();
    EXPECT_FALSE(page.sendSyslog->isChecked());
    EXPECT_FALSE(page.repeat->isChecked());
    EXPECT_FALSE(page.runAtStartup->isChecked()); // no entry in the fresh folder
    EXPECT_TRUE(page.beep->isChecked());
    EXPECT_FALSE(page.playSound->isChecked());
    EXPECT_EQ(page.seconds->Edit()->text(), "100");
    EXPECT_EQ(page.logPath->text(), "varnell.log");
    EXPECT_TRUE(page.execPath->text().isEmpty());
}

TEST_F(PagesTest, GeneralApplyWritesFlagsTextsAndSecondsAndKeepsTheSyslogBits)
{
    GeneralSettings& g = CurrentSettings().general;
    g.SetFlags(g.Flags() | 0xC0000u); // unused high bits survive too
    const std::uint32_t kept = g.Flags() & ~0x3FFu;
    CDlgGen page;
    for (QCheckBox* box : {page.startService, page.popup, page.netMessage, page.execute, page.sound, page.sendMail,
                           page.log})
        box->setChecked(false);
    page.sendSyslog->setChecked(true);
    page.repeat->setChecked(true);
    page.playSound->setChecked(true);
    page.seconds->Edit()->setText("12abc");
    page.execPath->setText(QString(300, QLatin1Char('x')));
    // 300 bytes of two-byte characters: cut between characters, not inside one.
    page.soundPath->setText(QString(150, QChar(0x00E9)));
    page.logPath->setText(QString::fromStdString(dir_.File("events.log")));
    ASSERT_EQ(page.Apply(), 0);

    EXPECT_EQ(g.Flags(), kept | kGenSyslog | kGenRepeat);
    EXPECT_EQ(g.RepeatSeconds(), 12);
    EXPECT_EQ(g.texts[kTextExecPath], std::string(268, 'x'));
    EXPECT_EQ(g.texts[kTextSoundPath].size(), 268u);
    EXPECT_EQ(ToQt(g.texts[kTextSoundPath]), QString(134, QChar(0x00E9)));
    EXPECT_EQ(LogFileName(), dir_.File("events.log"));
    EXPECT_TRUE(LogFileIsOpen());

    page.seconds->Edit()->setText("none");
    page.beep->setChecked(true);
    page.logPath->clear();
    ASSERT_EQ(page.Apply(), 0);
    EXPECT_EQ(g.RepeatSeconds(), 0);
    EXPECT_NE(g.Flags() & kGenBeep, 0u);
    EXPECT_FALSE(LogFileIsOpen()) << "an emptied log path must close the log";
}

TEST_F(PagesTest, GeneralStartUpBoxMakesAndRemovesTheEntry)
{
    RegisterAutoStart(2); // made by the tray start, with its marker
    {
        CDlgGen page;
        EXPECT_TRUE(page.runAtStartup->isChecked());
        page.runAtStartup->setChecked(false);
        page.Apply();
    }
    EXPECT_EQ(QueryAutoStart(), 0);
    CDlgGen page;
    EXPECT_FALSE(page.runAtStartup->isChecked());
    page.runAtStartup->setChecked(true);
    page.Apply();
    EXPECT_EQ(QueryAutoStart(), 1);
}

TEST_F(PagesTest, GeneralChooseButtonsKeepTheTextOnCancel)
{
    CDlgGen page;
    page.execPath->setText("/usr/bin/old");
    chosenFile_.clear(); // cancelled
    page.execChoose->click();
    EXPECT_EQ(page.execPath->text(), "/usr/bin/old");
    ASSERT_EQ(requests_.size(), 1u);
    EXPECT_EQ(requests_[0].start, "/usr/bin/old");
}

// The real file dialog: a program without a dot is taken as it is, every file is
// listed first, and the log chooser takes a name that does not exist yet.
TEST_F(PagesTest, GeneralChooseButtonsTakeLinuxProgramsAndNewLogFiles)
{
    SetFileChooserHook({});
    const QString dir = QString::fromStdString(dir_.Path());
    const QString program = dir + "/notify-send";
    {
        QFile f(program);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    CDlgGen page;
    QString firstFilter;
    auto choose = [&](QPushButton* button, const QString& path) {
        OnNextModal pick([&](QDialog* d) {
            auto* dialog = qobject_cast<QFileDialog*>(d);
            ASSERT_NE(dialog, nullptr);
            firstFilter = dialog->selectedNameFilter();
            dialog->selectFile(path);
            // A name box that has the focus keeps its text through selectFile:
            // type the name as the operator would.
            if (auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")); edit != nullptr)
                edit->setText(QFileInfo(path).fileName());
            d->accept(); // the file dialog's own check of the name
            if (d->isVisible()) // refused the name
                d->reject();
        });
        button->click();
    };
    choose(page.execChoose, program);
    EXPECT_EQ(page.execPath->text().toStdString(), program.toStdString());
    EXPECT_EQ(firstFilter, "All files (*)");
    const QString newLog = dir + "/new-events";
    choose(page.logChoose, newLog);
    EXPECT_EQ(page.logPath->text().toStdString(), newLog.toStdString());
    EXPECT_EQ(firstFilter, "All files (*)");
    EXPECT_FALSE(QFile::exists(newLog)); // named, not created
}

TEST(FileFilters, BecomeQtFiltersWithTheirPatterns)
{
    EXPECT_EQ(QtFileFilter(kExecFilter), "All files (*);;exe file (*.exe)");
    EXPECT_EQ(QtFileFilter(kLogFilter), "All files (*);;log file (*.log);;Text file (*.txt);;CSV file (*.csv)");
    EXPECT_EQ(QtFileFilter(kSoundOpenFilter),
              "sound file (*.mp3;*.wma;*.wav) (*.mp3 *.wma *.wav);;All files(*.*) (*.*)");
    EXPECT_EQ(QtFileFilter(kWaveSaveFilter), "Wave Files (*.wav) (*.wav)"); // the blank entry is dropped
    EXPECT_EQ(QtFileFilter(""), "");
}

TEST_F(PagesTest, SoundChoiceSelectsPlaySound)
{
    CDlgGen page;
    page.soundPath->setText("/tmp/old.wav");
    ASSERT_TRUE(page.beep->isChecked());
    OnNextModal confirm([](QDialog* d) {
        auto* dialog = qobject_cast<CDlgSound*>(d);
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(dialog->windowTitle(), "Edit Sound");
        EXPECT_EQ(dialog->fileEdit->text(), "/tmp/old.wav");
        EXPECT_TRUE(dialog->stereo->isChecked());
        dialog->fileEdit->setText("/tmp/new.wav");
        dialog->okButton->click();
    });
    page.soundChoose->click();
    EXPECT_TRUE(page.playSound->isChecked());
    EXPECT_EQ(page.soundPath->text(), "/tmp/new.wav");

    // Cancelled: neither the file nor the choice of sound changes.
    page.beep->setChecked(true);
    OnNextModal cancel([](QDialog* d) { qobject_cast<CDlgSound*>(d)->cancelButton->click(); });
    page.soundChoose->click();
    EXPECT_TRUE(page.beep->isChecked());
    EXPECT_EQ(page.soundPath->text(), "/tmp/new.wav");
}

TEST_F(PagesTest, SoundDialogOpensFilesAndSaveNeedsARecording)
{
    CDlgSound dialog("/tmp/a.wav");
    EXPECT_EQ(dialog.recordButton->isEnabled(), !dialog.DeviceListFailed());
    chosenFile_ = "/tmp/b.wav";
    dialog.openButton->click();
    EXPECT_EQ(dialog.fileEdit->text(), "/tmp/b.wav");
    EXPECT_FALSE(requests_.back().save);
    EXPECT_EQ(requests_.back().defaultSuffix, "SOUND");
    EXPECT_STREQ(requests_.back().filter, kSoundOpenFilter);

    // Saving with nothing recorded claims no success.
    chosenFile_ = QString::fromStdString(dir_.File("take.wav"));
    dialog.saveButton->click();
    EXPECT_TRUE(requests_.back().save);
    EXPECT_STREQ(requests_.back().filter, kWaveSaveFilter);
    EXPECT_EQ(dialog.fileEdit->text(), chosenFile_);
    EXPECT_TRUE(boxes_.empty());
    // Playing a missing file does nothing and leaves no device open.
    dialog.fileEdit->setText(QString::fromStdString(dir_.File("missing.wav")));
    dialog.playButton->click();
    EXPECT_FALSE(dialog.Device().IsOpen());
    dialog.fileEdit->clear();
    dialog.playButton->click();
    EXPECT_FALSE(dialog.Device().IsOpen());
}

// --- Mail ------------------------------------------------------------------------------

TEST_F(PagesTest, MailShowsTheDefaultsAndLogonEnablesUserAndPassword)
{
    CurrentSettings().mail.receivers = {"a@example.org", "b@example.org"};
    CDlgMail page;
    EXPECT_EQ(page.port->text(), "25");
    EXPECT_EQ(page.fromName->text(), "Varnell Administrators");
    EXPECT_EQ(page.subject->text(), "send a test Email");
    EXPECT_EQ(page.password->echoMode(), QLineEdit::Password);
    EXPECT_EQ(ListTexts(page.receivers), QStringList({"a@example.org", "b@example.org"}));
    EXPECT_EQ(page.receivers->headerItem()->text(0), "Email To");
    EXPECT_FALSE(page.needLogon->isChecked());
    EXPECT_FALSE(page.user->isEnabled());
    EXPECT_FALSE(page.password->isEnabled());
    page.needLogon->click();
    EXPECT_TRUE(page.user->isEnabled());
    EXPECT_TRUE(page.password->isEnabled());
    page.needLogon->click();
    EXPECT_FALSE(page.user->isEnabled());
}

TEST_F(PagesTest, MailApplyKeepsStoredReceiversWhenTheListWasEmptied)
{
    MailSettings& m = CurrentSettings().mail;
    m.receivers = {"a@example.org", "b@example.org"};
    CDlgMail page;
    page.receivers->setCurrentItem(page.receivers->topLevelItem(1));
    page.deleteButton->click();
    EXPECT_EQ(ListTexts(page.receivers), QStringList({"a@example.org"}));
    page.receivers->clearSelection();
    page.deleteButton->click(); // nothing selected: nothing removed
    EXPECT_EQ(page.receivers->topLevelItemCount(), 1);
    page.receivers->setCurrentItem(page.receivers->topLevelItem(0));
    page.deleteButton->click();
    page.server->setText("smtp.example.org");
    page.port->setText("2525x");
    page.needLogon->setChecked(true);
    page.user->setText("ops");
    page.password->setText("s3cret");
    page.highPriority->setChecked(true);
    ASSERT_EQ(page.Apply(), 0);
    EXPECT_EQ(m.receivers, (std::vector<std::string>{"a@example.org", "b@example.org"}));
    EXPECT_EQ(m.server, "smtp.example.org");
    EXPECT_EQ(m.port, 2525);
    EXPECT_EQ(m.user, "ops");
    EXPECT_EQ(m.password, "s3cret");
    EXPECT_EQ(m.flags, 0xFCu | kMailNeedLogon | kMailHighPriority);
}

TEST_F(PagesTest, MailReceiversAreAddedAndEditedThroughTheAddressDialog)
{
    CDlgMail page;
    std::optional<OnNextModal> act;
    act.emplace([](QDialog* d) {
        auto* dialog = qobject_cast<CAddressDialog*>(d);
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(dialog->windowTitle(), "Add Mail");
        dialog->applyButton->click(); // empty: stays open
        EXPECT_TRUE(dialog->isVisible());
        dialog->textEdit->setText("noc@example.org");
        dialog->applyButton->click();
    });
    page.addButton->click();
    ASSERT_EQ(ListTexts(page.receivers), QStringList({"noc@example.org"}));

    act.emplace([](QDialog* d) {
        auto* dialog = qobject_cast<CAddressDialog*>(d);
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(dialog->windowTitle(), "Update Mail");
        EXPECT_EQ(dialog->textEdit->text(), "noc@example.org");
        dialog->textEdit->setText("dns@example.org");
        dialog->applyButton->click();
    });
    page.OnEdit(page.receivers->topLevelItem(0));
    act.emplace([](QDialog* d) { d->reject(); });
    page.OnEdit(page.receivers->topLevelItem(0));
    page.OnEdit(nullptr); // a double click beside the rows
    EXPECT_EQ(ListTexts(page.receivers), QStringList({"dns@example.org"}));
    page.Apply();
    EXPECT_EQ(CurrentSettings().mail.receivers, std::vector<std::string>{"dns@example.org"});
}

TEST_F(PagesTest, MailTestThatCannotBeQueuedSaysSo)
{
    // No worker runs here, so the mail cannot be handed over.
    ASSERT_EQ(MailWorker(), nullptr);
    CDlgMail page;
    page.testButton->click();
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text, "Send mail failed!");
    EXPECT_EQ(boxes_[0].caption, "Varnell");
    EXPECT_FALSE(page.TestRunning());
}

// --- Syslog -----------------------------------------------------------------------------

TEST_F(PagesTest, SyslogRadiosCarryTheirControlIdsAndTheStoredChoice)
{
    CDlgSyslog page;
    for (int i = 0; i < kFacilityCount; ++i)
        EXPECT_EQ(page.facilityGroup->id(page.Facility(i)), 1101 + i);
    for (int i = 0; i < kSeverityCount; ++i)
        EXPECT_EQ(page.severityGroup->id(page.Severity(i)), 1125 + i);
    EXPECT_EQ(page.Facility(0)->text(), "kernel");
    EXPECT_EQ(page.Facility(13)->text(), "log audit");
    EXPECT_EQ(page.Facility(23)->text(), "local7");
    EXPECT_EQ(page.Severity(6)->text(), "Informational");
    EXPECT_EQ(page.severityGroup->id(page.severityNone), 1133);
    EXPECT_TRUE(page.severityNone->isHidden());
    EXPECT_FALSE(page.severityNone->isEnabled());
    EXPECT_EQ(page.facilityGroup->checkedId(), 1101 + 18); // local2
    EXPECT_EQ(page.severityGroup->checkedId(), 1125 + 6);  // Informational
    EXPECT_EQ(page.testMessage->text(), "This is a syslog test message");
    EXPECT_EQ(page.servers->headerItem()->text(0), "Syslog Server IP");
}

TEST_F(PagesTest, SyslogApplyWritesOnlyItsBitsAndKeepsServersOfAnEmptiedList)
{
    Settings& s = CurrentSettings();
    s.syslog.servers = {Addr(192, 0, 2, 1), Addr(192, 0, 2, 2)};
    const std::uint32_t others = s.general.Flags() & ~(kGenFacilityMask | kGenSeverityMask);
    CDlgSyslog page;
    EXPECT_EQ(ListTexts(page.servers), QStringList({"192.0.2.1", "192.0.2.2"}));
    page.Facility(23)->setChecked(true);
    page.Severity(7)->setChecked(true);
    page.testMessage->setText("probe");
    page.servers->clear();
    ASSERT_EQ(page.Apply(), 0);
    EXPECT_EQ(s.general.Facility(), 23u);
    EXPECT_EQ(s.general.Severity(), 7u);
    EXPECT_EQ(s.general.Flags() & ~(kGenFacilityMask | kGenSeverityMask), others);
    EXPECT_EQ(s.syslog.testMessage, "probe");
    EXPECT_EQ(s.syslog.servers, (std::vector<std::uint32_t>{Addr(192, 0, 2, 1), Addr(192, 0, 2, 2)}));

    AppendRow(page.servers, "198.51.100.7");
    AppendRow(page.servers, "not an address");
    page.Apply();
    EXPECT_EQ(s.syslog.servers, (std::vector<std::uint32_t>{Addr(198, 51, 100, 7), 0xFFFFFFFFu}));
}

TEST_F(PagesTest, SyslogListHoldsAtMost88Servers)
{
    Settings& s = CurrentSettings();
    for (int i = 0; i < 87; ++i)
        s.syslog.servers.push_back(Addr(10, 0, 0, i + 1));
    CDlgSyslog page;
    int asked = 0;
    page.editServer = [&](std::uint32_t& address) {
        EXPECT_EQ(address, 0u);
        ++asked;
        address = Addr(10, 0, 1, 1);
        return true;
    };
    page.addButton->click(); // the 88th
    page.addButton->click(); // the 89th is refused before the dialog opens
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(page.servers->topLevelItemCount(), 88);
    page.Apply();
    EXPECT_EQ(s.syslog.servers.size(), 88u);
    EXPECT_EQ(s.syslog.servers.back(), Addr(10, 0, 1, 1));
}

TEST_F(PagesTest, SyslogServerDialogReadsAddressesAsInetAddrDoes)
{
    CAddressDialog add(kSyslogServerDialog, QString{});
    EXPECT_EQ(add.windowTitle(), "Add Syslog Server");
    add.applyButton->click(); // empty: stays
    EXPECT_NE(add.result(), QDialog::Accepted);
    add.textEdit->setText("not an address");
    add.applyButton->click();
    EXPECT_EQ(add.result(), QDialog::Accepted);
    EXPECT_EQ(add.AddressBE(), 0xFFFFFFFFu);

    CAddressDialog update(kSyslogServerDialog, AddressText(Addr(192, 0, 2, 9)));
    EXPECT_EQ(update.windowTitle(), "Update Syslog Server");
    EXPECT_EQ(update.textEdit->text(), "192.0.2.9");

    CDlgSyslog page;
    AppendRow(page.servers, "192.0.2.9");
    page.editServer = [](std::uint32_t& address) {
        EXPECT_EQ(address, Addr(192, 0, 2, 9));
        address = Addr(192, 0, 2, 10);
        return true;
    };
    page.OnEdit(page.servers->topLevelItem(0));
    EXPECT_EQ(ListTexts(page.servers), QStringList({"192.0.2.10"}));
}

TEST_F(PagesTest, SyslogTestNeedsAMessageAndAServer)
{
    CDlgSyslog page;
    page.testMessage->clear();
    AppendRow(page.servers, "127.0.0.1");
    page.testButton->click();
    page.testMessage->setText("hello");
    page.servers->clear();
    page.testButton->click();
    ASSERT_EQ(boxes_.size(), 2u);
    EXPECT_EQ(boxes_[0].text, "No message!");
    EXPECT_EQ(boxes_[0].icon, BoxIcon::Error);
    EXPECT_EQ(boxes_[1].text, "No Syslog Server!");
    EXPECT_EQ(boxes_[1].icon, BoxIcon::Error);
}

// --- Messenger -------------------------------------------------------------------------

TEST_F(PagesTest, MessengerOpeningNamesTheSenderAndShowsTheReceivers)
{
    CurrentSettings().messenger.receivers = {Addr(127, 0, 0, 1), Addr(192, 0, 2, 5)};
    CDlgMessenger page;
    EXPECT_EQ(page.retryTimes->Edit()->text(), "1");
    EXPECT_EQ(page.senderName->text(), "administrator");
    // Set in the settings at once, whatever becomes of the dialog.
    EXPECT_EQ(CurrentSettings().general.texts[kTextSenderName], "administrator");
    EXPECT_EQ(page.testMessage->text(), "This is a test message");
    EXPECT_EQ(ListTexts(page.receivers), QStringList({"127.0.0.1", "192.0.2.5"}));
    EXPECT_TRUE(page.receivers->isHeaderHidden());
    page.retryTimes->DownButton()->click();
    EXPECT_EQ(page.retryTimes->Edit()->text(), "1");
    page.retryTimes->UpButton()->click();
    EXPECT_EQ(page.retryTimes->Edit()->text(), "2");
}

TEST_F(PagesTest, MessengerApplyKeepsReceiversAndRetriesOfAnEmptiedList)
{
    MessengerSettings& m = CurrentSettings().messenger;
    m.retryTimes = 4;
    m.receivers = {Addr(192, 0, 2, 5)};
    CDlgMessenger page;
    page.retryTimes->Edit()->setText("9");
    page.senderName->setText("noc");
    page.receivers->setCurrentItem(page.receivers->topLevelItem(0));
    page.deleteButton->click();
    ASSERT_EQ(page.Apply(), 0);
    EXPECT_EQ(m.retryTimes, 4);
    EXPECT_EQ(m.receivers, std::vector<std::uint32_t>{Addr(192, 0, 2, 5)});
    EXPECT_EQ(CurrentSettings().general.texts[kTextSenderName], "noc");

    page.editReceiver = [](QString& address) {
        EXPECT_TRUE(address.isEmpty());
        address = "198.51.100.2";
        return true;
    };
    page.addButton->click();
    page.retryTimes->Edit()->setText("x");
    page.Apply();
    EXPECT_EQ(m.retryTimes, 0); // as typed: not a number
    EXPECT_EQ(m.receivers, std::vector<std::uint32_t>{Addr(198, 51, 100, 2)});
}

TEST_F(PagesTest, MessengerReceiverDialogTitlesAndAddress)
{
    CAddressDialog add(kMessengerReceiverDialog, QString{});
    EXPECT_EQ(add.windowTitle(), "Add Receiver");
    add.fieldsEdit->SetText("192.0.2.77");
    add.applyButton->click();
    EXPECT_EQ(add.result(), QDialog::Accepted);
    EXPECT_EQ(add.Address(), "192.0.2.77");
    CAddressDialog update(kMessengerReceiverDialog, "10.1.2.3");
    EXPECT_EQ(update.windowTitle(), "Update Receiver");
    EXPECT_EQ(update.fieldsEdit->Text(), "10.1.2.3");
}

TEST_F(PagesTest, MessengerTestReportsEachReceiverAndIgnoresStaleReplies)
{
    // The worker exists but does not run: the page's queued messages wait, and
    // the completions come from here.
    StartAlertWorkers(false);
    CDlgMessenger page;
    page.receivers->clear();
    page.testButton->click();
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text, "No message receiver!");
    AppendRow(page.receivers, "127.0.0.1");
    AppendRow(page.receivers, "127.0.0.2");
    page.testButton->click();
    ASSERT_TRUE(page.TestRunning());
    page.testButton->click();
    ASSERT_EQ(boxes_.size(), 2u);
    EXPECT_EQ(boxes_[1].text, "Now it is in testing!");
    EXPECT_EQ(boxes_[1].icon, BoxIcon::Error);

    const auto& records = page.TestRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].cookie & 0xFFFFu, 1u);
    auto reply = [&](std::uint32_t cookie, std::intptr_t status) {
        GetUiChannel().Post(page.Window(), WindowMessage{WM_NETSEND_DONE, cookie, status, {}});
    };
    reply(records[0].cookie, 0);
    reply(records[1].cookie - 65536, 0); // an earlier test's reply for the same row
    reply(records[1].cookie + 5, 0);     // no such row
    ASSERT_TRUE(ProcessUntil([&] { return records[0].status == 1; }, 2000));
    QApplication::processEvents();
    EXPECT_EQ(records[1].status, 0);
    EXPECT_EQ(boxes_.size(), 2u);
    reply(records[1].cookie, 53);
    ASSERT_TRUE(ProcessUntil([&] { return boxes_.size() == 3; }, 2000));
    EXPECT_EQ(boxes_[2].caption, "Test Send");
    EXPECT_EQ(boxes_[2].icon, BoxIcon::Information);
    EXPECT_EQ(boxes_[2].text, "The test result is:\r\n127.0.0.1 had been sent\r\n127.0.0.2  error code is 53\r\n");
    EXPECT_FALSE(page.TestRunning());
    StopAlertWorkers();
}

TEST(MessengerReport, ListsEveryOutcome)
{
    std::vector<CDlgMessenger::TestRecord> records(3);
    records[0].receiver = "10.0.0.1";
    records[0].status = 1;
    records[1].receiver = "10.0.0.2";
    records[1].status = -1;
    records[2].receiver = "10.0.0.3";
    records[2].status = -2;
    records[2].error = 2273;
    EXPECT_EQ(MessengerTestReport(records), "The test result is:\r\n10.0.0.1 had been sent\r\n10.0.0.2 can't be "
                                            "sent\r\n10.0.0.3  error code is 2273\r\n");
}
