#!/usr/bin/env bash
# sipp calls kzhost through kamailio (tests/kamailio/proxy.cfg: stateful, record-routing) on
# 127.0.0.1. The calls must connect, and the BYE must follow the route set through kamailio.
#   kzhost_proxy_calls.sh KZHOST caller-hangs-up [CALLS]   sipp sends the BYE (default 20 calls)
#   kzhost_proxy_calls.sh KZHOST kzhost-hangs-up [CALLS]   kzhost sends it (--hangup-after 1; 3 calls)
set -u
kzhost=$1 mode=$2
. "$(dirname "$0")/../integration/kzhost_lib.sh"
for tool in sipp kamailio; do
    command -v $tool >/dev/null || { echo "$tool is not installed (run scripts/install-deps)"; exit 1; }
done
kz_ports
cfg="$(cd "$(dirname "$0")" && pwd)/proxy.cfg"

case $mode in
caller-hangs-up) calls=${3:-20} scenario=uac_call.xml host_args=(--set kzsrv.sip.callcontrol.auto.answercall=1) ;;
kzhost-hangs-up) calls=${3:-3} scenario=uac_wait_bye.xml host_args=(--set kzsrv.sip.callcontrol.auto.answercall=1 --hangup-after 1) ;;
*) echo "unknown mode $mode"; exit 2 ;;
esac

kz_start_kzhost "$kzhost" "${host_args[@]}"
mkdir "$kz_work/kamailio"
timeout 120 kamailio -f "$cfg" -l "udp:127.0.0.1:$kamailio_port" -A "KZHOST_PORT=$sip_port" -DD -E \
    -Y "$kz_work/kamailio" -w "$kz_work/kamailio" -m 16 -M 4 >"$kz_work/kamailio.log" 2>&1 &
kz_track $!
# It logs its socket's receive buffer once the socket is bound; its worker starts right after.
kz_wait_for_line "$kz_work/kamailio.log" "SO_RCVBUF is finally" 10 || kz_fail "kamailio did not start"
sleep 0.3

kz_sipp uac 90 -sf "$sipp_dir/$scenario" "127.0.0.1:$kamailio_port" -p "$sipp_port" -mp "$sipp_media" \
    -m "$calls" -r 20 -d 200 -timeout 80 -recv_timeout 25000 || kz_fail "sipp exit status $?"
counts=$(kz_sipp_counts uac)
[ "$counts" = "$calls 0" ] || kz_fail "sipp counted '$counts' successful/failed calls, wanted '$calls 0'"

new=$(kz_count "new call: INVITE" "$kz_work/kamailio.log")
byes=$(kz_count "routed in dialog: BYE" "$kz_work/kamailio.log")
acks=$(kz_count "routed in dialog: ACK" "$kz_work/kamailio.log")
[ "$new" = "$calls" ] || kz_fail "kamailio relayed $new INVITEs, wanted $calls"
[ "$acks" -ge "$calls" ] && [ "$byes" -ge "$calls" ] ||
    kz_fail "kamailio routed $acks ACKs and $byes BYEs by their route sets, wanted $calls each"
connected=$(kz_count 'call [0-9]+ connected' "$kz_work/kzhost.log")
[ "$connected" = "$calls" ] || kz_fail "kzhost reported $connected calls connected, wanted $calls"
kz_ctl idle || kz_fail "channels not idle after the calls"
echo "$mode: $calls calls through kamailio, $acks ACKs and $byes BYEs followed the route set"
