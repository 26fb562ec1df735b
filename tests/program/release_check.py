#!/usr/bin/env python3
"""The program itself as a user starts it, under Wine, whose System log is
empty: tallyvane.exe shows its window titled with 0 items, and a user's
Escape or click on Close ends it with exit code 0, quickly.

    release_check.py TALLYVANE.exe CLOSE_WINDOW.exe escape|button

Both programs run through scripts/with-wine, in the prefix for their
machine; close-window.exe finds the window, prints its title and gives the
input. The display comes from the environment (scripts/test sets it up).
"""
import os
import subprocess
import sys
import time

WITH_WINE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "with-wine")
TITLE = "Tallyvane Version1.0 - Shows 0 items - Orvensmith: https://www.orvensmith.com"
START_LIMIT = 90  # seconds until the window shows; 32-bit Wine under qemu starts slowly
CLOSE_LIMIT = 10  # seconds from the closing input to the end of the process


def main():
    program, closer, how = sys.argv[1:4]
    process = subprocess.Popen([WITH_WINE, program], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    failures = []
    try:
        closing = subprocess.run([WITH_WINE, closer, "Tallyvane Version", how], capture_output=True, text=True,
                                 timeout=START_LIMIT)
        closed_at = time.monotonic()
        if closing.returncode != 0:
            failures.append("close-window exit code %d: %s" % (closing.returncode, closing.stderr.strip()))
        if closing.stdout.strip() != TITLE:
            failures.append("title %r, want %r" % (closing.stdout.strip(), TITLE))
        status = process.wait(timeout=CLOSE_LIMIT)
        seconds = time.monotonic() - closed_at
        if status != 0:
            failures.append("exit code %d" % status)
        print("closed with %s: the process ended %.1f s after the input" % (how, seconds))
    except subprocess.TimeoutExpired as expired:
        failures.append("%s did not end within %d s" % (" ".join(expired.cmd[1:]), expired.timeout))
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
            failures.append("the program was still running; killed")
    for line in failures:
        print("FAIL " + line)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
