#include "monitor/monitor.h"

#include "probe/transport_probe.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <sys/socket.h>

#include "alerts/dispatch.h"
#include "alerts/event_list.h"
#include "alerts/log_file.h"
#include "alerts/syslog.h"
#include "base/freed_memory.h"
#include "config/history_file.h"
#include "config/settings.h"
#include "config/settings_blob.h"
#include "config/settings_store.h"
#include "items/history.h"
#include "items/result_eval.h"
#include "metrics/metrics_server.h"
#include "monitor/control_server.h"
#include "monitor/item_status.h"
#include "probe/edns.h"
#include "probe/engine.h"
#include "probe/engine_threads.h"
#include "probe/probe_socket.h"
#include "probe/receiver.h"
#include "probe/request_table.h"
#include "probe/scheduler.h"

namespace varnell {

namespace {

// Forwards to the program's hooks and keeps the core's own notes on the way, so
// that the control socket can answer for the items and the events whatever the
// program shows them on.
class NotingHooks final : public ResultHooks {
public:
    ResultHooks* inner = nullptr;

    void SetRowText(const DnsItem& item, int column, const std::string& text) override
    {
        if (inner != nullptr)
            inner->SetRowText(item, column, text);
    }
    void SetRowImage(const DnsItem& item, int image) override
    {
        if (inner != nullptr)
            inner->SetRowImage(item, image);
    }
    void AddEventRow(const DnsItem* item, const std::string& text, std::int64_t time, int kind,
                     std::string& timeText) override
    {
        if (inner != nullptr)
            inner->AddEventRow(item, text, time, kind, timeText);
        if (timeText.empty())
            timeText = FormatTimeText(time);
        RecordEvent(timeText, text, kind);
    }
    void DispatchEvent(const DnsItem& item, const std::string& text, const std::string& timeText) override
    {
        if (inner != nullptr)
            inner->DispatchEvent(item, text, timeText);
    }
};

class StderrHooks final : public ResultHooks {
public:
    void SetRowText(const DnsItem&, int, const std::string&) override {}
    void SetRowImage(const DnsItem&, int) override {}
    void AddEventRow(const DnsItem*, const std::string& text, std::int64_t time, int, std::string& timeText) override
    {
        timeText = FormatTimeText(time);
        std::fprintf(stderr, "%s %s\n", timeText.c_str(), text.c_str());
    }
    void DispatchEvent(const DnsItem& item, const std::string& text, const std::string& timeText) override
    {
        ::varnell::DispatchEvent(item, text, timeText);
    }
};

struct Core {
    MonitorOptions options;
    MonitorLayer layer;
    bool running = false;
    bool threads = false;
    NotingHooks hooks;
    ResultObservers observers;
    WindowId resultWindow = kNoWindow;
    WindowId eventWindow = kNoWindow;
    bool storeKept = false; // the store was loaded here and is saved back
};

Core& TheCore()
{
    static Core core;
    return core;
}

// A store that could not be read: a copy is kept beside it and the sentence
// that tells the operator is returned (empty when the store loaded).
std::string KeepHeldStore()
{
    const StoreHold* hold = HeldStore();
    if (hold == nullptr)
        return {};
    std::string why;
    const bool copied = CopyHeldStore(why);
    std::string text = HeldStoreText(*hold); // naming the copy, once there is one
    if (!copied)
        text += " No copy of it could be made: " + why + ".";
    return text + " Monitoring starts with the default settings and no items.";
}

void OnResultMessage(const WindowMessage& message)
{
    if (message.id != WM_DNS_RESULT)
        return;
    // The slot number comes from an engine thread; a number that is no slot is
    // dropped rather than indexed with.
    if (message.wparam >= kItemSlots)
        return;
    const auto slot = static_cast<std::uint32_t>(message.wparam);
    const int code = static_cast<int>(message.lparam);
    Core& core = TheCore();
    if (core.observers.beforeResult)
        core.observers.beforeResult(slot, code);
    OnDnsResult(&LockItems()->items[slot], code);
    KeepHistory(HistoryNow());
}

void OnEventMessage(const WindowMessage& message)
{
    if (message.id != WM_EVENT_MESSAGE)
        return;
    Core& core = TheCore();
    if (core.observers.engineMessage) {
        core.observers.engineMessage(message.text);
        return;
    }
    // Engine messages go to the list only: they are no item's event, so nothing
    // is dispatched to the alert channels.
    std::string timeText;
    core.hooks.AddEventRow(nullptr, message.text, static_cast<std::int64_t>(std::time(nullptr)), kEventUp, timeText);
}

} // namespace

void InstallResultWindows(ResultHooks* hooks, ResultObservers observers)
{
    RemoveResultWindows();
    Core& core = TheCore();
    core.hooks.inner = hooks;
    core.observers = std::move(observers);
    UiChannel& desktop = GetUiChannel();
    core.resultWindow = desktop.RegisterWindow(OnResultMessage);
    core.eventWindow = desktop.RegisterWindow(OnEventMessage);
    SetResultHooks(&core.hooks);
    Engine().resultWindow.store(core.resultWindow);
    Engine().eventWindow.store(core.eventWindow);
}

void RemoveResultWindows()
{
    Core& core = TheCore();
    if (Engine().resultWindow.load() == core.resultWindow)
        Engine().resultWindow.store(kNoWindow);
    if (Engine().eventWindow.load() == core.eventWindow)
        Engine().eventWindow.store(kNoWindow);
    if (GetResultHooks() == &core.hooks)
        SetResultHooks(nullptr);
    if (core.resultWindow != kNoWindow)
        GetUiChannel().UnregisterWindow(core.resultWindow);
    if (core.eventWindow != kNoWindow)
        GetUiChannel().UnregisterWindow(core.eventWindow);
    core.resultWindow = kNoWindow;
    core.eventWindow = kNoWindow;
    core.hooks.inner = nullptr;
    core.observers = {};
}

ResultHooks& HeadlessResultHooks()
{
    static StderrHooks hooks;
    return hooks;
}

int StartMonitor(const MonitorOptions& options, MonitorLayer layer, bool startThreads)
{
    Core& core = TheCore();
    core.options = options;
    core.layer = std::move(layer);
    core.running = true;
    core.threads = false;
    // Every start begins with the service running and no exit requested.
    Engine().exitFlag.store(0);
    Engine().serviceStopped.store(0);

    // 1. The local address seeds the messenger receiver list of the defaults.
    if (options.loadSettings) {
        Engine().localAddressBE = LookUpLocalAddress();
        CurrentSettings() = DefaultSettings(Engine().localAddressBE);
    }
    // 2. The item table (and the pending requests of an earlier run in this process).
    InitItemTable();
    ResetRequestTable();
    // 3. The program's window object, not yet built or shown.
    if (core.layer.createWindowObject)
        core.layer.createWindowObject();
    // 4. The stored settings; none stored means the first run on this account.
    //    A store that cannot be read is copied aside at once, before anything
    //    else can happen to it, and held (see KeepHeldStore).
    core.storeKept = options.loadSettings && options.saveSettings;
    std::string heldNote;
    if (options.loadSettings) {
        if (LoadSettings() == kSettingsMissing && options.registerAutoStart)
            RegisterAutoStart(1);
        heldNote = KeepHeldStore();
        SetQueryEdnsSize(CurrentSettings().extra.queryEdns);
        SetTransportCaFile(CurrentSettings().extra.dnsCaFile);
    }
    // 5. The log file, and the round-trip history of the items just loaded.
    if (options.loadSettings)
        OpenLogFile();
    // The history goes where the settings go: a run that saves none keeps none,
    // and one whose items stayed in a held store would write every history away.
    if (options.loadSettings && options.saveSettings && HeldStore() == nullptr)
        StartHistoryKeeping(HistoryPath());
    // Reading the store and the history file allocated and freed a few MB.
    if (options.loadSettings)
        ReturnFreedMemory();
    // 6. The windows: the item list fills itself from the table and the result
    //    windows are installed. Without any, the table gets its rows alone.
    if (core.layer.createWindows) {
        core.layer.createWindows();
    } else {
        FillItemList([](DnsItem&) {});
        InstallResultWindows(&HeadlessResultHooks());
    }
    // Items the store could not load whole were suspended; now there is a list to say so.
    for (std::string& note : TakeItemLoadNotes())
        ReportEngineMessage(std::move(note));
    if (!heldNote.empty()) {
        // The windowless program's event list is standard error already.
        if (core.layer.createWindows)
            std::fprintf(stderr, "varnell: %s\n", heldNote.c_str());
        ReportEngineMessage(std::move(heldNote));
    }
    // 7, 8. The wake event and the probe socket (failures go to the event list).
    CreateWakeEvent();
    const int socketResult = OpenProbeSocket(options.probePort);
    if (options.probeReceiveBuffer != 0)
        SetProbeReceiveBuffer(options.probeReceiveBuffer);
    // 9. The syslog socket.
    OpenSyslogSocket();
    if (startThreads)
        StartMonitorThreads();
    return socketResult;
}

void StartMonitorThreads()
{
    Core& core = TheCore();
    if (!core.running || core.threads)
        return;
    core.threads = true;
    // 10-12. Receiver, alert workers, scheduler.
    StartReceiver();
    if (core.options.alertWorkers)
        StartAlertWorkers();
    StartScheduler();
    if (!core.options.controlSocket.empty()) {
        std::string error;
        if (!StartControlServer(core.options.controlSocket, error))
            std::fprintf(stderr, "varnell: no control socket at %s: %s\n", core.options.controlSocket.c_str(),
                         error.c_str());
    }
    // Last, once the table is live; a port that cannot be bound is an event-list
    // row and monitoring goes on without the endpoint.
    SetMetricsWebConfig(CurrentSettings().extra.metricsWebConfig);
    StartMetricsServer(CurrentSettings().extra.metricsListen);
}

MonitorStop StopMonitor()
{
    Core& core = TheCore();
    MonitorStop stop;
    if (!core.running)
        return stop;
    core.running = false;
    // No engine, worker or control thread may stay blocked on the owner thread
    // while this thread joins it.
    GetUiChannel().ReleaseWaiters();
    WakeEventWaiters();
    StopControlServer();
    StopMetricsServer();
    stop.engineThreadsEnded = StopEngineThreads();
    if (core.options.alertWorkers)
        stop.workersLeft = StopAlertWorkers();
    if (core.options.saveSettings) {
        std::string why;
        if (!SaveSettings(&why))
            std::fprintf(stderr, "varnell: the settings and items were not saved: %s\n", why.c_str());
    }
    StopHistoryKeeping();
    if (stop.workersLeft > 0 && core.options.exitIfWorkersStuck) {
        FlushLogFile();
        std::_Exit(0);
    }
    core.threads = false;
    return stop;
}

int LoadStoreAlone()
{
    Engine().localAddressBE = LookUpLocalAddress();
    CurrentSettings() = DefaultSettings(Engine().localAddressBE);
    InitItemTable();
    const int result = LoadSettings();
    TheCore().storeKept = true;
    FillItemList([](DnsItem&) {});
    return result;
}

bool StoreTakesChanges(std::string& why)
{
    const StoreHold* hold = TheCore().storeKept ? HeldStore() : nullptr;
    if (hold != nullptr)
        why = HeldStoreText(*hold);
    return hold == nullptr;
}

bool SaveStoreNow(std::string& why) { return !TheCore().storeKept || SaveSettings(&why); }

bool MonitorRunning() { return TheCore().running; }

const MonitorLayer& CurrentLayer() { return TheCore().layer; }

} // namespace varnell
