"""A real SMTP server on loopback for the send tests.

usage: smtp_server.py OUTDIR [USER PASSWORD] [--tls starttls|implicit --cert F --key F]
                      [--size N [--size-slack M]] [--only-plain] [--reply-rcpt TEXT]
                      [--oauth TOKENFILE [--oauth-mechanisms XOAUTH2,OAUTHBEARER]]

Listens on 127.0.0.1 on a free port and writes the port to OUTDIR/port once it accepts
connections. With USER and PASSWORD it requires authentication and accepts only those
credentials (AUTH LOGIN and PLAIN; --only-plain offers PLAIN alone). Over a plain connection
AUTH is offered without TLS; with --tls starttls the server insists on STARTTLS first and
offers AUTH only after it; with --tls implicit it speaks TLS from the first byte. --size
announces SIZE N and refuses larger messages; with --size-slack M it counts M bytes of its
own (the trace headers a real server adds) and so refuses with 552 every message larger
than N - M. --reply-rcpt answers every RCPT TO with TEXT. --oauth requires a login by
XOAUTH2 or OAUTHBEARER (those named by --oauth-mechanisms) with the access token held in
TOKENFILE at the time; a wrong token gets the error challenge (base64 JSON), and the client's
answer to it is noted in OUTDIR/auth.log before the 535.

Every message received is stored as OUTDIR/msgN.eml with OUTDIR/msgN.json (sender,
recipients, MAIL FROM parameters, the login used). Every command line the server reads is
appended to OUTDIR/commands.log, so a test can tell what reached it and when. Runs until
it receives SIGTERM.
"""
import argparse
import base64
import json
import logging
import os
import signal
import socket
import ssl
import threading
import warnings

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Store:
    def __init__(self, outdir, reply_rcpt, size=0, slack=0):
        self.outdir = outdir
        self.count = 0
        self.reply_rcpt = reply_rcpt
        self.size = size
        self.slack = slack

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if self.reply_rcpt:
            return self.reply_rcpt
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if self.slack and len(envelope.original_content) + self.slack > self.size:
            with open(os.path.join(self.outdir, "refused.log"), "a") as f:
                f.write("%d\n" % len(envelope.original_content))
            return "552 5.3.4 Message size exceeds fixed limit"
        self.count += 1
        base = os.path.join(self.outdir, "msg%d" % self.count)
        login = mechanism = None
        if isinstance(session.auth_data, tuple):
            login, mechanism = session.auth_data[0].decode(), session.auth_data[1]
        with open(base + ".eml", "wb") as f:
            f.write(envelope.original_content)
        with open(base + ".json", "w") as f:
            json.dump({"from": envelope.mail_from, "to": envelope.rcpt_tos,
                       "mail_options": envelope.mail_options, "login": login, "mechanism": mechanism,
                       "tls": session.ssl is not None or server.transport.get_extra_info("sslcontext") is not None}, f)
        return "250 Message accepted for delivery"


class OAuthStore(Store):
    """A Store that also takes the two token mechanisms."""

    def __init__(self, token_file, *args):
        super().__init__(*args)
        self.token_file = token_file

    def note(self, line):
        with open(os.path.join(self.outdir, "auth.log"), "a") as f:
            f.write(line + "\n")

    async def check(self, server, mechanism, args):
        if len(args) < 2:
            return AuthResult(success=False, handled=False, message="501 5.5.2 Initial response expected")
        try:
            response = base64.b64decode(args[1], validate=True).decode()
        except Exception:
            return AuthResult(success=False, handled=False, message="501 5.5.2 Cannot decode response")
        fields = response.split("\x01")
        if mechanism == "OAUTHBEARER":
            gs2 = fields[0].split(",")
            user = gs2[1][2:].replace("=2C", ",").replace("=3D", "=") if len(gs2) > 1 and gs2[1].startswith("a=") else ""
            fields = fields[1:]
        pairs = dict(f.split("=", 1) for f in fields if "=" in f)
        if mechanism == "XOAUTH2":
            user = pairs.get("user")
        token = pairs.get("auth", "")
        with open(self.token_file) as f:
            current = f.read().strip()
        well_formed = response.endswith("\x01\x01") and user and (
            mechanism == "XOAUTH2" or ("host" in pairs and "port" in pairs))
        if well_formed and token == "Bearer " + current:
            self.note("%s %s accepted" % (mechanism, user))
            return AuthResult(success=True, auth_data=(user.encode(), mechanism))
        error = json.dumps({"status": "401", "schemes": "bearer", "scope": "https://mail.example/"})
        answer = await server.challenge_auth(error)
        self.note("%s %s refused, answer %r" % (mechanism, user, answer))
        return AuthResult(success=False, handled=False, message="535 5.7.8 Username and Password not accepted")

    async def auth_XOAUTH2(self, server, args):
        return await self.check(server, "XOAUTH2", args)

    async def auth_OAUTHBEARER(self, server, args):
        return await self.check(server, "OAUTHBEARER", args)


class CommandLog(logging.Handler):
    """Writes the command lines the server logs as it reads them."""

    def __init__(self, path):
        super().__init__()
        self.path = path

    def emit(self, record):
        if record.msg != "%r >> %r" or len(record.args) != 2:
            return
        line = record.args[1]
        if isinstance(line, bytes):
            line = line.decode("latin-1")
        with open(self.path, "a") as f:
            f.write(line + "\n")


def main():
    # Plain-text AUTH is one of the things tested; keep the server's warnings about it quiet.
    warnings.simplefilter("ignore")
    parser = argparse.ArgumentParser()
    parser.add_argument("outdir")
    parser.add_argument("credentials", nargs="*")
    parser.add_argument("--tls", choices=["starttls", "implicit"])
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--size", type=int, default=0)
    parser.add_argument("--size-slack", type=int, default=0)
    parser.add_argument("--only-plain", action="store_true")
    parser.add_argument("--reply-rcpt")
    parser.add_argument("--oauth")
    parser.add_argument("--oauth-mechanisms", default="XOAUTH2,OAUTHBEARER")
    args = parser.parse_args()

    log = logging.getLogger("mail.log")
    log.setLevel(logging.INFO)
    log.propagate = False
    log.addHandler(CommandLog(os.path.join(args.outdir, "commands.log")))

    kwargs = {"auth_require_tls": args.tls == "starttls"}
    if args.size:
        kwargs["data_size_limit"] = args.size
    if len(args.credentials) >= 2:
        user, password = args.credentials[0].encode(), args.credentials[1].encode()

        def authenticate(server, session, envelope, mechanism, auth_data):
            ok = mechanism in ("LOGIN", "PLAIN") and auth_data.login == user and auth_data.password == password
            if not ok:
                return AuthResult(success=False, handled=False)
            return AuthResult(success=True, auth_data=(auth_data.login, mechanism))

        kwargs["authenticator"] = authenticate
        kwargs["auth_required"] = True
        if args.only_plain:
            kwargs["auth_exclude_mechanism"] = ["LOGIN"]
    if args.oauth:
        kwargs["auth_required"] = True
        offered = args.oauth_mechanisms.split(",")
        kwargs["auth_exclude_mechanism"] = ["LOGIN", "PLAIN"] + [
            m for m in ("XOAUTH2", "OAUTHBEARER") if m not in offered]
    context = None
    if args.tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)
    if args.tls == "starttls":
        kwargs["tls_context"] = context
        kwargs["require_starttls"] = True
    port = free_port()
    store_args = (args.outdir, args.reply_rcpt, args.size, args.size_slack)
    store = OAuthStore(args.oauth, *store_args) if args.oauth else Store(*store_args)
    controller = Controller(store, hostname="127.0.0.1", port=port,
                            ssl_context=context if args.tls == "implicit" else None, **kwargs)
    controller.start()
    with open(os.path.join(args.outdir, "port.tmp"), "w") as f:
        f.write(str(port))
    os.rename(os.path.join(args.outdir, "port.tmp"), os.path.join(args.outdir, "port"))
    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    done.wait(120)
    controller.stop()


if __name__ == "__main__":
    main()
