#!/usr/bin/env python3
"""An account on kzhost's control socket, using only the standard library.

It adds a SIP account, waits until its registrar accepts it, sends one text message and prints
the delivery report, then prints every message that arrives until --listen seconds have passed:

    kzhost --set kzhost.control.port=5099 &
    examples/accounts.py --user alice --password s3cret --domain pbx.example.net \\
        --to sip:bob@pbx.example.net --text "hello from kzhost"

The commands and events are documented in docs/control-socket.md.
"""
import argparse
import os
import socket
import sys
import time

# The client of examples/control.py, imported without leaving compiled files beside it.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from control import ControlClient  # noqa: E402


class Session:
    """The control connection, keeping the events that arrive while a reply is awaited."""

    def __init__(self, client):
        self.client = client
        self.pending = []

    def command(self, name, **arguments):
        wanted = self.client.send(dict(arguments, cmd=name))
        while True:
            event = self.client.next_event()
            if event is None:
                sys.exit("kzhost closed the connection")
            if event.get("id") != wanted:
                self.pending.append(event)
            elif event.get("event") == "error":
                sys.exit(f"accounts: {name} refused: {event.get('reason')}")
            else:
                return event

    def next_event(self, deadline):
        """The next event before the deadline (time.monotonic()), or None."""
        if self.pending:
            return self.pending.pop(0)
        while time.monotonic() < deadline:
            try:
                event = self.client.next_event()
            except socket.timeout:
                continue
            if event is None:
                sys.exit("kzhost closed the connection")
            return event
        return None

    def wait_for(self, kind, seconds, match=lambda event: True):
        deadline = time.monotonic() + seconds
        while (event := self.next_event(deadline)) is not None:
            if event.get("event") == kind and match(event):
                return event
            show_message(event)
        return None


def show_message(event):
    if event.get("event") == "message":
        print(f"accounts: message from {event['from']}: {event['text']}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=5099)
    parser.add_argument("--token")
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", default="")
    parser.add_argument("--domain", required=True)
    parser.add_argument("--proxy")
    parser.add_argument("--to", required=True, help="a sip: address")
    parser.add_argument("--text", default="hello from kzhost")
    parser.add_argument("--listen", type=int, default=30, help="seconds to print incoming messages")
    args = parser.parse_args()

    session = Session(ControlClient(args.host, args.port, args.token))
    session.command("subscribe", events=["registration", "message", "message-delivered"])
    account = {"user": args.user, "domain": args.domain, "password": args.password}
    if args.proxy:
        account["proxy"] = args.proxy
    number = session.command("account-add", **account)["account"]
    print(f"accounts: account {number} added", flush=True)

    registered = session.wait_for("registration", 40, lambda e: e["account"] == number)
    if registered is None or registered["state"] != "registered":
        sys.exit(f"accounts: account {number} did not register: {registered}")
    print(f"accounts: account {number} registered for {registered['seconds']} s", flush=True)

    sent = session.command("message", account=number, to=args.to, text=args.text)
    report = session.wait_for("message-delivered", 15, lambda e: e["message"] == sent["message"])
    if report is None:
        sys.exit(f"accounts: message {sent['message']} got no delivery report")
    print(f"accounts: message {report['id']} {report['code']} {report['reason']}", flush=True)

    deadline = time.monotonic() + args.listen
    while (event := session.next_event(deadline)) is not None:
        show_message(event)


if __name__ == "__main__":
    main()
