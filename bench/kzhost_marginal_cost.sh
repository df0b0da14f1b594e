#!/usr/bin/env bash
# Signalling cost of one more call as calls pile up: kzhost's CPU time (user + system, from
# /proc/PID/stat) for a burst of BURST short calls (INVITE with SDP, 200, ACK, BYE) while 10 calls
# are held up, and again while CALLS calls are held up. Prints both costs per call and their ratio.
#   bench/kzhost_marginal_cost.sh [KZHOST=build/app/kzhost] [CALLS=2000] [BURST=1000] [RATE=200]
set -u
kzhost=${1:-build/app/kzhost}
calls=${2:-2000}
burst=${3:-1000}
rate=${4:-200}
. "$(dirname "$0")/kzhost_bench_lib.sh"

ulimit -n "$(ulimit -Hn)" 2>/dev/null
channels=$((calls + 10 + rate))
base=$(kz_port_block $((channels * 4 + 100))) || exit 1
sip=$base ctl=$((base + 2)) hold_port=$((base + 10)) burst_port=$((base + 20)) media=$((base + 30))
rtp_first=$((base + 100)) rtp_last=$((base + 100 + channels * 4 - 1))
hz=$(getconf CLK_TCK)

cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
connected() { grep -c " connected " "$work/kzhost.log"; }

"$kzhost" --set kzsrv.sip.ip.address=127.0.0.1 --set kzsrv.sip.ip.port="$sip" --set kzhost.control.port="$ctl" \
    --set kzhost.channels="$channels" --set kzsrv.sip.callcontrol.auto.answercall=1 \
    --set kzsrv.sip.rtpstartrange="$rtp_first" --set kzsrv.sip.rtpendrange="$rtp_last" >"$work/kzhost.log" 2>&1 &
kz=$!
pids+=($kz)
for _ in $(seq 200); do grep -q "control socket on" "$work/kzhost.log" && break; sleep 0.05; done
grep -q "control socket on" "$work/kzhost.log" || { echo "kzhost did not start:"; cat "$work/kzhost.log"; exit 1; }

# Holds n calls up (sipp's port offset by slot) and waits until kzhost has connected them all.
hold() { # n port
    local before
    before=$(connected)
    sipp -sf "$root/tests/sipp/uac_call.xml" "127.0.0.1:$sip" -i 127.0.0.1 -p "$2" -mp $((media + 5 * ($2 - hold_port))) \
        -m "$1" -l "$1" -r "$rate" -d 3600000 -nostdin -timeout 3700 >"$work/hold$2.log" 2>&1 &
    pids+=($!)
    for _ in $(seq $(($1 / rate + 60))); do
        [ $(($(connected) - before)) -ge "$1" ] && return 0
        sleep 1
    done
    echo "only $(($(connected) - before)) of $1 held calls connected"
    return 1
}

# kzhost CPU milliseconds per call of one burst.
burst_cost() {
    local t0 t1
    t0=$(cpu_ticks $kz)
    timeout $((burst / rate + 60)) sipp -sf "$root/tests/sipp/uac_call.xml" "127.0.0.1:$sip" -i 127.0.0.1 \
        -p "$burst_port" -mp $((media + 30)) -m "$burst" -r "$rate" -d 0 -nostdin -timeout $((burst / rate + 50)) \
        >"$work/burst.log" 2>&1 || { echo "burst failed"; tail -20 "$work/burst.log"; return 1; }
    t1=$(cpu_ticks $kz)
    echo "scale=3; ($t1 - $t0) * 1000 / $hz / $burst" | bc
}

hold 10 "$hold_port" || exit 1
few=$(burst_cost) || exit 1
hold $((calls - 10)) $((hold_port + 2)) || exit 1
many=$(burst_cost) || exit 1
echo "kzhost CPU per call with 10 calls up: $few ms; with $calls calls up: $many ms; ratio $(echo "scale=2; $many / $few" | bc)"
