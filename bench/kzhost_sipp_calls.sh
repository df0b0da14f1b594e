# Shared by the call benchmarks (sourced after kzhost_bench_lib.sh): one block of ports, kzhost
# answering automatically on CHANNELS channels (256 unless set), and sipp's caller (INVITE with
# SDP, 200, ACK, BYE). Ports from the block's first port: kzhost SIP, sipp +10, sipp's media +20,
# kzhost RTP +40 on, four for each channel.
channels=${channels:-256}
base=$(kz_port_block $((channels * 4 + 60))) || exit 1
sip=$base sipp_port=$((base + 10)) media=$((base + 20))
rtp_first=$((base + 40)) rtp_last=$((base + channels * 4 + 59))
pid=

# start_kzhost [WRAPPER...]: kzhost (under WRAPPER, if any) in pids[0], kzhost itself in pid.
start_kzhost() {
    "$@" "$kzhost" --set kzsrv.sip.ip.address=127.0.0.1 --set kzsrv.sip.ip.port="$sip" \
        --set kzhost.control.port=0 --set kzhost.channels="$channels" --set kzsrv.sip.callcontrol.auto.answercall=1 \
        --set kzsrv.sip.rtpstartrange="$rtp_first" --set kzsrv.sip.rtpendrange="$rtp_last" >"$work/kzhost.log" 2>&1 &
    pids=($!)
    for _ in $(seq 200); do grep -q listening "$work/kzhost.log" && break; sleep 0.05; done
    grep -q listening "$work/kzhost.log" || { echo "kzhost did not start:"; cat "$work/kzhost.log"; exit 1; }
    pid=$(pgrep -x -P "${pids[0]}" kzhost || echo "${pids[0]}")
}

stop_kzhost() {
    [ -n "$pid" ] || return 0
    kill -INT "$pid" 2>/dev/null
    wait "${pids[0]}" 2>/dev/null
    pids=()
    pid=
}

# sipp_calls RATE: CALLS calls at RATE to the SIP port; sipp's exit status, its output in sipp.log.
sipp_calls() {
    timeout 900 sipp -sf "$root/tests/sipp/uac_call.xml" "127.0.0.1:$sip" -i 127.0.0.1 -p "$sipp_port" \
        -mp "$media" -m "$calls" -r "$1" -l 2000 -d 0 -nostdin -timeout 500 -recv_timeout 10000 \
        >"$work/sipp.log" 2>&1
}

sipp_failed_calls() { awk -F'|' '/Failed call/ { v = $3 } END { gsub(/ /, "", v); print v + 0 }' "$work/sipp.log"; }
