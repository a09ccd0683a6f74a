"""A TLS echo server on loopback for the network tests.

usage: tls_peer.py OUTDIR CERT KEY

Writes its port to OUTDIR/port once it accepts connections. Each connection gets a thread:
after the TLS handshake everything received is echoed back until the client closes or ends
the TLS layer. One line per connection is appended to OUTDIR/log: "handshake failed: REASON"
or "echoed N" (N plaintext bytes). Runs until SIGTERM, at most two minutes.
"""
import os
import signal
import socket
import ssl
import sys
import threading

lock = threading.Lock()


def log(outdir, line):
    with lock, open(os.path.join(outdir, "log"), "a") as f:
        f.write(line + "\n")


def serve(conn, context, outdir):
    conn.settimeout(30)
    try:
        tls = context.wrap_socket(conn, server_side=True)
    except (ssl.SSLError, OSError) as e:
        log(outdir, "handshake failed: %s" % e)
        conn.close()
        return
    total = 0
    try:
        while True:
            data = tls.recv(65536)
            if not data:
                break
            total += len(data)
            tls.sendall(data)
    except (ssl.SSLError, OSError):
        pass
    log(outdir, "echoed %d" % total)
    try:
        tls.close()
    except OSError:
        pass


def main():
    outdir, cert, key = sys.argv[1:4]
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    listener.settimeout(0.2)
    with open(os.path.join(outdir, "port.tmp"), "w") as f:
        f.write(str(listener.getsockname()[1]))
    os.rename(os.path.join(outdir, "port.tmp"), os.path.join(outdir, "port"))
    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    threading.Timer(120, done.set).start()
    while not done.is_set():
        try:
            conn, _ = listener.accept()
        except socket.timeout:
            continue
        threading.Thread(target=serve, args=(conn, context, outdir), daemon=True).start()
    os._exit(0)


if __name__ == "__main__":
    main()
