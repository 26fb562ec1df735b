#!/usr/bin/env python3
"""Soak of the whole Windows program under Wine: many runs in one session,
each over a log of 300 boot cycles, with random header clicks, then closed by
a random one of Escape, Enter, Alt+F4 and the Close button, all as real input.

    soak.py REPLAY.exe RUNS [SEED]

Every run must exit 0 within a minute, and from the first sort to the last
the process must not grow: the same windows, GDI objects and handles, and
private bytes within 64 KB (Wine's heap settles once on the second sort).
"""
import os
import random
import re
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "evt-replay"))
from evt_writer import cycles_log  # noqa: E402

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
WITH_WINE = os.path.join(ROOT, "scripts", "with-wine")
PREFIX = os.path.join(ROOT, "build", "wine", "prefix")  # with-wine's prefix for the 64-bit build soaked here

CLOSINGS = ("escape", "enter", "altf4", "button")
PRIVATE_SLACK = 64 * 1024


def run_once(replay, log, rng):
    clicks = [rng.randrange(6) for _ in range(rng.randint(1, 8))]
    closing = rng.choice(CLOSINGS)
    arguments = [WITH_WINE, replay, log, "--dump", "--resources", "--close-with", closing]
    for column in clicks:
        arguments += ["--click", str(column)]
    started = time.monotonic()
    try:
        done = subprocess.run(arguments, capture_output=True, text=True, timeout=60)
    except subprocess.TimeoutExpired:
        subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=PREFIX))
        return ["clicks %s, closed with %s: hung" % (clicks, closing)], None
    stages = {m.group(1): {k: int(v) for k, v in re.findall(r"(\w+)=(\d+)", m.group(2))}
              for m in re.finditer(r"^resources (\S+) (.*)$", done.stderr, re.M)}
    what = "clicks %s, closed with %s" % (clicks, closing)
    problems = []
    if done.returncode != 0:
        problems.append("%s: exit code %d" % (what, done.returncode))
    if "first-sort" not in stages or "last-sort" not in stages:
        problems.append("%s: no resource figures (%s)" % (what, done.stderr.strip()[:200]))
        return problems, None
    first, last = stages["first-sort"], stages["last-sort"]
    for counter in ("user", "gdi", "handles"):
        if last[counter] > first[counter]:
            problems.append("%s: %s grew from %d to %d" % (what, counter, first[counter], last[counter]))
    if last["private"] > first["private"] + PRIVATE_SLACK:
        problems.append("%s: private bytes grew from %d to %d" % (what, first["private"], last["private"]))
    return problems, (time.monotonic() - started, stages["shown"], last)


def main():
    replay, runs = sys.argv[1], int(sys.argv[2])
    seed = int(sys.argv[3]) if len(sys.argv) > 3 else int(time.time())
    rng = random.Random(seed)
    with tempfile.TemporaryDirectory() as scratch:
        log = os.path.join(scratch, "300-cycles.evt")
        open(log, "wb").write(cycles_log(300))
        failed, figures = 0, []
        for run in range(runs):
            problems, figure = run_once(replay, log, rng)
            for problem in problems:
                print("run %d: %s" % (run + 1, problem))
            failed += bool(problems)
            if figure:
                figures.append(figure)
    if figures:
        seconds = sorted(f[0] for f in figures)
        print("seed %d; run time %.2f to %.2f s (median %.2f); windows %s, GDI objects %s, handles %s, "
              "private bytes %s" % (
                  seed, seconds[0], seconds[-1], seconds[len(seconds) // 2],
                  sorted({f[2]["user"] for f in figures}), sorted({f[2]["gdi"] for f in figures}),
                  sorted({f[2]["handles"] for f in figures}),
                  "%d to %d" % (min(f[2]["private"] for f in figures), max(f[2]["private"] for f in figures))))
    print("soak: %d passed, %d failed" % (runs - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
