#include "alerts/mail_thread.h"

#include <algorithm>
#include <cstdio>

#include "mail/smtp_connection.h"
#include "mail/smtp_message.h"
#include "probe/engine.h"

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

MailOutcome cmailthread::Attempt(const MailEntry& e, const StopCheck& stop)
{
    CSMTPConnection connection;
    connection.stopRequested = stop;
    connection.security = e.tls.security;
    connection.caFile = e.tls.caFile;
    MailOutcome outcome;
    if (!(e.logon ? connection.ConnectWithLogon(e.server, e.port, e.user, e.password)
                  : connection.Connect(e.server, e.port))) {
        outcome.result = -1;
    } else {
        CSMTPMessage message;
        message.from = CSMTPAddress(e.fromAddress, e.fromName);
        for (const std::string& r : e.recipients)
            message.AddRecipient(CSMTPAddress(r, r));
        message.subject = e.subject;
        message.SetBodyText(e.body);
        if (connection.SendMail(message, e.highPriority)) {
            outcome.refused = DescribeRefused(connection.GetRefusedRecipients());
            connection.Disconnect();
        } else {
            outcome.result = -2;
        }
    }
    outcome.clearLogon = connection.LogonSentInClear();
    if (outcome.result != 0) {
        outcome.reason = connection.GetFailureReason();
        outcome.temporary = connection.FailureIsTemporary();
    }
    return outcome;
}

int cmailthread::SendOne(const MailEntry& e, const StopCheck& stop, std::string* reason)
{
    MailOutcome outcome = Attempt(e, stop);
    if (reason != nullptr)
        *reason = std::move(outcome.reason);
    return outcome.result;
}

void cmailthread::Process()
{
    const StopCheck stop = [this] { return StopRequested(); };
    Drain(ring_, true, [&](MailEntry& e, std::uint32_t next) {
        if (e.reply != kNoWindow) {
            // A test: the page waits for this one try and shows what came of it.
            const MailOutcome outcome = Attempt(e, stop);
            ReportClearLogon(e, outcome);
            WindowMessage done = ActionDone(next, outcome.result != 0 ? 1 : 0);
            done.text = outcome.result != 0 ? outcome.reason : outcome.refused;
            return done;
        }
        if (waiting_.size() >= kMaxWaitingMails) {
            Finish(waiting_.front(), MailOutcome{-1, false, false, "too many mails wait for the mail server", {}});
            waiting_.pop_front();
        }
        waiting_.push_back({std::move(e), TickCount(), 0});
        return WindowMessage{};
    });
    SendDue(stop);
}

void cmailthread::SendDue(const StopCheck& stop)
{
    for (;;) {
        const std::uint32_t now = TickCount();
        const auto due = std::find_if(waiting_.begin(), waiting_.end(),
                                      [now](const WaitingMail& m) { return TickReached(now, m.due); });
        if (due == waiting_.end() || stop())
            return;
        const std::string server = due->entry.server;
        const std::uint16_t port = due->entry.port;
        const auto sameServer = [&](const WaitingMail& m) { return m.entry.server == server && m.entry.port == port; };
        // That server's mails from its oldest on, for as long as it takes them.
        MailOutcome held;
        for (auto it = waiting_.begin(); it != waiting_.end();) {
            if (!sameServer(*it)) {
                ++it;
                continue;
            }
            MailOutcome outcome = Attempt(it->entry, stop);
            if (stop())
                return; // cut short: neither sent nor failed, it stays for the exit's count
            ReportClearLogon(it->entry, outcome);
            if (outcome.result != 0 && outcome.temporary) {
                held = std::move(outcome);
                break;
            }
            ++it->tries;
            Finish(*it, outcome);
            it = waiting_.erase(it);
        }
        if (held.result == 0)
            continue;
        // Every mail to that server whose time had come has had its try in this round.
        const std::uint32_t after = TickCount();
        for (auto it = waiting_.begin(); it != waiting_.end();) {
            if (!sameServer(*it) || !TickReached(after, it->due)) {
                ++it;
            } else if (it->tries >= retryDelaysMs.size()) {
                ++it->tries;
                Finish(*it, held);
                it = waiting_.erase(it);
            } else {
                it->due = after + retryDelaysMs[it->tries++];
                ++it;
            }
        }
    }
}

void cmailthread::Finish(const WaitingMail& mail, const MailOutcome& outcome)
{
    // An event's mail has nobody waiting for it: what became of it goes to the
    // event list instead of vanishing.
    if (outcome.result == 0) {
        if (!outcome.refused.empty())
            ReportEngineMessage("Send mail refused for " + outcome.refused);
    } else if (mail.tries > 1) {
        ReportEngineMessage("Send mail failed after " + std::to_string(mail.tries) + " tries: " + outcome.reason);
    } else {
        ReportEngineMessage("Send mail failed: " + outcome.reason);
    }
}

void cmailthread::ReportClearLogon(const MailEntry& entry, const MailOutcome& outcome)
{
    if (!outcome.clearLogon || clearLogonReported_)
        return;
    clearLogonReported_ = true;
    ReportEngineMessage("mail logon sent without TLS to " + entry.server);
}

std::uint32_t cmailthread::IdleWaitMs()
{
    const std::uint32_t now = TickCount();
    std::uint32_t wait = UINT32_MAX;
    for (const WaitingMail& m : waiting_)
        wait = std::min(wait, TickReached(now, m.due) ? 0u : m.due - now);
    return wait;
}

int cmailthread::OnExit()
{
    // Not sent, and no one will send them: at least the log says so.
    const std::size_t left = waiting_.size() + Pending();
    if (left != 0)
        std::fprintf(stderr, "varnell: %zu mail%s not sent yet, dropped at exit\n", left, left == 1 ? "" : "s");
    return 0;
}

} // namespace varnell
