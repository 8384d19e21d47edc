#!/usr/bin/env python3
"""An independent local-link receiver: OpenSSL's s_client does the TLS-PSK handshake, this
script frames what it sends and unframes what it receives.

    psk_client.py PORT PSK_HEX IDENTITY [--send FILE]... [--frames N] [--raw FILE] [--hold]

Each --send FILE is sent as one frame (in order), --raw FILE is written as it is. Then up to
N frames are read (default 1) and printed one per line. Exit status: 0 when N frames arrived,
3 when the handshake did not complete, 4 when the connection ended before N frames.
--hold keeps the connection open without reading until this process is killed.
"""
import argparse
import os
import struct
import subprocess
import sys
import threading


def main():
    p = argparse.ArgumentParser()
    p.add_argument("port")
    p.add_argument("psk")
    p.add_argument("identity")
    p.add_argument("--send", action="append", default=[])
    p.add_argument("--raw")
    p.add_argument("--frames", type=int, default=1)
    p.add_argument("--hold", action="store_true")
    a = p.parse_args()

    proc = subprocess.Popen(
        ["openssl", "s_client", "-connect", "127.0.0.1:" + a.port, "-tls1_2",
         "-cipher", "ECDHE-PSK-CHACHA20-POLY1305", "-psk", a.psk, "-psk_identity", a.identity, "-brief"],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    established = threading.Event()
    ended = threading.Event()

    def watch_stderr():
        for line in proc.stderr:
            if line.startswith(b"CONNECTION ESTABLISHED"):
                established.set()
        ended.set()

    threading.Thread(target=watch_stderr, daemon=True).start()
    while not established.is_set() and not ended.is_set():
        established.wait(0.05)
    if not established.is_set():
        proc.wait()
        print("handshakeFailed", file=sys.stderr)
        return 3

    out = b""
    for name in a.send:
        with open(name, "rb") as f:
            body = f.read()
        out += struct.pack(">I", len(body)) + body
    if a.raw:
        with open(a.raw, "rb") as f:
            out += f.read()
    proc.stdin.write(out)
    proc.stdin.flush()
    if a.hold:
        proc.wait()
        return 0

    def read_exactly(n):
        data = b""
        while len(data) < n:
            chunk = proc.stdout.read(n - len(data))
            if not chunk:
                return None
            data += chunk
        return data

    for _ in range(a.frames):
        header = read_exactly(4)
        body = read_exactly(struct.unpack(">I", header)[0]) if header else None
        if body is None:
            proc.kill()
            print("connectionEnded", file=sys.stderr)
            return 4
        sys.stdout.buffer.write(body + b"\n")
        sys.stdout.buffer.flush()
    proc.kill()
    return 0


if __name__ == "__main__":
    sys.exit(main())
