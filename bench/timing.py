"""Wall-clock and memory benchmarks of one side on pyperf; bench/run.sh runs them.

    python bench/timing.py console|window --side module|plain --mib N [--into DIR] [pyperf options]
    python bench/timing.py import --loops 1 --values 1 --warmups 0 [pyperf options]
    python bench/timing.py peak --mib N --runs R >> FILE

``module`` is the compiled ``updater``, ``plain`` bench/plain_updater.py.
pyperf's main process serves an N MiB body over HTTPS (the test suite's server,
in a thread) to its workers, where both sides get the same rebinds:
``UPDATE_URL`` to the server, ``sys`` to a stand-in of a frozen build whose
executable lies in a fresh directory on tmpfs (the download lands there), or
below DIR with ``--into DIR`` (a disk: the module's sync of the download then
has something to write), ``replace_and_run`` to a no-op.  Each run's metadata
names the file system the download landed on (``download_fs``).  console:
``UpdaterGUI()`` call to return, lines to /dev/null.  window: real Tk,
construction to the end of the download on the worker thread.  import: ``import updater`` after its dependencies.
peak: the peak resident memory (VmHWM) of R fresh interpreters, each making
one console update of the module, one number a line.  It is read from
/proc/self/status: pyperf's own mem_max_rss (getrusage) keeps the high-water
mark of the process that started the worker, here the one holding the body.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import types
from time import perf_counter

import pyperf

MIB = 1024 * 1024
DEPS = "sys, os, time, urllib.request, urllib.error, threading, subprocess, shutil, tkinter, tkinter.ttk, tkinter.messagebox"


def load(side):
    if side == "module":
        import updater as mod
    else:
        import plain_updater as mod
    return mod


def prepare(args):
    """The side's module, rebound to download from the server into args.dest."""
    os.environ["SSL_CERT_FILE"] = args.ca
    mod, end = load(args.side), []
    fake = types.ModuleType("sys")
    fake.frozen, fake.exit = True, sys.exit
    fake.executable = os.path.join(args.dest, "BrivexLauncher.exe")
    fake._MEIPASS = os.path.join(args.dest, "_MEI-absent")
    mod.UPDATE_URL, mod.sys, mod.TK_AVAILABLE = args.url, fake, args.what == "window"
    mod.replace_and_run = lambda new_exe: None
    if args.what == "window":
        download = mod.download_new_exe_with_progress

        def stamped(progress_callback):  # one call per update, on the worker thread
            try:
                return download(progress_callback)
            finally:
                end.append(perf_counter())

        mod.download_new_exe_with_progress = stamped
    return mod, end


def update(loops, mod, end, args):
    total = 0.0
    for _ in range(loops):
        real, sys.stdout = sys.stdout, open(os.devnull, "w")
        try:
            t0 = perf_counter()
            mod.UpdaterGUI()  # a window returns once its completion request has destroyed it
            total += (end.pop() if end else perf_counter()) - t0
        finally:
            sys.stdout.close()
            sys.stdout = real
        target = os.path.join(args.dest, mod.TEMP_EXE_NAME)
        if os.path.getsize(target) != args.mib * MIB:
            raise RuntimeError(f"{target}: not the whole body")
        os.remove(target)
    return total


def import_cost(loops):
    if loops != 1 or "updater" in sys.modules:
        raise RuntimeError("run with --loops 1 --values 1 --warmups 0: a module imports once per process")
    exec(f"import {DEPS}")
    t0 = perf_counter()
    import updater  # noqa: F401
    return perf_counter() - t0


def vm_hwm():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmHWM:"))


def file_system(path):
    """The file system holding `path`, as /proc/self/mounts names it: "ext4 (/dev/vda on /)"."""
    path, found = os.path.realpath(path), ("", "unknown", "?")
    try:
        with open("/proc/self/mounts") as mounts:
            for line in mounts:
                source, point, kind = line.split()[:3]
                point = point.replace("\\040", " ")
                if os.path.commonpath([path, point]) == point and len(point) >= len(found[0]):
                    found = (point, kind, source)
    except OSError:
        pass
    point, kind, source = found
    return f"{kind} ({source} on {point})"


def serving(mib, into=None):
    """The local update server with an N MiB body, and a fresh directory for the
    download: below `into`, or on tmpfs (/dev/shm) when there is one."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools"))
    from update_server import HttpsServer, default_body

    server = HttpsServer(body=default_body(mib * MIB), path="/bench/latest/main/BrivexLauncher.exe")
    if into is None and os.path.isdir("/dev/shm"):
        into = "/dev/shm"
    return server, tempfile.mkdtemp(prefix="updater-bench.", dir=into)


def peak(argv):
    if argv[0] == "peak-child":  # python timing.py peak-child URL CA DEST MIB
        args = types.SimpleNamespace(side="module", what="console", url=argv[1], ca=argv[2], dest=argv[3],
                                     mib=int(argv[4]))
        update(1, *prepare(args), args)
        print(vm_hwm())
        return
    mib, runs = int(argv[argv.index("--mib") + 1]), int(argv[argv.index("--runs") + 1])
    server, dest = serving(mib)
    try:
        for _ in range(runs):
            print(subprocess.run([sys.executable, __file__, "peak-child", server.url(), server.ca_pem_path, dest,
                                  str(mib)], capture_output=True, text=True, check=True).stdout.strip(), flush=True)
    finally:
        server.close()
        shutil.rmtree(dest)


def main():
    if sys.argv[1:2] in (["peak"], ["peak-child"]):
        return peak(sys.argv[1:])

    def worker_args(cmd, args):
        cmd += [args.what, "--side", args.side, "--mib", str(args.mib)]
        cmd += [] if args.what == "import" else ["--url", args.url, "--ca", args.ca, "--dest", args.dest]

    runner = pyperf.Runner(add_cmdline_args=worker_args)
    runner.argparser.add_argument("what", choices=("console", "window", "import"))
    runner.argparser.add_argument("--side", choices=("module", "plain"), default="module")
    runner.argparser.add_argument("--mib", type=int, default=256)
    runner.argparser.add_argument("--into", help="the download lands below this directory (default: tmpfs)")
    for internal in ("--url", "--ca", "--dest"):  # the main process's server, for its workers
        runner.argparser.add_argument(internal)
    args = runner.parse_args()
    if args.what == "import":
        return runner.bench_time_func("import updater after its dependencies", import_cost)
    name = f"{args.what} update, {args.mib} MiB"
    if args.worker:
        return runner.bench_time_func(name, update, *prepare(args), args,
                                      metadata={"download_fs": file_system(args.dest)})
    server, args.dest = serving(args.mib, args.into)
    args.url, args.ca = server.url(), server.ca_pem_path
    try:
        runner.bench_time_func(name, update)  # starts the workers
    finally:
        server.close()
        shutil.rmtree(args.dest)


if __name__ == "__main__":
    main()
