"""A real SMTP server on loopback for the send tests.

usage: smtp_server.py OUTDIR [USER PASSWORD]

Listens on 127.0.0.1 on a free port and writes the port to OUTDIR/port once it accepts
connections. With USER and PASSWORD it offers AUTH LOGIN over the plain connection and
accepts only those credentials. Every message received is stored as OUTDIR/msgN.eml with
OUTDIR/msgN.json (sender, recipients, the login used). Runs until it receives SIGTERM.
"""
import json
import logging
import os
import signal
import socket
import sys
import threading
import warnings

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Store:
    def __init__(self, outdir):
        self.outdir = outdir
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(self.outdir, "msg%d" % self.count)
        login = None
        if session.auth_data is not None:
            login = session.auth_data.decode() if isinstance(session.auth_data, bytes) else str(session.auth_data)
        with open(base + ".eml", "wb") as f:
            f.write(envelope.original_content)
        with open(base + ".json", "w") as f:
            json.dump({"from": envelope.mail_from, "to": envelope.rcpt_tos, "login": login}, f)
        return "250 Message accepted for delivery"


def main():
    # Plain-text AUTH is what the tests want; keep the server's warnings about it quiet.
    warnings.simplefilter("ignore")
    logging.getLogger("mail.log").setLevel(logging.CRITICAL)
    outdir = sys.argv[1]
    kwargs = {"auth_require_tls": False}
    if len(sys.argv) >= 4:
        user, password = sys.argv[2].encode(), sys.argv[3].encode()

        def authenticate(server, session, envelope, mechanism, auth_data):
            ok = mechanism == "LOGIN" and auth_data.login == user and auth_data.password == password
            if not ok:
                return AuthResult(success=False, handled=False)
            return AuthResult(success=True, auth_data=auth_data.login)

        kwargs["authenticator"] = authenticate
        kwargs["auth_required"] = True
    port = free_port()
    controller = Controller(Store(outdir), hostname="127.0.0.1", port=port, **kwargs)
    controller.start()
    with open(os.path.join(outdir, "port.tmp"), "w") as f:
        f.write(str(port))
    os.rename(os.path.join(outdir, "port.tmp"), os.path.join(outdir, "port"))
    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    done.wait(120)
    controller.stop()


if __name__ == "__main__":
    main()
