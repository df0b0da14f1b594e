#!/usr/bin/env python3
"""Audio and RTP checks for the media interoperability scripts (Python standard library only).

    audio_check.py tone OUT.wav [--freq HZ] [--level DBFS] [--seconds S] [--rate HZ] [--channels N]
        writes a 16-bit sine tone, the same on every channel
    audio_check.py analyse REC.wav [--reference WAV | --freq HZ --level DBFS] [--skip S]
                   [--freq-tol FRACTION] [--level-tol DB] [--max-gap-ms MS] [--min-tone S]
                   [--max-jumps N]
        measures a recording: the tone's dominant frequency, its RMS level, the longest
        silence inside it and its phase jumps; exits 1 when a figure is out of bounds
    audio_check.py rtp --ports LOW[-HIGH] --seconds S [--iface lo] [--allow-loss]
        captures the RTP packets sent to UDP ports LOW..HIGH (AF_PACKET, needs root; RTCP is
        left out) for S seconds, or until none came for a second after the first and checks that they carry one SSRC with continuous sequence numbers (with
        --allow-loss only that the numbers never go back); exits 1 when not, 3 when the
        capture could not keep up
    audio_check.py span REC.wav --freq HZ --seconds S [--tol-ms MS] [--freq-tol FRACTION]
                   [--max-gap-ms MS] [--floor-db DB]
        finds where a tone starts and ends in a recording (5 ms blocks within --floor-db of its
        loud level) and checks that it lasts S seconds within --tol-ms (40), holds HZ within
        --freq-tol (2 %) and has no silence longer than --max-gap-ms (60) inside; exits 1 when not
    audio_check.py mix REC.wav --tone HZ:DBFS [--tone HZ:DBFS ...] [--level-tol DB] [--skip S]
        measures the level of each tone in the loud stretch of a recording (Goertzel over
        Hann-windowed quarter seconds); exits 1 when one is more than --level-tol (6) dB from
        its level

Levels are RMS relative to full scale (a full-scale sine is -3 dBFS). The analysed stretch starts
--skip seconds after the tone's onset (the first block louder than the silence threshold) and
ends at its last such block, so that the silence before a bridge and after a hang-up is not
counted as a dropout. A block is silent when it is 20 dB below the expected level.

A phase jump is a step of more than 30 degrees in the tone's phase between 10 ms blocks: audio
lost, repeated or inserted without silence (packet-loss concealment, a frame dropped by a clock
that runs ahead). It shows only when a 20 ms frame does not hold a whole number of periods of the
tone: 1010 Hz shifts the phase by 72 degrees per frame, where 1000 Hz would hide it.
"""
import argparse
import ctypes
import math
import socket
import struct
import sys
import time
import wave

BLOCK_SECONDS = 0.005
SILENCE_BELOW_DB = 20.0


def write_tone(path, freq, level_dbfs, seconds, rate, channels):
    amplitude = 32768 * math.sqrt(2) * 10 ** (level_dbfs / 20)
    step = 2 * math.pi * freq / rate
    # One second holds whole periods of a tone of whole hertz: made once, written again and again.
    second = [int(round(amplitude * math.sin(step * n))) for n in range(rate) for _ in range(channels)]
    frames = struct.pack("<%dh" % len(second), *second)
    whole, part = divmod(int(seconds * rate), rate)
    with wave.open(path, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(frames * whole + frames[: part * 2 * channels])


def read_mono(path):
    """The first channel of a 16-bit WAV as floats in [-1, 1), and its sample rate."""
    with wave.open(path, "rb") as w:
        if w.getsampwidth() != 2:
            raise ValueError("%s: %d-byte samples, only 16-bit is read" % (path, w.getsampwidth()))
        channels, rate, frames = w.getnchannels(), w.getframerate(), w.readframes(w.getnframes())
    values = struct.unpack("<%dh" % (len(frames) // 2), frames)
    return [v / 32768.0 for v in values[::channels]], rate


def rms(samples):
    return math.sqrt(sum(s * s for s in samples) / len(samples)) if samples else 0.0


def dbfs(value):
    return 20 * math.log10(value) if value > 0 else -200.0


def goertzel_power(samples, rate, freq):
    coeff = 2 * math.cos(2 * math.pi * freq / rate)
    s1 = s2 = 0.0
    for x in samples:
        s1, s2 = x + coeff * s1 - s2, s1
    return s1 * s1 + s2 * s2 - coeff * s1 * s2


def dominant_frequency(samples, rate):
    """The strongest frequency of a Hann-windowed quarter second: a 10 Hz scan, then 0.5 Hz."""
    n = min(len(samples), rate // 4)
    window = [samples[i] * (0.5 - 0.5 * math.cos(2 * math.pi * i / (n - 1))) for i in range(n)]
    top = min(rate / 2, 8000)
    best = max(range(50, int(top), 10), key=lambda f: goertzel_power(window, rate, f))
    fine = [best - 10 + 0.5 * k for k in range(41)]
    return max(fine, key=lambda f: goertzel_power(window, rate, f))


def phase_jumps(samples, rate, freq, levels, threshold, first_block, block_size):
    """Steps of the tone's phase over 30 degrees between loud 10 ms blocks, beyond the steady
    advance that a small error in freq gives."""
    size = rate // 100
    step = 2 * math.pi * freq / rate
    phases = []
    for start in range(0, len(samples) - size + 1, size):
        block = start // block_size + first_block
        if min(levels[block : block + size // block_size + 1]) < threshold:
            phases.append(None)
            continue
        i = sum(samples[start + k] * math.cos(step * (start + k)) for k in range(size))
        q = sum(samples[start + k] * math.sin(step * (start + k)) for k in range(size))
        phases.append(math.atan2(q, i))
    steps = [math.remainder(b - a, 2 * math.pi) for a, b in zip(phases, phases[1:]) if a is not None and b is not None]
    if not steps:
        return 0
    drift = sorted(steps)[len(steps) // 2]
    return sum(1 for d in steps if abs(math.remainder(d - drift, 2 * math.pi)) > math.radians(30))


def block_levels(samples, rate):
    size = max(1, int(rate * BLOCK_SECONDS))
    return [rms(samples[i : i + size]) for i in range(0, len(samples) - size + 1, size)], size


def analyse(path, expected_freq, expected_level, args):
    samples, rate = read_mono(path)
    levels, size = block_levels(samples, rate)
    threshold = 10 ** ((expected_level - SILENCE_BELOW_DB) / 20)
    loud = [i for i, level in enumerate(levels) if level >= threshold]
    figures = {"file": path, "rate": rate, "seconds": round(len(samples) / rate, 2)}
    if not loud:
        figures["problems"] = ["no tone: nothing above %.1f dBFS" % dbfs(threshold)]
        return figures
    first = loud[0] + int(args.skip / BLOCK_SECONDS)
    last = loud[-1]
    figures["tone_start_s"] = round(loud[0] * BLOCK_SECONDS, 3)
    figures["tone_seconds"] = round(max(0, last + 1 - first) * BLOCK_SECONDS, 2)
    problems = []
    if figures["tone_seconds"] < args.min_tone:
        problems.append("tone lasts %.2f s after the skip, wanted at least %.2f" % (figures["tone_seconds"], args.min_tone))
        figures["problems"] = problems
        return figures
    stretch = samples[first * size : (last + 1) * size]
    gap, gap_at, run = 0, 0, 0
    for i in range(first, last + 1):
        run = run + 1 if levels[i] < threshold else 0
        if run > gap:
            gap, gap_at = run, i - run + 1
    figures["frequency_hz"] = round(dominant_frequency(stretch[len(stretch) // 3 :], rate), 1)
    figures["level_dbfs"] = round(dbfs(rms(stretch)), 2)
    figures["longest_gap_ms"] = round(gap * BLOCK_SECONDS * 1000)
    figures["phase_jumps"] = phase_jumps(stretch, rate, figures["frequency_hz"], levels, threshold, first, size)
    figures["longest_gap_at_s"] = round(gap_at * BLOCK_SECONDS, 3)
    if abs(figures["frequency_hz"] - expected_freq) > args.freq_tol * expected_freq:
        problems.append("frequency %.1f Hz, wanted %.1f within %g %%" % (figures["frequency_hz"], expected_freq, args.freq_tol * 100))
    if abs(figures["level_dbfs"] - expected_level) > args.level_tol:
        problems.append("level %.2f dBFS, wanted %.2f within %g dB" % (figures["level_dbfs"], expected_level, args.level_tol))
    if args.max_jumps >= 0 and figures["phase_jumps"] > args.max_jumps:
        problems.append("%d phase jumps (audio lost or repeated), at most %d allowed" % (figures["phase_jumps"], args.max_jumps))
    if figures["longest_gap_ms"] > args.max_gap_ms:
        problems.append("a gap of %d ms at %.3f s, at most %d allowed" % (figures["longest_gap_ms"], figures["longest_gap_at_s"], args.max_gap_ms))
    figures["problems"] = problems
    return figures


def reference_figures(path):
    samples, rate = read_mono(path)
    stretch = samples[: rate * 2]
    return dominant_frequency(stretch, rate), dbfs(rms(stretch))


def print_figures(figures):
    keys = ("frequency_hz", "level_dbfs", "longest_gap_ms", "longest_gap_at_s", "phase_jumps", "tone_start_s", "tone_seconds", "rate", "seconds")
    print(" ".join("%s=%s" % (k, figures[k]) for k in keys if k in figures) + "  (%s)" % figures["file"])
    for p in figures["problems"]:
        print("  " + p)


def tone_span(path, expected_freq, expected_seconds, args):
    """The extent of the loudest sound in a recording: its first and last 5 ms block within
    floor_db of the loud level (the 90th percentile of the blocks), and what lies between."""
    samples, rate = read_mono(path)
    levels, size = block_levels(samples, rate)
    figures = {"file": path, "rate": rate, "seconds": round(len(samples) / rate, 3), "problems": []}
    ranked = sorted(levels)
    loud_level = ranked[int(len(ranked) * 0.9)] if ranked else 0.0
    if loud_level <= 10 ** (-60 / 20):
        figures["problems"].append("no tone: the recording is silent")
        return figures
    threshold = loud_level * 10 ** (-args.floor_db / 20)
    loud = [i for i, level in enumerate(levels) if level >= threshold]
    first, last = loud[0], loud[-1]
    gap = run = 0
    for i in range(first, last + 1):
        run = run + 1 if levels[i] < threshold else 0
        gap = max(gap, run)
    stretch = samples[first * size : (last + 1) * size]
    middle = stretch[len(stretch) // 4 : len(stretch) * 3 // 4] or stretch
    figures.update(
        span_start_s=round(first * BLOCK_SECONDS, 3),
        span_end_s=round((last + 1) * BLOCK_SECONDS, 3),
        span_seconds=round((last + 1 - first) * BLOCK_SECONDS, 3),
        frequency_hz=round(dominant_frequency(middle, rate), 1),
        level_dbfs=round(dbfs(rms(middle)), 2),
        longest_gap_ms=round(gap * BLOCK_SECONDS * 1000),
    )
    off_ms = (figures["span_seconds"] - expected_seconds) * 1000
    figures["duration_error_ms"] = round(off_ms)
    if abs(off_ms) > args.tol_ms:
        figures["problems"].append("the tone lasts %.3f s, wanted %.3f within %d ms" % (figures["span_seconds"], expected_seconds, args.tol_ms))
    if abs(figures["frequency_hz"] - expected_freq) > args.freq_tol * expected_freq:
        figures["problems"].append("frequency %.1f Hz, wanted %.1f within %g %%" % (figures["frequency_hz"], expected_freq, args.freq_tol * 100))
    if figures["longest_gap_ms"] > args.max_gap_ms:
        figures["problems"].append("a gap of %d ms inside the tone, at most %d allowed" % (figures["longest_gap_ms"], args.max_gap_ms))
    return figures


def tone_level(samples, rate, freq):
    """RMS level (dBFS) of the sine at freq: Goertzel over Hann-windowed quarter seconds, averaged."""
    n = rate // 4
    window = [0.5 - 0.5 * math.cos(2 * math.pi * i / (n - 1)) for i in range(n)]
    gain = sum(window)
    powers = []
    for start in range(0, len(samples) - n + 1, n):
        block = [x * w for x, w in zip(samples[start : start + n], window)]
        amplitude = 2 * math.sqrt(max(goertzel_power(block, rate, freq), 0.0)) / gain
        powers.append(amplitude * amplitude / 2)
    return dbfs(math.sqrt(sum(powers) / len(powers))) if powers else -200.0


def tone_mix(path, tones, args):
    samples, rate = read_mono(path)
    levels, size = block_levels(samples, rate)
    figures = {"file": path, "rate": rate, "seconds": round(len(samples) / rate, 3), "problems": []}
    loud = [i for i, level in enumerate(levels) if level >= 10 ** (-50 / 20)]
    if not loud:
        figures["problems"].append("no sound: nothing above -50 dBFS")
        return figures
    first = loud[0] + int(args.skip / BLOCK_SECONDS)
    stretch = samples[first * size : (loud[-1] + 1) * size]
    figures["stretch_seconds"] = round(len(stretch) / rate, 3)
    figures["level_dbfs"] = round(dbfs(rms(stretch)), 2)
    for freq, expected in tones:
        level = round(tone_level(stretch, rate, freq), 2)
        figures["level_%g_hz" % freq] = level
        if abs(level - expected) > args.level_tol:
            figures["problems"].append("%g Hz at %.2f dBFS, wanted %.2f within %g dB" % (freq, level, expected, args.level_tol))
    return figures


def print_measures(figures, leading):
    """The figures of span and mix: the leading keys first, then the rest."""
    rest = [k for k in figures if k not in leading and k not in ("file", "problems")]
    print(" ".join("%s=%s" % (k, figures[k]) for k in list(leading) + rest if k in figures) + "  (%s)" % figures["file"])
    for p in figures["problems"]:
        print("  " + p)


SOL_PACKET, PACKET_STATISTICS, SO_ATTACH_FILTER = 263, 6, 26


def udp_port_filter(low, high):
    """A classic BPF program that keeps unfragmented IPv4 UDP to ports low..high (Ethernet framing)."""
    code = [
        (0x28, 0, 0, 12),  # ldh [12]: ethertype
        (0x15, 0, 8, 0x0800),  # IPv4, else drop
        (0x30, 0, 0, 23),  # ldb [23]: protocol
        (0x15, 0, 6, 17),  # UDP, else drop
        (0x28, 0, 0, 20),  # ldh [20]: fragment offset
        (0x45, 4, 0, 0x1FFF),  # a later fragment: drop
        (0xB1, 0, 0, 14),  # x = IP header length
        (0x48, 0, 0, 16),  # ldh [x + 16]: destination port
        (0x35, 0, 1, low),  # below low: drop
        (0x25, 0, 1, high),  # above high: drop, else keep
        (0x06, 0, 0, 0),
        (0x06, 0, 0, 0x40000),
    ]
    return b"".join(struct.pack("HBBI", *c) for c in code), len(code)


def capture_rtp(ports, seconds, iface):
    """RTP headers of UDP datagrams to PORTS seen on IFACE, one per packet delivered, and the
    number of packets the capture itself dropped (a busy machine can outrun the reader)."""
    # Protocol 0 receives nothing until the bind below names one: the filter and the buffer are
    # in place before the first packet is queued.
    sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, 0)
    program, count = udp_port_filter(ports[0], ports[-1])
    buffer = ctypes.create_string_buffer(program)
    sock.setsockopt(socket.SOL_SOCKET, SO_ATTACH_FILTER, struct.pack("HL", count, ctypes.addressof(buffer)))
    sock.setsockopt(socket.SOL_SOCKET, getattr(socket, "SO_RCVBUFFORCE", 33), 8 << 20)
    sock.bind((iface, 0x0003))
    sock.getsockopt(SOL_PACKET, PACKET_STATISTICS, 8)  # reading the counters resets them
    sock.settimeout(0.2)
    packets = []
    deadline = time.monotonic() + seconds
    last = None
    while time.monotonic() < deadline:
        try:
            frame, address = sock.recvfrom(65535)
        except socket.timeout:
            if last is not None and time.monotonic() - last >= 1.0:
                break
            continue
        if address[2] == socket.PACKET_OUTGOING:  # loopback shows each packet leaving and arriving
            continue
        header = parse_rtp_to(frame, ports)
        if header:
            packets.append(header)
            last = time.monotonic()
    _, dropped = struct.unpack("II", sock.getsockopt(SOL_PACKET, PACKET_STATISTICS, 8))
    sock.close()
    return packets, dropped


def parse_rtp_to(frame, ports):
    if len(frame) < 14 + 20 or frame[12:14] != b"\x08\x00":
        return None
    ip = frame[14:]
    ihl = (ip[0] & 0x0F) * 4
    if ip[0] >> 4 != 4 or ip[9] != 17 or len(ip) < ihl + 8 + 12:
        return None
    dst = struct.unpack("!H", ip[ihl + 2 : ihl + 4])[0]
    rtp = ip[ihl + 8 :]
    if dst not in ports or rtp[0] >> 6 != 2 or 192 <= rtp[1] <= 223:  # RTCP: types 192..223
        return None
    seq, timestamp, ssrc = struct.unpack("!HII", rtp[2:12])
    return {"pt": rtp[1] & 0x7F, "seq": seq, "ts": timestamp, "ssrc": ssrc}


def rtp_continuity(packets, allow_loss):
    problems = []
    ssrcs = []
    for p in packets:
        if not ssrcs or ssrcs[-1] != p["ssrc"]:
            ssrcs.append(p["ssrc"])
    if len(ssrcs) != 1:
        problems.append("%d SSRC changes: %s" % (len(ssrcs) - 1, " -> ".join("%08x" % s for s in ssrcs[:8])))
    steps = [(a["seq"], b["seq"], (b["seq"] - a["seq"]) % 65536) for a, b in zip(packets, packets[1:])]
    jumps = [(a, b) for a, b, step in steps if step != 1 and not (allow_loss and 1 < step < 1000)]
    lost = sum(step - 1 for _, _, step in steps if 1 < step < 1000)
    if jumps:
        problems.append("%d sequence discontinuities, first: %s" % (len(jumps), ", ".join("%d->%d" % j for j in jumps[:5])))
    ts_jumps = sum(1 for a, b in zip(packets, packets[1:]) if (b["ts"] - a["ts"]) % (1 << 32) > 48000)
    payloads = sorted({p["pt"] for p in packets})
    print("rtp: %d packets, SSRCs %s, payload types %s, %d missing, %d sequence jumps, %d timestamp jumps over 1 s"
          % (len(packets), ",".join("%08x" % s for s in sorted(set(ssrcs))), payloads, lost, len(jumps), ts_jumps))
    if not packets:
        problems.append("no RTP packets captured")
    return problems


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="what", required=True)
    tone = sub.add_parser("tone")
    tone.add_argument("out")
    tone.add_argument("--freq", type=int, default=1000)
    tone.add_argument("--level", type=float, default=-16.0)
    tone.add_argument("--seconds", type=float, default=30.0)
    tone.add_argument("--rate", type=int, default=8000)
    tone.add_argument("--channels", type=int, default=1)
    check = sub.add_parser("analyse")
    check.add_argument("recording")
    check.add_argument("--reference")
    check.add_argument("--freq", type=float, default=1000.0)
    check.add_argument("--level", type=float, default=-16.0)
    check.add_argument("--skip", type=float, default=0.5)
    check.add_argument("--freq-tol", type=float, default=0.02)
    check.add_argument("--level-tol", type=float, default=3.0)
    check.add_argument("--max-gap-ms", type=int, default=60)
    check.add_argument("--max-jumps", type=int, default=-1, help="-1: reported only")
    check.add_argument("--min-tone", type=float, default=2.0)
    rtp = sub.add_parser("rtp")
    rtp.add_argument("--ports", required=True)
    rtp.add_argument("--seconds", type=float, required=True)
    rtp.add_argument("--iface", default="lo")
    rtp.add_argument("--allow-loss", action="store_true")
    span = sub.add_parser("span")
    span.add_argument("recording")
    span.add_argument("--freq", type=float, required=True)
    span.add_argument("--seconds", type=float, required=True)
    span.add_argument("--tol-ms", type=int, default=40)
    span.add_argument("--freq-tol", type=float, default=0.02)
    span.add_argument("--max-gap-ms", type=int, default=60)
    span.add_argument("--floor-db", type=float, default=20.0)
    mix = sub.add_parser("mix")
    mix.add_argument("recording")
    mix.add_argument("--tone", action="append", required=True, help="HZ:DBFS")
    mix.add_argument("--level-tol", type=float, default=6.0)
    mix.add_argument("--skip", type=float, default=0.2)
    args = parser.parse_args(argv[1:])

    try:
        if args.what == "tone":
            write_tone(args.out, args.freq, args.level, args.seconds, args.rate, args.channels)
            return 0
        if args.what == "span":
            figures = tone_span(args.recording, args.freq, args.seconds, args)
            print_measures(figures, ("span_seconds", "duration_error_ms", "frequency_hz", "level_dbfs", "longest_gap_ms"))
            return 1 if figures["problems"] else 0
        if args.what == "mix":
            tones = [tuple(float(v) for v in t.split(":")) for t in args.tone]
            figures = tone_mix(args.recording, tones, args)
            print_measures(figures, ["level_%g_hz" % f for f, _ in tones])
            return 1 if figures["problems"] else 0
        if args.what == "rtp":
            low, _, high = args.ports.partition("-")
            ports = range(int(low), int(high or low) + 1)
            packets, dropped = capture_rtp(ports, args.seconds, args.iface)
            problems = rtp_continuity(packets, args.allow_loss)
            if dropped:
                print("rtp: the capture itself dropped %d packets; its sequence check proves nothing" % dropped)
                return 3
        else:
            freq, level = (args.freq, args.level)
            if args.reference:
                freq, level = reference_figures(args.reference)
                print("reference: frequency_hz=%.1f level_dbfs=%.2f  (%s)" % (freq, level, args.reference))
            figures = analyse(args.recording, freq, level, args)
            print_figures(figures)
            problems = figures["problems"]
    except (OSError, ValueError, EOFError, wave.Error) as e:
        print("audio_check: %s" % e)
        return 2
    for p in problems if args.what == "rtp" else []:
        print("  " + p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
