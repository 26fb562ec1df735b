#!/usr/bin/env python3
"""evt-replay --power on real logs against an independent count of their
power records, as python3-evtx reads them.

    power_check.py EVT_REPLAY SAMPLE.evt SAMPLE.evtx...

Each .evtx log's starts and ends, counted by kind straight from the records
that tell them, must be what --power tells; a .evt log's periods are its
boot cycles. Every format and any number of workers tell the same history.
So does the made-up office of the README's picture: each period at the
seconds it was written for, a died one marked in its lane.
"""
import calendar
import csv
import io
import json
import os
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ElementTree

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import require  # noqa: E402

Evtx = require.module("Evtx.Evtx", "python3-evtx")
NS = "{http://schemas.microsoft.com/win/2004/08/events/event}"
SVG = "{http://www.w3.org/2000/svg}"
KERNEL = "Microsoft-Windows-"


def power_records(path):
    """(record number, provider without its prefix, event id, {data name: text}) of every record."""
    with Evtx.Evtx(path) as log:
        for record in log.records():
            event = ElementTree.fromstring(record.xml())
            system = event.find(NS + "System")
            provider = system.find(NS + "Provider").get("Name").replace(KERNEL, "")
            data = {d.get("Name"): d.text for d in event.iter(NS + "Data") if d.get("Name")}
            yield record.record_num(), provider, int(system.find(NS + "EventID").text), data


def independent_counts(path):
    """How many periods began and ended each way, counted from the records alone: a boot by
    Kernel-Boot 27 (Kernel-General 12 where a log has no 27), a wake by Power-Troubleshooter 1
    whose stay took time; an end by Kernel-Power 109's action or 42's target state."""
    began = dict.fromkeys(["boot", "fast-startup", "resume-hibernate", "resume-sleep"], 0)
    ended = dict.fromkeys(["restart-or-shutdown", "fast-startup", "hibernate", "sleep"], 0)
    records = sorted(power_records(path))
    has27 = any(p == "Kernel-Boot" and i == 27 for _, p, i, _ in records)
    booted = False
    for _, provider, eid, data in records:
        state = int(data.get("TargetState") or 0)
        if (provider, eid) == ("Kernel-Boot", 27) and data.get("BootType") in ("0", "1"):
            began["boot" if data["BootType"] == "0" else "fast-startup"] += 1
        elif (provider, eid) == ("Kernel-General", 12) and not has27:
            began["boot"] += 1
        elif (provider, eid) == ("Power-Troubleshooter", 1) and data["WakeTime"] > data["SleepTime"]:
            began.update({k: began[k] + 1 for k in ["resume-hibernate" if state == 5 else "resume-sleep"] if state in (2, 3, 4, 5)})
        elif (provider, eid) == ("Kernel-Power", 109) and booted:
            ended["restart-or-shutdown"] += 1
        elif (provider, eid) == ("Kernel-Power", 42) and booted and state in (2, 3, 4, 5, 6):
            ended["sleep" if state < 5 else "hibernate" if state == 5 else "fast-startup"] += 1
        booted = booted or (provider, eid) in (("Kernel-Boot", 27), ("Kernel-General", 12))
    return began, ended


def run(replay, arguments):
    done = subprocess.run([replay, "--power"] + arguments, capture_output=True, check=False)
    if done.returncode != 0:
        sys.exit("evt-replay --power %s: exit %d: %s" % (" ".join(arguments), done.returncode, done.stderr.decode()))
    return done.stdout.decode()


def office_problems(replay):
    """The made-up office (records written out, which python3-evtx does not read): every
    period as written, a mark per died period."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs"))
    import timeline_power_fleet as office  # noqa: E402
    problems, seconds = [], lambda text: text and calendar.timegm(time.strptime(text, "%Y-%m-%dT%H:%M:%SZ"))
    with tempfile.TemporaryDirectory() as work:
        subprocess.run([sys.executable, office.__file__, work], stdout=subprocess.DEVNULL, check=True)
        paths, svg = [os.path.join(work, name + ".evtx") for name, *_ in office.FLEET], os.path.join(work, "p.svg")
        files = json.loads(run(replay, ["--utc", "--format=json", "--timeline=" + svg] + paths))
        lanes = [g for g in ElementTree.parse(svg).getroot().iter(SVG + "g") if g.get("class") == "lane"]
        for (name, _, _, periods), told, lane in zip(office.FLEET, files, lanes):
            got = [(seconds(p["start"]), p["began"], seconds(p["end"]) or end, p["ended"])
                   for p, (*_, end, _, _) in zip(reversed(told["periods"]), periods)]
            if got != [tuple(p[:4]) for p in periods]:
                problems.append("%s: %d periods told, not as written" % (name, len(told["periods"])))
            marks = len(lane.findall(SVG + "rect[@class='died']"))
            if marks != sum(p[3] == "died" for p in periods):
                problems.append("%s: %d died marks" % (name, marks))
    return problems


def main():
    replay, evt, evtxs = sys.argv[1], sys.argv[2], sys.argv[3:]
    problems = office_problems(replay)
    files = json.loads(run(replay, ["--format=json", evt] + evtxs))
    for path, told in zip(evtxs, files[1:]):
        began, ended = independent_counts(path)
        totals = told["totals"]
        got_ended = {"restart-or-shutdown": totals["ended"]["restart"] + totals["ended"]["shutdown"],
                     **{k: totals["ended"][k] for k in ("fast-startup", "hibernate", "sleep")}}
        for kind, want, got in [("began", began, totals["began"]), ("ended", ended, got_ended)]:
            if want != got:
                problems.append("%s: %s %s, the records count %s" % (path, kind, got, want))
    # A .evt log's periods are its boot cycles, as many as the window's rows.
    rows = subprocess.run([replay, evt], capture_output=True, check=True).stdout.decode().count("\n") - 1
    if len(files[0]["periods"]) != rows:
        problems.append("%s: %d periods for %d boot cycles" % (evt, len(files[0]["periods"]), rows))
    # Every format, and several workers, tell the same periods.
    every = [evt] + evtxs
    one = run(replay, ["-j1", "--format=csv"] + every)
    if run(replay, ["-j2", "--format=csv"] + every) != one:
        problems.append("-j2 tells another history than -j1")
    periods = [r for r in csv.DictReader(io.StringIO(one)) if r["index"] != "totals"]
    flat = [dict(p, file=f["file"]) for f in files for p in f["periods"]]
    for row, period in zip(periods, flat):
        for field in ("start", "began", "ended", "on_seconds"):
            if row[field] != str(period[field]):
                problems.append("%s period %s: CSV %s %s, JSON %s" % (row["file"], row["index"], field, row[field],
                                                                      period[field]))
    if len(periods) != len(flat):
        problems.append("CSV has %d periods, JSON %d" % (len(periods), len(flat)))
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
