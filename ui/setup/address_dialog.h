// The small dialog in which the Mail, Syslog and Messenger pages add or update
// one address of their lists. The pages differ only in what the dialog is
// called and how the address is typed and checked, which a kind describes.
#pragma once

#include <QString>

#include <cstdint>

#include "ui/setup/dialog_base.h"

class QLineEdit;
class QPushButton;

namespace varnell {

class AddressEdit;

struct AddressDialogKind {
    const char* objectName;
    const char* addTitle;    // when the dialog starts empty
    const char* updateTitle; // when it starts with an address
    const char* label;       // beside the edit box, or nullptr
    // Four number fields that must not all be 0, instead of a free text that
    // must not be empty.
    bool ipv4Fields;
};
extern const AddressDialogKind kMailReceiverDialog;
extern const AddressDialogKind kSyslogServerDialog;
extern const AddressDialogKind kMessengerReceiverDialog;

class CAddressDialog : public CDialogBase {
    Q_OBJECT
public:
    // An empty address adds, a non-empty one updates it.
    CAddressDialog(const AddressDialogKind& kind, const QString& address, QWidget* parent = nullptr);
    QString Address() const { return address_; }
    // The accepted text as inet_addr reads it.
    std::uint32_t AddressBE() const;
    // Closes only on an address the kind accepts; a refused IPv4 address says so.
    void accept() override;

    // One of the two exists, as the kind says.
    QLineEdit* textEdit = nullptr;
    AddressEdit* fieldsEdit = nullptr;
    QPushButton* applyButton = nullptr;
    QPushButton* cancelButton = nullptr;

private:
    QString EditedText() const;

    QString address_;
};

} // namespace varnell
