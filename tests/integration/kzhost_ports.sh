# Sourced by the kzhost scripts and benchmarks: kz_port_block COUNT prints the first of COUNT
# consecutive ports on 127.0.0.1 that are free for UDP and TCP right now. Blocks are taken below
# the kernel's ephemeral range (32768 and up by default), so that outgoing connections of tests
# running beside these never take a port of the block first. TCP ports are tried with
# SO_REUSEADDR, as kzhost and the peers bind them: a port that only has connections in TIME-WAIT
# is free for a listener.
kz_port_block() {
    python3 - "$1" <<'PY'
import random, socket, sys
count = int(sys.argv[1])
low, high = 20000, 32768 - count
for _ in range(300):
    base = random.randrange(low, high) if high > low else low
    held = []
    try:
        for port in range(base, base + count):
            u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            held.append(u)
            u.bind(("127.0.0.1", port))
            t = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            held.append(t)
            t.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            t.bind(("127.0.0.1", port))
        print(base)
        sys.exit(0)
    except OSError:
        pass
    finally:
        for s in held:
            s.close()
sys.exit("no block of %d free ports found" % count)
PY
}
