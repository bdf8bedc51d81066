// A headless desktop with one registered window that keeps every message the
// workers post back to it (WM_ACTION_DONE and the like).
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "tests/support/recording_ui_channel.h"

namespace varnell::test {

class ReplyWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetUiChannel(&desktop_);
        window_ = desktop_.RegisterWindow([this](const WindowMessage& m) {
            std::lock_guard lock(mutex_);
            done_.push_back(m);
        });
    }
    void TearDown() override { desktop_.UnregisterWindow(window_); }
    // Everything posted so far, after delivering what is still queued.
    std::vector<WindowMessage> Done()
    {
        desktop_.Drain();
        std::lock_guard lock(mutex_);
        return done_;
    }

    RecordingUiChannel desktop_;
    WindowId window_ = kNoWindow;
    std::mutex mutex_;
    std::vector<WindowMessage> done_;
};

} // namespace varnell::test
