"""Launchers for whole-update runs: real programs that record their start.

`program` makes one: a shell script on POSIX, on Windows the stand-in
program tools/windows/launcher.c (built by tools/windows/build.py into
build/windows/launcher.exe) with its instructions appended.  Either appends a
line to a marker file when started; `signed_program` one signed for the
publisher check.  `Install` is a launcher directory with
an old launcher and the body of a new one.  `SWAP_FAILS` sets one up so
that the swap of a good download fails, `SWAP_ERROR` is how it fails."""

from __future__ import annotations

import os
import re
import time
from pathlib import Path

import pytest

from support.winos import windows_error_text

ROOT = Path(__file__).resolve().parents[2]
WINDOWS_LAUNCHER = ROOT / "build" / "windows" / "launcher.exe"
SIGNED = ROOT / "build" / "windows" / "signed"
TAG = b"#brivex-launcher\t"

# A swap that fails: on POSIX the new launcher cannot be started (it takes
# the old one's bits, here without x); on Windows a backup left from before
# that still runs refuses the replacing rename, and nothing changes.
if os.name == "nt":
    SWAP_FAILS = {"running_backup": True}
    SWAP_ERROR = f"[WinError 5] {windows_error_text(5)}: {{launcher!r}} -> {{backup!r}}"
else:
    SWAP_FAILS = {"launcher_mode": 0o644}
    SWAP_ERROR = "[Errno 13] Permission denied: '{launcher}'"


def _windows_program() -> bytes:
    if not WINDOWS_LAUNCHER.is_file():
        pytest.fail(f"the launcher stand-in {WINDOWS_LAUNCHER} is missing: tools/windows/build.py builds it "
                    "(tools/test.sh runs it)", pytrace=False)
    return WINDOWS_LAUNCHER.read_bytes()


def signed_program(signer: str | None, text: str) -> bytes:
    """The Windows stand-in told to write `text` to started.txt in its
    working directory, signed by `signer`, one of the tests' certificates
    (tools/windows/signing.py, run by stage.py build), or unsigned for None;
    or one of signing.py's RELEASES, named without the text ("brivex-uninstaller")."""
    if signer is None:
        return program(text, Path("started.txt"))
    path = SIGNED / f"{text}-{signer}.exe"
    if not path.is_file():
        pytest.fail(f"{path} is missing: tools/windows/stage.py build signs the tests' launchers "
                    "(tools/windows/signing.py, with openssl and osslsigncode)", pytrace=False)
    return path.read_bytes()


def program(text: str, marker: Path, size: int = 0) -> bytes:
    """A launcher that appends `text` and a newline to `marker` when it starts,
    "%s" in `text` standing for the path it was started by, "%d" for its
    working directory and "%e" for its environment (see `environment`);
    padded to `size` bytes when that is more than it needs."""
    if os.name == "nt":
        head, tail = _windows_program(), b"\n" + TAG + f"{marker}\t{text}\n".encode()
    else:
        line = re.sub(r'(["$`\\])', r"\\\1", text).replace("%s", "$0").replace("%d", "$(pwd -P)")
        line = line.replace("%e", "$(env -0 | tr '\\0' '\\t')")
        head, tail = f"#!/bin/sh\nprintf '%s\\n' \"{line}\" >> '{marker}'\nexit 0\n".encode(), b"\n"
    return head + b"#" * max(0, size - len(head) - len(tail)) + tail


def environment(recorded: str) -> dict[str, str]:
    """The environment a launcher recorded as "%e": NAME=VALUE entries, joined
    by tabs (less Windows' hidden "=C:=..." entries)."""
    return dict(e.split("=", 1) for e in recorded.rstrip("\n").split("\t") if "=" in e and e[0] != "=")


class Install:
    def __init__(self, root: Path, launcher_mode: int = 0o755, body_size: int = 100_000,
                 name: str = "Brivex Launcher"):
        self.dir = root / name
        self.dir.mkdir()
        self.launcher = self.dir / "BrivexLauncher.exe"
        self.backup = self.dir / "BrivexLauncher.exe.old"
        self.new_file = self.dir / "BrivexLauncher_new.exe"
        self.marker = root / "started.txt"
        self.old_body = program("old", self.marker, body_size)
        self.launcher.write_bytes(self.old_body)
        self.launcher.chmod(launcher_mode)
        self.new_body = program("new", self.marker, body_size)
        assert len(self.new_body) == body_size, "the launcher program does not fit in body_size"

    def keep_backup_running(self, programs) -> None:
        """A backup left by an earlier update, still running (`RunningPrograms`)."""
        self.backup.write_bytes(b"an older launcher")
        programs.start(self.backup)

    def started(self, wait: float = 5.0):
        """What started launchers wrote to the marker (None: nothing started)."""
        deadline = time.monotonic() + wait
        while not self.marker.exists() and time.monotonic() < deadline:
            time.sleep(0.05)
        return self.marker.read_text(encoding="utf-8") if self.marker.exists() else None

    def listing(self) -> list[str]:
        return sorted(p.name for p in self.dir.iterdir())
