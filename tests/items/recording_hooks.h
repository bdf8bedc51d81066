// A ResultHooks that records every call, for tests of result evaluation and of
// the engine threads. Safe to read from the test thread while the dispatcher
// thread writes (all access under its mutex).
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "items/result_hooks.h"

namespace varnell::test {

class RecordingHooks : public ResultHooks {
public:
    struct TextCall {
        std::uint32_t slot;
        int column;
        std::string text;
    };
    struct ImageCall {
        std::uint32_t slot;
        int image;
    };
    struct EventCall {
        std::uint32_t slot;
        std::string text;
        int kind;
        std::string timeText;
    };

    void SetRowText(const DnsItem& item, int column, const std::string& text) override
    {
        std::lock_guard lock(mutex);
        texts.push_back({SlotOf(item), column, text});
    }
    void SetRowImage(const DnsItem& item, int image) override
    {
        std::lock_guard lock(mutex);
        images.push_back({SlotOf(item), image});
    }
    void AddEventRow(const DnsItem* item, const std::string& text, std::int64_t, int kind,
                     std::string& timeText) override
    {
        std::lock_guard lock(mutex);
        timeText = "2026-01-02 03:04:05";
        events.push_back({item != nullptr ? SlotOf(*item) : 0xFFFFFFFFu, text, kind, timeText});
    }
    void DispatchEvent(const DnsItem& item, const std::string& text, const std::string& timeText) override
    {
        std::lock_guard lock(mutex);
        dispatched.push_back({SlotOf(item), text, -1, timeText});
    }

    void Clear()
    {
        std::lock_guard lock(mutex);
        texts.clear();
        images.clear();
        events.clear();
        dispatched.clear();
    }
    std::vector<int> Images()
    {
        std::lock_guard lock(mutex);
        std::vector<int> out;
        for (const auto& i : images)
            out.push_back(i.image);
        return out;
    }
    // The last text written to a column ("" when none).
    std::string Text(int column)
    {
        std::lock_guard lock(mutex);
        for (auto it = texts.rbegin(); it != texts.rend(); ++it)
            if (it->column == column)
                return it->text;
        return {};
    }
    int Count(int column)
    {
        std::lock_guard lock(mutex);
        int n = 0;
        for (const auto& t : texts)
            n += t.column == column ? 1 : 0;
        return n;
    }
    std::vector<EventCall> Events()
    {
        std::lock_guard lock(mutex);
        return events;
    }

    std::mutex mutex;
    std::vector<TextCall> texts;
    std::vector<ImageCall> images;
    std::vector<EventCall> events;
    std::vector<EventCall> dispatched;
};

} // namespace varnell::test
