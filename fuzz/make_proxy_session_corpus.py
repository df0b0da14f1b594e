#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_proxy_session: sequences of messages on the two legs of a
proxied call (the callee's answers on the outgoing leg, the caller's ACK, CANCEL, BYE and
re-INVITE on the incoming one), each preceded by its control byte and separated by 0xFF. A text
"JOIN a b" joins the call with the fuzzer's second, answered call; "2|" sends a message to that
second call's session instead."""
import os

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "proxy_session")
CALLER, CALLEE, ERROR = 0, 1, 2
LATER = 0xfc  # 63 seconds pass first
SDP = ("v=0\r\no=- 2 2 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
       "m=audio 5000 RTP/AVP 0\r\n")


def body(sdp):
    if not sdp:
        return "Content-Length: 0\r\n\r\n"
    return f"Content-Type: application/sdp\r\nContent-Length: {len(sdp)}\r\n\r\n{sdp}"


def response(status, method="INVITE", sdp=""):
    return (f"SIP/2.0 {status}\r\nVia: SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bK-px\r\n"
            "Via: SIP/2.0/UDP 127.0.0.1:5062;branch=z9hG4bK-fz1;rport\r\n"
            "From: <sip:alice@127.0.0.1>;tag=a1\r\nTo: <sip:bob@127.0.0.1>;tag=b1\r\n"
            f"Call-ID: out@127.0.0.1\r\nCSeq: 1 {method}\r\nContact: <sip:bob@127.0.0.1:5064>\r\n" + body(sdp))


def request(method, cseq=2, sdp=""):
    return (f"{method} sip:bob@127.0.0.1:5064 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:5062;branch=z9hG4bK-{method}\r\n"
            "Max-Forwards: 70\r\nRoute: <sip:127.0.0.1:5060;lr>\r\n"
            "From: <sip:alice@127.0.0.1>;tag=a1\r\nTo: <sip:bob@127.0.0.1>;tag=b1\r\n"
            f"Call-ID: fuzz-call@127.0.0.1\r\nCSeq: {cseq} {method}\r\nContact: <sip:alice@127.0.0.1:5062>\r\n"
            + body(sdp))


def response_rr(status, sdp=""):
    """A response on its way back that carries this server's and another proxy's Record-Route."""
    return response(status, sdp=sdp).replace(
        "Call-ID:", "Record-Route: <sip:203.0.113.5;lr>\r\nRecord-Route: <sip:127.0.0.1:5060;lr>\r\nCall-ID:", 1)


def second(text):
    return "2|" + text


def seq(*steps):
    return b"\xff".join(bytes([control]) + text.encode() for control, text in steps)


def main():
    os.makedirs(HERE, exist_ok=True)
    answered = [(CALLEE, response("100 Trying")), (CALLEE, response("180 Ringing")),
                (CALLEE, response("200 OK", sdp=SDP)), (CALLER, request("ACK", 1))]
    cases = {
        "answered-caller-bye": seq(*answered, (CALLER, request("BYE")), (CALLEE, response("200 OK", "BYE"))),
        "answered-callee-bye": seq(*answered, (CALLEE, request("BYE")), (CALLER, response("200 OK", "BYE"))),
        "reinvite": seq(*answered, (CALLER, request("INVITE", 3, SDP)), (CALLEE, response("200 OK", sdp=SDP)),
                        (CALLER, request("ACK", 3))),
        "reinvite-refused": seq(*answered, (CALLEE, request("INVITE", 3, SDP)),
                                (CALLER, response("488 Not Acceptable Here"))),
        "info": seq(*answered, (CALLER, request("INFO", 3)), (CALLEE, response("200 OK", "INFO"))),
        "refused": seq((CALLEE, response("486 Busy Here"))),
        "challenged": seq((CALLEE, response("407 Proxy Authentication Required"))),
        "cancel": seq((CALLEE, response("100 Trying")), (CALLER, request("CANCEL", 1)),
                      (CALLEE, response("487 Request Terminated"))),
        "cancel-crossing-200": seq((CALLEE, response("180 Ringing")), (CALLER, request("CANCEL", 1)),
                                   (CALLEE, response("200 OK", sdp=SDP))),
        "error": seq((CALLEE, response("180 Ringing")), (CALLEE | ERROR, "")),
        "time-out": seq((CALLEE, response("100 Trying")), *[(LATER | CALLEE, response("100 Trying"))] * 3),
        "bye-unanswered": seq(*answered, (CALLER, request("BYE")), *[(LATER | CALLEE, response("100 Trying"))] * 3),
        "answered-record-route": seq((CALLEE, response_rr("180 Ringing")), (CALLEE, response_rr("200 OK", SDP)),
                                     (CALLER, request("ACK", 1))),
        "late-offer-ack": seq((CALLEE, response("200 OK", sdp=SDP)), (CALLER, request("ACK", 1, SDP)),
                              (CALLEE, request("INVITE", 3, SDP)), (CALLER, response("491 Request Pending"))),
        "join-accepted": seq(*answered, (CALLER, "JOIN 0 0"), (CALLER, response("200 OK", sdp=SDP)),
                             (CALLER, second(response("200 OK", sdp=SDP))), (CALLEE, response("200 OK", "BYE")),
                             (CALLER, request("INVITE", 4, SDP)), (CALLEE, response("200 OK", sdp=SDP)),
                             (CALLER, request("ACK", 4)), (CALLER, request("BYE", 5)),
                             (CALLEE, response("200 OK", "BYE"))),
        "join-refused": seq(*answered, (CALLER, "JOIN 0 1"), (CALLER, response("200 OK", sdp=SDP)),
                            (CALLEE, second(response("488 Not Acceptable Here"))),
                            (CALLER, response("200 OK", sdp=SDP)), (CALLER, request("BYE", 4))),
        "join-bye-meanwhile": seq(*answered, (CALLER, "JOIN 1 0"), (CALLER, request("BYE")),
                                  (CALLER, second(response("200 OK", sdp=SDP))), (CALLEE, request("INVITE", 3, SDP)),
                                  (CALLEE, response("200 OK", sdp=SDP))),
        "join-error": seq(*answered, (CALLER, "JOIN 0 1"), (CALLER | ERROR, ""),
                          (CALLEE, second(response("200 OK", sdp=SDP))), (CALLER, request("BYE", 4))),
        "join-unanswered": seq(*answered, (CALLER, "JOIN 0 0"), (CALLER, second(response("491 Request Pending"))),
                               *[(LATER | CALLEE, response("100 Trying"))] * 3),
    }
    for name, data in cases.items():
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
