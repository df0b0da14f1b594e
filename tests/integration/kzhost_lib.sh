# Sourced by the kzhost interoperability scripts: one block of free ports on 127.0.0.1, kzhost
# started on it with a control socket, peers started and stopped by PID, every wait bounded.
#
# Ports, from the block's first port P:
#   P          kzhost SIP (UDP and TCP; TLS on P+1)      P+2   kzhost control socket
#   P+10..13   sipp (signalling, second instance)         P+20  sipp media (P+20..P+29)
#   P+30..31   baresip (TLS on P+31)                      P+34  kamailio
#   P+40..P+199 kzhost RTP (40 channels at 4 ports each)
# Scripts set kz_work (a temporary directory removed at exit) and register their peers with
# kz_track PID so that kz_cleanup stops them. KZ_KEEP=DIR keeps a copy of the logs in DIR.

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
kz_lib_dir=$here
sipp_dir=$(cd "$here/../sipp" && pwd)
. "$here/kzhost_ports.sh"

kz_pids=()
kz_work=$(mktemp -d)

kz_ports() {
    local base
    base=$(kz_port_block 200) || { echo "no free ports"; exit 1; }
    sip_port=$base
    ctl_port=$((base + 2))
    sipp_port=$((base + 10))
    sipp2_port=$((base + 12))
    sipp_media=$((base + 20))
    baresip_port=$((base + 30))
    kamailio_port=$((base + 34))
    rtp_first=$((base + 40))
    rtp_last=$((base + 199))
}

kz_track() { kz_pids+=("$1"); }

# SIGTERM, then SIGKILL when the process has not gone within 5 s.
kz_stop() {
    kill "$1" 2>/dev/null || return 0
    for _ in $(seq 50); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$1" 2>/dev/null && { echo "pid $1 ignored SIGTERM, killing it"; kill -KILL "$1" 2>/dev/null; }
    wait "$1" 2>/dev/null
}

kz_cleanup() {
    [ -n "${KZ_KEEP:-}" ] && cp -r "$kz_work" "$KZ_KEEP"
    local p
    for p in "${kz_pids[@]}"; do kz_stop "$p"; done
    rm -rf "$kz_work"
}
trap kz_cleanup EXIT
trap 'exit 1' INT TERM

kz_wait_for_line() { # file pattern [seconds]
    local tries=$((${3:-5} * 20))
    for _ in $(seq "$tries"); do grep -qE "$2" "$1" 2>/dev/null && return 0; sleep 0.05; done
    echo "timed out waiting for '$2' in $1"
    return 1
}

kz_fail() {
    echo "FAIL: $*"
    local f
    for f in "$kz_work"/*.log; do
        [ -f "$f" ] || continue
        echo "--- $(basename "$f") (its end)"
        sed -e 's/\x1b\[[0-9;]*m//g' "$f" | tail -n 40 | tail -c 4000
    done
    exit 1
}

# kz_start_kzhost KZHOST [kzhost args...]: kzhost on the block's ports, output in kzhost.log.
kz_start_kzhost() {
    local bin=$1
    shift
    "$bin" --set kzsrv.sip.ip.address=127.0.0.1 --set kzsrv.sip.ip.port="$sip_port" \
        --set kzsrv.sip.protocol=3 --set kzhost.control.port="$ctl_port" \
        --set kzsrv.sip.rtpstartrange="$rtp_first" --set kzsrv.sip.rtpendrange="$rtp_last" \
        "$@" >"$kz_work/kzhost.log" 2>&1 &
    kzhost_pid=$!
    kz_track $kzhost_pid
    kz_wait_for_line "$kz_work/kzhost.log" "control socket on" 10 || kz_fail "kzhost did not start"
}

# kz_sipp NAME SECONDS sipp-args...: a bounded sipp run in the foreground; its screen goes to
# NAME.log, its errors to NAME.err.log, its messages to NAME.msg.log. Returns sipp's status.
kz_sipp() {
    local name=$1 seconds=$2
    shift 2
    timeout "$seconds" sipp -nostdin -i 127.0.0.1 -trace_err -error_file "$kz_work/$name.err.log" \
        -trace_msg -message_file "$kz_work/$name.msg.log" "$@" >"$kz_work/$name.log" 2>&1
}

# kz_sipp_bg NAME SECONDS sipp-args...: the same in the background; sets sipp_bg_pid.
kz_sipp_bg() {
    kz_sipp "$@" &
    sipp_bg_pid=$!
    kz_track $sipp_bg_pid
}

# Calls counted by sipp's final statistics: "successful failed".
kz_sipp_counts() { # NAME
    awk -F'|' '/Successful call/ { s = $3 } /Failed call/ { f = $3 } END { gsub(/ /, "", s); gsub(/ /, "", f); print s, f }' \
        "$kz_work/$1.log"
}

kz_ctl() { # steps...: the control client, bounded; its conversation goes to control.log
    timeout 60 python3 "$here/kzctl.py" "$ctl_port" "$@" >>"$kz_work/control.log" 2>&1
}

kz_count() { # pattern file
    grep -cE "$1" "$2" 2>/dev/null
}

# --- Media: two headless baresips around kzhost, a tone one way, a recording the other ---------
# Ports, from the block of kz_ports: baresip A SIP on P+30 (RTP from P+20 or P+21, four ports),
# baresip B SIP on P+32 (RTP the next four). Each instance has its own directory $kz_work/NAME with config and accounts;
# the sndfile module writes what it decodes (received) and encodes (sent) into $kz_work/NAME/rec
# as dump-<time>-dec.wav and dump-<time>-enc.wav.

kz_media_ports() {
    # baresip takes an even port of its rtp_ports range, rounding down: ranges that start even
    # keep each instance inside its own four ports.
    local even=$(((sipp_media + 1) / 2 * 2))
    baresip_a_port=$baresip_port
    baresip_a_rtp=$even
    baresip_b_port=$((baresip_port + 2))
    baresip_b_rtp=$((even + 4))
}

# baresip's name, module and clock rate of a codec: "PCMU/8000/1 g711" ...; empty when unknown.
kz_baresip_codec() {
    case $1 in
    pcmu) echo "PCMU/8000/1 g711" ;;
    pcma) echo "PCMA/8000/1 g711" ;;
    g722) echo "G722/16000/1 g722" ;;
    gsm) echo "GSM/8000/1 gsm" ;;
    opus) echo "opus/48000/2 opus" ;;
    esac
}

# kz_baresip_config NAME SIP_PORT RTP_FIRST CODEC LEVEL [FREQ]: a baresip answering automatically
# that offers and accepts CODEC only (one codec module loaded, and the account limited to it),
# plays a tone of FREQ Hz (default 1010) at LEVEL dBFS (-200: silence) as its microphone
# ($kz_work/NAME/source.wav, 40 s) and records in $kz_work/NAME/rec. baresip's aufile source takes
# the codec's own rate and channels. 1010 Hz rather than 1000: a 20 ms frame then holds no whole
# number of periods, so a frame lost or repeated on the way shows as a phase jump in the recording.
# No sound card is needed: the speaker is an aubridge device nothing reads.
kz_baresip_config() {
    local name=$1 port=$2 rtp=$3 codec=$4 level=$5 freq=${6:-1010} dir="$kz_work/$1"
    local spec format source="$kz_work/$1/source.wav"
    spec=$(kz_baresip_codec "$codec")
    [ -n "$spec" ] || kz_fail "unknown codec $codec"
    mkdir -p "$dir/rec"
    format=${spec% *}
    format=${format#*/}
    python3 "$here/audio_check.py" tone "$source" --freq "$freq" --level "$level" --seconds 40 \
        --rate "${format%/*}" --channels "${format#*/}" || kz_fail "no source file for $name"
    cat >"$dir/config" <<CFG
poll_method		epoll
sip_listen		127.0.0.1:$port
rtp_ports		$rtp-$((rtp + 3))
call_local_timeout	10
call_max_calls		1
audio_source		aufile,$source
audio_player		aubridge,nil-$name
audio_alert		aubridge,nil-$name
snd_path		$dir/rec
module_path		/usr/lib/baresip/modules
module			${spec#* }.so
module			aufile.so
module			aubridge.so
module			sndfile.so
module_tmp		account.so
module_app		menu.so
CFG
    echo "<sip:$name@127.0.0.1>;regint=0;answermode=auto;audio_codecs=${spec% *}" >"$dir/accounts"
}

# kz_baresip_start NAME SECONDS [baresip args...]: baresip NAME in the background for at most
# SECONDS, its output in NAME.log; sets baresip_pid and waits until it is ready.
kz_baresip_start() {
    local name=$1 seconds=$2
    shift 2
    baresip -f "$kz_work/$name" -n 127.0.0.1 -t "$seconds" "$@" </dev/null >"$kz_work/$name.log" 2>&1 &
    baresip_pid=$!
    kz_track $baresip_pid
    kz_wait_for_line "$kz_work/$name.log" "baresip is ready" 10 || kz_fail "baresip $name did not start"
}

kz_baresip_text() { sed -e 's/\x1b\[[0-9;]*m//g' -e 's/\r$//' "$kz_work/$1.log"; } # NAME

# kz_recording NAME dec|enc: the path of NAME's recording of received (dec) or sent (enc) audio.
kz_recording() {
    local f
    for f in "$kz_work/$1/rec"/dump-*-"$2".wav; do [ -f "$f" ] && echo "$f" && return 0; done
    return 1
}

# kz_hears LISTENER TALKER: LISTENER's (a baresip's) recording checked against TALKER's tone; a
# miss is added to the caller's faults array.
kz_hears() {
    local recording
    recording=$(kz_recording "$1" dec) || kz_fail "baresip $1 recorded nothing"
    echo "$1 hears $2:"
    python3 "$kz_lib_dir/audio_check.py" analyse "$recording" --reference "$kz_work/$2/source.wav" --skip 0.5 \
        --min-tone 2.5 || faults+=("$2's tone did not come through to $1")
}

# kz_request JSON: one control command on a connection of its own; prints the reply line and
# fails when the reply is an error or does not come within 10 s. Logged to control.log.
kz_request() {
    local reply status
    reply=$(python3 - "$ctl_port" "$1" <<'PY'
import json, socket, sys
command = dict(json.loads(sys.argv[2]), id="kz-request")
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=10)
s.sendall(b'{"cmd":"unsubscribe"}\n' + json.dumps(command).encode() + b"\n")
for line in s.makefile("rb"):
    reply = json.loads(line)
    if reply.get("id") == "kz-request":
        print(line.decode().strip())
        sys.exit(1 if reply.get("event") == "error" else 0)
sys.exit("kzhost closed the control socket")
PY
    )
    status=$?
    printf '>> %s\n%s\n' "$1" "$reply" >>"$kz_work/control.log"
    echo "$reply"
    return $status
}

# kz_connected_channel in|out SECONDS: the channel of a connected call in that direction, once
# there is one (asked through "calls" every 100 ms); fails after SECONDS.
kz_connected_channel() {
    python3 - "$ctl_port" "$1" "$2" <<'PY'
import json, socket, sys, time
port, direction, seconds = int(sys.argv[1]), sys.argv[2], float(sys.argv[3])
s = socket.create_connection(("127.0.0.1", port), timeout=10)
lines = s.makefile("rb")
s.sendall(b'{"cmd":"unsubscribe"}\n')
deadline = time.monotonic() + seconds
while time.monotonic() < deadline:
    s.sendall(b'{"cmd":"calls","id":"kz-calls"}\n')
    reply = next(r for r in map(json.loads, lines) if r.get("id") == "kz-calls")
    for ch in reply.get("channels", []):
        if ch.get("state") == "connected" and ch.get("direction") == direction:
            print(ch["channel"])
            sys.exit(0)
    time.sleep(0.1)
sys.exit("no connected %s call within %g s" % (direction, seconds))
PY
}

# kz_call_media CHANNEL: the media figures "calls" reports for a channel, as one line.
kz_call_media() {
    kz_request '{"cmd":"calls"}' | python3 -c '
import json, sys
reply = json.loads(sys.stdin.read())
keys = ("codec", "packets_sent", "packets_received", "lost", "jitter_ms")
for ch in reply.get("channels", []):
    if ch.get("channel") == int(sys.argv[1]):
        print("channel %d: " % ch["channel"] + " ".join("%s=%s" % (k, ch.get(k, "?")) for k in keys))' "$1"
}

# --- IVR toolkit: kzhost's events, baresip driven remotely, a second kzhost, speech ---------------

# kz_events_start: every event kzhost publishes, one JSON object a line, into $kz_work/events.log,
# from a control connection of its own (subscribed to every kind) in the background until the end
# of the run. Returns once the connection answers, so that no later event is missed.
kz_events_start() {
    python3 -u - "$ctl_port" >"$kz_work/events.log" 2>&1 <<'PY' &
import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=10)
s.sendall(b'{"cmd":"ping","id":"kz-events"}\n')
s.settimeout(None)
for line in s.makefile("rb"):
    print(line.decode(errors="replace").rstrip(), flush=True)
PY
    kz_track $!
    kz_wait_for_line "$kz_work/events.log" '"pong"' 10 || kz_fail "no event connection to kzhost"
}

# kz_events KIND [KEY=VALUE...]: the events of that kind recorded so far that carry those members,
# one JSON object a line, in order.
kz_events() {
    python3 - "$kz_work/events.log" "$@" <<'PY'
import json, sys
path, kind, conditions = sys.argv[1], sys.argv[2], [c.split("=", 1) for c in sys.argv[3:]]
for line in open(path, errors="replace"):
    try:
        event = json.loads(line)
    except ValueError:
        continue
    if event.get("event") == kind and "id" not in event and all(str(event.get(k)) == v for k, v in conditions):
        print(json.dumps(event))
PY
}

# kz_wait_events COUNT SECONDS KIND [KEY=VALUE...]: waits until COUNT such events were recorded;
# fails (status 1) when they did not come within SECONDS.
kz_wait_events() {
    python3 - "$kz_work/events.log" "$@" <<'PY'
import json, sys, time
path, count, seconds, kind = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
conditions = [c.split("=", 1) for c in sys.argv[5:]]
deadline = time.monotonic() + seconds
while True:
    found = 0
    for line in open(path, errors="replace"):
        try:
            event = json.loads(line)
        except ValueError:
            continue
        found += event.get("event") == kind and "id" not in event and all(str(event.get(k)) == v for k, v in conditions)
    if found >= count:
        sys.exit(0)
    if time.monotonic() > deadline:
        sys.exit(1)
    time.sleep(0.1)
PY
}

# kz_when_connected SECONDS COMMAND...: in the background, waits (SECONDS at most) for the next
# call kzhost connects and sends it the COMMANDs (JSON objects; "channel" is filled in) the moment
# it is connected, so that nothing of the call's first audio is missed; each must be taken. The
# conversation goes to when-connected.log; kz_connected_wait gives the channel.
kz_when_connected() {
    python3 -u - "$ctl_port" "$kz_work/connected.channel" "$@" >"$kz_work/when-connected.log" 2>&1 <<'PY' &
import json, os, socket, sys, time
port, out, seconds = int(sys.argv[1]), sys.argv[2], float(sys.argv[3])
commands = [json.loads(c) for c in sys.argv[4:]]
deadline = time.monotonic() + seconds
s = socket.create_connection(("127.0.0.1", port), timeout=10)
buffer = b""

def messages():
    global buffer
    while True:
        while b"\n" in buffer:
            line, buffer = buffer.split(b"\n", 1)
            yield json.loads(line)
        s.settimeout(max(deadline - time.monotonic(), 0.01))
        try:
            data = s.recv(65536)
        except socket.timeout:
            sys.exit("no connected call within %g s" % seconds)
        if not data:
            sys.exit("kzhost closed the control socket")
        buffer += data

incoming = messages()
s.sendall(b'{"cmd":"ping","id":"ready"}\n')
for message in incoming:
    if message.get("id") == "ready":
        print("ready", flush=True)
    elif message.get("event") == "connected" and "id" not in message:
        channel = message["channel"]
        break
for n, command in enumerate(commands):
    command.update(channel=channel, id="when-connected-%d" % n)
    s.sendall(json.dumps(command).encode() + b"\n")
    print(">> " + json.dumps(command), flush=True)
    reply = next(r for r in incoming if r.get("id") == command["id"])
    print("<< " + json.dumps(reply), flush=True)
    if reply.get("event") == "error":
        sys.exit(1)
open(out + ".new", "w").write("%d\n" % channel)
os.rename(out + ".new", out)
PY
    when_connected_pid=$!
    kz_track $when_connected_pid
    kz_wait_for_line "$kz_work/when-connected.log" "^ready" 10 || kz_fail "no control connection for the call"
}

# kz_connected_wait: the channel of kz_when_connected's call, once its commands were taken;
# fails when there was none or a command was refused. (It polls: it may run in a subshell, which
# cannot wait for the process.)
kz_connected_wait() {
    while kill -0 "$when_connected_pid" 2>/dev/null; do sleep 0.05; done
    cat "$kz_work/connected.channel" 2>/dev/null
}

# kz_start_kzhost_at NAME SIP_PORT CTL_PORT RTP_FIRST RTP_LAST KZHOST [kzhost args...]: one more
# kzhost on ports of its own (output in NAME.log); sets kzhost_pid. Give it few enough channels
# ("kzhost.channels", 4 RTP ports each) that its RTP ports stay inside RTP_FIRST..RTP_LAST.
kz_start_kzhost_at() {
    local name=$1 sip=$2 ctl=$3 first=$4 last=$5 bin=$6
    shift 6
    "$bin" --set kzsrv.sip.ip.address=127.0.0.1 --set kzsrv.sip.ip.port="$sip" \
        --set kzsrv.sip.protocol=3 --set kzhost.control.port="$ctl" \
        --set kzsrv.sip.rtpstartrange="$first" --set kzsrv.sip.rtpendrange="$last" \
        "$@" >"$kz_work/$name.log" 2>&1 &
    kzhost_pid=$!
    kz_track $kzhost_pid
    kz_wait_for_line "$kz_work/$name.log" "control socket on" 10 || kz_fail "kzhost $name did not start"
}

# kz_baresip_source NAME FILE: baresip NAME (configured by kz_baresip_config) plays FILE instead of
# its tone. FILE must have the codec's rate and channels. baresip ends the call when the file ends.
kz_baresip_source() {
    sed -i "s|^audio_source.*|audio_source\t\taufile,$2|" "$kz_work/$1/config"
}

# kz_baresip_control NAME PORT: baresip NAME also takes commands on TCP PORT of 127.0.0.1
# (ctrl_tcp: netstrings holding JSON), for kz_baresip_commands.
kz_baresip_control() {
    printf 'module\t\t\tctrl_tcp.so\nctrl_tcp_listen\t\t127.0.0.1:%s\n' "$2" >>"$kz_work/$1/config"
}

# kz_baresip_commands PORT PAUSE COMMAND...: commands of baresip's command set (as typed after
# "/" in its console, e.g. "sndcode 5"), one after the other, PAUSE seconds apart; each waits for
# baresip's response (10 s at most). Fails at the first that is not "ok". Logged to
# baresip-commands.log.
kz_baresip_commands() {
    python3 - "$@" >>"$kz_work/baresip-commands.log" 2>&1 <<'PY'
import json, socket, sys, time
port, pause, commands = int(sys.argv[1]), float(sys.argv[2]), sys.argv[3:]
s = socket.create_connection(("127.0.0.1", port), timeout=10)
data = b""

def response(token):
    global data
    while True:
        while b":" in data:
            length, _, rest = data.partition(b":")
            if len(rest) <= int(length):
                break
            message, data = json.loads(rest[: int(length)]), rest[int(length) + 1 :]
            if message.get("response") and message.get("token") == token:
                return message
        chunk = s.recv(65536)
        if not chunk:
            sys.exit("baresip closed its control connection")
        data += chunk

for n, line in enumerate(commands):
    if n:
        time.sleep(pause)
    command, _, params = line.partition(" ")
    request = json.dumps({"command": command, "params": params, "token": str(n)}).encode()
    s.sendall(b"%d:%s," % (len(request), request))
    reply = response(str(n))
    print("%.3f >> %s\n      << %s" % (time.monotonic(), line, json.dumps(reply)), flush=True)
    if not reply.get("ok"):
        sys.exit(1)
PY
}

# kz_speech OUT SECONDS: SECONDS of English speech at 8000 Hz, 16-bit mono, normalised to -3 dBFS
# peaks (espeak-ng; male and female voices take turns sentence by sentence at varied pitch and
# speed), for the checks that speech is not taken for keys or tones.
kz_speech() {
    local out=$1 seconds=$2 dir n=0 sentence voices=(en en+f3 en-us+m3 en+f4 en-us en+f2)
    dir=$(mktemp -d -p "$kz_work")
    while IFS= read -r sentence; do
        n=$((n + 1))
        espeak-ng -v "${voices[n % 6]}" -p $((20 + n * 7 % 60)) -s $((140 + n * 13 % 60)) \
            -w "$dir/$(printf %03d $n).wav" "$sentence" || return 1
    done <<'TEXT'
The quick brown fox jumps over the lazy dog while seven wizards hex the jolly boxing judge.
Please hold the line: your call is important to us, and an agent will answer shortly.
Meanwhile, you may visit our website, where most questions are answered at once.
Thirty four thousand nine hundred and twelve people called yesterday, quite a lot for a Monday.
She sells sea shells by the sea shore, and the shells she sells are surely sea shells.
Oh, really? Yes! Whistling, humming, laughing and singing are all part of a telephone call.
None of it should ever be mistaken for a key pressed on the keypad, or for a busy signal.
Eeeee, ooooh, aaaah, mmmm: long vowels hold a pitch much as a tone does.
Nine, eight, seven, six, five, four, three, two, one, zero, star and hash are only words here.
The weather tomorrow: sunny spells in the morning, showers later, and a fresh breeze from the west.
TEXT
    sox "$dir"/[0-9]*.wav "$dir/once.wav" && sox "$dir/once.wav" "$dir/all.wav" repeat 4 &&
        sox "$dir/all.wav" -r 8000 -c 1 -b 16 "$out" norm -3 trim 0 "$seconds" || return 1
    local have
    have=$(soxi -D "$out") || return 1
    python3 -c "import sys; sys.exit(float(sys.argv[1]) + 0.01 < float(sys.argv[2]))" "$have" "$seconds" ||
        { echo "speech: only $have s of the $seconds s wanted"; return 1; }
}
