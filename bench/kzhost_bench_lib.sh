# Shared by the kzhost benchmarks: free port blocks, a work directory, and the peers started in
# the background (their PIDs in pids) stopped and waited for on exit.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$root/tests/integration/kzhost_ports.sh"
work=$(mktemp -d)
pids=()
kz_bench_cleanup() {
    local p
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
    rm -rf "$work"
}
trap kz_bench_cleanup EXIT
