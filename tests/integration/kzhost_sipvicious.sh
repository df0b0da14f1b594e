#!/usr/bin/env bash
# kzhost in server mode under the usual SIP scanning tools, all on 127.0.0.1:
#   kzhost_sipvicious.sh KZHOST
# Site 1 (domain 127.0.0.1, challenges with qop "auth": svcrack answers a challenge without qop
# with a qop but no cnonce, which no registrar takes) has the users alice, bob, 1001 and 1002. alice registers with baresip
# and calls kzhost, which answers and plays a 1510 Hz tone to her while it records her 1010 Hz tone.
# While that call runs:
#   - svwar looks for users by REGISTER and by INVITE through a list of the real names among many
#     that do not exist; it must report no extension at all (forced past its first check: without
#     --force it must give up, since an unknown name is challenged like a user);
#   - svcrack tries bob's password from a list without it and finds nothing, then from a list with
#     it and finds it (so the tool is proven to work against kzhost);
# and afterwards the call must still be up, and both recordings must hold their tone without a gap
# of more than 60 ms (audio_check.py). A gap in what kzhost heard is excused only when alice's own
# packets (captured on lo) paused as long: on a loaded machine baresip itself can stall.
set -u
kzhost=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/kzhost_lib.sh"

for tool in baresip svwar svcrack sox tshark python3; do
    command -v $tool >/dev/null || { echo "$tool is not installed (run scripts/install-deps)"; exit 1; }
done
kz_ports
kz_media_ports
# The tools' own ports: between sipp's and baresip's in the block, never 5060 (their default).
svwar_port=$((sip_port + 14))
svcrack_port=$((sip_port + 16))
baresip_ctl_port=$((sip_port + 18))
check="$here/audio_check.py"

kz_start_kzhost "$kzhost" --answer-after 0 --set kzsrv.sip.prefered.codec=0 \
    --set kzsrv.sip.server.model=1 --set kzsrv.sip.use.nat.addr=1 --set kzsrv.sip.keep.alive.msg=0 \
    --set kzsrv.sip.proxy.sites.num=1 --set kzsrv.sip.proxy.site1.domain=127.0.0.1 \
    --set kzsrv.sip.proxy.site1.register.qop=1
kz_events_start
for user in alice bob 1001 1002; do
    kz_request "{\"cmd\":\"user-add\",\"site\":1,\"user\":\"$user\",\"password\":\"$user-Pw7\"}" >/dev/null ||
        kz_fail "kzhost refused user-add $user"
done

# alice: a baresip that registers at the site and plays its tone into the call.
kz_baresip_config alice "$baresip_a_port" "$baresip_a_rtp" pcmu -16 1010
echo "<sip:alice@127.0.0.1>;auth_pass=alice-Pw7;outbound=\"sip:127.0.0.1:$sip_port\";regint=600;audio_codecs=PCMU/8000/1" \
    >"$kz_work/alice/accounts"
# baresip ends the call when its source ends: long enough for every tool's run.
python3 "$check" tone "$kz_work/alice/source.wav" --freq 1010 --level -16 --seconds 240 ||
    kz_fail "no source file for alice"
python3 "$check" tone "$kz_work/played.wav" --freq 1510 --level -16 --seconds 10 || kz_fail "no tone file to play"
kz_when_connected 20 "{\"cmd\":\"play\",\"files\":[\"$kz_work/played.wav\"],\"loop\":true}" \
    "{\"cmd\":\"record\",\"path\":\"$kz_work/recorded.wav\"}"
kz_baresip_control alice "$baresip_ctl_port"
kz_baresip_start alice 120
alice_pid=$baresip_pid
kz_wait_events 1 10 user-registered site=1 user=alice || kz_fail "alice was not registered"
# A call for the site's own domain is a proxied session: the example router hands alice's call to
# a kzhost channel (and answers every other callee 404, known user or not).
python3 -u "$here/../../examples/proxy_router.py" --port "$ctl_port" --route kzhost=channel --listen 230 \
    >"$kz_work/router.log" 2>&1 &
kz_track $!
kz_wait_for_line "$kz_work/router.log" "routing calls" 10 || kz_fail "the router did not take over routing"
# When alice's packets left her, captured on lo: a gap she made herself (this machine's load
# starving her) is told apart from one kzhost made.
timeout 200 tshark -i lo -f "udp and src portrange $baresip_a_rtp-$((baresip_a_rtp + 3))" -a duration:180 \
    -w "$kz_work/alice-rtp.pcap" >"$kz_work/tshark.log" 2>&1 &
capture_pid=$!
kz_track $capture_pid
kz_wait_for_line "$kz_work/tshark.log" "Capturing on" 10 || kz_fail "no capture on lo"
kz_baresip_commands "$baresip_ctl_port" 0 "dial sip:kzhost@127.0.0.1:$sip_port" || kz_fail "alice could not dial"
channel=$(kz_connected_wait)
[ -n "$channel" ] || kz_fail "alice's call did not connect, or play/record was refused"
echo "alice's call on channel $channel"
call_start=$(date +%s.%N)
# mark WHAT: the second of the call at which WHAT starts, to place any gap in the recordings.
mark() { python3 -c 'import sys, time; print("%6.1f s  %s" % (time.time() - float(sys.argv[1]), sys.argv[2]))' "$call_start" "$1"; }

# Names to try: the four users among 60 that do not exist.
{
    printf '%s\n' alice bob 1001 1002
    printf '%s\n' admin root test guest operator reception sales support info office voicemail \
        carol dave eve frank grace heidi ivan judy mallory oscar peggy trent walter
    seq 1000 1009 | grep -vx '100[12]'
    seq 2000 2009
    seq 100 110
} >"$kz_work/names"
names=$(wc -l <"$kz_work/names")

# svwar_run NAME ARGS...: svwar bounded, bound to loopback, naming loopback in its messages.
svwar_run() {
    local name=$1
    shift
    timeout 90 svwar -b 127.0.0.1 -x 127.0.0.1 -P "$svwar_port" -p "$sip_port" --maximumtime 5 "$@" 127.0.0.1 >"$kz_work/$name.log" 2>&1
}

# found_extensions LOG: the extensions of svwar's result table, one a line.
found_extensions() {
    sed -n 's/^|[[:space:]]*\([^|[:space:]]*\)[[:space:]]*|.*/\1/p' "$1" | grep -vx Extension
}

# svwar_found NAME NAMES-FILE ARGS...: the extensions svwar reports, forced past its first check.
svwar_found() {
    local name=$1 list=$2
    shift 2
    svwar_run "$name" -d "$list" --force "$@"
    found_extensions "$kz_work/$name.log" | tr '\n' ' '
}

mark "svwar's first check"
svwar_run svwar-check -d "$kz_work/names" -m REGISTER
grep -q "authentication request for an unknown extension" "$kz_work/svwar-check.log" ||
    kz_fail "svwar's first check did not see an unknown name challenged like a user"
# svwar learns the answer to a name that cannot exist and reports every name answered otherwise. It
# stops at the first name answered just like that one (an answer it cannot classify), so besides
# the whole list each user is also tried on its own.
for method in REGISTER INVITE; do
    mark "svwar -m $method"
    found=$(svwar_found "svwar-$method" "$kz_work/names" -m "$method")
    echo "svwar -m $method over $names names: found [${found}]"
    [ -z "$found" ] || kz_fail "svwar -m $method told these names apart: $found"
    for user in alice bob 1001 1002; do
        echo "$user" >"$kz_work/name-$user"
        found=$(svwar_found "svwar-$method-$user" "$kz_work/name-$user" -m "$method")
        [ -z "$found" ] || kz_fail "svwar -m $method told $user from a name that does not exist"
    done
done
# A user challenged otherwise than an unknown name is found: svwar's silence above means something.
kz_request '{"cmd":"user-set","site":1,"user":"1002","field":"auth","value":"www"}' >/dev/null ||
    kz_fail "user-set auth refused"
found=$(svwar_found svwar-control "$kz_work/name-1002" -m REGISTER)
echo "svwar with 1002 challenged by 401: found [${found}]"
[ "$found" = "1002 " ] || kz_fail "svwar did not find a user answered differently: the scan proves nothing"

# svcrack against bob: first without his password in the list, then with it.
seq -f 'guess%g' 1 40 >"$kz_work/wrong-words"
{ head -n 20 "$kz_work/wrong-words"; echo bob-Pw7; tail -n 20 "$kz_work/wrong-words"; } >"$kz_work/right-words"
for list in wrong right; do
    mark "svcrack, $list list"
    timeout 90 svcrack -b 127.0.0.1 -x 127.0.0.1 -P "$svcrack_port" -p "$sip_port" -u bob \
        -d "$kz_work/$list-words" --maximumtime 5 127.0.0.1 >"$kz_work/svcrack-$list.log" 2>&1
    echo "svcrack with the $list list: $(grep -ci 'password' "$kz_work/svcrack-$list.log") lines about a password"
done
grep -qiE "password for bob is|^\|[[:space:]]*bob[[:space:]]*\|" "$kz_work/svcrack-wrong.log" &&
    kz_fail "svcrack took a wrong password for bob's"
grep -qE "password for bob is bob-Pw7|\|[[:space:]]*bob[[:space:]]*\|[[:space:]]*bob-Pw7" "$kz_work/svcrack-right.log" ||
    kz_fail "svcrack did not find bob's password in the list that has it: the tool does not work against kzhost"

# svcrack registered bob at its own made-up Contact; nothing is sent there, and it goes now.
kz_request '{"cmd":"user-remove","site":1,"user":"bob"}' >/dev/null || kz_fail "user-remove refused"

mark "the tools are done"
# The call went on through all of it.
connected=$(kz_request '{"cmd":"calls"}' | python3 -c '
import json, sys
print(sum(1 for ch in json.loads(sys.stdin.read()).get("channels", [])
          if ch.get("channel") == int(sys.argv[1]) and ch.get("state") == "connected"))' "$channel")
[ "$connected" = 1 ] || kz_fail "alice's call did not stay connected"
kz_call_media "$channel"
kz_request "{\"cmd\":\"hangup\",\"channel\":$channel}" >/dev/null || kz_fail "hangup refused"
kz_wait_for_line "$kz_work/alice.log" "terminated" 5 || kz_fail "alice did not see the call end"
kz_stop "$alice_pid"

faults=()
recording=$(kz_recording alice dec) || kz_fail "alice recorded nothing"
echo "alice hears kzhost:"
python3 "$check" analyse "$recording" --reference "$kz_work/played.wav" --skip 0.5 --min-tone 10 ||
    faults+=("kzhost's tone did not reach alice whole")
kz_stop "$capture_pid"
# The longest time alice sent no RTP, in ms.
alice_silence=$(tshark -r "$kz_work/alice-rtp.pcap" -T fields -e frame.time_epoch 2>/dev/null | python3 -c '
import sys
t = [float(l) for l in sys.stdin if l.strip()]
print(int(max((b - a for a, b in zip(t, t[1:])), default=0) * 1000))')
echo "kzhost hears alice (the longest she sent nothing: $alice_silence ms):"
heard=$(python3 "$check" analyse "$kz_work/recorded.wav" --reference "$kz_work/alice/source.wav" --skip 0.5 --min-tone 10)
status=$?
echo "$heard"
if [ $status != 0 ]; then
    gap=$(echo "$heard" | sed -n 's/.*longest_gap_ms=\([0-9]*\).*/\1/p' | head -n 1)
    # A jitter buffer turns a pause in arrivals into a gap somewhat shorter, never longer.
    if [ -n "$gap" ] && [ "$alice_silence" -ge $((gap - 20)) ] && ! echo "$heard" | grep '^  ' | grep -qv 'a gap of'; then
        echo "(the gap of $gap ms is alice's own: she sent nothing for $alice_silence ms)"
    else
        faults+=("alice's tone did not reach kzhost whole")
    fi
fi
[ ${#faults[@]} = 0 ] || kz_fail "$(printf '%s; ' "${faults[@]}")"
echo "PASS: svwar (REGISTER, INVITE) found no user among $names names, svcrack found bob's password only when listed, alice's call stayed up without a gap"
