"""The stand-in for the toolkit the update window uses.

`Toolkit` carries four fake modules, bound over the updater's globals by
`install`:

* ``tk``         ``Tk`` (the root window), ``Frame``, ``Label``
* ``ttk``        ``Progressbar``, ``Style``
* ``messagebox`` ``showerror``
* ``threading``  ``Thread``: records its options; ``start`` runs nothing, the
                 test calls ``run()`` (or lets the main loop do it, see
                 ``run_workers_in_mainloop``)

and a ``sys`` stand-in whose ``exit`` logs the call and raises `SystemExit`.
Every call lands in ``Toolkit.log`` as a `Call` whose keyword arguments are a
list of pairs in the order they were passed.  Fake objects appear in the log
as themselves (their repr is ``<name>``), named by kind and number: ``root``,
``Frame1``, ``Label1``, ``Label2``, ``Progressbar1``, ``Style1``, ``Thread1``.

The root window has a deterministic event loop on a virtual clock:
``after(ms, fn, *args)`` queues; ``mainloop()`` runs the queue in (time,
sequence) order until it is empty or the window is destroyed.  As with real
Tk, `SystemExit` from a request leaves ``mainloop``; any other exception is
kept in ``callback_errors`` and the loop goes on.

``fail[(name, method)] = exc`` makes that call raise after it is logged.

For loops of thousands of calls (the reference-leak tests) ``record=False``
logs nothing, and ``keep=False`` drops the requests ``after`` is given.
`take` hands over the queued requests instead of running them.
"""

from __future__ import annotations

import heapq
import types
from typing import Any, NamedTuple

from support.standins import fake_sys


class Call(NamedTuple):
    target: str  # "tk", "ttk", "messagebox", "threading", "sys" or an object's name
    name: str
    args: tuple
    kwargs: list  # [(keyword, value), ...] in call order


def assert_calls(actual, expected) -> None:
    """Equal, and equal in repr too, so True/1 and 1.0/1 and tuple/list differ."""
    assert list(actual) == list(expected)
    assert repr(list(actual)) == repr(list(expected))


class Fake:
    def __init__(self, kit: "Toolkit", kind: str, name: str | None = None):
        self.kit = kit
        self.kind = kind
        self.name = name or kit._name_for(kind)

    def __repr__(self) -> str:
        return f"<{self.name}>"

    def _record(self, method: str, args=(), kwargs=None):
        return self.kit.record(self.name, method, args, kwargs or {})


def _logged(method: str):
    """A method that only logs its call."""

    def call(self, *args, **kwargs):
        self._record(method, args, kwargs)

    call.__name__ = call.__qualname__ = method
    return call


class Widget(Fake):
    def __init__(self, kit, kind, parent, options):
        super().__init__(kit, kind)
        self.parent = parent
        self.options = dict(options)

    pack = _logged("pack")

    def config(self, *args, **kwargs):
        self._record("config", args, kwargs)
        self.options.update(kwargs)


class Style(Fake):
    theme_use = _logged("theme_use")
    configure = _logged("configure")


class Root(Fake):
    def __init__(self, kit):
        super().__init__(kit, "Tk", "root")
        self.destroyed = False
        self.protocols: dict[str, Any] = {}

    title = _logged("title")
    geometry = _logged("geometry")
    resizable = _logged("resizable")
    configure = _logged("configure")
    iconbitmap = _logged("iconbitmap")

    def winfo_screenwidth(self, *args, **kwargs):
        self._record("winfo_screenwidth", args, kwargs)
        return self.kit.screen[0]

    def winfo_screenheight(self, *args, **kwargs):
        self._record("winfo_screenheight", args, kwargs)
        return self.kit.screen[1]

    def protocol(self, *args, **kwargs):
        self._record("protocol", args, kwargs)
        self.protocols[args[0]] = args[1]

    def destroy(self, *args, **kwargs):
        self._record("destroy", args, kwargs)
        self.destroyed = True

    def after(self, ms, fn, *args):
        self._record("after", (ms, fn, *args))
        kit = self.kit
        kit._seq += 1
        if kit.keep:
            heapq.heappush(kit.queue, (kit.now + ms, kit._seq, fn, args))
        return f"after#{kit._seq}"

    def mainloop(self, *args, **kwargs):
        self._record("mainloop", args, kwargs)
        kit = self.kit
        if kit.run_workers_in_mainloop:
            for thread in kit.threads:
                if thread.started and not thread.ran:
                    thread.run()
        while kit.queue and not self.destroyed:
            when, _, fn, fn_args = heapq.heappop(kit.queue)
            kit.now = when
            kit.ran.append((when, fn, fn_args))
            try:
                fn(*fn_args)
            except SystemExit:
                raise
            except Exception as exc:  # real Tk reports it and keeps running
                kit.callback_errors.append(exc)


class Thread(Fake):
    def __init__(self, kit, args, kwargs):
        super().__init__(kit, "Thread")
        self.target = kwargs.get("target")
        self.daemon = kwargs.get("daemon")
        self.started = False
        self.ran = False
        self.log_during_run: list[Call] = []

    def start(self, *args, **kwargs):
        self._record("start", args, kwargs)
        self.started = True

    def run(self):
        """Run the target on the calling thread; returns what it returned."""
        self.ran = True
        first = len(self.kit.log)
        try:
            return self.target()
        finally:
            self.log_during_run = self.kit.log[first:]


class Toolkit:
    def __init__(self, screen=(1920, 1080), *, record: bool = True, keep: bool = True):
        self.screen = screen
        self.recording = record
        self.keep = keep
        self.log: list[Call] = []
        self.fail: dict[tuple[str, str], BaseException] = {}
        self.roots: list[Root] = []
        self.threads: list[Thread] = []
        self.queue: list = []
        self.now = 0
        self.ran: list = []  # (time, request, args) of every request run
        self.callback_errors: list[BaseException] = []
        self.run_workers_in_mainloop = False
        self._seq = 0
        self._counts: dict[str, int] = {}

        self.tk = types.ModuleType("tkinter")
        self.tk.Tk = self._make_root
        self.tk.Frame = lambda *a, **k: self._make_widget("tk", "Frame", a, k)
        self.tk.Label = lambda *a, **k: self._make_widget("tk", "Label", a, k)
        self.ttk = types.ModuleType("tkinter.ttk")
        self.ttk.Progressbar = lambda *a, **k: self._make_widget("ttk", "Progressbar", a, k)
        self.ttk.Style = self._make_style
        self.messagebox = types.ModuleType("tkinter.messagebox")
        self.messagebox.showerror = lambda *a, **k: self.record("messagebox", "showerror", a, k)
        self.threading = types.ModuleType("threading")
        self.threading.Thread = self._make_thread
        self.sys = fake_sys(exit=self._exit)

    # -- recording -------------------------------------------------------------

    def record(self, target: str, name: str, args, kwargs):
        if self.recording:
            self.log.append(Call(target, name, tuple(args), list(kwargs.items())))
        error = self.fail.get((target, name))
        if error is not None:
            raise error

    def calls(self, target: str | None = None, name: str | None = None) -> list[Call]:
        return [c for c in self.log if (target is None or c.target == target) and (name is None or c.name == name)]

    @property
    def requests(self) -> list[tuple]:
        """The queued requests as (delay, request, args), in the order the
        main loop would run them."""
        return [(when - self.now, fn, args) for when, _, fn, args in sorted(self.queue)]

    def take(self) -> list[tuple]:
        """The queued requests, leaving the queue empty."""
        taken = self.requests
        self.queue.clear()
        return taken

    def _name_for(self, kind: str) -> str:
        self._counts[kind] = self._counts.get(kind, 0) + 1
        return f"{kind}{self._counts[kind]}"

    # -- factories -------------------------------------------------------------

    def _make_root(self, *args, **kwargs):
        self.record("tk", "Tk", args, kwargs)
        root = Root(self)
        self.roots.append(root)
        return root

    def _make_widget(self, module, kind, args, kwargs):
        self.record(module, kind, args, kwargs)
        return Widget(self, kind, args[0] if args else None, kwargs)

    def _make_style(self, *args, **kwargs):
        self.record("ttk", "Style", args, kwargs)
        return Style(self, "Style")

    def _make_thread(self, *args, **kwargs):
        self.record("threading", "Thread", args, kwargs)
        thread = Thread(self, args, kwargs)
        self.threads.append(thread)
        return thread

    def _exit(self, *args, **kwargs):
        self.record("sys", "exit", args, kwargs)
        raise SystemExit(*args)


def quiet_root(*, keep: bool = True) -> Root:
    """A root window of a toolkit of its own that logs nothing; its ``after``
    keeps its requests (in ``root.kit``) or, with `keep` false, drops them."""
    return Toolkit(record=False, keep=keep).tk.Tk()


def install(monkeypatch, updater, kit: Toolkit, *, with_sys: bool = True) -> Toolkit:
    """Bind the fake modules over the updater's globals for one test."""
    monkeypatch.setattr(updater, "TK_AVAILABLE", True)
    monkeypatch.setattr(updater, "tk", kit.tk, raising=False)
    monkeypatch.setattr(updater, "ttk", kit.ttk, raising=False)
    monkeypatch.setattr(updater, "messagebox", kit.messagebox, raising=False)
    monkeypatch.setattr(updater, "threading", kit.threading)
    if with_sys:
        monkeypatch.setattr(updater, "sys", kit.sys)
    return kit
