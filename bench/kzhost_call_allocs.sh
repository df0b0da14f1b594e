#!/usr/bin/env bash
# Work per call of kzhost answering sipp's caller (INVITE with SDP, 200, ACK, BYE), by thread:
# malloc calls (a uprobe on libc's malloc) and CPU time, counted by perf over CALLS calls at RATE
# after as many calls of warm-up at 200/s (pools filled, every channel used). The malloc counts do
# not move with the machine's load; a uprobe costs microseconds, so keep RATE low (50).
# With a fourth argument "heaptrack", heaptrack is attached after the warm-up instead and the
# allocation sites of the CALLS calls that follow are printed, most frequent first.
#   bench/kzhost_call_allocs.sh [KZHOST=build/app/kzhost] [CALLS=1000] [RATE=50] [heaptrack]
set -u
kzhost=${1:-build/app/kzhost}
calls=${2:-1000}
rate=${3:-50}
mode=${4:-count}
. "$(dirname "$0")/kzhost_bench_lib.sh"
. "$(dirname "$0")/kzhost_sipp_calls.sh"

probe=probe_libc:malloc
if [ "$mode" = count ] && ! perf probe -l 2>/dev/null | grep -q "$probe"; then
    perf probe -q -x "$(ldconfig -p | awk '/libc.so.6 .*x86-64/ { print $NF; exit }')" malloc || exit 1
fi

run_calls() { # RATE
    sipp_calls "$1"
    echo "sipp rc=$? ($calls calls at $1/s, $(sipp_failed_calls) failed)"
}

if [ "$mode" = heaptrack ]; then
    # Two runs under heaptrack, the warm-up alone and the warm-up with CALLS more calls: the
    # difference is what those calls allocated.
    start_kzhost heaptrack -o "$work/warm"
    run_calls 200
    stop_kzhost
    start_kzhost heaptrack -o "$work/calls"
    run_calls 200
    run_calls "$rate"
    stop_kzhost
    [ -n "${KEEP:-}" ] && cp "$work"/*.zst "$KEEP"/
    # Each allocating function with its callers, by the frames nearest the allocation.
    heaptrack_print -f "$work"/calls*.zst -d "$work"/warm*.zst --print-allocators 1 --print-peaks 0 \
        --print-leaks 0 --print-temporary 0 -n 25 -s 25 2>/dev/null | python3 -c '
import re, sys
def short(f):
    f = re.sub(r"\(.*", "", f.strip())
    return f.split("::")[-2] + "::" + f.split("::")[-1] if "::" in f else f
entry = None
def flush():
    if entry and entry[1]:
        print("  %8d  %s" % (entry[0], " <- ".join(short(f) for f in entry[1][:5])))
for line in sys.stdin:
    m = re.match(r"^(-?\d+) calls to allocation functions", line)
    if m:
        flush(); entry = None; print("%s %s" % (m.group(1), short(next(sys.stdin)))); continue
    m = re.match(r"^(-?\d+) calls with", line)
    if m:
        flush(); entry = (int(m.group(1)), []); continue
    if entry and re.match(r"^    \S", line):
        entry[1].append(line)
flush()' | head -200
    exit 0
fi

start_kzhost
run_calls 200 # warm-up
measure() { # EVENT RATE: per-thread counts of EVENT over one run of CALLS calls
    perf stat --per-thread -e "$1" -p "$pid" -o "$work/stat.txt" >/dev/null 2>&1 &
    local stat_pid=$!
    sleep 0.3
    run_calls "$2"
    kill -INT $stat_pid
    wait $stat_pid
    awk -v c="$calls" -v what="$1" '$2 ~ /^[0-9,.]+$/ {
            gsub(/,/, "", $2); name = $1; sub(/-[0-9]+$/, "", name); sum[name] += $2; total += $2 }
        END {
            for (n in sum) if (sum[n] / c >= 0.005) printf "  %-16s %-18s per call %10.3f\n", n, what, sum[n] / c
            printf "  %-16s %-18s per call %10.3f\n", "(all threads)", what, total / c }' "$work/stat.txt" | sort
}
# CPU without the probe (each uprobe hit costs microseconds), then the malloc calls.
measure task-clock "${CPU_RATE:-500}"
measure "$probe" "$rate"
