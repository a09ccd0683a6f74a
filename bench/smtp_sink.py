#!/usr/bin/python3
"""A fast SMTP sink on loopback for the mail benchmark.

usage: smtp_sink.py PORTFILE [CERT KEY]

Answers every command with the reply a willing server gives, swallows the message after
DATA without looking at it (only the end marker is searched for), and keeps no data. With
CERT and KEY it offers STARTTLS and continues the session over TLS after it. Writes its port
to PORTFILE when ready; serves connections one after another on threads.
"""
import os
import socket
import ssl
import sys
import threading

END = b"\r\n.\r\n"


def serve(conn, context):
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    conn.sendall(b"220 sink.example.net ESMTP\r\n")
    pending = b""
    in_data = False
    tail = b""
    secure = False
    try:
        while True:
            chunk = conn.recv(1 << 20)
            if not chunk:
                return
            if in_data:
                # Only the last bytes matter: the marker may straddle two reads.
                window = tail + chunk
                at = window.find(END)
                if at < 0:
                    tail = window[-4:]
                    continue
                in_data = False
                pending = window[at + len(END):]
                conn.sendall(b"250 OK queued\r\n")
            else:
                pending += chunk
            while not in_data and b"\r\n" in pending:
                line, pending = pending.split(b"\r\n", 1)
                verb = line[:8].upper()
                if verb.startswith(b"EHLO"):
                    tls = b"250-STARTTLS\r\n" if context and not secure else b""
                    conn.sendall(b"250-sink.example.net\r\n" + tls + b"250 8BITMIME\r\n")
                elif verb.startswith(b"STARTTLS") and context and not secure:
                    conn.sendall(b"220 go ahead\r\n")
                    conn = context.wrap_socket(conn, server_side=True)
                    secure = True
                    pending = b""
                elif verb.startswith(b"DATA"):
                    conn.sendall(b"354 go ahead\r\n")
                    in_data = True
                    tail = b""
                    window = pending
                    pending = b""
                    at = window.find(END)
                    if at >= 0:
                        in_data = False
                        pending = window[at + len(END):]
                        conn.sendall(b"250 OK queued\r\n")
                    else:
                        tail = window[-4:]
                elif verb.startswith(b"QUIT"):
                    conn.sendall(b"221 bye\r\n")
                    return
                else:
                    conn.sendall(b"250 OK\r\n")
    except OSError:
        pass
    finally:
        conn.close()


def main():
    context = None
    if len(sys.argv) >= 4:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(sys.argv[2], sys.argv[3])
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    with open(sys.argv[1] + ".tmp", "w") as f:
        f.write(str(listener.getsockname()[1]))
    os.rename(sys.argv[1] + ".tmp", sys.argv[1])
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn, context), daemon=True).start()


if __name__ == "__main__":
    main()
