// The message box worker: shows one modal box per queue entry, one after the
// other, on the user-interface thread through the desktop layer. The worker
// waits while a box is open; shutdown releases it (UiChannel::ReleaseWaiters).
#pragma once

#include <string>

#include "alerts/workers.h"

namespace varnell {

struct BoxEntry {
    WindowId reply = kNoWindow;
    std::string text;
    std::string caption;
    int icon = 0; // 0 information, 1 warning, anything else error
};

inline constexpr int kBoxIconError = 2;

class cboxthread : public cnotifythread {
public:
    cboxthread() = default;
    ~cboxthread() override;

    // 0 when queued, -1 when the queue is full.
    int Post(WindowId reply, const std::string& caption, const std::string& text, int icon);
    void Process() override;

    static BoxIcon IconOfKind(int kind);

private:
    NotifyRing<BoxEntry> ring_;
};

} // namespace varnell
