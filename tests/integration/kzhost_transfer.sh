#!/usr/bin/env bash
# Hold, transfer, redirection and a mid-call codec change between kzhost and independent peers
# (baresip, sipp) on 127.0.0.1, one mode per run:
#   kzhost_transfer.sh KZHOST MODE
# kzhost is driven through its control socket and its events are recorded in events.log. What
# kzhost sent and received is taken from its own message log (level 4) into wire.log, one line a
# message; what the sipp parties saw is in their NAME.msg.log. The figures and traces are printed
# whether the run passes or not.
# Modes (each one catches what its comment says):
#   hold-by-kzhost      baresip calls kzhost with a 1010 Hz tone, kzhost records; kzhost holds the
#                       call and resumes it: re-INVITE with a=sendonly answered a=recvonly, then
#                       a=sendrecv both ways; events held and resumed; the recording holds tone, a
#                       gap as long as the hold, tone again
#   hold-by-baresip     the same with baresip holding (its ctrl_tcp "hold"/"resume"): kzhost must
#                       answer a=recvonly, then a=sendrecv; events remote-held and remote-resumed
#   blind-transferor    kzhost calls baresip B and transfers it to baresip C: REFER with Refer-To
#                       <sip:c@...>, B's NOTIFYs give transfer-progress up to 200, kzhost reports
#                       transferred and leaves (BYE); C is connected to B
#   blind-transferee-1, blind-transferee-2
#                       sipp calls kzhost and sends REFER to a sipp target (tests/sipp/uac_refer.xml)
#                       with auto-transfer 1 or 2: 202, NOTIFY sipfrag 100 then 200, and kzhost
#                       places the call to the target, which connects
#   attended-transferor kzhost calls sipp B and sipp C, then transfers B to C replacing its call
#                       with C: B (tests/sipp/uas_refer_b.xml; baresip cannot act on Replaces)
#                       checks the Refer-To's Replaces and calls C with it; C's INVITE must name
#                       kzhost's call with C (Call-ID and both tags); kzhost leaves B's call
#   attended-transferee sipp's REFER names the target with ?Replaces=...: kzhost's INVITE to the
#                       target must carry that Replaces (unescaped) and Referred-By (the REFER's
#                       Contact), and be reported back by NOTIFY 200
#   redirect-follow     kzhost calls a sipp that answers 302 to a second sipp, with
#                       "kzsrv.sip.callcontrol.handle.3xx" on: kzhost calls the target, which connects
#   redirect-off        the same with it off: the call is released with cause 302 and the target
#                       sees no INVITE
#   redirect-answer     sipp calls kzhost, which answers with the "redirect" command (302 to a
#                       second sipp); sipp follows the Contact (tests/sipp/uac_redirect_follow.xml)
#   reinvite-codec      sipp calls with PCMU and a 1010 Hz tone, then re-INVITEs offering PCMA
#                       only and sends a 1510 Hz tone in PCMA (tests/sipp/uac_reinvite_codec.xml):
#                       kzhost must answer PCMA, report it in "calls", and record both tones clean
# A mode whose peer is not installed is skipped (status 77).
set -u
kzhost=$1 mode=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/kzhost_lib.sh"

# Python through a version manager's shim starts slowly on a loaded machine, and the helpers
# below start it often: the interpreter itself goes first on PATH.
PATH="$(dirname "$(python3 -c 'import sys; print(sys.executable)')"):$PATH"

need() {
    local tool
    for tool in python3 "$@"; do
        command -v "$tool" >/dev/null || { echo "$tool is not installed (scripts/install-deps): skipped"; exit 77; }
    done
}

# Ports of the block (kzhost_lib.sh): kzhost keeps 8 channels, RTP P+40..P+159; each sipp takes
# four media ports from P+160 on. For the transfer between baresips, B (two calls at once) has
# eight RTP ports from P+180 and a third baresip, C, has SIP on P+36 and RTP from P+190.
kz_ports
kz_media_ports
rtp_last=$((sip_port + 159))
sipp_port=$((sip_port + 10)) sipp2_port=$((sip_port + 12))
sipp_mp=$((sip_port + 160)) sipp2_mp=$((sip_port + 164))
baresip_c_port=$((sip_port + 36))
baresip_b2_rtp=$(((sip_port + 181) / 2 * 2))
baresip_c_rtp=$(((sip_port + 191) / 2 * 2))
baresip_a_ctl=$((sip_port + 35))
faults=()

start_kzhost() { # [kzhost args...]: 8 channels, every message logged
    kz_start_kzhost "$kzhost" --log-level 4 --set kzhost.channels=8 "$@"
    kz_events_start
}

request() { # JSON: a command that must be taken
    local reply
    reply=$(kz_request "$1") || kz_fail "refused: $1: $reply"
}

# call_request CMD CHANNEL [JSON members]: a hold, transfer or redirect command for that call.
call_request() {
    request "{\"cmd\":\"$1\",\"channel\":$2${3:+,$3}}"
}

# expect_event KIND SECONDS CHANNEL [KEY=VALUE...]: waits for the event; a fault when it does not come.
expect_event() {
    local kind=$1 seconds=$2 channel=$3
    shift 3
    kz_wait_events 1 "$seconds" "$kind" "channel=$channel" "$@" ||
        faults+=("no $kind event for call $channel${*:+ ($*)} within $seconds s")
}

# connected_channel: the channel of the first call kzhost connected, once it did (10 s at most).
connected_channel() {
    kz_wait_events 1 10 connected || return 1
    kz_events connected | head -n 1 | python3 -c 'import json, sys; print(json.loads(sys.stdin.read())["channel"])'
}

hang_up() { kz_request "{\"cmd\":\"hangup\",\"channel\":$1}" >/dev/null; }

# wire: kzhost's log of messages as one line each into wire.log: ">" sent, "<" received, then the
# first line and the headers and SDP lines that matter here.
wire() {
    python3 - "$kz_work/kzhost.log" >"$kz_work/wire.log" <<'PY'
import re, sys
keep = re.compile(r"^(CSeq|Refer-To|Referred-By|Replaces|Event|Subscription-State|Contact|Call-ID|To|From):"
                  r"|^m=audio|^a=(sendonly|recvonly|sendrecv|inactive|rtpmap)|^SIP/2\.0 \d+", re.I)
lines = open(sys.argv[1], errors="replace").read().splitlines()
stamp = re.compile(r"^\d\d:\d\d:\d\d\.\d{3} ")
i = 0
while i < len(lines):
    if re.match(r"^\d+ Bytes Data:$", lines[i]) and i + 1 < len(lines) and lines[i + 1].startswith("["):
        direction = ">" if "Send to" in lines[i - 1] else "<"
        message = [lines[i + 1][1:].strip()]
        i += 2
        while i < len(lines) and not stamp.match(lines[i]):
            message.append(lines[i])
            i += 1
        message[-1] = re.sub(r"\] on \w+$", "", message[-1])
        if message[0]:  # not a keep-alive
            parts = [message[0]] + [l.strip() for l in message[1:] if keep.match(l.strip())]
            print(direction + " " + " | ".join(parts))
        continue
    i += 1
PY
}

# nth_message DIR FIRST-LINE-REGEX N: the Nth (from 1) such message of wire.log.
nth_message() { # retransmissions are the same line again and count once
    grep -E "^$1 $2" "$kz_work/wire.log" | awk '!seen[$0]++' | sed -n "${3}p"
}

# wire_expect DIR FIRST-LINE-REGEX N REGEX WHAT: a fault unless the Nth such message matches REGEX.
wire_expect() {
    local message
    message=$(nth_message "$1" "$2" "$3")
    [[ "$message" =~ $4 ]] || faults+=("$5: message $3 '$1 $2' is: ${message:-missing}")
}

# sipp_message NAME REGEX: the first message in NAME's log whose first line matches REGEX, whole.
sipp_message() {
    awk -v re="$2" '
        /^----------------------------------------------- / { if (found) exit; grab = 0; next }
        !grab && !found && $0 ~ re { grab = 1; found = 1 }
        grab { print }' "$kz_work/$1.msg.log" | tr -d '\r'
}

# segments REC [PATTERN...]: the recording in 100 ms blocks, labelled by the dominant tone when
# the block is clean (its tone within 2 dB of its whole level), "noise" when not, "gap" when silent
# (below -45 dBFS); runs of one label are printed as LABEL:SECONDS@DBFS. With a PATTERN of
# LABEL:MIN[:MAX][@DBFS] items ("gap" for silence, a frequency in Hz for a tone), exits 1 unless
# the runs, leaving out runs shorter than 0.3 s and the silence at either end, are those labels in
# that order, of those lengths and within 3 dB of those levels.
segments() {
    python3 - "$here" "$@" <<'PY'
import math, sys
sys.path.insert(0, sys.argv[1])
import audio_check as ac
path, pattern = sys.argv[2], sys.argv[3:]
samples, rate = ac.read_mono(path)
size = rate // 10


def sine_level(block, freq):
    """The RMS level (dBFS) of the sine at freq in a Hann-windowed block."""
    n = len(block)
    window = [0.5 - 0.5 * math.cos(2 * math.pi * i / (n - 1)) for i in range(n)]
    power = ac.goertzel_power([x * w for x, w in zip(block, window)], rate, freq)
    return ac.dbfs(2 * math.sqrt(max(power, 0.0)) / sum(window) / math.sqrt(2))


runs = []  # [label, blocks, sum of squares]
for start in range(0, len(samples) - size + 1, size):
    block = samples[start : start + size]
    level = ac.dbfs(ac.rms(block))
    label = "gap"
    if level >= -45:
        freq = round(ac.dominant_frequency(block, rate) / 10) * 10
        label = str(int(freq)) if sine_level(block, freq) > level - 2 else "noise"
    energy = sum(x * x for x in block)
    if runs and runs[-1][0] == label:
        runs[-1][1] += 1
        runs[-1][2] += energy
    else:
        runs.append([label, 1, energy])


def show(run):
    return "%s:%.1f@%.0f" % (run[0], run[1] / 10, ac.dbfs(math.sqrt(run[2] / (run[1] * size))))


print("recording: " + " ".join(show(r) for r in runs))
if not pattern:
    sys.exit(0)
kept = []
for run in runs:
    if run[1] < 3:
        continue
    if kept and kept[-1][0] == run[0]:
        kept[-1][1] += run[1]
        kept[-1][2] += run[2]
    else:
        kept.append(list(run))
while kept and kept[0][0] == "gap":
    kept.pop(0)
while kept and kept[-1][0] == "gap":
    kept.pop()


def fits(run, item):
    item, _, level = item.partition("@")
    label, low, high = (item.split(":") + [""])[:3]
    seconds, dbfs = run[1] / 10, ac.dbfs(math.sqrt(run[2] / (run[1] * size)))
    return (run[0] == label and seconds >= float(low) - 1e-6 and (not high or seconds <= float(high) + 1e-6)
            and (not level or abs(dbfs - float(level)) <= 3))


if len(kept) != len(pattern) or not all(fits(r, p) for r, p in zip(kept, pattern)):
    print("wanted: " + " ".join(pattern) + ", got: " + " ".join(show(r) for r in kept))
    sys.exit(1)
PY
}

finish() {
    wire
    echo "--- kzhost's messages"
    cat "$kz_work/wire.log"
    echo "--- kzhost's events"
    grep -v '"pong"' "$kz_work/events.log"
    [ ${#faults[@]} = 0 ] || kz_fail "$mode: $(printf '%s; ' "${faults[@]}")"
    echo "$mode: passed"
    exit 0
}

# --- hold ---------------------------------------------------------------------------------------

# baresip A calls kzhost with a 1010 Hz tone; kzhost records from the moment it connects; the
# holder holds at 1.5 s and resumes at 3 s; the recording stops at 4.5 s.
hold() {
    local holder=$1 channel
    need baresip
    start_kzhost --answer-after 0 --set kzsrv.sip.prefered.codec=0
    kz_baresip_config a "$baresip_a_port" "$baresip_a_rtp" pcmu -16 1010
    kz_baresip_control a "$baresip_a_ctl"
    kz_when_connected 20 "{\"cmd\":\"record\",\"path\":\"$kz_work/hold.wav\",\"format\":\"linear\"}"
    kz_baresip_start a 40 -e "/dial sip:ivr@127.0.0.1:$sip_port"
    channel=$(connected_channel) || kz_fail "kzhost did not connect baresip's call"
    sleep 1.5
    if [ "$holder" = kzhost ]; then
        call_request hold "$channel"
        expect_event held 3 "$channel"
        sleep 1.5
        call_request resume "$channel"
        expect_event resumed 3 "$channel"
    else
        kz_baresip_commands "$baresip_a_ctl" 1.5 hold resume || kz_fail "baresip refused hold or resume"
        expect_event remote-held 1 "$channel"
        expect_event remote-resumed 3 "$channel"
    fi
    sleep 1.5
    request "{\"cmd\":\"stop-record\",\"channel\":$channel}"
    hang_up "$channel"
    wire
    if [ "$holder" = kzhost ]; then
        # kzhost answered the call, so every INVITE it sends is a re-INVITE of its own.
        wire_expect ">" "INVITE " 1 "a=sendonly" "hold offer"
        wire_expect "<" "SIP/2.0 200 .*CSeq: [0-9]+ INVITE" 1 "a=recvonly" "hold answer"
        wire_expect ">" "INVITE " 2 "a=sendrecv" "resume offer"
        wire_expect "<" "SIP/2.0 200 .*CSeq: [0-9]+ INVITE" 2 "a=sendrecv" "resume answer"
    else
        # The first 200 to an INVITE answered the call itself.
        wire_expect "<" "INVITE " 2 "a=sendonly" "baresip's hold offer"
        wire_expect ">" "SIP/2.0 200 .*CSeq: [0-9]+ INVITE" 2 "a=recvonly" "kzhost's hold answer"
        wire_expect "<" "INVITE " 3 "a=sendrecv" "baresip's resume offer"
        wire_expect ">" "SIP/2.0 200 .*CSeq: [0-9]+ INVITE" 3 "a=sendrecv" "kzhost's resume answer"
    fi
    # Media stops for the hold (baresip sends nothing while held or holding) and comes back: a
    # hold that changed nothing on the media, or a resume that did not restart it, fails here.
    segments "$kz_work/hold.wav" 1010:0.8@-16 gap:0.8 1010:0.8@-16 || faults+=("no gap for the hold, or no tone after it")
    finish
}

# --- transfer -----------------------------------------------------------------------------------

blind_transferor() {
    need baresip
    start_kzhost
    kz_baresip_config b "$baresip_b_port" "$baresip_b2_rtp" pcmu -16
    # B talks to kzhost and to C for a moment: two calls, RTP ports for both.
    sed -i -e 's/^call_max_calls.*/call_max_calls\t\t4/' \
        -e "s/^rtp_ports.*/rtp_ports\t\t$baresip_b2_rtp-$((baresip_b2_rtp + 7))/" "$kz_work/b/config"
    kz_baresip_start b 40
    kz_baresip_config c "$baresip_c_port" "$baresip_c_rtp" pcmu -16
    kz_baresip_start c 40
    local channel
    request "{\"cmd\":\"dial\",\"to\":\"sip:b@127.0.0.1:$baresip_b_port\"}"
    channel=$(kz_connected_channel out 10) || kz_fail "kzhost's call to baresip B did not connect"
    sleep 0.5
    call_request transfer "$channel" "\"target\":\"sip:c@127.0.0.1:$baresip_c_port\""
    expect_event transfer-progress 10 "$channel" code=200
    expect_event transferred 5 "$channel"
    expect_event released 5 "$channel"
    kz_wait_for_line "$kz_work/c.log" "Call established" 5 || faults+=("baresip C has no call from B")
    kz_baresip_text b | grep -E "transferring call|Call established" || true
    kz_baresip_text c | grep -E "Call established" || true
    wire
    wire_expect ">" "REFER " 1 "Refer-To: <sip:c@127\.0\.0\.1:$baresip_c_port>" "REFER"
    wire_expect ">" "REFER " 1 "Referred-By: <sip:" "REFER's Referred-By"
    wire_expect "<" "NOTIFY " 1 "Event: refer" "B's NOTIFY"
    grep -qE '^< NOTIFY .*\| SIP/2\.0 200' "$kz_work/wire.log" || faults+=("no NOTIFY with sipfrag 200 reached kzhost")
    wire_expect ">" "BYE " 1 "." "kzhost's BYE to B"
    finish
}

# transferee AUTO REFER_TO ATTENDED(True|False): sipp (uac_refer.xml) calls kzhost and refers it to a sipp
# target that answers (uas_ring_answer.xml); kzhost's call to the target is hung up here.
transferee() {
    local auto=$1 refer_to=$2 attended=$3 status channel
    need sipp
    start_kzhost --answer-after 0 --set kzsrv.sip.callcontrol.auto.transfercall="$auto"
    kz_sipp_bg target 20 -sf "$sipp_dir/uas_ring_answer.xml" -p "$sipp2_port" -mp "$sipp2_mp" -m 1
    local target=$sipp_bg_pid
    sleep 0.3
    kz_sipp_bg transferor 20 -sf "$sipp_dir/uac_refer.xml" "127.0.0.1:$sip_port" -p "$sipp_port" -mp "$sipp_mp" \
        -m 1 -set refer_to "$refer_to"
    local transferor=$sipp_bg_pid
    channel=$(kz_connected_channel out 10) || faults+=("kzhost's call to the target did not connect")
    wait "$transferor"
    status=$?
    echo "transferor (sipp): $(kz_sipp_counts transferor) (successful failed), status $status"
    # sipp's status covers the 202, both NOTIFYs with their Event, Subscription-State and sipfrag.
    [ "$status" = 0 ] || faults+=("the transferor's REFER was not accepted and reported (202, NOTIFY 100, NOTIFY 200)")
    kz_wait_events 1 1 transfer-requested "attended=$attended" ||
        faults+=("no transfer-requested event with attended $attended")
    [ -n "$channel" ] && { sleep 0.5; hang_up "$channel"; }
    wait "$target"
    status=$?
    echo "target (sipp): $(kz_sipp_counts target), status $status"
    [ "$status" = 0 ] || faults+=("the target's call did not run through")
    target_invite=$(sipp_message target '^INVITE ')
    echo "--- the target's INVITE"
    echo "$target_invite"
    [[ "$target_invite" == "INVITE sip:target@127.0.0.1:$sipp2_port"* ]] ||
        faults+=("the target did not get an INVITE for sip:target@127.0.0.1:$sipp2_port")
    # A blind transfer is placed from the referred call's own channel once that call has ended;
    # an attended one at once from another channel, and its outcome is what the final NOTIFY
    # reports, so the target's INVITE comes first.
    local referred first_after
    referred=$(kz_events offered | head -n 1 | python3 -c 'import json, sys; print(json.loads(sys.stdin.read())["channel"])')
    wire
    first_after=$(grep -nE '^(< BYE |> INVITE sip:target@|> NOTIFY .*\| SIP/2\.0 200)' "$kz_work/wire.log" |
        cut -d' ' -f1-3 | awk '!seen[$0]++' | tr '\n' ' ')
    echo "order: $first_after"
    if [ "$attended" = False ]; then
        [ "$channel" = "$referred" ] || faults+=("the blind transfer's call is on channel $channel, not $referred")
        [[ "$first_after" =~ "< BYE ".*"> INVITE" ]] || faults+=("the blind transfer's INVITE came before the BYE")
    else
        [ "$channel" != "$referred" ] || faults+=("the attended transfer's call took the referred call's channel")
        [[ "$first_after" =~ "> INVITE ".*"> NOTIFY" ]] || faults+=("the final NOTIFY came before the target was called")
    fi
}

blind_transferee() {
    transferee "$1" "<sip:target@127.0.0.1:$sipp2_port>" False
    finish
}

attended_transferee() {
    local replaces="kzcall-7f3a@127.0.0.1;to-tag=tt81;from-tag=ff42" escaped
    escaped=$(python3 -c 'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1], safe=""))' "$replaces")
    # With auto-transfer at its default (1) a REFER with Replaces is still carried out at once
    # from another channel, whose INVITE carries the Replaces.
    transferee 1 "<sip:target@127.0.0.1:$sipp2_port?Replaces=$escaped>" True
    # The REFER's Replaces, unescaped, names the call the target is to replace; Referred-By is the
    # REFER's Contact (a sipp transferor on sipp_port).
    grep -qxF "Replaces: $replaces" <<<"$target_invite" ||
        faults+=("the target's INVITE does not carry 'Replaces: $replaces'")
    grep -qE "^Referred-By: <sip:transferor@127\.0\.0\.1:$sipp_port[;>]" <<<"$target_invite" ||
        faults+=("the target's INVITE does not carry the transferor as Referred-By")
    finish
}

attended_transferor() {
    need sipp
    start_kzhost
    kz_sipp_bg c 20 -sf "$sipp_dir/uas_ring_answer.xml" -p "$sipp2_port" -mp "$sipp2_mp" -m 2
    local c=$sipp_bg_pid
    kz_sipp_bg b 20 -sf "$sipp_dir/uas_refer_b.xml" -p "$sipp_port" -mp "$sipp_mp" -m 1
    local b=$sipp_bg_pid status channel_b channel_c
    sleep 0.3
    request "{\"cmd\":\"dial\",\"to\":\"sip:b@127.0.0.1:$sipp_port\"}"
    channel_b=$(kz_connected_channel out 10) || kz_fail "kzhost's call to B did not connect"
    request "{\"cmd\":\"dial\",\"to\":\"sip:c@127.0.0.1:$sipp2_port\"}"
    for _ in $(seq 50); do
        channel_c=$(kz_events connected | python3 -c '
import json, sys
print(" ".join(str(json.loads(l)["channel"]) for l in sys.stdin))' | tr ' ' '\n' | grep -vx "$channel_b" | head -n 1)
        [ -n "$channel_c" ] && break
        sleep 0.1
    done
    [ -n "$channel_c" ] || kz_fail "kzhost's call to C did not connect"
    sleep 0.3
    call_request transfer "$channel_b" "\"target\":\"sip:c@127.0.0.1:$sipp2_port\",\"replaces_channel\":$channel_c"
    expect_event transfer-progress 10 "$channel_b" code=200
    expect_event transferred 3 "$channel_b"
    expect_event released 5 "$channel_b"
    wait "$b"
    status=$?
    echo "B (sipp): $(kz_sipp_counts b) (successful failed), status $status"
    # B's status covers the REFER: Refer-To with ?Replaces=CALLID;to-tag;from-tag and Referred-By.
    [ "$status" = 0 ] || faults+=("B did not complete the attended transfer")
    hang_up "$channel_c"
    wait "$c"
    echo "C (sipp): $(kz_sipp_counts c), status $?"
    # C's first INVITE came from kzhost, its second from B; the second must replace the first:
    # the Call-ID and kzhost's From tag of the first, and C's own To tag for that call.
    local first second call_id from_tag to_tag
    first=$(awk '/^INVITE /{n++} n==1' "$kz_work/c.msg.log" | tr -d '\r' | sed '/^-----/q')
    second=$(awk '/^INVITE /{n++} n==2' "$kz_work/c.msg.log" | tr -d '\r' | sed '/^-----/q')
    call_id=$(sed -n 's/^Call-ID: *//p' <<<"$first" | head -n 1)
    from_tag=$(sed -n 's/^From:.*;tag=\([^;]*\).*/\1/p' <<<"$first" | head -n 1)
    to_tag=$(awk '/^SIP\/2.0 200/{f=1} f && /^To:/{print; exit}' "$kz_work/c.msg.log" | tr -d '\r' |
        sed -n 's/.*;tag=\([^;]*\).*/\1/p')
    echo "--- B's INVITE to C"
    echo "$second"
    grep -qxF "Replaces: $call_id;to-tag=$to_tag;from-tag=$from_tag" <<<"$second" ||
        faults+=("B's INVITE to C does not replace kzhost's call with C ($call_id;to-tag=$to_tag;from-tag=$from_tag)")
    wire
    wire_expect ">" "REFER " 1 "Refer-To: <sip:c@127\.0\.0\.1:$sipp2_port\?Replaces=" "REFER"
    finish
}

# --- redirection --------------------------------------------------------------------------------

# redirected HANDLE_3XX: kzhost calls sipp R (uas_redirect.xml), which answers 302 to sipp T.
redirected() {
    need sipp
    start_kzhost --set kzsrv.sip.callcontrol.handle.3xx="$1"
    kz_sipp_bg target 20 -sf "$sipp_dir/uas_ring_answer.xml" -p "$sipp2_port" -mp "$sipp2_mp" -m 1
    local target=$sipp_bg_pid channel
    kz_sipp_bg redirector 20 -sf "$sipp_dir/uas_redirect.xml" -p "$sipp_port" -mp "$sipp_mp" -m 1 \
        -set target_port "$sipp2_port"
    local redirector=$sipp_bg_pid
    sleep 0.3
    request "{\"cmd\":\"dial\",\"to\":\"sip:r@127.0.0.1:$sipp_port\"}"
    # R checks that the 302 is acknowledged.
    wait "$redirector" || faults+=("the 302 was not acknowledged")
    if [ "$1" = 1 ]; then
        channel=$(kz_connected_channel out 10) || faults+=("the call to the 302's Contact did not connect")
        [ -n "$channel" ] && { sleep 0.5; hang_up "$channel"; }
        wait "$target" || faults+=("the target's call did not run through")
        [[ "$(sipp_message target '^INVITE ')" == "INVITE sip:target@127.0.0.1:$sipp2_port"* ]] ||
            faults+=("the target got no INVITE for the 302's Contact")
    else
        kz_wait_events 1 5 released cause=302 || faults+=("no release with cause 302")
        sleep 1 # an INVITE to the target would come now
        kz_stop "$target"
        [ -z "$(sipp_message target '^INVITE ')" ] || faults+=("kzhost followed the 302 with handle.3xx off")
    fi
    finish
}

redirect_answer() {
    need sipp
    start_kzhost
    kz_sipp_bg target 20 -sf "$sipp_dir/uas_ring_answer.xml" -p "$sipp2_port" -mp "$sipp2_mp" -m 1
    local target=$sipp_bg_pid caller channel status
    sleep 0.3
    kz_sipp_bg caller 20 -sf "$sipp_dir/uac_redirect_follow.xml" "127.0.0.1:$sip_port" -p "$sipp_port" \
        -mp "$sipp_mp" -m 1
    caller=$sipp_bg_pid
    kz_wait_events 1 5 offered || kz_fail "kzhost was not offered sipp's call"
    channel=$(kz_events offered | head -n 1 | python3 -c 'import json, sys; print(json.loads(sys.stdin.read())["channel"])')
    kz_request "{\"cmd\":\"ring\",\"channel\":$channel}" >/dev/null # may ring already
    # A target in user@host form is sent as <sip:user@host>.
    call_request redirect "$channel" "\"target\":\"target@127.0.0.1:$sipp2_port\",\"code\":302"
    wait "$caller"
    status=$?
    echo "caller (sipp): $(kz_sipp_counts caller) (successful failed), status $status"
    # The caller's status covers the 302 and its Contact <sip:target@127.0.0.1:PORT>.
    [ "$status" = 0 ] || faults+=("the caller did not get a 302 to the target and reach it")
    wait "$target" || faults+=("the target's call did not run through")
    expect_event released 3 "$channel"
    wire
    wire_expect ">" "SIP/2.0 302 " 1 "Contact: <sip:target@127\.0\.0\.1:$sipp2_port>" "kzhost's 302"
    finish
}

# --- codec change -------------------------------------------------------------------------------

reinvite_codec() {
    need sipp sox
    # sipp's rtp_stream reads raw G.711 from its working directory.
    sox -n -r 8000 -c 1 -e u-law -t raw "$kz_work/tone.pcmu" synth 2 sine 1010 vol 0.2 &&
        sox -n -r 8000 -c 1 -e a-law -t raw "$kz_work/tone.pcma" synth 2.5 sine 1510 vol 0.2 ||
        kz_fail "sox could not make the tones"
    start_kzhost --answer-after 0
    # The recording ends by itself before sipp's BYE (4 s of the 4.5 s call).
    kz_when_connected 20 "{\"cmd\":\"record\",\"path\":\"$kz_work/codec.wav\",\"format\":\"linear\",\"max_seconds\":4}"
    (cd "$kz_work" && kz_sipp caller 30 -sf "$sipp_dir/uac_reinvite_codec.xml" "127.0.0.1:$sip_port" \
        -p "$sipp_port" -mp "$sipp_mp" -m 1) &
    local caller=$! channel status codec
    channel=$(connected_channel) || kz_fail "kzhost did not connect sipp's call"
    for _ in $(seq 40); do # the PCMA half starts 2 s after the connection
        codec=$(kz_call_media "$channel")
        [[ "$codec" == *"codec=PCMA/8000"* ]] && break
        sleep 0.1
    done
    echo "$codec"
    [[ "$codec" == *"codec=PCMA/8000"* ]] || faults+=("calls does not report PCMA after the re-INVITE")
    wait "$caller"
    status=$?
    echo "caller (sipp): $(kz_sipp_counts caller) (successful failed), status $status"
    # sipp's status covers the 200 to the re-INVITE answering payload 8 alone.
    [ "$status" = 0 ] || faults+=("the re-INVITE to PCMA was not answered with PCMA")
    kz_wait_events 1 3 record-done channel="$channel" || faults+=("no record-done")
    # Both tones clean, in order and at their level: PCMA packets dropped fail here, and PCMA
    # decoded as PCMU gives a tone 12 dB too loud.
    segments "$kz_work/codec.wav" 1010:1.2@-17 1510:1.2@-17 || faults+=("the recording is not the PCMU tone then the PCMA tone")
    finish
}

case $mode in
hold-by-kzhost) hold kzhost ;;
hold-by-baresip) hold baresip ;;
blind-transferor) blind_transferor ;;
blind-transferee-1) blind_transferee 1 ;;
blind-transferee-2) blind_transferee 2 ;;
attended-transferor) attended_transferor ;;
attended-transferee) attended_transferee ;;
redirect-follow) redirected 1 ;;
redirect-off) redirected 0 ;;
redirect-answer) redirect_answer ;;
reinvite-codec) reinvite_codec ;;
*) echo "unknown mode $mode"; exit 2 ;;
esac
