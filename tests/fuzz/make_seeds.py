#!/usr/bin/env python3
"""Writes the fuzzers' seed inputs: small record buffers for scan_fuzz and
small .evt logs (flat, wrapped with a split record, padded, empty, dirty) for
evt_replay_fuzz. Run from the project's root; the seeds are committed."""
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tools"))
from evt_writer import evt, history  # noqa: E402


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
