#!/usr/bin/env bash
# SRTP between kzhost and baresip (its srtp module) on 127.0.0.1:
#   kzhost_srtp.sh KZHOST [mandatory|optional]
# mandatory: kzhost requires SRTP ("kzsrv.srtp.type" 2) and baresip too ("mediaenc srtp-mand");
# optional: neither requires it (type 1 and a dial asking for SRTP; baresip's "mediaenc srtp",
# which offers its key over RTP/AVP), and it must still be used.
# baresip A plays a 1010 Hz tone and dials kzhost, which answers (call 1, SRTP keys offered by baresip); kzhost dials baresip B, which answers and
# plays 1510 Hz (call 2, keys offered by kzhost). The calls are bridged through kzhost's DSP for
# about 4 s, so each tone crosses one SRTP leg into kzhost and the other out of it. Each baresip's
# recording must hold the other's tone (frequency, level, no gaps: audio_check.py), both must
# have set up SRTP and kzhost must have made its SRTP contexts for both calls without an error.
# When tshark can capture on lo, the RTP payloads on both legs are checked to be ciphertext: their
# bytes must be spread like random ones, where the plain mu-law of a tone uses few values.
set -u
kzhost=$1
mode=${2:-mandatory}
case $mode in
mandatory) srtp_type=2 mediaenc=srtp-mand ;;
optional) srtp_type=1 mediaenc=srtp ;;
*) echo "unknown mode $mode"; exit 2 ;;
esac
here=$(cd "$(dirname "$0")" && pwd)
. "$here/kzhost_lib.sh"
for tool in baresip python3; do
    command -v $tool >/dev/null || { echo "$tool is not installed (run scripts/install-deps)"; exit 1; }
done
[ -f /usr/lib/baresip/modules/srtp.so ] || { echo "baresip has no srtp module: skipped"; exit 77; }
kz_ports
kz_media_ports

kz_baresip_config a "$baresip_a_port" "$baresip_a_rtp" pcmu -16 1010
kz_baresip_config b "$baresip_b_port" "$baresip_b_rtp" pcmu -16 1510
for name in a b; do
    printf 'module\t\t\tsrtp.so\n' >>"$kz_work/$name/config"
    sed -i "s/\$/;mediaenc=$mediaenc/" "$kz_work/$name/accounts"
done

kz_start_kzhost "$kzhost" --answer-after 0 --set kzsrv.sip.prefered.codec=0 --set kzsrv.srtp.type=$srtp_type \
    --log-level 4
kz_baresip_start b 40
b_pid=$baresip_pid
kz_baresip_start a 40 -e "/dial sip:kzhost@127.0.0.1:$sip_port"
a_pid=$baresip_pid
call_a=$(kz_connected_channel in 10) || kz_fail "kzhost did not connect A's call"
reply=$(kz_request "{\"cmd\":\"dial\",\"to\":\"sip:b@127.0.0.1:$baresip_b_port\",\"srtp\":true}") || kz_fail "dial refused: $reply"
call_b=$(kz_connected_channel out 10) || kz_fail "kzhost's call to B did not connect"
capture=
if command -v tshark >/dev/null; then
    timeout 20 tshark -i lo -f "udp and (portrange $baresip_a_rtp-$((baresip_a_rtp + 3)) or portrange $baresip_b_rtp-$((baresip_b_rtp + 3)))" \
        -a duration:6 -w "$kz_work/rtp.pcap" >"$kz_work/tshark.log" 2>&1 &
    capture=$!
    kz_wait_for_line "$kz_work/tshark.log" "Capturing on" 10 || { kz_stop "$capture"; capture=; }
fi
reply=$(kz_request "{\"cmd\":\"bridge\",\"channel\":$call_a,\"with\":$call_b,\"mode\":\"dsp\",\"duplex\":\"full\"}") ||
    kz_fail "bridge refused: $reply"
sleep 4
kz_call_media "$call_a"
kz_call_media "$call_b"
kz_request "{\"cmd\":\"unbridge\",\"channel\":$call_a}" >/dev/null || kz_fail "unbridge refused"
kz_request "{\"cmd\":\"hangup\",\"channel\":$call_b}" >/dev/null || kz_fail "hangup of B's call refused"
kz_request "{\"cmd\":\"hangup\",\"channel\":$call_a}" >/dev/null || kz_fail "hangup of A's call refused"
kz_wait_for_line "$kz_work/b.log" "terminated" 5 || kz_fail "B did not see its call end"
kz_wait_for_line "$kz_work/a.log" "terminated" 5 || kz_fail "A did not see its call end"
kz_stop "$a_pid"
kz_stop "$b_pid"

faults=()
for name in a b; do
    kz_baresip_text $name | grep -iE 'srtp' | head -n 4 | sed "s/^/$name: /"
done
inits=$(kz_count 'Open RTP Init (De|En)coder' "$kz_work/kzhost.log")
echo "kzhost: $inits SRTP contexts made"
[ "${inits:-0}" -ge 4 ] || faults+=("kzhost made $inits SRTP contexts, wanted 4")
# RTCP is SRTCP both ways: baresip takes every report of ours, and kzhost reads baresip's.
for name in a b; do
    kz_baresip_text $name | grep -q 'failed to decrypt RTCP' && faults+=("baresip $name could not decrypt kzhost's RTCP")
done
reports=$(kz_count 'RTCP Report:\[' "$kz_work/kzhost.log")
echo "kzhost: $reports RTCP reports read"
[ "${reports:-0}" -ge 1 ] || faults+=("kzhost read none of baresip's SRTCP reports")
errors='Open RTP Error Init|DecodeSRTP original len|error in encoder'
if grep -qE "$errors" "$kz_work/kzhost.log"; then
    grep -E "$errors" "$kz_work/kzhost.log" | head -n 5
    faults+=("kzhost reported SRTP errors")
fi

if [ -n "$capture" ]; then
    wait "$capture"
    # Shannon entropy of the RTP payload bytes (headers skipped) on even (RTP) ports, bits/byte.
    entropy=$(tshark -r "$kz_work/rtp.pcap" -T fields -e udp.dstport -e udp.payload 2>/dev/null | python3 -c '
import collections, math, sys
counts = collections.Counter()
for line in sys.stdin:
    port, _, payload = line.strip().partition("\t")
    if port and int(port) % 2 == 0 and len(payload) > 24:
        counts.update(bytes.fromhex(payload)[12:])
total = sum(counts.values())
print(f"{-sum(c / total * math.log2(c / total) for c in counts.values()):.2f} {total}" if total else "0 0")')
    set -- $entropy
    echo "wire: $2 payload bytes captured, entropy $1 bits/byte"
    [ "$2" -gt 20000 ] || faults+=("only $2 RTP payload bytes captured")
    awk -v e="$1" 'BEGIN { exit !(e > 7.8) }' || faults+=("RTP payloads look plain (entropy $1 bits/byte)")
else
    echo "wire: tshark cannot capture on lo here, payloads not checked"
fi

kz_hears b a
kz_hears a b
[ ${#faults[@]} = 0 ] || kz_fail "srtp: $(printf '%s; ' "${faults[@]}")"
echo "srtp ($mode): passed"
