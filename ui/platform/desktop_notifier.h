// Events as desktop notifications: org.freedesktop.Notifications on the session
// bus (the freedesktop notification protocol). The item's name is the summary,
// the event text the body; a down event has critical urgency, up and address
// changes normal; each carries an "Open" action that shows the main window. With
// no notification service on the bus the message box is shown instead, as is
// the box for a notification the service refuses.
//
// Whether the service is there is asked once, without waiting, and then followed
// as it comes and goes on the bus: an event never waits on the bus, so a bus
// that does not answer cannot hold up the window.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QSet>
#include <QString>

#include <functional>
#include <string>

namespace varnell {

// Which event a text tells of, and of which item (the texts of result evaluation:
// "%s is down", "%s is up", "the ip of %s is changed to ...").
enum class EventTextKind { kDown, kUp, kChanged, kOther };
EventTextKind KindOfEventText(const std::string& text, std::string& itemName);

class CDesktopNotifier : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kService = "org.freedesktop.Notifications";
    static constexpr const char* kPath = "/org/freedesktop/Notifications";
    static constexpr const char* kActionOpen = "open";

    // open: what the "Open" action does. fallback: shows the message box for a
    // text (for a notification the service answered with an error).
    CDesktopNotifier(QDBusConnection bus, std::function<void()> open,
                     std::function<void(const std::string&)> fallback, QObject* parent = nullptr);

    // false when no notification service is known on the bus; the call is not waited for.
    bool Notify(const std::string& text);
    // A service owns the name, or the bus starts one on the first call; false
    // until the bus has answered.
    bool ServiceAvailable() const { return registered_ || activatable_; }
    // Makes this the notifier DispatchEvent uses; uninstalled when destroyed.
    void Install();
    ~CDesktopNotifier() override;

private slots:
    void OnActionInvoked(uint id, const QString& actionKey);
    void OnClosed(uint id, uint reason);

private:
    QDBusConnection bus_;
    std::function<void()> open_;
    std::function<void(const std::string&)> fallback_;
    QSet<uint> shown_;
    bool registered_ = false;
    bool activatable_ = false;
};

} // namespace varnell
