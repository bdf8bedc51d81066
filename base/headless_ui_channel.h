// A user-interface channel without a window system: messages run on one
// dispatcher thread that stands in for the user-interface thread. The daemon
// runs on it, and so does every test of the rooms below ui/. Nothing here can
// show a box or open a document: boxes close at once and opening fails; a
// program that can do better overrides those two.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/ui_channel.h"

namespace varnell {

class HeadlessUiChannel : public UiChannel {
public:
    HeadlessUiChannel();
    ~HeadlessUiChannel() override;

    WindowId RegisterWindow(MessageHandler handler) override;
    void UnregisterWindow(WindowId window) override;
    void Post(WindowId window, WindowMessage message) override;
    bool Send(WindowId window, WindowMessage message) override;
    bool SendAll(WindowId window, std::vector<WindowMessage>& messages) override;
    void MessageBox(const std::string& text, const std::string& caption, BoxIcon icon) override;
    OpenResult ShellOpen(const std::string& path) override;
    // ShellOpen's result goes to done at once.
    void OpenDocument(const std::string& path, OpenDone done) override;
    void ReleaseWaiters() override;

    // Runs fn on the dispatcher thread and waits for it.
    void RunOnUiThread(const std::function<void()>& fn);
    // Waits until every message queued so far has been handled.
    void Drain();
    bool IsUiThread() const;

protected:
    // Stops the dispatcher; a derived class whose overrides the dispatcher may
    // still be running calls it from its own destructor.
    void Stop();

private:
    struct Pending {
        WindowId window;
        WindowMessage message;
        std::function<void()> task;
        std::shared_ptr<int> done; // set to 1 = handled, 2 = dropped
    };
    void Loop();

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Pending> queue_;
    std::map<WindowId, MessageHandler> windows_;
    WindowId nextWindow_ = 1;
    bool stopping_ = false;
    bool released_ = false;
    bool busy_ = false;
    std::thread thread_;
};

} // namespace varnell
