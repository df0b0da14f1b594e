#!/usr/bin/env bash
# kzhost in server mode as the registrar of its proxy sites' users, with baresip as the phones:
#   kzhost_registrar.sh KZHOST
# Site 1 (domain 127.0.0.1) challenges without qop, site 2 (127.0.0.2) with qop "auth" and an
# opaque value. The users are added through the control socket; baresip registers alice at site 1
# and bob at site 2 with their passwords and carol at site 1 with a wrong one. alice and bob must be
# reported registered, carol never; when baresip quits, its unregistration is reported. Then svwar
# looks for users by REGISTER and must not tell a real user from an unknown one.
set -u
kzhost=$1
. "$(dirname "$0")/kzhost_lib.sh"
command -v baresip >/dev/null || { echo "baresip is not installed (run scripts/install-deps)"; exit 1; }
kz_ports

kz_start_kzhost "$kzhost" --set kzsrv.sip.server.model=1 --set kzsrv.sip.use.nat.addr=1 \
    --set kzsrv.sip.keep.alive.msg=0 --set kzsrv.sip.proxy.sites.num=2 \
    --set kzsrv.sip.proxy.site1.domain=127.0.0.1 \
    --set kzsrv.sip.proxy.site2.domain=127.0.0.2 --set kzsrv.sip.proxy.site2.register.qop=1 \
    --set kzsrv.sip.proxy.site2.register.opaque=1
kz_events_start

for user in '"site":1,"user":"alice","password":"alice-pw"' '"site":2,"user":"bob","password":"bob-pw"' \
    '"site":1,"user":"carol","password":"carol-pw"'; do
    kz_request "{\"cmd\":\"user-add\",$user}" >/dev/null || kz_fail "kzhost refused user-add $user"
done

dir="$kz_work/baresip"
mkdir -p "$dir"
printf 'sip_listen\t\t127.0.0.1:%s\nmodule_path\t\t/usr/lib/baresip/modules\nmodule_tmp\t\taccount.so\n' \
    "$baresip_port" >"$dir/config"
outbound="outbound=\"sip:127.0.0.1:$sip_port\";regint=300"
{
    echo "<sip:alice@127.0.0.1>;auth_pass=alice-pw;$outbound"
    echo "<sip:bob@127.0.0.2>;auth_pass=bob-pw;$outbound"
    echo "<sip:carol@127.0.0.1>;auth_pass=not-carols;$outbound"
} >"$dir/accounts"
baresip -f "$dir" -n 127.0.0.1 -t 20 </dev/null >"$kz_work/baresip.log" 2>&1 &
baresip_pid=$!
kz_track $baresip_pid

kz_wait_events 1 10 user-registered site=1 user=alice seconds=300 || kz_fail "alice was not registered"
kz_wait_events 1 10 user-registered site=2 user=bob seconds=300 || kz_fail "bob was not registered (qop, opaque)"
kz_wait_for_line "$kz_work/baresip.log" "carol@127.0.0.1.*407" 10 || kz_fail "carol's wrong password was not refused"
sleep 1
[ -z "$(kz_events user-registered user=carol)" ] || kz_fail "carol was registered with a wrong password"
users=$(kz_request '{"cmd":"users"}') || kz_fail "users failed"
echo "$users" >>"$kz_work/control.log"
python3 -c '
import json, sys
users = {u["user"]: u for u in json.loads(sys.argv[1])["users"]}
sys.exit(0 if users["alice"]["registered"] and users["bob"]["registered"] and not users["carol"]["registered"] else 1)
' "$users" || kz_fail "users does not list alice and bob registered and carol not: $users"

kz_stop $baresip_pid
kz_wait_events 1 10 user-unregistered site=1 user=alice || kz_fail "alice's unregistration was not reported"

if command -v svwar >/dev/null; then
    # svwar first probes a name that cannot exist; when that is challenged like any other it gives
    # up. Forced on, it must then report the real and the unknown names alike.
    printf 'alice\nbob\nnobody\nzed\n' >"$kz_work/names"
    timeout 60 svwar -m REGISTER -d "$kz_work/names" -p "$sip_port" 127.0.0.1 >"$kz_work/svwar.log" 2>&1
    grep -q "authentication request for an unknown extension" "$kz_work/svwar.log" ||
        kz_fail "svwar's unknown name was not challenged like a user"
    timeout 60 svwar --force -m REGISTER -d "$kz_work/names" -p "$sip_port" 127.0.0.1 >"$kz_work/svwar-force.log" 2>&1
    python3 - "$kz_work/svwar-force.log" <<'PY' || kz_fail "svwar told users from unknown names"
import re, sys
rows = dict(re.findall(r"^\|\s*(\w+)\s*\|\s*([^|]*?)\s*\|", open(sys.argv[1]).read(), re.M))
rows.pop("Extension", None)
sys.exit(0 if not rows or (len(set(rows.values())) == 1 and set(rows) == {"alice", "bob", "nobody", "zed"}) else 1)
PY
fi
echo "PASS: alice (no qop) and bob (qop, opaque) registered, carol refused, unregistration reported"
