#!/usr/bin/env python3
"""Drives kzhost through its control socket (JSON lines) for the integration scripts.

    kzctl.py PORT [--timeout SECONDS] STEP...

Steps run in order; the first that fails ends the run with exit status 1.
  dial:JSON          {"cmd":"dial"} with JSON's members; the reply's channel becomes the current one
  answer, ring, hangup
                     the command for the current channel
  expect:EVENT[,K=V|,K~REGEX...]
                     waits for a published EVENT whose members match; its channel becomes the
                     current one. A "released" that comes while something else is awaited fails
  await:EVENT[,...]  the same, letting releases of other legs pass (a followed redirection)
  idle               asks "calls" until every channel is idle
  sleep:SECONDS
Every line sent and received is printed, so the script's log shows the whole conversation.
"""
import json
import re
import socket
import sys
import time


class Failure(Exception):
    pass


class Control:
    def __init__(self, port, timeout):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        self.buffer = b""
        self.timeout = timeout
        self.channel = None
        self.next_id = 1

    def send(self, obj):
        line = json.dumps(obj)
        print(">> " + line, flush=True)
        self.sock.sendall(line.encode() + b"\n")

    def receive(self, deadline):
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            self.sock.settimeout(left)
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                return None
            if not data:
                raise Failure("kzhost closed the control socket")
            self.buffer += data
        line, self.buffer = self.buffer.split(b"\n", 1)
        print("<< " + line.decode(errors="replace"), flush=True)
        return json.loads(line)

    def command(self, obj):
        """Sends a command and returns its reply; events meanwhile are checked for releases."""
        obj["id"] = self.next_id
        self.next_id += 1
        self.send(obj)
        deadline = time.monotonic() + self.timeout
        while True:
            msg = self.receive(deadline)
            if msg is None:
                raise Failure("no reply to %s" % obj["cmd"])
            if msg.get("id") == obj["id"]:
                if msg.get("event") == "error":
                    raise Failure("%s refused: %s" % (obj["cmd"], msg.get("reason")))
                return msg
            self.check_unexpected_release(msg, None)

    def check_unexpected_release(self, msg, awaited):
        if msg.get("event") == "released" and awaited != "released":
            raise Failure("call released while waiting for %s: %s" % (awaited or "a reply", json.dumps(msg)))

    def expect(self, spec, releases_pass=False):
        kind, *conditions = spec.split(",")
        deadline = time.monotonic() + self.timeout
        while True:
            msg = self.receive(deadline)
            if msg is None:
                raise Failure("no %s event within %d s" % (spec, self.timeout))
            if "id" in msg:
                continue
            if msg.get("event") == kind and all(matches(msg, c) for c in conditions):
                if "channel" in msg:
                    self.channel = msg["channel"]
                return
            if not releases_pass:
                self.check_unexpected_release(msg, kind)

    def wait_idle(self):
        deadline = time.monotonic() + self.timeout
        while time.monotonic() < deadline:
            reply = self.command({"cmd": "calls"})
            if all(ch.get("idle") for ch in reply.get("channels", [])):
                return
            time.sleep(0.2)
        raise Failure("channels still busy after %d s" % self.timeout)


def matches(msg, condition):
    if "~" in condition:
        key, pattern = condition.split("~", 1)
        return key in msg and re.search(pattern, str(msg[key])) is not None
    key, value = condition.split("=", 1)
    return key in msg and str(msg[key]) == value


def run(ctl, step):
    name, _, arg = step.partition(":")
    if name == "dial":
        reply = ctl.command(dict(json.loads(arg), cmd="dial"))
        ctl.channel = reply.get("channel")
    elif name in ("answer", "ring", "hangup"):
        if ctl.channel is None:
            raise Failure("%s: no current channel" % name)
        ctl.command({"cmd": name, "channel": ctl.channel})
    elif name == "expect":
        ctl.expect(arg)
    elif name == "await":
        ctl.expect(arg, releases_pass=True)
    elif name == "idle":
        ctl.wait_idle()
    elif name == "sleep":
        time.sleep(float(arg))
    else:
        raise Failure("unknown step " + step)


def main(argv):
    args = argv[1:]
    if not args:
        sys.exit(__doc__)
    port = int(args.pop(0))
    timeout = 20
    if args[:1] == ["--timeout"]:
        timeout = int(args[1])
        args = args[2:]
    try:
        ctl = Control(port, timeout)
        for step in args:
            print("-- " + step, flush=True)
            run(ctl, step)
    except (Failure, OSError, ValueError) as e:
        print("FAIL: %s" % e, flush=True)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
