"""Helpers for the module-frame tests, used both by the tests and by the
scenario scripts they run in fresh interpreters."""

from __future__ import annotations

import ctypes
import importlib.util
import sys
import traceback

PYTHON_API_VERSION = 1013


def module_path() -> str:
    """The file of the built module, wherever this interpreter finds it."""
    found = importlib.util.find_spec("updater")
    if found is None or not found.origin:
        raise ImportError("the built module 'updater' is not on this interpreter's path")
    return found.origin


def entries(exc: BaseException) -> list[tuple[str, int]]:
    """The traceback entries the module added (file "updater.py"), outer first:
    (name, line) per entry."""
    return [(fs.name, fs.lineno) for fs in traceback.extract_tb(exc.__traceback__) if fs.filename == "updater.py"]


def failure(fn, *args, **kwargs) -> BaseException:
    """The exception that `fn(*args, **kwargs)` raises."""
    try:
        fn(*args, **kwargs)
    except BaseException as exc:  # noqa: BLE001 - KeyboardInterrupt and SystemExit are results here too
        return exc
    raise AssertionError(f"{fn!r} returned instead of raising")


class Blocker:
    """A meta-path finder that makes the named modules unimportable."""

    def __init__(self, names, error):
        self.names = set(names)
        self.error = error

    def find_spec(self, name, path=None, target=None):
        if name in self.names:
            if issubclass(self.error, ImportError):
                raise self.error(f"import of {name} blocked by the test", name=name)
            raise self.error(f"import of {name} blocked by the test")
        return None


def block(*names: str, error: type[BaseException] = ModuleNotFoundError) -> Blocker:
    """Make `names` (and their submodules, as far as loaded) unimportable."""
    for loaded in list(sys.modules):
        if any(loaded == n or loaded.startswith(n + ".") for n in names):
            del sys.modules[loaded]
    blocker = Blocker(names, error)
    sys.meta_path.insert(0, blocker)
    return blocker


def unblock(blocker: Blocker) -> None:
    sys.meta_path.remove(blocker)


class ModuleDefinition:
    """The module's definition, driven step by step the way the import system does."""

    def __init__(self, path: str | None = None):
        lib = ctypes.PyDLL(path or module_path())
        lib.PyInit_updater.restype = ctypes.c_void_p
        self.pointer = lib.PyInit_updater()
        api = ctypes.pythonapi
        self._create = api.PyModule_FromDefAndSpec2
        self._create.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
        self._create.restype = ctypes.py_object
        self._exec = api.PyModule_ExecDef
        self._exec.argtypes = [ctypes.py_object, ctypes.c_void_p]
        self._exec.restype = ctypes.c_int

    def create(self, spec):
        return self._create(self.pointer, spec, PYTHON_API_VERSION)

    def exec(self, module) -> int:
        return self._exec(module, self.pointer)


# A private prototype: ctypes.pythonapi hands every user the same function
# object, whose argtypes anyone may set to their own liking.  The names travel
# as a plain pointer so that "no keywords" can be NULL.
_vectorcall = ctypes.PYFUNCTYPE(
    ctypes.py_object, ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.c_void_p
)(("PyObject_Vectorcall", ctypes.pythonapi))


def vectorcall(fn, args: tuple, kwnames: tuple = ()):
    """Call `fn` through the raw vectorcall protocol: `args` holds the positional
    values followed by one value per entry of `kwnames` (empty: passed as NULL).
    The names are passed as they are, text or not, and never checked."""
    kwnames = tuple(kwnames)
    values = (ctypes.py_object * max(len(args), 1))(*args)
    return _vectorcall(fn, values, len(args) - len(kwnames), id(kwnames) if kwnames else None)
