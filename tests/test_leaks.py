"""Reference-leak loops and garbage collection of the module's objects.

Every callable runs its success and failure paths thousands of times after a
warm-up; the interpreter's count of live memory blocks must stay flat.  A leaked
reference on any path keeps at least one block alive per call, so a loop of
ROUNDS calls would grow by at least ROUNDS blocks (1000 or more).  The
tolerance, TOLERANCE blocks over the whole loop, leaves room for the
interpreter's own settling (free lists, dict resizes), measured at 1 to 3
blocks on every path whatever the loop's length.  The type attribute cache is
emptied before each count: it holds on to names built at run time (urllib's
"http_open"), a few hundred blocks that have nothing to do with the module.

With the interpreter's small-object allocator off (PYTHONMALLOC=malloc, as in
the sanitizer and valgrind runs) ``sys.getallocatedblocks()`` reads 0; the
blocks are then counted with tracemalloc, and the loops are shorter because
every allocation is traced.
"""

from __future__ import annotations

import contextlib
import gc
import itertools
import os
import socket
import sys
import tempfile
import tracemalloc
import types
import urllib.error
import urllib.request
import weakref

import pytest

from support.faketk import Root, Toolkit, quiet_root
from support.frame_helpers import vectorcall
from support.standins import Subprocess, Urllib, fake_sys
from support.winos import WindowsOS, shutil_for

PYMALLOC = sys.getallocatedblocks() > 0
ROUNDS = 2000 if PYMALLOC else 1000
WARMUP = 200 if PYMALLOC else 100
TOLERANCE = 50
# Reference counts of immortal objects start at 2**32 - 1 on 64-bit builds;
# no mortal object here comes anywhere near half of that.
IMMORTAL = 2**31


class Sink:
    """Standard output that keeps nothing."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


def _live_blocks() -> int:
    # The type attribute cache keeps the last name looked up in each of its
    # slots; names built at run time (urllib's "http_open") would count.
    gc.collect()
    sys._clear_type_cache()
    if PYMALLOC:
        return sys.getallocatedblocks()
    return len(tracemalloc.take_snapshot().traces)


def growth(action, rounds: int = ROUNDS, warmup: int = WARMUP, watch=()) -> int:
    """Blocks still alive after `rounds` more calls of `action` than after the
    warm-up.  Printed lines go to a sink that keeps nothing.

    A reference leaked to an object that lives on anyway (an argument, a
    global) costs no block; so the references to each object in `watch` are
    counted too, and must not grow either.
    """
    tracing = not PYMALLOC
    if tracing:
        tracemalloc.start()
    try:
        with contextlib.redirect_stdout(Sink()):
            for _ in range(warmup):
                action()
            refs_before = [sys.getrefcount(o) for o in watch]
            before = _live_blocks()
            for _ in range(rounds):
                action()
            blocks = _live_blocks() - before
            refs_after = [sys.getrefcount(o) for o in watch]
    finally:
        if tracing:
            tracemalloc.stop()
    # Immortal objects (None, True, False, small ints, interned names) have no
    # count to leak, and what it shows says nothing: 3.12 leaves it alone, but
    # not everywhere (an extension built for an older stable ABI adds to it,
    # and the Windows build's os.path.exists, isdir, islink and isfile take one
    # from False on every call, shutil.move of a missing file adds one).
    grown = [(o, b, a) for o, b, a in zip(watch, refs_before, refs_after) if a - b >= TOLERANCE and b < IMMORTAL]
    assert not grown, f"references grew: {grown}"
    return blocks


def expect(exc_type, fn, *args, match: str | None = None, **kwargs):
    """Call `fn` and check that it raised `exc_type` (with `match` in its text)."""
    try:
        fn(*args, **kwargs)
    except exc_type as exc:
        if match is not None:
            assert match in str(exc), str(exc)
        return
    raise AssertionError(f"{fn!r} did not raise {exc_type.__name__}")


def closed_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class World:
    """The module with every outside effect replaced, rooted in a temporary directory."""

    def __init__(self, updater, monkeypatch, tmp_path):
        self.u = updater
        self.dir = str(tmp_path)
        self.new_exe = os.path.join(self.dir, "BrivexLauncher_new.exe")
        self.main_exe = os.path.join(self.dir, "BrivexLauncher.exe")
        self.kit = Toolkit(record=False, keep=False)
        self.subprocess = Subprocess(record=False)
        self.mp = monkeypatch
        for name, value in (
            ("sys", fake_sys(frozen=True, executable=os.path.join(self.dir, "updater.exe"), exit=sys.exit)),
            ("urllib", Urllib(record=False)),
            ("subprocess", self.subprocess),
            ("tk", self.kit.tk),
            ("ttk", self.kit.ttk),
            ("messagebox", self.kit.messagebox),
            ("threading", self.kit.threading),
            ("TK_AVAILABLE", False),
        ):
            monkeypatch.setattr(updater, name, value, raising=False)
        with open(self.main_exe, "wb") as f:
            f.write(b"old launcher")

    def set(self, name, value):
        self.mp.setattr(self.u, name, value)

    def watched(self, *extra) -> list:
        """Objects a call could leak a reference to: the module's globals, the
        class's attributes, this world's objects and `extra`."""
        objs = [*vars(self.u).values(), *vars(self.u.UpdaterGUI).values(), *vars(self).values(), *extra]
        for obj in list(objs):
            objs.extend(getattr(obj, "__dict__", {}).values())
            # parameter names: the same interned strings as keyword names in calls
            objs.extend(getattr(getattr(obj, "__code__", None), "co_varnames", ()))
        return objs

    def write_new(self):
        with open(self.new_exe, "wb") as f:
            f.write(b"new launcher")

    def gui(self, root=None):
        """An UpdaterGUI instance with the window attributes, not constructed."""
        gui = self.u.UpdaterGUI.__new__(self.u.UpdaterGUI)
        gui.root = root if root is not None else self.kit.tk.Tk()
        gui.progress = self.kit.ttk.Progressbar()
        gui.speed_lbl = self.kit.tk.Label()
        return gui


@pytest.fixture
def world(updater_module, monkeypatch, tmp_path):
    # Thousands of rewrites of the same file: on tmpfs when there is one, since
    # a disk file system may flush a truncated file on every close.
    shm = "/dev/shm"
    if os.path.isdir(shm) and os.access(shm, os.W_OK):
        with tempfile.TemporaryDirectory(dir=shm, prefix="updater-leaks-") as fast:
            yield World(updater_module, monkeypatch, fast)
    else:
        yield World(updater_module, monkeypatch, tmp_path)


def _ignore(*args):
    pass


# -- argument errors ---------------------------------------------------------------


def nested_callables(world):
    """Fresh function objects of every nested kind, as a run creates them: the
    two progress callbacks and the lambdas of a window update (progress,
    failure, ready, complete), keyed by kind."""
    made = {}

    def console_download(callback):
        made["progress_callback (console)"] = callback
        return None

    def window_download(callback):
        made["progress_callback (window)"] = callback
        callback(50.0, 1.0, True, 100)
        callback(0, 1.0, False, 100)
        callback(-1, 0, False, 0)
        return world.new_exe

    # Bound directly, not through monkeypatch, which would keep the stand-ins
    # (and through them every function made here) until the test ends.
    u = world.u
    original = u.download_new_exe_with_progress
    root = quiet_root()
    try:
        u.download_new_exe_with_progress = console_download
        u.UpdaterGUI.__new__(u.UpdaterGUI).console_update()
        u.download_new_exe_with_progress = window_download
        u.UpdaterGUI._run_update(world.gui(root))
    finally:
        u.download_new_exe_with_progress = original
    for _ms, func, _args in root.kit.take():
        if getattr(func, "__module__", None) == "updater" and func.__name__ == "<lambda>":
            made[f"lambda line {func.__code__.co_firstlineno}"] = func
    return made


ARGUMENT_ERRORS = {
    "no-parameter positional": (lambda u, n: u.get_exe_dir(1), "get_exe_dir() takes no arguments (1 given)"),
    "no-parameter keyword": (lambda u, n: u.get_exe_dir(x=1), "get_exe_dir() takes no keyword arguments"),
    "lambda positional": (lambda u, n: n["lambda line 143"](1, 2), "<lambda>() takes no arguments (2 given)"),
    "lambda keyword": (lambda u, n: n["lambda line 143"](x=1), "<lambda>() takes no keyword arguments"),
    "one parameter missing": (
        lambda u, n: u.get_resource_path(),
        "get_resource_path() takes exactly 1 positional argument (0 given)",
    ),
    "one parameter too many": (
        lambda u, n: u.replace_and_run(1, 2),
        "replace_and_run() takes exactly 1 positional argument (2 given)",
    ),
    "unexpected keyword": (
        lambda u, n: u.download_new_exe_with_progress(callback=1),
        "download_new_exe_with_progress() got an unexpected keyword argument 'callback'",
    ),
    "multiple values": (
        lambda u, n: u.replace_and_run(1, new_exe=2),
        "replace_and_run() got multiple values for keyword argument 'new_exe'",
    ),
    "keyword not text": (
        lambda u, n: vectorcall(u.get_resource_path, (1, 2), (3,)),
        "get_resource_path() keywords must be strings",
    ),
    "mapping key not text": (lambda u, n: u.get_resource_path(**{1: 2}), "keywords must be strings"),
    "method through class": (
        lambda u, n: u.UpdaterGUI._complete_update(u.UpdaterGUI.__new__(u.UpdaterGUI)),
        "_complete_update() takes exactly 2 positional arguments (1 given)",
    ),
    "method through instance": (
        lambda u, n: u.UpdaterGUI.__new__(u.UpdaterGUI)._on_close(1),
        "_on_close() takes exactly 1 positional argument (2 given)",
    ),
    "four parameters missing one": (
        lambda u, n: n["progress_callback (console)"](1, 2, known_size=3),
        "progress_callback() takes exactly 4 positional arguments (3 given)",
    ),
    "four parameters gap": (
        lambda u, n: n["progress_callback (window)"](1, known_size=3, downloaded_bytes=4),
        "progress_callback() takes exactly 4 positional arguments (1 given)",
    ),
}


@pytest.mark.parametrize("case", ARGUMENT_ERRORS, ids=str)
def test_argument_errors_do_not_leak(world, case):
    call, message = ARGUMENT_ERRORS[case]
    nested = nested_callables(world)
    u = world.u

    def action():
        expect(TypeError, call, u, nested, match=message)

    action()
    assert growth(action, watch=world.watched(*nested.values())) < TOLERANCE


# -- bodies: success and failure ---------------------------------------------------------

def _download_case(blocks, length, last, *, refuse=None, result="path"):
    """A download of scripted blocks; `last` is the last report's
    (percent, known_size, downloaded_bytes)."""

    def setup(w):
        w.set("urllib", Urllib(blocks=blocks, length=length, raises=refuse, record=False))
        reports = []

        def action():
            reports.clear()
            got = w.u.download_new_exe_with_progress(lambda *r: reports.append(r))
            assert got == (w.new_exe if result == "path" else None)
            percent, _speed, known, downloaded = reports[-1]
            assert (percent, known, downloaded) == last, reports

        return action

    return setup


def _download_refused(w):
    """A real connection to a closed port on 127.0.0.1 (no proxy): refused at once."""
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    w.set("urllib", Urllib(opener=opener.open, record=False))
    w.set("UPDATE_URL", f"http://127.0.0.1:{closed_port()}/brivex/latest/main/BrivexLauncher.exe")
    reports = []

    def action():
        reports.clear()
        assert w.u.download_new_exe_with_progress(lambda *r: reports.append(r)) is None
        assert reports == [(-1, 0, False, 0)]

    return action


def _download_callback_raises(w):
    """The callback's own error ends the download with the failure report."""
    w.set("urllib", Urllib(blocks=[b"x" * 10], length=10, record=False))
    reports = []

    def callback(*report):
        reports.append(report)
        if report[0] != -1:
            raise ValueError("callback failed")

    def action():
        reports.clear()
        assert w.u.download_new_exe_with_progress(callback) is None
        assert reports[-1] == (-1, 0, False, 0)

    return action


def _replace_ok(w):
    def action():
        w.write_new()
        assert w.u.replace_and_run(w.new_exe) is None
        assert not os.path.exists(w.new_exe)

    return action


def _replace_missing(w):
    """The move fails: the backup is put back and the error is reported."""

    def action():
        expect(RuntimeError, w.u.replace_and_run, w.new_exe, match="Failed to replace and run: ")
        assert os.path.exists(w.main_exe)

    return action


def _replace_waits_for_a_held_file(w):
    """Windows: the launcher is held open for the first try of its rename."""
    winos = WindowsOS(name="nt")
    winos.hold(w.main_exe, itertools.cycle([False, True]).__next__)
    for name, value in ("os", winos), ("shutil", shutil_for(winos)), ("time", types.SimpleNamespace(sleep=abs)):
        w.set(name, value)

    def action():
        winos.calls.clear()
        w.write_new()
        assert w.u.replace_and_run(w.new_exe) is None

    return action


def _replace_start_fails(w):
    w.set("subprocess", Subprocess(OSError(8, "Exec format error"), record=False))

    def action():
        w.write_new()
        expect(RuntimeError, w.u.replace_and_run, w.new_exe, match="Exec format error")

    return action


def _console_ok(w):
    def action():
        assert w.u.UpdaterGUI() is not None
        assert os.path.exists(w.main_exe) and not os.path.exists(w.new_exe)

    return action


def _console_download_fails(w):
    w.set("urllib", Urllib(raises=urllib.error.URLError("refused"), record=False))
    return lambda: expect(SystemExit, w.u.UpdaterGUI.__new__(w.u.UpdaterGUI).console_update)


def _console_replace_fails(w):
    def refuse(new_exe):
        raise RuntimeError("Failed to replace and run: locked")

    w.set("replace_and_run", refuse)
    return lambda: expect(SystemExit, w.u.UpdaterGUI)


def _console_callback(report, exc=None):
    def setup(w):
        captured = []
        w.set("download_new_exe_with_progress", lambda cb: captured.append(cb))
        w.u.UpdaterGUI.__new__(w.u.UpdaterGUI).console_update()
        callback = captured.pop()
        if exc is None:
            return lambda: callback(*report)
        return lambda: expect(exc, callback, *report)

    return setup


def _nested_with_attributes(w, cycle):
    """A fresh progress callback per call, given a __dict__ (and, with `cycle`,
    a reference to itself through it)."""
    def download(callback):
        callback.seen = callback if cycle else True
        return None

    w.set("download_new_exe_with_progress", download)
    gui = w.u.UpdaterGUI.__new__(w.u.UpdaterGUI)
    return gui.console_update


def _window_init(w):
    w.set("TK_AVAILABLE", True)

    def action():
        gui = w.u.UpdaterGUI()
        assert isinstance(gui.root, Root)
        assert [t.started for t in w.kit.threads] == [True]
        w.kit.threads.clear()
        w.kit.roots.clear()

    return action


def _run_requests(root, expect_exit=False):
    for _ms, func, args in root.kit.take():
        if expect_exit and args == (1,):
            expect(SystemExit, func, *args)
        else:
            func(*args)


def _window_update_ok(w):
    """_run_update with a root that keeps its requests, which then all run:
    bar, percent line, size line, ready text and the completion."""
    reports = [(50.0, 1.5, True, 500), (100.0, 2.0, True, 1000), (0, 1.0, False, 2048)]

    def fake_download(callback):
        for report in reports:
            callback(*report)
        return w.new_exe

    w.set("download_new_exe_with_progress", fake_download)
    w.set("replace_and_run", _ignore)
    root = quiet_root()
    gui = w.gui(root)

    def action():
        w.u.UpdaterGUI._run_update(gui)
        assert len(root.kit.requests) == 8
        _run_requests(root)
        assert gui.speed_lbl.options["text"] == "Update ready! Restarting..."

    return action


def _window_update_fails(w):
    """The failure report's requests: label, dialog and sys.exit(1)."""

    def fake_download(callback):
        callback(-1, 0, False, 0)
        return None

    w.set("download_new_exe_with_progress", fake_download)
    root = quiet_root()
    gui = w.gui(root)

    def action():
        gui._run_update()
        assert len(root.kit.requests) == 3
        _run_requests(root, expect_exit=True)
        assert gui.speed_lbl.options["text"] == "Download failed!"

    return action


def _window_reports_dropped(w):
    """Reports into a root whose after() keeps nothing."""

    def fake_download(callback):
        callback(10.0, 1.0, True, 100)
        callback(0, 1.0, False, 100)
        callback(-1, 0, False, 0)
        return None

    w.set("download_new_exe_with_progress", fake_download)
    gui = w.gui(quiet_root(keep=False))
    return gui._run_update


def _complete_fails(w):
    def refuse(new_exe):
        raise RuntimeError("Failed to replace and run: locked")

    w.set("replace_and_run", refuse)
    gui = w.gui()

    def action():
        expect(SystemExit, gui._complete_update, w.new_exe)

    return action


def _complete_ok(w):
    w.set("replace_and_run", _ignore)
    gui = w.gui()
    return lambda: gui._complete_update(w.new_exe)


def _on_close(w):
    gui = w.gui()
    return lambda: expect(SystemExit, gui._on_close)


def _resource_path_in_generator(w):
    # The handled exception inside get_resource_path is undone at the
    # generator's own level: resumed outside the caller's handler, the
    # generator sees none, and keeps nothing of it meanwhile.
    def generator():
        w.u.get_resource_path("icon.ico")
        yield
        yield sys.exception()

    def action():
        steps = generator()
        try:
            raise KeyError("outer")
        except KeyError:
            next(steps)
        next(steps) is None or pytest.fail("the generator still sees the caller's exception")

    return action


BODIES = {
    "get_resource_path bundle": lambda w: (
        w.set("sys", fake_sys(meipass="/bundle")),
        lambda: w.u.get_resource_path("icon.ico") == os.path.join("/bundle", "icon.ico") or pytest.fail("path"),
    )[1],
    "get_resource_path source": lambda w: lambda: w.u.get_resource_path("icon.ico").endswith(os.sep + "icon.ico")
    or pytest.fail("path"),
    "get_resource_path error": lambda w: lambda: expect(TypeError, w.u.get_resource_path, None),
    "get_resource_path in a generator": _resource_path_in_generator,
    "get_exe_dir frozen": lambda w: lambda: w.u.get_exe_dir() == w.dir or pytest.fail("dir"),
    "get_exe_dir source": lambda w: (
        w.set("sys", fake_sys(frozen=False)),
        lambda: os.path.isabs(w.u.get_exe_dir()) or pytest.fail("dir"),
    )[1],
    "get_exe_dir error": lambda w: (
        w.set("sys", fake_sys(frozen=True)),
        lambda: expect(AttributeError, w.u.get_exe_dir),
    )[1],
    "download known size": _download_case([b"a" * 300, b"b" * 300, b"c" * 400], 1000, (100.0, True, 1000)),
    "download unknown size": _download_case([b"a" * 300, b"b" * 700], None, (0, False, 1000)),
    "download cut short": _download_case([b"a" * 300], 1000, (-1, False, 0), result=None),
    "download read error": _download_case([b"a" * 300, OSError("reset")], 1000, (-1, False, 0), result=None),
    "download refused": _download_refused,
    "download callback raises": _download_callback_raises,
    "replace ok": _replace_ok,
    "replace in a one-file build": lambda w: (
        w.set("sys", fake_sys(frozen=True, executable=os.path.join(w.dir, "updater.exe"), meipass=w.dir)),
        w.mp.setenv("PATH", os.pathsep.join([w.dir, os.environ["PATH"]])), w.mp.setenv("_PYI_ARCHIVE_FILE", "x"),
        _replace_ok(w),
    )[-1],
    "replace missing download": _replace_missing,
    "replace start fails": _replace_start_fails,
    "replace waits for a held file": _replace_waits_for_a_held_file,
    "console update ok": _console_ok,
    "console download fails": _console_download_fails,
    "console replace fails": _console_replace_fails,
    "console callback percent": _console_callback((50.0, 1.5, True, 500)),
    "console callback size": _console_callback((0, 1.5, False, 4096)),
    "console callback failure": _console_callback((-1, 0, False, 0), SystemExit),
    "console callback bad value": _console_callback(("x", 1.5, True, 500), ValueError),
    "nested function with a dict": lambda w: _nested_with_attributes(w, cycle=False),
    "nested function in a cycle": lambda w: _nested_with_attributes(w, cycle=True),
    "window init": _window_init,
    "window update ok": _window_update_ok,
    "window update fails": _window_update_fails,
    "window reports dropped": _window_reports_dropped,
    "complete update ok": _complete_ok,
    "complete update fails": _complete_fails,
    "on close": _on_close,
}


@pytest.mark.parametrize("case", BODIES, ids=str)
def test_bodies_do_not_leak(world, case):
    action = BODIES[case](world)
    action()
    assert growth(action, watch=world.watched(action, *getattr(action, "__closure__", None) or ())) < TOLERANCE


def test_a_leak_would_be_seen(world):
    """The measurement itself: one object kept per call shows up in full, less
    what the interpreter frees of its own meanwhile (a few blocks on Windows)."""
    kept = []
    assert growth(lambda: kept.append(object())) >= ROUNDS - TOLERANCE


# -- garbage collection ------------------------------------------------------------------


NESTED_KINDS = [
    "progress_callback (console)",
    "progress_callback (window)",
    "lambda line 139",
    "lambda line 140",
    "lambda line 143",
    "lambda line 145",
    "lambda line 147",
    "lambda line 151",
    "lambda line 152",
]


@pytest.mark.parametrize("kind", NESTED_KINDS)
def test_function_in_cycle_through_its_dict_is_collected(world, kind):
    fn = nested_callables(world)[kind]
    fn.__dict__["me"] = fn
    assert gc.is_tracked(fn)
    assert fn.__dict__ in gc.get_referents(fn)
    ref = weakref.ref(fn)
    del fn
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("kind", NESTED_KINDS)
def test_function_without_cycle_dies_with_its_last_reference(world, kind):
    fn = nested_callables(world)[kind]
    fn.attribute = [1, 2, 3]
    ref = weakref.ref(fn)
    gc.disable()
    try:
        del fn
        assert ref() is None
    finally:
        gc.enable()


def test_window_callback_holding_self_is_collected(world):
    """self -> progress_callback -> closure record -> self."""
    captured = []
    world.set("download_new_exe_with_progress", lambda cb: captured.append(cb))

    class Window:
        pass

    gui = Window()
    world.u.UpdaterGUI._run_update(gui)
    callback = captured.pop()
    gui.callback = callback
    assert callback.__closure__ is not None
    refs = weakref.ref(gui), weakref.ref(callback)
    del gui, callback
    gc.collect()
    assert [r() for r in refs] == [None, None]


@pytest.mark.parametrize("via", ["progress lambda", "completion lambda"])
def test_requests_holding_self_are_collected(world, via):
    """self -> root -> queued request -> its record(s) -> self."""
    def fake_download(callback):
        callback(50.0, 1.0, True, 100)
        return world.new_exe

    world.set("download_new_exe_with_progress", fake_download)

    class Window:
        pass

    gui = Window()
    gui.root = quiet_root()
    world.u.UpdaterGUI._run_update(gui)
    lines = {143: "progress lambda", 152: "completion lambda"}
    kept = [func for _ms, func, _args in gui.root.kit.requests
            if lines.get(getattr(getattr(func, "__code__", None), "co_firstlineno", 0)) == via]
    assert len(kept) == 1
    refs = weakref.ref(gui), weakref.ref(kept[0])
    del gui, kept
    gc.collect()
    assert [r() for r in refs] == [None, None]


def test_records_are_visited_by_the_collector(world):
    """The nested function reports its closure record, and the record its self."""
    captured = []
    world.set("download_new_exe_with_progress", lambda cb: captured.append(cb))
    marker = types.SimpleNamespace()
    world.u.UpdaterGUI._run_update(marker)
    callback = captured.pop()
    # two steps: the function reports what it holds, that holds self
    reachable = [o for held in gc.get_referents(callback) for o in gc.get_referents(held)]
    assert any(o is marker for o in reachable)
