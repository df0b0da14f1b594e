#!/usr/bin/env python3
"""kzhost as the registrar of a site's users, driven from its control socket (standard library only).

It adds users with their passwords, sets a message-waiting notice for the first, and prints the
registrations as the users' phones register, until --listen seconds have passed:

    kzhost --config examples/server.conf &      # server mode with proxy site 1
    examples/registrar.py --user alice:s3cret --user bob:b0b --mwi alice:2

A phone then registers as sip:alice@<the site's domain> with password s3cret. The commands and
events are documented in docs/control-socket.md ("Proxy users").
"""
import argparse
import os
import socket
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from control import ControlClient  # noqa: E402


def checked(reply):
    if reply.get("event") == "error":
        sys.exit(f"registrar: refused: {reply.get('reason')}")
    return reply


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=5099)
    parser.add_argument("--site", type=int, default=1)
    parser.add_argument("--user", action="append", default=[], help="NAME:PASSWORD (repeatable)")
    parser.add_argument("--mwi", help="NAME:NEW, new voice messages waiting for that user")
    parser.add_argument("--listen", type=float, default=60.0)
    args = parser.parse_args()

    client = ControlClient(args.host, args.port, timeout=1.0)
    for entry in args.user:
        name, _, password = entry.partition(":")
        checked(client.request({"cmd": "user-add", "site": args.site, "user": name, "password": password}))
    if args.mwi:
        name, _, count = args.mwi.partition(":")
        checked(client.request({"cmd": "mwi", "site": args.site, "user": name, "waiting": True,
                                "new": int(count or 1)}))
    for event in client.events_for(args.listen):
        if event.get("event") == "user-registered":
            print(f"registrar: {event['user']} registered for {event['seconds']} s at {event['contact']}")
        elif event.get("event") == "user-unregistered":
            print(f"registrar: {event['user']} unregistered")
    for user in checked(client.request({"cmd": "users"}))["users"]:
        print(f"registrar: {user['user']}: {'registered' if user.get('registered') else 'not registered'}")
    client.close()


if __name__ == "__main__":
    main()
