// The Syslog page of the Setup dialog: the facility and severity of the event
// datagrams, the list of syslog servers, and a test datagram to every server
// in the list (RFC 3164 facility and severity numbers; the test always goes out
// as priority 85, auth.notice).
#pragma once

#include <QButtonGroup>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>

#include <array>
#include <cstdint>
#include <functional>

#include "ui/setup/dialog_base.h"

namespace varnell {

// Control ids: a facility's radio is 1101 + its number, a severity's 1125 + its number.
inline constexpr int kFacilityIdBase = 1101;
inline constexpr int kSeverityIdBase = 1125;
inline constexpr int kSeverityNoneId = 1133;
inline constexpr int kFacilityCount = 24;
inline constexpr int kSeverityCount = 8;
inline constexpr int kSyslogTestMessageLimit = 2186;

extern const std::array<const char*, kFacilityCount> kFacilityLabels;
extern const std::array<const char*, kSeverityCount> kSeverityLabels;

class CDlgSyslog : public CDialogBase {
    Q_OBJECT
public:
    explicit CDlgSyslog(QWidget* parent = nullptr);

    int Apply() override;

    void OnAdd();
    void OnDelete();
    void OnEdit(QTreeWidgetItem* item);
    void OnTest();

    // The server dialog; tests replace it. Returns false when cancelled.
    std::function<bool(std::uint32_t& addressBE)> editServer;

    QRadioButton* Facility(int value) const { return facilities_[static_cast<std::size_t>(value)]; }
    QRadioButton* Severity(int value) const { return severities_[static_cast<std::size_t>(value)]; }

    QLineEdit* testMessage = nullptr;
    QTreeWidget* servers = nullptr;
    QPushButton* addButton = nullptr;
    QPushButton* deleteButton = nullptr;
    QPushButton* testButton = nullptr;
    QButtonGroup* facilityGroup = nullptr;
    QButtonGroup* severityGroup = nullptr;
    QRadioButton* severityNone = nullptr;

private:
    bool RunServerDialog(std::uint32_t& addressBE);

    std::array<QRadioButton*, kFacilityCount> facilities_{};
    std::array<QRadioButton*, kSeverityCount> severities_{};
};

} // namespace varnell
