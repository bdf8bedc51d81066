#include "ui/setup/page_messenger.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include <atomic>

#include "alerts/dispatch.h"
#include "alerts/netsend_thread.h"
#include "config/settings.h"
#include "ui/platform/edit_controls.h"
#include "ui/platform/message_box.h"
#include "ui/platform/qt_text.h"
#include "ui/setup/address_dialog.h"
#include "ui/setup/address_list.h"
#include "ui/setup/dialog_buttons.h"
#include "ui/setup/page_window.h"

namespace varnell {

namespace {

constexpr int kNumberTextLimit = 254;
// The low 16 bits of a cookie index the test's record, the rest tells tests apart.
constexpr std::uint32_t kCookieStep = 65536;

// Cookies of earlier tests (of any page) are never reused during a run.
std::uint32_t g_testBase = 0;

} // namespace

// --- page ----------------------------------------------------------------------------

CDlgMessenger::CDlgMessenger(QWidget* parent)
    : CDialogBase(parent),
      window_(std::make_unique<PageWindow>([this](const WindowMessage& m) {
          if (m.id == WM_NETSEND_DONE)
              OnSendDone(m);
      }))
{
    setObjectName(QStringLiteral("pageMessenger"));
    retryTimes = new SpinEdit(this);
    senderName = new QLineEdit(this);
    testMessage = new QLineEdit(this);
    receivers = MakeOneColumnList(this, QString(), 0);
    addButton = PlainButton("Add", this);
    deleteButton = PlainButton("Delete", this);
    testButton = PlainButton("Send test Messenger", this);

    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel(QStringLiteral("Send message retry times:"), this), 0, 0);
    grid->addWidget(retryTimes, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("Messenger from(less than 15 characters):"), this), 1, 0);
    grid->addWidget(senderName, 1, 1);
    grid->setColumnStretch(1, 1);
    auto* listRow = ListWithButtons(receivers, addButton, deleteButton);
    auto* testRow = new QHBoxLayout;
    testRow->addWidget(testButton);
    testRow->addWidget(testMessage, 1);
    auto* column = new QVBoxLayout(this);
    column->addLayout(grid);
    column->addWidget(new QLabel(QStringLiteral("Messenger Receiver IP"), this));
    column->addLayout(listRow, 1);
    column->addLayout(testRow);

    MessengerSettings& m = CurrentSettings().messenger;
    GeneralSettings& g = CurrentSettings().general;
    retryTimes->Edit()->setText(QString::number(m.retryTimes));
    // The setting itself gets the default name, so that event messages carry it
    // even if this dialog is cancelled.
    if (g.texts[kTextSenderName].empty())
        g.texts[kTextSenderName] = "administrator";
    senderName->setText(ToQt(g.texts[kTextSenderName]));
    testMessage->setText(ToQt(g.texts[kTextMsgTest]));
    for (std::uint32_t address : m.receivers)
        AppendRow(receivers, AddressText(address));

    connect(addButton, &QPushButton::clicked, this, &CDlgMessenger::OnAdd);
    connect(deleteButton, &QPushButton::clicked, this, &CDlgMessenger::OnDelete);
    connect(testButton, &QPushButton::clicked, this, &CDlgMessenger::OnTest);
    connect(receivers, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) { OnEdit(item); });
    InstallKeyFilter();
}

CDlgMessenger::~CDlgMessenger() = default;

bool CDlgMessenger::RunReceiverDialog(QString& address)
{
    if (editReceiver)
        return editReceiver(address);
    CAddressDialog dialog(kMessengerReceiverDialog, address, this);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    address = dialog.Address();
    return true;
}

void CDlgMessenger::OnAdd()
{
    QString address;
    if (RunReceiverDialog(address))
        AppendRow(receivers, address);
}

void CDlgMessenger::OnEdit(QTreeWidgetItem* item)
{
    if (item == nullptr)
        return;
    QString address = item->text(0);
    if (RunReceiverDialog(address))
        item->setText(0, address);
}

void CDlgMessenger::OnDelete()
{
    DeleteSelectedRow(receivers);
}

int CDlgMessenger::Apply()
{
    GeneralSettings& g = CurrentSettings().general;
    g.texts[kTextSenderName] = CutText(senderName->text(), kMessengerTextLimit);
    g.texts[kTextMsgTest] = CutText(testMessage->text(), kMessengerTextLimit);
    const QStringList rows = ListTexts(receivers);
    // An emptied list keeps the stored receivers (and their retries).
    if (rows.isEmpty())
        return 0;
    MessengerSettings& m = CurrentSettings().messenger;
    std::vector<std::uint32_t> list;
    list.reserve(static_cast<std::size_t>(rows.size()));
    for (const QString& row : rows)
        list.push_back(AddressFromText(row));
    // The network message worker reads the retries while it sends, without a lock.
    std::atomic_ref<std::int32_t>(m.retryTimes)
        .store(DialogNumber(retryTimes->Edit()->text().left(kNumberTextLimit).toStdString()), std::memory_order_relaxed);
    m.receivers = std::move(list);
    return 0;
}

void CDlgMessenger::OnTest()
{
    if (testRunning_) {
        ShowPageMessage(this, QStringLiteral("Now it is in testing!"), ApplicationTitleText(), BoxIcon::Error);
        return;
    }
    const QStringList rows = ListTexts(receivers);
    if (rows.isEmpty()) {
        ShowPageMessage(this, QStringLiteral("No message receiver!"), ApplicationTitleText(), BoxIcon::Error);
        return;
    }
    const std::string sender = senderName->text().toStdString();
    const std::string message = testMessage->text().toStdString();
    records_.assign(static_cast<std::size_t>(rows.size()), TestRecord{});
    cnetsendthread* worker = NetSendWorker();
    bool queued = false;
    for (std::size_t j = 0; j < records_.size(); ++j) {
        TestRecord& r = records_[j];
        const QString& row = rows[static_cast<qsizetype>(j)];
        r.receiver = row.left(kTestReceiverLimit);
        r.cookie = g_testBase + static_cast<std::uint32_t>(j);
        const int posted = worker != nullptr ? worker->Post(window_->Id(), r.cookie, row.toStdString(), message, sender)
                                             : -1;
        r.status = posted == -1 ? -1 : 0;
        queued = queued || posted != -1;
    }
    g_testBase += kCookieStep;
    testRunning_ = queued;
}

void CDlgMessenger::OnSendDone(const WindowMessage& message)
{
    const auto cookie = static_cast<std::uint32_t>(message.wparam);
    const std::size_t index = cookie % kCookieStep;
    // A reply to an earlier test, or to none of this page's.
    if (index >= records_.size() || records_[index].cookie != cookie)
        return;
    TestRecord& r = records_[index];
    if (message.lparam == 0) {
        r.status = 1;
    } else {
        r.status = -2;
        r.error = message.lparam;
    }
    for (const TestRecord& each : records_)
        if (each.status == 0)
            return;
    if (!testRunning_)
        return;
    testRunning_ = false;
    ShowPageMessage(this, MessengerTestReport(records_), QStringLiteral("Test Send"), BoxIcon::Information);
}

QString MessengerTestReport(const std::vector<CDlgMessenger::TestRecord>& records)
{
    QString report = QStringLiteral("The test result is:\r\n");
    for (const CDlgMessenger::TestRecord& r : records) {
        report += r.receiver;
        switch (r.status) {
        case 1:
            report += QStringLiteral(" had been sent\r\n");
            break;
        case -1:
            report += QStringLiteral(" can't be sent\r\n");
            break;
        case -2:
            report += QStringLiteral("  error code is ") + QString::number(r.error) + QStringLiteral("\r\n");
            break;
        default:
            break;
        }
    }
    return report;
}

} // namespace varnell
