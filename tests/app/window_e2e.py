#!/usr/bin/python3
"""Drives the real companion window through the accessibility bus, as a screen reader or a
user's automation would: finds the pairing button by its identity, presses it, reads the
verification code off the sheet, and decodes the QR code from a screenshot of the screen.

Usage (from window_e2e.sh, inside Xvfb and a private session bus): window_e2e.py BIN ARTIFACTS
"""
import json
import os
import re
import signal
import subprocess
import sys
import time

import pyatspi

BIN, ARTIFACTS = sys.argv[1], sys.argv[2]
APP_NAME = "VigilorbCompanion"


def fail(message):
    print("FAIL:", message, file=sys.stderr)
    sys.exit(1)


def wait_for(what, condition, seconds=60):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            value = condition()
        except Exception:  # a tree that changes under us; ask again
            value = None
        if value:
            return value
        time.sleep(0.2)
    fail("timed out waiting for " + what)


def application():
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        if app is not None and app.name == APP_NAME:
            return app
    return None


def walk(node, depth=0):
    if node is None or depth > 60:
        return
    yield node
    for i in range(node.childCount):
        yield from walk(node.getChildAtIndex(i), depth + 1)


def identity(node):
    try:
        return node.get_accessible_id() or ""
    except Exception:
        return ""


def find(root, predicate):
    for node in walk(root):
        if predicate(node):
            return node
    return None


def screenshot(name):
    path = os.path.join(ARTIFACTS, name)
    subprocess.run(["import", "-window", "root", path], check=True)
    return path


def decode(path):
    result = subprocess.run(["zbarimg", "--quiet", "--raw", "-Sdisable", "-Sqrcode.enable", path],
                            capture_output=True, text=True)
    return result.stdout.rstrip("\n")


def listening_port(pid):
    """The TCP port the companion process listens on (its local link), from ss."""
    out = subprocess.run(["ss", "-Hltnp"], capture_output=True, text=True).stdout
    for line in out.splitlines():
        if "pid=%d," % pid in line:
            local = line.split()[3]
            return int(local.rsplit(":", 1)[1])
    return None


def stacking():
    """Names of the top-level windows, topmost first (as xwininfo lists them)."""
    out = subprocess.run(["xwininfo", "-root", "-children"], capture_output=True, text=True).stdout
    return re.findall(r'^\s+0x[0-9a-f]+ "([^"]*)"', out, re.M)


def above(upper, lower):
    order = stacking()
    return upper in order and lower in order and order.index(upper) < order.index(lower)


def main():
    log = open(os.path.join(os.environ["HOME"], "companion.log"), "w")
    # The accessibility bus and its registry first, as in a desktop session: an app that starts
    # while they are still being activated is not always listed by the registry.
    wait_for("the accessibility registry", lambda: pyatspi.Registry.getDesktop(0) is not None)
    companion = subprocess.Popen([os.path.join(BIN, "vigilorb-companion")], stdout=log, stderr=subprocess.STDOUT)
    try:
        app = wait_for("the companion on the accessibility bus", application)
        button = wait_for("the pairing button", lambda: find(
            app, lambda n: identity(n) == "generatePairingInvitation" or
            (n.getRoleName() == "push button" and n.name == "Generate Pairing Code")))
        if identity(button) not in ("", "generatePairingInvitation"):
            fail("pairing button has identity " + identity(button))
        for name in ("Start Codex", "Prepare Claude", "Refresh", "Scan Now", "Save Cloud Sync Address"):
            if not find(app, lambda n: n.getRoleName() == "push button" and n.name == name):
                fail("no button named " + name)
        if not find(app, lambda n: n.name in ("Start Observing", "Stop Observing")):
            fail("no observer toggle")
        # The session has an unlocked keyring, so the pairing key goes there, and the window says so.
        if not find(app, lambda n: n.name == "Pairing keys are kept in the Secret Service"):
            fail("the window does not say that pairing keys are kept in the Secret Service")
        time.sleep(0.5)  # let the first frame settle for the picture
        screenshot("window-real.png")

        button.queryAction().doAction(0)
        sheet = wait_for("the pairing sheet", lambda: find(
            app, lambda n: n.getRoleName() == "dialog" and n.name == "QR Pairing Invitation"))
        code = wait_for("the verification code", lambda: find(
            sheet, lambda n: re.fullmatch(r"[0-9]{6}", n.name or "") is not None))
        code = code.name
        if not find(sheet, lambda n: n.name == "One-time local pairing QR code"):
            fail("the QR code has no accessible name")
        time.sleep(0.5)
        shot = screenshot("pairing-real.png")
        payload = wait_for("a readable QR code", lambda: decode(screenshot("pairing-real.png")), 20)
        invitation = json.loads(payload)
        # The phone side pairs with what it scanned, and shows the same code.
        state = os.path.join(os.environ["HOME"], "peer", "pairing.json")
        peer = subprocess.run([os.path.join(BIN, "vigilorb-peer"), "pair", "--state", state], input=payload,
                              capture_output=True, text=True)
        if peer.returncode != 0:
            fail("vigilorb-peer refused the scanned invitation: " + peer.stderr)
        if json.loads(peer.stdout)["verificationCode"] != code:
            fail("sheet shows %s, the scanned invitation gives %s" % (code, peer.stdout))
        print("scanned invitation for", invitation["companionID"], "code", code, "from", shot)

        # Paired: the phone side receives a signed snapshot over the local link. No DNS-SD
        # daemon runs here, so the port comes from the companion's listening sockets.
        port = wait_for("the local link listener", lambda: listening_port(companion.pid), 20)
        received = subprocess.run([os.path.join(BIN, "vigilorb-peer"), "listen", "--state", state,
                                   "--address", "127.0.0.1:%d" % port, "--count", "1", "--timeout", "20"],
                                  capture_output=True, text=True, timeout=60)
        if received.returncode != 0:
            fail("vigilorb-peer received nothing: " + received.stderr)
        payload = json.loads(received.stdout.splitlines()[0])
        # vigilorb-peer prints only payloads it verified with the key it derived from the scan.
        if not {"tasks", "quotas", "pendingActions"} <= set(payload):
            fail("the received payload is no snapshot: " + received.stdout[:200])
        print("received a verified snapshot over the local link on port", port)

        # Return is "Done".
        subprocess.run(["xdotool", "key", "Return"], check=True)
        wait_for("the sheet to close", lambda: find(
            app, lambda n: n.getRoleName() == "dialog" and n.name == "QR Pairing Invitation") is None, 20)

        # Starting it again while it runs brings the running window to the front instead.
        cover = subprocess.Popen(["xmessage", "-name", "cover", "-geometry", "900x900+0+0", "in front"],
                                 stderr=subprocess.DEVNULL)
        try:
            wait_for("another window in front", lambda: above("cover", "Tallyloom Companion"), 20)
            again = subprocess.run([os.path.join(BIN, "vigilorb-companion")], capture_output=True, text=True,
                                   timeout=60)
            if again.returncode != 0 or "already running" not in again.stdout + again.stderr:
                fail("a second start said %d: %s%s" % (again.returncode, again.stdout, again.stderr))
            wait_for("the window raised by the second start", lambda: above("Tallyloom Companion", "cover"), 20)
        finally:
            cover.kill()
        print("a second start raised the running window")
    finally:
        companion.send_signal(signal.SIGTERM)
        try:
            status = companion.wait(30)
        except subprocess.TimeoutExpired:
            companion.kill()
            fail("the companion did not stop on SIGTERM")
    if status != 0:
        fail("the companion exited with %d" % status)
    print("window end to end: passed")


if __name__ == "__main__":
    main()
