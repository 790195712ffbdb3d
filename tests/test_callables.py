"""The module's function objects and the class UpdaterGUI: attributes, code
objects, binding, signatures, argument errors and their traceback entries."""

from __future__ import annotations

import copy
import inspect
import pickle
import sys
import traceback
import types

import pytest

from support.faketk import quiet_root
from support.frame_helpers import entries, failure, vectorcall

# name, qualified name, parameters, definition line; the traceback name is
# "updater." + the qualified name
TOP_LEVEL = [
    ("get_resource_path", "get_resource_path", ("relative_path",), 18),
    ("get_exe_dir", "get_exe_dir", (), 39),
    ("download_new_exe_with_progress", "download_new_exe_with_progress", ("progress_callback",), 44),
    ("replace_and_run", "replace_and_run", ("new_exe",), 78),
    ("__init__", "UpdaterGUI.__init__", ("self",), 98),
    ("_run_update", "UpdaterGUI._run_update", ("self",), 136),
    ("_complete_update", "UpdaterGUI._complete_update", ("self", "new_exe"), 154),
    ("_on_close", "UpdaterGUI._on_close", ("self",), 162),
    ("console_update", "UpdaterGUI.console_update", ("self",), 165),
]
LINES = {qualname: line for _, qualname, _, line in TOP_LEVEL}
METHODS = [row for row in TOP_LEVEL if row[1].startswith("UpdaterGUI.")]


def resolve(updater, path: str):
    """`updater.<path>`; a leading "inst." reads the rest through a bare instance."""
    if path.startswith("inst."):
        return getattr(object.__new__(updater.UpdaterGUI), path[5:])
    obj = updater
    for part in path.split("."):
        obj = getattr(obj, part)
    return obj


def runtime_text(*pieces: str) -> str:
    """A keyword name built at run time, so that it is not the interned string."""
    text = "".join(pieces)
    assert sys.intern(text) is not text
    return text


def check_attributes(fn, updater, name, qualname, params, line):
    code = fn.__code__
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (name, qualname, "updater")
    assert (fn.__doc__, fn.__defaults__, fn.__kwdefaults__) == (None, None, None)
    assert fn.__globals__ is vars(updater)
    assert (code.co_filename, code.co_name, code.co_qualname) == ("updater.py", name, qualname)
    assert code.co_firstlineno == line
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (len(params), 0, 0)
    assert code.co_varnames[: len(params)] == params and code.co_nlocals == len(code.co_varnames)
    assert not code.co_flags & (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS)
    signature = inspect.signature(fn)
    assert tuple(signature.parameters) == params
    assert all(
        p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in signature.parameters.values()
    )


@pytest.mark.parametrize("name, qualname, params, line", TOP_LEVEL, ids=[row[1] for row in TOP_LEVEL])
def test_function_attributes(updater_module, name, qualname, params, line):
    check_attributes(resolve(updater_module, qualname), updater_module, name, qualname, params, line)


# -- the class ------------------------------------------------------------------


def test_class_shape(updater_module):
    cls = updater_module.UpdaterGUI

    class UpdaterGUI:  # the same class written in Python, as a reference for the namespace
        WIDTH = 400
        HEIGHT = 200

        def __init__(self): ...
        def _run_update(self): ...
        def _complete_update(self, new_exe): ...
        def _on_close(self): ...
        def console_update(self): ...

    assert type(cls) is type and cls.__bases__ == (object,) and cls.__mro__ == (cls, object)
    assert (cls.__name__, cls.__qualname__, cls.__module__) == ("UpdaterGUI", "UpdaterGUI", "updater")
    assert cls.__doc__ is None
    assert list(vars(cls)) == list(vars(UpdaterGUI))
    assert str(inspect.signature(cls)) == "()"


def test_window_size(updater_module):
    cls = updater_module.UpdaterGUI
    instance = object.__new__(cls)
    assert [type(v) for v in (cls.WIDTH, cls.HEIGHT)] == [int, int]
    assert (cls.WIDTH, cls.HEIGHT, instance.WIDTH, instance.HEIGHT) == (400, 200, 400, 200)
    assert not {"WIDTH", "HEIGHT"} & set(vars(updater_module))


@pytest.mark.parametrize("name, params", [(row[0], row[2]) for row in METHODS])
def test_methods_bind_through_an_instance(updater_module, name, params):
    cls = updater_module.UpdaterGUI
    function = vars(cls)[name]
    instance = object.__new__(cls)
    bound = getattr(instance, name)
    assert getattr(cls, name) is function
    assert isinstance(bound, types.MethodType) and bound.__func__ is function and bound.__self__ is instance
    assert tuple(inspect.signature(bound).parameters) == params[1:]


# -- argument errors --------------------------------------------------------------


def takes(name, n, given):
    return f"{name}() takes exactly {n} positional argument{'' if n == 1 else 's'} ({given} given)"


INSTANCE = object()
ARGUMENT_ERRORS = [
    # callable, positional, keywords, message, traceback entry line (None: no entry)
    ("get_resource_path", (), {}, takes("get_resource_path", 1, 0), 18),
    ("get_resource_path", ("a", "b"), {}, takes("get_resource_path", 1, 2), 18),
    ("get_resource_path", ("a", "b"), {"relative_path": "c"}, takes("get_resource_path", 1, 2), 18),
    ("get_resource_path", (), {"relative_path": "a", "extra": 1},
     "get_resource_path() got an unexpected keyword argument 'extra'", 18),
    ("download_new_exe_with_progress", (), {}, takes("download_new_exe_with_progress", 1, 0), 44),
    ("download_new_exe_with_progress", (), {"callback": print},
     "download_new_exe_with_progress() got an unexpected keyword argument 'callback'", 44),
    ("replace_and_run", ("a",), {"new_exe": "b"},
     "replace_and_run() got multiple values for keyword argument 'new_exe'", 78),
    ("replace_and_run", ("a", "b"), {}, takes("replace_and_run", 1, 2), 78),
    ("UpdaterGUI.__init__", (), {}, takes("__init__", 1, 0), 98),
    ("UpdaterGUI", (1,), {}, takes("__init__", 1, 2), 98),
    ("UpdaterGUI", (), {"x": 1}, "__init__() got an unexpected keyword argument 'x'", 98),
    ("UpdaterGUI._run_update", (), {}, takes("_run_update", 1, 0), 136),
    ("inst._run_update", (1,), {}, takes("_run_update", 1, 2), 136),
    ("UpdaterGUI._complete_update", (INSTANCE,), {}, takes("_complete_update", 2, 1), 154),
    ("inst._complete_update", (), {}, takes("_complete_update", 2, 1), 154),
    ("inst._complete_update", ("a", "b"), {}, takes("_complete_update", 2, 3), 154),
    # after the keywords: the count of leading parameters that have a value
    ("UpdaterGUI._complete_update", (), {"new_exe": "a"}, takes("_complete_update", 2, 0), 154),
    ("UpdaterGUI._complete_update", (), {"self": INSTANCE}, takes("_complete_update", 2, 1), 154),
    # keywords are matched before the missing-value check
    ("UpdaterGUI._complete_update", (), {"nope": 1},
     "_complete_update() got an unexpected keyword argument 'nope'", 154),
    ("UpdaterGUI._complete_update", (INSTANCE, "a"), {"self": INSTANCE},
     "_complete_update() got multiple values for keyword argument 'self'", 154),
    ("UpdaterGUI._on_close", (1, 2), {}, takes("_on_close", 1, 2), 162),
    ("UpdaterGUI.console_update", (), {}, takes("console_update", 1, 0), 165),
    ("inst.console_update", (1,), {"self": 2}, takes("console_update", 1, 2), 165),
    ("get_exe_dir", (1,), {}, "get_exe_dir() takes no arguments (1 given)", None),
    ("get_exe_dir", (1, 2), {}, "get_exe_dir() takes no arguments (2 given)", None),
    ("get_exe_dir", (), {"x": 1}, "get_exe_dir() takes no keyword arguments", None),
    ("get_exe_dir", (1,), {"x": 1}, "get_exe_dir() takes no keyword arguments", None),
]


def expected_entries(path, line):
    if line is None:
        return []
    qualname = "UpdaterGUI.__init__" if path == "UpdaterGUI" else path.replace("inst.", "UpdaterGUI.")
    return [(f"updater.{qualname}", line)]


@pytest.mark.parametrize(
    "path, args, kwargs, message, line", ARGUMENT_ERRORS, ids=[f"{row[0]}-{i}" for i, row in enumerate(ARGUMENT_ERRORS)]
)
def test_argument_errors(updater_module, path, args, kwargs, message, line):
    exc = failure(resolve(updater_module, path), *args, **kwargs)
    assert type(exc) is TypeError and str(exc) == message
    assert entries(exc) == expected_entries(path, line)


def test_entry_frame_has_the_module_globals(updater_module):
    tb = failure(updater_module.replace_and_run).__traceback__
    while tb.tb_next:
        tb = tb.tb_next
    assert tb.tb_frame.f_globals is vars(updater_module)
    assert tb.tb_frame.f_code.co_filename == "updater.py"


def test_entry_follows_the_callers_frame(updater_module):
    def caller():
        updater_module.replace_and_run()

    exc = failure(caller)
    names = [(fs.name, fs.lineno) for fs in traceback.extract_tb(exc.__traceback__)]
    assert names[-2:] == [("caller", caller.__code__.co_firstlineno + 1), ("updater.replace_and_run", 78)]


def test_no_memory_for_an_entry_leaves_it_out(embed_host):
    # The first failure of get_resource_path needs a new entry; the table of
    # entries cannot grow: the exception goes on without it, and the process
    # too.  (replace_and_run fails first, so that the table itself exists.)
    done = embed_host("""
        import ctypes
        import updater
        from support.frame_helpers import entries, failure
        failure(updater.replace_and_run)
        ctypes.CDLL(None).fail_next_new()
        short = failure(updater.get_resource_path)
        print(type(short).__name__, entries(short), entries(failure(updater.get_resource_path)))
    """)
    assert (done.returncode, done.stderr) == (0, ""), done
    assert done.stdout == "TypeError [] [('updater.get_resource_path', 18)]\n"


# Keyword names are matched by text, not only by identity.
@pytest.mark.parametrize("via", ["mapping", "vectorcall"])
@pytest.mark.parametrize(
    "path, args, keyword, message",
    [
        ("replace_and_run", ("a",), ("new", "_exe"),
         "replace_and_run() got multiple values for keyword argument 'new_exe'"),
        ("UpdaterGUI._complete_update", (), ("new", "_exe"), takes("_complete_update", 2, 0)),
        ("UpdaterGUI._complete_update", (), ("se", "lf"), takes("_complete_update", 2, 1)),
    ],
)
def test_keywords_built_at_run_time(updater_module, via, path, args, keyword, message):
    fn = resolve(updater_module, path)
    key = runtime_text(*keyword)
    if via == "mapping":
        exc = failure(fn, *args, **{key: INSTANCE})
    else:
        exc = failure(vectorcall, fn, (*args, INSTANCE), (key,))
    assert (type(exc), str(exc)) == (TypeError, message)
    assert entries(exc) == expected_entries(path, LINES[path])


def test_keyword_call_is_accepted_like_the_positional_one(updater_module):
    fn = updater_module.get_resource_path

    def outcome(*args, **kwargs):
        try:
            return "returned", fn(*args, **kwargs)
        except Exception as exc:  # noqa: BLE001 - compared, whatever the body does
            return type(exc).__name__, str(exc)

    positional = outcome("icon.ico")
    assert positional[0] != "TypeError"
    assert outcome(relative_path="icon.ico") == positional
    assert outcome(**{runtime_text("relative", "_path"): "icon.ico"}) == positional


@pytest.mark.parametrize(
    "path, args, kwnames, message, line",
    [
        ("get_resource_path", (1,), (1,), "get_resource_path() keywords must be strings", 18),
        ("replace_and_run", ("a", "b"), ("new_exe", b"x"), "replace_and_run() keywords must be strings", 78),
        # the positional count is checked first
        ("get_resource_path", ("a", "b", 1), (1,), takes("get_resource_path", 1, 2), 18),
        ("get_exe_dir", (1,), (1,), "get_exe_dir() takes no keyword arguments", None),
    ],
)
def test_non_text_keywords_through_vectorcall(updater_module, path, args, kwnames, message, line):
    exc = failure(vectorcall, resolve(updater_module, path), args, kwnames)
    assert (type(exc), str(exc)) == (TypeError, message)
    assert entries(exc) == expected_entries(path, line)


@pytest.mark.parametrize("path", ["get_resource_path", "get_exe_dir", "inst.console_update"])
def test_non_text_keywords_in_a_mapping(updater_module, path):
    fn = resolve(updater_module, path)
    exc = failure(lambda: fn(**{1: 2}))
    assert (type(exc), str(exc)) == (TypeError, "keywords must be strings")


# -- nested functions ---------------------------------------------------------------
#
# They exist only while the methods run: each is caught by rebinding the module
# global that its method hands it to, with a stand-in window whose `after`
# records the requests it is given.

RUN_UPDATE_CALLBACK = ("progress_callback", "UpdaterGUI._run_update.<locals>.progress_callback", 137)
CONSOLE_CALLBACK = ("progress_callback", "UpdaterGUI.console_update.<locals>.progress_callback", 167)
REPORT = ("percent", "speed_kb", "known_size", "downloaded_bytes")
CALLBACK_TRACEBACK = {
    137: "updater.UpdaterGUI._run_update.progress_callback",
    167: "updater.UpdaterGUI.console_update.progress_callback",
}
INNER = "UpdaterGUI._run_update.<locals>.progress_callback.<locals>.<lambda>"
OUTER = "UpdaterGUI._run_update.<locals>.<lambda>"
LAMBDAS = {139: INNER, 140: INNER, 143: INNER, 145: INNER, 147: INNER, 151: OUTER, 152: OUTER}


class Stop(BaseException):
    """Ends a method at the rebound call; no handler of the module catches it."""


@pytest.fixture(scope="module")
def nested(updater_module):
    """The nested functions by definition line."""
    found = {}
    saved = updater_module.download_new_exe_with_progress
    window = quiet_root()

    def console_download(callback):
        found[167] = callback
        raise Stop

    def worker_download(callback):
        found[137] = callback
        for report in [(-1, 0, False, 0), (50.0, 1.5, True, 65536), (0, 0, False, 1024)]:
            callback(*report)
        return "new.exe"

    instance = object.__new__(updater_module.UpdaterGUI)
    instance.root = window
    try:
        for download, method in [(console_download, "console_update"), (worker_download, "_run_update")]:
            updater_module.download_new_exe_with_progress = download
            try:
                getattr(instance, method)()
            except Stop:
                pass
    finally:
        updater_module.download_new_exe_with_progress = saved
    for _ms, fn, _args in window.kit.requests:
        if type(fn) is type(saved):
            found[fn.__code__.co_firstlineno] = fn
    return found


def nested_at(nested, line):
    assert line in nested, f"no function of line {line} was made: found {sorted(nested)}"
    return nested[line]


@pytest.mark.parametrize("name, qualname, line", [RUN_UPDATE_CALLBACK, CONSOLE_CALLBACK])
def test_progress_callbacks(updater_module, nested, name, qualname, line):
    callback = nested_at(nested, line)
    check_attributes(callback, updater_module, name, qualname, REPORT, line)
    entry = [(CALLBACK_TRACEBACK[line], line)]
    for args, kwargs, given in [((1, 2, 3), {}, 3), ((1,), {"speed_kb": 2, "downloaded_bytes": 4}, 2),
                                ((), {"speed_kb": 2, "known_size": 3, "downloaded_bytes": 4}, 0)]:
        exc = failure(callback, *args, **kwargs)
        assert (type(exc), str(exc), entries(exc)) == (TypeError, takes(name, 4, given), entry)
    exc = failure(callback, 1, 2, 3, 4, percent=1)
    assert str(exc) == "progress_callback() got multiple values for keyword argument 'percent'"


@pytest.mark.parametrize("line", sorted(LAMBDAS))
def test_lambdas(updater_module, nested, line):
    fn = nested_at(nested, line)
    check_attributes(fn, updater_module, "<lambda>", LAMBDAS[line], (), line)
    for args, kwargs, message in [((1,), {}, "<lambda>() takes no arguments (1 given)"),
                                  ((), {"x": 1}, "<lambda>() takes no keyword arguments")]:
        exc = failure(fn, *args, **kwargs)
        assert (type(exc), str(exc), entries(exc)) == (TypeError, message, [])


# -- what people do to functions ----------------------------------------------------


@pytest.mark.parametrize("qualname", [row[1] for row in TOP_LEVEL])
def test_copy_and_pickle_keep_the_function(updater_module, qualname):
    fn = resolve(updater_module, qualname)
    assert copy.copy(fn) is fn and copy.deepcopy([fn])[0] is fn
    for dumps in [pickle.dumps, pickle._dumps]:  # the C pickler and the Python one
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            assert pickle.loads(dumps(fn, protocol)) is fn, (dumps, protocol)


@pytest.mark.parametrize("line", [RUN_UPDATE_CALLBACK[2], CONSOLE_CALLBACK[2], *sorted(LAMBDAS)])
def test_nested_functions_copy_but_refuse_to_pickle(nested, line):
    fn = nested_at(nested, line)
    assert copy.copy(fn) is fn and copy.deepcopy([fn])[0] is fn
    with pytest.raises(AttributeError) as info:
        pickle.dumps(fn)

    # Exactly what the pickler says for a Python local function of that name
    # (its wording differs between 3.12 releases).
    def local():
        pass

    local.__module__, local.__qualname__ = fn.__module__, fn.__qualname__
    with pytest.raises(AttributeError) as python:
        pickle.dumps(local)
    assert str(info.value) == str(python.value)
    assert fn.__qualname__ in str(info.value)


@pytest.mark.parametrize("attribute", ["__doc__", "__module__"])
def test_deleted_doc_and_module_read_as_none(nested, attribute):
    fn = nested_at(nested, 167)
    saved = getattr(fn, attribute)
    try:
        delattr(fn, attribute)
        assert getattr(fn, attribute) is None
        setattr(fn, attribute, 5)  # any value, as on a Python function
        assert getattr(fn, attribute) == 5
    finally:
        setattr(fn, attribute, saved)
