#!/usr/bin/env python3
"""A soft-phone on kzhost's control socket (standard library only): dial, talk on the sound device.

It dials the target, puts the call on the sound device once it connects, listens for voice in
both directions and prints when either side speaks or a beep is heard, mutes the microphone for
the middle third of the call, and hangs up after --seconds:

    kzhost --sound default &                    # or --sound null, or --sound wav:/tmp/call.wav
    examples/softphone.py sip:bob@127.0.0.1:5070 --seconds 30

The commands and events are documented in docs/control-socket.md ("The local sound device", "vad").
"""
import argparse
import os
import socket
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from control import ControlClient  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("target")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=5099)
    parser.add_argument("--seconds", type=float, default=30.0)
    args = parser.parse_args()

    client = ControlClient(args.host, args.port, timeout=0.2)
    reply = client.request({"cmd": "dial", "to": args.target})
    if reply.get("event") == "error":
        sys.exit(f"softphone: {reply.get('reason')}")
    channel = reply["channel"]
    connected_at = None
    muted = False
    while True:
        now = time.monotonic()
        if connected_at is not None:
            part = (now - connected_at) / args.seconds
            if part >= 1:
                client.send({"cmd": "hangup", "channel": channel})
                connected_at = None
            elif (1 / 3 <= part < 2 / 3) != muted:
                muted = not muted
                client.send({"cmd": "mute", "on": muted})
        try:
            event = client.next_event()
        except socket.timeout:
            continue
        if event is None or event.get("channel") not in (None, channel):
            continue
        kind = event.get("event")
        if kind == "connected":
            client.send({"cmd": "sound-open", "channel": channel})
            client.send({"cmd": "vad", "channel": channel, "in": True, "out": True})
            connected_at = time.monotonic()
        elif kind in ("voice-on", "voice-off", "beep", "mute", "sound-opened", "error"):
            print(f"softphone: {kind} {event.get('direction', event.get('on', event.get('reason', '')))}")
        elif kind == "released":
            print(f"softphone: released {event.get('cause')} {event.get('text', '')}")
            break
    client.close()


if __name__ == "__main__":
    main()
