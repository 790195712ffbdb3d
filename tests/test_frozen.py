"""The real one-file application (packaging/updater_app.py frozen with PyInstaller),
placed beside an old launcher in a directory whose name has spaces and
non-ASCII letters, and run against the local HTTPS server: on Linux, and on
Windows (BrivexUpdater.exe, frozen under Wine by Windows PyInstaller).

Most tests run the test build (the spec's --test-build), which takes its
update address from BRIVEX_UPDATE_URL; the shipped build, which must not, is
run as well to show that it does not.  The test build is made once per
session (by packaging/build_frozen.sh, on Windows by PyInstaller itself) and
kept in build/frozen/<system>/cache-<kind>-<key>, where the key hashes
everything the build is made of (the packaging files, the installed module
file, PyInstaller's version), so an unchanged tree reuses it.  The shipped
build is made the same way on Linux; on Windows it is the one a vendor gets,
made by tools/windows/stage.py (build/windows/dist).  Each run gets its own
temporary directory (TMPDIR, TMP and TEMP), so the unpack directory
(sys._MEIPASS, "_MEI..." below it) can be found and inspected.
"""

from __future__ import annotations

import hashlib
import importlib.metadata
import importlib.util
import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import sys
import threading
import time
from dataclasses import dataclass
from pathlib import Path

import pytest

from support import desktop
from support.launcher import environment, program

pytest.importorskip("PyInstaller", reason="PyInstaller is not installed (requirements-freeze.txt)")

# The first test also pays for the build (about half a minute, a minute under Wine).
pytestmark = pytest.mark.timeout(400)
WINDOWS = os.name == "nt"

ROOT = Path(__file__).resolve().parent.parent
BUILD_INPUTS = [
    "packaging/build_frozen.sh",
    "packaging/icon.ico",
    "packaging/updater_app.py",
    "packaging/updater_app_testbuild.py",
    "packaging/updater_app.spec",
    "packaging/hooks/hook-updater.py",
]
APP_NAME = "BrivexUpdater.exe" if WINDOWS else "BrivexUpdater"
INSTALL_DIR = "Brivex Äpp 启动器"
BUILD_OPTIONS = {"test": ["--test-build"], "shipped": []}
LAUNCHER = "BrivexLauncher.exe"
NEW_FILE = "BrivexLauncher_new.exe"
MARKER = "launcher-started.txt"
RUN_TIMEOUT = 60 if WINDOWS else 30
NEW_SIZE = 400_100  # 7 blocks of 64 KiB


# -- the build ---------------------------------------------------------------------


def build_key(module_file: Path, kind: str) -> str:
    digest = hashlib.sha256(" ".join(BUILD_OPTIONS[kind]).encode() + b"\0")
    for name in BUILD_INPUTS:
        digest.update(name.encode() + b"\0" + (ROOT / name).read_bytes())
    digest.update(module_file.read_bytes())
    digest.update(importlib.metadata.version("pyinstaller").encode())
    digest.update(sys.version.encode())
    return digest.hexdigest()[:16]


def installed_module() -> Path:
    spec = importlib.util.find_spec("updater")
    if spec is None or spec.origin is None:
        pytest.fail("the module 'updater' is not installed in this interpreter; run tools/test.sh", pytrace=False)
    return Path(spec.origin)


def build_command(out: Path, kind: str) -> list[str]:
    if WINDOWS:
        spec_options = ["--", *BUILD_OPTIONS[kind]] if BUILD_OPTIONS[kind] else []
        return [sys.executable, "-m", "PyInstaller", "--noconfirm", "--log-level", "WARN",
                "--distpath", str(out / "dist"), "--workpath", str(out / "work"),
                str(ROOT / "packaging" / "updater_app.spec"), *spec_options]
    return ["bash", str(ROOT / "packaging" / "build_frozen.sh"),
            "--out", str(out), "--python", sys.executable, "--no-install", *BUILD_OPTIONS[kind]]


def frozen_build(kind: str) -> Path:
    """The executable of the `kind` build ("test" or "shipped"), built unless cached."""
    module = installed_module()
    cache_root = ROOT / "build" / "frozen" / sys.platform
    current = {k: f"cache-{k}-{build_key(module, k)}" for k in BUILD_OPTIONS}
    target = cache_root / current[kind]
    app = target / "dist" / APP_NAME
    if not app.is_file():
        cache_root.mkdir(parents=True, exist_ok=True)
        stale = [d for d in cache_root.glob("cache-*") if d.name not in current.values()]
        for old in [*stale, *cache_root.glob(f"partial-{kind}-*")]:
            shutil.rmtree(old, ignore_errors=True)  # builds of other sources, unfinished builds
        partial = cache_root / f"partial-{kind}-{os.getpid()}"
        started = time.monotonic()
        proc = subprocess.run(build_command(partial, kind), cwd=ROOT, capture_output=True, text=True, timeout=360)
        if proc.returncode != 0:
            pytest.fail(f"the frozen {kind} build failed ({proc.returncode})\n{proc.stdout}\n{proc.stderr}", pytrace=False)
        print(f"frozen {kind} build: {time.monotonic() - started:.1f} s")
        partial.rename(target)  # only a finished build is ever reused
    return app


@pytest.fixture(scope="session")
def frozen_app() -> Path:
    """The test build: it takes its update address from BRIVEX_UPDATE_URL."""
    return frozen_build("test")


def packed_files(app: Path) -> dict[str, str]:
    """Base name (lower case) -> name in the archive, of what the executable carries."""
    from PyInstaller.archive.readers import CArchiveReader

    return {os.path.basename(name).lower(): name for name in CArchiveReader(str(app)).toc}


@pytest.fixture(scope="session")
def shipped_app() -> Path:
    """The build a vendor ships.  On Windows the one tools/windows/stage.py
    built, which must carry the module installed here."""
    if not WINDOWS:
        return frozen_build("shipped")
    from PyInstaller.archive.readers import CArchiveReader

    app = ROOT / "build" / "windows" / "dist" / APP_NAME
    if not app.is_file():
        pytest.fail(f"{app} is missing: tools/windows/stage.py build makes it (tools/test.sh runs it)", pytrace=False)
    module = installed_module()
    packed = CArchiveReader(str(app)).extract(packed_files(app)[module.name.lower()])
    assert packed == module.read_bytes(), f"{app} carries another build of the module than {module}"
    return app


# -- one installation and one run ---------------------------------------------------------


@dataclass
class Install:
    root: Path
    app_dir: Path  # the executable and the launcher
    work_dir: Path  # the working directory of the run
    tmp_dir: Path  # TMPDIR of the run: the unpack directory is made below it

    @property
    def app(self) -> Path:
        return self.app_dir / APP_NAME

    @property
    def launcher(self) -> Path:
        return self.app_dir / LAUNCHER

    @property
    def marker(self) -> Path:
        return self.app_dir / MARKER

    def unpack_dirs(self) -> list[Path]:
        return sorted(self.tmp_dir.glob("_MEI*"))

    def marker_lines(self, timeout: float = 10) -> list[str]:
        """The launcher's own record of its starts (it runs detached, so wait for it)."""
        marker = self.marker
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if marker.exists() and marker.read_text(encoding="utf-8").endswith("\n"):
                return marker.read_text(encoding="utf-8").splitlines()
            time.sleep(0.05)
        return []


    @property
    def old_launcher(self) -> bytes:
        return program("1.0.0 started as %s", self.marker)

    @property
    def new_launcher(self) -> bytes:
        return program("2.0.0 started as %s", self.marker, NEW_SIZE)


def make_install(app: Path, root: Path) -> Install:
    inst = Install(root, root / INSTALL_DIR, root / "work", root / "tmp")
    for d in (inst.app_dir, inst.work_dir, inst.tmp_dir):
        d.mkdir()
    shutil.copy2(app, inst.app)
    inst.launcher.write_bytes(inst.old_launcher)
    inst.launcher.chmod(0o750)  # the new launcher must get these bits (POSIX)
    return inst


@pytest.fixture
def install(frozen_app: Path, tmp_path: Path) -> Install:
    return make_install(frozen_app, tmp_path)


@dataclass
class Run:
    returncode: int
    stdout: str
    stderr: str

    def __str__(self) -> str:
        return f"exit status {self.returncode}\n--- stdout ---\n{self.stdout}--- stderr ---\n{self.stderr}"


def app_env(inst: Install, trusted_env: dict[str, str], *, display: bool, url: str | None = "server") -> dict[str, str]:
    env = dict(os.environ)
    env.update(SSL_CERT_FILE=trusted_env["SSL_CERT_FILE"], NO_PROXY="127.0.0.1", no_proxy="127.0.0.1")
    env["TMPDIR"] = env["TMP"] = env["TEMP"] = str(inst.tmp_dir)
    env.pop("BRIVEX_UPDATE_URL", None)
    if url is not None:
        env["BRIVEX_UPDATE_URL"] = trusted_env["TEST_UPDATE_URL"] if url == "server" else url
    if not display:
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
    return env


def start_app(inst: Install, env: dict[str, str], *args: str, stdout=subprocess.PIPE) -> subprocess.Popen:
    return subprocess.Popen(
        [str(inst.app), *args], cwd=inst.work_dir, env=env, text=True, encoding="utf-8", errors="replace",
        stdin=subprocess.DEVNULL, stdout=stdout, stderr=subprocess.PIPE,
        start_new_session=True,  # the bootloader and its child: killed as one group (POSIX)
    )


def finish(proc: subprocess.Popen) -> Run:
    try:
        out, err = proc.communicate(timeout=RUN_TIMEOUT)
    except subprocess.TimeoutExpired:
        if WINDOWS:  # the bootloader ends its child with itself
            proc.kill()
        else:
            os.killpg(proc.pid, signal.SIGKILL)
        out, err = proc.communicate()
        pytest.fail(f"the frozen app did not finish within {RUN_TIMEOUT} s\n{out}\n{err}")
    return Run(proc.returncode, out or "", err)


def run_app(inst: Install, env: dict[str, str], *args: str) -> Run:
    return finish(start_app(inst, env, *args))


def watch_download(inst: Install, proc: subprocess.Popen) -> dict[str, list[str]]:
    """Wait until the download file exists somewhere under the test's directory,
    then list, at that moment, the install, working and unpack directories."""
    deadline = time.monotonic() + RUN_TIMEOUT
    while time.monotonic() < deadline and proc.poll() is None:
        if list(inst.root.rglob(NEW_FILE)):
            unpack = inst.unpack_dirs()
            return {
                "app": sorted(p.name for p in inst.app_dir.iterdir()),
                "work": sorted(p.name for p in inst.work_dir.iterdir()),
                "unpack": sorted(p.name for p in unpack[0].iterdir()) if unpack else [],
                "found": sorted(str(p.relative_to(inst.root)) for p in inst.root.rglob(NEW_FILE)),
            }
        time.sleep(0.01)
    pytest.fail(f"no {NEW_FILE} appeared while the app ran\n{finish(proc)}")


def assert_updated(inst: Install) -> None:
    assert inst.launcher.read_bytes() == inst.new_launcher
    if not WINDOWS:
        assert stat.S_IMODE(inst.launcher.stat().st_mode) == 0o750
    assert sorted(p.name for p in inst.app_dir.iterdir()) == sorted([APP_NAME, LAUNCHER, MARKER])
    lines = inst.marker_lines()
    assert lines == [f"2.0.0 started as {inst.launcher}"], "the new launcher did not start (once, by its path)"
    assert list(inst.work_dir.iterdir()) == []


class Listener:
    """A plain TCP listener on 127.0.0.1 that counts the connections arriving
    at it and closes each at once (a TLS client then fails without waiting)."""

    def __init__(self) -> None:
        self._sock = socket.create_server(("127.0.0.1", 0))
        self._sock.settimeout(0.05)
        self.url = f"https://127.0.0.1:{self._sock.getsockname()[1]}/brivex/latest/main/{LAUNCHER}"
        self.connections = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._accept, name="listener", daemon=True)
        self._thread.start()

    def _accept(self) -> None:
        while not self._stop.is_set():
            try:
                conn, _ = self._sock.accept()
            except TimeoutError:
                continue
            self.connections += 1
            conn.close()

    def close(self) -> int:
        """Stop listening; the number of connections, counting any not yet accepted."""
        if self._stop.is_set():
            return self.connections
        self._stop.set()
        self._thread.join()
        self._sock.setblocking(False)
        while True:
            try:
                self._sock.accept()[0].close()
            except BlockingIOError:
                break
            self.connections += 1
        self._sock.close()
        return self.connections


@pytest.fixture
def listener():
    probe = Listener()
    yield probe
    probe.close()


@pytest.fixture(scope="session")
def legacy_encoding(tmp_path_factory) -> dict[str, str]:
    """Environment in which a program's output to a file is not UTF-8.  On
    POSIX a locale whose encoding, ISO-8859-1, lacks "•": generated with
    localedef into a directory of the test's own, named by LOCPATH.  On
    Windows the system's ANSI code page (cp1252 here, whose "•" is one byte
    that is not UTF-8) is what Python writes to a file outside UTF-8 mode."""
    if WINDOWS:
        import locale

        assert locale.getencoding().lower() != "utf-8", "Windows here writes UTF-8 to files anyway"
        return {}
    localedef = shutil.which("localedef")
    if localedef is None or not Path("/usr/share/i18n/locales/en_US").is_file():
        pytest.fail("localedef and the en_US locale source are missing: install the Debian package "
                    "'locales' (.ci/run does)", pytrace=False)
    locales = tmp_path_factory.mktemp("locales")
    proc = subprocess.run([localedef, "-i", "en_US", "-f", "ISO-8859-1", str(locales / "en_US.ISO-8859-1")],
                          capture_output=True, text=True, timeout=60)
    env = {"LOCPATH": str(locales), "LC_ALL": "en_US.ISO-8859-1"}
    probe = subprocess.run([sys.executable, "-c", "import locale; print(locale.getencoding())"],
                           env={**os.environ, **env}, capture_output=True, text=True, timeout=30)
    if probe.stdout.strip() != "ISO-8859-1":
        pytest.fail(f"the generated locale is not in use (encoding {probe.stdout.strip()!r})\n"
                    f"localedef: {proc.returncode}\n{proc.stdout}{proc.stderr}", pytrace=False)
    return env


# -- tests -----------------------------------------------------------------------------


def test_paths_inside_the_frozen_build(install, trusted_env):
    run = run_app(install, app_env(install, trusted_env, display=False), "--paths")
    assert run.returncode == 0, run
    fields = dict(line.split(": ", 1) for line in run.stdout.splitlines())
    unpack = Path(fields["unpack directory"])
    # The module's own view: install directory = the executable's directory ...
    assert fields["executable"] == str(install.app)
    assert fields["install directory"] == str(install.app_dir)
    assert fields["launcher"] == str(install.launcher)
    # ... and the icon is looked up, and found, in the unpack directory.
    assert unpack.parent == install.tmp_dir and unpack.name.startswith("_MEI")
    assert fields["icon"] == f"{unpack / 'icon.ico'} (found)"
    assert fields["update address"] == trusted_env["TEST_UPDATE_URL"]
    assert fields["build"].startswith("test build: ")
    # The bootloader removes its unpack directory when the app ends.
    assert install.unpack_dirs() == []


def test_update_address_is_the_compiled_one_without_override(install, trusted_env, updater_module):
    run = run_app(install, app_env(install, trusted_env, display=False, url=None), "--paths")
    assert run.returncode == 0, run
    assert f"update address: {updater_module.UPDATE_URL}\n" in run.stdout


@pytest.mark.parametrize("output", ["pipe", "legacy-encoding file"])
def test_console_update_downloads_and_swaps_beside_the_executable(install, trusted_env, https_server, output, request):
    https_server.configure(body=install.new_launcher, mode="slow", block_size=65536, delay=0.15)
    env = app_env(install, trusted_env, display=True)
    if output == "pipe":
        proc = start_app(install, env, "--console")
    else:
        # Redirected to a file in an encoding that is not UTF-8: the
        # application's UTF-8 mode writes the progress lines' "•" all the same.
        env.update(request.getfixturevalue("legacy_encoding"))
        env.pop("PYTHONUTF8", None)
        env.pop("PYTHONIOENCODING", None)
        out_file = install.root / "console.txt"
        with out_file.open("wb") as out:
            proc = start_app(install, env, "--console", stdout=out)
    during = watch_download(install, proc)
    run = finish(proc)
    if output != "pipe":
        run.stdout = out_file.read_text(encoding="utf-8")

    assert run.returncode == 0, run
    # The download was written beside the executable: not in the working
    # directory, not in the unpack directory (which holds the packed icon).
    assert during["found"] == [str(Path(install.app_dir.name, NEW_FILE))]
    assert during["app"] == sorted([APP_NAME, LAUNCHER, NEW_FILE])
    assert during["work"] == []
    assert "icon.ico" in during["unpack"] and NEW_FILE not in during["unpack"]
    assert_updated(install)

    lines = run.stdout.splitlines()
    assert lines[0] == "Tkinter not available, running console update..."
    assert lines[-1] == "Update ready! Replacing and restarting..."
    assert lines[-2].startswith("100.0% • ")
    assert len(lines) == 2 + 7  # one line per 64 KiB block
    (get,) = https_server.requests
    assert get.method == "GET" and get.header("Cache-Control") == "no-cache"


@pytest.mark.parametrize("build", ["shipped", "test"])
def test_only_the_test_build_takes_its_address_and_trust_from_the_environment(build, request, tmp_path,
                                                                              trusted_env, listener, updater_module):
    # The shipped build's compiled address is on a reserved example domain,
    # which does not resolve; the listener closes the test build's connection.
    # Either way the download fails at once, and only the listener tells them apart.
    inst = make_install(request.getfixturevalue("shipped_app" if build == "shipped" else "frozen_app"), tmp_path)
    env = app_env(inst, trusted_env, display=False, url=listener.url)
    paths = run_app(inst, env, "--paths")
    run = run_app(inst, env, "--console")
    usage = run_app(inst, env, "--help")

    assert paths.returncode == 0, paths
    fields = dict(line.split(": ", 1) for line in paths.stdout.splitlines())
    assert usage.returncode == 0 and usage.stdout.splitlines()[-1] == f"build: {fields['build']}", usage
    if build == "shipped":
        assert fields["update address"] == updater_module.UPDATE_URL
        assert fields["build"] == "shipped"
        assert fields["certificate file"] != env["SSL_CERT_FILE"], "the shipped build trusts SSL_CERT_FILE"
        assert listener.close() == 0, "the shipped build connected to the address in BRIVEX_UPDATE_URL"
    else:
        assert fields["update address"] == listener.url
        assert fields["build"].startswith("test build: ")
        assert fields["certificate file"] == env["SSL_CERT_FILE"]
        assert listener.close() == 1
    assert run.returncode == 1 and run.stdout.splitlines()[-1] == "Download failed!", run
    assert inst.launcher.read_bytes() == inst.old_launcher


@pytest.mark.parametrize("library_path", [None] if WINDOWS else [None, "/opt/brivex libs"])
def test_started_launcher_is_clean_of_the_runtime(install, trusted_env, https_server, library_path):
    # The new launcher records its environment, which the application it starts again inherits.
    https_server.configure(body=program("%e", install.marker, NEW_SIZE))
    env = app_env(install, trusted_env, display=False)
    if library_path:  # the bootloader puts its unpack directory in front of it
        env["LD_LIBRARY_PATH"] = library_path
    run = run_app(install, env, "--console")
    assert run.returncode == 0, run
    (recorded,) = install.marker_lines()
    seen = environment(recorded)

    unpack = os.path.normcase(os.path.join(install.tmp_dir, "_MEI"))
    assert [name for name in seen if name.startswith(("_PYI_", "_MEIPASS"))] == []
    assert [f"{name}={value}" for name, value in seen.items() if unpack in os.path.normcase(value)] == []
    assert seen.get("LD_LIBRARY_PATH") == library_path
    assert seen["BRIVEX_UPDATE_URL"] == env["BRIVEX_UPDATE_URL"]  # the rest is the application's
    again = run_app(install, seen, "--paths")
    assert again.returncode == 0, again


@pytest.mark.skipif(WINDOWS, reason="Windows always has a display")
def test_console_is_chosen_when_there_is_no_display(install, trusted_env, https_server):
    https_server.configure(body=install.new_launcher)
    run = run_app(install, app_env(install, trusted_env, display=False))
    assert run.returncode == 0, run
    assert run.stdout.startswith("Tkinter not available, running console update...\n")
    assert_updated(install)


def test_failed_download_exits_1_and_keeps_the_old_launcher(install, trusted_env, https_server):
    https_server.configure(mode="not_found")
    run = run_app(install, app_env(install, trusted_env, display=False), "--console")
    assert run.returncode == 1, run
    assert run.stdout.splitlines()[-1] == "Download failed!"
    assert "Traceback" not in run.stderr
    assert install.launcher.read_bytes() == install.old_launcher
    assert sorted(p.name for p in install.app_dir.iterdir()) == sorted([APP_NAME, LAUNCHER])
    assert install.marker_lines(timeout=0.5) == []


def test_wrong_command_line_exits_2(install, trusted_env):
    run = run_app(install, app_env(install, trusted_env, display=False), "--bogus")
    assert run.returncode == 2, run
    assert "unknown command line" in run.stderr and "usage:" in run.stderr
    assert install.launcher.read_bytes() == install.old_launcher


@pytest.mark.gui
def test_window_update(install, trusted_env, https_server):
    https_server.configure(body=install.new_launcher, mode="slow", block_size=65536, delay=0.15)
    proc = start_app(install, app_env(install, trusted_env, display=True))
    during = watch_download(install, proc)
    window = desktop.visible_window("Brivex Updater")
    run = finish(proc)

    assert run.returncode == 0, run
    assert window, "no window titled 'Brivex Updater' while the download ran"
    assert during["found"] == [str(Path(install.app_dir.name, NEW_FILE))]
    assert "icon.ico" in during["unpack"] and NEW_FILE not in during["unpack"]
    assert "Tkinter not available" not in run.stdout
    assert_updated(install)


# -- what the Windows executable carries ---------------------------------------------------

# A DLL in the system directory is one every Windows has, unless it is the
# Visual C++ runtime, which comes with programs (or their redistributable);
# so are the API sets (api-ms-win-..., the Universal CRT among them), which
# the loader maps onto system DLLs.
VISUAL_CPP_RUNTIME = re.compile(r"(?i)^(vcruntime|msvcp|concrt|vccorlib|vcomp)\d")
API_SET = re.compile(r"(?i)^(api|ext)-ms-")


def system_dll(name: str) -> bool:
    system = Path(os.environ.get("SystemRoot", r"C:\Windows"), "System32")
    return bool(API_SET.match(name)) or ((system / name).is_file() and not VISUAL_CPP_RUNTIME.match(name))


@pytest.mark.skipif(not WINDOWS, reason="Linux executables carry neither icon resources nor DLLs")
@pytest.mark.parametrize("build", ["shipped", "test"])
def test_the_executable_carries_its_icon_and_every_dll_it_needs(build, request):
    import pefile
    from PyInstaller.archive.readers import CArchiveReader

    app = request.getfixturevalue("shipped_app" if build == "shipped" else "frozen_app")
    # The icon: packaging/icon.ico's images, as the executable's own icon resources.
    icon = (ROOT / "packaging" / "icon.ico").read_bytes()
    count = int.from_bytes(icon[4:6], "little")
    images = sorted(icon[int.from_bytes(icon[18 + 16 * i : 22 + 16 * i], "little"):][
                    : int.from_bytes(icon[14 + 16 * i : 18 + 16 * i], "little")] for i in range(count))
    pe = pefile.PE(str(app))
    resources = {entry.id: entry for entry in pe.DIRECTORY_ENTRY_RESOURCE.entries}
    icons = sorted(pe.get_data(language.data.struct.OffsetToData, language.data.struct.Size)
                   for name in resources[pefile.RESOURCE_TYPE["RT_ICON"]].directory.entries
                   for language in name.directory.entries)
    assert pefile.RESOURCE_TYPE["RT_GROUP_ICON"] in resources
    assert icons == images

    # Every DLL that the packed programs and modules import is packed too, or
    # is one every Windows has.
    archive = CArchiveReader(str(app))
    packed = packed_files(app)
    missing = {}
    for base, name in packed.items():
        if not base.endswith((".dll", ".pyd")):
            continue
        module = pefile.PE(data=archive.extract(name), fast_load=True)
        module.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
        for entry in getattr(module, "DIRECTORY_ENTRY_IMPORT", []):
            dll = entry.dll.decode()
            if dll.lower() not in packed and not system_dll(dll):
                missing.setdefault(dll, []).append(base)
    assert "updater.cp312-win_amd64.pyd" in packed and "python312.dll" in packed
    assert "vcruntime140.dll" in packed  # python312.dll's C runtime
    assert missing == {}, f"imported but not carried: {missing}"
