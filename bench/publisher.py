"""What the publisher check costs on Windows, next to the download's time:
Windows CPython 3.12 under Wine, the module built by tools/windows/stage.py.

    python bench/publisher.py [--mib 10 100] [--rounds 5]

Needs `tools/windows/stage.py build` first (the Windows interpreter with the
module installed, the launcher stand-in and the tests' certificates in
build/windows/signed).  For each size, a launcher stand-in padded to that
size is signed here with the tests' publisher (osslsigncode) and served by
the local HTTPS server (tools/update_server.py); Windows CPython then, each
round:

* times `download_new_exe_with_progress` of it (no-op callback);
* times `replace_and_run` of it over a signed launcher (the check: the
  installed launcher's signer, WinVerifyTrust of the download, the names)
  and over an unsigned one (no check), with `subprocess.Popen` rebound to a
  no-op so that no process start is timed.

The check's cost is the difference of the two swaps.  Prints a Markdown table
of medians (and the spread over the rounds).
"""

from __future__ import annotations

import argparse
import json
import shutil
import statistics
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
MIB = 1024 * 1024

WORKER = r"""
import json, os, shutil, sys, time, types
import updater
work, url, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
signed_body, unsigned_body = os.path.join(work, "signed.exe"), os.path.join(work, "unsigned.exe")
install = os.path.join(work, "install")
os.makedirs(install, exist_ok=True)
fake = types.ModuleType("sys")
fake.frozen, fake.exit, fake.executable = True, sys.exit, os.path.join(install, "updater.exe")
updater.sys, updater.UPDATE_URL = fake, url
updater.subprocess = types.SimpleNamespace(Popen=lambda command: None)
main_exe, new_exe = os.path.join(install, "BrivexLauncher.exe"), os.path.join(install, "BrivexLauncher_new.exe")

def swap(installed):
    shutil.copyfile(installed, main_exe)
    shutil.copyfile(signed_body, new_exe)
    started = time.perf_counter()
    updater.replace_and_run(new_exe)
    return time.perf_counter() - started

for _ in range(rounds):
    started = time.perf_counter()
    assert updater.download_new_exe_with_progress(lambda *report: None) == new_exe
    download = time.perf_counter() - started
    print(json.dumps({"download": download, "checked": swap(signed_body), "unchecked": swap(unsigned_body)}),
          flush=True)
"""


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(prog="publisher.py", description=__doc__.split("\n\n")[0])
    parser.add_argument("--mib", type=int, nargs="+", default=[10, 100])
    parser.add_argument("--rounds", type=int, default=5)
    options = parser.parse_args(argv)
    sys.path[:0] = [str(ROOT / "tools"), str(ROOT / "tools" / "windows")]
    from update_server import HttpsServer
    import signing
    from winenv import StageError, WindowsPython, windows_path

    signed = ROOT / "build" / "windows" / "signed"
    launcher = ROOT / "build" / "windows" / "launcher.exe"
    if not (signed / "certificates" / "brivex.p12").is_file() or not launcher.is_file():
        print("publisher.py: run tools/windows/stage.py build first", file=sys.stderr)
        return 1
    python = WindowsPython()
    rows = []
    try:
        with HttpsServer() as server, tempfile.TemporaryDirectory(prefix="bench-publisher-") as work:
            for mib in options.mib:
                tail = signing.INSTRUCTIONS % b"new"
                program = launcher.read_bytes()
                unsigned = Path(work) / "unsigned.exe"
                unsigned.write_bytes(program + b"#" * (mib * MIB - len(program) - len(tail)) + tail)
                signing.sign(unsigned, Path(work) / "signed.exe", signed / "certificates" / "brivex.p12",
                             signing.PASSWORD)
                server.configure(body=(Path(work) / "signed.exe").read_bytes())
                shutil.rmtree(Path(work) / "install", ignore_errors=True)
                result = python.run(["-c", WORKER, windows_path(work), server.url(), str(options.rounds)],
                                    env={"SSL_CERT_FILE": windows_path(server.ca_pem_path)}, timeout=1800)
                runs = [json.loads(line) for line in result.stdout.splitlines() if line.startswith("{")]
                rows.append((mib, runs))
    except StageError as failure:
        print(f"publisher.py: {failure}", file=sys.stderr)
        return 1
    finally:
        python.stop_wine()

    def ms(values):
        return f"{statistics.median(values) * 1000:.0f} ms ({min(values) * 1000:.0f} to {max(values) * 1000:.0f})"

    print("| launcher | download over HTTPS | swap with the check | swap without | the check (difference of medians) |")
    print("|---|---|---|---|---|")
    for mib, runs in rows:
        column = {key: [run[key] for run in runs] for key in ("download", "checked", "unchecked")}
        check = statistics.median(column["checked"]) - statistics.median(column["unchecked"])
        print(f"| {mib} MiB | {ms(column['download'])} | {ms(column['checked'])} | {ms(column['unchecked'])} "
              f"| {check * 1000:.0f} ms |")
    print(f"\n{options.rounds} rounds each; medians, with the lowest and highest value in brackets.")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
