#!/usr/bin/env bash
# Audio files played and recorded by kzhost on a call with baresip on 127.0.0.1, and call-progress
# tones heard by kzhost, one mode per run:
#   kzhost_playrecord.sh KZHOST MODE
# baresip calls kzhost (which answers) and plays a file as its microphone (aufile); it records
# what it hears (sndfile, as in kzhost_media.sh). kzhost is driven through its control socket and
# its events are recorded in events.log. Files are made by sox (tones) and espeak-ng (speech).
# Modes:
#   play-wav, play-mp3  kzhost plays a 2 s 1 kHz tone (WAV at 8 kHz; MP3 at 44.1 kHz) to baresip:
#                       in baresip's recording the tone must last 2 s within 40 ms, hold 1 kHz
#                       within 2 % with no gap over 60 ms, and kzhost report play-done "end";
#                       the WAV is sent at a gain of -6 dB, which the tone's level must show
#                       (within 1.5 dB)
#   record-ulaw, record-alaw
#                       baresip sends a 1 kHz tone; kzhost records 3 s of it ("max_seconds") as a
#                       WAV of that encoding: soxi must show the encoding, 8000 Hz, one channel;
#                       the tone must fill the recording (no hole over 200 ms), its length 3 s
#                       less the 15 frames (300 ms) kzhost leaves out at a recording's start,
#                       within 40 ms
#   record-linear       the same in 16-bit linear, ended by stop-record 2.5 s after the start
#   record-mixed        kzhost plays a 1.5 kHz tone while it records both directions mixed: the
#                       recording must hold baresip's 1 kHz and kzhost's 1.5 kHz, each within
#                       7 dB of its level (a mixer may sum or halve its inputs)
#   tones               baresip plays busy, ringback and congestion tones of North America and
#                       of Europe in turn (sox, standard cadences) with kzhost detecting tones: its
#                       tone events must name them in that order with their first frequencies
#   tones-speech        30 s of speech with kzhost detecting tones: no tone event
# The figures are printed whether the run passes or not. A mode whose tools are not installed is
# skipped (status 77).
set -u
kzhost=$1 mode=$2
here=$(cd "$(dirname "$0")" && pwd)
check="$here/audio_check.py"
. "$here/kzhost_lib.sh"

# A recording leaves out its first 15 DSP frames (20 ms each), so that it starts on settled audio.
record_lead_s=0.3

need() {
    local tool
    for tool in python3 baresip sox soxi "$@"; do
        command -v "$tool" >/dev/null || { echo "$tool is not installed (scripts/install-deps): skipped"; exit 77; }
    done
}

kz_ports
kz_media_ports
faults=()

# call_kzhost SOURCE_LEVEL SOURCE_FREQ [FILE [COMMAND...]]: kzhost answering, baresip A calling it
# with a tone of that level and frequency as its microphone (or FILE); the COMMANDs (JSON, without
# "channel") go to kzhost the moment the call is connected. Sets channel.
call_kzhost() {
    local level=$1 freq=$2 file=${3:-}
    shift $(($# < 3 ? $# : 3))
    kz_start_kzhost "$kzhost" --answer-after 0 --set kzsrv.sip.prefered.codec=0
    kz_events_start
    kz_baresip_config a "$baresip_a_port" "$baresip_a_rtp" pcmu "$level" "$freq"
    [ -n "$file" ] && kz_baresip_source a "$file"
    [ $# -gt 0 ] && kz_when_connected 20 "$@"
    kz_baresip_start a 90 -e "/dial sip:ivr@127.0.0.1:$sip_port"
    if [ $# -gt 0 ]; then
        channel=$(kz_connected_wait) || kz_fail "kzhost did not connect baresip's call or refused $*"
    else
        channel=$(kz_connected_channel in 10) || kz_fail "kzhost did not connect baresip's call"
    fi
}

request() { # JSON: a command that must be taken
    local reply
    reply=$(kz_request "$1") || kz_fail "refused: $1: $reply"
}

hang_up() {
    request "{\"cmd\":\"hangup\",\"channel\":$channel}"
    kz_wait_for_line "$kz_work/a.log" "terminated" 5 || kz_fail "baresip did not see the call end"
}

# done_event KIND RESULT SECONDS: waits for KIND's event on the channel; prints it; a fault when
# its result is not RESULT.
done_event() {
    kz_wait_events 1 "$3" "$1" channel="$channel" || { faults+=("no $1 event within $3 s"); return 1; }
    local event
    event=$(kz_events "$1" channel="$channel" | head -n 1)
    echo "kzhost: $event"
    [[ "$event" == *"\"result\": \"$2\""* ]] || faults+=("$1 ended with another result than $2")
}

finish() {
    [ ${#faults[@]} = 0 ] || kz_fail "$mode: $(printf '%s; ' "${faults[@]}")"
    echo "$mode: passed"
    exit 0
}

play() {
    local kind=$1 tone="$kz_work/tone.$1" recording
    if [ "$kind" = mp3 ]; then
        sox -n -r 44100 -c 1 "$tone" synth 2 sine 1000 vol 0.5 || kz_fail "sox could not make an MP3"
    else
        sox -n -r 8000 -b 16 -c 1 "$tone" synth 2 sine 1000 vol 0.5 || kz_fail "sox could not make a WAV"
    fi
    echo "played file: $(soxi -r "$tone") Hz, $(soxi -D "$tone") s (2 s of tone)"
    call_kzhost -200 1000
    sleep 0.5
    local level=-9.03 # RMS of a sine at half of full scale
    if [ "$kind" = wav ]; then
        request "{\"cmd\":\"gain\",\"channel\":$channel,\"out_db\":-6}"
        level=-15.03
    fi
    request "{\"cmd\":\"play\",\"channel\":$channel,\"files\":[\"$tone\"]}"
    done_event play-done end 10
    sleep 0.5
    hang_up
    recording=$(kz_recording a dec) || kz_fail "baresip recorded nothing"
    echo "baresip heard:"
    python3 "$check" span "$recording" --freq 1000 --seconds 2 ||
        faults+=("the played tone did not come through whole")
    python3 "$check" mix "$recording" --tone "1000:$level" --level-tol 1.5 ||
        faults+=("the played tone is not at $level dBFS")
    finish
}

# rec_check FILE ENCODING SECONDS: soxi's figures of a recording, and the tone in it.
rec_check() {
    local file=$1 encoding=$2 seconds=$3 format length
    [ -s "$file" ] || kz_fail "kzhost wrote no recording at $file"
    format="$(soxi -e "$file") / $(soxi -r "$file") Hz / $(soxi -c "$file") channel(s)"
    length=$(soxi -D "$file")
    echo "recording: $format / $length s (wanted $encoding / 8000 Hz / 1 channel(s) / $seconds s)"
    [ "$format" = "$encoding / 8000 Hz / 1 channel(s)" ] || faults+=("recording is $format")
    awk "BEGIN { d = $length - $seconds; exit !(d <= 0.04 && d >= -0.04) }" ||
        faults+=("the recording lasts $length s, wanted $seconds s within 40 ms")
    sox "$file" -e signed-integer -b 16 "$kz_work/linear.wav" || kz_fail "sox cannot read the recording"
    # kzhost records by its own clock and writes silence for audio that is late: a loaded machine
    # may leave a short hole, so only a long one is a fault here (the play modes allow 60 ms).
    python3 "$check" span "$kz_work/linear.wav" --freq 1000 --seconds "$seconds" --max-gap-ms 200 ||
        faults+=("the recorded tone does not fill the recording")
}

record_max() {
    local format=$1 encoding=$2 file="$kz_work/rec-$1.wav"
    call_kzhost -16 1000
    sleep 1
    request "{\"cmd\":\"record\",\"channel\":$channel,\"path\":\"$file\",\"format\":\"$format\",\"max_seconds\":3}"
    done_event record-done max-seconds 10
    hang_up
    rec_check "$file" "$encoding" "$(awk "BEGIN { print 3 - $record_lead_s }")"
    finish
}

# The recording is stopped 2.5 s after kzhost took it: both commands from one client, timed there.
record_stopped() {
    local file="$kz_work/rec-linear.wav" span
    call_kzhost -16 1000
    sleep 1
    span=$(python3 - "$ctl_port" "$channel" "$file" <<'PY'
import json, socket, sys, time
port, channel, path = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
s = socket.create_connection(("127.0.0.1", port), timeout=10)
lines = s.makefile("rb")
s.sendall(b'{"cmd":"unsubscribe"}\n')

def command(obj):
    s.sendall(json.dumps(obj).encode() + b"\n")
    for line in lines:
        reply = json.loads(line)
        if reply.get("id") == obj["id"]:
            if reply.get("event") == "error":
                sys.exit("%s refused: %s" % (obj["cmd"], reply.get("reason")))
            return time.monotonic()

start = command({"cmd": "record", "channel": channel, "path": path, "format": "linear", "id": 1})
time.sleep(2.5)
stop = command({"cmd": "stop-record", "channel": channel, "id": 2})
print("%.3f" % (stop - start))
PY
    ) || kz_fail "record or stop-record refused"
    echo "recorded for $span s by the control client's clock"
    done_event record-done stopped 5
    hang_up
    rec_check "$file" "Signed Integer PCM" "$(awk "BEGIN { print $span - $record_lead_s }")"
    finish
}

record_mixed() {
    local file="$kz_work/rec-mixed.wav" played="$kz_work/tone1500.wav"
    sox -n -r 8000 -b 16 -c 1 "$played" synth 30 sine 1500 vol 0.35 || kz_fail "sox could not make a WAV"
    call_kzhost -16 1000
    sleep 1
    request "{\"cmd\":\"play\",\"channel\":$channel,\"files\":[\"$played\"]}"
    sleep 0.5
    request "{\"cmd\":\"record\",\"channel\":$channel,\"path\":\"$file\",\"mixed\":true,\"max_seconds\":3}"
    done_event record-done max-seconds 10
    hang_up
    [ -s "$file" ] || kz_fail "kzhost wrote no recording"
    echo "recording: $(soxi -e "$file"), $(soxi -r "$file") Hz, $(soxi -D "$file") s"
    echo "sent levels: baresip 1000 Hz -16.00 dBFS, kzhost 1500 Hz $(python3 "$check" mix "$played" --tone 1500:0 --level-tol 100 | sed -n 's/.*level_1500_hz=\([^ ]*\).*/\1/p') dBFS"
    python3 "$check" mix "$file" --tone 1000:-16 --tone 1500:-12.12 --level-tol 7 ||
        faults+=("the mixed recording does not hold both tones")
    finish
}

# cadence OUT F1 F2 ON_MS OFF_MS CYCLES: the tone (F2 0: one frequency) ON_MS on and OFF_MS off,
# CYCLES times, then one more ON_MS on: a cadence is known once its tone comes back.
cadence() {
    local out=$1 f1=$2 f2=$3 on=$4 off=$5 cycles=$6 dir sines=(sine "$2")
    dir=$(mktemp -d -p "$kz_work")
    [ "$f2" = 0 ] || sines+=(sine "$f2")
    sox -n -r 8000 -b 16 -c 1 "$dir/on.wav" synth "$(ms "$on")" "${sines[@]}" vol 0.5 &&
        sox -n -r 8000 -b 16 -c 1 "$dir/off.wav" trim 0 "$(ms "$off")" &&
        sox "$dir/on.wav" "$dir/off.wav" "$dir/cycle.wav" &&
        sox "$dir/cycle.wav" "$dir/cycles.wav" repeat $((cycles - 1)) &&
        sox "$dir/cycles.wav" "$dir/on.wav" "$out"
}
ms() { printf '%d.%03d' $(($1 / 1000)) $(($1 % 1000)); }

# The tones in order with 2 s of silence around each: name, frequencies, cadence, cycles.
tone_list() {
    cat <<'TONES'
busy 480 620 500 500 3
ringback 440 480 2000 4000 1
congestion 480 620 250 250 6
busy 425 0 500 500 3
ringback 425 0 1000 4000 1
congestion 425 0 250 250 6
TONES
}

tones() {
    need
    local name f1 f2 on off cycles n=0 parts=() want got
    sox -n -r 8000 -b 16 -c 1 "$kz_work/gap.wav" trim 0 2 || kz_fail "sox failed"
    while read -r name f1 f2 on off cycles; do
        n=$((n + 1))
        cadence "$kz_work/tone$n.wav" "$f1" "$f2" "$on" "$off" "$cycles" || kz_fail "sox could not make $name"
        parts+=("$kz_work/gap.wav" "$kz_work/tone$n.wav")
    done < <(tone_list)
    sox "${parts[@]}" "$kz_work/gap.wav" "$kz_work/tones.wav" || kz_fail "sox failed"
    echo "tones file: $(soxi -D "$kz_work/tones.wav") s"
    listen "$kz_work/tones.wav"
    want=$(tone_list | awk '{ printf "%s%s/%s", (NR > 1 ? " " : ""), $1, $2 }')
    got=$(heard_tones)
    echo "tones wanted: $want"
    echo "tones heard:  ${got:--}  ($(kz_events tone channel="$channel" | wc -l) events)"
    [ "$got" = "$want" ] || faults+=("kzhost named other tones")
    finish
}

tones_speech() {
    need espeak-ng
    kz_speech "$kz_work/speech.wav" 30 || kz_fail "no speech file"
    listen "$kz_work/speech.wav"
    local got
    got=$(heard_tones)
    echo "30 s of speech, tones heard: ${got:--}"
    [ -z "$got" ] || faults+=("speech was taken for tones")
    finish
}

# listen FILE: baresip plays FILE to kzhost, which detects tones, until baresip ends the call at
# the file's end.
listen() {
    local seconds
    seconds=$(soxi -D "$1" | cut -d. -f1)
    call_kzhost -200 1000 "$1" '{"cmd":"detect-tones","on":true}'
    kz_wait_for_line "$kz_work/a.log" "terminated" $((seconds + 10)) || kz_fail "baresip's file did not end"
    sleep 0.5
}

# heard_tones: the channel's tone events as NAME/FREQUENCY, repeats in a row counted once.
heard_tones() {
    kz_events tone channel="$channel" | python3 -c '
import json, sys
names = []
for line in sys.stdin:
    e = json.loads(line)
    name = "%s/%s" % (e.get("tone"), e.get("frequency"))
    if not names or names[-1] != name:
        names.append(name)
print(" ".join(names))'
}

case $mode in
play-wav) need && play wav ;;
play-mp3) need && play mp3 ;;
record-ulaw) need && record_max ulaw u-law ;;
record-alaw) need && record_max alaw A-law ;;
record-linear) need && record_stopped ;;
record-mixed) need && record_mixed ;;
tones) tones ;;
tones-speech) tones_speech ;;
*) echo "unknown mode $mode"; exit 2 ;;
esac
