// What result evaluation calls out to: the item list (row texts and images), the
// event list and the alert dispatch. The main window and the alerts implement it;
// tests install a recorder. All calls come on the user-interface thread.
#pragma once

#include <cstdint>
#include <string>

#include "items/item_table.h"

namespace varnell {

// Item list columns.
enum ItemColumn : int {
    kColState = 0, kColName, kColDomain, kColType, kColAddress, kColServer,
    kColMonitorState, kColRtt, kColRequests, kColReplies, kItemColumnCount
};

// Row images and event kinds.
enum RowImage : int { kImageFailing = 0, kImageUp = 1, kImageDown = 2 };
enum EventKind : int { kEventUp = 0, kEventDown = 1, kEventChanged = 2 };

class ResultHooks {
public:
    virtual ~ResultHooks() = default;
    virtual void SetRowText(const DnsItem& item, int column, const std::string& text) = 0;
    virtual void SetRowImage(const DnsItem& item, int image) = 0;
    // Adds the event row; gives back the event's local time as "%Y-%m-%d %H:%M:%S".
    virtual void AddEventRow(const DnsItem* item, const std::string& text, std::int64_t time, int kind,
                             std::string& timeText) = 0;
    virtual void DispatchEvent(const DnsItem& item, const std::string& text, const std::string& timeText) = 0;
};

void SetResultHooks(ResultHooks* hooks);
ResultHooks* GetResultHooks();

} // namespace varnell
