// The user-interface channel of the tests: the headless dispatcher, with every
// message box and every opened document recorded. Opening succeeds; a box
// closes at once unless HoldBoxes is set.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "base/headless_ui_channel.h"

namespace varnell {

class RecordingUiChannel : public HeadlessUiChannel {
public:
    ~RecordingUiChannel() override;

    void MessageBox(const std::string& text, const std::string& caption, BoxIcon icon) override;
    OpenResult ShellOpen(const std::string& path) override;
    void ReleaseWaiters() override;

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
    std::mutex mutex_;
    std::condition_variable cv_;
    bool released_ = false;
    bool holdBoxes_ = false;
    std::uint64_t boxGeneration_ = 0;
    std::vector<Box> boxes_;
    std::vector<std::string> opened_;
};

} // namespace varnell
