// The monitor core: the one start-up order and the one shutdown order of the
// program, without any window system. The window program, the windowless
// program, the benchmarks and the end-to-end tests all start and stop here; a
// program only installs its desktop layer, and its windows at their step.
//
// Start-up (StartMonitor, then StartMonitorThreads unless asked to wait):
//   1. the local address and the defaults it seeds; 2. the item table and the
//   pending-request table; 3. the program's window object; 4. the stored
//   settings; 5. the log file; 6. the program's windows, which install the
//   result windows (InstallResultWindows); 7. the wake event; 8. the probe
//   socket; 9. the syslog socket; 10. the receiver; 11. the alert workers;
//   12. the scheduler; then the control socket and the metrics endpoint, once the
//   table is live.
// Shutdown (StopMonitor, once): release every thread waiting on the owner
//   thread, stop the control socket and the metrics endpoint, stop the engine
//   threads, stop the alert workers, save.
//
// Who touches what: everything here runs on the thread that owns the item table
// (the user-interface thread of the window program, the desktop's dispatcher
// thread of the windowless one), except where a comment says otherwise.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "base/ui_channel.h"
#include "items/item_table.h"
#include "items/result_hooks.h"

namespace varnell {

struct MonitorOptions {
    std::uint16_t probePort = 53;   // 0: any port (tests, benchmarks)
    int probeReceiveBuffer = 0;     // SO_RCVBUF for the probe socket; 0 keeps the engine's own
    bool loadSettings = true;       // false: defaults untouched, the caller fills the table
    bool registerAutoStart = false; // on a first run (nothing stored): the window program's login entry
    bool alertWorkers = true;
    bool saveSettings = true;       // at shutdown
    // An alert worker that will not stop still runs on the desktop and the
    // settings the rest of the exit destroys: with the settings saved, end the
    // process at once (programs; tests want the count instead).
    bool exitIfWorkersStuck = false;
    std::string controlSocket;      // served once started; empty: none
};

// The core without the store and the alert workers, on any probe port: what the
// benchmarks and the engine's tests run. They fill the table themselves between
// StartMonitor(..., false) and StartMonitorThreads.
inline MonitorOptions EngineOnlyOptions(int probeReceiveBuffer = 0)
{
    MonitorOptions options;
    options.probePort = 0;
    options.probeReceiveBuffer = probeReceiveBuffer;
    options.loadSettings = false;
    options.alertWorkers = false;
    options.saveSettings = false;
    return options;
}

// What a program puts around the core. Every member may be empty.
struct MonitorLayer {
    std::function<void()> createWindowObject; // step 3
    // Step 6: must fill the item list (FillItemList) and call InstallResultWindows.
    // Left empty, the rows are made without a list and HeadlessResultHooks serve.
    std::function<void()> createWindows;
    // Item commands from the control socket, so a list on screen follows the table.
    std::function<void(DnsItem& item)> rowAdded;       // after the item got its row
    std::function<bool(std::uint32_t row)> removeRow;  // before the table drops the row; false refuses
    std::function<void(DnsItem& item)> rowChanged;     // after the item's settings were rewritten
    // Shows the main window; false when the program has none (or it stays hidden).
    std::function<bool()> showWindow;
    // True while a dialog of the window holds items open for editing: changes
    // from the control socket are refused then rather than pulled from under it.
    std::function<bool()> itemsBusy;
};

// Steps 1-9 (10-12 and the control socket too when startThreads). Returns the
// probe socket's set-up result (probe/probe_socket.h). The desktop must have
// been installed with SetUiChannel.
int StartMonitor(const MonitorOptions& options, MonitorLayer layer = {}, bool startThreads = true);
// Steps 10-12 and the control socket, for callers that filled the table after
// StartMonitor(..., false).
void StartMonitorThreads();
struct MonitorStop {
    int engineThreadsEnded = 0; // of 2, within their wait
    int workersLeft = 0;        // alert workers that did not stop
};
// The shutdown; later calls do nothing until the next StartMonitor.
MonitorStop StopMonitor();
bool MonitorRunning();
// Steps 1, 2 and 4 and the rows, for working on the store with no monitor
// running (the command line). Returns LoadSettings' result.
int LoadStoreAlone();
// Whether a change to the items can be kept: false, with why, while the store
// this run loaded is held (config/settings_store.h). True when the run keeps
// no store (tests, benchmarks).
bool StoreTakesChanges(std::string& why);
// Saves the settings and the items now, when this run keeps a store (it loaded
// one and saves at its end): what a control request does before it answers
// that a change is made. false, with the store's reason, when the save failed.
bool SaveStoreNow(std::string& why);
const MonitorLayer& CurrentLayer();

// Hooks seen by the result windows before evaluation (slot, result code) and for
// engine messages (replacing the event-list row). Benchmarks and tests count here.
struct ResultObservers {
    std::function<void(std::uint32_t slot, int code)> beforeResult;
    std::function<void(const std::string& text)> engineMessage;
};

// Registers the result window (WM_DNS_RESULT to result evaluation) and the event
// window (WM_EVENT_MESSAGE to the event list) with the desktop, records them in
// Engine(), and installs hooks (wrapped, so the core can answer for every item's
// state and recent events).
void InstallResultWindows(ResultHooks* hooks, ResultObservers observers = {});
void RemoveResultWindows();

// Result hooks for a program without a window: events go to standard error, to
// the core's event record and to the alert dispatch.
ResultHooks& HeadlessResultHooks();

} // namespace varnell
