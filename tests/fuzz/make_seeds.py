#!/usr/bin/env python3
"""Writes the fuzzers' seed inputs: small record buffers for scan_fuzz and
small .evt logs (flat, wrapped with a split record, padded, empty, dirty) for
evt_replay_fuzz. Run from the project's root; the seeds are committed."""
import os
import struct

BOOT, STOP = 0x80001779, 0x80001776


def record(number, time_written, event_id, event_type, size=0x40):
    body = struct.pack("<IIIIIIHHHHIIIIII", size, 0x654C664C, number, time_written - 60, time_written,
                       event_id, event_type, 0, 0, 0, 0, 0, 0, 0, 0, 0)
    return body + b"\0" * (size - len(body) - 4) + struct.pack("<I", size)


def history(count, first=1):
    """count records, oldest first, a boot-stop cycle every four."""
    kinds = [(BOOT, 4), (0x40000001, 4), (STOP, 4), (0x0000177A, 2)]
    return [record(first + i, 1300000000 + 3600 * i, *kinds[i % 4], size=0x40 + 8 * (i % 5))
            for i in range(count)]


def evt(records, file_size, start=0x30, flags=0):
    """A log file whose ring starts at `start`, records laid oldest first."""
    ring = bytearray(file_size)
    pos = start
    for rec in records:
        if file_size - pos < 0x38:
            ring[pos:file_size] = struct.pack("<I", 0x27) * ((file_size - pos) // 4)
            pos = 0x30
        for byte in rec:
            ring[pos] = byte
            pos = pos + 1 if pos + 1 < file_size else 0x30
    end = pos
    first = struct.unpack_from("<I", records[0], 8)[0] if records else 1
    nxt = first + len(records)
    eof = struct.pack("<IIIIIIIIII", 0x28, 0x11111111, 0x22222222, 0x33333333, 0x44444444,
                      start, end, nxt, first, 0x28)
    for byte in eof:
        ring[pos] = byte
        pos = pos + 1 if pos + 1 < file_size else 0x30
    header = struct.pack("<IIIIIIIIIIII", 0x30, 0x654C664C, 1, 1, start, end, nxt, first, file_size,
                         flags, 0, 0x30)
    ring[0:0x30] = header
    return bytes(ring)


def main():
    scan = "tests/fuzz/seeds/scan_fuzz"
    logs = "tests/fuzz/seeds/evt_replay_fuzz"
    os.makedirs(scan, exist_ok=True)
    os.makedirs(logs, exist_ok=True)
    newest_first = history(12)[::-1]
    seeds = {
        f"{scan}/cycles": b"".join(newest_first),
        f"{scan}/zero-length": newest_first[0] + struct.pack("<I", 0) + newest_first[1][4:],
        f"{logs}/flat.evt": evt(history(10), 0x400),
        f"{logs}/wrapped-split.evt": evt(history(8, first=40), 0x400, start=0x300, flags=2),
        f"{logs}/wrapped-padded.evt": evt(history(9, first=7), 0x3F8, start=0x3A4, flags=3),
        f"{logs}/empty.evt": evt([], 0x100),
    }
    for path, data in seeds.items():
        with open(path, "wb") as out:
            out.write(data)


if __name__ == "__main__":
    main()
