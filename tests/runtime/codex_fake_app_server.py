#!/usr/bin/python3
"""A stand-in for `codex app-server --stdio` that plays one scenario.

The scenario is named by FAKE_CODEX_SCENARIO (default "signedIn"). Received lines are appended
to FAKE_CODEX_LOG when set; the process ID is written to FAKE_CODEX_PIDFILE when set. Like the
real server it logs to stderr, answers without a "jsonrpc" member and ends at end of input.
"""
import json
import os
import signal
import sys
import time

scenario = os.environ.get("FAKE_CODEX_SCENARIO", "signedIn")
log_path = os.environ.get("FAKE_CODEX_LOG")
if os.environ.get("FAKE_CODEX_PIDFILE"):
    with open(os.environ["FAKE_CODEX_PIDFILE"], "w") as f:
        f.write(str(os.getpid()))
if scenario == "ignoreTerm":
    signal.signal(signal.SIGTERM, signal.SIG_IGN)

out = sys.stdout.buffer
used = [42]


def write(data, flush=True):
    out.write(data if isinstance(data, bytes) else data.encode())
    if flush:
        out.flush()


def send(obj):
    write(json.dumps(obj, separators=(",", ":")) + "\n")


def limits(rid):
    used[0] += 1
    return {"id": rid, "result": {"rateLimits": {
        "limitId": "codex",
        "primary": {"usedPercent": used[0], "windowDurationMins": 300, "resetsAt": 1796888784},
        "secondary": {"usedPercent": 7, "windowDurationMins": 10080, "resetsAt": 1797316958}},
        "rateLimitsByLimitId": {}}}


sys.stderr.write("\x1b[2m2026-12-10T06:28:05Z\x1b[0m INFO fake app-server starting\n")
sys.stderr.flush()

for raw in sys.stdin.buffer:
    if log_path:
        with open(log_path, "ab") as f:
            f.write(raw)
    try:
        msg = json.loads(raw)
    except ValueError:
        sys.stderr.write("invalid JSON line\n")
        continue
    method, rid = msg.get("method"), msg.get("id")

    if method == "initialize":
        if scenario in ("hang", "ignoreTerm"):
            continue
        if scenario == "exit":
            sys.exit(3)
        if scenario == "rejectInit":
            send({"id": rid, "error": {"code": -32600, "message": "unsupported client"}})
            continue
        if scenario == "bigLine":
            chunk = b"x" * 65536
            for _ in range(32):
                write(chunk)
            write(b"y")
            continue
        reply = json.dumps({"id": rid, "result": {"userAgent": "vigil-orb/0.171.0 (Debian 12.0.0; x86_64) fake",
                                                   "codexHome": os.environ.get("CODEX_HOME", ""),
                                                   "platformFamily": "unix", "platformOs": "linux"}},
                           separators=(",", ":")) + "\n"
        if scenario == "splitJoined":
            # Garbage, a non-object and a stale answer first; the reply itself in two writes.
            write(b"not json at all\n[1,2,3]\n\"text\"\n{\"id\":7,\"result\":{}}\n")
            write(reply[:10])
            time.sleep(0.05)
            write(reply[10:] + '{"method":"configWarning","params":{"summary":"x"}}\n')
        else:
            write(reply)
            send({"method": "remoteControl/status/changed", "params": {"status": "disabled"}})
    elif method == "initialized":
        if scenario == "signOut":
            send({"method": "account/updated", "params": {"authMode": None, "planType": None, "reason": None}})
    elif method == "account/read":
        if scenario in ("hangAccount", "signOut"):
            continue
        if scenario == "signedOut":
            send({"id": rid, "result": {"account": None, "userId": None, "requiresOpenaiAuth": True,
                                        "workspaceRouting": None}})
            continue
        answer = {"id": rid, "result": {"account": {"type": "chatgpt", "email": "dev@example.test",
                                                    "planType": "plus"}, "requiresOpenaiAuth": True}}
        if scenario == "splitJoined":
            # The answer joined with an unmatched id and a stale id in one write.
            write(json.dumps({"id": 999, "result": {"account": None}}) + "\n" +
                  json.dumps({"id": 1, "result": {}}) + "\n" + json.dumps(answer) + "\n")
        else:
            send(answer)
    elif method == "account/rateLimits/read":
        if scenario == "noQuota":
            send({"error": {"code": -32600, "message": "chatgpt authentication required to read rate limits"},
                  "id": rid})
            continue
        if scenario == "hangRefresh" and rid != 101:
            continue
        send(limits(rid))
        if scenario == "emptyUpdateThenSignOut":
            send({"method": "account/rateLimits/updated", "params": {"rateLimits": {}}})
            send({"method": "account/updated", "params": {"authMode": None, "planType": None, "reason": None}})
        if scenario == "pushUpdates":
            send({"method": "account/rateLimits/updated",
                  "params": {"rateLimits": {"primary": {"usedPercent": 90, "windowDurationMins": 300}}}})
        if scenario == "exitAfterQuota":
            out.flush()
            sys.exit(0)
