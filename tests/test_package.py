"""The package: `pip wheel .` (CMake and this system's compiler) and
tools/windows/build.py (zig, the win_amd64 wheel built on Linux) give
wheels that hold the module and its stub with the update address given at
build time, refuse a malformed address, and install and import in a fresh
virtual environment of their system.

On Windows the builds cannot run here (they need Linux's compilers): the
wheel built beforehand into build/windows/dist and installed (by
tools/windows/stage.py, or by the Windows workflow with MSVC) is checked."""

from __future__ import annotations

import os
import re
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
CUSTOM_URL = "https://files.example.org/acme/latest/main/BrivexLauncher.exe"
MALFORMED_URL = "http://files.example.org/BrivexLauncher.exe"
MODULE_FILES = {"pip": "updater.cpython-312-", "zig": "updater.cp312-win_amd64.pyd",
                "built": "updater.cp312-win_amd64.pyd"}
BUILDERS = ["pip", "zig"] if os.name == "posix" else ["built"]
NATIVE = "pip" if os.name == "posix" else "built"

pytestmark = pytest.mark.timeout(300)


def build(builder: str, out: Path, url: str) -> subprocess.CompletedProcess:
    if builder == "pip":
        argv = [sys.executable, "-m", "pip", "wheel", "--no-deps", "--disable-pip-version-check", "-w", str(out),
                "-C", f"cmake.define.UPDATER_UPDATE_URL={url}", str(ROOT)]
    else:
        argv = [sys.executable, str(ROOT / "tools" / "windows" / "build.py"), "--update-url", url, "--out", str(out)]
    return subprocess.run(argv, capture_output=True, text=True, timeout=280)


def default_url() -> str:
    return re.search(r'set\(UPDATER_UPDATE_URL\s+"([^"]+)"', (ROOT / "CMakeLists.txt").read_text()).group(1)


@pytest.fixture(scope="module")
def wheel_of(tmp_path_factory):
    """wheel_of(builder) -> (wheel, the address it was built with), built once."""
    built: dict[str, tuple[Path, str]] = {}

    def get(builder: str) -> tuple[Path, str]:
        if builder not in built:
            if builder == "built":
                wheels = list((ROOT / "build" / "windows" / "dist").glob("updater-*.whl"))
                assert len(wheels) == 1, "no wheel in build/windows/dist: tools/windows/stage.py build makes it"
                built[builder] = wheels[0], default_url()
            else:
                out = tmp_path_factory.mktemp("wheel")
                result = build(builder, out, CUSTOM_URL)
                assert result.returncode == 0, result.stdout + result.stderr
                (wheel,) = out.glob("updater-*.whl")
                built[builder] = wheel, CUSTOM_URL
        return built[builder]

    return get


@pytest.mark.parametrize("builder", BUILDERS)
def test_wheel_holds_the_module_and_its_stub_only(wheel_of, builder):
    wheel, url = wheel_of(builder)
    assert wheel.name.startswith("updater-1.0.0-cp312-cp312-")
    assert wheel.name.endswith("-win_amd64.whl") == (builder != "pip" or os.name == "nt")
    archive = zipfile.ZipFile(wheel)
    top = sorted(n for n in archive.namelist() if ".dist-info/" not in n)
    assert len(top) == 2, top
    assert top[0].startswith(MODULE_FILES[builder])
    assert top[1] == "updater.pyi"
    assert archive.read("updater.pyi") == (ROOT / "updater.pyi").read_bytes()
    assert url.encode() in archive.read(top[0])  # the address is compiled in


@pytest.mark.skipif(os.name == "nt", reason="the builds run on Linux: CMake, its compiler and zig are not here")
@pytest.mark.parametrize("builder", BUILDERS)
def test_a_malformed_update_address_stops_the_build(builder, tmp_path):
    result = build(builder, tmp_path, MALFORMED_URL)
    assert result.returncode != 0
    assert "UPDATER_UPDATE_URL must be an https address" in result.stdout + result.stderr
    assert list(tmp_path.glob("*.whl")) == []


def test_wheel_installs_and_imports_in_a_fresh_venv(wheel_of, tmp_path):
    wheel, url = wheel_of(NATIVE)
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
    assert probe.stdout.splitlines() == ["True", "True", url, "BrivexLauncher.exe", "400"]


# A module of one source, which tools/windows/build.py's checks refuse:
# (what it includes, what its init function calls, what the check says).
PROBES = {
    "a second C runtime": ('extern "C" __declspec(dllimport) int _getch(void);\n', "_getch();",
                           "imports msvcrt.dll: a C or C++ runtime beside the interpreter's Universal CRT"),
    "a POSIX header": ("#include <unistd.h>\n", "", "includes <unistd.h>"),
}


@pytest.mark.skipif(os.name == "nt", reason="the Windows build runs on Linux: zig is not here")
@pytest.mark.parametrize("probe", PROBES)
def test_the_windows_build_refuses_what_a_module_must_not_include_or_link(probe, tmp_path, monkeypatch):
    monkeypatch.syspath_prepend(str(ROOT / "tools" / "windows"))
    import build
    import winenv

    includes, calls, refusal = PROBES[probe]
    python = winenv.WindowsPython()
    python.ensure_distribution()
    source = tmp_path / "probe.cpp"
    source.write_text(f"{includes}#include <Python.h>\n"
                      f"PyMODINIT_FUNC PyInit_updater(void) {{ {calls} return PyLong_FromLong(0); }}\n")
    libraries = [python.import_library]
    if "_getch" in calls:  # msvcrt.dll, which zig does not link, through an import library of its own
        (tmp_path / "msvcrt.def").write_text("LIBRARY msvcrt.dll\nEXPORTS\n_getch\n")
        libraries.append(tmp_path / "msvcrt.lib")
        subprocess.run([sys.executable, "-m", "ziglang", "dlltool", "-m", "i386:x86-64", "-d",
                        str(tmp_path / "msvcrt.def"), "-l", str(libraries[-1])], check=True, timeout=60)
    tools = build.find_tools()

    with pytest.raises(winenv.StageError, match=re.escape(refusal)):
        (obj,) = build.compile_all(tools, [source], python.include, default_url(), tmp_path).values()
        build.check_headers({source: obj}, python.include)
        build.link(tools, [obj, *libraries], tmp_path / build.MODULE_FILE)
        build.check_module_file(tools, tmp_path / build.MODULE_FILE)
