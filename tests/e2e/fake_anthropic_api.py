#!/usr/bin/python3
"""A small stand-in for the Anthropic Messages API, for running the real Claude Code offline.

Claude Code cannot reach the real service here, so the end-to-end test points ANTHROPIC_BASE_URL
at this server, on loopback inside the test's private network namespace. It answers the main
loop's requests (those that offer tools) from the user's last words:

  - a turn whose last message carries only a tool result: a short text, end of turn, sent only
    once the test has created the file "release" in the control folder (the file is consumed),
    so that the test sees the state between the tool's run and the end of the turn;
  - "ask me": a question to the user (tool AskUserQuestion);
  - "plan it": a to-do item (tool TaskCreate);
  - "fail": HTTP 429, the plan's limit reached;
  - "hello": a short text;
  - anything else: a Bash command that needs the user's permission.

Every other request (titles, summaries, checks) gets a short text. Each answer carries the
plan's rate-limit headers, which Claude Code shows in its status-line input.

Usage: fake_anthropic_api.py PORT CONTROL_FOLDER (the log is CONTROL_FOLDER/api.log)
"""

import json
import os
import sys
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

MAX_BODY = 16 << 20
FIVE_HOUR_UTILIZATION = "0.37"
SEVEN_DAY_UTILIZATION = "0.12"
# Fixed reset times, so the test can compare the quota record exactly.
FIVE_HOUR_RESET = 1796888558
SEVEN_DAY_RESET = 1797316958
COMMAND = "touch approved-by-user.txt"
HOLD_LIMIT = 300  # seconds; a test that never releases has failed long before


def last_user_content(messages):
    for message in reversed(messages):
        if message.get("role") == "user":
            content = message.get("content")
            if isinstance(content, str):
                return [{"type": "text", "text": content}]
            if isinstance(content, list):
                return content
    return []


def user_text(blocks):
    """The words the user typed last. Claude Code adds reminders as <system-reminder> blocks,
    and a prompt whose turn failed stays in the same message as the next one."""
    texts = [b.get("text", "") for b in blocks if b.get("type") == "text"]
    typed = [t for t in texts if not t.lstrip().startswith("<")]
    return typed[-1].lower() if typed else ""


def plan_reply(request):
    """(kind, payload): kind is "text", "held text", "tool" or "limit"."""
    if not request.get("tools"):
        return "text", "Fine."
    blocks = last_user_content(request.get("messages", []))
    words = user_text(blocks)
    if not words:
        # Only the result of the tool (run, answered or refused): the turn ends.
        return "held text", "Done."
    if "hello" in words:
        return "text", "Hello."
    if "ask me" in words:
        return "tool", ("AskUserQuestion", {
            "questions": [{
                "question": "Which colour should the button be?",
                "header": "Colour",
                "multiSelect": False,
                "options": [
                    {"label": "Blue", "description": "The calm one"},
                    {"label": "Green", "description": "The bright one"},
                ],
            }]
        })
    if "fail" in words:
        return "limit", None
    if "plan it" in words:
        return "tool", ("TaskCreate", {"subject": "Write the tests", "description": "Cover the parser",
                                       "activeForm": "Writing the tests"})
    return "tool", ("Bash", {"command": COMMAND, "description": "Create a marker file"})


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    log_file = None
    control = None
    counter = 0

    def log_message(self, format, *args):
        pass

    def note(self, text):
        with open(self.log_file, "a") as f:
            f.write(text + "\n")

    def rate_limit_headers(self, status="allowed"):
        self.send_header("anthropic-ratelimit-unified-status", status)
        self.send_header("anthropic-ratelimit-unified-5h-utilization", FIVE_HOUR_UTILIZATION)
        self.send_header("anthropic-ratelimit-unified-5h-reset", str(FIVE_HOUR_RESET))
        self.send_header("anthropic-ratelimit-unified-7d-utilization", SEVEN_DAY_UTILIZATION)
        self.send_header("anthropic-ratelimit-unified-7d-reset", str(SEVEN_DAY_RESET))
        self.send_header("anthropic-ratelimit-unified-reset", str(FIVE_HOUR_RESET))
        self.send_header("anthropic-ratelimit-unified-representative-claim", "five_hour")

    def send_json(self, code, body, status="allowed"):
        data = json.dumps(body).encode()
        self.send_response(code)
        self.send_header("content-type", "application/json")
        self.send_header("content-length", str(len(data)))
        self.send_header("request-id", "req_fake")
        self.rate_limit_headers(status)
        self.end_headers()
        self.wfile.write(data)

    def read_body(self):
        length = int(self.headers.get("content-length") or 0)
        if length < 0 or length > MAX_BODY:
            raise ValueError("body too large")
        return self.rfile.read(length)

    def do_GET(self):
        self.note("GET " + self.path)
        self.send_json(404, {"type": "error", "error": {"type": "not_found_error", "message": "not here"}})

    def do_HEAD(self):
        self.send_response(200)
        self.send_header("content-length", "0")
        self.end_headers()

    def do_POST(self):
        try:
            request = json.loads(self.read_body() or b"{}")
        except ValueError:
            self.send_json(400, {"type": "error", "error": {"type": "invalid_request_error", "message": "bad body"}})
            return
        path = self.path.split("?")[0]
        if path.endswith("/count_tokens"):
            self.send_json(200, {"input_tokens": 100})
            return
        if not path.endswith("/v1/messages"):
            self.note("POST " + self.path)
            self.send_json(404, {"type": "error", "error": {"type": "not_found_error", "message": "not here"}})
            return
        kind, payload = plan_reply(request)
        if kind == "held text":
            self.hold()
            kind = "text"
        self.note("messages tools=%d stream=%s -> %s %s" % (
            len(request.get("tools") or []), request.get("stream"), kind, payload[0] if kind == "tool" else ""))
        if kind == "tool" and payload[0] not in [t.get("name") for t in request.get("tools") or []]:
            self.note("tool %s not offered; offered: %s" % (
                payload[0], " ".join(str(t.get("name")) for t in request.get("tools") or [])))
        if kind == "limit":
            self.send_json(429, {"type": "error", "error": {"type": "rate_limit_error", "message": "limit reached"}},
                           status="rejected")
            return
        Handler.counter += 1
        message_id = "msg_fake_%d" % Handler.counter
        model = request.get("model", "claude-sonnet-4-5")
        if kind == "text":
            content = [{"type": "text", "text": payload}]
            stop = "end_turn"
        else:
            name, tool_input = payload
            content = [{"type": "tool_use", "id": "toolu_fake_%d" % Handler.counter, "name": name,
                        "input": tool_input}]
            stop = "tool_use"
        usage = {"input_tokens": 50, "output_tokens": 10, "cache_creation_input_tokens": 0,
                 "cache_read_input_tokens": 0}
        if not request.get("stream"):
            self.send_json(200, {"id": message_id, "type": "message", "role": "assistant", "model": model,
                                 "content": content, "stop_reason": stop, "stop_sequence": None, "usage": usage})
            return
        self.stream(message_id, model, content, stop, usage)

    def hold(self):
        release = os.path.join(self.control, "release")
        deadline = time.monotonic() + HOLD_LIMIT
        while not os.path.exists(release) and time.monotonic() < deadline:
            time.sleep(0.05)
        try:
            os.remove(release)
        except FileNotFoundError:
            pass

    def stream(self, message_id, model, content, stop, usage):
        events = [("message_start", {"type": "message_start", "message": {
            "id": message_id, "type": "message", "role": "assistant", "model": model, "content": [],
            "stop_reason": None, "stop_sequence": None, "usage": dict(usage, output_tokens=1)}})]
        for index, block in enumerate(content):
            if block["type"] == "text":
                events.append(("content_block_start", {"type": "content_block_start", "index": index,
                                                       "content_block": {"type": "text", "text": ""}}))
                events.append(("content_block_delta", {"type": "content_block_delta", "index": index,
                                                       "delta": {"type": "text_delta", "text": block["text"]}}))
            else:
                start = dict(block, input={})
                events.append(("content_block_start", {"type": "content_block_start", "index": index,
                                                       "content_block": start}))
                events.append(("content_block_delta", {"type": "content_block_delta", "index": index, "delta": {
                    "type": "input_json_delta", "partial_json": json.dumps(block["input"])}}))
            events.append(("content_block_stop", {"type": "content_block_stop", "index": index}))
        events.append(("message_delta", {"type": "message_delta", "delta": {"stop_reason": stop,
                                                                             "stop_sequence": None},
                                         "usage": {"output_tokens": usage["output_tokens"]}}))
        events.append(("message_stop", {"type": "message_stop"}))
        body = "".join("event: %s\ndata: %s\n\n" % (name, json.dumps(data)) for name, data in events).encode()
        self.send_response(200)
        self.send_header("content-type", "text/event-stream")
        self.send_header("cache-control", "no-cache")
        self.send_header("content-length", str(len(body)))
        self.send_header("request-id", "req_fake")
        self.rate_limit_headers()
        self.end_headers()
        self.wfile.write(body)


def main():
    port = int(sys.argv[1])
    Handler.control = sys.argv[2]
    Handler.log_file = os.path.join(Handler.control, "api.log")
    server = ThreadingHTTPServer(("127.0.0.1", port), Handler)
    server.daemon_threads = True
    with open(Handler.log_file, "a") as f:
        f.write("listening %d %f\n" % (port, time.time()))
    server.serve_forever()


if __name__ == "__main__":
    main()
