#!/usr/bin/env python3
"""evt-replay's options and output formats, each checked against the cycles
that its plain text output shows for the same files.

    evt_replay_options_check.py EVT_REPLAY SAMPLE.evt SAMPLE.evtx

The plain output's times are local texts, every one shifted by the offset
that TZ has in force now; CSV and JSON must give the same instants, each with
the offset in force at that instant (or Z with --utc), and the same states
and spans. Any TZ will do; one with summer time tells the two offsets apart.
"""
import csv
import datetime
import io
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import xml.etree.ElementTree as ElementTree

import evt_writer

ISO_TIME = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(Z|[+-]\d\d:\d\d(:\d\d)?)\Z")
CSV_HEADER = ["file", "index", "start", "stop", "elapsed_seconds", "state"]
SVG = "{http://www.w3.org/2000/svg}"
# Cycles enough for the timeline's lanes, which fewer cycles do not get.
MANY_CYCLES = 700
DAMAGE_PARTS = {"chunks": r"(\d+) chunk headers? unsound", "records": r"(\d+) records? lost",
                "recovered": r"(\d+) records? recovered"}


def run(replay, arguments, env=None, stdout=subprocess.PIPE, input=None):
    return subprocess.run([replay] + arguments, stdout=stdout, stderr=subprocess.PIPE, env=env, input=input)


def text_cycles(text):
    """The title and the cycles of one file's plain output, times as instants."""
    offset = time.localtime().tm_gmtoff
    lines = text.decode().splitlines()
    cycles = []
    for line in lines[1:]:
        index, start_date, start_time, stop_date, stop_time, elapsed = line.split("\t")
        start = instant(start_date, start_time, offset)
        stop = instant(stop_date, stop_time, offset) if stop_date else None
        cycles.append({"index": int(index), "start": start, "stop": stop,
                       "elapsed_seconds": None if stop is None else stop - start,
                       "state": {"System is running": "running", "System died": "died"}.get(elapsed, "stopped")})
    return lines[0], cycles


def instant(date, clock, offset):
    naive = datetime.datetime.strptime(date + " " + clock, "%Y/%m/%d %H:%M:%S")
    return int(naive.replace(tzinfo=datetime.timezone.utc).timestamp()) - offset


def time_problems(text, expected, utc):
    """How an ISO time from CSV or JSON differs from the instant `expected`."""
    if expected is None:
        return [] if text in (None, "") else ["a time %r where the text has none" % text]
    if not isinstance(text, str) or not ISO_TIME.match(text):
        return ["%r is no ISO 8601 time with its offset" % (text,)]
    when = datetime.datetime.fromisoformat(text)
    offset = datetime.timedelta(0) if utc else datetime.datetime.fromtimestamp(expected).astimezone().utcoffset()
    problems = []
    if when.timestamp() != expected:
        problems.append("%s is not the text's %s" % (text, datetime.datetime.utcfromtimestamp(expected)))
    if when.utcoffset() != offset or utc != text.endswith("Z"):
        problems.append("%s: the offset in force then is %s" % (text, "Z" if utc else offset))
    return problems


def cycle_problems(got, want, utc):
    """How one cycle from CSV or JSON, its fields as parsed, differs from the text's."""
    problems = time_problems(got["start"], want["start"], utc) + time_problems(got["stop"], want["stop"], utc)
    for field in ("index", "elapsed_seconds", "state"):
        if got[field] != want[field]:
            problems.append("%s %r, the text says %r" % (field, got[field], want[field]))
    return ["cycle %d: %s" % (want["index"], p) for p in problems]


def files_problems(got_files, want_files, utc):
    """got_files and want_files: [(path, [cycle])]; how the first differs."""
    if [path for path, _ in got_files] != [path for path, _ in want_files]:
        return ["files %r, expected %r" % ([p for p, _ in got_files], [p for p, _ in want_files])]
    problems = []
    for (path, got), (_, want) in zip(got_files, want_files):
        if len(got) != len(want):
            problems.append("%s: %d cycles, the text shows %d" % (path, len(got), len(want)))
        for g, w in zip(got, want):
            problems += ["%s: %s" % (path, p) for p in cycle_problems(g, w, utc)]
    return problems


def write_many_cycles(path):
    """A log of MANY_CYCLES boot cycles of a few hours to days, every seventh
    ended by a crash, the newest still running."""
    records, when = [], 1300000000
    for i in range(MANY_CYCLES):
        records.append(evt_writer.record(len(records) + 1, when, evt_writer.BOOT, 4))
        length = 3600 * (2 + i % 5) + 86400 * (i % 11 == 0)
        if i % 7 and i + 1 < MANY_CYCLES:
            records.append(evt_writer.record(len(records) + 1, when + length, evt_writer.STOP, 4))
        when += length + 3600 * (i % 3) + 60
    with open(path, "wb") as out:
        out.write(evt_writer.evt(records, 0x30 + sum(map(len, records)) + 0x28 + 0x100))


def damage_counts(stderr, path):
    """SkippedParts as the stderr line for `path` tells them."""
    line = next((l for l in stderr.decode(errors="replace").splitlines() if l.startswith("evt-replay: " + path + ": damaged")), "")
    return {field: int(m.group(1)) if (m := re.search(pattern, line)) else 0 for field, pattern in DAMAGE_PARTS.items()}


class Check:
    def __init__(self, replay, samples, work):
        self.replay, self.samples, self.work = replay, samples, work
        self.missing = os.path.join(work, "missing.evtx")
        self.fifo = os.path.join(work, "fifo")
        os.mkfifo(self.fifo)
        # A copy cut short in its sixth chunk, so that the reader has something to pass over.
        self.damaged = os.path.join(work, "cut.evtx")
        with open(samples[1], "rb") as f, open(self.damaged, "wb") as out:
            out.write(f.read()[:0x1000 + 5 * 0x10000 + 0x7000])
        # A name that is not UTF-8 and holds markup: the JSON and the SVG must stay well formed.
        self.odd = os.path.join(work.encode(), b'odd <&"\xff\x01.evt')
        shutil.copyfile(samples[0], self.odd)
        self.many = os.path.join(work, "many.evt")
        write_many_cycles(self.many)
        self.plain = {p: run(replay, [p]) for p in samples + [self.damaged, self.many]}
        self.cycles = {p: text_cycles(out.stdout)[1] for p, out in self.plain.items()}
        self.svg = os.path.join(work, "timeline.svg")

    def expected(self, paths):
        return [(p, self.cycles[p]) for p in paths]

    def blocks(self, paths):
        """The plain output of several files: each file's text under a line naming it."""
        return b"\n".join(b"==> %s <==\n" % p.encode() + self.plain[p].stdout for p in paths)

    def help(self, out, _):
        ok = out.returncode == 0 and out.stdout.startswith(b"usage: evt-replay") and not out.stderr
        return [] if ok and b"--timeline" in out.stdout else ["--help: %d %r %r" % (out.returncode, out.stdout[:60], out.stderr)]

    def version(self, out, _):
        shown = re.search(r"Version(\S+)", text_cycles(self.plain[self.samples[0]].stdout)[0]).group(1)
        want = b"evt-replay (Tallyvane) %s\n" % shown.encode()
        return [] if out.returncode == 0 and out.stdout == want else ["--version: %r, expected %r" % (out.stdout, want)]

    def usage_error(self, out, _):
        if out.returncode == 2 and not out.stdout and b"usage: evt-replay" in out.stderr:
            return []
        return ["exit %d, stdout %r, stderr %r: expected 2 and the usage on stderr" % (out.returncode, out.stdout[:60], out.stderr[:80])]

    def several_text(self, out, paths):
        problems = [] if out.stdout == self.blocks([p for p in paths if p != self.missing]) else ["several files: stdout is not each file's text under its name"]
        if out.returncode != 2 or out.stderr.decode().splitlines() != ["evt-replay: %s: No such file or directory"
                                                                      % self.missing]:
            problems.append("exit %d, stderr %r: expected 2 and one line for the missing file" % (out.returncode, out.stderr))
        return problems

    def streamed(self, out, paths):
        """Read from a pipe, a log gives what the file gives, under the name given."""
        (path, given), want = paths, self.plain[paths[0]]
        same = (out.stdout, out.returncode, out.stderr) == (want.stdout, want.returncode, want.stderr.replace(path.encode(), given.encode()))
        return [] if same else ["exit %d, stderr %r: not what %s gives" % (out.returncode, out.stderr, path)]

    def directory(self, out, paths):
        ok = (out.returncode, out.stdout, out.stderr) == (2, b"", b"evt-replay: %s: Is a directory\n" % paths[0].encode())
        return [] if ok else ["exit %d, stderr %r" % (out.returncode, out.stderr)]

    def utc_text(self, out, paths):
        want = run(self.replay, paths, env=dict(os.environ, TZ="UTC")).stdout
        return [] if out.returncode == 0 and out.stdout == want else ["--utc text is not the text with TZ=UTC"]

    def csv_rows(self, out, paths, utc):
        text = out.stdout.decode()
        lines = text.split("\r\n")
        if out.returncode != 0 or lines[-1] != "" or any("\n" in line for line in lines):
            return ["exit %d; every record must end with CRLF" % out.returncode]
        rows = list(csv.reader(io.StringIO(text, newline="")))
        if rows[0] != CSV_HEADER:
            return ["header %r" % rows[0]]
        got = {}
        for file, index, start, stop, elapsed, state in rows[1:]:
            got.setdefault(file, []).append({"index": int(index), "start": start, "stop": stop,
                                             "elapsed_seconds": int(elapsed) if elapsed else None, "state": state})
        return files_problems(list(got.items()), self.expected(paths), utc)

    def json_files(self, out, paths):
        document = json.loads(out.stdout)
        problems = files_problems([(f["file"], f["cycles"]) for f in document], self.expected(paths), False)
        for file in document:
            if file["title"] != text_cycles(self.plain[file["file"]].stdout)[0]:
                problems.append("%s: title %r is not the text's" % (file["file"], file["title"]))
            if file["skipped"] != damage_counts(out.stderr, file["file"]):
                problems.append("%s: skipped %r, stderr says %r" % (file["file"], file["skipped"],
                                                                     damage_counts(out.stderr, file["file"])))
        if not any(f["skipped"]["records"] for f in document):
            problems.append("the cut copy should have lost records")
        return problems

    def timeline(self, out, paths):
        problems = [] if out.stdout == self.blocks(paths) else ["--timeline changed the text"]
        panels = ElementTree.parse(self.svg).getroot().iter(SVG + "g")
        panels = [g for g in panels if g.get("class") == "file"]
        if len(panels) != len(paths):
            return problems + ["%d panels for %d files" % (len(panels), len(paths))]
        for path, panel in zip(paths, panels):
            states = [g.get("class").split()[1] for g in panel.iter(SVG + "g") if g.get("class", "").startswith("cycle")]
            want = [c["state"] for c in reversed(self.cycles[path])]  # oldest first, as drawn
            if states != want:
                problems.append("%s: bars %r, the text's cycles %r" % (path, states, want))
        return problems

    def odd_name(self, out, _):
        document = json.loads(out.stdout)
        ElementTree.parse(self.svg)
        return [] if "\ufffd" in document[0]["file"] and out.returncode == 0 else ["the odd name: %r" % document[0]["file"]]

    def lost_output(self, out, _):
        return [] if out.returncode == 2 and b"cannot write" in out.stderr else ["output to a full disk: exit %d" % out.returncode]

    def unwritable_timeline(self, out, paths):
        ok = out.returncode == 2 and out.stdout == self.plain[paths[0]].stdout and b"cannot write" in out.stderr
        return [] if ok else ["a timeline that cannot be written: exit %d, stderr %r" % (out.returncode, out.stderr)]


def main():
    replay, samples = sys.argv[1], sys.argv[2:4]
    with tempfile.TemporaryDirectory() as work:
        c = Check(replay, samples, work)
        evt, evtx = samples
        cases = [
            # (what is checked, arguments, its check, the files the check expects)
            ("help", ["--help"], c.help, []),
            ("version", ["--version"], c.version, []),
            ("unknown option", ["--frobnicate", evt], c.usage_error, []),
            ("unknown format", ["--format=xml", evt], c.usage_error, []),
            ("no file", ["--utc"], c.usage_error, []),
            ("several files, one missing", [evt, c.missing, evtx], c.several_text, [evt, c.missing, evtx]),
            ("a FIFO fed a cut copy", [c.fifo], c.streamed, [c.damaged, c.fifo]),
            ("a pipe as /dev/stdin", ["/dev/stdin"], c.streamed, [evt, "/dev/stdin"]),
            ("a directory", [work], c.directory, [work]),
            ("text with --utc", ["--utc", evt, evtx], c.utc_text, [evt, evtx]),
            ("csv", ["--format=csv", evt, evtx], lambda o, p: c.csv_rows(o, p, False), [evt, evtx]),
            ("csv with --utc", ["--format", "csv", "--utc", evtx], lambda o, p: c.csv_rows(o, p, True), [evtx]),
            ("json with a damaged file", ["--format=json", evt, evtx, c.damaged], c.json_files, [evt, evtx, c.damaged]),
            ("timeline", ["--timeline=" + c.svg, evt, evtx, c.many], c.timeline, [evt, evtx, c.many]),
            ("odd file name", [b"--format=json", b"--timeline=" + c.svg.encode(), c.odd], c.odd_name, []),
            ("output lost", [evt], c.lost_output, []),
            ("timeline unwritable", ["--timeline=" + os.path.join(c.missing, "t.svg"), evt], c.unwritable_timeline, [evt]),
        ]
        problems = []
        for name, arguments, check, paths in cases:
            if name == "output lost":
                with open("/dev/full", "wb") as full:
                    out = run(replay, arguments, stdout=full)
                out.stdout = b""
            elif name == "a FIFO fed a cut copy":
                threading.Thread(target=lambda: open(c.fifo, "wb").write(open(c.damaged, "rb").read()), daemon=True).start()
                out = run(replay, arguments)
            elif name == "a pipe as /dev/stdin":
                out = run(replay, arguments, input=open(evt, "rb").read())
            else:
                out = run(replay, arguments)
            problems += ["%s: %s" % (name, p) for p in check(out, paths)]
    for problem in problems:
        print(problem)
    print("options: %d cases, %d problems (TZ=%s)" % (len(cases), len(problems), os.environ.get("TZ")))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
