#include "base/ui_channel.h"

#include <atomic>

#include "base/headless_ui_channel.h"

namespace varnell {

namespace {
std::atomic<UiChannel*> g_channel{nullptr};
}

void SetUiChannel(UiChannel* channel) { g_channel.store(channel); }

void ForgetUiChannel(UiChannel* channel)
{
    UiChannel* expected = channel;
    g_channel.compare_exchange_strong(expected, nullptr);
}

UiChannel& GetUiChannel()
{
    UiChannel* c = g_channel.load();
    if (c == nullptr) {
        // A program part used before start-up installed a channel: fall back to a
        // headless one so nothing dereferences null.
        static HeadlessUiChannel fallback;
        return fallback;
    }
    return *c;
}

void UiChannel::OpenDocument(const std::string& path, OpenDone done)
{
    if (OpenWithXdg(path, done) != OpenResult::kOpened && done)
        done(OpenResult::kFileNotFound);
}

bool UiChannel::SendAll(WindowId window, std::vector<WindowMessage>& messages)
{
    for (WindowMessage& m : messages)
        if (!Send(window, std::move(m)))
            return false;
    return true;
}

} // namespace varnell
