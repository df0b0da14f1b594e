#!/usr/bin/env bash
# Soak (opt-in, minutes long): CALLS calls at a steady RATE from sipp's caller against kzhost
# answering automatically. No call may fail; kzhost's resident memory is sampled every 10 s and
# its growth from the first sample (taken after warm-up) to the last is reported.
#   bench/kzhost_soak.sh [KZHOST=build/app/kzhost] [CALLS=100000] [RATE=200]
set -u
kzhost=${1:-build/app/kzhost}
calls=${2:-100000}
rate=${3:-200}
. "$(dirname "$0")/kzhost_bench_lib.sh"

base=$(kz_port_block 600) || exit 1
sip=$base sipp_port=$((base + 10)) media=$((base + 20)) rtp_first=$((base + 40)) rtp_last=$((base + 599))

"$kzhost" --set kzsrv.sip.ip.address=127.0.0.1 --set kzsrv.sip.ip.port="$sip" --set kzhost.control.port=0 \
    --set kzhost.channels=128 --set kzsrv.sip.callcontrol.auto.answercall=1 \
    --set kzsrv.sip.rtpstartrange="$rtp_first" --set kzsrv.sip.rtpendrange="$rtp_last" >"$work/kzhost.log" 2>&1 &
kz=$!
pids+=($kz)
for _ in $(seq 100); do grep -q listening "$work/kzhost.log" && break; sleep 0.05; done
grep -q listening "$work/kzhost.log" || { echo "kzhost did not start:"; cat "$work/kzhost.log"; exit 1; }

seconds=$((calls / rate))
timeout $((seconds + 300)) sipp -sf "$root/tests/sipp/uac_call.xml" "127.0.0.1:$sip" -i 127.0.0.1 \
    -p "$sipp_port" -mp "$media" -m "$calls" -r "$rate" -d 100 -nostdin -timeout $((seconds + 240)) \
    -recv_timeout 10000 >"$work/sipp.log" 2>&1 &
sipp_pid=$!
pids+=($sipp_pid)
echo "soak: $calls calls at $rate/s, about $seconds s"

rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status" 2>/dev/null; }
samples=()
sleep 10 # warm-up: the first calls fill pools and caches
while kill -0 $sipp_pid 2>/dev/null; do
    kb=$(rss_kb $kz)
    [ -n "$kb" ] || { echo "kzhost has gone"; break; }
    samples+=("$kb")
    printf '%6d s  %8d kB\n' $((10 * ${#samples[@]})) "$kb"
    sleep 10
done
wait $sipp_pid
rc=$?
first=${samples[0]:-0} last=$(rss_kb $kz)
grep -E "Successful call|Failed call" "$work/sipp.log" | tail -2
echo "resident memory: $first kB after warm-up, $last kB at the end, growth $((last - first)) kB" \
    "($(awk -v a="$first" -v b="$last" -v n="$calls" 'BEGIN { printf "%.3f", (b - a) * 1024 / n }') bytes per call)"
[ $rc -eq 0 ] || { echo "FAIL: sipp exit status $rc"; tail -20 "$work/sipp.log"; exit 1; }
