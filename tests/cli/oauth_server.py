"""An OAuth 2.0 authorisation server on loopback for the sign-in tests, over HTTPS.

usage: oauth_server.py OUTDIR --cert F --key F --client-id ID [--client-secret S]
                       [--scope SCOPE] [--deny]

Listens on 127.0.0.1 on a free port and writes the port to OUTDIR/port once it accepts
connections. POST /device starts a device authorisation (interval 1 s): the first poll of
/token is answered authorization_pending, the second slow_down, and a poll that comes before
the interval raised by 5 s has passed is answered slow_down again and counted as too early;
then the grant is given (or, with --deny, refused with access_denied). The refresh-token
grant accepts only the refresh token last issued and hands out a new one each time (the
provider rotates it); any other is invalid_grant. A wrong client id is
invalid_client (401), a missing or wrong --client-secret too.

The access token last issued is kept in OUTDIR/access_token (the test SMTP server reads
it); every grant request appends one line to OUTDIR/grants.log ("<grant> <answer>"), and
OUTDIR/too_early holds the count of polls that came too soon.
"""
import argparse
import http.server
import json
import os
import signal
import ssl
import threading
import time
import urllib.parse


class State:
    def __init__(self, args):
        self.args = args
        self.lock = threading.Lock()
        self.counter = 0
        self.refresh = None
        self.polls = 0
        self.last_poll = None
        self.too_early = 0

    def issue(self):
        self.counter += 1
        access = "at-%d" % self.counter
        write(os.path.join(self.args.outdir, "access_token"), access)
        self.refresh = "rt-%d" % self.counter
        return {"access_token": access, "token_type": "Bearer", "expires_in": 3600,
                "scope": self.args.scope, "refresh_token": self.refresh}


def write(path, text):
    with open(path + ".tmp", "w") as f:
        f.write(text)
    os.rename(path + ".tmp", path)


def make_handler(state):
    args = state.args

    class Handler(http.server.BaseHTTPRequestHandler):
        def log_message(self, *_):
            pass

        def answer(self, status, body):
            data = json.dumps(body).encode()
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

        def log(self, line):
            with open(os.path.join(args.outdir, "grants.log"), "a") as f:
                f.write(line + "\n")

        def do_POST(self):
            length = int(self.headers.get("Content-Length", "0"))
            form = dict(urllib.parse.parse_qsl(self.rfile.read(length).decode()))
            with state.lock:
                self.handle_form(form)

        def handle_form(self, form):
            grant = form.get("grant_type", "device")
            # The device endpoint takes the client id alone; the token endpoint also the
            # secret of a confidential client.
            if form.get("client_id") != args.client_id or (
                    self.path == "/token" and args.client_secret and
                    form.get("client_secret") != args.client_secret):
                self.log(grant + " invalid_client")
                return self.answer(401, {"error": "invalid_client",
                                         "error_description": "Unknown client"})
            if self.path == "/device":
                state.polls = 0
                state.last_poll = None
                self.log("device scope=" + form.get("scope", ""))
                port = self.server.server_address[1]
                return self.answer(200, {"device_code": "dev-code-1", "user_code": "WDJB-MJHT",
                                         "verification_uri": "https://127.0.0.1:%d/verify" % port,
                                         "expires_in": 60, "interval": 1})
            if self.path != "/token":
                return self.answer(404, {"error": "not_found"})
            if grant == "urn:ietf:params:oauth:grant-type:device_code":
                if form.get("device_code") != "dev-code-1":
                    self.log("device_code invalid_grant")
                    return self.answer(400, {"error": "invalid_grant"})
                now = time.monotonic()
                state.polls += 1
                if state.polls == 1:
                    reply = "authorization_pending"
                elif state.polls == 2:
                    reply = "slow_down"
                elif now - state.last_poll < 1 + 5 - 0.2:
                    state.too_early += 1
                    write(os.path.join(args.outdir, "too_early"), str(state.too_early))
                    reply = "slow_down"
                else:
                    reply = "access_denied" if args.deny else None
                state.last_poll = now
                if reply:
                    self.log("device_code " + reply)
                    return self.answer(400, {"error": reply})
                self.log("device_code granted")
                return self.answer(200, state.issue())
            if grant == "refresh_token":
                if state.refresh is None or form.get("refresh_token") != state.refresh:
                    self.log("refresh_token invalid_grant")
                    return self.answer(400, {"error": "invalid_grant",
                                             "error_description": "AADSTS70000: token revoked",
                                             "error_codes": [70000], "trace": {"id": "x"}})
                self.log("refresh_token granted")
                return self.answer(200, state.issue())
            self.log(grant + " unsupported_grant_type")
            return self.answer(400, {"error": "unsupported_grant_type"})

    return Handler


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("outdir")
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--client-id", required=True)
    parser.add_argument("--client-secret")
    parser.add_argument("--scope", default="smtp offline_access")
    parser.add_argument("--deny", action="store_true")
    args = parser.parse_args()

    state = State(args)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), make_handler(state))
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    write(os.path.join(args.outdir, "port"), str(server.server_address[1]))
    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    done.wait(120)
    server.shutdown()


if __name__ == "__main__":
    main()
