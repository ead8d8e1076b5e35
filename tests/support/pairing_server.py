#!/usr/bin/env python3
"""A stand-in for the box's pairing page, for tests.

Answers GET /zelvo/php/scripts/register_agent.php with a body chosen by the
test. Listens on one port and serves either TLS (with a self-signed
certificate made by `openssl req` at start) or plain HTTP; in the plain mode
an https attempt fails at the handshake, so clients fall back to http.

    pairing_server.py --address 127.0.0.20 --mode tls|plain \
        --body-file reply.json --log requests.log --workdir DIR

Prints "port <n>" on standard output once it listens (port 0 picks a free
one). Each request is appended to the log as "<scheme> <tls version> <path>".
"""
import argparse
import http.server
import os
import ssl
import subprocess
import sys

REGISTER_PATH = "/zelvo/php/scripts/register_agent.php"


def make_certificate(workdir):
    key = os.path.join(workdir, "pairing_key.pem")
    cert = os.path.join(workdir, "pairing_cert.pem")
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
         "-subj", "/CN=box.test", "-keyout", key, "-out", cert],
        check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--address", required=True)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--mode", choices=["tls", "plain"], default="tls")
    parser.add_argument("--body-file", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--workdir", required=True)
    args = parser.parse_args()

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            scheme = "https" if args.mode == "tls" else "http"
            version = self.connection.version() if args.mode == "tls" else "-"
            with open(args.log, "a") as log:
                log.write(f"{scheme} {version} {self.path}\n")
            if not self.path.startswith(REGISTER_PATH):
                self.send_error(404)
                return
            # Re-read per request so a test can change the answer in between.
            with open(args.body_file, "rb") as f:
                body = f.read()
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *unused):
            pass

    server = http.server.ThreadingHTTPServer((args.address, args.port), Handler)
    if args.mode == "tls":
        cert, key = make_certificate(args.workdir)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    print(f"port {server.server_address[1]}", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    sys.exit(main())
