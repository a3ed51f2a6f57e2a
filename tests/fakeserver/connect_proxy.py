#!/usr/bin/env python3
"""An HTTP proxy for the tests that takes CONNECT only, and logs what passes.

    connect_proxy.py --log L --port-file P [--user U --password W]
                     [--max-seconds 600]

It listens on a free port of 127.0.0.1, writes that port to P (whole, by
rename), and serves each connection on a thread of its own: the request
"CONNECT host:port HTTP/1.1" with its header lines, then, when the proxy's
credentials match (the header Proxy-Authorization, Basic, when --user is
given), "200 Connection established" and the bytes both ways until either
side closes. Anything else gets 405, wrong or missing credentials 407.

Log (JSON lines): {"event": "connect", "target": "host:port", "user": U or
null, "answer": 200 | 405 | 407} when a request is answered, and
{"event": "closed", "target", "up": bytes to the target, "down": bytes
back} when a tunnel ends. It stops on TERM or INT, or after --max-seconds.
"""

import argparse
import base64
import json
import os
import select
import signal
import socket
import sys
import threading
import time


class Log:
    def __init__(self, path):
        self.lock = threading.Lock()
        self.file = open(path, "a", encoding="utf-8")

    def write(self, record):
        with self.lock:
            self.file.write(json.dumps(record) + "\n")
            self.file.flush()


def read_head(conn):
    """The request's head, up to the empty line (at most 16 KiB)."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(4096)
        if not chunk:
            return None
        data += chunk
        if len(data) > 16384:
            return None
    return data.split(b"\r\n\r\n", 1)[0].decode("latin-1")


def user_of(lines):
    for line in lines[1:]:
        name, _, value = line.partition(":")
        if name.strip().lower() != "proxy-authorization":
            continue
        scheme, _, token = value.strip().partition(" ")
        if scheme.lower() != "basic":
            return None
        try:
            return base64.b64decode(token.strip()).decode("utf-8")
        except ValueError:
            return None
    return None


def tunnel(client, target):
    up = down = 0
    peers = {client: target, target: client}
    while True:
        ready, _, _ = select.select(list(peers), [], [], 60)
        if not ready:
            break
        for sock in ready:
            data = sock.recv(65536)
            if not data:
                return up, down
            peers[sock].sendall(data)
            if sock is client:
                up += len(data)
            else:
                down += len(data)
    return up, down


def serve(conn, args, log):
    with conn:
        head = read_head(conn)
        if head is None:
            return
        lines = head.split("\r\n")
        parts = lines[0].split(" ")
        target = parts[1] if len(parts) == 3 else ""
        given = user_of(lines)
        record = {"event": "connect", "target": target, "user": given.split(":", 1)[0] if given else None}
        if len(parts) != 3 or parts[0] != "CONNECT":
            record["answer"] = 405
            log.write(record)
            conn.sendall(b"HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\n\r\n")
            return
        if args.user is not None and given != "%s:%s" % (args.user, args.password):
            record["answer"] = 407
            log.write(record)
            conn.sendall(b"HTTP/1.1 407 Proxy Authentication Required\r\n"
                         b"Proxy-Authenticate: Basic realm=\"tests\"\r\nContent-Length: 0\r\n\r\n")
            return
        host, _, port = target.rpartition(":")
        try:
            upstream = socket.create_connection((host, int(port)), timeout=10)
        except (OSError, ValueError):
            record["answer"] = 502
            log.write(record)
            conn.sendall(b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n")
            return
        record["answer"] = 200
        log.write(record)
        with upstream:
            upstream.settimeout(None)
            conn.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
            up, down = tunnel(conn, upstream)
        log.write({"event": "closed", "target": target, "up": up, "down": down})


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--log", required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--user")
    parser.add_argument("--password", default="")
    parser.add_argument("--max-seconds", type=float, default=600)
    args = parser.parse_args()
    log = Log(args.log)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    temp = args.port_file + ".tmp"
    with open(temp, "w", encoding="utf-8") as f:
        f.write(str(listener.getsockname()[1]))
    os.rename(temp, args.port_file)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    signal.signal(signal.SIGINT, lambda *_: sys.exit(0))
    deadline = time.monotonic() + args.max_seconds
    listener.settimeout(0.5)
    while time.monotonic() < deadline:
        try:
            conn, _ = listener.accept()
        except socket.timeout:
            continue
        conn.settimeout(None)
        threading.Thread(target=serve, args=(conn, args, log), daemon=True).start()


if __name__ == "__main__":
    main()
