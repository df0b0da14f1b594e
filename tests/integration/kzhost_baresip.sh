#!/usr/bin/env bash
# Calls between kzhost and baresip (a real soft-phone) on 127.0.0.1, one per run:
#   kzhost_baresip.sh KZHOST in-udp|in-tls|out-udp|out-tls
# in-*:  baresip dials kzhost, which answers automatically; baresip hangs up after a few seconds.
# out-*: kzhost dials baresip through its control socket, baresip answers automatically; kzhost
#        hangs up. Either way both sides must log the call connected and released.
# baresip runs headless: a WAV of silence is its microphone, an aubridge device nobody reads its
# speaker; one certificate made here (naming 127.0.0.1) serves kzhost and baresip over TLS.
set -u
kzhost=$1 mode=$2
. "$(dirname "$0")/kzhost_lib.sh"
for tool in baresip openssl; do
    command -v $tool >/dev/null || { echo "$tool is not installed (run scripts/install-deps)"; exit 1; }
done
kz_ports
transport=${mode#*-}
direction=${mode%-*}

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$kz_work/key.pem" \
    -out "$kz_work/cert.pem" -days 1 -subj /CN=kzsip-test -addext subjectAltName=IP:127.0.0.1 2>/dev/null ||
    kz_fail "openssl failed"
cat "$kz_work/cert.pem" "$kz_work/key.pem" >"$kz_work/cert+key.pem"

python3 - "$kz_work/silence.wav" <<'PY'
import sys, wave
w = wave.open(sys.argv[1], "wb")
w.setnchannels(1); w.setsampwidth(2); w.setframerate(8000)
w.writeframes(b"\0" * 320000)  # 20 s, longer than any call here
w.close()
PY

mkdir "$kz_work/baresip"
cat >"$kz_work/baresip/config" <<EOF
poll_method		epoll
sip_listen		127.0.0.1:$baresip_port
sip_certificate		$kz_work/cert+key.pem
sip_cafile		$kz_work/cert.pem
call_local_timeout	10
call_max_calls		1
audio_source		aufile,$kz_work/silence.wav
audio_player		aubridge,nil
audio_alert		aubridge,nil
module_path		/usr/lib/baresip/modules
module			g711.so
module			aufile.so
module			aubridge.so
module_tmp		account.so
module_app		menu.so
EOF
echo "<sip:tester@127.0.0.1>;regint=0;answermode=auto" >"$kz_work/baresip/accounts"

tls_args=()
[ "$transport" = tls ] && tls_args=(--set kzsrv.sip.protocol=7 --set kzsrv.sip.ssl.cert.file="$kz_work/cert.pem"
    --set kzsrv.sip.ssl.key.file="$kz_work/key.pem")

# baresip's output without colour codes; -s adds every SIP message it sends and receives.
baresip_text() { sed -e 's/\x1b\[[0-9;]*m//g' -e 's/\r$//' "$kz_work/baresip.log"; }

case $direction in
in)
    kz_start_kzhost "$kzhost" --set kzsrv.sip.callcontrol.auto.answercall=1 "${tls_args[@]}"
    target="sip:kzhost@127.0.0.1:$sip_port"
    [ "$transport" = tls ] && target="sip:kzhost@127.0.0.1:$((sip_port + 1));transport=tls"
    # -t quits after 4 s, hanging the call up with BYE.
    timeout 30 baresip -f "$kz_work/baresip" -n 127.0.0.1 -s -t 4 -e "/dial $target" </dev/null \
        >"$kz_work/baresip.log" 2>&1 || kz_fail "baresip exit status $?"
    baresip_text | grep -q "Call established" || kz_fail "baresip did not establish the call"
    baresip_text | grep -qE '^BYE sip:' || kz_fail "baresip did not send BYE"
    kz_wait_for_line "$kz_work/kzhost.log" 'call [0-9]+ released' 5 || kz_fail "kzhost did not release the call"
    ;;
out)
    kz_start_kzhost "$kzhost" "${tls_args[@]}"
    # -t bounds baresip's life; it is stopped as soon as the call is over.
    baresip -f "$kz_work/baresip" -n 127.0.0.1 -s -t 30 </dev/null >"$kz_work/baresip.log" 2>&1 &
    baresip_pid=$!
    kz_track $baresip_pid
    kz_wait_for_line "$kz_work/baresip.log" "baresip is ready" 10 || kz_fail "baresip did not start"
    to="sip:tester@127.0.0.1:$baresip_port" dial_transport=udp
    [ "$transport" = tls ] && to="sip:tester@127.0.0.1:$((baresip_port + 1));transport=tls" dial_transport=tls
    kz_ctl "dial:{\"to\":\"$to\",\"transport\":\"$dial_transport\"}" expect:connected sleep:2 hangup \
        expect:released || kz_fail "control steps failed (see control.log)"
    kz_wait_for_line "$kz_work/baresip.log" "terminated" 5 || kz_fail "baresip did not see the call end"
    kz_stop $baresip_pid
    baresip_text | grep -q "Call established" || kz_fail "baresip did not establish the call"
    ;;
*) echo "unknown mode $mode"; exit 2 ;;
esac

grep -qE 'call [0-9]+ connected' "$kz_work/kzhost.log" || kz_fail "kzhost did not log the call connected"
grep -qE 'call [0-9]+ released' "$kz_work/kzhost.log" || kz_fail "kzhost did not log the call released"
# Over TLS every message of the call stays on TLS: each hop in baresip's trace, each Via, and
# kzhost's Contact (which tells baresip where to send its ACK and BYE).
if [ "$transport" = tls ]; then
    hops='^(UDP|TCP|TLS) 127\.0\.0\.1:[0-9]+ -> 127\.0\.0\.1:[0-9]+'
    baresip_text | grep -qE "$hops" || kz_fail "baresip traced no SIP messages"
    baresip_text | grep -E "$hops" | grep -qvE '^TLS ' && kz_fail "messages of the TLS call went over UDP or TCP"
    baresip_text | grep -E '^Via: ' | grep -qv 'SIP/2.0/TLS' && kz_fail "a Via of the TLS call names another transport"
    baresip_text | grep -E '^Contact: .*sip:kzhost@' | grep -qv 'transport=tls' &&
        kz_fail "kzhost's Contact on the TLS call does not say transport=tls"
fi
grep -E 'call [0-9]+ (connected|released)' "$kz_work/kzhost.log"
baresip_text | grep -E 'Call established|terminated'
echo "$mode: passed"
