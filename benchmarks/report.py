#!/usr/bin/env python3
"""Measures every figure of the performance report and writes it as
Markdown. Run by scripts/bench, which builds the programs and provides Wine,
its prefix and a display. `report.py --window`, given the same, measures only
the window's figures and prints their rows; `report.py --logs` only the
log-reading figures (native programs, no Wine)."""
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
LIST_VIEW_PROBE = os.path.join(ROOT, "build", "win64", "list_view_probe.exe")
WITH_WINE = os.path.join(ROOT, "scripts", "with-wine")
EVT_REPLAY = os.path.join(NATIVE, "evt-replay", "evt-replay")
SYSTEM_EVTX = os.path.join(DATA, "System.evtx")
BIG_EVTX = os.path.join(ROOT, "build", "big64.evtx")
DAMAGED_EVTX = os.path.join(ROOT, "build", "big64-damaged.evtx")
RUNS = 5
sys.path.insert(0, os.path.join(ROOT, "tests", "evt-replay"))
from evt_writer import cycles_log  # noqa: E402
import require  # noqa: E402

# What the figures are measured with, by Debian package; the window's figures
# also need Wine, which scripts/bench has warmed up.
LOG_TOOLS = {"hyperfine": "hyperfine", "evtexport": "libevt-utils", "evtxexport": "libevtx-utils",
             "/usr/bin/time": "time", "gcc": "gcc", "g++": "g++"}
IDLE_TOOLS = {"xdotool": "xdotool", "pgrep": "procps"}


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


def hyperfine_cpu_ms(commands, runs, warmup):
    """One hyperfine run of `commands` (each a list of words): each one's mean CPU time
    (user + system) per run, in ms, in the order given."""
    with tempfile.TemporaryDirectory() as scratch:
        result = os.path.join(scratch, "result.json")
        sh("hyperfine", "-N", "--warmup", str(warmup), "--runs", str(runs), "--export-json", result,
           *(" ".join(command) for command in commands))
        return [(r["user"] + r["system"]) * 1e3 for r in json.load(open(result))["results"]]


def nop_programs(scratch):
    """Two programs that do nothing, the floors under evt-replay: one linked statically with
    glibc, and one linked as evt-replay is, dynamically with the C and C++ libraries (which
    --no-as-needed keeps although it calls neither)."""
    source = os.path.join(scratch, "nop.c")
    open(source, "w").write("int main(void) { return 0; }\n")
    static, dynamic = os.path.join(scratch, "nop-static"), os.path.join(scratch, "nop-dynamic")
    sh("gcc", "-O2", "-static", source, "-o", static)
    sh("g++", "-x", "c", "-O2", source, "-x", "none", "-Wl,--no-as-needed", "-lstdc++", "-o", dynamic)
    return static, dynamic


def evt_cpu(nops):
    """CPU time per run on the real XP log of both do-nothing programs, evt-replay and evtexport,
    the four in one hyperfine run so that they meet the same load; medians of RUNS runs, and
    the medians of the ratios taken run by run."""
    static, dynamic = nops
    runs = [hyperfine_cpu_ms([[static], [dynamic], [EVT_REPLAY, REAL_LOG], ["evtexport", REAL_LOG]], 40, 5)
            for _ in range(RUNS)]
    return {"nop-ms": statistics.median(r[0] for r in runs), "dynamic-nop-ms": statistics.median(r[1] for r in runs),
            "replay-ms": statistics.median(r[2] for r in runs), "export-ms": statistics.median(r[3] for r in runs),
            "replay-over-nop": statistics.median(r[2] / r[0] for r in runs),
            "replay-over-dynamic-nop": statistics.median(r[2] / r[1] for r in runs),
            "export-over-replay": statistics.median(r[3] / r[2] for r in runs)}


def evtx_cpu(log, repeats, export_runs, replay_runs):
    """CPU time per run of evt-replay and of evtxexport on the .evtx `log`, each repeat one
    hyperfine run of each, back to back; medians over the repeats, the ratio taken repeat by repeat."""
    replay, export = [], []
    for _ in range(repeats):
        export += hyperfine_cpu_ms([["evtxexport", log]], export_runs, 0)
        replay += hyperfine_cpu_ms([[EVT_REPLAY, log]], replay_runs, 2)
    return {"replay-ms": statistics.median(replay), "export-ms": statistics.median(export),
            "ratio": statistics.median(e / r for e, r in zip(export, replay))}


def evtx_speed(log):
    """Bytes per second of ParseEvtxImage over the whole of `log` in memory, median of RUNS repetitions."""
    out = sh(os.path.join(NATIVE, "benchmarks", "evtx_bench"), log, "--benchmark_repetitions=%d" % RUNS,
             "--benchmark_format=json").stdout
    return next(b["bytes_per_second"] for b in json.loads(out)["benchmarks"] if b.get("aggregate_name") == "median")


def peak_memory_bytes(log, more=()):
    """evt-replay's maximum resident set over `log` (and the arguments `more`), median of
    RUNS runs: the largest of the process's and its workers', as wait4 gives it to time."""
    peaks = []
    for _ in range(RUNS):
        done = sh("/usr/bin/time", "-f", "%M", EVT_REPLAY, log, *more)
        peaks.append(int(done.stderr.strip().splitlines()[-1]) * 1024)
    return statistics.median(peaks)


def fleet_wall(logs, runs):
    """Wall time of evt-replay over `logs` with one worker and with one per core, from one
    hyperfine run of the two, after checking that both write the same bytes."""
    one, every = [EVT_REPLAY, "-j", "1"] + logs, [EVT_REPLAY] + logs
    if sh(*one).stdout != sh(*every).stdout:
        sys.exit("evt-replay wrote another output with every core than with one worker")
    with tempfile.TemporaryDirectory() as scratch:
        result = os.path.join(scratch, "result.json")
        sh("hyperfine", "-N", "--warmup", "1", "--runs", str(runs), "--export-json", result,
           " ".join(one), " ".join(every))
        means = [r["mean"] for r in json.load(open(result))["results"]]
    return {"one-s": means[0], "every-s": means[1], "ratio": means[1] / means[0]}


def fleet_rows(scratch):
    """The fleet's rows: 200 copies of the Windows 7 log and 8 of the 64 MB one, read with
    one worker and with one per core, and the peak memory of a worker against the file's size."""
    small = os.path.join(scratch, "fleet")
    os.makedirs(small, exist_ok=True)
    smalls = []
    for i in range(200):
        smalls.append(os.path.join(small, "machine-%03d.evtx" % i))
        os.symlink(SYSTEM_EVTX, smalls[-1])
    bigs = []
    for i in range(8):
        bigs.append(os.path.join(small, "big-%d.evtx" % i))
        os.symlink(big_evtx(), bigs[-1])
    small_wall, big_wall = fleet_wall(smalls, 5), fleet_wall(bigs, 3)
    peak, size = peak_memory_bytes(BIG_EVTX, ["-j", "1"]), os.path.getsize(BIG_EVTX)
    fleet_peak = peak_memory_bytes(bigs[0], [] + bigs[1:])
    cores = os.cpu_count()

    def wall(figures):
        return "%.2f× (%.2f s against %.2f s)" % (figures["ratio"], figures["every-s"], figures["one-s"])

    return [
        ("Fleet of 200 copies of the Windows 7 System.evtx: wall time with one worker per core (%d) against one "
         "worker" % cores, wall(small_wall), "≤ 0.6× on 2 cores",
         "`hyperfine -N --runs 5 'evt-replay -j 1 fleet/*' 'evt-replay fleet/*'`, the outputs compared first"),
        ("Fleet of 8 copies of the 64 MB log: the same", wall(big_wall), "≤ 0.6× on 2 cores",
         "`hyperfine -N --runs 3 'evt-replay -j 1 big-*' 'evt-replay big-*'`"),
        ("Peak memory of `evt-replay`, 64 MB .evtx log, against the file's size",
         "%.3f× (%.1f MiB of %.1f MiB; a quarter and 16 MiB: %.1f MiB)" % (peak / size, peak / 2 ** 20, size / 2 ** 20,
                                                                          size / 4 / 2 ** 20 + 16),
         "≤ a quarter + 16 MiB", "`/usr/bin/time -f %M build/native/evt-replay/evt-replay -j 1 build/big64.evtx`"),
        ("Peak memory of a worker, fleet of 8 copies of the 64 MB log, against one file's size",
         "%.3f× (%.1f MiB)" % (fleet_peak / size, fleet_peak / 2 ** 20), "≤ a quarter + 16 MiB",
         "`/usr/bin/time -f %M evt-replay big-*`: the largest of the process and its workers"),
    ]


def big_evtx(path=BIG_EVTX, *how):
    """A 64 MB .evtx log scripts/bench makes, made here when it is missing: sound, or
    with `how` "damaged", every chunk header zeroed and every tenth record spoilt."""
    if not os.path.exists(path):
        sh(sys.executable, os.path.join(ROOT, "benchmarks", "make_big_evtx.py"), SYSTEM_EVTX, path, "64", *how)
    return path


def log_rows(scratch):
    """The log-reading rows of the report: the record walk, evt-replay against the do-nothing
    program and the exporters on each sample, and the .evtx reader on the 64 MB log."""
    scan = scan_speed()
    evt = evt_cpu(nop_programs(scratch))
    small = evtx_cpu(SYSTEM_EVTX, RUNS, 5, 20)
    big = big_evtx()
    speed = evtx_speed(big)
    damaged_speed = evtx_speed(big_evtx(DAMAGED_EVTX, "damaged"))
    large = evtx_cpu(big, 3, 1, 10)

    def against(ratio, replay_ms, export_ms):
        return "%.0f× faster (%.2f ms against %.0f ms)" % (ratio, replay_ms, export_ms)

    return [
        ("Record walk, real XP log, one full first read", "%.1f GB/s" % scan["ScanRealLog"], "≥ 5 GB/s",
         "`build/native/benchmarks/scan_bench --benchmark_repetitions=5`"),
        ("Record walk, synthetic log of the same mix", "%.1f GB/s" % scan["ScanSyntheticLog"], "≥ 5 GB/s", "same"),
        ("CPU time (user + system) per run, real XP log: a program that does nothing, static and linked "
         "dynamically as `evt-replay` is; `evt-replay`; `evtexport`",
         "%.2f ms, %.2f ms; %.2f ms; %.0f ms" % (evt["nop-ms"], evt["dynamic-nop-ms"], evt["replay-ms"],
                                                  evt["export-ms"]), "",
         "`hyperfine -N --warmup 5 --runs 40 ./nop-static ./nop-dynamic 'build/native/evt-replay/evt-replay "
         "SysEvent.Evt' 'evtexport SysEvent.Evt'` (nop-static: gcc -static; nop-dynamic: g++ "
         "-Wl,--no-as-needed, the C and C++ libraries), its user and system means"),
        ("`evt-replay` (linked dynamically) against the do-nothing program linked as it is, CPU time, real XP log",
         "%.2f×" % evt["replay-over-dynamic-nop"], "≤ 2×", "the same runs"),
        ("`evt-replay` against the static do-nothing program, CPU time, real XP log", "%.2f×" % evt["replay-over-nop"],
         "", "the same runs"),
        ("`evtexport` against `evt-replay`, CPU time, real XP log",
         against(evt["export-over-replay"], evt["replay-ms"], evt["export-ms"]), "≥ 100×", "the same runs"),
        ("`evtxexport` against `evt-replay`, CPU time, Windows 7 System.evtx (2.1 MB)",
         against(small["ratio"], small["replay-ms"], small["export-ms"]), "≥ 100×",
         "`hyperfine -N --runs 5 'evtxexport System.evtx'`, then `hyperfine -N --warmup 2 --runs 20 "
         "'build/native/evt-replay/evt-replay System.evtx'`, user and system means"),
        (".evtx reader, 64 MB log (1023 chunks), one core", "%.2f GB/s" % (speed / 1e9), "≥ 1 GB/s",
         "`build/native/benchmarks/evtx_bench build/big64.evtx --benchmark_repetitions=5`"),
        (".evtx reader, the same log with every chunk header zeroed and every tenth record spoilt, one core",
         "%.2f GB/s, %.2f× the sound log's" % (damaged_speed / 1e9, damaged_speed / speed), "≥ 0.25×",
         "`build/native/benchmarks/evtx_bench build/big64-damaged.evtx --benchmark_repetitions=5` "
         "(`make_big_evtx.py ... 64 damaged`)"),
        ("`evtxexport` against `evt-replay`, CPU time, 64 MB .evtx log (3 runs of `evtxexport`)",
         against(large["ratio"], large["replay-ms"], large["export-ms"]), "≥ 300×",
         "`hyperfine -N --runs 1 'evtxexport big64.evtx'`, then `hyperfine -N --warmup 2 --runs 10 "
         "'build/native/evt-replay/evt-replay big64.evtx'`, three times"),
    ] + fleet_rows(scratch) + power_rows()


def power_rows():
    """The power history's rows: --power's CPU time on the 64 MB log against the default
    output's, and its peak memory against the file's size."""
    big = big_evtx()
    plain, power = hyperfine_cpu_ms([[EVT_REPLAY, "-j", "1", big], [EVT_REPLAY, "-j", "1", "--power", big]], 20, 3)
    peak, size = peak_memory_bytes(big, ["-j", "1", "--power"]), os.path.getsize(big)
    return [
        ("`evt-replay --power` against the default output, CPU time, 64 MB .evtx log",
         "%.2f× (%.1f ms against %.1f ms)" % (power / plain, power, plain), "≤ 1.5×",
         "`hyperfine -N --warmup 3 --runs 20 'evt-replay -j 1 big64.evtx' 'evt-replay -j 1 --power big64.evtx'`, "
         "user and system means"),
        ("Peak memory of `evt-replay --power`, 64 MB .evtx log, against the file's size",
         "%.3f× (%.1f MiB; a quarter and 16 MiB: %.1f MiB)" % (peak / size, peak / 2 ** 20, size / 4 / 2 ** 20 + 16),
         "≤ a quarter + 16 MiB", "`/usr/bin/time -f %M evt-replay -j 1 --power build/big64.evtx`"),
    ]


def logs_only():
    """Measures and prints only the log-reading rows, for working on the readers."""
    with tempfile.TemporaryDirectory() as scratch:
        print("\n".join("| %s | %s | %s | %s |" % row for row in log_rows(scratch)))


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
    return figures, done.stdout


def probe_timings(arguments):
    """One run of the list-view probe: its timing lines, start-to-shown as for
    the program, and what it printed on stdout."""
    started = time.time() * 1e3
    done = subprocess.run([WITH_WINE, LIST_VIEW_PROBE] + arguments, capture_output=True, text=True, timeout=120)
    if done.returncode != 0:
        sys.exit("list_view_probe %s failed: %s" % (" ".join(arguments), done.stderr.strip()))
    figures = {}
    for line in done.stderr.splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[0] == "timing":
            figures[parts[1]] = float(parts[2])
    figures["start-to-shown-ms"] = figures.pop("shown-at-unix-ms") - started
    return figures, done.stdout


def window_figures(empty, many, scratch):
    """The program's window figures and those of the platform's floor under
    them (list_view_probe.exe), their runs interleaved so that both meet the
    same load: an empty log against an empty dialog, and 10,000 cycles with a
    click on column 1 against the same rows filled and sorted by the probe.
    Every probe run must end with the very rows the program shows, or the two
    did not do the same work. Medians of RUNS runs each."""
    rows = os.path.join(scratch, "10000-cycles.rows")
    with open(rows, "w") as out:
        subprocess.run([EVT_REPLAY, many], stdout=out, check=True)
    runs = {"empty": [], "big": [], "empty-floor": [], "big-floor": []}
    for _ in range(RUNS):
        runs["empty"].append(replay_timings(empty, [])[0])
        runs["empty-floor"].append(probe_timings(["--empty"])[0])
        figures, shown = replay_timings(many, [1])
        runs["big"].append(figures)
        figures, floor_shown = probe_timings([rows, "--dump"])
        runs["big-floor"].append(figures)
        if floor_shown != shown:
            sys.exit("list_view_probe's sorted rows differ from tallyvane-replay's: the figures would not compare")
    medians = {}
    for kind, figures in runs.items():
        medians[kind] = {name: statistics.median(value for run in figures
                                                 for value in (run[name] if isinstance(run[name], list) else [run[name]]))
                         for name in figures[0]}
    return medians


def window_rows(window):
    """The window's rows of the report: each figure, its floor, and their ratio."""
    empty, big, empty_floor, big_floor = window["empty"], window["big"], window["empty-floor"], window["big-floor"]

    def against(figure, floor):
        return "%.2f× (%.0f ms against %.0f ms)" % (figure / floor, figure, floor)

    return [
        ("Start-up to window shown, empty log (Wine warm)", "%.0f ms" % empty["start-to-shown-ms"],
         "< 300 ms", "`tallyvane-replay.exe empty.evt --dump --timings`, from launching it under Wine"),
        ("Floor: an empty dialog from the window's template, start-up to shown",
         "%.0f ms" % empty_floor["start-to-shown-ms"], "", "`list_view_probe.exe --empty`, the same way"),
        ("Start-up, empty log, against the empty dialog's",
         against(empty["start-to-shown-ms"], empty_floor["start-to-shown-ms"]), "≤ 1.5×", "the two above"),
        ("Start-up to window shown, 10,000 cycles", "%.0f ms" % big["start-to-shown-ms"], "",
         "`tallyvane-replay.exe 10000-cycles.evt --dump --timings --click 1`"),
        ("End of scan to window shown, 10,000 cycles", "%.0f ms" % big["scan-end-to-shown-ms"], "< 300 ms",
         "same"),
        ("Floor: a list view of the same columns filled with the same 10,000 rows (redraw off), fill to shown",
         "%.0f ms (%.0f ms with making the dialog and the list first)" % (big_floor["fill-to-shown-ms"],
                                                                        big_floor["window-to-shown-ms"]), "",
         "`list_view_probe.exe 10000-cycles.rows --dump` (the rows from `evt-replay`)"),
        ("End of scan to window shown, against the floor's fill to shown",
         against(big["scan-end-to-shown-ms"], big_floor["fill-to-shown-ms"])
         + "; %.2f× the floor with the dialog and list made" % (big["scan-end-to-shown-ms"]
                                                               / big_floor["window-to-shown-ms"]),
         "≤ 1.5×", "the two above; the program's span also makes its window"),
        ("Header-click sort of 10,000 rows, renumbering included", "%.0f ms" % big["click-sort-ms"],
         "< 250 ms", "`tallyvane-replay.exe 10000-cycles.evt --dump --timings --click 1`"),
        ("Floor: LVM_SORTITEMS of the same rows by column 1, strcmp of texts held in memory",
         "%.1f ms" % big_floor["sort-ms"], "", "`list_view_probe.exe 10000-cycles.rows --dump`"),
        ("Header-click sort against the floor's", against(big["click-sort-ms"], big_floor["sort-ms"]), "≤ 1.5×",
         "the two above"),
        ("Close (WM_CLOSE and destruction), 10,000 rows", "%.0f ms" % big["close-ms"], "< 100 ms",
         "`tallyvane-replay.exe 10000-cycles.evt --dump --timings --click 1`"),
    ]


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


def window_only():
    """Measures and prints only the window's rows, for working on the window."""
    with tempfile.TemporaryDirectory() as scratch:
        empty, many = os.path.join(scratch, "empty.evt"), os.path.join(scratch, "10000-cycles.evt")
        open(empty, "wb").write(cycles_log(0))
        open(many, "wb").write(cycles_log(10000))
        window = window_figures(empty, many, scratch)
    print("\n".join("| %s | %s | %s | %s |" % row for row in window_rows(window)))
    print("Peak memory with 10,000 cycles: %.1f MB private, working set %.1f MB" % (
        window["big"]["peak-private-bytes"] / 1e6, window["big"]["peak-working-set-bytes"] / 1e6))


def main():
    if sys.argv[1:] == ["--window"]:
        return window_only()
    if sys.argv[1:] == ["--logs"]:
        require.commands(LOG_TOOLS)
        return logs_only()
    require.commands(dict(LOG_TOOLS, **IDLE_TOOLS))
    output = sys.argv[1]
    with tempfile.TemporaryDirectory() as scratch:
        empty, many = os.path.join(scratch, "empty.evt"), os.path.join(scratch, "10000-cycles.evt")
        open(empty, "wb").write(cycles_log(0))
        open(many, "wb").write(cycles_log(10000))
        logs = log_rows(scratch)
        window = window_figures(empty, many, scratch)
        idle = [idle_cpu_share() for _ in range(RUNS)]
        probe = idle_probe()
    program_idle = statistics.median(i[0] for i in idle)
    server_idle = statistics.median(i[1] for i in idle)

    rows = logs + window_rows(window) + [
        ("Idle CPU of the shown window's polling loop, over 10 s", "%.1f%% of a core (and %.1f%% in wineserver)" % (
            program_idle, server_idle), "< 2%", "`tallyvane-replay.exe SysEvent.Evt`, /proc CPU times"),
    ] + [("Without the program, under Wine: " + name, figure, "", "`build/win64/idle_loop_probe.exe 10`")
         for name, figure in probe] + [
        ("Peak memory with 10,000 cycles (private bytes)",
         "%.1f MB (working set %.1f MB, Wine's DLLs included)" % (window["big"]["peak-private-bytes"] / 1e6,
                                                                  window["big"]["peak-working-set-bytes"] / 1e6),
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
