// What the tray icon and the window icon say at a glance: every item up, some
// failing, or some down. Each look has its own badge shape over the program
// icon (a disc with a tick, a triangle with "!", an octagon with a cross), so it
// reads without colour; the tool tip counts them: "Varnell: 3 down, 1 failing,
// 120 up". Suspended items and items without a result yet are not counted.
#pragma once

#include <QIcon>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

namespace varnell {

class CDnsItemModel;

struct StateCounts {
    int down = 0;
    int failing = 0;
    int up = 0;
    bool operator==(const StateCounts&) const = default;
};

enum class TrayState : int { kAllUp = 0, kSomeFailing, kSomeDown };

StateCounts CountStates(const CDnsItemModel& model);
TrayState TrayStateOf(const StateCounts& counts);
QString TrayTip(const StateCounts& counts);
QIcon TrayStateIcon(TrayState state);

// Follows the item list and hands the icon and tip to apply whenever the counts
// change. Results arrive by the thousand a second at full load: the counting
// runs at most every kRecountMs, not per result.
class CStateIndicator : public QObject {
    Q_OBJECT
public:
    static constexpr int kRecountMs = 250;
    using Apply = std::function<void(const QIcon& icon, const QString& tip, TrayState state)>;

    CStateIndicator(CDnsItemModel* model, Apply apply, QObject* parent = nullptr);
    // Counts now (tests, and the first look at start-up).
    void Recount();
    StateCounts Counts() const { return counts_; }

private:
    CDnsItemModel* model_;
    Apply apply_;
    QTimer timer_;
    StateCounts counts_;
    bool applied_ = false;
};

} // namespace varnell
