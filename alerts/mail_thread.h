// The mail worker: one SMTP session per queued request, all of its recipients
// in that one message. A request is tried once; a failed one is dropped (a
// test from the Mail page hears of it through WM_ACTION_DONE, whose text then
// says why).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "alerts/workers.h"
#include "mail/socket_wait.h"
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

    // One session as Process runs it: 0 sent, -1 could not connect or log on,
    // -2 the server refused the mail. stop is looked at during every wait;
    // reason, when given, receives the failure in the operator's words.
    static int SendOne(const MailEntry& entry, const StopCheck& stop = {}, std::string* reason = nullptr);

private:
    NotifyRing<MailEntry> ring_;
};

} // namespace varnell
