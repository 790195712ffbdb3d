"""A launcher directory for whole-update runs: the launcher is a shell script
that appends its name to a marker file when it starts."""

from __future__ import annotations

import time
from pathlib import Path


class Install:
    def __init__(self, root: Path, launcher_mode: int = 0o755, body_size: int = 100_000,
                 name: str = "Brivex Launcher"):
        self.dir = root / name
        self.dir.mkdir()
        self.launcher = self.dir / "BrivexLauncher.exe"
        self.new_file = self.dir / "BrivexLauncher_new.exe"
        self.marker = root / "started.txt"
        self.body_size = body_size
        self.old_body = self.script("old")
        self.launcher.write_bytes(self.old_body)
        self.launcher.chmod(launcher_mode)
        self.new_body = self.script("new")

    def script(self, who: str) -> bytes:
        """A launcher that writes `who` to the marker, padded to `body_size` bytes."""
        text = f"#!/bin/sh\necho {who} >> '{self.marker}'\nexit 0\n".encode()
        return text + b"#" * (self.body_size - len(text))

    def started(self, wait: float = 5.0):
        """What started launchers wrote to the marker (None: nothing started)."""
        deadline = time.monotonic() + wait
        while not self.marker.exists() and time.monotonic() < deadline:
            time.sleep(0.05)
        return self.marker.read_text() if self.marker.exists() else None

    def listing(self) -> list[str]:
        return sorted(p.name for p in self.dir.iterdir())
