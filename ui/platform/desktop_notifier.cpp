#include "ui/platform/desktop_notifier.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QVariantMap>

#include "alerts/dispatch.h"
#include "ui/platform/message_box.h"

namespace varnell {

namespace {

constexpr const char* kInterface = "org.freedesktop.Notifications";
// Urgency levels of the freedesktop notification protocol.
constexpr uchar kUrgencyNormal = 1;
constexpr uchar kUrgencyCritical = 2;

bool EndsWith(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The notifier DispatchEvent calls now, so one going away uninstalls only itself.
CDesktopNotifier* g_installed = nullptr;

// Hands the answer to call to done when it comes, on owner's thread; nothing waits.
void WhenAnswered(QObject* owner, const QDBusPendingCall& call,
                  std::function<void(const QDBusPendingCallWatcher&)> done)
{
    auto* watcher = new QDBusPendingCallWatcher(call, owner);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, owner,
                     [done = std::move(done)](QDBusPendingCallWatcher* w) {
                         done(*w);
                         w->deleteLater();
                     });
}

} // namespace

EventTextKind KindOfEventText(const std::string& text, std::string& itemName)
{
    // The suffixes first: an item may well be named "the ip of ...".
    static const std::string kDown = " is down", kUp = " is up", kIp = "the ip of ", kChanged = " is changed to ";
    if (EndsWith(text, kDown)) {
        itemName = text.substr(0, text.size() - kDown.size());
        return EventTextKind::kDown;
    }
    if (EndsWith(text, kUp)) {
        itemName = text.substr(0, text.size() - kUp.size());
        return EventTextKind::kUp;
    }
    if (text.rfind(kIp, 0) == 0) {
        // The addresses after the marker are dotted numbers, so the last marker
        // ends the name.
        const std::size_t at = text.rfind(kChanged);
        if (at != std::string::npos && at >= kIp.size()) {
            itemName = text.substr(kIp.size(), at - kIp.size());
            return EventTextKind::kChanged;
        }
    }
    itemName = text;
    return EventTextKind::kOther;
}

CDesktopNotifier::CDesktopNotifier(QDBusConnection bus, std::function<void()> open,
                                   std::function<void(const std::string&)> fallback, QObject* parent)
    : QObject(parent), bus_(std::move(bus)), open_(std::move(open)), fallback_(std::move(fallback))
{
    if (!bus_.isConnected() || bus_.interface() == nullptr)
        return;
    bus_.connect(QString(), QString::fromLatin1(kPath), QString::fromLatin1(kInterface),
                 QStringLiteral("ActionInvoked"), this, SLOT(OnActionInvoked(uint, QString)));
    bus_.connect(QString(), QString::fromLatin1(kPath), QString::fromLatin1(kInterface),
                 QStringLiteral("NotificationClosed"), this, SLOT(OnClosed(uint, uint)));
    // The watch is set up before the question, and the bus keeps the order of
    // what it sends: an answer and a later change arrive in the order they happened.
    const QString service = QString::fromLatin1(kService);
    auto* watcher = new QDBusServiceWatcher(service, bus_, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& owner) { registered_ = !owner.isEmpty(); });
    WhenAnswered(this, bus_.interface()->asyncCall(QStringLiteral("NameHasOwner"), service),
                 [this](const QDBusPendingCallWatcher& w) {
                     if (!w.isError())
                         registered_ = QDBusPendingReply<bool>(w).value();
                 });
    // A notification daemon is often started by the bus on the first call.
    WhenAnswered(this, bus_.interface()->asyncCall(QStringLiteral("ListActivatableNames")),
                 [this, service](const QDBusPendingCallWatcher& w) {
                     if (!w.isError())
                         activatable_ = QDBusPendingReply<QStringList>(w).value().contains(service);
                 });
}

CDesktopNotifier::~CDesktopNotifier()
{
    if (g_installed == this) {
        g_installed = nullptr;
        SetDesktopNotifier(nullptr);
    }
}

void CDesktopNotifier::Install()
{
    g_installed = this;
    SetDesktopNotifier([this](const std::string& text) { return Notify(text); });
}

bool CDesktopNotifier::Notify(const std::string& text)
{
    if (!ServiceAvailable())
        return false;
    std::string name;
    const EventTextKind kind = KindOfEventText(text, name);
    QDBusMessage call = QDBusMessage::createMethodCall(QString::fromLatin1(kService), QString::fromLatin1(kPath),
                                                       QString::fromLatin1(kInterface), QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("urgency"),
                 QVariant::fromValue<uchar>(kind == EventTextKind::kDown ? kUrgencyCritical : kUrgencyNormal));
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("varnell"));
    call << ApplicationTitleText() << 0u << QStringLiteral("varnell") << QString::fromStdString(name)
         << QString::fromStdString(text)
         << QStringList{QString::fromLatin1(kActionOpen), QStringLiteral("Open")}
         << hints << -1;
    // Not waited for: a slow service must not hold the window up. A refusal
    // comes back later and shows the box after all.
    WhenAnswered(this, bus_.asyncCall(call), [this, text](const QDBusPendingCallWatcher& w) {
        const QDBusPendingReply<uint> reply = w;
        if (reply.isError()) {
            if (fallback_)
                fallback_(text);
        } else {
            shown_.insert(reply.value());
        }
    });
    return true;
}

void CDesktopNotifier::OnActionInvoked(uint id, const QString& actionKey)
{
    // Signals of other programs' notifications come by as well.
    if (!shown_.contains(id))
        return;
    if ((actionKey == QLatin1String(kActionOpen) || actionKey == QLatin1String("default")) && open_)
        open_();
}

void CDesktopNotifier::OnClosed(uint id, uint) { shown_.remove(id); }

} // namespace varnell
