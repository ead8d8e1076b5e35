#!/ usr / bin / env python3
"""The box's end of the Tessel control channel without Qt, for tests.

Python's ssl with a certificate made by `openssl req -x509` serves one
agent connection: it checks the agent's hello, answers it with the box's
nonce and proof, then does what --after-hello says. It reads the
certificate's serial number from openssl and writes it in the text form the
agent's TLS layer (Qt's QSslCertificate::serialNumber) gives: the bytes of
the serial number, lower-case hexadecimal, two digits each, joined by ':'.
Both proofs are computed here with hashlib, so a misread serial text on the
agent's side fails the hello.

    tessel_python_box.py --address 127.0.0.9 --port 6680 --license 5005 \\
        --key a1b2c3d4e5f60718293a4b5c6d7e8f90 --workdir DIR \\
        [--serial 0x80a1b2c3] [--after-hello query|hold|close] \\
        [--query '{"type":"test","test":5}'] [--timeout 30]

The key is the cryptkey text, read as Base64 (leniently, as the agent does).
--after-hello:
  query  send {"type":"query","query_id":1,"query":<--query>} and read
         messages until a "response" with "done" true (default);
hold print every message until the agent closes;
  close  close the link at once.
Prints, one line each: "ready <port> <serial text>" once listening (port 0
picks a free one), "hello ok" or "hello refused: <reason>", "message <json>"
for each message read after the hello (with " +payload <n>" when one came),
"response <json>" for each response object, and "done". Exits 0 when the
hello passed and --after-hello did its part, else 1.
"""
import argparse
import base64
import binascii
import hashlib
import json
import os
import re
import socket
import ssl
import struct
import subprocess
import sys

PAYLOAD_FLAG = 0x20000000
MAX_FRAME_BODY = 0x80000


class ProtocolError(Exception):
    pass


def make_certificate(workdir, serial):
    key = os.path.join(workdir, "tessel_key.pem")
    cert = os.path.join(workdir, "tessel_cert.pem")
    command = ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
               "-subj", "/CN=box.test", "-keyout", key, "-out", cert]
    if serial:
        command += ["-set_serial", serial]
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


def serial_text(cert):
    """The serial number as QSslCertificate::serialNumber() writes it."""
    out = subprocess.run(["openssl", "x509", "-noout", "-serial", "-in", cert], check=True,
                         capture_output=True, text=True).stdout.strip()
    number = int(out.split("=", 1)[1], 16)
    raw = number.to_bytes(max(1, (number.bit_length() + 7) // 8), "big")
    return ":".join(f"{b:02x}" for b in raw)


def proof_key(text):
    """Base64 as the agent decodes it: other characters skipped, padding optional."""
    digits = re.sub(r"[^A-Za-z0-9+/]", "", text.split("=", 1)[0])
    if len(digits) % 4 == 1:  # six bits make no byte
        digits = digits[:-1]
    return base64.b64decode(digits + "=" * (-len(digits) % 4))


def read_exactly(conn, size):
    data = b""
    while len(data) < size:
        chunk = conn.recv(size - len(data))
        if not chunk:
            raise EOFError("link closed")
        data += chunk
    return data


def read_frame(conn):
    header = struct.unpack(">I", read_exactly(conn, 4))[0]
    length = header & ~PAYLOAD_FLAG
    if length > MAX_FRAME_BODY:
        raise ProtocolError("Tessel protocol error")
    return header & PAYLOAD_FLAG != 0, read_exactly(conn, length)


def read_message(conn):
    """(object, payload or None)."""
    flagged, body = read_frame(conn)
    payload = None
    if flagged:
        again, payload = read_frame(conn)
        if again:
            raise ProtocolError("Tessel protocol error: two payloads in a row")
    message = json.loads(body)
    if not isinstance(message, dict) or not message:
        raise ProtocolError("empty or invalid JSON")
    return message, payload


def send_message(conn, message):
    body = json.dumps(message, separators=(",", ":")).encode()
    conn.sendall(struct.pack(">I", len(body)) + body)


def hello(conn, args, serial, key):
    """Checks the agent's hello and answers it; the refusal reason or None."""
    request, _ = read_message(conn)
    if request.get("type") != "hello":
        return "not a hello message"
    if request.get("license") != args.license:
        return f"licence {request.get('license')} instead of {args.license}"
    client_nonce = base64.b64decode(request.get("nonce", ""))
    expected = hashlib.sha256(client_nonce + serial.encode() + key).digest()
    try:
        proof = base64.b64decode(request.get("proof", ""), validate=True)
    except binascii.Error:
        return "proof is not Base64"
    if proof != expected:
        return "wrong proof"
    box_nonce = os.urandom(4)
    box_proof = hashlib.sha256(client_nonce + box_nonce + serial.encode() + key).digest()
    send_message(conn, {"type": "hello", "license": args.license,
                        "nonce": base64.b64encode(box_nonce).decode(),
                        "proof": base64.b64encode(box_proof).decode()})
    return None


def print_message(message, payload):
    extra = f" +payload {len(payload)}" if payload is not None else ""
    print("message " + json.dumps(message, separators=(",", ":")) + extra, flush=True)


def after_hello(conn, args):
    if args.after_hello == "close":
        return True
    if args.after_hello == "query":
        send_message(conn, {"type": "query", "query_id": 1, "query": json.loads(args.query)})
    while True:
        try:
            message, payload = read_message(conn)
        except EOFError:
            return args.after_hello == "hold"
        print_message(message, payload)
        if message.get("type") == "ping":
            send_message(conn, {"type": "ping"})
        if message.get("type") == "response" and message.get("query_id") == 1:
            print("response " + json.dumps(message.get("response"), separators=(",", ":")),
                  flush=True)
            if message.get("done") and args.after_hello == "query":
                return True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--address", required=True)
    parser.add_argument("--port", type=int, default=6680)
    parser.add_argument("--license", type=int, required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--workdir", required=True)
    parser.add_argument("--serial")
    parser.add_argument("--after-hello", choices=["query", "hold", "close"], default="query")
    parser.add_argument("--query", default='{"type":"test","test":5}')
    parser.add_argument("--timeout", type=float, default=30)
    args = parser.parse_args()

    cert, private_key = make_certificate(args.workdir, args.serial)
    serial = serial_text(cert)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, private_key)
    listener = socket.create_server((args.address, args.port))
    listener.settimeout(args.timeout)
    print(f"ready {listener.getsockname()[1]} {serial}", flush=True)

    raw, _ = listener.accept()
    raw.settimeout(args.timeout)
    ok = False
    try:
        with context.wrap_socket(raw, server_side=True) as conn:
            reason = hello(conn, args, serial, proof_key(args.key))
            if reason:
                print(f"hello refused: {reason}", flush=True)
            else:
                print("hello ok", flush=True)
                ok = after_hello(conn, args)
    except (ProtocolError, EOFError, OSError, ValueError) as error:
        print(f"error: {error}", flush=True)
    print("done", flush=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
