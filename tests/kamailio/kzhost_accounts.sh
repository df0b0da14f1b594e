#!/usr/bin/env bash
# kzhost's account "kz" and baresip's account "bob" both register with kamailio
# (tests/kamailio/registrar_proxy.cfg: registrar, digest password "password", record-routing proxy)
# on 127.0.0.1, and reach each other only through it, one case per run:
#   kzhost_accounts.sh KZHOST calls            baresip calls kz (auto-answer), then kzhost calls bob
#   kzhost_accounts.sh KZHOST message          MESSAGE each way through kamailio
#   kzhost_accounts.sh KZHOST wrong-password   refused, reported, and tried again after its interval
#   kzhost_accounts.sh KZHOST subscribe        kz subscribes to bob's presence (baresip's notifier);
#                                              the subscription is refreshed before it runs out
# kamailio challenges every REGISTER and every new request but NOTIFY, so each side answers 401
# and 407 with its account's credentials. Its log records what went over the wire: registrations,
# challenges and relayed requests.
# The calls take kz from kzhost's configuration ("kzsrv.sip.reg1.*"); the other cases add it with
# the control socket's account-add and follow kzhost's events.
set -u
kzhost=$1 mode=$2
. "$(dirname "$0")/../integration/kzhost_lib.sh"
for tool in baresip kamailio; do
    command -v $tool >/dev/null || { echo "$tool is not installed (run scripts/install-deps)"; exit 1; }
done
kz_ports
cfg="$(cd "$(dirname "$0")" && pwd)/registrar_proxy.cfg"
domain="127.0.0.1:$kamailio_port"
baresip_ctl=$((sipp_port + 4))
subscribe_expires=10

start_kamailio() {
    mkdir "$kz_work/kamailio"
    timeout 120 kamailio -f "$cfg" -A WITH_REQUEST_AUTH -l "udp:127.0.0.1:$kamailio_port" -DD -E -Y "$kz_work/kamailio" \
        -w "$kz_work/kamailio" -m 16 -M 4 >"$kz_work/kamailio.log" 2>&1 &
    kz_track $!
    # It logs its socket's receive buffer once the socket is bound; its worker starts right after.
    kz_wait_for_line "$kz_work/kamailio.log" "SO_RCVBUF is finally" 10 || kz_fail "kamailio did not start"
    sleep 0.3
}

# start_kzhost [kzhost args...]: kzhost on the block's ports, its events recorded.
start_kzhost() {
    kz_start_kzhost "$kzhost" --set kzsrv.sip.use.nat.addr=1 --set kzsrv.sip.keep.alive.msg=0 "$@"
    kz_events_start
}

# configured_account PASSWORD: kzhost args for account 1, kz@127.0.0.1:KAMAILIO_PORT, whose
# registrar is its domain.
configured_account() {
    echo --set kzsrv.sip.reg.client.num=1 --set kzsrv.sip.reg1.username=kz \
        --set kzsrv.sip.reg1.password="$1" --set kzsrv.sip.reg1.domain="$domain"
}

# add_account PASSWORD [JSON members]: the same account added through the control socket.
add_account() {
    kz_request "{\"cmd\":\"account-add\",\"user\":\"kz\",\"domain\":\"$domain\",\"password\":\"$1\"${2:+,$2}}" \
        >/dev/null || kz_fail "kzhost refused account-add"
}

# A headless baresip registered as bob, answering calls, taking commands on $baresip_ctl; its
# contact list holds kz (current), so that "message TEXT" goes there. -s traces its SIP messages.
start_baresip() {
    local dir="$kz_work/baresip"
    mkdir -p "$dir"
    python3 "$here/audio_check.py" tone "$dir/source.wav" --level -200 --seconds 20 --rate 8000 \
        --channels 1 || kz_fail "no source file for baresip"
    cat >"$dir/config" <<CFG
poll_method		epoll
sip_listen		127.0.0.1:$baresip_port
rtp_ports		$sipp_media-$((sipp_media + 9))
call_local_timeout	10
call_max_calls		1
audio_source		aufile,$dir/source.wav
audio_player		aubridge,nil
audio_alert		aubridge,nil
module_path		/usr/lib/baresip/modules
module			g711.so
module			aufile.so
module			aubridge.so
module			ctrl_tcp.so
ctrl_tcp_listen		127.0.0.1:$baresip_ctl
module_app		account.so
module_app		contact.so
module_app		presence.so
module_app		menu.so
CFG
    echo "<sip:bob@$domain>;auth_pass=password;regint=60;answermode=auto;audio_codecs=PCMU" >"$dir/accounts"
    echo "<sip:kz@$domain>" >"$dir/contacts"
    echo "sip:kz@$domain" >"$dir/current_contact"
    baresip -f "$dir" -n 127.0.0.1 -s -t 100 </dev/null >"$kz_work/baresip.log" 2>&1 &
    baresip_pid=$!
    kz_track $baresip_pid
    kz_wait_for_line "$kz_work/baresip.log" "baresip is ready" 10 || kz_fail "baresip did not start"
}

baresip_text() { kz_baresip_text baresip; }

# baresip unregisters when it ends: stopped while kamailio still answers, it ends at once.
stop_baresip() { kz_stop "$baresip_pid"; }

wait_registered() {
    # The account from the configuration may register before the event connection is up: its
    # printed line counts as well.
    kz_wait_events 1 15 registration account=1 state=registered ||
        grep -q "account 1 registered" "$kz_work/kzhost.log" || kz_fail "kzhost did not register"
    for _ in $(seq 200); do baresip_text | grep -q "200 OK.*binding" && return 0; sleep 0.05; done
    kz_fail "baresip did not register"
}

# The status codes of the responses baresip received to its requests of METHOD, one a line.
answered() {
    baresip_text | awk -v method="$1" '/^SIP\/2\.0 [0-9]+ / { code = $2 } /^CSeq: [0-9]+ / { if ($3 == method && code) print code; code = "" } /^$/ { code = "" }'
}

# Requests kamailio relayed to a binding, e.g. relayed "MESSAGE from bob to kz".
relayed() { kz_count "relay new: $1" "$kz_work/kamailio.log"; }

# A new request from kz that kamailio challenged and then, with kz's credentials, relayed to bob.
authenticated_from_kz() { # METHOD
    local challenged
    challenged=$(kz_count "proxy challenge: $1 from kz auth <null>" "$kz_work/kamailio.log")
    [ "$challenged" -ge 1 ] && [ "$(relayed "$1 from kz to bob")" -ge 1 ] ||
        kz_fail "kamailio challenged $challenged ${1}s from kz and relayed $(relayed "$1 from kz to bob")"
}

case_calls() {
    start_kamailio
    start_kzhost $(configured_account password) --set kzsrv.sip.callcontrol.auto.answercall=1
    start_baresip
    wait_registered
    kz_baresip_commands "$baresip_ctl" 0 "dial sip:kz@$domain" || kz_fail "baresip refused to dial"
    kz_wait_events 1 10 connected || kz_fail "kzhost did not connect baresip's call"
    sleep 1
    kz_baresip_commands "$baresip_ctl" 0 "hangup" || kz_fail "baresip refused to hang up"
    kz_wait_events 1 10 released || kz_fail "kzhost did not release baresip's call"
    [ "$(relayed "INVITE from bob to kz")" = 1 ] || kz_fail "kamailio did not relay baresip's INVITE"
    kz_wait_for_line "$kz_work/kamailio.log" "routed in dialog: BYE" 5 || kz_fail "the BYE did not pass kamailio"

    # The account's proxy is the outbound proxy: the INVITE names bob's AOR and goes to kamailio.
    kz_ctl "dial:{\"to\":\"sip:bob@$domain\",\"from\":\"sip:kz@$domain\"}" expect:connected sleep:1 hangup \
        expect:released || kz_fail "kzhost's call to bob failed (see control.log)"
    [ "$(relayed "INVITE from kz to bob")" = 1 ] || kz_fail "kamailio did not relay kzhost's INVITE"
    authenticated_from_kz INVITE
    [ "$(kz_count "routed in dialog: BYE" "$kz_work/kamailio.log")" = 2 ] || kz_fail "kzhost's BYE did not pass kamailio"
    kz_wait_for_line "$kz_work/baresip.log" "terminated" 5 || kz_fail "baresip did not see the call end"
    [ "$(baresip_text | grep -c "Call established")" = 2 ] || kz_fail "baresip did not establish both calls"
    [ "$(grep -cE 'call [0-9]+ connected' "$kz_work/kzhost.log")" = 2 ] || kz_fail "kzhost did not log two calls connected"
    [ "$(grep -cE 'call [0-9]+ released' "$kz_work/kzhost.log")" = 2 ] || kz_fail "kzhost did not log two calls released"
    stop_baresip
    # Stopping kzhost unregisters its account.
    kz_stop "$kzhost_pid"
    kz_wait_for_line "$kz_work/kamailio.log" "register kz expires 0" 5 || kz_fail "kzhost did not unregister when stopped"
    echo "calls: baresip -> kz and kzhost -> bob through kamailio, both connected and released"
}

case_message() {
    start_kamailio
    start_kzhost
    start_baresip
    add_account password
    wait_registered
    kz_baresip_commands "$baresip_ctl" 0 "message hello from bob" || kz_fail "baresip refused to send"
    kz_wait_events 1 10 message text="hello from bob" || kz_fail "kzhost did not report bob's MESSAGE"
    kz_events message | grep -q "sip:bob@$domain" || kz_fail "bob's MESSAGE came from elsewhere: $(kz_events message)"
    [ "$(relayed "MESSAGE from bob to kz")" = 1 ] || kz_fail "kamailio did not relay baresip's MESSAGE"
    answered MESSAGE | grep -q '^200$' || kz_fail "baresip's MESSAGE was not answered 200: $(answered MESSAGE)"

    kz_request "{\"cmd\":\"message\",\"account\":1,\"to\":\"sip:bob@$domain\",\"text\":\"hello from kz\"}" \
        >/dev/null || kz_fail "kzhost refused to send"
    # The report carries the message's id, which kz_events takes for a command's reply: read it raw.
    kz_wait_for_line "$kz_work/events.log" '"event": *"message-delivered"' 12 || kz_fail "kzhost reported no outcome for its MESSAGE"
    grep -E '"event": *"message-delivered"' "$kz_work/events.log" | grep -qE '"code": *20[02]' ||
        kz_fail "kzhost's MESSAGE was not delivered: $(grep message-delivered "$kz_work/events.log")"
    [ "$(relayed "MESSAGE from kz to bob")" = 1 ] || kz_fail "kamailio did not relay kzhost's MESSAGE"
    authenticated_from_kz MESSAGE
    baresip_text | grep -q "hello from kz" || kz_fail "kzhost's text did not reach baresip"
    stop_baresip
    grep -E '"event": *"message-delivered"' "$kz_work/events.log"
    echo "message: bob -> kz and kz -> bob through kamailio"
}

case_wrong_password() {
    start_kamailio
    start_kzhost
    add_account guessed '"retry":3'
    # Two rounds, each a REGISTER challenged and answered with credentials that are refused.
    kz_wait_events 2 15 registration account=1 state=failed || kz_fail "kzhost did not report two failures"
    kz_events registration state=failed | grep -qvE '"code": *40[13]' &&
        kz_fail "a failure other than 401/403: $(kz_events registration state=failed)"
    for _ in $(seq 200); do
        [ "$(kz_count "challenge kz .* auth kz" "$kz_work/kamailio.log")" -ge 2 ] && break
        sleep 0.05
    done
    local fresh answered
    fresh=$(kz_count "challenge kz .* auth <null>" "$kz_work/kamailio.log")
    answered=$(kz_count "challenge kz .* auth kz" "$kz_work/kamailio.log")
    [ "$fresh" -ge 2 ] && [ "$answered" -ge 2 ] ||
        kz_fail "kamailio saw $fresh REGISTERs without and $answered with credentials, wanted two of each"
    [ -z "$(kz_events registration state=registered)" ] || kz_fail "kzhost registered with a wrong password"
    [ "$(kz_count "^register kz" "$kz_work/kamailio.log")" = 0 ] || kz_fail "kamailio accepted kz"
    grep -E "account 1 failed" "$kz_work/kzhost.log" | head -2
    echo "wrong-password: refused twice, $fresh attempts seen by kamailio"
}

case_subscribe() {
    start_kamailio
    start_baresip
    start_kzhost
    add_account password
    wait_registered
    kz_request "{\"cmd\":\"watch\",\"account\":1,\"target\":\"sip:bob@$domain\",\"event\":\"presence\",\"expires\":$subscribe_expires}" \
        >/dev/null || kz_fail "kzhost refused to watch bob"
    # The first SUBSCRIBE is relayed to bob's binding by lookup; refreshes may come either way.
    kz_wait_for_line "$kz_work/kamailio.log" "relay new: SUBSCRIBE from kz to bob" 15 || kz_fail "no SUBSCRIBE relayed"
    kz_wait_events 1 5 subscription account=1 subscribed=True || kz_fail "kzhost did not report the subscription"
    kz_wait_events 1 5 notify event_package=presence || kz_fail "kzhost reported no presence NOTIFY"
    local sent=0 pattern="(relay new|routed in dialog): SUBSCRIBE .* expires $subscribe_expires"
    for _ in $(seq $((subscribe_expires * 2 * 20 + 100))); do
        sent=$(kz_count "$pattern" "$kz_work/kamailio.log")
        [ "$sent" -ge 3 ] && break
        sleep 0.05
    done
    [ "$sent" -ge 3 ] || kz_fail "kamailio passed on $sent SUBSCRIBEs, wanted the first and two refreshes"
    local statuses
    kz_wait_events 3 3 subscription account=1 subscribed=True
    statuses=$(kz_events subscription account=1 subscribed=True | wc -l)
    [ "$statuses" -ge 3 ] || kz_fail "kzhost reported $statuses subscriptions, wanted 3 (two refreshes)"
    [ "$(kz_count "proxy challenge: SUBSCRIBE from kz auth <null>" "$kz_work/kamailio.log")" -ge 3 ] ||
        kz_fail "not every SUBSCRIBE was challenged and answered"
    grep -E "SUBSCRIBE" "$kz_work/kamailio.log" | sed 's/.*<script>: //'
    stop_baresip
    echo "subscribe: answered by baresip, refreshed $((sent - 1)) times"
}

case $mode in
calls) case_calls ;;
message) case_message ;;
wrong-password) case_wrong_password ;;
subscribe) case_subscribe ;;
*) echo "unknown mode $mode"; exit 2 ;;
esac
