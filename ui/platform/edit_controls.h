// The small edit controls the item dialog and the Setup pages share, and how
// they read a number.
#pragma once

#include <QLineEdit>
#include <QString>
#include <QToolButton>
#include <QWidget>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace varnell {

// A number as the dialog reads one: leading white space skipped, an optional
// sign, digits up to the first non-digit (saturating at the 32-bit limits); no
// leading digits gives 0.
std::int32_t DialogNumber(const std::string& text);

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

} // namespace varnell
