"""The type stub updater.pyi: installed beside the module, in agreement with the
built module (mypy's stubtest), and usable by a type-checked embedding program."""

from __future__ import annotations

import importlib.util
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("mypy", reason="mypy is not installed (requirements-dev.txt)")

ROOT = Path(__file__).resolve().parent.parent


@pytest.fixture(scope="module")
def installed_stub() -> Path:
    spec = importlib.util.find_spec("updater")
    assert spec is not None and spec.origin, "the module 'updater' is not installed; run tools/test.sh"
    return Path(spec.origin).with_name("updater.pyi")


@pytest.fixture
def stub_dir(installed_stub: Path, tmp_path: Path) -> Path:
    """A directory holding only the installed stub, for MYPYPATH.

    mypy does not read a stub of a single module from site-packages (that needs
    a package with py.typed), so the installed file is copied out; it is still
    the shipped stub that gets checked, against the installed module."""
    d = tmp_path / "stubs"
    d.mkdir()
    shutil.copy(installed_stub, d / "updater.pyi")
    return d


def mypy_tool(args: list[str], stub_dir: Path, cwd: Path) -> subprocess.CompletedProcess:
    env = dict(os.environ, MYPYPATH=str(stub_dir))
    if args[0] == "mypy":
        args = [*args, "--cache-dir", str(cwd / ".mypy_cache")]
    return subprocess.run(
        [sys.executable, "-m", *args],
        cwd=cwd, env=env, capture_output=True, text=True, timeout=120,
    )


def test_stub_is_installed_beside_the_module(installed_stub):
    assert installed_stub.is_file()
    assert installed_stub.read_text() == (ROOT / "updater.pyi").read_text()


def test_stubtest_finds_no_difference(stub_dir, tmp_path):
    result = mypy_tool(["mypy.stubtest", "updater"], stub_dir, tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success: no issues found in 1 module" in result.stdout


def test_stubtest_would_report_a_wrong_signature(stub_dir, tmp_path):
    # The check is live: a stub that disagrees with the module fails it.
    stub = stub_dir / "updater.pyi"
    stub.write_text(stub.read_text().replace("def get_exe_dir() -> str:", "def get_exe_dir(base: str) -> str:"))
    result = mypy_tool(["mypy.stubtest", "updater"], stub_dir, tmp_path)
    assert result.returncode == 1
    assert 'updater.get_exe_dir is inconsistent, runtime does not have parameter "base"' in result.stdout


def test_embedding_programs_type_check_against_the_stub(stub_dir, tmp_path):
    good = tmp_path / "good.py"
    good.write_text(textwrap.dedent("""\
        import updater

        def report(percent: float, speed_kb: float, known_size: bool, downloaded_bytes: int) -> None:
            print(percent, speed_kb, known_size, downloaded_bytes)

        updater.UPDATE_URL = "https://staging.example.com/brivex/latest/main/BrivexLauncher.exe"
        path: str | None = updater.download_new_exe_with_progress(report)
        if path is not None:
            updater.replace_and_run(path)
        gui = updater.UpdaterGUI()
        width: int = updater.UpdaterGUI.WIDTH
        gui.speed_lbl.config(text=updater.get_resource_path("icon.ico") + updater.get_exe_dir())
    """))
    bad = tmp_path / "bad.py"
    bad.write_text(textwrap.dedent("""\
        import updater

        def report(percent: float) -> None: ...

        updater.get_resource_path(3)
        name: int = updater.MAIN_EXE_NAME
        updater.download_new_exe_with_progress(report)
        updater.UpdaterGUI(True)
    """))
    shutil.copy(ROOT / "packaging" / "updater_app.py", tmp_path / "updater_app.py")

    ok = mypy_tool(["mypy", "--strict", "good.py", "updater_app.py"], stub_dir, tmp_path)
    assert ok.returncode == 0, ok.stdout + ok.stderr

    errors = mypy_tool(["mypy", "--strict", "bad.py"], stub_dir, tmp_path)
    assert errors.returncode == 1
    lines = [line for line in errors.stdout.splitlines() if ": error:" in line]
    assert [line.split(":")[1] for line in lines] == ["5", "6", "7", "8"], errors.stdout
