#!/usr/bin/env bash
# kzhost's account 1 (alice, password "secret", added through the control socket once kzhost's
# events are followed, so that none is missed) registers with sipp playing the registrar on
# 127.0.0.1, one case per run:
#   kzhost_register_sipp.sh KZHOST challenge-401   401 with qop "auth", then 200 (sipp checks the digest)
#   kzhost_register_sipp.sh KZHOST challenge-407   407, then 200 (the digest is checked here)
#   kzhost_register_sipp.sh KZHOST forbidden       401, then 403: reported as failed 403 Forbidden
#   kzhost_register_sipp.sh KZHOST no-answer       never answered: reported as failed 408, and a new
#                                                  REGISTER follows after the retry interval
#   kzhost_register_sipp.sh KZHOST mwi             a sipp client's message-summary NOTIFY arrives
#                                                  as a "notify" event
set -u
kzhost=$1 mode=$2
. "$(dirname "$0")/kzhost_lib.sh"
kz_ports

# start_registrar SCENARIO: sipp answering REGISTERs in the background (at most 70 s).
start_registrar() {
    kz_sipp_bg registrar 70 -sf "$sipp_dir/$1" -p "$sipp_port" -m 1
    registrar_pid=$sipp_bg_pid
    sleep 0.5 # sipp has bound its port by then
}

# start_kzhost [kzhost args...]: kzhost with its events recorded.
start_kzhost() {
    kz_start_kzhost "$kzhost" --set kzsrv.sip.keep.alive.msg=0 "$@"
    kz_events_start
}

# add_account: alice@127.0.0.1:SIPP_PORT, sipp being its registrar, asking for 300 s.
add_account() {
    kz_request "{\"cmd\":\"account-add\",\"user\":\"alice\",\"domain\":\"127.0.0.1:$sipp_port\",\"password\":\"secret\",\"expires\":300}" \
        >/dev/null || kz_fail "kzhost refused account-add"
}

# The first registration or failure kzhost reports for account 1 (a new account is reported
# unregistered first); waits SECONDS at most.
registration_outcome() { # SECONDS
    local outcome
    for _ in $(seq $(($1 * 10))); do
        outcome=$(kz_events registration account=1 | grep -vm1 '"state": "unregistered"')
        [ -n "$outcome" ] && echo "$outcome" && return 0
        sleep 0.1
    done
    kz_fail "kzhost reported no registration outcome"
}

expect_registered() {
    local outcome
    outcome=$(registration_outcome 15)
    echo "$outcome" | grep -q '"state": "registered"' || kz_fail "not registered: $outcome"
    echo "$outcome" | grep -q '"seconds": 300' || kz_fail "not registered for the granted 300 s: $outcome"
    kz_wait_for_line "$kz_work/kzhost.log" "account 1 registered for 300 s" 5 || kz_fail "no registered line"
    wait "$registrar_pid" || kz_fail "sipp (registrar) exit status $?"
}

# The Proxy-Authorization of the repeated REGISTER, recomputed from the message sipp received.
check_proxy_digest() {
    python3 - "$kz_work/registrar.msg.log" <<'PY' || kz_fail "the Proxy-Authorization digest is wrong"
import hashlib, re, sys
text = open(sys.argv[1], errors="replace").read()
m = re.search(r"^Proxy-Authorization:\s*Digest\s+(.*)$", text, re.M | re.I)
if not m:
    sys.exit("no Proxy-Authorization in the REGISTERs sipp received")
p = dict((k.lower(), v.strip('"')) for k, v in re.findall(r'(\w+)=("[^"]*"|[^,\s]+)', m.group(1)))
md5 = lambda s: hashlib.md5(s.encode()).hexdigest()
ha1 = md5("%s:%s:secret" % (p["username"], p["realm"]))
ha2 = md5("REGISTER:%s" % p["uri"])
want = md5("%s:%s:%s:%s:%s:%s" % (ha1, p["nonce"], p["nc"], p["cnonce"], p["qop"], ha2)) if "qop" in p \
    else md5("%s:%s:%s" % (ha1, p["nonce"], ha2))
print("Proxy-Authorization:", m.group(1))
sys.exit(0 if p["response"].lower() == want and p["username"] == "alice" else "digest mismatch")
PY
}

# The distinct REGISTERs (by CSeq) sipp received, retransmissions counted once.
registers_seen() {
    grep -aE "^CSeq: *[0-9]+ REGISTER" "$kz_work/registrar.msg.log" 2>/dev/null | sort -u | wc -l
}

case $mode in
challenge-401)
    start_registrar uas_register_401_qop.xml
    start_kzhost
    add_account
    expect_registered
    ;;
challenge-407)
    start_registrar uas_register_407.xml
    start_kzhost
    add_account
    expect_registered
    check_proxy_digest
    ;;
forbidden)
    start_registrar uas_register_403.xml
    start_kzhost
    add_account
    outcome=$(registration_outcome 15)
    echo "$outcome" | grep -q '"state": "failed", "code": 403, "reason": "Forbidden"' ||
        kz_fail "not reported as failed 403 Forbidden: $outcome"
    kz_wait_for_line "$kz_work/kzhost.log" "account 1 failed 403 Forbidden" 5 || kz_fail "no failed line"
    wait "$registrar_pid" || kz_fail "sipp (registrar) exit status $?"
    ;;
no-answer)
    start_registrar uas_register_silent.xml
    # The stack re-sends an unanswered REGISTER every 2 s and gives up at 7 s; the default retry
    # interval (10 s) is longer, so the timeout ends the first attempt before the next one starts.
    start_kzhost
    add_account
    outcome=$(registration_outcome 30)
    echo "$outcome" | grep -q '"state": "failed"' && echo "$outcome" | grep -q '"code": 408' ||
        kz_fail "not reported as failed 408: $outcome"
    before=$(registers_seen)
    [ "$before" = 1 ] || kz_fail "sipp saw $before REGISTERs before the failure, wanted 1"
    for _ in $(seq 300); do [ "$(registers_seen)" -ge 2 ] && break; sleep 0.05; done
    [ "$(registers_seen)" -ge 2 ] || kz_fail "no new REGISTER after the failure"
    kz_stop "$registrar_pid"
    grep -aE "^CSeq: *[0-9]+ REGISTER" "$kz_work/registrar.msg.log" | uniq -c
    ;;
mwi)
    start_kzhost
    kz_sipp mwi 20 -sf "$sipp_dir/uac_notify_mwi.xml" "127.0.0.1:$sip_port" -p "$sipp_port" -m 1 ||
        kz_fail "sipp's NOTIFY was not answered 200"
    kz_wait_events 1 5 notify event_package=message-summary waiting=yes || kz_fail "no message-summary event"
    event=$(kz_events notify event_package=message-summary | head -1)
    echo "$event" | grep -q '"voice": "2/8 (0/2)"' || kz_fail "the voice counts were lost: $event"
    echo "$event" | grep -q "sip:alice@127.0.0.1" || kz_fail "the message account was lost: $event"
    echo "$event"
    ;;
*) echo "unknown mode $mode"; exit 2 ;;
esac
kz_events registration
echo "$mode: passed"
