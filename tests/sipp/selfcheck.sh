#!/usr/bin/env bash
# Plays every scenario here against a sipp counterpart (sipp's built-in uas, or one of peers/),
# so that a change to a scenario can be checked without kzhost. Not a test of kzhost: run it by
# hand after editing the scenarios.
#   tests/sipp/selfcheck.sh
set -u
dir=$(cd "$(dirname "$0")" && pwd)
. "$dir/../integration/kzhost_ports.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# pair EXPECT SERVER-SCENARIO CLIENT-SCENARIO CALLS [client options...]: a scenario name "builtin"
# means sipp -sn uas. EXPECT is pass or fail.
pair() {
    local expect=$1 server=$2 client=$3 calls=$4
    shift 4
    local port server_args rc_server rc_client
    port=$(kz_port_block 40) || exit 1
    if [ "$server" = builtin ]; then server_args=(-sn uas); else server_args=(-sf "$dir/$server"); fi
    # Only the redirecting scenario declares target_port; sipp refuses -set of anything undeclared.
    local redirect=()
    [ "$server" = uas_redirect.xml ] && redirect=(-set target_port $((port + 30)))
    timeout 20 sipp "${server_args[@]}" -i 127.0.0.1 -p "$port" -mp $((port + 20)) -m "$calls" -nostdin \
        ${redirect[@]+"${redirect[@]}"} "$@" >"$work/server.log" 2>&1 &
    local server_pid=$!
    sleep 0.4
    timeout 20 sipp -sf "$dir/$client" "127.0.0.1:$port" -i 127.0.0.1 -p $((port + 10)) -mp $((port + 26)) \
        -m "$calls" -r 20 -d 100 -nostdin "$@" >"$work/client.log" 2>&1
    rc_client=$?
    wait $server_pid
    rc_server=$?
    # sipp's built-in uas over TCP counts its last call failed when the caller closes the connection
    # first; only the scenario under check decides then.
    [ "$server" = builtin ] && rc_server=0
    local outcome=fail
    [ $rc_client -eq 0 ] && [ $rc_server -eq 0 ] && outcome=pass
    if [ $outcome = "$expect" ]; then
        echo "ok    $client against $server ($outcome)"
    else
        echo "WRONG $client against $server: $outcome (client $rc_client, server $rc_server), wanted $expect"
        failures=$((failures + 1))
    fi
}

for t in u1 t1; do pair pass builtin uac_call.xml 5 -t $t; done
pair pass builtin uac_call_or_busy.xml 2
pair pass uas_busy.xml uac_call_or_busy.xml 2
pair pass peers/uas_cancelled.xml uac_cancel.xml 3
pair pass peers/uas_cancelled487first.xml uac_cancel.xml 3
pair pass peers/uas_noack.xml uac_no_ack.xml 1
pair pass uas_progress_answer.xml uac_wait_bye.xml 1
pair pass uas_ring_answer.xml uac_call.xml 2
pair pass uas_progress_answer.xml peers/dial_recv_bye.xml 1
pair pass uas_busy.xml peers/dial_busy.xml 1
pair pass uas_redirect.xml peers/dial_redirect.xml 1
pair pass uas_auth_407.xml peers/dial_auth407.xml 1
pair fail uas_auth_407.xml peers/dial_auth407_bad.xml 1
pair pass uas_auth_401.xml peers/dial_auth401.xml 1
pair fail uas_auth_401.xml peers/dial_auth401_bad.xml 1
pair pass uas_prack.xml peers/dial_prack.xml 1
echo "$failures wrong"
[ $failures -eq 0 ]
