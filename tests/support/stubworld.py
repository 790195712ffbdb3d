"""A toolkit without a display, for tests that call the updater's callables in
tight loops (reference leaks) or with arbitrary arguments (binding):
`FakeRoot`, `fake_tk`, `fake_ttk`, `FakeMessagebox`, `FakeThreading`; the
root's ``after`` keeps its requests or drops them."""

from __future__ import annotations

import types


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
