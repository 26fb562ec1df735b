#!/usr/bin/env python3
"""The whole Windows program, end to end, under Wine: tallyvane-replay.exe
runs start-up, scan and window over a saved log, drives the real window and
reads it back. Run by ctest with the program's path, the native evt-replay's
path and the real log:

    replay_check.py REPLAY.exe EVT_REPLAY LOG CASE [OTHER_REPLAY.exe]

CASE is one of the names in CASES below; OTHER_REPLAY.exe is the build of the
other machine that header_clicks_order_rows_as_the_other_build compares with.
Programs run through scripts/with-wine, in the prefix for their machine; the
display comes from the environment (scripts/test sets it up).
"""
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "evt-replay"))
from evt_writer import cycles_log  # noqa: E402

WITH_WINE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "with-wine")
CLICKS = ([1], [1, 1], [1, 5], [5, 4, 0])

TITLE = "Tallyvane Version1.0 - Shows %d items - Orvensmith: https://www.orvensmith.com"


def run(replay, *arguments):
    done = subprocess.run([WITH_WINE, replay] + list(arguments), capture_output=True, text=True, timeout=120)
    return done.returncode, done.stdout.splitlines(), [line for line in done.stderr.splitlines()
                                                       if line.startswith(("message box:", "tallyvane-replay"))]


def boxes(stderr):
    return [line for line in stderr if line.startswith("message box:")]


def dump_matches_evt_replay(replay, evt_replay, log, warned=()):
    """`warned`: what the one warning box before the window must say, when the log is damaged or cut."""
    status, rows, stderr = run(replay, log, "--dump")
    expected = subprocess.run([evt_replay, log], capture_output=True, text=True, check=True).stdout.splitlines()
    yield status == 0, "exit code %d" % status
    yield rows == expected, "the window's texts differ from evt-replay's:\n%s\n---\n%s" % (
        "\n".join(rows[:4]), "\n".join(expected[:4]))
    shown = boxes(stderr)
    yield (len(shown) == 1 and all(w in shown[0] for w in warned)) if warned else not shown, "message boxes %s" % stderr


def wrapped_log_dump_matches_evt_replay(replay, evt_replay, log):
    """A log of a few hundred cycles whose ring runs round the end of the file."""
    with tempfile.TemporaryDirectory() as folder:
        wrapped = os.path.join(folder, "wrapped.evt")
        with open(wrapped, "wb") as out:
            out.write(cycles_log(300, wrapped=True))
        yield from dump_matches_evt_replay(replay, evt_replay, wrapped)


def damaged_log_dump_matches_evt_replay(replay, evt_replay, log):
    """Copies of the .evtx log with a chunk header of zeros, and with a record of size 0
    right before a boot record: the same rows as evt-replay's, and the same damage line."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "evt-replay"))
    from evtx_damage import cases  # noqa: E402
    wanted = ("chunk header all zeros", "record of size 0 before a boot record")
    with tempfile.TemporaryDirectory() as folder:
        for case in cases(open(log, "rb").read()):
            if case.name not in wanted:
                continue
            copy = os.path.join(folder, "damaged.evtx")
            with open(copy, "wb") as out:
                out.write(case.image)
            yield from dump_matches_evt_replay(replay, evt_replay, copy, ["damaged: "])
            expected = subprocess.run([evt_replay, copy], capture_output=True, text=True).stderr.splitlines()
            _, _, stderr = run(replay, copy, "--dump")
            said = [line.split(": ", 1)[1] for line in stderr if line.startswith("tallyvane-replay")]
            yield said == [line.split(": ", 1)[1] for line in expected] and said, "%s: said %s, evt-replay %s" % (
                case.name, said, expected)
        # Cut short after its newest cycle: the box says so, and that the list's "running" is not known.
        copy = os.path.join(folder, "cut.evtx")
        with open(copy, "wb") as out:
            out.write(open(log, "rb").read()[:1000000])
        yield from dump_matches_evt_replay(replay, evt_replay, copy, ["cut short: 12 of 27 chunks", "may have stopped or died"])


def clicked_dump(replay, log, clicks):
    return run(replay, log, "--dump", *[a for c in clicks for a in ("--click", str(c))])


def header_clicks_sort_whole_rows(replay, evt_replay, log):
    _, unsorted, _ = run(replay, log, "--dump")
    for clicks in CLICKS:
        column = clicks[-1]
        status, rows, _ = clicked_dump(replay, log, clicks)
        keys = [row.split("\t")[column].encode() for row in rows[1:]]
        yield status == 0, "clicks %s: exit code %d" % (clicks, status)
        yield keys == sorted(keys), "clicks %s: column %d not ascending: %s" % (clicks, column, keys[:6])
        yield sorted(rows[1:]) == sorted(unsorted[1:]), "clicks %s: rows were changed, not moved" % clicks
        yield rows[0] == unsorted[0], "clicks %s: the title changed" % clicks


def header_clicks_order_rows_as_the_other_build(replay, evt_replay, log, other):
    """Rows with equal texts in the clicked column keep whatever order the
    list's sort leaves, and both builds run the same list view."""
    for clicks in CLICKS:
        status, rows, _ = clicked_dump(replay, log, clicks)
        _, expected, _ = clicked_dump(other, log, clicks)
        yield status == 0, "clicks %s: exit code %d" % (clicks, status)
        yield len(rows) == len(expected) > 1, "clicks %s: %d rows, the other build %d" % (
            clicks, len(rows), len(expected))
        yield rows == expected, "clicks %s: rows in another order than the other build's:\n%s\n---\n%s" % (
            clicks, "\n".join(rows[:4]), "\n".join(expected[:4]))


def open_failure_shows_one_box_and_no_window(replay, evt_replay, log):
    for code, shown in (("5", " 5"), ("0x80000005", "-2147483643")):
        status, rows, stderr = run(replay, log, "--dump", "--open-fails", code)
        expected = 'message box: caption "Tallyvane" text "Can\'t open event log!%s" style 0x10' % shown
        yield status == 0, "open fails %s: exit code %d" % (code, status)
        yield boxes(stderr) == [expected], "open fails %s: boxes %s" % (code, boxes(stderr))
        yield rows == [], "open fails %s: a window was shown: %s" % (code, rows[:2])


def read_failure_shows_one_box_then_the_rows_gathered(replay, evt_replay, log):
    """A failure at each read k in turn, until k is the read that would have
    met the end of the log: one box, then the newest rows, as many as the
    records read before k hold."""
    _, full, _ = run(replay, log, "--dump")
    codes = (("1503", " 1503"), ("0x80000005", " 2147483653"), ("5", " 5"), ("1500", " 1500"))
    previous = -1
    for k in range(1, 12):
        code, shown = codes[k % len(codes)]
        status, rows, stderr = run(replay, log, "--dump", "--read-fails", "%d:%s" % (k, code))
        expected = 'message box: caption "Tallyvane" text "Failed to read event log!%s" style 0x10' % shown
        count = len(rows) - 1
        yield status == 0, "read %d fails with %s: exit code %d" % (k, code, status)
        yield boxes(stderr) == [expected], "read %d fails with %s: boxes %s" % (k, code, boxes(stderr))
        yield rows[:1] == [TITLE % count], "read %d fails: title %s" % (k, rows[:1])
        yield rows[1:] == full[1:count + 1], "read %d fails: rows are not the newest of the full log" % k
        yield count >= previous, "read %d fails: fewer rows (%d) than when read %d failed" % (k, count, k - 1)
        if k == 1:
            yield count == 0, "the first read failed, yet %d rows were shown" % count
        previous = count
        if count == len(full) - 1:
            break
    yield previous == len(full) - 1, "no failing read left every row in place"


def bad_file_is_refused(replay, evt_replay, log):
    """A file that is neither kind of saved log: this very script."""
    script = os.path.abspath(__file__)
    status, rows, stderr = run(replay, script, "--dump")
    yield status == 2, "exit code %d, expected 2" % status
    yield rows == [], "printed %s" % rows[:2]
    yield len(stderr) == 1 and stderr[0].count(os.path.basename(script)) == 1, "stderr %s" % stderr


def command_line_is_answered(replay, evt_replay, log):
    """--help as evt-replay answers it; a missing file or an unknown option, a usage on stderr."""
    for arguments, status_wanted, stdout_wanted, stderr_wanted in (
            (["--help"], 0, "usage: tallyvane-replay FILE", ""),
            (["-h"], 0, "usage: tallyvane-replay FILE", ""),
            ([log, "--dump", "--help"], 0, "usage: tallyvane-replay FILE", ""),
            ([], 2, "", "tallyvane-replay: no log file given"),
            (["--dumb", log], 2, "", "tallyvane-replay: unknown option --dumb"),
            ([log, "--clicks", "1"], 2, "", "tallyvane-replay: unknown option --clicks")):
        done = subprocess.run([WITH_WINE, replay] + arguments, capture_output=True, text=True, timeout=120)
        said = done.stderr.splitlines()
        yield done.returncode == status_wanted, "%s: exit code %d" % (arguments, done.returncode)
        yield done.stdout.startswith(stdout_wanted) and (stdout_wanted or not done.stdout), "%s: stdout %r" % (
            arguments, done.stdout[:80])
        yield (said[:1] == [stderr_wanted] and said[1:2] and said[1].startswith("usage:")) if stderr_wanted else \
            not [line for line in said if line.startswith("tallyvane-replay")], "%s: stderr %s" % (arguments, said[:3])


CASES = {f.__name__: f for f in (dump_matches_evt_replay, command_line_is_answered, wrapped_log_dump_matches_evt_replay,
                                 damaged_log_dump_matches_evt_replay,
                                 header_clicks_sort_whole_rows, header_clicks_order_rows_as_the_other_build,
                                 open_failure_shows_one_box_and_no_window,
                                 read_failure_shows_one_box_then_the_rows_gathered, bad_file_is_refused)}


def main():
    replay, evt_replay, log, case = sys.argv[1:5]
    checks = list(CASES[case](replay, evt_replay, log, *sys.argv[5:6]))
    failed = [message for ok, message in checks if not ok]
    for message in failed:
        print("FAIL " + message)
    print("%s: %d checks, %d failed" % (case, len(checks), len(failed)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
