#!/usr/bin/env bash
# Voice activity on a real call on 127.0.0.1:
#   kzhost_vad.sh KZHOST
# baresip dials kzhost playing a file of espeak-ng phrases apart by pauses made with sox, then a
# 1 kHz beep (PCMU). kzhost listens to the received audio ("kzsrv.sip.on.in.vad") and, once
# connected, is told by the control socket to judge what it sends ("vad" out) and plays another
# phrase file, with silence suppression on ("kzsrv.sip.vad.enabled").
# Checked:
#   - every start and end of a phrase (and of the beep) measured on the source file (10 ms blocks
#     louder than -50 dBFS, pauses under 100 ms bridged) is reported within 100 ms, as a position
#     on the received audio's own timeline (the "%u ms" of kzhost's log line), and nothing else is;
#     voice-on and voice-off events for each are published;
#   - one beep event;
#   - the packets that reach baresip (captured on lo with tshark) are about the voiced frames of the
#     played file, not every frame of the call: silent frames are not sent; a voice-on (out) for
#     each played phrase.
set -u
kzhost=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/kzhost_lib.sh"

for tool in baresip espeak-ng sox python3; do
    command -v $tool >/dev/null || { echo "$tool is not installed (run scripts/install-deps)"; exit 1; }
done
kz_ports
kz_media_ports

# phrases OUT LEAD PAUSE TEXT...: each text spoken (voices in turn), trimmed of its own silence,
# LEAD seconds of silence first, PAUSE seconds between phrases, 8 kHz 16-bit mono at -3 dBFS peaks.
phrases() {
    local out=$1 lead=$2 pause=$3 n=0 parts=() voices=(en en+f3 en-us+m3 en+f4)
    shift 3
    sox -n -r 8000 -c 1 -b 16 "$kz_work/lead.wav" trim 0 "$lead" || return 1
    sox -n -r 8000 -c 1 -b 16 "$kz_work/pause.wav" trim 0 "$pause" || return 1
    parts=("$kz_work/lead.wav")
    for text in "$@"; do
        n=$((n + 1))
        espeak-ng -v "${voices[n % 4]}" -w "$kz_work/raw-$n.wav" "$text" || return 1
        sox "$kz_work/raw-$n.wav" -r 8000 -c 1 -b 16 "$kz_work/phrase-$n.wav" \
            silence 1 0.01 0.1% reverse silence 1 0.01 0.1% reverse norm -3 || return 1
        [ $n -gt 1 ] && parts+=("$kz_work/pause.wav")
        parts+=("$kz_work/phrase-$n.wav")
    done
    sox "${parts[@]}" "$out"
}

phrases "$kz_work/speech.wav" 1.0 0.9 "Please hold the line while we connect you" "Thank you for waiting" \
    "Press one for sales or stay on the line" || kz_fail "no speech file"
sox -n -r 8000 -c 1 -b 16 "$kz_work/beep.wav" synth 0.4 sine 1000 vol 0.25 &&
    sox -n -r 8000 -c 1 -b 16 "$kz_work/tail.wav" trim 0 1.5 &&
    sox "$kz_work/speech.wav" "$kz_work/pause.wav" "$kz_work/beep.wav" "$kz_work/tail.wav" "$kz_work/source.wav" ||
    kz_fail "no source file"
# What kzhost plays.
phrases "$kz_work/played.wav" 0.3 0.6 "Your call is important to us" "An agent will answer shortly" ||
    kz_fail "no file to play"

# edges FILE: the voiced spans of a file as "start end" in ms, one a line.
edges() {
    python3 - "$1" <<'PY'
import array, math, sys, wave
with wave.open(sys.argv[1]) as w:
    x = array.array("h", w.readframes(w.getnframes()))
block = 80  # 10 ms
loud = [math.sqrt(sum(v * v for v in x[i:i + block]) / block) >= 32768 * 10 ** (-50 / 20)
        for i in range(0, len(x) - block + 1, block)]
spans = []
for i, on in enumerate(loud):
    if not on:
        continue
    if spans and i * 10 - spans[-1][1] < 100:
        spans[-1][1] = (i + 1) * 10
    else:
        spans.append([i * 10, (i + 1) * 10])
for start, end in spans:
    if end - start >= 30:
        print(start, end)
PY
}
edges "$kz_work/source.wav" >"$kz_work/source.edges" || kz_fail "cannot measure the source"
edges "$kz_work/played.wav" >"$kz_work/played.edges" || kz_fail "cannot measure the played file"
echo "source voice (ms):" $(tr '\n' ';' <"$kz_work/source.edges")

kz_baresip_config a "$baresip_a_port" "$baresip_a_rtp" pcmu -16
kz_baresip_source a "$kz_work/source.wav"
kz_start_kzhost "$kzhost" --answer-after 0 --log-level 4 --set kzsrv.sip.prefered.codec=0 \
    --set kzsrv.sip.on.in.vad=1 --set kzsrv.sip.vad.enabled=1
kz_events_start
kz_when_connected 15 '{"cmd":"vad","out":true}' "{\"cmd\":\"play\",\"files\":[\"$kz_work/played.wav\"]}"
# The packets sent to baresip's RTP port (even; RTCP goes to the odd one above it), captured on lo
# for the whole call (audio_check's capture would stop at the first second without any, and
# silences are what this run makes).
command -v tshark >/dev/null || kz_fail "tshark is not installed (run scripts/install-deps)"
timeout 20 tshark -i lo -f "udp and dst portrange $baresip_a_rtp-$((baresip_a_rtp + 3))" -a duration:16 \
    -w "$kz_work/rtp.pcap" >"$kz_work/tshark.log" 2>&1 &
capture_pid=$!
kz_track $capture_pid
kz_wait_for_line "$kz_work/tshark.log" "Capturing on" 10 || kz_fail "no capture on lo"
kz_baresip_start a 30 -e "/dial sip:vad@127.0.0.1:$sip_port"
channel=$(kz_connected_wait)
[ -n "$channel" ] || kz_fail "the call did not connect, or vad/play was refused"
# baresip hangs up when its file ends.
kz_wait_events 1 20 released channel="$channel" || kz_fail "the call did not end"
wait "$capture_pid"
tshark -r "$kz_work/rtp.pcap" -T fields -e udp.dstport 2>/dev/null | awk '$1 % 2 == 0' | wc -l >"$kz_work/rtp.count"
echo "rtp: $(cat "$kz_work/rtp.count") packets to baresip"

faults=()
# Received audio: the log's positions against the source's edges.
python3 - "$kz_work/source.edges" "$kz_work/kzhost.log" "$channel" <<'PY' || faults+=("incoming voice edges")
import re, sys
spans = [tuple(map(int, l.split())) for l in open(sys.argv[1])]
wanted = [(s, "on") for s, _ in spans] + [(e, "off") for _, e in spans]
wanted.sort()
pattern = re.compile(r"Chan\(%s\) detected incoming voice activity (on|off)! (\d+) ms" % sys.argv[3])
found = [(int(m.group(2)), m.group(1)) for m in map(pattern.search, open(sys.argv[2], errors="replace")) if m]
print("edges on the source: " + " ".join("%s@%d" % (k, t) for t, k in wanted))
print("edges kzhost found:  " + " ".join("%s@%d" % (k, t) for t, k in found))
bad = len(found) != len(wanted)
for (t_want, k_want), (t_found, k_found) in zip(wanted, found):
    late = t_found - t_want
    print("  %-3s source %5d ms  kzhost %5d ms  %+4d ms" % (k_want, t_want, t_found, late))
    bad |= k_want != k_found or abs(late) > 100
sys.exit(1 if bad else 0)
PY
spans=$(wc -l <"$kz_work/source.edges")
ons=$(kz_events voice-on channel="$channel" direction=in | wc -l)
offs=$(kz_events voice-off channel="$channel" direction=in | wc -l)
beeps=$(kz_events beep channel="$channel" | wc -l)
echo "events: $ons voice-on (in), $offs voice-off (in), $beeps beep"
[ "$ons" = "$spans" ] && [ "$offs" = "$spans" ] || faults+=("wanted $spans voice-on and voice-off (in) events")
[ "$beeps" = 1 ] || faults+=("wanted one beep event, got $beeps")
grep -q "detected incoming beep on!" "$kz_work/kzhost.log" || faults+=("no tone-like voice logged for the beep")

# Sent audio: the voiced frames of the played file (each span and the 70 ms that end it, in 20 ms
# frames), against the packets baresip was sent.
packets=$(cat "$kz_work/rtp.count")
call_ms=$(soxi -D "$kz_work/source.wav" | awk '{ printf "%d", $1 * 1000 }')
python3 - "$kz_work/played.edges" "${packets:-0}" "$call_ms" <<'PY' || faults+=("silent frames were sent")
import sys
spans = [tuple(map(int, l.split())) for l in open(sys.argv[1])]
voiced = sum((end + 80 - start) // 20 + 1 for start, end in spans)
packets, call_frames = int(sys.argv[2]), int(sys.argv[3]) // 20
print("sent: %d packets for %d voiced frames played, in a call of %d frames" % (packets, voiced, call_frames))
sys.exit(0 if 0.85 * voiced <= packets <= 1.15 * voiced + 10 else 1)
PY
# Across held-back silence the timestamp moves on with the clock and the talkspurt is marked
# (RFC 3551 4.1), so baresip plays the phrases as far apart as they were spoken.
# (baresip takes the first free even port of its range, so both are decoded as RTP).
tshark -r "$kz_work/rtp.pcap" -d "udp.port==$baresip_a_rtp,rtp" -d "udp.port==$((baresip_a_rtp + 2)),rtp" -Y rtp \
    -T fields -e frame.time_relative -e rtp.timestamp -e rtp.marker 2>/dev/null >"$kz_work/rtp.fields"
python3 - "$kz_work/rtp.fields" <<'PY' || faults+=("held-back silence is not kept in the timestamps")
import sys
rows = [l.split() for l in open(sys.argv[1]) if len(l.split()) == 3]
print("talkspurts: %d RTP packets decoded" % len(rows))
gaps = bad = 0
for (t0, ts0, _), (t1, ts1, marker) in zip(rows, rows[1:]):
    wall = float(t1) - float(t0)
    if wall < 0.1:
        continue
    gaps += 1
    ticks = (int(ts1) - int(ts0)) % (1 << 32)
    if abs(ticks / 8000 - wall) > 0.06 or marker not in ("1", "True"):
        bad += 1
        print("gap of %.0f ms carried %d ticks, marker %s" % (wall * 1000, ticks, marker))
print("talkspurts: %d gaps, %d without the timestamp jump or the marker" % (gaps, bad))
sys.exit(0 if gaps > 0 and bad == 0 else 1)
PY
out_ons=$(kz_events voice-on channel="$channel" direction=out | wc -l)
[ "$out_ons" = "$(wc -l <"$kz_work/played.edges")" ] || faults+=("wanted a voice-on (out) per played phrase")
[ ${#faults[@]} = 0 ] || kz_fail "$(printf '%s; ' "${faults[@]}")"
echo "vad: passed"
