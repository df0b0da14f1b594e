#!/usr/bin/env bash
# A legitimate user's registration time at kzhost's registrar, without and then during a REGISTER
# flood with wrong credentials, in the same run:
#   bench/kzhost_register_flood.sh [KZHOST=build/app/kzhost] [FLOOD_SECONDS=20] [FLOOD_RATE=0]
# (KZ_FLOOD_PERF=FILE also records a perf profile of kzhost during the flood.)
# kzhost in server mode, site 1 (domain 127.0.0.1) with the users alice and victim. The legitimate
# client (127.0.0.2) registers alice again and again: REGISTER, 407, REGISTER with her digest, 200
# (re-sent after 0.5, 1, 2 and 4 s like any UDP client; given up after 8 s), 50 ms apart. The
# flooder (127.0.0.3) sends REGISTERs for victim with a wrong digest over a nonce of kzhost's
# that it renews every 2 s (so each one is checked in full), FLOOD_RATE a second (0: as fast as
# it goes). Printed: median and p95 of the registration time without and with the flood, their
# ratio, registrations lost, and what the flooder sent and had answered.
set -u
kzhost=${1:-build/app/kzhost}
flood_seconds=${2:-20}
flood_rate=${3:-0}
. "$(dirname "$0")/kzhost_bench_lib.sh"

base=$(kz_port_block 200) || exit 1
sip=$base ctl=$((base + 2))
"$kzhost" --set kzsrv.sip.ip.address=127.0.0.1 --set kzsrv.sip.ip.port="$sip" --set kzsrv.sip.protocol=1 \
    --set kzhost.control.port="$ctl" --set kzhost.channels=0 --set kzsrv.sip.server.model=1 \
    --set kzsrv.sip.use.nat.addr=1 --set kzsrv.sip.keep.alive.msg=0 --set kzsrv.sip.proxy.sites.num=1 \
    --set kzsrv.sip.proxy.site1.domain=127.0.0.1 >"$work/kzhost.log" 2>&1 &
kzhost_pid=$!
pids+=("$kzhost_pid")
for _ in $(seq 200); do grep -q "control socket on" "$work/kzhost.log" && break; sleep 0.05; done
grep -q "control socket on" "$work/kzhost.log" || { echo "kzhost did not start"; tail "$work/kzhost.log"; exit 1; }
python3 - "$ctl" <<'PY' || exit 1
import json, socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=10)
lines = s.makefile("rb")
for n, user in enumerate(("alice", "victim")):
    s.sendall(json.dumps({"cmd": "user-add", "site": 1, "user": user, "password": user + "-pw", "id": n}).encode() + b"\n")
    while True:
        reply = json.loads(next(lines))
        if reply.get("id") == n:
            break
    if reply.get("event") != "ok":
        sys.exit("user-add %s: %s" % (user, reply))
PY

cat >"$work/sip.py" <<'PY'
import hashlib, os, re, socket, time

def md5(text):
    return hashlib.md5(text.encode()).hexdigest()

def register(port, src, user, n, cseq, auth=""):
    return ("REGISTER sip:127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP %s:%d;branch=z9hG4bK-%s-%d;rport\r\n"
            "Max-Forwards: 70\r\nFrom: <sip:%s@127.0.0.1>;tag=t%s\r\nTo: <sip:%s@127.0.0.1>\r\n"
            "Call-ID: %s@%s\r\nCSeq: %d REGISTER\r\nContact: <sip:%s@%s:%d>\r\nExpires: 300\r\n%s"
            "Content-Length: 0\r\n\r\n" % (src[0], src[1], n, cseq, user, n, user, n, src[0], cseq,
                                            user, src[0], src[1], auth)).encode()

def challenge(text):
    return (re.search(r'realm="([^"]*)"', text).group(1), re.search(r'nonce="([^"]*)"', text).group(1))

def authorization(user, password, realm, nonce):
    uri = "sip:127.0.0.1"
    response = md5("%s:%s:%s" % (md5("%s:%s:%s" % (user, realm, password)), nonce, md5("REGISTER:" + uri)))
    return ('Proxy-Authorization: Digest username="%s", realm="%s", nonce="%s", uri="%s", '
            'response="%s", algorithm=MD5\r\n' % (user, realm, nonce, uri, response))
PY

# The legitimate client: registration times in ms, one a line; "lost" for one given up.
cat >"$work/legit.py" <<'PY'
import socket, sys, time
sys.path.insert(0, sys.argv[1])
from sip import *
port, out, seconds, count = int(sys.argv[2]), sys.argv[3], float(sys.argv[4]), int(sys.argv[5])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.2", 0))
src = s.getsockname()

def transaction(message, call_id, cseq):
    # Sends and re-sends like a UDP client until the final answer for this CSeq comes.
    start = time.monotonic()
    for wait in (0.5, 1, 2, 4, 0.5):
        s.sendto(message, ("127.0.0.1", port))
        end = time.monotonic() + wait
        while time.monotonic() < end:
            s.settimeout(max(end - time.monotonic(), 0.001))
            try:
                text = s.recv(65536).decode(errors="replace")
            except socket.timeout:
                break
            if call_id in text and "CSeq: %d REGISTER" % cseq in text and not text.startswith("SIP/2.0 1"):
                return text
        if time.monotonic() - start > 8:
            break
    return None

results = []
stop = time.monotonic() + seconds
n = 0
while time.monotonic() < stop and (count == 0 or n < count):
    n += 1
    tag = "%d-%d" % (os.getpid(), n)
    start = time.monotonic()
    first = transaction(register(port, src, "alice", tag, 1), tag + "@", 1)
    answer = None
    if first and first.startswith("SIP/2.0 407"):
        realm, nonce = challenge(first)
        answer = transaction(register(port, src, "alice", tag, 2, authorization("alice", "alice-pw", realm, nonce)),
                             tag + "@", 2)
    ok = answer is not None and answer.startswith("SIP/2.0 200")
    results.append("%.3f" % ((time.monotonic() - start) * 1000) if ok else "lost")
    time.sleep(0.05)
open(out, "w").write("\n".join(results) + "\n")
PY

# The flooder: "sent answered" at the end.
cat >"$work/flood.py" <<'PY'
import os, socket, sys, time
sys.path.insert(0, sys.argv[1])
from sip import *
port, seconds, rate = int(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.3", 0))
s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
src = s.getsockname()
answered = 0

def fresh_nonce(tries):
    # A new nonce while kzhost still answers; the flood goes on regardless.
    global answered
    probe = register(port, src, "victim", "probe-%d" % time.monotonic_ns(), 1)
    s.settimeout(0.2)
    for _ in range(tries):
        s.sendto(probe, ("127.0.0.1", port))
        try:
            while True:
                text = s.recv(65536).decode(errors="replace")
                answered += 1
                if "probe-" in text and text.startswith("SIP/2.0 407"):
                    return challenge(text)
        except socket.timeout:
            pass
    return None

def batch(realm, nonce):
    auth = authorization("victim", "not-the-password", realm, nonce)
    return [register(port, src, "victim", "f%d-%d" % (os.getpid(), i), 1, auth) for i in range(512)]

realm, nonce = fresh_nonce(25) or sys.exit("no challenge for the flooder")
messages = batch(realm, nonce)
s.setblocking(False)
sent, start = 0, time.monotonic()
renewed = start
end = start + seconds
while True:
    now = time.monotonic()
    if now >= end:
        break
    if now - renewed >= 2:
        s.setblocking(True)
        renewal = fresh_nonce(1)
        s.setblocking(False)
        if renewal:
            realm, nonce = renewal
            messages = batch(realm, nonce)
        renewed = time.monotonic()
    for m in messages[:64]:
        try:
            s.sendto(m, ("127.0.0.1", port))
            sent += 1
        except BlockingIOError:
            pass
    messages = messages[64:] + messages[:64]
    try:
        while True:
            s.recv(65536)
            answered += 1
    except BlockingIOError:
        pass
    if rate > 0:
        ahead = sent / rate - (time.monotonic() - start)
        if ahead > 0:
            time.sleep(ahead)
print(sent, answered)
PY

summary() { # label file
    python3 - "$@" <<'PY'
import statistics, sys
label, path = sys.argv[1], sys.argv[2]
values = [l.strip() for l in open(path) if l.strip()]
times = sorted(float(v) for v in values if v != "lost")
lost = len(values) - len(times)
if not times:
    print("%s: no registration succeeded (%d lost)" % (label, lost))
    sys.exit()
p95 = times[min(len(times) - 1, int(round(0.95 * len(times))) - 1)]
print("%s: %d registrations, median %.2f ms, p95 %.2f ms, max %.2f ms, %d lost" %
      (label, len(times), statistics.median(times), p95, times[-1], lost))
open(path + ".summary", "w").write("%f %f\n" % (statistics.median(times), p95))
PY
}

stats() { # the stack's counters, as one line
    python3 - "$ctl" <<'PY'
import json, socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=10)
s.sendall(b'{"cmd":"stats","id":"s"}\n')
for line in s.makefile("rb"):
    reply = json.loads(line)
    if reply.get("id") == "s":
        print(" ".join("%s=%s" % (k, reply[k]) for k in ("received", "delivered", "dropped", "queued_bytes_peak", "dialogs")))
        break
PY
}

cpu() { awk '{ print $14 + $15 }' "/proc/$kzhost_pid/stat"; }

# Without the flood.
python3 "$work/legit.py" "$work" "$sip" "$work/quiet.times" 60 100 || exit 1
summary "without flood" "$work/quiet.times"

echo "stack before the flood: $(stats)"

# With it: the legitimate client starts a second after the flood and stops a second before its end.
cpu_before=$(cpu)
python3 "$work/flood.py" "$work" "$sip" "$flood_seconds" "$flood_rate" >"$work/flood.out" &
flood_pid=$!
pids+=("$flood_pid")
sleep 1
# KZ_FLOOD_PERF=FILE: a perf profile of kzhost during the flood, into FILE.
if [ -n "${KZ_FLOOD_PERF:-}" ]; then
    perf record -F 999 -g -p "$kzhost_pid" -o "$KZ_FLOOD_PERF" -- sleep $((flood_seconds - 3)) >"$work/perf.log" 2>&1 &
    pids+=("$!")
fi
python3 "$work/legit.py" "$work" "$sip" "$work/flood.times" $((flood_seconds - 2)) 0 || exit 1
wait "$flood_pid"
cpu_after=$(cpu)
echo "stack at the flood's end: $(stats)"
read -r sent answered <"$work/flood.out"
summary "during flood" "$work/flood.times"
echo "flood: $sent REGISTERs sent in $flood_seconds s ($((sent / flood_seconds))/s), $answered answered ($((answered / flood_seconds))/s)"
echo "kzhost log: $(wc -l <"$work/kzhost.log") lines, $(grep -c "is not allowed" "$work/kzhost.log") about packets refused"
echo "kzhost CPU during the flood: $(((cpu_after - cpu_before) * 100 / $(getconf CLK_TCK) / flood_seconds)) % of a core"
read -r q50 q95 <"$work/quiet.times.summary"
read -r f50 f95 <"$work/flood.times.summary" 2>/dev/null || { echo "ratio: no registration during the flood"; exit 0; }
python3 -c "import sys; a = list(map(float, sys.argv[1:])); print('ratio flood/quiet: median %.2fx, p95 %.2fx' % (a[2] / a[0], a[3] / a[1]))" \
    "$q50" "$q95" "$f50" "$f95"
