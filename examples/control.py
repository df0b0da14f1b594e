#!/usr/bin/env python3
"""A kzhost control socket client using only the standard library.

Start kzhost with its control socket, then run this script:

    kzhost --set kzhost.control.port=5099 &
    examples/control.py --port 5099            # ping, stats, calls
    examples/control.py --port 5099 --dial sip:bob@192.0.2.10 --listen 30
    examples/control.py --port 5099 --listen 60 --answer   # answer every offered call
    examples/control.py --port 5099 --listen 60 --bridge-to sip:bob@192.0.2.10
        # answer an offered call, call bob and connect the two calls' audio

It prints every line kzhost sends: replies, then the call's events (ringing, progress, connected,
released) as they come. The lines are documented in docs/control-socket.md.
"""
import argparse
import itertools
import json
import socket
import sys
import time


class ControlClient:
    """One connection: send a command, read the events, one JSON object per line."""

    def __init__(self, host, port, token=None, timeout=5.0):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.buffer = b""
        self.ids = itertools.count(1)
        if token:
            self.request({"cmd": "auth", "token": token})

    def send(self, command):
        """Sends a command with a fresh id and returns the id."""
        command = dict(command, id=next(self.ids))
        self.sock.sendall((json.dumps(command) + "\n").encode("utf-8"))
        return command["id"]

    def next_event(self):
        """The next event, or None when kzhost closed the connection. Raises socket.timeout when
        none comes within the connection's timeout; what arrived so far is kept for the next call."""
        while b"\n" not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                return None
            self.buffer += chunk
        line, _, self.buffer = self.buffer.partition(b"\n")
        return json.loads(line)

    def events_for(self, seconds):
        """The events that arrive within the next seconds; exits when kzhost closes the
        connection."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            try:
                event = self.next_event()
            except socket.timeout:
                continue
            if event is None:
                sys.exit("kzhost closed the connection")
            yield event

    def request(self, command):
        """Sends a command and returns its reply; events arriving meanwhile are printed."""
        wanted = self.send(command)
        while True:
            event = self.next_event()
            if event is None:
                sys.exit("kzhost closed the connection")
            if event.get("id") == wanted:
                return event
            show(event)

    def close(self):
        self.sock.close()


def show(event):
    print(json.dumps(event))


def listen(client, seconds, answer=False, bridge_to=None):
    """Prints the events that arrive within the given time; answers offered calls when asked.
    With bridge_to, an offered call is answered and joined to a new call to that URI."""
    pending = {}  # dialled channel -> the offered channel waiting for it
    deadline = time.monotonic() + seconds
    while (left := deadline - time.monotonic()) > 0:
        client.sock.settimeout(left)
        try:
            event = client.next_event()
        except (socket.timeout, TimeoutError):
            return
        if event is None:
            return
        show(event)
        kind = event.get("event")
        if (answer or bridge_to) and kind == "offered":
            client.send({"cmd": "answer", "channel": event["channel"]})
            if bridge_to:
                reply = client.request({"cmd": "dial", "to": bridge_to})
                if reply.get("event") == "ok":
                    pending[reply["channel"]] = event["channel"]
        elif kind == "connected" and event.get("channel") in pending:
            show(client.request({"cmd": "bridge", "channel": pending.pop(event["channel"]),
                                 "with": event["channel"]}))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=5099)
    parser.add_argument("--token", help="needed when connecting from another host")
    parser.add_argument("--dial", metavar="URI", help="place a call to this SIP URI")
    parser.add_argument("--from", dest="caller", metavar="URI", help="the caller (default: kzhost's own)")
    parser.add_argument("--transport", choices=["udp", "tcp", "tls"], default="udp")
    parser.add_argument("--answer", action="store_true", help="answer the calls offered while listening")
    parser.add_argument("--bridge-to", metavar="URI",
                        help="answer offered calls and bridge each to a new call to this URI")
    parser.add_argument("--listen", type=float, default=0, metavar="SECONDS",
                        help="print events for this long before leaving")
    args = parser.parse_args()

    client = ControlClient(args.host, args.port, args.token)
    for command in ({"cmd": "ping"}, {"cmd": "stats"}, {"cmd": "calls"}):
        show(client.request(command))
    if args.dial:
        dial = {"cmd": "dial", "to": args.dial, "transport": args.transport}
        if args.caller:
            dial["from"] = args.caller
        show(client.request(dial))  # {"event":"ok","cmd":"dial","channel":N} or an error
    listen(client, args.listen, args.answer, args.bridge_to)
    client.close()


if __name__ == "__main__":
    main()
