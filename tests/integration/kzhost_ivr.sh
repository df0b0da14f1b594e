#!/usr/bin/env bash
# The example IVR (examples/ivr.py) on kzhost, called by a baresip on 127.0.0.1:
#   kzhost_ivr.sh KZHOST
# baresip dials kzhost; ivr.py answers, plays its greeting and collects a PIN. baresip sends the
# digits 1 2 3 4 # one at a time as RTP telephone events ("sndcode" through its ctrl_tcp module,
# a JSON command in a netstring), while its microphone (the aufile source) plays a 1 kHz tone
# (1010 Hz) the whole call. ivr.py must report PIN 1234, then record the caller for its 10 s
# limit and hang up; the recording must hold the caller's tone: frequency within 2 %, level
# within 6 dB, no silence longer than 60 ms, at least 5 s of it. Every wait is bounded; every
# process is stopped by its PID.
set -u
kzhost=$1
here=$(cd "$(dirname "$0")" && pwd)
ivr="$here/../../examples/ivr.py"
. "$here/kzhost_lib.sh"

for tool in baresip python3; do
    command -v $tool >/dev/null || { echo "$tool is not installed (run scripts/install-deps)"; exit 1; }
done
kz_ports
kz_media_ports
# Inside the block: P+33 is free when no second baresip and no kamailio run.
ctrl_port=$((baresip_port + 3))

kz_baresip_config a "$baresip_a_port" "$baresip_a_rtp" pcmu -16 1010
printf 'module_app\t\tctrl_tcp.so\nctrl_tcp_listen\t\t127.0.0.1:%s\n' "$ctrl_port" >>"$kz_work/a/config"

# baresip_command COMMAND [PARAMS]: one command through baresip's ctrl_tcp; fails unless it says ok.
baresip_command() {
    python3 - "$ctrl_port" "$@" <<'PY' >>"$kz_work/baresip-control.log" 2>&1
import json, socket, sys
port, command = int(sys.argv[1]), sys.argv[2]
params = sys.argv[3] if len(sys.argv) > 3 else ""
body = json.dumps({"command": command, "params": params, "token": "ivr-test"}).encode()
s = socket.create_connection(("127.0.0.1", port), timeout=5)
s.sendall(b"%d:%s," % (len(body), body))
reply = b""
while not reply.endswith(b","):
    chunk = s.recv(4096)
    if not chunk:
        break
    reply += chunk
text = reply.decode(errors="replace")
print(command, params, "->", text)
answer = json.loads(text[text.index(":") + 1 : -1]) if ":" in text else {}
sys.exit(0 if answer.get("ok") else 1)
PY
}

kz_start_kzhost "$kzhost" --set kzsrv.sip.prefered.codec=0
mkdir -p "$kz_work/rec"
python3 -u "$ivr" --port "$ctl_port" --record-dir "$kz_work/rec" --calls 1 >"$kz_work/ivr.log" 2>&1 &
ivr_pid=$!
kz_track $ivr_pid
kz_wait_for_line "$kz_work/ivr.log" "waiting for calls" 10 || kz_fail "ivr.py did not start"

kz_baresip_start a 50 -e "/dial sip:ivr@127.0.0.1:$sip_port"
kz_wait_for_line "$kz_work/ivr.log" "connected" 10 || kz_fail "ivr.py did not connect the call"
kz_wait_for_line "$kz_work/a.log" "Call established" 5 || kz_fail "baresip did not see the call established"
sleep 0.5
for digit in 1 2 3 4 '#'; do
    baresip_command sndcode "$digit" || kz_fail "baresip did not send $digit"
    sleep 0.3
done
kz_wait_for_line "$kz_work/ivr.log" "PIN " 12 || kz_fail "ivr.py collected no PIN"
grep -q "PIN 1234$" "$kz_work/ivr.log" || kz_fail "ivr.py did not collect PIN 1234"
kz_wait_for_line "$kz_work/ivr.log" "recorded " 16 || kz_fail "ivr.py recorded nothing"
kz_wait_for_line "$kz_work/ivr.log" "released" 5 || kz_fail "ivr.py's call did not end"
kz_wait_for_line "$kz_work/a.log" "terminated" 5 || kz_fail "baresip did not see the call end"
for _ in $(seq 50); do kill -0 "$ivr_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$ivr_pid" 2>/dev/null && kz_fail "ivr.py did not leave after its one call"
wait "$ivr_pid" || kz_fail "ivr.py failed"

cat "$kz_work/ivr.log"
grep -q "(max-seconds)" "$kz_work/ivr.log" || kz_fail "the recording did not end at its 10 s limit"
recording=$(sed -n 's/^ivr: call [0-9]* recorded \(.*\) (.*)$/\1/p' "$kz_work/ivr.log")
[ -f "$recording" ] || kz_fail "no recording at '$recording'"
python3 "$here/audio_check.py" analyse "$recording" --reference "$kz_work/a/source.wav" --skip 0.5 \
    --level-tol 6 --min-tone 5 || kz_fail "the recording does not hold the caller's tone"
echo "ivr: passed"
