#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <memory>

#include "alerts/event_list.h"
#include "items/item_table.h"
#include "tests/ui/items/view_test_support.h"
#include "tests/ui/qt_test_env.h"
#include "ui/items/dns_item_view.h"
#include "ui/items/item_dialog.h"
#include "ui/main/main_frame.h"
#include "ui/platform/file_dialog.h"

using namespace varnell;
using namespace varnell::test;

namespace {

void WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

QByteArray ReadFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

TEST(ItemCsvMenuTest, ImportAndExportGoThroughTheFileMenuAllOrNothing)
{
    InitItemTable();
    ClearEventList();
    auto frame = std::make_unique<CMainFrame>();
    frame->Create();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString in = dir.filePath(QStringLiteral("in.csv"));
    const QString bad = dir.filePath(QStringLiteral("bad.csv"));
    const QString out = dir.filePath(QStringLiteral("out.csv"));
    const QByteArray items =
        "name,domain,type,server,interval_ms,timeout_ms,continuous_lost,notify_down,notify_up,notify_change,"
        "recursion_desired,high_priority,suspended,description,recursion_available,expect_mode,expect,expect_rcode,"
        "dnssec,sig_warn_days,transport,tls_name,url,tls_pin,cert_warn_days\r\n"
        "mail,example.test,MX,192.0.2.2,5000,700,3,0,1,0,1,0,1,,0,,,,,,tls,dns.example.test,,,30\r\n"
        "web,www.example.test,A,192.0.2.1,1000,2000,6,1,1,1,1,0,0,\"front, \"\"main\"\"\nsecond line\",1,,,,,,udp,,,,\r\n";
    WriteFile(in, items);
    WriteFile(bad, "name,domain,type,server\nthird,third.example.test,A,192.0.2.3\nfourth,x.test,A,300.1.1.1\n");
    QString chosen;
    SetFileChooserHook([&](const FileRequest&) { return chosen; });

    chosen = in;
    frame->Action(kCmdImportItems)->trigger();
    CDnsItemModel* model = frame->ItemView()->List()->Model();
    ASSERT_EQ(model->rowCount(), 2);
    EXPECT_EQ(model->TextAt(1, 1), "web");
    EXPECT_EQ(model->TextAt(0, 3), "MX");

    chosen = out;
    frame->Action(kCmdExportItems)->trigger();
    EXPECT_EQ(ReadFile(out), items);

    {
        ModalDriver driver;
        chosen = bad;
        frame->Action(kCmdImportItems)->trigger();
        ASSERT_EQ(driver.boxes.size(), 1u);
        EXPECT_EQ(driver.boxes[0].text, "Nothing was imported:\nLine 3: error dns server ip address !");
    }
    EXPECT_EQ(model->rowCount(), 2);
    EXPECT_EQ(LockItems()->liveCount, 2u);

    // The item dialog keeps to the same rules: an imported name is taken.
    {
        DlgAddDNS dialog(static_cast<std::uint32_t>(NewItemSlot()));
        dialog.itemName->setText(QStringLiteral("mail"));
        dialog.server->SetText(QStringLiteral("192.0.2.9"));
        ModalDriver driver;
        dialog.okButton->click();
        ASSERT_EQ(driver.boxes.size(), 1u);
        EXPECT_EQ(driver.boxes[0].text, "An item named \"mail\" already exists.");
        EXPECT_EQ(LockItems()->liveCount, 2u);
    }
    SetFileChooserHook(nullptr);
}
