#!/usr/bin/python3
"""Frames per second that python-can's virtual bus delivers to a listener in
one process: one bus sends standard frames without data, a notifier on a
second bus of the same channel hands them to a counting listener.

    python3 bench/python/python_can_virtual.py [frames] [repeats]
"""
import statistics
import sys
import threading
import time

import can


class Counter(can.Listener):
    def __init__(self, expected):
        self.expected = expected
        self.count = 0
        self.done = threading.Event()

    def on_message_received(self, msg):
        self.count += 1
        if self.count == self.expected:
            self.done.set()


def run(frames):
    tx = can.Bus(interface="virtual", channel="bench", receive_own_messages=False)
    rx = can.Bus(interface="virtual", channel="bench")
    counter = Counter(frames)
    notifier = can.Notifier(rx, [counter], timeout=0.1)
    msg = can.Message(arbitration_id=0x123, is_extended_id=False, data=b"")
    start = time.perf_counter()
    for _ in range(frames):
        tx.send(msg)
    if not counter.done.wait(120):
        raise SystemExit("listener got %d of %d frames" % (counter.count, frames))
    elapsed = time.perf_counter() - start
    notifier.stop()
    tx.shutdown()
    rx.shutdown()
    return frames / elapsed


def main():
    frames = int(sys.argv[1]) if len(sys.argv) > 1 else 200000
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    rates = [run(frames) for _ in range(repeats)]
    print("python-can %s virtual bus to a listener: median %.0f frames/s over %d runs of %d frames (%s)"
          % (can.__version__, statistics.median(rates), repeats, frames,
             ", ".join("%.0f" % r for r in rates)))


if __name__ == "__main__":
    main()
