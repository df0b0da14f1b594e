#!/usr/bin/env bash
# One kzsip-uas calls another over TLS on 127.0.0.1 (certificate made here with openssl).
#   tls_calls.sh KZSIP_UAS CALLS
# The answering side takes PORT (TLS on PORT+1), the caller PORT+10, from a block of free ports.
set -u
uas=$1 calls=$2
. "$(dirname "$0")/kzhost_ports.sh"
port=$(kz_port_block 12) || exit 1
work=$(mktemp -d)
pid=
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$work/key.pem" \
    -out "$work/cert.pem" -days 1 -subj /CN=kzsip-test 2>/dev/null || { echo "openssl failed"; exit 1; }
tls=(-t tls --cert "$work/cert.pem" --key "$work/key.pem")
"$uas" -p "$port" "${tls[@]}" >"$work/answer.log" 2>&1 &
pid=$!
for _ in $(seq 100); do grep -q listening "$work/answer.log" && break; sleep 0.05; done
timeout 120 "$uas" -p $((port + 10)) "${tls[@]}" --call "sip:service@127.0.0.1:$((port + 1));transport=tls" \
    -n "$calls" -r 50
