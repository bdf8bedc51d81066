// Helpers shared by the item list, event list and item dialog tests: items put
// straight into the table, and a driver for the modal windows a command opens.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "items/item_table.h"

namespace varnell::test {

inline std::uint32_t AddrBE(unsigned a, unsigned b, unsigned c, unsigned d)
{
    const std::uint8_t o[4] = {static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b),
                               static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(d)};
    std::uint32_t be;
    std::memcpy(&be, o, 4);
    return be;
}

// Adds an item as a confirmed dialog would and returns its slot.
inline std::uint32_t AddTestItem(const std::string& name, std::uint32_t serverBE = AddrBE(192, 0, 2, 53))
{
    ItemEdit e;
    e.interval = 1000;
    e.timeout = 2000;
    e.serverBE = serverBE;
    e.name = name;
    e.domain = name + ".example.test";
    const int slot = NewItemSlot();
    if (slot < 0 || !CommitNewItem(static_cast<std::uint32_t>(slot), e))
        return kItemSlots;
    return static_cast<std::uint32_t>(slot);
}

struct SeenBox {
    QString text, caption;
    int buttons = 0;
};

// Hands every modal window that opens to a handler, once each, from the event
// loop (also from the nested loops modal windows run). Message boxes the
// handler does not close are recorded and closed with OK.
class ModalDriver {
public:
    explicit ModalDriver(std::function<void(QWidget*)> handler = {}) : handler_(std::move(handler))
    {
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
        timer_.start();
    }
    std::vector<SeenBox> boxes;

private:
    void Poll()
    {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || !modal->isVisible())
            return;
        for (const QPointer<QWidget>& seen : seen_)
            if (seen == modal)
                return;
        seen_.push_back(modal);
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            boxes.push_back({box->text(), box->windowTitle(), static_cast<int>(box->buttons().size())});
            if (QAbstractButton* ok = box->button(QMessageBox::Ok))
                ok->click();
            else
                box->close();
            return;
        }
        if (handler_)
            handler_(modal);
    }
    std::function<void(QWidget*)> handler_;
    std::vector<QPointer<QWidget>> seen_;
    QTimer timer_;
};

} // namespace varnell::test
