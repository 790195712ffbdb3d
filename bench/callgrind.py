"""Instructions per progress report, counted by callgrind; bench/run.sh runs it.

    python bench/callgrind.py --n N --out JSON

Under ``valgrind --tool=callgrind`` a fresh interpreter catches one side's
progress callback (rebinding ``download_new_exe_with_progress``) and calls it
N times, and in another run 2N times, with the reports of a 64 KiB-block
download made before the loop.  Per report = (Ir(2N) - Ir(N)) / N, so start-up
and imports cancel, less the calling loop's own cost.  console: the console
update's callback, printing to /dev/null.  window: the callback that
``_run_update`` makes for a stand-in whose ``root.after`` is a dict's ``get``.
"""

import argparse
import concurrent.futures
import contextlib
import io
import json
import os
import re
import subprocess
import sys
import types

from timing import load

SIDES, KINDS = ("module", "plain"), ("console", "window")


def callback(side, kind, after, texts):
    mod, caught = load(side), []
    mod.download_new_exe_with_progress = caught.append  # returns None: a failed download, nothing more runs
    if kind == "console":
        mod.TK_AVAILABLE = False
        mod.UpdaterGUI()
    else:
        widget = types.SimpleNamespace(config=texts.update)
        mod.UpdaterGUI._run_update(types.SimpleNamespace(root=types.SimpleNamespace(after=after),
                                                         progress=widget, speed_lbl=widget))
    return caught[0]


def reports(count):
    total = count * 65536
    return ([(i + 1) * 65536 / total * 100 for i in range(count)],
            [(i + 1) * 65536 / 1024 / (0.002 * (i + 1) + 0.0005) for i in range(count)],
            [(i + 1) * 65536 for i in range(count)])


def child(side, kind, n, nmax):
    percent, speed, done = reports(nmax)
    if kind == "loop":
        for i in range(n):
            percent[i]; speed[i]; done[i]  # noqa: B018 - the loop's own cost
        return
    cb = callback(side, kind, {}.get, {})
    for i in range(n):
        cb(percent[i], speed[i], True, done[i])


def same_output():
    """Both sides print the same lines and set the same widget texts."""
    seen = []
    for side in SIDES:
        queue, texts, out, log = [], {}, io.StringIO(), []
        with contextlib.redirect_stdout(out):
            cbs = [callback(side, kind, queue.insert, texts) for kind in KINDS]
            for args in zip(*reports(300)):
                for cb in cbs:
                    cb(*args[:2], True, args[2])
                    cb(0, args[1], False, args[2])
                while queue:
                    queue.pop()()
                    log.append(dict(texts))
        seen.append((out.getvalue(), log))
    return seen[0] == seen[1] and bool(seen[0][1])


def measure(side, kind, n, nmax, workdir):
    out = os.path.join(workdir, f"callgrind.{side}-{kind}-{n}.out")
    cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable,
           os.path.abspath(__file__), "--child", side, kind, str(n), str(nmax)]
    proc = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                          env=dict(os.environ, PYTHONHASHSEED="0"))
    if proc.returncode:
        raise RuntimeError(f"{' '.join(cmd)}:\n{proc.stderr[-3000:]}")
    ir = int(re.search(r"^(?:summary|totals): (\d+)", open(out).read(), re.M).group(1))
    annotated = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", out],
                               capture_output=True, text=True, check=True).stdout
    incl = {}
    for fn in ("builtin_print", "PyObject_Format"):
        m = re.search(rf"^\s*([\d,]+) .*:{fn} ", annotated, re.M)
        incl[fn] = int(m.group(1).replace(",", "")) if m else 0
    return (side, kind, n), {"ir": ir, "incl": incl, "cmd": "PYTHONHASHSEED=0 " + " ".join(cmd)}


def main():
    if sys.argv[1:2] == ["--child"]:
        side, kind, n, nmax = sys.argv[2:6]
        return child(side, kind, int(n), int(nmax))
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=3000)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    n, workdir = args.n, os.path.dirname(os.path.abspath(args.out))
    jobs = [(s, k, m) for s in SIDES for k in KINDS for m in (n, 2 * n)] + [("plain", "loop", m) for m in (n, 2 * n)]
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        runs = dict(pool.map(lambda job: measure(*job, 2 * n, workdir), jobs))

    def per_report(side, kind, what=lambda r: r["ir"]):
        return (what(runs[(side, kind, 2 * n)]) - what(runs[(side, kind, n)])) / n

    loop = per_report("plain", "loop")
    result = {"n": n, "loop": loop, "same_output": same_output(), "command": runs[("module", "console", n)]["cmd"]}
    for kind in KINDS:
        result[kind] = {side: {"net": per_report(side, kind) - loop, **{
            fn: per_report(side, kind, lambda r: r["incl"][fn]) for fn in ("builtin_print", "PyObject_Format")}}
            for side in SIDES}
    with open(args.out, "w") as f:
        json.dump(result, f, indent=1)


if __name__ == "__main__":
    main()
