"""Stand-ins that the engine tests bind over the updater's module globals.

The module looks every global up at the moment of use, so binding, say,
``updater.sys`` to a `fake_sys` object changes what the next call sees and
nothing else in the process.
"""

from __future__ import annotations

import os
import types
import urllib.error
import urllib.parse
import urllib.request

_MISSING = object()
STANDIN_URL = "https://updates.invalid/brivex/latest/main/BrivexLauncher.exe"


def fake_sys(*, frozen=_MISSING, executable=_MISSING, meipass=_MISSING) -> types.ModuleType:
    """A `sys` stand-in carrying only the attributes given (absent ones raise)."""
    module = types.ModuleType("sys")
    for name, value in (("frozen", frozen), ("executable", executable), ("_MEIPASS", meipass)):
        if value is not _MISSING:
            setattr(module, name, value)
    return module


def install_frozen(updater, monkeypatch, exe_dir) -> str:
    """Make `exe_dir` the launcher's directory, as a frozen build inside it would.

    Returns the directory as text.  Every test that downloads or swaps uses
    this, so nothing is ever written next to the built module.
    """
    exe_dir = os.fspath(exe_dir)
    os.makedirs(exe_dir, exist_ok=True)
    monkeypatch.setattr(
        updater, "sys",
        fake_sys(frozen=True, executable=os.path.join(exe_dir, "updater.exe"), meipass="/nonexistent/_MEI"),
    )
    return exe_dir


class ScriptedClock:
    """A `time` stand-in whose ``time()`` returns the given values in order."""

    def __init__(self, *values: float):
        self._values = list(values)
        self.calls = 0

    def time(self) -> float:
        self.calls += 1
        if not self._values:
            raise AssertionError(f"clock read more often than scripted ({self.calls} reads)")
        return self._values.pop(0)

    @property
    def unused(self) -> int:
        return len(self._values)


class RecordingPopen:
    """A `subprocess` stand-in whose ``Popen`` records its calls (or raises)."""

    def __init__(self, error: BaseException | None = None):
        self.error = error
        self.calls: list[tuple[tuple, dict]] = []

    def Popen(self, *args, **kwargs):  # noqa: N802 - mirrors subprocess.Popen
        self.calls.append((args, kwargs))
        if self.error is not None:
            raise self.error
        return object()


class FakeResponse:
    """An HTTP response stand-in: scripted blocks (an exception in the list is
    raised by that read), optional Content-Length, and the address it came
    from (`url`; None leaves the attribute out).

    ``events`` is shared with the caller so the order of reads, closes and
    reports can be checked across objects.
    """

    def __init__(self, blocks, length=None, events=None, on_exit=None, url=STANDIN_URL):
        self._blocks = list(blocks)
        if url is not None:
            self.url = url
        self.headers = {} if length is None else {"Content-Length": length}
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


class ShortTimeout:
    """The real `urllib` with a shorter time-out: ``urlopen`` is handed the
    real request after checking that the module asked for its 60 seconds (a
    different value is a failed download, which the tests would see)."""

    def __init__(self, seconds: float):
        def urlopen(req, *, timeout):
            if timeout != 60:
                raise AssertionError(f"urlopen asked for a {timeout!r} s time-out")
            return urllib.request.urlopen(req, timeout=seconds)

        self.request = types.SimpleNamespace(Request=urllib.request.Request, urlopen=urlopen)
        self.error = urllib.error
        self.parse = urllib.parse


class RecordingUrllib:
    """A `urllib` stand-in: the real ``Request``, ``error`` and ``parse``, a recording ``urlopen``."""

    def __init__(self, response: FakeResponse | None = None, raises: BaseException | None = None):
        self.response = response
        self.raises = raises
        self.calls: list[tuple[tuple, dict]] = []
        self.request = types.SimpleNamespace(Request=urllib.request.Request, urlopen=self._urlopen)
        self.error = urllib.error
        self.parse = urllib.parse

    def _urlopen(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.raises is not None:
            raise self.raises
        return self.response
