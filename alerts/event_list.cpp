#include "alerts/event_list.h"

#include <ctime>

namespace varnell {

namespace {
std::deque<EventRow>& Rows()
{
    static std::deque<EventRow> rows;
    return rows;
}
EventListObserver& Observer()
{
    static EventListObserver observer;
    return observer;
}
} // namespace

std::size_t EventRowCount() { return Rows().size(); }
const EventRow& EventRowAt(std::size_t row) { return Rows().at(row); }

std::string FormatTimeText(std::int64_t time)
{
    std::time_t t = static_cast<std::time_t>(time);
    std::tm local{};
    char buffer[128] = {};
    if (localtime_r(&t, &local) != nullptr)
        std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local);
    return buffer;
}

int AddEventRow(const DnsItem* /*item*/, const std::string& text, std::int64_t time, int kind, std::string& timeText)
{
    timeText = FormatTimeText(time);
    Rows().push_front(EventRow{timeText, text, kind});
    if (Observer().rowInserted)
        Observer().rowInserted();
    return 0;
}

void ClearEventList()
{
    Rows().clear();
    if (Observer().cleared)
        Observer().cleared();
}

void SetEventListObserver(EventListObserver observer) { Observer() = std::move(observer); }

} // namespace varnell
