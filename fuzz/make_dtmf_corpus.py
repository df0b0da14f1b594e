#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_dtmf_receive: telephone-event sequences (whole, repeated end
packets, lost first packets, a timestamp wrap, a long press, codes above 16), dtmf-relay INFO
bodies (numbers, characters, the short d=/t= form, a retransmission), a tone in 16-bit audio,
time passing, and the torture messages of RFC 4475 as INFO bodies. Each input starts with the
byte that picks the channels' methods and whether they are joined; records are a kind byte
(0 event, 1 INFO, 2 audio, 3 time), a 2-byte big-endian length and the bytes."""
import math
import os
import struct


def record(kind, data):
    return struct.pack("!BH", kind, len(data)) + data


def event(seq, ts, code, end, duration, marker=0):
    return record(0, struct.pack("!HIB", seq & 0xFFFF, ts & 0xFFFFFFFF, marker) +
                  bytes([code, 0x8A if end else 0x0A]) + struct.pack("!H", duration))


def info(cseq, body):
    return record(1, struct.pack("!H", cseq) + body)


def time_ms(ms):
    return record(3, struct.pack("!H", ms))


def tone(key, ms):
    rows = "123A456B789C*0#D"
    low, high = [697, 770, 852, 941], [1209, 1336, 1477, 1633]
    at = rows.index(key)
    out = b""
    for frame in range(ms // 20):
        samples = [int(6000 * math.sin(2 * math.pi * low[at // 4] * (frame * 160 + i) / 8000) +
                       6000 * math.sin(2 * math.pi * high[at % 4] * (frame * 160 + i) / 8000))
                   for i in range(160)]
        out += record(2, struct.pack("<160h", *samples))
    return out


def digit(seq, ts, code, durations, end_copies=3):
    out = b""
    for i, d in enumerate(durations):
        last = i == len(durations) - 1
        for _ in range(end_copies if last else 1):
            out += event(seq, ts, code, last, d, marker=int(i == 0))
            seq += 1
    return out


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = os.path.join(here, "corpus", "dtmf")
    os.makedirs(out, exist_ok=True)
    seeds = {
        "events-1": bytes([0x03]) + digit(1, 1000, 1, [160, 320, 480, 640, 800, 960]),
        "events-lost-start": bytes([0x02]) + digit(10, 5000, 5, [480, 800, 960]),
        "events-wrap": bytes([0x02]) + digit(20, 0xFFFFFF60, 7, [160, 640]) + digit(30, 0x460, 7, [160, 800]),
        "events-long": bytes([0x02]) + digit(40, 9000, 11, [160, 8000, 15840, 16000]),
        "events-not-digits": bytes([0x02]) + event(50, 13000, 17, True, 960) + event(51, 14000, 200, False, 160),
        "events-stale": bytes([0x02]) + event(60, 3000, 9, False, 160) + time_ms(1500),
        "events-joined": bytes([0x16]) + digit(70, 4000, 4, [160, 320, 480]) + time_ms(20),
        "events-joined-info": bytes([0x17]) + digit(80, 4000, 11, [160, 320]) + time_ms(0) + time_ms(150),
        "info": bytes([0x01]) + info(2, b"Signal=5\r\nDuration=160\r\n") + info(2, b"Signal=5\r\nDuration=160\r\n") +
        info(3, b"Signal=11\r\nDuration=250\r\n") + info(4, b"d=a\r\nt=100\r\n") + info(5, b"Signal=16\r\n"),
        "info-joined": bytes([0x19]) + info(7, b"Signal=#\r\nDuration=100\r\n") + time_ms(200),
        "tones": bytes([0x00]) + tone("5", 100) + tone("9", 160) + time_ms(20),
    }
    torture = os.path.join(here, "..", "tests", "data", "rfc4475")
    for name in sorted(os.listdir(torture)):
        if name.endswith(".dat"):
            with open(os.path.join(torture, name), "rb") as f:
                seeds["info-rfc4475-" + name[:-4]] = bytes([0x01]) + info(9, f.read()[:4000])
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
