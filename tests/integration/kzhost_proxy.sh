#!/usr/bin/env bash
# kzhost in server mode as the routing proxy of its sites' users, with baresip as the phones:
#   kzhost_proxy.sh KZHOST [PHASES]
# Site 1 (domain 127.0.0.1) challenges without qop, site 2 (127.0.0.2) with qop "auth" and an
# opaque value; both record-route, relay the calls' media through kzhost's UDP switch groups and
# check their UDP users with OPTIONS. Users: alice and dave at site 1, bob and carol at site 2.
#   control  the session commands against kzhost with no call: refused without a held session
#   mwi      alice's baresip subscribes to her messages; it shows the state at once and, after
#            "mwi", the counts, taking the NOTIFY inside its subscription (200, not 481)
#   unreachable  dave registers once and then never answers: reported "user-unregistered"
#   calls    alice calls bob, routed by examples/proxy_router.py ("route" to bob's registration);
#            carol, subscribed to bob's dialog event, hears early, confirmed and terminated; alice
#            calling carol is rejected by the router with 404; then, with no routing client, bob
#            calls alice by default routing (carol hears bob's dialog again, as its initiator). In both calls each side's tone must reach the other
#            (audio_check.py analysis of baresip's recordings) and the RTP of both phones must go
#            to kzhost's ports (captured on lo), never straight to the other phone.
#   join     alice calls erin and bob calls frank (two bare answering user agents, routed to by
#            examples/proxy_router.py); the two calls are joined with "join", keeping both
#            callers: erin and frank get a BYE, kzhost reports both sessions ended "Success -
#            Joined" and a joined session, alice and bob hear each other's tone through kzhost's
#            relay, and alice's hang-up ends the joined call at bob.
# PHASES is a comma list (default: all). Every peer is bounded in time and stopped by PID.
# KZ_LOG_LEVEL=4 runs kzhost with its SIP traces; KZ_KEEP=DIR keeps the logs.
set -u
kzhost=$1
phases=${2:-control,mwi,unreachable,calls,join}
here=$(cd "$(dirname "$0")" && pwd)
check="$here/audio_check.py"
. "$here/kzhost_lib.sh"
for tool in baresip python3; do
    command -v $tool >/dev/null || { echo "$tool is not installed (run scripts/install-deps)"; exit 1; }
done
wants() { [[ ",$phases," == *",$1,"* ]]; }
kz_ports
kz_media_ports
ctrl_a=$((sip_port + 14)) ctrl_b=$((sip_port + 15)) carol_port=$((sip_port + 16)) dave_port=$((sip_port + 17))
channels=4

kz_start_kzhost "$kzhost" ${KZ_LOG_LEVEL:+--log-level "$KZ_LOG_LEVEL"} --set kzsrv.sip.server.model=1 --set kzsrv.sip.use.nat.addr=1 \
    --set kzsrv.sip.keep.alive.msg=0 --set kzhost.channels=$channels --set kzsrv.sip.udp.switch.group=4 \
    --set kzsrv.sip.proxy.sites.num=2 \
    --set kzsrv.sip.proxy.site1.domain=127.0.0.1 --set kzsrv.sip.proxy.site2.domain=127.0.0.2 \
    --set kzsrv.sip.proxy.site2.register.qop=1 --set kzsrv.sip.proxy.site2.register.opaque=1 \
    --set kzsrv.sip.proxy.site1.recordroute=1 --set kzsrv.sip.proxy.site2.recordroute=1 \
    --set kzsrv.sip.proxy.site1.udp.relay=1 --set kzsrv.sip.proxy.site2.udp.relay=1 \
    --set kzsrv.sip.proxy.site1.check.user.status=1 --set kzsrv.sip.proxy.site2.check.user.status=1
kz_events_start
for user in '"site":1,"user":"alice","password":"alice-pw"' '"site":1,"user":"dave","password":"dave-pw"' \
    '"site":2,"user":"bob","password":"bob-pw"' '"site":2,"user":"carol","password":"carol-pw"'; do
    kz_request "{\"cmd\":\"user-add\",$user}" >/dev/null || kz_fail "kzhost refused user-add $user"
done

# A SIP user agent of its own over UDP: registers with digest (qop and opaque when challenged
# so), then in "watch" mode subscribes to the dialog event of a user and prints each NOTIFY's
# state, answering NOTIFY and OPTIONS with 200 until its time is up.
#   sipuser.py register|watch USER PASSWORD DOMAIN PORT SERVER_PORT [SECONDS WATCHED]
cat >"$kz_work/sipuser.py" <<'PY'
import hashlib, random, re, socket, sys, time
mode, user, password, domain, port, server = sys.argv[1:7]
port, server = int(port), ("127.0.0.1", int(sys.argv[6]))
seconds = float(sys.argv[7]) if len(sys.argv) > 7 else 0
watched = sys.argv[8] if len(sys.argv) > 8 else ""
sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sock.bind(("127.0.0.1", port))
tag, rnd = "%08x" % random.getrandbits(32), lambda: "%016x" % random.getrandbits(64)
md5 = lambda text: hashlib.md5(text.encode()).hexdigest()

def parse(data):
    head, _, body = data.decode(errors="replace").partition("\r\n\r\n")
    lines = head.split("\r\n")
    headers = [tuple(x.strip() for x in line.split(":", 1)) for line in lines[1:] if ":" in line]
    return lines[0], headers, body

def header(headers, name):
    return next((v for k, v in headers if k.lower() == name.lower()), "")

def answer(start, headers, sender):
    if start.startswith("NOTIFY"):
        state = re.search(r"<state>([^<]*)</state>", body_of[0])
        direction = re.search(r'direction="([^"]*)"', body_of[0])
        print("NOTIFY event=%s state=%s direction=%s" % (header(headers, "Event"), state and state.group(1),
                                                         direction and direction.group(1)), flush=True)
    to = header(headers, "To")
    lines = ["SIP/2.0 200 OK"] + ["%s: %s" % (k, v) for k, v in headers if k.lower() == "via"]
    lines += ["From: " + header(headers, "From"), "To: " + to + ("" if "tag=" in to else ";tag=" + tag),
              "Call-ID: " + header(headers, "Call-ID"), "CSeq: " + header(headers, "CSeq"), "Content-Length: 0", "", ""]
    sock.sendto("\r\n".join(lines).encode(), sender)

body_of = [""]

def receive(timeout):
    sock.settimeout(timeout)
    data, sender = sock.recvfrom(65535)
    start, headers, body = parse(data)
    if not start.startswith("SIP/2.0"):
        body_of[0] = body
        answer(start, headers, sender)
        return None
    return start, headers

def transaction(method, uri, to, extra, call_id, cseq, authorization=None):
    lines = ["%s %s SIP/2.0" % (method, uri), "Via: SIP/2.0/UDP 127.0.0.1:%d;branch=z9hG4bK%s;rport" % (port, rnd()),
             "Max-Forwards: 70", "From: <sip:%s@%s>;tag=%s" % (user, domain, tag), "To: " + to,
             "Call-ID: " + call_id, "CSeq: %d %s" % (cseq, method), "Contact: <sip:%s@127.0.0.1:%d>" % (user, port)]
    lines += extra + ([authorization] if authorization else []) + ["Content-Length: 0", "", ""]
    text = "\r\n".join(lines).encode()
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        sock.sendto(text, server)
        resend = time.monotonic() + 0.5
        while time.monotonic() < resend:
            try:
                got = receive(max(resend - time.monotonic(), 0.01))
            except socket.timeout:
                break
            if got and int(got[0].split()[1]) >= 200 and header(got[1], "CSeq").endswith(method):
                return int(got[0].split()[1]), got[1]
    sys.exit("%s: no answer to %s" % (user, method))

def authorization(headers, method, uri):
    name = "WWW-Authenticate" if header(headers, "WWW-Authenticate") else "Proxy-Authenticate"
    p = {k: a or b for k, a, b in re.findall(r'(\w+)=(?:"([^"]*)"|([^\s,]+))', header(headers, name))}
    ha1, ha2 = md5("%s:%s:%s" % (user, p["realm"], password)), md5("%s:%s" % (method, uri))
    value = 'Digest username="%s", realm="%s", nonce="%s", uri="%s", algorithm=MD5' % (user, p["realm"], p["nonce"], uri)
    if "qop" in p:
        cnonce = rnd()
        response = md5("%s:%s:00000001:%s:auth:%s" % (ha1, p["nonce"], cnonce, ha2))
        value += ', qop=auth, nc=00000001, cnonce="%s"' % cnonce
    else:
        response = md5("%s:%s:%s" % (ha1, p["nonce"], ha2))
    value += ', response="%s"' % response + (', opaque="%s"' % p["opaque"] if "opaque" in p else "")
    return ("Authorization: " if name == "WWW-Authenticate" else "Proxy-Authorization: ") + value

def with_credentials(method, uri, to, extra):
    call_id = rnd()
    code, headers = transaction(method, uri, to, extra, call_id, 1)
    if code in (401, 407):
        code, headers = transaction(method, uri, to, extra, call_id, 2, authorization(headers, method, uri))
    print("%s %s: %d" % (method, uri, code), flush=True)
    if code != 200:
        sys.exit(1)

with_credentials("REGISTER", "sip:" + domain, "<sip:%s@%s>" % (user, domain), ["Expires: 300"])
if mode == "watch":
    target = "sip:%s@%s" % (watched, domain)
    with_credentials("SUBSCRIBE", target, "<%s>" % target,
                     ["Event: dialog", "Accept: application/dialog-info+xml", "Expires: 300"])
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            receive(max(deadline - time.monotonic(), 0.01))
        except socket.timeout:
            pass
PY

# --- control: the session commands with nothing held -------------------------------------------
if wants control; then
    for bad in '{"cmd":"route","session":99,"destination":"registered"}' \
        '{"cmd":"reject","session":99,"code":486}' '{"cmd":"reject","session":99,"code":503}' \
        '{"cmd":"route","session":99,"destination":"bob@127.0.0.2"}'; do
        kz_request "$bad" >/dev/null && kz_fail "kzhost took $bad"
    done
    kz_request '{"cmd":"route-sessions","enabled":true}' >/dev/null || kz_fail "route-sessions refused"
    reply=$(kz_request '{"cmd":"sessions"}') || kz_fail "sessions refused"
    [ "$reply" = '{"event":"sessions","sessions":[],"id":"kz-request"}' ] || kz_fail "sessions listed: $reply"
    echo "control: bad session commands refused, no sessions listed"
fi

# --- unreachable: dave registers and goes silent (the wait overlaps the other phases) ----------
if wants unreachable; then
    timeout 20 python3 "$kz_work/sipuser.py" register dave dave-pw 127.0.0.1 "$dave_port" "$sip_port" \
        >"$kz_work/dave.log" 2>&1 || kz_fail "dave could not register"
    dave_registered=$SECONDS
    kz_wait_events 1 5 user-registered site=1 user=dave || kz_fail "dave's registration was not reported"
fi

# --- the phones: alice at site 1, bob at site 2, both registering through kzhost ---------------
# phone NAME DOMAIN PASSWORD SIP_PORT RTP CTRL_PORT FREQ
phone() {
    kz_baresip_config "$1" "$4" "$5" pcmu -16 "$7"
    kz_baresip_control "$1" "$6"
    printf 'module\t\t\tmwi.so\n' >>"$kz_work/$1/config"
    echo "<sip:$1@$2>;auth_pass=$3;outbound=\"sip:127.0.0.1:$sip_port\";regint=300;answermode=auto;mwi=yes;audio_codecs=PCMU/8000/1" \
        >"$kz_work/$1/accounts"
    kz_baresip_start "$1" 110
    kz_wait_events 1 10 user-registered user="$1" || kz_fail "$1 was not registered"
}
if wants mwi || wants calls || wants join; then
    phone alice 127.0.0.1 alice-pw "$baresip_a_port" "$baresip_a_rtp" "$ctrl_a" 1010
    alice_pid=$baresip_pid
    phone bob 127.0.0.2 bob-pw "$baresip_b_port" "$baresip_b_rtp" "$ctrl_b" 1510
    bob_pid=$baresip_pid
fi

# baresip's mwi module subscribes to alice's own messages once she is registered, and takes only
# the NOTIFYs of that subscription: one outside it is answered 481 and never shown. So the proof is
# baresip's own: it shows the state its subscription brought at once (nothing waiting) and, after
# "mwi", the counts; and on the wire it answered the NOTIFY with the counts 200.
if wants mwi; then
    # mwi_shown TEXT: a message summary that alice's baresip showed holds TEXT.
    mwi_shown() {
        kz_baresip_text alice | sed -n '/^----- MWI for sip:alice@127.0.0.1 -----$/,/^$/p' | grep -qF "$1"
    }
    # mwi_wait TEXT SECONDS
    mwi_wait() {
        for _ in $(seq $(($2 * 10))); do mwi_shown "$1" && return 0; sleep 0.1; done
        return 1
    }
    mwi_wait "Messages-Waiting: no" 5 || kz_fail "alice's baresip showed no message summary from its subscription"
    timeout 20 dumpcap -q -i lo -f "udp port $baresip_a_port" -w "$kz_work/mwi.pcap" >"$kz_work/mwi-dumpcap.log" 2>&1 &
    mwi_capture=$!
    kz_track $mwi_capture
    kz_wait_for_line "$kz_work/mwi-dumpcap.log" "Capturing on" 5 || sleep 1
    kz_request '{"cmd":"mwi","site":1,"user":"alice","waiting":true,"account":"sip:alice@127.0.0.1","new":3,"old":1}' \
        >/dev/null || kz_fail "mwi refused"
    mwi_wait "Voice-Message: 3/1 (0/0)" 5
    sleep 0.5 # the answer is on its way
    kz_stop $mwi_capture
    answer=$(tshark -r "$kz_work/mwi.pcap" -Y 'sip.CSeq.method == "NOTIFY" && sip.Status-Code' -T fields -e sip.Status-Line 2>/dev/null | head -1)
    mwi_shown "Messages-Waiting: yes" && mwi_shown "Voice-Message: 3/1 (0/0)" ||
        kz_fail "alice's baresip did not show Messages-Waiting: yes and Voice-Message: 3/1 (0/0) (it answered the NOTIFY: ${answer:-nothing})"
    [ "$answer" = "SIP/2.0 200 OK" ] || kz_fail "alice's baresip answered the NOTIFY with the counts: ${answer:-nothing}"
    echo "mwi: alice's baresip showed Messages-Waiting: no from its subscription, then Voice-Message: 3/1 (0/0); it answered: $answer"
fi

# capture_start NAME: UDP on lo from both phones' RTP ports, in the background.
capture_start() {
    capture_file="$kz_work/$1.pcap"
    timeout 30 dumpcap -q -i lo -f "udp and (portrange $baresip_a_rtp-$((baresip_a_rtp + 3)) or portrange $baresip_b_rtp-$((baresip_b_rtp + 3)))" \
        -w "$capture_file" >"$kz_work/$1-dumpcap.log" 2>&1 &
    capture_pid=$!
    kz_track $capture_pid
    kz_wait_for_line "$kz_work/$1-dumpcap.log" "Capturing on" 5 || sleep 1
}

# relay_verdict NAME: the phones' packets went to kzhost's ports, none straight to the other phone.
relay_verdict() {
    kz_stop "$capture_pid"
    tshark -r "$capture_file" -T fields -e udp.srcport -e udp.dstport 2>/dev/null | python3 -c '
import sys
a, b, first, last = (int(x) for x in sys.argv[1:5])
count = {"a>kzhost": 0, "b>kzhost": 0, "a>b": 0, "b>a": 0}
for line in sys.stdin:
    src, dst = (int(x) for x in line.split())
    side = "a" if a <= src < a + 4 else "b" if b <= src < b + 4 else None
    if side and first <= dst <= last:
        count[side + ">kzhost"] += 1
    elif side == "a" and b <= dst < b + 4:
        count["a>b"] += 1
    elif side == "b" and a <= dst < a + 4:
        count["b>a"] += 1
print("RTP packets:", " ".join("%s=%d" % kv for kv in count.items()))
sys.exit(0 if count["a>kzhost"] >= 100 and count["b>kzhost"] >= 100 and count["a>b"] + count["b>a"] == 0 else 1)
' "$baresip_a_rtp" "$baresip_b_rtp" "$rtp_first" "$rtp_last" || faults+=("$1: the media did not pass through kzhost's relay")
}

# hears LISTENER TALKER CALL: LISTENER's recording of the call (the last one its log names)
# against TALKER's tone.
hears() {
    local recording
    recording=$(kz_baresip_text "$1" | sed -n 's/^sndfile: dumping decode audio to //p' | tail -1)
    [ -f "$recording" ] || { faults+=("$3: $1 recorded nothing"); return; }
    echo "$3: $1 hears $2:"
    python3 "$check" analyse "$recording" --reference "$kz_work/$2/source.wav" --skip 0.5 --min-tone 2.5 ||
        faults+=("$3: $2's tone did not reach $1")
}

# wait_count FILE PATTERN COUNT SECONDS: until FILE holds COUNT lines matching PATTERN.
wait_count() {
    for _ in $(seq $(($4 * 10))); do
        [ "$(grep -cE "$2" "$1" 2>/dev/null)" -ge "$3" ] && return 0
        sleep 0.1
    done
    return 1
}

# call NAME CALLER CALLER_CTRL CALLEE URI: a call of 4 s between the phones, hung up by the caller.
calls_made=0
call() {
    local name=$1 caller=$2 ctrl=$3 callee=$4 uri=$5
    calls_made=$((calls_made + 1))
    capture_start "$name"
    kz_baresip_commands "$ctrl" 0 "dial $uri" || kz_fail "$name: $caller's baresip refused to dial"
    wait_count "$kz_work/$callee.log" "Call established" $calls_made 10 || kz_fail "$name: $callee did not answer"
    wait_count "$kz_work/$caller.log" "Call established" $calls_made 10 || kz_fail "$name: $caller's call did not connect"
    sleep 4
    kz_request '{"cmd":"sessions"}' >"$kz_work/$name-sessions.json" || kz_fail "sessions refused"
    python3 -c '
import json, sys
live = json.load(open(sys.argv[1]))["sessions"]
sys.exit(0 if len(live) == 1 and live[0]["state"] >= 9 and live[0]["dialog"] == "confirmed" and not live[0]["waiting"] else 1)
' "$kz_work/$name-sessions.json" || faults+=("$name: sessions did not list the call established: $(cat "$kz_work/$name-sessions.json")")
    kz_baresip_commands "$ctrl" 0 "hangup" || kz_fail "$name: $caller's baresip refused to hang up"
    kz_wait_events $calls_made 10 session-status ended=True code=0 || kz_fail "$name: kzhost reported no end of the session"
    relay_verdict "$name"
    hears "$callee" "$caller" "$name"
    hears "$caller" "$callee" "$name"
}

faults=()
if wants calls; then
    timeout 100 python3 "$kz_work/sipuser.py" watch carol carol-pw 127.0.0.2 "$carol_port" "$sip_port" 90 bob \
        >"$kz_work/carol.log" 2>&1 &
    kz_track $!
    kz_wait_for_line "$kz_work/carol.log" "SUBSCRIBE sip:bob@127.0.0.2: 200" 10 || kz_fail "carol's dialog subscription was refused"

    python3 -u "$here/../../examples/proxy_router.py" --port "$ctl_port" --route bob=registered --listen 100 \
        >"$kz_work/router.log" 2>&1 &
    router_pid=$!
    kz_track $router_pid
    kz_wait_for_line "$kz_work/router.log" "routing calls" 10 || kz_fail "the router did not take over routing"

    call routed alice "$ctrl_a" bob sip:bob@127.0.0.2
    grep -qE "session [0-9]+ routed to sip:bob" "$kz_work/kzhost.log" || faults+=("routed: kzhost did not route the call by the router's answer")
    kz_wait_for_line "$kz_work/carol.log" "state=terminated" 5 || faults+=("carol heard no end of bob's dialog")
    states=$(sed -n 's/^NOTIFY event=dialog state=\([a-z]*\) direction=recipient$/\1/p' "$kz_work/carol.log" | tr '\n' ' ')
    [ "$states" = "early confirmed terminated " ] || faults+=("carol heard bob's dialog as: $states")

    kz_baresip_commands "$ctrl_a" 0 "dial sip:carol@127.0.0.2" || kz_fail "alice's baresip refused to dial carol"
    kz_wait_for_line "$kz_work/alice.log" "404 Not Found" 10 || faults+=("alice was not given the router's 404")
    grep -q "rejected 404 Not Found" "$kz_work/kzhost.log" || faults+=("kzhost did not reject the call by the router's answer")

    kz_stop "$router_pid"
    call default bob "$ctrl_b" alice sip:alice@127.0.0.1
    grep -q "routed to its callee's registration" "$kz_work/kzhost.log" || faults+=("default: the call was not routed by default")
    # bob calls from site 2 into site 1: his watchers at site 2 hear him as the initiator.
    kz_wait_for_line "$kz_work/carol.log" "state=terminated direction=initiator" 5 || true
    states=$(sed -n 's/^NOTIFY event=dialog state=\([a-z]*\) direction=initiator$/\1/p' "$kz_work/carol.log" | tr '\n' ' ')
    [ "$states" = "early confirmed terminated " ] || faults+=("carol heard bob's own call as: $states")
fi
# --- join: two calls joined into one ---------------------------------------------------------
# answerer.py NAME PORT RTP SECONDS: a user agent that answers every INVITE 200 with an SDP for
# RTP (it sends none), every other request 200, and prints each request's method.
if wants join; then
    cat >"$kz_work/answerer.py" <<'PY'
import random, socket, sys, time
name, port, rtp, seconds = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])
sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sock.bind(("127.0.0.1", port))
tag = "%08x" % random.getrandbits(32)
sdp = ("v=0\r\no=%s 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
       "m=audio %d RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\na=sendrecv\r\n" % (name, rtp))
deadline = time.monotonic() + seconds
while time.monotonic() < deadline:
    sock.settimeout(max(deadline - time.monotonic(), 0.01))
    try:
        data, sender = sock.recvfrom(65535)
    except socket.timeout:
        break
    head = data.decode(errors="replace").split("\r\n\r\n")[0].split("\r\n")
    if head[0].startswith("SIP/2.0"):
        continue
    method = head[0].split()[0]
    print(method, flush=True)
    if method == "ACK":
        continue
    keep = [l for l in head[1:] if l.split(":")[0].strip().lower() in ("via", "record-route", "from", "call-id", "cseq")]
    to = next(l for l in head[1:] if l.split(":")[0].strip().lower() in ("to", "t"))
    lines = ["SIP/2.0 200 OK"] + keep + [to + ("" if "tag=" in to else ";tag=" + tag)]
    body = sdp if method == "INVITE" else ""
    if body:
        lines += ["Contact: <sip:%s@127.0.0.1:%d>" % (name, port), "Content-Type: application/sdp"]
    lines += ["Content-Length: %d" % len(body), "", body]
    sock.sendto("\r\n".join(lines).encode(), sender)
PY
    erin_port=$((sip_port + 18)) frank_port=$((sip_port + 19))
    for who in "erin $erin_port $((sip_port + 36))" "frank $frank_port $((sip_port + 38))"; do
        set -- $who
        timeout 60 python3 "$kz_work/answerer.py" "$1" "$2" "$3" 55 >"$kz_work/$1.log" 2>&1 &
        kz_track $!
    done
    python3 -u "$here/../../examples/proxy_router.py" --port "$ctl_port" --listen 60 \
        --route erin=sip:erin@127.0.0.1:$erin_port --route frank=sip:frank@127.0.0.1:$frank_port \
        >"$kz_work/join-router.log" 2>&1 &
    join_router=$!
    kz_track $join_router
    kz_wait_for_line "$kz_work/join-router.log" "routing calls" 10 || kz_fail "join: the router did not take over routing"
    alice_before=$(grep -c "Call established" "$kz_work/alice.log") bob_before=$(grep -c "Call established" "$kz_work/bob.log")
    capture_start join
    kz_baresip_commands "$ctrl_a" 0 "dial sip:erin@127.0.0.1" || kz_fail "join: alice's baresip refused to dial"
    kz_baresip_commands "$ctrl_b" 0 "dial sip:frank@127.0.0.1" || kz_fail "join: bob's baresip refused to dial"
    wait_count "$kz_work/alice.log" "Call established" $((alice_before + 1)) 10 || kz_fail "join: alice's call to erin did not connect"
    wait_count "$kz_work/bob.log" "Call established" $((bob_before + 1)) 10 || kz_fail "join: bob's call to frank did not connect"
    sleep 1
    kz_request '{"cmd":"sessions"}' >"$kz_work/join-sessions.json" || kz_fail "join: sessions refused"
    read -r first second < <(python3 -c '
import json, sys
live = json.load(open(sys.argv[1]))["sessions"]
pick = lambda who: next(s["session"] for s in live if who in s["uri"])
print(pick("erin"), pick("frank"))
' "$kz_work/join-sessions.json") || kz_fail "join: the two calls are not listed: $(cat "$kz_work/join-sessions.json")"
    kz_request "{\"cmd\":\"join\",\"session\":$first,\"leg\":\"caller\",\"with\":$second,\"with_leg\":\"caller\"}" \
        >"$kz_work/join-reply.json" || kz_fail "join refused: $(cat "$kz_work/join-reply.json")"
    kz_wait_events 2 10 session-status ended=True reason="Success - Joined" || faults+=("join: the two sessions did not end joined")
    for who in erin frank; do
        kz_wait_for_line "$kz_work/$who.log" "^BYE" 5 || faults+=("join: $who was not released")
    done
    joined=$(kz_events session-status | python3 -c '
import json, sys
for line in sys.stdin:
    event = json.loads(line)
    if event.get("text", "").startswith("joined") and not event.get("ended"):
        print(event["session"])
        break')
    [ -n "$joined" ] || faults+=("join: no joined session was reported")
    sleep 4
    kz_baresip_commands "$ctrl_a" 0 "hangup" || kz_fail "join: alice's baresip refused to hang up"
    kz_wait_events 1 10 session-status ended=True session="${joined:-0}" code=0 reason=Success ||
        faults+=("join: alice's hang-up did not end the joined session")
    kz_wait_for_line "$kz_work/bob.log" "terminated" 5 || faults+=("join: bob's call did not end with alice's hang-up")
    kz_stop "$join_router"
    relay_verdict join
    hears bob alice join
    hears alice bob join
    echo "join: sessions $first and $second joined as session ${joined:-?}; $(kz_baresip_text alice | grep -c 'Call established') established at alice"
fi

# The phones have nothing left to do: no unregistration round (baresip waits out SIGTERM for it).
for pid in ${alice_pid:-} ${bob_pid:-}; do
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
done

if wants unreachable; then
    left=$((dave_registered + 50 - SECONDS))
    kz_wait_events 1 $((left > 1 ? left : 1)) user-unregistered site=1 user=dave ||
        faults+=("dave, silent, was not reported unregistered within 50 s of registering")
    grep -q "user dave of site 1 unregistered" "$kz_work/kzhost.log" || faults+=("kzhost did not print dave's end")
fi

[ ${#faults[@]} = 0 ] || kz_fail "$(printf '%s; ' "${faults[@]}")"
echo "PASS: $phases"
