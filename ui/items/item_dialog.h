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

namespace varnell {

// An edit box with up and down arrows. An arrow reads the number in the box,
// adds or subtracts one, raises a result below 1 to 1 and writes it back; the
// arrows keep no position of their own and have no upper bound.
class SpinEdit : public QWidget {
    Q_OBJECT
public:
    explicit SpinEdit(QWidget* parent = nullptr);
    QLineEdit* Edit() const { return edit_; }
    QToolButton* UpButton() const { return up_; }
    QToolButton* DownButton() const { return down_; }
    void Step(int delta);

private:
    QLineEdit* edit_;
    QToolButton* up_;
    QToolButton* down_;
};

// Four octet fields of an IPv4 address; an empty field reads as 0.
class AddressEdit : public QWidget {
    Q_OBJECT
public:
    explicit AddressEdit(QWidget* parent = nullptr);
    QLineEdit* Octet(int i) const { return octets_[static_cast<std::size_t>(i)]; }
    // Fills the fields from an address in network byte order.
    void SetAddress(std::uint32_t addrBE);
    void SetText(const QString& dotted);
    // "%d.%d.%d.%d" of the four fields.
    QString Text() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::array<QLineEdit*, 4> octets_{};
};

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

// A number as the dialog reads one: leading white space skipped, an optional
// sign, digits up to the first non-digit (saturating at the 32-bit limits); no
// leading digits gives 0.
std::int32_t DialogNumber(const std::string& text);
// Empty when the name can be encoded in a query, else why not.
QString DomainNameProblem(const std::string& name);

} // namespace varnell
