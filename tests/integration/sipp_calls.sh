#!/usr/bin/env bash
# Calls between kzsip-uas and sipp on 127.0.0.1, bounded in time and count; peers are stopped by PID.
#   sipp_calls.sh uac KZSIP_UAS CALLS [sipp options...]   sipp's uac scenario calls kzsip-uas
#   sipp_calls.sh uas KZSIP_UAS CALLS                      kzsip-uas calls sipp's uas scenario
# kzsip-uas takes PORT, sipp PORT+10, from a block of free ports found at start.
set -u
mode=$1 uas=$2 calls=$3
shift 3
. "$(dirname "$0")/kzhost_ports.sh"
port=$(kz_port_block 12) || exit 1
command -v sipp >/dev/null || { echo "sipp is not installed (scripts/install-deps installs sip-tester)"; exit 1; }
work=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT

wait_for_line() { # file text
    for _ in $(seq 100); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.05; done
    echo "timed out waiting for '$2' in $1"; cat "$1"; return 1
}

case $mode in
uac)
    "$uas" -p "$port" >"$work/uas.log" 2>&1 &
    pids+=($!)
    wait_for_line "$work/uas.log" "listening" || exit 1
    timeout 120 sipp -sn uac "127.0.0.1:$port" -i 127.0.0.1 -p $((port + 10)) -m "$calls" -nostdin \
        -timeout 100 "$@" >"$work/sipp.log" 2>&1
    rc=$?
    ;;
uas)
    sipp -sn uas -i 127.0.0.1 -p $((port + 10)) -m "$calls" -nostdin -timeout 100 >"$work/sipp.log" 2>&1 &
    pids+=($!)
    sleep 0.5
    timeout 120 "$uas" -p "$port" --call "sip:service@127.0.0.1:$((port + 10))" -n "$calls" -r 100 \
        >"$work/uas.log" 2>&1
    rc=$?
    cat "$work/uas.log"
    ;;
*) echo "unknown mode $mode"; exit 2 ;;
esac
grep -E "Successful call|Failed call" "$work/sipp.log" | tail -2
[ $rc -eq 0 ] || { echo "exit code $rc"; tail -40 "$work/sipp.log"; }
exit $rc
