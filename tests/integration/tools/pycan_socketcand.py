"""A CAN tool on a simulated bus through python-can's own socketcand client.

  pycan_socketcand.py PORT CHANNEL ID... WANT...

Connects to 127.0.0.1:PORT, opens CHANNEL, prints "open", sends one frame
per ID ("123#0102": hex identifier, 8 digits for an extended one, and data),
then receives until every WANT ("ID:COUNT", ID in hex) was seen COUNT times,
at most 10 s, printing each frame as "ID DATA" ("-" for no data). Ends with
"timestamps ok" when the frames' timestamps are the wall clock's and do not
go back.
"""
import sys
import time

import can


def main(port, channel, sends, wants):
    bus = can.Bus(interface="socketcand", channel=channel, host="127.0.0.1", port=int(port))
    print("open", flush=True)
    for text in sends:
        ident, data = text.split("#")
        bus.send(can.Message(arbitration_id=int(ident, 16), is_extended_id=len(ident) == 8,
                             data=bytes.fromhex(data)))
    need = {int(i, 16): int(n) for i, n in (w.split(":") for w in wants)}
    stamps = []
    deadline = time.time() + 10
    while any(n > 0 for n in need.values()) and time.time() < deadline:
        msg = bus.recv(0.5)
        if msg is None:
            continue
        print(f"{msg.arbitration_id:X} {msg.data.hex().upper() or '-'}", flush=True)
        stamps.append(msg.timestamp)
        if msg.arbitration_id in need:
            need[msg.arbitration_id] -= 1
    bus.shutdown()
    if stamps == sorted(stamps) and all(abs(s - time.time()) < 60 for s in stamps):
        print("timestamps ok", flush=True)


if __name__ == "__main__":
    args = sys.argv[1:]
    main(args[0], args[1], [a for a in args[2:] if "#" in a], [a for a in args[2:] if ":" in a])
