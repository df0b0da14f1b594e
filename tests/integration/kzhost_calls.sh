#!/usr/bin/env bash
# Calls between kzhost and sipp on 127.0.0.1, one mode per run, each bounded in time and count;
# peers are stopped by PID. The scenarios are in tests/sipp.
#   kzhost_calls.sh KZHOST MODE [CALLS]
# Inbound (sipp calls kzhost):
#   in-udp, in-tcp   CALLS (default 500) calls with SDP, answered automatically; none may fail and
#                    kzhost must report each one connected and released
#   cancel           callers CANCEL after 180: 487 and 200 come back, the channels are idle again
#   no-ack           the caller never ACKs the 200: kzhost ends the call with BYE after about 5 s
#   overflow         6 simultaneous calls on 4 channels: 4 are answered, 2 get 486
# Outbound (kzhost dials sipp through its control socket):
#   out-ring         180 then 200; kzhost hangs up         out-ring-tcp  the same over TCP
#   out-progress     183 with SDP then 200; the callee hangs up
#   out-busy         486
#   out-redirect     302 to a second sipp, which answers
#   out-auth-407     407, then 200 for the INVITE with credentials from "dial"; digest checked here
#   out-auth-401     401 (qop auth), then 200; sipp checks the digest
#   out-prack        reliable 180 (100rel), PRACK, 200
set -u
kzhost=$1 mode=$2 calls=${3:-500}
. "$(dirname "$0")/kzhost_lib.sh"
command -v sipp >/dev/null || { echo "sipp is not installed (scripts/install-deps installs sip-tester)"; exit 1; }
kz_ports
released='call [0-9]+ released'

expect_sipp_ok() { # NAME CALLS
    local counts
    counts=$(kz_sipp_counts "$1")
    [ "$counts" = "$2 0" ] || kz_fail "$1: sipp counted '$counts' successful/failed calls, wanted '$2 0'"
}

inbound_load() { # transport flag
    kz_start_kzhost "$kzhost" --set kzsrv.sip.callcontrol.auto.answercall=1
    kz_sipp uac 150 -sf "$sipp_dir/uac_call.xml" "127.0.0.1:$sip_port" -p "$sipp_port" -mp "$sipp_media" \
        -m "$calls" -r 100 -d 50 -timeout 140 -recv_timeout 10000 "$@" ||
        kz_fail "sipp exit status $?"
    expect_sipp_ok uac "$calls"
    kz_ctl idle || kz_fail "channels not idle after the calls"
    local connected ended
    connected=$(kz_count 'call [0-9]+ connected' "$kz_work/kzhost.log")
    ended=$(kz_count "$released" "$kz_work/kzhost.log")
    [ "$connected" = "$calls" ] && [ "$ended" = "$calls" ] ||
        kz_fail "kzhost reported $connected connected and $ended released calls, wanted $calls"
    echo "$calls calls connected and released, 0 failed"
}

cancel() {
    kz_start_kzhost "$kzhost" # rings (auto ring) but does not answer
    kz_sipp uac 60 -sf "$sipp_dir/uac_cancel.xml" "127.0.0.1:$sip_port" -p "$sipp_port" -mp "$sipp_media" \
        -m 5 -r 5 -timeout 50 -recv_timeout 10000 || kz_fail "sipp exit status $?"
    expect_sipp_ok uac 5
    kz_ctl idle || kz_fail "channels not idle after the CANCELs"
    [ "$(kz_count "$released" "$kz_work/kzhost.log")" = 5 ] || kz_fail "kzhost did not report 5 released calls"
    echo "5 calls cancelled after 180: 487 and 200 each, channels idle"
}

no_ack() {
    kz_start_kzhost "$kzhost" --set kzsrv.sip.callcontrol.auto.answercall=1
    local start end
    start=$(date +%s%N)
    kz_sipp uac 40 -sf "$sipp_dir/uac_no_ack.xml" "127.0.0.1:$sip_port" -p "$sipp_port" -mp "$sipp_media" \
        -m 1 -timeout 30 || kz_fail "sipp exit status $?"
    end=$(date +%s%N)
    expect_sipp_ok uac 1
    local ms=$(((end - start) / 1000000))
    # The BYE is due 5 s after the 200; sipp's run also holds 0.5 s of time-wait.
    [ $ms -ge 4500 ] && [ $ms -le 12000 ] || kz_fail "the BYE came after $ms ms of call, wanted about 5000"
    kz_ctl idle || kz_fail "channel not idle after the BYE"
    echo "unacknowledged 200 ended by kzhost's BYE; the call lasted $ms ms"
}

overflow() {
    kz_start_kzhost "$kzhost" --set kzhost.channels=4 --set kzsrv.sip.callcontrol.auto.answercall=1
    kz_sipp uac 60 -sf "$sipp_dir/uac_call_or_busy.xml" "127.0.0.1:$sip_port" -p "$sipp_port" \
        -mp "$sipp_media" -m 6 -l 6 -r 50 -d 3000 -timeout 50 -recv_timeout 10000 \
        -trace_logs -log_file "$kz_work/outcomes.txt" || kz_fail "sipp exit status $?"
    expect_sipp_ok uac 6
    local answered busy
    answered=$(kz_count '^connected' "$kz_work/outcomes.txt")
    busy=$(kz_count '^busy' "$kz_work/outcomes.txt")
    [ "$answered" = 4 ] && [ "$busy" = 2 ] ||
        kz_fail "of 6 calls on 4 channels $answered were answered and $busy got 486, wanted 4 and 2"
    kz_ctl idle || kz_fail "channels not idle after the calls"
    echo "6 calls on 4 channels: 4 answered, 2 refused with 486"
}

# outbound SCENARIO TRANSPORT KZHOST-ARGS... -- CONTROL-STEPS...: sipp plays SCENARIO once; kzhost
# dials it; both sipp's status and the control conversation must succeed.
outbound() {
    local scenario=$1 transport=$2
    shift 2
    local args=()
    while [ $# -gt 0 ] && [ "$1" != -- ]; do args+=("$1"); shift; done
    shift
    local sipp_transport=u1
    [ "$transport" = tcp ] && sipp_transport=t1
    kz_start_kzhost "$kzhost" "${args[@]}"
    kz_sipp_bg uas 40 -sf "$sipp_dir/$scenario" -p "$sipp_port" -mp "$sipp_media" -m 1 -t $sipp_transport \
        -timeout 35 ${sipp_extra[@]+"${sipp_extra[@]}"}
    local uas=$sipp_bg_pid
    sleep 0.5 # sipp has bound its port by then
    kz_ctl "$@" || kz_fail "control steps failed (see control.log)"
    wait $uas
    local rc=$?
    [ $rc -eq 0 ] || kz_fail "sipp ($scenario) exit status $rc"
    kz_ctl idle || kz_fail "channel not idle after the call"
}

dial() { # [transport] [extra JSON members]
    local transport=${1:-udp} extra=${2:-}
    echo "dial:{\"to\":\"sip:bob@127.0.0.1:$sipp_port\",\"transport\":\"$transport\"$extra}"
}

# The Proxy-Authorization of the repeated INVITE, recomputed from the message sipp received.
check_proxy_digest() {
    python3 - "$kz_work/uas.msg.log" <<'PY' || kz_fail "the Proxy-Authorization digest is wrong"
import hashlib, re, sys
text = open(sys.argv[1], errors="replace").read()
m = re.search(r"^Proxy-Authorization:\s*Digest\s+(.*)$", text, re.M | re.I)
if not m:
    sys.exit("no Proxy-Authorization in the INVITEs sipp received")
p = dict((k.lower(), v.strip('"')) for k, v in re.findall(r'(\w+)=("[^"]*"|[^,\s]+)', m.group(1)))
md5 = lambda s: hashlib.md5(s.encode()).hexdigest()
ha1 = md5("%s:%s:secret" % (p["username"], p["realm"]))
ha2 = md5("INVITE:%s" % p["uri"])
want = md5("%s:%s:%s:%s:%s:%s" % (ha1, p["nonce"], p["nc"], p["cnonce"], p["qop"], ha2)) if "qop" in p \
    else md5("%s:%s:%s" % (ha1, p["nonce"], ha2))
print("Proxy-Authorization:", m.group(1))
sys.exit(0 if p["response"].lower() == want and p["username"] == "alice" else "digest mismatch")
PY
}

sipp_extra=()
case $mode in
in-udp) inbound_load ;;
in-tcp) inbound_load -t t1 ;;
cancel) cancel ;;
no-ack) no_ack ;;
overflow) overflow ;;
out-ring)
    outbound uas_ring_answer.xml udp -- "$(dial)" expect:ringing expect:connected sleep:0.5 hangup expect:released
    ;;
out-ring-tcp)
    outbound uas_ring_answer.xml tcp -- "$(dial tcp)" expect:ringing expect:connected sleep:0.5 hangup \
        expect:released
    ;;
out-progress)
    outbound uas_progress_answer.xml udp -- "$(dial)" expect:progress,code=183 expect:connected expect:released
    ;;
out-busy)
    outbound uas_busy.xml udp -- "$(dial)" expect:released,cause=486
    kz_wait_for_line "$kz_work/kzhost.log" "$released 486" 2 || kz_fail "kzhost did not report 486"
    ;;
out-redirect)
    sipp_extra=(-set target_port "$sipp2_port")
    kz_sipp_bg target 40 -sf "$sipp_dir/uas_ring_answer.xml" -p "$sipp2_port" -mp $((sipp_media + 6)) -m 1 \
        -timeout 35
    target=$sipp_bg_pid
    # The first leg ends when the 302 is followed, so a release may come before the connection.
    outbound uas_redirect.xml udp --set kzsrv.sip.callcontrol.handle.3xx=1 -- "$(dial)" \
        await:connected sleep:0.5 hangup expect:released
    wait $target || kz_fail "the redirect target (sipp) exit status $?"
    ;;
out-auth-407)
    outbound uas_auth_407.xml udp -- "$(dial udp ',"user":"alice","password":"secret"')" \
        expect:connected sleep:0.5 hangup expect:released
    check_proxy_digest
    ;;
out-auth-401)
    outbound uas_auth_401.xml udp -- "$(dial udp ',"user":"alice","password":"secret"')" \
        expect:connected sleep:0.5 hangup expect:released
    ;;
out-prack)
    outbound uas_prack.xml udp --set kzsrv.sip.use.prack=1 -- "$(dial)" expect:ringing expect:connected \
        sleep:0.5 hangup expect:released
    ;;
*) echo "unknown mode $mode"; exit 2 ;;
esac
echo "$mode: passed"
