#!/usr/bin/env bash
# What one call costs kzhost, counted rather than timed (so the figures hold on a busy machine):
# sipp's caller places CALLS calls at RATE (INVITE with SDP, 200, ACK, BYE) to kzhost answering
# automatically. Prints per call: context switches and CPU of each kzhost thread (from /proc), and,
# in a second run under strace (at TRACED_RATE, low enough that no call fails under the tracer's
# slowdown: a failed call stays up and sends media, which would inflate the counts), the system calls.
#   bench/kzhost_call_cost.sh [KZHOST=build/app/kzhost] [CALLS=3000] [RATE=300] [TRACED_RATE=50]
set -u
kzhost=${1:-build/app/kzhost}
calls=${2:-3000}
rate=${3:-300}
traced_rate=${4:-50}
. "$(dirname "$0")/kzhost_bench_lib.sh"
. "$(dirname "$0")/kzhost_sipp_calls.sh"

place_calls() { # rate
    sipp_calls "$1" || echo "sipp reported failed calls at $1 calls/s: $(sipp_failed_calls)"
}

# tid name voluntary involuntary cpu-ticks, for every thread of kzhost
threads() {
    for t in /proc/$pid/task/*; do
        printf '%s %s %s %s %s\n' "$(basename "$t")" "$(tr ' ' _ <"$t/comm")" \
            "$(awk '/^voluntary/ { print $2 }' "$t/status")" "$(awk '/^nonvoluntary/ { print $2 }' "$t/status")" \
            "$(awk '{ print $14 + $15 }' "$t/stat")"
    done | sort
}

start_kzhost
threads >"$work/before"
place_calls "$rate"
threads >"$work/after"
names=$(awk '{ print $1, $2 }' "$work/after")
stop_kzhost
echo "per call, $calls calls at $rate/s:"
join -a 2 -e 0 -o 0,2.2,1.3,1.4,1.5,2.3,2.4,2.5 "$work/before" "$work/after" | awk -v c="$calls" '
    { v = ($6 - $3) / c; n = ($7 - $4) / c; t = ($8 - $5) * 10 / c; V += v; N += n; T += t
      if (v + n + t > 0) printf "  %-15s switches %5.2f voluntary %5.2f involuntary, CPU %.3f ms\n", $2, v, n, t }
    END { printf "  %-15s switches %5.2f voluntary %5.2f involuntary, CPU %.3f ms\n", "all threads", V, N, T }'

start_kzhost
strace -f -qq -c -S calls -o "$work/strace" -p "$pid" 2>/dev/null &
tracer=$!
sleep 1
place_calls "$traced_rate"
sleep 0.5
kill -INT "$tracer"
wait "$tracer" 2>/dev/null
stop_kzhost
echo "system calls per call ($calls calls at $traced_rate/s under strace):"
awk -v c="$calls" '$1 ~ /^[0-9.]+$/ && NF >= 5 && $NF != "total" { n = $4; s = $NF; if (n / c >= 0.05) printf "  %-16s %6.2f\n", s, n / c }
    /total/ { printf "  %-16s %6.2f\n", "all", $4 / c }' "$work/strace"
