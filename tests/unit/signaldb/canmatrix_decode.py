"""Decodes frames with canmatrix, as an independent check of the signal database.

    canmatrix_decode.py DBC FRAMES

FRAMES has one frame a line: "ID EXTENDED HEXDATA" (ID in hex, EXTENDED 0 or
1). For each frame the output has one line "INDEX MESSAGE SIGNAL VALUE" per
decoded signal (VALUE as Python's repr of a float), or "INDEX -" when no
message matches. A message is found by its identifier, else, for an extended
frame, among the J1939 messages by PGN.
"""
import sys

import canmatrix.formats


def main():
    db = canmatrix.formats.loadp_flat(sys.argv[1])
    by_id = {(f.arbitration_id.id, bool(f.arbitration_id.extended)): f for f in db.frames}
    by_pgn = {f.arbitration_id.pgn: f for f in db.frames if f.is_j1939}
    out = []
    with open(sys.argv[2]) as frames:
        for index, line in enumerate(frames):
            ident, extended, data = line.split()
            ident, extended = int(ident, 16), extended == "1"
            frame = by_id.get((ident, extended))
            if frame is None and extended:
                frame = by_pgn.get(canmatrix.ArbitrationId(ident, extended=True).pgn)
            if frame is None:
                out.append("%d -" % index)
                continue
            for name, value in frame.decode(bytearray.fromhex(data)).items():
                out.append("%d %s %s %r" % (index, frame.name, name, float(value.phys_value)))
    sys.stdout.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
