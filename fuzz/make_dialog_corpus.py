#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_call_dialog: what the far end of an established call sends into
it. REFERs (blind, with an escaped Replaces, without Refer-To, with a huge Refer-To), NOTIFYs of
the refer subscription with message/sipfrag bodies (100, 200, 503, garbage, empty; active with an
expiry, terminated; another event), re-INVITEs (sendonly, recvonly, inactive, an image line, no
SDP, other codecs, a real media address) with their ACKs, BYE, INFO, and responses to the
call's REFER, NOTIFY and re-INVITE (200, 202, 401, 407, 488, 3xx), plus torture messages of
RFC 4475 inside the call.

Datagrams are separated by NUL bytes. The harness picks the call's status and the auto-transfer
value from a hash of the whole input; each seed carries an X-Seed header whose number is chosen
so that the seed meets the status it was written for."""
import os

CALL_ID = "fuzz-dialog@127.0.0.1"
PEER = "<sip:bob@127.0.0.1:5062>"
LOCAL = "<sip:alice@127.0.0.1>"

# The statuses in the harness's order (hash % 12).
CONNECTED, HOLD_SENT, HELD, UNHOLD_SENT, REMOTE_HELD, REFER_SENT, REFER_SENT_ATTENDED, \
    NOTIFY_SENT, FINAL_NOTIFY_SENT, NOTIFY_ACCEPTED, REMOTE_HOLD_ACCEPTED, REINVITE_ACCEPTED = range(12)

SDP_HEAD = ("v=0\r\no=- 2 2 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n")


def sdp(media="m=audio 40002 RTP/AVP 0 101\r\na=rtpmap:0 PCMU/8000\r\na=rtpmap:101 telephone-event/8000\r\n",
        extra=""):
    return SDP_HEAD + media + extra


def request(method, cseq, headers="", body="", content_type="application/sdp"):
    text = (f"{method} sip:KZAPISIPUA-CH11@127.0.0.1 SIP/2.0\r\n"
            f"Via: SIP/2.0/UDP 127.0.0.1:5062;branch=z9hG4bK-s{method.lower()}{cseq}\r\n"
            f"From: {PEER};tag=fzpeer\r\nTo: {LOCAL};tag=fzlocal\r\nCall-ID: {CALL_ID}\r\n"
            f"CSeq: {cseq} {method}\r\nMax-Forwards: 70\r\nContact: {PEER}\r\n{headers}")
    if body:
        text += f"Content-Type: {content_type}\r\n"
    return text + f"Content-Length: {len(body)}\r\n\r\n{body}"


def response(status, method, cseq=1001, headers="", body=""):
    text = (f"SIP/2.0 {status}\r\nVia: SIP/2.0/UDP 127.0.0.1;branch=z9hG4bK-any\r\n"
            f"From: {LOCAL};tag=fzlocal\r\nTo: {PEER};tag=fzpeer\r\nCall-ID: {CALL_ID}\r\n"
            f"CSeq: {cseq} {method}\r\nContact: {PEER}\r\n{headers}")
    if body:
        text += "Content-Type: application/sdp\r\n"
    return text + f"Content-Length: {len(body)}\r\n\r\n{body}"


def notify(cseq, state, fragment, event="refer"):
    return request("NOTIFY", cseq, f"Event: {event}\r\nSubscription-State: {state}\r\n", fragment,
                   "message/sipfrag")


def fnv1a(data):
    h = 1469598103934665603
    for b in data:
        h = ((h ^ b) * 1099511628211) & 0xFFFFFFFFFFFFFFFF
    return h


def seed(status, auto_transfer, datagrams):
    """The datagrams joined by NULs, the first carrying an X-Seed header that makes the hash pick
    the status and the auto-transfer value."""
    first, rest = datagrams[0], datagrams[1:]
    head, sep, tail = first.partition("\r\n")
    for n in range(100000):
        marked = head + sep + f"X-Seed: {n}\r\n" + tail
        data = b"\0".join(d.encode("latin-1") for d in [marked] + rest)
        h = fnv1a(data)
        if h % 12 == status and (h >> 16) % 3 == auto_transfer:
            return data
    raise RuntimeError("no seed number fits")


def seeds():
    refer_plain = "Refer-To: <sip:carol@127.0.0.1:5062>\r\n"
    refer_replaces = ("Refer-To: <sip:carol@127.0.0.1:5062?Replaces=abc%40127.0.0.1%3Bto-tag%3D1"
                      "%3Bfrom-tag%3D2>\r\nReferred-By: " + PEER + "\r\n")
    huge = "Refer-To: <sip:" + "c" * 6000 + "@127.0.0.1?Replaces=" + "%3B" * 300 + ">\r\n"
    s = {
        "refer-blind": seed(CONNECTED, 1, [request("REFER", 2, refer_plain),
                                           response("200 OK", "NOTIFY"), response("200 OK", "NOTIFY", 1002),
                                           request("BYE", 3)]),
        "refer-refused": seed(CONNECTED, 0, [request("REFER", 2, refer_plain)]),
        "refer-replaces": seed(CONNECTED, 2, [request("REFER", 2, refer_replaces),
                                              response("200 OK", "NOTIFY")]),
        "refer-replaces-remote-held": seed(REMOTE_HELD, 2, [request("REFER", 5, refer_replaces)]),
        "refer-no-refer-to": seed(CONNECTED, 1, [request("REFER", 2)]),
        "refer-huge-refer-to": seed(CONNECTED, 2, [request("REFER", 2, huge)]),
        "refer-notify-challenged": seed(NOTIFY_SENT, 1, [
            response("407 Proxy Authentication Required", "NOTIFY",
                     headers='Proxy-Authenticate: Digest realm="loop", nonce="n1"\r\n'),
            response("200 OK", "NOTIFY")]),
        "notify-accepted-bye": seed(NOTIFY_ACCEPTED, 1, [request("BYE", 9)]),
        "final-notify-ok": seed(FINAL_NOTIFY_SENT, 2, [response("200 OK", "NOTIFY"), request("BYE", 9)]),
        "final-notify-401": seed(FINAL_NOTIFY_SENT, 2, [
            response("401 Unauthorized", "NOTIFY", headers='WWW-Authenticate: Digest realm="l", nonce="n"\r\n')]),
        "notify-failed": seed(NOTIFY_SENT, 1, [response("503 Service Unavailable", "NOTIFY")]),
        "refer-sent-202-progress": seed(REFER_SENT, 1, [
            response("202 Accepted", "REFER"), notify(4, "active;expires=60", "SIP/2.0 100 Trying\r\n"),
            notify(5, "terminated;reason=noresource", "SIP/2.0 200 OK\r\n")]),
        "refer-sent-503": seed(REFER_SENT, 1, [response("202 Accepted", "REFER"),
                                               notify(4, "terminated", "SIP/2.0 503 Service Unavailable\r\n")]),
        "refer-sent-garbage-frag": seed(REFER_SENT, 1, [notify(4, "active", "HTTP/1.1 abc def\r\nx\r\n")]),
        "refer-sent-empty-frag": seed(REFER_SENT, 1, [notify(4, "active;expires=0", "")]),
        "refer-sent-other-event": seed(REFER_SENT, 1, [notify(4, "active", "SIP/2.0 100 Trying\r\n", "presence")]),
        "refer-sent-rejected": seed(REFER_SENT, 1, [response("488 Not Acceptable Here", "REFER")]),
        "refer-sent-challenged": seed(REFER_SENT, 1, [
            response("401 Unauthorized", "REFER", headers='WWW-Authenticate: Digest realm="l", nonce="n"\r\n')]),
        "refer-sent-redirected": seed(REFER_SENT, 1, [
            response("302 Moved Temporarily", "REFER", headers="Contact: <sip:dave@127.0.0.1:5062>\r\n")]),
        "attended-trying-expires": seed(REFER_SENT_ATTENDED, 1, [
            response("202 Accepted", "REFER"), notify(4, "active;expires=2", "SIP/2.0 100 Trying\r\n")]),
        "attended-done": seed(REFER_SENT_ATTENDED, 1, [
            notify(4, "active;expires=30", "SIP/2.0 100 Trying\r\n"),
            notify(5, "terminated;reason=noresource", "SIP/2.0 200 OK\r\n"), response("200 OK", "BYE")]),
        "attended-failed": seed(REFER_SENT_ATTENDED, 2, [
            notify(4, "terminated", "SIP/2.0 486 Busy Here\r\n")]),
        "hold-ok": seed(HOLD_SENT, 1, [response("200 OK", "INVITE", body=sdp(extra="a=recvonly\r\n"))]),
        "hold-challenged": seed(HOLD_SENT, 1, [
            response("407 Proxy Authentication Required", "INVITE",
                     headers='Proxy-Authenticate: Digest realm="loop", nonce="n1"\r\n'),
            response("200 OK", "INVITE", 1002, body=sdp(extra="a=recvonly\r\n"))]),
        "hold-refused": seed(HOLD_SENT, 1, [response("488 Not Acceptable Here", "INVITE")]),
        "hold-ok-other-codec": seed(HOLD_SENT, 0, [response("200 OK", "INVITE", body=sdp(
            "m=audio 40004 RTP/AVP 18\r\na=rtpmap:18 G729/8000\r\n"))]),
        "unhold-ok": seed(UNHOLD_SENT, 1, [response("200 OK", "INVITE", body=sdp())]),
        "unhold-redirected": seed(UNHOLD_SENT, 1, [
            response("301 Moved Permanently", "INVITE", headers="Contact: <sip:dave@127.0.0.1:5062>\r\n")]),
        "held-refer": seed(HELD, 1, [request("REFER", 2, refer_plain)]),
        "held-info": seed(HELD, 1, [request("INFO", 2, "", "Signal=5\r\nDuration=160\r\n",
                                            "application/dtmf-relay")]),
    }
    reinvites = {
        "sendonly": sdp(extra="a=sendonly\r\n"),
        "recvonly": sdp(extra="a=recvonly\r\n"),
        "inactive": sdp(extra="a=inactive\r\n"),
        "image": sdp("m=image 40010 udptl t38\r\na=T38FaxVersion:0\r\n"),
        "no-sdp": "",
        "other-codecs": sdp("m=audio 40006 RTP/AVP 8 3 97\r\na=rtpmap:8 PCMA/8000\r\n"
                            "a=rtpmap:3 GSM/8000\r\na=rtpmap:97 speex/8000\r\n"),
        "no-common-codec": sdp("m=audio 40008 RTP/AVP 99\r\na=rtpmap:99 opus/48000/2\r\n"),
        "video": sdp(extra="m=video 40012 RTP/AVP 34\r\na=rtpmap:34 H263/90000\r\n"),
    }
    for status, status_name in ((CONNECTED, "connected"), (HELD, "held"), (REMOTE_HELD, "remote-held")):
        for name, body in reinvites.items():
            ack = request("ACK", 2, "", sdp() if not body else "")
            s[f"reinvite-{status_name}-{name}"] = seed(status, 1, [request("INVITE", 2, "", body), ack])
    s["reinvite-twice"] = seed(CONNECTED, 1, [request("INVITE", 2, "", reinvites["sendonly"]), request("ACK", 2),
                                              request("INVITE", 3, "", reinvites["other-codecs"]), request("ACK", 3)])
    s["reinvite-accepted-ack"] = seed(REINVITE_ACCEPTED, 1, [request("ACK", 2, "", sdp())])
    s["remote-hold-accepted-ack"] = seed(REMOTE_HOLD_ACCEPTED, 1, [request("ACK", 2)])
    s["bye"] = seed(CONNECTED, 1, [request("BYE", 2)])
    s["info-dtmf"] = seed(CONNECTED, 1, [request("INFO", 2, "", "Signal=#\r\nDuration=250\r\n",
                                                 "application/dtmf-relay")])
    s["ack-alone"] = seed(CONNECTED, 1, [request("ACK", 1)])
    s["invite-200-retransmit"] = seed(CONNECTED, 1, [response("200 OK", "INVITE", 1, body=sdp())])
    # The far end hangs up before the attended transfer is placed, twice: the second transfer call
    # finds only this call's own channel idle.
    def second_call(method, cseq, headers="", body=""):
        return request(method, cseq, headers, body).replace(CALL_ID, "fuzz-second@127.0.0.1").replace(
            "tag=fzpeer", "tag=p2").replace("tag=fzlocal", "tag=l2")
    s["refer-replaces-released-twice"] = seed(CONNECTED, 2, [
        request("REFER", 2, refer_replaces), request("BYE", 3), second_call("INVITE", 1, "", sdp()),
        second_call("ACK", 1), second_call("REFER", 2, refer_replaces), second_call("BYE", 3)])
    torture = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "data", "rfc4475")
    for name in ("esc01", "lwsdisp", "mpart01", "sdp01", "unksm2", "bigcode", "clerr", "badinv01"):
        with open(os.path.join(torture, name + ".dat"), "rb") as f:
            text = f.read().decode("latin-1")
        s["rfc4475-" + name] = seed(CONNECTED, 1, [text, request("BYE", 2)])
    return s


def main():
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "dialog")
    os.makedirs(out, exist_ok=True)
    for name, data in seeds().items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
