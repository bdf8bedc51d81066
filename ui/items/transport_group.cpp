#include "ui/items/transport_group.h"

#include <QGridLayout>
#include <QLabel>

namespace varnell {

namespace {

QString Text(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

} // namespace

TransportGroup::TransportGroup(QWidget* parent) : QGroupBox(QStringLiteral("Transport"), parent)
{
    transport = new QComboBox(this);
    // In the order of Transport's values.
    transport->addItems({QStringLiteral("UDP"), QStringLiteral("TCP"), QStringLiteral("TLS (DoT)"),
                         QStringLiteral("HTTPS (DoH)")});
    tlsName = new QLineEdit(this);
    tlsName->setPlaceholderText(QStringLiteral("dns.example (empty: the server's address)"));
    url = new QLineEdit(this);
    url->setPlaceholderText(QStringLiteral("https://dns.example/dns-query"));
    url->setMaxLength(static_cast<int>(kMaxUrlLength));
    pin = new QLineEdit(this);
    pin->setPlaceholderText(QStringLiteral("sha256/... (optional)"));
    certWarnDays = new QSpinBox(this);
    certWarnDays->setRange(0, static_cast<int>(kMaxCertWarnDays));
    certWarnDays->setSpecialValueText(QStringLiteral("no warning"));
    certWarnDays->setSuffix(QStringLiteral(" days"));
    auto* grid = new QGridLayout(this);
    grid->addWidget(new QLabel(QStringLiteral("Transport :"), this), 0, 0);
    grid->addWidget(transport, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("TLS name :"), this), 1, 0);
    grid->addWidget(tlsName, 1, 1);
    grid->addWidget(new QLabel(QStringLiteral("URL :"), this), 2, 0);
    grid->addWidget(url, 2, 1);
    grid->addWidget(new QLabel(QStringLiteral("Key pin :"), this), 3, 0);
    grid->addWidget(pin, 3, 1);
    grid->addWidget(new QLabel(QStringLiteral("Certificate warning :"), this), 4, 0);
    grid->addWidget(certWarnDays, 4, 1);
    connect(transport, &QComboBox::currentIndexChanged, this, [this] { Enable(); });
    Enable();
}

void TransportGroup::Show(const ItemTransport& t)
{
    transport->setCurrentIndex(static_cast<int>(t.transport));
    tlsName->setText(Text(t.tlsName));
    url->setText(Text(t.url));
    pin->setText(Text(t.pin));
    certWarnDays->setValue(static_cast<int>(t.certWarnDays));
    Enable();
}

ItemTransport TransportGroup::Read() const
{
    ItemTransport t;
    t.transport = static_cast<Transport>(transport->currentIndex() < 0 ? 0 : transport->currentIndex());
    // A disabled field does not count: switching back to UDP drops what the
    // encrypted transports had, rather than refusing the item for it.
    const bool tls = t.transport == Transport::kTls, https = t.transport == Transport::kHttps;
    if (tls)
        t.tlsName = tlsName->text().trimmed().toStdString();
    if (https)
        t.url = url->text().trimmed().toStdString();
    if (tls || https) {
        t.pin = pin->text().trimmed().toStdString();
        t.certWarnDays = static_cast<std::uint32_t>(certWarnDays->value());
    }
    return t;
}

void TransportGroup::Enable()
{
    const auto t = static_cast<Transport>(transport->currentIndex() < 0 ? 0 : transport->currentIndex());
    const bool tls = t == Transport::kTls, https = t == Transport::kHttps;
    tlsName->setEnabled(tls);
    url->setEnabled(https);
    pin->setEnabled(tls || https);
    certWarnDays->setEnabled(tls || https);
}

} // namespace varnell
