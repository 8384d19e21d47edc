#!/usr/bin/python3
"""A small stand-in for the model API Codex talks to (the Responses API, streamed as server-sent
events), for running the real Codex TUI offline.

    codex_fake_responses_api.py PORT_FILE LOG_FILE

Listens on 127.0.0.1 (an ephemeral port, written to PORT_FILE) and appends one JSON line per
request to LOG_FILE. When the newest input item is a user message containing "please create the
probe file", it answers with a call of Codex's command tool that asks to run `touch probe-file`
outside the sandbox (which needs the user's approval); anything else gets a short message.
"""
import http.server
import itertools
import json
import os
import sys

port_file, log_path = sys.argv[1], sys.argv[2]
counter = itertools.count(1)


def event(kind, payload):
    return f"event: {kind}\ndata: {json.dumps(dict(payload, type=kind))}\n\n".encode()


def wants_command(request):
    items = [i for i in request.get("input", []) if isinstance(i, dict)]
    if not items:
        return False
    last = items[-1]
    return last.get("type", "message") == "message" and last.get("role") == "user" and \
        "please create the probe file" in json.dumps(last.get("content"))


def command_call(request, n):
    tools = {t.get("name") for t in request.get("tools", []) if isinstance(t, dict)}
    if "exec_command" in tools:
        name, args = "exec_command", {"cmd": "touch probe-file", "sandbox_permissions": "require_escalated",
                                      "justification": "Create the probe file?"}
    else:
        name, args = "shell", {"command": ["touch", "probe-file"], "sandbox_permissions": "require_escalated",
                               "justification": "Create the probe file?"}
    return {"type": "function_call", "name": name, "arguments": json.dumps(args), "call_id": f"call_{n}"}


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def reply(self, status, content_type, body):
        self.send_response(status)
        self.send_header("content-type", content_type)
        self.send_header("content-length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        self.reply(200, "application/json", b'{"models":[]}')

    def do_POST(self):
        raw = self.rfile.read(int(self.headers.get("content-length", "0")))
        try:
            request = json.loads(raw)
        except ValueError:
            request = {}
        n = next(counter)
        with open(log_path, "a") as log:
            log.write(json.dumps({"path": self.path, "command": wants_command(request)}) + "\n")
        if wants_command(request):
            item = command_call(request, n)
        else:
            item = {"type": "message", "role": "assistant", "id": f"msg_{n}",
                    "content": [{"type": "output_text", "text": "Probe done."}]}
        usage = {"input_tokens": 1, "input_tokens_details": None, "output_tokens": 1,
                 "output_tokens_details": None, "total_tokens": 2}
        body = event("response.created", {"response": {"id": f"resp_{n}"}})
        body += event("response.output_item.done", {"item": item})
        body += event("response.completed", {"response": {"id": f"resp_{n}", "usage": usage}})
        self.reply(200, "text/event-stream", body)


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
with open(port_file + ".tmp", "w") as f:
    f.write(str(server.server_address[1]))
os.replace(port_file + ".tmp", port_file)
server.serve_forever()
