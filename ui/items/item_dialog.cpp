#include "ui/items/item_dialog.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include <cctype>
#include <cstring>
#include <limits>

#include "base/net/address_text.h"
#include "config/settings.h"
#include "items/address6.h"
#include "items/answer_eval.h"
#include "items/item_entry.h"
#include "items/transport_state.h"
#include "ui/items/list_ctrl.h"
#include "ui/pictures/drawn_picture.h"
#include "ui/pictures/state_images.h"
#include "ui/platform/message_box.h"

namespace varnell {

namespace {

// How much of a field the conversions look at.
constexpr int kNumberTextLimit = 62;

QString Text(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

std::int32_t FieldNumber(const QLineEdit* edit, int limit)
{
    return DialogNumber(edit->text().left(limit).toStdString());
}

QPixmap PictureStrip(int width, int height, qreal ratio)
{
    // The three states an item moves through, down the strip, at twice the
    // list's size.
    const int cell = kListImageSize * 2;
    const QImage discs = StateImageStrip(2.0 * ratio);
    const int cellPixels = discs.height();
    return DrawnPixmap(QSize(width, height), ratio, [&](QPainter& p) {
        QLinearGradient shade(0, 0, 0, height);
        shade.setColorAt(0.0, QColor(28, 58, 110));
        shade.setColorAt(1.0, QColor(12, 24, 48));
        p.fillRect(QRect(0, 0, width, height), shade);
        const int x = (width - cell) / 2;
        for (int i = 0; i < 3; ++i)
            p.drawImage(QRectF(x, 24 + i * 56, cell, cell), discs.copy(cellPixels * i, 0, cellPixels, cellPixels));
    });
}

QGroupBox* Group(const char* title, QWidget* parent)
{
    return new QGroupBox(QString::fromLatin1(title), parent);
}

} // namespace

QString DomainNameProblem(const std::string& name) { return Text(CheckDomainName(name)); }

// --- dialog ------------------------------------------------------------------

DlgAddDNS::DlgAddDNS(std::uint32_t slot, QWidget* parent)
    : QDialog(parent), slot_(slot), update_(slot < kItemSlots && LockItems()->items[slot].rowPosition != -1)
{
    setModal(true);
    auto* picture = new QLabel(this);
    picture->setPixmap(PictureStrip(56, 460, devicePixelRatioF()));
    picture->setAlignment(Qt::AlignTop);

    // Descript  Setup
    auto* descript = Group("Descript  Setup", this);
    itemName = new QLineEdit(descript);
    description = new QPlainTextEdit(descript);
    description->setTabChangesFocus(true);
    description->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    description->setFixedHeight(description->fontMetrics().lineSpacing() * 3 + 10);
    auto* descriptGrid = new QGridLayout(descript);
    descriptGrid->addWidget(new QLabel(QStringLiteral("Item Name:"), descript), 0, 0);
    descriptGrid->addWidget(itemName, 0, 1);
    descriptGrid->addWidget(new QLabel(QStringLiteral("Description:"), descript), 1, 0, Qt::AlignTop);
    descriptGrid->addWidget(description, 1, 1);

    // Mail  Setup
    auto* mail = Group("Mail  Setup", this);
    mailGroup = new QLineEdit(mail);
    highPriority = new QCheckBox(QStringLiteral("Send Mail with High Priority"), mail);
    auto* mailGrid = new QGridLayout(mail);
    mailGrid->addWidget(new QLabel(QStringLiteral("Mail Group ID:"), mail), 0, 0);
    mailGrid->addWidget(mailGroup, 0, 1);
    mailGrid->addWidget(highPriority, 0, 2);

    // Monitor  Setup: Timer, Notify, Dns
    auto* monitor = Group("Monitor  Setup", this);
    auto* timer = Group("Timer", monitor);
    interval = new SpinEdit(timer);
    timeout = new SpinEdit(timer);
    auto* timerGrid = new QGridLayout(timer);
    timerGrid->addWidget(new QLabel(QStringLiteral("Interval :"), timer), 0, 0);
    timerGrid->addWidget(interval, 0, 1);
    timerGrid->addWidget(new QLabel(QStringLiteral("MS"), timer), 0, 2);
    timerGrid->addWidget(new QLabel(QStringLiteral("Timeout:"), timer), 1, 0);
    timerGrid->addWidget(timeout, 1, 1);
    timerGrid->addWidget(new QLabel(QStringLiteral("MS"), timer), 1, 2);

    auto* notify = Group("Notify", monitor);
    notifyDown = new QCheckBox(QStringLiteral("Notify item is Down"), notify);
    notifyUp = new QCheckBox(QStringLiteral("Notify item is Up"), notify);
    notifyChange = new QCheckBox(QStringLiteral("Notify item is changed"), notify);
    continuousLost = new SpinEdit(notify);
    auto* notifyGrid = new QGridLayout(notify);
    notifyGrid->addWidget(notifyDown, 0, 0, 1, 2);
    notifyGrid->addWidget(notifyUp, 1, 0, 1, 2);
    notifyGrid->addWidget(notifyChange, 2, 0, 1, 2);
    notifyGrid->addWidget(new QLabel(QStringLiteral("Continuous Lost :"), notify), 3, 0);
    notifyGrid->addWidget(continuousLost, 3, 1);

    auto* dns = Group("Dns", monitor);
    domainName = new QLineEdit(dns);
    recordType = new QComboBox(dns);
    recordType->setEditable(true);
    recordType->setInsertPolicy(QComboBox::NoInsert);
    for (std::uint32_t i = 0; i < kRecordTypeCount; ++i)
        recordType->addItem(QString::fromLatin1(RecordTypeName(i)));
    server = new AddressEdit(dns);
    server6 = new QLineEdit(dns);
    server6->setPlaceholderText(QStringLiteral("2001:db8::53"));
    connect(server6, &QLineEdit::textChanged, this,
            [this](const QString& text) { server->setEnabled(text.trimmed().isEmpty()); });
    recursionDesired = new QCheckBox(QStringLiteral("Request recursion desired"), dns);
    recursionAvailable = new QCheckBox(QStringLiteral("Reply recursion available"), dns);
    auto* dnsGrid = new QGridLayout(dns);
    dnsGrid->addWidget(new QLabel(QStringLiteral("Domain name :"), dns), 0, 0);
    dnsGrid->addWidget(domainName, 0, 1);
    dnsGrid->addWidget(new QLabel(QStringLiteral("Record Type :"), dns), 1, 0);
    dnsGrid->addWidget(recordType, 1, 1);
    dnsGrid->addWidget(new QLabel(QStringLiteral("DNS Server IP:"), dns), 2, 0);
    dnsGrid->addWidget(server, 2, 1);
    dnsGrid->addWidget(new QLabel(QStringLiteral("DNS Server IPv6:"), dns), 3, 0);
    dnsGrid->addWidget(server6, 3, 1);
    dnsGrid->addWidget(recursionDesired, 4, 0, 1, 2);
    dnsGrid->addWidget(recursionAvailable, 5, 0, 1, 2);
    dnsGrid->setRowStretch(6, 1);

    auto* monitorGrid = new QGridLayout(monitor);
    monitorGrid->addWidget(timer, 0, 0);
    monitorGrid->addWidget(notify, 1, 0);
    monitorGrid->addWidget(dns, 0, 1, 2, 1);

    cancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    okButton = new QPushButton(update_ ? QStringLiteral("Update") : QStringLiteral("Add"), this);
    okButton->setDefault(true);
    okButton->setAutoDefault(true);
    cancelButton->setAutoDefault(false);
    connect(okButton, &QPushButton::clicked, this, &DlgAddDNS::accept);
    connect(cancelButton, &QPushButton::clicked, this, &DlgAddDNS::reject);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cancelButton);
    buttons->addWidget(okButton);

    conditions = new ConditionsGroup(this);

    auto* fields = new QVBoxLayout;
    fields->addWidget(descript);
    fields->addWidget(mail);
    fields->addWidget(monitor);
    fields->addWidget(conditions);
    transport = new TransportGroup(this);
    fields->addWidget(transport);
    fields->addLayout(buttons);
    auto* whole = new QHBoxLayout(this);
    whole->addWidget(picture);
    whole->addLayout(fields, 1);

    setWindowTitle(update_ ? QStringLiteral("Update DNS") : QStringLiteral("Add DNS"));

    if (!update_) {
        const ItemEntry defaults;
        interval->Edit()->setText(QString::number(defaults.interval));
        timeout->Edit()->setText(QString::number(defaults.timeout));
        recordType->setCurrentIndex(static_cast<int>(defaults.typeIndex));
        mailGroup->setText(QString::number(defaults.mailGroup));
        continuousLost->Edit()->setText(QString::number(defaults.lostCount));
        notifyDown->setChecked(defaults.notifyDown);
        notifyUp->setChecked(defaults.notifyUp);
        notifyChange->setChecked(defaults.notifyChange);
        recursionDesired->setChecked(defaults.recursionDesired);
        recursionAvailable->setChecked(defaults.recursionAvailable);
        highPriority->setChecked((CurrentSettings().mail.flags & kMailHighPriority) != 0);
        return;
    }
    const ItemEdit e = EditOf(LockItems()->items[slot]);
    {
        std::lock_guard lock(EngineLock());
        conditions->SetFields(FieldsOf(AnswerOf(slot).conditions));
    }
    itemName->setText(Text(e.name));
    domainName->setText(Text(e.domain));
    description->setPlainText(Text(e.description));
    mailGroup->setText(QString::number(e.mailGroup));
    continuousLost->Edit()->setText(QString::number(e.lostCount));
    interval->Edit()->setText(QString::number(e.interval));
    timeout->Edit()->setText(QString::number(e.timeout));
    recordType->setCurrentIndex(e.typeIndex < kRecordTypeCount ? static_cast<int>(e.typeIndex) : 0);
    if (e.server6)
        server6->setText(Text(Address6Text(e.server6Address)));
    else
        server->SetAddress(e.serverBE);
    notifyDown->setChecked(e.notifyDown);
    notifyUp->setChecked(e.notifyUp);
    notifyChange->setChecked(e.notifyChange);
    highPriority->setChecked(e.highPriorityMail);
    recursionDesired->setChecked(e.recursionDesired);
    recursionAvailable->setChecked(e.recursionAvailable);
    {
        std::lock_guard lock(EngineLock());
        transport->Show(TransportOf(slot).settings);
    }
}

QString DlgAddDNS::ReadFields(ItemEdit& edit) const
{
    ItemEntry entry;
    entry.name = itemName->text().toStdString();
    entry.description = description->toPlainText().toStdString();
    entry.domain = domainName->text().trimmed().toStdString();
    const QString typed6 = server6->text().trimmed();
    entry.server = (typed6.isEmpty() ? server->Text() : typed6).toStdString();
    entry.interval = FieldNumber(interval->Edit(), kNumberTextLimit);
    entry.timeout = FieldNumber(timeout->Edit(), kNumberTextLimit);
    entry.mailGroup = FieldNumber(mailGroup, kNumberTextLimit);
    entry.lostCount = FieldNumber(continuousLost->Edit(), kNumberTextLimit);
    entry.notifyDown = notifyDown->isChecked();
    entry.notifyUp = notifyUp->isChecked();
    entry.notifyChange = notifyChange->isChecked();
    entry.highPriorityMail = highPriority->isChecked();
    entry.recursionDesired = recursionDesired->isChecked();
    entry.recursionAvailable = recursionAvailable->isChecked();
    // The typed text picks its entry; text that is no entry means none is
    // selected, which stores the first.
    const int typed = RecordTypeIndex(recordType->currentText().toStdString());
    entry.typeIndex = typed < 0 ? 0u : static_cast<std::uint32_t>(typed);

    EntryTarget target;
    target.updateSlot = update_ ? static_cast<int>(slot_) : -1;
    if (const std::string problem = CheckItemEntry(entry, target, edit); !problem.empty())
        return Text(problem);
    return Text(CheckItemTransport(transport->Read()));
}

void DlgAddDNS::accept()
{
    if (slot_ >= kItemSlots) {
        reject();
        return;
    }
    ItemEdit edit;
    QString problem = ReadFields(edit);
    AnswerConditions answer;
    if (problem.isEmpty())
        problem = Text(ReadConditionFields(conditions->Fields(), answer));
    if (problem.isEmpty() && update_ && !ConditionsFit(slot_, edit.server6, answer))
        problem = QStringLiteral("The item has no room left for these conditions.");
    if (!problem.isEmpty()) {
        ShowMessageBox(this, problem);
        return;
    }
    bool committed = true, fits = false, stored = false;
    {
        // One hold of the lock: no probe sees the item without its conditions,
        // nor with its new server but its old transport.
        std::lock_guard lock(EngineLock());
        if (update_)
            CommitItemUpdate(slot_, edit);
        else
            committed = CommitNewItem(slot_, edit);
        fits = committed && SetItemConditions(LockItems()->items[slot_], answer);
        stored = fits && SetItemTransport(LockItems()->items[slot_], transport->Read());
    }
    if (committed && !stored) {
        // The item is kept as it was entered otherwise; the operator learns
        // that its conditions or its transport did not fit beside its other texts.
        ShowMessageBox(this, fits ? QStringLiteral("The transport settings cannot be kept: the item has no room for more texts.")
                                  : QStringLiteral("The item has no room left for these conditions."));
        return;
    }
    if (!committed) {
        ShowMessageBox(this, Text(std::string(kTableFullMessage)));
        reject();
        return;
    }
    QDialog::accept();
}

} // namespace varnell
