#!/usr/bin/env python3
"""Makes a fleet of saved System logs to draw evt-replay's timeline of.

    timeline_fleet.py COUNT FOLDER

COUNT logs in FOLDER, named by their place in it: a copy of the Windows 7
sample every tenth, one of them cut short (damaged), and the rest .evt logs
of 24 boot cycles each, from the summer of 2015 like that sample, every
machine's history shifted by some days, some of its cycles ending in a
crash; the newest still running."""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "evt-replay"))
import evt_writer  # noqa: E402

START = 1434326400  # 2015-06-15 00:00 UTC
CYCLES = 24
SAMPLE = os.path.join(HERE, "..", "samples", "System.evtx")
CUT = 0x1000 + 5 * 0x10000 + 0x7000  # in its sixth chunk


def named_record(number, when, event_id, host):
    """A record of the EventLog source, as the service writes them, naming the computer `host`."""
    names = ("EventLog\0%s\0" % host).encode("utf-16-le")
    names += b"\0" * (-len(names) % 4)
    size = 0x38 + len(names) + 4
    fixed = struct.pack("<IIIIIIHHHHIIIIII", size, 0x654C664C, number, when - 60, when, event_id, 4, 0, 0, 0, 0,
                        size - 4, 0, 0, 0, size - 4)
    return fixed + names + struct.pack("<I", size)


def machine_log(n):
    """24 cycles of a few hours to a few days; every machine crashes on its own rhythm."""
    records, when = [], START + 86400 * (n * 7 % 30) + 3600 * (n % 24)
    host = "PC-%02d" % n
    for i in range(CYCLES):
        records.append(named_record(len(records) + 1, when, evt_writer.BOOT, host))
        length = 3600 * (5 + (n * 13 + i * 7) % 40) + 86400 * ((n + i) % 6 == 0) * (1 + n % 3)
        died = (i * (n % 5 + 1) + n) % 9 == 0
        if not died and i + 1 < CYCLES:
            records.append(named_record(len(records) + 1, when + length, evt_writer.STOP, host))
        when += length + 600 + 3600 * ((n + i) % 4)
    return evt_writer.evt(records, 0x30 + sum(map(len, records)) + 0x28 + 0x100)


def main():
    if len(sys.argv) != 3 or not sys.argv[1].isdigit():
        sys.exit(__doc__)
    count, folder = int(sys.argv[1]), sys.argv[2]
    os.makedirs(folder, exist_ok=True)
    with open(SAMPLE, "rb") as f:
        sample = f.read()
    width = len(str(count))
    for n in range(count):
        if n % 10 == 3:
            name, data = "pc-%0*d-System.evtx" % (width, n), sample[:CUT] if n == 3 else sample
        else:
            name, data = "pc-%0*d-SysEvent.Evt" % (width, n), machine_log(n)
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)


if __name__ == "__main__":
    main()
