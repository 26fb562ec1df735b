#!/usr/bin/env python3
"""Measures every figure of the performance report and writes it as
Markdown. Run by scripts/bench, which builds the programs and provides Wine,
its prefix and a display."""
import datetime
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DATA = os.path.join(ROOT, "samples")
REAL_LOG = os.path.join(DATA, "SysEvent.Evt")
NATIVE = os.path.join(ROOT, "build", "native")
REPLAY = os.path.join(ROOT, "build", "win64", "tallyvane-replay.exe")
WITH_WINE = os.path.join(ROOT, "scripts", "with-wine")
RUNS = 5
sys.path.insert(0, os.path.join(ROOT, "tests", "tools"))
from evt_writer import cycles_log  # noqa: E402


def sh(*command, **kwargs):
    return subprocess.run(list(command), capture_output=True, text=True, check=True, **kwargs)


def scan_speed():
    """GB/s of the record walk over one full first read, median of RUNS repetitions."""
    out = sh(os.path.join(NATIVE, "benchmarks", "scan_bench"), "--benchmark_repetitions=%d" % RUNS,
             "--benchmark_format=json", env=dict(os.environ, TZ="UTC")).stdout
    figures = {}
    for bench in json.loads(out)["benchmarks"]:
        if bench.get("aggregate_name") == "median":
            figures[bench["run_name"]] = bench["bytes_per_second"] / 1e9
    return figures


def replay_ratio():
    """evtexport's mean time over evt-replay's, both in one hyperfine run; median of RUNS runs."""
    ratios, replay_ms, export_ms = [], [], []
    with tempfile.TemporaryDirectory() as scratch:
        for run in range(RUNS):
            result = os.path.join(scratch, "run%d.json" % run)
            sh("hyperfine", "-N", "--warmup", "5", "--runs", "40", "--export-json", result,
               "evtexport %s" % REAL_LOG, "%s %s" % (os.path.join(NATIVE, "tools", "evt-replay"), REAL_LOG))
            export, replay = (r["mean"] for r in json.load(open(result))["results"])
            ratios.append(export / replay)
            replay_ms.append(replay * 1e3)
            export_ms.append(export * 1e3)
    return statistics.median(ratios), statistics.median(replay_ms), statistics.median(export_ms)


def nop_start_ms():
    """What starting any statically linked glibc program costs here: the floor under evt-replay."""
    with tempfile.TemporaryDirectory() as scratch:
        source, program = os.path.join(scratch, "nop.c"), os.path.join(scratch, "nop")
        open(source, "w").write("int main(void) { return 0; }\n")
        sh("gcc", "-O2", "-static", source, "-o", program)
        result = os.path.join(scratch, "nop.json")
        sh("hyperfine", "-N", "--warmup", "5", "--runs", "100", "--export-json", result, program)
        return json.load(open(result))["results"][0]["mean"] * 1e3


def replay_timings(log, clicks):
    """One run of the whole program over `log`: its --timings figures, plus
    start-to-shown from the moment Wine was asked to start it."""
    started = time.time() * 1e3
    arguments = [WITH_WINE, REPLAY, log, "--dump", "--timings"] + [a for c in clicks for a in ("--click", str(c))]
    done = subprocess.run(arguments, capture_output=True, text=True, timeout=120)
    figures = {}
    for line in done.stderr.splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[0] in ("timing", "memory"):
            figures.setdefault(parts[1], []).append(float(parts[2]))
    figures["start-to-shown-ms"] = [figures.pop("shown-at-unix-ms")[0] - started]
    return figures


def window_figures(log, clicks):
    runs = [replay_timings(log, clicks) for _ in range(RUNS)]
    return {name: statistics.median(value for run in runs for value in run[name]) for name in runs[0]}


def cpu_seconds(pid):
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def idle_cpu_share(seconds=10):
    """CPU share of one core used by the shown, idle window (its process and
    Wine's server, which every polled PeekMessage calls), over `seconds`."""
    program = subprocess.Popen([WITH_WINE, REPLAY, REAL_LOG], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        window = ""
        for _ in range(200):
            window = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Tallyvane Version"],
                                    capture_output=True, text=True).stdout.split()
            if window:
                break
            time.sleep(0.05)
        time.sleep(1)
        pids = [int(p) for p in sh("pgrep", "-f", "tallyvane-replay.exe").stdout.split()]
        server = [int(p) for p in sh("pgrep", "-x", "wineserver64").stdout.split()
                  or sh("pgrep", "-f", "wineserver").stdout.split()]
        before = {pid: cpu_seconds(pid) for pid in pids + server}
        time.sleep(seconds)
        after = {pid: cpu_seconds(pid) for pid in pids + server}
        program_share = sum(after[p] - before[p] for p in pids) / seconds
        server_share = sum(after[p] - before[p] for p in server) / seconds
        window = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Tallyvane Version"],
                                capture_output=True, text=True).stdout.split()
        subprocess.run(["xdotool", "key", "--window", window[0], "Escape"], capture_output=True)
        program.wait(timeout=30)
        return program_share * 100, server_share * 100
    finally:
        if program.poll() is None:
            program.kill()


def idle_probe():
    """The same loop without the program: Sleep(1) alone, then with an empty PeekMessageA."""
    out = sh(WITH_WINE, os.path.join(ROOT, "build", "win64", "idle_loop_probe.exe"), "10").stdout
    return [line.split(": ", 1) for line in out.splitlines() if ": " in line]


def machine():
    model = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")),
                 platform.processor())
    return "%s, %d cores, %s, Linux %s, %s" % (model, os.cpu_count(), platform.machine(), platform.release(),
                                              sh("/usr/lib/wine/wine64", "--version").stdout.strip())


def main():
    output = sys.argv[1]
    with tempfile.TemporaryDirectory() as scratch:
        empty, many = os.path.join(scratch, "empty.evt"), os.path.join(scratch, "10000-cycles.evt")
        open(empty, "wb").write(cycles_log(0))
        open(many, "wb").write(cycles_log(10000))
        scan = scan_speed()
        ratio, replay_ms, export_ms = replay_ratio()
        floor_ms = nop_start_ms()
        empty_window = window_figures(empty, [])
        big_window = window_figures(many, [1])
        idle = [idle_cpu_share() for _ in range(RUNS)]
        probe = idle_probe()
    program_idle = statistics.median(i[0] for i in idle)
    server_idle = statistics.median(i[1] for i in idle)

    rows = [
        ("Record walk, real XP log, one full first read", "%.1f GB/s" % scan["ScanRealLog"], "≥ 5 GB/s",
         "`build/native/benchmarks/scan_bench --benchmark_repetitions=5`"),
        ("Record walk, synthetic log of the same mix", "%.1f GB/s" % scan["ScanSyntheticLog"], "≥ 5 GB/s", "same"),
        ("`evt-replay` against `evtexport`, real XP log (one hyperfine run)",
         "%.0f× faster (%.2f ms against %.1f ms)" % (ratio, replay_ms, export_ms), "≥ 100×",
         "`hyperfine -N --warmup 5 --runs 40 'evtexport SysEvent.Evt' 'build/native/tools/evt-replay SysEvent.Evt'`"),
        ("Start of a static program that does nothing (the floor under `evt-replay`)", "%.2f ms" % floor_ms, "",
         "`hyperfine -N ./nop` (gcc -static)"),
        ("Start-up to window shown, empty log (Wine warm)", "%.0f ms" % empty_window["start-to-shown-ms"],
         "< 300 ms", "`tallyvane-replay.exe empty.evt --dump --timings`, from launching it under Wine"),
        ("Start-up to window shown, 10,000 cycles", "%.0f ms" % big_window["start-to-shown-ms"], "",
         "`tallyvane-replay.exe 10000-cycles.evt --dump --timings --click 1`"),
        ("End of scan to window shown, 10,000 cycles", "%.0f ms" % big_window["scan-end-to-shown-ms"], "< 300 ms",
         "same"),
        ("Header-click sort of 10,000 rows, renumbering included", "%.0f ms" % big_window["click-sort-ms"],
         "< 250 ms", "same"),
        ("Close (WM_CLOSE and destruction), 10,000 rows", "%.0f ms" % big_window["close-ms"], "< 100 ms", "same"),
        ("Idle CPU of the shown window's polling loop, over 10 s", "%.1f%% of a core (and %.1f%% in wineserver)" % (
            program_idle, server_idle), "< 2%", "`tallyvane-replay.exe SysEvent.Evt`, /proc CPU times"),
    ] + [("Without the program, under Wine: " + name, figure, "", "`build/win64/idle_loop_probe.exe 10`")
         for name, figure in probe] + [
        ("Peak memory with 10,000 cycles (private bytes)",
         "%.1f MB (working set %.1f MB, Wine's DLLs included)" % (big_window["peak-private-bytes"] / 1e6,
                                                                  big_window["peak-working-set-bytes"] / 1e6),
         "< 20 MB", "`GetProcessMemoryInfo` at the end of the 10,000-cycle run"),
    ]
    lines = [
        "# Performance",
        "",
        "Written by `scripts/bench` on %s." % datetime.date.today().isoformat(),
        "",
        "Machine: %s." % machine(),
        "",
        "Each figure is the median of %d runs. The Windows figures are of the x86-64 build under Wine on a" % RUNS,
        "virtual display (Xvfb), with Wine warm (a persistent wineserver).",
        "",
        "| Figure | Median | Target | Command |",
        "|---|---|---|---|",
    ] + ["| %s | %s | %s | %s |" % row for row in rows]
    open(output, "w").write("\n".join(lines) + "\n")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
