"""The swap and restart: the failure table under Windows file rules, the
restore of the launcher, the launcher's permission bits, and one real start.

The Windows rules are simulated on POSIX (support.winos.WindowsOS) and real
on Windows, where the files said to be running are running programs."""

import os
import stat
import time

import pytest

from support.frame_helpers import entries
from support.standins import Subprocess, install_frozen
from support.winos import REAL_WINDOWS, RunningPrograms, WindowsOS, label, shutil_for

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
    # A directory with spaces, as under "C:\Program Files".
    return install_frozen(updater_module, monkeypatch, tmp_path / "Program Files" / "Brivex")


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

    `running` files are running executables: real programs on Windows, whose
    own file system then applies the rules, marks in the simulation elsewhere.
    An `os_standin` is always bound."""
    programs = RunningPrograms()

    def bind(os_standin=None, popen_error=None, running=()):
        winos = os_standin
        if winos is None and REAL_WINDOWS:
            for path in running:
                programs.start(path)
        else:
            winos = winos or WindowsOS(running=running)
            monkeypatch.setattr(updater_module, "os", winos)
            monkeypatch.setattr(updater_module, "shutil", shutil_for(winos))
        popen = Subprocess(popen_error)
        monkeypatch.setattr(updater_module, "subprocess", popen)
        return winos, popen

    yield bind
    programs.stop()


ROWS = {
    # id: (files before, running, start error, files after, failing line, launcher mode)
    "update": ({"L": "old", "N": "new"}, "", None, {"L": "new"}, None, OLD_MODE),
    "first-install": ({"N": "new"}, "", None, {"L": "new"}, None, 0o755 & ~UMASK),
    "leftover-backup": ({"L": "old", "O": "older", "N": "new"}, "", None, {"L": "new"}, None, OLD_MODE),
    "backup-only": ({"O": "older", "N": "new"}, "", None, {"L": "new"}, None, 0o755 & ~UMASK),
    # the backup is a running program: the replacing rename of step 3 is refused
    "backup-running": ({"L": "old", "O": "older", "N": "new"}, "O", None,
                       {"L": "old", "O": "older", "N": "new"}, 85, OLD_MODE),
    # the old launcher still runs: its backup cannot be deleted
    "launcher-running": ({"L": "old", "N": "new"}, "L", None, {"L": "new", "O": "old"}, 88, OLD_MODE),
    # the download is missing: the launcher is put back
    "download-missing": ({"L": "old"}, "", None, {"L": "old"}, 86, OLD_MODE),
    "download-missing-leftover": ({"L": "old", "O": "older"}, "", None, {"L": "old"}, 86, OLD_MODE),
    "download-missing-first-install": ({}, "", None, {}, 86, None),
    # a leftover backup that step 3 did not make is not "restored"
    "download-missing-backup-only": ({"O": "older"}, "", None, {"O": "older"}, 86, None),
    "start-fails": ({"L": "old", "N": "new"}, "", OSError(8, "Exec format error"), {"L": "new"}, 89, OLD_MODE),
}


@pytest.mark.parametrize("row", ROWS.values(), ids=ROWS.keys())
def test_failure_table(updater_module, app, windows, row):
    before, running, start_error, after, failing_line, mode = row
    populate(app, before)
    winos, popen = windows(popen_error=start_error, running=[os.path.join(app, NAMES[k]) for k in running])
    main_exe = os.path.join(app, NAMES["L"])

    if failing_line is None:
        assert updater_module.replace_and_run(os.path.join(app, NAMES["N"])) is None
    else:
        with pytest.raises(RuntimeError) as info:
            updater_module.replace_and_run(new_exe=os.path.join(app, NAMES["N"]))
        error, cause = info.value, info.value.__context__
        assert str(error) == PREFIX + str(cause)
        assert error.__cause__ is None and not error.__suppress_context__
        assert entries(error) == [("updater.replace_and_run", 91)]
        assert entries(cause)[0] == ("updater.replace_and_run", failing_line)

    assert on_disk(app) == after
    if mode is not None and os.name == "posix":
        assert stat.S_IMODE(os.stat(main_exe).st_mode) == mode
    started = failing_line is None or start_error is not None
    # one positional argument, a list holding the path; no shell, cwd or env
    assert popen.calls == ([(([main_exe],), {})] if started else [])


def test_failure_messages_carry_the_windows_error(updater_module, app, windows):
    populate(app, {"L": "old", "N": "new"})
    windows(running=[os.path.join(app, NAMES["L"])])
    with pytest.raises(RuntimeError) as info:
        updater_module.replace_and_run(os.path.join(app, NAMES["N"]))
    old_exe = os.path.join(app, NAMES["O"])
    assert str(info.value) == f"{PREFIX}[WinError 5] Access is denied: {old_exe!r}"
    assert isinstance(info.value.__context__, PermissionError)


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
    assert str(info.value) == PREFIX + str(cause)
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
    [({"N": "new"}, {"L": "new"}), ({"L": "old", "N": "new"}, {"L": "new", "O": "old"})],
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
    assert on_disk(app) == {"L": "new"}


# -- one real start --------------------------------------------------------------------


@pytest.mark.posix_only(reason="the launcher is a shell script")
@pytest.mark.parametrize("installed", [False, True], ids=["first-install", "update"])
def test_new_launcher_really_starts(updater_module, app, tmp_path, monkeypatch, installed):
    work = tmp_path / "work dir"
    work.mkdir()
    monkeypatch.chdir(work)
    marker = tmp_path / "started"
    main_exe, new_exe = (os.path.join(app, NAMES[k]) for k in "LN")
    with open(new_exe, "w") as f:
        f.write(f'#!/bin/sh\nprintf "%s\\n%s\\n" "$0" "$(pwd -P)" > "{marker}.part"\nmv "{marker}.part" "{marker}"\n')
    os.chmod(new_exe, 0o600)  # as downloaded: not executable
    if installed:
        populate(app, {"L": "old"})

    assert updater_module.replace_and_run(new_exe) is None

    deadline = time.monotonic() + 10
    while not marker.exists() and time.monotonic() < deadline:
        time.sleep(0.02)
    assert marker.exists(), "the new launcher did not run within 10 s"
    assert marker.read_text().splitlines() == [main_exe, os.path.realpath(work)]
    assert stat.S_IMODE(os.stat(main_exe).st_mode) == (OLD_MODE if installed else 0o755 & ~UMASK)
    assert os.listdir(app) == [NAMES["L"]]
