#include "ui/setup/page_metrics.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QVBoxLayout>

#include "config/settings.h"
#include "metrics/metrics_server.h"
#include "ui/platform/hyperlink.h"
#include "ui/platform/message_box.h"

namespace varnell {

namespace {

bool IsIpv6(const QString& address) { return address.contains(QLatin1Char(':')); }

} // namespace

std::string MetricsListenText(const QString& address, int port)
{
    const QString host = IsIpv6(address) ? QLatin1Char('[') + address + QLatin1Char(']') : address;
    return (host + QLatin1Char(':') + QString::number(port)).toStdString();
}

CDlgMetrics::CDlgMetrics(QWidget* parent) : CDialogBase(parent)
{
    setObjectName(QStringLiteral("pageMetrics"));
    serve = new QCheckBox(QStringLiteral("Serve metrics for Prometheus"), this);
    auto* where = new QGroupBox(QStringLiteral("Endpoint"), this);
    address = new QLineEdit(where);
    address->setMaxLength(45); // the longest IPv6 text
    port = new QSpinBox(where);
    port->setRange(1, 65535);
    link = new CHyperLink(QString(), where);
    link->SetAutoSize(false);
    auto* form = new QFormLayout(where);
    form->addRow(QStringLiteral("Address:"), address);
    form->addRow(QStringLiteral("Port:"), port);
    form->addRow(QStringLiteral("URL:"), link);
    auto* note = new QLabel(QStringLiteral("Anyone who can reach the address can read the items' names, "
                                           "domains and servers. Keep it on 127.0.0.1 unless a firewall "
                                           "guards it."),
                            this);
    note->setWordWrap(true);
    auto* column = new QVBoxLayout(this);
    column->addWidget(serve);
    column->addWidget(where);
    column->addWidget(note);
    column->addStretch(1);

    // Off (an empty setting) still shows the defaults, ready to be switched on.
    const std::string& listen = CurrentSettings().extra.metricsListen;
    QString host = QString::fromLatin1(kDefaultMetricsAddress);
    int number = kDefaultMetricsPort;
    if (const std::size_t colon = listen.rfind(':'); colon != std::string::npos && colon > 0) {
        host = QString::fromStdString(listen.substr(0, colon));
        if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
            host = host.mid(1, host.size() - 2);
        bool ok = false;
        const int stored = QString::fromStdString(listen.substr(colon + 1)).toInt(&ok);
        if (ok && stored >= 1 && stored <= 65535)
            number = stored;
    }
    serve->setChecked(!listen.empty());
    address->setText(host);
    port->setValue(number);
    where->setEnabled(serve->isChecked());
    UpdateLink();

    connect(serve, &QCheckBox::toggled, where, &QWidget::setEnabled);
    connect(address, &QLineEdit::textChanged, this, &CDlgMetrics::UpdateLink);
    connect(port, &QSpinBox::valueChanged, this, &CDlgMetrics::UpdateLink);
    InstallKeyFilter();
}

void CDlgMetrics::UpdateLink()
{
    const QString url = QStringLiteral("http://") + QString::fromStdString(MetricsListenText(address->text().trimmed(),
                                                                                              port->value())) +
                        QStringLiteral("/metrics");
    link->setText(url);
    link->SetURL(url);
}

int CDlgMetrics::Apply()
{
    std::string listen;
    if (serve->isChecked()) {
        listen = MetricsListenText(address->text().trimmed(), port->value());
        ListenAddress parsed;
        if (!ParseListenAddress(listen, parsed)) {
            ShowPageMessage(this, QStringLiteral("The metrics address must be an IPv4 or IPv6 address in digits, "
                                                 "such as 127.0.0.1 or ::1."),
                            ApplicationTitleText(), BoxIcon::Warning);
            return 1;
        }
    }
    CurrentSettings().extra.metricsListen = listen;
    ApplyMetricsSetting(listen);
    return 0;
}

} // namespace varnell
