#!/usr/bin/python3
"""A local SMTP server for the mail tests (RFC 5321, AUTH LOGIN and PLAIN,
STARTTLS or implicit TLS).

Usage: smtpd.py PORT FOLDER [USER PASSWORD] [--starttls|--implicit CERT KEY]
                [--only-plain] [--refuse ADDRESS]... [--greylist N]

Listens on 127.0.0.1:PORT. Every accepted message is written to FOLDER as
message-N.txt: a few "key: value" lines (helo, auth, from, to), an empty line,
then the message content exactly as received after DATA. Session events
(HELO/EHLO, logons, QUIT) are appended to FOLDER/events.log. With USER and
PASSWORD, AUTH LOGIN is offered and only that pair is accepted; mail without
a logon is still taken, so a test can tell whether the client logged on.
With --starttls the server offers STARTTLS with CERT and KEY (PEM); with
--implicit every connection starts with the TLS handshake. A logon is taken
in the clear all the same, so a test can tell whether the client waited for
TLS. --only-plain offers AUTH PLAIN alone. The commands STARTTLS, AUTH and
MAIL are written to events.log as they arrive, before the server acts on them.
--refuse answers RCPT for ADDRESS with 550 in every session; --greylist
answers every other RCPT with 451 in the first N sessions that reach RCPT.
Runs until SIGTERM.
"""
import os
import signal
import ssl
import sys
import threading
import warnings

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


class Recorder:
    def __init__(self, folder, refused=(), greylist=0):
        self.folder = folder
        self.count = 0
        self.lock = threading.Lock()
        self.refused = set(refused)
        self.greylist = greylist
        self.rcpt_sessions = 0

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

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address in self.refused:
            return "550 5.1.1 <{}>: no such user".format(address)
        if not hasattr(session, "greylisted"):
            with self.lock:
                self.rcpt_sessions += 1
                session.greylisted = self.rcpt_sessions <= self.greylist
        if session.greylisted:
            return "451 4.7.1 greylisted, try again later"
        envelope.rcpt_tos.append(address)
        return "250 OK"

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


class RecordingController(Controller):
    """Records the commands that matter to the tests as they arrive."""

    def __init__(self, recorder, *args, **kwargs):
        self.recorder = recorder
        super().__init__(*args, **kwargs)

    def factory(self):
        smtp = SMTP(self.handler, **self.SMTP_kwargs)
        for command in ("STARTTLS", "AUTH", "MAIL"):
            original = smtp._smtp_methods.get(command)
            if original is None:
                continue

            async def recorded(arg, original=original, command=command):
                # For AUTH only the mechanism: an initial response is a credential.
                word = arg.split(" ")[0] if command == "AUTH" and arg else ""
                self.recorder.event((command + " " + word).strip())
                await original(arg)
            smtp._smtp_methods[command] = recorded
        return smtp


def take(args, option, count):
    """Removes every OPTION and the COUNT values after it from args; returns the
    lists of values, or None when one is cut short."""
    found = []
    while option in args:
        at = args.index(option)
        if len(args) < at + 1 + count:
            return None
        found.append(args[at + 1:at + 1 + count])
        del args[at:at + 1 + count]
    return found


def main():
    warnings.simplefilter("ignore", DeprecationWarning)
    args = sys.argv[1:]
    only_plain = take(args, "--only-plain", 0)
    refused = take(args, "--refuse", 1)
    greylist = take(args, "--greylist", 1)
    starttls = take(args, "--starttls", 2)
    implicit = take(args, "--implicit", 2)
    if None in (refused, greylist, starttls, implicit) or len(args) not in (2, 4):
        sys.stderr.write(__doc__)
        return 2
    port = int(args[0])
    folder = args[1]
    user = args[2].encode("latin-1") if len(args) == 4 else None
    password = args[3].encode("latin-1") if len(args) == 4 else None
    recorder = Recorder(folder, [r[0] for r in refused], int(greylist[-1][0]) if greylist else 0)
    context = None
    if starttls or implicit:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(*(starttls or implicit)[-1])

    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = (user is not None and isinstance(auth_data, LoginPassword)
              and auth_data.login == user and auth_data.password == password)
        recorder.event("AUTH {} {}".format(mechanism, "accepted" if ok else "refused"))
        # handled=False: the server itself answers 235 or 535.
        return AuthResult(success=ok, handled=False, auth_data=auth_data)

    extra = {}
    if starttls:
        extra["tls_context"] = context
    elif implicit:
        extra["ssl_context"] = context
    if only_plain:
        extra["auth_exclude_mechanism"] = ["LOGIN"]
    controller = RecordingController(recorder, recorder, hostname="127.0.0.1", port=port,
                                     authenticator=authenticator if user is not None else None,
                                     auth_require_tls=False, server_hostname="peer.test", **extra)
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
