"""Argument binding of every callable against a plain ``def``.

Random call shapes go to each callable of the module, through the class and
through an instance for the methods: positional values; keywords that name a
parameter, name none, or repeat a positional one; keys that are not text,
through the raw vectorcall protocol (PyObject_Vectorcall) or a ``**`` mapping;
and a keyword given twice, in two ``**`` mappings.  A call must be accepted
exactly when the same call of a plain ``def`` with the same parameters is, and
a rejected call must raise the module's own argument-error text (or, for the
mapping shapes that the interpreter refuses before any call, the
interpreter's).  The raw protocol never repeats a keyword name: its callers
promise unique names.

Accepted calls run the body, so the world the bodies reach is poisoned: the
module's ``sys``, ``TK_AVAILABLE``, ``messagebox`` and download are stand-ins,
and every argument value is a `Poison`, all of which raise `Marker` at first
use.  A body therefore stops at its first step, and "accepted" is seen as
`Marker`.
"""

from __future__ import annotations

import contextlib
import io
from dataclasses import dataclass

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from support.faketk import quiet_root
from support.frame_helpers import vectorcall
from support.standins import Marker, Poison, fake_sys, poisoned

# -- the model: what the module answers for a call shape ---------------------------


def count_error(name: str, params: tuple, given_count: int) -> str:
    n = len(params)
    return f"{name}() takes exactly {n} positional argument{'' if n == 1 else 's'} ({given_count} given)"


def expected_error(name: str, params: tuple, npos: int, keys: list) -> str | None:
    """The TypeError text for `npos` positional values and keywords `keys`
    (in order), or None when the call binds.  Positional count first, then each
    keyword in turn, then the first parameter left without a value."""
    n = len(params)
    if n == 0:
        if keys:
            return f"{name}() takes no keyword arguments"
        if npos:
            return f"{name}() takes no arguments ({npos} given)"
        return None
    if npos > n or (not keys and npos != n):
        return count_error(name, params, npos)
    filled = [i < npos for i in range(n)]
    for key in keys:
        if not isinstance(key, str):
            return f"{name}() keywords must be strings"
        if key in params[npos:]:
            filled[params.index(key)] = True
        elif key in params[:npos]:
            return f"{name}() got multiple values for keyword argument '{key}'"
        else:
            return f"{name}() got an unexpected keyword argument '{key}'"
    for i, has_value in enumerate(filled):
        if not has_value:
            return count_error(name, params, i)
    return None


# -- the callables --------------------------------------------------------------------


@dataclass(frozen=True)
class Target:
    label: str
    name: str        # the plain name in argument errors
    params: tuple
    fetch: str       # key into the callables fixture
    bound: bool = False  # read through an instance: self is already given

    def __str__(self) -> str:
        return self.label


PC = ("percent", "speed_kb", "known_size", "downloaded_bytes")
METHODS = [
    ("__init__", ("self",)),
    ("_run_update", ("self",)),
    ("_complete_update", ("self", "new_exe")),
    ("_on_close", ("self",)),
    ("console_update", ("self",)),
]
LAMBDAS = [139, 140, 143, 145, 147, 151, 152]

TARGETS = [
    Target("get_resource_path", "get_resource_path", ("relative_path",), "get_resource_path"),
    Target("get_exe_dir", "get_exe_dir", (), "get_exe_dir"),
    Target("download_new_exe_with_progress", "download_new_exe_with_progress", ("progress_callback",),
           "download_new_exe_with_progress"),
    Target("replace_and_run", "replace_and_run", ("new_exe",), "replace_and_run"),
    *[Target(f"UpdaterGUI.{m} (class)", m, p, f"class.{m}") for m, p in METHODS],
    *[Target(f"UpdaterGUI.{m} (instance)", m, p, f"instance.{m}", bound=True) for m, p in METHODS],
    Target("window progress_callback", "progress_callback", PC, "window progress_callback"),
    Target("console progress_callback", "progress_callback", PC, "console progress_callback"),
    *[Target(f"lambda line {line}", "<lambda>", (), f"lambda {line}") for line in LAMBDAS],
]


class CaptureSelf:
    """The self of a window update whose requests are captured: its root keeps
    them; everything else about it is poison."""

    def __init__(self):
        object.__setattr__(self, "root", quiet_root())

    def __getattr__(self, name):
        raise Marker(f"self.{name}")


@pytest.fixture(scope="module")
def callables(updater_module):
    """Every callable, nested ones included, with the module's world poisoned
    for the duration of the tests; restored afterwards."""
    u = updater_module
    missing = object()
    saved = {name: u.__dict__.get(name, missing) for name in ("sys", "TK_AVAILABLE", "messagebox",
                                                               "download_new_exe_with_progress")}
    found = {name: getattr(u, name) for name in ("get_resource_path", "get_exe_dir",
                                                 "download_new_exe_with_progress", "replace_and_run")}
    instance = u.UpdaterGUI.__new__(u.UpdaterGUI)
    for method, _ in METHODS:
        found[f"class.{method}"] = getattr(u.UpdaterGUI, method)
        found[f"instance.{method}"] = getattr(instance, method)

    made = []
    try:
        # A benign world first, to let one run of each kind hand out its
        # nested callables.
        u.sys = fake_sys(exit=lambda code: None)

        def console_download(callback):
            made.append(("console progress_callback", callback))
            return None

        u.download_new_exe_with_progress = console_download
        with contextlib.redirect_stdout(io.StringIO()):
            u.UpdaterGUI.__new__(u.UpdaterGUI).console_update()

        def window_download(callback):
            made.append(("window progress_callback", callback))
            for report in ((-1, 0, False, 0), (50.0, 1.0, True, 100), (50.0, 1.0, False, 100)):
                callback(*report)
            return "new.exe"

        u.download_new_exe_with_progress = window_download
        self = CaptureSelf()
        u.UpdaterGUI._run_update(self)
        for _ms, func, _args in self.root.kit.requests:
            if getattr(func, "__module__", None) == "updater" and func.__name__ == "<lambda>":
                made.append((f"lambda {func.__code__.co_firstlineno}", func))
        found.update(made)

        # Now everything a body reaches first raises Marker.
        def poisoned_download(callback):
            raise Marker("download")

        u.sys = poisoned("sys")
        u.TK_AVAILABLE = Poison("TK_AVAILABLE")
        u.messagebox = poisoned("messagebox")
        u.download_new_exe_with_progress = poisoned_download
        yield found
    finally:
        for name, value in saved.items():
            if value is missing:
                u.__dict__.pop(name, None)
            else:
                setattr(u, name, value)


def test_every_callable_is_reached(callables):
    assert {t.fetch for t in TARGETS} <= set(callables)
    assert len(TARGETS) == 4 + 2 * len(METHODS) + 2 + len(LAMBDAS)


# -- calling -----------------------------------------------------------------------------

ACCEPTED = "accepted"


def outcome(call) -> str:
    """ACCEPTED when the call bound (its body ran into Marker, or returned),
    else the TypeError's text."""
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            call()
    except Marker:
        return ACCEPTED
    except TypeError as exc:
        return str(exc)
    return ACCEPTED


class Accepted(Exception):
    pass


def reference_for(target: Target):
    """A plain def with the same parameters, read the same way (function or bound method)."""
    params = ", ".join(target.params)
    namespace = {"Accepted": Accepted}
    exec(f"def ref({params}):\n    raise Accepted\n", namespace)
    ref = namespace["ref"]
    if target.bound:
        holder = type("Holder", (), {"ref": ref})
        return holder().ref
    return ref


def reference_accepts(call) -> bool:
    try:
        call()
    except Accepted:
        return True
    except TypeError:
        return False
    raise AssertionError("the plain def returned")


EXTRA_NAMES = ["x", "callback", "Percent", "self_", "new_exe_"]
NON_TEXT = [7, b"new_exe", ("self",), None]


@st.composite
def call_shapes(draw, target: Target):
    """(mode, positional count, keyword keys) for `target`; the count includes
    the bound self of a method read through an instance."""
    params = list(target.params)
    names = st.sampled_from(params + EXTRA_NAMES) if params else st.sampled_from(EXTRA_NAMES)
    # the two modes the module itself answers, more often than the two that
    # the interpreter refuses before the call
    mode = draw(st.sampled_from(["python", "vectorcall"] * 4 + ["mapping", "merged"]))
    first = 1 if target.bound else 0
    npos = draw(st.integers(first, len(params) + 2))
    if mode == "vectorcall":
        keys = draw(st.lists(st.one_of(names, st.sampled_from(NON_TEXT)), max_size=len(params) + 2,
                             unique_by=lambda k: (type(k), k)))
    elif mode == "mapping":
        keys = draw(st.lists(names, max_size=len(params) + 1, unique=True))
        keys.insert(draw(st.integers(0, len(keys))), draw(st.sampled_from(NON_TEXT)))
    elif mode == "merged":
        keys = draw(st.lists(names, min_size=1, max_size=len(params) + 1, unique=True))
        keys.append(draw(st.sampled_from(keys)))
    else:
        keys = draw(st.lists(names, max_size=len(params) + 2, unique=True))
    return mode, npos, keys


def make_call(fn, mode: str, nargs: int, keys: list):
    """A thunk that calls `fn` with `nargs` positional poison values and `keys`."""
    positional = [Poison(f"arg{i}") for i in range(nargs)]
    values = [Poison(f"kw{i}") for i in range(len(keys))]
    if mode == "vectorcall":
        return lambda: vectorcall(fn, (*positional, *values), tuple(keys))
    if mode == "merged":
        # the last key repeats an earlier one, in a second mapping
        first = dict(zip(keys[:-1], values))
        second = {keys[-1]: values[-1]}
        return lambda: fn(*positional, **first, **second)
    mapping = dict(zip(keys, values))
    return lambda: fn(*positional, **mapping)


@pytest.mark.parametrize("target", TARGETS, ids=str)
@settings(max_examples=150, deadline=None, database=None)
@given(data=st.data())
def test_binding_matches_a_plain_def(callables, target, data):
    mode, npos, keys = data.draw(call_shapes(target))
    fn = callables[target.fetch]
    ref = reference_for(target)
    # The bound self counts among the positional values but is not passed again.
    nargs = npos - 1 if target.bound else npos

    got = outcome(make_call(fn, mode, nargs, keys))
    accepted = reference_accepts(make_call(ref, mode, nargs, keys))

    assert (got == ACCEPTED) == accepted, (mode, npos, keys, got)
    if mode == "mapping":
        # the interpreter refuses the mapping before any function is called
        assert got == "keywords must be strings"
    elif mode == "merged":
        assert "got multiple values for keyword argument" in got
    else:
        expected = expected_error(target.name, target.params, npos, keys)
        assert got == (ACCEPTED if expected is None else expected), (mode, npos, keys)


@pytest.mark.parametrize("target", TARGETS, ids=str)
def test_exact_call_runs_the_body(callables, target):
    """With exactly its parameters the call binds and the body starts."""
    fn = callables[target.fetch]
    nargs = len(target.params) - (1 if target.bound else 0)
    assert outcome(make_call(fn, "python", nargs, [])) == ACCEPTED
    if target.params:
        # and all of them by keyword
        keys = list(target.params[1:] if target.bound else target.params)
        assert outcome(make_call(fn, "python", 0, keys)) == ACCEPTED


def test_class_reads_give_the_plain_function(callables, updater_module):
    cls = updater_module.UpdaterGUI
    for method, _ in METHODS:
        assert callables[f"class.{method}"] is cls.__dict__[method]
        bound = callables[f"instance.{method}"]
        assert bound.__func__ is cls.__dict__[method]


ORDER_CASES = [
    # positional count before keywords
    ("get_resource_path", 2, ["x"], "get_resource_path() takes exactly 1 positional argument (2 given)"),
    ("class._complete_update", 3, [1], "_complete_update() takes exactly 2 positional arguments (3 given)"),
    # keywords before the check for missing values, each keyword in turn
    ("class._complete_update", 0, ["x"], "_complete_update() got an unexpected keyword argument 'x'"),
    ("console progress_callback", 1, ["percent", "zz"],
     "progress_callback() got multiple values for keyword argument 'percent'"),
    ("window progress_callback", 1, ["zz", "percent"],
     "progress_callback() got an unexpected keyword argument 'zz'"),
    ("window progress_callback", 1, [b"known_size", "percent"], "progress_callback() keywords must be strings"),
    ("instance._complete_update", 1, ["self"], "_complete_update() got multiple values for keyword argument 'self'"),
    # missing: the count of leading parameters that have a value
    ("console progress_callback", 1, ["known_size", "downloaded_bytes"],
     "progress_callback() takes exactly 4 positional arguments (1 given)"),
    ("window progress_callback", 1, ["speed_kb", "downloaded_bytes"],
     "progress_callback() takes exactly 4 positional arguments (2 given)"),
    ("console progress_callback", 0, ["speed_kb", "known_size", "downloaded_bytes"],
     "progress_callback() takes exactly 4 positional arguments (0 given)"),
    ("window progress_callback", 2, [], "progress_callback() takes exactly 4 positional arguments (2 given)"),
    ("class._complete_update", 0, ["new_exe"], "_complete_update() takes exactly 2 positional arguments (0 given)"),
    # without parameters: keywords first
    ("get_exe_dir", 2, ["x"], "get_exe_dir() takes no keyword arguments"),
    ("lambda 151", 1, [7], "<lambda>() takes no keyword arguments"),
    ("lambda 143", 2, [], "<lambda>() takes no arguments (2 given)"),
    # and calls that bind
    ("class._complete_update", 1, ["new_exe"], None),
    ("window progress_callback", 2, ["downloaded_bytes", "known_size"], None),
]


@pytest.mark.parametrize("fetch, npos, keys, message", ORDER_CASES)
def test_order_of_checks(callables, fetch, npos, keys, message):
    """Positional count first, then the keywords in order, then the first
    parameter without a value; the model agrees with each case."""
    target = next(t for t in TARGETS if t.fetch == fetch)
    assert expected_error(target.name, target.params, npos, keys) == message
    nargs = npos - 1 if target.bound else npos
    got = outcome(make_call(callables[fetch], "vectorcall", nargs, keys))
    assert got == (ACCEPTED if message is None else message)
