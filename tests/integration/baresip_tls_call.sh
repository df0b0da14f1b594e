#!/usr/bin/env bash
# baresip calls kzsip-uas over TLS on 127.0.0.1 (certificate made here with openssl): the call is
# answered with 200, ACKed, and after a few seconds ended by baresip's BYE, which gets its 200.
#   baresip_tls_call.sh KZSIP_UAS
# kzsip-uas takes SIP on PORT and TLS on PORT+1; baresip listens on PORT+10 (TLS on PORT+11);
# PORT starts a block of free ports found at start.
# No sound card is needed: baresip's microphone is a WAV file of silence and its speaker is an
# aubridge device that nothing reads (ALSA's null device would also do, but it never blocks, and
# baresip's player thread then keeps a core busy).
set -u
uas=$1
. "$(dirname "$0")/kzhost_ports.sh"
port=$(kz_port_block 12) || exit 1
call_seconds=3
for tool in baresip openssl; do
    command -v $tool >/dev/null || { echo "$tool is not installed (run scripts/install-deps)"; exit 1; }
done
work=$(mktemp -d)
uas_pid='' baresip_pid=''

stop() { # pid: SIGTERM, then SIGKILL if it has not gone within 5 s
    kill "$1" 2>/dev/null || return 0
    for _ in $(seq 50); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$1" 2>/dev/null && { echo "pid $1 ignored SIGTERM, killing it"; kill -KILL "$1" 2>/dev/null; }
    wait "$1" 2>/dev/null
}
cleanup() {
    [ -n "$baresip_pid" ] && stop "$baresip_pid"
    [ -n "$uas_pid" ] && stop "$uas_pid"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

fail() {
    echo "FAIL: $*"
    echo "--- kzsip-uas output"; cat "$work/uas.log"
    echo "--- SIP messages seen by baresip"; cat "$work/sip.txt" 2>/dev/null
    echo "--- baresip output (last lines)"; sed -e 's/\x1b\[[0-9;]*m//g' "$work/baresip.log" | tail -30
    exit 1
}

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$work/key.pem" \
    -out "$work/cert.pem" -days 1 -subj /CN=kzsip-test -addext subjectAltName=IP:127.0.0.1 2>/dev/null ||
    { echo "openssl failed"; exit 1; }

# 10 s of 8 kHz 16-bit mono silence, longer than the call, so the call ends by the timer.
le() { # VALUE BYTES: VALUE as BYTES little-endian bytes
    for ((i = 0; i < $2; i++)); do printf '%b' "\\x$(printf %02x $((($1 >> (8 * i)) & 255)))"; done
}
bytes=160000
{
    printf RIFF; le $((36 + bytes)) 4; printf 'WAVEfmt '; le 16 4
    le 1 2; le 1 2; le 8000 4; le 16000 4; le 2 2; le 16 2 # PCM, mono, rate, byte rate, frame, bits
    printf data; le $bytes 4; head -c $bytes /dev/zero
} >"$work/silence.wav"

# A local account with no registration; sip_cafile trusts our certificate (which names 127.0.0.1).
mkdir "$work/baresip"
cat >"$work/baresip/config" <<EOF
poll_method		epoll
sip_listen		127.0.0.1:$((port + 10))
sip_cafile		$work/cert.pem
call_local_timeout	10
call_max_calls		1
audio_source		aufile,$work/silence.wav
audio_player		aubridge,nil
audio_alert		aubridge,nil
module_path		/usr/lib/baresip/modules
module			g711.so
module			aufile.so
module			aubridge.so
module_tmp		account.so
module_app		menu.so
EOF
echo "<sip:tester@127.0.0.1>;regint=0" >"$work/baresip/accounts"

"$uas" -p "$port" -t tls --cert "$work/cert.pem" --key "$work/key.pem" >"$work/uas.log" 2>&1 &
uas_pid=$!
for _ in $(seq 100); do grep -q listening "$work/uas.log" && break; sleep 0.05; done
grep -q listening "$work/uas.log" || fail "kzsip-uas did not start"

# -s traces every SIP message; -t quits after the call has run, which hangs it up with BYE.
baresip -f "$work/baresip" -n 127.0.0.1 -s -t $call_seconds \
    -e "/dial sip:kzsip@127.0.0.1:$((port + 1));transport=tls" </dev/null >"$work/baresip.log" 2>&1 &
baresip_pid=$!
for _ in $(seq 200); do kill -0 $baresip_pid 2>/dev/null || break; sleep 0.1; done
kill -0 $baresip_pid 2>/dev/null && { stop $baresip_pid; baresip_pid=; fail "baresip still running after 20 s"; }
wait $baresip_pid
rc=$?
baresip_pid=
stop $uas_pid # kzsip-uas prints what it received as it exits
uas_pid=

# One line per traced message: "TLS sent|received START-LINE | CSeq: N METHOD".
sed -e 's/\x1b\[[0-9;]*m//g' -e 's/\r$//' "$work/baresip.log" >"$work/baresip.txt"
awk -v uas="127.0.0.1:$((port + 1))" '
    $0 == "#" { if ((getline hop) <= 0) exit; split(hop, h, " "); if (h[3] != "->") next
                dir = h[4] == uas ? "sent" : "received"; proto = h[1]
                if ((getline start) <= 0) exit; want = 1; next }
    want && /^CSeq:/ { print proto, dir, start, "|", $0; want = 0 }' "$work/baresip.txt" >"$work/sip.txt"

[ $rc -eq 0 ] || fail "baresip exit code $rc"
expect() { # pattern in file, what it shows
    grep -qE "$1" "$2" || fail "$3"
}
expect '^TLS sent INVITE sip:kzsip@127\.0\.0\.1:[0-9]+;transport=tls SIP/2\.0 \| CSeq: [0-9]+ INVITE$' \
    "$work/sip.txt" "baresip did not send INVITE over TLS"
expect '^TLS received SIP/2\.0 200 OK \| CSeq: [0-9]+ INVITE$' "$work/sip.txt" "no 200 OK to the INVITE"
expect '^TLS sent ACK .* \| CSeq: [0-9]+ ACK$' "$work/sip.txt" "baresip did not send ACK"
expect 'Call established' "$work/baresip.txt" "baresip did not establish the call"
expect '^TLS sent BYE .* \| CSeq: [0-9]+ BYE$' "$work/sip.txt" "baresip did not send BYE"
expect '^TLS received SIP/2\.0 200 OK \| CSeq: [0-9]+ BYE$' "$work/sip.txt" "no 200 OK to the BYE"
expect '^requests received: 1 INVITE, 1 ACK, 1 BYE, 0 CANCEL, 0 other$' "$work/uas.log" \
    "kzsip-uas did not receive exactly one INVITE, ACK and BYE"
cat "$work/sip.txt"
grep -E '^requests received' "$work/uas.log"
echo "call over TLS answered, ACKed and ended by BYE with 200"
