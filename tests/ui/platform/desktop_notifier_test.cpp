// Events as desktop notifications, against a private session bus (dbus-daemon on
// a socket in a temporary folder) and a stand-in notification service living in
// this process on a connection of its own.
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QTest>
#include <QVariantMap>

#include <chrono>
#include <csignal>

#include "alerts/dispatch.h"
#include "config/settings.h"
#include "tests/support/process.h"
#include "tests/ui/qt_test_env.h"
#include "ui/main/main_frame.h"
#include "ui/platform/desktop_notifier.h"

using namespace varnell;
using namespace varnell::test;

namespace {

struct NotifyCall {
    QString summary, body;
    QStringList actions;
    int urgency = -1;
};

// The service side of the freedesktop notification protocol, as much as the
// program uses: Notify answers an id, or an error for the summary "refuse".
class StandInService : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    std::vector<NotifyCall> calls;

public slots:
    uint Notify(const QString&, uint, const QString&, const QString& summary, const QString& body,
                const QStringList& actions, const QVariantMap& hints, int)
    {
        if (summary == QLatin1String("refuse")) {
            sendErrorReply(QDBusError::AccessDenied, QStringLiteral("not now"));
            return 0;
        }
        calls.push_back({summary, body, actions, hints.value(QStringLiteral("urgency")).toInt()});
        return static_cast<uint>(calls.size() + 40);
    }
    QStringList GetCapabilities() { return {QStringLiteral("actions"), QStringLiteral("body")}; }
};

class DesktopNotifierTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        address_ = "unix:path=" + dir_.File("bus");
        // The address is printed once the bus listens; its socket file is there
        // a moment before that.
        ASSERT_TRUE(bus_.Start({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address",
                                "--address=" + address_},
                               {}, dir_.File("address")));
        ASSERT_TRUE(WaitFor([&] { return !ReadFile(dir_.File("address")).empty(); }, std::chrono::seconds(5)));
        client_ = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(QString::fromStdString(address_), QStringLiteral("varnell-client")));
        ASSERT_TRUE(client_->isConnected());
        saved_ = CurrentSettings();
        CurrentSettings().extra.alertNotification = 1;
        CurrentSettings().general.SetFlags(kGenPopup);
        SetDispatchTrace([this](AlertChannel c, int) {
            if (c == AlertChannel::MessageBox)
                ++boxes_;
        });
        StartAlertWorkers(false); // a box is queued, never shown
    }
    void TearDown() override
    {
        StopAlertWorkers();
        SetDispatchTrace(nullptr);
        SetDesktopNotifier(nullptr);
        CurrentSettings() = saved_;
        client_.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("varnell-client"));
        QDBusConnection::disconnectFromBus(QStringLiteral("varnell-service"));
    }
    QDBusConnection StartService()
    {
        QDBusConnection service =
            QDBusConnection::connectToBus(QString::fromStdString(address_), QStringLiteral("varnell-service"));
        EXPECT_TRUE(service.registerObject(QString::fromLatin1(CDesktopNotifier::kPath), &standIn_,
                                           QDBusConnection::ExportAllSlots));
        EXPECT_TRUE(service.registerService(QString::fromLatin1(CDesktopNotifier::kService)));
        return service;
    }
    void Dispatch(const std::string& text) { DispatchEvent(0u, text, "2026-12-08 09:00:00"); }

    TempDir dir_;
    ChildProcess bus_;
    std::string address_;
    std::unique_ptr<QDBusConnection> client_;
    StandInService standIn_;
    Settings saved_;
    int boxes_ = 0;
};

TEST(EventTexts, KindAndItemNameComeFromTheEventText)
{
    std::string name;
    EXPECT_EQ(KindOfEventText("web is down", name), EventTextKind::kDown);
    EXPECT_EQ(name, "web");
    EXPECT_EQ(KindOfEventText("the ip of mail is down", name), EventTextKind::kDown);
    EXPECT_EQ(name, "the ip of mail");
    EXPECT_EQ(KindOfEventText("web is down is up", name), EventTextKind::kUp);
    EXPECT_EQ(name, "web is down");
    EXPECT_EQ(KindOfEventText("the ip of a is changed to b is changed to 192.0.2.1; ", name), EventTextKind::kChanged);
    EXPECT_EQ(name, "a is changed to b");
    EXPECT_EQ(KindOfEventText("the ip of x is changed to ", name), EventTextKind::kChanged);
    EXPECT_EQ(name, "x");
}

TEST_F(DesktopNotifierTest, WithoutAServiceTheBoxIsShownAsBefore)
{
    CDesktopNotifier notifier(*client_, [] {}, [](const std::string&) {});
    notifier.Install();
    Dispatch("web is down");
    EXPECT_EQ(boxes_, 1);
    // The choice is the operator's: the box when notifications are not chosen.
    CurrentSettings().extra.alertNotification = 0;
    QDBusConnection service = StartService();
    Dispatch("web is up");
    EXPECT_EQ(boxes_, 2);
    QApplication::processEvents();
    EXPECT_TRUE(standIn_.calls.empty());
}

TEST_F(DesktopNotifierTest, DownIsCriticalOthersNormalAndOpenShowsTheWindow)
{
    QDBusConnection service = StartService();
    CMainFrame frame;
    frame.Create();
    std::vector<std::string> fallbacks;
    CDesktopNotifier notifier(*client_, [&] { frame.OnOpen(); }, [&](const std::string& t) { fallbacks.push_back(t); });
    notifier.Install();
    ASSERT_TRUE(ProcessUntil([&] { return notifier.ServiceAvailable(); }, 5000));

    Dispatch("web is down");
    Dispatch("web is up");
    Dispatch("the ip of web is changed to 192.0.2.7; ");
    ASSERT_TRUE(ProcessUntil([&] { return standIn_.calls.size() == 3; }, 5000));
    EXPECT_EQ(boxes_, 0);
    EXPECT_EQ(standIn_.calls[0].summary, QStringLiteral("web"));
    EXPECT_EQ(standIn_.calls[0].body, QStringLiteral("web is down"));
    EXPECT_EQ(standIn_.calls[0].urgency, 2);
    EXPECT_EQ(standIn_.calls[1].urgency, 1);
    EXPECT_EQ(standIn_.calls[2].urgency, 1);
    EXPECT_EQ(standIn_.calls[2].summary, QStringLiteral("web"));
    EXPECT_EQ(standIn_.calls[0].actions, (QStringList{QStringLiteral("open"), QStringLiteral("Open")}));

    // Another program's notification being opened is none of ours.
    auto action = [&](uint id) {
        QDBusMessage signal = QDBusMessage::createSignal(QString::fromLatin1(CDesktopNotifier::kPath),
                                                         QStringLiteral("org.freedesktop.Notifications"),
                                                         QStringLiteral("ActionInvoked"));
        signal << id << QStringLiteral("open");
        service.send(signal);
    };
    action(7);
    QTest::qWait(200);
    EXPECT_FALSE(frame.isVisible());
    action(41); // the down notification
    ASSERT_TRUE(ProcessUntil([&] { return frame.isVisible(); }, 5000));

    // A notification the service refuses reaches the operator as the box after all.
    Dispatch("refuse is down");
    ASSERT_TRUE(ProcessUntil([&] { return !fallbacks.empty(); }, 5000));
    EXPECT_EQ(fallbacks, std::vector<std::string>{"refuse is down"});
}

// Whether a service is there is asked once and then followed as it comes and
// goes; an event never waits on the bus, not even on one that stopped answering.
TEST_F(DesktopNotifierTest, FollowsTheServiceAndNeverWaitsOnTheBus)
{
    CDesktopNotifier notifier(*client_, [] {}, [](const std::string&) {});
    notifier.Install();
    {
        QDBusConnection service = StartService();
        ASSERT_TRUE(ProcessUntil([&] { return notifier.ServiceAvailable(); }, 5000));
        ASSERT_EQ(kill(bus_.Pid(), SIGSTOP), 0);
        const auto start = std::chrono::steady_clock::now();
        Dispatch("web is down");
        const auto took = std::chrono::steady_clock::now() - start;
        kill(bus_.Pid(), SIGCONT);
        EXPECT_LT(took, std::chrono::seconds(5)); // a call waited for would take the bus's 25 s
        ASSERT_TRUE(ProcessUntil([&] { return standIn_.calls.size() == 1; }, 5000));
        EXPECT_TRUE(service.unregisterService(QString::fromLatin1(CDesktopNotifier::kService)));
        ASSERT_TRUE(ProcessUntil([&] { return !notifier.ServiceAvailable(); }, 5000));
    }
    EXPECT_EQ(boxes_, 0);
    Dispatch("web is up");
    EXPECT_EQ(boxes_, 1);
}

} // namespace

#include "desktop_notifier_test.moc"
