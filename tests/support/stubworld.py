"""Stand-ins for everything the updater's callables reach, for tests that call
them in tight loops (reference leaks) or with arbitrary arguments (binding).

* `Marker` / `Poison` / `poisoned`: values and modules whose every use raises
  `Marker`, so a body that got past argument binding stops at its first step.
  `Marker` derives from BaseException: the bodies' ``except Exception``
  handlers let it through untouched.
* `FakeRoot`, `fake_tk`, `fake_ttk`, `FakeMessagebox`, `FakeThreading`: a toolkit
  without a display; the root's ``after`` keeps its requests or drops them.
* `ScriptedUrllib`: a ``urllib`` whose ``urlopen`` serves scripted blocks.
* `NullSubprocess`, `exe_sys`: a process starter that starts nothing and a
  ``sys`` that places the launcher's directory.
"""

from __future__ import annotations

import os
import sys
import types
import urllib.error
import urllib.parse
import urllib.request


class Marker(BaseException):
    """Raised by every poisoned stand-in."""


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


# -- toolkit --------------------------------------------------------------------


class FakeWidget:
    def __init__(self, *args, **kwargs):
        self.options = dict(kwargs)

    def pack(self, *args, **kwargs):
        pass

    def config(self, **kwargs):
        self.options.update(kwargs)

    configure = config


class FakeRoot(FakeWidget):
    """A root window: ``after`` keeps (keep=True) or drops its requests."""

    def __init__(self, *args, keep: bool = True, **kwargs):
        super().__init__(*args, **kwargs)
        self.keep = keep
        self.requests: list[tuple] = []
        self.destroyed = 0

    def after(self, ms, func, *args):
        if self.keep:
            self.requests.append((ms, func, args))
        return "after#1"

    def take(self) -> list[tuple]:
        taken, self.requests = self.requests, []
        return taken

    def title(self, *args):
        pass

    def geometry(self, *args):
        pass

    def resizable(self, *args):
        pass

    def iconbitmap(self, *args):
        pass

    def winfo_screenwidth(self):
        return 1280

    def winfo_screenheight(self):
        return 1024

    def protocol(self, name, handler):
        self.options[name] = handler

    def mainloop(self):
        pass

    def destroy(self):
        self.destroyed += 1


class FakeStyle:
    def theme_use(self, name):
        pass

    def configure(self, *args, **kwargs):
        pass


fake_tk = types.SimpleNamespace(Tk=FakeRoot, Frame=FakeWidget, Label=FakeWidget)
fake_ttk = types.SimpleNamespace(Progressbar=FakeWidget, Style=FakeStyle)


class FakeMessagebox:
    def __init__(self):
        self.shown = 0

    def showerror(self, title, message):
        self.shown += 1


class FakeThreading:
    """``Thread`` records its target and never runs it."""

    def __init__(self):
        self.targets: list = []
        outer = self

        class Thread:
            def __init__(self, target=None, daemon=None):
                self.target = target

            def start(self):
                outer.targets.append(self.target)

        self.Thread = Thread


# -- engine -----------------------------------------------------------------------


def fresh(exc: BaseException) -> BaseException:
    """A new exception like `exc`: raising one instance again and again would
    grow its traceback with every raise."""
    return type(exc)(*exc.args)


class ScriptedResponse:
    url = "https://updates.invalid/brivex/latest/main/BrivexLauncher.exe"

    def __init__(self, blocks, length):
        self._blocks = list(blocks)
        self.headers = {} if length is None else {"Content-Length": str(length)}

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        return False

    def read(self, amount=None):
        block = self._blocks.pop(0) if self._blocks else b""
        if isinstance(block, BaseException):
            raise fresh(block)
        return block


class ScriptedUrllib:
    """``urllib`` with the real ``Request``, ``error`` and ``parse`` and a scripted ``urlopen``.

    `blocks` may hold an exception instance, a copy of which that read raises; `length` is
    the announced Content-Length (None: no header); `refuse` makes ``urlopen``
    itself fail.
    """

    def __init__(self, blocks=(b"x" * 1000,), length=1000, refuse: BaseException | None = None):
        self.blocks = blocks
        self.length = length
        self.refuse = refuse
        self.request = types.SimpleNamespace(Request=urllib.request.Request, urlopen=self._urlopen)
        self.error = urllib.error
        self.parse = urllib.parse

    def _urlopen(self, req, timeout=None):
        if self.refuse is not None:
            raise fresh(self.refuse)
        return ScriptedResponse(self.blocks, self.length)


class NullSubprocess:
    def __init__(self):
        self.started = 0

    def Popen(self, args):  # noqa: N802 - mirrors subprocess.Popen
        self.started += 1
        return None


def exe_sys(exe_dir) -> types.SimpleNamespace:
    """A ``sys`` for a frozen build in `exe_dir`; ``exit`` is the real one."""
    return types.SimpleNamespace(frozen=True, executable=os.path.join(os.fspath(exe_dir), "updater.exe"),
                                 exit=sys.exit)
