"""The demonstration update: a real update of a demo launcher, start to finish.

    bash tools/demo.sh [--mode window|console|auto] [--slow] [--fail] [--keep]

(tools/demo.sh builds and installs the module first, then runs this file.)

1. Starts the local update server (tools/update_server.py, the one the tests
   use) on 127.0.0.1: HTTPS with a throwaway certificate authority made for
   this run; only the update's own process trusts it (SSL_CERT_FILE).  It
   serves a demo launcher 2.0.0 at .../latest/main/BrivexLauncher.exe.
2. Prepares a demo install directory holding demo launcher 1.0.0.
3. Runs tools/demo_host.py, which embeds the module like the frozen updater
   application and constructs UpdaterGUI(): the window when there is a display
   (auto), the progress lines on the console otherwise.
4. Reports the old and the new launcher, the new launcher's own output (it was
   started by the update), the update's exit status; then removes the server
   and the temporary files.

A demo launcher is a small shell script that says its version.
"""

from __future__ import annotations

import argparse
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
HOST = Path(__file__).resolve().parent / "demo_host.py"
URL_PATH = "/brivex-demo/latest/main/BrivexLauncher.exe"
LAUNCHER = "BrivexLauncher.exe"
LAUNCHER_LOG = "launcher.log"
OLD_VERSION = "1.0.0"
NEW_VERSION = "2.0.0"
NEW_SIZE = 640 * 1024  # ten blocks of 64 KiB: the download has something to show
SLOW_BLOCK, SLOW_DELAY = 16 * 1024, 0.1  # --slow: 160 KiB/s, about 4 s
HOST_TIMEOUT = 300  # the update itself takes seconds; this only stops a hang
START_TIMEOUT = 10  # for the new launcher's first words


class DemoError(Exception):
    """A failure of the demonstration itself, reported in one line."""

    status = 1


class OptionError(DemoError):
    """An option that cannot be honoured here."""

    status = 2


# -- the demo launcher ----------------------------------------------------------------


def launcher_script(version: str, size: int = 0) -> bytes:
    """A launcher that prints its version; started normally it also notes its
    start in launcher.log beside itself, so the demo can see that it ran.
    `size` pads the file to that many bytes."""
    script = f"""#!/bin/sh
# Brivex launcher {version} (demo build)
if [ "$1" = "--version" ]; then
    echo "Brivex launcher {version}"
    exit 0
fi
echo "Brivex launcher {version} started from $0"
echo "Brivex launcher {version} started from $0 at $(date +%H:%M:%S)" >> "$(dirname "$0")/{LAUNCHER_LOG}"
exit 0
"""
    data = script.encode()
    if size > len(data):
        # Comment lines up to `size` bytes, never read: the shell stops at "exit 0".
        line = b"# " + b"~" * 61 + b"\n"
        count, rest = divmod(size - len(data), len(line))
        data += line * count + b"#" * rest
    return data


def launcher_version(path: Path) -> str:
    try:
        proc = subprocess.run([str(path), "--version"], capture_output=True, text=True, timeout=10)
    except (OSError, subprocess.TimeoutExpired) as exc:
        return f"(could not run it: {exc})"
    return proc.stdout.strip() or f"(no answer, exit status {proc.returncode})"


# -- choosing the front end --------------------------------------------------------------


def display_available() -> bool:
    if sys.platform in ("win32", "darwin"):
        return True
    return bool(os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))


def tk_usable() -> bool:
    try:
        import tkinter.messagebox  # noqa: F401
        import tkinter.ttk  # noqa: F401
    except ImportError:
        return False
    return True


def choose_mode(requested: str) -> str:
    if requested == "console":
        return "console"
    if requested == "window":
        if not tk_usable():
            raise OptionError("--mode window needs Tk for Python (tkinter), which is not installed; use --mode console")
        if not display_available():
            raise OptionError("--mode window needs a display, and DISPLAY is not set; use --mode console")
        return "window"
    return "window" if tk_usable() and display_available() else "console"


# -- the run ------------------------------------------------------------------------------------


def mode_text(path: Path) -> str:
    return stat.filemode(path.stat().st_mode)


def wait_for_start(log: Path) -> list[str]:
    deadline = time.monotonic() + START_TIMEOUT
    while time.monotonic() < deadline:
        if log.exists():
            text = log.read_text()
            if text.endswith("\n"):
                return text.splitlines()
        time.sleep(0.05)
    return []


def run_host(install: Path, unpack: Path, url: str, mode: str, ca_file: Path) -> int:
    env = dict(os.environ)
    env["SSL_CERT_FILE"] = str(ca_file)  # trust the demo CA, and only in this process
    env.pop("SSL_CERT_DIR", None)
    env["NO_PROXY"] = env["no_proxy"] = "127.0.0.1"
    env["PYTHONUNBUFFERED"] = "1"
    proc = subprocess.Popen(
        [sys.executable, str(HOST), str(install), str(unpack), url, mode], env=env, stdin=subprocess.DEVNULL
    )
    try:
        return proc.wait(timeout=HOST_TIMEOUT)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        raise DemoError(f"the update did not finish within {HOST_TIMEOUT} s; stopped it") from None
    finally:
        if proc.poll() is None:  # interrupted: do not leave it behind
            proc.kill()
            proc.wait()


def demo(options: argparse.Namespace, workdir: Path) -> int:
    mode = choose_mode(options.mode)
    install = workdir / "Brivex"  # the demo install directory
    unpack = workdir / "unpacked"  # what a one-file build unpacks: the icon
    install.mkdir()
    unpack.mkdir()
    shutil.copyfile(ROOT / "packaging" / "icon.ico", unpack / "icon.ico")

    launcher = install / LAUNCHER
    launcher.write_bytes(launcher_script(OLD_VERSION))
    launcher.chmod(0o755)
    new_body = launcher_script(NEW_VERSION, NEW_SIZE)

    print(f"demo: install directory   {install}")
    old = launcher_version(launcher)
    print(f"demo: installed launcher  {old}")

    from update_server import HttpsServer  # beside this file; needs trustme, which tools/demo.sh installs

    if options.fail:
        route = {"mode": "not_found"}
    elif options.slow:
        route = {"mode": "slow", "block_size": SLOW_BLOCK, "delay": SLOW_DELAY}
    else:
        route = {}
    server = HttpsServer(body=new_body, path=URL_PATH, **route)
    try:
        print(f"demo: update server       {server.url()}")
        if options.fail:
            print("demo:                     serving nothing (404 Not Found): a failed update")
        else:
            speed = f", {SLOW_BLOCK // 1024} KiB every {SLOW_DELAY} s" if options.slow else ""
            print(f"demo:                     serving launcher {NEW_VERSION} ({len(new_body) // 1024} KiB{speed})")
        print(f"demo: updating in the {mode} ...")
        print()
        status = run_host(install, unpack, server.url(), mode, Path(server.ca_pem_path))
        print()
        started = wait_for_start(install / LAUNCHER_LOG) if status == 0 else []
    finally:
        server.close()

    now = launcher_version(launcher) if launcher.exists() else "(missing!)"
    leftovers = sorted(p.name for p in install.iterdir() if p.name not in (LAUNCHER, LAUNCHER_LOG))
    meaning = {0: "success", 1: "the update failed", 3: "the update stopped with an error"}
    print("demo: ---- what happened ----")
    print(f"demo: update exit status  {status} ({meaning.get(status, 'unexpected')})")
    print(f"demo: before              {old}")
    print(f"demo: after               {now}" + (f"  [{mode_text(launcher)}]" if launcher.exists() else ""))
    if started:
        print("demo: the new launcher was started by the update and wrote:")
        for line in started:
            print(f"demo:     {line}")
    else:
        print("demo: the new launcher did not report a start")
    paths = [request.path for request in server.requests]
    print(f"demo: server requests     {len(paths)} ({', '.join(paths) or 'none'})")
    if leftovers:
        print(f"demo: left in the install directory: {', '.join(leftovers)}")

    updated = status == 0 and NEW_VERSION in now and bool(started) and not leftovers
    if updated:
        print(f"demo: result: launcher updated from {OLD_VERSION} to {NEW_VERSION} and started")
        return 0
    if status == 1:
        print(f"demo: result: the update failed (exit status 1); {now} is still in place")
    elif status == 0 and OLD_VERSION in now:
        print("demo: result: not updated (the window was closed before the update finished)")
    else:
        print("demo: result: the update did not complete")
    return 1


def parse_options(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="tools/demo.sh",
        description="Update a demo launcher from 1.0.0 to 2.0.0 with the real module and a local HTTPS server.",
    )
    parser.add_argument(
        "--mode", choices=("window", "console", "auto"), default="auto",
        help="window, console lines, or auto: the window when a display is available (default)",
    )
    parser.add_argument("--slow", action="store_true", help="send the download slowly enough to watch (about 4 s)")
    parser.add_argument("--fail", action="store_true", help="serve no launcher (404), to show a failed update")
    parser.add_argument("--keep", action="store_true", help="keep the demo directory and say where it is")
    parser.add_argument("--check-options", action="store_true", help=argparse.SUPPRESS)  # demo.sh, before building
    return parser.parse_args(argv)


def main(argv: list[str]) -> int:
    options = parse_options(argv)  # exits 2 with a usage message on a wrong option
    if options.check_options:
        return 0
    if os.name != "posix":
        print("demo: the demo launchers are shell scripts; run the demo on Linux or macOS", file=sys.stderr)
        return 2
    workdir = Path(tempfile.mkdtemp(prefix="brivex-demo-"))
    try:
        return demo(options, workdir)
    except DemoError as exc:
        print(f"demo: error: {exc}", file=sys.stderr)
        return exc.status
    except KeyboardInterrupt:
        print("\ndemo: interrupted", file=sys.stderr)
        return 130
    except Exception as exc:  # anything else: one clear line, no traceback dump
        print(f"demo: error: {type(exc).__name__}: {exc}", file=sys.stderr)
        return 1
    finally:
        if options.keep:
            print(f"demo: kept {workdir}")
        else:
            shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
