"""The package: `pip wheel .` gives a wheel that installs and imports in a fresh
virtual environment, with the stub beside the module and the update address
given at build time."""

from __future__ import annotations

import os
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
CUSTOM_URL = "https://files.example.org/acme/latest/main/BrivexLauncher.exe"

pytestmark = pytest.mark.timeout(300)


def pip_wheel(out: Path, *config: str) -> subprocess.CompletedProcess:
    args = [sys.executable, "-m", "pip", "wheel", "--no-deps", "--disable-pip-version-check", "-w", str(out)]
    for setting in config:
        args += ["-C", setting]
    return subprocess.run([*args, str(ROOT)], capture_output=True, text=True, timeout=280)


@pytest.fixture(scope="module")
def wheel(tmp_path_factory) -> Path:
    out = tmp_path_factory.mktemp("wheel")
    result = pip_wheel(out, f"cmake.define.UPDATER_UPDATE_URL={CUSTOM_URL}")
    assert result.returncode == 0, result.stdout + result.stderr
    (built,) = out.glob("updater-*.whl")
    return built


def test_wheel_holds_the_module_and_its_stub_only(wheel):
    assert wheel.name.startswith("updater-1.0.0-cp312-cp312-")
    names = zipfile.ZipFile(wheel).namelist()
    top = sorted(n for n in names if ".dist-info/" not in n)
    assert len(top) == 2, top
    assert top[0].startswith("updater.cpython-312-") or top[0] == "updater.cp312-win_amd64.pyd"
    assert top[1] == "updater.pyi"
    assert zipfile.ZipFile(wheel).read("updater.pyi") == (ROOT / "updater.pyi").read_bytes()


def test_wheel_installs_and_imports_in_a_fresh_venv(wheel, tmp_path):
    venv = tmp_path / "fresh"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True, timeout=120)
    python = venv / "Scripts" / "python.exe" if os.name == "nt" else venv / "bin" / "python"
    install = subprocess.run(
        [str(python), "-m", "pip", "install", "--no-index", "--disable-pip-version-check", str(wheel)],
        capture_output=True, text=True, timeout=120,
    )
    assert install.returncode == 0, install.stdout + install.stderr

    # -I: nothing from this checkout or the environment on the path.
    probe = subprocess.run(
        [str(python), "-I", "-c",
         "import os, updater, sysconfig; "
         "print(os.path.dirname(updater.__file__) == sysconfig.get_paths()['platlib']); "
         "print(os.path.exists(os.path.join(os.path.dirname(updater.__file__), 'updater.pyi'))); "
         "print(updater.UPDATE_URL); print(updater.MAIN_EXE_NAME); print(updater.UpdaterGUI.WIDTH)"],
        cwd=tmp_path, capture_output=True, text=True, timeout=60,
    )
    assert probe.returncode == 0, probe.stderr
    assert probe.stdout.splitlines() == ["True", "True", CUSTOM_URL, "BrivexLauncher.exe", "400"]


def test_a_malformed_update_address_stops_the_build(tmp_path):
    result = pip_wheel(tmp_path, "cmake.define.UPDATER_UPDATE_URL=http://files.example.org/BrivexLauncher.exe")
    assert result.returncode != 0
    assert "UPDATER_UPDATE_URL must be an https address" in result.stdout + result.stderr
    assert list(tmp_path.glob("*.whl")) == []
