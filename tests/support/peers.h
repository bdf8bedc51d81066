// Real peers for the tests of the alert channels and the settings pages' test
// buttons, each started on loopback with its own folder and stopped with the
// object: the SMTP server (scripts/peers/smtpd.py on aiosmtpd), rsyslogd
// (scripts/peers/rsyslog.sh) and smbd receiving network messages.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace varnell::test {

// Each accepted message is kept as FOLDER/message-N.txt (N from 1).
class SmtpPeer {
public:
    // logon: empty, or {user, password} to offer AUTH LOGIN and PLAIN; smtpd.py's
    // TLS options may follow (--starttls CERT KEY, --implicit CERT KEY, --only-plain).
    bool Start(const std::vector<std::string>& logon = {});
    std::uint16_t Port() const { return port_; }
    std::string Message(int n) const;
    std::string Events() const;

private:
    TempDir dir_;
    ChildProcess child_;
    std::uint16_t port_ = 0;
};

// Every received datagram is one line "PRI|FACILITY|SEVERITY|RAWMSG".
class RsyslogPeer {
public:
    // Ready once a probe datagram has come through (UDP has no other sign).
    bool Start(const std::string& addr, std::uint16_t port);
    // The lines other than the readiness probes.
    std::vector<std::string> Lines() const;

private:
    TempDir dir_;
    ChildProcess child_;
};

// A private smbd on 127.0.0.1 and a free port (or the given one: the program
// itself always calls port 139). withMessages false leaves out the message
// command, so the server refuses messages.
class SmbdPeer {
public:
    explicit SmbdPeer(bool withMessages, std::uint16_t port = 0);
    bool Started() const { return started_; }
    std::uint16_t Port() const { return port_; }
    // Every delivered message as "from=SENDER\nTEXT\n".
    std::string Messages() const;
    std::string Log() const;

private:
    TempDir dir_;
    std::uint16_t port_;
    ChildProcess child_;
    bool started_ = false;
};

} // namespace varnell::test
