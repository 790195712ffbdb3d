"""One update by the one-file application on Windows, against a local HTTPS server.

    python tools/windows/frozen_run.py APP LAUNCHER

Run by the Windows workflow (.github/workflows/windows.yml) once it has built
APP, the one-file test build of BrivexUpdater.exe, and LAUNCHER, a small
program that records its start (tools/windows/launcher.c).  The interpreter
running this must have the module installed (the one APP was built with),
PyInstaller and trustme.

1. APP must carry the Visual C++ runtime DLLs that the module imports
   (vcruntime140*.dll, msvcp140*.dll): a machine without the VC++
   redistributable has none of them.
2. The local update server (tools/update_server.py) serves LAUNCHER as the
   newest launcher; an install directory gets a copy of APP and an old
   launcher.
3. APP --console runs there, trusting the server through SSL_CERT_FILE and
   pointed at it through BRIVEX_UPDATE_URL, which only a test build reads.
4. It must exit 0, leave the launcher replaced by LAUNCHER's bytes and started
   once by its path, and nothing else in the directory.

Exit status 0 when all of that holds, 1 when not, 2 for a wrong command line.
"""

from __future__ import annotations

import importlib.util
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools"))

from update_server import HttpsServer  # noqa: E402

LAUNCHER = "BrivexLauncher.exe"
MARKER = "launcher-started.txt"  # written by tools/windows/launcher.c
VC_RUNTIME = ("vcruntime140", "msvcp140")
READY = "Update ready! Replacing and restarting..."


def module_runtime_dlls() -> list[str]:
    """The Visual C++ runtime DLLs the installed module imports."""
    import pefile  # PyInstaller's own dependency on Windows

    spec = importlib.util.find_spec("updater")
    if spec is None or not spec.origin:
        raise SystemExit("frozen_run: the module 'updater' is not installed in this interpreter")
    pe = pefile.PE(spec.origin, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
    dlls = [entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT]
    print(f"frozen_run: {Path(spec.origin).name} imports {', '.join(dlls)}")
    return [dll for dll in dlls if dll.startswith(VC_RUNTIME)]


def packed_files(app: Path) -> set[str]:
    from PyInstaller.archive.readers import CArchiveReader

    return {os.path.basename(name).lower() for name in CArchiveReader(str(app)).toc}


def started_lines(marker: Path, wait: float = 10) -> list[str]:
    """The launcher's record of its starts (it runs detached: wait for it)."""
    deadline = time.monotonic() + wait
    while time.monotonic() < deadline:
        if marker.exists() and marker.read_text().endswith("\n"):
            return marker.read_text().splitlines()
        time.sleep(0.1)
    return []


def update_once(app: Path, new_launcher: bytes, work: Path) -> list[str]:
    problems = []
    install = work / "Brivex Launcher"
    install.mkdir()
    shutil.copy2(app, install / app.name)
    (install / LAUNCHER).write_bytes(b"Brivex launcher 1.0.0 (not a program)")
    with HttpsServer(body=new_launcher) as server:
        env = dict(os.environ, SSL_CERT_FILE=server.ca_pem_path, NO_PROXY="127.0.0.1", no_proxy="127.0.0.1",
                   BRIVEX_UPDATE_URL=server.url())
        run = subprocess.run(
            [str(install / app.name), "--console"], cwd=work, env=env, stdin=subprocess.DEVNULL,
            capture_output=True, encoding="utf-8", errors="replace", timeout=120,
        )
        requests = len(server.requests)
    print(f"frozen_run: exit status {run.returncode}, {requests} request(s)\n--- stdout ---\n{run.stdout}"
          f"--- stderr ---\n{run.stderr}")
    if run.returncode != 0:
        problems.append(f"exit status {run.returncode}, expected 0")
    if READY not in run.stdout.splitlines():
        problems.append(f"no line {READY!r}")
    if (install / LAUNCHER).read_bytes() != new_launcher:
        problems.append(f"{LAUNCHER} is not the served launcher")
    lines = started_lines(install / MARKER)
    if lines != [f"2.0.0 started as {install / LAUNCHER}"]:
        problems.append(f"the new launcher's starts: {lines}, expected one by its path")
    left = sorted(p.name for p in install.iterdir())
    if left != sorted([app.name, LAUNCHER, MARKER]):
        problems.append(f"the directory holds {left}")
    return problems


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print("usage: python tools/windows/frozen_run.py APP LAUNCHER", file=sys.stderr)
        return 2
    app, launcher = (Path(a).resolve() for a in argv)

    problems = []
    missing = sorted(set(module_runtime_dlls()) - packed_files(app))
    if missing:
        problems.append(f"{app.name} does not carry {', '.join(missing)}")
    # The started launcher may still be ending when the directory goes.
    with tempfile.TemporaryDirectory(prefix="frozen-run-", ignore_cleanup_errors=True) as work:
        problems += update_once(app, launcher.read_bytes(), Path(work))

    for problem in problems:
        print(f"frozen_run: FAILED: {problem}", file=sys.stderr)
    if not problems:
        print("frozen_run: the launcher was replaced and started")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
