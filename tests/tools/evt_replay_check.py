#!/usr/bin/env python3
"""evt-replay against an independent reading of the same log.

    evt_replay_check.py real EVT_REPLAY FILE.evt   rows agree with evtexport's records
    evt_replay_check.py real-stdin-closed EVT_REPLAY FILE.evt
                                                   the same, run with no standard input, so
                                                   that the log opens as descriptor 0
    evt_replay_check.py bad  EVT_REPLAY FILE       exit code 2, one line naming the file

The independent reading takes evtexport's record list (oldest first), keeps
the information records with the boot and stop IDs, pairs them newest first
and formats the times with Python's own calendar in the zone of TZ, which
must be a zone without summer time so that every date shares one offset.
"""
import calendar
import datetime
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import require  # noqa: E402

BOOT, STOP = 0x80001779, 0x80001776


def exported_markers(path):
    """(kind, event time) of every marker evtexport finds, newest first."""
    text = subprocess.run(["evtexport", path], capture_output=True, text=True, check=True).stdout
    markers = []
    for block in text.split("\n\n"):
        written = re.search(r"Written time\s*: (.+) UTC", block)
        kind = re.search(r"Event type\s*: .*\((\d+)\)", block)
        ident = re.search(r"Event identifier\s*: (0x[0-9a-f]+)", block)
        if not (written and kind and ident) or int(kind.group(1)) != 4:
            continue
        event_id = int(ident.group(1), 16)
        if event_id in (BOOT, STOP):
            when = datetime.datetime.strptime(written.group(1), "%b %d, %Y %H:%M:%S")
            markers.append(("boot" if event_id == BOOT else "stop", calendar.timegm(when.timetuple())))
    return markers[::-1]


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


def check_bad(replay, path):
    out = subprocess.run([replay, path], capture_output=True, text=True)
    problems = []
    if out.returncode != 2:
        problems.append("exit code %d, expected 2" % out.returncode)
    if out.stdout:
        problems.append("printed %r on stdout" % out.stdout[:80])
    err = out.stderr.splitlines()
    if len(err) != 1 or path not in err[0]:
        problems.append("stderr %r should be one line naming the file" % out.stderr[:200])
    return problems, 1


def main():
    mode, replay, path = sys.argv[1:4]
    if mode.startswith("real"):
        require.commands({"evtexport": "libevt-utils"})
    if mode == "real-stdin-closed":
        problems, count = check_real(replay, path, close_stdin=True)
    else:
        problems, count = (check_real if mode == "real" else check_bad)(replay, path)
    for problem in problems:
        print(problem)
    print("%s %s: %d rows checked, %d problems (TZ=%s)" % (mode, path, count, len(problems), os.environ.get("TZ")))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
