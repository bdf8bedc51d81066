// The channel to the user-interface thread as the core sees it: the one way the
// engine and the alert workers reach that thread. The Qt program installs its
// own implementation (ui/platform/qt_ui_channel.h); the daemon and tests install
// a HeadlessUiChannel (base/headless_ui_channel.h).
//
// Windows are numbers handed out by RegisterWindow; a message for a window that
// has gone away by the time it is delivered is dropped, so a worker can never
// reach a destroyed dialog.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/opener.h"

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

class UiChannel {
public:
    virtual ~UiChannel() = default;

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

    // Opens a document or program with the desktop's default action.
    virtual OpenResult ShellOpen(const std::string& path) = 0;

    // Opens a document without waiting for the opener: done gets kOpened once
    // the opener has ended well and a failure when it failed or could not start.
    // done may run on any thread, and after the caller has returned. The default
    // runs xdg-open.
    virtual void OpenDocument(const std::string& path, OpenDone done);

    // Shutdown: every waiting Send and MessageBox returns, and later ones return at once.
    virtual void ReleaseWaiters() = 0;
};

// The process-wide channel; set once at start-up (or by a test).
void SetUiChannel(UiChannel* channel);
UiChannel& GetUiChannel();
// Uninstalls channel if it is the one installed (a channel going away).
void ForgetUiChannel(UiChannel* channel);

} // namespace varnell
