"""Driving real windows on the test display (Xvfb, no window manager) through
X11, for `support.desktop`.

* `visible_window`     a visible window by its exact title (``xdotool search``)
* `press_default`      focuses a window and types Return into it (XTEST)
* `geometry`           the window's position and size (``xdotool``)
* `resizable`          whether WM_NORMAL_HINTS leave its size free (``xprop``)
* `send_close_request` sends WM_PROTOCOLS / WM_DELETE_WINDOW, exactly what a
                       window manager sends when the user clicks the close button
* `capture`            the window's pixels, read with ImageMagick's ``import``
"""

from __future__ import annotations

import ctypes
import re
import subprocess

TOOLS = ("xdotool", "xprop", "import")


def _run(*argv: str, timeout: float = 10) -> subprocess.CompletedProcess:
    return subprocess.run(argv, capture_output=True, timeout=timeout)


def visible_window(title: str) -> int | None:
    """The id of a visible window titled exactly `title`, or None."""
    pattern = "^" + re.escape(title) + "$"
    found = _run("xdotool", "search", "--onlyvisible", "--name", pattern).stdout.split()
    return int(found[0]) if found else None


def press_default(window: int) -> None:
    _run("xdotool", "windowfocus", "--sync", str(window), "key", "Return")


def geometry(window: int) -> dict[str, int]:
    out = _run("xdotool", "getwindowgeometry", "--shell", str(window)).stdout.decode()
    return {k.lower(): int(v) for k, v in (line.split("=") for line in out.split()) if k != "WINDOW"}


def display_size() -> tuple[int, int]:
    width, height = _run("xdotool", "getdisplaygeometry").stdout.split()
    return int(width), int(height)


def resizable(window: int) -> bool:
    """False when the size hints give the same minimum and maximum size."""
    hints = _run("xprop", "-id", str(window), "WM_NORMAL_HINTS").stdout.decode()
    limits = [re.search(rf"{which} size: (\d+) by (\d+)", hints) for which in ("minimum", "maximum")]
    return not all(limits) or limits[0].groups() != limits[1].groups()


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


def capture(window: int) -> tuple[int, int, bytes]:
    """(width, height, RGB bytes, rows top to bottom) of the window as the screen shows it."""
    ppm = _run("import", "-window", str(window), "-depth", "8", "ppm:-").stdout
    header = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", ppm)  # one whitespace byte before the pixels
    assert header, ppm[:20]
    return int(header[1]), int(header[2]), ppm[header.end() :]
