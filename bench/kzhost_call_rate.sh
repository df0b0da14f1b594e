#!/usr/bin/env bash
# Calls per second: sipp's caller (INVITE with SDP, 200, ACK, BYE) against kzhost answering
# automatically, and against sipp's own uas on the same machine in the same run. For each the
# highest of RATES at which CALLS calls all succeed is reported with the rate sipp really reached
# there (calls over elapsed time, from its statistics), then the ratio of the reached rates. Runs
# (RUNS in the environment, 1 unless set) alternate which of the two goes first; with more than one
# the medians and the ratio of the medians close the report.
#   [runs=N] bench/kzhost_call_rate.sh [KZHOST=build/app/kzhost] [CALLS=5000] [RATES="250 500 ..."]
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

kzhost_ladder() {
    start_kzhost
    sleep 1 # as for sipp's uas below: start-up (its NAT probe among it) is over before the first call
    ours=$(best_rate)
    stop_kzhost
}

sipp_uas_ladder() {
    sipp -sn uas -i 127.0.0.1 -p "$sip" -mp $((media + 10)) -nostdin >/dev/null 2>&1 &
    local uas=$!
    pids=($uas)
    sleep 1
    theirs=$(best_rate)
    kill "$uas" 2>/dev/null
    wait "$uas" 2>/dev/null
    pids=()
}

median() { sort -n | awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

runs=${runs:-1}
for run in $(seq "$runs"); do
    if ((run % 2)); then kzhost_ladder; sipp_uas_ladder; else sipp_uas_ladder; kzhost_ladder; fi
    set -- $ours $theirs
    echo "run $run kzhost:   highest rate with 0 failures $1 calls/s requested, $2 calls/s reached ($calls calls)"
    echo "run $run sipp uas: highest rate with 0 failures $3 calls/s requested, $4 calls/s reached ($calls calls)"
    awk -v a="$2" -v b="$4" 'BEGIN { if (b > 0) printf "run '"$run"' ratio kzhost/sipp (reached rates): %.2f\n", a / b }'
    echo "$2" >>"$work/ours"
    echo "$4" >>"$work/theirs"
done
if ((runs > 1)); then
    a=$(median <"$work/ours") b=$(median <"$work/theirs")
    echo "medians of $runs runs: kzhost $a calls/s, sipp uas $b calls/s"
    awk -v a="$a" -v b="$b" 'BEGIN { if (b > 0) printf "ratio of the medians kzhost/sipp: %.2f\n", a / b }'
fi
