// The Metrics page of the Setup dialog: whether the program serves its items'
// state and round trips to Prometheus, on which address and port, and the
// address a scraper is given, as a link. Confirming Setup restarts the
// endpoint when the setting changed.
#pragma once

#include <QCheckBox>
#include <QLineEdit>
#include <QSpinBox>

#include <string>

#include "ui/setup/dialog_base.h"

namespace varnell {

class CHyperLink;

// "ADDRESS:PORT" as stored, with IPv6 addresses in brackets.
std::string MetricsListenText(const QString& address, int port);

class CDlgMetrics : public CDialogBase {
    Q_OBJECT
public:
    explicit CDlgMetrics(QWidget* parent = nullptr);

    // Stores the setting and applies it to the running endpoint. An address that
    // is not a numeric one leaves the setting as it was: a message box and 1.
    int Apply() override;

    QCheckBox* serve = nullptr;
    QLineEdit* address = nullptr;
    QSpinBox* port = nullptr;
    CHyperLink* link = nullptr;

private:
    void UpdateLink();
};

} // namespace varnell
