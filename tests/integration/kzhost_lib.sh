# Sourced by the kzhost interoperability scripts: one block of free ports on 127.0.0.1, kzhost
# started on it with a control socket, peers started and stopped by PID, every wait bounded.
#
# Ports, from the block's first port P:
#   P          kzhost SIP (UDP and TCP; TLS on P+1)      P+2   kzhost control socket
#   P+10..13   sipp (signalling, second instance)         P+20  sipp media (P+20..P+29)
#   P+30..31   baresip (TLS on P+31)                      P+34  kamailio
#   P+40..P+199 kzhost RTP (40 channels at 4 ports each)
# Scripts set kz_work (a temporary directory removed at exit) and register their peers with
# kz_track PID so that kz_cleanup stops them. KZ_KEEP=DIR keeps a copy of the logs in DIR.

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
sipp_dir=$(cd "$here/../sipp" && pwd)
. "$here/kzhost_ports.sh"

kz_pids=()
kz_work=$(mktemp -d)

kz_ports() {
    local base
    base=$(kz_port_block 200) || { echo "no free ports"; exit 1; }
    sip_port=$base
    ctl_port=$((base + 2))
    sipp_port=$((base + 10))
    sipp2_port=$((base + 12))
    sipp_media=$((base + 20))
    baresip_port=$((base + 30))
    kamailio_port=$((base + 34))
    rtp_first=$((base + 40))
    rtp_last=$((base + 199))
}

kz_track() { kz_pids+=("$1"); }

# SIGTERM, then SIGKILL when the process has not gone within 5 s.
kz_stop() {
    kill "$1" 2>/dev/null || return 0
    for _ in $(seq 50); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$1" 2>/dev/null && { echo "pid $1 ignored SIGTERM, killing it"; kill -KILL "$1" 2>/dev/null; }
    wait "$1" 2>/dev/null
}

kz_cleanup() {
    [ -n "${KZ_KEEP:-}" ] && cp -r "$kz_work" "$KZ_KEEP"
    local p
    for p in "${kz_pids[@]}"; do kz_stop "$p"; done
    rm -rf "$kz_work"
}
trap kz_cleanup EXIT
trap 'exit 1' INT TERM

kz_wait_for_line() { # file pattern [seconds]
    local tries=$((${3:-5} * 20))
    for _ in $(seq "$tries"); do grep -qE "$2" "$1" 2>/dev/null && return 0; sleep 0.05; done
    echo "timed out waiting for '$2' in $1"
    return 1
}

kz_fail() {
    echo "FAIL: $*"
    local f
    for f in "$kz_work"/*.log; do
        [ -f "$f" ] || continue
        echo "--- $(basename "$f") (its end)"
        sed -e 's/\x1b\[[0-9;]*m//g' "$f" | tail -n 40 | tail -c 4000
    done
    exit 1
}

# kz_start_kzhost KZHOST [kzhost args...]: kzhost on the block's ports, output in kzhost.log.
kz_start_kzhost() {
    local bin=$1
    shift
    "$bin" --set kzsrv.sip.ip.address=127.0.0.1 --set kzsrv.sip.ip.port="$sip_port" \
        --set kzsrv.sip.protocol=3 --set kzhost.control.port="$ctl_port" \
        --set kzsrv.sip.rtpstartrange="$rtp_first" --set kzsrv.sip.rtpendrange="$rtp_last" \
        "$@" >"$kz_work/kzhost.log" 2>&1 &
    kzhost_pid=$!
    kz_track $kzhost_pid
    kz_wait_for_line "$kz_work/kzhost.log" "control socket on" 10 || kz_fail "kzhost did not start"
}

# kz_sipp NAME SECONDS sipp-args...: a bounded sipp run in the foreground; its screen goes to
# NAME.log, its errors to NAME.err.log, its messages to NAME.msg.log. Returns sipp's status.
kz_sipp() {
    local name=$1 seconds=$2
    shift 2
    timeout "$seconds" sipp -nostdin -i 127.0.0.1 -trace_err -error_file "$kz_work/$name.err.log" \
        -trace_msg -message_file "$kz_work/$name.msg.log" "$@" >"$kz_work/$name.log" 2>&1
}

# kz_sipp_bg NAME SECONDS sipp-args...: the same in the background; sets sipp_bg_pid.
kz_sipp_bg() {
    kz_sipp "$@" &
    sipp_bg_pid=$!
    kz_track $sipp_bg_pid
}

# Calls counted by sipp's final statistics: "successful failed".
kz_sipp_counts() { # NAME
    awk -F'|' '/Successful call/ { s = $3 } /Failed call/ { f = $3 } END { gsub(/ /, "", s); gsub(/ /, "", f); print s, f }' \
        "$kz_work/$1.log"
}

kz_ctl() { # steps...: the control client, bounded; its conversation goes to control.log
    timeout 60 python3 "$here/kzctl.py" "$ctl_port" "$@" >>"$kz_work/control.log" 2>&1
}

kz_count() { # pattern file
    grep -cE "$1" "$2" 2>/dev/null
}
