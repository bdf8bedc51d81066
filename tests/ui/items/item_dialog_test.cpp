#include <gtest/gtest.h>

#include <QTest>
#include <QTextEdit>

#include "config/settings.h"
#include "items/answer_eval.h"
#include "items/item_entry.h"
#include "items/transport_state.h"
#include "tests/ui/items/view_test_support.h"
#include "tests/ui/qt_test_env.h"
#include "ui/items/dns_item_view.h"
#include "ui/items/item_dialog.h"

using namespace varnell;
using namespace varnell::test;

namespace {

class ItemDialogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        InitItemTable();
        CurrentSettings().mail.flags &= ~kMailHighPriority;
    }
    // Presses the dialog's default button; true when it closed as confirmed.
    static bool Confirm(DlgAddDNS& dialog)
    {
        bool accepted = false;
        const auto connection = QObject::connect(&dialog, &QDialog::accepted, [&] { accepted = true; });
        dialog.okButton->click();
        QObject::disconnect(connection);
        return accepted;
    }
};

std::uint32_t NewSlot() { return static_cast<std::uint32_t>(NewItemSlot()); }

} // namespace

TEST_F(ItemDialogTest, NewItemDefaultsAreStoredOnConfirm)
{
    CurrentSettings().mail.flags |= kMailHighPriority;
    const std::uint32_t slot = NewSlot();
    DlgAddDNS dialog(slot);
    EXPECT_FALSE(dialog.IsUpdate());
    EXPECT_EQ(dialog.windowTitle(), "Add DNS");
    EXPECT_EQ(dialog.okButton->text(), "Add");
    EXPECT_TRUE(dialog.okButton->isDefault());
    EXPECT_EQ(dialog.interval->Edit()->text(), "1000");
    EXPECT_EQ(dialog.timeout->Edit()->text(), "2000");
    EXPECT_EQ(dialog.mailGroup->text(), "0");
    EXPECT_EQ(dialog.continuousLost->Edit()->text(), "6");
    EXPECT_EQ(dialog.recordType->currentText(), "A");
    EXPECT_EQ(dialog.recordType->count(), 13);
    EXPECT_EQ(dialog.recordType->itemText(6), "AAAA");
    EXPECT_EQ(dialog.recordType->itemText(12), "DS");
    EXPECT_TRUE(dialog.highPriority->isChecked());
    EXPECT_TRUE(dialog.itemName->text().isEmpty());
    EXPECT_TRUE(dialog.server->Text() == "0.0.0.0");

    dialog.server->SetText("192.0.2.1");
    ASSERT_TRUE(Confirm(dialog));
    const DnsItem& item = LockItems()->items[slot];
    EXPECT_EQ(item.interval, 1000u);
    EXPECT_EQ(item.timeout, 2000u);
    EXPECT_EQ(item.typeIndex, 0u);
    EXPECT_EQ(item.mailGroup, 0);
    EXPECT_EQ(LostCount(item), 6u);
    EXPECT_EQ(item.flags & 0x3E00u, 0x3E00u); // bits 9-13
    EXPECT_NE(item.flags & kFlagHighPriorityMail, 0u);
    EXPECT_EQ(item.flags & kFlagDeleted, 0u);
    EXPECT_EQ(item.server.addrBE, AddrBE(192, 0, 2, 1));
    EXPECT_EQ(item.server.portBE, 0x3500); // 53, network byte order
    EXPECT_EQ(item.server.family, 2);
    EXPECT_EQ(item.rowPosition, 0);
    EXPECT_EQ(LockItems()->rowCount, 1u);
    EXPECT_EQ(LockItems()->liveCount, 1u);
    EXPECT_EQ(LockItems()->highWater, 1u);
}

TEST_F(ItemDialogTest, NumbersAreReadLikeTheDialogAlwaysHas)
{
    EXPECT_EQ(DialogNumber("  42abc"), 42);
    EXPECT_EQ(DialogNumber("-7"), -7);
    EXPECT_EQ(DialogNumber("+9"), 9);
    EXPECT_EQ(DialogNumber("abc"), 0);
    EXPECT_EQ(DialogNumber(""), 0);
    EXPECT_EQ(DialogNumber("99999999999999999999"), 2147483647);
    EXPECT_EQ(DialogNumber("-99999999999999999999"), -2147483647 - 1);

    struct Case {
        const char *interval, *timeout, *lost;
        std::uint32_t storedInterval, storedTimeout, storedLost;
    };
    const Case cases[] = {
        {"100", "0", "70", 500, 0, 6},    {"abc", "2000", "6", 500, 2000, 6}, {"500", "1", "63", 500, 1, 63},
        {"-5", "-1", "-1", 500, 0, 63},   {"86400000", "x", "65", 86400000, 0, 1},
    };
    for (const Case& c : cases) {
        InitItemTable();
        const std::uint32_t slot = NewSlot();
        DlgAddDNS dialog(slot);
        dialog.server->SetText("10.0.0.1");
        dialog.interval->Edit()->setText(c.interval);
        dialog.timeout->Edit()->setText(c.timeout);
        dialog.continuousLost->Edit()->setText(c.lost);
        ASSERT_TRUE(Confirm(dialog)) << c.interval;
        EXPECT_EQ(LockItems()->items[slot].interval, c.storedInterval) << c.interval;
        EXPECT_EQ(LockItems()->items[slot].timeout, c.storedTimeout) << c.timeout;
        EXPECT_EQ(LostCount(LockItems()->items[slot]), c.storedLost) << c.lost;
        EXPECT_EQ(LockItems()->items[slot].flags & kFlagOutstandingMask, 0u) << c.lost; // the count stays in its bits
    }
}

TEST_F(ItemDialogTest, SpinArrowsStepAndNeverGoBelowOne)
{
    DlgAddDNS dialog(NewSlot());
    SpinEdit* spin = dialog.timeout;
    spin->Edit()->setText("1");
    spin->DownButton()->click();
    EXPECT_EQ(spin->Edit()->text(), "1");
    spin->Edit()->setText("abc");
    spin->UpButton()->click();
    EXPECT_EQ(spin->Edit()->text(), "1");
    spin->Edit()->setText("abc");
    spin->DownButton()->click();
    EXPECT_EQ(spin->Edit()->text(), "1");
    spin->Edit()->setText("2000");
    spin->UpButton()->click();
    EXPECT_EQ(spin->Edit()->text(), "2001");
    spin->Edit()->setText("2147483647");
    spin->UpButton()->click();
    EXPECT_EQ(spin->Edit()->text(), "2147483647");
}

TEST_F(ItemDialogTest, BadServerAddressKeepsTheDialogOpenAndWritesNothing)
{
    const std::uint32_t slot = NewSlot();
    DlgAddDNS dialog(slot);
    dialog.itemName->setText("typed");
    ModalDriver driver;
    for (const char* address : {"", "0.0.0.0", "255.255.255.255", "256.1.1.1", "1.2.3.999"}) {
        dialog.server->SetText(address);
        EXPECT_FALSE(Confirm(dialog)) << address;
    }
    ASSERT_EQ(driver.boxes.size(), 5u);
    for (const SeenBox& box : driver.boxes) {
        EXPECT_EQ(box.text, "error dns server ip address !");
        EXPECT_EQ(box.caption, "Varnell");
        EXPECT_EQ(box.buttons, 1);
    }
    EXPECT_EQ(dialog.itemName->text(), "typed");
    EXPECT_EQ(LockItems()->rowCount, 0u);
    EXPECT_EQ(LockItems()->highWater, 0u);
    EXPECT_EQ(LockItems()->items[slot].rowPosition, -1);
    EXPECT_EQ(LockItems()->blocks[slot].name, "");

    dialog.server->SetText("255.255.255.254");
    EXPECT_TRUE(Confirm(dialog));
}

TEST_F(ItemDialogTest, DomainNamesThatCannotBeAskedForAreRefused)
{
    EXPECT_TRUE(DomainNameProblem("").isEmpty());
    EXPECT_TRUE(DomainNameProblem("www.example.test.").isEmpty());
    EXPECT_TRUE(DomainNameProblem(std::string(63, 'a') + ".test").isEmpty());
    EXPECT_FALSE(DomainNameProblem(std::string(64, 'a') + ".test").isEmpty());
    EXPECT_FALSE(DomainNameProblem("a..b").isEmpty());
    // 4 labels of 63 plus their length octets and the final zero: 257 octets.
    const std::string label(63, 'b');
    const std::string tooLong = label + "." + label + "." + label + "." + label;
    EXPECT_FALSE(DomainNameProblem(tooLong).isEmpty());
    // 253 characters is the longest name that fits in 255 octets.
    const std::string fits = label + "." + label + "." + label + "." + std::string(61, 'c');
    ASSERT_EQ(fits.size(), 253u);
    EXPECT_TRUE(DomainNameProblem(fits).isEmpty());
    EXPECT_FALSE(DomainNameProblem(fits + "c").isEmpty());

    const std::uint32_t slot = NewSlot();
    DlgAddDNS dialog(slot);
    dialog.server->SetText("192.0.2.1");
    dialog.domainName->setText(QString::fromStdString(tooLong));
    ModalDriver driver;
    EXPECT_FALSE(Confirm(dialog));
    ASSERT_EQ(driver.boxes.size(), 1u);
    EXPECT_TRUE(driver.boxes[0].text.contains("255"));
    EXPECT_EQ(LockItems()->rowCount, 0u);
}

TEST_F(ItemDialogTest, UpdateShowsTheItemAndKeepsTheTableCounters)
{
    AddTestItem("zero");
    ItemEdit e;
    e.interval = 1500;
    e.timeout = 700;
    e.serverBE = AddrBE(203, 0, 113, 5);
    e.typeIndex = 3;
    e.mailGroup = -4;
    e.lostCount = 9;
    e.notifyUp = false;
    e.recursionAvailable = false;
    e.highPriorityMail = true;
    e.name = "ns item";
    e.description = "line one\nline two";
    e.domain = "example.test";
    const std::uint32_t slot = NewSlot();
    ASSERT_TRUE(CommitNewItem(slot, e));

    DlgAddDNS dialog(slot);
    EXPECT_TRUE(dialog.IsUpdate());
    EXPECT_EQ(dialog.windowTitle(), "Update DNS");
    EXPECT_EQ(dialog.okButton->text(), "Update");
    EXPECT_EQ(dialog.recordType->currentText(), "NS");
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(dialog.server->Octet(i)->text(), (QStringList{"203", "0", "113", "5"}[i]));
    EXPECT_EQ(dialog.itemName->text(), "ns item");
    EXPECT_EQ(dialog.description->toPlainText(), "line one\nline two");
    EXPECT_EQ(dialog.mailGroup->text(), "-4");
    EXPECT_EQ(dialog.continuousLost->Edit()->text(), "9");
    EXPECT_EQ(dialog.interval->Edit()->text(), "1500");
    EXPECT_EQ(dialog.timeout->Edit()->text(), "700");
    EXPECT_TRUE(dialog.notifyDown->isChecked());
    EXPECT_FALSE(dialog.notifyUp->isChecked());
    EXPECT_FALSE(dialog.recursionAvailable->isChecked());
    EXPECT_TRUE(dialog.highPriority->isChecked());

    // Typed text that names no entry stores the first.
    dialog.recordType->setEditText("SPF");
    dialog.notifyUp->setChecked(true);
    ASSERT_TRUE(Confirm(dialog));
    const DnsItem& item = LockItems()->items[slot];
    EXPECT_EQ(item.typeIndex, 0u);
    EXPECT_NE(item.flags & kFlagNotifyUp, 0u);
    EXPECT_EQ(item.rowPosition, 1);
    EXPECT_EQ(LockItems()->rowToSlot[1], slot);
    EXPECT_EQ(LockItems()->rowCount, 2u);
    EXPECT_EQ(LockItems()->liveCount, 2u);
    EXPECT_EQ(LockItems()->highWater, 2u);

    // Cancel writes nothing.
    DlgAddDNS again(slot);
    again.itemName->setText("changed");
    again.cancelButton->click();
    EXPECT_EQ(LockItems()->blocks[slot].name, "ns item");
}

TEST_F(ItemDialogTest, EnterConfirmsFromAnyFieldButTheDescription)
{
    DlgAddDNS dialog(NewSlot());
    bool accepted = false;
    QObject::connect(&dialog, &QDialog::accepted, [&] { accepted = true; });
    dialog.server->SetText("192.0.2.1");
    dialog.show();
    QTest::keyClick(dialog.description, Qt::Key_Return);
    EXPECT_FALSE(accepted);
    EXPECT_EQ(dialog.description->toPlainText(), "\n");
    QTest::keyClick(dialog.recordType, Qt::Key_Return);
    EXPECT_TRUE(accepted);

    DlgAddDNS second(NewSlot());
    bool secondAccepted = false;
    QObject::connect(&second, &QDialog::accepted, [&] { secondAccepted = true; });
    second.server->SetText("192.0.2.2");
    second.show();
    QTest::keyClick(second.itemName, Qt::Key_Return);
    EXPECT_TRUE(secondAccepted);
}

TEST_F(ItemDialogTest, AnIpv6ServerIsCheckedStoredAndShownInTheList)
{
    {
        DlgAddDNS dialog(NewSlot());
        dialog.server->SetText("192.0.2.1"); // not asked while the IPv6 field holds text
        ModalDriver driver;
        for (const char* bad : {"2001:db8::zz", "fe80::1"}) {
            dialog.server6->setText(bad);
            EXPECT_FALSE(Confirm(dialog)) << bad;
        }
        EXPECT_FALSE(dialog.server->isEnabled());
        ASSERT_EQ(driver.boxes.size(), 2u);
        EXPECT_EQ(driver.boxes[0].text, "error dns server ip address !");
        EXPECT_TRUE(driver.boxes[1].text.contains("link-local")) << driver.boxes[1].text.toStdString();
        EXPECT_EQ(LockItems()->rowCount, 0u);
    }

    QTextEdit pane;
    CDnsItemView view(&pane, nullptr);
    CDnsItemModel* model = view.List()->Model();
    {
        ModalDriver adding([&](QWidget* modal) {
            auto* dialog = qobject_cast<DlgAddDNS*>(modal);
            ASSERT_NE(dialog, nullptr);
            dialog->itemName->setText("six");
            dialog->server6->setText(" 2001:DB8:0:0::0053 ");
            dialog->okButton->click();
        });
        view.OnAdd();
        EXPECT_TRUE(adding.boxes.empty());
    }
    ASSERT_EQ(model->rowCount(), 1);
    EXPECT_EQ(model->TextAt(0, kColServer), "2001:db8::53");
    const std::uint32_t slot = LockItems()->rowToSlot[0];
    EXPECT_EQ(LockItems()->items[slot].server.family, kEndpointFamily6);

    // Update shows it in the IPv6 field; emptying that field gives the IPv4
    // fields their say again.
    bool shown = false;
    ModalDriver updating([&](QWidget* modal) {
        auto* dialog = qobject_cast<DlgAddDNS*>(modal);
        ASSERT_NE(dialog, nullptr);
        shown = dialog->server6->text() == "2001:db8::53" && !dialog->server->isEnabled() &&
                dialog->server->Octet(0)->text().isEmpty();
        dialog->server6->clear();
        dialog->server->SetText("192.0.2.7");
        dialog->okButton->click();
    });
    view.OnUpdate(0);
    EXPECT_TRUE(shown);
    EXPECT_EQ(model->TextAt(0, kColServer), "192.0.2.7");
    EXPECT_EQ(LockItems()->items[slot].server.family, kEndpointFamily4);
}

TEST_F(ItemDialogTest, ConditionsAreCheckedStoredAndShownAgain)
{
    const std::uint32_t slot = NewSlot();
    {
        DlgAddDNS dialog(slot);
        dialog.server->SetText("192.0.2.53");
        dialog.domainName->setText("shop.example");
        dialog.recordType->setCurrentIndex(RecordTypeIndex("CAA"));
        dialog.conditions->mode->setCurrentIndex(dialog.conditions->mode->findText("matches"));
        dialog.conditions->values->setPlainText("(unclosed");
        ModalDriver driver;
        EXPECT_FALSE(Confirm(dialog));
        ASSERT_EQ(driver.boxes.size(), 1u);
        EXPECT_TRUE(driver.boxes[0].text.startsWith("the pattern does not compile")) << driver.boxes[0].text.toStdString();
        EXPECT_EQ(LockItems()->rowCount, 0u);

        dialog.conditions->mode->setCurrentIndex(dialog.conditions->mode->findText("contains"));
        dialog.conditions->values->setPlainText("0 issue \"ca.example\"\n\n0 issuewild \";\"");
        dialog.conditions->validated->setChecked(true);
        dialog.conditions->signatureWarning->setChecked(true);
        dialog.conditions->signatureDays->setValue(10);
        EXPECT_TRUE(Confirm(dialog));
    }
    const ConditionFields stored = FieldsOf(AnswerOf(slot).conditions);
    EXPECT_EQ(stored.mode, "contains");
    EXPECT_EQ(stored.values, "0 issue \"ca.example\"\n0 issuewild \";\"");
    EXPECT_EQ(stored.dnssec, "validated");
    EXPECT_EQ(stored.sigWarnDays, "10");
    DlgAddDNS again(slot);
    EXPECT_TRUE(again.IsUpdate());
    EXPECT_EQ(again.recordType->currentText(), "CAA");
    EXPECT_EQ(again.conditions->mode->currentText(), "contains");
    EXPECT_EQ(again.conditions->signatureDays->value(), 10);
    again.conditions->mode->setCurrentIndex(0); // no values expected any more
    EXPECT_TRUE(Confirm(again));
    EXPECT_EQ(AnswerOf(slot).conditions.mode, ExpectMode::None);
    EXPECT_TRUE(AnswerOf(slot).conditions.validated);
}

TEST_F(ItemDialogTest, TransportIsCheckedStoredAndShownAgain)
{
    const std::uint32_t slot = NewSlot();
    DlgAddDNS dialog(slot);
    dialog.itemName->setText("doh");
    dialog.server->SetText("192.0.2.53");
    EXPECT_FALSE(dialog.transport->url->isEnabled()) << "UDP takes no URL";
    dialog.transport->transport->setCurrentIndex(static_cast<int>(Transport::kHttps));
    EXPECT_TRUE(dialog.transport->url->isEnabled());
    EXPECT_FALSE(dialog.transport->tlsName->isEnabled());
    ModalDriver driver;
    dialog.transport->url->setText("http://dns.example/dns-query");
    EXPECT_FALSE(Confirm(dialog));
    ASSERT_EQ(driver.boxes.size(), 1u);
    EXPECT_TRUE(driver.boxes[0].text.startsWith("url:")) << driver.boxes[0].text.toStdString();
    dialog.transport->url->setText("https://dns.example/dns-query");
    dialog.transport->certWarnDays->setValue(14);
    ASSERT_TRUE(Confirm(dialog));

    DlgAddDNS update(slot);
    EXPECT_EQ(update.transport->transport->currentIndex(), static_cast<int>(Transport::kHttps));
    EXPECT_EQ(update.transport->url->text(), "https://dns.example/dns-query");
    EXPECT_EQ(update.transport->certWarnDays->value(), 14);
    // Back to UDP: what only the encrypted transports take is dropped, not refused.
    update.transport->transport->setCurrentIndex(static_cast<int>(Transport::kUdp));
    ASSERT_TRUE(Confirm(update));
    std::lock_guard lock(EngineLock());
    EXPECT_EQ(TransportOf(slot).settings, ItemTransport{});
}
