#!/usr/bin/python3
"""A local SMTP server for the mail tests (RFC 5321, AUTH LOGIN without TLS).

Usage: smtpd.py PORT FOLDER [USER PASSWORD]

Listens on 127.0.0.1:PORT. Every accepted message is written to FOLDER as
message-N.txt: a few "key: value" lines (helo, auth, from, to), an empty line,
then the message content exactly as received after DATA. Session events
(HELO/EHLO, logons, QUIT) are appended to FOLDER/events.log. With USER and
PASSWORD, AUTH LOGIN is offered and only that pair is accepted; mail without
a logon is still taken, so a test can tell whether the client logged on.
Runs until SIGTERM.
"""
import os
import signal
import sys
import threading
import warnings

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword


class Recorder:
    def __init__(self, folder):
        self.folder = folder
        self.count = 0
        self.lock = threading.Lock()

    def event(self, text):
        with self.lock:
            with open(os.path.join(self.folder, "events.log"), "a", encoding="latin-1") as f:
                f.write(text + "\n")

    async def handle_HELO(self, server, session, envelope, hostname):
        session.host_name = hostname
        self.event("HELO " + hostname)
        return "250 {}".format(server.hostname)

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        session.host_name = hostname
        self.event("EHLO " + hostname)
        return responses

    async def handle_QUIT(self, server, session, envelope):
        self.event("QUIT")
        return "221 Bye"

    async def handle_DATA(self, server, session, envelope):
        with self.lock:
            self.count += 1
            n = self.count
        login = session.auth_data.login.decode("latin-1") if isinstance(session.auth_data, LoginPassword) else "-"
        lines = ["helo: " + str(session.host_name), "auth: " + login, "from: " + str(envelope.mail_from)]
        lines += ["to: " + r for r in envelope.rcpt_tos]
        data = ("\n".join(lines) + "\n\n").encode("latin-1") + envelope.original_content
        # Written under another name first so a reader never sees half a file.
        path = os.path.join(self.folder, "message-{}.txt".format(n))
        with open(path + ".part", "wb") as f:
            f.write(data)
        os.rename(path + ".part", path)
        return "250 Message accepted for delivery"


def main():
    warnings.simplefilter("ignore", DeprecationWarning)
    if len(sys.argv) not in (3, 5):
        sys.stderr.write(__doc__)
        return 2
    port = int(sys.argv[1])
    folder = sys.argv[2]
    user = sys.argv[3].encode("latin-1") if len(sys.argv) == 5 else None
    password = sys.argv[4].encode("latin-1") if len(sys.argv) == 5 else None
    recorder = Recorder(folder)

    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = (user is not None and isinstance(auth_data, LoginPassword)
              and auth_data.login == user and auth_data.password == password)
        recorder.event("AUTH {} {}".format(mechanism, "accepted" if ok else "refused"))
        # handled=False: the server itself answers 235 or 535.
        return AuthResult(success=ok, handled=False, auth_data=auth_data)

    controller = Controller(recorder, hostname="127.0.0.1", port=port,
                            authenticator=authenticator if user is not None else None,
                            auth_require_tls=False, server_hostname="peer.test")
    controller.start()
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    while not stop.wait(0.5):
        pass
    controller.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
