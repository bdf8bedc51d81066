#include "base/headless_ui_channel.h"

namespace varnell {

HeadlessUiChannel::HeadlessUiChannel() : thread_([this] { Loop(); }) {}

HeadlessUiChannel::~HeadlessUiChannel()
{
    Stop();
    ForgetUiChannel(this);
}

void HeadlessUiChannel::Stop()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        released_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

WindowId HeadlessUiChannel::RegisterWindow(MessageHandler handler)
{
    std::lock_guard lock(mutex_);
    WindowId id = nextWindow_++;
    windows_[id] = std::move(handler);
    return id;
}

void HeadlessUiChannel::UnregisterWindow(WindowId window)
{
    std::lock_guard lock(mutex_);
    windows_.erase(window);
}

void HeadlessUiChannel::Post(WindowId window, WindowMessage message)
{
    {
        std::lock_guard lock(mutex_);
        if (stopping_)
            return;
        queue_.push_back(Pending{window, std::move(message), {}, nullptr});
    }
    cv_.notify_all();
}

bool HeadlessUiChannel::Send(WindowId window, WindowMessage message)
{
    if (IsUiThread()) {
        MessageHandler handler;
        {
            std::lock_guard lock(mutex_);
            auto it = windows_.find(window);
            if (it == windows_.end())
                return false;
            handler = it->second;
        }
        handler(message);
        return true;
    }
    auto done = std::make_shared<int>(0);
    std::unique_lock lock(mutex_);
    if (released_)
        return false;
    queue_.push_back(Pending{window, std::move(message), {}, done});
    cv_.notify_all();
    cv_.wait(lock, [&] { return *done != 0 || released_; });
    return *done == 1;
}

bool HeadlessUiChannel::SendAll(WindowId window, std::vector<WindowMessage>& messages)
{
    // Shared with the task: a sender released at shutdown has gone on by the
    // time a task still queued runs.
    struct Batch {
        std::vector<WindowMessage> messages;
        bool ran = false;
    };
    auto batch = std::make_shared<Batch>();
    batch->messages = std::move(messages);
    const auto runAll = [this, window, batch] {
        MessageHandler handler;
        {
            std::lock_guard lock(mutex_);
            auto it = windows_.find(window);
            // A sender released at shutdown has been told "not handled".
            if (it == windows_.end() || released_)
                return;
            handler = it->second;
        }
        for (const WindowMessage& m : batch->messages)
            handler(m);
        batch->ran = true;
    };
    if (IsUiThread()) {
        runAll();
        return batch->ran;
    }
    auto done = std::make_shared<int>(0);
    std::unique_lock lock(mutex_);
    if (released_)
        return false;
    queue_.push_back(Pending{kNoWindow, {}, runAll, done});
    cv_.notify_all();
    cv_.wait(lock, [&] { return *done != 0 || released_; });
    return *done == 1 && batch->ran;
}

void HeadlessUiChannel::MessageBox(const std::string&, const std::string&, BoxIcon) {}

OpenResult HeadlessUiChannel::ShellOpen(const std::string&) { return OpenResult::kNoApplication; }

void HeadlessUiChannel::OpenDocument(const std::string& path, OpenDone done)
{
    const OpenResult result = ShellOpen(path);
    if (done)
        done(result);
}

void HeadlessUiChannel::ReleaseWaiters()
{
    {
        std::lock_guard lock(mutex_);
        released_ = true;
    }
    cv_.notify_all();
}

void HeadlessUiChannel::RunOnUiThread(const std::function<void()>& fn)
{
    if (IsUiThread()) {
        fn();
        return;
    }
    auto done = std::make_shared<int>(0);
    std::unique_lock lock(mutex_);
    queue_.push_back(Pending{kNoWindow, {}, fn, done});
    cv_.notify_all();
    cv_.wait(lock, [&] { return *done != 0 || stopping_; });
}

void HeadlessUiChannel::Drain()
{
    if (IsUiThread())
        return;
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return (queue_.empty() && !busy_) || stopping_; });
}

bool HeadlessUiChannel::IsUiThread() const { return std::this_thread::get_id() == thread_.get_id(); }

void HeadlessUiChannel::Loop()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        cv_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (stopping_ && queue_.empty())
            return;
        if (queue_.empty())
            continue;
        Pending p = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        MessageHandler handler;
        if (!p.task) {
            auto it = windows_.find(p.window);
            if (it != windows_.end())
                handler = it->second;
        }
        lock.unlock();
        bool handled = false;
        if (p.task) {
            p.task();
            handled = true;
        } else if (handler) {
            handler(p.message);
            handled = true;
        }
        lock.lock();
        busy_ = false;
        if (p.done)
            *p.done = handled ? 1 : 2;
        cv_.notify_all();
    }
}

} // namespace varnell
