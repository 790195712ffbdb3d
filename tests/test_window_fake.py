"""The update window against a recording fake toolkit: what the constructor
builds, what each progress report queues and what the queued requests do,
how the update ends, and the names that tracebacks through the nested
callables carry."""

from __future__ import annotations

import errno

import pytest

from support import faketk
from support.faketk import Call, assert_calls
from support.frame_helpers import entries
from support.standins import RecordingOs, ScriptedDownload, Urllib
from support.winos import WindowsOS

PC_LAMBDA = "UpdaterGUI._run_update.<locals>.progress_callback.<locals>.<lambda>"
RU_LAMBDA = "UpdaterGUI._run_update.<locals>.<lambda>"
TB = "updater.UpdaterGUI._run_update"


class RecordingReplace:
    def __init__(self, kit, raises=None):
        self.kit = kit
        self.raises = raises

    def __call__(self, new_exe):
        self.kit.record("engine", "replace_and_run", (new_exe,), {})
        if self.raises is not None:
            raise self.raises


@pytest.fixture
def u(updater_module):
    return updater_module


@pytest.fixture
def kit(monkeypatch, u, tmp_path):
    kit = faketk.install(monkeypatch, u, faketk.Toolkit())
    kit.icon_path = str(tmp_path / "icon.ico")

    def get_resource_path(relative_path):
        kit.record("engine", "get_resource_path", (relative_path,), {})
        return str(tmp_path / relative_path)

    monkeypatch.setattr(u, "get_resource_path", get_resource_path)
    monkeypatch.setattr(u, "replace_and_run", RecordingReplace(kit))
    return kit


def build(u, kit):
    """Construct the window; the worker is started but has not run."""
    gui = u.UpdaterGUI()
    assert kit.threads[0].started and not kit.threads[0].ran
    return gui


def run_worker(kit, monkeypatch, u, download):
    """Run the worker to its end, then the event loop; returns what escaped the loop."""
    monkeypatch.setattr(u, "download_new_exe_with_progress", download)
    kit.threads[0].run()
    assert all((c.target, c.name) == ("root", "after") for c in kit.threads[0].log_during_run)
    try:
        kit.roots[0].mainloop()
    except BaseException as exc:  # noqa: BLE001 - SystemExit and friends are outcomes here
        return exc
    return None


def ran_since(kit, start):
    """The toolkit and engine calls the requests made, without the queueing."""
    return [c for c in kit.log[start:] if c.name not in ("after", "mainloop")]


def assert_title_untouched(kit):
    assert [c for c in kit.log if c.target == "Label1"] == [Call("Label1", "pack", (), [("pady", (10, 15))])]


# -- construction -----------------------------------------------------------------


class Platform(WindowsOS):
    """The real `os` (under Windows file rules) claiming the system `name`."""

    def __init__(self, name="nt"):
        super().__init__()
        self.name = name


@pytest.mark.parametrize(
    "icon, windows", [(False, True), (True, True), (True, False)], ids=["no-icon", "icon", "icon-not-on-windows"]
)
def test_constructor_builds_the_window_in_order(u, kit, monkeypatch, icon, windows):
    # Tk takes an .ico window icon on Windows only: elsewhere it is looked up but not set.
    monkeypatch.setattr(u, "os", Platform("nt" if windows else "posix"))
    if icon:
        open(kit.icon_path, "wb").close()
    gui = build(u, kit)
    root, card, title, bar, status = gui.root, gui.card, gui.title_lbl, gui.progress, gui.speed_lbl
    (thread,) = kit.threads
    expected = [
        Call("tk", "Tk", (), []),
        Call("root", "title", ("Brivex Updater",), []),
        Call("root", "geometry", ("400x200",), []),
        Call("root", "resizable", (False, False), []),
        Call("root", "configure", (), [("bg", "#121212")]),
        Call("engine", "get_resource_path", ("icon.ico",), []),
        *([Call("root", "iconbitmap", (kit.icon_path,), [])] if icon and windows else []),
        Call("root", "winfo_screenwidth", (), []),
        Call("root", "winfo_screenheight", (), []),
        Call("root", "geometry", ("+760+440",), []),
        Call("tk", "Frame", (root,), [("bg", "#1e1e1e"), ("bd", 2), ("relief", "flat"),
                                     ("highlightbackground", "#333333"), ("highlightthickness", 1)]),
        Call("Frame1", "pack", (), [("expand", True), ("fill", "both"), ("padx", 20), ("pady", 20),
                                    ("ipadx", 10), ("ipady", 10)]),
        Call("tk", "Label", (card,), [("text", "Downloading Update..."), ("bg", "#1e1e1e"), ("fg", "#ffffff"),
                                     ("font", ("Helvetica", 14, "bold"))]),
        Call("Label1", "pack", (), [("pady", (10, 15))]),
        Call("ttk", "Progressbar", (card,), [("mode", "determinate"), ("length", 300)]),
        Call("ttk", "Style", (), []),
        Call("Style1", "theme_use", ("clam",), []),
        Call("Style1", "configure", ("TProgressbar",), [("background", "#4caf50"), ("troughcolor", "#121212")]),
        Call("Progressbar1", "pack", (), [("pady", (0, 10))]),
        Call("tk", "Label", (card,), [("text", "Connecting..."), ("bg", "#1e1e1e"), ("fg", "#b0b0b0"),
                                     ("font", ("Helvetica", 10))]),
        Call("Label2", "pack", (), [("pady", (0, 5))]),
        Call("root", "protocol", ("WM_DELETE_WINDOW", gui._on_close), []),
        Call("threading", "Thread", (), [("target", gui._run_update), ("daemon", True)]),
        Call("Thread1", "start", (), []),
        Call("root", "mainloop", (), []),
    ]
    assert_calls(kit.log, expected)
    assert list(vars(gui)) == ["root", "card", "title_lbl", "progress", "speed_lbl"]
    assert [w.name for w in (root, card, title, bar, status)] == ["root", "Frame1", "Label1", "Progressbar1", "Label2"]
    assert (card.parent, title.parent, bar.parent, status.parent) == (root, card, card, card)
    handler = root.protocols["WM_DELETE_WINDOW"]
    assert handler.__self__ is gui and handler.__func__ is u.UpdaterGUI._on_close
    assert thread.target.__self__ is gui and thread.target.__func__ is u.UpdaterGUI._run_update
    assert thread.daemon is True


@pytest.mark.parametrize(
    "screen, position",
    [((1920, 1080), "+760+440"), ((1366, 767), "+483+283"), ((390, 1080), "+-5+440"), ((399, 199), "+-1+-1")],
)
def test_window_is_centred_with_floor_division(u, kit, screen, position):
    kit.screen = screen
    build(u, kit)
    assert [c.args for c in kit.calls("root", "geometry")] == [("400x200",), (position,)]


def test_size_is_read_through_the_instance(u, kit):
    class Wide(u.UpdaterGUI):
        WIDTH, HEIGHT = 500, 300

    Wide()
    gui = u.UpdaterGUI.__new__(u.UpdaterGUI)
    gui.WIDTH = 1000
    gui.__init__()
    assert [c.args[0] for c in kit.calls("root", "geometry")] == ["500x300", "+710+390", "1000x200", "+460+440"]


@pytest.mark.parametrize(
    "failing, line",
    [
        (("tk", "Tk"), 103), (("root", "title"), 104), (("root", "geometry"), 105), (("root", "resizable"), 106),
        (("root", "configure"), 107), (("engine", "get_resource_path"), 109), (("root", "iconbitmap"), 111),
        (("root", "winfo_screenwidth"), 113), (("root", "winfo_screenheight"), 114), (("tk", "Frame"), 117),
        (("Frame1", "pack"), 118), (("tk", "Label"), 120), (("Label1", "pack"), 121),
        (("ttk", "Progressbar"), 123), (("ttk", "Style"), 124), (("Style1", "theme_use"), 125),
        (("Style1", "configure"), 126), (("Progressbar1", "pack"), 127), (("Label2", "pack"), 130),
        (("root", "protocol"), 132), (("threading", "Thread"), 133), (("Thread1", "start"), 133),
        (("root", "mainloop"), 134),
    ],
)
def test_constructor_failure_names_its_statement_and_keeps_what_was_built(u, kit, monkeypatch, failing, line):
    monkeypatch.setattr(u, "os", Platform())
    open(kit.icon_path, "wb").close()
    kit.fail[failing] = LookupError("toolkit refused")
    gui = u.UpdaterGUI.__new__(u.UpdaterGUI)
    with pytest.raises(LookupError) as info:
        gui.__init__()
    assert entries(info.value) == [("updater.UpdaterGUI.__init__", line)]
    attributes = [("root", 103), ("card", 117), ("title_lbl", 120), ("progress", 123), ("speed_lbl", 129)]
    assert list(vars(gui)) == [name for name, made_at in attributes if made_at < line]
    assert [t.started for t in kit.threads] == ([True] if line == 134 else [False] if failing[0] == "Thread1" else [])


@pytest.mark.parametrize("flag", [False, 0, None, ""])
def test_missing_toolkit_takes_the_console_path(u, kit, monkeypatch, capsys, flag):
    monkeypatch.setattr(u, "TK_AVAILABLE", flag)
    monkeypatch.setattr(u, "download_new_exe_with_progress", ScriptedDownload([(50.0, 2.0, True, 10)], result=None))
    gui = u.UpdaterGUI()
    assert vars(gui) == {} and kit.log == []
    assert capsys.readouterr().out == "Tkinter not available, running console update...\n50.0% • 2.0 KB/s\n"


# -- requests queued by the worker ------------------------------------------------


@pytest.mark.parametrize(
    "report, text",
    [
        ((42.04, 512.34, True, 7), "42.0% • 512.3 KB/s"),
        ((100.0, 12.0, True, 7), "100.0% • 12.0 KB/s"),
        ((0, 0, False, 1536 * 1024), "1536 KB • 0.0 KB/s"),
        ((0, 0, False, 1023), "0 KB • 0.0 KB/s"),
        ((0, 3.25, False, 10**12), "976562500 KB • 3.2 KB/s"),
        ((7, 3, 1, 0), "7.0% • 3.0 KB/s"),
        ((7, 3, 0, 2048), "2 KB • 3.0 KB/s"),
        ((7, 3, None, 2048), "2 KB • 3.0 KB/s"),
        ((-0.5, 0.05, True, 0), "-0.5% • 0.1 KB/s"),
        ((1e-9, 99.95, True, 0), "0.0% • 100.0 KB/s"),
    ],
)
def test_report_queues_the_bar_then_the_label(u, kit, monkeypatch, report, text):
    gui = build(u, kit)
    start = len(kit.log)
    assert run_worker(kit, monkeypatch, u, ScriptedDownload([report])) is None
    queued = kit.calls("root", "after")
    assert [c.args[0] for c in queued] == [0, 0]
    bar_request, label_request = (c.args[1] for c in queued)
    assert [f.__qualname__ for f in (bar_request, label_request)] == [PC_LAMBDA, PC_LAMBDA]
    assert_calls(ran_since(kit, start), [
        Call("Progressbar1", "config", (), [("value", report[0])]),
        Call("Label2", "config", (), [("text", text)]),
    ])
    assert gui.progress.options["value"] is report[0]
    assert_title_untouched(kit)


@pytest.mark.parametrize("percent", [-1, -1.0])
def test_failure_report_shows_label_dialog_then_exits_1(u, kit, monkeypatch, percent):
    build(u, kit)
    start = len(kit.log)
    escaped = run_worker(kit, monkeypatch, u, ScriptedDownload([(30.0, 1.0, True, 9), (percent, 0, False, 0)]))
    assert isinstance(escaped, SystemExit) and escaped.code == 1
    queued = [c.args for c in kit.calls("root", "after")]
    assert [q[0] for q in queued] == [0] * 5
    assert queued[4][1:] == (kit.sys.exit, 1)
    assert [f.__qualname__ for _, f, *_ in queued[:4]] == [PC_LAMBDA] * 4
    assert_calls(ran_since(kit, start), [
        Call("Progressbar1", "config", (), [("value", 30.0)]),
        Call("Label2", "config", (), [("text", "30.0% • 1.0 KB/s")]),
        Call("Label2", "config", (), [("text", "Download failed!")]),
        Call("messagebox", "showerror", ("Update Failed", "Could not download update."), []),
        Call("sys", "exit", (1,), []),
    ])
    assert_title_untouched(kit)


def test_reports_queued_before_any_runs_keep_their_own_values(u, kit, monkeypatch):
    build(u, kit)
    start = len(kit.log)
    reports = [(10.0, 1.0, True, 1), (0, 2.0, False, 4096), (95.25, 3.0, True, 3)]
    run_worker(kit, monkeypatch, u, ScriptedDownload(reports))
    assert_calls(ran_since(kit, start), [
        Call("Progressbar1", "config", (), [("value", 10.0)]),
        Call("Label2", "config", (), [("text", "10.0% • 1.0 KB/s")]),
        Call("Progressbar1", "config", (), [("value", 0)]),
        Call("Label2", "config", (), [("text", "4 KB • 2.0 KB/s")]),
        Call("Progressbar1", "config", (), [("value", 95.25)]),
        Call("Label2", "config", (), [("text", "95.2% • 3.0 KB/s")]),
    ])
    requests = [c.args[1] for c in kit.calls("root", "after")]
    assert len({id(f) for f in requests}) == 6


def test_success_shows_ready_text_then_completes_after_500_ms(u, kit, monkeypatch):
    gui = build(u, kit)
    start = len(kit.log)
    escaped = run_worker(kit, monkeypatch, u, ScriptedDownload([(100.0, 8.0, True, 5)], result="/opt/new.exe"))
    assert escaped is None and gui.root.destroyed
    queued = [c.args for c in kit.calls("root", "after")]
    assert [q[0] for q in queued] == [0, 0, 0, 500]
    assert [q[1].__qualname__ for q in queued[2:]] == [RU_LAMBDA, RU_LAMBDA]
    assert [when for when, *_ in kit.ran] == [0, 0, 0, 500]
    assert_calls(ran_since(kit, start), [
        Call("Progressbar1", "config", (), [("value", 100.0)]),
        Call("Label2", "config", (), [("text", "100.0% • 8.0 KB/s")]),
        Call("Label2", "config", (), [("text", "Update ready! Restarting...")]),
        Call("engine", "replace_and_run", ("/opt/new.exe",), []),
        Call("root", "destroy", (), []),
    ])
    assert_title_untouched(kit)


@pytest.mark.parametrize("result", [None, ""])
def test_no_download_result_queues_nothing_more(u, kit, monkeypatch, result):
    build(u, kit)
    start = len(kit.log)
    assert run_worker(kit, monkeypatch, u, ScriptedDownload([(5.0, 1.0, True, 1)], result=result)) is None
    assert [c.name for c in kit.log[start:]] == ["after", "after", "mainloop", "config", "config"]
    assert_title_untouched(kit)


@pytest.mark.parametrize("outcome", ["success", "download failed", "sync refused"])
def test_whole_update_through_the_constructor(u, kit, monkeypatch, tmp_path, outcome):
    kit.run_workers_in_mainloop = True
    if outcome == "success":
        monkeypatch.setattr(u, "download_new_exe_with_progress", ScriptedDownload([(50.0, 1.0, True, 1)], "n.exe"))
        assert u.UpdaterGUI().root.destroyed
        tail = ["replace_and_run", "destroy"]
    else:
        if outcome == "download failed":
            monkeypatch.setattr(u, "download_new_exe_with_progress", ScriptedDownload([(-1, 0, False, 0)]))
        else:  # the real download, into a file the disk does not sync
            kit.sys.frozen, kit.sys.executable = True, str(tmp_path / "updater.exe")
            monkeypatch.setattr(u, "urllib", Urllib())
            monkeypatch.setattr(u, "os", RecordingOs(errors={"fsync": OSError(errno.EIO, "Input/output error")}))
        with pytest.raises(SystemExit) as info:
            u.UpdaterGUI()
        assert info.value.code == 1
        assert entries(info.value) == [("updater.UpdaterGUI.__init__", 134)]
        tail = ["config", "showerror", "exit"]
    assert [c.name for c in kit.log[-len(tail):]] == tail
    assert_title_untouched(kit)


# -- completion and close ---------------------------------------------------------


@pytest.mark.parametrize(
    "failing, error, dialog_text",
    [
        (None, None, None),
        ("replace", RuntimeError("access denied"), "access denied"),
        ("replace", RuntimeError(""), ""),
        ("replace", type("Odd", (Exception,), {"__str__": lambda self: "odd text", "__repr__": lambda s: "r"})(),
         "odd text"),
        ("destroy", OSError("window gone"), "window gone"),
    ],
    ids=["success", "access-denied", "empty-text", "str-not-repr", "destroy-fails"],
)
def test_complete_update(u, kit, failing, error, dialog_text):
    gui = build(u, kit)
    start = len(kit.log)
    if failing == "replace":
        u.replace_and_run.raises = error
    elif failing == "destroy":
        kit.fail[("root", "destroy")] = error
    if error is None:
        assert gui._complete_update("C:/x/new.exe") is None
        tail = [Call("root", "destroy", (), [])]
    else:
        with pytest.raises(SystemExit) as info:
            gui._complete_update("C:/x/new.exe")
        assert info.value.code == 1
        assert entries(info.value) == [("updater.UpdaterGUI._complete_update", 160)]
        tail = ([Call("root", "destroy", (), [])] if failing == "destroy" else []) + [
            Call("messagebox", "showerror", ("Update Error", dialog_text), []),
            Call("sys", "exit", (1,), []),
        ]
    assert_calls(kit.log[start:], [Call("engine", "replace_and_run", ("C:/x/new.exe",), []), *tail])


@pytest.mark.parametrize("error", [SystemExit(7), KeyboardInterrupt()])
def test_complete_update_lets_exit_requests_pass(u, kit, error):
    gui = build(u, kit)
    start = len(kit.log)
    u.replace_and_run.raises = error
    with pytest.raises(type(error)) as info:
        gui._complete_update("n.exe")
    assert info.value is error
    assert [c.name for c in kit.log[start:]] == ["replace_and_run"]
    assert entries(error)[0] == ("updater.UpdaterGUI._complete_update", 156)


def test_on_close_exits_with_0_and_does_nothing_else(u, kit):
    gui = build(u, kit)
    start = len(kit.log)
    with pytest.raises(SystemExit) as info:
        gui.root.protocols["WM_DELETE_WINDOW"]()
    assert info.value.code == 0
    assert_calls(kit.log[start:], [Call("sys", "exit", (0,), [])])
    assert entries(info.value) == [("updater.UpdaterGUI._on_close", 163)]
    assert not gui.root.destroyed


# -- names of the nested callables ------------------------------------------------


def test_nested_callables_are_fresh_and_named(u, kit, monkeypatch):
    gui = build(u, kit)
    download = ScriptedDownload([(1.0, 1.0, True, 1), (-1, 0, False, 0)], result="n.exe")
    monkeypatch.setattr(u, "download_new_exe_with_progress", download)
    gui._run_update()
    gui._run_update()
    first, second = download.callbacks
    assert first is not second
    for cb in download.callbacks:
        assert (cb.__name__, cb.__qualname__, cb.__module__) == (
            "progress_callback", "UpdaterGUI._run_update.<locals>.progress_callback", "updater")
    requests = [c.args[1] for c in kit.calls("root", "after") if callable(c.args[1]) and c.args[1] is not kit.sys.exit]
    assert len(requests) == 2 * (2 + 2 + 2)
    assert {(f.__name__, f.__module__) for f in requests} == {("<lambda>", "updater")}
    assert len({id(f) for f in requests}) == len(requests)
    with pytest.raises(TypeError, match=r"^<lambda>\(\) takes no arguments \(1 given\)$"):
        requests[0](1)


@pytest.mark.parametrize(
    "reports, result, failing, frames",
    [
        ([(5.0, 1.0, True, 1)], None, ("Progressbar1", "config"), [(TB + ".progress_callback.lambda2", 143)]),
        ([(5.0, 1.0, True, 1)], None, ("Label2", "config"), [(TB + ".progress_callback.lambda3", 145)]),
        ([(5.0, 1.0, False, 1)], None, ("Label2", "config"), [(TB + ".progress_callback.lambda4", 147)]),
        ([(-1, 0, False, 0)], None, ("Label2", "config"), [(TB + ".progress_callback.lambda", 139)]),
        ([(-1, 0, False, 0)], None, ("messagebox", "showerror"), [(TB + ".progress_callback.lambda1", 140)]),
        ([], "n.exe", ("Label2", "config"), [(TB + ".lambda5", 151)]),
        ([], "n.exe", ("root", "destroy"), [(TB + ".lambda6", 152), ("updater.UpdaterGUI._complete_update", 157)]),
    ],
)
def test_request_tracebacks_carry_their_names(u, kit, monkeypatch, reports, result, failing, frames):
    build(u, kit)
    kit.fail[failing] = KeyboardInterrupt() if failing == ("root", "destroy") else ValueError("refused")
    escaped = run_worker(kit, monkeypatch, u, ScriptedDownload(reports, result=result))
    error = kit.callback_errors[0] if kit.callback_errors else escaped
    assert entries(error) == frames


@pytest.mark.parametrize(
    "report, line", [((-1, 0, False, 0), 139), ((5.0, 1.0, True, 1), 143)]
)
def test_worker_traceback_reads_outer_first(u, kit, monkeypatch, report, line):
    gui = build(u, kit)
    kit.fail[("root", "after")] = SystemExit(3)
    monkeypatch.setattr(u, "download_new_exe_with_progress", ScriptedDownload([report]))
    with pytest.raises(SystemExit) as info:
        gui._run_update()
    assert entries(info.value) == [(TB, 149), (TB + ".progress_callback", line)]
