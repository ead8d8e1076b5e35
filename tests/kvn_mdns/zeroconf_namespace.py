#!/usr/bin/env python3
"""Announces a box with python3-zeroconf inside a fresh network namespace
and runs a command there while the box is announced.

Run it under `unshare -n`: it brings loopback up, routes multicast over it,
registers "_zelvo._tcp.local." with the given TXT entries and addresses,
runs the command and exits with the command's code.
"""
import argparse
import socket
import subprocess
import sys


def fresh_network_namespace():
    """Only a loopback interface, not yet up: what `unshare -n` gives."""
    if [name for _, name in socket.if_nameindex()] != ["lo"]:
        return False
    link = subprocess.run(["ip", "-o", "link", "show", "lo"], capture_output=True, text=True)
    return link.returncode == 0 and "UP" not in link.stdout.split("<", 1)[1].split(">", 1)[0]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--license", required=True)
    parser.add_argument("--hostname", required=True)
    parser.add_argument("--address", action="append", required=True)
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command

    # The routing changes below are only for a namespace of our own.
    if not fresh_network_namespace():
        sys.exit("zeroconf_namespace.py: not in a network namespace of its own")
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    subprocess.run(["ip", "route", "add", "224.0.0.0/4", "dev", "lo"], check=True)

    from zeroconf import IPVersion, ServiceInfo, Zeroconf

    zc = Zeroconf(interfaces=["127.0.0.1"], ip_version=IPVersion.V4Only)
    try:
        info = ServiceInfo(
            "_zelvo._tcp.local.",
            args.hostname + "._zelvo._tcp.local.",
            addresses=[socket.inet_aton(a) for a in args.address],
            port=6680,
            properties={"license": args.license, "hostname": args.hostname},
            server=args.hostname + ".local.",
        )
        zc.register_service(info)
        return subprocess.run(command).returncode
    finally:
        zc.close()


if __name__ == "__main__":
    sys.exit(main())
