#!/usr/bin/env bash
# Calls per second: sipp's caller (INVITE with SDP, 200, ACK, BYE) against kzhost answering
# automatically, and against sipp's own uas on the same machine in the same run. For each the
# highest of RATES at which CALLS calls all succeed is reported with the rate sipp really reached
# there (calls over elapsed time, from its statistics), then the ratio of the reached rates.
#   bench/kzhost_call_rate.sh [KZHOST=build/app/kzhost] [CALLS=5000] [RATES="250 500 ..."]
set -u
kzhost=${1:-build/app/kzhost}
calls=${2:-5000}
rates=${3:-"250 500 1000 1500 2000 3000 4000 5000 6000 8000"}
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/tests/integration/kzhost_ports.sh"
work=$(mktemp -d)
pid=
stop_peer() {
    [ -n "$pid" ] || return 0
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    pid=
}
trap 'stop_peer; rm -rf "$work"' EXIT

# 256 channels with 4 RTP ports each: far more than the calls in progress at these rates.
base=$(kz_port_block 1100) || exit 1
sip=$base sipp_port=$((base + 10)) media=$((base + 20)) rtp_first=$((base + 40)) rtp_last=$((base + 1099))

# The cumulative call rate of sipp's last statistics screen, in calls per second.
reached() { awk -F'|' '/Call Rate/ { v = $3 } END { gsub(/[ a-z]/, "", v); print v + 0 }' "$work/sipp.log"; }

best_rate() { # port: "requested reached" for the highest rate with no failed call
    local best=0 got=0 r
    for r in $rates; do
        if timeout 300 sipp -sf "$root/tests/sipp/uac_call.xml" "127.0.0.1:$1" -i 127.0.0.1 -p "$sipp_port" \
            -mp "$media" -m "$calls" -r "$r" -l 2000 -d 0 -nostdin -timeout 250 -recv_timeout 10000 \
            >"$work/sipp.log" 2>&1; then
            best=$r
            got=$(reached)
        else
            break
        fi
    done
    echo "$best $got"
}

"$kzhost" --set kzsrv.sip.ip.address=127.0.0.1 --set kzsrv.sip.ip.port="$sip" --set kzhost.control.port=0 \
    --set kzhost.channels=256 --set kzsrv.sip.callcontrol.auto.answercall=1 \
    --set kzsrv.sip.rtpstartrange="$rtp_first" --set kzsrv.sip.rtpendrange="$rtp_last" >"$work/kzhost.log" 2>&1 &
pid=$!
for _ in $(seq 100); do grep -q listening "$work/kzhost.log" && break; sleep 0.05; done
grep -q listening "$work/kzhost.log" || { echo "kzhost did not start:"; cat "$work/kzhost.log"; exit 1; }
sleep 1 # as for sipp's uas below: start-up (its NAT probe among it) is over before the first call
ours=$(best_rate "$sip")
stop_peer

sipp -sn uas -i 127.0.0.1 -p "$sip" -mp $((media + 10)) -nostdin >/dev/null 2>&1 &
pid=$!
sleep 1
theirs=$(best_rate "$sip")
stop_peer

set -- $ours $theirs
echo "kzhost:   highest rate with 0 failures $1 calls/s requested, $2 calls/s reached ($calls calls)"
echo "sipp uas: highest rate with 0 failures $3 calls/s requested, $4 calls/s reached ($calls calls)"
awk -v a="$2" -v b="$4" 'BEGIN { if (b > 0) printf "ratio kzhost/sipp (reached rates): %.2f\n", a / b }'
