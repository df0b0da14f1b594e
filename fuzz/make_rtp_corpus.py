#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_rtp_receive: RTP packets and RTCP compounds as sent on the wire."""
import os
import struct

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "rtp")


def rtp(pt, seq, ts, ssrc, payload, marker=False, csrc=(), ext=None, pad=0):
    first = 0x80 | (0x20 if pad else 0) | (0x10 if ext is not None else 0) | len(csrc)
    out = struct.pack("!BBHII", first, (0x80 if marker else 0) | pt, seq, ts, ssrc)
    out += b"".join(struct.pack("!I", c) for c in csrc)
    if ext is not None:
        out += struct.pack("!HH", 0xBEDE, len(ext) // 4) + ext
    out += payload
    if pad:
        out += bytes(pad - 1) + bytes([pad])
    return out


def rtcp(pt, count, body):
    return struct.pack("!BBH", 0x80 | count, pt, (len(body) + 4) // 4 - 1) + body


def block(ssrc, fraction, lost, highest, jitter, lsr, dlsr):
    return struct.pack("!IB", ssrc, fraction) + (lost & 0xFFFFFF).to_bytes(3, "big") + struct.pack(
        "!IIII", highest, jitter, lsr, dlsr)


def sdes(ssrc, cname):
    item = bytes([1, len(cname)]) + cname + b"\0"
    item += bytes(-(len(item)) % 4)
    return rtcp(202, 1, struct.pack("!I", ssrc) + item)


SSRC, PEER = 0x1234ABCD, 0x0BADF00D
sr = rtcp(200, 1, struct.pack("!IIIIII", SSRC, 0xE8A3C0DE, 0x80000000, 160000, 50, 8000)
          + block(PEER, 25, 3, 0x10064, 40, 0xC0DE8000, 0x00010000))
rr = rtcp(201, 1, struct.pack("!I", PEER) + block(SSRC, 0, -1, 0x2FFFF, 12, 0, 0))
bye = rtcp(203, 1, struct.pack("!I", SSRC) + bytes([6]) + b"hangup" + bytes(1))
app = rtcp(204, 0, struct.pack("!I", SSRC) + b"KZAP" + bytes(4))

seeds = {
    "pcmu": rtp(0, 1000, 160000, SSRC, bytes([0xFF]) * 160, marker=True),
    "pcma_wrap": rtp(8, 0xFFFF, 0xFFFFFF60, SSRC, bytes([0xD5]) * 160),
    "telephone_event": rtp(101, 1001, 160160, SSRC, bytes([5, 0x8A, 0x03, 0x20]), marker=True),
    "csrc_ext_pad": rtp(0, 1002, 160320, SSRC, bytes(40), csrc=(1, 2), ext=bytes([0x10, 0xAA, 0, 0]), pad=4),
    "g729": rtp(18, 1003, 160480, SSRC, bytes(20)),
    "sr_sdes": sr + sdes(SSRC, b"kz@127.0.0.1"),
    "rr_sdes_bye": rr + sdes(PEER, b"peer@127.0.0.1") + bye,
    "sr_app": sr + app,
    "rr_empty": rtcp(201, 0, struct.pack("!I", PEER)),
}

os.makedirs(HERE, exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(data)
