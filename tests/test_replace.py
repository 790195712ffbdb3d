"""The swap and restart: the failure table under Windows file rules, the
restore of the launcher, the launcher's permission bits, and one real start.

The Windows rules are simulated on POSIX (support.winos.WindowsOS) and real
on Windows, where the files said to be running are running programs."""

import ctypes
import errno
import math
import os
import signal
import stat
import subprocess
import time
import types
from dataclasses import dataclass, field

import pytest

from support.frame_helpers import entries
from support.launcher import WINDOWS_LAUNCHER, environment, program
from support.standins import RecordingOs, ScriptedClock, Subprocess, install_frozen
from support.winos import (REAL_WINDOWS, RunningPrograms, WindowsOS, WinPermissionError, is_read_only, label,
                          make_read_only, shutil_for, windows_error_text)

NAMES = {"L": "BrivexLauncher.exe", "O": "BrivexLauncher.exe.old", "N": "BrivexLauncher_new.exe"}
PREFIX = "Failed to replace and run: "
UMASK = 0o027
OLD_MODE = 0o700  # the installed launcher's bits; a first install gets 0o755 & ~UMASK


PERMISSION_BITS = pytest.mark.posix_only(reason="checks POSIX permission bits")


@pytest.fixture(autouse=True)
def umask():
    if os.name != "posix":  # Windows keeps a read-only bit at most
        yield
        return
    saved = os.umask(UMASK)
    yield
    restored = os.umask(saved)
    assert restored == UMASK, "replace_and_run changed the process umask"


@pytest.fixture
def app(updater_module, monkeypatch, tmp_path):
    # A directory with spaces and non-ASCII letters, as under "C:\Program Files";
    # no one-file build, whose start differs (test_one_file_runtime_stays_behind).
    return install_frozen(updater_module, monkeypatch, tmp_path / "Program Files" / "Brivex Äpp 启动器", meipass=None)


def populate(app, files):
    for key, text in files.items():
        path = os.path.join(app, NAMES[key])
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, OLD_MODE if key != "N" else 0o600)


def on_disk(app):
    by_name = {name: key for key, name in NAMES.items()}
    result = {}
    for name in os.listdir(app):
        with open(os.path.join(app, name), "rb") as f:
            result[by_name[name]] = label(f.read())
    return result


@pytest.fixture
def windows(updater_module, monkeypatch):
    """Bind Windows file rules and a recording process start; returns a binder.

    `running` files are running executables and `read_only` files carry the
    read-only attribute: real programs and the real attribute on Windows,
    whose own file system then applies the rules, marks and cleared write
    bits in the simulation elsewhere.  `held` ({path: (seconds, winerror)}) is
    simulated everywhere, until the module has slept that long (with
    AFTER_START, not before the start).  An `os_standin` is always bound."""
    programs = RunningPrograms()

    def bind(os_standin=None, popen_error=None, running=(), read_only=(), held=None, interrupt=None, popen=None):
        clock = ScriptedClock(pause=False, interrupt=interrupt)  # the waits for held files: noted, not waited
        monkeypatch.setattr(updater_module, "time", clock)
        popen = popen or Subprocess(popen_error)
        winos = os_standin
        if winos is None and REAL_WINDOWS and not held:
            for path in running:
                programs.start(path)
        else:
            # Read-only and held files belong to Windows: the simulation says it is Windows then.
            winos = winos or WindowsOS(running=running, name="nt" if read_only or held else None)
            monkeypatch.setattr(updater_module, "os", winos)
            monkeypatch.setattr(updater_module, "shutil", shutil_for(winos))
        for path in read_only:
            make_read_only(path)
        for path, (seconds, winerror, *after_start) in (held or {}).items():
            winos.hold(path, lambda s=seconds, a=after_start: a and not popen.calls or sum(clock.slept) >= s, winerror)
        monkeypatch.setattr(updater_module, "subprocess", popen)
        return winos, popen

    yield bind
    programs.stop()


AFTER_START = "after start"
# A real launcher that dies before it can run (on Windows: it imports a DLL that is not there), and why;
# on POSIX by SIGKILL, which no handler (the sanitizer run's, inherited by the script) turns into an exit
DIES = ((WINDOWS_LAUNCHER.with_name("launcher-absent-dll.exe"), "exit status 0xC0000135") if os.name == "nt"
        else (b"#!/bin/sh\nkill -KILL $$\n", f"signal {signal.SIGKILL.value}"))


@dataclass
class Row:
    before: dict
    after: dict
    running: str = ""  # keys of running programs
    read_only: str = ""  # keys of read-only files, before and after
    read_only_after: str = ""
    start_error: BaseException | None = None
    failing_line: int | None = None
    mode: int | None = OLD_MODE  # the launcher's permission bits afterwards (POSIX)
    held: dict = field(default_factory=dict)  # key: (seconds held open, WinError it gives meanwhile)
    sleeps: tuple = ()  # the module's waits for held files
    error: tuple = ()  # the stopping PermissionError: (WinError, key of its file, of its second file or None)
    dies: tuple = ()  # the download is a real launcher that dies at once: (program, why), as DIES
    interrupt: int | None = None  # the module's wait that Ctrl+C cuts (from 0)
    marks: tuple = ()


HELD_1S = (0.05, 0.1, 0.2, 0.4, 0.8)  # let go after 1 s: free at the sixth try
HELD_3S = HELD_1S + (1.45,)  # the whole 3 s an update waits


ROWS = {
    "update": Row({"L": "old", "N": "new"}, {"L": "new"}),
    "first-install": Row({"N": "new"}, {"L": "new"}, mode=0o755 & ~UMASK),
    "leftover-backup": Row({"L": "old", "O": "older", "N": "new"}, {"L": "new"}),
    "backup-only": Row({"O": "older", "N": "new"}, {"L": "new"}, mode=0o755 & ~UMASK),
    # the backup is a running program: the replacing rename of step 3 is refused, at once
    "backup-running": Row({"L": "old", "O": "older", "N": "new"}, {"L": "old", "O": "older", "N": "new"},
                          running="O", failing_line=85, error=(5, "L", "O")),
    # a read-only backup left by someone else loses the attribute and is renamed over
    # (Wine 8 renames onto a read-only file anyway; Windows and the simulation refuse it)
    "backup-read-only": Row({"L": "old", "O": "older", "N": "new"}, {"L": "new"}, read_only="O", mode=None),
    # a file held open for a moment by a scanner (WinError 32) or locked (33): the step is tried
    # again after 50 ms, doubling, for at most 3 s in all per update
    "launcher-held": Row({"L": "old", "N": "new"}, {"L": "new"}, held={"L": (1, 32)}, sleeps=HELD_1S, mode=None),
    "download-locked": Row({"L": "old", "N": "new"}, {"L": "new"}, held={"N": (1, 33)}, sleeps=HELD_1S, mode=None),
    "backup-held": Row({"L": "old", "N": "new"}, {"L": "new"}, held={"O": (1, 32)}, sleeps=HELD_1S, mode=None),
    "restore-held": Row({"L": "old"}, {"L": "old"}, held={"O": (1, 32)}, sleeps=HELD_1S, failing_line=86, mode=None),
    "launcher-held-for-good": Row({"L": "old", "N": "new"}, {"L": "old", "N": "new"}, held={"L": (math.inf, 32)},
                                  sleeps=HELD_3S, failing_line=85, error=(32, "L", "O"), mode=None),
    # the steps share the 3 s: the move gets what the backup's rename left
    "download-held-for-good-after-launcher": Row(
        {"L": "old", "N": "new"}, {"L": "old", "N": "new"}, held={"L": (1, 32), "N": (math.inf, 32)},
        sleeps=HELD_1S + (0.05, 0.1, 0.2, 0.4, 0.7), failing_line=86, error=(32, "N", "L"), mode=None),
    # the old launcher still runs: its backup cannot be deleted and stays for
    # the next update's replacing rename; the new launcher is started
    "launcher-running": Row({"L": "old", "N": "new"}, {"L": "new", "O": "old"}, running="L"),
    # a read-only launcher: its backup loses the attribute and goes
    "launcher-read-only": Row({"L": "old", "N": "new"}, {"L": "new"}, read_only="L", mode=None),
    # both: the backup stays, no longer read-only, so the next rename can take it over
    "launcher-running-read-only": Row({"L": "old", "N": "new"}, {"L": "new", "O": "old"}, running="L",
                                      read_only="L", mode=None),
    # the download is missing: the launcher is put back
    "download-missing": Row({"L": "old"}, {"L": "old"}, failing_line=86),
    "download-missing-leftover": Row({"L": "old", "O": "older"}, {"L": "old"}, failing_line=86),
    "download-missing-first-install": Row({}, {}, failing_line=86, mode=None),
    # a backup beside a missing launcher is what an interrupted swap left: it is put back
    "download-missing-backup-only": Row({"O": "older"}, {"L": "older"}, failing_line=86, mode=None),
    # a new launcher that cannot start gives its place back to the old one
    "start-fails": Row({"L": "old", "N": "new"}, {"L": "old"}, start_error=OSError(8, "Exec format error"),
                       failing_line=89),
    "start-fails-launcher-running": Row({"L": "old", "N": "new"}, {"L": "old"}, running="L",
                                        start_error=OSError(8, "Exec format error"), failing_line=89),
    "start-fails-first-install": Row({"N": "new"}, {"L": "new"}, start_error=OSError(8, "Exec format error"),
                                     failing_line=89, mode=0o755 & ~UMASK),
    "start-fails-backup-only": Row({"O": "older", "N": "new"}, {"L": "older"},
                                   start_error=OSError(8, "Exec format error"), failing_line=89, mode=None),
    # ended within its 2 s: not started if it died first (if it ran, it did: test_new_launcher_really_starts)
    "dies-at-once": Row({"L": "old", "N": "new"}, {"L": "old"}, dies=DIES, failing_line=89),
    "loader-fails": Row({"L": "old", "N": "new"}, {"L": "old"}, dies=(b"#!/bin/sh\nexit 127\n", "exit status 127"),
                        failing_line=89, marks=pytest.mark.posix_only(reason="127 is the status of a POSIX loader")),
    # the put-back, with 3 s of its own, renames the file that could not start aside (a held
    # source is waited for, a held target is refused at once) and deletes it
    "put-back-after-launcher-held": Row(
        {"L": "old", "N": "new"}, {"L": "old"}, held={"L": (2, 32), "O": (4, 32, AFTER_START)},
        start_error=OSError(8, "Exec format error"), sleeps=HELD_3S + HELD_1S, failing_line=89, mode=None),
    # Ctrl+C during the move's wait puts back; during the put-back's, it is raised at the put-back's end
    "interrupt-during-move": Row({"L": "old", "N": "new"}, {"L": "old", "N": "new"}, held={"N": (1, 32)},
                                 interrupt=0, sleeps=(0.05,), failing_line=86, mode=None),
    "interrupt-during-put-back": Row({"L": "old", "N": "new"}, {"L": "old"}, held={"L": (1, 32, AFTER_START)},
                                     start_error=OSError(8, "Exec format error"), interrupt=1, sleeps=HELD_1S,
                                     failing_line=90),
}


@pytest.mark.parametrize("row", [pytest.param(row, marks=row.marks) for row in ROWS.values()], ids=ROWS.keys())
def test_failure_table(updater_module, app, windows, row):
    populate(app, row.before)
    path = {key: os.path.join(app, NAMES[key]) for key in NAMES}
    if row.dies:  # a script, or the Windows build, which must be there
        with open(path["N"], "wb") as f:
            f.write((row.dies[0] if isinstance(row.dies[0], bytes) else row.dies[0].read_bytes()) + b"\nnew")
    winos, popen = windows(running=[path[k] for k in row.running], read_only=[path[k] for k in row.read_only],
                           held={path[k]: hold for k, hold in row.held.items()}, interrupt=row.interrupt,
                           popen=Subprocess(row.start_error, real=bool(row.dies)))

    if row.interrupt is not None:
        with pytest.raises(KeyboardInterrupt) as info:  # unchanged, not wrapped
            updater_module.replace_and_run(path["N"])
        assert entries(info.value)[0] == ("updater.replace_and_run", row.failing_line)
    elif row.failing_line is None:
        assert updater_module.replace_and_run(path["N"]) is None
    else:
        with pytest.raises(RuntimeError) as info:
            updater_module.replace_and_run(new_exe=path["N"])
        error, cause = info.value, info.value.__context__
        assert str(error) == PREFIX + str(cause)
        assert error.__cause__ is None and not error.__suppress_context__
        assert entries(error) == [("updater.replace_and_run", 91)]
        assert entries(cause)[0] == ("updater.replace_and_run", row.failing_line)
        if row.error:  # the type and the system's own text: a plain rename is refused otherwise (183)
            winerror, *keys = row.error
            files = " -> ".join(repr(path[k]) for k in keys if k)
            assert isinstance(cause, PermissionError) and cause.winerror == winerror
            assert str(cause) == f"[WinError {winerror}] {windows_error_text(winerror)}: {files}"
        if row.dies:
            assert str(cause) == "the new launcher ended at once with " + row.dies[1]

    assert updater_module.time.slept == pytest.approx(row.sleeps)
    assert on_disk(app) == row.after
    assert {k for k in row.after if is_read_only(path[k])} == set(row.read_only_after)
    if row.mode is not None and os.name == "posix":
        assert stat.S_IMODE(os.stat(path["L"]).st_mode) == row.mode
    started = row.failing_line in (None, 89, 90)
    # one positional argument, a list holding the path; no shell, cwd or env; watched for 2 s
    assert popen.calls == ([(([path["L"]],), {})] if started else [])
    assert popen.waits == ([2] if started and not row.start_error and not row.dies else [])


class RestoreRefused(WindowsOS):
    """Refuses to put the backup back under the launcher's name."""

    def replace(self, src, dst, **kwargs):
        if os.fspath(src).endswith(".old"):
            self.calls.append(("replace", src, dst))
            raise WinPermissionError(src, dst)
        return super().replace(src, dst, **kwargs)


def test_failed_restore_still_reports_the_move_error(updater_module, app, windows):
    populate(app, {"L": "old"})
    winos, popen = windows(RestoreRefused())
    main_exe, old_exe, new_exe = (os.path.join(app, NAMES[k]) for k in "LON")

    with pytest.raises(RuntimeError) as info:
        updater_module.replace_and_run(new_exe)

    cause = info.value.__context__
    assert type(cause) is FileNotFoundError
    assert str(info.value) == f"{PREFIX}{cause}; the previous launcher is kept as {old_exe}"
    assert ("replace", old_exe, main_exe) in winos.calls  # the restore was tried
    assert on_disk(app) == {"O": "old"} and popen.calls == []


class ChmodRefused(WindowsOS):
    def chmod(self, *args, **kwargs):
        raise PermissionError(1, "Operation not permitted")


class OnWindows(ChmodRefused):
    name = "nt"  # permission bits are left alone there


@PERMISSION_BITS
@pytest.mark.parametrize(
    "before, after",
    [({"N": "new"}, {"L": "new"}), ({"L": "old", "N": "new"}, {"L": "old"})],
    ids=["first-install", "update"],
)
def test_permission_failure_is_a_swap_failure(updater_module, app, windows, before, after):
    populate(app, before)
    _, popen = windows(ChmodRefused())
    with pytest.raises(RuntimeError, match="^Failed to replace and run: .*Operation not permitted") as info:
        updater_module.replace_and_run(os.path.join(app, NAMES["N"]))
    assert entries(info.value.__context__)[0] == ("updater.replace_and_run", 86)
    assert on_disk(app) == after and popen.calls == []


@PERMISSION_BITS
@pytest.mark.parametrize("before", [{"N": "new"}, {"L": "old", "N": "new"}], ids=["first-install", "update"])
def test_no_permission_step_on_windows(updater_module, app, windows, before):
    populate(app, before)
    _, popen = windows(OnWindows())
    main_exe = os.path.join(app, NAMES["L"])
    assert updater_module.replace_and_run(os.path.join(app, NAMES["N"])) is None
    assert on_disk(app) == {"L": "new"} and len(popen.calls) == 1
    assert stat.S_IMODE(os.stat(main_exe).st_mode) == 0o600  # as downloaded


@pytest.mark.parametrize("make_error", [KeyboardInterrupt, lambda: SystemExit(2)], ids=["interrupt", "exit"])
def test_interrupt_at_start_is_not_wrapped(updater_module, app, windows, make_error):
    populate(app, {"L": "old", "N": "new"})
    error = make_error()
    windows(popen_error=error)
    with pytest.raises(type(error)) as info:
        updater_module.replace_and_run(os.path.join(app, NAMES["N"]))
    assert info.value is error and info.value.__context__ is None
    assert entries(info.value) == [("updater.replace_and_run", 89)]
    assert on_disk(app) == {"L": "old"}  # put back, then raised unchanged


# -- the renames reach the disk before the start --------------------------------------

DIRECTORY_DESCRIPTORS = pytest.mark.posix_only(reason="opens the launcher's directory as a descriptor")

# id: (os.name "nt", error of a call, what follows the swap, the swap's error)
DURABLE = {
    "posix": (False, {}, "open fsync close Popen", None),
    "windows": (True, {}, "Popen", None),  # no directory descriptors; NTFS journals the renames
    # what a file system refuses for its directory is ignored: the launcher is in place
    "open-refused": (False, {"open": PermissionError(errno.EACCES, "Permission denied")}, "open Popen", None),
    "sync-refused": (False, {"fsync": OSError(errno.EINVAL, "Invalid argument")}, "open fsync close Popen", None),
    "close-refused": (False, {"close": OSError(errno.EIO, "Input/output error")}, "open fsync close Popen", None),
    # any other error is a failed swap
    "not-an-os-error": (False, {"fsync": ValueError("not a descriptor")}, "open fsync close", "not a descriptor"),
}


@pytest.mark.parametrize(
    "nt, errors, tail, error",
    [pytest.param(*row, marks=() if row[0] else DIRECTORY_DESCRIPTORS) for row in DURABLE.values()],
    ids=DURABLE.keys(),
)
def test_renames_reach_the_disk_before_the_start(updater_module, app, monkeypatch, nt, errors, tail, error):
    populate(app, {"L": "old", "N": "new"})
    main_exe, old_exe, new_exe = (os.path.join(app, NAMES[k]) for k in "LON")
    events = []
    disk = RecordingOs(WindowsOS(name="nt") if nt else None, events=events, errors=errors)
    monkeypatch.setattr(updater_module, "os", disk)
    monkeypatch.setattr(updater_module, "shutil", shutil_for(disk))
    monkeypatch.setattr(updater_module, "subprocess", Subprocess(events=events))

    if error is None:
        assert updater_module.replace_and_run(new_exe) is None
    else:
        with pytest.raises(RuntimeError) as info:
            updater_module.replace_and_run(new_exe)
        assert str(info.value) == PREFIX + error
        assert entries(info.value.__context__)[0] == ("updater.replace_and_run", 89)

    after = {"open": ("open", app), "fsync": ("fsync", app), "close": ("close", app), "Popen": ("Popen", [main_exe])}
    # the backup goes once the new launcher runs; before that, a failure puts it back
    end = [("remove", old_exe)] if error is None else [
        ("replace", main_exe, new_exe), ("replace", old_exe, main_exe), ("remove", new_exe)]
    assert events == [("replace", main_exe, old_exe), ("replace", new_exe, main_exe),
                      *(after[step] for step in tail.split()), *end]
    assert disk.open_descriptors() == [] and on_disk(app) == {"L": "new" if error is None else "old"}


# -- one real start --------------------------------------------------------------------


@pytest.mark.parametrize("installed", [False, True], ids=["first-install", "update"])
def test_new_launcher_really_starts(updater_module, app, tmp_path, monkeypatch, installed):
    work = tmp_path / "work dir"
    work.mkdir()
    monkeypatch.chdir(work)
    marker = tmp_path / "started.txt"
    main_exe, new_exe = (os.path.join(app, NAMES[k]) for k in "LN")
    with open(new_exe, "wb") as f:
        f.write(program("new started as %s in %d", marker))
    os.chmod(new_exe, 0o600)  # as downloaded: not executable
    # Programs where a command line split at a space would be looked for
    # first: ...\Program.exe, ...\Program Files\Brivex.exe, ...
    planted = [main_exe[:i] + ".exe" for i, c in enumerate(main_exe) if c == " " and i > len(str(tmp_path))]
    assert len(planted) == 3
    for path in planted:
        with open(path, "wb") as f:
            f.write(program("planted, started as %s", marker))
        os.chmod(path, 0o755)
    if installed:
        populate(app, {"L": "old"})

    assert updater_module.replace_and_run(new_exe) is None

    deadline = time.monotonic() + 10
    while not marker.exists() and time.monotonic() < deadline:
        time.sleep(0.02)
    time.sleep(0.3)  # time for a second program to say it started
    assert marker.exists(), "the new launcher did not run within 10 s"
    assert marker.read_text(encoding="utf-8").splitlines() == [f"new started as {main_exe} in {os.getcwd()}"]
    if os.name == "posix":
        assert stat.S_IMODE(os.stat(main_exe).st_mode) == (OLD_MODE if installed else 0o755 & ~UMASK)
    assert os.listdir(app) == [NAMES["L"]]


def test_one_file_runtime_stays_behind(updater_module, app, tmp_path, monkeypatch):
    # The unpack directory, spelt otherwise too (on Windows in other letters
    # and separators), and a sibling whose name begins with its name.
    unpack, sibling = str(tmp_path / "_MEI123"), str(tmp_path / "_MEI1234")
    spelt = unpack.upper().replace("\\", "/") if os.name == "nt" else unpack + "/lib/../"
    install_frozen(updater_module, monkeypatch, app, meipass=unpack)
    given = {"_PYI_ARCHIVE_FILE": "archive", "_MEIPASS2": unpack, "TCL_LIBRARY": os.path.join(unpack, "tcl"),
             "TK_LIBRARY": spelt, "SIBLING": sibling, "PATH": os.pathsep.join([unpack, sibling, os.environ["PATH"]])}
    expected = dict.fromkeys(given) | {"SIBLING": sibling, "PATH": os.pathsep.join([sibling, os.environ["PATH"]])}
    if os.name == "posix":  # the bootloader's LD_LIBRARY_PATH, and the one it found
        given |= {"LD_LIBRARY_PATH": f"{unpack}:{sibling}", "LD_LIBRARY_PATH_ORIG": f"/orig:{spelt}"}
        expected |= {"LD_LIBRARY_PATH": "/orig", "LD_LIBRARY_PATH_ORIG": None}
    for name, value in given.items():
        monkeypatch.setenv(name, value)
    dll_directories = []
    if os.name == "nt":  # none for the start, the bootloader's again after it
        kernel32, buffer = ctypes.WinDLL("kernel32"), ctypes.create_unicode_buffer(1024)
        note = lambda: dll_directories.append(buffer.value if kernel32.GetDllDirectoryW(1024, buffer) else None)
        kernel32.SetDllDirectoryW(unpack)
        monkeypatch.setattr(updater_module, "subprocess", types.SimpleNamespace(
            **{**vars(subprocess), "Popen": lambda *args, **kwargs: note() or subprocess.Popen(*args, **kwargs)}))
    marker, new_exe = tmp_path / "environment.txt", tmp_path.joinpath(app, NAMES["N"])
    new_exe.write_bytes(program("%e", marker))
    try:
        assert updater_module.replace_and_run(str(new_exe)) is None
    finally:
        if os.name == "nt":
            note()
            kernel32.SetDllDirectoryW(None)

    deadline = time.monotonic() + 10
    while not (marker.exists() and marker.read_text(encoding="utf-8").endswith("\n")) and time.monotonic() < deadline:
        time.sleep(0.02)
    seen = environment(marker.read_text(encoding="utf-8"))
    assert {name: seen.get(name) for name in expected} == expected
    assert dll_directories == ([None, unpack] if os.name == "nt" else [])
