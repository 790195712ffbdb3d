"""Windows file semantics on top of the real `os`, for the swap tests on Linux;
on Windows itself, real running programs (`RunningPrograms`).

`WindowsOS` forwards every attribute to the real `os` module (``os.path``
included) except for the few operations whose Windows behaviour differs:

* ``rename(src, dst)`` refuses an existing ``dst`` with ``FileExistsError``
  ("[WinError 183] Cannot create a file when that file already exists").
* ``replace(src, dst)`` overwrites ``dst`` as on both systems, unless ``dst`` is a
  running executable or read-only ("[WinError 5] Access is denied").
* ``remove(path)`` / ``unlink(path)`` of a running executable or of a read-only
  file is refused with ``PermissionError`` ("[WinError 5] Access is denied").
* A running executable may itself be renamed (Windows allows that); the
  "running" mark follows the file to its new name.  So may a read-only file.
* A file that another program holds open (`hold`) is neither renamed nor
  removed: the sharing violation, WinError 32 (or the lock violation, 33).
  Nor is a held file replaced: that is "Access is denied" (WinError 5).

Read-only is Windows' file attribute, which Python shows and sets as the
absence or presence of ``stat.S_IWRITE`` in the mode: `make_read_only` and
``chmod(path, stat.S_IWRITE)`` work the same way on both systems.  With
``name="nt"`` the stand-in also says it is Windows (``os.name``).

Bind it where the code under test looks up ``os``::

    winos = WindowsOS()
    winos.mark_running(launcher_path)
    monkeypatch.setattr(updater, "os", winos)
    monkeypatch.setattr(updater, "shutil", shutil_for(winos))

``shutil.move`` calls ``os.rename`` through shutil's own module global, so
`shutil_for` gives a private copy of shutil bound to the stand-in (nothing else
in the process is affected), and `patched_shutil` patches the shared shutil
module for the duration of a ``with`` block when a private copy will not do.

On Windows the tests use the real rules instead: `RunningPrograms` turns the
files that should be running executables into running programs, and the real
`os` refuses what Windows refuses.
"""

from __future__ import annotations

import contextlib
import errno
import importlib.util
import os as _os
import shutil as _shutil
import stat
import subprocess
import sys
import types
from pathlib import Path

REAL_WINDOWS = _os.name == "nt"


def _under_wine() -> bool:
    if not REAL_WINDOWS:
        return False
    import ctypes

    return hasattr(ctypes.windll.ntdll, "wine_get_version")


# Wine applies most of Windows' file rules; where it does not, a test says so.
UNDER_WINE = _under_wine()

ERROR_ACCESS_DENIED = 5
ERROR_ALREADY_EXISTS = 183

_MESSAGES = {
    ERROR_ACCESS_DENIED: "Access is denied",
    32: "The process cannot access the file because it is being used by another process",
    33: "The process cannot access the file because another process has locked a portion of the file",
    ERROR_ALREADY_EXISTS: "Cannot create a file when that file already exists",
}


def _format(winerror: int, filename, filename2=None) -> str:
    text = f"[WinError {winerror}] {windows_error_text(winerror)}"
    if filename is not None:
        text += f": {filename!r}"
        if filename2 is not None:
            text += f" -> {filename2!r}"
    return text


class WinFileExistsError(FileExistsError):
    """FileExistsError that prints like the one Windows gives."""

    def __init__(self, filename, filename2=None):
        super().__init__(errno.EEXIST, _MESSAGES[ERROR_ALREADY_EXISTS], filename, None, filename2)
        self.winerror = ERROR_ALREADY_EXISTS

    def __str__(self) -> str:
        return _format(ERROR_ALREADY_EXISTS, self.filename, self.filename2)


class WinPermissionError(PermissionError):
    """PermissionError that prints like "Access is denied" on Windows, or like
    the sharing (32) or lock violation (33): Python maps them all to EACCES."""

    def __init__(self, filename, filename2=None, winerror=ERROR_ACCESS_DENIED):
        super().__init__(errno.EACCES, _MESSAGES[winerror], filename, None, filename2)
        self.winerror = winerror

    def __str__(self) -> str:
        return _format(self.winerror, self.filename, self.filename2)


def _key(path) -> str:
    return _os.path.normcase(_os.path.abspath(_os.fspath(path)))


def make_read_only(path) -> None:
    """Windows' read-only attribute on a real Windows, write bits cleared elsewhere."""
    _os.chmod(path, stat.S_IMODE(_os.stat(path).st_mode) & ~0o222 if not REAL_WINDOWS else stat.S_IREAD)


def is_read_only(path) -> bool:
    return not _os.stat(path).st_mode & stat.S_IWRITE


def windows_error_text(winerror: int) -> str:
    """What str() of an OSError says for `winerror`: the system's own text on
    Windows (it differs between Windows and Wine), the stand-in's elsewhere."""
    if REAL_WINDOWS:
        import ctypes

        return ctypes.FormatError(winerror).strip().rstrip(".")
    return _MESSAGES[winerror]


class WindowsOS:
    """An `os` stand-in with Windows rename/replace/remove rules (see module doc)."""

    def __init__(self, running=(), name=None):
        self._running: set[str] = set()
        if name is not None:
            self.name = name
        self.calls: list[tuple] = []  # (name, *args) of every rename/replace/remove/unlink
        self._held: dict[str, tuple] = {}  # path: (released, winerror)
        for path in running:
            self.mark_running(path)

    def __getattr__(self, name):
        return getattr(_os, name)

    def __repr__(self) -> str:
        return f"<WindowsOS running={sorted(self._running)!r}>"

    # -- the "running executable" registry -----------------------------------

    def mark_running(self, path) -> None:
        self._running.add(_key(path))

    def is_running(self, path) -> bool:
        return _key(path) in self._running

    def hold(self, path, released, winerror=32) -> None:
        """Another program holds `path` (see module doc) until ``released()``."""
        self._held[_key(path)] = (released, winerror)

    def _refuse_if_held(self, path, filename2=None) -> None:
        released, winerror = self._held.get(_key(path), (lambda: True, None))
        if not released():
            raise WinPermissionError(path, filename2, winerror)

    # -- operations with Windows semantics -------------------------------------

    def rename(self, src, dst, *, src_dir_fd=None, dst_dir_fd=None):
        self.calls.append(("rename", src, dst))
        self._refuse_if_held(src, dst)
        if src_dir_fd is None and dst_dir_fd is None and _os.path.lexists(dst):
            raise WinFileExistsError(src, dst)
        _os.rename(src, dst, src_dir_fd=src_dir_fd, dst_dir_fd=dst_dir_fd)
        self._follow(src, dst)

    def _refuses_change(self, path) -> bool:
        held = self._held.get(_key(path), (lambda: True,))[0]
        return self.is_running(path) or (_os.path.exists(path) and (is_read_only(path) or not held()))

    def replace(self, src, dst, *, src_dir_fd=None, dst_dir_fd=None):
        self.calls.append(("replace", src, dst))
        self._refuse_if_held(src, dst)
        if self._refuses_change(dst):
            raise WinPermissionError(src, dst)
        _os.replace(src, dst, src_dir_fd=src_dir_fd, dst_dir_fd=dst_dir_fd)
        self._follow(src, dst)

    def remove(self, path, *, dir_fd=None):
        self.calls.append(("remove", path))
        self._refuse_if_held(path)
        if self._refuses_change(path):
            raise WinPermissionError(path)
        _os.remove(path, dir_fd=dir_fd)

    def unlink(self, path, *, dir_fd=None):
        self.calls.append(("unlink", path))
        self._refuse_if_held(path)
        if self._refuses_change(path):
            raise WinPermissionError(path)
        _os.unlink(path, dir_fd=dir_fd)

    def chmod(self, path, mode, **kwargs):
        self.calls.append(("chmod", path, mode))
        _os.chmod(path, mode, **kwargs)

    def _follow(self, src, dst) -> None:
        if self.is_running(src):
            self._running.discard(_key(src))
            self._running.add(_key(dst))


def shutil_for(os_standin) -> types.ModuleType:
    """A private copy of `shutil` whose `os` global is `os_standin`."""
    spec = importlib.util.find_spec("shutil")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    module.os = os_standin
    return module


@contextlib.contextmanager
def patched_shutil(os_standin):
    """Make the shared `shutil` module use `os_standin` inside the block."""
    saved = _shutil.os
    _shutil.os = os_standin
    try:
        yield _shutil
    finally:
        _shutil.os = saved


def unsigned(program: bytes) -> bytes:
    """A PE file without its Authenticode signature: the certificate table's
    entry in the header cleared.  python.org's python.exe is signed, and a
    signed launcher would only be replaced by a download its publisher signed."""
    data = bytearray(program)
    header = int.from_bytes(data[0x3C:0x40], "little") + 24  # the optional header, after "PE\0\0" and COFF's 20
    pe32_plus = data[header:header + 2] == b"\x0b\x02"
    security = header + (112 if pe32_plus else 96) + 4 * 8  # data directory 4, of 8 bytes each
    data[security:security + 8] = bytes(8)
    return bytes(data)


class RunningPrograms:
    """Windows only: files made into running programs, so that Windows itself
    applies its rules to them (renamed, yes; deleted or replaced, no).

    A file keeps its text at its end, after an unsigned copy of the
    interpreter's own python.exe (a program runs with data appended to it):
    `label` reads it back.  Each program waits on its standard input until `stop`.
    """

    def __init__(self):
        self._started: list[subprocess.Popen] = []

    def start(self, path) -> None:
        base = getattr(sys, "_base_executable", sys.executable)
        text = Path(path).read_bytes()
        Path(path).write_bytes(unsigned(Path(base).read_bytes()) + b"\n" + text)
        # The copy finds python312.dll through PATH and the library through PYTHONHOME.
        env = dict(_os.environ, PYTHONHOME=sys.base_prefix,
                   PATH=_os.pathsep.join([_os.path.dirname(base), _os.environ.get("PATH", "")]))
        proc = subprocess.Popen(
            [_os.fspath(path), "-S", "-c", "import sys; print('running', flush=True); sys.stdin.read()"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env,
        )
        self._started.append(proc)
        if proc.stdout.readline().strip() != b"running":
            raise RuntimeError(f"{path} could not be started as a program")

    def stop(self) -> None:
        for proc in self._started:
            proc.stdin.close()
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
            proc.stdout.close()
        self._started.clear()


def label(data: bytes) -> str:
    """A file's text, also when `RunningPrograms` put a program in front of it."""
    return data.rsplit(b"\n", 1)[-1].decode()
