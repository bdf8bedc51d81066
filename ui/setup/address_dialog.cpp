#include "ui/setup/address_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "ui/platform/edit_controls.h"
#include "ui/platform/message_box.h"
#include "ui/platform/qt_text.h"
#include "ui/setup/dialog_buttons.h"

namespace varnell {

const AddressDialogKind kMailReceiverDialog{"dlgAddMail", "Add Mail", "Update Mail", "Mail Address", false};
const AddressDialogKind kSyslogServerDialog{"dlgAddSyslog", "Add Syslog Server", "Update Syslog Server", nullptr,
                                            false};
const AddressDialogKind kMessengerReceiverDialog{"dlgMsgIP", "Add Receiver", "Update Receiver", nullptr, true};

CAddressDialog::CAddressDialog(const AddressDialogKind& kind, const QString& address, QWidget* parent)
    : CDialogBase(parent)
{
    setObjectName(QString::fromLatin1(kind.objectName));
    setWindowTitle(QString::fromLatin1(address.isEmpty() ? kind.addTitle : kind.updateTitle));
    QWidget* edit = nullptr;
    if (kind.ipv4Fields) {
        fieldsEdit = new AddressEdit(this);
        if (!address.isEmpty())
            fieldsEdit->SetText(address);
        edit = fieldsEdit;
    } else {
        textEdit = new QLineEdit(this);
        textEdit->setText(address);
        edit = textEdit;
    }
    EditDialogButtons buttons{};
    if (kind.label != nullptr) {
        auto* row = new QHBoxLayout;
        row->addWidget(new QLabel(QString::fromLatin1(kind.label), this));
        row->addWidget(edit, 1);
        buttons = LayOutEditDialog(this, row);
    } else {
        buttons = LayOutEditDialog(this, edit);
    }
    applyButton = buttons.apply;
    cancelButton = buttons.cancel;
    InstallKeyFilter();
}

std::uint32_t CAddressDialog::AddressBE() const { return AddressFromText(address_); }

QString CAddressDialog::EditedText() const { return fieldsEdit != nullptr ? fieldsEdit->Text() : textEdit->text(); }

void CAddressDialog::accept()
{
    const QString text = EditedText();
    if (fieldsEdit != nullptr) {
        // Blank fields read as 0, so an untouched entry is 0.0.0.0: no computer
        // to send to, and a receiver the operator would never see fail.
        if (AddressFromText(text) == 0) {
            ShowPageMessage(this, QStringLiteral("error receiver ip address !"), ApplicationTitleText(),
                            BoxIcon::None);
            return;
        }
    } else if (text.isEmpty()) {
        return;
    }
    address_ = text;
    CDialogBase::accept();
}

} // namespace varnell
