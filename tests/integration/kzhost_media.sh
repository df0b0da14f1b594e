#!/usr/bin/env bash
# Audio through kzhost between two baresips on 127.0.0.1, one mode per run:
#   kzhost_media.sh KZHOST MODE
# baresip A plays a 1 kHz tone (1010 Hz) and dials kzhost, which answers (call 1); kzhost dials
# baresip B, which answers automatically and plays a 1.5 kHz tone (1510 Hz) (call 2); the two calls
# are bridged both ways for about 4 s, then hung up. Each baresip records what it decodes, and each
# recording must hold the other's tone: frequency within 2 %, level within 3 dB of the tone sent,
# no silence longer than 60 ms after its first 0.5 s. Phase jumps (audio lost or repeated without
# silence) are counted and printed, not judged.
# Modes:
#   dsp-CODEC   both legs on CODEC (pcmu pcma g722 gsm opus), bridged through kzhost's DSP
#   transcode   leg A PCMU, leg B G.722, bridged through the DSP
#   rtp         both legs PCMU, RTP relayed as it comes; the packets B receives must also carry
#               one SSRC with continuous sequence numbers (captured on lo)
#   netem       dsp-pcmu inside a network namespace of its own whose loopback delays packets
#               40 ms +- 20 ms and loses 2 %. Where the kernel has no netem, 2 % of UDP is lost
#               through nftables instead (no delay); without either the run is skipped (status
#               77). KZ_MEDIA_QDISC="pfifo", say, replaces the netem qdisc.
#   direct-CODEC  no kzhost: A calls B directly. Checks the baresips, the recording and the
#               analysis themselves (and the RTP capture)
#   analysis    no calls: the analysis must find each fault put into a clean tone
# kzhost's "calls" must report each leg's codec, packets both ways, and no loss (but under netem).
# The figures (frequency, level, longest gap; per call codec, packets, loss, jitter) are printed
# whether the run passes or not. Recordings: baresip's sndfile module, $kz_work/{a,b}/rec/*-dec.wav.
set -u
kzhost=$1 mode=$2
here=$(cd "$(dirname "$0")" && pwd)
check="$here/audio_check.py"

if [ "$mode" = netem ]; then
    # The whole run again inside a namespace: kzhost, both baresips and the control client share
    # its loopback, so every packet between them passes the delay and loss.
    ns=kzmedia-$$
    ip netns add "$ns" || { echo "cannot create a network namespace (needs root)"; exit 77; }
    trap 'ip netns del "$ns"' EXIT
    ip netns exec "$ns" ip link set lo up
    qdisc=${KZ_MEDIA_QDISC:-netem delay 40ms 20ms loss 2%}
    # shellcheck disable=SC2086 # the qdisc is words for tc
    if err=$(ip netns exec "$ns" tc qdisc add dev lo root $qdisc 2>&1); then
        echo "loopback: $qdisc"
    elif ip netns exec "$ns" nft add table inet kzmedia 2>/dev/null &&
        ip netns exec "$ns" nft add chain inet kzmedia input '{ type filter hook input priority 0; }' &&
        ip netns exec "$ns" nft add rule inet kzmedia input meta l4proto udp numgen random mod 50 0 drop; then
        echo "netem is not available here ($err): 2 % of UDP lost (nftables), no delay or jitter"
    else
        echo "netem is not available here ($err), nor nftables: skipped"
        exit 77
    fi
    ip netns exec "$ns" "$0" "$kzhost" netem-inside
    exit $?
fi

. "$here/kzhost_lib.sh"

# The analysis against recordings made faulty on purpose: each must fail with its own complaint,
# the clean one must pass.
if [ "$mode" = analysis ]; then
    python3 "$check" tone "$kz_work/clean.wav" --freq 1010 --level -16 --seconds 5 || kz_fail "no tone file"
    python3 - "$kz_work" <<'PY'
import array, sys, wave
work = sys.argv[1]
with wave.open(work + "/clean.wav") as w:
    pcm = w.readframes(w.getnframes())
frame = 320  # 20 ms at 8000 Hz, 16-bit
faults = {
    "hole": pcm[: 100 * frame] + b"\0" * 5 * frame + pcm[105 * frame :],
    "lost": pcm[: 100 * frame] + pcm[101 * frame :],
    "quiet": array.array("h", (v // 2 for v in array.array("h", pcm))).tobytes(),  # -6 dB
    "silent": b"\0" * len(pcm),
}
for name, data in faults.items():
    with wave.open("%s/%s.wav" % (work, name), "wb") as w:
        w.setnchannels(1); w.setsampwidth(2); w.setframerate(8000); w.writeframes(data)
PY
    python3 "$check" tone "$kz_work/sharp.wav" --freq 1040 --level -16 --seconds 5
    while read -r name complaint; do
        out=$(python3 "$check" analyse "$kz_work/$name.wav" --reference "$kz_work/clean.wav" --max-jumps 0)
        status=$?
        echo "$out" | tail -n +2
        if [ "$complaint" = - ]; then
            [ $status = 0 ] || kz_fail "$name: the clean tone did not pass"
        else
            [ $status = 1 ] && echo "$out" | grep -q "$complaint" || kz_fail "$name: wanted '$complaint'"
        fi
    done <<'CASES'
clean -
hole a gap of 100 ms
lost 1 phase jumps
quiet level -22.02 dBFS
silent no tone
sharp frequency 1040.0 Hz
CASES
    echo "analysis: passed"
    exit 0
fi
for tool in baresip python3; do
    command -v $tool >/dev/null || { echo "$tool is not installed (run scripts/install-deps)"; exit 1; }
done
kz_ports
kz_media_ports

bridge=dsp
case $mode in
dsp-* | direct-*) codec_a=${mode#*-} codec_b=${mode#*-} ;;
transcode) codec_a=pcmu codec_b=g722 ;;
rtp) codec_a=pcmu codec_b=pcmu bridge=rtp ;;
netem-inside) codec_a=pcmu codec_b=pcmu ;;
*) echo "unknown mode $mode"; exit 2 ;;
esac

# kzhost's codec codes, for its preference list.
codec_code() {
    case $1 in pcmu) echo 0 ;; pcma) echo 8 ;; g722) echo 9 ;; gsm) echo 3 ;; opus) echo 114 ;; esac
}

kz_baresip_config a "$baresip_a_port" "$baresip_a_rtp" "$codec_a" -16 1010
kz_baresip_config b "$baresip_b_port" "$baresip_b_rtp" "$codec_b" -16 1510

# rtp_capture SECONDS [--allow-loss]: the RTP packets to B's ports in the background, to rtp.log.
rtp_capture() {
    python3 "$check" rtp --ports "$baresip_b_rtp-$((baresip_b_rtp + 3))" --seconds "$@" >"$kz_work/rtp.log" 2>&1 &
    capture_pid=$!
    kz_track $capture_pid
    sleep 0.3 # the capture socket is open before the packets it is after
}

# Faults found, reported together once every figure is printed.
faults=()

# rtp_verdict: the capture's figures; a fault when it found one.
rtp_verdict() {
    wait "$capture_pid"
    local status=$?
    cat "$kz_work/rtp.log"
    [ $status -eq 3 ] && echo "(the RTP capture could not keep up: not counted)" && return 0
    [ $status -eq 0 ] || faults+=("the RTP that baresip B received is not one continuous stream")
}

direct_call() {
    kz_baresip_start b 30
    b_pid=$baresip_pid
    rtp_capture 10
    kz_baresip_start a 30 -e "/dial sip:b@127.0.0.1:$baresip_b_port"
    a_pid=$baresip_pid
    kz_wait_for_line "$kz_work/b.log" "Call established" 10 || kz_fail "B did not answer A"
    sleep 4.5
    kz_stop "$a_pid"
    kz_wait_for_line "$kz_work/b.log" "terminated" 5 || kz_fail "B did not see the call end"
    kz_stop "$b_pid"
    rtp_verdict
}

bridged_call() {
    kz_start_kzhost "$kzhost" --answer-after 0 \
        --set kzsrv.sip.prefered.codec="$(codec_code "$codec_a"),$(codec_code "$codec_b")"
    kz_baresip_start b 40
    b_pid=$baresip_pid
    kz_baresip_start a 40 -e "/dial sip:kzhost@127.0.0.1:$sip_port"
    a_pid=$baresip_pid
    local call_a call_b reply
    call_a=$(kz_connected_channel in 10) || kz_fail "kzhost did not connect A's call"
    reply=$(kz_request "{\"cmd\":\"dial\",\"to\":\"sip:b@127.0.0.1:$baresip_b_port\"}") ||
        kz_fail "dial refused: $reply"
    call_b=$(kz_connected_channel out 10) || kz_fail "kzhost's call to B did not connect"
    case $mode in
    rtp) rtp_capture 8 ;;
    netem-inside) rtp_capture 8 --allow-loss ;;
    esac
    reply=$(kz_request "{\"cmd\":\"bridge\",\"channel\":$call_a,\"with\":$call_b,\"mode\":\"$bridge\",\"duplex\":\"full\"}") ||
        kz_fail "bridge refused: $reply"
    sleep 4
    figures_a=$(kz_call_media "$call_a")
    figures_b=$(kz_call_media "$call_b")
    printf '%s\n%s\n' "$figures_a" "$figures_b"
    kz_request "{\"cmd\":\"unbridge\",\"channel\":$call_a}" >/dev/null || kz_fail "unbridge refused"
    # B first: its recording ends while the tone still comes, so no silence after it is counted.
    kz_request "{\"cmd\":\"hangup\",\"channel\":$call_b}" >/dev/null || kz_fail "hangup of B's call refused"
    kz_request "{\"cmd\":\"hangup\",\"channel\":$call_a}" >/dev/null || kz_fail "hangup of A's call refused"
    kz_wait_for_line "$kz_work/b.log" "terminated" 5 || kz_fail "B did not see its call end"
    kz_wait_for_line "$kz_work/a.log" "terminated" 5 || kz_fail "A did not see its call end"
    kz_stop "$a_pid"
    kz_stop "$b_pid"
    case $mode in
    rtp) rtp_verdict ;;
    netem-inside) wait "$capture_pid"; cat "$kz_work/rtp.log" ;; # loss is expected there: figures only
    esac
    check_call_figures "$figures_a" "$codec_a"
    check_call_figures "$figures_b" "$codec_b"
}

# check_call_figures LINE CODEC: what "calls" reported for a leg after 4 s of bridged audio: the
# leg's codec, packets both ways at 50 a second (some slack for the start), none lost on a clean
# loopback.
check_call_figures() {
    local line=$1 codec=$2 key value
    value() { echo "$line" | tr ' ' '\n' | sed -n "s/^$1=//p"; }
    value codec | grep -qi "^$codec" || faults+=("$line: wanted codec $codec")
    # An RTP bridge relays the packets outside the calls' own sessions: the capture checks them.
    [ "$mode" = rtp ] && return 0
    for key in packets_sent packets_received; do
        value=$(value $key)
        [[ "$value" =~ ^[0-9]+$ ]] && [ "$value" -ge 150 ] || faults+=("$line: wanted $key of 150 or more")
    done
    [ "$mode" = netem-inside ] && return 0
    [ "$(value lost)" = 0 ] || faults+=("$line: packets lost on loopback")
}

case $mode in
direct-*) direct_call ;;
*) bridged_call ;;
esac

for side in a b; do kz_baresip_text "$side" | grep -E 'Set audio (de|en)coder' | sed "s/^/$side: /"; done
kz_hears b a
kz_hears a b
[ ${#faults[@]} = 0 ] || kz_fail "$mode: $(printf '%s; ' "${faults[@]}")"
echo "$mode: passed"
