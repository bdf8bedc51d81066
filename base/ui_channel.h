// The desktop layer as the core sees it: the one way the engine and the alert
// workers reach the user-interface thread. The Qt program installs its own
// implementation (ui/); tests install HeadlessDesktop.
//
// Windows are numbers handed out by RegisterWindow; a message for a window that
// has gone away by the time it is delivered is dropped, so a worker can never
// reach a destroyed dialog.
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

namespace varnell {

// Message numbers (the window system's WM_USER is 0x400).
inline constexpr std::uint32_t kWmUser = 0x400;
inline constexpr std::uint32_t WM_DNS_RESULT = kWmUser + 8;      // 1032: w = item slot, l = result code
inline constexpr std::uint32_t WM_EVENT_MESSAGE = kWmUser + 9;   // an engine message for the event list (text)
inline constexpr std::uint32_t WM_ACTION_DONE = 2025;            // w = read index, l = result
inline constexpr std::uint32_t WM_NETSEND_DONE = 2032;           // w = cookie, l = status

using WindowId = std::uint32_t;
inline constexpr WindowId kNoWindow = 0;

struct WindowMessage {
    std::uint32_t id = 0;
    std::uintptr_t wparam = 0;
    std::intptr_t lparam = 0;
    std::string text; // owned payload (event-list messages); empty otherwise
};

// A message without a text.
inline WindowMessage MakeMessage(std::uint32_t id, std::uintptr_t wparam, std::intptr_t lparam)
{
    WindowMessage m;
    m.id = id;
    m.wparam = wparam;
    m.lparam = lparam;
    return m;
}

// WM_DNS_RESULT for the item in itemSlot with a result code.
inline WindowMessage DnsResultMessage(std::uint32_t itemSlot, int code)
{
    return MakeMessage(WM_DNS_RESULT, itemSlot, code);
}

using MessageHandler = std::function<void(const WindowMessage&)>;

enum class BoxIcon { None, Information, Warning, Error };

class Desktop {
public:
    virtual ~Desktop() = default;

    // Handlers run on the user-interface thread. Unregistering drops later messages.
    virtual WindowId RegisterWindow(MessageHandler handler) = 0;
    virtual void UnregisterWindow(WindowId window) = 0;

    // Returns at once; one sender's messages arrive in the order posted.
    virtual void Post(WindowId window, WindowMessage message) = 0;
    // Waits until the handler has run. Returns false when released without the
    // handler having run: the window is gone or the program is shutting down.
    virtual bool Send(WindowId window, WindowMessage message) = 0;
    // Sends every message in order as Send would, one after the other, but as one
    // hand-over: the handler runs for each, in order, on one turn of the
    // user-interface thread, and the caller waits once, until all have run.
    // False when released before that. The messages may be moved from.
    virtual bool SendAll(WindowId window, std::vector<WindowMessage>& messages);

    // A modal box with one OK button. On a worker thread it blocks that thread until
    // the box is closed or the program shuts down.
    virtual void MessageBox(const std::string& text, const std::string& caption, BoxIcon icon) = 0;

    // Opens a document or program with the desktop's default action. Like the
    // shell it stands in for, a result above 32 is success.
    virtual int ShellOpen(const std::string& path) = 0;

    // Opens a document without waiting for the opener: done gets 42 once the
    // opener has ended well and 2 when it failed or could not start. done may
    // run on any thread, and after the caller has returned. The default runs
    // xdg-open.
    virtual void OpenDocument(const std::string& path, std::function<void(int result)> done);

    // Shutdown: every waiting Send and MessageBox returns, and later ones return at once.
    virtual void ReleaseWaiters() = 0;
};

// The process-wide desktop; set once at start-up (or by a test).
void SetDesktop(Desktop* desktop);
Desktop& GetDesktop();

// Opens with xdg-open (no shell involved) and returns at once: 42 when xdg-open
// started, 2 when it could not. done, when given, gets xdg-open's outcome in the
// shell's codes (42 success, 2 failure) on the thread that reaps it.
int XdgOpen(const std::string& path, std::function<void(int result)> done = {});

// A desktop for tests and for running without a window system: messages run on
// one dispatcher thread that stands in for the user-interface thread; message
// boxes are recorded and closed at once unless HoldBoxes is set.
class HeadlessDesktop : public Desktop {
public:
    HeadlessDesktop();
    ~HeadlessDesktop() override;

    WindowId RegisterWindow(MessageHandler handler) override;
    void UnregisterWindow(WindowId window) override;
    void Post(WindowId window, WindowMessage message) override;
    bool Send(WindowId window, WindowMessage message) override;
    bool SendAll(WindowId window, std::vector<WindowMessage>& messages) override;
    void MessageBox(const std::string& text, const std::string& caption, BoxIcon icon) override;
    int ShellOpen(const std::string& path) override;
    // Recorded like ShellOpen, whose result goes to done at once.
    void OpenDocument(const std::string& path, std::function<void(int result)> done) override;
    void ReleaseWaiters() override;

    // Runs fn on the dispatcher thread and waits for it.
    void RunOnUiThread(const std::function<void()>& fn);
    // Waits until every message queued so far has been handled.
    void Drain();
    bool IsUiThread() const;

    struct Box {
        std::string text, caption;
        BoxIcon icon;
    };
    std::vector<Box> Boxes();
    std::vector<std::string> Opened();
    // While held, MessageBox blocks until CloseBoxes or ReleaseWaiters.
    void HoldBoxes(bool hold);
    void CloseBoxes();

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
    bool holdBoxes_ = false;
    std::uint64_t boxGeneration_ = 0;
    std::vector<Box> boxes_;
    std::vector<std::string> opened_;
    std::thread thread_;
};

} // namespace varnell
