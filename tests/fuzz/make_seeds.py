#!/usr/bin/env python3
"""Writes the fuzzers' seed inputs: small record buffers for scan_fuzz and
small .evt logs (flat, wrapped with a split record, padded, empty, dirty,
damaged in each way the reader reads round) for evt_replay_fuzz, and small .evtx logs for evtx_fuzz (evtx_seeds.py). Run from the project's root; the seeds are committed."""
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "evt-replay"))
from evt_writer import evt, history, record  # noqa: E402
from evtx_seeds import seeds as evtx_seeds  # noqa: E402


def end_in_filler():
    """A log whose end offset lies in the filler at the end of the file: a
    reader must not walk past the end."""
    image = bytearray(evt(history(1, first=3), 0x100, start=0x90))
    struct.pack_into("<II", image, 0xD0, 0x27, 0x27)        # filler after the record: 0x30 bytes left
    struct.pack_into("<II", image, 16, 0x90, 0xD8)           # end inside the filler
    eof = struct.pack("<IIIIIIIIII", 0x28, 0x11111111, 0x22222222, 0x33333333, 0x44444444, 0x90, 0xD8, 4, 3, 0x28)
    image[0xD8:0x100] = eof
    return bytes(image)


def patched(image, at, data):
    """`image` with `data` laid at `at`."""
    image = bytearray(image)
    image[at:at + len(data)] = data
    return bytes(image)


def damaged_logs():
    """Logs whose records a reader must read round: split records whose
    trailing length wraps whole or in part, records spoilt in each field a
    reader checks, and dirty logs without an end-of-log record, one with an
    earlier pass's record after its records."""
    # Records at 0x30, 0x70, 0xb8, 0x108, ..., the end-of-log record at 0x350.
    flat = evt(history(10), 0x400)
    # Record 3 of these starts at 0x3b4, with 0x4c or 0x4e bytes left before the end.
    split = evt(history(8, first=40), 0x400, start=0x19C, flags=2)
    straddle = evt(history(8, first=40), 0x402, start=0x19C, flags=2)
    dirty = patched(patched(flat, 36, struct.pack("<I", 1)), 0x350 + 4, bytes(4))
    return {
        "split.evt": split,
        "split-straddle.evt": straddle,
        "split-trailing-spoilt.evt": patched(split, 0x30, struct.pack("<I", 0x54)),
        "length-spoilt.evt": patched(flat, 0x70, struct.pack("<I", 0x10)),
        "signature-spoilt.evt": patched(flat, 0x70 + 4, b"LfLf"),
        "not-above.evt": patched(patched(flat, 0x70 + 4, b"LfLf"), 0xB8 + 8, struct.pack("<I", 1)),
        "dirty-no-eof.evt": dirty,
        "earlier-pass.evt": patched(dirty, 0x380, history(1, first=2)[0]),
    }


def named(number, event_id, texts, string_offset=None, strings=None):
    """Record `number` whose `texts` (source, computer, then its strings, each
    ending in a NUL) follow the fixed part; the strings start at
    `string_offset` and number `strings` unless those say otherwise."""
    body = b"".join(t.encode("utf-16le") + b"\0\0" for t in texts)
    size = (0x38 + len(body) + 4 + 7) // 8 * 8
    first_string = 0x38 + sum(2 * len(t) + 2 for t in texts[:2])
    rec = bytearray(record(number, 1300000000 + 60 * number, event_id, 4, size))
    struct.pack_into("<H", rec, 26, max(len(texts) - 2, 0) if strings is None else strings)
    struct.pack_into("<I", rec, 36, first_string if string_offset is None else string_offset)
    rec[0x38:0x38 + len(body)] = body
    return bytes(rec)


def facts_logs():
    """Logs whose records say where they come from, in each way a reader
    takes or refuses: sources of EventLog and others, boot records naming the
    machine, and uptime records whose last string states a zone or does not,
    or lies outside the record."""
    boot, uptime, other = 0x80001779, 0x8000177D, 0x40001B7B
    zone = ["EventLog", "PC-1", "86400", "60", "480 Pacific Standard Time"]
    logs = {
        "facts-sources.evt": [named(1, other, ["Print", "PC-2"]), named(2, other, ["EventLoh", "PC-2"]),
                              named(3, boot, ["EventLog", "PC-1", "5.01."]), named(4, other, ["Print", "PC-2"])],
        "facts-other-log.evt": [named(1, 4624, ["Security", "PC-3"]), named(2, 4625, ["Security"])],
        "facts-zone.evt": [named(1, uptime, zone)],
        "facts-no-zone.evt": [named(1, uptime, ["EventLog", "PC-1", "86400"])],
        "facts-no-strings.evt": [named(1, uptime, ["EventLog", "PC-1"])],
        "facts-strings-in-header.evt": [named(1, uptime, zone, string_offset=0x10)],
        "facts-strings-past-record.evt": [named(1, uptime, zone, string_offset=0xFFFFFFF0)],
        "facts-strings-unended.evt": [named(1, uptime, zone, strings=9)],
        "facts-source-unended.evt": [record(1, 1300000000, boot, 4)[:0x38] + "AB".encode("utf-16le") +
                                     struct.pack("<I", 0x40)],
    }
    return {name: evt(records, 0x400) for name, records in logs.items()}


def power_seed(image):
    """The header and the chunks of the Windows 10 sample that hold its first boot and its
    two sleeps (records 1, 537 and 756), one byte longer, so that the target asks for the
    power records."""
    chunks = []
    for at in range(0x1000, len(image), 0x10000):
        first, last = struct.unpack_from("<QQ", image, at + 0x08)
        if any(first <= number <= last for number in (1, 537, 756)):
            chunks.append(image[at:at + 0x10000])
    return image[:0x1000] + b"".join(chunks) + b"\0"


def main():
    scan = "tests/fuzz/corpus/scan_fuzz"
    logs = "tests/fuzz/corpus/evt_replay_fuzz"
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
        f"{logs}/end-in-filler.evt": end_in_filler(),
        # Shorter than the header says: its newest records gone; a wrapped ring; smaller but whole.
        f"{logs}/cut-short.evt": evt(history(20), 0x800)[:0x300],
        f"{logs}/cut-wrapped.evt": evt(history(8, first=40), 0x400, start=0x300, flags=2)[:0x380],
        f"{logs}/smaller-than-its-size.evt": patched(evt(history(4), 0x400), 32, struct.pack("<I", 0x1000)),
    }
    for name, data in list(damaged_logs().items()) + list(facts_logs().items()):
        seeds[f"{logs}/{name}"] = data
    with open("samples/System.evtx", "rb") as sample:
        for name, data in evtx_seeds(sample.read()).items():
            seeds[f"tests/fuzz/corpus/evtx_fuzz/{name}"] = data
    with open("samples/win10-system.evtx", "rb") as sample:
        seeds["tests/fuzz/corpus/evtx_fuzz/power-records.evtx"] = power_seed(sample.read())
    os.makedirs("tests/fuzz/corpus/evtx_fuzz", exist_ok=True)
    for path, data in seeds.items():
        with open(path, "wb") as out:
            out.write(data)


if __name__ == "__main__":
    main()
