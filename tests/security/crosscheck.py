#!/usr/bin/python3
"""A second, independent reading of the phone-facing formats, written against Python's
`cryptography` package and the standard library only. Given a folder with what the C++ side
produced, it verifies the signed envelope, opens the sealed envelope, derives the pairing key
and verification code from the invitation, and writes a hello for the C++ side to verify.

Usage: crosscheck.py FOLDER
Reads key.hex, signed.json, sealed.json, invitation.json; writes result.json and hello.json.
"""
import base64
import hashlib
import hmac
import json
import re
import struct
import sys
import uuid
from pathlib import Path

from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.ciphers.aead import ChaCha20Poly1305
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

EPOCH_2001 = 978307200.0
UPPER_UUID = re.compile(r"^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$")


def fail(message):
    print("crosscheck: " + message, file=sys.stderr)
    sys.exit(1)


def check(condition, message):
    if not condition:
        fail(message)


def b64(text):
    raw = base64.b64decode(text, validate=True)
    check(base64.b64encode(raw).decode() == text, "Base64 is not canonical padded form: " + text[:20])
    return raw


def unix_bits(seconds_since_2001):
    return struct.pack(">d", float(seconds_since_2001) + EPOCH_2001)


def compact(text):
    check(json.dumps(json.loads(text), separators=(",", ":"), ensure_ascii=False) == text,
          "document is not compact JSON")


def signed_authenticated_bytes(env):
    return (b"Vigilorb.LocalSnapshot.v1\x00" + struct.pack(">Q", env["schemaVersion"])
            + env["keyIdentifier"].encode() + b"\x00" + env["nonce"].lower().encode() + b"\x00"
            + unix_bits(env["createdAt"]) + unix_bits(env["expiresAt"]) + b64(env["payload"]))


def verify_signed(text, key):
    compact(text)
    env = json.loads(text)
    check(env["schemaVersion"] == 1, "signed schema")
    check(env["keyIdentifier"] == hashlib.sha256(key).digest()[:8].hex(), "key identifier")
    check(UPPER_UUID.match(env["nonce"]), "nonce is not an upper-case UUID")
    check(env["expiresAt"] - env["createdAt"] == 120, "window is not 120 s")
    code = hmac.new(key, signed_authenticated_bytes(env), hashlib.sha256).digest()
    check(hmac.compare_digest(code, b64(env["authenticationCode"])), "authentication code does not verify")
    payload = b64(env["payload"])
    doc = json.loads(payload)
    check(json.dumps(doc, separators=(",", ":"), sort_keys=True, ensure_ascii=False).encode() == payload,
          "payload is not compact JSON with sorted keys")
    check(doc["schemaVersion"] == 2 and doc["generatedAt"] == env["createdAt"], "payload header")
    check_projection_order(doc)
    # Tampering must break the check, or the check above proves nothing.
    tampered = dict(env, createdAt=env["createdAt"] + 1)
    check(not hmac.compare_digest(hmac.new(key, signed_authenticated_bytes(tampered), hashlib.sha256).digest(),
                                  code), "tampered date still verifies")
    return payload


def check_projection_order(doc):
    """Quotas by account ID; tasks and pending actions newest first, equal dates by ID."""
    accounts = [q["accountID"] for q in doc["quotas"]]
    check(accounts == sorted(accounts), "quotas are not in account order")
    for name, date in (("tasks", "updatedAt"), ("pendingActions", "requestedAt")):
        keys = [(-item[date], item["id"]) for item in doc[name]]
        check(keys == sorted(keys), name + " are not newest first with ties by id")


def projection_ids(doc):
    return {"quotas": [q["accountID"] for q in doc["quotas"]], "tasks": [t["id"] for t in doc["tasks"]],
            "pendingActions": [a["id"] for a in doc["pendingActions"]]}


def cloud_associated_data(env):
    return (b"Vigilorb.CloudSnapshot.v1\x00" + env["sourceID"].encode() + b"\x00" + env["sourceName"].encode()
            + b"\x00" + env["keyIdentifier"].encode() + b"\x00" + struct.pack(">QQ", env["schemaVersion"],
                                                                               env["sequence"])
            + unix_bits(env["generatedAt"]))


def open_sealed(text, key):
    compact(text)
    env = json.loads(text)
    check(env["schemaVersion"] == 1, "sealed schema")
    check(env["keyIdentifier"] == hashlib.sha256(key).digest()[:8].hex(), "sealed key identifier")
    box = b64(env["sealedPayload"])
    nonce, sealed = box[:12], box[12:]
    payload = ChaCha20Poly1305(key).decrypt(nonce, sealed, cloud_associated_data(env))
    check(len(box) == len(payload) + 28, "sealed box is not nonce + ciphertext + tag")
    try:
        ChaCha20Poly1305(key).decrypt(nonce, sealed, cloud_associated_data(dict(env, sequence=env["sequence"] + 1)))
        fail("changed sequence still opens")
    except Exception as error:  # InvalidTag
        check(type(error).__name__ == "InvalidTag", "unexpected error " + repr(error))
    doc = json.loads(payload)
    check(doc["generatedAt"] == env["generatedAt"], "sealed generatedAt differs from the payload's")
    return payload


def read_invitation(text):
    doc = json.loads(text)
    check(json.dumps(doc, separators=(",", ":"), sort_keys=True, ensure_ascii=False) == text,
          "QR payload is not compact JSON with sorted keys")
    check(UPPER_UUID.match(doc["id"]), "invitation id is not an upper-case UUID")
    check(doc["schemaVersion"] == 1, "invitation schema")
    check(doc["expiresAt"] - doc["issuedAt"] == 120, "invitation is not valid for 120 s")
    secret = b64(doc["secret"])
    check(len(secret) == 32 and len(doc["secret"]) == 44, "secret")
    key = HKDF(algorithm=hashes.SHA256(), length=32, salt=doc["companionID"].encode(),
               info=b"Vigilorb.PairingKey.v1").derive(secret)
    message = b"Vigilorb.PairingVerification.v1:" + doc["id"].lower().encode()
    value = struct.unpack(">I", hmac.new(secret, message, hashlib.sha256).digest()[:4])[0]
    return {"keyIdentifier": hashlib.sha256(key).digest()[:8].hex(), "verificationCode": "%06u" % (value % 1000000),
            "key": key.hex(), "companionName": doc.get("companionName"), "relayBaseURL": doc.get("relayBaseURL")}


def make_hello(key, companion_id, device_name, created_at):
    nonce = str(uuid.uuid4())
    message = (b"Vigilorb.PairingHello.v1\x00" + companion_id.encode() + b"\x00" + device_name.encode() + b"\x00"
               + nonce.encode() + b"\x00" + unix_bits(created_at))
    code = hmac.new(key, message, hashlib.sha256).digest()
    return json.dumps({"schemaVersion": 1, "companionID": companion_id, "deviceName": device_name,
                       "nonce": nonce.upper(), "createdAt": created_at,
                       "authenticationCode": base64.b64encode(code).decode()}, separators=(",", ":"),
                      ensure_ascii=False)


def main():
    folder = Path(sys.argv[1])
    key = bytes.fromhex((folder / "key.hex").read_text().strip())
    signed = verify_signed((folder / "signed.json").read_text(), key)
    sealed = open_sealed((folder / "sealed.json").read_text(), key)
    invitation = read_invitation((folder / "invitation.json").read_text())
    hello_request = json.loads((folder / "hello-request.json").read_text())
    hello = make_hello(key, hello_request["companionID"], hello_request["deviceName"], hello_request["createdAt"])
    (folder / "hello.json").write_text(hello)
    (folder / "result.json").write_text(json.dumps({
        "signedPayload": base64.b64encode(signed).decode(),
        "order": projection_ids(json.loads(signed)),
        "sealedPayload": base64.b64encode(sealed).decode(),
        "invitation": invitation,
    }))


if __name__ == "__main__":
    main()
