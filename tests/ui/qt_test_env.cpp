#include "tests/ui/qt_test_env.h"

#include <gtest/gtest.h>

#include <QDialog>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdlib>

#include "tests/support/process.h"

namespace varnell::test {

namespace {

class QtAppEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        // No test reads or writes the user's own window layout, store or history.
        static TempDir home;
        setenv("XDG_CONFIG_HOME", home.Path().c_str(), 1);
        setenv("XDG_STATE_HOME", home.Path().c_str(), 1);
        static int argc = 1;
        static char name[] = "test_ui";
        static char* argv[] = {name, nullptr};
        if (QApplication::instance() == nullptr)
            app_ = new QApplication(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
    }
    void TearDown() override
    {
        // Leaving the application alive until exit: static Qt objects of the
        // program outlive the tests.
    }

private:
    QApplication* app_ = nullptr;
};

[[maybe_unused]] ::testing::Environment* const g_env = ::testing::AddGlobalTestEnvironment(new QtAppEnvironment);

} // namespace

bool ProcessUntil(const std::function<bool()>& pred, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

ModalCloser::ModalCloser(std::function<void(QWidget*)> onModal)
    : onModal_(std::move(onModal)), timerOwner_(new QObject())
{
    auto* timer = new QTimer(timerOwner_);
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, timerOwner_, [this] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || !modal->isVisible())
            return;
        if (onModal_)
            onModal_(modal);
        ++closed_;
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
        else
            modal->close();
    });
    timer->start();
}

ModalCloser::~ModalCloser() { delete timerOwner_; }

} // namespace varnell::test
