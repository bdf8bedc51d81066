// The event hand-over to the alert channels, and the five alert workers' life.
//
// DispatchEvent runs on the user-interface thread for each event whose item
// asks to be notified. Syslog datagrams and the log line are done at once; the
// program launch, mail, message box, network messages and sound are queued to
// their workers, so a slow server or an open box never holds the caller up. A
// full queue loses that one request silently; the other channels still run.
//
// Start-up calls StartAlertWorkers after the settings, the log file and the
// syslog socket exist; shutdown calls StopAlertWorkers after the engine
// threads have ended. The worker accessors are for the settings pages' test
// buttons (user-interface thread); they return null outside that span.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "items/item_table.h"

namespace varnell {

class cnetsendthread;
class cmailthread;
class cexecthread;
class cboxthread;
class cbeepthread;

// Returns 0 always. itemFlags: the item's flags word (high-priority mail),
// copied under the engine lock: the scheduler writes the outstanding-request
// bits of the same word meanwhile.
int DispatchEvent(std::uint32_t itemFlags, const std::string& text, const std::string& timeText);
// The same, copying the item's flags word under the engine lock first.
int DispatchEvent(const DnsItem& item, const std::string& text, const std::string& timeText);

// Creates the workers in the order network message, mail, program launch,
// message box, beep, resuming each right after it is made (unless resume is
// false: tests look at what was queued before anything runs).
void StartAlertWorkers(bool resume = true);
// Asks all five to stop, then joins each (up to 3000 ms apiece) in that same
// order, then frees them. Call UiChannel::ReleaseWaiters first so that an open
// message box lets its worker go. A worker that still does not end is left to
// end with the process and is not freed (its thread still uses it). Returns
// how many were left so: the caller must then end the process soon, before
// what such a worker uses is torn down.
int StopAlertWorkers();
// Resumes workers made with StartAlertWorkers(false).
void ResumeAlertWorkers();

cnetsendthread* NetSendWorker();
cmailthread* MailWorker();
cexecthread* ExecWorker();
cboxthread* BoxWorker();
cbeepthread* BeepWorker();

// The cookie the last event's network messages carried (0 before the first).
std::uint32_t NetMessageSequence();

// Shows an event's text as a desktop notification instead of the message box
// (when the AlertNotification setting is 1). Returns false when no notification
// service is there; DispatchEvent then queues the box as before. Runs on the
// user-interface thread, inside DispatchEvent.
using DesktopNotifier = std::function<bool(const std::string& text)>;
void SetDesktopNotifier(DesktopNotifier notifier);

// Each step of DispatchEvent that ran, in order, with the Post result (0 or
// -1; 0 for the inline channels). For diagnostics and tests.
enum class AlertChannel { Syslog, Execute, Mail, MessageBox, NetMessage, Sound, Log };
using DispatchTrace = std::function<void(AlertChannel channel, int result)>;
void SetDispatchTrace(DispatchTrace trace);

} // namespace varnell
