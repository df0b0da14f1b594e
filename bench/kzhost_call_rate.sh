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
# kzhost answers on CHANNELS channels (256 unless set in the environment); sipp's uas takes any
# number of calls at once. Calls beyond kzhost's channels are answered 486 and end the ladder.
. "$(dirname "$0")/kzhost_bench_lib.sh"
. "$(dirname "$0")/kzhost_sipp_calls.sh"

# The cumulative call rate of sipp's last statistics screen, in calls per second.
reached() { awk -F'|' '/Call Rate/ { v = $3 } END { gsub(/[ a-z]/, "", v); print v + 0 }' "$work/sipp.log"; }

best_rate() { # "requested reached" for the highest rate with no failed call
    local best=0 got=0 r
    for r in $rates; do
        if sipp_calls "$r"; then
            best=$r
            got=$(reached)
        else
            break
        fi
    done
    echo "$best $got"
}

start_kzhost
sleep 1 # as for sipp's uas below: start-up (its NAT probe among it) is over before the first call
ours=$(best_rate)
stop_kzhost

sipp -sn uas -i 127.0.0.1 -p "$sip" -mp $((media + 10)) -nostdin >/dev/null 2>&1 &
pids=($!)
sleep 1
theirs=$(best_rate)

set -- $ours $theirs
echo "kzhost:   highest rate with 0 failures $1 calls/s requested, $2 calls/s reached ($calls calls)"
echo "sipp uas: highest rate with 0 failures $3 calls/s requested, $4 calls/s reached ($calls calls)"
awk -v a="$2" -v b="$4" 'BEGIN { if (b > 0) printf "ratio kzhost/sipp (reached rates): %.2f\n", a / b }'
