#include "ui/items/result_bridge.h"

#include <QPointer>

#include "alerts/dispatch.h"
#include "alerts/event_list.h"
#include "items/result_hooks.h"
#include "monitor/monitor.h"
#include "ui/items/dns_item_view.h"

namespace varnell {

namespace {

class BridgeHooks final : public ResultHooks {
public:
    QPointer<CDnsItemView> view;

    void SetRowText(const DnsItem& item, int column, const std::string& text) override
    {
        if (view)
            view->List()->SetRowText(item, column, text);
    }
    void SetRowImage(const DnsItem& item, int image) override
    {
        if (view)
            view->List()->SetRowImage(item, image);
    }
    void AddEventRow(const DnsItem* item, const std::string& text, std::int64_t time, int kind,
                     std::string& timeText) override
    {
        ::varnell::AddEventRow(item, text, time, kind, timeText);
    }
    void DispatchEvent(const DnsItem& item, const std::string& text, const std::string& timeText) override
    {
        ::varnell::DispatchEvent(item, text, timeText);
    }
};

BridgeHooks& TheHooks()
{
    static BridgeHooks hooks;
    return hooks;
}

} // namespace

void InstallResultBridge(CDnsItemView* view)
{
    RemoveResultBridge();
    TheHooks().view = view;
    InstallResultWindows(&TheHooks());
}

void RemoveResultBridge()
{
    RemoveResultWindows();
    TheHooks().view = nullptr;
}

} // namespace varnell
