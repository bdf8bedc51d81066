// The add and update item dialog. It edits a copy of one slot's settings
// (ItemEdit) and writes it back in one step under the engine lock when it is
// confirmed, so a probe never sees a half-replaced item. Whether it adds or
// updates is decided by the slot: row position -1 is a new item.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QToolButton>

#include <array>
#include <cstdint>
#include <string>

#include "items/item_table.h"
#include "ui/items/conditions_group.h"
#include "ui/items/transport_group.h"
#include "ui/platform/edit_controls.h"

namespace varnell {

class DlgAddDNS : public QDialog {
    Q_OBJECT
public:
    DlgAddDNS(std::uint32_t slot, QWidget* parent = nullptr);

    bool IsUpdate() const { return update_; }
    std::uint32_t Slot() const { return slot_; }

    // The dialog's fields, for the caller and for tests.
    QLineEdit* itemName = nullptr;
    QPlainTextEdit* description = nullptr;
    QLineEdit* mailGroup = nullptr;
    QCheckBox* highPriority = nullptr;
    SpinEdit* interval = nullptr;
    SpinEdit* timeout = nullptr;
    QCheckBox* notifyDown = nullptr;
    QCheckBox* notifyUp = nullptr;
    QCheckBox* notifyChange = nullptr;
    SpinEdit* continuousLost = nullptr;
    QLineEdit* domainName = nullptr;
    QComboBox* recordType = nullptr;
    AddressEdit* server = nullptr;
    // An IPv6 server (an IPv4 one is taken too). While it holds text it is the
    // item's server and the IPv4 fields stand disabled, so the operator sees
    // which of the two the item will ask.
    QLineEdit* server6 = nullptr;
    QCheckBox* recursionDesired = nullptr;
    QCheckBox* recursionAvailable = nullptr;
    ConditionsGroup* conditions = nullptr; // what the answer must be
    TransportGroup* transport = nullptr;
    QPushButton* okButton = nullptr;
    QPushButton* cancelButton = nullptr;

    // Checks the fields; on success writes the slot and closes as confirmed,
    // otherwise shows why and stays open with nothing written.
    void accept() override;

    // Reads the fields into an edit as a confirmed press would. Returns an empty
    // text when they pass the checks, else the message to show.
    QString ReadFields(ItemEdit& edit) const;

private:
    std::uint32_t slot_;
    bool update_;
};

// Empty when the name can be encoded in a query, else why not.
QString DomainNameProblem(const std::string& name);

} // namespace varnell
