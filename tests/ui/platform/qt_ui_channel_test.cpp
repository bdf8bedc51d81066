#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QMessageBox>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "alerts/log_file.h"
#include "config/settings.h"
#include "tests/support/process.h"
#include "tests/ui/qt_test_env.h"
#include "ui/platform/qt_ui_channel.h"

using namespace varnell;
using varnell::test::ProcessUntil;
using namespace std::chrono_literals;

namespace {

QMessageBox* OpenBox()
{
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(w); box != nullptr && box->isVisible())
            return box;
    return nullptr;
}

} // namespace

TEST(QtUiChannel, OneSendersPostsArriveInOrderOnTheUiThread)
{
    QtUiChannel desktop;
    std::vector<std::uintptr_t> seen;
    bool allOnUi = true;
    const WindowId w = desktop.RegisterWindow([&](const WindowMessage& m) {
        seen.push_back(m.wparam);
        allOnUi = allOnUi && QThread::currentThread() == qApp->thread();
    });
    std::thread worker([&] {
        for (std::uintptr_t i = 0; i < 500; ++i)
            desktop.Post(w, WindowMessage{WM_DNS_RESULT, i, 0, {}});
    });
    worker.join();
    ASSERT_TRUE(ProcessUntil([&] { return seen.size() == 500; }, 5000));
    for (std::uintptr_t i = 0; i < 500; ++i)
        ASSERT_EQ(seen[i], i);
    EXPECT_TRUE(allOnUi);
}

TEST(QtUiChannel, SendWaitsForTheHandlerAndRunsDirectlyOnTheUiThread)
{
    QtUiChannel desktop;
    std::atomic<int> handled{0};
    const WindowId w = desktop.RegisterWindow([&](const WindowMessage& m) { handled += static_cast<int>(m.lparam); });
    // On the user-interface thread a Send is a plain call.
    EXPECT_TRUE(desktop.Send(w, WindowMessage{WM_DNS_RESULT, 0, 1, {}}));
    EXPECT_EQ(handled.load(), 1);

    std::atomic<int> sendResult{-1};
    std::atomic<int> seenAfterReturn{-1};
    std::thread worker([&] {
        sendResult = desktop.Send(w, WindowMessage{WM_DNS_RESULT, 0, 10, {}}) ? 1 : 0;
        seenAfterReturn = handled.load();
    });
    ASSERT_TRUE(ProcessUntil([&] { return sendResult.load() != -1; }, 5000));
    worker.join();
    EXPECT_EQ(sendResult.load(), 1);
    // The handler had run before Send returned.
    EXPECT_EQ(seenAfterReturn.load(), 11);
}

TEST(QtUiChannel, ReleaseWaitersFreesASenderWhileTheUiThreadIsBusy)
{
    QtUiChannel desktop;
    int handled = 0;
    const WindowId w = desktop.RegisterWindow([&](const WindowMessage&) { ++handled; });
    std::atomic<int> result{-1};
    // This test thread stands for a user-interface thread that is joining the
    // engine threads: it runs no events while the worker sends.
    std::thread worker([&] { result = desktop.Send(w, WindowMessage{WM_DNS_RESULT, 0, 0, {}}) ? 1 : 0; });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(result.load(), -1);
    desktop.ReleaseWaiters();
    worker.join();
    EXPECT_EQ(result.load(), 0);
    // After the release every Send returns at once, unhandled.
    std::thread late([&] { result = desktop.Send(w, WindowMessage{WM_DNS_RESULT, 0, 0, {}}) ? 1 : 0; });
    late.join();
    EXPECT_EQ(result.load(), 0);
    QApplication::processEvents();
    // The message queued before the release is stale: its sender has gone on.
    EXPECT_EQ(handled, 0);
}

TEST(QtUiChannel, MessagesForAWindowThatWentAwayAreDropped)
{
    QtUiChannel desktop;
    int calls = 0;
    const WindowId w = desktop.RegisterWindow([&](const WindowMessage&) { ++calls; });
    desktop.Post(w, WindowMessage{WM_DNS_RESULT, 0, 0, {}});
    desktop.UnregisterWindow(w);
    QApplication::processEvents();
    EXPECT_EQ(calls, 0);
    std::atomic<int> result{-1};
    std::thread worker([&] { result = desktop.Send(w, WindowMessage{WM_DNS_RESULT, 0, 0, {}}) ? 1 : 0; });
    ASSERT_TRUE(ProcessUntil([&] { return result.load() != -1; }, 5000));
    worker.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(calls, 0);
}

TEST(QtUiChannel, WorkerMessageBoxBlocksOnlyTheWorkerUntilClosed)
{
    QtUiChannel desktop;
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        desktop.MessageBox("host is down", "Varnell", BoxIcon::Warning);
        returned = true;
    });
    QMessageBox* box = nullptr;
    // The user-interface thread keeps running events while the box is up.
    ASSERT_TRUE(ProcessUntil([&] { return (box = OpenBox()) != nullptr; }, 5000));
    EXPECT_EQ(box->text(), QStringLiteral("host is down"));
    EXPECT_EQ(box->windowTitle(), QStringLiteral("Varnell"));
    EXPECT_EQ(box->icon(), QMessageBox::Warning);
    ASSERT_EQ(box->buttons().size(), 1);
    EXPECT_FALSE(returned.load());
    box->buttons().first()->click();
    ASSERT_TRUE(ProcessUntil([&] { return returned.load(); }, 5000));
    worker.join();
}

TEST(QtUiChannel, ReleaseWaitersFreesAWorkerHeldByABox)
{
    QtUiChannel desktop;
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        desktop.MessageBox("still open", "Varnell", BoxIcon::Information);
        returned = true;
    });
    ASSERT_TRUE(ProcessUntil([] { return OpenBox() != nullptr; }, 5000));
    desktop.ReleaseWaiters();
    worker.join();
    EXPECT_TRUE(returned.load());
    delete OpenBox();
}

TEST(QtUiChannel, ShellOpenTellsAMissingFileFromAMissingFolder)
{
    QtUiChannel desktop;
    EXPECT_EQ(static_cast<int>(desktop.ShellOpen("/tmp/no-such-file-for-varnell-tests.txt")), 2);
    EXPECT_EQ(static_cast<int>(desktop.ShellOpen("/no-such-folder-for-varnell/x.txt")), 3);
    EXPECT_EQ(static_cast<int>(desktop.ShellOpen("")), 2);
    std::atomic<int> fromWorker{-1};
    std::thread worker([&] { fromWorker = static_cast<int>(desktop.ShellOpen("/no-such-folder-for-varnell/x.txt")); });
    ASSERT_TRUE(ProcessUntil([&] { return fromWorker.load() != -1; }, 5000));
    worker.join();
    EXPECT_EQ(fromWorker.load(), 3);
}

// View Log File hands the log to xdg-open and returns while it runs; only its
// failing exit status brings in the text editor.
TEST(QtUiChannel, ViewLogFileFallsBackOnTheOpenersExitWithoutWaiting)
{
    QtUiChannel desktop;
    SetUiChannel(&desktop);
    test::TempDir dir;
    auto script = [&](const char* name, const std::string& body) {
        test::WriteFile(dir.File(name), "#!/bin/sh\nPATH=/usr/bin:/bin\n" + body);
        ::chmod(dir.File(name).c_str(), 0755);
    };
    // The opener waits for the test's word, then exits with it.
    script("xdg-open", "d=$(dirname \"$0\")\n"
                       "while [ ! -f \"$d/answer\" ]; do sleep 0.02; done\n"
                       "s=$(cat \"$d/answer\"); rm \"$d/answer\"; echo \"$1\" >> \"$d/opened\"; exit $s\n");
    script("gedit", "echo \"$1\" >> \"$(dirname \"$0\")/edited\"\n");
    const std::string savedPath = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    setenv("PATH", dir.Path().c_str(), 1); // no real opener or editor is found
    const std::string log = dir.File("events.log");
    CurrentSettings().general.texts[kTextLogPath] = log;
    ReopenLogFile();

    auto view = [&](const char* answer, int editorRuns) {
        EXPECT_EQ(ViewLogFile(), 1); // returned while the opener waits for its answer
        test::WriteFile(dir.File("answer.part"), answer);
        std::rename(dir.File("answer.part").c_str(), dir.File("answer").c_str());
        std::string expected;
        for (int i = 0; i < editorRuns; ++i)
            expected += log + "\n";
        return test::WaitFor([&] { return test::ReadFile(dir.File("edited")) == expected; }, 5s);
    };
    EXPECT_TRUE(view("3", 1)); // nothing handles the file: the editor shows it
    EXPECT_TRUE(view("0", 1));
    EXPECT_TRUE(test::WaitFor([&] { return test::ReadFile(dir.File("opened")) == log + "\n" + log + "\n"; }, 5s));
    EXPECT_TRUE(view("4", 2)); // only the two failures brought the editor in
    EXPECT_EQ(test::ReadFile(dir.File("edited")), log + "\n" + log + "\n");

    setenv("PATH", savedPath.c_str(), 1);
    CurrentSettings().general.texts[kTextLogPath].clear();
    ReopenLogFile();
    SetUiChannel(nullptr);
}
