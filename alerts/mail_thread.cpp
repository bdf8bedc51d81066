#include "alerts/mail_thread.h"

#include <memory>

#include "mail/smtp_connection.h"
#include "mail/smtp_message.h"

namespace varnell {

namespace {
std::string Text(const char* s) { return s != nullptr ? std::string(s) : std::string(); }
} // namespace

cmailthread::~cmailthread()
{
    RequestStop();
    StopAndJoin();
}

int cmailthread::Post(WindowId reply, const std::string& server, std::uint16_t port, const std::string& fromAddress,
                      const std::string& fromName, bool logon, const std::string& user, const std::string& password,
                      const std::vector<std::string>& recipients, const std::string& subject,
                      const std::string& body, bool highPriority)
{
    if (recipients.empty())
        return -1;
    return Enqueue(ring_, MailEntry{reply, server, port, fromAddress, fromName, logon, user, password, recipients,
                                    subject, body, highPriority});
}

int cmailthread::Post(WindowId reply, const char* server, std::uint16_t port, const char* fromAddress,
                      const char* fromName, bool logon, const char* user, const char* password, int recipientCount,
                      const char* const* recipients, const char* subject, const char* body, bool highPriority)
{
    if (recipientCount <= 0 || recipients == nullptr)
        return -1;
    std::vector<std::string> list;
    list.reserve(static_cast<std::size_t>(recipientCount));
    for (int i = 0; i < recipientCount; ++i)
        list.push_back(Text(recipients[i]));
    return Post(reply, Text(server), port, Text(fromAddress), Text(fromName), logon, Text(user), Text(password),
                list, Text(subject), Text(body), highPriority);
}

int cmailthread::SendOne(const MailEntry& e, const StopCheck& stop)
{
    auto connection = std::make_unique<CSMTPConnection>();
    connection->stopRequested = stop;
    int connected = e.logon ? connection->ConnectWithLogon(e.server, e.port, e.user, e.password)
                            : connection->Connect(e.server, e.port);
    if (!connected)
        return -1;

    CSMTPMessage message;
    message.from = CSMTPAddress(e.fromAddress, e.fromName);
    for (const std::string& r : e.recipients)
        message.AddRecipient(CSMTPAddress(r, r));
    message.subject = e.subject;
    message.SetBodyText(e.body);

    if (!connection->SendMail(message, e.highPriority))
        return -2;
    connection->Disconnect();
    return 0;
}

void cmailthread::Process()
{
    const StopCheck stop = [this] { return StopRequested(); };
    Drain(ring_, true, [&stop](MailEntry& e, std::uint32_t next) {
        return ActionDone(next, SendOne(e, stop) != 0 ? 1 : 0);
    });
}

} // namespace varnell
