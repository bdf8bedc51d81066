#include "ui/result_bridge.h"

#include <QPointer>

#include <ctime>

#include "alerts/dispatch.h"
#include "alerts/event_list.h"
#include "engine/desktop.h"
#include "engine/engine.h"
#include "engine/result_eval.h"
#include "engine/result_hooks.h"
#include "ui/dns_item_view.h"

namespace varnell {

namespace {

class BridgeHooks final : public ResultHooks {
public:
    QPointer<CDnsItemView> view;

    void SetRowText(const DnsItem& item, int column, const std::string& text) override
    {
        if (view)
            view->List()->SetRowText(item, column,
                                     QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
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

struct Bridge {
    BridgeHooks hooks;
    WindowId resultWindow = kNoWindow;
    WindowId eventWindow = kNoWindow;
};

Bridge& TheBridge()
{
    static Bridge bridge;
    return bridge;
}

void OnResultMessage(const WindowMessage& message)
{
    if (message.id != WM_DNS_RESULT)
        return;
    // The slot number comes from an engine thread; a number that is no slot is
    // dropped rather than indexed with.
    if (message.wparam >= kItemSlots)
        return;
    OnDnsResult(&Items().items[message.wparam], static_cast<int>(message.lparam));
}

void OnEventMessage(const WindowMessage& message)
{
    if (message.id != WM_EVENT_MESSAGE)
        return;
    std::string timeText;
    // Engine messages go to the list only: they are no item's event, so nothing
    // is dispatched to the alert channels.
    AddEventRow(nullptr, message.text, static_cast<std::int64_t>(std::time(nullptr)), kEventUp, timeText);
}

} // namespace

void InstallResultBridge(CDnsItemView* view)
{
    RemoveResultBridge();
    Bridge& bridge = TheBridge();
    bridge.hooks.view = view;
    Desktop& desktop = GetDesktop();
    bridge.resultWindow = desktop.RegisterWindow(OnResultMessage);
    bridge.eventWindow = desktop.RegisterWindow(OnEventMessage);
    SetResultHooks(&bridge.hooks);
    Engine().resultWindow.store(bridge.resultWindow);
    Engine().eventWindow.store(bridge.eventWindow);
}

void RemoveResultBridge()
{
    Bridge& bridge = TheBridge();
    if (Engine().resultWindow.load() == bridge.resultWindow)
        Engine().resultWindow.store(kNoWindow);
    if (Engine().eventWindow.load() == bridge.eventWindow)
        Engine().eventWindow.store(kNoWindow);
    if (GetResultHooks() == &bridge.hooks)
        SetResultHooks(nullptr);
    if (bridge.resultWindow != kNoWindow)
        GetDesktop().UnregisterWindow(bridge.resultWindow);
    if (bridge.eventWindow != kNoWindow)
        GetDesktop().UnregisterWindow(bridge.eventWindow);
    bridge.resultWindow = kNoWindow;
    bridge.eventWindow = kNoWindow;
    bridge.hooks.view = nullptr;
}

} // namespace varnell
