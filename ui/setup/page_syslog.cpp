#include "ui/setup/page_syslog.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include <vector>

#include "alerts/syslog.h"
#include "config/settings.h"
#include "ui/platform/message_box.h"
#include "ui/platform/qt_text.h"
#include "ui/setup/address_dialog.h"
#include "ui/setup/address_list.h"
#include "ui/setup/dialog_buttons.h"

namespace varnell {

const std::array<const char*, kFacilityCount> kFacilityLabels{
    "kernel", "user-level", "mail",      "daemon",    "security", "syslogd", "printer", "news",
    "UUCP",   "clock1",     "auth",      "FTP",       "NTP",      "log audit", "log alert", "clock2",
    "local0", "local1",     "local2",    "local3",    "local4",   "local5",  "local6",  "local7"};
const std::array<const char*, kSeverityCount> kSeverityLabels{"Emergency", "Alert",  "Critical",      "Error",
                                                              "Warning",   "Notice", "Informational", "Debug"};

namespace {

constexpr int kServerColumnWidth = 120;

} // namespace

// --- page ----------------------------------------------------------------------------

CDlgSyslog::CDlgSyslog(QWidget* parent) : CDialogBase(parent)
{
    setObjectName(QStringLiteral("pageSyslog"));
    auto* facilityBox = new QGroupBox(QStringLiteral("Facility"), this);
    auto* severityBox = new QGroupBox(QStringLiteral("Severity"), this);
    facilityGroup = new QButtonGroup(this);
    severityGroup = new QButtonGroup(this);
    auto* facilityGrid = new QGridLayout(facilityBox);
    for (int i = 0; i < kFacilityCount; ++i) {
        auto* radio = new QRadioButton(QString::fromLatin1(kFacilityLabels[static_cast<std::size_t>(i)]), facilityBox);
        facilityGroup->addButton(radio, kFacilityIdBase + i);
        facilityGrid->addWidget(radio, i % 8, i / 8);
        facilities_[static_cast<std::size_t>(i)] = radio;
    }
    auto* severityColumn = new QVBoxLayout(severityBox);
    for (int i = 0; i < kSeverityCount; ++i) {
        auto* radio = new QRadioButton(QString::fromLatin1(kSeverityLabels[static_cast<std::size_t>(i)]), severityBox);
        severityGroup->addButton(radio, kSeverityIdBase + i);
        severityColumn->addWidget(radio);
        severities_[static_cast<std::size_t>(i)] = radio;
    }
    // Kept for the control numbering; never shown or chosen.
    severityNone = new QRadioButton(QStringLiteral("None"), severityBox);
    severityGroup->addButton(severityNone, kSeverityNoneId);
    severityNone->setVisible(false);
    severityNone->setEnabled(false);
    severityColumn->addWidget(severityNone);

    servers = MakeOneColumnList(this, QStringLiteral("Syslog Server IP"), kServerColumnWidth);
    addButton = PlainButton("Add", this);
    deleteButton = PlainButton("Delete", this);
    testButton = PlainButton("Send test Message :", this);
    testMessage = new QLineEdit(this);

    auto* radios = new QHBoxLayout;
    radios->addWidget(facilityBox, 3);
    radios->addWidget(severityBox, 1);
    auto* listRow = ListWithButtons(servers, addButton, deleteButton);
    auto* testRow = new QHBoxLayout;
    testRow->addWidget(testButton);
    testRow->addWidget(testMessage, 1);
    auto* column = new QVBoxLayout(this);
    column->addLayout(radios);
    column->addLayout(listRow, 1);
    column->addLayout(testRow);

    const Settings& s = CurrentSettings();
    testMessage->setText(ToQt(s.syslog.testMessage));
    for (std::uint32_t address : s.syslog.servers)
        AppendRow(servers, AddressText(address));
    // A stored value outside the table leaves its group unchecked; apply then keeps it.
    if (QAbstractButton* f = facilityGroup->button(kFacilityIdBase + static_cast<int>(s.general.Facility())))
        f->setChecked(true);
    if (s.general.Severity() < kSeverityCount)
        severities_[s.general.Severity()]->setChecked(true);

    connect(addButton, &QPushButton::clicked, this, &CDlgSyslog::OnAdd);
    connect(deleteButton, &QPushButton::clicked, this, &CDlgSyslog::OnDelete);
    connect(testButton, &QPushButton::clicked, this, &CDlgSyslog::OnTest);
    connect(servers, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) { OnEdit(item); });
    InstallKeyFilter();
}

bool CDlgSyslog::RunServerDialog(std::uint32_t& addressBE)
{
    if (editServer)
        return editServer(addressBE);
    CAddressDialog dialog(kSyslogServerDialog, addressBE != 0 ? AddressText(addressBE) : QString(), this);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    addressBE = dialog.AddressBE();
    return true;
}

void CDlgSyslog::OnAdd()
{
    if (servers->topLevelItemCount() >= static_cast<int>(kMaxSyslogServers))
        return;
    std::uint32_t address = 0;
    if (RunServerDialog(address))
        AppendRow(servers, AddressText(address));
}

void CDlgSyslog::OnEdit(QTreeWidgetItem* item)
{
    if (item == nullptr)
        return;
    std::uint32_t address = AddressFromText(item->text(0));
    if (RunServerDialog(address))
        item->setText(0, AddressText(address));
}

void CDlgSyslog::OnDelete()
{
    DeleteSelectedRow(servers);
}

void CDlgSyslog::OnTest()
{
    const std::string text = CutText(testMessage->text().left(kSyslogTestMessageLimit), 4 * kSyslogTestMessageLimit);
    if (text.empty()) {
        ShowPageMessage(this, QStringLiteral("No message!"), ApplicationTitleText(), BoxIcon::Error);
        return;
    }
    const QStringList rows = ListTexts(servers);
    if (rows.isEmpty()) {
        ShowPageMessage(this, QStringLiteral("No Syslog Server!"), ApplicationTitleText(), BoxIcon::Error);
        return;
    }
    // The rows as they stand in the page, saved or not.
    std::vector<std::uint32_t> to;
    for (const QString& row : rows)
        to.push_back(AddressFromText(row));
    SendSyslogTest(text, to.data(), to.size());
}

int CDlgSyslog::Apply()
{
    Settings& s = CurrentSettings();
    s.syslog.testMessage = testMessage->text().toStdString();
    std::uint32_t flags = s.general.Flags();
    const int facility = facilityGroup->checkedId();
    if (facility >= kFacilityIdBase && facility < kFacilityIdBase + kFacilityCount)
        flags = (flags & ~kGenFacilityMask) | (static_cast<std::uint32_t>(facility - kFacilityIdBase) << kGenFacilityShift);
    const int severity = severityGroup->checkedId();
    if (severity >= kSeverityIdBase && severity < kSeverityIdBase + kSeverityCount)
        flags = (flags & ~kGenSeverityMask) | (static_cast<std::uint32_t>(severity - kSeverityIdBase) << kGenSeverityShift);
    s.general.SetFlags(flags);

    const QStringList rows = ListTexts(servers);
    // An emptied list keeps the stored servers.
    if (rows.isEmpty())
        return 0;
    std::vector<std::uint32_t> list;
    for (const QString& row : rows) {
        if (list.size() == kMaxSyslogServers)
            break;
        list.push_back(AddressFromText(row));
    }
    s.syslog.servers = std::move(list);
    return 0;
}

} // namespace varnell
