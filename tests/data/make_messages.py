#!/usr/bin/env python3
"""Writes the SIP test messages in tests/data/messages/ as exact wire bytes.

Every message is kept here as a list of header lines and a list of body lines; this script
joins them with CRLF, fills in the Content-Length from the body it actually writes, and
computes the digest responses of the authenticated requests, so the files always stay
self-consistent. It also writes a few extra fuzz seeds into fuzz/corpus/sipmsg/.

Run from anywhere:  python3 tests/data/make_messages.py
"""

import hashlib
import pathlib

ROOT = pathlib.Path(__file__).resolve().parents[2]
MSG_DIR = ROOT / "tests" / "data" / "messages"
SEED_DIR = ROOT / "fuzz" / "corpus" / "sipmsg"

CRLF = "\r\n"


def md5(text):
    return hashlib.md5(text.encode()).hexdigest()


def digest_response(user, realm, password, method, uri, nonce, nc=None, cnonce=None, qop=None):
    """RFC 2617 response (MD5, no auth-int)."""
    ha1 = md5(f"{user}:{realm}:{password}")
    ha2 = md5(f"{method}:{uri}")
    if qop:
        return md5(f"{ha1}:{nonce}:{nc}:{cnonce}:{qop}:{ha2}")
    return md5(f"{ha1}:{nonce}:{ha2}")


def wire(headers, body_lines=None, body_text=None, length_header="Content-Length"):
    """Joins header lines and a body into wire text. A header line "Content-Length: {len}"
    (or the compact "l: {len}") receives the length of the body in bytes."""
    if body_text is None:
        body_text = "".join(line + CRLF for line in body_lines) if body_lines else ""
    body = body_text.encode("utf-8")
    lines = [h.replace("{len}", str(len(body))) for h in headers]
    return (CRLF.join(lines) + CRLF + CRLF).encode("utf-8") + body


# Shared call parameters, so the messages of one call agree with each other.
ALICE_IP = "192.168.1.20"
PBX_IP = "192.168.1.10"
UA = "Lindenphone 3.2.1 (Linux)"
PBX_UA = "Harbour PBX 11.4.2"
CALL1 = "8f3c2a1b9d7e4f60a5b3c2d1e0f9a8b7@192.168.1.20"
FROM_ALICE = '"Alice Cooper" <sip:1001@192.168.1.10>;tag=4f2a9c1e'
TO_BOB = "<sip:1002@192.168.1.10>"
TO_BOB_TAGGED = "<sip:1002@192.168.1.10>;tag=as5e1b7c02"
BRANCH1 = "z9hG4bK-524287-1---7a6b3c9d1e2f4a5b"
ALLOW = "INVITE, ACK, CANCEL, BYE, NOTIFY, REFER, MESSAGE, OPTIONS, INFO, SUBSCRIBE"

OFFER_SDP = [
    "v=0",
    f"o=- 1701245123456 1 IN IP4 {ALICE_IP}",
    "s=Lindenphone",
    f"c=IN IP4 {ALICE_IP}",
    "t=0 0",
    "m=audio 8000 RTP/AVP 0 8 18 101",
    "a=rtpmap:0 PCMU/8000",
    "a=rtpmap:8 PCMA/8000",
    "a=rtpmap:18 G729/8000",
    "a=fmtp:18 annexb=no",
    "a=rtpmap:101 telephone-event/8000",
    "a=fmtp:101 0-16",
    "a=ptime:20",
    "a=sendrecv",
]

ANSWER_SDP = [
    "v=0",
    f"o=root 1936217431 1936217431 IN IP4 {PBX_IP}",
    "s=Harbour PBX",
    f"c=IN IP4 {PBX_IP}",
    "t=0 0",
    "m=audio 12570 RTP/AVP 0 101",
    "a=rtpmap:0 PCMU/8000",
    "a=rtpmap:101 telephone-event/8000",
    "a=fmtp:101 0-16",
    "a=ptime:20",
    "a=sendrecv",
]


def messages():
    m = {}

    m["invite_sdp.sip"] = wire(
        [
            f"INVITE sip:1002@{PBX_IP} SIP/2.0",
            f"Via: SIP/2.0/UDP {ALICE_IP}:5062;branch={BRANCH1};rport",
            "Max-Forwards: 70",
            f"Contact: <sip:1001@{ALICE_IP}:5062;transport=UDP>",
            f"To: {TO_BOB}",
            f"From: {FROM_ALICE}",
            f"Call-ID: {CALL1}",
            "CSeq: 1 INVITE",
            f"Allow: {ALLOW}",
            "Content-Type: application/sdp",
            "Supported: replaces, norefersub, extended-refer, timer, outbound, path",
            f"User-Agent: {UA}",
            "Allow-Events: presence, kpml, talk, hold",
            f'P-Preferred-Identity: "Alice Cooper" <sip:1001@{PBX_IP}>',
            "Date: Tue, 05 Nov 2024 14:21:07 GMT",
            "Content-Length: {len}",
        ],
        OFFER_SDP,
    )

    m["trying_100.sip"] = wire(
        [
            "SIP/2.0 100 Trying",
            f"Via: SIP/2.0/UDP {ALICE_IP}:5062;branch={BRANCH1};received={ALICE_IP};rport=5062",
            f"From: {FROM_ALICE}",
            f"To: {TO_BOB}",
            f"Call-ID: {CALL1}",
            "CSeq: 1 INVITE",
            f"Server: {PBX_UA}",
            "Content-Length: 0",
        ]
    )

    m["ringing_180.sip"] = wire(
        [
            "SIP/2.0 180 Ringing",
            f"Via: SIP/2.0/UDP {ALICE_IP}:5062;branch={BRANCH1};received={ALICE_IP};rport=5062",
            f"From: {FROM_ALICE}",
            f"To: {TO_BOB_TAGGED}",
            f"Call-ID: {CALL1}",
            "CSeq: 1 INVITE",
            f"Server: {PBX_UA}",
            f"Allow: {ALLOW}",
            "Supported: replaces, timer",
            f"Contact: <sip:1002@{PBX_IP}:5060>",
            "Content-Length: 0",
        ]
    )

    m["ok_200_sdp.sip"] = wire(
        [
            "SIP/2.0 200 OK",
            f"Via: SIP/2.0/UDP {ALICE_IP}:5062;branch={BRANCH1};received={ALICE_IP};rport=5062",
            f"From: {FROM_ALICE}",
            f"To: {TO_BOB_TAGGED}",
            f"Call-ID: {CALL1}",
            "CSeq: 1 INVITE",
            f"Server: {PBX_UA}",
            f"Allow: {ALLOW}",
            "Supported: replaces, timer",
            "Session-Expires: 1800;refresher=uas",
            "Require: timer",
            f"Contact: <sip:1002@{PBX_IP}:5060>",
            "Content-Type: application/sdp",
            "Content-Length: {len}",
        ],
        ANSWER_SDP,
    )

    # Registration: first attempt, the challenge, and the retry with credentials.
    reg_call = "YzQ1OTIyYjM0ZjA5NmU3ZDg2MmM0ZGYwNmI3ZGE0ZTk."
    reg_from = '"Alice" <sip:alice@sip.example.net>;tag=b1c8e0f3'
    reg_to = '"Alice" <sip:alice@sip.example.net>'
    reg_contact = '<sip:alice@10.0.0.15:5060;rinstance=6f8dc969b62d1466;transport=UDP>;expires=3600'
    m["register.sip"] = wire(
        [
            "REGISTER sip:sip.example.net SIP/2.0",
            "Via: SIP/2.0/UDP 10.0.0.15:5060;branch=z9hG4bK-d8754z-6e1f0c2b9a8d7e6f-1---d8754z-;rport",
            "Max-Forwards: 70",
            f"Contact: {reg_contact}",
            f"To: {reg_to}",
            f"From: {reg_from}",
            f"Call-ID: {reg_call}",
            "CSeq: 1 REGISTER",
            "Expires: 3600",
            f"Allow: {ALLOW}",
            "Supported: replaces, outbound, path",
            f"User-Agent: {UA}",
            "Content-Length: 0",
        ]
    )

    reg_nonce = "6a1c5f3e8b2d4a7f9c0e1b3d5f7a9c2e"
    reg_opaque = "5ccc069c403ebaf9f0171e9517f40e41"
    m["unauthorized_401.sip"] = wire(
        [
            "SIP/2.0 401 Unauthorized",
            "Via: SIP/2.0/UDP 10.0.0.15:5060;branch=z9hG4bK-d8754z-6e1f0c2b9a8d7e6f-1---d8754z-;"
            "received=203.0.113.44;rport=6120",
            f"From: {reg_from}",
            f"To: {reg_to};tag=9a8d3c7e41",
            f"Call-ID: {reg_call}",
            "CSeq: 1 REGISTER",
            f'WWW-Authenticate: Digest realm="sip.example.net", nonce="{reg_nonce}", '
            f'opaque="{reg_opaque}", algorithm=MD5, qop="auth"',
            f"Server: {PBX_UA}",
            "Content-Length: 0",
        ]
    )

    reg_cnonce = "0a4f113b"
    reg_response = digest_response(
        "alice", "sip.example.net", "wonderland7", "REGISTER", "sip:sip.example.net", reg_nonce, "00000001",
        reg_cnonce, "auth")
    m["register_auth.sip"] = wire(
        [
            "REGISTER sip:sip.example.net SIP/2.0",
            "Via: SIP/2.0/UDP 10.0.0.15:5060;branch=z9hG4bK-d8754z-0b4e2d7f1c9a3e5b-1---d8754z-;rport",
            "Max-Forwards: 70",
            f"Contact: {reg_contact}",
            f"To: {reg_to}",
            f"From: {reg_from}",
            f"Call-ID: {reg_call}",
            "CSeq: 2 REGISTER",
            "Expires: 3600",
            f"Allow: {ALLOW}",
            "Supported: replaces, outbound, path",
            f"User-Agent: {UA}",
            f'Authorization: Digest username="alice",realm="sip.example.net",nonce="{reg_nonce}",'
            f'uri="sip:sip.example.net",response="{reg_response}",cnonce="{reg_cnonce}",nc=00000001,'
            f'qop=auth,algorithm=MD5,opaque="{reg_opaque}"',
            "Content-Length: 0",
        ]
    )

    # An INVITE through an outbound proxy that asks for credentials.
    px_call = "3c26f0a8e1d94b7c@198.51.100.23"
    px_from = '"Bob" <sip:bob@example.com>;tag=7d1e02a4'
    px_to = "<sip:carol@example.com>"
    px_nonce = "Z2VuZXJhdGVkLW5vbmNlLTE3MzA4MTY0NjY="
    m["proxy_auth_required_407.sip"] = wire(
        [
            "SIP/2.0 407 Proxy Authentication Required",
            "Via: SIP/2.0/UDP 198.51.100.23:5060;branch=z9hG4bK5f2c8e1a;received=198.51.100.23;rport=5060",
            f"From: {px_from}",
            f"To: {px_to};tag=e4c0b3d9",
            f"Call-ID: {px_call}",
            "CSeq: 101 INVITE",
            f'Proxy-Authenticate: Digest realm="example.com", nonce="{px_nonce}", qop="auth", '
            "algorithm=MD5, stale=FALSE",
            "Server: edge-proxy 5.7.3",
            "Content-Length: 0",
        ]
    )

    px_response = digest_response("bob", "example.com", "s3cr3t-Pa55", "INVITE", "sip:carol@example.com", px_nonce)
    m["invite_proxy_auth.sip"] = wire(
        [
            "INVITE sip:carol@example.com SIP/2.0",
            "Via: SIP/2.0/UDP 198.51.100.23:5060;branch=z9hG4bK9b3d7f0e;rport",
            "Max-Forwards: 70",
            f"From: {px_from}",
            f"To: {px_to}",
            f"Call-ID: {px_call}",
            "CSeq: 102 INVITE",
            "Contact: <sip:bob@198.51.100.23:5060>",
            f'Proxy-Authorization: Digest username="bob", realm="example.com", nonce="{px_nonce}", '
            f'uri="sip:carol@example.com", response="{px_response}", algorithm=MD5',
            f"Allow: {ALLOW}",
            "User-Agent: Quayside Softphone 1.9.4",
            "Content-Type: application/sdp",
            "Content-Length: {len}",
        ],
        [
            "v=0",
            "o=bob 2890844527 2890844527 IN IP4 198.51.100.23",
            "s=-",
            "c=IN IP4 198.51.100.23",
            "t=0 0",
            "m=audio 49170 RTP/AVP 8 0 101",
            "a=rtpmap:8 PCMA/8000",
            "a=rtpmap:0 PCMU/8000",
            "a=rtpmap:101 telephone-event/8000",
            "a=fmtp:101 0-15",
        ],
    )

    m["ack.sip"] = wire(
        [
            f"ACK sip:1002@{PBX_IP}:5060 SIP/2.0",
            f"Via: SIP/2.0/UDP {ALICE_IP}:5062;branch=z9hG4bK-524287-1---3e8f1d0c6b2a9e47;rport",
            "Max-Forwards: 70",
            f"To: {TO_BOB_TAGGED}",
            f"From: {FROM_ALICE}",
            f"Call-ID: {CALL1}",
            "CSeq: 1 ACK",
            f"User-Agent: {UA}",
            "Content-Length: 0",
        ]
    )

    m["bye.sip"] = wire(
        [
            f"BYE sip:1001@{ALICE_IP}:5062;transport=UDP SIP/2.0",
            f"Via: SIP/2.0/UDP {PBX_IP}:5060;branch=z9hG4bK2c7d0f4a",
            "Max-Forwards: 70",
            f"From: {TO_BOB_TAGGED}",
            f"To: {FROM_ALICE}",
            f"Call-ID: {CALL1}",
            "CSeq: 102 BYE",
            f"User-Agent: {PBX_UA}",
            'Reason: Q.850;cause=16;text="Normal call clearing"',
            "Content-Length: 0",
        ]
    )

    m["cancel.sip"] = wire(
        [
            f"CANCEL sip:1002@{PBX_IP} SIP/2.0",
            f"Via: SIP/2.0/UDP {ALICE_IP}:5062;branch={BRANCH1};rport",
            "Max-Forwards: 70",
            f"To: {TO_BOB}",
            f"From: {FROM_ALICE}",
            f"Call-ID: {CALL1}",
            "CSeq: 1 CANCEL",
            'Reason: SIP;cause=487;text="Request Terminated"',
            f"User-Agent: {UA}",
            "Content-Length: 0",
        ]
    )

    m["options.sip"] = wire(
        [
            f"OPTIONS sip:{PBX_IP}:5060 SIP/2.0",
            f"Via: SIP/2.0/UDP {ALICE_IP}:5062;branch=z9hG4bK-524287-1---c0ffee11d00dfeed;rport",
            "Max-Forwards: 70",
            f"Contact: <sip:1001@{ALICE_IP}:5062>",
            f"To: <sip:{PBX_IP}:5060>",
            f'From: "Alice Cooper" <sip:1001@{PBX_IP}>;tag=0e7d91a3',
            "Call-ID: 2b81f3c9a0d44e5c9f6a7b8c1d2e3f40",
            "CSeq: 1 OPTIONS",
            "Accept: application/sdp",
            "Accept-Language: en",
            f"Allow: {ALLOW}",
            "Supported: replaces, timer",
            f"User-Agent: {UA}",
            "Content-Length: 0",
        ]
    )

    mwi_call = "9f0e1d2c3b4a59687766554433221100@192.168.1.20"
    m["subscribe_mwi.sip"] = wire(
        [
            f"SUBSCRIBE sip:1001@{PBX_IP} SIP/2.0",
            f"Via: SIP/2.0/UDP {ALICE_IP}:5062;branch=z9hG4bK-524287-1---9a8b7c6d5e4f3a2b;rport",
            "Max-Forwards: 70",
            f"Contact: <sip:1001@{ALICE_IP}:5062>",
            f"To: <sip:1001@{PBX_IP}>",
            f'From: "Alice Cooper" <sip:1001@{PBX_IP}>;tag=51e2c7aa',
            f"Call-ID: {mwi_call}",
            "CSeq: 1 SUBSCRIBE",
            "Expires: 3600",
            "Accept: application/simple-message-summary",
            f"Allow: {ALLOW}",
            "Event: message-summary",
            f"User-Agent: {UA}",
            "Content-Length: 0",
        ]
    )

    m["notify_mwi.sip"] = wire(
        [
            f"NOTIFY sip:1001@{ALICE_IP}:5062 SIP/2.0",
            f"Via: SIP/2.0/UDP {PBX_IP}:5060;branch=z9hG4bK0d3a6c1f",
            "Max-Forwards: 70",
            f"From: <sip:1001@{PBX_IP}>;tag=as2f7e9b14",
            f'To: "Alice Cooper" <sip:1001@{PBX_IP}>;tag=51e2c7aa',
            f"Contact: <sip:1001@{PBX_IP}:5060>",
            f"Call-ID: {mwi_call}",
            "CSeq: 102 NOTIFY",
            f"User-Agent: {PBX_UA}",
            "Event: message-summary",
            "Subscription-State: active;expires=3599",
            "Content-Type: application/simple-message-summary",
            "Content-Length: {len}",
        ],
        [
            "Messages-Waiting: yes",
            f"Message-Account: sip:*97@{PBX_IP}",
            "Voice-Message: 2/8 (0/2)",
        ],
    )

    # A pager-mode message; like many clients, the text has no line end of its own.
    m["message_text.sip"] = wire(
        [
            "MESSAGE sip:bob@example.com SIP/2.0",
            "Via: SIP/2.0/TCP 198.51.100.77:53642;branch=z9hG4bKa71c3f5e9d;rport;alias",
            "Max-Forwards: 70",
            'From: "Carol" <sip:carol@example.com>;tag=49583',
            "To: <sip:bob@example.com>",
            "Call-ID: asd88asd77a@198.51.100.77",
            "CSeq: 1 MESSAGE",
            "User-Agent: Quayside Softphone 1.9.4",
            "Content-Type: text/plain;charset=UTF-8",
            "Content-Length: {len}",
        ],
        body_text="Watson, come here. I want to see you.",
    )

    m["info_dtmf.sip"] = wire(
        [
            f"INFO sip:1002@{PBX_IP}:5060 SIP/2.0",
            f"Via: SIP/2.0/UDP {ALICE_IP}:5062;branch=z9hG4bK-524287-1---5d4c3b2a19f8e7d6;rport",
            "Max-Forwards: 70",
            f"Contact: <sip:1001@{ALICE_IP}:5062>",
            f"To: {TO_BOB_TAGGED}",
            f"From: {FROM_ALICE}",
            f"Call-ID: {CALL1}",
            "CSeq: 2 INFO",
            f"User-Agent: {UA}",
            "Content-Type: application/dtmf-relay",
            "Content-Length: {len}",
        ],
        ["Signal=5", "Duration=160"],
    )

    m["refer.sip"] = wire(
        [
            f"REFER sip:1002@{PBX_IP}:5060 SIP/2.0",
            f"Via: SIP/2.0/UDP {ALICE_IP}:5062;branch=z9hG4bK-524287-1---e1d2c3b4a5968778;rport",
            "Max-Forwards: 70",
            f"Contact: <sip:1001@{ALICE_IP}:5062>",
            f"To: {TO_BOB_TAGGED}",
            f"From: {FROM_ALICE}",
            f"Call-ID: {CALL1}",
            "CSeq: 3 REFER",
            f"Refer-To: <sip:1003@{PBX_IP}?Replaces=6a7b8c9d%40192.168.1.20%3Bto-tag%3D11aa%3Bfrom-tag%3D22bb>",
            f'Referred-By: "Alice Cooper" <sip:1001@{PBX_IP}>',
            f"User-Agent: {UA}",
            "Content-Length: 0",
        ]
    )

    m["notify_sipfrag.sip"] = wire(
        [
            f"NOTIFY sip:1001@{ALICE_IP}:5062;transport=UDP SIP/2.0",
            f"Via: SIP/2.0/UDP {PBX_IP}:5060;branch=z9hG4bK6e0f2a9b",
            "Max-Forwards: 70",
            f"From: {TO_BOB_TAGGED}",
            f"To: {FROM_ALICE}",
            f"Contact: <sip:1002@{PBX_IP}:5060>",
            f"Call-ID: {CALL1}",
            "CSeq: 103 NOTIFY",
            f"User-Agent: {PBX_UA}",
            "Event: refer",
            "Subscription-State: terminated;reason=noresource",
            "Content-Type: message/sipfrag;version=2.0",
            "Content-Length: {len}",
        ],
        ["SIP/2.0 200 OK"],
    )

    # A request on its way between two proxies: two Vias, a Record-Route set (one header with a
    # list, then a single one) and the rest of a loose route; audio and video offered.
    m["invite_routes.sip"] = wire(
        [
            "INVITE sip:dave@203.0.113.80:5060;transport=udp SIP/2.0",
            "Via: SIP/2.0/UDP proxy1.example.com:5060;branch=z9hG4bK87asdks7.1",
            "Via: SIP/2.0/UDP 198.51.100.5:5072;received=198.51.100.5;rport=5072;branch=z9hG4bK-3f9e2d1c",
            "Record-Route: <sip:proxy1.example.com;lr>, <sip:10.1.0.1;lr>",
            "Record-Route: <sip:edge.example.com;lr;ftag=a73kszlfl>",
            "Route: <sip:proxy2.example.org;lr>",
            "Route: <sip:core.example.org;lr>",
            "Max-Forwards: 69",
            'From: "Erin" <sip:erin@example.com>;tag=a73kszlfl',
            "To: <sip:dave@example.org>",
            "Call-ID: 1j9FpLxk3uxtm8tn@198.51.100.5",
            "CSeq: 1 INVITE",
            "Contact: <sip:erin@198.51.100.5:5072;ob>",
            'P-Asserted-Identity: "Erin" <sip:erin@example.com>',
            "Supported: replaces, 100rel, timer",
            "Content-Type: application/sdp",
            "Content-Length: {len}",
        ],
        [
            "v=0",
            "o=erin 3724394400 3724394401 IN IP4 198.51.100.5",
            "s=-",
            "c=IN IP4 198.51.100.5",
            "b=AS:2048",
            "t=0 0",
            "m=audio 4000 RTP/AVP 9 0 101",
            "a=rtpmap:9 G722/8000",
            "a=rtpmap:0 PCMU/8000",
            "a=rtpmap:101 telephone-event/8000",
            "a=fmtp:101 0-15",
            "m=video 4002 RTP/AVP 96",
            "b=TIAS:1920000",
            "a=rtpmap:96 H264/90000",
            "a=fmtp:96 profile-level-id=42801F;packetization-mode=1",
            "a=sendrecv",
        ],
    )

    # A 200 OK written entirely with compact header names.
    m["compact_response.sip"] = wire(
        [
            "SIP/2.0 200 OK",
            "v: SIP/2.0/UDP 192.0.2.33:5060;branch=z9hG4bKnashds8;received=192.0.2.33",
            "f: Anonymous <sip:caller@example.net>;tag=hyh8",
            "t: <sip:callee@example.org>;tag=0e1f2a3b",
            "i: 70710@saturn.example.net",
            "CSeq: 1 INVITE",
            "m: <sip:callee@192.0.2.90:5060>",
            "k: timer",
            "c: application/sdp",
            "l: {len}",
        ],
        [
            "v=0",
            "o=callee 53655765 2353687637 IN IP4 192.0.2.90",
            "s=-",
            "c=IN IP4 192.0.2.90",
            "t=0 0",
            "m=audio 3458 RTP/AVP 0 101",
            "a=rtpmap:0 PCMU/8000",
            "a=rtpmap:101 telephone-event/8000",
        ],
    )
    return m


def seeds(msgs):
    """Extra fuzz seeds: framing cases the message files alone do not show."""
    s = {}
    s["two_messages.sip"] = msgs["trying_100.sip"] + msgs["ringing_180.sip"]
    s["sdp_then_request.sip"] = msgs["invite_sdp.sip"] + msgs["ack.sip"]
    inv = msgs["invite_sdp.sip"]
    s["body_longer_than_length.sip"] = inv + b"m=video 9 RTP/AVP 96\r\na=rtpmap:96 VP8/90000\r\n"
    s["body_shorter_than_length.sip"] = inv[: len(inv) - 40]
    s["header_garbage.sip"] = (
        b"SIP/2.0\r\n: \r\n:::\r\nVia\r\nVia: ;;;;,,,\r\nFrom: sip:\r\nTo: <sip:>;tag=\r\n"
        b"CSeq: \r\nContent-Length: -5\r\nContent-Type: application/sdp\r\n\r\nv=\r\nm=\r\n"
    )
    s["external_text.txt"] = b"GET / HTTP/1.1\r\nHost: example.com\r\n\r\n"
    s["lf_only.sip"] = msgs["info_dtmf.sip"].replace(b"\r\n", b"\n")
    s["auth_params_unterminated.sip"] = (
        b"SIP/2.0 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"a, nonce=\"b\r\n"
        b"Authorization: Digest username=,realm\r\nContent-Length: 0\r\n\r\n"
    )
    return s


def main():
    MSG_DIR.mkdir(parents=True, exist_ok=True)
    SEED_DIR.mkdir(parents=True, exist_ok=True)
    msgs = messages()
    for name, data in sorted(msgs.items()):
        (MSG_DIR / name).write_bytes(data)
    for name, data in sorted(seeds(msgs).items()):
        (SEED_DIR / name).write_bytes(data)
    print(f"{len(msgs)} messages in {MSG_DIR}, {len(seeds(msgs))} seeds in {SEED_DIR}")


if __name__ == "__main__":
    main()
