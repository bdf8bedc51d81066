// A window number with the user-interface channel for one page: registered
// while the page lives, so a completion that arrives after the page has closed
// is dropped.
#pragma once

#include "base/ui_channel.h"

namespace varnell {

class PageWindow {
public:
    explicit PageWindow(MessageHandler handler);
    ~PageWindow();
    PageWindow(const PageWindow&) = delete;
    PageWindow& operator=(const PageWindow&) = delete;
    WindowId Id() const { return id_; }

private:
    UiChannel* channel_; // the one it was registered with, even if a test swaps it later
    WindowId id_;
};

} // namespace varnell
