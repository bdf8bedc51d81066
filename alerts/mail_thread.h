// The mail worker: one SMTP session per queued request, all of its recipients
// in that one message. A test from the Mail page is tried once and hears the
// outcome through WM_ACTION_DONE, whose text then says why it failed. An
// event's mail that fails for the time being (a 4xx reply, a refused or
// timed-out connection) is tried again after 1, 5 and 15 minutes, then given
// up with an event-list row; a final refusal is reported at once.
//
// Who touches what: the ring is shared with the producers (workers.h); the
// mails waiting for another try, and everything else below, belong to the
// worker thread alone.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "alerts/workers.h"
#include "base/net/socket_wait.h"
#include "mail/smtp_tls.h"

namespace varnell {

// How the session is protected: the "MailSecurity" and "MailCaFile" settings.
struct MailTls {
    SmtpSecurity security = SmtpSecurity::kPlain;
    std::string caFile; // empty: the system trust store
};

// From the stored "MailSecurity" value: 0 plain, 1 STARTTLS, 2 implicit TLS.
// Any other value (a damaged store) is taken as STARTTLS: the logon must not
// go out in the clear because of it.
MailTls MailTlsOf(std::uint32_t storedSecurity, std::string caFile);

struct MailEntry {
    WindowId reply = kNoWindow;
    std::string server;
    std::uint16_t port = 25;
    std::string fromAddress;
    std::string fromName;
    bool logon = false;
    std::string user;
    std::string password;
    std::vector<std::string> recipients;
    std::string subject;
    std::string body;
    bool highPriority = false;
    MailTls tls;
};

// What one delivery attempt came to.
struct MailOutcome {
    int result = 0;          // 0 sent, -1 could not connect or log on, -2 the server refused the mail
    bool temporary = false;  // a failure that may not recur: worth another try later
    bool clearLogon = false; // the user name and password went out without TLS
    std::string reason;      // the failure in the operator's words
    std::string refused;     // the recipients left out of a sent mail, and why
};

class cmailthread : public cnotifythread {
public:
    cmailthread() = default;
    ~cmailthread() override;

    // 0 when queued; -1 when the queue is full or there is no recipient.
    int Post(WindowId reply, const std::string& server, std::uint16_t port, const std::string& fromAddress,
             const std::string& fromName, bool logon, const std::string& user, const std::string& password,
             const std::vector<std::string>& recipients, const std::string& subject, const std::string& body,
             bool highPriority, const MailTls& tls = {});
    // The same with recipients as plain strings (count of them).
    int Post(WindowId reply, const char* server, std::uint16_t port, const char* fromAddress, const char* fromName,
             bool logon, const char* user, const char* password, int recipientCount, const char* const* recipients,
             const char* subject, const char* body, bool highPriority, const MailTls& tls = {});

    // A stop request ends the session under way (without QUIT) and leaves the
    // rest of the queue: the exit must not wait on a stalled server.
    void Process() override;
    // Mails still waiting, for another try or in the ring, are dropped with a
    // line on the standard error.
    int OnExit() override;

    // One session as Process runs it; stop is looked at during every wait.
    static MailOutcome Attempt(const MailEntry& entry, const StopCheck& stop = {});
    // The same as 0 sent, -1 could not connect or log on, -2 the server refused
    // the mail; reason, when given, receives the failure in the operator's words.
    static int SendOne(const MailEntry& entry, const StopCheck& stop = {}, std::string* reason = nullptr);

    // Waits before the second, third and fourth try of an event's mail. Set
    // before Resume (tests shorten them).
    std::array<std::uint32_t, 3> retryDelaysMs{60000, 300000, 900000};
    // More mails than this waiting for another try: the oldest is given up.
    static constexpr std::size_t kMaxWaitingMails = kQueueSize;

protected:
    // Until the next waiting mail is due.
    std::uint32_t IdleWaitMs() override;

private:
    struct WaitingMail {
        MailEntry entry;
        std::uint32_t due = 0; // tick
        std::size_t tries = 0; // failed tries so far
    };

    void SendDue(const StopCheck& stop);
    void Finish(const WaitingMail& mail, const MailOutcome& outcome);
    void ReportClearLogon(const MailEntry& entry, const MailOutcome& outcome);

    NotifyRing<MailEntry> ring_;
    // Oldest first. A mail never goes out while an older one to the same
    // server waits, so a server's mails arrive in the order of their events.
    std::deque<WaitingMail> waiting_;
    bool clearLogonReported_ = false;
};

} // namespace varnell
