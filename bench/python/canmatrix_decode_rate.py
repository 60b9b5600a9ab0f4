"""canmatrix's decoding rate on the frames of signaldb_bench, for comparison.

    canmatrix_decode_rate.py DBC FRAMES [COUNT]

Decodes the first COUNT frames (default: all) as signaldb_bench does: the
message found by identifier, else among the J1939 messages by PGN, then every
signal's physical value.
"""
import sys
import time

import canmatrix
import canmatrix.formats


def main():
    db = canmatrix.formats.loadp_flat(sys.argv[1])
    count = int(sys.argv[3]) if len(sys.argv) > 3 else None
    frames = []
    with open(sys.argv[2]) as lines:
        for line in lines:
            ident, extended, data = line.split()
            frames.append((int(ident, 16), extended == "1", bytes.fromhex(data)))
            if count is not None and len(frames) >= count:
                break
    by_id = {(f.arbitration_id.id, bool(f.arbitration_id.extended)): f for f in db.frames}
    by_pgn = {f.arbitration_id.pgn: f for f in db.frames if f.is_j1939}
    signals = 0
    start = time.perf_counter()
    for ident, extended, data in frames:
        frame = by_id.get((ident, extended))
        if frame is None and extended:
            frame = by_pgn.get(canmatrix.ArbitrationId(ident, extended=True).pgn)
        if frame is None:
            continue
        for value in frame.decode(data).values():
            value.phys_value
            signals += 1
    seconds = time.perf_counter() - start
    print("canmatrix: %d frames decoded in %.3f s: %.0f frames/s, %d signals"
          % (len(frames), seconds, len(frames) / seconds, signals))


if __name__ == "__main__":
    main()
