#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/: a few well-formed inputs per
target in the input format its fuzzer reads (see FuzzRig.h and
WireFormatFuzzer.cpp). Run from anywhere; the files are kept in the tree."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def children(*items):
    """Structured input: an even first byte, then u8 command, u16 length, bytes."""
    out = bytearray([0])
    for command, payload in items:
        out += struct.pack('<BH', command, len(payload)) + payload
    return bytes(out)


def raw(payload):
    """Raw input: an odd first byte, then the envelope payload as it is."""
    return b'\x01' + payload


def child_bytes(command, payload):
    return struct.pack('<B3xiI', 1, command, len(payload)) + payload


def frame(msg_type, command, address, source, payload):
    body = struct.pack('<B3xiii', msg_type, command, address, source) + payload
    return struct.pack('<I', len(body)) + body


def can_record(identifier, extended, bus, data):
    return struct.pack('<IBBBB', identifier, extended, bus, 0, len(data)) + bytes(data).ljust(8, b'\0')


def j1939_record(bus, source, destination, pgn, data, priority=6):
    return struct.pack('<BBBBIH2x', bus, source, destination, priority, pgn, len(data)) + bytes(data)


def j1708_record(priority, frame_bytes):
    return struct.pack('<BBB', 0, priority, len(frame_bytes)) + bytes(frame_bytes)


SEEDS = {
    'wire_format': {
        'one_envelope': b'\0' + frame(0, 10, 100, 254, child_bytes(1, can_record(0x123, 0, 1, [1, 2]))),
        'two_frames_cut': b'\x02' + struct.pack('<HH', 3, 30) +
                          frame(0, 13, 100, 254, child_bytes(5, j1939_record(0, 0x17, 0xff, 0xfef1, [9] * 8))) +
                          frame(3, 1, 0, 254, b''),
        'bad_children': b'\0' + frame(0, 22, 100, 254, child_bytes(2, b'\0' * 4)[:-2]),
        'bad_prefix': b'\0' + struct.pack('<I', 8) + b'\0' * 8,
    },
    'can_receive': {
        'rows_and_catch_all': children((1, can_record(0x123, 0, 1, [0xaa, 0xbb])),
                                       (1, can_record(0x18fef100, 1, 0, range(8))),
                                       (1, can_record(0x555, 0, 1, []))),
        'long_length_byte': children((1, struct.pack('<IBBBB', 0x123, 0, 0, 0, 200) + b'\x11' * 8)),
        'garbled': raw(child_bytes(1, can_record(0x100, 0, 0, [1]))[:-3]),
    },
    'j1939_receive': {
        'records': children((5, j1939_record(0, 0x17, 0xff, 0xfef1, range(8))),
                            (5, j1939_record(1, 0x20, 0x80, 0xea00, range(3))),
                            (5, j1939_record(0, 0x30, 0x80, 0x12345, range(100)))),
        'short_record': children((5, j1939_record(0, 0x17, 0xff, 0xfef1, range(20))[:-10])),
        'ca_lists': children((10, bytes([0, 0x80, 1, 0x90])), (12, bytes([1, 0x90, 2, 0x10]))),
    },
    'j1708_receive': {
        'rows_and_catch_all': children((2, j1708_record(8, [128, 1, 2, 3, (-(128 + 6)) & 0xff])),
                                       (2, j1708_record(3, [150, 7, (-(150 + 7)) & 0xff]))),
        'count_past_end': children((2, j1708_record(8, [128, 1, 2])[:4])),
    },
    'eeprom_reply': {
        'read_reply': children((2, struct.pack('<Iii', 0, 16, 0) + bytes(range(16)).ljust(1024, b'\0'))),
        'read_reply_huge_count': children((2, struct.pack('<Iii', 0, 0x7fffffff, 0) + b'\x55' * 1024)),
        'write_and_values': children((4, struct.pack('<Iii', 0, 16, 0)), (6, struct.pack('<i', 2)),
                                     (8, struct.pack('<i', 0)), (10, struct.pack('<i', -5))),
    },
    'plugin_ipc': {
        'job_start': children((13, struct.pack('<iiBB2x', 0x1234, 1, 1, 7))),
        'file_replies': children((16, struct.pack('<iII', 0x1234, 4096, 2)),
                                 (18, struct.pack('<iiiII', 0x1234, 0, 0, 5, 0).ljust(4120, b'\x42'))),
        'job_start_unknown_bus': children((13, struct.pack('<iiBB2x', 0x1234, 9, 200, 1))),
    },
    # Socketcand: a byte of cut sizes, then what a client sends.
    'socketcand': {
        'session': b'\x35< open can1 >< rawmode >< send 123 2 1 ff > < send 18FEF100 0 >\n< echo >',
        'bad_elements': b'\x07junk < open can9 >< send 800 9 >< send 20000000 0 >< send 1 2 0 >< bcmmode ><>',
        'unterminated': b'\x00< send ' + b'1 ' * 150,
    },
}

# DBC text: the test suite's file with every feature, and small pieces.
with open(os.path.join(HERE, '..', 'tests', 'unit', 'signaldb', 'data', 'vehicle.dbc'), 'rb') as dbc:
    SEEDS['signaldb'] = {
        'vehicle': dbc.read(),
        'mux_motorola': b'BU_: A B\nBO_ 1280 D: 8 A\n SG_ P M : 0|8@1+ (1,0) [0|255] "" B\n'
                        b' SG_ T m1 : 15|12@0- (0.5,-10) [0|0] "degC" B\n SG_ W : 7|64@0+ (1,0) [0|0] "" B\n'
                        b'VAL_ 1280 P 1 "One" ;\n',
        'j1939_long': b'BO_ 2566852608 L: 1785 A\n SG_ X : 14271|16@0- (0.1,0) [0|0] "" B\n'
                      b'BA_DEF_ BO_ "VFrameFormat" ENUM "StandardCAN","ExtendedCAN","reserved","J1939PG";\n'
                      b'BA_ "VFrameFormat" BO_ 2566852608 3;\nSIG_VALTYPE_ 2566852608 X : 1;\n',
    }

for target, seeds in SEEDS.items():
    folder = os.path.join(HERE, 'corpus', target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), 'wb') as f:
            f.write(data)
