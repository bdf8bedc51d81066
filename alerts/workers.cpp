#include "alerts/workers.h"

#include "base/tick.h"
#include <chrono>


namespace varnell {

// ---- cbasethread ----

cbasethread::cbasethread() = default;

cbasethread::~cbasethread()
{
    // Last resort for an owner that forgot StopAndJoin: never let std::thread's
    // destructor end the process. The derived parts are already gone, so the
    // thread is expected to be idle by now.
    if (thread_.joinable()) {
        stop_.store(1, std::memory_order_release);
        thread_.join();
    }
}

int cbasethread::Run()
{
    PostExitNotification();
    return 0;
}

int cbasethread::OnExit() { return 0; }
int cbasethread::OnInit() { return 0; }
void cbasethread::Process() {}
void cbasethread::Wake() {}

void cbasethread::RequestStop() { stop_.store(1, std::memory_order_release); }

void cbasethread::SetPaused(bool paused) { paused_.store(paused ? 1 : 0, std::memory_order_release); }

void cbasethread::PostExitNotification()
{
    if (notifyWindow_ == kNoWindow || notifyMessage_ == 0)
        return;
    GetUiChannel().Post(notifyWindow_,
                      MakeMessage(notifyMessage_, reinterpret_cast<std::uintptr_t>(this), kThreadExitMagic));
}

void cbasethread::ThreadMain()
{
    OnInit();
    Run();
    int code = OnExit();
    exitCode_.store(code, std::memory_order_release);
    end_.Set();
}

int cbasethread::Resume()
{
    if (thread_.joinable())
        return 0;
    thread_ = std::thread([this] { ThreadMain(); });
    threadId_ = thread_.get_id();
    return 1;
}

int cbasethread::StopAndJoin()
{
    if (!thread_.joinable())
        return 0;
    // A thread left behind is blocked somewhere we cannot reach (a modal box,
    // a silent server).
    return end_.JoinWithin(thread_) ? 1 : 2;
}

// ---- ceventthread ----

ceventthread::ceventthread() = default;

ceventthread::~ceventthread()
{
    // Anyone still waiting on the event gets released before it goes away.
    wakeEvent_.Set();
}

int ceventthread::Run()
{
    while (!StopRequested()) {
        std::uint32_t now = TickCount();
        std::uint32_t wait;
        std::uint32_t last = lastRun_.load(std::memory_order_acquire);
        // Unsigned differences, so a wrapped tick counter still compares right.
        if (last != 0 && now - last < interval_) {
            wait = interval_ - (now - last);
        } else {
            Process();
            std::uint32_t after = TickCount();
            lastRun_.store(after == 0 ? 1 : after, std::memory_order_release);
            std::uint32_t elapsed = after - now;
            if (interval_ != 0 && elapsed >= interval_ && !Paused())
                continue;
            wait = interval_ - elapsed;
        }
        if (Paused())
            wait = UINT32_MAX;
        else if (interval_ == 0)
            wait = IdleWaitMs();
        wakeEvent_.Wait(wait);
    }
    PostExitNotification();
    return 0;
}

void ceventthread::Wake()
{
    lastRun_.store(0, std::memory_order_release);
    wakeEvent_.Set();
}

void ceventthread::RequestStop()
{
    stop_.store(1, std::memory_order_release);
    wakeEvent_.Set();
}

void ceventthread::SetPaused(bool paused)
{
    paused_.store(paused ? 1 : 0, std::memory_order_release);
    if (!paused)
        wakeEvent_.Set();
}

// ---- cnotifythread ----

cnotifythread::cnotifythread() = default;
cnotifythread::~cnotifythread() = default;

} // namespace varnell
