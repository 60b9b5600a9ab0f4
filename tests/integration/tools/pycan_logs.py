"""python-can's own log readers and writers, for the log tests.

  pycan_logs.py read FILE     prints every frame python-can reads from FILE,
                              one per line: "canN ID EXT DATA" (DATA in hex,
                              "R" for a remote frame, "-" for none)
  pycan_logs.py write FILE... writes the same frames on can1 to each FILE
                              with python-can's writer for its suffix
"""
import sys

import can

FRAMES = [
    (0x123, False, b"\x11\x22", False),
    (0x18FEF100, True, bytes(range(8)), False),
    (0x7DF, False, b"", True),
    (0x5A5, False, b"", False),
]


def channel_name(channel):
    # The ASC reader numbers channels from 0, the text log keeps the name.
    return f"can{channel}" if isinstance(channel, int) else str(channel)


def read(path):
    for msg in can.LogReader(path):
        data = "R" if msg.is_remote_frame else (msg.data.hex().upper() or "-")
        ext = 1 if msg.is_extended_id else 0
        print(f"{channel_name(msg.channel)} {msg.arbitration_id:X} {ext} {data}", flush=True)


def write(paths):
    for path in paths:
        with can.Logger(path) as logger:
            for i, (ident, ext, data, remote) in enumerate(FRAMES):
                logger(can.Message(timestamp=1700000000.0 + i * 0.001, arbitration_id=ident,
                                   is_extended_id=ext, data=data, is_remote_frame=remote,
                                   dlc=0 if remote else len(data), channel="can1"))


if __name__ == "__main__":
    if len(sys.argv) >= 3 and sys.argv[1] == "read":
        read(sys.argv[2])
    elif len(sys.argv) >= 3 and sys.argv[1] == "write":
        write(sys.argv[2:])
    else:
        sys.exit(__doc__)
