#include "alerts/dispatch.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <vector>

#include "alerts/beep_thread.h"
#include "alerts/box_thread.h"
#include "alerts/exec_thread.h"
#include "alerts/log_file.h"
#include "alerts/mail_thread.h"
#include "alerts/netsend_thread.h"
#include "alerts/syslog.h"
#include "base/net/address_text.h"
#include "config/settings.h"

namespace varnell {

namespace {

// Created, used and destroyed on the user-interface thread only.
struct Workers {
    cnetsendthread* netsend = nullptr;
    cmailthread* mail = nullptr;
    cexecthread* exec = nullptr;
    cboxthread* box = nullptr;
    cbeepthread* beep = nullptr;
};

Workers& AlertWorkers()
{
    static Workers workers;
    return workers;
}

// Workers whose thread would not end: kept reachable until the process ends
// (never destroyed, not even by the exit's static destructors).
std::vector<cbasethread*>& Abandoned()
{
    static auto* abandoned = new std::vector<cbasethread*>();
    return *abandoned;
}

std::uint32_t gNetMessageSequence = 0;
DispatchTrace gTrace;
DesktopNotifier gNotifier;

void Trace(AlertChannel channel, int result)
{
    if (gTrace)
        gTrace(channel, result);
}

std::uint16_t MailPort(std::int32_t port)
{
    return port > 0 && port <= 0xFFFF ? static_cast<std::uint16_t>(port) : std::uint16_t{25};
}

template <class Worker>
void Free(Worker*& worker, int joined)
{
    if (worker == nullptr)
        return;
    if (joined == 2)
        Abandoned().push_back(worker);
    else
        delete worker;
    worker = nullptr;
}

} // namespace

int DispatchEvent(const DnsItem& item, const std::string& text, const std::string& timeText)
{
    std::uint32_t itemFlags = 0;
    {
        std::lock_guard lock(EngineLock());
        itemFlags = item.flags;
    }
    return DispatchEvent(itemFlags, text, timeText);
}

int DispatchEvent(std::uint32_t itemFlags, const std::string& text, const std::string& timeText)
{
    const Settings& s = CurrentSettings();
    const std::uint32_t flags = s.general.Flags();
    Workers& w = AlertWorkers();

    if (flags & kGenSyslog) {
        SendSyslogEvent(text, timeText);
        Trace(AlertChannel::Syslog, 0);
    }
    if ((flags & kGenExecute) && !s.general.texts[kTextExecPath].empty() && w.exec != nullptr)
        Trace(AlertChannel::Execute, w.exec->Post(kNoWindow, s.general.texts[kTextExecPath], text));
    if ((flags & kGenMail) && w.mail != nullptr) {
        const MailSettings& m = s.mail;
        Trace(AlertChannel::Mail,
              w.mail->Post(kNoWindow, m.server, MailPort(m.port), m.fromAddress, m.fromName,
                           (m.flags & kMailNeedLogon) != 0, m.user, m.password, m.receivers, text, text,
                           (itemFlags & kFlagHighPriorityMail) != 0,
                           MailTlsOf(s.extra.mailSecurity, s.extra.mailCaFile)));
    }
    // The operator may prefer the desktop's notifications to a box; without a
    // notification service the box it always was.
    if ((flags & kGenPopup) && !(s.extra.alertNotification == 1 && gNotifier && gNotifier(text)) && w.box != nullptr)
        Trace(AlertChannel::MessageBox, w.box->Post(kNoWindow, text, text, kBoxIconError));
    if (flags & kGenNetMessage) {
        ++gNetMessageSequence;
        if (w.netsend != nullptr) {
            for (std::uint32_t receiver : s.messenger.receivers)
                Trace(AlertChannel::NetMessage, w.netsend->Post(kNoWindow, gNetMessageSequence, DottedAddress(receiver),
                                                                text, s.general.texts[kTextSenderName]));
        }
    }
    if ((flags & kGenSound) && w.beep != nullptr) {
        bool repeat = (flags & kGenRepeat) != 0;
        int result = (flags & kGenBeep) ? w.beep->Post(kNoWindow, s.general.RepeatSeconds(), std::string(), repeat)
                                        : w.beep->Post(kNoWindow, 0, s.general.texts[kTextSoundPath], repeat);
        Trace(AlertChannel::Sound, result);
    }
    if ((flags & kGenLog) && LogFileIsOpen()) {
        WriteLogRecord(text);
        Trace(AlertChannel::Log, 0);
    }
    return 0;
}

void StartAlertWorkers(bool resume)
{
    Workers& w = AlertWorkers();
    if (w.netsend != nullptr)
        return;
    w.netsend = new cnetsendthread();
    if (resume)
        w.netsend->Resume();
    w.mail = new cmailthread();
    if (resume)
        w.mail->Resume();
    w.exec = new cexecthread();
    if (resume)
        w.exec->Resume();
    w.box = new cboxthread();
    if (resume)
        w.box->Resume();
    w.beep = new cbeepthread();
    if (resume)
        w.beep->Resume();
}

void ResumeAlertWorkers()
{
    Workers& w = AlertWorkers();
    for (cbasethread* t : {static_cast<cbasethread*>(w.netsend), static_cast<cbasethread*>(w.mail),
                           static_cast<cbasethread*>(w.exec), static_cast<cbasethread*>(w.box),
                           static_cast<cbasethread*>(w.beep)})
        if (t != nullptr)
            t->Resume();
}

int StopAlertWorkers()
{
    Workers& w = AlertWorkers();
    if (w.netsend == nullptr)
        return 0;
    cbasethread* order[] = {w.netsend, w.mail, w.exec, w.box, w.beep};
    for (cbasethread* t : order)
        t->RequestStop();
    int joined[5];
    for (int i = 0; i < 5; ++i)
        joined[i] = order[i]->StopAndJoin();
    Free(w.mail, joined[1]);
    Free(w.exec, joined[2]);
    Free(w.box, joined[3]);
    Free(w.beep, joined[4]);
    Free(w.netsend, joined[0]);
    int left = 0;
    for (int j : joined)
        left += j == 2 ? 1 : 0;
    return left;
}

cnetsendthread* NetSendWorker() { return AlertWorkers().netsend; }
cmailthread* MailWorker() { return AlertWorkers().mail; }
cexecthread* ExecWorker() { return AlertWorkers().exec; }
cboxthread* BoxWorker() { return AlertWorkers().box; }
cbeepthread* BeepWorker() { return AlertWorkers().beep; }

std::uint32_t NetMessageSequence() { return gNetMessageSequence; }

void SetDesktopNotifier(DesktopNotifier notifier) { gNotifier = std::move(notifier); }

void SetDispatchTrace(DispatchTrace trace) { gTrace = std::move(trace); }

} // namespace varnell
