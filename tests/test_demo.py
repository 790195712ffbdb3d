"""The demonstration update (tools/demo.py, which tools/demo.sh runs after the
build): a real update with the installed module, reported in plain words."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
DEMO = ROOT / "tools" / "demo.py"

pytestmark = pytest.mark.skipif(os.name != "posix", reason="the demo launchers are shell scripts")


def run_demo(tmp_path: Path, *args: str, display: bool = False) -> subprocess.CompletedProcess:
    env = dict(os.environ, TMPDIR=str(tmp_path))  # the demo's temporary directory lands here
    for name in ("SSL_CERT_FILE", "SSL_CERT_DIR"):
        env.pop(name, None)  # the demo must bring its own trust
    if not display:
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
    return subprocess.run(
        [sys.executable, str(DEMO), *args], cwd=tmp_path, env=env,
        stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=90,
    )


def report(result: subprocess.CompletedProcess) -> dict[str, str]:
    """The "demo: name  value" lines of the final report."""
    tail = result.stdout.split("demo: ---- what happened ----\n", 1)[1]
    fields = {}
    for line in tail.splitlines():
        name, _, value = line.removeprefix("demo: ").partition("  ")
        if value:
            fields[name.strip()] = value.strip()
    return fields


def assert_cleaned_up(tmp_path: Path) -> None:
    assert list(tmp_path.glob("brivex-demo-*")) == [], "the demo left its temporary directory"


def test_console_demo_updates_and_starts_the_new_launcher(tmp_path):
    result = run_demo(tmp_path, "--mode", "console")
    assert result.returncode == 0, result.stdout + result.stderr
    out = result.stdout
    assert "demo: installed launcher  Brivex launcher 1.0.0\n" in out
    assert "Tkinter not available, running console update...\n" in out
    assert "\n100.0% • " in out and "Update ready! Replacing and restarting...\n" in out
    fields = report(result)
    assert fields["update exit status"] == "0 (success)"
    assert fields["before"] == "Brivex launcher 1.0.0"
    assert fields["after"].startswith("Brivex launcher 2.0.0  [-rwxr-xr-x]")
    assert fields["server requests"] == "1 (/brivex-demo/latest/main/BrivexLauncher.exe)"
    # The new launcher's own words, written when the update started it.
    assert "demo: the new launcher was started by the update and wrote:\n" in out
    assert "demo:     Brivex launcher 2.0.0 started from " in out
    assert out.rstrip().endswith("demo: result: launcher updated from 1.0.0 to 2.0.0 and started")
    assert result.stderr == ""
    assert_cleaned_up(tmp_path)


def test_failed_update_is_reported_with_status_1(tmp_path):
    result = run_demo(tmp_path, "--mode", "console", "--fail")
    assert result.returncode == 1, result.stdout + result.stderr
    assert "Download failed!\n" in result.stdout
    fields = report(result)
    assert fields["update exit status"] == "1 (the update failed)"
    assert fields["after"].startswith("Brivex launcher 1.0.0")
    assert "demo: the new launcher did not report a start" in result.stdout
    assert "Traceback" not in result.stdout + result.stderr
    assert_cleaned_up(tmp_path)


@pytest.mark.parametrize(
    "args, message",
    [
        (["--mode", "nope"], "argument --mode: invalid choice: 'nope'"),
        (["--fast"], "unrecognized arguments: --fast"),
        (["--mode", "window"], "demo: error: --mode window needs a display"),
    ],
)
def test_wrong_options_get_a_message_and_status_2(tmp_path, args, message):
    result = run_demo(tmp_path, *args)
    assert result.returncode == 2
    assert message in result.stderr
    assert "Traceback" not in result.stderr
    assert "demo: update server" not in result.stdout  # nothing was started
    assert_cleaned_up(tmp_path)


def test_demo_script_refuses_a_wrong_option_before_building(tmp_path):
    result = subprocess.run(
        ["bash", str(ROOT / "tools" / "demo.sh"), "--mode", "nope"],
        capture_output=True, text=True, timeout=120, stdin=subprocess.DEVNULL,
    )
    assert result.returncode == 2
    assert "invalid choice: 'nope'" in result.stderr
    assert "building the module" not in result.stdout


@pytest.mark.gui
def test_window_demo_updates_under_x(tmp_path):
    result = run_demo(tmp_path, display=True)  # auto: a display is there, so the window
    assert result.returncode == 0, result.stdout + result.stderr
    assert "demo: updating in the window ...\n" in result.stdout
    assert "Tkinter not available" not in result.stdout
    assert report(result)["update exit status"] == "0 (success)"
    assert result.stdout.rstrip().endswith("demo: result: launcher updated from 1.0.0 to 2.0.0 and started")
    assert_cleaned_up(tmp_path)
