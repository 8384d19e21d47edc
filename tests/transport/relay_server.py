#!/usr/bin/env python3
"""A stand-in relay for tests: an HTTPS server on 127.0.0.1 that records each request.

Prints "port N" once it listens, then one JSON line per request it received:
{"method", "path", "headers": {name: value}, "body"}. Reads commands on standard input:
"status CODE" (answer with CODE from now on; starts at 204), "delay SECONDS" (wait that long
before answering), "quit". With --stay it serves until it is killed, whatever happens to its
standard input.
"""
import argparse
import json
import ssl
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

BODY_LIMIT = 1 << 20
state = {"status": 204, "delay": 0.0}
out_lock = threading.Lock()


def emit(record):
    with out_lock:
        sys.stdout.write(json.dumps(record) + "\n")
        sys.stdout.flush()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def handle_any(self):
        length = int(self.headers.get("Content-Length") or 0)
        if length > BODY_LIMIT:
            self.send_response(413)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        body = self.rfile.read(length).decode("utf-8", "replace")
        emit({"method": self.command, "path": self.path,
              "headers": {k: v for k, v in self.headers.items()}, "body": body})
        if state["delay"]:
            time.sleep(state["delay"])
        self.send_response(state["status"])
        self.send_header("Content-Length", "0")
        self.end_headers()

    do_PUT = do_GET = do_POST = handle_any


def commands(server, stay):
    for line in sys.stdin:
        words = line.split()
        if not words:
            continue
        if words[0] == "status":
            state["status"] = int(words[1])
        elif words[0] == "delay":
            state["delay"] = float(words[1])
        elif words[0] == "quit":
            break
    else:
        if stay:
            return
    server.shutdown()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--stay", action="store_true")
    args = parser.parse_args()
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=commands, args=(server, args.stay), daemon=True).start()
    emit_port = "port %d\n" % server.server_address[1]
    with out_lock:
        sys.stdout.write(emit_port)
        sys.stdout.flush()
    server.serve_forever()


if __name__ == "__main__":
    main()
