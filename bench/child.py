"""One measured run in a fresh interpreter; bench/driver.py starts it.

    child.py console  --side module|plain --url URL --dest DIR --size BYTES --out JSON
    child.py window   --side module|plain --url URL --dest DIR --size BYTES --out JSON [--probe]
    child.py callback --side module|plain --kind console|window|window-run --n N --nmax M
                      [--null-print] [--check JSON]

``module`` is the compiled ``updater``; ``plain`` is bench/plain_updater.py.
Both get the same rebinds: ``UPDATE_URL`` to the local server, ``sys`` to a
stand-in of a frozen build whose executable lies in DIR (so the download
lands there), ``replace_and_run`` to a no-op.  The process trusts the
server's CA through SSL_CERT_FILE, which the driver sets.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import sys
import threading
import time
import types
from time import perf_counter


def load(side: str):
    if side == "module":
        import updater as mod
    else:
        import plain_updater as mod
    return mod


def frozen_sys(dest: str) -> types.ModuleType:
    """A `sys` stand-in of a frozen build whose executable lies in `dest`."""
    fake = types.ModuleType("sys")
    fake.frozen = True
    fake.executable = os.path.join(dest, "updater.exe")
    fake._MEIPASS = os.path.join(dest, "_MEI-absent")
    fake.exit = sys.exit
    return fake


def vm_hwm_kib() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return -1


def prepare(mod, args, marks: dict) -> None:
    os.makedirs(args.dest, exist_ok=True)
    mod.UPDATE_URL = args.url
    mod.sys = frozen_sys(args.dest)

    def replace_and_run(new_exe):
        marks["complete"] = perf_counter()

    mod.replace_and_run = replace_and_run


def finish(mod, args, marks: dict, result: dict) -> None:
    target = os.path.join(args.dest, mod.TEMP_EXE_NAME)
    size = os.path.getsize(target) if os.path.exists(target) else -1
    result.update(
        side=args.side,
        bytes=size,
        ok=size == args.size and "complete" in marks,
        vm_hwm_kib=vm_hwm_kib(),
        ru_maxrss_kib=resource.getrusage(resource.RUSAGE_SELF).ru_maxrss,
    )
    if os.path.exists(target):
        os.remove(target)
    with open(args.out, "w") as out:
        json.dump(result, out)


# -- console ------------------------------------------------------------------


def run_console(args) -> None:
    mod = load(args.side)
    marks: dict = {}
    prepare(mod, args, marks)
    mod.TK_AVAILABLE = False
    cpu0 = time.process_time()
    t0 = perf_counter()
    mod.UpdaterGUI()
    t1 = perf_counter()
    cpu1 = time.process_time()
    sys.stdout.flush()
    finish(mod, args, marks, {"wall": t1 - t0, "cpu": cpu1 - cpu0})


# -- window -------------------------------------------------------------------


class AfterProbe:
    """Counts and times the root window's `after` calls, per thread and per step."""

    def __init__(self) -> None:
        self.main = threading.get_ident()
        self.worker_calls = 0
        self.worker_after = 0.0      # wall time inside after() on the worker
        self.worker_register = 0.0   # of which: creating the Tcl command
        self.worker_tcl_after = 0.0  # of which: the Tcl `after` call itself
        self.gui_runs = 0
        self.gui_run_time = 0.0      # wall time running the requests on the GUI thread

    def toolkit(self, marks: dict):
        """A stand-in for the `tk` global: the real widgets, a timed root window."""
        import tkinter
        probe = self

        class TimedTk(tkinter.Tk):
            def mainloop(self, n=0):
                marks["mainloop"] = perf_counter()
                return super().mainloop(n)

            # tkinter.Misc.after of CPython 3.12, with clocks around its two steps.
            def after(self, ms, func=None, *args):
                on_worker = threading.get_ident() != probe.main

                def callit():
                    start = perf_counter()
                    try:
                        func(*args)
                    finally:
                        probe.gui_run_time += perf_counter() - start
                        probe.gui_runs += 1
                        try:
                            self.deletecommand(name)
                        except tkinter.TclError:
                            pass

                try:
                    callit.__name__ = func.__name__
                except AttributeError:
                    callit.__name__ = type(func).__name__
                t0 = perf_counter()
                name = self._register(callit)
                t1 = perf_counter()
                ident = self.tk.call("after", ms, name)
                t2 = perf_counter()
                if on_worker:
                    probe.worker_calls += 1
                    probe.worker_register += t1 - t0
                    probe.worker_tcl_after += t2 - t1
                    probe.worker_after += t2 - t0
                return ident

        return types.SimpleNamespace(Tk=TimedTk, Frame=tkinter.Frame, Label=tkinter.Label)

    def as_dict(self) -> dict:
        return {k: v for k, v in vars(self).items() if k != "main"}


def run_window(args) -> None:
    mod = load(args.side)
    marks: dict = {}
    prepare(mod, args, marks)
    if not mod.TK_AVAILABLE:
        raise SystemExit("tkinter is not available")
    probe = None
    if args.probe:
        probe = AfterProbe()
        mod.tk = probe.toolkit(marks)

    download = mod.download_new_exe_with_progress

    # Stamps the start and end of the download on the worker thread; one call
    # per run, the same on both sides.
    def download_new_exe_with_progress(progress_callback):
        marks["download_start"] = perf_counter()
        worker_cpu0 = time.thread_time()
        try:
            return download(progress_callback)
        finally:
            marks["worker_cpu"] = time.thread_time() - worker_cpu0
            marks["download_end"] = perf_counter()

    mod.download_new_exe_with_progress = download_new_exe_with_progress
    cpu0 = time.process_time()
    t0 = perf_counter()
    mod.UpdaterGUI()
    t1 = perf_counter()
    cpu1 = time.process_time()
    result = {
        "to_download_end": marks["download_end"] - t0,
        "to_destroyed": t1 - t0,
        "to_destroyed_minus_500ms": t1 - t0 - 0.5,
        "download": marks["download_end"] - marks["download_start"],
        "until_worker_start": marks["download_start"] - t0,
        "completion_delay": marks.get("complete", float("nan")) - marks["download_end"],
        "cpu": cpu1 - cpu0,
        "worker_cpu": marks["worker_cpu"],
    }
    if probe is not None:
        result["probe"] = probe.as_dict()
        result["until_mainloop"] = marks["mainloop"] - t0
    finish(mod, args, marks, result)


# -- callback cost ------------------------------------------------------------


def run_callback(args) -> None:
    """Calls one progress callback N times with reports of a 64 KiB-block download.

    The report values are made for `nmax` reports before any call, so a run
    with N and one with 2N differ only by N calls (and N loop passes).
    """
    if args.null_print:
        import builtins

        # Before the import: the module binds `print` once when it loads.
        builtins.print = len
    mod = load(args.side)
    captured = []

    def capture(progress_callback):
        captured.append(progress_callback)
        return None  # a failed download: the caller queues and prints nothing more

    mod.download_new_exe_with_progress = capture
    texts: dict = {}
    queue: list = []
    if args.kind == "console":
        mod.TK_AVAILABLE = False
        mod.UpdaterGUI()
    else:
        if args.kind == "window":
            after = {}.get  # accepts (ms, request), keeps nothing: the request is freed at once
        else:
            after = queue.insert  # (0, request): the requests run right after the call
        owner = types.SimpleNamespace(
            root=types.SimpleNamespace(after=after),
            progress=types.SimpleNamespace(config=texts.update),
            speed_lbl=types.SimpleNamespace(config=texts.update),
        )
        mod.UpdaterGUI._run_update(owner)
    callback = captured[0]

    total = args.nmax * 65536
    percents = [(i + 1) * 65536 / total * 100 for i in range(args.nmax)]
    speeds = [(i + 1) * 65536 / 1024 / (0.002 * (i + 1) + 0.0005) for i in range(args.nmax)]
    counts = [(i + 1) * 65536 for i in range(args.nmax)]
    n = args.n
    seen = []

    if args.check:
        # Collect what the callback produces, to compare the two sides.
        import builtins
        import io

        sink = io.StringIO()
        real_stdout = sys.stdout
        sys.stdout = sink
        try:
            for i in range(n):
                callback(percents[i], speeds[i], True, counts[i])
                callback(0, speeds[i], False, counts[i])
                while queue:
                    queue.pop()()
                    seen.append(dict(texts))
        finally:
            sys.stdout = real_stdout
        with open(args.check, "w") as out:
            json.dump({"printed": sink.getvalue().splitlines(), "requests": seen,
                       "print_is_len": builtins.print is len}, out)
        return

    if args.kind == "loop":
        for i in range(n):
            percents[i]; speeds[i]; counts[i]  # noqa: B018 - the loop's own cost
    elif args.kind == "window-run":
        pop = queue.pop
        for i in range(n):
            callback(percents[i], speeds[i], True, counts[i])
            pop()()
            pop()()
    else:
        for i in range(n):
            callback(percents[i], speeds[i], True, counts[i])
    sys.stdout.flush()


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("what", choices=("console", "window", "callback"))
    parser.add_argument("--side", choices=("module", "plain"), required=True)
    parser.add_argument("--url")
    parser.add_argument("--dest")
    parser.add_argument("--size", type=int)
    parser.add_argument("--out")
    parser.add_argument("--probe", action="store_true")
    parser.add_argument("--kind", choices=("console", "window", "window-run", "loop"), default="console")
    parser.add_argument("--n", type=int, default=1000)
    parser.add_argument("--nmax", type=int, default=0)
    parser.add_argument("--null-print", action="store_true")
    parser.add_argument("--check")
    args = parser.parse_args()
    if args.what == "console":
        run_console(args)
    elif args.what == "window":
        run_window(args)
    else:
        args.nmax = max(args.nmax, args.n)
        run_callback(args)


if __name__ == "__main__":
    main()
