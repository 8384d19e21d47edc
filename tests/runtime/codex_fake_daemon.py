#!/usr/bin/python3
"""A stand-in for Codex's shared background app-server on a Unix socket (WebSocket, one JSON
message per text frame), for the approval observer's tests.

    codex_fake_daemon.py SOCKET [--max-bytes N]

It announces N (default 16777216) in the x-codex-websocket-max-unfragmented-message-bytes
header of its 101 answer. Like Codex it answers `initialize`, `thread/loaded/list` and
`thread/read`, and nothing else. Commands arrive as JSON lines on standard input:

    {"cmd": "thread", "thread": {...}}          load or replace a thread (a Thread object)
    {"cmd": "unload", "id": "..."}              unload one
    {"cmd": "send", "message": {...}}           send a message to every client
    {"cmd": "sendBig", "size": N}               send a text message of N bytes to every client
    {"cmd": "closeOn", "method": "..."}         drop the connection instead of answering that method
    {"cmd": "rejectInitialize"}                 answer initialize with an error

Standard output gets one JSON line per event: {"listening": true}, {"connected": n},
{"recv": message}, {"disconnected": n}, {"done": cmd} after each command.
"""
import asyncio
import json
import sys

import websockets

path = sys.argv[1]
max_bytes = 16777216
if "--max-bytes" in sys.argv:
    max_bytes = int(sys.argv[sys.argv.index("--max-bytes") + 1])

threads = {}
clients = set()
close_on = set()
reject_initialize = [False]
connections = [0]


def emit(obj):
    sys.stdout.write(json.dumps(obj) + "\n")
    sys.stdout.flush()


async def handler(ws, _path=None):
    connections[0] += 1
    number = connections[0]
    clients.add(ws)
    emit({"connected": number})
    try:
        async for frame in ws:
            msg = json.loads(frame)
            emit({"recv": msg})
            method, rid = msg.get("method"), msg.get("id")
            if rid is None:
                continue
            if method in close_on:
                close_on.discard(method)
                ws.transport.abort()
                break
            if method == "initialize":
                if reject_initialize[0]:
                    await ws.send(json.dumps({"id": rid, "error": {"code": -32600, "message": "unsupported client"}}))
                else:
                    await ws.send(json.dumps({"id": rid, "result": {
                        "userAgent": "vigil-orb/0.171.0 (Debian 12.0.0; x86_64) fake", "codexHome": "",
                        "platformFamily": "unix", "platformOs": "linux"}}))
            elif method == "thread/loaded/list":
                await ws.send(json.dumps({"id": rid, "result": {"data": list(threads), "nextCursor": None}}))
            elif method == "thread/read":
                t = threads.get(msg.get("params", {}).get("threadId"))
                if t is None:
                    await ws.send(json.dumps({"id": rid, "error": {"code": -32600, "message": "thread not loaded"}}))
                else:
                    await ws.send(json.dumps({"id": rid, "result": {"thread": t}}))
    except websockets.ConnectionClosed:
        pass
    finally:
        clients.discard(ws)
        emit({"disconnected": number})


async def commands():
    loop = asyncio.get_running_loop()
    while True:
        line = await loop.run_in_executor(None, sys.stdin.readline)
        if not line:
            return
        cmd = json.loads(line)
        kind = cmd["cmd"]
        if kind == "thread":
            threads[cmd["thread"]["id"]] = cmd["thread"]
        elif kind == "unload":
            threads.pop(cmd["id"], None)
        elif kind == "send":
            # Like the real daemon, what it announces is what a later thread/read returns.
            message = cmd["message"]
            params = message.get("params") or {}
            if "id" not in message and message.get("method") == "thread/status/changed" and params.get("threadId") in threads:
                threads[params["threadId"]]["status"] = params.get("status")
            elif "id" not in message and message.get("method") == "thread/started":
                threads[params["thread"]["id"]] = params["thread"]
            elif "id" not in message and message.get("method") == "thread/closed":
                threads.pop(params.get("threadId"), None)
            for ws in list(clients):
                await ws.send(json.dumps(cmd["message"]))
        elif kind == "sendBig":
            text = json.dumps({"method": "thread/name/updated", "params": {"pad": ""}})
            text = text[:-3] + "x" * (cmd["size"] - len(text)) + text[-3:]
            for ws in list(clients):
                await ws.send(text)
        elif kind == "closeOn":
            close_on.add(cmd["method"])
        elif kind == "rejectInitialize":
            reject_initialize[0] = True
        emit({"done": kind})


async def main():
    async with websockets.unix_serve(handler, path, max_size=None,
                                     extra_headers=[("x-codex-websocket-max-unfragmented-message-bytes",
                                                     str(max_bytes))]):
        emit({"listening": True})
        await commands()


asyncio.run(main())
