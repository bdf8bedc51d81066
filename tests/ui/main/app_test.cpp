#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "config/settings_store.h"
#include "probe/engine.h"
#include "tests/support/process.h"
#include "tests/ui/qt_test_env.h"
#include "ui/main/app.h"
#include "ui/main/main_frame.h"
#include "ui/platform/qt_ui_channel.h"

using namespace varnell;
using varnell::test::ProcessUntil;
using varnell::test::TempDir;

namespace {

class VarnellAppTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("XDG_CONFIG_HOME", dir_.Path().c_str(), 1); }
    void TearDown() override { unsetenv("XDG_CONFIG_HOME"); }

    static AppOptions TestOptions()
    {
        AppOptions o;
        o.probePort = 0; // never the privileged DNS port from a test
        o.show = false;
        return o;
    }
    TempDir dir_;
};

} // namespace

TEST_F(VarnellAppTest, ExitFromTheMenuRunsTheShutdownOnceAndSavesTheStore)
{
    std::vector<std::uint8_t> blob;
    ASSERT_LT(ReadSettingsBlob(blob), 0);
    CVarnellApp app(TestOptions());
    app.InitInstance();
    ASSERT_NE(app.MainFrame(), nullptr);
    // First run: the program registers itself to start at log-on.
    EXPECT_EQ(QueryAutoStart(), 1);
    app.MainFrame()->Action(kCmdExit)->trigger();
    ASSERT_TRUE(ProcessUntil([&] { return app.ShutDown(); }, 10000));
    EXPECT_EQ(Engine().exitFlag.load(), 1u);
    EXPECT_GT(ReadSettingsBlob(blob), 0);
    // The window goes with the shutdown.
    ASSERT_TRUE(ProcessUntil([&] { return app.MainFrame() == nullptr; }, 2000));
    // A second request finds the shutdown done and does nothing.
    app.ExitInstance();
}

TEST_F(VarnellAppTest, ShutdownReleasesASenderTheUiThreadNeverServes)
{
    CVarnellApp app(TestOptions());
    app.InitInstance();
    QtUiChannel* desktop = app.Channel();
    ASSERT_NE(desktop, nullptr);
    const WindowId w = desktop->RegisterWindow([](const WindowMessage&) {});
    std::atomic<bool> inSend{false};
    std::atomic<bool> done{false};
    // Stands for the receiver delivering a result while the operator chooses Exit:
    // the user-interface thread goes into the shutdown without running events.
    std::thread sender([&] {
        inSend = true;
        while (desktop->Send(w, WindowMessage{WM_DNS_RESULT, 0, 0, {}})) {
        }
        done = true;
    });
    while (!inSend)
        std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const auto start = std::chrono::steady_clock::now();
    app.ExitInstance();
    sender.join();
    EXPECT_TRUE(done.load());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(7));
    EXPECT_TRUE(app.ShutDown());
}

TEST_F(VarnellAppTest, EveryStartBeginsWithTheServiceRunning)
{
    Engine().serviceStopped.store(1);
    CVarnellApp app(TestOptions());
    app.InitInstance();
    EXPECT_EQ(Engine().serviceStopped.load(), 0u);
    EXPECT_FALSE(app.MainFrame()->Action(kCmdStartService)->isEnabled());
    EXPECT_TRUE(app.MainFrame()->Action(kCmdStopService)->isEnabled());
    EXPECT_EQ(app.MainFrame()->windowTitle(), QStringLiteral("Varnell"));
    app.ExitInstance();
}
