#include "tests/support/recording_ui_channel.h"

namespace varnell {

RecordingUiChannel::~RecordingUiChannel()
{
    {
        std::lock_guard lock(mutex_);
        released_ = true;
    }
    cv_.notify_all();
    // The dispatcher may be inside one of the overrides above.
    Stop();
}

void RecordingUiChannel::MessageBox(const std::string& text, const std::string& caption, BoxIcon icon)
{
    std::unique_lock lock(mutex_);
    boxes_.push_back(Box{text, caption, icon});
    cv_.notify_all();
    if (!holdBoxes_ || released_)
        return;
    const std::uint64_t generation = boxGeneration_;
    cv_.wait(lock, [&] { return boxGeneration_ != generation || released_; });
}

OpenResult RecordingUiChannel::ShellOpen(const std::string& path)
{
    std::lock_guard lock(mutex_);
    opened_.push_back(path);
    return OpenResult::kOpened;
}

void RecordingUiChannel::ReleaseWaiters()
{
    {
        std::lock_guard lock(mutex_);
        released_ = true;
    }
    cv_.notify_all();
    HeadlessUiChannel::ReleaseWaiters();
}

std::vector<RecordingUiChannel::Box> RecordingUiChannel::Boxes()
{
    std::lock_guard lock(mutex_);
    return boxes_;
}

std::vector<std::string> RecordingUiChannel::Opened()
{
    std::lock_guard lock(mutex_);
    return opened_;
}

void RecordingUiChannel::HoldBoxes(bool hold)
{
    std::lock_guard lock(mutex_);
    holdBoxes_ = hold;
}

void RecordingUiChannel::CloseBoxes()
{
    {
        std::lock_guard lock(mutex_);
        ++boxGeneration_;
    }
    cv_.notify_all();
}

} // namespace varnell
