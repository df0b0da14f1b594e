#!/usr/bin/env bash
# Builds (and removes) three network namespaces for the NAT classification tests:
#
#   client 10.77.1.2 --veth-- 10.77.1.1 nat 10.77.2.1 --veth-- server 10.77.2.2 + 10.77.2.3
#
# usage: netns.sh up ID MODE     MODE: route (no NAT), masquerade, random-fully
#        netns.sh down ID
# The nat namespace forwards between its two links; with masquerade it rewrites the client's
# address to 10.77.2.1 on the way out (Linux NAT, nftables or else iptables), with random-fully
# it also picks a random port for every new flow.
set -euo pipefail

cmd=${1:?command}
id=${2:?id}
cli=kzc-$id
nat=kzn-$id
srv=kzs-$id

case $cmd in
up)
    mode=${3:?mode}
    for ns in "$cli" "$nat" "$srv"; do # leftovers of an interrupted run with the same id
        ip netns del "$ns" 2>/dev/null || true
    done
    ip netns add "$cli"
    ip netns add "$nat"
    ip netns add "$srv"
    ip link add c0 netns "$cli" type veth peer name n0 netns "$nat"
    ip link add s0 netns "$srv" type veth peer name n1 netns "$nat"
    ip -n "$cli" addr add 10.77.1.2/24 dev c0
    ip -n "$nat" addr add 10.77.1.1/24 dev n0
    ip -n "$nat" addr add 10.77.2.1/24 dev n1
    ip -n "$srv" addr add 10.77.2.2/24 dev s0
    ip -n "$srv" addr add 10.77.2.3/24 dev s0
    for link in "$cli lo" "$cli c0" "$nat lo" "$nat n0" "$nat n1" "$srv lo" "$srv s0"; do
        set -- $link
        ip -n "$1" link set "$2" up
    done
    ip -n "$cli" route add default via 10.77.1.1
    ip -n "$srv" route add 10.77.1.0/24 via 10.77.2.1
    ip netns exec "$nat" sysctl -qw net.ipv4.ip_forward=1
    case $mode in
    route) ;;
    masquerade | random-fully)
        nft_flags=""
        ipt_flags=""
        if [ "$mode" = random-fully ]; then
            nft_flags="fully-random"
            ipt_flags="--random-fully"
        fi
        if command -v nft >/dev/null; then
            ip netns exec "$nat" nft -f - <<EOF_NFT
table ip kznat {
    chain postrouting {
        type nat hook postrouting priority srcnat; policy accept;
        oifname "n1" masquerade $nft_flags
    }
}
EOF_NFT
        elif command -v iptables >/dev/null; then
            ip netns exec "$nat" iptables -t nat -A POSTROUTING -o n1 -j MASQUERADE $ipt_flags
        else
            echo "netns.sh: neither nft nor iptables is installed (./scripts/install-deps)" >&2
            exit 1
        fi
        ;;
    *)
        echo "netns.sh: unknown mode $mode" >&2
        exit 2
        ;;
    esac
    ;;
down)
    for ns in "$cli" "$nat" "$srv"; do
        ip netns del "$ns" 2>/dev/null || true
    done
    ;;
*)
    echo "usage: $0 up ID route|masquerade|random-fully | down ID" >&2
    exit 2
    ;;
esac
