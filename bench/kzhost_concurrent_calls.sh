#!/usr/bin/env bash
# Concurrent established calls: sipp places CALLS calls that each stay up HOLD seconds, against
# kzhost with CALLS channels answering automatically; when every call is connected, kzhost's
# resident memory (VmRSS) is read again. Prints the memory per call, and what is left once the
# calls have ended.
#   bench/kzhost_concurrent_calls.sh [KZHOST=build/app/kzhost] [CALLS=2000] [RATE=200] [HOLD=30]
set -u
kzhost=${1:-build/app/kzhost}
calls=${2:-2000}
rate=${3:-200}
hold=${4:-30}
. "$(dirname "$0")/kzhost_bench_lib.sh"

# Each channel reserves 4 RTP ports; every call holds sockets, so the descriptor limit goes up.
ulimit -n "$(ulimit -Hn)" 2>/dev/null
base=$(kz_port_block $((calls * 4 + 60))) || exit 1
sip=$base ctl=$((base + 2)) sipp_port=$((base + 10)) media=$((base + 20))
rtp_first=$((base + 60)) rtp_last=$((base + 60 + calls * 4 - 1))

rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
busy_channels() {
    python3 - "$ctl" <<'PY'
import json, socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=10)
s.sendall(b'{"cmd":"unsubscribe"}\n{"cmd":"calls","id":1}\n')
data = b""
while True:
    chunk = s.recv(1 << 20)
    if not chunk:
        break
    data += chunk
    for line in data.split(b"\n")[:-1]:
        if line.startswith(b"{") and b'"id":1' in line:
            reply = json.loads(line)
            print(sum(1 for c in reply.get("channels", []) if not c.get("idle")))
            sys.exit(0)
PY
}

"$kzhost" --set kzsrv.sip.ip.address=127.0.0.1 --set kzsrv.sip.ip.port="$sip" --set kzhost.control.port="$ctl" \
    --set kzhost.channels="$calls" --set kzsrv.sip.callcontrol.auto.answercall=1 \
    --set kzsrv.sip.rtpstartrange="$rtp_first" --set kzsrv.sip.rtpendrange="$rtp_last" >"$work/kzhost.log" 2>&1 &
kz=$!
pids+=($kz)
for _ in $(seq 200); do grep -q "control socket on" "$work/kzhost.log" && break; sleep 0.05; done
grep -q "control socket on" "$work/kzhost.log" || { echo "kzhost did not start:"; cat "$work/kzhost.log"; exit 1; }
sleep 1
idle_kb=$(rss_kb $kz)

timeout $((calls / rate + hold + 120)) sipp -sf "$root/tests/sipp/uac_call.xml" "127.0.0.1:$sip" -i 127.0.0.1 \
    -p "$sipp_port" -mp "$media" -m "$calls" -l "$calls" -r "$rate" -d $((hold * 1000)) -nostdin \
    -timeout $((calls / rate + hold + 100)) -recv_timeout 20000 >"$work/sipp.log" 2>&1 &
sipp_pid=$!
pids+=($sipp_pid)

# All calls are up once every channel is busy; the ramp takes CALLS/RATE seconds.
up=0 peak_kb=0
for _ in $(seq $((calls / rate + hold))); do
    sleep 1
    up=$(busy_channels) || up=0
    [ "$up" -ge "$calls" ] && break
done
peak_kb=$(rss_kb $kz)
wait $sipp_pid
rc=$?
sleep 2
after_kb=$(rss_kb $kz)

echo "kzhost with $calls channels: idle $idle_kb kB resident"
echo "$up calls connected at once: $peak_kb kB resident, $(((peak_kb - idle_kb) / (up > 0 ? up : 1))) kB per call"
echo "after the calls ended: $after_kb kB resident ($((after_kb - idle_kb)) kB above idle)"
grep -E "Successful call|Failed call" "$work/sipp.log" | tail -2
[ $rc -eq 0 ] || { echo "sipp exit status $rc"; tail -20 "$work/sipp.log"; exit 1; }
