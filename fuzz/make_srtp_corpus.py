#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_srtp_receive: per suite (with and without an MKI) a stream of
packets the target protects, copies with a broken tag, cut or grown, SRTCP reports and short or
empty raw packets.

An input is a selector byte (suite in bits 0-2, MKI in bit 3, MKI length - 1 in bits 4-5) and
records of a kind byte (0 intact RTP, 1 broken RTP, 2 SRTCP, 3 raw), a 2-byte length and data.
An RTP record is sequence, timestamp, SSRC, marker|type, CSRC count|extension flag, payload; a
broken one's last byte says how it breaks (modulo 3: flip a tag bit, cut, grow)."""
import os
import struct

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "srtp")
SUITES = ["cm128_32", "cm128_80", "cm192_32", "cm192_80", "cm256_32", "cm256_80", "gcm128", "gcm256"]


def record(kind, data):
    return struct.pack("!BH", kind, len(data)) + data


def rtp(seq, ts=160, ssrc=0x5EED0001, pt=0, marker=False, csrc=0, ext=False, payload=b"\xd5" * 160):
    return struct.pack("!HII", seq, ts, ssrc) + bytes([(0x80 if marker else 0) | pt, csrc | (4 if ext else 0)]) + payload


def rtcp(ssrc=0x5EED0001, count=1, body=b"\0" * 20):
    return struct.pack("!IB", ssrc, count) + body


def stream(selector):
    out = bytes([selector])
    out += record(0, rtp(100, marker=True))
    out += record(0, rtp(101, 320))
    out += record(1, rtp(102, 480) + b"\x00")       # a flipped tag bit
    out += record(0, rtp(102, 480))
    out += record(1, rtp(103, 640) + b"\x01")       # cut by one
    out += record(1, rtp(104, 800) + b"\x02")       # grown by one
    out += record(0, rtp(101, 320))                 # a replay
    out += record(0, rtp(105, 960, csrc=2, ext=True, pt=101, payload=b"\x05\x0a\x00\xa0"))
    out += record(2, rtcp())
    out += record(3, b"")
    out += record(3, b"\x80")
    return out


def main():
    os.makedirs(HERE, exist_ok=True)
    seeds = {}
    for index, name in enumerate(SUITES):
        seeds[name] = stream(index)
        seeds[name + "-mki4"] = stream(index | 0x08 | 0x30)
    seeds["mki1-short"] = bytes([0x08]) + record(0, rtp(7, payload=b"")) + record(1, rtp(8, payload=b"") + b"\x10")
    seeds["wrap"] = bytes([1]) + record(0, rtp(0xFFFE)) + record(0, rtp(0xFFFF)) + record(0, rtp(0)) + record(0, rtp(1))
    seeds["two-ssrc"] = bytes([6]) + record(0, rtp(9)) + record(0, rtp(40000, ssrc=7)) + record(0, rtp(10))
    seeds["oversize"] = bytes([5]) + record(0, rtp(3, payload=b"\x7f" * 1500)) + record(1, rtp(4, payload=b"\x7f" * 1490) + b"\x5f")
    seeds["raw-header"] = bytes([1]) + record(3, bytes.fromhex("80000001000000a05eed0001") + bytes(10))
    seeds["empty"] = b""
    for name, data in seeds.items():
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
