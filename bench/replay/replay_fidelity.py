#!/usr/bin/python3
"""Record, replay, record again: how faithfully gateway-sim replays its own log.

A log of five busy buses (every bus at LOAD % of its bit rate with 8-byte
extended frames, ten identifiers each, evenly spaced) is replayed with its
timing into a simulator that logs what its buses carry (the first recording);
that log is replayed into a second simulator that logs again (the second).
Prints, for each recording, the lines that go back in time, and per
identifier how far the second recording's intervals are from the first's
(median, p90, p99, max, in ms). Exit status 0 when the p99 is within
--limit-ms (default 0.2) and neither log goes back in time, 1 otherwise.

    bench/replay/replay_fidelity.py --bin build/release/sim [--seconds 20] [--load 90] [--kbits 1000]
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

LINE = re.compile(r"^\((\d+)\.(\d{6})\) (can\d) ([0-9A-Fa-f]+)#")


def make_log(path, seconds, load, kbits):
    # An 8-byte extended frame takes about 150 bits with its stuff bits.
    per_bus = int(kbits * 1000 * load / 100 / 150)
    lines = []
    for k in range(int(per_bus * seconds)):
        for bus in range(5):
            t = 1_000_000 + k * 1_000_000 // per_bus + bus * 37
            ident = 0x18FEF000 + bus * 16 + k % 10
            lines.append((t, f"({t // 1_000_000}.{t % 1_000_000:06d}) can{bus} {ident:08X}#{k & 0xFFFFFFFF:016X}\n"))
    lines.sort()
    with open(path, "w") as f:
        f.writelines(text for _, text in lines)
    return per_bus


def record(binaries, folder, name, source, kbits, seconds):
    endpoint = os.path.join(folder, name + "-endpoint")
    control = os.path.join(folder, name + "-control")
    log = os.path.join(folder, name + ".log")
    sim = subprocess.Popen([os.path.join(binaries, "gateway-sim"), "--endpoint", endpoint,
                            "--data", os.path.join(folder, name + "-data"), "--control", control,
                            "--bitrate", str(kbits), "--log", log, "--no-prompt", "--quiet",
                            "--silence", "timing"])
    client = os.path.join(binaries, "gateway-sim-control")
    try:
        deadline = time.monotonic() + 20
        while not os.path.exists(control):
            if time.monotonic() > deadline:
                raise RuntimeError("the simulator did not start")
            time.sleep(0.05)
        subprocess.run([client, control, "replay " + source], check=True, stdout=subprocess.DEVNULL)
        deadline = time.monotonic() + seconds * 3 + 30
        while True:
            status = subprocess.run([client, control, "replay"], capture_output=True, text=True).stdout
            if "ended" in status:
                break
            if time.monotonic() > deadline:
                raise RuntimeError("the replay did not end: " + status)
            time.sleep(0.5)
        subprocess.run([client, control, "quit"], stdout=subprocess.DEVNULL)
        sim.wait(timeout=20)
    finally:
        if sim.poll() is None:
            sim.kill()
            sim.wait()
    return log


def read(path):
    rows, backwards, last = {}, 0, -1
    with open(path) as f:
        for line in f:
            m = LINE.match(line)
            if not m:
                continue
            t = int(m.group(1)) * 1_000_000 + int(m.group(2))
            backwards += 1 if t < last else 0
            last = max(last, t)
            rows.setdefault((m.group(3), m.group(4).upper()), []).append(t)
    return rows, backwards


def percentile(values, share):
    return values[min(len(values) - 1, int(share * len(values)))]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", required=True, help="folder of gateway-sim and gateway-sim-control")
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--load", type=float, default=90, help="percent of each bus")
    parser.add_argument("--kbits", type=int, default=1000)
    parser.add_argument("--limit-ms", type=float, default=0.2)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        source = os.path.join(folder, "source.log")
        per_bus = make_log(source, args.seconds, args.load, args.kbits)
        first = record(args.bin, folder, "first", source, args.kbits, args.seconds)
        second = record(args.bin, folder, "second", first, args.kbits, args.seconds)
        a, back_a = read(first)
        b, back_b = read(second)
    deltas, missing = [], 0
    for key, times in a.items():
        other = b.get(key, [])
        missing += abs(len(times) - len(other))
        for i in range(1, min(len(times), len(other))):
            deltas.append(abs((times[i] - times[i - 1]) - (other[i] - other[i - 1])) / 1000.0)
    deltas.sort()
    print(f"{per_bus} frames/s on each of 5 buses at {args.kbits} kbit/s for {args.seconds:g} s")
    print(f"lines back in time: first recording {back_a}, second {back_b}; frames missing {missing}")
    if not deltas:
        print("no intervals to compare")
        return 1
    print("interval difference per identifier, ms: median %.3f, p90 %.3f, p99 %.3f, max %.3f (%d intervals)" %
          (percentile(deltas, 0.5), percentile(deltas, 0.9), percentile(deltas, 0.99), deltas[-1], len(deltas)))
    ok = back_a == 0 and back_b == 0 and missing == 0 and percentile(deltas, 0.99) <= args.limit_ms
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
