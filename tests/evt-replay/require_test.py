#!/usr/bin/env python3
"""Every check that needs a tool or Python module from outside the project,
run where that tool or module is missing: it must fail (exit code 1) with
exactly one line, "needs WHAT: install PACKAGE...", and not with a traceback
or a "command not found" halfway. Each package it names must be one that
scripts/install-deps installs, and the very package that holds the command
or module on this machine (dpkg -S), so that the line tells the truth.

    require_test.py ROOT

Commands go missing with an empty PATH (an absolute path such as
/usr/bin/time stays found); modules with None in sys.modules.
"""
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..")
sys.path.insert(0, os.path.join(ROOT, "tests", "evt-replay"))
import require  # noqa: E402

BASH = "/bin/bash"
EVT = os.path.join(ROOT, "samples", "SysEvent.Evt")
EVTX = os.path.join(ROOT, "samples", "System.evtx")
MINGW = [("%s-%s" % (prefix, tool), package % machine)
         for prefix, machine in (("i686-w64-mingw32", "i686"), ("x86_64-w64-mingw32", "x86-64"))
         for tool, package in (("windres", "binutils-mingw-w64-%s"), ("g++-win32", "g++-mingw-w64-%s-win32"),
                               ("g++-posix", "g++-mingw-w64-%s-posix"))]
LOG_TOOLS = [("hyperfine", "hyperfine"), ("evtexport", "libevt-utils"), ("evtxexport", "libevtx-utils"),
             ("/usr/bin/time", "time"), ("gcc", "gcc"), ("g++", "g++")]

# (check, its command line from the root, modules made missing, what it needs: [(command or module, package)])
CASES = [
    ("evt-replay against evtexport", ["tests/evt-replay/evt_replay_check.py", "real", "/nonexistent/evt-replay", EVT],
     [], [("evtexport", "libevt-utils")]),
    ("the same with standard input closed",
     ["tests/evt-replay/evt_replay_check.py", "real-stdin-closed", "/nonexistent/evt-replay", EVT],
     [], [("evtexport", "libevt-utils")]),
    ("damaged copies of the XP log", ["tests/evt-replay/evt_replay_check.py", "damaged", "/nonexistent/evt-replay", EVT],
     [], [("evtexport", "libevt-utils")]),
    ("evt-replay's options", ["tests/evt-replay/evt_replay_options_check.py", "/nonexistent/evt-replay", EVT, EVTX],
     [], [("evtexport", "libevt-utils"), ("evtxexport", "libevtx-utils")]),
    ("the same without python3-evtx", ["tests/evt-replay/evt_replay_options_check.py", "/nonexistent/evt-replay", EVT, EVTX],
     ["Evtx"], [("module Evtx.Evtx", "python3-evtx")]),
    ("evt-replay against python3-evtx", ["tests/evt-replay/evtx_check.py", "sample", "/nonexistent/evt-replay", EVTX],
     ["Evtx"], [("module Evtx.Evtx", "python3-evtx")]),
    ("the damaged .evtx files", ["tests/evt-replay/evtx_check.py", "damaged", "/nonexistent/evt-replay", EVTX],
     ["Evtx"], [("module Evtx.Evtx", "python3-evtx")]),
    ("the built program's file check", ["tests/resources/check_pe.py", "/nonexistent/tallyvane.exe", "x86"],
     ["pefile"], [("module pefile", "python3-pefile")]),
    ("the resources' tests", ["tests/resources/test_resources.py"], [], MINGW),
    ("the performance report", ["benchmarks/report.py", "/nonexistent/performance.md"], [],
     LOG_TOOLS + [("xdotool", "xdotool"), ("pgrep", "procps")]),
    ("the log-reading figures alone", ["benchmarks/report.py", "--logs"], [], LOG_TOOLS),
    ("the reproducible package", [BASH, "tests/package/reproducible.sh", ROOT], [],
     [("git", "git"), ("unzip", "unzip")]),
    ("the Debian package's check", [BASH, "tests/package/deb_contents.sh", ROOT], [],
     [("lintian", "lintian"), ("dpkg-shlibdeps", "dpkg-dev"), ("file", "file")]),
    ("the fuzz seeds' coverage", [BASH, "tests/fuzz/corpus_coverage.sh", "/nonexistent/build", ROOT], [],
     [("clang++", "clang"), ("llvm-profdata", "llvm"), ("llvm-cov", "llvm")]),
]

# Runs a Python check with `blocked` modules missing, as if never installed.
BLOCKING = ("import runpy, sys\n"
            "for name in sys.argv[1].split(','):\n"
            "    sys.modules[name] = None\n"
            "sys.argv = sys.argv[2:]\n"
            "runpy.run_path(sys.argv[0], run_name='__main__')\n")


def installed_by_install_deps():
    listed = subprocess.run([BASH, "-c", 'source scripts/install-deps && printf "%s\\n" "${packages[@]}"'],
                            cwd=ROOT, capture_output=True, text=True, check=True).stdout.split()
    return set(listed)


def owner(path):
    """The Debian package that installed `path` (under the name found, or where it leads), or None."""
    for name in (path, os.path.realpath(path)):
        done = subprocess.run(["dpkg", "-S", name], capture_output=True, text=True)
        if done.returncode == 0:
            return done.stdout.splitlines()[-1].split(":", 1)[0]
    return None


def file_of(name):
    """Where the command or module `name` is on this machine, or None."""
    if name.startswith("module "):
        try:
            module = require.module(name.split()[1], "the test's own")
        except SystemExit:
            return None
        return module.__file__
    return shutil.which(name)


def expected_line(needs):
    """The one line require.py and require.sh give for `needs` where every command is missing
    that an empty PATH hides."""
    missing = [(name, package) for name, package in needs
               if not (os.path.isabs(name) and os.access(name, os.X_OK))]
    names = ", ".join("the Python module %s (%s)" % (name.split()[1].split(".")[0], sys.executable)
                      if name.startswith("module ") else name for name, _ in missing)
    return "needs %s: install %s" % (names, " ".join(dict.fromkeys(package for _, package in missing)))


def main():
    installed = installed_by_install_deps()
    failures, checked = [], 0
    with tempfile.TemporaryDirectory() as empty:
        for what, command, blocked, needs in CASES:
            if command[0] != BASH:
                command = [sys.executable, "-c", BLOCKING, ",".join(blocked) or "-"] + command
            done = subprocess.run(command, cwd=ROOT, env=dict(os.environ, PATH=empty) if not blocked else None,
                                  capture_output=True, text=True, timeout=60)
            lines = (done.stdout + done.stderr).splitlines()
            want = expected_line(needs)
            if done.returncode != 1 or lines != [want]:
                failures.append("%s: exit code %d, output %r; expected exit code 1 and %r" % (
                    what, done.returncode, lines[:6], want))
            for name, package in needs:
                checked += 1
                if package not in installed:
                    failures.append("%s: %s is not among the packages scripts/install-deps installs" % (
                        what, package))
                path = file_of(name)
                if path is None:
                    failures.append("%s: %s is not on this machine, so its package is unconfirmed" % (what, name))
                elif owner(path) != package:
                    failures.append("%s: %s (%s) comes from %s, not %s" % (what, name, path, owner(path), package))
    for failure in failures:
        print("FAIL " + failure)
    print("require: %d checks run without what they need, %d packages checked, %d failures" % (len(CASES), checked, len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
