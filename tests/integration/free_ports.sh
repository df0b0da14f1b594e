# Sourced by the integration scripts: free_port_block COUNT prints the first of COUNT consecutive
# ports on 127.0.0.1 that are free for UDP and TCP right now. The first comes from a bind to
# port 0, so the system picks it; the rest are checked by binding them too.
free_port_block() {
    python3 - "$1" <<'PY'
import socket, sys
count = int(sys.argv[1])
for _ in range(200):
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    probe.bind(("127.0.0.1", 0))
    base = probe.getsockname()[1]
    probe.close()
    if base + count > 65535:
        continue
    held = []
    try:
        for port in range(base, base + count):
            for kind in (socket.SOCK_DGRAM, socket.SOCK_STREAM):
                s = socket.socket(socket.AF_INET, kind)
                held.append(s)
                s.bind(("127.0.0.1", port))
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
