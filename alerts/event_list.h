// The event list's rows, newest first, as a model the main window shows. Used on
// the user-interface thread only.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "items/item_table.h"

namespace varnell {

struct EventRow {
    std::string time;    // "%Y-%m-%d %H:%M:%S", local time
    std::string message; // the event text
    int kind = 0;        // image and data value: 0 up (and messages), 1 down, 2 changed
};

// Row 0 is the newest.
std::size_t EventRowCount();
const EventRow& EventRowAt(std::size_t row);

// Inserts a row at the top; gives back the formatted local time. item may be
// null (start-up and receiver messages). Returns 0.
int AddEventRow(const DnsItem* item, const std::string& text, std::int64_t time, int kind, std::string& timeText);
void ClearEventList();

// Formats a calendar time as local "%Y-%m-%d %H:%M:%S".
std::string FormatTimeText(std::int64_t time);

// The view learns of changes through these: a row inserted at 0, or all removed.
struct EventListObserver {
    std::function<void()> rowInserted;
    std::function<void()> cleared;
};
void SetEventListObserver(EventListObserver observer);

} // namespace varnell
