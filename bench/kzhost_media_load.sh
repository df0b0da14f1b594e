#!/usr/bin/env bash
# Media load: kzhost B places CALLS calls through its control socket to kzhost A, which answers
# them; every connected call sends G.711 both ways every 20 ms on its own. After the calls are up
# and have settled, a WINDOW-second steady state is measured:
#   - CPU of each kzhost (user + system from /proc/PID/stat over the window), per call leg
#   - packets lost (the sum of "lost" that "calls" reports on both kzhosts)
#   - send-interval jitter p50/p99/max and late DSP ticks ("media-stats" of each kzhost)
#   - resident memory per call (VmRSS with the calls up minus idle, divided by the calls)
# Then one baresip-to-baresip PCMU call is measured the same way over the same window, and the
# CPU per call leg of both is compared (a leg: one end sending and receiving one stream; baresip's
# figure includes its file source and null player).
#   bench/kzhost_media_load.sh [KZHOST=build/app/kzhost] [CALLS=500] [WINDOW=30] [RATE=100]
# KZHOST_SETTINGS adds settings to both kzhosts, e.g. KZHOST_SETTINGS="--set kzsrv.srtp.type=2"
# for the same load over SRTP.
set -u
kzhost=${1:-build/app/kzhost}
calls=${2:-500}
window=${3:-30}
rate=${4:-100}
. "$(dirname "$0")/kzhost_bench_lib.sh"
check="$root/tests/integration/audio_check.py"

# Each channel reserves 4 RTP ports; every call holds sockets, so the descriptor limit goes up.
ulimit -n "$(ulimit -Hn)" 2>/dev/null
channels=$((calls + 10))
base=$(kz_port_block $((channels * 8 + 100))) || exit 1
sip_a=$base ctl_a=$((base + 2)) sip_b=$((base + 4)) ctl_b=$((base + 6))
bare_a=$((base + 10)) bare_b=$((base + 12)) bare_rtp=$((base + 20))
rtp_a=$((base + 100)) rtp_b=$((base + 100 + channels * 4))
hz=$(getconf CLK_TCK)

cpu_ticks() { awk '{ sub(/.*\) /, ""); print $12 + $13 }' "/proc/$1/stat"; } # utime + stime
rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
calc() { printf '%.2f' "$(echo "scale=6; $*" | bc)"; }
calc4() { printf '%.4f' "$(echo "scale=8; $*" | bc)"; }

# The control client: "dial N RATE TO" places N calls at RATE per second and waits until all are
# connected; "totals" prints the calls up, their codecs and the sum of "lost"; "media-stats" the
# reply of that command; "hangup-all" ends every call.
cat >"$work/loadctl.py" <<'PY'
import collections, json, socket, sys, time
port, what = int(sys.argv[1]), sys.argv[2]
s = socket.create_connection(("127.0.0.1", port), timeout=30)

class Lines:
    """The lines kzhost sends. Not a makefile(): after one time-out that can no longer be read;
    here a time-out leaves what arrived in the buffer for the next call."""

    def __init__(self):
        self.buffer = b""

    def __iter__(self):
        return self

    def __next__(self):
        while b"\n" not in self.buffer:
            chunk = s.recv(65536)
            if not chunk:
                raise StopIteration
            self.buffer += chunk
        line, _, self.buffer = self.buffer.partition(b"\n")
        return line

lines = Lines()
ids = iter(range(1, 1 << 30))

def request(obj):
    obj["id"] = next(ids)
    s.sendall(json.dumps(obj).encode() + b"\n")
    return next(r for r in map(json.loads, lines) if r.get("id") == obj["id"])

if what == "dial":
    count, rate, to = int(sys.argv[3]), float(sys.argv[4]), sys.argv[5]
    request({"cmd": "subscribe", "events": ["connected", "released"]})
    connected, released, start = 0, 0, time.monotonic()
    reasons = collections.Counter()
    for n in range(count):
        obj = {"cmd": "dial", "to": to, "id": "d%d" % n}
        s.sendall(json.dumps(obj).encode() + b"\n")
        time.sleep(max(0, start + (n + 1) / rate - time.monotonic()))
    deadline = time.monotonic() + 60
    s.settimeout(5)
    while connected + released < count and time.monotonic() < deadline:
        try:
            msg = json.loads(next(lines))
        except socket.timeout:
            continue
        if msg.get("event") == "connected":
            connected += 1
        elif msg.get("event") == "released" or (msg.get("event") == "error" and str(msg.get("id", "")).startswith("d")):
            released += 1
            reasons[" ".join(str(msg.get(k, "")) for k in ("event", "cause", "text", "reason")).strip()] += 1
    for reason, n in reasons.items():
        print("not connected: %d x %s" % (n, reason), file=sys.stderr)
    print(connected)
elif what == "totals":
    channels = request({"cmd": "calls"}).get("channels", [])
    up = [c for c in channels if c.get("state") == "connected"]
    codecs = sorted({c.get("codec", "") for c in up})
    lost = [c["lost"] for c in up if "lost" in c]
    print(len(up), ",".join(codecs) or "-", sum(lost) if lost else "n/a")
elif what == "media-stats":
    reply = request({"cmd": "media-stats"})
    if reply.get("event") == "error":
        print("n/a (%s)" % reply.get("reason"))
    else:
        keys = ("send_jitter_p50_ms", "send_jitter_p99_ms", "send_jitter_max_ms", "dsp_late_p99_ms")
        print(" ".join("%s=%s" % (k, reply.get(k, "?")) for k in keys))
elif what == "hangup-all":
    for c in request({"cmd": "calls"}).get("channels", []):
        if not c.get("idle"):
            request({"cmd": "hangup", "channel": c["channel"]})
PY
ctl() { timeout 300 python3 "$work/loadctl.py" "$@"; }

start_kzhost() { # NAME SIP CTL RTP_FIRST [args...]
    local name=$1 sip=$2 ctl=$3 rtp=$4
    shift 4
    "$kzhost" --set kzsrv.sip.ip.address=127.0.0.1 --set kzsrv.sip.ip.port="$sip" --set kzhost.control.port="$ctl" \
        --set kzhost.channels="$channels" --set kzsrv.sip.prefered.codec=0,8 \
        --set kzsrv.sip.rtpstartrange="$rtp" --set kzsrv.sip.rtpendrange=$((rtp + channels * 4 - 1)) \
        ${KZHOST_SETTINGS:-} "$@" >"$work/$name.log" 2>&1 &
    pids+=($!)
    kz_pid=$!
    for _ in $(seq 200); do grep -q "control socket on" "$work/$name.log" && return 0; sleep 0.05; done
    echo "kzhost $name did not start:"
    cat "$work/$name.log"
    exit 1
}

# window_cpu PID...: CPU seconds each process used over the window, slept through here.
window_cpu() {
    local before=() p i=0
    for p in "$@"; do before+=("$(cpu_ticks "$p")"); done
    sleep "$window"
    for p in "$@"; do
        calc "($(cpu_ticks "$p") - ${before[$i]}) / $hz"
        echo
        i=$((i + 1))
    done
}

start_kzhost a "$sip_a" "$ctl_a" "$rtp_a" --answer-after 0
kz_a=$kz_pid
start_kzhost b "$sip_b" "$ctl_b" "$rtp_b"
kz_b=$kz_pid
sleep 1
idle_a=$(rss_kb $kz_a) idle_b=$(rss_kb $kz_b)

up=$(ctl "$ctl_b" dial "$calls" "$rate" "sip:load@127.0.0.1:$sip_a") || up=0
[ "$up" -ge "$calls" ] || echo "only $up of $calls calls connected"
sleep 5 # jitter buffers fill, the first reports go by
read -r up_a codecs_a _ <<<"$(ctl "$ctl_a" totals)"
read -r up_b codecs_b _ <<<"$(ctl "$ctl_b" totals)"
rss_a=$(rss_kb $kz_a) rss_b=$(rss_kb $kz_b)
mapfile -t cpu < <(window_cpu $kz_a $kz_b)
read -r _ _ lost_a <<<"$(ctl "$ctl_a" totals)"
read -r _ _ lost_b <<<"$(ctl "$ctl_b" totals)"
stats_a=$(ctl "$ctl_a" media-stats)
stats_b=$(ctl "$ctl_b" media-stats)
ctl "$ctl_b" hangup-all

legs=$((up_a + up_b))
[ "$legs" -gt 0 ] || { echo "no calls up: nothing to measure"; tail -5 "$work/a.log" "$work/b.log"; exit 1; }
echo "kzhost: $calls calls placed at $rate/s, $up_a up on A ($codecs_a), $up_b up on B ($codecs_b); ${window} s window"
echo "  CPU: A $(calc "${cpu[0]} * 100 / $window")% B $(calc "${cpu[1]} * 100 / $window")% of one core;" \
    "per call leg $(calc4 "(${cpu[0]} + ${cpu[1]}) * 100 / $window / $legs")%"
echo "  packets lost: A $lost_a, B $lost_b"
echo "  media-stats A: $stats_a"
echo "  media-stats B: $stats_b"
echo "  resident: A $(((rss_a - idle_a) / (up_a > 0 ? up_a : 1))) kB per call, B $(((rss_b - idle_b) / (up_b > 0 ? up_b : 1))) kB per call" \
    "(idle A $idle_a kB, B $idle_b kB)"

# The same for one baresip-to-baresip call: PCMU, a tone file as microphone, a null speaker.
python3 "$check" tone "$work/tone.wav" --seconds $((window + 30)) || exit 1
baresip_config() { # NAME SIP_PORT RTP_FIRST
    mkdir -p "$work/$1"
    cat >"$work/$1/config" <<CFG
poll_method		epoll
sip_listen		127.0.0.1:$2
rtp_ports		$3-$(($3 + 3))
audio_source		aufile,$work/tone.wav
audio_player		aubridge,nil-$1
audio_alert		aubridge,nil-$1
module_path		/usr/lib/baresip/modules
module			g711.so
module			aufile.so
module			aubridge.so
module_tmp		account.so
module_app		menu.so
CFG
    echo "<sip:$1@127.0.0.1>;regint=0;answermode=auto;audio_codecs=PCMU/8000/1" >"$work/$1/accounts"
}
baresip_config callee "$bare_b" "$bare_rtp"
baresip_config caller "$bare_a" $((bare_rtp + 4))
life=$((window + 20))
baresip -f "$work/callee" -n 127.0.0.1 -t $life </dev/null >"$work/callee.log" 2>&1 &
callee=$!
pids+=($callee)
sleep 1
baresip -f "$work/caller" -n 127.0.0.1 -t $life -e "/dial sip:callee@127.0.0.1:$bare_b" </dev/null >"$work/caller.log" 2>&1 &
caller=$!
pids+=($caller)
for _ in $(seq 100); do grep -q "Call established" "$work/callee.log" && break; sleep 0.1; done
grep -q "Call established" "$work/callee.log" || { echo "baresip call not established"; exit 1; }
sleep 5
mapfile -t bcpu < <(window_cpu $caller $callee)
bare_leg=$(calc4 "(${bcpu[0]} + ${bcpu[1]}) * 100 / $window / 2")
kz_leg=$(calc4 "(${cpu[0]} + ${cpu[1]}) * 100 / $window / $legs")
echo "baresip: one PCMU call, CPU caller $(calc "${bcpu[0]} * 100 / $window")% callee $(calc "${bcpu[1]} * 100 / $window")%;" \
    "per call leg $bare_leg%"
if [ "$(echo "$kz_leg > 0" | bc)" = 1 ]; then
    echo "per call leg, baresip uses $(calc "$bare_leg / $kz_leg") times kzhost's CPU ($bare_leg% / $kz_leg%)"
else
    echo "kzhost's CPU per call leg rounds to 0: no ratio"
fi
