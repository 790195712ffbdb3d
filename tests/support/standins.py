"""Stand-ins that the tests bind over the updater's module globals.

The module looks every global up at the moment of use, so binding, say,
``updater.sys`` to a `fake_sys` module changes what the next call sees and
nothing else in the process.

* ``sys``          `fake_sys` (`Raises` for an attribute whose reading fails),
                   `install_frozen`
* ``urllib``       `Urllib`, serving `Response` objects
* ``subprocess``   `Subprocess`, whose ``Popen`` starts nothing
* ``time``         `ScriptedClock`, which also notes its sleeps
* ``os``           `RecordingOs`: the order of syncs, renames and removals
* the download     `ScriptedDownload`, for the window and console tests
* anything         `Poison` values and `poisoned` modules raise `Marker` at
                   first use

`Urllib` and `Subprocess` record their calls in ``calls`` and raise the error
they were given as it is.  With ``record=False``, for loops of thousands of
calls (the reference-leak tests), they keep nothing of a call: no record, and
a fresh copy of the error each time, since raising one instance again and
again grows its traceback.

The toolkit stand-in is `support.faketk`, the Windows ``os`` `support.winos`.
"""

from __future__ import annotations

import os
import subprocess
import time
import types
import urllib.error
import urllib.parse
import urllib.request

_MISSING = object()
STANDIN_URL = "https://updates.invalid/brivex/latest/main/BrivexLauncher.exe"


def fresh(exc: BaseException) -> BaseException:
    """A new exception like `exc`."""
    return type(exc)(*exc.args)


# -- sys ------------------------------------------------------------------------------


class Raises:
    """A `fake_sys` attribute whose reading raises `error`."""

    def __init__(self, error: BaseException):
        self.error = error


class _Sys(types.ModuleType):
    def __getattribute__(self, name):
        value = super().__getattribute__(name)
        if isinstance(value, Raises):
            raise value.error
        return value


def fake_sys(*, frozen=_MISSING, executable=_MISSING, meipass=_MISSING, exit=_MISSING) -> types.ModuleType:
    """A `sys` stand-in carrying only the attributes given (absent ones raise
    AttributeError, `Raises` ones their error)."""
    module = _Sys("sys")
    for name, value in (("frozen", frozen), ("executable", executable), ("_MEIPASS", meipass), ("exit", exit)):
        if value is not _MISSING:
            setattr(module, name, value)
    return module


def install_frozen(updater, monkeypatch, exe_dir, meipass: str | None = "/nonexistent/_MEI") -> str:
    """Make `exe_dir` the launcher's directory, as a frozen build inside it
    would: a one-file build unpacked to `meipass`, or without one for None.

    Returns the directory as text.  Every test that downloads or swaps uses
    this, so nothing is ever written next to the built module.
    """
    exe_dir = os.fspath(exe_dir)
    os.makedirs(exe_dir, exist_ok=True)
    monkeypatch.setattr(
        updater, "sys",
        fake_sys(frozen=True, executable=os.path.join(exe_dir, "updater.exe"),
                 meipass=_MISSING if meipass is None else meipass),
    )
    return exe_dir


# -- urllib ---------------------------------------------------------------------------


class Response:
    """An HTTP response stand-in: scripted blocks (an exception in the list is
    raised by that read), optional Content-Length, and the address it came
    from (`url`; None leaves the attribute out).

    ``reads`` holds the amounts asked for.  ``events`` is shared with the
    caller so the order of reads, closes and reports can be checked across
    objects; `on_exit` runs on leaving the ``with``.
    """

    def __init__(self, blocks, length=None, events=None, on_exit=None, url=STANDIN_URL):
        self._blocks = list(blocks)
        if url is not None:
            self.url = url
        self.headers = {} if length is None else {"Content-Length": str(length)}
        self.reads: list = []
        self.exit_args = None
        self.events = events if events is not None else []
        self._on_exit = on_exit

    def __enter__(self):
        self.events.append("enter")
        return self

    def __exit__(self, *exc_info):
        self.exit_args = exc_info
        self.events.append("response closed")
        if self._on_exit is not None:
            self._on_exit()
        return False

    def read(self, amount=None):
        self.reads.append(amount)
        block = self._blocks.pop(0) if self._blocks else b""
        if isinstance(block, BaseException):
            raise block
        return block


class Urllib:
    """A `urllib` stand-in: the real ``Request``, ``error`` and ``parse``, and an
    ``urlopen`` that records its calls, then

    * raises `raises`, or
    * hands the request to `opener`; with `timeout`, after checking that the
      module asked for its 60 seconds, with this (shorter) one instead (a
      different value is a failed download, which the tests would see), or
    * returns `response`, or else a new `Response` serving `blocks` (copies of
      the exceptions among them) with Content-Length `length`.
    """

    def __init__(self, response: Response | None = None, *, blocks=(b"x" * 1000,), length=1000,
                 raises: BaseException | None = None, opener=None, timeout: float | None = None,
                 record: bool = True):
        self.response = response
        self.blocks = blocks
        self.length = length
        self.raises = raises
        self.opener = opener
        self.timeout = timeout
        self.record = record
        self.calls: list[tuple[tuple, dict]] = []
        self.request = types.SimpleNamespace(Request=urllib.request.Request, urlopen=self._urlopen)
        self.error = urllib.error
        self.parse = urllib.parse

    def _urlopen(self, *args, **kwargs):
        if self.record:
            self.calls.append((args, kwargs))
        if self.raises is not None:
            raise self.raises if self.record else fresh(self.raises)
        if self.opener is not None:
            if self.timeout is not None:
                if kwargs.get("timeout") != 60:
                    raise AssertionError(f"urlopen asked for a {kwargs.get('timeout')!r} s time-out")
                kwargs = {**kwargs, "timeout": self.timeout}
            return self.opener(*args, **kwargs)
        if self.response is not None:
            return self.response
        blocks = [fresh(b) if isinstance(b, BaseException) else b for b in self.blocks]
        return Response(blocks, self.length)


# -- os ---------------------------------------------------------------------------------


class RecordingOs:
    """An `os` stand-in over the real one, or over `base` (a winos.WindowsOS,
    whose ``name`` it then shows too), that appends to `events`, in order, the
    calls that put files on the disk: ("open", path) and ("close", path) of a
    descriptor it opens, ("fsync", what), ("replace" or "rename", src, dst),
    ("remove", path).  `what` is a descriptor's path, or for the download's
    (opened by the built-in open) its file's size on disk then: whether the
    buffered writes had reached the system.  A call named in `errors` raises
    that error once recorded, instead of being made (``close`` is made).
    Shutil reaches it through support.winos.shutil_for.
    """

    def __init__(self, base=None, *, events: list | None = None, errors: dict | None = None):
        self._base = base if base is not None else os
        self.events = events if events is not None else []
        self.errors = errors or {}
        self._fds: dict[int, str | None] = {}  # descriptors seen: their paths, if opened here

    def __getattr__(self, name):
        return getattr(self._base, name)

    def _note(self, name, *args):
        self.events.append((name, *args))
        if name in self.errors:
            raise self.errors[name]

    def open(self, path, flags, *args, **kwargs):
        self._note("open", path)
        fd = self._base.open(path, flags, *args, **kwargs)
        self._fds[fd] = path
        return fd

    def fsync(self, fd):
        self._note("fsync", self._fds.setdefault(fd, None) or os.fstat(fd).st_size)
        os.fsync(fd)

    def close(self, fd):
        self._base.close(fd)
        self._note("close", self._fds.pop(fd))

    def replace(self, src, dst):
        self._note("replace", src, dst)
        self._base.replace(src, dst)

    def rename(self, src, dst):
        self._note("rename", src, dst)
        self._base.rename(src, dst)

    def remove(self, path):
        self._note("remove", path)
        self._base.remove(path)

    def open_descriptors(self) -> list[int]:
        """The descriptors it has seen that are still open."""
        return [fd for fd in self._fds if _is_open(fd)]


def _is_open(fd: int) -> bool:
    try:
        os.fstat(fd)
    except OSError:
        return False
    return True


# -- subprocess, time, the download -------------------------------------------------------


class Subprocess:
    """A `subprocess` stand-in whose ``Popen`` records its calls and starts
    nothing (or raises `error`).  With `events`, each call is also appended
    there as ("Popen", *args), in order with another stand-in's events.  Its
    process runs on when waited for; with `real`, it is a real one."""

    def __init__(self, error: BaseException | None = None, *, record: bool = True, events: list | None = None,
                 real: bool = False):
        self.TimeoutExpired, self.real = subprocess.TimeoutExpired, real
        self.error = error
        self.record = record
        self.events = events
        self.calls: list[tuple[tuple, dict]] = []
        self.waits: list[float] = []  # the time-outs of its process's waits

    def Popen(self, *args, **kwargs):  # noqa: N802 - mirrors subprocess.Popen
        if self.record:
            self.calls.append((args, kwargs))
        if self.events is not None:
            self.events.append(("Popen", *args))
        if self.error is not None:
            raise self.error if self.record else fresh(self.error)
        return subprocess.Popen(*args, **kwargs) if self.real else types.SimpleNamespace(wait=self._wait)

    def _wait(self, timeout=None):
        if self.record:
            self.waits.append(timeout)
        raise subprocess.TimeoutExpired("BrivexLauncher.exe", timeout)


class ScriptedClock:
    """A `time` stand-in whose ``time()`` returns the given values in order,
    and whose ``sleep()`` notes each pause in ``slept`` (pausing for real only
    with `pause`); its sleep number `interrupt` (from 0) is cut by Ctrl+C."""

    def __init__(self, *values: float, pause: bool = True, interrupt: int | None = None):
        self._values = list(values)
        self._pause = pause
        self._interrupt = interrupt
        self.calls = 0
        self.slept: list[float] = []

    def time(self) -> float:
        self.calls += 1
        if not self._values:
            raise AssertionError(f"clock read more often than scripted ({self.calls} reads)")
        return self._values.pop(0)

    def sleep(self, seconds: float) -> None:
        self.slept.append(seconds)
        if len(self.slept) - 1 == self._interrupt:
            raise KeyboardInterrupt
        if self._pause:
            time.sleep(seconds)

    @property
    def unused(self) -> int:
        return len(self._values)


class ScriptedDownload:
    """Stands in for the download: feeds its callback scripted reports, then
    raises `raises` or returns `result`."""

    def __init__(self, reports=(), result=None, raises=None):
        self.reports = list(reports)
        self.result = result
        self.raises = raises
        self.callbacks = []

    def __call__(self, progress_callback):
        self.callbacks.append(progress_callback)
        for report in self.reports:
            progress_callback(*report)
        if self.raises is not None:
            raise self.raises
        return self.result


# -- poison -------------------------------------------------------------------------------


class Marker(BaseException):
    """Raised by every poisoned stand-in.  A BaseException: the bodies'
    ``except Exception`` handlers let it through untouched."""


class Poison:
    """A value whose every use (attribute, comparison, truth, format) raises Marker."""

    def __init__(self, label: str = "poison"):
        object.__setattr__(self, "_label", label)

    def __repr__(self) -> str:
        return f"<{self._label}>"

    def __getattr__(self, name):
        raise Marker(f"{self._label}.{name}")

    def __setattr__(self, name, value):
        raise Marker(f"{self._label}.{name} = ...")

    def __eq__(self, other):
        raise Marker(f"{self._label} == ...")

    def __ne__(self, other):
        raise Marker(f"{self._label} != ...")

    __hash__ = object.__hash__

    def __bool__(self):
        raise Marker(f"bool({self._label})")

    def __format__(self, spec):
        raise Marker(f"format({self._label})")

    def __str__(self):
        raise Marker(f"str({self._label})")


def poisoned(name: str) -> types.ModuleType:
    """A module stand-in whose every attribute raises Marker."""

    class PoisonedModule(types.ModuleType):
        def __getattribute__(self, attr):
            if attr in ("__class__", "__dict__", "__repr__", "__name__", "__spec__"):
                return object.__getattribute__(self, attr)
            raise Marker(f"{name}.{attr}")

    return PoisonedModule(name)
