#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_media_receive: per codec selector, a short stream of RTP
datagrams (in order, one reordered, one repeated) with payloads of that codec's frame size,
plus a telephone event and an RTCP receiver report, each datagram prefixed by its length."""
import os
import random
import struct

# selector, payload type, payload bytes per 20 ms (30 ms for G.723.1 and iLBC)
CODECS = [(0, 0, 160), (1, 8, 160), (2, 3, 33), (3, 4, 24), (4, 9, 160), (5, 18, 20),
          (6, 96, 80), (7, 97, 38), (8, 98, 50), (9, 99, 33), (10, 100, 40)]


def rtp(pt, seq, ts, payload, marker=0):
    return struct.pack("!BBHII", 0x80, (marker << 7) | pt, seq & 0xFFFF, ts & 0xFFFFFFFF, 0x11223344) + payload


def framed(datagrams):
    return b"".join(struct.pack("!H", len(d)) + d for d in datagrams)


def main():
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "media")
    os.makedirs(out, exist_ok=True)
    rnd = random.Random(7)
    for selector, pt, size in CODECS:
        packets = [rtp(pt, 65530 + i, 4294967000 + 160 * i, bytes(rnd.randrange(256) for _ in range(size)))
                   for i in range(10)]
        packets[3], packets[4] = packets[4], packets[3]
        packets.insert(6, packets[5])
        event = rtp(101, 65541, 4294968600, bytes([5, 0x8A, 0x03, 0x20]), marker=1)
        report = struct.pack("!BBHI", 0x81, 201, 7, 0x55667788) + struct.pack("!IIIIII", 0x11223344, 0, 0, 0, 0, 0)
        with open(os.path.join(out, "codec-%02d" % selector), "wb") as f:
            f.write(bytes([selector]) + framed(packets + [event, report]))


if __name__ == "__main__":
    main()
