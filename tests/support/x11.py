"""Driving real windows on the test display (Xvfb, no window manager).

* `find_window`        polls ``xdotool search`` for a visible window by its exact title
* `press_return`       focuses a window and types Return into it (XTEST)
* `send_close_request` sends WM_PROTOCOLS / WM_DELETE_WINDOW, exactly what a
                       window manager sends when the user clicks the close button
* `screenshot`         saves a window with ImageMagick's ``import``; `Image` reads it back
"""

from __future__ import annotations

import ctypes
import re
import subprocess
import time


def _run(*argv: str, timeout: float = 10) -> subprocess.CompletedProcess:
    return subprocess.run(argv, capture_output=True, text=True, timeout=timeout)


def find_window(title: str, *, timeout: float = 15, alive=lambda: True) -> int:
    """Id of the visible window titled `title`; waits while `alive()` holds."""
    pattern = "^" + re.escape(title) + "$"
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        found = _run("xdotool", "search", "--onlyvisible", "--name", pattern).stdout.split()
        if found:
            return int(found[0])
        if not alive():
            raise AssertionError(f"the process ended before a window {title!r} appeared")
        time.sleep(0.05)
    raise AssertionError(f"no window {title!r} within {timeout} s")


def dismiss(window: int, running, *, timeout: float = 15) -> None:
    """Press Return on a dialog until the process that shows it ends.

    A dialog can be mapped before Tk has bound its keys, so a single early
    key press may go unanswered on a loaded machine.
    """
    deadline = time.monotonic() + timeout
    while running.poll() is None and time.monotonic() < deadline:
        _run("xdotool", "windowfocus", "--sync", str(window), "key", "Return")
        end = time.monotonic() + 1.0
        while running.poll() is None and time.monotonic() < end:
            time.sleep(0.05)


def geometry(window: int) -> dict[str, int]:
    out = _run("xdotool", "getwindowgeometry", "--shell", str(window)).stdout
    return {k.lower(): int(v) for k, v in (line.split("=") for line in out.split()) if k != "WINDOW"}


def display_size() -> tuple[int, int]:
    width, height = _run("xdotool", "getdisplaygeometry").stdout.split()
    return int(width), int(height)


def size_hints(window: int) -> str:
    return _run("xprop", "-id", str(window), "WM_NORMAL_HINTS").stdout


class _ClientMessage(ctypes.Structure):
    _fields_ = [
        ("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
        ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
        ("format", ctypes.c_int), ("data", ctypes.c_long * 5),
    ]


class _XEvent(ctypes.Union):
    _fields_ = [("xclient", _ClientMessage), ("pad", ctypes.c_long * 24)]


def send_close_request(window: int) -> None:
    xlib = ctypes.CDLL("libX11.so.6")
    xlib.XOpenDisplay.restype = ctypes.c_void_p
    xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
    xlib.XInternAtom.restype = ctypes.c_ulong
    xlib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    xlib.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.POINTER(_XEvent)]
    xlib.XFlush.argtypes = xlib.XCloseDisplay.argtypes = [ctypes.c_void_p]
    display = xlib.XOpenDisplay(None)
    if not display:
        raise AssertionError("cannot open the X display")
    try:
        event = _XEvent()
        event.xclient.type = 33  # ClientMessage
        event.xclient.window = window
        event.xclient.message_type = xlib.XInternAtom(display, b"WM_PROTOCOLS", 0)
        event.xclient.format = 32
        event.xclient.data[0] = xlib.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
        event.xclient.data[1] = 0  # CurrentTime
        if not xlib.XSendEvent(display, window, 0, 0, ctypes.byref(event)):
            raise AssertionError("XSendEvent failed")
        xlib.XFlush(display)
    finally:
        xlib.XCloseDisplay(display)


class Image:
    """An RGB image read through ImageMagick's PPM output."""

    def __init__(self, path):
        data = subprocess.run(["convert", str(path), "-depth", "8", "ppm:-"], capture_output=True,
                              check=True, timeout=10).stdout
        magic, width, height, maxval, rest = data.split(maxsplit=4)
        assert magic == b"P6" and maxval == b"255"
        self.width, self.height = int(width), int(height)
        self.pixels = rest

    def __getitem__(self, xy: tuple[int, int]) -> str:
        x, y = xy
        i = 3 * (y * self.width + x)
        return "#%02x%02x%02x" % tuple(self.pixels[i : i + 3])

    def row(self, y: int) -> list[str]:
        return [self[x, y] for x in range(self.width)]

    def region(self, x0: int, y0: int, x1: int, y1: int) -> list[str]:
        return [self[x, y] for y in range(y0, y1) for x in range(x0, x1)]


def screenshot(window: int, path) -> Image:
    _run("import", "-window", str(window), str(path)).check_returncode()
    return Image(path)
