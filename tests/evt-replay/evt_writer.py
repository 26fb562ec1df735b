#!/usr/bin/env python3
"""Writes legacy .evt logs for tests, fuzz seeds and benchmarks.

    evt_writer.py cycles N OUT.evt [wrapped]
                                      a log of N boot cycles, newest still running;
                                      wrapped: its ring runs round the end of the file

Records are laid oldest first into the ring after the 0x30-byte header; a
record that reaches the end of the file is split where at least 0x38 bytes
remain, otherwise the tail is filled with 0x27 and it starts at 0x30."""
import struct
import sys

BOOT, STOP = 0x80001779, 0x80001776


def record(number, time_written, event_id, event_type, size=0x40, source=None, computer="", strings=(), data=b""):
    """A record; with `source`, its source and computer names follow the fixed part, as the service writes them,
    then its `strings`, then its binary `data`."""
    names = ("%s\0%s\0" % (source, computer)).encode("utf-16-le") if source is not None else b""
    texts = "".join(t + "\0" for t in strings).encode("utf-16-le")
    size = max(size, (0x38 + len(names) + len(texts) + len(data) + 4 + 3) // 4 * 4)
    body = struct.pack("<IIIIIIHHHHIIIIII", size, 0x654C664C, number, time_written - 60, time_written,
                       event_id, event_type, len(strings), 0, 0, 0, 0x38 + len(names), 0, 0, len(data),
                       0x38 + len(names) + len(texts) if data else 0) + names + texts + data
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


def cycles_log(count, wrapped=False):
    """count boot cycles an hour apart, oldest first, each: boot, other, stop,
    the newest without its stop; sized to hold them. Unwrapped, the ring starts
    at the header; wrapped, two thirds into the file, so that it runs round the
    end, splitting a record there or filling the tail."""
    records = []
    for i in range(count):
        start = 1300000000 + 7200 * i
        kinds = [(start, BOOT, 4), (start + 60, 0x40000001, 4)]
        if i + 1 < count:
            kinds.append((start + 3600 + i % 3600, STOP, 4))
        for when, event_id, event_type in kinds:
            records.append(record(len(records) + 1, when, event_id, event_type))
    size = 0x30 + sum(len(r) for r in records) + 0x28 + 0x100
    start = 0x30 + (size - 0x30) * 2 // 3 // 4 * 4 if wrapped else 0x30
    return evt(records, size, start)


if __name__ == "__main__":
    if len(sys.argv) not in (4, 5) or sys.argv[1] != "cycles" or sys.argv[4:] not in ([], ["wrapped"]):
        sys.exit(__doc__)
    with open(sys.argv[3], "wb") as out:
        out.write(cycles_log(int(sys.argv[2]), wrapped=len(sys.argv) == 5))
