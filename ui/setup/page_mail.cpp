#include "ui/setup/page_mail.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include <new>
#include <string>
#include <utility>
#include <vector>

#include "alerts/dispatch.h"
#include "alerts/mail_thread.h"
#include "config/settings.h"
#include "ui/platform/edit_controls.h"
#include "ui/platform/message_box.h"
#include "ui/platform/file_dialog.h"
#include "ui/platform/qt_text.h"
#include "ui/setup/address_dialog.h"
#include "ui/setup/address_list.h"
#include "ui/setup/dialog_buttons.h"
#include "ui/setup/page_window.h"

namespace varnell {

namespace {

constexpr int kReceiverColumnWidth = 265;

QLabel* Label(const char* text, QWidget* parent) { return new QLabel(QString::fromLatin1(text), parent); }

std::uint16_t PortNumber(const QLineEdit* edit)
{
    // Stored as 32 bits, used as 16.
    return static_cast<std::uint16_t>(DialogNumber(edit->text().left(kPortTextLimit).toStdString()));
}

} // namespace

// --- page ----------------------------------------------------------------------------

CDlgMail::CDlgMail(QWidget* parent)
    : CDialogBase(parent),
      window_(std::make_unique<PageWindow>([this](const WindowMessage& m) {
          if (m.id == WM_ACTION_DONE)
              OnTestDone(m);
      }))
{
    setObjectName(QStringLiteral("pageMail"));
    server = new QLineEdit(this);
    port = new QLineEdit(this);
    needLogon = new QCheckBox(QStringLiteral("SMTP Need Logon"), this);
    user = new QLineEdit(this);
    password = new QLineEdit(this);
    password->setEchoMode(QLineEdit::Password);
    fromAddress = new QLineEdit(this);
    fromName = new QLineEdit(this);
    subject = new QLineEdit(this);
    highPriority = new QCheckBox(QStringLiteral("Set Mail to High Priority"), this);
    clearLogonWarning = Label("Security is None: the user name and password go to the server readable.", this);
    clearLogonWarning->setWordWrap(true);
    security = new QComboBox(this);
    security->addItems({QStringLiteral("None"), QStringLiteral("STARTTLS"), QStringLiteral("SSL/TLS")});
    caFile = new QLineEdit(this);
    caFile->setPlaceholderText(QStringLiteral("the system's trusted certificates"));
    caChooseButton = PlainButton("Choose", this);
    receivers = MakeOneColumnList(this, QStringLiteral("Email To"), kReceiverColumnWidth);
    addButton = PlainButton("Add", this);
    deleteButton = PlainButton("Delete", this);
    testButton = PlainButton("Send test Email", this);

    auto* grid = new QGridLayout;
    grid->addWidget(Label("SMTP Server:", this), 0, 0);
    grid->addWidget(server, 0, 1);
    grid->addWidget(Label("Port:", this), 0, 2);
    grid->addWidget(port, 0, 3);
    port->setMaximumWidth(port->fontMetrics().horizontalAdvance(QStringLiteral("000000")) + 16);
    grid->addWidget(needLogon, 1, 0, 1, 4);
    int row = 2;
    for (auto [label, edit] : {std::pair{"SMTP User:", user}, std::pair{"Password:", password},
                               std::pair{"Email Address From :", fromAddress}, std::pair{"Email Name From :", fromName},
                               std::pair{"Subject:", subject}}) {
        grid->addWidget(Label(label, this), row, 0);
        grid->addWidget(edit, row, 1, 1, 3);
        ++row;
        if (edit == password)
            grid->addWidget(clearLogonWarning, row++, 1, 1, 3);
    }
    grid->addWidget(Label("Security:", this), row, 0);
    grid->addWidget(security, row, 1);
    ++row;
    grid->addWidget(Label("CA file:", this), row, 0);
    grid->addWidget(caFile, row, 1, 1, 2);
    grid->addWidget(caChooseButton, row, 3);
    ++row;
    grid->addWidget(highPriority, row, 0, 1, 4);
    grid->setColumnStretch(1, 1);
    auto* listRow = ListWithButtons(receivers, addButton, deleteButton, testButton);
    auto* column = new QVBoxLayout(this);
    column->addLayout(grid);
    column->addLayout(listRow, 1);

    const MailSettings& m = CurrentSettings().mail;
    needLogon->setChecked((m.flags & kMailNeedLogon) != 0);
    server->setText(ToQt(m.server));
    user->setText(ToQt(m.user));
    password->setText(ToQt(m.password));
    fromAddress->setText(ToQt(m.fromAddress));
    fromName->setText(ToQt(m.fromName));
    subject->setText(ToQt(m.testSubject));
    highPriority->setChecked((m.flags & kMailHighPriority) != 0);
    port->setText(QString::number(m.port));
    for (const std::string& r : m.receivers)
        AppendRow(receivers, ToQt(r));
    OnNeedLogon();
    const ExtraSettings& extra = CurrentSettings().extra;
    // A value this page does not know shows as STARTTLS, as the worker takes it.
    security->setCurrentIndex(static_cast<int>(MailTlsOf(extra.mailSecurity, {}).security));
    caFile->setText(QString::fromStdString(extra.mailCaFile));
    caFile->setEnabled(security->currentIndex() != 0);
    caChooseButton->setEnabled(security->currentIndex() != 0);
    ShowClearLogonWarning();

    connect(needLogon, &QCheckBox::toggled, this, &CDlgMail::OnNeedLogon);
    connect(addButton, &QPushButton::clicked, this, &CDlgMail::OnAdd);
    connect(deleteButton, &QPushButton::clicked, this, &CDlgMail::OnDelete);
    connect(testButton, &QPushButton::clicked, this, &CDlgMail::OnTestMail);
    connect(security, &QComboBox::currentIndexChanged, this, &CDlgMail::OnSecurityChanged);
    connect(caChooseButton, &QPushButton::clicked, this, &CDlgMail::OnChooseCaFile);
    connect(receivers, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) { OnEdit(item); });
    InstallKeyFilter();
}

CDlgMail::~CDlgMail() = default;

void CDlgMail::OnNeedLogon()
{
    const bool on = needLogon->isChecked();
    user->setEnabled(on);
    password->setEnabled(on);
    ShowClearLogonWarning();
}

void CDlgMail::ShowClearLogonWarning()
{
    clearLogonWarning->setVisible(security->currentIndex() == static_cast<int>(SmtpSecurity::kPlain));
    clearLogonWarning->setEnabled(needLogon->isChecked());
}

bool CDlgMail::RunReceiverDialog(QString& address)
{
    if (editReceiver)
        return editReceiver(address);
    CAddressDialog dialog(kMailReceiverDialog, address, this);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    address = dialog.Address();
    return true;
}

void CDlgMail::OnAdd()
{
    QString address;
    if (RunReceiverDialog(address))
        AppendRow(receivers, address);
}

void CDlgMail::OnEdit(QTreeWidgetItem* item)
{
    if (item == nullptr)
        return;
    QString address = item->text(0);
    if (RunReceiverDialog(address))
        item->setText(0, address);
}

void CDlgMail::OnDelete()
{
    DeleteSelectedRow(receivers);
}

void CDlgMail::OnSecurityChanged(int index)
{
    const std::uint16_t now = PortNumber(port);
    if (index == static_cast<int>(SmtpSecurity::kStartTls) && now == 25)
        port->setText(QStringLiteral("587"));
    else if (index == static_cast<int>(SmtpSecurity::kImplicitTls) && (now == 25 || now == 587))
        port->setText(QStringLiteral("465"));
    caFile->setEnabled(index != 0);
    caChooseButton->setEnabled(index != 0);
    ShowClearLogonWarning();
}

void CDlgMail::OnChooseCaFile()
{
    FileRequest request;
    request.filter = "All files|*|Certificates|*.pem;*.crt;*.cer||";
    request.start = caFile->text();
    const QString path = ChooseFile(this, request);
    if (!path.isEmpty())
        caFile->setText(path);
}

MailTls CDlgMail::PageTls() const
{
    return MailTlsOf(static_cast<std::uint32_t>(security->currentIndex()), caFile->text().toStdString());
}

int CDlgMail::Apply()
{
    MailSettings& m = CurrentSettings().mail;
    m.server = server->text().toStdString();
    m.user = user->text().toStdString();
    m.password = password->text().toStdString();
    m.fromAddress = fromAddress->text().toStdString();
    m.fromName = fromName->text().toStdString();
    m.testSubject = subject->text().toStdString();
    m.flags &= ~(kMailHighPriority | kMailNeedLogon);
    if (highPriority->isChecked())
        m.flags |= kMailHighPriority;
    if (needLogon->isChecked())
        m.flags |= kMailNeedLogon;
    m.port = DialogNumber(port->text().left(kPortTextLimit).toStdString());
    ExtraSettings& extra = CurrentSettings().extra;
    extra.mailSecurity = static_cast<std::uint32_t>(security->currentIndex());
    extra.mailCaFile = caFile->text().toStdString();

    const QStringList rows = ListTexts(receivers);
    // An emptied list keeps the stored receivers.
    if (rows.isEmpty())
        return 0;
    try {
        std::vector<std::string> list;
        list.reserve(static_cast<std::size_t>(rows.size()));
        for (const QString& row : rows)
            list.push_back(row.toStdString());
        m.receivers = std::move(list);
    } catch (const std::bad_alloc&) {
        m.receivers.clear();
        return -1;
    }
    return 0;
}

void CDlgMail::OnTestMail()
{
    if (testRunning_) {
        ShowPageMessage(this, QStringLiteral("Now it is in mail testing!"), ApplicationTitleText(), BoxIcon::Error);
        return;
    }
    // What the page shows now, saved or not: the point of the test is to try
    // settings before keeping them.
    std::vector<std::string> to;
    for (const QString& row : ListTexts(receivers))
        to.push_back(row.toStdString());
    const std::string text = subject->text().toStdString();
    cmailthread* worker = MailWorker();
    const int queued =
        worker != nullptr
            ? worker->Post(window_->Id(), server->text().toStdString(), PortNumber(port),
                           fromAddress->text().toStdString(), fromName->text().toStdString(), needLogon->isChecked(),
                           user->text().toStdString(), password->text().toStdString(), to, text, text,
                           highPriority->isChecked(), PageTls())
            : -1;
    if (queued == 0) {
        testRunning_ = true;
        return;
    }
    // Refused (no receiver, or no worker to take it): say so rather than nothing.
    ShowPageMessage(this, QStringLiteral("Send mail failed!"), ApplicationTitleText(), BoxIcon::None);
}

void CDlgMail::OnTestDone(const WindowMessage& message)
{
    if (!testRunning_)
        return;
    testRunning_ = false;
    if (message.lparam == 0) {
        // Sent, but not to everyone: the refused receivers, each with the server's reply.
        QString text = QStringLiteral("Send mail OK!");
        if (!message.text.empty())
            text += QStringLiteral("\nRefused: ") + QString::fromStdString(message.text);
        ShowPageMessage(this, text, ApplicationTitleText(), BoxIcon::None);
        return;
    }
    // The reason (a refused certificate, no STARTTLS, the time-out) is what the
    // operator needs to mend the settings.
    QString text = QStringLiteral("Send mail failed!");
    if (!message.text.empty())
        text += QStringLiteral("\n") + QString::fromStdString(message.text);
    ShowPageMessage(this, text, ApplicationTitleText(), BoxIcon::None);
}

} // namespace varnell
