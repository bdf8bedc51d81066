#include "base/desktop.h"

#include <atomic>

#include "base/spawn.h"

namespace varnell {

namespace {
std::atomic<Desktop*> g_desktop{nullptr};
}

void SetDesktop(Desktop* desktop) { g_desktop.store(desktop); }

Desktop& GetDesktop()
{
    Desktop* d = g_desktop.load();
    if (d == nullptr) {
        // A program part used before start-up installed a desktop: fall back to a
        // headless one so nothing dereferences null.
        static HeadlessDesktop fallback;
        return fallback;
    }
    return *d;
}

int XdgOpen(const std::string& path, std::function<void(int result)> done)
{
    // Never waited for: xdg-open may hand over to an application that runs for
    // as long as the document is open.
    ExitHandler onExit;
    if (done)
        onExit = [done](int status) { done(status == 0 ? 42 : 2); };
    return Spawn({"xdg-open", path}, std::move(onExit)).Started() ? 42 : 2;
}

void Desktop::OpenDocument(const std::string& path, std::function<void(int result)> done)
{
    if (XdgOpen(path, done) <= 32 && done)
        done(2);
}

bool Desktop::SendAll(WindowId window, std::vector<WindowMessage>& messages)
{
    for (WindowMessage& m : messages)
        if (!Send(window, std::move(m)))
            return false;
    return true;
}

HeadlessDesktop::HeadlessDesktop() : thread_([this] { Loop(); }) {}

HeadlessDesktop::~HeadlessDesktop()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        released_ = true;
    }
    cv_.notify_all();
    thread_.join();
    if (g_desktop.load() == this)
        g_desktop.store(nullptr);
}

WindowId HeadlessDesktop::RegisterWindow(MessageHandler handler)
{
    std::lock_guard lock(mutex_);
    WindowId id = nextWindow_++;
    windows_[id] = std::move(handler);
    return id;
}

void HeadlessDesktop::UnregisterWindow(WindowId window)
{
    std::lock_guard lock(mutex_);
    windows_.erase(window);
}

void HeadlessDesktop::Post(WindowId window, WindowMessage message)
{
    {
        std::lock_guard lock(mutex_);
        if (stopping_)
            return;
        queue_.push_back(Pending{window, std::move(message), {}, nullptr});
    }
    cv_.notify_all();
}

bool HeadlessDesktop::Send(WindowId window, WindowMessage message)
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

bool HeadlessDesktop::SendAll(WindowId window, std::vector<WindowMessage>& messages)
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

void HeadlessDesktop::MessageBox(const std::string& text, const std::string& caption, BoxIcon icon)
{
    std::unique_lock lock(mutex_);
    boxes_.push_back(Box{text, caption, icon});
    cv_.notify_all();
    if (!holdBoxes_ || released_)
        return;
    const std::uint64_t generation = boxGeneration_;
    cv_.wait(lock, [&] { return boxGeneration_ != generation || released_; });
}

int HeadlessDesktop::ShellOpen(const std::string& path)
{
    std::lock_guard lock(mutex_);
    opened_.push_back(path);
    return 42;
}

void HeadlessDesktop::OpenDocument(const std::string& path, std::function<void(int result)> done)
{
    const int result = ShellOpen(path);
    if (done)
        done(result);
}

void HeadlessDesktop::ReleaseWaiters()
{
    {
        std::lock_guard lock(mutex_);
        released_ = true;
    }
    cv_.notify_all();
}

void HeadlessDesktop::RunOnUiThread(const std::function<void()>& fn)
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

void HeadlessDesktop::Drain()
{
    if (IsUiThread())
        return;
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return (queue_.empty() && !busy_) || stopping_; });
}

bool HeadlessDesktop::IsUiThread() const { return std::this_thread::get_id() == thread_.get_id(); }

std::vector<HeadlessDesktop::Box> HeadlessDesktop::Boxes()
{
    std::lock_guard lock(mutex_);
    return boxes_;
}

std::vector<std::string> HeadlessDesktop::Opened()
{
    std::lock_guard lock(mutex_);
    return opened_;
}

void HeadlessDesktop::HoldBoxes(bool hold)
{
    std::lock_guard lock(mutex_);
    holdBoxes_ = hold;
}

void HeadlessDesktop::CloseBoxes()
{
    {
        std::lock_guard lock(mutex_);
        ++boxGeneration_;
    }
    cv_.notify_all();
}

void HeadlessDesktop::Loop()
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
