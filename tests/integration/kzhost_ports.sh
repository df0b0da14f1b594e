# Sourced by the integration scripts and benchmarks: kz_port_block COUNT prints the first of COUNT
# consecutive ports on 127.0.0.1 that are free for UDP and TCP and claimed for the calling script.
#
# Blocks are taken below the kernel's ephemeral range (32768 and up by default), so that outgoing
# connections of tests running beside these never take a port of the block first. Probing alone is
# not enough when tests run in parallel: a block that is free when probed may have been handed to
# another script whose kzhost has not bound it yet. So each block is recorded in a claims directory,
# under a lock, with the PID of the script that owns it; a claim is void once that process is gone.
# TCP ports are tried with SO_REUSEADDR, as kzhost and the peers bind them: a port that only has
# connections in TIME-WAIT is free for a listener.
kz_port_block() {
    python3 - "$1" "$$" <<'PY'
import fcntl, os, random, socket, sys

count, owner = int(sys.argv[1]), int(sys.argv[2])
low, high = 20000, 32768 - count
claims_dir = "/tmp/kz-port-claims-%d" % os.getuid()
os.makedirs(claims_dir, exist_ok=True)


def alive(pid):
    try:
        os.kill(pid, 0)
        return True
    except ProcessLookupError:
        return False
    except PermissionError:
        return True


def live_claims():
    ranges = []
    for name in os.listdir(claims_dir):
        if name.startswith("."):
            continue
        try:
            base, end, pid = (int(part) for part in name.split("-"))
        except ValueError:
            continue
        if alive(pid):
            ranges.append((base, end))
        else:
            os.unlink(os.path.join(claims_dir, name))
    return ranges


def bindable(base):
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
        return True
    except OSError:
        return False
    finally:
        for s in held:
            s.close()


with open(os.path.join(claims_dir, ".lock"), "w") as lock:
    fcntl.flock(lock, fcntl.LOCK_EX)
    taken = live_claims()
    for _ in range(300):
        base = random.randrange(low, high) if high > low else low
        end = base + count
        if any(base < other_end and other_base < end for other_base, other_end in taken):
            continue
        if bindable(base):
            open(os.path.join(claims_dir, "%d-%d-%d" % (base, end, owner)), "w").close()
            print(base)
            sys.exit(0)
sys.exit("no block of %d free ports found" % count)
PY
}
