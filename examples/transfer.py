#!/usr/bin/env python3
"""Hold, resume and a blind transfer on kzhost's control socket, using only the standard library.

It calls --to, waits until the call is connected, puts it on hold for a few seconds, takes it off
hold, then transfers the far end to --transfer-to and waits for the far end to report how its
new call went:

    kzhost --set kzhost.control.port=5099 &
    examples/transfer.py --port 5099 --to sip:bob@192.0.2.10 --transfer-to sip:carol@192.0.2.11

It prints every event of the call as it comes and ends with "transfer: done" (the far end was
transferred) or "transfer: failed ...". The commands and events are documented in
docs/control-socket.md.
"""
import argparse
import os
import sys
import time

# The client of examples/control.py, imported without leaving compiled files beside it.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from control import ControlClient  # noqa: E402


class CallFailed(Exception):
    pass


class Call:
    """One call placed by kzhost, followed through the events of its channel."""

    def __init__(self, client, to):
        self.client = client
        self.pending = []  # events that came while a reply was awaited
        self.channel = None
        self.channel = self.command("dial", to=to)["channel"]
        self.say(f"dialling {to}")

    def say(self, text):
        print(f"transfer: call {self.channel} {text}", flush=True)

    def next_event(self):
        event = self.pending.pop(0) if self.pending else self.client.next_event()
        if event is None:
            raise CallFailed("kzhost closed the connection")
        return event

    def command(self, name, **arguments):
        """Sends the command and returns its reply, keeping the events that come before it."""
        if self.channel is not None:
            arguments["channel"] = self.channel
        wanted = self.client.send(dict(arguments, cmd=name))
        while True:
            event = self.client.next_event()
            if event is None:
                raise CallFailed("kzhost closed the connection")
            if event.get("id") != wanted:
                self.pending.append(event)
            elif event.get("event") != "ok":
                raise CallFailed(f"{name} refused: {event.get('reason')}")
            else:
                return event

    def wait_for(self, wanted, seconds):
        """The first event of this channel whose kind is in wanted; the call's end stops the wait."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            self.client.sock.settimeout(max(0.1, deadline - time.monotonic()))
            try:
                event = self.next_event()
            except TimeoutError:
                break
            if event.get("channel") != self.channel:
                continue
            details = {k: v for k, v in event.items() if k not in ("event", "channel")}
            self.say(f"{event['event']} {details}" if details else event["event"])
            if event["event"] in wanted:
                return event
            if event["event"] == "released":
                raise CallFailed(f"released ({event.get('cause')} {event.get('text')})")
        raise CallFailed(f"no {' or '.join(sorted(wanted))} within {seconds:g} s")


def run(client, args):
    call = Call(client, args.to)
    call.wait_for({"connected"}, args.answer_timeout)
    call.command("hold")
    call.wait_for({"held"}, 10)
    time.sleep(args.hold_seconds)
    call.command("resume")
    call.wait_for({"resumed"}, 10)
    call.command("transfer", target=args.transfer_to)
    # The far end reports its new call as it goes; a 2xx is followed by "transferred".
    while True:
        event = call.wait_for({"transfer-progress", "transferred"}, args.answer_timeout)
        if event["event"] == "transferred":
            print("transfer: done", flush=True)
            return
        if event["code"] >= 300:
            raise CallFailed(f"the far end's call failed: {event['code']} {event['text']}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=5099)
    parser.add_argument("--token", help="needed when connecting from another host")
    parser.add_argument("--to", required=True, metavar="URI", help="the party to call")
    parser.add_argument("--transfer-to", required=True, metavar="URI", help="where to transfer it")
    parser.add_argument("--hold-seconds", type=float, default=3, help="how long the call stays on hold")
    parser.add_argument("--answer-timeout", type=float, default=30,
                        help="seconds to wait for the call, and for the transferred call, to be answered")
    args = parser.parse_args()

    client = ControlClient(args.host, args.port, args.token)
    try:
        run(client, args)
    except CallFailed as failure:
        print(f"transfer: failed: {failure}", flush=True)
        sys.exit(1)
    finally:
        client.close()


if __name__ == "__main__":
    main()
