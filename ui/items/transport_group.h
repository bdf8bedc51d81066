// The item dialog's "Transport" group: how the item's query travels (UDP,
// TCP, TLS, HTTPS), the name its server's certificate must carry or the DoH
// URL, an optional key pin and the days of warning before the certificate
// ends. Only the fields the chosen transport uses are enabled.
#pragma once

#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QSpinBox>

#include "transport/item_transport.h"

namespace varnell {

class TransportGroup : public QGroupBox {
    Q_OBJECT
public:
    explicit TransportGroup(QWidget* parent = nullptr);

    void Show(const ItemTransport& t);
    // What the fields say; CheckItemTransport tells whether it can be used.
    ItemTransport Read() const;

    QComboBox* transport = nullptr;
    QLineEdit* tlsName = nullptr;
    QLineEdit* url = nullptr;
    QLineEdit* pin = nullptr;
    QSpinBox* certWarnDays = nullptr;

private:
    void Enable();
};

} // namespace varnell
