#!/usr/bin/env bash
# DTMF between kzhost and independent peers on 127.0.0.1, one mode per run:
#   kzhost_dtmf.sh KZHOST MODE
# Every mode sends the sixteen keys 0-9 * # A-D and checks that the receiver reports each one
# once, in order, by the method it came by. kzhost's reports are its "dtmf" events on the control
# socket (all of them recorded in events.log).
# Modes:
#   rfc2833-from-baresip  baresip calls kzhost and sends telephone events (its "sndcode" command,
#                         one key at a time, through its ctrl_tcp module)
#   rfc2833-to-baresip    kzhost calls baresip and sends the keys by "send-dtmf" method rfc2833;
#                         baresip logs each event it receives ("received event: 'K' (end=0|1)")
#   info-from-sipp        sipp calls kzhost and sends SIP INFO (application/dtmf-relay, one per
#                         key, Duration=160) (tests/sipp/uac_info_dtmf.xml)
#   info-to-sipp          kzhost calls sipp and sends the keys by "send-dtmf" method info; sipp
#                         checks each INFO's body and logs its signal (tests/sipp/uas_info_dtmf.xml)
#   inband                kzhost calls a second kzhost, both with in-band DTMF
#                         (kzsrv.sip.dtmf.method=0), and sends the keys as tones
#   inband-wav            baresip plays a file of the keys as tones (sox: two sines a key,
#                         100 ms on, 100 ms off) into kzhost (in-band, shortest key 60 ms)
#   talkoff               baresip plays 60 s of speech (espeak-ng) into kzhost set as for
#                         inband-wav: no key may be reported
# The figures (keys, methods, durations) are printed whether the run passes or not. A mode whose
# peer is not installed is skipped (status 77).
set -u
kzhost=$1 mode=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/kzhost_lib.sh"

keys="0123456789*#ABCD"

need() {
    local tool
    for tool in python3 "$@"; do
        command -v "$tool" >/dev/null || { echo "$tool is not installed (scripts/install-deps): skipped"; exit 77; }
    done
}

kz_ports
kz_media_ports
baresip_ctl=$((baresip_port + 5))

# kzhost's settings for every mode: PCMU only, so that in-band tones keep their shape.
pcmu=(--set kzsrv.sip.prefered.codec=0)
# In-band reception of keys 100 ms long: the default shortest key (120 ms) would refuse them.
inband_rx=(--set kzsrv.sip.dtmf.method=0 --set kzsrv.sip.min.inband.audio.dtmf.dur=60)

# reported_keys [CHANNEL]: kzhost's dtmf events (on CHANNEL, else any) as one line of figures.
reported_keys() {
    kz_events dtmf ${1:+channel=$1} | python3 -c '
import json, sys
events = [json.loads(line) for line in sys.stdin]
print("keys=%s methods=%s durations_ms=%s" % (
    "".join(e.get("digit", "?") for e in events) or "-",
    ",".join(sorted({str(e.get("method")) for e in events})) or "-",
    ",".join(str(e.get("duration_ms")) for e in events) or "-"))'
}

# check_keys FIGURES WANT METHOD: the figures of reported_keys against the keys and method wanted.
check_keys() {
    local figures=$1 want=$2 method=$3
    echo "kzhost reported: $figures"
    [[ "$figures" == "keys=$want methods=$method "* ]] ||
        kz_fail "$mode: wanted keys=$want methods=$method, got $figures"
}

# send_dtmf CHANNEL METHOD: kzhost sends the keys on the channel.
send_dtmf() {
    local reply
    reply=$(kz_request "{\"cmd\":\"send-dtmf\",\"channel\":$1,\"digits\":\"$keys\",\"method\":\"$2\"}") ||
        kz_fail "send-dtmf refused: $reply"
}

hang_up() { kz_request "{\"cmd\":\"hangup\",\"channel\":$1}" >/dev/null || kz_fail "hangup refused"; }

# Each key once, 250 ms apart (baresip sends the key's start and, on its release, the end).
rfc2833_from_baresip() {
    need baresip
    kz_start_kzhost "$kzhost" --answer-after 0 "${pcmu[@]}"
    kz_events_start
    kz_baresip_config a "$baresip_a_port" "$baresip_a_rtp" pcmu -200
    kz_baresip_control a "$baresip_ctl"
    kz_baresip_start a 40 -e "/dial sip:ivr@127.0.0.1:$sip_port"
    local channel i commands=()
    channel=$(kz_connected_channel in 10) || kz_fail "kzhost did not connect baresip's call"
    sleep 0.5
    for ((i = 0; i < ${#keys}; i++)); do commands+=("sndcode ${keys:i:1}"); done
    kz_baresip_commands "$baresip_ctl" 0.25 "${commands[@]}" || kz_fail "baresip refused a key"
    kz_wait_events ${#keys} 5 dtmf channel="$channel"
    echo "baresip sent: $(kz_baresip_text a | grep -c 'send DTMF digit end') keys"
    hang_up "$channel"
    check_keys "$(reported_keys "$channel")" "$keys" rfc2833
}

# baresip_received WHICH: the keys of baresip B's "received event" lines, starts (0) or ends (1).
baresip_received() {
    kz_baresip_text b | sed -n "s/.*received event: '\(.\)' (end=$1).*/\1/p" | tr -d '\n'
}

rfc2833_to_baresip() {
    need baresip
    kz_start_kzhost "$kzhost" "${pcmu[@]}"
    kz_events_start
    kz_baresip_config b "$baresip_b_port" "$baresip_b_rtp" pcmu -200
    kz_baresip_start b 40
    local channel reply starts ends
    reply=$(kz_request "{\"cmd\":\"dial\",\"to\":\"sip:b@127.0.0.1:$baresip_b_port\"}") || kz_fail "dial refused: $reply"
    channel=$(kz_connected_channel out 10) || kz_fail "kzhost's call to baresip did not connect"
    sleep 0.5
    send_dtmf "$channel" rfc2833
    for _ in $(seq 100); do
        [ "$(kz_baresip_text b | grep -c "received event: '.' (end=1)")" -ge ${#keys} ] && break
        sleep 0.1
    done
    sleep 0.5 # a key too many would come now
    hang_up "$channel"
    starts=$(baresip_received 0)
    ends=$(baresip_received 1)
    echo "baresip received: starts=${starts:--} ends=${ends:--}"
    [ "$starts" = "$keys" ] && [ "$ends" = "$keys" ] ||
        kz_fail "$mode: wanted each of $keys started and ended once, in order"
}

# The injection file of uac_info_dtmf.xml: "INDEX;SIGNAL;DURATION" a key, then the end mark.
info_keys_file() {
    local i
    echo SEQUENTIAL
    for ((i = 0; i < ${#keys}; i++)); do echo "$i;${keys:i:1};160"; done
    echo "${#keys};end;0"
}

info_from_sipp() {
    need sipp
    kz_start_kzhost "$kzhost" --answer-after 0 "${pcmu[@]}"
    kz_events_start
    info_keys_file >"$kz_work/keys.csv"
    kz_sipp uac 40 -sf "$sipp_dir/uac_info_dtmf.xml" "127.0.0.1:$sip_port" -p "$sipp_port" -mp "$sipp_media" \
        -m 1 -inf "$kz_work/keys.csv"
    local status=$?
    echo "sipp: $(kz_sipp_counts uac) (successful failed), status $status"
    kz_wait_events ${#keys} 2 dtmf
    local figures
    figures=$(reported_keys)
    [ "$status" = 0 ] || { echo "kzhost reported: $figures"; kz_fail "sipp's call with INFOs failed"; }
    check_keys "$figures" "$keys" info
    # The INFO's Duration is the key's.
    [[ "$figures" =~ durations_ms=(160,){15}160$ ]] || kz_fail "$mode: wanted every duration 160 ms"
}

info_to_sipp() {
    need sipp
    kz_start_kzhost "$kzhost" "${pcmu[@]}"
    kz_events_start
    kz_sipp_bg uas 40 -sf "$sipp_dir/uas_info_dtmf.xml" -p "$sipp_port" -mp "$sipp_media" -m 1 \
        -trace_logs -log_file "$kz_work/uas-keys.log"
    local uas=$sipp_bg_pid channel reply got
    sleep 0.3
    reply=$(kz_request "{\"cmd\":\"dial\",\"to\":\"sip:ivr@127.0.0.1:$sipp_port\"}") || kz_fail "dial refused: $reply"
    channel=$(kz_connected_channel out 10) || kz_fail "kzhost's call to sipp did not connect"
    send_dtmf "$channel" info
    for _ in $(seq 100); do
        [ "$(kz_count '^digit ' "$kz_work/uas-keys.log")" -ge ${#keys} ] && break
        sleep 0.1
    done
    sleep 0.5
    hang_up "$channel"
    wait "$uas"
    local status=$?
    echo "sipp: $(kz_sipp_counts uas) (successful failed), status $status"
    got=$(sed -n 's/^digit \(.\) duration .*/\1/p' "$kz_work/uas-keys.log" 2>/dev/null | tr -d '\n')
    echo "sipp received: keys=${got:--} durations_ms=$(sed -n 's/^digit . duration \([0-9]*\).*/\1/p' \
        "$kz_work/uas-keys.log" 2>/dev/null | paste -sd, -)"
    [ "$status" = 0 ] || kz_fail "$mode: sipp's call failed (an INFO without a dtmf-relay body?)"
    [ "$got" = "$keys" ] || kz_fail "$mode: wanted $keys, each once, in order"
}

# A second kzhost ("far"): SIP on P+4, control on P+6, RTP in P+120..P+199; both have 8 channels.
inband() {
    local far_sip=$((sip_port + 4)) far_ctl=$((sip_port + 6)) near far reply
    kz_start_kzhost_at far "$far_sip" "$far_ctl" $((sip_port + 120)) $((sip_port + 199)) "$kzhost" \
        --answer-after 0 --set kzhost.channels=8 "${pcmu[@]}" --set kzsrv.sip.dtmf.method=0
    kz_start_kzhost "$kzhost" --set kzhost.channels=8 "${pcmu[@]}" --set kzsrv.sip.dtmf.method=0
    ctl_port=$far_ctl kz_events_start
    reply=$(kz_request "{\"cmd\":\"dial\",\"to\":\"sip:ivr@127.0.0.1:$far_sip\"}") || kz_fail "dial refused: $reply"
    near=$(kz_connected_channel out 10) || kz_fail "the call to the far kzhost did not connect"
    far=$(ctl_port=$far_ctl kz_connected_channel in 10) || kz_fail "the far kzhost did not connect the call"
    sleep 0.5
    send_dtmf "$near" inband
    kz_wait_events ${#keys} 10 dtmf channel="$far"
    sleep 0.5
    hang_up "$near"
    check_keys "$(reported_keys "$far")" "$keys" inband
}

# keys_wav OUT: the keys as tones, 8000 Hz 16-bit mono: 1 s of silence, each key 100 ms of its two
# sines (sox, each sine at -9 dBFS peak) and 100 ms of silence, 1.5 s of silence at the end.
keys_wav() {
    local out=$1 dir i key low high parts=()
    dir=$(mktemp -d -p "$kz_work")
    sox -n -r 8000 -b 16 -c 1 "$dir/gap.wav" trim 0 0.1 || return 1
    sox -n -r 8000 -b 16 -c 1 "$dir/lead.wav" trim 0 1 || return 1
    sox -n -r 8000 -b 16 -c 1 "$dir/tail.wav" trim 0 1.5 || return 1
    for ((i = 0; i < ${#keys}; i++)); do
        key=${keys:i:1}
        read -r low high <<<"$(key_frequencies "$key")"
        sox -n -r 8000 -b 16 -c 1 "$dir/$i.wav" synth 0.1 sine "$low" sine "$high" || return 1
        parts+=("$dir/$i.wav" "$dir/gap.wav")
    done
    sox "$dir/lead.wav" "${parts[@]}" "$dir/tail.wav" "$out"
}

# key_frequencies KEY: its row and column frequencies.
key_frequencies() {
    local rows=(697 770 852 941) cols=(1209 1336 1477 1633) pad="123A456B789C*0#D" at
    at=${pad%%"$1"*}
    at=${#at}
    echo "${rows[at / 4]} ${cols[at % 4]}"
}

# baresip plays SOURCE into kzhost, which listens in-band; baresip ends the call when the file
# ends. Sets channel.
play_into_kzhost() {
    local source=$1 seconds=$2
    kz_start_kzhost "$kzhost" --answer-after 0 "${pcmu[@]}" "${inband_rx[@]}"
    kz_events_start
    kz_baresip_config a "$baresip_a_port" "$baresip_a_rtp" pcmu -200
    kz_baresip_source a "$source"
    kz_baresip_start a $((seconds + 20)) -e "/dial sip:ivr@127.0.0.1:$sip_port"
    channel=$(kz_connected_channel in 10) || kz_fail "kzhost did not connect baresip's call"
    kz_wait_for_line "$kz_work/a.log" "terminated" $((seconds + 10)) || kz_fail "baresip's file did not end"
    sleep 0.5
}

inband_wav() {
    need baresip sox
    keys_wav "$kz_work/keys.wav" || kz_fail "sox could not make the keys' file"
    echo "keys file: $(soxi -D "$kz_work/keys.wav") s"
    play_into_kzhost "$kz_work/keys.wav" 6
    check_keys "$(reported_keys "$channel")" "$keys" inband
}

talkoff() {
    need baresip sox espeak-ng
    kz_speech "$kz_work/speech.wav" 60 || kz_fail "no speech file"
    play_into_kzhost "$kz_work/speech.wav" 60
    local figures
    figures=$(reported_keys "$channel")
    echo "60 s of speech, kzhost reported: $figures"
    [[ "$figures" == "keys=- "* ]] || kz_fail "$mode: speech was taken for keys"
}

case $mode in
rfc2833-from-baresip) rfc2833_from_baresip ;;
rfc2833-to-baresip) rfc2833_to_baresip ;;
info-from-sipp) info_from_sipp ;;
info-to-sipp) info_to_sipp ;;
inband) inband ;;
inband-wav) inband_wav ;;
talkoff) talkoff ;;
*) echo "unknown mode $mode"; exit 2 ;;
esac
echo "$mode: passed"
