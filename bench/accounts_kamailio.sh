#!/usr/bin/env bash
# Many accounts in one kzhost: ACCOUNTS accounts (alice1..alice<N>, from a generated configuration
# file, "kzsrv.sip.reg1" .. "kzsrv.sip.reg<N>") register with a kamailio registrar on loopback
# that challenges every REGISTER (digest, password "password"), asking for LIFETIME seconds so
# that they refresh all through the run. After SECONDS, prints what kamailio accepted (first
# registrations and refreshes, from its log), how many accounts kzhost reports registered
# ("accounts" on the control socket), the failures it printed, its CPU time per accepted REGISTER
# (utime + stime from /proc) and its resident memory.
#   bench/accounts_kamailio.sh [KZHOST=build/app/kzhost] [SECONDS=600] [ACCOUNTS=1000] [LIFETIME=60]
set -u
kzhost=${1:-build/app/kzhost}
seconds=${2:-600}
accounts=${3:-1000}
lifetime=${4:-60}
. "$(dirname "$0")/kzhost_bench_lib.sh"
command -v kamailio >/dev/null || { echo "kamailio is not installed (run scripts/install-deps)"; exit 1; }

base=$(kz_port_block 60) || exit 1
sip=$base ctl=$((base + 2)) registrar=$((base + 4)) rtp_first=$((base + 20)) rtp_last=$((base + 59))

# The tests' registrar, with lifetimes long enough for the run's.
sed -e 's/"\(default\|max\)_expires", [0-9]*/"\1_expires", 3600/' "$root/tests/kamailio/kamailio.cfg" \
    >"$work/kamailio.cfg"
mkdir "$work/kamailio"
kamailio -f "$work/kamailio.cfg" -l "udp:127.0.0.1:$registrar" -DD -E -Y "$work/kamailio" -w "$work/kamailio" \
    -m 64 -M 8 >"$work/kamailio.log" 2>&1 &
pids+=($!)
for _ in $(seq 200); do grep -q "SO_RCVBUF is finally" "$work/kamailio.log" && break; sleep 0.05; done
grep -q "SO_RCVBUF is finally" "$work/kamailio.log" || { echo "kamailio did not start:"; tail "$work/kamailio.log"; exit 1; }
sleep 0.3

{
    echo "kzsrv.sip.reg.client.num = $accounts"
    for i in $(seq "$accounts"); do
        printf 'kzsrv.sip.reg%d.username = alice%d\nkzsrv.sip.reg%d.password = password\n' "$i" "$i" "$i"
        printf 'kzsrv.sip.reg%d.domain = 127.0.0.1:%d\nkzsrv.sip.reg%d.expire = %d\n' "$i" "$registrar" "$i" "$lifetime"
    done
} >"$work/accounts.conf"

"$kzhost" --config "$work/accounts.conf" --set kzsrv.sip.ip.address=127.0.0.1 --set kzsrv.sip.ip.port="$sip" \
    --set kzsrv.sip.protocol=1 --set kzhost.control.port="$ctl" --set kzhost.channels=8 \
    --set kzsrv.sip.use.nat.addr=1 --set kzsrv.sip.keep.alive.msg=0 \
    --set kzsrv.sip.rtpstartrange="$rtp_first" --set kzsrv.sip.rtpendrange="$rtp_last" >"$work/kzhost.log" 2>&1 &
kz=$!
pids+=($kz)
for _ in $(seq 200); do grep -q "control socket on" "$work/kzhost.log" && break; sleep 0.05; done
grep -q "control socket on" "$work/kzhost.log" || { echo "kzhost did not start:"; tail "$work/kzhost.log"; exit 1; }

cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
accepted() { grep -c "register alice[0-9]* expires $lifetime" "$work/kamailio.log"; }
# The accounts kzhost reports registered.
registered() {
    python3 - "$ctl" <<'PY'
import json, socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=30)
s.sendall(b'{"cmd":"unsubscribe"}\n{"cmd":"accounts","id":"bench"}\n')
for line in s.makefile("rb"):
    reply = json.loads(line)
    if reply.get("id") == "bench":
        print(sum(1 for a in reply.get("accounts", []) if a.get("registered")))
        sys.exit(0)
PY
}

start=$(date +%s)
sleep "$seconds"
elapsed=$(($(date +%s) - start))
ticks=$(cpu_ticks $kz) rss=$(rss_kb $kz)
up=$(registered) total=$(accepted)
first=$(grep -o "register alice[0-9]* expires $lifetime" "$work/kamailio.log" | sort -u | wc -l)
challenges=$(grep -c "challenge alice" "$work/kamailio.log")
failures=$(grep -c "account [0-9]* failed" "$work/kzhost.log")
hz=$(getconf CLK_TCK)
python3 - "$accounts" "$lifetime" "$elapsed" "$first" "$total" "$challenges" "$up" "$failures" "$ticks" "$hz" "$rss" <<'PY'
import sys
accounts, lifetime, elapsed, first, total, challenges, up, failures, ticks, hz, rss = map(int, sys.argv[1:])
cpu = ticks / hz
print("%d accounts, lifetime %d s, %d s run" % (accounts, lifetime, elapsed))
print("kamailio: %d REGISTERs accepted (%d accounts registered, %d refreshes), %d challenged"
      % (total, first, total - first, challenges))
print("kzhost: %d of %d accounts registered at the end, %d failures reported" % (up, accounts, failures))
print("kzhost: %.2f CPU s in all, %.3f ms per accepted REGISTER (challenge included), resident %.1f MB"
      % (cpu, 1000 * cpu / max(total, 1), rss / 1024))
PY
