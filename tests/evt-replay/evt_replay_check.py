#!/usr/bin/env python3
"""evt-replay against an independent reading of the same log.

    evt_replay_check.py real EVT_REPLAY FILE.evt   rows agree with evtexport's records
    evt_replay_check.py real-stdin-closed EVT_REPLAY FILE.evt
                                                   the same, run with no standard input, so
                                                   that the log opens as descriptor 0
    evt_replay_check.py bad  EVT_REPLAY FILE       exit code 2, one line naming the file
    evt_replay_check.py damaged EVT_REPLAY FILE.evt
                                                   copies of the log with records spoilt in each
                                                   field the reader checks, and one without its
                                                   end-of-log record: the rows of every record
                                                   left sound, and one line counting the loss

The independent reading takes evtexport's record list (oldest first), keeps
the information records with the boot and stop IDs, pairs them newest first
and formats the times with Python's own calendar in the zone of TZ, which
must be a zone without summer time so that every date shares one offset.
"""
import calendar
import datetime
import os
import re
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import require  # noqa: E402

BOOT, STOP = 0x80001779, 0x80001776


def exported_records(path):
    """{record number: (kind, event time)} of every record evtexport finds, kind "boot",
    "stop" or None for the rest."""
    text = subprocess.run(["evtexport", path], capture_output=True, text=True, check=True).stdout
    records = {}
    for block in text.split("\n\n"):
        number = re.search(r"Event number\s*: (\d+)", block)
        written = re.search(r"Written time\s*: (.+) UTC", block)
        kind = re.search(r"Event type\s*: .*\((\d+)\)", block)
        ident = re.search(r"Event identifier\s*: (0x[0-9a-f]+)", block)
        if not (number and written and kind and ident):
            continue
        event_id = int(ident.group(1), 16)
        marker = None
        if int(kind.group(1)) == 4 and event_id in (BOOT, STOP):
            marker = "boot" if event_id == BOOT else "stop"
        when = datetime.datetime.strptime(written.group(1), "%b %d, %Y %H:%M:%S")
        records[int(number.group(1))] = (marker, calendar.timegm(when.timetuple()))
    return records


def exported_markers(path, lost=()):
    """(kind, event time) of every marker evtexport finds, newest first, but those numbered in `lost`."""
    records = exported_records(path)
    return [records[n] for n in sorted(records, reverse=True) if records[n][0] and n not in lost]


def local_text(event_time):
    return datetime.datetime.fromtimestamp(event_time).strftime("%Y/%m/%d %H:%M:%S")


def elapsed_text(row, start, stop):
    if stop is None:
        return "System is running" if row == 0 else "System died"
    span, text = stop - start, ""
    while True:
        for limit, unit, word in ((59, 1, "seconds"), (3600, 60, "minutes"), (216000, 3600, "hours"),
                                  (5184000, 86400, "days")):
            if span <= limit:
                text += "%s%d %s" % (" " if span >= 0 else "", span // unit if span >= 0 else span, word)
                span = span % unit if span >= 0 else 0
                break
        else:
            span = 0
        if span <= 0:
            return text


def expected_rows(path):
    return marker_rows(exported_markers(path))


def marker_rows(markers):
    """The window's rows for markers (kind, event time) listed newest first."""
    rows, pending_stop = [], None
    for kind, when in markers:
        if kind == "stop":
            pending_stop = when
        else:
            rows.append((when, pending_stop))
            pending_stop = None
    lines = []
    for i, (start, stop) in enumerate(rows):
        stop_fields = local_text(stop).split(" ") if stop is not None else ["", ""]
        lines.append("\t".join(["%04d" % (i + 1)] + local_text(start).split(" ") + stop_fields
                               + [elapsed_text(i, start, stop)]))
    return lines


def check_real(replay, path, close_stdin=False):
    # closerange, unlike close, does not fail where standard input is shut already.
    close_input = (lambda: os.closerange(0, 1)) if close_stdin else None
    out = subprocess.run([replay, path], capture_output=True, text=True, preexec_fn=close_input)
    problems = []
    if out.returncode != 0:
        problems.append("exit code %d, stderr %r" % (out.returncode, out.stderr[:200]))
    expected = expected_rows(path)
    return problems + printed_row_problems(out.stdout, expected), len(expected)


def printed_row_problems(printed, expected):
    """How evt-replay's output `printed` differs from the title and rows `expected`."""
    lines, problems = printed.splitlines(), []
    title = "Tallyvane Version1.0 - Shows %d items - Orvensmith: https://www.orvensmith.com" % len(expected)
    if not lines or lines[0] != title:
        problems.append("title %r, expected %r" % (lines[:1], title))
    for i, (got, want) in enumerate(zip(lines[1:], expected)):
        if got != want:
            problems.append("row %d: %r, expected %r" % (i + 1, got, want))
    if len(lines) - 1 != len(expected):
        problems.append("%d rows, expected %d" % (len(lines) - 1, len(expected)))
    return problems


def skipped_line(path, chunks, records, recovered=0):
    """evt-replay's line for what damage made it pass over and recover, worded as SkippedPartsText words it."""
    parts = [(chunks, "chunk header unsound", "chunk headers unsound"), (records, "record lost", "records lost"),
             (recovered, "record recovered", "records recovered")]
    return "evt-replay: %s: damaged: %s" % (path, ", ".join(
        "%d %s" % (count, one if count == 1 else many) for count, one, many in parts if count))


def ring_records(image):
    """(offset, length, number) of every record of a sound .evt image, oldest first: from
    the oldest record its end-of-log record names to that record, round the ring's end."""
    eof = next(at for at in range(0x30, len(image) - 0x28, 4)
               if struct.unpack_from("<5I", image, at) == (0x28, 0x11111111, 0x22222222, 0x33333333, 0x44444444))
    pos, records = struct.unpack_from("<I", image, eof + 20)[0], []
    while pos != eof:
        if len(image) - pos < 0x38:
            pos = 0x30
            continue
        length, _, number = struct.unpack_from("<III", image, pos)
        records.append((pos, length, number))
        pos = pos + length if pos + length < len(image) else 0x30 + pos + length - len(image)
    return records, eof


def damaged_copies(image, kinds):
    """(name, image, the record numbers it loses, the records read past the damage) for each
    kind of damage, on markers or right before one, so that rows show a reader that fails.
    `kinds` gives each record's kind by number. The log is dirty already."""
    def patched(at, data):
        return image[:at] + data + image[at + len(data):]

    def trailing(i):
        """Where record i's trailing length lies, round the ring's end."""
        at = ring[i][0] + ring[i][1] - 4
        return at if at < len(image) else 0x30 + at - len(image)

    ring, eof = ring_records(image)
    of_kind = lambda kind: [i for i, (_, _, number) in enumerate(ring) if kinds[number][0] == kind]
    boots, stops = of_kind("boot"), of_kind("stop")
    split = next(i for i, (pos, length, _) in enumerate(ring) if pos + length > len(image))
    before_boot, boot, stop = boots[len(boots) // 2] - 1, boots[len(boots) // 3], stops[len(stops) // 2]
    lost = lambda name, i, data: (name, data, [ring[i][2]], len(ring) - i - 1)
    return [
        lost("length before a boot record 0x10", before_boot, patched(ring[before_boot][0], struct.pack("<I", 0x10))),
        lost("signature of a boot record spoilt", boot, patched(ring[boot][0] + 4, b"LfLf")),
        lost("trailing length of a stop record spoilt", stop, patched(trailing(stop), struct.pack("<I", 4))),
        lost("trailing length of the record the end of the file splits spoilt", split,
             patched(trailing(split), struct.pack("<I", 0))),
        # Past the newest record lie whole records of an earlier pass, numbered below it.
        ("no end-of-log record", patched(eof + 4, bytes(4)), [], 0),
    ]


def check_damaged(replay, path):
    """Each damaged copy against evtexport's reading of the sound log, less the records it loses."""
    kinds = exported_records(path)
    sound = marker_rows(exported_markers(path))
    copies = damaged_copies(open(path, "rb").read(), kinds)
    problems = []
    with tempfile.TemporaryDirectory() as scratch:
        for n, (name, data, lost, recovered) in enumerate(copies):
            copy = os.path.join(scratch, "case%d.evt" % n)
            open(copy, "wb").write(data)
            out = subprocess.run([replay, copy], capture_output=True, text=True)
            expected = marker_rows(exported_markers(path, lost))
            if lost and any(kinds[n][0] for n in lost) != (expected != sound):
                problems.append("%s: losing a marker should change the rows, and only that" % name)
            if out.returncode != 0:
                problems.append("%s: exit code %d" % (name, out.returncode))
            want = [skipped_line(copy, 0, 1, recovered)]
            if out.stderr.splitlines() != want:
                problems.append("%s: stderr %r, expected %r" % (name, out.stderr[:200], want))
            problems += ["%s: %s" % (name, p) for p in printed_row_problems(out.stdout, expected)]
    return problems, len(copies)


def check_bad(replay, path):
    out = subprocess.run([replay, path], capture_output=True, text=True)
    problems = []
    if out.returncode != 2:
        problems.append("exit code %d, expected 2" % out.returncode)
    if out.stdout:
        problems.append("printed %r on stdout" % out.stdout[:80])
    err = out.stderr.splitlines()
    if len(err) != 1 or err[0].count(path) != 1:
        problems.append("stderr %r should be one line naming the file once" % out.stderr[:200])
    return problems, 1


def main():
    mode, replay, path = sys.argv[1:4]
    if mode != "bad":
        require.commands({"evtexport": "libevt-utils"})
    if mode == "real-stdin-closed":
        problems, count = check_real(replay, path, close_stdin=True)
    else:
        problems, count = {"real": check_real, "bad": check_bad, "damaged": check_damaged}[mode](replay, path)
    for problem in problems:
        print(problem)
    what = "damaged copies" if mode == "damaged" else "rows"
    print("%s %s: %d %s checked, %d problems (TZ=%s)" % (mode, path, count, what, len(problems), os.environ.get("TZ")))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
