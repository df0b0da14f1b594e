#!/usr/bin/env bash
# Highest call rate at which sipp's uac scenario completes CALLS calls with no failure, against
# kzsip-uas and against sipp's own uas scenario on the same machine, in the same run.
#   bench/sipp_load.sh [KZSIP_UAS=build/app/kzsip-uas] [CALLS=5000] [RATES="500 1000 ..."]
set -u
uas=${1:-build/app/kzsip-uas}
calls=${2:-5000}
rates=${3:-"250 500 750 1000 1250 1500 2000 2500 3000"}
pid=

stop_server() { [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; pid=; }
trap stop_server EXIT

# Runs the uac scenario at each rate against 127.0.0.1:port; prints the best rate with no failure.
best_rate() { # port
    local best=0
    for r in $rates; do
        if timeout 300 sipp -sn uac "127.0.0.1:$1" -i 127.0.0.1 -p $(($1 + 10)) -m "$calls" -r "$r" -l 100000 \
            -nostdin -timeout 250 >/dev/null 2>&1; then
            best=$r
        else
            break
        fi
    done
    echo "$best"
}

"$uas" -p 28060 >/dev/null 2>&1 &
pid=$!
sleep 1
ours=$(best_rate 28060)
stop_server

sipp -sn uas -i 127.0.0.1 -p 28160 -nostdin >/dev/null 2>&1 &
pid=$!
sleep 1
theirs=$(best_rate 28160)
stop_server

echo "kzsip-uas: $ours calls/s, sipp uas: $theirs calls/s ($calls calls each, 0 failures)"
awk -v a="$ours" -v b="$theirs" 'BEGIN { if (b > 0) printf "ratio: %.2f\n", a / b }'
