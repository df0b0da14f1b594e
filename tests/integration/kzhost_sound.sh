#!/usr/bin/env bash
# kzhost's local sound device in a real call on 127.0.0.1, one mode per run:
#   kzhost_sound.sh KZHOST MODE
# kzhost dials a baresip that answers automatically, plays a 1510 Hz tone and records what it
# hears; once connected the call goes on the sound device (sound-open) for a while, then off
# (sound-close) and is hung up. Along the way bad sound commands must each get an error event.
# Modes:
#   wav    the WAV-file device: the microphone is a file holding a 1010 Hz tone, the speaker a
#          file. The speaker file must hold baresip's tone and baresip's recording kzhost's
#          microphone tone (frequency, level, gaps: audio_check.py analyse).
#   null   PortAudio on ALSA's null device (an .asoundrc in a temporary HOME): the device list
#          names it, the call runs 10 s on it, no underrun is logged and the call's transmit side
#          never backs up (the null plugin keeps no time of its own: the device must).
set -u
kzhost=$1 mode=$2
here=$(cd "$(dirname "$0")" && pwd)
check="$here/audio_check.py"
. "$here/kzhost_lib.sh"

for tool in baresip python3; do
    command -v $tool >/dev/null || { echo "$tool is not installed (run scripts/install-deps)"; exit 77; }
done
kz_ports
kz_media_ports
kz_baresip_config b "$baresip_b_port" "$baresip_b_rtp" pcmu -16 1510
faults=()

expect_error() { # JSON: the command must be refused
    kz_request "$1" >/dev/null && faults+=("accepted: $1")
}

case $mode in
wav)
    mic="$kz_work/mic.wav" speaker="$kz_work/speaker.wav"
    python3 "$check" tone "$mic" --freq 1010 --level -16 --seconds 40 || kz_fail "no microphone file"
    # The voice processing is off here (KZ_ECHO=4 puts the echo canceller in): the noise
    # suppressor takes a steady tone for noise, and an echo canceller fed a pure tone on both
    # sides adapts to it and bends the microphone's tone. The canceller has its own test.
    kz_start_kzhost "$kzhost" --sound "wav:$speaker" --set kzsrv.sip.dxsound.device.capture="wav:$mic" \
        --set kzsrv.sip.echo.can.enabled=${KZ_ECHO:-0} --set kzsrv.sip.denoise.enabled=0 --log-level ${KZ_LOG_LEVEL:-2}
    seconds=6
    ;;
null)
    export HOME="$kz_work/home"
    mkdir -p "$HOME"
    printf 'pcm.!default { type null }\nctl.!default { type hw card 0 }\n' >"$HOME/.asoundrc"
    kz_start_kzhost "$kzhost" --sound default --log-level 2
    devices=$(kz_request '{"cmd":"devices"}') || kz_fail "devices refused"
    echo "$devices"
    echo "$devices" | grep -q '"playback":\[{"index":[0-9]*,"name":"default"' || faults+=("no playback device named default")
    echo "$devices" | grep -q '"capture":\[{"index":[0-9]*,"name":"default"' || faults+=("no capture device named default")
    seconds=10
    ;;
*) echo "unknown mode $mode"; exit 2 ;;
esac

kz_baresip_start b 60
expect_error '{"cmd":"sound-open","channel":0}' # no call yet
kz_request "{\"cmd\":\"dial\",\"to\":\"sip:b@127.0.0.1:$baresip_b_port\"}" >/dev/null || kz_fail "dial refused"
channel=$(kz_connected_channel out 10) || kz_fail "the call did not connect"
kz_request "{\"cmd\":\"sound-open\",\"channel\":$channel}" | grep -q sound-opened || kz_fail "sound-open refused"
expect_error "{\"cmd\":\"sound-open\",\"channel\":$channel}" # already on it
expect_error '{"cmd":"sound-close","channel":9999}'
expect_error '{"cmd":"mute","on":"yes"}'
kz_request '{"cmd":"mute","on":false}' | grep -q '"on":false' || faults+=("mute refused")
sleep "$seconds"
kz_request "{\"cmd\":\"sound-close\",\"channel\":$channel}" | grep -q sound-closed || faults+=("sound-close refused")
expect_error "{\"cmd\":\"sound-close\",\"channel\":$channel}" # no longer on it
kz_request "{\"cmd\":\"hangup\",\"channel\":$channel}" >/dev/null || faults+=("hangup refused")
sleep 1

underruns=$(kz_count 'underrun' "$kz_work/kzhost.log")
echo "underruns logged: $underruns"
case $mode in
wav)
    kz_stop "$kzhost_pid" # the speaker file gets its final header
    echo "kzhost's speaker hears b:"
    python3 "$check" analyse "$speaker" --reference "$kz_work/b/source.wav" --skip 1.0 --min-tone 3 ||
        faults+=("b's tone did not reach the speaker file")
    recording=$(kz_recording b dec) || kz_fail "baresip b recorded nothing"
    echo "b hears kzhost's microphone:"
    python3 "$check" analyse "$recording" --reference "$mic" --skip 1.0 --min-tone 3 ||
        faults+=("the microphone's tone did not reach b")
    ;;
null)
    [ "$underruns" = 0 ] || faults+=("$underruns underrun lines logged")
    # A device that does not keep time would flood the call with microphone frames.
    late=$(kz_count 'Giving up' "$kz_work/kzhost.log")
    [ "$late" = 0 ] || faults+=("$late transmit backlogs dropped")
    ;;
esac
[ ${#faults[@]} = 0 ] || kz_fail "$mode: $(printf '%s; ' "${faults[@]}")"
echo "$mode: passed"
