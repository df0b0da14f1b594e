#!/usr/bin/env python3
"""Routes kzhost's proxied calls by a small table, over its control socket (standard library only).

It takes over the routing of the proxy sites' calls ("route-sessions"), and answers each held call
by the callee's user name: a table entry sends the call to a sip: URI, to the callee's own
registration ("registered") or to one of kzhost's channels ("channel"); any other callee is
rejected with 404. It prints every session event until --listen seconds have passed:

    kzhost --config examples/server.conf &      # server mode with proxy site 1
    examples/registrar.py --user alice:s3cret --user bob:b0b --listen 0
    examples/proxy_router.py --route bob=registered --route ivr=channel \\
        --route support=sip:desk@127.0.0.1:5070

When it quits, calls go to their callees' registrations again. The commands and events are
documented in docs/control-socket.md ("Proxied calls").
"""
import argparse
import os
import re
import socket
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from control import ControlClient  # noqa: E402

NOT_FOUND = (404, "Not Found")


def callee_of(event):
    """The user name the call is for: of its Request-URI, else of its To."""
    for text in (event.get("uri", ""), event.get("to", "")):
        match = re.search(r"sips?:([^@>;: ]+)@", text)
        if match:
            return match.group(1)
    return ""


def answer_for(event, table):
    """The command that answers a held call."""
    destination = table.get(callee_of(event))
    if destination is None:
        return {"cmd": "reject", "session": event["session"], "code": NOT_FOUND[0], "reason": NOT_FOUND[1]}
    return {"cmd": "route", "session": event["session"], "destination": destination}


def describe(event):
    kind = event.get("event")
    if kind == "incoming-session":
        return f"router: session {event['session']} from {event['from']} to {event['uri']}"
    if kind == "session-status" and event.get("ended"):
        return f"router: session {event['session']} ended {event['code']} {event['reason']}"
    if kind == "session-status":
        return f"router: session {event['session']} state {event['state']}"
    if kind == "error":
        return f"router: refused: {event.get('reason')}"
    return None


def parse_table(entries):
    table = {}
    for entry in entries:
        name, sep, destination = entry.partition("=")
        if not sep or not name or not destination:
            sys.exit(f"router: --route takes NAME=DESTINATION, not {entry!r}")
        table[name] = destination
    return table


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=5099)
    parser.add_argument("--token")
    parser.add_argument("--route", action="append", default=[], help="NAME=DESTINATION (repeatable)")
    parser.add_argument("--listen", type=float, default=60.0)
    args = parser.parse_args()
    table = parse_table(args.route)

    client = ControlClient(args.host, args.port, token=args.token, timeout=0.5)
    reply = client.request({"cmd": "route-sessions", "enabled": True})
    if reply.get("event") != "ok":
        sys.exit(f"router: kzhost refused to hand over routing: {reply.get('reason')}")
    print("router: routing calls", flush=True)
    for event in client.events_for(args.listen):
        line = describe(event)
        if line:
            print(line, flush=True)
        if event.get("event") == "incoming-session":
            # The reply comes back as an "ok" or "error" event; no need to wait for it here.
            client.send(answer_for(event, table))
    client.close()


if __name__ == "__main__":
    main()
