#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_sdp_crypto: a mode byte (SRTP off, optional, required) and an
INVITE whose audio description carries crypto attributes: every suite with a key of its own
length, unknown suites, missing, short and overlong keys, lifetime and MKI parts, several lines,
and RTP/SAVP next to RTP/AVP."""
import base64
import os

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "crypto")
SUITES = {
    "AES_CM_128_HMAC_SHA1_32": 30, "AES_CM_128_HMAC_SHA1_80": 30,
    "AES_192_CM_HMAC_SHA1_32": 38, "AES_192_CM_HMAC_SHA1_80": 38,
    "AES_256_CM_HMAC_SHA1_32": 46, "AES_256_CM_HMAC_SHA1_80": 46,
    "AEAD_AES_128_GCM": 28, "AEAD_AES_256_GCM": 44,
}


def key(length):
    return base64.b64encode(bytes((0x3C + 7 * i) & 0xFF for i in range(length))).decode()


def invite(transport, attributes):
    sdp = ("v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
           f"m=audio 40000 {transport} 0 101\r\na=rtpmap:0 PCMU/8000\r\na=rtpmap:101 telephone-event/8000\r\n")
    sdp += "".join(f"a={a}\r\n" for a in attributes)
    return ("INVITE sip:ch0@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:5062;branch=z9hG4bK-cr\r\n"
            "From: <sip:peer@127.0.0.1>;tag=p\r\nTo: <sip:ch0@127.0.0.1>\r\nCall-ID: crypto@127.0.0.1\r\n"
            "CSeq: 1 INVITE\r\nContent-Type: application/sdp\r\n"
            f"Content-Length: {len(sdp)}\r\n\r\n{sdp}").encode()


def main():
    os.makedirs(HERE, exist_ok=True)
    cases = {}
    for suite, length in SUITES.items():
        cases[suite] = ("RTP/SAVP", [f"crypto:1 {suite} inline:{key(length)}"])
    cases["mki"] = ("RTP/SAVP", [f"crypto:1 AES_CM_128_HMAC_SHA1_80 inline:{key(30)}|2^20|1:4"])
    cases["mki-gcm"] = ("RTP/SAVP", [f"crypto:2 AEAD_AES_256_GCM inline:{key(44)}|2^31|258:2"])
    cases["mki-bad"] = ("RTP/SAVP", [f"crypto:1 AES_CM_128_HMAC_SHA1_32 inline:{key(30)}|1:9|x:y"])
    cases["mki-only"] = ("RTP/SAVP", [f"crypto:1 AES_CM_128_HMAC_SHA1_32 inline:{key(30)}|18446744073709551615:8"])
    cases["lifetime"] = ("RTP/SAVP", [f"crypto:1 AES_256_CM_HMAC_SHA1_80 inline:{key(46)}|2^48"])
    cases["stretched"] = ("RTP/SAVP", [f"crypto:1 AES_256_CM_HMAC_SHA1_32 inline:{key(30)}"])
    cases["short-key"] = ("RTP/SAVP", [f"crypto:1 AES_CM_128_HMAC_SHA1_80 inline:{key(10)}"])
    cases["long-key"] = ("RTP/SAVP", [f"crypto:1 AES_CM_128_HMAC_SHA1_80 inline:{key(300)}"])
    cases["bad-base64"] = ("RTP/SAVP", ["crypto:1 AES_CM_128_HMAC_SHA1_80 inline:!!!!====|||"])
    cases["no-inline"] = ("RTP/SAVP", ["crypto:1 AES_CM_128_HMAC_SHA1_80"])
    cases["no-key"] = ("RTP/SAVP", ["crypto:1 AES_CM_128_HMAC_SHA1_80 inline:"])
    cases["unknown-suite"] = ("RTP/SAVP", [f"crypto:1 F8_128_HMAC_SHA1_80 inline:{key(30)}"])
    cases["long-suite"] = ("RTP/SAVP", [f"crypto:1 {'A' * 200} inline:{key(30)}"])
    cases["tag-only"] = ("RTP/SAVP", ["crypto:1"])
    cases["several"] = ("RTP/SAVP", [f"crypto:1 F8_128_HMAC_SHA1_80 inline:{key(30)}",
                                     f"crypto:2 AEAD_AES_128_GCM inline:{key(28)}",
                                     f"crypto:3 AES_CM_128_HMAC_SHA1_32 inline:{key(30)}"])
    cases["avp-with-crypto"] = ("RTP/AVP", [f"crypto:1 AES_CM_128_HMAC_SHA1_80 inline:{key(30)}"])
    cases["savp-without"] = ("RTP/SAVP", [])
    cases["savpf"] = ("RTP/SAVPF", [f"crypto:1 AES_CM_128_HMAC_SHA1_80 inline:{key(30)}"])
    for name, (transport, attributes) in cases.items():
        for mode in range(3):
            with open(os.path.join(HERE, f"{name}-{mode}"), "wb") as f:
                f.write(bytes([mode]) + invite(transport, attributes))


if __name__ == "__main__":
    main()
