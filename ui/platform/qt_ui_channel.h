// The channel to the user-interface thread on Qt: window messages become queued invocations on the
// user-interface thread, message boxes are QMessageBoxes, and opening a document
// goes through the desktop's URL handler.
//
// Who touches what: the window table is shared by every thread (engine threads
// post and send, the user-interface thread registers and unregisters) and is
// guarded by mutex_. A Send waits on its own ticket, which the handler or
// ReleaseWaiters completes; nothing here ever blocks the user-interface thread,
// so a shutdown that joins an engine thread cannot deadlock on a pending Send.
#pragma once

#include <QObject>
#include <QPointer>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "base/ui_channel.h"

class QMessageBox;
class QWidget;

namespace varnell {

class QtUiChannel : public UiChannel {
public:
    // Must be constructed on the user-interface thread, after the QApplication.
    QtUiChannel();
    ~QtUiChannel() override;
    QtUiChannel(const QtUiChannel&) = delete;
    QtUiChannel& operator=(const QtUiChannel&) = delete;

    WindowId RegisterWindow(MessageHandler handler) override;
    void UnregisterWindow(WindowId window) override;
    void Post(WindowId window, WindowMessage message) override;
    bool Send(WindowId window, WindowMessage message) override;
    bool SendAll(WindowId window, std::vector<WindowMessage>& messages) override;
    void MessageBox(const std::string& text, const std::string& caption, BoxIcon icon) override;
    OpenResult ShellOpen(const std::string& path) override;
    void ReleaseWaiters() override;

    bool IsUiThread() const;
    bool Released() const;

private:
    struct Ticket {
        int state = 0; // 0 waiting, 1 handled, 2 dropped
    };
    // Runs on the user-interface thread: looks the window up at delivery time, so
    // a window unregistered in between drops the message.
    void Deliver(WindowId window, const WindowMessage& message);
    void Complete(const std::shared_ptr<Ticket>& ticket, int state);
    QMessageBox* MakeBox(const std::string& text, const std::string& caption, BoxIcon icon, QWidget* owner);
    // Alert boxes have no owner, so nothing but the operator or the exit closes
    // them; the exit is ReleaseWaiters on the user-interface thread, or this
    // layer's end.
    void CloseAlertBoxes();

    QObject* context_; // lives on the user-interface thread; target of queued calls
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::map<WindowId, std::shared_ptr<MessageHandler>> windows_;
    WindowId nextWindow_ = 1;
    bool released_ = false;
    std::vector<QPointer<QMessageBox>> alertBoxes_; // user-interface thread only
};

// Opens a path or URL with the desktop's URL handler, then with xdg-open.
OpenResult OpenWithDesktop(const std::string& pathOrUrl);

} // namespace varnell
