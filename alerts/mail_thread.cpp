#include "alerts/mail_thread.h"

#include <memory>

#include "engine/engine.h"
#include "mail/smtp_connection.h"
#include "mail/smtp_message.h"

namespace varnell {

namespace {
std::string Text(const char* s) { return s != nullptr ? std::string(s) : std::string(); }
} // namespace

MailTls MailTlsOf(std::uint32_t storedSecurity, std::string caFile)
{
    MailTls tls;
    tls.security = storedSecurity == 0   ? SmtpSecurity::kPlain
                   : storedSecurity == 2 ? SmtpSecurity::kImplicitTls
                                         : SmtpSecurity::kStartTls;
    tls.caFile = std::move(caFile);
    return tls;
}

cmailthread::~cmailthread()
{
    RequestStop();
    StopAndJoin();
}

int cmailthread::Post(WindowId reply, const std::string& server, std::uint16_t port, const std::string& fromAddress,
                      const std::string& fromName, bool logon, const std::string& user, const std::string& password,
                      const std::vector<std::string>& recipients, const std::string& subject,
                      const std::string& body, bool highPriority, const MailTls& tls)
{
    if (recipients.empty())
        return -1;
    return Enqueue(ring_, MailEntry{reply, server, port, fromAddress, fromName, logon, user, password, recipients,
                                    subject, body, highPriority, tls});
}

int cmailthread::Post(WindowId reply, const char* server, std::uint16_t port, const char* fromAddress,
                      const char* fromName, bool logon, const char* user, const char* password, int recipientCount,
                      const char* const* recipients, const char* subject, const char* body, bool highPriority,
                      const MailTls& tls)
{
    if (recipientCount <= 0 || recipients == nullptr)
        return -1;
    std::vector<std::string> list;
    list.reserve(static_cast<std::size_t>(recipientCount));
    for (int i = 0; i < recipientCount; ++i)
        list.push_back(Text(recipients[i]));
    return Post(reply, Text(server), port, Text(fromAddress), Text(fromName), logon, Text(user), Text(password),
                list, Text(subject), Text(body), highPriority, tls);
}

int cmailthread::SendOne(const MailEntry& e, const StopCheck& stop, std::string* reason)
{
    auto connection = std::make_unique<CSMTPConnection>();
    connection->stopRequested = stop;
    connection->security = e.tls.security;
    connection->caFile = e.tls.caFile;
    int connected = e.logon ? connection->ConnectWithLogon(e.server, e.port, e.user, e.password)
                            : connection->Connect(e.server, e.port);
    if (!connected) {
        if (reason != nullptr)
            *reason = connection->GetFailureReason();
        return -1;
    }

    CSMTPMessage message;
    message.from = CSMTPAddress(e.fromAddress, e.fromName);
    for (const std::string& r : e.recipients)
        message.AddRecipient(CSMTPAddress(r, r));
    message.subject = e.subject;
    message.SetBodyText(e.body);

    if (!connection->SendMail(message, e.highPriority)) {
        if (reason != nullptr)
            *reason = connection->GetFailureReason();
        return -2;
    }
    connection->Disconnect();
    return 0;
}

void cmailthread::Process()
{
    const StopCheck stop = [this] { return StopRequested(); };
    Drain(ring_, true, [&stop](MailEntry& e, std::uint32_t next) {
        std::string reason;
        const int result = SendOne(e, stop, &reason);
        // An event's mail has nobody waiting for it: its failure (a refused
        // certificate, an unreadable CA file) goes to the event list instead
        // of vanishing. Not at exit, when the list is going away.
        if (result != 0 && e.reply == kNoWindow && !stop())
            ReportEngineMessage("Send mail failed: " + reason);
        WindowMessage done = ActionDone(next, result != 0 ? 1 : 0);
        done.text = std::move(reason);
        return done;
    });
}

} // namespace varnell
