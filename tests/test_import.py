"""Loading the module: namespace, toolkit guard, reimport, interpreters, other
names, failing bodies, the entry block, the version check and the exports.

Each scenario runs in a fresh interpreter: the module loads once per process.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import threading
import urllib.parse
from pathlib import Path

import pytest

from support.frame_helpers import module_path

ROOT = Path(__file__).resolve().parents[1]

MODULE_NAMES = [
    "__builtins__", "sys", "os", "time", "urllib", "HTTPError", "URLError", "threading", "subprocess", "shutil",
    "tk", "ttk", "messagebox", "TK_AVAILABLE", "get_resource_path", "UPDATE_URL", "MAIN_EXE_NAME", "TEMP_EXE_NAME",
    "BG_DARK", "BG_CARD", "ACCENT_PRIMARY", "ACCENT_SUCCESS", "TEXT_PRIMARY", "TEXT_SECONDARY", "BORDER_COLOR",
    "get_exe_dir", "download_new_exe_with_progress", "replace_and_run", "UpdaterGUI",
]

INTERPRETER_CHANGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."


CONSTANTS = {
    "MAIN_EXE_NAME": "BrivexLauncher.exe", "TEMP_EXE_NAME": "BrivexLauncher_new.exe", "BG_DARK": "#121212",
    "BG_CARD": "#1e1e1e", "ACCENT_PRIMARY": "#00bcd4", "ACCENT_SUCCESS": "#4caf50", "TEXT_PRIMARY": "#ffffff",
    "TEXT_SECONDARY": "#b0b0b0", "BORDER_COLOR": "#333333", "TK_AVAILABLE": True,
}


@pytest.mark.parametrize("name, value", CONSTANTS.items())
def test_constants(updater_module, name, value):
    assert type(getattr(updater_module, name)) is type(value)
    assert getattr(updater_module, name) == value


def test_update_url_shape(updater_module):
    url = urllib.parse.urlsplit(updater_module.UPDATE_URL)
    segments = url.path.split("/")
    assert (url.scheme, url.query, url.fragment) == ("https", "", "")
    assert url.hostname
    assert segments[-3:] == ["latest", "main", "BrivexLauncher.exe"] and len(segments) >= 5 and all(segments[1:])


def test_bound_modules_and_classes(updater_module):
    import builtins
    import tkinter
    import tkinter.messagebox
    import tkinter.ttk
    import urllib.error
    import urllib.request

    m = updater_module
    assert m.__builtins__ is builtins
    assert (m.sys, m.os, m.threading, m.subprocess, m.shutil) == (sys, os, threading, subprocess, shutil)
    assert m.urllib is urllib and m.urllib.request is urllib.request
    assert (m.HTTPError, m.URLError) == (urllib.error.HTTPError, urllib.error.URLError)
    assert (m.tk, m.ttk, m.messagebox) == (tkinter, tkinter.ttk, tkinter.messagebox)


# -- the guarded toolkit import -------------------------------------------------

TOOLKIT_SCENARIO = """
    import sys
    from support.frame_helpers import block
    {setup}
    try:
        raise KeyError("handled before the import")
    except KeyError:
        import updater
        handled = repr(sys.exception())
    names = list(vars(updater))
    emit({{
        "names": names[names.index("__builtins__"):],
        "tk_available": updater.TK_AVAILABLE,
        "bound": {{n: getattr(updater, n) is sys.modules.get(m) for n, m in
                  [("tk", "tkinter"), ("ttk", "tkinter.ttk"), ("messagebox", "tkinter.messagebox")]
                  if hasattr(updater, n)}},
        "handled": handled,
    }})
"""


@pytest.mark.parametrize(
    "setup, toolkit, available",
    [
        ("", ["tk", "ttk", "messagebox"], True),
        ("block('tkinter')", [], False),
        ("block('tkinter.ttk')", ["tk"], False),
        ("block('tkinter.messagebox')", ["tk", "ttk"], False),
        ("block('tkinter', error=RuntimeError)", [], False),
        # a loaded submodule that is not (yet) an attribute of its package
        ("import tkinter, tkinter.ttk; del tkinter.ttk", ["tk", "ttk", "messagebox"], True),
    ],
    ids=["present", "no-tkinter", "no-ttk", "no-messagebox", "tkinter-raises", "ttk-not-attribute"],
)
def test_toolkit_guard(run_scenario, setup, toolkit, available):
    outcome = run_scenario(TOOLKIT_SCENARIO.format(setup=setup))
    assert outcome.returncode == 0, outcome
    result = outcome.result
    missing = {"tk", "ttk", "messagebox"} - set(toolkit)
    assert result["names"] == [n for n in MODULE_NAMES if n not in missing]
    assert result["tk_available"] is available
    assert result["bound"] == {n: True for n in toolkit}
    assert result["handled"] == "KeyError('handled before the import')"


def test_ordinary_import_has_no_side_effects(run_scenario):
    outcome = run_scenario(
        """
        import sys, threading, tkinter
        events = []
        watched = {"socket.connect", "socket.getaddrinfo", "urllib.Request", "subprocess.Popen", "os.system"}
        def hook(event, args):
            if event in watched or (event == "open" and isinstance(args[1], str) and set(args[1]) & set("wax+")):
                events.append(event)
        sys.addaudithook(hook)
        before = {t.ident for t in threading.enumerate()}
        import updater
        emit({"events": events, "new_threads": len({t.ident for t in threading.enumerate()} - before),
              "window": tkinter._default_root is not None})
        """
    )
    assert outcome.returncode == 0, outcome
    assert (outcome.stdout, outcome.stderr) == ("", "")
    assert outcome.result == {"events": [], "new_threads": 0, "window": False}


# -- the module record ----------------------------------------------------------


def test_reimport_gives_the_same_module_without_rerunning_the_body(run_scenario):
    outcome = run_scenario(
        """
        import importlib, sys, types
        from support.frame_helpers import ModuleDefinition, failure
        import updater
        first = updater
        import updater
        updater.MAIN_EXE_NAME = "rebound"
        del sys.modules["updater"]
        again = importlib.import_module("updater")
        reloaded = importlib.reload(again)
        definition = ModuleDefinition()
        created = definition.create(types.SimpleNamespace(name="another"))
        error = failure(definition.exec, types.ModuleType("updater"))
        emit({
            "same": [updater is first, again is first, reloaded is first, created is first],
            "registered": sys.modules["updater"] is first,
            "main_exe": first.MAIN_EXE_NAME,
            "reinit": [type(error).__name__, str(error)],
        })
        """
    )
    assert outcome.returncode == 0, outcome
    assert outcome.result == {
        "same": [True, True, True, True],
        "registered": True,
        "main_exe": "rebound",
        "reinit": ["RuntimeError", "Module 'updater' has already been imported. Re-initialisation is not supported."],
    }


@pytest.mark.parametrize("main_first", ["imported", "failed", "not imported"])
def test_second_interpreter_is_refused(run_scenario, main_first):
    outcome = run_scenario(
        f"""
        import _xxsubinterpreters as interpreters
        from support.frame_helpers import block, failure, unblock
        main_first = {main_first!r}
        if main_first == "imported":
            import updater
        elif main_first == "failed":
            blocker = block("shutil")
            failure(__import__, "updater")
            unblock(blocker)
        interp = interpreters.create(isolated=False)
        try:
            interpreters.run_string(interp, "import updater")
            sub = "ok"
        except interpreters.RunFailedError as exc:
            sub = str(exc)
        try:
            import updater
            main = "ok"
        except ImportError as exc:
            main = f"{{type(exc).__name__}}: {{exc}}"
        emit([sub, main])
        """
    )
    assert outcome.returncode == 0, outcome
    refused = f"ImportError: {INTERPRETER_CHANGE}"
    if main_first == "not imported":
        assert outcome.result == ["ok", refused]
    else:
        assert outcome.result == [f"<class 'ImportError'>: {INTERPRETER_CHANGE}", "ok"]


def test_a_runtime_started_again_is_refused(embed_host):
    # Py_Finalize, then Py_Initialize: the new main interpreter has the same
    # identifier as the first, and must not get the ended runtime's module.
    program = """
        try:
            import updater
            print("imported", type(updater.get_resource_path("x")).__name__)
        except ImportError as exc:
            print(f"{type(exc).__name__}: {exc}")
    """
    done = embed_host(program, program)
    assert (done.returncode, done.stderr) == (0, ""), done
    assert done.stdout.splitlines() == ["imported str", f"ImportError: {INTERPRETER_CHANGE}"]


@pytest.mark.parametrize("registered_before", [False, True])
def test_loading_under_another_name(run_scenario, registered_before):
    outcome = run_scenario(
        f"""
        import importlib.util, sys, types
        from support.frame_helpers import module_path
        origin = module_path()
        placeholder = types.ModuleType("placeholder")
        if {registered_before}:
            sys.modules["updater"] = placeholder
        spec = importlib.util.spec_from_file_location("pkg.updater", origin)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        entry = sys.modules.get("updater")
        emit({{
            "name": module.__name__, "package": module.__package__, "file": module.__file__ == origin,
            "loader": module.__loader__ is spec.loader, "path": hasattr(module, "__path__"),
            "entry": "module" if entry is module else "placeholder" if entry is placeholder else repr(entry),
            "module_of": sorted({{module.get_exe_dir.__module__, module.UpdaterGUI.__module__,
                                 module.UpdaterGUI.console_update.__module__}}),
        }})
        """
    )
    assert outcome.returncode == 0, outcome
    assert outcome.result == {
        "name": "pkg.updater", "package": "pkg", "file": True, "loader": True, "path": False,
        "entry": "placeholder" if registered_before else "module",
        "module_of": ["updater"],
    }


def test_create_step_copies_the_spec(run_scenario):
    outcome = run_scenario(
        """
        import types
        from support.frame_helpers import ModuleDefinition, failure
        definition = ModuleDefinition()
        copied = ["__loader__", "__file__", "__package__", "__path__"]
        def made(**spec):
            module = definition.create(types.SimpleNamespace(**spec))
            return [module.__name__] + [vars(module).get(k, "absent") for k in copied]
        class Broken:
            name = "broken"
            @property
            def origin(self):
                raise ValueError("no origin")
        error = failure(definition.create, Broken())
        emit([
            made(name="full", loader="L", origin="/o.so", parent="P", submodule_search_locations=["d"]),
            made(name="nones", loader=None, origin=None, parent=None, submodule_search_locations=None),
            made(name="bare"),
            [type(error).__name__, str(error)],
        ])
        """
    )
    assert outcome.returncode == 0, outcome
    assert outcome.result == [
        ["full", "L", "/o.so", "P", ["d"]],
        ["nones", None, None, None, "absent"],
        ["bare", None, "absent", None, "absent"],
        ["ValueError", "no origin"],
    ]


@pytest.mark.parametrize(
    "setup, undo, error, message, line",
    [
        ("import urllib.request; blocker = block('shutil')", "unblock(blocker)",
         "ModuleNotFoundError", "import of shutil blocked by the test", 9),
        ("import urllib.request; saved = urllib.error.URLError; del urllib.error.URLError",
         "urllib.error.URLError = saved", "ImportError", "cannot import name URLError", 6),
        ("import builtins; saved = builtins.print; del builtins.print",
         "builtins.print = saved", "NameError", "name 'print' is not defined", 1),
        # not an Exception: the toolkit guard lets it through
        ("blocker = block('tkinter', error=KeyboardInterrupt)", "unblock(blocker)",
         "KeyboardInterrupt", "import of tkinter blocked by the test", 12),
    ],
    ids=["import", "from-import", "early-builtin", "interrupt-in-guard"],
)
def test_failing_body_then_fresh_import(run_scenario, setup, undo, error, message, line):
    outcome = run_scenario(
        f"""
        import sys
        from support.frame_helpers import block, entries, failure, unblock
        {setup}
        exc = failure(__import__, "updater")
        first = [type(exc).__name__, str(exc), entries(exc), "updater" in sys.modules]
        {undo}
        import updater, shutil, urllib.error
        emit({{"first": first, "then": [updater.shutil is shutil, updater.URLError is urllib.error.URLError,
                                        updater.TK_AVAILABLE, "UpdaterGUI" in vars(updater)]}})
        """
    )
    assert outcome.returncode == 0, outcome
    assert outcome.result == {
        "first": [error, message, [["init updater", line]], False],
        "then": [True, True, True, True],
    }


# -- the entry block ------------------------------------------------------------


def test_entry_block_constructs_the_updater(run_scenario, tmp_path):
    outcome = run_scenario(
        f"""
        import importlib.machinery, urllib.error, urllib.request
        from support.frame_helpers import ModuleDefinition, block, entries, failure

        block("tkinter")
        requested = []

        class Refuse(urllib.request.BaseHandler):
            def https_open(self, req):
                requested.append(req.full_url)
                raise urllib.error.URLError("network refused by the test")
            http_open = unknown_open = https_open

        opener = urllib.request.OpenerDirector()
        opener.add_handler(Refuse())
        urllib.request.install_opener(opener)

        definition = ModuleDefinition()
        # __file__ points into the test's directory: whatever the body writes stays there
        spec = importlib.machinery.ModuleSpec("__main__", None, origin={str(tmp_path / "updater.so")!r})
        module = definition.create(spec)
        exc = failure(definition.exec, module)
        # The failed run's functions keep its namespace; a new import runs the body in a new one.
        exe_dir = [module.get_exe_dir()]
        import updater
        exe_dir.append(module.get_exe_dir())
        emit({{"error": type(exc).__name__, "code": getattr(exc, "code", None), "entries": entries(exc),
               "requested": requested, "url": module.UPDATE_URL, "name": module.__name__, "exe_dir": exe_dir,
               "fresh": updater is not module and updater.UpdaterGUI.__init__.__globals__ is vars(updater)}})
        """
    )
    assert outcome.returncode == 0, outcome
    result = outcome.result
    assert result["name"] == "__main__"
    init, ctor = result["entries"][:2]
    assert init == ["init updater", 187]
    assert (result["error"], result["code"]) == ("SystemExit", 1), outcome
    assert (result["exe_dir"], result["fresh"]) == ([str(tmp_path)] * 2, True)
    assert ctor == ["updater.UpdaterGUI.__init__", 100]
    assert result["requested"] == [result["url"]]
    assert outcome.stdout.splitlines() == ["Tkinter not available, running console update...", "Download failed!"]
    assert not list(tmp_path.glob("*.exe"))


# -- build products -------------------------------------------------------------


def _tool(name: str) -> str:
    beside = Path(sys.executable).parent / name
    found = str(beside) if beside.exists() else shutil.which(name)
    if not found:
        pytest.skip(f"{name} is not installed")
    return found


@pytest.fixture(scope="session")
def other_minor_build(tmp_path_factory) -> Path:
    """A build that believes it was compiled for Python 3.11."""
    build = tmp_path_factory.mktemp("minor11")
    configure = [
        _tool("cmake"), "-S", str(ROOT), "-B", str(build), "-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={_tool('ninja')}",
        f"-DPython_EXECUTABLE={sys.executable}", "-DUPDATER_FAKE_COMPILE_MINOR=11",
    ]
    for command in (configure, [_tool("cmake"), "--build", str(build)]):
        done = subprocess.run(command, capture_output=True, text=True)
        assert done.returncode == 0, f"{' '.join(command)}\n{done.stdout}\n{done.stderr}"
    return build


VERSION_WARNING = "compile time Python version 3.11 of module 'updater' does not match runtime version 3.12"


@pytest.mark.timeout(900)
@pytest.mark.parametrize("as_error", [False, True])
def test_version_check(run_scenario, other_minor_build, as_error):
    outcome = run_scenario(
        """
        import sys, warnings
        from support.frame_helpers import entries, failure
        exc = failure(__import__, "updater") if sys.warnoptions else None
        first = exc and [type(exc).__name__, str(exc), entries(exc), "updater" in sys.modules]
        warnings.resetwarnings()
        import updater
        emit({"first": first, "file": updater.__file__, "loaded": "UpdaterGUI" in vars(updater)})
        """,
        env={
            "PYTHONPATH": os.pathsep.join([str(ROOT / "tests"), str(other_minor_build)]),
            "PYTHONWARNINGS": "error::RuntimeWarning" if as_error else None,
        },
    )
    assert outcome.returncode == 0, outcome
    result = outcome.result
    assert Path(result["file"]).parent == other_minor_build
    assert result["loaded"]
    assert result["first"] == (["RuntimeWarning", VERSION_WARNING, [], False] if as_error else None)
    assert f"RuntimeWarning: {VERSION_WARNING}" in outcome.stderr


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads the ELF dynamic symbol table")
def test_only_the_entry_point_is_exported():
    nm = _tool("nm")
    listing = subprocess.run([nm, "-D", "--defined-only", module_path()], capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in listing.stdout.splitlines() if line.strip()] == ["PyInit_updater"]


def test_failed_load_under_another_name_leaves_no_updater_entry(run_scenario):
    # The exec step adds "updater" to sys.modules for a module loaded under
    # another name; when its body fails, a later `import updater` must start
    # afresh rather than find the half-built module.
    outcome = run_scenario(
        """
        import importlib.util, sys
        from support.frame_helpers import block, failure, module_path, unblock
        blocker = block("shutil")
        spec = importlib.util.spec_from_file_location("pkg.updater", module_path())
        half = importlib.util.module_from_spec(spec)
        exc = failure(spec.loader.exec_module, half)
        left = "updater" in sys.modules
        unblock(blocker)
        import updater
        emit([type(exc).__name__, left, updater is half, "UpdaterGUI" in vars(updater)])
        """
    )
    assert outcome.returncode == 0, outcome
    assert outcome.result == ["ModuleNotFoundError", False, False, True]
