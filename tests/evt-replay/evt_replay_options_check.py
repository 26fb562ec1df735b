#!/usr/bin/env python3
"""evt-replay's options and output formats, each checked against the cycles
that its plain text output shows for the same files.

    evt_replay_options_check.py EVT_REPLAY SAMPLE.evt SAMPLE.evtx

The plain output's times are local texts, every one shifted by the offset
that TZ has in force now; CSV and JSON must give the same instants, each with
the offset in force at that instant (or Z with --utc), and the same states
and spans. Any TZ will do; one with summer time tells the two offsets apart.
Each file's host and stated zone are as python3-evtx (or evtexport for .evt)
reads its records: the computer of the newest boot record, the last data
item of the newest event 6013.
"""
import calendar
import csv
import datetime
import io
import json
import math
import os
import pty
import select
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
import xml.etree.ElementTree as ElementTree

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import evt_writer  # noqa: E402
import require  # noqa: E402
from evt_replay_check import BOOT  # noqa: E402

ISO_TIME = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(Z|[+-]\d\d:\d\d(:\d\d)?)\Z")
TRY_HELP = "Try 'evt-replay --help' for more information."
CSV_HEADER = ["file", "index", "start", "stop", "elapsed_seconds", "state", "host", "zone_stated", "zone_used", "zone_bias",
              "log_end", "died_after", "damaged", "cut", "system_log"]
STATES = ("stopped", "died", "running", "cut")
KNOWLEDGE = {"cut": 0, "running": 1, "died": 2, "stopped": 3}  # which copy of a boot a lane draws
EVENT_NS = "{http://schemas.microsoft.com/win/2004/08/events/event}"
ZONE_EVENT = 6013
# The sample's newest event 6013 states UTC, by a name CLDR does not know, and
# a copy cut after its first two chunks, before 2015-08-08, Pacific time.
PACIFIC_CUT = 0x1000 + 2 * 0x10000
# Where TZ is unset, the zone the outputs name is the one /etc/localtime links to.
TZ_IN_FORCE = os.environ.get("TZ", os.path.realpath("/etc/localtime").partition("zoneinfo/")[2])
SVG = "{http://www.w3.org/2000/svg}"
# Cycles enough for the timeline's lanes, which fewer cycles do not get.
MANY_CYCLES = 700
DAMAGE_PARTS = {"chunks": r"(\d+) chunk headers? unsound", "records": r"(\d+) records? lost",
                "recovered": r"(\d+) records? recovered"}


def run(replay, arguments, env=None, stdout=subprocess.PIPE, cwd=None, input=None, during=None):
    """The run, killed with its workers after 20 s (exit status -9: no input may hang it); with `during`,
    called with the process while it runs, its answer as the run's `during`."""
    process = subprocess.Popen([replay] + arguments, stdin=subprocess.PIPE if input is not None else None,
                               stdout=stdout, stderr=subprocess.PIPE, env=env, cwd=cwd, start_new_session=True)
    seen = during(process) if during else None
    try:
        out, err = process.communicate(input, timeout=20)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, 9)  # its workers too, which hold its pipes
        out, err = process.communicate()
    result = subprocess.CompletedProcess(process.args, process.returncode, out, err)
    result.during = seen
    return result


def children(pid):
    with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
        return [int(c) for c in f.read().split()]


def alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rpartition(")")[2].split()[0] != "Z"
    except FileNotFoundError:
        return False


def kill_blocked_worker(process):
    """Crashes the worker left waiting on a FIFO once the others are done."""
    time.sleep(1)
    for child in children(process.pid):
        os.kill(child, 11)


def kill_main(signal):
    """Ends the main process while a worker waits on a FIFO; whether a worker lives on 0.5 s later."""
    def during(process):
        time.sleep(1)
        workers = children(process.pid)
        process.send_signal(signal)
        process.wait()
        time.sleep(0.5)
        left = [w for w in workers if alive(w)]
        for w in left:
            os.kill(w, 9)
        return bool(workers), left
    return during


def stated_zone(stated):
    """A stated zone ("480 Pacific Standard Time") as CSV and JSON split it: (name, bias or None)."""
    bias, _, name = stated.partition(" ")
    return (name, int(bias)) if re.fullmatch(r"-?\d+", bias) and name else (stated, None)


def log_facts(path):
    """(host, zone stated) of a log: the computer of its newest boot record, as evtexport or
    evtxexport read it, and the last data item of its newest event 6013 as python3-evtx
    renders it ("" without one)."""
    evtx = path.endswith(".evtx")
    text = subprocess.run(["evtxexport" if evtx else "evtexport", path],
                          capture_output=True, text=True, check=True).stdout
    newest, boots = {}, {}  # {event ID: (number, its block)}, {boot record's number: its computer}
    for block in text.split("\n\n"):
        number = re.search(r"Event number\s*: (\d+)", block)
        ident = re.search(r"Event identifier\s*: 0x([0-9a-f]+)", block)
        if number and ident and int(ident.group(1), 16) & 0xFFFF == BOOT & 0xFFFF:
            boots[int(number.group(1))] = re.search(r"Computer name\s*: (.*)", block).group(1)
        if number and ident:
            newest[int(ident.group(1), 16) & 0xFFFF] = max(newest.get(int(ident.group(1), 16) & 0xFFFF, (0, "")),
                                                          (int(number.group(1)), block))
    host = re.search(r"Computer name\s*: (.*)", newest[BOOT & 0xFFFF][1]).group(1)
    BOOT_HOSTS[path] = [boots[n] for n in sorted(boots, reverse=True)]
    if not evtx or ZONE_EVENT not in newest:
        return host, ""
    with require.module("Evtx.Evtx", "python3-evtx").Evtx(path) as log:
        event = ElementTree.fromstring(log.get_record(newest[ZONE_EVENT][0]).xml())
    return host, re.findall(r"<string>(.*?)</string>", event.findtext(EVENT_NS + "EventData/" + EVENT_NS + "Data"))[-1]


BOOT_HOSTS = {}  # {path: the computer of each boot record, newest first}
UNEXPECTED = 0x80001778  # "the previous system shutdown was unexpected", with its Binary of two SYSTEMTIMEs


def crash_times(path):
    """(written, the UTC moment stated) of every 6008 of an .evtx log, as evtxexport reads them."""
    times = []
    for block in subprocess.run(["evtxexport", path], capture_output=True, text=True, check=True).stdout.split("\n\n"):
        if re.search(r"Event identifier\s*: 0x%08x" % (UNEXPECTED & 0xFFFF), block):
            written = datetime.datetime.strptime(re.search(r"Written time\s*: (.{20})", block).group(1), "%b %d, %Y %H:%M:%S")
            stated = struct.unpack_from("<8H", bytes.fromhex(re.findall(r"String: \d+\s*: ([0-9A-F]{64,})", block)[-1]), 16)
            times.append((calendar.timegm(written.timetuple()), calendar.timegm(stated[:2] + stated[3:7])))
    return times

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


def write_many_cycles(path, count=MANY_CYCLES):
    """A log of `count` boot cycles of a few hours to days, every seventh
    ended by a crash, the newest still running."""
    records, when = [], 1300000000
    for i in range(count):
        records.append(evt_writer.record(len(records) + 1, when, evt_writer.BOOT, 4))
        length = 3600 * (2 + i % 5) + 86400 * (i % 11 == 0)
        if i % 7 and i + 1 < count:
            records.append(evt_writer.record(len(records) + 1, when + length, evt_writer.STOP, 4))
        when += length + 3600 * (i % 3) + 60
    with open(path, "wb") as out:
        out.write(evt_writer.evt(records, 0x30 + sum(map(len, records)) + 0x28 + 0x100))


def tick_time(label, offset=None):
    """The instant of a date tick's label (2015, 2015-07 or 2015-07-13) on the texts' clock, or at `offset`."""
    date = datetime.datetime.strptime((label + "-01-01")[:10], "%Y-%m-%d")
    return instant(date.strftime("%Y/%m/%d"), "00:00:00", time.localtime().tm_gmtoff if offset is None else offset)


def pixel_union(intervals):
    """The pixels [a, b) that `intervals` cover together."""
    total, reach = 0, None
    for a, b in sorted(intervals):
        if reach is None or a > reach:
            total, reach = total + b - a, b
        elif b > reach:
            total, reach = total + b - reach, b
    return total


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
        self.quoted, self.broken = os.path.join(work, 'say "hi".evt'), os.path.join(work, "line\nbreak.evt")
        for name in (self.quoted, self.broken):
            shutil.copyfile(samples[0], name)
        # A Security log: no record is the System log's.
        self.security = os.path.join(work, "security.evt")
        with open(self.security, "wb") as out:
            out.write(evt_writer.evt([evt_writer.record(n, 1300000000 + n, 4624, 8, source="Security", computer="PC")
                                      for n in (1, 2)], 0x400))
        self.many = os.path.join(work, "many.evt")
        write_many_cycles(self.many)
        # The most cycles that still get a row each; and a log of no records, whose timeline is short.
        self.sixty, self.empty = os.path.join(work, "sixty.evt"), os.path.join(work, "empty.evt")
        write_many_cycles(self.sixty, 60)
        with open(self.empty, "wb") as out:
            out.write(evt_writer.evt([], 0x100))
        # Died cycles whose next boot's 6008 states a time within them (an hour later as local time), none,
        # and one past the next boot: the last two died after their last record.
        self.crashes, start, records = os.path.join(work, "crashes.evt"), 1300000000, []
        systemtime = lambda when: struct.pack("<8H", *time.gmtime(when)[:2], 0, *time.gmtime(when)[2:6], 0)  # noqa: E731
        for boot, stated in ((start + 3600 * i, s) for i, s in enumerate((0, 200, 0, 5000))):  # boot i's 6008 of cycle i - 1
            records += [(boot, UNEXPECTED, 1, systemtime(boot + stated) + systemtime(boot - 3600 + stated))] * bool(stated)
            records += [(boot, BOOT, 4, b""), (boot + 100, 0x40000001, 4, b"")]
        self.died_want = {(self.crashes, 4): start + 200, (self.crashes, 3): start + 3700, (self.crashes, 2): start + 7300}
        records = [evt_writer.record(n + 1, *r[:3], source="EventLog", computer="PC", data=r[3]) for n, r in enumerate(records)]
        open(self.crashes, "wb").write(evt_writer.evt(records, 0x30 + sum(map(len, records)) + 0x128))
        self.pacific = os.path.join(work, "pacific.evtx")
        with open(samples[1], "rb") as f, open(self.pacific, "wb") as out:
            out.write(f.read()[:PACIFIC_CUT])
        # A name that a spreadsheet would run, given relative to the folder.
        self.formula = '=HYPERLINK("x",1).evt'
        for name in (self.formula, "@SUM(1).evt", "+1.evt"):
            shutil.copyfile(samples[0], os.path.join(work, name))
        # Logs stating zones east of UTC: one CLDR names, two only fixed offsets.
        self.stated = {}
        for bias, name in ((-60, "Romance Standard Time"), (-60, "Made Up Time"), (-330, "Made Up Time")):
            path = self.stated[bias, name] = os.path.join(work, "stated%d%s.evt" % (bias, name[0]))
            with open(path, "wb") as out:
                out.write(evt_writer.evt([evt_writer.record(1, 1300000000, evt_writer.BOOT, 4, source="EventLog", computer="PC"),
                                          evt_writer.record(2, 1300003600, 0x8000177D, 4, source="EventLog", computer="PC",
                                                            strings=("60", "%d %s" % (bias, name)))], 0x400))
        # -r passes over a FIFO, and links, which -R follows, a link back up the tree once.
        self.walks = {name: os.path.join(work, name) for name in ("with-fifo", "links", "empty")}
        for folder in self.walks.values():
            os.mkdir(folder)
        shutil.copyfile(samples[1], os.path.join(self.walks["with-fifo"], "a.evtx"))
        os.mkfifo(os.path.join(self.walks["with-fifo"], "zz.evtx"))
        for sample in samples:
            os.symlink(sample, os.path.join(self.walks["links"], os.path.basename(sample)))
        os.symlink(".", os.path.join(self.walks["links"], "up"))
        self.facts = {p: log_facts(p) for p in samples + [self.pacific, self.many, self.damaged]}
        self.plain = {p: run(replay, [p]) for p in samples + [self.damaged, self.many, self.sixty, self.empty, self.security]}
        for source, link in zip(samples, (os.path.join(self.walks["links"], os.path.basename(s)) for s in samples)):
            self.plain[link], self.facts[link] = self.plain[source], self.facts[source]
        fifo_copy = os.path.join(self.walks["with-fifo"], "a.evtx")
        self.plain[fifo_copy], self.facts[fifo_copy] = self.plain[samples[1]], self.facts[samples[1]]
        self.cycles = {p: text_cycles(out.stdout)[1] for p, out in self.plain.items()}
        # Cut short, both copies lack how their newest cycle ended.
        for p in (self.damaged, self.pacific):
            self.cycles.setdefault(p, text_cycles(run(replay, [p]).stdout)[1])[0]["state"] = "cut"
        self.svg = os.path.join(work, "timeline.svg")
        # A log the timeline must never be written over.
        self.copy = os.path.join(work, "copy.evtx")
        shutil.copyfile(samples[1], self.copy)
        with open(self.copy, "rb") as f:
            self.copy_bytes = f.read()
        # A folder of logs, one in a subfolder, among files that are none.
        self.folder = os.path.join(work, "logs")
        self.folder_logs = [os.path.join(self.folder, n) for n in ("a/SysEvent.Evt", "b.evtx")]
        os.makedirs(os.path.join(self.folder, "a"))
        for source, target in zip(samples, self.folder_logs):
            shutil.copyfile(source, target)
            self.plain[target], self.facts[target] = self.plain[source], self.facts[source]
            BOOT_HOSTS[target] = BOOT_HOSTS[source]
        open(os.path.join(self.folder, "notes.txt"), "w").close()

    def expected(self, paths):
        return [(p, self.cycles[p]) for p in paths]

    def blocks(self, paths):
        """The plain output of several files: each file's text under a line naming it."""
        hosts = {p: b" (%s)" % self.facts[p][0].encode() if self.facts[p][0] else b"" for p in paths}
        return b"\n".join(b"==> %s%s <==\n" % (p.encode(), hosts[p]) + self.plain[p].stdout for p in paths)

    def fields_problems(self, got, zones):
        """got: {path: {(host, zone_stated, zone_used)}} as CSV or JSON gives them; zones: {path: zone used}."""
        want = {p: {(self.facts[p][0], stated_zone(self.facts[p][1])[0], used, stated_zone(self.facts[p][1])[1])}
                for p, used in zones.items()}
        return [] if got == want else ["host and zones %r, expected %r" % (got, want)]

    def zone_text(self, tz, notes):
        """The check of a text shown in a zone: the same as with TZ=tz, with `notes` lines on stderr."""
        def check(out, paths):
            want = run(self.replay, paths, env=dict(os.environ, TZ=tz))
            ok = out.returncode == 0 and out.stdout == want.stdout and len(out.stderr.splitlines()) == notes
            return [] if ok else ["exit %d, stderr %r: not the text with TZ=%s" % (out.returncode, out.stderr, tz)]
        return check

    def zone_refused(self, out, _):
        ok = (out.returncode == 2 and not out.stdout and len(out.stderr.splitlines()) == 1
              and b"names no zone" in out.stderr)
        return [] if ok else ["exit %d, stderr %r: expected 2 and one line" % (out.returncode, out.stderr)]

    def formula_name(self, out, paths):
        rows = list(csv.reader(io.StringIO(out.stdout.decode(), newline="")))
        return [] if {r[0] for r in rows[1:]} == {"'" + paths[0]} else ["a formula's name in CSV: %r" % rows[1:2]]

    def stated_bias(self, out, paths):
        """CSV keeps a stated zone's name and bias apart: no cell made safe, the bias exact."""
        rows = list(csv.reader(io.StringIO(out.stdout.decode(), newline="")))
        got = {tuple(r[7:10:2]) for r in rows[1:]}
        return [] if out.returncode == 0 and got == {tuple(paths)} else ["zone_stated and zone_bias %r, expected %r" % (got, paths)]

    def quiet(self, out, paths):
        ok = out.returncode == 0 and not out.stderr and out.stdout == self.plain[paths[0]].stdout
        return [] if ok else ["-q: exit %d, stderr %r" % (out.returncode, out.stderr)]

    def zone_accepted(self, want_used, suffix):
        """TZ taken: exit 0, zone_used as said, every start at the offset given."""
        def check(out, _):
            rows = list(csv.reader(io.StringIO(out.stdout.decode(), newline="")))[1:]
            ok = out.returncode == 0 and rows and all(r[8] == want_used and r[2].endswith(suffix) for r in rows)
            return [] if ok else ["exit %d, %r, stderr %r" % (out.returncode, rows[:1], out.stderr)]
        return check

    def refused(self, *words):
        """Exit 2 before any log is read: no output, one line on stderr (then --help's pointer) holding `words`."""
        def check(out, _):
            lines = out.stderr.decode().splitlines()
            ok = out.returncode == 2 and not out.stdout and lines and all(w in lines[0] for w in words) \
                and lines[1:] in ([], [TRY_HELP])
            return [] if ok else ["exit %d, stdout %r, stderr %r" % (out.returncode, out.stdout[:40], out.stderr)]
        return check

    def walked(self, status, notes):
        """-r or -R: the logs given, in order, under their names; exit `status`; stderr lines holding `notes`."""
        def check(out, paths):
            lines = out.stderr.decode().splitlines()
            ok = out.returncode == status and out.stdout == (self.blocks(paths) if paths else b"") \
                and len(lines) == len(notes) and all(n in l for n, l in zip(notes, lines))
            return [] if ok else ["exit %d, stdout %r, stderr %r" % (out.returncode, out.stdout[:80], out.stderr)]
        return check

    def printable_names(self, out, _):
        shown = out.stdout + out.stderr
        ok = out.returncode == 0 and b"\x01" not in shown and b"\x1b" not in shown and shown.count(b"odd <&\"\xff?.evt") == 2
        return [] if ok else ["a name's control characters reach the terminal: %r" % shown[-300:]]

    def timeline_mode(self, out, _):
        mask = os.umask(0)
        os.umask(mask)
        mode = os.stat(self.svg).st_mode & 0o777
        return [] if out.returncode == 0 and mode == 0o666 & ~mask else ["the timeline is %o, the umask gives %o" % (mode, 0o666 & ~mask)]

    def worker_died(self, out, paths):
        """The file whose worker was killed is an error naming it; the others are read."""
        document = json.loads(out.stdout or b"[]")
        errors = {f["file"]: f["error"] for f in document if "error" in f}
        ok = out.returncode == 2 and [f["file"] for f in document] == paths and list(errors) == [self.fifo] \
            and "signal 11" in errors[self.fifo] and "%s: its worker" % self.fifo in out.stderr.decode()
        return [] if ok else ["exit %d, %r, stderr %r" % (out.returncode, errors, out.stderr)]

    def workers_ended(self, out, _):
        started, left = out.during
        return [] if started and not left else ["workers %r outlived the main process" % left]

    def help(self, out, _):
        ok = out.returncode == 0 and out.stdout.startswith(b"usage: evt-replay") and not out.stderr
        return [] if ok and b"--timeline" in out.stdout else ["--help: %d %r %r" % (out.returncode, out.stdout[:60], out.stderr)]

    def version(self, out, _):
        shown = re.search(r"Version(\S+)", text_cycles(self.plain[self.samples[0]].stdout)[0]).group(1)
        want = b"evt-replay (Tallyvane) %s\n" % shown.encode()
        return [] if out.returncode == 0 and out.stdout == want else ["--version: %r, expected %r" % (out.stdout, want)]

    def usage_error(self, out, _):
        lines = out.stderr.decode().splitlines()
        if out.returncode == 2 and not out.stdout and len(lines) == 2 and lines[1] == TRY_HELP:
            return []
        return ["exit %d, stdout %r, stderr %r: expected 2, a reason and a pointer to --help" % (out.returncode, out.stdout[:60], out.stderr[:80])]

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
        got, fields, hosts = {}, {}, {}
        for file, index, start, stop, elapsed, state, host, *facts in rows[1:]:
            got.setdefault(file, []).append({"index": int(index), "start": start, "stop": stop,
                                             "elapsed_seconds": int(elapsed) if elapsed else None, "state": state})
            fields.setdefault(file, set()).add((self.facts[file][0],) + tuple(facts[:2]) +
                                               (int(facts[2]) if facts[2] else None,))
            hosts.setdefault(file, []).append(host)
        zones = {p: "UTC" if utc else TZ_IN_FORCE for p in paths}
        return (files_problems(list(got.items()), self.expected(paths), utc) + self.fields_problems(fields, zones)
                + self.host_problems(hosts))

    def died_after(self, out, paths):
        """Each died cycle's died_after: what the 6008 written as the next boot began states, when within the
        cycle; else its last record's time (self.died_want, or within the cycle). None for other cycles."""
        rows, problems, exact = list(csv.DictReader(io.StringIO(out.stdout.decode(), newline=""))), [], 0
        for path in paths:
            cycles = {int(r["index"]): r for r in rows if r["file"] == path}
            crashes = crash_times(path) if path.endswith(".evtx") else []
            for index, row in cycles.items():  # the newest cycle's "following" is its own start
                start, got, following = (datetime.datetime.fromisoformat(text).timestamp() if text else None for text in
                                         (row["start"], row["died_after"], cycles.get(index - 1, row)["start"]))
                stated = [t for written, t in crashes if abs(written - following) <= 600 and start <= t <= following]
                want = stated[0] if stated else self.died_want.get((path, index))
                exact += want is not None
                if (row["state"] == "died") != (got is not None) or (got != want if want else got and not start <= got <= following):
                    problems.append("%s: cycle %d %s after %s, expected %s" % (path, index, row["state"], row["died_after"], want))
        return problems + ([] if exact else ["no cycle whose died_after is known"])

    def host_problems(self, hosts):
        """Each cycle's host, {path: [host]}, is its own boot record's."""
        return ["%s: hosts %r, its boot records %r" % (p, h, BOOT_HOSTS[p]) for p, h in hosts.items()
                if p in BOOT_HOSTS and h != BOOT_HOSTS[p]]

    def json_files(self, out, paths, lines=False):
        document = [json.loads(l) for l in out.stdout.splitlines()] if lines else json.loads(out.stdout)
        errors = [f for f in document if "error" in f]
        if [f["file"] for f in errors] != [self.missing] or not errors[0]["error"]:
            return ["the file not read should be an object of its name and error: %r" % errors]
        document = [f for f in document if "error" not in f]
        paths = [p for p in paths if p != self.missing]
        problems = files_problems([(f["file"], f["cycles"]) for f in document], self.expected(paths), False)
        known = [p for p in paths if p in self.facts]
        problems += self.log_zones(document, known, {p: TZ_IN_FORCE for p in known})
        problems += self.host_problems({f["file"]: [c["host"] for c in f["cycles"]] for f in document})
        for file in document:
            if file["title"] != text_cycles(self.plain[file["file"]].stdout)[0]:
                problems.append("%s: title %r is not the text's" % (file["file"], file["title"]))
            if file["skipped"] != damage_counts(out.stderr, file["file"]):
                problems.append("%s: skipped %r, stderr says %r" % (file["file"], file["skipped"],
                                                                     damage_counts(out.stderr, file["file"])))
        if not any(f["skipped"]["records"] for f in document):
            problems.append("the cut copy should have lost records")
        # Cut in its sixth chunk of the 27 its header counts; damage as stderr says.
        status = {f["file"]: (f["damaged"], f["cut"] and f["cut"]["chunks_missing"], f["system_log"]) for f in document}
        want = {p: (any(damage_counts(out.stderr, p).values()), 22 if p == self.damaged else None, True) for p in paths}
        problems += [] if status == want else ["damaged, cut, system_log %r, expected %r" % (status, want)]
        return problems

    def log_zones(self, out, paths, zones):
        """JSON's host and zones for `paths`, each shown in the zone `zones` gives it;
        `out` is the run or the document already read."""
        document = out if isinstance(out, list) else json.loads(out.stdout)
        got = {f["file"]: {(f["host"], f["zone_stated"], f["zone_used"], f.get("zone_bias", "none"))} for f in document if f["file"] in paths}
        return self.fields_problems(got, zones)

    def timeline(self, out, paths):
        """One file: a panel, a group per cycle. Several: a lane per file in
        argument order, its tooltip counting the text's states, every state
        drawn, and the lanes' oldest boots and the axis's ticks on one line."""
        text = self.blocks(paths) if len(paths) > 1 else self.plain[paths[0]].stdout
        problems = [] if out.stdout == text else ["--timeline changed the text"]
        root = ElementTree.parse(self.svg).getroot()
        groups = [g for g in root.iter(SVG + "g") if g.get("class", "").split()[:1] == ["file"]]
        if len(paths) == 1:
            states = [g.get("class").split()[1] for g in groups[0].iter(SVG + "g") if g.get("class", "").startswith("cycle")]
            want = [c["state"] for c in reversed(self.cycles[paths[0]])]  # oldest first, as drawn
            return problems + ([] if states == want else ["bars %r, the text's cycles %r" % (states, want)])
        return problems + self.lanes(root, paths)

    def lane_cycles(self, paths):
        """{host: {start: cycle}}, in the order machines first come: each boot once, as the copy that knows most."""
        want = {}
        for path in paths:
            cycles = self.cycles[path]
            hosts = BOOT_HOSTS.get(path) or [self.facts.get(path, ("",))[0]] * len(cycles)
            for i in reversed(range(len(cycles))):  # oldest first, as drawn
                c = cycles[i]
                end = c["stop"] if c["state"] == "stopped" else cycles[i - 1]["start"] if c["state"] == "died" else None
                kept = want.setdefault(hosts[i], {}).get(c["start"])
                if kept is None or KNOWLEDGE[c["state"]] > KNOWLEDGE[kept["state"]]:
                    want[hosts[i]][c["start"]] = dict(c, end=end)
        return {h: c for h, c in want.items() if c}

    def lanes(self, root, paths, bare=0):
        """A lane per machine, its label beside its bars, its tooltip counting its boots once; each
        stopped and died cycle covered by a run of its state, and no more; the axis from the cycles' ticks."""
        want = self.lane_cycles(paths)
        groups = [g for g in root.iter(SVG + "g") if g.get("class", "").startswith("lane")]
        heading = "".join(root.find(SVG + "text[@y='68.0']").itertext())
        told = ("without a cycle" in heading) == (bare > 0) and (bare == 0 or " %d log" % bare in heading)
        problems = [] if told else ["heading %r, %d logs without cycles" % (heading, bare)]
        got = [g.find(SVG + "title").text.splitlines()[0] for g in groups]
        got = [t.split("  ")[0] if "  " in t else "" for t in got]
        if got != list(want):
            return problems + ["lanes %r, the boot records' machines %r" % (got, list(want))]
        legend = "".join(root.find(SVG + "text[@x='130']").itertext())
        ticks = [(float(t.get("x")), tick_time(t.text, 0 if "in UTC" in legend else None)) for t in root.findall(SVG + "text")
                 if t.get("text-anchor") == "middle"]
        (x0, t0), (x1, t1) = min(ticks, key=lambda p: p[1]), max(ticks, key=lambda p: p[1])
        x = lambda t: x0 + (x1 - x0) * (t - t0) / (t1 - t0)  # noqa: E731
        oldest = min(c for cycles in want.values() for c in cycles)
        if t0 < oldest - (t1 - t0):
            problems.append("the axis starts at %s, long before the oldest cycle" % time.ctime(t0))
        # The lanes fill the band between the axis's labels, 10 above and 18 below it, in order.
        ys = [float(t.get("y")) for t in root.findall(SVG + "text") if t.get("text-anchor") == "middle"]
        top = max(y for y in ys if y < (min(ys) + max(ys)) / 2) + 10
        height = (min(y for y in ys if y > (min(ys) + max(ys)) / 2) - 18 - top) / len(groups)
        for i, (host, cycles), lane in zip(range(len(groups)), want.items(), groups):
            label = lane.find(SVG + "text")
            if abs(float(label.get("y")) - float(label.get("font-size")) * 0.36 - (top + (i + 0.5) * height)) > 0.6:
                problems.append("%s: lane %d drawn at %s, not in its place" % (host, i, label.get("y")))
            counts = {s: sum(c["state"] == s for c in cycles.values()) for s in STATES}
            title = lane.find(SVG + "title").text.splitlines()
            tip = "%d cycles: %d stopped, %d died, %d running" % (len(cycles), *list(counts.values())[:3])
            tip += ", %d cut" % counts["cut"] if counts["cut"] else ""
            drawn = {e.get("class") for e in lane if e.get("class") in counts}
            if title[1] != tip or drawn != {s for s, n in counts.items() if n}:
                problems.append("%s: lane %r drawing %r, its boots %r" % (host, title[:2], sorted(drawn), tip))
            middle = float(label.get("y")) - float(label.get("font-size")) * 0.36
            for e in lane.findall(SVG + "path"):
                runs = [(float(a), float(a) + float(w)) for a, y, w in re.findall(r"M([\d.]+) ([\d.]+)h([\d.]+)", e.get("d"))]
                if any(abs(float(y) - middle) > 0.6 for y in re.findall(r"M[\d.]+ ([\d.]+)h", e.get("d"))):
                    problems.append("%s: %s bars not beside its label" % (host, e.get("class")))
                if not all(0 <= a < b <= float(root.get("width")) for a, b in runs):
                    problems.append("%s: bars outside the picture: %r" % (host, runs))
                spans = [(math.floor(x(c["start"])), max(math.floor(x(c["start"])) + 1, math.ceil(x(c["end"]))))
                         for c in cycles.values() if c["state"] == e.get("class") and c["end"] is not None]
                wrong = max(abs(pixel_union(runs) - pixel_union(spans)), pixel_union(runs + spans) - pixel_union(spans))
                if e.get("class") in ("stopped", "died") and wrong > 2 + len(spans) / 10:
                    problems.append("%s: %s runs cover %d pixels, its cycles %d" % (host, e.get("class"), pixel_union(runs), pixel_union(spans)))
        return problems

    def summary(self, out, paths):
        """A row per machine: its boots once however many copies hold them, those that died, the logs holding them."""
        want = {}
        for host, cycles in self.lane_cycles(paths).items():
            logs = sum(host in (BOOT_HOSTS.get(p) or [self.facts[p][0]]) for p in paths)
            want[host] = [str(logs), str(len(cycles)), str(sum(c["state"] == "died" for c in cycles.values()))]
        got = {r[0]: r[1:4] for r in list(csv.reader(io.StringIO(out.stdout.decode(), newline="")))[1:]}
        return [] if got == want else ["summary %r, the boots' %r" % (got, want)]

    def in_range(self, since, until):
        """The CSV rows of the cycles that overlap [since, until), instants, and no others."""
        def check(out, paths):
            want = []
            for i, c in enumerate(self.cycles[paths[0]]):
                end = c["stop"] if c["state"] == "stopped" else self.cycles[paths[0]][i - 1]["start"] if c["state"] == "died" else None
                if c["start"] < until and (end is None or end >= since):
                    want.append(c["index"])
            got = [int(r[1]) for r in list(csv.reader(io.StringIO(out.stdout.decode(), newline="")))[1:]]
            return [] if got == want and want else ["rows %r, the cycles in range %r" % (got, want)]
        return check

    def fleet_lanes(self, bare):
        """The fleet picture of logs of which `bare` have no cycle."""
        def check(out, paths):
            return self.lanes(ElementTree.parse(self.svg).getroot(), paths, bare)
        return check

    def not_system(self, out, _):
        want = ["evt-replay: %s: holds no System log records; its newest record is of Security" % self.security]
        return [] if out.returncode == 0 and out.stderr.decode().splitlines() == want else ["%d %r" % (out.returncode, out.stderr)]

    def log_untouched(self, out, _):
        with open(self.copy, "rb") as f:
            intact = f.read() == self.copy_bytes
        lines = out.stderr.decode().splitlines()
        if out.returncode == 2 and not out.stdout and intact and len(lines) == 1 and "refusing" in lines[0]:
            return []
        return ["exit %d, stderr %r, log intact %s: expected one refusal and the log untouched" % (out.returncode, out.stderr, intact)]

    def closed_early(self, _, paths):
        """The reader of stdout goes away after one line; the timeline is still drawn whole."""
        os.remove(self.svg)
        process = subprocess.Popen([self.replay, "--timeline=" + self.svg] + paths, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        process.stdout.readline()
        process.stdout.close()
        process.wait()
        lanes = [g for g in ElementTree.parse(self.svg).getroot().iter(SVG + "g") if g.get("class", "").startswith("lane")]
        want = len(self.lane_cycles(paths))
        return [] if len(lanes) == want else ["%d of %d machines drawn after stdout closed" % (len(lanes), want)]

    def folder_read(self, out, paths):
        return [] if out.returncode == 0 and out.stdout == self.blocks(paths) else ["-r: %r, expected the logs in sorted order" % out.stdout[:200]]

    def folder_refused(self, out, _):
        want = "evt-replay: %s: Is a directory" % self.folder
        return [] if out.returncode == 2 and out.stderr.decode().splitlines() == [want] else ["%d %r" % (out.returncode, out.stderr)]

    def standard_input(self, out, paths):
        return [] if out.returncode == 0 and out.stdout == self.plain[paths[0]].stdout else ["-: %r" % out.stderr]

    def csv_name(self, out, paths):
        """Every row's file field, read back, is the name given."""
        rows = list(csv.reader(io.StringIO(out.stdout.decode(), newline="")))
        names = [row[0] for row in rows[1:]]
        return [] if names == [paths[0]] * len(self.cycles[self.samples[0]]) else ["file fields %r" % names[:3]]

    def zone_offsets(self, out, paths):
        """Offsets of half and whole hours, as CSV writes them in two zones."""
        problems = []
        for zone, suffix in (("Asia/Kolkata", "+05:30"), ("Etc/GMT+5", "-05:00")):
            zoned = run(self.replay, ["--format=csv"] + paths, env=dict(os.environ, TZ=zone))
            rows = list(csv.reader(io.StringIO(zoned.stdout.decode(), newline="")))
            problems += ["TZ=%s: %s" % (zone, row[2]) for row in rows[1:] if not row[2].endswith(row[2][10:19] + suffix)]
        return problems

    def needs_value(self, out, _):
        ok = out.returncode == 2 and not out.stdout and b"option '--format' requires an argument" in out.stderr
        return [] if ok else ["exit %d, stderr %r" % (out.returncode, out.stderr[:80])]

    def panel(self):
        return next(g for g in ElementTree.parse(self.svg).getroot().iter(SVG + "g") if g.get("class") == "file")

    def one_timeline(self, out, paths):
        """The legend, and each died bar reaching the next boot, the running one the plot's right edge (1176)."""
        legend = "".join(ElementTree.parse(self.svg).getroot().find(SVG + "text[@x='130']").itertext())
        offset = time.localtime().tm_gmtoff
        want = "%d in 1 file, at UTC%s%02d:%02d as in the text output" % (
            len(self.cycles[paths[0]]), "-" if offset < 0 else "+", abs(offset) // 3600, abs(offset) % 3600 // 60)
        problems = [] if legend == want else ["legend %r, expected %r" % (legend, want)]
        bars = [(g.get("class").split()[1], g.find(SVG + "rect")) for g in self.panel().iter(SVG + "g")
                if g.get("class", "").startswith("cycle")]
        ends = [(float(r.get("x")), float(r.get("x")) + float(r.get("width"))) for _, r in bars]
        problems += ["died bar %d ends at %.1f, before the next boot at %.1f" % (i, ends[i][1], ends[i + 1][0])
                     for i, (state, _) in enumerate(bars[:-1]) if state == "died" and ends[i][1] < ends[i + 1][0] - 0.2]
        running = bars[-1][0] == "running" and abs(ends[-1][1] - 1176) < 0.2
        return problems + ([] if running else ["running bar %r" % (ends[-1],)])

    def layout(self, out, paths):
        """60 cycles a row each; lanes of weeks up to the one holding the running cycle's open end (14 hours)."""
        heading = "".join(self.panel().find(SVG + "text[@y='36']").itertext())
        if paths[0] == self.sixty:
            return [] if heading.endswith("a row per cycle, the oldest at the top") else ["heading %r" % heading]
        started = " ".join(self.plain[paths[0]].stdout.decode().splitlines()[1].split("\t")[1:3])
        newest = datetime.datetime.strptime(started, "%Y/%m/%d %H:%M:%S") + datetime.timedelta(hours=14)
        monday = (newest - datetime.timedelta(days=newest.weekday())).strftime("%Y-%m-%d")
        labels = [t.text for t in self.panel().iter(SVG + "text") if t.get("x") == "16" and t.get("font-family")]
        ok = "a lane per week" in heading and labels[-1] == monday
        return [] if ok else ["%r: lanes to %r, not %s" % (heading, labels[-1], monday)]

    def odd_name(self, out, _):
        document = json.loads(out.stdout)
        ElementTree.parse(self.svg)
        return [] if "\ufffd" in document[0]["file"] and out.returncode == 0 else ["the odd name: %r" % document[0]["file"]]

    def lost_output(self, out, _):
        return [] if out.returncode == 2 and b"cannot write" in out.stderr else ["output to a full disk: exit %d" % out.returncode]

    def unwritable_timeline(self, out, paths):
        """A timeline that fails only once written: the listing is whole, the failure said."""
        ok = out.returncode == 2 and out.stdout == self.plain[paths[0]].stdout and b"cannot write" in out.stderr
        return [] if ok else ["a timeline that cannot be written: exit %d, stderr %r" % (out.returncode, out.stderr)]


# A fleet read by every core must give what one worker gives, byte for byte:
# stdout, stderr and the timeline. (what is checked, the options)
FLEET = [
    ("text", []),
    ("csv", ["--format=csv", "--utc"]),
    ("json", ["--format=json"]),
    ("json lines and the timeline", ["--format=jsonl", "--timeline=%(svg)s"]),
]
FLEET_COPIES = 40


def fleet_problems(replay, samples, c, work):
    fleet = [samples[i % 2] for i in range(FLEET_COPIES)] + [c.missing, c.damaged, c.many]
    problems = []
    for name, options in FLEET:
        outputs = []
        for jobs in ("1", "2"):
            svg = os.path.join(work, "fleet-%s.svg" % jobs)
            out = run(replay, ["-j", jobs] + [o % {"svg": svg} for o in options] + fleet)
            drawn = open(svg, "rb").read() if os.path.exists(svg) else b""
            outputs.append((out.returncode, out.stdout, out.stderr, drawn))
        if outputs[0] != outputs[1] or not outputs[0][1]:
            problems.append("fleet %s: two workers do not give what one gives" % name)
    # The progress line: on a terminal only, and gone when the listing ends;
    # not when stdout goes to another program, nor with -q.
    for options, stdout, wanted in (([], "file", True), ([], subprocess.PIPE, False), (["-q"], "file", False)):
        leader, follower = pty.openpty()
        listing = open(os.path.join(work, "listing"), "w+b") if stdout == "file" else stdout
        out = subprocess.run([replay] + options + fleet, stdout=listing, stderr=follower)
        os.close(follower)
        shown = b""
        while select.select([leader], [], [], 0)[0]:
            try:
                shown += os.read(leader, 65536)
            except OSError:
                break
        os.close(leader)
        if stdout == "file":
            listing.seek(0)
            out.stdout = listing.read()
        drawn = b"of %d files read" % len(fleet) in shown and shown.endswith(b"\r\x1b[K")
        if drawn != wanted or (b"\x1b[K" in shown) != wanted or out.stdout != run(replay, fleet).stdout:
            problems.append("fleet progress on a terminal, %s %r: %r" % (options, stdout, shown[-120:]))
    # 500 machines: a lane each, in order, every one labelled legibly with its own machine.
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs"))
    import timeline_fleet  # noqa: E402
    machines, svg = os.path.join(work, "machines"), os.path.join(work, "machines.svg")
    os.mkdir(machines)
    for n in range(500):
        with open(os.path.join(machines, "pc-%03d.evt" % n), "wb") as out:
            out.write(timeline_fleet.machine_log(n))
    run(replay, ["-r", "--timeline=" + svg, machines], stdout=subprocess.DEVNULL)
    lanes = [g for g in ElementTree.parse(svg).getroot().iter(SVG + "g") if g.get("class", "").startswith("lane")]
    labels = [(g.find(SVG + "title").text.split("  ")[0], g.find(SVG + "text")) for g in lanes]
    unlabelled = [h for h, t in labels if t is None or float(t.get("font-size")) < 9 or next(t.itertext()) != h]
    if [h for h, _ in labels] != ["PC-%02d" % n for n in range(500)] or unlabelled:
        problems.append("500 machines: %d lanes, %d not labelled legibly with their machine" % (len(lanes), len(unlabelled)))
    return problems


def main():
    replay, samples = sys.argv[1], sys.argv[2:4]
    require.commands({"evtexport": "libevt-utils", "evtxexport": "libevtx-utils"})
    require.module("Evtx.Evtx", "python3-evtx")
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
            ("json with a damaged file", ["--format=json", evt, c.missing, evtx, c.damaged], c.json_files,
             [evt, c.missing, evtx, c.damaged]),
            ("json lines", ["--format=jsonl", c.damaged, c.missing, evtx], lambda o, p: c.json_files(o, p, True),
             [c.damaged, c.missing, evtx]),
            ("timeline over a log read", ["--timeline", c.copy, evtx], c.log_untouched, []),
            ("timeline over another log", ["--timeline=" + c.copy, evt], c.log_untouched, []),
            ("timeline when stdout closes", ["--timeline=" + c.svg, evt, evtx, c.many], c.closed_early, [evt, evtx, c.many]),
            ("folder read with -r", ["-r", c.folder], c.folder_read, c.folder_logs),
            ("folder without -r", [c.folder], c.folder_refused, []),
            ("standard input", ["-"], c.standard_input, [evt]),
            ("not a System log", [c.security], c.not_system, []),
            ("not a System log, in JSON", ["--format=json", c.security],
             lambda o, p: [] if [f["system_log"] for f in json.loads(o.stdout)] == [False] else ["%r" % o.stdout[-80:]], []),
            ("timeline of one file", ["--timeline=" + c.svg, c.many], c.timeline, [c.many]),
            ("timeline of several", ["--timeline=" + c.svg, evt, evtx, c.many, c.damaged], c.timeline, [evt, evtx, c.many, c.damaged]),
            # Gaps between cycles wide enough to see; logs without cycles neither drawn nor stretching the axis.
            ("fleet picture, logs without cycles", ["--timeline=" + c.svg, c.empty, c.sixty, c.security], c.fleet_lanes(2),
             [c.empty, c.sixty, c.security]),
            ("fleet picture at two offsets", ["--zone=log", "--timeline=" + c.svg, c.pacific, evtx], c.fleet_lanes(0), [c.pacific, evtx]),
            ("odd file name", [b"--format=json", b"--timeline=" + c.svg.encode(), c.odd, evt.encode()], c.odd_name, []),
            ("output lost", [evt], c.lost_output, []),
            ("timeline in a folder missing", ["--timeline=" + os.path.join(c.missing, "t.svg"), evt],
             c.refused("cannot write", "No such file or directory"), []),
            ("timeline of no name", ["--timeline=", evt], c.refused("--timeline needs a file name"), []),
            ("timeline to stdout", ["--timeline=-", evt], c.refused("--timeline needs a file name"), [], {"cwd": work}),
            ("timeline as the umask gives", ["--timeline=" + c.svg, evt], c.timeline_mode, []),
            ("died_after, real logs", ["--format=csv", "--utc", evt, evtx], c.died_after, [evt, evtx]),
            ("died_after, 6008 missing or out of its cycle", ["--format=csv", "--utc", c.crashes], c.died_after, [c.crashes]),
            ("csv, a quote in the file name", ["--format=csv", c.quoted], c.csv_name, [c.quoted]),
            ("csv, a line break in the file name", ["--format=csv", c.broken], c.csv_name, [c.broken]),
            ("csv offsets of half and whole hours", ["--format=csv", evt], c.zone_offsets, [evt]),
            # The empty log's picture fits in the stream's buffer: only the close meets the full disk.
            ("timeline whose close alone fails", ["--timeline=/dev/full", c.empty], c.unwritable_timeline, [c.empty]),
            ("format without its value", [evt, "--format"], c.needs_value, []),
            ("help before a file", ["--help", c.missing], c.help, []),
            ("version before a file", ["--version", c.missing], c.version, []),
            ("timeline of one file: legend and bars", ["--timeline=" + c.svg, evt], c.one_timeline, [evt]),
            ("timeline of 60 cycles", ["--timeline=" + c.svg, c.sixty], c.layout, [c.sixty]),
            ("timeline in lanes of weeks", ["--timeline=" + c.svg, c.many], c.layout, [c.many]),
            # The zone each log states, noted when it is only a fixed offset or TZ stands in.
            ("--zone=log, UTC stated", ["--zone=log", evtx], c.zone_text("UTC", 1), [evtx]),
            ("--zone=log, Pacific stated", ["--zone=log", c.pacific], c.zone_text("America/Los_Angeles", 1),
             [c.pacific]),
            ("--zone=log, none stated", ["--zone=log", evt], c.zone_text(TZ_IN_FORCE, 1), [evt]),
            ("--zone=NAME", ["--zone=Europe/Berlin", evt, evtx], c.zone_text("Europe/Berlin", 0), [evt, evtx]),
            ("--zone=log, json", ["--format=json", "--zone=log", evt, evtx, c.pacific],
             lambda o, p: c.log_zones(o, p, {evt: TZ_IN_FORCE, evtx: "Etc/UTC", c.pacific: "America/Los_Angeles"}),
             [evt, evtx, c.pacific]),
            ("summary, copies of a log counted once", ["--summary", "--format=csv", evt, evtx, c.damaged, evt], c.summary, [evt, evtx, c.damaged, evt]),
            ("--since and --until", ["--format=csv", "--since=2011-09-01T12:00Z", "--until=2011-10-31", evt],
             c.in_range(1314878400, 1320105600 - time.localtime(1320105600).tm_gmtoff), [evt]),
            ("misspelt TZ", [evt], c.zone_refused, [], {"env": dict(os.environ, TZ="Europe/Berlni")}),
            ("unknown --zone", ["--zone=Nowhere/Land", evt], c.zone_refused, []),
            ("formula as a file name", ["--format=csv", c.formula], c.formula_name, [c.formula], {"cwd": work}),
            ("@ as a file name", ["--format=csv", "@SUM(1).evt"], c.formula_name, ["@SUM(1).evt"], {"cwd": work}),
            ("unquoted formula as a file name", ["--format=csv", "+1.evt"], c.formula_name, ["+1.evt"], {"cwd": work}),
            # Zones east of UTC: the bias in a column of its own, and --zone=log's fixed offsets on the right side.
            ("csv, a zone east of UTC", ["--format=csv", c.stated[-60, "Romance Standard Time"]], c.stated_bias,
             ["Romance Standard Time", "-60"]),
            ("--zone=log, a whole hour east", ["--zone=log", c.stated[-60, "Made Up Time"]], c.zone_text("Etc/GMT-1", 1),
             [c.stated[-60, "Made Up Time"]]),
            ("--zone=log, half an hour east", ["--zone=log", c.stated[-330, "Made Up Time"]], c.zone_text("Asia/Kolkata", 1),
             [c.stated[-330, "Made Up Time"]]),
            # TZ as the C library takes it.
            ("TZ of a rule to day 365", ["--format=csv", evt], c.zone_accepted("ABC5DEF,0,365", "-04:00"), [],
             {"env": dict(os.environ, TZ="ABC5DEF,0,365")}),
            ("TZ of three letters east", ["--format=csv", evt], c.zone_accepted("JST-9", "+09:00"), [],
             {"env": dict(os.environ, TZ="JST-9")}),
            ("TZ set but empty", ["--format=csv", evt], c.zone_accepted("UTC", "+00:00"), [], {"env": dict(os.environ, TZ="")}),
            # Every input finishes, and a folder that yields no log says so.
            ("-r passes over a FIFO", ["-r", c.walks["with-fifo"]], c.walked(0, ["zz.evtx: not a regular file"]),
             [os.path.join(c.walks["with-fifo"], "a.evtx")]),
            ("-r does not follow links", ["-r", c.walks["links"]],
             c.walked(2, ["3 symbolic links not followed", "no .evt or .evtx file to read"]), []),
            ("-R follows links, once round a loop", ["-R", c.walks["links"]], c.walked(0, ["up: recursive directory loop"]),
             [os.path.join(c.walks["links"], os.path.basename(p)) for p in sorted(samples)]),
            ("-r over an empty folder", ["-r", c.walks["empty"]], c.walked(2, ["no .evt or .evtx file found", "to read"]), []),
            ("- twice", ["-", "-"], c.refused("-: named more than once"), []),
            ("a FIFO by two names", [c.fifo, os.path.join(work, ".", "fifo")], c.refused("fifo: named more than once"), []),
            ("a short option's letter blamed", [os.path.basename(evt), "-dash.evtx"], c.refused("invalid option -- 'd'"), []),
            ("not the option before it", ["--utc", "-dash.evtx"], c.refused("invalid option -- 'd'"), []),
            ("-q: no notes", ["-q", "--zone=log", evt], c.quiet, [evt]),
            ("names cleaned on the terminal", ["--zone=log", c.odd, evt], c.printable_names, []),
            # Workers: one killed is its file's error; none outlives the main process.
            ("a worker killed", ["-j2", "--format=json", evt, c.fifo, evtx], c.worker_died, [evt, c.fifo, evtx],
             {"during": kill_blocked_worker}),
            ("main process terminated", ["-j2", evt, c.fifo, evtx], c.workers_ended, [], {"during": kill_main(15)}),
            ("main process killed", ["-j2", evt, c.fifo, evtx], c.workers_ended, [], {"during": kill_main(9)}),
        ]
        problems = []
        for name, arguments, check, paths, *how in cases:
            if name == "output lost":
                with open("/dev/full", "wb") as full:
                    out = run(replay, arguments, stdout=full)
                out.stdout = b""
            elif name == "standard input":
                out = run(replay, arguments, input=open(evt, "rb").read())
            elif name == "a FIFO fed a cut copy":
                threading.Thread(target=lambda: open(c.fifo, "wb").write(open(c.damaged, "rb").read()), daemon=True).start()
                out = run(replay, arguments)
            elif name == "a pipe as /dev/stdin":
                out = run(replay, arguments, input=open(evt, "rb").read())
            else:
                out = run(replay, arguments, **(how[0] if how else {}))
            problems += ["%s: %s" % (name, p) for p in check(out, paths)]
        problems += fleet_problems(replay, samples, c, work)
    for problem in problems:
        print(problem)
    print("options: %d cases, %d problems (TZ=%s)" % (len(cases) + len(FLEET), len(problems), os.environ.get("TZ")))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
