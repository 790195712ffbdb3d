"""Writes bench/RESULTS.md from pyperf's files and the callgrind counts in bench/out/ (bench/run.sh runs it)."""

import argparse
import hashlib
import json
import ssl
import statistics
import subprocess
import sys
import tkinter
from pathlib import Path

import pyperf

BENCH = Path(__file__).resolve().parent
OUT = BENCH / "out"


MIB = 1024 * 1024


def load(name):
    return pyperf.Benchmark.load(str(OUT / f"{name}.json"))


def compare(ref, changed):
    """pyperf's own comparison, as it prints it."""
    return subprocess.run([sys.executable, "-m", "pyperf", "compare_to", "-v", str(OUT / f"{ref}.json"),
                           str(OUT / f"{changed}.json")], capture_output=True, text=True, check=True).stdout.strip()


def verdict(ok):
    return "**met**" if ok else "**NOT met**"


def sync_cost(mib, pyperf_out):
    """The section on the module's sync of the download: the console update on
    tmpfs and on a disk, each side's mean time."""
    rows, differences = [], []
    for files in ("console", "console-disk"):
        plain, module = load(f"plain-{files}"), load(f"module-{files}")
        if files != "console":
            pyperf_out.append(compare(f"plain-{files}", f"module-{files}"))
        differences.append(module.mean() - plain.mean())
        where = module.get_metadata().get("download_fs", "?")
        rows.append(f"| {where} | {plain.mean() * 1000:.0f} ms +- {plain.stdev() * 1000:.0f} | "
                    f"{module.mean() * 1000:.0f} ms +- {module.stdev() * 1000:.0f} | "
                    f"{differences[-1] * 1000:+.0f} ms |")
    cost = differences[1] - differences[0]
    rate = f" (at {mib / cost:.0f} MiB/s)" if cost > 0 else ""
    return [
        "## What the sync of the download costs", "",
        f"The module forces the download to the disk once, after its last block (`f.flush()`, "
        f"`os.fsync(f.fileno())`); plain Python (bench/plain_updater.py) syncs nothing. The console update of "
        f"{mib} MiB (as in 1; the swap is a no-op, so the sync of the launcher's directory is not in these "
        "figures), mean time of pyperf's values +- their standard deviation:", "",
        "| the download lands on | plain Python, no sync | module, one sync | module - plain |",
        "|---|---|---|---|", *rows, "",
        f"Against plain Python, the module takes {cost * 1000:.0f} ms longer on the disk than on tmpfs, where a "
        f"sync has nothing to write: the price of writing the {mib} MiB download to the disk once{rate}. "
        "Nothing is paid per block: the sync comes after the loop (the callback's cost, 3a, has no sync in it).",
        "",
    ]


def main():
    parser = argparse.ArgumentParser()
    for option in ("--quick", "--mib", "--rounds", "--minutes"):
        parser.add_argument(option, type=int, required=True)
    args = parser.parse_args()
    cg = json.loads((OUT / "callgrind.json").read_text())
    rows, pyperf_out = [], []
    for number, kind, target, label in ((1, "console", 0.97, "Console"), (2, "window", 1.0, "Window")):
        text = compare(f"plain-{kind}", f"module-{kind}")
        pyperf_out.append(text)
        ratio = load(f"plain-{kind}").mean() / load(f"module-{kind}").mean()
        noise = ("too few values to test" if "ERROR" in text else
                 "not significant" if "Not significant" in text else "significant")
        rows.append((f"{number}. {label} download, {args.mib} MiB" + (" (Xvfb)" if kind == "window" else ""),
                     f"module >= {target}x plain Python throughput",
                     f"{ratio:.3f}x (pyperf's t-test of the difference: {noise})",
                     verdict(ratio >= target) + ("" if noise == "significant" else
                                                 " (not settled: the difference is within the noise)")))
    for part, kind in (("3a", "console"), ("3b", "window")):
        m, p = cg[kind]["module"]["net"], cg[kind]["plain"]["net"]
        rows.append((f"{part}. {kind.capitalize()} callback cost", "module <= 0.6x plain Python (instructions)",
                     f"{m / p:.3f}x ({m:.0f} vs {p:.0f} per report)", verdict(m / p <= 0.6)))
    peaks = {size: sorted(int(v) for v in (OUT / f"peak-{size}.txt").read_text().split()) for size in (16, 256)}
    grown = statistics.median(peaks[256]) - statistics.median(peaks[16])
    rows.append(("4. Peak memory, 16 vs 256 MiB", "differ by < 1 MiB",
                 f"{grown / 1024:+.0f} KiB (median VmHWM {statistics.median(peaks[16]) / MIB:.2f} vs "
                 f"{statistics.median(peaks[256]) / MIB:.2f} MiB over {len(peaks[16])} and {len(peaks[256])} runs)",
                 verdict(abs(grown) < MIB)))
    pyperf_out.append(compare("deps", "updater"))
    whole = load("updater").mean() - load("deps").mean()
    inproc = load("import-in-process")
    rows.append(("5. Import cost over dependencies", "< 5 ms", f"{inproc.mean() * 1000:.2f} ms +- "
                 f"{inproc.stdev() * 1000:.2f} ms in process (whole interpreters: {whole * 1000:+.2f} ms, within "
                 "their noise)", verdict(inproc.mean() < 0.005)))

    sync_section = sync_cost(args.mib, pyperf_out)
    console_runs = load("module-console")
    meta = console_runs.get_metadata()
    # Metadata that differ from run to run (the date, over several rounds) stay with the runs.
    meta.setdefault("date", min(run.get_metadata()["date"] for run in console_runs.get_runs()))
    so = Path(__import__("updater").__file__)
    loads = [run.get_metadata().get("load_avg_1min", 0) for f in OUT.glob("*.json") if f.stem != "callgrind"
             for run in pyperf.Benchmark.load(str(f)).get_runs()]
    cm, cp = cg["console"]["module"], cg["console"]["plain"]
    lines = ["# updater benchmarks", ""]
    if args.quick:
        lines += [f"**Quick run** (`bash bench/run.sh --quick`): a handful of runs, {args.mib} MiB bodies for the "
                  "throughput runs. It tries the benchmark out; its figures are not the result.", ""]
    lines += [
        f"Measured {meta['date'][:16]} by `bash bench/run.sh{' --quick' if args.quick else ''}` (whole run {args.minutes} min) "
        f"on {meta['cpu_model_name']}, {meta['cpu_count']} cores, {meta['platform']}; CPython "
        f"{meta['python_version']}, Tk {tkinter.Tcl().call('info', 'patchlevel')}, {ssl.OPENSSL_VERSION}; pyperf "
        f"{pyperf.__version__}; module `{so.name}` (pip install ., release build) sha256 "
        f"{hashlib.sha256(so.read_bytes()).hexdigest()[:16]}. One-minute load averages during the runs (pyperf's "
        f"metadata): {min(loads):.2f} to {max(loads):.2f}; the system was not tuned (`pyperf system tune`).", "",
        "| measure | target | measured | verdict |", "|---|---|---|---|",
        *("| " + " | ".join(row) + " |" for row in rows), "",
        f"Console callback: of the module's {cm['net']:.0f} instructions per report, the builtin `print` takes "
        f"{cm['builtin_print']:.0f} and `format()` of the two numbers {cm['PyObject_Format']:.0f} (plain: "
        f"{cp['builtin_print']:.0f} and {cp['PyObject_Format']:.0f} of {cp['net']:.0f}): the same CPython calls "
        "on both sides, which the module cannot make cheaper.", "",
        *sync_section,
        "## How", "",
        f"- 1, 2. pyperf's `bench_time_func` (bench/timing.py): each worker is a fresh interpreter that downloads "
        f"{args.mib} MiB over HTTPS from the local update server (tools/update_server.py, run by pyperf's "
        "main process, certificate from a throwaway trustme CA) into tmpfs, reports every 64 KiB block and ends "
        "with a no-op swap. Console: `UpdaterGUI()` call to return, lines to /dev/null. Window: real Tk under "
        "Xvfb, two `root.after(0, ...)` requests per block; from construction to the end of the download on the "
        "worker thread (the 500 ms completion delay is left out). The plain side is bench/plain_updater.py with "
        f"the same rebinds. Rounds: {args.rounds}, each side in turn (the order alternates), appended to one "
        "file per side; throughput ratio = plain mean time / module mean time. The sync's cost: the console "
        "update once more per side and round, with the download on a disk (`--into`: bench/out/disk, the work "
        "tree's file system, unless BENCH_DISK_DIR names another directory) instead of tmpfs.",
        f"- 3. bench/callgrind.py: `valgrind --tool=callgrind` runs of a fresh interpreter calling the callback "
        f"N = {cg['n']} and 2N times; per report = (Ir(2N) - Ir(N)) / N minus the calling loop's "
        f"{cg['loop']:.0f}. Window: the callback `_run_update` makes for a stand-in whose `root.after` is a "
        "dict's `get`. Both sides print the same lines and set the same widget texts: "
        f"{'yes' if cg['same_output'] else 'NO'}.",
        "- 4. `bench/timing.py peak`: fresh interpreters, each making one console update of the module, report "
        "their peak resident memory (VmHWM in /proc/self/status); 256 MiB median minus 16 MiB median. "
        "(pyperf's mem_max_rss comes from getrusage, which keeps the high-water mark of the process that "
        "started the worker: pyperf's main process, which holds the served body.)",
        "- 5. In process (the verdict): `import updater` after its dependencies, timed once per pyperf worker. "
        "Whole interpreters: `pyperf command` of `python -c 'import <its dependencies>'` against "
        "`python -c 'import updater'` (which imports them itself), difference of the means; tens of "
        "milliseconds of process start-up make it noise at this size.", "",
        "pyperf's comparisons (`pyperf compare_to -v`, ratios of mean times; files in bench/out/):", "", "```",
        *("\n".join(pyperf_out).splitlines()), "```", "",
        "The commands, run from the top of the work tree (each round's once):", "", "```",
        *dict.fromkeys(((OUT / "commands.txt").read_text() + f"# one of its runs:\n{cg['command']}")
                       .replace(f"{BENCH.parent}/", "").splitlines()), "```", ""]
    (BENCH / "RESULTS.md").write_text("\n".join(lines))


if __name__ == "__main__":
    main()
