#!/usr/bin/env python3
"""Copies the JSON texts that the unit tests feed each parser into that target's seed corpus.

Each raw string literal (R"(...)" or R"delim(...)delim") of the listed test files becomes one
seed file, corpus/<target>/test-<first 12 hex digits of its SHA-1>; for the stream targets the
literals of a file are also joined into one stream seed. Run from anywhere; existing seeds stay.
"""
import hashlib
import pathlib
import re

root = pathlib.Path(__file__).resolve().parent.parent
corpus = root / "fuzz" / "corpus"

sources = {
    "statusline": ["tests/claude/statusline_parser_test.cpp"],
    "hook": ["tests/claude/hook_parser_test.cpp"],
    "event_file": ["tests/model/events_test.cpp"],
    "snapshot": ["tests/store/snapshot_test.cpp", "tests/store/store_test.cpp", "tests/model/records_test.cpp"],
    "codex_message": ["tests/codex/message_parser_test.cpp"],
    "codex_session": ["tests/codex/app_server_session_test.cpp", "tests/runtime/codex_app_server_client_test.cpp"],
    "codex_approval": ["tests/codex/approval_observer_session_test.cpp"],
    "rollout": ["tests/codex/rollout_scanner_test.cpp", "tests/codex/codex_home_fixture.hpp"],
    "session_index": ["tests/codex/session_index_test.cpp", "tests/codex/codex_home_fixture.hpp"],
    "desktop_usage": ["tests/claude/claude_desktop_usage_test.cpp", "tests/runtime/claude_desktop_fixtures.hpp"],
    "desktop_session": ["tests/claude/claude_desktop_session_parser_test.cpp", "tests/claude/cowork_capture_test.cpp"],
    "relay_request": ["tests/relay/service_test.cpp", "tests/relay/protocol_test.cpp"],
}
# Targets that read a stream of lines: one more seed with all literals of a file, one a line.
streams = {"codex_session", "codex_approval", "rollout", "session_index"}

literal = re.compile(r'R"([^(\s]{0,16})\((.*?)\)\1"', re.S)


def write(target, data):
    folder = corpus / target
    folder.mkdir(parents=True, exist_ok=True)
    name = "test-" + hashlib.sha1(data).hexdigest()[:12]
    (folder / name).write_bytes(data)


for target, files in sources.items():
    for file in files:
        texts = [m.group(2).encode() for m in literal.finditer((root / file).read_text())]
        texts = [t for t in texts if t.strip()]
        for t in texts:
            write(target, t)
        if target in streams and texts:
            write(target, b"\n".join(t.replace(b"\n", b" ") for t in texts) + b"\n")
