#!/usr/bin/env python3
"""evt-replay on .evtx logs against an independent reading by python3-evtx.

    evtx_check.py sample  EVT_REPLAY SYSTEM.evtx  rows agree with python3-evtx's records; exit 0, stderr empty
    evtx_check.py damaged EVT_REPLAY SYSTEM.evtx  the same for every damaged or odd file evtx_damage.py
                                                  makes from it, over the records that survive, and
                                                  the one line that counts what was skipped
    evtx_check.py refused EVT_REPLAY SYSTEM.evtx  files of neither kind, and an .evtx of major version
                                                  2, give exit code 2 and one line naming the file

python3-evtx reads the sound file once per run (the refused mode needs no
reading, nor python3-evtx). Each record gives its identifier and written time
from the record header, and EventID, Qualifiers, Level and Keywords from its
rendered XML; the event type follows from Level and Keywords as the event
log service derives it, and the information records with the boot and stop
IDs, newest identifier first, become the rows (evt_replay_check.py pairs and
formats them). TZ must be a zone without summer time.

On a damaged file evt-replay must exit 0 and say on stderr exactly one line,
"evt-replay: FILE: damaged: N chunk header(s) unsound, M record(s) lost, K
record(s) recovered", naming only the counts that are not 0, where N counts
the chunks whose header is unsound (one the file's end cuts included; an
all-zero slot is empty, not damaged), M the records lost to damage and K
those read past it. A file that is sound, however odd, leaves stderr empty.
"""
import calendar
import os
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from evt_replay_check import BOOT, STOP, check_bad, marker_rows, printed_row_problems, skipped_line  # noqa: E402
from evtx_damage import FILETIME_1970, TICKS_PER_SECOND, cases, refused  # noqa: E402
import require  # noqa: E402


EVENT_NS = "{http://schemas.microsoft.com/win/2004/08/events/event}"
INFORMATION = 4
AUDIT_SUCCESS, AUDIT_FAILURE = 0x0020000000000000, 0x0010000000000000
# The boot records of the sample, as the format notes list them from its bytes:
# a reference that misread the file would not find exactly these.
SAMPLE_BOOT_IDS = [3, 273, 322, 430, 593, 733, 953, 1042]


def event_type(level, keywords):
    """The EVENTLOGRECORD event type for an .evtx Level (None when absent) and Keywords."""
    if level in (1, 2):
        return 1
    if level == 3:
        return 2
    if level is not None and level >= 4:
        return 4
    return 8 if keywords & AUDIT_SUCCESS else 16 if keywords & AUDIT_FAILURE else 0


def seconds_u32(when):
    """Whole seconds since 1970 as 32 unsigned bits hold them; 0 when they cannot."""
    seconds = calendar.timegm(when.timetuple())
    return seconds if 0 <= seconds < 2**32 else 0


def reference_records(path):
    """{record identifier: (written time, event ID, event type)} of every record python3-evtx reads."""
    evtx = require.module("Evtx.Evtx", "python3-evtx")
    records = {}
    with evtx.Evtx(path) as log:
        for record in log.records():
            system = ElementTree.fromstring(record.xml()).find(EVENT_NS + "System")
            event = system.find(EVENT_NS + "EventID")
            qualifiers = event.get("Qualifiers") or "0"
            level = system.findtext(EVENT_NS + "Level")
            keywords = system.findtext(EVENT_NS + "Keywords") or "0"
            records[record.record_num()] = (seconds_u32(record.timestamp()),
                                            int(qualifiers) << 16 | int(event.text),
                                            event_type(int(level) if level else None, int(keywords, 16)))
    return records


def filetime_seconds_u32(filetime):
    """A FILETIME as whole seconds since 1970 in 32 unsigned bits; 0 when they cannot hold it."""
    seconds = (filetime - FILETIME_1970) // TICKS_PER_SECOND
    return seconds if 0 <= seconds < 2**32 else 0


def expected_rows(reference, kept, written=None):
    """The rows for the records `kept` (identifiers in file order): newest identifier first,
    and of equal identifiers the later in the file first. `written` gives the FILETIMEs of
    record headers changed since the reference read them, by (identifier, n), n counting
    that identifier's records in file order from 0."""
    seen, occurrence = {}, []
    for record_id in kept:
        occurrence.append(seen.get(record_id, 0))
        seen[record_id] = occurrence[-1] + 1
    order = sorted(range(len(kept)), key=lambda at: (kept[at], at), reverse=True)
    markers = []
    for at in order:
        written_time, event_id, kind = reference[kept[at]]
        changed = (written or {}).get((kept[at], occurrence[at]))
        written_time = written_time if changed is None else filetime_seconds_u32(changed)
        if kind == INFORMATION and event_id in (BOOT, STOP):
            markers.append(("boot" if event_id == BOOT else "stop", written_time))
    return marker_rows(markers)


def replay_problems(replay, path, expected, stderr_lines):
    """How evt-replay over `path` differs from exit code 0, the rows `expected` and the stderr lines given."""
    out = subprocess.run([replay, path], capture_output=True, text=True, timeout=60)
    problems = [] if out.returncode == 0 else ["exit code %d" % out.returncode]
    if out.stderr.splitlines() != stderr_lines:
        problems.append("stderr %r, expected %r" % (out.stderr[:300], stderr_lines))
    return problems + printed_row_problems(out.stdout, expected)


def check_sample(replay, sample):
    reference = reference_records(sample)
    boots = sorted(i for i, (_, event_id, kind) in reference.items() if event_id == BOOT and kind == INFORMATION)
    problems = [] if boots == SAMPLE_BOOT_IDS else ["python3-evtx's boot records %r, expected %r" % (
        boots, SAMPLE_BOOT_IDS)]
    expected = expected_rows(reference, sorted(reference))
    return problems + replay_problems(replay, sample, expected, []), 1


def check_damaged(replay, sample):
    """Every case of the table; a case that should change the rows but does not (or the
    reverse) is a fault of the table, since it would then prove nothing."""
    reference = reference_records(sample)
    sound = expected_rows(reference, sorted(reference))
    table = cases(open(sample, "rb").read())
    problems = []
    with tempfile.TemporaryDirectory() as scratch:
        for number, case in enumerate(table):
            path = os.path.join(scratch, "case%02d.evtx" % number)
            open(path, "wb").write(case.image)
            expected = expected_rows(reference, case.kept, case.written)
            if (expected != sound) != case.changes_rows:
                problems.append("%s: the table says its rows %s the sound file's, but they %s" % (
                    case.name, "differ from" if case.changes_rows else "equal",
                    "do not" if case.changes_rows else "differ"))
            damaged = case.chunks or case.records or case.recovered
            stderr = [skipped_line(path, case.chunks, case.records, case.recovered)] if damaged else []
            stderr += ["evt-replay: %s: %s" % (path, case.cut)] if case.cut else []
            problems += ["%s: %s" % (case.name, p) for p in replay_problems(replay, path, expected, stderr)]
    return problems, len(table)


def check_refused(replay, sample):
    problems = []
    with tempfile.TemporaryDirectory() as scratch:
        made = refused(open(sample, "rb").read())
        for name, data in made:
            path = os.path.join(scratch, name)
            open(path, "wb").write(data)
            problems += ["%s: %s" % (name, p) for p in check_bad(replay, path)[0]]
    return problems, len(made)


def main():
    mode, replay, sample = sys.argv[1:4]
    problems, count = {"sample": check_sample, "damaged": check_damaged, "refused": check_refused}[mode](replay,
                                                                                                        sample)
    for problem in problems:
        print(problem)
    print("%s %s: %d files checked, %d problems (TZ=%s)" % (mode, sample, count, len(problems),
                                                            os.environ.get("TZ")))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
