// Sends one alert the way Varnell's workers do, for scripts/interop.sh to check
// at the receiving peer: a mail session (HELO, or EHLO with AUTH LOGIN), a
// syslog datagram or a network message.
//
// usage: bench_interop_alerts mail SERVER PORT FROM TO TEXT [USER PASSWORD [SECURITY CAFILE]]
//        (SECURITY: plain, starttls or tls; CAFILE "" for the system trust store)
//        bench_interop_alerts syslog ADDRESS PORT TEXT
//        bench_interop_alerts netsend ADDRESS PORT TEXT
// Exit status 0 when the sending side saw no failure; prints the result.
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "alerts/mail_thread.h"
#include "alerts/smb/netsend.h"
#include "alerts/syslog.h"

using namespace varnell;

namespace {

std::uint16_t Port(const char* text) { return static_cast<std::uint16_t>(std::strtoul(text, nullptr, 10)); }

int Usage(const char* self)
{
    std::fprintf(stderr,
                 "usage: %s mail SERVER PORT FROM TO TEXT [USER PASSWORD [plain|starttls|tls CAFILE]]\n"
                 "       %s syslog ADDRESS PORT TEXT\n"
                 "       %s netsend ADDRESS PORT TEXT\n",
                 self, self, self);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 5)
        return Usage(argv[0]);
    const std::string what = argv[1];
    if (what == "mail" && (argc == 7 || argc == 9 || argc == 11)) {
        MailEntry m;
        m.server = argv[2];
        m.port = Port(argv[3]);
        m.fromAddress = argv[4];
        m.fromName = "Varnell";
        m.recipients = {argv[5]};
        m.subject = argv[6];
        m.body = argv[6];
        if (argc >= 9) {
            m.logon = true;
            m.user = argv[7];
            m.password = argv[8];
        }
        if (argc == 11) {
            const std::string security = argv[9];
            m.tls = MailTlsOf(security == "plain" ? 0u : security == "tls" ? 2u : 1u, argv[10]);
        }
        std::string reason;
        const int result = cmailthread::SendOne(m, {}, &reason);
        std::printf("mail %d%s%s\n", result, reason.empty() ? "" : " ", reason.c_str());
        return result == 0 ? 0 : 1;
    }
    if (what == "syslog" && argc == 5) {
        in_addr to{};
        if (inet_pton(AF_INET, argv[2], &to) != 1)
            return Usage(argv[0]);
        OpenSyslogSocket();
        const long sent = SendSyslog(SyslogSocket(), 3, 2, NextSyslogSequence(), "", argv[4], to.s_addr, Port(argv[3]));
        CloseSyslogSocket();
        std::printf("syslog %ld\n", sent);
        return sent > 0 ? 0 : 1;
    }
    if (what == "netsend" && argc == 5) {
        NetSendOptions options;
        options.port = Port(argv[3]);
        SetNetSendOptions(options);
        const std::string from = "VARNELL";
        const int status = NetMessageBufferSend(argv[2], &from, argv[4]);
        std::printf("netsend %d\n", status);
        return status == kNetSendOk ? 0 : 1;
    }
    return Usage(argv[0]);
}
