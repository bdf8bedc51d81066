// The one QApplication of the UI test program. A global test environment creates
// it on the main thread before the first test (offscreen unless the caller chose
// a platform); every test file uses qApp and never makes its own.
#pragma once

#include <QApplication>
#include <QWidget>

#include <functional>

namespace varnell::test {

// Runs the event loop for up to timeoutMs or until pred() holds.
bool ProcessUntil(const std::function<bool()>& pred, int timeoutMs);

// Calls onModal with each modal dialog that opens (after it is shown), then
// closes it, until the returned guard is destroyed: lets a test drive commands
// that open modal dialogs.
class ModalCloser {
public:
    explicit ModalCloser(std::function<void(QWidget*)> onModal = {});
    ~ModalCloser();
    int Closed() const { return closed_; }

private:
    std::function<void(QWidget*)> onModal_;
    int closed_ = 0;
    QObject* timerOwner_;
};

} // namespace varnell::test
