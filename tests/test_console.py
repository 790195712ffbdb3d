"""The text-mode update: whole runs against the local HTTPS server in a fresh
interpreter without tkinter, the progress lines in-process, and the module
run as the main module."""

from __future__ import annotations

import builtins
import os
import re
import shutil
import stat
import sys
import textwrap
import urllib.error

import pytest

from support.frame_helpers import entries
from update_server import DEFAULT_PATH
from support.launcher import SWAP_ERROR, SWAP_FAILS, Install
from support.standins import ScriptedDownload, Urllib, fake_sys
from support.winos import windows_error_text

BANNER = "Tkinter not available, running console update..."
READY = "Update ready! Replacing and restarting..."


SCENARIO = """
    import os, sys
    sys.modules["tkinter"] = None  # no toolkit in this interpreter
    sys.frozen = True
    sys.executable = os.path.join({install!r}, "updater.exe")
    import updater
    from support.standins import ScriptedClock
    assert updater.TK_AVAILABLE is False
    updater.UPDATE_URL = os.environ["TEST_UPDATE_URL"]
    clock = os.environ.get("TEST_CLOCK", "100.0 100.5 101.0")  # read once more for each block
    updater.time = ScriptedClock(*map(float, clock.split()))
    if "TEST_TIMEOUT" in os.environ:  # a stalled server: time out sooner than after 60 s
        import urllib.request
        from support.standins import Urllib
        updater.urllib = Urllib(opener=urllib.request.urlopen, timeout=float(os.environ["TEST_TIMEOUT"]))
    if "TEST_SYNC_REFUSED" in os.environ:  # a disk that fails to sync the download
        import errno
        from support.standins import RecordingOs
        updater.os = RecordingOs(errors={{"fsync": OSError(errno.EIO, "Input/output error")}})
    if "TEST_FILE_SIZE_LIMIT" in os.environ:  # a full disk: no file grows past this size
        import resource, signal
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # the write fails with EFBIG instead
        limit = int(os.environ["TEST_FILE_SIZE_LIMIT"])
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    if "TEST_HOLD" in os.environ:  # a scanner opens a file, without sharing its deletion, once downloaded
        import atexit, threading, time
        name, seconds = os.environ["TEST_HOLD"].split(":")
        download = updater.download_new_exe_with_progress
        def download_then_hold(progress_callback):
            new_exe = download(progress_callback)
            held, start = open(os.path.join({install!r}, name), "rb"), time.monotonic()
            threading.Thread(target=lambda: (time.sleep(float(seconds)), held.close()), daemon=True).start()
            atexit.register(lambda: open("swap-seconds.txt", "w").write(str(time.monotonic() - start)))
            return new_exe
        updater.download_new_exe_with_progress = download_then_hold
    emit(repr(updater.UpdaterGUI()))
"""

FIRST, SECOND = "65.5% • 128.0 KB/s", "100.0% • 97.7 KB/s"
FAILED = "Download failed!"
PLAIN = "the plain-HTTP server"
HELD_ERROR = f"Error: Failed to replace and run: [WinError 32] {windows_error_text(32)}: {{launcher!r}} -> {{backup!r}}"
# Held for good (60 s): Windows waits its 3 s, then fails as ever; POSIX renames a held file anyway.
HELD_FOR_GOOD = ([FIRST, SECOND, READY, HELD_ERROR], 1, 100_000) if os.name == "nt" else ([FIRST, SECOND, READY], 0, 0)
# A download that passes every check of the update but is no program: what the start says of it.
ERROR_PAGE = b"<!DOCTYPE html><html><body><h1>502 Bad Gateway</h1></body></html>\n".ljust(100_000, b" ")
NOT_A_PROGRAM = (f"Error: Failed to replace and run: [WinError 193] {windows_error_text(193)}" if os.name == "nt"
                 else f"Error: Failed to replace and run: [Errno 8] {os.strerror(8)}: {{launcher!r}}")


def held(name: str, seconds: int, waits: tuple) -> dict:
    """`name` held open from the end of the download; the seconds the swap waits (on Windows only)."""
    return {"env": {"TEST_HOLD": f"{name}:{seconds}"}, "waits": waits if os.name == "nt" else (0, 1)}


# id: (route, setting, printed lines, exit status, bytes of the download left beside the launcher)
END_TO_END = {
    "known-size": ({"mode": "normal"}, {}, [FIRST, SECOND, READY], 0, 0),
    "unknown-size": ({"mode": "no_length"}, {}, ["64 KB • 128.0 KB/s", "97 KB • 97.7 KB/s", READY], 0, 0),
    "download-fails": ({"mode": "not_found"}, {}, [FAILED], 1, 0),
    "replacement-fails": ({"mode": "normal"}, SWAP_FAILS, [
        FIRST, SECOND, READY, "Error: Failed to replace and run: " + SWAP_ERROR], 1, 0),
    "redirect-to-plain-http": ({"mode": "redirect", "redirect_to": PLAIN}, {}, [FAILED], 1, 0),
    "stalled-server": ({"mode": "stall", "cut_at": 70_000}, {"env": {"TEST_TIMEOUT": "0.5"}}, [FIRST, FAILED], 1, 65536),
    "disk-full": pytest.param(
        {"mode": "normal"}, {"env": {"TEST_FILE_SIZE_LIMIT": "80000"}}, [FIRST, FAILED], 1, 80_000,
        marks=pytest.mark.posix_only(reason="a full disk is a file size limit (RLIMIT_FSIZE)")),
    "sync-fails": ({"mode": "normal"}, {"env": {"TEST_SYNC_REFUSED": "1"}}, [FIRST, SECOND, FAILED], 1, 100_000),
    # the new launcher cannot start: the old one is put back, and nothing is started
    "error-page-served": ({"mode": "normal"}, {"body": ERROR_PAGE}, [FIRST, SECOND, READY, NOT_A_PROGRAM], 1, 0),
    "non-ascii-directory": ({"mode": "normal"}, {"name": "Brivex Äpp 启动器"}, [FIRST, SECOND, READY], 0, 0),
    "launcher-held-1s": ({"mode": "normal"}, held("BrivexLauncher.exe", 1, (1, 3)), [FIRST, SECOND, READY], 0, 0),
    "download-held-1s": ({"mode": "normal"}, held("BrivexLauncher_new.exe", 1, (1, 3)), [FIRST, SECOND, READY], 0, 0),
    "launcher-held-for-good": ({"mode": "normal"}, held("BrivexLauncher.exe", 60, (3, 5)), *HELD_FOR_GOOD),
}


@pytest.mark.parametrize("route, setting, lines, status, partial", END_TO_END.values(), ids=END_TO_END.keys())
def test_console_update_end_to_end(https_server, plain_http_server, trusted_env, run_scenario, tmp_path,
                                   running_programs, route, setting, lines, status, partial):
    install = Install(tmp_path, setting.get("launcher_mode", 0o755), name=setting.get("name", "Brivex Launcher"))
    if setting.get("running_backup"):
        install.keep_backup_running(running_programs)
    plain_http_server.configure(body=install.new_body)
    https_server.configure(body=setting.get("body", install.new_body), **{
        key: plain_http_server.url() if value == PLAIN else value for key, value in route.items()})
    outcome = run_scenario(SCENARIO.format(install=str(install.dir)), env={**trusted_env, **setting.get("env", {})},
                           timeout=30)
    expected = "".join(line.format(launcher=str(install.launcher), backup=str(install.backup)) + "\n"
                       for line in [BANNER, *lines])
    assert (outcome.returncode, outcome.stdout, outcome.stderr) == (status, expected, ""), str(outcome)
    if status == 0:
        assert outcome.result.startswith("<updater.UpdaterGUI object at ")
        assert install.started() == "new\n"
    else:
        assert outcome.results == [] and install.started(wait=0.3) is None
    # The launcher is never lost: replaced after a good download, in place otherwise.
    assert install.launcher.read_bytes() == (install.new_body if status == 0 else install.old_body)
    if setting.get("running_backup"):  # refused before anything moved
        assert install.listing() == ["BrivexLauncher.exe", "BrivexLauncher.exe.old", "BrivexLauncher_new.exe"]
        assert install.new_file.read_bytes() == install.new_body
        return
    assert install.listing() == ["BrivexLauncher.exe"] + (["BrivexLauncher_new.exe"] if partial else [])
    if partial:
        assert install.new_file.read_bytes() == install.new_body[:partial]
    if "waits" in setting:  # the swap waited while the file was held, never 5 s (a window greys out then)
        low, high = setting["waits"]
        assert low <= float((tmp_path / "swap-seconds.txt").read_text()) < high
    if PLAIN in route.values():  # the redirect was followed, and what came back refused
        assert [r.path for r in plain_http_server.requests] == [DEFAULT_PATH]


# One real update under strace, on the file system of the test's temporary
# directory (ext4 on the development machine): the download reaches the disk
# before its rename, the renames before the new launcher starts.
LAUNCHER, BACKUP, DOWNLOAD = "BrivexLauncher.exe", "BrivexLauncher.exe.old", "BrivexLauncher_new.exe"
TRACED_CALLS = "openat,write,fsync,fdatasync,close,rename,renameat,renameat2,unlink,unlinkat,execve"
STRACE = """
    import os, sys
    trace, calls, script = sys.argv[1:]
    os.execvp("strace", ["strace", "-f", "-qq", "-y", "-o", trace, "-e", "trace=" + calls, sys.executable, script])
"""


def calls_in(trace: str, install: Install) -> list[tuple]:
    """The calls of an ``strace -f -y`` trace that name the launcher's directory
    or a file in it, up to the start of the new launcher, and the deletions
    after it: (call, names...), one file's consecutive writes as one."""
    names = {str(install.dir / name): name for name in (LAUNCHER, BACKUP, DOWNLOAD)} | {str(install.dir): "directory"}
    found = []
    for line in trace.splitlines():
        call = re.match(r"\d+ +(\w+)\((.*)", line)  # pid, call, arguments and result
        if call is None:
            continue
        # paths: quoted, or shown in <> after a descriptor
        files = [names[p] for p in dict.fromkeys(re.findall(r'["<]([^"<>]*)[">]', call[2])) if p in names]
        if not files:
            continue
        event = (re.sub("at2?$", "", call[1]), *files)  # openat is open, renameat2 rename, ...
        started = ("execve", LAUNCHER) in found
        if (not found or found[-1] != event) and (not started or event[0] == "unlink"):
            found.append(event)
    return found


@pytest.mark.posix_only(reason="strace, and a shell-script launcher")
def test_console_update_reaches_the_disk_before_the_start(https_server, trusted_env, run_scenario, tmp_path):
    if shutil.which("strace") is None:
        pytest.fail("strace is not installed (Debian package strace, in tools/system.sh)", pytrace=False)
    install = Install(tmp_path)
    https_server.configure(body=install.new_body)
    update = tmp_path / "update.py"
    update.write_text(run_scenario.PRELUDE + textwrap.dedent(SCENARIO).format(install=str(install.dir)))
    trace = tmp_path / "strace.txt"
    outcome = run_scenario(STRACE, env=trusted_env, args=(trace, TRACED_CALLS, update), timeout=30)
    if outcome.returncode != 0 and "ptrace" in outcome.stderr.lower():
        pytest.fail(f"strace may not trace here (ptrace is not permitted):\n{outcome.stderr}", pytrace=False)
    assert (outcome.returncode, outcome.stdout, outcome.stderr) == (
        0, "".join(f"{line}\n" for line in [BANNER, FIRST, SECOND, READY]), ""), str(outcome)
    assert install.started() == "new\n"
    assert calls_in(trace.read_text(), install) == [
        ("open", DOWNLOAD), ("write", DOWNLOAD), ("fsync", DOWNLOAD), ("close", DOWNLOAD),
        ("rename", LAUNCHER, BACKUP), ("rename", DOWNLOAD, LAUNCHER),
        ("open", "directory"), ("fsync", "directory"), ("close", "directory"),
        ("execve", LAUNCHER), ("unlink", BACKUP),  # the backup goes once its successor runs
    ]


# -- in-process: the callback and the method --------------------------------------


@pytest.fixture
def gui(updater_module):
    return updater_module.UpdaterGUI.__new__(updater_module.UpdaterGUI)


@pytest.fixture
def callback(updater_module, gui, monkeypatch, capsys):
    download = ScriptedDownload()
    monkeypatch.setattr(updater_module, "download_new_exe_with_progress", download)
    gui.console_update()
    capsys.readouterr()
    return download.callbacks[0]


@pytest.mark.parametrize(
    "report, line",
    [
        ((42.57, 312.44, True, 0), "42.6% • 312.4 KB/s"),
        ((100.0, 0, True, 5), "100.0% • 0.0 KB/s"),
        ((65.536, 0.0, True, 65536), "65.5% • 0.0 KB/s"),
        ((7, 3, True, 0), "7.0% • 3.0 KB/s"),
        ((7, 3, 1, 0), "7.0% • 3.0 KB/s"),
        ((7, 3, "yes", 0), "7.0% • 3.0 KB/s"),
        ((-0.5, 1.25, True, 0), "-0.5% • 1.2 KB/s"),
        ((0, 0, False, 1536 * 1024), "1536 KB • 0.0 KB/s"),
        ((0, 0, False, 1023), "0 KB • 0.0 KB/s"),
        ((0, 2.5, 0, 1024), "1 KB • 2.5 KB/s"),
        ((50.0, 2.5, None, 2047), "1 KB • 2.5 KB/s"),
        ((0, 1e6, False, 10**12), "976562500 KB • 1000000.0 KB/s"),
    ],
)
def test_progress_lines(callback, capsys, report, line):
    assert callback(*report) is None
    assert capsys.readouterr().out == line + "\n"


@pytest.mark.parametrize("percent", [-1, -1.0])
def test_failure_report_prints_and_exits_1(callback, capsys, percent):
    with pytest.raises(SystemExit) as info:
        callback(percent, 99.0, True, 5000)
    assert info.value.code == 1
    assert capsys.readouterr().out == "Download failed!\n"
    assert entries(info.value) == [("updater.UpdaterGUI.console_update.progress_callback", 170)]


def test_callback_accepts_keywords_and_is_fresh_per_call(updater_module, gui, monkeypatch, capsys):
    download = ScriptedDownload()
    monkeypatch.setattr(updater_module, "download_new_exe_with_progress", download)
    gui.console_update()
    gui.console_update()
    first, second = download.callbacks
    assert first is not second
    assert (first.__name__, first.__qualname__) == (
        "progress_callback", "UpdaterGUI.console_update.<locals>.progress_callback")
    first(downloaded_bytes=4096, known_size=False, speed_kb=1, percent=0)
    assert capsys.readouterr().out == f"{BANNER}\n{BANNER}\n4 KB • 1.0 KB/s\n"


@pytest.mark.parametrize(
    "result, replace_error, tail, exit_code",
    [
        ("C:/app/BrivexLauncher_new.exe", None, [READY], None),
        (None, None, [], None),
        ("", None, [], None),
        ("n.exe", RuntimeError("Failed to replace and run: access denied"),
         [READY, "Error: Failed to replace and run: access denied"], 1),
        ("n.exe", RuntimeError(""), [READY, "Error: "], 1),
        ("n.exe", SystemExit(4), [READY], 4),
        ("n.exe", KeyboardInterrupt(), [READY], "interrupt"),
    ],
    ids=["success", "none", "empty", "replace-fails", "empty-text", "exit-passes", "interrupt-passes"],
)
def test_console_update_outcomes(updater_module, gui, monkeypatch, capsys, result, replace_error, tail, exit_code):
    replaced = []

    def replace_and_run(new_exe):
        replaced.append(new_exe)
        if replace_error is not None:
            raise replace_error

    monkeypatch.setattr(updater_module, "replace_and_run", replace_and_run)
    monkeypatch.setattr(updater_module, "download_new_exe_with_progress",
                        ScriptedDownload([(12.25, 3.0, True, 1), (0, 3.0, False, 2048)], result))
    if exit_code is None:
        assert gui.console_update() is None
    else:
        with pytest.raises(BaseException) as info:
            gui.console_update()
        if exit_code == "interrupt":
            assert info.value is replace_error
        else:
            assert isinstance(info.value, SystemExit) and info.value.code == exit_code
            line = 183 if replace_error.__class__ is RuntimeError else 180
            assert entries(info.value)[0] == ("updater.UpdaterGUI.console_update", line)
    assert replaced == ([result] if result else [])
    assert capsys.readouterr().out == "\n".join([BANNER, "12.2% • 3.0 KB/s", "2 KB • 3.0 KB/s", *tail]) + "\n"


def test_print_is_bound_at_import(updater_module, gui, monkeypatch, capsys):
    seen = []
    monkeypatch.setattr(builtins, "print", lambda *a, **k: seen.append(a))
    monkeypatch.setattr(updater_module, "download_new_exe_with_progress", ScriptedDownload([(1.0, 1.0, True, 1)]))
    gui.console_update()
    assert seen == []
    assert capsys.readouterr().out == f"{BANNER}\n1.0% • 1.0 KB/s\n"


def test_exit_from_the_callback_reads_outer_first(updater_module, monkeypatch, capsys, tmp_path):
    """A real download that fails, through the constructor's console road."""
    monkeypatch.setattr(updater_module, "TK_AVAILABLE", False)
    monkeypatch.setattr(updater_module, "sys", fake_sys(frozen=True, executable=str(tmp_path / "updater.exe"),
                                                      exit=sys.exit))
    monkeypatch.setattr(updater_module, "urllib", Urllib(raises=urllib.error.URLError("refused")))
    with pytest.raises(SystemExit) as info:
        updater_module.UpdaterGUI()
    assert info.value.code == 1
    assert entries(info.value) == [
        ("updater.UpdaterGUI.__init__", 100),
        ("updater.UpdaterGUI.console_update", 176),
        ("updater.download_new_exe_with_progress", 74),
        ("updater.UpdaterGUI.console_update.progress_callback", 170),
    ]
    assert capsys.readouterr().out == f"{BANNER}\nDownload failed!\n"
    assert list(tmp_path.iterdir()) == []


# -- the entry block ----------------------------------------------------------------

ENTRY = """
    import importlib.machinery, os, ssl, sys, urllib.request
    from support.frame_helpers import ModuleDefinition, module_path
    sys.modules["tkinter"] = None  # no toolkit: the console road
    sys.frozen = True
    sys.executable = os.path.join({install!r}, "updater.exe")

    class ToLocalServer(urllib.request.HTTPSHandler):
        # The module's fixed address, answered by the test server.
        def https_open(self, req):
            req.host = "127.0.0.1:{port}"
            return super().https_open(req)

    context = ssl.create_default_context(cafile=os.environ["SSL_CERT_FILE"])
    urllib.request.install_opener(
        urllib.request.build_opener(urllib.request.ProxyHandler({{}}), ToLocalServer(context=context)))

    definition = ModuleDefinition()
    module = definition.create(importlib.machinery.ModuleSpec("__main__", None, origin=module_path()))
    emit(module.__name__)
    emit(definition.exec(module))
"""


def test_running_as_main_performs_an_update(https_server, trusted_env, run_scenario, tmp_path):
    install = Install(tmp_path)
    https_server.configure(body=install.new_body)
    outcome = run_scenario(ENTRY.format(install=str(install.dir), port=https_server.port), env=trusted_env, timeout=30)
    assert (outcome.returncode, outcome.stderr, outcome.results) == (0, "", ["__main__", 0]), str(outcome)
    assert re.fullmatch(
        rf"{re.escape(BANNER)}\n65\.5% • \d+\.\d KB/s\n100\.0% • \d+\.\d KB/s\n{re.escape(READY)}\n", outcome.stdout)
    (request,) = https_server.requests
    assert (request.path, request.header("Host")) == ("/brivex/latest/main/BrivexLauncher.exe", "downloads.example.com")
    assert install.launcher.read_bytes() == install.new_body
    if os.name == "posix":
        assert stat.S_IMODE(os.stat(install.launcher).st_mode) == 0o755
    assert install.started() == "new\n"
