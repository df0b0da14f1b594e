#!/usr/bin/env python3
"""An answering machine on kzhost's control socket, using only the standard library.

Every offered call is answered; the caller hears a greeting, types a 4-digit PIN ended by "#"
(within 10 s), hears a beep and is recorded (at most 10 s, "#" ends it) before kzhost hangs up.
Several calls run at once, each on its own channel.

    kzhost --set kzhost.control.port=5099 &
    examples/ivr.py --port 5099 --record-dir /var/spool/ivr
    examples/ivr.py --port 5099 --greeting /srv/ivr/welcome.wav --calls 1

It prints what each call did (its PIN, its recording). Without --greeting it plays a generated
1 s 440 Hz tone. The files it plays and records are paths on kzhost's machine: run it there.
The commands and events are documented in docs/control-socket.md.
"""
import argparse
import math
import os
import shutil
import struct
import sys
import tempfile
import time
import wave

# The client of examples/control.py, imported without leaving compiled files beside it.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from control import ControlClient  # noqa: E402

PIN_DIGITS = 4
PIN_TIMEOUT_MS = 10000
RECORD_SECONDS = 10
RATE = 8000


def write_tone(path, frequency, seconds, level=0.3):
    """A 16-bit mono 8 kHz WAV file of one sine tone."""
    count = int(RATE * seconds)
    samples = (int(level * 32767 * math.sin(2 * math.pi * frequency * n / RATE)) for n in range(count))
    with wave.open(path, "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(b"".join(struct.pack("<h", s) for s in samples))
    return path


class Call:
    """Where one channel's call is: greeting, pin, beep, recording, done."""

    def __init__(self, channel):
        self.channel = channel
        self.step = "answering"
        self.playing = False
        self.pin = None
        self.recording = None


class IVR:
    def __init__(self, client, greeting, beep, record_dir):
        self.client = client
        self.greeting = greeting
        self.beep = beep
        self.record_dir = record_dir
        self.calls = {}  # channel -> Call
        self.commands = {}  # id -> (channel, command name), for the replies
        self.finished = 0

    def say(self, call, text):
        print(f"ivr: call {call.channel} {text}", flush=True)

    def command(self, call, name, **arguments):
        sent = self.client.send(dict(arguments, cmd=name, channel=call.channel))
        self.commands[sent] = (call.channel, name)

    def on_event(self, event):
        if "id" in event:
            return self.on_reply(event)
        kind = event.get("event")
        channel = event.get("channel")
        if kind == "offered":
            self.calls[channel] = Call(channel)
            self.command(self.calls[channel], "answer")
            return
        call = self.calls.get(channel)
        if call is None:
            return
        handler = getattr(self, "on_" + kind.replace("-", "_"), None)
        if handler:
            handler(call, event)

    def on_reply(self, reply):
        channel, name = self.commands.pop(reply["id"], (None, None))
        call = self.calls.get(channel)
        if reply.get("event") != "error" or call is None:
            return
        self.say(call, f"{name} refused: {reply.get('reason')}")
        # Without the step it failed at the call cannot go on; stop-play only raced the play's end.
        if name != "stop-play" and call.step != "done":
            self.hang_up(call)

    def on_connected(self, call, event):
        self.say(call, f"connected ({event.get('codec')})")
        call.step = "pin"
        call.playing = True
        self.command(call, "play", files=[self.greeting])
        # The caller may type while the greeting plays.
        self.command(call, "collect", max_digits=PIN_DIGITS + 1, terminators="#", timeout_ms=PIN_TIMEOUT_MS)

    def on_collect_done(self, call, event):
        if call.step != "pin":
            return
        digits = event.get("digits", "")
        call.pin = digits if event.get("result") == "terminator" and len(digits) == PIN_DIGITS else None
        self.say(call, f"PIN {call.pin}" if call.pin else f"no PIN ({event.get('result')}, digits {digits!r})")
        call.step = "beep"
        if call.playing:
            self.command(call, "stop-play")  # the beep follows the greeting's play-done
        else:
            self.play_beep(call)

    def on_play_done(self, call, event):
        call.playing = False
        if call.step == "beep":
            self.play_beep(call)
        elif call.step == "beeping":
            self.start_recording(call)

    def play_beep(self, call):
        call.step = "beeping"
        call.playing = True
        self.command(call, "play", files=[self.beep])

    def start_recording(self, call):
        call.step = "recording"
        stamp = time.strftime("%Y%m%dT%H%M%S")
        call.recording = os.path.join(self.record_dir, f"{call.channel}-{stamp}.wav")
        self.command(call, "record", path=call.recording, max_seconds=RECORD_SECONDS, stop_digits="#")

    def on_record_done(self, call, event):
        self.say(call, f"recorded {event.get('path')} ({event.get('result')})")
        self.hang_up(call)

    def hang_up(self, call):
        call.step = "done"
        self.command(call, "hangup")

    def on_released(self, call, event):
        self.say(call, f"released (PIN {call.pin or '-'}, recording {call.recording or '-'})")
        del self.calls[call.channel]
        self.finished += 1

    def hang_up_all(self):
        for call in list(self.calls.values()):
            self.hang_up(call)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=5099)
    parser.add_argument("--token", help="needed when connecting from another host")
    parser.add_argument("--greeting", help="absolute path of the greeting (default: a 1 s 440 Hz tone)")
    parser.add_argument("--record-dir", default=tempfile.gettempdir(), help="where the recordings go")
    parser.add_argument("--calls", type=int, default=0, help="leave after this many calls (0: never)")
    args = parser.parse_args()

    sounds = tempfile.mkdtemp(prefix="ivr-")
    greeting = os.path.abspath(args.greeting) if args.greeting else write_tone(
        os.path.join(sounds, "greeting.wav"), 440, 1.0)
    beep = write_tone(os.path.join(sounds, "beep.wav"), 1000, 0.3)
    record_dir = os.path.abspath(args.record_dir)
    os.makedirs(record_dir, exist_ok=True)

    client = ControlClient(args.host, args.port, args.token)
    client.sock.settimeout(None)  # events come when callers call
    ivr = IVR(client, greeting, beep, record_dir)
    print(f"ivr: waiting for calls on {args.host}:{args.port}", flush=True)
    try:
        while not args.calls or ivr.finished < args.calls:
            event = client.next_event()
            if event is None:
                print("ivr: kzhost closed the connection", flush=True)
                break
            ivr.on_event(event)
    except KeyboardInterrupt:
        print("ivr: interrupted, hanging up", flush=True)
        ivr.hang_up_all()
    finally:
        client.close()
        shutil.rmtree(sounds, ignore_errors=True)


if __name__ == "__main__":
    main()
