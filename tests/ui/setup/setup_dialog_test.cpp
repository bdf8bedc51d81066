// The Setup dialog as a whole: page switching, the keyboard filter, and what
// OK and Cancel do to the settings in memory and in the store.
#include <QAbstractButton>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTest>

#include "alerts/box_thread.h"
#include "alerts/log_file.h"
#include "config/settings_store.h"
#include "tests/config/read_only_store.h"
#include "tests/ui/setup/setup_test_support.h"
#include "ui/items/item_dialog.h"
#include "ui/pictures/page_icons.h"
#include "ui/setup/page_general.h"
#include "ui/setup/page_mail.h"
#include "ui/setup/page_messenger.h"
#include "ui/setup/page_syslog.h"
#include "ui/setup/setup_dlg.h"
#include "ui/platform/message_box.h"

using namespace varnell;
using namespace varnell::test;

namespace {

class SetupDialogTest : public SetupTest {};

std::uint32_t AddItem(const char* name)
{
    const auto slot = static_cast<std::uint32_t>(NewItemSlot());
    ItemEdit edit;
    edit.interval = 1000;
    edit.timeout = 2000;
    edit.serverBE = 0x0100007Fu;
    edit.name = name;
    edit.domain = "example.org";
    EXPECT_TRUE(CommitNewItem(slot, edit));
    return slot;
}

// The visible message boxes other than those of the dialog under test.
std::vector<QMessageBox*> OpenBoxes()
{
    std::vector<QMessageBox*> out;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(w); box != nullptr && box->isVisible())
            out.push_back(box);
    return out;
}

} // namespace

TEST_F(SetupDialogTest, OpensOnGeneralAndTheTreeSwitchesPages)
{
    CSetupDlg dialog;
    dialog.show();
    ASSERT_EQ(dialog.tree->topLevelItemCount(), 5);
    const char* captions[] = {"General", "Messenger", "Mail", "Syslog", "Metrics"};
    for (int i = 0; i < 5; ++i) {
        QTreeWidgetItem* item = dialog.tree->topLevelItem(i);
        EXPECT_EQ(item->text(0), captions[i]);
        EXPECT_EQ(item->data(0, Qt::UserRole).toInt(), i);
        EXPECT_FALSE(item->icon(0).isNull());
        EXPECT_EQ(item->childCount(), 0);
    }
    EXPECT_TRUE(dialog.tree->selectedItems().isEmpty());
    EXPECT_EQ(dialog.windowTitle(), "Setup");
    EXPECT_TRUE(dialog.okButton->isDefault());

    auto shown = [&] {
        std::vector<int> visible;
        for (int i = 0; i < 4; ++i)
            if (dialog.Page(i)->isVisible())
                visible.push_back(i);
        return visible;
    };
    EXPECT_EQ(shown(), std::vector<int>{0});
    // Every page lives inside the frame.
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(dialog.Page(i)->parentWidget(), dialog.frame);

    dialog.tree->setCurrentItem(dialog.tree->topLevelItem(2));
    EXPECT_EQ(shown(), std::vector<int>{2});
    EXPECT_EQ(dialog.CurrentPage(), 2);
    dialog.tree->setCurrentItem(dialog.tree->topLevelItem(2));
    EXPECT_EQ(shown(), std::vector<int>{2});
    dialog.tree->setCurrentItem(dialog.tree->topLevelItem(3));
    EXPECT_EQ(shown(), std::vector<int>{3});
    dialog.tree->setCurrentItem(dialog.tree->topLevelItem(0));
    EXPECT_EQ(shown(), std::vector<int>{0});
}

TEST_F(SetupDialogTest, PageIconsAreDistinct48PixelPicturesOnWhite)
{
    for (int i = 0; i < kPageIconCount; ++i) {
        const QImage icon = PageIcon(i);
        EXPECT_EQ(icon.size(), QSize(48, 48));
        EXPECT_EQ(icon.depth(), 24);
        EXPECT_EQ(icon.pixelColor(0, 0), QColor(Qt::white)) << i;
        int drawn = 0;
        for (int y = 0; y < 48; ++y)
            for (int x = 0; x < 48; ++x)
                drawn += icon.pixelColor(x, y) != QColor(Qt::white);
        EXPECT_GT(drawn, 400) << "page icon " << i << " is nearly empty";
        for (int j = 0; j < i; ++j)
            EXPECT_NE(icon, PageIcon(j)) << i << " looks like " << j;
    }
}

TEST_F(SetupDialogTest, EnterAndEscapeInsideAPageNeitherConfirmNorCancel)
{
    CSetupDlg dialog;
    bool finished = false;
    QObject::connect(&dialog, &QDialog::finished, [&] { finished = true; });
    dialog.show();
    QApplication::setActiveWindow(&dialog);

    CDlgGen* general = dialog.General();
    general->execPath->setFocus();
    general->execPath->setText("/bin/true");
    QTest::keyClick(general->execPath, Qt::Key_Return);
    QTest::keyClick(general->execPath, Qt::Key_Enter, Qt::KeypadModifier);
    QTest::keyClick(general->execPath, Qt::Key_Escape);
    // A focused page button would otherwise be pressed by Enter.
    QTest::keyClick(general->execChoose, Qt::Key_Return);
    dialog.tree->setCurrentItem(dialog.tree->topLevelItem(3));
    QTest::keyClick(dialog.Syslog()->testMessage, Qt::Key_Return);
    QTest::keyClick(dialog.Syslog()->servers, Qt::Key_Escape);
    EXPECT_FALSE(finished);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_TRUE(dialog.Syslog()->isVisible());
    EXPECT_TRUE(requests_.empty()) << "Enter pressed the Choose button";
    EXPECT_EQ(general->execPath->text(), "/bin/true");

    // Outside the pages Enter is the dialog's own: it confirms.
    QTest::keyClick(dialog.tree, Qt::Key_Return);
    EXPECT_TRUE(finished);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(CurrentSettings().general.texts[kTextExecPath], "/bin/true");
}

TEST_F(SetupDialogTest, KeyFilterLetsLineBreaksIntoTextBoxesAndCoversLateControls)
{
    // A page is a plain child of the dialog that hosts it.
    QWidget host;
    CDialogBase page;
    page.setParent(&host, Qt::Widget);
    auto* text = new QPlainTextEdit(&page);
    page.InstallKeyFilter();
    auto* late = new QLineEdit(&page); // added after the filter was put on
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QKeyEvent letter(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, QStringLiteral("a"));
    EXPECT_FALSE(CDialogBase::FilterKey(text, &enter));
    EXPECT_TRUE(CDialogBase::FilterKey(late, &enter));
    EXPECT_TRUE(CDialogBase::FilterKey(text, &escape));
    EXPECT_FALSE(CDialogBase::FilterKey(late, &letter));
    text->setReadOnly(true);
    EXPECT_TRUE(CDialogBase::FilterKey(text, &enter));

    host.show();
    bool rejected = false;
    QObject::connect(&page, &QDialog::rejected, [&] { rejected = true; });
    QTest::keyClick(late, Qt::Key_Escape);
    EXPECT_FALSE(rejected);
    EXPECT_TRUE(page.isVisible());
    text->setReadOnly(false);
    text->setPlainText("a");
    text->moveCursor(QTextCursor::End);
    QTest::keyClick(text, Qt::Key_Return);
    EXPECT_EQ(text->toPlainText(), "a\n");
}

TEST_F(SetupDialogTest, CancelLeavesMemoryAndStoreAsTheyWere)
{
    // Opening the Messenger page names the sender once, before any Cancel.
    CurrentSettings().general.texts[kTextSenderName] = "ops";
    AddItem("db1");
    SaveSettings();
    std::vector<std::uint8_t> stored;
    ASSERT_GT(ReadSettingsBlob(stored), 0);
    const std::vector<std::uint8_t> inMemory = Serialised();
    const int autoStart = QueryAutoStart();

    CSetupDlg dialog;
    dialog.show();
    dialog.General()->sendSyslog->setChecked(true);
    dialog.General()->runAtStartup->setChecked(!dialog.General()->runAtStartup->isChecked());
    dialog.General()->logPath->setText(dir_.File("other.log").c_str());
    dialog.Messenger()->senderName->setText("someone");
    dialog.Mail()->server->setText("mail.example.org");
    dialog.Mail()->receivers->clear();
    dialog.Syslog()->Facility(0)->setChecked(true);
    AppendRow(dialog.Syslog()->servers, "127.0.0.9");
    dialog.cancelButton->click();

    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    EXPECT_EQ(Serialised(), inMemory);
    std::vector<std::uint8_t> after;
    ASSERT_GT(ReadSettingsBlob(after), 0);
    EXPECT_EQ(after, stored);
    EXPECT_EQ(QueryAutoStart(), autoStart);
    EXPECT_NE(LogFileName(), dir_.File("other.log"));
}

TEST_F(SetupDialogTest, OkSaysSoWhenTheStoreTakesNoWrites)
{
    ASSERT_TRUE(SaveSettings());
    ASSERT_NO_FATAL_FAILURE(MakeStoreReadOnly(RegistryPath()));
    CSetupDlg dialog;
    dialog.show();
    dialog.Messenger()->senderName->setText("noc");
    dialog.okButton->click();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(CurrentSettings().general.texts[kTextSenderName], "noc") << "applied all the same";
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text.toStdString(), "The settings could not be saved: attempt to write a readonly database");
}

TEST_F(SetupDialogTest, OkAppliesEveryPageAndStoresTheItemTableToo)
{
    CurrentSettings().general.texts[kTextLogPath] = "";
    SaveSettings();
    // Items added since the last save reach the store with any confirmed dialog.
    AddItem("db1");
    AddItem("db2");

    CSetupDlg dialog;
    dialog.show();
    dialog.General()->repeat->setChecked(true);
    dialog.Messenger()->senderName->setText("noc");
    dialog.Mail()->subject->setText("check");
    dialog.Syslog()->Facility(23)->setChecked(true);
    dialog.Syslog()->Severity(7)->setChecked(true);
    dialog.okButton->click();
    ASSERT_EQ(dialog.result(), QDialog::Accepted);

    const Settings& s = CurrentSettings();
    EXPECT_NE(s.general.Flags() & kGenRepeat, 0u);
    EXPECT_EQ(s.general.texts[kTextSenderName], "noc");
    EXPECT_EQ(s.mail.testSubject, "check");
    EXPECT_EQ(s.general.Facility(), 23u);
    EXPECT_EQ(s.general.Severity(), 7u);

    // What is stored is what is in memory, items included.
    std::vector<std::uint8_t> stored;
    ASSERT_GT(ReadSettingsBlob(stored), 0);
    EXPECT_EQ(stored, Serialised());
    Settings loaded = DefaultSettings(0);
    InitItemTable();
    ApplySettingsBlob(stored, loaded, *LockItems());
    EXPECT_EQ(LockItems()->liveCount, 2u);
    EXPECT_EQ(loaded.general.Facility(), 23u);
    EXPECT_EQ(loaded.mail.testSubject, "check");
}

// An alert box raised while Setup is open belongs to no window: closing Setup
// leaves it up, it stays above other windows, and the next one waits for it.
TEST_F(SetupDialogTest, AlertBoxOutlivesTheDialogThatWasActive)
{
    auto dialog = std::make_unique<CSetupDlg>();
    dialog->show();
    dialog->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
    cboxthread worker;
    worker.Resume();
    ASSERT_EQ(worker.Post(kNoWindow, "dns1 is down", "dns1 is down", kBoxIconError), 0);
    ASSERT_EQ(worker.Post(kNoWindow, "dns2 is down", "dns2 is down", kBoxIconError), 0);
    ASSERT_TRUE(ProcessUntil([] { return OpenBoxes().size() == 1; }, 5000));
    QMessageBox* first = OpenBoxes().front();
    EXPECT_EQ(first->parentWidget(), nullptr);
    EXPECT_TRUE(first->windowFlags() & Qt::WindowStaysOnTopHint);

    dialog->reject();
    dialog.reset();
    ProcessUntil([] { return false; }, 100);
    ASSERT_EQ(OpenBoxes().size(), 1u);
    EXPECT_EQ(OpenBoxes().front()->text(), "dns1 is down");

    OpenBoxes().front()->buttons().first()->click();
    ASSERT_TRUE(ProcessUntil([] {
        const auto boxes = OpenBoxes();
        return boxes.size() == 1 && boxes.front()->text() == "dns2 is down";
    }, 5000));
    OpenBoxes().front()->buttons().first()->click();
    ASSERT_TRUE(ProcessUntil([&] { return worker.Pending() == 0 && OpenBoxes().empty(); }, 5000));
    worker.RequestStop();
    EXPECT_EQ(worker.StopAndJoin(), 1);
}

// The small editing dialogs are windows of their own: Enter presses Apply and
// Escape cancels; a receiver left at 0.0.0.0 is refused with a message.
TEST_F(SetupDialogTest, SmallDialogsTakeEnterAndEscapeAndRefuseAnEmptyReceiver)
{
    CAddressDialog syslog(kSyslogServerDialog, QString{});
    syslog.show();
    syslog.textEdit->setText("127.0.0.9");
    QTest::keyClick(syslog.textEdit, Qt::Key_Return);
    EXPECT_EQ(syslog.result(), QDialog::Accepted);
    EXPECT_EQ(syslog.AddressBE(), 0x0900007Fu);
    CAddressDialog update(kSyslogServerDialog, AddressText(0x0900007Fu));
    update.show();
    QTest::keyClick(update.textEdit, Qt::Key_Escape);
    EXPECT_FALSE(update.isVisible());
    EXPECT_EQ(update.result(), QDialog::Rejected);

    CAddressDialog receiver(kMessengerReceiverDialog, QString{});
    receiver.show();
    QTest::keyClick(receiver.fieldsEdit->Octet(0), Qt::Key_Return);
    EXPECT_TRUE(receiver.isVisible());
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text, "error receiver ip address !");
    EXPECT_EQ(boxes_[0].caption, ApplicationTitleText());
    receiver.fieldsEdit->SetText("127.0.0.2");
    QTest::keyClick(receiver.fieldsEdit->Octet(3), Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(receiver.result(), QDialog::Accepted);
    EXPECT_EQ(receiver.Address(), "127.0.0.2");
    CAddressDialog cancelled(kMessengerReceiverDialog, QStringLiteral("127.0.0.3"));
    cancelled.show();
    QTest::keyClick(cancelled.fieldsEdit->Octet(1), Qt::Key_Escape);
    EXPECT_EQ(cancelled.result(), QDialog::Rejected);
    EXPECT_FALSE(cancelled.isVisible());
}

TEST_F(SetupDialogTest, TabGoesFromTheTreeThroughThePageToCancelAndOk)
{
    CSetupDlg dialog;
    dialog.show();
    dialog.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    dialog.tree->setFocus();
    std::vector<QWidget*> order;
    for (int i = 0; i < 200 && (order.empty() || order.back() != dialog.tree); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        order.push_back(QApplication::focusWidget());
    }
    ASSERT_GE(order.size(), 4u);
    EXPECT_EQ(order.back(), dialog.tree);
    EXPECT_EQ(order[order.size() - 2], dialog.okButton);
    EXPECT_EQ(order[order.size() - 3], dialog.cancelButton);
    for (std::size_t i = 0; i + 3 < order.size(); ++i)
        EXPECT_TRUE(dialog.General()->isAncestorOf(order[i])) << i << " " << order[i]->metaObject()->className();
    EXPECT_EQ(order.front(), dialog.General()->runAtStartup);
}
